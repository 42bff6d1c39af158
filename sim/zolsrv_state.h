// The state the services library of the simulated device shares between its parts: its live
// objects, its configuration and its records, under one lock for the tables it keeps.
#ifndef ZOLSRV_STATE_H
#define ZOLSRV_STATE_H

#include <errno.h>
#include <pthread.h>
#include <sys/types.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <list>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "tsan_hide.h"
#include "zolsim_internal.h"

namespace zolsim {

constexpr VEK_UINT32 kMemMagic = 0x5a4f4c4d;  // "ZOLM"
constexpr unsigned kMax2DDevices = 16;
constexpr VEK_UINT32 kDevVAddrFirst = 0x10000000;
constexpr VEK_UINT32 kDevVAddrLimit = 0xf0000000;

// The trailing page of every allocation: what another process needs to map it.
struct MemHeader {
    VEK_UINT32 ui32Magic;
    VEK_UINT32 ui32Attribs;
    VEK_UINT64 ui64Stamp;
    VEK_UINT64 ui64Size;
    ZOLSRV_SYNC_DATA sSync;
    // Mem-infos of the allocation in every process: the allocation's own and each mapping.
    VEK_UINT32 ui32RefCount;
    // Of the pending operations, those of the hardware (the 2D engine, the display) in any process,
    // by class (reads, writes, second reads): the hardware completes them itself, the test's GPU
    // never does.
    VEK_UINT32 aui32HwOps[3];
};

// What new device memory holds: memory that held other buffers, never zeroes.
constexpr unsigned char kStaleByte = 0xa5;
constexpr VEK_UINT32 kMutexMagic = 0x5a4f4c58;  // "ZOLX"

struct Mem {
    ZOLSRV_CLIENT_MEM_INFO sInfo;  // first: the mem-info pointer is the record pointer
    ZOLSRV_CLIENT_SYNC_INFO sSync;
    int iFd;  // the memfd of an allocation; -1 for a mapping, whose descriptor is the caller's
    void *pvBase;
    size_t uMapLen;
    MemHeader *psHeader;
    bool bMapping;
    ino_t ino;           // the memfd's inode, for an allocation
    bool bDisplayClass;  // a flip-chain buffer: the 2D library's, not to be freed through the services
    // The connection the allocation or mapping was made through, which alone may free, unmap or
    // export it, and whose disconnect ends it; NULL for the 2D library's own (flip-chain) memory.
    const ZOLSRV_CONNECTION *psConnection;
    unsigned uiClassesOnNextWait;  // classes to complete at the next event wait
    bool bRefCountSet;             // a test fixed the reference count that misc information reports
    VEK_UINT32 ui32RefCount;
    VEK_UINT32 ui32PhysAddr;
    // The simulated GPU works on one buffer at a time, as the device's does: its updates of this
    // buffer's counters are serialised here, not by the tables' lock.
    pthread_mutex_t gpuMu = PTHREAD_MUTEX_INITIALIZER;
    // Hardware access to the pixels (a blit, a scan-out copy), one at a time; and the uses of the
    // hardware that hold the memory (queued blits, scan-out), during which it is not released.
    pthread_mutex_t hwMu = PTHREAD_MUTEX_INITIALIZER;
    unsigned uiHwUsers;
    bool bEnded;  // a disconnect ended it while the hardware used it: released at the last use
    // The device-address range the record holds (its data pages and its sync page), and where
    // the live tables keep it, so that it leaves them without a search.
    VEK_UINT32 ui32DevAddrEnd;
    std::list<Mem *>::iterator itLive;
    std::multimap<VEK_UINT32, Mem *>::iterator itByDevAddr;
};

}  // namespace zolsim

struct ZOLSRV_CONNECTION_TAG {
    VEK_UINT32 ui32Flags;
    bool bCounted;
    char event;                      // its address is the connection's global event handle
    VEK_UINT32 ui32AcquiredDevices;  // bit i: device index i acquired on the connection
};

