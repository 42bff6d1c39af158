/* What a buffer handle may claim in this process. A handle from another process arrives as its
   sender wrote it: its ints are whatever the sender chose, and its descriptors whatever it passed.
   The module believes a handle only as far as it can check it against the memory it names, here,
   before it maps, hands out an address over, blits, shows or counts anything the handle names. */
#include <errno.h>
#include <limits.h>

#include "gralloc.h"
#include "gralloc_defer.h"
#include "gralloc_internal.h"
#include "mapper.h"

/* The size of the native-handle header: Android's native_handle_create sets it. */
#define VEK_NATIVE_HANDLE_VERSION 12
/* What a display buffer's handle holds in each descriptor slot: it exports none. */
#define VEK_DISPLAY_BUFFER_FD (-2)

/* The planes of a buffer of the format: those its geometry answers for, from plane 0 on. */
static int FormatPlanes(const VEK_buffer_format_t *psFormat) {
    if (psFormat->pfnComputeParams == nullptr) return 1;
    int iPlanes = 0;
    for (unsigned int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++) {
        int iWidth = 16, iHeight = 16, iStride = 16;
        if (psFormat->pfnComputeParams(i, &iWidth, &iHeight, &iStride) != 0) break;
        iPlanes++;
    }
    return iPlanes;
}

VEK_BOOL validate_handle(VEK_native_handle_t *psNativeHandle) {
    if (psNativeHandle == nullptr) return VEK_FALSE;
    /* Every field below is read at a fixed offset: a forged or truncated handle must not send
       the module past its end. */
    if (psNativeHandle->base.version != VEK_NATIVE_HANDLE_VERSION) return VEK_FALSE;
    if (psNativeHandle->base.numFds < 0 || psNativeHandle->base.numFds > VEK_NATIVE_HANDLE_NUM_FDS_MAX)
        return VEK_FALSE;
    if (psNativeHandle->base.numFds + psNativeHandle->base.numInts != VEK_NATIVE_HANDLE_NUM_WORDS) return VEK_FALSE;
    if (usage_unsupported(psNativeHandle->usage)) return VEK_FALSE;
    /* No buffer has a negative size, and every buffer has a format the module knows: a handle of
       any other describes nothing the module could lock, release or blit. */
    if (psNativeHandle->iWidth < 0 || psNativeHandle->iHeight < 0) return VEK_FALSE;
    const VEK_buffer_format_t *psFormat = GetBufferFormat(psNativeHandle->iFormat);
    if (psFormat == nullptr) return VEK_FALSE;

    if (usage_fb(psNativeHandle->usage)) {
        /* A display buffer exports no descriptor: a slot that holds anything else is an int its
           sender chose, and never one of this process's descriptors. Its memory is the display's,
           one plane of a format the display shows. */
        for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++)
            if (psNativeHandle->fd[i] != VEK_DISPLAY_BUFFER_FD) return VEK_FALSE;
        return psNativeHandle->base.numFds <= 1 && FormatPlanes(psFormat) == 1 ? VEK_TRUE : VEK_FALSE;
    }
    /* The slots below numFds are the descriptors of the planes, one each, and the format's planes
       are all there; the slots after them are ints, and name no plane. */
    for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++)
        if ((psNativeHandle->fd[i] >= 0) != (i < psNativeHandle->base.numFds)) return VEK_FALSE;
    return psNativeHandle->base.numFds == FormatPlanes(psFormat) ? VEK_TRUE : VEK_FALSE;
}

