// The order of the vendor calls, kept only while a test asks for it: shut-down order is a matter
// of which call comes before which, which the per-name counts cannot tell. The record is a fixed
// table filled through one relaxed counter, so it adds no lock and no ordering between threads.
#include <atomic>

#include "zolsim_internal.h"

namespace {

constexpr unsigned kMaxCalls = 256;
std::atomic<bool> g_recording{false};
std::atomic<unsigned> g_count{0};
std::atomic<const char *> g_names[kMaxCalls];

}  // namespace

void zolsim_internal_record_call_order(const char *pszFunction) {
    if (!g_recording.load(std::memory_order_relaxed)) return;
    const unsigned i = g_count.fetch_add(1, std::memory_order_relaxed);
    if (i < kMaxCalls) g_names[i].store(pszFunction, std::memory_order_relaxed);
}

void zolsim_call_order_start(void) {
    g_count.store(0, std::memory_order_relaxed);
    g_recording.store(true, std::memory_order_relaxed);
}

unsigned zolsim_call_order(const char **apszOut, unsigned uiMax) {
    unsigned n = g_count.load(std::memory_order_relaxed);
    if (n > kMaxCalls) n = kMaxCalls;
    for (unsigned i = 0; i < n && i < uiMax; i++) apszOut[i] = g_names[i].load(std::memory_order_relaxed);
    return n;
}
