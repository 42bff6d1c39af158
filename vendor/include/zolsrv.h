/* The vendor's GPU services client library: the calls and records the graphics HAL uses. */
#ifndef ZOLSRV_H
#define ZOLSRV_H

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef VEK_INT32 ZOLSRV_ERROR;

#define ZOLSRV_OK 0
#define ZOLSRV_ERROR_OUT_OF_MEMORY 1
#define ZOLSRV_ERROR_INVALID_PARAMS 3
#define ZOLSRV_ERROR_GENERIC 7
#define ZOLSRV_ERROR_TIMEOUT 9
#define ZOLSRV_ERROR_RETRY 24

/* The connection to the services; opaque to clients. */
typedef struct ZOLSRV_CONNECTION_TAG ZOLSRV_CONNECTION;

typedef struct {
    const ZOLSRV_CONNECTION *psConnection;
    VEK_HANDLE hDevCookie;
} ZOLSRV_DEV_DATA;

typedef enum {
    ZOLSRV_DEVICE_CLASS_3D = 0,
    ZOLSRV_DEVICE_CLASS_DISPLAY = 1,
    ZOLSRV_DEVICE_CLASS_BUFFER = 2,
    ZOLSRV_DEVICE_CLASS_VIDEO = 3,
} ZOLSRV_DEVICE_CLASS;

typedef enum {
    ZOLSRV_DEVICE_TYPE_UNKNOWN = 0,
    ZOLSRV_DEVICE_TYPE_HQT = 1,
    ZOLSRV_DEVICE_TYPE_EXT = 2,
} ZOLSRV_DEVICE_TYPE;

#define ZOLSRV_MAX_DEVICES 16

typedef struct {
    ZOLSRV_DEVICE_TYPE eDeviceType;
    ZOLSRV_DEVICE_CLASS eDeviceClass;
    VEK_UINT32 ui32DeviceIndex;
} ZOLSRV_DEVICE_IDENTIFIER;

#define ZOLSRV_MAX_CLIENT_HEAPS 32

typedef struct {
    VEK_UINT32 ui32HeapID;
    VEK_HANDLE hDevMemHeap;
    VEK_DEV_VIRTADDR sDevVAddrBase;
    VEK_UINT32 ui32HeapByteSize;
    VEK_UINT32 ui32Attribs;
} ZOLSRV_HEAP_INFO;

/* GPU progress on one allocation; shared by every process that maps it. */
typedef struct {
    volatile VEK_UINT32 ui32ReadOpsPending;
    volatile VEK_UINT32 ui32WriteOpsPending;
    volatile VEK_UINT32 ui32ReadOps2Pending;
    volatile VEK_UINT32 ui32ReadOpsComplete;
    volatile VEK_UINT32 ui32WriteOpsComplete;
    volatile VEK_UINT32 ui32ReadOps2Complete;
    volatile VEK_UINT32 ui32LastOpDumpVal;
    volatile VEK_UINT32 ui32LastReadOpDumpVal;
} ZOLSRV_SYNC_DATA;

typedef struct {
    ZOLSRV_SYNC_DATA *psSyncData;
    VEK_DEV_VIRTADDR sWriteOpsCompleteDevVAddr;
    VEK_DEV_VIRTADDR sReadOpsCompleteDevVAddr;
    VEK_DEV_VIRTADDR sReadOps2CompleteDevVAddr;
    VEK_HANDLE hMappingInfo;
    VEK_HANDLE hKernelSyncInfo;
} ZOLSRV_CLIENT_SYNC_INFO;

/* One allocation as this process sees it. */
typedef struct ZOLSRV_CLIENT_MEM_INFO_TAG {
    VEK_VOID *pvLinAddr;
    VEK_VOID *pvLinAddrKM;
    VEK_DEV_VIRTADDR sDevVAddr;
    VEK_UINT32 ui32Flags;
    VEK_SIZE_T uAllocSize;
    ZOLSRV_CLIENT_SYNC_INFO *psClientSyncInfo;
    VEK_HANDLE hMappingInfo;
    VEK_HANDLE hKernelMemInfo;
    VEK_HANDLE hResItem;
    VEK_UINT64 ui64Stamp;
    struct ZOLSRV_CLIENT_MEM_INFO_TAG *psNext;
} ZOLSRV_CLIENT_MEM_INFO;

