#include "pixels.h"

#include "harness.h"

namespace conformance {

const std::vector<KnownFormat> &KnownFormats() {
    static const std::vector<KnownFormat> asFormats = {
        {5, "BGRA_8888", Layout::kBGRA8888, 32, true},
        {1, "RGBA_8888", Layout::kRGBA8888, 32, false},
        {kFormatBGRX8888, "BGRX_8888", Layout::kBGRX8888, 32, true},
        {2, "RGBX_8888", Layout::kRGBX8888, 32, false},
        {4, "RGB_565", Layout::kRGB565, 16, true},
        {0x32315659, "YV12", Layout::kYV12, 12, false},
        {kFormatNV12, "C110_NV12", Layout::kNV12, 12, false},
    };
    return asFormats;
}

const KnownFormat *FindKnownFormat(int iHal) {
    for (const KnownFormat &s : KnownFormats())
        if (s.iHal == iHal) return &s;
    return nullptr;
}

bool IsRgb(Layout e) { return e != Layout::kYV12 && e != Layout::kNV12; }
bool HasAlpha(Layout e) { return e == Layout::kBGRA8888 || e == Layout::kRGBA8888; }
unsigned BytesPerPixel(Layout e) { return e == Layout::kRGB565 ? 2 : 4; }

/* A channel of n bits stands for the fraction v / (2^n - 1); widening keeps that fraction, to
   the nearest 8-bit value, and narrowing does the same the other way. */
uint8_t Expand5(unsigned v) { return (uint8_t)((v * 255 + 15) / 31); }
uint8_t Expand6(unsigned v) { return (uint8_t)((v * 255 + 31) / 63); }
static unsigned Narrow(uint8_t v, unsigned uiMax) { return ((unsigned)v * uiMax + 127) / 255; }

void StorePixel(Layout e, const Rgba &c, uint8_t *p) {
    switch (e) {
        case Layout::kBGRA8888:
        case Layout::kBGRX8888:
            p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = e == Layout::kBGRA8888 ? c.a : 0xff;
            break;
        case Layout::kRGBA8888:
        case Layout::kRGBX8888:
            p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = e == Layout::kRGBA8888 ? c.a : 0xff;
            break;
        case Layout::kRGB565: {
            const unsigned v = Narrow(c.r, 31) << 11 | Narrow(c.g, 63) << 5 | Narrow(c.b, 31);
            p[0] = (uint8_t)v;
            p[1] = (uint8_t)(v >> 8);
            break;
        }
        default:
            break;
    }
}

Rgba LoadPixel(Layout e, const uint8_t *p) {
    switch (e) {
        case Layout::kBGRA8888:
        case Layout::kBGRX8888:
            return Rgba{p[2], p[1], p[0], p[3]};
        case Layout::kRGBA8888:
        case Layout::kRGBX8888:
            return Rgba{p[0], p[1], p[2], p[3]};
        case Layout::kRGB565: {
            const unsigned v = (unsigned)p[0] | (unsigned)p[1] << 8;
            return Rgba{Expand5(v >> 11), Expand6((v >> 5) & 63), Expand5(v & 31), 0xff};
        }
        default:
            return Rgba{0, 0, 0, 0};
    }
}

Rgba Converted(Layout eFrom, Layout eTo, const Rgba &c) {
    Rgba s = c;
    if (!HasAlpha(eFrom)) s.a = 0xff;
    if (eTo == Layout::kRGB565)
        s = Rgba{Expand5(Narrow(s.r, 31)), Expand6(Narrow(s.g, 63)), Expand5(Narrow(s.b, 31)), 0xff};
    return s;
}

bool SamePixel(Layout e, const Rgba &a, const Rgba &b) {
    if (a.r != b.r || a.g != b.g || a.b != b.b) return false;
    return !HasAlpha(e) || a.a == b.a;
}

std::string Describe(const Rgba &c) { return Format("rgba(%u, %u, %u, %u)", c.r, c.g, c.b, c.a); }

static uint32_t Mix(uint32_t uiSeed, int x, int y) {
    uint32_t v = uiSeed * 0x9e3779b9u ^ (uint32_t)x * 0x85ebca6bu ^ (uint32_t)y * 0xc2b2ae35u;
    v ^= v >> 16;
    v *= 0x7feb352du;
    v ^= v >> 15;
    v *= 0x846ca68bu;
    return v ^ (v >> 16);
}

/* Engines widen a channel of n bits either by rounding, as above, or by repeating its top bits
   below it; the two agree on most values, and a check uses only those, so that either engine has
   one right answer. The first such value from k on. */
static unsigned Unambiguous(unsigned k, unsigned uiBits) {
    const unsigned uiMax = (1u << uiBits) - 1;
    for (;; k = (k + 1) & uiMax) {
        const unsigned uiRepeated = k << (8 - uiBits) | k >> (2 * uiBits - 8);
        if (uiRepeated == (k * 255 + uiMax / 2) / uiMax) return k;
    }
}

Rgba PatternColour(uint32_t uiSeed, int x, int y, bool bExact565, bool bOpaque) {
    const uint32_t v = Mix(uiSeed, x, y);
    Rgba c;
    if (bExact565)
        c = Rgba{Expand5(Unambiguous(v & 31, 5)), Expand6(Unambiguous((v >> 5) & 63, 6)),
                 Expand5(Unambiguous((v >> 11) & 31, 5)), 0};
    else
        c = Rgba{(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), 0};
    c.a = bOpaque ? 0xff : (uint8_t)(v >> 24);
    return c;
}

Rgba VideoPaletteColour(uint32_t uiSeed, int iBlockX, int iBlockY) {
    const uint32_t v = Mix(uiSeed, iBlockX, iBlockY) % 8;
    return Rgba{(uint8_t)(v & 1 ? 255 : 0), (uint8_t)(v & 2 ? 255 : 0), (uint8_t)(v & 4 ? 255 : 0), 0xff};
}

Yuv ToVideoYuv(const Rgba &c) {
    const double r = c.r / 255.0, g = c.g / 255.0, b = c.b / 255.0;
    const double y = 0.299 * r + 0.587 * g + 0.114 * b;
    return Yuv{16 + 219 * y, 128 + 224 * (b - y) / 1.772, 128 + 224 * (r - y) / 1.402};
}

}  // namespace conformance
