/* The allocator device "gpu0". */
#include "gralloc.h"
#include "gralloc_internal.h"

#include <errno.h>
#include <limits.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "framebuffer.h"
#include "gralloc_defer.h"
#include "hal.h"
#include "mapper.h"

static VEK_gralloc_module_t *getDeviceModule(alloc_device_t *psAllocDevice) {
    return reinterpret_cast<VEK_gralloc_module_t *>(psAllocDevice->common.module);
}

static VEK_private_data_t *getDevicePrivateData(alloc_device_t *psAllocDevice) {
    VEK_private_data_t *psPrivateData = &getDeviceModule(psAllocDevice)->sPrivateData;
    LockModuleMutex(psPrivateData);
    return psPrivateData;
}

static void putDevicePrivateData(VEK_private_data_t *psPrivateData) { UnlockModuleMutex(psPrivateData); }

static framebuffer_device_t *getDeviceFrameBufferDevice(alloc_device_t *psAllocDevice) {
    return &getDeviceModule(psAllocDevice)->base.psFrameBufferDevice->base;
}

static VEK_BOOL hasFrameBufferDevice(alloc_device_t *psAllocDevice) {
    return getDeviceModule(psAllocDevice)->base.psFrameBufferDevice != nullptr;
}

static VEK_UINT32 AllocFlagsForUsage(int usage) {
    VEK_UINT32 ui32Flags = 0x10000000 | 0x00000001;
    if (usage_write(usage)) ui32Flags |= 0x00000002;
    if (usage_sw(usage)) ui32Flags |= 0x00001000;
    return ui32Flags;
}

int __free(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psMapperMemInfo, int *aiFd) {
    const VEK_buffer_format_t *psFormat = GetBufferFormat(psMapperMemInfo->iFormat);
    MapperEntryChanged(psMapperMemInfo);
    int iErr = psFormat->pfnFree(&psPrivateData->sDevData, psMapperMemInfo->apsMemInfo, aiFd);
    if (iErr == 0) MapperRemove(psPrivateData, psMapperMemInfo);
    return iErr;
}

/* Planes that no entry records (a failed allocation's) and the format that made them. */
typedef struct {
    const VEK_buffer_format_t *psFormat;
    ZOLSRV_CLIENT_MEM_INFO *apsMemInfo[VEK_NATIVE_HANDLE_NUM_FDS_MAX];
    int aiFd[VEK_NATIVE_HANDLE_NUM_FDS_MAX];
} VEK_unrecorded_planes_t;

static int FreeUnrecordedPlanes(VEK_private_data_t *psPrivateData, void *pvPlanes) {
    VEK_unrecorded_planes_t *psPlanes = static_cast<VEK_unrecorded_planes_t *>(pvPlanes);
    if (psPlanes->psFormat->pfnFree(&psPrivateData->sDevData, psPlanes->apsMemInfo, psPlanes->aiFd) != 0)
        return -EFAULT;
    free(psPlanes);
    return 0;
}

/* A failed allocation gives back what it made. Nobody can ask for it again: what the services
   refuse now, the worker gives back later. */
static void ReleaseUnrecordedPlanes(VEK_private_data_t *psPrivateData, const VEK_buffer_format_t *psFormat,
                                    ZOLSRV_CLIENT_MEM_INFO **apsMemInfo, int *aiFd) {
    if (apsMemInfo[0] == nullptr || psFormat->pfnFree(&psPrivateData->sDevData, apsMemInfo, aiFd) == 0) return;
    VEK_unrecorded_planes_t *psPlanes = static_cast<VEK_unrecorded_planes_t *>(malloc(sizeof(*psPlanes)));
    if (psPlanes == nullptr) return;
    psPlanes->psFormat = psFormat;
    memcpy(psPlanes->apsMemInfo, apsMemInfo, sizeof(psPlanes->apsMemInfo));
    memcpy(psPlanes->aiFd, aiFd, sizeof(psPlanes->aiFd));
    if (QueueLooseRelease(psPrivateData, FreeUnrecordedPlanes, psPlanes) < 0) free(psPlanes);
}

