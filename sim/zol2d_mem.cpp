// The simulated 2D library's memory: caller memory wrapped as 2D memory, the memory descriptions
// its callers hand over, and the 3D blit requests, which it checks and gives to the 2D engine.
#include <string.h>

#include "zol2d_internal.h"

namespace zolsim {

Wrapped *FindWrappedLocked(const Context *c, const ZOL2DMEMINFO *psMemInfo) {
    for (Wrapped *w : *g_wrapped)
        if (&w->sInfo == psMemInfo && w->psContext == c) return w;
    return nullptr;
}

namespace {

HwMemory OfServices(ZOLSRV_CLIENT_MEM_INFO *psServices, unsigned char *pucBase, size_t uRoom) {
    return HwMemory{BlitPlane{pucBase, uRoom}, psServices, psServices, zolsim_internal_hw_mutex(psServices)};
}

HwMemory OfWrapped(Wrapped *w, VEK_UINT32 ui32Offset) {
    return HwMemory{BlitPlane{static_cast<unsigned char *>(w->sInfo.pBase) + ui32Offset,
                              (size_t)(w->sInfo.ui32MemSize - ui32Offset)},
                    nullptr, w, &w->hwMu};
}

}  // namespace

bool ResolveLocked(const char *pszCall, const Context *c, const ZOL2DMEMINFO *psMemInfo, HwMemory *psOut) {
    if (psMemInfo == nullptr) {
        zolsim_internal_misuse(pszCall, "no memory");
        return false;
    }
    if (Wrapped *w = FindWrappedLocked(c, psMemInfo)) {
        *psOut = OfWrapped(w, 0);
        return true;
    }
    ZOLSRV_CLIENT_MEM_INFO *psServices = static_cast<ZOLSRV_CLIENT_MEM_INFO *>(psMemInfo->hPrivateData);
    if (ChainOfBufferLocked(c, psMemInfo) != nullptr) {
        *psOut = OfServices(psServices, static_cast<unsigned char *>(psMemInfo->pBase), psMemInfo->ui32MemSize);
        return true;
    }
    // The caller's own description of services memory must be the services' own account of it.
    ZOLSRV_CLIENT_MEM_INFO sLive;
    if (psServices == nullptr || !zolsim_internal_mem_info(psServices, &sLive)) {
        zolsim_internal_misuse(pszCall,
                               "mem-info %p is neither wrapped memory nor a flip-chain buffer of the context, nor "
                               "describes live services memory (%p)",
                               (const void *)psMemInfo, (const void *)psServices);
        return false;
    }
    if (psMemInfo->pBase != sLive.pvLinAddr || psMemInfo->ui32DevAddr != sLive.sDevVAddr.uiAddr ||
        psMemInfo->ui32MemSize != sLive.uAllocSize || psMemInfo->ulFlags != 0 ||
        psMemInfo->hPrivateMapData != sLive.hKernelMemInfo) {
        zolsim_internal_misuse(pszCall,
                               "mem-info %p describes services memory %p otherwise than the services do (address %p, "
                               "device address 0x%x, %u bytes, flags 0x%lx)",
                               (const void *)psMemInfo, (const void *)psServices, psMemInfo->pBase,
                               psMemInfo->ui32DevAddr, psMemInfo->ui32MemSize, psMemInfo->ulFlags);
        return false;
    }
    *psOut = OfServices(psServices, static_cast<unsigned char *>(psMemInfo->pBase), psMemInfo->ui32MemSize);
    return true;
}

bool MemoryAtLocked(const Context *c, VEK_UINT32 ui32DevAddr, HwMemory *psOut) {
    for (Wrapped *w : *g_wrapped)
        if (w->psContext == c && ui32DevAddr >= w->sInfo.ui32DevAddr &&
            ui32DevAddr - w->sInfo.ui32DevAddr < w->sInfo.ui32MemSize) {
            *psOut = OfWrapped(w, ui32DevAddr - w->sInfo.ui32DevAddr);
            return true;
        }
    VEK_SIZE_T uRoom = 0;
    ZOLSRV_CLIENT_MEM_INFO *psServices = nullptr;
    void *pv = zolsim_internal_cpu_address(ui32DevAddr, &uRoom, &psServices);
    if (pv == nullptr) return false;
    *psOut = OfServices(psServices, static_cast<unsigned char *>(pv), (size_t)uRoom);
    return true;
}

}  // namespace zolsim

using namespace zolsim;

