// libzol2d: the 2D library of the simulated device. Its buffers are services allocations, so
// they carry stamps and sync counters like any other device memory.
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "zol2d_blit.h"
#include "zolsim_internal.h"

namespace {

using zolsim::Erase;

constexpr unsigned long kFirstDevID = 100;
constexpr VEK_UINT32 kPhysBase = 0x80000000;

struct Context {
    ZOL2DCONTEXT sPub;  // first: the handle points at it
    unsigned uiDevIndex;
    ZOLSRV_CONNECTION *psConnection;
    char displayClassDevice;
};

struct FlipChain {
    ZOL2D_FLIPCHAIN sPub;  // first: the handle points at it
    Context *psContext;
    std::vector<ZOL2DMEMINFO *> buffers;
    char swapChain;
};

// Caller memory wrapped as 2D memory.
struct Wrapped {
    ZOL2DMEMINFO sInfo;  // first: the mem-info pointer is the record pointer
    Context *psContext;
};

// A submitted blit whose destination writes have not completed yet.
struct PendingBlit {
    const ZOL2DMEMINFO *psDst;
    ZOLSRV_CLIENT_MEM_INFO *psServicesMem;  // the destination's services memory, if any
};

pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;

std::vector<Context *> *g_contexts = new std::vector<Context *>;
std::vector<FlipChain *> *g_chains = new std::vector<FlipChain *>;
std::vector<Wrapped *> *g_wrapped = new std::vector<Wrapped *>;
std::vector<PendingBlit> *g_pendingBlits = new std::vector<PendingBlit>;

// The lists go with the library: a process that unloads the module, and with it this library,
// keeps nothing of them. A wrap that a failed ZOL2DMemFree left is only a record of caller memory
// and goes too; the live counts still tell of it.
__attribute__((destructor)) void FreeLists() {
    for (Wrapped *w : *g_wrapped) delete w;
    delete g_contexts;
    delete g_chains;
    delete g_wrapped;
    delete g_pendingBlits;
    g_contexts = nullptr;
    g_chains = nullptr;
    g_wrapped = nullptr;
    g_pendingBlits = nullptr;
}

unsigned long g_nextChainID = 1;
VEK_UINT32 g_nextPhys = kPhysBase;

class Guard {
public:
    Guard() { pthread_mutex_lock(&g_mu); }
    ~Guard() { pthread_mutex_unlock(&g_mu); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
};

Context *FindContextLocked(ZOL2DCONTEXTHANDLE h) {
    for (Context *c : *g_contexts)
        if (&c->sPub == h) return c;
    return nullptr;
}

FlipChain *FindChainLocked(Context *c, ZOL2DFLIPCHAINHANDLE h) {
    for (FlipChain *f : *g_chains)
        if (&f->sPub == h && f->psContext == c) return f;
    return nullptr;
}

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

void FreeBuffer(ZOL2DMEMINFO *b) {
    zolsim_internal_free(static_cast<ZOLSRV_CLIENT_MEM_INFO *>(b->hPrivateData));
    delete b;
}

// Tells the services which display the chain's buffers belong to, for the display-class calls.
void PublishChain(const FlipChain *f) {
    std::vector<ZOLSRV_CLIENT_MEM_INFO *> apsBuffers;
    for (ZOL2DMEMINFO *b : f->buffers) apsBuffers.push_back(static_cast<ZOLSRV_CLIENT_MEM_INFO *>(b->hPrivateData));
    zolsim_internal_dc_chain_set(f->psContext->sPub.hDisplayClassDevice, f->sPub.hDCSwapChain, f->psContext->uiDevIndex,
                                 apsBuffers.data(), (unsigned)apsBuffers.size());
}

void FreeChain(FlipChain *f) {
    zolsim_internal_dc_chain_remove(f->sPub.hDCSwapChain);
    for (ZOL2DMEMINFO *b : f->buffers) FreeBuffer(b);
    delete f;
    zolsim_internal_live_adjust(ZOLSIM_LIVE_FLIPCHAINS, -1);
}

Wrapped *FindWrappedLocked(Context *c, const ZOL2DMEMINFO *psMemInfo) {
    for (Wrapped *w : *g_wrapped)
        if (&w->sInfo == psMemInfo && w->psContext == c) return w;
    return nullptr;
}

// Memory the library made or wrapped for the context: what a present may show.
bool KnownMemInfoLocked(Context *c, const ZOL2DMEMINFO *psMemInfo) {
    if (psMemInfo == nullptr) return false;
    if (FindWrappedLocked(c, psMemInfo) != nullptr) return true;
    for (FlipChain *f : *g_chains)
        if (f->psContext == c)
            for (ZOL2DMEMINFO *b : f->buffers)
                if (b == psMemInfo) return true;
    return false;
}

// The CPU view of a device address: wrapped memory first, then the services' memory (flip-chain
// buffers and allocations are services memory).
zolsim::BlitPlane PlaneAtLocked(VEK_UINT32 ui32DevAddr) {
    for (Wrapped *w : *g_wrapped)
        if (ui32DevAddr >= w->sInfo.ui32DevAddr && ui32DevAddr - w->sInfo.ui32DevAddr < w->sInfo.ui32MemSize)
            return zolsim::BlitPlane{
                static_cast<unsigned char *>(w->sInfo.pBase) + (ui32DevAddr - w->sInfo.ui32DevAddr),
                (size_t)(w->sInfo.ui32MemSize - (ui32DevAddr - w->sInfo.ui32DevAddr))};
    VEK_SIZE_T uRoom = 0;
    void *p = zolsim_internal_cpu_address(ui32DevAddr, &uRoom);
    return zolsim::BlitPlane{static_cast<unsigned char *>(p), p != nullptr ? (size_t)uRoom : 0};
}

// A request's surface as the blitter sees it; the first plane is the memory the request names.
bool DescribeSurface(const ZOL2D_SURFACE &s, const ZOL2D_SURFACE_EXT *psExt, zolsim::BlitSurface *psOut) {
    if (s.pSurfMemInfo == nullptr || s.pSurfMemInfo->pBase == nullptr || s.SurfOffset > s.pSurfMemInfo->ui32MemSize)
        return false;
    psOut->asPlanes[0] = zolsim::BlitPlane{static_cast<unsigned char *>(s.pSurfMemInfo->pBase) + s.SurfOffset,
                                           (size_t)(s.pSurfMemInfo->ui32MemSize - s.SurfOffset)};
    psOut->asPlanes[1] = zolsim::BlitPlane{nullptr, 0};
    // The second plane lies uChromaPlane1 bytes past the first, in device addresses.
    if (psExt != nullptr) {
        psOut->asPlanes[1] = PlaneAtLocked(s.pSurfMemInfo->ui32DevAddr + psExt->uChromaPlane1);
        if (psOut->asPlanes[1].pBase == nullptr) return false;
    }
    psOut->lStride = s.Stride;
    psOut->eFormat = s.Format;
    psOut->ulWidth = s.SurfWidth;
    psOut->ulHeight = s.SurfHeight;
    return zolsim::BlitSurfaceFits(*psOut);
}

bool RectInside(const ZOL2DRECT &r, const zolsim::BlitSurface &s) {
    return r.left >= 0 && r.top >= 0 && r.right > r.left && r.bottom > r.top && (unsigned long)r.right <= s.ulWidth &&
           (unsigned long)r.bottom <= s.ulHeight;
}

}  // namespace

#define ENTER(name) ZOLSIM_ENTER(name, ZOL2DERROR)

// Records a misuse of the call and answers the library's error for it.
#define MISUSE(call, ...) (zolsim_internal_misuse(call, __VA_ARGS__), ZOL2DERROR_INVALID_PARAMETER)
#define NO_CONTEXT(call, h) MISUSE(call, "context %p was never made or is already destroyed", (const void *)(h))

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
        Guard g;
        g_contexts->push_back(c);
    }
    zolsim_internal_live_adjust(ZOLSIM_LIVE_CONTEXTS, 1);
    *phContext = &c->sPub;
    return ZOL2D_OK;
}

