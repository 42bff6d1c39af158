/* Load: eight threads of mixed allocate, free, lock, unlock, map, unmap, register and unregister,
   and two client processes that register, lock, read, unlock and unregister the buffers they are
   sent, while the simulated GPU finishes its work late and at random. No deadlock (a watchdog
   aborts), no lost buffer, and nothing live when everything has been let go.

   One step in four works on the display: Blit2 of a window into one of the display's buffers,
   and a post (by flip, by blit, or a bypassed post with Post2 of the kept buffer). Meanwhile the
   test's own thread closes fb0 and opens it again every few milliseconds, switching between
   flip and blit mode, while the threads go on with their buffers.

   GRALLOC_STRESS_SECONDS sets the length (make stress: 10 s; the suites run it for 1 s). New
   operations join as rows of the operation tables in Worker. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "foreign_buffer.h"
#include "handle_transport.h"
#include "module_fixture.h"

namespace {

constexpr int kThreads = 8;
constexpr int kPeers = 2;
/* How often the display is closed and opened again. */
constexpr auto kReopenEvery = std::chrono::milliseconds(40);
constexpr int kSw = GRALLOC_USAGE_SW_READ_OFTEN | GRALLOC_USAGE_SW_WRITE_OFTEN;

double StressSeconds() {
    const char *psz = getenv("GRALLOC_STRESS_SECONDS");
    double d = psz != nullptr ? atof(psz) : 1.0;
    return d > 0 ? d : 1.0;
}

/* The second process: for every handle it receives, register, lock for reading, read, unlock,
   unregister; answers one byte per handle (0 when all held). Exits 0 when it ends with nothing
   mapped. */
[[noreturn]] void RunPeer(int iSocket) {
    zolsim_reset();
    zolsim_set_wait_timeout_ms(2);
    const hw_module_t *psModule = nullptr;
    if (hw_get_module(GRALLOC_HARDWARE_MODULE_ID, &psModule) != 0) _exit(10);
    const gralloc_module_t *psGralloc = reinterpret_cast<const gralloc_module_t *>(psModule);
    for (;;) {
        BufferDescription sDescription;
        native_handle_t *psHandle = ReceiveBufferHandle(iSocket, &sDescription);
        if (psHandle == nullptr) break;
        unsigned char ucResult = 0;
        void *apv[3] = {};
        if (psGralloc->registerBuffer(psGralloc, psHandle) != 0) ucResult |= 1;
        if (ucResult == 0 && psGralloc->lock(psGralloc, psHandle, GRALLOC_USAGE_SW_READ_OFTEN, 0, 0,
                                             sDescription.iWidth, sDescription.iHeight, apv) != 0)
            ucResult |= 2;
        if (ucResult == 0) {
            volatile unsigned *pui = static_cast<volatile unsigned *>(apv[0]);
            if (pui[0] != (unsigned)sDescription.iWidth) ucResult |= 4; /* the sender's mark */
            if (psGralloc->unlock(psGralloc, psHandle) != 0) ucResult |= 8;
        }
        if (psGralloc->unregisterBuffer(psGralloc, psHandle) != 0) ucResult |= 16;
        native_handle_close(psHandle);
        native_handle_delete(psHandle);
        if (write(iSocket, &ucResult, 1) != 1) break;
    }
    /* Releases deferred behind the GPU finish within the wait time-outs. */
    for (int i = 0; i < 500 && zolsim_live_mappings() != 0; i++) usleep(2000);
    const bool bNothingMapped = zolsim_live_mappings() == 0;
    /* Unloading joins the module's last release worker, which a bare exit would leave behind. */
    dlclose(psModule->dso);
    /* Calls the real libraries would refuse fail the peer. */
    if (zolsim_misuse_count() != 0) {
        fprintf(stderr, "peer: %s", zolsim_misuse_text());
        _exit(12);
    }
    _exit(bNothingMapped ? 0 : 11);
}

