// The simulated device's own realism: what the module's tests rely on.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <cutils/native_handle.h>
#include <hardware/hardware.h>

#include "sim_fixture.h"

namespace {

TEST_F(SimTest, ChildMapsExportedMemoryAndSharesStampPixelsAndCounters) {
    Services s;
    ZOLSRV_CLIENT_MEM_INFO *m = s.Alloc(10000);
    ASSERT_NE(nullptr, m);
    memset(m->pvLinAddr, 0x5a, 10000);
    zolsim_gpu_add_ops(m, 2, 1, 0);
    int raw = -1;
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVExportDeviceMem2(&s.dev, m, &raw));
    UniqueFd fd(raw);
    int toChild[2], toParent[2];
    ASSERT_EQ(0, pipe(toChild));
    ASSERT_EQ(0, pipe(toParent));
    UniqueFd c0(toChild[0]), c1(toChild[1]), p0(toParent[0]), p1(toParent[1]);
    const VEK_UINT64 stamp = m->ui64Stamp;

    pid_t pid = fork();
    if (pid == 0) {
        ZOLSRV_CLIENT_MEM_INFO *c = nullptr;
        if (ZOLSRVMapDeviceMemory2(&s.dev, fd.get(), s.heap, &c) != ZOLSRV_OK) _exit(1);
        if (c->ui64Stamp != stamp || c->uAllocSize != 10000) _exit(2);
        if (static_cast<unsigned char *>(c->pvLinAddr)[9999] != 0x5a) _exit(3);
        if (c->psClientSyncInfo->psSyncData->ui32ReadOpsPending != 2) _exit(4);
        char b = 'm';
        if (write(p1.get(), &b, 1) != 1 || read(c0.get(), &b, 1) != 1) _exit(5);
        // The parent raised the counters again through its own mapping.
        if (c->psClientSyncInfo->psSyncData->ui32WriteOpsPending != 6) _exit(6);
        if (ZOLSRVUnmapDeviceMemory(&s.dev, c) != ZOLSRV_OK || zolsim_live_mappings() != 0) _exit(7);
        _exit(0);
    }
    char b;
    ASSERT_EQ(1, read(p0.get(), &b, 1));
    zolsim_gpu_add_ops(m, 0, 5, 0);
    ASSERT_EQ(1, write(c1.get(), &b, 1));
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child failed at step " << WEXITSTATUS(status);
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVFreeDeviceMem(&s.dev, m));
}

/* A process forked while another thread is inside the simulated services (the module's release
   worker polls them while it waits for the GPU) gets services it can call: the child has only the
   forking thread, so a table lock that another thread held in the parent must not stay held. */
TEST_F(SimTest, ChildForkedWhileAnotherThreadIsInsideCanCallTheServices) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the ThreadSanitizer build of the services has no fork handler";
#endif
    Services s;
    std::atomic<bool> bStop{false};
    std::thread sPoller([&] {
        while (!bStop) (void)zolsim_live_allocations();
    });
    int iHung = 0;
    for (int i = 0; i < 50; i++) {
        const pid_t iChild = fork();
        if (iChild == 0) {
            alarm(5); /* a child that hangs fails rather than stalls the suite */
            ZOLSRV_CLIENT_MEM_INFO *c = s.Alloc(4096);
            _exit(c != nullptr && ZOLSRVFreeDeviceMem(&s.dev, c) == ZOLSRV_OK ? 0 : 1);
        }
        ASSERT_GE(iChild, 0);
        int iStatus = 0;
        ASSERT_EQ(iChild, waitpid(iChild, &iStatus, 0));
        if (!WIFEXITED(iStatus) || WEXITSTATUS(iStatus) != 0) iHung++;
        if (iHung != 0) break;
    }
    bStop = true;
    sPoller.join();
    EXPECT_EQ(0, iHung) << "a child could not allocate and free";
}

/* The monotonic clock as this process reads it, moved by a test to where it wants it to stand
   (the executable's definition comes first in the lookup order, ahead of the C library's). */
static std::atomic<int> giMonotonicShiftMs{0};

