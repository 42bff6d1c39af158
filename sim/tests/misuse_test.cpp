// Each kind of misuse the simulated device records: the call answers an error, and the record names
// the call and what was wrong.
#include <string.h>
#include <unistd.h>

#include "sim_fixture.h"

namespace {

TEST_F(MisuseTest, HandlesNeverMadeOrAlreadyFreed) {
    ZOLSRV_CLIENT_MEM_INFO *ps = Alloc();
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVFreeDeviceMem(&sDev, ps));
    ExpectMisuse("ZOLSRVFreeDeviceMem", "already released",
                 [&] { return ZOLSRVFreeDeviceMem(&sDev, ps) != ZOLSRV_OK; });
    int iFd = -1;
    ExpectMisuse("ZOLSRVExportDeviceMem2", "already released",
                 [&] { return ZOLSRVExportDeviceMem2(&sDev, ps, &iFd) != ZOLSRV_OK; });
    ZOLSRV_MISC_INFO sInfo = {};
    sInfo.ui32StateRequest = ZOLSRV_MISC_INFO_GET_REF_COUNT_PRESENT;
    sInfo.sGetRefCountCtl.u.psClientMemInfo = ps;
    ExpectMisuse("ZOLSRVGetMiscInfo", "already released",
                 [&] { return ZOLSRVGetMiscInfo(psConnection, &sInfo) != ZOLSRV_OK; });
    ExpectMisuse("ZOLSRVDestroyDeviceMemContext", "never made",
                 [&] { return ZOLSRVDestroyDeviceMemContext(&sDev, &sInfo) != ZOLSRV_OK; });
    ExpectMisuse("ZOL2DDestroyDeviceContext", "never made",
                 [&] { return ZOL2DDestroyDeviceContext(reinterpret_cast<ZOL2DCONTEXTHANDLE>(&sInfo)) != ZOL2D_OK; });
    VEK_VOID *pvHints = nullptr;
    ZOLSRVCreateAppHintState(VEK_ANDROID_HAL, "test", &pvHints);
    ZOLSRVFreeAppHintState(VEK_ANDROID_HAL, pvHints);
    VEK_UINT32 ui32Value = 0, ui32Default = 1;
    ExpectMisuse("ZOLSRVGetAppHint", "never made", [&] {
        return ZOLSRVGetAppHint(pvHints, "HALPresentMode", VEK_UINT_TYPE, &ui32Default, &ui32Value) != ZOLSRV_OK;
    });
}

TEST_F(MisuseTest, MemInfosOfAnotherKind) {
    ZOLSRV_CLIENT_MEM_INFO *psAlloc = Alloc();
    int iFd = -1;
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVExportDeviceMem2(&sDev, psAlloc, &iFd));
    ZOLSRV_CLIENT_MEM_INFO *psMapping = nullptr;
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVMapDeviceMemory2(&sDev, iFd, hHeap, &psMapping));
    ExpectMisuse("ZOLSRVFreeDeviceMem", "is a mapping",
                 [&] { return ZOLSRVFreeDeviceMem(&sDev, psMapping) != ZOLSRV_OK; });
    ExpectMisuse("ZOLSRVUnmapDeviceMemory", "is an allocation",
                 [&] { return ZOLSRVUnmapDeviceMemory(&sDev, psAlloc) != ZOLSRV_OK; });

    long lStride = 0;
    ZOL2DFLIPCHAINHANDLE hChain = nullptr;
    ASSERT_EQ(ZOL2D_OK,
              ZOL2DCreateFlipChain(h2D, 0, 2, 800, 480, ZOL2D_PIXEL_FORMAT_RGB565, &lStride, nullptr, &hChain));
    ZOL2DMEMINFO *aps[2];
    unsigned long ulCount = 0;
    ASSERT_EQ(ZOL2D_OK, ZOL2DGetFlipChainBuffers(h2D, hChain, &ulCount, aps));
    ZOLSRV_CLIENT_MEM_INFO *psChainMem = static_cast<ZOLSRV_CLIENT_MEM_INFO *>(aps[0]->hPrivateData);
    ExpectMisuse("ZOLSRVFreeDeviceMem", "flip-chain buffer",
                 [&] { return ZOLSRVFreeDeviceMem(&sDev, psChainMem) != ZOLSRV_OK; });
    // A services mem-info is not a 2D record, whatever its CPU address.
    ZOL2DMEMINFO sForged = {};
    sForged.pBase = psAlloc->pvLinAddr;
    sForged.ui32MemSize = 4096;
    ExpectMisuse("ZOL2DPresentBlt", "neither", [&] { return ZOL2DPresentBlt(h2D, &sForged, 0) != ZOL2D_OK; });
    ExpectMisuse("ZOL2DPresentFlip", "not a buffer of the flip chain",
                 [&] { return ZOL2DPresentFlip(h2D, hChain, &sForged, 0) != ZOL2D_OK; });

    EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyFlipChain(h2D, hChain));
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVUnmapDeviceMemory(&sDev, psMapping));
    EXPECT_EQ(0, close(iFd));
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVFreeDeviceMem(&sDev, psAlloc));
}

