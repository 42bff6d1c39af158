/* The module's cost against the floor of the same work: each operation is timed through the
   module, and again as the vendor calls the module makes for it, made directly against the same
   simulated libraries in the same run; the medians are compared. The bare system calls that the
   simulated device makes are timed too, for scale. */
#include <benchmark/benchmark.h>
#include <errno.h>
#include <fcntl.h>
#include <hardware/gralloc.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hal.h"
#include "zolsim/control.h"
#include "zolsrv.h"

namespace {

const int kUsageTexture = GRALLOC_USAGE_HW_TEXTURE;
const int kUsageCpu = GRALLOC_USAGE_SW_READ_OFTEN | GRALLOC_USAGE_SW_WRITE_OFTEN;

[[noreturn]] void Die(const char *pszWhat, int iErr) {
    fprintf(stderr, "gralloc_bench: %s failed: %d\n", pszWhat, iErr);
    exit(1);
}

/* The module, loaded once as Android loads it, with its allocator device. */
class Module {
public:
    static Module &Get() {
        static Module sModule;
        return sModule;
    }

    const gralloc_module_t *Gralloc() const { return reinterpret_cast<const gralloc_module_t *>(psModule); }
    const VEK_gralloc_module_public_t *Public() const {
        return reinterpret_cast<const VEK_gralloc_module_public_t *>(psModule);
    }
    alloc_device_t *Alloc() const { return psAlloc; }
    /* The module's own connection, device and heap: the floors use them as the module does. */
    VEK_private_data_t *Private() const {
        return &reinterpret_cast<VEK_gralloc_module_t *>(const_cast<hw_module_t *>(psModule))->sPrivateData;
    }
    const VEK_gralloc_module_t *Record() const { return reinterpret_cast<const VEK_gralloc_module_t *>(psModule); }

    /* The display, opened on first use: only the posting and blit benchmarks need it. */
    VEK_framebuffer_device_public_t *Framebuffer() {
        if (psFb == nullptr) {
            hw_device_t *psDevice = nullptr;
            int iErr = psModule->methods->open(psModule, GRALLOC_HARDWARE_FB0, &psDevice);
            if (iErr != 0) Die("open fb0", iErr);
            psFb = reinterpret_cast<VEK_framebuffer_device_public_t *>(psDevice);
        }
        return psFb;
    }

private:
    Module() {
        zolsim_reset();
        int iErr = hw_get_module(GRALLOC_HARDWARE_MODULE_ID, &psModule);
        if (iErr != 0) Die("hw_get_module", iErr);
        hw_device_t *psDevice = nullptr;
        iErr = psModule->methods->open(psModule, GRALLOC_HARDWARE_GPU0, &psDevice);
        if (iErr != 0) Die("open gpu0", iErr);
        psAlloc = reinterpret_cast<alloc_device_t *>(psDevice);
    }
    ~Module() {
        if (psFb != nullptr) psFb->base.common.close(&psFb->base.common);
        psAlloc->common.close(&psAlloc->common);
    }

