/* The framebuffer device and its display-buffer slots. */
#ifndef FRAMEBUFFER_H
#define FRAMEBUFFER_H

#include "hal_private.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    VEK_framebuffer_device_public_t base;
    VEK_UINT32 ui32NumBuffers;
} VEK_framebuffer_device_t;

typedef struct _VEK_raw_framebuffer_device_ {
    VEK_framebuffer_device_t base;
    ZOL2DFLIPCHAINHANDLE hFlipChain;
    ZOLSRV_CLIENT_MEM_INFO *psLastPostedFrameBuffer;
    VEK_UINT32 ui32AllocMask;
    VEK_native_handle_t **ppsBufferHandles;
    /* Post2 calls inside their swap loop, which runs without the module mutex: while one is
       there, close must leave the device and its flip chain alone. */
    VEK_UINT32 ui32SwapsInFlight;
    /* The present mode of the hints read for this device's open. */
    VEK_HAL_PRESENT_MODE_T ePresentMode;
    /* The device opened before this one and still open: the allocator's display once this one
       closes. */
    struct _VEK_raw_framebuffer_device_ *psOlder;
    /* The chain's buffers as the 2D library listed them, and what close gives back. */
    struct _VEK_display_chain_ *psChain;
} VEK_raw_framebuffer_device_t;

int framebuffer_device_open(hw_device_t *device);
int framebuffer_device_close(hw_device_t *device);

/* Called by the allocator device with the module mutex held. */
int framebuffer_device_alloc(framebuffer_device_t *fb, int w, int h, int format, int usage,
                             VEK_native_handle_t **ppsNativeHandle, int *stride);
int framebuffer_device_free(framebuffer_device_t *fb, VEK_native_handle_t *psNativeHandle);
/* Deletes the handle when a closed device had handed it out and its free had not come yet. */
VEK_BOOL FreeHandleOfAClosedDisplay(VEK_native_handle_t *psNativeHandle);

/* The display slots. */
int post(framebuffer_device_t *fb, buffer_handle_t buffer);
int setSwapInterval(framebuffer_device_t *fb, int interval);
int Post2(framebuffer_device_t *fb, buffer_handle_t *buffers, int num_buffers, void *data, int data_length);
int compositionComplete(framebuffer_device_t *fb);

/* Set once the GLES1 driver could not be reached or failed a flush. */
extern VEK_BOOL gbForeignGLES;

#ifdef __cplusplus
}
#endif

#endif
