// libzolsrv: the services client library of the simulated device, and the control state that
// tests use to configure and observe it.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "device_memory.h"
#include "png.h"
#include "zolsim_internal.h"

#if defined(__SANITIZE_THREAD__)
#define ZOLSIM_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZOLSIM_TSAN 1
#endif
#endif

#ifdef ZOLSIM_TSAN
// The simulated GPU writes the sync counters the way the device's GPU does: behind the CPU's
// back. The module reads them without a lock, as it must on the device, so these writes are
// hidden from the race detector.
extern "C" void AnnotateIgnoreWritesBegin(const char *f, int l);
extern "C" void AnnotateIgnoreWritesEnd(const char *f, int l);
#define GPU_WRITES_BEGIN() AnnotateIgnoreWritesBegin(__FILE__, __LINE__)
#define GPU_WRITES_END() AnnotateIgnoreWritesEnd(__FILE__, __LINE__)
#else
#define GPU_WRITES_BEGIN() ((void)0)
#define GPU_WRITES_END() ((void)0)
#endif

#ifndef ZOLSIM_ROOT
#define ZOLSIM_ROOT ""
#endif

namespace {

constexpr VEK_UINT32 kMemMagic = 0x5a4f4c4d;  // "ZOLM"
constexpr unsigned kMax2DDevices = 16;
constexpr VEK_UINT32 kDevVAddrFirst = 0x10000000;
constexpr VEK_UINT32 kDevVAddrLimit = 0xf0000000;
constexpr char kGLES1Library[] = "/system/vendor/lib/egl/libGLESv1_CM_ZOLCORE_KEVRA_120.so";

// The trailing page of every allocation: what another process needs to map it.
struct MemHeader {
    VEK_UINT32 ui32Magic;
    VEK_UINT32 ui32Attribs;
    VEK_UINT64 ui64Stamp;
    VEK_UINT64 ui64Size;
    ZOLSRV_SYNC_DATA sSync;
};

struct Mem {
    ZOLSRV_CLIENT_MEM_INFO sInfo;  // first: the mem-info pointer is the record pointer
    ZOLSRV_CLIENT_SYNC_INFO sSync;
    int iFd;  // the memfd of an allocation; -1 for a mapping, whose descriptor is the caller's
    void *pvBase;
    size_t uMapLen;
    MemHeader *psHeader;
    bool bMapping;
    VEK_UINT32 ui32RefCount;
    VEK_UINT32 ui32PhysAddr;
};

}  // namespace

struct ZOLSRV_CONNECTION_TAG {
    VEK_UINT32 ui32Flags;
    bool bCounted;
    char event;  // its address is the connection's global event handle
};

struct ZOLSRV_MUTEX_TAG {
    pthread_mutex_t mutex;
    unsigned long ulOwner;  // the holding thread's id, 0 when free; read by other threads
};

namespace {

// A flip chain's display-class side (see zolsim_internal_dc_chain_set).
struct DCChain {
    VEK_HANDLE hDevice;
    VEK_HANDLE hSwapChain;
    unsigned uiDisplay;
    std::vector<ZOLSRV_CLIENT_MEM_INFO *> buffers;
};

// What a display shows: the pixels of the last present, in the display's format and stride.
struct Screen {
    unsigned long ulWidth = 0;
    unsigned long ulHeight = 0;
    long lStride = 0;
    ZOL2DFORMAT eFormat = ZOL2D_PIXEL_FORMAT_UNKNOWN;
    unsigned uiFrames = 0;
    VEK_UINT64 ui64Stamp = 0;
    std::vector<unsigned char> pixels;
};

struct HintState {
    VEK_UINT32 ui32Module;
};

struct Fault {
    std::string name;
    unsigned uiRemaining;
    int iCode;
};

struct State {
    // configuration
    std::vector<ZOLSRV_DEVICE_IDENTIFIER> devices;
    std::vector<VEK_UINT32> heapIDs;
    unsigned ui2DDevices;
    ZOL2DDISPLAYINFO displays[kMax2DDevices];
    ZOL2DMISCDISPLAYINFO miscDisplays[kMax2DDevices];
    long lStrideOverride;
    long lCountOverride;
    std::map<std::string, VEK_UINT32> hints;
    unsigned uiWaitTimeoutMs;
    std::vector<Fault> faults;
    // records
    std::map<std::string, unsigned> calls;
    // Each caller names its function by a literal: its address finds the count at once.
    std::unordered_map<const char *, unsigned *> callSites;
    std::vector<std::string> failableCalled;  // in the order of the first call
    std::string failableCalledText;
    VEK_UINT32 ui32LastConnectFlags;
    VEK_UINT32 ui32LastAcquireIndex;
    unsigned long ulLastContextDevice;
    std::vector<ZOLSIM_ALLOC_RECORD> allocs;
    bool bHaveFlipChain;
    ZOLSIM_FLIPCHAIN_RECORD flipChain;
    bool bHaveMiscInfo;
    ZOLSRV_MISC_INFO miscInfo;
    std::vector<unsigned long> wraps;
    bool bHaveBlit;
    ZOLSIM_BLIT_RECORD blit;
    std::string hintsRead;
    unsigned uiStallReports;
    unsigned uiCacheOps;
    std::vector<Mem *> completeOnNextWait;
    bool bNextStamp;
    VEK_UINT64 ui64NextStamp;
    Mem *psShareSyncWithNext;
    // the display
    std::vector<ZOLSIM_PRESENT_RECORD> presents;
    std::vector<ZOLSIM_FLIP_PROPERTIES_RECORD> flipProperties;
    std::vector<ZOLSIM_SWAP_RECORD> swaps;
    unsigned uiSwapRetries;
    Screen screens[kMax2DDevices];
    std::string captureDir;
    unsigned uiCaptured;
    // the GLES1 stand-in
    bool bGLES1Absent;
    VEK_UINT32 ui32GLES1Version;
    bool bGLES1TableNull;
    bool bGLES1FlushMissing;
    VEK_UINT32 ui32GLES1FlushResult;
    bool bGLES1Flushed;
    VEK_BOOL abGLES1FlushArgs[2];
    // live objects (never reset)
    std::vector<Mem *> mems;
    std::vector<ZOLSRV_CONNECTION *> connections;
    std::vector<void *> memContexts;
    std::map<void *, const ZOLSRV_CONNECTION *> memContextConnection;
    std::vector<DCChain> dcChains;
    std::vector<ZOLSRV_MUTEX_HANDLE> mutexes;
    unsigned uiLiveAllocations = 0, uiLiveMappings = 0, uiLiveConnections = 0, uiLiveMutexes = 0, uiLiveHintStates = 0,
             uiLiveContexts = 0, uiLiveFlipChains = 0, uiLiveWrapped = 0;
    VEK_UINT32 ui32NextDevVAddr = kDevVAddrFirst;
    VEK_UINT32 ui32NextStamp = 1;

    State() { Defaults(); }

    void Defaults() {
        devices.assign(1, ZOLSRV_DEVICE_IDENTIFIER{ZOLSRV_DEVICE_TYPE_HQT, ZOLSRV_DEVICE_CLASS_3D, 0});
        heapIDs = {0x01000001, 0x00000000};
        ui2DDevices = 3;
        for (unsigned i = 0; i < kMax2DDevices; i++) {
            displays[i] = ZOL2DDISPLAYINFO{1, 3, ZOL2D_PIXEL_FORMAT_RGB565, 800, 480, 1600, 0, 1};
            miscDisplays[i] = ZOL2DMISCDISPLAYINFO{};
            miscDisplays[i].ulPhysicalWidthmm = 154;
            miscDisplays[i].ulPhysicalHeightmm = 92;
        }
        lStrideOverride = 0;
        lCountOverride = -1;
        hints.clear();
        uiWaitTimeoutMs = 20;
        faults.clear();
        calls.clear();
        callSites.clear();
        failableCalled.clear();
        ui32LastConnectFlags = 0;
        ui32LastAcquireIndex = 0;
        ulLastContextDevice = 0;
        allocs.clear();
        bHaveFlipChain = false;
        flipChain = ZOLSIM_FLIPCHAIN_RECORD{};
        bHaveMiscInfo = false;
        miscInfo = ZOLSRV_MISC_INFO{};
        wraps.clear();
        bHaveBlit = false;
        blit = ZOLSIM_BLIT_RECORD{};
        hintsRead.clear();
        uiStallReports = 0;
        uiCacheOps = 0;
        completeOnNextWait.clear();
        bNextStamp = false;
        ui64NextStamp = 0;
        psShareSyncWithNext = nullptr;
        presents.clear();
        flipProperties.clear();
        swaps.clear();
        uiSwapRetries = 0;
        for (Screen &sc : screens) sc = Screen{};
        captureDir.clear();
        uiCaptured = 0;
        bGLES1Absent = false;
        ui32GLES1Version = 3;
        bGLES1TableNull = false;
        bGLES1FlushMissing = false;
        ui32GLES1FlushResult = 0;
        bGLES1Flushed = false;
        abGLES1FlushArgs[0] = abGLES1FlushArgs[1] = VEK_FALSE;
    }

