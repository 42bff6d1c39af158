/* Releases that wait until the GPU has finished with a buffer. */
#include "gralloc_defer.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "gralloc.h"

typedef struct _VEK_defer_flush_op_ {
    struct _VEK_defer_flush_op_ *psPrev;
    struct _VEK_defer_flush_op_ *psNext;
    VEK_defer_flush_op_pfn pfnFlushOp;
    VEK_mapper_meminfo_t *psMapperMemInfo;
    int aiFd[VEK_NATIVE_HANDLE_NUM_FDS_MAX];
} VEK_defer_flush_op;

/* All guarded by the module mutex. One worker at a time works off the list: a release taken back
   from the list can empty it while its worker still waits for the GPU, and a new release then
   joins that worker instead of starting a second one. */
static VEK_defer_flush_op *gpsDeferList;
static pthread_t gpsDeferFlushOpThread;
static VEK_BOOL gbDeferWorkerRunning;  /* the worker has not yet seen the list empty */
static VEK_BOOL gbDeferWorkerJoinable; /* the last worker started has not been joined */
static VEK_BOOL gbDeferShutdown;       /* the module is being unloaded */

static VEK_BOOL OpsFlushed(ZOLSRV_CLIENT_MEM_INFO **apsMemInfo) {
    VEK_flush_ops_pair_t asPairs[3 * VEK_NATIVE_HANDLE_NUM_FDS_MAX];
    int iNumPairs = 0;

    for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX && apsMemInfo[i] != nullptr; i++) {
        ZOLSRV_SYNC_DATA *psSyncData = apsMemInfo[i]->psClientSyncInfo->psSyncData;
        asPairs[iNumPairs++] = {&psSyncData->ui32ReadOpsComplete, psSyncData->ui32ReadOpsPending};
        asPairs[iNumPairs++] = {&psSyncData->ui32ReadOps2Complete, psSyncData->ui32ReadOps2Pending};
        asPairs[iNumPairs++] = {&psSyncData->ui32WriteOpsComplete, psSyncData->ui32WriteOpsPending};
    }
    for (int i = 0; i < iNumPairs; i++)
        if (*asPairs[i].pui32OpsComplete < asPairs[i].ui32OpsPending) return VEK_FALSE;
    return VEK_TRUE;
}

static void WaitForGlobalEvent(VEK_private_data_t *psPrivateData) {
    ZOLSRVEventObjectWait(psPrivateData->sDevData.psConnection, psPrivateData->sHQTInfo.sMiscInfo.hOSGlobalEvent);
}

static VEK_defer_flush_op *FindDeferFlushOp(VEK_mapper_meminfo_t *psMapperMemInfo) {
    for (VEK_defer_flush_op *psNode = gpsDeferList; psNode != nullptr; psNode = psNode->psNext)
        if (psNode->psMapperMemInfo == psMapperMemInfo) return psNode;
    return nullptr;
}

static void UnlinkDeferFlushOp(VEK_defer_flush_op *psNode) {
    if (psNode->psNext != nullptr) psNode->psNext->psPrev = psNode->psPrev;
    if (psNode->psPrev != nullptr)
        psNode->psPrev->psNext = psNode->psNext;
    else
        gpsDeferList = psNode->psNext;
    free(psNode);
}

VEK_defer_flush_op_pfn PendingDeferFlushOp(VEK_mapper_meminfo_t *psMapperMemInfo) {
    VEK_defer_flush_op *psNode = FindDeferFlushOp(psMapperMemInfo);
    return psNode != nullptr ? psNode->pfnFlushOp : nullptr;
}

void RequeueDeferFlushOp(VEK_mapper_meminfo_t *psMapperMemInfo, VEK_defer_flush_op_pfn pfnFlushOp) {
    VEK_defer_flush_op *psNode = FindDeferFlushOp(psMapperMemInfo);
    if (psNode == nullptr) return;
    /* A worker that finds the list empty ends by itself. */
    if (pfnFlushOp == nullptr)
        UnlinkDeferFlushOp(psNode);
    else
        psNode->pfnFlushOp = pfnFlushOp;
}

