/* The framebuffer device "fb0": the display, its flip chain and its display-buffer slots. */
#include "framebuffer.h"

#include <errno.h>
#include <stddef.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "gles1_interface.h"
#include "gralloc.h"
#include "gralloc_defer.h"
#include "gralloc_internal.h"
#include "hal.h"
#include "mapper.h"
#include "modeset.h"

#if defined(__arm__)
static_assert(sizeof(struct fb_var_screeninfo) == 160 && offsetof(struct fb_var_screeninfo, pixclock) == 100,
              "fb_var_screeninfo");
#endif

#define VEK_FB_DEVICE_PATH "/dev/graphics/fb0"
#define VEK_DEFAULT_DPI 144.0f
/* The slot mask has 32 bits: slots from 32 on are never handed out. */
#define VEK_MAX_SLOTS 32u
#define VEK_GLES1_LIBRARY_PATH "/system/vendor/lib/egl/libGLESv1_CM_ZOLCORE_KEVRA_120.so"
/* How often Post2 asks a full display queue again before it reports the GPU stalled. */
#define VEK_SWAP_TRIES 50u

/* framebuffer_device_t's description of the display is const to its users; the open fills it. */
template <typename T, typename V>
static void set_field(const T &field, V value) {
    const_cast<T &>(field) = static_cast<T>(value);
}

static VEK_gralloc_module_t *getFrameBufferModule(framebuffer_device_t *fb) {
    return reinterpret_cast<VEK_gralloc_module_t *>(fb->common.module);
}

static VEK_private_data_t *getDevicePrivateData(framebuffer_device_t *fb) {
    VEK_private_data_t *psPrivateData = &getFrameBufferModule(fb)->sPrivateData;
    LockModuleMutex(psPrivateData);
    return psPrivateData;
}

static void putDevicePrivateData(VEK_private_data_t *psPrivateData) { UnlockModuleMutex(psPrivateData); }

static void setDeviceFrameBufferDevice(framebuffer_device_t *fb) {
    getFrameBufferModule(fb)->base.psFrameBufferDevice = reinterpret_cast<VEK_framebuffer_device_public_t *>(fb);
}

static VEK_UINT32 SlotBit(VEK_UINT32 ui32Slot) { return 1u << ui32Slot; }

static VEK_UINT32 UsableSlots(const VEK_raw_framebuffer_device_t *psRaw) {
    return psRaw->base.ui32NumBuffers < VEK_MAX_SLOTS ? psRaw->base.ui32NumBuffers : VEK_MAX_SLOTS;
}

/* ---- Display-buffer slots ---- */

/* True when the handle is the very handle of a handed-out slot. */
static VEK_BOOL validate_handle(VEK_raw_framebuffer_device_t *psRawFrameBufferDevice,
                                VEK_native_handle_t *psNativeHandle, VEK_UINT32 *ui32FBID) {
    for (VEK_UINT32 i = 0; i < UsableSlots(psRawFrameBufferDevice); i++) {
        if ((psRawFrameBufferDevice->ui32AllocMask & SlotBit(i)) &&
            psRawFrameBufferDevice->ppsBufferHandles[i] != nullptr &&
            psRawFrameBufferDevice->ppsBufferHandles[i] == psNativeHandle) {
            *ui32FBID = i;
            return VEK_TRUE;
        }
    }
    return VEK_FALSE;
}

/* The allocator writes the request's size, format and bits per pixel into the slot's handle, and
   a lock or blit then trusts them: the request must fit the display buffer, which holds the
   display's rows in the display's format. */
static VEK_BOOL DisplayBufferHolds(const framebuffer_device_t *fb, int w, int h, int format) {
    const VEK_buffer_format_t *psFormat = GetBufferFormat(format);
    const VEK_buffer_format_t *psDisplayFormat = GetBufferFormat(fb->format);

    if (w < 0 || h < 0 || (VEK_UINT32)w > fb->width || (VEK_UINT32)h > fb->height) return VEK_FALSE;
    if (psFormat == nullptr || psDisplayFormat == nullptr) return VEK_FALSE;
    return psFormat->base.uiBpp <= psDisplayFormat->base.uiBpp ? VEK_TRUE : VEK_FALSE;
}

int framebuffer_device_alloc(framebuffer_device_t *fb, int w, int h, int format, int /* usage */,
                             VEK_native_handle_t **ppsNativeHandle, int *stride) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;

    VEK_raw_framebuffer_device_t *psRaw = reinterpret_cast<VEK_raw_framebuffer_device_t *>(fb);
    VEK_UINT32 ui32Slot = 0;

    if (!DisplayBufferHolds(fb, w, h, format)) return -EINVAL;

    if (psRaw->base.ui32NumBuffers != 1) {
        while (ui32Slot < VEK_MAX_SLOTS && (psRaw->ui32AllocMask & SlotBit(ui32Slot))) ui32Slot++;
        if (ui32Slot >= VEK_MAX_SLOTS || ui32Slot >= psRaw->base.ui32NumBuffers) return -ENOMEM;
    }
    /* A slot whose buffer a failed close already released has nothing to hand out. */
    if (MapperPeek(&getFrameBufferModule(fb)->sPrivateData, psRaw->ppsBufferHandles[ui32Slot]->ui64Stamp) == nullptr)
        return -ENOMEM;
    *stride = fb->stride;
    psRaw->ui32AllocMask |= SlotBit(ui32Slot);
    *ppsNativeHandle = psRaw->ppsBufferHandles[ui32Slot];
    return 0;
}

