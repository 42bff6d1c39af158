// Mutexes and app hints.
#include "zolsrv_state.h"

using namespace zolsim;

extern "C" {

ZOLSRV_ERROR ZOLSRVCreateMutex(ZOLSRV_MUTEX_HANDLE *phMutex) {
    ENTER("ZOLSRVCreateMutex");
    if (phMutex == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    ZOLSRV_MUTEX_HANDLE h = new ZOLSRV_MUTEX_TAG;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&h->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    h->ulOwner = 0;
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
    if (hMutex == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    if (pthread_mutex_destroy(&hMutex->mutex) != 0) {
        fprintf(stderr, "zolsim: ZOLSRVDestroyMutex of a mutex still held\n");
        abort();
    }
    {
        WriteGuard g(g_mu);
        S().uiLiveMutexes--;
        Erase(S().mutexes, hMutex);
    }
    delete hMutex;
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVLockMutex(ZOLSRV_MUTEX_HANDLE hMutex) {
    ZOLSIM_COUNT("ZOLSRVLockMutex");
    int rc = pthread_mutex_lock(&hMutex->mutex);
    if (rc == EDEADLK) {
        fprintf(stderr, "zolsim: ZOLSRVLockMutex: this thread already holds the mutex (recursive lock)\n");
        abort();
    }
    if (rc != 0) {
        fprintf(stderr, "zolsim: ZOLSRVLockMutex failed: %s\n", strerror(rc));
        abort();
    }
    __atomic_store_n(&hMutex->ulOwner, (unsigned long)pthread_self(), __ATOMIC_RELAXED);
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVUnlockMutex(ZOLSRV_MUTEX_HANDLE hMutex) {
    ZOLSIM_COUNT("ZOLSRVUnlockMutex");
    if (__atomic_load_n(&hMutex->ulOwner, __ATOMIC_RELAXED) == (unsigned long)pthread_self())
        __atomic_store_n(&hMutex->ulOwner, 0UL, __ATOMIC_RELAXED);
    int rc = pthread_mutex_unlock(&hMutex->mutex);
    if (rc == EPERM) {
        fprintf(stderr, "zolsim: ZOLSRVUnlockMutex: this thread does not hold the mutex\n");
        abort();
    }
    if (rc != 0) {
        fprintf(stderr, "zolsim: ZOLSRVUnlockMutex failed: %s\n", strerror(rc));
        abort();
    }
    return ZOLSRV_OK;
}

ZOLSRV_ERROR ZOLSRVCreateAppHintState(VEK_UINT32 eModuleID, const char *pszAppName, VEK_VOID **ppvState) {
    (void)pszAppName;
    ZOLSIM_COUNT("ZOLSRVCreateAppHintState");
    if (ppvState == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    *ppvState = new HintState{eModuleID};
    WriteGuard g(g_mu);
    S().uiLiveHintStates++;
    return ZOLSRV_OK;
}

/* A hint that is not set is not a failure: the default is the answer. */
ZOLSRV_ERROR ZOLSRVGetAppHint(VEK_VOID *pvHintState, const char *pszHintName, VEK_DATA_TYPE eDataType,
                              const VEK_VOID *pvDefault, VEK_VOID *pvReturn) {
    (void)eDataType;
    ENTER("ZOLSRVGetAppHint");
    if (pvHintState == nullptr || pszHintName == nullptr || pvReturn == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
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
    (void)eModuleID;
    ZOLSIM_COUNT("ZOLSRVFreeAppHintState");
    if (pvHintState == nullptr) return ZOLSRV_ERROR_INVALID_PARAMS;
    delete static_cast<HintState *>(pvHintState);
    WriteGuard g(g_mu);
    S().uiLiveHintStates--;
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
