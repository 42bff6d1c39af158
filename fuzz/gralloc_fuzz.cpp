/* libFuzzer target: arbitrary handle bytes and arguments against the handle-taking entry points.

   Each input is a short program. Every step names an entry point, a handle and that call's
   arguments; the handle is one of the buffers the input starts with (own, display, registered
   foreign, never-registered foreign) or a forgery built from one of them with any of its words
   replaced by input bytes. Around every input the buffers are made afresh and released
   afterwards; then the simulated device, the process's descriptors and the module's mapper list
   must be exactly as before the input, or the target aborts.

   Descriptor slots of forged handles hold the template's own descriptors, -1, -2 or a
   descriptor of /dev/null that the module must never close.

   Blit writes into memory sized from the handle's own description; Blit2 goes between the handle
   and one of the input's own or display buffers; post may be bypassed, and Post2 lists the
   handle, NULL for the kept buffer and an own buffer. New entry points join as rows of
   asEntryPoints. */
#include <errno.h>
#include <fcntl.h>
#include <hardware/fb.h>
#include <hardware/gralloc.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "framebuffer.h"
#include "hal.h"
#include "zolsim/control.h"

extern "C" VEK_gralloc_module_t HMI;

namespace {

/* Reads the input front to back; past its end every read is 0. */
class Input {
public:
    Input(const uint8_t *pui8Data, size_t uSize) : pui8Data_(pui8Data), uSize_(uSize) {}
    bool Empty() const { return uPos_ >= uSize_; }
    uint8_t Byte() { return uPos_ < uSize_ ? pui8Data_[uPos_++] : 0; }
    uint32_t Word() {
        uint32_t ui32 = 0;
        for (int i = 0; i < 4; i++) ui32 |= (uint32_t)Byte() << (8 * i);
        return ui32;
    }

private:
    const uint8_t *pui8Data_;
    size_t uSize_;
    size_t uPos_ = 0;
};

const gralloc_module_t *gpsGralloc = &HMI.base.base;
alloc_device_t *gpsAlloc;
framebuffer_device_t *gpsFb;
int giDevNull = -1;
/* GRALLOC_FUZZ_TRACE set: every step and its result on standard error, to read a crash input. */
const bool gbTrace = getenv("GRALLOC_FUZZ_TRACE") != nullptr;

/* A buffer made the way another process's allocator makes one, and its handle. */
struct Foreign {
    ZOLSRV_CLIENT_MEM_INFO *psMem = nullptr;
    native_handle_t *psHandle = nullptr;
};

ZOLSRV_CONNECTION *gpsForeignConnection;
ZOLSRV_DEV_DATA gsForeignDevData;
VEK_HANDLE ghForeignContext, ghForeignHeap;

Foreign MakeForeign(int usage) {
    Foreign s;
    if (ZOLSRVAllocDeviceMem2(&gsForeignDevData, ghForeignHeap, 0x10001003, 64 * 16 * 4, 4096, nullptr, 0, &s.psMem) !=
        ZOLSRV_OK)
        abort();
    s.psHandle = native_handle_create(1, 9);
    VEK_native_handle_t *ps = reinterpret_cast<VEK_native_handle_t *>(s.psHandle);
    if (ZOLSRVExportDeviceMem2(&gsForeignDevData, s.psMem, &ps->fd[0]) != ZOLSRV_OK) abort();
    ps->fd[1] = ps->fd[2] = -1;
    ps->ui64Stamp = s.psMem->ui64Stamp;
    ps->usage = usage;
    ps->iWidth = 64;
    ps->iHeight = 16;
    ps->iFormat = HAL_PIXEL_FORMAT_BGRA_8888;
    ps->uiBpp = 32;
    return s;
}

void FreeForeign(Foreign &s) {
    native_handle_close(s.psHandle);
    native_handle_delete(s.psHandle);
    ZOLSRVFreeDeviceMem(&gsForeignDevData, s.psMem);
}

struct Baseline {
    unsigned uiAllocations, uiMappings, uiExported, uiEntries;
};

/* The list is read under the module mutex: the release worker may be changing it. */
Baseline Measure() {
    Baseline s = {zolsim_live_allocations(), zolsim_live_mappings(), zolsim_live_exported_fds(), 0};
    ZOLSRVLockMutex(HMI.sPrivateData.hMutex);
    for (VEK_mapper_meminfo_t *ps = HMI.sPrivateData.psMapList; ps != nullptr; ps = ps->psNext) s.uiEntries++;
    ZOLSRVUnlockMutex(HMI.sPrivateData.hMutex);
    return s;
}

bool operator==(const Baseline &a, const Baseline &b) {
    return a.uiAllocations == b.uiAllocations && a.uiMappings == b.uiMappings && a.uiExported == b.uiExported &&
           a.uiEntries == b.uiEntries;
}

Baseline gsBaseline;

void Check(bool bHolds, const char *pszWhat) {
    if (bHolds) return;
    fprintf(stderr, "gralloc_fuzz: %s\n", pszWhat);
    abort();
}

typedef int (*EntryPoint)(buffer_handle_t h, Input &sIn);

int CallFree(buffer_handle_t h, Input &) { return gpsAlloc->free(gpsAlloc, h); }
int CallRegister(buffer_handle_t h, Input &) { return gpsGralloc->registerBuffer(gpsGralloc, h); }
int CallUnregister(buffer_handle_t h, Input &) { return gpsGralloc->unregisterBuffer(gpsGralloc, h); }
int CallLock(buffer_handle_t h, Input &sIn) {
    void *apv[3] = {};
    int usage = (int)sIn.Word();
    int l = (int)sIn.Word(), t = (int)sIn.Word(), w = (int)sIn.Word(), hh = (int)sIn.Word();
    /* Software access is any of the read and write bits the module accepts (0x33). */
    bool bVaddr = (sIn.Byte() & 1) == 0;
    int iErr = gpsGralloc->lock(gpsGralloc, h, usage, l, t, w, hh, bVaddr ? apv : nullptr);
    Check(!(iErr == 0 && bVaddr && (usage & 0x33) && apv[0] == nullptr),
          "a software lock succeeded without handing out the buffer's address");
    /* What a lock hands out must be the buffer's memory: touch the locked rows. */
    if (iErr == 0 && apv[0] != nullptr && w > 0 && hh > 0) {
        const VEK_native_handle_t *ps = reinterpret_cast<const VEK_native_handle_t *>(h);
        volatile uint8_t *pui8 = static_cast<volatile uint8_t *>(apv[0]);
        size_t uOffset = ((size_t)t * (size_t)((ps->iWidth + 31) & ~31) + (size_t)l) * (ps->uiBpp / 8);
        (void)pui8[uOffset];
    }
    return iErr;
}
int CallUnlock(buffer_handle_t h, Input &) { return gpsGralloc->unlock(gpsGralloc, h); }
int CallGetPhyAddrs(buffer_handle_t h, Input &) {
    unsigned int auiPhy[3] = {};
    return HMI.base.GetPhyAddrs(&HMI.base, h, auiPhy);
}
int CallMap(buffer_handle_t h, Input &sIn) {
    ZOLSRV_CLIENT_MEM_INFO *apsMem[3] = {};
    VEK_UINT64 ui64Stamp = h != nullptr ? reinterpret_cast<const VEK_native_handle_t *>(h)->ui64Stamp : sIn.Word();
    return HMI.map(gpsGralloc, ui64Stamp, (int)sIn.Word(), apsMem);
}
int CallUnmap(buffer_handle_t h, Input &sIn) {
    VEK_UINT64 ui64Stamp = h != nullptr ? reinterpret_cast<const VEK_native_handle_t *>(h)->ui64Stamp : sIn.Word();
    return HMI.unmap(gpsGralloc, ui64Stamp);
}

/* Caller memory for Blit, as a careful caller sizes it from the handle's own description: room
   for the widest format, rows and columns rounded up. Descriptions of more than 4 MiB are not
   blitted, so that every step stays cheap. */
std::vector<uint8_t> gaui8Planes[VEK_NATIVE_HANDLE_NUM_FDS_MAX];

int CallBlit(buffer_handle_t h, Input &sIn) {
    int iFormat = (int)sIn.Word();
    uint8_t ui8Planes = sIn.Byte() % 4;
    size_t uBytes = 4096;
    if (h != nullptr && h->numFds >= 0 && h->numInts >= 0 && h->numFds + h->numInts >= VEK_NATIVE_HANDLE_NUM_WORDS) {
        const VEK_native_handle_t *ps = reinterpret_cast<const VEK_native_handle_t *>(h);
        if (ps->iWidth < 0 || ps->iHeight < 0 || ps->iWidth > 2048 || ps->iHeight > 2048) return 0;
        uBytes = ((size_t)ps->iWidth + 32) * ((size_t)ps->iHeight + 16) * 4;
        if (uBytes > 4u << 20) return 0;
    }
    void *apvDest[VEK_NATIVE_HANDLE_NUM_FDS_MAX] = {};
    for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++) {
        if (i >= ui8Planes) break;
        gaui8Planes[i].resize(uBytes);
        apvDest[i] = gaui8Planes[i].data();
    }
    return HMI.base.Blit(&HMI.base, h, (sIn.Byte() & 0x80) ? nullptr : apvDest, iFormat);
}

