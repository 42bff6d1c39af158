// The simulated display: swaps checked against their chain, flips and blits shown on the screen,
// the swap interval and the screen's conversion to RGB.
#include <malloc.h>
#include <string.h>

#include <vector>

#include <gtest/gtest.h>

#include "sim_fixture.h"

namespace {

// A 2D context on display uiDisplay with a flip chain of two buffers of its size.
class DisplayChain {
public:
    explicit DisplayChain(unsigned uiDisplay) {
        EXPECT_EQ(ZOL2D_OK, ZOL2DCreateDeviceContext(100 + uiDisplay, &ctx, 0));
        ZOL2DDISPLAYINFO d;
        EXPECT_EQ(ZOL2D_OK, ZOL2DGetDeviceInfo(ctx, &d));
        long stride = 0;
        EXPECT_EQ(ZOL2D_OK,
                  ZOL2DCreateFlipChain(ctx, 0, 2, d.ulWidth, d.ulHeight, d.eFormat, &stride, nullptr, &chain));
        unsigned long n = 0;
        EXPECT_EQ(ZOL2D_OK, ZOL2DGetFlipChainBuffers(ctx, chain, &n, buffers));
        EXPECT_EQ(2ul, n);
    }
    ~DisplayChain() {
        if (chain != nullptr) ZOL2DDestroyFlipChain(ctx, chain);
        ZOL2DDestroyDeviceContext(ctx);
    }
    DisplayChain(const DisplayChain &) = delete;
    DisplayChain &operator=(const DisplayChain &) = delete;

    ZOLSRV_CLIENT_MEM_INFO *Mem(int i) { return static_cast<ZOLSRV_CLIENT_MEM_INFO *>(buffers[i]->hPrivateData); }
    ZOLSRV_ERROR Swap(ZOLSRV_CLIENT_MEM_INFO **list, VEK_UINT32 n) {
        return ZOLSRVSwapToDCBuffer2(ctx->hDisplayClassDevice, chain->hDCSwapChain, 1, list, n, nullptr, 0);
    }

