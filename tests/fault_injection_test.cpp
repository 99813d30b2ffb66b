// Every platform call of a realistic run made to fail, one at a time, and every
// allocation of a run made to fail, one at a time: the run always ends, shows
// at most one box with the right text, stops writing at the failure, leaves
// what was copied before it, never writes under the source and never leaves a
// handle, an enumeration or a block of memory behind.
#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/guarded_copy.h"
#include "app/launcher_wait.h"
#include "report/failure.h"
#include "tests/support/allocation.h"
#include "tests/support/copy_run.h"
#include "tests/support/platform_test.h"

namespace {

using interposer::Call;
using namespace testing_tree;
using ProcessLists = std::vector<std::vector<std::wstring>>;

// Calls whose failure the program must handle. GetModuleHandleW and
// GetProcAddress are made only once per process, when the copy first needs
// the functions it looks up by name; the warm-up run of each test has made them, so
// they never appear in a recorded log (FirstUseLookup fails them).
bool CanFail(Call call) {
  switch (call) {
    case Call::CreateToolhelp32Snapshot:
    case Call::Process32FirstW:
    case Call::Process32NextW:
    case Call::GetFileAttributesExW:
    case Call::CreateFileW:
    case Call::GetFileInformationByHandle:
    case Call::GetFileInformationByHandleEx:
    case Call::GetFinalPathNameByHandleW:
    case Call::CreateDirectoryW:
    case Call::FindFirstFileExW:
    case Call::FindNextFileW:
    case Call::CopyFileW:
    case Call::GetFullPathNameW:
    case Call::FormatMessageA:
    case Call::WideCharToMultiByte:
    case Call::GetModuleHandleW:
    case Call::GetProcAddress:
      return true;
    default:
      return false;
  }
}

// Calls that open a file or directory, which another process can hold
// without sharing.
bool OpensAnObject(Call call) {
  return call == Call::CreateFileW || call == Call::CopyFileW || call == Call::CreateDirectoryW ||
         call == Call::FindFirstFileExW;
}

// What a run may still do once a copy step has failed: release what it holds,
// compose the report and show it.
bool IsUnwindingOrReport(Call call) {
  switch (call) {
    case Call::CloseHandle:
    case Call::FindClose:
    case Call::LocalFree:
    case Call::FormatMessageA:
    case Call::AreFileApisANSI:
    case Call::WideCharToMultiByte:
    case Call::___lc_codepage_func:
    case Call::MessageBoxA:
      return true;
    default:
      return false;
  }
}

// How many calls of the kind of log[index] the log holds up to and including it.
int NthOf(const std::vector<interposer::LoggedCall>& log, size_t index) {
  int nth = 0;
  for (size_t i = 0; i <= index; ++i) nth += log[i].call == log[index].call ? 1 : 0;
  return nth;
}

// Where a call of a recorded run belongs.
enum class Phase { kWait, kRootQuery, kGuard, kWalk };

const char* NameOf(Phase phase) {
  switch (phase) {
    case Phase::kWait:
      return "wait";
    case Phase::kRootQuery:
      return "root query";
    case Phase::kGuard:
      return "target-inside-source guard";
    case Phase::kWalk:
      return "walk";
  }
  return "?";
}

// A recorded run: its log, the phase of each call, its sleeps and boxes.
struct Recording {
  std::vector<interposer::LoggedCall> log;
  std::vector<Phase> phases;
  int sleeps = 0;
  std::vector<interposer::MessageBoxShown> boxes;
  Tree target;  // as the run left it
};

class FaultInjection : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    // The source: files at several levels, an empty directory, a directory
    // reached through a link that leads outside the source.
    MakeDirectory(source_);
    WriteFileText(source_ + L"\\a.txt", "source a");
    WriteFileText(source_ + L"\\b.txt", "source b");
    MakeDirectory(source_ + L"\\empty");
    MakeDirectory(source_ + L"\\d1");
    WriteFileText(source_ + L"\\d1\\c.txt", "source c");
    MakeDirectory(source_ + L"\\d1\\d2");
    WriteFileText(source_ + L"\\d1\\d2\\e.txt", "source e");
    MakeDirectory(source_ + L"\\d1\\d2\\d3");
    WriteFileText(source_ + L"\\d1\\d2\\d3\\f.txt", "source f");
    MakeDirectory(source_ + L"\\d1\\new");
    WriteFileText(source_ + L"\\d1\\new\\g.txt", "source g");
    MakeDirectory(outside_);
    WriteFileText(outside_ + L"\\h.txt", "outside h");
    MakeDirectory(outside_ + L"\\sub");
    WriteFileText(outside_ + L"\\sub\\i.txt", "outside i");
    MakeSymlink(source_ + L"\\linked", outside_);
    ASSERT_TRUE(WaitUntilListed(source_, L"linked"));
    source_tree_ = ReadTree(source_);
    ASSERT_EQ(source_tree_.count(L"linked\\sub\\i.txt"), 1u) << "the link is not followed";