/* Display handles that a closed device had handed out: the caller still holds them, so they stay
   readable (every call but free refuses them) until their free deletes them. Guarded by the
   module mutex. */
static VEK_native_handle_t **gppsHandedOutAtClose;
static VEK_UINT32 gui32HandedOutAtClose;

/* Keeps a handed-out handle for its free; deletes it when there is no room to keep it. */
static void KeepHandedOutHandle(VEK_native_handle_t *psNativeHandle) {
    VEK_native_handle_t **ppsKept = static_cast<VEK_native_handle_t **>(
        realloc(gppsHandedOutAtClose, (gui32HandedOutAtClose + 1) * sizeof(VEK_native_handle_t *)));
    if (ppsKept == nullptr) {
        native_handle_delete(&psNativeHandle->base);
        return;
    }
    gppsHandedOutAtClose = ppsKept;
    gppsHandedOutAtClose[gui32HandedOutAtClose++] = psNativeHandle;
}

VEK_BOOL FreeHandleOfAClosedDisplay(VEK_native_handle_t *psNativeHandle) {
    for (VEK_UINT32 i = 0; i < gui32HandedOutAtClose; i++) {
        if (gppsHandedOutAtClose[i] != psNativeHandle) continue;
        gppsHandedOutAtClose[i] = gppsHandedOutAtClose[--gui32HandedOutAtClose];
        native_handle_delete(&psNativeHandle->base);
        return VEK_TRUE;
    }
    return VEK_FALSE;
}

int framebuffer_device_free(framebuffer_device_t *fb, VEK_native_handle_t *psNativeHandle) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;

    VEK_raw_framebuffer_device_t *psRaw = reinterpret_cast<VEK_raw_framebuffer_device_t *>(fb);
    VEK_UINT32 ui32FBID;

    if (!validate_handle(psRaw, psNativeHandle, &ui32FBID)) return -EINVAL;
    psRaw->ui32AllocMask &= ~SlotBit(ui32FBID);
    return 0;
}

/* ---- Posting ---- */

int post(framebuffer_device_t *fb, buffer_handle_t buffer) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    if (fb == nullptr) return -EINVAL;

    VEK_raw_framebuffer_device_t *psRaw = reinterpret_cast<VEK_raw_framebuffer_device_t *>(fb);
    VEK_native_handle_t *psNativeHandle =
        reinterpret_cast<VEK_native_handle_t *>(const_cast<native_handle_t *>(buffer));
    VEK_private_data_t *psPrivateData = getDevicePrivateData(fb);
    VEK_mapper_meminfo_t *psMapperMemInfo;
    VEK_UINT32 ui32FBID;
    ZOL2DERROR eErr = ZOL2D_OK;
    int iErr = 0;

    if (!validate_handle(psRaw, psNativeHandle, &ui32FBID)) {
        iErr = -EINVAL;
        goto out_unlock;
    }
    psMapperMemInfo = LookupUsableEntry(psPrivateData, psNativeHandle->ui64Stamp, VEK_ENTRY_USE);
    if (psMapperMemInfo == nullptr) {
        iErr = -EINVAL;
        goto out_unlock;
    }

    if (psRaw->base.base.bBypassPost) {
        psRaw->psLastPostedFrameBuffer = psMapperMemInfo->apsMemInfo[0];
        goto out_unlock;
    }

    switch (psRaw->ePresentMode) {
        case HAL_PRESENT_MODE_FLIP:
            eErr = ZOL2DPresentFlip(psPrivateData->hContext, psRaw->hFlipChain,
                                    static_cast<ZOL2DMEMINFO *>(psMapperMemInfo->hMemInfo), 0);
            break;
        case HAL_PRESENT_MODE_BLIT:
            eErr = ZOL2DPresentBlt(psPrivateData->hContext, static_cast<ZOL2DMEMINFO *>(psMapperMemInfo->hMemInfo), 0);
            break;
        case HAL_PRESENT_MODE_FRONT:
            /* The one buffer is the screen already. */
            break;
    }
    if (eErr != ZOL2D_OK) iErr = -EFAULT;

out_unlock:
    putDevicePrivateData(psPrivateData);
    return iErr;
}