TEST_F(MisuseTest, EventsOfAnotherConnectionAndClientEvents) {
    ZOLSRV_CONNECTION *psOther = nullptr;
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVConnect(&psOther, 0));
    ZOLSRV_MISC_INFO sInfo = {};
    sInfo.ui32StateRequest = ZOLSRV_MISC_INFO_GLOBALEVENTOBJECT_PRESENT;
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVGetMiscInfo(psOther, &sInfo));
    ExpectMisuse("ZOLSRVEventObjectWait", "not the global event of connection",
                 [&] { return ZOLSRVEventObjectWait(psConnection, sInfo.hOSGlobalEvent) != ZOLSRV_OK; });
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVReleaseMiscInfo(psOther, &sInfo));
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVDisconnect(psOther));
    ExpectMisuse("ZOLSRVEventObjectWait", "is not open",
                 [&] { return ZOLSRVEventObjectWait(psOther, sInfo.hOSGlobalEvent) != ZOLSRV_OK; });

    int iModule = 0;
    ExpectMisuse("ZOLSRVClientEvent", "expected ZOLSRV_CLIENT_EVENT_HWTIMEOUT",
                 [&] { return ZOLSRVClientEvent((ZOLSRV_CLIENT_EVENT)1, &sDev, &iModule) != ZOLSRV_OK; });
    ExpectMisuse("ZOLSRVClientEvent", "no module record",
                 [&] { return ZOLSRVClientEvent(ZOLSRV_CLIENT_EVENT_HWTIMEOUT, &sDev, nullptr) != ZOLSRV_OK; });
    ZOLSRV_DEV_DATA sStale = {psOther, sDev.hDevCookie};
    ExpectMisuse("ZOLSRVClientEvent", "device data",
                 [&] { return ZOLSRVClientEvent(ZOLSRV_CLIENT_EVENT_HWTIMEOUT, &sStale, &iModule) != ZOLSRV_OK; });
    EXPECT_EQ(0u, zolsim_stall_reports()) << "refused reports are not counted";
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVClientEvent(ZOLSRV_CLIENT_EVENT_HWTIMEOUT, &sDev, &iModule));
    EXPECT_EQ(1u, zolsim_stall_reports());
    ZOLSIM_CLIENT_EVENT_RECORD as[8];
    ASSERT_EQ(4u, zolsim_client_event_records(as, 8)) << "every call is recorded";
    EXPECT_EQ(&sDev, as[3].psDevData);
    EXPECT_EQ(&iModule, as[3].pvData);
}

