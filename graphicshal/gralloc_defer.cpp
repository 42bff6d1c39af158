/* Releases that wait until the GPU has finished with a buffer. */
#include "gralloc_defer.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "gralloc.h"
#include "hal.h"
#include "mapper.h"

typedef struct _VEK_defer_flush_op_ {
    struct _VEK_defer_flush_op_ *psPrev;
    struct _VEK_defer_flush_op_ *psNext;
    VEK_defer_flush_op_pfn pfnFlushOp;
    VEK_mapper_meminfo_t *psMapperMemInfo; /* NULL for a loose release */
    int aiFd[VEK_NATIVE_HANDLE_NUM_FDS_MAX];
    VEK_loose_release_pfn pfnLooseRelease;
    void *pvObject;
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

/* A new node at the head of the list, or NULL when there is no memory for one. */
static VEK_defer_flush_op *LinkDeferFlushOp(void) {
    VEK_defer_flush_op *psNode = static_cast<VEK_defer_flush_op *>(calloc(1, sizeof(VEK_defer_flush_op)));
    if (psNode == nullptr) return nullptr;
    psNode->psNext = gpsDeferList;
    if (gpsDeferList != nullptr) gpsDeferList->psPrev = psNode;
    gpsDeferList = psNode;
    return psNode;
}

static void UnlinkDeferFlushOp(VEK_defer_flush_op *psNode) {
    if (psNode->psNext != nullptr) psNode->psNext->psPrev = psNode->psPrev;
    if (psNode->psPrev != nullptr)
        psNode->psPrev->psNext = psNode->psNext;
    else
        gpsDeferList = psNode->psNext;
    free(psNode);
}

/* The entry's queued release is dropped; a worker that then finds the list empty ends by itself. */
static void TakeBackDeferFlushOp(VEK_mapper_meminfo_t *psMapperMemInfo) {
    VEK_defer_flush_op *psNode = FindDeferFlushOp(psMapperMemInfo);
    if (psNode != nullptr) UnlinkDeferFlushOp(psNode);
    psMapperMemInfo->pfnQueuedRelease = nullptr;
}

static VEK_BOOL InUse(const VEK_mapper_meminfo_t *psMapperMemInfo) {
    return psMapperMemInfo->ui32LockCount != 0 || psMapperMemInfo->ui32LockWaiters != 0 ? VEK_TRUE : VEK_FALSE;
}

VEK_entry_verdict_t SettlePendingRelease(VEK_mapper_meminfo_t *psMapperMemInfo, VEK_entry_access_t eAccess) {
    if (psMapperMemInfo == nullptr) return VEK_ENTRY_GONE;
    const VEK_BOOL bInUse = InUse(psMapperMemInfo);

    switch (eAccess) {
        case VEK_ENTRY_USE:
            return psMapperMemInfo->bRegistered ? VEK_ENTRY_GO : VEK_ENTRY_GONE;
        case VEK_ENTRY_HOLD:
            if (!psMapperMemInfo->bRegistered) return VEK_ENTRY_GONE;
            /* The mapping that a last unlock let go serves this use instead, and must outlive
               the call. */
            if (psMapperMemInfo->pfnQueuedRelease != nullptr) TakeBackDeferFlushOp(psMapperMemInfo);
            return VEK_ENTRY_GO;
        case VEK_ENTRY_REGISTER:
            if (psMapperMemInfo->bAllocatedByThisProcess)
                return psMapperMemInfo->bRegistered ? VEK_ENTRY_GO : VEK_ENTRY_GONE;
            /* A process registers a foreign buffer once. */
            if (psMapperMemInfo->bRegistered) return VEK_ENTRY_GONE;
            /* Unregistered, or a registration failed: the buffer is registered anew and its
               removal, if one waits, is taken back. The caller completes the mapping. */
            if (psMapperMemInfo->pfnQueuedRelease != nullptr) TakeBackDeferFlushOp(psMapperMemInfo);
            psMapperMemInfo->bRegistered = VEK_TRUE;
            MapperEntryChanged(psMapperMemInfo);
            return VEK_ENTRY_GO;
        case VEK_ENTRY_RELEASE:
            if (!psMapperMemInfo->bRegistered) return VEK_ENTRY_GONE;
            if (psMapperMemInfo->ui32LockCount != 0) return VEK_ENTRY_BUSY;
            /* A queued unmapping gives way to the caller's release, which covers it. */
            if (psMapperMemInfo->pfnQueuedRelease != nullptr) TakeBackDeferFlushOp(psMapperMemInfo);
            return psMapperMemInfo->ui32LockWaiters != 0 ? VEK_ENTRY_HELD : VEK_ENTRY_GO;
        case VEK_ENTRY_WORKER:
            return bInUse ? VEK_ENTRY_BUSY : VEK_ENTRY_GO;
    }
    return VEK_ENTRY_GONE;
}

VEK_mapper_meminfo_t *LookupUsableEntry(VEK_private_data_t *psPrivateData, VEK_UINT64 ui64Stamp,
                                        VEK_entry_access_t eAccess) {
    VEK_mapper_meminfo_t *psMapperMemInfo = MapperPeek(psPrivateData, ui64Stamp);
    return SettlePendingRelease(psMapperMemInfo, eAccess) == VEK_ENTRY_GO ? psMapperMemInfo : nullptr;
}

VEK_BOOL MappingComplete(const VEK_mapper_meminfo_t *psMapperMemInfo, const int *aiFd) {
    for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX && aiFd[i] >= 0; i++)
        if (psMapperMemInfo->apsMemInfo[i] == nullptr) return VEK_FALSE;
    return VEK_TRUE;
}