int setSwapInterval(framebuffer_device_t *fb, int interval) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    if (fb == nullptr) return -EINVAL;

    VEK_raw_framebuffer_device_t *psRaw = reinterpret_cast<VEK_raw_framebuffer_device_t *>(fb);
    VEK_private_data_t *psPrivateData = getDevicePrivateData(fb);
    int iErr = 0;

    /* Only a flip chain has a swap interval; the display's bounds are its own to enforce. */
    if (psRaw->ePresentMode == HAL_PRESENT_MODE_FLIP &&
        ZOL2DSetPresentFlipProperties(psPrivateData->hContext, psRaw->hFlipChain, ZOL2D_PRESENT_PROPERTY_INTERVAL, 0, 0,
                                      0, nullptr, (unsigned long)interval) != ZOL2D_OK)
        iErr = -EFAULT;

    putDevicePrivateData(psPrivateData);
    return iErr;
}

/* The leading planes of a buffer for the display: every one, since Post2 maps what is missing. */
static VEK_UINT32 Post2Planes(const VEK_mapper_meminfo_t *psMapperMemInfo) {
    VEK_UINT32 ui32Planes = 0;
    while (ui32Planes < VEK_NATIVE_HANDLE_NUM_FDS_MAX && psMapperMemInfo->apsMemInfo[ui32Planes] != nullptr)
        ui32Planes++;
    return ui32Planes;
}

static void HoldListedBuffers(VEK_mapper_meminfo_t **ppsMapperMemInfo, int num_buffers, int iDelta) {
    for (int i = 0; i < num_buffers; i++)
        if (ppsMapperMemInfo[i] != nullptr) ppsMapperMemInfo[i]->ui32LockWaiters += (VEK_UINT32)iDelta;
}

/* The end of Post2's use of the listed buffers: those mapped only while in use let their mapping
   go, as after a last unlock, whether or not the call got as far as the swap. */
static void ReleaseListedBuffers(VEK_private_data_t *psPrivateData, VEK_mapper_meminfo_t **ppsMapperMemInfo,
                                 int num_buffers) {
    for (int i = 0; ppsMapperMemInfo != nullptr && i < num_buffers; i++)
        if (ppsMapperMemInfo[i] != nullptr) ReleaseUnusedMapping(psPrivateData, ppsMapperMemInfo[i]);
}