    const hw_module_t *psModule = nullptr;
    alloc_device_t *psAlloc = nullptr;
    VEK_framebuffer_device_public_t *psFb = nullptr;
};

/* A buffer the module allocated in this process, freed when it goes. */
class Buffer {
public:
    Buffer(int w, int h, int iFormat, int iUsage) {
        int iStride = 0;
        int iErr = Module::Get().Alloc()->alloc(Module::Get().Alloc(), w, h, iFormat, iUsage, &hHandle, &iStride);
        if (iErr != 0) Die("alloc", iErr);
    }
    ~Buffer() { Module::Get().Alloc()->free(Module::Get().Alloc(), hHandle); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;

    buffer_handle_t Handle() const { return hHandle; }

private:
    buffer_handle_t hHandle = nullptr;
};

/* Live buffers besides the one an operation works on. The target is made first, so that it is
   the oldest: every lookup of it passes all the others. */
std::vector<std::unique_ptr<Buffer>> MakeSmallBuffers(int iCount) {
    std::vector<std::unique_ptr<Buffer>> apsBuffers;
    for (int i = 0; i < iCount; i++)
        apsBuffers.emplace_back(new Buffer(64, 64, HAL_PIXEL_FORMAT_BGRA_8888, kUsageTexture | kUsageCpu));
    return apsBuffers;
}

/* A buffer made by another process's allocator, straight through the services, and the handle
   that process would send: the module cannot tell it from one received over a socket. */
class ForeignBuffer {
public:
    ForeignBuffer(int w, int h, int iUsage) {
        Check("ZOLSRVConnect", ZOLSRVConnect(&psConnection, 0));
        Check("ZOLSRVAcquireDeviceData",
              ZOLSRVAcquireDeviceData(psConnection, 0, &sDevData, ZOLSRV_DEVICE_TYPE_UNKNOWN));
        ZOLSRV_HEAP_INFO asHeaps[ZOLSRV_MAX_CLIENT_HEAPS];
        VEK_UINT32 ui32Heaps = 0;
        Check("ZOLSRVCreateDeviceMemContext", ZOLSRVCreateDeviceMemContext(&sDevData, &hContext, &ui32Heaps, asHeaps));
        VEK_HANDLE hHeap = nullptr;
        for (VEK_UINT32 i = 0; i < ui32Heaps && hHeap == nullptr; i++)
            if ((asHeaps[i].ui32HeapID & 0x00ffffff) == 0) hHeap = asHeaps[i].hDevMemHeap;
        const VEK_SIZE_T uSize = ((VEK_SIZE_T)w * (VEK_SIZE_T)h * 4 + 4095) & ~(VEK_SIZE_T)4095;
        Check("ZOLSRVAllocDeviceMem2",
              ZOLSRVAllocDeviceMem2(&sDevData, hHeap, 0x10001003, uSize, 4096, nullptr, 0, &psMem));

        psHandle = reinterpret_cast<VEK_native_handle_t *>(native_handle_create(1, VEK_NATIVE_HANDLE_NUM_WORDS - 1));
        psHandle->fd[0] = psHandle->fd[1] = psHandle->fd[2] = -1;
        Check("ZOLSRVExportDeviceMem2", ZOLSRVExportDeviceMem2(&sDevData, psMem, &psHandle->fd[0]));
        psHandle->ui64Stamp = psMem->ui64Stamp;
        psHandle->usage = iUsage;
        psHandle->iWidth = w;
        psHandle->iHeight = h;
        psHandle->iFormat = HAL_PIXEL_FORMAT_BGRA_8888;
        psHandle->uiBpp = 32;
    }
    ~ForeignBuffer() {
        native_handle_close(&psHandle->base);
        native_handle_delete(&psHandle->base);
        ZOLSRVFreeDeviceMem(&sDevData, psMem);
        ZOLSRVDestroyDeviceMemContext(&sDevData, hContext);
        ZOLSRVDisconnect(psConnection);
    }
    ForeignBuffer(const ForeignBuffer &) = delete;
    ForeignBuffer &operator=(const ForeignBuffer &) = delete;

    buffer_handle_t Handle() const { return &psHandle->base; }
    int Fd() const { return psHandle->fd[0]; }
    /* What the receiving process maps: the data and the trailing page of the counters. */
    size_t MapLength() const { return (size_t)psMem->uAllocSize + 4096; }

private:
    static void Check(const char *pszWhat, ZOLSRV_ERROR eErr) {
        if (eErr != ZOLSRV_OK) Die(pszWhat, (int)eErr);
    }

