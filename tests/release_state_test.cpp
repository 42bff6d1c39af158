/* A buffer's queued release against every entry point: a release waiting for the GPU is taken
   back, refused or replaced, a mapping handed out is whole, and a lock waits as its access asks. */
#include <dlfcn.h>
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

/* A registration that fails half way gives back what it mapped at once, whatever the GPU does with
   the buffer elsewhere: that mapping was never handed out, so nothing of this process can use it. */
TEST_F(ReleaseStateTest, RegistrationThatFailedHalfWayLeavesNothingAndARetryMapsWhole) {
    buffer_handle_t h = psForeign->Make(kSwRead | kTexture, 64, 32, 2);
    memset(psForeign->Plane(1)->pvLinAddr, 0x3c, 64);
    zolsim_gpu_add_ops(psForeign->Plane(0), 1, 0, 0); /* the GPU still reads plane 0 */
    zolsim_fail("ZOLSRVMapDeviceMemory2", 2, ZOLSRV_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(-EFAULT, Register(h));
    EXPECT_EQ(0u, zolsim_live_mappings()) << "plane 0's mapping was never handed out";
    EXPECT_EQ(nullptr, Entry(h));

    ASSERT_EQ(0, Register(h)) << "the retry maps the buffer";
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

/* A registration refused by the consistency check leaves nothing that would refuse every later
   buffer: its mapping, which shares the counters of a busy buffer, goes at once. */
TEST_F(ReleaseStateTest, RegistrationRefusedByTheConsistencyCheckBlocksNothingAfterIt) {
    buffer_handle_t hMine = Own(kSwRead | kTexture);
    ZOLSRV_CLIENT_MEM_INFO *psMine = MemInfo(hMine);
    buffer_handle_t h = psForeign->Make(kSwRead);
    zolsim_share_sync_with_next(psMine);
    zolsim_gpu_add_ops(psMine, 1, 0, 0); /* the shared counters are busy */
    EXPECT_EQ(-EFAULT, Register(h));
    EXPECT_EQ(nullptr, Entry(h)) << "the failed registration leaves nothing";
    EXPECT_EQ(0u, zolsim_live_mappings()) << "not even the mapping it made";
    buffer_handle_t hOther = Own(kSwRead);
    EXPECT_NE(nullptr, hOther) << "the process allocates at once";
    buffer_handle_t hForeign = psForeign->Make(kTexture);
    EXPECT_EQ(0, Register(hForeign)) << "and registers";
    EXPECT_EQ(0, Register(h)) << "and the buffer itself registers once its mapping shares nothing";
    zolsim_gpu_complete(psMine);
    EXPECT_EQ(0, Unregister(h));
    EXPECT_EQ(0, Unregister(hForeign));
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
    /* No worker may start to try the unmapping again (neither when the unmapping is queued nor when
       the unlock lets the mutex go), so the lock below meets the half. */
    FailPthreadCreate(1, EAGAIN, 2);
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
    const VEK_UINT64 ui64Own = AsVek(hOwn)->ui64Stamp;
    EXPECT_EQ(0, psAlloc->free(psAlloc, hOwn)) << "answered: the caller will not free it again";
    EXPECT_EQ(0, Unregister(hForeign)) << "answered: the caller will not unregister it again";
    EXPECT_EQ(0, Unlock(hComposed));
    EXPECT_EQ(2u, zolsim_live_mappings()) << "the display keeps every mapping it was given";
    EXPECT_NE(nullptr, zolsim_meminfo_by_stamp(ui64Own)) << "and the memory";
    zolsim_set_swap_retries(0);
    zolsim_set_wait_timeout_ms(2);
    /* The event that ends Post2's wait: the GPU reports the test's own buffer done. */
    zolsim_gpu_complete(zolsim_meminfo_by_stamp(ui64Own));
    sPoster.join();
    EXPECT_EQ(0, iPost.load());
    EXPECT_EQ(-EINVAL, Unregister(hForeign)) << "unregistered once";
    EXPECT_EQ(0, Unregister(hComposed));
    /* The display reads all three until its next frame: their releases wait for it. */
    EXPECT_NE(nullptr, zolsim_meminfo_by_stamp(ui64Own)) << "the display still reads it";
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
/* A child of fork has the parent's module without the parent's threads: the release worker may
   hold the module mutex at the fork. The module answers the child as one that did not start up,
   so that no call and no exit waits for that mutex, and the child takes down nothing it shares
   with its parent. Forks land while the worker scans without pause. */
TEST_F(ReleaseStateTest, AForkedChildNeverWaitsForTheParentsThreadsAndLeavesItsStateAlone) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer's own locks may be held by another thread at a fork";
#endif
    buffer_handle_t h = Own(kTexture | kSwRead);
    ZOLSRV_CLIENT_MEM_INFO *psMem = MemInfo(h);
    const VEK_UINT64 ui64Stamp = AsVek(h)->ui64Stamp;
    zolsim_gpu_add_ops(psMem, 1, 0, 0);
    /* The worker waits for the GPU without pause, and holds the mutex for each scan. */
    zolsim_set_wait_timeout_ms(0);
    ASSERT_EQ(0, psAlloc->free(psAlloc, h)) << "the free is queued";
    const hw_module_t *psModule = &psHMI->base.base.common;

    for (int iChildren = 0; iChildren < 20; iChildren++) {
        const pid_t iChild = fork();
        ASSERT_GE(iChild, 0);
        if (iChild == 0) {
            alarm(10); /* a child that hangs fails rather than stalls the suite */
            char acDump[64] = "untouched";
            psAlloc->dump(psAlloc, acDump, sizeof(acDump));
            hw_device_t *psDevice = nullptr;
            buffer_handle_t hChild = nullptr;
            int iStride = 0;
            const bool bRefused =
                strcmp(acDump, "untouched") == 0 &&
                psAlloc->alloc(psAlloc, 8, 8, HAL_PIXEL_FORMAT_BGRA_8888, kSwRead, &hChild, &iStride) == -ENOTTY &&
                psModule->methods->open(psModule, GRALLOC_HARDWARE_GPU0, &psDevice) == -ENOTTY;
            /* The module's unload runs in the child too (the fixture's load is the only one).
               Then _exit: a leak check at exit would stop the child's other threads, which
               it does not have, and wait for the sanitizer's locks they held at the fork. */
            dlclose(psModule->dso);
            _exit(bRefused ? 0 : 1);
        }
        int iStatus = 0;
        ASSERT_EQ(iChild, waitpid(iChild, &iStatus, 0));
        ASSERT_TRUE(WIFEXITED(iStatus)) << "child " << iChildren << " ended by signal " << WTERMSIG(iStatus);
        EXPECT_EQ(0, WEXITSTATUS(iStatus)) << "child " << iChildren << " was not answered -ENOTTY";
    }
    zolsim_set_wait_timeout_ms(20);
    EXPECT_NE(nullptr, zolsim_meminfo_by_stamp(ui64Stamp)) << "no child released the parent's buffer";
    zolsim_gpu_complete(psMem);
    EXPECT_TRUE(Eventually([&] { return zolsim_meminfo_by_stamp(ui64Stamp) == nullptr; }))
        << "the parent's worker still runs its queue";
    buffer_handle_t hAfter = Own(kSwRead);
    EXPECT_NE(nullptr, hAfter) << "the parent's module is whole";
    EXPECT_EQ(0, psAlloc->free(psAlloc, hAfter));
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
    psVek->iWidth = 64;
    psVek->iHeight = 32;
    psVek->iFormat = psFb->format;
    psVek->uiBpp = 16;
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

/* A buffer a Post2 swap holds is unregistered, then received again, and that registration fails:
   its removal waits for the swap like any other, and the display keeps the memory it was given. */
TEST_F(ReleaseStateTest, AFailedRegistrationAgainReleasesNothingThatASwapHolds) {
    zolsim_set_wait_timeout_ms(60000);
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    VEK_framebuffer_device_public_t *psPublic = reinterpret_cast<VEK_framebuffer_device_public_t *>(psFb);
    buffer_handle_t h = psForeign->Make(kTexture, 64, 32, 2);
    ASSERT_EQ(0, Register(h));
    zolsim_set_swap_retries(ZOLSIM_SWAP_RETRY_ALWAYS);
    std::atomic<int> iPost{1};
    std::thread sPoster([&] {
        buffer_handle_t ah[1] = {h};
        iPost = psPublic->Post2(psFb, ah, 1, nullptr, 0);
    });
    ASSERT_TRUE(Eventually([] { return zolsim_swap_records(nullptr, 0) >= 1 && zolsim_event_waiters() == 1; }))
        << "Post2 waits for the display";
    EXPECT_EQ(0, Unregister(h)) << "answered; the removal waits for the swap";
    zolsim_fail("ZOLSRVMapDeviceMemory2", 1, ZOLSRV_ERROR_GENERIC);
    EXPECT_NE(0, Register(h)) << "the registration anew fails";
    EXPECT_EQ(2u, zolsim_live_mappings()) << "the display keeps both planes";
    zolsim_set_swap_retries(0);
    zolsim_set_wait_timeout_ms(2);
    zolsim_gpu_complete(psForeign->Plane(0));
    sPoster.join();
    EXPECT_EQ(0, iPost.load()) << "the swap finished on live memory";
    /* The display reads the planes until its next frame; closed, it reads them no more. */
    EXPECT_EQ(0, framebuffer_close(psFb));
    EXPECT_TRUE(Eventually([&] { return Entry(h) == nullptr; })) << "the removal ran after the display let go";
}

/* ---- The consistency check ---- */

/* A buffer whose release waits for the GPU keeps its synchronisation object until the worker
   releases it: a new buffer that shares it is refused, in the allocating process and in a client,
   instead of reading freed counters once the worker has run. */
TEST_F(ReleaseStateTest, BufferOnItsWayOutStillTakesPartInTheConsistencyCheck) {
    buffer_handle_t hLeaving = Own(kSwRead | kTexture);
    ZOLSRV_CLIENT_MEM_INFO *psLeaving = MemInfo(hLeaving);
    buffer_handle_t hForeignLeaving = psForeign->Make(kSwRead | kTexture);
    ASSERT_EQ(0, Register(hForeignLeaving));
    zolsim_gpu_add_ops(psLeaving, 1, 0, 0);
    zolsim_gpu_add_ops(psForeign->Plane(0), 1, 0, 0);
    ASSERT_EQ(0, psAlloc->free(psAlloc, hLeaving)) << "the free is queued";
    ASSERT_EQ(0, Unregister(hForeignLeaving)) << "the removal is queued";

    zolsim_share_sync_with_next(psLeaving);
    buffer_handle_t h = nullptr;
    int iStride = 0;
    EXPECT_EQ(-EFAULT, psAlloc->alloc(psAlloc, 64, 32, HAL_PIXEL_FORMAT_BGRA_8888, kSwRead, &h, &iStride))
        << "a new buffer may not share the counters of one whose free waits";
    buffer_handle_t hClient = psForeign->Make(kSwRead);
    zolsim_share_sync_with_next(Entry(hForeignLeaving)->apsMemInfo[0]);
    EXPECT_EQ(-EFAULT, Register(hClient)) << "nor those of one whose removal waits";

    zolsim_gpu_complete(psLeaving);
    zolsim_gpu_complete(psForeign->Plane(0));
    EXPECT_TRUE(Eventually([&] { return Entry(hForeignLeaving) == nullptr; }));
    EXPECT_EQ(0, Register(hClient)) << "registered once nothing is shared";
    void *apv[3] = {};
    EXPECT_EQ(0, Lock(hClient, kSwRead, apv));
    EXPECT_EQ(0, Unlock(hClient));
    EXPECT_EQ(0, Unregister(hClient));
}

}  // namespace
