/* The display: fb0 as Android's compositor drives it. The device's description of the display,
   its buffers taken through the allocator device and given back, CPU access to them, composition
   into them with Blit2, compositionComplete, frames posted with the time per post set against the
   refresh rate at swap intervals 1 and 0, and Post2 of a display buffer with a video buffer. It
   takes the screen, so it runs only when the command line lets it. */
#include <errno.h>
#include <math.h>
#include <string.h>

#include "groups.h"

namespace conformance {

Display::~Display() { Close(); }

int Display::Open(const Module &m) {
    psModule = &m;
    int iErr = framebuffer_open(m.psModule, &psFb);
    if (iErr != 0) {
        psFb = nullptr;
        return iErr;
    }
    /* Until the allocator says no, as many as a flip chain could have. */
    for (int i = 0; i < 40; i++) {
        buffer_handle_t h = nullptr;
        int iErrTake = m.psAlloc->alloc(m.psAlloc, (int)psFb->width, (int)psFb->height, psFb->format,
                                        GRALLOC_USAGE_HW_FB, &h, &iStride);
        if (iErrTake != 0) {
            iTakeErr = iErrTake;
            break;
        }
        if (!ahBuffers.empty() && h == ahBuffers.front()) {
            bOneSlot = true;
            break;
        }
        ahBuffers.push_back(h);
    }
    return 0;
}

int Display::Close() {
    int iFirstErr = 0;
    for (buffer_handle_t h : ahBuffers) {
        int iErr = psModule->psAlloc->free(psModule->psAlloc, h);
        if (iFirstErr == 0) iFirstErr = iErr;
    }
    ahBuffers.clear();
    if (psFb != nullptr) {
        int iErr = framebuffer_close(psFb);
        if (iFirstErr == 0) iFirstErr = iErr;
        psFb = nullptr;
    }
    return iFirstErr;
}

std::vector<double> TimePosts(const Display &s, int iFrames, int *piErr) {
    std::vector<double> adSeconds;
    *piErr = 0;
    for (int i = 0; i < iFrames && !s.ahBuffers.empty(); i++) {
        const double t0 = NowSeconds();
        int iErr = s.psFb->post(s.psFb, s.ahBuffers[(size_t)i % s.ahBuffers.size()]);
        adSeconds.push_back(NowSeconds() - t0);
        if (iErr != 0) {
            *piErr = iErr;
            break;
        }
    }
    return adSeconds;
}

std::string DescribePosts(const Display &s, const std::vector<double> &adSeconds) {
    const Timing sTiming = Summarise(adSeconds);
    const double dPeriod = s.psFb->fps > 0 ? 1.0 / s.psFb->fps : 0;
    return Format("%s per post; the display refreshes every %.2f ms (%.3f fps), so a post takes %.2f refresh periods",
                  Describe(sTiming).c_str(), dPeriod * 1e3, s.psFb->fps, dPeriod > 0 ? sTiming.dMedian / dPeriod : 0);
}

namespace {

void CheckDescription(const Module &m, const Display &s) {
    Check c("describes_the_display");
    const framebuffer_device_t *psFb = s.psFb;
    const VEK_framebuffer_device_public_t *psPub = reinterpret_cast<const VEK_framebuffer_device_public_t *>(psFb);
    c.Expect(psFb->common.tag == 0x48574454, "tag 0x%08x, expected 0x48574454 (HWDT)", psFb->common.tag);
    c.Expect(psFb->common.module == m.psModule, "common.module is not the module record");
    c.Expect(psFb->common.close && psFb->post && psFb->setSwapInterval && psFb->compositionComplete && psPub->Post2,
             "a slot Android calls without a NULL check is NULL");
    c.Expect(psFb->width > 0 && psFb->height > 0, "the display is %u x %u", psFb->width, psFb->height);
    const KnownFormat *pf = FindKnownFormat(psFb->format);
    c.Expect(pf != nullptr && pf->bGPURenderable && IsRgb(pf->eLayout),
             "format %d is not a GPU-renderable RGB format of the module", psFb->format);
    c.Expect(psFb->stride >= (int)psFb->width, "stride %d pixels, narrower than the width %u", psFb->stride,
             psFb->width);
    c.Expect(psFb->xdpi > 0 && psFb->ydpi > 0, "%.2f x %.2f dpi", psFb->xdpi, psFb->ydpi);
    /* The refresh rate is kept in thousandths of a hertz before it becomes a float. */
    c.Expect(psFb->fps > 0 && fabs(psFb->fps * 1000 - round(psFb->fps * 1000)) < 0.05,
             "fps %.6f: not a rate in thousandths of a hertz", psFb->fps);
    c.Expect(psFb->minSwapInterval <= psFb->maxSwapInterval, "swap intervals %d..%d", psFb->minSwapInterval,
             psFb->maxSwapInterval);
    c.Expect(psPub->bBypassPost == 0, "bBypassPost is %d on a new device", psPub->bBypassPost);
    c.Expect(m.psHMI->base.psFrameBufferDevice == psPub, "the module record does not point at the open fb0");
    c.Note("%u x %u, format %d (%s), stride %d, %.3f fps, %.1f x %.1f dpi, swap interval %d..%d", psFb->width,
           psFb->height, psFb->format, pf ? pf->pszName : "?", psFb->stride, psFb->fps, psFb->xdpi, psFb->ydpi,
           psFb->minSwapInterval, psFb->maxSwapInterval);
}

void CheckBuffersTaken(const Display &s) {
    Check c("buffers_taken");
    c.Expect(s.bOneSlot || s.iTakeErr == -ENOMEM, "taking display buffers ended with %s, expected -12 (ENOMEM)",
             ErrName(s.iTakeErr).c_str());
    c.Expect(s.bOneSlot || s.ahBuffers.size() >= 2, "%zu display buffers: Android's framebuffer window takes two",
             s.ahBuffers.size());
    c.Expect(s.iStride == s.psFb->stride, "the allocator gave stride %d, the display's is %d", s.iStride,
             s.psFb->stride);
    const KnownFormat *pf = FindKnownFormat(s.psFb->format);
    for (size_t i = 0; i < s.ahBuffers.size(); i++) {
        const VEK_native_handle_t *ps = Vek(s.ahBuffers[i]);
        c.Expect(ps->base.version == 12 && ps->base.numFds == 1 && ps->base.numInts == 9,
                 "display buffer %zu: header %d, %d fds, %d ints", i, ps->base.version, ps->base.numFds,
                 ps->base.numInts);
        c.Expect(ps->fd[0] == -2 && ps->fd[1] == -2 && ps->fd[2] == -2,
                 "display buffer %zu has descriptors %d %d %d, expected -2 in each", i, ps->fd[0], ps->fd[1],
                 ps->fd[2]);
        c.Expect(ps->usage == GRALLOC_USAGE_HW_FB, "display buffer %zu has usage 0x%x", i, (unsigned)ps->usage);
        c.Expect(ps->iWidth == (int)s.psFb->width && ps->iHeight == (int)s.psFb->height &&
                     ps->iFormat == s.psFb->format && pf != nullptr && ps->uiBpp == pf->uiBpp,
                 "display buffer %zu says %d x %d, format %d, %u bpp", i, ps->iWidth, ps->iHeight, ps->iFormat,
                 ps->uiBpp);
        for (size_t j = 0; j < i; j++)
            c.Expect(Vek(s.ahBuffers[j])->ui64Stamp != ps->ui64Stamp, "display buffers %zu and %zu share a stamp", j,
                     i);
    }
    c.Note("%zu display buffer%s%s", s.ahBuffers.size(), s.ahBuffers.size() == 1 ? "" : "s",
           s.bOneSlot ? ", one slot answering every request" : "");
}

void CheckBuffersGivenBack(const Module &m, Display *ps) {
    Check c("buffers_given_back");
    alloc_device_t *psAlloc = m.psAlloc;
    buffer_handle_t hFirst = ps->ahBuffers.front();
    /* A copy of a display handle names no slot: the slot is known by its handle's address. */
    VEK_native_handle_t sCopy = *Vek(hFirst);
    c.ExpectErr(-EINVAL, psAlloc->free(psAlloc, &sCopy.base), "free of a copy of a display handle");
    c.ExpectErr(0, psAlloc->free(psAlloc, hFirst), "free of the first display buffer");
    c.ExpectErr(-EINVAL, psAlloc->free(psAlloc, hFirst), "a second free of it");
    c.ExpectErr(-EINVAL, ps->psFb->post(ps->psFb, hFirst), "post of a display buffer given back");
    buffer_handle_t h = nullptr;
    int iStride = 0;
    int iErr = psAlloc->alloc(psAlloc, (int)ps->psFb->width, (int)ps->psFb->height, ps->psFb->format,
                              GRALLOC_USAGE_HW_FB, &h, &iStride);
    c.ExpectErr(0, iErr, "taking a display buffer again");
    if (iErr == 0) {
        c.Expect(h == hFirst, "the slot given back was not the one handed out again");
        ps->ahBuffers.front() = h;
    } else {
        ps->ahBuffers.erase(ps->ahBuffers.begin());
    }
    if (!ps->bOneSlot) {
        iErr = psAlloc->alloc(psAlloc, 64, 64, ps->psFb->format, GRALLOC_USAGE_HW_FB, &h, &iStride);
        if (iErr == 0) psAlloc->free(psAlloc, h);
        c.ExpectErr(-ENOMEM, iErr, "a request with every display buffer taken");
    }
}

void CheckRequestsMustFit(const Module &m, const Display &s) {
    Check c("requests_must_fit");
    alloc_device_t *psAlloc = m.psAlloc;
    const int w = (int)s.psFb->width, h = (int)s.psFb->height;
    struct Request {
        int w, h, iFormat;
        const char *pszWhat;
    };
    std::vector<Request> asRequests = {{w + 1, h, s.psFb->format, "one pixel wider than the display"},
                                       {w, h + 1, s.psFb->format, "one row taller than the display"},
                                       {-1, h, s.psFb->format, "a negative width"},
                                       {w, h, 0x32315659, "YV12, which the GPU cannot render"},
                                       {w, h, 1, "RGBA_8888, which the GPU cannot render"}};
    if (s.psFb->format == 4) asRequests.push_back({w, h, 5, "32 bits per pixel on a 16-bit display"});
    /* A slot must be free, or the refusal could be the slots' answer. */
    psAlloc->free(psAlloc, s.ahBuffers.back());
    for (const Request &r : asRequests) {
        buffer_handle_t hOut = reinterpret_cast<buffer_handle_t>(0x1);
        int iStride = -7;
        int iErr = psAlloc->alloc(psAlloc, r.w, r.h, r.iFormat, GRALLOC_USAGE_HW_FB, &hOut, &iStride);
        if (iErr == 0) psAlloc->free(psAlloc, hOut);
        c.ExpectErr(-EINVAL, iErr, "a display request of %s", r.pszWhat);
        c.Expect(iErr == 0 || (hOut == reinterpret_cast<buffer_handle_t>(0x1) && iStride == -7),
                 "the refusal of %s wrote the handle or the stride", r.pszWhat);
    }
    buffer_handle_t hBack = nullptr;
    int iStride = 0;
    c.ExpectErr(0, psAlloc->alloc(psAlloc, w / 2, h / 2, s.psFb->format, GRALLOC_USAGE_HW_FB, &hBack, &iStride),
                "a display request of half the display");
    c.Expect(hBack == s.ahBuffers.back(), "the free slot was not the one handed out");
    c.Expect(hBack == nullptr || (Vek(hBack)->iWidth == w / 2 && Vek(hBack)->iHeight == h / 2),
             "the handle does not say the size asked for");
    /* As Android takes it: the display's own size. */
    if (hBack != nullptr) psAlloc->free(psAlloc, hBack);
    c.ExpectErr(0, psAlloc->alloc(psAlloc, w, h, s.psFb->format, GRALLOC_USAGE_HW_FB, &hBack, &iStride),
                "a display request of the display's size");
    c.Expect(hBack == s.ahBuffers.back(), "the free slot was not the one handed out");
}

/* Android's software renderer locks the back buffer for reading and writing and the buffer just
   posted for reading; what was drawn is still there after the post. */
void CheckBuffersLock(const Module &m, const Display &s) {
    Check c("buffers_lock");
    const gralloc_module_t *psG = m.psGralloc;
    for (size_t i = 0; i < s.ahBuffers.size(); i++) {
        void *apv[3];
        if (!c.ExpectErr(0, LockWhole(psG, s.ahBuffers[i], kSwUsage, apv), "lock of display buffer %zu", i)) continue;
        FillPattern(apv, PlaneBytes(s.ahBuffers[i], s.iStride), 60 + (uint32_t)i);
        c.ExpectErr(0, psG->unlock(psG, s.ahBuffers[i]), "unlock of display buffer %zu", i);
    }
    c.ExpectErr(0, s.psFb->post(s.psFb, s.ahBuffers[0]), "post");
    void *apv[3];
    if (c.ExpectErr(0, LockWhole(psG, s.ahBuffers[0], GRALLOC_USAGE_SW_READ_OFTEN, apv),
                    "a read lock of the buffer just posted")) {
        std::string sWrong = PatternMismatch(apv, PlaneBytes(s.ahBuffers[0], s.iStride), 60);
        c.Expect(sWrong.empty(), "the posted buffer lost what was drawn: %s", sWrong.c_str());
        c.ExpectErr(0, psG->unlock(psG, s.ahBuffers[0]), "unlock");
    }
}

/* The present mode is the device's configuration: one slot is front mode, and Post2 refuses a
   list only in flip mode for what is in it (a bad handle), in the others for the mode itself. */
std::string FindPresentMode(const Options &sOptions, const Display &s) {
    Check c("present_mode");
    VEK_native_handle_t sBad = *Vek(s.ahBuffers.front());
    sBad.usage = GRALLOC_USAGE_HW_2D;
    buffer_handle_t ah[1] = {&sBad.base};
    const int iErr = reinterpret_cast<VEK_framebuffer_device_public_t *>(s.psFb)->Post2(s.psFb, ah, 1, nullptr, 0);
    std::string sFound = s.bOneSlot ? "front" : iErr == -EINVAL ? "flip" : iErr == -EFAULT ? "blit" : "";
    c.Expect(!sFound.empty(), "Post2 of a handle with a refused usage bit answered %s", ErrName(iErr).c_str());
    c.Expect(!s.bOneSlot || iErr == -EFAULT, "one display slot, yet Post2 answered %s: not front mode",
             ErrName(iErr).c_str());
    if (!sOptions.sPresentMode.empty())
        c.Expect(sFound == sOptions.sPresentMode, "the module behaves as in %s mode, the device is set to %s",
                 sFound.c_str(), sOptions.sPresentMode.c_str());
    c.Note("%s mode (%s)", sFound.c_str(),
           sOptions.sPresentMode.empty() ? "from the module's answers" : "as the command line says");
    return sFound;
}

void CheckPosting(const Options &sOptions, const Display &s) {
    for (int iInterval : {1, 0}) {
        Check c(Format("post.swap_interval_%d", iInterval));
        if (iInterval < s.psFb->minSwapInterval || iInterval > s.psFb->maxSwapInterval) {
            c.Skip("the display's swap intervals are %d..%d", s.psFb->minSwapInterval, s.psFb->maxSwapInterval);
            continue;
        }
        if (!c.ExpectErr(0, s.psFb->setSwapInterval(s.psFb, iInterval), "setSwapInterval(%d)", iInterval)) continue;
        int iErr = 0;
        const std::vector<double> adSeconds = TimePosts(s, sOptions.iFrames, &iErr);
        if (c.ExpectErr(0, iErr, "post %zu of %d", adSeconds.size(), sOptions.iFrames))
            c.Note("%d frames: %s", sOptions.iFrames, DescribePosts(s, adSeconds).c_str());
    }
    s.psFb->setSwapInterval(s.psFb, 1);
    Check c("post_refusals");
    c.ExpectErr(-EINVAL, s.psFb->post(s.psFb, nullptr), "post(NULL)");
    VEK_native_handle_t sCopy = *Vek(s.ahBuffers.front());
    c.ExpectErr(-EINVAL, s.psFb->post(s.psFb, &sCopy.base), "post of a copy of a display handle");
    Buffer b(s.psModule->psAlloc, 64, 64, s.psFb->format, GRALLOC_USAGE_HW_TEXTURE);
    if (c.ExpectErr(0, b.iErr, "alloc")) c.ExpectErr(-EINVAL, s.psFb->post(s.psFb, b.h), "post of a texture");
}

void CheckComposition(const Module &m, const Display &s) {
    {
        Check c("composition");
        buffer_handle_t hBack = s.ahBuffers.back();
        CheckBlit2Into(&c, m, KnownFormats().front(), hBack, s.iStride, 77, false);
        c.ExpectErr(0, s.psFb->post(s.psFb, hBack), "post of the composed buffer");
    }
    Check c("composition_complete");
    const int iFirst = s.psFb->compositionComplete(s.psFb), iSecond = s.psFb->compositionComplete(s.psFb);
    c.Expect(iFirst != -EFAULT,
             "compositionComplete answered -14 (EFAULT): the GLES1 driver library, its "
             "glGetString or its interface table (version 3) could not be reached");
    c.Expect(iFirst != -EAGAIN, "compositionComplete answered -11 (EAGAIN): the driver's flush failed");
    c.ExpectErr(0, iFirst, "the first compositionComplete");
    c.ExpectErr(0, iSecond, "the second compositionComplete");
}

void CheckPost2(const Module &m, const Display &s, const std::string &sMode) {
    VEK_framebuffer_device_public_t *psPub = reinterpret_cast<VEK_framebuffer_device_public_t *>(s.psFb);
    buffer_handle_t hBack = s.ahBuffers.front();
    {
        Check c("post2.display_and_video");
        if (sMode != "flip") {
            buffer_handle_t ah[1] = {hBack};
            c.ExpectErr(-EFAULT, psPub->Post2(s.psFb, ah, 1, nullptr, 0), "Post2 in %s mode", sMode.c_str());
            c.Skip("Post2 swaps buffers in flip mode only; this display is in %s mode", sMode.c_str());
            return;
        }
        Buffer video(m.psAlloc, 176, 144, kFormatNV12, GRALLOC_USAGE_HW_COMPOSER);
        void *apv[3];
        if (!c.ExpectErr(0, video.iErr, "alloc of a video buffer") ||
            !c.ExpectErr(0, LockWhole(m.psGralloc, video.h, GRALLOC_USAGE_SW_WRITE_OFTEN, apv), "lock"))
            return;
        FillPattern(apv, PlaneBytes(video.h, video.iStride), 90);
        c.ExpectErr(0, m.psGralloc->unlock(m.psGralloc, video.h), "unlock");
        /* A post without bBypassPost shows the buffer and keeps nothing for Post2. */
        buffer_handle_t ahKept[1] = {nullptr};
        c.ExpectErr(0, psPub->Post2(s.psFb, &hBack, 1, nullptr, 0), "Post2 of a display buffer");
        c.ExpectErr(0, s.psFb->post(s.psFb, hBack), "post");
        c.ExpectErr(-EFAULT, psPub->Post2(s.psFb, ahKept, 1, nullptr, 0),
                    "Post2 of a kept buffer after a post without bBypassPost");
        psPub->bBypassPost = 1;
        c.ExpectErr(0, s.psFb->post(s.psFb, hBack), "post with bBypassPost set (kept for Post2)");
        psPub->bBypassPost = 0;
        buffer_handle_t ahList[2] = {nullptr, video.h};
        c.ExpectErr(0, psPub->Post2(s.psFb, ahList, 2, nullptr, 0), "Post2 of the kept buffer and a video buffer");
        c.ExpectErr(-EFAULT, psPub->Post2(s.psFb, ahList, 1, nullptr, 0),
                    "Post2 of the kept buffer once a Post2 has taken it");
        c.ExpectErr(0, psPub->Post2(s.psFb, &hBack, 1, nullptr, 0), "Post2 of a display buffer");
        c.Note("the video buffer %s",
               (Vek(video.h)->usage & GRALLOC_USAGE_PRIVATE_1) ? "was a lent pair" : "was not lent");
    }
    Check c("post2_refusals");
    c.ExpectErr(-EFAULT, psPub->Post2(s.psFb, &hBack, 0, nullptr, 0), "Post2 of no buffer");
    Buffer b(m.psAlloc, 32, 32, 5, GRALLOC_USAGE_HW_TEXTURE);
    if (!c.ExpectErr(0, b.iErr, "alloc")) return;
    VEK_native_handle_t sUnknown = *Vek(b.h);
    sUnknown.ui64Stamp ^= 0x5a5a5a5aull << 16;
    buffer_handle_t ahUnknown[1] = {&sUnknown.base}, ahKept[1] = {nullptr};
    psPub->bBypassPost = 1;
    c.ExpectErr(0, s.psFb->post(s.psFb, hBack), "post with bBypassPost set");
    psPub->bBypassPost = 0;
    c.ExpectErr(-EINVAL, psPub->Post2(s.psFb, ahUnknown, 1, nullptr, 0),
                "Post2 of a buffer this process does not know");
    c.ExpectErr(0, psPub->Post2(s.psFb, ahKept, 1, nullptr, 0), "Post2 of the kept buffer after a refused Post2");
}

}  // namespace

void RunDisplayGroup(const Options &sOptions) {
    Module m;
    if (!m.Load()) return;
    Display s;
    {
        Check c("fb0_opens");
        if (!c.ExpectErr(0, s.Open(m), "framebuffer_open") ||
            !c.Expect(!s.ahBuffers.empty(), "no display buffer could be taken: %s", ErrName(s.iTakeErr).c_str()))
            return;
    }
    CheckDescription(m, s);
    CheckBuffersTaken(s);
    CheckBuffersGivenBack(m, &s);
    CheckRequestsMustFit(m, s);
    CheckBuffersLock(m, s);
    const std::string sMode = FindPresentMode(sOptions, s);
    CheckPosting(sOptions, s);
    CheckComposition(m, s);
    CheckPost2(m, s, sMode);
    Check c("close_and_reopen");
    c.ExpectErr(0, s.Close(), "giving the display buffers back and closing fb0");
    Display sAgain;
    if (c.ExpectErr(0, sAgain.Open(m), "a second framebuffer_open"))
        c.Expect(!sAgain.ahBuffers.empty(), "no display buffer after the reopen: %s", ErrName(sAgain.iTakeErr).c_str());
    c.ExpectErr(0, sAgain.Close(), "closing it again");
}

}  // namespace conformance
