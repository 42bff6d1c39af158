/* The bad-input harness: a fixture with the allocator and display devices open, the snapshot of
   everything a refused call must leave as it was, the table of handle-taking entry points, and
   the forged handles it owns. The bad-input suite and the hostile-client test share it. */
#ifndef TESTS_BAD_INPUT_FIXTURE_H
#define TESTS_BAD_INPUT_FIXTURE_H

#include <stdio.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "forged_handle.h"
#include "foreign_buffer.h"
#include "framebuffer.h"
#include "module_fixture.h"
#include "process_util.h"

/* Everything a refused call must leave as it was. */
struct Snapshot {
    std::vector<unsigned> auiLive;
    unsigned uiFds = 0;
    std::vector<std::tuple<VEK_UINT64, int, VEK_BOOL, VEK_BOOL, VEK_UINT32, int, ZOLSRV_CLIENT_MEM_INFO *,
                           ZOLSRV_CLIENT_MEM_INFO *, ZOLSRV_CLIENT_MEM_INFO *>>
        asEntries;
    VEK_UINT32 ui32AllocMask = 0;
    ZOLSRV_CLIENT_MEM_INFO *psKept = nullptr; /* the buffer a bypassed post kept for Post2 */
    unsigned uiStalls = 0, uiCacheOps = 0, uiShown = 0;
    unsigned uiWraps = 0, uiBlits = 0; /* caller memory wrapped, blits asked of the 2D engine */
    unsigned uiMisuse = 0;             /* calls the real libraries would refuse */

    bool operator==(const Snapshot &o) const {
        return auiLive == o.auiLive && uiFds == o.uiFds && asEntries == o.asEntries &&
               ui32AllocMask == o.ui32AllocMask && psKept == o.psKept && uiStalls == o.uiStalls &&
               uiCacheOps == o.uiCacheOps && uiShown == o.uiShown && uiWraps == o.uiWraps && uiBlits == o.uiBlits &&
               uiMisuse == o.uiMisuse;
    }
};

/* A handle-taking entry point, called as its users call it. */
struct HandleEntryPoint {
    const char *pszName;
    std::function<int(buffer_handle_t)> pfnCall;
};

class BadInputTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        psGralloc = &psHMI->base.base;
        psAlloc = OpenAlloc();
        psFb = OpenFb();
        ASSERT_NE(nullptr, psAlloc);
        ASSERT_NE(nullptr, psFb);
        psForeign.reset(new ForeignAllocator());
    }

    void TearDown() override {
        if (psFb != nullptr) psFb->common.close(&psFb->common);
        if (psAlloc != nullptr) psAlloc->common.close(&psAlloc->common);
        psForeign.reset();
    }

    Snapshot Take() {
        Snapshot s;
        for (unsigned i = 0; i < zolsim_live_kind_count; i++) s.auiLive.push_back(zolsim_live_kinds[i].pfnCount());
        s.uiFds = OpenDescriptorCount();
        for (VEK_mapper_meminfo_t *ps = Private()->psMapList; ps != nullptr; ps = ps->psNext)
            s.asEntries.emplace_back(ps->ui64Stamp, ps->usage, ps->bAllocatedByThisProcess, ps->bRegistered,
                                     ps->ui32LockCount, ps->lockUsage, ps->apsMemInfo[0], ps->apsMemInfo[1],
                                     ps->apsMemInfo[2]);
        if (psFb != nullptr) {
            s.ui32AllocMask = reinterpret_cast<VEK_raw_framebuffer_device_t *>(psFb)->ui32AllocMask;
            s.psKept = reinterpret_cast<VEK_raw_framebuffer_device_t *>(psFb)->psLastPostedFrameBuffer;
        }
        /* A refused call shows nothing and leaves no blit behind. */
        s.uiShown = zolsim_present_records(nullptr, 0) + zolsim_swap_records(nullptr, 0) + zolsim_blits_pending();
        s.uiStalls = zolsim_stall_reports();
        s.uiCacheOps = zolsim_cache_ops();
        s.uiWraps = zolsim_calls("ZOL2DMemWrap");
        s.uiBlits = zolsim_calls("ZOL2DBlt3DExt");
        s.uiMisuse = zolsim_misuse_count();
        return s;
    }

    /* Runs one bad call: it must answer one of the expected errors and change nothing. */
    void Try(const std::string &sWhat, const std::set<int> &aiExpected, const std::function<int()> &pfnCall) {
        Snapshot sBefore = Take();
        int iResult = pfnCall();
        uiTried++;
        std::string sExpected;
        for (int i : aiExpected) sExpected += (sExpected.empty() ? "" : " or ") + std::to_string(i);
        EXPECT_TRUE(aiExpected.count(iResult) == 1) << sWhat << ": answered " << iResult << ", expected " << sExpected;
        EXPECT_TRUE(sBefore == Take()) << sWhat << ": the call must change nothing (live objects, descriptors, "
                                       << "mapper list, lock counts, display slots, misuse)";
    }

    /* Every handle-taking entry point, called with the handle as its users call it: Blit into
       caller memory, Blit2 with hTarget at the other end, Post2 of a list of one. */
    std::vector<HandleEntryPoint> HandleEntryPoints(buffer_handle_t hTarget) {
        const VEK_gralloc_module_public_t *psPublic = &psHMI->base;
        aucBlitDest.resize(64 * 1024);
        auto fnLock = [this](int usage) {
            return [this, usage](buffer_handle_t h) {
                void *apv[3] = {};
                return psGralloc->lock(psGralloc, h, usage, 0, 0, 1, 1, apv);
            };
        };
        return {
            {"free", [this](buffer_handle_t h) { return psAlloc->free(psAlloc, h); }},
            {"registerBuffer", [this](buffer_handle_t h) { return psGralloc->registerBuffer(psGralloc, h); }},
            {"unregisterBuffer", [this](buffer_handle_t h) { return psGralloc->unregisterBuffer(psGralloc, h); }},
            {"lock for reading", fnLock(GRALLOC_USAGE_SW_READ_OFTEN)},
            {"lock for writing", fnLock(GRALLOC_USAGE_SW_WRITE_OFTEN)},
            {"unlock", [this](buffer_handle_t h) { return psGralloc->unlock(psGralloc, h); }},
            {"GetPhyAddrs",
             [psPublic](buffer_handle_t h) {
                 unsigned int auiPhy[3] = {};
                 return psPublic->GetPhyAddrs(psPublic, h, auiPhy);
             }},
            {"Blit from it",
             [this, psPublic](buffer_handle_t h) {
                 void *apvDest[3] = {aucBlitDest.data(), nullptr, nullptr};
                 return psPublic->Blit(psPublic, h, apvDest, HAL_PIXEL_FORMAT_BGRA_8888);
             }},
            {"Blit2 from it",
             [psPublic, hTarget](buffer_handle_t h) { return psPublic->Blit2(psPublic, h, hTarget, 8, 8, 0, 0); }},
            {"Blit2 into it",
             [psPublic, hTarget](buffer_handle_t h) { return psPublic->Blit2(psPublic, hTarget, h, 8, 8, 0, 0); }},
            {"post", [this](buffer_handle_t h) { return psFb->post(psFb, h); }},
            {"Post2 of it",
             [this](buffer_handle_t h) {
                 buffer_handle_t ah[1] = {h};
                 return Fb()->Post2(psFb, ah, 1, nullptr, 0);
             }},
        };
    }

    buffer_handle_t Alloc(int usage = kSw | GRALLOC_USAGE_HW_TEXTURE | GRALLOC_USAGE_HW_RENDER, int w = 32, int h = 16,
                          int format = HAL_PIXEL_FORMAT_BGRA_8888) {
        buffer_handle_t hNew = nullptr;
        int iStride = 0;
        EXPECT_EQ(0, psAlloc->alloc(psAlloc, w, h, format, usage, &hNew, &iStride));
        return hNew;
    }

    static constexpr int kSw = GRALLOC_USAGE_SW_READ_OFTEN | GRALLOC_USAGE_SW_WRITE_OFTEN;

    VEK_framebuffer_device_public_t *Fb() { return reinterpret_cast<VEK_framebuffer_device_public_t *>(psFb); }

    const gralloc_module_t *psGralloc = nullptr;
    alloc_device_t *psAlloc = nullptr;
    framebuffer_device_t *psFb = nullptr;
    std::unique_ptr<ForeignAllocator> psForeign;
    unsigned uiTried = 0;
    std::vector<unsigned char> aucBlitDest; /* caller memory the Blit row writes into */
};

#endif
