/* Start-up, shut-down, device open and the app hints. */
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "module_fixture.h"

/* ---- Start-up choices ---- */

class StartupSelectionTest : public ModuleTest {
protected:
    void Configure() override {
        const ZOLSRV_DEVICE_IDENTIFIER asDevices[] = {
            {ZOLSRV_DEVICE_TYPE_EXT, ZOLSRV_DEVICE_CLASS_DISPLAY, 5},
            {ZOLSRV_DEVICE_TYPE_HQT, ZOLSRV_DEVICE_CLASS_3D, 2},
            {ZOLSRV_DEVICE_TYPE_HQT, ZOLSRV_DEVICE_CLASS_3D, 3},
        };
        zolsim_set_devices(asDevices, 3);
        /* The top 8 bits of a heap id do not count: only the third heap is general. */
        const VEK_UINT32 aui32Heaps[] = {0x00000005, 0xAB000001, 0xAB000000, 0x00000000};
        zolsim_set_heaps(aui32Heaps, 4);
    }
};

TEST_F(StartupSelectionTest, AcquiresFirst3DDeviceAndPicksFirstGeneralHeap) {
    EXPECT_EQ(2u, zolsim_last_acquire_index()) << "the display device is skipped, the second 3D device never tried";
    EXPECT_EQ(1u, zolsim_calls("ZOLSRVAcquireDeviceData"));
    EXPECT_EQ(zolsim_heap_handle(2), Private()->hGeneralHeap);
    EXPECT_NE(nullptr, Private()->sDevData.psConnection);
    EXPECT_NE(nullptr, Private()->sDevData.hDevCookie);
    EXPECT_NE(nullptr, Private()->hMutex);
}

TEST_F(ModuleTest, StartupAsksForTheGlobalEventAndMakesThe2DContextOnTheFirstDevice) {
    ZOLSRV_MISC_INFO sRequest;
    ASSERT_TRUE(zolsim_last_misc_info(&sRequest));
    EXPECT_EQ(8u, sRequest.ui32StateRequest);
    EXPECT_NE(nullptr, Private()->sHQTInfo.sMiscInfo.hOSGlobalEvent);
    EXPECT_EQ(100ul, zolsim_last_context_device());
    EXPECT_NE(nullptr, Private()->hContext);
    EXPECT_EQ(0u, zolsim_last_connect_flags()) << "a test program is not the compositor";
}

class Single2DDeviceTest : public ModuleTest {
    void Configure() override { zolsim_set_2d_device_count(1); }
};

TEST_F(Single2DDeviceTest, MakesTheContextOnTheOnlyDevice) {
    EXPECT_EQ(100ul, zolsim_last_context_device());
    hw_device_t *psDevice = nullptr;
    ASSERT_EQ(0, Open(GRALLOC_HARDWARE_GPU0, &psDevice));
    psDevice->close(psDevice);
}

class NoHeapTest : public ModuleTest {
    void Configure() override {
        const VEK_UINT32 aui32Heaps[] = {0x00000001, 0x01000002};
        zolsim_set_heaps(aui32Heaps, 2);
    }
};

/* Without a general heap nothing can be allocated: the allocator answers -ENOMEM, and the services
   are never handed a heap they did not give out. */
TEST_F(NoHeapTest, StartsWithoutAGeneralHeapAndAllocatesNothing) {
    EXPECT_EQ(nullptr, Private()->hGeneralHeap);
    hw_device_t *psDevice = nullptr;
    ASSERT_EQ(0, Open(GRALLOC_HARDWARE_GPU0, &psDevice)) << "start-up goes on without a general heap";
    alloc_device_t *psAlloc = reinterpret_cast<alloc_device_t *>(psDevice);
    buffer_handle_t h = nullptr;
    int iStride = 0;
    EXPECT_EQ(-ENOMEM,
              psAlloc->alloc(psAlloc, 64, 64, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_SW_READ_OFTEN, &h, &iStride));
    EXPECT_EQ(nullptr, h);
    EXPECT_EQ(0u, zolsim_calls("ZOLSRVAllocDeviceMem2"));
    psDevice->close(psDevice);
}

/* ---- Start-up failures: every step failing in turn ---- */

struct StartupFault {
    const char *pszName; /* test name */
    const char *pszFunction;
    unsigned uiNth;
    int iCode;
};

