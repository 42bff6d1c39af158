/* The display formats of the 2D library in Android terms. */
#ifndef MODESET_H
#define MODESET_H

#include <system/graphics.h>

/* Indexed by ZOL2DDISPLAYINFO.eFormat; 255 marks a display format the module does not drive. */
#define VEK_ZOL2D_DISPLAY_FORMATS 6
#define VEK_HAL_FORMAT_UNSUPPORTED 255

static constexpr int aeZOL2D2HAL[VEK_ZOL2D_DISPLAY_FORMATS] = {
    VEK_HAL_FORMAT_UNSUPPORTED, HAL_PIXEL_FORMAT_RGB_565,   VEK_HAL_FORMAT_UNSUPPORTED,
    VEK_HAL_FORMAT_UNSUPPORTED, HAL_PIXEL_FORMAT_BGRA_8888, VEK_HAL_FORMAT_UNSUPPORTED,
};

/* Bytes per pixel of each display format. */
static constexpr int alZOL2D2HALBpp[VEK_ZOL2D_DISPLAY_FORMATS] = {0, 2, 0, 0, 4, 0};

#endif
