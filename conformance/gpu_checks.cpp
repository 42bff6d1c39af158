/* The GPU: Blit (into memory the caller gives) and Blit2 (into a rectangle of another buffer)
   between every pair of listed formats, each pixel compared with what this program's own
   definition of the two formats says the copy must hold; Blit2's destination is read back through
   a lock, which must see the blit's pixels, and what lies outside the rectangle must be untouched. */
#include <errno.h>
#include <math.h>
#include <string.h>

#include <functional>

#include "groups.h"

namespace conformance {
namespace {

constexpr int kSrcW = 48, kSrcH = 32;                  /* a width whose rows are padded to 64 pixels */
constexpr int kDstW = 80, kDstH = 48, kX = 16, kY = 8; /* Blit2's destination and where the copy lands */
constexpr uint8_t kLumaBackground = 0x5a, kChromaBackground = 0xa5, kGuard = 0xcd;
const Rgba kBackground = {Expand5(3), Expand6(9), Expand5(27), 0x40};

/* One plane as the CPU sees it. */
struct Plane {
    uint8_t *p = nullptr;
    size_t uStride = 0; /* bytes */
};

/* What a check's source holds: the colour at each pixel. */
using SourceColours = std::function<Rgba(int x, int y)>;

SourceColours ColoursFor(const KnownFormat &s, const KnownFormat &d, uint32_t uiSeed) {
    if (d.eLayout == Layout::kNV12) return [uiSeed](int x, int y) { return VideoPaletteColour(uiSeed, x / 2, y / 2); };
    const bool bExact565 = s.eLayout == Layout::kRGB565 || d.eLayout == Layout::kRGB565;
    const bool bOpaque = !HasAlpha(s.eLayout);
    return [=](int x, int y) { return PatternColour(uiSeed, x, y, bExact565, bOpaque); };
}

/* A source buffer of the format holding the colours (or, for YV12, a byte pattern). */
std::string WriteSource(const Module &m, const Buffer &b, const SourceColours &fnColour) {
    void *apv[3];
    int iErr = LockWhole(m.psGralloc, b.h, GRALLOC_USAGE_SW_WRITE_OFTEN, apv);
    if (iErr != 0) return "lock of the source answered " + ErrName(iErr);
    const KnownFormat *pf = FindKnownFormat(b.iFormat);
    if (IsRgb(pf->eLayout)) {
        const size_t uStride = (size_t)b.iStride * BytesPerPixel(pf->eLayout);
        for (int y = 0; y < b.iHeight; y++)
            for (int x = 0; x < b.iWidth; x++)
                StorePixel(pf->eLayout, fnColour(x, y),
                           static_cast<uint8_t *>(apv[0]) + y * uStride + x * BytesPerPixel(pf->eLayout));
    } else {
        FillPattern(apv, PlaneBytes(b.h, b.iStride), 5);
    }
    iErr = m.psGralloc->unlock(m.psGralloc, b.h);
    return iErr != 0 ? "unlock of the source answered " + ErrName(iErr) : "";
}

/* Compares a destination with what the copy must hold: inside(x, y) says whether the copy covers
   the destination pixel, and with which source colour. Outside lies the background. */
class Comparison {
public:
    Comparison(Layout e, const Plane &sY, const Plane &sUV) : eLayout(e), sPlane(sY), sChroma(sUV) {}
    using Inside = std::function<bool(int x, int y, Rgba *pc)>;
    void Run(int w, int h, const Inside &fnInside, const Layout eFrom, bool bBackground) {
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                Rgba c;
                const bool bIn = fnInside(x, y, &c);
                if (!bIn && !bBackground) continue;
                if (eLayout == Layout::kNV12)
                    CompareVideo(x, y, bIn, c);
                else
                    CompareRgb(x, y, bIn ? Converted(eFrom, eLayout, c) : Converted(eLayout, eLayout, kBackground),
                               bIn);
            }
    }
    void Report(Check *pc) const { pc->Expect(iWrong == 0, "%s (%d values differ)", sFirst.c_str(), iWrong); }

private:
    void Wrong(const std::string &s) {
        if (iWrong++ == 0) sFirst = s;
    }
    void CompareRgb(int x, int y, const Rgba &cWant, bool bIn) {
        const Rgba cGot = LoadPixel(eLayout, sPlane.p + y * sPlane.uStride + x * BytesPerPixel(eLayout));
        if (!SamePixel(eLayout, cGot, cWant))
            Wrong(Format("pixel (%d, %d) %s is %s, expected %s", x, y, bIn ? "of the copy" : "outside the copy",
                         Describe(cGot).c_str(), Describe(cWant).c_str()));
    }
    /* Exact for black and white, whose encoding every BT.601 engine shares; within 2 of the exact
       value for colours, whose last bit is the engine's rounding. */
    void CompareValue(const char *pszWhat, int x, int y, int iGot, double dWant, bool bExact) {
        const bool bOk = bExact ? iGot == (int)lround(dWant) : fabs(iGot - dWant) <= 2.0;
        if (!bOk) Wrong(Format("%s at (%d, %d) is %d, expected %.1f", pszWhat, x, y, iGot, dWant));
    }
    void CompareVideo(int x, int y, bool bIn, const Rgba &c) {
        const int iY = sPlane.p[y * sPlane.uStride + x];
        const bool bGrey = c.r == c.g && c.g == c.b;
        if (!bIn) {
            CompareValue("luma outside the copy", x, y, iY, kLumaBackground, true);
        } else {
            CompareValue("luma", x, y, iY, ToVideoYuv(c).y, bGrey);
        }
        if (x % 2 || y % 2) return;
        const uint8_t *puc = sChroma.p + (y / 2) * sChroma.uStride + x;
        if (!bIn) {
            CompareValue("Cb outside the copy", x, y, puc[0], kChromaBackground, true);
            CompareValue("Cr outside the copy", x, y, puc[1], kChromaBackground, true);
            return;
        }
        CompareValue("Cb", x, y, puc[0], ToVideoYuv(c).u, bGrey);
        CompareValue("Cr", x, y, puc[1], ToVideoYuv(c).v, bGrey);
    }