TEST_F(MisuseTest, FlipChainsTheDisplayCannotTake) {
    ZOL2DDISPLAYINFO sDisplay;
    ASSERT_EQ(ZOL2D_OK, ZOL2DGetDeviceInfo(h2D, &sDisplay));
    ASSERT_EQ(3ul, sDisplay.ulMaxBuffersInChain);
    long lStride = 0;
    unsigned long ulID = 0;
    ZOL2DFLIPCHAINHANDLE hChain = nullptr;
    auto Create = [&](unsigned long ulFlags, unsigned long ulCount, unsigned long ulWidth, unsigned long ulHeight,
                      ZOL2DFORMAT eFormat, unsigned long *pulID) {
        return ZOL2DCreateFlipChain(h2D, ulFlags, ulCount, ulWidth, ulHeight, eFormat, &lStride, pulID, &hChain) !=
               ZOL2D_OK;
    };
    ExpectMisuse("ZOL2DCreateFlipChain", "4 buffers; the display takes 1 to 3",
                 [&] { return Create(0, 4, 800, 480, ZOL2D_PIXEL_FORMAT_RGB565, nullptr); });
    ExpectMisuse("ZOL2DCreateFlipChain", "format",
                 [&] { return Create(0, 2, 800, 480, ZOL2D_PIXEL_FORMAT_ARGB8888, nullptr); });
    ExpectMisuse("ZOL2DCreateFlipChain", "801 x 480 buffers for a 800 x 480 display",
                 [&] { return Create(0, 2, 801, 480, ZOL2D_PIXEL_FORMAT_RGB565, nullptr); });
    ExpectMisuse("ZOL2DCreateFlipChain", "flags",
                 [&] { return Create(1, 2, 800, 480, ZOL2D_PIXEL_FORMAT_RGB565, nullptr); });
    ExpectMisuse("ZOL2DCreateFlipChain", "flip-chain id",
                 [&] { return Create(0, 2, 800, 480, ZOL2D_PIXEL_FORMAT_RGB565, &ulID); });
    EXPECT_EQ(0u, zolsim_live_flipchains());
    EXPECT_EQ(0u, zolsim_live_allocations());

    // What it can take: up to the maximum, rows of the display's stride, memory that held
    // something else.
    ASSERT_FALSE(Create(0, 3, 800, 480, ZOL2D_PIXEL_FORMAT_RGB565, nullptr));
    EXPECT_EQ(sDisplay.lStride, lStride);
    ZOL2DMEMINFO *aps[3];
    unsigned long ulCount = 0;
    ASSERT_EQ(ZOL2D_OK, ZOL2DGetFlipChainBuffers(h2D, hChain, &ulCount, aps));
    EXPECT_EQ((VEK_UINT32)(sDisplay.lStride * 480), aps[0]->ui32MemSize);
    EXPECT_NE(0, static_cast<const unsigned char *>(aps[2]->pBase)[1000]) << "never handed out zeroed";
    EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyFlipChain(h2D, hChain));
}

TEST_F(MisuseTest, ArgumentsFixedToOneValue) {
    ZOLSRV_DEV_DATA sOther = {};
    ExpectMisuse("ZOLSRVAcquireDeviceData", "device type 1, expected 0",
                 [&] { return ZOLSRVAcquireDeviceData(psConnection, 0, &sOther, (ZOLSRV_DEVICE_TYPE)1) != ZOLSRV_OK; });
    ExpectMisuse("ZOLSRVAcquireDeviceData", "device index 5",
                 [&] { return ZOLSRVAcquireDeviceData(psConnection, 5, &sOther, (ZOLSRV_DEVICE_TYPE)0) != ZOLSRV_OK; });
    ZOL2DCONTEXTHANDLE h = nullptr;
    ExpectMisuse("ZOL2DCreateDeviceContext", "flags", [&] { return ZOL2DCreateDeviceContext(100, &h, 2) != ZOL2D_OK; });
    ExpectMisuse("ZOL2DCreateDeviceContext", "device id 99",
                 [&] { return ZOL2DCreateDeviceContext(99, &h, 0) != ZOL2D_OK; });
    VEK_VOID *pvHints = nullptr;
    ZOLSRVCreateAppHintState(VEK_ANDROID_HAL, "test", &pvHints);
    VEK_UINT32 ui32Value = 0, ui32Default = 1;
    ExpectMisuse("ZOLSRVGetAppHint", "expected VEK_UINT_TYPE", [&] {
        return ZOLSRVGetAppHint(pvHints, "HALPresentMode", (VEK_DATA_TYPE)1, &ui32Default, &ui32Value) != ZOLSRV_OK;
    });
    ZOLSRVFreeAppHintState(VEK_ANDROID_HAL, pvHints);
    ZOLSRV_CLIENT_MEM_INFO *ps = nullptr;
    ExpectMisuse("ZOLSRVAllocDeviceMem2", "not a heap",
                 [&] { return ZOLSRVAllocDeviceMem2(&sDev, &sOther, 0, 4096, 4096, nullptr, 0, &ps) != ZOLSRV_OK; });
}

