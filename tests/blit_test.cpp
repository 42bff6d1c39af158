/* The blit extension: Blit into caller memory, Blit2 into another buffer. */
#include <string.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "foreign_buffer.h"
#include "module_fixture.h"
#include "services_description.h"

namespace {

constexpr int kSwUsage = GRALLOC_USAGE_SW_READ_OFTEN | GRALLOC_USAGE_SW_WRITE_OFTEN;
constexpr int kNV12 = 0x100;

/* An RGB 565 value and the 8-bit channels the blitter widens it to. */
unsigned short Rgb565(unsigned r5, unsigned g6, unsigned b5) { return (unsigned short)(r5 << 11 | g6 << 5 | b5); }
unsigned Widen5(unsigned v) { return v << 3 | v >> 2; }
unsigned Widen6(unsigned v) { return v << 2 | v >> 4; }

/* A different colour for every pixel of a small source. */
unsigned short Pattern(int x, int y) { return Rgb565((unsigned)x % 32, (unsigned)(x + y) % 64, (unsigned)y % 32); }

/* The BGRA 8888 word of a 565 pattern pixel, as the blitter converts it. */
unsigned PatternAsBgra(int x, int y) {
    unsigned short v = Pattern(x, y);
    return 0xff000000u | Widen5(v >> 11) << 16 | Widen6((v >> 5) & 0x3f) << 8 | Widen5(v & 0x1f);
}

class BlitTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        psAlloc = OpenAlloc();
        ASSERT_NE(nullptr, psAlloc);
    }
    void TearDown() override {
        for (buffer_handle_t h : ahBuffers) EXPECT_EQ(0, psAlloc->free(psAlloc, h));
        if (psFb != nullptr) framebuffer_close(psFb);
        if (psAlloc != nullptr) gralloc_close(psAlloc);
    }

    /* Freed when the test ends, unless the test frees it itself with Free. */
    buffer_handle_t Alloc(int w, int h, int format, int usage = kSwUsage) {
        buffer_handle_t h0 = nullptr;
        int iStride = 0;
        EXPECT_EQ(0, psAlloc->alloc(psAlloc, w, h, format, usage, &h0, &iStride));
        if (h0 != nullptr) ahBuffers.push_back(h0);
        return h0;
    }

    int Free(buffer_handle_t h) {
        for (size_t i = 0; i < ahBuffers.size(); i++)
            if (ahBuffers[i] == h) ahBuffers.erase(ahBuffers.begin() + (long)i);
        return psAlloc->free(psAlloc, h);
    }

    /* A 565 source filled with the pattern through lock, as a client draws it. */
    buffer_handle_t PatternSource(int w, int h) {
        buffer_handle_t hSrc = Alloc(w, h, HAL_PIXEL_FORMAT_RGB_565);
        void *apv[3] = {nullptr, nullptr, nullptr};
        EXPECT_EQ(0, psHMI->base.base.lock(&psHMI->base.base, hSrc, GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0, w, h, apv));
        unsigned short *pus = static_cast<unsigned short *>(apv[0]);
        const int iStride = (w + 31) & ~31;
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) pus[y * iStride + x] = Pattern(x, y);
        EXPECT_EQ(0, psHMI->base.base.unlock(&psHMI->base.base, hSrc));
        return hSrc;
    }

    int Blit(buffer_handle_t hSrc, void **apvDest, int format) {
        return psHMI->base.Blit(&psHMI->base, hSrc, apvDest, format);
    }
    int Blit2(buffer_handle_t hSrc, buffer_handle_t hDest, int w, int h, int x, int y) {
        return psHMI->base.Blit2(&psHMI->base, hSrc, hDest, w, h, x, y);
    }

    static ZOLSRV_CLIENT_MEM_INFO *Mem(buffer_handle_t h) { return MemInfo(h); }

    static std::vector<unsigned long> Wraps() {
        std::vector<unsigned long> v(zolsim_wrap_records(nullptr, 0));
        zolsim_wrap_records(v.data(), (unsigned)v.size());
        return v;
    }

    /* Every path that took the module mutex gave it back. */
    static void ExpectMutexBalanced() {
        EXPECT_EQ(zolsim_calls("ZOLSRVLockMutex"), zolsim_calls("ZOLSRVUnlockMutex")) << "the mutex is released";
    }

    alloc_device_t *psAlloc = nullptr;
    framebuffer_device_t *psFb = nullptr;
    std::vector<buffer_handle_t> ahBuffers;
};

