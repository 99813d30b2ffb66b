#include "tests/support/fault_sweep.h"

#include <cstdio>

#include "app/guarded_copy.h"
#include "app/launcher_wait.h"
#include "tests/support/allocation.h"
#include "tests/support/copy_run.h"

using interposer::Call;
using namespace testing_tree;

namespace {

// How many calls of the kind of log[index] the log holds up to and including it.
int NthOf(const std::vector<interposer::LoggedCall>& log, size_t index) {
  int nth = 0;
  for (size_t i = 0; i <= index; ++i) nth += log[i].call == log[index].call ? 1 : 0;
  return nth;
}

}  // namespace

const char* FaultSweep::NameOf(Phase phase) {
  static const char* const kNames[] = {"wait", "root query", "target guard", "asked again", "walk"};
  return kNames[static_cast<int>(phase)];
}

void FaultSweep::TearDown() {
  alloc::Disarm();
  PlatformTest::TearDown();
  EXPECT_EQ(ReadTree(source_), source_tree_) << "the source changed";
}

void FaultSweep::StartFrom(const Tree& target) {
  source_tree_ = ReadTree(source_);
  original_target_ = target;
  ResetTarget();
  full_copy_ = original_target_;
  for (const auto& entry : source_tree_) full_copy_[entry.first] = entry.second;
}

void FaultSweep::ResetTarget() {
  RemoveTree(target_);
  MakeDirectory(target_);
  MakeTree(target_, original_target_);
}

