/* A client of the demo compositor: a process of its own, as an Android application is. It receives
   its window buffer's handle over a socket as Android's GraphicBuffer does, registers it, and for
   each frame the compositor asks for locks it for writing, draws, unlocks and answers.
   Usage: demo_client SOCKET-FD KIND. */
#include <hardware/gralloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "demo_protocol.h"
#include "hal.h"
#include "handle_transport.h"
#include "zolsim/control.h"

namespace {

/* Digits 0-9 in 3 x 5 cells, one row per 3 bits, for the frame counter. */
constexpr unsigned short kDigits[10] = {075557, 022222, 071747, 071717, 055711, 074717, 074757, 071111, 075757, 075717};

struct Canvas {
    void *apvPlanes[3];
    int iWidth, iHeight, iStride, iFormat;
};

void PutRgb(const Canvas &c, int x, int y, unsigned r, unsigned g, unsigned b) {
    if (x < 0 || y < 0 || x >= c.iWidth || y >= c.iHeight) return;
    if (c.iFormat == HAL_PIXEL_FORMAT_RGB_565) {
        static_cast<unsigned short *>(c.apvPlanes[0])[y * c.iStride + x] =
            (unsigned short)((r >> 3) << 11 | (g >> 2) << 5 | (b >> 3));
    } else { /* BGRA 8888: bytes B, G, R, A */
        static_cast<unsigned *>(c.apvPlanes[0])[y * c.iStride + x] = 0xff000000u | r << 16 | g << 8 | b;
    }
}

void PutLuma(const Canvas &c, int x, int y, unsigned char v) {
    if (x >= 0 && y >= 0 && x < c.iWidth && y < c.iHeight)
        static_cast<unsigned char *>(c.apvPlanes[0])[y * c.iStride + x] = v;
}

/* The frame number in digits of 4 x 4 pixel dots, white on the window's own colours. */
void DrawCounter(const Canvas &c, int iFrame, bool bLuma) {
    char sz[16];
    snprintf(sz, sizeof(sz), "%d", iFrame);
    for (int i = 0; sz[i] != '\0'; i++)
        for (int row = 0; row < 5; row++)
            for (int col = 0; col < 3; col++) {
                if (!((kDigits[sz[i] - '0'] >> ((4 - row) * 3 + (2 - col))) & 1)) continue;
                for (int dy = 0; dy < 4; dy++)
                    for (int dx = 0; dx < 4; dx++) {
                        int x = 10 + i * 16 + col * 4 + dx, y = 10 + row * 4 + dy;
                        if (bLuma)
                            PutLuma(c, x, y, 235);
                        else
                            PutRgb(c, x, y, 255, 255, 255);
                    }
            }
}

bool OnBorder(const Canvas &c, int x, int y) {
    return x < kDemoBorderWidth || y < kDemoBorderWidth || x >= c.iWidth - kDemoBorderWidth ||
           y >= c.iHeight - kDemoBorderWidth;
}

/* A gradient that scrolls sideways. */
void DrawGradient(const Canvas &c, int iFrame) {
    const unsigned char *pucBorder = kDemoBorder[kDemoGradient];
    for (int y = 0; y < c.iHeight; y++)
        for (int x = 0; x < c.iWidth; x++) {
            if (OnBorder(c, x, y)) {
                PutRgb(c, x, y, pucBorder[0], pucBorder[1], pucBorder[2]);
                continue;
            }
            unsigned t = (unsigned)((x + iFrame * 12) % c.iWidth) * 255u / (unsigned)c.iWidth;
            PutRgb(c, x, y, 64 + t / 2, (unsigned)y * 200u / (unsigned)c.iHeight, 255 - t);
        }
    DrawCounter(c, iFrame, false);
}

/* A ball that bounces across a dark field. */
void DrawShapes(const Canvas &c, int iFrame) {
    const unsigned char *pucBorder = kDemoBorder[kDemoShapes];
    const int iRadius = c.iHeight / 5, iSpan = c.iWidth - 2 * iRadius - 2 * kDemoBorderWidth;
    int iPos = (iFrame * 17) % (2 * iSpan);
    if (iPos > iSpan) iPos = 2 * iSpan - iPos;
    const int cx = kDemoBorderWidth + iRadius + iPos, cy = c.iHeight / 2;
    for (int y = 0; y < c.iHeight; y++)
        for (int x = 0; x < c.iWidth; x++) {
            if (OnBorder(c, x, y))
                PutRgb(c, x, y, pucBorder[0], pucBorder[1], pucBorder[2]);
            else if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= iRadius * iRadius)
                PutRgb(c, x, y, 250, 200, 40);
            else
                PutRgb(c, x, y, 20, 30, 70);
        }
    DrawCounter(c, iFrame, false);
}