    ZOL2DCONTEXTHANDLE ctx = nullptr;
    ZOL2DFLIPCHAINHANDLE chain = nullptr;
    ZOL2DMEMINFO *buffers[2] = {nullptr, nullptr};
};

TEST_F(SimTest, SwapChecksItsHandlesAndListAndShowsTheFirstBuffer) {
    DisplayChain other(0);
    DisplayChain dc(1);
    memset(dc.buffers[1]->pBase, 0x11, dc.buffers[1]->ui32MemSize);
    Services s;
    ZOLSRV_CLIENT_MEM_INFO *plain = s.Alloc(4096);
    ZOLSRV_CLIENT_MEM_INFO *list[2] = {dc.Mem(1), plain};

    EXPECT_EQ(ZOLSRV_ERROR_INVALID_PARAMS,
              ZOLSRVSwapToDCBuffer2(other.ctx->hDisplayClassDevice, dc.chain->hDCSwapChain, 1, list, 2, nullptr, 0))
        << "another device's swap chain";
    EXPECT_EQ(ZOLSRV_ERROR_INVALID_PARAMS,
              ZOLSRVSwapToDCBuffer2(dc.ctx->hDisplayClassDevice, &list, 1, list, 2, nullptr, 0))
        << "no swap chain";
    EXPECT_EQ(ZOLSRV_ERROR_INVALID_PARAMS, dc.Swap(nullptr, 1));
    EXPECT_EQ(ZOLSRV_ERROR_INVALID_PARAMS, dc.Swap(list, 0));
    ZOLSRV_CLIENT_MEM_INFO *bogus[1] = {reinterpret_cast<ZOLSRV_CLIENT_MEM_INFO *>(&list)};
    EXPECT_EQ(ZOLSRV_ERROR_INVALID_PARAMS, dc.Swap(bogus, 1)) << "not a live mem-info";
    // The display reads every mem-info of the list: one it does not know is a fault of the caller.
    EXPECT_EQ(5u, zolsim_misuse_count());
    EXPECT_NE(nullptr, strstr(zolsim_misuse_text(), "ZOLSRVSwapToDCBuffer2: mem-info 0 of 1")) << zolsim_misuse_text();
    zolsim_clear_misuse();

    int data = 7;
    ASSERT_EQ(ZOLSRV_OK,
              ZOLSRVSwapToDCBuffer2(dc.ctx->hDisplayClassDevice, dc.chain->hDCSwapChain, 3, list, 2, &data, 4));
    ZOLSIM_SWAP_RECORD rec[8];
    ASSERT_EQ(6u, zolsim_swap_records(rec, 8)) << "every call is recorded";
    EXPECT_EQ(ZOLSRV_OK, rec[5].eResult);
    EXPECT_EQ(3u, rec[5].ui32SwapInterval);
    EXPECT_EQ(2u, rec[5].ui32NumMemInfos);
    EXPECT_EQ(dc.Mem(1), rec[5].apsMemInfos[0]);
    EXPECT_EQ(plain, rec[5].apsMemInfos[1]);
    EXPECT_EQ(&data, rec[5].pvPrivData);
    EXPECT_EQ(4u, rec[5].ui32PrivDataLength);

    ZOLSIM_SCREEN_INFO info;
    ASSERT_TRUE(zolsim_screen_info(1, &info));
    EXPECT_EQ(1u, info.uiFrames) << "the chain's own display";
    EXPECT_EQ(dc.Mem(1)->ui64Stamp, info.ui64Stamp);
    ASSERT_TRUE(zolsim_screen_info(0, &info));
    EXPECT_EQ(0u, info.uiFrames);
    unsigned char px[4] = {0};
    zolsim_screen_pixels(1, px, sizeof(px));
    EXPECT_EQ(0x11, px[3]);

    // The display reads every buffer of the list until its next frame: none of them can go
    // meanwhile.
    const ZOLSRV_SYNC_DATA *psPlain = plain->psClientSyncInfo->psSyncData;
    EXPECT_EQ(1u, psPlain->ui32ReadOpsPending);
    EXPECT_EQ(0u, psPlain->ui32ReadOpsComplete);
    EXPECT_EQ(ZOLSRV_ERROR_INVALID_PARAMS, ZOLSRVFreeDeviceMem(&s.dev, plain));
    EXPECT_EQ(1u, zolsim_misuse_count());
    EXPECT_NE(nullptr, strstr(zolsim_misuse_text(), "still in use by the hardware")) << zolsim_misuse_text();
    zolsim_clear_misuse();
    ZOLSRV_CLIENT_MEM_INFO *next[1] = {dc.Mem(0)};
    ASSERT_EQ(ZOLSRV_OK, dc.Swap(next, 1));
    EXPECT_EQ(1u, psPlain->ui32ReadOpsComplete) << "read no more once the next frame is shown";
    EXPECT_EQ(1u, dc.Mem(1)->psClientSyncInfo->psSyncData->ui32ReadOpsComplete);
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVFreeDeviceMem(&s.dev, plain));
}