struct Buffer {
    buffer_handle_t h = nullptr;
    bool bForeign = false;
    bool bRegistered = false;                /* foreign buffers only */
    ZOLSRV_CLIENT_MEM_INFO *psGpu = nullptr; /* the allocating side's description, for the GPU */
    int iWidth = 0, iHeight = 0, iStride = 0;
};

/* Buffers not in use by any thread. A thread checks one out, works on it, and returns it (or
   drops it after freeing), so that no handle is used after its free. */
class Pool {
public:
    void Put(std::unique_ptr<Buffer> ps) {
        std::lock_guard<std::mutex> g(mu_);
        aps_.push_back(std::move(ps));
    }
    std::unique_ptr<Buffer> Take(std::mt19937 &rng, bool bForeign) {
        std::lock_guard<std::mutex> g(mu_);
        std::vector<size_t> auMatching;
        for (size_t i = 0; i < aps_.size(); i++)
            if (aps_[i]->bForeign == bForeign) auMatching.push_back(i);
        if (auMatching.empty()) return nullptr;
        size_t u = auMatching[rng() % auMatching.size()];
        std::unique_ptr<Buffer> ps = std::move(aps_[u]);
        aps_.erase(aps_.begin() + (long)u);
        return ps;
    }
    size_t Size() {
        std::lock_guard<std::mutex> g(mu_);
        return aps_.size();
    }
    std::vector<std::unique_ptr<Buffer>> TakeAll() {
        std::lock_guard<std::mutex> g(mu_);
        return std::move(aps_);
    }

private:
    std::mutex mu_;
    std::vector<std::unique_ptr<Buffer>> aps_;
};

class StressTest : public ModuleTest {
protected:
    void SetUp() override {
        /* The peers are forked before this process loads the module or starts a thread. */
        for (int k = 0; k < kPeers; k++) {
            int aiSockets[2];
            ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, aiSockets));
            fflush(nullptr);
            aiPeer[k] = fork();
            ASSERT_GE(aiPeer[k], 0);
            if (aiPeer[k] == 0) {
                close(aiSockets[0]);
                for (int j = 0; j < k; j++) close(aiSocket[j]);
                RunPeer(aiSockets[1]);
            }
            close(aiSockets[1]);
            aiSocket[k] = aiSockets[0];
        }
        ModuleTest::SetUp();
    }

    void TearDown() override {
        for (int k = 0; k < kPeers; k++) {
            if (aiSocket[k] >= 0) close(aiSocket[k]);
            if (aiPeer[k] > 0) waitpid(aiPeer[k], nullptr, 0);
        }
    }

    pid_t aiPeer[kPeers] = {-1, -1};
    int aiSocket[kPeers] = {-1, -1};
};