/* One scan of the list, with the mutex held: every release whose buffer the GPU is done with and
   no call uses runs, and every loose release. */
static void RunFlushedReleases(VEK_private_data_t *psPrivateData) {
    for (VEK_defer_flush_op *psNode = gpsDeferList, *psNext; psNode != nullptr; psNode = psNext) {
        VEK_mapper_meminfo_t *psMapperMemInfo = psNode->psMapperMemInfo;
        psNext = psNode->psNext;
        if (psMapperMemInfo == nullptr) {
            if (psNode->pfnLooseRelease(psPrivateData, psNode->pvObject) == 0) UnlinkDeferFlushOp(psNode);
            continue;
        }
        if (!OpsFlushed(psMapperMemInfo->apsMemInfo) ||
            SettlePendingRelease(psMapperMemInfo, VEK_ENTRY_WORKER) != VEK_ENTRY_GO)
            continue;

        /* The release may free the entry. One that fails cannot be reported to anyone: it stays
           queued and is tried again at the next scan, so that nothing it holds is lost. A failed
           release leaves the entry, and the node's descriptors name what is still held. */
        psMapperMemInfo->pfnQueuedRelease = nullptr;
        if (psNode->pfnFlushOp(psPrivateData, psMapperMemInfo, psNode->aiFd) != 0) {
            psMapperMemInfo->pfnQueuedRelease = psNode->pfnFlushOp;
            continue;
        }
        UnlinkDeferFlushOp(psNode);
    }
}

static void *DeferFlushOpWorker(void *pvPriv) {
    VEK_private_data_t *psPrivateData = static_cast<VEK_private_data_t *>(pvPriv);

    for (;;) {
        LockModuleMutex(psPrivateData);
        /* At unload the worker only has to end (the unload ran what could run). */
        if (gbDeferShutdown) {
            gbDeferWorkerRunning = VEK_FALSE;
            UnlockModuleMutex(psPrivateData);
            return nullptr;
        }
        RunFlushedReleases(psPrivateData);
        VEK_BOOL bEmpty = gpsDeferList == nullptr;
        if (bEmpty) gbDeferWorkerRunning = VEK_FALSE;
        UnlockModuleMutex(psPrivateData);

        if (bEmpty) return nullptr;
        WaitForGlobalEvent(psPrivateData);
    }
}

/* The worker runs while the list holds a release. One that cannot start leaves the list as it is:
   the next call that lets the module mutex go starts it (KeepReleasesGoing), and the unload runs
   what can run. Returns pthread_create's error number. */
static int KeepDeferWorkerRunning(VEK_private_data_t *psPrivateData) {
    if (gbDeferWorkerRunning || gpsDeferList == nullptr) return 0;
    /* The last worker has seen the list empty and is ending, if it has not ended: reclaim it. */
    if (gbDeferWorkerJoinable) pthread_join(gpsDeferFlushOpThread, nullptr);
    gbDeferWorkerJoinable = VEK_FALSE;
    const int iErr = pthread_create(&gpsDeferFlushOpThread, nullptr, DeferFlushOpWorker, psPrivateData);
    if (iErr != 0) return iErr;
    gbDeferWorkerRunning = gbDeferWorkerJoinable = VEK_TRUE;
    return 0;
}

/* Queues the release for the worker, in place of the one queued for the entry, if any. A release
   whose worker cannot start stays queued all the same: the caller, who never asks twice, is
   answered pthread_create's error number. */