/* The rectangle's corner and size: mostly small, now and then any value. */
int RectValue(Input &sIn) {
    uint8_t ui8 = sIn.Byte();
    return (ui8 & 0x80) ? (int)sIn.Word() : (int)(int8_t)(ui8 << 1) * 4;
}

/* Blit2 between the handle and another of the input's buffers, in either direction. */
buffer_handle_t gahOthers[2];

int CallBlit2(buffer_handle_t h, Input &sIn) {
    uint8_t ui8 = sIn.Byte();
    buffer_handle_t hOther = gahOthers[ui8 & 1];
    int w = RectValue(sIn), hh = RectValue(sIn), x = RectValue(sIn), y = RectValue(sIn);
    if (ui8 & 2) return HMI.base.Blit2(&HMI.base, hOther, h, w, hh, x, y);
    return HMI.base.Blit2(&HMI.base, h, hOther, w, hh, x, y);
}

/* A post, bypassed or not; a bypassed one keeps the buffer for the next Post2. */
int CallPost(buffer_handle_t h, Input &sIn) {
    VEK_framebuffer_device_public_t *psPublic = reinterpret_cast<VEK_framebuffer_device_public_t *>(gpsFb);
    psPublic->bBypassPost = sIn.Byte() & 1;
    int iErr = gpsFb->post(gpsFb, h);
    psPublic->bBypassPost = 0;
    return iErr;
}

