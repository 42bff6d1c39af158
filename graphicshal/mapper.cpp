/* The process's list of known buffers. */
#include "mapper.h"

#include <assert.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* An index of the entries by stamp, for the look-ups of every lock, unlock, free and
   unregistration, which would otherwise walk past every buffer the process knows. It only
   points into the lists: an entry is in it from its insertion to its removal, unless the index
   could not grow, and a look-up that it cannot answer walks the list. A removal closes the gap
   it leaves, so that searches stay short however many buffers come and go. Guarded, like the
   list, by the module mutex. */
typedef struct {
    VEK_private_data_t *psPrivateData; /* NULL: free */
    VEK_mapper_meminfo_t *psEntry;
    VEK_UINT64 ui64Stamp; /* the entry's stamp when it was inserted */
} VEK_mapper_index_slot_t;

/* The consistency check follows the list's insertions and removals (below). */
static void CheckNoteInsertion(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psEntry);
static void CheckNoteRemoval(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psEntry);

static VEK_mapper_index_slot_t *gasMapperIndex;
static size_t guMapperIndexSlots, guMapperIndexLive;
/* The entries of every list: the index holds them all when it holds as many. */
static size_t guMapperEntries;

static size_t MapperIndexHome(const VEK_private_data_t *psPrivateData, VEK_UINT64 ui64Stamp) {
    return (size_t)(((ui64Stamp ^ (VEK_UINT64)(uintptr_t)psPrivateData) * 0x9e3779b97f4a7c15ULL) >> 32) &
           (guMapperIndexSlots - 1);
}

static void MapperIndexPut(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psEntry) {
    size_t u = MapperIndexHome(psPrivateData, psEntry->ui64Stamp);
    while (gasMapperIndex[u].psPrivateData != nullptr) u = (u + 1) & (guMapperIndexSlots - 1);
    gasMapperIndex[u] = {psPrivateData, psEntry, psEntry->ui64Stamp};
    guMapperIndexLive++;
}

/* Rebuilds the index large enough for one more entry. */
static VEK_BOOL MapperIndexGrow(void) {
    size_t uSlots = 64;
    while (uSlots < 4 * (guMapperIndexLive + 1)) uSlots <<= 1;
    VEK_mapper_index_slot_t *asNew = static_cast<VEK_mapper_index_slot_t *>(calloc(uSlots, sizeof(*asNew)));
    if (asNew == nullptr) return VEK_FALSE;

    VEK_mapper_index_slot_t *asOld = gasMapperIndex;
    const size_t uOldSlots = guMapperIndexSlots;
    gasMapperIndex = asNew;
    guMapperIndexSlots = uSlots;
    guMapperIndexLive = 0;
    for (size_t u = 0; u < uOldSlots; u++)
        if (asOld[u].psPrivateData != nullptr) MapperIndexPut(asOld[u].psPrivateData, asOld[u].psEntry);
    free(asOld);
    return VEK_TRUE;
}

static void MapperIndexAdd(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psEntry) {
    /* At most three quarters used, so that a search soon meets a free slot. */
    if (4 * (guMapperIndexLive + 1) > 3 * guMapperIndexSlots && !MapperIndexGrow()) return;
    MapperIndexPut(psPrivateData, psEntry);
}

static void MapperIndexRemove(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psEntry) {
    if (guMapperIndexSlots == 0) return;
    size_t u = MapperIndexHome(psPrivateData, psEntry->ui64Stamp), uSeen = 0;
    while (gasMapperIndex[u].psPrivateData != nullptr && gasMapperIndex[u].psEntry != psEntry &&
           ++uSeen < guMapperIndexSlots)
        u = (u + 1) & (guMapperIndexSlots - 1);
    /* Not found from its stamp: an entry whose stamp changed, or one the index never had. */
    if (gasMapperIndex[u].psEntry != psEntry) {
        for (u = 0; u < guMapperIndexSlots && gasMapperIndex[u].psEntry != psEntry; u++) {
        }
        if (u == guMapperIndexSlots) return;
    }
    /* Each slot after the gap that its search would no longer reach moves into it. */
    const size_t uMask = guMapperIndexSlots - 1;
    for (size_t v = (u + 1) & uMask; gasMapperIndex[v].psPrivateData != nullptr; v = (v + 1) & uMask) {
        const size_t uHome = MapperIndexHome(gasMapperIndex[v].psPrivateData, gasMapperIndex[v].ui64Stamp);
        if (((v - uHome) & uMask) >= ((v - u) & uMask)) {
            gasMapperIndex[u] = gasMapperIndex[v];
            u = v;
        }
    }
    gasMapperIndex[u] = {nullptr, nullptr, 0};
    /* An empty index goes, so that nothing is left behind when the module is unloaded. */
    if (--guMapperIndexLive == 0) {
        free(gasMapperIndex);
        gasMapperIndex = nullptr;
        guMapperIndexSlots = 0;
    }
}

