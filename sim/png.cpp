// PNG through stb_image_write: the one translation unit that holds its implementation.
#include "png.h"

#include <limits.h>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#include <stb_image_write.h>

namespace zolsim {

namespace {

void Append(void *pvContext, void *pvData, int iSize) {
    std::vector<unsigned char> *pv = static_cast<std::vector<unsigned char> *>(pvContext);
    const unsigned char *puc = static_cast<const unsigned char *>(pvData);
    pv->insert(pv->end(), puc, puc + iSize);
}

}  // namespace

std::vector<unsigned char> EncodePng(const unsigned char *pucRGB, unsigned uiWidth, unsigned uiHeight) {
    std::vector<unsigned char> png;
    if (pucRGB == nullptr || uiWidth == 0 || uiHeight == 0 || uiWidth > INT_MAX / 3 || uiHeight > INT_MAX) return png;
    if (stbi_write_png_to_func(Append, &png, (int)uiWidth, (int)uiHeight, 3, pucRGB, (int)(uiWidth * 3)) == 0)
        png.clear();
    return png;
}

}  // namespace zolsim
