/* Posting display buffers: post by flip or blit, the swap interval, Post2's multi-buffer swap,
   and display buffers drawn through lock reaching the simulated screen. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foreign_buffer.h"
#include "framebuffer.h"
#include "mapper.h"
#include "module_fixture.h"

namespace {

constexpr int kSwWrite = GRALLOC_USAGE_SW_WRITE_OFTEN;

class PostTest : public ModuleTest {
protected:
    /* Present mode and buffer count as app hints; -1 keeps the default. */
    virtual int PresentMode() { return -1; }
    virtual int NumBuffers() { return -1; }

    void Configure() override {
        if (PresentMode() >= 0) zolsim_set_app_hint("HALPresentMode", (VEK_UINT32)PresentMode());
        if (NumBuffers() >= 0) zolsim_set_app_hint("HALNumFrameBuffers", (VEK_UINT32)NumBuffers());
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
        for (buffer_handle_t h : ahTaken) EXPECT_EQ(0, psAlloc->free(psAlloc, h));
        if (psAlloc != nullptr) EXPECT_EQ(0, gralloc_close(psAlloc));
        if (psFb != nullptr) EXPECT_EQ(0, framebuffer_close(psFb));
        EXPECT_EQ(0u, zolsim_live_flipchains());
        EXPECT_EQ(0u, zolsim_live_allocations()) << "every buffer is released";
    }

    VEK_raw_framebuffer_device_t *Raw() { return reinterpret_cast<VEK_raw_framebuffer_device_t *>(psFb); }
    VEK_framebuffer_device_public_t *Public() { return reinterpret_cast<VEK_framebuffer_device_public_t *>(psFb); }

    buffer_handle_t TakeDisplayBuffer() {
        buffer_handle_t h = nullptr;
        int iStride = 0;
        EXPECT_EQ(0, psAlloc->alloc(psAlloc, (int)psFb->width, (int)psFb->height, psFb->format, GRALLOC_USAGE_HW_FB, &h,
                                    &iStride));
        if (h != nullptr) ahTaken.push_back(h);
        return h;
    }

    void GiveBack(buffer_handle_t h) {
        for (size_t i = 0; i < ahTaken.size(); i++)
            if (ahTaken[i] == h) ahTaken.erase(ahTaken.begin() + (long)i);
        EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    }

    VEK_mapper_meminfo_t *Entry(buffer_handle_t h) { return MapperPeekForTest(AsVek(h)->ui64Stamp); }

    VEK_mapper_meminfo_t *MapperPeekForTest(VEK_UINT64 ui64Stamp) {
        for (VEK_mapper_meminfo_t *ps = Private()->psMapList; ps != nullptr; ps = ps->psNext)
            if (ps->ui64Stamp == ui64Stamp) return ps;
        return nullptr;
    }

    int Post2(buffer_handle_t *ah, int n, void *pvData = nullptr, int iLen = 0) {
        return Public()->Post2(psFb, ah, n, pvData, iLen);
    }

    std::vector<ZOLSIM_PRESENT_RECORD> Presents() {
        std::vector<ZOLSIM_PRESENT_RECORD> v(zolsim_present_records(nullptr, 0));
        zolsim_present_records(v.data(), (unsigned)v.size());
        return v;
    }

    std::vector<ZOLSIM_SWAP_RECORD> Swaps() {
        std::vector<ZOLSIM_SWAP_RECORD> v(zolsim_swap_records(nullptr, 0));
        zolsim_swap_records(v.data(), (unsigned)v.size());
        return v;
    }

    unsigned TwoDPresentCalls() {
        return zolsim_calls("ZOL2DPresentFlip") + zolsim_calls("ZOL2DPresentBlt") +
               zolsim_calls("ZOL2DSetPresentFlipProperties");
    }

    VEK_UINT64 ScreenStamp() {
        ZOLSIM_SCREEN_INFO s;
        EXPECT_TRUE(zolsim_screen_info(0, &s));
        return s.ui64Stamp;
    }

    framebuffer_device_t *psFb = nullptr;
    alloc_device_t *psAlloc = nullptr;
    std::vector<buffer_handle_t> ahTaken;
};

