/* A handle never describes more memory than its buffer holds: sizes whose byte count does not fit
   what the services take, negative sizes, and display requests larger than the display buffer are
   refused, and every buffer that is made holds every row its handle describes. */
#include <limits.h>
#include <string.h>

#include "foreign_buffer.h"
#include "framebuffer.h"
#include "module_fixture.h"

namespace {

constexpr int kSw = GRALLOC_USAGE_SW_READ_OFTEN | GRALLOC_USAGE_SW_WRITE_OFTEN;
constexpr int kNV12 = 0x100;

class HandleSizeTest : public AllocatorTest {
protected:
    void TearDown() override {
        if (psFb != nullptr) framebuffer_close(psFb);
        AllocatorTest::TearDown();
    }

    /* A refused request answers -EINVAL, hands nothing out and makes nothing. */
    void ExpectRefused(int w, int h, int format, int usage) {
        const unsigned uiAllocations = zolsim_live_allocations(), uiCalls = zolsim_calls("ZOLSRVAllocDeviceMem2");
        VEK_mapper_meminfo_t *psListBefore = Private()->psMapList;
        buffer_handle_t hOut = reinterpret_cast<buffer_handle_t>(0x1);
        int iStride = -7;
        EXPECT_EQ(-EINVAL, psAlloc->alloc(psAlloc, w, h, format, usage, &hOut, &iStride))
            << w << " x " << h << " in format 0x" << std::hex << format << " with usage 0x" << usage;
        EXPECT_EQ(reinterpret_cast<buffer_handle_t>(0x1), hOut);
        EXPECT_EQ(-7, iStride);
        EXPECT_EQ(uiAllocations, zolsim_live_allocations()) << w << " x " << h;
        EXPECT_EQ(uiCalls, zolsim_calls("ZOLSRVAllocDeviceMem2")) << w << " x " << h << ": the services are not asked";
        EXPECT_EQ(psListBefore, Private()->psMapList);
    }

    /* Bytes the handle's rows take in each plane, as a lock or blit reads them. */
    static unsigned long long PlaneBytes(const VEK_native_handle_t *ps, int iStride, int iPlane) {
        if (ps->iFormat == kNV12) {
            const unsigned long long ullRows = iPlane == 0 ? (unsigned)ps->iHeight : (unsigned)ps->iHeight / 2;
            return ullRows * (unsigned)iStride;
        }
        return (unsigned long long)ps->uiBpp * (unsigned)ps->iHeight * (unsigned)iStride / 8;
    }