TEST_F(BlitTest, Rgb565ToBgra8888MemoryHasTheStridesAndConvertedColours) {
    buffer_handle_t hSrc = PatternSource(100, 20);
    std::vector<unsigned> auiDest(128 * 20, 0x12345678u);
    void *apvDest[3] = {auiDest.data(), nullptr, nullptr};
    ASSERT_EQ(0, Blit(hSrc, apvDest, HAL_PIXEL_FORMAT_BGRA_8888));

    ZOLSIM_BLIT_RECORD s;
    ASSERT_TRUE(zolsim_last_blit(&s));
    EXPECT_EQ(ZOL2D_BLT_FORMAT_RGB565, s.eSrcFormat);
    EXPECT_EQ(ZOL2D_BLT_FORMAT_ARGB8888, s.eDstFormat);
    EXPECT_EQ(256, s.lSrcStride) << "2 bytes times 128 pixels";
    EXPECT_EQ(512, s.lDstStride) << "4 bytes times 128 pixels";
    EXPECT_EQ(100u, s.ui32DstWidth);
    EXPECT_EQ(20u, s.ui32DstHeight);
    EXPECT_EQ(0, s.rcDest.left);
    EXPECT_EQ(100, s.rcDest.right);
    EXPECT_EQ(20, s.rcDest.bottom);
    EXPECT_EQ(100, s.rcSource.right);
    EXPECT_EQ(20, s.rcSource.bottom);
    EXPECT_FALSE(s.bDstExt);
    EXPECT_EQ(0, s.bDisableDestInput);
    EXPECT_EQ(std::vector<unsigned long>{512ul * 20}, Wraps()) << "one plane of 512 x 20 bytes";
    EXPECT_EQ(0u, zolsim_live_wrapped());
    EXPECT_EQ(0u, zolsim_blits_pending()) << "the blit is complete when Blit returns";

    int iWrong = 0;
    for (int y = 0; y < 20; y++)
        for (int x = 0; x < 100; x++) iWrong += auiDest[y * 128 + x] != PatternAsBgra(x, y);
    EXPECT_EQ(0, iWrong);
    EXPECT_EQ(0x12345678u, auiDest[100]) << "the stride's padding is not written";
    ExpectMutexBalanced();
}

TEST_F(BlitTest, Nv12DestinationNeedsSixteenAlignedSizesAndGetsBothPlanes) {
    for (auto sSize : {std::make_pair(100, 48), std::make_pair(96, 50)}) {
        buffer_handle_t hOdd = Alloc(sSize.first, sSize.second, HAL_PIXEL_FORMAT_RGB_565);
        std::vector<unsigned char> acY(128 * 64), acUV(128 * 32);
        void *apvDest[3] = {acY.data(), acUV.data(), nullptr};
        EXPECT_EQ(-EINVAL, Blit(hOdd, apvDest, kNV12)) << sSize.first << " x " << sSize.second;
    }
    EXPECT_TRUE(Wraps().empty()) << "refused before anything is wrapped";
    EXPECT_EQ(0u, zolsim_calls("ZOL2DBlt3DExt"));

    /* A pure red source: luma 82, chroma (90, 240) in BT.601 studio range. */
    buffer_handle_t hSrc = Alloc(640, 480, HAL_PIXEL_FORMAT_RGB_565);
    void *apv[3] = {nullptr, nullptr, nullptr};
    ASSERT_EQ(0, psHMI->base.base.lock(&psHMI->base.base, hSrc, GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0, 640, 480, apv));
    for (int i = 0; i < 640 * 480; i++) static_cast<unsigned short *>(apv[0])[i] = Rgb565(31, 0, 0);
    ASSERT_EQ(0, psHMI->base.base.unlock(&psHMI->base.base, hSrc));
    std::vector<unsigned char> acY(640 * 480), acUV(640 * 240);
    void *apvDest[3] = {acY.data(), acUV.data(), nullptr};
    ASSERT_EQ(0, Blit(hSrc, apvDest, kNV12));

    ZOLSIM_BLIT_RECORD s;
    ASSERT_TRUE(zolsim_last_blit(&s));
    EXPECT_EQ(ZOL2D_BLT_FORMAT_NV12, s.eDstFormat);
    EXPECT_EQ(640, s.lDstStride);
    EXPECT_TRUE(s.bDstExt);
    EXPECT_EQ(1, s.bDisableDestInput);
    EXPECT_EQ((std::vector<unsigned long>{307200, 153600}), Wraps());
    EXPECT_EQ(0u, zolsim_live_wrapped());
    /* The blitter finds the chroma plane at uChromaPlane1 past the first plane. */
    EXPECT_EQ(82, acY[0]);
    EXPECT_EQ(82, acY[640 * 480 - 1]);
    EXPECT_EQ(90, acUV[0]);
    EXPECT_EQ(240, acUV[1]);
    EXPECT_EQ(90, acUV[640 * 240 - 2]);
    EXPECT_EQ(240, acUV[640 * 240 - 1]);
}