    ResetTarget();
    original_target_ = ReadTree(target_);
    full_copy_ = original_target_;
    for (const auto& entry : source_tree_) full_copy_[entry.first] = entry.second;
  }

  void TearDown() override {
    alloc::Disarm();
    PlatformTest::TearDown();
    EXPECT_EQ(ReadTree(source_), source_tree_) << "the source changed";
  }

  // The target as it stands before every run: some files and directories
  // the copy replaces or keeps.
  void ResetTarget() {
    RemoveTree(target_);
    MakeDirectory(target_);
    WriteFileText(target_ + L"\\a.txt", "old a");
    WriteFileText(target_ + L"\\keep.txt", "kept");
    MakeDirectory(target_ + L"\\d1");
    WriteFileText(target_ + L"\\d1\\c.txt", "old c");
    WriteFileText(target_ + L"\\d1\\old.txt", "old only in the target");
    MakeDirectory(target_ + L"\\d1\\d2");
    MakeDirectory(target_ + L"\\other");
    WriteFileText(target_ + L"\\other\\x.txt", "other x");
    if (conflict_) {
      MakeDirectory(target_ + L"\\d1\\new");
      WriteFileText(target_ + L"\\d1\\new\\deeper", "a file where the source has a directory");
    }
  }

  // Undoes what a run wrote, deepest first, so that the next run starts from
  // the original target without rebuilding it.
  void RevertTarget() {
    const Tree now = ReadTree(target_);
    for (auto entry = now.rbegin(); entry != now.rend(); ++entry) {
      const std::wstring path = target_ + L"\\" + entry->first;
      const auto original = original_target_.find(entry->first);
      if (original == original_target_.end()) {
        if (entry->second == kDirectory) {
          ::RemoveDirectoryW(path.c_str());
        } else {
          ::DeleteFileW(path.c_str());
        }
      } else if (original->second != entry->second) {
        WriteFileText(path, original->second);
      }
    }
    ASSERT_EQ(ReadTree(target_), original_target_) << "the target could not be restored";
  }

  // The platform as a run starts: the launcher is there for two scans.
  void PreparePlatform(const std::vector<interposer::Fault>& faults) {
    interposer::Reset();
    interposer::State& platform = interposer::Platform();
    platform.info_ex_available = !RunningWithoutInfoEx();
    platform.fake_processes = true;
    platform.process_lists = lists_;
    platform.faults = faults;
  }

  // Wait and copy, as the program runs them; `copy_start` receives the log
  // position where the copy began.
  void RunWaitAndCopy(size_t* copy_start) {
    overlay::WaitForLauncherExit();
    *copy_start = interposer::Platform().log.size();
    overlay::CopyTree(source_.c_str(), target_.c_str());
  }

  Recording Record(const std::vector<interposer::Fault>& faults) {
    ResetTarget();
    PreparePlatform(faults);
    size_t copy_start = 0;
    RunWaitAndCopy(&copy_start);
    Recording recording;
    recording.log = interposer::Platform().log;
    recording.sleeps = static_cast<int>(interposer::Platform().sleeps.size());
    recording.boxes = interposer::Platform().boxes;
    recording.target = ReadTree(target_);
    RevertTarget();
    // The root is queried first, then the guard starts with the target's
    // full path and ends where the walk queries the target root.
    const int guard_start =
        interposer::IndexOf(recording.log, Call::GetFullPathNameW, 1, copy_start);
    const int walk_start = interposer::IndexOf(recording.log, Call::GetFileAttributesExW, 1,
                                               guard_start < 0 ? copy_start : guard_start);
    EXPECT_GE(guard_start, 0);
    EXPECT_GE(walk_start, 0);
    for (size_t i = 0; i < recording.log.size(); ++i) {
      const int at = static_cast<int>(i);
      recording.phases.push_back(i < copy_start     ? Phase::kWait
                                 : at < guard_start ? Phase::kRootQuery
                                 : at < walk_start  ? Phase::kGuard
                                                    : Phase::kWalk);
    }
    return recording;
  }

  // The target after a run whose log is `log`: what was there, plus every
  // file copied and directory created before position `end`.
  Tree TargetAfter(const std::vector<interposer::LoggedCall>& log, size_t end) {
    Tree expected = original_target_;
    for (size_t i = 0; i < end && i < log.size(); ++i) {
      const interposer::LoggedCall& call = log[i];
      if (call.call != Call::CopyFileW && call.call != Call::CreateDirectoryW) continue;
      if (call.path == target_) continue;
      EXPECT_EQ(call.path.compare(0, target_.size() + 1, target_ + L"\\"), 0)
          << "written outside the target: " << Utf8(call.path);
      const std::wstring relative = call.path.substr(target_.size() + 1);
      if (call.call == Call::CreateDirectoryW) {
        expected[relative] = kDirectory;
      } else {
        EXPECT_EQ(source_tree_.count(relative), 1u) << Utf8(relative);
        expected[relative] = source_tree_[relative];
      }
    }
    return expected;
  }

  std::string ExpectedText(overlay::error_code code) {
    return ExpectedFailureText(source_, target_, code);
  }

  // Runs once more with `faults`, the last of which hits the call at
  // `index` of `recording`, and checks the outcome the phase of that call
  // calls for. `expected_box` is the box text a walk failure must show.
  // Returns true when a box was shown.
  // `walk_end` is the position of the failure that ends the walk when an
  // earlier fault ends it, or -1.
  bool CheckFaultedRun(const Recording& recording, size_t index,
                       const std::vector<interposer::Fault>& faults,
                       const std::string& expected_box, int walk_end) {
    const size_t stop = walk_end >= 0 ? static_cast<size_t>(walk_end) : index;
    const interposer::Fault& fault = faults.back();
    const Phase phase = recording.phases[index];
    SCOPED_TRACE(std::string(interposer::NameOf(fault.call)) + " #" + std::to_string(fault.nth) +
                 " (log position " + std::to_string(index) + ", " + NameOf(phase) +
                 ") fails with " + std::to_string(fault.error));
    const OpenHandleCheck open_handles;
    PreparePlatform(faults);
    size_t copy_start = 0;
    RunWaitAndCopy(&copy_start);
    const interposer::State& platform = interposer::Platform();
    const std::vector<interposer::LoggedCall>& log = platform.log;
    open_handles.Expect();

    // Up to the failing call the run is the recorded one.
    const int failed_at = interposer::IndexOf(log, fault.call, fault.nth);
    bool same_course = failed_at == static_cast<int>(index);
    for (size_t i = 0; same_course && i < index; ++i) {
      same_course = log[i].call == recording.log[i].call && log[i].path == recording.log[i].path;
    }
    if (!same_course) {
      ADD_FAILURE() << "the run took another course than the recorded one";
      const bool boxed = !platform.boxes.empty();
      RevertTarget();
      return boxed;
    }

    switch (phase) {
      case Phase::kWait:
        // A scan that cannot be read sees no launcher: the wait can only end
        // sooner, and the copy runs.
        EXPECT_LE(static_cast<int>(platform.sleeps.size()), recording.sleeps);
        EXPECT_TRUE(platform.boxes.empty());
        EXPECT_EQ(ReadTree(target_), full_copy_);
        break;
      case Phase::kRootQuery:
      case Phase::kGuard:
        // Both only inform the walk, which asks again and copies everything.
        EXPECT_EQ(static_cast<int>(platform.sleeps.size()), recording.sleeps);
        EXPECT_TRUE(platform.boxes.empty())
            << (platform.boxes.empty() ? "" : platform.boxes[0].text);
        EXPECT_EQ(ReadTree(target_), full_copy_);
        break;
      case Phase::kWalk:
        EXPECT_EQ(static_cast<int>(platform.sleeps.size()), recording.sleeps);
        EXPECT_EQ(platform.boxes.size(), 1u);
        if (!platform.boxes.empty()) {
          const interposer::MessageBoxShown& box = platform.boxes[0];
          EXPECT_EQ(box.text, expected_box);
          EXPECT_EQ(box.caption, "ERROR");
          EXPECT_EQ(box.style, static_cast<UINT>(MB_OK));
          EXPECT_EQ(box.owner, nullptr);
        }
        for (size_t i = stop + 1; i < log.size(); ++i) {
          EXPECT_TRUE(IsUnwindingOrReport(log[i].call))
              << interposer::NameOf(log[i].call) << " after the failure: " << Utf8(log[i].path);
        }
        EXPECT_EQ(ReadTree(target_), TargetAfter(log, stop));
        break;
    }
    const bool boxed = !platform.boxes.empty();
    RevertTarget();
    return boxed;
  }

  // Which calls of a recorded run fail, how, and what the box then says.
  struct Scenario {
    std::vector<interposer::Fault> base_faults;  // failing in every run
    std::vector<DWORD> errors;                   // each call fails with each of these in turn
    std::function<std::string(const interposer::LoggedCall&, DWORD)> expected_box;
    size_t from = 0;      // the first log position to fail
    std::set<Call> only;  // these calls only, when not empty
    int walk_end = -1;    // where a base fault ends the walk, if one does
  };

  // The nth of every failable call of the recording, failing in turn.
  struct Tally {
    int injected = 0;
    int boxes = 0;
    int completed = 0;
    std::map<std::string, int> by_call;
  };
  Tally FailEachCall(const Recording& recording, const Scenario& scenario) {
    Tally tally;
    for (size_t i = scenario.from; i < recording.log.size(); ++i) {
      const interposer::LoggedCall& call = recording.log[i];
      if (!CanFail(call.call)) continue;
      if (!scenario.only.empty() && scenario.only.count(call.call) == 0) continue;
      // A call the base faults already fail is not failed a second time.
      bool already_failing = false;
      for (const interposer::Fault& base : scenario.base_faults) {
        already_failing =
            already_failing ||
            (base.call == call.call && (base.detail == -1 || base.detail == call.detail) &&
             (base.nth == 0 || base.nth == NthOf(recording.log, i)));
      }
      if (already_failing) continue;
      for (DWORD error : scenario.errors) {
        if (error == ERROR_SHARING_VIOLATION && !OpensAnObject(call.call)) continue;
        std::vector<interposer::Fault> faults = scenario.base_faults;
        faults.push_back({call.call, NthOf(recording.log, i), error});
        const bool boxed = CheckFaultedRun(recording, i, faults, scenario.expected_box(call, error),
                                           scenario.walk_end);
        ++tally.injected;
        ++(boxed ? tally.boxes : tally.completed);
        ++tally.by_call[interposer::NameOf(call.call)];
        if (HasFatalFailure()) return tally;
      }
    }
    return tally;
  }

  static void Print(const char* what, const Tally& tally) {
    std::printf("[ figures  ] %s: %d faults injected, %d ended in one box, %d completed\n", what,
                tally.injected, tally.boxes, tally.completed);
    std::string calls;
    for (const auto& entry : tally.by_call) {
      calls += " " + entry.first + "=" + std::to_string(entry.second);
    }
    std::printf("[ figures  ]   by call:%s\n", calls.c_str());
    ::testing::Test::RecordProperty(std::string(what) + " faults injected", tally.injected);
  }

  void FailEveryCallOfTheRealisticRun(const char* what) {
    WarmUp();
    const Recording recording = Record({});
    ASSERT_TRUE(recording.boxes.empty());
    // Which call reads attributes and identities depends on the system.
    int info = 0, info_ex = 0;
    for (const interposer::LoggedCall& call : recording.log) {
      info += call.call == Call::GetFileInformationByHandle ? 1 : 0;
      info_ex += call.call == Call::GetFileInformationByHandleEx ? 1 : 0;
    }
    EXPECT_GT(RunningWithoutInfoEx() ? info : info_ex, 0);
    EXPECT_EQ(RunningWithoutInfoEx() ? info_ex : info, 0);
    std::map<DWORD, std::string> texts;
    for (DWORD error : {DWORD{ERROR_ACCESS_DENIED}, DWORD{ERROR_SHARING_VIOLATION}}) {
      texts[error] = ExpectedText(overlay::MakeSystemCode(error));
    }
    Scenario scenario;
    scenario.errors = {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION};
    scenario.expected_box = [&](const interposer::LoggedCall&, DWORD error) {
      return texts[error];
    };
    const Tally tally = FailEachCall(recording, scenario);
    Print(what, tally);
    EXPECT_GT(tally.boxes, 0);
    EXPECT_GT(tally.completed, 0);
  }

  // First-use lookups and statics happen here, outside what is measured.
  void WarmUp(const std::vector<interposer::Fault>& faults = {}) {
    PreparePlatform(faults);
    size_t copy_start = 0;
    RunWaitAndCopy(&copy_start);
    ASSERT_LE(interposer::Platform().boxes.size(), 1u);
    RevertTarget();
  }

  TempDir temp_;
  const std::wstring source_ = temp_ / L"source";
  const std::wstring outside_ = temp_ / L"outside";
  const std::wstring target_ = temp_ / L"target";
  // The launcher last in the first scan, first in the second, gone in the third.
  const ProcessLists lists_ = {{L"explorer.exe", L"VarenkoLauncher.exe"},
                               {L"varenkolauncher.EXE", L"svchost.exe"},
                               {L"explorer.exe", L"game.exe"}};
  bool conflict_ = false;  // the target holds a file where the source has a directory
  Tree source_tree_;
  Tree original_target_;
  Tree full_copy_;
};

