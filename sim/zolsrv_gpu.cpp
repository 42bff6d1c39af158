// The simulated GPU: its work on the sync counters of each buffer.
#include <stdint.h>

#include <utility>

#include "zolsrv_state.h"

using namespace zolsim;

namespace zolsim {

namespace {

// The counters of one class: pending, complete, and the hardware's share of what is pending.
struct ClassCounters {
    volatile VEK_UINT32 *pui32Pending, *pui32Complete;
    VEK_UINT32 *pui32HwOps;
};

ClassCounters Counters(Mem *m, unsigned uiClass) {
    ZOLSRV_SYNC_DATA *d = &m->psHeader->sSync;
    VEK_UINT32 *pui32Hw = m->psHeader->aui32HwOps;
    switch (uiClass) {
        case ZOLSIM_GPU_READS:
            return ClassCounters{&d->ui32ReadOpsPending, &d->ui32ReadOpsComplete, &pui32Hw[0]};
        case ZOLSIM_GPU_WRITES:
            return ClassCounters{&d->ui32WriteOpsPending, &d->ui32WriteOpsComplete, &pui32Hw[1]};
        default:
            return ClassCounters{&d->ui32ReadOps2Pending, &d->ui32ReadOps2Complete, &pui32Hw[2]};
    }
}

constexpr unsigned kClasses[] = {ZOLSIM_GPU_READS, ZOLSIM_GPU_WRITES, ZOLSIM_GPU_READS2};

}  // namespace

// The test's GPU completes its own operations: everything pending but what the hardware still has.
void CompleteLocked(Mem *m, unsigned uiClasses) {
    Guard gpu(m->gpuMu);
    GPU_WRITES_BEGIN();
    for (unsigned uiClass : kClasses) {
        if (!(uiClasses & uiClass)) continue;
        const ClassCounters c = Counters(m, uiClass);
        const VEK_UINT32 ui32Done =
            __atomic_load_n(c.pui32Pending, __ATOMIC_SEQ_CST) - __atomic_load_n(c.pui32HwOps, __ATOMIC_SEQ_CST);
        if ((VEK_INT32)(ui32Done - __atomic_load_n(c.pui32Complete, __ATOMIC_SEQ_CST)) > 0)
            __atomic_store_n(c.pui32Complete, ui32Done, __ATOMIC_SEQ_CST);
    }
    GPU_WRITES_END();
    __atomic_add_fetch(&g_eventGeneration, 1, __ATOMIC_SEQ_CST);
}

void HwUseBeginLocked(Mem *m, unsigned uiClasses) {
    __atomic_add_fetch(&m->uiHwUsers, 1, __ATOMIC_SEQ_CST);
    Guard gpu(m->gpuMu);
    GPU_WRITES_BEGIN();
    for (unsigned uiClass : kClasses) {
        if (!(uiClasses & uiClass)) continue;
        const ClassCounters c = Counters(m, uiClass);
        __atomic_add_fetch(c.pui32HwOps, 1, __ATOMIC_SEQ_CST);
        __atomic_add_fetch(c.pui32Pending, 1, __ATOMIC_SEQ_CST);
    }
    GPU_WRITES_END();
}

// The memory is let go first, then the operation completes: whoever sees it complete may release
// the memory at once.
bool HwUseEndLocked(Mem *m, unsigned uiClasses) {
    const bool bLast = __atomic_sub_fetch(&m->uiHwUsers, 1, __ATOMIC_SEQ_CST) == 0;
    {
        Guard gpu(m->gpuMu);
        GPU_WRITES_BEGIN();
        for (unsigned uiClass : kClasses) {
            if (!(uiClasses & uiClass)) continue;
            const ClassCounters c = Counters(m, uiClass);
            __atomic_sub_fetch(c.pui32HwOps, 1, __ATOMIC_SEQ_CST);
            __atomic_add_fetch(c.pui32Complete, 1, __ATOMIC_SEQ_CST);
        }
        GPU_WRITES_END();
    }
    __atomic_add_fetch(&g_eventGeneration, 1, __ATOMIC_SEQ_CST);
    return bLast && m->bEnded;
}

void ReleaseEnded(Mem *m) {
    {
        WriteGuard g(g_mu);
        Erase(S().ended, m);
    }
    ReleaseMem(m);
}

Snapshot Snap(Mem *m) {
    const ZOLSRV_SYNC_DATA *d = &m->psHeader->sSync;
    return Snapshot{m, __atomic_load_n(&d->ui32ReadOpsComplete, __ATOMIC_SEQ_CST),
                    __atomic_load_n(&d->ui32WriteOpsComplete, __ATOMIC_SEQ_CST),
                    __atomic_load_n(&d->ui32ReadOps2Complete, __ATOMIC_SEQ_CST)};
}

}  // namespace zolsim

namespace {

struct CompleteAfter {
    const ZOLSRV_CLIENT_MEM_INFO *p;
    unsigned uiClasses;
    unsigned uiMs;
};

void *CompleteAfterThread(void *pv) {
    CompleteAfter *a = static_cast<CompleteAfter *>(pv);
    SleepUs((long)a->uiMs * 1000);
    zolsim_gpu_complete_classes(a->p, a->uiClasses);
    delete a;
    return nullptr;
}

}  // namespace

