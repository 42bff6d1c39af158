/* Control API of the simulated device: used by tests and tools, never by the module. */
#ifndef ZOLSIM_CONTROL_H
#define ZOLSIM_CONTROL_H

#include <linux/fb.h>
#include <stddef.h>

#include "zol2d.h"
#include "zolsrv.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Configuration: call before the module is loaded (it starts up in its constructor). ---- */

/* Everything back to the default device: one 3D device (index 0), a general heap (id 0) behind a
   heap with id 0x01000001... see zolsim_set_heaps, three 2D devices, each with an 800 x 480
   RGB 565 display that takes one flip chain of up to three buffers, no app hints, no framebuffer
   node, a 20 ms event-wait time-out, a 2D engine that runs each blit 1 ms after its submission
   and is not held, no faults, all counters and records cleared (the screens stop scanning out). */
void zolsim_reset(void);

/* The services' device list, as ZOLSRVEnumerateDevices reports it. */
void zolsim_set_devices(const ZOLSRV_DEVICE_IDENTIFIER *psDevices, unsigned uiCount);
/* The heap list of a new memory context: heap identifiers in order. Each context has heap handles
   of its own, valid while it lives, on the connection it was made on, and only for the slots it
   listed. */
void zolsim_set_heaps(const VEK_UINT32 *pui32HeapIDs, unsigned uiCount);
/* The handle of heap uiIndex of the newest live memory context of this process; NULL when there is
   none or it lists fewer heaps. */
VEK_HANDLE zolsim_heap_handle(unsigned uiIndex);

/* Number of 2D devices (0 makes ZOL2DEnumerateDevices report none). Device ids are 100 + index. */
void zolsim_set_2d_device_count(unsigned uiCount);
/* Display of 2D device uiIndex. */
void zolsim_set_display(unsigned uiIndex, const ZOL2DDISPLAYINFO *psDisplayInfo,
                        const ZOL2DMISCDISPLAYINFO *psMiscDisplayInfo);
/* The number of flip chains display uiIndex takes at once (its ulMaxFlipChains, 1 by default): a
   chain more is refused as misuse. Counted in this process. */
void zolsim_set_max_flip_chains(unsigned uiIndex, unsigned long ulMax);
/* Make the next flip chains report another stride than asked (0: normal). */
void zolsim_set_flipchain_stride_override(long lStride);
/* Make ZOL2DGetFlipChainBuffers report another count than the chain has (-1: normal). */
void zolsim_set_flipchain_count_override(long lCount);

/* App hints, read through ZOLSRVGetAppHint. */
void zolsim_set_app_hint(const char *pszName, VEK_UINT32 ui32Value);
void zolsim_clear_app_hints(void);

/* The time-out of ZOLSRVEventObjectWait in milliseconds. */
void zolsim_set_wait_timeout_ms(unsigned uiMs);
/* Threads of this process inside ZOLSRVEventObjectWait right now. */
unsigned zolsim_event_waiters(void);

/* "/dev/graphics/fb0": NULL makes its open fail; otherwise open succeeds and FBIOGET_VSCREENINFO
   answers this record. bIoctlFails makes that ioctl return -1 instead. */
void zolsim_set_fb_var_screeninfo(const struct fb_var_screeninfo *psInfo, int bIoctlFails);
/* Descriptors of "/dev/graphics/fb0" currently open in this process. */
unsigned zolsim_fbdev_open_count(void);
/* The flags of the last open of "/dev/graphics/fb0" (whether it succeeded or not); -1 for none.
   The node honours them: a descriptor opened read-only cannot write, an access mode of 3 is
   refused (EINVAL), O_DIRECTORY too (ENOTDIR), O_CREAT with O_EXCL too (EEXIST). */
int zolsim_fbdev_last_open_flags(void);

/* ---- Faults and call records ---- */

/* The uiNth call (1 = the next) of the named vendor function (any of them), counted from now, returns iCode
   (for ZOL2DEnumerateDevices with no list: that count). Several faults may be armed. Faults can
   also be armed before the process starts with ZOLSIM_FAIL="name:nth:code[,name:nth:code...]". */
void zolsim_fail(const char *pszFunction, unsigned uiNth, int iCode);
void zolsim_clear_faults(void);
/* Calls of the named function since the last reset. */
unsigned zolsim_calls(const char *pszFunction);

/* From now on, keep the names of the vendor calls that can be made to fail (zolsim_fail) in the
   order they are made, up to 256 of them; zolsim_call_order copies up to uiMax of those names
   and returns how many there are. For what only the order shows, such as shut-down. */
void zolsim_call_order_start(void);
unsigned zolsim_call_order(const char **apszOut, unsigned uiMax);

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
/* The allocation calls since the last reset (the latest 1024 of them), oldest first; returns how many
   there are. */