static VEK_mapper_meminfo_t *MapperIndexFind(VEK_private_data_t *psPrivateData, VEK_UINT64 ui64Stamp) {
    if (guMapperIndexSlots != 0) {
        for (size_t u = MapperIndexHome(psPrivateData, ui64Stamp); gasMapperIndex[u].psPrivateData != nullptr;
             u = (u + 1) & (guMapperIndexSlots - 1)) {
            const VEK_mapper_index_slot_t *psSlot = &gasMapperIndex[u];
            if (psSlot->psPrivateData == psPrivateData && psSlot->ui64Stamp == ui64Stamp &&
                psSlot->psEntry->ui64Stamp == ui64Stamp)
                return psSlot->psEntry;
        }
    }
    return nullptr;
}

VEK_mapper_meminfo_t *MapperPeek(VEK_private_data_t *psPrivateData, VEK_UINT64 ui64Stamp) {
    VEK_mapper_meminfo_t *psEntry = MapperIndexFind(psPrivateData, ui64Stamp);
    if (psEntry != nullptr) return psEntry;
    for (VEK_mapper_meminfo_t *ps = psPrivateData->psMapList; ps != nullptr; ps = ps->psNext)
        if (ps->ui64Stamp == ui64Stamp) return ps;
    return nullptr;
}

static VEK_mapper_meminfo_t *InsertBlankEntry(VEK_private_data_t *psPrivateData, VEK_native_handle_t *psNativeHandle) {
    /* A new buffer's stamp is looked for in the index alone when the index holds every entry: the
       module never changes an entry's stamp, and walking the list for a stamp that is not there
       would cost every allocation and registration a pass over every buffer the process knows. */
    VEK_mapper_meminfo_t *psKnown = guMapperIndexLive == guMapperEntries
                                        ? MapperIndexFind(psPrivateData, psNativeHandle->ui64Stamp)
                                        : MapperPeek(psPrivateData, psNativeHandle->ui64Stamp);
    if (psKnown != nullptr) return nullptr;

    VEK_mapper_meminfo_t *psEntry = static_cast<VEK_mapper_meminfo_t *>(calloc(1, sizeof(VEK_mapper_meminfo_t)));
    if (psEntry == nullptr) {
        perror("calloc");
        return nullptr;
    }
    psEntry->ui64Stamp = psNativeHandle->ui64Stamp;
    psEntry->iFormat = psNativeHandle->iFormat;
    psEntry->usage = psNativeHandle->usage;
    /* The handle's planes; a display buffer's slots (-2) name no descriptor either. */
    for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++)
        psEntry->aiFd[i] = psNativeHandle->fd[i] >= 0 ? psNativeHandle->fd[i] : -1;

    psEntry->psNext = psPrivateData->psMapList;
    psPrivateData->psMapList = psEntry;
    guMapperEntries++;
    MapperIndexAdd(psPrivateData, psEntry);
    CheckNoteInsertion(psPrivateData, psEntry);
    return psEntry;
}

VEK_BOOL MapperAddUnmapped(VEK_private_data_t *psPrivateData, VEK_native_handle_t *psNativeHandle) {
    VEK_mapper_meminfo_t *psEntry = InsertBlankEntry(psPrivateData, psNativeHandle);
    if (psEntry == nullptr) return VEK_FALSE;
    psEntry->bRegistered = VEK_TRUE;
    return VEK_TRUE;
}

VEK_BOOL MapperAddMapped(VEK_private_data_t *psPrivateData, VEK_native_handle_t *psNativeHandle,
                         ZOLSRV_CLIENT_MEM_INFO **apsMemInfo) {
    VEK_mapper_meminfo_t *psEntry = InsertBlankEntry(psPrivateData, psNativeHandle);
    if (psEntry == nullptr) return VEK_FALSE;
    for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++) psEntry->apsMemInfo[i] = apsMemInfo[i];
    psEntry->bAllocatedByThisProcess = VEK_TRUE;
    psEntry->bRegistered = VEK_TRUE;
    return VEK_TRUE;
}

