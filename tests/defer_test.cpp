/* Deferred releases: at once, after the one wait, or on the worker as the GPU catches up. */
#include <errno.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "gralloc_defer.h"
#include "hal.h"
#include "interpose.h"
#include "no_misuse.h"
#include "zolsim/control.h"

extern "C" VEK_gralloc_module_t HMI;

namespace {

std::mutex gsRunMutex;
std::condition_variable gsRunCond;
std::vector<VEK_mapper_meminfo_t *> gapsRuns;
std::vector<int> gaiFdsSeen;
int giResult = 0;

int RecordingRelease(VEK_private_data_t *, VEK_mapper_meminfo_t *psEntry, int *aiFd) {
    std::lock_guard<std::mutex> sLock(gsRunMutex);
    gapsRuns.push_back(psEntry);
    gaiFdsSeen.assign(aiFd, aiFd + 3);
    gsRunCond.notify_all();
    return giResult;
}

class DeferTest : public ::testing::Test {
protected:
    void SetUp() override {
        zolsim_set_wait_timeout_ms(2);
        ASSERT_NE(nullptr, Priv()->hMutex) << "the linked module started up";
        std::lock_guard<std::mutex> sLock(gsRunMutex);
        gapsRuns.clear();
        giResult = 0;
    }
    void TearDown() override {
        for (ZOLSRV_CLIENT_MEM_INFO *ps : apsMem) {
            zolsim_gpu_complete(ps);
        }
        /* Let a worker drain before the memory goes, and finish its scan (it releases the mutex
           at the end of it) before the process takes the module down. */
        WaitForRuns(uExpectedRuns);
        ZOLSRVLockMutex(Priv()->hMutex);
        ZOLSRVUnlockMutex(Priv()->hMutex);
        for (ZOLSRV_CLIENT_MEM_INFO *ps : apsMem) ZOLSRVFreeDeviceMem(&Priv()->sDevData, ps);
    }

    static VEK_private_data_t *Priv() { return &HMI.sPrivateData; }

    VEK_mapper_meminfo_t *Entry() {
        ZOLSRV_CLIENT_MEM_INFO *psMem = nullptr;
        EXPECT_EQ(ZOLSRV_OK, ZOLSRVAllocDeviceMem2(&Priv()->sDevData, Priv()->hGeneralHeap, 0x10000001, 4096, 4096,
                                                   nullptr, 0, &psMem));
        apsMem.push_back(psMem);
        asEntries.emplace_back();
        asEntries.back().apsMemInfo[0] = psMem;
        return &asEntries.back();
    }

    int Check(VEK_mapper_meminfo_t *psEntry, int *aiFd = nullptr) {
        size_t uRunsBefore = Runs().size();
        ZOLSRVLockMutex(Priv()->hMutex);
        int iErr = CheckDeferFlushOp(Priv(), RecordingRelease, psEntry, aiFd != nullptr ? aiFd : aiNone);
        ZOLSRVUnlockMutex(Priv()->hMutex);
        /* Ran now, or queued for the worker. */
        if (Runs().size() > uRunsBefore || iErr == 0) uExpectedRuns++;
        return iErr;
    }

    static std::vector<VEK_mapper_meminfo_t *> Runs() {
        std::lock_guard<std::mutex> sLock(gsRunMutex);
        return gapsRuns;
    }

    static bool WaitForRuns(size_t uCount) {
        std::unique_lock<std::mutex> sLock(gsRunMutex);
        return gsRunCond.wait_for(sLock, std::chrono::seconds(5), [&] { return gapsRuns.size() >= uCount; });
    }

