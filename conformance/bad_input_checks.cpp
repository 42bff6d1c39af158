/* Bad input: NULL and forged handles at every entry point that takes one, forgeries sent from a
   client process as a hostile application would send them, impossible sizes, unknown formats and
   device names, lock rectangles outside the buffer, and misuse of locks, maps and blits. Each is
   refused with the answer the module documents; nothing crashes (a crash fails the check it
   happened in, and the group goes on in a new process). */
#include <errno.h>
#include <limits.h>
#include <string.h>

#include "client.h"
#include "groups.h"

namespace conformance {
namespace {

constexpr int kW = 64, kH = 48;

/* Every entry point that takes a handle, given h; the answers, named, for the checks. */
struct Answer {
    const char *pszWhat;
    int iErr;
};

std::vector<Answer> CallEveryEntryPoint(const Module &m, buffer_handle_t h, buffer_handle_t hReal) {
    const gralloc_module_t *psG = m.psGralloc;
    const VEK_gralloc_module_public_t *psP = m.psPublic;
    std::vector<Answer> as;
    void *apv[3] = {nullptr, nullptr, nullptr};
    std::vector<uint32_t> auiDest((size_t)RoundUp(kW, 32) * kH);
    void *apvDest[3] = {auiDest.data(), nullptr, nullptr};
    unsigned auiAddr[3] = {0, 0, 0};
    as.push_back({"lock", psG->lock(psG, h, GRALLOC_USAGE_SW_READ_OFTEN, 0, 0, kW, kH, apv)});
    if (as.back().iErr == 0) psG->unlock(psG, h);
    as.push_back({"unlock", psG->unlock(psG, h)});
    as.push_back({"unregisterBuffer", psG->unregisterBuffer(psG, h)});
    as.push_back({"free", m.psAlloc->free(m.psAlloc, h)});
    as.push_back({"GetPhyAddrs", psP->GetPhyAddrs(psP, h, auiAddr)});
    as.push_back({"Blit from it", psP->Blit(psP, h, apvDest, 5)});
    as.push_back({"Blit2 from it", psP->Blit2(psP, h, hReal, 16, 16, 0, 0)});
    as.push_back({"Blit2 into it", psP->Blit2(psP, hReal, h, 16, 16, 0, 0)});
    return as;
}

void ExpectAllRefused(Check *pc, const std::vector<Answer> &as) {
    for (const Answer &s : as) pc->ExpectErr(-EINVAL, s.iErr, "%s", s.pszWhat);
}

void CheckNullArguments(const Module &m) {
    Buffer b(m.psAlloc, kW, kH, 5, kSwUsage | GRALLOC_USAGE_HW_TEXTURE);
    {
        Check c("null_handles");
        if (!c.ExpectErr(0, b.iErr, "alloc")) return;
        ExpectAllRefused(&c, CallEveryEntryPoint(m, nullptr, b.h));
        c.ExpectErr(-EINVAL, m.psGralloc->registerBuffer(m.psGralloc, nullptr), "registerBuffer");
    }
    Check c("null_arguments");
    buffer_handle_t h = nullptr;
    int iStride = 0;
    alloc_device_t *psA = m.psAlloc;
    c.ExpectErr(-EINVAL, psA->alloc(psA, kW, kH, 5, kSwUsage, nullptr, &iStride),
                "alloc without a place for the handle");
    c.ExpectErr(-EINVAL, psA->alloc(psA, kW, kH, 5, kSwUsage, &h, nullptr), "alloc without a place for the stride");
    c.ExpectErr(-EINVAL, psA->alloc(nullptr, kW, kH, 5, kSwUsage, &h, &iStride), "alloc on a NULL device");
    c.ExpectErr(-EINVAL, psA->free(nullptr, b.h), "free on a NULL device");
    c.ExpectErr(-EINVAL, m.psGralloc->lock(m.psGralloc, b.h, GRALLOC_USAGE_SW_READ_OFTEN, 0, 0, kW, kH, nullptr),
                "a CPU lock without a place for the addresses");
    void *apv[3] = {reinterpret_cast<void *>(0x1), reinterpret_cast<void *>(0x2), nullptr};
    if (c.ExpectErr(0, m.psGralloc->lock(m.psGralloc, b.h, GRALLOC_USAGE_HW_TEXTURE, 0, 0, kW, kH, apv),
                    "a lock for texturing")) {
        c.Expect(apv[0] == nullptr, "a lock without CPU access left %p as the first address", apv[0]);
        m.psGralloc->unlock(m.psGralloc, b.h);
    }
    c.ExpectErr(-EINVAL, m.psGralloc->registerBuffer(nullptr, b.h), "registerBuffer on a NULL module");
    c.ExpectErr(-EINVAL, m.psPublic->GetPhyAddrs(nullptr, b.h, nullptr), "GetPhyAddrs on a NULL module");
    void *apvNone[3] = {nullptr, nullptr, nullptr};
    c.ExpectErr(-EINVAL, m.psPublic->Blit(m.psPublic, b.h, apvNone, 5), "Blit without a destination address");
    c.ExpectErr(-EINVAL, m.psPublic->Blit(m.psPublic, b.h, nullptr, 5), "Blit without a destination list");
}

void CheckDeviceIds(const Module &m) {
    Check c("unknown_device_ids");
    for (const char *pszId : {"gpu1", "GPU0", "fb1", "FB0", "", "gpu0 ", "fb0\n", "gralloc"}) {
        hw_device_t *psDevice = reinterpret_cast<hw_device_t *>(0x1);
        c.ExpectErr(-EINVAL, m.psModule->methods->open(m.psModule, pszId, &psDevice), "open(\"%s\")", pszId);
        c.Expect(psDevice == reinterpret_cast<hw_device_t *>(0x1), "open(\"%s\") wrote the device", pszId);
    }
}

void CheckForgedHandles(const Module &m) {
    Buffer b(m.psAlloc, kW, kH, 5, kSwUsage | GRALLOC_USAGE_HW_TEXTURE);
    struct Forgery {
        const char *pszName;
        void (*pfnForge)(VEK_native_handle_t *);
    };
    static const Forgery asForgeries[] = {
        {"header_version", [](VEK_native_handle_t *p) { p->base.version = 0; }},
        {"descriptor_count", [](VEK_native_handle_t *p) { p->base.numFds = 2, p->base.numInts = 8; }},
        {"word_count", [](VEK_native_handle_t *p) { p->base.numInts = 10; }},
        {"refused_usage", [](VEK_native_handle_t *p) { p->usage |= GRALLOC_USAGE_HW_2D; }},
        {"unknown_stamp", [](VEK_native_handle_t *p) { p->ui64Stamp ^= 0x3c3c3c3cull << 8; }},
    };
    for (const Forgery &s : asForgeries) {
        Check c(Format("forged_handle.%s", s.pszName));
        if (!c.ExpectErr(0, b.iErr, "alloc")) return;
        VEK_native_handle_t sForged = *Vek(b.h);
        s.pfnForge(&sForged);
        ExpectAllRefused(&c, CallEveryEntryPoint(m, &sForged.base, b.h));
        const int iRegister = m.psGralloc->registerBuffer(m.psGralloc, &sForged.base);
        c.Expect(iRegister == -EINVAL || iRegister == -EFAULT, "registerBuffer answered %s",
                 ErrName(iRegister).c_str());
        c.ExpectErr(-EINVAL, m.psGralloc->unregisterBuffer(m.psGralloc, &sForged.base),
                    "unregisterBuffer after the refused registration");
        /* The genuine buffer is as it was. */
        void *apv[3];
        if (c.ExpectErr(0, LockWhole(m.psGralloc, b.h, kSwUsage, apv), "lock of the genuine handle"))
            c.ExpectErr(0, m.psGralloc->unlock(m.psGralloc, b.h), "its unlock");
    }
}

void CheckImpossibleSizes(const Module &m, const std::vector<KnownFormat> &asFormats) {
    Check c("impossible_sizes");
    struct Size {
        int w, h, iFormat;
    };
    std::vector<Size> asSizes = {
        {16384, 32768, 2, /* 2 GiB: one byte more than an int counts */},
        {32768, 32768, 4},
        {0x7ffffff0, 1, 4 /* the width rounded up to 32 pixels passes an int */},
        {0x7fffffff, 0x7fffffff, 0x32315659},
        {65536, 131104, kFormatNV12 /* the luma plane's bytes wrap 32 bits */},
        {0x7ffffff5, 16, kFormatNV12},
        {16, 0x7ffffff5, kFormatNV12},
    };
    for (const KnownFormat &f : asFormats)
        for (const Size &s : {Size{-1, 16, 0}, Size{16, -1, 0}, Size{-32, 16, 0}, Size{INT_MIN, INT_MIN, 0}})
            asSizes.push_back({s.w, s.h, f.iHal});
    const ProcessState sBefore = MeasureProcess(nullptr);
    for (const Size &s : asSizes) {
        for (int iUsage : {kSwUsage, (int)GRALLOC_USAGE_HW_COMPOSER}) {
            buffer_handle_t h = reinterpret_cast<buffer_handle_t>(0x1);
            int iStride = -7;
            const int iErr = m.psAlloc->alloc(m.psAlloc, s.w, s.h, s.iFormat, iUsage, &h, &iStride);
            if (iErr == 0) m.psAlloc->free(m.psAlloc, h);
            c.ExpectErr(-EINVAL, iErr, "alloc(%d x %d) in %s with usage 0x%x", s.w, s.h, FormatName(s.iFormat).c_str(),
                        (unsigned)iUsage);
            c.Expect(iErr == 0 || (h == reinterpret_cast<buffer_handle_t>(0x1) && iStride == -7),
                     "the refusal of %d x %d wrote the handle or the stride", s.w, s.h);
        }
    }
    c.Expect(MeasureProcess(nullptr).uiFds == sBefore.uiFds, "refused requests left descriptors open");
    c.Note("%zu sizes refused", asSizes.size());
}

void CheckUnknownFormats(const Module &m) {
    Check c("unknown_formats");
    int iTried = 0;
    for (int iFormat : {0, 3, 6, 7, 8, 0x10, 0x11, 0x14, 0x101, 0x1fe, 0x200, -1, 0x7fffffff, 0x32315658}) {
        bool bListed = false;
        for (const VEK_buffer_format_public_t *ps = m.psHMI->GetBufferFormats(); ps != nullptr; ps = ps->psNext)
            bListed |= ps->iHalPixelFormat == iFormat;
        if (bListed) continue;
        buffer_handle_t h = reinterpret_cast<buffer_handle_t>(0x1);
        int iStride = -7;
        const int iErr = m.psAlloc->alloc(m.psAlloc, kW, kH, iFormat, kSwUsage, &h, &iStride);
        if (iErr == 0) m.psAlloc->free(m.psAlloc, h);
        c.ExpectErr(-EINVAL, iErr, "alloc in format 0x%x", (unsigned)iFormat);
        iTried++;
    }
    c.Note("%d formats the module does not list", iTried);
}

void CheckLockMisuse(const Module &m) {
    Buffer b(m.psAlloc, kW, kH, 4, kSwUsage | GRALLOC_USAGE_HW_TEXTURE);
    const gralloc_module_t *psG = m.psGralloc;
    {
        Check c("lock_rectangles");
        if (!c.ExpectErr(0, b.iErr, "alloc")) return;
        const int aaiRefused[][4] = {{-1, 0, 1, 1},
                                     {0, -1, 1, 1},
                                     {0, 0, -1, 1},
                                     {0, 0, 1, -1},
                                     {kW + 1, 0, 0, 0},
                                     {0, kH + 1, 0, 0},
                                     {0, 0, kW + 1, 1},
                                     {0, 0, 1, kH + 1},
                                     {kW / 2, 0, kW / 2 + 1, 1},
                                     {0, kH / 2, 1, kH / 2 + 1},
                                     {INT_MAX, 0, INT_MAX, 1}};
        const int aaiTaken[][4] = {{0, 0, kW, kH}, {kW, kH, 0, 0}, {kW, 0, 0, kH}, {10, 10, 5, 5}};
        void *apv[3];
        for (const int *ai : aaiRefused)
            c.ExpectErr(-EINVAL, psG->lock(psG, b.h, kSwUsage, ai[0], ai[1], ai[2], ai[3], apv),
                        "lock of (%d, %d, %d x %d) in %d x %d", ai[0], ai[1], ai[2], ai[3], kW, kH);
        for (const int *ai : aaiTaken)
            if (c.ExpectErr(0, psG->lock(psG, b.h, kSwUsage, ai[0], ai[1], ai[2], ai[3], apv),
                            "lock of (%d, %d, %d x %d) in %d x %d", ai[0], ai[1], ai[2], ai[3], kW, kH))
                c.ExpectErr(0, psG->unlock(psG, b.h), "its unlock");
    }
    {
        Check c("lock_misuse");
        void *apv[3];
        c.ExpectErr(-EINVAL, psG->unlock(psG, b.h), "unlock of a buffer that is not locked");
        if (c.ExpectErr(0, LockWhole(psG, b.h, GRALLOC_USAGE_SW_WRITE_OFTEN, apv), "a write lock")) {
            c.ExpectErr(-EINVAL, LockWhole(psG, b.h, GRALLOC_USAGE_SW_WRITE_OFTEN, apv), "a second write lock");
            c.ExpectErr(-EINVAL, LockWhole(psG, b.h, GRALLOC_USAGE_SW_READ_OFTEN, apv),
                        "a read lock while write-locked");
            c.ExpectErr(-EFAULT, m.psAlloc->free(m.psAlloc, b.h), "free while locked");
            c.ExpectErr(0, psG->unlock(psG, b.h), "the unlock");
        }
        c.ExpectErr(-EINVAL, psG->unlock(psG, b.h), "a second unlock");
    }
    Check c("map_misuse");
    const VEK_gralloc_module_t *psH = m.psHMI;
    ZOLSRV_CLIENT_MEM_INFO *apsMem[3] = {nullptr, nullptr, nullptr};
    const uint64_t ui64Stamp = Vek(b.h)->ui64Stamp, ui64Unknown = ui64Stamp ^ 0x1000000ull;
    c.ExpectErr(-EINVAL, psH->map(psG, ui64Stamp, GRALLOC_USAGE_SW_READ_RARELY, apsMem), "map for CPU reading");
    c.ExpectErr(-EINVAL, psH->map(psG, ui64Stamp, GRALLOC_USAGE_SW_WRITE_OFTEN, apsMem), "map for CPU writing");
    c.ExpectErr(-EINVAL, psH->map(psG, ui64Unknown, GRALLOC_USAGE_HW_TEXTURE, apsMem), "map of an unknown stamp");
    c.ExpectErr(-EINVAL, psH->map(psG, 0, GRALLOC_USAGE_HW_TEXTURE, apsMem), "map of stamp 0");
    c.ExpectErr(-EINVAL, psH->unmap(psG, ui64Unknown), "unmap of an unknown stamp");
}

void CheckBlitMisuse(const Module &m) {
    Check c("blit_arguments");
    const VEK_gralloc_module_public_t *psP = m.psPublic;
    Buffer b(m.psAlloc, kW, kH, 5, kSwUsage | GRALLOC_USAGE_HW_TEXTURE);
    Buffer odd(m.psAlloc, 50, 50, 5, kSwUsage | GRALLOC_USAGE_HW_TEXTURE);
    if (!c.ExpectErr(0, b.iErr, "alloc") || !c.ExpectErr(0, odd.iErr, "alloc")) return;
    std::vector<uint32_t> auiA((size_t)RoundUp(kW, 32) * kH * 2), auiB(auiA.size()), auiC(auiA.size());
    void *apvOne[3] = {auiA.data(), nullptr, nullptr}, *apvThree[3] = {auiA.data(), auiB.data(), auiC.data()};
    void *apvTwo[3] = {auiA.data(), auiB.data(), nullptr};
    c.ExpectErr(-EINVAL, psP->Blit(psP, b.h, apvOne, 3), "Blit into format 3, which the module does not list");
    c.ExpectErr(-EINVAL, psP->Blit(psP, b.h, apvThree, kFormatNV12), "Blit into three planes");
    c.ExpectErr(-EINVAL, psP->Blit(psP, odd.h, apvTwo, kFormatNV12),
                "Blit of a 50 x 50 source into NV12, whose sizes are multiples of 16");
    VEK_native_handle_t sUnknown = *Vek(b.h);
    sUnknown.ui64Stamp ^= 0x77ull << 20;
    c.ExpectErr(-EINVAL, psP->Blit2(psP, b.h, &sUnknown.base, 16, 16, 0, 0), "Blit2 into an unknown buffer");
    c.ExpectErr(-EINVAL, psP->Blit2(psP, &sUnknown.base, b.h, 16, 16, 0, 0), "Blit2 from an unknown buffer");
}

}  // namespace

void RunBadInputGroup(const Options &sOptions) {
    Module m;
    if (!m.Load()) return;
    CheckNullArguments(m);
    CheckDeviceIds(m);
    CheckForgedHandles(m);
    CheckImpossibleSizes(m, ListedFormats(m));
    CheckUnknownFormats(m);
    CheckLockMisuse(m);
    CheckBlitMisuse(m);
    Client sClient;
    if (!sClient.Start(sOptions)) return;
    for (const KnownFormat &f : ListedFormats(m)) {
        if (f.iHal != 5 && f.iHal != kFormatNV12) continue;
        Buffer b(m.psAlloc, kW, kH, f.iHal, kSwUsage | GRALLOC_USAGE_HW_TEXTURE);
        if (b.iErr == 0) sClient.Call(kOpForgeries, Format("hostile.%s", f.pszName), b.h, b.iStride);
    }
}

}  // namespace conformance