VEK_BOOL MapperAddMappedFB(VEK_private_data_t *psPrivateData, VEK_native_handle_t *psNativeHandle,
                           ZOLSRV_CLIENT_MEM_INFO *psMemInfo, void *hMemInfo) {
    VEK_mapper_meminfo_t *psEntry = InsertBlankEntry(psPrivateData, psNativeHandle);
    if (psEntry == nullptr) return VEK_FALSE;
    psEntry->hMemInfo = hMemInfo;
    psEntry->apsMemInfo[0] = psMemInfo;
    psEntry->apsMemInfo[1] = nullptr;
    psEntry->apsMemInfo[2] = nullptr;
    psEntry->bAllocatedByThisProcess = VEK_TRUE;
    psEntry->bRegistered = VEK_TRUE;
    return VEK_TRUE;
}

void MapperRemove(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psMapperMemInfo) {
    VEK_mapper_meminfo_t *psPrev = nullptr, *ps = psPrivateData->psMapList;

    while (ps != nullptr && ps != psMapperMemInfo) {
        psPrev = ps;
        ps = ps->psNext;
    }
    /* An entry that is not on the list is not ours to free. */
    if (ps == nullptr) return;

    if (psPrev == nullptr)
        psPrivateData->psMapList = ps->psNext;
    else
        psPrev->psNext = ps->psNext;
    guMapperEntries--;
    MapperIndexRemove(psPrivateData, ps);
    CheckNoteRemoval(psPrivateData, ps);
    free(ps);
}

/* Two entries must never share a synchronisation object: the GPU would signal one buffer's
   progress on the other's counters. */
static VEK_BOOL SyncObjectsShared(const ZOLSRV_CLIENT_MEM_INFO *psA, const ZOLSRV_CLIENT_MEM_INFO *psB) {
    const ZOLSRV_CLIENT_SYNC_INFO *psSA = psA->psClientSyncInfo, *psSB = psB->psClientSyncInfo;

    return psSA == psSB || psSA->psSyncData == psSB->psSyncData ||
           psSA->sWriteOpsCompleteDevVAddr.uiAddr == psSB->sWriteOpsCompleteDevVAddr.uiAddr ||
           psSA->sReadOpsCompleteDevVAddr.uiAddr == psSB->sReadOpsCompleteDevVAddr.uiAddr ||
           psSA->sReadOps2CompleteDevVAddr.uiAddr == psSB->sReadOps2CompleteDevVAddr.uiAddr;
}

/* Every pair of entries, each against those after it: an entry without a first mem-info is
   compared by stamp and ends the scan of the entries before it. An entry on its way out (its
   removal or free queued) takes part like any other: its mapping, and the synchronisation object
   that a new buffer must not share, live until the worker releases them. */
static VEK_BOOL SanityCheckPairs(const VEK_mapper_meminfo_t *psMapList) {
    for (const VEK_mapper_meminfo_t *psA = psMapList; psA != nullptr; psA = psA->psNext) {
        for (const VEK_mapper_meminfo_t *psB = psA->psNext; psB != nullptr; psB = psB->psNext) {
            if (psA->ui64Stamp == psB->ui64Stamp) return VEK_FALSE;
            if (psA->apsMemInfo[0] == nullptr || psB->apsMemInfo[0] == nullptr) break;
            if (psA->apsMemInfo[0] == psB->apsMemInfo[0]) return VEK_FALSE;
            if (SyncObjectsShared(psA->apsMemInfo[0], psB->apsMemInfo[0])) return VEK_FALSE;
        }
    }
    return VEK_TRUE;
}

/* Below this many entries the pairs are cheaper than the table. */
#define MAPPER_CHECK_PAIRS_MAX 32

/* The values one entry brings to a comparison, each of its own kind: only values of one kind
   are compared with each other. */
enum {
    KEY_STAMP = 1,
    KEY_MEMINFO,
    KEY_SYNCINFO,
    KEY_SYNCDATA,
    KEY_WRITE_ADDR,
    KEY_READ_ADDR,
    KEY_READ2_ADDR,
    KEY_KINDS
};

typedef struct {
    VEK_UINT64 ui64Value;
    VEK_UINT32 ui32Run;  /* the run of mapped entries the value belongs to */
    VEK_UINT32 ui32Kind; /* 0: free slot */
} VEK_mapper_check_key_t;

static size_t KeyHome(size_t uMask, VEK_UINT32 ui32Kind, VEK_UINT32 ui32Run, VEK_UINT64 ui64Value) {
    return (size_t)(((ui64Value ^ ((VEK_UINT64)ui32Run << 3 | ui32Kind)) * 0x9e3779b97f4a7c15ULL) >> 32) & uMask;
}

