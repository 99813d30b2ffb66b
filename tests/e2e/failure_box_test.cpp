// Failed copies: one box naming the roots as given, and what is left on disk.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/checks.h"
#include "tests/e2e/expected_text.h"
#include "tests/e2e/processes.h"
#include "tests/e2e/trees.h"
#include "tests/support/temp_tree.h"

namespace e2e {
namespace {

using testing_tree::Exists;
using testing_tree::IsFile;
using testing_tree::MakeDirectory;
using testing_tree::ReadFileText;
using testing_tree::ReadTree;
using testing_tree::TempDir;
using testing_tree::Utf8;
using testing_tree::WriteFileText;

std::wstring Arguments(const std::wstring& source, const std::wstring& target) {
  return QuoteArgument(source) + L" " + QuoteArgument(target);
}

std::wstring WithForwardSlashes(std::wstring path) {
  std::replace(path.begin(), path.end(), L'\\', L'/');
  return path;
}

struct MissingSourceCase {
  std::wstring source;
  std::wstring target;
  DWORD error;  // what the platform answers for the missing source
};

TEST(FailureBox, MissingSourceNamesBothRootsAsGiven) {
  TempDir work;
  const std::wstring work_path = work.path();
  const MissingSourceCase cases[] = {
      {work / L"no such source", work / L"target", ERROR_FILE_NOT_FOUND},
      {work / L"no such folder\\source", work / L"target", ERROR_PATH_NOT_FOUND},
      {WithForwardSlashes(work / L"no such source"), work / L"target/", ERROR_FILE_NOT_FOUND},
      {L"no such source", L"my target", ERROR_FILE_NOT_FOUND},
      {L"..\\" + work_path.substr(work_path.rfind(L'\\') + 1) + L"\\gone", L".\\t",
       ERROR_FILE_NOT_FOUND},
  };
  for (const MissingSourceCase& test : cases) {
    SCOPED_TRACE("source " + Utf8(test.source) + ", target " + Utf8(test.target));
    const OverlayOutcome outcome = RunOverlay(Arguments(test.source, test.target), work.path());
    ExpectOneFailureBox(
        outcome, ExpectedFailureText(SystemMessageText(test.error), test.source, test.target));
    EXPECT_TRUE(ReadTree(work.path()).empty()) << "something was written";
  }
}

TEST(FailureBox, NonAsciiRootsAreShownInTheAnsiCodePage) {
  TempDir work;
  // Cyrillic, CJK and U+0100 (which a best-fit conversion would show as 'A')
  // lie outside code page 1252; é and ü lie inside it.
  const std::wstring source = work / L"Исходник Ā é";
  const std::wstring target = work / L"目標 ü";
  const std::wstring expected =
      ExpectedFailureText(SystemMessageText(ERROR_FILE_NOT_FOUND), source, target);
  if (::GetACP() == 1252) {
    ASSERT_NE(expected.find(L"\"" + work.path() + L"\\???????? ? \u00e9\""), std::wstring::npos)
        << "the case no longer needs the default character";
  }

  ExpectOneFailureBox(RunOverlay(Arguments(source, target)), expected);
  EXPECT_FALSE(Exists(target));
}

TEST(FailureBox, DirectoryOntoRegularFileTargetRoot) {
  TempDir work;
  const std::wstring source = work / L"source";
  const std::wstring target = work / L"target.txt";
  MakeDirectory(source);
  WriteFileText(source + L"\\a.txt", "a");
  WriteFileText(target, "a file in the way");

  ExpectOneFailureBox(RunOverlay(Arguments(source, target)),
                      ExpectedFailureText(RuntimeErrnoText(EEXIST), source, target));
  EXPECT_EQ(ReadFileText(target), "a file in the way");
}

// A file held open without sharing, as a running program may hold it.
UniqueHandle HoldOpenExclusively(const std::wstring& path) {
  return UniqueHandle(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The error the platform gives for copying over a file held open without sharing.
DWORD ErrorReplacingHeldFile(const std::wstring& scratch) {
  WriteFileText(scratch + L"\\from.txt", "from");
  WriteFileText(scratch + L"\\to.txt", "to");
  const UniqueHandle held = HoldOpenExclusively(scratch + L"\\to.txt");
  if (::CopyFileW((scratch + L"\\from.txt").c_str(), (scratch + L"\\to.txt").c_str(), FALSE)) {
    return 0;
  }
  return ::GetLastError();
}

TEST(FailureBox, TargetFileHeldOpenStopsTheCopyWithThePlatformsError) {
  TempDir work;
  TempDir scratch;
  const DWORD error = ErrorReplacingHeldFile(scratch.path());
  ASSERT_NE(error, 0u) << "this platform replaces files held open without sharing";
  const std::wstring source = work / L"source";
  const std::wstring target = work / L"target";
  MakeDirectory(source);
  WriteFileText(source + L"\\held.txt", "new");
  MakeDirectory(target);
  WriteFileText(target + L"\\held.txt", "old");
  UniqueHandle held = HoldOpenExclusively(target + L"\\held.txt");
  ASSERT_NE(held.get(), INVALID_HANDLE_VALUE);

  ExpectOneFailureBox(RunOverlay(Arguments(source, target)),
                      ExpectedFailureText(SystemMessageText(error), source, target));
  held.Reset();
  EXPECT_EQ(ReadFileText(target + L"\\held.txt"), "old");
}

// Relative paths below root in the order the platform enumerates them,
// each directory followed by what it holds: the order of the walk.
void ListInWalkOrder(const std::wstring& root, const std::wstring& relative,
                     std::vector<std::wstring>* order) {
  const std::wstring directory = relative.empty() ? root : root + L"\\" + relative;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((directory + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  std::vector<std::wstring> children;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") children.push_back(name);
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  for (const std::wstring& name : children) {
    const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
    order->push_back(child);
    if (testing_tree::IsDirectory(root + L"\\" + child)) ListInWalkOrder(root, child, order);
  }
}

TEST(FailureBox, DeepConflictStopsTheCopyKeepingWhatCameBefore) {
  TempDir work;
  const std::wstring source = work / L"source";
  const std::wstring target = work / L"target";
  MakeDirectory(source);
  std::wstring level;
  for (const wchar_t* name : {L"a", L"b", L"c", L"d"}) {
    level += (level.empty() ? L"" : L"\\") + std::wstring(name);
    MakeDirectory(source + L"\\" + level);
    for (int i = 0; i < 4; ++i) {
      WriteFileText(source + L"\\" + level + L"\\f" + std::to_wstring(i) + L".txt",
                    Utf8(level) + " " + std::to_string(i));
    }
  }
  const std::wstring conflict = L"a\\b\\c\\d";  // a directory in the source, a file in the target
  MakeDirectory(target);
  MakeDirectory(target + L"\\a");
  MakeDirectory(target + L"\\a\\b");
  MakeDirectory(target + L"\\a\\b\\c");
  WriteFileText(target + L"\\" + conflict, "a file in the way");
  WriteFileText(target + L"\\a\\b\\kept.txt", "only in the target");
  const Tree source_tree = ReadTree(source);
  std::vector<std::wstring> walk;
  ListInWalkOrder(source, L"", &walk);
  const auto conflict_position = std::find(walk.begin(), walk.end(), conflict);
  ASSERT_NE(conflict_position, walk.end());

  ExpectOneFailureBox(RunOverlay(Arguments(source, target)),
                      ExpectedFailureText(RuntimeErrnoText(EEXIST), source, target));

  const Tree after = ReadTree(target);
  for (auto entry = walk.begin(); entry != conflict_position; ++entry) {
    const auto copied = after.find(*entry);
    EXPECT_TRUE(copied != after.end() && copied->second == source_tree.at(*entry))
        << "not copied before the conflict: " << Utf8(*entry);
  }
  for (auto entry = conflict_position + 1; entry != walk.end(); ++entry) {
    EXPECT_EQ(after.count(*entry), 0u) << "copied after the conflict: " << Utf8(*entry);
  }
  EXPECT_EQ(after.at(conflict), "a file in the way");
  EXPECT_EQ(after.at(L"a\\b\\kept.txt"), "only in the target");
}

TEST(FailureBox, TargetInsideSourceIsRefusedWithoutWritingIntoIt) {
  TempDir work;
  const std::wstring source = work / L"source";
  MakeDirectory(source);
  MakeDirectory(source + L"\\sub");
  WriteFileText(source + L"\\sub\\a.txt", "a");
  const Tree before = ReadTree(source);
  const std::wstring targets[] = {source + L"\\copy", source + L"\\sub\\copy",
                                  source + L"\\sub\\new\\copy", source + L"\\sub"};
  for (const std::wstring& target : targets) {
    SCOPED_TRACE("target " + Utf8(target));
    ExpectOneFailureBox(RunOverlay(Arguments(source, target)),
                        ExpectedFailureText(RuntimeErrnoText(EINVAL), source, target));
    EXPECT_EQ(ReadTree(source), before);
  }
  SCOPED_TRACE("relative roots");
  ExpectOneFailureBox(RunOverlay(L"source source\\copy", work.path()),
                      ExpectedFailureText(RuntimeErrnoText(EINVAL), L"source", L"source\\copy"));
  EXPECT_EQ(ReadTree(source), before);
}

TEST(FailureBox, TargetSameAsSourceIsRefused) {
  TempDir work;
  const std::wstring source = work / L"source";
  MakeDirectory(source);
  WriteFileText(source + L"\\a.txt", "a");
  WriteFileText(work / L"file.txt", "file");
  ASSERT_TRUE(
      ::CreateHardLinkW((work / L"hard link.txt").c_str(), (work / L"file.txt").c_str(), nullptr));
  testing_tree::MakeSymlink(work / L"source link", source);
  const Tree before = ReadTree(work.path());
  const std::pair<std::wstring, std::wstring> cases[] = {
      {source, source + L"\\"},
      {source, WithForwardSlashes(source)},
      {source + L"\\.", source},
      {L"source", L".\\source"},
      {L"source", L"SOURCE"},
      {L"source", L"source link"},
      {L"source link", L"source"},
      {L"file.txt", L".\\file.txt"},
      {work / L"file.txt", L"file.txt"},
      {L"file.txt", L"hard link.txt"},
  };
  for (const auto& roots : cases) {
    SCOPED_TRACE("source " + Utf8(roots.first) + ", target " + Utf8(roots.second));
    ExpectOneFailureBox(RunOverlay(Arguments(roots.first, roots.second), work.path()),
                        ExpectedFailureText(RuntimeErrnoText(EEXIST), roots.first, roots.second));
    EXPECT_EQ(ReadTree(work.path()), before);
  }
}

// The error the platform gives for creating a directory at the empty path.
DWORD ErrorCreatingEmptyPath() {
  if (::CreateDirectoryW(L"", nullptr)) return 0;
  return ::GetLastError();
}

TEST(FailureBox, EmptyTargetRootShowsOnlyTheSource) {
  TempDir work;
  const std::wstring source = work / L"source";
  MakeDirectory(source);
  WriteFileText(source + L"\\a.txt", "a");
  const DWORD error = ErrorCreatingEmptyPath();
  ASSERT_NE(error, 0u);

  // copy: <message>: "<source>"
  ExpectOneFailureBox(RunOverlay(QuoteArgument(source) + L" \"\"", work.path()),
                      ExpectedFailureText(SystemMessageText(error), source, L""));
  EXPECT_EQ(ReadTree(work.path()), (Tree{{L"source", "<dir>"}, {L"source\\a.txt", "a"}}));
}

}  // namespace
}  // namespace e2e