/* Moving diagonal stripes in the luma plane; the chroma plane stays neutral. */
void DrawVideo(const Canvas &c, int iFrame) {
    for (int y = 0; y < c.iHeight; y++)
        for (int x = 0; x < c.iWidth; x++)
            PutLuma(c, x, y, OnBorder(c, x, y) ? 235 : (((x + y + iFrame * 8) / 16) & 1) ? 180 : 60);
    unsigned char *pucUV = static_cast<unsigned char *>(c.apvPlanes[1]);
    for (int y = 0; y < c.iHeight / 2; y++) memset(pucUV + y * c.iStride, 128, (size_t)c.iWidth);
    DrawCounter(c, iFrame, true);
}

int Fail(int iSocket, const char *pszWhat, int iErr) {
    fprintf(stderr, "demo_client: %s failed: %d\n", pszWhat, iErr);
    DemoSendInt(iSocket, iErr != 0 ? iErr : -EIO);
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: demo_client SOCKET-FD KIND\n");
        return 2;
    }
    const int iSocket = atoi(argv[1]), iKind = atoi(argv[2]);

    BufferDescription sDescription;
    native_handle_t *psHandle = ReceiveBufferHandle(iSocket, &sDescription);
    if (psHandle == nullptr) return Fail(iSocket, "receiving the window buffer", -EIO);

    const hw_module_t *psModule = nullptr;
    int iErr = hw_get_module(GRALLOC_HARDWARE_MODULE_ID, &psModule);
    if (iErr != 0) return Fail(iSocket, "hw_get_module", iErr);
    const gralloc_module_t *psGralloc = reinterpret_cast<const gralloc_module_t *>(psModule);
    if ((iErr = psGralloc->registerBuffer(psGralloc, psHandle)) != 0) return Fail(iSocket, "registerBuffer", iErr);
    DemoSendInt(iSocket, 0);

    const VEK_native_handle_t *psVek = reinterpret_cast<const VEK_native_handle_t *>(psHandle);
    for (int iFrame; DemoReceiveInt(iSocket, &iFrame) == 0 && iFrame != kDemoQuit;) {
        Canvas c = {{nullptr, nullptr, nullptr}, psVek->iWidth, psVek->iHeight, sDescription.iStride, psVek->iFormat};
        iErr =
            psGralloc->lock(psGralloc, psHandle, GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0, c.iWidth, c.iHeight, c.apvPlanes);
        if (iErr != 0) return Fail(iSocket, "lock", iErr);
        if (iKind == kDemoGradient)
            DrawGradient(c, iFrame);
        else if (iKind == kDemoShapes)
            DrawShapes(c, iFrame);
        else
            DrawVideo(c, iFrame);
        if ((iErr = psGralloc->unlock(psGralloc, psHandle)) != 0) return Fail(iSocket, "unlock", iErr);
        DemoSendInt(iSocket, 0);
    }

    /* As Android's GraphicBuffer lets a received buffer go: unregister, close, delete. */
    if ((iErr = psGralloc->unregisterBuffer(psGralloc, psHandle)) != 0) return Fail(iSocket, "unregisterBuffer", iErr);
    native_handle_close(psHandle);
    native_handle_delete(psHandle);
    DemoSendInt(iSocket, 0);
    /* Calls the real libraries would refuse fail the client. */
    if (zolsim_misuse_count() != 0) {
        fprintf(stderr, "demo_client: calls the real libraries would refuse:\n%s", zolsim_misuse_text());
        return 1;
    }
    return 0;
}
