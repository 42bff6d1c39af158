/* The model's rules and its commands against the real module. */
#include <string.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "framebuffer.h"
#include "model_test.h"

namespace model {

size_t guCommandsRun = 0, guRefusalsRun = 0, guReleasesQueued = 0;

void showValue(Kind eKind, std::ostream &os) {
    static const char *const apsz[] = {"Kind::Own", "Kind::ForeignMapped", "Kind::ForeignLocked", "Kind::Display"};
    os << apsz[(int)eKind];
}

namespace {

/* Stands in an address slot the module must not write. */
void *const kUntouched = reinterpret_cast<void *>(0x5);
ZOLSRV_CLIENT_MEM_INFO *const kNoMem = reinterpret_cast<ZOLSRV_CLIENT_MEM_INFO *>(0x9);

bool Sw(int u) { return (u & 0x33) != 0; }
bool Reads(int u) { return (u & 0x103) != 0; }
bool Writes(int u) { return (u & 0x230) != 0; }
/* The buffer's own usage decides whether a lock waits for the GPU. */
bool GpuUse(const Buf &s) { return s.kind != Kind::ForeignLocked; }
bool Idle(const Buf &s) {
    if (s.scanned) return false;
    for (int p = 0; p < Slots(s); p++)
        if (s.reads[p] || s.writes[p]) return false;
    return true;
}

void Unqueue(Model &m, int b) {
    for (size_t i = 0; i < m.queue.size(); i++)
        if (m.queue[i] == b) m.queue.erase(m.queue.begin() + (long)i);
    m.bufs[b].pend = Pend::None;
}

int MapPlanes(Model &m, Buf &s) {
    for (; s.mapped < s.planes; s.mapped++) {
        if (m.mapFailsIn > 0 && --m.mapFailsIn == 0) return -EFAULT;
    }
    return 0;
}

int UnmapPlanes(Model &m, Buf &s) {
    for (; s.mapped > 0; s.mapped--) {
        if (m.unmapFailsIn > 0 && --m.unmapFailsIn == 0) return -EFAULT;
    }
    return 0;
}

int RunRelease(Model &m, int b, Pend eRelease) {
    Buf &s = m.bufs[b];
    if (eRelease == Pend::Free) {
        s.memory = s.present = s.registered = false;
        return 0;
    }
    int iErr = UnmapPlanes(m, s);
    if (iErr == 0 && eRelease == Pend::UnmapRemove) s.present = s.registered = false;
    return iErr;
}

/* The release runs now if the GPU is done with the mapped planes and nothing uses the buffer, else
   it is queued, in place of one queued before. */
int CheckDefer(Model &m, int b, Pend eRelease) {
    Buf &s = m.bufs[b];
    /* Never at once while the buffer is in use (a lock or a map holds it). */
    if (Idle(s) && s.count == 0) {
        Unqueue(m, b);
        return RunRelease(m, b, eRelease);
    }
    if (s.pend == Pend::None) m.queue.insert(m.queue.begin(), b);
    s.pend = eRelease;
    if (eRelease != Pend::Unmap) s.registered = false;
    return 0;
}

/* A release no caller can ask for again is queued when it fails at once, for the worker to try
   again. */
int CheckDeferOrRetry(Model &m, int b, Pend eRelease) {
    const int iErr = CheckDefer(m, b, eRelease);
    Buf &s = m.bufs[b];
    if (iErr < 0) {
        if (s.pend == Pend::None) m.queue.insert(m.queue.begin(), b);
        s.pend = eRelease;
        if (eRelease != Pend::Unmap) s.registered = false;
    }
    return iErr;
}

/* The worker runs every queued release whose buffer is idle and not in use. One that fails stays
   queued and is tried again at the next scan; the scans go on until none fails. */
void Worker(Model &m) {
    for (bool bFailed = true; bFailed;) {
        bFailed = false;
        std::vector<int> aiQueue = m.queue;
        for (int b : aiQueue) {
            Buf &s = m.bufs[b];
            if (!Idle(s) || s.count != 0) continue;
            Pend eRelease = s.pend;
            if (RunRelease(m, b, eRelease) == 0)
                Unqueue(m, b);
            else
                bFailed = true;
        }
    }
}

/* A buffer mapped only while in use lets its mapping go when its last use ends. */
int EndUse(Model &m, int b) {
    const Buf &s = m.bufs[b];
    if (s.kind != Kind::ForeignLocked || s.count != 0 || s.mapped == 0) return 0;
    return CheckDeferOrRetry(m, b, Pend::Unmap);
}

void ReleaseFresh(Model &m, int b, Pend eRelease);

/* A use that hands the mapping out maps what a foreign buffer lacks. On failure a mapping made
   from nothing goes at once (it was never handed out); one that adds to an older mapping is given
   back as at the end of a use. */
int MapForUse(Model &m, int b) {
    Buf &s = m.bufs[b];
    if (!Foreign(s) || (s.kind != Kind::ForeignLocked && s.mapped == s.planes)) return 0;
    const bool bFresh = s.mapped == 0;
    if (MapPlanes(m, s) == 0) return 0;
    if (bFresh)
        ReleaseFresh(m, b, Pend::Unmap);
    else
        EndUse(m, b);
    return -EFAULT;
}

/* ---- The steps: each changes the model and answers the result code the module must give. ---- */

/* A mapping that a step made from nothing goes at once when the step no longer needs it (it was
   never handed out); should the unmapping fail, the worker tries again. */
void ReleaseFresh(Model &m, int b, Pend eRelease) {
    if (RunRelease(m, b, eRelease) != 0) CheckDeferOrRetry(m, b, eRelease);
}

/* A registration anew that finds the buffer's old mapping still there maps each of the handle's
   descriptors once, to see that they name that memory, and releases it again: a refused release
   is asked again, and only one call fails. */
int ComparePlanes(Model &m, const Buf &s) {
    for (int p = 0; p < s.mapped; p++) {
        if (m.mapFailsIn > 0 && --m.mapFailsIn == 0) return -EFAULT;
        if (m.unmapFailsIn > 0) --m.unmapFailsIn;
    }
    return 0;
}

/* Every registration maps the handle's planes, so that the memory is seen to be the buffer the
   handle names; a buffer mapped only while locked gives that mapping back at once. */
int StepRegister(Model &m, int b) {
    Buf &s = m.bufs[b];
    if (!Foreign(s)) return 0;
    if (s.present && s.registered) return -EINVAL;
    const bool bFresh = s.mapped == 0;
    if (s.present) Unqueue(m, b);
    s.present = s.registered = true;
    int iErr = bFresh ? 0 : ComparePlanes(m, s);
    if (iErr == 0) iErr = MapPlanes(m, s);
    if (iErr == 0) {
        if (s.kind == Kind::ForeignLocked) {
            if (bFresh)
                ReleaseFresh(m, b, Pend::Unmap);
            else
                EndUse(m, b);
        }
        return 0;
    }
    s.registered = false;
    if (bFresh)
        ReleaseFresh(m, b, Pend::UnmapRemove);
    else
        CheckDeferOrRetry(m, b, Pend::UnmapRemove);
    return iErr;
}

int StepUnregister(Model &m, int b) {
    Buf &s = m.bufs[b];
    if (!Foreign(s)) return 0;
    if (!s.present || !s.registered || s.count != 0) return -EINVAL;
    Unqueue(m, b);
    /* A removal that fails at once is the worker's to try again: the caller does not call twice. */
    if (s.kind == Kind::ForeignMapped || s.mapped > 0) return CheckDeferOrRetry(m, b, Pend::UnmapRemove);
    s.present = s.registered = false;
    return 0;
}

int StepFree(Model &m, int b) {
    Buf &s = m.bufs[b];
    if (s.kind == Kind::Display) {
        if (!s.allocated) return -EINVAL;
        s.allocated = false;
        return 0;
    }
    if (s.kind != Kind::Own || !s.present || !s.registered) return -EINVAL;
    if (s.count != 0) return -EFAULT;
    int iErr = CheckDeferOrRetry(m, b, Pend::Free);
    if (iErr == 0) s.freed = true;
    return iErr;
}

int StepLock(Model &m, int b, int usage) {
    Buf &s = m.bufs[b];
    if (!s.present || !s.registered) return -EINVAL;
    if (s.count != 0) {
        if (Writes(usage) || usage != s.lockUsage) return -EINVAL;
        s.count++;
        return 0;
    }
    Unqueue(m, b);
    if (MapForUse(m, b) != 0) return -EFAULT;
    /* The waits end with the GPU done with the planes waited for (the test completes them). */
    if (GpuUse(s)) {
        for (int p = 0; p < Slots(s); p++)
            if ((Writes(usage) && s.reads[p]) || (Reads(usage) && s.writes[p])) s.reads[p] = s.writes[p] = false;
    }
    s.lockUsage = usage;
    s.count = 1;
    return 0;
}

int StepUnlock(Model &m, int b) {
    Buf &s = m.bufs[b];
    if (!s.present || !s.registered || s.count == 0) return -EINVAL;
    if (--s.count > 0) return 0;
    return EndUse(m, b);
}

int StepMap(Model &m, int b, int usage) {
    Buf &s = m.bufs[b];
    if (!s.present || !s.registered) return -EINVAL;
    Unqueue(m, b);
    if (s.count == 0)
        s.lockUsage = usage;
    else if (Writes(usage) || (Reads(usage) && Writes(s.lockUsage)))
        return -EINVAL;
    s.count++;
    return 0;
}

int StepUnmap(Model &m, int b) {
    Buf &s = m.bufs[b];
    if (!s.present || !s.registered || s.count == 0) return -EINVAL;
    s.count--;
    /* The use has ended: a release that fails is the worker's to try again, not the caller's. */
    EndUse(m, b);
    return 0;
}

/* The display shows every plane of the buffer: Post2 maps what is missing as a first lock does,
   and the buffer's use ends with the call. From the swap on, the display reads the buffer it
   shows, and no longer the one it showed before. */
int StepPost2(Model &m, int b) {
    Buf &s = m.bufs[b];
    if (!s.present || !s.registered) return -EINVAL;
    Unqueue(m, b);
    if (MapForUse(m, b) != 0) return -EFAULT;
    for (Buf &o : m.bufs) o.scanned = false;
    s.scanned = true;
    EndUse(m, b);
    return 0;
}

/* ---- Commands ---- */

const char *UsageName(int usage) {
    switch (usage) {
        case kSwRead:
            return "kSwRead";
        case kSwWrite:
            return "kSwWrite";
        case kSwRead | kSwWrite:
            return "kSwRead | kSwWrite";
        case kTexture:
            return "kTexture";
        case kRender:
            return "kRender";
        case kTexture | kRender:
            return "kTexture | kRender";
        case kComposer:
            return "kComposer";
    }
    return "?";
}

struct Step : Command {
    explicit Step(int b_) : b(b_) {}
    int b;
    virtual int Apply(Model &m) const = 0;
    /* The model before and after the step, for what the test must do or expect around it. */
    virtual int Run(const Model &sBefore, const Model &sAfter, Sut &sSut) const = 0;
    virtual void Name(std::ostream &os) const = 0;