TEST_F(FaultInjection, RecordedRunCopiesEverythingAndTouchesEachCallOnce) {
  WarmUp();
  const Recording recording = Record({});
  EXPECT_TRUE(recording.boxes.empty());
  EXPECT_EQ(recording.sleeps, 2);
  EXPECT_EQ(recording.target, full_copy_);
  // One copy per source file, none for what only the target holds.
  int source_files = 0;
  for (const auto& entry : source_tree_) source_files += entry.second != kDirectory ? 1 : 0;
  EXPECT_EQ(static_cast<int>(interposer::CallsOf(Call::CopyFileW).size()), source_files);
  // The recorded run is what the exhaustive runs below replay.
  std::map<Phase, int> per_phase;
  int failable = 0;
  for (size_t i = 0; i < recording.log.size(); ++i) {
    ++per_phase[recording.phases[i]];
    failable += CanFail(recording.log[i].call) ? 1 : 0;
  }
  for (Phase phase : {Phase::kWait, Phase::kRootQuery, Phase::kGuard, Phase::kWalk}) {
    EXPECT_GT(per_phase[phase], 0) << NameOf(phase);
  }
  // The linked directory is followed through its handle, not enumerated blind.
  bool followed = false;
  for (const auto& call : interposer::CallsOf(Call::GetFileInformationByHandleEx)) {
    followed = followed || call.detail == 0;  // FileBasicInfo
  }
  if (RunningWithoutInfoEx()) followed = interposer::CountOf(Call::GetFileInformationByHandle) > 0;
  EXPECT_TRUE(followed);
  std::printf("[ figures  ] recorded run: %zu calls, %d that can fail\n", recording.log.size(),
              failable);
}