// Every handle-typed argument is checked against the live records of its kind: a heap of a context
// that is gone, a slot its context never listed, a context or heap of another connection, device
// data that no acquisition gave out on its connection.
TEST_F(MisuseTest, HandlesOfEveryKindThatTheLibraryNoLongerHolds) {
    ZOLSRV_CLIENT_MEM_INFO *ps = nullptr;
    auto Alloc = [&](const ZOLSRV_DEV_DATA *psDev, VEK_HANDLE hInHeap) {
        return ZOLSRVAllocDeviceMem2(psDev, hInHeap, 0, 4096, 4096, nullptr, 0, &ps) != ZOLSRV_OK;
    };
    VEK_HANDLE hGone = nullptr;
    {
        ZOLSRV_HEAP_INFO as[ZOLSRV_MAX_CLIENT_HEAPS];
        VEK_UINT32 ui32Heaps = 0;
        ASSERT_EQ(ZOLSRV_OK, ZOLSRVCreateDeviceMemContext(&sDev, &hGone, &ui32Heaps, as));
        ASSERT_EQ(ZOLSRV_OK, ZOLSRVDestroyDeviceMemContext(&sDev, hGone));
        hGone = as[1].hDevMemHeap;
    }
    ExpectMisuse("ZOLSRVAllocDeviceMem2", "not a heap of a live memory context", [&] { return Alloc(&sDev, hGone); });
    VEK_HANDLE hBeyond = static_cast<char *>(hHeap) + 1;
    ExpectMisuse("ZOLSRVAllocDeviceMem2", "slot 2 of a memory context that lists 2 heaps",
                 [&] { return Alloc(&sDev, hBeyond); });

    ZOLSRV_CONNECTION *psOther = nullptr;
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVConnect(&psOther, 0));
    // A live connection with a cookie it never acquired: the one another connection was given.
    ZOLSRV_DEV_DATA sUnacquired = {psOther, sDev.hDevCookie};
    ExpectMisuse("ZOLSRVAllocDeviceMem2", "was not acquired on connection", [&] { return Alloc(&sUnacquired, hHeap); });
    ExpectMisuse("HQTGetClientInfo", "was not acquired", [&] {
        ZOLSRV_HQT_CLIENT_INFO sClient;
        return HQTGetClientInfo(&sUnacquired, &sClient) != ZOLSRV_OK;
    });
    int iCookie = 0;
    ZOLSRV_DEV_DATA sMadeUp = {psConnection, &iCookie};
    ExpectMisuse("ZOLSRVCreateDeviceMemContext", "was not acquired", [&] {
        VEK_HANDLE h;
        VEK_UINT32 n;
        ZOLSRV_HEAP_INFO as[ZOLSRV_MAX_CLIENT_HEAPS];
        return ZOLSRVCreateDeviceMemContext(&sMadeUp, &h, &n, as) != ZOLSRV_OK;
    });
    ExpectMisuse("ZOLSRVClientEvent", "was not acquired",
                 [&] { return ZOLSRVClientEvent(ZOLSRV_CLIENT_EVENT_HWTIMEOUT, &sMadeUp, &iCookie) != ZOLSRV_OK; });
    // Acquired on the other connection too: now its device data is good, but not for this
    // connection's context and heaps.
    ZOLSRV_DEV_DATA sOther = {};
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVAcquireDeviceData(psOther, 0, &sOther, (ZOLSRV_DEVICE_TYPE)0));
    ExpectMisuse("ZOLSRVAllocDeviceMem2", "is of a memory context of connection",
                 [&] { return Alloc(&sOther, hHeap); });
    ExpectMisuse("ZOLSRVDestroyDeviceMemContext", "was made on connection",
                 [&] { return ZOLSRVDestroyDeviceMemContext(&sOther, hContext) != ZOLSRV_OK; });
    ExpectMisuse("ZOLSRVMapDeviceMemory2", "is of a memory context of connection", [&] {
        ZOLSRV_CLIENT_MEM_INFO *psMapped = nullptr;
        return ZOLSRVMapDeviceMemory2(&sOther, 0, hHeap, &psMapped) != ZOLSRV_OK;
    });
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVDisconnect(psOther));
    ExpectMisuse("ZOLSRVAllocDeviceMem2", "which is not open", [&] { return Alloc(&sOther, hHeap); });
    EXPECT_EQ(0u, zolsim_live_allocations());

    // A library handle that no load gave out, or that was unloaded.
    VEK_VOID *pvFunction = nullptr;
    ExpectMisuse("ZOLSRVGetLibFuncAddr", "never loaded",
                 [&] { return ZOLSRVGetLibFuncAddr(&iCookie, "glGetString", &pvFunction) != ZOLSRV_OK; });
    VEK_HANDLE hLibrary = ZOLSRVLoadLibrary("/system/vendor/lib/egl/libGLESv1_CM_ZOLCORE_KEVRA_120.so");
    ASSERT_NE(nullptr, hLibrary);
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVGetLibFuncAddr(hLibrary, "glGetString", &pvFunction));
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVUnloadLibrary(hLibrary));
    ExpectMisuse("ZOLSRVGetLibFuncAddr", "already unloaded",
                 [&] { return ZOLSRVGetLibFuncAddr(hLibrary, "glGetString", &pvFunction) != ZOLSRV_OK; });
    ExpectMisuse("ZOLSRVUnloadLibrary", "already unloaded", [&] { return ZOLSRVUnloadLibrary(hLibrary) != ZOLSRV_OK; });
}

