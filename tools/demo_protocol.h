/* What the demo compositor and its client processes say to each other over their socket, after
   the window buffer's handle has crossed it: one int per message, as Android's binder replies
   carry a status. */
#ifndef TOOLS_DEMO_PROTOCOL_H
#define TOOLS_DEMO_PROTOCOL_H

#include <errno.h>
#include <unistd.h>

/* Compositor to client: the frame to draw (0, 1, ...), or kDemoQuit to let the buffer go and end.
   Client to compositor: 0 when the step succeeded, else the failing call's negative errno. */
constexpr int kDemoQuit = -1;

/* The kinds of window a client draws. */
enum DemoWindowKind { kDemoGradient = 0, kDemoShapes = 1, kDemoVideo = 2 };

/* Each window's frame, in the colours the pixel check looks for (8-bit RGB). */
constexpr unsigned char kDemoBorder[3][3] = {{255, 0, 0}, {0, 255, 0}, {255, 255, 255}};
constexpr int kDemoBorderWidth = 4;

static inline int DemoSendInt(int iSocket, int iValue) {
    ssize_t n;
    do n = write(iSocket, &iValue, sizeof(iValue));
    while (n < 0 && errno == EINTR);
    return n == (ssize_t)sizeof(iValue) ? 0 : -EIO;
}

static inline int DemoReceiveInt(int iSocket, int *piValue) {
    ssize_t n;
    do n = read(iSocket, piValue, sizeof(*piValue));
    while (n < 0 && errno == EINTR);
    return n == (ssize_t)sizeof(*piValue) ? 0 : -EIO;
}

#endif
