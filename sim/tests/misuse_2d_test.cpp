// The 2D library called directly with what a real one would refuse or crash on: each is refused and
// recorded as misuse, naming the call and what was wrong.
#include <string.h>
#include <unistd.h>

#include <vector>

#include "services_description.h"
#include "sim_fixture.h"

namespace {

constexpr unsigned long kSide = 64;

// A 64 x 64 ARGB 8888 blit from wrapped caller memory into a services allocation, which the
// library takes; each row of the table below breaks one thing of it.
class BlitRequestTest : public MisuseTest {
protected:
    void SetUp() override {
        MisuseTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(ZOLSRV_OK, ZOLSRVAllocDeviceMem2(&sDev, hHeap, 0, kSide * kSide * 4, 4096, nullptr, 0, &psDst));
        sDst = DescribeServicesMemory(psDst);
        ASSERT_EQ(ZOL2D_OK, ZOL2DMemWrap(h2D, auiSrc.data(), 0, kSide * kSide * 4, nullptr, &psSrc));
        memset(&sBlt, 0, sizeof(sBlt));
        sBlt.sDst = ZOL2D_SURFACE{&sDst, 0, kSide * 4, ZOL2D_BLT_FORMAT_ARGB8888, kSide, kSide};
        sBlt.rcDest = ZOL2DRECT{0, 0, kSide, kSide};
        sBlt.sSrc = ZOL2D_SURFACE{psSrc, 0, kSide * 4, ZOL2D_BLT_FORMAT_ARGB8888, kSide, kSide};
        sBlt.rcSource = ZOL2DRECT{0, 0, kSide, kSide};
    }
    void TearDown() override {
        zolsim_hold_2d_engine(0);
        sDst = DescribeServicesMemory(psDst);
        EXPECT_EQ(ZOL2D_OK, ZOL2DQueryBlitsComplete(h2D, &sDst, ZOL2D_QUERY_WAIT));
        EXPECT_EQ(ZOL2D_OK, ZOL2DMemFree(h2D, psSrc));
        EXPECT_EQ(ZOLSRV_OK, ZOLSRVFreeDeviceMem(&sDev, psDst));
        MisuseTest::TearDown();
    }