unsigned zolsim_alloc_records(ZOLSIM_ALLOC_RECORD *psOut, unsigned uiMax);
int zolsim_last_flipchain(ZOLSIM_FLIPCHAIN_RECORD *psOut);
/* The last ZOLSRVGetMiscInfo request as it was passed in. */
int zolsim_last_misc_info(ZOLSRV_MISC_INFO *psOut);
/* Names of the app hints read, in order, separated by ','. */
const char *zolsim_app_hints_read(void);
/* ZOLSRVClientEvent stall reports. */
unsigned zolsim_stall_reports(void);
/* ZOLSRVClientEvent calls since the last reset (the latest 1024), oldest first, as they were made. */
typedef struct {
    ZOLSRV_CLIENT_EVENT eEvent;
    const ZOLSRV_DEV_DATA *psDevData;
    const VEK_VOID *pvData;
} ZOLSIM_CLIENT_EVENT_RECORD;
unsigned zolsim_client_event_records(ZOLSIM_CLIENT_EVENT_RECORD *psOut, unsigned uiMax);
/* ZOLSRVGetMiscInfo CPU cache operations requested (clean or flush). */
unsigned zolsim_cache_ops(void);
/* Names of the functions that can be made to fail (zolsim_fail) called since the last reset, in
   the order of their first call, separated by ','. The text stays valid until the next call. */
const char *zolsim_call_names(void);

/* ---- Misuse ---- */

/* Calls given what the real libraries would refuse or crash on (a handle they never made or
   already freed, a record of another kind, an event of another connection, a count above the
   display's maximum, an argument that must have one value) answer an error and are recorded here,
   each with a message naming the call and what was wrong. Every test fixture fails when one was
   recorded; a test that makes one on purpose checks it and clears it. A reset clears them too. */
unsigned zolsim_misuse_count(void);
/* The messages, one a line, oldest first (the first 64); valid until the next call. */
const char *zolsim_misuse_text(void);
void zolsim_clear_misuse(void);

/* ---- 2D memory and blits ---- */

/* A ZOL2DBlt3DExt request as it was submitted (accepted or not). */
typedef struct {
    ZOL2DFORMAT eDstFormat;
    ZOL2DFORMAT eSrcFormat;
    long lDstStride;
    long lSrcStride;
    VEK_UINT32 ui32DstWidth, ui32DstHeight;
    VEK_UINT32 ui32SrcWidth, ui32SrcHeight;
    ZOL2DRECT rcDest;
    ZOL2DRECT rcSource;
    VEK_UINT32 ui32DstDevAddr; /* the destination's first plane */
    VEK_UINT32 ui32SrcDevAddr;
    int bDisableDestInput;
    int bDstExt; /* a destination extension was given: */
    VEK_UINT32 ui32ChromaPlane1;
} ZOLSIM_BLIT_RECORD;

/* The last blit request; 0 when none was made since the last reset. */
int zolsim_last_blit(ZOLSIM_BLIT_RECORD *psOut);
/* The sizes of the ZOL2DMemWrap calls since the last reset (the latest 1024), oldest first; returns
   their number. */
unsigned zolsim_wrap_records(unsigned long *pulSizes, unsigned uiMax);

/* The 2D engine runs on its own. ZOL2DBlt3DExt checks a request and queues it: from then on the
   source's read and the write of each destination plane are pending (on services memory, in its
   sync counters; the memory cannot be freed or unmapped meanwhile). The engine, a thread of the
   process, runs the queued blits in order, each no sooner than a delay after its submission (1 ms
   unless set; a reset sets it back): only then do the pixels land, and the counts complete,
   signalling the global event. ZOL2DQueryBlitsComplete with ZOL2D_QUERY_WAIT blocks until the
   engine has run every blit of the context into the destination; a context or flip chain that goes
   waits for the blits on it. Held, the engine runs nothing until it is let go again, so that a
   test can show what waits for an unfinished blit (a reset lets it go). */
void zolsim_set_2d_engine_delay_ms(unsigned uiMs);
void zolsim_hold_2d_engine(int bHeld);
/* Blits queued and not yet run. */
unsigned zolsim_blits_pending(void);
/* Threads of this process inside ZOL2DQueryBlitsComplete's wait now. */
unsigned zolsim_blit_waiters(void);

/* ---- The simulated GPU ---- */

/* Raise the pending counters of an allocation (shared by every process that maps it). */
void zolsim_gpu_add_ops(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, VEK_UINT32 ui32Reads, VEK_UINT32 ui32Writes,
                        VEK_UINT32 ui32Reads2);
/* Complete every pending operation of the allocation and signal the global event. */
void zolsim_gpu_complete(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo);
/* The GPU finishes each class of operations on its own: complete only those of the classes given
   (any of the three bits), and signal the global event. The _after and _on_next_wait forms are as
   below. */