/* ---- post ---- */

class FlipPost : public PostTest {};

TEST_F(FlipPost, FlipsToTheBuffersTwoDMemInfo) {
    buffer_handle_t h0 = TakeDisplayBuffer(), h1 = TakeDisplayBuffer();
    ASSERT_EQ(0, psFb->post(psFb, h1));
    ASSERT_EQ(0, psFb->post(psFb, h0));
    std::vector<ZOLSIM_PRESENT_RECORD> v = Presents();
    ASSERT_EQ(2u, v.size());
    EXPECT_EQ(ZOLSIM_PRESENT_FLIP, v[0].iKind);
    EXPECT_EQ(Raw()->hFlipChain, v[0].hFlipChain);
    EXPECT_EQ(Entry(h1)->hMemInfo, v[0].psMemInfo) << "the display buffer's own 2D mem-info";
    EXPECT_EQ(0, v[0].lRenderID);
    EXPECT_EQ(Entry(h0)->hMemInfo, v[1].psMemInfo);
    EXPECT_EQ(0u, zolsim_calls("ZOL2DPresentBlt"));
    EXPECT_EQ(AsVek(h0)->ui64Stamp, ScreenStamp());
}

/* A display that takes two flip chains, so that fb0 opens twice. */
class TwoChainFlipPost : public FlipPost {
    void Configure() override {
        FlipPost::Configure();
        ZOL2DDISPLAYINFO sInfo = {2, 3, ZOL2D_PIXEL_FORMAT_RGB565, 800, 480, 1600, 0, 1};
        zolsim_set_display(0, &sInfo, nullptr);
    }
};

/* The hints are read afresh at every open of fb0: a second device opened in blit mode (and closed)
   leaves the first one flipping, and closing it as a flip device. */
TEST_F(TwoChainFlipPost, ADevicePostsInThePresentModeOfItsOwnOpen) {
    buffer_handle_t h = TakeDisplayBuffer();
    zolsim_set_app_hint("HALPresentMode", 1);
    framebuffer_device_t *psBlitter = OpenFb();
    ASSERT_NE(nullptr, psBlitter);
    ASSERT_EQ(0, psFb->post(psFb, h));
    EXPECT_EQ(1u, zolsim_calls("ZOL2DPresentFlip")) << "the first device still flips";
    EXPECT_EQ(0u, zolsim_calls("ZOL2DPresentBlt"));
    buffer_handle_t ah[1] = {h};
    EXPECT_EQ(0, Post2(ah, 1)) << "and swaps";
    EXPECT_EQ(0, framebuffer_close(psBlitter));
    GiveBack(h);
}

TEST_F(FlipPost, RefusesWhatIsNotAHandedOutDisplayBuffer) {
    buffer_handle_t h0 = TakeDisplayBuffer();
    buffer_handle_t h1 = TakeDisplayBuffer();
    GiveBack(h1);
    native_handle_t *psCopy = CopyHandle(h0);
    buffer_handle_t hPlain = nullptr;
    int iStride;
    ASSERT_EQ(0, psAlloc->alloc(psAlloc, 800, 480, HAL_PIXEL_FORMAT_RGB_565, 0, &hPlain, &iStride));

    EXPECT_EQ(-EINVAL, psFb->post(psFb, nullptr));
    EXPECT_EQ(-EINVAL, psFb->post(psFb, psCopy)) << "a copy of a display buffer's handle";
    EXPECT_EQ(-EINVAL, psFb->post(psFb, h1)) << "a display buffer given back";
    EXPECT_EQ(-EINVAL, psFb->post(psFb, hPlain)) << "an ordinary buffer";
    Public()->bBypassPost = 1;
    EXPECT_EQ(-EINVAL, psFb->post(psFb, hPlain)) << "bypassed or not";
    EXPECT_EQ(nullptr, Raw()->psLastPostedFrameBuffer) << "nothing is kept";
    EXPECT_EQ(0u, TwoDPresentCalls());
    EXPECT_EQ(-EINVAL, psFb->post(nullptr, h0)) << "no device";

    native_handle_delete(psCopy);
    EXPECT_EQ(0, psAlloc->free(psAlloc, hPlain));
}

