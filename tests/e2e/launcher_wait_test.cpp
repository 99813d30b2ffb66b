// The reference launcher in the real process list, at its successive starts:
// one step at a time, the copy waiting while a launcher runs, the game
// started after it, and the player told whenever the update does not run or
// stops short. The names that count as the launcher, several launchers and
// launchers restarted in a loop are the unit tests' (app_test).
#include "app/launcher_wait.h"

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

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
    for (const double end = NowSeconds() + 20;  // a launcher may still be exiting
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
  Listed CopyOf(DWORD launcher) const {
    return Listed{CopyStem(target_) + std::to_wstring(launcher) + kOverlayCopyEnd};
  }

  // The launcher that asks the player (one started again after a run may
  // first start overlay again), answered with `answer`: its box and its id.
  std::pair<BoxSighting, DWORD> Asked(int answer) const {
    for (const double end = NowSeconds() + 60; NowSeconds() < end;) {
      OverlayProcess launcher(Listed{overlay::kLauncherImageName});
      const OverlayOutcome outcome = launcher.Finish(kRunTimeLimitMs, answer);
      if (!outcome.boxes.empty()) return {outcome.boxes[0], launcher.id()};
    }
    ADD_FAILURE() << "no launcher asked";
    return {};
  }

  // The waiter's window for this game, waiting for it a few seconds.
  HWND ShownWaiterWindow() const {
    HWND window = nullptr;
    for (int tries = 0; tries < 50 && !window; ++tries, ::Sleep(window ? 0 : 100)) {
      window = ::FindWindowW(WaiterWindowClass(CopyStem(target_)).c_str(), nullptr);
    }
    return window;
  }

  TempDir work_;
  std::wstring target_, source_, launcher_, copied_file_;
};

