// What a user notices of one run of overlay, asserted.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/processes.h"
#include "tests/support/expected_text.h"

namespace e2e {

// The run ended by itself with status 0 and never showed a box.
inline void ExpectQuietExit(const OverlayOutcome& outcome) {
  EXPECT_TRUE(outcome.exited) << "overlay was still running at the time limit";
  EXPECT_EQ(outcome.exit_code, 0u);
  EXPECT_TRUE(outcome.boxes.empty())
      << "a box said: " << testing::PrintToString(outcome.boxes[0].text);
}

// The run showed exactly one box, the failure report with this text (in the
// ANSI code page), then ended by itself with status 0 once it was answered.
inline void ExpectOneFailureBox(const OverlayOutcome& outcome, const std::string& text) {
  EXPECT_TRUE(outcome.exited) << "overlay was still running at the time limit";
  EXPECT_EQ(outcome.exit_code, 0u);
  ASSERT_EQ(outcome.boxes.size(), 1u) << "boxes shown";
  const BoxSighting& box = outcome.boxes[0];
  EXPECT_EQ(box.text, testing_tree::WideFromAnsi(text));
  EXPECT_EQ(box.caption, L"ERROR");
  EXPECT_EQ(box.button_ids, std::vector<int>{IDOK}) << "an OK button only";
  EXPECT_FALSE(box.shows_icon);
  EXPECT_FALSE(box.has_owner);
}

}  // namespace e2e