TEST_F(BlitTest, ThreeDestinationPlanesAreRefusedAndUnwrapped) {
    buffer_handle_t hSrc = Alloc(32, 32, HAL_PIXEL_FORMAT_RGB_565);
    std::vector<unsigned> a(32 * 32), b(32 * 32), c(32 * 32);
    void *apvDest[3] = {a.data(), b.data(), c.data()};
    EXPECT_EQ(-EINVAL, Blit(hSrc, apvDest, HAL_PIXEL_FORMAT_BGRA_8888));
    EXPECT_EQ(1u, Wraps().size()) << "a plane the format does not have is refused before it is wrapped";
    EXPECT_EQ(0u, zolsim_live_wrapped()) << "no wrapped memory is left";
    EXPECT_EQ(0u, zolsim_calls("ZOL2DBlt3DExt"));
    ExpectMutexBalanced();
}

TEST_F(BlitTest, BadArgumentsAreRefused) {
    buffer_handle_t hSrc = Alloc(32, 32, HAL_PIXEL_FORMAT_RGB_565);
    buffer_handle_t hDest = Alloc(32, 32, HAL_PIXEL_FORMAT_BGRA_8888);
    std::vector<unsigned> a(32 * 32);
    void *apvDest[3] = {a.data(), nullptr, nullptr};
    void *apvNone[3] = {nullptr, nullptr, nullptr};

    /* Refused before the mutex: a refused usage bit, no destination. */
    unsigned uiLocks = zolsim_calls("ZOLSRVLockMutex");
    AsVek(hSrc)->usage |= GRALLOC_USAGE_HW_2D;
    EXPECT_EQ(-EINVAL, Blit(hSrc, apvDest, HAL_PIXEL_FORMAT_BGRA_8888));
    EXPECT_EQ(-EINVAL, Blit2(hSrc, hDest, 32, 32, 0, 0));
    EXPECT_EQ(-EINVAL, Blit2(hDest, hSrc, 32, 32, 0, 0));
    AsVek(hSrc)->usage &= ~GRALLOC_USAGE_HW_2D;
    EXPECT_EQ(-EINVAL, Blit(nullptr, apvDest, HAL_PIXEL_FORMAT_BGRA_8888));
    EXPECT_EQ(-EINVAL, Blit(hSrc, nullptr, HAL_PIXEL_FORMAT_BGRA_8888));
    EXPECT_EQ(-EINVAL, Blit(hSrc, apvNone, HAL_PIXEL_FORMAT_BGRA_8888));
    EXPECT_EQ(-EINVAL, Blit2(hSrc, nullptr, 32, 32, 0, 0));
    EXPECT_EQ(-EINVAL, psHMI->base.Blit(nullptr, hSrc, apvDest, HAL_PIXEL_FORMAT_BGRA_8888));
    EXPECT_EQ(uiLocks, zolsim_calls("ZOLSRVLockMutex"));

    /* A format that is not registered. */
    EXPECT_EQ(-EINVAL, Blit(hSrc, apvDest, 0x101));
    EXPECT_EQ(-EINVAL, Blit(hSrc, apvDest, HAL_PIXEL_FORMAT_RGB_888));

    /* Handles this process does not know: a freed buffer's, as source and as destination. */
    native_handle_t *psStale = CopyHandle(hDest);
    ASSERT_EQ(0, Free(hDest));
    EXPECT_EQ(-EINVAL, Blit(psStale, apvDest, HAL_PIXEL_FORMAT_BGRA_8888));
    EXPECT_EQ(-EINVAL, Blit2(psStale, hSrc, 32, 32, 0, 0));
    EXPECT_EQ(-EINVAL, Blit2(hSrc, psStale, 32, 32, 0, 0));
    native_handle_delete(psStale);

    EXPECT_EQ(0u, zolsim_calls("ZOL2DBlt3DExt"));
    EXPECT_EQ(0u, zolsim_live_wrapped());
    ExpectMutexBalanced();
}

