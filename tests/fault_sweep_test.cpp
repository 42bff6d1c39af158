/* One standard scenario of a compositor and a client, run once cleanly to count every vendor
   call and every allocation the module makes, then once per failure point with that one call
   failing, each run in processes of its own so that a crash is seen as a failure. A run holds
   when the step that made the failing call answers one of its errors (or recovers as it should),
   the same step then succeeds when tried again, every other step succeeds, and at the end the
   simulated device holds nothing that the failed step was not allowed to keep.

   New operations join the scenario as rows of ScenarioSteps or ClientSteps below. */
#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <hardware/fb.h>
#include <hardware/gralloc.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "hal.h"
#include "handle_transport.h"
#include "platform_faults.h"
#include "zolsim/control.h"
#include "process_util.h"

namespace {

/* ---- Failure points ---- */

enum { kCompositor = 0, kClient = 1 };
/* The client's exit status when no buffer came. */
constexpr int kNoBuffer = 2;

struct FailurePoint {
    int iProcess = -1; /* -1: the clean run */
    std::string sFunction;
    unsigned uiNth = 0;
};

bool IsPlatformFunction(const std::string &sFunction) {
    for (unsigned i = 0; i < guiNumPlatformFunctions; i++)
        if (sFunction == gapszPlatformFunctions[i]) return true;
    return false;
}

/* Any non-zero code is a failure to the module; -1 is also "no device" for the counting call of
   ZOL2DEnumerateDevices and a time-out for an event wait. */
constexpr int kVendorFaultCode = -1;

unsigned CallsOf(const std::string &sFunction) {
    return IsPlatformFunction(sFunction) ? PlatformCalls(sFunction.c_str()) : zolsim_calls(sFunction.c_str());
}

/* ---- Reporting from the scenario's processes: one line per finding over a pipe ---- */

int giReportFd = -1;

void Report(const std::string &sLine) {
    std::string s = sLine + "\n";
    /* Short lines: each write arrives whole even with two processes writing. */
    if (write(giReportFd, s.data(), s.size()) < 0) _exit(3);
}

[[noreturn]] void Violation(const std::string &sWhat) {
    Report("VIOLATION " + sWhat);
    _exit(1);
}

/* ---- Steps ---- */

struct Step {
    std::string sName;
    std::function<int()> pfnRun;
    /* The results the step may answer when it made the failing call. */
    std::vector<int> aiErrors;
    /* After a failure the step is tried again, and must succeed. A step whose failure already
       finished its work (an unlock whose cache clean failed has given the lock back), or left it
       to the release worker (a free or an unregistration whose release failed), is not: Android
       does not call either again, and the end of the run shows that nothing is left. */
    bool bRetry = true;
};

/* Runs the steps against one failure point of this process. */
class StepRunner {
public:
    explicit StepRunner(const FailurePoint &sPoint, int iProcess)
        : sPoint_(sPoint), bMine_(sPoint.iProcess == iProcess) {}

    bool Fired() const { return bMine_ && CallsOf(sPoint_.sFunction) >= sPoint_.uiNth; }

    /* Returns true when this step made the failing call. */
    bool Run(const Step &sStep) {
        bool bBefore = Fired();
        int iResult = sStep.pfnRun();
        bool bHere = !bBefore && Fired();
        if (!bHere) {
            if (iResult != 0)
                Violation(sStep.sName + " answered " + std::to_string(iResult) + Where() + ", expected 0");
            return false;
        }
        sFailedStep_ = sStep.sName;
        if (iResult == 0) return true; /* the failure was absorbed: a lock's wait counts a time-out */
        bool bKnown = false;
        for (int iErr : sStep.aiErrors) bKnown |= iErr == iResult;
        /* pthread_create's own error number comes back positive, unchanged. */
        if (!bKnown)
            Violation(sStep.sName + " answered " + std::to_string(iResult) + Where() + ", expected one of its errors");
        if (sStep.bRetry) {
            int iRetry = sStep.pfnRun();
            if (iRetry != 0)
                Violation(sStep.sName + " tried again after " + std::to_string(iResult) + " answered " +
                          std::to_string(iRetry) + Where() + ", expected 0");
        }
        return true;
    }

