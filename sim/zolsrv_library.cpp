// Library loading, the memory copy and the GLES1 stand-in's configuration.
#include <dlfcn.h>

#include "zolsrv_state.h"

using namespace zolsim;

#ifndef ZOLSIM_ROOT
#define ZOLSIM_ROOT ""
#endif

namespace {

constexpr char kGLES1Library[] = "/system/vendor/lib/egl/libGLESv1_CM_ZOLCORE_KEVRA_120.so";

// The handles ZOLSRVLoadLibrary gave out and not yet unloaded, once per load.
std::vector<VEK_HANDLE> *g_libraries = new std::vector<VEK_HANDLE>;

bool LibraryLoadedLocked(VEK_HANDLE hLibrary) { return hLibrary != nullptr && Contains(*g_libraries, hLibrary); }

}  // namespace

extern "C" {

void zolsim_internal_gles1_config(VEK_UINT32 *pui32Version, int *pbTableNull, int *pbFlushMissing,
                                  VEK_UINT32 *pui32FlushResult) {
    ReadGuard g(g_mu);
    *pui32Version = S().ui32GLES1Version;
    *pbTableNull = S().bGLES1TableNull ? 1 : 0;
    *pbFlushMissing = S().bGLES1FlushMissing ? 1 : 0;
    *pui32FlushResult = S().ui32GLES1FlushResult;
}

void zolsim_internal_gles1_flushed(VEK_BOOL b1, VEK_BOOL b2) {
    RecordGuard g;
    S().bGLES1Flushed = true;
    S().abGLES1FlushArgs[0] = b1;
    S().abGLES1FlushArgs[1] = b2;
}

/* The library's handle, or NULL: a failure has no code to give. */
VEK_HANDLE ZOLSRVLoadLibrary(const char *pszLibraryName) {
    static ZOLSIM_CALL_SITE sSite = {"ZOLSRVLoadLibrary", 0};
    int iFaultCode;
    if (zolsim_internal_enter_site(&sSite, &iFaultCode)) return nullptr;
    if (pszLibraryName == nullptr) {
        zolsim_internal_misuse("ZOLSRVLoadLibrary", "no library name");
        return nullptr;
    }
    {
        ReadGuard g(g_mu);
        if (S().bGLES1Absent && strcmp(pszLibraryName, kGLES1Library) == 0) return nullptr;
    }
    const char *root = getenv("ZOLSIM_ROOT");
    std::string path = (root != nullptr ? root : ZOLSIM_ROOT);
    path += pszLibraryName;
    void *pvLibrary = dlopen(path.c_str(), RTLD_NOW);
    if (pvLibrary != nullptr) {
        WriteGuard g(g_mu);
        g_libraries->push_back(pvLibrary);
    }
    return pvLibrary;
}

ZOLSRV_ERROR ZOLSRVUnloadLibrary(VEK_HANDLE hLibrary) {
    ENTER("ZOLSRVUnloadLibrary");
    {
        WriteGuard g(g_mu);
        if (!LibraryLoadedLocked(hLibrary))
            return MISUSE("ZOLSRVUnloadLibrary", "library %p was never loaded or is already unloaded", hLibrary);
        Erase(*g_libraries, hLibrary);
    }
    return dlclose(hLibrary) == 0 ? ZOLSRV_OK : ZOLSRV_ERROR_GENERIC;
}

ZOLSRV_ERROR ZOLSRVGetLibFuncAddr(VEK_HANDLE hLibrary, const char *pszFunctionName, VEK_VOID **ppvFuncAddr) {
    ENTER("ZOLSRVGetLibFuncAddr");
    if (pszFunctionName == nullptr || ppvFuncAddr == nullptr)
        return MISUSE("ZOLSRVGetLibFuncAddr", "no symbol name or no place for its address");
    {
        ReadGuard g(g_mu);
        if (!LibraryLoadedLocked(hLibrary))
            return MISUSE("ZOLSRVGetLibFuncAddr", "library %p was never loaded or is already unloaded", hLibrary);
    }
    // A symbol the library does not have is an answer, not a fault.
    void *p = dlsym(hLibrary, pszFunctionName);
    if (p == nullptr) return ZOLSRV_ERROR_GENERIC;
    *ppvFuncAddr = p;
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVMemCopy(VEK_VOID *pvDst, const VEK_VOID *pvSrc, VEK_SIZE_T uiSize) {
    ENTER("ZOLSRVMemCopy");
    if (pvDst == nullptr || pvSrc == nullptr) return MISUSE("ZOLSRVMemCopy", "no memory to copy to or from");
    memcpy(pvDst, pvSrc, uiSize);
    return ZOLSRV_OK;
}

void zolsim_set_gles1_absent(int bAbsent) {
    WriteGuard g(g_mu);
    S().bGLES1Absent = bAbsent != 0;
}

void zolsim_set_gles1_version(VEK_UINT32 ui32Version) {
    WriteGuard g(g_mu);
    S().ui32GLES1Version = ui32Version;
}

void zolsim_set_gles1_table_null(int bNull) {
    WriteGuard g(g_mu);
    S().bGLES1TableNull = bNull != 0;
}

void zolsim_set_gles1_flush_missing(int bMissing) {
    WriteGuard g(g_mu);
    S().bGLES1FlushMissing = bMissing != 0;
}

void zolsim_set_gles1_flush_result(VEK_UINT32 ui32Result) {
    WriteGuard g(g_mu);
    S().ui32GLES1FlushResult = ui32Result;
}

int zolsim_gles1_last_flush(VEK_BOOL *pb1, VEK_BOOL *pb2) {
    RecordGuard g;
    if (!S().bGLES1Flushed) return 0;
    if (pb1 != nullptr) *pb1 = S().abGLES1FlushArgs[0];
    if (pb2 != nullptr) *pb2 = S().abGLES1FlushArgs[1];
    return 1;
}

}  // extern "C"
