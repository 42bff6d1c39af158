// The simulated 2D library's blitter and engine, and its display-class buffers.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "no_misuse.h"
#include "zolsim/control.h"

namespace {

class Blit2DTest : public ::testing::Test {
protected:
    void SetUp() override {
        zolsim_reset();
        ASSERT_EQ(ZOL2D_OK, ZOL2DCreateDeviceContext(100, &hContext, 0));
    }
    void TearDown() override {
        zolsim_hold_2d_engine(0);
        if (hChain != nullptr) {
            EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyFlipChain(hContext, hChain));
        }
        EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyDeviceContext(hContext));
        EXPECT_EQ(0u, zolsim_live_wrapped());
        EXPECT_EQ(0u, zolsim_blits_pending());
    }

    /* Two 16 x 16 display buffers, in the display's RGB 565. */
    void MakeChain() {
        ASSERT_EQ(ZOL2D_OK,
                  ZOL2DCreateFlipChain(hContext, 0, 2, 16, 16, ZOL2D_PIXEL_FORMAT_RGB565, &lStride, nullptr, &hChain));
        unsigned long ulCount = 0;
        ASSERT_EQ(ZOL2D_OK, ZOL2DGetFlipChainBuffers(hContext, hChain, &ulCount, apsBuffers));
    }
    static const ZOLSRV_SYNC_DATA *Sync(const ZOL2DMEMINFO *ps) {
        return static_cast<const ZOLSRV_CLIENT_MEM_INFO *>(ps->hPrivateData)->psClientSyncInfo->psSyncData;
    }

    /* A request of the whole of a 16 x 16 source into the whole destination surface. */
    static ZOL2D_3DBLT_EXT Request(ZOL2DMEMINFO *psDst, ZOL2DFORMAT eDstFormat, long lDstStride, ZOL2DMEMINFO *psSrc,
                                   ZOL2DFORMAT eSrcFormat, long lSrcStride) {
        ZOL2D_3DBLT_EXT s;
        memset(&s, 0, sizeof(s));
        s.sDst = ZOL2D_SURFACE{psDst, 0, lDstStride, eDstFormat, 16, 16};
        s.rcDest = ZOL2DRECT{0, 0, 16, 16};
        s.sSrc = ZOL2D_SURFACE{psSrc, 0, lSrcStride, eSrcFormat, 16, 16};
        s.rcSource = ZOL2DRECT{0, 0, 16, 16};
        return s;
    }

    ZOL2DCONTEXTHANDLE hContext = nullptr;
    ZOL2DFLIPCHAINHANDLE hChain = nullptr;
    ZOL2DMEMINFO *apsBuffers[2] = {nullptr, nullptr};
    long lStride = 0;

private:
    NoMisuse sNoMisuse_;
};

/* A blit is the engine's work: from its submission the source's read and the destination's write
   are pending, the pixels land when the engine runs it, and both counts complete then. */