TEST_F(FlipPost, AFailedFlipIsAFault) {
    buffer_handle_t h = TakeDisplayBuffer();
    zolsim_fail("ZOL2DPresentFlip", 1, ZOL2DERROR_GENERIC_ERROR);
    EXPECT_EQ(-EFAULT, psFb->post(psFb, h));
    EXPECT_EQ(0, psFb->post(psFb, h)) << "the next post works";
}

class BlitPost : public PostTest {
    int PresentMode() override { return HAL_PRESENT_MODE_BLIT; }
};

TEST_F(BlitPost, BlitsTheBuffersTwoDMemInfoAndHasNoSwaps) {
    buffer_handle_t h = TakeDisplayBuffer();
    ASSERT_EQ(0, psFb->post(psFb, h));
    std::vector<ZOLSIM_PRESENT_RECORD> v = Presents();
    ASSERT_EQ(1u, v.size());
    EXPECT_EQ(ZOLSIM_PRESENT_BLIT, v[0].iKind);
    EXPECT_EQ(Entry(h)->hMemInfo, v[0].psMemInfo);
    EXPECT_EQ(0, v[0].lRenderID);
    EXPECT_EQ(AsVek(h)->ui64Stamp, ScreenStamp());

    zolsim_fail("ZOL2DPresentBlt", 1, ZOL2DERROR_GENERIC_ERROR);
    EXPECT_EQ(-EFAULT, psFb->post(psFb, h));

    /* Only a flip chain has an interval and takes swaps. */
    EXPECT_EQ(0, psFb->setSwapInterval(psFb, 1));
    EXPECT_EQ(0u, zolsim_calls("ZOL2DSetPresentFlipProperties"));
    buffer_handle_t ah[1] = {h};
    EXPECT_EQ(-EFAULT, Post2(ah, 1));
    EXPECT_EQ(0u, zolsim_calls("ZOLSRVSwapToDCBuffer2"));
}

class FrontPost : public PostTest {
    int PresentMode() override { return HAL_PRESENT_MODE_FRONT; }
};

TEST_F(FrontPost, CallsNothing) {
    buffer_handle_t h = TakeDisplayBuffer();
    EXPECT_EQ(0, psFb->post(psFb, h));
    EXPECT_EQ(0, psFb->setSwapInterval(psFb, 1));
    buffer_handle_t ah[1] = {h};
    EXPECT_EQ(-EFAULT, Post2(ah, 1));
    EXPECT_EQ(0u, TwoDPresentCalls());
    EXPECT_EQ(0u, zolsim_calls("ZOLSRVSwapToDCBuffer2"));
    EXPECT_EQ(-EINVAL, psFb->post(psFb, nullptr)) << "the buffer is still checked";
}

/* ---- setSwapInterval ---- */

TEST_F(FlipPost, SwapIntervalGoesToTheChainUnchanged) {
    EXPECT_EQ(0, psFb->setSwapInterval(psFb, 7)) << "beyond maxSwapInterval, passed on all the same";
    std::vector<ZOLSIM_FLIP_PROPERTIES_RECORD> v(zolsim_flip_properties_records(nullptr, 0));
    zolsim_flip_properties_records(v.data(), (unsigned)v.size());
    ASSERT_EQ(1u, v.size());
    EXPECT_EQ(Raw()->hFlipChain, v[0].hFlipChain);
    EXPECT_EQ(0x10ul, v[0].ulPropertyMask);
    EXPECT_EQ(0, v[0].lDstXPos);
    EXPECT_EQ(0, v[0].lDstYPos);
    EXPECT_EQ(0ul, v[0].ulNumClipRects);
    EXPECT_EQ(nullptr, v[0].psClipRects);
    EXPECT_EQ(7ul, v[0].ulSwapInterval);
    EXPECT_EQ(7u, Raw()->hFlipChain->ui32SwapInterval) << "the chain now swaps every 7th refresh";

    zolsim_fail("ZOL2DSetPresentFlipProperties", 1, ZOL2DERROR_GENERIC_ERROR);
    EXPECT_EQ(-EFAULT, psFb->setSwapInterval(psFb, 0));
    EXPECT_EQ(-EINVAL, psFb->setSwapInterval(nullptr, 1)) << "no device";
}

