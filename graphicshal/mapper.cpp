/* The process's list of known buffers. */
#include "mapper.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

/* An index of the entries by stamp, for the look-ups of every lock, unlock, free and
   unregistration, which would otherwise walk past every buffer the process knows. It only
   points into the lists: an entry is in it from its insertion to its removal, unless the index
   could not grow, and a look-up that it cannot answer walks the list. Guarded, like the list,
   by the module mutex. */
typedef struct {
    VEK_private_data_t *psPrivateData; /* NULL: never used */
    VEK_mapper_meminfo_t *psEntry;     /* NULL in a used slot: removed */
    VEK_UINT64 ui64Stamp;
} VEK_mapper_index_slot_t;

static VEK_mapper_index_slot_t *gasMapperIndex;
static size_t guMapperIndexSlots, guMapperIndexUsed, guMapperIndexLive;

static size_t MapperIndexHome(const VEK_private_data_t *psPrivateData, VEK_UINT64 ui64Stamp) {
    return (size_t)(((ui64Stamp ^ (VEK_UINT64)(uintptr_t)psPrivateData) * 0x9e3779b97f4a7c15ULL) >> 32) &
           (guMapperIndexSlots - 1);
}

static void MapperIndexPut(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psEntry) {
    size_t u = MapperIndexHome(psPrivateData, psEntry->ui64Stamp);
    while (gasMapperIndex[u].psPrivateData != nullptr) u = (u + 1) & (guMapperIndexSlots - 1);
    gasMapperIndex[u] = {psPrivateData, psEntry, psEntry->ui64Stamp};
    guMapperIndexUsed++;
    guMapperIndexLive++;
}

/* Rebuilds the index, without its removed slots, large enough for one more entry. */
static VEK_BOOL MapperIndexGrow(void) {
    size_t uSlots = 64;
    while (uSlots < 4 * (guMapperIndexLive + 1)) uSlots <<= 1;
    VEK_mapper_index_slot_t *asNew = static_cast<VEK_mapper_index_slot_t *>(calloc(uSlots, sizeof(*asNew)));
    if (asNew == nullptr) return VEK_FALSE;

    VEK_mapper_index_slot_t *asOld = gasMapperIndex;
    const size_t uOldSlots = guMapperIndexSlots;
    gasMapperIndex = asNew;
    guMapperIndexSlots = uSlots;
    guMapperIndexUsed = guMapperIndexLive = 0;
    for (size_t u = 0; u < uOldSlots; u++)
        if (asOld[u].psEntry != nullptr) MapperIndexPut(asOld[u].psPrivateData, asOld[u].psEntry);
    free(asOld);
    return VEK_TRUE;
}

static void MapperIndexAdd(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psEntry) {
    /* At most three quarters used, so that a search soon meets a free slot. */
    if (4 * (guMapperIndexUsed + 1) > 3 * guMapperIndexSlots && !MapperIndexGrow()) return;
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
    gasMapperIndex[u].psEntry = nullptr;
    /* An empty index goes, so that nothing is left behind when the module is unloaded. */
    if (--guMapperIndexLive == 0) {
        free(gasMapperIndex);
        gasMapperIndex = nullptr;
        guMapperIndexSlots = guMapperIndexUsed = 0;
    }
}

VEK_mapper_meminfo_t *MapperPeek(VEK_private_data_t *psPrivateData, VEK_UINT64 ui64Stamp) {
    if (guMapperIndexSlots != 0) {
        for (size_t u = MapperIndexHome(psPrivateData, ui64Stamp); gasMapperIndex[u].psPrivateData != nullptr;
             u = (u + 1) & (guMapperIndexSlots - 1)) {
            const VEK_mapper_index_slot_t *psSlot = &gasMapperIndex[u];
            if (psSlot->psEntry != nullptr && psSlot->psPrivateData == psPrivateData &&
                psSlot->ui64Stamp == ui64Stamp && psSlot->psEntry->ui64Stamp == ui64Stamp)
                return psSlot->psEntry;
        }
    }
    for (VEK_mapper_meminfo_t *ps = psPrivateData->psMapList; ps != nullptr; ps = ps->psNext)
        if (ps->ui64Stamp == ui64Stamp) return ps;
    return nullptr;
}

static VEK_mapper_meminfo_t *InsertBlankEntry(VEK_private_data_t *psPrivateData, VEK_native_handle_t *psNativeHandle) {
    if (MapperPeek(psPrivateData, psNativeHandle->ui64Stamp) != nullptr) return nullptr;

    VEK_mapper_meminfo_t *psEntry = static_cast<VEK_mapper_meminfo_t *>(calloc(1, sizeof(VEK_mapper_meminfo_t)));
    if (psEntry == nullptr) {
        perror("calloc");
        return nullptr;
    }
    psEntry->ui64Stamp = psNativeHandle->ui64Stamp;
    psEntry->iFormat = psNativeHandle->iFormat;
    psEntry->usage = psNativeHandle->usage;

    psEntry->psNext = psPrivateData->psMapList;
    psPrivateData->psMapList = psEntry;
    MapperIndexAdd(psPrivateData, psEntry);
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
    MapperIndexRemove(psPrivateData, ps);
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

/* Every pair, each entry against those after it: an entry without a first mem-info is compared
   by stamp and ends the scan of the entries before it. */
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

static VEK_mapper_check_key_t *FindKey(VEK_mapper_check_key_t *asKeys, size_t uMask, VEK_UINT32 ui32Kind,
                                       VEK_UINT32 ui32Run, VEK_UINT64 ui64Value) {
    size_t u = (size_t)(((ui64Value ^ ((VEK_UINT64)ui32Run << 3 | ui32Kind)) * 0x9e3779b97f4a7c15ULL) >> 32) & uMask;
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

VEK_BOOL MapperSanityCheck(VEK_private_data_t *psPrivateData) {
    size_t uEntries = 0;
    for (const VEK_mapper_meminfo_t *ps = psPrivateData->psMapList; ps != nullptr; ps = ps->psNext) uEntries++;
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
        if (psMem == nullptr) {
            if (FindKey(asKeys, uMask, KEY_STAMP, ui32Run, ps->ui64Stamp)->ui32Kind != 0 ||
                (ps->psNext != nullptr && ps->psNext->ui64Stamp == ps->ui64Stamp))
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
