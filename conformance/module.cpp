#include "module.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace conformance {

Module::~Module() {
    if (psAlloc != nullptr) gralloc_close(psAlloc);
}

bool Module::Load() {
    Check c("module_loads");
    int iErr = hw_get_module(GRALLOC_HARDWARE_MODULE_ID, &psModule);
    if (!c.ExpectErr(0, iErr, "hw_get_module(\"gralloc\")")) return false;
    if (!c.Expect(psModule != nullptr && psModule->id != nullptr && strcmp(psModule->id, "gralloc") == 0,
                  "hw_get_module answered a module whose id is not \"gralloc\""))
        return false;
    psHMI = reinterpret_cast<const VEK_gralloc_module_t *>(psModule);
    psPublic = &psHMI->base;
    psGralloc = &psHMI->base.base;
    iErr = gralloc_open(psModule, &psAlloc);
    if (!c.ExpectErr(0, iErr, "gralloc_open")) {
        psAlloc = nullptr;
        return false;
    }
    c.Note("%s by %s, version %u.%u", psModule->name, psModule->author, psModule->version_major,
           psModule->version_minor);
    return true;
}

Buffer::Buffer(alloc_device_t *psAllocDevice, int w, int hgt, int iFmt, int iUse)
    : psAlloc(psAllocDevice), iWidth(w), iHeight(hgt), iFormat(iFmt), iUsage(iUse) {
    iErr = psAlloc->alloc(psAlloc, w, hgt, iFmt, iUse, &h, &iStride);
    if (iErr != 0) h = nullptr;
}

int Buffer::Free() {
    if (h == nullptr) return 0;
    int iFreed = psAlloc->free(psAlloc, h);
    if (iFreed == 0) h = nullptr;
    return iFreed;
}

buffer_handle_t Buffer::Release() {
    buffer_handle_t hOut = h;
    h = nullptr;
    return hOut;
}

std::vector<size_t> PlaneBytes(int iFormat, unsigned uiBpp, int iHeight, int iStride) {
    const size_t uRows = iHeight < 0 ? 0 : (size_t)iHeight, uStride = iStride < 0 ? 0 : (size_t)iStride;
    if (iFormat == kFormatNV12) return {uStride * uRows, uStride * (uRows / 2)};
    return {uiBpp * uRows * uStride / 8};
}

std::vector<size_t> PlaneBytes(buffer_handle_t h, int iStride) {
    return PlaneBytes(Vek(h)->iFormat, Vek(h)->uiBpp, Vek(h)->iHeight, iStride);
}

std::string FormatName(int iFormat) {
    const KnownFormat *ps = FindKnownFormat(iFormat);
    return ps != nullptr ? ps->pszName : Format("0x%x", (unsigned)iFormat);
}

int LockWhole(const gralloc_module_t *psGralloc, buffer_handle_t h, int iUsage, void **apv) {
    apv[0] = apv[1] = apv[2] = nullptr;
    return psGralloc->lock(psGralloc, h, iUsage, 0, 0, Vek(h)->iWidth, Vek(h)->iHeight, apv);
}

uint8_t PatternByte(uint32_t uiSeed, size_t uPlane, size_t uIndex) {
    uint32_t v = uiSeed * 0x01000193u ^ (uint32_t)uPlane * 0x9e3779b9u ^ (uint32_t)uIndex * 0x2545f491u;
    v ^= v >> 13;
    v *= 0x5bd1e995u;
    return (uint8_t)(v ^ (v >> 15));
}

void FillPattern(void *const *apv, const std::vector<size_t> &auBytes, uint32_t uiSeed) {
    for (size_t p = 0; p < auBytes.size(); p++) {
        uint8_t *puc = static_cast<uint8_t *>(apv[p]);
        for (size_t i = 0; i < auBytes[p]; i++) puc[i] = PatternByte(uiSeed, p, i);
    }
}

static std::string Mismatch(void *const *apv, const std::vector<size_t> &auBytes, uint32_t uiSeed, bool bPattern,
                            uint8_t ucValue) {
    size_t uWrong = 0, uFirstPlane = 0, uFirst = 0;
    uint8_t ucSeen = 0, ucWant = 0;
    for (size_t p = 0; p < auBytes.size(); p++) {
        const uint8_t *puc = static_cast<const uint8_t *>(apv[p]);
        if (puc == nullptr) return Format("plane %zu has no address", p);
        for (size_t i = 0; i < auBytes[p]; i++) {
            const uint8_t ucExpected = bPattern ? PatternByte(uiSeed, p, i) : ucValue;
            if (puc[i] == ucExpected) continue;
            if (uWrong++ == 0) uFirstPlane = p, uFirst = i, ucSeen = puc[i], ucWant = ucExpected;
        }
    }
    if (uWrong == 0) return "";
    return Format("byte %zu of plane %zu is 0x%02x, expected 0x%02x (%zu bytes differ)", uFirst, uFirstPlane, ucSeen,
                  ucWant, uWrong);
}