/* ---- Post2 ---- */

TEST_F(FlipPost, BypassedPostsKeepTheLastBufferForPost2) {
    buffer_handle_t h0 = TakeDisplayBuffer(), h1 = TakeDisplayBuffer();
    Public()->bBypassPost = 1;
    ASSERT_EQ(0, psFb->post(psFb, h0));
    ASSERT_EQ(0, psFb->post(psFb, h1));
    EXPECT_EQ(0u, TwoDPresentCalls()) << "a bypassed post shows nothing";
    EXPECT_EQ(Entry(h1)->apsMemInfo[0], Raw()->psLastPostedFrameBuffer);

    int iData = 42;
    buffer_handle_t ah[1] = {nullptr};
    ASSERT_EQ(0, Post2(ah, 1, &iData, (int)sizeof(iData)));
    std::vector<ZOLSIM_SWAP_RECORD> v = Swaps();
    ASSERT_EQ(1u, v.size());
    EXPECT_EQ(Private()->hContext->hDisplayClassDevice, v[0].hDevice);
    EXPECT_EQ(Raw()->hFlipChain->hDCSwapChain, v[0].hSwapChain);
    EXPECT_EQ(Raw()->hFlipChain->ui32SwapInterval, v[0].ui32SwapInterval);
    ASSERT_EQ(1u, v[0].ui32NumMemInfos);
    EXPECT_EQ(Entry(h1)->apsMemInfo[0], v[0].apsMemInfos[0]) << "the second post's buffer";
    EXPECT_EQ(&iData, v[0].pvPrivData) << "private data passed through";
    EXPECT_EQ(sizeof(iData), v[0].ui32PrivDataLength);
    EXPECT_FALSE(v[0].bCallerHeldAMutex) << "the module mutex is released around the swap";
    EXPECT_EQ(AsVek(h1)->ui64Stamp, ScreenStamp());
    EXPECT_EQ(nullptr, Raw()->psLastPostedFrameBuffer);
}

TEST_F(FlipPost, Post2ListsTheKeptBufferThenEachPlaneInOrder) {
    ForeignAllocator sForeign;
    buffer_handle_t hTwoPlanes = sForeign.Make(GRALLOC_USAGE_HW_TEXTURE, 64, 32, 2);
    ASSERT_EQ(0, psHMI->base.base.registerBuffer(&psHMI->base.base, hTwoPlanes));
    buffer_handle_t h = TakeDisplayBuffer();
    Public()->bBypassPost = 1;
    ASSERT_EQ(0, psFb->post(psFb, h));

    buffer_handle_t ah[3] = {nullptr, hTwoPlanes, nullptr};
    ASSERT_EQ(0, Post2(ah, 3));
    std::vector<ZOLSIM_SWAP_RECORD> v = Swaps();
    ASSERT_EQ(1u, v.size());
    ASSERT_EQ(4u, v[0].ui32NumMemInfos);
    VEK_mapper_meminfo_t *psPlanes = Entry(hTwoPlanes);
    EXPECT_EQ(Entry(h)->apsMemInfo[0], v[0].apsMemInfos[0]);
    EXPECT_EQ(psPlanes->apsMemInfo[0], v[0].apsMemInfos[1]);
    EXPECT_EQ(psPlanes->apsMemInfo[1], v[0].apsMemInfos[2]);
    EXPECT_EQ(Entry(h)->apsMemInfo[0], v[0].apsMemInfos[3]) << "every NULL entry is the kept buffer";
    EXPECT_EQ(AsVek(h)->ui64Stamp, ScreenStamp()) << "the display shows the first of the list";

    EXPECT_EQ(0, psHMI->base.base.unregisterBuffer(&psHMI->base.base, hTwoPlanes));
}

