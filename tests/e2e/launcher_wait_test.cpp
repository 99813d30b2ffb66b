// The reference launcher in the real process list, at its successive starts:
// one step at a time, the copy waiting while a launcher runs, the game
// started after it, and the player told whenever the update does not run or
// stops short. The names that count as the launcher, several launchers and
// launchers restarted in a loop are the unit tests' (app_test).
#include "app/launcher_wait.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "launcher/update_ready.h"
#include "launcher/update_step.h"
#include "tests/e2e/checks.h"
#include "tests/e2e/e2e_config.h"
#include "tests/e2e/processes.h"
#include "tests/support/temp_tree.h"

namespace e2e {
namespace {

using namespace testing_tree;

// The game folder with the reference launcher, `overlay` as its overlay.exe
// (both built beside the stand-in) and the stand-in as its game, and beside
// it an update of one file, marked ready; the game folder may be moved.
class LauncherWait : public ::testing::Test {
 protected:
  LauncherWait() { MoveGameTo(work_ / L"Game Files"); }
  static std::wstring Built() {
    const std::wstring& stand_in = ProgramsUnderTest().stand_in;
    return stand_in.substr(0, stand_in.find_last_of(L'\\') + 1);
  }
  void MoveGameTo(const std::wstring& game) {
    target_ = game, source_ = game + L" update", launcher_ = game + L"\\VarenkoLauncher.exe";
    copied_file_ = game + L"\\game.dat";
  }
  void Install(const wchar_t* overlay) const {
    const std::wstring &stand_in = ProgramsUnderTest().stand_in, built = Built();
    for (const std::wstring& folder : {target_, source_}) {  // unless a step left them
      ::CreateDirectoryW(folder.c_str(), nullptr);
    }
    for (const double end = NowSeconds() + 10;  // a launcher may still be exiting
         !::CopyFileW((built + L"reference_launcher.exe").c_str(), launcher_.c_str(), FALSE);) {
      ASSERT_LT(NowSeconds(), end) << "the launcher's file stays in use";
      ::Sleep(100);
    }
    ASSERT_TRUE(
        ::CopyFileW((built + overlay).c_str(), (target_ + L"\\overlay.exe").c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW(stand_in.c_str(), (target_ + L"\\" + kGameProgram).c_str(), FALSE));
    WriteFileText(source_ + L"\\game.dat", "update");
    ASSERT_TRUE(MarkUpdateReady(source_));
  }

  // The copy of overlay that the launcher process `launcher` starts.
  Listed CopyOf(const OverlayProcess& launcher) const {
    return Listed{CopyStem(target_) + std::to_wstring(launcher.id()) + kOverlayCopyEnd};
  }

  TempDir work_;
  std::wstring target_, source_, launcher_, copied_file_;
};

// Of two launchers started at once, one starts overlay from a copy of its own
// (having cleared the read-only file in its way and deleted its game's copies
// of earlier runs, and no other game's) and exits; the other waits for it,
// sees its copy and tells the player. Once the copy ends, the launcher starts
// again, deletes the update and its note and starts the game. An update that
// a run left not matching, and a copy signed by another than the launcher's
// pinned signer, are told, and the game starts as it is; what a link of the
// update leads to is never deleted. Three signature faults are told apart, a good
// overlay.exe of the update repairs a bad one; an unwritable game folder, an update too deep and
// a full disk are told before anything is written; a folder too deep to start from, once.
TEST_F(LauncherWait, ReferenceLauncherAppliesAnUpdateAcrossItsStarts) {
  const auto expect_told = [&](OverlayProcess&& launcher, const std::wstring& message,
                               bool game_starts = true) {
    const OverlayOutcome told = launcher.Finish();
    ASSERT_EQ(told.boxes.size(), 1u);
    EXPECT_EQ(told.boxes[0].text, message);
    EXPECT_FALSE(OverlayProcess(CopyOf(launcher)).started()) << "overlay started";
    EXPECT_EQ(OverlayProcess(Listed{kGameProgram}).started(), game_starts) << "the game";
    EXPECT_TRUE(Exists(PendingNote(source_)));
  };
  const auto expect_refused = [&](const std::wstring& message) {  // and nothing written
    expect_told(OverlayProcess(L"", std::wstring(), launcher_), message + kChoiceAfterCheck, false);
    EXPECT_FALSE(Exists(copied_file_));
  };
  Install(L"overlay-signed-by-us.exe");
  WriteFileText(copied_file_, "the game's, read-only");
  ASSERT_TRUE(::SetFileAttributesW(copied_file_.c_str(), FILE_ATTRIBUTE_READONLY));
  const std::wstring earlier = TemporaryFolder() + CopyStem(target_) + L"7.exe";
  const std::wstring foreign = TemporaryFolder() + CopyStem(work_ / L"Other Game") + L"7.exe";
  WriteFileText(earlier, "left by an earlier run");
  WriteFileText(foreign, "another game's");
  LauncherStandIn holding(work_.path(), overlay::kLauncherImageName);  // overlay waits for it
  OverlayProcess first(L"", std::wstring(), launcher_), second(L"", std::wstring(), launcher_);
  const OverlayOutcome outcomes[] = {first.Finish(), second.Finish()};
  const bool first_started = outcomes[0].boxes.empty();
  OverlayProcess overlay(CopyOf(first_started ? first : second));
  ASSERT_TRUE(overlay.started()) << "no launcher started overlay";
  EXPECT_FALSE(OverlayProcess(CopyOf(first_started ? second : first)).started()) << "both did";
  ASSERT_EQ(outcomes[first_started].boxes.size(), 1u);
  EXPECT_EQ(outcomes[first_started].boxes[0].text, kUpdateStillRunning);
  EXPECT_FALSE(Exists(earlier));
  EXPECT_TRUE(Exists(foreign));
  for (const double end = NowSeconds() + 1; NowSeconds() < end; ::Sleep(50)) {
    ASSERT_TRUE(overlay.IsRunning()) << "overlay ended while a launcher runs";
    ASSERT_FALSE(ReadFileText(copied_file_) == "update" || overlay.ShowsBox())
        << "copied while a launcher runs";
  }
  holding.End();
  ExpectQuietExit(overlay.Finish(10000));
  EXPECT_TRUE(OverlayProcess(Listed{kGameProgram}).started()) << "no game after the copy";
  EXPECT_EQ(ReadFileText(copied_file_), "update");
  EXPECT_FALSE(Exists(PendingNote(source_)));
  EXPECT_FALSE(Exists(source_));

  Install(L"overlay-signed-by-us.exe");
  const std::wstring elsewhere = work_ / L"elsewhere";  // what a link of the update leads to
  MakeDirectory(elsewhere);
  WriteFileText(elsewhere + L"\\map.dat", "not the update's to delete");
  MakeSymlink(source_ + L"\\levels", elsewhere);
  ExpectQuietExit(RunOverlay(L"", std::wstring(), kRunTimeLimitMs, launcher_));
  expect_told(OverlayProcess(Listed{overlay::kLauncherImageName}),
              UpdateIncompleteText(target_ + L"\\levels", 1) + kGameStartsAsItIs);

  EXPECT_TRUE(Exists(elsewhere + L"\\map.dat"));
  MoveGameTo(work_ / L"Signed Game");  // an update without the link
  const struct {
    const wchar_t* overlay;
    bool altered;
    const wchar_t* told;
  } faults[] = {{L"overlay-signed-by-another.exe", false, kOverlayNotSigned},
                {L"overlay.exe", false, kOverlayUnsigned},
                {L"overlay-signed-by-us.exe", true, kOverlaySignatureBroken}};
  for (const auto& fault : faults) {
    Install(fault.overlay);
    std::string bytes = ReadFileText(target_ + L"\\overlay.exe");
    bytes[4096] ^= fault.altered;  // one byte of the code the signature covers
    WriteFileText(target_ + L"\\overlay.exe", bytes);
    expect_told(OverlayProcess(L"", std::wstring(), launcher_),
                std::wstring(fault.told) + kGameStartsAsItIs);
  }
  ASSERT_TRUE(::CopyFileW((Built() + L"overlay-signed-by-us.exe").c_str(),
                          (source_ + L"\\overlay.exe").c_str(), FALSE));
  ExpectQuietExit(RunOverlay(L"", std::wstring(), kRunTimeLimitMs, launcher_));
  for (const double end = NowSeconds() + 20; Exists(source_) && NowSeconds() < end;) ::Sleep(100);
  EXPECT_TRUE(OverlayProcess(Listed{kGameProgram}).started()) << "no game after the repair";
  EXPECT_TRUE(ReadFileText(target_ + L"\\overlay.exe") ==
              ReadFileText(Built() + L"overlay-signed-by-us.exe"))
      << "the game's overlay.exe was not replaced";
  EXPECT_FALSE(Exists(source_));

  MoveGameTo(work_ / L"Locked Game");
  Install(L"overlay-signed-by-us.exe");
  ChangeMode(target_, "555");
  expect_refused(NotWritableText(target_, UserName()));
  ChangeMode(target_, "755");
  MoveGameTo(work_ / L"Deep Update");
  Install(L"overlay-signed-by-us.exe");
  const std::wstring deep = std::wstring(230, L'd');
  MakeDirectory(LongForm(source_ + L"\\" + deep));
  expect_refused(TooDeepForUpdateText(
      target_, target_.size() + 1 + deep.size() - kLongestMadeFolder, target_ + L"\\" + deep));
  MoveGameTo(PreparedByRoot() + L"\\small disk\\Game Files");
  Install(L"overlay-signed-by-us.exe");
  WriteFileText(source_ + L"\\game.dat", std::string(2 << 20, 'u'));
  wchar_t drive[MAX_PATH + 1];
  ULARGE_INTEGER available;
  ASSERT_TRUE(::GetVolumePathNameW(target_.c_str(), drive, MAX_PATH + 1) &&
              ::GetDiskFreeSpaceExW(drive, &available, nullptr, nullptr));
  expect_refused(NoRoomText(drive, (2 << 20) - available.QuadPart));
  for (const std::wstring& made : {target_, source_, PendingNote(source_)}) RemoveTree(made);

  const std::wstring too_deep = work_ / std::wstring(240, L'g');
  ASSERT_TRUE(RunShell("d=" + ShellWord(work_.path()) + "/" + std::string(240, 'g') +
                       "; mkdir \"$d\" && cp " + ShellWord(Built() + L"reference_launcher.exe") +
                       " \"$d/VarenkoLauncher.exe\" && cd \"$d\" && "
                       "{ wine VarenkoLauncher.exe >/dev/null 2>&1 & }"));
  const OverlayOutcome told = OverlayProcess(Listed{overlay::kLauncherImageName}).Finish();
  ASSERT_EQ(told.boxes.size(), 1u);
  EXPECT_EQ(told.boxes[0].text, TooDeepToStartText(too_deep + L"\\VarenkoLauncher.exe",
                                                   too_deep + L"\\" + kGameProgram));
}

}  // namespace
}  // namespace e2e