int gralloc_device_alloc(alloc_device_t *psAllocDevice, int w, int h, int format, int usage, buffer_handle_t *handle,
                         int *stride) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    if (psAllocDevice == nullptr || handle == nullptr || stride == nullptr) return -EINVAL;
    if (usage_unsupported(usage)) return -EINVAL;
    /* A handle with a negative size describes no memory, yet the row rounding and the hooks'
       products would turn it into a real allocation. */
    if (w < 0 || h < 0) return -EINVAL;

    const VEK_UINT32 ui32Flags = AllocFlagsForUsage(usage);
    const VEK_buffer_format_t *psFormat = GetBufferFormat(format);
    if (psFormat == nullptr) return -EINVAL;
    if (usage_fb(usage) && !psFormat->base.bGPURenderable) return -EINVAL;

    VEK_private_data_t *psPrivateData = getDevicePrivateData(psAllocDevice);
    int iWidth = w, iHeight = h, iStride = AllocatorStridePixels(w);
    ZOLSRV_CLIENT_MEM_INFO *apsMemInfo[VEK_NATIVE_HANDLE_NUM_FDS_MAX] = {nullptr, nullptr, nullptr};
    int aiFd[VEK_NATIVE_HANDLE_NUM_FDS_MAX] = {-1, -1, -1};
    VEK_native_handle_t *psNativeHandle = nullptr;
    VEK_mapper_meminfo_t *psMapperMemInfo;
    int iErr;

    if (usage_fb(usage)) {
        if (!hasFrameBufferDevice(psAllocDevice)) {
            iErr = -EFAULT;
            goto out_unlock;
        }
        iErr = framebuffer_device_alloc(getDeviceFrameBufferDevice(psAllocDevice), w, h, format, usage, &psNativeHandle,
                                        stride);
        if (iErr != 0) goto out_unlock;
        psMapperMemInfo = MapperPeek(psPrivateData, psNativeHandle->ui64Stamp);
        for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++) apsMemInfo[i] = psMapperMemInfo->apsMemInfo[i];
    } else {
        /* A start-up that found no general heap has nowhere to allocate: the services would be
           handed a heap they never gave out. */
        if (psPrivateData->hGeneralHeap == nullptr) {
            iErr = -ENOMEM;
            goto out_unlock;
        }
        iErr = psFormat->pfnAlloc(&psPrivateData->sDevData, psPrivateData->hGeneralHeap, &iWidth, &iHeight, &iStride,
                                  &usage, psFormat->base.uiBpp, ui32Flags, apsMemInfo, aiFd);
        if (iErr != 0) goto err_free_planes;

        VEK_UINT32 ui32NumValidFds = 0;
        for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++)
            if (aiFd[i] >= 0) ui32NumValidFds++;

        psNativeHandle = reinterpret_cast<VEK_native_handle_t *>(
            native_handle_create((int)ui32NumValidFds, VEK_NATIVE_HANDLE_NUM_WORDS - (int)ui32NumValidFds));
        if (psNativeHandle == nullptr) {
            iErr = -ENOMEM;
            goto err_free_planes;
        }
        for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++) psNativeHandle->fd[i] = aiFd[i];
        psNativeHandle->usage = usage;
        psNativeHandle->ui64Stamp = apsMemInfo[0]->ui64Stamp;
        psNativeHandle->iFormat = format;

        if (!MapperAddMapped(psPrivateData, psNativeHandle, apsMemInfo)) {
            iErr = -EFAULT;
            goto err_delete_handle;
        }
        if (!MapperSanityCheck(psPrivateData)) {
            iErr = -EFAULT;
            MapperRemove(psPrivateData, MapperPeek(psPrivateData, psNativeHandle->ui64Stamp));
            goto err_delete_handle;
        }
        *stride = iStride;
    }

    psNativeHandle->iWidth = iWidth;
    psNativeHandle->iHeight = iHeight;
    psNativeHandle->iFormat = format;
    psNativeHandle->uiBpp = psFormat->base.uiBpp;
    *handle = &psNativeHandle->base;

    if (!psFormat->bSkipMemset) {
        for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX && apsMemInfo[i] != nullptr; i++)
            memset(apsMemInfo[i]->pvLinAddr, 0, apsMemInfo[i]->uAllocSize);
    }
    iErr = 0;
    goto out_unlock;

    /* A failed allocation leaves nothing behind: the planes the hook made go back through the
       format's own release. */
err_delete_handle:
    native_handle_delete(&psNativeHandle->base);
err_free_planes:
    ReleaseUnrecordedPlanes(psPrivateData, psFormat, apsMemInfo, aiFd);
out_unlock:
    putDevicePrivateData(psPrivateData);
    return iErr;
}