TEST_F(FlipPost, EveryPost2ThatSwapsClearsTheKeptBuffer) {
    buffer_handle_t h0 = TakeDisplayBuffer(), h1 = TakeDisplayBuffer();
    Public()->bBypassPost = 1;
    ASSERT_EQ(0, psFb->post(psFb, h0));
    buffer_handle_t ahNamed[1] = {h1};
    ASSERT_EQ(0, Post2(ahNamed, 1));
    EXPECT_EQ(nullptr, Raw()->psLastPostedFrameBuffer);
    buffer_handle_t ahKept[1] = {nullptr};
    EXPECT_EQ(-EFAULT, Post2(ahKept, 1)) << "no kept buffer any more";

    /* A failed swap clears it too. */
    ASSERT_EQ(0, psFb->post(psFb, h0));
    zolsim_fail("ZOLSRVSwapToDCBuffer2", 1, ZOLSRV_ERROR_GENERIC);
    EXPECT_EQ(-EFAULT, Post2(ahNamed, 1));
    EXPECT_EQ(nullptr, Raw()->psLastPostedFrameBuffer);
    EXPECT_EQ(2u, zolsim_calls("ZOLSRVSwapToDCBuffer2"));
}

TEST_F(FlipPost, Post2RefusesBadListsAndKeepsTheKeptBuffer) {
    buffer_handle_t h = TakeDisplayBuffer();
    Public()->bBypassPost = 1;
    ASSERT_EQ(0, psFb->post(psFb, h));
    ZOLSRV_CLIENT_MEM_INFO *psKept = Raw()->psLastPostedFrameBuffer;
    ASSERT_NE(nullptr, psKept);

    /* A handle with a usage bit outside the accepted ones. */
    native_handle_t *psOdd = CopyHandle(h);
    AsVek(psOdd)->usage |= 0x4;
    /* A well-formed handle of a buffer this process does not know. */
    native_handle_t *psUnknown = CopyHandle(h);
    AsVek(psUnknown)->ui64Stamp ^= 0x5a5a;
    /* Not a buffer handle at all. */
    native_handle_t *psForged = native_handle_create(0, 2);

    EXPECT_EQ(-EINVAL, Post2(nullptr, 1)) << "no list";
    EXPECT_EQ(-EFAULT, Post2(nullptr, 0));
    buffer_handle_t ahOne[1] = {h};
    EXPECT_EQ(-EFAULT, Post2(ahOne, 0));
    EXPECT_EQ(-EFAULT, Post2(ahOne, -1));
    buffer_handle_t ahOdd[2] = {nullptr, psOdd};
    EXPECT_EQ(-EINVAL, Post2(ahOdd, 2));
    buffer_handle_t ahUnknown[2] = {nullptr, psUnknown};
    EXPECT_EQ(-EINVAL, Post2(ahUnknown, 2));
    buffer_handle_t ahForged[1] = {psForged};
    EXPECT_EQ(-EINVAL, Post2(ahForged, 1));
    EXPECT_EQ(-EINVAL, Public()->Post2(nullptr, ahOne, 1, nullptr, 0));
    EXPECT_EQ(0u, zolsim_calls("ZOLSRVSwapToDCBuffer2"));
    EXPECT_EQ(psKept, Raw()->psLastPostedFrameBuffer) << "refused lists keep the kept buffer";

    buffer_handle_t ahKept[1] = {nullptr};
    EXPECT_EQ(0, Post2(ahKept, 1));

    native_handle_delete(psOdd);
    native_handle_delete(psUnknown);
    native_handle_delete(psForged);
}

