/* Per-process state of the module and the records private to it. */
#ifndef HAL_PRIVATE_H
#define HAL_PRIVATE_H

#include "hal_public.h"
#include "zol2d.h"
#include "zolsrv.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The window-system pixel formats of the vendor's EGL driver, published in the format list. */
enum {
    ZIRVA_PIXELFORMAT_RGB565 = 0,
    ZIRVA_PIXELFORMAT_ARGB8888 = 2,
    ZIRVA_PIXELFORMAT_ABGR8888 = 4,
    ZIRVA_PIXELFORMAT_XBGR8888 = 5,
    ZIRVA_PIXELFORMAT_NV12 = 6,
    ZIRVA_PIXELFORMAT_YV12 = 8,
    ZIRVA_PIXELFORMAT_XRGB8888 = 9,
};

typedef enum {
    HAL_PRESENT_MODE_FLIP = 0,
    HAL_PRESENT_MODE_BLIT = 1,
    HAL_PRESENT_MODE_FRONT = 2,
} VEK_HAL_PRESENT_MODE_T;

typedef struct {
    VEK_HAL_PRESENT_MODE_T eHALPresentMode;
    VEK_UINT32 ui32HALNumFrameBuffers;
    VEK_UINT32 ui32HALFrameBufferHz;
} VEK_app_hints_t;

struct _VEK_private_data_;
struct _VEK_mapper_meminfo_;

/* A release that may have to wait until the GPU has finished with a buffer (__unmap,
   __unmap_remove, __free). Runs with the module mutex held and must not take it. */
typedef int (*VEK_defer_flush_op_pfn)(struct _VEK_private_data_ *psPrivateData,
                                      struct _VEK_mapper_meminfo_ *psMapperMemInfo, int *aiFd);

/* One buffer this process knows, keyed by its stamp. */
typedef struct _VEK_mapper_meminfo_ {
    VEK_UINT64 ui64Stamp;
    int usage;
    VEK_BOOL bAllocatedByThisProcess;
    VEK_BOOL bRegistered;
    ZOLSRV_CLIENT_MEM_INFO *apsMemInfo[VEK_NATIVE_HANDLE_NUM_FDS_MAX];
    VEK_HANDLE hMemInfo;
    int iFormat;
    VEK_UINT32 ui32LockCount;
    int lockUsage;
    VEK_write_lock_rect_t sWriteLockRect;
    struct _VEK_mapper_meminfo_ *psNext;
    /* Calls waiting with the mutex released (a first lock for the GPU, Post2 for the display):
       while there are any, the buffer is in use as if locked. */
    VEK_UINT32 ui32LockWaiters;
    /* The descriptor slots of the handle the entry was made from, -1 where it has none: one per
       plane of the buffer. A buffer allocated here owns them and its release closes these, never
       the ones a handle given to free happens to name. */
    int aiFd[VEK_NATIVE_HANDLE_NUM_FDS_MAX];
    /* The release queued for the buffer, waiting for the GPU: NULL, __unmap, __unmap_remove or
       __free. There is at most one; only SettlePendingRelease and the deferred queue change it. */
    VEK_defer_flush_op_pfn pfnQueuedRelease;
    /* The consistency check's mark (mapper): equal to its current mark when what the entry
       brings to the check changed since the check last compared it. Set through
       MapperEntryChanged, never directly. */
    VEK_UINT64 ui64CheckChangeMark;
    /* A display buffer's own handle and the framebuffer device that made it, set by that device:
       only that very handle names the buffer, its rows are that device's, and it goes back to that
       device's slots, whichever device opened or closed since. */
    const VEK_native_handle_t *psDisplayHandle;
    VEK_framebuffer_device_public_t *psDisplayDevice;
    /* A lock with write access began a use whose cache clean is still owed: the CPU may have
       written the buffer, and the end of a use, its last unlock or unmap, cleans the cache (and
       tries again at the next end should the clean fail). */
    VEK_BOOL bLockedForWrite;
} VEK_mapper_meminfo_t;

typedef struct _VEK_private_data_ {
    ZOLSRV_MUTEX_HANDLE hMutex;
    ZOLSRV_DEV_DATA sDevData;
    VEK_HANDLE hDevMemContext;
    VEK_HANDLE hGeneralHeap;
    ZOLSRV_HQT_CLIENT_INFO sHQTInfo;
    ZOL2DCONTEXTHANDLE hContext;
    VEK_app_hints_t sAppHints;
    VEK_mapper_meminfo_t *psMapList;
} VEK_private_data_t;

/* Format hooks. An allocation hook that fails leaves nothing allocated, but for planes the services
   would not take back: those stay in apsMemInfo and aiFd (every other slot NULL and -1), for the
   caller to release. A free hook empties each slot it releases. */
typedef int (*VEK_buffer_alloc_pfn)(ZOLSRV_DEV_DATA *psDevData, VEK_HANDLE hGeneralHeap, int *piWidth, int *piHeight,
                                    int *piStride, int *piUsage, unsigned int uiBpp, VEK_UINT32 ui32Flags,
                                    ZOLSRV_CLIENT_MEM_INFO **apsMemInfo, int *aiFd);
typedef int (*VEK_buffer_free_pfn)(ZOLSRV_DEV_DATA *psDevData, ZOLSRV_CLIENT_MEM_INFO **apsMemInfo, int *aiFd);
typedef int (*VEK_buffer_flush_cache_pfn)(VEK_native_handle_t *psNativeHandle, const ZOLSRV_CONNECTION *psConnection,
                                          ZOLSRV_CLIENT_MEM_INFO **apsMemInfo, VEK_write_lock_rect_t *psWriteLockRect);
typedef int (*VEK_buffer_compute_params_pfn)(unsigned int uiSubAlloc, int *piWidth, int *piHeight, int *piStride);
typedef VEK_BOOL (*VEK_buffer_get_phy_addrs_pfn)(ZOLSRV_CLIENT_MEM_INFO **apsMemInfo, VEK_SYS_PHYADDR *asPhyAddr);

typedef struct {
    VEK_buffer_format_public_t base;
    VEK_UINT32 iZOL2DFormat;
    VEK_BOOL bSkipMemset;
    VEK_buffer_alloc_pfn pfnAlloc;
    VEK_buffer_free_pfn pfnFree;
    VEK_buffer_flush_cache_pfn pfnFlushCache;
    VEK_buffer_compute_params_pfn pfnComputeParams;
    VEK_buffer_get_phy_addrs_pfn pfnGetPhyAddrs;
} VEK_buffer_format_t;

VEK_BOOL RegisterBufferFormat(VEK_buffer_format_t *psBufferFormat);
/* Gives the NV12 format's pool of display-owned buffers back. Shut-down calls it while the
   services connection, which exported the pool's descriptors, is still open. */
void buffer_c110_exit(void);
const VEK_buffer_format_t *GetBufferFormat(int iFormat);
const VEK_buffer_format_public_t *GetBufferFormats(void);

VEK_BOOL IsInitializedFunc(const char *func);
VEK_BOOL IsCompositor(void);

#ifdef __cplusplus
}
#endif

#endif
