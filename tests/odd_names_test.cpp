// Odd names and lengths: paths at the platform's length limit, unusual
// names, names Windows paths cannot reach, names differing only in case.
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "tests/support/odd_trees.h"

namespace {

using namespace testing_tree;
using interposer::Call;

class OddNames : public OddTrees {};

TEST_F(OddNames, PathsJustUnderAtAndOverTheLengthLimit) {
  // The probe and both roots lie in one directory: Windows paths of one
  // length under it map to Unix paths of one length.
  MakeDirectory(temp_ / L"probe");
  const size_t limit = LongestCreatablePath(temp_ / L"probe");
  // The target root is 20 units longer than the source root, so every source
  // entry exists while the target's deepest ones meet the limit.
  const std::wstring source = temp_ / L"s";
  const std::wstring target = temp_ / (L"t" + std::wstring(20, L'p'));
  MakeDirectory(source);
  std::wstring relative;  // of the deepest directory
  const std::wstring level(200, L'd');
  while (target.size() + relative.size() + 1 + level.size() + 1 + 60 < limit) {
    relative += L"\\" + level;
    MakeDirectory(source + relative);
  }
  const size_t room = limit - (target.size() + relative.size() + 1);  // name length at the limit
  ASSERT_GT(room, 60u);
  ASSERT_LT(room, 255u);
  const std::wstring under = std::wstring(room - 1, L'u');
  const std::wstring at = std::wstring(room, L'a');
  const std::wstring over = std::wstring(room + 1, L'o');
  WriteFileText(source + relative + L"\\" + under, "just under");
  WriteFileText(source + relative + L"\\" + at, "at the limit");
  MakeDirectory(source + relative + L"\\" + std::wstring(room, L'e'));  // an empty directory at it
  ASSERT_EQ((target + relative + L"\\" + at).size(), limit);
  // Up to the limit everything is copied.
  EXPECT_EQ(Copy(source, target), "");
  const Tree copied = ReadTree(target);
  EXPECT_EQ(copied, ReadTree(source));
  EXPECT_EQ(ReadFileText(target + relative + L"\\" + at), "at the limit");
  Figure("longest creatable path: %zu UTF-16 units (Unix path of %zu bytes)", limit,
         UnixPathOf(target + relative + L"\\" + at).size());

  // One unit more and the platform refuses: its answer is in the box, and
  // what was copied stays.
  const std::wstring over_source = source + relative + L"\\" + over;
  const std::wstring over_target = target + relative + L"\\" + over;
  WriteFileText(over_source, "over the limit");
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_FALSE(::GetFileAttributesExW(over_target.c_str(), GetFileExInfoStandard, &data));
  const DWORD query_error = ::GetLastError();
  // The query answers "not there", so the walk goes on to the copy, whose answer is reported.
  ASSERT_TRUE(query_error == ERROR_FILE_NOT_FOUND || query_error == ERROR_PATH_NOT_FOUND)
      << query_error;
  ASSERT_FALSE(::CopyFileW(over_source.c_str(), over_target.c_str(), FALSE));
  const DWORD copy_error = ::GetLastError();
  Figure("over the limit: the status query answers %lu, the file copy %lu", query_error,
         copy_error);

  interposer::Reset();
  EXPECT_EQ(Copy(source, target), ExpectedSystemText(source, target, copy_error));
  EXPECT_EQ(interposer::CallsOf(Call::CopyFileW).back().path, over_target);
  ExpectTheLastCopyEndedTheWalk();
  EXPECT_EQ(ReadTree(target), copied);
  EXPECT_FALSE(Exists(over_target));
}

// ---- Names -----------------------------------------------------------------------

TEST_F(OddNames, UnusualNamesAreCopiedUnchanged) {
  const std::vector<std::wstring> names = {
      L"\u041f\u0440\u0438\u0432\u0435\u0442 \u043c\u0438\u0440.txt",  // Cyrillic, a blank
      L"\u6f22\u5b57\u30d5\u30a9\u30eb\u30c0",                         // CJK
      L"\U0001F600\U0001D11E.txt",                                     // outside the BMP
      L"with  two  blanks.txt",
      L" leading blank.txt",
      L".leading dot",
      L"..two leading dots.txt",
      L"semi;colon,comma=equals+plus[brackets]{braces}'quote'.txt",
      L"\u00e9\u00e8\u00ea-\u00df-\u00f8.txt"};
  MakeDirectory(source_);
  for (const std::wstring& name : names) {
    WriteFileText(source_ + L"\\" + name, Utf8(name));
  }
  // A directory with an odd name holding one too.
  const std::wstring cjk_directory = source_ + L"\\" + names[1];
  ::DeleteFileW(cjk_directory.c_str());
  MakeDirectory(cjk_directory);
  WriteFileText(cjk_directory + L"\\" + names[2], "deeper");
  const Tree source_tree = ReadTree(source_);
  ASSERT_EQ(source_tree.size(), names.size() + 1);

  EXPECT_EQ(Copy(source_, target_), "");
  EXPECT_EQ(ReadTree(target_), source_tree);
  Figure("%zu unusual names copied unchanged", names.size());
}

// Names Unix allows and Windows paths cannot reach. Paths drop a final dot
// or blank, so such a name would be read and written as another entry; a
// name the system takes as a device would address the device. The walk
// refuses both (invalid name) instead of copying the wrong file, merging
// into the wrong directory or writing to a device. Whether a name is a
// device, the system says of each path where the name is used: roots given
// as "\\?\..." or "\\.\..." take none as one.
struct UnreachableName {
  const char* case_name;
  const char* make;       // shell commands run in the source root
  const wchar_t* device;  // a name that is refused only where the system takes it as a device
  const wchar_t* source_form = L"";  // put before the source root
  const wchar_t* target_form = L"";  // put before the target root
};

class UnreachableNameTest : public OddTrees, public testing::WithParamInterface<UnreachableName> {};

TEST_P(UnreachableNameTest, IsRefusedNotCopiedAsAnotherEntry) {
  const UnreachableName& row = GetParam();
  MakeDirectory(source_);
  RunShell("cd " + ShellWord(source_) + " && " + row.make);
  const std::wstring source = row.source_form + source_, target = row.target_form + target_;
  bool refused = row.device == nullptr;
  for (const std::wstring& root : {source, target}) {
    wchar_t full[MAX_PATH] = L"";  // a device is exactly "\\.\" and one name
    if (row.device) ::GetFullPathNameW((root + L"\\" + row.device).c_str(), MAX_PATH, full, 0);
    refused = refused || (std::wcsncmp(full, L"\\\\.\\", 4) == 0 && !std::wcspbrk(full + 4, L"\\"));
  }
  EXPECT_EQ(Copy(source, target),
            refused ? ExpectedSystemText(source, target, ERROR_INVALID_NAME) : "");
  // Nothing was written under another entry's name, nor to a device.
  for (const auto& entry : ReadTree(target)) {
    if (entry.second == kDirectory) continue;
    EXPECT_EQ(entry.second, ReadFileText(source + L"\\" + entry.first)) << Utf8(entry.first);
  }
  if (!refused) {
    EXPECT_EQ(ReadTree(target), ReadTree(source));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, UnreachableNameTest,
    testing::Values(
        UnreachableName{"TrailingDot", "printf odd > 'trailing dot.'", nullptr},
        UnreachableName{"TrailingBlank", "printf odd > 'trailing blank '", nullptr},
        UnreachableName{"TwinWithADot", "printf first > twin && printf second > 'twin.'", nullptr},
        UnreachableName{
            "DirectoryWithADot",
            "mkdir data 'data.' && printf real > data/file && printf other > 'data./file'",
            nullptr},
        UnreachableName{"Nul", "printf odd > NUL", L"NUL"},
        UnreachableName{"SerialPortWithBlankAndExtension", "printf odd > 'com1 .txt'",
                        L"com1 .txt"},
        UnreachableName{"AuxWithExtension", "printf odd > aux.dat", L"aux.dat"},
        UnreachableName{"ConsoleInput", "printf odd > 'conin$'", L"conin$"},
        UnreachableName{"ConsoleWithAColon", "printf odd > 'con:'", L"con:"},
        // Listed names that the system may not take as devices.
        UnreachableName{"SerialPortZero", "printf odd > com0", L"com0"},
        UnreachableName{"PrinterPortZero", "printf odd > lpt0.x", L"lpt0.x"},
        UnreachableName{"NulUnderALocalDevicePathSource", "printf odd > nul", L"nul", L"\\\\?\\"},
        UnreachableName{"NulUnderALocalDevicePathTarget", "printf odd > nul", L"nul", L"",
                        L"\\\\?\\"},
        UnreachableName{"NulUnderDevicePathRoots", "printf odd > nul", L"nul", L"\\\\.\\",
                        L"\\\\.\\"}),
    ByCaseName());

TEST_F(OddNames, NamesDifferingOnlyInCaseMeetInOneTargetEntry) {
  MakeDirectory(source_);
  MakeDirectory(target_);
  // Only Unix can make both: Windows calls would open the first for the second.
  RunShell("cd " + ShellWord(source_) +
           " && printf upper > Name.txt && printf lower > name.txt && mkdir Dir dir"
           " && printf in-upper > Dir/one.txt && printf in-lower > dir/two.txt");
  ASSERT_TRUE(WaitUntilListed(source_, L"name.txt"));
  ASSERT_TRUE(WaitUntilListed(source_, L"dir"));
  const Tree source_tree = ReadTree(source_);
  ASSERT_EQ(source_tree.count(L"Name.txt"), 1u);
  ASSERT_EQ(source_tree.count(L"name.txt"), 1u);

  EXPECT_EQ(Copy(source_, target_), "");
  // The target's lookups ignore case: the second of each pair lands on the
  // entry the first one made, so the target holds one file, with the content
  // of the one copied last, under the name of the one copied first, and one
  // directory with the files of both.
  std::vector<std::wstring> file_order;
  for (const auto& call : interposer::CallsOf(Call::CopyFileW)) {
    const std::wstring name = call.path.substr(target_.size() + 1);
    if (::_wcsicmp(name.c_str(), L"name.txt") == 0) file_order.push_back(name);
  }
  ASSERT_EQ(file_order.size(), 2u);
  std::wstring first_directory;
  for (const auto& call : interposer::CallsOf(Call::CreateDirectoryW)) {
    if (first_directory.empty() && call.path != target_) {
      first_directory = call.path.substr(target_.size() + 1);
    }
  }
  const Tree target = ReadTree(target_);
  const Tree expected = {{file_order[0], source_tree.at(file_order[1])},
                         {first_directory, kDirectory},
                         {first_directory + L"\\one.txt", "in-upper"},
                         {first_directory + L"\\two.txt", "in-lower"}};
  EXPECT_EQ(target, expected);
  Figure("case pair: target holds '%s' with the content of '%s'; directories merged into '%s'",
         Utf8(file_order[0]).c_str(), Utf8(file_order[1]).c_str(), Utf8(first_directory).c_str());
}

// An existing target entry spelled differently keeps its spelling and takes the content.
TEST_F(OddNames, ExistingTargetEntrySpelledDifferentlyKeepsItsSpelling) {
  MakeDirectory(source_);
  MakeDirectory(target_);
  WriteFileText(source_ + L"\\Name.txt", "new");
  WriteFileText(target_ + L"\\NAME.TXT", "old");
  EXPECT_EQ(Copy(source_, target_), "");
  EXPECT_EQ(ReadTree(target_), (Tree{{L"NAME.TXT", "new"}}));
}

}  // namespace
