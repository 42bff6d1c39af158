/* The pixel formats the module allocates, as this program understands them on its own: how a
   pixel lies in memory, and what a conversion by the GPU must make of it. Nothing here asks the
   module; the blit checks compare what the GPU wrote with what these definitions say. */
#ifndef CONFORMANCE_PIXELS_H
#define CONFORMANCE_PIXELS_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace conformance {

constexpr int kFormatBGRX8888 = 0x1ff; /* the HAL-private BGRX layout */
constexpr int kFormatNV12 = 0x100;     /* "C110_NV12": luma plane, then a half-height plane of Cb Cr pairs */

enum class Layout {
    kBGRA8888, /* bytes B, G, R, A */
    kRGBA8888, /* bytes R, G, B, A */
    kBGRX8888, /* bytes B, G, R, and one the format leaves undefined */
    kRGBX8888, /* bytes R, G, B, undefined */
    kRGB565,   /* a little-endian 16-bit word: red in bits 15-11, green 10-5, blue 4-0 */
    kYV12,     /* planar Y, Cr, Cb in one allocation; the 2D engine has no code for it */
    kNV12,     /* two planes: Y, then interleaved Cb Cr at half resolution, both of the same stride */
};

/* A format the module registers, as it documents it. */
struct KnownFormat {
    int iHal;
    const char *pszName;
    Layout eLayout;
    unsigned uiBpp;
    bool bGPURenderable;
};

/* The module's formats in the order it registers them. */
const std::vector<KnownFormat> &KnownFormats();
const KnownFormat *FindKnownFormat(int iHal);

struct Rgba {
    uint8_t r, g, b, a;
};

bool IsRgb(Layout e);
bool HasAlpha(Layout e);
unsigned BytesPerPixel(Layout e); /* RGB layouts only */
/* 5- and 6-bit channels widened to 8 bits and back, with rounding to the nearest value. */
uint8_t Expand5(unsigned v);
uint8_t Expand6(unsigned v);

/* One RGB pixel in memory. Storing into a layout without alpha leaves its fourth byte 0xff. */
void StorePixel(Layout e, const Rgba &c, uint8_t *p);
Rgba LoadPixel(Layout e, const uint8_t *p);
/* What a copy of colour c (read from layout eFrom) into layout eTo holds, read back as a colour:
   a layout without alpha reads as opaque; 565 keeps its 5 and 6 bits. */
Rgba Converted(Layout eFrom, Layout eTo, const Rgba &c);
/* Equal as stored in layout e: the undefined byte of the X layouts is not compared. */
bool SamePixel(Layout e, const Rgba &a, const Rgba &b);
std::string Describe(const Rgba &c);

/* The colour a check's source holds at (x, y): a fixed function of the seed. With bExact565 the
   channels are values that RGB 565 holds exactly, so that a conversion into or out of it has one
   right answer, whether the engine widens a channel by rounding or by repeating its top bits;
   with bOpaque the alpha is 0xff. */
Rgba PatternColour(uint32_t uiSeed, int x, int y, bool bExact565, bool bOpaque);
/* Colours with channels of 0 or 255 only, for video destinations: any engine's rounding agrees on
   their luma, and on the chroma of black and white. */
Rgba VideoPaletteColour(uint32_t uiSeed, int iBlockX, int iBlockY);

/* BT.601 video range, the encoding of NV12 video: luma 16..235, chroma 16..240 around 128,
   computed exactly (before rounding). */
struct Yuv {
    double y, u, v;
};
Yuv ToVideoYuv(const Rgba &c);

}  // namespace conformance

#endif