TEST_F(BlitTest, RegisteredBufferWithoutAMappingCannotBeBlitted) {
    ForeignAllocator sForeign;
    buffer_handle_t hForeign = sForeign.Make(GRALLOC_USAGE_HW_COMPOSER);
    ASSERT_EQ(0, psHMI->base.base.registerBuffer(&psHMI->base.base, hForeign));
    buffer_handle_t hOwn = Alloc(64, 32, HAL_PIXEL_FORMAT_BGRA_8888);
    std::vector<unsigned> a(64 * 32);
    void *apvDest[3] = {a.data(), nullptr, nullptr};
    EXPECT_EQ(-EINVAL, Blit(hForeign, apvDest, HAL_PIXEL_FORMAT_BGRA_8888));
    EXPECT_EQ(-EINVAL, Blit2(hForeign, hOwn, 64, 32, 0, 0));
    EXPECT_EQ(-EINVAL, Blit2(hOwn, hForeign, 64, 32, 0, 0));
    EXPECT_EQ(0u, zolsim_live_wrapped());
    EXPECT_EQ(0, psHMI->base.base.unregisterBuffer(&psHMI->base.base, hForeign));
    ExpectMutexBalanced();
}

TEST_F(BlitTest, DestinationWithoutA2DCodeIsFormat255AndRefusedByTheLibrary) {
    buffer_handle_t hSrc = Alloc(32, 32, HAL_PIXEL_FORMAT_RGB_565);
    buffer_handle_t hYv12 = Alloc(32, 32, HAL_PIXEL_FORMAT_YV12);
    EXPECT_EQ(-EFAULT, Blit2(hSrc, hYv12, 32, 32, 0, 0));
    ZOLSIM_BLIT_RECORD s;
    ASSERT_TRUE(zolsim_last_blit(&s));
    EXPECT_EQ(255ul, s.eDstFormat);
    EXPECT_EQ(ZOL2D_BLT_FORMAT_RGB565, s.eSrcFormat);

    std::vector<unsigned char> ac(32 * 32 * 2);
    void *apvDest[3] = {ac.data(), nullptr, nullptr};
    EXPECT_EQ(-EFAULT, Blit(hSrc, apvDest, HAL_PIXEL_FORMAT_YV12));
    EXPECT_EQ(0u, zolsim_live_wrapped()) << "the wrapped plane goes even when the blit fails";
    ExpectMutexBalanced();
}