extern "C" int clock_gettime(clockid_t eClock, struct timespec *psTime) {
    using Fn = int (*)(clockid_t, struct timespec *);
    static const Fn pfnReal = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "clock_gettime"));
    const int iResult = pfnReal(eClock, psTime);
    const long long llShift = giMonotonicShiftMs.load(std::memory_order_relaxed) * 1000000LL;
    if (iResult == 0 && eClock == CLOCK_MONOTONIC && llShift != 0) {
        const long long llNs = (long long)psTime->tv_sec * 1000000000LL + psTime->tv_nsec + llShift;
        psTime->tv_sec = (time_t)(llNs / 1000000000LL);
        psTime->tv_nsec = (long)(llNs % 1000000000LL);
    }
    return iResult;
}

/* A wait lasts its time-out wherever the monotonic clock stands, also where the clock's count of
   microseconds no longer fits 32 bits (after 35 minutes of uptime). */
TEST_F(SimTest, WaitLastsItsTimeOutWhereverTheClockStands) {
    Services s;
    ZOLSRV_CLIENT_MEM_INFO *m = s.Alloc(4096);
    ASSERT_NE(nullptr, m);
    zolsim_gpu_add_ops(m, 1, 0, 0); /* pending, and nothing completes it */
    zolsim_set_wait_timeout_ms(200);
    /* Clock readings in microseconds: early, and 100 ms before they pass 2^31. */
    for (const long long llAtUs : {10000000LL, (1LL << 31) - 100000LL}) {
        struct timespec sNow;
        giMonotonicShiftMs = 0;
        ASSERT_EQ(0, clock_gettime(CLOCK_MONOTONIC, &sNow));
        giMonotonicShiftMs = (int)(llAtUs / 1000 - ((long long)sNow.tv_sec * 1000 + sNow.tv_nsec / 1000000));
        const auto sStart = std::chrono::steady_clock::now();
        EXPECT_EQ(ZOLSRV_ERROR_TIMEOUT, ZOLSRVEventObjectWait(s.conn, s.event));
        const auto llWaitedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sStart).count();
        EXPECT_GE(llWaitedMs, 150) << "the wait ended before its time-out with the clock at " << llAtUs << " us";
    }
    giMonotonicShiftMs = 0;
    zolsim_gpu_complete(m);
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVFreeDeviceMem(&s.dev, m));
}

TEST_F(SimTest, MapRefusesMemoryThatIsNotDeviceMemory) {
    Services s;
    UniqueFd fd(open("/proc/self/exe", O_RDONLY));
    ZOLSRV_CLIENT_MEM_INFO *c = nullptr;
    EXPECT_EQ(ZOLSRV_ERROR_INVALID_PARAMS, ZOLSRVMapDeviceMemory2(&s.dev, fd.get(), s.heap, &c));
    EXPECT_EQ(0u, zolsim_live_mappings());
}

/* One event wait on a thread of its own. The constructor returns once the wait has begun, its
   view of the counters taken: what the test then changes happens during the wait, however late
   the waiting thread was scheduled. */
