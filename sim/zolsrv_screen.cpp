// The screens: what each display shows, and its captures as PNG.
#include "png.h"
#include "zolsrv_state.h"

using namespace zolsim;

namespace {

// One screen pixel as 8-bit RGB.
void PixelToRgb(const unsigned char *p, ZOL2DFORMAT eFormat, unsigned char *rgb) {
    if (eFormat == ZOL2D_PIXEL_FORMAT_RGB565) {
        const unsigned v = (unsigned)p[0] | ((unsigned)p[1] << 8);
        const unsigned r = (v >> 11) & 0x1f, g = (v >> 5) & 0x3f, b = v & 0x1f;
        rgb[0] = (unsigned char)((r << 3) | (r >> 2));
        rgb[1] = (unsigned char)((g << 2) | (g >> 4));
        rgb[2] = (unsigned char)((b << 3) | (b >> 2));
    } else if (eFormat == ZOL2D_PIXEL_FORMAT_ARGB8888) {
        // 0xAARRGGBB in little-endian memory: blue first.
        rgb[0] = p[2];
        rgb[1] = p[1];
        rgb[2] = p[0];
    } else {
        rgb[0] = rgb[1] = rgb[2] = 0;
    }
}

size_t BytesPerPixel(ZOL2DFORMAT eFormat) {
    return eFormat == ZOL2D_PIXEL_FORMAT_RGB565 ? 2 : eFormat == ZOL2D_PIXEL_FORMAT_ARGB8888 ? 4 : 0;
}

std::vector<unsigned char> ScreenRgbLocked(const Screen &sc) {
    const size_t bpp = BytesPerPixel(sc.eFormat);
    std::vector<unsigned char> rgb((size_t)sc.ulWidth * sc.ulHeight * 3);
    for (unsigned long y = 0; y < sc.ulHeight; y++)
        for (unsigned long x = 0; x < sc.ulWidth; x++) {
            const size_t off = (size_t)y * (size_t)sc.lStride + (size_t)x * bpp;
            unsigned char *out = &rgb[((size_t)y * sc.ulWidth + x) * 3];
            if (bpp != 0 && off + bpp <= sc.pixels.size())
                PixelToRgb(&sc.pixels[off], sc.eFormat, out);
            else
                out[0] = out[1] = out[2] = 0;
        }
    return rgb;
}

}  // namespace

namespace zolsim {

int WriteFile(const std::string &path, const std::vector<unsigned char> &data) {
    if (data.empty()) return -EINVAL;  // no image could be made: a screen never shown has no pixels
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) return -errno;
    const size_t n = fwrite(data.data(), 1, data.size(), f);
    const int err = ferror(f) ? -EIO : 0;
    if (fclose(f) != 0 || n != data.size()) return err != 0 ? err : -EIO;
    return err;
}

}  // namespace zolsim

namespace {

// Scan-out serialises per display, as each display's controller does; the controller's work is
// hidden from the race detector like the rest of the hardware's.
pthread_mutex_t g_screenMu[kMax2DDevices] = {PTHREAD_MUTEX_INITIALIZER};

class ScreenGuard : public HiddenGuard {
public:
    explicit ScreenGuard(unsigned uiDisplay) : HiddenGuard(g_screenMu[uiDisplay]) {}
};

}  // namespace

namespace zolsim {

void EndScanOutLocked(Screen &sc) {
    // The tables' lock is held: what is scanned out is live, and its last use cannot be ended
    // memory (a disconnect takes its memory off the screens first).
    for (Mem *m : sc.scanned) HwUseEndLocked(m, ZOLSIM_GPU_READS);
    sc.scanned.clear();
    sc.hScanChain = nullptr;
}

void StopScanOutOfChainLocked(VEK_HANDLE hScanChain) {
    for (unsigned i = 0; i < kMax2DDevices; i++)
        if (S().screens[i].hScanChain == hScanChain) EndScanOutLocked(S().screens[i]);
}

void StopScanOutOfMemLocked(Mem *m) {
    for (Screen &sc : S().screens)
        for (size_t i = 0; i < sc.scanned.size();)
            if (sc.scanned[i] == m) {
                HwUseEndLocked(m, ZOLSIM_GPU_READS);
                sc.scanned.erase(sc.scanned.begin() + (long)i);
            } else {
                i++;
            }
}

// The display's geometry is taken at each present, so a test may change the display between
// frames. A capture is written after the lock is released.
void ScreenShowLocked(unsigned uiDisplay, VEK_HANDLE hScanChain, const std::vector<Mem *> &scanned,
                      pthread_mutex_t *psHwMutex, const void *pvPixels, size_t uSize, VEK_UINT64 ui64Stamp,
                      ShowCapture *psCapture) {
    State &s = S();
    if (uiDisplay >= kMax2DDevices) return;
    const ZOL2DDISPLAYINFO &d = s.displays[uiDisplay];
    Screen &sc = s.screens[uiDisplay];
    ScreenGuard sg(uiDisplay);
    // The new frame is read from now on, the one before no more: each buffer once, however often
    // the list names it.
    std::vector<Mem *> now;
    for (Mem *m : scanned)
        if (!Contains(now, m)) {
            HwUseBeginLocked(m, ZOLSIM_GPU_READS);
            now.push_back(m);
        }
    EndScanOutLocked(sc);
    sc.scanned = now;
    sc.hScanChain = now.empty() ? nullptr : hScanChain;
    sc.ulWidth = d.ulWidth;
    sc.ulHeight = d.ulHeight;
    sc.lStride = d.lStride > 0 ? d.lStride : 0;
    sc.eFormat = d.eFormat;
    sc.pixels.assign((size_t)sc.lStride * sc.ulHeight, 0);
    const size_t n = uSize < sc.pixels.size() ? uSize : sc.pixels.size();
    if (pvPixels != nullptr && n != 0) {
        // Scan-out reads the buffer while no other hardware works on it.
        zolsim_internal_hw_lock(psHwMutex, nullptr);
        memcpy(sc.pixels.data(), pvPixels, n);
        zolsim_internal_hw_unlock(psHwMutex, nullptr);
    }
    sc.ui64Stamp = ui64Stamp;
    sc.uiFrames++;
    if (!s.captureDir.empty()) {
        char name[32];
        snprintf(name, sizeof(name), "/frame-%03u.png", __atomic_fetch_add(&s.uiCaptured, 1u, __ATOMIC_RELAXED));
        psCapture->path = s.captureDir + name;
        psCapture->rgb = ScreenRgbLocked(sc);
        psCapture->ulWidth = sc.ulWidth;
        psCapture->ulHeight = sc.ulHeight;
    }
}

void SaveCapture(const ShowCapture &c) {
    if (!c.path.empty() &&
        WriteFile(c.path, zolsim::EncodePng(c.rgb.data(), (unsigned)c.ulWidth, (unsigned)c.ulHeight)) != 0)
        fprintf(stderr, "zolsim: cannot save the screen as %s\n", c.path.c_str());
}

}  // namespace zolsim

