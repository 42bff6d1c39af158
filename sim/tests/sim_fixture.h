// What the simulated device's own tests share: a descriptor owner, a services connection with its
// general heap, a forked child's verdict, the fixture that resets the device, and the fixture of the
// misuse suites.
#ifndef SIM_TESTS_SIM_FIXTURE_H
#define SIM_TESTS_SIM_FIXTURE_H

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "no_misuse.h"
#include "zolsim/control.h"

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// A connection, the 3D device and its general heap, released in reverse order.
class Services {
public:
    Services() {
        EXPECT_EQ(ZOLSRV_OK, ZOLSRVConnect(&conn, 0));
        EXPECT_EQ(ZOLSRV_OK, ZOLSRVAcquireDeviceData(conn, 0, &dev, (ZOLSRV_DEVICE_TYPE)0));
        VEK_UINT32 n = 0;
        EXPECT_EQ(ZOLSRV_OK, ZOLSRVCreateDeviceMemContext(&dev, &ctx, &n, heaps));
        EXPECT_EQ(2u, n);
        EXPECT_EQ(0u, heaps[1].ui32HeapID & 0x00ffffff) << "the general heap is the second";
        heap = heaps[1].hDevMemHeap;
        ZOLSRV_MISC_INFO mi = {};
        mi.ui32StateRequest = ZOLSRV_MISC_INFO_GLOBALEVENTOBJECT_PRESENT;
        EXPECT_EQ(ZOLSRV_OK, ZOLSRVGetMiscInfo(conn, &mi));
        event = mi.hOSGlobalEvent;
        EXPECT_NE(nullptr, event);
    }
    ~Services() {
        if (conn == nullptr) return;
        EXPECT_EQ(ZOLSRV_OK, ZOLSRVDestroyDeviceMemContext(&dev, ctx));
        EXPECT_EQ(ZOLSRV_OK, ZOLSRVDisconnect(conn));
    }
    Services(const Services &) = delete;
    Services &operator=(const Services &) = delete;
    // Closes the connection with all it made still live, for the disconnect to end.
    void DisconnectLeavingAll() {
        EXPECT_EQ(ZOLSRV_OK, ZOLSRVDisconnect(conn));
        conn = nullptr;
    }
    ZOLSRV_CLIENT_MEM_INFO *Alloc(VEK_SIZE_T size) {
        ZOLSRV_CLIENT_MEM_INFO *m = nullptr;
        EXPECT_EQ(ZOLSRV_OK, ZOLSRVAllocDeviceMem2(&dev, heap, 0, size, 4096, nullptr, 0, &m));
        return m;
    }

    ZOLSRV_CONNECTION *conn = nullptr;
    ZOLSRV_DEV_DATA dev = {};
    VEK_HANDLE ctx = nullptr;
    ZOLSRV_HEAP_INFO heaps[ZOLSRV_MAX_CLIENT_HEAPS] = {};
    VEK_HANDLE heap = nullptr;
    VEK_HANDLE event = nullptr;
};

// Runs fn in a forked child; its result is the child's exit status (0 = passed).
template <typename Fn>
inline int InChild(Fn fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int status = -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { zolsim_reset(); }

private:
    NoMisuse sNoMisuse_;
};

// The simulated libraries called directly with what the real ones would refuse: a connection, the
// 3D device, a memory context with its general heap, and a 2D context, each made as a caller should.
class MisuseTest : public ::testing::Test {
protected:
    void SetUp() override {
        zolsim_reset();
        psServices.reset(new Services);
        psConnection = psServices->conn;
        sDev = psServices->dev;
        hContext = psServices->ctx;
        hHeap = psServices->heap;
        ASSERT_EQ(ZOL2D_OK, ZOL2DCreateDeviceContext(100, &h2D, 0));
    }
    void TearDown() override {
        EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyDeviceContext(h2D));
        psServices.reset();
    }

    // The call fails with a misuse recorded, its message naming the call and saying pszWhat.
    static void ExpectMisuse(const char *pszCall, const char *pszWhat, const std::function<bool()> &fnFails) {
        const unsigned uiBefore = zolsim_misuse_count();
        EXPECT_TRUE(fnFails()) << pszCall << " answered no error";
        EXPECT_EQ(uiBefore + 1, zolsim_misuse_count()) << pszCall;
        const std::string sText = zolsim_misuse_text();
        EXPECT_NE(std::string::npos, sText.find(std::string(pszCall) + ": ")) << sText;
        EXPECT_NE(std::string::npos, sText.find(pszWhat)) << sText;
        zolsim_clear_misuse();
    }

    ZOLSRV_CLIENT_MEM_INFO *Alloc() {
        ZOLSRV_CLIENT_MEM_INFO *ps = nullptr;
        EXPECT_EQ(ZOLSRV_OK, ZOLSRVAllocDeviceMem2(&sDev, hHeap, 0, 4096, 4096, nullptr, 0, &ps));
        return ps;
    }

    std::unique_ptr<Services> psServices;
    ZOLSRV_CONNECTION *psConnection = nullptr;
    ZOLSRV_DEV_DATA sDev = {};
    VEK_HANDLE hContext = nullptr;
    VEK_HANDLE hHeap = nullptr;
    ZOL2DCONTEXTHANDLE h2D = nullptr;

private:
    NoMisuse sNoMisuse_;
};

#endif
