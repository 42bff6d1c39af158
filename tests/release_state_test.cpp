/* A buffer's queued release against every entry point: a release waiting for the GPU is taken
   back, refused or replaced, a mapping handed out is whole, and a lock waits as its access asks. */
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "framebuffer.h"
#include "interpose.h"
#include "client_fixture.h"

namespace {

constexpr int kSwRead = GRALLOC_USAGE_SW_READ_OFTEN;
constexpr int kSwWrite = GRALLOC_USAGE_SW_WRITE_OFTEN;
constexpr int kTexture = GRALLOC_USAGE_HW_TEXTURE;
constexpr int kComposer = GRALLOC_USAGE_HW_COMPOSER;
/* Stands where no address may be written. */
void *const kUntouched = reinterpret_cast<void *>(7);

class ReleaseStateTest : public ClientFixture {
protected:
    void TearDown() override {
        /* Let the worker finish with the buffers before their memory goes. */
        for (ZOLSRV_CLIENT_MEM_INFO *ps : psForeign->apsPlanes) zolsim_gpu_complete(ps);
        EXPECT_TRUE(Eventually([] { return zolsim_live_mappings() == 0; })) << "a mapping was left behind";
        ClientFixture::TearDown();
    }

    /* A copy of a two-plane buffer's handle that names only its first plane. */
    static native_handle_t *OnePlaneCopy(buffer_handle_t h) {
        native_handle_t *ps = native_handle_create(1, 9);
        for (int i = 0; i < 10; i++) ps->data[i] = h->data[i];
        reinterpret_cast<VEK_native_handle_t *>(ps)->fd[1] = -1;
        return ps;
    }

    /* A composer-only buffer, registered, locked for reading and unlocked while the GPU still
       reads it: its unmapping waits in the queue. apv receives the lock's addresses. */
    buffer_handle_t ComposerBufferWithQueuedUnmapping(void **apv) {
        buffer_handle_t h = psForeign->Make(kComposer);
        EXPECT_EQ(0, Register(h));
        EXPECT_EQ(0, Lock(h, kSwRead, apv));
        zolsim_gpu_add_ops(psForeign->Plane(0), 1, 0, 0);
        EXPECT_EQ(0, Unlock(h)) << "the unmapping is queued";
        return h;
    }

