#include "interpose.h"

#include <cutils/native_handle.h>
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>

namespace {
std::atomic<unsigned> guiHandleFailAt{0}, guiHandleCalls{0};
std::atomic<unsigned> guiThreadFailAt{0}, guiThreadCalls{0};
std::atomic<int> giThreadErr{0};
std::atomic<unsigned> guiThreadFailsLeft{0};

/* True when this call is the armed one. */
bool Fires(std::atomic<unsigned> &uiFailAt, std::atomic<unsigned> &uiCalls) {
    unsigned uiCall = ++uiCalls;
    unsigned uiAt = uiFailAt.load();
    if (uiAt != 0 && uiCall == uiAt) {
        uiFailAt = 0;
        return true;
    }
    return false;
}
}  // namespace

void FailNativeHandleCreate(unsigned uiNth) { guiHandleFailAt = guiHandleCalls + uiNth; }
unsigned NativeHandleCreateCalls() { return guiHandleCalls; }
void FailPthreadCreate(unsigned uiNth, int iErr, unsigned uiTimes) {
    giThreadErr = iErr;
    guiThreadFailsLeft = uiTimes;
    guiThreadFailAt = guiThreadCalls + uiNth;
}
unsigned PthreadCreateCalls() { return guiThreadCalls; }

/* The executable's definitions come first in the lookup order, ahead of the libraries'. */
extern "C" native_handle_t *native_handle_create(int numFds, int numInts) {
    using Fn = native_handle_t *(*)(int, int);
    static Fn pfnReal = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "native_handle_create"));
    if (Fires(guiHandleFailAt, guiHandleCalls)) return nullptr;
    return pfnReal(numFds, numInts);
}

extern "C" int pthread_create(pthread_t *psThread, const pthread_attr_t *psAttr, void *(*pfnStart)(void *),
                              void *pvArg) {
    using Fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static Fn pfnReal = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "pthread_create"));
    if (Fires(guiThreadFailAt, guiThreadCalls)) {
        /* The calls after it fail too, as many times as asked. */
        if (--guiThreadFailsLeft != 0) guiThreadFailAt = guiThreadCalls + 1;
        return giThreadErr;
    }
    return pfnReal(psThread, psAttr, pfnStart, pvArg);
}
