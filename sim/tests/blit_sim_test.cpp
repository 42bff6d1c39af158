// The simulated 2D library's blitter and display-class buffers.
#include <gtest/gtest.h>
#include <string.h>

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
        if (hChain != nullptr) {
            EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyFlipChain(hContext, hChain));
        }
        EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyDeviceContext(hContext));
        EXPECT_EQ(0u, zolsim_live_wrapped());
    }

    /* A request from 16 x 16 ARGB 8888 caller memory into the whole destination surface. */
    static ZOL2D_3DBLT_EXT Request(ZOL2DMEMINFO *psDst, ZOL2DMEMINFO *psSrc, ZOL2DFORMAT eDstFormat, long lDstStride) {
        ZOL2D_3DBLT_EXT s;
        memset(&s, 0, sizeof(s));
        s.sDst = ZOL2D_SURFACE{psDst, 0, lDstStride, eDstFormat, 16, 16};
        s.rcDest = ZOL2DRECT{0, 0, 16, 16};
        s.sSrc = ZOL2D_SURFACE{psSrc, 0, 64, ZOL2D_BLT_FORMAT_ARGB8888, 16, 16};
        s.rcSource = ZOL2DRECT{0, 0, 16, 16};
        return s;
    }

    ZOL2DCONTEXTHANDLE hContext = nullptr;
    ZOL2DFLIPCHAINHANDLE hChain = nullptr;

private:
    NoMisuse sNoMisuse_;
};

TEST_F(Blit2DTest, DestinationWriteIsPendingUntilTheBlitsAreQueried) {
    long lStride = 0;
    ASSERT_EQ(ZOL2D_OK,
              ZOL2DCreateFlipChain(hContext, 0, 2, 16, 16, ZOL2D_PIXEL_FORMAT_RGB565, &lStride, nullptr, &hChain));
    ZOL2DMEMINFO *apsBuffers[2];
    unsigned long ulCount = 0;
    ASSERT_EQ(ZOL2D_OK, ZOL2DGetFlipChainBuffers(hContext, hChain, &ulCount, apsBuffers));
    std::vector<unsigned> auiSrc(16 * 16, 0xff00ff00u); /* green */
    ZOL2DMEMINFO *psSrc = nullptr;
    ASSERT_EQ(ZOL2D_OK, ZOL2DMemWrap(hContext, auiSrc.data(), 0, 16 * 16 * 4, nullptr, &psSrc));

    ZOL2D_3DBLT_EXT s = Request(apsBuffers[0], psSrc, ZOL2D_BLT_FORMAT_RGB565, lStride);
    ASSERT_EQ(ZOL2D_OK, ZOL2DBlt3DExt(hContext, &s));
    const ZOLSRV_CLIENT_MEM_INFO *psMem = static_cast<ZOLSRV_CLIENT_MEM_INFO *>(apsBuffers[0]->hPrivateData);
    const ZOLSRV_SYNC_DATA *psSync = psMem->psClientSyncInfo->psSyncData;
    EXPECT_EQ(1u, psSync->ui32WriteOpsPending);
    EXPECT_EQ(0u, psSync->ui32WriteOpsComplete);
    EXPECT_EQ(1u, zolsim_blits_pending());
    EXPECT_NE(ZOL2D_OK, ZOL2DQueryBlitsComplete(hContext, apsBuffers[0], 0)) << "not complete without waiting";
    EXPECT_EQ(ZOL2D_OK, ZOL2DQueryBlitsComplete(hContext, apsBuffers[0], ZOL2D_QUERY_WAIT));
    EXPECT_EQ(1u, psSync->ui32WriteOpsComplete);
    EXPECT_EQ(0u, zolsim_blits_pending());
    // Row 1, column 1: the chain's rows are the display's.
    EXPECT_EQ(0x07e0, static_cast<const unsigned short *>(apsBuffers[0]->pBase)[lStride / 2 + 1]) << "green in 565";
    EXPECT_EQ(ZOL2D_OK, ZOL2DMemFree(hContext, psSrc));
}

