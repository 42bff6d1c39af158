// Faults armed with zolsim_fail: every vendor call can be made to fail, and a failed call does
// nothing but answer the armed code.
#include <string.h>

#include <functional>

#include <gtest/gtest.h>

#include "sim_fixture.h"

namespace {

TEST_F(SimTest, FaultFiresExactlyAtTheNthCall) {
    zolsim_fail("ZOLSRVConnect", 2, ZOLSRV_ERROR_GENERIC);
    ZOLSRV_CONNECTION *a = nullptr, *b = reinterpret_cast<ZOLSRV_CONNECTION *>(1), *c = nullptr;
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVConnect(&a, 1));
    EXPECT_EQ(ZOLSRV_ERROR_GENERIC, ZOLSRVConnect(&b, 2));
    EXPECT_EQ(reinterpret_cast<ZOLSRV_CONNECTION *>(1), b) << "a failed call does nothing else";
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVConnect(&c, 3));
    EXPECT_EQ(3u, zolsim_calls("ZOLSRVConnect"));
    EXPECT_EQ(3u, zolsim_last_connect_flags());
    EXPECT_EQ(2u, zolsim_live_connections());
    ZOLSRVDisconnect(a);
    ZOLSRVDisconnect(c);

    zolsim_set_app_hint("Known", 7);
    VEK_VOID *hints = nullptr;
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVCreateAppHintState(VEK_ANDROID_HAL, "test", &hints));
    VEK_UINT32 def = 3, out = 99;
    zolsim_fail("ZOLSRVGetAppHint", 1, ZOLSRV_ERROR_GENERIC);
    EXPECT_EQ(ZOLSRV_ERROR_GENERIC, ZOLSRVGetAppHint(hints, "Known", VEK_UINT_TYPE, &def, &out));
    EXPECT_EQ(99u, out) << "a failed read writes nothing";
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVGetAppHint(hints, "Known", VEK_UINT_TYPE, &def, &out));
    EXPECT_EQ(7u, out);
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVGetAppHint(hints, "Other", VEK_UINT_TYPE, &def, &out)) << "a default is no failure";
    EXPECT_EQ(3u, out);
    EXPECT_STREQ("Known,Other", zolsim_app_hints_read());
    EXPECT_EQ(ZOLSRV_OK, ZOLSRVFreeAppHintState(VEK_ANDROID_HAL, hints));

    zolsim_fail("ZOL2DEnumerateDevices", 1, 9);
    EXPECT_EQ(9, ZOL2DEnumerateDevices(nullptr));
    EXPECT_EQ(3, ZOL2DEnumerateDevices(nullptr));
}

constexpr int kCode = ZOLSRV_ERROR_GENERIC;

// One call armed to fail: fnFailsAlone runs it with the fault armed, and checks that it had no
// effect, by what the calls after it answer.
struct FailingCall {
    const char *pszName;
    std::function<void()> fnFailsAlone;
};

class CallFaultTest : public SimTest, public ::testing::WithParamInterface<FailingCall> {};

TEST_P(CallFaultTest, FailsAtItsArmedCallAndDoesNothingElse) {
    const FailingCall &c = GetParam();
    zolsim_fail(c.pszName, 1, kCode);
    c.fnFailsAlone();
    EXPECT_LE(1u, zolsim_calls(c.pszName)) << "a failed call is counted too";
    EXPECT_NE(nullptr, strstr(zolsim_call_names(), c.pszName)) << "and listed among the calls that can fail";
}

const FailingCall kFormerlyCountedOnly[] = {
    {"ZOLSRVLockMutex",
     [] {
         ZOLSRV_MUTEX_HANDLE h = nullptr;
         ASSERT_EQ(ZOLSRV_OK, ZOLSRVCreateMutex(&h));
         EXPECT_EQ(kCode, ZOLSRVLockMutex(h));
         // Not taken: a lock now is no recursion, and an unlock then releases it.
         EXPECT_EQ(ZOLSRV_OK, ZOLSRVLockMutex(h));
         EXPECT_EQ(ZOLSRV_OK, ZOLSRVUnlockMutex(h));
         EXPECT_EQ(ZOLSRV_OK, ZOLSRVDestroyMutex(h));
     }},
    {"ZOLSRVUnlockMutex",
     [] {
         ZOLSRV_MUTEX_HANDLE h = nullptr;
         ASSERT_EQ(ZOLSRV_OK, ZOLSRVCreateMutex(&h));
         ASSERT_EQ(ZOLSRV_OK, ZOLSRVLockMutex(h));
         EXPECT_EQ(kCode, ZOLSRVUnlockMutex(h));
         // Still held: the next unlock is this thread's to make.
         EXPECT_EQ(ZOLSRV_OK, ZOLSRVUnlockMutex(h));
         EXPECT_EQ(ZOLSRV_OK, ZOLSRVDestroyMutex(h));
     }},
    {"ZOLSRVCreateAppHintState",
     [] {
         int iUntouched = 0;
         VEK_VOID *pvState = &iUntouched;
         EXPECT_EQ(kCode, ZOLSRVCreateAppHintState(VEK_ANDROID_HAL, nullptr, &pvState));
         EXPECT_EQ(&iUntouched, pvState) << "no state written";
         EXPECT_EQ(0u, zolsim_live_hint_states());
     }},
    {"ZOLSRVFreeAppHintState",
     [] {
         VEK_VOID *pvState = nullptr;
         ASSERT_EQ(kCode, ZOLSRVFreeAppHintState(VEK_ANDROID_HAL, pvState)) << "the fault fires before any check";
         ASSERT_EQ(ZOLSRV_OK, ZOLSRVCreateAppHintState(VEK_ANDROID_HAL, nullptr, &pvState));
         zolsim_fail("ZOLSRVFreeAppHintState", 1, kCode);
         EXPECT_EQ(kCode, ZOLSRVFreeAppHintState(VEK_ANDROID_HAL, pvState));
         EXPECT_EQ(1u, zolsim_live_hint_states()) << "the state is still there";
         EXPECT_EQ(ZOLSRV_OK, ZOLSRVFreeAppHintState(VEK_ANDROID_HAL, pvState));
     }},
    {"ZOLSRVMemCopy",
     [] {
         const char acFrom[4] = {1, 2, 3, 4};
         char acTo[4] = {};
         EXPECT_EQ(kCode, ZOLSRVMemCopy(acTo, acFrom, sizeof(acTo)));
         EXPECT_EQ(0, acTo[0] | acTo[3]) << "nothing copied";
         EXPECT_EQ(ZOLSRV_OK, ZOLSRVMemCopy(acTo, acFrom, sizeof(acTo)));
         EXPECT_EQ(4, acTo[3]);
     }},
};

INSTANTIATE_TEST_SUITE_P(CallsThatOnlyCountedThemselves, CallFaultTest, ::testing::ValuesIn(kFormerlyCountedOnly),
                         [](const ::testing::TestParamInfo<FailingCall> &i) { return std::string(i.param.pszName); });

}  // namespace
