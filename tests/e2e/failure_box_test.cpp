// Failed copies of the real process: the real box and its text, refusals by
// real permissions and a full disk, and roots taken against the working
// directory. What makes a copy fail, and how the text is composed, are the
// unit tests' (copy_test, odd_*_test, report_test).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/e2e/checks.h"
#include "tests/e2e/e2e_config.h"
#include "tests/e2e/processes.h"
#include "tests/support/temp_tree.h"

namespace e2e {
namespace {

using namespace testing_tree;

TEST(FailureBox, NonAsciiRootsAreShownInTheAnsiCodePage) {
  TempDir work;
  // Cyrillic, CJK and U+0100 (which a best-fit conversion would show as 'A')
  // lie outside code page 1252; é and ü lie inside it.
  const std::wstring source = work / L"Исходник Ā é";
  const std::wstring target = work / L"目標 ü";
  const std::string expected =
      FailureTextOf(SystemMessageText(ERROR_FILE_NOT_FOUND), source, target);
  if (::GetACP() == 1252) {
    ASSERT_NE(expected.find("\"" + AnsiText(work.path()) + "\\???????? ? \xE9\""),
              std::string::npos)
        << "the case no longer needs the default character";
  }

  ExpectOneFailureBox(RunOverlay(Arguments(source, target)), expected);
  EXPECT_FALSE(Exists(target));
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

// Where the walk meets a refusal.
enum class RefusedAt {
  kFirstEntry,          // the first entry of the walk
  kMiddleFile,          // a file with others before and after it in the walk
  kHardLevel,           // the directory levels\hard
  kWhereTheDiskFilled,  // the first entry not copied whole
};

class RefusalTest;

// A refusal the walk meets at one entry of the source, made real for one run.
struct Refusal {
  const char* case_name;
  RefusedAt at;
  // Makes the refusal, and may point the target root elsewhere; returns the
  // error the box must then describe.
  DWORD (*make)(RefusalTest& test);
  // Undoes it, or checks what it left, after the run (also after a failed one).
  void (*undo)(RefusalTest& test) = nullptr;
  const char* refused_after = nullptr;  // what the refused entry then holds; unchanged when null
};

// An update of files, levels and three 1.5 MiB files (4.5 MiB against the
// small disk's 4), and a game folder holding older versions of some of them.
class RefusalTest : public testing::TestWithParam<Refusal> {
 public:
  void SetUp() override {
    MakeDirectory(source);
    for (int i = 0; i < 5; ++i) {
      const std::wstring name = L"file" + std::to_wstring(i) + L".dat";
      WriteFileText(source + L"\\" + name, "new " + std::to_string(i));
      old_game[name] = "old " + std::to_string(i);
    }
    MakeTree(source, {{L"levels", kDirectory},
                      {L"levels\\1.dat", "new"},
                      {L"levels\\hard", kDirectory},
                      {L"levels\\hard\\2.dat", "new"}});
    for (char c : {'a', 'b', 'c'}) {
      WriteFileText(source + L"\\big " + wchar_t(c), std::string(3 << 19, c));
    }
    source_tree = ReadTree(source);
    ListInWalkOrder(source, L"", &walk);
    std::vector<std::wstring> files;
    for (const std::wstring& entry : walk) {
      if (entry.compare(0, 4, L"file") == 0) files.push_back(entry);
    }
    ASSERT_EQ(files.size(), 5u);
    middle_file = files[2];
    MakeDirectory(game);
    MakeTree(game, old_game);
  }

  void TearDown() override {
    if (GetParam().undo) GetParam().undo(*this);
    EXPECT_EQ(Differences(ReadTree(source), source_tree), std::vector<std::wstring>())
        << "the source changed";
  }

  // The game folder's file at the middle file.
  std::wstring Replaced() const { return game + L"\\" + middle_file; }

  std::wstring RefusedEntry() const {
    switch (GetParam().at) {
      case RefusedAt::kFirstEntry:
        return walk.front();
      case RefusedAt::kMiddleFile:
        return middle_file;
      case RefusedAt::kHardLevel:
        return L"levels\\hard";
      case RefusedAt::kWhereTheDiskFilled:
        break;
    }
    return std::wstring();
  }

  TempDir work;
  const std::wstring source = work / L"update", game = work / L"game";
  std::wstring target = game;
  Tree old_game{
      {L"kept.txt", "only in the target"}, {L"levels", kDirectory}, {L"levels\\1.dat", "old"}};
  Tree source_tree;
  std::vector<std::wstring> walk;  // the source's entries in the order of the walk
  std::wstring middle_file;
  UniqueHandle held;
};

TEST_P(RefusalTest, StopsTheCopyThereKeepingWhatCameBefore) {
  const DWORD error = GetParam().make(*this);
  ASSERT_FALSE(HasFailure()) << "the refusal could not be made";
  const Tree before = ReadTree(target);

  ExpectOneFailureBox(RunOverlay(Arguments(source, target)),
                      FailureTextOf(SystemMessageText(error), source, target));

  const Tree after = ReadTree(target);
  const auto copied_whole = [&](const std::wstring& entry) {
    return after.count(entry) != 0 && after.at(entry) == source_tree.at(entry);
  };
  const bool disk_filled = GetParam().at == RefusedAt::kWhereTheDiskFilled;
  const auto position = disk_filled ? std::find_if_not(walk.begin(), walk.end(), copied_whole)
                                    : std::find(walk.begin(), walk.end(), RefusedEntry());
  ASSERT_NE(position, walk.end()) << "everything was copied";
  const std::wstring refused = *position;
  Tree expected = before;
  for (auto entry = walk.begin(); entry != position; ++entry) {
    expected[*entry] = source_tree.at(*entry);
  }
  if (GetParam().refused_after != nullptr) expected[refused] = GetParam().refused_after;
  if (disk_filled) {  // the file being written when the disk filled
    EXPECT_NE(position, walk.begin()) << "the disk was full before the copy";
    const bool remains = after.count(refused) != 0;
    std::printf("[ figures  ] disk full while writing %s (%zu bytes): %s\n", Utf8(refused).c_str(),
                source_tree.at(refused).size(),
                remains ? (std::to_string(after.at(refused).size()) + " bytes remain").c_str()
                        : "it is not there");
    if (remains) expected[refused] = after.at(refused);
  }
  EXPECT_EQ(Differences(after, expected), std::vector<std::wstring>())
      << "refused at " << Utf8(refused);
}

std::wstring ForeignFile() { return PreparedByRoot() + L"\\shared\\foreign.dat"; }

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusalTest,
    testing::Values(
        // Another user's folder: refused at the first write.
        Refusal{"ProtectedInstallFolder", RefusedAt::kFirstEntry,
                [](RefusalTest& test) -> DWORD {
                  test.target = PreparedByRoot() + L"\\protected";
                  return ERROR_ACCESS_DENIED;
                }},
        Refusal{
            "ReadOnlyTargetFile", RefusedAt::kMiddleFile,
            [](RefusalTest& test) -> DWORD {
              EXPECT_TRUE(::SetFileAttributesW(test.Replaced().c_str(), FILE_ATTRIBUTE_READONLY));
              return ERROR_ACCESS_DENIED;
            },
            [](RefusalTest& test) {
              EXPECT_TRUE(::GetFileAttributesW(test.Replaced().c_str()) & FILE_ATTRIBUTE_READONLY);
            }},
        Refusal{"AnotherUsersTargetFile", RefusedAt::kMiddleFile,
                [](RefusalTest& test) -> DWORD {
                  EXPECT_TRUE(::MoveFileExW(ForeignFile().c_str(), test.Replaced().c_str(),
                                            MOVEFILE_REPLACE_EXISTING));
                  return ERROR_ACCESS_DENIED;
                },
                [](RefusalTest& test) {
                  EXPECT_TRUE(::MoveFileW(test.Replaced().c_str(), ForeignFile().c_str()));
                }},
        // As a running program may hold it: others may read it, not write it.
        Refusal{"TargetFileHeldOpenForReading", RefusedAt::kMiddleFile,
                [](RefusalTest& test) -> DWORD {
                  test.held = UniqueHandle(::CreateFileW(test.Replaced().c_str(), GENERIC_READ,
                                                         FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                         FILE_ATTRIBUTE_NORMAL, nullptr));
                  EXPECT_NE(test.held.get(), INVALID_HANDLE_VALUE);
                  return ERROR_SHARING_VIOLATION;
                }},
        // Refused when its enumeration opens.
        Refusal{"UnreadableSourceDirectory", RefusedAt::kHardLevel,
                [](RefusalTest& test) -> DWORD {
                  ChangeMode(test.source + L"\\levels\\hard", "000");
                  return ERROR_ACCESS_DENIED;
                },
                [](RefusalTest& test) { ChangeMode(test.source + L"\\levels\\hard", "755"); },
                kDirectory},
        Refusal{"FullDisk", RefusedAt::kWhereTheDiskFilled,
                [](RefusalTest& test) -> DWORD {
                  test.target = PreparedByRoot() + L"\\small disk\\game";
                  const DWORD error = ErrorFillingDisk(test.source + L"\\big a", test.target);
                  EXPECT_TRUE(error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) << error;
                  return error;
                },
                [](RefusalTest& test) { RemoveTree(test.target); }}),
    ByCaseName());

// Roots given relative to overlay's working directory that name the source
// itself or lie inside it: resolved there, refused before anything is
// written, and named in the box as given.
struct RelativeRoots {
  const char* case_name;
  const wchar_t* source;
  const wchar_t* target;
  int verdict;                    // EEXIST: the same object; EINVAL: inside it
  bool full_source_path = false;  // the source given by its full path instead
};

class RelativeRootsTest : public testing::TestWithParam<RelativeRoots> {
 protected:
  void SetUp() override {
    MakeDirectory(work_ / L"source");
    MakeDirectory(work_ / L"source\\sub");
    WriteFileText(work_ / L"source\\sub\\a.txt", "a");
    WriteFileText(work_ / L"file.txt", "file");
    ASSERT_TRUE(::CreateHardLinkW((work_ / L"hard link.txt").c_str(), (work_ / L"file.txt").c_str(),
                                  nullptr));
    MakeSymlink(work_ / L"source link", work_ / L"source");
  }

