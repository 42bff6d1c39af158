/* The video format "C110_NV12": a luma plane and a half-height plane of interleaved chroma, each in
   a buffer of its own. Buffers for the composer are lent from two three-buffer flip chains on
   display devices, which are physically contiguous and so can be scanned out directly; every other
   buffer is two ordinary GPU allocations. */
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "buffer_generic.h"
#include "gralloc.h"
#include "gralloc_internal.h"
#include "hal.h"
#include "mapper.h"

/* No Android name: a value from the range Android leaves to the HAL. */
#define VEK_HAL_PIXEL_FORMAT_C110_NV12 0x100

#define VEK_YUV_NUM_BUFFERS 3
/* The luma chain goes on the third display device, the chroma chain on the second. */
#define VEK_YUV_MIN_2D_DEVICES 3
#define VEK_YUV_Y_DEVICE 2
#define VEK_YUV_UV_DEVICE 1
/* A pair is lent only while neither buffer is referenced more than this (by the display). */
#define VEK_YUV_MAX_REF_COUNT 2

typedef enum {
    YUV_SWAP_CHAIN_STATE_UNINITIALIZED = 0,
    YUV_SWAP_CHAIN_STATE_UNUSABLE = 1,
    YUV_SWAP_CHAIN_STATE_USABLE = 2,
} VEK_YUV_SWAP_CHAIN_STATE;

/* All guarded by the module mutex, which every caller of the hooks holds. */
static VEK_YUV_SWAP_CHAIN_STATE geYUVSwapChainState = YUV_SWAP_CHAIN_STATE_UNINITIALIZED;
static ZOL2DCONTEXTHANDLE ghYContext, ghUVContext;
static ZOL2DFLIPCHAINHANDLE ghYFlipChain, ghUVFlipChain;
static VEK_UINT32 gui32MaxWidth, gui32MaxHeight;
static ZOL2DMEMINFO *gapsYMemInfo[VEK_YUV_NUM_BUFFERS], *gapsUVMemInfo[VEK_YUV_NUM_BUFFERS];
static VEK_SYS_PHYADDR gasYPhyAddr[VEK_YUV_NUM_BUFFERS], gasUVPhyAddr[VEK_YUV_NUM_BUFFERS];
static int gaiYFd[VEK_YUV_NUM_BUFFERS] = {-1, -1, -1}, gaiUVFd[VEK_YUV_NUM_BUFFERS] = {-1, -1, -1};
static VEK_BOOL gbUsedByAllocator[VEK_YUV_NUM_BUFFERS];

static ZOLSRV_CLIENT_MEM_INFO *ServicesMemInfo(ZOL2DMEMINFO *psMemInfo) {
    return static_cast<ZOLSRV_CLIENT_MEM_INFO *>(psMemInfo->hPrivateData);
}

/* Both planes' rows are whole runs of 16 pixels. */
#define VEK_NV12_ALIGN_MASK 15

static VEK_UINT64 RoundedToSixteen(int iValue) {
    return ((VEK_UINT64)iValue + VEK_NV12_ALIGN_MASK) & ~(VEK_UINT64)VEK_NV12_ALIGN_MASK;
}

static int ComputeNV12LinearParams(unsigned int uiSubAlloc, int *piWidth, int *piHeight, int *piStride) {
    *piWidth = (int)(((unsigned int)*piWidth + 15u) & ~15u);
    *piHeight = (int)(((unsigned int)*piHeight + 15u) & ~15u);
    *piStride = *piWidth;
    switch (uiSubAlloc) {
        case 0:
            return 0;
        case 1:
            *piWidth /= 2;
            *piHeight /= 2;
            return 0;
        default:
            return -EINVAL;
    }
}

static void CloseDescriptors(int *aiFd) {
    for (int i = 0; i < VEK_YUV_NUM_BUFFERS; i++) {
        if (aiFd[i] >= 0) close(aiFd[i]);
        aiFd[i] = -1;
    }
}

/* Both flip chains, their physical addresses and a descriptor for each buffer, made once per
   process. Any failing step undoes what the earlier ones made; the state then stays unusable. */