    Layout eLayout;
    Plane sPlane, sChroma;
    int iWrong = 0;
    std::string sFirst;
};

/* Formats the 2D engine cannot take (YV12 has no code of its): the module hands the request on
   with format 255 and must answer the engine's refusal with -EFAULT. True when the pair is such. */
bool NoEngineFormat(Check *pc, const KnownFormat &s, const KnownFormat &d, int iErr) {
    if (s.eLayout != Layout::kYV12 && d.eLayout != Layout::kYV12) return false;
    if (iErr == 0)
        pc->Skip("the 2D library took YV12 (format 255); this program has no definition of its result");
    else if (pc->ExpectErr(-EFAULT, iErr, "a blit with YV12, which the 2D library has no format for,"))
        pc->Note("refused with -EFAULT: the 2D library has no YV12 format");
    return true;
}

bool VideoSource(Check *pc, const KnownFormat &s, int iErr) {
    if (s.eLayout != Layout::kNV12) return false;
    if (pc->Expect(iErr == 0 || iErr == -EFAULT, "a blit from a video buffer answered %s", ErrName(iErr).c_str()))
        pc->Skip("a video source reaches the 2D engine as its first plane alone; what it reads there is the engine's");
    return true;
}

/* Memory a caller hands to Blit: page-aligned, followed by a guard the blit must not touch. */
struct CallerPlane {
    explicit CallerPlane(size_t uBytes) : uSize(uBytes), ac(uBytes + 2 * 4096, kGuard) {
        p = ac.data() + (4096 - reinterpret_cast<uintptr_t>(ac.data()) % 4096);
    }
    bool GuardIntact() const {
        for (size_t i = uSize; i < uSize + 4096; i++)
            if (p[i] != kGuard) return false;
        return true;
    }
    size_t uSize;
    std::vector<uint8_t> ac;
    uint8_t *p;
};

void CheckBlit(const Module &m, const KnownFormat &s, const KnownFormat &d, uint32_t uiSeed) {
    Check c(Format("blit.%s.to.%s", s.pszName, d.pszName));
    Buffer src(m.psAlloc, kSrcW, kSrcH, s.iHal, GRALLOC_USAGE_SW_WRITE_OFTEN | GRALLOC_USAGE_HW_TEXTURE);
    if (!c.ExpectErr(0, src.iErr, "alloc of the source")) return;
    const SourceColours fnColour = ColoursFor(s, d, uiSeed);
    std::string sWrong = WriteSource(m, src, fnColour);
    if (!c.Expect(sWrong.empty(), "%s", sWrong.c_str())) return;

    /* The caller's planes are laid out as the allocator lays out a buffer of the source's size. */
    const size_t uStride =
        d.eLayout == Layout::kNV12 ? (size_t)RoundUp(kSrcW, 16) : (size_t)RoundUp(kSrcW, 32) * d.uiBpp / 8;
    CallerPlane sY(uStride * kSrcH), sUV(uStride * (kSrcH / 2));
    void *apvDest[3] = {sY.p, d.eLayout == Layout::kNV12 ? sUV.p : nullptr, nullptr};
    const int iErr = m.psPublic->Blit(m.psPublic, src.h, apvDest, d.iHal);
    if (NoEngineFormat(&c, s, d, iErr) || VideoSource(&c, s, iErr)) return;
    if (!c.ExpectErr(0, iErr, "Blit")) return;
    Comparison sCompare(d.eLayout, Plane{sY.p, uStride}, Plane{sUV.p, uStride});
    sCompare.Run(
        kSrcW, kSrcH,
        [&](int x, int y, Rgba *pc) {
            *pc = fnColour(x, y);
            return true;
        },
        s.eLayout, false);
    sCompare.Report(&c);
    c.Expect(sY.GuardIntact() && sUV.GuardIntact(), "the blit wrote past the end of a plane");
}

/* A destination holding the background, for Blit2. */
std::string WriteBackground(const Module &m, buffer_handle_t h, int iStride, const KnownFormat &d) {
    void *apv[3];
    int iErr = LockWhole(m.psGralloc, h, GRALLOC_USAGE_SW_WRITE_OFTEN, apv);
    if (iErr != 0) return "lock of the destination answered " + ErrName(iErr);
    const std::vector<size_t> auBytes = PlaneBytes(h, iStride);
    if (d.eLayout == Layout::kNV12) {
        memset(apv[0], kLumaBackground, auBytes[0]);
        memset(apv[1], kChromaBackground, auBytes[1]);
    } else if (IsRgb(d.eLayout)) {
        for (int y = 0; y < Vek(h)->iHeight; y++)
            for (int x = 0; x < Vek(h)->iWidth; x++)
                StorePixel(d.eLayout, kBackground,
                           static_cast<uint8_t *>(apv[0]) + ((size_t)y * iStride + x) * BytesPerPixel(d.eLayout));
    } else {
        memset(apv[0], kLumaBackground, auBytes[0]);
    }
    iErr = m.psGralloc->unlock(m.psGralloc, h);
    return iErr != 0 ? "unlock of the destination answered " + ErrName(iErr) : "";
}

void CheckBlit2(const Module &m, const KnownFormat &s, const KnownFormat &d, uint32_t uiSeed, bool bScaled) {
    Check c(bScaled ? Format("blit2.scaled.%s.to.%s", s.pszName, d.pszName)
                    : Format("blit2.%s.to.%s", s.pszName, d.pszName));
    Buffer dst(m.psAlloc, kDstW, kDstH, d.iHal, kSwUsage | GRALLOC_USAGE_HW_RENDER);
    if (c.ExpectErr(0, dst.iErr, "alloc of the destination"))
        CheckBlit2Into(&c, m, s, dst.h, dst.iStride, uiSeed, bScaled);
}

}  // namespace

