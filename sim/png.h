// PNG files of the simulated screens, written through stb_image_write (header-only, so the ARM
// build saves frames too).
#ifndef ZOLSIM_PNG_H
#define ZOLSIM_PNG_H

#include <vector>

namespace zolsim {

// The PNG file of width x height 8-bit RGB triples, rows without padding; empty when it cannot be
// made (no pixels, or no memory).
std::vector<unsigned char> EncodePng(const unsigned char *pucRGB, unsigned uiWidth, unsigned uiHeight);

}  // namespace zolsim

#endif