class StartupFailureTest : public ModuleTest, public ::testing::WithParamInterface<StartupFault> {
protected:
    void Configure() override {
        const StartupFault &sFault = GetParam();
        if (strcmp(sFault.pszFunction, "no3DDevice") == 0) {
            const ZOLSRV_DEVICE_IDENTIFIER asDevices[] = {{ZOLSRV_DEVICE_TYPE_EXT, ZOLSRV_DEVICE_CLASS_DISPLAY, 0},
                                                          {ZOLSRV_DEVICE_TYPE_EXT, ZOLSRV_DEVICE_CLASS_VIDEO, 1}};
            zolsim_set_devices(asDevices, 2);
        } else if (strcmp(sFault.pszFunction, "no2DDevice") == 0) {
            zolsim_set_2d_device_count(0);
        } else {
            zolsim_fail(sFault.pszFunction, sFault.uiNth, sFault.iCode);
        }
    }
};

TEST_P(StartupFailureTest, LeavesTheModuleUninitialisedWithTheConnectionClosed) {
    hw_device_t *psDevice = reinterpret_cast<hw_device_t *>(0x1);
    EXPECT_EQ(-ENOTTY, Open(GRALLOC_HARDWARE_GPU0, &psDevice));
    EXPECT_EQ(-ENOTTY, Open(GRALLOC_HARDWARE_FB0, &psDevice));
    EXPECT_EQ(reinterpret_cast<hw_device_t *>(0x1), psDevice);
    EXPECT_EQ(0u, zolsim_live_connections());
    EXPECT_EQ(0u, zolsim_live_contexts());
    EXPECT_EQ(0u, zolsim_live_mutexes());
    EXPECT_EQ(nullptr, Private()->hMutex);

    /* LogSyncs returns without touching the mutex. */
    unsigned uiLocks = zolsim_calls("ZOLSRVLockMutex");
    psHMI->LogSyncs(psHMI);
    EXPECT_EQ(uiLocks, zolsim_calls("ZOLSRVLockMutex"));

    /* The format list needs no start-up. */
    ASSERT_NE(nullptr, psHMI->GetBufferFormats());
    EXPECT_STREQ("BGRA_8888", psHMI->GetBufferFormats()->szName);

    /* Shut-down after a failed start-up has nothing to take down. */
    const char *apszShutDown[] = {"ZOLSRVDestroyMutex", "ZOL2DDestroyDeviceContext", "ZOLSRVReleaseMiscInfo",
                                  "ZOLSRVDestroyDeviceMemContext", "ZOLSRVDisconnect"};
    unsigned auiBefore[5];
    for (int i = 0; i < 5; i++) auiBefore[i] = zolsim_calls(apszShutDown[i]);
    Unload();
    for (int i = 0; i < 5; i++) EXPECT_EQ(auiBefore[i], zolsim_calls(apszShutDown[i])) << apszShutDown[i];
    EXPECT_EQ(0u, zolsim_calls("ZOLSRVDestroyMutex"));

    /* The disconnect of a failed start-up ends what was made on the connection, as it is meant
       to: at most the memory context, never memory. */
    char szLeft[128];
    const unsigned uiLeft = zolsim_disconnect_leftovers(szLeft, sizeof(szLeft));
    EXPECT_TRUE(uiLeft == 0 || strcmp(szLeft, "1 memory contexts") == 0) << szLeft;
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, StartupFailureTest,
    ::testing::Values(StartupFault{"Connect", "ZOLSRVConnect", 1, ZOLSRV_ERROR_GENERIC},
                      StartupFault{"EnumerateDevices", "ZOLSRVEnumerateDevices", 1, ZOLSRV_ERROR_GENERIC},
                      StartupFault{"AcquireDeviceData", "ZOLSRVAcquireDeviceData", 1, ZOLSRV_ERROR_GENERIC},
                      StartupFault{"No3DDevice", "no3DDevice", 0, 0},
                      StartupFault{"CreateDeviceMemContext", "ZOLSRVCreateDeviceMemContext", 1, ZOLSRV_ERROR_GENERIC},
                      StartupFault{"GetClientInfo", "HQTGetClientInfo", 1, ZOLSRV_ERROR_GENERIC},
                      StartupFault{"GetMiscInfo", "ZOLSRVGetMiscInfo", 1, ZOLSRV_ERROR_GENERIC},
                      StartupFault{"No2DDevice", "no2DDevice", 0, 0},
                      StartupFault{"Enumerate2DDevicesNegative", "ZOL2DEnumerateDevices", 1, -1},
                      StartupFault{"Fill2DDeviceList", "ZOL2DEnumerateDevices", 2, ZOL2DERROR_GENERIC_ERROR},
                      StartupFault{"Create2DContext", "ZOL2DCreateDeviceContext", 1, ZOL2DERROR_GENERIC_ERROR},
                      StartupFault{"CreateMutex", "ZOLSRVCreateMutex", 1, ZOLSRV_ERROR_OUT_OF_MEMORY}),
    [](const ::testing::TestParamInfo<StartupFault> &info) { return std::string(info.param.pszName); });