TEST_F(FaultInjection, EveryFailingCallOfARealisticRunIsReportedOnceOrHarmless) {
  FailEveryCallOfTheRealisticRun("realistic run");
}

// A system without GetFileInformationByHandleEx: links are followed and
// identities read with GetFileInformationByHandle. The lookup is remembered
// for the whole process, so this runs only in the process started with
// --without-info-ex.
class FaultInjectionWithoutInfoEx : public FaultInjection {
 protected:
  void SetUp() override {
    if (!RunningWithoutInfoEx()) GTEST_SKIP() << "runs in the process without the function";
    FaultInjection::SetUp();
  }
};

TEST_F(FaultInjectionWithoutInfoEx, EveryFailingCallIsReportedOnceOrHarmless) {
  FailEveryCallOfTheRealisticRun("realistic run without GetFileInformationByHandleEx");
}

// Volumes without 128-bit identifiers and without the basic enumeration
// level: the walk takes the older calls, whose failures count the same.
TEST_F(FaultInjection, EveryFailingFallbackCallIsReportedOnceOrHarmless) {
  WarmUp();
  const std::vector<interposer::Fault> old_volume = {
      {Call::GetFileInformationByHandleEx, 0, ERROR_INVALID_PARAMETER, 18},  // FileIdInfo
      {Call::FindFirstFileExW, 0, ERROR_NOT_SUPPORTED, FindExInfoBasic}};
  const Recording recording = Record(old_volume);
  ASSERT_TRUE(recording.boxes.empty()) << recording.boxes[0].text;
  EXPECT_EQ(recording.target, full_copy_);
  ASSERT_GT(interposer::CountOf(Call::GetFileInformationByHandle), 0);
  const std::string text = ExpectedText(overlay::MakeSystemCode(ERROR_ACCESS_DENIED));
  Scenario scenario;
  scenario.base_faults = old_volume;
  scenario.errors = {ERROR_ACCESS_DENIED};
  scenario.expected_box = [&](const interposer::LoggedCall&, DWORD) { return text; };
  scenario.only = {Call::GetFileInformationByHandle, Call::FindFirstFileExW};
  const Tally tally = FailEachCall(recording, scenario);
  Print("fallback calls", tally);
  EXPECT_GT(tally.boxes, 0);
}

