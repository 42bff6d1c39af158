/* Leaks: thousands of allocations, locks and frees in this process, blits into caller memory, and
   registrations and unregistrations in a client process leave each process as it was: the same
   open descriptors, the same dump, the same heap and mapped memory, within a few kilobytes. */
#include <errno.h>

#include "client.h"
#include "groups.h"

namespace conformance {
namespace {

/* One cycle of the kind the check repeats: 0, or the first failing call's answer with its name. */
struct Failures {
    int iCount = 0, iFirstErr = 0;
    std::string sFirst;
    void Add(int iErr, const char *pszWhat) {
        if (iErr == 0 || iCount++ != 0) return;
        iFirstErr = iErr;
        sFirst = pszWhat;
    }
};

void AllocCycle(const Module &m, const KnownFormat &f, int iUsage, Failures *ps) {
    Buffer b(m.psAlloc, 64, 48, f.iHal, iUsage);
    ps->Add(b.iErr, "alloc");
    if (b.iErr != 0) return;
    void *apv[3];
    int iErr = LockWhole(m.psGralloc, b.h, GRALLOC_USAGE_SW_WRITE_OFTEN, apv);
    ps->Add(iErr, "lock");
    if (iErr == 0) {
        static_cast<uint8_t *>(apv[0])[0] = 0x5a;
        ps->Add(m.psGralloc->unlock(m.psGralloc, b.h), "unlock");
    }
    ps->Add(b.Free(), "free");
}

void CheckAllocCycles(const Module &m, int iCycles) {
    const std::vector<KnownFormat> asFormats = ListedFormats(m);
    Check c("alloc_lock_free");
    if (!c.Expect(!asFormats.empty(), "the module lists no format this program knows")) return;
    /* Every format and both kinds of video buffer (lent and allocated), in turn. */
    auto fnCycle = [&](int i, Failures *ps) {
        const KnownFormat &f = asFormats[(size_t)i % asFormats.size()];
        const int iUsage =
            (i / (int)asFormats.size()) % 2 ? GRALLOC_USAGE_HW_COMPOSER : kSwUsage | GRALLOC_USAGE_HW_TEXTURE;
        AllocCycle(m, f, iUsage, ps);
    };
    Failures sWarm, sFailures;
    for (int i = 0; i < 2 * (int)asFormats.size(); i++) fnCycle(i, &sWarm);
    const ProcessState sBefore = MeasureProcess(m.psAlloc);
    for (int i = 0; i < iCycles; i++) fnCycle(i, &sFailures);
    const ProcessState sAfter = MeasureProcess(m.psAlloc);
    c.Expect(sWarm.iCount + sFailures.iCount == 0, "%d calls failed, the first a %s with %s",
             sWarm.iCount + sFailures.iCount, (sWarm.iCount ? sWarm : sFailures).sFirst.c_str(),
             ErrName((sWarm.iCount ? sWarm : sFailures).iFirstErr).c_str());
    ExpectSameState(&c, sBefore, sAfter, iCycles);
    c.Note("%d cycles over %zu formats; %u descriptors, %zu heap bytes, %zu mapped bytes before and after", iCycles,
           asFormats.size(), sAfter.uiFds, sAfter.uHeapBytes, sAfter.uMappedBytes);
}

void CheckBlitCycles(const Module &m, int iCycles) {
    Check c("blit_into_memory");
    Buffer b(m.psAlloc, 32, 32, 4, kSwUsage | GRALLOC_USAGE_HW_TEXTURE);
    if (!c.ExpectErr(0, b.iErr, "alloc")) return;
    std::vector<uint32_t> aui(32 * 32);
    void *apv[3] = {aui.data(), nullptr, nullptr};
    Failures sFailures;
    /* The first blits may make what the libraries keep for the life of the process (a queue, a
       record of calls): a leak grows with the cycles after them. */
    for (int i = 0; i < 64; i++) sFailures.Add(m.psPublic->Blit(m.psPublic, b.h, apv, 5), "Blit");
    const ProcessState sBefore = MeasureProcess(m.psAlloc);
    for (int i = 0; i < iCycles; i++) sFailures.Add(m.psPublic->Blit(m.psPublic, b.h, apv, 5), "Blit");
    const ProcessState sAfter = MeasureProcess(m.psAlloc);
    c.Expect(sFailures.iCount == 0, "%d blits failed, the first with %s", sFailures.iCount,
             ErrName(sFailures.iFirstErr).c_str());
    ExpectSameState(&c, sBefore, sAfter, iCycles);
    c.Note("%d blits", iCycles);
}

}  // namespace

void RunLeakGroup(const Options &sOptions) {
    Module m;
    if (!m.Load()) return;
    CheckAllocCycles(m, sOptions.iCycles);
    CheckBlitCycles(m, sOptions.iCycles / 8);
    Client sClient;
    if (!sClient.Start(sOptions)) return;
    const UsageClass asKinds[] = {{"mapped", kSwUsage | GRALLOC_USAGE_HW_TEXTURE},
                                  {"mapped_while_locked", GRALLOC_USAGE_HW_COMPOSER}};
    for (const UsageClass &s : asKinds) {
        Buffer b(m.psAlloc, 64, 48, 5, s.iUsage);
        if (b.iErr == 0)
            sClient.Call(kOpCycles, Format("register_unregister.%s", s.pszName), b.h, b.iStride, sOptions.iCycles, 0);
    }
}

}  // namespace conformance
