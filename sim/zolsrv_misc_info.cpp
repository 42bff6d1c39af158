// The misc-information requests.
#include "zolsrv_state.h"

using namespace zolsim;

extern "C" {

// The cache operation of a request: a clean or a flush, of the whole cache (no mem-info, no range)
// or of a range inside a mem-info that the connection may use.
static bool CacheOpValidLocked(const ZOLSRV_MISC_INFO *psMiscInfo, const ZOLSRV_CONNECTION *psConnection) {
    const char *const kCall = "ZOLSRVGetMiscInfo";
    const auto &op = psMiscInfo->sCacheOpCtl;
    if (op.eCacheOpType != ZOLSRV_MISC_INFO_CPUCACHEOP_CLEAN && op.eCacheOpType != ZOLSRV_MISC_INFO_CPUCACHEOP_FLUSH) {
        zolsim_internal_misuse(kCall, "cache operation %d is neither a clean nor a flush", (int)op.eCacheOpType);
        return false;
    }
    if (op.psClientMemInfo == nullptr) {
        if (op.pvBaseVAddr == nullptr && op.ui32Length == 0) return true;
        zolsim_internal_misuse(kCall, "a cache range (%p, %u bytes) without its mem-info", op.pvBaseVAddr,
                               op.ui32Length);
        return false;
    }
    const Mem *m = UsableMemLocked(kCall, op.psClientMemInfo, psConnection, true);
    if (m == nullptr) return false;
    const char *pcBase = static_cast<const char *>(op.pvBaseVAddr), *pcMem = static_cast<const char *>(m->pvBase);
    if (pcBase < pcMem || (size_t)(pcBase - pcMem) + op.ui32Length > m->sInfo.uAllocSize) {
        zolsim_internal_misuse(kCall, "cache range %p of %u bytes lies outside mem-info %p", op.pvBaseVAddr,
                               op.ui32Length, (const void *)op.psClientMemInfo);
        return false;
    }
    return true;
}

ZOLSRV_ERROR ZOLSRVGetMiscInfo(const ZOLSRV_CONNECTION *psConnection, ZOLSRV_MISC_INFO *psMiscInfo) {
    ENTER("ZOLSRVGetMiscInfo");
    if (psMiscInfo == nullptr) return MISUSE("ZOLSRVGetMiscInfo", "no misc information to fill");
    State &s = S();
    {
        RecordGuard r;
        s.miscInfo = *psMiscInfo;
        s.bHaveMiscInfo = true;
    }
    ReadGuard g(g_mu);
    if (!ConnectionLiveLocked(psConnection))
        return MISUSE("ZOLSRVGetMiscInfo", "connection %p is not open", (const void *)psConnection);
    const VEK_UINT32 req = psMiscInfo->ui32StateRequest;
    VEK_UINT32 present = 0;
    if (req & ZOLSRV_MISC_INFO_GET_REF_COUNT_PRESENT) {
        // The graphics HAL asks for the count of the display's buffers it lends, which are the 2D
        // library's, as well as of its own memory.
        Mem *m =
            UsableMemLocked("ZOLSRVGetMiscInfo", psMiscInfo->sGetRefCountCtl.u.psClientMemInfo, psConnection, true);
        if (m == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
        // The references of every process: the allocation and each mapping of it.
        psMiscInfo->sGetRefCountCtl.ui32RefCount =
            m->bRefCountSet ? m->ui32RefCount : __atomic_load_n(&m->psHeader->ui32RefCount, __ATOMIC_SEQ_CST);
        present |= ZOLSRV_MISC_INFO_GET_REF_COUNT_PRESENT;
    }
    if (req & ZOLSRV_MISC_INFO_GLOBALEVENTOBJECT_PRESENT) {
        psMiscInfo->hOSGlobalEvent = zolsim_internal_connection_event(psConnection);
        present |= ZOLSRV_MISC_INFO_GLOBALEVENTOBJECT_PRESENT;
    }
    if (req & ZOLSRV_MISC_INFO_CPUCACHEOP_PRESENT) {
        if (!CacheOpValidLocked(psMiscInfo, psConnection)) return ZOLSRV_ERROR_INVALID_PARAMS;
        // A PC's caches are coherent with the simulated GPU: nothing to clean or flush.
        RecordGuard r;
        s.uiCacheOps++;
        present |= ZOLSRV_MISC_INFO_CPUCACHEOP_PRESENT;
    }
    psMiscInfo->ui32StatePresent = present;
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVReleaseMiscInfo(const ZOLSRV_CONNECTION *psConnection, ZOLSRV_MISC_INFO *psMiscInfo) {
    ENTER("ZOLSRVReleaseMiscInfo");
    if (psMiscInfo == nullptr) return MISUSE("ZOLSRVReleaseMiscInfo", "no misc information to release");
    {
        ReadGuard g(g_mu);
        if (!ConnectionLiveLocked(psConnection))
            return MISUSE("ZOLSRVReleaseMiscInfo", "connection %p is not open", (const void *)psConnection);
    }
    // What a request gave out goes back to the connection that gave it.
    if (psMiscInfo->hOSGlobalEvent != nullptr &&
        psMiscInfo->hOSGlobalEvent != zolsim_internal_connection_event(psConnection))
        return MISUSE("ZOLSRVReleaseMiscInfo", "event %p is not the global event of connection %p",
                      psMiscInfo->hOSGlobalEvent, (const void *)psConnection);
    psMiscInfo->hOSGlobalEvent = nullptr;
    return ZOLSRV_OK;
}

int zolsim_last_misc_info(ZOLSRV_MISC_INFO *psOut) {
    RecordGuard g;
    if (!S().bHaveMiscInfo) return 0;
    if (psOut != nullptr) *psOut = S().miscInfo;
    return 1;
}

unsigned zolsim_cache_ops(void) {
    RecordGuard g;
    return S().uiCacheOps;
}

void zolsim_set_ref_count(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, VEK_UINT32 ui32RefCount) {
    WriteGuard g(g_mu);
    Mem *m = FindMemLocked(psMemInfo);
    if (m == nullptr) return;
    m->ui32RefCount = ui32RefCount;
    m->bRefCountSet = true;
}

}  // extern "C"
