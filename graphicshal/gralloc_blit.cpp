/* The blit extension: GPU copies of a buffer into caller memory or into another buffer. */
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "framebuffer.h"
#include "gralloc.h"
#include "gralloc_defer.h"
#include "gralloc_internal.h"
#include "hal.h"

/* ---- Blits ---- */

/* The 2D library's code for blits to or from "no 2D format". */
#define VEK_ZOL2D_FORMAT_NONE 255

ZOL2DFORMAT HAL2ZOL2DPixelFormat(int format) {
    const VEK_buffer_format_t *psFormat = GetBufferFormat(format);
    if (psFormat == nullptr || psFormat->iZOL2DFormat == 0) return VEK_ZOL2D_FORMAT_NONE;
    return psFormat->iZOL2DFormat;
}

/* A buffer the 2D engine can reach through this process's mapping of every plane. */
static VEK_BOOL MappedWhole(const VEK_mapper_meminfo_t *psMapperMemInfo) {
    return psMapperMemInfo != nullptr && psMapperMemInfo->apsMemInfo[0] != nullptr &&
           MappingComplete(psMapperMemInfo, psMapperMemInfo->aiFd);
}

/* The 2D library's description of a plane's services memory. */
static void DescribeServicesMemory(ZOLSRV_CLIENT_MEM_INFO *psMemInfo, ZOL2DMEMINFO *psOut) {
    memset(psOut, 0, sizeof(*psOut));
    psOut->pBase = psMemInfo->pvLinAddr;
    psOut->ui32MemSize = (VEK_UINT32)psMemInfo->uAllocSize;
    psOut->ui32DevAddr = psMemInfo->sDevVAddr.uiAddr;
    psOut->ulFlags = 0;
    psOut->hPrivateData = psMemInfo;
    psOut->hPrivateMapData = psMemInfo->hKernelMemInfo;
}

/* Plane 0 of a buffer of the format with this size, laid out in rows of ui64StridePixels, in
   memory of ui64PlaneBytes: the format's geometry must keep the width and height, and the rows it
   describes must fit the memory, since the GPU reaches all of them. The stride comes back in
   bytes. */
static int Plane0Geometry(const VEK_buffer_format_t *psFormat, int iWidth, int iHeight, VEK_UINT64 ui64StridePixels,
                          VEK_UINT64 ui64PlaneBytes, int *piStride) {
    VEK_plane_geometry_t sPlane;

    if (psFormat->pfnComputeParams == nullptr) return -EINVAL;
    if (!PlaneGeometry(psFormat, 0, iWidth, iHeight, ui64StridePixels, &sPlane)) return -EINVAL;
    if (sPlane.iWidth != iWidth || sPlane.iHeight != iHeight || sPlane.ui64Bytes > ui64PlaneBytes) return -EINVAL;
    *piStride = sPlane.iStride;
    return 0;
}

/* A buffer with no pixels gives the 2D engine nothing to copy: it is refused before any call. */
static VEK_BOOL HasPixels(const VEK_native_handle_t *psNativeHandle) {
    return psNativeHandle->iWidth > 0 && psNativeHandle->iHeight > 0 ? VEK_TRUE : VEK_FALSE;
}

/* How often a wait for a blit that fails is made again before the GPU is reported stalled. */
#define VEK_BLIT_WAIT_TRIES 50u

/* Returns once the 2D library vouches that the blits into the destination are complete. A wait that
   fails vouches for nothing: it is made again after the next event of the GPU, as a lock's waits
   are. After the 50th the GPU is reported stalled, and -ETIMEDOUT tells the caller that the blit
   may still be writing the destination. */
static int WaitForBlits(VEK_private_data_t *psPrivateData, ZOL2DMEMINFO *psDest) {
    for (VEK_UINT32 ui32TriesLeft = VEK_BLIT_WAIT_TRIES;;) {
        if (ZOL2DQueryBlitsComplete(psPrivateData->hContext, psDest, ZOL2D_QUERY_WAIT) == ZOL2D_OK) return 0;
        if (--ui32TriesLeft == 0) break;
        ZOLSRVEventObjectWait(psPrivateData->sDevData.psConnection, psPrivateData->sHQTInfo.sMiscInfo.hOSGlobalEvent);
    }
    ZOLSRVClientEvent(ZOLSRV_CLIENT_EVENT_HWTIMEOUT, &psPrivateData->sDevData, ModuleOfPrivateData(psPrivateData));
    return -ETIMEDOUT;
}