    std::string Where() const {
        if (sPoint_.iProcess < 0) return " in the clean run";
        return " with " + sPoint_.sFunction + " call " + std::to_string(sPoint_.uiNth) + " of process " +
               std::to_string(sPoint_.iProcess) + " failing";
    }

    const std::string &FailedStep() const { return sFailedStep_; }
    const std::string &FailedFunction() const { return sPoint_.sFunction; }

private:
    FailurePoint sPoint_;
    bool bMine_;
    std::string sFailedStep_;
};

/* The present mode the scenario's compositor opens the display in: HAL_PRESENT_MODE_FLIP (0),
   _BLIT (1) or _FRONT (2). Set before the scenario's processes are forked. */
int giPresentMode = 0;

void ArmFailurePoint(const FailurePoint &sPoint, int iProcess) {
    zolsim_reset();
    zolsim_set_wait_timeout_ms(2);
    zolsim_set_app_hint("HALPresentMode", (VEK_UINT32)giPresentMode);
    PlatformFaultsReset();
    if (sPoint.iProcess != iProcess) return;
    if (IsPlatformFunction(sPoint.sFunction))
        PlatformFaultArm(sPoint.sFunction.c_str(), sPoint.uiNth);
    else
        zolsim_fail(sPoint.sFunction.c_str(), sPoint.uiNth, kVendorFaultCode);
}

void ReportCalls(int iProcess) {
    std::stringstream sNames(zolsim_call_names());
    std::string sName;
    while (std::getline(sNames, sName, ','))
        Report("CALLS " + std::to_string(iProcess) + " " + sName + " " + std::to_string(zolsim_calls(sName.c_str())));
    for (unsigned i = 0; i < guiNumPlatformFunctions; i++)
        Report("CALLS " + std::to_string(iProcess) + " " + gapszPlatformFunctions[i] + " " +
               std::to_string(PlatformCalls(gapszPlatformFunctions[i])));
}

/* Loads the module as Android does; the constructors start it up. */
const hw_module_t *LoadModule() {
    const hw_module_t *psModule = nullptr;
    if (hw_get_module(GRALLOC_HARDWARE_MODULE_ID, &psModule) != 0) Violation("the loader did not find the module");
    return psModule;
}

/* After the module is unloaded: nothing live, no descriptor left open, beyond what a failed
   shut-down step leaves to the process's exit. */
void CheckNothingLive(const StepRunner &sRunner, bool bShutDownFailed, unsigned uiFdsBefore) {
    /* A failure is no excuse for calls the real libraries would refuse. */
    if (zolsim_misuse_count() != 0) {
        std::string sText = zolsim_misuse_text(), sFirst;
        std::stringstream sLines(sText);
        for (std::string sLine; sFirst.empty() && std::getline(sLines, sLine);) sFirst = sLine;
        if (!sFirst.empty())
            Violation("misuse" + sRunner.Where() +
                      (sRunner.FailedStep().empty() ? "" : " (failed in " + sRunner.FailedStep() + ")") + ": " +
                      sFirst);
    }
    for (unsigned i = 0; i < zolsim_live_kind_count; i++) {
        const ZOLSIM_LIVE_KIND &s = zolsim_live_kinds[i];
        unsigned uiLive = s.pfnCount();
        /* A failed shut-down step skips the ones after it: the connection and what it holds
           stay until the process exits. */
        bool bKeptByShutDown =
            bShutDownFailed && (strcmp(s.pszWhat, "2D contexts") == 0 || strcmp(s.pszWhat, "connections") == 0 ||
                                strcmp(s.pszWhat, "memory contexts") == 0 || strcmp(s.pszWhat, "mutexes") == 0);
        /* The video pool's flip chain that could not be destroyed at unload keeps its three
           buffers. */
        bool bKeptChain = bShutDownFailed && sRunner.FailedFunction() == "ZOL2DDestroyFlipChain" &&
                          ((strcmp(s.pszWhat, "flip chains") == 0 && uiLive == 1) ||
                           (strcmp(s.pszWhat, "allocations") == 0 && uiLive == 3));
        if (bKeptChain) continue;
        if (uiLive != 0 && !(bKeptByShutDown && uiLive == 1))
            Violation(std::to_string(uiLive) + " " + s.pszWhat + " live at the end" + sRunner.Where() +
                      (sRunner.FailedStep().empty() ? "" : " (failed in " + sRunner.FailedStep() + ")") +
                      ", expected none");
    }
    unsigned uiFdsAfter = OpenDescriptorCount();
    if (uiFdsAfter != uiFdsBefore && !bShutDownFailed)
        Violation(std::to_string(uiFdsAfter) + " descriptors open at the end" + sRunner.Where() + ", expected " +
                  std::to_string(uiFdsBefore));
}

/* ---- The client: a second process that uses a buffer it received ---- */

std::vector<Step> ClientSteps(const gralloc_module_t *psGralloc, native_handle_t *psHandle,
                              const BufferDescription &sDescription) {
    static void *apvPlanes[3];
    return {
        {"client registerBuffer", [=] { return psGralloc->registerBuffer(psGralloc, psHandle); }, {-EFAULT}},
        {"client lock for reading",
         [=] {
             return psGralloc->lock(psGralloc, psHandle, GRALLOC_USAGE_SW_READ_OFTEN, 0, 0, sDescription.iWidth,
                                    sDescription.iHeight, apvPlanes);
         },
         {-EFAULT}},
        {"client reads the allocator's pixels",
         [=] {
             const unsigned *pui = static_cast<const unsigned *>(apvPlanes[0]);
             for (int y = 0; y < sDescription.iHeight; y++)
                 for (int x = 0; x < sDescription.iWidth; x++)
                     if (pui[y * sDescription.iStride + x] != (unsigned)(y * 65536 + x)) return -EIO;
             return 0;
         },
         {}},
        {"client unlock", [=] { return psGralloc->unlock(psGralloc, psHandle); }, {-EFAULT}, false},
        {"client unregisterBuffer", [=] { return psGralloc->unregisterBuffer(psGralloc, psHandle); }, {-EFAULT}, false},
    };
}

[[noreturn]] void RunClient(const FailurePoint &sPoint, int iSocket) {
    alarm(20);
    unsigned uiFdsBefore = OpenDescriptorCount();
    ArmFailurePoint(sPoint, kClient);
    StepRunner sRunner(sPoint, kClient);

    BufferDescription sDescription;
    native_handle_t *psHandle = ReceiveBufferHandle(iSocket, &sDescription);
    /* No buffer comes when the compositor could not start: it judges that itself. */
    if (psHandle == nullptr) _exit(kNoBuffer);

    const hw_module_t *psModule = LoadModule();
    bool bStarted = zolsim_live_mutexes() != 0;
    if (sRunner.Fired() && bStarted) Violation("the client's module started up" + sRunner.Where());
    if (!sRunner.Fired() && !bStarted) Violation("the client's module did not start up" + sRunner.Where());
    const gralloc_module_t *psGralloc = reinterpret_cast<const gralloc_module_t *>(psModule);

    if (bStarted) {
        for (const Step &sStep : ClientSteps(psGralloc, psHandle, sDescription)) sRunner.Run(sStep);
    } else if (psGralloc->registerBuffer(psGralloc, psHandle) != -ENOTTY) {
        Violation("the client's registerBuffer did not answer -ENOTTY after a failed start-up" + sRunner.Where());
    }

    bool bShutDownFailed = false;
    if (bStarted) {
        bool bBefore = sRunner.Fired();
        dlclose(psModule->dso);
        bShutDownFailed = !bBefore && sRunner.Fired();
    } else {
        dlclose(psModule->dso);
    }
    native_handle_close(psHandle);
    native_handle_delete(psHandle);
    if (sPoint.iProcess < 0) ReportCalls(kClient);
    CheckNothingLive(sRunner, bShutDownFailed, uiFdsBefore);
    _exit(0);
}

/* ---- The compositor: allocates, shares a buffer, waits on the GPU, frees ---- */

struct Compositor {
    const hw_module_t *psModule = nullptr;
    const gralloc_module_t *psGralloc = nullptr;
    alloc_device_t *psAlloc = nullptr;
    framebuffer_device_t *psFb = nullptr;
    std::vector<buffer_handle_t> ahBuffers;        /* one of every registered format */
    std::vector<buffer_handle_t> ahDisplayBuffers; /* the flip chain's */
    buffer_handle_t hVideo = nullptr;              /* an NV12 buffer for the composer */
    std::vector<unsigned> auiCopy;                 /* caller memory a Blit writes */
    bool bCompositionGaveUp = false;
    int iSharedStride = 0;
    pid_t iClient = -1;
    int iSocket = -1;
};

constexpr int kWidth = 64, kHeight = 32;
constexpr int kUsage =
    GRALLOC_USAGE_SW_READ_OFTEN | GRALLOC_USAGE_SW_WRITE_OFTEN | GRALLOC_USAGE_HW_TEXTURE | GRALLOC_USAGE_HW_RENDER;
/* The default app hints ask for a flip chain of two; the front buffer is one. */
int DisplayBuffers() { return giPresentMode == 2 ? 1 : 2; }
/* The video format "C110_NV12", from the range Android leaves to the HAL. */
constexpr int kNV12 = 0x100;
/* True in the counting run, where nothing fails. */
bool gbCleanRun = false;

VEK_UINT64 StampOf(buffer_handle_t h) { return reinterpret_cast<const VEK_native_handle_t *>(h)->ui64Stamp; }

/* A bypassed post of the last display buffer, then Post2 of the buffer it kept and of hAlso, if
   any. */
int BypassedPostThenPost2(Compositor &c, buffer_handle_t hAlso) {
    VEK_framebuffer_device_public_t *psPublic = reinterpret_cast<VEK_framebuffer_device_public_t *>(c.psFb);
    psPublic->bBypassPost = 1;
    int iErr = c.psFb->post(c.psFb, c.ahDisplayBuffers.back());
    psPublic->bBypassPost = 0;
    if (iErr != 0) return iErr;
    buffer_handle_t ah[2] = {nullptr, hAlso};
    iErr = psPublic->Post2(c.psFb, ah, hAlso != nullptr ? 2 : 1, nullptr, 0);
    /* Without a flip chain Post2 refuses before it calls anything. The mode is the one the open
       read (flip when the hint could not be). */
    const VEK_gralloc_module_t *psModule = reinterpret_cast<const VEK_gralloc_module_t *>(c.psModule);
    if (psModule->sPrivateData.sAppHints.eHALPresentMode != HAL_PRESENT_MODE_FLIP) return iErr == -EFAULT ? 0 : -EPROTO;
    return iErr;
}

std::vector<Step> ScenarioSteps(Compositor &c) {
    std::vector<Step> asSteps;
    asSteps.push_back({"open gpu0",
                       [&c] {
                           hw_device_t *psDevice = nullptr;
                           int iErr = c.psModule->methods->open(c.psModule, GRALLOC_HARDWARE_GPU0, &psDevice);
                           c.psAlloc = reinterpret_cast<alloc_device_t *>(psDevice);
                           return iErr;
                       },
                       {-ENOMEM}});
    asSteps.push_back({"open fb0",
                       [&c] {
                           hw_device_t *psDevice = nullptr;
                           int iErr = c.psModule->methods->open(c.psModule, GRALLOC_HARDWARE_FB0, &psDevice);
                           c.psFb = reinterpret_cast<framebuffer_device_t *>(psDevice);
                           return iErr;
                       },
                       {-EFAULT, -ENOMEM}});

    const VEK_gralloc_module_t *psHMI = reinterpret_cast<const VEK_gralloc_module_t *>(c.psModule);
    for (const VEK_buffer_format_public_t *ps = psHMI->GetBufferFormats(); ps != nullptr; ps = ps->psNext) {
        int iFormat = ps->iHalPixelFormat;
        asSteps.push_back({std::string("alloc ") + ps->szName,
                           [&c, iFormat] {
                               buffer_handle_t h = nullptr;
                               int iStride = 0;
                               int iErr = c.psAlloc->alloc(c.psAlloc, kWidth, kHeight, iFormat, kUsage, &h, &iStride);
                               if (iErr == 0) c.ahBuffers.push_back(h);
                               if (iErr == 0 && iFormat == HAL_PIXEL_FORMAT_BGRA_8888) c.iSharedStride = iStride;
                               return iErr;
                           },
                           {-ENOMEM, -EFAULT}});
    }
    for (int i = 0; i < DisplayBuffers(); i++) {
        asSteps.push_back({"alloc display buffer " + std::to_string(i),
                           [&c] {
                               buffer_handle_t h = nullptr;
                               int iStride = 0;
                               int iErr = c.psAlloc->alloc(c.psAlloc, c.psFb->width, c.psFb->height, c.psFb->format,
                                                           GRALLOC_USAGE_HW_FB | GRALLOC_USAGE_HW_RENDER, &h, &iStride);
                               if (iErr == 0) c.ahDisplayBuffers.push_back(h);
                               return iErr;
                           },
                           {}});
    }

    /* The first buffer (BGRA 8888, the first registered format) is shared with the client. */
    asSteps.push_back({"lock the shared buffer for writing",
                       [&c] {
                           void *apv[3] = {};
                           int iErr = c.psGralloc->lock(c.psGralloc, c.ahBuffers[0], GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0,
                                                        kWidth, kHeight, apv);
                           if (iErr != 0) return iErr;
                           unsigned *pui = static_cast<unsigned *>(apv[0]);
                           for (int y = 0; y < kHeight; y++)
                               for (int x = 0; x < kWidth; x++)
                                   pui[y * c.iSharedStride + x] = (unsigned)(y * 65536 + x);
                           return 0;
                       },
                       {}});
    asSteps.push_back({"unlock the shared buffer (cache clean)",
                       [&c] { return c.psGralloc->unlock(c.psGralloc, c.ahBuffers[0]); },
                       {-EFAULT},
                       false});
    asSteps.push_back(
        {"send the shared buffer to the client",
         [&c] {
             BufferDescription sDescription = {kWidth, kHeight, c.iSharedStride, HAL_PIXEL_FORMAT_BGRA_8888, kUsage};
             return SendBufferHandle(c.iSocket, c.ahBuffers[0], sDescription);
         },
         {}});
    asSteps.push_back({"the client finishes",
                       [&c] {
                           int iStatus = 0;
                           if (waitpid(c.iClient, &iStatus, 0) != c.iClient) return -ECHILD;
                           c.iClient = -1;
                           return WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0 ? 0 : -EIO;
                       },
                       {}});

    /* The GPU still reads and writes the buffer when the lock comes; it finishes during the
       lock's first wait. */
    asSteps.push_back({"lock for writing while the GPU uses the buffer",
                       [&c] {
                           const ZOLSRV_CLIENT_MEM_INFO *psMem = zolsim_meminfo_by_stamp(StampOf(c.ahBuffers[1]));
                           zolsim_gpu_add_ops(psMem, 1, 1, 1);
                           zolsim_gpu_complete_on_next_wait(psMem);
                           void *apv[3] = {};
                           return c.psGralloc->lock(c.psGralloc, c.ahBuffers[1],
                                                    GRALLOC_USAGE_SW_READ_OFTEN | GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0,
                                                    kWidth, kHeight, apv);
                       },
                       {}});
    asSteps.push_back({"unlock after the write (cache clean)",
                       [&c] { return c.psGralloc->unlock(c.psGralloc, c.ahBuffers[1]); },
                       {-EFAULT},
                       false});
    asSteps.push_back({"map by stamp",
                       [&c, psHMI] {
                           ZOLSRV_CLIENT_MEM_INFO *apsMem[3] = {};
                           return psHMI->map(c.psGralloc, StampOf(c.ahBuffers[1]), GRALLOC_USAGE_HW_TEXTURE, apsMem);
                       },
                       {}});
    asSteps.push_back(
        {"unmap by stamp", [&c, psHMI] { return psHMI->unmap(c.psGralloc, StampOf(c.ahBuffers[1])); }, {}});

    /* The display: the swap interval, a post (a flip, a blit to the screen, or nothing for the
       front buffer), then a composer's video buffer (a pair lent from the display-owned pool)
       swapped together with a buffer a bypassed post kept, which only a flip chain can do. */
    asSteps.push_back(
        {"setSwapInterval", [&c] { return c.psFb->setSwapInterval(c.psFb, c.psFb->maxSwapInterval); }, {-EFAULT}});
    asSteps.push_back(
        {"post a display buffer", [&c] { return c.psFb->post(c.psFb, c.ahDisplayBuffers[0]); }, {-EFAULT}});
    asSteps.push_back({"alloc an NV12 buffer for the composer",
                       [&c] {
                           buffer_handle_t h = nullptr;
                           int iStride = 0;
                           int iErr =
                               c.psAlloc->alloc(c.psAlloc, kWidth, kHeight, kNV12,
                                                GRALLOC_USAGE_HW_COMPOSER | GRALLOC_USAGE_HW_TEXTURE, &h, &iStride);
                           if (iErr == 0) c.hVideo = h;
                           return iErr;
                       },
                       {-ENOMEM, -EFAULT}});
    asSteps.push_back({"the clean run lends the composer a display-owned pair",
                       [&c] {
                           /* A failing pool (or its first use) leaves ordinary planes instead. */
                           bool bLent = (reinterpret_cast<const VEK_native_handle_t *>(c.hVideo)->usage &
                                         GRALLOC_USAGE_PRIVATE_1) != 0;
                           return bLent || !gbCleanRun ? 0 : -ENOENT;
                       },
                       {}});
    asSteps.push_back({"bypassed post, then Post2 of the kept buffer and the NV12 planes",
                       [&c] { return BypassedPostThenPost2(c, c.hVideo); },
                       {-EFAULT, -ENOMEM}});
    /* The next frame shows the kept buffer alone: the display reads the video planes no more, so
       that their buffer can go at once, as a compositor frees the buffers of a frame it has
       replaced. */
    asSteps.push_back({"the next frame: bypassed post, then Post2 of the kept buffer alone",
                       [&c] { return BypassedPostThenPost2(c, nullptr); },
                       {-EFAULT, -ENOMEM}});
    /* A failed composition gives the GLES driver up for the process: later calls answer 0 and
       flush nothing. So it is not tried again here; the next step checks the giving up. */
    asSteps.push_back({"compositionComplete",
                       [&c] {
                           int iErr = c.psFb->compositionComplete(c.psFb);
                           c.bCompositionGaveUp = iErr != 0;
                           return iErr;
                       },
                       {-EFAULT, -EAGAIN},
                       false});
    asSteps.push_back({"compositionComplete again (flushes, or has given up)",
                       [&c] {
                           unsigned uiFlushes = zolsim_calls("pfnGLESFlushBuffersGCNoContext");
                           int iErr = c.psFb->compositionComplete(c.psFb);
                           if (iErr != 0) {
                               c.bCompositionGaveUp = true;
                               return iErr;
                           }
                           unsigned uiMade = zolsim_calls("pfnGLESFlushBuffersGCNoContext") - uiFlushes;
                           return uiMade == (c.bCompositionGaveUp ? 0u : 1u) ? 0 : -EPROTO;
                       },
                       {-EAGAIN}});
    asSteps.push_back({"Blit into caller memory",
                       [&c, psHMI] {
                           c.auiCopy.assign((size_t)c.iSharedStride * kHeight, 0);
                           void *apvDest[3] = {c.auiCopy.data(), nullptr, nullptr};
                           int iErr =
                               psHMI->base.Blit(&psHMI->base, c.ahBuffers[0], apvDest, HAL_PIXEL_FORMAT_BGRA_8888);
                           if (iErr != 0) return iErr;
                           for (int y = 0; y < kHeight; y++)
                               for (int x = 0; x < kWidth; x++)
                                   if (c.auiCopy[(size_t)(y * c.iSharedStride + x)] != (unsigned)(y * 65536 + x))
                                       return -EIO;
                           return 0;
                       },
                       {-EINVAL, -EFAULT}});
    asSteps.push_back({"Blit2 into a display buffer",
                       [&c, psHMI] {
                           return psHMI->base.Blit2(&psHMI->base, c.ahBuffers[0], c.ahDisplayBuffers[0], kWidth,
                                                    kHeight, 8, 4);
                       },
                       {-EFAULT}});

    /* Free steps are made per buffer now; the buffers themselves are known once allocated. */
    unsigned uiNumFormats = 0;
    for (const VEK_buffer_format_public_t *ps = psHMI->GetBufferFormats(); ps != nullptr; ps = ps->psNext)
        uiNumFormats++;
    for (unsigned i = 0; i < uiNumFormats; i++) {
        asSteps.push_back({"free buffer " + std::to_string(i),
                           [&c, i] { return c.psAlloc->free(c.psAlloc, c.ahBuffers[i]); },
                           {-EFAULT, -ENOMEM},
                           false});
    }
    asSteps.push_back(
        {"free the composer's NV12 buffer", [&c] { return c.psAlloc->free(c.psAlloc, c.hVideo); }, {-EFAULT}, false});
    for (int i = 0; i < DisplayBuffers(); i++) {
        asSteps.push_back({"free display buffer " + std::to_string(i),
                           [&c, i] { return c.psAlloc->free(c.psAlloc, c.ahDisplayBuffers[(size_t)i]); },
                           {}});
    }
    asSteps.push_back({"close fb0", [&c] { return c.psFb->common.close(&c.psFb->common); }, {-EFAULT}});
    asSteps.push_back({"close gpu0", [&c] { return c.psAlloc->common.close(&c.psAlloc->common); }, {}});
    return asSteps;
}

[[noreturn]] void RunCompositor(const FailurePoint &sPoint) {
    alarm(20); /* a hang is a failure too */
    Compositor c;
    unsigned uiFdsBefore = OpenDescriptorCount();
    int aiSockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, aiSockets) != 0) Violation("socketpair");
    /* The client is forked before either process loads the module, so each starts it up alone. */
    c.iClient = fork();
    if (c.iClient < 0) Violation("fork of the client");
    if (c.iClient == 0) {
        close(aiSockets[0]);
        RunClient(sPoint, aiSockets[1]);
    }
    close(aiSockets[1]);
    c.iSocket = aiSockets[0];

    ArmFailurePoint(sPoint, kCompositor);
    StepRunner sRunner(sPoint, kCompositor);
    gbCleanRun = sPoint.iProcess < 0;

    c.psModule = LoadModule();
    c.psGralloc = reinterpret_cast<const gralloc_module_t *>(c.psModule);
    bool bStarted = zolsim_live_mutexes() != 0;
    if (sRunner.Fired() && bStarted) Violation("the module started up" + sRunner.Where());
    if (!sRunner.Fired() && !bStarted) Violation("the module did not start up" + sRunner.Where());

    if (bStarted) {
        for (const Step &sStep : ScenarioSteps(c)) sRunner.Run(sStep);
    } else {
        /* A failed start-up leaves the module unusable, and says so. */
        hw_device_t *psDevice = nullptr;
        if (c.psModule->methods->open(c.psModule, GRALLOC_HARDWARE_GPU0, &psDevice) != -ENOTTY ||
            c.psModule->methods->open(c.psModule, GRALLOC_HARDWARE_FB0, &psDevice) != -ENOTTY)
            Violation("open did not answer -ENOTTY after a failed start-up" + sRunner.Where());
    }
    if (c.iClient > 0) {
        /* The client waits for a buffer that will not come. */
        shutdown(c.iSocket, SHUT_RDWR);
        int iStatus = 0;
        waitpid(c.iClient, &iStatus, 0);
        if (bStarted || !WIFEXITED(iStatus) || WEXITSTATUS(iStatus) != kNoBuffer)
            Violation("the client did not finish" + sRunner.Where());
    }
    close(c.iSocket);

    bool bBefore = sRunner.Fired();
    dlclose(c.psModule->dso);
    bool bShutDownFailed = !bBefore && sRunner.Fired();
    if (sPoint.iProcess < 0) ReportCalls(kCompositor);
    CheckNothingLive(sRunner, bShutDownFailed, uiFdsBefore);
    _exit(0);
}

