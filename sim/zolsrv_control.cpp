// The control state of the simulated device: the call counts and armed faults every vendor call
// passes through, the reset, and the table of everything the device holds live.
#include <algorithm>

#include "zolsrv_state.h"

using namespace zolsim;

namespace zolsim {

pthread_rwlock_t g_mu = PTHREAD_RWLOCK_INITIALIZER;
pthread_mutex_t g_recordMu = PTHREAD_MUTEX_INITIALIZER;

// A fork waits until no other thread is inside the tables, so that the child, which has only the
// forking thread, finds them whole and free. The child cannot unlock what the parent's thread
// locked (the lock knows its writer by thread id), so it starts the lock anew. ThreadSanitizer
// keeps its own account of the lock across the fork and takes the fresh start for a lock still
// held, so its builds go without (and skip the test of this).
#ifndef ZOLSIM_TSAN
static void ForkPrepare() { pthread_rwlock_wrlock(&g_mu); }
static void ForkParent() { pthread_rwlock_unlock(&g_mu); }
static void ForkChild() { pthread_rwlock_init(&g_mu, nullptr); }

__attribute__((constructor)) static void WatchForks() { pthread_atfork(ForkPrepare, ForkParent, ForkChild); }
#endif

// Never destroyed: a background completion may still run while the process exits.
State &S() {
    static State *s = new State;
    return *s;
}

}  // namespace zolsim