/* Caller memory wrapped for a blit: the planes in order, NULL once given back. */
typedef struct {
    ZOL2DMEMINFO *apsWrap[VEK_NATIVE_HANDLE_NUM_FDS_MAX];
} VEK_wrapped_planes_t;

int Free2DMemories(VEK_private_data_t *psPrivateData, ZOL2DMEMINFO **apsMemInfo, VEK_UINT32 ui32Count) {
    int iErr = 0;
    for (VEK_UINT32 i = ui32Count; i-- > 0;) {
        if (apsMemInfo[i] == nullptr) continue;
        if (ZOL2DMemFree(psPrivateData->hContext, apsMemInfo[i]) == ZOL2D_OK)
            apsMemInfo[i] = nullptr;
        else
            iErr = -EFAULT;
    }
    return iErr;
}

/* Frees every wrap still held: -EINVAL when the 2D library refused one. */
static int FreeWraps(VEK_private_data_t *psPrivateData, VEK_wrapped_planes_t *psWrapped) {
    return Free2DMemories(psPrivateData, psWrapped->apsWrap, VEK_NATIVE_HANDLE_NUM_FDS_MAX) == 0 ? 0 : -EINVAL;
}

VEK_BOOL NoBlitPending(VEK_private_data_t *psPrivateData, const ZOL2DMEMINFO *psMemInfo) {
    return ZOL2DQueryBlitsComplete(psPrivateData->hContext, psMemInfo, 0) == ZOL2D_OK ? VEK_TRUE : VEK_FALSE;
}

/* The worker's release of wraps: once the 2D library reports no blit pending on the first plane
   (where a blit's copy is waited for), they go. */
static int FreeWrapsAfterBlits(VEK_private_data_t *psPrivateData, void *pvWrapped) {
    VEK_wrapped_planes_t *psWrapped = static_cast<VEK_wrapped_planes_t *>(pvWrapped);
    if (psWrapped->apsWrap[0] != nullptr && !NoBlitPending(psPrivateData, psWrapped->apsWrap[0])) return -EBUSY;
    if (FreeWraps(psPrivateData, psWrapped) != 0) return -EINVAL;
    free(psWrapped);
    return 0;
}

/* Gives the caller's memory back to the 2D library: at once when a wait vouched for the copy
   (bVouched), else once the worker finds the copy done, for the 2D library would not give back memory
   its engine uses. What it refuses now the worker gives back later, and nobody can ask again:
   the call is answered -EINVAL, as for a refusal. */
static int ReleaseWraps(VEK_private_data_t *psPrivateData, ZOL2DMEMINFO **apsWrap, VEK_BOOL bVouched) {
    VEK_wrapped_planes_t sWrapped;
    memcpy(sWrapped.apsWrap, apsWrap, sizeof(sWrapped.apsWrap));
    const int iErr = bVouched ? FreeWraps(psPrivateData, &sWrapped) : 0;
    if (bVouched && iErr == 0) return 0;
    VEK_wrapped_planes_t *psLeft = static_cast<VEK_wrapped_planes_t *>(malloc(sizeof(*psLeft)));
    if (psLeft == nullptr) return iErr;
    *psLeft = sWrapped;
    if (QueueLooseRelease(psPrivateData, FreeWrapsAfterBlits, psLeft) < 0) free(psLeft);
    return iErr;
}

/* Copies the whole source into (x, y, w, h) of the destination planes on the GPU and, with bWait,
   returns when the copy is complete (-ETIMEDOUT when no wait could vouch for it). psDest is the
   destination buffer with its entry, or NULL for caller memory, which has the source's size. Runs
   with the module mutex held. */
