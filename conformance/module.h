/* The module as this program reaches it: loaded through hw_get_module like any Android process,
   its allocator device opened, and the helpers the groups share (buffers that free themselves,
   plane geometry, byte patterns, and what the process holds: descriptors, memory, the dump). */
#ifndef CONFORMANCE_MODULE_H
#define CONFORMANCE_MODULE_H

#include <hardware/fb.h>
#include <hardware/gralloc.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "hal.h"
#include "harness.h"
#include "pixels.h"

namespace conformance {

/* What the command line chose, for the groups. */
struct Options {
    bool bDisplay = false;    /* the display may be taken */
    int iCycles = 2048;       /* cycles of the leak checks */
    int iFrames = 60;         /* posts per timed run */
    std::string sPresentMode; /* "flip", "blit", "front", or empty: found out from the module */
    std::string sProgram;     /* this program's path, for the client processes */
    bool bCompositor = false; /* the process runs under the compositor's name */
};

constexpr int kSwUsage = GRALLOC_USAGE_SW_READ_OFTEN | GRALLOC_USAGE_SW_WRITE_OFTEN;

/* The module, loaded and with its allocator device open. */
class Module {
public:
    Module() = default;
    ~Module();
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;

    /* Loads the module and opens "gpu0", as one check of its own; false when that failed. */
    bool Load();

    const hw_module_t *psModule = nullptr;
    const VEK_gralloc_module_t *psHMI = nullptr;
    const gralloc_module_t *psGralloc = nullptr;
    const VEK_gralloc_module_public_t *psPublic = nullptr;
    alloc_device_t *psAlloc = nullptr;
};

inline const VEK_native_handle_t *Vek(buffer_handle_t h) { return reinterpret_cast<const VEK_native_handle_t *>(h); }

/* A buffer of the allocator device that is freed when it goes, unless freed before. */
class Buffer {
public:
    Buffer(alloc_device_t *psAlloc, int w, int h, int iFormat, int iUsage);
    ~Buffer() { Free(); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;

    int Free();
    /* The handle may be forgotten without a free, for a test of what the free itself does. */
    buffer_handle_t Release();

    alloc_device_t *psAlloc;
    int iErr; /* the allocation's answer */
    buffer_handle_t h = nullptr;
    int iStride = 0; /* pixels */
    int iWidth, iHeight, iFormat, iUsage;
};

/* The planes of a buffer and the bytes of each that its rows take, for a row length of iStride
   pixels: one plane for the generic formats, luma and chroma for NV12. */
std::vector<size_t> PlaneBytes(int iFormat, unsigned uiBpp, int iHeight, int iStride);
/* The same for a handle, from what it says of itself. */
std::vector<size_t> PlaneBytes(buffer_handle_t h, int iStride);
std::string FormatName(int iFormat);

/* Locks the whole buffer; apv receives up to three plane addresses. */
int LockWhole(const gralloc_module_t *psGralloc, buffer_handle_t h, int iUsage, void **apv);

/* A byte pattern over a buffer's planes, a function of the seed. */
uint8_t PatternByte(uint32_t uiSeed, size_t uPlane, size_t uIndex);
void FillPattern(void *const *apv, const std::vector<size_t> &auBytes, uint32_t uiSeed);
/* Empty when every byte holds the pattern, else where the first one differs and how many do. */
std::string PatternMismatch(void *const *apv, const std::vector<size_t> &auBytes, uint32_t uiSeed);
/* Empty when every byte is iValue, else where the first one differs and how many do. */
std::string FillMismatch(void *const *apv, const std::vector<size_t> &auBytes, uint8_t ucValue);

/* What the process holds: open descriptors, heap bytes in use, bytes of address space mapped, and
   the allocator device's dump of the buffers it knows. */
struct ProcessState {
    unsigned uiFds = 0;
    size_t uHeapBytes = 0, uMappedBytes = 0;
    std::string sDump;
};
ProcessState MeasureProcess(alloc_device_t *psAlloc);
/* Compares two states as a leak check does, into the check: the same descriptors and dump, and
   memory grown by at most a few kilobytes over the cycles. */
void ExpectSameState(Check *pc, const ProcessState &sBefore, const ProcessState &sAfter, int iCycles);
std::string Dump(alloc_device_t *psAlloc);
/* The dump line of a stamp, or empty when the dump does not list it. */
std::string DumpLine(const std::string &sDump, uint64_t ui64Stamp);
bool DescriptorOpen(int iFd);

/* The usage named for the check names: "software", "texture", ... */
struct UsageClass {
    const char *pszName;
    int iUsage;
};

}  // namespace conformance

#endif
