/* Timing, for the integrator's records: medians of the common operations as Android makes them.
   Nothing here is compared with a limit; a check fails only when an operation does. */
#include <errno.h>

#include "client.h"
#include "groups.h"

namespace conformance {
namespace {

/* Runs fnOnce iRuns times, timing each run; a run answers 0 or an error, which ends the check. */
template <typename Fn>
void Time(const char *pszName, const char *pszWhat, int iRuns, Fn fnOnce) {
    Check c(pszName);
    std::vector<double> adSeconds;
    for (int i = 0; i < iRuns; i++) {
        const double t0 = NowSeconds();
        const int iErr = fnOnce();
        adSeconds.push_back(NowSeconds() - t0);
        if (!c.ExpectErr(0, iErr, "run %d of %s", i + 1, pszWhat)) return;
    }
    c.Note("%s: %s", pszWhat, Describe(Summarise(adSeconds)).c_str());
}

int AllocFree(const Module &m, int w, int h) {
    Buffer b(m.psAlloc, w, h, 5, kSwUsage | GRALLOC_USAGE_HW_TEXTURE);
    return b.iErr != 0 ? b.iErr : b.Free();
}

int LockUnlock(const Module &m, buffer_handle_t h, int iUsage) {
    void *apv[3];
    int iErr = LockWhole(m.psGralloc, h, iUsage, apv);
    return iErr != 0 ? iErr : m.psGralloc->unlock(m.psGralloc, h);
}

}  // namespace

void RunTimingGroup(const Options &sOptions) {
    Module m;
    if (!m.Load()) return;
    Time("alloc_free.64x64", "alloc + free of 64 x 64 BGRA_8888", 200, [&] { return AllocFree(m, 64, 64); });
    Time("alloc_free.1920x1080", "alloc + free of 1920 x 1080 BGRA_8888", 10, [&] { return AllocFree(m, 1920, 1080); });
    Buffer b(m.psAlloc, 64, 64, 5, kSwUsage | GRALLOC_USAGE_HW_TEXTURE);
    if (b.iErr == 0) {
        Time("lock_unlock.read", "lock + unlock for reading", 1000,
             [&] { return LockUnlock(m, b.h, GRALLOC_USAGE_SW_READ_OFTEN); });
        Time("lock_unlock.write", "lock + unlock for writing", 1000,
             [&] { return LockUnlock(m, b.h, GRALLOC_USAGE_SW_WRITE_OFTEN); });
    }
    Buffer window(m.psAlloc, 640, 480, 4, GRALLOC_USAGE_SW_WRITE_OFTEN | GRALLOC_USAGE_HW_TEXTURE);
    Buffer target(m.psAlloc, 800, 480, 4, GRALLOC_USAGE_HW_RENDER);
    if (window.iErr == 0 && target.iErr == 0)
        Time("blit2.640x480", "Blit2 of a 640 x 480 RGB_565 window into an 800 x 480 buffer", 10,
             [&] { return m.psPublic->Blit2(m.psPublic, window.h, target.h, 640, 480, 80, 0); });
    {
        Client sClient;
        if (sClient.Start(sOptions) && b.iErr == 0)
            sClient.Call(kOpCycles, "register_unregister", b.h, b.iStride, 200, 1);
    }
    Check c("post");
    if (!sOptions.bDisplay) {
        c.Skip("posting takes the screen: run with --display");
        return;
    }
    Display s;
    if (!c.ExpectErr(0, s.Open(m), "framebuffer_open") ||
        !c.Expect(!s.ahBuffers.empty(), "no display buffer: %s", ErrName(s.iTakeErr).c_str()))
        return;
    int iErr = 0;
    const std::vector<double> adSeconds = TimePosts(s, sOptions.iFrames, &iErr);
    if (c.ExpectErr(0, iErr, "post %zu of %d", adSeconds.size(), sOptions.iFrames))
        c.Note("%d frames: %s", sOptions.iFrames, DescribePosts(s, adSeconds).c_str());
}

}  // namespace conformance