static int blit_internal(VEK_private_data_t *psPrivateData, buffer_handle_t src, const VEK_native_handle_t *psDest,
                         const VEK_mapper_meminfo_t *psDestMapperMemInfo, ZOL2DMEMINFO **apsDestMemInfo, int format,
                         int w, int h, int x, int y, VEK_BOOL bWait) {
    const VEK_native_handle_t *psSrc = AsNativeHandle(src);
    ZOL2D_3DBLT_EXT sBlt;
    ZOL2D_SURFACE_EXT sDstExt;
    ZOL2DMEMINFO sSrcMemInfo;
    int iStride;

    /* The destination is written through its first plane at least. */
    if (apsDestMemInfo[0] == nullptr) return -EINVAL;
    memset(&sBlt, 0, sizeof(sBlt));
    /* Checked against the destination below, once its size is known. */
    sBlt.rcDest = {x, y, (long)((unsigned long)x + (unsigned long)w), (long)((unsigned long)y + (unsigned long)h)};
    sBlt.rcSource = {0, 0, psSrc->iWidth, psSrc->iHeight};

    /* Both buffers must be known here: the source is read through this process's mapping. */
    VEK_mapper_meminfo_t *psSrcMapperMemInfo = LookupHandleEntry(psPrivateData, psSrc, VEK_ENTRY_USE);
    if (!MappedWhole(psSrcMapperMemInfo)) return -EINVAL;

    sBlt.sSrc.Format = HAL2ZOL2DPixelFormat(psSrc->iFormat);
    sBlt.sDst.Format = HAL2ZOL2DPixelFormat(format);

    const VEK_buffer_format_t *psDestFormat = GetBufferFormat(format);
    const VEK_buffer_format_t *psSrcFormat = GetBufferFormat(psSrc->iFormat);
    if (psDestFormat == nullptr || psSrcFormat == nullptr) return -EINVAL;

    /* The handle's description must fit the memory behind it: the engine reads all it describes. */
    if (Plane0Geometry(psSrcFormat, psSrc->iWidth, psSrc->iHeight, BufferStridePixels(psSrcMapperMemInfo, psSrc),
                       psSrcMapperMemInfo->apsMemInfo[0]->uAllocSize, &iStride) != 0)
        return -EINVAL;
    sBlt.sSrc.SurfWidth = (VEK_UINT32)psSrc->iWidth;
    sBlt.sSrc.SurfHeight = (VEK_UINT32)psSrc->iHeight;
    sBlt.sSrc.Stride = iStride;

    /* Caller memory takes the source's size; a buffer keeps its own. */
    const VEK_native_handle_t *psDestGeometry = psDest != nullptr ? psDest : psSrc;
    if (Plane0Geometry(
            psDestFormat, psDestGeometry->iWidth, psDestGeometry->iHeight,
            psDest != nullptr ? BufferStridePixels(psDestMapperMemInfo, psDest) : BufferStridePixels(nullptr, psSrc),
            apsDestMemInfo[0]->ui32MemSize, &iStride) != 0)
        return -EINVAL;
    sBlt.sDst.SurfWidth = (VEK_UINT32)psDestGeometry->iWidth;
    sBlt.sDst.SurfHeight = (VEK_UINT32)psDestGeometry->iHeight;
    sBlt.sDst.Stride = iStride;
    /* The engine writes where the rectangle says: one that holds no pixel or does not lie inside
       the destination would have the GPU write memory that is not the buffer's. */
    if (x < 0 || y < 0 || w <= 0 || h <= 0 || (VEK_UINT64)x + (VEK_UINT64)w > sBlt.sDst.SurfWidth ||
        (VEK_UINT64)y + (VEK_UINT64)h > sBlt.sDst.SurfHeight)
        return -EINVAL;

    DescribeServicesMemory(psSrcMapperMemInfo->apsMemInfo[0], &sSrcMemInfo);
    sBlt.sSrc.pSurfMemInfo = &sSrcMemInfo;
    sBlt.sDst.pSurfMemInfo = apsDestMemInfo[0];

    if (apsDestMemInfo[2] != nullptr) return -EINVAL;
    if (apsDestMemInfo[1] != nullptr) {
        /* The second plane, as its offset from the first in device addresses. */
        memset(&sDstExt, 0, sizeof(sDstExt));
        sDstExt.uChromaPlane1 = apsDestMemInfo[1]->ui32DevAddr - apsDestMemInfo[0]->ui32DevAddr;
        sBlt.bDisableDestInput = 1;
        sBlt.pDstExt = &sDstExt;
    }

    if (ZOL2DBlt3DExt(psPrivateData->hContext, &sBlt) != ZOL2D_OK) return -EFAULT;
    return bWait ? WaitForBlits(psPrivateData, apsDestMemInfo[0]) : 0;
}