static VEK_mapper_check_key_t *FindKey(VEK_mapper_check_key_t *asKeys, size_t uMask, VEK_UINT32 ui32Kind,
                                       VEK_UINT32 ui32Run, VEK_UINT64 ui64Value) {
    size_t u = KeyHome(uMask, ui32Kind, ui32Run, ui64Value);
    while (asKeys[u].ui32Kind != 0 &&
           (asKeys[u].ui32Kind != ui32Kind || asKeys[u].ui32Run != ui32Run || asKeys[u].ui64Value != ui64Value))
        u = (u + 1) & uMask;
    return &asKeys[u];
}

/* VEK_FALSE when the value is already in the run. */
static VEK_BOOL AddKey(VEK_mapper_check_key_t *asKeys, size_t uMask, VEK_UINT32 ui32Kind, VEK_UINT32 ui32Run,
                       VEK_UINT64 ui64Value) {
    VEK_mapper_check_key_t *psKey = FindKey(asKeys, uMask, ui32Kind, ui32Run, ui64Value);
    if (psKey->ui32Kind != 0) return VEK_FALSE;
    *psKey = {ui64Value, ui32Run, ui32Kind};
    return VEK_TRUE;
}

/* The check of the whole list, in time linear in its length. */
static VEK_BOOL SanityCheckList(VEK_private_data_t *psPrivateData, size_t uEntries) {
    if (uEntries <= MAPPER_CHECK_PAIRS_MAX) return SanityCheckPairs(psPrivateData->psMapList);

    /* The pairs compared are those within each run of entries with a first mem-info, the stamp
       of the entry that ends a run against the run's stamps, and the stamp of an entry without
       a first mem-info against its successor's. A table of each run's values finds the same
       equal pairs in linear time; the list grows with every buffer the process knows. */
    size_t uSlots = 1;
    while (uSlots < (size_t)2 * (KEY_KINDS - 1) * uEntries) uSlots <<= 1;
    VEK_mapper_check_key_t *asKeys = static_cast<VEK_mapper_check_key_t *>(calloc(uSlots, sizeof(*asKeys)));
    if (asKeys == nullptr) return SanityCheckPairs(psPrivateData->psMapList);

    const size_t uMask = uSlots - 1;
    VEK_UINT32 ui32Run = 0;
    VEK_BOOL bConsistent = VEK_TRUE;
    for (const VEK_mapper_meminfo_t *ps = psPrivateData->psMapList; ps != nullptr && bConsistent; ps = ps->psNext) {
        const ZOLSRV_CLIENT_MEM_INFO *psMem = ps->apsMemInfo[0];
        const VEK_mapper_meminfo_t *psNext = ps->psNext;
        if (psMem == nullptr) {
            if (FindKey(asKeys, uMask, KEY_STAMP, ui32Run, ps->ui64Stamp)->ui32Kind != 0 ||
                (psNext != nullptr && psNext->ui64Stamp == ps->ui64Stamp))
                bConsistent = VEK_FALSE;
            ui32Run++;
            continue;
        }
        const ZOLSRV_CLIENT_SYNC_INFO *psSync = psMem->psClientSyncInfo;
        bConsistent = AddKey(asKeys, uMask, KEY_STAMP, ui32Run, ps->ui64Stamp) &&
                      AddKey(asKeys, uMask, KEY_MEMINFO, ui32Run, (VEK_UINT64)(uintptr_t)psMem) &&
                      AddKey(asKeys, uMask, KEY_SYNCINFO, ui32Run, (VEK_UINT64)(uintptr_t)psSync) &&
                      AddKey(asKeys, uMask, KEY_SYNCDATA, ui32Run, (VEK_UINT64)(uintptr_t)psSync->psSyncData) &&
                      AddKey(asKeys, uMask, KEY_WRITE_ADDR, ui32Run, psSync->sWriteOpsCompleteDevVAddr.uiAddr) &&
                      AddKey(asKeys, uMask, KEY_READ_ADDR, ui32Run, psSync->sReadOpsCompleteDevVAddr.uiAddr) &&
                      AddKey(asKeys, uMask, KEY_READ2_ADDR, ui32Run, psSync->sReadOps2CompleteDevVAddr.uiAddr);
    }
    free(asKeys);
    return bConsistent;
}

