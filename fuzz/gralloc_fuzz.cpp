/* libFuzzer target: arbitrary handle bytes and arguments against the handle-taking entry points.

   Each input is a short program. Every step names an entry point, a handle and that call's
   arguments; the handle is one of the buffers the input starts with (own buffers of one and two
   planes, a lent video pair, a display buffer, registered and never-registered foreign buffers of
   one, two and three planes) or a forgery built from one of them with any of its words replaced
   by input bytes. A step may also give the GPU work on a buffer, finished at the next wait or
   left pending. Around every input the buffers are made afresh and released afterwards; then the
   simulated device, the process's descriptors and the module's mapper list must be exactly as
   before the input, and no call the real libraries would refuse may have been made, or the
   target aborts.

   Descriptor slots of forged handles hold the template's own descriptors, -1, -2, a descriptor
   of /dev/null that the module must never close, any descriptor open in the process (other
   buffers' included) or a raw number; stamps may be any value or another live buffer's, widths
   and heights any value or one near the 32-bit limits.

   Every lock that succeeds with CPU access must hand out, for each plane, an address of the
   memory whose stamp is that plane's in the buffer the handle's stamp names: the target writes
   through its own view of that memory and reads the change back through the address.

   Blit writes into caller memory of a fixed size, far more than any template's memory converts
   to, whatever the handle claims: a blit that believed a description its source cannot hold
   writes past it. Blit2 goes between the handle and one of the input's own or display buffers;
   post may be bypassed, and Post2 lists the handle, NULL for the kept buffer and an own buffer.
   New entry points join as rows of asEntryPoints. */
#include <errno.h>
#include <fcntl.h>
#include <hardware/fb.h>
#include <hardware/gralloc.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <dirent.h>
#include <limits.h>
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
    ZOLSRV_CLIENT_MEM_INFO *apsMem[VEK_NATIVE_HANDLE_NUM_FDS_MAX] = {};
    native_handle_t *psHandle = nullptr;
};

ZOLSRV_CONNECTION *gpsForeignConnection;
ZOLSRV_DEV_DATA gsForeignDevData;
VEK_HANDLE ghForeignContext, ghForeignHeap;

constexpr int kNV12 = 0x100;

/* iPlanes planes of 64 x 32 x 4 bytes each, more than either format's rows of 64 x 32 take. */
Foreign MakeForeign(int usage, int iFormat = HAL_PIXEL_FORMAT_BGRA_8888, int iPlanes = 1) {
    Foreign s;
    s.psHandle = native_handle_create(iPlanes, VEK_NATIVE_HANDLE_NUM_WORDS - iPlanes);
    VEK_native_handle_t *ps = reinterpret_cast<VEK_native_handle_t *>(s.psHandle);
    for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++) {
        ps->fd[i] = -1;
        if (i >= iPlanes) continue;
        if (ZOLSRVAllocDeviceMem2(&gsForeignDevData, ghForeignHeap, 0x10001003, 64 * 32 * 4, 4096, nullptr, 0,
                                  &s.apsMem[i]) != ZOLSRV_OK ||
            ZOLSRVExportDeviceMem2(&gsForeignDevData, s.apsMem[i], &ps->fd[i]) != ZOLSRV_OK)
            abort();
    }
    ps->ui64Stamp = s.apsMem[0]->ui64Stamp;
    ps->usage = usage;
    ps->iWidth = 64;
    ps->iHeight = 32;
    ps->iFormat = iFormat;
    ps->uiBpp = iFormat == kNV12 ? 12 : 32;
    return s;
}