    void checkPreconditions(const Model &m) const override { RC_PRE(b >= -1 && b < (int)m.bufs.size()); }
    void apply(Model &m) const override {
        Apply(m);
        Worker(m);
    }
    void run(const Model &m, Sut &sSut) const override {
        Model sExpected = m;
        const int iExpected = Apply(sExpected);
        std::ostringstream ss;
        Name(ss);
        RC_LOG() << ss.str() << std::endl;
        const int iResult = Run(m, sExpected, sSut);
        guCommandsRun++;
        if (iExpected != 0) guRefusalsRun++;
        if (sExpected.queue.size() > m.queue.size()) guReleasesQueued++;
        RC_ASSERT(iResult == iExpected);
        Worker(sExpected);
        sSut.Settle();
        sSut.Check(sExpected);
    }
    void show(std::ostream &os) const override { Name(os); }
};

struct AllocCmd : Step {
    using Step::Step;
    void checkPreconditions(const Model &m) const override {
        Step::checkPreconditions(m);
        const Buf &s = m.bufs[b];
        RC_PRE((s.kind == Kind::Own && !s.allocated) || (s.kind == Kind::Display && !s.allocated));
    }
    int Apply(Model &m) const override {
        Buf &s = m.bufs[b];
        s.allocated = true;
        if (s.kind == Kind::Own) s.memory = s.present = s.registered = true;
        return 0;
    }
    int Run(const Model &, const Model &, Sut &sSut) const override {
        buffer_handle_t h = nullptr;
        int iStride = 0;
        const bool bOwn = sSut.aeKinds[b] == Kind::Own;
        int iErr =
            sSut.psAlloc->alloc(sSut.psAlloc, 64, 32, bOwn ? HAL_PIXEL_FORMAT_BGRA_8888 : sSut.psFb->format,
                                bOwn ? kSwRead | kSwWrite | kTexture | kRender : GRALLOC_USAGE_HW_FB, &h, &iStride);
        if (iErr != 0) return iErr;
        if (!bOwn) {
            RC_ASSERT(static_cast<bool>(h == sSut.Handle(b)));
            sSut.abTaken[b] = true;
            return iErr;
        }
        sSut.ahHandles[b] = h;
        sSut.apsCopies[b] = CopyHandle(h);
        sSut.aui64Stamps[b] = AsVek(h)->ui64Stamp;
        static_cast<unsigned char *>(sSut.Memory(b, 0)->pvLinAddr)[0] = Pattern(b, 0);
        return 0;
    }
    void Name(std::ostream &os) const override { os << "Alloc(" << b << ")"; }
};

struct FreeCmd : Step {
    using Step::Step;
    void checkPreconditions(const Model &m) const override {
        Step::checkPreconditions(m);
        RC_PRE(m.bufs[b].kind != Kind::Own || m.bufs[b].allocated);
    }
    int Apply(Model &m) const override { return StepFree(m, b); }
    int Run(const Model &, const Model &, Sut &sSut) const override {
        const bool bLive = sSut.aeKinds[b] == Kind::Own && sSut.ahHandles[b] != nullptr;
        int iErr = sSut.psAlloc->free(sSut.psAlloc, sSut.Handle(b));
        if (iErr == 0 && bLive) sSut.ahHandles[b] = nullptr;
        if (iErr == 0 && sSut.aeKinds[b] == Kind::Display) sSut.abTaken[b] = false;
        return iErr;
    }
    void Name(std::ostream &os) const override { os << "Free(" << b << ")"; }
};

/* Own buffers: only while the handle lives (a freed buffer's descriptors are closed). */
bool HandleUsable(const Model &m, int b) {
    const Buf &s = m.bufs[b];
    return s.kind != Kind::Own || (s.allocated && !s.freed);
}

struct RegisterCmd : Step {
    RegisterCmd(int b_, bool bUn_) : Step(b_), bUn(bUn_) {}
    bool bUn;
    void checkPreconditions(const Model &m) const override {
        Step::checkPreconditions(m);
        RC_PRE(HandleUsable(m, b));
    }
    int Apply(Model &m) const override { return bUn ? StepUnregister(m, b) : StepRegister(m, b); }
    int Run(const Model &, const Model &, Sut &sSut) const override {
        return bUn ? sSut.psGralloc->unregisterBuffer(sSut.psGralloc, sSut.Handle(b))
                   : sSut.psGralloc->registerBuffer(sSut.psGralloc, sSut.Handle(b));
    }
    void Name(std::ostream &os) const override { os << (bUn ? "Unregister(" : "Register(") << b << ")"; }
};

/* Own buffers once allocated: a freed one answers through a copy of its handle. */
bool Known(const Model &m, int b) { return m.bufs[b].kind != Kind::Own || m.bufs[b].allocated; }

struct LockCmd : Step {
    LockCmd(int b_, int usage_) : Step(b_), usage(usage_) {}
    int usage;
    void checkPreconditions(const Model &m) const override {
        Step::checkPreconditions(m);
        RC_PRE(Known(m, b));
        /* Nobody writes what the display shows: such a lock would wait for the display's next
           frame, which no command of the sequence gives it while the lock waits. */
        RC_PRE(!(m.bufs[b].scanned && GpuUse(m.bufs[b]) && Writes(usage) && m.bufs[b].count == 0));
    }
    int Apply(Model &m) const override { return StepLock(m, b, usage); }
    int Run(const Model &sBefore, const Model &sAfter, Sut &sSut) const override {
        const Buf &s = sBefore.bufs[b];
        buffer_handle_t h = sSut.Handle(b);
        void *apv[3] = {kUntouched, kUntouched, kUntouched};
        /* A first lock that gets as far as its waits finds the GPU done with the planes it waits
           for: the GPU finishes them during its first wait. */
        if (s.count == 0 && sAfter.bufs[b].count == 1 && GpuUse(s)) {
            for (int p = 0; p < s.planes; p++)
                if ((Writes(usage) && s.reads[p]) || (Reads(usage) && s.writes[p]))
                    zolsim_gpu_complete_on_next_wait(sSut.Memory(b, p));
        }
        int iErr = sSut.psGralloc->lock(sSut.psGralloc, h, usage, 0, 0, AsVek(h)->iWidth, AsVek(h)->iHeight, apv);
        if (iErr != 0) {
            RC_ASSERT(static_cast<bool>(apv[0] == kUntouched));
            return iErr;
        }
        if (!Sw(usage)) {
            RC_ASSERT(static_cast<bool>(apv[0] == nullptr));
            RC_ASSERT(static_cast<bool>(apv[1] == kUntouched));
            return iErr;
        }
        /* One address for each plane, each reading that plane's memory. */
        for (int p = 0; p < 3; p++) RC_ASSERT(static_cast<bool>((apv[p] == kUntouched) == (p >= s.planes)));
        sSut.aaavAddrs[b].push_back(std::vector<void *>(apv, apv + s.planes));
        return iErr;
    }
    void Name(std::ostream &os) const override { os << "Lock(" << b << ", " << UsageName(usage) << ")"; }
};

struct UnlockCmd : Step {
    using Step::Step;
    void checkPreconditions(const Model &m) const override {
        Step::checkPreconditions(m);
        RC_PRE(Known(m, b));
    }
    int Apply(Model &m) const override { return StepUnlock(m, b); }
    int Run(const Model &, const Model &, Sut &sSut) const override {
        return sSut.psGralloc->unlock(sSut.psGralloc, sSut.Handle(b));
    }
    void Name(std::ostream &os) const override { os << "Unlock(" << b << ")"; }
};

struct MapCmd : Step {
    MapCmd(int b_, int usage_) : Step(b_), usage(usage_) {}
    int usage;
    void checkPreconditions(const Model &m) const override {
        Step::checkPreconditions(m);
        RC_PRE(Known(m, b));
    }
    int Apply(Model &m) const override { return StepMap(m, b, usage); }
    int Run(const Model &, const Model &sAfter, Sut &sSut) const override {
        ZOLSRV_CLIENT_MEM_INFO *aps[3] = {kNoMem, kNoMem, kNoMem};
        int iErr = sSut.psHMI->map(sSut.psGralloc, sSut.aui64Stamps[b], usage, aps);
        if (iErr != 0) return iErr;
        /* The planes of a buffer mapped whole here, else none. */
        const Buf &s = sAfter.bufs[b];
        const bool bWhole = Slots(s) == s.planes;
        for (int p = 0; p < 3; p++) RC_ASSERT(static_cast<bool>((aps[p] != nullptr) == (bWhole && p < s.planes)));
        if (bWhole) sSut.aaapsMaps[b].push_back(std::vector<ZOLSRV_CLIENT_MEM_INFO *>(aps, aps + s.planes));
        return iErr;
    }
    void Name(std::ostream &os) const override { os << "Map(" << b << ", " << UsageName(usage) << ")"; }
};

struct UnmapCmd : Step {
    using Step::Step;
    void checkPreconditions(const Model &m) const override {
        Step::checkPreconditions(m);
        RC_PRE(Known(m, b));
    }
    int Apply(Model &m) const override { return StepUnmap(m, b); }
    int Run(const Model &, const Model &, Sut &sSut) const override {
        return sSut.psHMI->unmap(sSut.psGralloc, sSut.aui64Stamps[b]);
    }
    void Name(std::ostream &os) const override { os << "Unmap(" << b << ")"; }
};

struct Post2Cmd : Step {
    using Step::Step;
    void checkPreconditions(const Model &m) const override {
        Step::checkPreconditions(m);
        RC_PRE(Known(m, b));
    }
    int Apply(Model &m) const override { return StepPost2(m, b); }
    int Run(const Model &, const Model &, Sut &sSut) const override {
        buffer_handle_t ah[1] = {sSut.Handle(b)};
        VEK_framebuffer_device_public_t *psPublic = reinterpret_cast<VEK_framebuffer_device_public_t *>(sSut.psFb);
        int iErr = psPublic->Post2(sSut.psFb, ah, 1, nullptr, 0);
        ZOLSIM_SCREEN_INFO sScreen;
        if (iErr == 0) RC_ASSERT(zolsim_screen_info(0, &sScreen) != 0 && sScreen.ui64Stamp == sSut.aui64Stamps[b]);
        return iErr;
    }
    void Name(std::ostream &os) const override { os << "Post2(" << b << ")"; }
};

struct GpuCmd : Step {
    GpuCmd(int b_, int iPlane_, int iOp_) : Step(b_), iPlane(iPlane_), iOp(iOp_) {}
    int iPlane, iOp; /* 0 read, 1 write, 2 complete */
    void checkPreconditions(const Model &m) const override {
        Step::checkPreconditions(m);
        const Buf &s = m.bufs[b];
        RC_PRE(iPlane < s.planes && (s.kind != Kind::Own || s.memory));
    }
    int Apply(Model &m) const override {
        Buf &s = m.bufs[b];
        if (iOp == 0) s.reads[iPlane] = true;
        if (iOp == 1) s.writes[iPlane] = true;
        if (iOp == 2) s.reads[iPlane] = s.writes[iPlane] = false;
        return 0;
    }
    int Run(const Model &, const Model &, Sut &sSut) const override {
        if (iOp == 2)
            zolsim_gpu_complete(sSut.Memory(b, iPlane));
        else
            zolsim_gpu_add_ops(sSut.Memory(b, iPlane), iOp == 0, iOp == 1, 0);
        return 0;
    }
    void Name(std::ostream &os) const override {
        if (iOp == 2)
            os << "GpuComplete(" << b << ", " << iPlane << ")";
        else
            os << "GpuBegin(" << b << ", " << iPlane << ", " << (iOp == 1 ? "true" : "false") << ")";
    }
};

/* A vendor call fails on its next call, or on the one after (a buffer's second plane). */
struct FailCmd : Step {
    FailCmd(bool bUnmap_, int iNth_) : Step(-1), bUnmap(bUnmap_), iNth(iNth_) {}
    bool bUnmap;
    int iNth;
    void checkPreconditions(const Model &m) const override {
        RC_PRE((bUnmap ? m.unmapFailsIn : m.mapFailsIn) == 0 && iNth >= 1 && iNth <= 2);
    }
    int Apply(Model &m) const override {
        (bUnmap ? m.unmapFailsIn : m.mapFailsIn) = iNth;
        return 0;
    }
    int Run(const Model &, const Model &, Sut &) const override {
        zolsim_fail(bUnmap ? "ZOLSRVUnmapDeviceMemory" : "ZOLSRVMapDeviceMemory2", (unsigned)iNth,
                    ZOLSRV_ERROR_GENERIC);
        return 0;
    }
    void Name(std::ostream &os) const override {
        os << "FailNext(" << (bUnmap ? "true" : "false") << ", " << iNth << ")";
    }
};

struct WorkerCmd : Step {
    WorkerCmd() : Step(-1) {}
    int Apply(Model &) const override { return 0; }
    int Run(const Model &, const Model &, Sut &) const override { return 0; }
    void Name(std::ostream &os) const override { os << "WorkerRun()"; }
};

}  // namespace

std::shared_ptr<const Command> Alloc(int b) { return std::make_shared<AllocCmd>(b); }
std::shared_ptr<const Command> Free(int b) { return std::make_shared<FreeCmd>(b); }
std::shared_ptr<const Command> Register(int b) { return std::make_shared<RegisterCmd>(b, false); }
std::shared_ptr<const Command> Unregister(int b) { return std::make_shared<RegisterCmd>(b, true); }
std::shared_ptr<const Command> Lock(int b, int usage) { return std::make_shared<LockCmd>(b, usage); }
std::shared_ptr<const Command> Unlock(int b) { return std::make_shared<UnlockCmd>(b); }
std::shared_ptr<const Command> Map(int b, int usage) { return std::make_shared<MapCmd>(b, usage); }
std::shared_ptr<const Command> Unmap(int b) { return std::make_shared<UnmapCmd>(b); }
std::shared_ptr<const Command> GpuBegin(int b, int iPlane, bool bWrite) {
    return std::make_shared<GpuCmd>(b, iPlane, bWrite ? 1 : 0);
}
std::shared_ptr<const Command> GpuComplete(int b, int iPlane) { return std::make_shared<GpuCmd>(b, iPlane, 2); }
std::shared_ptr<const Command> FailNext(bool bUnmap, int iNth) { return std::make_shared<FailCmd>(bUnmap, iNth); }
std::shared_ptr<const Command> Post2(int b) { return std::make_shared<Post2Cmd>(b); }
std::shared_ptr<const Command> WorkerRun() { return std::make_shared<WorkerCmd>(); }

rc::Gen<std::shared_ptr<const Command>> AnyCommand(const Model &sModel) {
    const int iBufs = (int)sModel.bufs.size();
    const auto genBuf = rc::gen::inRange(0, iBufs);
    const auto genPlane = rc::gen::inRange(0, 2);
    const auto genLockUsage =
        rc::gen::element(kSwRead, kSwWrite, kSwRead | kSwWrite, kTexture, kRender, kTexture | kRender);
    const auto genMapUsage = rc::gen::element(kTexture, kRender, kComposer);
    using C = std::shared_ptr<const Command>;
    return rc::gen::weightedOneOf<C>({
        {2, rc::gen::map(genBuf, [](int b) -> C { return Alloc(b); })},
        {2, rc::gen::map(genBuf, [](int b) -> C { return Free(b); })},
        {4, rc::gen::map(genBuf, [](int b) -> C { return Register(b); })},
        {3, rc::gen::map(genBuf, [](int b) -> C { return Unregister(b); })},
        {4, rc::gen::apply([](int b, int u) -> C { return Lock(b, u); }, genBuf, genLockUsage)},
        {4, rc::gen::map(genBuf, [](int b) -> C { return Unlock(b); })},
        {2, rc::gen::apply([](int b, int u) -> C { return Map(b, u); }, genBuf, genMapUsage)},
        {2, rc::gen::map(genBuf, [](int b) -> C { return Unmap(b); })},
        {6, rc::gen::apply([](int b, int p, bool w) -> C { return GpuBegin(b, p, w); }, genBuf, genPlane,
                           rc::gen::arbitrary<bool>())},
        {2, rc::gen::apply([](int b, int p) -> C { return GpuComplete(b, p); }, genBuf, genPlane)},
        {2, rc::gen::apply([](bool u, int n) -> C { return FailNext(u, n); }, rc::gen::arbitrary<bool>(),
                           rc::gen::inRange(1, 3))},
        {1, rc::gen::map(genBuf, [](int b) -> C { return Post2(b); })},
        {1, rc::gen::just<C>(WorkerRun())},
    });
}

Model Initial(const std::vector<std::pair<Kind, int>> &asKinds) {
    Model m;
    for (const auto &s : asKinds) {
        Buf sBuf;
        sBuf.kind = s.first;
        sBuf.planes = Foreign(sBuf) ? s.second : 1;
        /* A display buffer's entry is the framebuffer device's from its open. */
        if (sBuf.kind == Kind::Display) sBuf.present = sBuf.registered = true;
        m.bufs.push_back(sBuf);
    }
    return m;
}

}  // namespace model
