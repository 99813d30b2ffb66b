// Failed copies: one box naming the roots as given, and what is left on disk.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/checks.h"
#include "tests/e2e/e2e_config.h"
#include "tests/e2e/processes.h"
#include "tests/support/temp_tree.h"

namespace e2e {
namespace {

using namespace testing_tree;

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
  const std::string expected =
      ExpectedFailureText(SystemMessageText(ERROR_FILE_NOT_FOUND), source, target);
  if (::GetACP() == 1252) {
    ASSERT_NE(expected.find("\"" + AnsiText(work.path()) + "\\???????? ? \xE9\""),
              std::string::npos)
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

// A file held open as a running program may hold it: others may read it, not write it.
UniqueHandle HoldOpen(const std::wstring& path) {
  return UniqueHandle(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Relative paths below root in the order the platform enumerates them,
// each directory followed by what it holds: the order of the walk.
void ListInWalkOrder(const std::wstring& root, const std::wstring& relative,
                     std::vector<std::wstring>* order) {
  std::vector<std::wstring> children;
  ForEachEntry(relative.empty() ? root : root + L"\\" + relative,
               [&](const WIN32_FIND_DATAW& data) { children.push_back(data.cFileName); });
  for (const std::wstring& name : children) {
    const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
    order->push_back(child);
    if (IsDirectory(root + L"\\" + child)) ListInWalkOrder(root, child, order);
  }
}

// The entries in which two trees differ (their contents can be MiBs long).
std::vector<std::wstring> Differences(const Tree& a, const Tree& b) {
  std::vector<std::wstring> differences;
  for (const auto& entry : a) {
    if (b.count(entry.first) == 0 || b.at(entry.first) != entry.second) {
      differences.push_back(entry.first);
    }
  }
  for (const auto& entry : b) {
    if (a.count(entry.first) == 0) differences.push_back(entry.first);
  }
  return differences;
}

// The error the platform gives when a file copy fills the disk `folder` is on.
DWORD ErrorFillingDisk(const std::wstring& file, const std::wstring& folder) {
  MakeDirectory(folder);
  DWORD error = 0;
  for (int i = 0; error == 0 && i < 100; ++i) {
    const std::wstring copy = folder + L"\\" + std::to_wstring(i);
    if (!::CopyFileW(file.c_str(), copy.c_str(), FALSE)) error = ::GetLastError();
  }
  RemoveTree(folder);
  return error;
}

// A refusal the walk meets at one entry of the source.
struct Refusal {
  const char* what;
  std::wstring target;   // the target root; a fresh copy of the old game folder when empty
  std::wstring refused;  // the entry; the first not copied whole when empty
  std::string message;
  std::function<void()> prepare = nullptr, restore = nullptr;
  std::string refused_after = "";  // what the target then holds there; unchanged when empty
};

TEST(FailureBox, RefusalStopsTheCopyThereKeepingWhatCameBefore) {
  TempDir work;
  const std::wstring source = work / L"update", game = work / L"game";
  MakeDirectory(source);
  Tree old_game{
      {L"kept.txt", "only in the target"}, {L"levels", kDirectory}, {L"levels\\1.dat", "old"}};
  for (int i = 0; i < 5; ++i) {
    const std::wstring name = L"file" + std::to_wstring(i) + L".dat";
    WriteFileText(source + L"\\" + name, "new " + std::to_string(i));
    old_game[name] = "old " + std::to_string(i);
  }
  MakeTree(source, {{L"levels", kDirectory},
                    {L"levels\\1.dat", "new"},
                    {L"levels\\hard", kDirectory},
                    {L"levels\\hard\\2.dat", "new"}});
  // 4.5 MiB against the small disk's 4.
  for (char c : {'a', 'b', 'c'}) {
    WriteFileText(source + L"\\big " + wchar_t(c), std::string(3 << 19, c));
  }
  const Tree source_tree = ReadTree(source);
  std::vector<std::wstring> walk, files;
  ListInWalkOrder(source, L"", &walk);
  for (const std::wstring& entry : walk) {
    if (entry.compare(0, 4, L"file") == 0) files.push_back(entry);
  }
  // A file with others before and after it in the walk.
  const std::wstring middle = files[2], replaced = game + L"\\" + middle;
  const std::wstring foreign = PreparedByRoot() + L"\\shared\\foreign.dat";
  const std::wstring game_on_small_disk = PreparedByRoot() + L"\\small disk\\game";
  const DWORD disk_full = ErrorFillingDisk(source + L"\\big a", game_on_small_disk);
  ASSERT_TRUE(disk_full == ERROR_DISK_FULL || disk_full == ERROR_HANDLE_DISK_FULL) << disk_full;
  const std::string denied = SystemMessageText(ERROR_ACCESS_DENIED);
  UniqueHandle held;
  const Refusal refusals[] = {
      {"a protected install folder: refused at the first write", PreparedByRoot() + L"\\protected",
       walk.front(), denied},
      {"a read-only target file", L"", middle, denied,
       [&] { ASSERT_TRUE(::SetFileAttributesW(replaced.c_str(), FILE_ATTRIBUTE_READONLY)); },
       [&] { EXPECT_TRUE(::GetFileAttributesW(replaced.c_str()) & FILE_ATTRIBUTE_READONLY); }},
      {"another user's target file", L"", middle, denied,
       [&] {
         ASSERT_TRUE(::MoveFileExW(foreign.c_str(), replaced.c_str(), MOVEFILE_REPLACE_EXISTING));
       },
       [&] { ASSERT_TRUE(::MoveFileW(replaced.c_str(), foreign.c_str())); }},
      {"a target file held open for reading only", L"", middle,
       SystemMessageText(ERROR_SHARING_VIOLATION), [&] { held = HoldOpen(replaced); },
       [&] { held.Reset(); }},
      {"an unreadable source directory: refused when its enumeration opens", L"", L"levels\\hard",
       denied, [&] { ChangeMode(source + L"\\levels\\hard", "000"); },
       [&] { ChangeMode(source + L"\\levels\\hard", "755"); }, kDirectory},
      {"a source directory onto a target file", L"", L"levels\\hard", RuntimeErrnoText(EEXIST),
       [&] { WriteFileText(game + L"\\levels\\hard", "a file in the way"); }},
      {"a full disk", game_on_small_disk, L"", SystemMessageText(disk_full), nullptr,
       [&] { RemoveTree(game_on_small_disk); }},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.what);
    const std::wstring target = refusal.target.empty() ? game : refusal.target;
    if (refusal.target.empty()) {
      RemoveTree(game);
      MakeDirectory(game);
      MakeTree(game, old_game);
    }
    if (refusal.prepare) refusal.prepare();
    const Tree before = ReadTree(target);

    ExpectOneFailureBox(RunOverlay(Arguments(source, target)),
                        ExpectedFailureText(refusal.message, source, target));

    const Tree after = ReadTree(target);
    const auto copied_whole = [&](const std::wstring& entry) {
      return after.count(entry) != 0 && after.at(entry) == source_tree.at(entry);
    };
    const auto position = refusal.refused.empty()
                              ? std::find_if_not(walk.begin(), walk.end(), copied_whole)
                              : std::find(walk.begin(), walk.end(), refusal.refused);
    ASSERT_NE(position, walk.end()) << "everything was copied";
    const std::wstring refused = *position;
    Tree expected = before;
    for (auto entry = walk.begin(); entry != position; ++entry) {
      expected[*entry] = source_tree.at(*entry);
    }
    if (!refusal.refused_after.empty()) expected[refused] = refusal.refused_after;
    if (refusal.refused.empty()) {  // the file being written when the disk filled
      EXPECT_NE(position, walk.begin()) << "the disk was full before the copy";
      const bool remains = after.count(refused) != 0;
      std::printf("[ figures  ] disk full while writing %s (%zu bytes): %s\n",
                  Utf8(refused).c_str(), source_tree.at(refused).size(),
                  remains ? (std::to_string(after.at(refused).size()) + " bytes remain").c_str()
                          : "it is not there");
      if (remains) expected[refused] = after.at(refused);
    }
    EXPECT_EQ(Differences(after, expected), std::vector<std::wstring>())
        << "refused at " << Utf8(refused);
    if (refusal.restore) refusal.restore();
    EXPECT_EQ(Differences(ReadTree(source), source_tree), std::vector<std::wstring>());
  }
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
  MakeSymlink(work / L"source link", source);
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
  EXPECT_EQ(ReadTree(work.path()), (Tree{{L"source", kDirectory}, {L"source\\a.txt", "a"}}));
}

}  // namespace
}  // namespace e2e
