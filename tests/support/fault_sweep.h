// The fault sweep: a run of the launcher wait and the copy is recorded once,
// then run again with each call that can fail failing in turn, and every
// faulted run is checked as the phase of the failed call calls for. The tests
// derived from this fixture make the source and the target trees.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/launcher_wait.h"
#include "report/error_code.h"
#include "tests/support/platform_test.h"

class FaultSweep : public PlatformTest {
 protected:
  // Where a call of a recorded run belongs. The root query and the target
  // guard (at the root and at each link) only inform the walk: a refusal
  // there cannot tell, and the copy goes on. A refused identity of the newer
  // call is asked of the older one.
  enum class Phase { kWait, kRootQuery, kGuard, kAskedAgain, kWalk };
  static const char* NameOf(Phase phase);

  // A recorded run: its log, the phase of each call, its sleeps and boxes.
  struct Recording {
    std::vector<interposer::LoggedCall> log;
    std::vector<Phase> phases;
    int sleeps = 0;
    std::vector<interposer::MessageBoxShown> boxes;
    testing_tree::Tree target;  // as the run left it
  };

  // Which calls of a recorded run fail, how, and what the box then says.
  struct Scenario {
    std::vector<interposer::Fault> base_faults;  // failing in every run
    std::vector<DWORD> errors;                   // each call fails with each of these in turn
    std::function<std::string(const interposer::LoggedCall&, DWORD)> expected_box;
    size_t from = 0;                  // the first log position to fail
    std::set<interposer::Call> only;  // these calls only, when not empty
    int walk_end = -1;                // where a base fault ends the walk, if one does
  };

  // How the faulted runs of a scenario ended.
  struct Tally {
    int injected = 0;
    int boxes = 0;
    int completed = 0;
    std::map<std::string, int> by_call;
  };

  // Also checks that the source is as the test made it.
  void TearDown() override;

  // Takes the source as it stands, and `target` as the tree every run starts
  // from, and makes that target.
  void StartFrom(const testing_tree::Tree& target);
  // Makes the target anew.
  void ResetTarget();
  // Undoes what a run wrote, deepest first, so that the next run starts from
  // the original target without rebuilding it.
  void RevertTarget();

  // The platform as a run starts: the launcher is there for two scans.
  void PreparePlatform(const std::vector<interposer::Fault>& faults);
  // Wait and copy, as the program runs them; the log position where the copy began.
  size_t RunWaitAndCopy();
  // First-use lookups and statics happen here, outside what is measured.
  void WarmUp(const std::vector<interposer::Fault>& faults = {});
  Recording Record(const std::vector<interposer::Fault>& faults);

  // Runs the recording once more for each call of it that can fail (the nth
  // of its kind) and each error of the scenario, and checks every run.
  Tally FailEachCall(const Recording& recording, const Scenario& scenario);
  static void Print(const char* what, const Tally& tally);

  std::string ExpectedText(overlay::error_code code) const;

  testing_tree::TempDir temp_;
  const std::wstring source_ = temp_ / L"source";
  const std::wstring target_ = temp_ / L"target";
  // The launcher last in the first scan, first in the second, gone in the third.
  const std::vector<std::vector<std::wstring>> lists_ = {
      {L"explorer.exe", overlay::kLauncherImageName},
      {L"varenkolauncher.EXE", L"svchost.exe"},
      {L"explorer.exe", L"game.exe"}};
  testing_tree::Tree source_tree_;
  testing_tree::Tree original_target_;
  testing_tree::Tree full_copy_;  // the original target with the whole source laid over it

 private:
  bool CheckFaultedRun(const Recording& recording, size_t index,
                       const std::vector<interposer::Fault>& faults,
                       const std::string& expected_box, int walk_end);
  testing_tree::Tree TargetAfter(const std::vector<interposer::LoggedCall>& log, size_t end);
};