int gralloc_device_free(alloc_device_t *dev, buffer_handle_t handle) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    VEK_native_handle_t *psNativeHandle = AsNativeHandle(handle);
    if (dev == nullptr || !validate_handle(psNativeHandle)) return -EINVAL;

    VEK_private_data_t *psPrivateData = getDevicePrivateData(dev);
    int iErr;

    if (usage_fb(psNativeHandle->usage)) {
        /* A display buffer goes back to the slots of the device that made it, which may not be
           the device opened last. */
        VEK_mapper_meminfo_t *psMapperMemInfo = MapperPeek(psPrivateData, psNativeHandle->ui64Stamp);
        if (psMapperMemInfo != nullptr && psMapperMemInfo->psDisplayHandle == psNativeHandle)
            iErr = framebuffer_device_free(&psMapperMemInfo->psDisplayDevice->base, psNativeHandle);
        else if (FreeHandleOfAClosedDisplay(psNativeHandle))
            iErr = 0;
        else if (!hasFrameBufferDevice(dev))
            iErr = -EFAULT;
        else
            iErr = framebuffer_device_free(getDeviceFrameBufferDevice(dev), psNativeHandle);
    } else {
        VEK_mapper_meminfo_t *psMapperMemInfo = MapperPeek(psPrivateData, psNativeHandle->ui64Stamp);
        /* A display buffer (it alone has a 2D mem-info) goes back only through its slot,
           whatever usage a handle claims: it has no format record to release it. */
        VEK_entry_verdict_t eVerdict = VEK_ENTRY_GONE;
        if (psMapperMemInfo != nullptr && HandleNamesEntry(psMapperMemInfo, psNativeHandle) &&
            HandleFitsPlanes(psMapperMemInfo, psNativeHandle) && psMapperMemInfo->bAllocatedByThisProcess &&
            psMapperMemInfo->hMemInfo == nullptr)
            eVerdict = SettlePendingRelease(psMapperMemInfo, VEK_ENTRY_RELEASE);
        if (eVerdict == VEK_ENTRY_GONE) {
            iErr = -EINVAL;
        } else if (eVerdict == VEK_ENTRY_BUSY) {
            iErr = -EFAULT;
        } else {
            /* A buffer that a waiting call holds (a Post2 swapping it, a first lock waiting for
               the GPU) is freed once that call lets go: the caller, which does not free twice, is
               answered now. */
            iErr = CheckDeferFlushOpOrRetry(psPrivateData, __free, psMapperMemInfo, psMapperMemInfo->aiFd);
            if (iErr == 0) native_handle_delete(&psNativeHandle->base);
        }
    }

    putDevicePrivateData(psPrivateData);
    return iErr;
}

void gralloc_device_dump(alloc_device_t *dev, char *buff, int buff_len) {
    if (!IsInitializedFunc(__func__)) return;
    if (dev == nullptr || buff == nullptr || buff_len <= 0) return;

    VEK_private_data_t *psPrivateData = getDevicePrivateData(dev);
    MapperDumpSyncObjects(psPrivateData, buff, (size_t)buff_len);
    putDevicePrivateData(psPrivateData);
}

int gralloc_device_close(hw_device_t *device) {
    free(device);
    return 0;
}

int gralloc_setup(const hw_module_t *module, hw_device_t **device) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;

    alloc_device_t *psAllocDevice = static_cast<alloc_device_t *>(malloc(sizeof(alloc_device_t)));
    if (psAllocDevice == nullptr) return -ENOMEM;

    memset(psAllocDevice, 0, sizeof(*psAllocDevice));
    psAllocDevice->common.tag = HARDWARE_DEVICE_TAG;
    psAllocDevice->common.version = 1;
    psAllocDevice->common.module = const_cast<hw_module_t *>(module);
    psAllocDevice->common.close = gralloc_device_close;
    psAllocDevice->alloc = gralloc_device_alloc;
    psAllocDevice->free = gralloc_device_free;
    psAllocDevice->dump = gralloc_device_dump;
    *device = &psAllocDevice->common;
    return 0;
}

/* ---- Registration ---- */

/* A foreign buffer without mapping usage is mapped only while it is locked. */
static VEK_BOOL MappedOnlyWhileLocked(const VEK_mapper_meminfo_t *psMapperMemInfo) {
    return !psMapperMemInfo->bAllocatedByThisProcess && !usage_mapped(psMapperMemInfo->usage);
}

int ReleaseUnusedMapping(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psMapperMemInfo) {
    if (!MappedOnlyWhileLocked(psMapperMemInfo) || psMapperMemInfo->apsMemInfo[0] == nullptr) return 0;
    if (SettlePendingRelease(psMapperMemInfo, VEK_ENTRY_RELEASE) != VEK_ENTRY_GO) return 0;
    return CheckDeferFlushOpOrRetry(psPrivateData, __unmap, psMapperMemInfo, psMapperMemInfo->aiFd);
}

/* A mapping that this call made from nothing was never handed out: nothing of this process can
   have GPU work on it, and it goes at once. Should the services refuse, the worker tries again. */
static void ReleaseFreshMapping(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psMapperMemInfo,
                                VEK_defer_flush_op_pfn pfnRelease) {
    if (pfnRelease(psPrivateData, psMapperMemInfo, psMapperMemInfo->aiFd) != 0)
        CheckDeferFlushOpOrRetry(psPrivateData, pfnRelease, psMapperMemInfo, psMapperMemInfo->aiFd);
}

/* Maps the handle's planes that are not mapped yet and checks the result: the memory must be the
   buffer the handle's stamp names and hold what the handle describes (else -EINVAL), and the list
   must stay consistent (else -EFAULT). */
static int MapAndCheck(VEK_private_data_t *psPrivateData, VEK_native_handle_t *psNativeHandle,
                       VEK_mapper_meminfo_t *psMapperMemInfo) {
    if (__map(psPrivateData, psNativeHandle, psMapperMemInfo) != 0) return -EFAULT;
    /* A handle that names no descriptor (the display's) maps nothing and has nothing to show. */
    if (psNativeHandle->fd[0] >= 0 && !MappingIsHandles(psMapperMemInfo, psNativeHandle)) return -EINVAL;
    return MapperSanityCheck(psPrivateData) ? 0 : -EFAULT;
}

