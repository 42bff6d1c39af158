#include "client_checks.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "client.h"

namespace conformance {
namespace {

/* The handle goes as Android's GraphicBuffer lets a received one go. */
void LetGo(native_handle_t *psHandle) {
    if (psHandle == nullptr) return;
    native_handle_close(psHandle);
    native_handle_delete(psHandle);
}

/* The planes of the received buffer, as its description and handle give them. */
std::vector<size_t> ReceivedPlanes(const native_handle_t *psHandle, const BufferDescription &s) {
    return PlaneBytes(Vek(psHandle)->iFormat, Vek(psHandle)->uiBpp, Vek(psHandle)->iHeight, s.iStride);
}

/* Locks for reading and compares the pattern; true when it held. */
bool ReadsPattern(Check *pc, const gralloc_module_t *psGralloc, native_handle_t *psHandle, const BufferDescription &s,
                  uint32_t uiSeed, const char *pszWhose) {
    void *apv[3];
    int iErr = LockWhole(psGralloc, psHandle, GRALLOC_USAGE_SW_READ_OFTEN, apv);
    if (!pc->ExpectErr(0, iErr, "lock for reading")) return false;
    std::string sWrong = PatternMismatch(apv, ReceivedPlanes(psHandle, s), uiSeed);
    pc->Expect(sWrong.empty(), "%s pattern read in this process: %s", pszWhose, sWrong.c_str());
    pc->ExpectErr(0, psGralloc->unlock(psGralloc, psHandle), "unlock after reading");
    return sWrong.empty();
}

int Exchange(ClientState *ps, const std::string &sName, const int *aiArg, native_handle_t *psHandle,
             const BufferDescription &s) {
    const gralloc_module_t *psGralloc = ps->sModule.psGralloc;
    const VEK_gralloc_module_t *psHMI = ps->sModule.psHMI;
    Check c(sName);
    int iErr = psGralloc->registerBuffer(psGralloc, psHandle);
    if (c.ExpectErr(0, iErr, "registerBuffer")) {
        c.ExpectErr(-EINVAL, psGralloc->registerBuffer(psGralloc, psHandle), "a second registerBuffer");
        ReadsPattern(&c, psGralloc, psHandle, s, (uint32_t)aiArg[0], "the allocator's");

        void *apv[3];
        if (c.ExpectErr(0, LockWhole(psGralloc, psHandle, GRALLOC_USAGE_SW_WRITE_OFTEN, apv), "lock for writing")) {
            FillPattern(apv, ReceivedPlanes(psHandle, s), (uint32_t)aiArg[1]);
            c.ExpectErr(0, psGralloc->unlock(psGralloc, psHandle), "unlock after writing");
        }
        /* The vendor's drivers reach the buffer by its stamp: the same memory, the same stamp. */
        if (aiArg[2] != 0) {
            ZOLSRV_CLIENT_MEM_INFO *apsMem[3] = {nullptr, nullptr, nullptr};
            iErr = psHMI->map(psGralloc, Vek(psHandle)->ui64Stamp, GRALLOC_USAGE_HW_TEXTURE, apsMem);
            if (c.ExpectErr(0, iErr, "map by stamp")) {
                c.Expect(apsMem[0] != nullptr && apsMem[0]->ui64Stamp == Vek(psHandle)->ui64Stamp,
                         "map by stamp handed out a plane whose stamp is %llu, the handle's is %llu",
                         apsMem[0] ? (unsigned long long)apsMem[0]->ui64Stamp : 0ull,
                         (unsigned long long)Vek(psHandle)->ui64Stamp);
                c.Expect(apsMem[0] != nullptr && apsMem[0]->pvLinAddr == apv[0],
                         "map by stamp handed out plane 0 at %p, a lock at %p", apsMem[0] ? apsMem[0]->pvLinAddr : 0,
                         apv[0]);
                c.ExpectErr(0, psHMI->unmap(psGralloc, Vek(psHandle)->ui64Stamp), "unmap by stamp");
            }
        }
        c.ExpectErr(0, psGralloc->unregisterBuffer(psGralloc, psHandle), "unregisterBuffer");
        c.ExpectErr(-EINVAL, LockWhole(psGralloc, psHandle, GRALLOC_USAGE_SW_READ_OFTEN, apv),
                    "a lock after unregisterBuffer");
        c.ExpectErr(-EINVAL, psGralloc->unregisterBuffer(psGralloc, psHandle), "a second unregisterBuffer");
    }
    LetGo(psHandle);
    return 0;
}

int Hold(ClientState *ps, const std::string &sName, const int *aiArg, native_handle_t *psHandle,
         const BufferDescription &s) {
    const gralloc_module_t *psGralloc = ps->sModule.psGralloc;
    Check c(sName);
    if (!c.ExpectErr(0, psGralloc->registerBuffer(psGralloc, psHandle), "registerBuffer")) {
        LetGo(psHandle);
        return -1;
    }
    ReadsPattern(&c, psGralloc, psHandle, s, (uint32_t)aiArg[0], "the allocator's");
    LetGo(ps->psHeld);
    ps->psHeld = psHandle;
    ps->sHeld = s;
    return 0;
}

int ReadHeld(ClientState *ps, const std::string &sName, const int *aiArg) {
    const gralloc_module_t *psGralloc = ps->sModule.psGralloc;
    Check c(sName);
    if (!c.Expect(ps->psHeld != nullptr, "no buffer is kept")) return -1;
    ReadsPattern(&c, psGralloc, ps->psHeld, ps->sHeld, (uint32_t)aiArg[0], "the allocator's");
    c.ExpectErr(0, psGralloc->unregisterBuffer(psGralloc, ps->psHeld), "unregisterBuffer");
    LetGo(ps->psHeld);
    ps->psHeld = nullptr;
    return 0;
}

int LockRules(ClientState *ps, const std::string &sName, native_handle_t *psHandle) {
    const gralloc_module_t *psGralloc = ps->sModule.psGralloc;
    Check c(sName);
    void *apv[3];
    if (c.ExpectErr(0, psGralloc->registerBuffer(psGralloc, psHandle), "registerBuffer")) {
        c.ExpectErr(0, LockWhole(psGralloc, psHandle, GRALLOC_USAGE_SW_READ_OFTEN, apv), "a first read lock");
        c.ExpectErr(0, LockWhole(psGralloc, psHandle, GRALLOC_USAGE_SW_READ_OFTEN, apv),
                    "a second read lock of the same usage");
        c.ExpectErr(-EINVAL, LockWhole(psGralloc, psHandle, GRALLOC_USAGE_SW_READ_RARELY, apv),
                    "a read lock of another usage while read-locked");
        c.ExpectErr(-EINVAL, LockWhole(psGralloc, psHandle, GRALLOC_USAGE_SW_WRITE_OFTEN, apv),
                    "a write lock while read-locked");
        c.ExpectErr(-EINVAL, psGralloc->unregisterBuffer(psGralloc, psHandle), "unregisterBuffer while locked");
        c.ExpectErr(0, psGralloc->unlock(psGralloc, psHandle), "the first unlock");
        c.ExpectErr(0, psGralloc->unlock(psGralloc, psHandle), "the second unlock");
        c.ExpectErr(-EINVAL, psGralloc->unlock(psGralloc, psHandle), "an unlock of an unlocked buffer");
        c.ExpectErr(0, LockWhole(psGralloc, psHandle, GRALLOC_USAGE_SW_WRITE_OFTEN, apv), "a write lock");
        c.ExpectErr(-EINVAL, LockWhole(psGralloc, psHandle, GRALLOC_USAGE_SW_WRITE_OFTEN, apv), "a second write lock");
        c.ExpectErr(-EINVAL, LockWhole(psGralloc, psHandle, GRALLOC_USAGE_SW_READ_OFTEN, apv),
                    "a read lock while write-locked");
        c.ExpectErr(0, psGralloc->unlock(psGralloc, psHandle), "the write lock's unlock");
        c.ExpectErr(0, psGralloc->unregisterBuffer(psGralloc, psHandle), "unregisterBuffer once unlocked");
    }
    LetGo(psHandle);
    return 0;
}

/* A copy of the handle with the same descriptors (duplicated, so that it owns them). */
native_handle_t *Copy(const native_handle_t *psHandle) {
    native_handle_t *ps = native_handle_create(psHandle->numFds, psHandle->numInts);
    if (ps == nullptr) return nullptr;
    for (int i = 0; i < psHandle->numFds; i++) ps->data[i] = dup(psHandle->data[i]);
    memcpy(ps->data + ps->numFds, psHandle->data + psHandle->numFds, sizeof(int) * (size_t)psHandle->numInts);
    return ps;
}

VEK_native_handle_t *Writable(native_handle_t *ps) { return reinterpret_cast<VEK_native_handle_t *>(ps); }

/* A forgery may be refused at registration or at the first lock that would hand out its rows;
   whichever it gets to, nothing of it may stay registered and no lock may hand out addresses. */
void ExpectRefused(Check *pc, const gralloc_module_t *psGralloc, native_handle_t *psForged, const char *pszWhat) {
    void *apv[3];
    int iRegister = psGralloc->registerBuffer(psGralloc, psForged);
    if (iRegister == 0) {
        int iLock = LockWhole(psGralloc, psForged, GRALLOC_USAGE_SW_READ_OFTEN, apv);
        pc->Expect(iLock < 0, "%s: registered, and a lock handed out its rows (answered %s)", pszWhat,
                   ErrName(iLock).c_str());
        if (iLock == 0) psGralloc->unlock(psGralloc, psForged);
        pc->ExpectErr(0, psGralloc->unregisterBuffer(psGralloc, psForged), "%s: unregisterBuffer", pszWhat);
    } else {
        pc->Expect(iRegister == -EINVAL || iRegister == -EFAULT, "%s: registerBuffer answered %s", pszWhat,
                   ErrName(iRegister).c_str());
        pc->ExpectErr(-EINVAL, psGralloc->unregisterBuffer(psGralloc, psForged),
                      "%s: unregisterBuffer after the refused registration", pszWhat);
        pc->ExpectErr(-EINVAL, LockWhole(psGralloc, psForged, GRALLOC_USAGE_SW_READ_OFTEN, apv),
                      "%s: a lock after the refused registration", pszWhat);
    }
}

int Forgeries(ClientState *ps, const std::string &sName, native_handle_t *psHandle, const BufferDescription &s) {
    const gralloc_module_t *psGralloc = ps->sModule.psGralloc;
    struct Forgery {
        const char *pszName, *pszWhat;
        void (*pfnForge)(VEK_native_handle_t *);
    };
    static const Forgery asForgeries[] = {
        {"another_stamp", "the buffer's descriptor under a stamp of its own",
         [](VEK_native_handle_t *p) { p->ui64Stamp ^= 0x5a5a0000u; }},
        {"rows_past_memory", "sixteen times the rows the memory holds",
         [](VEK_native_handle_t *p) { p->iHeight *= 16; }},
        {"wider_than_memory", "a width past the end of every row", [](VEK_native_handle_t *p) { p->iWidth *= 64; }},
        {"unknown_format", "a format the module does not know", [](VEK_native_handle_t *p) { p->iFormat = 3; }},
        {"pipe_descriptor", "a pipe in place of the buffer's memory",
         [](VEK_native_handle_t *p) {
             int aiPipe[2];
             if (pipe(aiPipe) != 0) return;
             close(aiPipe[1]);
             dup2(aiPipe[0], p->fd[0]);
             close(aiPipe[0]);
             p->ui64Stamp ^= 0x00a5a5a5u;
         }},
        {"descriptor_count", "one descriptor more than the buffer has, the first again",
         [](VEK_native_handle_t *p) { p->fd[p->base.numFds] = fcntl(p->fd[0], F_DUPFD_CLOEXEC, 0); }},
    };
    for (const Forgery &sForgery : asForgeries) {
        Check c(sName + "." + sForgery.pszName);
        native_handle_t *psForged = Copy(psHandle);
        if (!c.Expect(psForged != nullptr, "native_handle_create failed")) continue;
        sForgery.pfnForge(Writable(psForged));
        ExpectRefused(&c, psGralloc, psForged, sForgery.pszWhat);
        for (int i = psForged->numFds; i < 3; i++)
            if (Writable(psForged)->fd[i] >= 0) close(Writable(psForged)->fd[i]);
        LetGo(psForged);
    }
    /* The genuine handle is still taken as it is. */
    Check c(sName + ".genuine_after_forgeries");
    if (c.ExpectErr(0, psGralloc->registerBuffer(psGralloc, psHandle), "registerBuffer of the genuine handle")) {
        void *apv[3];
        if (c.ExpectErr(0, LockWhole(psGralloc, psHandle, kSwUsage, apv), "lock")) {
            FillPattern(apv, ReceivedPlanes(psHandle, s), 7);
            c.ExpectErr(0, psGralloc->unlock(psGralloc, psHandle), "unlock");
        }
        c.ExpectErr(0, psGralloc->unregisterBuffer(psGralloc, psHandle), "unregisterBuffer");
    }
    LetGo(psHandle);
    return 0;
}

int Cycles(ClientState *ps, const std::string &sName, const int *aiArg, native_handle_t *psHandle) {
    const gralloc_module_t *psGralloc = ps->sModule.psGralloc;
    const int iCycles = aiArg[0];
    std::vector<double> adSeconds;
    /* Taken before the process is measured, so that the timings' own memory is not counted. */
    adSeconds.reserve((size_t)iCycles);
    int iFailed = 0, iFirstErr = 0;
    const char *pszFirst = "";
    auto fnCycle = [&](bool bTimed) {
        void *apv[3];
        const double t0 = NowSeconds();
        int iErr = psGralloc->registerBuffer(psGralloc, psHandle);
        const char *pszStep = "registerBuffer";
        if (iErr == 0) {
            if ((iErr = LockWhole(psGralloc, psHandle, GRALLOC_USAGE_SW_READ_OFTEN, apv)) != 0)
                pszStep = "lock";
            else if ((iErr = psGralloc->unlock(psGralloc, psHandle)) != 0)
                pszStep = "unlock";
            int iUnregister = psGralloc->unregisterBuffer(psGralloc, psHandle);
            if (iErr == 0 && iUnregister != 0) iErr = iUnregister, pszStep = "unregisterBuffer";
        }
        if (bTimed) adSeconds.push_back(NowSeconds() - t0);
        if (iErr != 0 && iFailed++ == 0) iFirstErr = iErr, pszFirst = pszStep;
    };
    /* A few cycles first, so that what the first registration makes once is there already. */
    for (int i = 0; i < 16; i++) fnCycle(false);
    const ProcessState sBefore = MeasureProcess(ps->sModule.psAlloc);
    for (int i = 0; i < iCycles; i++) fnCycle(aiArg[1] != 0);
    const ProcessState sAfter = MeasureProcess(ps->sModule.psAlloc);
    {
        Check c(sName);
        c.Expect(iFailed == 0, "%d of %d cycles failed, the first at %s with %s", iFailed, iCycles + 16, pszFirst,
                 ErrName(iFirstErr).c_str());
        ExpectSameState(&c, sBefore, sAfter, iCycles);
        c.Note("%d cycles; %u descriptors, %zu heap bytes, %zu mapped bytes before and after", iCycles, sAfter.uiFds,
               sAfter.uHeapBytes, sAfter.uMappedBytes);
    }
    if (aiArg[1] != 0) {
        Check c(sName + ".median");
        c.Note("register + lock + unlock + unregister: %s", Describe(Summarise(adSeconds)).c_str());
    }
    LetGo(psHandle);
    return 0;
}

}  // namespace

bool StartClientState(ClientState *ps) {
    ps->bLoaded = ps->sModule.Load();
    if (!ps->bLoaded) return false;
    Check c("is_not_the_compositor");
    c.Expect(!ps->sModule.psHMI->IsCompositor(), "IsCompositor answered true in a process named %s", kClientName);
    return true;
}

void StopClientState(ClientState *ps) {
    if (ps->psHeld != nullptr) {
        ps->sModule.psGralloc->unregisterBuffer(ps->sModule.psGralloc, ps->psHeld);
        LetGo(ps->psHeld);
        ps->psHeld = nullptr;
    }
}

int RunClientOp(ClientState *ps, int iOp, const std::string &sName, const int *aiArg, native_handle_t *psHandle,
                const BufferDescription &sDescription) {
    if (!ps->bLoaded || (psHandle == nullptr && iOp != kOpReadHeld)) {
        LetGo(psHandle);
        ReportResult(Outcome::kFail, GroupName() + "." + sName, 0,
                     ps->bLoaded ? "no handle came with the request" : "the module is not loaded in the client");
        return -1;
    }
    switch (iOp) {
        case kOpExchange:
            return Exchange(ps, sName, aiArg, psHandle, sDescription);
        case kOpHold:
            return Hold(ps, sName, aiArg, psHandle, sDescription);
        case kOpReadHeld:
            return ReadHeld(ps, sName, aiArg);
        case kOpLockRules:
            return LockRules(ps, sName, psHandle);
        case kOpForgeries:
            return Forgeries(ps, sName, psHandle, sDescription);
        case kOpCycles:
            return Cycles(ps, sName, aiArg, psHandle);
        default:
            LetGo(psHandle);
            return -EINVAL;
    }
}

}  // namespace conformance
