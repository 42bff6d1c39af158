/* A client of the compositor, in a process of its own.

   client_process SOCKET-FD: the receiving side of a buffer: it gets a handle over the socket,
   registers it, reads the allocator's pixels, writes its own, and lets it go as Android does.
   Prints one line of findings; exit status 0 when all held.

   client_process --hostile SOCKET-FD: a hostile client. It makes buffers of its own memory
   through the services, as another process's allocator would, and sends the compositor, one at
   a time, every kind of forged handle it can make of them and of what the compositor tells it
   (hostile_client.h), and one genuine buffer. Prints how many it sent; exit status 0 when it
   could make and send them all. */
#include <fcntl.h>
#include <hardware/gralloc.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "forged_handle.h"
#include "foreign_buffer.h"
#include "hal.h"
#include "handle_transport.h"
#include "hostile_client.h"
#include "zolsim/control.h"

static int Fail(const char *pszWhat, int iErr) {
    printf("FAILED %s: %d\n", pszWhat, iErr);
    return 1;
}

/* ---- The hostile client: client_process --hostile SOCKET-FD ---- */

namespace {

bool gbAllocatorFailed = false;

/* The stream of handles to the compositor, one at a time. */
class HostileStream {
public:
    explicit HostileStream(int iSocket) : iSocket_(iSocket) {}

    /* Sends the handle under its kind and name and waits until the compositor is done with it. */
    bool Send(HostileKind eKind, const std::string &sName, const native_handle_t *psHandle) {
        if (!bOk_) return false;
        const std::string sMessage = std::string(1, (char)eKind) + sName;
        BufferDescription sDescription = {0, 0, 0, 0, 0};
        if (psHandle != nullptr && psHandle->numFds >= 0 && psHandle->numFds + psHandle->numInts >= 10) {
            const VEK_native_handle_t *ps = reinterpret_cast<const VEK_native_handle_t *>(psHandle);
            sDescription = {ps->iWidth, ps->iHeight, ps->iWidth, ps->iFormat, ps->usage};
        }
        char cDone = 0;
        bOk_ = send(iSocket_, sMessage.data(), sMessage.size(), 0) == (ssize_t)sMessage.size() &&
               (psHandle == nullptr ||
                (SendBufferHandle(iSocket_, psHandle, sDescription) == 0 && recv(iSocket_, &cDone, 1, 0) == 1));
        if (!bOk_) printf("FAILED sending %s\n", sName.c_str());
        if (psHandle != nullptr) uiSent++;
        return bOk_;
    }
    bool Forged(const std::string &sName, const native_handle_t *ps) { return Send(kHostileForged, sName, ps); }
    bool Forged(const std::string &sName, const VEK_native_handle_t *ps) { return Forged(sName, &ps->base); }
    bool NotMemory(const std::string &sName, const VEK_native_handle_t *ps) {
        return Send(kHostileNotMemory, sName, &ps->base);
    }