typedef enum {
    ZOLSRV_MISC_INFO_CPUCACHEOP_NONE = 0,
    ZOLSRV_MISC_INFO_CPUCACHEOP_CLEAN = 1,
    ZOLSRV_MISC_INFO_CPUCACHEOP_FLUSH = 2,
} ZOLSRV_MISC_INFO_CPUCACHEOP_TYPE;

/* ui32StateRequest bits */
#define ZOLSRV_MISC_INFO_GLOBALEVENTOBJECT_PRESENT 0x00000008
#define ZOLSRV_MISC_INFO_CPUCACHEOP_PRESENT 0x00000020
#define ZOLSRV_MISC_INFO_GET_REF_COUNT_PRESENT 0x00000080

typedef struct {
    VEK_UINT32 ui32StateRequest;
    VEK_UINT32 ui32StatePresent;
    VEK_VOID *pvSOCTimerRegisterUM;
    VEK_HANDLE hSOCTimerRegisterOSMemHandle;
    VEK_HANDLE hOSGlobalEvent;
    struct {
        VEK_BOOL bDeferOp;
        ZOLSRV_MISC_INFO_CPUCACHEOP_TYPE eCacheOpType;
        ZOLSRV_CLIENT_MEM_INFO *psClientMemInfo;
        VEK_VOID *pvBaseVAddr;
        VEK_UINT32 ui32Length;
    } sCacheOpCtl;
    struct {
        union {
            ZOLSRV_CLIENT_MEM_INFO *psClientMemInfo;
            VEK_HANDLE hKernelMemInfo;
        } u;
        VEK_UINT32 ui32RefCount;
    } sGetRefCountCtl;
} ZOLSRV_MISC_INFO;

/* The 3D device's client information. Its layout is fixed at 176 bytes on the device. */
typedef struct {
    VEK_UINT32 ui32ClientFlags;
    VEK_UINT32 ui32ClientBuild;
    VEK_HANDLE hDevMemContext;
    ZOLSRV_MISC_INFO sMiscInfo;
    VEK_UINT32 aui32Reserved[29];
} ZOLSRV_HQT_CLIENT_INFO;

typedef enum {
    ZOLSRV_CLIENT_EVENT_HWTIMEOUT = 0,
} ZOLSRV_CLIENT_EVENT;

typedef struct ZOLSRV_MUTEX_TAG *ZOLSRV_MUTEX_HANDLE;

/* Connection and devices */
ZOLSRV_ERROR ZOLSRVConnect(ZOLSRV_CONNECTION **ppsConnection, VEK_UINT32 ui32Flags);
ZOLSRV_ERROR ZOLSRVDisconnect(const ZOLSRV_CONNECTION *psConnection);
ZOLSRV_ERROR ZOLSRVEnumerateDevices(const ZOLSRV_CONNECTION *psConnection, VEK_UINT32 *pui32NumDevices,
                                    ZOLSRV_DEVICE_IDENTIFIER *psDevID);
ZOLSRV_ERROR ZOLSRVAcquireDeviceData(const ZOLSRV_CONNECTION *psConnection, VEK_UINT32 ui32DevIndex,
                                     ZOLSRV_DEV_DATA *psDevData, ZOLSRV_DEVICE_TYPE eDeviceType);
ZOLSRV_ERROR HQTGetClientInfo(const ZOLSRV_DEV_DATA *psDevData, ZOLSRV_HQT_CLIENT_INFO *psClientInfo);

/* Memory contexts and heaps */
ZOLSRV_ERROR ZOLSRVCreateDeviceMemContext(const ZOLSRV_DEV_DATA *psDevData, VEK_HANDLE *phDevMemContext,
                                          VEK_UINT32 *pui32ClientHeapCount, ZOLSRV_HEAP_INFO *psHeapInfo);
ZOLSRV_ERROR ZOLSRVDestroyDeviceMemContext(const ZOLSRV_DEV_DATA *psDevData, VEK_HANDLE hDevMemContext);

/* Misc information */
ZOLSRV_ERROR ZOLSRVGetMiscInfo(const ZOLSRV_CONNECTION *psConnection, ZOLSRV_MISC_INFO *psMiscInfo);
ZOLSRV_ERROR ZOLSRVReleaseMiscInfo(const ZOLSRV_CONNECTION *psConnection, ZOLSRV_MISC_INFO *psMiscInfo);

/* Device memory */
ZOLSRV_ERROR ZOLSRVAllocDeviceMem2(const ZOLSRV_DEV_DATA *psDevData, VEK_HANDLE hDevMemHeap, VEK_UINT32 ui32Attribs,
                                   VEK_SIZE_T uSize, VEK_SIZE_T uAlignment, VEK_VOID *pvPrivData,
                                   VEK_UINT32 ui32PrivDataLength, ZOLSRV_CLIENT_MEM_INFO **ppsMemInfo);
