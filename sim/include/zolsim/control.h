/* Control API of the simulated device: used by tests and tools, never by the module. */
#ifndef ZOLSIM_CONTROL_H
#define ZOLSIM_CONTROL_H

#include <linux/fb.h>

#include "zol2d.h"
#include "zolsrv.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Configuration: call before the module is loaded (it starts up in its constructor). ---- */

/* Everything back to the default device: one 3D device (index 0), a general heap (id 0) behind a
   heap with id 0x01000001... see zolsim_set_heaps, three 2D devices, the first with an 800 x 480
   RGB 565 display, no app hints, no framebuffer node, a 20 ms event-wait time-out, no faults,
   all counters and records cleared. */
void zolsim_reset(void);

/* The services' device list, as ZOLSRVEnumerateDevices reports it. */
void zolsim_set_devices(const ZOLSRV_DEVICE_IDENTIFIER *psDevices, unsigned uiCount);
/* The heap list of a new memory context: heap identifiers in order; the sim makes the handles. */
void zolsim_set_heaps(const VEK_UINT32 *pui32HeapIDs, unsigned uiCount);
/* The handle the sim gives heap number uiIndex of the list above (valid after configuration). */
VEK_HANDLE zolsim_heap_handle(unsigned uiIndex);

/* Number of 2D devices (0 makes ZOL2DEnumerateDevices report none). Device ids are 100 + index. */
void zolsim_set_2d_device_count(unsigned uiCount);
/* Display of 2D device uiIndex. */
void zolsim_set_display(unsigned uiIndex, const ZOL2DDISPLAYINFO *psDisplayInfo,
                        const ZOL2DMISCDISPLAYINFO *psMiscDisplayInfo);
/* Make the next flip chains report another stride than asked (0: normal). */
void zolsim_set_flipchain_stride_override(long lStride);
/* Make ZOL2DGetFlipChainBuffers report another count than the chain has (-1: normal). */
void zolsim_set_flipchain_count_override(long lCount);

/* App hints, read through ZOLSRVGetAppHint. */
void zolsim_set_app_hint(const char *pszName, VEK_UINT32 ui32Value);
void zolsim_clear_app_hints(void);

/* The time-out of ZOLSRVEventObjectWait in milliseconds. */
void zolsim_set_wait_timeout_ms(unsigned uiMs);

/* "/dev/graphics/fb0": NULL makes its open fail; otherwise open succeeds and FBIOGET_VSCREENINFO
   answers this record. bIoctlFails makes that ioctl return -1 instead. */
void zolsim_set_fb_var_screeninfo(const struct fb_var_screeninfo *psInfo, int bIoctlFails);
/* Descriptors of "/dev/graphics/fb0" currently open in this process. */
unsigned zolsim_fbdev_open_count(void);

/* ---- Faults and call records ---- */

/* The uiNth call (1 = the next) of the named vendor function, counted from now, returns iCode
   (for ZOL2DEnumerateDevices with no list: that count). Several faults may be armed. Faults can
   also be armed before the process starts with ZOLSIM_FAIL="name:nth:code[,name:nth:code...]". */
void zolsim_fail(const char *pszFunction, unsigned uiNth, int iCode);
void zolsim_clear_faults(void);
/* Calls of the named function since the last reset. */
unsigned zolsim_calls(const char *pszFunction);

typedef struct {
    VEK_HANDLE hHeap;
    VEK_UINT32 ui32Attribs;
    VEK_SIZE_T uSize;
    VEK_SIZE_T uAlignment;
    VEK_UINT32 ui32PrivDataLength;
} ZOLSIM_ALLOC_RECORD;

typedef struct {
    unsigned long ulFlags;
    unsigned long ulNumBuffers;
    unsigned long ulWidth;
    unsigned long ulHeight;
    ZOL2DFORMAT eFormat;
    int bStrideGiven;
    int bFlipChainIDGiven;
} ZOLSIM_FLIPCHAIN_RECORD;

VEK_UINT32 zolsim_last_connect_flags(void);
VEK_UINT32 zolsim_last_acquire_index(void);
unsigned long zolsim_last_context_device(void);
/* The allocation calls since the last reset, oldest first; returns how many there were. */
unsigned zolsim_alloc_records(ZOLSIM_ALLOC_RECORD *psOut, unsigned uiMax);
int zolsim_last_flipchain(ZOLSIM_FLIPCHAIN_RECORD *psOut);
/* The last ZOLSRVGetMiscInfo request as it was passed in. */
int zolsim_last_misc_info(ZOLSRV_MISC_INFO *psOut);
/* Names of the app hints read, in order, separated by ','. */
const char *zolsim_app_hints_read(void);
/* ZOLSRVClientEvent stall reports. */
unsigned zolsim_stall_reports(void);
/* ZOLSRVGetMiscInfo CPU cache operations requested (clean or flush). */
unsigned zolsim_cache_ops(void);
/* Names of the functions that can be made to fail (zolsim_fail) called since the last reset, in
   the order of their first call, separated by ','. The text stays valid until the next call. */
const char *zolsim_call_names(void);

/* ---- The simulated GPU ---- */

/* Raise the pending counters of an allocation (shared by every process that maps it). */
void zolsim_gpu_add_ops(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, VEK_UINT32 ui32Reads, VEK_UINT32 ui32Writes,
                        VEK_UINT32 ui32Reads2);
/* Complete every pending operation of the allocation and signal the global event. */
void zolsim_gpu_complete(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo);
/* The same from a background thread after uiMs milliseconds. */
void zolsim_gpu_complete_after(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, unsigned uiMs);
/* The same during the next ZOLSRVEventObjectWait of this process, which then reports an event. */
void zolsim_gpu_complete_on_next_wait(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo);
/* The reference count that ZOLSRVGetMiscInfo reports for this allocation or mapping (default 0). */
void zolsim_set_ref_count(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, VEK_UINT32 ui32RefCount);
/* Give the next allocation (services or flip-chain buffer) this stamp instead of a new one, as
   if the stamp had been reused. */
void zolsim_set_next_stamp(VEK_UINT64 ui64Stamp);
/* Make the next allocation or mapping share the psClientSyncInfo of this live one, as if the
   services had handed out one synchronisation object twice. */
void zolsim_share_sync_with_next(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo);
/* This process's mem-info of a live allocation or mapping with the stamp, or NULL. */
ZOLSRV_CLIENT_MEM_INFO *zolsim_meminfo_by_stamp(VEK_UINT64 ui64Stamp);

/* ---- What is live in this process ---- */

unsigned zolsim_live_allocations(void);  /* ZOLSRVAllocDeviceMem2 (and flip-chain buffers) not freed */
unsigned zolsim_live_mappings(void);     /* ZOLSRVMapDeviceMemory2 not unmapped */
unsigned zolsim_live_exported_fds(void); /* descriptors from ZOLSRVExportDeviceMem2 still open */
unsigned zolsim_live_flipchains(void);
unsigned zolsim_live_contexts(void); /* 2D contexts */
unsigned zolsim_live_connections(void);
unsigned zolsim_live_mutexes(void);
unsigned zolsim_live_hint_states(void);
unsigned zolsim_live_mem_contexts(void); /* ZOLSRVCreateDeviceMemContext not destroyed */

#ifdef __cplusplus
}
#endif

#endif