    // ZOLSIM_FAIL="name:nth:code[,name:nth:code...]" arms faults before any test code runs, for
    // the calls a module makes while it loads.
    void FaultsFromEnvironment() {
        const char *env = getenv("ZOLSIM_FAIL");
        if (env == nullptr) return;
        std::string all(env);
        size_t pos = 0;
        while (pos <= all.size()) {
            size_t end = all.find(',', pos);
            if (end == std::string::npos) end = all.size();
            std::string item = all.substr(pos, end - pos);
            size_t c1 = item.find(':');
            size_t c2 = c1 == std::string::npos ? c1 : item.find(':', c1 + 1);
            if (c2 != std::string::npos) {
                unsigned nth = (unsigned)strtoul(item.c_str() + c1 + 1, nullptr, 10);
                int code = (int)strtol(item.c_str() + c2 + 1, nullptr, 10);
                if (nth > 0) faults.push_back(Fault{item.substr(0, c1), nth, code});
            }
            pos = end + 1;
        }
    }
};

pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;

// Never destroyed: a background completion may still run while the process exits.
State &S() {
    static State *s = [] {
        State *n = new State;
        n->FaultsFromEnvironment();
        return n;
    }();
    return *s;
}

class Guard {
public:
    explicit Guard(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
    ~Guard() { pthread_mutex_unlock(&m_); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;

private:
    pthread_mutex_t &m_;
};

// One cookie per device index and one handle per heap slot, stable for the process's life.
char g_devCookies[ZOLSRV_MAX_DEVICES];
char g_heapHandles[ZOLSRV_MAX_CLIENT_HEAPS];

size_t PageSize() { return (size_t)sysconf(_SC_PAGESIZE); }

size_t RoundUp(size_t v, size_t a) { return (v + a - 1) / a * a; }

template <typename T>
bool Contains(const std::vector<T> &v, T x) {
    for (const T &e : v)
        if (e == x) return true;
    return false;
}

template <typename T>
bool Erase(std::vector<T> &v, T x) {
    for (size_t i = 0; i < v.size(); i++)
        if (v[i] == x) {
            v.erase(v.begin() + (long)i);
            return true;
        }
    return false;
}

Mem *FindMemLocked(const ZOLSRV_CLIENT_MEM_INFO *p) {
    for (Mem *m : S().mems)
        if (&m->sInfo == p) return m;
    return nullptr;
}

bool ConnectionLiveLocked(const ZOLSRV_CONNECTION *c) {
    return c != nullptr && Contains(S().connections, const_cast<ZOLSRV_CONNECTION *>(c));
}

// Device addresses: pages for the data, one more for the three sync-object addresses. Once the
// range wraps round, an address is handed out again only where nothing live holds it: two live
// allocations at one address would share their sync-object addresses.
VEK_UINT32 TakeDevVAddrLocked(size_t uLen) {
    State &s = S();
    for (size_t uTry = 0; uTry <= s.mems.size() + 1; uTry++) {
        if ((VEK_UINT64)s.ui32NextDevVAddr + uLen >= kDevVAddrLimit) s.ui32NextDevVAddr = kDevVAddrFirst;
        const VEK_UINT64 a = s.ui32NextDevVAddr;
        const Mem *psHolder = nullptr;
        for (const Mem *m : s.mems) {
            const VEK_UINT64 b = m->sInfo.sDevVAddr.uiAddr, e = b + m->sInfo.uAllocSize + PageSize();
            if (a < e && b < a + uLen) {
                psHolder = m;
                break;
            }
        }
        if (psHolder == nullptr) break;
        s.ui32NextDevVAddr = (VEK_UINT32)(psHolder->sInfo.sDevVAddr.uiAddr + psHolder->sInfo.uAllocSize + PageSize());
    }
    VEK_UINT32 a = s.ui32NextDevVAddr;
    s.ui32NextDevVAddr += (VEK_UINT32)uLen;
    return a;
}

// Fills the process-local records of a mapped allocation and makes it live.
void PublishLocked(Mem *m, size_t uDataLen) {
    VEK_UINT32 dev = TakeDevVAddrLocked(uDataLen + PageSize());
    VEK_UINT32 sync = dev + (VEK_UINT32)uDataLen;
    m->sSync.psSyncData = &m->psHeader->sSync;
    m->sSync.sWriteOpsCompleteDevVAddr.uiAddr = sync;
    m->sSync.sReadOpsCompleteDevVAddr.uiAddr = sync + 4;
    m->sSync.sReadOps2CompleteDevVAddr.uiAddr = sync + 8;
    m->sSync.hMappingInfo = m;
    m->sSync.hKernelSyncInfo = &m->sSync;
    m->sInfo.pvLinAddr = m->pvBase;
    m->sInfo.pvLinAddrKM = m->pvBase;
    m->sInfo.sDevVAddr.uiAddr = dev;
    m->sInfo.ui32Flags = m->psHeader->ui32Attribs;
    m->sInfo.uAllocSize = (VEK_SIZE_T)m->psHeader->ui64Size;
    m->sInfo.psClientSyncInfo = &m->sSync;
    m->sInfo.hMappingInfo = m;
    m->sInfo.hKernelMemInfo = m;
    m->sInfo.hResItem = m;
    m->sInfo.ui64Stamp = m->psHeader->ui64Stamp;
    m->sInfo.psNext = nullptr;
    // A test may make this allocation or mapping share another's sync objects.
    if (S().psShareSyncWithNext != nullptr) {
        m->sInfo.psClientSyncInfo = &S().psShareSyncWithNext->sSync;
        S().psShareSyncWithNext = nullptr;
    }
    S().mems.push_back(m);
    if (m->bMapping)
        S().uiLiveMappings++;
    else
        S().uiLiveAllocations++;
}

ZOLSRV_ERROR AllocMem(VEK_SIZE_T uSize, VEK_UINT32 ui32Attribs, VEK_UINT32 ui32Phys, ZOLSRV_CLIENT_MEM_INFO **pp) {
    if (uSize == 0 || pp == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    const size_t page = PageSize();
    const size_t dataLen = RoundUp(uSize, page);
    const size_t total = dataLen + page;
    Mem *m = new Mem{};
    m->iFd = memfd_create("zolsim-devmem", MFD_CLOEXEC);
    if (m->iFd < 0) goto fail_new;
    if (ftruncate(m->iFd, (off_t)total) != 0) goto fail_fd;
    m->pvBase = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, m->iFd, 0);
    if (m->pvBase == MAP_FAILED) goto fail_fd;
    m->uMapLen = total;
    m->psHeader = reinterpret_cast<MemHeader *>(static_cast<char *>(m->pvBase) + dataLen);
    m->psHeader->ui32Magic = kMemMagic;
    m->psHeader->ui32Attribs = ui32Attribs;
    m->psHeader->ui64Size = uSize;
    m->ui32PhysAddr = ui32Phys;
    {
        Guard g(g_mu);
        State &s = S();
        if (s.bNextStamp) {
            m->psHeader->ui64Stamp = s.ui64NextStamp;
            s.bNextStamp = false;
        } else {
            m->psHeader->ui64Stamp = ((VEK_UINT64)(VEK_UINT32)getpid() << 32) | s.ui32NextStamp++;
        }
        PublishLocked(m, dataLen);
    }
    *pp = &m->sInfo;
    return ZOLSRV_OK;

fail_fd:
    close(m->iFd);
fail_new:
    delete m;
    return ZOLSRV_ERROR_OUT_OF_MEMORY;
}

// Takes the record out of the live list; the caller then releases it outside the lock.
Mem *UnpublishLocked(const ZOLSRV_CLIENT_MEM_INFO *p, bool bMapping) {
    Mem *m = FindMemLocked(p);
    if (m == nullptr || m->bMapping != bMapping) return nullptr;
    Erase(S().mems, m);
    Erase(S().completeOnNextWait, m);
    if (S().psShareSyncWithNext == m) S().psShareSyncWithNext = nullptr;
    if (bMapping)
        S().uiLiveMappings--;
    else
        S().uiLiveAllocations--;
    return m;
}

void Release(Mem *m) {
    munmap(m->pvBase, m->uMapLen);
    if (m->iFd >= 0) close(m->iFd);
    delete m;
}

ZOLSRV_ERROR FreeMem(ZOLSRV_CLIENT_MEM_INFO *p, bool bMapping) {
    Mem *m;
    {
        Guard g(g_mu);
        m = UnpublishLocked(p, bMapping);
    }
    if (m == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    Release(m);
    return ZOLSRV_OK;
}

VEK_UINT32 g_eventGeneration;  // bumped by every completion in this process
VEK_UINT32 g_eventWaiters;     // threads inside ZOLSRVEventObjectWait

void CompleteLocked(Mem *m) {
    ZOLSRV_SYNC_DATA *d = &m->psHeader->sSync;
    GPU_WRITES_BEGIN();
    __atomic_store_n(&d->ui32ReadOpsComplete, __atomic_load_n(&d->ui32ReadOpsPending, __ATOMIC_SEQ_CST),
                     __ATOMIC_SEQ_CST);
    __atomic_store_n(&d->ui32WriteOpsComplete, __atomic_load_n(&d->ui32WriteOpsPending, __ATOMIC_SEQ_CST),
                     __ATOMIC_SEQ_CST);
    __atomic_store_n(&d->ui32ReadOps2Complete, __atomic_load_n(&d->ui32ReadOps2Pending, __ATOMIC_SEQ_CST),
                     __ATOMIC_SEQ_CST);
    GPU_WRITES_END();
    __atomic_add_fetch(&g_eventGeneration, 1, __ATOMIC_SEQ_CST);
}

struct Snapshot {
    Mem *m;
    VEK_UINT32 r, w, r2;
};

Snapshot Snap(Mem *m) {
    const ZOLSRV_SYNC_DATA *d = &m->psHeader->sSync;
    return Snapshot{m, __atomic_load_n(&d->ui32ReadOpsComplete, __ATOMIC_SEQ_CST),
                    __atomic_load_n(&d->ui32WriteOpsComplete, __ATOMIC_SEQ_CST),
                    __atomic_load_n(&d->ui32ReadOps2Complete, __ATOMIC_SEQ_CST)};
}

struct CompleteAfter {
    const ZOLSRV_CLIENT_MEM_INFO *p;
    unsigned uiMs;
};

void SleepUs(long us) {
    struct timespec ts = {us / 1000000, (us % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void *CompleteAfterThread(void *pv) {
    CompleteAfter *a = static_cast<CompleteAfter *>(pv);
    SleepUs((long)a->uiMs * 1000);
    zolsim_gpu_complete(a->p);
    delete a;
    return nullptr;
}

long NowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

// Exported descriptors: each is live while its number still names the same file.
pthread_mutex_t g_fd_mu = PTHREAD_MUTEX_INITIALIZER;
struct ExportedFd {
    int iFd;
    dev_t dev;
    ino_t ino;
};
std::vector<ExportedFd> *g_exported = new std::vector<ExportedFd>;
unsigned g_exportedCount;  // entries in g_exported, read without the lock by close()

bool SameFile(const ExportedFd &e) {
    struct stat st;
    return fstat(e.iFd, &st) == 0 && st.st_dev == e.dev && st.st_ino == e.ino;
}

// One screen pixel as 8-bit RGB.
void PixelToRgb(const unsigned char *p, ZOL2DFORMAT eFormat, unsigned char *rgb) {
    if (eFormat == ZOL2D_PIXEL_FORMAT_RGB565) {
        const unsigned v = (unsigned)p[0] | ((unsigned)p[1] << 8);
        const unsigned r = (v >> 11) & 0x1f, g = (v >> 5) & 0x3f, b = v & 0x1f;
        rgb[0] = (unsigned char)((r << 3) | (r >> 2));
        rgb[1] = (unsigned char)((g << 2) | (g >> 4));
        rgb[2] = (unsigned char)((b << 3) | (b >> 2));
    } else if (eFormat == ZOL2D_PIXEL_FORMAT_ARGB8888) {
        // 0xAARRGGBB in little-endian memory: blue first.
        rgb[0] = p[2];
        rgb[1] = p[1];
        rgb[2] = p[0];
    } else {
        rgb[0] = rgb[1] = rgb[2] = 0;
    }
}

size_t BytesPerPixel(ZOL2DFORMAT eFormat) {
    return eFormat == ZOL2D_PIXEL_FORMAT_RGB565 ? 2 : eFormat == ZOL2D_PIXEL_FORMAT_ARGB8888 ? 4 : 0;
}

std::vector<unsigned char> ScreenRgbLocked(const Screen &sc) {
    const size_t bpp = BytesPerPixel(sc.eFormat);
    std::vector<unsigned char> rgb((size_t)sc.ulWidth * sc.ulHeight * 3);
    for (unsigned long y = 0; y < sc.ulHeight; y++)
        for (unsigned long x = 0; x < sc.ulWidth; x++) {
            const size_t off = (size_t)y * (size_t)sc.lStride + (size_t)x * bpp;
            unsigned char *out = &rgb[((size_t)y * sc.ulWidth + x) * 3];
            if (bpp != 0 && off + bpp <= sc.pixels.size())
                PixelToRgb(&sc.pixels[off], sc.eFormat, out);
            else
                out[0] = out[1] = out[2] = 0;
        }
    return rgb;
}

int WriteFile(const std::string &path, const std::vector<unsigned char> &data) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) return -errno;
    const size_t n = fwrite(data.data(), 1, data.size(), f);
    const int err = ferror(f) ? -EIO : 0;
    if (fclose(f) != 0 || n != data.size()) return err != 0 ? err : -EIO;
    return err;
}

template <typename T>
unsigned CopyRecords(const std::vector<T> &v, T *psOut, unsigned uiMax) {
    for (unsigned i = 0; psOut != nullptr && i < uiMax && i < v.size(); i++) psOut[i] = v[i];
    return (unsigned)v.size();
}

}  // namespace

#define ENTER(name) ZOLSIM_ENTER(name, ZOLSRV_ERROR)

extern "C" {

/* ---------------- internal helpers ---------------- */

// Every vendor call passes here: counting must stay cheap beside what the module itself does,
// as the benchmarks measure it, so a call site seen before costs one look-up of its literal.
// Returns the function's calls so far, this one included.
static unsigned CountCallLocked(const char *pszFunction) {
    State &s = S();
    auto it = s.callSites.find(pszFunction);
    if (it != s.callSites.end()) return ++*it->second;
    unsigned &uiCount = s.calls[pszFunction];
    s.callSites.emplace(pszFunction, &uiCount);
    return ++uiCount;
}

int zolsim_internal_enter(const char *pszFunction, int *piCode) {
    zolsim_internal_record_call_order(pszFunction);
    Guard g(g_mu);
    State &s = S();
    if (CountCallLocked(pszFunction) == 1) s.failableCalled.push_back(pszFunction);
    bool fired = false;
    for (size_t i = 0; i < s.faults.size();) {
        Fault &f = s.faults[i];
        if (f.name == pszFunction && --f.uiRemaining == 0) {
            if (!fired) {
                fired = true;
                *piCode = f.iCode;
            }
            s.faults.erase(s.faults.begin() + (long)i);
            continue;
        }
        i++;
    }
    return fired ? 1 : 0;
}

static void CountOnly(const char *pszFunction) {
    Guard g(g_mu);
    CountCallLocked(pszFunction);
}

ZOLSRV_ERROR zolsim_internal_alloc(VEK_SIZE_T uSize, VEK_UINT32 ui32Attribs, VEK_UINT32 ui32PhysAddr,
                                   ZOLSRV_CLIENT_MEM_INFO **ppsMemInfo) {
    return AllocMem(uSize, ui32Attribs, ui32PhysAddr, ppsMemInfo);
}

ZOLSRV_ERROR zolsim_internal_free(ZOLSRV_CLIENT_MEM_INFO *psMemInfo) { return FreeMem(psMemInfo, false); }

VEK_UINT32 zolsim_internal_phys_addr(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    Guard g(g_mu);
    Mem *m = FindMemLocked(psMemInfo);
    return m != nullptr ? m->ui32PhysAddr : 0;
}

VEK_UINT32 zolsim_internal_reserve_dev_vaddr(VEK_SIZE_T uLen) {
    Guard g(g_mu);
    return TakeDevVAddrLocked(RoundUp(uLen, PageSize()));
}

void *zolsim_internal_cpu_address(VEK_UINT32 ui32DevAddr, VEK_SIZE_T *puRoom) {
    Guard g(g_mu);
    for (Mem *m : S().mems) {
        const VEK_UINT32 base = m->sInfo.sDevVAddr.uiAddr;
        if (ui32DevAddr >= base && ui32DevAddr - base < m->sInfo.uAllocSize) {
            if (puRoom != nullptr) *puRoom = m->sInfo.uAllocSize - (ui32DevAddr - base);
            return static_cast<char *>(m->pvBase) + (ui32DevAddr - base);
        }
    }
    return nullptr;
}

void zolsim_internal_gpu_write_begin(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    Guard g(g_mu);
    Mem *m = FindMemLocked(psMemInfo);
    if (m == nullptr) return;
    GPU_WRITES_BEGIN();
    __atomic_add_fetch(&m->psHeader->sSync.ui32WriteOpsPending, 1, __ATOMIC_SEQ_CST);
    GPU_WRITES_END();
}

void zolsim_internal_gpu_write_end(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    Guard g(g_mu);
    Mem *m = FindMemLocked(psMemInfo);
    if (m == nullptr) return;
    GPU_WRITES_BEGIN();
    __atomic_add_fetch(&m->psHeader->sSync.ui32WriteOpsComplete, 1, __ATOMIC_SEQ_CST);
    GPU_WRITES_END();
    __atomic_add_fetch(&g_eventGeneration, 1, __ATOMIC_SEQ_CST);
}

static ZOLSRV_CONNECTION *NewConnection(VEK_UINT32 ui32Flags, bool bCounted) {
    ZOLSRV_CONNECTION *c = new ZOLSRV_CONNECTION{ui32Flags, bCounted, 0};
    Guard g(g_mu);
    S().connections.push_back(c);
    if (bCounted) S().uiLiveConnections++;
    return c;
}

static bool DeleteConnection(const ZOLSRV_CONNECTION *psConnection, bool bCounted) {
    ZOLSRV_CONNECTION *c = const_cast<ZOLSRV_CONNECTION *>(psConnection);
    {
        Guard g(g_mu);
        if (!ConnectionLiveLocked(c) || c->bCounted != bCounted) return false;
        Erase(S().connections, c);
        if (bCounted) S().uiLiveConnections--;
        // The disconnect ends what was made on the connection: its memory contexts go with it.
        State &s = S();
        for (auto it = s.memContextConnection.begin(); it != s.memContextConnection.end();) {
            if (it->second != c) {
                ++it;
                continue;
            }
            Erase(s.memContexts, it->first);
            delete[] static_cast<char *>(it->first);
            it = s.memContextConnection.erase(it);
        }
    }
    delete c;
    return true;
}

ZOLSRV_CONNECTION *zolsim_internal_connect(void) { return NewConnection(0, false); }

void zolsim_internal_disconnect(ZOLSRV_CONNECTION *psConnection) { DeleteConnection(psConnection, false); }

VEK_HANDLE zolsim_internal_connection_event(const ZOLSRV_CONNECTION *psConnection) {
    return const_cast<char *>(&psConnection->event);
}

unsigned zolsim_internal_2d_device_count(void) {
    Guard g(g_mu);
    return S().ui2DDevices;
}

void zolsim_internal_2d_display(unsigned uiIndex, ZOL2DDISPLAYINFO *psDisplayInfo,
                                ZOL2DMISCDISPLAYINFO *psMiscDisplayInfo) {
    Guard g(g_mu);
    if (uiIndex >= kMax2DDevices) uiIndex = kMax2DDevices - 1;
    if (psDisplayInfo != nullptr) *psDisplayInfo = S().displays[uiIndex];
    if (psMiscDisplayInfo != nullptr) *psMiscDisplayInfo = S().miscDisplays[uiIndex];
}

long zolsim_internal_flipchain_stride_override(void) {
    Guard g(g_mu);
    return S().lStrideOverride;
}

long zolsim_internal_flipchain_count_override(void) {
    Guard g(g_mu);
    return S().lCountOverride;
}

void zolsim_internal_record_context_device(unsigned long ulDevID) {
    Guard g(g_mu);
    S().ulLastContextDevice = ulDevID;
}

void zolsim_internal_record_flipchain(const ZOLSIM_FLIPCHAIN_RECORD *psRecord) {
    Guard g(g_mu);
    S().flipChain = *psRecord;
    S().bHaveFlipChain = true;
}

void zolsim_internal_record_wrap(unsigned long ulSize) {
    Guard g(g_mu);
    S().wraps.push_back(ulSize);
}

void zolsim_internal_record_blit(const ZOLSIM_BLIT_RECORD *psRecord) {
    Guard g(g_mu);
    S().blit = *psRecord;
    S().bHaveBlit = true;
}

void zolsim_internal_live_adjust(int iKind, int iDelta) {
    Guard g(g_mu);
    unsigned &n = iKind == ZOLSIM_LIVE_CONTEXTS     ? S().uiLiveContexts
                  : iKind == ZOLSIM_LIVE_FLIPCHAINS ? S().uiLiveFlipChains
                                                    : S().uiLiveWrapped;
    n = (unsigned)((int)n + iDelta);
}

static DCChain *FindDCChainLocked(VEK_HANDLE hSwapChain) {
    for (DCChain &c : S().dcChains)
        if (c.hSwapChain == hSwapChain) return &c;
    return nullptr;
}

void zolsim_internal_dc_chain_set(VEK_HANDLE hDevice, VEK_HANDLE hSwapChain, unsigned uiDisplay,
                                  ZOLSRV_CLIENT_MEM_INFO *const *apsBuffers, unsigned uiCount) {
    Guard g(g_mu);
    DCChain *c = FindDCChainLocked(hSwapChain);
    if (c == nullptr) {
        S().dcChains.push_back(DCChain{});
        c = &S().dcChains.back();
    }
    c->hDevice = hDevice;
    c->hSwapChain = hSwapChain;
    c->uiDisplay = uiDisplay;
    c->buffers.assign(apsBuffers, apsBuffers + uiCount);
}

void zolsim_internal_dc_chain_remove(VEK_HANDLE hSwapChain) {
    Guard g(g_mu);
    std::vector<DCChain> &v = S().dcChains;
    for (size_t i = 0; i < v.size(); i++)
        if (v[i].hSwapChain == hSwapChain) {
            v.erase(v.begin() + (long)i);
            return;
        }
}

void zolsim_internal_record_present(const ZOLSIM_PRESENT_RECORD *psRecord) {
    Guard g(g_mu);
    S().presents.push_back(*psRecord);
}

void zolsim_internal_record_flip_properties(const ZOLSIM_FLIP_PROPERTIES_RECORD *psRecord) {
    Guard g(g_mu);
    S().flipProperties.push_back(*psRecord);
}

// The display's geometry is taken at each present, so a test may change the display between
// frames. A capture is written after the lock is released.
static void ScreenShowLocked(unsigned uiDisplay, const void *pvPixels, size_t uSize, VEK_UINT64 ui64Stamp,
                             std::string *psCapturePath, std::vector<unsigned char> *psCaptureRgb,
                             unsigned long *pulWidth, unsigned long *pulHeight) {
    State &s = S();
    if (uiDisplay >= kMax2DDevices) return;
    const ZOL2DDISPLAYINFO &d = s.displays[uiDisplay];
    Screen &sc = s.screens[uiDisplay];
    sc.ulWidth = d.ulWidth;
    sc.ulHeight = d.ulHeight;
    sc.lStride = d.lStride > 0 ? d.lStride : 0;
    sc.eFormat = d.eFormat;
    sc.pixels.assign((size_t)sc.lStride * sc.ulHeight, 0);
    const size_t n = uSize < sc.pixels.size() ? uSize : sc.pixels.size();
    if (pvPixels != nullptr && n != 0) zolsim::DeviceMemoryRead(sc.pixels.data(), pvPixels, n);
    sc.ui64Stamp = ui64Stamp;
    sc.uiFrames++;
    if (!s.captureDir.empty()) {
        char name[32];
        snprintf(name, sizeof(name), "/frame-%03u.png", s.uiCaptured++);
        *psCapturePath = s.captureDir + name;
        *psCaptureRgb = ScreenRgbLocked(sc);
        *pulWidth = sc.ulWidth;
        *pulHeight = sc.ulHeight;
    }
}

static void ScreenShow(unsigned uiDisplay, const void *pvPixels, size_t uSize, VEK_UINT64 ui64Stamp) {
    std::string path;
    std::vector<unsigned char> rgb;
    unsigned long w = 0, h = 0;
    {
        Guard g(g_mu);
        ScreenShowLocked(uiDisplay, pvPixels, uSize, ui64Stamp, &path, &rgb, &w, &h);
    }
    if (!path.empty()) {
        if (WriteFile(path, zolsim::EncodePng(rgb.data(), (unsigned)w, (unsigned)h)) != 0)
            fprintf(stderr, "zolsim: cannot save the screen as %s\n", path.c_str());
    }
}

void zolsim_internal_screen_show(unsigned uiDisplay, const void *pvPixels, size_t uSize, VEK_UINT64 ui64Stamp) {
    ScreenShow(uiDisplay, pvPixels, uSize, ui64Stamp);
}

VEK_UINT64 zolsim_internal_stamp_of(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    Guard g(g_mu);
    Mem *m = FindMemLocked(psMemInfo);
    return m != nullptr ? m->sInfo.ui64Stamp : 0;
}

void zolsim_internal_gles1_config(VEK_UINT32 *pui32Version, int *pbTableNull, int *pbFlushMissing,
                                  VEK_UINT32 *pui32FlushResult) {
    Guard g(g_mu);
    *pui32Version = S().ui32GLES1Version;
    *pbTableNull = S().bGLES1TableNull ? 1 : 0;
    *pbFlushMissing = S().bGLES1FlushMissing ? 1 : 0;
    *pui32FlushResult = S().ui32GLES1FlushResult;
}

void zolsim_internal_gles1_flushed(VEK_BOOL b1, VEK_BOOL b2) {
    Guard g(g_mu);
    S().bGLES1Flushed = true;
    S().abGLES1FlushArgs[0] = b1;
    S().abGLES1FlushArgs[1] = b2;
}

void zolsim_internal_fd_closed(int iFd) {
    if (__atomic_load_n(&g_exportedCount, __ATOMIC_RELAXED) == 0) return;
    Guard g(g_fd_mu);
    for (size_t i = 0; i < g_exported->size(); i++)
        if ((*g_exported)[i].iFd == iFd) {
            g_exported->erase(g_exported->begin() + (long)i);
            break;
        }
    __atomic_store_n(&g_exportedCount, (unsigned)g_exported->size(), __ATOMIC_RELAXED);
}

/* ---------------- connection and devices ---------------- */

ZOLSRV_ERROR ZOLSRVConnect(ZOLSRV_CONNECTION **ppsConnection, VEK_UINT32 ui32Flags) {
    ENTER("ZOLSRVConnect");
    if (ppsConnection == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    {
        Guard g(g_mu);
        S().ui32LastConnectFlags = ui32Flags;
    }
    *ppsConnection = NewConnection(ui32Flags, true);
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVDisconnect(const ZOLSRV_CONNECTION *psConnection) {
    ENTER("ZOLSRVDisconnect");
    return DeleteConnection(psConnection, true) ? ZOLSRV_OK : ZOLSRV_ERROR_INVALID_PARAMS;
}

ZOLSRV_ERROR ZOLSRVEnumerateDevices(const ZOLSRV_CONNECTION *psConnection, VEK_UINT32 *pui32NumDevices,
                                    ZOLSRV_DEVICE_IDENTIFIER *psDevID) {
    ENTER("ZOLSRVEnumerateDevices");
    Guard g(g_mu);
    if (!ConnectionLiveLocked(psConnection) || pui32NumDevices == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    *pui32NumDevices = (VEK_UINT32)S().devices.size();
    if (psDevID != nullptr)
        for (size_t i = 0; i < S().devices.size(); i++) psDevID[i] = S().devices[i];
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVAcquireDeviceData(const ZOLSRV_CONNECTION *psConnection, VEK_UINT32 ui32DevIndex,
                                     ZOLSRV_DEV_DATA *psDevData, ZOLSRV_DEVICE_TYPE eDeviceType) {
    (void)eDeviceType;
    ENTER("ZOLSRVAcquireDeviceData");
    Guard g(g_mu);
    if (!ConnectionLiveLocked(psConnection) || psDevData == nullptr || ui32DevIndex >= ZOLSRV_MAX_DEVICES)
        return ZOLSRV_ERROR_INVALID_PARAMS;
    bool found = false;
    for (const ZOLSRV_DEVICE_IDENTIFIER &d : S().devices) found = found || d.ui32DeviceIndex == ui32DevIndex;
    if (!found) return ZOLSRV_ERROR_INVALID_PARAMS;
    S().ui32LastAcquireIndex = ui32DevIndex;
    psDevData->psConnection = psConnection;
    psDevData->hDevCookie = &g_devCookies[ui32DevIndex];
    return ZOLSRV_OK;
}

ZOLSRV_ERROR HQTGetClientInfo(const ZOLSRV_DEV_DATA *psDevData, ZOLSRV_HQT_CLIENT_INFO *psClientInfo) {
    ENTER("HQTGetClientInfo");
    if (psDevData == nullptr || psClientInfo == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    memset(psClientInfo, 0, sizeof(*psClientInfo));
    psClientInfo->ui32ClientFlags = 0x1;
    psClientInfo->ui32ClientBuild = 1;
    return ZOLSRV_OK;
}

/* ---------------- memory contexts ---------------- */

ZOLSRV_ERROR ZOLSRVCreateDeviceMemContext(const ZOLSRV_DEV_DATA *psDevData, VEK_HANDLE *phDevMemContext,
                                          VEK_UINT32 *pui32ClientHeapCount, ZOLSRV_HEAP_INFO *psHeapInfo) {
    ENTER("ZOLSRVCreateDeviceMemContext");
    if (psDevData == nullptr || phDevMemContext == nullptr || pui32ClientHeapCount == nullptr || psHeapInfo == nullptr)
        return ZOLSRV_ERROR_INVALID_PARAMS;
    void *ctx = new char[1];
    Guard g(g_mu);
    State &s = S();
    s.memContexts.push_back(ctx);
    s.memContextConnection[ctx] = psDevData->psConnection;
    for (size_t i = 0; i < s.heapIDs.size(); i++) {
        psHeapInfo[i].ui32HeapID = s.heapIDs[i];
        psHeapInfo[i].hDevMemHeap = &g_heapHandles[i];
        psHeapInfo[i].sDevVAddrBase.uiAddr = kDevVAddrFirst;
        psHeapInfo[i].ui32HeapByteSize = kDevVAddrLimit - kDevVAddrFirst;
        psHeapInfo[i].ui32Attribs = 0;
    }
    *pui32ClientHeapCount = (VEK_UINT32)s.heapIDs.size();
    *phDevMemContext = ctx;
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVDestroyDeviceMemContext(const ZOLSRV_DEV_DATA *psDevData, VEK_HANDLE hDevMemContext) {
    (void)psDevData;
    ENTER("ZOLSRVDestroyDeviceMemContext");
    {
        Guard g(g_mu);
        if (!Erase(S().memContexts, hDevMemContext)) return ZOLSRV_ERROR_INVALID_PARAMS;
        S().memContextConnection.erase(hDevMemContext);
    }
    delete[] static_cast<char *>(hDevMemContext);
    return ZOLSRV_OK;
}

/* ---------------- misc information ---------------- */

ZOLSRV_ERROR ZOLSRVGetMiscInfo(const ZOLSRV_CONNECTION *psConnection, ZOLSRV_MISC_INFO *psMiscInfo) {
    ENTER("ZOLSRVGetMiscInfo");
    if (psMiscInfo == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    Guard g(g_mu);
    State &s = S();
    s.miscInfo = *psMiscInfo;
    s.bHaveMiscInfo = true;
    if (!ConnectionLiveLocked(psConnection)) return ZOLSRV_ERROR_INVALID_PARAMS;
    const VEK_UINT32 req = psMiscInfo->ui32StateRequest;
    VEK_UINT32 present = 0;
    if (req & ZOLSRV_MISC_INFO_GET_REF_COUNT_PRESENT) {
        Mem *m = FindMemLocked(psMiscInfo->sGetRefCountCtl.u.psClientMemInfo);
        if (m == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
        psMiscInfo->sGetRefCountCtl.ui32RefCount = m->ui32RefCount;
        present |= ZOLSRV_MISC_INFO_GET_REF_COUNT_PRESENT;
    }
    if (req & ZOLSRV_MISC_INFO_GLOBALEVENTOBJECT_PRESENT) {
        psMiscInfo->hOSGlobalEvent = zolsim_internal_connection_event(psConnection);
        present |= ZOLSRV_MISC_INFO_GLOBALEVENTOBJECT_PRESENT;
    }
    if (req & ZOLSRV_MISC_INFO_CPUCACHEOP_PRESENT) {
        // A PC's caches are coherent with the simulated GPU: nothing to clean or flush.
        s.uiCacheOps++;
        present |= ZOLSRV_MISC_INFO_CPUCACHEOP_PRESENT;
    }
    psMiscInfo->ui32StatePresent = present;
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVReleaseMiscInfo(const ZOLSRV_CONNECTION *psConnection, ZOLSRV_MISC_INFO *psMiscInfo) {
    (void)psConnection;
    ENTER("ZOLSRVReleaseMiscInfo");
    if (psMiscInfo == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    psMiscInfo->hOSGlobalEvent = nullptr;
    return ZOLSRV_OK;
}

/* ---------------- device memory ---------------- */

ZOLSRV_ERROR ZOLSRVAllocDeviceMem2(const ZOLSRV_DEV_DATA *psDevData, VEK_HANDLE hDevMemHeap, VEK_UINT32 ui32Attribs,
                                   VEK_SIZE_T uSize, VEK_SIZE_T uAlignment, VEK_VOID *pvPrivData,
                                   VEK_UINT32 ui32PrivDataLength, ZOLSRV_CLIENT_MEM_INFO **ppsMemInfo) {
    (void)pvPrivData;
    ENTER("ZOLSRVAllocDeviceMem2");
    {
        Guard g(g_mu);
        S().allocs.push_back(ZOLSIM_ALLOC_RECORD{hDevMemHeap, ui32Attribs, uSize, uAlignment, ui32PrivDataLength});
    }
    if (psDevData == nullptr || hDevMemHeap == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    return AllocMem(uSize, ui32Attribs, 0, ppsMemInfo);
}

ZOLSRV_ERROR ZOLSRVFreeDeviceMem(const ZOLSRV_DEV_DATA *psDevData, ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    (void)psDevData;
    ENTER("ZOLSRVFreeDeviceMem");
    return FreeMem(psMemInfo, false);
}

ZOLSRV_ERROR ZOLSRVExportDeviceMem2(const ZOLSRV_DEV_DATA *psDevData, ZOLSRV_CLIENT_MEM_INFO *psMemInfo, int *piFd) {
    (void)psDevData;
    ENTER("ZOLSRVExportDeviceMem2");
    if (piFd == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    int fd;
    {
        Guard g(g_mu);
        Mem *m = FindMemLocked(psMemInfo);
        if (m == nullptr || m->bMapping) return ZOLSRV_ERROR_INVALID_PARAMS;
        fd = fcntl(m->iFd, F_DUPFD, 0);  // without close-on-exec: it is meant to be sent on
    }
    if (fd < 0) return ZOLSRV_ERROR_OUT_OF_MEMORY;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return ZOLSRV_ERROR_GENERIC;
    }
    {
        Guard g(g_fd_mu);
        // A stale entry with this number was closed behind our back (dup2, close_range...).
        for (size_t i = 0; i < g_exported->size(); i++)
            if ((*g_exported)[i].iFd == fd) {
                g_exported->erase(g_exported->begin() + (long)i);
                break;
            }
        g_exported->push_back(ExportedFd{fd, st.st_dev, st.st_ino});
        __atomic_store_n(&g_exportedCount, (unsigned)g_exported->size(), __ATOMIC_RELAXED);
    }
    *piFd = fd;
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVMapDeviceMemory2(const ZOLSRV_DEV_DATA *psDevData, int iFd, VEK_HANDLE hDstDevMemHeap,
                                    ZOLSRV_CLIENT_MEM_INFO **ppsDstMemInfo) {
    (void)psDevData;
    (void)hDstDevMemHeap;
    ENTER("ZOLSRVMapDeviceMemory2");
    if (ppsDstMemInfo == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    const size_t page = PageSize();
    struct stat st;
    if (fstat(iFd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < (off_t)(2 * page) || st.st_size % (off_t)page != 0)
        return ZOLSRV_ERROR_INVALID_PARAMS;
    const size_t total = (size_t)st.st_size;
    void *base = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, iFd, 0);
    if (base == MAP_FAILED) return ZOLSRV_ERROR_INVALID_PARAMS;
    MemHeader *h = reinterpret_cast<MemHeader *>(static_cast<char *>(base) + total - page);
    if (h->ui32Magic != kMemMagic || h->ui64Size == 0 || RoundUp((size_t)h->ui64Size, page) + page != total) {
        munmap(base, total);
        return ZOLSRV_ERROR_INVALID_PARAMS;
    }
    Mem *m = new Mem{};
    m->iFd = -1;
    m->pvBase = base;
    m->uMapLen = total;
    m->psHeader = h;
    m->bMapping = true;
    {
        Guard g(g_mu);
        PublishLocked(m, total - page);
    }
    *ppsDstMemInfo = &m->sInfo;
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVUnmapDeviceMemory(const ZOLSRV_DEV_DATA *psDevData, ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    (void)psDevData;
    ENTER("ZOLSRVUnmapDeviceMemory");
    return FreeMem(psMemInfo, true);
}

/* ---------------- events ---------------- */

ZOLSRV_ERROR ZOLSRVEventObjectWait(const ZOLSRV_CONNECTION *psConnection, VEK_HANDLE hOSEvent) {
    ENTER("ZOLSRVEventObjectWait");
    std::vector<Snapshot> snaps;
    unsigned timeoutMs;
    {
        Guard g(g_mu);
        State &s = S();
        if (!ConnectionLiveLocked(psConnection) || hOSEvent == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
        if (!s.completeOnNextWait.empty()) {
            for (Mem *m : s.completeOnNextWait) CompleteLocked(m);
            s.completeOnNextWait.clear();
            return ZOLSRV_OK;
        }
        timeoutMs = s.uiWaitTimeoutMs;
        for (Mem *m : s.mems) snaps.push_back(Snap(m));
    }
    const VEK_UINT32 gen = __atomic_load_n(&g_eventGeneration, __ATOMIC_SEQ_CST);
    const long deadline = NowUs() + (long)timeoutMs * 1000;
    struct Waiting {
        Waiting() { __atomic_add_fetch(&g_eventWaiters, 1, __ATOMIC_SEQ_CST); }
        ~Waiting() { __atomic_sub_fetch(&g_eventWaiters, 1, __ATOMIC_SEQ_CST); }
    } waiting;
    for (;;) {
        if (__atomic_load_n(&g_eventGeneration, __ATOMIC_SEQ_CST) != gen) return ZOLSRV_OK;
        {
            // Progress made by another process shows only in the shared counters.
            Guard g(g_mu);
            for (const Snapshot &o : snaps) {
                if (!Contains(S().mems, o.m)) continue;
                Snapshot n = Snap(o.m);
                if (n.r != o.r || n.w != o.w || n.r2 != o.r2) return ZOLSRV_OK;
            }
        }
        if (NowUs() >= deadline) return ZOLSRV_ERROR_TIMEOUT;
        SleepUs(250);
    }
}

ZOLSRV_ERROR ZOLSRVClientEvent(ZOLSRV_CLIENT_EVENT eEvent, ZOLSRV_DEV_DATA *psDevData, VEK_VOID *pvData) {
    (void)psDevData;
    (void)pvData;
    ENTER("ZOLSRVClientEvent");
    if (eEvent == ZOLSRV_CLIENT_EVENT_HWTIMEOUT) {
        Guard g(g_mu);
        S().uiStallReports++;
    }
    return ZOLSRV_OK;
}

/* ---------------- mutexes ---------------- */

ZOLSRV_ERROR ZOLSRVCreateMutex(ZOLSRV_MUTEX_HANDLE *phMutex) {
    ENTER("ZOLSRVCreateMutex");
    if (phMutex == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    ZOLSRV_MUTEX_HANDLE h = new ZOLSRV_MUTEX_TAG;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&h->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    h->ulOwner = 0;
    {
        Guard g(g_mu);
        S().uiLiveMutexes++;
        S().mutexes.push_back(h);
    }
    *phMutex = h;
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVDestroyMutex(ZOLSRV_MUTEX_HANDLE hMutex) {
    ENTER("ZOLSRVDestroyMutex");
    if (hMutex == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    if (pthread_mutex_destroy(&hMutex->mutex) != 0) {
        fprintf(stderr, "zolsim: ZOLSRVDestroyMutex of a mutex still held\n");
        abort();
    }
    {
        Guard g(g_mu);
        S().uiLiveMutexes--;
        Erase(S().mutexes, hMutex);
    }
    delete hMutex;
    return ZOLSRV_OK;
}

void ZOLSRVLockMutex(ZOLSRV_MUTEX_HANDLE hMutex) {
    CountOnly("ZOLSRVLockMutex");
    int rc = pthread_mutex_lock(&hMutex->mutex);
    if (rc == EDEADLK) {
        fprintf(stderr, "zolsim: ZOLSRVLockMutex: this thread already holds the mutex (recursive lock)\n");
        abort();
    }
    if (rc != 0) {
        fprintf(stderr, "zolsim: ZOLSRVLockMutex failed: %s\n", strerror(rc));
        abort();
    }
    __atomic_store_n(&hMutex->ulOwner, (unsigned long)pthread_self(), __ATOMIC_RELAXED);
}

void ZOLSRVUnlockMutex(ZOLSRV_MUTEX_HANDLE hMutex) {
    CountOnly("ZOLSRVUnlockMutex");
    if (__atomic_load_n(&hMutex->ulOwner, __ATOMIC_RELAXED) == (unsigned long)pthread_self())
        __atomic_store_n(&hMutex->ulOwner, 0UL, __ATOMIC_RELAXED);
    int rc = pthread_mutex_unlock(&hMutex->mutex);
    if (rc == EPERM) {
        fprintf(stderr, "zolsim: ZOLSRVUnlockMutex: this thread does not hold the mutex\n");
        abort();
    }
    if (rc != 0) {
        fprintf(stderr, "zolsim: ZOLSRVUnlockMutex failed: %s\n", strerror(rc));
        abort();
    }
}

/* ---------------- display-class buffers ---------------- */

ZOLSRV_ERROR ZOLSRVGetDCBuffers2(VEK_HANDLE hDevice, VEK_HANDLE hSwapChain, VEK_HANDLE *phBuffer,
                                 VEK_SYS_PHYADDR *psPhyAddr) {
    ENTER("ZOLSRVGetDCBuffers2");
    if (phBuffer == nullptr || psPhyAddr == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    Guard g(g_mu);
    const DCChain *c = FindDCChainLocked(hSwapChain);
    if (c == nullptr || c->hDevice != hDevice) return ZOLSRV_ERROR_INVALID_PARAMS;
    for (size_t i = 0; i < c->buffers.size(); i++) {
        Mem *m = FindMemLocked(c->buffers[i]);
        phBuffer[i] = c->buffers[i]->hKernelMemInfo;
        psPhyAddr[i].uiAddr = m != nullptr ? m->ui32PhysAddr : 0;
    }
    return ZOLSRV_OK;
}

// Checks the swap and answers as the display would; on success *ppsShow is the buffer to show.
static ZOLSRV_ERROR SwapLocked(VEK_HANDLE hDevice, VEK_HANDLE hSwapChain, ZOLSRV_CLIENT_MEM_INFO **ppsMemInfos,
                               VEK_UINT32 ui32NumMemInfos, unsigned *puiDisplay, Mem **ppsShow) {
    State &s = S();
    const DCChain *c = FindDCChainLocked(hSwapChain);
    if (c == nullptr || c->hDevice != hDevice) return ZOLSRV_ERROR_INVALID_PARAMS;
    if (ppsMemInfos == nullptr || ui32NumMemInfos == 0) return ZOLSRV_ERROR_INVALID_PARAMS;
    for (VEK_UINT32 i = 0; i < ui32NumMemInfos; i++)
        if (FindMemLocked(ppsMemInfos[i]) == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    if (s.uiSwapRetries != 0) {
        if (s.uiSwapRetries != ZOLSIM_SWAP_RETRY_ALWAYS) s.uiSwapRetries--;
        return ZOLSRV_ERROR_RETRY;
    }
    *puiDisplay = c->uiDisplay;
    *ppsShow = FindMemLocked(ppsMemInfos[0]);
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVSwapToDCBuffer2(VEK_HANDLE hDevice, VEK_HANDLE hSwapChain, VEK_UINT32 ui32SwapInterval,
                                   ZOLSRV_CLIENT_MEM_INFO **ppsMemInfos, VEK_UINT32 ui32NumMemInfos,
                                   VEK_VOID *pvPrivData, VEK_UINT32 ui32PrivDataLength) {
    ENTER("ZOLSRVSwapToDCBuffer2");
    ZOLSIM_SWAP_RECORD rec;
    memset(&rec, 0, sizeof(rec));
    rec.hDevice = hDevice;
    rec.hSwapChain = hSwapChain;
    rec.ui32SwapInterval = ui32SwapInterval;
    rec.ui32NumMemInfos = ui32NumMemInfos;
    for (VEK_UINT32 i = 0; ppsMemInfos != nullptr && i < ui32NumMemInfos && i < ZOLSIM_SWAP_RECORD_MEMINFOS; i++)
        rec.apsMemInfos[i] = ppsMemInfos[i];
    rec.pvPrivData = pvPrivData;
    rec.ui32PrivDataLength = ui32PrivDataLength;

    std::string path;
    std::vector<unsigned char> rgb;
    unsigned long w = 0, h = 0;
    {
        Guard g(g_mu);
        unsigned uiDisplay = 0;
        Mem *m = nullptr;
        for (ZOLSRV_MUTEX_HANDLE hm : S().mutexes)
            if (__atomic_load_n(&hm->ulOwner, __ATOMIC_RELAXED) == (unsigned long)pthread_self())
                rec.bCallerHeldAMutex = 1;
        rec.eResult = SwapLocked(hDevice, hSwapChain, ppsMemInfos, ui32NumMemInfos, &uiDisplay, &m);
        S().swaps.push_back(rec);
        if (rec.eResult != ZOLSRV_OK) return rec.eResult;
        ScreenShowLocked(uiDisplay, m->pvBase, m->sInfo.uAllocSize, m->sInfo.ui64Stamp, &path, &rgb, &w, &h);
    }
    if (!path.empty() && WriteFile(path, zolsim::EncodePng(rgb.data(), (unsigned)w, (unsigned)h)) != 0)
        fprintf(stderr, "zolsim: cannot save the screen as %s\n", path.c_str());
    return ZOLSRV_OK;
}

/* ---------------- app hints ---------------- */

void ZOLSRVCreateAppHintState(VEK_UINT32 eModuleID, const char *pszAppName, VEK_VOID **ppvState) {
    (void)pszAppName;
    CountOnly("ZOLSRVCreateAppHintState");
    if (ppvState == nullptr) return;
    *ppvState = new HintState{eModuleID};
    Guard g(g_mu);
    S().uiLiveHintStates++;
}

VEK_BOOL ZOLSRVGetAppHint(VEK_VOID *pvHintState, const char *pszHintName, VEK_DATA_TYPE eDataType,
                          const VEK_VOID *pvDefault, VEK_VOID *pvReturn) {
    (void)eDataType;
    int code;
    if (zolsim_internal_enter("ZOLSRVGetAppHint", &code)) return VEK_FALSE;
    if (pvHintState == nullptr || pszHintName == nullptr || pvReturn == nullptr) return VEK_FALSE;
    Guard g(g_mu);
    State &s = S();
    if (!s.hintsRead.empty()) s.hintsRead += ',';
    s.hintsRead += pszHintName;
    auto it = s.hints.find(pszHintName);
    if (it != s.hints.end()) {
        memcpy(pvReturn, &it->second, sizeof(VEK_UINT32));
        return VEK_TRUE;
    }
    if (pvDefault != nullptr) memcpy(pvReturn, pvDefault, sizeof(VEK_UINT32));
    return VEK_FALSE;
}

void ZOLSRVFreeAppHintState(VEK_UINT32 eModuleID, VEK_VOID *pvHintState) {
    (void)eModuleID;
    CountOnly("ZOLSRVFreeAppHintState");
    if (pvHintState == nullptr) return;
    delete static_cast<HintState *>(pvHintState);
    Guard g(g_mu);
    S().uiLiveHintStates--;
}

/* ---------------- libraries and memory ---------------- */

ZOLSRV_ERROR ZOLSRVLoadLibrary(const char *pszLibraryName, VEK_HANDLE *phLibrary) {
    ENTER("ZOLSRVLoadLibrary");
    if (pszLibraryName == nullptr || phLibrary == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    {
        Guard g(g_mu);
        if (S().bGLES1Absent && strcmp(pszLibraryName, kGLES1Library) == 0) return ZOLSRV_ERROR_GENERIC;
    }
    const char *root = getenv("ZOLSIM_ROOT");
    std::string path = (root != nullptr ? root : ZOLSIM_ROOT);
    path += pszLibraryName;
    void *h = dlopen(path.c_str(), RTLD_NOW);
    if (h == nullptr) return ZOLSRV_ERROR_GENERIC;
    *phLibrary = h;
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVUnloadLibrary(VEK_HANDLE hLibrary) {
    ENTER("ZOLSRVUnloadLibrary");
    if (hLibrary == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    return dlclose(hLibrary) == 0 ? ZOLSRV_OK : ZOLSRV_ERROR_GENERIC;
}

ZOLSRV_ERROR ZOLSRVGetLibFuncAddr(VEK_HANDLE hLibrary, const char *pszFunctionName, VEK_VOID **ppvFuncAddr) {
    ENTER("ZOLSRVGetLibFuncAddr");
    if (hLibrary == nullptr || pszFunctionName == nullptr || ppvFuncAddr == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    void *p = dlsym(hLibrary, pszFunctionName);
    if (p == nullptr) return ZOLSRV_ERROR_GENERIC;
    *ppvFuncAddr = p;
    return ZOLSRV_OK;
}

void ZOLSRVMemCopy(VEK_VOID *pvDst, const VEK_VOID *pvSrc, VEK_SIZE_T uiSize) {
    CountOnly("ZOLSRVMemCopy");
    memcpy(pvDst, pvSrc, uiSize);
}

/* ---------------- control API ---------------- */

void zolsim_reset(void) {
    {
        Guard g(g_mu);
        S().Defaults();
    }
    zolsim_internal_fbdev_reset();
}

void zolsim_set_devices(const ZOLSRV_DEVICE_IDENTIFIER *psDevices, unsigned uiCount) {
    if (uiCount > ZOLSRV_MAX_DEVICES) uiCount = ZOLSRV_MAX_DEVICES;
    Guard g(g_mu);
    S().devices.assign(psDevices, psDevices + uiCount);
}

void zolsim_set_heaps(const VEK_UINT32 *pui32HeapIDs, unsigned uiCount) {
    if (uiCount > ZOLSRV_MAX_CLIENT_HEAPS) uiCount = ZOLSRV_MAX_CLIENT_HEAPS;
    Guard g(g_mu);
    S().heapIDs.assign(pui32HeapIDs, pui32HeapIDs + uiCount);
}

VEK_HANDLE zolsim_heap_handle(unsigned uiIndex) {
    return uiIndex < ZOLSRV_MAX_CLIENT_HEAPS ? &g_heapHandles[uiIndex] : nullptr;
}

void zolsim_set_2d_device_count(unsigned uiCount) {
    Guard g(g_mu);
    S().ui2DDevices = uiCount < kMax2DDevices ? uiCount : kMax2DDevices;
}

void zolsim_set_display(unsigned uiIndex, const ZOL2DDISPLAYINFO *psDisplayInfo,
                        const ZOL2DMISCDISPLAYINFO *psMiscDisplayInfo) {
    if (uiIndex >= kMax2DDevices) return;
    Guard g(g_mu);
    if (psDisplayInfo != nullptr) S().displays[uiIndex] = *psDisplayInfo;
    if (psMiscDisplayInfo != nullptr) S().miscDisplays[uiIndex] = *psMiscDisplayInfo;
}

void zolsim_set_flipchain_stride_override(long lStride) {
    Guard g(g_mu);
    S().lStrideOverride = lStride;
}

void zolsim_set_flipchain_count_override(long lCount) {
    Guard g(g_mu);
    S().lCountOverride = lCount;
}

void zolsim_set_app_hint(const char *pszName, VEK_UINT32 ui32Value) {
    Guard g(g_mu);
    S().hints[pszName] = ui32Value;
}

void zolsim_clear_app_hints(void) {
    Guard g(g_mu);
    S().hints.clear();
}

void zolsim_set_wait_timeout_ms(unsigned uiMs) {
    Guard g(g_mu);
    S().uiWaitTimeoutMs = uiMs;
}

unsigned zolsim_event_waiters(void) { return __atomic_load_n(&g_eventWaiters, __ATOMIC_SEQ_CST); }

void zolsim_fail(const char *pszFunction, unsigned uiNth, int iCode) {
    if (uiNth == 0) return;
    Guard g(g_mu);
    S().faults.push_back(Fault{pszFunction, uiNth, iCode});
}

void zolsim_clear_faults(void) {
    Guard g(g_mu);
    S().faults.clear();
}

unsigned zolsim_calls(const char *pszFunction) {
    Guard g(g_mu);
    auto it = S().calls.find(pszFunction);
    return it != S().calls.end() ? it->second : 0;
}

const char *zolsim_call_names(void) {
    Guard g(g_mu);
    State &s = S();
    s.failableCalledText.clear();
    for (const std::string &name : s.failableCalled) {
        if (!s.failableCalledText.empty()) s.failableCalledText += ',';
        s.failableCalledText += name;
    }
    return s.failableCalledText.c_str();
}

VEK_UINT32 zolsim_last_connect_flags(void) {
    Guard g(g_mu);
    return S().ui32LastConnectFlags;
}

VEK_UINT32 zolsim_last_acquire_index(void) {
    Guard g(g_mu);
    return S().ui32LastAcquireIndex;
}

unsigned long zolsim_last_context_device(void) {
    Guard g(g_mu);
    return S().ulLastContextDevice;
}

unsigned zolsim_alloc_records(ZOLSIM_ALLOC_RECORD *psOut, unsigned uiMax) {
    Guard g(g_mu);
    const std::vector<ZOLSIM_ALLOC_RECORD> &a = S().allocs;
    for (unsigned i = 0; psOut != nullptr && i < uiMax && i < a.size(); i++) psOut[i] = a[i];
    return (unsigned)a.size();
}

int zolsim_last_flipchain(ZOLSIM_FLIPCHAIN_RECORD *psOut) {
    Guard g(g_mu);
    if (!S().bHaveFlipChain) return 0;
    if (psOut != nullptr) *psOut = S().flipChain;
    return 1;
}

int zolsim_last_misc_info(ZOLSRV_MISC_INFO *psOut) {
    Guard g(g_mu);
    if (!S().bHaveMiscInfo) return 0;
    if (psOut != nullptr) *psOut = S().miscInfo;
    return 1;
}

const char *zolsim_app_hints_read(void) {
    Guard g(g_mu);
    return S().hintsRead.c_str();
}

unsigned zolsim_stall_reports(void) {
    Guard g(g_mu);
    return S().uiStallReports;
}

unsigned zolsim_cache_ops(void) {
    Guard g(g_mu);
    return S().uiCacheOps;
}

void zolsim_gpu_add_ops(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, VEK_UINT32 ui32Reads, VEK_UINT32 ui32Writes,
                        VEK_UINT32 ui32Reads2) {
    Guard g(g_mu);
    Mem *m = FindMemLocked(psMemInfo);
    if (m == nullptr) return;
    ZOLSRV_SYNC_DATA *d = &m->psHeader->sSync;
    GPU_WRITES_BEGIN();
    __atomic_add_fetch(&d->ui32ReadOpsPending, ui32Reads, __ATOMIC_SEQ_CST);
    __atomic_add_fetch(&d->ui32WriteOpsPending, ui32Writes, __ATOMIC_SEQ_CST);
    __atomic_add_fetch(&d->ui32ReadOps2Pending, ui32Reads2, __ATOMIC_SEQ_CST);
    GPU_WRITES_END();
}

void zolsim_gpu_complete(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    Guard g(g_mu);
    Mem *m = FindMemLocked(psMemInfo);
    if (m != nullptr) CompleteLocked(m);
}

void zolsim_gpu_complete_after(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, unsigned uiMs) {
    CompleteAfter *a = new CompleteAfter{psMemInfo, uiMs};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t t;
    if (pthread_create(&t, &attr, CompleteAfterThread, a) != 0) {
        delete a;
        fprintf(stderr, "zolsim: cannot start the GPU completion thread\n");
        abort();
    }
    pthread_attr_destroy(&attr);
}

void zolsim_gpu_complete_on_next_wait(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    Guard g(g_mu);
    Mem *m = FindMemLocked(psMemInfo);
    if (m != nullptr) S().completeOnNextWait.push_back(m);
}

void zolsim_set_ref_count(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, VEK_UINT32 ui32RefCount) {
    Guard g(g_mu);
    Mem *m = FindMemLocked(psMemInfo);
    if (m != nullptr) m->ui32RefCount = ui32RefCount;
}

void zolsim_set_next_stamp(VEK_UINT64 ui64Stamp) {
    Guard g(g_mu);
    S().bNextStamp = true;
    S().ui64NextStamp = ui64Stamp;
}

void zolsim_share_sync_with_next(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    Guard g(g_mu);
    S().psShareSyncWithNext = FindMemLocked(psMemInfo);
}

VEK_UINT32 zolsim_phys_addr(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo) { return zolsim_internal_phys_addr(psMemInfo); }

ZOLSRV_CLIENT_MEM_INFO *zolsim_meminfo_by_stamp(VEK_UINT64 ui64Stamp) {
    Guard g(g_mu);
    for (Mem *m : S().mems)
        if (m->sInfo.ui64Stamp == ui64Stamp) return &m->sInfo;
    return nullptr;
}

unsigned zolsim_present_records(ZOLSIM_PRESENT_RECORD *psOut, unsigned uiMax) {
    Guard g(g_mu);
    return CopyRecords(S().presents, psOut, uiMax);
}

unsigned zolsim_flip_properties_records(ZOLSIM_FLIP_PROPERTIES_RECORD *psOut, unsigned uiMax) {
    Guard g(g_mu);
    return CopyRecords(S().flipProperties, psOut, uiMax);
}

void zolsim_set_swap_retries(unsigned uiCount) {
    Guard g(g_mu);
    S().uiSwapRetries = uiCount;
}

unsigned zolsim_swap_records(ZOLSIM_SWAP_RECORD *psOut, unsigned uiMax) {
    Guard g(g_mu);
    return CopyRecords(S().swaps, psOut, uiMax);
}

int zolsim_screen_info(unsigned uiDisplay, ZOLSIM_SCREEN_INFO *psOut) {
    if (uiDisplay >= kMax2DDevices || psOut == nullptr) return 0;
    Guard g(g_mu);
    const Screen &sc = S().screens[uiDisplay];
    psOut->ulWidth = sc.ulWidth;
    psOut->ulHeight = sc.ulHeight;
    psOut->lStride = sc.lStride;
    psOut->eFormat = sc.eFormat;
    psOut->uiFrames = sc.uiFrames;
    psOut->ui64Stamp = sc.ui64Stamp;
    return 1;
}

size_t zolsim_screen_pixels(unsigned uiDisplay, void *pvOut, size_t uMax) {
    if (uiDisplay >= kMax2DDevices) return 0;
    Guard g(g_mu);
    const std::vector<unsigned char> &p = S().screens[uiDisplay].pixels;
    if (pvOut != nullptr) memcpy(pvOut, p.data(), uMax < p.size() ? uMax : p.size());
    return p.size();
}

size_t zolsim_screen_rgb(unsigned uiDisplay, unsigned char *pucOut, size_t uMax) {
    if (uiDisplay >= kMax2DDevices) return 0;
    Guard g(g_mu);
    const std::vector<unsigned char> rgb = ScreenRgbLocked(S().screens[uiDisplay]);
    if (pucOut != nullptr) memcpy(pucOut, rgb.data(), uMax < rgb.size() ? uMax : rgb.size());
    return rgb.size();
}

int zolsim_screen_save_png(unsigned uiDisplay, const char *pszPath) {
    if (uiDisplay >= kMax2DDevices || pszPath == nullptr) return -EINVAL;
    std::vector<unsigned char> rgb;
    unsigned long w, h;
    {
        Guard g(g_mu);
        const Screen &sc = S().screens[uiDisplay];
        rgb = ScreenRgbLocked(sc);
        w = sc.ulWidth;
        h = sc.ulHeight;
    }
    return WriteFile(pszPath, zolsim::EncodePng(rgb.data(), (unsigned)w, (unsigned)h));
}

void zolsim_set_screen_capture(const char *pszDir) {
    Guard g(g_mu);
    S().captureDir = pszDir != nullptr ? pszDir : "";
    S().uiCaptured = 0;
}

int zolsim_write_png(const char *pszPath, const unsigned char *pucRGB, unsigned uiWidth, unsigned uiHeight) {
    if (pszPath == nullptr || (pucRGB == nullptr && uiWidth != 0 && uiHeight != 0)) return -EINVAL;
    return WriteFile(pszPath, zolsim::EncodePng(pucRGB, uiWidth, uiHeight));
}

void zolsim_set_gles1_absent(int bAbsent) {
    Guard g(g_mu);
    S().bGLES1Absent = bAbsent != 0;
}

void zolsim_set_gles1_version(VEK_UINT32 ui32Version) {
    Guard g(g_mu);
    S().ui32GLES1Version = ui32Version;
}

void zolsim_set_gles1_table_null(int bNull) {
    Guard g(g_mu);
    S().bGLES1TableNull = bNull != 0;
}

void zolsim_set_gles1_flush_missing(int bMissing) {
    Guard g(g_mu);
    S().bGLES1FlushMissing = bMissing != 0;
}

void zolsim_set_gles1_flush_result(VEK_UINT32 ui32Result) {
    Guard g(g_mu);
    S().ui32GLES1FlushResult = ui32Result;
}

int zolsim_gles1_last_flush(VEK_BOOL *pb1, VEK_BOOL *pb2) {
    Guard g(g_mu);
    if (!S().bGLES1Flushed) return 0;
    if (pb1 != nullptr) *pb1 = S().abGLES1FlushArgs[0];
    if (pb2 != nullptr) *pb2 = S().abGLES1FlushArgs[1];
    return 1;
}

unsigned zolsim_live_allocations(void) {
    Guard g(g_mu);
    return S().uiLiveAllocations;
}

unsigned zolsim_live_mappings(void) {
    Guard g(g_mu);
    return S().uiLiveMappings;
}

unsigned zolsim_live_exported_fds(void) {
    Guard g(g_fd_mu);
    unsigned n = 0;
    for (const ExportedFd &e : *g_exported) n += SameFile(e) ? 1 : 0;
    return n;
}

unsigned zolsim_live_flipchains(void) {
    Guard g(g_mu);
    return S().uiLiveFlipChains;
}

unsigned zolsim_live_contexts(void) {
    Guard g(g_mu);
    return S().uiLiveContexts;
}

unsigned zolsim_live_wrapped(void) {
    Guard g(g_mu);
    return S().uiLiveWrapped;
}

int zolsim_last_blit(ZOLSIM_BLIT_RECORD *psOut) {
    Guard g(g_mu);
    if (!S().bHaveBlit) return 0;
    if (psOut != nullptr) *psOut = S().blit;
    return 1;
}

unsigned zolsim_wrap_records(unsigned long *pulSizes, unsigned uiMax) {
    Guard g(g_mu);
    const std::vector<unsigned long> &w = S().wraps;
    for (unsigned i = 0; pulSizes != nullptr && i < uiMax && i < w.size(); i++) pulSizes[i] = w[i];
    return (unsigned)w.size();
}

unsigned zolsim_live_connections(void) {
    Guard g(g_mu);
    return S().uiLiveConnections;
}

unsigned zolsim_live_mutexes(void) {
    Guard g(g_mu);
    return S().uiLiveMutexes;
}

unsigned zolsim_live_hint_states(void) {
    Guard g(g_mu);
    return S().uiLiveHintStates;
}

unsigned zolsim_live_mem_contexts(void) {
    Guard g(g_mu);
    return (unsigned)S().memContexts.size();
}

const ZOLSIM_LIVE_KIND zolsim_live_kinds[] = {
    {"allocations", zolsim_live_allocations},
    {"mappings", zolsim_live_mappings},
    {"exported descriptors", zolsim_live_exported_fds},
    {"flip chains", zolsim_live_flipchains},
    {"2D contexts", zolsim_live_contexts},
    {"connections", zolsim_live_connections},
    {"mutexes", zolsim_live_mutexes},
    {"app-hint states", zolsim_live_hint_states},
    {"memory contexts", zolsim_live_mem_contexts},
    {"wrapped memories", zolsim_live_wrapped},
};
const unsigned zolsim_live_kind_count = sizeof(zolsim_live_kinds) / sizeof(zolsim_live_kinds[0]);

unsigned zolsim_live_total(char *pszReport, size_t uSize) {
    unsigned uiTotal = 0;
    size_t uLen = 0;
    if (pszReport != nullptr && uSize != 0) pszReport[0] = '\0';
    for (const ZOLSIM_LIVE_KIND &k : zolsim_live_kinds) {
        const unsigned n = k.pfnCount();
        uiTotal += n;
        if (n == 0 || pszReport == nullptr || uLen >= uSize) continue;
        const int iWritten = snprintf(pszReport + uLen, uSize - uLen, "%s%u %s", uLen != 0 ? ", " : "", n, k.pszWhat);
        if (iWritten > 0) uLen += (size_t)iWritten;
    }
    return uiTotal;
}

}  // extern "C"