    unsigned uiSent = 0;

private:
    int iSocket_;
    bool bOk_ = true;
};

constexpr int kUse = GRALLOC_USAGE_SW_READ_OFTEN | GRALLOC_USAGE_SW_WRITE_OFTEN | GRALLOC_USAGE_HW_TEXTURE;

/* Memory of the client's own, each plane w x h x 4 bytes (never less than a page), under a copy
   of its handle that the caller may spoil. */
VEK_native_handle_t *Own(ForeignAllocator &sMem, Forgery &f, int usage, int w, int h, int iFormat, int iPlanes) {
    const VEK_SIZE_T uBytes = (VEK_SIZE_T)std::max<long long>(4096, std::min<long long>((long long)w * h * 4, 1 << 24));
    return f.Copy(sMem.MakeAs(usage, w, h, iFormat, std::vector<VEK_SIZE_T>((size_t)iPlanes, uBytes)));
}

/* A handle of numFds 0 whose descriptor slots hold the given numbers as ints. */
VEK_native_handle_t *IntsForDescriptors(Forgery &f, const int aiNumbers[3]) {
    VEK_native_handle_t *ps = AsVek(f.Raw(0, 10));
    for (int i = 0; i < 3; i++) ps->fd[i] = aiNumbers[i];
    return ps;
}

void Describe(VEK_native_handle_t *ps, VEK_UINT64 ui64Stamp, int usage, int w, int h, int iFormat) {
    ps->ui64Stamp = ui64Stamp;
    ps->usage = usage;
    ps->iWidth = w;
    ps->iHeight = h;
    ps->iFormat = iFormat;
    ps->uiBpp = iFormat == ForeignAllocator::kNV12 ? 12 : iFormat == HAL_PIXEL_FORMAT_RGB_565 ? 16 : 32;
}

/* What the compositor knows of a buffer of its own, claimed with the client's own memory or with
   the compositor's descriptor numbers as ints. */
void ForgeVictim(HostileStream &s, ForeignAllocator &sMem, Forgery &f, const HostileVictim &v) {
    const std::string sOf = std::string(" of ") + v.szName;
    const int iPlanes = v.iFormat == ForeignAllocator::kNV12 ? 2 : 1;
    const bool bDisplay = (v.iUsage & GRALLOC_USAGE_HW_FB) != 0;
    const int iUsage = bDisplay ? kUse : v.iUsage;
    /* The same description, planes of the client's own, under the victim's stamp: with the
       victim's usage, and without mapping usage, which registers without keeping a mapping. */
    for (int usage : {iUsage, (int)GRALLOC_USAGE_HW_COMPOSER}) {
        VEK_native_handle_t *ps = Own(sMem, f, usage, v.iWidth, v.iHeight, v.iFormat, iPlanes);
        ps->ui64Stamp = v.ui64Stamp;
        s.Forged("own memory under the stamp" + sOf + " with usage " + std::to_string(usage), ps);
    }
    /* Display usage, whose slots are never descriptors, holding the compositor's numbers: none,
       or the client's own plane first. */
    VEK_native_handle_t *ps = IntsForDescriptors(f, v.aiFd);
    Describe(ps, v.ui64Stamp, GRALLOC_USAGE_HW_FB | GRALLOC_USAGE_SW_READ_OFTEN, v.iWidth, v.iHeight, v.iFormat);
    s.Forged("display usage with the descriptor numbers" + sOf + " as ints", ps);
    ps = Own(sMem, f, GRALLOC_USAGE_HW_FB | GRALLOC_USAGE_SW_READ_OFTEN, v.iWidth, v.iHeight, v.iFormat, 1);
    ps->ui64Stamp = v.ui64Stamp;
    ps->fd[1] = v.aiFd[1] >= 0 ? v.aiFd[1] : v.aiFd[0];
    s.Forged("display usage, an own plane, then a descriptor number" + sOf, ps);
    if (bDisplay) return;
    /* The numbers in the descriptor slots of an ordinary handle, counted as ints or after an own
       plane. */
    ps = IntsForDescriptors(f, v.aiFd);
    Describe(ps, v.ui64Stamp, v.iUsage, v.iWidth, v.iHeight, v.iFormat);
    s.Forged("the descriptor numbers" + sOf + " as ints", ps);
    if (iPlanes == 2) {
        ps = Own(sMem, f, v.iUsage, v.iWidth, v.iHeight, v.iFormat, 1);
        ps->ui64Stamp = v.ui64Stamp;
        ps->fd[1] = v.aiFd[1];
        s.Forged("an own luma plane and the chroma descriptor number" + sOf, ps);
    }
}

/* Sizes whose rows wrap 32 bits or pass the plane, and negative sizes, on 4 KiB of memory. */
void ForgeSizes(HostileStream &s, ForeignAllocator &sMem, Forgery &f) {
    const int aiSizes[][2] = {{134217760, 1}, {INT_MAX, 1000}, {INT_MAX, 1}, {64, 0x40000000}, {1 << 16, 1 << 16},
                              {65, 32},       {-64, 32},       {64, -32},    {INT_MIN, 1},     {-1, -1}};
    for (const auto &aiSize : aiSizes) {
        VEK_native_handle_t *ps = f.Copy(sMem.MakeAs(kUse, 64, 16, HAL_PIXEL_FORMAT_BGRA_8888, {4096}));
        ps->iWidth = aiSize[0];
        ps->iHeight = aiSize[1];
        s.Forged("BGRA " + std::to_string(aiSize[0]) + " x " + std::to_string(aiSize[1]) + " in 4096 bytes", ps);
    }
    /* A video buffer whose chroma plane is far smaller than its rows: 256 x 256 needs 32,768. */
    s.Forged("NV12 256 x 256 with a 4096-byte chroma plane",
             f.Copy(sMem.MakeAs(kUse, 256, 256, ForeignAllocator::kNV12, {65536, 4096})));
}

/* Formats no record knows, and descriptor counts that are not the format's planes. */
void ForgeFormatsAndCounts(HostileStream &s, ForeignAllocator &sMem, Forgery &f) {
    for (int iFormat : {(int)HAL_PIXEL_FORMAT_RGB_888, 0, -1, INT_MAX}) {
        VEK_native_handle_t *ps = Own(sMem, f, GRALLOC_USAGE_HW_TEXTURE | GRALLOC_USAGE_HW_RENDER, 64, 32, iFormat, 1);
        s.Forged("format " + std::to_string(iFormat) + " with GPU usage", ps);
    }
    s.Forged("BGRA with two descriptors", Own(sMem, f, kUse, 64, 32, HAL_PIXEL_FORMAT_BGRA_8888, 2));
    s.Forged("BGRA with three descriptors", Own(sMem, f, kUse, 64, 32, HAL_PIXEL_FORMAT_BGRA_8888, 3));
    s.Forged("NV12 with one descriptor", Own(sMem, f, kUse, 64, 32, ForeignAllocator::kNV12, 1));
    s.Forged("NV12 with three descriptors", Own(sMem, f, kUse, 64, 32, ForeignAllocator::kNV12, 3));
    /* Four descriptors: the fourth takes the stamp's low word. */
    VEK_native_handle_t *psThree = Own(sMem, f, kUse, 64, 32, HAL_PIXEL_FORMAT_BGRA_8888, 3);
    native_handle_t *psFour = f.Raw(4, 6);
    for (int i = 0; i < 3; i++) psFour->data[i] = psThree->fd[i];
    psFour->data[3] = psThree->fd[0];
    for (int i = 4; i < 10; i++) psFour->data[i] = psThree->base.data[i - 1];
    s.Forged("four descriptors", psFour);
    /* Counts that do not add up to the handle's ten words. */
    const int aiCounts[][2] = {{1, 8}, {1, 10}, {2, 9}, {0, 0}, {1, 0}, {0, 9}};
    for (const auto &aiCount : aiCounts) {
        VEK_native_handle_t *psSource = Own(sMem, f, kUse, 64, 32, HAL_PIXEL_FORMAT_BGRA_8888, aiCount[0]);
        psSource->ui64Stamp = 0xdead0012beefULL;
        native_handle_t *ps = f.Raw(aiCount[0], aiCount[1]);
        for (int i = 0; i < aiCount[0] + aiCount[1]; i++) ps->data[i] = i < 10 ? psSource->base.data[i] : 0;
        s.Forged(std::to_string(aiCount[0]) + " descriptors and " + std::to_string(aiCount[1]) + " ints", ps);
    }
    /* Numbers of this process's standard streams and more, as ints in place of descriptors. */
    const int aiNumbers[3] = {0, 1, 2};
    VEK_native_handle_t *ps = IntsForDescriptors(f, aiNumbers);
    Describe(ps, 0xdead0010beefULL, kUse, 64, 32, HAL_PIXEL_FORMAT_BGRA_8888);
    s.Forged("descriptor numbers 0, 1, 2 as ints", ps);
}

/* Descriptors that are not device memory, alone and as a video buffer's chroma plane. */
void ForgeNotMemory(HostileStream &s, ForeignAllocator &sMem, Forgery &f, VEK_UINT64 ui64VictimStamp) {
    int aiPipe[2] = {-1, -1};
    if (pipe(aiPipe) == 0) {
        f.Own(aiPipe[0]);
        f.Own(aiPipe[1]);
    }
    int aiSockets[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, aiSockets) == 0) {
        f.Own(aiSockets[0]);
        f.Own(aiSockets[1]);
    }
    /* A file of device memory's size that the services never made. */
    const int iPlain = f.Own(memfd_create("not-device-memory", 0));
    if (iPlain >= 0 && ftruncate(iPlain, 3 * 4096) != 0) printf("FAILED ftruncate\n");
    const struct {
        const char *pszName;
        int iFd;
    } asFiles[] = {{"a pipe", aiPipe[0]},
                   {"/dev/null", f.Own(open("/dev/null", O_RDWR))},
                   {"a socket", aiSockets[0]},
                   {"a memory file the services never made", iPlain},
                   {"the root directory", f.Own(open("/", O_RDONLY | O_DIRECTORY))}};
    for (const auto &sFile : asFiles) {
        for (VEK_UINT64 ui64Stamp : {(VEK_UINT64)0xdead0011beefULL, ui64VictimStamp}) {
            VEK_native_handle_t *ps = AsVek(f.Raw(1, 9));
            ps->fd[0] = sFile.iFd;
            ps->fd[1] = ps->fd[2] = -1;
            Describe(ps, ui64Stamp, kUse, 64, 32, HAL_PIXEL_FORMAT_BGRA_8888);
            s.NotMemory(std::string(sFile.pszName) + " as a buffer" +
                            (ui64Stamp == ui64VictimStamp ? " under a compositor buffer's stamp" : ""),
                        ps);
        }
        VEK_native_handle_t *ps = Own(sMem, f, kUse, 64, 32, ForeignAllocator::kNV12, 2);
        ps->fd[1] = sFile.iFd;
        s.NotMemory(std::string(sFile.pszName) + " as the chroma plane of an own video buffer", ps);
    }
}