int gralloc_module_blit_to_vaddr(const VEK_gralloc_module_public_t *module, buffer_handle_t src, void **dest,
                                 int format) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    VEK_native_handle_t *psSrc = AsNativeHandle(src);
    if (module == nullptr || !validate_handle(psSrc)) return -EINVAL;
    /* Without a first address there is nothing to write into, and without a pixel nothing to
       write: no caller memory is wrapped for either. */
    if (dest == nullptr || dest[0] == nullptr || !HasPixels(psSrc)) return -EINVAL;

    VEK_private_data_t *psPrivateData = getModulePrivateData(&module->base);
    ZOL2DMEMINFO *apsDestMemInfo[VEK_NATIVE_HANDLE_NUM_FDS_MAX] = {nullptr, nullptr, nullptr};
    const VEK_buffer_format_t *psFormat = GetBufferFormat(format);
    int i, iErr = 0;

    /* The caller's memory is wrapped for the source's size: a source this process cannot read,
       or whose size its memory does not hold, has no size to go by. */
    if (!MappedWhole(LookupHandleEntry(psPrivateData, psSrc, VEK_ENTRY_USE))) {
        iErr = -EINVAL;
        goto out_unlock;
    }
    if (psFormat == nullptr || psFormat->pfnComputeParams == nullptr) {
        iErr = -EINVAL;
        goto out_unlock;
    }
    for (i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX && dest[i] != nullptr; i++) {
        int iWidth = psSrc->iWidth, iHeight = psSrc->iHeight;
        VEK_plane_geometry_t sPlane;
        /* Counted in 64 bits: a wrap whose size lost its top bits would describe less caller
           memory than the plane takes. */
        if (!PlaneGeometry(psFormat, (unsigned int)i, iWidth, iHeight, BufferStridePixels(nullptr, psSrc), &sPlane) ||
            (i == 0 && (sPlane.iWidth != iWidth || sPlane.iHeight != iHeight))) {
            iErr = -EINVAL;
            goto out_free;
        }
        const VEK_UINT64 ui64WrapBytes = sPlane.ui64Bytes;
        if (ui64WrapBytes > ULONG_MAX) {
            iErr = -EINVAL;
            goto out_free;
        }
        if (ZOL2DMemWrap(psPrivateData->hContext, dest[i], 0, (unsigned long)ui64WrapBytes, nullptr,
                         &apsDestMemInfo[i]) != ZOL2D_OK) {
            apsDestMemInfo[i] = nullptr;
            iErr = -EINVAL;
            goto out_free;
        }
    }
    iErr = blit_internal(psPrivateData, src, nullptr, nullptr, apsDestMemInfo, format, psSrc->iWidth, psSrc->iHeight, 0,
                         0, VEK_TRUE);
    /* A copy no wait vouched for is not reported as done; the caller's memory stays wrapped until
       one does. */
    if (iErr == -ETIMEDOUT) {
        ReleaseWraps(psPrivateData, apsDestMemInfo, VEK_FALSE);
        iErr = -EFAULT;
        goto out_unlock;
    }

out_free:
    if (ReleaseWraps(psPrivateData, apsDestMemInfo, VEK_TRUE) != 0) iErr = -EINVAL;
out_unlock:
    putModulePrivateData(psPrivateData);
    return iErr;
}

int gralloc_module_blit_to_handle(const VEK_gralloc_module_public_t *module, buffer_handle_t src, buffer_handle_t dest,
                                  int w, int h, int x, int y) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    VEK_native_handle_t *psSrc = AsNativeHandle(src), *psDest = AsNativeHandle(dest);
    if (module == nullptr || !validate_handle(psSrc)) return -EINVAL;
    if (psDest == nullptr || !validate_handle(psDest)) return -EINVAL;
    /* Nothing to copy, or nowhere to put it (the rectangle is checked against the destination
       with the rest of its geometry). */
    if (!HasPixels(psSrc) || !HasPixels(psDest)) return -EINVAL;

    VEK_private_data_t *psPrivateData = getModulePrivateData(&module->base);
    VEK_mapper_meminfo_t *psDestMapperMemInfo = LookupHandleEntry(psPrivateData, psDest, VEK_ENTRY_USE);
    ZOL2DMEMINFO asDestMemInfo[VEK_NATIVE_HANDLE_NUM_FDS_MAX];
    ZOL2DMEMINFO *apsDestMemInfo[VEK_NATIVE_HANDLE_NUM_FDS_MAX] = {nullptr, nullptr, nullptr};
    int iErr = -EINVAL;

    /* The destination is written through this process's mapping of it. */
    if (MappedWhole(psDestMapperMemInfo)) {
        for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX && psDestMapperMemInfo->apsMemInfo[i] != nullptr; i++) {
            DescribeServicesMemory(psDestMapperMemInfo->apsMemInfo[i], &asDestMemInfo[i]);
            apsDestMemInfo[i] = &asDestMemInfo[i];
        }
        iErr = blit_internal(psPrivateData, src, psDest, psDestMapperMemInfo, apsDestMemInfo, psDest->iFormat, w, h, x,
                             y, VEK_TRUE);
        if (iErr == -ETIMEDOUT) iErr = -EFAULT;
    }

    putModulePrivateData(psPrivateData);
    return iErr;
}
