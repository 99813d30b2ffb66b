// Huge and deep trees: a directory of thousands of entries, a tree of a
// hundred and fifty levels, and the stack of the deepest tree the platform
// allows.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/guarded_copy.h"
#include "tests/support/odd_trees.h"

namespace {

using namespace testing_tree;
using interposer::Call;

class OddSizes : public OddTrees {};

// Under Wine on a case-sensitive file system, every lookup of a name that is
// not there reads the whole directory to look for another spelling, so
// filling a directory with N new files costs N^2 entry reads in the platform
// (18,000 new files took over three minutes). The huge directory is
// therefore copied over a target that already holds its names, where each
// lookup is direct, and a smaller one into a new directory. Even so each
// entry costs about 1.7 ms under Wine (50,000 took 86 s on two busy cores),
// so the default size keeps the suite fast;
// OVERLAY_HUGE_DIRECTORY_ENTRIES=50000 runs the full size.
int HugeDirectoryEntries() {
  char value[16] = {};
  const DWORD length =
      ::GetEnvironmentVariableA("OVERLAY_HUGE_DIRECTORY_ENTRIES", value, sizeof value);
  const int entries = length > 0 && length < sizeof value ? std::atoi(value) : 0;
  return entries > 0 && entries <= 99999 ? entries : 3000;
}

TEST_F(OddSizes, HugeDirectory) {
  const int kEntries = HugeDirectoryEntries();
  MakeDirectory(source_);
  MakeDirectory(target_);
  const std::wstring big = source_ + L"\\big";
  const std::wstring big_target = target_ + L"\\big";
  MakeDirectory(big);
  MakeDirectory(big_target);
  const DWORD made_at = ::GetTickCount();
  const std::string names = "seq -f 'entry%05g' 1 " + std::to_string(kEntries);
  RunShell("cd " + ShellWord(big) + " && " + names +
           " | xargs touch && printf last > zzz-last.txt");
  RunShell("cd " + ShellWord(big_target) + " && " + names +
           " | while read f; do echo old > $f; done");
  ASSERT_TRUE(WaitUntilListed(big, L"zzz-last.txt"));
  const DWORD made_in = ::GetTickCount() - made_at;
  const Shape target_before = ShapeOf(big_target);
  ASSERT_EQ(target_before.size(), static_cast<size_t>(kEntries));
  ASSERT_EQ(target_before.at(L"entry00001").substr(0, 7), "file 4 ");

  const DWORD start = ::GetTickCount();
  EXPECT_EQ(Copy(source_, target_), "");
  const DWORD took = ::GetTickCount() - start;
  EXPECT_EQ(interposer::CountOf(Call::CopyFileW), kEntries + 1);
  // Every entry is there, replaced by the empty source file, and nothing else.
  const Shape copied = ShapeOf(big_target);
  EXPECT_EQ(copied.size(), static_cast<size_t>(kEntries + 1));
  int replaced = 0;
  for (const auto& entry : copied) {
    replaced += entry.second.compare(0, 7, "file 0 ") == 0 ? 1 : 0;
  }
  EXPECT_EQ(replaced, kEntries);
  EXPECT_EQ(ReadFileText(big_target + L"\\zzz-last.txt"), "last");
  Figure("%d entries in one directory over existing names: made in %lu ms, copied in %lu ms",
         kEntries + 1, made_in, took);

  // A smaller directory into a new one: every name is new to the target.
  constexpr int kNewEntries = 1000;
  const std::wstring small_source = temp_ / L"small";
  const std::wstring small_target = temp_ / L"small-target";
  MakeDirectory(small_source);
  RunShell("cd " + ShellWord(small_source) + " && seq -f 'new%05g' 1 " +
           std::to_string(kNewEntries) + " | xargs touch");
  ASSERT_TRUE(WaitUntilListed(small_source, L"new01000"));
  interposer::Reset();
  const DWORD small_start = ::GetTickCount();
  EXPECT_EQ(Copy(small_source, small_target), "");
  const DWORD small_took = ::GetTickCount() - small_start;
  EXPECT_EQ(ShapeOf(small_target).size(), static_cast<size_t>(kNewEntries));
  Figure("%d entries into a new directory: copied in %lu ms", kNewEntries, small_took);
}

TEST_F(OddSizes, TreeOfAHundredAndFiftyLevels) {
  constexpr int kLevels = 150;
  std::wstring relative;
  MakeDirectory(source_);
  for (int level = 1; level <= kLevels; ++level) {
    relative += L"\\" + std::to_wstring(level % 10);
    MakeDirectory(source_ + relative);
    if (level % 25 == 0) WriteFileText(source_ + relative + L"\\at.txt", std::to_string(level));
  }
  const Tree source_tree = ReadTree(source_);
  EXPECT_EQ(Copy(source_, target_), "");
  EXPECT_EQ(ReadTree(target_), source_tree);
  EXPECT_EQ(ReadFileText(target_ + relative + L"\\at.txt"), std::to_string(kLevels));
  Figure("%d levels copied (%zu entries)", kLevels, source_tree.size());
}

// The walk recurses once per level. At the platform's length limit a tree of
// one-character names is about two thousand levels deep. The stack a walk
// uses is measured on a thread of its own: the stack below is painted
// first, and after the walk the deepest byte that changed tells the use.
struct DeepCopy {
  std::wstring source, target;
  size_t used = 0;  // bytes of stack below the thread's entry
};

constexpr unsigned char kPaint = 0xA5;
// Painted below the thread's entry: more than the walks measured here use,
// less than the thread's reserve.
constexpr uintptr_t kPainted = 4 * 1024 * 1024;
constexpr SIZE_T kThreadStack = 8 * 1024 * 1024;

DWORD WINAPI CopyOnThread(void* parameter) {
  auto* job = static_cast<DeepCopy*>(parameter);
  const uintptr_t high = reinterpret_cast<uintptr_t>(&parameter) - 1024;
  const uintptr_t low = high - kPainted;
  // Downwards, one byte after the other, so that the stack grows page by page.
  for (uintptr_t at = high; at > low; --at) *reinterpret_cast<volatile unsigned char*>(at) = kPaint;
  overlay::CopyTree(job->source.c_str(), job->target.c_str());
  uintptr_t deepest = low + 1;
  while (deepest < high && *reinterpret_cast<volatile unsigned char*>(deepest) == kPaint) {
    ++deepest;
  }
  job->used = static_cast<size_t>(high - deepest);
  return 0;
}

// Copies `levels` one-character levels on a fresh thread; the stack it used.
size_t StackUsedByWalkOf(const std::wstring& root, int levels) {
  const std::wstring source = root + L"\\s";
  const std::wstring target = root + L"\\t";
  std::string chain;
  for (int level = 0; level < levels; ++level) chain += "/d";
  RunShell("mkdir -p " + ShellWord(root) + "/s" + chain);
  DeepCopy job{source, target};
  const Shape before = ShapeOf(source);
  interposer::Reset();
  HANDLE thread = ::CreateThread(nullptr, kThreadStack, CopyOnThread, &job,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  EXPECT_NE(thread, nullptr);
  EXPECT_EQ(::WaitForSingleObject(thread, 300000), WAIT_OBJECT_0);
  ::CloseHandle(thread);
  EXPECT_TRUE(interposer::Platform().boxes.empty());
  EXPECT_EQ(interposer::CountOf(Call::CreateDirectoryW), levels + 1);
  EXPECT_EQ(ShapeOf(source), before) << "something was written under the source root";
  return job.used;
}

TEST_F(OddSizes, StackOfTheDeepestTreeThePlatformAllows) {
  // The program's own stack reserve (the exe's link options).
  constexpr size_t kProgramStackReserve = 8 * 1024 * 1024;
  MakeDirectory(temp_ / L"probe");
  const size_t limit = LongestCreatablePath(temp_ / L"probe");
  MakeDirectory(temp_ / L"shallow");
  MakeDirectory(temp_ / L"deeper");
  const size_t shallow = StackUsedByWalkOf(temp_ / L"shallow", 10);
  const size_t deeper = StackUsedByWalkOf(temp_ / L"deeper", 210);
  const size_t per_level = (deeper - shallow) / 200;
  // The deepest tree of one-character names whose paths the platform takes.
  const size_t deepest_levels = (limit - (temp_ / L"deeper\\t").size()) / 2;
  const size_t needed = shallow + per_level * deepest_levels;
  Figure(
      "walk stack: %zu bytes at 10 levels, %zu at 210: %zu bytes a level; the deepest tree "
      "the platform allows (%zu levels) needs about %zu KiB of the program's %zu KiB",
      shallow, deeper, per_level, deepest_levels, needed / 1024, kProgramStackReserve / 1024);
  ASSERT_LT(deeper, kPainted / 2) << "the measurement itself needs more room";
  EXPECT_LT(needed, kProgramStackReserve - 256 * 1024)
      << "a tree the platform allows would overflow the program's stack";
}

}  // namespace
