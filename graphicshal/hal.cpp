/* The module record, device open, the services connection and the format registry. */
#include "hal.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "gralloc.h"
#include "gralloc_defer.h"
#include "mapper.h"

#define HAL_EXPORT __attribute__((visibility("default")))

/* ---- Format registry ---- */

static VEK_buffer_format_t *gpsBufferFormats;

VEK_BOOL RegisterBufferFormat(VEK_buffer_format_t *psBufferFormat) {
    if (gpsBufferFormats == nullptr) {
        gpsBufferFormats = psBufferFormat;
        return VEK_TRUE;
    }
    VEK_buffer_format_public_t *psTail = &gpsBufferFormats->base;
    while (psTail->psNext != nullptr) psTail = psTail->psNext;
    psTail->psNext = &psBufferFormat->base;
    return VEK_TRUE;
}

const VEK_buffer_format_public_t *GetBufferFormats(void) {
    return gpsBufferFormats != nullptr ? &gpsBufferFormats->base : nullptr;
}

const VEK_buffer_format_t *GetBufferFormat(int iFormat) {
    for (const VEK_buffer_format_public_t *ps = GetBufferFormats(); ps != nullptr; ps = ps->psNext) {
        if (ps->iHalPixelFormat == iFormat) return reinterpret_cast<const VEK_buffer_format_t *>(ps);
    }
    return nullptr;
}

/* ---- Initialisation guard ---- */

static VEK_BOOL gbGraphicsHALInitialized = VEK_FALSE;
/* Set in a child that fork made of a process that had started the module. The child has the
   parent's state without the parent's threads: the mutex may be held by a thread it does not
   have, and the connection, the mappings and the queued releases are the parent's. It leaves all
   of it alone, and the module answers it as one that did not start up. A program that wants the
   module in a child loads it there anew (after dlclose, which then takes nothing down). */
static VEK_BOOL gbForkedChild = VEK_FALSE;

static void hal_fork_child(void) { gbForkedChild = VEK_TRUE; }

VEK_BOOL IsInitializedFunc(const char * /* func */) { return gbGraphicsHALInitialized && !gbForkedChild; }

/* ---- Compositor check ---- */

static VEK_BOOL bCompositorCheckInitialized = VEK_FALSE;
static VEK_BOOL bIsSurfaceFlingerCompositor = VEK_FALSE;

VEK_BOOL IsCompositor(void) {
    if (bCompositorCheckInitialized) return bIsSurfaceFlingerCompositor;

    int iFd = open("/proc/self/cmdline", O_RDONLY);
    if (iFd >= 0) {
        char szCmdline[65];
        ssize_t iRead = read(iFd, szCmdline, 64);
        if (iRead > 0) {
            szCmdline[iRead] = '\0';
            const char *pszSlash = strrchr(szCmdline, '/');
            const char *pszName = pszSlash != nullptr ? pszSlash + 1 : szCmdline;
            if (strcmp(pszName, "system_server") == 0 || strcmp(pszName, "surfaceflinger") == 0)
                bIsSurfaceFlingerCompositor = VEK_TRUE;
        }
        close(iFd);
    }
    bCompositorCheckInitialized = VEK_TRUE;
    return bIsSurfaceFlingerCompositor;
}

/* ---- The module record ---- */

static int hal_open(const hw_module_t *module, const char *id, hw_device_t **device);
static void LogSyncs(VEK_gralloc_module_t *psGrallocModule);

static hw_module_methods_t hal_module_methods = {hal_open};

/* Writable: the loader stores the library handle in dso. */
extern "C" {
HAL_EXPORT VEK_gralloc_module_t HMI = {
    /* base */ {
        /* base */ {
            /* common */ {
                HARDWARE_MODULE_TAG,
                1,
                0,
                GRALLOC_HARDWARE_MODULE_ID,
                "VEK HQT Graphics HAL",
                "Quorvane",
                &hal_module_methods,
                nullptr,
                {0},
            },
            /* registerBuffer */ gralloc_register_buffer,
            /* unregisterBuffer */ gralloc_unregister_buffer,
            /* lock */ gralloc_module_lock,
            /* unlock */ gralloc_module_unlock,
            /* perform */ nullptr,
            /* reserved_proc */ {nullptr},
        },
        /* psFrameBufferDevice */ nullptr,
        /* GetPhyAddrs */ gralloc_module_getphyaddrs,
        /* Blit */ gralloc_module_blit_to_vaddr,
        /* Blit2 */ gralloc_module_blit_to_handle,
    },
    /* map */ gralloc_module_map,
    /* unmap */ gralloc_module_unmap,
    /* LogSyncs */ LogSyncs,
    /* GetBufferFormats */ GetBufferFormats,
    /* IsCompositor */ IsCompositor,
    /* sPrivateData */ {},
};
}

