/* Many threads locking, unlocking, freeing and unregistering the same buffers while the
   simulated GPU completes its work late: nothing crashes, deadlocks or leaks, and every lock
   that succeeds obeys the rules. */
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "foreign_buffer.h"
#include "module_fixture.h"

namespace {

struct Shared {
    buffer_handle_t h = nullptr;
    ZOLSRV_CLIENT_MEM_INFO *psGpuPlane = nullptr; /* the allocating side's description */
    bool bForeign = false;
    std::atomic<int> iReaders{0}, iWriters{0};
    std::atomic<bool> bGone{false};
};

class ThreadsTest : public ModuleTest {};

TEST_F(ThreadsTest, ConcurrentAccessKeepsTheRules) {
    zolsim_set_wait_timeout_ms(1);
    const gralloc_module_t *psGralloc = &psHMI->base.base;
    alloc_device_t *psAlloc = OpenAlloc();
    ASSERT_NE(nullptr, psAlloc);
    std::unique_ptr<ForeignAllocator> psForeign(new ForeignAllocator());

    constexpr int kSw = GRALLOC_USAGE_SW_READ_OFTEN | GRALLOC_USAGE_SW_WRITE_OFTEN;
    std::vector<std::unique_ptr<Shared>> asBuffers;
    for (int i = 0; i < 8; i++) {
        std::unique_ptr<Shared> ps(new Shared());
        if (i < 4) {
            int iStride = 0;
            ASSERT_EQ(0, psAlloc->alloc(psAlloc, 32, 16, HAL_PIXEL_FORMAT_BGRA_8888, kSw | GRALLOC_USAGE_HW_TEXTURE,
                                        &ps->h, &iStride));
            ps->psGpuPlane = MemInfo(ps->h);
        } else {
            ps->bForeign = true;
            ps->h = psForeign->Make(i % 2 ? kSw | GRALLOC_USAGE_HW_RENDER : GRALLOC_USAGE_HW_COMPOSER, 32, 16);
            ps->psGpuPlane = psForeign->Plane((size_t)(i - 4));
            ASSERT_EQ(0, psGralloc->registerBuffer(psGralloc, ps->h));
        }
        asBuffers.push_back(std::move(ps));
    }

    /* A deadlock fails loudly instead of hanging the suite. */
    std::atomic<bool> bDone{false};
    std::thread sWatchdog([&] {
        for (int i = 0; i < 600 && !bDone; i++) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!bDone) {
            fprintf(stderr, "ThreadsTest: no progress for 60 s, deadlock\n");
            abort();
        }
    });

    std::atomic<int> iViolations{0}, iLocks{0};
    std::vector<std::thread> asThreads;
    for (int t = 0; t < 6; t++) {
        asThreads.emplace_back([&, t] {
            std::mt19937 sRandom((unsigned)t * 7919u + 1);
            for (int n = 0; n < 300; n++) {
                Shared &s = *asBuffers[sRandom() % asBuffers.size()];
                unsigned uiOp = sRandom() % 10;
                if (uiOp < 2) {
                    zolsim_gpu_add_ops(s.psGpuPlane, sRandom() % 2, sRandom() % 2, 0);
                    zolsim_gpu_complete_after(s.psGpuPlane, sRandom() % 4);
                } else if (uiOp < 8) {
                    bool bWrite = uiOp >= 6;
                    int iUsage = bWrite ? GRALLOC_USAGE_SW_WRITE_OFTEN : GRALLOC_USAGE_SW_READ_OFTEN;
                    void *apv[3];
                    if (psGralloc->lock(psGralloc, s.h, iUsage, 0, 0, 32, 16, apv) != 0) continue;
                    iLocks++;
                    int iWriters = (bWrite ? ++s.iWriters : s.iWriters.load());
                    int iReaders = (bWrite ? s.iReaders.load() : ++s.iReaders);
                    if ((bWrite && (iWriters != 1 || iReaders != 0)) || (!bWrite && iWriters != 0)) iViolations++;
                    /* A reader only reads: readers share the buffer, so ThreadSanitizer sees a
                       writer let in beside anyone else as a race on the pixels. */
                    if (apv[0] == nullptr)
                        iViolations++;
                    else if (bWrite)
                        static_cast<volatile unsigned char *>(apv[0])[sRandom() % 2048] = (unsigned char)n;
                    else
                        (void)static_cast<volatile unsigned char *>(apv[0])[sRandom() % 2048];
                    std::this_thread::sleep_for(std::chrono::microseconds(sRandom() % 200));
                    if (bWrite)
                        s.iWriters--;
                    else
                        s.iReaders--;
                    if (psGralloc->unlock(psGralloc, s.h) != 0) iViolations++;
                } else if (s.bForeign) {
                    /* Unregister and register again; refused while the buffer is in use. */
                    if (psGralloc->unregisterBuffer(psGralloc, s.h) == 0) {
                        while (psGralloc->registerBuffer(psGralloc, s.h) != 0)
                            std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                } else if (!s.bGone && sRandom() % 8 == 0) {
                    /* Free through a copy of the handle: the others keep a valid handle whose
                       buffer may be gone, and must then be refused. */
                    native_handle_t *psCopy = CopyHandle(s.h);
                    if (psAlloc->free(psAlloc, psCopy) == 0)
                        s.bGone = true;
                    else
                        native_handle_delete(psCopy);
                }
            }
        });
    }
    for (std::thread &s : asThreads) s.join();
    bDone = true;
    sWatchdog.join();

    EXPECT_EQ(0, iViolations.load());
    EXPECT_GT(iLocks.load(), 100) << "the test exercised the locks";
    for (auto &ps : asBuffers) zolsim_gpu_complete(ps->psGpuPlane);
    for (auto &ps : asBuffers) {
        if (ps->bForeign) {
            EXPECT_EQ(0, psGralloc->unregisterBuffer(psGralloc, ps->h));
        } else if (!ps->bGone) {
            EXPECT_EQ(0, psAlloc->free(psAlloc, ps->h));
        }
    }
    /* Let the deferred releases drain. */
    for (int i = 0; i < 10000; i++) {
        ZOLSRVLockMutex(Private()->hMutex);
        bool bEmpty = Private()->psMapList == nullptr;
        ZOLSRVUnlockMutex(Private()->hMutex);
        if (bEmpty) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(nullptr, Private()->psMapList);
    EXPECT_EQ(0u, zolsim_live_mappings());
    psForeign.reset();
    /* Deleted copies leave the originals of freed buffers to delete here. */
    for (auto &ps : asBuffers)
        if (!ps->bForeign && ps->bGone) native_handle_delete(const_cast<native_handle_t *>(ps->h));
    EXPECT_EQ(0u, zolsim_live_allocations());
    EXPECT_EQ(0u, zolsim_live_exported_fds());
    gralloc_close(psAlloc);
}

}  // namespace