extern "C" {

void zolsim_internal_hw_use_begin(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, unsigned uiClasses) {
    ReadGuard g(g_mu);
    Mem *m = FindMemLocked(psMemInfo);
    if (m != nullptr) HwUseBeginLocked(m, uiClasses);
}

void zolsim_internal_hw_use_end(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, unsigned uiClasses) {
    Mem *m;
    bool bRelease;
    {
        ReadGuard g(g_mu);
        m = FindMemLocked(psMemInfo);
        // Memory a disconnect ended while this use went on is no longer among the live.
        for (size_t i = 0; m == nullptr && i < S().ended.size(); i++)
            if (&S().ended[i]->sInfo == psMemInfo) m = S().ended[i];
        if (m == nullptr) return;
        bRelease = HwUseEndLocked(m, uiClasses);
    }
    if (bRelease) ReleaseEnded(m);
}

int zolsim_internal_hw_in_use(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    ReadGuard g(g_mu);
    Mem *m = FindMemLocked(psMemInfo);
    return m != nullptr && __atomic_load_n(&m->uiHwUsers, __ATOMIC_SEQ_CST) != 0 ? 1 : 0;
}

pthread_mutex_t *zolsim_internal_hw_mutex(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    ReadGuard g(g_mu);
    Mem *m = FindMemLocked(psMemInfo);
    return m != nullptr ? &m->hwMu : nullptr;
}

void zolsim_internal_hw_lock(pthread_mutex_t *psFirst, pthread_mutex_t *psSecond) {
    if (psFirst > psSecond) std::swap(psFirst, psSecond);
    ZOLSIM_TSAN_HIDE_BEGIN();
    if (psFirst != nullptr) pthread_mutex_lock(psFirst);
    if (psSecond != nullptr && psSecond != psFirst) pthread_mutex_lock(psSecond);
    ZOLSIM_TSAN_HIDE_END();
}

void zolsim_internal_hw_unlock(pthread_mutex_t *psFirst, pthread_mutex_t *psSecond) {
    if (psFirst > psSecond) std::swap(psFirst, psSecond);
    ZOLSIM_TSAN_HIDE_BEGIN();
    if (psSecond != nullptr && psSecond != psFirst) pthread_mutex_unlock(psSecond);
    if (psFirst != nullptr) pthread_mutex_unlock(psFirst);
    ZOLSIM_TSAN_HIDE_END();
}

void zolsim_gpu_add_ops(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, VEK_UINT32 ui32Reads, VEK_UINT32 ui32Writes,
                        VEK_UINT32 ui32Reads2) {
    ReadGuard g(g_mu);
    Mem *m = FindMemLocked(psMemInfo);
    if (m == nullptr) return;
    ZOLSRV_SYNC_DATA *d = &m->psHeader->sSync;
    Guard gpu(m->gpuMu);
    GPU_WRITES_BEGIN();
    __atomic_add_fetch(&d->ui32ReadOpsPending, ui32Reads, __ATOMIC_SEQ_CST);
    __atomic_add_fetch(&d->ui32WriteOpsPending, ui32Writes, __ATOMIC_SEQ_CST);
    __atomic_add_fetch(&d->ui32ReadOps2Pending, ui32Reads2, __ATOMIC_SEQ_CST);
    GPU_WRITES_END();
}

void zolsim_gpu_complete_classes(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, unsigned uiClasses) {
    ReadGuard g(g_mu);
    Mem *m = FindMemLocked(psMemInfo);
    if (m != nullptr) CompleteLocked(m, uiClasses);
}

void zolsim_gpu_complete(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    zolsim_gpu_complete_classes(psMemInfo, ZOLSIM_GPU_ALL);
}

void zolsim_gpu_complete_classes_after(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, unsigned uiClasses, unsigned uiMs) {
    CompleteAfter *a = new CompleteAfter{psMemInfo, uiClasses, uiMs};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t t;
    if (pthread_create(&t, &attr, CompleteAfterThread, a) != 0) {
        delete a;
        fprintf(stderr, "zolsim: cannot start the GPU completion thread\n");
        abort();
    }
    pthread_attr_destroy(&attr);
}

void zolsim_gpu_complete_after(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, unsigned uiMs) {
    zolsim_gpu_complete_classes_after(psMemInfo, ZOLSIM_GPU_ALL, uiMs);
}

void zolsim_gpu_complete_classes_on_next_wait(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, unsigned uiClasses) {
    WriteGuard g(g_mu);
    Mem *m = FindMemLocked(psMemInfo);
    if (m == nullptr) return;
    if (m->uiClassesOnNextWait == 0) S().completeOnNextWait.push_back(m);
    m->uiClassesOnNextWait |= uiClasses;
    __atomic_store_n(&S().uiCompleteOnNextWait, (unsigned)S().completeOnNextWait.size(), __ATOMIC_RELAXED);
}

void zolsim_gpu_complete_on_next_wait(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    zolsim_gpu_complete_classes_on_next_wait(psMemInfo, ZOLSIM_GPU_ALL);
}

}  // extern "C"