int MapForUse(VEK_private_data_t *psPrivateData, VEK_native_handle_t *psNativeHandle,
              VEK_mapper_meminfo_t *psMapperMemInfo) {
    if (psMapperMemInfo->bAllocatedByThisProcess ||
        (!MappedOnlyWhileLocked(psMapperMemInfo) && MappingComplete(psMapperMemInfo, psMapperMemInfo->aiFd)))
        return 0;
    const VEK_BOOL bFresh = psMapperMemInfo->apsMemInfo[0] == nullptr ? VEK_TRUE : VEK_FALSE;
    const int iErr = MapAndCheck(psPrivateData, psNativeHandle, psMapperMemInfo);
    if (iErr == 0) return 0;
    if (bFresh)
        ReleaseFreshMapping(psPrivateData, psMapperMemInfo, __unmap);
    else
        ReleaseUnusedMapping(psPrivateData, psMapperMemInfo);
    return iErr;
}

/* Maps the planes that are not mapped yet: a retry after a failure finishes the mapping. */
int __map(VEK_private_data_t *psPrivateData, VEK_native_handle_t *psNativeHandle,
          VEK_mapper_meminfo_t *psMapperMemInfo) {
    /* The first plane is what the consistency check compares. */
    if (psMapperMemInfo->apsMemInfo[0] == nullptr) MapperEntryChanged(psMapperMemInfo);
    for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++) {
        if (psNativeHandle->fd[i] < 0) return 0;
        if (psMapperMemInfo->apsMemInfo[i] == nullptr &&
            MapDeviceMemory(psPrivateData, psNativeHandle->fd[i], &psMapperMemInfo->apsMemInfo[i]) != 0)
            return -EFAULT;
    }
    return 0;
}

/* Empties each slot it releases, so that the check, the dump and every wait see only live
   mappings. The last plane goes first: a failure leaves the planes before it mapped and the
   list of slots without a gap. */
int __unmap(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psMapperMemInfo, int * /* aiFd */) {
    int iNumPlanes = 0;
    while (iNumPlanes < VEK_NATIVE_HANDLE_NUM_FDS_MAX && psMapperMemInfo->apsMemInfo[iNumPlanes] != nullptr)
        iNumPlanes++;
    for (int i = iNumPlanes - 1; i >= 0; i--) {
        if (ZOLSRVUnmapDeviceMemory(&psPrivateData->sDevData, psMapperMemInfo->apsMemInfo[i]) != ZOLSRV_OK)
            return -EFAULT;
        psMapperMemInfo->apsMemInfo[i] = nullptr;
        /* The first plane is what the consistency check compares. */
        if (i == 0) MapperEntryChanged(psMapperMemInfo);
    }
    return 0;
}

int __unmap_remove(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psMapperMemInfo, int *aiFd) {
    int iErr = __unmap(psPrivateData, psMapperMemInfo, aiFd);
    if (iErr == 0) MapperRemove(psPrivateData, psMapperMemInfo);
    return iErr;
}

/* A registered foreign buffer is mapped whole when its usage asks for it and holds no mapping
   otherwise, and the list stays consistent. Either way its planes are mapped first, so that the
   memory is seen to be the buffer the handle names; a buffer without mapping usage then lets that
   mapping go at once. On failure it is no longer registered and what it mapped goes, at once or
   when the GPU is done with it; should even that fail, a retry of the registration finishes it. */
/* A display buffer's handle that is none of this process's display buffers. */
static VEK_BOOL IsAnotherProcesssDisplayBuffer(const VEK_mapper_meminfo_t *psMapperMemInfo,
                                               const VEK_native_handle_t *psNativeHandle) {
    if (!usage_fb(psNativeHandle->usage)) return VEK_FALSE;
    return psMapperMemInfo == nullptr || psMapperMemInfo->psDisplayHandle != psNativeHandle ? VEK_TRUE : VEK_FALSE;
}

static int FinishRegistration(VEK_private_data_t *psPrivateData, VEK_native_handle_t *psNativeHandle,
                              VEK_mapper_meminfo_t *psMapperMemInfo) {
    const VEK_BOOL bMapped = usage_mapped(psMapperMemInfo->usage) ? VEK_TRUE : VEK_FALSE;
    /* A mapping left from an earlier registration serves again only for the same memory. */
    const VEK_BOOL bFresh = psMapperMemInfo->apsMemInfo[0] == nullptr ? VEK_TRUE : VEK_FALSE;
    int iErr = bFresh ? 0 : DescriptorsNameMapping(psPrivateData, psNativeHandle, psMapperMemInfo);

    if (iErr == 0) iErr = MapAndCheck(psPrivateData, psNativeHandle, psMapperMemInfo);
    if (iErr == 0) {
        if (!bMapped && bFresh)
            ReleaseFreshMapping(psPrivateData, psMapperMemInfo, __unmap);
        else
            /* What an earlier use left mapped goes when the GPU is done with it. */
            ReleaseUnusedMapping(psPrivateData, psMapperMemInfo);
        return 0;
    }
    psMapperMemInfo->bRegistered = VEK_FALSE;
    MapperEntryChanged(psMapperMemInfo);
    if (bFresh)
        ReleaseFreshMapping(psPrivateData, psMapperMemInfo, __unmap_remove);
    else
        CheckDeferFlushOpOrRetry(psPrivateData, __unmap_remove, psMapperMemInfo, psNativeHandle->fd);
    return iErr;
}

