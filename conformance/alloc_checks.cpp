/* Allocation: the module record and the allocator device as Android finds them, the format list,
   every listed format with every usage class, strides, handles, zero-fill, free, and the sizes at
   the edges of what the allocator takes. */
#include <errno.h>
#include <string.h>

#include <algorithm>
#include <set>

#include "groups.h"

namespace conformance {

std::vector<KnownFormat> ListedFormats(const Module &sModule) {
    std::vector<KnownFormat> as;
    int iSeen = 0;
    for (const VEK_buffer_format_public_t *ps = sModule.psHMI->GetBufferFormats(); ps != nullptr && iSeen < 64;
         ps = ps->psNext, iSeen++)
        if (const KnownFormat *psKnown = FindKnownFormat(ps->iHalPixelFormat)) as.push_back(*psKnown);
    return as;
}

int ExpectedStride(int iFormat, int w) { return iFormat == kFormatNV12 ? RoundUp(w, 16) : RoundUp(w, 32); }
int ExpectedWidth(int iFormat, int w) { return iFormat == kFormatNV12 ? RoundUp(w, 16) : w; }
int ExpectedHeight(int iFormat, int h) { return iFormat == kFormatNV12 ? RoundUp(h, 16) : h; }

namespace {

const UsageClass kUsageClasses[] = {
    {"software", kSwUsage},
    {"software_rarely", GRALLOC_USAGE_SW_READ_RARELY | GRALLOC_USAGE_SW_WRITE_RARELY},
    {"texture", GRALLOC_USAGE_HW_TEXTURE},
    {"render", GRALLOC_USAGE_HW_RENDER},
    {"texture_render", GRALLOC_USAGE_HW_TEXTURE | GRALLOC_USAGE_HW_RENDER},
    {"software_texture", GRALLOC_USAGE_SW_WRITE_OFTEN | GRALLOC_USAGE_HW_TEXTURE},
    {"composer", GRALLOC_USAGE_HW_COMPOSER},
    {"protected_external", GRALLOC_USAGE_HW_COMPOSER | GRALLOC_USAGE_PROTECTED | GRALLOC_USAGE_EXTERNAL_DISP},
};

void CheckModuleRecord(const Module &m, const Options &sOptions) {
    {
        Check c("module_record");
        const hw_module_t *ps = m.psModule;
        c.Expect(ps->tag == 0x48574d54, "tag 0x%08x, expected 0x48574d54 (HWMT)", ps->tag);
        c.Expect(ps->version_major == 1 && ps->version_minor == 0, "version %u.%u, expected 1.0", ps->version_major,
                 ps->version_minor);
        c.Expect(ps->methods != nullptr && ps->methods->open != nullptr, "no open method");
        c.Expect(ps->dso != nullptr, "the loader's dso was not kept in the record");
        c.Expect(ps->name != nullptr && ps->author != nullptr, "no name or author");
        const gralloc_module_t *psG = m.psGralloc;
        c.Expect(psG->registerBuffer && psG->unregisterBuffer && psG->lock && psG->unlock,
                 "a standard gralloc slot is NULL");
        c.Expect(psG->perform == nullptr, "perform is set; the module offers none");
        const VEK_gralloc_module_t *psH = m.psHMI;
        c.Expect(psH->base.GetPhyAddrs && psH->base.Blit && psH->base.Blit2 && psH->map && psH->unmap &&
                     psH->LogSyncs && psH->GetBufferFormats && psH->IsCompositor,
                 "an extension slot is NULL");
        c.Expect(psH->base.psFrameBufferDevice == nullptr, "psFrameBufferDevice is set before fb0 was opened");
    }
    {
        Check c("allocator_device");
        const alloc_device_t *ps = m.psAlloc;
        c.Expect(ps->common.tag == 0x48574454, "tag 0x%08x, expected 0x48574454 (HWDT)", ps->common.tag);
        c.Expect(ps->common.version >= 1, "version %u: Android asks a device of version 0 for no dump",
                 ps->common.version);
        c.Expect(ps->common.module == m.psModule, "common.module is not the module record");
        c.Expect(ps->alloc && ps->free && ps->dump && ps->common.close, "a slot is NULL");
    }
    {
        Check c("compositor_by_name");
        const bool bFirst = m.psHMI->IsCompositor() != 0, bSecond = m.psHMI->IsCompositor() != 0;
        c.Expect(bFirst == sOptions.bCompositor, "IsCompositor answered %s in a process that %s the compositor",
                 bFirst ? "true" : "false", sOptions.bCompositor ? "runs as" : "is not");
        c.Expect(bFirst == bSecond, "IsCompositor changed its answer");
        c.Note("%s", bFirst ? "taken for the compositor" : "an ordinary process");
    }
}

void CheckFormatList(const Module &m) {
    Check c("format_list");
    std::vector<const VEK_buffer_format_public_t *> apsListed;
    for (const VEK_buffer_format_public_t *ps = m.psHMI->GetBufferFormats(); ps != nullptr; ps = ps->psNext) {
        if (!c.Expect(apsListed.size() < 64, "the list has no end after 64 formats")) return;
        apsListed.push_back(ps);
    }
    std::string sNames;
    std::set<int> aiSeen;
    for (const VEK_buffer_format_public_t *ps : apsListed) {
        c.Expect(aiSeen.insert(ps->iHalPixelFormat).second, "format 0x%x is listed twice",
                 (unsigned)ps->iHalPixelFormat);
        c.Expect(ps->szName != nullptr, "format 0x%x has no name", (unsigned)ps->iHalPixelFormat);
        sNames += Format("%s%s", sNames.empty() ? "" : " ", ps->szName ? ps->szName : "?");
    }
    const std::vector<KnownFormat> &asKnown = KnownFormats();
    c.Expect(apsListed.size() == asKnown.size(), "%zu formats listed (%s), expected %zu", apsListed.size(),
             sNames.c_str(), asKnown.size());
    for (size_t i = 0; i < asKnown.size() && i < apsListed.size(); i++) {
        const VEK_buffer_format_public_t *ps = apsListed[i];
        const KnownFormat &s = asKnown[i];
        c.Expect(ps->iHalPixelFormat == s.iHal && ps->szName != nullptr && strcmp(ps->szName, s.pszName) == 0,
                 "position %zu lists %s (0x%x), expected %s (0x%x)", i + 1, ps->szName ? ps->szName : "?",
                 (unsigned)ps->iHalPixelFormat, s.pszName, (unsigned)s.iHal);
        c.Expect(ps->uiBpp == s.uiBpp, "%s has %u bits per pixel, expected %u", s.pszName, ps->uiBpp, s.uiBpp);
        c.Expect((ps->bGPURenderable != 0) == s.bGPURenderable, "%s says GPU-renderable %d, expected %d", s.pszName,
                 ps->bGPURenderable, (int)s.bGPURenderable);
    }
    c.Note("%s", sNames.c_str());
}

/* One allocation of the format for the usage, looked at from every side before and after free. */
void CheckAllocation(const Module &m, const KnownFormat &f, const UsageClass &u) {
    Check c(Format("%s.%s", f.pszName, u.pszName));
    const int w = 100, h = 50;
    const bool bNV12 = f.iHal == kFormatNV12;
    const int iPlanes = bNV12 ? 2 : 1;
    Buffer b(m.psAlloc, w, h, f.iHal, u.iUsage);
    if (!c.ExpectErr(0, b.iErr, "alloc(%d x %d, usage 0x%x)", w, h, (unsigned)u.iUsage)) return;
    const VEK_native_handle_t *ps = Vek(b.h);
    c.Expect(b.iStride == ExpectedStride(f.iHal, w), "stride %d, expected %d", b.iStride, ExpectedStride(f.iHal, w));
    c.Expect(ps->base.version == 12 && ps->base.numFds == iPlanes && ps->base.numInts == 10 - iPlanes,
             "handle header version %d, %d fds, %d ints; expected 12, %d, %d", ps->base.version, ps->base.numFds,
             ps->base.numInts, iPlanes, 10 - iPlanes);
    for (int i = 0; i < 3; i++) {
        if (i < iPlanes)
            c.Expect(DescriptorOpen(ps->fd[i]), "fd[%d] = %d is not an open descriptor", i, ps->fd[i]);
        else
            c.Expect(ps->fd[i] == -1, "fd[%d] = %d for a plane the buffer does not have, expected -1", i, ps->fd[i]);
    }
    if (bNV12) c.Expect(ps->fd[0] != ps->fd[1], "both planes have descriptor %d", ps->fd[0]);
    const bool bLent = bNV12 && (ps->usage & GRALLOC_USAGE_PRIVATE_1) != 0;
    c.Expect(ps->usage == u.iUsage ||
                 (bLent && (u.iUsage & GRALLOC_USAGE_HW_COMPOSER) && ps->usage == (u.iUsage | GRALLOC_USAGE_PRIVATE_1)),
             "the handle's usage is 0x%x, asked 0x%x", (unsigned)ps->usage, (unsigned)u.iUsage);
    c.Expect(ps->iWidth == ExpectedWidth(f.iHal, w) && ps->iHeight == ExpectedHeight(f.iHal, h),
             "the handle says %d x %d, expected %d x %d", ps->iWidth, ps->iHeight, ExpectedWidth(f.iHal, w),
             ExpectedHeight(f.iHal, h));
    c.Expect(ps->iFormat == f.iHal && ps->uiBpp == f.uiBpp, "the handle says format 0x%x with %u bpp",
             (unsigned)ps->iFormat, ps->uiBpp);
    c.Expect(ps->ui64Stamp != 0, "the stamp is 0");
    const std::string sLine = DumpLine(Dump(m.psAlloc), ps->ui64Stamp);
    c.Expect(sLine.find(Format("0xP...FHWR=0x%.8x,", (unsigned)ps->usage)) != std::string::npos,
             "the dump's line for the buffer is \"%s\"", sLine.c_str());

    void *apv[3];
    if (c.ExpectErr(0, LockWhole(m.psGralloc, b.h, GRALLOC_USAGE_SW_READ_OFTEN, apv), "lock for reading")) {
        const std::vector<size_t> auBytes = PlaneBytes(b.h, b.iStride);
        /* Video buffers are not cleared; every byte of every plane must still be there to read. */
        std::string sWrong = bNV12 ? "" : FillMismatch(apv, auBytes, 0);
        c.Expect(sWrong.empty(), "a new buffer is not zero-filled: %s", sWrong.c_str());
        /* Reading them all proves every plane is mapped whole. */
        if (bNV12) (void)FillMismatch(apv, auBytes, 0);
        c.ExpectErr(0, m.psGralloc->unlock(m.psGralloc, b.h), "unlock");
    }
    const uint64_t ui64Stamp = ps->ui64Stamp;
    const int aiFd[2] = {ps->fd[0], ps->fd[1]};
    if (!c.ExpectErr(0, b.Free(), "free")) return;
    /* A lent video pair keeps its descriptors in the pool for its next loan. */
    for (int i = 0; i < iPlanes && !bLent; i++)
        c.Expect(!DescriptorOpen(aiFd[i]), "descriptor %d of plane %d is still open after free", aiFd[i], i);
    c.Expect(DumpLine(Dump(m.psAlloc), ui64Stamp).empty(), "the dump still lists the buffer after free");
    if (bLent) c.Note("a display-owned pair was lent (usage gained PRIVATE_1)");
}

void CheckDisplayUsageWithoutFb0(const Module &m, const KnownFormat &f) {
    Check c(Format("%s.display_without_fb0", f.pszName));
    buffer_handle_t h = reinterpret_cast<buffer_handle_t>(0x1);
    int iStride = -7;
    const int iWant = f.bGPURenderable ? -EFAULT : -EINVAL;
    c.ExpectErr(iWant, m.psAlloc->alloc(m.psAlloc, 64, 64, f.iHal, GRALLOC_USAGE_HW_FB, &h, &iStride),
                "alloc with GRALLOC_USAGE_HW_FB while no fb0 is open");
    c.Expect(h == reinterpret_cast<buffer_handle_t>(0x1) && iStride == -7,
             "a refused allocation wrote the handle or the stride");
}

void CheckUsageBits(const Module &m) {
    {
        Check c("accepted_usage_bits");
        const int aiBits[] = {0x1, 0x2, 0x10, 0x20, 0x100, 0x200, 0x800, 0x2000, 0x4000, GRALLOC_USAGE_PRIVATE_1};
        for (int iBit : aiBits) {
            Buffer b(m.psAlloc, 32, 32, 5, iBit);
            c.ExpectErr(0, b.iErr, "alloc with usage 0x%x alone", (unsigned)iBit);
            c.ExpectErr(0, b.Free(), "free of the buffer with usage 0x%x", (unsigned)iBit);
        }
    }
    Check c("refused_usage_bits");
    int iRefused = 0;
    for (int iShift = 0; iShift < 32; iShift++) {
        const unsigned uiBit = 1u << iShift;
        if ((uiBit & 0xdfff84ccu) == 0) continue;
        buffer_handle_t h = reinterpret_cast<buffer_handle_t>(0x1);
        int iStride = -7;
        int iErr = m.psAlloc->alloc(m.psAlloc, 32, 32, 5, kSwUsage | (int)uiBit, &h, &iStride);
        if (iErr == 0 && h != reinterpret_cast<buffer_handle_t>(0x1)) m.psAlloc->free(m.psAlloc, h);
        c.ExpectErr(-EINVAL, iErr, "alloc with usage bit 0x%08x", uiBit);
        c.Expect(iErr == 0 || (h == reinterpret_cast<buffer_handle_t>(0x1) && iStride == -7),
                 "the refusal of bit 0x%08x wrote the handle or the stride", uiBit);
        iRefused++;
    }
    c.Note("%d bits refused, HW_2D, VIDEO_ENCODER and PRIVATE_0/2/3 among them", iRefused);
}

void CheckStrides(const Module &m, const KnownFormat &f) {
    Check c(Format("%s.strides", f.pszName));
    std::string sSeen;
    for (int w : {1, 15, 16, 17, 31, 32, 33, 100, 640, 1920}) {
        Buffer b(m.psAlloc, w, 18, f.iHal, kSwUsage);
        if (!c.ExpectErr(0, b.iErr, "alloc(%d x 18)", w)) continue;
        c.Expect(b.iStride == ExpectedStride(f.iHal, w), "width %d has stride %d, expected %d", w, b.iStride,
                 ExpectedStride(f.iHal, w));
        c.Expect(Vek(b.h)->iHeight == ExpectedHeight(f.iHal, 18), "height 18 became %d", Vek(b.h)->iHeight);
        sSeen += Format("%s%d->%d", sSeen.empty() ? "" : " ", w, b.iStride);
        c.ExpectErr(0, b.Free(), "free");
    }
    c.Note("width->stride %s", sSeen.c_str());
}

/* Memory a buffer had before is not handed out again with its old content. */
void CheckZeroFillAfterReuse(const Module &m, const KnownFormat &f) {
    Check c(Format("%s.zero_fill_after_reuse", f.pszName));
    if (f.iHal == kFormatNV12) {
        c.Skip("video buffers are not cleared");
        return;
    }
    for (int i = 0; i < 4; i++) {
        Buffer b(m.psAlloc, 64, 64, f.iHal, kSwUsage);
        void *apv[3];
        if (!c.ExpectErr(0, b.iErr, "alloc") ||
            !c.ExpectErr(0, LockWhole(m.psGralloc, b.h, kSwUsage, apv), "lock of allocation %d", i + 1))
            return;
        const std::vector<size_t> auBytes = PlaneBytes(b.h, b.iStride);
        std::string sWrong = FillMismatch(apv, auBytes, 0);
        c.Expect(sWrong.empty(), "allocation %d after a buffer of the same size was filled: %s", i + 1, sWrong.c_str());
        memset(apv[0], 0xa5, auBytes[0]);
        c.ExpectErr(0, m.psGralloc->unlock(m.psGralloc, b.h), "unlock");
        c.ExpectErr(0, b.Free(), "free");
    }
}

void CheckEdgeSizes(const Module &m, const std::vector<KnownFormat> &asFormats) {
    {
        Check c("smallest_buffers");
        for (const KnownFormat &f : asFormats) {
            Buffer b(m.psAlloc, 1, 1, f.iHal, kSwUsage);
            if (!c.ExpectErr(0, b.iErr, "alloc(1 x 1) in %s", f.pszName)) continue;
            c.Expect(b.iStride == ExpectedStride(f.iHal, 1), "%s 1 x 1 has stride %d", f.pszName, b.iStride);
            void *apv[3];
            if (c.ExpectErr(0, LockWhole(m.psGralloc, b.h, kSwUsage, apv), "lock of 1 x 1 %s", f.pszName)) {
                FillPattern(apv, PlaneBytes(b.h, b.iStride), 3);
                c.ExpectErr(0, m.psGralloc->unlock(m.psGralloc, b.h), "unlock");
            }
        }
    }
    {
        Check c("large_buffer");
        const int w = 2048, h = 2048;
        Buffer b(m.psAlloc, w, h, 5, kSwUsage | GRALLOC_USAGE_HW_TEXTURE);
        void *apv[3];
        if (c.ExpectErr(0, b.iErr, "alloc(%d x %d BGRA_8888)", w, h) &&
            c.ExpectErr(0, LockWhole(m.psGralloc, b.h, kSwUsage, apv), "lock")) {
            uint32_t *pui = static_cast<uint32_t *>(apv[0]);
            const size_t uLast = (size_t)(h - 1) * (size_t)b.iStride + (size_t)(w - 1);
            pui[0] = 0x01020304u;
            pui[uLast] = 0xdeadbeefu;
            c.Expect(pui[uLast] == 0xdeadbeefu && pui[0] == 0x01020304u, "the last pixel did not keep its value");
            c.ExpectErr(0, m.psGralloc->unlock(m.psGralloc, b.h), "unlock");
        }
    }
    {
        /* An empty buffer is the services' to refuse; whatever they answer, nothing stays behind. */
        Check c("empty_sizes");
        const ProcessState sBefore = MeasureProcess(nullptr);
        std::string sAnswers;
        static const int aaiSizes[][2] = {{0, 16}, {16, 0}, {0, 0}};
        for (const int *pi : aaiSizes) {
            buffer_handle_t h = reinterpret_cast<buffer_handle_t>(0x1);
            int iStride = -7;
            int iErr = m.psAlloc->alloc(m.psAlloc, pi[0], pi[1], 4, kSwUsage, &h, &iStride);
            if (iErr == 0) c.ExpectErr(0, m.psAlloc->free(m.psAlloc, h), "free of the %d x %d buffer", pi[0], pi[1]);
            c.Expect(iErr <= 0, "alloc(%d x %d) answered %d", pi[0], pi[1], iErr);
            c.Expect(iErr == 0 || (h == reinterpret_cast<buffer_handle_t>(0x1) && iStride == -7),
                     "the refusal of %d x %d wrote the handle or the stride", pi[0], pi[1]);
            sAnswers += Format("%s%dx%d: %s", sAnswers.empty() ? "" : ", ", pi[0], pi[1], ErrName(iErr).c_str());
        }
        c.Expect(MeasureProcess(nullptr).uiFds == sBefore.uiFds, "descriptors were left open");
        c.Note("%s", sAnswers.c_str());
    }
}

void CheckFreeAndDump(const Module &m) {
    {
        Check c("free_of_locked_buffer");
        Buffer b(m.psAlloc, 64, 64, 4, kSwUsage);
        void *apv[3];
        if (c.ExpectErr(0, b.iErr, "alloc") && c.ExpectErr(0, LockWhole(m.psGralloc, b.h, kSwUsage, apv), "lock")) {
            c.ExpectErr(-EFAULT, m.psAlloc->free(m.psAlloc, b.h), "free of a locked buffer");
            FillPattern(apv, PlaneBytes(b.h, b.iStride), 11);
            c.ExpectErr(0, m.psGralloc->unlock(m.psGralloc, b.h), "unlock after the refused free");
            c.ExpectErr(0, LockWhole(m.psGralloc, b.h, GRALLOC_USAGE_SW_READ_OFTEN, apv), "lock again");
            std::string sWrong = PatternMismatch(apv, PlaneBytes(b.h, b.iStride), 11);
            c.Expect(sWrong.empty(), "the buffer lost its content: %s", sWrong.c_str());
            c.ExpectErr(0, m.psGralloc->unlock(m.psGralloc, b.h), "unlock");
            c.ExpectErr(0, b.Free(), "free once unlocked");
        }
    }
    {
        Check c("own_buffer_registration");
        Buffer b(m.psAlloc, 64, 64, 5, kSwUsage);
        if (c.ExpectErr(0, b.iErr, "alloc")) {
            c.ExpectErr(0, m.psGralloc->registerBuffer(m.psGralloc, b.h), "registerBuffer of an own buffer");
            c.ExpectErr(0, m.psGralloc->unregisterBuffer(m.psGralloc, b.h), "unregisterBuffer of an own buffer");
            void *apv[3];
            c.ExpectErr(0, LockWhole(m.psGralloc, b.h, kSwUsage, apv), "lock after unregisterBuffer of an own buffer");
            c.ExpectErr(0, m.psGralloc->unlock(m.psGralloc, b.h), "unlock");
            c.ExpectErr(0, b.Free(), "free: the buffer is still allocated");
        }
    }
    Check c("dump");
    const std::string sHeader = "VEK Graphics HAL state:\n  Dumping all active sync objects..\n";
    const std::string sEmpty = Dump(m.psAlloc);
    c.Expect(sEmpty.compare(0, sHeader.size(), sHeader) == 0, "the dump begins \"%s\"", sEmpty.substr(0, 80).c_str());
    Buffer bOld(m.psAlloc, 16, 16, 4, GRALLOC_USAGE_SW_READ_RARELY);
    Buffer bNew(m.psAlloc, 16, 16, 5, GRALLOC_USAGE_HW_TEXTURE);
    if (!c.ExpectErr(0, bOld.iErr, "alloc") || !c.ExpectErr(0, bNew.iErr, "alloc")) return;
    const std::string sDump = Dump(m.psAlloc);
    const std::string sOld = DumpLine(sDump, Vek(bOld.h)->ui64Stamp), sNew = DumpLine(sDump, Vek(bNew.h)->ui64Stamp);
    c.Expect(!sOld.empty() && !sNew.empty() && sDump.find(sNew) < sDump.find(sOld),
             "the dump does not list the newer buffer first: \"%s\"", sDump.c_str());
    c.Expect(sOld.find("0xP...FHWR=0x00000002,") != std::string::npos &&
                 sNew.find("0xP...FHWR=0x00000100,") != std::string::npos,
             "the dump's usage fields: \"%s\"", sDump.c_str());
    c.Expect(std::count(sDump.begin(), sDump.end(), '\n') == std::count(sEmpty.begin(), sEmpty.end(), '\n') + 2,
             "two buffers added more than two lines to the dump: \"%s\"", sDump.c_str());
    bOld.Free();
    bNew.Free();
    c.Expect(Dump(m.psAlloc) == sEmpty, "after free the dump is \"%s\"", Dump(m.psAlloc).c_str());
}

}  // namespace

void RunAllocGroup(const Options &sOptions) {
    Module m;
    if (!m.Load()) return;
    CheckModuleRecord(m, sOptions);
    CheckFormatList(m);
    const std::vector<KnownFormat> asFormats = ListedFormats(m);
    for (const KnownFormat &f : asFormats) {
        for (const UsageClass &u : kUsageClasses) CheckAllocation(m, f, u);
        CheckDisplayUsageWithoutFb0(m, f);
        CheckStrides(m, f);
        CheckZeroFillAfterReuse(m, f);
    }
    CheckUsageBits(m);
    CheckEdgeSizes(m, asFormats);
    CheckFreeAndDump(m);
}

}  // namespace conformance