/* Every holder of the module mutex needs it, and none has a way to report that it could not be
   taken or given back (the release worker, the return from a GPU wait, dump): a lock or an unlock
   that the services answer with a failure has not happened, and is made again. */
void LockModuleMutex(VEK_private_data_t *psPrivateData) {
    while (ZOLSRVLockMutex(psPrivateData->hMutex) != ZOLSRV_OK) sched_yield();
}

void UnlockModuleMutex(VEK_private_data_t *psPrivateData) {
    /* Every call that took the mutex passes here: what a worker that could not start left queued
       waits no longer than the next of them. */
    KeepReleasesGoing(psPrivateData);
    while (ZOLSRVUnlockMutex(psPrivateData->hMutex) != ZOLSRV_OK) sched_yield();
}

VEK_private_data_t *getModulePrivateData(const gralloc_module_t *psGrallocModule) {
    VEK_private_data_t *psPrivateData =
        &reinterpret_cast<VEK_gralloc_module_t *>(const_cast<gralloc_module_t *>(psGrallocModule))->sPrivateData;
    LockModuleMutex(psPrivateData);
    return psPrivateData;
}

void putModulePrivateData(VEK_private_data_t *psPrivateData) { UnlockModuleMutex(psPrivateData); }

/* ---- Device open ---- */

static void LoadFrameBufferAppHints(VEK_private_data_t *psPrivateData, VEK_VOID *pvHintState) {
    VEK_app_hints_t *psAppHints = &psPrivateData->sAppHints;
    const VEK_UINT32 ui32DefaultPresentMode = 0, ui32DefaultNumFrameBuffers = 2, ui32DefaultFrameBufferHz = 68;
    VEK_UINT32 ui32PresentMode = ui32DefaultPresentMode;

    if (pvHintState != nullptr)
        ZOLSRVGetAppHint(pvHintState, "HALPresentMode", VEK_UINT_TYPE, &ui32DefaultPresentMode, &ui32PresentMode);
    switch (ui32PresentMode) {
        case 1:
            psAppHints->eHALPresentMode = HAL_PRESENT_MODE_BLIT;
            break;
        case 2:
            psAppHints->eHALPresentMode = HAL_PRESENT_MODE_FRONT;
            break;
        default:
            psAppHints->eHALPresentMode = HAL_PRESENT_MODE_FLIP;
            break;
    }
    psAppHints->ui32HALNumFrameBuffers = ui32DefaultNumFrameBuffers;
    psAppHints->ui32HALFrameBufferHz = ui32DefaultFrameBufferHz;
    if (pvHintState != nullptr) {
        ZOLSRVGetAppHint(pvHintState, "HALNumFrameBuffers", VEK_UINT_TYPE, &ui32DefaultNumFrameBuffers,
                         &psAppHints->ui32HALNumFrameBuffers);
        ZOLSRVGetAppHint(pvHintState, "HALFrameBufferHz", VEK_UINT_TYPE, &ui32DefaultFrameBufferHz,
                         &psAppHints->ui32HALFrameBufferHz);
    }

    /* Flipping needs at least two buffers; the front buffer is exactly one. */
    if (psAppHints->eHALPresentMode == HAL_PRESENT_MODE_FLIP && psAppHints->ui32HALNumFrameBuffers <= 1)
        psAppHints->eHALPresentMode = HAL_PRESENT_MODE_FRONT;
    if (psAppHints->eHALPresentMode == HAL_PRESENT_MODE_FRONT) psAppHints->ui32HALNumFrameBuffers = 1;
}

static int FreeAppHintState(VEK_private_data_t * /* psPrivateData */, void *pvHintState) {
    return ZOLSRVFreeAppHintState(VEK_ANDROID_HAL, pvHintState) == ZOLSRV_OK ? 0 : -EFAULT;
}