int gralloc_register_buffer(const gralloc_module_t *module, buffer_handle_t handle) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    VEK_native_handle_t *psNativeHandle = AsNativeHandle(handle);
    if (module == nullptr || !validate_handle(psNativeHandle)) return -EINVAL;

    VEK_private_data_t *psPrivateData = getModulePrivateData(module);
    VEK_mapper_meminfo_t *psMapperMemInfo = MapperPeek(psPrivateData, psNativeHandle->ui64Stamp);
    int iErr = 0;

    if (IsAnotherProcesssDisplayBuffer(psMapperMemInfo, psNativeHandle)) {
        /* It names no memory of this process: there is nothing to map, and it takes no stamp,
           which a later buffer of this process or of another client may carry. */
        iErr = 0;
    } else if (psMapperMemInfo != nullptr) {
        /* Its own buffers need no registration; a foreign one is registered once, and again only
           after its unregistration or a failed registration. */
        if (!HandleNamesEntry(psMapperMemInfo, psNativeHandle) ||
            SettlePendingRelease(psMapperMemInfo, VEK_ENTRY_REGISTER) != VEK_ENTRY_GO) {
            iErr = -EINVAL;
        } else if (psMapperMemInfo->bAllocatedByThisProcess) {
            /* A handle from elsewhere that claims one of its own buffers must describe no more
               than the buffer holds and name its memory: its own descriptors do, another
               process's copies of them are mapped once to see. */
            if (!HandleFitsPlanes(psMapperMemInfo, psNativeHandle))
                iErr = -EINVAL;
            else if (psMapperMemInfo->psDisplayHandle == nullptr &&
                     !HandleHoldsDescriptors(psMapperMemInfo, psNativeHandle))
                iErr = DescriptorsNameMapping(psPrivateData, psNativeHandle, psMapperMemInfo);
        } else {
            /* Registered anew: the buffer is what the new handle says it is, and gets the
               mapping its usage asks for now. */
            psMapperMemInfo->usage = psNativeHandle->usage;
            psMapperMemInfo->iFormat = psNativeHandle->iFormat;
            for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++)
                psMapperMemInfo->aiFd[i] = psNativeHandle->fd[i] >= 0 ? psNativeHandle->fd[i] : -1;
            iErr = FinishRegistration(psPrivateData, psNativeHandle, psMapperMemInfo);
        }
    } else if (!MapperAddUnmapped(psPrivateData, psNativeHandle)) {
        iErr = -EFAULT;
    } else {
        iErr = FinishRegistration(psPrivateData, psNativeHandle, MapperPeek(psPrivateData, psNativeHandle->ui64Stamp));
    }

    putModulePrivateData(psPrivateData);
    return iErr;
}

int gralloc_unregister_buffer(const gralloc_module_t *module, buffer_handle_t handle) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    VEK_native_handle_t *psNativeHandle = AsNativeHandle(handle);
    if (module == nullptr || !validate_handle(psNativeHandle)) return -EINVAL;

    VEK_private_data_t *psPrivateData = getModulePrivateData(module);
    VEK_mapper_meminfo_t *psMapperMemInfo = MapperPeek(psPrivateData, psNativeHandle->ui64Stamp);
    VEK_entry_verdict_t eVerdict;
    int iErr = 0;

    if (IsAnotherProcesssDisplayBuffer(psMapperMemInfo, psNativeHandle)) {
        /* Its registration took nothing. */
        iErr = 0;
    } else if (psMapperMemInfo == nullptr || !HandleNamesEntry(psMapperMemInfo, psNativeHandle) ||
               !HandleFitsPlanes(psMapperMemInfo, psNativeHandle) ||
               !HandleNamesMemory(psPrivateData, psMapperMemInfo, psNativeHandle)) {
        iErr = -EINVAL;
    } else if (psMapperMemInfo->bAllocatedByThisProcess) {
        iErr = psMapperMemInfo->bRegistered ? 0 : -EINVAL;
    } else if ((eVerdict = SettlePendingRelease(psMapperMemInfo, VEK_ENTRY_RELEASE)) == VEK_ENTRY_GONE ||
               eVerdict == VEK_ENTRY_BUSY) {
        /* Not registered here, unregistered already, or locked. */
        iErr = -EINVAL;
    } else if (eVerdict == VEK_ENTRY_HELD) {
        /* A waiting call (a Post2 swapping it, a first lock waiting for the GPU) holds the buffer:
           its removal waits until the call lets go. The caller does not unregister twice. */
        iErr = CheckDeferFlushOpOrRetry(psPrivateData, __unmap_remove, psMapperMemInfo, psNativeHandle->fd);
    } else if (usage_mapped(psMapperMemInfo->usage) || psMapperMemInfo->apsMemInfo[0] != nullptr) {
        /* A buffer mapped only while locked still holds its planes when its last unlock's
           unmapping was waiting, or an unmap by stamp gave back the lock's count: they go with
           the entry. */
        iErr = CheckDeferFlushOpOrRetry(psPrivateData, __unmap_remove, psMapperMemInfo, psNativeHandle->fd);
    } else {
        MapperRemove(psPrivateData, psMapperMemInfo);
    }

    putModulePrivateData(psPrivateData);
    return iErr;
}

