// libzol2d: the 2D library of the simulated device: its devices, contexts, displays, flip chains and
// presents. Its buffers are services allocations, so they carry stamps and sync counters like any
// other device memory.
#include <stdio.h>
#include <string.h>

#include "zol2d_internal.h"

namespace zolsim {

std::vector<Context *> *g_contexts = new std::vector<Context *>;
std::vector<FlipChain *> *g_chains = new std::vector<FlipChain *>;
std::vector<Wrapped *> *g_wrapped = new std::vector<Wrapped *>;

pthread_mutex_t g_tableMu = PTHREAD_MUTEX_INITIALIZER;

namespace {

// The lists go with the library: a process that unloads the module, and with it this library,
// keeps nothing of them. A wrap that a failed ZOL2DMemFree left is only a record of caller memory
// and goes too; the live counts still tell of it.
__attribute__((destructor)) void FreeLists() {
    for (Wrapped *w : *g_wrapped) delete w;
    delete g_contexts;
    delete g_chains;
    delete g_wrapped;
    g_contexts = nullptr;
    g_chains = nullptr;
    g_wrapped = nullptr;
}

}  // namespace

Context *FindContextLocked(ZOL2DCONTEXTHANDLE h) {
    for (Context *c : *g_contexts)
        if (&c->sPub == h) return c;
    return nullptr;
}

FlipChain *FindChainLocked(const Context *c, ZOL2DFLIPCHAINHANDLE h) {
    for (FlipChain *f : *g_chains)
        if (&f->sPub == h && f->psContext == c) return f;
    return nullptr;
}

FlipChain *ChainOfBufferLocked(const Context *c, const ZOL2DMEMINFO *psMemInfo) {
    for (FlipChain *f : *g_chains)
        if (f->psContext == c)
            for (ZOL2DMEMINFO *b : f->buffers)
                if (b == psMemInfo) return f;
    return nullptr;
}

}  // namespace zolsim

using namespace zolsim;

namespace {

constexpr unsigned long kFirstDevID = 100;
constexpr VEK_UINT32 kPhysBase = 0x80000000;

unsigned long g_nextChainID = 1;
VEK_UINT32 g_nextPhys = kPhysBase;

long BytesPerPixel(ZOL2DFORMAT eFormat) {
    switch (eFormat) {
        case ZOL2D_PIXEL_FORMAT_RGB565:
            return 2;
        case ZOL2D_PIXEL_FORMAT_ARGB8888:
            return 4;
        default:
            return 0;
    }
}

ZOLSRV_CLIENT_MEM_INFO *ServicesOf(const ZOL2DMEMINFO *b) {
    return static_cast<ZOLSRV_CLIENT_MEM_INFO *>(b->hPrivateData);
}

void FreeBuffer(ZOL2DMEMINFO *b) {
    zolsim_internal_free(ServicesOf(b));
    delete b;
}

// Tells the services which display the chain's buffers belong to, for the display-class calls.
void PublishChain(const FlipChain *f) {
    std::vector<ZOLSRV_CLIENT_MEM_INFO *> apsBuffers;
    for (ZOL2DMEMINFO *b : f->buffers) apsBuffers.push_back(ServicesOf(b));
    zolsim_internal_dc_chain_set(f->psContext->sPub.hDisplayClassDevice, f->sPub.hDCSwapChain, f->psContext->uiDevIndex,
                                 apsBuffers.data(), (unsigned)apsBuffers.size());
}

// A chain goes once the engine is done with its buffers, as a device waits for its work before it
// takes memory back; the display stops scanning the buffers out.
void FreeChain(FlipChain *f) {
    std::vector<const void *> apvIds;
    for (ZOL2DMEMINFO *b : f->buffers) apvIds.push_back(ServicesOf(b));
    EngineWait(
        [&](const EngineBlit &b) {
            for (const void *pv : apvIds)
                if (b.sSrcMem.pvId == pv || b.asDst[0].pvId == pv || (b.uiDstPlanes > 1 && b.asDst[1].pvId == pv))
                    return true;
            return false;
        },
        false);
    zolsim_internal_dc_chain_remove(f->sPub.hDCSwapChain);
    for (ZOL2DMEMINFO *b : f->buffers) FreeBuffer(b);
    delete f;
    zolsim_internal_live_adjust(ZOLSIM_LIVE_FLIPCHAINS, -1);
}

unsigned ChainsOnDisplayLocked(unsigned uiDevIndex) {
    unsigned n = 0;
    for (const FlipChain *f : *g_chains) n += f->psContext->uiDevIndex == uiDevIndex ? 1 : 0;
    return n;
}

}  // namespace

