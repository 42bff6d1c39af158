/* Android 4.0 gralloc module ABI (libhardware's gralloc.h). */
#ifndef ANDROID_GRALLOC_INTERFACE_H
#define ANDROID_GRALLOC_INTERFACE_H

#include <hardware/hardware.h>
#include <system/graphics.h>
#include <system/window.h>

#ifdef __cplusplus
extern "C" {
#endif

#define GRALLOC_API_VERSION 1

#define GRALLOC_HARDWARE_MODULE_ID "gralloc"
#define GRALLOC_HARDWARE_GPU0 "gpu0"

enum {
    GRALLOC_USAGE_SW_READ_NEVER = 0x00000000,
    GRALLOC_USAGE_SW_READ_RARELY = 0x00000002,
    GRALLOC_USAGE_SW_READ_OFTEN = 0x00000003,
    GRALLOC_USAGE_SW_READ_MASK = 0x0000000F,
    GRALLOC_USAGE_SW_WRITE_NEVER = 0x00000000,
    GRALLOC_USAGE_SW_WRITE_RARELY = 0x00000020,
    GRALLOC_USAGE_SW_WRITE_OFTEN = 0x00000030,
    GRALLOC_USAGE_SW_WRITE_MASK = 0x000000F0,
    GRALLOC_USAGE_HW_TEXTURE = 0x00000100,
    GRALLOC_USAGE_HW_RENDER = 0x00000200,
    GRALLOC_USAGE_HW_2D = 0x00000400,
    GRALLOC_USAGE_HW_COMPOSER = 0x00000800,
    GRALLOC_USAGE_HW_FB = 0x00001000,
    GRALLOC_USAGE_EXTERNAL_DISP = 0x00002000,
    GRALLOC_USAGE_PROTECTED = 0x00004000,
    GRALLOC_USAGE_HW_VIDEO_ENCODER = 0x00010000,
    GRALLOC_USAGE_HW_MASK = 0x00011F00,
    GRALLOC_USAGE_PRIVATE_0 = 0x10000000,
    GRALLOC_USAGE_PRIVATE_1 = 0x20000000,
    GRALLOC_USAGE_PRIVATE_2 = 0x40000000,
    GRALLOC_USAGE_PRIVATE_3 = (int)0x80000000,
    GRALLOC_USAGE_PRIVATE_MASK = (int)0xF0000000,
};

typedef struct gralloc_module_t {
    struct hw_module_t common;
    int (*registerBuffer)(struct gralloc_module_t const *module, buffer_handle_t handle);
    int (*unregisterBuffer)(struct gralloc_module_t const *module, buffer_handle_t handle);
    int (*lock)(struct gralloc_module_t const *module, buffer_handle_t handle, int usage, int l, int t, int w, int h,
                void **vaddr);
    int (*unlock)(struct gralloc_module_t const *module, buffer_handle_t handle);
    /* Reserved for future use. */
    int (*perform)(struct gralloc_module_t const *module, int operation, ...);
    void *reserved_proc[7];
} gralloc_module_t;

typedef struct alloc_device_t {
    struct hw_device_t common;
    int (*alloc)(struct alloc_device_t *dev, int w, int h, int format, int usage, buffer_handle_t *handle, int *stride);
    int (*free)(struct alloc_device_t *dev, buffer_handle_t handle);
    void (*dump)(struct alloc_device_t *dev, char *buff, int buff_len);
    void *reserved_proc[7];
} alloc_device_t;

static inline int gralloc_open(const struct hw_module_t *module, struct alloc_device_t **device) {
    return module->methods->open(module, GRALLOC_HARDWARE_GPU0, (struct hw_device_t **)device);
}

static inline int gralloc_close(struct alloc_device_t *device) { return device->common.close(&device->common); }

#ifdef __cplusplus
}
#endif

#if defined(__cplusplus) && defined(__arm__)
#include <stddef.h>
static_assert(sizeof(gralloc_module_t) == 176, "gralloc_module_t");
static_assert(offsetof(gralloc_module_t, registerBuffer) == 128, "registerBuffer");
static_assert(offsetof(gralloc_module_t, unregisterBuffer) == 132, "unregisterBuffer");
static_assert(offsetof(gralloc_module_t, lock) == 136 && offsetof(gralloc_module_t, unlock) == 140, "lock, unlock");
static_assert(offsetof(gralloc_module_t, perform) == 144 && offsetof(gralloc_module_t, reserved_proc) == 148,
              "perform");
static_assert(sizeof(alloc_device_t) == 104, "alloc_device_t");
static_assert(offsetof(alloc_device_t, alloc) == 64 && offsetof(alloc_device_t, free) == 68, "alloc, free");
static_assert(offsetof(alloc_device_t, dump) == 72 && offsetof(alloc_device_t, reserved_proc) == 76, "dump");
#endif

#endif
