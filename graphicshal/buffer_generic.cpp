/* The generic formats: four 32-bit RGB layouts, RGB 565 and YV12, each one GPU allocation in
   the general heap exported as one descriptor. */
#include "buffer_generic.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

/* BGRX has no Android name; it lives in the range Android leaves to the HAL. */
#define VEK_HAL_PIXEL_FORMAT_BGRX_8888 0x1ff

#define VEK_CACHE_CLEAN_REQUEST 0x20

int GenericAlloc(ZOLSRV_DEV_DATA *psDevData, VEK_HANDLE hGeneralHeap, int iAllocBytes, VEK_UINT32 ui32Flags,
                 VEK_VOID *pvPrivData, VEK_UINT32 ui32PrivDataLength, ZOLSRV_CLIENT_MEM_INFO **ppsMemInfo, int *piFd) {
    const VEK_UINT32 ui32PageSize = (VEK_UINT32)getpagesize();
    /* Unsigned, so that a size near the top of the range wraps instead of overflowing. */
    const VEK_UINT32 ui32Size = ((VEK_UINT32)iAllocBytes + ui32PageSize - 1) & ~(ui32PageSize - 1);

    if (ZOLSRVAllocDeviceMem2(psDevData, hGeneralHeap, ui32Flags, (VEK_SIZE_T)ui32Size, (VEK_SIZE_T)ui32PageSize,
                              pvPrivData, ui32PrivDataLength, ppsMemInfo) != ZOLSRV_OK) {
        *ppsMemInfo = nullptr;
        return -ENOMEM;
    }
    if (ZOLSRVExportDeviceMem2(psDevData, *ppsMemInfo, piFd) != ZOLSRV_OK) {
        /* Memory the services would not take back stays in the slot, for the caller to release. */
        *piFd = -1;
        if (ZOLSRVFreeDeviceMem(psDevData, *ppsMemInfo) == ZOLSRV_OK) *ppsMemInfo = nullptr;
        return -EFAULT;
    }
    return 0;
}

VEK_BOOL GenericAllocSizeFits(VEK_UINT64 ui64Bytes) { return ui64Bytes <= (VEK_UINT64)INT_MAX; }

static int GenericAlloc2D(ZOLSRV_DEV_DATA *psDevData, VEK_HANDLE hGeneralHeap, int * /* piWidth */, int *piHeight,
                          int *piStride, int * /* piUsage */, unsigned int uiBpp, VEK_UINT32 ui32Flags,
                          ZOLSRV_CLIENT_MEM_INFO **apsMemInfo, int *aiFd) {
    VEK_UINT64 ui64Bits;

    /* The handle keeps the height and stride: the plane must hold every row they describe, so a
       product that a 32-bit sum would wrap to a small plane is refused, not allocated. */
    if (*piHeight < 0 || *piStride < 0) return -EINVAL;
    if (__builtin_mul_overflow((VEK_UINT64)*piHeight * (VEK_UINT64)*piStride, (VEK_UINT64)uiBpp, &ui64Bits) ||
        !GenericAllocSizeFits(ui64Bits / 8))
        return -EINVAL;

    int iErr =
        GenericAlloc(psDevData, hGeneralHeap, (int)(ui64Bits / 8), ui32Flags, nullptr, 0, &apsMemInfo[0], &aiFd[0]);
    if (iErr != 0) return iErr;
    apsMemInfo[1] = apsMemInfo[2] = nullptr;
    aiFd[1] = aiFd[2] = -1;
    return 0;
}

/* Each released plane leaves its slots, so that a buffer whose release failed half-way names only
   what it still holds, and a later release neither follows nor frees a plane twice. The last
   plane goes first: what stays is the leading planes, a list without a gap. */