/* Post2 of a list of up to three: the handle, NULL (the kept buffer) and the input's others. */
int CallPost2(buffer_handle_t h, Input &sIn) {
    uint8_t ui8 = sIn.Byte();
    buffer_handle_t ah[3] = {h, nullptr, gahOthers[0]};
    int iCount = (int)(int8_t)sIn.Byte();
    if (iCount > 3) iCount = 3;
    int iData = (int)sIn.Word();
    return reinterpret_cast<VEK_framebuffer_device_public_t *>(gpsFb)->Post2(
        gpsFb, (ui8 & 1) ? nullptr : ah, iCount, (ui8 & 2) ? &iData : nullptr, (ui8 & 2) ? (int)sizeof(iData) : 0);
}

const EntryPoint asEntryPoints[] = {CallFree, CallRegister, CallUnregister, CallLock,  CallUnlock, CallGetPhyAddrs,
                                    CallMap,  CallUnmap,    CallBlit,       CallBlit2, CallPost,   CallPost2};
constexpr size_t kNumEntryPoints = sizeof(asEntryPoints) / sizeof(asEntryPoints[0]);

/* The step's entry point: the first eight rows by the low three bits, the display and blit rows
   when bits 5 and 6 are both set, so that the seeds made before those rows keep their meaning. */
size_t EntryIndex(uint8_t ui8Op) { return (ui8Op & 0x60) == 0x60 ? 8 + (ui8Op & 3u) : ui8Op % 8u; }
static_assert(kNumEntryPoints == 12, "EntryIndex covers every row");

/* A forgery: the template's words with some replaced by input bytes. The header may claim any
   counts, but the record behind it always has room for the whole handle. */
struct Forged {
    native_handle_t sHeader;
    int aiData[VEK_NATIVE_HANDLE_NUM_WORDS];
};

buffer_handle_t Forge(Forged &sForged, buffer_handle_t hTemplate, Input &sIn) {
    memset(&sForged, 0, sizeof(sForged));
    if (hTemplate != nullptr) memcpy(&sForged, hTemplate, sizeof(VEK_native_handle_t));
    VEK_native_handle_t *ps = reinterpret_cast<VEK_native_handle_t *>(&sForged);
    uint32_t ui32Mask = sIn.Word();
    if (ui32Mask & 1) ps->base.version = (int)sIn.Word();
    if (ui32Mask & 2) ps->base.numFds = (int)(int8_t)sIn.Byte();
    if (ui32Mask & 4) ps->base.numInts = (int)(int8_t)sIn.Byte();
    for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++) {
        if (!(ui32Mask & (8u << i))) continue;
        const int aiChoices[] = {ps->fd[i], -1, -2, giDevNull};
        ps->fd[i] = aiChoices[sIn.Byte() & 3];
    }
    if (ui32Mask & 0x40) ps->ui64Stamp = ((VEK_UINT64)sIn.Word() << 32) | sIn.Word();
    if (ui32Mask & 0x80) ps->ui64Stamp ^= sIn.Byte();
    if (ui32Mask & 0x100) ps->usage = (int)sIn.Word();
    if (ui32Mask & 0x200) ps->iWidth = (int)sIn.Word();
    if (ui32Mask & 0x400) ps->iHeight = (int)sIn.Word();
    if (ui32Mask & 0x800) ps->iFormat = (int)sIn.Word();
    if (ui32Mask & 0x1000) ps->uiBpp = sIn.Word();
    return &sForged.sHeader;
}

