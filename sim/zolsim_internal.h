/* Helpers that libzolsrv exports for the other parts of the simulated device (libzol2d).
   Not for the module and not for tests. */
#ifndef ZOLSIM_INTERNAL_H
#define ZOLSIM_INTERNAL_H

#include <pthread.h>

#include "zolsim/control.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A call site of a vendor function: the function's name and, after its first call, its slot in the
   call table plus one. Counting through a site costs two relaxed atomic operations and no lock. */
typedef struct {
    const char *pszName;
    unsigned uiSlot;
} ZOLSIM_CALL_SITE;

/* Counts a call of a vendor function (every one can be made to fail); returns 1 and sets *piCode
   when a fault armed with zolsim_fail fires on this call (the function must then return *piCode and
   do nothing else). With no fault armed, the check is one atomic load. */
int zolsim_internal_enter_site(ZOLSIM_CALL_SITE *psSite, int *piCode);
/* The same for a function known only by name (slower: the name is looked up at each call). */
int zolsim_internal_enter(const char *pszFunction, int *piCode);

/* Adds the call to the call-order record while a test keeps one (zolsim_call_order_start). */
void zolsim_internal_record_call_order(const char *pszFunction);

/* The first line of every vendor function: counts the call and returns the armed fault's code,
   as the function's own result type, when one fires. */
#define ZOLSIM_ENTER(name, result_type)                                                         \
    do {                                                                                        \
        static ZOLSIM_CALL_SITE sSite_ = {name, 0};                                             \
        int iFaultCode_;                                                                        \
        if (zolsim_internal_enter_site(&sSite_, &iFaultCode_)) return (result_type)iFaultCode_; \
    } while (0)

/* Records a misuse of the named call (see zolsim_misuse_count); the caller then answers an error. */
void zolsim_internal_misuse(const char *pszCall, const char *pszFormat, ...) __attribute__((format(printf, 2, 3)));

/* A services allocation made on behalf of the 2D library (flip-chain buffers): a live allocation
   like any other, but not a ZOLSRVAllocDeviceMem2 call, so it is neither counted nor recorded. */
ZOLSRV_ERROR zolsim_internal_alloc(VEK_SIZE_T uSize, VEK_UINT32 ui32Attribs, VEK_UINT32 ui32PhysAddr,
                                   ZOLSRV_CLIENT_MEM_INFO **ppsMemInfo);
ZOLSRV_ERROR zolsim_internal_free(ZOLSRV_CLIENT_MEM_INFO *psMemInfo);
/* The physical address given at allocation (0 for ordinary allocations and mappings). */
VEK_UINT32 zolsim_internal_phys_addr(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo);

/* Device addresses for memory the 2D library wraps, from the same space as the services' own. */
VEK_UINT32 zolsim_internal_reserve_dev_vaddr(VEK_SIZE_T uLen);
/* The CPU address of a device address inside live services memory of this process, with the bytes
   that follow it in that memory and (ppsMemInfo) the mem-info that holds it; NULL when no such
   memory holds it. */
void *zolsim_internal_cpu_address(VEK_UINT32 ui32DevAddr, VEK_SIZE_T *puRoom, ZOLSRV_CLIENT_MEM_INFO **ppsMemInfo);
/* A copy of a live services mem-info of this process; 0 when it is not one. */
int zolsim_internal_mem_info(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, ZOLSRV_CLIENT_MEM_INFO *psCopy);

/* The hardware (the 2D engine, the display) starts or ends its use of services memory. The start
   raises the pending count of each class given (ZOLSIM_GPU_READS, ...) and holds the memory: its
   owner can neither free nor unmap it meanwhile (misuse). The end completes one operation of each
   class, signals the global event and lets the memory go; memory that a disconnect ended while the
   hardware used it is released at its last end. */
void zolsim_internal_hw_use_begin(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, unsigned uiClasses);
void zolsim_internal_hw_use_end(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo, unsigned uiClasses);
/* Whether the hardware uses the memory now. */
int zolsim_internal_hw_in_use(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo);
/* Hardware access to a buffer's pixels (a blit, a scan-out copy) serialises per buffer, as the
   device's engines take turns on one buffer: the lock of a live services mem-info, valid while the
   hardware uses it or its owner holds it. */
pthread_mutex_t *zolsim_internal_hw_mutex(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo);
/* Takes (and gives back) up to two such locks at once, in a fixed order, hidden from the race
   detector like the rest of the hardware's work; either may be NULL or both the same. */