namespace {

// A request's surface as the blitter sees it; the first plane is the memory the request names,
// the second (NV12) lies uChromaPlane1 bytes past it in device addresses.
bool DescribeSurfaceLocked(const char *pszCall, const Context *c, const ZOL2D_SURFACE &s,
                           const ZOL2D_SURFACE_EXT *psExt, const char *pszWhich, BlitSurface *psOut, HwMemory *asMem) {
    if (!ResolveLocked(pszCall, c, s.pSurfMemInfo, &asMem[0])) return false;
    if (s.SurfOffset >= asMem[0].sPlane.uRoom) {
        zolsim_internal_misuse(pszCall, "%s offset %u lies past its memory", pszWhich, s.SurfOffset);
        return false;
    }
    asMem[0].sPlane.pBase += s.SurfOffset;
    asMem[0].sPlane.uRoom -= s.SurfOffset;
    psOut->asPlanes[0] = asMem[0].sPlane;
    psOut->asPlanes[1] = BlitPlane{nullptr, 0};
    if (psExt != nullptr) {
        if (!MemoryAtLocked(c, s.pSurfMemInfo->ui32DevAddr + psExt->uChromaPlane1, &asMem[1])) {
            zolsim_internal_misuse(pszCall, "the %s's second plane, 0x%x bytes past its first, is no memory", pszWhich,
                                   psExt->uChromaPlane1);
            return false;
        }
        psOut->asPlanes[1] = asMem[1].sPlane;
    }
    psOut->lStride = s.Stride;
    psOut->eFormat = s.Format;
    psOut->ulWidth = s.SurfWidth;
    psOut->ulHeight = s.SurfHeight;
    if (!BlitSurfaceFits(*psOut)) {
        zolsim_internal_misuse(pszCall, "the %s's %lu rows of %ld bytes (%lu pixels) do not fit its memory", pszWhich,
                               psOut->ulHeight, psOut->lStride, psOut->ulWidth);
        return false;
    }
    return true;
}

// A rectangle of at least one pixel, inside its surface: a blitter writes where it is told.
bool RectInside(const char *pszCall, const char *pszWhich, const ZOL2DRECT &r, const BlitSurface &s) {
    if (r.left >= 0 && r.top >= 0 && r.right > r.left && r.bottom > r.top && (unsigned long)r.right <= s.ulWidth &&
        (unsigned long)r.bottom <= s.ulHeight)
        return true;
    zolsim_internal_misuse(pszCall, "%s rectangle (%ld,%ld)-(%ld,%ld) does not lie inside its %lu x %lu surface",
                           pszWhich, r.left, r.top, r.right, r.bottom, s.ulWidth, s.ulHeight);
    return false;
}

// The fields of a request that this library has no use for, and that must be zero.
bool UnusedFieldsZero(const char *pszCall, const ZOL2D_3DBLT_EXT &b) {
    bool bZero = b.pSrc2 == nullptr && b.prcSource2 == nullptr && b.hUseCode == nullptr && b.UseParams[0] == 0 &&
                 b.UseParams[1] == 0 && b.uiNumTemporaryRegisters == 0 && b.pSrcExt == nullptr;
    for (VEK_UINT32 ui32 : b.Reserved) bZero = bZero && ui32 == 0;
    if (b.pDstExt != nullptr) {
        bZero = bZero && b.pDstExt->uChromaPlane2 == 0;
        for (VEK_UINT32 ui32 : b.pDstExt->Reserved) bZero = bZero && ui32 == 0;
    }
    if (!bZero)
        zolsim_internal_misuse(pszCall,
                               "a field without use here is set (second source, use code, its parameters, temporary "
                               "registers, a source extension, a third plane or a reserved word)");
    return bZero;
}

}  // namespace