int Post2(framebuffer_device_t *fb, buffer_handle_t *buffers, int num_buffers, void *data, int data_length) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    if (fb == nullptr) return -EINVAL;

    VEK_raw_framebuffer_device_t *psRaw = reinterpret_cast<VEK_raw_framebuffer_device_t *>(fb);
    VEK_gralloc_module_t *psModule = getFrameBufferModule(fb);
    VEK_private_data_t *psPrivateData = getDevicePrivateData(fb);
    VEK_mapper_meminfo_t **ppsMapperMemInfo = nullptr;
    ZOLSRV_CLIENT_MEM_INFO **ppsMemInfo = nullptr;
    VEK_UINT32 ui32NumMemInfos = 0, ui32MemInfo = 0, ui32TriesLeft = VEK_SWAP_TRIES;
    const ZOL2DCONTEXT *psContext;
    const ZOL2D_FLIPCHAIN *psFlipChain;
    VEK_HANDLE hDisplayClassDevice, hDCSwapChain, hOSGlobalEvent;
    const ZOLSRV_CONNECTION *psServices;
    VEK_UINT32 ui32SwapInterval;
    ZOLSRV_ERROR eSwapErr;
    int iErr = 0;

    if (psRaw->ePresentMode != HAL_PRESENT_MODE_FLIP || num_buffers < 1) {
        iErr = -EFAULT;
        goto out_unlock;
    }
    if (buffers == nullptr) {
        iErr = -EINVAL;
        goto out_unlock;
    }

    ppsMapperMemInfo =
        static_cast<VEK_mapper_meminfo_t **>(calloc((size_t)num_buffers, sizeof(VEK_mapper_meminfo_t *)));
    if (ppsMapperMemInfo == nullptr) {
        iErr = -ENOMEM;
        goto out_unlock;
    }

    for (int i = 0; i < num_buffers; i++) {
        VEK_native_handle_t *psNativeHandle =
            reinterpret_cast<VEK_native_handle_t *>(const_cast<native_handle_t *>(buffers[i]));
        if (psNativeHandle == nullptr) {
            /* Stands for the buffer the last bypassed post kept. */
            if (psRaw->psLastPostedFrameBuffer == nullptr) {
                iErr = -EFAULT;
                goto out_free;
            }
            ppsMapperMemInfo[i] = nullptr;
            ui32NumMemInfos++;
            continue;
        }
        /* Any buffer of this process may be listed, so its handle gets the full check. */
        if (!validate_handle(psNativeHandle)) {
            iErr = -EINVAL;
            goto out_free;
        }
        /* The display holds the planes after the mutex is given up: the buffer must stay theirs,
           and be the buffer the handle names. */
        VEK_mapper_meminfo_t *psEntry = LookupHandleEntry(psPrivateData, psNativeHandle, VEK_ENTRY_HOLD);
        if (psEntry == nullptr) {
            iErr = -EINVAL;
            goto out_free;
        }
        /* Every plane is shown: what is not mapped here is mapped now, as a first lock does. */
        iErr = MapForUse(psPrivateData, psNativeHandle, psEntry);
        if (iErr != 0) goto out_free;
        ppsMapperMemInfo[i] = psEntry;
        /* A display handle of another process names no memory of this one: nothing to show. */
        if (Post2Planes(psEntry) == 0) {
            iErr = -EINVAL;
            goto out_free;
        }
        ui32NumMemInfos += Post2Planes(psEntry);
    }
    ppsMemInfo = static_cast<ZOLSRV_CLIENT_MEM_INFO **>(calloc(ui32NumMemInfos, sizeof(ZOLSRV_CLIENT_MEM_INFO *)));
    if (ppsMemInfo == nullptr) {
        iErr = -ENOMEM;
        goto out_free;
    }
    for (int i = 0; i < num_buffers; i++) {
        if (ppsMapperMemInfo[i] == nullptr) {
            ppsMemInfo[ui32MemInfo++] = psRaw->psLastPostedFrameBuffer;
            continue;
        }
        for (VEK_UINT32 j = 0; j < Post2Planes(ppsMapperMemInfo[i]); j++)
            ppsMemInfo[ui32MemInfo++] = ppsMapperMemInfo[i]->apsMemInfo[j];
    }

    psRaw->psLastPostedFrameBuffer = nullptr;

    psContext = psPrivateData->hContext;
    psFlipChain = psRaw->hFlipChain;
    hDisplayClassDevice = psContext->hDisplayClassDevice;
    psServices = psContext->psServices;
    hOSGlobalEvent = psContext->sMiscInfo.hOSGlobalEvent;
    hDCSwapChain = psFlipChain->hDCSwapChain;
    ui32SwapInterval = psFlipChain->ui32SwapInterval;
    /* A full display queue can take many frames to drain: let other threads use the module. The
       listed buffers stay in use meanwhile, so that nothing releases what the display is given, and
       the count keeps a close from destroying the chain being swapped to and the record itself. */
    HoldListedBuffers(ppsMapperMemInfo, num_buffers, 1);
    psRaw->ui32SwapsInFlight++;
    putDevicePrivateData(psPrivateData);

    for (;;) {
        eSwapErr = ZOLSRVSwapToDCBuffer2(hDisplayClassDevice, hDCSwapChain, ui32SwapInterval, ppsMemInfo,
                                         ui32NumMemInfos, data, (VEK_UINT32)data_length);
        if (eSwapErr != ZOLSRV_ERROR_RETRY) break;
        ZOLSRVEventObjectWait(psServices, hOSGlobalEvent);
        if (--ui32TriesLeft == 0) {
            ZOLSRVClientEvent(ZOLSRV_CLIENT_EVENT_HWTIMEOUT, &psPrivateData->sDevData, psModule);
            break;
        }
    }

    /* The module record outlives every device; the device is still there because its close
       refuses while this swap is counted. */
    LockModuleMutex(psPrivateData);
    HoldListedBuffers(ppsMapperMemInfo, num_buffers, -1);
    psRaw->ui32SwapsInFlight--;
    iErr = eSwapErr == ZOLSRV_OK ? 0 : -EFAULT;

out_free:
    ReleaseListedBuffers(psPrivateData, ppsMapperMemInfo, num_buffers);
    free(ppsMemInfo);
    free(ppsMapperMemInfo);
out_unlock:
    putDevicePrivateData(psPrivateData);
    return iErr;
}

/* ---- Composition complete ---- */

VEK_BOOL gbForeignGLES = VEK_FALSE;
static VEK_HANDLE hGLES1Library = nullptr;
static VEK_PFN_GLGETSTRING pfnglGetString = nullptr;
static VEK_EGLERROR (*pfnGLESFlushBuffersGCNoContext)(VEK_BOOL, VEK_BOOL) = nullptr;
/* Guards the four values above: two first calls at once must load the driver only once. The
   module mutex is not used, so a composition never waits for buffer work. */
static pthread_mutex_t gsGLES1Lock = PTHREAD_MUTEX_INITIALIZER;

int compositionComplete(framebuffer_device_t * /* fb */) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;

    VEK_OGLES1EGL_Interface sInterface;
    int iErr = 0;

    pthread_mutex_lock(&gsGLES1Lock);
    if (gbForeignGLES) goto out_unlock;

    if (hGLES1Library == nullptr) {
        hGLES1Library = ZOLSRVLoadLibrary(VEK_GLES1_LIBRARY_PATH);
        if (hGLES1Library == nullptr) goto err_foreign;
        if (ZOLSRVGetLibFuncAddr(hGLES1Library, "glGetString", reinterpret_cast<VEK_VOID **>(&pfnglGetString)) !=
            ZOLSRV_OK)
            goto err_foreign;
    }
    if (pfnGLESFlushBuffersGCNoContext == nullptr) {
        const VEK_UINT8 *pui8Interface = pfnglGetString(VEK_GLES1_INTERFACE_QUERY);
        if (pui8Interface == nullptr) goto err_foreign;
        /* A copy that failed left the local table as it was: nothing of it may be read. */
        if (ZOLSRVMemCopy(&sInterface, pui8Interface, sizeof(sInterface)) != ZOLSRV_OK) goto err_foreign;
        if (sInterface.ui32APIVersion != VEK_GLES1_INTERFACE_VERSION) goto err_foreign;
        /* A table without the flush cannot be used: calling it would crash the compositor. */
        if (sInterface.pfnGLESFlushBuffersGCNoContext == nullptr) goto err_foreign;
        pfnGLESFlushBuffersGCNoContext = sInterface.pfnGLESFlushBuffersGCNoContext;
    }

    if (pfnGLESFlushBuffersGCNoContext(VEK_FALSE, VEK_FALSE) != VEK_EGL_NO_ERROR) {
        gbForeignGLES = VEK_TRUE;
        iErr = -EAGAIN;
    }
    goto out_unlock;