ZOL2DERROR ZOL2DDestroyDeviceContext(ZOL2DCONTEXTHANDLE hContext) {
    ENTER("ZOL2DDestroyDeviceContext");
    Context *c;
    {
        Guard g;
        c = FindContextLocked(hContext);
        if (c == nullptr) return NO_CONTEXT("ZOL2DDestroyDeviceContext", hContext);
        Erase(*g_contexts, c);
    }
    // Flip chains left behind stay live (and counted), so a leak in the caller shows.
    zolsim_internal_disconnect(c->psConnection);
    delete c;
    zolsim_internal_live_adjust(ZOLSIM_LIVE_CONTEXTS, -1);
    return ZOL2D_OK;
}

ZOL2DERROR ZOL2DGetDeviceInfo(ZOL2DCONTEXTHANDLE hContext, ZOL2DDISPLAYINFO *psDisplayInfo) {
    ENTER("ZOL2DGetDeviceInfo");
    Guard g;
    Context *c = FindContextLocked(hContext);
    if (c == nullptr) return NO_CONTEXT("ZOL2DGetDeviceInfo", hContext);
    if (psDisplayInfo == nullptr) return MISUSE("ZOL2DGetDeviceInfo", "no display information to fill");
    zolsim_internal_2d_display(c->uiDevIndex, psDisplayInfo, nullptr);
    return ZOL2D_OK;
}