static void InitializeYUVSwapChains(ZOLSRV_DEV_DATA *psDevData) {
    ZOL2DDEVICEINFO *psDevInfo = nullptr;
    ZOL2DDISPLAYINFO sDisplayInfo, sUVDisplayInfo;
    VEK_HANDLE ahBuffer[VEK_YUV_NUM_BUFFERS];
    unsigned long ulCount = 0;
    long lStride = 0;
    int iNumDevices;

    geYUVSwapChainState = YUV_SWAP_CHAIN_STATE_UNUSABLE;

    iNumDevices = ZOL2DEnumerateDevices(nullptr);
    if (iNumDevices < VEK_YUV_MIN_2D_DEVICES) return;
    psDevInfo = static_cast<ZOL2DDEVICEINFO *>(calloc((size_t)iNumDevices, sizeof(ZOL2DDEVICEINFO)));
    if (psDevInfo == nullptr) return;
    if (ZOL2DEnumerateDevices(psDevInfo) != ZOL2D_OK) goto out_free_list;

    if (ZOL2DCreateDeviceContext(psDevInfo[VEK_YUV_Y_DEVICE].ulDevID, &ghYContext, 0) != ZOL2D_OK) goto out_free_list;
    if (ZOL2DCreateDeviceContext(psDevInfo[VEK_YUV_UV_DEVICE].ulDevID, &ghUVContext, 0) != ZOL2D_OK) goto err_y_context;

    if (ZOL2DGetDeviceInfo(ghYContext, &sDisplayInfo) != ZOL2D_OK) goto err_uv_context;
    gui32MaxWidth = (VEK_UINT32)sDisplayInfo.ulWidth;
    gui32MaxHeight = (VEK_UINT32)sDisplayInfo.ulHeight;
    /* Both chains are of the luma display's size and format: a chroma display that cannot take
       them (or a luma display without room for three buffers) leaves the pool unusable, as the 2D
       library's refusal would, without a call it must refuse. */
    if (ZOL2DGetDeviceInfo(ghUVContext, &sUVDisplayInfo) != ZOL2D_OK ||
        !DisplayTakesChain(&sDisplayInfo, VEK_YUV_NUM_BUFFERS, sDisplayInfo.ulWidth, sDisplayInfo.ulHeight,
                           sDisplayInfo.eFormat, 0) ||
        !DisplayTakesChain(&sUVDisplayInfo, VEK_YUV_NUM_BUFFERS, gui32MaxWidth, gui32MaxHeight >> 1,
                           sDisplayInfo.eFormat, 0))
        goto err_uv_context;

    if (ZOL2DCreateFlipChain(ghYContext, 0, VEK_YUV_NUM_BUFFERS, sDisplayInfo.ulWidth, sDisplayInfo.ulHeight,
                             sDisplayInfo.eFormat, &lStride, nullptr, &ghYFlipChain) != ZOL2D_OK)
        goto err_uv_context;
    if (ZOL2DCreateFlipChain(ghUVContext, 0, VEK_YUV_NUM_BUFFERS, gui32MaxWidth, gui32MaxHeight >> 1,
                             sDisplayInfo.eFormat, &lStride, nullptr, &ghUVFlipChain) != ZOL2D_OK)
        goto err_y_chain;

    if (ZOLSRVGetDCBuffers2(ghYContext->hDisplayClassDevice, ghYFlipChain->hDCSwapChain, ahBuffer, gasYPhyAddr) !=
        ZOLSRV_OK)
        goto err_uv_chain;
    if (ZOLSRVGetDCBuffers2(ghUVContext->hDisplayClassDevice, ghUVFlipChain->hDCSwapChain, ahBuffer, gasUVPhyAddr) !=
        ZOLSRV_OK)
        goto err_uv_chain;

    /* Each chain must hand over all three buffers: the loans index them without a check. */
    if (ZOL2DGetFlipChainBuffers(ghYContext, ghYFlipChain, &ulCount, gapsYMemInfo) != ZOL2D_OK ||
        ulCount != VEK_YUV_NUM_BUFFERS)
        goto err_uv_chain;
    if (ZOL2DGetFlipChainBuffers(ghUVContext, ghUVFlipChain, &ulCount, gapsUVMemInfo) != ZOL2D_OK ||
        ulCount != VEK_YUV_NUM_BUFFERS)
        goto err_uv_chain;

    for (int i = 0; i < VEK_YUV_NUM_BUFFERS; i++)
        if (ZOLSRVExportDeviceMem2(psDevData, ServicesMemInfo(gapsYMemInfo[i]), &gaiYFd[i]) != ZOLSRV_OK) {
            gaiYFd[i] = -1;
            goto err_close_fds;
        }
    for (int i = 0; i < VEK_YUV_NUM_BUFFERS; i++)
        if (ZOLSRVExportDeviceMem2(psDevData, ServicesMemInfo(gapsUVMemInfo[i]), &gaiUVFd[i]) != ZOLSRV_OK) {
            gaiUVFd[i] = -1;
            goto err_close_fds;
        }

    geYUVSwapChainState = YUV_SWAP_CHAIN_STATE_USABLE;
    goto out_free_list;

err_close_fds:
    CloseDescriptors(gaiYFd);
    CloseDescriptors(gaiUVFd);
err_uv_chain:
    ZOL2DDestroyFlipChain(ghUVContext, ghUVFlipChain);
err_y_chain:
    ZOL2DDestroyFlipChain(ghYContext, ghYFlipChain);
err_uv_context:
    ZOL2DDestroyDeviceContext(ghUVContext);
err_y_context:
    ZOL2DDestroyDeviceContext(ghYContext);
out_free_list:
    free(psDevInfo);
}