/* The check after every insertion, in time that does not grow with the list. A process that
   knows many buffers inserts one at the head and checks: the pairs that are new then are the new
   head's, with the run of entries with a first mem-info at the head of the list (the leading run)
   and the entry without one that ends it. The check keeps what it saw of each entry (a record per
   entry, oldest first) and a table of the leading run's values, and compares only the new pairs.
   The list tells it of each insertion and
   removal, and the module of each change in place (MapperEntryChanged): only when an entry it
   compared changed does it confirm its records against the entries, so that a process that
   allocates and frees among many buffers pays for none of them. Whatever it cannot follow (a value
   changed under an entry, an entry without a first
   mem-info removed, which joins two runs, an earlier answer that was false) makes it check the
   whole list again. Guarded, like the list, by the module mutex. */
typedef struct {
    VEK_mapper_meminfo_t *psEntry;
    VEK_UINT64 aui64Value[KEY_KINDS]; /* by kind; only the stamp when not mapped */
    VEK_BOOL bMapped;
} VEK_mapper_check_record_t;

static struct {
    VEK_private_data_t *psOwner; /* NULL: no list followed */
    VEK_BOOL bStale;             /* the next check looks at the whole list */
    VEK_mapper_check_record_t *asRecords;
    size_t uRecords, uRecordSlots;
    size_t uChecked;   /* records seen by the last check; the rest were inserted since */
    size_t uLeadStart; /* the first record of the leading run; the one before it ends the run */
    VEK_mapper_check_key_t *asLead;
    size_t uLeadSlots, uLeadUsed;
    size_t uChanged; /* compared entries that carry the current mark */
} gsCheck;

/* Entries carry it from MapperEntryChanged until the records are confirmed or forgotten, when it
   moves on and every entry's mark is out of date at once. Never 0, the mark of a new entry. */
static VEK_UINT64 gui64CheckMark = 1;

static void CheckForget(void) {
    free(gsCheck.asRecords);
    free(gsCheck.asLead);
    memset(&gsCheck, 0, sizeof(gsCheck));
    gui64CheckMark++;
}

void MapperEntryChanged(VEK_mapper_meminfo_t *psMapperMemInfo) {
    if (gsCheck.psOwner == nullptr || psMapperMemInfo->ui64CheckChangeMark == gui64CheckMark) return;
    /* An entry inserted since the last check is read by the next one as it is then. */
    for (size_t i = gsCheck.uChecked; i < gsCheck.uRecords; i++)
        if (gsCheck.asRecords[i].psEntry == psMapperMemInfo) return;
    psMapperMemInfo->ui64CheckChangeMark = gui64CheckMark;
    gsCheck.uChanged++;
}

static void ReadRecord(VEK_mapper_meminfo_t *psEntry, VEK_mapper_check_record_t *psRecord) {
    const ZOLSRV_CLIENT_MEM_INFO *psMem = psEntry->apsMemInfo[0];
    memset(psRecord, 0, sizeof(*psRecord));
    psRecord->psEntry = psEntry;
    psRecord->aui64Value[KEY_STAMP] = psEntry->ui64Stamp;
    if (psMem == nullptr) return;
    const ZOLSRV_CLIENT_SYNC_INFO *psSync = psMem->psClientSyncInfo;
    psRecord->bMapped = VEK_TRUE;
    psRecord->aui64Value[KEY_MEMINFO] = (VEK_UINT64)(uintptr_t)psMem;
    psRecord->aui64Value[KEY_SYNCINFO] = (VEK_UINT64)(uintptr_t)psSync;
    psRecord->aui64Value[KEY_SYNCDATA] = (VEK_UINT64)(uintptr_t)psSync->psSyncData;
    psRecord->aui64Value[KEY_WRITE_ADDR] = psSync->sWriteOpsCompleteDevVAddr.uiAddr;
    psRecord->aui64Value[KEY_READ_ADDR] = psSync->sReadOpsCompleteDevVAddr.uiAddr;
    psRecord->aui64Value[KEY_READ2_ADDR] = psSync->sReadOps2CompleteDevVAddr.uiAddr;
}

/* Compared value by value: this runs for every entry whenever one changed in place. */
static VEK_BOOL RecordStillTrue(const VEK_mapper_check_record_t *psRecord) {
    const VEK_mapper_meminfo_t *psEntry = psRecord->psEntry;
    const VEK_UINT64 *aui64 = psRecord->aui64Value;
    const ZOLSRV_CLIENT_MEM_INFO *psMem = psEntry->apsMemInfo[0];
    if (psEntry->ui64Stamp != aui64[KEY_STAMP] || (VEK_UINT64)(uintptr_t)psMem != aui64[KEY_MEMINFO]) return VEK_FALSE;
    if (psMem == nullptr) return VEK_TRUE;
    const ZOLSRV_CLIENT_SYNC_INFO *psSync = psMem->psClientSyncInfo;
    return (VEK_UINT64)(uintptr_t)psSync == aui64[KEY_SYNCINFO] &&
           (VEK_UINT64)(uintptr_t)psSync->psSyncData == aui64[KEY_SYNCDATA] &&
           psSync->sWriteOpsCompleteDevVAddr.uiAddr == aui64[KEY_WRITE_ADDR] &&
           psSync->sReadOpsCompleteDevVAddr.uiAddr == aui64[KEY_READ_ADDR] &&
           psSync->sReadOps2CompleteDevVAddr.uiAddr == aui64[KEY_READ2_ADDR];
}

