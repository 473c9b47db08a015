// Test fixture: a fresh fake Windows and the system's process-wide state at
// its start values, as in a newly started process.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "fake.h"

// Puts every process-wide variable of the system back to its start value.
void reset_system_state();

class World : public ::testing::Test {
 protected:
  void SetUp() override {
    setvbuf(stdout, nullptr, _IONBF, 0);
    fake::reset();
    reset_system_state();
  }
  void TearDown() override {
    fake::end_process();
    EXPECT_THAT(fake::violations(), ::testing::IsEmpty());
  }
};
