// The control state of the simulated device: the call counts and armed faults every vendor call
// passes through, the reset, and the table of everything the device holds live.
#include "zolsrv_state.h"

using namespace zolsim;

namespace zolsim {

pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;

// Never destroyed: a background completion may still run while the process exits.
State &S() {
    static State *s = [] {
        State *n = new State;
        n->FaultsFromEnvironment();
        return n;
    }();
    return *s;
}

}  // namespace zolsim

extern "C" {

// Every vendor call passes here: counting must stay cheap beside what the module itself does,
// as the benchmarks measure it, so a call site seen before costs one look-up of its literal.
// Returns the function's calls so far, this one included.
static unsigned CountCallLocked(const char *pszFunction) {
    State &s = S();
    auto it = s.callSites.find(pszFunction);
    if (it != s.callSites.end()) return ++*it->second;
    unsigned &uiCount = s.calls[pszFunction];
    s.callSites.emplace(pszFunction, &uiCount);
    return ++uiCount;
}

int zolsim_internal_enter(const char *pszFunction, int *piCode) {
    Guard g(g_mu);
    State &s = S();
    if (CountCallLocked(pszFunction) == 1) s.failableCalled.push_back(pszFunction);
    bool fired = false;
    for (size_t i = 0; i < s.faults.size();) {
        Fault &f = s.faults[i];
        if (f.name == pszFunction && --f.uiRemaining == 0) {
            if (!fired) {
                fired = true;
                *piCode = f.iCode;
            }
            s.faults.erase(s.faults.begin() + (long)i);
            continue;
        }
        i++;
    }
    return fired ? 1 : 0;
}

}  // extern "C"

namespace zolsim {

void CountOnly(const char *pszFunction) {
    Guard g(g_mu);
    CountCallLocked(pszFunction);
}

}  // namespace zolsim

extern "C" {

void zolsim_reset(void) {
    {
        Guard g(g_mu);
        S().Defaults();
    }
    zolsim_internal_fbdev_reset();
}

void zolsim_fail(const char *pszFunction, unsigned uiNth, int iCode) {
    if (uiNth == 0) return;
    Guard g(g_mu);
    S().faults.push_back(Fault{pszFunction, uiNth, iCode});
}

void zolsim_clear_faults(void) {
    Guard g(g_mu);
    S().faults.clear();
}

unsigned zolsim_calls(const char *pszFunction) {
    Guard g(g_mu);
    auto it = S().calls.find(pszFunction);
    return it != S().calls.end() ? it->second : 0;
}

const char *zolsim_call_names(void) {
    Guard g(g_mu);
    State &s = S();
    s.failableCalledText.clear();
    for (const std::string &name : s.failableCalled) {
        if (!s.failableCalledText.empty()) s.failableCalledText += ',';
        s.failableCalledText += name;
    }
    return s.failableCalledText.c_str();
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
