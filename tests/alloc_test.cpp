/* The allocator device: allocation, release, deferred release and dump. */
#include <fcntl.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "foreign_buffer.h"
#include "interpose.h"
#include "mapper.h"
#include "module_fixture.h"

namespace {

constexpr int kSwUsage = GRALLOC_USAGE_SW_READ_OFTEN | GRALLOC_USAGE_SW_WRITE_OFTEN;

class AllocTest : public AllocatorTest {
protected:
    buffer_handle_t Alloc(int w, int h, int format, int usage, int *piStride = nullptr) {
        buffer_handle_t h0 = nullptr;
        int iStride = 0;
        EXPECT_EQ(0, psAlloc->alloc(psAlloc, w, h, format, usage, &h0, &iStride));
        if (piStride != nullptr) *piStride = iStride;
        return h0;
    }

    VEK_mapper_meminfo_t *Entry(buffer_handle_t h) { return MapperPeekFor(AsVek(h)->ui64Stamp); }

    VEK_mapper_meminfo_t *MapperPeekFor(VEK_UINT64 ui64Stamp) {
        for (VEK_mapper_meminfo_t *ps = Private()->psMapList; ps != nullptr; ps = ps->psNext)
            if (ps->ui64Stamp == ui64Stamp) return ps;
        return nullptr;
    }
};

TEST_F(AllocTest, StrideIsTheWidthRoundedUpTo32Pixels) {
    const int aiCases[][2] = {{1, 32}, {32, 32}, {33, 64}, {100, 128}, {1920, 1920}};
    for (const auto &aiCase : aiCases) {
        int iStride = 0;
        buffer_handle_t h = Alloc(aiCase[0], 4, HAL_PIXEL_FORMAT_RGB_565, kSwUsage, &iStride);
        EXPECT_EQ(aiCase[1], iStride) << "width " << aiCase[0];
        EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    }
}

TEST_F(AllocTest, FlagsFollowTheUsage) {
    const int aiCases[][2] = {{GRALLOC_USAGE_HW_TEXTURE, 0x10000001},
                              {GRALLOC_USAGE_HW_RENDER, 0x10000003},
                              {GRALLOC_USAGE_SW_READ_RARELY, 0x10001001},
                              {GRALLOC_USAGE_SW_WRITE_RARELY, 0x10001003},
                              {GRALLOC_USAGE_HW_COMPOSER, 0x10000001}};
    unsigned uiRecords = 0;
    for (const auto &aiCase : aiCases) {
        buffer_handle_t h = Alloc(16, 16, HAL_PIXEL_FORMAT_BGRA_8888, aiCase[0]);
        ZOLSIM_ALLOC_RECORD asRecords[16];
        uiRecords = zolsim_alloc_records(asRecords, 16);
        ASSERT_GE(uiRecords, 1u);
        EXPECT_EQ((VEK_UINT32)aiCase[1], asRecords[uiRecords - 1].ui32Attribs) << "usage 0x" << std::hex << aiCase[0];
        EXPECT_EQ(Private()->hGeneralHeap, asRecords[uiRecords - 1].hHeap);
        EXPECT_EQ(0u, asRecords[uiRecords - 1].ui32PrivDataLength);
        EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    }
}

TEST_F(AllocTest, SizesArePageRounded) {
    const size_t uPage = (size_t)getpagesize();
    struct {
        int w, h, format;
        size_t uExpected;
    } asCases[] = {
        {100, 100, HAL_PIXEL_FORMAT_RGB_565, (25600 + uPage - 1) / uPage * uPage}, /* stride 128 */
        {64, 64, HAL_PIXEL_FORMAT_YV12, (6144 + uPage - 1) / uPage * uPage},       /* 12 bits */
        {1920, 1080, HAL_PIXEL_FORMAT_BGRA_8888, 8294400},                         /* already whole pages */
        {32, 32, HAL_PIXEL_FORMAT_RGBX_8888, 4096},
    };
    for (const auto &sCase : asCases) {
        buffer_handle_t h = Alloc(sCase.w, sCase.h, sCase.format, kSwUsage);
        ZOLSIM_ALLOC_RECORD asRecords[8];
        unsigned n = zolsim_alloc_records(asRecords, 8);
        ASSERT_GE(n, 1u);
        EXPECT_EQ(sCase.uExpected, asRecords[n - 1].uSize) << sCase.w << "x" << sCase.h;
        EXPECT_EQ(uPage, asRecords[n - 1].uAlignment);
        EXPECT_EQ(sCase.uExpected, MemInfo(h)->uAllocSize);
        EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    }
}

TEST_F(AllocTest, HandleDescribesTheBuffer) {
    int iStride = 0;
    buffer_handle_t h = Alloc(100, 50, HAL_PIXEL_FORMAT_RGB_565, kSwUsage | GRALLOC_USAGE_HW_TEXTURE, &iStride);
    ASSERT_NE(nullptr, h);
    const VEK_native_handle_t *ps = AsVek(h);
    EXPECT_EQ(12, ps->base.version);
    EXPECT_EQ(1, ps->base.numFds);
    EXPECT_EQ(9, ps->base.numInts);
    EXPECT_GE(fcntl(ps->fd[0], F_GETFD), 0) << "the plane's exported descriptor is open";
    EXPECT_EQ(-1, ps->fd[1]);
    EXPECT_EQ(-1, ps->fd[2]);
    ASSERT_NE(nullptr, MemInfo(h)) << "the handle carries the stamp of its memory";
    EXPECT_EQ(kSwUsage | GRALLOC_USAGE_HW_TEXTURE, ps->usage);
    EXPECT_EQ(100, ps->iWidth);
    EXPECT_EQ(50, ps->iHeight);
    EXPECT_EQ(HAL_PIXEL_FORMAT_RGB_565, ps->iFormat);
    EXPECT_EQ(16u, ps->uiBpp);
    EXPECT_EQ(128, iStride);

    VEK_mapper_meminfo_t *psEntry = Entry(h);
    ASSERT_NE(nullptr, psEntry);
    EXPECT_TRUE(psEntry->bAllocatedByThisProcess);
    EXPECT_TRUE(psEntry->bRegistered);
    EXPECT_EQ(MemInfo(h), psEntry->apsMemInfo[0]);
    EXPECT_EQ(nullptr, psEntry->apsMemInfo[1]);
    EXPECT_EQ(0u, psEntry->ui32LockCount);
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

TEST_F(AllocTest, EveryGenericFormatIsZeroFilled) {
    for (int iFormat :
         std::initializer_list<int>{HAL_PIXEL_FORMAT_BGRA_8888, HAL_PIXEL_FORMAT_RGBA_8888, 0x1ff,
                                    HAL_PIXEL_FORMAT_RGBX_8888, HAL_PIXEL_FORMAT_RGB_565, HAL_PIXEL_FORMAT_YV12}) {
        buffer_handle_t h = Alloc(40, 30, iFormat, kSwUsage);
        ASSERT_NE(nullptr, h);
        const ZOLSRV_CLIENT_MEM_INFO *psMem = MemInfo(h);
        const unsigned char *pc = static_cast<const unsigned char *>(psMem->pvLinAddr);
        size_t uNonZero = 0;
        for (size_t i = 0; i < psMem->uAllocSize; i++) uNonZero += pc[i] != 0;
        EXPECT_EQ(0u, uNonZero) << "format " << iFormat << ": device memory arrives dirty and must be cleared";
        EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    }
}

TEST_F(AllocTest, RefusesBadArgumentsWithoutTakingTheMutex) {
    buffer_handle_t h = nullptr;
    int iStride = 0;
    unsigned uiLocks = zolsim_calls("ZOLSRVLockMutex");
    EXPECT_EQ(-EINVAL, psAlloc->alloc(nullptr, 16, 16, HAL_PIXEL_FORMAT_RGB_565, 0, &h, &iStride));
    EXPECT_EQ(-EINVAL, psAlloc->alloc(psAlloc, 16, 16, HAL_PIXEL_FORMAT_RGB_565, 0, nullptr, &iStride));
    EXPECT_EQ(-EINVAL, psAlloc->alloc(psAlloc, 16, 16, HAL_PIXEL_FORMAT_RGB_565, 0, &h, nullptr));
    for (int iUsage :
         std::initializer_list<int>{GRALLOC_USAGE_HW_2D, GRALLOC_USAGE_HW_VIDEO_ENCODER, GRALLOC_USAGE_PRIVATE_0,
                                    GRALLOC_USAGE_PRIVATE_2, GRALLOC_USAGE_PRIVATE_3, 0x4, 0x40, 0x8000, 0x100000})
        EXPECT_EQ(-EINVAL, psAlloc->alloc(psAlloc, 16, 16, HAL_PIXEL_FORMAT_RGB_565, iUsage, &h, &iStride))
            << "usage 0x" << std::hex << iUsage;
    for (int iFormat : std::initializer_list<int>{0, HAL_PIXEL_FORMAT_RGB_888, HAL_PIXEL_FORMAT_RGBA_4444, 0x101, -1})
        EXPECT_EQ(-EINVAL, psAlloc->alloc(psAlloc, 16, 16, iFormat, kSwUsage, &h, &iStride)) << "format " << iFormat;
    /* Display usage needs a format the GPU can render into. */
    for (int iFormat :
         std::initializer_list<int>{HAL_PIXEL_FORMAT_YV12, HAL_PIXEL_FORMAT_RGBA_8888, HAL_PIXEL_FORMAT_RGBX_8888})
        EXPECT_EQ(-EINVAL, psAlloc->alloc(psAlloc, 16, 16, iFormat, GRALLOC_USAGE_HW_FB, &h, &iStride));
    EXPECT_EQ(uiLocks, zolsim_calls("ZOLSRVLockMutex"));
    EXPECT_EQ(nullptr, h);
    EXPECT_EQ(0, iStride);
    EXPECT_EQ(0u, zolsim_calls("ZOLSRVAllocDeviceMem2"));
}

TEST_F(AllocTest, AcceptsEveryAllowedUsageBit) {
    for (int iUsage :
         std::initializer_list<int>{0, GRALLOC_USAGE_PRIVATE_1, GRALLOC_USAGE_PROTECTED, GRALLOC_USAGE_EXTERNAL_DISP,
                                    GRALLOC_USAGE_HW_COMPOSER, 0x20007b33 & ~GRALLOC_USAGE_HW_FB}) {
        buffer_handle_t h = Alloc(8, 8, HAL_PIXEL_FORMAT_BGRA_8888, iUsage);
        ASSERT_NE(nullptr, h) << "usage 0x" << std::hex << iUsage;
        EXPECT_EQ(iUsage, AsVek(h)->usage);
        EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    }
}

TEST_F(AllocTest, DisplayUsageWithoutFramebufferIsAFault) {
    buffer_handle_t h = nullptr;
    int iStride = 0;
    EXPECT_EQ(-EFAULT, psAlloc->alloc(psAlloc, 800, 480, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &h, &iStride));
    EXPECT_EQ(nullptr, h);
}

TEST_F(AllocTest, FreeReleasesMemoryDescriptorAndEntry) {
    buffer_handle_t h = Alloc(64, 64, HAL_PIXEL_FORMAT_BGRA_8888, kSwUsage);
    EXPECT_EQ(1u, zolsim_live_allocations());
    EXPECT_EQ(1u, zolsim_live_exported_fds());
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    EXPECT_EQ(0u, zolsim_live_allocations());
    EXPECT_EQ(0u, zolsim_live_exported_fds());
    EXPECT_EQ(nullptr, Private()->psMapList);
    EXPECT_EQ(0u, zolsim_calls("ZOLSRVEventObjectWait")) << "an idle buffer is released without waiting";
}

TEST_F(AllocTest, FreeRefusesHandlesThisProcessDidNotAllocate) {
    buffer_handle_t h = Alloc(64, 64, HAL_PIXEL_FORMAT_BGRA_8888, kSwUsage);
    native_handle_t *psForged = CopyHandle(h);
    AsVek(psForged)->ui64Stamp ^= 0x100000000ULL; /* differs in the upper half only */
    EXPECT_EQ(-EINVAL, psAlloc->free(psAlloc, psForged));

    /* An entry that this process only registered. */
    Entry(h)->bAllocatedByThisProcess = VEK_FALSE;
    EXPECT_EQ(-EINVAL, psAlloc->free(psAlloc, h));
    Entry(h)->bAllocatedByThisProcess = VEK_TRUE;

    EXPECT_EQ(-EINVAL, psAlloc->free(psAlloc, nullptr));
    EXPECT_EQ(-EINVAL, psAlloc->free(nullptr, h));
    AsVek(psForged)->ui64Stamp = AsVek(h)->ui64Stamp;
    AsVek(psForged)->usage = GRALLOC_USAGE_HW_2D;
    EXPECT_EQ(-EINVAL, psAlloc->free(psAlloc, psForged));
    EXPECT_EQ(1u, zolsim_live_allocations()) << "nothing was released";
    native_handle_delete(psForged);
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

TEST_F(AllocTest, FreeRefusesForgedShortHandles) {
    native_handle_t *psShort = native_handle_create(0, 0);
    EXPECT_EQ(-EINVAL, psAlloc->free(psAlloc, psShort));
    native_handle_delete(psShort);

    buffer_handle_t h = Alloc(8, 8, HAL_PIXEL_FORMAT_BGRA_8888, kSwUsage);
    native_handle_t *psCopy = CopyHandle(h);
    psCopy->version = 52;
    EXPECT_EQ(-EINVAL, psAlloc->free(psAlloc, psCopy));
    psCopy->version = 12;
    psCopy->numFds = 4;
    psCopy->numInts = 6;
    EXPECT_EQ(-EINVAL, psAlloc->free(psAlloc, psCopy));
    psCopy->numFds = 1;
    psCopy->numInts = 8;
    EXPECT_EQ(-EINVAL, psAlloc->free(psAlloc, psCopy));
    free(psCopy);
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

TEST_F(AllocTest, LockedBufferIsNotFreed) {
    buffer_handle_t h = Alloc(64, 64, HAL_PIXEL_FORMAT_BGRA_8888, kSwUsage);
    Entry(h)->ui32LockCount = 1;
    EXPECT_EQ(-EFAULT, psAlloc->free(psAlloc, h));
    EXPECT_EQ(1u, zolsim_live_allocations());
    EXPECT_EQ(12, h->version) << "the handle stays valid";
    Entry(h)->ui32LockCount = 0;
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

TEST_F(AllocTest, FreeWhileTheGpuReadsIsDeferredUntilItFinishes) {
    buffer_handle_t h = Alloc(64, 64, HAL_PIXEL_FORMAT_BGRA_8888, kSwUsage);
    ZOLSRV_CLIENT_MEM_INFO *psMem = MemInfo(h);
    VEK_UINT64 ui64Stamp = AsVek(h)->ui64Stamp;
    zolsim_gpu_add_ops(psMem, 1, 0, 0);

    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    /* The caller waits once; the worker it started may have begun waiting too. */
    EXPECT_GE(zolsim_calls("ZOLSRVEventObjectWait"), 1u);
    EXPECT_EQ(1u, zolsim_live_allocations()) << "memory stays while the GPU reads";
    EXPECT_NE(nullptr, MapperPeekFor(ui64Stamp));

    zolsim_gpu_complete(psMem);
    EXPECT_TRUE(Eventually([] { return zolsim_live_allocations() == 0; })) << "the worker releases it";
    EXPECT_TRUE(Eventually([&] {
        ZOLSRVLockMutex(Private()->hMutex);
        bool bGone = Private()->psMapList == nullptr;
        ZOLSRVUnlockMutex(Private()->hMutex);
        return bGone;
    }));
    EXPECT_EQ(0u, zolsim_live_exported_fds());
}

/* Threads of this process, as the kernel counts them. */
static int ThreadCount() {
    int iThreads = 0;
    FILE *ps = fopen("/proc/self/status", "r");
    char sz[256];
    while (ps != nullptr && fgets(sz, sizeof(sz), ps) != nullptr)
        if (sscanf(sz, "Threads: %d", &iThreads) == 1) break;
    if (ps != nullptr) fclose(ps);
    return iThreads;
}

TEST_F(AllocTest, UnloadEndsTheReleaseWorkerOfAGpuThatNeverFinishes) {
#if defined(__SANITIZE_ADDRESS__)
    /* The release the GPU never allows is left behind at unload, with its buffer: on purpose. */
    __lsan_disable();
#endif
    const unsigned uiThreadsMade = PthreadCreateCalls();
    buffer_handle_t h = Alloc(64, 64, HAL_PIXEL_FORMAT_BGRA_8888, kSwUsage);
    zolsim_gpu_add_ops(MemInfo(h), 1, 0, 0);
    ASSERT_EQ(0, psAlloc->free(psAlloc, h));
    ASSERT_EQ(uiThreadsMade + 1, PthreadCreateCalls()) << "a worker waits for the GPU";
    /* Counted with the worker running: a sanitizer's own thread may have started with it. */
    const int iThreadsWithWorker = ThreadCount();
    gralloc_close(psAlloc);
    psAlloc = nullptr;
    /* The worker takes the module mutex and runs the module's code: it must be gone before either. */
    Unload();
    /* The kernel counts a thread until it has finished its exit, a moment after the join that the
       unload makes returns: the count falls by itself only if the worker has ended. */
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == iThreadsWithWorker - 1; }))
        << ThreadCount() << " threads, " << iThreadsWithWorker << " with the worker";
    EXPECT_EQ(0u, zolsim_live_mutexes());
}

TEST_F(AllocTest, ReleaseQueuedAfterTheListEmptiedJoinsTheWaitingWorker) {
    ForeignAllocator sForeign;
    buffer_handle_t hForeign = sForeign.Make(GRALLOC_USAGE_HW_COMPOSER);
    ASSERT_EQ(0, psHMI->base.base.registerBuffer(&psHMI->base.base, hForeign));
    void *apv[3] = {nullptr, nullptr, nullptr};
    ASSERT_EQ(0, psHMI->base.base.lock(&psHMI->base.base, hForeign, GRALLOC_USAGE_SW_READ_OFTEN, 0, 0, 8, 8, apv));
    ZOLSRV_CLIENT_MEM_INFO *psMapped = MemInfo(hForeign);
    zolsim_gpu_add_ops(psMapped, 1, 0, 0);
    buffer_handle_t h = Alloc(64, 64, HAL_PIXEL_FORMAT_BGRA_8888, kSwUsage);
    ZOLSRV_CLIENT_MEM_INFO *psMem = MemInfo(h);
    zolsim_gpu_add_ops(psMem, 1, 0, 0);
    buffer_handle_t hIdle = Alloc(16, 16, HAL_PIXEL_FORMAT_BGRA_8888, kSwUsage);
    const unsigned uiThreads = PthreadCreateCalls();
    /* Every wait of the worker must outlast the steps below however slowly they run (qemu): only
       the GPU's progress ends one. The unlock waits once itself before it queues the unmapping; an
       event on an idle buffer ends that wait at once. */
    zolsim_set_wait_timeout_ms(60000);
    zolsim_gpu_complete_on_next_wait(MemInfo(hIdle));
    ASSERT_EQ(0, psHMI->base.base.unlock(&psHMI->base.base, hForeign)) << "the unmapping is queued";
    EXPECT_EQ(uiThreads + 1, PthreadCreateCalls());
    ASSERT_TRUE(Eventually([] { return zolsim_event_waiters() == 1; })) << "the worker waits for the GPU";
    zolsim_set_wait_timeout_ms(2);
    /* A new lock takes the queued unmapping back: the list is empty, its worker still waits. */
    ASSERT_EQ(0, psHMI->base.base.lock(&psHMI->base.base, hForeign, GRALLOC_USAGE_SW_READ_OFTEN, 0, 0, 8, 8, apv));
    ASSERT_EQ(0, psAlloc->free(psAlloc, h));
    EXPECT_EQ(uiThreads + 1, PthreadCreateCalls()) << "one worker at a time";
    zolsim_gpu_complete(psMem);
    EXPECT_TRUE(Eventually([] { return zolsim_live_allocations() == 2; })) << "the waiting worker frees it";
    EXPECT_EQ(0, psAlloc->free(psAlloc, hIdle));
    ASSERT_EQ(0, psHMI->base.base.unlock(&psHMI->base.base, hForeign));
    zolsim_gpu_complete(psMapped);
    EXPECT_TRUE(Eventually([] { return zolsim_live_mappings() == 0; }));
    ASSERT_EQ(0, psHMI->base.base.unregisterBuffer(&psHMI->base.base, hForeign));
}

TEST_F(AllocTest, FreeRunsAtOnceWhenTheGpuFinishesDuringTheOneWait) {
    buffer_handle_t h = Alloc(64, 64, HAL_PIXEL_FORMAT_BGRA_8888, kSwUsage);
    ZOLSRV_CLIENT_MEM_INFO *psMem = MemInfo(h);
    zolsim_gpu_add_ops(psMem, 0, 2, 1);
    zolsim_gpu_complete_on_next_wait(psMem);
    unsigned uiThreads = PthreadCreateCalls();
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    EXPECT_EQ(0u, zolsim_live_allocations());
    EXPECT_EQ(uiThreads, PthreadCreateCalls()) << "no worker is needed";
}

/* A worker that cannot start is answered with pthread_create's error number, as the free's
   result; the release stays queued all the same (Android never frees twice), and a worker started
   when a call lets the module mutex go runs it. */
TEST_F(AllocTest, AFreeWhoseWorkerCannotStartIsStillRun) {
    buffer_handle_t h = Alloc(64, 64, HAL_PIXEL_FORMAT_BGRA_8888, kSwUsage);
    ZOLSRV_CLIENT_MEM_INFO *psMem = MemInfo(h);
    zolsim_gpu_add_ops(psMem, 1, 0, 0);
    const unsigned uiThreads = PthreadCreateCalls();
    FailPthreadCreate(1, EAGAIN);
    EXPECT_EQ(EAGAIN, psAlloc->free(psAlloc, h)) << "pthread_create's own error number";
    EXPECT_EQ(12, h->version) << "the handle stays the caller's";
    EXPECT_EQ(-EINVAL, psAlloc->free(psAlloc, h)) << "the buffer is on its way out";
    EXPECT_LT(uiThreads + 1, PthreadCreateCalls()) << "a worker was started again";
    EXPECT_EQ(1u, zolsim_live_allocations()) << "the GPU still reads it";
    zolsim_gpu_complete(psMem);
    EXPECT_TRUE(Eventually([] { return zolsim_live_allocations() == 0; })) << "the worker freed it";
    native_handle_delete(const_cast<native_handle_t *>(h));
}

/* A release that fails is answered as it failed, and left to the worker to try again: Android
   never frees a buffer twice, so a release left to the caller would be a leak. */
TEST_F(AllocTest, FailedReleaseIsAnsweredAndTriedAgainByTheWorker) {
    buffer_handle_t h = Alloc(64, 64, HAL_PIXEL_FORMAT_BGRA_8888, kSwUsage);
    zolsim_fail("ZOLSRVFreeDeviceMem", 1, ZOLSRV_ERROR_GENERIC);
    EXPECT_EQ(-EFAULT, psAlloc->free(psAlloc, h));
    /* The worker frees the memory, closes the descriptor and removes the entry in one scan, which
       holds the module mutex. */
    EXPECT_TRUE(Eventually([] { return zolsim_live_allocations() == 0 && zolsim_live_exported_fds() == 0; }))
        << "the worker freed it";
    ZOLSRVLockMutex(Private()->hMutex);
    EXPECT_EQ(nullptr, Entry(h));
    ZOLSRVUnlockMutex(Private()->hMutex);
    EXPECT_EQ(-EINVAL, psAlloc->free(psAlloc, h)) << "and a second free finds nothing to free";
    native_handle_delete(const_cast<native_handle_t *>(h));
}

/* ---- Failures of the allocation path leave nothing behind ---- */

TEST_F(AllocTest, FailedServicesAllocationIsOutOfMemory) {
    buffer_handle_t h = nullptr;
    int iStride = -7;
    zolsim_fail("ZOLSRVAllocDeviceMem2", 1, ZOLSRV_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(-ENOMEM, psAlloc->alloc(psAlloc, 16, 16, HAL_PIXEL_FORMAT_RGB_565, kSwUsage, &h, &iStride));
    zolsim_fail("ZOLSRVExportDeviceMem2", 1, ZOLSRV_ERROR_GENERIC);
    EXPECT_EQ(-EFAULT, psAlloc->alloc(psAlloc, 16, 16, HAL_PIXEL_FORMAT_RGB_565, kSwUsage, &h, &iStride));
    EXPECT_EQ(nullptr, h);
    EXPECT_EQ(-7, iStride);
    EXPECT_EQ(0u, zolsim_live_allocations());
    EXPECT_EQ(0u, zolsim_live_exported_fds());
    EXPECT_EQ(nullptr, Private()->psMapList);
}

/* A failed allocation whose own clean-up the services refuse too: nobody can ask for those planes
   again, and the worker gives them back. Each row fails one step of the allocation and then the
   first free of its clean-up. */
TEST_F(AllocTest, PlanesAFailedAllocationCouldNotGiveBackGoLater) {
    struct Row {
        const char *pszCase;
        int iFormat;
        const char *pszFailed;
        unsigned uiNth;
        bool bKnownStamp;
        int iResult;
    };
    const Row asRows[] = {
        {"RGB 565, export refused", HAL_PIXEL_FORMAT_RGB_565, "ZOLSRVExportDeviceMem2", 1, false, -EFAULT},
        {"NV12, chroma plane refused", ForeignAllocator::kNV12, "ZOLSRVAllocDeviceMem2", 2, false, -ENOMEM},
        {"NV12, chroma export refused", ForeignAllocator::kNV12, "ZOLSRVExportDeviceMem2", 2, false, -EFAULT},
        {"BGRA, stamp already listed", HAL_PIXEL_FORMAT_BGRA_8888, nullptr, 0, true, -EFAULT},
    };
    buffer_handle_t hFirst = Alloc(16, 16, HAL_PIXEL_FORMAT_RGB_565, kSwUsage);
    /* The first NV12 allocation sets the video pool up, whose calls are not counted here. */
    EXPECT_EQ(0, psAlloc->free(psAlloc, Alloc(64, 64, ForeignAllocator::kNV12, kSwUsage)));
    for (const Row &sRow : asRows) {
        SCOPED_TRACE(sRow.pszCase);
        const unsigned uiAllocations = zolsim_live_allocations(), uiFds = zolsim_live_exported_fds();
        if (sRow.pszFailed != nullptr) zolsim_fail(sRow.pszFailed, sRow.uiNth, ZOLSRV_ERROR_GENERIC);
        if (sRow.bKnownStamp) zolsim_set_next_stamp(AsVek(hFirst)->ui64Stamp);
        zolsim_fail("ZOLSRVFreeDeviceMem", 1, ZOLSRV_ERROR_GENERIC);
        buffer_handle_t h = nullptr;
        int iStride = 0;
        EXPECT_EQ(sRow.iResult, psAlloc->alloc(psAlloc, 64, 64, sRow.iFormat, kSwUsage, &h, &iStride));
        EXPECT_EQ(nullptr, h);
        zolsim_clear_faults();
        EXPECT_TRUE(Eventually([&] {
            return zolsim_live_allocations() == uiAllocations && zolsim_live_exported_fds() == uiFds;
        })) << zolsim_live_allocations() - uiAllocations
            << " allocations left";
    }
    EXPECT_EQ(0, psAlloc->free(psAlloc, hFirst));
}

TEST_F(AllocTest, FailedHandleCreationReleasesThePlanes) {
    buffer_handle_t h = nullptr;
    int iStride = -7;
    FailNativeHandleCreate(1);
    EXPECT_EQ(-ENOMEM, psAlloc->alloc(psAlloc, 16, 16, HAL_PIXEL_FORMAT_RGB_565, kSwUsage, &h, &iStride));
    EXPECT_EQ(nullptr, h);
    EXPECT_EQ(-7, iStride);
    EXPECT_EQ(0u, zolsim_live_allocations());
    EXPECT_EQ(0u, zolsim_live_exported_fds());
    EXPECT_EQ(nullptr, Private()->psMapList);
    h = Alloc(16, 16, HAL_PIXEL_FORMAT_RGB_565, kSwUsage);
    ASSERT_NE(nullptr, h) << "the next allocation works";
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

TEST_F(AllocTest, DuplicateStampReleasesTheNewBufferAndKeepsTheOld) {
    buffer_handle_t hFirst = Alloc(16, 16, HAL_PIXEL_FORMAT_RGB_565, kSwUsage);
    zolsim_set_next_stamp(AsVek(hFirst)->ui64Stamp);
    buffer_handle_t h = nullptr;
    int iStride = 0;
    EXPECT_EQ(-EFAULT, psAlloc->alloc(psAlloc, 16, 16, HAL_PIXEL_FORMAT_RGB_565, kSwUsage, &h, &iStride));
    EXPECT_EQ(nullptr, h);
    EXPECT_EQ(1u, zolsim_live_allocations());
    EXPECT_EQ(1u, zolsim_live_exported_fds());
    ASSERT_NE(nullptr, Entry(hFirst));
    EXPECT_EQ(nullptr, Entry(hFirst)->psNext) << "the list keeps one entry for the stamp";
    EXPECT_EQ(0, psAlloc->free(psAlloc, hFirst));
}

TEST_F(AllocTest, InconsistentListReleasesTheNewBufferAndItsEntry) {
    buffer_handle_t hFirst = Alloc(16, 16, HAL_PIXEL_FORMAT_RGB_565, kSwUsage);
    zolsim_share_sync_with_next(MemInfo(hFirst));
    buffer_handle_t h = nullptr;
    int iStride = 0;
    EXPECT_EQ(-EFAULT, psAlloc->alloc(psAlloc, 16, 16, HAL_PIXEL_FORMAT_RGB_565, kSwUsage, &h, &iStride));
    EXPECT_EQ(nullptr, h);
    EXPECT_EQ(1u, zolsim_live_allocations());
    EXPECT_EQ(Entry(hFirst), Private()->psMapList);
    EXPECT_EQ(nullptr, Private()->psMapList->psNext);
    EXPECT_EQ(0, psAlloc->free(psAlloc, hFirst));
    EXPECT_EQ(0u, zolsim_live_allocations());
}

TEST_F(AllocTest, WidthAndHeightReachTheHookUnchecked) {
    buffer_handle_t h = nullptr;
    int iStride = 0;
    /* A zero-sized request asks the services for nothing, which they refuse. */
    EXPECT_EQ(-ENOMEM, psAlloc->alloc(psAlloc, 0, 16, HAL_PIXEL_FORMAT_RGB_565, kSwUsage, &h, &iStride));
    EXPECT_EQ(-ENOMEM, psAlloc->alloc(psAlloc, 16, 0, HAL_PIXEL_FORMAT_RGB_565, kSwUsage, &h, &iStride));
    EXPECT_EQ(0u, zolsim_live_allocations());
}

/* ---- Dump ---- */

TEST_F(AllocTest, DumpListsTheNewestBufferFirst) {
    buffer_handle_t hOld = Alloc(16, 16, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_SW_READ_RARELY);
    buffer_handle_t hNew = Alloc(16, 16, HAL_PIXEL_FORMAT_BGRA_8888, GRALLOC_USAGE_HW_TEXTURE);
    zolsim_gpu_add_ops(MemInfo(hNew), 3, 2, 1);

    std::string sExpected = "VEK Graphics HAL state:\n  Dumping all active sync objects..\n";
    for (buffer_handle_t h : {hNew, hOld}) {
        const ZOLSRV_CLIENT_SYNC_INFO *psS = MemInfo(h)->psClientSyncInfo;
        const ZOLSRV_SYNC_DATA *psD = psS->psSyncData;
        char szLine[512];
        snprintf(szLine, sizeof(szLine),
                 "    ID=%llu, 0xP...FHWR=0x%.8x, WOP/WOC=0x%x/0x%x, ROP/ROC=0x%x/0x%x, ROP2/ROC2=0x%x/0x%x, "
                 "WOC DevVA=0x%.8x, ROC DevVA=0x%.8x, ROC2 DevVA=0x%.8x\n",
                 (unsigned long long)AsVek(h)->ui64Stamp, (unsigned)AsVek(h)->usage, psD->ui32WriteOpsPending,
                 psD->ui32WriteOpsComplete, psD->ui32ReadOpsPending, psD->ui32ReadOpsComplete, psD->ui32ReadOps2Pending,
                 psD->ui32ReadOps2Complete, psS->sWriteOpsCompleteDevVAddr.uiAddr, psS->sReadOpsCompleteDevVAddr.uiAddr,
                 psS->sReadOps2CompleteDevVAddr.uiAddr);
        sExpected += szLine;
    }
    EXPECT_NE(std::string::npos, sExpected.find("WOP/WOC=0x2/0x0, ROP/ROC=0x3/0x0, ROP2/ROC2=0x1/0x0"));
    EXPECT_NE(std::string::npos, sExpected.find("0xP...FHWR=0x00000100"));

    char szDump[4096];
    psAlloc->dump(psAlloc, szDump, sizeof(szDump));
    EXPECT_EQ(sExpected, std::string(szDump));

    zolsim_gpu_complete(MemInfo(hNew));
    EXPECT_EQ(0, psAlloc->free(psAlloc, hNew));
    EXPECT_EQ(0, psAlloc->free(psAlloc, hOld));
}

TEST_F(AllocTest, DumpNeverWritesPastTheBuffer) {
    buffer_handle_t h = Alloc(16, 16, HAL_PIXEL_FORMAT_RGB_565, kSwUsage);
    char szDump[64];
    memset(szDump, '#', sizeof(szDump));
    psAlloc->dump(psAlloc, szDump, 40);
    EXPECT_EQ(std::string("VEK Graphics HAL state:\n  Dumping all active sync objects..\n").substr(0, 39),
              std::string(szDump));
    for (size_t i = 40; i < sizeof(szDump); i++) ASSERT_EQ('#', szDump[i]) << "byte " << i;
    psAlloc->dump(psAlloc, szDump, 0);
    EXPECT_EQ('V', szDump[0]) << "no room: nothing written";
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

/* ---- Leaks ---- */

TEST_F(AllocTest, AllocFreeCyclesLeaveNothingLive) {
    for (int iCycle = 0; iCycle < 64; iCycle++) {
        buffer_handle_t ah[4];
        int i = 0;
        for (int iFormat : std::initializer_list<int>{HAL_PIXEL_FORMAT_BGRA_8888, HAL_PIXEL_FORMAT_RGB_565,
                                                      HAL_PIXEL_FORMAT_YV12, 0x1ff})
            ah[i++] = Alloc(17 + iCycle, 9 + iCycle, iFormat, kSwUsage);
        for (buffer_handle_t h : ah) ASSERT_EQ(0, psAlloc->free(psAlloc, h));
    }
    EXPECT_EQ(0u, zolsim_live_allocations());
    EXPECT_EQ(0u, zolsim_live_exported_fds());
    EXPECT_EQ(nullptr, Private()->psMapList);
}

}  // namespace