    ZOLSRV_CONNECTION *psConnection = nullptr;
    ZOLSRV_DEV_DATA sDevData = {};
    VEK_HANDLE hContext = nullptr;
    ZOLSRV_CLIENT_MEM_INFO *psMem = nullptr;
    VEK_native_handle_t *psHandle = nullptr;
};

/* ---- Allocation ---- */

/* The services' allocation flags the module asks for a CPU-written texture. */
const VEK_UINT32 kAllocFlags = 0x10000000 | 0x00000001 | 0x00000002 | 0x00001000;

void AllocFree(benchmark::State &state, int w, int h, int iLiveBuffers) {
    alloc_device_t *psAlloc = Module::Get().Alloc();
    std::vector<std::unique_ptr<Buffer>> apsOthers = MakeSmallBuffers(iLiveBuffers - 1);
    for (auto _ : state) {
        buffer_handle_t hHandle = nullptr;
        int iStride = 0;
        int iErr =
            psAlloc->alloc(psAlloc, w, h, HAL_PIXEL_FORMAT_BGRA_8888, kUsageTexture | kUsageCpu, &hHandle, &iStride);
        if (iErr != 0) Die("alloc", iErr);
        iErr = psAlloc->free(psAlloc, hHandle);
        if (iErr != 0) Die("free", iErr);
    }
}

/* The vendor calls of an allocation and its release, in the module's order: allocate, export,
   zero-fill, free, close; with the same live buffers in the process. */
void AllocFloor(benchmark::State &state, size_t uBytes, int iLiveBuffers) {
    VEK_private_data_t *psPriv = Module::Get().Private();
    std::vector<std::unique_ptr<Buffer>> apsOthers = MakeSmallBuffers(iLiveBuffers - 1);
    for (auto _ : state) {
        ZOLSRV_CLIENT_MEM_INFO *psMem = nullptr;
        int iFd = -1;
        if (ZOLSRVAllocDeviceMem2(&psPriv->sDevData, psPriv->hGeneralHeap, kAllocFlags, uBytes, 4096, nullptr, 0,
                                  &psMem) != ZOLSRV_OK)
            Die("ZOLSRVAllocDeviceMem2", 0);
        if (ZOLSRVExportDeviceMem2(&psPriv->sDevData, psMem, &iFd) != ZOLSRV_OK) Die("ZOLSRVExportDeviceMem2", 0);
        memset(psMem->pvLinAddr, 0, psMem->uAllocSize);
        benchmark::ClobberMemory();
        if (ZOLSRVFreeDeviceMem(&psPriv->sDevData, psMem) != ZOLSRV_OK) Die("ZOLSRVFreeDeviceMem", 0);
        close(iFd);
    }
}

/* What the simulated device does for an allocation: a memfd of the size, mapped and filled. */
void MemfdFloor(benchmark::State &state, size_t uSize) {
    for (auto _ : state) {
        int iFd = memfd_create("bench-floor", MFD_CLOEXEC);
        if (iFd < 0 || ftruncate(iFd, (off_t)uSize) != 0) Die("memfd", errno);
        void *pv = mmap(nullptr, uSize, PROT_READ | PROT_WRITE, MAP_SHARED, iFd, 0);
        if (pv == MAP_FAILED) Die("mmap", errno);
        memset(pv, 0, uSize);
        benchmark::ClobberMemory();
        munmap(pv, uSize);
        close(iFd);
    }
}

const size_t k1080pBytes = 1920 * 1080 * 4;
const size_t k64x64Bytes = 64 * 64 * 4;

void BM_AllocFree1080p(benchmark::State &state) { AllocFree(state, 1920, 1080, 1); }
void BM_AllocFloor1080p(benchmark::State &state) { AllocFloor(state, k1080pBytes, 1); }
void BM_MemfdFloor1080p(benchmark::State &state) { MemfdFloor(state, k1080pBytes); }
void BM_AllocFree64x64(benchmark::State &state) { AllocFree(state, 64, 64, (int)state.range(0)); }
void BM_AllocFloor64x64(benchmark::State &state) { AllocFloor(state, k64x64Bytes, (int)state.range(0)); }

/* ---- Registration ---- */

void BM_RegisterUnregister1080p(benchmark::State &state) {
    const gralloc_module_t *psGralloc = Module::Get().Gralloc();
    ForeignBuffer sForeign(1920, 1080, kUsageTexture | kUsageCpu);
    for (auto _ : state) {
        int iErr = psGralloc->registerBuffer(psGralloc, sForeign.Handle());
        if (iErr != 0) Die("registerBuffer", iErr);
        iErr = psGralloc->unregisterBuffer(psGralloc, sForeign.Handle());
        if (iErr != 0) Die("unregisterBuffer", iErr);
    }
}

/* The vendor calls of a registration and its release: the received descriptor mapped into the
   module's heap and unmapped again. */
void BM_RegisterFloor1080p(benchmark::State &state) {
    VEK_private_data_t *psPriv = Module::Get().Private();
    ForeignBuffer sForeign(1920, 1080, kUsageTexture | kUsageCpu);
    for (auto _ : state) {
        ZOLSRV_CLIENT_MEM_INFO *psMem = nullptr;
        if (ZOLSRVMapDeviceMemory2(&psPriv->sDevData, sForeign.Fd(), psPriv->hGeneralHeap, &psMem) != ZOLSRV_OK)
            Die("ZOLSRVMapDeviceMemory2", 0);
        if (ZOLSRVUnmapDeviceMemory(&psPriv->sDevData, psMem) != ZOLSRV_OK) Die("ZOLSRVUnmapDeviceMemory", 0);
    }
}

void BM_MmapFloor1080p(benchmark::State &state) {
    ForeignBuffer sForeign(1920, 1080, kUsageTexture | kUsageCpu);
    for (auto _ : state) {
        void *pv = mmap(nullptr, sForeign.MapLength(), PROT_READ | PROT_WRITE, MAP_SHARED, sForeign.Fd(), 0);
        if (pv == MAP_FAILED) Die("mmap", errno);
        benchmark::DoNotOptimize(pv);
        munmap(pv, sForeign.MapLength());
    }
}

/* ---- Lock and unlock ---- */

/* A texture the GPU has finished with, locked for the CPU among range(0) live buffers. */
void LockUnlock(benchmark::State &state, int iLockUsage) {
    const gralloc_module_t *psGralloc = Module::Get().Gralloc();
    Buffer sTarget(64, 64, HAL_PIXEL_FORMAT_BGRA_8888, kUsageTexture | kUsageCpu);
    std::vector<std::unique_ptr<Buffer>> apsOthers = MakeSmallBuffers((int)state.range(0) - 1);
    for (auto _ : state) {
        void *apvAddr[3] = {nullptr, nullptr, nullptr};
        int iErr = psGralloc->lock(psGralloc, sTarget.Handle(), iLockUsage, 0, 0, 64, 64, apvAddr);
        if (iErr != 0) Die("lock", iErr);
        benchmark::DoNotOptimize(apvAddr[0]);
        iErr = psGralloc->unlock(psGralloc, sTarget.Handle());
        if (iErr != 0) Die("unlock", iErr);
    }
}

void BM_LockUnlockRead(benchmark::State &state) { LockUnlock(state, GRALLOC_USAGE_SW_READ_OFTEN); }
void BM_LockUnlockWrite(benchmark::State &state) { LockUnlock(state, GRALLOC_USAGE_SW_WRITE_OFTEN); }

/* The vendor calls of a lock and an unlock of a buffer the GPU has finished with: the module
   mutex taken by lock, released around the wait, which reads the completion counters, taken
   again, released; taken and released by unlock. A write lock waits for both read counters, and
   its unlock cleans the CPU cache. The counters are the locked buffer's own, among the same live
   buffers. */
void LockFloor(benchmark::State &state, bool bWrite) {
    VEK_private_data_t *psPriv = Module::Get().Private();
    const gralloc_module_t *psGralloc = Module::Get().Gralloc();
    Buffer sTarget(64, 64, HAL_PIXEL_FORMAT_BGRA_8888, kUsageTexture | kUsageCpu);
    std::vector<std::unique_ptr<Buffer>> apsOthers = MakeSmallBuffers((int)state.range(0) - 1);
    const VEK_UINT64 ui64Stamp = reinterpret_cast<const VEK_native_handle_t *>(sTarget.Handle())->ui64Stamp;
    ZOLSRV_CLIENT_MEM_INFO *apsMem[3] = {nullptr, nullptr, nullptr};
    int iErr = Module::Get().Record()->map(psGralloc, ui64Stamp, GRALLOC_USAGE_HW_TEXTURE, apsMem);
    if (iErr != 0) Die("map", iErr);
    ZOLSRV_SYNC_DATA *psSync = apsMem[0]->psClientSyncInfo->psSyncData;
    ZOLSRV_MUTEX_HANDLE hMutex = nullptr;
    if (ZOLSRVCreateMutex(&hMutex) != ZOLSRV_OK) Die("ZOLSRVCreateMutex", 0);

    for (auto _ : state) {
        ZOLSRVLockMutex(hMutex);
        VEK_UINT32 ui32Pending = bWrite ? psSync->ui32ReadOpsPending : psSync->ui32WriteOpsPending;
        VEK_UINT32 ui32Pending2 = bWrite ? psSync->ui32ReadOps2Pending : 0;
        ZOLSRVUnlockMutex(hMutex);
        bool bDone = bWrite ? psSync->ui32ReadOpsComplete >= ui32Pending && psSync->ui32ReadOps2Complete >= ui32Pending2
                            : psSync->ui32WriteOpsComplete >= ui32Pending;
        benchmark::DoNotOptimize(bDone);
        ZOLSRVLockMutex(hMutex);
        ZOLSRVUnlockMutex(hMutex);
        ZOLSRVLockMutex(hMutex);
        if (bWrite) {
            ZOLSRV_MISC_INFO sMisc;
            memset(&sMisc, 0, sizeof(sMisc));
            sMisc.ui32StateRequest = ZOLSRV_MISC_INFO_CPUCACHEOP_PRESENT;
            sMisc.sCacheOpCtl.bDeferOp = VEK_TRUE;
            sMisc.sCacheOpCtl.eCacheOpType = ZOLSRV_MISC_INFO_CPUCACHEOP_CLEAN;
            if (ZOLSRVGetMiscInfo(psPriv->sDevData.psConnection, &sMisc) != ZOLSRV_OK) Die("ZOLSRVGetMiscInfo", 0);
        }
        ZOLSRVUnlockMutex(hMutex);
    }
    ZOLSRVDestroyMutex(hMutex);
    Module::Get().Record()->unmap(psGralloc, ui64Stamp);
}

void BM_LockFloorRead(benchmark::State &state) { LockFloor(state, false); }
void BM_LockFloorWrite(benchmark::State &state) { LockFloor(state, true); }

void BM_MutexFloor(benchmark::State &state) {
    pthread_mutex_t sMutex = PTHREAD_MUTEX_INITIALIZER;
    for (auto _ : state) {
        pthread_mutex_lock(&sMutex);
        benchmark::ClobberMemory();
        pthread_mutex_unlock(&sMutex);
    }
    pthread_mutex_destroy(&sMutex);
}

/* ---- Display ---- */

/* A handed-out display buffer, given back when it goes. */
class DisplayBuffer : public Buffer {
public:
    DisplayBuffer() : Buffer(Fb()->width, Fb()->height, Fb()->format, GRALLOC_USAGE_HW_FB) {}

private:
    static framebuffer_device_t *Fb() { return &Module::Get().Framebuffer()->base; }
};

void BM_PostFlip(benchmark::State &state) {
    framebuffer_device_t *psFb = &Module::Get().Framebuffer()->base;
    DisplayBuffer sFront, sBack;
    buffer_handle_t ah[2] = {sFront.Handle(), sBack.Handle()};
    unsigned u = 0;
    for (auto _ : state) {
        int iErr = psFb->post(psFb, ah[u++ & 1]);
        if (iErr != 0) Die("post", iErr);
    }
}

/* The kept display buffer and a second buffer's plane in one swap. */
void BM_Post2TwoMemInfos(benchmark::State &state) {
    VEK_framebuffer_device_public_t *psFb = Module::Get().Framebuffer();
    DisplayBuffer sDisplay;
    Buffer sOverlay(320, 240, HAL_PIXEL_FORMAT_RGB_565, kUsageTexture);
    buffer_handle_t ahList[2] = {nullptr, sOverlay.Handle()};
    for (auto _ : state) {
        psFb->bBypassPost = 1;
        int iErr = psFb->base.post(&psFb->base, sDisplay.Handle());
        psFb->bBypassPost = 0;
        if (iErr != 0) Die("bypassed post", iErr);
        if ((iErr = psFb->Post2(&psFb->base, ahList, 2, nullptr, 0)) != 0) Die("Post2", iErr);
    }
}

void BM_Blit2Window565(benchmark::State &state) {
    const VEK_gralloc_module_public_t *psPublic = Module::Get().Public();
    DisplayBuffer sDisplay;
    Buffer sWindow(640, 480, HAL_PIXEL_FORMAT_RGB_565, kUsageTexture | kUsageCpu);
    for (auto _ : state) {
        int iErr = psPublic->Blit2(psPublic, sWindow.Handle(), sDisplay.Handle(), 640, 480, 80, 0);
        if (iErr != 0) Die("Blit2", iErr);
    }
}

}  // namespace

/* Live buffers: the locked or allocated buffer among that many in the process. */
#define LIVE_COUNTS Arg(1)->Arg(16)->Arg(64)->Arg(256)->Arg(1024)

BENCHMARK(BM_AllocFree1080p);
BENCHMARK(BM_AllocFloor1080p);
BENCHMARK(BM_MemfdFloor1080p);
BENCHMARK(BM_RegisterUnregister1080p);
BENCHMARK(BM_RegisterFloor1080p);
BENCHMARK(BM_MmapFloor1080p);
BENCHMARK(BM_LockUnlockRead)->LIVE_COUNTS;
BENCHMARK(BM_LockFloorRead)->LIVE_COUNTS;
BENCHMARK(BM_LockUnlockWrite)->Arg(1)->Arg(64)->Arg(1024);
BENCHMARK(BM_LockFloorWrite)->Arg(1)->Arg(64)->Arg(1024);
BENCHMARK(BM_MutexFloor);
BENCHMARK(BM_AllocFree64x64)->LIVE_COUNTS;
BENCHMARK(BM_AllocFloor64x64)->LIVE_COUNTS;
BENCHMARK(BM_PostFlip);
BENCHMARK(BM_Post2TwoMemInfos);
BENCHMARK(BM_Blit2Window565);

namespace {

/* One line of the table: the module's benchmark, the floor it is held against (or another
   module benchmark, for growth), and the goal for their ratio. A row with no floor is reported
   for regressions only. */
struct Row {
    const char *pszOperation;
    const char *pszModule;
    const char *pszFloor;
    double dGoal;
};

const Row kRows[] = {
    {"alloc+free 1920x1080 BGRA / vendor calls", "BM_AllocFree1080p", "BM_AllocFloor1080p", 1.05},
    {"register+unregister foreign 1080p / vendor", "BM_RegisterUnregister1080p", "BM_RegisterFloor1080p", 1.15},
    {"lock+unlock read, 1 live / vendor calls", "BM_LockUnlockRead/1", "BM_LockFloorRead/1", 1.5},
    {"lock+unlock read, 64 live / vendor calls", "BM_LockUnlockRead/64", "BM_LockFloorRead/64", 1.5},
    {"lock+unlock read, 1024 live / vendor calls", "BM_LockUnlockRead/1024", "BM_LockFloorRead/1024", 1.5},
    {"lock+unlock write, 1 live / vendor calls", "BM_LockUnlockWrite/1", "BM_LockFloorWrite/1", 1.5},
    {"lock+unlock write, 64 live / vendor calls", "BM_LockUnlockWrite/64", "BM_LockFloorWrite/64", 1.5},
    {"lock+unlock write, 1024 live / vendor calls", "BM_LockUnlockWrite/1024", "BM_LockFloorWrite/1024", 1.5},
    {"alloc+free 64x64, 1024 live / 1 live", "BM_AllocFree64x64/1024", "BM_AllocFree64x64/1", 1.10},
    {"alloc+free 64x64, 1 live / vendor calls", "BM_AllocFree64x64/1", "BM_AllocFloor64x64/1", 0},
    {"alloc+free 64x64, 1024 live / vendor calls", "BM_AllocFree64x64/1024", "BM_AllocFloor64x64/1024", 0},
    {"alloc+free 1080p vendor calls / memfd", "BM_AllocFloor1080p", "BM_MemfdFloor1080p", 0},
    {"register vendor calls / mmap", "BM_RegisterFloor1080p", "BM_MmapFloor1080p", 0},
    {"lock read vendor calls / pthread mutex", "BM_LockFloorRead/1", "BM_MutexFloor", 0},
    {"post by flip", "BM_PostFlip", nullptr, 0},
    {"bypassed post + Post2 of two mem-infos", "BM_Post2TwoMemInfos", nullptr, 0},
    {"Blit2 640x480 RGB 565 window into display", "BM_Blit2Window565", nullptr, 0},
};

/* Keeps each benchmark's median (or its only run) while the console shows everything. */
class MedianReporter : public benchmark::ConsoleReporter {
public:
    MedianReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &asRuns) override {
        for (const Run &sRun : asRuns) {
            const std::string sName = sRun.run_name.str();
            const double dNs = sRun.GetAdjustedRealTime() * ToNs(sRun.time_unit);
            if (sRun.run_type == Run::RT_Aggregate && sRun.aggregate_name == "median")
                mMedianNs[sName] = dNs;
            else if (sRun.run_type == Run::RT_Iteration && mMedianNs.count(sName) == 0)
                mMedianNs[sName] = dNs;
        }
        ConsoleReporter::ReportRuns(asRuns);
    }

