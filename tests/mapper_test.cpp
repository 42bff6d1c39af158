/* The mapper list's insertion, look-up, removal, consistency check and dump. */
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "no_misuse.h"
#include "mapper.h"

namespace {

/* One plane's memory as the services would describe it, with its own sync objects. */
struct FakePlane {
    ZOLSRV_SYNC_DATA sSyncData = {};
    ZOLSRV_CLIENT_SYNC_INFO sSyncInfo = {};
    ZOLSRV_CLIENT_MEM_INFO sMemInfo = {};

    explicit FakePlane(VEK_UINT32 ui32Base) {
        sSyncInfo.psSyncData = &sSyncData;
        sSyncInfo.sWriteOpsCompleteDevVAddr.uiAddr = ui32Base;
        sSyncInfo.sReadOpsCompleteDevVAddr.uiAddr = ui32Base + 4;
        sSyncInfo.sReadOps2CompleteDevVAddr.uiAddr = ui32Base + 8;
        sMemInfo.psClientSyncInfo = &sSyncInfo;
    }
};

class MapperTest : public ::testing::Test {
protected:
    void TearDown() override {
        while (sPriv.psMapList != nullptr) MapperRemove(&sPriv, sPriv.psMapList);
    }

    static VEK_native_handle_t Handle(VEK_UINT64 ui64Stamp, int usage = 0x33) {
        VEK_native_handle_t s;
        memset(&s, 0, sizeof(s));
        s.base.version = 12;
        s.base.numFds = 1;
        s.base.numInts = 9;
        s.ui64Stamp = ui64Stamp;
        s.usage = usage;
        s.iFormat = HAL_PIXEL_FORMAT_BGRA_8888;
        return s;
    }

    bool AddMapped(VEK_UINT64 ui64Stamp, ZOLSRV_CLIENT_MEM_INFO *psMem) {
        VEK_native_handle_t s = Handle(ui64Stamp);
        ZOLSRV_CLIENT_MEM_INFO *aps[3] = {psMem, nullptr, nullptr};
        return MapperAddMapped(&sPriv, &s, aps);
    }

    bool AddUnmapped(VEK_UINT64 ui64Stamp) {
        VEK_native_handle_t s = Handle(ui64Stamp);
        return MapperAddUnmapped(&sPriv, &s);
    }

    std::string Order() {
        std::string s;
        for (VEK_mapper_meminfo_t *ps = sPriv.psMapList; ps != nullptr; ps = ps->psNext)
            s += std::to_string(ps->ui64Stamp) + " ";
        return s;
    }

