/* The framebuffer device: open, close, display-buffer slots and their allocation through gpu0. */
#include <fcntl.h>
#include <math.h>
#include <string.h>

#include "framebuffer.h"
#include "interpose.h"
#include "module_fixture.h"

namespace {

struct Display {
    ZOL2DDISPLAYINFO sInfo = {1, 3, ZOL2D_PIXEL_FORMAT_RGB565, 800, 480, 1600, 0, 1};
    ZOL2DMISCDISPLAYINFO sMisc = {154, 92, {0}};
};

class FbTest : public ModuleTest {
protected:
    void Configure() override {
        ConfigureDisplay(sDisplay);
        zolsim_set_display(0, &sDisplay.sInfo, &sDisplay.sMisc);
    }
    virtual void ConfigureDisplay(Display &) {}

    void TearDown() override {
        if (psAlloc != nullptr) gralloc_close(psAlloc);
    }

    alloc_device_t *Alloc() {
        if (psAlloc == nullptr) psAlloc = OpenAlloc();
        return psAlloc;
    }

    static VEK_raw_framebuffer_device_t *Raw(framebuffer_device_t *psFb) {
        return reinterpret_cast<VEK_raw_framebuffer_device_t *>(psFb);
    }

    /* What a failed open must leave: nothing. */
    void ExpectNothingLive() {
        EXPECT_EQ(0u, zolsim_live_allocations());
        EXPECT_EQ(0u, zolsim_live_flipchains());
        EXPECT_EQ(nullptr, Private()->psMapList);
        EXPECT_EQ(nullptr, psHMI->base.psFrameBufferDevice);
        EXPECT_EQ(0u, zolsim_fbdev_open_count());
    }

    int OpenFails() {
        hw_device_t *psDevice = reinterpret_cast<hw_device_t *>(0x1);
        int iErr = Open(GRALLOC_HARDWARE_FB0, &psDevice);
        EXPECT_EQ(reinterpret_cast<hw_device_t *>(0x1), psDevice) << "a failed open hands out nothing";
        return iErr;
    }

