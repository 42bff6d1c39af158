/* The allocator device "gpu0". */
#include "gralloc.h"

#include <errno.h>
#include <limits.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "framebuffer.h"
#include "gralloc_defer.h"
#include "gralloc_internal.h"
#include "hal.h"
#include "mapper.h"

/* The size of the native-handle header: Android's native_handle_create sets it. */
#define VEK_NATIVE_HANDLE_VERSION 12

VEK_BOOL validate_handle(VEK_native_handle_t *psNativeHandle) {
    if (psNativeHandle == nullptr) return VEK_FALSE;
    /* Every field below is read at a fixed offset: a forged or truncated handle must not send
       the module past its end. */
    if (psNativeHandle->base.version != VEK_NATIVE_HANDLE_VERSION) return VEK_FALSE;
    if (psNativeHandle->base.numFds < 0 || psNativeHandle->base.numFds > VEK_NATIVE_HANDLE_NUM_FDS_MAX)
        return VEK_FALSE;
    if (psNativeHandle->base.numFds + psNativeHandle->base.numInts != VEK_NATIVE_HANDLE_NUM_WORDS) return VEK_FALSE;
    if (usage_unsupported(psNativeHandle->usage)) return VEK_FALSE;
    /* A buffer's planes are its leading descriptors, one per plane: a handle that counts a
       descriptor it does not hold would register as a buffer without memory. Display buffers
       export none and carry -2 in every slot. */
    if (!usage_fb(psNativeHandle->usage)) {
        for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++)
            if ((psNativeHandle->fd[i] >= 0) != (i < psNativeHandle->base.numFds)) return VEK_FALSE;
    }
    return VEK_TRUE;
}

static VEK_gralloc_module_t *getDeviceModule(alloc_device_t *psAllocDevice) {
    return reinterpret_cast<VEK_gralloc_module_t *>(psAllocDevice->common.module);
}

static VEK_private_data_t *getDevicePrivateData(alloc_device_t *psAllocDevice) {
    VEK_private_data_t *psPrivateData = &getDeviceModule(psAllocDevice)->sPrivateData;
    ZOLSRVLockMutex(psPrivateData->hMutex);
    return psPrivateData;
}

static void putDevicePrivateData(VEK_private_data_t *psPrivateData) { ZOLSRVUnlockMutex(psPrivateData->hMutex); }

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
    int iErr = psFormat->pfnFree(&psPrivateData->sDevData, psMapperMemInfo->apsMemInfo, aiFd);
    if (iErr == 0) MapperRemove(psPrivateData, psMapperMemInfo);
    return iErr;
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
        iErr = psFormat->pfnAlloc(&psPrivateData->sDevData, psPrivateData->hGeneralHeap, &iWidth, &iHeight, &iStride,
                                  &usage, psFormat->base.uiBpp, ui32Flags, apsMemInfo, aiFd);
        if (iErr != 0) goto out_unlock;

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
        psMapperMemInfo = MapperPeek(psPrivateData, psNativeHandle->ui64Stamp);
        for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++) psMapperMemInfo->aiFd[i] = aiFd[i];
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
    psFormat->pfnFree(&psPrivateData->sDevData, apsMemInfo, aiFd);
out_unlock:
    putDevicePrivateData(psPrivateData);
    return iErr;
}