#define ZOLSIM_GPU_READS 1u
#define ZOLSIM_GPU_WRITES 2u
#define ZOLSIM_GPU_READS2 4u
#define ZOLSIM_GPU_ALL 7u
void zolsim_gpu_complete_classes(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, unsigned uiClasses);
void zolsim_gpu_complete_classes_after(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, unsigned uiClasses, unsigned uiMs);
void zolsim_gpu_complete_classes_on_next_wait(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, unsigned uiClasses);
/* The same from a background thread after uiMs milliseconds. */
void zolsim_gpu_complete_after(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, unsigned uiMs);
/* The same during the next ZOLSRVEventObjectWait of this process, which then reports an event. */
void zolsim_gpu_complete_on_next_wait(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo);
/* The reference count that ZOLSRVGetMiscInfo reports for this allocation or mapping, instead of its
   real one: the allocation, each exported descriptor still open in the allocating process and each
   mapping in any process. */
void zolsim_set_ref_count(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, VEK_UINT32 ui32RefCount);
/* Give the next allocation (services or flip-chain buffer) this stamp instead of a new one, as
   if the stamp had been reused. */
void zolsim_set_next_stamp(VEK_UINT64 ui64Stamp);
/* Make the next allocation or mapping share the psClientSyncInfo of this live one, as if the
   services had handed out one synchronisation object twice. */
void zolsim_share_sync_with_next(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo);
/* The physical address of a display buffer's memory (0 for ordinary allocations and mappings). */
VEK_UINT32 zolsim_phys_addr(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo);
/* This process's mem-info of a live allocation or mapping with the stamp, or NULL. */
ZOLSRV_CLIENT_MEM_INFO *zolsim_meminfo_by_stamp(VEK_UINT64 ui64Stamp);

/* ---- The display ---- */

/* The 2D library's present calls since the last reset (the latest 1024), oldest first; returns how
   many there are. */
typedef enum { ZOLSIM_PRESENT_FLIP = 1, ZOLSIM_PRESENT_BLIT = 2 } ZOLSIM_PRESENT_KIND;
typedef struct {
    int iKind;
    ZOL2DFLIPCHAINHANDLE hFlipChain; /* NULL for a blit */
    const ZOL2DMEMINFO *psMemInfo;
    long lRenderID;
    ZOL2DERROR eResult;
} ZOLSIM_PRESENT_RECORD;
unsigned zolsim_present_records(ZOLSIM_PRESENT_RECORD *psOut, unsigned uiMax);

/* ZOL2DSetPresentFlipProperties calls since the last reset (the latest 1024), oldest first. */
typedef struct {
    ZOL2DFLIPCHAINHANDLE hFlipChain;
    unsigned long ulPropertyMask;
    long lDstXPos;
    long lDstYPos;
    unsigned long ulNumClipRects;
    const void *psClipRects;
    unsigned long ulSwapInterval;
} ZOLSIM_FLIP_PROPERTIES_RECORD;
unsigned zolsim_flip_properties_records(ZOLSIM_FLIP_PROPERTIES_RECORD *psOut, unsigned uiMax);

/* ZOLSRVSwapToDCBuffer2 answers ZOLSRV_ERROR_RETRY, as when the display queue is full, on its next
   uiCount valid calls, or on every one with ZOLSIM_SWAP_RETRY_ALWAYS. 0 (the default): never. */
#define ZOLSIM_SWAP_RETRY_ALWAYS 0xffffffffu
void zolsim_set_swap_retries(unsigned uiCount);

/* ZOLSRVSwapToDCBuffer2 calls since the last reset (the latest 1024), oldest first, with their
   results. */
#define ZOLSIM_SWAP_RECORD_MEMINFOS 8
typedef struct {
    VEK_HANDLE hDevice;
    VEK_HANDLE hSwapChain;
    VEK_UINT32 ui32SwapInterval;
    VEK_UINT32 ui32NumMemInfos;
    ZOLSRV_CLIENT_MEM_INFO *apsMemInfos[ZOLSIM_SWAP_RECORD_MEMINFOS]; /* the first of the list */
    const VEK_VOID *pvPrivData;
    VEK_UINT32 ui32PrivDataLength;
    int bCallerHeldAMutex; /* the calling thread held a ZOLSRV mutex during the swap */
    ZOLSRV_ERROR eResult;
} ZOLSIM_SWAP_RECORD;
unsigned zolsim_swap_records(ZOLSIM_SWAP_RECORD *psOut, unsigned uiMax);

/* The screen of a display (2D device index): what the last flip, blit or swap put on it, kept in
   the display's format and stride. A flip or swap shows a whole buffer; a blit copies one. */