    std::vector<unsigned> auiSrc = std::vector<unsigned>(kSide * kSide, 0x12345678u);
    ZOLSRV_CLIENT_MEM_INFO *psDst = nullptr;
    ZOL2DMEMINFO sDst = {};
    ZOL2DMEMINFO *psSrc = nullptr;
    ZOL2D_3DBLT_EXT sBlt;
    ZOL2D_SURFACE_EXT sExt = {};
};

TEST_F(BlitRequestTest, TheRequestAsMadeIsTakenAndRun) {
    ASSERT_EQ(ZOL2D_OK, ZOL2DBlt3DExt(h2D, &sBlt));
    ASSERT_EQ(ZOL2D_OK, ZOL2DQueryBlitsComplete(h2D, &sDst, ZOL2D_QUERY_WAIT));
    EXPECT_EQ(0x12345678u, static_cast<const unsigned *>(psDst->pvLinAddr)[kSide * kSide - 1]);
}

struct BadRequest {
    const char *pszName;
    const char *pszWhat;  // what the misuse's message says
    void (*pfnBreak)(BlitRequestTest *psTest, ZOL2D_3DBLT_EXT *psBlt);
};

class BadRequestTest : public BlitRequestTest, public ::testing::WithParamInterface<BadRequest> {
public:
    // For the rows: what the fixture made.
    ZOL2DMEMINFO *Dst() { return &sDst; }
    ZOL2D_SURFACE_EXT *Ext() { return &sExt; }
    ZOLSRV_DEV_DATA *Dev() { return &sDev; }
    VEK_HANDLE Heap() { return hHeap; }
    ZOLSRV_CLIENT_MEM_INFO *psFreed = nullptr;
    ZOL2DMEMINFO sFreedDescription = {};
};

TEST_P(BadRequestTest, IsRefusedAsMisuseAndWritesNothing) {
    const BadRequest &r = GetParam();
    r.pfnBreak(this, &sBlt);
    const std::vector<unsigned char> aucBefore(static_cast<unsigned char *>(psDst->pvLinAddr),
                                               static_cast<unsigned char *>(psDst->pvLinAddr) + kSide * kSide * 4);
    ExpectMisuse("ZOL2DBlt3DExt", r.pszWhat, [&] { return ZOL2DBlt3DExt(h2D, &sBlt) != ZOL2D_OK; });
    EXPECT_EQ(0u, zolsim_blits_pending());
    EXPECT_EQ(0u, psDst->psClientSyncInfo->psSyncData->ui32WriteOpsPending) << "no write was queued";
    EXPECT_EQ(0, memcmp(aucBefore.data(), psDst->pvLinAddr, aucBefore.size()));
}

const BadRequest kBadRequests[] = {
    {"DestinationOutsideItsSurface", "destination rectangle (1000,1000)-(1064,1064) does not lie inside its 64 x 64",
     [](BlitRequestTest *, ZOL2D_3DBLT_EXT *b) {
         b->rcDest = ZOL2DRECT{1000, 1000, 1064, 1064};
     }},
    {"DestinationPartlyOutside", "destination rectangle",
     [](BlitRequestTest *, ZOL2D_3DBLT_EXT *b) {
         b->rcDest = ZOL2DRECT{32, 32, 96, 96};
     }},
    {"DestinationLeftOfItsSurface", "destination rectangle",
     [](BlitRequestTest *, ZOL2D_3DBLT_EXT *b) {
         b->rcDest = ZOL2DRECT{-1, 0, 63, 64};
     }},
    {"EmptyDestination", "destination rectangle",
     [](BlitRequestTest *, ZOL2D_3DBLT_EXT *b) {
         b->rcDest = ZOL2DRECT{10, 10, 10, 20};
     }},
    {"SourceOutsideItsSurface", "source rectangle",
     [](BlitRequestTest *, ZOL2D_3DBLT_EXT *b) {
         b->rcSource = ZOL2DRECT{0, 0, 65, 64};
     }},
    {"SurfaceLargerThanItsMemory", "rows of 512 bytes (64 pixels) do not fit",
     [](BlitRequestTest *, ZOL2D_3DBLT_EXT *b) { b->sDst.Stride = 512; }},
    {"OffsetPastItsMemory", "offset 1048576 lies past its memory",
     [](BlitRequestTest *, ZOL2D_3DBLT_EXT *b) { b->sDst.SurfOffset = 1u << 20; }},
    {"NV12WithoutItsChromaPlane", "without a destination extension",
     [](BlitRequestTest *, ZOL2D_3DBLT_EXT *b) { b->sDst.Format = ZOL2D_BLT_FORMAT_NV12; }},
    {"AnExtensionWithoutNV12", "with a destination extension",
     [](BlitRequestTest *t, ZOL2D_3DBLT_EXT *b) {
         b->pDstExt = static_cast<BadRequestTest *>(t)->Ext();
         b->bDisableDestInput = 1;
     }},
    {"ChromaPlaneInNoMemory", "second plane",
     [](BlitRequestTest *t, ZOL2D_3DBLT_EXT *b) {
         b->sDst.Format = ZOL2D_BLT_FORMAT_NV12;
         b->sDst.Stride = 64;
         b->pDstExt = static_cast<BadRequestTest *>(t)->Ext();
         b->pDstExt->uChromaPlane1 = 0x7fff0000;
         b->bDisableDestInput = 1;
     }},
    {"DestinationInputOfOnePlane", "bDisableDestInput 1",
     [](BlitRequestTest *, ZOL2D_3DBLT_EXT *b) { b->bDisableDestInput = 1; }},
    {"SecondSource", "without use here", [](BlitRequestTest *, ZOL2D_3DBLT_EXT *b) { b->pSrc2 = &b->sSrc; }},
    {"SecondSourceRectangle", "without use here",
     [](BlitRequestTest *, ZOL2D_3DBLT_EXT *b) { b->prcSource2 = &b->rcSource; }},
    {"UseCode", "without use here", [](BlitRequestTest *, ZOL2D_3DBLT_EXT *b) { b->hUseCode = b; }},
    {"UseParameter", "without use here", [](BlitRequestTest *, ZOL2D_3DBLT_EXT *b) { b->UseParams[1] = 1; }},
    {"TemporaryRegisters", "without use here",
     [](BlitRequestTest *, ZOL2D_3DBLT_EXT *b) { b->uiNumTemporaryRegisters = 2; }},
    {"SourceExtension", "without use here",
     [](BlitRequestTest *t, ZOL2D_3DBLT_EXT *b) { b->pSrcExt = static_cast<BadRequestTest *>(t)->Ext(); }},
    {"ReservedWord", "without use here", [](BlitRequestTest *, ZOL2D_3DBLT_EXT *b) { b->Reserved[3] = 1; }},
    {"ThirdPlane", "without use here",
     [](BlitRequestTest *t, ZOL2D_3DBLT_EXT *b) {
         b->pDstExt = static_cast<BadRequestTest *>(t)->Ext();
         b->pDstExt->uChromaPlane2 = 4096;
     }},
    {"ServicesMemoryDescribedOtherwise", "otherwise than the services do",
     [](BlitRequestTest *t, ZOL2D_3DBLT_EXT *) {
         ZOL2DMEMINFO *ps = static_cast<BadRequestTest *>(t)->Dst();
         ps->pBase = static_cast<char *>(ps->pBase) + 4096;
     }},
    {"ServicesMemoryWithFlags", "otherwise than the services do",
     [](BlitRequestTest *t, ZOL2D_3DBLT_EXT *) { static_cast<BadRequestTest *>(t)->Dst()->ulFlags = 1; }},
    {"MemoryAlreadyFreed", "describes live services memory",
     [](BlitRequestTest *t, ZOL2D_3DBLT_EXT *b) {
         BadRequestTest *p = static_cast<BadRequestTest *>(t);
         ASSERT_EQ(ZOLSRV_OK, ZOLSRVAllocDeviceMem2(p->Dev(), p->Heap(), 0, 4096, 4096, nullptr, 0, &p->psFreed));
         p->sFreedDescription = DescribeServicesMemory(p->psFreed);
         ASSERT_EQ(ZOLSRV_OK, ZOLSRVFreeDeviceMem(p->Dev(), p->psFreed));
         b->sSrc.pSurfMemInfo = &p->sFreedDescription;
         b->sSrc.Stride = 64;
         b->sSrc.SurfWidth = b->sSrc.SurfHeight = 16;
         b->rcSource = ZOL2DRECT{0, 0, 16, 16};
     }},
    {"NoSourceMemory", "no memory", [](BlitRequestTest *, ZOL2D_3DBLT_EXT *b) { b->sSrc.pSurfMemInfo = nullptr; }},
};

INSTANTIATE_TEST_SUITE_P(Rows, BadRequestTest, ::testing::ValuesIn(kBadRequests),
                         [](const ::testing::TestParamInfo<BadRequest> &i) { return std::string(i.param.pszName); });

TEST_F(BlitRequestTest, NoRequestAndWrappedMemoryOfAnotherContextAreMisuse) {
    ExpectMisuse("ZOL2DBlt3DExt", "no request", [&] { return ZOL2DBlt3DExt(h2D, nullptr) != ZOL2D_OK; });
    ZOL2DCONTEXTHANDLE hOther = nullptr;
    ASSERT_EQ(ZOL2D_OK, ZOL2DCreateDeviceContext(101, &hOther, 0));
    ExpectMisuse("ZOL2DBlt3DExt", "neither wrapped memory nor a flip-chain buffer of the context",
                 [&] { return ZOL2DBlt3DExt(hOther, &sBlt) != ZOL2D_OK; });
    ExpectMisuse("ZOL2DMemFree", "neither wrapped memory", [&] { return ZOL2DMemFree(hOther, psSrc) != ZOL2D_OK; });
    EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyDeviceContext(hOther));
}

