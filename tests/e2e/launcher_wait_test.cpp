// The copy waits while the launcher runs in the real process list, and starts
// soon after it has exited. The names that count as the launcher, several
// launchers and launchers restarted in a loop are the unit tests' (app_test).
#include "app/launcher_wait.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/checks.h"
#include "tests/e2e/processes.h"
#include "tests/support/temp_tree.h"

namespace e2e {
namespace {

using namespace testing_tree;

// A source with one file, and where the copy must put it.
class LauncherWait : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDirectory(source_);
    WriteFileText(source_ + L"\\game.dat", "update");
  }

  // Watches a running overlay for `seconds`: it must keep running without
  // copying anything or showing a box.
  void ExpectHeldBack(const OverlayProcess& overlay, double seconds) const {
    const double end = NowSeconds() + seconds;
    while (NowSeconds() < end) {
      ASSERT_TRUE(overlay.IsRunning()) << "overlay ended while the launcher runs";
      ASSERT_FALSE(Exists(copied_file_)) << "copied while the launcher runs";
      ASSERT_FALSE(overlay.ShowsBox());
      ::Sleep(50);
    }
  }

  // The copy has been done and overlay ended quietly.
  void ExpectCopyDone(OverlayProcess* overlay) const {
    ExpectQuietExit(overlay->Finish(10000));
    EXPECT_EQ(ReadFileText(copied_file_), "update");
  }

  TempDir work_;
  const std::wstring source_ = work_ / L"Update Files";
  const std::wstring target_ = work_ / L"Game Files";
  const std::wstring copied_file_ = target_ + L"\\game.dat";
};

// The README's launcher example at work: the stand-in starts overlay with its
// StartOverlay on roots with blanks and trailing backslashes, and exits after
// 2 s. The copy waits for it, then applies the update.
TEST_F(LauncherWait, CopyWaitsForTheLauncherThatStartedItAndStartsWhenItExits) {
  LauncherStandIn launcher(work_.path(), overlay::kLauncherImageName, 2000, source_ + L"\\",
                           target_ + L"\\");
  ASSERT_TRUE(launcher.started());
  OverlayProcess overlay(StartedBy{launcher.process_id()});
  ASSERT_TRUE(overlay.started()) << "the launcher started no overlay";

  ExpectHeldBack(overlay, 1.0);
  ExpectCopyDone(&overlay);
}

}  // namespace
}  // namespace e2e