extern "C" {

int ZOL2DEnumerateDevices(ZOL2DDEVICEINFO *pDevInfo) {
    ENTER("ZOL2DEnumerateDevices");
    const unsigned n = zolsim_internal_2d_device_count();
    if (pDevInfo == nullptr) return (int)n;
    for (unsigned i = 0; i < n; i++) {
        pDevInfo[i].ulDevID = kFirstDevID + i;
        snprintf(pDevInfo[i].szDeviceName, sizeof(pDevInfo[i].szDeviceName), "zolsim display %u", i);
    }
    return ZOL2D_OK;
}

ZOL2DERROR ZOL2DCreateDeviceContext(unsigned long ulDevID, ZOL2DCONTEXTHANDLE *phContext, unsigned long ulFlags) {
    ENTER("ZOL2DCreateDeviceContext");
    zolsim_internal_record_context_device(ulDevID);
    if (ulDevID < kFirstDevID || ulDevID - kFirstDevID >= zolsim_internal_2d_device_count())
        return MISUSE("ZOL2DCreateDeviceContext", "device id %lu is not one that ZOL2DEnumerateDevices listed",
                      ulDevID);
    if (ulFlags != 0) return MISUSE("ZOL2DCreateDeviceContext", "flags 0x%lx, expected 0", ulFlags);
    if (phContext == nullptr) return MISUSE("ZOL2DCreateDeviceContext", "no context handle to fill");
    Context *c = new Context{};
    c->uiDevIndex = (unsigned)(ulDevID - kFirstDevID);
    c->psConnection = zolsim_internal_connect();
    c->sPub.psServices = c->psConnection;
    c->sPub.sDevData.psConnection = c->psConnection;
    c->sPub.sDevData.hDevCookie = &c->displayClassDevice;
    c->sPub.hDisplayClassDevice = &c->displayClassDevice;
    c->sPub.sMiscInfo.ui32StatePresent = ZOLSRV_MISC_INFO_GLOBALEVENTOBJECT_PRESENT;
    c->sPub.sMiscInfo.hOSGlobalEvent = zolsim_internal_connection_event(c->psConnection);
    c->sPub.ulDevID = ulDevID;
    c->sPub.hPrivate = c;
    {
        TableGuard g;
        g_contexts->push_back(c);
    }
    zolsim_internal_live_adjust(ZOLSIM_LIVE_CONTEXTS, 1);
    *phContext = &c->sPub;
    return ZOL2D_OK;
}

// The context goes once the engine has run the blits it submitted.
ZOL2DERROR ZOL2DDestroyDeviceContext(ZOL2DCONTEXTHANDLE hContext) {
    ENTER("ZOL2DDestroyDeviceContext");
    Context *c;
    {
        TableGuard g;
        c = FindContextLocked(hContext);
        if (c == nullptr) return NO_CONTEXT("ZOL2DDestroyDeviceContext", hContext);
        Erase(*g_contexts, c);
    }
    EngineWait([c](const EngineBlit &b) { return b.psContext == c; }, false);
    // Flip chains left behind stay live (and counted), so a leak in the caller shows.
    zolsim_internal_disconnect(c->psConnection);
    delete c;
    zolsim_internal_live_adjust(ZOLSIM_LIVE_CONTEXTS, -1);
    return ZOL2D_OK;
}

// The display of the context's device, for the two information calls.
static ZOL2DERROR DisplayOf(const char *pszCall, ZOL2DCONTEXTHANDLE hContext, const void *pvToFill,
                            unsigned *puiDevIndex) {
    if (pvToFill == nullptr) return MISUSE(pszCall, "no display information to fill");
    TableGuard g;
    Context *c = FindContextLocked(hContext);
    if (c == nullptr) return NO_CONTEXT(pszCall, hContext);
    *puiDevIndex = c->uiDevIndex;
    return ZOL2D_OK;
}

ZOL2DERROR ZOL2DGetDeviceInfo(ZOL2DCONTEXTHANDLE hContext, ZOL2DDISPLAYINFO *psDisplayInfo) {
    ENTER("ZOL2DGetDeviceInfo");
    unsigned uiDevIndex = 0;
    const ZOL2DERROR e = DisplayOf("ZOL2DGetDeviceInfo", hContext, psDisplayInfo, &uiDevIndex);
    if (e == ZOL2D_OK) zolsim_internal_2d_display(uiDevIndex, psDisplayInfo, nullptr);
    return e;
}

ZOL2DERROR ZOL2DGetMiscDisplayInfo(ZOL2DCONTEXTHANDLE hContext, ZOL2DMISCDISPLAYINFO *psMiscDisplayInfo) {
    ENTER("ZOL2DGetMiscDisplayInfo");
    unsigned uiDevIndex = 0;
    const ZOL2DERROR e = DisplayOf("ZOL2DGetMiscDisplayInfo", hContext, psMiscDisplayInfo, &uiDevIndex);
    if (e == ZOL2D_OK) zolsim_internal_2d_display(uiDevIndex, nullptr, psMiscDisplayInfo);
    return e;
}

ZOL2DERROR ZOL2DCreateFlipChain(ZOL2DCONTEXTHANDLE hContext, unsigned long ulFlags, unsigned long ulNumBuffers,
                                unsigned long ulWidth, unsigned long ulHeight, ZOL2DFORMAT eFormat, long *plStride,
                                unsigned long *pulFlipChainID, ZOL2DFLIPCHAINHANDLE *phFlipChain) {
    ENTER("ZOL2DCreateFlipChain");
    ZOLSIM_FLIPCHAIN_RECORD rec = {
        ulFlags, ulNumBuffers, ulWidth, ulHeight, eFormat, plStride != nullptr, pulFlipChainID != nullptr};
    zolsim_internal_record_flipchain(&rec);

    const char *const kCall = "ZOL2DCreateFlipChain";
    if (ulFlags != 0) return MISUSE(kCall, "flags 0x%lx, expected 0", ulFlags);
    if (pulFlipChainID != nullptr) return MISUSE(kCall, "a flip-chain id was asked for; the caller names none");
    if (phFlipChain == nullptr || plStride == nullptr) return MISUSE(kCall, "no chain handle or stride to fill");
    TableGuard g;
    Context *c = FindContextLocked(hContext);
    if (c == nullptr) return NO_CONTEXT(kCall, hContext);
    // A chain is made for its display: at most as many buffers as the display takes, of its format,
    // no larger than it, with its row stride, and no more chains than it reports it can take.
    ZOL2DDISPLAYINFO d;
    zolsim_internal_2d_display(c->uiDevIndex, &d, nullptr);
    // A chain of no buffers is refused like one the display cannot take, but it is not a fault: a
    // caller may pass on a count it was configured with.
    if (ulNumBuffers == 0) return ZOL2DERROR_INVALID_PARAMETER;
    if (ulNumBuffers > d.ulMaxBuffersInChain)
        return MISUSE(kCall, "%lu buffers; the display takes 1 to %lu", ulNumBuffers, d.ulMaxBuffersInChain);
    if (eFormat != d.eFormat) return MISUSE(kCall, "format %d; the display's is %d", (int)eFormat, (int)d.eFormat);
    if (ulWidth == 0 || ulHeight == 0 || ulWidth > d.ulWidth || ulHeight > d.ulHeight)
        return MISUSE(kCall, "%lu x %lu buffers for a %lu x %lu display", ulWidth, ulHeight, d.ulWidth, d.ulHeight);
    if (ChainsOnDisplayLocked(c->uiDevIndex) >= d.ulMaxFlipChains)
        return MISUSE(kCall, "a flip chain more than the %lu the display takes", d.ulMaxFlipChains);
    const long bpp = BytesPerPixel(eFormat);
    if (bpp == 0 || d.lStride < (long)ulWidth * bpp) return ZOL2DERROR_INVALID_PARAMETER;

    const long stride = d.lStride;
    const VEK_SIZE_T size = (VEK_SIZE_T)stride * ulHeight;
    FlipChain *f = new FlipChain{};
    for (unsigned long i = 0; i < ulNumBuffers; i++) {
        ZOLSRV_CLIENT_MEM_INFO *mi;
        if (zolsim_internal_alloc(size, 0, g_nextPhys, &mi) != ZOLSRV_OK) {
            for (ZOL2DMEMINFO *b : f->buffers) FreeBuffer(b);
            delete f;
            return ZOL2DERROR_MEMORY;
        }
        g_nextPhys += (VEK_UINT32)((size + 0xfff) & ~(VEK_SIZE_T)0xfff);
        ZOL2DMEMINFO *b = new ZOL2DMEMINFO{};
        b->pBase = mi->pvLinAddr;
        b->ui32MemSize = (VEK_UINT32)size;
        b->ui32DevAddr = mi->sDevVAddr.uiAddr;
        b->hPrivateData = mi;
        b->hPrivateMapData = mi->hKernelMemInfo;
        f->buffers.push_back(b);
    }
    f->psContext = c;
    f->sPub.hDCSwapChain = &f->swapChain;
    f->sPub.ui32SwapInterval = 1;
    f->sPub.ulFlipChainID = g_nextChainID++;
    f->sPub.hPrivate = f;
    g_chains->push_back(f);
    PublishChain(f);
    zolsim_internal_live_adjust(ZOLSIM_LIVE_FLIPCHAINS, 1);

    const long over = zolsim_internal_flipchain_stride_override();
    *plStride = over != 0 ? over : stride;
    *phFlipChain = &f->sPub;
    return ZOL2D_OK;
}

ZOL2DERROR ZOL2DDestroyFlipChain(ZOL2DCONTEXTHANDLE hContext, ZOL2DFLIPCHAINHANDLE hFlipChain) {
    ENTER("ZOL2DDestroyFlipChain");
    FlipChain *f;
    {
        TableGuard g;
        Context *c = FindContextLocked(hContext);
        if (c == nullptr) return NO_CONTEXT("ZOL2DDestroyFlipChain", hContext);
        f = FindChainLocked(c, hFlipChain);
        if (f == nullptr)
            return MISUSE("ZOL2DDestroyFlipChain", "flip chain %p is not a live chain of the context",
                          (const void *)hFlipChain);
        Erase(*g_chains, f);
    }
    FreeChain(f);
    return ZOL2D_OK;
}

ZOL2DERROR ZOL2DGetFlipChainBuffers(ZOL2DCONTEXTHANDLE hContext, ZOL2DFLIPCHAINHANDLE hFlipChain,
                                    unsigned long *pulBufferCount, ZOL2DMEMINFO **apsMemInfo) {
    ENTER("ZOL2DGetFlipChainBuffers");
    if (pulBufferCount == nullptr) return MISUSE("ZOL2DGetFlipChainBuffers", "no count to fill");
    TableGuard g;
    Context *c = FindContextLocked(hContext);
    if (c == nullptr) return NO_CONTEXT("ZOL2DGetFlipChainBuffers", hContext);
    FlipChain *f = FindChainLocked(c, hFlipChain);
    if (f == nullptr)
        return MISUSE("ZOL2DGetFlipChainBuffers", "flip chain %p is not a live chain of the context",
                      (const void *)hFlipChain);
    const long over = zolsim_internal_flipchain_count_override();
    const unsigned long n = over >= 0 ? (unsigned long)over : f->buffers.size();
    *pulBufferCount = n;
    for (unsigned long i = 0; apsMemInfo != nullptr && i < n && i < f->buffers.size(); i++)
        apsMemInfo[i] = f->buffers[i];
    return ZOL2D_OK;
}

// A flip shows one of the chain's own buffers: it becomes the front buffer, which the display
// reads until its next present.
ZOL2DERROR ZOL2DPresentFlip(ZOL2DCONTEXTHANDLE hContext, ZOL2DFLIPCHAINHANDLE hFlipChain, ZOL2DMEMINFO *psMemInfo,
                            long lRenderID) {
    ENTER("ZOL2DPresentFlip");
    ZOLSIM_PRESENT_RECORD rec = {ZOLSIM_PRESENT_FLIP, hFlipChain, psMemInfo, lRenderID, ZOL2D_OK};
    unsigned uiDisplay = 0;
    VEK_HANDLE hSwapChain = nullptr;
    {
        TableGuard g;
        Context *c = FindContextLocked(hContext);
        FlipChain *f = FindChainLocked(c, hFlipChain);
        if (c == nullptr)
            rec.eResult = NO_CONTEXT("ZOL2DPresentFlip", hContext);
        else if (f == nullptr)
            rec.eResult = MISUSE("ZOL2DPresentFlip", "flip chain %p is not a live chain of the context",
                                 (const void *)hFlipChain);
        else if (ChainOfBufferLocked(c, psMemInfo) != f)
            rec.eResult =
                MISUSE("ZOL2DPresentFlip", "mem-info %p is not a buffer of the flip chain", (const void *)psMemInfo);
        else if (EngineUses(ServicesOf(psMemInfo)))
            rec.eResult =
                MISUSE("ZOL2DPresentFlip", "mem-info %p is still being blitted into", (const void *)psMemInfo);
        else {
            uiDisplay = c->uiDevIndex;
            hSwapChain = f->sPub.hDCSwapChain;
        }
    }
    zolsim_internal_record_present(&rec);
    if (rec.eResult != ZOL2D_OK) return rec.eResult;
    ZOLSRV_CLIENT_MEM_INFO *mi = ServicesOf(psMemInfo);
    zolsim_internal_screen_show(uiDisplay, hSwapChain, mi, zolsim_internal_hw_mutex(mi), psMemInfo->pBase,
                                psMemInfo->ui32MemSize, zolsim_internal_stamp_of(mi));
    return ZOL2D_OK;
}

// A blit copies the library's memory to the context's screen, which shows the copy from then on.
ZOL2DERROR ZOL2DPresentBlt(ZOL2DCONTEXTHANDLE hContext, ZOL2DMEMINFO *psMemInfo, long lRenderID) {
    ENTER("ZOL2DPresentBlt");
    ZOLSIM_PRESENT_RECORD rec = {ZOLSIM_PRESENT_BLIT, nullptr, psMemInfo, lRenderID, ZOL2D_OK};
    unsigned uiDisplay = 0;
    pthread_mutex_t *psHwMutex = nullptr;
    ZOLSRV_CLIENT_MEM_INFO *mi = nullptr;
    {
        TableGuard g;
        Context *c = FindContextLocked(hContext);
        Wrapped *w = c != nullptr ? FindWrappedLocked(c, psMemInfo) : nullptr;
        if (c == nullptr) {
            rec.eResult = NO_CONTEXT("ZOL2DPresentBlt", hContext);
        } else if (w == nullptr && ChainOfBufferLocked(c, psMemInfo) == nullptr) {
            rec.eResult = MISUSE("ZOL2DPresentBlt",
                                 "mem-info %p is neither a flip-chain buffer nor wrapped memory of the context",
                                 (const void *)psMemInfo);
        } else if (EngineUses(w != nullptr ? static_cast<const void *>(w) : ServicesOf(psMemInfo))) {
            rec.eResult = MISUSE("ZOL2DPresentBlt", "mem-info %p is still being blitted into", (const void *)psMemInfo);
        } else {
            uiDisplay = c->uiDevIndex;
            if (w != nullptr) {
                psHwMutex = &w->hwMu;
            } else {
                mi = ServicesOf(psMemInfo);
                psHwMutex = zolsim_internal_hw_mutex(mi);
            }
        }
    }
    zolsim_internal_record_present(&rec);
    if (rec.eResult != ZOL2D_OK) return rec.eResult;
    zolsim_internal_screen_show(uiDisplay, nullptr, nullptr, psHwMutex, psMemInfo->pBase, psMemInfo->ui32MemSize,
                                zolsim_internal_stamp_of(mi));
    return ZOL2D_OK;
}

// The only property this display has is the swap interval: the position and clip arguments
// describe none of its properties and must be 0.
ZOL2DERROR ZOL2DSetPresentFlipProperties(ZOL2DCONTEXTHANDLE hContext, ZOL2DFLIPCHAINHANDLE hFlipChain,
                                         unsigned long ulPropertyMask, long lDstXPos, long lDstYPos,
                                         unsigned long ulNumClipRects, void *psClipRects,
                                         unsigned long ulSwapInterval) {
    ENTER("ZOL2DSetPresentFlipProperties");
    const char *const kCall = "ZOL2DSetPresentFlipProperties";
    ZOLSIM_FLIP_PROPERTIES_RECORD rec = {hFlipChain,     ulPropertyMask, lDstXPos,      lDstYPos,
                                         ulNumClipRects, psClipRects,    ulSwapInterval};
    zolsim_internal_record_flip_properties(&rec);
    if (lDstXPos != 0 || lDstYPos != 0 || ulNumClipRects != 0 || psClipRects != nullptr)
        return MISUSE(kCall, "position (%ld, %ld) and %lu clip rectangles at %p, expected 0, 0, 0 and NULL", lDstXPos,
                      lDstYPos, ulNumClipRects, psClipRects);
    TableGuard g;
    Context *c = FindContextLocked(hContext);
    if (c == nullptr) return NO_CONTEXT(kCall, hContext);
    FlipChain *f = FindChainLocked(c, hFlipChain);
    if (f == nullptr)
        return MISUSE(kCall, "flip chain %p is not a live chain of the context", (const void *)hFlipChain);
    // The interval is what the display-class swaps of this chain are given.
    if (ulPropertyMask & ZOL2D_PRESENT_PROPERTY_INTERVAL) f->sPub.ui32SwapInterval = (VEK_UINT32)ulSwapInterval;
    return ZOL2D_OK;
}

}  // extern "C"