// A run that fails at its last file copy composes its report through the
// platform; every call of the report is made to fail in turn.
TEST_F(FaultInjection, EveryFailingReportCallStillEndsInOneBox) {
  WarmUp();
  const Recording healthy = Record({});
  const int last_copy = static_cast<int>(interposer::CallsOf(Call::CopyFileW).size());
  const interposer::Fault base{Call::CopyFileW, last_copy, ERROR_ACCESS_DENIED};
  const Recording recording = Record({base});
  ASSERT_EQ(recording.boxes.size(), 1u);
  const std::string healthy_text = ExpectedText(overlay::MakeSystemCode(ERROR_ACCESS_DENIED));
  EXPECT_EQ(recording.boxes[0].text, healthy_text);
  const size_t failed_at =
      static_cast<size_t>(interposer::IndexOf(recording.log, Call::CopyFileW, last_copy));
  Scenario scenario;
  scenario.base_faults = {base};
  scenario.errors = {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_FLAGS};
  scenario.expected_box = [&](const interposer::LoggedCall& call, DWORD error) -> std::string {
    if (call.call == Call::FormatMessageA) {
      // No system message: the report still names the operation and the roots.
      return ExpectedFailureText("unknown error", source_, target_);
    }
    // A root that cannot be narrowed: without the best-fit flag it is asked
    // again; otherwise the conversion's own failure is shown.
    if (call.detail == WC_NO_BEST_FIT_CHARS && error == ERROR_INVALID_FLAGS) return healthy_text;
    return SystemMessageText(error);
  };
  scenario.from = failed_at + 1;
  scenario.walk_end = static_cast<int>(failed_at);
  const Tally tally = FailEachCall(recording, scenario);
  Print("report calls", tally);
  EXPECT_GT(tally.injected, 0);
  EXPECT_EQ(tally.boxes, tally.injected);
}