/* ---- Lock and unlock ---- */

#define VEK_FLUSH_TRIES 50

/* Waits until every pair is finished. Only waits that end without an event use up a try: a
   stalled GPU delays the caller by 50 time-outs, a GPU that makes progress keeps it waiting. */
static void __flush_all_kind_ops(VEK_private_data_t *psPrivateData, VEK_flush_ops_pair_t *psOps,
                                 VEK_UINT32 ui32NumOpPairs, const char * /* szKind */) {
    VEK_UINT32 ui32TriesLeft = VEK_FLUSH_TRIES;

    for (;;) {
        VEK_UINT32 i = 0;
        while (i < ui32NumOpPairs && *psOps[i].pui32OpsComplete >= psOps[i].ui32OpsPending) i++;
        if (i == ui32NumOpPairs) return;
        if (ui32TriesLeft == 0) {
            ZOLSRVClientEvent(ZOLSRV_CLIENT_EVENT_HWTIMEOUT, &psPrivateData->sDevData,
                              ModuleOfPrivateData(psPrivateData));
            return;
        }
        if (ZOLSRVEventObjectWait(psPrivateData->sDevData.psConnection,
                                  psPrivateData->sHQTInfo.sMiscInfo.hOSGlobalEvent) != ZOLSRV_OK)
            ui32TriesLeft--;
    }
}

static VEK_UINT32 BuildReadWaitSet(ZOLSRV_CLIENT_MEM_INFO **apsMemInfo, VEK_flush_ops_pair_t *psOps) {
    VEK_UINT32 n = 0;
    for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX && apsMemInfo[i] != nullptr; i++) {
        ZOLSRV_SYNC_DATA *psSyncData = apsMemInfo[i]->psClientSyncInfo->psSyncData;
        psOps[n++] = {&psSyncData->ui32ReadOpsComplete, psSyncData->ui32ReadOpsPending};
        psOps[n++] = {&psSyncData->ui32ReadOps2Complete, psSyncData->ui32ReadOps2Pending};
    }
    return n;
}

static VEK_UINT32 BuildWriteWaitSet(ZOLSRV_CLIENT_MEM_INFO **apsMemInfo, VEK_flush_ops_pair_t *psOps) {
    VEK_UINT32 n = 0;
    for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX && apsMemInfo[i] != nullptr; i++) {
        ZOLSRV_SYNC_DATA *psSyncData = apsMemInfo[i]->psClientSyncInfo->psSyncData;
        psOps[n++] = {&psSyncData->ui32WriteOpsComplete, psSyncData->ui32WriteOpsPending};
    }
    return n;
}

static void __flush_all_read_ops(VEK_private_data_t *psPrivateData, VEK_flush_ops_pair_t *psOps,
                                 VEK_UINT32 ui32NumOpPairs) {
    __flush_all_kind_ops(psPrivateData, psOps, ui32NumOpPairs, "read");
}

static void __flush_all_write_ops(VEK_private_data_t *psPrivateData, VEK_flush_ops_pair_t *psOps,
                                  VEK_UINT32 ui32NumOpPairs) {
    __flush_all_kind_ops(psPrivateData, psOps, ui32NumOpPairs, "write");
}

/* Waits until the GPU has finished what conflicts with the requested access: a writer for the
   GPU's reads, then a reader for its writes. The mutex is released around each wait; each wait
   set is built under it just before its wait, with the counts pending then. Meanwhile the waiter
   mark keeps the buffer in use, so that its entry and mapping stay. */
static void __lock_buffer(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psMapperMemInfo, int usage) {
    VEK_flush_ops_pair_t asOps[2 * VEK_NATIVE_HANDLE_NUM_FDS_MAX];
    VEK_UINT32 ui32NumOps;

    if (!usage_write(usage) && !usage_read(usage)) return;
    psMapperMemInfo->ui32LockWaiters++;
    if (usage_write(usage)) {
        ui32NumOps = BuildReadWaitSet(psMapperMemInfo->apsMemInfo, asOps);
        putModulePrivateData(psPrivateData);
        __flush_all_read_ops(psPrivateData, asOps, ui32NumOps);
        LockModuleMutex(psPrivateData);
    }
    if (usage_read(usage)) {
        ui32NumOps = BuildWriteWaitSet(psMapperMemInfo->apsMemInfo, asOps);
        putModulePrivateData(psPrivateData);
        __flush_all_write_ops(psPrivateData, asOps, ui32NumOps);
        LockModuleMutex(psPrivateData);
    }
    psMapperMemInfo->ui32LockWaiters--;
}