int Hostile(int iSocket) {
    HostileBrief sBrief;
    if (recv(iSocket, &sBrief, sizeof(sBrief), 0) != (ssize_t)sizeof(sBrief) || sBrief.iMagic != kHostileBriefMagic ||
        sBrief.iVictims < 1 || sBrief.iVictims > kHostileMaxVictims)
        return Fail("brief", 0);
    int iErr = 0;
    {
        ForeignAllocator sMem;
        Forgery f;
        HostileStream s(iSocket);

        for (int i = 0; i < sBrief.iVictims; i++) ForgeVictim(s, sMem, f, sBrief.asVictims[i]);
        /* The stamp the compositor's next buffer will get, taken first. */
        for (int usage : {kUse, (int)GRALLOC_USAGE_HW_COMPOSER}) {
            VEK_native_handle_t *ps = Own(sMem, f, usage, 64, 32, HAL_PIXEL_FORMAT_BGRA_8888, 1);
            ps->ui64Stamp = sBrief.ui64NextStamp;
            s.Forged("own memory under the stamp of the compositor's next buffer, usage " + std::to_string(usage), ps);
        }

        /* The genuine buffer, its stamp claimed by other memory before and after it arrives. */
        buffer_handle_t hGenuine =
            sMem.MakeAs(kUse, kHostileGenuineWidth, kHostileGenuineHeight, HAL_PIXEL_FORMAT_BGRA_8888,
                        {(VEK_SIZE_T)kHostileGenuineWidth * kHostileGenuineHeight * 4});
        unsigned *pui = static_cast<unsigned *>(sMem.apsPlanes.back()->pvLinAddr);
        for (int y = 0; y < kHostileGenuineHeight; y++)
            for (int x = 0; x < kHostileGenuineWidth; x++)
                pui[y * kHostileGenuineWidth + x] = HostileGenuinePixel(x, y);
        const VEK_UINT64 ui64Genuine = AsVek(hGenuine)->ui64Stamp;
        auto fnClaimGenuine = [&](const std::string &sWhen) {
            VEK_native_handle_t *ps =
                Own(sMem, f, kUse, kHostileGenuineWidth, kHostileGenuineHeight, HAL_PIXEL_FORMAT_BGRA_8888, 1);
            ps->ui64Stamp = ui64Genuine;
            s.Forged("other memory under the genuine buffer's stamp " + sWhen, ps);
        };
        fnClaimGenuine("before it arrives");
        s.Send(kHostileGenuine, "the genuine buffer", hGenuine);
        fnClaimGenuine("once it is registered");
        /* The genuine buffer's own memory under a second handle, described as more than it holds,
           as less, or as nothing: the compositor registered the first one. */
        const int aiSizes[][2] = {{kHostileGenuineWidth + 1, kHostileGenuineHeight},
                                  {kHostileGenuineWidth, kHostileGenuineHeight + 1},
                                  {4096, 4096},
                                  {134217760, 1},
                                  {INT_MAX, INT_MAX},
                                  {kHostileGenuineWidth / 2, kHostileGenuineHeight / 2},
                                  {0, kHostileGenuineHeight},
                                  {kHostileGenuineWidth, 0},
                                  {0, 0}};
        for (const auto &aiSize : aiSizes) {
            VEK_native_handle_t *ps = f.Copy(hGenuine);
            ps->iWidth = aiSize[0];
            ps->iHeight = aiSize[1];
            s.Forged(
                "the genuine buffer's handle claiming " + std::to_string(aiSize[0]) + " x " + std::to_string(aiSize[1]),
                ps);
        }

        ForgeSizes(s, sMem, f);
        ForgeFormatsAndCounts(s, sMem, f);
        ForgeNotMemory(s, sMem, f, sBrief.asVictims[0].ui64Stamp);
        s.Send(kHostileEnd, "", nullptr);
        printf("sent=%u\n", s.uiSent);
    }
    /* Calls the real libraries would refuse fail the run, as does memory it could not make. */
    if (zolsim_misuse_count() != 0) {
        fprintf(stderr, "%s", zolsim_misuse_text());
        iErr = 1;
    }
    return gbAllocatorFailed ? 1 : iErr;
}

}  // namespace