extern "C" {

void zolsim_internal_screen_show(unsigned uiDisplay, VEK_HANDLE hScanChain, const ZOLSRV_CLIENT_MEM_INFO *psScanned,
                                 pthread_mutex_t *psHwMutex, const void *pvPixels, size_t uSize, VEK_UINT64 ui64Stamp) {
    ShowCapture sCapture;
    {
        ReadGuard g(g_mu);
        std::vector<Mem *> scanned;
        Mem *m = psScanned != nullptr ? FindMemLocked(psScanned) : nullptr;
        if (m != nullptr) scanned.push_back(m);
        ScreenShowLocked(uiDisplay, hScanChain, scanned, psHwMutex, pvPixels, uSize, ui64Stamp, &sCapture);
    }
    SaveCapture(sCapture);
}

int zolsim_screen_info(unsigned uiDisplay, ZOLSIM_SCREEN_INFO *psOut) {
    if (uiDisplay >= kMax2DDevices || psOut == nullptr) return 0;
    ScreenGuard g(uiDisplay);
    const Screen &sc = S().screens[uiDisplay];
    psOut->ulWidth = sc.ulWidth;
    psOut->ulHeight = sc.ulHeight;
    psOut->lStride = sc.lStride;
    psOut->eFormat = sc.eFormat;
    psOut->uiFrames = sc.uiFrames;
    psOut->ui64Stamp = sc.ui64Stamp;
    return 1;
}

size_t zolsim_screen_pixels(unsigned uiDisplay, void *pvOut, size_t uMax) {
    if (uiDisplay >= kMax2DDevices) return 0;
    ScreenGuard g(uiDisplay);
    const std::vector<unsigned char> &p = S().screens[uiDisplay].pixels;
    if (pvOut != nullptr) memcpy(pvOut, p.data(), uMax < p.size() ? uMax : p.size());
    return p.size();
}

size_t zolsim_screen_rgb(unsigned uiDisplay, unsigned char *pucOut, size_t uMax) {
    if (uiDisplay >= kMax2DDevices) return 0;
    ScreenGuard g(uiDisplay);
    const std::vector<unsigned char> rgb = ScreenRgbLocked(S().screens[uiDisplay]);
    if (pucOut != nullptr) memcpy(pucOut, rgb.data(), uMax < rgb.size() ? uMax : rgb.size());
    return rgb.size();
}

int zolsim_screen_save_png(unsigned uiDisplay, const char *pszPath) {
    if (uiDisplay >= kMax2DDevices || pszPath == nullptr) return -EINVAL;
    std::vector<unsigned char> rgb;
    unsigned long w, h;
    {
        ScreenGuard g(uiDisplay);
        const Screen &sc = S().screens[uiDisplay];
        rgb = ScreenRgbLocked(sc);
        w = sc.ulWidth;
        h = sc.ulHeight;
    }
    return WriteFile(pszPath, zolsim::EncodePng(rgb.data(), (unsigned)w, (unsigned)h));
}

void zolsim_set_screen_capture(const char *pszDir) {
    WriteGuard g(g_mu);
    S().captureDir = pszDir != nullptr ? pszDir : "";
    S().uiCaptured = 0;
}

int zolsim_write_png(const char *pszPath, const unsigned char *pucRGB, unsigned uiWidth, unsigned uiHeight) {
    if (pszPath == nullptr || (pucRGB == nullptr && uiWidth != 0 && uiHeight != 0)) return -EINVAL;
    return WriteFile(pszPath, zolsim::EncodePng(pucRGB, uiWidth, uiHeight));
}

}  // extern "C"