/* Takes a value out of the leading run's table; the values after it that its gap would hide
   from their searches move up. */
static void LeadRemove(VEK_UINT32 ui32Kind, VEK_UINT64 ui64Value) {
    const size_t uMask = gsCheck.uLeadSlots - 1;
    VEK_mapper_check_key_t *psKey = FindKey(gsCheck.asLead, uMask, ui32Kind, 0, ui64Value);
    if (psKey->ui32Kind == 0) return;
    size_t u = (size_t)(psKey - gsCheck.asLead);
    for (size_t v = (u + 1) & uMask; gsCheck.asLead[v].ui32Kind != 0; v = (v + 1) & uMask) {
        const size_t uHome = KeyHome(uMask, gsCheck.asLead[v].ui32Kind, 0, gsCheck.asLead[v].ui64Value);
        if (((v - uHome) & uMask) >= ((v - u) & uMask)) {
            gsCheck.asLead[u] = gsCheck.asLead[v];
            u = v;
        }
    }
    gsCheck.asLead[u] = {0, 0, 0};
    gsCheck.uLeadUsed--;
}

/* Puts a leading-run record's values into the table: VEK_FALSE when one is there already. */
static VEK_BOOL LeadAdd(const VEK_mapper_check_record_t *psRecord) {
    for (VEK_UINT32 k = KEY_STAMP; k < KEY_KINDS; k++) {
        VEK_mapper_check_key_t *psKey = FindKey(gsCheck.asLead, gsCheck.uLeadSlots - 1, k, 0, psRecord->aui64Value[k]);
        if (psKey->ui32Kind != 0) return VEK_FALSE;
        *psKey = {psRecord->aui64Value[k], 0, k};
        gsCheck.uLeadUsed++;
    }
    return VEK_TRUE;
}

/* A table for the leading run and one record more. */
static VEK_BOOL LeadRebuild(size_t uLeadEnd) {
    size_t uSlots = 64;
    while (uSlots < (size_t)2 * (KEY_KINDS - 1) * (uLeadEnd - gsCheck.uLeadStart + 1)) uSlots <<= 1;
    free(gsCheck.asLead);
    gsCheck.asLead = static_cast<VEK_mapper_check_key_t *>(calloc(uSlots, sizeof(VEK_mapper_check_key_t)));
    gsCheck.uLeadSlots = gsCheck.asLead != nullptr ? uSlots : 0;
    gsCheck.uLeadUsed = 0;
    if (gsCheck.asLead == nullptr) return VEK_FALSE;
    for (size_t i = gsCheck.uLeadStart; i < uLeadEnd; i++)
        if (!LeadAdd(&gsCheck.asRecords[i])) return VEK_FALSE;
    return VEK_TRUE;
}

static VEK_BOOL RecordsReserve(size_t uRecords) {
    if (gsCheck.asRecords != nullptr && uRecords <= gsCheck.uRecordSlots) return VEK_TRUE;
    size_t uSlots = gsCheck.uRecordSlots != 0 ? 2 * gsCheck.uRecordSlots : 64;
    while (uSlots < uRecords) uSlots <<= 1;
    void *pv = realloc(gsCheck.asRecords, uSlots * sizeof(VEK_mapper_check_record_t));
    if (pv == nullptr) return VEK_FALSE;
    gsCheck.asRecords = static_cast<VEK_mapper_check_record_t *>(pv);
    gsCheck.uRecordSlots = uSlots;
    return VEK_TRUE;
}

static void CheckNoteInsertion(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psEntry) {
    if (gsCheck.psOwner != psPrivateData) return;
    if (!RecordsReserve(gsCheck.uRecords + 1)) {
        CheckForget();
        return;
    }
    /* Read by the next check: the caller may map the entry first. */
    gsCheck.asRecords[gsCheck.uRecords++].psEntry = psEntry;
}