// Memory belongs to the connection it was made through: another connection can neither free,
// unmap, export nor query it, and the disconnect ends it, telling what the caller left.
TEST_F(MisuseTest, MemoryIsItsConnectionsAndEndsWithIt) {
    Services sOther;
    ZOLSRV_CLIENT_MEM_INFO *psTheirs = sOther.Alloc(4096), *psMine = Alloc();
    int iFd = -1;
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVExportDeviceMem2(&sDev, psMine, &iFd));
    ZOLSRV_CLIENT_MEM_INFO *psTheirMapping = nullptr;
    ASSERT_EQ(ZOLSRV_OK, ZOLSRVMapDeviceMemory2(&sOther.dev, iFd, sOther.heap, &psTheirMapping));

    ExpectMisuse("ZOLSRVFreeDeviceMem", "belongs to connection",
                 [&] { return ZOLSRVFreeDeviceMem(&sDev, psTheirs) != ZOLSRV_OK; });
    ExpectMisuse("ZOLSRVExportDeviceMem2", "belongs to connection", [&] {
        int iTheirFd = -1;
        return ZOLSRVExportDeviceMem2(&sDev, psTheirs, &iTheirFd) != ZOLSRV_OK;
    });
    ExpectMisuse("ZOLSRVUnmapDeviceMemory", "belongs to connection",
                 [&] { return ZOLSRVUnmapDeviceMemory(&sDev, psTheirMapping) != ZOLSRV_OK; });
    ZOLSRV_MISC_INFO sInfo = {};
    sInfo.ui32StateRequest = ZOLSRV_MISC_INFO_GET_REF_COUNT_PRESENT;
    sInfo.sGetRefCountCtl.u.psClientMemInfo = psTheirs;
    ExpectMisuse("ZOLSRVGetMiscInfo", "belongs to connection",
                 [&] { return ZOLSRVGetMiscInfo(psConnection, &sInfo) != ZOLSRV_OK; });
    sInfo = ZOLSRV_MISC_INFO{};
    sInfo.ui32StateRequest = ZOLSRV_MISC_INFO_CPUCACHEOP_PRESENT;
    sInfo.sCacheOpCtl.eCacheOpType = ZOLSRV_MISC_INFO_CPUCACHEOP_CLEAN;
    sInfo.sCacheOpCtl.psClientMemInfo = psTheirs;
    ExpectMisuse("ZOLSRVGetMiscInfo", "belongs to connection",
                 [&] { return ZOLSRVGetMiscInfo(psConnection, &sInfo) != ZOLSRV_OK; });

    // The flip-chain buffers the 2D library made (on a connection of its own) are the ones every
    // connection may export and count: the graphics HAL lends them out.
    long lStride = 0;
    ZOL2DFLIPCHAINHANDLE hChain = nullptr;
    ASSERT_EQ(ZOL2D_OK,
              ZOL2DCreateFlipChain(h2D, 0, 1, 800, 480, ZOL2D_PIXEL_FORMAT_RGB565, &lStride, nullptr, &hChain));
    ZOL2DMEMINFO *psChainBuffer = nullptr;
    unsigned long ulCount = 0;
    ASSERT_EQ(ZOL2D_OK, ZOL2DGetFlipChainBuffers(h2D, hChain, &ulCount, &psChainBuffer));
    int iChainFd = -1;
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVExportDeviceMem2(
                             &sDev, static_cast<ZOLSRV_CLIENT_MEM_INFO *>(psChainBuffer->hPrivateData), &iChainFd));
    sInfo = ZOLSRV_MISC_INFO{};
    sInfo.ui32StateRequest = ZOLSRV_MISC_INFO_GET_REF_COUNT_PRESENT;
    sInfo.sGetRefCountCtl.u.psClientMemInfo = static_cast<ZOLSRV_CLIENT_MEM_INFO *>(psChainBuffer->hPrivateData);
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVGetMiscInfo(psConnection, &sInfo));
    EXPECT_EQ(2u, sInfo.sGetRefCountCtl.ui32RefCount) << "the buffer and its exported descriptor";
    EXPECT_EQ(0, close(iChainFd));
    EXPECT_EQ(ZOL2D_OK, ZOL2DDestroyFlipChain(h2D, hChain));

    // The other connection goes with its context, allocation and mapping still live: the
    // disconnect frees them and tells of each.
    const unsigned uiAllocations = zolsim_live_allocations();
    const VEK_UINT64 ui64Theirs = psTheirs->ui64Stamp;
    char szLeft[128];
    EXPECT_EQ(0u, zolsim_disconnect_leftovers(szLeft, sizeof(szLeft)));
    sOther.DisconnectLeavingAll();
    EXPECT_EQ(3u, zolsim_disconnect_leftovers(szLeft, sizeof(szLeft)));
    EXPECT_STREQ("1 memory contexts, 1 allocations, 1 mappings", szLeft);
    EXPECT_EQ(1u, zolsim_ended_allocations());
    EXPECT_EQ(1u, zolsim_ended_mappings());
    EXPECT_EQ(uiAllocations - 1, zolsim_live_allocations());
    EXPECT_EQ(0u, zolsim_live_mappings());
    EXPECT_EQ(nullptr, zolsim_meminfo_by_stamp(ui64Theirs)) << "the allocation is gone";
    ExpectMisuse("ZOLSRVFreeDeviceMem", "already released",
                 [&] { return ZOLSRVFreeDeviceMem(&sDev, psTheirs) != ZOLSRV_OK; });

    EXPECT_EQ(0, close(iFd));
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVFreeDeviceMem(&sDev, psMine));
}