void FreeForeign(Foreign &s) {
    native_handle_close(s.psHandle);
    native_handle_delete(s.psHandle);
    for (ZOLSRV_CLIENT_MEM_INFO *psMem : s.apsMem)
        if (psMem != nullptr) ZOLSRVFreeDeviceMem(&gsForeignDevData, psMem);
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

/* What the input's buffers are, learnt from the services and the process, not from the module:
   the stamps of each buffer's planes (its descriptors mapped once to read them; a display buffer
   has its handle's), every descriptor open, every plane's stamp. */
struct Known {
    std::vector<std::vector<VEK_UINT64>> aaui64Planes;
    std::vector<int> aiOpenFds;
    std::vector<VEK_UINT64> aui64Stamps;
};

Known gsKnown;

std::vector<VEK_UINT64> PlaneStamps(buffer_handle_t h) {
    const VEK_native_handle_t *ps = reinterpret_cast<const VEK_native_handle_t *>(h);
    if (h->numFds == 1 && ps->fd[0] == -2) return {ps->ui64Stamp};
    std::vector<VEK_UINT64> aui64;
    for (int i = 0; i < h->numFds; i++) {
        ZOLSRV_CLIENT_MEM_INFO *psMem = nullptr;
        Check(ZOLSRVMapDeviceMemory2(&gsForeignDevData, ps->fd[i], ghForeignHeap, &psMem) == ZOLSRV_OK,
              "a template's descriptor is not device memory");
        aui64.push_back(psMem->ui64Stamp);
        Check(ZOLSRVUnmapDeviceMemory(&gsForeignDevData, psMem) == ZOLSRV_OK, "unmap");
    }
    return aui64;
}

std::vector<int> OpenDescriptors() {
    std::vector<int> aiFds;
    if (DIR *psDir = opendir("/proc/self/fd")) {
        for (struct dirent *ps; (ps = readdir(psDir)) != nullptr;)
            if (ps->d_name[0] != '.') aiFds.push_back(atoi(ps->d_name));
        closedir(psDir);
    }
    return aiFds;
}

/* The address shows the memory of the stamp: a change made through this process's own view of
   that memory (the target's allocation, or a mapping) is seen through it, at both ends. */
void CheckShowsMemory(const void *pv, VEK_UINT64 ui64Stamp) {
    ZOLSRV_CLIENT_MEM_INFO *psMem = zolsim_meminfo_by_stamp(ui64Stamp);
    Check(psMem != nullptr, "a locked plane's memory is gone");
    volatile uint8_t *pui8Own = static_cast<volatile uint8_t *>(psMem->pvLinAddr);
    const volatile uint8_t *pui8 = static_cast<const volatile uint8_t *>(pv);
    for (size_t uAt : {(size_t)0, (size_t)psMem->uAllocSize - 1}) {
        const uint8_t ui8Was = pui8Own[uAt];
        pui8Own[uAt] = (uint8_t)~ui8Was;
        const bool bSeen = pui8[uAt] == (uint8_t)~ui8Was;
        pui8Own[uAt] = ui8Was;
        Check(bSeen, "a lock handed out an address that is not the memory of the plane's stamp");
    }
}

/* Every address a lock with CPU access handed out is that plane's memory, of the buffer whose
   first plane has the handle's stamp. */
void CheckLockedPlanes(buffer_handle_t h, void *const *apv) {
    const VEK_UINT64 ui64Stamp = reinterpret_cast<const VEK_native_handle_t *>(h)->ui64Stamp;
    const std::vector<VEK_UINT64> *paui64Planes = nullptr;
    for (const std::vector<VEK_UINT64> &aui64 : gsKnown.aaui64Planes)
        if (!aui64.empty() && aui64[0] == ui64Stamp) paui64Planes = &aui64;
    Check(paui64Planes != nullptr, "a lock succeeded for a stamp that no buffer of the input has");
    for (size_t i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX && apv[i] != nullptr; i++) {
        Check(i < paui64Planes->size(), "a lock handed out more planes than the buffer has");
        CheckShowsMemory(apv[i], (*paui64Planes)[i]);
    }
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
    if (iErr == 0 && bVaddr && (usage & 0x33)) CheckLockedPlanes(h, apv);
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

/* Caller memory for Blit: 4 MiB a plane, twice what the largest template's memory (the display
   buffer's) takes in the widest format, whatever size the handle claims. A blit that believed a
   description its source memory cannot hold writes past it. */
std::vector<uint8_t> gaui8Planes[VEK_NATIVE_HANDLE_NUM_FDS_MAX];

int CallBlit(buffer_handle_t h, Input &sIn) {
    int iFormat = (int)sIn.Word();
    uint8_t ui8Planes = sIn.Byte() % 4;
    void *apvDest[VEK_NATIVE_HANDLE_NUM_FDS_MAX] = {};
    for (int i = 0; i < VEK_NATIVE_HANDLE_NUM_FDS_MAX; i++) {
        if (i >= ui8Planes) break;
        gaui8Planes[i].resize(4u << 20);
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
   when bits 5 and 6 are both set, so that the seeds made before those rows keep their meaning;
   with bits 2 to 6 all set, no entry point but work for the GPU (kGpuStep). */
constexpr size_t kGpuStep = 12;
size_t EntryIndex(uint8_t ui8Op) {
    if ((ui8Op & 0x7c) == 0x7c) return kGpuStep;
    return (ui8Op & 0x60) == 0x60 ? 8 + (ui8Op & 3u) : ui8Op % 8u;
}
static_assert(kNumEntryPoints == kGpuStep, "EntryIndex covers every row");

/* GPU work on a plane of a template: reads, writes and second reads pending, finished at the
   next wait of the process (all of them, or the reads only) or left pending, so that a lock's
   waits run out and a release waits for the worker. Everything is finished at the input's end. */
void GpuWork(size_t uTemplate, Input &sIn) {
    if (uTemplate >= gsKnown.aaui64Planes.size() || gsKnown.aaui64Planes[uTemplate].empty()) return;
    const std::vector<VEK_UINT64> &aui64Planes = gsKnown.aaui64Planes[uTemplate];
    ZOLSRV_CLIENT_MEM_INFO *psMem = zolsim_meminfo_by_stamp(aui64Planes[sIn.Byte() % aui64Planes.size()]);
    if (psMem == nullptr) return;
    const uint8_t ui8 = sIn.Byte();
    zolsim_gpu_add_ops(psMem, ui8 & 3u, (ui8 >> 2) & 3u, (ui8 >> 4) & 1u);
    if ((ui8 >> 5) == 6)
        zolsim_gpu_complete_classes_on_next_wait(psMem, ZOLSIM_GPU_READS | ZOLSIM_GPU_READS2);
    else if ((ui8 >> 5) != 7)
        zolsim_gpu_complete_on_next_wait(psMem);
}

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
        const uint8_t ui8 = sIn.Byte();
        switch (ui8 & 7) {
            case 0: /* the template's own */
                break;
            case 1:
                ps->fd[i] = -1;
                break;
            case 2:
                ps->fd[i] = -2;
                break;
            case 3:
                ps->fd[i] = giDevNull;
                break;
            case 4: /* any descriptor open in the process: other buffers', the fuzzer's, ... */
                ps->fd[i] = gsKnown.aiOpenFds.empty() ? -1 : gsKnown.aiOpenFds[sIn.Byte() % gsKnown.aiOpenFds.size()];
                break;
            case 5: /* a raw number, as a sender's int in a descriptor slot would be */
                ps->fd[i] = (int)(int8_t)sIn.Byte();
                break;
            case 6:
                ps->fd[i] = (int)sIn.Word();
                break;
            default: /* another slot's */
                ps->fd[i] = ps->fd[(i + 1 + (ui8 >> 3)) % VEK_NATIVE_HANDLE_NUM_FDS_MAX];
                break;
        }
    }
    if (ui32Mask & 0x40) ps->ui64Stamp = ((VEK_UINT64)sIn.Word() << 32) | sIn.Word();
    if (ui32Mask & 0x80) ps->ui64Stamp ^= sIn.Byte();
    if ((ui32Mask & 0x2000) && !gsKnown.aui64Stamps.empty())
        ps->ui64Stamp = gsKnown.aui64Stamps[sIn.Byte() % gsKnown.aui64Stamps.size()];
    if (ui32Mask & 0x100) ps->usage = (int)sIn.Word();
    if (ui32Mask & 0x200) ps->iWidth = (int)sIn.Word();
    if (ui32Mask & 0x400) ps->iHeight = (int)sIn.Word();
    /* Sizes whose rows, rounded to 32 pixels and multiplied out, meet the 32-bit limits. */
    static const int aiNearLimits[] = {INT_MAX,    INT_MAX - 15, INT_MAX - 31, 0x7fffffe0, 0x40000000, 0x3fffffff,
                                       0x20000000, 134217760,    134217728,    0x10000,    0xffff,     0x8001,
                                       2049,       4096,         800,          480,        0,          -1,
                                       INT_MIN,    INT_MIN + 1};
    constexpr size_t kNearLimits = sizeof(aiNearLimits) / sizeof(aiNearLimits[0]);
    if (ui32Mask & 0x4000) ps->iWidth = aiNearLimits[sIn.Byte() % kNearLimits];
    if (ui32Mask & 0x8000) ps->iHeight = aiNearLimits[sIn.Byte() % kNearLimits];
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
    /* The first video buffer for the composer makes the pool of lent pairs, which then lives as
       long as the module: made before the baseline, so that every input finds it there. */
    buffer_handle_t hLent = nullptr;
    int iStride = 0;
    Check(gpsAlloc->alloc(gpsAlloc, 64, 32, kNV12, GRALLOC_USAGE_HW_COMPOSER, &hLent, &iStride) == 0 &&
              (reinterpret_cast<const VEK_native_handle_t *>(hLent)->usage & GRALLOC_USAGE_PRIVATE_1) != 0,
          "no lent video pair");
    Check(gpsAlloc->free(gpsAlloc, hLent) == 0, "free of a lent pair");
    gsBaseline = Measure();
    return 0;
}

/* Waits until the deferred releases the input queued have run: the worker ends once its list
   is empty, which it sees only after the GPU's last completions. */
bool ReleasesDone() {
    for (int i = 0; i < 10000; i++) {
        const Baseline s = Measure();
        if (s.uiAllocations == gsBaseline.uiAllocations && s.uiMappings == gsBaseline.uiMappings &&
            s.uiEntries == gsBaseline.uiEntries)
            return true;
        usleep(1000);
    }
    return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pui8Data, size_t uSize) {
    Input sIn(pui8Data, uSize);

    /* The buffers this input starts with: own ones of one and two planes, a lent video pair, a
       display buffer, and foreign ones, registered or not, of one, two and three planes. */
    buffer_handle_t ahOwn[4] = {};
    int iStride = 0;
    Check(gpsAlloc->alloc(gpsAlloc, 64, 16, HAL_PIXEL_FORMAT_BGRA_8888, kSw | GRALLOC_USAGE_HW_TEXTURE, &ahOwn[0],
                          &iStride) == 0,
          "alloc");
    Check(gpsAlloc->alloc(gpsAlloc, 17, 5, HAL_PIXEL_FORMAT_RGB_565, GRALLOC_USAGE_HW_RENDER, &ahOwn[1], &iStride) == 0,
          "alloc");
    Check(gpsAlloc->alloc(gpsAlloc, 64, 32, kNV12, kSw | GRALLOC_USAGE_HW_TEXTURE, &ahOwn[2], &iStride) == 0,
          "video alloc");
    Check(gpsAlloc->alloc(gpsAlloc, 64, 32, kNV12, GRALLOC_USAGE_HW_COMPOSER, &ahOwn[3], &iStride) == 0,
          "lent video alloc");
    buffer_handle_t hDisplay = nullptr;
    Check(gpsAlloc->alloc(gpsAlloc, gpsFb->width, gpsFb->height, gpsFb->format, GRALLOC_USAGE_HW_FB, &hDisplay,
                          &iStride) == 0,
          "display alloc");
    Foreign asForeign[4] = {MakeForeign(kSw | GRALLOC_USAGE_HW_RENDER), MakeForeign(GRALLOC_USAGE_HW_COMPOSER),
                            MakeForeign(kSw | GRALLOC_USAGE_HW_TEXTURE, kNV12, 2),
                            MakeForeign(kSw | GRALLOC_USAGE_HW_TEXTURE, kNV12, 3)};
    Check(gpsGralloc->registerBuffer(gpsGralloc, asForeign[0].psHandle) == 0, "register");
    Check(gpsGralloc->registerBuffer(gpsGralloc, asForeign[2].psHandle) == 0, "register of a video buffer");
    gahOthers[0] = ahOwn[0];
    gahOthers[1] = hDisplay;
    /* The first six keep the places the seeds made before the others know them by. */
    const buffer_handle_t ahTemplates[] = {ahOwn[0], ahOwn[1], hDisplay, asForeign[0].psHandle, asForeign[1].psHandle,
                                           nullptr,  ahOwn[2], ahOwn[3], asForeign[2].psHandle, asForeign[3].psHandle};
    constexpr size_t kNumTemplates = sizeof(ahTemplates) / sizeof(ahTemplates[0]);
    gsKnown.aaui64Planes.clear();
    gsKnown.aui64Stamps.clear();
    for (buffer_handle_t h : ahTemplates) {
        gsKnown.aaui64Planes.push_back(h != nullptr ? PlaneStamps(h) : std::vector<VEK_UINT64>());
        for (VEK_UINT64 ui64 : gsKnown.aaui64Planes.back()) gsKnown.aui64Stamps.push_back(ui64);
    }
    gsKnown.aiOpenFds = OpenDescriptors();

    /* Forgeries the program registered: a careful caller unregisters them too. */
    std::vector<Forged> asRegistered;

    for (int iStep = 0; iStep < 16 && !sIn.Empty(); iStep++) {
        uint8_t ui8Op = sIn.Byte();
        const uint8_t ui8Template = sIn.Byte();
        const size_t uTemplate = ui8Template < 0xf0 ? ui8Template % 6u : 6u + ui8Template % (kNumTemplates - 6u);
        buffer_handle_t hTemplate = ahTemplates[uTemplate];
        if (EntryIndex(ui8Op) == kGpuStep) {
            GpuWork(uTemplate, sIn);
            continue;
        }
        EntryPoint pfnEntry = asEntryPoints[EntryIndex(ui8Op)];
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

    /* The GPU finishes everything, so that what is let go below goes at once or soon. */
    for (VEK_UINT64 ui64 : gsKnown.aui64Stamps)
        if (ZOLSRV_CLIENT_MEM_INFO *psMem = zolsim_meminfo_by_stamp(ui64)) zolsim_gpu_complete(psMem);
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
    std::vector<buffer_handle_t> ahHeld;
    for (buffer_handle_t h : ahTemplates)
        if (h != nullptr) ahHeld.push_back(h);
    for (Forged &s : asRegistered) ahHeld.push_back(&s.sHeader);
    for (buffer_handle_t h : ahHeld) {
        while (gpsGralloc->unlock(gpsGralloc, h) == 0) {
        }
        while (HMI.unmap(gpsGralloc, reinterpret_cast<const VEK_native_handle_t *>(h)->ui64Stamp) == 0) {
        }
    }
    for (Forged &s : asRegistered) gpsGralloc->unregisterBuffer(gpsGralloc, &s.sHeader);
    /* A buffer the program freed through a copy leaves the original handle to its caller; if the
       program then registered that handle, the buffer is another process's to this one (a lent
       pair's memory outlives its loan), and is unregistered like one. */
    for (buffer_handle_t h : ahOwn) {
        if (gpsAlloc->free(gpsAlloc, h) == 0) continue;
        gpsGralloc->unregisterBuffer(gpsGralloc, h);
        native_handle_delete(const_cast<native_handle_t *>(h));
    }
    gpsAlloc->free(gpsAlloc, hDisplay);
    for (Foreign &s : asForeign) {
        /* The module closes no descriptor it was only shown. */
        for (int i = 0; i < s.psHandle->numFds; i++)
            Check(fcntl(s.psHandle->data[i], F_GETFD) != -1, "a foreign buffer's descriptor was closed");
        while (gpsGralloc->unregisterBuffer(gpsGralloc, s.psHandle) == 0) {
        }
        FreeForeign(s);
    }

    /* Each input starts with no kept buffer, so that a crash input replays alone. */
    reinterpret_cast<VEK_raw_framebuffer_device_t *>(gpsFb)->psLastPostedFrameBuffer = nullptr;

    if (zolsim_misuse_count() != 0) {
        fprintf(stderr, "%s", zolsim_misuse_text());
        Check(false, "a call the real libraries would refuse was made");
    }
    Check(ReleasesDone(), "allocations, mappings or mapper entries left behind");
    Baseline sAfter = Measure();
    Check(sAfter.uiExported == gsBaseline.uiExported, "exported descriptors left open");
    /* The fuzzer itself opens files between inputs; a descriptor the module must not close is
       watched instead of the process's count. */
    Check(fcntl(giDevNull, F_GETFD) != -1, "a descriptor the module does not own was closed");
    Check(reinterpret_cast<VEK_raw_framebuffer_device_t *>(gpsFb)->ui32AllocMask == 0, "a display slot left taken");
    return 0;
}