  TempDir work_;
};

TEST_P(RelativeRootsTest, AreRefusedWithoutWritingAndNamedAsGiven) {
  const RelativeRoots& roots = GetParam();
  const std::wstring source = roots.full_source_path ? work_ / roots.source : roots.source;
  const Tree before = ReadTree(work_.path());

  ExpectOneFailureBox(RunOverlay(Arguments(source, roots.target), work_.path()),
                      FailureTextOf(RuntimeErrnoText(roots.verdict), source, roots.target));

  EXPECT_EQ(ReadTree(work_.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Refused, RelativeRootsTest,
    testing::Values(
        RelativeRoots{"TargetInsideTheSource", L"source", L"source\\copy", EINVAL},
        RelativeRoots{"SourceWrittenWithADot", L"source", L".\\source", EEXIST},
        RelativeRoots{"SourceEndingInADot", L"source\\.", L"source", EEXIST},
        RelativeRoots{"SourceInAnotherCase", L"source", L"SOURCE", EEXIST},
        RelativeRoots{"SourceThroughALinkAsTheSourceRoot", L"source link", L"source", EEXIST},
        RelativeRoots{"FileWrittenWithADot", L"file.txt", L".\\file.txt", EEXIST},
        RelativeRoots{"FileByItsFullPathAndRelative", L"file.txt", L"file.txt", EEXIST, true},
        RelativeRoots{"FileThroughAHardLink", L"file.txt", L"hard link.txt", EEXIST}),
    ByCaseName());

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
                      FailureTextOf(SystemMessageText(error), source, L""));
  EXPECT_EQ(ReadTree(work.path()), (Tree{{L"source", kDirectory}, {L"source\\a.txt", "a"}}));
}

}  // namespace
}  // namespace e2e
