/* Closing the display while it is still in use: a Post2 swapping without the module mutex, and a
   blit-mode close whose release of a display buffer fails. Either way close answers -EFAULT, the
   device stays usable, and a later close finishes. */
#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "framebuffer.h"
#include "module_fixture.h"

namespace {

class DisplayCloseTest : public ModuleTest {
protected:
    virtual int PresentMode() { return 0; }
    virtual int NumBuffers() { return 3; }

    void Configure() override {
        zolsim_set_app_hint("HALPresentMode", (VEK_UINT32)PresentMode());
        zolsim_set_app_hint("HALNumFrameBuffers", (VEK_UINT32)NumBuffers());
    }

    void SetUp() override {
        ModuleTest::SetUp();
        if (HasFatalFailure()) return;
        psFb = OpenFb();
        ASSERT_NE(nullptr, psFb);
        psAlloc = OpenAlloc();
        ASSERT_NE(nullptr, psAlloc);
    }

    void TearDown() override {
        if (psAlloc != nullptr) EXPECT_EQ(0, gralloc_close(psAlloc));
        if (psFb != nullptr) EXPECT_EQ(0, framebuffer_close(psFb));
    }

    VEK_framebuffer_device_public_t *Public() { return reinterpret_cast<VEK_framebuffer_device_public_t *>(psFb); }

    int TakeDisplayBuffer(buffer_handle_t *ph) {
        int iStride = 0;
        return psAlloc->alloc(psAlloc, (int)psFb->width, (int)psFb->height, psFb->format, GRALLOC_USAGE_HW_FB, ph,
                              &iStride);
    }

    /* An event for every waiter: the GPU reports the display buffer done (it had nothing pending). */
    static void SignalTheGlobalEvent(buffer_handle_t h) { zolsim_gpu_complete(MemInfo(h)); }

    unsigned MapperEntries() {
        unsigned n = 0;
        for (VEK_mapper_meminfo_t *ps = Private()->psMapList; ps != nullptr; ps = ps->psNext) n++;
        return n;
    }

    /* Closes for good and checks that nothing of the display is left. */
    void CloseAndExpectNothingLeft() {
        EXPECT_EQ(0, framebuffer_close(psFb));
        psFb = nullptr;
        EXPECT_EQ(nullptr, psHMI->base.psFrameBufferDevice);
        EXPECT_EQ(0u, zolsim_live_flipchains());
        EXPECT_EQ(0u, zolsim_live_allocations());
        EXPECT_EQ(nullptr, Private()->psMapList);
    }