// ---- The first-use lookup ------------------------------------------------------

// GetModuleHandleW and GetProcAddress are asked once per process for each
// function looked up by name: GetFileInformationByHandleEx, which the root's
// first query needs, then GetFinalPathNameByHandleW. Their failure can only be
// seen in a process where nothing has asked yet, so each of these runs only
// when it is the one test of its process, e.g.
//   overlay_tests --gtest_filter=FirstUseLookup.ModuleHandleFails
// A failed lookup counts as a system without the function: the run copies
// everything with the older call, and later runs keep using it.
class FirstUseLookup : public FaultInjection {
 protected:
  void SetUp() override {
    if (::testing::UnitTest::GetInstance()->test_to_run_count() != 1) {
      GTEST_SKIP() << "needs a process of its own";
    }
    FaultInjection::SetUp();
  }

  void FailTheLookupAt(Call call) {
    ResetTarget();
    PreparePlatform({{call, 1, ERROR_PROC_NOT_FOUND}});
    size_t copy_start = 0;
    RunWaitAndCopy(&copy_start);
    ASSERT_EQ(interposer::CountOf(call), 2) << "two functions looked up once, at first use";
    EXPECT_TRUE(interposer::Platform().boxes.empty());
    EXPECT_EQ(ReadTree(target_), full_copy_);
    EXPECT_EQ(interposer::CountOf(Call::GetFileInformationByHandleEx), 0);
    EXPECT_GT(interposer::CountOf(Call::GetFileInformationByHandle), 0);
    RevertTarget();
    // Remembered: the next run asks nothing and still uses the older call.
    PreparePlatform({});
    RunWaitAndCopy(&copy_start);
    EXPECT_EQ(
        interposer::CountOf(Call::GetModuleHandleW) + interposer::CountOf(Call::GetProcAddress), 0);
    EXPECT_EQ(interposer::CountOf(Call::GetFileInformationByHandleEx), 0);
    EXPECT_TRUE(interposer::Platform().boxes.empty());
    EXPECT_EQ(ReadTree(target_), full_copy_);
  }
};

