/* The module against a simulated device as strict as the real one: each GPU wait pair on its own,
   displays with padded rows, reference counts held by other processes, the stall report's
   arguments. */
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "module_fixture.h"

namespace {

constexpr int kSwRead = GRALLOC_USAGE_SW_READ_OFTEN;
constexpr int kSwWrite = GRALLOC_USAGE_SW_WRITE_OFTEN;
constexpr int kTexture = GRALLOC_USAGE_HW_TEXTURE;

/* ---- Each wait pair alone: the GPU finishes each class of operations on its own ---- */

struct WaitCase {
    const char *pszName;
    int iLockUsage;
    unsigned uiPendingClass; /* the one class with work pending */
    bool bWaits;             /* the lock waits for it */
};

void PrintTo(const WaitCase &s, std::ostream *psOut) { *psOut << s.pszName; }

class WaitPairTest : public AllocatorTest, public ::testing::WithParamInterface<WaitCase> {
protected:
    static VEK_UINT32 Pending(const ZOLSRV_SYNC_DATA *ps, unsigned uiClass) {
        return uiClass == ZOLSIM_GPU_READS    ? ps->ui32ReadOpsPending
               : uiClass == ZOLSIM_GPU_WRITES ? ps->ui32WriteOpsPending
                                              : ps->ui32ReadOps2Pending;
    }
    static VEK_UINT32 Complete(const ZOLSRV_SYNC_DATA *ps, unsigned uiClass) {
        return uiClass == ZOLSIM_GPU_READS    ? ps->ui32ReadOpsComplete
               : uiClass == ZOLSIM_GPU_WRITES ? ps->ui32WriteOpsComplete
                                              : ps->ui32ReadOps2Complete;
    }
};

/* Work of one class is pending; the GPU finishes that class, and only it, at the first wait. A
   lock that waits for the class returns with it finished after one wait; a lock that does not
   returns at once with it still pending. */
TEST_P(WaitPairTest, LockWaitsExactlyForTheClassesThatConflict) {
    const WaitCase &c = GetParam();
    buffer_handle_t h = nullptr;
    int iStride = 0;
    ASSERT_EQ(0,
              psAlloc->alloc(psAlloc, 32, 32, HAL_PIXEL_FORMAT_BGRA_8888, kSwRead | kSwWrite | kTexture, &h, &iStride));
    ZOLSRV_CLIENT_MEM_INFO *psMem = MemInfo(h);
    ASSERT_NE(nullptr, psMem);
    const ZOLSRV_SYNC_DATA *psSync = psMem->psClientSyncInfo->psSyncData;
    zolsim_gpu_add_ops(psMem, c.uiPendingClass == ZOLSIM_GPU_READS ? 2 : 0,
                       c.uiPendingClass == ZOLSIM_GPU_WRITES ? 2 : 0, c.uiPendingClass == ZOLSIM_GPU_READS2 ? 2 : 0);
    zolsim_gpu_complete_classes_on_next_wait(psMem, c.uiPendingClass);
    const unsigned uiWaitsBefore = zolsim_calls("ZOLSRVEventObjectWait");

    void *apv[3];
    ASSERT_EQ(0, psHMI->base.base.lock(&psHMI->base.base, h, c.iLockUsage, 0, 0, 32, 32, apv));
    if (c.bWaits) {
        EXPECT_EQ(uiWaitsBefore + 1, zolsim_calls("ZOLSRVEventObjectWait"));
        EXPECT_EQ(2u, Complete(psSync, c.uiPendingClass)) << "the lock returned once the class was done";
    } else {
        EXPECT_EQ(uiWaitsBefore, zolsim_calls("ZOLSRVEventObjectWait")) << "nothing to wait for";
        EXPECT_EQ(0u, Complete(psSync, c.uiPendingClass));
    }
    EXPECT_EQ(2u, Pending(psSync, c.uiPendingClass));
    EXPECT_EQ(0u, zolsim_stall_reports());
    EXPECT_EQ(0, psHMI->base.base.unlock(&psHMI->base.base, h));
    zolsim_gpu_complete(psMem);
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, WaitPairTest,
    ::testing::Values(WaitCase{"WriterWaitsForReads", kSwWrite, ZOLSIM_GPU_READS, true},
                      WaitCase{"WriterWaitsForSecondReads", kSwWrite, ZOLSIM_GPU_READS2, true},
                      WaitCase{"WriterIgnoresWrites", kSwWrite, ZOLSIM_GPU_WRITES, false},
                      WaitCase{"ReaderWaitsForWrites", kSwRead, ZOLSIM_GPU_WRITES, true},
                      WaitCase{"ReaderIgnoresReads", kSwRead, ZOLSIM_GPU_READS, false},
                      WaitCase{"ReaderIgnoresSecondReads", kSwRead, ZOLSIM_GPU_READS2, false},
                      WaitCase{"ReadWriteWaitsForWrites", kSwRead | kSwWrite, ZOLSIM_GPU_WRITES, true},
                      WaitCase{"ReadWriteWaitsForSecondReads", kSwRead | kSwWrite, ZOLSIM_GPU_READS2, true}),
    [](const ::testing::TestParamInfo<WaitCase> &info) { return std::string(info.param.pszName); });

/* The first read class finishes, the second never does: the writer still waits for it, to the
   bound, and reports the stall with the module's device data and record. */
TEST_F(WaitPairTest, WriterWaitsForTheSecondReadsAfterTheFirstAreDone) {
    zolsim_set_wait_timeout_ms(1);
    buffer_handle_t h = nullptr;
    int iStride = 0;
    ASSERT_EQ(0, psAlloc->alloc(psAlloc, 32, 32, HAL_PIXEL_FORMAT_BGRA_8888, kSwWrite | kTexture, &h, &iStride));
    ZOLSRV_CLIENT_MEM_INFO *psMem = MemInfo(h);
    ASSERT_NE(nullptr, psMem);
    zolsim_gpu_add_ops(psMem, 1, 0, 1);
    zolsim_gpu_complete_classes_on_next_wait(psMem, ZOLSIM_GPU_READS);
    void *apv[3];
    ASSERT_EQ(0, psHMI->base.base.lock(&psHMI->base.base, h, kSwWrite, 0, 0, 32, 32, apv));
    const ZOLSRV_SYNC_DATA *psSync = psMem->psClientSyncInfo->psSyncData;
    EXPECT_EQ(1u, psSync->ui32ReadOpsComplete);
    EXPECT_EQ(0u, psSync->ui32ReadOps2Complete);
    EXPECT_EQ(51u, zolsim_calls("ZOLSRVEventObjectWait")) << "one wait with an event, then fifty time-outs";
    ASSERT_EQ(1u, zolsim_stall_reports());
    ZOLSIM_CLIENT_EVENT_RECORD sEvent;
    ASSERT_EQ(1u, zolsim_client_event_records(&sEvent, 1));
    EXPECT_EQ(ZOLSRV_CLIENT_EVENT_HWTIMEOUT, sEvent.eEvent);
    EXPECT_EQ(&Private()->sDevData, sEvent.psDevData);
    EXPECT_EQ(static_cast<const void *>(psHMI), sEvent.pvData) << "the module record that holds the private data";
    EXPECT_EQ(0, psHMI->base.base.unlock(&psHMI->base.base, h));
    zolsim_gpu_complete(psMem);
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
}

/* ---- A display with padded rows: 800 RGB 565 pixels in rows of 1,664 bytes ---- */

class PaddedRows : public ModuleTest {
protected:
    void Configure() override {
        ZOL2DDISPLAYINFO sInfo = {1, 3, ZOL2D_PIXEL_FORMAT_RGB565, 800, 480, 1664, 0, 1};
        zolsim_set_display(0, &sInfo, nullptr);
    }
};

TEST_F(PaddedRows, StrideIsTheDisplaysRowInPixelsAndFramesShowRowByRow) {
    framebuffer_device_t *psFb = OpenFb();
    ASSERT_NE(nullptr, psFb);
    EXPECT_EQ(800u, psFb->width);
    EXPECT_EQ(832, psFb->stride) << "1,664 bytes of 2-byte pixels";
    alloc_device_t *psAlloc = OpenAlloc();
    ASSERT_NE(nullptr, psAlloc);
    buffer_handle_t h = nullptr;
    int iStride = 0;
    ASSERT_EQ(
        0, psAlloc->alloc(psAlloc, 800, 480, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_FB | kSwWrite, &h, &iStride));
    EXPECT_EQ(832, iStride);

    /* Row y, column x holds y * 800 + x: the screen shows it only if every row starts where the
       display reads it. */
    void *apv[3];
    ASSERT_EQ(0, psHMI->base.base.lock(&psHMI->base.base, h, kSwWrite, 0, 0, 800, 480, apv));
    unsigned short *pus = static_cast<unsigned short *>(apv[0]);
    for (int y = 0; y < 480; y++)
        for (int x = 0; x < 800; x++) pus[y * iStride + x] = (unsigned short)(y * 800 + x);
    EXPECT_EQ(0, psHMI->base.base.unlock(&psHMI->base.base, h));
    ASSERT_EQ(0, psFb->post(psFb, h));

    ZOLSIM_SCREEN_INFO sScreen;
    ASSERT_TRUE(zolsim_screen_info(0, &sScreen));
    EXPECT_EQ(1664, sScreen.lStride);
    std::vector<unsigned short> ausScreen(832 * 480);
    ASSERT_EQ(ausScreen.size() * 2, zolsim_screen_pixels(0, ausScreen.data(), ausScreen.size() * 2));
    size_t uWrong = 0;
    for (int y = 0; y < 480; y++)
        for (int x = 0; x < 800; x++) uWrong += ausScreen[(size_t)y * 832 + x] != (unsigned short)(y * 800 + x);
    EXPECT_EQ(0u, uWrong);
    EXPECT_EQ(0, psAlloc->free(psAlloc, h));
    EXPECT_EQ(0, gralloc_close(psAlloc));
    EXPECT_EQ(0, framebuffer_close(psFb));
}

/* ---- The video pool's reference counts: mappings held by other processes count ---- */

class PoolReferences : public AllocatorTest {
protected:
    buffer_handle_t Lend() {
        buffer_handle_t h = nullptr;
        int iStride = 0;
        EXPECT_EQ(0, psAlloc->alloc(psAlloc, 320, 240, 0x100, GRALLOC_USAGE_HW_COMPOSER, &h, &iStride));
        EXPECT_TRUE(h != nullptr && (AsVek(h)->usage & GRALLOC_USAGE_PRIVATE_1) != 0) << "a pair of the pool";
        return h;
    }
};

/* A client process maps both planes of a lent pair, as its registerBuffer does, and holds them
   after the compositor gave the pair back: the pair is referenced more than twice and is not lent
   again until the client lets go. */
TEST_F(PoolReferences, APairAnotherProcessStillMapsIsNotLentAgain) {
    buffer_handle_t h = Lend();
    ASSERT_NE(nullptr, h);
    const VEK_UINT64 ui64Pair = AsVek(h)->ui64Stamp;
    int aiToChild[2], aiToParent[2];
    ASSERT_EQ(0, pipe(aiToChild));
    ASSERT_EQ(0, pipe(aiToParent));
    const pid_t iChild = fork();
    ASSERT_GE(iChild, 0);
    if (iChild == 0) {
        ZOLSRV_CONNECTION *psConnection = nullptr;
        ZOLSRV_DEV_DATA sDev = {};
        VEK_HANDLE hContext = nullptr;
        VEK_UINT32 ui32Heaps = 0;
        ZOLSRV_HEAP_INFO asHeaps[ZOLSRV_MAX_CLIENT_HEAPS];
        ZOLSRV_CLIENT_MEM_INFO *aps[2] = {};
        char c = ZOLSRVConnect(&psConnection, 0) == ZOLSRV_OK &&
                 ZOLSRVAcquireDeviceData(psConnection, 0, &sDev, (ZOLSRV_DEVICE_TYPE)0) == ZOLSRV_OK &&
                 ZOLSRVCreateDeviceMemContext(&sDev, &hContext, &ui32Heaps, asHeaps) == ZOLSRV_OK &&
                 ZOLSRVMapDeviceMemory2(&sDev, AsVek(h)->fd[0], asHeaps[1].hDevMemHeap, &aps[0]) == ZOLSRV_OK &&
                 ZOLSRVMapDeviceMemory2(&sDev, AsVek(h)->fd[1], asHeaps[1].hDevMemHeap, &aps[1]) == ZOLSRV_OK;
        if (write(aiToParent[1], &c, 1) != 1 || read(aiToChild[0], &c, 1) != 1) _exit(2);
        for (ZOLSRV_CLIENT_MEM_INFO *ps : aps)
            if (ps != nullptr) ZOLSRVUnmapDeviceMemory(&sDev, ps);
        c = 1;
        if (write(aiToParent[1], &c, 1) != 1) _exit(2);
        _exit(zolsim_misuse_count() == 0 ? 0 : 3);
    }
    char c = 0;
    ASSERT_EQ(1, read(aiToParent[0], &c, 1));
    ASSERT_EQ(1, c) << "the client mapped the pair";
    ASSERT_EQ(0, psAlloc->free(psAlloc, h));

    buffer_handle_t hWhileMapped = Lend();
    ASSERT_NE(nullptr, hWhileMapped);
    EXPECT_NE(ui64Pair, AsVek(hWhileMapped)->ui64Stamp) << "the client still maps the first pair";

    ASSERT_EQ(1, write(aiToChild[1], "x", 1));
    ASSERT_EQ(1, read(aiToParent[0], &c, 1)) << "the client unmapped";
    int iStatus = -1;
    ASSERT_EQ(iChild, waitpid(iChild, &iStatus, 0));
    EXPECT_TRUE(WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0) << iStatus;
    for (int *pi : {aiToChild, aiToParent}) {
        close(pi[0]);
        close(pi[1]);
    }
    buffer_handle_t hAfter = Lend();
    ASSERT_NE(nullptr, hAfter);
    EXPECT_EQ(ui64Pair, AsVek(hAfter)->ui64Stamp) << "let go: the first pair is lent again";
    EXPECT_EQ(0, psAlloc->free(psAlloc, hAfter));
    EXPECT_EQ(0, psAlloc->free(psAlloc, hWhileMapped));
}

}  // namespace
