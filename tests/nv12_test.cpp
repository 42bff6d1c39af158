/* The "C110_NV12" video format: its geometry, the pool of display-owned pairs lent to the
   composer, and the generic two-plane path. */
#include <dlfcn.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "module_fixture.h"

namespace {

constexpr int kNV12 = 0x100;
constexpr int kComposer = GRALLOC_USAGE_HW_COMPOSER;

const VEK_buffer_format_t *Nv12Format(const VEK_gralloc_module_t *psHMI) {
    for (const VEK_buffer_format_public_t *ps = psHMI->GetBufferFormats(); ps != nullptr; ps = ps->psNext)
        if (ps->iHalPixelFormat == kNV12) return reinterpret_cast<const VEK_buffer_format_t *>(ps);
    return nullptr;
}

class Nv12Test : public AllocatorTest {
protected:
    /* The luma pool lives on the third 2D device: a 1280 x 800 display; the chroma pool on the
       second, which holds half as many rows. */
    void Configure() override {
        ZOL2DDISPLAYINFO sInfo = {1, 3, ZOL2D_PIXEL_FORMAT_RGB565, 1280, 800, 2560, 0, 1};
        zolsim_set_display(2, &sInfo, nullptr);
        sInfo.ulHeight = 400;
        zolsim_set_display(1, &sInfo, nullptr);
    }

    int Alloc(int w, int h, int usage, buffer_handle_t *ph, int *piStride = nullptr) {
        int iStride = 0;
        int iErr = psAlloc->alloc(psAlloc, w, h, kNV12, usage, ph, &iStride);
        if (piStride != nullptr) *piStride = iStride;
        return iErr;
    }

    buffer_handle_t Alloc(int w, int h, int usage) {
        buffer_handle_t h0 = nullptr;
        EXPECT_EQ(0, Alloc(w, h, usage, &h0));
        return h0;
    }

    static bool Lent(buffer_handle_t h) { return (AsVek(h)->usage & GRALLOC_USAGE_PRIVATE_1) != 0; }

