/* The format registry and the generic formats' hooks. */
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "hal.h"
#include "no_misuse.h"
#include "zolsim/control.h"

extern "C" VEK_gralloc_module_t HMI;

namespace {

TEST(FormatRegistryTest, ListsTheGenericRowsInTableOrderThenTheVideoFormat) {
    NoMisuse sNoMisuse;
    struct {
        const char *pszName;
        int iHal, iZirva;
        unsigned uiBpp;
        int bRenderable;
        VEK_UINT32 ui32TwoD;
    } asExpected[] = {
        {"BGRA_8888", HAL_PIXEL_FORMAT_BGRA_8888, 2, 32, 1, 0x80000014},
        {"RGBA_8888", HAL_PIXEL_FORMAT_RGBA_8888, 4, 32, 0, 0x80000015},
        {"BGRX_8888", 0x1ff, 9, 32, 1, 0x80000014},
        {"RGBX_8888", HAL_PIXEL_FORMAT_RGBX_8888, 5, 32, 0, 0x80000015},
        {"RGB_565", HAL_PIXEL_FORMAT_RGB_565, 0, 16, 1, 0x80000001},
        {"YV12", HAL_PIXEL_FORMAT_YV12, 8, 12, 0, 0},
    };
    const VEK_buffer_format_public_t *ps = HMI.GetBufferFormats();
    for (const auto &sRow : asExpected) {
        ASSERT_NE(nullptr, ps) << "missing " << sRow.pszName;
        EXPECT_STREQ(sRow.pszName, ps->szName);
        EXPECT_EQ(sRow.iHal, ps->iHalPixelFormat) << sRow.pszName;
        EXPECT_EQ(sRow.iZirva, ps->iZIRVAPixelFormat) << sRow.pszName;
        EXPECT_EQ(sRow.uiBpp, ps->uiBpp) << sRow.pszName;
        EXPECT_EQ(sRow.bRenderable, ps->bGPURenderable) << sRow.pszName;
        const VEK_buffer_format_t *psFormat = reinterpret_cast<const VEK_buffer_format_t *>(ps);
        EXPECT_EQ(sRow.ui32TwoD, psFormat->iZOL2DFormat) << sRow.pszName;
        EXPECT_FALSE(psFormat->bSkipMemset);
        EXPECT_EQ(nullptr, psFormat->pfnGetPhyAddrs);
        EXPECT_EQ(psFormat, GetBufferFormat(sRow.iHal)) << "look-up by the Android format";
        ps = ps->psNext;
    }
    ASSERT_NE(nullptr, ps) << "the video format follows the generic rows";
    EXPECT_STREQ("C110_NV12", ps->szName);
    EXPECT_EQ(0x100, ps->iHalPixelFormat);
    EXPECT_EQ(6, ps->iZIRVAPixelFormat);
    EXPECT_EQ(12u, ps->uiBpp);
    EXPECT_EQ(0, ps->bGPURenderable);
    EXPECT_EQ(ps, &GetBufferFormat(0x100)->base);
    EXPECT_EQ(nullptr, ps->psNext) << "and ends the registry";
}

TEST(FormatRegistryTest, UnknownFormatsHaveNoRecord) {
    NoMisuse sNoMisuse;
    for (int iFormat : std::initializer_list<int>{0, HAL_PIXEL_FORMAT_RGB_888, 0x101, 0x1fe, -1})
        EXPECT_EQ(nullptr, GetBufferFormat(iFormat));
}

class GenericHookTest : public ::testing::Test {
protected:
    void SetUp() override { zolsim_reset(); }
    static VEK_private_data_t *Priv() { return &HMI.sPrivateData; }
    static const VEK_buffer_format_t *Bgra() { return GetBufferFormat(HAL_PIXEL_FORMAT_BGRA_8888); }

private:
    NoMisuse sNoMisuse_;
};

TEST_F(GenericHookTest, AllocLeavesOnePlaneAndTheGeometryUnchanged) {
    ZOLSRV_CLIENT_MEM_INFO *aps[3] = {nullptr, reinterpret_cast<ZOLSRV_CLIENT_MEM_INFO *>(1),
                                      reinterpret_cast<ZOLSRV_CLIENT_MEM_INFO *>(1)};
    int aiFd[3] = {-5, -5, -5};
    int iWidth = 100, iHeight = 100, iStride = 128, iUsage = 0x33;
    ASSERT_EQ(0, Bgra()->pfnAlloc(&Priv()->sDevData, Priv()->hGeneralHeap, &iWidth, &iHeight, &iStride, &iUsage, 16,
                                  0x10001003, aps, aiFd));
    EXPECT_EQ(100, iWidth);
    EXPECT_EQ(100, iHeight);
    EXPECT_EQ(128, iStride);
    EXPECT_EQ(0x33, iUsage);
    ASSERT_NE(nullptr, aps[0]);
    EXPECT_EQ(nullptr, aps[1]);
    EXPECT_EQ(nullptr, aps[2]);
    EXPECT_GE(aiFd[0], 0);
    EXPECT_EQ(-1, aiFd[1]);
    EXPECT_EQ(-1, aiFd[2]);
    EXPECT_EQ(0, Bgra()->pfnFree(&Priv()->sDevData, aps, aiFd));
    EXPECT_EQ(0u, zolsim_live_allocations());
    EXPECT_EQ(0u, zolsim_live_exported_fds());
}

TEST_F(GenericHookTest, FailedAllocLeavesTheOtherSlotsAlone) {
    ZOLSRV_CLIENT_MEM_INFO *psMarker = reinterpret_cast<ZOLSRV_CLIENT_MEM_INFO *>(1);
    ZOLSRV_CLIENT_MEM_INFO *aps[3] = {nullptr, psMarker, psMarker};
    int aiFd[3] = {-5, -5, -5};
    int iWidth = 8, iHeight = 8, iStride = 32, iUsage = 0;
    zolsim_fail("ZOLSRVAllocDeviceMem2", 1, ZOLSRV_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(-ENOMEM, Bgra()->pfnAlloc(&Priv()->sDevData, Priv()->hGeneralHeap, &iWidth, &iHeight, &iStride, &iUsage,
                                        32, 0x10000001, aps, aiFd));
    zolsim_fail("ZOLSRVExportDeviceMem2", 1, ZOLSRV_ERROR_GENERIC);
    EXPECT_EQ(-EFAULT, Bgra()->pfnAlloc(&Priv()->sDevData, Priv()->hGeneralHeap, &iWidth, &iHeight, &iStride, &iUsage,
                                        32, 0x10000001, aps, aiFd));
    EXPECT_EQ(psMarker, aps[1]);
    EXPECT_EQ(-5, aiFd[1]);
    EXPECT_EQ(0u, zolsim_live_allocations()) << "the unexported memory was released again";
}

TEST_F(GenericHookTest, FreeFailingHalfWayLeavesOnlyThePlanesStillHeld) {
    ZOLSRV_CLIENT_MEM_INFO *apsNone[3] = {nullptr, nullptr, nullptr};
    int aiNone[3] = {-1, -1, -1};
    EXPECT_EQ(0, Bgra()->pfnFree(&Priv()->sDevData, apsNone, aiNone)) << "nothing to release";
    EXPECT_EQ(0u, zolsim_calls("ZOLSRVFreeDeviceMem"));

    ZOLSRV_CLIENT_MEM_INFO *aps[3] = {nullptr, nullptr, nullptr};
    int aiFd[3] = {-1, -1, -1};
    int iWidth = 8, iHeight = 8, iStride = 32, iUsage = 0;
    for (int i = 0; i < 2; i++) {
        ZOLSRV_CLIENT_MEM_INFO *apsOne[3];
        int aiOne[3];
        ASSERT_EQ(0, Bgra()->pfnAlloc(&Priv()->sDevData, Priv()->hGeneralHeap, &iWidth, &iHeight, &iStride, &iUsage, 32,
                                      0x10000001, apsOne, aiOne));
        aps[i] = apsOne[0];
        aiFd[i] = aiOne[0];
    }
    ZOLSRV_CLIENT_MEM_INFO *psFirst = aps[0];
    const int iSecondFd = aiFd[1];
    zolsim_fail("ZOLSRVFreeDeviceMem", 2, ZOLSRV_ERROR_GENERIC);
    EXPECT_EQ(-EFAULT, Bgra()->pfnFree(&Priv()->sDevData, aps, aiFd));
    /* The last plane went first and left its slots; the first plane failed and stays whole. */
    EXPECT_EQ(nullptr, aps[1]);
    EXPECT_EQ(-1, aiFd[1]);
    EXPECT_EQ(-1, fcntl(iSecondFd, F_GETFD)) << "the released plane's descriptor is closed";
    EXPECT_EQ(psFirst, aps[0]);
    EXPECT_GE(fcntl(aiFd[0], F_GETFD), 0) << "the failing plane keeps its descriptor";
    EXPECT_EQ(1u, zolsim_live_allocations());

    /* A second release frees what is left, and nothing twice. */
    EXPECT_EQ(0, Bgra()->pfnFree(&Priv()->sDevData, aps, aiFd));
    EXPECT_EQ(0u, zolsim_live_allocations());
    EXPECT_EQ(nullptr, aps[0]);
    EXPECT_EQ(-1, aiFd[0]);
    EXPECT_EQ(3u, zolsim_calls("ZOLSRVFreeDeviceMem"));
}

TEST_F(GenericHookTest, CacheCleanAsksForADeferredCleanOfNoBufferInParticular) {
    VEK_write_lock_rect_t sRect = {1, 2, 3, 4};
    ZOLSRV_CLIENT_MEM_INFO *aps[3] = {nullptr, nullptr, nullptr};
    ASSERT_EQ(0, Bgra()->pfnFlushCache(nullptr, Priv()->sDevData.psConnection, aps, &sRect));
    ZOLSRV_MISC_INFO sRequest;
    ASSERT_TRUE(zolsim_last_misc_info(&sRequest));
    EXPECT_EQ(0x20u, sRequest.ui32StateRequest);
    EXPECT_TRUE(sRequest.sCacheOpCtl.bDeferOp);
    EXPECT_EQ(ZOLSRV_MISC_INFO_CPUCACHEOP_CLEAN, sRequest.sCacheOpCtl.eCacheOpType);
    EXPECT_EQ(nullptr, sRequest.sCacheOpCtl.psClientMemInfo);
    EXPECT_EQ(nullptr, sRequest.sCacheOpCtl.pvBaseVAddr);
    EXPECT_EQ(0u, sRequest.sCacheOpCtl.ui32Length);
    EXPECT_EQ(nullptr, sRequest.hOSGlobalEvent);

    zolsim_fail("ZOLSRVGetMiscInfo", 1, ZOLSRV_ERROR_GENERIC);
    EXPECT_EQ(-EFAULT, Bgra()->pfnFlushCache(nullptr, Priv()->sDevData.psConnection, aps, &sRect));
}

TEST_F(GenericHookTest, ComputeParamsKnowsOnlyPlaneZero) {
    int iWidth = 640, iHeight = 480, iStride = 1280;
    EXPECT_EQ(0, Bgra()->pfnComputeParams(0, &iWidth, &iHeight, &iStride));
    EXPECT_EQ(640, iWidth);
    EXPECT_EQ(480, iHeight);
    EXPECT_EQ(1280, iStride);
    for (unsigned uiPlane : {1u, 2u, 3u}) {
        EXPECT_EQ(-EINVAL, Bgra()->pfnComputeParams(uiPlane, &iWidth, &iHeight, &iStride));
        EXPECT_EQ(640, iWidth);
        EXPECT_EQ(480, iHeight);
        EXPECT_EQ(1280, iStride);
    }
}

}  // namespace