TEST_F(StressTest, EightThreadsAndTwoClientsWhileTheDisplayReopensLoseNothingAndLeaveNothingLive) {
    const double dSeconds = StressSeconds();
    zolsim_set_wait_timeout_ms(1);
    const gralloc_module_t *psGralloc = &psHMI->base.base;
    alloc_device_t *psAlloc = OpenAlloc();
    ASSERT_NE(nullptr, psAlloc);

    /* The display and its two buffers, shared by every thread: windows are blitted into them and
       they are posted, as a compositor does. The test's thread replaces them all when it reopens
       fb0; a thread holds sDisplayLock shared while it uses them. */
    struct Display {
        framebuffer_device_t *psFb = nullptr;
        buffer_handle_t ah[2] = {};
        bool bBlitMode = false;
    } sDisplay;
    std::shared_mutex sDisplayLock;
    std::atomic<bool> bReopenWanted{false};
    auto OpenDisplay = [&](bool bBlitMode) {
        zolsim_set_app_hint("HALPresentMode", bBlitMode ? 1 : 0);
        sDisplay.psFb = OpenFb();
        ASSERT_NE(nullptr, sDisplay.psFb);
        sDisplay.bBlitMode = bBlitMode;
        for (buffer_handle_t &h : sDisplay.ah) {
            int iStride = 0;
            ASSERT_EQ(0, psAlloc->alloc(psAlloc, sDisplay.psFb->width, sDisplay.psFb->height, sDisplay.psFb->format,
                                        GRALLOC_USAGE_HW_FB, &h, &iStride));
        }
    };
    auto CloseDisplay = [&] {
        for (buffer_handle_t h : sDisplay.ah) EXPECT_EQ(0, psAlloc->free(psAlloc, h));
        EXPECT_EQ(0, sDisplay.psFb->common.close(&sDisplay.psFb->common))
            << "the display closes once every post has returned";
        sDisplay = Display();
    };

    const unsigned uiBeforeDisplay = zolsim_live_allocations();
    OpenDisplay(false);
    if (HasFatalFailure()) return;
    /* The flip chain's buffers, which go when the display closes. */
    const unsigned uiDisplayAllocations = zolsim_live_allocations() - uiBeforeDisplay;
    std::unique_ptr<ForeignAllocator> psForeign(new ForeignAllocator());
    /* One thread posts at a time, as a compositor does: the bypass flag is the device's, set
       without the module's lock, and a bypassed post's buffer must be the one Post2 shows. */
    std::mutex muPost;

    Pool sPool;
    for (int i = 0; i < 6; i++) {
        std::unique_ptr<Buffer> ps(new Buffer());
        ps->bForeign = true;
        ps->iWidth = 32;
        ps->iHeight = 16;
        ps->iStride = 32;
        ps->h = psForeign->Make(i % 2 ? kSw | GRALLOC_USAGE_HW_TEXTURE : GRALLOC_USAGE_HW_COMPOSER, 32, 16);
        ps->psGpu = psForeign->Plane((size_t)i);
        sPool.Put(std::move(ps));
    }

    const unsigned uiBaseAllocations = zolsim_live_allocations() - uiDisplayAllocations;
    std::atomic<bool> bDone{false};
    std::thread sWatchdog([&] {
        auto tLimit = std::chrono::steady_clock::now() + std::chrono::duration<double>(dSeconds + 60);
        while (!bDone && std::chrono::steady_clock::now() < tLimit)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!bDone) {
            fprintf(stderr, "StressTest: not finished 60 s after its end, deadlock\n");
            abort();
        }
    });

    std::mutex amuPeer[kPeers]; /* one conversation with each peer at a time */
    std::atomic<unsigned> uiOps{0}, uiFailures{0}, uiBlits{0}, uiFlipPosts{0}, uiBlitPosts{0}, uiReopens{0};
    std::atomic<unsigned> auiPeerBuffers[kPeers];
    for (std::atomic<unsigned> &ui : auiPeerBuffers) ui = 0;
    std::atomic<int> iFirstFailure{0};
    auto Fail = [&](int iLine, int iErr) {
        if (uiFailures++ == 0) iFirstFailure = iLine * 1000 + (iErr < 0 ? -iErr : iErr);
    };
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::duration<double>(dSeconds);

    auto Worker = [&](unsigned uiSeed) {
        std::mt19937 rng(uiSeed);
        const int aiFormats[] = {HAL_PIXEL_FORMAT_BGRA_8888, HAL_PIXEL_FORMAT_RGB_565, HAL_PIXEL_FORMAT_RGBX_8888,
                                 HAL_PIXEL_FORMAT_YV12};
        /* The GPU still works on the buffer and finishes after 0 to 3 ms. */
        auto GpuBusy = [&](Buffer &s) {
            if (s.psGpu == nullptr || rng() % 2) return;
            zolsim_gpu_add_ops(s.psGpu, rng() % 2, rng() % 2, rng() % 2);
            zolsim_gpu_complete_after(s.psGpu, rng() % 4);
        };
        const std::vector<std::function<void()>> asOps = {
            /* allocate */
            [&] {
                if (sPool.Size() > 24) return;
                std::unique_ptr<Buffer> ps(new Buffer());
                ps->iWidth = 1 + (int)(rng() % 64);
                ps->iHeight = 1 + (int)(rng() % 32);
                int usage = kSw | (rng() % 2 ? GRALLOC_USAGE_HW_TEXTURE | GRALLOC_USAGE_HW_RENDER : 0);
                int iErr =
                    psAlloc->alloc(psAlloc, ps->iWidth, ps->iHeight, aiFormats[rng() % 4], usage, &ps->h, &ps->iStride);
                if (iErr != 0) return Fail(__LINE__, iErr);
                ps->psGpu = MemInfo(ps->h);
                sPool.Put(std::move(ps));
            },
            /* free, possibly while the GPU still works on it */
            [&] {
                std::unique_ptr<Buffer> ps = sPool.Take(rng, false);
                if (ps == nullptr) return;
                GpuBusy(*ps);
                int iErr = psAlloc->free(psAlloc, ps->h);
                if (iErr != 0) return Fail(__LINE__, iErr);
            },
            /* lock and unlock, waiting for the GPU */
            [&] {
                bool bForeign = rng() % 2;
                std::unique_ptr<Buffer> ps = sPool.Take(rng, bForeign);
                if (ps == nullptr) return;
                if (ps->bForeign && !ps->bRegistered) {
                    int iErr = psGralloc->registerBuffer(psGralloc, ps->h);
                    if (iErr != 0) Fail(__LINE__, iErr);
                    ps->bRegistered = iErr == 0;
                }
                if (!ps->bForeign || ps->bRegistered) {
                    GpuBusy(*ps);
                    void *apv[3] = {};
                    int usage = rng() % 2 ? GRALLOC_USAGE_SW_READ_OFTEN : kSw;
                    int iErr = psGralloc->lock(psGralloc, ps->h, usage, 0, 0, ps->iWidth, ps->iHeight, apv);
                    if (iErr != 0) {
                        Fail(__LINE__, iErr);
                    } else {
                        if (apv[0] == nullptr)
                            Fail(__LINE__, 0);
                        else if (usage & GRALLOC_USAGE_SW_WRITE_OFTEN)
                            static_cast<volatile char *>(apv[0])[0] = 1;
                        iErr = psGralloc->unlock(psGralloc, ps->h);
                        if (iErr != 0) Fail(__LINE__, iErr);
                    }
                }
                sPool.Put(std::move(ps));
            },
            /* map and unmap by stamp */
            [&] {
                std::unique_ptr<Buffer> ps = sPool.Take(rng, rng() % 2);
                if (ps == nullptr) return;
                if (!ps->bForeign || ps->bRegistered) {
                    ZOLSRV_CLIENT_MEM_INFO *apsMem[3] = {};
                    VEK_UINT64 ui64Stamp = AsVek(ps->h)->ui64Stamp;
                    int iErr = psHMI->map(psGralloc, ui64Stamp, GRALLOC_USAGE_HW_TEXTURE, apsMem);
                    if (iErr != 0) Fail(__LINE__, iErr);
                    if (iErr == 0 && (iErr = psHMI->unmap(psGralloc, ui64Stamp)) != 0) Fail(__LINE__, iErr);
                }
                sPool.Put(std::move(ps));
            },
            /* unregister a foreign buffer */
            [&] {
                std::unique_ptr<Buffer> ps = sPool.Take(rng, true);
                if (ps == nullptr) return;
                if (ps->bRegistered) {
                    GpuBusy(*ps);
                    int iErr = psGralloc->unregisterBuffer(psGralloc, ps->h);
                    if (iErr != 0) Fail(__LINE__, iErr);
                    ps->bRegistered = iErr != 0;
                }
                sPool.Put(std::move(ps));
            },
            /* a client process registers, locks, reads, unlocks and unregisters */
            [&] {
                std::unique_ptr<Buffer> ps = sPool.Take(rng, false);
                if (ps == nullptr) return;
                void *apv[3] = {};
                int iErr =
                    psGralloc->lock(psGralloc, ps->h, GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0, ps->iWidth, ps->iHeight, apv);
                if (iErr == 0) {
                    static_cast<unsigned *>(apv[0])[0] = (unsigned)ps->iWidth;
                    iErr = psGralloc->unlock(psGralloc, ps->h);
                }
                if (iErr != 0) Fail(__LINE__, iErr);
                if (iErr == 0) {
                    const unsigned k = rng() % kPeers;
                    std::lock_guard<std::mutex> g(amuPeer[k]);
                    BufferDescription sDescription = {ps->iWidth, ps->iHeight, ps->iStride, AsVek(ps->h)->iFormat,
                                                      AsVek(ps->h)->usage};
                    unsigned char ucResult = 0xff;
                    if (SendBufferHandle(aiSocket[k], ps->h, sDescription) != 0 ||
                        read(aiSocket[k], &ucResult, 1) != 1 || ucResult != 0)
                        Fail(__LINE__, ucResult);
                    auiPeerBuffers[k]++;
                }
                sPool.Put(std::move(ps));
            },
        };
        /* Each runs with the display lock held shared: the display is not replaced under it. */
        const std::vector<std::function<void()>> asDisplayOps = {
            /* Blit2 of a window into a display buffer, while the GPU may still write the window */
            [&] {
                std::unique_ptr<Buffer> ps = sPool.Take(rng, false);
                if (ps == nullptr) return;
                if (AsVek(ps->h)->iFormat != HAL_PIXEL_FORMAT_YV12) {
                    GpuBusy(*ps);
                    int iErr = psHMI->base.Blit2(&psHMI->base, ps->h, sDisplay.ah[rng() % 2], ps->iWidth, ps->iHeight,
                                                 (int)(rng() % 700), (int)(rng() % 400));
                    if (iErr != 0) Fail(__LINE__, iErr);
                    uiBlits++;
                }
                sPool.Put(std::move(ps));
            },
            /* post by flip or blit, or a bypassed post and Post2 of the kept buffer (flip only) */
            [&] {
                framebuffer_device_t *psFb = sDisplay.psFb;
                VEK_framebuffer_device_public_t *psFbPublic = reinterpret_cast<VEK_framebuffer_device_public_t *>(psFb);
                buffer_handle_t h = sDisplay.ah[rng() % 2];
                const bool bBypass = rng() % 2;
                int iErr;
                std::lock_guard<std::mutex> g(muPost);
                psFbPublic->bBypassPost = bBypass ? 1 : 0;
                iErr = psFb->post(psFb, h);
                psFbPublic->bBypassPost = 0;
                if (bBypass && iErr == 0) {
                    buffer_handle_t ah[1] = {nullptr};
                    iErr = psFbPublic->Post2(psFb, ah, 1, nullptr, 0);
                    /* Without a flip chain Post2 refuses. */
                    if (sDisplay.bBlitMode) iErr = iErr == -EFAULT ? 0 : -EPROTO;
                }
                if (iErr != 0) Fail(__LINE__, iErr);
                (sDisplay.bBlitMode ? uiBlitPosts : uiFlipPosts)++;
            },
        };
        while (std::chrono::steady_clock::now() < tEnd) {
            /* One step in four on the display, unless it is about to be reopened. */
            if (rng() % 4 == 0 && !bReopenWanted.load()) {
                std::shared_lock<std::shared_mutex> g(sDisplayLock);
                if (sDisplay.psFb != nullptr) asDisplayOps[rng() % asDisplayOps.size()]();
                uiOps++;
                continue;
            }
            asOps[rng() % asOps.size()]();
            uiOps++;
        }
    };

    std::vector<std::thread> asThreads;
    for (unsigned i = 0; i < kThreads; i++) asThreads.emplace_back(Worker, 1234u + i);
    /* fb0 closed and opened again, in flip and blit mode by turns, while the threads work. */
    while (std::chrono::steady_clock::now() + kReopenEvery < tEnd && !HasFailure()) {
        std::this_thread::sleep_for(kReopenEvery);
        bReopenWanted = true;
        std::unique_lock<std::shared_mutex> g(sDisplayLock);
        bReopenWanted = false;
        const bool bBlitMode = !sDisplay.bBlitMode;
        CloseDisplay();
        OpenDisplay(bBlitMode);
        uiReopens++;
    }
    for (std::thread &s : asThreads) s.join();

    /* Everything let go; deferred releases finish as the GPU does. */
    for (std::unique_ptr<Buffer> &ps : sPool.TakeAll()) {
        if (!ps->bForeign)
            EXPECT_EQ(0, psAlloc->free(psAlloc, ps->h));
        else if (ps->bRegistered)
            EXPECT_EQ(0, psGralloc->unregisterBuffer(psGralloc, ps->h));
    }
    if (sDisplay.psFb != nullptr) CloseDisplay();
    for (int i = 0; i < 1000 && (zolsim_live_allocations() != uiBaseAllocations || zolsim_live_mappings() != 0); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    bDone = true;
    sWatchdog.join();

    printf(
        "stress: %u operations in %.1f s by %d threads (%u blits into the display, %u posts by flip, %u by blit, "
        "fb0 reopened %u times), %u and %u buffers through the client processes\n",
        uiOps.load(), dSeconds, kThreads, uiBlits.load(), uiFlipPosts.load(), uiBlitPosts.load(), uiReopens.load(),
        auiPeerBuffers[0].load(), auiPeerBuffers[1].load());
    EXPECT_EQ(0u, uiFailures.load()) << "every operation on a buffer used by one thread alone must succeed; first "
                                     << "failure at line " << iFirstFailure / 1000 << " with " << iFirstFailure % 1000;
    for (int k = 0; k < kPeers; k++)
        EXPECT_GT(auiPeerBuffers[k].load(), 0u) << "client process " << k << " must have taken part";
    EXPECT_EQ(uiBaseAllocations, zolsim_live_allocations()) << "every allocation made by the threads must be freed";
    EXPECT_EQ(0u, zolsim_live_mappings()) << "every registration must be unmapped";
    EXPECT_EQ(0u, zolsim_live_flipchains()) << "every display opened must have been closed";
    EXPECT_EQ(nullptr, Private()->psMapList) << "the mapper list must be empty again";

    EXPECT_GT(uiBlits.load(), 0u) << "windows must have been blitted into the display";
    EXPECT_GT(uiReopens.load(), 0u) << "the display must have been closed and opened again";
    EXPECT_GT(uiFlipPosts.load(), 0u) << "the display must have been posted in flip mode";
    EXPECT_GT(uiBlitPosts.load(), 0u) << "the display must have been posted in blit mode";

    psForeign.reset();
    EXPECT_EQ(0, psAlloc->common.close(&psAlloc->common));
    for (int k = 0; k < kPeers; k++) {
        close(aiSocket[k]);
        aiSocket[k] = -1;
        int iStatus = -1;
        ASSERT_EQ(aiPeer[k], waitpid(aiPeer[k], &iStatus, 0));
        aiPeer[k] = -1;
        EXPECT_TRUE(WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0)
            << "client process " << k << " must end with nothing mapped (status " << iStatus << ")";
    }
    Unload();
    char szLive[256];
    EXPECT_EQ(0u, zolsim_live_total(szLive, sizeof(szLive))) << "live at the end: " << szLive;
}

}  // namespace
