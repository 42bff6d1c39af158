/* Random command sequences against the real module, checked against the model after every
   command: result codes, lock counts, every address and mem-info handed out, the entries, the
   queued releases and what the simulated device holds live. The shrunk sequences of faults the
   model found are kept below as named cases. */
#include <stdlib.h>

#include <iostream>
#include <utility>

#include "model_test.h"

namespace {

using model::Kind;
using model::kRender;
using model::kSwRead;
using model::kSwWrite;
using model::kTexture;

unsigned long EnvOr(const char *pszName, unsigned long ulDefault) {
    const char *psz = getenv(pszName);
    return psz != nullptr && *psz != '\0' ? strtoul(psz, nullptr, 0) : ulDefault;
}

class ModelTest : public ModuleTest {
protected:
    void Configure() override { zolsim_set_wait_timeout_ms(1); }
    void SetUp() override {
        ModuleTest::SetUp();
        if (HasFatalFailure()) return;
        psFb = OpenFb();
        psAlloc = OpenAlloc();
        ASSERT_NE(nullptr, psFb);
        ASSERT_NE(nullptr, psAlloc);
        /* Buffers no command touches, so that the process knows more buffers than the consistency
           check compares pair by pair, and every sequence runs through the bookkeeping with which
           it compares only what changed (whose debug builds stop at a change it was not told of). */
        for (buffer_handle_t &h : ahIdle) {
            int iStride = 0;
            ASSERT_EQ(0, psAlloc->alloc(psAlloc, 16, 16, HAL_PIXEL_FORMAT_RGBA_8888, kTexture, &h, &iStride));
        }
    }
    void TearDown() override {
        for (buffer_handle_t h : ahIdle)
            if (h != nullptr) EXPECT_EQ(0, psAlloc->free(psAlloc, h));
        if (psAlloc != nullptr) EXPECT_EQ(0, gralloc_close(psAlloc));
        if (psFb != nullptr) EXPECT_EQ(0, framebuffer_close(psFb));
    }

    /* Runs the property as RapidCheck does, with these bounds; a failure shows the shrunk case. */
    template <typename Property>
    void Check(Property &&fnProperty, int iCases, int iSize, uint64_t ui64Seed) {
        rc::detail::TestParams sParams;
        sParams.seed = ui64Seed;
        sParams.maxSuccess = iCases;
        sParams.maxSize = iSize;
        rc::detail::TestMetadata sMetadata;
        sMetadata.id = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        const auto sResult = rc::detail::checkTestable(std::forward<Property>(fnProperty), sMetadata, sParams);
        if (!sResult.template is<rc::detail::SuccessResult>()) {
            std::ostringstream ss;
            rc::detail::printResultMessage(sResult, ss);
            FAIL() << ss.str();
        }
    }

    /* One sequence written out by hand, on buffers of these kinds (kind, planes). */
    void Replay(const std::vector<std::pair<Kind, int>> &asKinds, const model::Commands &apsCommands) {
        Check(
            [&] {
                const model::Model sInitial = model::Initial(asKinds);
                RC_ASSERT(rc::state::isValidSequence(apsCommands, sInitial));
                model::Sut sSut(psHMI, psAlloc, psFb, sInitial);
                rc::state::runAll(apsCommands, sInitial, sSut);
                RC_ASSERT(sSut.Release());
            },
            1, 0, 0);
    }