class WaitOnAnotherThread {
public:
    explicit WaitOnAnotherThread(const Services &s)
        : thread_([this, &s] { result_ = ZOLSRVEventObjectWait(s.conn, s.event); }) {
        for (int i = 0; i < 10000 && zolsim_event_waiters() == 0 && result_ == kWaiting; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~WaitOnAnotherThread() {
        if (thread_.joinable()) thread_.join();
    }
    bool Begun() const { return zolsim_event_waiters() != 0; }
    ZOLSRV_ERROR Result() {
        thread_.join();
        return static_cast<ZOLSRV_ERROR>(result_.load());
    }

private:
    static constexpr int kWaiting = -1000;
    std::atomic<int> result_{kWaiting};
    std::thread thread_;
};

TEST_F(SimTest, WaitWakesOnCompletionInAnotherProcessAndTimesOutOtherwise) {
    Services s;
    ZOLSRV_CLIENT_MEM_INFO *m = s.Alloc(4096);
    ASSERT_NE(nullptr, m);
    zolsim_gpu_add_ops(m, 1, 1, 1);
    int raw = -1;
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVExportDeviceMem2(&s.dev, m, &raw));
    UniqueFd fd(raw);

    EXPECT_EQ(ZOLSRV_ERROR_TIMEOUT, ZOLSRVEventObjectWait(s.conn, s.event)) << "nothing completed";

    /* The other process completes the work only once this one waits: a completion before the
       wait began is in the counters the wait starts from, and is no event for it. The child is
       forked before the waiting thread starts, so that it has the tables to itself. */
    zolsim_set_wait_timeout_ms(5000);
    int go[2];
    ASSERT_EQ(0, pipe(go));
    UniqueFd go0(go[0]), go1(go[1]);
    pid_t pid = fork();
    if (pid == 0) {
        ZOLSRV_CLIENT_MEM_INFO *c = nullptr;
        if (ZOLSRVMapDeviceMemory2(&s.dev, fd.get(), s.heap, &c) != ZOLSRV_OK) _exit(1);
        char b;
        if (read(go0.get(), &b, 1) != 1) _exit(2);
        zolsim_gpu_complete(c);
        _exit(0);
    }
    ASSERT_GT(pid, 0);
    {
        WaitOnAnotherThread w(s);
        EXPECT_TRUE(w.Begun());
        EXPECT_EQ(1, write(go1.get(), "x", 1));
        EXPECT_EQ(ZOLSRV_OK, w.Result());
    }
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const ZOLSRV_SYNC_DATA *d = m->psClientSyncInfo->psSyncData;
    EXPECT_EQ(d->ui32WriteOpsPending, d->ui32WriteOpsComplete);
    EXPECT_EQ(d->ui32ReadOps2Pending, d->ui32ReadOps2Complete);

    zolsim_gpu_add_ops(m, 0, 1, 0);
    zolsim_gpu_complete_on_next_wait(m);
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVEventObjectWait(s.conn, s.event));
    EXPECT_EQ(d->ui32WriteOpsPending, d->ui32WriteOpsComplete);

    /* The background completion is started once the wait has begun, for the same reason. */
    zolsim_gpu_add_ops(m, 0, 1, 0);
    {
        WaitOnAnotherThread w(s);
        EXPECT_TRUE(w.Begun());
        zolsim_gpu_complete_after(m, 20);
        EXPECT_EQ(ZOLSRV_OK, w.Result());
    }
    EXPECT_EQ(d->ui32WriteOpsPending, d->ui32WriteOpsComplete);
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVFreeDeviceMem(&s.dev, m));
}

TEST_F(SimTest, LiveCountsReturnToZeroWhenEverythingIsReleased) {
    {
        Services s;
        const unsigned uiHeld = zolsim_live_total(nullptr, 0); /* the connection and what it made */
        ZOLSRV_CLIENT_MEM_INFO *m = s.Alloc(100);
        ASSERT_NE(nullptr, m);
        int raw = -1;
        ASSERT_EQ(ZOLSRV_OK, ZOLSRVExportDeviceMem2(&s.dev, m, &raw));
        UniqueFd fd(raw);
        ZOLSRV_CLIENT_MEM_INFO *c = nullptr;
        ASSERT_EQ(ZOLSRV_OK, ZOLSRVMapDeviceMemory2(&s.dev, fd.get(), s.heap, &c));
        char szReport[160];
        EXPECT_EQ(uiHeld + 3, zolsim_live_total(szReport, sizeof(szReport)));
        EXPECT_EQ(0, strncmp(szReport, "1 allocations, 1 mappings, 1 exported descriptors", 49)) << szReport;
        char szShort[12];
        zolsim_live_total(szShort, sizeof(szShort));
        EXPECT_STREQ("1 allocatio", szShort) << "cut to the caller's buffer";
        EXPECT_EQ(m->ui64Stamp, c->ui64Stamp);
        EXPECT_NE(m->sDevVAddr.uiAddr, c->sDevVAddr.uiAddr);
        EXPECT_EQ(m, zolsim_meminfo_by_stamp(m->ui64Stamp));
        EXPECT_EQ(1u, zolsim_live_allocations());
        EXPECT_EQ(1u, zolsim_live_mappings());
        EXPECT_EQ(1u, zolsim_live_exported_fds());
        fd.reset();
        EXPECT_EQ(0u, zolsim_live_exported_fds());
        EXPECT_EQ(ZOLSRV_OK, ZOLSRVUnmapDeviceMemory(&s.dev, c));
        EXPECT_EQ(ZOLSRV_OK, ZOLSRVFreeDeviceMem(&s.dev, m));

        ZOLSRV_MUTEX_HANDLE mu = nullptr;
        ASSERT_EQ(ZOLSRV_OK, ZOLSRVCreateMutex(&mu));
        EXPECT_EQ(1u, zolsim_live_mutexes());
        ZOLSRVDestroyMutex(mu);

        ZOL2DCONTEXTHANDLE ctx = nullptr;
        ASSERT_EQ(ZOL2D_OK, ZOL2DCreateDeviceContext(100, &ctx, 0));
        long stride = 0;
        ZOL2DFLIPCHAINHANDLE chain = nullptr;
        ASSERT_EQ(ZOL2D_OK,
                  ZOL2DCreateFlipChain(ctx, 0, 2, 800, 480, ZOL2D_PIXEL_FORMAT_RGB565, &stride, nullptr, &chain));
        EXPECT_EQ(1600, stride);
        unsigned long n = 0;
        ZOL2DMEMINFO *bufs[2] = {};
        ASSERT_EQ(ZOL2D_OK, ZOL2DGetFlipChainBuffers(ctx, chain, &n, bufs));
        ASSERT_EQ(2u, n);
        EXPECT_EQ(1600u * 480u, bufs[0]->ui32MemSize);
        EXPECT_EQ(2u, zolsim_live_allocations());
        EXPECT_EQ(ZOL2D_OK, ZOL2DMemFree(ctx, bufs[0]));
        EXPECT_EQ(1u, zolsim_live_flipchains());
        EXPECT_EQ(ZOL2D_OK, ZOL2DMemFree(ctx, bufs[1]));
        EXPECT_EQ(0u, zolsim_live_flipchains()) << "the chain goes with its last buffer";
        ASSERT_EQ(ZOL2D_OK, ZOL2DCreateFlipChain(ctx, 0, 3, 8, 8, ZOL2D_PIXEL_FORMAT_RGB565, &stride, nullptr, &chain));
        EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyFlipChain(ctx, chain));
        EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyDeviceContext(ctx));
    }
    char szLive[256];
    EXPECT_EQ(0u, zolsim_live_total(szLive, sizeof(szLive))) << szLive;
    EXPECT_STREQ("", szLive);
}