struct ZOLSRV_MUTEX_TAG {
    // Checked without a lock at every call: a handle the library never made (or destroyed) lacks it.
    VEK_UINT32 ui32Magic;
    pthread_mutex_t mutex;
    unsigned long ulOwner;  // the holding thread's id, 0 when free; read by other threads
};

namespace zolsim {

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
    // What the display scans out, and through which swap chain: read until the next present.
    VEK_HANDLE hScanChain = nullptr;
    std::vector<Mem *> scanned;
};

// A device memory context: its handle is the record, each heap's handle the address of its slot.
struct MemContext {
    const ZOLSRV_CONNECTION *psConnection;
    unsigned uiHeaps;  // the slots listed to the caller
    char acHeaps[ZOLSRV_MAX_CLIENT_HEAPS];
};

// What the disconnects since the last reset ended in place of their callers.
struct Leftovers {
    unsigned uiMemContexts = 0, uiAllocations = 0, uiMappings = 0;
};

void EndScanOutLocked(Screen &sc);

struct HintState {
    VEK_UINT32 ui32Module;
};

// The latest calls of one kind, for tests to read back, oldest first. A fixed number is kept, in
// memory taken once: a process that calls the device for hours holds no more for them than at its
// start, as with the device's own libraries, so that a leak check of a long run measures the
// module's memory alone.
template <typename T>
class CallLog {
public:
    static constexpr size_t kKept = 1024;
    CallLog() { v.reserve(kKept); }
    void push_back(const T &t) {
        if (v.size() < kKept)
            v.push_back(t);
        else
            v[uNext] = t;
        uNext = (uNext + 1) % kKept;
    }
    void clear() {
        v.clear();
        uNext = 0;
    }
    size_t size() const { return v.size(); }
    const T &operator[](size_t i) const { return v.size() < kKept ? v[i] : v[(uNext + i) % kKept]; }

private:
    std::vector<T> v;
    size_t uNext = 0;  // where the next call goes: once the log is full, the oldest call kept
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
    // records
    std::string failableCalledText;
    VEK_UINT32 ui32LastConnectFlags;
    VEK_UINT32 ui32LastAcquireIndex;
    unsigned long ulLastContextDevice;
    CallLog<ZOLSIM_ALLOC_RECORD> allocs;
    bool bHaveFlipChain;
    ZOLSIM_FLIPCHAIN_RECORD flipChain;
    bool bHaveMiscInfo;
    ZOLSRV_MISC_INFO miscInfo;
    CallLog<unsigned long> wraps;
    bool bHaveBlit;
    ZOLSIM_BLIT_RECORD blit;
    std::string hintsRead;
    unsigned uiStallReports;
    CallLog<ZOLSIM_CLIENT_EVENT_RECORD> clientEvents;
    unsigned uiCacheOps;
    Leftovers leftovers;
    std::vector<Mem *> completeOnNextWait;
    unsigned uiCompleteOnNextWait = 0;  // its size, read without the lock
    bool bNextStamp;
    VEK_UINT64 ui64NextStamp;
    Mem *psShareSyncWithNext;
    // the display
    CallLog<ZOLSIM_PRESENT_RECORD> presents;
    CallLog<ZOLSIM_FLIP_PROPERTIES_RECORD> flipProperties;
    CallLog<ZOLSIM_SWAP_RECORD> swaps;
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
    std::list<Mem *> mems;  // allocations and mappings, oldest first
    // The same records by mem-info pointer (the record's own address), by the start of the
    // device-address range they hold, and (allocations only) by the inode of their memory.
    std::unordered_map<const void *, Mem *> memsByInfo;
    std::multimap<VEK_UINT32, Mem *> memsByDevAddr;
    std::unordered_map<ino_t, Mem *> allocsByIno;
    std::vector<Mem *> ended;  // memory a disconnect ended while the hardware used it
    std::vector<ZOLSRV_CONNECTION *> connections;
    std::vector<MemContext *> memContexts;
    std::vector<DCChain> dcChains;
    std::vector<ZOLSRV_MUTEX_HANDLE> mutexes;
    std::vector<HintState *> hintStates;
    unsigned uiLiveAllocations = 0, uiLiveMappings = 0, uiLiveConnections = 0, uiLiveMutexes = 0, uiLiveHintStates = 0,
             uiLiveContexts = 0, uiLiveFlipChains = 0, uiLiveWrapped = 0;
    VEK_UINT32 ui32NextDevVAddr = kDevVAddrFirst;

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
        clientEvents.clear();
        uiCacheOps = 0;
        leftovers = Leftovers{};
        completeOnNextWait.clear();
        uiCompleteOnNextWait = 0;
        bNextStamp = false;
        ui64NextStamp = 0;
        psShareSyncWithNext = nullptr;
        presents.clear();
        flipProperties.clear();
        swaps.clear();
        uiSwapRetries = 0;
        for (Screen &sc : screens) {
            EndScanOutLocked(sc);
            sc = Screen{};
        }
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
};

