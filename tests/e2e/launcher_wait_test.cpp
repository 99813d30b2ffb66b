// The copy waits while the launcher runs in the real process list, and starts
// soon after it has exited. The names that count as the launcher, several
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

  // The README's launcher `launcher` in the game folder as the player has it,
  // with `overlay` (both built beside the stand-in) as its overlay.exe, and
  // the update noted as pending. The launcher's path.
  std::wstring InstallLauncher(const wchar_t* launcher, const wchar_t* overlay) const {
    const std::wstring& stand_in = ProgramsUnderTest().stand_in;
    const std::wstring built = stand_in.substr(0, stand_in.find_last_of(L'\\') + 1);
    const std::wstring program = target_ + L"\\" + overlay::kLauncherImageName;
    MakeDirectory(target_);
    EXPECT_TRUE(::CopyFileW((built + launcher).c_str(), program.c_str(), FALSE));
    EXPECT_TRUE(
        ::CopyFileW((built + overlay).c_str(), (target_ + L"\\overlay.exe").c_str(), FALSE));
    WriteFileText(PendingNote(source_), "");
    return program;
  }

  TempDir work_;
  const std::wstring target_ = work_ / L"Game Files";
  const std::wstring source_ = target_ + L" update";
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

// The README's launcher at each start: it deletes the copies of earlier runs
// (and no other program's file), starts overlay from a copy of its own and
// exits; started again while that copy is listed, it tells the player and
// starts nothing; its note stays until the game folder matches the update,
// then goes with the update folder.
TEST_F(LauncherWait, ReferenceLauncherAppliesAnUpdateAcrossItsStarts) {
  const std::wstring launcher_path =
      InstallLauncher(L"readme_launcher.exe", L"overlay-signed-by-us.exe");
  const std::wstring earlier = TemporaryFolder() + kCopyPrefix + L"7.exe";
  const std::wstring foreign = TemporaryFolder() + L"overlay-7.exe";
  WriteFileText(earlier, "left by an earlier run");
  WriteFileText(foreign, "another program's");
  LauncherStandIn holding(work_.path(), overlay::kLauncherImageName);  // overlay waits for it
  OverlayProcess launcher(L"", std::wstring(), launcher_path);
  ExpectQuietExit(launcher.Finish());
  OverlayProcess overlay(StartedBy{launcher.id()});
  ASSERT_TRUE(overlay.started()) << "the launcher started no overlay";
  EXPECT_FALSE(Exists(earlier));
  EXPECT_TRUE(Exists(foreign));

  OverlayProcess again(L"", std::wstring(), launcher_path);
  const OverlayOutcome told = again.Finish();
  ASSERT_EQ(told.boxes.size(), 1u);
  EXPECT_EQ(told.boxes[0].text, kUpdateStillRunning);
  EXPECT_FALSE(OverlayProcess(StartedBy{again.id()}).started());
  ExpectHeldBack(overlay, 0.5);
  holding.End();
  ExpectCopyDone(&overlay);
  EXPECT_TRUE(Exists(PendingNote(source_)));

  ExpectQuietExit(RunOverlay(L"", std::wstring(), kRunTimeLimitMs, launcher_path));
  EXPECT_FALSE(Exists(PendingNote(source_)));
  EXPECT_FALSE(Exists(source_));
}

// Pinned to its signer, the launcher starts no copy of overlay signed by
// another: it tells the player, and the note stays.
TEST_F(LauncherWait, ReferenceLauncherStartsNoOverlaySignedByAnother) {
  OverlayProcess launcher(
      L"", std::wstring(),
      InstallLauncher(L"readme_launcher.exe", L"overlay-signed-by-another.exe"));
  const OverlayOutcome told = launcher.Finish();
  ASSERT_EQ(told.boxes.size(), 1u);
  EXPECT_EQ(told.boxes[0].text, kUpdateNotStarted);
  EXPECT_FALSE(OverlayProcess(StartedBy{launcher.id()}).started());
  EXPECT_TRUE(Exists(PendingNote(source_)));
  EXPECT_FALSE(Exists(copied_file_));
}

}  // namespace
}  // namespace e2e
