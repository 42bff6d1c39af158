// The 2D engine of the simulated device: it runs the submitted blits on a thread of its own, in the
// order they came, each a configurable time after its submission, as the device's engine works
// through its queue while the CPU goes on. What it does is hardware work: its pixels, its counters
// and its queue's lock are hidden from the race detector, so that it orders none of the module's
// threads.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <deque>

#include "zol2d_internal.h"

using namespace zolsim;

namespace {

constexpr unsigned kDefaultDelayMs = 1;

struct Engine {
    pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t work = PTHREAD_COND_INITIALIZER;      // to the engine: a blit came, or it may go on
    pthread_cond_t done = PTHREAD_COND_INITIALIZER;      // from the engine: a blit is done
    std::deque<std::pair<EngineBlit, long long>> queue;  // each blit with the time it may run at (us)
    bool bThread = false;                                // the engine's thread runs in this process
    bool bHeld = false;
    unsigned uiDelayMs = kDefaultDelayMs;
    unsigned uiQueryWaiters = 0;
};

Engine &E() {
    static Engine *e = new Engine;  // never destroyed: the engine's thread may outlive the statics
    return *e;
}

class EngineGuard : public HiddenGuard {
public:
    EngineGuard() : HiddenGuard(E().mu) {}
};

long long NowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

struct timespec AtUs(long long llUs) {
    return timespec{(time_t)(llUs / 1000000), (long)(llUs % 1000000) * 1000};
}

bool Uses(const EngineBlit &b, const void *pvId) {
    return b.sSrcMem.pvId == pvId || b.asDst[0].pvId == pvId || (b.uiDstPlanes > 1 && b.asDst[1].pvId == pvId);
}

// Each services memory the blit uses, with the class of its use.
template <typename Fn>
void ForEachServicesUse(const EngineBlit &b, Fn fn) {
    if (b.sSrcMem.psServices != nullptr) fn(b.sSrcMem.psServices, ZOLSIM_GPU_READS);
    for (unsigned i = 0; i < b.uiDstPlanes; i++)
        if (b.asDst[i].psServices != nullptr) fn(b.asDst[i].psServices, ZOLSIM_GPU_WRITES);
}

// Runs one blit: with the hardware locks of the buffers it uses taken in a fixed order, the pixels
// land; then the source's read and the destination's writes complete.
void Run(const EngineBlit &b) {
    std::vector<pthread_mutex_t *> apsLocks = {b.sSrcMem.psHwMutex, b.asDst[0].psHwMutex};
    if (b.uiDstPlanes > 1) apsLocks.push_back(b.asDst[1].psHwMutex);
    std::sort(apsLocks.begin(), apsLocks.end());
    apsLocks.erase(std::unique(apsLocks.begin(), apsLocks.end()), apsLocks.end());
    for (pthread_mutex_t *ps : apsLocks) zolsim_internal_hw_lock(ps, nullptr);
    ZOLSIM_TSAN_HIDE_BEGIN();
    BlitConvert(b.sDst, b.rcDest, b.sSrc, b.rcSource);
    ZOLSIM_TSAN_HIDE_END();
    for (size_t i = apsLocks.size(); i-- > 0;) zolsim_internal_hw_unlock(apsLocks[i], nullptr);
    ForEachServicesUse(b,
                       [](ZOLSRV_CLIENT_MEM_INFO *ps, unsigned uiClass) { zolsim_internal_hw_use_end(ps, uiClass); });
}

void *EngineThread(void *) {
    Engine &e = E();
    EngineGuard g;
    for (;;) {
        if (e.queue.empty() || e.bHeld) {
            pthread_cond_wait(&e.work, &e.mu);
            continue;
        }
        const long long llAt = e.queue.front().second;
        if (NowUs() < llAt) {
            const struct timespec ts = AtUs(llAt);
            pthread_cond_timedwait(&e.work, &e.mu, &ts);
            continue;
        }
        // The blit stays queued while it runs: until it is done, its memory is in use.
        const EngineBlit b = e.queue.front().first;
        pthread_mutex_unlock(&e.mu);
        Run(b);
        pthread_mutex_lock(&e.mu);
        e.queue.pop_front();
        pthread_cond_broadcast(&e.done);
    }
    return nullptr;
}

// The condition variables of the engine wait on a monotonic clock, as its times are taken.
void InitConditions(Engine &e) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&e.work, &attr);
    pthread_cond_init(&e.done, &attr);
    pthread_condattr_destroy(&attr);
}