TEST_F(BlitTest, Blit2CopiesTheWholeSourceIntoTheRectangleAndWaits) {
    buffer_handle_t hSrc = PatternSource(40, 30);
    buffer_handle_t hDest = Alloc(200, 100, HAL_PIXEL_FORMAT_BGRA_8888);
    ZOLSRV_CLIENT_MEM_INFO *psDest = Mem(hDest);
    ASSERT_EQ(0, Blit2(hSrc, hDest, 80, 60, 10, 20)) << "scaled to twice its size";

    ZOLSIM_BLIT_RECORD s;
    ASSERT_TRUE(zolsim_last_blit(&s));
    EXPECT_EQ(10, s.rcDest.left);
    EXPECT_EQ(20, s.rcDest.top);
    EXPECT_EQ(90, s.rcDest.right);
    EXPECT_EQ(80, s.rcDest.bottom);
    EXPECT_EQ(40, s.rcSource.right);
    EXPECT_EQ(30, s.rcSource.bottom);
    EXPECT_EQ(200u, s.ui32DstWidth) << "the destination keeps its own size";
    EXPECT_EQ(100u, s.ui32DstHeight);
    EXPECT_EQ(4 * 224, s.lDstStride) << "and the allocator's stride";
    EXPECT_EQ(psDest->sDevVAddr.uiAddr, s.ui32DstDevAddr);
    EXPECT_TRUE(Wraps().empty()) << "a buffer needs no wrapping";

    const ZOLSRV_SYNC_DATA *psSync = psDest->psClientSyncInfo->psSyncData;
    EXPECT_EQ(1u, psSync->ui32WriteOpsPending) << "the blit wrote the destination on the GPU";
    EXPECT_EQ(psSync->ui32WriteOpsPending, psSync->ui32WriteOpsComplete) << "and Blit2 waited for it";
    EXPECT_EQ(0u, zolsim_blits_pending());

    const unsigned *pui = static_cast<const unsigned *>(psDest->pvLinAddr);
    int iWrong = 0;
    for (int y = 0; y < 100; y++)
        for (int x = 0; x < 200; x++) {
            bool bInside = x >= 10 && x < 90 && y >= 20 && y < 80;
            unsigned uiExpected = bInside ? PatternAsBgra((x - 10) / 2, (y - 20) / 2) : 0u;
            iWrong += pui[y * 224 + x] != uiExpected;
        }
    EXPECT_EQ(0, iWrong) << "the scaled source inside the rectangle, nothing outside";
}

class Bgra8888Display : public BlitTest {
    void Configure() override {
        ZOL2DDISPLAYINFO sInfo = {1, 3, ZOL2D_PIXEL_FORMAT_ARGB8888, 800, 480, 3200, 0, 1};
        zolsim_set_display(0, &sInfo, nullptr);
    }
};

TEST_F(Bgra8888Display, Blit2IntoADisplayBufferUsesTheDisplayStride) {
    psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    buffer_handle_t hDisplay = nullptr;
    int iStride = 0;
    ASSERT_EQ(
        0, psAlloc->alloc(psAlloc, psFb->width, psFb->height, psFb->format, GRALLOC_USAGE_HW_FB, &hDisplay, &iStride));
    buffer_handle_t hSrc = PatternSource(64, 32);
    ASSERT_EQ(0, Blit2(hSrc, hDisplay, 64, 32, 700, 400));

    ZOLSIM_BLIT_RECORD s;
    ASSERT_TRUE(zolsim_last_blit(&s));
    EXPECT_EQ(3200, s.lDstStride);
    EXPECT_EQ(800u, s.ui32DstWidth);
    EXPECT_EQ(480u, s.ui32DstHeight);
    const unsigned *pui = static_cast<const unsigned *>(Mem(hDisplay)->pvLinAddr);
    int iWrong = 0;
    for (int y = 390; y < 440; y++)
        for (int x = 690; x < 770; x++) {
            bool bInside = x >= 700 && x < 764 && y >= 400 && y < 432;
            iWrong += pui[y * 800 + x] != (bInside ? PatternAsBgra(x - 700, y - 400) : 0u);
        }
    EXPECT_EQ(0, iWrong);
    EXPECT_EQ(0, psAlloc->free(psAlloc, hDisplay));
}

struct BlitFault {
    const char *pszName;
    const char *pszFunction;
    unsigned uiNth;
    int iExpected;
    unsigned uiFreesTried;
    unsigned uiTimes = 1;       /* the call fails this many times in a row, from the nth on */
    bool bEngineHeld = false;   /* the 2D engine runs no blit meanwhile */
    unsigned uiStalls = 0;      /* stall reports */
    bool bLeftToWorker = false; /* a wrap stays for the worker, which may free it at any time */
};