// A flip scans its buffer out until the display's next present; a blit leaves a copy on the screen
// and ends the reads; a chain that goes takes its buffers off the screen.
TEST_F(SimTest, TheDisplayReadsWhatItScansOutUntilItsNextPresent) {
    DisplayChain dc(0);
    const ZOLSRV_SYNC_DATA *ps0 = dc.Mem(0)->psClientSyncInfo->psSyncData;
    const ZOLSRV_SYNC_DATA *ps1 = dc.Mem(1)->psClientSyncInfo->psSyncData;
    ASSERT_EQ(ZOL2D_OK, ZOL2DPresentFlip(dc.ctx, dc.chain, dc.buffers[0], 0));
    EXPECT_EQ(1u, ps0->ui32ReadOpsPending - ps0->ui32ReadOpsComplete) << "the front buffer is read";
    // The test's GPU completes its own work, never the display's.
    zolsim_gpu_add_ops(dc.Mem(0), 2, 1, 0);
    zolsim_gpu_complete(dc.Mem(0));
    EXPECT_EQ(1u, ps0->ui32ReadOpsPending - ps0->ui32ReadOpsComplete) << "still read by the display";
    EXPECT_EQ(ps0->ui32WriteOpsPending, ps0->ui32WriteOpsComplete);
    ASSERT_EQ(ZOL2D_OK, ZOL2DPresentFlip(dc.ctx, dc.chain, dc.buffers[1], 0));
    EXPECT_EQ(ps0->ui32ReadOpsPending, ps0->ui32ReadOpsComplete) << "the flip away from it ends the read";
    EXPECT_EQ(1u, ps1->ui32ReadOpsPending - ps1->ui32ReadOpsComplete);
    ASSERT_EQ(ZOL2D_OK, ZOL2DPresentBlt(dc.ctx, dc.buffers[0], 0));
    EXPECT_EQ(ps1->ui32ReadOpsPending, ps1->ui32ReadOpsComplete) << "the screen shows a copy now";
    EXPECT_EQ(ps0->ui32ReadOpsPending, ps0->ui32ReadOpsComplete) << "a blit's copy reads nothing after it";
    ASSERT_EQ(ZOL2D_OK, ZOL2DPresentFlip(dc.ctx, dc.chain, dc.buffers[1], 0));
    EXPECT_EQ(2u, ps1->ui32ReadOpsPending);
    ASSERT_EQ(ZOL2D_OK, ZOL2DDestroyFlipChain(dc.ctx, dc.chain));
    dc.chain = nullptr;
    EXPECT_EQ(0u, zolsim_live_allocations()) << "the chain's buffers go, the one on the screen too";
}

TEST_F(SimTest, SwapAnswersRetryWhileTheQueueIsFull) {
    DisplayChain dc(0);
    ZOLSRV_CLIENT_MEM_INFO *list[1] = {dc.Mem(0)};
    zolsim_set_swap_retries(2);
    EXPECT_EQ(ZOLSRV_ERROR_RETRY, dc.Swap(list, 1));
    EXPECT_EQ(ZOLSRV_ERROR_RETRY, dc.Swap(list, 1));
    EXPECT_EQ(ZOLSRV_OK, dc.Swap(list, 1));
    EXPECT_EQ(ZOLSRV_OK, dc.Swap(list, 1));
    zolsim_set_swap_retries(ZOLSIM_SWAP_RETRY_ALWAYS);
    for (int i = 0; i < 60; i++) ASSERT_EQ(ZOLSRV_ERROR_RETRY, dc.Swap(list, 1)) << "call " << i;
    ZOLSIM_SCREEN_INFO info;
    ASSERT_TRUE(zolsim_screen_info(0, &info));
    EXPECT_EQ(2u, info.uiFrames) << "a refused swap shows nothing";
}

