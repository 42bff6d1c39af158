/* Every guarded entry point in a process whose start-up failed (the connection is refused before
   the module's constructor runs). */
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include "framebuffer.h"
#include "gralloc.h"
#include "hal.h"
#include "no_misuse.h"
#include "zolsim/control.h"

extern "C" VEK_gralloc_module_t HMI;

namespace {

class UninitialisedTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(1u, zolsim_calls("ZOLSRVConnect")) << "start-up was tried";
        ASSERT_EQ(0u, zolsim_live_connections());
        uiLocks = zolsim_calls("ZOLSRVLockMutex");
    }
    void TearDown() override { EXPECT_EQ(uiLocks, zolsim_calls("ZOLSRVLockMutex")) << "no guard takes the mutex"; }

    unsigned uiLocks = 0;

private:
    NoMisuse sNoMisuse_;
};

TEST_F(UninitialisedTest, ModuleEntryPointsAnswerNotInitialised) {
    hw_device_t *psDevice = nullptr;
    EXPECT_FALSE(IsInitializedFunc("test"));
    EXPECT_EQ(-ENOTTY, HMI.base.base.common.methods->open(&HMI.base.base.common, "gpu0", &psDevice));
    EXPECT_EQ(-ENOTTY, HMI.base.base.common.methods->open(&HMI.base.base.common, "fb0", &psDevice));
    EXPECT_EQ(-ENOTTY, HMI.base.base.common.methods->open(&HMI.base.base.common, "other", &psDevice));
    EXPECT_EQ(nullptr, psDevice);
    HMI.LogSyncs(&HMI);
    EXPECT_NE(nullptr, HMI.GetBufferFormats());
}

TEST_F(UninitialisedTest, DeviceEntryPointsAnswerNotInitialised) {
    hw_device_t *psDevice = nullptr;
    EXPECT_EQ(-ENOTTY, gralloc_setup(&HMI.base.base.common, &psDevice));
    EXPECT_EQ(-ENOTTY, framebuffer_setup(&HMI.base.base.common, &psDevice));
    EXPECT_EQ(nullptr, psDevice);

    /* Device records as an earlier open would have left them. */
    alloc_device_t sAlloc;
    memset(&sAlloc, 0, sizeof(sAlloc));
    sAlloc.common.module = &HMI.base.base.common;
    VEK_native_handle_t sHandle;
    memset(&sHandle, 0, sizeof(sHandle));
    sHandle.base.version = 12;
    sHandle.base.numFds = 1;
    sHandle.base.numInts = 9;
    buffer_handle_t h = nullptr;
    int iStride = 0;
    EXPECT_EQ(-ENOTTY, gralloc_device_alloc(&sAlloc, 8, 8, HAL_PIXEL_FORMAT_RGB_565, 0, &h, &iStride));
    EXPECT_EQ(-ENOTTY, gralloc_device_alloc(nullptr, 8, 8, 0, -1, nullptr, nullptr)) << "before any check";
    EXPECT_EQ(-ENOTTY, gralloc_device_free(&sAlloc, &sHandle.base));
    EXPECT_EQ(-ENOTTY, gralloc_device_free(nullptr, nullptr));
    char szDump[16];
    memset(szDump, '#', sizeof(szDump));
    gralloc_device_dump(&sAlloc, szDump, sizeof(szDump));
    for (char c : szDump) EXPECT_EQ('#', c) << "the dump leaves the buffer untouched";

    VEK_raw_framebuffer_device_t *psRaw =
        static_cast<VEK_raw_framebuffer_device_t *>(calloc(1, sizeof(VEK_raw_framebuffer_device_t)));
    VEK_raw_framebuffer_device_t &sFb = *psRaw;
    sFb.base.base.base.common.module = &HMI.base.base.common;
    hw_device_t *psFbDevice = &sFb.base.base.base.common;
    EXPECT_EQ(-ENOTTY, framebuffer_device_open(psFbDevice));
    EXPECT_EQ(-ENOTTY, framebuffer_device_close(psFbDevice));
    VEK_native_handle_t *psSlot = nullptr;
    EXPECT_EQ(-ENOTTY, framebuffer_device_alloc(&sFb.base.base.base, 8, 8, 4, GRALLOC_USAGE_HW_FB, &psSlot, &iStride));
    EXPECT_EQ(-ENOTTY, framebuffer_device_free(&sFb.base.base.base, &sHandle));
    buffer_handle_t ahPost[1] = {nullptr};
    EXPECT_EQ(-ENOTTY, post(&sFb.base.base.base, &sHandle.base));
    EXPECT_EQ(-ENOTTY, post(nullptr, nullptr)) << "before any check";
    EXPECT_EQ(-ENOTTY, setSwapInterval(&sFb.base.base.base, 1));
    EXPECT_EQ(-ENOTTY, Post2(&sFb.base.base.base, ahPost, 1, nullptr, 0));
    EXPECT_EQ(-ENOTTY, Post2(nullptr, nullptr, -1, nullptr, 0));
    EXPECT_EQ(-ENOTTY, compositionComplete(&sFb.base.base.base));
    gbForeignGLES = VEK_TRUE;
    EXPECT_EQ(-ENOTTY, compositionComplete(&sFb.base.base.base)) << "even after giving up on the driver";
    EXPECT_EQ(0u, zolsim_calls("ZOLSRVLoadLibrary"));
    free(psRaw);
    alloc_device_t *psHeapDevice = static_cast<alloc_device_t *>(calloc(1, sizeof(alloc_device_t)));
    EXPECT_EQ(0, gralloc_device_close(&psHeapDevice->common)) << "close runs no guard";
}

TEST_F(UninitialisedTest, BufferAccessSlotsAnswerNotInitialised) {
    const gralloc_module_t *psModule = &HMI.base.base;
    EXPECT_EQ(-ENOTTY, HMI.base.base.registerBuffer(psModule, nullptr));
    EXPECT_EQ(-ENOTTY, HMI.base.base.unregisterBuffer(psModule, nullptr));
    EXPECT_EQ(-ENOTTY, HMI.base.base.lock(psModule, nullptr, 0, 0, 0, 0, 0, nullptr));
    EXPECT_EQ(-ENOTTY, HMI.base.base.unlock(psModule, nullptr));
    EXPECT_EQ(-ENOTTY, HMI.map(psModule, 1, 0, nullptr));
    EXPECT_EQ(-ENOTTY, HMI.unmap(psModule, 1));
    EXPECT_EQ(-ENOTTY, HMI.base.GetPhyAddrs(&HMI.base, nullptr, nullptr));
    EXPECT_EQ(-ENOTTY, HMI.base.Blit(&HMI.base, nullptr, nullptr, HAL_PIXEL_FORMAT_RGB_565));
    EXPECT_EQ(-ENOTTY, HMI.base.Blit2(&HMI.base, nullptr, nullptr, 1, 1, 0, 0));
}

}  // namespace