    VEK_private_data_t sPriv = {};

private:
    NoMisuse sNoMisuse_;
};

TEST_F(MapperTest, AddOperationsFillTheirFields) {
    FakePlane sA(0x1000), sFB(0x2000);
    VEK_native_handle_t sHandle = Handle(1, 0x133);
    ZOLSRV_CLIENT_MEM_INFO *aps[3] = {&sA.sMemInfo, nullptr, nullptr};
    ASSERT_TRUE(MapperAddMapped(&sPriv, &sHandle, aps));
    VEK_mapper_meminfo_t *ps = MapperPeek(&sPriv, 1);
    ASSERT_NE(nullptr, ps);
    EXPECT_EQ(0x133, ps->usage);
    EXPECT_EQ(HAL_PIXEL_FORMAT_BGRA_8888, ps->iFormat);
    EXPECT_TRUE(ps->bAllocatedByThisProcess);
    EXPECT_TRUE(ps->bRegistered);
    EXPECT_EQ(&sA.sMemInfo, ps->apsMemInfo[0]);
    EXPECT_EQ(nullptr, ps->hMemInfo);
    EXPECT_EQ(0u, ps->ui32LockCount);

    sHandle = Handle(2);
    ASSERT_TRUE(MapperAddUnmapped(&sPriv, &sHandle));
    ps = MapperPeek(&sPriv, 2);
    EXPECT_FALSE(ps->bAllocatedByThisProcess);
    EXPECT_TRUE(ps->bRegistered);
    EXPECT_EQ(nullptr, ps->apsMemInfo[0]);

    sHandle = Handle(3, 0x1000);
    int iTwoD = 0;
    ASSERT_TRUE(MapperAddMappedFB(&sPriv, &sHandle, &sFB.sMemInfo, &iTwoD));
    ps = MapperPeek(&sPriv, 3);
    EXPECT_EQ(&iTwoD, ps->hMemInfo);
    EXPECT_EQ(&sFB.sMemInfo, ps->apsMemInfo[0]);
    EXPECT_TRUE(ps->bAllocatedByThisProcess);
    EXPECT_EQ("3 2 1 ", Order()) << "new entries go in at the head";
}

TEST_F(MapperTest, DuplicateStampIsRefusedAndTheOldEntryKept) {
    FakePlane sA(0x1000), sB(0x2000);
    ASSERT_TRUE(AddMapped(7, &sA.sMemInfo));
    EXPECT_FALSE(AddMapped(7, &sB.sMemInfo));
    EXPECT_FALSE(AddUnmapped(7));
    EXPECT_EQ("7 ", Order());
    EXPECT_EQ(&sA.sMemInfo, MapperPeek(&sPriv, 7)->apsMemInfo[0]);
}

TEST_F(MapperTest, PeekComparesTheWholeStamp) {
    EXPECT_EQ(nullptr, MapperPeek(&sPriv, 1)) << "empty list";
    ASSERT_TRUE(AddUnmapped(0x0000000100000005ULL));
    EXPECT_EQ(nullptr, MapperPeek(&sPriv, 0x0000000200000005ULL));
    EXPECT_EQ(nullptr, MapperPeek(&sPriv, 5));
    EXPECT_NE(nullptr, MapperPeek(&sPriv, 0x0000000100000005ULL));
}

TEST_F(MapperTest, RemoveAtHeadMiddleAndEnd) {
    for (VEK_UINT64 u = 1; u <= 4; u++) ASSERT_TRUE(AddUnmapped(u));
    ASSERT_EQ("4 3 2 1 ", Order());
    MapperRemove(&sPriv, MapperPeek(&sPriv, 4));
    EXPECT_EQ("3 2 1 ", Order());
    MapperRemove(&sPriv, MapperPeek(&sPriv, 2));
    EXPECT_EQ("3 1 ", Order());
    MapperRemove(&sPriv, MapperPeek(&sPriv, 1));
    EXPECT_EQ("3 ", Order());
    VEK_mapper_meminfo_t sStranger = {};
    MapperRemove(&sPriv, &sStranger); /* not on the list: left alone */
    EXPECT_EQ("3 ", Order());
    MapperRemove(&sPriv, MapperPeek(&sPriv, 3));
    EXPECT_EQ(nullptr, sPriv.psMapList);
}

TEST_F(MapperTest, SanityCheckRefusesSharedSyncObjects) {
    FakePlane sA(0x1000), sB(0x2000);
    ASSERT_TRUE(AddMapped(1, &sA.sMemInfo));
    ASSERT_TRUE(AddMapped(2, &sB.sMemInfo));
    EXPECT_TRUE(MapperSanityCheck(&sPriv));

    /* Each object in turn shared with the other entry. */
    sB.sSyncInfo.sReadOps2CompleteDevVAddr = sA.sSyncInfo.sReadOps2CompleteDevVAddr;
    EXPECT_FALSE(MapperSanityCheck(&sPriv)) << "read-ops-2 counter address";
    sB.sSyncInfo.sReadOps2CompleteDevVAddr.uiAddr = 0x2008;
    sB.sSyncInfo.sReadOpsCompleteDevVAddr = sA.sSyncInfo.sReadOpsCompleteDevVAddr;
    EXPECT_FALSE(MapperSanityCheck(&sPriv)) << "read-ops counter address";
    sB.sSyncInfo.sReadOpsCompleteDevVAddr.uiAddr = 0x2004;
    sB.sSyncInfo.sWriteOpsCompleteDevVAddr = sA.sSyncInfo.sWriteOpsCompleteDevVAddr;
    EXPECT_FALSE(MapperSanityCheck(&sPriv)) << "write-ops counter address";
    sB.sSyncInfo.sWriteOpsCompleteDevVAddr.uiAddr = 0x2000;
    sB.sSyncInfo.psSyncData = &sA.sSyncData;
    EXPECT_FALSE(MapperSanityCheck(&sPriv)) << "sync data";
    sB.sSyncInfo.psSyncData = &sB.sSyncData;
    sB.sMemInfo.psClientSyncInfo = &sA.sSyncInfo;
    EXPECT_FALSE(MapperSanityCheck(&sPriv)) << "sync info";
    sB.sMemInfo.psClientSyncInfo = &sB.sSyncInfo;
    MapperPeek(&sPriv, 2)->apsMemInfo[0] = &sA.sMemInfo;
    EXPECT_FALSE(MapperSanityCheck(&sPriv)) << "mem-info";
    MapperPeek(&sPriv, 2)->apsMemInfo[0] = &sB.sMemInfo;
    EXPECT_TRUE(MapperSanityCheck(&sPriv));
    MapperPeek(&sPriv, 2)->ui64Stamp = 1;
    EXPECT_FALSE(MapperSanityCheck(&sPriv)) << "stamp";
}

TEST_F(MapperTest, SanityCheckStopsAtAnEntryWithoutMemory) {
    FakePlane sA(0x1000), sB(0x2000);
    /* From the head: A, U, B, where A and B share a sync object. */
    ASSERT_TRUE(AddMapped(3, &sB.sMemInfo));
    ASSERT_TRUE(AddUnmapped(2));
    ASSERT_TRUE(AddMapped(1, &sA.sMemInfo));
    sB.sMemInfo.psClientSyncInfo = &sA.sSyncInfo;
    EXPECT_TRUE(MapperSanityCheck(&sPriv)) << "A is compared with U's stamp only, never with B";

    /* U is still compared by stamp with its successor. */
    MapperPeek(&sPriv, 2)->ui64Stamp = 3;
    EXPECT_FALSE(MapperSanityCheck(&sPriv));
}

/* Long lists, as a process that knows many buffers has: the check must find the same pairs. */
class LongMapperListTest : public MapperTest {
protected:
    /* Stamps uFirst.. uFirst + uCount - 1, each with a plane of its own; the last is the head. */
    void AddMappedRun(VEK_UINT64 uFirst, unsigned uCount) {
        for (unsigned i = 0; i < uCount; i++) {
            apsPlanes.emplace_back(new FakePlane(0x100000u + 0x1000u * (VEK_UINT32)apsPlanes.size()));
            ASSERT_TRUE(AddMapped(uFirst + i, &apsPlanes.back()->sMemInfo));
        }
    }
    FakePlane &Plane(VEK_UINT64 ui64Stamp) {
        ZOLSRV_CLIENT_MEM_INFO *psMem = MapperPeek(&sPriv, ui64Stamp)->apsMemInfo[0];
        for (auto &ps : apsPlanes)
            if (&ps->sMemInfo == psMem) return *ps;
        ADD_FAILURE() << "no plane for stamp " << ui64Stamp;
        return *apsPlanes[0];
    }