TEST_F(Blit2DTest, SourceReadAndDestinationWriteArePendingUntilTheEngineRunsTheBlit) {
    MakeChain();
    const unsigned short usGreen = 0x07e0;
    for (size_t i = 0; i < apsBuffers[1]->ui32MemSize / 2; i++)
        static_cast<unsigned short *>(apsBuffers[1]->pBase)[i] = usGreen;
    memset(apsBuffers[0]->pBase, 0, apsBuffers[0]->ui32MemSize);
    zolsim_hold_2d_engine(1);

    ZOL2D_3DBLT_EXT s =
        Request(apsBuffers[0], ZOL2D_BLT_FORMAT_RGB565, lStride, apsBuffers[1], ZOL2D_BLT_FORMAT_RGB565, lStride);
    ASSERT_EQ(ZOL2D_OK, ZOL2DBlt3DExt(hContext, &s));
    const ZOLSRV_SYNC_DATA *psDst = Sync(apsBuffers[0]), *psSrc = Sync(apsBuffers[1]);
    EXPECT_EQ(1u, psDst->ui32WriteOpsPending);
    EXPECT_EQ(0u, psDst->ui32WriteOpsComplete);
    EXPECT_EQ(1u, psSrc->ui32ReadOpsPending) << "the engine reads the source";
    EXPECT_EQ(0u, psSrc->ui32ReadOpsComplete);
    EXPECT_EQ(1u, zolsim_blits_pending());
    EXPECT_NE(ZOL2D_OK, ZOL2DQueryBlitsComplete(hContext, apsBuffers[0], 0)) << "not complete";
    EXPECT_EQ(0, static_cast<const unsigned short *>(apsBuffers[0]->pBase)[lStride / 2 + 1]) << "nothing written yet";
    zolsim_gpu_complete(static_cast<ZOLSRV_CLIENT_MEM_INFO *>(apsBuffers[0]->hPrivateData));
    EXPECT_EQ(0u, psDst->ui32WriteOpsComplete) << "the test's GPU does not complete the engine's work";

    zolsim_hold_2d_engine(0);
    EXPECT_EQ(ZOL2D_OK, ZOL2DQueryBlitsComplete(hContext, apsBuffers[0], ZOL2D_QUERY_WAIT));
    EXPECT_EQ(0u, zolsim_blits_pending());
    EXPECT_EQ(1u, psDst->ui32WriteOpsComplete);
    EXPECT_EQ(1u, psSrc->ui32ReadOpsComplete);
    // Row 1, column 1: the chain's rows are the display's.
    EXPECT_EQ(usGreen, static_cast<const unsigned short *>(apsBuffers[0]->pBase)[lStride / 2 + 1]);
}

/* The wait of ZOL2DQueryBlitsComplete is real work: it ends only once the engine has run the blit,
   and it converts between the formats. */
