// Device memory: allocation, free and export, and the descriptors exported.
#include <fcntl.h>
#include <stddef.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "zolsrv_state.h"

using namespace zolsim;

namespace {

// Stamps come from one counter in memory that every process of the system maps, so that no stamp
// is handed out twice while the system runs, whichever process makes it and whatever its pid (a
// pid is reused; buffers of an earlier process may live on in others).
VEK_UINT64 *SharedStampCounter() {
    static VEK_UINT64 *pui64 = [] {
        char szName[64];
        snprintf(szName, sizeof(szName), "/zolsim-stamps-%u", (unsigned)getuid());
        const int fd = shm_open(szName, O_RDWR | O_CREAT, 0600);
        if (fd < 0) return static_cast<VEK_UINT64 *>(nullptr);
        struct stat st;
        void *pv = MAP_FAILED;
        if (fstat(fd, &st) == 0 && (st.st_size >= (off_t)sizeof(VEK_UINT64) || ftruncate(fd, 4096) == 0))
            pv = mmap(nullptr, sizeof(VEK_UINT64), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        return pv == MAP_FAILED ? nullptr : static_cast<VEK_UINT64 *>(pv);
    }();
    return pui64;
}

VEK_UINT64 NewStamp() {
    VEK_UINT64 *pui64 = SharedStampCounter();
    // The __sync form: on the 32-bit ARM device a 64-bit add goes through the kernel's
    // compare-and-swap helper, which holds across processes (libatomic's locks would not).
    if (pui64 != nullptr) return __sync_add_and_fetch(pui64, (VEK_UINT64)1);
    // Without shared memory: unique in this process, and apart from other processes by the pid.
    static VEK_UINT32 ui32Next;
    return ((VEK_UINT64)(VEK_UINT32)getpid() << 32) | __atomic_add_fetch(&ui32Next, 1, __ATOMIC_RELAXED);
}

}  // namespace

namespace zolsim {

static_assert(offsetof(Mem, sInfo) == 0, "the mem-info pointer is the record pointer");

Mem *FindMemLocked(const ZOLSRV_CLIENT_MEM_INFO *p) {
    const auto it = S().memsByInfo.find(p);
    return it != S().memsByInfo.end() ? it->second : nullptr;
}

bool MemLiveLocked(const Mem *m) { return S().memsByInfo.count(m) != 0; }

namespace {

// The first address from a on where uLen bytes overlap no live range, below kDevVAddrLimit; 0
// when there is none. Live ranges never overlap one another, so the one starting last before the
// end of the candidate range reaches furthest: the candidate moves past it until nothing is in
// the way. Each step passes a live range, and the cursor passes each range once per round.
VEK_UINT64 FreeDevVAddrFromLocked(VEK_UINT64 a, size_t uLen) {
    const std::multimap<VEK_UINT32, Mem *> &byAddr = S().memsByDevAddr;
    for (;;) {
        if (a + uLen >= kDevVAddrLimit) return 0;
        auto it = byAddr.lower_bound((VEK_UINT32)(a + uLen));
        if (it == byAddr.begin()) return a;
        --it;
        if (it->second->ui32DevAddrEnd <= a) return a;
        a = it->second->ui32DevAddrEnd;
    }
}

}  // namespace

// Device addresses: pages for the data, one more for the three sync-object addresses. Once the
// range wraps round, an address is handed out again only where nothing live holds it: two live
// allocations at one address would share their sync-object addresses.
VEK_UINT32 TakeDevVAddrLocked(size_t uLen) {
    State &s = S();
    VEK_UINT64 a = FreeDevVAddrFromLocked(s.ui32NextDevVAddr, uLen);
    if (a == 0) a = FreeDevVAddrFromLocked(kDevVAddrFirst, uLen);
    // Every address held: the range is handed out from its start again regardless.
    if (a == 0) a = kDevVAddrFirst;
    s.ui32NextDevVAddr = (VEK_UINT32)(a + uLen);
    return (VEK_UINT32)a;
}

// Fills the process-local records of a mapped allocation and makes it live.
void PublishLocked(Mem *m, size_t uDataLen) {
    const size_t uDevLen = uDataLen + PageSize();
    VEK_UINT32 dev = TakeDevVAddrLocked(uDevLen);
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
    State &s = S();
    m->ui32DevAddrEnd = dev + (VEK_UINT32)uDevLen;
    m->itLive = s.mems.insert(s.mems.end(), m);
    m->itByDevAddr = s.memsByDevAddr.emplace(dev, m);
    s.memsByInfo.emplace(&m->sInfo, m);
    if (!m->bMapping && m->ino != 0) s.allocsByIno[m->ino] = m;
    if (m->bMapping)
        S().uiLiveMappings++;
    else
        S().uiLiveAllocations++;
}

ZOLSRV_ERROR AllocMem(VEK_SIZE_T uSize, VEK_UINT32 ui32Attribs, VEK_UINT32 ui32Phys,
                      const ZOLSRV_CONNECTION *psConnection, ZOLSRV_CLIENT_MEM_INFO **pp) {
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
    {
        struct stat st;
        m->ino = fstat(m->iFd, &st) == 0 ? st.st_ino : 0;
    }
    m->uMapLen = total;
    m->psHeader = reinterpret_cast<MemHeader *>(static_cast<char *>(m->pvBase) + dataLen);
    m->psHeader->ui32Magic = kMemMagic;
    m->psHeader->ui32Attribs = ui32Attribs;
    m->psHeader->ui64Size = uSize;
    m->psHeader->ui32RefCount = 1;
    m->ui32PhysAddr = ui32Phys;
    m->psConnection = psConnection;
    m->bDisplayClass = psConnection == nullptr;
    // A real heap hands out memory that held other buffers: whoever needs zeroes writes them.
    memset(m->pvBase, kStaleByte, dataLen);
    {
        WriteGuard g(g_mu);
        State &s = S();
        if (s.bNextStamp) {
            m->psHeader->ui64Stamp = s.ui64NextStamp;
            s.bNextStamp = false;
        } else {
            m->psHeader->ui64Stamp = NewStamp();
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

}  // namespace zolsim

namespace {

// Takes the record out of the live list; the caller then releases it outside the lock.
Mem *UnpublishLocked(const ZOLSRV_CLIENT_MEM_INFO *p, bool bMapping) {
    Mem *m = FindMemLocked(p);
    if (m == nullptr || m->bMapping != bMapping) return nullptr;
    State &s = S();
    s.mems.erase(m->itLive);
    s.memsByDevAddr.erase(m->itByDevAddr);
    s.memsByInfo.erase(&m->sInfo);
    if (!bMapping && m->ino != 0) {
        const auto it = s.allocsByIno.find(m->ino);
        if (it != s.allocsByIno.end() && it->second == m) s.allocsByIno.erase(it);
    }
    Erase(S().completeOnNextWait, m);
    __atomic_store_n(&S().uiCompleteOnNextWait, (unsigned)S().completeOnNextWait.size(), __ATOMIC_RELAXED);
    if (S().psShareSyncWithNext == m) S().psShareSyncWithNext = nullptr;
    if (bMapping)
        S().uiLiveMappings--;
    else
        S().uiLiveAllocations--;
    return m;
}

}  // namespace

namespace zolsim {

void ReleaseMem(Mem *m) {
    if (m->bMapping) __atomic_sub_fetch(&m->psHeader->ui32RefCount, 1, __ATOMIC_SEQ_CST);
    munmap(m->pvBase, m->uMapLen);
    if (m->iFd >= 0) close(m->iFd);
    delete m;
}

ZOLSRV_ERROR FreeMem(ZOLSRV_CLIENT_MEM_INFO *p, bool bMapping) {
    Mem *m;
    {
        WriteGuard g(g_mu);
        m = UnpublishLocked(p, bMapping);
    }
    if (m == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    ReleaseMem(m);
    return ZOLSRV_OK;
}

std::vector<Mem *> EndMemOfConnectionLocked(const ZOLSRV_CONNECTION *psConnection) {
    std::vector<Mem *> owned, released;
    for (Mem *m : S().mems)
        if (m->psConnection == psConnection) owned.push_back(m);
    for (Mem *m : owned) {
        // The display shows it no more; a blit queued on it still runs, and the memory goes after.
        StopScanOutOfMemLocked(m);
        UnpublishLocked(&m->sInfo, m->bMapping);
        {
            RecordGuard r;
            (m->bMapping ? S().leftovers.uiMappings : S().leftovers.uiAllocations)++;
        }
        if (__atomic_load_n(&m->uiHwUsers, __ATOMIC_SEQ_CST) != 0) {
            m->bEnded = true;
            S().ended.push_back(m);
        } else {
            released.push_back(m);
        }
    }
    return released;
}

Mem *UsableMemLocked(const char *pszCall, const ZOLSRV_CLIENT_MEM_INFO *p, const ZOLSRV_CONNECTION *psConnection,
                     bool bDisplayClassToo) {
    Mem *m = FindMemLocked(p);
    if (m == nullptr) {
        zolsim_internal_misuse(pszCall, "mem-info %p was never allocated or mapped, or is already released",
                               (const void *)p);
        return nullptr;
    }
    if (m->psConnection != psConnection && !(bDisplayClassToo && m->bDisplayClass)) {
        zolsim_internal_misuse(pszCall, "mem-info %p belongs to %s %p, not to connection %p", (const void *)p,
                               m->psConnection != nullptr ? "connection" : "the 2D library's flip chain of",
                               m->psConnection != nullptr ? (const void *)m->psConnection : (const void *)m,
                               (const void *)psConnection);
        return nullptr;
    }
    return m;
}

}  // namespace zolsim

namespace {

// Exported descriptors: each is live while its number still names the same file.
pthread_mutex_t g_fd_mu = PTHREAD_MUTEX_INITIALIZER;
struct ExportedFd {
    int iFd;
    dev_t dev;
    ino_t ino;
};
// By descriptor number: a close looks its number up without a search.
std::unordered_map<int, ExportedFd> *g_exported = new std::unordered_map<int, ExportedFd>;
unsigned g_exportedCount;  // entries in g_exported, read without the lock by close()

bool SameFile(const ExportedFd &e) {
    struct stat st;
    return fstat(e.iFd, &st) == 0 && st.st_dev == e.dev && st.st_ino == e.ino;
}

}  // namespace

extern "C" {

ZOLSRV_ERROR zolsim_internal_alloc(VEK_SIZE_T uSize, VEK_UINT32 ui32Attribs, VEK_UINT32 ui32PhysAddr,
                                   ZOLSRV_CLIENT_MEM_INFO **ppsMemInfo) {
    return AllocMem(uSize, ui32Attribs, ui32PhysAddr, nullptr, ppsMemInfo);
}

// The 2D library gives its own buffers back: the display stops showing them.
ZOLSRV_ERROR zolsim_internal_free(ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    {
        WriteGuard g(g_mu);
        Mem *m = FindMemLocked(psMemInfo);
        if (m != nullptr) StopScanOutOfMemLocked(m);
    }
    return FreeMem(psMemInfo, false);
}

VEK_UINT32 zolsim_internal_phys_addr(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    ReadGuard g(g_mu);
    Mem *m = FindMemLocked(psMemInfo);
    return m != nullptr ? m->ui32PhysAddr : 0;
}

VEK_UINT32 zolsim_internal_reserve_dev_vaddr(VEK_SIZE_T uLen) {
    WriteGuard g(g_mu);
    return TakeDevVAddrLocked(RoundUp(uLen, PageSize()));
}

void *zolsim_internal_cpu_address(VEK_UINT32 ui32DevAddr, VEK_SIZE_T *puRoom, ZOLSRV_CLIENT_MEM_INFO **ppsMemInfo) {
    ReadGuard g(g_mu);
    // Live ranges do not overlap: only the one starting last at or before the address can hold it.
    auto it = S().memsByDevAddr.upper_bound(ui32DevAddr);
    if (it == S().memsByDevAddr.begin()) return nullptr;
    Mem *m = (--it)->second;
    const VEK_UINT32 base = m->sInfo.sDevVAddr.uiAddr;
    if (ui32DevAddr - base >= m->sInfo.uAllocSize) return nullptr;
    if (puRoom != nullptr) *puRoom = m->sInfo.uAllocSize - (ui32DevAddr - base);
    if (ppsMemInfo != nullptr) *ppsMemInfo = &m->sInfo;
    return static_cast<char *>(m->pvBase) + (ui32DevAddr - base);
}

int zolsim_internal_mem_info(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, ZOLSRV_CLIENT_MEM_INFO *psCopy) {
    ReadGuard g(g_mu);
    const Mem *m = FindMemLocked(psMemInfo);
    if (m == nullptr) return 0;
    *psCopy = m->sInfo;
    return 1;
}

VEK_UINT64 zolsim_internal_stamp_of(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    ReadGuard g(g_mu);
    Mem *m = FindMemLocked(psMemInfo);
    return m != nullptr ? m->sInfo.ui64Stamp : 0;
}

void zolsim_internal_fd_closed(int iFd) {
    if (__atomic_load_n(&g_exportedCount, __ATOMIC_RELAXED) == 0) return;
    ino_t ino = 0;
    {
        Guard g(g_fd_mu);
        const auto it = g_exported->find(iFd);
        if (it != g_exported->end()) {
            ino = it->second.ino;
            g_exported->erase(it);
        }
        __atomic_store_n(&g_exportedCount, (unsigned)g_exported->size(), __ATOMIC_RELAXED);
    }
    if (ino == 0) return;
    // The export's reference goes with its descriptor (while the allocation lives).
    ReadGuard g(g_mu);
    const auto it = S().allocsByIno.find(ino);
    if (it != S().allocsByIno.end()) __atomic_sub_fetch(&it->second->psHeader->ui32RefCount, 1, __ATOMIC_SEQ_CST);
}

ZOLSRV_ERROR ZOLSRVAllocDeviceMem2(const ZOLSRV_DEV_DATA *psDevData, VEK_HANDLE hDevMemHeap, VEK_UINT32 ui32Attribs,
                                   VEK_SIZE_T uSize, VEK_SIZE_T uAlignment, VEK_VOID *pvPrivData,
                                   VEK_UINT32 ui32PrivDataLength, ZOLSRV_CLIENT_MEM_INFO **ppsMemInfo) {
    ENTER("ZOLSRVAllocDeviceMem2");
    {
        RecordGuard g;
        S().allocs.push_back(ZOLSIM_ALLOC_RECORD{hDevMemHeap, ui32Attribs, uSize, uAlignment, ui32PrivDataLength});
    }
    const char *const kCall = "ZOLSRVAllocDeviceMem2";
    if (ppsMemInfo == nullptr) return MISUSE(kCall, "no mem-info to fill");
    if ((pvPrivData == nullptr) != (ui32PrivDataLength == 0))
        return MISUSE(kCall, "private data %p of %u bytes", pvPrivData, ui32PrivDataLength);
    {
        ReadGuard g(g_mu);
        if (!DevDataValidLocked(kCall, psDevData) ||
            HeapContextLocked(kCall, hDevMemHeap, psDevData->psConnection) == nullptr)
            return ZOLSRV_ERROR_INVALID_PARAMS;
    }
    return AllocMem(uSize, ui32Attribs, 0, psDevData->psConnection, ppsMemInfo);
}

ZOLSRV_ERROR ZOLSRVFreeDeviceMem(const ZOLSRV_DEV_DATA *psDevData, ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    ENTER("ZOLSRVFreeDeviceMem");
    const char *const kCall = "ZOLSRVFreeDeviceMem";
    {
        ReadGuard g(g_mu);
        if (!DevDataValidLocked(kCall, psDevData)) return ZOLSRV_ERROR_INVALID_PARAMS;
        const Mem *m = UsableMemLocked(kCall, psMemInfo, psDevData->psConnection, true);
        if (m == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
        if (m->bMapping)
            return MISUSE(kCall, "mem-info %p is a mapping (ZOLSRVUnmapDeviceMemory releases it)",
                          (const void *)psMemInfo);
        if (m->bDisplayClass)
            return MISUSE(kCall, "mem-info %p is a flip-chain buffer of the 2D library", (const void *)psMemInfo);
        if (__atomic_load_n(&m->uiHwUsers, __ATOMIC_SEQ_CST) != 0)
            return MISUSE(kCall, "mem-info %p is still in use by the hardware (a blit or the display)",
                          (const void *)psMemInfo);
    }
    return FreeMem(psMemInfo, false);
}

// An allocation of the caller's connection, or a flip-chain buffer of the 2D library (which the
// graphics HAL exports to lend the display's memory), goes out as a descriptor.
ZOLSRV_ERROR ZOLSRVExportDeviceMem2(const ZOLSRV_DEV_DATA *psDevData, ZOLSRV_CLIENT_MEM_INFO *psMemInfo, int *piFd) {
    ENTER("ZOLSRVExportDeviceMem2");
    const char *const kCall = "ZOLSRVExportDeviceMem2";
    if (piFd == nullptr) return MISUSE(kCall, "no descriptor to fill");
    int fd;
    {
        ReadGuard g(g_mu);
        if (!DevDataValidLocked(kCall, psDevData)) return ZOLSRV_ERROR_INVALID_PARAMS;
        Mem *m = UsableMemLocked(kCall, psMemInfo, psDevData->psConnection, true);
        if (m == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
        if (m->bMapping)
            return MISUSE(kCall, "mem-info %p is a mapping, not an allocation of this process",
                          (const void *)psMemInfo);
        fd = fcntl(m->iFd, F_DUPFD, 0);  // without close-on-exec: it is meant to be sent on
        // An exported descriptor holds a reference of its own, until it is closed.
        if (fd >= 0) __atomic_add_fetch(&m->psHeader->ui32RefCount, 1, __ATOMIC_SEQ_CST);
    }
    if (fd < 0) return ZOLSRV_ERROR_OUT_OF_MEMORY;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return ZOLSRV_ERROR_GENERIC;
    }
    {
        Guard g(g_fd_mu);
        // A stale entry with this number was closed behind our back (dup2, close_range...): the
        // new export takes its place.
        (*g_exported)[fd] = ExportedFd{fd, st.st_dev, st.st_ino};
        __atomic_store_n(&g_exportedCount, (unsigned)g_exported->size(), __ATOMIC_RELAXED);
    }
    *piFd = fd;
    return ZOLSRV_OK;
}

unsigned zolsim_alloc_records(ZOLSIM_ALLOC_RECORD *psOut, unsigned uiMax) {
    RecordGuard g;
    return CopyRecords(S().allocs, psOut, uiMax);
}

void zolsim_set_next_stamp(VEK_UINT64 ui64Stamp) {
    WriteGuard g(g_mu);
    S().bNextStamp = true;
    S().ui64NextStamp = ui64Stamp;
}

void zolsim_share_sync_with_next(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    WriteGuard g(g_mu);
    S().psShareSyncWithNext = FindMemLocked(psMemInfo);
}

VEK_UINT32 zolsim_phys_addr(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo) { return zolsim_internal_phys_addr(psMemInfo); }

ZOLSRV_CLIENT_MEM_INFO *zolsim_meminfo_by_stamp(VEK_UINT64 ui64Stamp) {
    ReadGuard g(g_mu);
    for (Mem *m : S().mems)
        if (m->sInfo.ui64Stamp == ui64Stamp) return &m->sInfo;
    return nullptr;
}

unsigned zolsim_live_allocations(void) {
    ReadGuard g(g_mu);
    return S().uiLiveAllocations;
}

unsigned zolsim_live_exported_fds(void) {
    Guard g(g_fd_mu);
    unsigned n = 0;
    for (const auto &e : *g_exported) n += SameFile(e.second) ? 1 : 0;
    return n;
}

}  // extern "C"