static int QueueDeferFlushOp(VEK_private_data_t *psPrivateData, VEK_defer_flush_op_pfn pfnFlushOp,
                             VEK_mapper_meminfo_t *psMapperMemInfo, int *aiFd, VEK_defer_flush_op *psNode) {
    if (psNode == nullptr) {
        psNode = LinkDeferFlushOp();
        if (psNode == nullptr) return -ENOMEM;
        psNode->psMapperMemInfo = psMapperMemInfo;
    }
    /* One release per entry: a new one replaces the one queued, which it covers. */
    psNode->pfnFlushOp = pfnFlushOp;
    memcpy(psNode->aiFd, aiFd, sizeof(psNode->aiFd));
    psMapperMemInfo->pfnQueuedRelease = pfnFlushOp;
    /* A removal or a free that waits for the GPU takes the buffer from its owner at once. */
    if (pfnFlushOp != __unmap) {
        psMapperMemInfo->bRegistered = VEK_FALSE;
        MapperEntryChanged(psMapperMemInfo);
    }
    return KeepDeferWorkerRunning(psPrivateData);
}

void KeepReleasesGoing(VEK_private_data_t *psPrivateData) {
    if (!gbDeferShutdown) KeepDeferWorkerRunning(psPrivateData);
}

int QueueLooseRelease(VEK_private_data_t *psPrivateData, VEK_loose_release_pfn pfnLooseRelease, void *pvObject) {
    VEK_defer_flush_op *psNode = LinkDeferFlushOp();
    if (psNode == nullptr) return -ENOMEM;
    psNode->pfnLooseRelease = pfnLooseRelease;
    psNode->pvObject = pvObject;
    return KeepDeferWorkerRunning(psPrivateData);
}

int ReleaseNowOrLater(VEK_private_data_t *psPrivateData, VEK_loose_release_pfn pfnLooseRelease, void *pvObject) {
    return pfnLooseRelease(psPrivateData, pvObject) == 0 ? 0
                                                         : QueueLooseRelease(psPrivateData, pfnLooseRelease, pvObject);
}

int CheckDeferFlushOp(VEK_private_data_t *psPrivateData, VEK_defer_flush_op_pfn pfnFlushOp,
                      VEK_mapper_meminfo_t *psMapperMemInfo, int *aiFd) {
    VEK_defer_flush_op *psNode =
        psMapperMemInfo->pfnQueuedRelease != nullptr ? FindDeferFlushOp(psMapperMemInfo) : nullptr;

    /* A buffer that a call still uses (a lock, a first lock waiting for the GPU, a Post2 swapping
       it) is released only once that call lets go, whatever the GPU has done: the worker waits for
       both. */
    if (InUse(psMapperMemInfo)) return QueueDeferFlushOp(psPrivateData, pfnFlushOp, psMapperMemInfo, aiFd, psNode);
    if (!OpsFlushed(psMapperMemInfo->apsMemInfo)) WaitForGlobalEvent(psPrivateData);
    if (OpsFlushed(psMapperMemInfo->apsMemInfo)) {
        if (psNode != nullptr) TakeBackDeferFlushOp(psMapperMemInfo);
        return pfnFlushOp(psPrivateData, psMapperMemInfo, aiFd);
    }
    return QueueDeferFlushOp(psPrivateData, pfnFlushOp, psMapperMemInfo, aiFd, psNode);
}

int CheckDeferFlushOpOrRetry(VEK_private_data_t *psPrivateData, VEK_defer_flush_op_pfn pfnFlushOp,
                             VEK_mapper_meminfo_t *psMapperMemInfo, int *aiFd) {
    const int iErr = CheckDeferFlushOp(psPrivateData, pfnFlushOp, psMapperMemInfo, aiFd);
    /* A release that ran at once and failed is tried again by the worker, as a queued one is. */
    if (iErr < 0) QueueDeferFlushOp(psPrivateData, pfnFlushOp, psMapperMemInfo, aiFd, nullptr);
    return iErr;
}

void DeferFlushOpShutdown(VEK_private_data_t *psPrivateData) {
    LockModuleMutex(psPrivateData);
    /* What the GPU is done with is released now rather than left to the process's end; the rest
       (the GPU still at work, a call still holding the buffer) is left as it is. */
    RunFlushedReleases(psPrivateData);
    gbDeferShutdown = VEK_TRUE;
    const VEK_BOOL bJoin = gbDeferWorkerJoinable;
    gbDeferWorkerJoinable = VEK_FALSE;
    UnlockModuleMutex(psPrivateData);
    /* A waiting worker wakes within one event time-out and ends. */
    if (bJoin) pthread_join(gpsDeferFlushOpThread, nullptr);
}