/* A buffer is shown whole: one whose first plane is not mapped here has it mapped for the swap,
   rather than being left out with only its later planes dropped. */
TEST_F(FlipPost, ABufferWithoutAFirstPlaneIsMappedWholeForTheSwap) {
    ForeignAllocator sForeign;
    buffer_handle_t hTwoPlanes = sForeign.Make(GRALLOC_USAGE_HW_TEXTURE, 64, 32, 2);
    ASSERT_EQ(0, psHMI->base.base.registerBuffer(&psHMI->base.base, hTwoPlanes));
    buffer_handle_t h = TakeDisplayBuffer();
    VEK_mapper_meminfo_t *psPlanes = Entry(hTwoPlanes);
    ZOLSRV_CLIENT_MEM_INFO *psFirst = psPlanes->apsMemInfo[0];
    psPlanes->apsMemInfo[0] = nullptr;

    buffer_handle_t ah[2] = {h, hTwoPlanes};
    EXPECT_EQ(0, Post2(ah, 2));
    std::vector<ZOLSIM_SWAP_RECORD> v = Swaps();
    ASSERT_EQ(1u, v.size());
    ASSERT_EQ(3u, v[0].ui32NumMemInfos) << "the display buffer and both planes";
    EXPECT_EQ(Entry(h)->apsMemInfo[0], v[0].apsMemInfos[0]);
    ASSERT_NE(nullptr, psPlanes->apsMemInfo[0]);
    EXPECT_EQ(psPlanes->apsMemInfo[0], v[0].apsMemInfos[1]);
    EXPECT_EQ(psPlanes->apsMemInfo[1], v[0].apsMemInfos[2]);

    /* The mapping the test took out of the entry is the test's to give back. */
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVUnmapDeviceMemory(&psHMI->sPrivateData.sDevData, psFirst));
    EXPECT_EQ(0, psHMI->base.base.unregisterBuffer(&psHMI->base.base, hTwoPlanes));
}

TEST_F(FlipPost, AFullQueueIsAskedAgainAfterEachWait) {
    buffer_handle_t h = TakeDisplayBuffer();
    zolsim_set_swap_retries(3);
    const unsigned uiWaits = zolsim_calls("ZOLSRVEventObjectWait");
    buffer_handle_t ah[1] = {h};
    EXPECT_EQ(0, Post2(ah, 1));
    EXPECT_EQ(3u, zolsim_calls("ZOLSRVEventObjectWait") - uiWaits);
    std::vector<ZOLSIM_SWAP_RECORD> v = Swaps();
    ASSERT_EQ(4u, v.size());
    for (int i = 0; i < 3; i++) EXPECT_EQ(ZOLSRV_ERROR_RETRY, v[i].eResult) << "swap " << i;
    EXPECT_EQ(ZOLSRV_OK, v[3].eResult);
    for (const ZOLSIM_SWAP_RECORD &r : v) EXPECT_FALSE(r.bCallerHeldAMutex);
    EXPECT_EQ(0u, zolsim_stall_reports());
    EXPECT_EQ(AsVek(h)->ui64Stamp, ScreenStamp());
}

TEST_F(FlipPost, AQueueThatStaysFullIsReportedAsAStallAfterFiftyTries) {
    buffer_handle_t h = TakeDisplayBuffer();
    Public()->bBypassPost = 1;
    ASSERT_EQ(0, psFb->post(psFb, h));
    zolsim_set_swap_retries(ZOLSIM_SWAP_RETRY_ALWAYS);
    const unsigned uiWaits = zolsim_calls("ZOLSRVEventObjectWait");
    buffer_handle_t ah[1] = {nullptr};
    EXPECT_EQ(-EFAULT, Post2(ah, 1));
    EXPECT_EQ(50u, zolsim_calls("ZOLSRVSwapToDCBuffer2"));
    EXPECT_EQ(50u, zolsim_calls("ZOLSRVEventObjectWait") - uiWaits);
    EXPECT_EQ(1u, zolsim_stall_reports());
    EXPECT_EQ(nullptr, Raw()->psLastPostedFrameBuffer);
    ZOLSIM_SCREEN_INFO s;
    ASSERT_TRUE(zolsim_screen_info(0, &s));
    EXPECT_EQ(0u, s.uiFrames) << "nothing was shown";
}

