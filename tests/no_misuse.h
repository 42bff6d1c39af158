/* The check every test makes at its end: the simulated device saw no misuse, no call that the real
   libraries would refuse or crash on. */
#ifndef TESTS_NO_MISUSE_H
#define TESTS_NO_MISUSE_H

#include <gtest/gtest.h>

#include "zolsim/control.h"

/* A fixture holds one as a member (a test body as a local): its check runs when the fixture goes,
   after TearDown, so that misuse in the tear-down is caught too. */
class NoMisuse {
public:
    NoMisuse() = default;
    NoMisuse(const NoMisuse &) = delete;
    NoMisuse &operator=(const NoMisuse &) = delete;
    ~NoMisuse() {
        EXPECT_EQ(0u, zolsim_misuse_count()) << "calls the real libraries would refuse:\n" << zolsim_misuse_text();
    }
};

#endif
