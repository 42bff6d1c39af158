/* The vendor's 2D library: the calls and records the graphics HAL uses. */
#ifndef ZOL2D_H
#define ZOL2D_H

#include "zolsrv.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef VEK_INT32 ZOL2DERROR;

#define ZOL2D_OK 0
#define ZOL2DERROR_GENERIC_ERROR (-1)
#define ZOL2DERROR_INVALID_PARAMETER (-2)
#define ZOL2DERROR_MEMORY (-3)
#define ZOL2DERROR_DEVICE_UNAVAILABLE (-4)

/* Display formats (ZOL2DDISPLAYINFO.eFormat) and blit formats share one code space:
   small values for the display, 0x8000xxxx for the 3D blit surfaces. */
typedef unsigned long ZOL2DFORMAT;

#define ZOL2D_PIXEL_FORMAT_UNKNOWN 0UL
#define ZOL2D_PIXEL_FORMAT_RGB565 1UL
#define ZOL2D_PIXEL_FORMAT_RGB555 2UL
#define ZOL2D_PIXEL_FORMAT_RGB888 3UL
#define ZOL2D_PIXEL_FORMAT_ARGB8888 4UL
#define ZOL2D_PIXEL_FORMAT_ARGB1555 5UL

#define ZOL2D_DEVICE_NAME_SIZE 32

typedef struct {
    unsigned long ulDevID;
    char szDeviceName[ZOL2D_DEVICE_NAME_SIZE];
} ZOL2DDEVICEINFO;

/* A 2D memory description: a flip-chain buffer or wrapped caller memory. */
typedef struct {
    void *pBase;
    VEK_UINT32 ui32MemSize;
    VEK_UINT32 ui32DevAddr;
    unsigned long ulFlags;
    VEK_HANDLE hPrivateData;
    VEK_HANDLE hPrivateMapData;
} ZOL2DMEMINFO;

typedef struct {
    unsigned long ulMaxFlipChains;
    unsigned long ulMaxBuffersInChain;
    ZOL2DFORMAT eFormat;
    unsigned long ulWidth;
    unsigned long ulHeight;
    long lStride;
    unsigned long ulMinFlipInterval;
    unsigned long ulMaxFlipInterval;
} ZOL2DDISPLAYINFO;

typedef struct {
    unsigned long ulPhysicalWidthmm;
    unsigned long ulPhysicalHeightmm;
    unsigned long aulUnused[10];
} ZOL2DMISCDISPLAYINFO;

/* The context record that a context handle points at. */
typedef struct ZOL2DCONTEXT_TAG {
    const ZOLSRV_CONNECTION *psServices;
    ZOLSRV_DEV_DATA sDevData;
    VEK_HANDLE hDisplayClassDevice;
    ZOLSRV_MISC_INFO sMiscInfo;
    unsigned long ulDevID;
    VEK_HANDLE hPrivate;
} ZOL2DCONTEXT;

typedef ZOL2DCONTEXT *ZOL2DCONTEXTHANDLE;

/* The flip-chain record that a flip-chain handle points at. */
typedef struct ZOL2D_FLIPCHAIN_TAG {
    VEK_HANDLE hDCSwapChain;
    VEK_UINT32 ui32SwapInterval;
    unsigned long ulFlipChainID;
    VEK_HANDLE hPrivate;
} ZOL2D_FLIPCHAIN;

typedef ZOL2D_FLIPCHAIN *ZOL2DFLIPCHAINHANDLE;

/* With a NULL list: the number of devices. With a list of that many: fills it, ZOL2D_OK. */
int ZOL2DEnumerateDevices(ZOL2DDEVICEINFO *pDevInfo);
ZOL2DERROR ZOL2DCreateDeviceContext(unsigned long ulDevID, ZOL2DCONTEXTHANDLE *phContext, unsigned long ulFlags);
ZOL2DERROR ZOL2DDestroyDeviceContext(ZOL2DCONTEXTHANDLE hContext);
ZOL2DERROR ZOL2DGetDeviceInfo(ZOL2DCONTEXTHANDLE hContext, ZOL2DDISPLAYINFO *psDisplayInfo);
ZOL2DERROR ZOL2DGetMiscDisplayInfo(ZOL2DCONTEXTHANDLE hContext, ZOL2DMISCDISPLAYINFO *psMiscDisplayInfo);

ZOL2DERROR ZOL2DCreateFlipChain(ZOL2DCONTEXTHANDLE hContext, unsigned long ulFlags, unsigned long ulNumBuffers,
                                unsigned long ulWidth, unsigned long ulHeight, ZOL2DFORMAT eFormat, long *plStride,
                                unsigned long *pulFlipChainID, ZOL2DFLIPCHAINHANDLE *phFlipChain);
