// What the parts of the simulated 2D library share: its records, the tables that hold them, the
// way a caller's memory description is checked, and the 2D engine that runs the blits.
#ifndef ZOL2D_INTERNAL_H
#define ZOL2D_INTERNAL_H

#include <pthread.h>

#include <functional>
#include <vector>

#include "tsan_hide.h"
#include "zol2d_blit.h"
#include "zolsim_internal.h"

namespace zolsim {

struct Context {
    ZOL2DCONTEXT sPub;  // first: the handle points at it
    unsigned uiDevIndex;
    ZOLSRV_CONNECTION *psConnection;
    char displayClassDevice;
};

struct FlipChain {
    ZOL2D_FLIPCHAIN sPub;  // first: the handle points at it
    Context *psContext;
    std::vector<ZOL2DMEMINFO *> buffers;
    char swapChain;
};

// Caller memory wrapped as 2D memory.
struct Wrapped {
    ZOL2DMEMINFO sInfo;  // first: the mem-info pointer is the record pointer
    Context *psContext;
    pthread_mutex_t hwMu = PTHREAD_MUTEX_INITIALIZER;  // hardware access to it, one at a time
};

// The library's tables. They are kept under a lock that is record-keeping, not part of the device:
// it is hidden from the race detector together with what it guards, so that it orders none of the
// library's callers (a 2D library serialises no calls across its callers; the graphics HAL
// serialises its own).
extern std::vector<Context *> *g_contexts;
extern std::vector<FlipChain *> *g_chains;
extern std::vector<Wrapped *> *g_wrapped;

extern pthread_mutex_t g_tableMu;

class TableGuard : public HiddenGuard {
public:
    TableGuard() : HiddenGuard(g_tableMu) {}
};

// Look-ups, with the tables' lock held.
Context *FindContextLocked(ZOL2DCONTEXTHANDLE h);
FlipChain *FindChainLocked(const Context *c, ZOL2DFLIPCHAINHANDLE h);
Wrapped *FindWrappedLocked(const Context *c, const ZOL2DMEMINFO *psMemInfo);
// The context's flip chain that holds the buffer, or NULL.
FlipChain *ChainOfBufferLocked(const Context *c, const ZOL2DMEMINFO *psMemInfo);

// Memory as the hardware reaches it: the CPU view of a plane, who owns it (a services mem-info, or
// the wrap record) and the lock of hardware access to it.
struct HwMemory {
    BlitPlane sPlane;
    ZOLSRV_CLIENT_MEM_INFO *psServices;  // NULL for wrapped caller memory
    const void *pvId;                    // the services mem-info, or the wrap record
    pthread_mutex_t *psHwMutex;
};
// A memory description a caller hands over: one the library made for the context (wrapped memory,
// a flip-chain buffer), or the caller's own description of live services memory, which must say
// what the services say of it. Anything else is misuse, recorded for pszCall.
bool ResolveLocked(const char *pszCall, const Context *c, const ZOL2DMEMINFO *psMemInfo, HwMemory *psOut);
// The memory that holds a device address: wrapped memory of the context, or services memory.
bool MemoryAtLocked(const Context *c, VEK_UINT32 ui32DevAddr, HwMemory *psOut);

// ---- The 2D engine ----

// A blit as the engine runs it: the surfaces as they were described at submission (the caller's
// descriptions need not outlive the call), and the memory they use.
struct EngineBlit {
    const Context *psContext;
    VEK_UINT32 ui32DstDevAddr;  // what ZOL2DQueryBlitsComplete names it by
    BlitSurface sDst, sSrc;
    ZOL2DRECT rcDest, rcSource;
    HwMemory asDst[2];  // the planes written; the second only for a two-plane destination
    unsigned uiDstPlanes;
    HwMemory sSrcMem;  // the plane read
};

// Queues the blit: the source's read and each destination plane's write are pending from now on.
void EngineSubmit(const EngineBlit &sBlit);
// Whether a queued blit reads or writes the memory (a services mem-info or a wrap record).
bool EngineUses(const void *pvId);
// Whether a queued blit matches; EngineWait returns once none does, counting the caller among the
// waiters of ZOL2DQueryBlitsComplete when bQuery.
bool EngineHas(const std::function<bool(const EngineBlit &)> &fnMatch);
void EngineWait(const std::function<bool(const EngineBlit &)> &fnMatch, bool bQuery);

}  // namespace zolsim

#define ENTER(name) ZOLSIM_ENTER(name, ZOL2DERROR)

// Records a misuse of the call and answers the library's error for it.
#define MISUSE(call, ...) (zolsim_internal_misuse(call, __VA_ARGS__), ZOL2DERROR_INVALID_PARAMETER)
#define NO_CONTEXT(call, h) MISUSE(call, "context %p was never made or is already destroyed", (const void *)(h))

#endif