void Reset() {
    EngineGuard g;
    E().bHeld = false;
    E().uiDelayMs = kDefaultDelayMs;
    pthread_cond_broadcast(&E().work);
}

// A fork copies only the forking thread: the child starts its own engine at its first blit, with
// none of the parent's queue (the blits are the parent's to run; the memory they write is shared
// or the parent's own).
void ForkPrepare() {
    ZOLSIM_TSAN_HIDE_BEGIN();
    pthread_mutex_lock(&E().mu);
}
void ForkParent() {
    pthread_mutex_unlock(&E().mu);
    ZOLSIM_TSAN_HIDE_END();
}
void ForkChild() {
    E().queue.clear();
    E().bThread = false;
    E().uiQueryWaiters = 0;
    pthread_mutex_unlock(&E().mu);
    InitConditions(E());
    ZOLSIM_TSAN_HIDE_END();
}

__attribute__((constructor)) void StartUp() {
    InitConditions(E());
    zolsim_internal_on_reset(Reset);
    pthread_atfork(ForkPrepare, ForkParent, ForkChild);
}

}  // namespace

namespace zolsim {

void EngineSubmit(const EngineBlit &b) {
    ForEachServicesUse(b,
                       [](ZOLSRV_CLIENT_MEM_INFO *ps, unsigned uiClass) { zolsim_internal_hw_use_begin(ps, uiClass); });
    Engine &e = E();
    EngineGuard g;
    if (!e.bThread) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t t;
        if (pthread_create(&t, &attr, EngineThread, nullptr) != 0) {
            fprintf(stderr, "zolsim: cannot start the 2D engine\n");
            abort();
        }
        pthread_attr_destroy(&attr);
        e.bThread = true;
    }
    e.queue.emplace_back(b, NowUs() + (long long)e.uiDelayMs * 1000);
    pthread_cond_signal(&e.work);
}

bool EngineUses(const void *pvId) {
    EngineGuard g;
    for (const auto &q : E().queue)
        if (Uses(q.first, pvId)) return true;
    return false;
}

bool EngineHas(const std::function<bool(const EngineBlit &)> &fnMatch) {
    EngineGuard g;
    for (const auto &q : E().queue)
        if (fnMatch(q.first)) return true;
    return false;
}

void EngineWait(const std::function<bool(const EngineBlit &)> &fnMatch, bool bQuery) {
    Engine &e = E();
    EngineGuard g;
    if (bQuery) e.uiQueryWaiters++;
    for (;;) {
        bool bPending = false;
        for (const auto &q : e.queue) bPending = bPending || fnMatch(q.first);
        if (!bPending) break;
        pthread_cond_wait(&e.done, &e.mu);
    }
    if (bQuery) e.uiQueryWaiters--;
}

}  // namespace zolsim

extern "C" {

void zolsim_set_2d_engine_delay_ms(unsigned uiMs) {
    EngineGuard g;
    E().uiDelayMs = uiMs;
}

void zolsim_hold_2d_engine(int bHeld) {
    EngineGuard g;
    E().bHeld = bHeld != 0;
    pthread_cond_broadcast(&E().work);
}

unsigned zolsim_blits_pending(void) {
    EngineGuard g;
    return (unsigned)E().queue.size();
}

unsigned zolsim_blit_waiters(void) {
    EngineGuard g;
    return E().uiQueryWaiters;
}

}  // extern "C"
