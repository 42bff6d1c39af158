// The simulated 2D library orders none of its callers' threads: ThreadSanitizer sees no lock of its
// own, so a race between two threads that call it is still reported. Run under ThreadSanitizer
// only, in a child process of its own, whose report the test reads.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "zolsim/control.h"

#if defined(__SANITIZE_THREAD__)
#define RACE_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define RACE_TEST_TSAN 1
#endif
#endif

namespace {

int giShared;

// Two threads that share giShared without ordering their accesses but through the 2D library: the
// first writes it, then asks the display's information and blits, the second, once it sees the
// first done (a relaxed flag, which orders nothing), does the same and reads it.
TEST(SimRaceTest, DISABLED_TwoThreadsMeetOnlyInThe2DLibrary) {
    zolsim_reset();
    ZOL2DCONTEXTHANDLE h = nullptr;
    ASSERT_EQ(ZOL2D_OK, ZOL2DCreateDeviceContext(100, &h, 0));
    std::vector<unsigned> auiSrc(16 * 16, 1u), auiDst(16 * 16);
    ZOL2DMEMINFO *psSrc = nullptr, *psDst = nullptr;
    ASSERT_EQ(ZOL2D_OK, ZOL2DMemWrap(h, auiSrc.data(), 0, 16 * 16 * 4, nullptr, &psSrc));
    ASSERT_EQ(ZOL2D_OK, ZOL2DMemWrap(h, auiDst.data(), 0, 16 * 16 * 4, nullptr, &psDst));
    ZOL2D_3DBLT_EXT sBlt;
    memset(&sBlt, 0, sizeof(sBlt));
    sBlt.sDst = ZOL2D_SURFACE{psDst, 0, 64, ZOL2D_BLT_FORMAT_ARGB8888, 16, 16};
    sBlt.rcDest = ZOL2DRECT{0, 0, 16, 16};
    sBlt.sSrc = ZOL2D_SURFACE{psSrc, 0, 64, ZOL2D_BLT_FORMAT_ARGB8888, 16, 16};
    sBlt.rcSource = ZOL2DRECT{0, 0, 16, 16};
    // Every call site is met once here first, so that the threads find their records in place.
    auto Calls = [&] {
        ZOL2DDISPLAYINFO sInfo;
        EXPECT_EQ(ZOL2D_OK, ZOL2DGetDeviceInfo(h, &sInfo));
        EXPECT_EQ(ZOL2D_OK, ZOL2DBlt3DExt(h, &sBlt));
        EXPECT_EQ(ZOL2D_OK, ZOL2DQueryBlitsComplete(h, psDst, ZOL2D_QUERY_WAIT));
    };
    Calls();
    std::atomic<int> iDone{0};
    std::thread sFirst([&] {
        giShared = 1;
        Calls();
        iDone.store(1, std::memory_order_relaxed);
    });
    std::thread sSecond([&] {
        while (iDone.load(std::memory_order_relaxed) == 0) std::this_thread::yield();
        Calls();
        printf("read %d\n", giShared);
    });
    sFirst.join();
    sSecond.join();
    EXPECT_EQ(ZOL2D_OK, ZOL2DMemFree(h, psDst));
    EXPECT_EQ(ZOL2D_OK, ZOL2DMemFree(h, psSrc));
    EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyDeviceContext(h));
}

TEST(SimRaceTest, ARaceBetweenTwoCallersOfThe2DLibraryIsReported) {
#ifndef RACE_TEST_TSAN
    GTEST_SKIP() << "for the ThreadSanitizer build";
#else
    int aiPipe[2];
    ASSERT_EQ(0, pipe(aiPipe));
    const pid_t iChild = fork();
    if (iChild == 0) {
        dup2(aiPipe[1], 2);
        close(aiPipe[0]);
        setenv("TSAN_OPTIONS", "halt_on_error=0 exitcode=66", 1);
        execl("/proc/self/exe", "sim_test", "--gtest_also_run_disabled_tests",
              "--gtest_filter=SimRaceTest.DISABLED_TwoThreadsMeetOnlyInThe2DLibrary", (char *)nullptr);
        _exit(127);
    }
    ASSERT_GT(iChild, 0);
    close(aiPipe[1]);
    std::string sReport;
    char ac[4096];
    ssize_t n;
    while ((n = read(aiPipe[0], ac, sizeof(ac))) > 0) sReport.append(ac, (size_t)n);
    close(aiPipe[0]);
    int iStatus = 0;
    ASSERT_EQ(iChild, waitpid(iChild, &iStatus, 0));
    EXPECT_NE(std::string::npos, sReport.find("WARNING: ThreadSanitizer: data race"))
        << "the 2D library ordered its callers, so the race on giShared went unseen:\n"
        << sReport;
    EXPECT_NE(std::string::npos, sReport.find("giShared")) << sReport;
#endif
}

}  // namespace