/* Names the case in test output. */
void PrintTo(const BlitFault &s, std::ostream *psOut) { *psOut << s.pszName; }

class BlitFaultTest : public BlitTest, public ::testing::WithParamInterface<BlitFault> {};

TEST_P(BlitFaultTest, ReleasesWhatWasWrappedAndTheMutex) {
    buffer_handle_t hSrc = Alloc(64, 32, HAL_PIXEL_FORMAT_RGB_565);
    std::vector<unsigned char> acY(64 * 32), acUV(64 * 16);
    void *apvDest[3] = {acY.data(), acUV.data(), nullptr};
    for (unsigned i = 0; i < GetParam().uiTimes; i++)
        zolsim_fail(GetParam().pszFunction, GetParam().uiNth + i, ZOL2DERROR_GENERIC_ERROR);
    zolsim_hold_2d_engine(GetParam().bEngineHeld);
    EXPECT_EQ(GetParam().iExpected, Blit(hSrc, apvDest, kNV12));
    if (GetParam().bLeftToWorker)
        EXPECT_LE(GetParam().uiFreesTried, zolsim_calls("ZOL2DMemFree"));
    else
        EXPECT_EQ(GetParam().uiFreesTried, zolsim_calls("ZOL2DMemFree"))
            << "every wrapped plane is given back, unless a blit may still write it";
    EXPECT_EQ(GetParam().uiStalls, zolsim_stall_reports());
    /* A worker that was handed a wrap may hold the mutex at any time now. */
    if (!GetParam().bLeftToWorker) ExpectMutexBalanced();
    /* The worker never waits for the engine while it holds the module mutex: another call goes
       through while the engine is still held. */
    std::future<int> sOther = std::async(std::launch::async, [this] {
        buffer_handle_t h = nullptr;
        int iStride = 0;
        const int iErr = psAlloc->alloc(psAlloc, 16, 16, HAL_PIXEL_FORMAT_RGB_565, kSwUsage, &h, &iStride);
        return iErr != 0 ? iErr : psAlloc->free(psAlloc, h);
    });
    EXPECT_EQ(std::future_status::ready, sOther.wait_for(std::chrono::seconds(20))) << "a call waited for the engine";
    zolsim_hold_2d_engine(0);
    EXPECT_EQ(0, sOther.get());
    /* What the call could not give back, the worker does once the blit is done, in one scan that
       holds the mutex: taking it once waits for that scan's end. */
    EXPECT_TRUE(Eventually([] { return zolsim_live_wrapped() == 0; })) << zolsim_live_wrapped() << " wraps left";
    ZOLSRVLockMutex(Private()->hMutex);
    ZOLSRVUnlockMutex(Private()->hMutex);
    ExpectMutexBalanced();

    /* Still usable. */
    zolsim_clear_faults();
    unsigned uiWrappedBefore = zolsim_live_wrapped();
    EXPECT_EQ(0, Blit(hSrc, apvDest, kNV12));
    EXPECT_EQ(uiWrappedBefore, zolsim_live_wrapped());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, BlitFaultTest,
    ::testing::Values(BlitFault{"FirstWrap", "ZOL2DMemWrap", 1, -EINVAL, 0},
                      BlitFault{"SecondWrap", "ZOL2DMemWrap", 2, -EINVAL, 1},
                      BlitFault{"Submit", "ZOL2DBlt3DExt", 1, -EFAULT, 2},
                      /* The wait is made again: the second vouches for the copy. */
                      BlitFault{"Wait", "ZOL2DQueryBlitsComplete", 1, 0, 2},
                      /* No wait vouches, and the blit cannot have run: the GPU
                         is reported stalled, and caller memory the blit may
                         still write stays wrapped, for the worker. */
                      BlitFault{"WaitStalls", "ZOL2DQueryBlitsComplete", 1, -EFAULT, 0, 50, true, 1, true},
                      BlitFault{"FirstFree", "ZOL2DMemFree", 1, -EINVAL, 2, 1, false, 0, true},
                      BlitFault{"SecondFree", "ZOL2DMemFree", 2, -EINVAL, 2, 1, false, 0, true}),
    [](const ::testing::TestParamInfo<BlitFault> &info) { return std::string(info.param.pszName); });