namespace {

// The call table: one slot per function name, found by the name's hash and claimed with a
// compare-and-swap of a copy of the name (a library that names its calls may be unloaded). Counts
// are relaxed atomics: counting adds no ordering between the threads that call the vendor
// functions. Only a slot's name is published with release and read with acquire, once per call
// site (the site keeps its slot).
constexpr unsigned kCallSlots = 256;

struct CallSlot {
    const char *pszName;
    unsigned uiCount;
    unsigned uiFirstCall;  // order of the first call since the reset, from 1; 0 before
};

CallSlot g_calls[kCallSlots];
unsigned g_uiCallOrder;

unsigned HashName(const char *psz) {
    unsigned h = 2166136261u;
    for (; *psz != '\0'; psz++) h = (h ^ (unsigned char)*psz) * 16777619u;
    return h;
}

// The slot of a name; with bClaim, a free slot is claimed for a name not seen before. Returns
// kCallSlots when the name has no slot (or the table is full).
unsigned SlotOf(const char *pszName, bool bClaim) {
    const unsigned h = HashName(pszName);
    for (unsigned i = 0; i < kCallSlots; i++) {
        const unsigned uiSlot = (h + i) % kCallSlots;
        const char *pszHeld = __atomic_load_n(&g_calls[uiSlot].pszName, __ATOMIC_ACQUIRE);
        if (pszHeld == nullptr) {
            if (!bClaim) return kCallSlots;
            char *pszCopy = strdup(pszName);
            if (pszCopy == nullptr) return kCallSlots;
            if (__atomic_compare_exchange_n(&g_calls[uiSlot].pszName, &pszHeld, pszCopy, false, __ATOMIC_ACQ_REL,
                                            __ATOMIC_ACQUIRE))
                return uiSlot;
            free(pszCopy);
        }
        if (strcmp(pszHeld, pszName) == 0) return uiSlot;
    }
    return kCallSlots;
}

unsigned SiteSlot(ZOLSIM_CALL_SITE *psSite) {
    const unsigned uiKnown = __atomic_load_n(&psSite->uiSlot, __ATOMIC_RELAXED);
    if (uiKnown != 0) return uiKnown - 1;
    const unsigned uiSlot = SlotOf(psSite->pszName, true);
    if (uiSlot == kCallSlots) {
        fprintf(stderr, "zolsim: the call table is full (%s)\n", psSite->pszName);
        abort();
    }
    __atomic_store_n(&psSite->uiSlot, uiSlot + 1, __ATOMIC_RELAXED);
    return uiSlot;
}

void CountSlot(unsigned uiSlot) {
    CallSlot &c = g_calls[uiSlot];
    if (__atomic_fetch_add(&c.uiCount, 1, __ATOMIC_RELAXED) == 0)
        __atomic_store_n(&c.uiFirstCall, __atomic_add_fetch(&g_uiCallOrder, 1, __ATOMIC_RELAXED), __ATOMIC_RELAXED);
}

struct Fault {
    std::string name;
    unsigned uiRemaining;
    int iCode;
};

// Armed faults have their own lock, taken by a vendor call only while a fault is armed: with none
// armed, the check is the load of g_uiFaultsArmed.
pthread_mutex_t g_faultMu = PTHREAD_MUTEX_INITIALIZER;
std::vector<Fault> *g_faults;  // made by the first arming, which may run before the initialisers here
unsigned g_uiFaultsArmed;

void ArmLocked(const std::string &name, unsigned uiNth, int iCode) {
    if (g_faults == nullptr) g_faults = new std::vector<Fault>;
    g_faults->push_back(Fault{name, uiNth, iCode});
    __atomic_store_n(&g_uiFaultsArmed, (unsigned)g_faults->size(), __ATOMIC_RELAXED);
}

// ZOLSIM_FAIL="name:nth:code[,name:nth:code...]" arms faults before any test code runs, for
// the calls a module makes while it loads.
__attribute__((constructor)) void FaultsFromEnvironment() {
    const char *env = getenv("ZOLSIM_FAIL");
    if (env == nullptr) return;
    Guard g(g_faultMu);
    std::string all(env);
    size_t pos = 0;
    while (pos <= all.size()) {
        size_t end = all.find(',', pos);
        if (end == std::string::npos) end = all.size();
        std::string item = all.substr(pos, end - pos);
        size_t c1 = item.find(':');
        size_t c2 = c1 == std::string::npos ? c1 : item.find(':', c1 + 1);
        if (c2 != std::string::npos) {
            unsigned nth = (unsigned)strtoul(item.c_str() + c1 + 1, nullptr, 10);
            int code = (int)strtol(item.c_str() + c2 + 1, nullptr, 10);
            if (nth > 0) ArmLocked(item.substr(0, c1), nth, code);
        }
        pos = end + 1;
    }
}

// Whether an armed fault fires on this call of the function.
bool FaultFires(const char *pszFunction, int *piCode) {
    if (__atomic_load_n(&g_uiFaultsArmed, __ATOMIC_RELAXED) == 0) return false;
    Guard g(g_faultMu);
    bool fired = false;
    for (size_t i = 0; i < g_faults->size();) {
        Fault &f = (*g_faults)[i];
        if (f.name == pszFunction && --f.uiRemaining == 0) {
            if (!fired) {
                fired = true;
                *piCode = f.iCode;
            }
            g_faults->erase(g_faults->begin() + (long)i);
            continue;
        }
        i++;
    }
    __atomic_store_n(&g_uiFaultsArmed, (unsigned)g_faults->size(), __ATOMIC_RELAXED);
    return fired;
}

}  // namespace