    int PhyAddrs(buffer_handle_t h, unsigned *pui) { return psHMI->base.GetPhyAddrs(&psHMI->base, h, pui); }
};

TEST_F(Nv12Test, GeometryRoundsToSixteenAndHalvesTheChromaPlane) {
    const VEK_buffer_format_t *psFormat = Nv12Format(psHMI);
    ASSERT_NE(nullptr, psFormat);
    EXPECT_TRUE(psFormat->bSkipMemset);
    EXPECT_EQ(nullptr, psFormat->pfnFlushCache) << "unlock cleans no cache for video buffers";
    EXPECT_EQ(0x80000040u, psFormat->iZOL2DFormat);

    int w = 101, h = 51, s = 0;
    EXPECT_EQ(0, psFormat->pfnComputeParams(0, &w, &h, &s));
    EXPECT_EQ(112, w);
    EXPECT_EQ(64, h);
    EXPECT_EQ(112, s);
    w = 101, h = 51, s = 0;
    EXPECT_EQ(0, psFormat->pfnComputeParams(1, &w, &h, &s));
    EXPECT_EQ(56, w);
    EXPECT_EQ(32, h);
    EXPECT_EQ(112, s) << "the chroma rows are as long as the luma rows";
    w = 101, h = 51, s = 0;
    EXPECT_EQ(-EINVAL, psFormat->pfnComputeParams(2, &w, &h, &s));
    EXPECT_EQ(112, w) << "a bad index still writes the rounded values";
    EXPECT_EQ(64, h);
    EXPECT_EQ(112, s);
}

TEST_F(Nv12Test, GenericPathAllocatesTwoPlanes) {
    buffer_handle_t h = nullptr;
    int iStride = 0;
    ASSERT_EQ(0, Alloc(100, 50, GRALLOC_USAGE_SW_WRITE_OFTEN, &h, &iStride));
    const VEK_native_handle_t *ps = AsVek(h);
    EXPECT_EQ(112, ps->iWidth);
    EXPECT_EQ(64, ps->iHeight);
    EXPECT_EQ(112, iStride);
    EXPECT_EQ(12u, ps->uiBpp);
    EXPECT_EQ(2, ps->base.numFds);
    EXPECT_EQ(8, ps->base.numInts);
    EXPECT_GE(ps->fd[0], 0);
    EXPECT_GE(ps->fd[1], 0);
    EXPECT_EQ(-1, ps->fd[2]);
    EXPECT_FALSE(Lent(h));

    /* The swap-chain set-up ran first, then the two planes: 7,168 and 3,584 bytes in whole pages. */
    ZOLSIM_ALLOC_RECORD as[4];
    ASSERT_EQ(2u, zolsim_alloc_records(as, 4));
    EXPECT_EQ(8192u, as[0].uSize);
    EXPECT_EQ(4096u, as[1].uSize);
    EXPECT_EQ(0x10001003u, as[1].ui32Attribs) << "both planes take the request's flags";

    unsigned auiPhys[3] = {1, 1, 1};
    EXPECT_EQ(-EINVAL, PhyAddrs(h, auiPhys)) << "only lent buffers have physical addresses";
    EXPECT_EQ(1u, auiPhys[0]);

    void *apv[3] = {nullptr, nullptr, nullptr};
    ASSERT_EQ(0, psHMI->base.base.lock(&psHMI->base.base, h, GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0, 112, 64, apv));
    EXPECT_NE(nullptr, apv[0]);
    EXPECT_NE(nullptr, apv[1]) << "a two-plane buffer gives both addresses";
    EXPECT_EQ(0, psHMI->base.base.unlock(&psHMI->base.base, h));
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    EXPECT_EQ(6u, zolsim_live_allocations()) << "only the pool's six chain buffers stay";
}

TEST_F(Nv12Test, FailedChromaPlaneLeavesNothingAllocated) {
    buffer_handle_t hFirst = Alloc(64, 64, 0); /* sets the pool up */
    unsigned uiLive = zolsim_live_allocations(), uiFds = zolsim_live_exported_fds();
    buffer_handle_t h = nullptr;
    zolsim_fail("ZOLSRVAllocDeviceMem2", 2, ZOLSRV_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(-ENOMEM, Alloc(64, 64, 0, &h));
    EXPECT_EQ(nullptr, h);
    EXPECT_EQ(uiLive, zolsim_live_allocations());
    EXPECT_EQ(uiFds, zolsim_live_exported_fds());
    EXPECT_EQ(0, psAlloc->free(psAlloc, hFirst));
}

TEST_F(Nv12Test, ComposerBuffersBorrowThePoolsPairs) {
    std::vector<buffer_handle_t> ah;
    std::set<VEK_UINT64> aStamps;
    for (int i = 0; i < 3; i++) {
        buffer_handle_t h = Alloc(1280, 720, kComposer);
        ASSERT_NE(nullptr, h);
        ASSERT_TRUE(Lent(h)) << "pair " << i;
        EXPECT_EQ(kComposer | GRALLOC_USAGE_PRIVATE_1, AsVek(h)->usage);
        EXPECT_EQ(1280, AsVek(h)->iWidth);
        EXPECT_EQ(720, AsVek(h)->iHeight);
        EXPECT_EQ(2, AsVek(h)->base.numFds);

        /* The stamp is the luma chain buffer's; the physical addresses are the chain buffers'. */
        ZOLSRV_CLIENT_MEM_INFO *psY = MemInfo(h);
        ASSERT_NE(nullptr, psY);
        EXPECT_EQ(1280u * 800 * 2, psY->uAllocSize) << "a buffer of the 1280 x 800 display";
        unsigned auiPhys[3] = {1, 1, 1};
        ASSERT_EQ(0, PhyAddrs(h, auiPhys));
        EXPECT_EQ(zolsim_phys_addr(psY), auiPhys[0]);
        EXPECT_NE(0u, auiPhys[1]);
        EXPECT_NE(auiPhys[0], auiPhys[1]);
        EXPECT_EQ(0u, auiPhys[2]);
        aStamps.insert(AsVek(h)->ui64Stamp);
        ah.push_back(h);
    }
    EXPECT_EQ(3u, aStamps.size());
    EXPECT_EQ(2u, zolsim_calls("ZOL2DCreateFlipChain")) << "the chains are made once";
    EXPECT_EQ(0u, zolsim_calls("ZOLSRVAllocDeviceMem2")) << "no GPU allocation";
    EXPECT_EQ(6u, zolsim_live_exported_fds()) << "one descriptor per chain buffer";
    const VEK_UINT64 ui64Slot0 = AsVek(ah[0])->ui64Stamp;

    buffer_handle_t hFourth = Alloc(1280, 720, kComposer);
    EXPECT_FALSE(Lent(hFourth)) << "a fourth composer buffer takes the generic path";
    buffer_handle_t hLarge = nullptr;
    for (buffer_handle_t h : ah) EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    hLarge = Alloc(1920, 1080, kComposer);
    EXPECT_FALSE(Lent(hLarge)) << "larger than the display";

    /* A freed pair goes back to the pool with its descriptors, and is lent again. */
    EXPECT_EQ(6u + 4u, zolsim_live_exported_fds()) << "the pool's six descriptors stay open beside the generic four";
    buffer_handle_t hAgain = Alloc(640, 480, kComposer);
    ASSERT_TRUE(Lent(hAgain));
    EXPECT_EQ(ui64Slot0, AsVek(hAgain)->ui64Stamp) << "slot 0 again";
    EXPECT_EQ(2u, zolsim_calls("ZOL2DCreateFlipChain"));
    for (buffer_handle_t h : {hFourth, hLarge, hAgain}) EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

TEST_F(Nv12Test, ReferencedPairsAreSkipped) {
    /* Learn the pool's buffers from a first loan, then give it back. */
    buffer_handle_t hProbe = Alloc(320, 240, kComposer);
    ASSERT_TRUE(Lent(hProbe));
    ZOLSRV_CLIENT_MEM_INFO *psY0 = MemInfo(hProbe);
    ASSERT_EQ(0, psAlloc->free(psAlloc, hProbe));

    zolsim_set_ref_count(psY0, 3);
    buffer_handle_t h1 = Alloc(320, 240, kComposer);
    ASSERT_TRUE(Lent(h1));
    EXPECT_NE(psY0->ui64Stamp, AsVek(h1)->ui64Stamp) << "slot 0 is held by the display";

    zolsim_set_ref_count(psY0, 2);
    buffer_handle_t h0 = Alloc(320, 240, kComposer);
    ASSERT_TRUE(Lent(h0));
    EXPECT_EQ(psY0->ui64Stamp, AsVek(h0)->ui64Stamp) << "two references are allowed";

    /* The query of the last free pair's chroma buffer fails: no pair is lent. */
    ZOLSRV_MISC_INFO sLast;
    zolsim_fail("ZOLSRVGetMiscInfo", 2, ZOLSRV_ERROR_GENERIC);
    buffer_handle_t h2 = Alloc(320, 240, kComposer);
    EXPECT_FALSE(Lent(h2)) << "a failing reference-count query gives the generic path";
    ASSERT_TRUE(zolsim_last_misc_info(&sLast));
    EXPECT_EQ(0x80u, sLast.ui32StateRequest);
    for (buffer_handle_t h : {h0, h1, h2}) EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

/* A client sends back a buffer it was lent after the compositor freed it: the compositor registers
   it (the memory is what the handle says), and that pair, in use here under its stamp, is not lent
   again; a composer buffer takes another pair or the generic path, never a refusal. */
TEST_F(Nv12Test, APairSentBackAndRegisteredIsNotLentAgain) {
    const gralloc_module_t *psGralloc = &psHMI->base.base;
    buffer_handle_t ahLent[3] = {};
    for (buffer_handle_t &h : ahLent) {
        h = Alloc(64, 64, kComposer);
        ASSERT_TRUE(Lent(h));
    }
    /* What the client kept: a copy of slot 0's handle with its own descriptors. */
    native_handle_t *psKept = CopyHandle(ahLent[0]);
    for (int i = 0; i < 2; i++) psKept->data[i] = dup(ahLent[0]->data[i]);
    const VEK_UINT64 ui64Pair = AsVek(ahLent[0])->ui64Stamp;
    AsVek(psKept)->usage = kComposer;
    for (buffer_handle_t h : ahLent) EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    ASSERT_EQ(0, psGralloc->registerBuffer(psGralloc, psKept));

    buffer_handle_t ah[3] = {};
    for (buffer_handle_t &h : ah) {
        h = Alloc(64, 64, kComposer);
        ASSERT_NE(nullptr, h) << "a composer buffer is never refused for a pair in use";
        EXPECT_NE(ui64Pair, AsVek(h)->ui64Stamp) << "the pair in use here is not lent";
    }
    EXPECT_TRUE(Lent(ah[0]) && Lent(ah[1])) << "the two other pairs are";
    EXPECT_FALSE(Lent(ah[2])) << "the third takes the generic path";
    for (buffer_handle_t h : ah) EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    EXPECT_EQ(0, psGralloc->unregisterBuffer(psGralloc, psKept));
    native_handle_close(psKept);
    native_handle_delete(psKept);
}

TEST_F(Nv12Test, LentBuffersAreNotZeroFilled) {
    buffer_handle_t h = Alloc(64, 64, kComposer | GRALLOC_USAGE_SW_WRITE_OFTEN);
    ASSERT_TRUE(Lent(h));
    void *apv[3] = {nullptr, nullptr, nullptr};
    ASSERT_EQ(0, psHMI->base.base.lock(&psHMI->base.base, h, GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0, 64, 64, apv));
    memset(apv[0], 0x5a, 64);
    ASSERT_EQ(0, psHMI->base.base.unlock(&psHMI->base.base, h));
    VEK_UINT64 ui64Stamp = AsVek(h)->ui64Stamp;
    ASSERT_EQ(0, psAlloc->free(psAlloc, h));

    h = Alloc(64, 64, kComposer);
    ASSERT_EQ(ui64Stamp, AsVek(h)->ui64Stamp);
    const unsigned char *pc = static_cast<const unsigned char *>(zolsim_meminfo_by_stamp(ui64Stamp)->pvLinAddr);
    EXPECT_EQ(0x5a, pc[0]) << "the new loan keeps the old contents";
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

TEST_F(Nv12Test, Blit2IntoALentPairWritesBothPlanes) {
    buffer_handle_t hDest = Alloc(64, 32, kComposer);
    ASSERT_TRUE(Lent(hDest));
    buffer_handle_t hSrc = nullptr;
    int iStride = 0;
    ASSERT_EQ(
        0, psAlloc->alloc(psAlloc, 64, 32, HAL_PIXEL_FORMAT_BGRA_8888, GRALLOC_USAGE_SW_WRITE_OFTEN, &hSrc, &iStride));
    unsigned *pui = static_cast<unsigned *>(MemInfo(hSrc)->pvLinAddr);
    for (int i = 0; i < 64 * 32; i++) pui[i] = 0xff0000ffu; /* blue */
    ASSERT_EQ(0, psHMI->base.Blit2(&psHMI->base, hSrc, hDest, 64, 32, 0, 0));

    ZOLSIM_BLIT_RECORD s;
    ASSERT_TRUE(zolsim_last_blit(&s));
    EXPECT_EQ(1, s.bDisableDestInput);
    EXPECT_EQ(64, s.lDstStride);
    /* Blue: luma 41, chroma (240, 110). */
    VEK_mapper_meminfo_t *psEntry = Private()->psMapList;
    while (psEntry != nullptr && psEntry->ui64Stamp != AsVek(hDest)->ui64Stamp) psEntry = psEntry->psNext;
    ASSERT_NE(nullptr, psEntry);
    const unsigned char *pcY = static_cast<const unsigned char *>(psEntry->apsMemInfo[0]->pvLinAddr);
    const unsigned char *pcUV = static_cast<const unsigned char *>(psEntry->apsMemInfo[1]->pvLinAddr);
    EXPECT_EQ(41, pcY[0]);
    EXPECT_EQ(41, pcY[64 * 32 - 1]);
    EXPECT_EQ(240, pcUV[0]);
    EXPECT_EQ(110, pcUV[1]);
    EXPECT_EQ(110, pcUV[64 * 16 - 1]);
    EXPECT_EQ(0, psAlloc->free(psAlloc, hSrc));
    EXPECT_EQ(0, psAlloc->free(psAlloc, hDest));
}

TEST_F(Nv12Test, UnloadingTheModuleGivesThePoolBack) {
    buffer_handle_t h = Alloc(64, 64, kComposer);
    ASSERT_TRUE(Lent(h));
    ASSERT_EQ(0, psAlloc->free(psAlloc, h));
    EXPECT_EQ(2u, zolsim_live_flipchains());
    EXPECT_EQ(3u, zolsim_live_contexts()) << "the module's own and the two pool contexts";
    gralloc_close(psAlloc);
    psAlloc = nullptr;
    Unload();
    EXPECT_EQ(0u, zolsim_live_flipchains());
    EXPECT_EQ(0u, zolsim_live_contexts());
    EXPECT_EQ(0u, zolsim_live_exported_fds());
    EXPECT_EQ(0u, zolsim_live_allocations());
}

TEST_F(Nv12Test, UnloadGivesThePoolBackBeforeTheConnectionCloses) {
    buffer_handle_t h = Alloc(64, 64, kComposer);
    ASSERT_TRUE(Lent(h));
    ASSERT_EQ(0, psAlloc->free(psAlloc, h));
    gralloc_close(psAlloc);
    psAlloc = nullptr;
    zolsim_call_order_start();
    Unload();
    const char *apszCalls[64] = {};
    const unsigned uiCalls = zolsim_call_order(apszCalls, 64);
    ASSERT_LE(uiCalls, 64u);
    std::vector<std::string> asCalls(apszCalls, apszCalls + uiCalls);
    auto Position = [&](const char *pszName, unsigned uiNth) {
        unsigned uiSeen = 0;
        for (size_t i = 0; i < asCalls.size(); i++)
            if (asCalls[i] == pszName && ++uiSeen == uiNth) return (long)i;
        return -1L;
    };
    const long lDisconnect = Position("ZOLSRVDisconnect", 1);
    const long lMemContext = Position("ZOLSRVDestroyDeviceMemContext", 1);
    const long lMutex = Position("ZOLSRVDestroyMutex", 1);
    ASSERT_GE(lDisconnect, 0) << "unloading closes the connection";
    ASSERT_GE(lMemContext, 0);
    ASSERT_GE(lMutex, 0);
    /* The pool's two chains and two contexts, then the module's own context. */
    for (unsigned uiNth = 1; uiNth <= 2; uiNth++) {
        const long lChain = Position("ZOL2DDestroyFlipChain", uiNth);
        ASSERT_GE(lChain, 0) << "pool chain " << uiNth << " is destroyed";
        EXPECT_LT(lChain, lMutex) << "pool chain " << uiNth << " goes while the module mutex still exists";
        EXPECT_LT(lChain, lMemContext) << "pool chain " << uiNth << " goes before the memory context";
    }
    const long lLastContext = Position("ZOL2DDestroyDeviceContext", 3);
    ASSERT_GE(lLastContext, 0) << "both pool contexts and the module's context are destroyed";
    EXPECT_LT(lLastContext, lDisconnect);
    EXPECT_LT(Position("ZOL2DDestroyDeviceContext", 2), lMutex) << "the pool's contexts go before shut-down begins";
    EXPECT_EQ(0u, zolsim_live_flipchains());
    EXPECT_EQ(0u, zolsim_live_contexts());
    EXPECT_EQ(0u, zolsim_live_exported_fds());
}

class TwoDisplayDevices : public Nv12Test {
    void Configure() override { zolsim_set_2d_device_count(2); }
};

TEST_F(TwoDisplayDevices, PoolIsNeverSetUpAndComposerBuffersTakeTheGenericPath) {
    unsigned uiEnumerations = zolsim_calls("ZOL2DEnumerateDevices");
    buffer_handle_t h1 = Alloc(64, 64, kComposer);
    EXPECT_FALSE(Lent(h1));
    EXPECT_EQ(uiEnumerations + 1, zolsim_calls("ZOL2DEnumerateDevices")) << "the devices were counted";
    buffer_handle_t h2 = Alloc(64, 64, kComposer);
    EXPECT_FALSE(Lent(h2));
    EXPECT_EQ(uiEnumerations + 1, zolsim_calls("ZOL2DEnumerateDevices")) << "and never again";
    EXPECT_EQ(0u, zolsim_calls("ZOL2DCreateFlipChain"));
    for (buffer_handle_t h : {h1, h2}) EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

/* Displays that cannot take the pool's chains (three buffers of the luma display's size, the chroma
   chain of half its height): the pool is never set up, and the 2D library is not asked for a chain
   it must refuse. */
struct PoolDisplays {
    const char *pszName;
    ZOL2DDISPLAYINFO sLuma, sChroma;
};

void PrintTo(const PoolDisplays &s, std::ostream *psOut) { *psOut << s.pszName; }

class PoolDisplaysTest : public Nv12Test, public ::testing::WithParamInterface<PoolDisplays> {
    void Configure() override {
        zolsim_set_display(2, &GetParam().sLuma, nullptr);
        zolsim_set_display(1, &GetParam().sChroma, nullptr);
    }
};

TEST_P(PoolDisplaysTest, ThatCannotTakeThePoolLeaveItUnusedWithoutAChainRequest) {
    buffer_handle_t h = Alloc(64, 64, kComposer);
    ASSERT_NE(nullptr, h);
    EXPECT_FALSE(Lent(h));
    EXPECT_EQ(0u, zolsim_calls("ZOL2DCreateFlipChain"));
    EXPECT_EQ(1u, zolsim_live_contexts()) << "only the module's own 2D context";
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

INSTANTIATE_TEST_SUITE_P(Displays, PoolDisplaysTest,
                         ::testing::Values(PoolDisplays{"NarrowChroma",
                                                        {1, 3, ZOL2D_PIXEL_FORMAT_RGB565, 1280, 800, 2560, 0, 1},
                                                        {1, 3, ZOL2D_PIXEL_FORMAT_RGB565, 640, 400, 1280, 0, 1}},
                                           PoolDisplays{"ChromaOfAnotherFormat",
                                                        {1, 3, ZOL2D_PIXEL_FORMAT_RGB565, 1280, 800, 2560, 0, 1},
                                                        {1, 3, ZOL2D_PIXEL_FORMAT_ARGB8888, 1280, 400, 5120, 0, 1}},
                                           PoolDisplays{"LumaOfTwoBuffers",
                                                        {1, 2, ZOL2D_PIXEL_FORMAT_RGB565, 1280, 800, 2560, 0, 1},
                                                        {1, 3, ZOL2D_PIXEL_FORMAT_RGB565, 1280, 400, 2560, 0, 1}},
                                           PoolDisplays{"ChromaOfNoChain",
                                                        {1, 3, ZOL2D_PIXEL_FORMAT_RGB565, 1280, 800, 2560, 0, 1},
                                                        {0, 3, ZOL2D_PIXEL_FORMAT_RGB565, 1280, 400, 2560, 0, 1}}),
                         [](const ::testing::TestParamInfo<PoolDisplays> &info) {
                             return std::string(info.param.pszName);
                         });

/* Each step of the pool's set-up failing in turn: the allocation still succeeds on the generic
   path, what the set-up made is undone, and it is never tried again. */
struct SetUpFault {
    const char *pszName;
    const char *pszFunction;
    unsigned uiNth;
};

/* Names the case in test output. */
void PrintTo(const SetUpFault &s, std::ostream *psOut) { *psOut << s.pszName; }

class SetUpFaultTest : public Nv12Test, public ::testing::WithParamInterface<SetUpFault> {};

TEST_P(SetUpFaultTest, UndoesWhatWasMadeAndIsNotRetried) {
    zolsim_fail(GetParam().pszFunction, GetParam().uiNth, -1);
    buffer_handle_t h = Alloc(64, 64, kComposer);
    ASSERT_NE(nullptr, h);
    EXPECT_FALSE(Lent(h));
    EXPECT_EQ(1u, zolsim_live_contexts()) << "only the module's own 2D context";
    EXPECT_EQ(0u, zolsim_live_flipchains());
    EXPECT_EQ(2u, zolsim_live_exported_fds()) << "only the new buffer's two planes";

    unsigned uiEnumerations = zolsim_calls("ZOL2DEnumerateDevices");
    buffer_handle_t h2 = Alloc(64, 64, kComposer);
    EXPECT_FALSE(Lent(h2));
    EXPECT_EQ(uiEnumerations, zolsim_calls("ZOL2DEnumerateDevices"));
    for (buffer_handle_t hh : {h, h2}) EXPECT_EQ(0, psAlloc->free(psAlloc, hh));
    EXPECT_EQ(0u, zolsim_live_allocations());
    EXPECT_EQ(0u, zolsim_live_exported_fds());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SetUpFaultTest,
    ::testing::Values(
        SetUpFault{"CountDevices", "ZOL2DEnumerateDevices", 1}, SetUpFault{"ListDevices", "ZOL2DEnumerateDevices", 2},
        SetUpFault{"LumaContext", "ZOL2DCreateDeviceContext", 1},
        SetUpFault{"ChromaContext", "ZOL2DCreateDeviceContext", 2}, SetUpFault{"DisplayInfo", "ZOL2DGetDeviceInfo", 1},
        SetUpFault{"ChromaDisplayInfo", "ZOL2DGetDeviceInfo", 2}, SetUpFault{"LumaChain", "ZOL2DCreateFlipChain", 1},
        SetUpFault{"ChromaChain", "ZOL2DCreateFlipChain", 2}, SetUpFault{"LumaPhysical", "ZOLSRVGetDCBuffers2", 1},
        SetUpFault{"ChromaPhysical", "ZOLSRVGetDCBuffers2", 2},
        SetUpFault{"LumaBuffers", "ZOL2DGetFlipChainBuffers", 1},
        SetUpFault{"ChromaBuffers", "ZOL2DGetFlipChainBuffers", 2},
        SetUpFault{"FirstExport", "ZOLSRVExportDeviceMem2", 1}, SetUpFault{"FourthExport", "ZOLSRVExportDeviceMem2", 4},
        SetUpFault{"LastExport", "ZOLSRVExportDeviceMem2", 6}),
    [](const ::testing::TestParamInfo<SetUpFault> &info) { return std::string(info.param.pszName); });

}  // namespace