    Display sDisplay;
    alloc_device_t *psAlloc = nullptr;
};

TEST_F(FbTest, DescribesTheDisplay) {
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    EXPECT_EQ((uint32_t)HARDWARE_DEVICE_TAG, psFb->common.tag);
    EXPECT_EQ(0u, psFb->common.version);
    EXPECT_EQ(psModule, psFb->common.module);
    EXPECT_NE(nullptr, psFb->common.close);
    EXPECT_EQ(0u, psFb->flags);
    EXPECT_EQ(800u, psFb->width);
    EXPECT_EQ(480u, psFb->height);
    EXPECT_EQ(800, psFb->stride);
    EXPECT_EQ(HAL_PIXEL_FORMAT_RGB_565, psFb->format);
    EXPECT_NEAR(131.948f, psFb->xdpi, 0.001f);
    EXPECT_NEAR(132.522f, psFb->ydpi, 0.001f);
    EXPECT_FLOAT_EQ(68.0f, psFb->fps) << "no framebuffer node: the hint's default";
    EXPECT_EQ(0, psFb->minSwapInterval);
    EXPECT_EQ(1, psFb->maxSwapInterval);
    EXPECT_EQ(nullptr, psFb->setUpdateRect);
    EXPECT_EQ(nullptr, psFb->dump);
    EXPECT_EQ(nullptr, psFb->enableScreen);
    EXPECT_EQ(0, reinterpret_cast<VEK_framebuffer_device_public_t *>(psFb)->bBypassPost);
    EXPECT_EQ(reinterpret_cast<VEK_framebuffer_device_public_t *>(psFb), psHMI->base.psFrameBufferDevice);
    EXPECT_EQ(2u, Raw(psFb)->base.ui32NumBuffers);
    EXPECT_EQ(0u, Raw(psFb)->ui32AllocMask);

    ZOLSIM_FLIPCHAIN_RECORD sChain;
    ASSERT_TRUE(zolsim_last_flipchain(&sChain));
    EXPECT_EQ(0ul, sChain.ulFlags);
    EXPECT_EQ(2ul, sChain.ulNumBuffers);
    EXPECT_EQ(800ul, sChain.ulWidth);
    EXPECT_EQ(480ul, sChain.ulHeight);
    EXPECT_EQ(ZOL2D_PIXEL_FORMAT_RGB565, sChain.eFormat);
    EXPECT_TRUE(sChain.bStrideGiven);
    EXPECT_FALSE(sChain.bFlipChainIDGiven);
    EXPECT_EQ(0, framebuffer_close(psFb));
}

TEST_F(FbTest, DisplayBufferHandlesAndEntries) {
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    for (VEK_UINT32 i = 0; i < Raw(psFb)->base.ui32NumBuffers; i++) {
        const VEK_native_handle_t *ps = Raw(psFb)->ppsBufferHandles[i];
        EXPECT_EQ(12, ps->base.version);
        EXPECT_EQ(1, ps->base.numFds);
        EXPECT_EQ(9, ps->base.numInts);
        EXPECT_EQ(-2, ps->fd[0]);
        EXPECT_EQ(-2, ps->fd[1]);
        EXPECT_EQ(-2, ps->fd[2]);
        EXPECT_EQ(GRALLOC_USAGE_HW_FB, ps->usage);
        EXPECT_EQ(0, ps->iWidth);
        EXPECT_EQ(0u, ps->uiBpp);
        ZOLSRV_CLIENT_MEM_INFO *psMem = zolsim_meminfo_by_stamp(ps->ui64Stamp);
        ASSERT_NE(nullptr, psMem) << "the stamp of the display buffer's memory";
        bool bFound = false;
        for (VEK_mapper_meminfo_t *psE = Private()->psMapList; psE != nullptr; psE = psE->psNext) {
            if (psE->ui64Stamp != ps->ui64Stamp) continue;
            bFound = true;
            EXPECT_EQ(psMem, psE->apsMemInfo[0]);
            EXPECT_EQ(nullptr, psE->apsMemInfo[1]);
            ASSERT_NE(nullptr, psE->hMemInfo);
            EXPECT_EQ(psMem, static_cast<ZOL2DMEMINFO *>(psE->hMemInfo)->hPrivateData);
            EXPECT_TRUE(psE->bAllocatedByThisProcess);
        }
        EXPECT_TRUE(bFound);
    }
    EXPECT_EQ(0, framebuffer_close(psFb));
}

class Argb8888Display : public FbTest {
    void ConfigureDisplay(Display &s) override {
        s.sInfo.eFormat = ZOL2D_PIXEL_FORMAT_ARGB8888;
        s.sInfo.lStride = 3200;
        s.sMisc.ulPhysicalWidthmm = 0;
        s.sMisc.ulPhysicalHeightmm = 0;
    }
};

TEST_F(Argb8888Display, IsBgra8888WithFourBytesAPixelAndDefaultDensity) {
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    EXPECT_EQ(HAL_PIXEL_FORMAT_BGRA_8888, psFb->format);
    EXPECT_EQ(800, psFb->stride);
    EXPECT_FLOAT_EQ(144.0f, psFb->xdpi);
    EXPECT_FLOAT_EQ(144.0f, psFb->ydpi);
    EXPECT_EQ(0, framebuffer_close(psFb));
}

class UnsupportedDisplayFormat : public FbTest, public ::testing::WithParamInterface<unsigned long> {
    void ConfigureDisplay(Display &s) override { s.sInfo.eFormat = GetParam(); }
};

TEST_P(UnsupportedDisplayFormat, FailsTheOpen) {
    EXPECT_EQ(-EFAULT, OpenFails());
    ExpectNothingLive();
    EXPECT_EQ(0u, zolsim_calls("ZOL2DCreateFlipChain"));
}

INSTANTIATE_TEST_SUITE_P(Formats, UnsupportedDisplayFormat, ::testing::Values(0ul, 2ul, 3ul, 5ul, 6ul, 1000ul));

/* ---- Refresh rate ---- */

class RefreshRateTest : public FbTest {
protected:
    struct fb_var_screeninfo Timings() {
        struct fb_var_screeninfo s;
        memset(&s, 0, sizeof(s));
        s.xres = 800;
        s.yres = 480;
        s.left_margin = 40;
        s.right_margin = 40;
        s.hsync_len = 48;
        s.upper_margin = 13;
        s.lower_margin = 29;
        s.vsync_len = 3;
        s.pixclock = 30000;
        return s;
    }
};

class TimedNode : public RefreshRateTest {
    void ConfigureDisplay(Display &) override {
        struct fb_var_screeninfo s = Timings();
        zolsim_set_fb_var_screeninfo(&s, 0);
    }
};

TEST_F(TimedNode, FpsComesFromTheTimingsInThousandthsOfAHertz) {
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    /* 10^15 / (928 * 525 * 30000) = 68418.2..., cut to 68418 thousandths. */
    EXPECT_FLOAT_EQ(68.418f, psFb->fps);
    EXPECT_EQ(O_RDWR, zolsim_fbdev_last_open_flags()) << "opened read-write, nothing more";
    EXPECT_EQ(0u, zolsim_fbdev_open_count()) << "the node is closed again";
    EXPECT_EQ(0, framebuffer_close(psFb));
}

class FailingNode : public RefreshRateTest {
    void ConfigureDisplay(Display &) override {
        struct fb_var_screeninfo s = Timings();
        zolsim_set_fb_var_screeninfo(&s, 1);
        zolsim_set_app_hint("HALFrameBufferHz", 57);
    }
};

TEST_F(FailingNode, FpsFallsBackToTheHint) {
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    EXPECT_FLOAT_EQ(57.0f, psFb->fps);
    EXPECT_EQ(0u, zolsim_fbdev_open_count());
    EXPECT_EQ(0, framebuffer_close(psFb));
}

class NodeWithoutClock : public RefreshRateTest {
    void ConfigureDisplay(Display &) override {
        struct fb_var_screeninfo s = Timings();
        s.pixclock = 0;
        zolsim_set_fb_var_screeninfo(&s, 0);
    }
};

TEST_F(NodeWithoutClock, ZeroDivisorFallsBackToTheHint) {
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    EXPECT_FLOAT_EQ(68.0f, psFb->fps);
    EXPECT_EQ(0, framebuffer_close(psFb));
}

/* ---- Buffer counts against the chain ---- */

class FlipWithMaxBuffers : public FbTest {
    void ConfigureDisplay(Display &) override { zolsim_set_app_hint("HALNumFrameBuffers", 3); }
};

TEST_F(FlipWithMaxBuffers, AcceptsAsManyAsTheChainHolds) {
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    EXPECT_EQ(3u, Raw(psFb)->base.ui32NumBuffers);
    EXPECT_EQ(3u, zolsim_live_allocations());
    EXPECT_EQ(0, framebuffer_close(psFb));
    ExpectNothingLive();
}

class FlipWithTooManyBuffers : public FbTest {
    void ConfigureDisplay(Display &) override { zolsim_set_app_hint("HALNumFrameBuffers", 4); }
};

TEST_F(FlipWithTooManyBuffers, RefusesOneMoreThanTheChainHolds) {
    EXPECT_EQ(-EFAULT, OpenFails());
    ExpectNothingLive();
}

class BlitWithManyBuffers : public FbTest {
    void ConfigureDisplay(Display &d) override {
        d.sInfo.ulMaxBuffersInChain = 5; /* the display takes them all */
        zolsim_set_app_hint("HALPresentMode", 1);
        zolsim_set_app_hint("HALNumFrameBuffers", 5);
    }
};

TEST_F(BlitWithManyBuffers, PassesAnyCountAndFreesEachBufferOnClose) {
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    EXPECT_EQ(5u, Raw(psFb)->base.ui32NumBuffers);
    EXPECT_EQ(0, framebuffer_close(psFb));
    EXPECT_EQ(5u, zolsim_calls("ZOL2DMemFree"));
    EXPECT_EQ(0u, zolsim_calls("ZOL2DDestroyFlipChain"));
    ExpectNothingLive();
}

/* More buffers than the display takes, in blit mode too: refused as the 2D library would refuse
   them, without asking it. */
class BlitWithTooManyBuffers : public FbTest {
    void ConfigureDisplay(Display &) override {
        zolsim_set_app_hint("HALPresentMode", 1);
        zolsim_set_app_hint("HALNumFrameBuffers", 4);
    }
};

TEST_F(BlitWithTooManyBuffers, AreRefusedWithoutAChainRequest) {
    EXPECT_EQ(-EFAULT, OpenFails());
    EXPECT_EQ(0u, zolsim_calls("ZOL2DCreateFlipChain"));
    ExpectNothingLive();
}

/* ---- Failing steps of the open release exactly what was made ---- */

struct OpenFault {
    const char *pszName;
    const char *pszFunction;
    int iPresentMode;
    int iExpected;
};

class OpenFaultTest : public FbTest, public ::testing::WithParamInterface<OpenFault> {
    void ConfigureDisplay(Display &) override {
        zolsim_set_app_hint("HALPresentMode", GetParam().iPresentMode);
        zolsim_set_app_hint("HALNumFrameBuffers", 3);
        const char *pszFunction = GetParam().pszFunction;
        if (strcmp(pszFunction, "stride") == 0)
            zolsim_set_flipchain_stride_override(1700);
        else if (strcmp(pszFunction, "count") == 0)
            zolsim_set_flipchain_count_override(2);
        else if (strcmp(pszFunction, "handle") != 0 && strcmp(pszFunction, "sync") != 0)
            zolsim_fail(pszFunction, 1, ZOL2DERROR_GENERIC_ERROR);
    }
};

TEST_P(OpenFaultTest, ReleasesWhatWasMade) {
    if (strcmp(GetParam().pszFunction, "handle") == 0) FailNativeHandleCreate(2);
    buffer_handle_t hOther = nullptr;
    if (strcmp(GetParam().pszFunction, "sync") == 0) {
        /* A buffer whose synchronisation object the second display buffer will share. */
        int iStride;
        ASSERT_EQ(0, Alloc()->alloc(psAlloc, 8, 8, HAL_PIXEL_FORMAT_RGB_565, 0, &hOther, &iStride));
        zolsim_share_sync_with_next(MemInfo(hOther));
    }
    EXPECT_EQ(GetParam().iExpected, OpenFails());
    if (hOther != nullptr) {
        EXPECT_EQ(1u, zolsim_live_allocations()) << "only the unrelated buffer stays";
        ASSERT_NE(nullptr, Private()->psMapList);
        EXPECT_EQ(nullptr, Private()->psMapList->psNext);
        EXPECT_EQ(0, psAlloc->free(psAlloc, hOther));
    }
    ExpectNothingLive();

    /* The module stays usable: the next open succeeds. */
    zolsim_set_flipchain_stride_override(0);
    zolsim_set_flipchain_count_override(-1);
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    EXPECT_EQ(0, framebuffer_close(psFb));
    ExpectNothingLive();
}

INSTANTIATE_TEST_SUITE_P(Steps, OpenFaultTest,
                         ::testing::Values(OpenFault{"DeviceInfo", "ZOL2DGetDeviceInfo", 0, -EFAULT},
                                           OpenFault{"MiscDisplayInfo", "ZOL2DGetMiscDisplayInfo", 0, -EFAULT},
                                           OpenFault{"CreateFlipChain", "ZOL2DCreateFlipChain", 0, -EFAULT},
                                           OpenFault{"FlipChainStrideFlip", "stride", 0, -EFAULT},
                                           OpenFault{"FlipChainStrideBlit", "stride", 1, -EFAULT},
                                           OpenFault{"FlipChainStrideFront", "stride", 2, -EFAULT},
                                           OpenFault{"GetFlipChainBuffersFlip", "ZOL2DGetFlipChainBuffers", 0, -EFAULT},
                                           OpenFault{"GetFlipChainBuffersBlit", "ZOL2DGetFlipChainBuffers", 1, -EFAULT},
                                           OpenFault{"FlipChainCount", "count", 0, -EFAULT},
                                           OpenFault{"FlipChainCountBlit", "count", 1, -EFAULT},
                                           OpenFault{"FlipChainCountFront", "count", 2, -EFAULT},
                                           OpenFault{"SecondHandleFlip", "handle", 0, -ENOMEM},
                                           OpenFault{"SecondHandleBlit", "handle", 1, -ENOMEM},
                                           OpenFault{"SharedSyncObject", "sync", 0, -EFAULT}),
                         [](const ::testing::TestParamInfo<OpenFault> &info) {
                             return std::string(info.param.pszName);
                         });

/* ---- Close ---- */

TEST_F(FbTest, CloseReleasesEverythingButTheModuleContext) {
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    int (*pfnClose)(hw_device_t *) = psFb->common.close;
    EXPECT_EQ(0, framebuffer_close(psFb));
    ExpectNothingLive();
    EXPECT_EQ(1u, zolsim_calls("ZOL2DDestroyFlipChain"));
    EXPECT_EQ(0u, zolsim_calls("ZOL2DDestroyDeviceContext")) << "start-up owns the 2D context";
    EXPECT_EQ(-EINVAL, pfnClose(nullptr));
    EXPECT_EQ(1u, zolsim_live_contexts());
    /* With the device gone, the allocator has no display buffers to hand out. */
    buffer_handle_t h = nullptr;
    int iStride = 0;
    EXPECT_EQ(-EFAULT, Alloc()->alloc(psAlloc, 800, 480, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &h, &iStride));
}

TEST_F(FbTest, CloseWithALockedDisplayBufferChangesNothing) {
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    VEK_mapper_meminfo_t *psEntry = Private()->psMapList;
    ASSERT_NE(nullptr, psEntry);
    psEntry->ui32LockCount = 1;
    EXPECT_EQ(-EFAULT, framebuffer_close(psFb));
    EXPECT_EQ(2u, zolsim_live_allocations());
    EXPECT_EQ(0u, zolsim_calls("ZOL2DDestroyFlipChain"));
    EXPECT_EQ(reinterpret_cast<VEK_framebuffer_device_public_t *>(psFb), psHMI->base.psFrameBufferDevice);

    /* Still usable: a display buffer can be taken and given back. */
    buffer_handle_t h = nullptr;
    int iStride = 0;
    EXPECT_EQ(0, Alloc()->alloc(psAlloc, 800, 480, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &h, &iStride));
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    psEntry->ui32LockCount = 0;
    EXPECT_EQ(0, framebuffer_close(psFb));
    ExpectNothingLive();
}

class FrontMode : public FbTest {
    void ConfigureDisplay(Display &) override { zolsim_set_app_hint("HALPresentMode", 2); }
};

TEST_F(FrontMode, OneBufferEveryAllocationAndTheChainGoesOnClose) {
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    EXPECT_EQ(1u, Raw(psFb)->base.ui32NumBuffers);
    buffer_handle_t h1 = nullptr, h2 = nullptr;
    int iStride = 0;
    EXPECT_EQ(0, Alloc()->alloc(psAlloc, 800, 480, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &h1, &iStride));
    EXPECT_EQ(0, psAlloc->alloc(psAlloc, 800, 480, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &h2, &iStride));
    EXPECT_EQ(h1, h2) << "the one buffer, whether or not it is handed out";
    EXPECT_EQ(0, psAlloc->free(psAlloc, h1));
    EXPECT_EQ(-EINVAL, psAlloc->free(psAlloc, h2)) << "its slot is free already";
    EXPECT_EQ(0, framebuffer_close(psFb));
    ExpectNothingLive();
}

TEST_F(FbTest, OpenCloseCyclesLeaveNothingLive) {
    for (int i = 0; i < 16; i++) {
        framebuffer_device_t *psFb = OpenFb();
        ASSERT_NE(nullptr, psFb);
        buffer_handle_t h = nullptr;
        int iStride = 0;
        ASSERT_EQ(0, Alloc()->alloc(psAlloc, 800, 480, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &h, &iStride));
        buffer_handle_t hPlain = nullptr;
        ASSERT_EQ(0, psAlloc->alloc(psAlloc, 64, 64, HAL_PIXEL_FORMAT_BGRA_8888, 0, &hPlain, &iStride));
        ASSERT_EQ(0, psAlloc->free(psAlloc, hPlain));
        ASSERT_EQ(0, psAlloc->free(psAlloc, h));
        ASSERT_EQ(0, framebuffer_close(psFb));
    }
    ExpectNothingLive();
    EXPECT_EQ(0u, zolsim_live_exported_fds());
}

/* ---- Slots ---- */

class ThreeSlots : public FbTest {
    void ConfigureDisplay(Display &) override { zolsim_set_app_hint("HALNumFrameBuffers", 3); }
};

TEST_F(ThreeSlots, AreHandedOutLowestFirstAndReused) {
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    buffer_handle_t ah[3];
    for (int i = 0; i < 3; i++) {
        int iStride = 0;
        ASSERT_EQ(0,
                  Alloc()->alloc(psAlloc, 10 + i, 20, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &ah[i], &iStride));
        EXPECT_EQ(&Raw(psFb)->ppsBufferHandles[i]->base, ah[i]) << "slot " << i;
        EXPECT_EQ(800, iStride) << "the display's stride whatever the width asked";
        EXPECT_EQ(10 + i, AsVek(ah[i])->iWidth);
        EXPECT_EQ(20, AsVek(ah[i])->iHeight);
        EXPECT_EQ(HAL_PIXEL_FORMAT_RGB_565, AsVek(ah[i])->iFormat);
        EXPECT_EQ(16u, AsVek(ah[i])->uiBpp);
    }
    EXPECT_EQ(7u, Raw(psFb)->ui32AllocMask);
    buffer_handle_t h = nullptr;
    int iStride = -3;
    EXPECT_EQ(-ENOMEM, psAlloc->alloc(psAlloc, 800, 480, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &h, &iStride));
    EXPECT_EQ(nullptr, h);
    EXPECT_EQ(-3, iStride);
    EXPECT_EQ(7u, Raw(psFb)->ui32AllocMask);

    EXPECT_EQ(0, psAlloc->free(psAlloc, ah[0]));
    EXPECT_EQ(6u, Raw(psFb)->ui32AllocMask);
    EXPECT_EQ(0, psAlloc->alloc(psAlloc, 800, 480, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &h, &iStride));
    EXPECT_EQ(ah[0], h);

    /* Not a handed-out slot's handle: a copy, a foreign handle, a freed slot. */
    native_handle_t *psCopy = CopyHandle(ah[1]);
    EXPECT_EQ(-EINVAL, psAlloc->free(psAlloc, psCopy));
    native_handle_delete(psCopy);
    EXPECT_EQ(0, psAlloc->free(psAlloc, ah[2]));
    EXPECT_EQ(-EINVAL, psAlloc->free(psAlloc, ah[2]));
    EXPECT_EQ(3u, Raw(psFb)->ui32AllocMask);
    EXPECT_EQ(0, framebuffer_close(psFb));
}

TEST_F(ThreeSlots, DisplayBuffersAreZeroFilledWhenHandedOut) {
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    buffer_handle_t h = nullptr;
    int iStride = 0;
    ASSERT_EQ(0, Alloc()->alloc(psAlloc, 800, 480, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &h, &iStride));
    const ZOLSRV_CLIENT_MEM_INFO *psMem = MemInfo(h);
    ASSERT_NE(nullptr, psMem);
    const unsigned char *pc = static_cast<const unsigned char *>(psMem->pvLinAddr);
    size_t uNonZero = 0;
    for (size_t i = 0; i < psMem->uAllocSize; i++) uNonZero += pc[i] != 0;
    EXPECT_EQ(0u, uNonZero);
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    EXPECT_EQ(0, framebuffer_close(psFb));
}

class FortySlots : public FbTest {
    void ConfigureDisplay(Display &d) override {
        d.sInfo.ulMaxBuffersInChain = 40; /* the display takes them all */
        zolsim_set_app_hint("HALPresentMode", 1);
        zolsim_set_app_hint("HALNumFrameBuffers", 40);
    }
};

TEST_F(FortySlots, OnlyThirtyTwoCanBeHandedOut) {
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    buffer_handle_t ah[32];
    for (int i = 0; i < 32; i++) {
        int iStride = 0;
        ASSERT_EQ(0, Alloc()->alloc(psAlloc, 800, 480, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &ah[i], &iStride))
            << "slot " << i;
    }
    EXPECT_EQ(0xffffffffu, Raw(psFb)->ui32AllocMask);
    buffer_handle_t h = nullptr;
    int iStride = 0;
    EXPECT_EQ(-ENOMEM, psAlloc->alloc(psAlloc, 800, 480, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &h, &iStride));
    /* The handle of slot 32 is never recognised as handed out. */
    EXPECT_EQ(-EINVAL, psAlloc->free(psAlloc, &Raw(psFb)->ppsBufferHandles[32]->base));
    for (buffer_handle_t hSlot : ah) EXPECT_EQ(0, psAlloc->free(psAlloc, hSlot));
    EXPECT_EQ(0, framebuffer_close(psFb));
    ExpectNothingLive();
}

TEST_F(FbTest, DisplayBufferFreeWithoutFramebufferIsAFault) {
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    buffer_handle_t h = nullptr;
    int iStride = 0;
    ASSERT_EQ(0, Alloc()->alloc(psAlloc, 800, 480, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &h, &iStride));
    native_handle_t *psCopy = CopyHandle(h);
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    EXPECT_EQ(0, framebuffer_close(psFb));
    EXPECT_EQ(-EFAULT, psAlloc->free(psAlloc, psCopy));
    native_handle_delete(psCopy);
}

/* A display takes as many flip chains as it reports: a second "fb0" on a display of one asks the
   2D library for a chain it cannot have, and fails as a failed chain does; the first device goes
   on. On a display of two, the second open gets its chain and becomes the module's device. */
TEST_F(FbTest, ASecondOpenNeedsADisplayThatTakesASecondChain) {
    framebuffer_device_t *psFirst = OpenFb();
    ASSERT_NE(nullptr, psFirst);
    const unsigned uiCreates = zolsim_calls("ZOL2DCreateFlipChain");
    EXPECT_EQ(-EFAULT, OpenFails());
    EXPECT_EQ(uiCreates, zolsim_calls("ZOL2DCreateFlipChain")) << "the display reports that it takes one chain";
    EXPECT_EQ(reinterpret_cast<VEK_framebuffer_device_public_t *>(psFirst), psHMI->base.psFrameBufferDevice);
    EXPECT_EQ(1u, zolsim_live_flipchains());
    EXPECT_EQ(0, framebuffer_close(psFirst));
}

class TwoChainDisplay : public FbTest {
    void ConfigureDisplay(Display &s) override { s.sInfo.ulMaxFlipChains = 2; }
};

TEST_F(TwoChainDisplay, ASecondOpenGetsItsOwnChainAndBecomesTheModulesDevice) {
    framebuffer_device_t *psFirst = OpenFb();
    framebuffer_device_t *psSecond = OpenFb();
    ASSERT_NE(nullptr, psFirst);
    ASSERT_NE(nullptr, psSecond);
    EXPECT_EQ(2u, zolsim_live_flipchains());
    EXPECT_NE(Raw(psFirst)->hFlipChain, Raw(psSecond)->hFlipChain);
    EXPECT_EQ(reinterpret_cast<VEK_framebuffer_device_public_t *>(psSecond), psHMI->base.psFrameBufferDevice);
    buffer_handle_t h = nullptr;
    int iStride = 0;
    ASSERT_EQ(0, Alloc()->alloc(psAlloc, 800, 480, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &h, &iStride));
    EXPECT_EQ(Raw(psSecond)->ppsBufferHandles[0], AsVek(h)) << "display buffers come from the newer device";
    EXPECT_EQ(0, psSecond->post(psSecond, h));
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    EXPECT_EQ(-EFAULT, OpenFails()) << "the display takes no third chain";
    EXPECT_EQ(0, framebuffer_close(psSecond));
    /* The device still open serves the allocator again. */
    EXPECT_EQ(reinterpret_cast<VEK_framebuffer_device_public_t *>(psFirst), psHMI->base.psFrameBufferDevice);
    ASSERT_EQ(0, Alloc()->alloc(psAlloc, 800, 480, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB, &h, &iStride));
    EXPECT_EQ(Raw(psFirst)->ppsBufferHandles[0], AsVek(h));
    EXPECT_EQ(0, psFirst->post(psFirst, h));
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    framebuffer_device_t *psThird = OpenFb();
    ASSERT_NE(nullptr, psThird) << "the closed device's chain is the display's again";
    EXPECT_EQ(0, framebuffer_close(psFirst));
    EXPECT_EQ(reinterpret_cast<VEK_framebuffer_device_public_t *>(psThird), psHMI->base.psFrameBufferDevice)
        << "an older device's close leaves the newest published";
    EXPECT_EQ(0, framebuffer_close(psThird));
    EXPECT_EQ(nullptr, psHMI->base.psFrameBufferDevice);
    EXPECT_EQ(0u, zolsim_live_flipchains());
}

}  // namespace