typedef struct {
    unsigned long ulWidth;
    unsigned long ulHeight;
    long lStride; /* bytes */
    ZOL2DFORMAT eFormat;
    unsigned uiFrames;    /* presents and swaps shown since the last reset */
    VEK_UINT64 ui64Stamp; /* stamp of the allocation shown last; 0 for none */
} ZOLSIM_SCREEN_INFO;
int zolsim_screen_info(unsigned uiDisplay, ZOLSIM_SCREEN_INFO *psOut);
/* Copies up to uMax bytes of the screen's pixels; returns the screen's size in bytes. */
size_t zolsim_screen_pixels(unsigned uiDisplay, void *pvOut, size_t uMax);
/* The screen as 8-bit RGB triples, row by row without padding; returns width * height * 3. */
size_t zolsim_screen_rgb(unsigned uiDisplay, unsigned char *pucOut, size_t uMax);
/* Saves the screen as a PNG file: 0, or a negative errno value. */
int zolsim_screen_save_png(unsigned uiDisplay, const char *pszPath);
/* With a directory, every present or swap from now on also saves the screen it showed as
   pszDir/frame-NNN.png (NNN counting from 000); NULL stops. */
void zolsim_set_screen_capture(const char *pszDir);
/* Writes 8-bit RGB triples as a PNG file: 0, or a negative errno value. */
int zolsim_write_png(const char *pszPath, const unsigned char *pucRGB, unsigned uiWidth, unsigned uiHeight);

/* The GLES1 driver stand-in ("/system/vendor/lib/egl/libGLESv1_CM_ZOLCORE_KEVRA_120.so" under the
   simulated root). Its glGetString and its table's flush are counted by zolsim_calls as
   "glGetString" and "pfnGLESFlushBuffersGCNoContext" and can be made to fail with zolsim_fail. */
/* Absent: ZOLSRVLoadLibrary of it fails as if the file were not there. */
void zolsim_set_gles1_absent(int bAbsent);
/* The ui32APIVersion of its interface table (3 by default). */
void zolsim_set_gles1_version(VEK_UINT32 ui32Version);
/* glGetString(0x6500) answers NULL. */
void zolsim_set_gles1_table_null(int bNull);
/* The table's pfnGLESFlushBuffersGCNoContext is NULL. */
void zolsim_set_gles1_flush_missing(int bMissing);
/* What every flush returns (0, no error, by default). */
void zolsim_set_gles1_flush_result(VEK_UINT32 ui32Result);
/* The arguments of the last flush; 0 when there was none. */
int zolsim_gles1_last_flush(VEK_BOOL *pb1, VEK_BOOL *pb2);

/* ---- What is live in this process ---- */

unsigned zolsim_live_allocations(void);  /* ZOLSRVAllocDeviceMem2 (and flip-chain buffers) not freed */
unsigned zolsim_live_mappings(void);     /* ZOLSRVMapDeviceMemory2 not unmapped */
unsigned zolsim_live_exported_fds(void); /* descriptors from ZOLSRVExportDeviceMem2 still open */
unsigned zolsim_live_flipchains(void);
unsigned zolsim_live_contexts(void); /* 2D contexts */
unsigned zolsim_live_wrapped(void);  /* ZOL2DMemWrap not freed */
unsigned zolsim_live_connections(void);
unsigned zolsim_live_mutexes(void);
unsigned zolsim_live_hint_states(void);
unsigned zolsim_live_mem_contexts(void); /* ZOLSRVCreateDeviceMemContext not destroyed */
/* A disconnect ends what the caller left on its connection: its memory contexts, and the memory
   allocated or mapped through it, which it frees (memory is the connection's: another connection
   can neither free, unmap, export nor query it, save the 2D library's flip-chain buffers, which
   every connection may export and query). Since the last reset: */
unsigned zolsim_ended_allocations(void); /* allocations a disconnect had to free */
unsigned zolsim_ended_mappings(void);    /* mappings a disconnect had to unmap */
/* Everything the disconnects ended since the last reset, memory contexts included, described in
   pszReport ("1 memory contexts, 2 allocations"; empty when none), cut to uSize. A caller that
   released everything before it disconnected leaves none; a failed start-up may leave its memory
   context to the disconnect. */
unsigned zolsim_disconnect_leftovers(char *pszReport, size_t uSize);

/* Every kind above, by name, so that a check of "nothing live" cannot forget one (memory that a
   disconnect ended counts as left live). */
typedef struct {
    const char *pszWhat;
    unsigned (*pfnCount)(void);
} ZOLSIM_LIVE_KIND;
extern const ZOLSIM_LIVE_KIND zolsim_live_kinds[];
extern const unsigned zolsim_live_kind_count;
/* The sum of every kind's count; the kinds that are not zero are described in pszReport
   ("2 allocations, 1 mappings"; empty when nothing is live), cut to uSize. */
unsigned zolsim_live_total(char *pszReport, size_t uSize);

#ifdef __cplusplus
}
#endif

#endif