/* Copies a source of kSrcW x kSrcH into (kX, kY) of the destination, or with bScaled one of 16 x 16
   into (kX, kY, 40 x 24): a copy of another size than the source's is checked with a source of one
   colour only, whose scaling any filter leaves as it is. */
void CheckBlit2Into(Check *pc, const Module &m, const KnownFormat &s, buffer_handle_t hDst, int iDstStride,
                    uint32_t uiSeed, bool bScaled) {
    const KnownFormat *pd = FindKnownFormat(Vek(hDst)->iFormat);
    if (!pc->Expect(pd != nullptr, "the destination's format 0x%x is not one this program knows",
                    (unsigned)Vek(hDst)->iFormat))
        return;
    const KnownFormat &d = *pd;
    const int w = bScaled ? 16 : kSrcW, h = bScaled ? 16 : kSrcH, cw = bScaled ? 40 : w, ch = bScaled ? 24 : h;
    Buffer src(m.psAlloc, w, h, s.iHal, GRALLOC_USAGE_SW_WRITE_OFTEN | GRALLOC_USAGE_HW_TEXTURE);
    if (!pc->ExpectErr(0, src.iErr, "alloc of the source")) return;
    const Rgba cOne = VideoPaletteColour(uiSeed, 1, 1);
    const SourceColours fnColour =
        bScaled ? SourceColours([cOne](int, int) { return cOne; }) : ColoursFor(s, d, uiSeed);
    std::string sWrong = WriteSource(m, src, fnColour);
    if (sWrong.empty()) sWrong = WriteBackground(m, hDst, iDstStride, d);
    if (!pc->Expect(sWrong.empty(), "%s", sWrong.c_str())) return;

    const int iErr = m.psPublic->Blit2(m.psPublic, src.h, hDst, cw, ch, kX, kY);
    if (NoEngineFormat(pc, s, d, iErr) || VideoSource(pc, s, iErr)) return;
    if (!pc->ExpectErr(0, iErr, "Blit2 into (%d, %d, %d x %d)", kX, kY, cw, ch)) return;
    /* A lock after the blit sees what the blit wrote. */
    void *apv[3];
    if (!pc->ExpectErr(0, LockWhole(m.psGralloc, hDst, GRALLOC_USAGE_SW_READ_OFTEN, apv), "lock after the blit"))
        return;
    const size_t uStride = d.eLayout == Layout::kNV12 ? (size_t)iDstStride : (size_t)iDstStride * d.uiBpp / 8;
    Comparison sCompare(d.eLayout, Plane{static_cast<uint8_t *>(apv[0]), uStride},
                        Plane{static_cast<uint8_t *>(apv[1]), uStride});
    sCompare.Run(
        Vek(hDst)->iWidth, Vek(hDst)->iHeight,
        [&](int x, int y, Rgba *pc) {
            if (x < kX || y < kY || x >= kX + cw || y >= kY + ch) return false;
            *pc = fnColour(x - kX, y - kY);
            return true;
        },
        s.eLayout, true);
    sCompare.Report(pc);
    pc->ExpectErr(0, m.psGralloc->unlock(m.psGralloc, hDst), "unlock");
}

void RunGpuGroup(const Options &) {
    Module m;
    if (!m.Load()) return;
    const std::vector<KnownFormat> asFormats = ListedFormats(m);
    uint32_t uiSeed = 1;
    for (const KnownFormat &s : asFormats)
        for (const KnownFormat &d : asFormats) CheckBlit(m, s, d, uiSeed++);
    for (const KnownFormat &s : asFormats)
        for (const KnownFormat &d : asFormats) CheckBlit2(m, s, d, uiSeed++, false);
    for (const KnownFormat &d : asFormats) CheckBlit2(m, asFormats.front(), d, uiSeed++, true);
}

}  // namespace conformance