VEK_BOOL PlaneGeometry(const VEK_buffer_format_t *psFormat, unsigned int uiPlane, int iWidth, int iHeight,
                       VEK_UINT64 ui64StridePixels, VEK_plane_geometry_t *psGeometry) {
    /* Counted in 64 bits: a row of a width near the top of an int, at 32 bits per pixel, is far
       past 32 bits, and wrapped it would describe a few bytes. */
    const VEK_UINT64 ui64Stride = (VEK_UINT64)psFormat->base.uiBpp * ui64StridePixels / 8;
    if (iWidth < 0 || iHeight < 0 || ui64Stride > (VEK_UINT64)INT_MAX) return VEK_FALSE;

    int iPlaneWidth = iWidth, iPlaneHeight = iHeight, iStride = (int)ui64Stride;
    if (psFormat->pfnComputeParams != nullptr) {
        if (psFormat->pfnComputeParams(uiPlane, &iPlaneWidth, &iPlaneHeight, &iStride) != 0) return VEK_FALSE;
    } else if (uiPlane != 0) {
        return VEK_FALSE;
    }
    /* A format's rounding that carried a value past an int made it negative. */
    if (iPlaneWidth < 0 || iPlaneHeight < 0 || iStride < 0) return VEK_FALSE;
    psGeometry->iWidth = iPlaneWidth;
    psGeometry->iHeight = iPlaneHeight;
    psGeometry->iStride = iStride;
    psGeometry->ui64Bytes = (VEK_UINT64)iStride * (VEK_UINT64)iPlaneHeight;
    return VEK_TRUE;
}

VEK_UINT64 BufferStridePixels(const VEK_mapper_meminfo_t *psMapperMemInfo, const VEK_native_handle_t *psNativeHandle) {
    /* A display buffer's rows are those of the display that made it. */
    if (psMapperMemInfo != nullptr && psMapperMemInfo->psDisplayDevice != nullptr)
        return (VEK_UINT64)(unsigned int)psMapperMemInfo->psDisplayDevice->base.stride;
    return ((VEK_UINT64)(unsigned int)psNativeHandle->iWidth + 31u) & ~(VEK_UINT64)31u;
}

VEK_BOOL HandleFitsPlanes(const VEK_mapper_meminfo_t *psMapperMemInfo, const VEK_native_handle_t *psNativeHandle) {
    const VEK_buffer_format_t *psFormat = GetBufferFormat(psNativeHandle->iFormat);
    if (psFormat == nullptr) return VEK_FALSE;
    for (unsigned int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX && psMapperMemInfo->apsMemInfo[i] != nullptr; i++) {
        VEK_plane_geometry_t sPlane;
        if (!PlaneGeometry(psFormat, i, psNativeHandle->iWidth, psNativeHandle->iHeight,
                           BufferStridePixels(psMapperMemInfo, psNativeHandle), &sPlane) ||
            sPlane.ui64Bytes > (VEK_UINT64)psMapperMemInfo->apsMemInfo[i]->uAllocSize)
            return VEK_FALSE;
    }
    return VEK_TRUE;
}

VEK_BOOL HandleNamesEntry(const VEK_mapper_meminfo_t *psMapperMemInfo, const VEK_native_handle_t *psNativeHandle) {
    /* A display buffer is named by its own handle alone, and a handle that claims the display's
       usage names no other buffer: its memory is not what the handle's ints say it is. */
    if (usage_fb(psNativeHandle->usage) != usage_fb(psMapperMemInfo->usage)) return VEK_FALSE;
    if (psMapperMemInfo->psDisplayHandle != nullptr)
        return psMapperMemInfo->psDisplayHandle == psNativeHandle ? VEK_TRUE : VEK_FALSE;
    /* The same format, and so the same planes (a sound handle names each of its format's planes):
       a handle that describes the buffer as another layout is not this buffer's. */
    return psNativeHandle->iFormat == psMapperMemInfo->iFormat ? VEK_TRUE : VEK_FALSE;
}

VEK_BOOL HandleHoldsDescriptors(const VEK_mapper_meminfo_t *psMapperMemInfo,
                                const VEK_native_handle_t *psNativeHandle) {
    for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++)
        if (psNativeHandle->fd[i] >= 0 && psNativeHandle->fd[i] != psMapperMemInfo->aiFd[i]) return VEK_FALSE;
    return VEK_TRUE;
}

VEK_BOOL HandleNamesMemory(VEK_private_data_t *psPrivateData, const VEK_mapper_meminfo_t *psMapperMemInfo,
                           const VEK_native_handle_t *psNativeHandle) {
    /* The stamp is only a claim: a handle of other memory, or of none, under the stamp of a buffer
       this process knows must not reach that buffer. A display buffer is named by its handle. */
    if (psMapperMemInfo->psDisplayHandle != nullptr || HandleHoldsDescriptors(psMapperMemInfo, psNativeHandle))
        return VEK_TRUE;
    /* A foreign buffer is registered once, by one handle: any other handle of it was refused. One
       of this process's own buffers may come back in another process's handle, whose descriptors
       its registration found to name the buffer's memory; they must still. */
    if (!psMapperMemInfo->bAllocatedByThisProcess) return VEK_FALSE;
    return DescriptorsNameMapping(psPrivateData, psNativeHandle, psMapperMemInfo) == 0 ? VEK_TRUE : VEK_FALSE;
}

