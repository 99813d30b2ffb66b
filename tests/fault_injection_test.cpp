// Every platform call of a realistic run made to fail, one at a time, and every
// allocation of a run made to fail, one at a time: the run always ends, shows
// at most one box with the right text, stops writing at the failure, leaves
// what was copied before it, never writes under the source and never leaves a
// handle, an enumeration or a block of memory behind.
#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "app/guarded_copy.h"
#include "app/launcher_wait.h"
#include "report/failure.h"
#include "tests/support/allocation.h"
#include "tests/support/copy_run.h"
#include "tests/support/fault_sweep.h"

namespace {

using interposer::Call;
using namespace testing_tree;

class FaultInjection : public FaultSweep {
 protected:
  void SetUp() override {
    FaultSweep::SetUp();
    // The source: files at several levels, an empty directory, a directory
    // reached through a link that leads outside the source.
    MakeDirectory(source_);
    MakeTree(source_, {{L"a.txt", "source a"},
                       {L"b.txt", "source b"},
                       {L"empty", kDirectory},
                       {L"d1", kDirectory},
                       {L"d1\\c.txt", "source c"},
                       {L"d1\\d2", kDirectory},
                       {L"d1\\d2\\e.txt", "source e"},
                       {L"d1\\d2\\d3", kDirectory},
                       {L"d1\\d2\\d3\\f.txt", "source f"},
                       {L"d1\\new", kDirectory},
                       {L"d1\\new\\g.txt", "source g"}});
    MakeDirectory(outside_);
    MakeTree(outside_,
             {{L"h.txt", "outside h"}, {L"sub", kDirectory}, {L"sub\\i.txt", "outside i"}});
    MakeSymlink(source_ + L"\\linked", outside_);
    ASSERT_TRUE(WaitUntilListed(source_, L"linked"));
    // The target: some files and directories the copy replaces or keeps.
    StartFrom({{L"a.txt", "old a"},
               {L"keep.txt", "kept"},
               {L"d1", kDirectory},
               {L"d1\\c.txt", "old c"},
               {L"d1\\old.txt", "old only in the target"},
               {L"d1\\d2", kDirectory},
               {L"other", kDirectory},
               {L"other\\x.txt", "other x"}});
    ASSERT_EQ(source_tree_.count(L"linked\\sub\\i.txt"), 1u) << "the link is not followed";
  }

  void FailEveryCallOfTheRealisticRun(const char* what) {
    WarmUp();
    const Recording recording = Record({});
    ASSERT_TRUE(recording.boxes.empty());
    // Which call reads attributes and identities depends on the system.
    const int info = interposer::CountOf(Call::GetFileInformationByHandle);
    const int info_ex = interposer::CountOf(Call::GetFileInformationByHandleEx);
    EXPECT_GT(RunningWithoutInfoEx() ? info : info_ex, 0);
    EXPECT_EQ(RunningWithoutInfoEx() ? info_ex : info, 0);
    Scenario scenario;
    scenario.errors = {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION};
    scenario.expected_box = [&](const interposer::LoggedCall&, DWORD error) {
      return ExpectedText(overlay::MakeSystemCode(error));
    };
    const Tally tally = FailEachCall(recording, scenario);
    Print(what, tally);
    EXPECT_GT(tally.boxes, 0);
    EXPECT_GT(tally.completed, 0);
  }

  const std::wstring outside_ = temp_ / L"outside";
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
    failable += interposer::FailureOf(recording.log[i].call) != interposer::FailureKind::kNever;
  }
  for (Phase phase :
       {Phase::kWait, Phase::kRootQuery, Phase::kGuard, Phase::kAskedAgain, Phase::kWalk}) {
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
      return FailureTextOf("unknown error", source_, target_);
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
    RunWaitAndCopy();
    ASSERT_EQ(interposer::CountOf(call), 2) << "two functions looked up once, at first use";
    EXPECT_TRUE(interposer::Platform().boxes.empty());
    EXPECT_EQ(ReadTree(target_), full_copy_);
    EXPECT_EQ(interposer::CountOf(Call::GetFileInformationByHandleEx), 0);
    EXPECT_GT(interposer::CountOf(Call::GetFileInformationByHandle), 0);
    RevertTarget();
    // Remembered: the next run asks nothing and still uses the older call.
    PreparePlatform({});
    RunWaitAndCopy();
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
    interposer::Platform().process_lists = {{overlay::kLauncherImageName}, {L"explorer.exe"}};
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
    const Tree healthy_target = ReadTree(target_);
    RevertTarget();
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
        EXPECT_EQ(ReadTree(target_), healthy_target);
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
  MakeTree(source_, {{L"d1\\new\\deeper", kDirectory}, {L"d1\\new\\deeper\\j.txt", "source j"}});
  Tree target = original_target_;
  target[L"d1\\new"] = kDirectory;
  target[L"d1\\new\\deeper"] = "a file where the source has a directory";
  StartFrom(target);
  ExhaustEveryAllocation("deep conflict", {}, overlay::MakeGenericCode(EEXIST));
}

TEST_F(MemoryExhaustion, RefusedCopyRunNeverCrashesLeaksOrShowsTwoBoxes) {
  // The report of a platform refusal also asks for the system's message.
  ExhaustEveryAllocation("refused file copy", {{Call::CopyFileW, 4, ERROR_ACCESS_DENIED}},
                         overlay::MakeSystemCode(ERROR_ACCESS_DENIED));
}

}  // namespace