TEST_F(Blit2DTest, TheWaitForBlitsEndsOnlyWhenTheEngineHasRunThem) {
    std::vector<unsigned> auiSrc(16 * 16, 0xff00ff00u); /* green, as bytes B, G, R, A */
    std::vector<unsigned short> ausDst(16 * 16, 7);
    ZOL2DMEMINFO *psSrc = nullptr, *psDst = nullptr;
    ASSERT_EQ(ZOL2D_OK, ZOL2DMemWrap(hContext, auiSrc.data(), 0, 16 * 16 * 4, nullptr, &psSrc));
    ASSERT_EQ(ZOL2D_OK, ZOL2DMemWrap(hContext, ausDst.data(), 0, 16 * 16 * 2, nullptr, &psDst));
    zolsim_hold_2d_engine(1);
    ZOL2D_3DBLT_EXT s = Request(psDst, ZOL2D_BLT_FORMAT_RGB565, 32, psSrc, ZOL2D_BLT_FORMAT_ARGB8888, 64);
    ASSERT_EQ(ZOL2D_OK, ZOL2DBlt3DExt(hContext, &s));

    std::atomic<int> iResult{1};
    std::thread sWaiter([&] { iResult = ZOL2DQueryBlitsComplete(hContext, psDst, ZOL2D_QUERY_WAIT); });
    while (zolsim_blit_waiters() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(1, iResult.load()) << "the wait goes on while the engine is held";
    EXPECT_EQ(7u, ausDst[17]);
    zolsim_hold_2d_engine(0);
    sWaiter.join();
    EXPECT_EQ(ZOL2D_OK, iResult.load());
    EXPECT_EQ(0x07e0u, ausDst[17]) << "green in 565";
    EXPECT_EQ(0u, zolsim_blit_waiters());
    EXPECT_EQ(ZOL2D_OK, ZOL2DMemFree(hContext, psDst));
    EXPECT_EQ(ZOL2D_OK, ZOL2DMemFree(hContext, psSrc));
}

/* Unwaited, the engine runs the blit on its own once its delay is over, and signals the event. */
TEST_F(Blit2DTest, TheEngineRunsABlitOnItsOwnAfterItsDelay) {
    MakeChain();
    zolsim_set_2d_engine_delay_ms(30);
    memset(apsBuffers[1]->pBase, 0xff, apsBuffers[1]->ui32MemSize);
    ZOL2D_3DBLT_EXT s =
        Request(apsBuffers[0], ZOL2D_BLT_FORMAT_RGB565, lStride, apsBuffers[1], ZOL2D_BLT_FORMAT_RGB565, lStride);
    const auto sStart = std::chrono::steady_clock::now();
    ASSERT_EQ(ZOL2D_OK, ZOL2DBlt3DExt(hContext, &s));
    const ZOLSRV_SYNC_DATA *psDst = Sync(apsBuffers[0]);
    while (__atomic_load_n(&psDst->ui32WriteOpsComplete, __ATOMIC_SEQ_CST) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(std::chrono::steady_clock::now() - sStart, std::chrono::milliseconds(30)) << "not before its delay";
    EXPECT_EQ(0xffff, static_cast<const unsigned short *>(apsBuffers[0]->pBase)[0]);
    EXPECT_EQ(1u, Sync(apsBuffers[1])->ui32ReadOpsComplete);
}

/* A format the blitter does not know is refused, without a fault: a caller may ask for a copy into
   a format with no 2D code and take the refusal. */
TEST_F(Blit2DTest, AFormatWithoutBlitCodeIsRefusedWithoutAFault) {
    std::vector<unsigned> auiSrc(16 * 16), auiDst(16 * 16, 7u);
    ZOL2DMEMINFO *psSrc = nullptr, *psDst = nullptr;
    ASSERT_EQ(ZOL2D_OK, ZOL2DMemWrap(hContext, auiSrc.data(), 0, 16 * 16 * 4, nullptr, &psSrc));
    ASSERT_EQ(ZOL2D_OK, ZOL2DMemWrap(hContext, auiDst.data(), 0, 16 * 16 * 4, nullptr, &psDst));
    ZOL2D_3DBLT_EXT s = Request(psDst, 255, 64, psSrc, ZOL2D_BLT_FORMAT_ARGB8888, 64);
    EXPECT_EQ(ZOL2DERROR_INVALID_PARAMETER, ZOL2DBlt3DExt(hContext, &s));
    EXPECT_EQ(0u, zolsim_blits_pending());
    for (unsigned v : auiDst) EXPECT_EQ(7u, v);
    EXPECT_EQ(ZOL2D_OK, ZOL2DMemFree(hContext, psDst));
    EXPECT_EQ(ZOL2D_OK, ZOL2DMemFree(hContext, psSrc));
    EXPECT_EQ(ZOL2DERROR_INVALID_PARAMETER, ZOL2DMemFree(hContext, psSrc)) << "freed once";
    EXPECT_EQ(1u, zolsim_misuse_count()) << "a second free is misuse";
    zolsim_clear_misuse();
}

TEST_F(Blit2DTest, DisplayClassBuffersReportTheirPhysicalAddresses) {
    ASSERT_EQ(ZOL2D_OK,
              ZOL2DCreateFlipChain(hContext, 0, 3, 16, 16, ZOL2D_PIXEL_FORMAT_RGB565, &lStride, nullptr, &hChain));
    ZOL2DMEMINFO *apsThree[3];
    unsigned long ulCount = 0;
    ASSERT_EQ(ZOL2D_OK, ZOL2DGetFlipChainBuffers(hContext, hChain, &ulCount, apsThree));
    VEK_HANDLE ahBuffer[3];
    VEK_SYS_PHYADDR asPhys[3];
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVGetDCBuffers2(hContext->hDisplayClassDevice, hChain->hDCSwapChain, ahBuffer, asPhys));
    for (int i = 0; i < 3; i++) {
        EXPECT_NE(0u, asPhys[i].uiAddr);
        EXPECT_EQ(zolsim_phys_addr(static_cast<ZOLSRV_CLIENT_MEM_INFO *>(apsThree[i]->hPrivateData)), asPhys[i].uiAddr);
    }
    EXPECT_NE(asPhys[0].uiAddr, asPhys[1].uiAddr);
    EXPECT_NE(ZOLSRV_OK, ZOLSRVGetDCBuffers2(nullptr, hChain->hDCSwapChain, ahBuffer, asPhys)) << "another device";
    EXPECT_EQ(1u, zolsim_misuse_count());
    zolsim_clear_misuse();
}

}  // namespace