/* ---- The GPU's blits are the 2D engine's work, done after the call that submits them ---- */

/* Another driver of the process blits through the 2D library on its own context, as the vendor's
   video and composition drivers do, reading or writing buffers of the module. The engine is held
   until the test lets it go, so that what waits for an unfinished blit is seen waiting. */
class EngineBlitTest : public BlitTest {
protected:
    void SetUp() override {
        BlitTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(ZOL2D_OK, ZOL2DCreateDeviceContext(100, &hDriver, 0));
        zolsim_hold_2d_engine(1);
    }
    void TearDown() override {
        zolsim_hold_2d_engine(0);
        if (hDriver != nullptr) EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyDeviceContext(hDriver));
        BlitTest::TearDown();
    }

    /* Queues a copy of a 64 x 32 BGRA buffer's memory into another's. */
    void DriverBlit(ZOLSRV_CLIENT_MEM_INFO *psFrom, ZOLSRV_CLIENT_MEM_INFO *psTo) {
        sFrom = DescribeServicesMemory(psFrom);
        sTo = DescribeServicesMemory(psTo);
        ZOL2D_3DBLT_EXT sBlt;
        memset(&sBlt, 0, sizeof(sBlt));
        sBlt.sDst = ZOL2D_SURFACE{&sTo, 0, 256, ZOL2D_BLT_FORMAT_ARGB8888, 64, 32};
        sBlt.rcDest = ZOL2DRECT{0, 0, 64, 32};
        sBlt.sSrc = ZOL2D_SURFACE{&sFrom, 0, 256, ZOL2D_BLT_FORMAT_ARGB8888, 64, 32};
        sBlt.rcSource = ZOL2DRECT{0, 0, 64, 32};
        ASSERT_EQ(ZOL2D_OK, ZOL2DBlt3DExt(hDriver, &sBlt));
    }

    /* The mapping of a registered buffer in this process, from its entry. */
    ZOLSRV_CLIENT_MEM_INFO *Mapping(buffer_handle_t h) {
        for (VEK_mapper_meminfo_t *ps = Private()->psMapList; ps != nullptr; ps = ps->psNext)
            if (ps->ui64Stamp == AsVek(h)->ui64Stamp) return ps->apsMemInfo[0];
        return nullptr;
    }

    ZOL2DCONTEXTHANDLE hDriver = nullptr;
    ZOL2DMEMINFO sFrom = {}, sTo = {};
};

/* A CPU read of a buffer that a blit is still writing waits for the blit, and reads what it wrote. */
TEST_F(EngineBlitTest, ALockWaitsForAnUnfinishedBlitIntoTheBuffer) {
    zolsim_set_wait_timeout_ms(60000); /* only the engine's progress ends the lock's wait */
    buffer_handle_t hSrc = Alloc(64, 32, HAL_PIXEL_FORMAT_BGRA_8888, kSwUsage | GRALLOC_USAGE_HW_TEXTURE);
    buffer_handle_t hDst = Alloc(64, 32, HAL_PIXEL_FORMAT_BGRA_8888, kSwUsage | GRALLOC_USAGE_HW_TEXTURE);
    memset(Mem(hSrc)->pvLinAddr, 0x3c, 256 * 32);
    DriverBlit(Mem(hSrc), Mem(hDst));

    std::atomic<int> iLock{1};
    void *apv[3] = {};
    std::thread sReader([&] {
        iLock = psHMI->base.base.lock(&psHMI->base.base, hDst, GRALLOC_USAGE_SW_READ_OFTEN, 0, 0, 64, 32, apv);
    });
    ASSERT_TRUE(Eventually([] { return zolsim_event_waiters() == 1; })) << "the lock waits for the GPU";
    EXPECT_EQ(1, iLock.load()) << "and goes on waiting while the blit is unfinished";
    zolsim_hold_2d_engine(0);
    sReader.join();
    ASSERT_EQ(0, iLock.load());
    EXPECT_EQ(0x3c3c3c3cu, static_cast<const unsigned *>(apv[0])[64 * 31 + 63]) << "the blit's pixels";
    EXPECT_EQ(0u, zolsim_stall_reports());
    EXPECT_EQ(0, psHMI->base.base.unlock(&psHMI->base.base, hDst));
}