err_foreign:
    gbForeignGLES = VEK_TRUE;
    iErr = -EFAULT;
out_unlock:
    pthread_mutex_unlock(&gsGLES1Lock);
    return iErr;
}

/* ---- Open and close ---- */

/* The refresh rate from the display timings, or the app hint when the node cannot tell. */
static float FrameBufferRefreshRate(const VEK_app_hints_t *psAppHints) {
    float fFps = (float)psAppHints->ui32HALFrameBufferHz;
    int iFd = open(VEK_FB_DEVICE_PATH, O_RDWR);
    struct fb_var_screeninfo sInfo;

    if (iFd >= 0 && ioctl(iFd, FBIOGET_VSCREENINFO, &sInfo) != -1) {
        VEK_UINT32 ui32HTotal = sInfo.xres + sInfo.left_margin + sInfo.right_margin + sInfo.hsync_len;
        VEK_UINT32 ui32VTotal = sInfo.yres + sInfo.upper_margin + sInfo.lower_margin + sInfo.vsync_len;
        VEK_UINT64 ui64Divisor = (VEK_UINT64)ui32HTotal * (VEK_UINT64)ui32VTotal * (VEK_UINT64)sInfo.pixclock;
        /* A node without timings (no pixel clock) cannot give a rate: keep the hint. */
        if (ui64Divisor != 0) {
            int iRefreshRate = (int)(1000000000000000ULL / ui64Divisor);
            fFps = (float)((float)iRefreshRate / 1000.0);
        }
    }
    if (iFd >= 0) close(iFd);
    return fFps;
}

/* Flip chains this module holds on the display, open devices' and closed ones' still going:
   the 2D library takes no more than the display's ulMaxFlipChains. Guarded by the module mutex. */
static VEK_UINT32 gui32DisplayChains;

VEK_BOOL DisplayTakesChain(const ZOL2DDISPLAYINFO *psDisplayInfo, unsigned long ulNumBuffers, unsigned long ulWidth,
                           unsigned long ulHeight, ZOL2DFORMAT eFormat, VEK_UINT32 ui32ChainsHeld) {
    return ulNumBuffers <= psDisplayInfo->ulMaxBuffersInChain && eFormat == psDisplayInfo->eFormat &&
                   ulWidth <= psDisplayInfo->ulWidth && ulHeight <= psDisplayInfo->ulHeight &&
                   ui32ChainsHeld < psDisplayInfo->ulMaxFlipChains
               ? VEK_TRUE
               : VEK_FALSE;
}

/* A display's chain and the buffers the 2D library listed for it; once the device goes, the way
   back to the library: whole (hFlipChain), or in blit mode buffer by buffer (hFlipChain NULL, each
   slot NULL once freed), where the chain goes with its last buffer. */
typedef struct _VEK_display_chain_ {
    ZOL2DFLIPCHAINHANDLE hFlipChain;
    VEK_UINT32 ui32NumBuffers;
    ZOL2DMEMINFO *apsBuffers[1]; /* ui32NumBuffers + 1 of them */
} VEK_display_chain_t;

/* A record for a chain of ui32NumBuffers buffers, zero-filled; NULL when no memory holds it. */
static VEK_display_chain_t *NewDisplayChain(VEK_UINT32 ui32NumBuffers) {
    const size_t uHeader = offsetof(VEK_display_chain_t, apsBuffers);
    if (ui32NumBuffers >= (SIZE_MAX - uHeader) / sizeof(ZOL2DMEMINFO *) - 1) return nullptr;
    VEK_display_chain_t *psChain =
        static_cast<VEK_display_chain_t *>(calloc(1, uHeader + ((size_t)ui32NumBuffers + 1) * sizeof(ZOL2DMEMINFO *)));
    if (psChain != nullptr) psChain->ui32NumBuffers = ui32NumBuffers;
    return psChain;
}

/* Gives the chain back once no blit writes any of its buffers (the 2D library will not take back
   memory its engine uses); 0 once it is gone. */
