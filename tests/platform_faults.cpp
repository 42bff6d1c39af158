#include "platform_faults.h"

#include <cutils/native_handle.h>
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <string.h>

#include <atomic>

extern "C" void *__libc_malloc(size_t uSize);
extern "C" void *__libc_calloc(size_t uCount, size_t uSize);

const char *const gapszPlatformFunctions[] = {"malloc", "calloc", "native_handle_create"};
const unsigned guiNumPlatformFunctions = 3;

namespace {

struct Counter {
    std::atomic<unsigned> uiCalls{0}, uiFailAt{0};
};
Counter gasCounters[3];

/* dladdr may allocate on its first use; that allocation must not come back here. */
thread_local bool tbInside = false;

int IndexOf(const char *pszFunction) {
    for (unsigned i = 0; i < guiNumPlatformFunctions; i++)
        if (strcmp(gapszPlatformFunctions[i], pszFunction) == 0) return (int)i;
    return -1;
}

/* The module is the library the loader found in a hw directory as gralloc.<board>.so. */
bool CalledByModule(const void *pvReturnAddress) {
    if (tbInside) return false;
    tbInside = true;
    Dl_info sInfo;
    bool bModule = dladdr(pvReturnAddress, &sInfo) != 0 && sInfo.dli_fname != nullptr &&
                   strstr(sInfo.dli_fname, "/hw/gralloc.") != nullptr;
    tbInside = false;
    return bModule;
}

/* Counts a call of the module and tells whether it is the armed one. */
bool Fires(int iIndex, const void *pvReturnAddress) {
    if (!CalledByModule(pvReturnAddress)) return false;
    Counter &sCounter = gasCounters[iIndex];
    unsigned uiCall = ++sCounter.uiCalls;
    return uiCall == sCounter.uiFailAt.load();
}

}  // namespace

void PlatformFaultsReset(void) {
    for (Counter &s : gasCounters) {
        s.uiCalls = 0;
        s.uiFailAt = 0;
    }
}

void PlatformFaultArm(const char *pszFunction, unsigned uiNth) {
    int i = IndexOf(pszFunction);
    if (i >= 0) gasCounters[i].uiFailAt = uiNth;
}

unsigned PlatformCalls(const char *pszFunction) {
    int i = IndexOf(pszFunction);
    return i >= 0 ? gasCounters[i].uiCalls.load() : 0;
}

/* The executable's definitions come first in the lookup order, ahead of the libraries'. */
extern "C" void *malloc(size_t uSize) {
    if (Fires(0, __builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(uSize);
}

extern "C" void *calloc(size_t uCount, size_t uSize) {
    if (Fires(1, __builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_calloc(uCount, uSize);
}

extern "C" native_handle_t *native_handle_create(int numFds, int numInts) {
    using Fn = native_handle_t *(*)(int, int);
    static Fn pfnReal = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "native_handle_create"));
    if (Fires(2, __builtin_return_address(0))) return nullptr;
    return pfnReal(numFds, numInts);
}