static void *DeferFlushOpWorker(void *pvPriv) {
    VEK_private_data_t *psPrivateData = static_cast<VEK_private_data_t *>(pvPriv);

    for (;;) {
        ZOLSRVLockMutex(psPrivateData->hMutex);
        /* At unload the queued releases are left as they are; the worker only has to end. */
        if (gbDeferShutdown) {
            gbDeferWorkerRunning = VEK_FALSE;
            ZOLSRVUnlockMutex(psPrivateData->hMutex);
            return nullptr;
        }
        for (VEK_defer_flush_op *psNode = gpsDeferList, *psNext; psNode != nullptr; psNode = psNext) {
            psNext = psNode->psNext;
            if (!OpsFlushed(psNode->psMapperMemInfo->apsMemInfo)) continue;

            /* A release that fails here cannot be reported to anyone. */
            psNode->pfnFlushOp(psPrivateData, psNode->psMapperMemInfo, psNode->aiFd);
            UnlinkDeferFlushOp(psNode);
        }
        VEK_BOOL bEmpty = gpsDeferList == nullptr;
        if (bEmpty) gbDeferWorkerRunning = VEK_FALSE;
        ZOLSRVUnlockMutex(psPrivateData->hMutex);

        if (bEmpty) return nullptr;
        WaitForGlobalEvent(psPrivateData);
    }
}

int CheckDeferFlushOp(VEK_private_data_t *psPrivateData, VEK_defer_flush_op_pfn pfnFlushOp,
                      VEK_mapper_meminfo_t *psMapperMemInfo, int *aiFd) {
    if (OpsFlushed(psMapperMemInfo->apsMemInfo)) return pfnFlushOp(psPrivateData, psMapperMemInfo, aiFd);

    WaitForGlobalEvent(psPrivateData);
    if (OpsFlushed(psMapperMemInfo->apsMemInfo)) return pfnFlushOp(psPrivateData, psMapperMemInfo, aiFd);

    /* The node is made before the worker so that a failure leaves neither behind. */
    VEK_defer_flush_op *psNode = static_cast<VEK_defer_flush_op *>(calloc(1, sizeof(VEK_defer_flush_op)));
    if (psNode == nullptr) return -ENOMEM;

    if (!gbDeferWorkerRunning) {
        /* The last worker has seen the list empty and is ending, if it has not ended: reclaim it. */
        if (gbDeferWorkerJoinable) pthread_join(gpsDeferFlushOpThread, nullptr);
        gbDeferWorkerJoinable = VEK_FALSE;
        int iErr = pthread_create(&gpsDeferFlushOpThread, nullptr, DeferFlushOpWorker, psPrivateData);
        if (iErr != 0) {
            free(psNode);
            return iErr;
        }
        gbDeferWorkerRunning = gbDeferWorkerJoinable = VEK_TRUE;
    }

    psNode->pfnFlushOp = pfnFlushOp;
    psNode->psMapperMemInfo = psMapperMemInfo;
    memcpy(psNode->aiFd, aiFd, sizeof(psNode->aiFd));
    psNode->psNext = gpsDeferList;
    if (gpsDeferList != nullptr) gpsDeferList->psPrev = psNode;
    gpsDeferList = psNode;
    return 0;
}

void DeferFlushOpShutdown(VEK_private_data_t *psPrivateData) {
    ZOLSRVLockMutex(psPrivateData->hMutex);
    gbDeferShutdown = VEK_TRUE;
    const VEK_BOOL bJoin = gbDeferWorkerJoinable;
    gbDeferWorkerJoinable = VEK_FALSE;
    ZOLSRVUnlockMutex(psPrivateData->hMutex);
    /* A waiting worker wakes within one event time-out and ends. */
    if (bJoin) pthread_join(gpsDeferFlushOpThread, nullptr);
}
