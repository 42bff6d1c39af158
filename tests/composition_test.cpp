/* compositionComplete: the GLES1 driver is loaded once, its flush is called after every
   composition, and the module gives up on the driver for good after a failure. */
#include <pthread.h>

#include <thread>
#include <vector>

#include "module_fixture.h"

namespace {

class CompositionTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        if (HasFatalFailure()) return;
        psFb = OpenFb();
        ASSERT_NE(nullptr, psFb);
        uiLocks = zolsim_calls("ZOLSRVLockMutex");
    }

    void TearDown() override {
        EXPECT_EQ(uiLocks, zolsim_calls("ZOLSRVLockMutex")) << "compositionComplete never takes the module mutex";
        if (psFb != nullptr) EXPECT_EQ(0, framebuffer_close(psFb));
    }

    int Complete() { return psFb->compositionComplete(psFb); }

    unsigned Flushes() { return zolsim_calls("pfnGLESFlushBuffersGCNoContext"); }

    framebuffer_device_t *psFb = nullptr;
    unsigned uiLocks = 0;
};

TEST_F(CompositionTest, FirstCallLoadsTheDriverAndLaterCallsOnlyFlush) {
    ASSERT_EQ(0, Complete());
    EXPECT_EQ(1u, zolsim_calls("ZOLSRVLoadLibrary"));
    EXPECT_EQ(1u, zolsim_calls("ZOLSRVGetLibFuncAddr"));
    EXPECT_EQ(1u, zolsim_calls("glGetString"));
    EXPECT_EQ(1u, zolsim_calls("ZOLSRVMemCopy")) << "the table is copied once";
    EXPECT_EQ(1u, Flushes());
    VEK_BOOL b1 = VEK_TRUE, b2 = VEK_TRUE;
    ASSERT_TRUE(zolsim_gles1_last_flush(&b1, &b2));
    EXPECT_EQ(VEK_FALSE, b1);
    EXPECT_EQ(VEK_FALSE, b2);

    EXPECT_EQ(0, Complete());
    EXPECT_EQ(0, Complete());
    EXPECT_EQ(3u, Flushes());
    EXPECT_EQ(1u, zolsim_calls("ZOLSRVLoadLibrary"));
    EXPECT_EQ(1u, zolsim_calls("glGetString"));
    EXPECT_EQ(0u, zolsim_calls("ZOLSRVUnloadLibrary")) << "the driver stays loaded";
}

class MissingDriver : public CompositionTest {
    void Configure() override { zolsim_set_gles1_absent(1); }
};

TEST_F(MissingDriver, FailsOnceAndIsNeverLookedForAgain) {
    EXPECT_EQ(-EFAULT, Complete());
    EXPECT_EQ(0, Complete());
    EXPECT_EQ(0, Complete());
    EXPECT_EQ(1u, zolsim_calls("ZOLSRVLoadLibrary"));
    EXPECT_EQ(0u, zolsim_calls("ZOLSRVGetLibFuncAddr"));
}

TEST_F(CompositionTest, DriverWithoutGlGetStringIsGivenUpButStaysLoaded) {
    zolsim_fail("ZOLSRVGetLibFuncAddr", 1, 7);
    EXPECT_EQ(-EFAULT, Complete());
    EXPECT_EQ(0, Complete());
    EXPECT_EQ(1u, zolsim_calls("ZOLSRVGetLibFuncAddr"));
    EXPECT_EQ(0u, zolsim_calls("glGetString"));
    EXPECT_EQ(0u, zolsim_calls("ZOLSRVUnloadLibrary"));
    EXPECT_EQ(0u, Flushes());
}

class TableVersion : public CompositionTest, public ::testing::WithParamInterface<VEK_UINT32> {
    void Configure() override { zolsim_set_gles1_version(GetParam()); }
};

TEST_P(TableVersion, OtherThanThreeIsRefusedForGood) {
    EXPECT_EQ(-EFAULT, Complete());
    EXPECT_EQ(0, Complete());
    EXPECT_EQ(1u, zolsim_calls("glGetString")) << "not asked again";
    EXPECT_EQ(0u, Flushes());
}