void FaultSweep::RevertTarget() {
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

void FaultSweep::PreparePlatform(const std::vector<interposer::Fault>& faults) {
  ResetPlatform();
  interposer::State& platform = interposer::Platform();
  platform.fake_processes = true;
  platform.process_lists = lists_;
  platform.faults = faults;
}

size_t FaultSweep::RunWaitAndCopy() {
  overlay::WaitForLauncherExit();
  const size_t copy_start = interposer::Platform().log.size();
  overlay::CopyTree(source_.c_str(), target_.c_str());
  return copy_start;
}

void FaultSweep::WarmUp(const std::vector<interposer::Fault>& faults) {
  PreparePlatform(faults);
  RunWaitAndCopy();
  ASSERT_LE(interposer::Platform().boxes.size(), 1u);
  RevertTarget();
}

FaultSweep::Recording FaultSweep::Record(const std::vector<interposer::Fault>& faults) {
  ResetTarget();
  PreparePlatform(faults);
  const size_t copy_start = RunWaitAndCopy();
  Recording recording;
  recording.log = interposer::Platform().log;
  recording.sleeps = static_cast<int>(interposer::Platform().sleeps.size());
  recording.boxes = interposer::Platform().boxes;
  recording.target = ReadTree(target_);
  RevertTarget();
  // The root's own query comes first; the walk begins by querying the target
  // root. Without names that may be devices, only the target guard's rule
  // asks for a full path in the walk, at the root and at each link, up to
  // where the counterpart is made.
  const int walk_start =
      interposer::IndexOf(recording.log, Call::GetFileAttributesExW, 2, copy_start);
  EXPECT_GE(walk_start, 0);
  bool in_check = false;
  for (size_t i = 0; i < recording.log.size(); ++i) {
    const Call call = recording.log[i].call;
    in_check = call == Call::GetFullPathNameW || (in_check && call != Call::CreateDirectoryW);
    recording.phases.push_back(i < copy_start                     ? Phase::kWait
                               : static_cast<int>(i) < walk_start ? Phase::kRootQuery
                               : in_check                         ? Phase::kGuard
                               : recording.log[i].detail == 18 &&
                                       call == Call::GetFileInformationByHandleEx
                                   ? Phase::kAskedAgain
                                   : Phase::kWalk);
  }
  return recording;
}

// The target after a run whose log is `log`: what was there, plus every file
// copied and directory created before position `end`.
Tree FaultSweep::TargetAfter(const std::vector<interposer::LoggedCall>& log, size_t end) {
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

std::string FaultSweep::ExpectedText(overlay::error_code code) const {
  return ExpectedFailureText(source_, target_, code);
}

// Runs once more with `faults`, the last of which hits the call at `index` of
// `recording`, and checks the outcome the phase of that call calls for.
// `expected_box` is the box text a walk failure must show. `walk_end` is the
// position of the failure that ends the walk when an earlier fault ends it,
// or -1. Returns true when a box was shown.
bool FaultSweep::CheckFaultedRun(const Recording& recording, size_t index,
                                 const std::vector<interposer::Fault>& faults,
                                 const std::string& expected_box, int walk_end) {
  const size_t stop = walk_end >= 0 ? static_cast<size_t>(walk_end) : index;
  const interposer::Fault& fault = faults.back();
  const Phase phase = recording.phases[index];
  SCOPED_TRACE(std::string(interposer::NameOf(fault.call)) + " #" + std::to_string(fault.nth) +
               " (log position " + std::to_string(index) + ", " + NameOf(phase) + ") fails with " +
               std::to_string(fault.error));
  const OpenHandleCheck open_handles;
  PreparePlatform(faults);
  RunWaitAndCopy();
  const interposer::State& platform = interposer::Platform();
  const std::vector<interposer::LoggedCall>& log = platform.log;
  open_handles.Expect();

  // Up to the failing call the run is the recorded one.
  const int failed_at = interposer::IndexOf(log, fault.call, fault.nth);
  bool same_course = failed_at == static_cast<int>(index);
  for (size_t i = 0; same_course && i < index; ++i) {
    same_course = log[i].call == recording.log[i].call && log[i].path == recording.log[i].path;
  }
  const int sleeps = static_cast<int>(platform.sleeps.size());
  if (!same_course) {
    ADD_FAILURE() << "the run took another course than the recorded one";
  } else if (phase != Phase::kWalk) {
    // A scan that cannot be read sees no launcher: the wait can only end
    // sooner. The root query and the target guard only inform the walk.
    // Either way the copy runs and copies everything.
    if (phase == Phase::kWait) {
      EXPECT_LE(sleeps, recording.sleeps);
    } else {
      EXPECT_EQ(sleeps, recording.sleeps);
    }
    EXPECT_TRUE(platform.boxes.empty()) << (platform.boxes.empty() ? "" : platform.boxes[0].text);
    EXPECT_EQ(ReadTree(target_), full_copy_);
  } else {
    EXPECT_EQ(sleeps, recording.sleeps);
    EXPECT_EQ(platform.boxes.size(), 1u);
    if (!platform.boxes.empty()) {
      const interposer::MessageBoxShown& box = platform.boxes[0];
      EXPECT_EQ(box.text, expected_box);
      EXPECT_EQ(box.caption, "ERROR");
      EXPECT_EQ(box.style, static_cast<UINT>(MB_OK));
      EXPECT_EQ(box.owner, nullptr);
    }
    for (size_t i = stop + 1; i < log.size(); ++i) {
      EXPECT_TRUE(interposer::ReleasesOrReports(log[i].call))
          << interposer::NameOf(log[i].call) << " after the failure: " << Utf8(log[i].path);
    }
    EXPECT_EQ(ReadTree(target_), TargetAfter(log, stop));
  }
  const bool boxed = !platform.boxes.empty();
  RevertTarget();
  return boxed;
}

FaultSweep::Tally FaultSweep::FailEachCall(const Recording& recording, const Scenario& scenario) {
  Tally tally;
  for (size_t i = scenario.from; i < recording.log.size(); ++i) {
    const interposer::LoggedCall& call = recording.log[i];
    const interposer::FailureKind fails = interposer::FailureOf(call.call);
    if (fails == interposer::FailureKind::kNever) continue;
    if (!scenario.only.empty() && scenario.only.count(call.call) == 0) continue;
    // A call the base faults already fail is not failed a second time.
    bool already_failing = false;
    for (const interposer::Fault& base : scenario.base_faults) {
      already_failing = already_failing || (base.call == call.call &&
                                            (base.detail == -1 || base.detail == call.detail) &&
                                            (base.nth == 0 || base.nth == NthOf(recording.log, i)));
    }
    if (already_failing) continue;
    for (DWORD error : scenario.errors) {
      if (error == ERROR_SHARING_VIOLATION && fails != interposer::FailureKind::kFailsOrIsHeld) {
        continue;
      }
      // Creation refused with "access denied" is looked at again (Windows
      // answers so for a drive root); a write-protected volume's refusal stands.
      if (call.call == interposer::Call::CreateDirectoryW && error == ERROR_ACCESS_DENIED) {
        error = ERROR_WRITE_PROTECT;
      }
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

void FaultSweep::Print(const char* what, const Tally& tally) {
  std::printf("[ figures  ] %s: %d faults injected, %d ended in one box, %d completed\n", what,
              tally.injected, tally.boxes, tally.completed);
  std::string calls;
  for (const auto& entry : tally.by_call) {
    calls += " " + entry.first + "=" + std::to_string(entry.second);
  }
  std::printf("[ figures  ]   by call:%s\n", calls.c_str());
  ::testing::Test::RecordProperty(std::string(what) + " faults injected", tally.injected);
}