TEST_F(Blit2DTest, UnknownFormatsAndSurfacesLargerThanTheirMemoryFailTheSubmission) {
    std::vector<unsigned> auiSrc(16 * 16), auiDst(16 * 16, 7u);
    ZOL2DMEMINFO *psSrc = nullptr, *psDst = nullptr;
    ASSERT_EQ(ZOL2D_OK, ZOL2DMemWrap(hContext, auiSrc.data(), 0, 16 * 16 * 4, nullptr, &psSrc));
    ASSERT_EQ(ZOL2D_OK, ZOL2DMemWrap(hContext, auiDst.data(), 0, 16 * 16 * 4, nullptr, &psDst));
    ZOL2D_3DBLT_EXT s = Request(psDst, psSrc, 255, 64);
    EXPECT_EQ(ZOL2DERROR_INVALID_PARAMETER, ZOL2DBlt3DExt(hContext, &s));
    s = Request(psDst, psSrc, ZOL2D_BLT_FORMAT_ARGB8888, 128);
    EXPECT_EQ(ZOL2DERROR_INVALID_PARAMETER, ZOL2DBlt3DExt(hContext, &s)) << "16 rows of 128 bytes do not fit";
    s = Request(psDst, psSrc, ZOL2D_BLT_FORMAT_NV12, 16);
    EXPECT_EQ(ZOL2DERROR_INVALID_PARAMETER, ZOL2DBlt3DExt(hContext, &s)) << "NV12 without its chroma plane";
    for (unsigned v : auiDst) EXPECT_EQ(7u, v);

    /* A destination rectangle past the surface is clipped to it. */
    s = Request(psDst, psSrc, ZOL2D_BLT_FORMAT_ARGB8888, 64);
    s.rcDest = ZOL2DRECT{8, 8, 24, 24};
    EXPECT_EQ(ZOL2D_OK, ZOL2DBlt3DExt(hContext, &s));
    EXPECT_EQ(0u, auiDst[8 * 16 + 8]);
    EXPECT_EQ(7u, auiDst[7 * 16 + 8]);
    EXPECT_EQ(ZOL2D_OK, ZOL2DMemFree(hContext, psDst));
    EXPECT_EQ(0u, zolsim_blits_pending()) << "freeing the destination abandons its blits";
    EXPECT_EQ(ZOL2D_OK, ZOL2DMemFree(hContext, psSrc));
    EXPECT_EQ(ZOL2DERROR_INVALID_PARAMETER, ZOL2DMemFree(hContext, psSrc)) << "freed once";
    EXPECT_EQ(1u, zolsim_misuse_count()) << "a second free is misuse";
    zolsim_clear_misuse();
}

TEST_F(Blit2DTest, DisplayClassBuffersReportTheirPhysicalAddresses) {
    long lStride = 0;
    ASSERT_EQ(ZOL2D_OK,
              ZOL2DCreateFlipChain(hContext, 0, 3, 16, 16, ZOL2D_PIXEL_FORMAT_RGB565, &lStride, nullptr, &hChain));
    ZOL2DMEMINFO *apsBuffers[3];
    unsigned long ulCount = 0;
    ASSERT_EQ(ZOL2D_OK, ZOL2DGetFlipChainBuffers(hContext, hChain, &ulCount, apsBuffers));
    VEK_HANDLE ahBuffer[3];
    VEK_SYS_PHYADDR asPhys[3];
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVGetDCBuffers2(hContext->hDisplayClassDevice, hChain->hDCSwapChain, ahBuffer, asPhys));
    for (int i = 0; i < 3; i++) {
        EXPECT_NE(0u, asPhys[i].uiAddr);
        EXPECT_EQ(zolsim_phys_addr(static_cast<ZOLSRV_CLIENT_MEM_INFO *>(apsBuffers[i]->hPrivateData)),
                  asPhys[i].uiAddr);
    }
    EXPECT_NE(asPhys[0].uiAddr, asPhys[1].uiAddr);
    EXPECT_NE(ZOLSRV_OK, ZOLSRVGetDCBuffers2(nullptr, hChain->hDCSwapChain, ahBuffer, asPhys)) << "another device";
    EXPECT_EQ(1u, zolsim_misuse_count());
    zolsim_clear_misuse();
}

}  // namespace