ZOL2DERROR ZOL2DDestroyFlipChain(ZOL2DCONTEXTHANDLE hContext, ZOL2DFLIPCHAINHANDLE hFlipChain);
ZOL2DERROR ZOL2DGetFlipChainBuffers(ZOL2DCONTEXTHANDLE hContext, ZOL2DFLIPCHAINHANDLE hFlipChain,
                                    unsigned long *pulBufferCount, ZOL2DMEMINFO **apsMemInfo);

/* The swap-interval property of ZOL2DSetPresentFlipProperties. */
#define ZOL2D_PRESENT_PROPERTY_INTERVAL 0x10UL

/* Shows a buffer of the flip chain. */
ZOL2DERROR ZOL2DPresentFlip(ZOL2DCONTEXTHANDLE hContext, ZOL2DFLIPCHAINHANDLE hFlipChain, ZOL2DMEMINFO *psMemInfo,
                            long lRenderID);
/* Copies a buffer to the screen. */
ZOL2DERROR ZOL2DPresentBlt(ZOL2DCONTEXTHANDLE hContext, ZOL2DMEMINFO *psMemInfo, long lRenderID);
/* Sets the flip chain's present properties named in ulPropertyMask. */
ZOL2DERROR ZOL2DSetPresentFlipProperties(ZOL2DCONTEXTHANDLE hContext, ZOL2DFLIPCHAINHANDLE hFlipChain,
                                         unsigned long ulPropertyMask, long lDstXPos, long lDstYPos,
                                         unsigned long ulNumClipRects, void *psClipRects, unsigned long ulSwapInterval);

ZOL2DERROR ZOL2DMemFree(ZOL2DCONTEXTHANDLE hContext, ZOL2DMEMINFO *psMemInfo);

/* Caller memory as 2D memory: the address, flags 0, the size in bytes and an optional list of
   page addresses. Freed with ZOL2DMemFree. */
ZOL2DERROR ZOL2DMemWrap(ZOL2DCONTEXTHANDLE hContext, void *pMem, unsigned long ulFlags, unsigned long ulSize,
                        VEK_SYS_PHYADDR *psPageAddrs, ZOL2DMEMINFO **ppsMemInfo);

/* ---- 3D blits ---- */

/* Surface formats of the blitter (ZOL2D_SURFACE.Format). */
#define ZOL2D_BLT_FORMAT_RGB565 0x80000001UL
#define ZOL2D_BLT_FORMAT_ARGB8888 0x80000014UL
#define ZOL2D_BLT_FORMAT_ABGR8888 0x80000015UL
#define ZOL2D_BLT_FORMAT_NV12 0x80000040UL

typedef struct {
    long left;
    long top;
    long right;
    long bottom;
} ZOL2DRECT;

typedef struct {
    ZOL2DMEMINFO *pSurfMemInfo;
    VEK_UINT32 SurfOffset;
    long Stride; /* bytes */
    ZOL2DFORMAT Format;
    VEK_UINT32 SurfWidth;
    VEK_UINT32 SurfHeight;
} ZOL2D_SURFACE;

/* The further planes of a planar surface, as byte offsets from its first plane's device address. */
typedef struct {
    VEK_UINT32 uChromaPlane1;
    VEK_UINT32 uChromaPlane2;
    VEK_UINT32 Reserved[2];
} ZOL2D_SURFACE_EXT;

typedef struct {
    ZOL2D_SURFACE sDst;
    ZOL2DRECT rcDest;
    ZOL2D_SURFACE sSrc;
    ZOL2DRECT rcSource;
    ZOL2D_SURFACE *pSrc2;
    ZOL2DRECT *prcSource2;
    VEK_HANDLE hUseCode;
    VEK_UINT32 UseParams[2];
    VEK_UINT32 uiNumTemporaryRegisters;
    VEK_BOOL bDisableDestInput;
    ZOL2D_SURFACE_EXT *pSrcExt;
    ZOL2D_SURFACE_EXT *pDstExt;
    VEK_UINT32 Reserved[4];
} ZOL2D_3DBLT_EXT;

/* Submits a blit; the destination is written by the time the blits on it are complete. */
ZOL2DERROR ZOL2DBlt3DExt(ZOL2DCONTEXTHANDLE hContext, const ZOL2D_3DBLT_EXT *psBlt);

#define ZOL2D_QUERY_WAIT 1UL
/* With ZOL2D_QUERY_WAIT: returns once every blit submitted on the destination memory is complete. */
ZOL2DERROR ZOL2DQueryBlitsComplete(ZOL2DCONTEXTHANDLE hContext, const ZOL2DMEMINFO *psMemInfo, unsigned long ulFlags);

#ifdef __cplusplus
}
#endif

#endif
