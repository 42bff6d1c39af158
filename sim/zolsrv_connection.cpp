// Connections, devices and memory contexts.
#include "zolsrv_state.h"

using namespace zolsim;

namespace zolsim {

char g_devCookies[ZOLSRV_MAX_DEVICES];

bool ConnectionLiveLocked(const ZOLSRV_CONNECTION *c) {
    return c != nullptr && Contains(S().connections, const_cast<ZOLSRV_CONNECTION *>(c));
}

bool DevDataValidLocked(const char *pszCall, const ZOLSRV_DEV_DATA *psDevData) {
    if (psDevData == nullptr) {
        zolsim_internal_misuse(pszCall, "no device data");
        return false;
    }
    if (!ConnectionLiveLocked(psDevData->psConnection)) {
        zolsim_internal_misuse(pszCall, "device data of connection %p, which is not open",
                               (const void *)psDevData->psConnection);
        return false;
    }
    // The cookie must be one that ZOLSRVAcquireDeviceData gave out on this very connection.
    const char *pc = static_cast<const char *>(psDevData->hDevCookie);
    const bool bCookie = pc >= g_devCookies && pc < g_devCookies + ZOLSRV_MAX_DEVICES;
    if (!bCookie || (psDevData->psConnection->ui32AcquiredDevices & (1u << (pc - g_devCookies))) == 0) {
        zolsim_internal_misuse(pszCall, "device cookie %p was not acquired on connection %p", psDevData->hDevCookie,
                               (const void *)psDevData->psConnection);
        return false;
    }
    return true;
}

MemContext *HeapContextLocked(const char *pszCall, VEK_HANDLE hHeap, const ZOLSRV_CONNECTION *psConnection) {
    const char *pc = static_cast<const char *>(hHeap);
    for (MemContext *ctx : S().memContexts) {
        if (pc < ctx->acHeaps || pc >= ctx->acHeaps + ZOLSRV_MAX_CLIENT_HEAPS) continue;
        const unsigned uiSlot = (unsigned)(pc - ctx->acHeaps);
        if (uiSlot >= ctx->uiHeaps) {
            zolsim_internal_misuse(pszCall, "heap %p is slot %u of a memory context that lists %u heaps", hHeap, uiSlot,
                                   ctx->uiHeaps);
            return nullptr;
        }
        if (ctx->psConnection != psConnection) {
            zolsim_internal_misuse(pszCall, "heap %p is of a memory context of connection %p, not of %p", hHeap,
                                   (const void *)ctx->psConnection, (const void *)psConnection);
            return nullptr;
        }
        return ctx;
    }
    zolsim_internal_misuse(pszCall, "heap %p is not a heap of a live memory context", hHeap);
    return nullptr;
}

}  // namespace zolsim