TEST_F(SimTest, NextAllocationCanReuseAStampOrASyncObject) {
    Services s;
    ZOLSRV_CLIENT_MEM_INFO *a = s.Alloc(64);
    ASSERT_NE(nullptr, a);
    EXPECT_NE(0u, a->ui64Stamp);
    zolsim_set_next_stamp(a->ui64Stamp);
    zolsim_share_sync_with_next(a);
    ZOLSRV_CLIENT_MEM_INFO *b = s.Alloc(64);
    ZOLSRV_CLIENT_MEM_INFO *c = s.Alloc(64);
    ASSERT_NE(nullptr, b);
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(a->ui64Stamp, b->ui64Stamp);
    EXPECT_EQ(a->psClientSyncInfo, b->psClientSyncInfo);
    EXPECT_NE(a->ui64Stamp, c->ui64Stamp) << "only the next allocation";
    EXPECT_NE(a->psClientSyncInfo, c->psClientSyncInfo);
    for (ZOLSRV_CLIENT_MEM_INFO *m : {c, b, a}) EXPECT_EQ(ZOLSRV_OK, ZOLSRVFreeDeviceMem(&s.dev, m));
}

// A stamp is never handed out twice while the system runs: its source is shared by every process, so
// neither another process nor a process with a reused pid makes it again.
TEST_F(SimTest, StampsComeFromOneSourceThatEveryProcessShares) {
    Services s;
    ZOLSRV_CLIENT_MEM_INFO *a = s.Alloc(64);
    ASSERT_NE(nullptr, a);
    int aiPipe[2];
    ASSERT_EQ(0, pipe(aiPipe));
    // Two children one after the other: the second may well get the first one's pid again.
    std::vector<VEK_UINT64> aui64Child;
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(0, InChild([&] {
                      Services sc;
                      ZOLSRV_CLIENT_MEM_INFO *m = sc.Alloc(64);
                      VEK_UINT64 ui64 = m != nullptr ? m->ui64Stamp : 0;
                      ZOLSRVFreeDeviceMem(&sc.dev, m);
                      return write(aiPipe[1], &ui64, sizeof(ui64)) == (ssize_t)sizeof(ui64) ? 0 : 1;
                  }));
        VEK_UINT64 ui64 = 0;
        ASSERT_EQ((ssize_t)sizeof(ui64), read(aiPipe[0], &ui64, sizeof(ui64)));
        aui64Child.push_back(ui64);
    }
    close(aiPipe[0]);
    close(aiPipe[1]);
    ZOLSRV_CLIENT_MEM_INFO *b = s.Alloc(64);
    ASSERT_NE(nullptr, b);
    EXPECT_LT(a->ui64Stamp, aui64Child[0]);
    EXPECT_LT(aui64Child[0], aui64Child[1]);
    EXPECT_LT(aui64Child[1], b->ui64Stamp) << "the counter went on in the children";
    for (ZOLSRV_CLIENT_MEM_INFO *m : {b, a}) EXPECT_EQ(ZOLSRV_OK, ZOLSRVFreeDeviceMem(&s.dev, m));
}