static VEK_BOOL validate_lock_rectangle(const VEK_native_handle_t *psNativeHandle, int l, int t, int w, int h) {
    if (l < 0 || t < 0 || w < 0 || h < 0) return VEK_FALSE;
    if (l > psNativeHandle->iWidth || t > psNativeHandle->iHeight) return VEK_FALSE;
    /* Compared in 64 bits: a width near the top of int must not wrap into range. */
    if ((long long)l + w > psNativeHandle->iWidth || (long long)t + h > psNativeHandle->iHeight) return VEK_FALSE;
    return VEK_TRUE;
}

/* A lock joins one already held only without write access and with exactly its usage. */
static VEK_BOOL MayNest(const VEK_mapper_meminfo_t *psMapperMemInfo, int usage) {
    return !usage_write(usage) && usage == psMapperMemInfo->lockUsage;
}

int gralloc_module_lock(const gralloc_module_t *module, buffer_handle_t handle, int usage, int l, int t, int w, int h,
                        void **vaddr) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    VEK_native_handle_t *psNativeHandle = AsNativeHandle(handle);
    if (module == nullptr || !validate_handle(psNativeHandle)) return -EINVAL;
    if (!validate_lock_rectangle(psNativeHandle, l, t, w, h)) return -EINVAL;
    if (vaddr == nullptr && usage_sw(usage)) return -EINVAL;

    VEK_private_data_t *psPrivateData = getModulePrivateData(module);
    VEK_mapper_meminfo_t *psMapperMemInfo = LookupHandleEntry(psPrivateData, psNativeHandle, VEK_ENTRY_USE);
    int iErr = 0;

    if (psMapperMemInfo == nullptr) {
        iErr = -EINVAL;
        goto out_unlock;
    }
    if (psMapperMemInfo->ui32LockCount != 0) {
        if (!MayNest(psMapperMemInfo, usage)) iErr = -EINVAL;
        goto out_count;
    }

    /* The mapping an unlock let go serves again. A foreign buffer's planes must all be mapped:
       a buffer mapped only while locked is mapped now, and what a failure left half-mapped is
       finished. */
    SettlePendingRelease(psMapperMemInfo, VEK_ENTRY_HOLD);
    iErr = MapForUse(psPrivateData, psNativeHandle, psMapperMemInfo);
    if (iErr != 0) goto out_unlock;

    if (usage_hw(psMapperMemInfo->usage)) {
        __lock_buffer(psPrivateData, psMapperMemInfo, usage);
        /* Freed or unregistered while this lock waited: the release waits for it to let go. */
        if (!psMapperMemInfo->bRegistered) {
            iErr = -EINVAL;
            goto out_unlock;
        }
        /* Another lock may have won while this one waited: the rules hold against it. */
        if (psMapperMemInfo->ui32LockCount != 0) {
            if (!MayNest(psMapperMemInfo, usage)) iErr = -EINVAL;
            goto out_count;
        }
        if (usage_write(usage)) psMapperMemInfo->sWriteLockRect = {l, t, w, h};
    }
    psMapperMemInfo->lockUsage = usage;
    if (usage_write(usage)) psMapperMemInfo->bLockedForWrite = VEK_TRUE;

out_count:
    if (iErr != 0) goto out_unlock;
    /* Every row the handle describes was checked against the memory when it was mapped; a buffer
       with no memory here (a display buffer of another process) has no address to hand out. */
    if (usage_sw(usage) && psMapperMemInfo->apsMemInfo[0] == nullptr) {
        iErr = -EINVAL;
        goto out_unlock;
    }
    psMapperMemInfo->ui32LockCount++;
    if (vaddr != nullptr) {
        vaddr[0] = nullptr;
        if (usage_sw(usage)) {
            for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX && psMapperMemInfo->apsMemInfo[i] != nullptr; i++)
                vaddr[i] = psMapperMemInfo->apsMemInfo[i]->pvLinAddr;
        }
    }
out_unlock:
    putModulePrivateData(psPrivateData);
    return iErr;
}

/* The end of a buffer's last use, its last unlock or unmap, after a lock with write access: the
   CPU's writes must reach memory before the GPU reads the buffer. Display buffers are not
   cleaned. psNativeHandle is the unlock's handle, NULL for an unmap. */
static int CleanAfterWrite(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psMapperMemInfo,
                           VEK_native_handle_t *psNativeHandle) {
    const VEK_buffer_format_t *psFormat = GetBufferFormat(psMapperMemInfo->iFormat);

    if (!psMapperMemInfo->bLockedForWrite || !usage_hw(psMapperMemInfo->usage) || usage_fb(psMapperMemInfo->usage) ||
        psFormat == nullptr || psFormat->pfnFlushCache == nullptr)
        return 0;
    const int iErr = psFormat->pfnFlushCache(psNativeHandle, psPrivateData->sDevData.psConnection,
                                             psMapperMemInfo->apsMemInfo, &psMapperMemInfo->sWriteLockRect);
    /* A clean that failed is owed still: the next end of a use (a map joined to nothing, its
       unmap) tries again. */
    if (iErr == 0) psMapperMemInfo->bLockedForWrite = VEK_FALSE;
    return iErr;
}