ZOL2DERROR ZOL2DGetMiscDisplayInfo(ZOL2DCONTEXTHANDLE hContext, ZOL2DMISCDISPLAYINFO *psMiscDisplayInfo) {
    ENTER("ZOL2DGetMiscDisplayInfo");
    Guard g;
    Context *c = FindContextLocked(hContext);
    if (c == nullptr) return NO_CONTEXT("ZOL2DGetMiscDisplayInfo", hContext);
    if (psMiscDisplayInfo == nullptr) return MISUSE("ZOL2DGetMiscDisplayInfo", "no display information to fill");
    zolsim_internal_2d_display(c->uiDevIndex, nullptr, psMiscDisplayInfo);
    return ZOL2D_OK;
}

ZOL2DERROR ZOL2DCreateFlipChain(ZOL2DCONTEXTHANDLE hContext, unsigned long ulFlags, unsigned long ulNumBuffers,
                                unsigned long ulWidth, unsigned long ulHeight, ZOL2DFORMAT eFormat, long *plStride,
                                unsigned long *pulFlipChainID, ZOL2DFLIPCHAINHANDLE *phFlipChain) {
    ENTER("ZOL2DCreateFlipChain");
    ZOLSIM_FLIPCHAIN_RECORD rec = {
        ulFlags, ulNumBuffers, ulWidth, ulHeight, eFormat, plStride != nullptr, pulFlipChainID != nullptr};
    zolsim_internal_record_flipchain(&rec);

    const char *const kCall = "ZOL2DCreateFlipChain";
    Guard g;
    Context *c = FindContextLocked(hContext);
    if (c == nullptr) return NO_CONTEXT(kCall, hContext);
    if (ulFlags != 0) return MISUSE(kCall, "flags 0x%lx, expected 0", ulFlags);
    if (pulFlipChainID != nullptr) return MISUSE(kCall, "a flip-chain id was asked for; the caller names none");
    if (phFlipChain == nullptr || plStride == nullptr) return MISUSE(kCall, "no chain handle or stride to fill");
    // A chain is made for its display: at most as many buffers as the display takes, of its format,
    // no larger than it, with its row stride.
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
    if (plStride != nullptr) *plStride = over != 0 ? over : stride;
    if (pulFlipChainID != nullptr) *pulFlipChainID = f->sPub.ulFlipChainID;
    *phFlipChain = &f->sPub;
    return ZOL2D_OK;
}