int GenericFree(ZOLSRV_DEV_DATA *psDevData, ZOLSRV_CLIENT_MEM_INFO **apsMemInfo, int *aiFd) {
    int iNumPlanes = 0;
    while (iNumPlanes < VEK_NATIVE_HANDLE_NUM_FDS_MAX && apsMemInfo[iNumPlanes] != nullptr) iNumPlanes++;
    for (int i = iNumPlanes - 1; i >= 0; i--) {
        if (ZOLSRVFreeDeviceMem(psDevData, apsMemInfo[i]) != ZOLSRV_OK) return -EFAULT;
        /* A plane whose export failed has no descriptor. */
        if (aiFd[i] >= 0) close(aiFd[i]);
        apsMemInfo[i] = nullptr;
        aiFd[i] = -1;
    }
    return 0;
}

static int GenericFlushCache(VEK_native_handle_t * /* psNativeHandle */, const ZOLSRV_CONNECTION *psConnection,
                             ZOLSRV_CLIENT_MEM_INFO ** /* apsMemInfo */,
                             VEK_write_lock_rect_t * /* psWriteLockRect */) {
    ZOLSRV_MISC_INFO sMiscInfo;

    /* A deferred clean of the whole CPU cache: the request names no buffer and no range. */
    memset(&sMiscInfo, 0, sizeof(sMiscInfo));
    sMiscInfo.ui32StateRequest = VEK_CACHE_CLEAN_REQUEST;
    sMiscInfo.sCacheOpCtl.bDeferOp = VEK_TRUE;
    sMiscInfo.sCacheOpCtl.eCacheOpType = ZOLSRV_MISC_INFO_CPUCACHEOP_CLEAN;
    return ZOLSRVGetMiscInfo(psConnection, &sMiscInfo) != ZOLSRV_OK ? -EFAULT : 0;
}

static int GenericComputeParams(unsigned int uiSubAlloc, int * /* piWidth */, int * /* piHeight */,
                                int * /* piStride */) {
    return uiSubAlloc == 0 ? 0 : -EINVAL;
}

#define GENERIC_FORMAT(hal, zirva, name, bpp, renderable, zol2d)                                                 \
    {                                                                                                            \
        {nullptr, (hal), (zirva), (name), (bpp), (renderable)}, (zol2d), VEK_FALSE, GenericAlloc2D, GenericFree, \
            GenericFlushCache, GenericComputeParams, nullptr                                                     \
    }

/* Writable: registration links the rows through base.psNext. */
static VEK_buffer_format_t gasBufferFormats[] = {
    GENERIC_FORMAT(HAL_PIXEL_FORMAT_BGRA_8888, ZIRVA_PIXELFORMAT_ARGB8888, "BGRA_8888", 32, VEK_TRUE,
                   ZOL2D_BLT_FORMAT_ARGB8888),
    GENERIC_FORMAT(HAL_PIXEL_FORMAT_RGBA_8888, ZIRVA_PIXELFORMAT_ABGR8888, "RGBA_8888", 32, VEK_FALSE,
                   ZOL2D_BLT_FORMAT_ABGR8888),
    GENERIC_FORMAT(VEK_HAL_PIXEL_FORMAT_BGRX_8888, ZIRVA_PIXELFORMAT_XRGB8888, "BGRX_8888", 32, VEK_TRUE,
                   ZOL2D_BLT_FORMAT_ARGB8888),
    GENERIC_FORMAT(HAL_PIXEL_FORMAT_RGBX_8888, ZIRVA_PIXELFORMAT_XBGR8888, "RGBX_8888", 32, VEK_FALSE,
                   ZOL2D_BLT_FORMAT_ABGR8888),
    GENERIC_FORMAT(HAL_PIXEL_FORMAT_RGB_565, ZIRVA_PIXELFORMAT_RGB565, "RGB_565", 16, VEK_TRUE,
                   ZOL2D_BLT_FORMAT_RGB565),
    GENERIC_FORMAT(HAL_PIXEL_FORMAT_YV12, ZIRVA_PIXELFORMAT_YV12, "YV12", 12, VEK_FALSE, 0),
};

__attribute__((constructor(101))) static void buffer_generic_init(void) {
    for (VEK_buffer_format_t &sFormat : gasBufferFormats) RegisterBufferFormat(&sFormat);
}