TEST_F(FirstUseLookup, ModuleHandleFails) { FailTheLookupAt(Call::GetModuleHandleW); }

TEST_F(FirstUseLookup, ProcAddressFails) { FailTheLookupAt(Call::GetProcAddress); }

// ---- Memory exhaustion -------------------------------------------------------

class MemoryExhaustion : public FaultInjection {
 protected:
  struct Outcome {
    int boxes = 0;
    long allocations = 0;  // made by the run, the failed one included
    bool failed = false;   // the armed allocation failure happened
    long live_change = 0;  // blocks the run left allocated
  };

  // Wait (the launcher for one scan) and copy, with the nth allocation
  // failing (none for 0), and every later one too when memory `stays_out`;
  // `box` receives the text of the first box.
  Outcome RunFailingAt(long nth, bool stays_out, const std::vector<interposer::Fault>& faults,
                       std::string* box) {
    PreparePlatform(faults);
    interposer::Platform().process_lists = {{L"VarenkoLauncher.exe"}, {L"explorer.exe"}};
    box->clear();
    box->reserve(4096);  // so that keeping the text allocates nothing below
    Outcome outcome;
    const long live_before = alloc::Live();
    alloc::FailAt(nth, stays_out);
    overlay::WaitForLauncherExit();
    overlay::CopyTree(source_.c_str(), target_.c_str());
    outcome.allocations = alloc::Count();
    outcome.failed = alloc::Failed();
    alloc::Disarm();
    interposer::State& platform = interposer::Platform();
    outcome.boxes = static_cast<int>(platform.boxes.size());
    if (outcome.boxes > 0) box->assign(platform.boxes[0].text);
    // The interposer's own records are not the program's memory.
    std::vector<interposer::LoggedCall>().swap(platform.log);
    std::vector<interposer::MessageBoxShown>().swap(platform.boxes);
    std::vector<DWORD>().swap(platform.sleeps);
    outcome.live_change = alloc::Live() - live_before;
    return outcome;
  }

  // The target after a run, then back to the original.
  Tree TakeTarget() {
    Tree target = ReadTree(target_);
    RevertTarget();
    return target;
  }