constexpr int kSw = GRALLOC_USAGE_SW_READ_OFTEN | GRALLOC_USAGE_SW_WRITE_OFTEN;

/* A free succeeds by deleting the handle it is given, so it gets a heap copy: the templates stay
   the input's own. */
void FuzzFree(buffer_handle_t hTemplate, bool bForge, Input &sIn) {
    Forged *psForged = static_cast<Forged *>(malloc(sizeof(Forged)));
    if (bForge || hTemplate == nullptr)
        Forge(*psForged, hTemplate, sIn);
    else
        memcpy(psForged, hTemplate, sizeof(VEK_native_handle_t));
    int iErr = gpsAlloc->free(gpsAlloc, &psForged->sHeader);
    Check(iErr <= 0, "free answered a positive result");
    if (iErr != 0) free(psForged);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zolsim_set_wait_timeout_ms(1);
    Check(HMI.base.base.common.methods != nullptr, "no module record");
    hw_device_t *psDevice = nullptr;
    const hw_module_t *psModule = &HMI.base.base.common;
    Check(psModule->methods->open(psModule, GRALLOC_HARDWARE_GPU0, &psDevice) == 0, "gpu0 does not open");
    gpsAlloc = reinterpret_cast<alloc_device_t *>(psDevice);
    Check(psModule->methods->open(psModule, GRALLOC_HARDWARE_FB0, &psDevice) == 0, "fb0 does not open");
    gpsFb = reinterpret_cast<framebuffer_device_t *>(psDevice);
    giDevNull = open("/dev/null", O_RDWR);

    Check(ZOLSRVConnect(&gpsForeignConnection, 0) == ZOLSRV_OK, "foreign connection");
    Check(ZOLSRVAcquireDeviceData(gpsForeignConnection, 0, &gsForeignDevData, ZOLSRV_DEVICE_TYPE_UNKNOWN) == ZOLSRV_OK,
          "foreign device");
    ZOLSRV_HEAP_INFO asHeaps[ZOLSRV_MAX_CLIENT_HEAPS];
    VEK_UINT32 ui32Heaps = 0;
    Check(ZOLSRVCreateDeviceMemContext(&gsForeignDevData, &ghForeignContext, &ui32Heaps, asHeaps) == ZOLSRV_OK,
          "foreign context");
    for (VEK_UINT32 i = 0; i < ui32Heaps && ghForeignHeap == nullptr; i++)
        if ((asHeaps[i].ui32HeapID & 0x00ffffff) == 0) ghForeignHeap = asHeaps[i].hDevMemHeap;
    gsBaseline = Measure();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pui8Data, size_t uSize) {
    Input sIn(pui8Data, uSize);

    /* The buffers this input starts with. */
    buffer_handle_t ahOwn[2] = {};
    int iStride = 0;
    int iAllocErr = gpsAlloc->alloc(gpsAlloc, 64, 16, HAL_PIXEL_FORMAT_BGRA_8888, kSw | GRALLOC_USAGE_HW_TEXTURE,
                                    &ahOwn[0], &iStride);
    Check(iAllocErr == 0, "alloc");
    Check(gpsAlloc->alloc(gpsAlloc, 17, 5, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_RENDER, &ahOwn[1], &iStride) == 0,
          "alloc");
    buffer_handle_t hDisplay = nullptr;
    Check(gpsAlloc->alloc(gpsAlloc, gpsFb->width, gpsFb->height, gpsFb->format, GRALLOC_USAGE_HW_FB, &hDisplay,
                          &iStride) == 0,
          "display alloc");
    Foreign asForeign[2] = {MakeForeign(kSw | GRALLOC_USAGE_HW_RENDER), MakeForeign(GRALLOC_USAGE_HW_COMPOSER)};
    Check(gpsGralloc->registerBuffer(gpsGralloc, asForeign[0].psHandle) == 0, "register");
    gahOthers[0] = ahOwn[0];
    gahOthers[1] = hDisplay;
    const buffer_handle_t ahTemplates[] = {ahOwn[0], ahOwn[1], hDisplay, asForeign[0].psHandle, asForeign[1].psHandle,
                                           nullptr};
    constexpr size_t kNumTemplates = sizeof(ahTemplates) / sizeof(ahTemplates[0]);

    /* Forgeries the program registered: a careful caller unregisters them too. */
    std::vector<Forged> asRegistered;

    for (int iStep = 0; iStep < 16 && !sIn.Empty(); iStep++) {
        uint8_t ui8Op = sIn.Byte();
        EntryPoint pfnEntry = asEntryPoints[EntryIndex(ui8Op)];
        const size_t uTemplate = sIn.Byte() % kNumTemplates;
        buffer_handle_t hTemplate = ahTemplates[uTemplate];
        if (pfnEntry == CallFree) {
            FuzzFree(hTemplate, (ui8Op & 0x80) != 0, sIn);
            continue;
        }
        Forged sForged;
        buffer_handle_t h = (ui8Op & 0x80) ? Forge(sForged, hTemplate, sIn) : hTemplate;
        int iErr = pfnEntry(h, sIn);
        if (gbTrace)
            fprintf(stderr, "step %d: entry point %zu on template %zu%s: %d (mappings %u)\n", iStep, EntryIndex(ui8Op),
                    uTemplate, h != hTemplate ? " forged" : "", iErr, zolsim_live_mappings());
        Check(iErr <= 0, "an entry point answered a positive result");
        if (pfnEntry == CallRegister && iErr == 0 && h == &sForged.sHeader) asRegistered.push_back(sForged);
    }

    /* The display moves on to a display buffer of its own, as at the next frame: it reads none of
       the input's buffers any more, so that releases that wait for it can run. */
    buffer_handle_t hNextFrame = nullptr;
    Check(gpsAlloc->alloc(gpsAlloc, gpsFb->width, gpsFb->height, gpsFb->format, GRALLOC_USAGE_HW_FB, &hNextFrame,
                          &iStride) == 0,
          "display alloc for the next frame");
    Check(gpsFb->post(gpsFb, hNextFrame) == 0, "post of the next frame");
    Check(gpsAlloc->free(gpsAlloc, hNextFrame) == 0, "display free after the next frame");

    /* Everything let go as a careful caller would; what a forgery already released answers an
       error here and is not counted against the module. */
    std::vector<buffer_handle_t> ahHeld(ahTemplates, ahTemplates + kNumTemplates - 1);
    for (Forged &s : asRegistered) ahHeld.push_back(&s.sHeader);
    for (buffer_handle_t h : ahHeld) {
        while (gpsGralloc->unlock(gpsGralloc, h) == 0) {
        }
        while (HMI.unmap(gpsGralloc, reinterpret_cast<const VEK_native_handle_t *>(h)->ui64Stamp) == 0) {
        }
    }
    for (Forged &s : asRegistered) gpsGralloc->unregisterBuffer(gpsGralloc, &s.sHeader);
    /* A buffer the program freed through a copy leaves the original handle to its caller. */
    for (buffer_handle_t h : ahOwn)
        if (gpsAlloc->free(gpsAlloc, h) != 0) native_handle_delete(const_cast<native_handle_t *>(h));
    gpsAlloc->free(gpsAlloc, hDisplay);
    for (Foreign &s : asForeign) {
        while (gpsGralloc->unregisterBuffer(gpsGralloc, s.psHandle) == 0) {
        }
        FreeForeign(s);
    }

    /* Each input starts with no kept buffer, so that a crash input replays alone. */
    reinterpret_cast<VEK_raw_framebuffer_device_t *>(gpsFb)->psLastPostedFrameBuffer = nullptr;

    /* A release that waited for the display runs on the worker once the display moved on. */
    Baseline sAfter = Measure();
    for (int i = 0; i < 4000 && !(sAfter == gsBaseline); i++) {
        usleep(500);
        sAfter = Measure();
    }
    Check(sAfter.uiAllocations == gsBaseline.uiAllocations, "allocations left live");
    Check(sAfter.uiMappings == gsBaseline.uiMappings, "mappings left live");
    Check(sAfter.uiExported == gsBaseline.uiExported, "exported descriptors left open");
    /* The fuzzer itself opens files between inputs; a descriptor the module must not close is
       watched instead of the process's count. */
    Check(fcntl(giDevNull, F_GETFD) != -1, "a descriptor the module does not own was closed");
    Check(sAfter.uiEntries == gsBaseline.uiEntries, "mapper entries left behind");
    Check(reinterpret_cast<VEK_raw_framebuffer_device_t *>(gpsFb)->ui32AllocMask == 0, "a display slot left taken");
    return 0;
}