std::string PatternMismatch(void *const *apv, const std::vector<size_t> &auBytes, uint32_t uiSeed) {
    return Mismatch(apv, auBytes, uiSeed, true, 0);
}

std::string FillMismatch(void *const *apv, const std::vector<size_t> &auBytes, uint8_t ucValue) {
    return Mismatch(apv, auBytes, 0, false, ucValue);
}

static unsigned OpenDescriptors() {
    unsigned n = 0;
    if (DIR *psDir = opendir("/proc/self/fd")) {
        while (struct dirent *ps = readdir(psDir))
            if (ps->d_name[0] != '.') n++;
        closedir(psDir);
    }
    return n ? n - 1 : 0; /* the directory's own descriptor */
}

static size_t HeapBytesInUse() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    return mallinfo2().uordblks;
#else
    return (size_t)mallinfo().uordblks;
#endif
}

/* The address space of every mapping, from /proc/self/maps (which the emulator of a cross build
   answers for the emulated process too). */
static size_t MappedBytes() {
    size_t uTotal = 0;
    if (FILE *ps = fopen("/proc/self/maps", "r")) {
        char sz[1024];
        while (fgets(sz, sizeof(sz), ps) != nullptr) {
            unsigned long long ullStart = 0, ullEnd = 0;
            if (sscanf(sz, "%llx-%llx", &ullStart, &ullEnd) == 2 && ullEnd > ullStart)
                uTotal += (size_t)(ullEnd - ullStart);
            while (strchr(sz, '\n') == nullptr && fgets(sz, sizeof(sz), ps) != nullptr) {
            }
        }
        fclose(ps);
    }
    return uTotal;
}

std::string Dump(alloc_device_t *psAlloc) {
    std::vector<char> ac(1 << 16, '\0');
    psAlloc->dump(psAlloc, ac.data(), (int)ac.size() - 1);
    return ac.data();
}

std::string DumpLine(const std::string &sDump, uint64_t ui64Stamp) {
    const std::string sKey = Format("ID=%llu,", (unsigned long long)ui64Stamp);
    size_t uAt = sDump.find(sKey);
    if (uAt == std::string::npos) return "";
    size_t uEnd = sDump.find('\n', uAt);
    return sDump.substr(uAt, uEnd == std::string::npos ? std::string::npos : uEnd - uAt);
}

/* The dump's buffers, each by its stamp and usage: the GPU's counters beside them move with
   every blit and lock, and tell nothing of what the process still holds. */
static std::string DumpBuffers(const std::string &sDump) {
    std::string sOut;
    size_t uAt = 0;
    while (uAt < sDump.size()) {
        size_t uEnd = sDump.find('\n', uAt);
        if (uEnd == std::string::npos) uEnd = sDump.size();
        const std::string sLine = sDump.substr(uAt, uEnd - uAt);
        sOut += sLine.substr(0, sLine.find(", WOP/WOC")) + "\n";
        uAt = uEnd + 1;
    }
    return sOut;
}

ProcessState MeasureProcess(alloc_device_t *psAlloc) {
    ProcessState s;
    s.uiFds = OpenDescriptors();
    s.uHeapBytes = HeapBytesInUse();
    s.uMappedBytes = MappedBytes();
    s.sDump = psAlloc != nullptr ? DumpBuffers(Dump(psAlloc)) : "";
    return s;
}

void ExpectSameState(Check *pc, const ProcessState &sBefore, const ProcessState &sAfter, int iCycles) {
    /* Anything kept per cycle shows as at least iCycles bytes of heap, or iCycles pages of
       mappings (a buffer's memory is whole pages). The allowances are far below that, and above
       what the C library's own bookkeeping moves: the heap's top grows in steps of 128 KiB. */
    const size_t uHeapAllowance = 2048, uMapAllowance = 1024 * 1024;
    pc->Expect(sAfter.uiFds == sBefore.uiFds, "open descriptors went from %u to %u over %d cycles", sBefore.uiFds,
               sAfter.uiFds, iCycles);
    pc->Expect(sAfter.sDump == sBefore.sDump, "the dump changed over %d cycles: it was \"%s\", it is \"%s\"", iCycles,
               sBefore.sDump.c_str(), sAfter.sDump.c_str());
    /* The first state's dump text is on the heap when the second is measured. */
    const size_t uHeldByBefore = sBefore.sDump.capacity() + 32;
    pc->Expect(sAfter.uHeapBytes <= sBefore.uHeapBytes + uHeldByBefore + uHeapAllowance,
               "heap in use went from %zu to %zu bytes over %d cycles", sBefore.uHeapBytes, sAfter.uHeapBytes, iCycles);
    pc->Expect(sAfter.uMappedBytes <= sBefore.uMappedBytes + uMapAllowance,
               "mapped address space went from %zu to %zu bytes over %d cycles", sBefore.uMappedBytes,
               sAfter.uMappedBytes, iCycles);
}

bool DescriptorOpen(int iFd) { return iFd >= 0 && fcntl(iFd, F_GETFD) != -1; }

}  // namespace conformance