// Memory that a queued blit still reads or writes, or that the display scans out, cannot go: the
// hardware would use it after.
TEST_F(BlitRequestTest, MemoryTheEngineStillUsesCannotGo) {
    zolsim_hold_2d_engine(1);
    ASSERT_EQ(ZOL2D_OK, ZOL2DBlt3DExt(h2D, &sBlt));
    ExpectMisuse("ZOL2DMemFree", "still in use by a blit", [&] { return ZOL2DMemFree(h2D, psSrc) != ZOL2D_OK; });
    ExpectMisuse("ZOLSRVFreeDeviceMem", "still in use by the hardware",
                 [&] { return ZOLSRVFreeDeviceMem(&sDev, psDst) != ZOLSRV_OK; });
    // A mapping blitted from likewise.
    int iFd = -1;
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVExportDeviceMem2(&sDev, psDst, &iFd));
    ZOLSRV_CLIENT_MEM_INFO *psMapping = nullptr;
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVMapDeviceMemory2(&sDev, iFd, hHeap, &psMapping));
    ZOL2DMEMINFO sMapping = DescribeServicesMemory(psMapping);
    ZOL2D_3DBLT_EXT sFromMapping = sBlt;
    sFromMapping.sSrc.pSurfMemInfo = &sMapping;
    sFromMapping.sDst.pSurfMemInfo = psSrc;
    ASSERT_EQ(ZOL2D_OK, ZOL2DBlt3DExt(h2D, &sFromMapping));
    ExpectMisuse("ZOLSRVUnmapDeviceMemory", "still in use by the hardware",
                 [&] { return ZOLSRVUnmapDeviceMemory(&sDev, psMapping) != ZOLSRV_OK; });
    zolsim_hold_2d_engine(0);
    EXPECT_EQ(ZOL2D_OK, ZOL2DQueryBlitsComplete(h2D, psSrc, ZOL2D_QUERY_WAIT));
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVUnmapDeviceMemory(&sDev, psMapping));
    EXPECT_EQ(0, close(iFd));
}

