/* The records that this module shares with other processes and with the vendor's other
   drivers: their layouts are contracts, fixed for 32-bit ARM. */
#ifndef HAL_PUBLIC_H
#define HAL_PUBLIC_H

#include <hardware/fb.h>
#include <hardware/gralloc.h>

#include "zolsrv.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VEK_NATIVE_HANDLE_NUM_FDS_MAX 3
/* The ten words behind the native-handle header: three descriptors, the stamp, usage,
   width, height, format and bits per pixel. */
#define VEK_NATIVE_HANDLE_NUM_WORDS 10

/* The stamp of a buffer handle is 4-byte aligned on the device, so the handle does not round
   up to 56 bytes. */
typedef VEK_UINT64 VEK_UINT64_ALIGN4 __attribute__((aligned(4)));

/* A buffer handle. */
typedef struct {
    native_handle_t base;
    int fd[VEK_NATIVE_HANDLE_NUM_FDS_MAX];
    VEK_UINT64_ALIGN4 ui64Stamp;
    int usage;
    int iWidth;
    int iHeight;
    int iFormat;
    unsigned int uiBpp;
} VEK_native_handle_t;

/* Rectangle of the last write lock. */
typedef struct {
    int l, t, w, h;
} VEK_write_lock_rect_t;

typedef struct VEK_buffer_format_public_t VEK_buffer_format_public_t;

struct VEK_buffer_format_public_t {
    VEK_buffer_format_public_t *psNext;
    int iHalPixelFormat;
    int iZIRVAPixelFormat;
    const char *szName;
    unsigned int uiBpp;
    int bGPURenderable;
};

typedef struct VEK_framebuffer_device_public_t {
    framebuffer_device_t base;
    /* Set by the user of the device: post keeps the buffer for the next Post2. */
    int bBypassPost;
    int (*Post2)(framebuffer_device_t *fb, buffer_handle_t *buffers, int num_buffers, void *data, int data_length);
} VEK_framebuffer_device_public_t;

typedef struct VEK_gralloc_module_public_t {
    gralloc_module_t base;
    VEK_framebuffer_device_public_t *psFrameBufferDevice;
    int (*GetPhyAddrs)(const struct VEK_gralloc_module_public_t *module, buffer_handle_t handle,
                       unsigned int *auiPhyAddr);
    int (*Blit)(const struct VEK_gralloc_module_public_t *module, buffer_handle_t src, void **dest, int format);
    int (*Blit2)(const struct VEK_gralloc_module_public_t *module, buffer_handle_t src, buffer_handle_t dest, int w,
                 int h, int x, int y);
} VEK_gralloc_module_public_t;

#ifdef __cplusplus
}
#endif

#if defined(__cplusplus) && defined(__arm__)
#include <stddef.h>
static_assert(sizeof(VEK_native_handle_t) == 52, "buffer handle");
static_assert(offsetof(VEK_native_handle_t, fd) == 12, "buffer handle fd");
static_assert(offsetof(VEK_native_handle_t, ui64Stamp) == 24, "buffer handle stamp");
static_assert(offsetof(VEK_native_handle_t, usage) == 32, "buffer handle usage");
static_assert(offsetof(VEK_native_handle_t, iWidth) == 36, "buffer handle width");
static_assert(offsetof(VEK_native_handle_t, iHeight) == 40, "buffer handle height");
static_assert(offsetof(VEK_native_handle_t, iFormat) == 44, "buffer handle format");
static_assert(offsetof(VEK_native_handle_t, uiBpp) == 48, "buffer handle bpp");
static_assert(sizeof(VEK_write_lock_rect_t) == 16, "write-lock rectangle");
static_assert(sizeof(VEK_buffer_format_public_t) == 24, "public format record");
static_assert(offsetof(VEK_buffer_format_public_t, iHalPixelFormat) == 4, "format iHalPixelFormat");
static_assert(offsetof(VEK_buffer_format_public_t, iZIRVAPixelFormat) == 8, "format iZIRVAPixelFormat");
static_assert(offsetof(VEK_buffer_format_public_t, szName) == 12, "format szName");
static_assert(offsetof(VEK_buffer_format_public_t, uiBpp) == 16, "format uiBpp");
static_assert(offsetof(VEK_buffer_format_public_t, bGPURenderable) == 20, "format bGPURenderable");
static_assert(sizeof(VEK_framebuffer_device_public_t) == 192, "public framebuffer record");
static_assert(offsetof(VEK_framebuffer_device_public_t, bBypassPost) == 184, "bBypassPost");
static_assert(offsetof(VEK_framebuffer_device_public_t, Post2) == 188, "Post2");
static_assert(sizeof(VEK_gralloc_module_public_t) == 192, "public module record");
static_assert(offsetof(VEK_gralloc_module_public_t, psFrameBufferDevice) == 176, "psFrameBufferDevice");
static_assert(offsetof(VEK_gralloc_module_public_t, GetPhyAddrs) == 180, "GetPhyAddrs");
static_assert(offsetof(VEK_gralloc_module_public_t, Blit) == 184, "Blit");
static_assert(offsetof(VEK_gralloc_module_public_t, Blit2) == 188, "Blit2");
#endif

#endif
