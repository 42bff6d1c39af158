// Event waits and client events.
#include <stdint.h>

#include "zolsrv_state.h"

using namespace zolsim;

namespace zolsim {

VEK_UINT32 g_eventGeneration;
VEK_UINT32 g_eventWaiters;

}  // namespace zolsim

namespace {

// A wait is on an open connection and on that connection's own global event.
ZOLSRV_ERROR CheckWaitLocked(const ZOLSRV_CONNECTION *psConnection, VEK_HANDLE hOSEvent) {
    if (!ConnectionLiveLocked(psConnection))
        return MISUSE("ZOLSRVEventObjectWait", "connection %p is not open", (const void *)psConnection);
    if (hOSEvent != zolsim_internal_connection_event(psConnection))
        return MISUSE("ZOLSRVEventObjectWait", "event %p is not the global event of connection %p", hOSEvent,
                      (const void *)psConnection);
    return ZOLSRV_OK;
}

// In 64 bits: a 32-bit long of microseconds wraps every 72 minutes of uptime, and a deadline
// computed across the wrap ends the wait at once.
int64_t NowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace

extern "C" {

ZOLSRV_ERROR ZOLSRVEventObjectWait(const ZOLSRV_CONNECTION *psConnection, VEK_HANDLE hOSEvent) {
    ENTER("ZOLSRVEventObjectWait");
    std::vector<Snapshot> snaps;
    unsigned timeoutMs;
    {
        State &s = S();
        if (__atomic_load_n(&s.uiCompleteOnNextWait, __ATOMIC_RELAXED) != 0) {
            WriteGuard g(g_mu);
            const ZOLSRV_ERROR e = CheckWaitLocked(psConnection, hOSEvent);
            if (e != ZOLSRV_OK) return e;
            if (!s.completeOnNextWait.empty()) {
                for (Mem *m : s.completeOnNextWait) {
                    CompleteLocked(m, m->uiClassesOnNextWait);
                    m->uiClassesOnNextWait = 0;
                }
                s.completeOnNextWait.clear();
                __atomic_store_n(&s.uiCompleteOnNextWait, 0u, __ATOMIC_RELAXED);
                return ZOLSRV_OK;
            }
        }
        ReadGuard g(g_mu);
        const ZOLSRV_ERROR e = CheckWaitLocked(psConnection, hOSEvent);
        if (e != ZOLSRV_OK) return e;
        timeoutMs = s.uiWaitTimeoutMs;
        for (Mem *m : s.mems) snaps.push_back(Snap(m));
    }
    const VEK_UINT32 gen = __atomic_load_n(&g_eventGeneration, __ATOMIC_SEQ_CST);
    const int64_t deadline = NowUs() + (int64_t)timeoutMs * 1000;
    struct Waiting {
        Waiting() { __atomic_add_fetch(&g_eventWaiters, 1, __ATOMIC_SEQ_CST); }
        ~Waiting() { __atomic_sub_fetch(&g_eventWaiters, 1, __ATOMIC_SEQ_CST); }
    } waiting;
    for (;;) {
        if (__atomic_load_n(&g_eventGeneration, __ATOMIC_SEQ_CST) != gen) return ZOLSRV_OK;
        {
            // Progress made by another process shows only in the shared counters.
            ReadGuard g(g_mu);
            for (const Snapshot &o : snaps) {
                if (!MemLiveLocked(o.m)) continue;
                Snapshot n = Snap(o.m);
                if (n.r != o.r || n.w != o.w || n.r2 != o.r2) return ZOLSRV_OK;
            }
        }
        if (NowUs() >= deadline) return ZOLSRV_ERROR_TIMEOUT;
        SleepUs(250);
    }
}

ZOLSRV_ERROR ZOLSRVClientEvent(ZOLSRV_CLIENT_EVENT eEvent, ZOLSRV_DEV_DATA *psDevData, VEK_VOID *pvData) {
    ENTER("ZOLSRVClientEvent");
    {
        RecordGuard r;
        S().clientEvents.push_back(ZOLSIM_CLIENT_EVENT_RECORD{eEvent, psDevData, pvData});
    }
    {
        ReadGuard g(g_mu);
        if (!DevDataValidLocked("ZOLSRVClientEvent", psDevData)) return ZOLSRV_ERROR_INVALID_PARAMS;
    }
    // The only event a client reports is a stalled GPU, with the reporting module's record.
    if (eEvent != ZOLSRV_CLIENT_EVENT_HWTIMEOUT)
        return MISUSE("ZOLSRVClientEvent", "event %d, expected ZOLSRV_CLIENT_EVENT_HWTIMEOUT (0)", (int)eEvent);
    if (pvData == nullptr) return MISUSE("ZOLSRVClientEvent", "no module record with the stall report");
    {
        RecordGuard g;
        S().uiStallReports++;
    }
    return ZOLSRV_OK;
}

void zolsim_set_wait_timeout_ms(unsigned uiMs) {
    WriteGuard g(g_mu);
    S().uiWaitTimeoutMs = uiMs;
}

unsigned zolsim_event_waiters(void) { return __atomic_load_n(&g_eventWaiters, __ATOMIC_SEQ_CST); }

unsigned zolsim_client_event_records(ZOLSIM_CLIENT_EVENT_RECORD *psOut, unsigned uiMax) {
    RecordGuard g;
    return CopyRecords(S().clientEvents, psOut, uiMax);
}

unsigned zolsim_stall_reports(void) {
    RecordGuard g;
    return S().uiStallReports;
}

}  // extern "C"
