/* Loads the module the way Android does, after configuring the simulated device. */
#ifndef TESTS_MODULE_FIXTURE_H
#define TESTS_MODULE_FIXTURE_H

#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <hardware/fb.h>
#include <hardware/gralloc.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "forged_handle.h"
#include "hal.h"
#include "no_misuse.h"
#include "zolsim/control.h"

/* Each test runs in a process of its own, so the module is loaded (and starts up) once per test. */
class ModuleTest : public ::testing::Test {
protected:
    /* Tests configure the simulated device here, before the module starts up. */
    virtual void Configure() {}

    void SetUp() override {
        zolsim_reset();
        zolsim_set_wait_timeout_ms(2);
        Configure();
        ASSERT_EQ(0, hw_get_module(GRALLOC_HARDWARE_MODULE_ID, &psModule)) << "the loader must find the module";
        psHMI = reinterpret_cast<VEK_gralloc_module_t *>(const_cast<hw_module_t *>(psModule));
    }

    /* Unloads the module: its destructor shuts the services connection down. */
    void Unload() {
        ASSERT_NE(nullptr, psModule);
        void *pvDso = psModule->dso;
        psModule = nullptr;
        psHMI = nullptr;
        ASSERT_EQ(0, dlclose(pvDso));
    }

    int Open(const char *pszId, hw_device_t **ppsDevice) { return psModule->methods->open(psModule, pszId, ppsDevice); }

    alloc_device_t *OpenAlloc() {
        hw_device_t *psDevice = nullptr;
        EXPECT_EQ(0, Open(GRALLOC_HARDWARE_GPU0, &psDevice));
        return reinterpret_cast<alloc_device_t *>(psDevice);
    }

    framebuffer_device_t *OpenFb() {
        hw_device_t *psDevice = nullptr;
        EXPECT_EQ(0, Open(GRALLOC_HARDWARE_FB0, &psDevice));
        return reinterpret_cast<framebuffer_device_t *>(psDevice);
    }

    VEK_private_data_t *Private() { return &psHMI->sPrivateData; }

    const hw_module_t *psModule = nullptr;
    VEK_gralloc_module_t *psHMI = nullptr;

private:
    NoMisuse sNoMisuse_;
};

/* A test of the allocator device, opened once the module has started and closed at the end. */
class AllocatorTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        if (HasFatalFailure()) return;
        psAlloc = OpenAlloc();
        ASSERT_NE(nullptr, psAlloc);
    }
    void TearDown() override {
        if (psAlloc != nullptr) gralloc_close(psAlloc);
    }

    alloc_device_t *psAlloc = nullptr;
};

/* The simulated device's mem-info of a buffer's first plane, found by the handle's stamp. */
/* Waits, bounded at ten seconds, for what another thread (the release worker, the 2D engine) does
   by itself; true once fnDone holds. */
static inline bool Eventually(const std::function<bool()> &fnDone) {
    for (int i = 0; i < 10000; i++) {
        if (fnDone()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return fnDone();
}

static inline ZOLSRV_CLIENT_MEM_INFO *MemInfo(buffer_handle_t h) {
    return zolsim_meminfo_by_stamp(AsVek(h)->ui64Stamp);
}

#endif