TEST_F(SimTest, FramebufferNodeExistsOnlyWhenConfigured) {
    errno = 0;
    EXPECT_EQ(-1, open("/dev/graphics/fb0", O_RDWR));
    EXPECT_EQ(ENOENT, errno);

    struct fb_var_screeninfo var = {};
    var.xres = 1024;
    var.yres = 600;
    var.bits_per_pixel = 32;
    zolsim_set_fb_var_screeninfo(&var, 0);
    {
        UniqueFd fd(open("/dev/graphics/fb0", O_RDWR));
        ASSERT_GE(fd.get(), 0);
        EXPECT_EQ(1u, zolsim_fbdev_open_count());
        struct fb_var_screeninfo got = {};
        ASSERT_EQ(0, ioctl(fd.get(), FBIOGET_VSCREENINFO, &got));
        EXPECT_EQ(1024u, got.xres);
        EXPECT_EQ(32u, got.bits_per_pixel);
        zolsim_set_fb_var_screeninfo(&var, 1);
        errno = 0;
        EXPECT_EQ(-1, ioctl(fd.get(), FBIOGET_VSCREENINFO, &got));
        EXPECT_EQ(EINVAL, errno);
    }
    EXPECT_EQ(0u, zolsim_fbdev_open_count());

    // The node honours its open flags as a character device does.
    zolsim_set_fb_var_screeninfo(&var, 0);
    {
        UniqueFd fd(open("/dev/graphics/fb0", O_RDONLY));
        ASSERT_GE(fd.get(), 0);
        EXPECT_EQ(O_RDONLY, zolsim_fbdev_last_open_flags());
        struct fb_var_screeninfo got = {};
        EXPECT_EQ(0, ioctl(fd.get(), FBIOGET_VSCREENINFO, &got)) << "the query needs no write access";
        errno = 0;
        EXPECT_EQ(-1, write(fd.get(), "x", 1)) << "read-only";
        EXPECT_EQ(EBADF, errno);
    }
    const struct {
        int iFlags;
        int iErrno;
    } asRefused[] = {{O_ACCMODE, EINVAL}, {O_RDWR | O_DIRECTORY, ENOTDIR}, {O_RDWR | O_CREAT | O_EXCL, EEXIST}};
    for (const auto &r : asRefused) {
        errno = 0;
        EXPECT_EQ(-1, open("/dev/graphics/fb0", r.iFlags, 0600)) << std::hex << r.iFlags;
        EXPECT_EQ(r.iErrno, errno) << std::hex << r.iFlags;
        EXPECT_EQ(r.iFlags, zolsim_fbdev_last_open_flags());
    }
    EXPECT_EQ(0u, zolsim_fbdev_open_count());
}

