// The command line, the launcher wait and the guarded copy with its box.
#include <windows.h>

#include <tlhelp32.h>

#include <string>
#include <vector>

#include "app/launcher_wait.h"
#include "app/run.h"
#include "tests/support/allocation.h"
#include "tests/support/platform_test.h"

namespace {

using interposer::Call;
using namespace testing_tree;

class LauncherWaitTest : public PlatformTest {
 protected:
  // Each scan sees the next list; the last one repeats.
  int ScansUntilTheWaitEnds(std::vector<std::vector<std::wstring>> scans) {
    interposer::Platform().fake_processes = true;
    interposer::Platform().process_lists = std::move(scans);
    overlay::WaitForLauncherExit();
    return interposer::Platform().snapshot_count;
  }
};

TEST_F(LauncherWaitTest, NoLauncherMeansOneScanAndNoSleep) {
  EXPECT_EQ(ScansUntilTheWaitEnds({{L"explorer.exe", L"steam.exe"}}), 1);
  EXPECT_TRUE(interposer::Platform().sleeps.empty());
  // The snapshot covers every process, and each entry was read with the full record size.
  const auto snapshots = interposer::CallsOf(Call::CreateToolhelp32Snapshot);
  ASSERT_EQ(snapshots.size(), 1u);
  EXPECT_EQ(snapshots[0].detail, TH32CS_SNAPPROCESS);
  EXPECT_EQ(interposer::CallsOf(Call::Process32FirstW).at(0).detail, 556);
}

TEST_F(LauncherWaitTest, WaitsWhileTheLauncherRunsPollingEvery100Ms) {
  const std::vector<std::wstring> with = {L"explorer.exe", overlay::kLauncherImageName,
                                          L"game.exe"};
  EXPECT_EQ(ScansUntilTheWaitEnds({with, with, with, {L"explorer.exe"}}), 4);
  EXPECT_EQ(interposer::Platform().sleeps, (std::vector<DWORD>{100, 100, 100}));
  EXPECT_EQ(overlay::kPollIntervalMs, 100u);
  // Each snapshot was closed, and a sleep follows only a scan that found the launcher.
  EXPECT_EQ(interposer::CountOf(Call::CloseHandle), 4);
}

TEST_F(LauncherWaitTest, EveryEntryIsReadEvenAfterAMatch) {
  EXPECT_EQ(
      ScansUntilTheWaitEnds({{overlay::kLauncherImageName, L"a.exe", L"b.exe", L"c.exe"}, {}}), 2);
  // First scan: one first entry, three more, one end; second scan: an empty list.
  EXPECT_EQ(interposer::CountOf(Call::Process32NextW), 4);
}

// A process name, and whether it holds the copy back.
struct ProcessName {
  const char* case_name;
  const wchar_t* image;
  bool is_launcher;
};

class LauncherNameTest : public LauncherWaitTest,
                         public testing::WithParamInterface<ProcessName> {};

TEST_P(LauncherNameTest, MatchesWithoutRegardToAsciiCaseAndOnlyWhole) {
  EXPECT_EQ(ScansUntilTheWaitEnds({{GetParam().image}, {}}), GetParam().is_launcher ? 2 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Names, LauncherNameTest,
    testing::Values(ProcessName{"Exact", L"VarenkoLauncher.exe", true},
                    ProcessName{"LowerCase", L"varenkolauncher.exe", true},
                    ProcessName{"UpperCase", L"VARENKOLAUNCHER.EXE", true},
                    ProcessName{"UpperCaseExtension", L"VarenkoLauncher.EXE", true},
                    ProcessName{"NoExtension", L"VarenkoLauncher", false},
                    ProcessName{"LongerBefore", L"XVarenkoLauncher.exe", false},
                    ProcessName{"LongerAfter", L"VarenkoLauncher.exe.bak", false},
                    ProcessName{"ShorterExtension", L"VarenkoLauncher.ex", false},
                    ProcessName{"WithBlank", L"Varenko Launcher.exe", false},
                    ProcessName{"LongerAfterWithExtension", L"VarenkoLauncher.exe.bak.exe", false},
                    ProcessName{"OtherExtension", L"VarenkoLauncher.com", false},
                    ProcessName{"ShorterName", L"VarenkoLaunche.exe", false},
                    // Only A-Z fold: a Cyrillic "а" looks the same but is not, and
                    // U+212A KELVIN SIGN, whose Unicode lower case is 'k', is not 'k'.
                    ProcessName{"CyrillicLookAlike", L"V\u0430renkoLauncher.exe", false},
                    ProcessName{"KelvinSignForK", L"Varen\u212AoLauncher.exe", false}),
    ByCaseName());

TEST_F(LauncherWaitTest, SeveralLaunchersCountAsOneAndTheLastToGoEndsTheWait) {
  const std::wstring launcher = overlay::kLauncherImageName;
  EXPECT_EQ(ScansUntilTheWaitEnds({{launcher, launcher}, {launcher}, {L"varenkolauncher.exe"}, {}}),
            4);
  EXPECT_EQ(interposer::Platform().sleeps.size(), 3u);
}

// Hundreds of unrelated processes, launchers coming and going between scans:
// the wait ends on the first scan that finds none, and not before.
TEST_F(LauncherWaitTest, BusyProcessListsEndTheWaitOnlyOnAScanWithNoLauncher) {
  std::vector<std::wstring> crowd;
  for (int i = 0; i < 600; ++i) crowd.push_back(L"process" + std::to_wstring(i) + L".exe");
  auto with_launcher_at = [&](size_t position, const wchar_t* name) {
    std::vector<std::wstring> list = crowd;
    list.insert(list.begin() + static_cast<std::ptrdiff_t>(position), name);
    return list;
  };
  // One launcher exits and another starts a moment later, in other places of
  // the list and under other casings; then a restart loop; then none.
  std::vector<std::vector<std::wstring>> scans = {with_launcher_at(0, overlay::kLauncherImageName),
                                                  with_launcher_at(599, L"varenkolauncher.exe"),
                                                  with_launcher_at(300, L"VARENKOLAUNCHER.EXE")};
  for (int round = 0; round < 20; ++round) {
    scans.push_back(with_launcher_at(static_cast<size_t>(round * 29), overlay::kLauncherImageName));
  }
  const size_t scans_with_launcher = scans.size();
  scans.push_back(crowd);
  EXPECT_EQ(static_cast<size_t>(ScansUntilTheWaitEnds(scans)), scans_with_launcher + 1);
  EXPECT_EQ(interposer::Platform().sleeps.size(), scans_with_launcher);
  // Every entry of every scan was read: 601 entries and the end, per scan.
  EXPECT_EQ(interposer::CountOf(Call::Process32NextW),
            static_cast<int>(scans_with_launcher * 601 + 600));
}

TEST_F(LauncherWaitTest, ASnapshotThatCannotBeTakenEndsTheWait) {
  interposer::Platform().fake_processes = true;
  interposer::Platform().process_lists = {{overlay::kLauncherImageName}};
  interposer::Platform().faults.push_back(
      {Call::CreateToolhelp32Snapshot, 2, ERROR_NOT_ENOUGH_MEMORY});
  overlay::WaitForLauncherExit();
  EXPECT_EQ(interposer::CountOf(Call::CreateToolhelp32Snapshot), 2);
  EXPECT_EQ(interposer::Platform().sleeps.size(), 1u);
}

TEST_F(LauncherWaitTest, ASnapshotWhoseFirstEntryCannotBeReadEndsTheWait) {
  interposer::Platform().fake_processes = true;
  interposer::Platform().process_lists = {{overlay::kLauncherImageName}};
  interposer::Platform().faults.push_back({Call::Process32FirstW, 3, ERROR_NO_MORE_FILES});
  overlay::WaitForLauncherExit();
  EXPECT_EQ(interposer::CountOf(Call::CreateToolhelp32Snapshot), 3);
  EXPECT_EQ(interposer::CountOf(Call::CloseHandle), 3) << "the unreadable snapshot is closed too";
}

TEST_F(LauncherWaitTest, TheRealProcessListWithoutALauncherEndsTheWaitAtOnce) {
  overlay::WaitForLauncherExit();
  EXPECT_EQ(interposer::CountOf(Call::CreateToolhelp32Snapshot), 1);
  EXPECT_GT(interposer::CountOf(Call::Process32NextW), 1) << "this process at least is listed";
  EXPECT_TRUE(interposer::Platform().sleeps.empty());
}

class CommandLineTest : public PlatformTest {
 protected:
  // `before_running` is called last, just before the program runs.
  int Run(
      const std::wstring& command_line, void (*before_running)() = [] {}) {
    interposer::Platform().fake_command_line = true;
    interposer::Platform().command_line = command_line;
    interposer::Platform().fake_processes = true;
    interposer::Platform().process_lists = {{overlay::kLauncherImageName}, {}};
    before_running();
    return overlay::RunFromCommandLine();
  }

  TempDir temp_;
};

// Arguments after the program's path, S and T standing for a source file and
// a target path.
struct WrongCount {
  const char* case_name;
  const wchar_t* arguments;
};

class WrongCountTest : public CommandLineTest, public testing::WithParamInterface<WrongCount> {};

TEST_P(WrongCountTest, DoesNothing) {
  WriteFileText(temp_ / L"file", "x");
  std::wstring arguments;
  for (const wchar_t* c = GetParam().arguments; *c != L'\0'; ++c) {
    arguments += *c == L'S' ? temp_ / L"file" : *c == L'T' ? temp_ / L"copy" : std::wstring(1, *c);
  }
  EXPECT_EQ(Run(L"\"C:\\with blank\\overlay.exe\" " + arguments), 0);
  EXPECT_EQ(interposer::CountOf(Call::CreateToolhelp32Snapshot), 0) << "no wait";
  EXPECT_TRUE(interposer::Platform().boxes.empty());
  EXPECT_EQ(interposer::Platform().argument_vectors_live, 0) << "the vector is released";
  EXPECT_FALSE(Exists(temp_ / L"copy"));
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, WrongCountTest,
    testing::Values(WrongCount{"None", L""}, WrongCount{"One", L"S"},
                    WrongCount{"OneEmpty", L"\"\""}, WrongCount{"Three", L"S T extra"},
                    WrongCount{"ThirdEmpty", L"S T \"\""}, WrongCount{"Four", L"S T extra extra"},
                    WrongCount{"BothInOneQuote", L"\"S T\""},
                    // Each \" a literal quote: the roots run together.
                    WrongCount{"BackslashesBeforeTheQuotes", L"\"S\\\" \"T\\\""}),
    ByCaseName());

TEST_F(CommandLineTest, UnsplittableCommandLineDoesNothingAndStillReleases) {
  interposer::Platform().faults.push_back({Call::CommandLineToArgvW, 0, ERROR_NOT_ENOUGH_MEMORY});
  EXPECT_EQ(Run(L"overlay.exe a b"), 0);
  EXPECT_EQ(interposer::CountOf(Call::CreateToolhelp32Snapshot), 0);
  EXPECT_EQ(interposer::CountOf(Call::LocalFree), 1);
  EXPECT_EQ(interposer::Platform().null_local_frees, 1);
}

TEST_F(CommandLineTest, TwoQuotedRootsWithBlanksWaitThenCopy) {
  MakeDirectory(temp_ / L"Game Updates");
  WriteFileText(temp_ / L"Game Updates\\patch notes.txt", "v2");
  const std::wstring command_line = L"\"C:\\Program Files\\overlay.exe\" \"" +
                                    (temp_ / L"Game Updates") + L"\" \"" + (temp_ / L"My Game") +
                                    L"\"";
  EXPECT_EQ(Run(command_line), 0);
  EXPECT_EQ(interposer::CountOf(Call::CreateToolhelp32Snapshot), 2) << "waited one poll";
  EXPECT_EQ(ReadFileText(temp_ / L"My Game\\patch notes.txt"), "v2");
  EXPECT_TRUE(interposer::Platform().boxes.empty());
  EXPECT_EQ(interposer::Platform().argument_vectors_live, 0);
  // The wait comes before any copying.
  const auto& log = interposer::Platform().log;
  EXPECT_LT(interposer::IndexOf(log, Call::CreateToolhelp32Snapshot, interposer::kLast),
            interposer::IndexOf(log, Call::CopyFileW));
}

TEST_F(CommandLineTest, AFailedCopyShowsOneErrorBoxAndStillReturnsZero) {
  const std::wstring missing = temp_ / L"missing";
  EXPECT_EQ(Run(L"overlay.exe \"" + missing + L"\" \"" + (temp_ / L"target") + L"\""), 0);
  const auto& boxes = interposer::Platform().boxes;
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].owner, nullptr);
  EXPECT_EQ(boxes[0].caption, "ERROR");
  EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_OK));
  EXPECT_EQ(boxes[0].text.rfind("copy: ", 0), 0u) << boxes[0].text;
  EXPECT_EQ(interposer::Platform().argument_vectors_live, 0);
}

// Memory gone from the start: the command line is still split and the box
// still appears, both loading their system DLL without the heap; with a
// wrong count nothing happens at all.
class MemoryGoneTest : public CommandLineTest, public testing::WithParamInterface<bool> {};

TEST_P(MemoryGoneTest, ShowsBadAllocationForTwoRootsAndNothingOtherwise) {
  const bool two_roots = GetParam();
  const std::wstring arguments =
      two_roots ? L"\"" + (temp_ / L"a source root long enough to need memory") + L"\" T"
                : L"one two three";
  const int status = Run(L"overlay.exe " + arguments, [] { alloc::FailAt(1, true); });
  alloc::Disarm();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(interposer::Platform().argument_vectors_live, 0);
  const auto& boxes = interposer::Platform().boxes;
  ASSERT_EQ(boxes.size(), two_roots ? 1u : 0u);
  for (const auto& box : boxes) {
    EXPECT_EQ(box.text, "bad allocation");
    EXPECT_EQ(box.caption, "ERROR");
  }
}

INSTANTIATE_TEST_SUITE_P(FromTheStart, MemoryGoneTest, testing::Bool());

}  // namespace