static VEK_BOOL GetRefCount(ZOLSRV_DEV_DATA *psDevData, ZOLSRV_MISC_INFO *psMiscInfo, ZOL2DMEMINFO *psMemInfo,
                            VEK_UINT32 *pui32RefCount) {
    psMiscInfo->sGetRefCountCtl.u.psClientMemInfo = ServicesMemInfo(psMemInfo);
    if (ZOLSRVGetMiscInfo(psDevData->psConnection, psMiscInfo) != ZOLSRV_OK) return VEK_FALSE;
    *pui32RefCount = psMiscInfo->sGetRefCountCtl.ui32RefCount;
    return VEK_TRUE;
}

/* Lends a free Y/UV pair that the display no longer holds; 0 when one was lent. */
static int AllocPhysContig(ZOLSRV_DEV_DATA *psDevData, ZOLSRV_CLIENT_MEM_INFO **apsMemInfo, int *aiFd, int iStride,
                           int iHeight, int *piUsage) {
    ZOLSRV_MISC_INFO sMiscInfo = {};
    VEK_UINT32 ui32RefCount = 0;
    int iSlot = -1;

    sMiscInfo.ui32StateRequest = ZOLSRV_MISC_INFO_GET_REF_COUNT_PRESENT;

    if (geYUVSwapChainState != YUV_SWAP_CHAIN_STATE_USABLE || (VEK_UINT32)iStride > gui32MaxWidth ||
        (VEK_UINT32)iHeight > gui32MaxHeight)
        return -ENOMEM;

    for (int i = 0; i < VEK_YUV_NUM_BUFFERS && iSlot < 0; i++) {
        if (gbUsedByAllocator[i]) continue;
        /* A pair this process knows under its stamp is in use here: a client sent back a buffer
           it was lent, which this process registered. Lent again, it would be two buffers of one
           stamp. */
        if (MapperPeek(&HMI.sPrivateData, ServicesMemInfo(gapsYMemInfo[i])->ui64Stamp) != nullptr) continue;
        if (!GetRefCount(psDevData, &sMiscInfo, gapsYMemInfo[i], &ui32RefCount)) return -EFAULT;
        if (ui32RefCount > VEK_YUV_MAX_REF_COUNT) continue;
        if (!GetRefCount(psDevData, &sMiscInfo, gapsUVMemInfo[i], &ui32RefCount)) return -EFAULT;
        if (ui32RefCount <= VEK_YUV_MAX_REF_COUNT) iSlot = i;
    }
    if (iSlot < 0) return -ENOMEM;

    apsMemInfo[0] = ServicesMemInfo(gapsYMemInfo[iSlot]);
    aiFd[0] = gaiYFd[iSlot];
    apsMemInfo[1] = ServicesMemInfo(gapsUVMemInfo[iSlot]);
    aiFd[1] = gaiUVFd[iSlot];
    apsMemInfo[2] = nullptr;
    aiFd[2] = -1;
    gbUsedByAllocator[iSlot] = VEK_TRUE;
    *piUsage |= GRALLOC_USAGE_PRIVATE_1;
    return 0;
}