    framebuffer_device_t *psFb = nullptr;
};

TEST_F(HandleSizeTest, ABufferWhoseBitCountPasses32BitsIsAllocatedWhole) {
    /* 16384 x 8193 at 32 bits is 536,936,448 bytes, whose bit count wraps 32 bits to 65,536. */
    buffer_handle_t h = nullptr;
    int iStride = 0;
    ASSERT_EQ(0, psAlloc->alloc(psAlloc, 16384, 8193, HAL_PIXEL_FORMAT_BGRA_8888, kSw, &h, &iStride));
    const ZOLSRV_CLIENT_MEM_INFO *psMem = MemInfo(h);
    ASSERT_NE(nullptr, psMem);
    EXPECT_GE((unsigned long long)psMem->uAllocSize, 536936448ull);
    /* The last pixel the handle describes is the buffer's own. */
    void *apv[3] = {};
    ASSERT_EQ(0, psHMI->base.base.lock(&psHMI->base.base, h, GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0, 16384, 8193, apv));
    static_cast<unsigned *>(apv[0])[(size_t)8192 * (size_t)iStride + 16383] = 0xdeadbeef;
    EXPECT_EQ(0, psHMI->base.base.unlock(&psHMI->base.base, h));
    EXPECT_EQ(0xdeadbeefu, static_cast<const unsigned *>(psMem->pvLinAddr)[(size_t)8192 * (size_t)iStride + 16383]);
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

TEST_F(HandleSizeTest, GenericSizesBeyondWhatTheServicesTakeAreRefused) {
    /* Exactly 2 GiB: one byte more than an int holds. */
    ExpectRefused(16384, 32768, HAL_PIXEL_FORMAT_RGBX_8888, kSw);
    ExpectRefused(32768, 32768, HAL_PIXEL_FORMAT_RGB_565, kSw);
    /* Rounding the width up to 32 pixels would carry it past an int. */
    ExpectRefused(0x7ffffff0, 1, HAL_PIXEL_FORMAT_RGB_565, kSw);
    ExpectRefused(0x7fffffff, 0x7fffffff, HAL_PIXEL_FORMAT_YV12, kSw);
}

TEST_F(HandleSizeTest, NegativeSizesAreRefusedOnEveryPath) {
    for (int iFormat : std::initializer_list<int>{HAL_PIXEL_FORMAT_BGRA_8888, HAL_PIXEL_FORMAT_RGB_565,
                                                  HAL_PIXEL_FORMAT_YV12, kNV12}) {
        ExpectRefused(-32, 16, iFormat, kSw);
        ExpectRefused(-1, 16, iFormat, kSw);
        ExpectRefused(64, -1, iFormat, kSw);
        ExpectRefused(INT_MIN, INT_MIN, iFormat, kSw);
    }
    /* The composer's path, which lends display-owned pairs. */
    ExpectRefused(-16, 64, kNV12, GRALLOC_USAGE_HW_COMPOSER);
    ExpectRefused(64, -16, kNV12, GRALLOC_USAGE_HW_COMPOSER);
}

TEST_F(HandleSizeTest, Nv12SizesBeyondWhatTheServicesTakeAreRefused) {
    /* The luma plane's 65536 x 131104 bytes wrap 32 bits to 2 MiB. */
    ExpectRefused(65536, 131104, kNV12, kSw);
    ExpectRefused(65536, 131104, kNV12, GRALLOC_USAGE_HW_COMPOSER);
    /* Rounding to 16 would carry width or height past an int. */
    ExpectRefused(0x7ffffff5, 16, kNV12, kSw);
    ExpectRefused(16, 0x7ffffff5, kNV12, GRALLOC_USAGE_HW_COMPOSER);
}

TEST_F(HandleSizeTest, EveryBufferMadeHoldsTheRowsItsHandleDescribes) {
    const int aiFormats[] = {HAL_PIXEL_FORMAT_BGRA_8888, HAL_PIXEL_FORMAT_RGBA_8888, 0x1ff, HAL_PIXEL_FORMAT_RGBX_8888,
                             HAL_PIXEL_FORMAT_RGB_565,   HAL_PIXEL_FORMAT_YV12,      kNV12};
    const int aiSizes[][2] = {{1, 1}, {31, 7}, {33, 65}, {100, 50}, {641, 479}, {1920, 1080}};
    for (int iFormat : aiFormats) {
        for (const auto &aiSize : aiSizes) {
            for (int iUsage : {kSw, kSw | GRALLOC_USAGE_HW_COMPOSER}) {
                buffer_handle_t h = nullptr;
                int iStride = 0;
                ASSERT_EQ(0, psAlloc->alloc(psAlloc, aiSize[0], aiSize[1], iFormat, iUsage, &h, &iStride));
                const VEK_native_handle_t *ps = AsVek(h);
                EXPECT_GE(ps->iWidth, aiSize[0]);
                EXPECT_GE(ps->iHeight, aiSize[1]);
                EXPECT_GE(iStride, ps->iWidth);
                for (int iPlane = 0; iPlane < (iFormat == kNV12 ? 2 : 1); iPlane++) {
                    const ZOLSRV_CLIENT_MEM_INFO *psMem = nullptr;
                    for (VEK_mapper_meminfo_t *psEntry = Private()->psMapList; psEntry != nullptr;
                         psEntry = psEntry->psNext)
                        if (psEntry->ui64Stamp == ps->ui64Stamp) psMem = psEntry->apsMemInfo[iPlane];
                    ASSERT_NE(nullptr, psMem) << "plane " << iPlane;
                    EXPECT_GE((unsigned long long)psMem->uAllocSize, PlaneBytes(ps, iStride, iPlane))
                        << aiSize[0] << " x " << aiSize[1] << " in format 0x" << std::hex << iFormat << ", plane "
                        << iPlane;
                }
                EXPECT_EQ(0, psAlloc->free(psAlloc, h));
            }
        }
    }
}

/* The default display: 800 x 480, RGB 565, two display buffers. */
TEST_F(HandleSizeTest, DisplayRequestsMustFitTheDisplayBuffer) {
    psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    const VEK_raw_framebuffer_device_t *psRaw = reinterpret_cast<const VEK_raw_framebuffer_device_t *>(psFb);
    const int iW = (int)psFb->width, iH = (int)psFb->height;
    ASSERT_EQ(HAL_PIXEL_FORMAT_RGB_565, psFb->format);

    /* Larger than the display, or more bits per pixel than its buffers hold. */
    ExpectRefused(4096, 4096, HAL_PIXEL_FORMAT_BGRA_8888, GRALLOC_USAGE_HW_FB);
    ExpectRefused(iW, iH, HAL_PIXEL_FORMAT_BGRA_8888, GRALLOC_USAGE_HW_FB);
    ExpectRefused(iW + 1, iH, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB);
    ExpectRefused(iW, iH + 1, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB);
    ExpectRefused(-1, iH, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB);
    ExpectRefused(iW, -1, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB);
    EXPECT_EQ(0u, psRaw->ui32AllocMask) << "a refused request takes no slot";

    /* The display's own size and format, and anything smaller, fit. */
    buffer_handle_t ah[2] = {};
    int iStride = 0;
    ASSERT_EQ(0, psAlloc->alloc(psAlloc, iW, iH, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &ah[0], &iStride));
    ASSERT_EQ(0, psAlloc->alloc(psAlloc, 64, 0, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &ah[1], &iStride));
    EXPECT_EQ(0, AsVek(ah[1])->iHeight) << "a zero size still reaches the handle";
    EXPECT_EQ(0, psAlloc->free(psAlloc, ah[1]));
    ASSERT_EQ(0, psAlloc->alloc(psAlloc, 64, 32, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &ah[1], &iStride));
    for (buffer_handle_t h : ah) {
        const ZOLSRV_CLIENT_MEM_INFO *psMem = MemInfo(h);
        ASSERT_NE(nullptr, psMem);
        EXPECT_GE((unsigned long long)psMem->uAllocSize,
                  (unsigned long long)AsVek(h)->iHeight * (unsigned)iStride * AsVek(h)->uiBpp / 8);
        void *apv[3] = {};
        EXPECT_EQ(0, psHMI->base.base.lock(&psHMI->base.base, h, GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0, AsVek(h)->iWidth,
                                           AsVek(h)->iHeight, apv));
        EXPECT_EQ(0, psHMI->base.base.unlock(&psHMI->base.base, h));
        EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    }
}

class ArgbDisplaySizes : public HandleSizeTest {
    void Configure() override {
        ZOL2DDISPLAYINFO sInfo = {1, 3, ZOL2D_PIXEL_FORMAT_ARGB8888, 640, 400, 2560, 0, 1};
        zolsim_set_display(0, &sInfo, nullptr);
    }
};

TEST_F(ArgbDisplaySizes, TakesRequestsOfFewerBitsPerPixel) {
    psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    buffer_handle_t h = nullptr;
    int iStride = 0;
    EXPECT_EQ(0, psAlloc->alloc(psAlloc, 640, 400, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &h, &iStride));
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    EXPECT_EQ(0, psAlloc->alloc(psAlloc, 640, 400, HAL_PIXEL_FORMAT_BGRA_8888, GRALLOC_USAGE_HW_FB, &h, &iStride));
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    ExpectRefused(641, 400, HAL_PIXEL_FORMAT_BGRA_8888, GRALLOC_USAGE_HW_FB);
}

/* A display whose rows are padded: 100 x 50 RGB 565 in rows of 320 bytes (160 pixels), where the
   allocator's rows would be 128 pixels. It allows two flip chains, so that fb0 opens twice. */
class PaddedDisplay : public HandleSizeTest {
    void Configure() override {
        ZOL2DDISPLAYINFO sInfo = {2, 3, ZOL2D_PIXEL_FORMAT_RGB565, 100, 50, 320, 0, 1};
        zolsim_set_display(0, &sInfo, nullptr);
    }
};

/* A display buffer's rows are those of the device that made it: a second fb0 opened and closed
   meanwhile changes nothing of a lock, a Blit2 into it or a Blit from it. */
TEST_F(PaddedDisplay, ADisplayBufferKeepsItsDevicesRowsWhenAnotherFb0Closes) {
    const gralloc_module_t *psGralloc = &psHMI->base.base;
    const VEK_gralloc_module_public_t *psPublic = &psHMI->base;
    psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    ASSERT_EQ(160, psFb->stride);
    buffer_handle_t hDisplay = nullptr, hSource = nullptr;
    int iStride = 0;
    ASSERT_EQ(0, psAlloc->alloc(psAlloc, 100, 50, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &hDisplay, &iStride));
    framebuffer_device_t *psSecond = OpenFb();
    ASSERT_NE(nullptr, psSecond);
    EXPECT_EQ(0, framebuffer_close(psSecond));

    /* Each source pixel its own value, in rows of 128 pixels. */
    ASSERT_EQ(0, psAlloc->alloc(psAlloc, 100, 50, HAL_PIXEL_FORMAT_RGB_565, kSw | GRALLOC_USAGE_HW_TEXTURE, &hSource,
                                &iStride));
    ASSERT_EQ(128, iStride);
    void *apv[3] = {};
    ASSERT_EQ(0, psGralloc->lock(psGralloc, hSource, GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0, 100, 50, apv));
    for (int y = 0; y < 50; y++)
        for (int x = 0; x < 100; x++) static_cast<uint16_t *>(apv[0])[y * 128 + x] = (uint16_t)(y * 100 + x);
    ASSERT_EQ(0, psGralloc->unlock(psGralloc, hSource));

    ASSERT_EQ(0, psPublic->Blit2(psPublic, hSource, hDisplay, 100, 50, 0, 0));
    ASSERT_EQ(0, psGralloc->lock(psGralloc, hDisplay, GRALLOC_USAGE_SW_READ_OFTEN, 0, 0, 100, 50, apv))
        << "the display's rows hold the whole request";
    int iMisplaced = 0;
    for (int y = 0; y < 50; y++)
        for (int x = 0; x < 100; x++)
            iMisplaced += static_cast<const uint16_t *>(apv[0])[y * 160 + x] != (uint16_t)(y * 100 + x);
    EXPECT_EQ(0, iMisplaced) << "pixels off their place in the display's rows of 160";
    ASSERT_EQ(0, psGralloc->unlock(psGralloc, hDisplay));

    /* And read back in the allocator's rows. */
    std::vector<uint16_t> aui16Copy(128 * 50, 0);
    void *apvCopy[3] = {aui16Copy.data(), nullptr, nullptr};
    ASSERT_EQ(0, psPublic->Blit(psPublic, hDisplay, apvCopy, HAL_PIXEL_FORMAT_RGB_565));
    EXPECT_EQ((uint16_t)(49 * 100 + 99), aui16Copy[49 * 128 + 99]);
    EXPECT_EQ(0, psAlloc->free(psAlloc, hSource));
    EXPECT_EQ(0, psAlloc->free(psAlloc, hDisplay));
}

/* Another process's handle is believed only as far as the memory behind it goes: registration
   refuses one whose rows pass the end of its memory, whatever its usage, and leaves nothing; a lock
   refuses a copy of a registered buffer's handle that claims more rows, and changes nothing. The
   buffer with its true size registers and locks. */
TEST_F(HandleSizeTest, AForeignHandleWhoseRowsPassItsMemoryIsRefused) {
    const gralloc_module_t *psGralloc = &psHMI->base.base;
    ForeignAllocator sForeign;
    /* Mapped at registration, and mapped only while locked; rows that pass the memory by far, and
       rows whose byte count, 2^32 + 8192, wraps 32 bits to the buffer's own 8192 bytes. */
    for (int iUsage : {kSw | GRALLOC_USAGE_HW_TEXTURE, (int)GRALLOC_USAGE_HW_COMPOSER}) {
        for (int iForgedHeight : {4096, (1 << 24) + 32}) {
            SCOPED_TRACE(std::to_string(iUsage) + ", " + std::to_string(iForgedHeight) + " rows");
            /* 64 x 32 BGRA: 256-byte rows, 8192 bytes, as this module lays them out. */
            buffer_handle_t hTrue = sForeign.Make(iUsage, 64, 32);
            buffer_handle_t hForged = sForeign.Make(iUsage, 64, 32);
            AsVek(hForged)->iHeight = iForgedHeight;
            const unsigned uiMappings = zolsim_live_mappings();
            EXPECT_EQ(-EINVAL, psGralloc->registerBuffer(psGralloc, hForged));
            EXPECT_EQ(uiMappings, zolsim_live_mappings()) << "nothing stays mapped";
            for (VEK_mapper_meminfo_t *ps = Private()->psMapList; ps != nullptr; ps = ps->psNext)
                EXPECT_NE(AsVek(hForged)->ui64Stamp, ps->ui64Stamp) << "nothing stays registered";

            ASSERT_EQ(0, psGralloc->registerBuffer(psGralloc, hTrue));
            native_handle_t *psTaller = CopyHandle(hTrue);
            AsVek(psTaller)->iHeight = iForgedHeight;
            VEK_mapper_meminfo_t *psEntry = nullptr;
            for (VEK_mapper_meminfo_t *ps = Private()->psMapList; ps != nullptr; ps = ps->psNext)
                if (ps->ui64Stamp == AsVek(hTrue)->ui64Stamp) psEntry = ps;
            ASSERT_NE(nullptr, psEntry);
            ZOLSRV_CLIENT_MEM_INFO *psMappedBefore = psEntry->apsMemInfo[0];
            for (int iRows : {iForgedHeight, 32, 1}) {
                void *apv[3] = {reinterpret_cast<void *>(0x1), nullptr, nullptr};
                EXPECT_EQ(-EINVAL,
                          psGralloc->lock(psGralloc, psTaller, GRALLOC_USAGE_SW_READ_OFTEN, 0, 0, 64, iRows, apv))
                    << iRows << " rows";
                EXPECT_EQ(reinterpret_cast<void *>(0x1), apv[0]) << "no address is handed out";
                EXPECT_EQ(0u, psEntry->ui32LockCount);
                EXPECT_EQ(psMappedBefore, psEntry->apsMemInfo[0]) << "the mapping is as before the lock";
            }
            EXPECT_EQ(-EINVAL, psGralloc->unlock(psGralloc, psTaller));

            void *apv[3] = {};
            ASSERT_EQ(0, psGralloc->lock(psGralloc, hTrue, GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0, 64, 32, apv));
            ASSERT_NE(nullptr, apv[0]);
            memset(apv[0], 0x5a, 256 * 32);
            EXPECT_EQ(0, psGralloc->unlock(psGralloc, hTrue));
            EXPECT_EQ(0, psGralloc->unregisterBuffer(psGralloc, hTrue));
            native_handle_delete(psTaller);
        }
    }
}

/* A display buffer's rows are the display's: a lock of the whole request still hands them out. */
TEST_F(HandleSizeTest, ADisplayBufferLocksWholeWithTheDisplaysRows) {
    const gralloc_module_t *psGralloc = &psHMI->base.base;
    psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    buffer_handle_t h = nullptr;
    int iStride = 0;
    ASSERT_EQ(0, psAlloc->alloc(psAlloc, (int)psFb->width, (int)psFb->height, psFb->format, GRALLOC_USAGE_HW_FB, &h,
                                &iStride));
    void *apv[3] = {};
    EXPECT_EQ(
        0, psGralloc->lock(psGralloc, h, GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0, (int)psFb->width, (int)psFb->height, apv));
    EXPECT_NE(nullptr, apv[0]);
    EXPECT_EQ(0, psGralloc->unlock(psGralloc, h));
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

}  // namespace
