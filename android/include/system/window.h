/* The part of Android 4.0's system/window.h that gralloc needs. */
#ifndef SYSTEM_CORE_INCLUDE_ANDROID_WINDOW_H
#define SYSTEM_CORE_INCLUDE_ANDROID_WINDOW_H

#include <cutils/native_handle.h>

typedef const native_handle_t *buffer_handle_t;

#endif
