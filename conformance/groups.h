/* The groups of checks, each run in a process of its own that loads the module afresh. */
#ifndef CONFORMANCE_GROUPS_H
#define CONFORMANCE_GROUPS_H

#include "module.h"

namespace conformance {

void RunAllocGroup(const Options &sOptions);
void RunProcessGroup(const Options &sOptions);
void RunGpuGroup(const Options &sOptions);
void RunDisplayGroup(const Options &sOptions);
void RunBadInputGroup(const Options &sOptions);
void RunLeakGroup(const Options &sOptions);
void RunTimingGroup(const Options &sOptions);

/* The formats the module lists that this program knows, in the module's order. */
std::vector<KnownFormat> ListedFormats(const Module &sModule);

/* Fills the destination with a background, copies a source of format s holding a pattern of the
   seed into a rectangle of it with Blit2, and compares what a lock then sees, in the rectangle and
   around it (gpu group; the display group composes into a display buffer with it). */
void CheckBlit2Into(Check *pc, const Module &m, const KnownFormat &s, buffer_handle_t hDst, int iDstStride,
                    uint32_t uiSeed, bool bScaled);

/* fb0 as Android's framebuffer window holds it: the device, and the display buffers taken through
   the allocator device until none was left (one slot answers every request in front mode, so it
   is taken once). Given back and closed when it goes. */
struct Display {
    ~Display();
    /* Opens fb0 and takes the buffers; 0, or the first failing call's answer. */
    int Open(const Module &m);
    /* Gives the buffers back and closes fb0; 0, or the first failing call's answer. */
    int Close();

    const Module *psModule = nullptr;
    framebuffer_device_t *psFb = nullptr;
    std::vector<buffer_handle_t> ahBuffers;
    int iStride = 0;       /* what the allocator answered for the display buffers */
    int iTakeErr = 0;      /* the allocation that ended the taking */
    bool bOneSlot = false; /* a second request answered the first one's handle */
};
/* Posts the display buffers in turn, iFrames times: the duration of each post. The first post
   that fails ends the run, its answer in *piErr. */
std::vector<double> TimePosts(const Display &s, int iFrames, int *piErr);
/* "0.03 ms per post, the display refreshes every 16.67 ms (60.000 fps)". */
std::string DescribePosts(const Display &s, const std::vector<double> &adSeconds);

inline int RoundUp(int v, int iAlign) { return (v + iAlign - 1) & ~(iAlign - 1); }
/* The stride and size the allocator gives a request: rows of the width rounded up to 32 pixels,
   and for NV12 width and height rounded up to 16, the stride being the width. */
int ExpectedStride(int iFormat, int w);
int ExpectedWidth(int iFormat, int w);
int ExpectedHeight(int iFormat, int h);

}  // namespace conformance

#endif
