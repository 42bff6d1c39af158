/* The allocator device "gpu0". */
#include "gralloc.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "framebuffer.h"
#include "gralloc_defer.h"
#include "hal.h"
#include "mapper.h"

/* The size of the native-handle header: Android's native_handle_create sets it. */
#define VEK_NATIVE_HANDLE_VERSION 12

VEK_BOOL validate_handle(VEK_native_handle_t *psNativeHandle) {
    if (psNativeHandle == nullptr) return VEK_FALSE;
    /* Every field below is read at a fixed offset: a forged or truncated handle must not send
       the module past its end. */
    if (psNativeHandle->base.version != VEK_NATIVE_HANDLE_VERSION) return VEK_FALSE;
    if (psNativeHandle->base.numFds < 0 || psNativeHandle->base.numFds > VEK_NATIVE_HANDLE_NUM_FDS_MAX) return VEK_FALSE;
    if (psNativeHandle->base.numFds + psNativeHandle->base.numInts != VEK_NATIVE_HANDLE_NUM_WORDS) return VEK_FALSE;
    return usage_unsupported(psNativeHandle->usage) == 0;
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

int gralloc_device_alloc(alloc_device_t *psAllocDevice, int w, int h, int format, int usage,
                                buffer_handle_t *handle, int *stride) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    if (psAllocDevice == nullptr || handle == nullptr || stride == nullptr) return -EINVAL;
    if (usage_unsupported(usage)) return -EINVAL;

    const VEK_UINT32 ui32Flags = AllocFlagsForUsage(usage);
    const VEK_buffer_format_t *psFormat = GetBufferFormat(format);
    if (psFormat == nullptr) return -EINVAL;
    if (usage_fb(usage) && !psFormat->base.bGPURenderable) return -EINVAL;

    VEK_private_data_t *psPrivateData = getDevicePrivateData(psAllocDevice);
    int iWidth = w, iHeight = h, iStride = (int)(((unsigned int)w + 31u) & ~31u);
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
        iErr = framebuffer_device_alloc(getDeviceFrameBufferDevice(psAllocDevice), w, h, format, usage,
                                        &psNativeHandle, stride);
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
    VEK_native_handle_t *psNativeHandle = reinterpret_cast<VEK_native_handle_t *>(const_cast<native_handle_t *>(handle));
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
        if (psMapperMemInfo == nullptr || !psMapperMemInfo->bAllocatedByThisProcess) {
            iErr = -EINVAL;
        } else if (psMapperMemInfo->ui32LockCount != 0) {
            iErr = -EFAULT;
        } else {
            iErr = CheckDeferFlushOp(psPrivateData, __free, psMapperMemInfo, psNativeHandle->fd);
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