    alloc_device_t *psAlloc = nullptr;
    framebuffer_device_t *psFb = nullptr;
    buffer_handle_t ahIdle[40] = {};
};

/* A handful of buffers of every kind, at most one display buffer; drawn inside a property. */
std::vector<std::pair<Kind, int>> Buffers() {
    const size_t uCount = (size_t)*rc::gen::inRange(1, 5);
    auto as = *rc::gen::container<std::vector<std::pair<Kind, int>>>(
        uCount, rc::gen::pair(rc::gen::element(Kind::Own, Kind::ForeignMapped, Kind::ForeignLocked, Kind::Display),
                              rc::gen::inRange(1, 3)));
    bool bDisplay = false;
    for (auto &s : as) {
        if (s.first == Kind::Display && bDisplay) s.first = Kind::Own;
        bDisplay |= s.first == Kind::Display;
    }
    return as;
}

TEST_F(ModelTest, RandomSequencesAgreeWithTheModel) {
    /* make test runs a fixed, bounded set; make stress sets GRALLOC_MODEL_CASES higher. */
    const int iCases = (int)EnvOr("GRALLOC_MODEL_CASES", 400);
    const int iSize = (int)EnvOr("GRALLOC_MODEL_SIZE", 100);
    const uint64_t ui64Seed = EnvOr("GRALLOC_MODEL_SEED", 20261209);
    size_t uSequences = 0, uCommandsBefore = model::guCommandsRun, uRefusalsBefore = model::guRefusalsRun;
    size_t uQueuedBefore = model::guReleasesQueued;
    Check(
        [&] {
            const auto asKinds = Buffers();
            const model::Model sInitial = model::Initial(asKinds);
            model::Sut sSut(psHMI, psAlloc, psFb, sInitial);
            rc::state::check(sInitial, sSut, [](const model::Model &m) { return model::AnyCommand(m); });
            RC_ASSERT(sSut.Release());
            uSequences++;
        },
        iCases, iSize, ui64Seed);
    std::cout << "model: " << uSequences << " sequences, " << model::guCommandsRun - uCommandsBefore
              << " commands against the module (" << model::guRefusalsRun - uRefusalsBefore
              << " answered with an error, " << model::guReleasesQueued - uQueuedBefore
              << " left a release waiting for the GPU)" << std::endl;
}

/* ---- Sequences the model found, shrunk ---- */

using namespace model;

/* Plane 1 fails to map and plane 0's unmapping fails too: the retry must map plane 1. */
TEST_F(ModelTest, RetriedRegistrationMapsThePlaneThatFailed) {
    Replay({{Kind::ForeignMapped, 2}}, {FailNext(false, 2), FailNext(true, 1), Register(0), Register(0)});
}

/* The same failure leaves the buffer unregistered, not half-mapped and registered. */
TEST_F(ModelTest, RegistrationWhoseReleaseFailsIsNotRegistered) {
    Replay({{Kind::ForeignMapped, 2}}, {FailNext(false, 2), FailNext(true, 1), Register(0)});
}

/* The last unlock's unmapping fails half-way: the next lock maps the plane released. */
TEST_F(ModelTest, LockAfterAHalfUnmappedUnlockMapsEveryPlane) {
    Replay({{Kind::ForeignLocked, 2}},
           {FailNext(true, 2), Register(0), Lock(0, kSwRead | kSwWrite), Unlock(0), Lock(0, kTexture)});
}

/* Map takes back the queued unmapping whose mapping it hands out. */
TEST_F(ModelTest, MapTakesBackAQueuedUnmapping) {
    Replay({{Kind::ForeignLocked, 1}},
           {GpuBegin(0, 0, false), Register(0), Lock(0, kSwRead), Unlock(0), Map(0, GRALLOC_USAGE_HW_COMPOSER),
            GpuComplete(0, 0), Lock(0, kTexture), Unmap(0), Unlock(0), WorkerRun(), Unregister(0)});
}

/* A display buffer's entry names no descriptor. */
TEST_F(ModelTest, DisplayEntriesHoldNoDescriptor) { Replay({{Kind::Display, 1}}, {WorkerRun()}); }

/* Post2 refuses a buffer whose removal waits for the GPU. */
TEST_F(ModelTest, Post2RefusesABufferWhoseRemovalIsQueued) {
    Replay({{Kind::ForeignMapped, 1}}, {Register(0), GpuBegin(0, 0, false), Unregister(0), Post2(0)});
}

/* Map takes back the unmapping a last unlock queued; the last unmap must queue it again. */
TEST_F(ModelTest, LastUnmapReleasesAMappingMadeForALock) {
    Replay({{Kind::ForeignLocked, 1}}, {Register(0), Lock(0, kSwRead), GpuBegin(0, 0, false), Unlock(0),
                                        Map(0, kTexture), Unmap(0), GpuComplete(0, 0), WorkerRun()});
}

/* Post2 takes back the queued unmapping to show the buffer; its end must queue it again. */
TEST_F(ModelTest, Post2ReleasesAMappingMadeForALock) {
    Replay({{Kind::ForeignLocked, 1}},
           {Register(0), Lock(0, kSwRead), GpuBegin(0, 0, false), Unlock(0), Post2(0), GpuComplete(0, 0), WorkerRun()});
}

/* Post2 maps a buffer mapped only while in use, shows it whole and lets the mapping go. */
TEST_F(ModelTest, Post2MapsABufferNeverLocked) { Replay({{Kind::ForeignLocked, 2}}, {Register(0), Post2(0)}); }

/* A Post2 whose mapping on demand fails half-way, and whose release of the half is refused once,
   while a map holds the buffer: the release waits for the map's end instead of running at once. */
TEST_F(ModelTest, AFailedPost2MappingOfABufferAMapHoldsIsReleasedAfterTheMap) {
    Replay({{Kind::ForeignLocked, 2}},
           {Register(0), FailNext(false, 2), Map(0, GRALLOC_USAGE_HW_COMPOSER), FailNext(true, 1), Post2(0), Unmap(0)});
}

/* A registration anew while the old removal waits for the GPU maps the new descriptors once to see
   they name the same memory; that mapping goes within the call even when the services refuse its
   first unmapping. */
TEST_F(ModelTest, ARegistrationAnewGivesBackItsComparisonMappingAfterARefusal) {
    Replay({{Kind::ForeignMapped, 1}},
           {Register(0), GpuBegin(0, 0, false), Unregister(0), FailNext(true, 1), Register(0)});
}

}  // namespace