// What would hang or crash the real library is recorded and not done.
TEST_F(SimTest, RecursiveLockUnheldUnlockAndUnknownMutexesAreMisuse) {
    ZOLSRV_MUTEX_HANDLE mu = nullptr;
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVCreateMutex(&mu));
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVLockMutex(mu));
    EXPECT_NE(ZOLSRV_OK, ZOLSRVLockMutex(mu)) << "a refused lock is a failure";
    EXPECT_EQ(1u, zolsim_misuse_count());
    EXPECT_NE(nullptr, strstr(zolsim_misuse_text(), "ZOLSRVLockMutex: this thread already holds"))
        << zolsim_misuse_text();
    EXPECT_EQ(ZOLSRV_ERROR_INVALID_PARAMS, ZOLSRVDestroyMutex(mu)) << "a held mutex is not destroyed";
    EXPECT_EQ(2u, zolsim_misuse_count());
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVUnlockMutex(mu));  // the one lock taken
    EXPECT_EQ(2u, zolsim_misuse_count());
    EXPECT_NE(ZOLSRV_OK, ZOLSRVUnlockMutex(mu));
    EXPECT_EQ(3u, zolsim_misuse_count());
    EXPECT_NE(nullptr, strstr(zolsim_misuse_text(), "ZOLSRVUnlockMutex: this thread does not hold"));
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVDestroyMutex(mu));
    EXPECT_EQ(0u, zolsim_live_mutexes());

    ZOLSRV_MUTEX_TAG *psNever = reinterpret_cast<ZOLSRV_MUTEX_TAG *>(&mu);
    EXPECT_NE(ZOLSRV_OK, ZOLSRVLockMutex(psNever));
    EXPECT_NE(ZOLSRV_OK, ZOLSRVUnlockMutex(psNever));
    EXPECT_EQ(ZOLSRV_ERROR_INVALID_PARAMS, ZOLSRVDestroyMutex(psNever));
    EXPECT_EQ(6u, zolsim_misuse_count());
    EXPECT_NE(nullptr, strstr(zolsim_misuse_text(), "ZOLSRVDestroyMutex: mutex")) << zolsim_misuse_text();
    zolsim_clear_misuse();
}

TEST(SimPlatformTest, NativeHandleAndModuleLoaderFollowAndroid) {
    NoMisuse sNoMisuse;
    native_handle_t *h = native_handle_create(1, 2);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(12, h->version);
    h->data[0] = dup(0);
    EXPECT_EQ(0, native_handle_close(h));
    h->version = 13;
    EXPECT_EQ(-EINVAL, native_handle_delete(h));
    h->version = 12;
    EXPECT_EQ(0, native_handle_delete(h));

    setenv("ZOLSIM_HW_DIR", "/nonexistent", 1);
    const hw_module_t *mod = nullptr;
    EXPECT_EQ(-ENOENT, hw_get_module("gralloc", &mod));
    unsetenv("ZOLSIM_HW_DIR");
}

TEST_F(SimTest, Gles1StandInIsFoundUnderTheRootAndCanBeMadeAbsent) {
    const char *path = "/system/vendor/lib/egl/libGLESv1_CM_ZOLCORE_KEVRA_120.so";
    VEK_HANDLE lib = ZOLSRVLoadLibrary(path);
    ASSERT_NE(nullptr, lib) << "the handle is the answer";
    void *fn = nullptr;
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVGetLibFuncAddr(lib, "glGetString", &fn));
    typedef const unsigned char *(*GetString)(int);
    const VEK_UINT32 *table = reinterpret_cast<const VEK_UINT32 *>(reinterpret_cast<GetString>(fn)(0x6500));
    ASSERT_NE(nullptr, table);
    EXPECT_EQ(3u, table[0]);
    EXPECT_EQ(nullptr, reinterpret_cast<GetString>(fn)(0x1f00)) << "only the private query is answered";
    zolsim_set_gles1_version(4);
    EXPECT_EQ(4u, reinterpret_cast<const VEK_UINT32 *>(reinterpret_cast<GetString>(fn)(0x6500))[0]);
    zolsim_set_gles1_table_null(1);
    EXPECT_EQ(nullptr, reinterpret_cast<GetString>(fn)(0x6500));
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVUnloadLibrary(lib));

    EXPECT_EQ(nullptr, ZOLSRVLoadLibrary("/system/vendor/lib/egl/libNotThere.so"));
    zolsim_fail("ZOLSRVLoadLibrary", 1, ZOLSRV_ERROR_GENERIC);
    EXPECT_EQ(nullptr, ZOLSRVLoadLibrary(path)) << "an injected failure is NULL too";
    zolsim_set_gles1_absent(1);
    EXPECT_EQ(nullptr, ZOLSRVLoadLibrary(path));
}

}  // namespace