/* ---- The driver ---- */

struct RunResult {
    bool bPassed = false;
    std::vector<std::string> asViolations;
    std::map<std::pair<int, std::string>, unsigned> mCalls;
    std::string sExit;
};

RunResult RunScenario(const FailurePoint &sPoint) {
    RunResult sResult;
    int aiPipe[2];
    if (pipe(aiPipe) != 0) {
        sResult.sExit = "pipe failed";
        return sResult;
    }
    fflush(nullptr);
    pid_t iChild = fork();
    if (iChild == 0) {
        close(aiPipe[0]);
        giReportFd = aiPipe[1];
        RunCompositor(sPoint);
    }
    close(aiPipe[1]);
    std::string sText;
    char acBuffer[4096];
    ssize_t iRead;
    while ((iRead = read(aiPipe[0], acBuffer, sizeof(acBuffer))) > 0) sText.append(acBuffer, (size_t)iRead);
    close(aiPipe[0]);
    int iStatus = 0;
    waitpid(iChild, &iStatus, 0);

    std::stringstream sLines(sText);
    std::string sLine;
    while (std::getline(sLines, sLine)) {
        std::stringstream sWords(sLine);
        std::string sKind;
        sWords >> sKind;
        if (sKind == "CALLS") {
            int iProcess;
            std::string sName;
            unsigned uiCount;
            sWords >> iProcess >> sName >> uiCount;
            sResult.mCalls[{iProcess, sName}] = uiCount;
        } else {
            sResult.asViolations.push_back(sLine);
        }
    }
    if (WIFSIGNALED(iStatus))
        sResult.sExit = std::string("killed by signal ") + strsignal(WTERMSIG(iStatus));
    else if (!WIFEXITED(iStatus) || WEXITSTATUS(iStatus) != 0)
        sResult.sExit = "exited with " + std::to_string(WEXITSTATUS(iStatus));
    sResult.bPassed = sResult.sExit.empty() && sResult.asViolations.empty();
    return sResult;
}