extern "C" {

int zolsim_internal_enter_site(ZOLSIM_CALL_SITE *psSite, int *piCode) {
    zolsim_internal_record_call_order(psSite->pszName);
    CountSlot(SiteSlot(psSite));
    return FaultFires(psSite->pszName, piCode) ? 1 : 0;
}

int zolsim_internal_enter(const char *pszFunction, int *piCode) {
    ZOLSIM_CALL_SITE sSite = {pszFunction, 0};
    return zolsim_internal_enter_site(&sSite, piCode);
}

namespace {

// What other libraries of the device keep of their own and reset with the rest (set at load).
constexpr unsigned kMaxResetHooks = 4;
void (*g_apfnResetHooks[kMaxResetHooks])(void);

}  // namespace

void zolsim_internal_on_reset(void (*pfnReset)(void)) {
    for (auto &pfn : g_apfnResetHooks)
        if (pfn == nullptr || pfn == pfnReset) {
            pfn = pfnReset;
            return;
        }
    fprintf(stderr, "zolsim: too many reset hooks\n");
    abort();
}

void zolsim_reset(void) {
    {
        WriteGuard g(g_mu);
        S().Defaults();
    }
    for (auto pfn : g_apfnResetHooks)
        if (pfn != nullptr) pfn();
    zolsim_clear_faults();
    zolsim_clear_misuse();
    for (CallSlot &c : g_calls) {
        __atomic_store_n(&c.uiCount, 0u, __ATOMIC_RELAXED);
        __atomic_store_n(&c.uiFirstCall, 0u, __ATOMIC_RELAXED);
    }
    __atomic_store_n(&g_uiCallOrder, 0u, __ATOMIC_RELAXED);
    zolsim_internal_fbdev_reset();
}

void zolsim_fail(const char *pszFunction, unsigned uiNth, int iCode) {
    if (uiNth == 0 || pszFunction == nullptr) return;
    Guard g(g_faultMu);
    ArmLocked(pszFunction, uiNth, iCode);
}

void zolsim_clear_faults(void) {
    Guard g(g_faultMu);
    if (g_faults != nullptr) g_faults->clear();
    __atomic_store_n(&g_uiFaultsArmed, 0u, __ATOMIC_RELAXED);
}

unsigned zolsim_calls(const char *pszFunction) {
    if (pszFunction == nullptr) return 0;
    const unsigned uiSlot = SlotOf(pszFunction, false);
    return uiSlot == kCallSlots ? 0 : __atomic_load_n(&g_calls[uiSlot].uiCount, __ATOMIC_RELAXED);
}

const char *zolsim_call_names(void) {
    std::vector<std::pair<unsigned, const char *>> called;
    for (const CallSlot &c : g_calls) {
        const char *pszName = __atomic_load_n(&c.pszName, __ATOMIC_ACQUIRE);
        if (pszName == nullptr || __atomic_load_n(&c.uiCount, __ATOMIC_RELAXED) == 0) continue;
        called.emplace_back(__atomic_load_n(&c.uiFirstCall, __ATOMIC_RELAXED), pszName);
    }
    std::sort(called.begin(), called.end());
    RecordGuard g;
    std::string &text = S().failableCalledText;
    text.clear();
    for (const auto &c : called) {
        if (!text.empty()) text += ',';
        text += c.second;
    }
    return text.c_str();
}

const ZOLSIM_LIVE_KIND zolsim_live_kinds[] = {
    {"allocations", zolsim_live_allocations},
    {"mappings", zolsim_live_mappings},
    {"exported descriptors", zolsim_live_exported_fds},
    {"flip chains", zolsim_live_flipchains},
    {"2D contexts", zolsim_live_contexts},
    {"connections", zolsim_live_connections},
    {"mutexes", zolsim_live_mutexes},
    {"app-hint states", zolsim_live_hint_states},
    {"memory contexts", zolsim_live_mem_contexts},
    {"wrapped memories", zolsim_live_wrapped},
    {"allocations a disconnect ended", zolsim_ended_allocations},
    {"mappings a disconnect ended", zolsim_ended_mappings},
};
const unsigned zolsim_live_kind_count = sizeof(zolsim_live_kinds) / sizeof(zolsim_live_kinds[0]);

unsigned zolsim_live_total(char *pszReport, size_t uSize) {
    unsigned uiTotal = 0;
    size_t uLen = 0;
    if (pszReport != nullptr && uSize != 0) pszReport[0] = '\0';
    for (const ZOLSIM_LIVE_KIND &k : zolsim_live_kinds) {
        const unsigned n = k.pfnCount();
        uiTotal += n;
        if (n == 0 || pszReport == nullptr || uLen >= uSize) continue;
        const int iWritten = snprintf(pszReport + uLen, uSize - uLen, "%s%u %s", uLen != 0 ? ", " : "", n, k.pszWhat);
        if (iWritten > 0) uLen += (size_t)iWritten;
    }
    return uiTotal;
}

}  // extern "C"