static int hal_open(const hw_module_t *module, const char *id, hw_device_t **device) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    /* The setup functions store the new device through device; there is nothing to open
       without an id. */
    if (id == nullptr || device == nullptr) return -EINVAL;

    VEK_private_data_t *psPrivateData = &HMI.sPrivateData;
    int (*pfnSetup)(const hw_module_t *, hw_device_t **) = nullptr;
    VEK_VOID *pvHintState = nullptr;

    LockModuleMutex(psPrivateData);
    /* Without a state the hints cannot be read: they take their defaults, and the library is
       never handed a state it did not make. */
    if (ZOLSRVCreateAppHintState(VEK_ANDROID_HAL, nullptr, &pvHintState) != ZOLSRV_OK) pvHintState = nullptr;
    if (strcmp(id, GRALLOC_HARDWARE_GPU0) == 0) {
        pfnSetup = gralloc_setup;
    } else if (strcmp(id, GRALLOC_HARDWARE_FB0) == 0) {
        LoadFrameBufferAppHints(psPrivateData, pvHintState);
        pfnSetup = framebuffer_setup;
    }
    /* A state the library would not take back is the release worker's to give back. */
    if (pvHintState != nullptr) ReleaseNowOrLater(psPrivateData, FreeAppHintState, pvHintState);
    UnlockModuleMutex(psPrivateData);

    if (pfnSetup == nullptr) return -EINVAL;
    /* The setup takes the mutex itself where it needs it. */
    return pfnSetup(module, device);
}

static void LogSyncs(VEK_gralloc_module_t *psGrallocModule) {
    if (!IsInitializedFunc(__func__) || psGrallocModule == nullptr) return;
    LockModuleMutex(&psGrallocModule->sPrivateData);
    MapperLogSyncObjects(&psGrallocModule->sPrivateData);
    UnlockModuleMutex(&psGrallocModule->sPrivateData);
}

/* ---- Services connection ---- */

#define VEK_MAX_DEVICES 16
#define VEK_MAX_HEAPS 32
#define VEK_GENERAL_HEAP_ID_MASK 0x00FFFFFFu

static int OpenZOLServices(VEK_private_data_t *psPrivateData) {
    ZOLSRV_CONNECTION *psConnection = nullptr;
    ZOLSRV_DEVICE_IDENTIFIER asDevID[VEK_MAX_DEVICES];
    ZOLSRV_HEAP_INFO asHeapInfo[VEK_MAX_HEAPS];
    VEK_UINT32 ui32NumDevices = 0, ui32ClientHeapCount = 0;
    ZOL2DDEVICEINFO *psDevInfo = nullptr;
    VEK_BOOL b3DDeviceAcquired = VEK_FALSE;
    int iNum2DDevices, iErr = -EFAULT;

    if (ZOLSRVConnect(&psConnection, IsCompositor() ? 1 : 0) != ZOLSRV_OK) return -EFAULT;

    if (ZOLSRVEnumerateDevices(psConnection, &ui32NumDevices, asDevID) != ZOLSRV_OK) goto err_disconnect;
    if (ui32NumDevices > VEK_MAX_DEVICES) ui32NumDevices = VEK_MAX_DEVICES;

    for (VEK_UINT32 i = 0; i < ui32NumDevices; i++) {
        if (asDevID[i].eDeviceClass != ZOLSRV_DEVICE_CLASS_3D) continue;
        if (ZOLSRVAcquireDeviceData(psConnection, asDevID[i].ui32DeviceIndex, &psPrivateData->sDevData,
                                    ZOLSRV_DEVICE_TYPE_UNKNOWN) != ZOLSRV_OK)
            goto err_disconnect;
        b3DDeviceAcquired = VEK_TRUE;
        break;
    }
    /* Without a 3D device there is nothing to allocate from and no connection recorded for
       shut-down: a failed start-up. */
    if (!b3DDeviceAcquired) goto err_disconnect;

    if (ZOLSRVCreateDeviceMemContext(&psPrivateData->sDevData, &psPrivateData->hDevMemContext, &ui32ClientHeapCount,
                                     asHeapInfo) != ZOLSRV_OK)
        goto err_disconnect;
    if (ui32ClientHeapCount > VEK_MAX_HEAPS) ui32ClientHeapCount = VEK_MAX_HEAPS;

    for (VEK_UINT32 i = 0; i < ui32ClientHeapCount; i++) {
        if ((asHeapInfo[i].ui32HeapID & VEK_GENERAL_HEAP_ID_MASK) == 0) {
            psPrivateData->hGeneralHeap = asHeapInfo[i].hDevMemHeap;
            break;
        }
    }

    if (HQTGetClientInfo(&psPrivateData->sDevData, &psPrivateData->sHQTInfo) != ZOLSRV_OK) goto err_disconnect;

    psPrivateData->sHQTInfo.sMiscInfo.ui32StateRequest = ZOLSRV_MISC_INFO_GLOBALEVENTOBJECT_PRESENT;
    if (ZOLSRVGetMiscInfo(psConnection, &psPrivateData->sHQTInfo.sMiscInfo) != ZOLSRV_OK) goto err_disconnect;

    iNum2DDevices = ZOL2DEnumerateDevices(nullptr);
    if (iNum2DDevices <= 0) {
        iErr = -ENODEV;
        goto err_disconnect;
    }
    psDevInfo = static_cast<ZOL2DDEVICEINFO *>(calloc(iNum2DDevices, sizeof(ZOL2DDEVICEINFO)));
    if (psDevInfo == nullptr) {
        iErr = -ENOMEM;
        goto err_disconnect;
    }
    iErr = ZOL2DEnumerateDevices(psDevInfo);
    if (iErr != ZOL2D_OK) goto err_disconnect;
    iErr = ZOL2DCreateDeviceContext(psDevInfo[0].ulDevID, &psPrivateData->hContext, 0);
    if (iErr != ZOL2D_OK) goto err_disconnect;

    free(psDevInfo);
    return 0;

err_disconnect:
    /* The disconnect ends everything made on the connection. */
    if (ZOLSRVDisconnect(psConnection) != ZOLSRV_OK) iErr = -EFAULT;
    free(psDevInfo);
    return iErr;
}