/* ---- Shut-down ---- */

TEST_F(ModuleTest, ShutDownReleasesEverythingInOrder) {
    alloc_device_t *psAlloc = OpenAlloc();
    buffer_handle_t h = nullptr;
    int iStride = 0;
    ASSERT_EQ(0, psAlloc->alloc(psAlloc, 64, 64, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_TEXTURE, &h, &iStride));
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    EXPECT_EQ(0, gralloc_close(psAlloc));
    Unload();
    char szLeft[128];
    EXPECT_EQ(0u, zolsim_disconnect_leftovers(szLeft, sizeof(szLeft)))
        << "the module gave everything back before it disconnected, not left it to the disconnect: " << szLeft;
    EXPECT_EQ(1u, zolsim_calls("ZOLSRVDestroyMutex"));
    EXPECT_EQ(1u, zolsim_calls("ZOL2DDestroyDeviceContext"));
    EXPECT_EQ(1u, zolsim_calls("ZOLSRVReleaseMiscInfo"));
    EXPECT_EQ(1u, zolsim_calls("ZOLSRVDestroyDeviceMemContext"));
    EXPECT_EQ(0u, zolsim_live_connections());
    EXPECT_EQ(0u, zolsim_live_mutexes());
    EXPECT_EQ(0u, zolsim_live_contexts());
}

/* A buffer never freed stays in the module's list, which nothing empties at unload: the
   disconnect ends its memory and reports it. In a child, which loads the module anew (its parent's
   load answers it as a module that did not start up), and leaves with _exit, since the list's
   entry is left by design. */
TEST_F(ModuleTest, ABufferNeverFreedIsLeftToTheDisconnectAndReported) {
    const pid_t iChild = fork();
    if (iChild == 0) {
        Unload();
        const hw_module_t *psFresh = nullptr;
        if (hw_get_module(GRALLOC_HARDWARE_MODULE_ID, &psFresh) != 0) _exit(7);
        hw_device_t *psDevice = nullptr;
        if (psFresh->methods->open(psFresh, GRALLOC_HARDWARE_GPU0, &psDevice) != 0) _exit(8);
        alloc_device_t *psAlloc = reinterpret_cast<alloc_device_t *>(psDevice);
        buffer_handle_t h = nullptr;
        int iStride = 0;
        if (psAlloc->alloc(psAlloc, 64, 64, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_TEXTURE, &h, &iStride) != 0)
            _exit(1);
        gralloc_close(psAlloc);
        if (dlclose(psFresh->dso) != 0) _exit(2);
        char szLeft[128];
        if (zolsim_disconnect_leftovers(szLeft, sizeof(szLeft)) != 1 || strcmp(szLeft, "1 allocations") != 0) _exit(3);
        if (zolsim_live_allocations() != 0) _exit(4);  /* ended by the disconnect */
        if (zolsim_ended_allocations() != 1) _exit(5); /* and counted as left live */
        _exit(zolsim_misuse_count() == 0 ? 0 : 6);
    }
    ASSERT_GT(iChild, 0);
    int iStatus = 0;
    ASSERT_EQ(iChild, waitpid(iChild, &iStatus, 0));
    EXPECT_TRUE(WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0)
        << "the child failed at step " << (WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1);
}