ZOLSRV_ERROR ZOLSRVFreeDeviceMem(const ZOLSRV_DEV_DATA *psDevData, ZOLSRV_CLIENT_MEM_INFO *psMemInfo);
ZOLSRV_ERROR ZOLSRVExportDeviceMem2(const ZOLSRV_DEV_DATA *psDevData, ZOLSRV_CLIENT_MEM_INFO *psMemInfo, int *piFd);
ZOLSRV_ERROR ZOLSRVMapDeviceMemory2(const ZOLSRV_DEV_DATA *psDevData, int iFd, VEK_HANDLE hDstDevMemHeap,
                                    ZOLSRV_CLIENT_MEM_INFO **ppsDstMemInfo);
ZOLSRV_ERROR ZOLSRVUnmapDeviceMemory(const ZOLSRV_DEV_DATA *psDevData, ZOLSRV_CLIENT_MEM_INFO *psMemInfo);

/* Events: 0 when an event arrived, non-zero on time-out. */
ZOLSRV_ERROR ZOLSRVEventObjectWait(const ZOLSRV_CONNECTION *psConnection, VEK_HANDLE hOSEvent);
ZOLSRV_ERROR ZOLSRVClientEvent(ZOLSRV_CLIENT_EVENT eEvent, ZOLSRV_DEV_DATA *psDevData, VEK_VOID *pvData);

/* Process-local, non-recursive mutex */
ZOLSRV_ERROR ZOLSRVCreateMutex(ZOLSRV_MUTEX_HANDLE *phMutex);
ZOLSRV_ERROR ZOLSRVDestroyMutex(ZOLSRV_MUTEX_HANDLE hMutex);
ZOLSRV_ERROR ZOLSRVLockMutex(ZOLSRV_MUTEX_HANDLE hMutex);
ZOLSRV_ERROR ZOLSRVUnlockMutex(ZOLSRV_MUTEX_HANDLE hMutex);

/* Display-class buffers */
ZOLSRV_ERROR ZOLSRVGetDCBuffers2(VEK_HANDLE hDevice, VEK_HANDLE hSwapChain, VEK_HANDLE *phBuffer,
                                 VEK_SYS_PHYADDR *psPhyAddr);
ZOLSRV_ERROR ZOLSRVSwapToDCBuffer2(VEK_HANDLE hDevice, VEK_HANDLE hSwapChain, VEK_UINT32 ui32SwapInterval,
                                   ZOLSRV_CLIENT_MEM_INFO **ppsMemInfos, VEK_UINT32 ui32NumMemInfos,
                                   VEK_VOID *pvPrivData, VEK_UINT32 ui32PrivDataLength);

/* App hints; a hint that is not set yields the default, which is not a failure. */
ZOLSRV_ERROR ZOLSRVCreateAppHintState(VEK_UINT32 eModuleID, const char *pszAppName, VEK_VOID **ppvState);
ZOLSRV_ERROR ZOLSRVGetAppHint(VEK_VOID *pvHintState, const char *pszHintName, VEK_DATA_TYPE eDataType,
                              const VEK_VOID *pvDefault, VEK_VOID *pvReturn);
ZOLSRV_ERROR ZOLSRVFreeAppHintState(VEK_UINT32 eModuleID, VEK_VOID *pvHintState);

/* Libraries and memory. Loading answers the library's handle, NULL when it cannot be loaded. */
VEK_HANDLE ZOLSRVLoadLibrary(const char *pszLibraryName);
/* Not used by the graphics HAL, which keeps what it loads for the life of the process. */
ZOLSRV_ERROR ZOLSRVUnloadLibrary(VEK_HANDLE hLibrary);
ZOLSRV_ERROR ZOLSRVGetLibFuncAddr(VEK_HANDLE hLibrary, const char *pszFunctionName, VEK_VOID **ppvFuncAddr);
ZOLSRV_ERROR ZOLSRVMemCopy(VEK_VOID *pvDst, const VEK_VOID *pvSrc, VEK_SIZE_T uiSize);

#ifdef __cplusplus
}
#endif

#if defined(__cplusplus) && defined(__arm__)
static_assert(sizeof(ZOLSRV_HQT_CLIENT_INFO) == 176 && alignof(ZOLSRV_HQT_CLIENT_INFO) == 4, "client information");
#endif

#endif