    /* Long enough for a worker woken by a completion to have run what it may run. */
    static void LetTheWorkerRun() { std::this_thread::sleep_for(std::chrono::milliseconds(60)); }
};

/* ---- Registration ---- */

TEST_F(ReleaseStateTest, RetriedRegistrationFinishesAMappingThatFailedHalfWay) {
    buffer_handle_t h = psForeign->Make(kSwRead | kTexture, 64, 32, 2);
    memset(psForeign->Plane(1)->pvLinAddr, 0x3c, 64);
    zolsim_gpu_add_ops(psForeign->Plane(0), 1, 0, 0); /* the GPU still reads plane 0 */
    zolsim_fail("ZOLSRVMapDeviceMemory2", 2, ZOLSRV_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(-EFAULT, Register(h));
    EXPECT_EQ(1u, zolsim_live_mappings()) << "plane 0's mapping waits for the GPU";

    ASSERT_EQ(0, Register(h)) << "the retry finishes the mapping";
    EXPECT_EQ(2u, zolsim_live_mappings());
    void *apv[3] = {kUntouched, kUntouched, kUntouched};
    ASSERT_EQ(0, Lock(h, kSwRead, apv));
    ASSERT_NE(kUntouched, apv[1]) << "both planes are handed out";
    ASSERT_NE(nullptr, apv[1]);
    EXPECT_EQ(0x3c, static_cast<unsigned char *>(apv[1])[0]);
    EXPECT_EQ(kUntouched, apv[2]);
    zolsim_gpu_complete(psForeign->Plane(0));
    LetTheWorkerRun();
    EXPECT_EQ(2u, zolsim_live_mappings()) << "no removal may still be queued";
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(0, Unregister(h));
}

TEST_F(ReleaseStateTest, RetriedRegistrationRunsTheConsistencyCheckAgain) {
    buffer_handle_t hMine = Own(kSwRead | kTexture);
    ZOLSRV_CLIENT_MEM_INFO *psMine = MemInfo(hMine);
    buffer_handle_t h = psForeign->Make(kSwRead);
    zolsim_share_sync_with_next(psMine);
    zolsim_gpu_add_ops(psMine, 1, 0, 0); /* the shared counters are busy */
    EXPECT_EQ(-EFAULT, Register(h));
    EXPECT_EQ(-EFAULT, Register(h)) << "the list is still inconsistent";
    zolsim_gpu_complete(psMine);
    ASSERT_TRUE(Eventually([&] { return Entry(h) == nullptr; })) << "the failed registration leaves nothing";
    buffer_handle_t hOther = Own(kSwRead);
    EXPECT_NE(nullptr, hOther) << "the process can allocate again";
    EXPECT_EQ(0, Register(h)) << "and register once the sharing is gone";
    EXPECT_EQ(0, Unregister(h));
    EXPECT_EQ(0, psAlloc->free(psAlloc, hOther));
    EXPECT_EQ(0, psAlloc->free(psAlloc, hMine));
}

TEST_F(ReleaseStateTest, FailedRegistrationWhoseReleaseCannotBeQueuedIsNotRegistered) {
    buffer_handle_t h = psForeign->Make(kSwRead | kTexture, 64, 32, 2);
    zolsim_gpu_add_ops(psForeign->Plane(0), 1, 0, 0);
    zolsim_fail("ZOLSRVMapDeviceMemory2", 2, ZOLSRV_ERROR_OUT_OF_MEMORY);
    FailPthreadCreate(1, EAGAIN);
    EXPECT_EQ(-EFAULT, Register(h));
    void *apv[3] = {kUntouched, kUntouched, kUntouched};
    EXPECT_EQ(-EINVAL, Lock(h, kSwRead, apv)) << "a half-mapped buffer is not registered";
    EXPECT_EQ(kUntouched, apv[0]);
    EXPECT_EQ(-EINVAL, Unregister(h));
    ASSERT_EQ(0, Register(h)) << "a retry finishes the registration";
    ASSERT_EQ(0, Lock(h, kSwRead, apv));
    EXPECT_NE(kUntouched, apv[1]);
    EXPECT_EQ(0, Unlock(h));
    zolsim_gpu_complete(psForeign->Plane(0));
    EXPECT_EQ(0, Unregister(h));
}

/* ---- Mapping while locked ---- */

TEST_F(ReleaseStateTest, FirstLockAfterAFailedMappingMapsEveryPlane) {
    buffer_handle_t h = psForeign->Make(kComposer, 64, 32, 2);
    ASSERT_EQ(0, Register(h));
    zolsim_gpu_add_ops(psForeign->Plane(0), 1, 0, 0);
    zolsim_fail("ZOLSRVMapDeviceMemory2", 2, ZOLSRV_ERROR_GENERIC);
    void *apv[3] = {kUntouched, kUntouched, kUntouched};
    EXPECT_EQ(-EFAULT, Lock(h, kSwRead, apv));
    ASSERT_EQ(0, Lock(h, kSwRead, apv));
    EXPECT_NE(kUntouched, apv[0]);
    EXPECT_NE(kUntouched, apv[1]) << "the plane that failed is mapped now";
    EXPECT_EQ(2u, zolsim_live_mappings());
    zolsim_gpu_complete(psForeign->Plane(0));
    LetTheWorkerRun();
    EXPECT_EQ(2u, zolsim_live_mappings()) << "nothing is unmapped under the lock";
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(0, Unregister(h));
}

TEST_F(ReleaseStateTest, FirstLockAfterAnUnlockWhoseUnmappingFailedHalfWayMapsEveryPlane) {
    buffer_handle_t h = psForeign->Make(kComposer, 64, 32, 2);
    ASSERT_EQ(0, Register(h));
    void *apv[3] = {kUntouched, kUntouched, kUntouched};
    ASSERT_EQ(0, Lock(h, kSwRead, apv));
    zolsim_fail("ZOLSRVUnmapDeviceMemory", 2, ZOLSRV_ERROR_GENERIC);
    /* No worker may start to try the unmapping again, so the lock below meets the half. */
    FailPthreadCreate(1, EAGAIN);
    EXPECT_EQ(-EFAULT, Unlock(h));
    ASSERT_EQ(1u, zolsim_live_mappings()) << "plane 0 is unmapped, plane 1 is not";
    apv[0] = apv[1] = kUntouched;
    ASSERT_EQ(0, Lock(h, kSwRead, apv));
    EXPECT_NE(kUntouched, apv[1]) << "the plane already unmapped is mapped again";
    EXPECT_EQ(2u, zolsim_live_mappings());
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(0, Unregister(h));
}

TEST_F(ReleaseStateTest, MapKeepsAMappingThatAQueuedUnmappingWouldRelease) {
    void *apv[3];
    buffer_handle_t h = ComposerBufferWithQueuedUnmapping(apv);
    ASSERT_FALSE(HasFailure());
    ZOLSRV_CLIENT_MEM_INFO *aps[3] = {};
    ASSERT_EQ(0, Map(h, kTexture, aps));
    ASSERT_NE(nullptr, aps[0]);
    zolsim_gpu_complete(psForeign->Plane(0));
    LetTheWorkerRun();
    EXPECT_EQ(1u, zolsim_live_mappings()) << "the mem-infos map handed out stay valid while mapped";
    EXPECT_EQ(AsVek(h)->ui64Stamp, aps[0]->ui64Stamp);
    EXPECT_EQ(0, Unmap(h));
    EXPECT_EQ(0, Unregister(h));
    EXPECT_EQ(0u, zolsim_live_mappings());
}

TEST_F(ReleaseStateTest, OneQueuedReleasePerBufferAndANewLockTakesItBack) {
    void *apv[3];
    buffer_handle_t h = ComposerBufferWithQueuedUnmapping(apv);
    ASSERT_FALSE(HasFailure());
    ZOLSRV_CLIENT_MEM_INFO *aps[3] = {};
    ASSERT_EQ(0, Map(h, kTexture, aps));
    ASSERT_EQ(0, Lock(h, kTexture, apv)) << "joins the map's use";
    ASSERT_EQ(0, Unmap(h));
    ASSERT_EQ(0, Unlock(h));
    apv[0] = kUntouched;
    ASSERT_EQ(0, Lock(h, kSwRead, apv));
    ASSERT_NE(kUntouched, apv[0]);
    zolsim_gpu_complete(psForeign->Plane(0));
    LetTheWorkerRun();
    ASSERT_EQ(1u, zolsim_live_mappings()) << "no older release may unmap the locked buffer";
    /* The lock's address still reaches the buffer: what the allocating side sees, it sees. */
    static_cast<volatile unsigned char *>(psForeign->Plane(0)->pvLinAddr)[0] = 0x5a;
    EXPECT_EQ(0x5a, static_cast<volatile unsigned char *>(apv[0])[0]);
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(0, Unregister(h));
}

TEST_F(ReleaseStateTest, UnregisterAfterTwoUsesLeavesOneRemoval) {
    void *apv[3];
    buffer_handle_t h = ComposerBufferWithQueuedUnmapping(apv);
    ASSERT_FALSE(HasFailure());
    ZOLSRV_CLIENT_MEM_INFO *aps[3] = {};
    ASSERT_EQ(0, Map(h, kTexture, aps));
    ASSERT_EQ(0, Lock(h, kTexture, apv));
    ASSERT_EQ(0, Unmap(h));
    ASSERT_EQ(0, Unlock(h));
    ASSERT_EQ(0, Unregister(h));
    zolsim_gpu_complete(psForeign->Plane(0));
    /* Under ASan a release run against the removed entry fails the test here. */
    EXPECT_TRUE(Eventually([&] { return Entry(h) == nullptr; }));
    EXPECT_TRUE(Eventually([] { return zolsim_live_mappings() == 0; }));
    LetTheWorkerRun();
    EXPECT_EQ(0, Register(h)) << "the stamp is free again";
    EXPECT_EQ(0, Unregister(h));
}

/* ---- Waits ---- */

TEST_F(ReleaseStateTest, ReadWriteLockWaitsForWritesQueuedDuringItsReadWait) {
    /* The GPU's progress ends the lock's waits: its 50 tries of a second each are not used up
       while the test's steps run, however slowly. */
    zolsim_set_wait_timeout_ms(1000);
    buffer_handle_t h = psForeign->Make(kSwRead | kSwWrite | kTexture);
    ASSERT_EQ(0, Register(h));
    ZOLSRV_SYNC_DATA *psSync = psForeign->Plane(0)->psClientSyncInfo->psSyncData;
    zolsim_gpu_add_ops(psForeign->Plane(0), 1, 0, 0);
    std::atomic<int> iResult{1};
    std::atomic<bool> bWritesDoneAtReturn{false};
    std::thread sLocker([&] {
        void *apv[3];
        iResult = Lock(h, kSwRead | kSwWrite, apv);
        bWritesDoneAtReturn = __atomic_load_n(&psSync->ui32WriteOpsComplete, __ATOMIC_SEQ_CST) >=
                              __atomic_load_n(&psSync->ui32WriteOpsPending, __ATOMIC_SEQ_CST);
    });
    ASSERT_TRUE(Eventually([] { return zolsim_event_waiters() >= 1; })) << "the lock waits for the GPU's read";
    /* The GPU takes a write and then finishes the read alone. */
    zolsim_gpu_add_ops(psForeign->Plane(0), 0, 1, 0);
    __atomic_store_n(&psSync->ui32ReadOpsComplete, __atomic_load_n(&psSync->ui32ReadOpsPending, __ATOMIC_SEQ_CST),
                     __ATOMIC_SEQ_CST);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    zolsim_gpu_complete(psForeign->Plane(0));
    sLocker.join();
    EXPECT_EQ(0, iResult.load());
    EXPECT_TRUE(bWritesDoneAtReturn.load()) << "a reader waits for every write pending when its read wait ended";
    EXPECT_EQ(0u, zolsim_stall_reports());
    EXPECT_EQ(0, Unlock(h));
    EXPECT_EQ(0, Unregister(h));
}

/* ---- Entries without descriptors ---- */

TEST_F(ReleaseStateTest, EntriesHoldOnlyTheDescriptorsTheirHandleHas) {
    buffer_handle_t h = psForeign->Make(kComposer);
    ASSERT_EQ(0, Register(h));
    VEK_mapper_meminfo_t *psEntry = Entry(h);
    EXPECT_EQ(AsVek(h)->fd[0], psEntry->aiFd[0]);
    EXPECT_EQ(-1, psEntry->aiFd[1]);
    EXPECT_EQ(-1, psEntry->aiFd[2]);
    EXPECT_EQ(0, Unregister(h));

    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    VEK_raw_framebuffer_device_t *psRaw = reinterpret_cast<VEK_raw_framebuffer_device_t *>(psFb);
    for (VEK_UINT32 i = 0; i < psRaw->base.ui32NumBuffers; i++) {
        psEntry = Entry(&psRaw->ppsBufferHandles[i]->base);
        ASSERT_NE(nullptr, psEntry);
        for (int j = 0; j < 3; j++) EXPECT_EQ(-1, psEntry->aiFd[j]) << "a display buffer exports no descriptor";
    }
    EXPECT_EQ(0, framebuffer_close(psFb));
}

/* ---- Post2 ---- */

TEST_F(ReleaseStateTest, Post2RefusesBuffersWhoseReleaseIsQueued) {
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    VEK_framebuffer_device_public_t *psPublic = reinterpret_cast<VEK_framebuffer_device_public_t *>(psFb);
    buffer_handle_t hOwn = Own(kTexture | GRALLOC_USAGE_HW_RENDER);
    ZOLSRV_CLIENT_MEM_INFO *psOwn = MemInfo(hOwn);
    native_handle_t *psCopy = CopyHandle(hOwn);
    buffer_handle_t hForeign = psForeign->Make(kTexture);
    ASSERT_EQ(0, Register(hForeign));
    zolsim_gpu_add_ops(psOwn, 1, 0, 0);
    zolsim_gpu_add_ops(psForeign->Plane(0), 1, 0, 0);
    ASSERT_EQ(0, psAlloc->free(psAlloc, hOwn)) << "the free is queued";
    ASSERT_EQ(0, Unregister(hForeign)) << "the removal is queued";

    buffer_handle_t ah[1] = {psCopy};
    EXPECT_EQ(-EINVAL, psPublic->Post2(psFb, ah, 1, nullptr, 0)) << "a freed buffer is not shown";
    ah[0] = hForeign;
    EXPECT_EQ(-EINVAL, psPublic->Post2(psFb, ah, 1, nullptr, 0)) << "an unregistered buffer is not shown";
    EXPECT_EQ(0u, zolsim_swap_records(nullptr, 0));
    zolsim_gpu_complete(psOwn);
    zolsim_gpu_complete(psForeign->Plane(0));
    EXPECT_TRUE(Eventually([&] { return Entry(psCopy) == nullptr && Entry(hForeign) == nullptr; }));
    native_handle_delete(psCopy);
    EXPECT_EQ(0, framebuffer_close(psFb));
}

TEST_F(ReleaseStateTest, BuffersStayWhileTheDisplayQueueMakesPost2Wait) {
    /* The display queue stays full, and Post2 in its first wait, until the test's event: its
       tries are not used up while the test's calls run, however slowly. */
    zolsim_set_wait_timeout_ms(60000);
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    VEK_framebuffer_device_public_t *psPublic = reinterpret_cast<VEK_framebuffer_device_public_t *>(psFb);
    buffer_handle_t hOwn = Own(kTexture | GRALLOC_USAGE_HW_RENDER);
    buffer_handle_t hForeign = psForeign->Make(kTexture);
    buffer_handle_t hComposed = psForeign->Make(kComposer);
    ASSERT_EQ(0, Register(hForeign));
    ASSERT_EQ(0, Register(hComposed));
    void *apv[3];
    ASSERT_EQ(0, Lock(hComposed, kSwRead, apv)) << "maps the buffer mapped only while locked";
    zolsim_set_swap_retries(ZOLSIM_SWAP_RETRY_ALWAYS);
    std::atomic<int> iPost{1};
    std::thread sPoster([&] {
        buffer_handle_t ah[3] = {hOwn, hForeign, hComposed};
        iPost = psPublic->Post2(psFb, ah, 3, nullptr, 0);
    });
    /* Inside its wait: the event below cannot come before the wait has begun. */
    ASSERT_TRUE(Eventually([] { return zolsim_swap_records(nullptr, 0) >= 1 && zolsim_event_waiters() == 1; }))
        << "Post2 waits for the display";
    EXPECT_EQ(-EFAULT, psAlloc->free(psAlloc, hOwn)) << "the display is given this buffer: it is in use";
    EXPECT_EQ(-EINVAL, Unregister(hForeign)) << "as for a locked buffer";
    EXPECT_EQ(0, Unlock(hComposed));
    EXPECT_EQ(2u, zolsim_live_mappings()) << "the last unlock leaves the display its mapping";
    zolsim_set_swap_retries(0);
    zolsim_set_wait_timeout_ms(2);
    /* The event that ends Post2's wait: the GPU reports the test's own buffer done. */
    zolsim_gpu_complete(MemInfo(hOwn));
    sPoster.join();
    EXPECT_EQ(0, iPost.load());
    EXPECT_NE(nullptr, MemInfo(hOwn)) << "alive for every swap";
    /* The display reads all three until its next frame: their releases wait for it. */
    EXPECT_EQ(2u, zolsim_live_mappings()) << "the display still reads what the last unlock left Post2";
    const VEK_UINT64 ui64Own = AsVek(hOwn)->ui64Stamp;
    EXPECT_EQ(0, psAlloc->free(psAlloc, hOwn)) << "queued, and the handle is gone";
    EXPECT_EQ(0, Unregister(hForeign));
    EXPECT_EQ(0, Unregister(hComposed));
    EXPECT_EQ(2u, zolsim_live_mappings());
    EXPECT_NE(nullptr, zolsim_meminfo_by_stamp(ui64Own));
    /* Closed, the display shows none of them any more. */
    EXPECT_EQ(0, framebuffer_close(psFb));
    EXPECT_TRUE(Eventually([&] { return zolsim_live_mappings() == 0 && zolsim_meminfo_by_stamp(ui64Own) == nullptr; }));
}

/* ---- Handles without memory ---- */

TEST_F(ReleaseStateTest, HandleWithoutADescriptorIsRefused) {
    native_handle_t *ps = native_handle_create(0, 10);
    VEK_native_handle_t *psVek = reinterpret_cast<VEK_native_handle_t *>(ps);
    for (int i = 0; i < 3; i++) psVek->fd[i] = -1;
    psVek->ui64Stamp = 0x1234567800ull;
    psVek->usage = kSwRead;
    psVek->iWidth = 64;
    psVek->iHeight = 32;
    psVek->iFormat = HAL_PIXEL_FORMAT_BGRA_8888;
    psVek->uiBpp = 32;
    EXPECT_EQ(-EINVAL, Register(ps)) << "a buffer without memory is not a buffer";
    void *apv[3] = {kUntouched, kUntouched, kUntouched};
    EXPECT_EQ(-EINVAL, Lock(ps, kSwRead, apv));
    EXPECT_EQ(kUntouched, apv[0]);
    ZOLSRV_CLIENT_MEM_INFO *aps[3] = {};
    EXPECT_EQ(-EINVAL, Map(ps, kTexture, aps));
    EXPECT_EQ(nullptr, Entry(ps));
    native_handle_delete(ps);
}

/* ---- Releases the worker runs ---- */

TEST_F(ReleaseStateTest, QueuedFreeThatFailsInTheWorkerIsTriedAgain) {
    buffer_handle_t h = Own(kTexture | kSwRead);
    const unsigned uiBefore = zolsim_live_allocations();
    ZOLSRV_CLIENT_MEM_INFO *psMem = MemInfo(h);
    native_handle_t *psCopy = CopyHandle(h);
    zolsim_gpu_add_ops(psMem, 1, 0, 0);
    ASSERT_EQ(0, psAlloc->free(psAlloc, h)) << "the free is queued";
    zolsim_fail("ZOLSRVFreeDeviceMem", 1, ZOLSRV_ERROR_GENERIC);
    zolsim_gpu_complete(psMem);
    EXPECT_TRUE(Eventually([&] { return zolsim_live_allocations() == uiBefore - 1; })) << "the allocation goes";
    EXPECT_TRUE(Eventually([&] { return Entry(psCopy) == nullptr; }));
    native_handle_delete(psCopy);
}

TEST_F(ReleaseStateTest, QueuedRemovalThatFailsInTheWorkerIsTriedAgain) {
    buffer_handle_t h = psForeign->Make(kTexture, 64, 32, 2);
    ASSERT_EQ(0, Register(h));
    zolsim_gpu_add_ops(psForeign->Plane(1), 1, 0, 0);
    ASSERT_EQ(0, Unregister(h)) << "the removal is queued";
    zolsim_fail("ZOLSRVUnmapDeviceMemory", 2, ZOLSRV_ERROR_GENERIC);
    zolsim_gpu_complete(psForeign->Plane(1));
    EXPECT_TRUE(Eventually([] { return zolsim_live_mappings() == 0; })) << "both planes are unmapped";
    EXPECT_TRUE(Eventually([&] { return Entry(h) == nullptr; }));
}

/* Releases no caller can ask for again are tried again when they fail at once: the clean-up of a
   failed registration, and the unmapping at the last unlock of a buffer mapped only while locked. */
TEST_F(ReleaseStateTest, CleanUpThatFailsAtOnceIsTriedAgain) {
    buffer_handle_t h = psForeign->Make(kTexture, 64, 32, 2);
    zolsim_fail("ZOLSRVMapDeviceMemory2", 2, ZOLSRV_ERROR_GENERIC);
    zolsim_fail("ZOLSRVUnmapDeviceMemory", 1, ZOLSRV_ERROR_GENERIC);
    EXPECT_EQ(-EFAULT, Register(h));
    EXPECT_TRUE(Eventually([] { return zolsim_live_mappings() == 0; })) << "the first plane's mapping goes";
    EXPECT_TRUE(Eventually([&] { return Entry(h) == nullptr; }));

    buffer_handle_t hLocked = psForeign->Make(kComposer, 64, 32, 2);
    ASSERT_EQ(0, Register(hLocked));
    void *apv[3];
    ASSERT_EQ(0, Lock(hLocked, kSwRead, apv));
    zolsim_fail("ZOLSRVUnmapDeviceMemory", 1, ZOLSRV_ERROR_GENERIC);
    EXPECT_EQ(-EFAULT, Unlock(hLocked));
    EXPECT_TRUE(Eventually([] { return zolsim_live_mappings() == 0; })) << "both planes are unmapped";
    EXPECT_EQ(0, Unregister(hLocked));
}

/* A process forked while the worker waits for the GPU has no worker of its own: its first
   deferral must start one. The fork comes while the worker is inside its wait, not while it holds
   the module mutex for a scan: a child forked then would find the mutex held by a thread it does
   not have. */
TEST_F(ReleaseStateTest, ForkedChildStartsItsOwnWorker) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not run threads started after a multi-threaded fork";
#endif
    if (getenv("ZOLSIM_EMULATOR") != nullptr)
        GTEST_SKIP() << "qemu-user cannot start a thread in a child of a multi-threaded process";
    buffer_handle_t h = Own(kTexture | kSwRead);
    ZOLSRV_CLIENT_MEM_INFO *psMem = MemInfo(h);
    const VEK_UINT64 ui64Stamp = AsVek(h)->ui64Stamp;
    zolsim_gpu_add_ops(psMem, 1, 0, 0);
    buffer_handle_t hIdle = Own(kTexture);
    buffer_handle_t hForeign = psForeign->Make(kTexture);
    ASSERT_EQ(0, Register(hForeign));
    zolsim_gpu_add_ops(psForeign->Plane(0), 1, 0, 0);
    /* The worker's wait outlasts the steps below: only the GPU's progress ends it. The
       unregistration waits once itself before it queues the removal; an event on an idle buffer
       ends that wait at once. */
    zolsim_set_wait_timeout_ms(60000);
    zolsim_gpu_complete_on_next_wait(MemInfo(hIdle));
    ASSERT_EQ(0, Unregister(hForeign)) << "the removal is queued";
    ASSERT_TRUE(Eventually([] { return zolsim_event_waiters() == 1; })) << "the worker waits for the GPU";

    const pid_t iChild = fork();
    ASSERT_GE(iChild, 0);
    if (iChild == 0) {
        alarm(10); /* a child that hangs fails rather than stalls the suite */
        zolsim_set_wait_timeout_ms(20);
        if (psAlloc->free(psAlloc, h) != 0) _exit(2);
        zolsim_gpu_complete(psMem);
        const bool bFreed = Eventually([&] { return zolsim_meminfo_by_stamp(ui64Stamp) == nullptr; });
        _exit(bFreed ? 0 : 1);
    }
    int iStatus = 0;
    ASSERT_EQ(iChild, waitpid(iChild, &iStatus, 0));
    zolsim_set_wait_timeout_ms(20);
    zolsim_gpu_complete(psMem);
    EXPECT_TRUE(WIFEXITED(iStatus)) << "the child ended by signal " << WTERMSIG(iStatus);
    EXPECT_EQ(0, WEXITSTATUS(iStatus)) << "the child's queued free ran";
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    EXPECT_EQ(0, psAlloc->free(psAlloc, hIdle));
}

/* ---- Handles that name other planes ---- */

TEST_F(ReleaseStateTest, LockWithAHandleOfFewerPlanesIsRefusedAndDropsNoMapping) {
    buffer_handle_t h = psForeign->Make(kComposer, 64, 32, 2);
    native_handle_t *psForged = OnePlaneCopy(h);
    ASSERT_EQ(0, Register(h));
    void *apv[3] = {kUntouched, kUntouched, kUntouched};
    ASSERT_EQ(0, Lock(h, kSwRead, apv));
    zolsim_gpu_add_ops(psForeign->Plane(0), 1, 0, 0);
    ASSERT_EQ(0, Unlock(h)) << "the unmapping is queued";
    apv[0] = kUntouched;
    EXPECT_EQ(-EINVAL, Lock(psForged, kSwRead, apv)) << "the handle is not this buffer's";
    EXPECT_EQ(kUntouched, apv[0]);
    EXPECT_EQ(2u, zolsim_live_mappings());
    zolsim_gpu_complete(psForeign->Plane(0));
    EXPECT_TRUE(Eventually([] { return zolsim_live_mappings() == 0; })) << "the queued unmapping takes both";
    EXPECT_EQ(0, Unregister(h));
    native_handle_delete(psForged);
}

TEST_F(ReleaseStateTest, RegistrationWithAHandleOfFewerPlanesIsRefusedAndDropsNoMapping) {
    buffer_handle_t h = psForeign->Make(kComposer, 64, 32, 2);
    native_handle_t *psForged = OnePlaneCopy(h);
    ASSERT_EQ(0, Register(h));
    void *apv[3];
    ASSERT_EQ(0, Lock(h, kSwRead, apv));
    zolsim_gpu_add_ops(psForeign->Plane(0), 1, 0, 0);
    ASSERT_EQ(0, Unlock(h));
    ASSERT_EQ(0, Unregister(h)) << "the removal is queued";
    EXPECT_EQ(-EINVAL, Register(psForged)) << "the handle is not this buffer's";
    zolsim_gpu_complete(psForeign->Plane(0));
    EXPECT_TRUE(Eventually([&] { return Entry(h) == nullptr; })) << "the removal still runs";
    EXPECT_TRUE(Eventually([] { return zolsim_live_mappings() == 0; }));
    native_handle_delete(psForged);
}

/* ---- Registration anew ---- */

TEST_F(ReleaseStateTest, RegistrationAnewTakesTheNewHandlesUsage) {
    void *apv[3];
    buffer_handle_t h = ComposerBufferWithQueuedUnmapping(apv);
    ASSERT_FALSE(HasFailure());
    ASSERT_EQ(0, Unregister(h)) << "the removal is queued";
    native_handle_t *psTexture = CopyHandle(h);
    AsVek(psTexture)->usage = kTexture | kComposer;
    ASSERT_EQ(0, Register(psTexture));
    EXPECT_EQ(kTexture | kComposer, Entry(h)->usage);
    zolsim_gpu_complete(psForeign->Plane(0));
    LetTheWorkerRun();
    EXPECT_EQ(1u, zolsim_live_mappings()) << "a texture stays mapped while registered";
    ZOLSRV_CLIENT_MEM_INFO *aps[3] = {};
    ASSERT_EQ(0, Map(h, kTexture, aps));
    EXPECT_NE(nullptr, aps[0]);
    EXPECT_EQ(0, Unmap(h));
    EXPECT_EQ(1u, zolsim_live_mappings());
    EXPECT_EQ(0, Unregister(psTexture));
    native_handle_delete(psTexture);
}

/* ---- Post2 maps what it shows ---- */

TEST_F(ReleaseStateTest, Post2ShowsABufferMappedOnlyWhileInUseAndReleasesItAfter) {
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    VEK_framebuffer_device_public_t *psPublic = reinterpret_cast<VEK_framebuffer_device_public_t *>(psFb);
    psPublic->bBypassPost = 1;
    buffer_handle_t hFb = nullptr;
    int iStride = 0;
    psAlloc = OpenAlloc();
    ASSERT_EQ(0, psAlloc->alloc(psAlloc, psFb->width, psFb->height, psFb->format, GRALLOC_USAGE_HW_FB, &hFb, &iStride));
    ASSERT_EQ(0, psFb->post(psFb, hFb)) << "kept for Post2";
    buffer_handle_t h = psForeign->Make(kComposer, 64, 32, 2);
    ASSERT_EQ(0, Register(h));
    EXPECT_EQ(0u, zolsim_live_mappings());
    buffer_handle_t ah[2] = {nullptr, h};
    ASSERT_EQ(0, psPublic->Post2(psFb, ah, 2, nullptr, 0));
    ZOLSIM_SWAP_RECORD sRecord;
    ASSERT_EQ(1u, zolsim_swap_records(&sRecord, 1));
    EXPECT_EQ(3u, sRecord.ui32NumMemInfos) << "the kept buffer and both planes";
    EXPECT_EQ(2u, zolsim_live_mappings()) << "the display reads both planes until its next frame";
    /* The next frame shows the kept buffer alone: the mapping goes with the end of the reads. */
    ASSERT_EQ(0, psFb->post(psFb, hFb));
    buffer_handle_t ahKept[1] = {nullptr};
    ASSERT_EQ(0, psPublic->Post2(psFb, ahKept, 1, nullptr, 0));
    EXPECT_TRUE(Eventually([] { return zolsim_live_mappings() == 0; })) << "the mapping goes once not shown";

    /* A plane that cannot be mapped: nothing is shown and nothing stays mapped. */
    ASSERT_EQ(0, psFb->post(psFb, hFb));
    zolsim_fail("ZOLSRVMapDeviceMemory2", 2, ZOLSRV_ERROR_GENERIC);
    EXPECT_EQ(-EFAULT, psPublic->Post2(psFb, ah, 2, nullptr, 0));
    EXPECT_EQ(2u, zolsim_swap_records(nullptr, 0));
    EXPECT_EQ(0u, zolsim_live_mappings());

    /* Another process's display buffer names no memory here: nothing of it can be shown. */
    native_handle_t *psDisplay = native_handle_create(1, 9);
    VEK_native_handle_t *psVek = reinterpret_cast<VEK_native_handle_t *>(psDisplay);
    for (int i = 0; i < 3; i++) psVek->fd[i] = -2;
    psVek->ui64Stamp = 0x7777000000ull;
    psVek->usage = GRALLOC_USAGE_HW_FB;
    psVek->iFormat = psFb->format;
    ASSERT_EQ(0, Register(psDisplay));
    ah[1] = psDisplay;
    EXPECT_EQ(-EINVAL, psPublic->Post2(psFb, ah, 2, nullptr, 0));
    EXPECT_EQ(2u, zolsim_swap_records(nullptr, 0));
    /* A buffer mapped for the call, listed before one refused: it is left as it was found,
       unmapped, and nothing is shown. */
    ASSERT_EQ(0, psFb->post(psFb, hFb));
    const unsigned uiMaps = zolsim_calls("ZOLSRVMapDeviceMemory2"), uiUnmaps = zolsim_calls("ZOLSRVUnmapDeviceMemory");
    buffer_handle_t ahMappedThenRefused[3] = {nullptr, h, psDisplay};
    EXPECT_EQ(-EINVAL, psPublic->Post2(psFb, ahMappedThenRefused, 3, nullptr, 0));
    EXPECT_EQ(2u, zolsim_swap_records(nullptr, 0));
    EXPECT_EQ(uiMaps + 2, zolsim_calls("ZOLSRVMapDeviceMemory2")) << "both planes were mapped for the call";
    EXPECT_EQ(uiUnmaps + 2, zolsim_calls("ZOLSRVUnmapDeviceMemory")) << "and went again";
    EXPECT_EQ(0u, zolsim_live_mappings()) << "nothing mapped that was not mapped before";
    EXPECT_EQ(0, Unregister(psDisplay));
    native_handle_delete(psDisplay);

    ah[1] = nullptr;
    EXPECT_EQ(0, psPublic->Post2(psFb, ah, 1, nullptr, 0)) << "the kept buffer stays kept";
    EXPECT_EQ(0, Unregister(h));
    EXPECT_EQ(0, psAlloc->free(psAlloc, hFb));
    EXPECT_EQ(0, framebuffer_close(psFb));
}

/* ---- The consistency check ---- */

TEST_F(ReleaseStateTest, BufferOnItsWayOutTakesNoPartInTheConsistencyCheck) {
    buffer_handle_t hMine = Own(kSwRead | kTexture);
    ZOLSRV_CLIENT_MEM_INFO *psMine = MemInfo(hMine);
    buffer_handle_t h = psForeign->Make(kSwRead);
    zolsim_share_sync_with_next(psMine);
    zolsim_gpu_add_ops(psMine, 1, 0, 0); /* the shared counters are busy */
    EXPECT_EQ(-EFAULT, Register(h)) << "its removal is queued";
    ASSERT_NE(nullptr, Entry(h));

    buffer_handle_t hOther = Own(kSwRead);
    EXPECT_NE(nullptr, hOther) << "allocation goes on while the removal waits";
    buffer_handle_t hForeign = psForeign->Make(kTexture);
    EXPECT_EQ(0, Register(hForeign)) << "and so does registration";
    EXPECT_EQ(-EFAULT, Register(h)) << "the buffer itself still shares its counters";

    zolsim_gpu_complete(psMine);
    EXPECT_TRUE(Eventually([&] { return Entry(h) == nullptr; }));
    EXPECT_EQ(0, Unregister(hForeign));
    if (hOther != nullptr) EXPECT_EQ(0, psAlloc->free(psAlloc, hOther));
    EXPECT_EQ(0, psAlloc->free(psAlloc, hMine));
}

}  // namespace