    framebuffer_device_t *psFb = nullptr;
    alloc_device_t *psAlloc = nullptr;
};

TEST_F(DisplayCloseTest, CloseWhilePost2SwapsIsRefusedAndTheSwapFinishesOnTheWholeDevice) {
    buffer_handle_t h = nullptr;
    ASSERT_EQ(0, TakeDisplayBuffer(&h));
    /* The display queue stays full until the test lets it drain: Post2 waits in its swap loop,
       without the module mutex. Its wait lasts until the test's event, however slowly the steps
       below run, so that its tries are not used up meanwhile. */
    zolsim_set_wait_timeout_ms(60000);
    zolsim_set_swap_retries(ZOLSIM_SWAP_RETRY_ALWAYS);
    Public()->bBypassPost = 1;
    ASSERT_EQ(0, psFb->post(psFb, h));
    Public()->bBypassPost = 0;

    std::atomic<int> iPost2{1};
    std::thread sSwapper([&] {
        buffer_handle_t ah[1] = {nullptr};
        iPost2 = Public()->Post2(psFb, ah, 1, nullptr, 0);
    });
    for (int i = 0; i < 5000 && zolsim_event_waiters() == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_NE(0u, zolsim_event_waiters()) << "Post2 must be waiting for the display";

    EXPECT_EQ(-EFAULT, framebuffer_close(psFb)) << "the swap still uses the chain and comes back to the device";
    EXPECT_EQ(1u, zolsim_live_flipchains());
    EXPECT_EQ(reinterpret_cast<VEK_framebuffer_device_public_t *>(psFb), psHMI->base.psFrameBufferDevice);
    EXPECT_EQ(3u, MapperEntries());

    zolsim_set_swap_retries(0);
    zolsim_set_wait_timeout_ms(2);
    SignalTheGlobalEvent(h);
    sSwapper.join();
    EXPECT_EQ(0, iPost2.load()) << "the swap ends on the device it began on";
    EXPECT_EQ(0u, zolsim_stall_reports());

    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    CloseAndExpectNothingLeft();
}

TEST_F(DisplayCloseTest, ClosesTriedThroughoutAStalledSwapAreRefusedAndOneAfterItFinishes) {
    buffer_handle_t h = nullptr;
    ASSERT_EQ(0, TakeDisplayBuffer(&h));
    zolsim_set_swap_retries(ZOLSIM_SWAP_RETRY_ALWAYS);
    /* The first wait lasts until the test's event: one close surely comes while the swap loop
       runs, however late this thread is scheduled. */
    zolsim_set_wait_timeout_ms(60000);
    std::atomic<int> iPost2{1};
    std::thread sSwapper([&] {
        buffer_handle_t ah[1] = {h};
        iPost2 = Public()->Post2(psFb, ah, 1, nullptr, 0);
    });
    for (int i = 0; i < 10000 && zolsim_event_waiters() == 0 && iPost2.load() == 1; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_NE(0u, zolsim_event_waiters()) << "Post2 must be waiting for the display";
    ASSERT_EQ(-EFAULT, framebuffer_close(psFb)) << "the swap loop still uses the device";
    /* Then closes race the swap loop's other 49 tries and its stall report: each is refused until
       the loop is out, and the one that then succeeds leaves the Post2 nothing of the device to
       touch (the sanitizers watch for that). */
    zolsim_set_wait_timeout_ms(2);
    SignalTheGlobalEvent(h);
    bool bClosed = false;
    while (!bClosed && iPost2.load() == 1) {
        int iClose = framebuffer_close(psFb);
        bClosed = iClose == 0;
        if (!bClosed) ASSERT_EQ(-EFAULT, iClose);
    }
    sSwapper.join();
    EXPECT_EQ(-EFAULT, iPost2.load()) << "50 full queues are a stalled display";
    EXPECT_EQ(1u, zolsim_stall_reports());
    zolsim_set_swap_retries(0);
    if (bClosed) {
        /* The display buffer went with the device; the allocator's handle of it is gone. */
        psFb = nullptr;
        EXPECT_EQ(nullptr, psHMI->base.psFrameBufferDevice);
        EXPECT_EQ(0u, zolsim_live_flipchains());
        EXPECT_EQ(0u, zolsim_live_allocations());
        return;
    }
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    CloseAndExpectNothingLeft();
}

class BlitModeClose : public DisplayCloseTest {
protected:
    int PresentMode() override { return 1; }
};

TEST_F(BlitModeClose, AFirstBufferThe2DLibraryWillNotFreeKeepsTheDeviceWhole) {
    zolsim_fail("ZOL2DMemFree", 1, ZOL2DERROR_GENERIC_ERROR);
    EXPECT_EQ(-EFAULT, framebuffer_close(psFb));
    EXPECT_EQ(3u, zolsim_live_allocations());
    EXPECT_EQ(3u, MapperEntries());
    EXPECT_EQ(reinterpret_cast<VEK_framebuffer_device_public_t *>(psFb), psHMI->base.psFrameBufferDevice);

    /* Every display buffer can still be taken and shown. */
    buffer_handle_t ah[3] = {};
    for (buffer_handle_t &h : ah) {
        ASSERT_EQ(0, TakeDisplayBuffer(&h));
        EXPECT_EQ(0, psFb->post(psFb, h));
    }
    for (buffer_handle_t h : ah) EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    CloseAndExpectNothingLeft();
    EXPECT_EQ(4u, zolsim_calls("ZOL2DMemFree")) << "the failed free is tried again, the others once";
}

TEST_F(BlitModeClose, ALaterBufferThe2DLibraryWillNotFreeStaysForTheNextClose) {
    buffer_handle_t hTaken = nullptr;
    ASSERT_EQ(0, TakeDisplayBuffer(&hTaken));
    ASSERT_EQ(0, psAlloc->free(psAlloc, hTaken));

    /* The close frees the last buffer first: the second free is the middle buffer's. */
    zolsim_fail("ZOL2DMemFree", 2, ZOL2DERROR_GENERIC_ERROR);
    EXPECT_EQ(-EFAULT, framebuffer_close(psFb));
    EXPECT_EQ(2u, zolsim_live_allocations()) << "the last buffer went; the one that failed and the first stay";
    EXPECT_EQ(2u, MapperEntries());
    EXPECT_EQ(reinterpret_cast<VEK_framebuffer_device_public_t *>(psFb), psHMI->base.psFrameBufferDevice);

    /* The slots left are handed out, from the first, and show; the released one never is. */
    buffer_handle_t ah[2] = {};
    for (buffer_handle_t &h : ah) {
        ASSERT_EQ(0, TakeDisplayBuffer(&h));
        EXPECT_EQ(0, psFb->post(psFb, h));
    }
    EXPECT_EQ(hTaken, ah[0]);
    buffer_handle_t hNone = nullptr;
    EXPECT_EQ(-ENOMEM, TakeDisplayBuffer(&hNone));
    EXPECT_EQ(-EINVAL, psFb->post(psFb, nullptr));
    for (buffer_handle_t h : ah) EXPECT_EQ(0, psAlloc->free(psAlloc, h));

    CloseAndExpectNothingLeft();
    EXPECT_EQ(4u, zolsim_calls("ZOL2DMemFree"));
    EXPECT_EQ(0u, zolsim_calls("ZOL2DDestroyFlipChain"));
}

/* Both display buffers taken, as Android's framebuffer window takes them, and the second free of
   the close fails: the buffer the close had not reached yet stays whole (it posts, locks and goes
   back), the one whose memory went answers -EINVAL without its handle going from under the
   caller, and the next close frees only what is left. */
class TwoBufferBlitModeClose : public BlitModeClose {
protected:
    int NumBuffers() override { return 2; }
};

TEST_F(TwoBufferBlitModeClose, AFailedFreeLeavesEveryTakenHandleUsableOrRefused) {
    const gralloc_module_t *psGralloc = &psHMI->base.base;
    buffer_handle_t h0 = nullptr, h1 = nullptr;
    ASSERT_EQ(0, TakeDisplayBuffer(&h0));
    ASSERT_EQ(0, TakeDisplayBuffer(&h1));

    zolsim_fail("ZOL2DMemFree", 2, ZOL2DERROR_GENERIC_ERROR);
    EXPECT_EQ(-EFAULT, framebuffer_close(psFb));
    EXPECT_EQ(reinterpret_cast<VEK_framebuffer_device_public_t *>(psFb), psHMI->base.psFrameBufferDevice);
    EXPECT_EQ(1u, zolsim_live_allocations());
    EXPECT_EQ(1u, MapperEntries());

    EXPECT_EQ(0, psFb->post(psFb, h0));
    void *apv[3] = {};
    ASSERT_EQ(0, psGralloc->lock(psGralloc, h0, GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0, (int)psFb->width, (int)psFb->height,
                                 apv));
    memset(apv[0], 0x3c, (size_t)psFb->stride * (psFb->format == HAL_PIXEL_FORMAT_BGRA_8888 ? 4u : 2u) * psFb->height);
    EXPECT_EQ(0, psGralloc->unlock(psGralloc, h0));

    EXPECT_EQ(-EINVAL, psFb->post(psFb, h1));
    void *apvGone[3] = {};
    EXPECT_EQ(-EINVAL, psGralloc->lock(psGralloc, h1, GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0, 1, 1, apvGone));
    EXPECT_EQ(nullptr, apvGone[0]);

    EXPECT_EQ(0, psAlloc->free(psAlloc, h0));
    EXPECT_EQ(0, psAlloc->free(psAlloc, h1));
    /* The slot whose memory went is never handed out again. */
    buffer_handle_t hAgain = nullptr;
    ASSERT_EQ(0, TakeDisplayBuffer(&hAgain));
    EXPECT_EQ(h0, hAgain);
    buffer_handle_t hNone = nullptr;
    EXPECT_EQ(-ENOMEM, TakeDisplayBuffer(&hNone));
    EXPECT_EQ(0, psAlloc->free(psAlloc, hAgain));

    CloseAndExpectNothingLeft();
    EXPECT_EQ(3u, zolsim_calls("ZOL2DMemFree")) << "the retried close frees only what is left";
}

}  // namespace