VEK_mapper_meminfo_t *LookupHandleEntry(VEK_private_data_t *psPrivateData, const VEK_native_handle_t *psNativeHandle,
                                        VEK_entry_access_t eAccess) {
    VEK_mapper_meminfo_t *psMapperMemInfo = MapperPeek(psPrivateData, psNativeHandle->ui64Stamp);
    if (psMapperMemInfo == nullptr || !HandleNamesEntry(psMapperMemInfo, psNativeHandle) ||
        !HandleNamesMemory(psPrivateData, psMapperMemInfo, psNativeHandle))
        return nullptr;
    /* Checked against what is mapped now; a plane mapped later is checked when it is mapped. */
    if (!HandleFitsPlanes(psMapperMemInfo, psNativeHandle)) return nullptr;
    return SettlePendingRelease(psMapperMemInfo, eAccess) == VEK_ENTRY_GO ? psMapperMemInfo : nullptr;
}

VEK_BOOL MappingIsHandles(const VEK_mapper_meminfo_t *psMapperMemInfo, const VEK_native_handle_t *psNativeHandle) {
    /* The memory's own stamp, which the services give it at allocation, not the one the handle
       claims, says which buffer was mapped. */
    if (psMapperMemInfo->apsMemInfo[0] == nullptr ||
        psMapperMemInfo->apsMemInfo[0]->ui64Stamp != psNativeHandle->ui64Stamp)
        return VEK_FALSE;
    return MappingComplete(psMapperMemInfo, psNativeHandle->fd) && HandleFitsPlanes(psMapperMemInfo, psNativeHandle)
               ? VEK_TRUE
               : VEK_FALSE;
}

int MapDeviceMemory(VEK_private_data_t *psPrivateData, int iFd, ZOLSRV_CLIENT_MEM_INFO **ppsMemInfo) {
    /* The services map into the general heap: a start-up that found none maps nothing. */
    if (psPrivateData->hGeneralHeap == nullptr ||
        ZOLSRVMapDeviceMemory2(&psPrivateData->sDevData, iFd, psPrivateData->hGeneralHeap, ppsMemInfo) != ZOLSRV_OK) {
        *ppsMemInfo = nullptr;
        return -EFAULT;
    }
    return 0;
}

static int UnmapLooseMapping(VEK_private_data_t *psPrivateData, void *pvMemInfo) {
    return ZOLSRVUnmapDeviceMemory(&psPrivateData->sDevData, static_cast<ZOLSRV_CLIENT_MEM_INFO *>(pvMemInfo)) ==
                   ZOLSRV_OK
               ? 0
               : -EFAULT;
}

int DescriptorsNameMapping(VEK_private_data_t *psPrivateData, const VEK_native_handle_t *psNativeHandle,
                           const VEK_mapper_meminfo_t *psMapperMemInfo) {
    for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX && psMapperMemInfo->apsMemInfo[i] != nullptr; i++) {
        ZOLSRV_CLIENT_MEM_INFO *psMemInfo = nullptr;
        if (psNativeHandle->fd[i] < 0) return -EINVAL;
        if (MapDeviceMemory(psPrivateData, psNativeHandle->fd[i], &psMemInfo) != 0) return -EFAULT;
        const VEK_BOOL bSame = psMemInfo->ui64Stamp == psMapperMemInfo->apsMemInfo[i]->ui64Stamp ? VEK_TRUE : VEK_FALSE;
        /* Never handed out: nothing of this process can have GPU work on it, and it goes at once.
           A refusal is asked again once, as for a fresh mapping, and then left to the worker. */
        if (UnmapLooseMapping(psPrivateData, psMemInfo) != 0)
            ReleaseNowOrLater(psPrivateData, UnmapLooseMapping, psMemInfo);
        if (!bSame) return -EINVAL;
    }
    return 0;
}
