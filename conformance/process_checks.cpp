/* Access across processes: each listed format's buffers go to a client process as Android sends
   them, which registers, locks, reads what this process wrote, writes its own pattern and
   unregisters; this process then reads the client's pattern back. Also the buffer's stamp as the
   vendor's drivers use it (map and unmap), and the physical addresses of lent video buffers. */
#include <errno.h>
#include <string.h>

#include <memory>
#include <set>

#include "client.h"
#include "groups.h"

namespace conformance {
namespace {

const UsageClass kExchangeUsages[] = {
    /* A software client's window: mapped for as long as it is registered. */
    {"software", kSwUsage | GRALLOC_USAGE_HW_TEXTURE},
    /* An overlay buffer: registered without a mapping, mapped only while locked. */
    {"composer", GRALLOC_USAGE_HW_COMPOSER},
};

/* Allocates a buffer and writes the seed's pattern into it; empty, or what went wrong. */
std::string PrepareBuffer(const Module &m, Buffer *pb, uint32_t uiSeed) {
    if (pb->iErr != 0) return Format("alloc answered %s", ErrName(pb->iErr).c_str());
    void *apv[3];
    int iErr = LockWhole(m.psGralloc, pb->h, GRALLOC_USAGE_SW_WRITE_OFTEN, apv);
    if (iErr != 0) return Format("lock for writing answered %s", ErrName(iErr).c_str());
    FillPattern(apv, PlaneBytes(pb->h, pb->iStride), uiSeed);
    iErr = m.psGralloc->unlock(m.psGralloc, pb->h);
    return iErr != 0 ? Format("unlock answered %s", ErrName(iErr).c_str()) : "";
}

/* Reads the seed's pattern back in this process, into the check. */
void ExpectPattern(Check *pc, const Module &m, const Buffer &b, uint32_t uiSeed, const char *pszWhose) {
    void *apv[3];
    if (!pc->ExpectErr(0, LockWhole(m.psGralloc, b.h, GRALLOC_USAGE_SW_READ_OFTEN, apv), "lock for reading")) return;
    std::string sWrong = PatternMismatch(apv, PlaneBytes(b.h, b.iStride), uiSeed);
    pc->Expect(sWrong.empty(), "%s pattern, read here: %s", pszWhose, sWrong.c_str());
    pc->ExpectErr(0, m.psGralloc->unlock(m.psGralloc, b.h), "unlock");
}

void Exchange(const Module &m, Client *psClient, const KnownFormat &f, const UsageClass &u, uint32_t uiSeed) {
    const std::string sName = Format("exchange.%s.%s", f.pszName, u.pszName);
    Buffer b(m.psAlloc, 100, 50, f.iHal, u.iUsage);
    const std::string sPrepared = PrepareBuffer(m, &b, uiSeed);
    const bool bMapped = (u.iUsage & 0x1333) != 0;
    if (sPrepared.empty()) psClient->Call(kOpExchange, sName, b.h, b.iStride, (int)uiSeed, (int)uiSeed + 1, bMapped);
    Check c(sName + ".read_back");
    if (!c.Expect(sPrepared.empty(), "%s", sPrepared.c_str())) return;
    ExpectPattern(&c, m, b, uiSeed + 1, "the client's");
    c.ExpectErr(0, b.Free(), "free");
}

void CheckBufferOutlivesFree(const Module &m, Client *psClient) {
    Buffer b(m.psAlloc, 64, 48, 5, kSwUsage | GRALLOC_USAGE_HW_TEXTURE);
    const std::string sPrepared = PrepareBuffer(m, &b, 41);
    if (sPrepared.empty()) psClient->Call(kOpHold, "outlives_free.registers", b.h, b.iStride, 41);
    {
        /* The allocator may free a buffer a client still holds, as the compositor does when a
           window goes: the client's registration keeps the memory. */
        Check c("outlives_free.allocator_frees");
        if (!c.Expect(sPrepared.empty(), "%s", sPrepared.c_str())) return;
        c.ExpectErr(0, b.Free(), "free while a client holds the buffer");
    }
    psClient->Call(kOpReadHeld, "outlives_free.still_reads", nullptr, 0, 41);
}

void CheckMapByStamp(const Module &m, const KnownFormat &f) {
    Check c(Format("map_by_stamp.%s", f.pszName));
    const gralloc_module_t *psG = m.psGralloc;
    const VEK_gralloc_module_t *psH = m.psHMI;
    Buffer b(m.psAlloc, 64, 32, f.iHal, kSwUsage | GRALLOC_USAGE_HW_TEXTURE | GRALLOC_USAGE_HW_RENDER);
    if (!c.ExpectErr(0, b.iErr, "alloc")) return;
    const uint64_t ui64Stamp = Vek(b.h)->ui64Stamp;
    const int iPlanes = f.iHal == kFormatNV12 ? 2 : 1;
    ZOLSRV_CLIENT_MEM_INFO *apsMem[3] = {nullptr, nullptr, nullptr};
    if (!c.ExpectErr(0, psH->map(psG, ui64Stamp, GRALLOC_USAGE_HW_TEXTURE, apsMem), "map for texturing")) return;
    c.Expect(apsMem[0] == nullptr || apsMem[0]->ui64Stamp == ui64Stamp, "the map's plane 0 has stamp %llu, not %llu",
             apsMem[0] ? (unsigned long long)apsMem[0]->ui64Stamp : 0ull, (unsigned long long)ui64Stamp);
    for (int i = 0; i < 3; i++) {
        if (i < iPlanes)
            c.Expect(apsMem[i] != nullptr, "the map hands out no plane %d", i);
        else
            c.Expect(apsMem[i] == nullptr, "the map hands out a plane %d the buffer does not have", i);
    }
    void *apv[3] = {reinterpret_cast<void *>(0x1), nullptr, nullptr};
    c.ExpectErr(0, psG->lock(psG, b.h, GRALLOC_USAGE_HW_TEXTURE, 0, 0, 64, 32, apv),
                "a lock with the map's usage while mapped");
    c.Expect(apv[0] == nullptr, "a lock without CPU access handed out an address");
    c.ExpectErr(0, psG->unlock(psG, b.h), "its unlock");
    c.ExpectErr(-EINVAL, LockWhole(psG, b.h, GRALLOC_USAGE_SW_READ_OFTEN, apv), "a lock of another usage while mapped");
    ZOLSRV_CLIENT_MEM_INFO *apsOther[3] = {nullptr, nullptr, nullptr};
    c.ExpectErr(-EINVAL, psH->map(psG, ui64Stamp, GRALLOC_USAGE_HW_RENDER, apsOther),
                "a map for rendering while mapped for texturing");
    c.ExpectErr(0, psH->map(psG, ui64Stamp, GRALLOC_USAGE_HW_TEXTURE, apsOther), "a second map for texturing");
    c.Expect(apsOther[0] == apsMem[0], "the second map handed out other planes");
    c.ExpectErr(0, psH->map(psG, ui64Stamp, GRALLOC_USAGE_HW_COMPOSER, apsOther), "a map for composing");
    c.ExpectErr(-EINVAL, psH->map(psG, ui64Stamp, GRALLOC_USAGE_SW_READ_RARELY, apsOther), "a map for CPU reading");
    c.ExpectErr(-EFAULT, m.psAlloc->free(m.psAlloc, b.h), "free while mapped");
    for (int i = 0; i < 3; i++) c.ExpectErr(0, psH->unmap(psG, ui64Stamp), "unmap %d of 3", i + 1);
    c.ExpectErr(0, LockWhole(psG, b.h, kSwUsage, apv), "a write lock once every map is undone");
    c.ExpectErr(0, psG->unlock(psG, b.h), "its unlock");
    c.ExpectErr(0, b.Free(), "free once unmapped");
    c.ExpectErr(-EINVAL, psH->map(psG, ui64Stamp, GRALLOC_USAGE_HW_TEXTURE, apsOther), "a map after free");
    c.ExpectErr(-EINVAL, psH->unmap(psG, ui64Stamp), "an unmap after free");
}

bool Lent(const Buffer &b) { return b.iErr == 0 && (Vek(b.h)->usage & GRALLOC_USAGE_PRIVATE_1) != 0; }

const char *kNoPool =
    "no display-owned video pair was lent (usage without PRIVATE_1): the device has no video pool, which needs three "
    "2D devices, or the pool is in use";

void CheckPhysicalAddresses(const Module &m) {
    {
        Check c("phys_addrs.lent_video");
        Buffer v(m.psAlloc, 320, 240, kFormatNV12, GRALLOC_USAGE_HW_COMPOSER);
        if (!c.ExpectErr(0, v.iErr, "alloc of a composer video buffer")) return;
        if (!Lent(v)) {
            c.Skip("%s", kNoPool);
        } else {
            unsigned auiAddr[3] = {1, 1, 1};
            if (c.ExpectErr(0, m.psPublic->GetPhyAddrs(m.psPublic, v.h, auiAddr), "GetPhyAddrs of a lent buffer")) {
                c.Expect(auiAddr[0] != 0 && auiAddr[1] != 0 && auiAddr[0] != auiAddr[1],
                         "luma at 0x%08x, chroma at 0x%08x", auiAddr[0], auiAddr[1]);
                c.Expect(auiAddr[2] == 0, "a third plane at 0x%08x", auiAddr[2]);
                c.Note("luma 0x%08x, chroma 0x%08x", auiAddr[0], auiAddr[1]);
            }
        }
        c.ExpectErr(0, v.Free(), "free");
    }
    Check c("phys_addrs.other_buffers");
    Buffer bRgb(m.psAlloc, 64, 64, 5, GRALLOC_USAGE_HW_COMPOSER);
    Buffer bVideo(m.psAlloc, 64, 64, kFormatNV12, kSwUsage);
    unsigned auiAddr[3] = {0, 0, 0};
    if (c.ExpectErr(0, bRgb.iErr, "alloc"))
        c.ExpectErr(-EINVAL, m.psPublic->GetPhyAddrs(m.psPublic, bRgb.h, auiAddr), "GetPhyAddrs of a BGRA buffer");
    if (c.ExpectErr(0, bVideo.iErr, "alloc"))
        c.ExpectErr(-EINVAL, m.psPublic->GetPhyAddrs(m.psPublic, bVideo.h, auiAddr),
                    "GetPhyAddrs of a video buffer that was not lent");
}

void CheckVideoPool(const Module &m) {
    Check c("video_pool");
    std::vector<std::unique_ptr<Buffer>> apsBuffers;
    std::set<unsigned> auiLuma;
    int iLent = 0;
    bool bGenericSeen = false;
    for (int i = 0; i < 4; i++) {
        apsBuffers.emplace_back(new Buffer(m.psAlloc, 176, 144, kFormatNV12, GRALLOC_USAGE_HW_COMPOSER));
        Buffer *ps = apsBuffers.back().get();
        if (!c.ExpectErr(0, ps->iErr, "composer video buffer %d", i + 1)) return;
        if (!Lent(*ps)) {
            bGenericSeen = true;
            continue;
        }
        c.Expect(!bGenericSeen, "buffer %d was lent after one that was not", i + 1);
        unsigned auiAddr[3] = {0, 0, 0};
        c.ExpectErr(0, m.psPublic->GetPhyAddrs(m.psPublic, ps->h, auiAddr), "GetPhyAddrs of lent buffer %d", i + 1);
        c.Expect(auiLuma.insert(auiAddr[0]).second, "two lent buffers share the luma address 0x%08x", auiAddr[0]);
        iLent++;
    }
    if (iLent == 0) {
        c.Skip("%s", kNoPool);
        return;
    }
    c.Expect(iLent <= 3, "%d buffers were lent from a pool of three pairs", iLent);
    /* The first lent buffer's pair goes back and is lent again, with its addresses. */
    unsigned auiFirst[3] = {0, 0, 0}, auiAgain[3] = {0, 0, 0};
    m.psPublic->GetPhyAddrs(m.psPublic, apsBuffers[0]->h, auiFirst);
    c.ExpectErr(0, apsBuffers[0]->Free(), "free of the first lent buffer");
    Buffer again(m.psAlloc, 176, 144, kFormatNV12, GRALLOC_USAGE_HW_COMPOSER);
    if (c.Expect(Lent(again), "the pair given back was not lent again")) {
        m.psPublic->GetPhyAddrs(m.psPublic, again.h, auiAgain);
        c.Expect(auiAgain[0] == auiFirst[0] && auiAgain[1] == auiFirst[1],
                 "the pair lent again has luma 0x%08x, the one given back 0x%08x", auiAgain[0], auiFirst[0]);
    }
    c.Note("%d of 4 composer buffers lent", iLent);
}

}  // namespace

void RunProcessGroup(const Options &sOptions) {
    Module m;
    if (!m.Load()) return;
    Client sClient;
    if (sClient.Start(sOptions)) {
        uint32_t uiSeed = 100;
        for (const KnownFormat &f : ListedFormats(m))
            for (const UsageClass &u : kExchangeUsages) Exchange(m, &sClient, f, u, uiSeed += 2);
        CheckBufferOutlivesFree(m, &sClient);
        Buffer b(m.psAlloc, 40, 30, 4, kSwUsage | GRALLOC_USAGE_HW_TEXTURE);
        if (b.iErr == 0) sClient.Call(kOpLockRules, "lock_rules", b.h, b.iStride);
    }
    for (const KnownFormat &f : ListedFormats(m))
        if (f.iHal == 5 || f.iHal == kFormatNV12) CheckMapByStamp(m, f);
    CheckPhysicalAddresses(m);
    CheckVideoPool(m);
}

}  // namespace conformance
