/* What the compositor and a hostile client say to each other besides the handles, on the one
   socket they share (SOCK_SEQPACKET, so that each message arrives whole):

   1. compositor -> client: a HostileBrief, what a hostile process could have guessed or learnt:
      the descriptor numbers and stamps of buffers in the compositor, and the stamp its next
      allocation will get;
   2. client -> compositor, for each handle: a message of one HostileKind byte and the handle's
      name, then the handle as SendBufferHandle sends it; the compositor answers one byte when it
      has tried the handle and let it go, and only then does the next one come;
   3. client -> compositor: kHostileEnd alone. */
#ifndef TESTS_HOSTILE_CLIENT_H
#define TESTS_HOSTILE_CLIENT_H

#include "hal_public.h"

constexpr int kHostileBriefMagic = 0x484f5354; /* 'HOST' */
constexpr int kHostileMaxVictims = 8;

struct HostileVictim {
    char szName[32];
    int aiFd[3]; /* the descriptor slots of the compositor's handle: its descriptor numbers */
    VEK_UINT64 ui64Stamp;
    int iWidth, iHeight, iFormat, iUsage;
};

struct HostileBrief {
    int iMagic;
    int iVictims;
    HostileVictim asVictims[kHostileMaxVictims];
    VEK_UINT64 ui64NextStamp; /* the stamp of the compositor's next allocation */
};

/* How the compositor must answer the handle that follows. */
enum HostileKind : char {
    kHostileForged = 'F',    /* every entry point refuses it with -EINVAL */
    kHostileNotMemory = 'N', /* the same, but registration meets a descriptor that is not
                                device memory: -EFAULT */
    kHostileGenuine = 'G',   /* a sound buffer of the client's own: it registers, and the
                                compositor keeps it to read and compose */
    kHostileEnd = 'E',       /* no handle: the stream is over */
};

/* The genuine buffer: BGRA 8888 of 64 x 32 pixels, rows of 64, each pixel this value. Its
   components survive a conversion to RGB 565 exactly (red and blue multiples of 8, green of 4),
   so that the screen shows the same value the buffer holds. */
constexpr int kHostileGenuineWidth = 64, kHostileGenuineHeight = 32;
constexpr unsigned HostileGenuinePixel(int x, int y) {
    return 0xff000000u | (unsigned)((x * 4) & 0xf8) << 16 | (unsigned)((y * 8) & 0xfc) << 8 | 0x80u;
}

#endif