// The library's own tables (live objects and configuration): looked up under the read lock, so
// that threads of the module which only look things up are not ordered by the library.
extern pthread_rwlock_t g_mu;
// The records of the calls, kept for tests (see RecordGuard).
extern pthread_mutex_t g_recordMu;

// Never destroyed: a background completion may still run while the process exits.
State &S();

class Guard {
public:
    explicit Guard(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
    ~Guard() { pthread_mutex_unlock(&m_); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;

private:
    pthread_mutex_t &m_;
};

class ReadGuard {
public:
    explicit ReadGuard(pthread_rwlock_t &l) : l_(l) { pthread_rwlock_rdlock(&l_); }
    ~ReadGuard() { pthread_rwlock_unlock(&l_); }
    ReadGuard(const ReadGuard &) = delete;
    ReadGuard &operator=(const ReadGuard &) = delete;

private:
    pthread_rwlock_t &l_;
};

class WriteGuard {
public:
    explicit WriteGuard(pthread_rwlock_t &l) : l_(l) { pthread_rwlock_wrlock(&l_); }
    ~WriteGuard() { pthread_rwlock_unlock(&l_); }
    WriteGuard(const WriteGuard &) = delete;
    WriteGuard &operator=(const WriteGuard &) = delete;

private:
    pthread_rwlock_t &l_;
};

// A record of a call is instrumentation, not part of the device: its lock is hidden from the race
// detector, together with the record's own reads and writes, so that two module threads recording
// calls are not ordered by it (a real library keeps no such record).
class RecordGuard : public HiddenGuard {
public:
    RecordGuard() : HiddenGuard(g_recordMu) {}
};

// One cookie per device index, stable for the process's life; a connection holds the ones it
// acquired.
extern char g_devCookies[ZOLSRV_MAX_DEVICES];

// Asked of the system once: an allocation takes it several times, under the tables' lock.
inline size_t PageSize() {
    static const size_t uPage = (size_t)sysconf(_SC_PAGESIZE);
    return uPage;
}

inline size_t RoundUp(size_t v, size_t a) { return (v + a - 1) / a * a; }

template <typename T>
bool Contains(const std::vector<T> &v, T x) {
    for (const T &e : v)
        if (e == x) return true;
    return false;
}

template <typename Records, typename T>
unsigned CopyRecords(const Records &v, T *psOut, unsigned uiMax) {
    for (unsigned i = 0; psOut != nullptr && i < uiMax && i < v.size(); i++) psOut[i] = v[i];
    return (unsigned)v.size();
}

inline void SleepUs(long us) {
    struct timespec ts = {us / 1000000, (us % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Memory and export.
Mem *FindMemLocked(const ZOLSRV_CLIENT_MEM_INFO *p);
// Whether the record is still live (a record pointer kept from an earlier look-up).
bool MemLiveLocked(const Mem *m);
VEK_UINT32 TakeDevVAddrLocked(size_t uLen);
void PublishLocked(Mem *m, size_t uDataLen);
ZOLSRV_ERROR AllocMem(VEK_SIZE_T uSize, VEK_UINT32 ui32Attribs, VEK_UINT32 ui32Phys,
                      const ZOLSRV_CONNECTION *psConnection, ZOLSRV_CLIENT_MEM_INFO **pp);
ZOLSRV_ERROR FreeMem(ZOLSRV_CLIENT_MEM_INFO *p, bool bMapping);
// Takes the memory made through the connection out of the live tables, counting it in the
// leftovers; the caller releases the records (ReleaseMem) outside the lock.
std::vector<Mem *> EndMemOfConnectionLocked(const ZOLSRV_CONNECTION *psConnection);
void ReleaseMem(Mem *m);
// The services memory the call may use through psConnection: live, and made through that
// connection, or (bDisplayClassToo) the 2D library's own. NULL after a misuse recorded for pszCall.
Mem *UsableMemLocked(const char *pszCall, const ZOLSRV_CLIENT_MEM_INFO *p, const ZOLSRV_CONNECTION *psConnection,
                     bool bDisplayClassToo);

// Connections.
bool ConnectionLiveLocked(const ZOLSRV_CONNECTION *c);
// Device data as ZOLSRVAcquireDeviceData filled it, on a live connection; records a misuse of
// pszCall otherwise.
bool DevDataValidLocked(const char *pszCall, const ZOLSRV_DEV_DATA *psDevData);
// The heap's memory context, when the heap is one it listed, the context is live and was made on
// the connection; NULL after a misuse recorded for pszCall.
MemContext *HeapContextLocked(const char *pszCall, VEK_HANDLE hHeap, const ZOLSRV_CONNECTION *psConnection);

// Records a misuse of the call (zolsim_internal_misuse) and answers the services' error for it.
#define MISUSE(call, ...) (zolsim_internal_misuse(call, __VA_ARGS__), ZOLSRV_ERROR_INVALID_PARAMS)

// The GPU and the events it signals.
extern VEK_UINT32 g_eventGeneration;  // bumped by every completion in this process
extern VEK_UINT32 g_eventWaiters;     // threads inside ZOLSRVEventObjectWait
// Completes the pending operations of the classes (ZOLSIM_GPU_READS, ...) of the buffer.
void CompleteLocked(Mem *m, unsigned uiClasses = ZOLSIM_GPU_ALL);
struct Snapshot {
    Mem *m;
    VEK_UINT32 r, w, r2;
};
Snapshot Snap(Mem *m);

// The hardware's use of memory (see zolsim_internal_hw_use_begin), under the tables' lock (read
// or write). The end answers true for ended memory whose last use it was: the caller releases it,
// out of the tables' lock (ReleaseEnded).
void HwUseBeginLocked(Mem *m, unsigned uiClasses);
bool HwUseEndLocked(Mem *m, unsigned uiClasses);
void ReleaseEnded(Mem *m);

// Screens. A show scans out the memory given (none for a blit's copy), under the tables' read lock;
// what the screen scanned out before is read no more.
struct ShowCapture {
    std::string path;
    std::vector<unsigned char> rgb;
    unsigned long ulWidth = 0, ulHeight = 0;
};
void ScreenShowLocked(unsigned uiDisplay, VEK_HANDLE hScanChain, const std::vector<Mem *> &scanned,
                      pthread_mutex_t *psHwMutex, const void *pvPixels, size_t uSize, VEK_UINT64 ui64Stamp,
                      ShowCapture *psCapture);
// Writes a capture that a show made, if any.
void SaveCapture(const ShowCapture &sCapture);
// The display stops scanning out: through a swap chain that goes, or memory that goes (under the
// write lock); EndScanOutLocked ends a screen's reads (under the write lock or the screen's).
void StopScanOutOfChainLocked(VEK_HANDLE hScanChain);
void StopScanOutOfMemLocked(Mem *m);
void EndScanOutLocked(Screen &sc);
int WriteFile(const std::string &path, const std::vector<unsigned char> &data);

}  // namespace zolsim

#define ENTER(name) ZOLSIM_ENTER(name, ZOLSRV_ERROR)

#endif
