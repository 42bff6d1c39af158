/* Android 4.0 framebuffer device ABI (libhardware's fb.h). */
#ifndef ANDROID_FB_INTERFACE_H
#define ANDROID_FB_INTERFACE_H

#include <hardware/hardware.h>
#include <system/window.h>

#ifdef __cplusplus
extern "C" {
#endif

#define GRALLOC_HARDWARE_FB0 "fb0"

typedef struct framebuffer_device_t {
    struct hw_device_t common;
    const uint32_t flags;
    const uint32_t width;
    const uint32_t height;
    const int stride;
    const int format;
    const float xdpi;
    const float ydpi;
    const float fps;
    const int minSwapInterval;
    const int maxSwapInterval;
    int reserved[8];
    int (*setSwapInterval)(struct framebuffer_device_t *window, int interval);
    int (*setUpdateRect)(struct framebuffer_device_t *window, int left, int top, int width, int height);
    int (*post)(struct framebuffer_device_t *dev, buffer_handle_t buffer);
    int (*compositionComplete)(struct framebuffer_device_t *dev);
    void (*dump)(struct framebuffer_device_t *dev, char *buff, int buff_len);
    int (*enableScreen)(struct framebuffer_device_t *dev, int enable);
    void *reserved_proc[6];
} framebuffer_device_t;

static inline int framebuffer_open(const struct hw_module_t *module, struct framebuffer_device_t **device) {
    return module->methods->open(module, GRALLOC_HARDWARE_FB0, (struct hw_device_t **)device);
}

static inline int framebuffer_close(struct framebuffer_device_t *device) {
    return device->common.close(&device->common);
}

#ifdef __cplusplus
}
#endif

#if defined(__cplusplus) && defined(__arm__)
#include <stddef.h>
static_assert(sizeof(framebuffer_device_t) == 184, "framebuffer_device_t");
static_assert(offsetof(framebuffer_device_t, flags) == 64 && offsetof(framebuffer_device_t, width) == 68, "flags");
static_assert(offsetof(framebuffer_device_t, height) == 72 && offsetof(framebuffer_device_t, stride) == 76, "height");
static_assert(offsetof(framebuffer_device_t, format) == 80 && offsetof(framebuffer_device_t, xdpi) == 84, "format");
static_assert(offsetof(framebuffer_device_t, ydpi) == 88 && offsetof(framebuffer_device_t, fps) == 92, "ydpi, fps");
static_assert(offsetof(framebuffer_device_t, minSwapInterval) == 96, "minSwapInterval");
static_assert(offsetof(framebuffer_device_t, maxSwapInterval) == 100, "maxSwapInterval");
static_assert(offsetof(framebuffer_device_t, reserved) == 104, "reserved");
static_assert(offsetof(framebuffer_device_t, setSwapInterval) == 136, "setSwapInterval");
static_assert(offsetof(framebuffer_device_t, setUpdateRect) == 140, "setUpdateRect");
static_assert(offsetof(framebuffer_device_t, post) == 144, "post");
static_assert(offsetof(framebuffer_device_t, compositionComplete) == 148, "compositionComplete");
static_assert(offsetof(framebuffer_device_t, dump) == 152 && offsetof(framebuffer_device_t, enableScreen) == 156,
              "dump");
static_assert(offsetof(framebuffer_device_t, reserved_proc) == 160, "reserved_proc");
#endif

#endif