TEST_F(SimTest, FlipShowsOnlyTheChainsOwnBuffersAndBlitCopiesTheLibrarysMemory) {
    zolsim_set_max_flip_chains(0, 2);
    DisplayChain dc(0);
    DisplayChain other(0);
    memset(dc.buffers[0]->pBase, 0x22, dc.buffers[0]->ui32MemSize);
    EXPECT_EQ(ZOL2DERROR_INVALID_PARAMETER, ZOL2DPresentFlip(dc.ctx, dc.chain, other.buffers[0], 0));
    EXPECT_EQ(ZOL2DERROR_INVALID_PARAMETER, ZOL2DPresentFlip(dc.ctx, dc.chain, nullptr, 0));
    EXPECT_EQ(ZOL2DERROR_INVALID_PARAMETER, ZOL2DPresentFlip(dc.ctx, other.chain, dc.buffers[0], 0));
    EXPECT_EQ(3u, zolsim_misuse_count()) << "a flip of what is not the chain's buffer is misuse";
    zolsim_clear_misuse();
    ASSERT_EQ(ZOL2D_OK, ZOL2DPresentFlip(dc.ctx, dc.chain, dc.buffers[0], 0));
    ZOLSIM_SCREEN_INFO info;
    ASSERT_TRUE(zolsim_screen_info(0, &info));
    EXPECT_EQ(1u, info.uiFrames);
    EXPECT_EQ(dc.Mem(0)->ui64Stamp, info.ui64Stamp);
    EXPECT_EQ(800ul, info.ulWidth);
    EXPECT_EQ(1600, info.lStride);

    // A blit of memory that is not a services allocation, wrapped: half a screen of it. A record
    // the library did not make is misuse, whatever its CPU address.
    std::vector<unsigned char> half(1600 * 240, 0x33);
    ZOL2DMEMINFO forged = {};
    forged.pBase = half.data();
    forged.ui32MemSize = (VEK_UINT32)half.size();
    EXPECT_EQ(ZOL2DERROR_INVALID_PARAMETER, ZOL2DPresentBlt(dc.ctx, &forged, 0));
    EXPECT_EQ(1u, zolsim_misuse_count());
    EXPECT_NE(nullptr, strstr(zolsim_misuse_text(), "ZOL2DPresentBlt: mem-info")) << zolsim_misuse_text();
    zolsim_clear_misuse();
    ZOL2DMEMINFO *psWrapped = nullptr;
    ASSERT_EQ(ZOL2D_OK, ZOL2DMemWrap(dc.ctx, half.data(), 0, (unsigned long)half.size(), nullptr, &psWrapped));
    ASSERT_EQ(ZOL2D_OK, ZOL2DPresentBlt(dc.ctx, psWrapped, 0));
    std::vector<unsigned char> screen(1600 * 480);
    ASSERT_EQ(screen.size(), zolsim_screen_pixels(0, screen.data(), screen.size()));
    EXPECT_EQ(0x33, screen[0]);
    EXPECT_EQ(0x33, screen[half.size() - 1]);
    EXPECT_EQ(0, screen[half.size()]) << "the rest of the screen is black";
    ASSERT_TRUE(zolsim_screen_info(0, &info));
    EXPECT_EQ(0u, info.ui64Stamp);
    EXPECT_EQ(ZOL2DERROR_INVALID_PARAMETER, ZOL2DPresentBlt(dc.ctx, nullptr, 0));
    EXPECT_EQ(1u, zolsim_misuse_count());
    zolsim_clear_misuse();
    EXPECT_EQ(ZOL2D_OK, ZOL2DMemFree(dc.ctx, psWrapped));

    ZOLSIM_PRESENT_RECORD rec[8];
    ASSERT_EQ(7u, zolsim_present_records(rec, 8)) << "refused calls are recorded too";
    EXPECT_EQ(ZOLSIM_PRESENT_FLIP, rec[3].iKind);
    EXPECT_EQ(ZOL2D_OK, rec[3].eResult);
    EXPECT_EQ(ZOLSIM_PRESENT_BLIT, rec[4].iKind);
    EXPECT_NE(ZOL2D_OK, rec[4].eResult);
    EXPECT_EQ(ZOLSIM_PRESENT_BLIT, rec[5].iKind);
    EXPECT_EQ(psWrapped, rec[5].psMemInfo);
}

TEST_F(SimTest, SwapIntervalPropertySetsTheChainsInterval) {
    DisplayChain dc(0);
    EXPECT_EQ(1u, dc.chain->ui32SwapInterval);
    ASSERT_EQ(ZOL2D_OK, ZOL2DSetPresentFlipProperties(dc.ctx, dc.chain, 0x1, 0, 0, 0, nullptr, 5));
    EXPECT_EQ(1u, dc.chain->ui32SwapInterval) << "another property leaves the interval";
    ASSERT_EQ(ZOL2D_OK,
              ZOL2DSetPresentFlipProperties(dc.ctx, dc.chain, ZOL2D_PRESENT_PROPERTY_INTERVAL, 0, 0, 0, nullptr, 4));
    EXPECT_EQ(4u, dc.chain->ui32SwapInterval);
    EXPECT_EQ(ZOL2DERROR_INVALID_PARAMETER,
              ZOL2DSetPresentFlipProperties(dc.ctx, nullptr, ZOL2D_PRESENT_PROPERTY_INTERVAL, 0, 0, 0, nullptr, 2));
    EXPECT_EQ(1u, zolsim_misuse_count()) << "a chain the library never made";
    zolsim_clear_misuse();
}