TEST_F(FlipPost, OtherThreadsUseTheModuleWhileASwapWaits) {
    buffer_handle_t h = TakeDisplayBuffer();
    zolsim_set_swap_retries(ZOLSIM_SWAP_RETRY_ALWAYS);
    /* Each of Post2's waits lasts until the test's event, so that its 50 tries do not run out
       while the allocation below runs, however slowly; they end by themselves only after 50 s, as
       when the allocation waits for the loop. */
    zolsim_set_wait_timeout_ms(1000);
    int iResult = 0;
    std::thread t([&] {
        buffer_handle_t ah[1] = {h};
        iResult = Post2(ah, 1);
    });
    /* Once the first swap is under way, the allocator works while Post2 still retries. */
    for (int i = 0; i < 100000 && zolsim_swap_records(nullptr, 0) == 0; i++) usleep(100);
    buffer_handle_t hOther = TakeDisplayBuffer();
    EXPECT_NE(nullptr, hOther);
    const unsigned uiSwapsSeen = zolsim_swap_records(nullptr, 0);
    zolsim_set_swap_retries(0);
    zolsim_set_wait_timeout_ms(2);
    /* The event that ends Post2's wait: the GPU reports the display buffer done. */
    zolsim_gpu_complete(MemInfo(h));
    t.join();
    EXPECT_EQ(0, iResult);
    EXPECT_LT(uiSwapsSeen, 50u) << "the allocation did not wait for the swap loop to end";
}

/* ---- The screen shows what was drawn ---- */

struct DrawMode {
    const char *pszName;
    int iPresentMode;
    int iNumBuffers;
    bool bPost2;
};

class DrawAndPost : public PostTest, public ::testing::WithParamInterface<DrawMode> {
protected:
    int PresentMode() override { return GetParam().iPresentMode; }
    int NumBuffers() override { return GetParam().iNumBuffers; }

    /* A frame whose every pixel depends on the frame number and its place. */
    static uint16_t Pixel(int iFrame, unsigned x, unsigned y) {
        return (uint16_t)((iFrame * 0x2345u) ^ (x * 7u) ^ (y * 0x301u));
    }

    void Draw(buffer_handle_t h, int iFrame) {
        void *pv = nullptr;
        ASSERT_EQ(
            0, psHMI->base.base.lock(&psHMI->base.base, h, kSwWrite, 0, 0, (int)psFb->width, (int)psFb->height, &pv));
        ASSERT_NE(nullptr, pv);
        for (unsigned y = 0; y < psFb->height; y++) {
            uint16_t *pRow = reinterpret_cast<uint16_t *>(static_cast<char *>(pv) + (size_t)y * psFb->stride * 2);
            for (unsigned x = 0; x < psFb->width; x++) pRow[x] = Pixel(iFrame, x, y);
        }
        ASSERT_EQ(0, psHMI->base.base.unlock(&psHMI->base.base, h));
    }

    void ExpectScreenShows(buffer_handle_t h, int iFrame) {
        ZOLSIM_SCREEN_INFO s;
        ASSERT_TRUE(zolsim_screen_info(0, &s));
        EXPECT_EQ(AsVek(h)->ui64Stamp, s.ui64Stamp);
        ASSERT_EQ(psFb->width, s.ulWidth);
        ASSERT_EQ(psFb->height, s.ulHeight);
        std::vector<uint16_t> screen((size_t)s.lStride / 2 * s.ulHeight);
        ASSERT_EQ(screen.size() * 2, zolsim_screen_pixels(0, screen.data(), screen.size() * 2));
        size_t uWrong = 0;
        for (unsigned y = 0; y < s.ulHeight; y++)
            for (unsigned x = 0; x < s.ulWidth; x++)
                uWrong += screen[(size_t)y * (size_t)s.lStride / 2 + x] != Pixel(iFrame, x, y);
        EXPECT_EQ(0u, uWrong) << "pixels of frame " << iFrame << " missing from the screen";
    }
};