static void CheckNoteRemoval(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psEntry) {
    if (gsCheck.psOwner != psPrivateData) return;
    if (psEntry->ui64CheckChangeMark == gui64CheckMark && gsCheck.uChanged > 0) gsCheck.uChanged--;
    size_t i = gsCheck.uRecords;
    while (i > 0 && gsCheck.asRecords[i - 1].psEntry != psEntry) i--;
    if (i == 0) {
        CheckForget();
        return;
    }
    i--;
    const VEK_mapper_check_record_t *psRecord = &gsCheck.asRecords[i];
    if (i < gsCheck.uChecked && !gsCheck.bStale) {
        if (!psRecord->bMapped) {
            /* The runs on either side of it join: pairs never compared meet. */
            gsCheck.bStale = VEK_TRUE;
        } else if (i >= gsCheck.uLeadStart) {
            for (VEK_UINT32 k = KEY_STAMP; k < KEY_KINDS; k++) LeadRemove(k, psRecord->aui64Value[k]);
        }
        /* A mapped entry further on leaves pairs that were compared already. */
    }
    memmove(&gsCheck.asRecords[i], &gsCheck.asRecords[i + 1], (gsCheck.uRecords - i - 1) * sizeof(*psRecord));
    gsCheck.uRecords--;
    if (i < gsCheck.uChecked) gsCheck.uChecked--;
    if (i < gsCheck.uLeadStart) gsCheck.uLeadStart--;
    /* An empty list keeps nothing, so that nothing is left behind when the module is unloaded. */
    if (gsCheck.uRecords == 0) CheckForget();
}

/* The records, in list order, still say what each entry compared last time brings. */
static VEK_BOOL RecordsStillTrue(void) {
    const VEK_mapper_check_record_t *asRecords = gsCheck.asRecords;
    for (size_t i = 0; i < gsCheck.uRecords; i++) {
        if (asRecords[i].psEntry->psNext != (i == 0 ? nullptr : asRecords[i - 1].psEntry)) return VEK_FALSE;
        if (i < gsCheck.uChecked && !RecordStillTrue(&asRecords[i])) return VEK_FALSE;
    }
    return VEK_TRUE;
}

/* The new pairs since the last check. VEK_FALSE when the records no longer describe the list
   and the whole list must be looked at; else the answer in *pbConsistent. */
static VEK_BOOL CheckNewPairs(VEK_private_data_t *psPrivateData, VEK_BOOL *pbConsistent) {
    const size_t uRecords = gsCheck.uRecords;
    VEK_mapper_check_record_t *asRecords = gsCheck.asRecords;

    if (uRecords == 0 || psPrivateData->psMapList != asRecords[uRecords - 1].psEntry) return VEK_FALSE;
    if (gsCheck.uChanged != 0) {
        if (!RecordsStillTrue()) return VEK_FALSE;
        gsCheck.uChanged = 0;
        gui64CheckMark++;
    } else {
        /* Nothing was changed in place: the records are trusted. The debug builds make sure. */
        assert(RecordsStillTrue() && "an entry changed without MapperEntryChanged");
    }

    VEK_BOOL bConsistent = VEK_TRUE;
    for (size_t i = gsCheck.uChecked; i < uRecords; i++) {
        VEK_mapper_check_record_t *psRecord = &asRecords[i];
        ReadRecord(psRecord->psEntry, psRecord);
        const VEK_UINT64 ui64Stamp = psRecord->aui64Value[KEY_STAMP];
        if (!psRecord->bMapped) {
            /* Compared with its successor, by stamp; it ends the leading run. */
            if (i > 0 && asRecords[i - 1].aui64Value[KEY_STAMP] == ui64Stamp) bConsistent = VEK_FALSE;
            free(gsCheck.asLead);
            gsCheck.asLead = nullptr;
            gsCheck.uLeadSlots = gsCheck.uLeadUsed = 0;
            gsCheck.uLeadStart = i + 1;
            continue;
        }
        /* Compared with the whole leading run, and with the stamp of the entry that ends it. */
        if (gsCheck.uLeadStart > 0 && asRecords[gsCheck.uLeadStart - 1].aui64Value[KEY_STAMP] == ui64Stamp)
            bConsistent = VEK_FALSE;
        if (4 * (gsCheck.uLeadUsed + KEY_KINDS) > 3 * gsCheck.uLeadSlots && !LeadRebuild(i)) return VEK_FALSE;
        if (!LeadAdd(psRecord)) bConsistent = VEK_FALSE;
        if (!bConsistent) break;
    }
    gsCheck.uChecked = uRecords;
    /* A false answer is followed by a removal that may make it true again. */
    if (!bConsistent) gsCheck.bStale = VEK_TRUE;
    *pbConsistent = bConsistent;
    return VEK_TRUE;
}