extern "C" {

// Frees wrapped memory, or a buffer of the context's flip chains (which goes with its last buffer).
// Memory that a queued blit still reads or writes is not freed: the engine would use it after.
ZOL2DERROR ZOL2DMemFree(ZOL2DCONTEXTHANDLE hContext, ZOL2DMEMINFO *psMemInfo) {
    ENTER("ZOL2DMemFree");
    const char *const kCall = "ZOL2DMemFree";
    FlipChain *emptied = nullptr;
    {
        TableGuard g;
        Context *c = FindContextLocked(hContext);
        if (c == nullptr) return NO_CONTEXT(kCall, hContext);
        if (Wrapped *w = FindWrappedLocked(c, psMemInfo)) {
            if (EngineUses(w)) return MISUSE(kCall, "wrapped memory %p is still in use by a blit", (void *)psMemInfo);
            Erase(*g_wrapped, w);
            delete w;
            zolsim_internal_live_adjust(ZOLSIM_LIVE_WRAPPED, -1);
            return ZOL2D_OK;
        }
        FlipChain *f = ChainOfBufferLocked(c, psMemInfo);
        if (f == nullptr)
            return MISUSE(kCall, "mem-info %p is neither wrapped memory nor a flip-chain buffer of the context",
                          (const void *)psMemInfo);
        if (EngineUses(psMemInfo->hPrivateData))
            return MISUSE(kCall, "flip-chain buffer %p is still in use by a blit", (const void *)psMemInfo);
        Erase(f->buffers, psMemInfo);
        if (f->buffers.empty()) {
            Erase(*g_chains, f);
            emptied = f;
        } else {
            std::vector<ZOLSRV_CLIENT_MEM_INFO *> apsBuffers;
            for (ZOL2DMEMINFO *b : f->buffers)
                apsBuffers.push_back(static_cast<ZOLSRV_CLIENT_MEM_INFO *>(b->hPrivateData));
            zolsim_internal_dc_chain_set(c->sPub.hDisplayClassDevice, f->sPub.hDCSwapChain, c->uiDevIndex,
                                         apsBuffers.data(), (unsigned)apsBuffers.size());
        }
    }
    zolsim_internal_free(static_cast<ZOLSRV_CLIENT_MEM_INFO *>(psMemInfo->hPrivateData));
    delete psMemInfo;
    if (emptied != nullptr) {
        zolsim_internal_dc_chain_remove(emptied->sPub.hDCSwapChain);
        delete emptied;
        zolsim_internal_live_adjust(ZOLSIM_LIVE_FLIPCHAINS, -1);
    }
    return ZOL2D_OK;
}

// Caller memory as 2D memory: flags 0 and no page list, the only form this library takes.
ZOL2DERROR ZOL2DMemWrap(ZOL2DCONTEXTHANDLE hContext, void *pMem, unsigned long ulFlags, unsigned long ulSize,
                        VEK_SYS_PHYADDR *psPageAddrs, ZOL2DMEMINFO **ppsMemInfo) {
    ENTER("ZOL2DMemWrap");
    const char *const kCall = "ZOL2DMemWrap";
    zolsim_internal_record_wrap(ulSize);
    if (ulFlags != 0) return MISUSE(kCall, "flags 0x%lx, expected 0", ulFlags);
    if (psPageAddrs != nullptr) return MISUSE(kCall, "a page-address list %p, expected none", (void *)psPageAddrs);
    if (pMem == nullptr || ulSize == 0 || (unsigned long)(VEK_UINT32)ulSize != ulSize || ppsMemInfo == nullptr)
        return MISUSE(kCall, "memory %p of %lu bytes cannot be wrapped", pMem, ulSize);
    Wrapped *w;
    {
        TableGuard g;
        Context *c = FindContextLocked(hContext);
        if (c == nullptr) return NO_CONTEXT(kCall, hContext);
        w = new Wrapped{};
        w->sInfo.pBase = pMem;
        w->sInfo.ui32MemSize = (VEK_UINT32)ulSize;
        w->sInfo.ui32DevAddr = zolsim_internal_reserve_dev_vaddr(ulSize);
        w->psContext = c;
        g_wrapped->push_back(w);
    }
    zolsim_internal_live_adjust(ZOLSIM_LIVE_WRAPPED, 1);
    *ppsMemInfo = &w->sInfo;
    return ZOL2D_OK;
}

// Checks the request and queues it for the 2D engine, which writes the destination later. A format
// the blitter does not know is refused without a fault: a caller may ask for a copy into a format
// with no 2D code and take the refusal.
ZOL2DERROR ZOL2DBlt3DExt(ZOL2DCONTEXTHANDLE hContext, const ZOL2D_3DBLT_EXT *psBlt) {
    ENTER("ZOL2DBlt3DExt");
    const char *const kCall = "ZOL2DBlt3DExt";
    if (psBlt == nullptr) return MISUSE(kCall, "no request");
    const ZOL2D_3DBLT_EXT sBlt = *psBlt;
    const ZOL2D_SURFACE &d = sBlt.sDst, &src = sBlt.sSrc;
    ZOLSIM_BLIT_RECORD rec = {d.Format,
                              src.Format,
                              d.Stride,
                              src.Stride,
                              d.SurfWidth,
                              d.SurfHeight,
                              src.SurfWidth,
                              src.SurfHeight,
                              sBlt.rcDest,
                              sBlt.rcSource,
                              d.pSurfMemInfo != nullptr ? d.pSurfMemInfo->ui32DevAddr : 0,
                              src.pSurfMemInfo != nullptr ? src.pSurfMemInfo->ui32DevAddr : 0,
                              sBlt.bDisableDestInput,
                              sBlt.pDstExt != nullptr,
                              sBlt.pDstExt != nullptr ? sBlt.pDstExt->uChromaPlane1 : 0};
    zolsim_internal_record_blit(&rec);

    if (!UnusedFieldsZero(kCall, sBlt)) return ZOL2DERROR_INVALID_PARAMETER;
    if (!BlitFormatKnown(d.Format) || !BlitFormatKnown(src.Format)) return ZOL2DERROR_INVALID_PARAMETER;
    // An NV12 destination, and only it, comes with its chroma plane, whose old content is not read.
    if ((d.Format == ZOL2D_BLT_FORMAT_NV12) != (sBlt.pDstExt != nullptr))
        return MISUSE(kCall, "destination format 0x%lx %s a destination extension", d.Format,
                      sBlt.pDstExt != nullptr ? "with" : "without");
    if (sBlt.bDisableDestInput != (sBlt.pDstExt != nullptr ? 1 : 0))
        return MISUSE(kCall, "bDisableDestInput %d for a destination of %d planes", (int)sBlt.bDisableDestInput,
                      sBlt.pDstExt != nullptr ? 2 : 1);
    EngineBlit sRun{};
    {
        TableGuard g;
        Context *c = FindContextLocked(hContext);
        if (c == nullptr) return NO_CONTEXT(kCall, hContext);
        HwMemory asSrc[2];
        if (!DescribeSurfaceLocked(kCall, c, d, sBlt.pDstExt, "destination", &sRun.sDst, sRun.asDst) ||
            !DescribeSurfaceLocked(kCall, c, src, nullptr, "source", &sRun.sSrc, asSrc) ||
            !RectInside(kCall, "source", sBlt.rcSource, sRun.sSrc) ||
            !RectInside(kCall, "destination", sBlt.rcDest, sRun.sDst))
            return ZOL2DERROR_INVALID_PARAMETER;
        sRun.psContext = c;
        sRun.ui32DstDevAddr = d.pSurfMemInfo->ui32DevAddr;
        sRun.uiDstPlanes = sBlt.pDstExt != nullptr ? 2 : 1;
        sRun.sSrcMem = asSrc[0];
        sRun.rcDest = sBlt.rcDest;
        sRun.rcSource = sBlt.rcSource;
    }
    EngineSubmit(sRun);
    return ZOL2D_OK;
}

// With ZOL2D_QUERY_WAIT: returns once the engine has run every blit of the context into the
// destination; without: answers whether one is still to run.
ZOL2DERROR ZOL2DQueryBlitsComplete(ZOL2DCONTEXTHANDLE hContext, const ZOL2DMEMINFO *psMemInfo, unsigned long ulFlags) {
    ENTER("ZOL2DQueryBlitsComplete");
    const char *const kCall = "ZOL2DQueryBlitsComplete";
    if (ulFlags != 0 && ulFlags != ZOL2D_QUERY_WAIT) return MISUSE(kCall, "flags 0x%lx, expected 0 or 1", ulFlags);
    const Context *c;
    {
        TableGuard g;
        c = FindContextLocked(hContext);
        if (c == nullptr) return NO_CONTEXT(kCall, hContext);
        HwMemory sMem;
        if (!ResolveLocked(kCall, c, psMemInfo, &sMem)) return ZOL2DERROR_INVALID_PARAMETER;
    }
    const VEK_UINT32 ui32DevAddr = psMemInfo->ui32DevAddr;
    auto fnMatch = [c, ui32DevAddr](const EngineBlit &b) {
        return b.psContext == c && b.ui32DstDevAddr == ui32DevAddr;
    };
    if (!(ulFlags & ZOL2D_QUERY_WAIT)) return EngineHas(fnMatch) ? ZOL2DERROR_GENERIC_ERROR : ZOL2D_OK;
    EngineWait(fnMatch, true);
    return ZOL2D_OK;
}

}  // extern "C"
