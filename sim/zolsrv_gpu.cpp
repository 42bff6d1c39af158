// The simulated GPU: its work on the sync counters of each buffer.
#include <stdint.h>

#include <utility>

#include "zolsrv_state.h"

using namespace zolsim;

namespace zolsim {

void CompleteLocked(Mem *m, unsigned uiClasses) {
    ZOLSRV_SYNC_DATA *d = &m->psHeader->sSync;
    Guard gpu(m->gpuMu);
    GPU_WRITES_BEGIN();
    if (uiClasses & ZOLSIM_GPU_READS)
        __atomic_store_n(&d->ui32ReadOpsComplete, __atomic_load_n(&d->ui32ReadOpsPending, __ATOMIC_SEQ_CST),
                         __ATOMIC_SEQ_CST);
    if (uiClasses & ZOLSIM_GPU_WRITES)
        __atomic_store_n(&d->ui32WriteOpsComplete, __atomic_load_n(&d->ui32WriteOpsPending, __ATOMIC_SEQ_CST),
                         __ATOMIC_SEQ_CST);
    if (uiClasses & ZOLSIM_GPU_READS2)
        __atomic_store_n(&d->ui32ReadOps2Complete, __atomic_load_n(&d->ui32ReadOps2Pending, __ATOMIC_SEQ_CST),
                         __ATOMIC_SEQ_CST);
    GPU_WRITES_END();
    __atomic_add_fetch(&g_eventGeneration, 1, __ATOMIC_SEQ_CST);
}

Snapshot Snap(Mem *m) {
    const ZOLSRV_SYNC_DATA *d = &m->psHeader->sSync;
    return Snapshot{m, __atomic_load_n(&d->ui32ReadOpsComplete, __ATOMIC_SEQ_CST),
                    __atomic_load_n(&d->ui32WriteOpsComplete, __ATOMIC_SEQ_CST),
                    __atomic_load_n(&d->ui32ReadOps2Complete, __ATOMIC_SEQ_CST)};
}

}  // namespace zolsim

namespace {

constexpr unsigned kBufferLocks = 251;
pthread_mutex_t g_bufferMu[kBufferLocks];

__attribute__((constructor)) void InitBufferLocks() {
    for (pthread_mutex_t &m : g_bufferMu) pthread_mutex_init(&m, nullptr);
}

// The lock of a buffer, by its first page; kBufferLocks for none.
unsigned BufferLock(const void *pv) {
    return pv == nullptr ? kBufferLocks : (unsigned)(((uintptr_t)pv >> 12) % kBufferLocks);
}

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

void zolsim_internal_hw_access_begin(const void *pvFirst, const void *pvSecond) {
    unsigned a = BufferLock(pvFirst), b = BufferLock(pvSecond);
    if (a > b) std::swap(a, b);
    if (a < kBufferLocks) pthread_mutex_lock(&g_bufferMu[a]);
    if (b < kBufferLocks && b != a) pthread_mutex_lock(&g_bufferMu[b]);
}

void zolsim_internal_hw_access_end(const void *pvFirst, const void *pvSecond) {
    unsigned a = BufferLock(pvFirst), b = BufferLock(pvSecond);
    if (a > b) std::swap(a, b);
    if (b < kBufferLocks && b != a) pthread_mutex_unlock(&g_bufferMu[b]);
    if (a < kBufferLocks) pthread_mutex_unlock(&g_bufferMu[a]);
}

void zolsim_internal_gpu_write_begin(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    ReadGuard g(g_mu);
    Mem *m = FindMemLocked(psMemInfo);
    if (m == nullptr) return;
    Guard gpu(m->gpuMu);
    GPU_WRITES_BEGIN();
    __atomic_add_fetch(&m->psHeader->sSync.ui32WriteOpsPending, 1, __ATOMIC_SEQ_CST);
    GPU_WRITES_END();
}

void zolsim_internal_gpu_write_end(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    ReadGuard g(g_mu);
    Mem *m = FindMemLocked(psMemInfo);
    if (m == nullptr) return;
    Guard gpu(m->gpuMu);
    GPU_WRITES_BEGIN();
    __atomic_add_fetch(&m->psHeader->sSync.ui32WriteOpsComplete, 1, __ATOMIC_SEQ_CST);
    GPU_WRITES_END();
    __atomic_add_fetch(&g_eventGeneration, 1, __ATOMIC_SEQ_CST);
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