static int ReleaseDisplayChain(VEK_private_data_t *psPrivateData, void *pvChain) {
    VEK_display_chain_t *psChain = static_cast<VEK_display_chain_t *>(pvChain);
    for (VEK_UINT32 i = 0; i < psChain->ui32NumBuffers; i++)
        if (psChain->apsBuffers[i] != nullptr && !NoBlitPending(psPrivateData, psChain->apsBuffers[i])) return -EBUSY;
    if (psChain->hFlipChain != nullptr) {
        if (ZOL2DDestroyFlipChain(psPrivateData->hContext, psChain->hFlipChain) != ZOL2D_OK) return -EFAULT;
    } else if (Free2DMemories(psPrivateData, psChain->apsBuffers, psChain->ui32NumBuffers) != 0) {
        return -EFAULT;
    }
    gui32DisplayChains--;
    free(psChain);
    return 0;
}

/* Gives the chain back, whole unless bByBuffer, and takes the record. Nobody can ask for it again:
   what the 2D library refuses now, the worker gives back later. */
static void GiveDisplayChainBack(VEK_private_data_t *psPrivateData, VEK_display_chain_t *psChain, VEK_BOOL bByBuffer) {
    if (bByBuffer) psChain->hFlipChain = nullptr;
    ReleaseNowOrLater(psPrivateData, ReleaseDisplayChain, psChain);
}

/* Releases what open made of the display buffers: the handles made so far with their mapper
   entries, then the buffers themselves. In blit mode a chain that listed all its buffers frees
   them one by one; a chain that listed none, or fewer or more than it was asked for (the module
   cannot know what the unlisted ones are), and the chain of every other mode, goes whole. */
static void ReleaseDisplayBuffers(VEK_private_data_t *psPrivateData, VEK_raw_framebuffer_device_t *psRaw,
                                  VEK_display_chain_t *psChain, VEK_BOOL bBuffersListed, VEK_UINT32 ui32NumHandles) {
    for (VEK_UINT32 i = 0; i < ui32NumHandles; i++) {
        VEK_native_handle_t *psNativeHandle = psRaw->ppsBufferHandles[i];
        MapperRemove(psPrivateData, MapperPeek(psPrivateData, psNativeHandle->ui64Stamp));
        native_handle_delete(&psNativeHandle->base);
    }
    /* Buffers the chain did not list as asked are not the module's to name. */
    if (!bBuffersListed) psChain->ui32NumBuffers = 0;
    GiveDisplayChainBack(psPrivateData, psChain,
                         psRaw->ePresentMode == HAL_PRESENT_MODE_BLIT && bBuffersListed ? VEK_TRUE : VEK_FALSE);
}