TEST_F(ModuleTest, ShutDownStopsAtTheFirstFailingStep) {
    zolsim_fail("ZOLSRVReleaseMiscInfo", 1, ZOLSRV_ERROR_GENERIC);
    Unload();
    EXPECT_EQ(1u, zolsim_calls("ZOLSRVDestroyMutex"));
    EXPECT_EQ(1u, zolsim_calls("ZOL2DDestroyDeviceContext"));
    EXPECT_EQ(0u, zolsim_calls("ZOLSRVDestroyDeviceMemContext"));
    EXPECT_EQ(0u, zolsim_live_mutexes()) << "the mutex goes whatever fails after it";
}

/* ---- Device open ---- */

TEST_F(ModuleTest, OpenRefusesEveryOtherIdWithoutTouchingTheDevice) {
    for (const char *pszId : {"gpu1", "GPU0", "Fb0", "", "fb0 ", "gralloc"}) {
        hw_device_t *psDevice = reinterpret_cast<hw_device_t *>(0x1);
        EXPECT_EQ(-EINVAL, Open(pszId, &psDevice)) << "id \"" << pszId << "\"";
        EXPECT_EQ(reinterpret_cast<hw_device_t *>(0x1), psDevice);
    }
    hw_device_t *psDevice = nullptr;
    EXPECT_EQ(-EINVAL, Open(nullptr, &psDevice));
    EXPECT_EQ(-EINVAL, Open(GRALLOC_HARDWARE_GPU0, nullptr));
    EXPECT_EQ(-EINVAL, Open(GRALLOC_HARDWARE_FB0, nullptr));
    EXPECT_EQ(0u, zolsim_live_flipchains());
    EXPECT_EQ(0u, zolsim_live_hint_states()) << "every hint state made is freed";
    EXPECT_STREQ("", zolsim_app_hints_read());
}

TEST_F(ModuleTest, AllocatorDeviceRecord) {
    alloc_device_t *psAlloc = OpenAlloc();
    ASSERT_NE(nullptr, psAlloc);
    EXPECT_EQ((uint32_t)HARDWARE_DEVICE_TAG, psAlloc->common.tag);
    EXPECT_EQ(1u, psAlloc->common.version) << "Android calls dump only from version 1 on";
    EXPECT_EQ(psModule, psAlloc->common.module);
    EXPECT_NE(nullptr, psAlloc->alloc);
    EXPECT_NE(nullptr, psAlloc->free);
    EXPECT_NE(nullptr, psAlloc->dump);
    for (void *pv : psAlloc->reserved_proc) EXPECT_EQ(nullptr, pv);
    EXPECT_STREQ("", zolsim_app_hints_read()) << "gpu0 reads no hint";
    EXPECT_EQ(0, psAlloc->common.close(&psAlloc->common));
}

TEST_F(ModuleTest, ModuleRecord) {
    EXPECT_EQ((uint32_t)HARDWARE_MODULE_TAG, psModule->tag);
    EXPECT_EQ(1, psModule->version_major);
    EXPECT_EQ(0, psModule->version_minor);
    EXPECT_STREQ("gralloc", psModule->id);
    EXPECT_STREQ("VEK HQT Graphics HAL", psModule->name);
    EXPECT_STREQ("Quorvane", psModule->author);
    EXPECT_NE(nullptr, psModule->dso) << "the loader writes the handle into the record";
    EXPECT_EQ(nullptr, psHMI->base.base.perform);
    EXPECT_NE(nullptr, psHMI->LogSyncs);
    EXPECT_NE(nullptr, psHMI->GetBufferFormats);
    EXPECT_NE(nullptr, psHMI->IsCompositor);
    EXPECT_EQ(nullptr, psHMI->base.psFrameBufferDevice);
}

TEST_F(ModuleTest, LogSyncsTakesAndReleasesTheMutex) {
    unsigned uiLocks = zolsim_calls("ZOLSRVLockMutex"), uiUnlocks = zolsim_calls("ZOLSRVUnlockMutex");
    psHMI->LogSyncs(nullptr);
    psHMI->LogSyncs(psHMI);
    EXPECT_EQ(uiLocks + 1, zolsim_calls("ZOLSRVLockMutex"));
    EXPECT_EQ(uiUnlocks + 1, zolsim_calls("ZOLSRVUnlockMutex"));
}

/* ---- App hints, read on each open of fb0 ---- */

