/* The system under test: the real module, its buffers, and the checks of its state against the
   model after every command. */
#include <string.h>

#include <chrono>
#include <thread>

#include "framebuffer.h"
#include "model_test.h"

namespace model {

Sut::Sut(VEK_gralloc_module_t *psHMI_, alloc_device_t *psAlloc_, framebuffer_device_t *&psFb_, const Model &sModel)
    : psHMI(psHMI_), psGralloc(&psHMI_->base.base), psAlloc(psAlloc_), psFb(psFb_) {
    psForeign.reset(new ForeignAllocator());
    const size_t uBufs = sModel.bufs.size();
    aiPlanes.resize(uBufs);
    ahHandles.assign(uBufs, nullptr);
    abTaken.assign(uBufs, false);
    apsCopies.assign(uBufs, nullptr);
    aui64Stamps.assign(uBufs, 0);
    aauPlanes.resize(uBufs);
    aaavAddrs.resize(uBufs);
    aaapsMaps.resize(uBufs);
    VEK_UINT32 ui32Display = 0;
    for (size_t b = 0; b < uBufs; b++) {
        const Buf &s = sModel.bufs[b];
        aeKinds.push_back(s.kind);
        aiPlanes[b] = s.planes;
        if (s.kind == Kind::Display) {
            /* A display buffer's handle names its format from its first alloc on: take and give
               back one, so that every sequence starts alike. */
            buffer_handle_t hTaken = nullptr;
            int iStride = 0;
            EXPECT_EQ(0, psAlloc->alloc(psAlloc, 64, 32, psFb->format, GRALLOC_USAGE_HW_FB, &hTaken, &iStride));
            EXPECT_EQ(0, psAlloc->free(psAlloc, hTaken));
            ahHandles[b] =
                &reinterpret_cast<VEK_raw_framebuffer_device_t *>(psFb)->ppsBufferHandles[ui32Display++]->base;
            aui64Stamps[b] = AsVek(ahHandles[b])->ui64Stamp;
        } else if (Foreign(s)) {
            const size_t uFirst = psForeign->apsPlanes.size();
            ahHandles[b] = psForeign->Make(s.kind == Kind::ForeignMapped ? kSwRead | kSwWrite | kTexture : kComposer,
                                           64, 32, s.planes);
            aui64Stamps[b] = AsVek(ahHandles[b])->ui64Stamp;
            for (int p = 0; p < s.planes; p++) {
                aauPlanes[b].push_back(uFirst + (size_t)p);
                static_cast<unsigned char *>(psForeign->Plane(uFirst + (size_t)p)->pvLinAddr)[0] = Pattern((int)b, p);
            }
        }
    }
    uiBaseAllocations = zolsim_live_allocations();
}

Sut::~Sut() {
    /* After a failure, so that the next sequence starts from nothing. */
    if (!bReleased) Release();
    for (native_handle_t *ps : apsCopies)
        if (ps != nullptr) native_handle_delete(ps);
}

buffer_handle_t Sut::Handle(int b) const {
    return ahHandles[b] != nullptr || aeKinds[b] != Kind::Own ? ahHandles[b] : apsCopies[b];
}

ZOLSRV_CLIENT_MEM_INFO *Sut::Memory(int b, int iPlane) const {
    if (aeKinds[b] == Kind::Own) return iPlane == 0 ? zolsim_meminfo_by_stamp(aui64Stamps[b]) : nullptr;
    if (aeKinds[b] == Kind::Display) {
        VEK_mapper_meminfo_t *psEntry = Entry(b);
        return iPlane == 0 && psEntry != nullptr ? psEntry->apsMemInfo[0] : nullptr;
    }
    return iPlane < (int)aauPlanes[b].size() ? psForeign->Plane(aauPlanes[b][(size_t)iPlane]) : nullptr;
}

VEK_mapper_meminfo_t *Sut::Entry(int b) const {
    VEK_private_data_t *psPriv = &psHMI->sPrivateData;
    VEK_mapper_meminfo_t *psFound = nullptr;
    ZOLSRVLockMutex(psPriv->hMutex);
    for (VEK_mapper_meminfo_t *ps = psPriv->psMapList; ps != nullptr; ps = ps->psNext)
        if (ps->ui64Stamp == aui64Stamps[b] && aui64Stamps[b] != 0) psFound = ps;
    ZOLSRVUnlockMutex(psPriv->hMutex);
    return psFound;
}

namespace {
bool Complete(const ZOLSRV_CLIENT_MEM_INFO *psMem) {
    const ZOLSRV_SYNC_DATA *d = psMem->psClientSyncInfo->psSyncData;
    return __atomic_load_n(&d->ui32ReadOpsComplete, __ATOMIC_SEQ_CST) >=
               __atomic_load_n(&d->ui32ReadOpsPending, __ATOMIC_SEQ_CST) &&
           __atomic_load_n(&d->ui32ReadOps2Complete, __ATOMIC_SEQ_CST) >=
               __atomic_load_n(&d->ui32ReadOps2Pending, __ATOMIC_SEQ_CST) &&
           __atomic_load_n(&d->ui32WriteOpsComplete, __ATOMIC_SEQ_CST) >=
               __atomic_load_n(&d->ui32WriteOpsPending, __ATOMIC_SEQ_CST);
}

/* A queued release the worker may run now. */
bool RunnableQueued(VEK_private_data_t *psPriv) {
    bool bRunnable = false;
    ZOLSRVLockMutex(psPriv->hMutex);
    for (VEK_mapper_meminfo_t *ps = psPriv->psMapList; ps != nullptr && !bRunnable; ps = ps->psNext) {
        if (ps->pfnQueuedRelease == nullptr || ps->ui32LockCount != 0 || ps->ui32LockWaiters != 0) continue;
        bRunnable = true;
        for (int i = 0; i < 3 && ps->apsMemInfo[i] != nullptr; i++)
            if (!Complete(ps->apsMemInfo[i])) bRunnable = false;
    }
    ZOLSRVUnlockMutex(psPriv->hMutex);
    return bRunnable;
}
}  // namespace

void Sut::Settle() {
    for (int i = 0; i < 20000 && RunnableQueued(&psHMI->sPrivateData); i++)
        std::this_thread::sleep_for(std::chrono::microseconds(500));
}

void Sut::Check(const Model &sModel) {
    unsigned uiMappings = 0, uiAllocations = uiBaseAllocations;
    for (size_t b = 0; b < sModel.bufs.size(); b++) {
        const Buf &s = sModel.bufs[b];
        if (Foreign(s)) uiMappings += (unsigned)s.mapped;
        if (s.kind == Kind::Own && s.memory) uiAllocations++;
        VEK_mapper_meminfo_t *psEntry = Entry((int)b);
        RC_LOG() << "  checking buffer " << b << std::endl;
        RC_ASSERT(static_cast<bool>((psEntry != nullptr) == s.present));
        if (psEntry != nullptr) {
            RC_ASSERT(psEntry->ui32LockCount == s.count);
            RC_ASSERT((psEntry->bRegistered != 0) == s.registered);
            RC_ASSERT(static_cast<bool>((psEntry->pfnQueuedRelease != nullptr) == (s.pend != Pend::None)));
            /* One descriptor slot per plane the handle has, -1 past them (a display buffer
               exports none). */
            const int iFds = s.kind == Kind::Display ? 0 : s.planes;
            for (int i = 0; i < 3; i++) RC_ASSERT((psEntry->aiFd[i] >= 0) == (i < iFds));
            int iMapped = 0;
            while (iMapped < 3 && psEntry->apsMemInfo[iMapped] != nullptr) iMapped++;
            RC_ASSERT(iMapped == Slots(s));
        }
        /* What was handed out stays valid while the buffer is in use. */
        if (s.count == 0) {
            aaavAddrs[b].clear();
            aaapsMaps[b].clear();
        }
        for (const std::vector<void *> &av : aaavAddrs[b])
            for (size_t p = 0; p < av.size(); p++)
                if (s.kind != Kind::Display)
                    RC_ASSERT(*static_cast<volatile unsigned char *>(av[p]) == Pattern((int)b, (int)p));
        for (const std::vector<ZOLSRV_CLIENT_MEM_INFO *> &aps : aaapsMaps[b])
            for (size_t p = 0; p < aps.size(); p++)
                RC_ASSERT(static_cast<bool>(aps[p]->ui64Stamp ==
                                            (p == 0 ? aui64Stamps[b] : Memory((int)b, (int)p)->ui64Stamp)));
    }
    RC_ASSERT(zolsim_live_mappings() == uiMappings);
    RC_ASSERT(zolsim_live_allocations() == uiAllocations);
    RC_ASSERT(zolsim_stall_reports() == 0u);
}

bool Sut::Release() {
    bool bOk = true;
    bReleased = true;
    zolsim_clear_faults();
    for (size_t b = 0; b < aeKinds.size(); b++)
        for (int p = 0; p < aiPlanes[b]; p++)
            if (Memory((int)b, p) != nullptr) zolsim_gpu_complete(Memory((int)b, p));
    /* The worker runs what the GPU has now finished with first: an entry it frees must not be read
       here afterwards. */
    Settle();
    for (size_t b = 0; b < aeKinds.size(); b++) {
        VEK_mapper_meminfo_t *psEntry = Entry((int)b);
        if (psEntry == nullptr) continue;
        for (VEK_UINT32 i = psEntry->ui32LockCount; i > 0; i--) bOk &= psHMI->unmap(psGralloc, aui64Stamps[b]) == 0;
        if (aeKinds[b] == Kind::ForeignMapped || aeKinds[b] == Kind::ForeignLocked) {
            if (!psEntry->bRegistered) bOk &= psGralloc->registerBuffer(psGralloc, Handle((int)b)) == 0;
            bOk &= psGralloc->unregisterBuffer(psGralloc, Handle((int)b)) == 0;
        }
        if ((aeKinds[b] == Kind::Own && ahHandles[b] != nullptr) || abTaken[b]) {
            bOk &= psAlloc->free(psAlloc, Handle((int)b)) == 0;
            if (aeKinds[b] == Kind::Own) ahHandles[b] = nullptr;
            abTaken[b] = false;
        }
    }
    Settle();
    /* The display stops showing what the sequence gave it, as when the compositor closes it, and
       opens anew for the next sequence: the releases that waited for it can run. */
    bOk &= framebuffer_close(psFb) == 0;
    hw_device_t *psDevice = nullptr;
    bOk &= psHMI->base.base.common.methods->open(&psHMI->base.base.common, GRALLOC_HARDWARE_FB0, &psDevice) == 0;
    psFb = reinterpret_cast<framebuffer_device_t *>(psDevice);
    Settle();
    for (int i = 0; i < 10000 && zolsim_live_mappings() != 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (size_t b = 0; b < aeKinds.size(); b++)
        if (aeKinds[b] != Kind::Display) bOk &= Entry((int)b) == nullptr;
    bOk &= zolsim_live_mappings() == 0u;
    psForeign.reset();
    return bOk;
}

}  // namespace model
