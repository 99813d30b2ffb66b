// The fixture of every test that runs the program's code against the
// interposer, and the check that a run left nothing open.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/interposer.h"
#include "tests/support/temp_tree.h"
#include "tests/support/test_main.h"

// Handles and enumerations opened through the seam, and message buffers it
// handed out, are all closed again.
inline void ExpectSeamLeftNothingOpen() {
  EXPECT_EQ(interposer::Platform().open_handles, 0) << "handle left open";
  EXPECT_EQ(interposer::Platform().open_finds, 0) << "enumeration left open";
  EXPECT_EQ(interposer::Platform().message_buffers_live, 0) << "message buffer not freed";
}

// Taken before a run; Expect() then checks that the run left nothing open,
// through the seam or in the process's own count of handles.
class OpenHandleCheck {
 public:
  OpenHandleCheck() : process_handles_(testing_tree::ProcessHandleCount()) {}
  void Expect() const {
    ExpectSeamLeftNothingOpen();
    EXPECT_EQ(testing_tree::ProcessHandleCount(), process_handles_) << "process handle leaked";
  }

 private:
  DWORD process_handles_;
};

// Resets the interposer before and after each test, and checks that nothing
// opened through the seam is left open.
class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetPlatform(); }
  void TearDown() override {
    ExpectSeamLeftNothingOpen();
    ResetPlatform();
  }
  static void ResetPlatform() {
    interposer::Reset();
    interposer::Platform().info_ex_available = !RunningWithoutInfoEx();
  }
};
