// The software blitter behind ZOL2DBlt3DExt: converts a whole source surface into a destination
// rectangle between the blit formats (RGB 565, the two 32-bit layouts, NV12 destinations).
#ifndef ZOL2D_BLIT_H
#define ZOL2D_BLIT_H

#include <stddef.h>

#include "zol2d.h"

namespace zolsim {

// One plane of a surface as the CPU sees it: its first byte and the bytes that follow it in
// the memory that holds it.
struct BlitPlane {
    unsigned char *pBase;
    size_t uRoom;
};

// A surface for the blitter: plane 0, and for NV12 the chroma plane.
struct BlitSurface {
    BlitPlane asPlanes[2];
    long lStride;
    ZOL2DFORMAT eFormat;
    unsigned long ulWidth, ulHeight;
};

// True for the formats the blitter converts (an NV12 source is read as its luma alone).
bool BlitFormatKnown(ZOL2DFORMAT eFormat);

// True when the surface's rows fit in its memory.
bool BlitSurfaceFits(const BlitSurface &sSurface);

// Scales rcSource of the source into rcDest of the destination (nearest pixel), clipped to the
// destination surface.
void BlitConvert(const BlitSurface &sDst, const ZOL2DRECT &rcDest, const BlitSurface &sSrc, const ZOL2DRECT &rcSource);

}  // namespace zolsim

#endif
