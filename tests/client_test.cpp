/* Buffer access in a process that did not allocate the buffer: registration, lock and unlock,
   stamp mapping and physical addresses. */
#include <fcntl.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "client_fixture.h"

namespace {

constexpr int kSwRead = GRALLOC_USAGE_SW_READ_OFTEN;
constexpr int kSwWrite = GRALLOC_USAGE_SW_WRITE_OFTEN;
constexpr int kTexture = GRALLOC_USAGE_HW_TEXTURE;
constexpr int kRender = GRALLOC_USAGE_HW_RENDER;
constexpr int kComposer = GRALLOC_USAGE_HW_COMPOSER;

class ClientTest : public ClientFixture {
protected:
    /* Read under the module mutex: the waiting lock's thread writes it. */
    VEK_UINT32 LockWaiters(buffer_handle_t h) {
        VEK_mapper_meminfo_t *psEntry = Entry(h);
        ZOLSRVLockMutex(Private()->hMutex);
        VEK_UINT32 ui32Waiters = psEntry->ui32LockWaiters;
        ZOLSRVUnlockMutex(Private()->hMutex);
        return ui32Waiters;
    }
};

/* ---- Registration ---- */

TEST_F(ClientTest, RegistrationMapsABufferWithMappingUsage) {
    buffer_handle_t h = psForeign->Make(kSwRead | kTexture);
    ASSERT_EQ(0, Register(h));
    EXPECT_EQ(1u, zolsim_live_mappings());
    VEK_mapper_meminfo_t *psEntry = Entry(h);
    ASSERT_NE(nullptr, psEntry);
    EXPECT_FALSE(psEntry->bAllocatedByThisProcess);
    EXPECT_TRUE(psEntry->bRegistered);
    ASSERT_NE(nullptr, psEntry->apsMemInfo[0]);
    EXPECT_NE(psForeign->Plane(0), psEntry->apsMemInfo[0]) << "this process's own mem-info of the plane";
    EXPECT_EQ(AsVek(h)->ui64Stamp, psEntry->apsMemInfo[0]->ui64Stamp) << "the same stamp in every process";
    EXPECT_EQ(nullptr, psEntry->apsMemInfo[1]);

    EXPECT_EQ(-EINVAL, Register(h)) << "a foreign buffer is registered once";
    EXPECT_EQ(1u, zolsim_live_mappings());

    EXPECT_EQ(0, Unregister(h));
    EXPECT_EQ(0u, zolsim_live_mappings());
    EXPECT_EQ(nullptr, Entry(h));
    EXPECT_EQ(-EINVAL, Unregister(h)) << "no longer registered";
    EXPECT_GE(fcntl(h->data[0], F_GETFD), 0) << "the caller's descriptor stays open";
}

TEST_F(ClientTest, RareSoftwareAccessAndRenderUsageAlsoMap) {
    for (int iUsage :
         std::initializer_list<int>{GRALLOC_USAGE_SW_READ_RARELY, GRALLOC_USAGE_SW_WRITE_RARELY, kRender}) {
        buffer_handle_t h = psForeign->Make(iUsage);
        ASSERT_EQ(0, Register(h));
        EXPECT_EQ(1u, zolsim_live_mappings()) << "usage 0x" << std::hex << iUsage;
        EXPECT_EQ(0, Unregister(h));
    }
}

TEST_F(ClientTest, ComposerOnlyBufferIsRegisteredWithoutMapping) {
    for (int iUsage : std::initializer_list<int>{kComposer, GRALLOC_USAGE_PROTECTED, GRALLOC_USAGE_EXTERNAL_DISP,
                                                 GRALLOC_USAGE_PRIVATE_1, 0}) {
        buffer_handle_t h = psForeign->Make(iUsage);
        ASSERT_EQ(0, Register(h));
        EXPECT_EQ(0u, zolsim_live_mappings());
        ASSERT_NE(nullptr, Entry(h));
        EXPECT_EQ(nullptr, Entry(h)->apsMemInfo[0]);
        unsigned uiUnmaps = zolsim_calls("ZOLSRVUnmapDeviceMemory");
        EXPECT_EQ(0, Unregister(h));
        EXPECT_EQ(nullptr, Entry(h));
        EXPECT_EQ(uiUnmaps, zolsim_calls("ZOLSRVUnmapDeviceMemory")) << "nothing to unmap";
    }
}

TEST_F(ClientTest, OwnBuffersNeedNoRegistration) {
    buffer_handle_t h = Own(kSwRead | kSwWrite);
    EXPECT_EQ(0, Register(h));
    EXPECT_EQ(0u, zolsim_live_mappings()) << "not mapped again";
    EXPECT_EQ(0, Unregister(h));
    EXPECT_NE(nullptr, Entry(h)) << "still allocated";
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

TEST_F(ClientTest, BadArgumentsAreRefusedByBoth) {
    buffer_handle_t h = psForeign->Make(kSwRead);
    VEK_native_handle_t *ps = AsVek(h);
    ps->usage = GRALLOC_USAGE_HW_2D;
    EXPECT_EQ(-EINVAL, Register(h));
    EXPECT_EQ(-EINVAL, Unregister(h));
    ps->usage = kSwRead;
    EXPECT_EQ(-EINVAL, Register(nullptr));
    EXPECT_EQ(-EINVAL, psGralloc->registerBuffer(nullptr, h));
    EXPECT_EQ(-EINVAL, Unregister(nullptr));
    native_handle_t *psShort = native_handle_create(0, 0);
    EXPECT_EQ(-EINVAL, Register(psShort));
    native_handle_delete(psShort);
    /* A descriptor that is not device memory cannot be mapped. */
    native_handle_t *psForged = CopyHandle(h);
    AsVek(psForged)->ui64Stamp += 1000;
    psForged->data[0] = STDERR_FILENO;
    EXPECT_EQ(-EFAULT, Register(psForged));
    free(psForged);
    EXPECT_EQ(nullptr, Private()->psMapList);
    EXPECT_EQ(0u, zolsim_live_mappings());
}

TEST_F(ClientTest, FailedMappingLeavesNothingBehindAndARetrySucceeds) {
    buffer_handle_t h = psForeign->Make(kSwRead, 64, 32, 2);
    zolsim_fail("ZOLSRVMapDeviceMemory2", 2, ZOLSRV_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(-EFAULT, Register(h));
    EXPECT_EQ(0u, zolsim_live_mappings()) << "the first plane's mapping is released";
    EXPECT_EQ(nullptr, Entry(h));
    EXPECT_EQ(0, Register(h));
    EXPECT_EQ(2u, zolsim_live_mappings());
    EXPECT_EQ(0, Unregister(h));
}

TEST_F(ClientTest, InconsistentListAfterRegistrationLeavesNothingBehind) {
    buffer_handle_t hMine = Own(kSwRead);
    buffer_handle_t h = psForeign->Make(kSwRead);
    zolsim_share_sync_with_next(MemInfo(hMine));
    EXPECT_EQ(-EFAULT, Register(h));
    EXPECT_EQ(0u, zolsim_live_mappings());
    EXPECT_EQ(nullptr, Entry(h));
    EXPECT_EQ(0, Register(h)) << "a retry succeeds";
    EXPECT_EQ(0, Unregister(h));
    EXPECT_EQ(0, psAlloc->free(psAlloc, hMine));
}

TEST_F(ClientTest, LockedBufferIsNotUnregistered) {
    buffer_handle_t h = psForeign->Make(kSwRead);
    ASSERT_EQ(0, Register(h));
    void *apv[3];
    ASSERT_EQ(0, Lock(h, kSwRead, apv));
    EXPECT_EQ(-EINVAL, Unregister(h));
    EXPECT_EQ(1u, zolsim_live_mappings());
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(0, Unregister(h));
}

TEST_F(ClientTest, UnregisterWhileTheGpuIsBusyIsDeferred) {
    buffer_handle_t h = psForeign->Make(kSwRead | kTexture);
    ASSERT_EQ(0, Register(h));
    zolsim_gpu_add_ops(psForeign->Plane(0), 1, 0, 0);
    EXPECT_EQ(0, Unregister(h));
    EXPECT_EQ(1u, zolsim_live_mappings()) << "the mapping stays while the GPU reads";
    void *apv[3];
    EXPECT_EQ(-EINVAL, Lock(h, kSwRead, apv)) << "it is no longer usable";
    EXPECT_EQ(-EINVAL, Unregister(h)) << "and not unregistered twice";
    zolsim_gpu_complete(psForeign->Plane(0));
    EXPECT_TRUE(Eventually([] { return zolsim_live_mappings() == 0; }));
    EXPECT_TRUE(Eventually([&] { return Entry(h) == nullptr; }));
    EXPECT_EQ(0, Register(h));
    EXPECT_EQ(0, Unregister(h));
}

TEST_F(ClientTest, RegisteringAgainTakesBackARemovalThatWaitsForTheGpu) {
    buffer_handle_t h = psForeign->Make(kSwRead | kTexture);
    ASSERT_EQ(0, Register(h));
    zolsim_gpu_add_ops(psForeign->Plane(0), 1, 0, 0);
    ASSERT_EQ(0, Unregister(h));
    ZOLSRV_CLIENT_MEM_INFO *psWaiting = Entry(h)->apsMemInfo[0];
    EXPECT_EQ(0, Register(h)) << "a buffer received again after its unregistration must register";
    EXPECT_EQ(psWaiting, Entry(h)->apsMemInfo[0]) << "the mapping that waited serves again";
    EXPECT_EQ(1u, zolsim_live_mappings()) << "the handle's descriptor was mapped only to compare it";
    zolsim_gpu_complete(psForeign->Plane(0));
    void *apv[3] = {};
    EXPECT_EQ(0, Lock(h, kSwRead, apv)) << "the buffer is usable";
    EXPECT_NE(nullptr, apv[0]);
    EXPECT_EQ(0, Unlock(h));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(1u, zolsim_live_mappings()) << "no queued removal may unmap the registered buffer";
    EXPECT_EQ(0, Unregister(h));
    EXPECT_TRUE(Eventually([] { return zolsim_live_mappings() == 0; }));
    EXPECT_EQ(nullptr, Entry(h));
}

/* ---- Lock rules ---- */

TEST_F(ClientTest, LockRectangleMustLieInTheBuffer) {
    buffer_handle_t h = Own(kSwRead); /* 64 x 32 */
    EXPECT_EQ(0, LockRect(h, 0, 0, 64, 32));
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(0, LockRect(h, 64, 32, 0, 0)) << "an empty rectangle on the border";
    EXPECT_EQ(0, Unlock(h));
    const int aiBad[][4] = {{65, 0, 0, 0}, {0, 0, 65, 1}, {0, 33, 0, 0}, {0, 1, 1, 32},         {-1, 0, 1, 1},
                            {0, -1, 1, 1}, {0, 0, -1, 1}, {0, 0, 1, -1}, {1, 0, 0x7fffffff, 1}, {0, 1, 1, 0x7fffffff}};
    unsigned uiLocks = zolsim_calls("ZOLSRVLockMutex");
    for (const auto &a : aiBad) EXPECT_EQ(-EINVAL, LockRect(h, a[0], a[1], a[2], a[3])) << a[0] << "," << a[1];
    EXPECT_EQ(uiLocks, zolsim_calls("ZOLSRVLockMutex")) << "refused before the mutex";
    EXPECT_EQ(0u, Entry(h)->ui32LockCount);
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

TEST_F(ClientTest, VaddrIsNeededForSoftwareAccessOnly) {
    buffer_handle_t h = Own(kSwRead | kTexture);
    EXPECT_EQ(-EINVAL, Lock(h, kSwRead, nullptr));
    void *apv[3] = {reinterpret_cast<void *>(1), reinterpret_cast<void *>(2), reinterpret_cast<void *>(3)};
    EXPECT_EQ(0, Lock(h, kTexture, apv));
    EXPECT_EQ(nullptr, apv[0]);
    EXPECT_EQ(reinterpret_cast<void *>(2), apv[1]) << "only the first is written";
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(0, Lock(h, kTexture, nullptr));
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

TEST_F(ClientTest, ReadLocksNestOnlyWithTheSameUsageAndWriteLocksAreExclusive) {
    buffer_handle_t h = Own(kSwRead | kSwWrite);
    void *apv[3];
    ASSERT_EQ(0, Lock(h, kSwRead, apv));
    ASSERT_EQ(0, Lock(h, kSwRead, apv));
    EXPECT_EQ(2u, Entry(h)->ui32LockCount);
    EXPECT_EQ(-EINVAL, Lock(h, GRALLOC_USAGE_SW_READ_RARELY, apv));
    EXPECT_EQ(-EINVAL, Lock(h, kSwRead | kSwWrite, apv));
    EXPECT_EQ(2u, Entry(h)->ui32LockCount);
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(-EINVAL, Unlock(h)) << "not locked";

    ASSERT_EQ(0, Lock(h, kSwWrite, apv));
    EXPECT_EQ(-EINVAL, Lock(h, kSwWrite, apv)) << "a second writer";
    EXPECT_EQ(-EINVAL, Lock(h, kSwRead, apv)) << "a reader beside the writer";
    EXPECT_EQ(-EFAULT, psAlloc->free(psAlloc, h)) << "a locked buffer is not freed";
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

TEST_F(ClientTest, LockOfAnUnknownBufferIsRefused) {
    buffer_handle_t h = psForeign->Make(kSwRead);
    void *apv[3];
    EXPECT_EQ(-EINVAL, Lock(h, kSwRead, apv)) << "never registered";
    EXPECT_EQ(-EINVAL, Unlock(h));
    EXPECT_EQ(-EINVAL, psGralloc->lock(nullptr, h, kSwRead, 0, 0, 1, 1, apv));
    EXPECT_EQ(-EINVAL, psGralloc->lock(psGralloc, nullptr, kSwRead, 0, 0, 1, 1, apv));
    EXPECT_EQ(-EINVAL, psGralloc->unlock(psGralloc, nullptr));
}

TEST_F(ClientTest, UnlockOfAHandleWithoutAKnownFormatChangesNothing) {
    buffer_handle_t h = Own(kSwWrite | kTexture);
    void *apv[3];
    ASSERT_EQ(0, Lock(h, kSwWrite, apv));
    native_handle_t *psCopy = CopyHandle(h);
    AsVek(psCopy)->iFormat = HAL_PIXEL_FORMAT_RGB_888;
    EXPECT_EQ(-EINVAL, Unlock(psCopy));
    EXPECT_EQ(1u, Entry(h)->ui32LockCount);
    free(psCopy);
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

/* ---- Waits for the GPU ---- */

TEST_F(ClientTest, BufferWithoutGpuUseNeverWaits) {
    buffer_handle_t h = Own(kSwRead | kSwWrite);
    zolsim_gpu_add_ops(MemInfo(h), 3, 3, 3);
    void *apv[3];
    unsigned uiCacheOps = zolsim_cache_ops();
    ASSERT_EQ(0, Lock(h, kSwRead | kSwWrite, apv));
    EXPECT_EQ(0u, zolsim_calls("ZOLSRVEventObjectWait"));
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(uiCacheOps, zolsim_cache_ops()) << "no cache clean without GPU use";
    zolsim_gpu_complete(MemInfo(h));
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

/* The GPU's progress ends the lock's waits, a second at most each: completions from a thread
   that a loaded machine runs late still come before the lock's 50 tries run out. */
TEST_F(ClientTest, WriterWaitsForTheGpuReadsAndItsUnlockCleansTheCache) {
    zolsim_set_wait_timeout_ms(1000);
    buffer_handle_t h = Own(kSwWrite | kTexture);
    ZOLSRV_CLIENT_MEM_INFO *psMem = MemInfo(h);
    zolsim_gpu_add_ops(psMem, 2, 0, 1);
    /* The GPU finishes the two read classes one after the other. */
    zolsim_gpu_complete_classes_after(psMem, ZOLSIM_GPU_READS, 10);
    zolsim_gpu_complete_classes_after(psMem, ZOLSIM_GPU_READS2, 30);
    void *apv[3];
    ASSERT_EQ(0, psGralloc->lock(psGralloc, h, kSwWrite, 3, 4, 10, 20, apv));
    const ZOLSRV_SYNC_DATA *psSync = psMem->psClientSyncInfo->psSyncData;
    EXPECT_GE(psSync->ui32ReadOpsComplete, 2u) << "the lock returned only once the reads were done";
    EXPECT_GE(psSync->ui32ReadOps2Complete, 1u);
    EXPECT_EQ(0u, zolsim_stall_reports());
    EXPECT_EQ(psMem->pvLinAddr, apv[0]);
    VEK_write_lock_rect_t sRect = Entry(h)->sWriteLockRect;
    EXPECT_EQ(3, sRect.l);
    EXPECT_EQ(4, sRect.t);
    EXPECT_EQ(10, sRect.w);
    EXPECT_EQ(20, sRect.h);

    unsigned uiCacheOps = zolsim_cache_ops();
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(uiCacheOps + 1, zolsim_cache_ops());
    ZOLSRV_MISC_INFO sRequest;
    ASSERT_TRUE(zolsim_last_misc_info(&sRequest));
    EXPECT_EQ(0x20u, sRequest.ui32StateRequest);
    EXPECT_EQ(ZOLSRV_MISC_INFO_CPUCACHEOP_CLEAN, sRequest.sCacheOpCtl.eCacheOpType);
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

TEST_F(ClientTest, FailedCacheCleanIsTheUnlockResult) {
    buffer_handle_t h = Own(kSwWrite | kTexture);
    void *apv[3];
    ASSERT_EQ(0, Lock(h, kSwWrite, apv));
    zolsim_fail("ZOLSRVGetMiscInfo", 1, ZOLSRV_ERROR_GENERIC);
    EXPECT_EQ(-EFAULT, Unlock(h));
    EXPECT_EQ(0u, Entry(h)->ui32LockCount) << "the count is decreased all the same";
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

TEST_F(ClientTest, ReaderWaitsForTheGpuWrites) {
    zolsim_set_wait_timeout_ms(1000); /* as above */
    buffer_handle_t h = Own(kSwRead | kRender);
    ZOLSRV_CLIENT_MEM_INFO *psMem = MemInfo(h);
    zolsim_gpu_add_ops(psMem, 0, 1, 0);
    zolsim_gpu_complete_after(psMem, 30);
    void *apv[3];
    ASSERT_EQ(0, Lock(h, kSwRead, apv));
    EXPECT_GE(psMem->psClientSyncInfo->psSyncData->ui32WriteOpsComplete, 1u);
    unsigned uiCacheOps = zolsim_cache_ops();
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(uiCacheOps, zolsim_cache_ops()) << "a read lock leaves nothing to clean";
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

TEST_F(ClientTest, StalledGpuIsReportedAfterFiftyTimeOuts) {
    zolsim_set_wait_timeout_ms(1);
    buffer_handle_t h = Own(kSwRead | kSwWrite | kTexture);
    ZOLSRV_CLIENT_MEM_INFO *psMem = MemInfo(h);
    zolsim_gpu_add_ops(psMem, 1, 1, 0);
    void *apv[3];
    ASSERT_EQ(0, Lock(h, kSwWrite, apv)) << "the lock goes on as if the GPU had finished";
    EXPECT_EQ(50u, zolsim_calls("ZOLSRVEventObjectWait"));
    EXPECT_EQ(1u, zolsim_stall_reports());
    EXPECT_EQ(0, Unlock(h));

    ASSERT_EQ(0, Lock(h, kSwWrite | kSwRead, apv));
    EXPECT_EQ(150u, zolsim_calls("ZOLSRVEventObjectWait")) << "reads, then writes";
    EXPECT_EQ(3u, zolsim_stall_reports());
    EXPECT_EQ(0, Unlock(h));
    zolsim_gpu_complete(psMem);
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

TEST_F(ClientTest, DisplayBufferWaitsButIsNotCleaned) {
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    if (psAlloc == nullptr) psAlloc = OpenAlloc();
    buffer_handle_t h = nullptr;
    int iStride = 0;
    ASSERT_EQ(0, psAlloc->alloc(psAlloc, 800, 480, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &h, &iStride));
    ZOLSRV_CLIENT_MEM_INFO *psMem = MemInfo(h);
    zolsim_gpu_add_ops(psMem, 1, 0, 0);
    zolsim_gpu_complete_on_next_wait(psMem);
    void *apv[3];
    ASSERT_EQ(0, psGralloc->lock(psGralloc, h, kSwRead | kSwWrite, 0, 0, 800, 480, apv));
    EXPECT_EQ(1u, zolsim_calls("ZOLSRVEventObjectWait"));
    EXPECT_EQ(psMem->pvLinAddr, apv[0]);
    EXPECT_EQ(-EFAULT, framebuffer_close(psFb)) << "a locked display buffer keeps the device open";
    unsigned uiCacheOps = zolsim_cache_ops();
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(uiCacheOps, zolsim_cache_ops());
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    EXPECT_EQ(0, framebuffer_close(psFb));
}

/* ---- Mapping on demand ---- */

TEST_F(ClientTest, BufferWithoutMappingUsageIsMappedWhileLocked) {
    buffer_handle_t h = psForeign->Make(kComposer, 64, 32, 2);
    memset(psForeign->Plane(0)->pvLinAddr, 0x5a, 64);
    memset(psForeign->Plane(1)->pvLinAddr, 0xa5, 64);
    ASSERT_EQ(0, Register(h));
    EXPECT_EQ(0u, zolsim_live_mappings());
    void *apv[3] = {nullptr, nullptr, reinterpret_cast<void *>(3)};
    ASSERT_EQ(0, Lock(h, kSwRead, apv));
    EXPECT_EQ(2u, zolsim_live_mappings());
    ASSERT_NE(nullptr, apv[0]);
    ASSERT_NE(nullptr, apv[1]);
    EXPECT_EQ(reinterpret_cast<void *>(3), apv[2]) << "two planes, two addresses";
    EXPECT_EQ(0x5a, static_cast<unsigned char *>(apv[0])[63]) << "the allocator's pixels";
    EXPECT_EQ(0xa5, static_cast<unsigned char *>(apv[1])[0]);
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(0u, zolsim_live_mappings()) << "the last unlock releases the mapping";
    EXPECT_EQ(nullptr, Entry(h)->apsMemInfo[0]) << "and empties the slots";
    EXPECT_EQ(nullptr, Entry(h)->apsMemInfo[1]);

    /* The dump and the check see only live mappings. */
    if (psAlloc == nullptr) psAlloc = OpenAlloc();
    char szDump[1024];
    psAlloc->dump(psAlloc, szDump, sizeof(szDump));
    EXPECT_STREQ("VEK Graphics HAL state:\n  Dumping all active sync objects..\n", szDump);
    EXPECT_EQ(0, Unregister(h));
}

TEST_F(ClientTest, FailedMappingOnDemandReleasesWhatItMapped) {
    buffer_handle_t h = psForeign->Make(kComposer, 64, 32, 2);
    ASSERT_EQ(0, Register(h));
    zolsim_fail("ZOLSRVMapDeviceMemory2", 2, ZOLSRV_ERROR_GENERIC);
    void *apv[3];
    EXPECT_EQ(-EFAULT, Lock(h, kSwRead, apv));
    EXPECT_EQ(0u, zolsim_live_mappings());
    EXPECT_EQ(0u, Entry(h)->ui32LockCount);
    ASSERT_EQ(0, Lock(h, kSwRead, apv)) << "the next lock maps it";
    EXPECT_EQ(2u, zolsim_live_mappings());
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(0, Unregister(h));
}

TEST_F(ClientTest, QueuedUnmapIsTakenBackByTheNextLockAndBecomesTheRemoval) {
    buffer_handle_t h = psForeign->Make(kComposer);
    ASSERT_EQ(0, Register(h));
    void *apv[3];
    ASSERT_EQ(0, Lock(h, kSwRead, apv));
    zolsim_gpu_add_ops(psForeign->Plane(0), 0, 1, 0); /* the GPU starts writing */
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(1u, zolsim_live_mappings()) << "the unmapping waits for the GPU";

    unsigned uiMaps = zolsim_calls("ZOLSRVMapDeviceMemory2");
    ASSERT_EQ(0, Lock(h, kComposer, apv)) << "no wait: no GPU use in the buffer";
    EXPECT_EQ(uiMaps, zolsim_calls("ZOLSRVMapDeviceMemory2")) << "the queued unmapping is taken back";
    EXPECT_EQ(1u, zolsim_live_mappings());
    EXPECT_EQ(0, Unlock(h));

    EXPECT_EQ(0, Unregister(h)) << "turns the queued unmapping into the removal";
    EXPECT_NE(nullptr, Entry(h));
    EXPECT_EQ(0, Register(h)) << "registering again turns the removal back into the queued unmapping";
    EXPECT_EQ(0, Unregister(h)) << "and unregistering into the removal once more";
    zolsim_gpu_complete(psForeign->Plane(0));
    EXPECT_TRUE(Eventually([&] { return Entry(h) == nullptr; }));
    EXPECT_EQ(0u, zolsim_live_mappings());
}

/* ---- A lock waiting with the mutex released ---- */

/* A free or an unregistration while a first lock waits for the GPU is answered as for an unlocked
   buffer (the caller will not call again); the release waits until the lock lets go, and the lock
   finds its buffer gone. Nothing is released under it, and nothing is left behind. */
TEST_F(ClientTest, ReleaseDuringAWaitingLockIsAnsweredAndRunsOnceTheLockLetsGo) {
    /* Both locks must still be waiting together, also on a slow, loaded machine. */
    zolsim_set_wait_timeout_ms(50);
    buffer_handle_t hOwn = Own(kSwWrite | kTexture);
    buffer_handle_t hForeign = psForeign->Make(kSwWrite | kTexture);
    ASSERT_EQ(0, Register(hForeign));
    ZOLSRV_CLIENT_MEM_INFO *psOwnMem = MemInfo(hOwn);
    const VEK_UINT64 ui64Own = AsVek(hOwn)->ui64Stamp;
    zolsim_gpu_add_ops(psOwnMem, 1, 0, 0);
    zolsim_gpu_add_ops(psForeign->Plane(0), 1, 0, 0);
    const unsigned uiMappings = zolsim_live_mappings();

    std::atomic<int> iOwnResult{1}, iForeignResult{1};
    std::thread sOwn([&] {
        void *apv[3];
        iOwnResult = Lock(hOwn, kSwWrite, apv);
    });
    std::thread sForeign([&] {
        void *apv[3];
        iForeignResult = Lock(hForeign, kSwWrite, apv);
    });
    ASSERT_TRUE(Eventually([&] { return LockWaiters(hOwn) == 1 && LockWaiters(hForeign) == 1; }));
    EXPECT_EQ(0, psAlloc->free(psAlloc, hOwn)) << "answered as for an unlocked buffer";
    EXPECT_EQ(0, Unregister(hForeign));
    EXPECT_NE(nullptr, zolsim_meminfo_by_stamp(ui64Own)) << "nothing is released under a waiting lock";
    EXPECT_EQ(uiMappings, zolsim_live_mappings());
    zolsim_gpu_complete(psOwnMem);
    zolsim_gpu_complete(psForeign->Plane(0));
    sOwn.join();
    sForeign.join();
    EXPECT_EQ(-EINVAL, iOwnResult.load()) << "the buffer was freed while the lock waited";
    EXPECT_EQ(-EINVAL, iForeignResult.load()) << "the buffer was unregistered while the lock waited";
    EXPECT_TRUE(Eventually([&] { return zolsim_meminfo_by_stamp(ui64Own) == nullptr; })) << "the free ran";
    EXPECT_TRUE(Eventually([&] { return Entry(hForeign) == nullptr; })) << "the removal ran";
    EXPECT_EQ(uiMappings - 1, zolsim_live_mappings());
}

TEST_F(ClientTest, WaitingWriterLosesToAReaderThatLockedMeanwhile) {
    /* The writer must still be waiting when the reader comes, also on a slow, loaded machine: only
       the GPU's progress ends its waits, so that none of its tries is used up meanwhile. */
    zolsim_set_wait_timeout_ms(60000);
    buffer_handle_t h = Own(kSwRead | kSwWrite | kTexture);
    ZOLSRV_CLIENT_MEM_INFO *psMem = MemInfo(h);
    zolsim_gpu_add_ops(psMem, 1, 0, 0); /* reads pending: a writer waits, a reader does not */
    std::atomic<int> iWriter{1};
    std::thread sWriter([&] {
        void *apv[3];
        iWriter = Lock(h, kSwWrite, apv);
    });
    /* Inside its wait: the completion below cannot come before the wait has begun. */
    ASSERT_TRUE(Eventually([&] { return LockWaiters(h) == 1 && zolsim_event_waiters() == 1; }));
    void *apv[3];
    ASSERT_EQ(0, Lock(h, kSwRead, apv)) << "the reader wins the race";
    zolsim_gpu_complete(psMem);
    sWriter.join();
    EXPECT_EQ(-EINVAL, iWriter.load()) << "write locks stay exclusive";
    EXPECT_EQ(1u, Entry(h)->ui32LockCount);
    EXPECT_EQ(kSwRead, Entry(h)->lockUsage);
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

/* ---- Stamp mapping ---- */

TEST_F(ClientTest, UnregisterReleasesTheMappingOfALockGivenBackByUnmap) {
    buffer_handle_t h = psForeign->Make(kComposer);
    ASSERT_EQ(0, Register(h));
    void *apv[3];
    ASSERT_EQ(0, Lock(h, kSwRead, apv));
    ASSERT_EQ(1u, zolsim_live_mappings()) << "the lock maps a buffer without mapping usage";
    ASSERT_EQ(0, psHMI->unmap(psGralloc, AsVek(h)->ui64Stamp)) << "map and lock share the count";
    EXPECT_EQ(0, Unregister(h));
    EXPECT_EQ(0u, zolsim_live_mappings()) << "the entry must not go while its planes stay mapped";
    EXPECT_EQ(nullptr, Entry(h));
}

TEST_F(ClientTest, MapSharesTheLockCount) {
    buffer_handle_t h = Own(kTexture | kRender);
    ZOLSRV_CLIENT_MEM_INFO *aps[3] = {nullptr, nullptr, nullptr};
    EXPECT_EQ(-EINVAL, Map(h, GRALLOC_USAGE_SW_READ_RARELY, aps));
    EXPECT_EQ(-EINVAL, psHMI->map(psGralloc, 12345, GRALLOC_USAGE_SW_READ_RARELY, aps)) << "whatever the stamp";
    ASSERT_EQ(0, Map(h, kTexture, aps));
    EXPECT_EQ(MemInfo(h), aps[0]);
    EXPECT_EQ(nullptr, aps[1]);
    EXPECT_EQ(1u, Entry(h)->ui32LockCount);
    EXPECT_EQ(-EINVAL, Map(h, kRender, aps));
    ASSERT_EQ(0, Map(h, kTexture, aps));
    EXPECT_EQ(2u, Entry(h)->ui32LockCount);
    EXPECT_EQ(-EFAULT, psAlloc->free(psAlloc, h)) << "in use through map";
    EXPECT_EQ(0, Unmap(h));
    EXPECT_EQ(0, Unmap(h));
    EXPECT_EQ(0u, Entry(h)->ui32LockCount);
    EXPECT_EQ(-EINVAL, Unmap(h)) << "no underflow";
    EXPECT_EQ(0u, Entry(h)->ui32LockCount);

    void *apv[3];
    ASSERT_EQ(0, Lock(h, kRender, apv));
    EXPECT_EQ(-EINVAL, Map(h, kTexture, aps)) << "read while it is written";
    EXPECT_EQ(0, Map(h, kComposer, aps)) << "neither read nor write joins";
    EXPECT_EQ(0, Unmap(h));
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(-EINVAL, psHMI->map(nullptr, 1, kTexture, aps));
    EXPECT_EQ(-EINVAL, Map(h, kTexture, nullptr));
    EXPECT_EQ(-EINVAL, psHMI->unmap(nullptr, 1));
    VEK_UINT64 ui64Stamp = AsVek(h)->ui64Stamp;
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    EXPECT_EQ(-EINVAL, psHMI->map(psGralloc, ui64Stamp, kTexture, aps)) << "freed";
    EXPECT_EQ(-EINVAL, psHMI->unmap(psGralloc, ui64Stamp));
}

/* The CPU's writes reach memory before the GPU reads the buffer however the use that began with a
   write lock ends: by its unlock or by an unmap that a map joined to it. A use that map began
   cleans nothing, as before. */
TEST_F(ClientTest, AUseThatBeganWithAWriteLockCleansTheCacheHoweverItEnds) {
    buffer_handle_t h = Own(kSwRead | kSwWrite | kTexture);
    ZOLSRV_CLIENT_MEM_INFO *aps[3] = {};
    void *apv[3];
    struct {
        const char *pszOrder;
        int iLockUsage; /* 0: the use begins with a map */
        bool bUnmapLast;
        unsigned uiCleans;
    } const asCases[] = {
        {"write lock, map, unlock, unmap", kSwWrite, true, 1},
        {"write lock, map, unmap, unlock", kSwWrite, false, 1},
        {"read lock, map, unlock, unmap", kSwRead, true, 0},
        {"map, lock, unmap, unlock", 0, false, 0},
    };
    for (const auto &sCase : asCases) {
        const unsigned uiCacheOps = zolsim_cache_ops();
        if (sCase.iLockUsage != 0) {
            ASSERT_EQ(0, Lock(h, sCase.iLockUsage, apv)) << sCase.pszOrder;
            ASSERT_EQ(0, Map(h, sCase.iLockUsage == kSwWrite ? kComposer : kTexture, aps));
        } else {
            ASSERT_EQ(0, Map(h, kTexture, aps)) << sCase.pszOrder;
            ASSERT_EQ(0, Lock(h, kTexture, apv)) << sCase.pszOrder;
        }
        if (sCase.bUnmapLast) {
            EXPECT_EQ(0, Unlock(h));
            EXPECT_EQ(uiCacheOps, zolsim_cache_ops()) << sCase.pszOrder << ": not while the map holds it";
            EXPECT_EQ(0, Unmap(h));
        } else {
            EXPECT_EQ(0, Unmap(h));
            EXPECT_EQ(0, Unlock(h));
        }
        EXPECT_EQ(uiCacheOps + sCase.uiCleans, zolsim_cache_ops()) << sCase.pszOrder;
    }
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

/* A clean that failed is owed: the unlock answers its failure, and the next end of a use cleans. */
TEST_F(ClientTest, AFailedCleanIsTriedAgainAtTheNextEndOfAUse) {
    buffer_handle_t h = Own(kSwWrite | kTexture);
    void *apv[3];
    ZOLSRV_CLIENT_MEM_INFO *aps[3] = {};
    ASSERT_EQ(0, Lock(h, kSwWrite, apv));
    const unsigned uiCacheOps = zolsim_cache_ops();
    zolsim_fail("ZOLSRVGetMiscInfo", 1, ZOLSRV_ERROR_GENERIC);
    EXPECT_EQ(-EFAULT, Unlock(h));
    ASSERT_EQ(0, Map(h, kComposer, aps));
    EXPECT_EQ(0, Unmap(h));
    EXPECT_EQ(uiCacheOps + 1, zolsim_cache_ops()) << "the owed clean ran at the unmap";
    ASSERT_EQ(0, Map(h, kComposer, aps));
    EXPECT_EQ(0, Unmap(h));
    EXPECT_EQ(uiCacheOps + 1, zolsim_cache_ops()) << "and is owed no more";
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

/* Another process's display buffer names no memory here: its registration answers 0 and takes
   nothing, so that handles of that kind, whatever stamps they claim, never stand in the way of a
   buffer that carries one of those stamps later. */
TEST_F(ClientTest, ForeignDisplayHandlesTakeNoStamp) {
    std::vector<native_handle_t *> apsDisplay;
    const VEK_UINT64 ui64First = 0x6161000000001ULL;
    for (int i = 0; i < 8; i++) {
        native_handle_t *ps = native_handle_create(1, 9);
        VEK_native_handle_t *psVek = AsVek(ps);
        for (int j = 0; j < 3; j++) psVek->fd[j] = -2;
        psVek->ui64Stamp = ui64First + (VEK_UINT64)i;
        psVek->usage = GRALLOC_USAGE_HW_FB;
        psVek->iWidth = 64;
        psVek->iHeight = 32;
        psVek->iFormat = HAL_PIXEL_FORMAT_RGB_565;
        psVek->uiBpp = 16;
        EXPECT_EQ(0, Register(ps));
        EXPECT_EQ(nullptr, Entry(ps)) << "nothing registered";
        apsDisplay.push_back(ps);
    }
    void *apv[3];
    EXPECT_EQ(-EINVAL, Lock(apsDisplay[0], kSwRead, apv)) << "and nothing to lock";
    zolsim_set_next_stamp(ui64First);
    buffer_handle_t hOwn = Own(kSwRead | kTexture);
    ASSERT_NE(nullptr, hOwn) << "this process allocates under a claimed stamp";
    EXPECT_EQ(ui64First, AsVek(hOwn)->ui64Stamp);
    zolsim_set_next_stamp(ui64First + 1);
    buffer_handle_t hForeign = psForeign->Make(kSwRead);
    EXPECT_EQ(0, Register(hForeign)) << "and registers another client's buffer under one";
    EXPECT_EQ(0, Unregister(hForeign));
    for (native_handle_t *ps : apsDisplay) {
        EXPECT_EQ(0, Unregister(ps));
        native_handle_delete(ps);
    }
    EXPECT_EQ(0, psAlloc->free(psAlloc, hOwn));
}

/* The last unmap of a buffer mapped only while in use ends the use, and gives the mapping back:
   when the services refuse that once, the worker tries again, and the caller, who could only call
   again and be refused, is answered 0. */
TEST_F(ClientTest, UnmapWhoseReleaseIsLeftToTheWorkerAnswersZero) {
    buffer_handle_t h = psForeign->Make(kComposer);
    ASSERT_EQ(0, Register(h));
    void *apv[3];
    ASSERT_EQ(0, Lock(h, kSwRead, apv)) << "maps the buffer";
    ZOLSRV_CLIENT_MEM_INFO *aps[3] = {};
    ASSERT_EQ(0, Map(h, kComposer, aps));
    EXPECT_EQ(0, Unlock(h));
    zolsim_fail("ZOLSRVUnmapDeviceMemory", 1, ZOLSRV_ERROR_GENERIC);
    EXPECT_EQ(0, Unmap(h)) << "the use has ended; the release is the worker's to try again";
    EXPECT_EQ(-EINVAL, Unmap(h)) << "and only once";
    EXPECT_TRUE(Eventually([] { return zolsim_live_mappings() == 0; })) << "the worker released the mapping";
    EXPECT_EQ(0, Unregister(h));
}

/* Memory of its own under the stamp of a buffer not yet made (this process's next allocation, or
   another process's): the registration is refused, and the buffer that does carry the stamp is
   made, registered and read as its own. */
TEST_F(ClientTest, MemoryUnderAnotherBuffersStampTakesNeitherTheStampNorTheBuffer) {
    for (bool bOwnLater : {true, false}) {
        const VEK_UINT64 ui64Stamp = bOwnLater ? 0x5151000000001ULL : 0x5151000000002ULL;
        for (int iUsage : {kSwRead | kTexture, kComposer}) {
            buffer_handle_t hForged = psForeign->Make(iUsage);
            memset(psForeign->Plane(psForeign->apsPlanes.size() - 1)->pvLinAddr, 0xee, 64 * 32 * 4);
            AsVek(hForged)->ui64Stamp = ui64Stamp;
            EXPECT_EQ(-EINVAL, Register(hForged)) << "usage " << iUsage;
            EXPECT_EQ(nullptr, Entry(hForged));
        }
        EXPECT_EQ(0u, zolsim_live_mappings()) << "nothing stays mapped";
        zolsim_set_next_stamp(ui64Stamp);
        buffer_handle_t h = bOwnLater ? Own(kSwRead | kTexture) : psForeign->Make(kSwRead | kTexture);
        ASSERT_EQ(ui64Stamp, AsVek(h)->ui64Stamp);
        if (!bOwnLater) {
            memset(psForeign->Plane(psForeign->apsPlanes.size() - 1)->pvLinAddr, 0x11, 64 * 32 * 4);
            ASSERT_EQ(0, Register(h)) << "the buffer that carries the stamp registers";
        }
        void *apv[3] = {};
        ASSERT_EQ(0, Lock(h, kSwRead, apv));
        EXPECT_EQ(bOwnLater ? 0x00 : 0x11, static_cast<unsigned char *>(apv[0])[0]) << "its own memory";
        EXPECT_EQ(0, Unlock(h));
        EXPECT_EQ(0, bOwnLater ? psAlloc->free(psAlloc, h) : Unregister(h));
    }
}

TEST_F(ClientTest, MapOfAnUnmappedForeignBufferGivesNoPlanes) {
    buffer_handle_t h = psForeign->Make(kComposer);
    ASSERT_EQ(0, Register(h));
    ZOLSRV_CLIENT_MEM_INFO *aps[3] = {psForeign->Plane(0), psForeign->Plane(0), psForeign->Plane(0)};
    ASSERT_EQ(0, Map(h, kTexture, aps));
    EXPECT_EQ(nullptr, aps[0]);
    EXPECT_EQ(nullptr, aps[1]);
    EXPECT_EQ(nullptr, aps[2]);
    void *apv[3];
    EXPECT_EQ(0, Lock(h, kTexture, apv)) << "a lock joins with the same usage";
    EXPECT_EQ(-EINVAL, Unregister(h));
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(0, Unmap(h));
    EXPECT_EQ(0, Unregister(h));
    EXPECT_EQ(0u, zolsim_live_mappings());
}

TEST_F(ClientTest, GenericFormatsHaveNoPhysicalAddresses) {
    buffer_handle_t h = Own(kTexture);
    unsigned auiPhys[3] = {7, 7, 7};
    const VEK_gralloc_module_public_t *psPublic = &psHMI->base;
    EXPECT_EQ(-EINVAL, psPublic->GetPhyAddrs(psPublic, h, auiPhys));
    EXPECT_EQ(7u, auiPhys[0]);
    EXPECT_EQ(-EINVAL, psPublic->GetPhyAddrs(nullptr, h, auiPhys));
    EXPECT_EQ(-EINVAL, psPublic->GetPhyAddrs(psPublic, nullptr, auiPhys));
    EXPECT_EQ(-EINVAL, psPublic->GetPhyAddrs(psPublic, h, nullptr));
    buffer_handle_t hForeign = psForeign->Make(kTexture);
    EXPECT_EQ(-EINVAL, psPublic->GetPhyAddrs(psPublic, hForeign, auiPhys)) << "not known here";
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

TEST_F(ClientTest, RegisterUnregisterCyclesLeaveNothingLive) {
    for (int i = 0; i < 64; i++) {
        buffer_handle_t h = psForeign->Make(i % 2 ? kSwRead : kComposer);
        ASSERT_EQ(0, Register(h));
        void *apv[3];
        ASSERT_EQ(0, Lock(h, kSwRead, apv));
        ASSERT_EQ(0, Unlock(h));
        ASSERT_EQ(0, Unregister(h));
    }
    EXPECT_EQ(0u, zolsim_live_mappings());
    EXPECT_EQ(nullptr, Private()->psMapList);
}

}  // namespace
