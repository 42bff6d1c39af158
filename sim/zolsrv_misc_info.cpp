// The misc-information requests.
#include "zolsrv_state.h"

using namespace zolsim;

extern "C" {

ZOLSRV_ERROR ZOLSRVGetMiscInfo(const ZOLSRV_CONNECTION *psConnection, ZOLSRV_MISC_INFO *psMiscInfo) {
    ENTER("ZOLSRVGetMiscInfo");
    if (psMiscInfo == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
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
        Mem *m = FindMemLocked(psMiscInfo->sGetRefCountCtl.u.psClientMemInfo);
        if (m == nullptr)
            return MISUSE("ZOLSRVGetMiscInfo", "reference count of mem-info %p, which is not live",
                          (const void *)psMiscInfo->sGetRefCountCtl.u.psClientMemInfo);
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
    {
        ReadGuard g(g_mu);
        if (!ConnectionLiveLocked(psConnection))
            return MISUSE("ZOLSRVReleaseMiscInfo", "connection %p is not open", (const void *)psConnection);
    }
    if (psMiscInfo == nullptr) return MISUSE("ZOLSRVReleaseMiscInfo", "no misc information to release");
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