ZOL2DERROR ZOL2DDestroyFlipChain(ZOL2DCONTEXTHANDLE hContext, ZOL2DFLIPCHAINHANDLE hFlipChain) {
    ENTER("ZOL2DDestroyFlipChain");
    FlipChain *f;
    {
        Guard g;
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
    Guard g;
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

// A flip shows one of the chain's own buffers: it becomes the front buffer.
ZOL2DERROR ZOL2DPresentFlip(ZOL2DCONTEXTHANDLE hContext, ZOL2DFLIPCHAINHANDLE hFlipChain, ZOL2DMEMINFO *psMemInfo,
                            long lRenderID) {
    ENTER("ZOL2DPresentFlip");
    ZOLSIM_PRESENT_RECORD rec = {ZOLSIM_PRESENT_FLIP, hFlipChain, psMemInfo, lRenderID, ZOL2D_OK};
    unsigned uiDisplay = 0;
    {
        Guard g;
        Context *c = FindContextLocked(hContext);
        FlipChain *f = FindChainLocked(c, hFlipChain);
        size_t i = 0;
        while (f != nullptr && i < f->buffers.size() && f->buffers[i] != psMemInfo) i++;
        if (c == nullptr)
            rec.eResult = NO_CONTEXT("ZOL2DPresentFlip", hContext);
        else if (f == nullptr)
            rec.eResult = MISUSE("ZOL2DPresentFlip", "flip chain %p is not a live chain of the context",
                                 (const void *)hFlipChain);
        else if (i == f->buffers.size())
            rec.eResult =
                MISUSE("ZOL2DPresentFlip", "mem-info %p is not a buffer of the flip chain", (const void *)psMemInfo);
        else
            uiDisplay = f->psContext->uiDevIndex;
    }
    zolsim_internal_record_present(&rec);
    if (rec.eResult != ZOL2D_OK) return rec.eResult;
    ZOLSRV_CLIENT_MEM_INFO *mi = static_cast<ZOLSRV_CLIENT_MEM_INFO *>(psMemInfo->hPrivateData);
    zolsim_internal_screen_show(uiDisplay, psMemInfo->pBase, psMemInfo->ui32MemSize, zolsim_internal_stamp_of(mi));
    return ZOL2D_OK;
}

// A blit copies any 2D memory to the context's screen.
ZOL2DERROR ZOL2DPresentBlt(ZOL2DCONTEXTHANDLE hContext, ZOL2DMEMINFO *psMemInfo, long lRenderID) {
    ENTER("ZOL2DPresentBlt");
    ZOLSIM_PRESENT_RECORD rec = {ZOLSIM_PRESENT_BLIT, nullptr, psMemInfo, lRenderID, ZOL2D_OK};
    unsigned uiDisplay = 0;
    {
        Guard g;
        Context *c = FindContextLocked(hContext);
        if (c == nullptr)
            rec.eResult = NO_CONTEXT("ZOL2DPresentBlt", hContext);
        else if (!KnownMemInfoLocked(c, psMemInfo))
            rec.eResult = MISUSE("ZOL2DPresentBlt",
                                 "mem-info %p is neither a flip-chain buffer nor wrapped memory of the context",
                                 (const void *)psMemInfo);
        else
            uiDisplay = c->uiDevIndex;
    }
    zolsim_internal_record_present(&rec);
    if (rec.eResult != ZOL2D_OK) return rec.eResult;
    ZOLSRV_CLIENT_MEM_INFO *mi = static_cast<ZOLSRV_CLIENT_MEM_INFO *>(psMemInfo->hPrivateData);
    zolsim_internal_screen_show(uiDisplay, psMemInfo->pBase, psMemInfo->ui32MemSize, zolsim_internal_stamp_of(mi));
    return ZOL2D_OK;
}

ZOL2DERROR ZOL2DSetPresentFlipProperties(ZOL2DCONTEXTHANDLE hContext, ZOL2DFLIPCHAINHANDLE hFlipChain,
                                         unsigned long ulPropertyMask, long lDstXPos, long lDstYPos,
                                         unsigned long ulNumClipRects, void *psClipRects,
                                         unsigned long ulSwapInterval) {
    ENTER("ZOL2DSetPresentFlipProperties");
    ZOLSIM_FLIP_PROPERTIES_RECORD rec = {hFlipChain,     ulPropertyMask, lDstXPos,      lDstYPos,
                                         ulNumClipRects, psClipRects,    ulSwapInterval};
    zolsim_internal_record_flip_properties(&rec);
    Guard g;
    Context *c = FindContextLocked(hContext);
    if (c == nullptr) return NO_CONTEXT("ZOL2DSetPresentFlipProperties", hContext);
    FlipChain *f = FindChainLocked(c, hFlipChain);
    if (f == nullptr)
        return MISUSE("ZOL2DSetPresentFlipProperties", "flip chain %p is not a live chain of the context",
                      (const void *)hFlipChain);
    // The interval is what the display-class swaps of this chain are given.
    if (ulPropertyMask & ZOL2D_PRESENT_PROPERTY_INTERVAL) f->sPub.ui32SwapInterval = (VEK_UINT32)ulSwapInterval;
    return ZOL2D_OK;
}

ZOL2DERROR ZOL2DMemFree(ZOL2DCONTEXTHANDLE hContext, ZOL2DMEMINFO *psMemInfo) {
    ENTER("ZOL2DMemFree");
    FlipChain *emptied = nullptr;
    {
        Guard g;
        Context *c = FindContextLocked(hContext);
        if (c == nullptr) return NO_CONTEXT("ZOL2DMemFree", hContext);
        if (Wrapped *w = FindWrappedLocked(c, psMemInfo)) {
            Erase(*g_wrapped, w);
            // Blits still writing into it are abandoned with it.
            for (size_t i = 0; i < g_pendingBlits->size();)
                if ((*g_pendingBlits)[i].psDst == psMemInfo)
                    g_pendingBlits->erase(g_pendingBlits->begin() + (long)i);
                else
                    i++;
            delete w;
            zolsim_internal_live_adjust(ZOLSIM_LIVE_WRAPPED, -1);
            return ZOL2D_OK;
        }
        bool found = false;
        for (FlipChain *f : *g_chains) {
            if (f->psContext == c && Erase(f->buffers, psMemInfo)) {
                found = true;
                if (f->buffers.empty()) {
                    Erase(*g_chains, f);
                    emptied = f;
                } else {
                    PublishChain(f);
                }
                break;
            }
        }
        if (!found)
            return MISUSE("ZOL2DMemFree",
                          "mem-info %p is neither wrapped memory nor a flip-chain buffer of the context",
                          (const void *)psMemInfo);
    }
    FreeBuffer(psMemInfo);
    if (emptied != nullptr) FreeChain(emptied);
    return ZOL2D_OK;
}

ZOL2DERROR ZOL2DMemWrap(ZOL2DCONTEXTHANDLE hContext, void *pMem, unsigned long ulFlags, unsigned long ulSize,
                        VEK_SYS_PHYADDR *psPageAddrs, ZOL2DMEMINFO **ppsMemInfo) {
    (void)ulFlags;
    (void)psPageAddrs;
    ENTER("ZOL2DMemWrap");
    zolsim_internal_record_wrap(ulSize);
    if (pMem == nullptr || ulSize == 0 || (unsigned long)(VEK_UINT32)ulSize != ulSize || ppsMemInfo == nullptr)
        return MISUSE("ZOL2DMemWrap", "memory %p of %lu bytes cannot be wrapped", pMem, ulSize);
    const VEK_UINT32 ui32DevAddr = zolsim_internal_reserve_dev_vaddr(ulSize);
    Guard g;
    Context *c = FindContextLocked(hContext);
    if (c == nullptr) return NO_CONTEXT("ZOL2DMemWrap", hContext);
    Wrapped *w = new Wrapped{};
    w->sInfo.pBase = pMem;
    w->sInfo.ui32MemSize = (VEK_UINT32)ulSize;
    w->sInfo.ui32DevAddr = ui32DevAddr;
    w->psContext = c;
    g_wrapped->push_back(w);
    zolsim_internal_live_adjust(ZOLSIM_LIVE_WRAPPED, 1);
    *ppsMemInfo = &w->sInfo;
    return ZOL2D_OK;
}

ZOL2DERROR ZOL2DBlt3DExt(ZOL2DCONTEXTHANDLE hContext, const ZOL2D_3DBLT_EXT *psBlt) {
    ENTER("ZOL2DBlt3DExt");
    if (psBlt == nullptr) return ZOL2DERROR_INVALID_PARAMETER;
    const ZOL2D_SURFACE &d = psBlt->sDst, &src = psBlt->sSrc;
    ZOLSIM_BLIT_RECORD rec = {d.Format,
                              src.Format,
                              d.Stride,
                              src.Stride,
                              d.SurfWidth,
                              d.SurfHeight,
                              src.SurfWidth,
                              src.SurfHeight,
                              psBlt->rcDest,
                              psBlt->rcSource,
                              d.pSurfMemInfo != nullptr ? d.pSurfMemInfo->ui32DevAddr : 0,
                              src.pSurfMemInfo != nullptr ? src.pSurfMemInfo->ui32DevAddr : 0,
                              psBlt->bDisableDestInput,
                              psBlt->pDstExt != nullptr,
                              psBlt->pDstExt != nullptr ? psBlt->pDstExt->uChromaPlane1 : 0};
    zolsim_internal_record_blit(&rec);

    if (!zolsim::BlitFormatKnown(d.Format) || !zolsim::BlitFormatKnown(src.Format)) return ZOL2DERROR_INVALID_PARAMETER;
    // An NV12 destination needs its chroma plane.
    if ((d.Format == ZOL2D_BLT_FORMAT_NV12) != (psBlt->pDstExt != nullptr)) return ZOL2DERROR_INVALID_PARAMETER;
    zolsim::BlitSurface sDst, sSrc;
    ZOLSRV_CLIENT_MEM_INFO *psServicesMem;
    {
        Guard g;
        if (FindContextLocked(hContext) == nullptr) return NO_CONTEXT("ZOL2DBlt3DExt", hContext);
        if (!DescribeSurface(d, psBlt->pDstExt, &sDst) || !DescribeSurface(src, nullptr, &sSrc) ||
            !RectInside(psBlt->rcSource, sSrc) || psBlt->rcDest.right <= psBlt->rcDest.left ||
            psBlt->rcDest.bottom <= psBlt->rcDest.top)
            return ZOL2DERROR_INVALID_PARAMETER;
        psServicesMem = static_cast<ZOLSRV_CLIENT_MEM_INFO *>(d.pSurfMemInfo->hPrivateData);
        if (psServicesMem != nullptr) zolsim_internal_gpu_write_begin(psServicesMem);
        g_pendingBlits->push_back(PendingBlit{d.pSurfMemInfo, psServicesMem});
    }
    // The pixels land now, outside the library's tables' lock: the blit engine takes turns with
    // other hardware only on the two buffers. The destination's write stays pending until the
    // blits are queried.
    zolsim_internal_hw_access_begin(d.pSurfMemInfo->pBase, src.pSurfMemInfo->pBase);
    zolsim::BlitConvert(sDst, psBlt->rcDest, sSrc, psBlt->rcSource);
    zolsim_internal_hw_access_end(d.pSurfMemInfo->pBase, src.pSurfMemInfo->pBase);
    return ZOL2D_OK;
}

ZOL2DERROR ZOL2DQueryBlitsComplete(ZOL2DCONTEXTHANDLE hContext, const ZOL2DMEMINFO *psMemInfo, unsigned long ulFlags) {
    ENTER("ZOL2DQueryBlitsComplete");
    Guard g;
    if (FindContextLocked(hContext) == nullptr) return NO_CONTEXT("ZOL2DQueryBlitsComplete", hContext);
    if (psMemInfo == nullptr) return MISUSE("ZOL2DQueryBlitsComplete", "no destination");
    bool bPending = false;
    for (size_t i = 0; i < g_pendingBlits->size();) {
        const PendingBlit &b = (*g_pendingBlits)[i];
        if (b.psDst != psMemInfo) {
            i++;
        } else if (ulFlags & ZOL2D_QUERY_WAIT) {
            // A blit still converting into the destination finishes first.
            zolsim_internal_hw_access_begin(psMemInfo->pBase, nullptr);
            zolsim_internal_hw_access_end(psMemInfo->pBase, nullptr);
            if (b.psServicesMem != nullptr) zolsim_internal_gpu_write_end(b.psServicesMem);
            g_pendingBlits->erase(g_pendingBlits->begin() + (long)i);
        } else {
            bPending = true;
            i++;
        }
    }
    return bPending ? ZOL2DERROR_GENERIC_ERROR : ZOL2D_OK;
}

unsigned zolsim_blits_pending(void) {
    Guard g;
    return (unsigned)g_pendingBlits->size();
}

}  // extern "C"