    const std::map<std::string, double> &Medians() const { return mMedianNs; }

private:
    static double ToNs(benchmark::TimeUnit eUnit) {
        switch (eUnit) {
            case benchmark::kNanosecond:
                return 1;
            case benchmark::kMicrosecond:
                return 1e3;
            case benchmark::kMillisecond:
                return 1e6;
            default:
                return 1e9;
        }
    }

    std::map<std::string, double> mMedianNs;
};

std::string FormatNs(double dNs) {
    char szBuf[32];
    if (dNs >= 1e6)
        snprintf(szBuf, sizeof(szBuf), "%.2f ms", dNs / 1e6);
    else if (dNs >= 1e3)
        snprintf(szBuf, sizeof(szBuf), "%.2f us", dNs / 1e3);
    else
        snprintf(szBuf, sizeof(szBuf), "%.1f ns", dNs);
    return szBuf;
}

void PrintTable(const std::map<std::string, double> &mMedians) {
    printf("\n%-44s %11s %11s %7s %6s\n", "operation / floor (medians)", "module", "floor", "ratio", "goal");
    for (const Row &sRow : kRows) {
        auto itModule = mMedians.find(sRow.pszModule);
        if (itModule == mMedians.end()) continue; /* filtered out of this run */
        auto itFloor = sRow.pszFloor != nullptr ? mMedians.find(sRow.pszFloor) : mMedians.end();
        if (itFloor == mMedians.end()) {
            printf("%-44s %11s %11s %7s %6s\n", sRow.pszOperation, FormatNs(itModule->second).c_str(), "-", "-", "-");
            continue;
        }
        const double dRatio = itModule->second / itFloor->second;
        char szGoal[16] = "-";
        if (sRow.dGoal > 0) snprintf(szGoal, sizeof(szGoal), "%s%.2f", dRatio <= sRow.dGoal ? "<=" : "> ", sRow.dGoal);
        printf("%-44s %11s %11s %6.2fx %6s\n", sRow.pszOperation, FormatNs(itModule->second).c_str(),
               FormatNs(itFloor->second).c_str(), dRatio, szGoal);
    }
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Module::Get();
    MedianReporter sReporter;
    benchmark::RunSpecifiedBenchmarks(&sReporter);
    PrintTable(sReporter.Medians());
    benchmark::Shutdown();
    return 0;
}