// A flip chain's buffer that a blit still writes is not shown, nor freed; the chain itself waits
// for the engine before it goes.
TEST_F(MisuseTest, AFlipChainBufferBeingBlittedIntoIsNeitherShownNorFreed) {
    long lStride = 0;
    ZOL2DFLIPCHAINHANDLE hChain = nullptr;
    ASSERT_EQ(ZOL2D_OK, ZOL2DCreateFlipChain(h2D, 0, 2, 64, 64, ZOL2D_PIXEL_FORMAT_RGB565, &lStride, nullptr, &hChain));
    ZOL2DMEMINFO *aps[2];
    unsigned long ulCount = 0;
    ASSERT_EQ(ZOL2D_OK, ZOL2DGetFlipChainBuffers(h2D, hChain, &ulCount, aps));
    ZOL2D_3DBLT_EXT s;
    memset(&s, 0, sizeof(s));
    s.sDst = ZOL2D_SURFACE{aps[0], 0, lStride, ZOL2D_BLT_FORMAT_RGB565, 64, 64};
    s.rcDest = ZOL2DRECT{0, 0, 64, 64};
    s.sSrc = ZOL2D_SURFACE{aps[1], 0, lStride, ZOL2D_BLT_FORMAT_RGB565, 64, 64};
    s.rcSource = ZOL2DRECT{0, 0, 64, 64};
    zolsim_hold_2d_engine(1);
    ASSERT_EQ(ZOL2D_OK, ZOL2DBlt3DExt(h2D, &s));
    ExpectMisuse("ZOL2DPresentFlip", "still being blitted into",
                 [&] { return ZOL2DPresentFlip(h2D, hChain, aps[0], 0) != ZOL2D_OK; });
    ExpectMisuse("ZOL2DPresentBlt", "still being blitted into",
                 [&] { return ZOL2DPresentBlt(h2D, aps[0], 0) != ZOL2D_OK; });
    ExpectMisuse("ZOL2DMemFree", "still in use by a blit", [&] { return ZOL2DMemFree(h2D, aps[1]) != ZOL2D_OK; });
    zolsim_hold_2d_engine(0);
    EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyFlipChain(h2D, hChain)) << "waits for the engine";
    EXPECT_EQ(0u, zolsim_blits_pending());
    EXPECT_EQ(0u, zolsim_live_flipchains());
}

