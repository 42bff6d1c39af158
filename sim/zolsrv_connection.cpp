// Connections, devices and memory contexts.
#include "zolsrv_state.h"

using namespace zolsim;

namespace zolsim {

char g_devCookies[ZOLSRV_MAX_DEVICES];
char g_heapHandles[ZOLSRV_MAX_CLIENT_HEAPS];

bool DevDataValidLocked(const ZOLSRV_DEV_DATA *psDevData) {
    if (psDevData == nullptr || !ConnectionLiveLocked(psDevData->psConnection)) return false;
    return psDevData->hDevCookie != nullptr;
}

bool HeapHandleValid(VEK_HANDLE hHeap) {
    const char *pc = static_cast<const char *>(hHeap);
    return pc >= g_heapHandles && pc < g_heapHandles + ZOLSRV_MAX_CLIENT_HEAPS;
}

bool ConnectionLiveLocked(const ZOLSRV_CONNECTION *c) {
    return c != nullptr && Contains(S().connections, const_cast<ZOLSRV_CONNECTION *>(c));
}

}  // namespace zolsim

extern "C" {

static ZOLSRV_CONNECTION *NewConnection(VEK_UINT32 ui32Flags, bool bCounted) {
    ZOLSRV_CONNECTION *c = new ZOLSRV_CONNECTION{ui32Flags, bCounted, 0};
    WriteGuard g(g_mu);
    S().connections.push_back(c);
    if (bCounted) S().uiLiveConnections++;
    return c;
}

static bool DeleteConnection(const ZOLSRV_CONNECTION *psConnection, bool bCounted) {
    ZOLSRV_CONNECTION *c = const_cast<ZOLSRV_CONNECTION *>(psConnection);
    {
        WriteGuard g(g_mu);
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

ZOLSRV_ERROR ZOLSRVConnect(ZOLSRV_CONNECTION **ppsConnection, VEK_UINT32 ui32Flags) {
    ENTER("ZOLSRVConnect");
    if (ppsConnection == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
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
    ReadGuard g(g_mu);
    if (!ConnectionLiveLocked(psConnection))
        return MISUSE("ZOLSRVEnumerateDevices", "connection %p is not open", (const void *)psConnection);
    if (pui32NumDevices == nullptr) return MISUSE("ZOLSRVEnumerateDevices", "no count to fill");
    *pui32NumDevices = (VEK_UINT32)S().devices.size();
    if (psDevID != nullptr)
        for (size_t i = 0; i < S().devices.size(); i++) psDevID[i] = S().devices[i];
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVAcquireDeviceData(const ZOLSRV_CONNECTION *psConnection, VEK_UINT32 ui32DevIndex,
                                     ZOLSRV_DEV_DATA *psDevData, ZOLSRV_DEVICE_TYPE eDeviceType) {
    ENTER("ZOLSRVAcquireDeviceData");
    ReadGuard g(g_mu);
    if (!ConnectionLiveLocked(psConnection))
        return MISUSE("ZOLSRVAcquireDeviceData", "connection %p is not open", (const void *)psConnection);
    if (psDevData == nullptr) return MISUSE("ZOLSRVAcquireDeviceData", "no device data to fill");
    // The type is fixed: 0 lets the services take the device's own.
    if (eDeviceType != 0) return MISUSE("ZOLSRVAcquireDeviceData", "device type %d, expected 0", (int)eDeviceType);
    bool found = false;
    for (const ZOLSRV_DEVICE_IDENTIFIER &d : S().devices) found = found || d.ui32DeviceIndex == ui32DevIndex;
    if (!found || ui32DevIndex >= ZOLSRV_MAX_DEVICES)
        return MISUSE("ZOLSRVAcquireDeviceData", "device index %u is not one that ZOLSRVEnumerateDevices listed",
                      ui32DevIndex);
    {
        RecordGuard r;
        S().ui32LastAcquireIndex = ui32DevIndex;
    }
    psDevData->psConnection = psConnection;
    psDevData->hDevCookie = &g_devCookies[ui32DevIndex];
    return ZOLSRV_OK;
}

ZOLSRV_ERROR HQTGetClientInfo(const ZOLSRV_DEV_DATA *psDevData, ZOLSRV_HQT_CLIENT_INFO *psClientInfo) {
    ENTER("HQTGetClientInfo");
    {
        ReadGuard g(g_mu);
        if (!DevDataValidLocked(psDevData))
            return MISUSE("HQTGetClientInfo", "device data not acquired on an open connection");
    }
    if (psClientInfo == nullptr) return MISUSE("HQTGetClientInfo", "no client information to fill");
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
    if (!DevDataValidLocked(psDevData))
        return MISUSE("ZOLSRVCreateDeviceMemContext", "device data not acquired on an open connection");
    void *ctx = new char[1];
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
    ENTER("ZOLSRVDestroyDeviceMemContext");
    {
        WriteGuard g(g_mu);
        if (!DevDataValidLocked(psDevData))
            return MISUSE("ZOLSRVDestroyDeviceMemContext", "device data not acquired on an open connection");
        if (!Erase(S().memContexts, hDevMemContext))
            return MISUSE("ZOLSRVDestroyDeviceMemContext", "context %p was never made or is already destroyed",
                          hDevMemContext);
        S().memContextConnection.erase(hDevMemContext);
    }
    delete[] static_cast<char *>(hDevMemContext);
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
    return uiIndex < ZOLSRV_MAX_CLIENT_HEAPS ? &g_heapHandles[uiIndex] : nullptr;
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

unsigned zolsim_live_mem_contexts(void) {
    ReadGuard g(g_mu);
    return (unsigned)S().memContexts.size();
}

}  // extern "C"
