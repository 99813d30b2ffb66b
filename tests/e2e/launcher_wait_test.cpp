// The README's reference launcher in the real process list, at its
// successive starts: the copy waits while a launcher runs and starts soon
// after the last has exited. The names that count as the launcher, several
// launchers and launchers restarted in a loop are the unit tests' (app_test).
#include "app/launcher_wait.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/checks.h"
#include "tests/e2e/e2e_config.h"
#include "tests/e2e/processes.h"
#include "tests/support/temp_tree.h"

namespace e2e {
namespace {

using namespace testing_tree;

// The game folder with the README's launcher `launcher` and `overlay` as its
// overlay.exe (both built beside the stand-in), and beside it an update of
// one file, noted as pending.
class LauncherWait : public ::testing::Test {
 protected:
  void Install(const wchar_t* launcher, const wchar_t* overlay) const {
    const std::wstring& stand_in = ProgramsUnderTest().stand_in;
    const std::wstring built = stand_in.substr(0, stand_in.find_last_of(L'\\') + 1);
    ::CreateDirectoryW(target_.c_str(), nullptr);  // unless a test installed before
    ASSERT_TRUE(::CopyFileW((built + launcher).c_str(), launcher_.c_str(), FALSE));
    ASSERT_TRUE(
        ::CopyFileW((built + overlay).c_str(), (target_ + L"\\overlay.exe").c_str(), FALSE));
    MakeDirectory(source_);
    WriteFileText(source_ + L"\\game.dat", "update");
    WriteFileText(PendingNote(source_), "");
  }

  TempDir work_;
  const std::wstring target_ = work_ / L"Game Files";
  const std::wstring source_ = target_ + L" update";
  const std::wstring launcher_ = target_ + L"\\" + overlay::kLauncherImageName;
  const std::wstring copied_file_ = target_ + L"\\game.dat";
};

// At each start the launcher deletes the copies of earlier runs (and no other
// program's file), starts overlay from a copy of its own and exits; started
// again while that copy is listed, it tells the player and starts nothing;
// its note stays until the game folder matches the update, then goes with
// the update folder. Pinned to its signer, it starts no copy signed by
// another.
TEST_F(LauncherWait, ReferenceLauncherAppliesAnUpdateAcrossItsStarts) {
  const auto expect_told = [&](const wchar_t* message) {  // and nothing started
    OverlayProcess launcher(L"", std::wstring(), launcher_);
    const OverlayOutcome told = launcher.Finish();
    ASSERT_EQ(told.boxes.size(), 1u);
    EXPECT_EQ(told.boxes[0].text, message);
    EXPECT_FALSE(OverlayProcess(StartedBy{launcher.id()}).started()) << "overlay started";
    EXPECT_TRUE(Exists(PendingNote(source_)));
  };
  Install(L"readme_launcher.exe", L"overlay-signed-by-us.exe");
  const std::wstring earlier = TemporaryFolder() + kCopyPrefix + L"7.exe";
  const std::wstring foreign = TemporaryFolder() + L"overlay-7.exe";
  WriteFileText(earlier, "left by an earlier run");
  WriteFileText(foreign, "another program's");
  LauncherStandIn holding(work_.path(), overlay::kLauncherImageName);  // overlay waits for it
  OverlayProcess launcher(L"", std::wstring(), launcher_);
  ExpectQuietExit(launcher.Finish());
  OverlayProcess overlay(StartedBy{launcher.id()});
  ASSERT_TRUE(overlay.started()) << "the launcher started no overlay";
  EXPECT_FALSE(Exists(earlier));
  EXPECT_TRUE(Exists(foreign));

  expect_told(kUpdateStillRunning);
  for (const double end = NowSeconds() + 1; NowSeconds() < end; ::Sleep(50)) {
    ASSERT_TRUE(overlay.IsRunning()) << "overlay ended while a launcher runs";
    ASSERT_FALSE(Exists(copied_file_) || overlay.ShowsBox()) << "copied while a launcher runs";
  }
  holding.End();
  ExpectQuietExit(overlay.Finish(10000));
  EXPECT_EQ(ReadFileText(copied_file_), "update");
  EXPECT_TRUE(Exists(PendingNote(source_)));

  ExpectQuietExit(RunOverlay(L"", std::wstring(), kRunTimeLimitMs, launcher_));
  EXPECT_FALSE(Exists(PendingNote(source_)));
  EXPECT_FALSE(Exists(source_));

  Install(L"readme_launcher.exe", L"overlay-signed-by-another.exe");
  expect_told(kUpdateNotStarted);
}

}  // namespace
}  // namespace e2e