int gralloc_device_free(alloc_device_t *dev, buffer_handle_t handle) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    VEK_native_handle_t *psNativeHandle =
        reinterpret_cast<VEK_native_handle_t *>(const_cast<native_handle_t *>(handle));
    if (dev == nullptr || !validate_handle(psNativeHandle)) return -EINVAL;

    VEK_private_data_t *psPrivateData = getDevicePrivateData(dev);
    int iErr;

    if (usage_fb(psNativeHandle->usage)) {
        if (!hasFrameBufferDevice(dev))
            iErr = -EFAULT;
        else
            iErr = framebuffer_device_free(getDeviceFrameBufferDevice(dev), psNativeHandle);
    } else {
        VEK_mapper_meminfo_t *psMapperMemInfo = MapperPeek(psPrivateData, psNativeHandle->ui64Stamp);
        /* A buffer whose release is already queued is gone for its owner. A display buffer
           (it alone has a 2D mem-info) goes back only through its slot, whatever usage a
           handle claims: it has no format record to release it. */
        if (psMapperMemInfo == nullptr || !psMapperMemInfo->bAllocatedByThisProcess ||
            psMapperMemInfo->hMemInfo != nullptr || PendingDeferFlushOp(psMapperMemInfo) != nullptr) {
            iErr = -EINVAL;
        } else if (psMapperMemInfo->ui32LockCount != 0 || psMapperMemInfo->ui32LockWaiters != 0) {
            iErr = -EFAULT;
        } else {
            iErr = CheckDeferFlushOp(psPrivateData, __free, psMapperMemInfo, psMapperMemInfo->aiFd);
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

/* The entry of a buffer this process may use: known, and with no removal or release queued. */
VEK_mapper_meminfo_t *LookupUsableEntry(VEK_private_data_t *psPrivateData, VEK_UINT64 ui64Stamp) {
    VEK_mapper_meminfo_t *psMapperMemInfo = MapperPeek(psPrivateData, ui64Stamp);
    if (psMapperMemInfo == nullptr || !psMapperMemInfo->bRegistered) return nullptr;
    VEK_defer_flush_op_pfn pfnPending = PendingDeferFlushOp(psMapperMemInfo);
    if (pfnPending == __free || pfnPending == __unmap_remove) return nullptr;
    return psMapperMemInfo;
}

/* A foreign buffer without mapping usage is mapped only while it is locked. */
static VEK_BOOL MappedOnlyWhileLocked(const VEK_mapper_meminfo_t *psMapperMemInfo) {
    return !psMapperMemInfo->bAllocatedByThisProcess && !usage_mapped(psMapperMemInfo->usage);
}

int __map(VEK_private_data_t *psPrivateData, VEK_native_handle_t *psNativeHandle,
          VEK_mapper_meminfo_t *psMapperMemInfo) {
    for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++) {
        if (psNativeHandle->fd[i] < 0) {
            psMapperMemInfo->apsMemInfo[i] = nullptr;
            return 0;
        }
        if (ZOLSRVMapDeviceMemory2(&psPrivateData->sDevData, psNativeHandle->fd[i], psPrivateData->hGeneralHeap,
                                   &psMapperMemInfo->apsMemInfo[i]) != ZOLSRV_OK) {
            psMapperMemInfo->apsMemInfo[i] = nullptr;
            return -EFAULT;
        }
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
    }
    return 0;
}

int __unmap_remove(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psMapperMemInfo, int *aiFd) {
    int iErr = __unmap(psPrivateData, psMapperMemInfo, aiFd);
    if (iErr == 0) MapperRemove(psPrivateData, psMapperMemInfo);
    return iErr;
}

int gralloc_register_buffer(const gralloc_module_t *module, buffer_handle_t handle) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    VEK_native_handle_t *psNativeHandle = AsNativeHandle(handle);
    if (module == nullptr || !validate_handle(psNativeHandle)) return -EINVAL;

    VEK_private_data_t *psPrivateData = getModulePrivateData(module);
    VEK_mapper_meminfo_t *psMapperMemInfo = MapperPeek(psPrivateData, psNativeHandle->ui64Stamp);
    int iErr = 0;

    if (psMapperMemInfo != nullptr) {
        /* A process registers a foreign buffer once; its own buffers need no registration. */
        iErr = psMapperMemInfo->bAllocatedByThisProcess ? 0 : -EINVAL;
        /* Unregistered while the GPU still used it, the buffer is no longer known to the caller:
           registering it again takes the queued removal back, and the mapping serves again (a
           buffer mapped only while locked keeps its pending unmapping). */
        if (iErr != 0 && PendingDeferFlushOp(psMapperMemInfo) == __unmap_remove) {
            RequeueDeferFlushOp(psMapperMemInfo, usage_mapped(psMapperMemInfo->usage) ? nullptr : __unmap);
            iErr = 0;
        }
    } else if (!MapperAddUnmapped(psPrivateData, psNativeHandle)) {
        iErr = -EFAULT;
    } else {
        psMapperMemInfo = MapperPeek(psPrivateData, psNativeHandle->ui64Stamp);
        if ((usage_mapped(psNativeHandle->usage) && __map(psPrivateData, psNativeHandle, psMapperMemInfo) != 0) ||
            !MapperSanityCheck(psPrivateData)) {
            /* Leave nothing behind, so that a retry can succeed: the planes mapped so far and the
               new entry go, at once or when the GPU is done with them. */
            iErr = -EFAULT;
            CheckDeferFlushOp(psPrivateData, __unmap_remove, psMapperMemInfo, psNativeHandle->fd);
        }
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
    int iErr = 0;

    if (psMapperMemInfo == nullptr || !psMapperMemInfo->bRegistered) {
        iErr = -EINVAL;
    } else if (psMapperMemInfo->bAllocatedByThisProcess) {
        iErr = 0;
    } else if (PendingDeferFlushOp(psMapperMemInfo) == __unmap_remove) {
        /* Unregistered already; its removal waits for the GPU. */
        iErr = -EINVAL;
    } else if (psMapperMemInfo->ui32LockCount != 0 || psMapperMemInfo->ui32LockWaiters != 0) {
        iErr = -EINVAL;
    } else if (PendingDeferFlushOp(psMapperMemInfo) == __unmap) {
        /* The unmapping of the last unlock still waits: let it remove the entry too. */
        RequeueDeferFlushOp(psMapperMemInfo, __unmap_remove);
    } else if (usage_mapped(psMapperMemInfo->usage) || psMapperMemInfo->apsMemInfo[0] != nullptr) {
        /* A buffer mapped only while locked still holds its planes when an unmap by stamp gave
           back the lock's count: they go with the entry. */
        iErr = CheckDeferFlushOp(psPrivateData, __unmap_remove, psMapperMemInfo, psNativeHandle->fd);
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

/* Waits, with the mutex released, until the GPU has finished what conflicts with the requested
   access. The wait sets are built while the mutex is still held: the entry's slots are stable
   then, and the waiter mark keeps them so until the mutex is taken again. */
static void __lock_buffer(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t *psMapperMemInfo, int usage) {
    VEK_flush_ops_pair_t asReadOps[2 * VEK_NATIVE_HANDLE_NUM_FDS_MAX], asWriteOps[VEK_NATIVE_HANDLE_NUM_FDS_MAX];
    VEK_UINT32 ui32NumReadOps = usage_write(usage) ? BuildReadWaitSet(psMapperMemInfo->apsMemInfo, asReadOps) : 0;
    VEK_UINT32 ui32NumWriteOps = usage_read(usage) ? BuildWriteWaitSet(psMapperMemInfo->apsMemInfo, asWriteOps) : 0;

    if (!usage_write(usage) && !usage_read(usage)) return;
    psMapperMemInfo->ui32LockWaiters++;
    putModulePrivateData(psPrivateData);
    /* A writer waits for the GPU's reads, a reader for its writes. */
    if (usage_write(usage)) __flush_all_read_ops(psPrivateData, asReadOps, ui32NumReadOps);
    if (usage_read(usage)) __flush_all_write_ops(psPrivateData, asWriteOps, ui32NumWriteOps);
    ZOLSRVLockMutex(psPrivateData->hMutex);
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
    VEK_mapper_meminfo_t *psMapperMemInfo = LookupUsableEntry(psPrivateData, psNativeHandle->ui64Stamp);
    int iErr = 0;

    if (psMapperMemInfo == nullptr) {
        iErr = -EINVAL;
        goto out_unlock;
    }
    if (psMapperMemInfo->ui32LockCount != 0) {
        if (!MayNest(psMapperMemInfo, usage)) iErr = -EINVAL;
        goto out_count;
    }

    if (MappedOnlyWhileLocked(psMapperMemInfo)) {
        /* An unmapping queued by the last unlock is taken back: its mapping serves again. */
        if (PendingDeferFlushOp(psMapperMemInfo) == __unmap) RequeueDeferFlushOp(psMapperMemInfo, nullptr);
        /* Another first lock waiting for the GPU may have mapped the planes already. */
        if (psMapperMemInfo->apsMemInfo[0] == nullptr) {
            if (__map(psPrivateData, psNativeHandle, psMapperMemInfo) != 0 || !MapperSanityCheck(psPrivateData)) {
                iErr = -EFAULT;
                CheckDeferFlushOp(psPrivateData, __unmap, psMapperMemInfo, psNativeHandle->fd);
                goto out_unlock;
            }
        }
    }

    if (usage_hw(psMapperMemInfo->usage)) {
        __lock_buffer(psPrivateData, psMapperMemInfo, usage);
        /* Another lock may have won while this one waited: the rules hold against it. */
        if (psMapperMemInfo->ui32LockCount != 0) {
            if (!MayNest(psMapperMemInfo, usage)) iErr = -EINVAL;
            goto out_count;
        }
        if (usage_write(usage)) psMapperMemInfo->sWriteLockRect = {l, t, w, h};
    }
    psMapperMemInfo->lockUsage = usage;

out_count:
    if (iErr != 0) goto out_unlock;
    /* Addresses go out only over memory that holds every row the handle describes, which a
       handle from another process may overstate; a mapping made for this lock goes again. */
    if (usage_sw(usage) && !HandleFitsPlane0(psPrivateData, psNativeHandle, psMapperMemInfo->apsMemInfo[0])) {
        iErr = -EINVAL;
        if (psMapperMemInfo->ui32LockCount == 0 && psMapperMemInfo->ui32LockWaiters == 0 &&
            MappedOnlyWhileLocked(psMapperMemInfo))
            CheckDeferFlushOp(psPrivateData, __unmap, psMapperMemInfo, psNativeHandle->fd);
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

int gralloc_module_unlock(const gralloc_module_t *module, buffer_handle_t handle) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    VEK_native_handle_t *psNativeHandle = AsNativeHandle(handle);
    if (module == nullptr || !validate_handle(psNativeHandle)) return -EINVAL;

    VEK_private_data_t *psPrivateData = getModulePrivateData(module);
    VEK_mapper_meminfo_t *psMapperMemInfo = LookupUsableEntry(psPrivateData, psNativeHandle->ui64Stamp);
    /* Looked up first, so that a handle of no known format changes nothing. */
    const VEK_buffer_format_t *psFormat = GetBufferFormat(psNativeHandle->iFormat);
    int iErr = 0;

    if (psMapperMemInfo == nullptr || psMapperMemInfo->ui32LockCount == 0 || psFormat == nullptr) {
        iErr = -EINVAL;
        goto out_unlock;
    }
    if (--psMapperMemInfo->ui32LockCount > 0) goto out_unlock;

    /* The CPU's writes must reach memory before the GPU reads the buffer; display buffers are
       not cleaned. */
    if (usage_hw(psMapperMemInfo->usage) && usage_write(psMapperMemInfo->lockUsage) &&
        !usage_fb(psNativeHandle->usage) && psFormat->pfnFlushCache != nullptr) {
        iErr = psFormat->pfnFlushCache(psNativeHandle, psPrivateData->sDevData.psConnection,
                                       psMapperMemInfo->apsMemInfo, &psMapperMemInfo->sWriteLockRect);
        if (iErr != 0) goto out_unlock;
    }
    /* A first lock waiting for the GPU keeps the mapping: its own last unlock releases it. */
    if (MappedOnlyWhileLocked(psMapperMemInfo) && psMapperMemInfo->ui32LockWaiters == 0)
        iErr = CheckDeferFlushOp(psPrivateData, __unmap, psMapperMemInfo, psNativeHandle->fd);

out_unlock:
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
    VEK_mapper_meminfo_t *psMapperMemInfo = LookupUsableEntry(psPrivateData, ui64Stamp);
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
        for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++) apsMemInfo[i] = psMapperMemInfo->apsMemInfo[i];
    }

    putModulePrivateData(psPrivateData);
    return iErr;
}

int gralloc_module_unmap(const gralloc_module_t *module, VEK_UINT64 ui64Stamp) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    if (module == nullptr) return -EINVAL;

    VEK_private_data_t *psPrivateData = getModulePrivateData(module);
    VEK_mapper_meminfo_t *psMapperMemInfo = LookupUsableEntry(psPrivateData, ui64Stamp);
    int iErr = 0;

    /* An unmatched unmap must not wrap the count round to a lock that nobody holds. */
    if (psMapperMemInfo == nullptr || psMapperMemInfo->ui32LockCount == 0)
        iErr = -EINVAL;
    else
        psMapperMemInfo->ui32LockCount--;

    putModulePrivateData(psPrivateData);
    return iErr;
}

int gralloc_module_getphyaddrs(const VEK_gralloc_module_public_t *module, buffer_handle_t handle,
                               unsigned int *auiPhyAddr) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    VEK_native_handle_t *psNativeHandle = AsNativeHandle(handle);
    if (module == nullptr || !validate_handle(psNativeHandle) || auiPhyAddr == nullptr) return -EINVAL;

    VEK_private_data_t *psPrivateData = getModulePrivateData(&module->base);
    VEK_mapper_meminfo_t *psMapperMemInfo = LookupUsableEntry(psPrivateData, psNativeHandle->ui64Stamp);
    const VEK_buffer_format_t *psFormat = GetBufferFormat(psNativeHandle->iFormat);
    int iErr = 0;

    if (psMapperMemInfo == nullptr || psFormat == nullptr || psFormat->pfnGetPhyAddrs == nullptr ||
        !psFormat->pfnGetPhyAddrs(psMapperMemInfo->apsMemInfo, reinterpret_cast<VEK_SYS_PHYADDR *>(auiPhyAddr)))
        iErr = -EINVAL;

    putModulePrivateData(psPrivateData);
    return iErr;
}
