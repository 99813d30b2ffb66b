// The copy waits while a process named VarenkoLauncher.exe runs, and starts
// soon after the last one has exited.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/checks.h"
#include "tests/e2e/processes.h"
#include "tests/support/temp_tree.h"

namespace e2e {
namespace {

using namespace testing_tree;

TEST(LauncherStandIn, IsListedUnderItsCopiedName) {
  TempDir work;
  for (const wchar_t* name :
       {L"VarenkoLauncher.exe", L"varenkolauncher.exe", L"XVarenkoLauncher.exe",
        L"VarenkoLauncher.exe.bak.exe", L"VarenkoLauncher.com", L"VarenkoLauncher",
        L"VARENKOLAUNCHER.EXE", L"Varen\u212AoLauncher.exe"}) {
    SCOPED_TRACE(Utf8(name));
    LauncherStandIn stand_in(work.path(), name);
    ASSERT_TRUE(stand_in.started());
    EXPECT_EQ(SnapshotImageName(stand_in.process_id()), name);
  }
}

// A source with one file, and where the copy must put it.
class LauncherWait : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDirectory(source_);
    WriteFileText(source_ + L"\\game.dat", "update");
  }

  bool Copied() const { return Exists(copied_file_); }

  // Watches a running overlay for `seconds`: it must keep running without
  // copying anything or showing a box.
  void ExpectHeldBack(const OverlayProcess& overlay, double seconds) const {
    const double end = NowSeconds() + seconds;
    while (NowSeconds() < end) {
      ASSERT_TRUE(overlay.IsRunning()) << "overlay ended while the launcher runs";
      ASSERT_FALSE(Copied()) << "copied while the launcher runs";
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
  LauncherStandIn launcher(work_.path(), L"VarenkoLauncher.exe", 2000, source_ + L"\\",
                           target_ + L"\\");
  ASSERT_TRUE(launcher.started());
  OverlayProcess overlay(StartedBy{launcher.process_id()});
  ASSERT_TRUE(overlay.started()) << "the launcher started no overlay";

  ExpectHeldBack(overlay, 1.0);
  ExpectCopyDone(&overlay);
}

TEST_F(LauncherWait, LauncherNameIsRecognisedWithoutRegardToCase) {
  for (const wchar_t* name : {L"varenkolauncher.exe", L"VARENKOLAUNCHER.EXE"}) {
    SCOPED_TRACE(Utf8(name));
    LauncherStandIn launcher(work_.path(), name);
    ASSERT_TRUE(launcher.started());
    OverlayProcess overlay(Arguments(source_, target_));
    ASSERT_TRUE(overlay.started());

    ExpectHeldBack(overlay, 1.0);
    launcher.End();

    ExpectCopyDone(&overlay);
    RemoveTree(target_);
  }
}

// Names that merely contain or resemble the launcher's. The comparison folds
// ASCII case only: U+212A KELVIN SIGN, whose Unicode lower case is 'k', does
// not make the launcher's name.
TEST_F(LauncherWait, LookAlikeNamesDoNotHoldTheCopy) {
  std::vector<std::unique_ptr<LauncherStandIn>> look_alikes;
  for (const wchar_t* name :
       {L"XVarenkoLauncher.exe", L"VarenkoLauncher.exe.bak.exe", L"VarenkoLauncher.com",
        L"VarenkoLauncher", L"VarenkoLaunche.exe", L"Varen\u212AoLauncher.exe"}) {
    look_alikes.push_back(std::make_unique<LauncherStandIn>(work_.path(), name));
    ASSERT_TRUE(look_alikes.back()->started()) << Utf8(name);
  }

  OverlayProcess overlay(Arguments(source_, target_));
  ExpectQuietExit(overlay.Finish(5000));
  EXPECT_EQ(ReadFileText(copied_file_), "update");
}

TEST_F(LauncherWait, CopyStartsOnlyAfterTheLastOfTwoLaunchersExits) {
  TempDir other_folder;
  LauncherStandIn first(work_.path(), L"VarenkoLauncher.exe");
  // The second ends by itself, after the first has been ended.
  LauncherStandIn second(other_folder.path(), L"VarenkoLauncher.exe", 3000);
  ASSERT_TRUE(first.started());
  ASSERT_TRUE(second.started());
  OverlayProcess overlay(Arguments(source_, target_));
  ASSERT_TRUE(overlay.started());

  ExpectHeldBack(overlay, 1.0);
  first.End();
  // Held back until the second has exited.
  while (::WaitForSingleObject(second.process(), 0) == WAIT_TIMEOUT) {
    ASSERT_FALSE(Copied()) << "copied while the second launcher runs";
    ASSERT_TRUE(overlay.IsRunning());
    ::Sleep(20);
  }

  ExpectCopyDone(&overlay);
}

// Launchers restarted in a loop, a new one always up before the old one is
// ended: the copy waits through all of it and starts once none is left.
TEST_F(LauncherWait, LaunchersRestartedInALoopHoldTheCopyUntilNoneRuns) {
  TempDir folders[2];
  auto current = std::make_unique<LauncherStandIn>(folders[0].path(), L"VarenkoLauncher.exe");
  ASSERT_TRUE(current->started());
  OverlayProcess overlay(Arguments(source_, target_));
  ASSERT_TRUE(overlay.started());
  for (int round = 1; round <= 8; ++round) {
    auto next = std::make_unique<LauncherStandIn>(
        folders[round % 2].path(), round % 2 ? L"varenkolauncher.exe" : L"VarenkoLauncher.exe");
    ASSERT_TRUE(next->started());
    ExpectHeldBack(overlay, 0.15);
    current.reset();  // ends the older one
    current = std::move(next);
    ExpectHeldBack(overlay, 0.15);
  }
  current.reset();
  ExpectCopyDone(&overlay);
}

}  // namespace
}  // namespace e2e