// The CPU cache operation of a misc-information request: a clean or a flush of the whole cache, or
// of a range inside memory of the connection.
TEST_F(MisuseTest, CacheOperationsNameTheirMemoryOrNone) {
    ZOLSRV_CLIENT_MEM_INFO *ps = Alloc();
    ZOLSRV_MISC_INFO sInfo = {};
    auto Request = [&](ZOLSRV_MISC_INFO_CPUCACHEOP_TYPE eType, ZOLSRV_CLIENT_MEM_INFO *psMem, void *pvBase,
                       VEK_UINT32 ui32Length) {
        sInfo = ZOLSRV_MISC_INFO{};
        sInfo.ui32StateRequest = ZOLSRV_MISC_INFO_CPUCACHEOP_PRESENT;
        sInfo.sCacheOpCtl.eCacheOpType = eType;
        sInfo.sCacheOpCtl.psClientMemInfo = psMem;
        sInfo.sCacheOpCtl.pvBaseVAddr = pvBase;
        sInfo.sCacheOpCtl.ui32Length = ui32Length;
        return ZOLSRVGetMiscInfo(psConnection, &sInfo);
    };
    char *pc = static_cast<char *>(ps->pvLinAddr);
    EXPECT_EQ(ZOLSRV_OK, Request(ZOLSRV_MISC_INFO_CPUCACHEOP_CLEAN, nullptr, nullptr, 0)) << "the whole cache";
    EXPECT_EQ(ZOLSRV_OK, Request(ZOLSRV_MISC_INFO_CPUCACHEOP_FLUSH, ps, pc + 100, 3996)) << "a range inside";
    EXPECT_EQ(2u, zolsim_cache_ops());
    ExpectMisuse("ZOLSRVGetMiscInfo", "neither a clean nor a flush",
                 [&] { return Request(ZOLSRV_MISC_INFO_CPUCACHEOP_NONE, nullptr, nullptr, 0) != ZOLSRV_OK; });
    ExpectMisuse("ZOLSRVGetMiscInfo", "without its mem-info",
                 [&] { return Request(ZOLSRV_MISC_INFO_CPUCACHEOP_CLEAN, nullptr, pc, 16) != ZOLSRV_OK; });
    ExpectMisuse("ZOLSRVGetMiscInfo", "lies outside mem-info",
                 [&] { return Request(ZOLSRV_MISC_INFO_CPUCACHEOP_CLEAN, ps, pc + 100, 3997) != ZOLSRV_OK; });
    EXPECT_EQ(2u, zolsim_cache_ops()) << "refused operations are not made";
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVFreeDeviceMem(&sDev, ps));
}

}  // namespace