int framebuffer_device_open(hw_device_t *device) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;

    framebuffer_device_t *fb = reinterpret_cast<framebuffer_device_t *>(device);
    VEK_raw_framebuffer_device_t *psRaw = reinterpret_cast<VEK_raw_framebuffer_device_t *>(device);
    VEK_private_data_t *psPrivateData = getDevicePrivateData(fb);
    const VEK_app_hints_t *psAppHints = &psPrivateData->sAppHints;
    ZOL2DDISPLAYINFO sDisplayInfo;
    ZOL2DMISCDISPLAYINFO sMiscDisplayInfo;
    VEK_display_chain_t *psChain = nullptr;
    ZOL2DMEMINFO **apsMemInfo = nullptr;
    unsigned long ulFlipCount = 0;
    long lStride = 0;
    VEK_UINT32 ui32NumHandles = 0;
    VEK_BOOL bBuffersListed = VEK_FALSE;
    int iErr = -EFAULT;

    memset(&sDisplayInfo, 0, sizeof(sDisplayInfo));
    memset(&sMiscDisplayInfo, 0, sizeof(sMiscDisplayInfo));
    if (ZOL2DGetDeviceInfo(psPrivateData->hContext, &sDisplayInfo) != ZOL2D_OK) goto err_unlock;
    if (ZOL2DGetMiscDisplayInfo(psPrivateData->hContext, &sMiscDisplayInfo) != ZOL2D_OK) goto err_unlock;
    if (sDisplayInfo.eFormat >= VEK_ZOL2D_DISPLAY_FORMATS ||
        aeZOL2D2HAL[sDisplayInfo.eFormat] == VEK_HAL_FORMAT_UNSUPPORTED)
        goto err_unlock;

    set_field(fb->width, sDisplayInfo.ulWidth);
    set_field(fb->height, sDisplayInfo.ulHeight);
    set_field(fb->fps, FrameBufferRefreshRate(psAppHints));
    set_field(fb->format, aeZOL2D2HAL[sDisplayInfo.eFormat]);
    set_field(fb->xdpi, sMiscDisplayInfo.ulPhysicalWidthmm == 0
                            ? VEK_DEFAULT_DPI
                            : ((float)sDisplayInfo.ulWidth * 25.4f) / (float)sMiscDisplayInfo.ulPhysicalWidthmm);
    set_field(fb->ydpi, sMiscDisplayInfo.ulPhysicalHeightmm == 0
                            ? VEK_DEFAULT_DPI
                            : ((float)sDisplayInfo.ulHeight * 25.4f) / (float)sMiscDisplayInfo.ulPhysicalHeightmm);
    set_field(fb->stride, sDisplayInfo.lStride / alZOL2D2HALBpp[sDisplayInfo.eFormat]);

    /* The hints of this open are this device's: a later open of fb0 reads them anew and must not
       change how this device posts or closes. */
    psRaw->ePresentMode = psAppHints->eHALPresentMode;
    psRaw->base.ui32NumBuffers = psAppHints->ui32HALNumFrameBuffers;
    if (psAppHints->eHALPresentMode == HAL_PRESENT_MODE_FLIP &&
        psRaw->base.ui32NumBuffers > sDisplayInfo.ulMaxBuffersInChain)
        goto err_unlock;

    /* One more than asked, so that a count of 0 still yields a list. */
    psChain = NewDisplayChain(psRaw->base.ui32NumBuffers);
    if (psChain == nullptr) {
        iErr = -ENOMEM;
        goto err_unlock;
    }
    apsMemInfo = psChain->apsBuffers;
    set_field(fb->minSwapInterval, sDisplayInfo.ulMinFlipInterval);
    set_field(fb->maxSwapInterval, sDisplayInfo.ulMaxFlipInterval);

    /* In blit mode too: a count the display cannot take is the 2D library's to refuse, and it is
       answered as that refusal without the call. */
    if (!DisplayTakesChain(&sDisplayInfo, psRaw->base.ui32NumBuffers, fb->width, fb->height, sDisplayInfo.eFormat,
                           gui32DisplayChains))
        goto err_free_list;
    if (ZOL2DCreateFlipChain(psPrivateData->hContext, 0, psRaw->base.ui32NumBuffers, fb->width, fb->height,
                             sDisplayInfo.eFormat, &lStride, nullptr, &psRaw->hFlipChain) != ZOL2D_OK)
        goto err_free_list;
    gui32DisplayChains++;
    psChain->hFlipChain = psRaw->hFlipChain;

    if (lStride != sDisplayInfo.lStride) goto err_release;
    if (ZOL2DGetFlipChainBuffers(psPrivateData->hContext, psRaw->hFlipChain, &ulFlipCount, apsMemInfo) != ZOL2D_OK)
        goto err_release;
    if (ulFlipCount != psRaw->base.ui32NumBuffers) goto err_release;
    bBuffersListed = VEK_TRUE;

    psRaw->ppsBufferHandles =
        static_cast<VEK_native_handle_t **>(calloc(ulFlipCount + 1, sizeof(VEK_native_handle_t *)));
    if (psRaw->ppsBufferHandles == nullptr) {
        iErr = -ENOMEM;
        goto err_release;
    }

    for (VEK_UINT32 i = 0; i < psRaw->base.ui32NumBuffers; i++) {
        ZOLSRV_CLIENT_MEM_INFO *psMemInfo = static_cast<ZOLSRV_CLIENT_MEM_INFO *>(apsMemInfo[i]->hPrivateData);
        VEK_native_handle_t *psNativeHandle =
            reinterpret_cast<VEK_native_handle_t *>(native_handle_create(1, VEK_NATIVE_HANDLE_NUM_WORDS - 1));
        if (psNativeHandle == nullptr) {
            iErr = -ENOMEM;
            goto err_release;
        }
        /* A display buffer has no descriptor to export. */
        psNativeHandle->fd[0] = psNativeHandle->fd[1] = psNativeHandle->fd[2] = -2;
        psNativeHandle->ui64Stamp = psMemInfo->ui64Stamp;
        psNativeHandle->usage = GRALLOC_USAGE_HW_FB;
        psNativeHandle->iWidth = psNativeHandle->iHeight = psNativeHandle->iFormat = 0;
        psNativeHandle->uiBpp = 0;

        if (!MapperAddMappedFB(psPrivateData, psNativeHandle, psMemInfo, apsMemInfo[i])) {
            native_handle_delete(&psNativeHandle->base);
            goto err_release;
        }
        /* Only this handle names the buffer, and its rows are this display's, whatever device
           opens or closes later. */
        VEK_mapper_meminfo_t *psEntry = MapperPeek(psPrivateData, psNativeHandle->ui64Stamp);
        psEntry->psDisplayHandle = psNativeHandle;
        psEntry->psDisplayDevice = &psRaw->base.base;
        psRaw->ppsBufferHandles[i] = psNativeHandle;
        ui32NumHandles++;
        if (!MapperSanityCheck(psPrivateData)) goto err_release;
    }

    psRaw->psOlder =
        reinterpret_cast<VEK_raw_framebuffer_device_t *>(getFrameBufferModule(fb)->base.psFrameBufferDevice);
    setDeviceFrameBufferDevice(fb);
    fb->setSwapInterval = setSwapInterval;
    fb->post = post;
    fb->compositionComplete = compositionComplete;
    psRaw->base.base.Post2 = Post2;
    psRaw->psChain = psChain;
    putDevicePrivateData(psPrivateData);
    return 0;