int gralloc_module_unlock(const gralloc_module_t *module, buffer_handle_t handle) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    VEK_native_handle_t *psNativeHandle = AsNativeHandle(handle);
    if (module == nullptr || !validate_handle(psNativeHandle)) return -EINVAL;

    VEK_private_data_t *psPrivateData = getModulePrivateData(module);
    VEK_mapper_meminfo_t *psMapperMemInfo = LookupHandleEntry(psPrivateData, psNativeHandle, VEK_ENTRY_USE);
    int iErr = 0;

    if (psMapperMemInfo == nullptr || psMapperMemInfo->ui32LockCount == 0)
        iErr = -EINVAL;
    else if (--psMapperMemInfo->ui32LockCount == 0)
        if ((iErr = CleanAfterWrite(psPrivateData, psMapperMemInfo, psNativeHandle)) == 0)
            iErr = ReleaseUnusedMapping(psPrivateData, psMapperMemInfo);

    putModulePrivateData(psPrivateData);
    return iErr;
}

/* ---- Stamp mapping and physical addresses ---- */

int gralloc_module_map(const gralloc_module_t *module, VEK_UINT64 ui64Stamp, int usage,
                       ZOLSRV_CLIENT_MEM_INFO **apsMemInfo) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    if (module == nullptr || apsMemInfo == nullptr) return -EINVAL;
    if (usage_sw(usage)) return -EINVAL;

    VEK_private_data_t *psPrivateData = getModulePrivateData(module);
    VEK_mapper_meminfo_t *psMapperMemInfo = LookupUsableEntry(psPrivateData, ui64Stamp, VEK_ENTRY_HOLD);
    int iErr = 0;

    if (psMapperMemInfo == nullptr) {
        iErr = -EINVAL;
    } else if (psMapperMemInfo->ui32LockCount == 0) {
        psMapperMemInfo->lockUsage = usage;
    } else if (usage_write(usage) || (usage_read(usage) && usage_write(psMapperMemInfo->lockUsage))) {
        iErr = -EINVAL;
    }
    if (iErr == 0) {
        psMapperMemInfo->ui32LockCount++;
        /* Map never maps: a buffer not mapped whole here has no planes to hand out. */
        const VEK_BOOL bWhole = MappingComplete(psMapperMemInfo, psMapperMemInfo->aiFd);
        for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++)
            apsMemInfo[i] = bWhole ? psMapperMemInfo->apsMemInfo[i] : nullptr;
    }

    putModulePrivateData(psPrivateData);
    return iErr;
}

int gralloc_module_unmap(const gralloc_module_t *module, VEK_UINT64 ui64Stamp) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    if (module == nullptr) return -EINVAL;

    VEK_private_data_t *psPrivateData = getModulePrivateData(module);
    VEK_mapper_meminfo_t *psMapperMemInfo = LookupUsableEntry(psPrivateData, ui64Stamp, VEK_ENTRY_USE);
    int iErr = 0;

    /* An unmatched unmap must not wrap the count round to a lock that nobody holds. */
    if (psMapperMemInfo == nullptr || psMapperMemInfo->ui32LockCount == 0) {
        iErr = -EINVAL;
    } else if (--psMapperMemInfo->ui32LockCount == 0) {
        /* The use has ended either way. A mapping that the services would not release yet is
           queued for the worker to release: a caller told of it could only call again and be
           refused. */
        if ((iErr = CleanAfterWrite(psPrivateData, psMapperMemInfo, nullptr)) == 0)
            ReleaseUnusedMapping(psPrivateData, psMapperMemInfo);
    }

    putModulePrivateData(psPrivateData);
    return iErr;
}

int gralloc_module_getphyaddrs(const VEK_gralloc_module_public_t *module, buffer_handle_t handle,
                               unsigned int *auiPhyAddr) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    VEK_native_handle_t *psNativeHandle = AsNativeHandle(handle);
    if (module == nullptr || !validate_handle(psNativeHandle) || auiPhyAddr == nullptr) return -EINVAL;

    VEK_private_data_t *psPrivateData = getModulePrivateData(&module->base);
    VEK_mapper_meminfo_t *psMapperMemInfo = LookupHandleEntry(psPrivateData, psNativeHandle, VEK_ENTRY_USE);
    const VEK_buffer_format_t *psFormat = GetBufferFormat(psNativeHandle->iFormat);
    int iErr = 0;

    if (psMapperMemInfo == nullptr || psFormat == nullptr || psFormat->pfnGetPhyAddrs == nullptr ||
        !psFormat->pfnGetPhyAddrs(psMapperMemInfo->apsMemInfo, reinterpret_cast<VEK_SYS_PHYADDR *>(auiPhyAddr)))
        iErr = -EINVAL;

    putModulePrivateData(psPrivateData);
    return iErr;
}