void zolsim_internal_hw_lock(pthread_mutex_t *psFirst, pthread_mutex_t *psSecond);
void zolsim_internal_hw_unlock(pthread_mutex_t *psFirst, pthread_mutex_t *psSecond);

/* A function that zolsim_reset calls, for the state another library keeps (the 2D engine's). */
void zolsim_internal_on_reset(void (*pfnReset)(void));

/* A connection for the library's own use: not counted as a client connection. */
ZOLSRV_CONNECTION *zolsim_internal_connect(void);
void zolsim_internal_disconnect(ZOLSRV_CONNECTION *psConnection);
/* The connection's global event handle. */
VEK_HANDLE zolsim_internal_connection_event(const ZOLSRV_CONNECTION *psConnection);

/* 2D configuration and records. */
unsigned zolsim_internal_2d_device_count(void);
void zolsim_internal_2d_display(unsigned uiIndex, ZOL2DDISPLAYINFO *psDisplayInfo,
                                ZOL2DMISCDISPLAYINFO *psMiscDisplayInfo);
long zolsim_internal_flipchain_stride_override(void);
long zolsim_internal_flipchain_count_override(void);
void zolsim_internal_record_context_device(unsigned long ulDevID);
void zolsim_internal_record_flipchain(const ZOLSIM_FLIPCHAIN_RECORD *psRecord);

void zolsim_internal_record_wrap(unsigned long ulSize);
void zolsim_internal_record_blit(const ZOLSIM_BLIT_RECORD *psRecord);

enum { ZOLSIM_LIVE_CONTEXTS = 0, ZOLSIM_LIVE_FLIPCHAINS = 1, ZOLSIM_LIVE_WRAPPED = 2 };
void zolsim_internal_live_adjust(int iKind, int iDelta);

/* The display-class side of a flip chain, as the services' display calls see it: the chain's
   device and swap-chain handles, the display (2D device index) it shows on, and its buffers in
   chain order. The 2D library sets it when a chain is made or loses a buffer, and removes it with
   the chain. */
void zolsim_internal_dc_chain_set(VEK_HANDLE hDevice, VEK_HANDLE hSwapChain, unsigned uiDisplay,
                                  ZOLSRV_CLIENT_MEM_INFO *const *apsBuffers, unsigned uiCount);
void zolsim_internal_dc_chain_remove(VEK_HANDLE hSwapChain);

/* The display: the 2D library's present records, and the screens kept here. A present shows
   uSize bytes of pixels laid out as display uiDisplay's (shorter buffers leave the rest black),
   copied under the buffer's hardware lock psHwMutex. A flip (psScanned, through the flip chain's
   swap chain hScanChain) scans its buffer out: the display reads it until the next present of the
   display, or until the chain goes. A blit (psScanned NULL) leaves a copy on the screen and ends
   the reads of what was scanned out before. */
void zolsim_internal_record_present(const ZOLSIM_PRESENT_RECORD *psRecord);
void zolsim_internal_record_flip_properties(const ZOLSIM_FLIP_PROPERTIES_RECORD *psRecord);
void zolsim_internal_screen_show(unsigned uiDisplay, VEK_HANDLE hScanChain, const ZOLSRV_CLIENT_MEM_INFO *psScanned,
                                 pthread_mutex_t *psHwMutex, const void *pvPixels, size_t uSize, VEK_UINT64 ui64Stamp);
/* The stamp of a live allocation or mapping of this process, 0 for other memory. */
VEK_UINT64 zolsim_internal_stamp_of(const ZOLSRV_CLIENT_MEM_INFO *psMemInfo);

/* The GLES1 stand-in's configuration and its record of the last flush. */
void zolsim_internal_gles1_config(VEK_UINT32 *pui32Version, int *pbTableNull, int *pbFlushMissing,
                                  VEK_UINT32 *pui32FlushResult);
void zolsim_internal_gles1_flushed(VEK_BOOL b1, VEK_BOOL b2);

/* Between the descriptor interposition and the export tracking inside libzolsrv. */
void zolsim_internal_fd_closed(int iFd);
void zolsim_internal_fbdev_reset(void);

#ifdef __cplusplus
}

#include <vector>

namespace zolsim {

// Takes the first x out of v: false when v holds none.
template <typename T>
bool Erase(std::vector<T> &v, T x) {
    for (size_t i = 0; i < v.size(); i++)
        if (v[i] == x) {
            v.erase(v.begin() + (long)i);
            return true;
        }
    return false;
}

}  // namespace zolsim
#endif

#endif
