// Mutexes and app hints.
#include "zolsrv_state.h"

using namespace zolsim;

namespace {

bool MutexValid(ZOLSRV_MUTEX_HANDLE hMutex) {
    return hMutex != nullptr && __atomic_load_n(&hMutex->ui32Magic, __ATOMIC_RELAXED) == kMutexMagic;
}

}  // namespace

extern "C" {

ZOLSRV_ERROR ZOLSRVCreateMutex(ZOLSRV_MUTEX_HANDLE *phMutex) {
    ENTER("ZOLSRVCreateMutex");
    if (phMutex == nullptr) return MISUSE("ZOLSRVCreateMutex", "no mutex handle to fill");
    ZOLSRV_MUTEX_HANDLE h = new ZOLSRV_MUTEX_TAG;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&h->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    h->ulOwner = 0;
    h->ui32Magic = kMutexMagic;
    {
        WriteGuard g(g_mu);
        S().uiLiveMutexes++;
        S().mutexes.push_back(h);
    }
    *phMutex = h;
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVDestroyMutex(ZOLSRV_MUTEX_HANDLE hMutex) {
    ENTER("ZOLSRVDestroyMutex");
    if (!MutexValid(hMutex))
        return MISUSE("ZOLSRVDestroyMutex", "mutex %p was never made or is already destroyed", (void *)hMutex);
    // A held mutex is found by its owner, before the destruction is tried: the race detector
    // takes the destruction of a held mutex for an error of its own.
    if (__atomic_load_n(&hMutex->ulOwner, __ATOMIC_RELAXED) != 0 || pthread_mutex_destroy(&hMutex->mutex) != 0)
        return MISUSE("ZOLSRVDestroyMutex", "mutex %p is still held", (void *)hMutex);
    {
        WriteGuard g(g_mu);
        S().uiLiveMutexes--;
        Erase(S().mutexes, hMutex);
    }
    __atomic_store_n(&hMutex->ui32Magic, 0u, __ATOMIC_RELAXED);
    delete hMutex;
    return ZOLSRV_OK;
}

// A lock or unlock that the real library would hang or crash on is recorded and not made. A failed
// lock leaves the mutex as it was (not taken), a failed unlock too (still held).
ZOLSRV_ERROR ZOLSRVLockMutex(ZOLSRV_MUTEX_HANDLE hMutex) {
    ENTER("ZOLSRVLockMutex");
    if (!MutexValid(hMutex)) {
        zolsim_internal_misuse("ZOLSRVLockMutex", "mutex %p was never made or is already destroyed", (void *)hMutex);
        return ZOLSRV_ERROR_INVALID_PARAMS;
    }
    // Only the holder writes its own id here, so a thread finds its own recursion without asking
    // the mutex (which would hang under the race detector).
    if (__atomic_load_n(&hMutex->ulOwner, __ATOMIC_RELAXED) == (unsigned long)pthread_self()) {
        zolsim_internal_misuse("ZOLSRVLockMutex", "this thread already holds mutex %p (it is not recursive)",
                               (void *)hMutex);
        return ZOLSRV_ERROR_GENERIC;
    }
    int rc = pthread_mutex_lock(&hMutex->mutex);
    if (rc != 0) {
        fprintf(stderr, "zolsim: ZOLSRVLockMutex failed: %s\n", strerror(rc));
        abort();
    }
    __atomic_store_n(&hMutex->ulOwner, (unsigned long)pthread_self(), __ATOMIC_RELAXED);
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVUnlockMutex(ZOLSRV_MUTEX_HANDLE hMutex) {
    ENTER("ZOLSRVUnlockMutex");
    if (!MutexValid(hMutex)) {
        zolsim_internal_misuse("ZOLSRVUnlockMutex", "mutex %p was never made or is already destroyed", (void *)hMutex);
        return ZOLSRV_ERROR_INVALID_PARAMS;
    }
    if (__atomic_load_n(&hMutex->ulOwner, __ATOMIC_RELAXED) != (unsigned long)pthread_self()) {
        zolsim_internal_misuse("ZOLSRVUnlockMutex", "this thread does not hold mutex %p", (void *)hMutex);
        return ZOLSRV_ERROR_GENERIC;
    }
    __atomic_store_n(&hMutex->ulOwner, 0UL, __ATOMIC_RELAXED);
    int rc = pthread_mutex_unlock(&hMutex->mutex);
    if (rc != 0) {
        fprintf(stderr, "zolsim: ZOLSRVUnlockMutex failed: %s\n", strerror(rc));
        abort();
    }
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVCreateAppHintState(VEK_UINT32 eModuleID, const char *pszAppName, VEK_VOID **ppvState) {
    (void)pszAppName;
    ENTER("ZOLSRVCreateAppHintState");
    if (ppvState == nullptr) {
        zolsim_internal_misuse("ZOLSRVCreateAppHintState", "no state to fill");
        return ZOLSRV_ERROR_INVALID_PARAMS;
    }
    if (eModuleID != VEK_ANDROID_HAL) {
        zolsim_internal_misuse("ZOLSRVCreateAppHintState", "module %u, expected VEK_ANDROID_HAL (14)", eModuleID);
        *ppvState = nullptr;
        return ZOLSRV_ERROR_INVALID_PARAMS;
    }
    HintState *ps = new HintState{eModuleID};
    *ppvState = ps;
    WriteGuard g(g_mu);
    S().hintStates.push_back(ps);
    S().uiLiveHintStates++;
    return ZOLSRV_OK;
}

/* A hint that is not set is not a failure: the default is the answer. */
ZOLSRV_ERROR ZOLSRVGetAppHint(VEK_VOID *pvHintState, const char *pszHintName, VEK_DATA_TYPE eDataType,
                              const VEK_VOID *pvDefault, VEK_VOID *pvReturn) {
    ENTER("ZOLSRVGetAppHint");
    if (pszHintName == nullptr || pvReturn == nullptr)
        return MISUSE("ZOLSRVGetAppHint", "no hint name or no value to fill");
    // Every hint this library keeps is an unsigned 32-bit value.
    if (eDataType != VEK_UINT_TYPE)
        return MISUSE("ZOLSRVGetAppHint", "hint %s asked as type %d, expected VEK_UINT_TYPE (3)", pszHintName,
                      (int)eDataType);
    {
        ReadGuard g(g_mu);
        if (!Contains(S().hintStates, static_cast<HintState *>(pvHintState)))
            return MISUSE("ZOLSRVGetAppHint", "hint state %p was never made or is already freed", pvHintState);
    }
    State &s = S();
    {
        RecordGuard r;
        if (!s.hintsRead.empty()) s.hintsRead += ',';
        s.hintsRead += pszHintName;
    }
    ReadGuard g(g_mu);
    auto it = s.hints.find(pszHintName);
    if (it != s.hints.end()) {
        memcpy(pvReturn, &it->second, sizeof(VEK_UINT32));
        return ZOLSRV_OK;
    }
    if (pvDefault == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    memcpy(pvReturn, pvDefault, sizeof(VEK_UINT32));
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVFreeAppHintState(VEK_UINT32 eModuleID, VEK_VOID *pvHintState) {
    ENTER("ZOLSRVFreeAppHintState");
    HintState *ps = static_cast<HintState *>(pvHintState);
    {
        WriteGuard g(g_mu);
        if (!Contains(S().hintStates, ps))
            return MISUSE("ZOLSRVFreeAppHintState", "hint state %p was never made or is already freed", pvHintState);
        if (eModuleID != ps->ui32Module)
            return MISUSE("ZOLSRVFreeAppHintState", "module %u, but the state was made for module %u", eModuleID,
                          ps->ui32Module);
        Erase(S().hintStates, ps);
        S().uiLiveHintStates--;
    }
    delete ps;
    return ZOLSRV_OK;
}

void zolsim_set_app_hint(const char *pszName, VEK_UINT32 ui32Value) {
    WriteGuard g(g_mu);
    S().hints[pszName] = ui32Value;
}

void zolsim_clear_app_hints(void) {
    WriteGuard g(g_mu);
    S().hints.clear();
}

const char *zolsim_app_hints_read(void) {
    RecordGuard g;
    return S().hintsRead.c_str();
}

unsigned zolsim_live_mutexes(void) {
    ReadGuard g(g_mu);
    return S().uiLiveMutexes;
}

unsigned zolsim_live_hint_states(void) {
    ReadGuard g(g_mu);
    return S().uiLiveHintStates;
}

}  // extern "C"