TEST_F(SimTest, CallNamesListEveryFailableFunctionCalledInFirstCallOrder) {
    EXPECT_STREQ("", zolsim_call_names()) << "nothing called since the reset";
    {
        Services s;
        ZOLSRV_MUTEX_HANDLE m = nullptr;
        ASSERT_EQ(ZOLSRV_OK, ZOLSRVCreateMutex(&m));
        ZOLSRVLockMutex(m);
        ZOLSRVUnlockMutex(m);
        ZOLSRVDestroyMutex(m);
    }
    EXPECT_STREQ(
        "ZOLSRVConnect,ZOLSRVAcquireDeviceData,ZOLSRVCreateDeviceMemContext,ZOLSRVGetMiscInfo,ZOLSRVCreateMutex,"
        "ZOLSRVLockMutex,ZOLSRVUnlockMutex,ZOLSRVDestroyMutex,ZOLSRVDestroyDeviceMemContext,ZOLSRVDisconnect",
        zolsim_call_names())
        << "each function once, in the order of its first call, the mutex lock and unlock among them";
    zolsim_reset();
    EXPECT_STREQ("", zolsim_call_names()) << "a reset clears the list";
}

TEST_F(SimTest, DisconnectEndsTheMemoryContextsMadeOnTheConnection) {
    ZOLSRV_CONNECTION *conn = nullptr;
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVConnect(&conn, 0));
    ZOLSRV_DEV_DATA dev = {};
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVAcquireDeviceData(conn, 0, &dev, (ZOLSRV_DEVICE_TYPE)0));
    VEK_HANDLE ctx = nullptr;
    VEK_UINT32 n = 0;
    ZOLSRV_HEAP_INFO heaps[ZOLSRV_MAX_CLIENT_HEAPS] = {};
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVCreateDeviceMemContext(&dev, &ctx, &n, heaps));
    Services other;  // a context on another connection stays
    EXPECT_EQ(2u, zolsim_live_mem_contexts());
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVDisconnect(conn));
    EXPECT_EQ(1u, zolsim_live_mem_contexts()) << "the disconnect must end the context made on it, and only that";
}

TEST_F(SimTest, DeviceAddressesOfLiveAllocationsAreNotHandedOutAgainAfterTheRangeWraps) {
    Services s;
    ZOLSRV_CLIENT_MEM_INFO *kept = s.Alloc(4096);
    ASSERT_NE(nullptr, kept);
    const VEK_UINT32 keptFirst = kept->sDevVAddr.uiAddr;
    const VEK_UINT32 keptLast = kept->psClientSyncInfo->sReadOps2CompleteDevVAddr.uiAddr;
    // 256 MiB each (sparse memory): the device range wraps round within twenty of them.
    for (int i = 0; i < 20; i++) {
        ZOLSRV_CLIENT_MEM_INFO *m = s.Alloc((VEK_SIZE_T)256 << 20);
        ASSERT_NE(nullptr, m);
        const VEK_UINT32 first = m->sDevVAddr.uiAddr;
        const VEK_UINT32 last = m->psClientSyncInfo->sReadOps2CompleteDevVAddr.uiAddr;
        EXPECT_TRUE(last < keptFirst || first > keptLast)
            << "allocation " << i << " at 0x" << std::hex << first << "-0x" << last
            << " must not overlap the live one at 0x" << keptFirst << "-0x" << keptLast;
        EXPECT_EQ(ZOLSRV_OK, ZOLSRVFreeDeviceMem(&s.dev, m));
    }
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVFreeDeviceMem(&s.dev, kept));
}

// The device addresses an allocation holds: its data, then its three sync-object addresses.
struct DevRange {
    VEK_UINT64 uFirst, uEnd;
};
DevRange RangeOf(const ZOLSRV_CLIENT_MEM_INFO *m) {
    return {m->sDevVAddr.uiAddr, (VEK_UINT64)m->psClientSyncInfo->sReadOps2CompleteDevVAddr.uiAddr + 4};
}