  // `failure` is the code the run ends with when memory suffices, or success
  // for a run that completes.
  void ExhaustEveryAllocation(const char* what, const std::vector<interposer::Fault>& faults,
                              overlay::error_code failure) {
    WarmUp(faults);
    const std::string exact = failure ? ExpectedText(failure) : std::string();
    const std::string unknown =
        "Unknown exception: \"" + Utf8(source_) + "\", \"" + Utf8(target_) + "\"";
    std::string box;
    // Once without failure: the allocations a whole run makes, and its outcome.
    const Outcome healthy = RunFailingAt(0, false, faults, &box);
    ASSERT_EQ(healthy.boxes, failure ? 1 : 0);
    ASSERT_EQ(box, exact);
    ASSERT_EQ(healthy.live_change, 0) << "a healthy run leaks";
    ASSERT_GT(healthy.allocations, 0);
    const Tree healthy_target = TakeTarget();
    const long total = healthy.allocations;

    // Memory short for one allocation, then out for good from that one on:
    // the box must still appear.
    std::map<std::string, int> outcomes;
    for (long step = 1; step <= 2 * (total + 1); ++step) {
      const bool stays_out = step > total + 1;
      const long nth = stays_out ? step - (total + 1) : step;
      SCOPED_TRACE("allocation " + std::to_string(nth) + " of " + std::to_string(total) +
                   (stays_out ? " and every later one fail" : " fails"));
      const OpenHandleCheck open_handles;
      const Outcome run = RunFailingAt(nth, stays_out, faults, &box);
      EXPECT_EQ(run.failed, nth <= total);
      EXPECT_EQ(run.live_change, 0) << "blocks leaked";
      open_handles.Expect();
      EXPECT_LE(run.boxes, 1) << "second box";
      std::string outcome;
      if (run.boxes == 0) {
        outcome = "completed without a box";
        // Only a run that completes when memory suffices may end so.
        EXPECT_FALSE(failure) << "the failure was lost";
        EXPECT_EQ(TakeTarget(), healthy_target);
      } else if (failure && box == exact) {
        outcome = "the failure text";
      } else if (box == overlay::bad_alloc().what()) {
        outcome = "bad allocation";
      } else if (box == unknown && !stays_out) {
        outcome = "Unknown exception with the roots";
      } else {
        outcome = "unexpected: " + box;
        ADD_FAILURE() << "box text: " << box;
      }
      RevertTarget();
      ++outcomes[outcome];
      if (HasFatalFailure()) break;
    }
    std::printf(
        "[ figures  ] memory exhaustion, %s: %ld allocations failed in turn (N = 1..%ld), "
        "then N = %ld where none fails; alone, then with every later one\n",
        what, total, total, total + 1);
    for (const auto& entry : outcomes) {
      std::printf("[ figures  ]   %-36s %d\n", entry.first.c_str(), entry.second);
    }
    RecordProperty(std::string(what) + " allocation failures tried", static_cast<int>(total));
  }
};

TEST_F(MemoryExhaustion, CompletedRunNeverCrashesLeaksOrShowsTwoBoxes) {
  ExhaustEveryAllocation("completed run", {}, overlay::error_code());
}

TEST_F(MemoryExhaustion, DeepConflictRunNeverCrashesLeaksOrShowsTwoBoxes) {
  // A directory of the source meets a file of the target three levels down.
  MakeDirectory(source_ + L"\\d1\\new\\deeper");
  WriteFileText(source_ + L"\\d1\\new\\deeper\\j.txt", "source j");
  source_tree_ = ReadTree(source_);
  conflict_ = true;
  ResetTarget();
  original_target_ = ReadTree(target_);
  ExhaustEveryAllocation("deep conflict", {}, overlay::MakeGenericCode(EEXIST));
}

TEST_F(MemoryExhaustion, RefusedCopyRunNeverCrashesLeaksOrShowsTwoBoxes) {
  // The report of a platform refusal also asks for the system's message.
  ExhaustEveryAllocation("refused file copy", {{Call::CopyFileW, 4, ERROR_ACCESS_DENIED}},
                         overlay::MakeSystemCode(ERROR_ACCESS_DENIED));
}

}  // namespace
