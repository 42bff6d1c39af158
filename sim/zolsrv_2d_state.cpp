// The 2D library's configuration and records, kept with the rest of the control state.
#include "zolsrv_state.h"

using namespace zolsim;

extern "C" {

unsigned zolsim_internal_2d_device_count(void) {
    ReadGuard g(g_mu);
    return S().ui2DDevices;
}

void zolsim_internal_2d_display(unsigned uiIndex, ZOL2DDISPLAYINFO *psDisplayInfo,
                                ZOL2DMISCDISPLAYINFO *psMiscDisplayInfo) {
    ReadGuard g(g_mu);
    if (uiIndex >= kMax2DDevices) uiIndex = kMax2DDevices - 1;
    if (psDisplayInfo != nullptr) *psDisplayInfo = S().displays[uiIndex];
    if (psMiscDisplayInfo != nullptr) *psMiscDisplayInfo = S().miscDisplays[uiIndex];
}

long zolsim_internal_flipchain_stride_override(void) {
    ReadGuard g(g_mu);
    return S().lStrideOverride;
}

long zolsim_internal_flipchain_count_override(void) {
    ReadGuard g(g_mu);
    return S().lCountOverride;
}

void zolsim_internal_record_context_device(unsigned long ulDevID) {
    RecordGuard g;
    S().ulLastContextDevice = ulDevID;
}

void zolsim_internal_record_flipchain(const ZOLSIM_FLIPCHAIN_RECORD *psRecord) {
    RecordGuard g;
    S().flipChain = *psRecord;
    S().bHaveFlipChain = true;
}

void zolsim_internal_record_wrap(unsigned long ulSize) {
    RecordGuard g;
    S().wraps.push_back(ulSize);
}

void zolsim_internal_record_blit(const ZOLSIM_BLIT_RECORD *psRecord) {
    RecordGuard g;
    S().blit = *psRecord;
    S().bHaveBlit = true;
}

void zolsim_internal_live_adjust(int iKind, int iDelta) {
    WriteGuard g(g_mu);
    unsigned &n = iKind == ZOLSIM_LIVE_CONTEXTS     ? S().uiLiveContexts
                  : iKind == ZOLSIM_LIVE_FLIPCHAINS ? S().uiLiveFlipChains
                                                    : S().uiLiveWrapped;
    n = (unsigned)((int)n + iDelta);
}

void zolsim_set_2d_device_count(unsigned uiCount) {
    WriteGuard g(g_mu);
    S().ui2DDevices = uiCount < kMax2DDevices ? uiCount : kMax2DDevices;
}

void zolsim_set_display(unsigned uiIndex, const ZOL2DDISPLAYINFO *psDisplayInfo,
                        const ZOL2DMISCDISPLAYINFO *psMiscDisplayInfo) {
    if (uiIndex >= kMax2DDevices) return;
    WriteGuard g(g_mu);
    if (psDisplayInfo != nullptr) S().displays[uiIndex] = *psDisplayInfo;
    if (psMiscDisplayInfo != nullptr) S().miscDisplays[uiIndex] = *psMiscDisplayInfo;
}

void zolsim_set_max_flip_chains(unsigned uiIndex, unsigned long ulMax) {
    if (uiIndex >= kMax2DDevices) return;
    WriteGuard g(g_mu);
    S().displays[uiIndex].ulMaxFlipChains = ulMax;
}

void zolsim_set_flipchain_stride_override(long lStride) {
    WriteGuard g(g_mu);
    S().lStrideOverride = lStride;
}

void zolsim_set_flipchain_count_override(long lCount) {
    WriteGuard g(g_mu);
    S().lCountOverride = lCount;
}

unsigned long zolsim_last_context_device(void) {
    RecordGuard g;
    return S().ulLastContextDevice;
}

int zolsim_last_flipchain(ZOLSIM_FLIPCHAIN_RECORD *psOut) {
    RecordGuard g;
    if (!S().bHaveFlipChain) return 0;
    if (psOut != nullptr) *psOut = S().flipChain;
    return 1;
}

unsigned zolsim_live_flipchains(void) {
    ReadGuard g(g_mu);
    return S().uiLiveFlipChains;
}

unsigned zolsim_live_contexts(void) {
    ReadGuard g(g_mu);
    return S().uiLiveContexts;
}

unsigned zolsim_live_wrapped(void) {
    ReadGuard g(g_mu);
    return S().uiLiveWrapped;
}

int zolsim_last_blit(ZOLSIM_BLIT_RECORD *psOut) {
    RecordGuard g;
    if (!S().bHaveBlit) return 0;
    if (psOut != nullptr) *psOut = S().blit;
    return 1;
}

unsigned zolsim_wrap_records(unsigned long *pulSizes, unsigned uiMax) {
    RecordGuard g;
    return CopyRecords(S().wraps, pulSizes, uiMax);
}

}  // extern "C"
