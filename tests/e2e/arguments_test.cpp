// overlay acts only when started with exactly two arguments, SOURCE TARGET.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/checks.h"
#include "tests/e2e/processes.h"
#include "tests/support/temp_tree.h"

namespace e2e {
namespace {

using namespace testing_tree;

class WrongArgumentCount : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDirectory(work_ / L"My Game");
    MakeDirectory(source_);
    WriteFileText(source_ + L"\\file.txt", "content");
  }

  // Command lines whose argument count is not two; none may create `target_`
  // or `extra_`.
  std::vector<std::wstring> CommandLines() const {
    return {
        L"",
        QuoteArgument(source_),
        L"\"\"",
        QuoteArgument(source_) + L" " + QuoteArgument(target_) + L" " + QuoteArgument(extra_),
        QuoteArgument(source_) + L" " + QuoteArgument(target_) + L" \"\"",
        QuoteArgument(source_) + L" " + QuoteArgument(target_) + L" " + QuoteArgument(extra_) +
            L" " + QuoteArgument(extra_),
        // Quoted without QuoteArgument, folder names ending in "\": each \" is a
        // literal quote, so the roots run together and split at the blanks into three.
        L"\"" + source_ + L"\\\" \"" + target_ + L"\\\"",
    };
  }

  TempDir work_;
  const std::wstring source_ = work_ / L"My Game\\Update Files";
  const std::wstring target_ = work_ / L"My Game\\Game Files";
  const std::wstring extra_ = work_ / L"extra";
};

TEST_F(WrongArgumentCount, CopiesNothingShowsNoBoxAndExitsWithZero) {
  for (const std::wstring& arguments : CommandLines()) {
    SCOPED_TRACE("arguments: " + Utf8(arguments));
    ExpectQuietExit(RunOverlay(arguments, std::wstring(), 10000));
    EXPECT_FALSE(Exists(target_)) << "copied to the second argument";
    EXPECT_FALSE(Exists(extra_)) << "copied to the third argument";
  }
}

TEST_F(WrongArgumentCount, DoesNotWaitForARunningLauncher) {
  LauncherStandIn launcher(work_.path(), L"VarenkoLauncher.exe");
  ASSERT_TRUE(launcher.started());
  for (const std::wstring& arguments : CommandLines()) {
    SCOPED_TRACE("arguments: " + Utf8(arguments));
    const double start = NowSeconds();
    // A run that waited for the launcher would still be going at the limit.
    ExpectQuietExit(RunOverlay(arguments, std::wstring(), 5000));
    EXPECT_LT(NowSeconds() - start, 4.0);
    EXPECT_FALSE(Exists(target_));
  }
}

}  // namespace
}  // namespace e2e