TEST_P(DrawAndPost, TheScreenShowsEachFrameInTurn) {
    std::vector<buffer_handle_t> ah;
    for (int i = 0; i < GetParam().iNumBuffers; i++) ah.push_back(TakeDisplayBuffer());
    if (GetParam().bPost2) Public()->bBypassPost = 1;

    for (int iFrame = 0; iFrame < 5; iFrame++) {
        buffer_handle_t h = ah[(size_t)iFrame % ah.size()];
        Draw(h, iFrame);
        ASSERT_EQ(0, psFb->post(psFb, h)) << "frame " << iFrame;
        if (GetParam().bPost2) {
            buffer_handle_t ahKept[1] = {nullptr};
            ASSERT_EQ(0, Post2(ahKept, 1)) << "frame " << iFrame;
        }
        ExpectScreenShows(h, iFrame);
    }
    ZOLSIM_SCREEN_INFO s;
    ASSERT_TRUE(zolsim_screen_info(0, &s));
    EXPECT_EQ(5u, s.uiFrames);
}

INSTANTIATE_TEST_SUITE_P(Modes, DrawAndPost,
                         ::testing::Values(DrawMode{"Flip", HAL_PRESENT_MODE_FLIP, 2, false},
                                           DrawMode{"FlipThree", HAL_PRESENT_MODE_FLIP, 3, false},
                                           DrawMode{"Blit", HAL_PRESENT_MODE_BLIT, 2, false},
                                           DrawMode{"Post2", HAL_PRESENT_MODE_FLIP, 2, true}),
                         [](const ::testing::TestParamInfo<DrawMode> &info) {
                             return std::string(info.param.pszName);
                         });

TEST_F(FlipPost, EveryShownFrameCanBeCapturedAsPng) {
    char szDir[] = "/tmp/zolsim-frames-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(szDir));
    const std::string dir = szDir;
    zolsim_set_screen_capture(szDir);
    buffer_handle_t h0 = TakeDisplayBuffer(), h1 = TakeDisplayBuffer();
    ASSERT_EQ(0, psFb->post(psFb, h0));
    ASSERT_EQ(0, psFb->post(psFb, h1));
    zolsim_set_screen_capture(nullptr);
    ASSERT_EQ(0, psFb->post(psFb, h0));
    ASSERT_EQ(0, zolsim_screen_save_png(0, (dir + "/now.png").c_str()));

    const char *apszFiles[] = {"frame-000.png", "frame-001.png", "now.png"};
    for (const char *pszFile : apszFiles) {
        const std::string path = dir + "/" + pszFile;
        struct stat st;
        ASSERT_EQ(0, stat(path.c_str(), &st)) << path << " should have been written";
        unsigned char sig[8] = {0};
        std::unique_ptr<FILE, int (*)(FILE *)> f(fopen(path.c_str(), "rb"), fclose);
        ASSERT_NE(nullptr, f);
        EXPECT_EQ(8u, fread(sig, 1, 8, f.get()));
        EXPECT_EQ(0, memcmp(sig, "\x89PNG\r\n\x1a\n", 8)) << path;
        EXPECT_LT(st.st_size, 16384) << "a black frame of 1152000 bytes compresses well";
        unlink(path.c_str());
    }
    struct stat st;
    EXPECT_NE(0, stat((dir + "/frame-002.png").c_str(), &st)) << "capture stopped";
    rmdir(szDir);
}

}  // namespace