std::string Describe(const FailurePoint &sPoint) {
    return sPoint.sFunction + " call " + std::to_string(sPoint.uiNth) + " in " +
           (sPoint.iProcess == kCompositor ? "the compositor" : "the client");
}

/* Sweeps every failure point the clean run shows for functions chosen by pfnWanted. */
void Sweep(const char *pszWhat, bool (*pfnWanted)(const std::string &)) {
    RunResult sClean = RunScenario(FailurePoint());
    ASSERT_TRUE(sClean.bPassed) << "the scenario must pass without faults: " << sClean.sExit << " "
                                << (sClean.asViolations.empty() ? "" : sClean.asViolations[0]);
    ASSERT_FALSE(sClean.mCalls.empty()) << "the clean run must report its calls";

    unsigned uiPoints = 0, uiFunctions = 0;
    for (const auto &sEntry : sClean.mCalls) {
        if (!pfnWanted(sEntry.first.second) || sEntry.second == 0) continue;
        uiFunctions++;
        for (unsigned uiNth = 1; uiNth <= sEntry.second; uiNth++) {
            FailurePoint sPoint;
            sPoint.iProcess = sEntry.first.first;
            sPoint.sFunction = sEntry.first.second;
            sPoint.uiNth = uiNth;
            RunResult sRun = RunScenario(sPoint);
            uiPoints++;
            EXPECT_TRUE(sRun.bPassed) << "with " << Describe(sPoint) << " failing: " << sRun.sExit << " "
                                      << (sRun.asViolations.empty() ? "" : sRun.asViolations[0]);
        }
    }
    static const char *const apszModes[] = {"flip", "blit", "front"};
    printf("fault sweep: %u failure points of %s (%u functions in two processes), %s mode\n", uiPoints, pszWhat,
           uiFunctions, apszModes[giPresentMode]);
    EXPECT_GT(uiPoints, 0u) << "the scenario must make calls of " << pszWhat;
}

bool IsVendorCall(const std::string &s) { return !IsPlatformFunction(s); }
bool IsModuleAllocation(const std::string &s) { return IsPlatformFunction(s); }

/* The scenario in each present mode, so that every vendor call of each mode's open, posts, close
   and blits fails once. */
class FaultSweep : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { giPresentMode = GetParam(); }
};

TEST_P(FaultSweep, EveryVendorCallFailureIsReportedAndLeavesNothingLive) { Sweep("vendor calls", IsVendorCall); }

TEST_P(FaultSweep, EveryAllocationFailureIsReportedAndLeavesNothingLive) {
    Sweep("malloc, calloc and native_handle_create", IsModuleAllocation);
}

std::string ModeName(const ::testing::TestParamInfo<int> &sInfo) {
    static const char *const apszModes[] = {"Flip", "Blit", "Front"};
    return apszModes[sInfo.param];
}

INSTANTIATE_TEST_SUITE_P(PresentModes, FaultSweep, ::testing::Values(0, 1, 2), ModeName);

}  // namespace