extern "C" {

static ZOLSRV_CONNECTION *NewConnection(VEK_UINT32 ui32Flags, bool bCounted) {
    ZOLSRV_CONNECTION *c = new ZOLSRV_CONNECTION{ui32Flags, bCounted, 0, 0};
    WriteGuard g(g_mu);
    S().connections.push_back(c);
    if (bCounted) S().uiLiveConnections++;
    return c;
}

// The disconnect ends what was made on the connection: its memory contexts, and the memory
// allocated or mapped through it, which it frees as the caller should have.
static bool DeleteConnection(const ZOLSRV_CONNECTION *psConnection, bool bCounted) {
    ZOLSRV_CONNECTION *c = const_cast<ZOLSRV_CONNECTION *>(psConnection);
    std::vector<Mem *> ended;
    {
        WriteGuard g(g_mu);
        if (!ConnectionLiveLocked(c) || c->bCounted != bCounted) return false;
        Erase(S().connections, c);
        if (bCounted) S().uiLiveConnections--;
        std::vector<MemContext *> &v = S().memContexts;
        for (size_t i = 0; i < v.size();) {
            if (v[i]->psConnection != c) {
                i++;
                continue;
            }
            delete v[i];
            v.erase(v.begin() + (long)i);
            RecordGuard r;
            S().leftovers.uiMemContexts++;
        }
        ended = EndMemOfConnectionLocked(c);
    }
    for (Mem *m : ended) ReleaseMem(m);
    delete c;
    return true;
}

ZOLSRV_CONNECTION *zolsim_internal_connect(void) { return NewConnection(0, false); }

void zolsim_internal_disconnect(ZOLSRV_CONNECTION *psConnection) { DeleteConnection(psConnection, false); }

VEK_HANDLE zolsim_internal_connection_event(const ZOLSRV_CONNECTION *psConnection) {
    return const_cast<char *>(&psConnection->event);
}

ZOLSRV_ERROR ZOLSRVConnect(ZOLSRV_CONNECTION **ppsConnection, VEK_UINT32 ui32Flags) {
    ENTER("ZOLSRVConnect");
    if (ppsConnection == nullptr) return MISUSE("ZOLSRVConnect", "no connection to fill");
    {
        RecordGuard g;
        S().ui32LastConnectFlags = ui32Flags;
    }
    *ppsConnection = NewConnection(ui32Flags, true);
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVDisconnect(const ZOLSRV_CONNECTION *psConnection) {
    ENTER("ZOLSRVDisconnect");
    if (!DeleteConnection(psConnection, true))
        return MISUSE("ZOLSRVDisconnect", "connection %p was never made or is already closed",
                      (const void *)psConnection);
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVEnumerateDevices(const ZOLSRV_CONNECTION *psConnection, VEK_UINT32 *pui32NumDevices,
                                    ZOLSRV_DEVICE_IDENTIFIER *psDevID) {
    ENTER("ZOLSRVEnumerateDevices");
    if (pui32NumDevices == nullptr) return MISUSE("ZOLSRVEnumerateDevices", "no count to fill");
    ReadGuard g(g_mu);
    if (!ConnectionLiveLocked(psConnection))
        return MISUSE("ZOLSRVEnumerateDevices", "connection %p is not open", (const void *)psConnection);
    *pui32NumDevices = (VEK_UINT32)S().devices.size();
    if (psDevID != nullptr)
        for (size_t i = 0; i < S().devices.size(); i++) psDevID[i] = S().devices[i];
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVAcquireDeviceData(const ZOLSRV_CONNECTION *psConnection, VEK_UINT32 ui32DevIndex,
                                     ZOLSRV_DEV_DATA *psDevData, ZOLSRV_DEVICE_TYPE eDeviceType) {
    ENTER("ZOLSRVAcquireDeviceData");
    if (psDevData == nullptr) return MISUSE("ZOLSRVAcquireDeviceData", "no device data to fill");
    // The type is fixed: 0 lets the services take the device's own.
    if (eDeviceType != 0) return MISUSE("ZOLSRVAcquireDeviceData", "device type %d, expected 0", (int)eDeviceType);
    WriteGuard g(g_mu);
    if (!ConnectionLiveLocked(psConnection))
        return MISUSE("ZOLSRVAcquireDeviceData", "connection %p is not open", (const void *)psConnection);
    bool found = false;
    for (const ZOLSRV_DEVICE_IDENTIFIER &d : S().devices) found = found || d.ui32DeviceIndex == ui32DevIndex;
    if (!found || ui32DevIndex >= ZOLSRV_MAX_DEVICES)
        return MISUSE("ZOLSRVAcquireDeviceData", "device index %u is not one that ZOLSRVEnumerateDevices listed",
                      ui32DevIndex);
    {
        RecordGuard r;
        S().ui32LastAcquireIndex = ui32DevIndex;
    }
    const_cast<ZOLSRV_CONNECTION *>(psConnection)->ui32AcquiredDevices |= 1u << ui32DevIndex;
    psDevData->psConnection = psConnection;
    psDevData->hDevCookie = &g_devCookies[ui32DevIndex];
    return ZOLSRV_OK;
}

ZOLSRV_ERROR HQTGetClientInfo(const ZOLSRV_DEV_DATA *psDevData, ZOLSRV_HQT_CLIENT_INFO *psClientInfo) {
    ENTER("HQTGetClientInfo");
    if (psClientInfo == nullptr) return MISUSE("HQTGetClientInfo", "no client information to fill");
    {
        ReadGuard g(g_mu);
        if (!DevDataValidLocked("HQTGetClientInfo", psDevData)) return ZOLSRV_ERROR_INVALID_PARAMS;
    }
    memset(psClientInfo, 0, sizeof(*psClientInfo));
    psClientInfo->ui32ClientFlags = 0x1;
    psClientInfo->ui32ClientBuild = 1;
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVCreateDeviceMemContext(const ZOLSRV_DEV_DATA *psDevData, VEK_HANDLE *phDevMemContext,
                                          VEK_UINT32 *pui32ClientHeapCount, ZOLSRV_HEAP_INFO *psHeapInfo) {
    ENTER("ZOLSRVCreateDeviceMemContext");
    if (phDevMemContext == nullptr || pui32ClientHeapCount == nullptr || psHeapInfo == nullptr)
        return MISUSE("ZOLSRVCreateDeviceMemContext", "an out argument is NULL");
    WriteGuard g(g_mu);
    if (!DevDataValidLocked("ZOLSRVCreateDeviceMemContext", psDevData)) return ZOLSRV_ERROR_INVALID_PARAMS;
    State &s = S();
    MemContext *ctx = new MemContext{psDevData->psConnection, (unsigned)s.heapIDs.size(), {}};
    s.memContexts.push_back(ctx);
    for (size_t i = 0; i < s.heapIDs.size(); i++) {
        psHeapInfo[i].ui32HeapID = s.heapIDs[i];
        psHeapInfo[i].hDevMemHeap = &ctx->acHeaps[i];
        psHeapInfo[i].sDevVAddrBase.uiAddr = kDevVAddrFirst;
        psHeapInfo[i].ui32HeapByteSize = kDevVAddrLimit - kDevVAddrFirst;
        psHeapInfo[i].ui32Attribs = 0;
    }
    *pui32ClientHeapCount = ctx->uiHeaps;
    *phDevMemContext = ctx;
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVDestroyDeviceMemContext(const ZOLSRV_DEV_DATA *psDevData, VEK_HANDLE hDevMemContext) {
    ENTER("ZOLSRVDestroyDeviceMemContext");
    MemContext *ctx = static_cast<MemContext *>(hDevMemContext);
    {
        WriteGuard g(g_mu);
        if (!DevDataValidLocked("ZOLSRVDestroyDeviceMemContext", psDevData)) return ZOLSRV_ERROR_INVALID_PARAMS;
        if (!Contains(S().memContexts, ctx))
            return MISUSE("ZOLSRVDestroyDeviceMemContext", "context %p was never made or is already destroyed",
                          hDevMemContext);
        if (ctx->psConnection != psDevData->psConnection)
            return MISUSE("ZOLSRVDestroyDeviceMemContext", "context %p was made on connection %p, not on %p",
                          hDevMemContext, (const void *)ctx->psConnection, (const void *)psDevData->psConnection);
        Erase(S().memContexts, ctx);
    }
    delete ctx;
    return ZOLSRV_OK;
}

void zolsim_set_devices(const ZOLSRV_DEVICE_IDENTIFIER *psDevices, unsigned uiCount) {
    if (uiCount > ZOLSRV_MAX_DEVICES) uiCount = ZOLSRV_MAX_DEVICES;
    WriteGuard g(g_mu);
    S().devices.assign(psDevices, psDevices + uiCount);
}

void zolsim_set_heaps(const VEK_UINT32 *pui32HeapIDs, unsigned uiCount) {
    if (uiCount > ZOLSRV_MAX_CLIENT_HEAPS) uiCount = ZOLSRV_MAX_CLIENT_HEAPS;
    WriteGuard g(g_mu);
    S().heapIDs.assign(pui32HeapIDs, pui32HeapIDs + uiCount);
}

VEK_HANDLE zolsim_heap_handle(unsigned uiIndex) {
    ReadGuard g(g_mu);
    if (S().memContexts.empty()) return nullptr;
    MemContext *ctx = S().memContexts.back();
    return uiIndex < ctx->uiHeaps ? &ctx->acHeaps[uiIndex] : nullptr;
}

VEK_UINT32 zolsim_last_connect_flags(void) {
    RecordGuard g;
    return S().ui32LastConnectFlags;
}

VEK_UINT32 zolsim_last_acquire_index(void) {
    RecordGuard g;
    return S().ui32LastAcquireIndex;
}

unsigned zolsim_live_connections(void) {
    ReadGuard g(g_mu);
    return S().uiLiveConnections;
}

unsigned zolsim_disconnect_leftovers(char *pszReport, size_t uSize) {
    Leftovers l;
    {
        RecordGuard r;
        l = S().leftovers;
    }
    const struct {
        unsigned n;
        const char *pszWhat;
    } as[] = {{l.uiMemContexts, "memory contexts"}, {l.uiAllocations, "allocations"}, {l.uiMappings, "mappings"}};
    unsigned uiTotal = 0;
    size_t uLen = 0;
    if (pszReport != nullptr && uSize != 0) pszReport[0] = '\0';
    for (const auto &k : as) {
        uiTotal += k.n;
        if (k.n == 0 || pszReport == nullptr || uLen >= uSize) continue;
        const int iWritten = snprintf(pszReport + uLen, uSize - uLen, "%s%u %s", uLen != 0 ? ", " : "", k.n, k.pszWhat);
        if (iWritten > 0) uLen += (size_t)iWritten;
    }
    return uiTotal;
}

unsigned zolsim_ended_allocations(void) {
    RecordGuard r;
    return S().leftovers.uiAllocations;
}

unsigned zolsim_ended_mappings(void) {
    RecordGuard r;
    return S().leftovers.uiMappings;
}

unsigned zolsim_live_mem_contexts(void) {
    ReadGuard g(g_mu);
    return (unsigned)S().memContexts.size();
}

}  // extern "C"