err_release:
    ReleaseDisplayBuffers(psPrivateData, psRaw, psChain, bBuffersListed, ui32NumHandles);
    free(psRaw->ppsBufferHandles);
    psRaw->ppsBufferHandles = nullptr;
    goto err_unlock;
err_free_list:
    free(psChain);
err_unlock:
    putDevicePrivateData(psPrivateData);
    return iErr;
}

/* The device leaves the module's list of open devices; the one opened before it serves the
   allocator again when this one was the newest. */
static void UnpublishDevice(VEK_gralloc_module_t *psModule, VEK_raw_framebuffer_device_t *psRaw) {
    VEK_framebuffer_device_public_t *const psOlder =
        reinterpret_cast<VEK_framebuffer_device_public_t *>(psRaw->psOlder);
    if (psModule->base.psFrameBufferDevice == reinterpret_cast<VEK_framebuffer_device_public_t *>(psRaw)) {
        psModule->base.psFrameBufferDevice = psOlder;
        return;
    }
    for (VEK_raw_framebuffer_device_t *psNewer =
             reinterpret_cast<VEK_raw_framebuffer_device_t *>(psModule->base.psFrameBufferDevice);
         psNewer != nullptr; psNewer = psNewer->psOlder)
        if (psNewer->psOlder == psRaw) psNewer->psOlder = psRaw->psOlder;
}

int framebuffer_device_close(hw_device_t *device) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;
    if (device == nullptr) return -EINVAL;

    framebuffer_device_t *fb = reinterpret_cast<framebuffer_device_t *>(device);
    VEK_raw_framebuffer_device_t *psRaw = reinterpret_cast<VEK_raw_framebuffer_device_t *>(device);
    VEK_gralloc_module_t *psModule = getFrameBufferModule(fb);
    VEK_private_data_t *psPrivateData = getDevicePrivateData(fb);
    const VEK_UINT32 ui32NumBuffers = psRaw->base.ui32NumBuffers;

    /* A Post2 swapping without the mutex still uses the chain and comes back to the record. */
    if (psRaw->ui32SwapsInFlight != 0) {
        putDevicePrivateData(psPrivateData);
        return -EFAULT;
    }
    /* A buffer still locked may be in use by the CPU or the GPU: close nothing then, so the
       device stays whole and usable. */
    for (VEK_UINT32 i = 0; i < ui32NumBuffers; i++) {
        VEK_mapper_meminfo_t *psEntry = MapperPeek(psPrivateData, psRaw->ppsBufferHandles[i]->ui64Stamp);
        const VEK_entry_verdict_t eVerdict =
            psEntry != nullptr ? SettlePendingRelease(psEntry, VEK_ENTRY_RELEASE) : VEK_ENTRY_GONE;
        if (eVerdict == VEK_ENTRY_BUSY || eVerdict == VEK_ENTRY_HELD) {
            putDevicePrivateData(psPrivateData);
            return -EFAULT;
        }
    }

    /* The chain goes whole, or in blit mode buffer by buffer, the last first; what the 2D library
       refuses, the worker gives back later, for nobody closes twice. Then the entries and handles. */
    GiveDisplayChainBack(psPrivateData, psRaw->psChain,
                         psRaw->ePresentMode == HAL_PRESENT_MODE_BLIT ? VEK_TRUE : VEK_FALSE);
    for (VEK_UINT32 i = 0; i < ui32NumBuffers; i++) {
        MapperRemove(psPrivateData, MapperPeek(psPrivateData, psRaw->ppsBufferHandles[i]->ui64Stamp));
        if (i < VEK_MAX_SLOTS && (psRaw->ui32AllocMask & SlotBit(i)) != 0)
            KeepHandedOutHandle(psRaw->ppsBufferHandles[i]);
        else
            native_handle_delete(&psRaw->ppsBufferHandles[i]->base);
    }
    UnpublishDevice(psModule, psRaw);
    putDevicePrivateData(psPrivateData);

    free(psRaw->ppsBufferHandles);
    free(psRaw);
    return 0;
}

int framebuffer_setup(const hw_module_t *module, hw_device_t **device) {
    if (!IsInitializedFunc(__func__)) return -ENOTTY;

    VEK_raw_framebuffer_device_t *psRaw =
        static_cast<VEK_raw_framebuffer_device_t *>(malloc(sizeof(VEK_raw_framebuffer_device_t)));
    if (psRaw == nullptr) return -ENOMEM;
    /* The const fields of the Android record are filled by the open. */
    memset(static_cast<void *>(psRaw), 0, sizeof(*psRaw));

    framebuffer_device_t *fb = &psRaw->base.base.base;
    fb->common.module = const_cast<hw_module_t *>(module);
    fb->common.tag = HARDWARE_DEVICE_TAG;
    fb->common.close = framebuffer_device_close;
    fb->common.version = 0;

    int iErr = framebuffer_device_open(&fb->common);
    if (iErr != 0) {
        free(psRaw);
        return iErr;
    }
    *device = &fb->common;
    return 0;
}
