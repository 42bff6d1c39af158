/* Closing the display while it is still in use (a Post2 swapping without the module mutex): close
   answers -EFAULT, the device stays usable, and a later close finishes. And a close whose chain or
   display buffer the 2D library will not take back: the close is through, and the worker gives
   back the rest. */
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

/* A display buffer still handed out when fb0 closes: its memory goes with the device, but the
   caller's handle stays readable, refused by every call, until the caller frees it. */
TEST_F(DisplayCloseTest, AHandedOutDisplayHandleOutlivesTheCloseUntilItsFree) {
    buffer_handle_t h = nullptr;
    ASSERT_EQ(0, TakeDisplayBuffer(&h));
    const gralloc_module_t *psGralloc = &psHMI->base.base;
    CloseAndExpectNothingLeft();
    void *apv[3] = {};
    EXPECT_EQ(-EINVAL, psGralloc->lock(psGralloc, h, GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0, 1, 1, apv));
    EXPECT_EQ(nullptr, apv[0]);
    EXPECT_EQ(0, psAlloc->free(psAlloc, h)) << "the free the caller owes deletes the handle";
    psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    buffer_handle_t hAgain = nullptr;
    EXPECT_EQ(0, TakeDisplayBuffer(&hAgain)) << "the new device's first slot";
    EXPECT_EQ(0, psAlloc->free(psAlloc, hAgain));
}

/* A blit into a display buffer that no wait vouched for (the engine held, every wait refused) is
   still queued when blit-mode fb0 closes: the 2D library would not take back a buffer its engine
   writes, so the close leaves it to the worker, which frees it once the engine is done, and never
   asks before. */
class BlitModeClose : public DisplayCloseTest {
protected:
    int PresentMode() override { return 1; }
};

TEST_F(BlitModeClose, ADisplayBufferABlitStillWritesIsFreedOnceTheBlitIsDone) {
    buffer_handle_t hDisplay = nullptr, hSource = nullptr;
    ASSERT_EQ(0, TakeDisplayBuffer(&hDisplay));
    int iStride = 0;
    ASSERT_EQ(0, psAlloc->alloc(psAlloc, 64, 64, psFb->format, GRALLOC_USAGE_HW_TEXTURE, &hSource, &iStride));
    zolsim_hold_2d_engine(1);
    for (unsigned i = 1; i <= 50; i++) zolsim_fail("ZOL2DQueryBlitsComplete", i, ZOL2DERROR_GENERIC_ERROR);
    EXPECT_EQ(-EFAULT, psHMI->base.Blit2(&psHMI->base, hSource, hDisplay, 64, 64, 0, 0));
    zolsim_clear_faults();
    EXPECT_EQ(0, psAlloc->free(psAlloc, hDisplay));
    EXPECT_EQ(0, psAlloc->free(psAlloc, hSource));
    EXPECT_EQ(0, framebuffer_close(psFb));
    psFb = nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(0u, zolsim_misuse_count()) << zolsim_misuse_text();
    EXPECT_EQ(1u, zolsim_live_flipchains()) << "the buffer the engine writes stays";
    zolsim_hold_2d_engine(0);
    EXPECT_TRUE(Eventually([] { return zolsim_live_flipchains() == 0 && zolsim_live_allocations() == 0; }));
}

/* Android closes fb0 once: a chain (flip and front mode) or a display buffer (blit mode, freed
   the last first) that the 2D library refuses once is the worker's to give back, and the close is
   through at once. */
struct RefusedRelease {
    const char *pszName;
    int iPresentMode;
    const char *pszFunction;
    unsigned uiNth;
    unsigned uiCallsAtClose; /* calls of the function a close makes */
};

void PrintTo(const RefusedRelease &s, std::ostream *psOut) { *psOut << s.pszName; }

class RefusedReleaseClose : public DisplayCloseTest, public ::testing::WithParamInterface<RefusedRelease> {
protected:
    int PresentMode() override { return GetParam().iPresentMode; }
};

TEST_P(RefusedReleaseClose, IsThroughAndTheWorkerGivesTheRestBack) {
    buffer_handle_t h = nullptr;
    ASSERT_EQ(0, TakeDisplayBuffer(&h));
    EXPECT_EQ(0, psFb->post(psFb, h));
    const unsigned uiCalls = zolsim_calls(GetParam().pszFunction);
    zolsim_fail(GetParam().pszFunction, GetParam().uiNth, ZOL2DERROR_GENERIC_ERROR);
    EXPECT_EQ(0, framebuffer_close(psFb));
    psFb = nullptr;
    EXPECT_EQ(nullptr, psHMI->base.psFrameBufferDevice);
    EXPECT_EQ(0u, MapperEntries()) << "the handles and entries went with the device";
    EXPECT_TRUE(Eventually([] { return zolsim_live_flipchains() == 0 && zolsim_live_allocations() == 0; }))
        << zolsim_live_flipchains() << " chains, " << zolsim_live_allocations() << " buffers left";
    EXPECT_EQ(uiCalls + GetParam().uiCallsAtClose + 1, zolsim_calls(GetParam().pszFunction))
        << "only the refused release is tried again";
    /* The display takes a chain again. */
    psFb = OpenFb();
    EXPECT_NE(nullptr, psFb);
}

INSTANTIATE_TEST_SUITE_P(Modes, RefusedReleaseClose,
                         ::testing::Values(RefusedRelease{"FlipChain", 0, "ZOL2DDestroyFlipChain", 1, 1},
                                           RefusedRelease{"FrontChain", 2, "ZOL2DDestroyFlipChain", 1, 1},
                                           RefusedRelease{"BlitLastBuffer", 1, "ZOL2DMemFree", 1, 3},
                                           RefusedRelease{"BlitMiddleBuffer", 1, "ZOL2DMemFree", 2, 3},
                                           RefusedRelease{"BlitFirstBuffer", 1, "ZOL2DMemFree", 3, 3}),
                         [](const ::testing::TestParamInfo<RefusedRelease> &info) {
                             return std::string(info.param.pszName);
                         });

}  // namespace