void ForeignAllocatorFailed(const char *pszCall, int iErr) {
    printf("FAILED %s: %d\n", pszCall, iErr);
    gbAllocatorFailed = true;
}

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "--hostile") == 0) return Hostile(atoi(argv[2]));
    if (argc != 2) return Fail("usage", 0);
    /* The allocator's simulated GPU ends the lock's waits, seen through the shared counters: 50
       waits of a second each do not run out before it finishes, however late the allocator's
       machine runs it. */
    zolsim_set_wait_timeout_ms(1000);

    BufferDescription sDescription;
    native_handle_t *psHandle = ReceiveBufferHandle(atoi(argv[1]), &sDescription);
    if (psHandle == nullptr) return Fail("receive", 0);

    const hw_module_t *psModule = nullptr;
    int iErr = hw_get_module(GRALLOC_HARDWARE_MODULE_ID, &psModule);
    if (iErr != 0) return Fail("hw_get_module", iErr);
    const gralloc_module_t *psGralloc = reinterpret_cast<const gralloc_module_t *>(psModule);
    const VEK_native_handle_t *psVek = reinterpret_cast<const VEK_native_handle_t *>(psHandle);

    if ((iErr = psGralloc->registerBuffer(psGralloc, psHandle)) != 0) return Fail("registerBuffer", iErr);
    const ZOLSRV_CLIENT_MEM_INFO *psMem = zolsim_meminfo_by_stamp(psVek->ui64Stamp);
    if (psMem == nullptr) return Fail("mapping with the handle's stamp", 0);

    void *apv[3] = {nullptr, nullptr, nullptr};
    iErr = psGralloc->lock(psGralloc, psHandle, GRALLOC_USAGE_SW_READ_OFTEN | GRALLOC_USAGE_SW_WRITE_OFTEN, 0, 0,
                           sDescription.iWidth, sDescription.iHeight, apv);
    if (iErr != 0) return Fail("lock", iErr);
    const ZOLSRV_SYNC_DATA *psSync = psMem->psClientSyncInfo->psSyncData;
    int bGpuDone = psSync->ui32ReadOpsComplete >= psSync->ui32ReadOpsPending;

    /* The allocator wrote each row's index into its pixels; answer with the complement. */
    unsigned *pui = static_cast<unsigned *>(apv[0]);
    int iMismatches = 0;
    for (int y = 0; y < sDescription.iHeight; y++)
        for (int x = 0; x < sDescription.iWidth; x++) {
            unsigned *puiPixel = &pui[y * sDescription.iStride + x];
            if (*puiPixel != (unsigned)(y * 65536 + x)) iMismatches++;
            *puiPixel = ~(unsigned)(y * 65536 + x);
        }
    if ((iErr = psGralloc->unlock(psGralloc, psHandle)) != 0) return Fail("unlock", iErr);
    if ((iErr = psGralloc->unregisterBuffer(psGralloc, psHandle)) != 0) return Fail("unregisterBuffer", iErr);
    native_handle_close(psHandle);
    native_handle_delete(psHandle);

    printf("mismatches=%d gpu_done=%d stalls=%u mappings=%u\n", iMismatches, bGpuDone, zolsim_stall_reports(),
           zolsim_live_mappings());
    /* Calls the real libraries would refuse fail the run like wrong pixels. */
    if (zolsim_misuse_count() != 0) fprintf(stderr, "%s", zolsim_misuse_text());
    return iMismatches == 0 && bGpuDone && zolsim_misuse_count() == 0 ? 0 : 1;
}
