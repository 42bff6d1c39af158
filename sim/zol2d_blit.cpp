#include "zol2d_blit.h"

#include <stdint.h>
#include <string.h>

#include "device_memory.h"

namespace zolsim {
namespace {

struct Rgba {
    unsigned r, g, b, a;
};

unsigned BytesPerPixel(ZOL2DFORMAT eFormat) {
    switch (eFormat) {
        case ZOL2D_BLT_FORMAT_RGB565:
            return 2;
        case ZOL2D_BLT_FORMAT_ARGB8888:
        case ZOL2D_BLT_FORMAT_ABGR8888:
            return 4;
        case ZOL2D_BLT_FORMAT_NV12:
            return 1;  // the luma plane
        default:
            return 0;
    }
}

Rgba Read(const BlitSurface &s, unsigned long x, unsigned long y) {
    const unsigned char *p = s.asPlanes[0].pBase + (size_t)y * (size_t)s.lStride + x * BytesPerPixel(s.eFormat);
    switch (s.eFormat) {
        case ZOL2D_BLT_FORMAT_RGB565: {
            const unsigned v = (unsigned)DeviceLoad8(p) | (unsigned)DeviceLoad8(p + 1) << 8;
            const unsigned r = v >> 11, g = (v >> 5) & 0x3f, b = v & 0x1f;
            return Rgba{r << 3 | r >> 2, g << 2 | g >> 4, b << 3 | b >> 2, 255};
        }
        case ZOL2D_BLT_FORMAT_ARGB8888:  // bytes B, G, R, A
            return Rgba{DeviceLoad8(p + 2), DeviceLoad8(p + 1), DeviceLoad8(p), DeviceLoad8(p + 3)};
        case ZOL2D_BLT_FORMAT_ABGR8888:  // bytes R, G, B, A
            return Rgba{DeviceLoad8(p), DeviceLoad8(p + 1), DeviceLoad8(p + 2), DeviceLoad8(p + 3)};
        default: {  // NV12 source: its luma alone, as grey
            const unsigned char y8 = DeviceLoad8(p);
            return Rgba{y8, y8, y8, 255};
        }
    }
}

unsigned Clamp8(int v) { return v < 0 ? 0u : v > 255 ? 255u : (unsigned)v; }

void Write(const BlitSurface &s, unsigned long x, unsigned long y, const Rgba &c) {
    unsigned char *p = s.asPlanes[0].pBase + (size_t)y * (size_t)s.lStride + x * BytesPerPixel(s.eFormat);
    switch (s.eFormat) {
        case ZOL2D_BLT_FORMAT_RGB565: {
            const unsigned v = (c.r >> 3) << 11 | (c.g >> 2) << 5 | (c.b >> 3);
            DeviceStore8(p, (unsigned char)v);
            DeviceStore8(p + 1, (unsigned char)(v >> 8));
            break;
        }
        case ZOL2D_BLT_FORMAT_ARGB8888:
            DeviceStore8(p, (unsigned char)c.b), DeviceStore8(p + 1, (unsigned char)c.g);
            DeviceStore8(p + 2, (unsigned char)c.r), DeviceStore8(p + 3, (unsigned char)c.a);
            break;
        case ZOL2D_BLT_FORMAT_ABGR8888:
            DeviceStore8(p, (unsigned char)c.r), DeviceStore8(p + 1, (unsigned char)c.g);
            DeviceStore8(p + 2, (unsigned char)c.b), DeviceStore8(p + 3, (unsigned char)c.a);
            break;
        case ZOL2D_BLT_FORMAT_NV12: {
            // BT.601 studio range; each 2 x 2 block takes the chroma of its top-left pixel.
            const int r = (int)c.r, g = (int)c.g, b = (int)c.b;
            DeviceStore8(p, (unsigned char)Clamp8(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16));
            if ((x & 1) == 0 && (y & 1) == 0) {
                unsigned char *uv = s.asPlanes[1].pBase + (size_t)(y / 2) * (size_t)s.lStride + x;
                DeviceStore8(uv, (unsigned char)Clamp8(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128));
                DeviceStore8(uv + 1, (unsigned char)Clamp8(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128));
            }
            break;
        }
        default:
            break;
    }
}

bool PlaneFits(const BlitPlane &sPlane, long lStride, unsigned long ulRows, size_t uRowBytes) {
    if (ulRows == 0) return true;
    const uint64_t need = (uint64_t)(ulRows - 1) * (uint64_t)lStride + uRowBytes;
    return sPlane.pBase != nullptr && need <= sPlane.uRoom;
}

}  // namespace

bool BlitFormatKnown(ZOL2DFORMAT eFormat) { return BytesPerPixel(eFormat) != 0; }

bool BlitSurfaceFits(const BlitSurface &s) {
    const unsigned bpp = BytesPerPixel(s.eFormat);
    if (bpp == 0 || s.lStride <= 0 || s.ulWidth == 0 || s.ulHeight == 0) return false;
    if ((uint64_t)s.ulWidth * bpp > (uint64_t)s.lStride) return false;
    if (!PlaneFits(s.asPlanes[0], s.lStride, s.ulHeight, s.ulWidth * bpp)) return false;
    /* The chroma plane of an NV12 surface, where it was given (a source is read as its luma). */
    if (s.eFormat == ZOL2D_BLT_FORMAT_NV12 && s.asPlanes[1].pBase != nullptr)
        return PlaneFits(s.asPlanes[1], s.lStride, (s.ulHeight + 1) / 2, (s.ulWidth + 1) / 2 * 2);
    return true;
}

void BlitConvert(const BlitSurface &sDst, const ZOL2DRECT &rcDest, const BlitSurface &sSrc, const ZOL2DRECT &rcSource) {
    const int64_t dw = rcDest.right - rcDest.left, dh = rcDest.bottom - rcDest.top;
    const int64_t sw = rcSource.right - rcSource.left, sh = rcSource.bottom - rcSource.top;
    if (dw <= 0 || dh <= 0 || sw <= 0 || sh <= 0) return;
    const int64_t x0 = rcDest.left < 0 ? 0 : rcDest.left, y0 = rcDest.top < 0 ? 0 : rcDest.top;
    const int64_t x1 = rcDest.right > (int64_t)sDst.ulWidth ? (int64_t)sDst.ulWidth : rcDest.right;
    const int64_t y1 = rcDest.bottom > (int64_t)sDst.ulHeight ? (int64_t)sDst.ulHeight : rcDest.bottom;
    for (int64_t y = y0; y < y1; y++) {
        const int64_t sy = rcSource.top + (y - rcDest.top) * sh / dh;
        for (int64_t x = x0; x < x1; x++) {
            const int64_t sx = rcSource.left + (x - rcDest.left) * sw / dw;
            Write(sDst, (unsigned long)x, (unsigned long)y, Read(sSrc, (unsigned long)sx, (unsigned long)sy));
        }
    }
}

}  // namespace zolsim