// Arguments of no use to this library, which must be 0 or NULL where they are passed.
TEST_F(MisuseTest, ArgumentsOfTheTwoDLibraryThatMustBeZero) {
    unsigned char aucMemory[64];
    ZOL2DMEMINFO *ps = nullptr;
    ExpectMisuse("ZOL2DMemWrap", "flags 0x1, expected 0",
                 [&] { return ZOL2DMemWrap(h2D, aucMemory, 1, sizeof(aucMemory), nullptr, &ps) != ZOL2D_OK; });
    VEK_SYS_PHYADDR asPages[1] = {{0x1000}};
    ExpectMisuse("ZOL2DMemWrap", "page-address list",
                 [&] { return ZOL2DMemWrap(h2D, aucMemory, 0, sizeof(aucMemory), asPages, &ps) != ZOL2D_OK; });
    EXPECT_EQ(0u, zolsim_live_wrapped());

    long lStride = 0;
    ZOL2DFLIPCHAINHANDLE hChain = nullptr;
    ASSERT_EQ(ZOL2D_OK, ZOL2DCreateFlipChain(h2D, 0, 2, 64, 64, ZOL2D_PIXEL_FORMAT_RGB565, &lStride, nullptr, &hChain));
    int iClip = 0;
    struct {
        long lX, lY;
        unsigned long ulClips;
        void *pvClips;
    } asNonZero[] = {{1, 0, 0, nullptr}, {0, 1, 0, nullptr}, {0, 0, 1, nullptr}, {0, 0, 0, &iClip}};
    for (const auto &a : asNonZero)
        ExpectMisuse("ZOL2DSetPresentFlipProperties", "expected 0, 0, 0 and NULL", [&] {
            return ZOL2DSetPresentFlipProperties(h2D, hChain, ZOL2D_PRESENT_PROPERTY_INTERVAL, a.lX, a.lY, a.ulClips,
                                                 a.pvClips, 2) != ZOL2D_OK;
        });
    EXPECT_EQ(1u, hChain->ui32SwapInterval) << "a refused call sets nothing";
    EXPECT_EQ(ZOL2D_OK,
              ZOL2DSetPresentFlipProperties(h2D, hChain, ZOL2D_PRESENT_PROPERTY_INTERVAL, 0, 0, 0, nullptr, 2));
    EXPECT_EQ(2u, hChain->ui32SwapInterval);

    ZOL2DMEMINFO *aps[2];
    unsigned long ulCount = 0;
    ASSERT_EQ(ZOL2D_OK, ZOL2DGetFlipChainBuffers(h2D, hChain, &ulCount, aps));
    ExpectMisuse("ZOL2DQueryBlitsComplete", "flags 0x3, expected 0 or 1",
                 [&] { return ZOL2DQueryBlitsComplete(h2D, aps[0], 3) != ZOL2D_OK; });
    EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyFlipChain(h2D, hChain));
}

// A display takes as many flip chains as it reports (ulMaxFlipChains), one by default.
TEST_F(MisuseTest, FlipChainsBeyondWhatTheDisplayTakes) {
    ZOL2DDISPLAYINFO sDisplay;
    ASSERT_EQ(ZOL2D_OK, ZOL2DGetDeviceInfo(h2D, &sDisplay));
    EXPECT_EQ(1ul, sDisplay.ulMaxFlipChains);
    long lStride = 0;
    ZOL2DFLIPCHAINHANDLE hFirst = nullptr, hSecond = nullptr;
    auto Create = [&](ZOL2DCONTEXTHANDLE h, ZOL2DFLIPCHAINHANDLE *ph) {
        return ZOL2DCreateFlipChain(h, 0, 2, 800, 480, ZOL2D_PIXEL_FORMAT_RGB565, &lStride, nullptr, ph);
    };
    ASSERT_EQ(ZOL2D_OK, Create(h2D, &hFirst));
    ExpectMisuse("ZOL2DCreateFlipChain", "a flip chain more than the 1 the display takes",
                 [&] { return Create(h2D, &hSecond) != ZOL2D_OK; });
    // The limit is the display's, whichever context asks.
    ZOL2DCONTEXTHANDLE hOther = nullptr;
    ASSERT_EQ(ZOL2D_OK, ZOL2DCreateDeviceContext(100, &hOther, 0));
    ExpectMisuse("ZOL2DCreateFlipChain", "the 1 the display takes",
                 [&] { return Create(hOther, &hSecond) != ZOL2D_OK; });
    EXPECT_EQ(1u, zolsim_live_flipchains());
    EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyFlipChain(h2D, hFirst));
    ASSERT_EQ(ZOL2D_OK, Create(hOther, &hSecond)) << "the display's one chain is free again";
    EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyFlipChain(hOther, hSecond));
    EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyDeviceContext(hOther));

    zolsim_set_max_flip_chains(0, 2);
    ASSERT_EQ(ZOL2D_OK, Create(h2D, &hFirst));
    ASSERT_EQ(ZOL2D_OK, Create(h2D, &hSecond)) << "a display that takes two";
    EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyFlipChain(h2D, hFirst));
    EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyFlipChain(h2D, hSecond));
}

}  // namespace
