/* The private interface table of the vendor's OpenGL ES 1 driver library, which its glGetString
   hands out for the name VEK_GLES1_INTERFACE_QUERY. */
#ifndef GLES1_INTERFACE_H
#define GLES1_INTERFACE_H

#include "vek_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t VEK_UINT8;

typedef VEK_UINT8 *(*VEK_PFN_GLGETSTRING)(int name);

/* The driver's result code. */
typedef VEK_UINT32 VEK_EGLERROR;
#define VEK_EGL_NO_ERROR 0

/* Not a standard string name: the driver answers it with its interface table. */
#define VEK_GLES1_INTERFACE_QUERY 0x6500
#define VEK_GLES1_INTERFACE_VERSION 3

typedef VEK_VOID (*VEK_PFN_GLES_OPAQUE)(VEK_VOID);

typedef struct {
    VEK_UINT32 ui32APIVersion;
    VEK_PFN_GLES_OPAQUE pfnGLESGetProcAddress;
    VEK_PFN_GLES_OPAQUE pfnGLESCreateGC;
    VEK_PFN_GLES_OPAQUE pfnGLESDestroyGC;
    VEK_PFN_GLES_OPAQUE pfnGLESMakeCurrentGC;
    VEK_PFN_GLES_OPAQUE pfnGLESMakeUnCurrentGC;
    VEK_PFN_GLES_OPAQUE pfnGLESFlushBuffersGC;
    VEK_PFN_GLES_OPAQUE pfnGLESBindTexImage;
    VEK_PFN_GLES_OPAQUE pfnGLESReleaseTexImage;
    VEK_PFN_GLES_OPAQUE pfnGLESGetImageSource;
    VEK_PFN_GLES_OPAQUE pfnGLESMarkRenderSurfaceAsInvalid;
    VEK_EGLERROR (*pfnGLESFlushBuffersGCNoContext)(VEK_BOOL, VEK_BOOL);
} VEK_OGLES1EGL_Interface;

#ifdef __cplusplus
}
#endif

#if defined(__cplusplus) && defined(__arm__)
#include <stddef.h>
static_assert(sizeof(VEK_OGLES1EGL_Interface) == 48, "GLES1 interface table");
static_assert(offsetof(VEK_OGLES1EGL_Interface, pfnGLESFlushBuffersGC) == 24, "pfnGLESFlushBuffersGC");
static_assert(offsetof(VEK_OGLES1EGL_Interface, pfnGLESFlushBuffersGCNoContext) == 44,
              "pfnGLESFlushBuffersGCNoContext");
#endif

#endif