    /* What the module does when it changes an entry in place. */
    void Changed(VEK_UINT64 ui64Stamp) { MapperEntryChanged(MapperPeek(&sPriv, ui64Stamp)); }

    std::vector<std::unique_ptr<FakePlane>> apsPlanes;
};

TEST_F(LongMapperListTest, SanityCheckFindsEachSharedObjectAnywhereInARun) {
    AddMappedRun(1, 100);
    ASSERT_TRUE(MapperSanityCheck(&sPriv)) << "a hundred buffers with their own objects";

    /* The newest and the oldest entry share one object at a time (each change made in place
       and told, as the module tells of a mapping it changes). */
    FakePlane &sNew = Plane(100), &sOld = Plane(1);
    const ZOLSRV_CLIENT_SYNC_INFO sSaved = sNew.sSyncInfo;
    sNew.sSyncInfo.sReadOps2CompleteDevVAddr = sOld.sSyncInfo.sReadOps2CompleteDevVAddr;
    Changed(100);
    EXPECT_FALSE(MapperSanityCheck(&sPriv)) << "read-ops-2 counter address";
    sNew.sSyncInfo = sSaved;
    sNew.sSyncInfo.sReadOpsCompleteDevVAddr = sOld.sSyncInfo.sReadOpsCompleteDevVAddr;
    Changed(100);
    EXPECT_FALSE(MapperSanityCheck(&sPriv)) << "read-ops counter address";
    sNew.sSyncInfo = sSaved;
    sNew.sSyncInfo.sWriteOpsCompleteDevVAddr = sOld.sSyncInfo.sWriteOpsCompleteDevVAddr;
    Changed(100);
    EXPECT_FALSE(MapperSanityCheck(&sPriv)) << "write-ops counter address";
    sNew.sSyncInfo = sSaved;
    sNew.sSyncInfo.psSyncData = &sOld.sSyncData;
    Changed(100);
    EXPECT_FALSE(MapperSanityCheck(&sPriv)) << "sync data";
    sNew.sSyncInfo = sSaved;
    sNew.sMemInfo.psClientSyncInfo = &sOld.sSyncInfo;
    Changed(100);
    EXPECT_FALSE(MapperSanityCheck(&sPriv)) << "sync info";
    sNew.sMemInfo.psClientSyncInfo = &sNew.sSyncInfo;
    Changed(100);
    VEK_mapper_meminfo_t *psMiddle = MapperPeek(&sPriv, 50);
    ZOLSRV_CLIENT_MEM_INFO *psMiddleMem = psMiddle->apsMemInfo[0];
    psMiddle->apsMemInfo[0] = &sOld.sMemInfo;
    MapperEntryChanged(psMiddle);
    EXPECT_FALSE(MapperSanityCheck(&sPriv)) << "mem-info";
    psMiddle->apsMemInfo[0] = psMiddleMem;
    MapperEntryChanged(psMiddle);
    ASSERT_TRUE(MapperSanityCheck(&sPriv)) << "every object its own again";
    psMiddle->ui64Stamp = 1;
    MapperEntryChanged(psMiddle);
    EXPECT_FALSE(MapperSanityCheck(&sPriv)) << "stamp";
}

/* The check trusts what it compared unless it is told of a change; the debug builds make sure
   that nothing changes untold. */
TEST_F(LongMapperListTest, AChangeNotToldStopsADebugBuild) {
#ifdef NDEBUG
    GTEST_SKIP() << "only the debug builds look";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    AddMappedRun(1, 60);
    ASSERT_TRUE(MapperSanityCheck(&sPriv));
    MapperPeek(&sPriv, 30)->apsMemInfo[0] = nullptr;
    EXPECT_DEATH(MapperSanityCheck(&sPriv), "changed without MapperEntryChanged");
    Changed(30);
    EXPECT_TRUE(MapperSanityCheck(&sPriv)) << "told, the check confirms what it saw and goes on";
#endif
}

TEST_F(LongMapperListTest, SanityCheckComparesValuesOnlyWithTheSameKind) {
    AddMappedRun(1, 60);
    /* One buffer's read counter sits where another's write counter is: not a shared object. */
    Plane(60).sSyncInfo.sReadOpsCompleteDevVAddr = Plane(3).sSyncInfo.sWriteOpsCompleteDevVAddr;
    Plane(20).sSyncInfo.sReadOps2CompleteDevVAddr = Plane(40).sSyncInfo.sReadOpsCompleteDevVAddr;
    Changed(60);
    Changed(20);
    EXPECT_TRUE(MapperSanityCheck(&sPriv));
}

TEST_F(LongMapperListTest, SanityCheckStopsAtEntriesWithoutMemoryAsInShortLists) {
    /* From the head: stamps 61..100 mapped, 50 without memory, 1..40 mapped. */
    AddMappedRun(1, 40);
    ASSERT_TRUE(AddUnmapped(50));
    AddMappedRun(61, 40);
    Plane(100).sMemInfo.psClientSyncInfo = &Plane(1).sSyncInfo;
    Plane(70).sSyncInfo.sWriteOpsCompleteDevVAddr = Plane(30).sSyncInfo.sWriteOpsCompleteDevVAddr;
    Changed(100);
    Changed(70);
    EXPECT_TRUE(MapperSanityCheck(&sPriv)) << "entries on either side of one without memory are never compared";

    VEK_mapper_meminfo_t *psU = MapperPeek(&sPriv, 50);
    psU->ui64Stamp = 20;
    MapperEntryChanged(psU);
    EXPECT_TRUE(MapperSanityCheck(&sPriv)) << "its stamp is compared with its successor's only";
    psU->ui64Stamp = 40;
    MapperEntryChanged(psU);
    EXPECT_FALSE(MapperSanityCheck(&sPriv)) << "the stamp of its successor";
    psU->ui64Stamp = 99;
    MapperEntryChanged(psU);
    EXPECT_FALSE(MapperSanityCheck(&sPriv)) << "the stamp of an entry before it";
    psU->ui64Stamp = 50;
    MapperEntryChanged(psU);
    EXPECT_TRUE(MapperSanityCheck(&sPriv));
}

TEST_F(LongMapperListTest, PeekFindsEachEntryOfItsOwnListThroughInsertionsAndRemovals) {
    for (VEK_UINT64 u = 1; u <= 300; u++) ASSERT_TRUE(AddUnmapped(u));
    for (VEK_UINT64 u = 3; u <= 300; u += 3) MapperRemove(&sPriv, MapperPeek(&sPriv, u));
    for (VEK_UINT64 u = 1; u <= 300; u++) {
        VEK_mapper_meminfo_t *ps = MapperPeek(&sPriv, u);
        if (u % 3 == 0) {
            EXPECT_EQ(nullptr, ps) << "stamp " << u << " was removed";
        } else {
            ASSERT_NE(nullptr, ps) << "stamp " << u;
            EXPECT_EQ(u, ps->ui64Stamp);
        }
    }
    ASSERT_TRUE(AddUnmapped(150));
    EXPECT_EQ(sPriv.psMapList, MapperPeek(&sPriv, 150)) << "a stamp comes back with its new entry";

    /* Another process's list, as the white-box suites make them: same stamps, its own entries. */
    VEK_private_data_t sOther = {};
    for (VEK_UINT64 u = 1; u <= 300; u += 2) {
        VEK_native_handle_t sHandle = Handle(u + 1000 * (u % 4 == 1));
        ASSERT_TRUE(MapperAddUnmapped(&sOther, &sHandle));
    }
    EXPECT_EQ(1001u, MapperPeek(&sOther, 1001)->ui64Stamp);
    EXPECT_EQ(3u, MapperPeek(&sOther, 3)->ui64Stamp) << "a stamp this list removed is still the other's";
    for (VEK_UINT64 u = 1; u <= 300; u += 4) {
        EXPECT_EQ(nullptr, MapperPeek(&sPriv, u + 1000)) << "stamp " << u + 1000 << " is only the other list's";
        EXPECT_NE(MapperPeek(&sOther, u + 2), MapperPeek(&sPriv, u + 2)) << "stamp " << u + 2 << " is in both";
    }
    while (sOther.psMapList != nullptr) MapperRemove(&sOther, sOther.psMapList);
    EXPECT_NE(nullptr, MapperPeek(&sPriv, 1)) << "removing the other list's entries leaves this one's";

    /* The list decides: an entry is found by the stamp it carries now. */
    MapperPeek(&sPriv, 200)->ui64Stamp = 1000;
    MapperEntryChanged(MapperPeek(&sPriv, 1000));
    EXPECT_EQ(nullptr, MapperPeek(&sPriv, 200));
    ASSERT_NE(nullptr, MapperPeek(&sPriv, 1000));
    MapperRemove(&sPriv, MapperPeek(&sPriv, 1000));
    EXPECT_EQ(nullptr, MapperPeek(&sPriv, 1000));
}

/* The rule the check must answer by, written out pair by pair over every entry, registered or on
   its way out: each against those after it, an entry without a first mem-info compared by stamp
   and ending the scan. */
static bool PairwiseRule(const VEK_mapper_meminfo_t *psList) {
    for (const VEK_mapper_meminfo_t *psA = psList; psA != nullptr; psA = psA->psNext) {
        for (const VEK_mapper_meminfo_t *psB = psA->psNext; psB != nullptr; psB = psB->psNext) {
            if (psA->ui64Stamp == psB->ui64Stamp) return false;
            const ZOLSRV_CLIENT_MEM_INFO *psMa = psA->apsMemInfo[0], *psMb = psB->apsMemInfo[0];
            if (psMa == nullptr || psMb == nullptr) break;
            const ZOLSRV_CLIENT_SYNC_INFO *psSa = psMa->psClientSyncInfo, *psSb = psMb->psClientSyncInfo;
            if (psMa == psMb || psSa == psSb || psSa->psSyncData == psSb->psSyncData ||
                psSa->sWriteOpsCompleteDevVAddr.uiAddr == psSb->sWriteOpsCompleteDevVAddr.uiAddr ||
                psSa->sReadOpsCompleteDevVAddr.uiAddr == psSb->sReadOpsCompleteDevVAddr.uiAddr ||
                psSa->sReadOps2CompleteDevVAddr.uiAddr == psSb->sReadOps2CompleteDevVAddr.uiAddr)
                return false;
        }
    }
    return true;
}

/* A process's list as it lives: buffers inserted at the head (mostly mapped, some not), removed
   anywhere, mapped and unmapped in place, now and then sharing an object or a stamp with another;
   a change the check refuses is undone, as the module undoes it. The check, which looks only at
   what changed where it can, must answer as the pairwise rule after every step, whatever the
   list's length. */
TEST_F(LongMapperListTest, SanityCheckAnswersAsThePairwiseRuleThroughEveryKindOfChange) {
    unsigned uSeed = 12345;
    auto Random = [&uSeed](unsigned uBelow) {
        uSeed = uSeed * 1103515245u + 12345u;
        return (uSeed >> 16) % uBelow;
    };
    std::vector<VEK_UINT64> aStamps;
    std::vector<ZOLSRV_CLIENT_MEM_INFO *> apsFreed; /* the last freed last */
    /* The plane of an entry of the list, if the one picked has one. */
    auto ListedPlane = [&]() -> ZOLSRV_CLIENT_MEM_INFO * {
        if (aStamps.empty()) return nullptr;
        return MapperPeek(&sPriv, aStamps[Random((unsigned)aStamps.size())])->apsMemInfo[0];
    };
    /* A new plane, or one that a removed entry had (as memory is handed out again), or now and
       then one that an entry of the list has. */
    auto SomePlane = [&]() {
        ZOLSRV_CLIENT_MEM_INFO *psListed = Random(10) == 0 ? ListedPlane() : nullptr;
        if (psListed != nullptr) return psListed;
        if (!apsFreed.empty() && Random(2) == 0) {
            ZOLSRV_CLIENT_MEM_INFO *psFreed = apsFreed.back();
            apsFreed.pop_back();
            return psFreed;
        }
        apsPlanes.emplace_back(new FakePlane(0x100000u + 0x1000u * (VEK_UINT32)apsPlanes.size()));
        return &apsPlanes.back()->sMemInfo;
    };
    VEK_UINT64 ui64Next = 1;
    unsigned uFalse = 0, uTrue = 0, uLongest = 0, uOut = 0, uSharedWithOut = 0;
    auto Expect = [&](const char *pszStep, int iStep) {
        const bool bExpected = PairwiseRule(sPriv.psMapList);
        EXPECT_EQ(bExpected, (bool)MapperSanityCheck(&sPriv)) << pszStep << " at step " << iStep;
        (bExpected ? uTrue : uFalse)++;
        return bExpected;
    };

    for (int iStep = 0; iStep < 5000 && !HasFailure(); iStep++) {
        const unsigned uOp = Random(100);
        if (aStamps.size() < 40 || uOp < 50) {
            const VEK_UINT64 ui64Stamp = ui64Next++;
            ASSERT_TRUE(Random(8) == 0 ? AddUnmapped(ui64Stamp) : AddMapped(ui64Stamp, SomePlane()));
            aStamps.push_back(ui64Stamp);
            if (!Expect("insertion", iStep)) {
                MapperRemove(&sPriv, sPriv.psMapList);
                aStamps.pop_back();
            }
        } else if (uOp < 85) {
            /* Removal, the newest most often. Freed memory leaves its entry's slots first. */
            const size_t u = Random(3) == 0 ? aStamps.size() - 1 : Random((unsigned)aStamps.size());
            VEK_mapper_meminfo_t *ps = MapperPeek(&sPriv, aStamps[u]);
            ASSERT_NE(nullptr, ps);
            if (ps->apsMemInfo[0] != nullptr) apsFreed.push_back(ps->apsMemInfo[0]);
            if (Random(2) == 0) {
                ps->apsMemInfo[0] = nullptr;
                MapperEntryChanged(ps);
            }
            MapperRemove(&sPriv, ps);
            aStamps.erase(aStamps.begin() + (long)u);
            /* Runs that an entry without memory kept apart may meet with a shared object: the
               newest entries go until the list is consistent again. */
            while (!Expect("removal", iStep) && !HasFailure()) {
                MapperRemove(&sPriv, MapperPeek(&sPriv, aStamps.back()));
                aStamps.pop_back();
            }
        } else if (uOp < 91) {
            /* An entry's removal is queued, or a registration takes it back: its mapping, and so
               what it brings to the check, stays either way. */
            VEK_mapper_meminfo_t *ps = MapperPeek(&sPriv, aStamps[Random((unsigned)aStamps.size())]);
            ps->bRegistered = !ps->bRegistered;
            MapperEntryChanged(ps);
            if (!Expect(ps->bRegistered ? "a registration anew" : "a queued removal", iStep)) {
                ps->bRegistered = !ps->bRegistered;
                MapperEntryChanged(ps);
            }
            uOut += ps->bRegistered ? 0 : 1;
            /* A new buffer given the memory (and so the counters) of one on its way out, which the
               worker will release under it. */
            if (!ps->bRegistered && ps->apsMemInfo[0] != nullptr && Random(2) == 0) {
                const VEK_UINT64 ui64Stamp = ui64Next++;
                ASSERT_TRUE(AddMapped(ui64Stamp, ps->apsMemInfo[0]));
                aStamps.push_back(ui64Stamp);
                uSharedWithOut++;
                if (!Expect("a buffer sharing with one on its way out", iStep)) {
                    MapperRemove(&sPriv, sPriv.psMapList);
                    aStamps.pop_back();
                }
            }
        } else if (uOp < 95) {
            /* A first lock maps an entry, or a last unlock unmaps it, in place. */
            VEK_mapper_meminfo_t *ps = MapperPeek(&sPriv, aStamps[Random((unsigned)aStamps.size())]);
            ps->apsMemInfo[0] = ps->apsMemInfo[0] != nullptr ? nullptr : SomePlane();
            MapperEntryChanged(ps);
            if (!Expect("mapping", iStep)) {
                ps->apsMemInfo[0] = nullptr;
                MapperEntryChanged(ps);
            }
        } else if (uOp < 98) {
            /* A listed plane's counter sits, for one check, where another's is. */
            ZOLSRV_CLIENT_MEM_INFO *psA = ListedPlane(), *psB = ListedPlane();
            if (psA != nullptr && psB != nullptr) {
                const VEK_DEV_VIRTADDR sSaved = psA->psClientSyncInfo->sReadOps2CompleteDevVAddr;
                auto TellEntriesOfA = [&] {
                    for (VEK_mapper_meminfo_t *ps = sPriv.psMapList; ps != nullptr; ps = ps->psNext)
                        if (ps->apsMemInfo[0] == psA) MapperEntryChanged(ps);
                };
                psA->psClientSyncInfo->sReadOps2CompleteDevVAddr = psB->psClientSyncInfo->sReadOps2CompleteDevVAddr;
                TellEntriesOfA();
                Expect("a shared counter", iStep);
                psA->psClientSyncInfo->sReadOps2CompleteDevVAddr = sSaved;
                TellEntriesOfA();
            }
        } else {
            /* An entry takes another's stamp for one check. */
            const size_t u = Random((unsigned)aStamps.size());
            VEK_mapper_meminfo_t *ps = MapperPeek(&sPriv, aStamps[u]);
            ps->ui64Stamp = aStamps[Random((unsigned)aStamps.size())];
            MapperEntryChanged(ps);
            Expect("a borrowed stamp", iStep);
            ps->ui64Stamp = aStamps[u];
            MapperEntryChanged(ps);
        }
        uLongest = std::max(uLongest, (unsigned)aStamps.size());
    }
    /* Both answers, on lists far longer than the ones compared pair by pair. */
    EXPECT_GT(uFalse, 30u);
    EXPECT_GT(uTrue, 2000u);
    EXPECT_GT(uLongest, 100u);
    EXPECT_GT(uOut, 50u) << "entries on their way out";
    EXPECT_GT(uSharedWithOut, 20u);
}

TEST_F(MapperTest, DumpOfAnEmptyListIsTheTwoHeaderLines) {
    char sz[128];
    EXPECT_EQ(60u, MapperDumpSyncObjects(&sPriv, sz, sizeof(sz)));
    EXPECT_STREQ("VEK Graphics HAL state:\n  Dumping all active sync objects..\n", sz);
}

TEST_F(MapperTest, DumpShowsMappedEntriesNewestFirstAndSkipsUnmappedOnes) {
    FakePlane sA(0x1000), sB(0x20000);
    sB.sSyncData.ui32WriteOpsPending = 0xa;
    sB.sSyncData.ui32WriteOpsComplete = 0x9;
    sB.sSyncData.ui32ReadOpsPending = 0x1f;
    sB.sSyncData.ui32ReadOps2Complete = 3;
    ASSERT_TRUE(AddMapped(11, &sA.sMemInfo));
    ASSERT_TRUE(AddUnmapped(12));
    ASSERT_TRUE(AddMapped(13, &sB.sMemInfo));
    char sz[1024];
    size_t uLen = MapperDumpSyncObjects(&sPriv, sz, sizeof(sz));
    const std::string sExpected =
        "VEK Graphics HAL state:\n  Dumping all active sync objects..\n"
        "    ID=13, 0xP...FHWR=0x00000033, WOP/WOC=0xa/0x9, ROP/ROC=0x1f/0x0, ROP2/ROC2=0x0/0x3, "
        "WOC DevVA=0x00020000, ROC DevVA=0x00020004, ROC2 DevVA=0x00020008\n"
        "    ID=11, 0xP...FHWR=0x00000033, WOP/WOC=0x0/0x0, ROP/ROC=0x0/0x0, ROP2/ROC2=0x0/0x0, "
        "WOC DevVA=0x00001000, ROC DevVA=0x00001004, ROC2 DevVA=0x00001008\n";
    EXPECT_EQ(sExpected, std::string(sz));
    EXPECT_EQ(sExpected.size(), uLen);
}

TEST_F(MapperTest, DumpIntoASmallBufferCountsTheWholeText) {
    FakePlane sA(0x1000);
    ASSERT_TRUE(AddMapped(11, &sA.sMemInfo));
    char szFull[512];
    size_t uFull = MapperDumpSyncObjects(&sPriv, szFull, sizeof(szFull));
    for (size_t uRoom : {1u, 10u, 24u, 25u, 59u, 60u, 61u, 100u}) {
        char sz[256];
        memset(sz, '#', sizeof(sz));
        EXPECT_EQ(uFull, MapperDumpSyncObjects(&sPriv, sz, uRoom)) << "room " << uRoom;
        EXPECT_EQ(std::string(szFull).substr(0, uRoom - 1), std::string(sz)) << "room " << uRoom;
        for (size_t i = uRoom; i < sizeof(sz); i++) ASSERT_EQ('#', sz[i]) << "room " << uRoom << " byte " << i;
    }
    EXPECT_EQ(uFull, MapperDumpSyncObjects(&sPriv, nullptr, 0));
}

}  // namespace