TEST_F(SimTest, ScreenConvertsEachDisplayFormatToRgb) {
    ZOL2DDISPLAYINFO argb = {1, 3, ZOL2D_PIXEL_FORMAT_ARGB8888, 4, 2, 16, 0, 1};
    zolsim_set_display(1, &argb, nullptr);
    ZOL2DDISPLAYINFO rgb565 = {1, 3, ZOL2D_PIXEL_FORMAT_RGB565, 4, 2, 8, 0, 1};
    zolsim_set_display(2, &rgb565, nullptr);
    DisplayChain d8888(1), d565(2);

    const uint32_t px8888[8] = {0xff102030, 0xffffffff, 0, 0xff0000ff, 0xff00ff00, 0xffff0000, 0x80808080, 0xff010203};
    memcpy(d8888.buffers[0]->pBase, px8888, sizeof(px8888));
    const uint16_t px565[8] = {0xf800, 0x07e0, 0x001f, 0xffff, 0, 0x8410, 0x0841, 0x7bef};
    memcpy(d565.buffers[0]->pBase, px565, sizeof(px565));
    ASSERT_EQ(ZOL2D_OK, ZOL2DPresentFlip(d8888.ctx, d8888.chain, d8888.buffers[0], 0));
    ASSERT_EQ(ZOL2D_OK, ZOL2DPresentBlt(d565.ctx, d565.buffers[0], 0));

    unsigned char out[24];
    ASSERT_EQ(24u, zolsim_screen_rgb(1, out, sizeof(out)));
    const unsigned char want8888[24] = {0x10, 0x20, 0x30, 0xff, 0xff, 0xff, 0,    0,    0,    0, 0, 0xff,
                                        0,    0xff, 0,    0xff, 0,    0,    0x80, 0x80, 0x80, 1, 2, 3};
    EXPECT_EQ(0, memcmp(want8888, out, 24)) << "0xAARRGGBB to R, G, B";
    ASSERT_EQ(24u, zolsim_screen_rgb(2, out, sizeof(out)));
    const unsigned char want565[24] = {0xff, 0, 0, 0,    0xff, 0,    0, 0, 0xff, 0xff, 0xff, 0xff,
                                       0,    0, 0, 0x84, 0x82, 0x84, 8, 8, 8,    0x7b, 0x7d, 0x7b};
    EXPECT_EQ(0, memcmp(want565, out, 24)) << "five and six bits widened to eight";
}

// A long-running process keeps the latest calls of a kind, in memory taken once: its leak checks
// see the module's memory, not the device's records growing with every call.
TEST_F(SimTest, CallRecordsKeepTheLatestCallsInMemoryTakenOnce) {
    DisplayChain dc(0);
    ZOLSRV_CLIENT_MEM_INFO *list[1] = {dc.Mem(0)};
    std::vector<ZOLSIM_SWAP_RECORD> rec(2000);
    for (VEK_UINT32 i = 0; i < 1030; i++)
        ASSERT_EQ(ZOLSRV_OK,
                  ZOLSRVSwapToDCBuffer2(dc.ctx->hDisplayClassDevice, dc.chain->hDCSwapChain, i, list, 1, nullptr, 0));
    ASSERT_EQ(1024u, zolsim_swap_records(rec.data(), (unsigned)rec.size())) << "the latest 1024 are kept";
    EXPECT_EQ(6u, rec[0].ui32SwapInterval) << "oldest first";
    EXPECT_EQ(1029u, rec[1023].ui32SwapInterval);
    const size_t uHeap = mallinfo2().uordblks;
    for (VEK_UINT32 i = 0; i < 2048; i++)
        ZOLSRVSwapToDCBuffer2(dc.ctx->hDisplayClassDevice, dc.chain->hDCSwapChain, i, list, 1, nullptr, 0);
    EXPECT_EQ(uHeap, mallinfo2().uordblks) << "no memory is taken for further calls";
    zolsim_reset();
    EXPECT_EQ(0u, zolsim_swap_records(nullptr, 0));
}

}  // namespace
