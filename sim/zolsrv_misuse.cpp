// Misuse: calls given what the real libraries would refuse or crash on. Each is recorded with a
// message that names the call and what was wrong; the call itself answers an error.
#include <stdarg.h>

#include "zolsrv_state.h"

using namespace zolsim;

namespace {

// The first messages are kept; the count goes on.
constexpr size_t kMaxMessages = 64;

std::vector<std::string> *g_misuse = new std::vector<std::string>;
std::string *g_misuseText = new std::string;
unsigned g_uiMisuse;

}  // namespace

extern "C" {

void zolsim_internal_misuse(const char *pszCall, const char *pszFormat, ...) {
    char szWhat[512];
    va_list ap;
    va_start(ap, pszFormat);
    vsnprintf(szWhat, sizeof(szWhat), pszFormat, ap);
    va_end(ap);
    std::string message = std::string(pszCall) + ": " + szWhat;
    fprintf(stderr, "zolsim: misuse: %s\n", message.c_str());
    RecordGuard r;
    if (g_misuse->size() < kMaxMessages) g_misuse->push_back(message);
    g_uiMisuse++;
}

unsigned zolsim_misuse_count(void) {
    RecordGuard r;
    return g_uiMisuse;
}

const char *zolsim_misuse_text(void) {
    RecordGuard r;
    g_misuseText->clear();
    for (const std::string &m : *g_misuse) *g_misuseText += m + "\n";
    if (g_uiMisuse > g_misuse->size())
        *g_misuseText += "... and " + std::to_string(g_uiMisuse - g_misuse->size()) + " more\n";
    return g_misuseText->c_str();
}

void zolsim_clear_misuse(void) {
    RecordGuard r;
    g_misuse->clear();
    g_uiMisuse = 0;
}

}  // extern "C"