static int AllocNV12Linear(ZOLSRV_DEV_DATA *psDevData, VEK_HANDLE hGeneralHeap, int *piWidth, int *piHeight,
                           int *piStride, int *piUsage, unsigned int /* uiBpp */, VEK_UINT32 ui32Flags,
                           ZOLSRV_CLIENT_MEM_INFO **apsMemInfo, int *aiFd) {
    /* The handle keeps the rounded width and height, on either path: a size that rounding or the
       plane's product would carry past what an int and the services hold is refused before
       anything is made. */
    if (*piWidth < 0 || *piHeight < 0) return -EINVAL;
    if (*piWidth > INT_MAX - VEK_NV12_ALIGN_MASK || *piHeight > INT_MAX - VEK_NV12_ALIGN_MASK) return -EINVAL;
    if (!GenericAllocSizeFits(RoundedToSixteen(*piWidth) * RoundedToSixteen(*piHeight))) return -EINVAL;

    if (geYUVSwapChainState == YUV_SWAP_CHAIN_STATE_UNINITIALIZED) InitializeYUVSwapChains(psDevData);

    ComputeNV12LinearParams(0, piWidth, piHeight, piStride);

    if ((*piUsage & GRALLOC_USAGE_HW_COMPOSER) &&
        AllocPhysContig(psDevData, apsMemInfo, aiFd, *piStride, *piHeight, piUsage) == 0)
        return 0;

    int iErr =
        GenericAlloc(psDevData, hGeneralHeap, *piStride * *piHeight, ui32Flags, nullptr, 0, &apsMemInfo[0], &aiFd[0]);
    if (iErr != 0) return iErr;

    int iUVWidth = *piWidth, iUVHeight = *piHeight, iUVStride = *piStride;
    ComputeNV12LinearParams(1, &iUVWidth, &iUVHeight, &iUVStride);
    iErr =
        GenericAlloc(psDevData, hGeneralHeap, iUVStride * iUVHeight, ui32Flags, nullptr, 0, &apsMemInfo[1], &aiFd[1]);
    if (iErr != 0) {
        /* A failed allocation leaves nothing allocated; what the services would not take back
           stays in the slots, for the caller to release. */
        GenericFree(psDevData, apsMemInfo, aiFd);
        return iErr;
    }
    apsMemInfo[2] = nullptr;
    aiFd[2] = -1;
    return 0;
}

/* The slot whose Y buffer is this buffer's first plane, or -1 for a buffer that was not lent. */
static int LentSlot(ZOLSRV_CLIENT_MEM_INFO **apsMemInfo) {
    if (geYUVSwapChainState != YUV_SWAP_CHAIN_STATE_USABLE) return -1;
    for (int i = 0; i < VEK_YUV_NUM_BUFFERS; i++)
        if (apsMemInfo[0] == ServicesMemInfo(gapsYMemInfo[i])) return i;
    return -1;
}

static int FreeNV12Linear(ZOLSRV_DEV_DATA *psDevData, ZOLSRV_CLIENT_MEM_INFO **apsMemInfo, int *aiFd) {
    int iSlot = LentSlot(apsMemInfo);
    if (iSlot >= 0) {
        /* The pair and its descriptors stay for the next loan. */
        gbUsedByAllocator[iSlot] = VEK_FALSE;
        return 0;
    }
    return GenericFree(psDevData, apsMemInfo, aiFd);
}

static VEK_BOOL GetNV12PhyAddrs(ZOLSRV_CLIENT_MEM_INFO **apsMemInfo, VEK_SYS_PHYADDR *asPhyAddr) {
    int iSlot = LentSlot(apsMemInfo);
    if (iSlot < 0) return VEK_FALSE;
    asPhyAddr[0] = gasYPhyAddr[iSlot];
    asPhyAddr[1] = gasUVPhyAddr[iSlot];
    asPhyAddr[2].uiAddr = 0;
    return VEK_TRUE;
}

/* Writable: registration links the row through base.psNext. */
static VEK_buffer_format_t gasBufferFormats[] = {
    {{nullptr, VEK_HAL_PIXEL_FORMAT_C110_NV12, ZIRVA_PIXELFORMAT_NV12, "C110_NV12", 12, VEK_FALSE},
     ZOL2D_BLT_FORMAT_NV12,
     VEK_TRUE,
     AllocNV12Linear,
     FreeNV12Linear,
     nullptr,
     ComputeNV12LinearParams,
     GetNV12PhyAddrs},
};

/* After the generic rows, before start-up. */
__attribute__((constructor(102))) static void buffer_c110_init(void) { RegisterBufferFormat(&gasBufferFormats[0]); }

/* The pool lives as long as the module: unloading it gives the chains, their contexts and the
   descriptors back, so that a process that loads the module again does not hold them twice. */
void buffer_c110_exit(void) {
    if (geYUVSwapChainState != YUV_SWAP_CHAIN_STATE_USABLE) return;
    CloseDescriptors(gaiYFd);
    CloseDescriptors(gaiUVFd);
    ZOL2DDestroyFlipChain(ghUVContext, ghUVFlipChain);
    ZOL2DDestroyFlipChain(ghYContext, ghYFlipChain);
    ZOL2DDestroyDeviceContext(ghUVContext);
    ZOL2DDestroyDeviceContext(ghYContext);
    geYUVSwapChainState = YUV_SWAP_CHAIN_STATE_UNINITIALIZED;
}