/* The whole list, and the records and the leading run's table from it. */
static VEK_BOOL CheckWholeList(VEK_private_data_t *psPrivateData, size_t uEntries) {
    const VEK_BOOL bConsistent = SanityCheckList(psPrivateData, uEntries);
    CheckForget();
    if (!bConsistent || !RecordsReserve(uEntries)) return bConsistent;

    size_t i = uEntries;
    for (VEK_mapper_meminfo_t *ps = psPrivateData->psMapList; ps != nullptr && i > 0; ps = ps->psNext)
        ReadRecord(ps, &gsCheck.asRecords[--i]);
    /* The records describe the list only when they cover it whole, oldest first. */
    if (i != 0) {
        CheckForget();
        return bConsistent;
    }
    gsCheck.uRecords = gsCheck.uChecked = uEntries;
    gsCheck.uLeadStart = uEntries;
    while (gsCheck.uLeadStart > 0 && gsCheck.asRecords[gsCheck.uLeadStart - 1].bMapped) gsCheck.uLeadStart--;
    if (!LeadRebuild(uEntries)) {
        CheckForget();
        return bConsistent;
    }
    gsCheck.psOwner = psPrivateData;
    return bConsistent;
}

VEK_BOOL MapperSanityCheck(VEK_private_data_t *psPrivateData) {
    VEK_BOOL bConsistent;
    if (gsCheck.psOwner == psPrivateData && !gsCheck.bStale && CheckNewPairs(psPrivateData, &bConsistent))
        return bConsistent;

    size_t uEntries = 0;
    for (const VEK_mapper_meminfo_t *ps = psPrivateData->psMapList; ps != nullptr; ps = ps->psNext) uEntries++;
    /* Short lists are compared pair by pair at once. */
    if (uEntries <= MAPPER_CHECK_PAIRS_MAX) {
        if (gsCheck.psOwner == psPrivateData) CheckForget();
        return SanityCheckPairs(psPrivateData->psMapList);
    }
    return CheckWholeList(psPrivateData, uEntries);
}

/* Appends to the dump without ever writing past maxLen; once the text no longer fits, the
   rest is only counted, so the result is the length of the whole text. */
#define DUMP_APPEND(...)                                                                     \
    do {                                                                                     \
        int iLen = count < maxLen ? snprintf(pszBuffer + count, maxLen - count, __VA_ARGS__) \
                                  : snprintf(nullptr, 0, __VA_ARGS__);                       \
        if (iLen > 0) count += (size_t)iLen;                                                 \
    } while (0)

size_t MapperDumpSyncObjects(VEK_private_data_t *psPrivateData, char *pszBuffer, size_t maxLen) {
    size_t count = 0;

    if (pszBuffer == nullptr) maxLen = 0;
    DUMP_APPEND("VEK Graphics HAL state:\n");
    DUMP_APPEND("  Dumping all active sync objects..\n");
    for (VEK_mapper_meminfo_t *ps = psPrivateData->psMapList; ps != nullptr; ps = ps->psNext) {
        /* An entry not mapped in this process has no synchronisation objects to show. */
        if (ps->apsMemInfo[0] == nullptr) continue;
        const ZOLSRV_CLIENT_SYNC_INFO *psS = ps->apsMemInfo[0]->psClientSyncInfo;
        const ZOLSRV_SYNC_DATA *psD = psS->psSyncData;
        DUMP_APPEND(
            "    ID=%llu, 0xP...FHWR=0x%.8x, WOP/WOC=0x%x/0x%x, ROP/ROC=0x%x/0x%x, ROP2/ROC2=0x%x/0x%x, "
            "WOC DevVA=0x%.8x, ROC DevVA=0x%.8x, ROC2 DevVA=0x%.8x\n",
            (unsigned long long)ps->ui64Stamp, (unsigned int)ps->usage, psD->ui32WriteOpsPending,
            psD->ui32WriteOpsComplete, psD->ui32ReadOpsPending, psD->ui32ReadOpsComplete, psD->ui32ReadOps2Pending,
            psD->ui32ReadOps2Complete, psS->sWriteOpsCompleteDevVAddr.uiAddr, psS->sReadOpsCompleteDevVAddr.uiAddr,
            psS->sReadOps2CompleteDevVAddr.uiAddr);
    }
    return count;
}

void MapperLogSyncObjects(VEK_private_data_t * /* psPrivateData */) {
    /* The module has no log; the dump of the allocator device shows the same objects. */
}