TEST_F(SimTest, AfterTheRangeWrapsNewMemoryFillsTheHolesBetweenLiveAllocationsOfAnySizeWithoutOverlap) {
    Services s;
    ZOL2DCONTEXTHANDLE hContext = nullptr;
    ASSERT_EQ(ZOL2D_OK, ZOL2DCreateDeviceContext(100, &hContext, 0));
    const VEK_UINT64 uPage = (VEK_UINT64)sysconf(_SC_PAGESIZE);
    const VEK_UINT64 uStep = (VEK_UINT64)256 << 20;
    unsigned char ucWrapped = 0;
    // The 2D library's wrapped memory takes device addresses from the same range without holding
    // memory: it moves the range's cursor cheaply. Each reservation is released at once; returns the
    // cursor after it (0 on failure).
    auto reserve = [&](VEK_UINT64 uSize) -> VEK_UINT64 {
        ZOL2DMEMINFO *w = nullptr;
        if (ZOL2DMemWrap(hContext, &ucWrapped, 0, (unsigned long)uSize, nullptr, &w) != ZOL2D_OK) return 0;
        const VEK_UINT64 uAt = w->ui32DevAddr;
        EXPECT_EQ(ZOL2D_OK, ZOL2DMemFree(hContext, w));
        return uAt + uSize;
    };
    // Reserves until the range wraps round; returns the cursor then.
    auto wrapRound = [&]() -> VEK_UINT64 {
        VEK_UINT64 uPrev = 0;
        for (int i = 0; i < 64; i++) {
            const VEK_UINT64 uCursor = reserve(uStep);
            if (uCursor == 0 || uCursor < uPrev) return uCursor;
            uPrev = uCursor;
        }
        return 0;
    };
    ASSERT_NE(0u, wrapRound());

    // Live allocations of sizes that are not whole pages, with three-page holes between them.
    std::vector<ZOLSRV_CLIENT_MEM_INFO *> live, holes;
    for (VEK_UINT64 uSize : {(VEK_UINT64)1, uPage - 1, uPage + 1, 3 * uPage + 5, (VEK_UINT64)8}) {
        live.push_back(s.Alloc(uSize));
        holes.push_back(s.Alloc(2 * uPage));
        ASSERT_NE(nullptr, live.back());
        ASSERT_NE(nullptr, holes.back());
    }
    for (ZOLSRV_CLIENT_MEM_INFO *m : holes) EXPECT_EQ(ZOLSRV_OK, ZOLSRVFreeDeviceMem(&s.dev, m));
    const VEK_UINT64 uKeptFirst = RangeOf(live.front()).uFirst, uKeptEnd = RangeOf(live.back()).uEnd;

    // Round again, up to the kept allocations.
    VEK_UINT64 uCursor = wrapRound();
    ASSERT_NE(0u, uCursor);
    while (uCursor < uKeptFirst && uKeptFirst - uCursor > uStep) uCursor = reserve(uStep);
    if (uCursor < uKeptFirst) uCursor = reserve(uKeptFirst - uCursor);
    ASSERT_EQ(uKeptFirst, uCursor) << "the range's cursor must have come round to the kept allocations";

    // New allocations walk through the kept ones: each takes whole pages, and shares no address
    // with anything live.
    const size_t uKept = live.size();
    unsigned uInHoles = 0;
    const VEK_UINT64 auSizes[] = {uPage, 1, 2 * uPage + 3, uPage - 1};
    for (unsigned i = 0; i < 40 && (live.size() == uKept || RangeOf(live.back()).uFirst < uKeptEnd); i++) {
        ZOLSRV_CLIENT_MEM_INFO *m = s.Alloc(auSizes[i % 4]);
        ASSERT_NE(nullptr, m);
        const DevRange r = RangeOf(m);
        EXPECT_EQ(0u, r.uFirst % uPage) << "allocation " << i << " at 0x" << std::hex << r.uFirst;
        for (const ZOLSRV_CLIENT_MEM_INFO *o : live) {
            const DevRange q = RangeOf(o);
            EXPECT_TRUE(r.uEnd <= q.uFirst || q.uEnd <= r.uFirst)
                << "allocation " << i << " at 0x" << std::hex << r.uFirst << "-0x" << r.uEnd
                << " overlaps the live one at 0x" << q.uFirst << "-0x" << q.uEnd;
        }
        if (r.uFirst < uKeptEnd) uInHoles++;
        live.push_back(m);
    }
    EXPECT_LT(0u, uInHoles) << "new allocations must fill the holes between the kept ones";
    EXPECT_LE(uKeptEnd, RangeOf(live.back()).uFirst) << "the allocations must have got past the kept ones";
    for (ZOLSRV_CLIENT_MEM_INFO *m : live) EXPECT_EQ(ZOLSRV_OK, ZOLSRVFreeDeviceMem(&s.dev, m));
    EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyDeviceContext(hContext));
    EXPECT_EQ(0u, zolsim_live_wrapped());
}