/* A free of a buffer that a blit still reads is queued, and runs once the blit is done. */
TEST_F(EngineBlitTest, AFreeWaitsForAnUnfinishedBlitFromTheBuffer) {
    buffer_handle_t hSrc = Alloc(64, 32, HAL_PIXEL_FORMAT_BGRA_8888, kSwUsage | GRALLOC_USAGE_HW_TEXTURE);
    buffer_handle_t hDst = Alloc(64, 32, HAL_PIXEL_FORMAT_BGRA_8888, kSwUsage | GRALLOC_USAGE_HW_TEXTURE);
    DriverBlit(Mem(hSrc), Mem(hDst));
    const VEK_UINT64 ui64Src = AsVek(hSrc)->ui64Stamp;
    ASSERT_EQ(0, Free(hSrc)) << "queued";
    EXPECT_NE(nullptr, zolsim_meminfo_by_stamp(ui64Src)) << "the memory stays while the engine reads it";
    zolsim_hold_2d_engine(0);
    EXPECT_TRUE(Eventually([&] { return zolsim_meminfo_by_stamp(ui64Src) == nullptr; })) << "and goes after";
}

/* An unregistration of a buffer whose mapping a blit still reads is queued likewise. */
TEST_F(EngineBlitTest, AnUnregistrationWaitsForAnUnfinishedBlitFromItsMapping) {
    ForeignAllocator sForeign;
    buffer_handle_t hForeign = sForeign.Make(GRALLOC_USAGE_HW_TEXTURE);
    ASSERT_EQ(0, psHMI->base.base.registerBuffer(&psHMI->base.base, hForeign));
    ZOLSRV_CLIENT_MEM_INFO *psMapping = Mapping(hForeign);
    ASSERT_NE(nullptr, psMapping);
    buffer_handle_t hDst = Alloc(64, 32, HAL_PIXEL_FORMAT_BGRA_8888, kSwUsage | GRALLOC_USAGE_HW_TEXTURE);
    DriverBlit(psMapping, Mem(hDst));
    ASSERT_EQ(0, psHMI->base.base.unregisterBuffer(&psHMI->base.base, hForeign)) << "queued";
    EXPECT_EQ(1u, zolsim_live_mappings()) << "the mapping stays while the engine reads it";
    zolsim_hold_2d_engine(0);
    EXPECT_TRUE(Eventually([] { return zolsim_live_mappings() == 0; })) << "and goes after";
}

/* Blit2 returns once the engine has run its blit: its wait is real work, not a formality. */
TEST_F(EngineBlitTest, Blit2ReturnsOnlyOnceTheEngineHasRunItsBlit) {
    buffer_handle_t hSrc = PatternSource(64, 32);
    buffer_handle_t hDst = Alloc(64, 32, HAL_PIXEL_FORMAT_BGRA_8888);
    std::atomic<int> iBlit{1};
    std::thread sBlitter([&] { iBlit = Blit2(hSrc, hDst, 64, 32, 0, 0); });
    ASSERT_TRUE(Eventually([] { return zolsim_blit_waiters() == 1; })) << "Blit2 waits for its blit";
    EXPECT_EQ(1, iBlit.load());
    const unsigned *pui = static_cast<const unsigned *>(Mem(hDst)->pvLinAddr);
    EXPECT_EQ(0u, pui[64 * 31 + 63]) << "nothing written before the engine runs";
    zolsim_hold_2d_engine(0);
    sBlitter.join();
    EXPECT_EQ(0, iBlit.load());
    EXPECT_EQ(PatternAsBgra(63, 31), pui[64 * 31 + 63]);
    const ZOLSRV_SYNC_DATA *psSync = Mem(hDst)->psClientSyncInfo->psSyncData;
    EXPECT_EQ(psSync->ui32WriteOpsPending, psSync->ui32WriteOpsComplete);
}

}  // namespace