struct HintCase {
    const char *pszName;
    int iPresentMode; /* -1: not set */
    int iNumBuffers;  /* -1: not set */
    VEK_HAL_PRESENT_MODE_T eExpectedMode;
    VEK_UINT32 ui32ExpectedBuffers;
};

class AppHintTest : public ModuleTest, public ::testing::WithParamInterface<HintCase> {
protected:
    void Configure() override {
        if (GetParam().iPresentMode >= 0) zolsim_set_app_hint("HALPresentMode", GetParam().iPresentMode);
        if (GetParam().iNumBuffers >= 0) zolsim_set_app_hint("HALNumFrameBuffers", GetParam().iNumBuffers);
        /* Blit mode may ask for no buffer at all; a display whose chain allows many keeps open working. */
        ZOL2DDISPLAYINFO sDisplay = {1, 8, ZOL2D_PIXEL_FORMAT_RGB565, 800, 480, 1600, 0, 1};
        ZOL2DMISCDISPLAYINFO sMisc = {154, 92, {0}};
        zolsim_set_display(0, &sDisplay, &sMisc);
    }
};

TEST_P(AppHintTest, ModeAndBufferCountFollowTheTwoRules) {
    hw_device_t *psDevice = nullptr;
    Open(GRALLOC_HARDWARE_FB0, &psDevice);
    EXPECT_EQ(GetParam().eExpectedMode, Private()->sAppHints.eHALPresentMode);
    EXPECT_EQ(GetParam().ui32ExpectedBuffers, Private()->sAppHints.ui32HALNumFrameBuffers);
    EXPECT_EQ(68u, Private()->sAppHints.ui32HALFrameBufferHz);
    EXPECT_STREQ("HALPresentMode,HALNumFrameBuffers,HALFrameBufferHz", zolsim_app_hints_read());
    if (psDevice != nullptr) EXPECT_EQ(0, psDevice->close(psDevice));
}

INSTANTIATE_TEST_SUITE_P(Rules, AppHintTest,
                         ::testing::Values(HintCase{"Defaults", -1, -1, HAL_PRESENT_MODE_FLIP, 2},
                                           HintCase{"FlipWithOneBufferIsFront", 0, 1, HAL_PRESENT_MODE_FRONT, 1},
                                           HintCase{"FlipWithNoBufferIsFront", 0, 0, HAL_PRESENT_MODE_FRONT, 1},
                                           HintCase{"FrontKeepsOneBuffer", 2, 3, HAL_PRESENT_MODE_FRONT, 1},
                                           HintCase{"BlitKeepsNoBuffer", 1, 0, HAL_PRESENT_MODE_BLIT, 0},
                                           HintCase{"BlitKeepsOneBuffer", 1, 1, HAL_PRESENT_MODE_BLIT, 1},
                                           HintCase{"UnknownModeIsFlip", 7, 3, HAL_PRESENT_MODE_FLIP, 3}),
                         [](const ::testing::TestParamInfo<HintCase> &info) {
                             return std::string(info.param.pszName);
                         });

TEST_F(ModuleTest, HintsAreReadAfreshOnEveryOpen) {
    zolsim_set_app_hint("HALFrameBufferHz", 50);
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    EXPECT_EQ(50u, Private()->sAppHints.ui32HALFrameBufferHz);
    EXPECT_EQ(0, framebuffer_close(psFb));

    zolsim_set_app_hint("HALFrameBufferHz", 75);
    zolsim_set_app_hint("HALPresentMode", 1);
    psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    EXPECT_EQ(75u, Private()->sAppHints.ui32HALFrameBufferHz);
    EXPECT_EQ(HAL_PRESENT_MODE_BLIT, Private()->sAppHints.eHALPresentMode);
    EXPECT_EQ(0, framebuffer_close(psFb));
}

TEST_F(ModuleTest, HintsOfAFailedOpenStayStored) {
    zolsim_set_app_hint("HALFrameBufferHz", 42);
    zolsim_fail("ZOL2DGetDeviceInfo", 1, ZOL2DERROR_GENERIC_ERROR);
    hw_device_t *psDevice = nullptr;
    EXPECT_EQ(-EFAULT, Open(GRALLOC_HARDWARE_FB0, &psDevice));
    EXPECT_EQ(nullptr, psDevice);
    EXPECT_EQ(42u, Private()->sAppHints.ui32HALFrameBufferHz);
}
