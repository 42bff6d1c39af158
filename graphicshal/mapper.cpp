/* The process's list of known buffers. */
#include "mapper.h"

#include <stdio.h>
#include <stdlib.h>

VEK_mapper_meminfo_t *MapperPeek(VEK_private_data_t *psPrivateData, VEK_UINT64 ui64Stamp) {
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

VEK_BOOL MapperSanityCheck(VEK_private_data_t *psPrivateData) {
    for (VEK_mapper_meminfo_t *psA = psPrivateData->psMapList; psA != nullptr; psA = psA->psNext) {
        for (VEK_mapper_meminfo_t *psB = psA->psNext; psB != nullptr; psB = psB->psNext) {
            if (psA->ui64Stamp == psB->ui64Stamp) return VEK_FALSE;
            if (psA->apsMemInfo[0] == nullptr || psB->apsMemInfo[0] == nullptr) break;
            if (psA->apsMemInfo[0] == psB->apsMemInfo[0]) return VEK_FALSE;
            if (SyncObjectsShared(psA->apsMemInfo[0], psB->apsMemInfo[0])) return VEK_FALSE;
        }
    }
    return VEK_TRUE;
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
