// The display class: flip chains as the services see them, and swaps to their buffers.
#include "zolsrv_state.h"

using namespace zolsim;

extern "C" {

static DCChain *FindDCChainLocked(VEK_HANDLE hSwapChain) {
    for (DCChain &c : S().dcChains)
        if (c.hSwapChain == hSwapChain) return &c;
    return nullptr;
}

void zolsim_internal_dc_chain_set(VEK_HANDLE hDevice, VEK_HANDLE hSwapChain, unsigned uiDisplay,
                                  ZOLSRV_CLIENT_MEM_INFO *const *apsBuffers, unsigned uiCount) {
    WriteGuard g(g_mu);
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
    WriteGuard g(g_mu);
    // The display no longer scans out what it showed through the chain.
    StopScanOutOfChainLocked(hSwapChain);
    std::vector<DCChain> &v = S().dcChains;
    for (size_t i = 0; i < v.size(); i++)
        if (v[i].hSwapChain == hSwapChain) {
            v.erase(v.begin() + (long)i);
            return;
        }
}

void zolsim_internal_record_present(const ZOLSIM_PRESENT_RECORD *psRecord) {
    RecordGuard g;
    S().presents.push_back(*psRecord);
}

void zolsim_internal_record_flip_properties(const ZOLSIM_FLIP_PROPERTIES_RECORD *psRecord) {
    RecordGuard g;
    S().flipProperties.push_back(*psRecord);
}

ZOLSRV_ERROR ZOLSRVGetDCBuffers2(VEK_HANDLE hDevice, VEK_HANDLE hSwapChain, VEK_HANDLE *phBuffer,
                                 VEK_SYS_PHYADDR *psPhyAddr) {
    ENTER("ZOLSRVGetDCBuffers2");
    if (phBuffer == nullptr || psPhyAddr == nullptr)
        return MISUSE("ZOLSRVGetDCBuffers2", "no buffer or physical-address array to fill");
    ReadGuard g(g_mu);
    const DCChain *c = FindDCChainLocked(hSwapChain);
    if (c == nullptr)
        return MISUSE("ZOLSRVGetDCBuffers2", "swap chain %p is not a live flip chain's", (const void *)hSwapChain);
    if (c->hDevice != hDevice)
        return MISUSE("ZOLSRVGetDCBuffers2", "device %p is not the display-class device of swap chain %p",
                      (const void *)hDevice, (const void *)hSwapChain);
    for (size_t i = 0; i < c->buffers.size(); i++) {
        Mem *m = FindMemLocked(c->buffers[i]);
        phBuffer[i] = c->buffers[i]->hKernelMemInfo;
        psPhyAddr[i].uiAddr = m != nullptr ? m->ui32PhysAddr : 0;
    }
    return ZOLSRV_OK;
}

// Checks the swap and answers as the display would; on success *psShow lists the buffers the
// display scans out from now on, the one shown first.
static ZOLSRV_ERROR SwapLocked(VEK_HANDLE hDevice, VEK_HANDLE hSwapChain, ZOLSRV_CLIENT_MEM_INFO **ppsMemInfos,
                               VEK_UINT32 ui32NumMemInfos, unsigned *puiDisplay, std::vector<Mem *> *psShow) {
    State &s = S();
    const DCChain *c = FindDCChainLocked(hSwapChain);
    if (c == nullptr)
        return MISUSE("ZOLSRVSwapToDCBuffer2", "swap chain %p is not a live flip chain's", (const void *)hSwapChain);
    if (c->hDevice != hDevice)
        return MISUSE("ZOLSRVSwapToDCBuffer2", "device %p is not the display-class device of swap chain %p",
                      (const void *)hDevice, (const void *)hSwapChain);
    if (ppsMemInfos == nullptr || ui32NumMemInfos == 0)
        return MISUSE("ZOLSRVSwapToDCBuffer2", "no mem-infos to swap to");
    // The display reads every buffer of the list: one it does not know is a fault, not a refusal.
    for (VEK_UINT32 i = 0; i < ui32NumMemInfos; i++)
        if (FindMemLocked(ppsMemInfos[i]) == nullptr)
            return MISUSE("ZOLSRVSwapToDCBuffer2", "mem-info %u of %u (%p) is not live memory", i, ui32NumMemInfos,
                          (const void *)ppsMemInfos[i]);
    {
        RecordGuard r;
        if (s.uiSwapRetries != 0) {
            if (s.uiSwapRetries != ZOLSIM_SWAP_RETRY_ALWAYS) s.uiSwapRetries--;
            return ZOLSRV_ERROR_RETRY;
        }
    }
    *puiDisplay = c->uiDisplay;
    for (VEK_UINT32 i = 0; i < ui32NumMemInfos; i++) psShow->push_back(FindMemLocked(ppsMemInfos[i]));
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

    ShowCapture sCapture;
    {
        ReadGuard g(g_mu);
        unsigned uiDisplay = 0;
        std::vector<Mem *> show;
        for (ZOLSRV_MUTEX_HANDLE hm : S().mutexes)
            if (__atomic_load_n(&hm->ulOwner, __ATOMIC_RELAXED) == (unsigned long)pthread_self())
                rec.bCallerHeldAMutex = 1;
        rec.eResult = SwapLocked(hDevice, hSwapChain, ppsMemInfos, ui32NumMemInfos, &uiDisplay, &show);
        {
            RecordGuard r;
            S().swaps.push_back(rec);
        }
        if (rec.eResult != ZOLSRV_OK) return rec.eResult;
        // The display scans every listed plane out until its next frame; the screen shows the first.
        Mem *m = show[0];
        ScreenShowLocked(uiDisplay, hSwapChain, show, &m->hwMu, m->pvBase, m->sInfo.uAllocSize, m->sInfo.ui64Stamp,
                         &sCapture);
    }
    SaveCapture(sCapture);
    return ZOLSRV_OK;
}

unsigned zolsim_present_records(ZOLSIM_PRESENT_RECORD *psOut, unsigned uiMax) {
    RecordGuard g;
    return CopyRecords(S().presents, psOut, uiMax);
}

unsigned zolsim_flip_properties_records(ZOLSIM_FLIP_PROPERTIES_RECORD *psOut, unsigned uiMax) {
    RecordGuard g;
    return CopyRecords(S().flipProperties, psOut, uiMax);
}

void zolsim_set_swap_retries(unsigned uiCount) {
    RecordGuard g;
    S().uiSwapRetries = uiCount;
}

unsigned zolsim_swap_records(ZOLSIM_SWAP_RECORD *psOut, unsigned uiMax) {
    RecordGuard g;
    return CopyRecords(S().swaps, psOut, uiMax);
}

}  // extern "C"
