// The GLES1 driver stand-in: the private interface table that its glGetString hands out, and a
// flush that is counted and answers what the test asked for. Its configuration lives in libzolsrv,
// so a test sets it up before the module loads this library.
#include "gles1_interface.h"
#include "zolsim_internal.h"

namespace {

VEK_EGLERROR FlushBuffersGCNoContext(VEK_BOOL b1, VEK_BOOL b2) {
    ZOLSIM_ENTER("pfnGLESFlushBuffersGCNoContext", VEK_EGLERROR);
    zolsim_internal_gles1_flushed(b1, b2);
    VEK_UINT32 ui32Version, ui32FlushResult;
    int bTableNull, bFlushMissing;
    zolsim_internal_gles1_config(&ui32Version, &bTableNull, &bFlushMissing, &ui32FlushResult);
    return ui32FlushResult;
}

// The other entries are never called through this table by the graphics HAL.
void NotImplemented(void) {}

VEK_OGLES1EGL_Interface g_interface;

}  // namespace

extern "C" __attribute__((visibility("default"))) const VEK_UINT8 *glGetString(int name) {
    int iFaultCode;
    // A fault makes the query find no table.
    if (zolsim_internal_enter("glGetString", &iFaultCode)) return nullptr;
    if (name != VEK_GLES1_INTERFACE_QUERY) return nullptr;
    VEK_UINT32 ui32Version, ui32FlushResult;
    int bTableNull, bFlushMissing;
    zolsim_internal_gles1_config(&ui32Version, &bTableNull, &bFlushMissing, &ui32FlushResult);
    if (bTableNull) return nullptr;
    g_interface.ui32APIVersion = ui32Version;
    g_interface.pfnGLESGetProcAddress = NotImplemented;
    g_interface.pfnGLESCreateGC = NotImplemented;
    g_interface.pfnGLESDestroyGC = NotImplemented;
    g_interface.pfnGLESMakeCurrentGC = NotImplemented;
    g_interface.pfnGLESMakeUnCurrentGC = NotImplemented;
    g_interface.pfnGLESFlushBuffersGC = NotImplemented;
    g_interface.pfnGLESBindTexImage = NotImplemented;
    g_interface.pfnGLESReleaseTexImage = NotImplemented;
    g_interface.pfnGLESGetImageSource = NotImplemented;
    g_interface.pfnGLESMarkRenderSurfaceAsInvalid = NotImplemented;
    g_interface.pfnGLESFlushBuffersGCNoContext = bFlushMissing ? nullptr : FlushBuffersGCNoContext;
    return reinterpret_cast<const VEK_UINT8 *>(&g_interface);
}