static int CloseZOLServices(VEK_private_data_t *psPrivateData) {
    if (ZOL2DDestroyDeviceContext(psPrivateData->hContext) != ZOL2D_OK) return -EFAULT;
    if (ZOLSRVReleaseMiscInfo(psPrivateData->sDevData.psConnection, &psPrivateData->sHQTInfo.sMiscInfo) != ZOLSRV_OK)
        return -EFAULT;
    if (ZOLSRVDestroyDeviceMemContext(&psPrivateData->sDevData, psPrivateData->hDevMemContext) != ZOLSRV_OK)
        return -EFAULT;
    if (ZOLSRVDisconnect(psPrivateData->sDevData.psConnection) != ZOLSRV_OK) return -EFAULT;
    return 0;
}

/* The format files register their rows first (priorities 101 and 102), so the registry is
   complete before start-up. */
__attribute__((constructor(103))) static void hal_init(void) {
    VEK_private_data_t *psPrivateData = &HMI.sPrivateData;

    if (OpenZOLServices(psPrivateData) != 0) return;
    if (ZOLSRVCreateMutex(&psPrivateData->hMutex) != ZOLSRV_OK) {
        /* Without the mutex nothing may run: take the connection down again. */
        psPrivateData->hMutex = nullptr;
        CloseZOLServices(psPrivateData);
        return;
    }
    pthread_atfork(nullptr, nullptr, hal_fork_child);
    gbGraphicsHALInitialized = VEK_TRUE;
}

__attribute__((destructor)) static void hal_exit(void) {
    VEK_private_data_t *psPrivateData = &HMI.sPrivateData;

    /* A failed start-up left nothing to take down, and a child of fork takes down nothing of
       what it shares with its parent. */
    if (!gbGraphicsHALInitialized || gbForkedChild) return;
    /* The release worker must be gone before the mutex it takes and the module's code. */
    DeferFlushOpShutdown(psPrivateData);
    /* The video pool's chains and descriptors belong to this connection: they go before it. */
    buffer_c110_exit();
    ZOLSRVDestroyMutex(psPrivateData->hMutex);
    psPrivateData->hMutex = nullptr;
    CloseZOLServices(psPrivateData);
    gbGraphicsHALInitialized = VEK_FALSE;
}
