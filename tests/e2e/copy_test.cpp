// Successful copies of the real process: roots as launchers write them, taken
// against overlay's working directory, and an update killed and run again.
// The copy's rules (what is replaced, kept, followed) are the unit tests'.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "tests/e2e/checks.h"
#include "tests/e2e/processes.h"
#include "tests/support/temp_tree.h"

namespace e2e {
namespace {

using namespace testing_tree;

// The target as it must be after the copy: its own entries, replaced or
// joined by the source's.
Tree Overlaid(const Tree& target, const Tree& source) {
  Tree result = target;
  for (const auto& entry : source) result[entry.first] = entry.second;
  return result;
}

// Roots written the ways launchers write them; each gets the whole source.
struct RootForm {
  const char* case_name;
  const wchar_t* source;  // below the test's folder, which holds the source
  const wchar_t* target;
  const wchar_t* copy_at;  // where the copy must then be
  bool relative = false;   // given relative to overlay's working directory
  bool forward_slashes = false;
};

class RootFormTest : public testing::TestWithParam<RootForm> {};

TEST_P(RootFormTest, GetsTheWholeSource) {
  TempDir work;
  MakeDirectory(work / L"source");
  MakeTree(work / L"source", {{L"f.txt", "f"}, {L"d", kDirectory}, {L"d\\g.txt", "g"}});
  const RootForm& form = GetParam();
  auto as_given = [&](const wchar_t* root) {
    const std::wstring path = form.relative ? root : work / root;
    return form.forward_slashes ? WithForwardSlashes(path) : path;
  };

  ExpectQuietExit(RunOverlay(Arguments(as_given(form.source), as_given(form.target)), work.path()));

  EXPECT_EQ(ReadTree(work / form.copy_at), ReadTree(work / L"source"));
}

INSTANTIATE_TEST_SUITE_P(
    Roots, RootFormTest,
    testing::Values(RootForm{"TrailingSeparators", L"source\\", L"trailing\\", L"trailing"},
                    RootForm{"ForwardSlashes", L"source", L"forward\\", L"forward", false, true},
                    RootForm{"Relative", L"source", L"out dir", L"out dir", true},
                    // Beside the source, though their paths begin with its path.
                    RootForm{"TargetNamedLikeTheSource", L"source", L"source2", L"source2"},
                    RootForm{"TargetExtendingItsName", L"source", L"source.bak\\", L"source.bak"}),
    ByCaseName());

// How far an interrupted update got: "<updated> of <to update> entries
// updated, <partly> partly written" (holding neither the old content nor the new).
std::string Progress(const Tree& tree, const Tree& before, const Tree& after) {
  int to_update = 0, updated = 0, partly = 0;
  for (const auto& entry : after) {
    const auto old = before.find(entry.first);
    if (old != before.end() && old->second == entry.second) continue;
    ++to_update;
    const auto now = tree.find(entry.first);
    if (now == tree.end() || (old != before.end() && old->second == now->second)) continue;
    ++(now->second == entry.second ? updated : partly);
  }
  return std::to_string(updated) + " of " + std::to_string(to_update) + " entries updated, " +
         std::to_string(partly) + " partly written";
}

// Thousands of files, the update killed at random moments: each time, overlay
// run again with the same roots completes it.
TEST(TreeCopy, UpdateKilledAtRandomMomentsIsCompletedByRunningItAgain) {
  TempDir work;
  const std::wstring source = work / L"update", target = work / L"game";
  MakeDirectory(source);
  Tree old_game{{L"saves", kDirectory}, {L"saves\\slot1.sav", "only in the game folder"}};
  constexpr int kDirectories = 20, kFilesEach = 50;
  for (int d = 0; d < kDirectories; ++d) {
    const std::wstring directory = L"dir" + std::to_wstring(d);
    MakeDirectory(source + L"\\" + directory);
    if (d % 2 == 0) old_game[directory] = kDirectory;
    for (int f = 0; f < kFilesEach; ++f) {
      const std::wstring file = directory + L"\\file" + std::to_wstring(f) + L".txt";
      // Sizes up to 40 KB, so that a kill can land inside a file.
      WriteFileText(source + L"\\" + file, std::to_string(d) + std::string(800 * f, 'n'));
      if (d % 2 == 0 && f % 5 == 0) old_game[file] = "old";
    }
  }
  const Tree expected = Overlaid(old_game, ReadTree(source));
  const auto restore_old_game = [&] {
    RemoveTree(target);
    MakeDirectory(target);
    MakeTree(target, old_game);
  };
  restore_old_game();
  const double start = NowSeconds();
  ExpectQuietExit(RunOverlay(Arguments(source, target), std::wstring(), 60000));
  const double whole_run = NowSeconds() - start;
  std::printf("[ measure  ] %zu entries copied in %.2f s\n", expected.size(), whole_run);
  ASSERT_TRUE(ReadTree(target) == expected);

  const unsigned seed = std::random_device()();
  std::mt19937 random(seed);
  std::uniform_int_distribution<DWORD> moment(0, static_cast<DWORD>(whole_run * 1000));
  for (int kill = 1; kill <= 10; ++kill) {
    restore_old_game();
    const DWORD killed_at = moment(random);
    const bool killed = !RunOverlay(Arguments(source, target), std::wstring(), killed_at).exited;
    const Tree interrupted = ReadTree(target);
    ExpectQuietExit(RunOverlay(Arguments(source, target), std::wstring(), 60000));
    const bool converged = ReadTree(target) == expected;
    EXPECT_TRUE(converged) << "seed " << seed << ", kill " << kill << " at " << killed_at << " ms";
    std::printf("[ measure  ] %s at %lu ms: %s; run again: %s\n",
                killed ? "killed" : "ended by itself before the kill", killed_at,
                Progress(interrupted, old_game, expected).c_str(),
                converged ? "converged" : "differs");
  }
}

}  // namespace
}  // namespace e2e