    std::vector<ZOLSRV_CLIENT_MEM_INFO *> apsMem;
    std::deque<VEK_mapper_meminfo_t> asEntries;
    size_t uExpectedRuns = 0;
    int aiNone[3] = {-1, -1, -1};

private:
    NoMisuse sNoMisuse_;
};

TEST_F(DeferTest, AnEntryWithoutMemoryCountsAsComplete) {
    VEK_mapper_meminfo_t sEntry = {};
    unsigned uiWaits = zolsim_calls("ZOLSRVEventObjectWait");
    EXPECT_EQ(0, Check(&sEntry));
    EXPECT_EQ(1u, Runs().size());
    EXPECT_EQ(uiWaits, zolsim_calls("ZOLSRVEventObjectWait"));
}

TEST_F(DeferTest, CompleteCountersRunAtOnceWithoutAWait) {
    VEK_mapper_meminfo_t *psEntry = Entry();
    zolsim_gpu_add_ops(psEntry->apsMemInfo[0], 2, 1, 4);
    zolsim_gpu_complete(psEntry->apsMemInfo[0]); /* complete equals pending */
    unsigned uiWaits = zolsim_calls("ZOLSRVEventObjectWait");
    int aiFd[3] = {5, -1, -1};
    giResult = -EFAULT;
    EXPECT_EQ(-EFAULT, Check(psEntry, aiFd)) << "the callback's own result";
    ASSERT_EQ(1u, Runs().size());
    EXPECT_EQ(std::vector<int>({5, -1, -1}), gaiFdsSeen);
    EXPECT_EQ(uiWaits, zolsim_calls("ZOLSRVEventObjectWait"));
}

TEST_F(DeferTest, EachCounterPairIsTested) {
    for (int iPair = 0; iPair < 3; iPair++) {
        VEK_mapper_meminfo_t *psEntry = Entry();
        zolsim_gpu_add_ops(psEntry->apsMemInfo[0], iPair == 0, iPair == 1, iPair == 2);
        zolsim_gpu_complete_on_next_wait(psEntry->apsMemInfo[0]);
        unsigned uiWaits = zolsim_calls("ZOLSRVEventObjectWait");
        EXPECT_EQ(0, Check(psEntry));
        EXPECT_EQ(uiWaits + 1, zolsim_calls("ZOLSRVEventObjectWait")) << "pair " << iPair << " was behind";
        EXPECT_EQ((size_t)iPair + 1, Runs().size()) << "and ran after the one wait";
    }
}

TEST_F(DeferTest, CountersStillBehindAreQueuedForTheWorker) {
    VEK_mapper_meminfo_t *psEntry = Entry();
    zolsim_gpu_add_ops(psEntry->apsMemInfo[0], 1, 0, 0);
    int aiFd[3] = {7, 8, -1};
    EXPECT_EQ(0, Check(psEntry, aiFd));
    aiFd[0] = aiFd[1] = 99; /* the caller's array may go away */
    EXPECT_TRUE(Runs().empty());
    zolsim_gpu_complete(psEntry->apsMemInfo[0]);
    ASSERT_TRUE(WaitForRuns(1));
    EXPECT_EQ(psEntry, Runs()[0]);
    EXPECT_EQ(std::vector<int>({7, 8, -1}), gaiFdsSeen) << "the node's own copy of the descriptors";
}

TEST_F(DeferTest, QueuedReleasesRunAsTheirBuffersCompleteInScanOrder) {
    VEK_mapper_meminfo_t *apsEntry[3];
    unsigned uiThreads = PthreadCreateCalls();
    for (auto &ps : apsEntry) {
        ps = Entry();
        zolsim_gpu_add_ops(ps->apsMemInfo[0], 0, 1, 0);
        EXPECT_EQ(0, Check(ps));
    }
    EXPECT_EQ(uiThreads + 1, PthreadCreateCalls()) << "one worker serves the whole list";

    zolsim_gpu_complete(apsEntry[0]->apsMemInfo[0]); /* the oldest only */
    ASSERT_TRUE(WaitForRuns(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(1u, Runs().size());
    EXPECT_EQ(apsEntry[0], Runs()[0]);

    /* Both now complete: one scan runs them from the head, the newest first. */
    ZOLSRVLockMutex(Priv()->hMutex);
    zolsim_gpu_complete(apsEntry[1]->apsMemInfo[0]);
    zolsim_gpu_complete(apsEntry[2]->apsMemInfo[0]);
    ZOLSRVUnlockMutex(Priv()->hMutex);
    ASSERT_TRUE(WaitForRuns(3));
    EXPECT_EQ(apsEntry[2], Runs()[1]);
    EXPECT_EQ(apsEntry[1], Runs()[2]);

    /* The list is empty, so the worker ended: the next deferral starts a new one. */
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    VEK_mapper_meminfo_t *psLate = Entry();
    zolsim_gpu_add_ops(psLate->apsMemInfo[0], 1, 0, 0);
    EXPECT_EQ(0, Check(psLate));
    EXPECT_EQ(uiThreads + 2, PthreadCreateCalls());
}

TEST_F(DeferTest, AnEntryHasOneQueuedReleaseAndANewOneTakesItsPlace) {
    VEK_mapper_meminfo_t *psEntry = Entry();
    zolsim_gpu_add_ops(psEntry->apsMemInfo[0], 1, 0, 0);
    int aiFirst[3] = {1, -1, -1}, aiSecond[3] = {2, -1, -1};
    EXPECT_EQ(0, Check(psEntry, aiFirst));
    EXPECT_EQ(0, Check(psEntry, aiSecond));
    uExpectedRuns--; /* the second took the first one's place */
    zolsim_gpu_complete(psEntry->apsMemInfo[0]);
    ASSERT_TRUE(WaitForRuns(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(1u, Runs().size()) << "one release per entry";
    EXPECT_EQ(std::vector<int>({2, -1, -1}), gaiFdsSeen) << "the newer one";
    ZOLSRVLockMutex(Priv()->hMutex);
    EXPECT_EQ(nullptr, psEntry->pfnQueuedRelease) << "the entry no longer names a queued release";
    ZOLSRVUnlockMutex(Priv()->hMutex);
}

TEST_F(DeferTest, AQueuedReleaseWaitsWhileTheBufferIsInUse) {
    VEK_mapper_meminfo_t *psEntry = Entry();
    zolsim_gpu_add_ops(psEntry->apsMemInfo[0], 1, 0, 0);
    EXPECT_EQ(0, Check(psEntry));
    ZOLSRVLockMutex(Priv()->hMutex);
    psEntry->ui32LockCount = 1; /* as a map of the buffer would, before the worker ran */
    ZOLSRVUnlockMutex(Priv()->hMutex);
    zolsim_gpu_complete(psEntry->apsMemInfo[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(Runs().empty()) << "nothing is released under a lock";
    ZOLSRVLockMutex(Priv()->hMutex);
    psEntry->ui32LockCount = 0;
    ZOLSRVUnlockMutex(Priv()->hMutex);
    EXPECT_TRUE(WaitForRuns(1)) << "the worker runs it once the buffer is free";
}

/* The release stays queued when its worker cannot start, and the module mutex's next unlock starts
   one. */
TEST_F(DeferTest, AReleaseWhoseWorkerCannotStartStaysQueuedForTheNextUnlock) {
    VEK_mapper_meminfo_t *psEntry = Entry();
    zolsim_gpu_add_ops(psEntry->apsMemInfo[0], 1, 0, 0);
    FailPthreadCreate(1, EAGAIN);
    LockModuleMutex(Priv());
    EXPECT_EQ(EAGAIN, CheckDeferFlushOp(Priv(), RecordingRelease, psEntry, aiNone))
        << "pthread_create's error number, positive";
    const unsigned uiThreads = PthreadCreateCalls();
    zolsim_gpu_complete(psEntry->apsMemInfo[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(Runs().empty()) << "no worker runs it yet";
    UnlockModuleMutex(Priv());
    uExpectedRuns++;
    EXPECT_EQ(uiThreads + 1, PthreadCreateCalls()) << "the unlock started a worker";
    EXPECT_TRUE(WaitForRuns(1)) << "which ran the release";
}

}  // namespace
