// A source that changes under the walk.
#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/odd_trees.h"

namespace {

using namespace testing_tree;
using interposer::Call;

class OddChanges : public OddTrees {};

// Removes a file as soon as the walk, inside its first enumeration, has
// copied a first file (the enumeration has then read its first entries),
// and notes how many file copies the walk had made by then.
struct Remover {
  std::wstring path;
  volatile LONG* enumerations;
  volatile LONG* copies;
  LONG copies_when_removed = -1;
  BOOL removed = FALSE;
};

DWORD WINAPI RemoveOnceCopying(void* parameter) {
  auto* job = static_cast<Remover*>(parameter);
  const DWORD give_up = ::GetTickCount() + 20000;
  while (::InterlockedCompareExchange(job->enumerations, 0, 0) == 0 ||
         ::InterlockedCompareExchange(job->copies, 0, 0) == 0) {
    if (::GetTickCount() > give_up) return 1;
    ::Sleep(1);
  }
  job->removed = ::DeleteFileW(job->path.c_str());
  job->copies_when_removed = ::InterlockedCompareExchange(job->copies, 0, 0);
  return 0;
}

TEST_F(OddChanges, EntryRemovedBetweenEnumerationAndCopy) {
  constexpr int kFiles = 40;
  MakeDirectory(source_);
  for (int i = 0; i < kFiles; ++i) {
    WriteFileText(source_ + L"\\file" + std::to_wstring(i) + L".txt", std::string(20000, 'x'));
  }
  // The victim is an entry the enumeration returns late, so that a helper
  // thread removes it once the walk has opened the enumeration and well
  // before the walk reaches it.
  std::vector<std::wstring> order;
  ForEachEntry(source_, [&](const WIN32_FIND_DATAW& data) { order.push_back(data.cFileName); });
  ASSERT_EQ(order.size(), static_cast<size_t>(kFiles));
  const size_t victim_index = 30;
  const std::wstring victim = order[victim_index];
  // The helper can be scheduled too late on a busy machine; the walk is then
  // run again from the start (at most three times).
  int* counts = interposer::Platform().counts;
  Remover remover;
  std::string box;
  std::vector<interposer::LoggedCall> copies;
  int victim_copy = 0;  // 1-based among the file copies, 0 when never tried
  for (int attempt = 1;; ++attempt) {
    interposer::Reset();
    RemoveTree(target_);
    if (!Exists(source_ + L"\\" + victim)) {
      WriteFileText(source_ + L"\\" + victim, std::string(20000, 'x'));
    }
    remover =
        Remover{source_ + L"\\" + victim,
                reinterpret_cast<volatile LONG*>(&counts[static_cast<int>(Call::FindFirstFileExW)]),
                reinterpret_cast<volatile LONG*>(&counts[static_cast<int>(Call::CopyFileW)])};
    HANDLE thread = ::CreateThread(nullptr, 0, RemoveOnceCopying, &remover, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    box = Copy(source_, target_, /*source_changes=*/true);
    ::WaitForSingleObject(thread, 30000);
    ::CloseHandle(thread);
    ASSERT_TRUE(remover.removed);
    copies = interposer::CallsOf(Call::CopyFileW);
    victim_copy = 0;
    for (size_t i = 0; i < copies.size(); ++i) {
      if (copies[i].path == target_ + L"\\" + victim) victim_copy = static_cast<int>(i) + 1;
    }
    const bool too_late = victim_copy != 0 && remover.copies_when_removed >= victim_copy;
    if (!too_late) break;
    ASSERT_LT(attempt, 3) << "the helper never removed the entry before the walk reached it";
  }

  if (victim_copy != 0) {
    // Listed before it went: the walk tried it, and the platform's answer for
    // a file that is not there any more is the failure.
    ASSERT_FALSE(::CopyFileW(remover.path.c_str(), (temp_ / L"probe").c_str(), FALSE));
    const DWORD platform_error = ::GetLastError();
    EXPECT_EQ(box, ExpectedSystemText(source_, target_, platform_error));
    EXPECT_EQ(victim_copy, static_cast<int>(copies.size())) << "copies went on after it";
    EXPECT_EQ(ReadTree(target_).size(), static_cast<size_t>(victim_copy - 1));
    Figure(
        "entry removed after the walk opened its enumeration (after %ld copies): listed "
        "anyway, its copy answered %lu, reported",
        remover.copies_when_removed, platform_error);
  } else {
    // Gone before the enumeration returned it: the walk never saw it.
    EXPECT_EQ(box, "");
    const Tree target = ReadTree(target_);
    EXPECT_EQ(target.size(), static_cast<size_t>(kFiles - 1));
    EXPECT_EQ(target.count(victim), 0u);
    Figure(
        "entry removed after the walk opened its enumeration (after %ld copies): never "
        "listed, the rest copied without a box",
        remover.copies_when_removed);
  }
}

// The same, made certain with the seam: the copy of the second file answers
// that its source is gone.
TEST_F(OddChanges, EntryVanishingAtItsCopyIsReported) {
  MakeDirectory(source_);
  for (int i = 0; i < 4; ++i) {
    WriteFileText(source_ + L"\\file" + std::to_wstring(i) + L".txt", std::to_string(i));
  }
  interposer::Platform().faults.push_back({Call::CopyFileW, 2, ERROR_FILE_NOT_FOUND});
  EXPECT_EQ(Copy(source_, target_), ExpectedSystemText(source_, target_, ERROR_FILE_NOT_FOUND));
  ASSERT_EQ(interposer::CountOf(Call::CopyFileW), 2);
  ExpectTheLastCopyEndedTheWalk();
  const std::wstring first = interposer::CallsOf(Call::CopyFileW)[0].path;
  EXPECT_EQ(ReadTree(target_),
            (Tree{{first.substr(target_.size() + 1),
                   ReadFileText(source_ + L"\\" + first.substr(target_.size() + 1))}}));
}

}  // namespace
