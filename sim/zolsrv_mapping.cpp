// Mapping memory another process exported.
#include <sys/mman.h>
#include <sys/stat.h>

#include "zolsrv_state.h"

using namespace zolsim;

extern "C" {

ZOLSRV_ERROR ZOLSRVMapDeviceMemory2(const ZOLSRV_DEV_DATA *psDevData, int iFd, VEK_HANDLE hDstDevMemHeap,
                                    ZOLSRV_CLIENT_MEM_INFO **ppsDstMemInfo) {
    ENTER("ZOLSRVMapDeviceMemory2");
    const char *const kCall = "ZOLSRVMapDeviceMemory2";
    if (ppsDstMemInfo == nullptr) return MISUSE(kCall, "no mem-info to fill");
    {
        ReadGuard g(g_mu);
        if (!DevDataValidLocked(kCall, psDevData) ||
            HeapContextLocked(kCall, hDstDevMemHeap, psDevData->psConnection) == nullptr)
            return ZOLSRV_ERROR_INVALID_PARAMS;
    }
    // A descriptor that is not device memory is refused: it comes from a handle, which the caller
    // cannot check.
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
    m->psConnection = psDevData->psConnection;
    __atomic_add_fetch(&h->ui32RefCount, 1, __ATOMIC_SEQ_CST);
    {
        WriteGuard g(g_mu);
        PublishLocked(m, total - page);
    }
    *ppsDstMemInfo = &m->sInfo;
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVUnmapDeviceMemory(const ZOLSRV_DEV_DATA *psDevData, ZOLSRV_CLIENT_MEM_INFO *psMemInfo) {
    ENTER("ZOLSRVUnmapDeviceMemory");
    {
        ReadGuard g(g_mu);
        if (!DevDataValidLocked("ZOLSRVUnmapDeviceMemory", psDevData)) return ZOLSRV_ERROR_INVALID_PARAMS;
        const Mem *m = UsableMemLocked("ZOLSRVUnmapDeviceMemory", psMemInfo, psDevData->psConnection, true);
        if (m == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
        if (!m->bMapping)
            return MISUSE("ZOLSRVUnmapDeviceMemory", "mem-info %p is an allocation (ZOLSRVFreeDeviceMem releases it)",
                          (const void *)psMemInfo);
        if (__atomic_load_n(&m->uiHwUsers, __ATOMIC_SEQ_CST) != 0)
            return MISUSE("ZOLSRVUnmapDeviceMemory",
                          "mem-info %p is still in use by the hardware (a blit or the display)",
                          (const void *)psMemInfo);
    }
    return FreeMem(psMemInfo, true);
}

unsigned zolsim_live_mappings(void) {
    ReadGuard g(g_mu);
    return S().uiLiveMappings;
}

}  // extern "C"