INSTANTIATE_TEST_SUITE_P(Versions, TableVersion, ::testing::Values(0u, 2u, 4u));

class NoTable : public CompositionTest {
    void Configure() override { zolsim_set_gles1_table_null(1); }
};

TEST_F(NoTable, IsRefusedForGood) {
    EXPECT_EQ(-EFAULT, Complete());
    EXPECT_EQ(0, Complete());
    EXPECT_EQ(1u, zolsim_calls("glGetString"));
    EXPECT_EQ(0u, zolsim_calls("ZOLSRVMemCopy"));
    EXPECT_EQ(0u, Flushes());
}

class TableWithoutFlush : public CompositionTest {
    void Configure() override { zolsim_set_gles1_flush_missing(1); }
};

TEST_F(TableWithoutFlush, IsRefusedInsteadOfCalled) {
    EXPECT_EQ(-EFAULT, Complete());
    EXPECT_EQ(0, Complete());
    EXPECT_EQ(1u, zolsim_calls("glGetString"));
}

class FailingFlush : public CompositionTest {
    void Configure() override { zolsim_set_gles1_flush_result(0x3003); }
};

TEST_F(FailingFlush, AnswersAgainOnceAndThenNeverFlushesAgain) {
    EXPECT_EQ(-EAGAIN, Complete());
    EXPECT_EQ(1u, Flushes());
    EXPECT_EQ(0, Complete());
    EXPECT_EQ(0, Complete());
    EXPECT_EQ(1u, Flushes());
}

TEST_F(CompositionTest, AFlushFailingLaterAlsoEndsTheFlushing) {
    EXPECT_EQ(0, Complete());
    zolsim_fail("pfnGLESFlushBuffersGCNoContext", 1, 1);
    EXPECT_EQ(-EAGAIN, Complete());
    EXPECT_EQ(0, Complete());
    EXPECT_EQ(2u, Flushes());
}

/* Leaves the stack below its caller full of words of 3: a table read from there, where nothing was
   copied, has version 3 and a flush at address 3. */
__attribute__((noinline)) void LeaveThreesOnTheStack() {
    volatile VEK_UINT32 aui32[4096];
    for (volatile VEK_UINT32 &ui32 : aui32) ui32 = 3;
}

TEST_F(CompositionTest, ATableThatCouldNotBeCopiedIsNotRead) {
    zolsim_fail("ZOLSRVMemCopy", 1, ZOLSRV_ERROR_GENERIC);
    LeaveThreesOnTheStack();
    EXPECT_EQ(-EFAULT, Complete()) << "the driver's table is unknown";
    EXPECT_EQ(0, Complete()) << "and given up for good";
    EXPECT_EQ(0u, Flushes());
}

TEST_F(CompositionTest, ConcurrentFirstCallsLoadTheDriverOnce) {
    constexpr int kThreads = 6;
    pthread_barrier_t sBarrier;
    ASSERT_EQ(0, pthread_barrier_init(&sBarrier, nullptr, kThreads));
    std::vector<int> aiResult(kThreads, -1);
    {
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; i++)
            threads.emplace_back([&, i] {
                pthread_barrier_wait(&sBarrier);
                aiResult[(size_t)i] = Complete();
            });
        for (std::thread &t : threads) t.join();
    }
    pthread_barrier_destroy(&sBarrier);
    for (int i = 0; i < kThreads; i++) EXPECT_EQ(0, aiResult[(size_t)i]) << "thread " << i;
    EXPECT_EQ(1u, zolsim_calls("ZOLSRVLoadLibrary"));
    EXPECT_EQ(1u, zolsim_calls("ZOLSRVGetLibFuncAddr"));
    EXPECT_EQ(1u, zolsim_calls("glGetString"));
    EXPECT_EQ((unsigned)kThreads, Flushes()) << "every call flushes";
}

}  // namespace