// Of two launchers started at once, from two spellings of the game folder,
// one starts overlay from a copy of its own (having deleted its game's copies
// of earlier runs, and no other game's) and exits; the other sees its copy,
// brings the waiter's window forward and exits without a box. Once the copy
// ends, the launcher starts again, deletes the update and its note and starts
// the game. A run stopped by a failure, a run cut short, an update that never
// matches follow; what a link of the update leads to is never deleted. Three
// signature faults are told apart, a good overlay.exe of the update repairs a
// bad one; an unwritable game folder, an update too deep and a full disk are
// told before anything is written; a folder too deep to start from, once.
TEST_F(LauncherWait, ReferenceLauncherAppliesAnUpdateAcrossItsStarts) {
  const auto expect_told = [&](OverlayProcess&& launcher, const std::wstring& message,
                               bool game_starts = true) {
    const OverlayOutcome told = launcher.Finish();
    ASSERT_EQ(told.boxes.size(), 1u);
    EXPECT_EQ(told.boxes[0].text, message);
    EXPECT_FALSE(OverlayProcess(CopyOf(launcher.id())).started()) << "overlay started";
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
  const std::wstring alias = work_ / L"Alias";  // the game folder's holder spelled another way
  MakeSymlink(alias, work_.path());
  OverlayProcess first(L"", std::wstring(), launcher_),
      second(L"", std::wstring(), alias + launcher_.substr(work_.path().size()));
  const OverlayOutcome outcomes[] = {first.Finish(), second.Finish()};
  OverlayProcess copies[] = {OverlayProcess(CopyOf(first.id())),
                             OverlayProcess(CopyOf(second.id()))};
  OverlayProcess& overlay = copies[copies[0].started() ? 0 : 1];
  ASSERT_TRUE(overlay.started()) << "no launcher started overlay";
  EXPECT_FALSE(copies[0].started() && copies[1].started()) << "both did";
  EXPECT_TRUE(outcomes[0].boxes.empty() && outcomes[1].boxes.empty()) << "a box held overlay";
  const HWND window = ShownWaiterWindow();  // a start while the copy waits brings it forward
  ::ShowWindow(window, SW_MINIMIZE);
  EXPECT_TRUE(RunOverlay(L"", std::wstring(), kRunTimeLimitMs, launcher_).boxes.empty());
  EXPECT_FALSE(::IsIconic(window)) << "the waiter's window not brought forward";
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

  // A run stopped by a file another program holds open: the player is told
  // overlay's text, where the copy stopped and what to do, and chooses (Try
  // Again, then Cancel); the game starts only once the update completes.
  Install(L"overlay-signed-by-us.exe");
  WriteFileText(source_ + L"\\data.pak", "new data");
  const std::wstring held_file = target_ + L"\\data.pak";
  WriteFileText(held_file, "old");
  {
    const UniqueHandle held(
        ::CreateFileW(held_file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    OverlayProcess launcher(L"", std::wstring(), launcher_);
    ExpectQuietExit(launcher.Finish());
    DWORD asker = launcher.id();
    for (const int answer : {IDTRYAGAIN, IDCANCEL}) {
      OverlayProcess copy(CopyOf(asker));
      while (copy.IsRunning() && !copy.ShowsBox()) ::Sleep(10);
      ::Sleep(1000);  // as a player reads it, and the waiter with them
      const OverlayOutcome stopped = copy.Finish();
      ASSERT_EQ(stopped.boxes.size(), 1u);
      const auto asked = Asked(answer);
      EXPECT_NE(asked.first.text.find(stopped.boxes[0].text), std::wstring::npos)
          << Utf8(asked.first.text);
      EXPECT_NE(asked.first.text.find(L"\"" + held_file + L"\""), std::wstring::npos);
      EXPECT_EQ(asked.first.button_ids.size(), 3u);
      asker = asked.second;
    }
    EXPECT_FALSE(OverlayProcess(Listed{kGameProgram}).started()) << "the game started";
  }
  ExpectQuietExit(RunOverlay(L"", std::wstring(), kRunTimeLimitMs, launcher_));
  EXPECT_TRUE(OverlayProcess(Listed{kGameProgram}).started()) << "no game after the copy";
  EXPECT_EQ(ReadFileText(held_file), "new data");

  // A run cut short midway is run again at once: the game starts once, on
  // the complete update, and the log tells both runs. The waiter's bar
  // advances.
  Install(L"overlay-signed-by-us.exe");
  for (wchar_t part = L'a'; part <= L'p'; ++part) {
    WriteFileText(source_ + L"\\" + part + L".pak", std::string(16 << 20, char(part)));
  }
  LRESULT shown = 0;  // the furthest the waiter's bar was seen
  const auto look = [&] {
    const HWND bar = ::FindWindowExW(ShownWaiterWindow(), nullptr, PROGRESS_CLASSW, nullptr);
    return shown = std::max(shown, ::SendMessageW(bar, PBM_GETPOS, 0, 0));
  };
  {
    OverlayProcess launcher(L"", std::wstring(), launcher_);
    ExpectQuietExit(launcher.Finish());
    OverlayProcess copy(CopyOf(launcher.id()));
    const auto copied = [&] {
      int files = 0;
      for (wchar_t part = L'a'; part <= L'p'; ++part)
        files += Exists(target_ + L"\\" + part + L".pak");
      return files;
    };
    while (copy.IsRunning() && look() == 0 && copied() < 3) ::Sleep(10);
    EXPECT_TRUE(copy.IsRunning()) << "not ended midway";
  }  // ended
  for (const double end = NowSeconds() + 60; Exists(source_) && NowSeconds() < end;) look();
  EXPECT_GT(shown, 0) << "the waiter's bar did not advance";
  EXPECT_TRUE(OverlayProcess(Listed{kGameProgram}).started()) << "no game after the copy";
  EXPECT_FALSE(OverlayProcess(Listed{kGameProgram}).started()) << "the game started twice";
  EXPECT_TRUE(ReadFileText(target_ + L"\\p.pak") == std::string(16 << 20, 'p'));
  const std::string log = ReadFileText(UpdateLog(source_));
  const std::size_t cut_short = log.rfind("cut short"), complete = log.rfind("complete");
  EXPECT_TRUE(cut_short != std::string::npos && complete > cut_short) << log;

  Install(L"overlay-signed-by-us.exe");
  const std::wstring elsewhere = work_ / L"elsewhere";  // what a link of the update leads to
  MakeDirectory(elsewhere);
  WriteFileText(elsewhere + L"\\map.dat", "not the update's to delete");
  MakeSymlink(source_ + L"\\levels", elsewhere);
  ExpectQuietExit(RunOverlay(L"", std::wstring(), kRunTimeLimitMs, launcher_));
  EXPECT_EQ(Asked(IDCONTINUE).first.text,
            UpdateCutShortText(target_ + L"\\levels", 2, UpdateLog(source_)));
  EXPECT_TRUE(OverlayProcess(Listed{kGameProgram}).started()) << "the game did not start";

  EXPECT_TRUE(Exists(elsewhere + L"\\map.dat"));
  // Links to files, which Wine lists as plain files: one of the update to the
  // game's own file never matches it, and neither deleting the update nor
  // clearing the attributes in the way touches what a link leads to.
  const std::wstring outside = work_ / L"manual.txt", game_file = target_ + L"\\readme.txt";
  for (const std::wstring& file : {outside, game_file}) {
    WriteFileText(file, "not the update's to delete");
    ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
  }
  MakeSymlink(source_ + L"\\readme.txt", game_file);
  MakeSymlink(source_ + L"\\manual.txt", outside);
  MakeSymlink(target_ + L"\\manual.txt", outside);
  const std::wstring links = work_ / L"links";
  MakeDirectory(links);
  MakeSymlink(links + L"\\readme.txt", game_file);
  EXPECT_EQ(FirstMismatch(PlaceOf(links), PlaceOf(target_)), game_file);
  ClearAttributesInTheWay(PlaceOf(source_), PlaceOf(target_));
  EXPECT_EQ(::GetFileAttributesW(outside.c_str()) & FILE_ATTRIBUTE_READONLY,
            1u * FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(DeleteTree(PlaceOf(source_)));
  EXPECT_FALSE(Exists(source_ + L"\\game.dat")) << "the update's own file stayed";
  for (const std::wstring& file : {outside, game_file, elsewhere + L"\\map.dat"}) {
    EXPECT_EQ(ReadFileText(file), "not the update's to delete") << Utf8(file);
  }
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
