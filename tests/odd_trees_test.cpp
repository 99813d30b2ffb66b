// Odd input on real trees: paths at the platform's length limit, unusual
// names, huge and deep directories, links and a source that changes under
// the walk (files the copy cannot replace are in the end-to-end tests, which
// run as an ordinary user). The real platform answers through the seam;
// faults are injected only where it cannot produce the case. No run ever
// writes under the source root.
#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "app/guarded_copy.h"
#include "report/failure.h"
#include "tests/support/copy_run.h"
#include "tests/support/temp_tree.h"

namespace {

using fake::Call;
using testing_tree::Exists;
using testing_tree::IsDirectory;
using testing_tree::IsFile;
using testing_tree::MakeDirectory;
using testing_tree::ReadFileText;
using testing_tree::ReadTree;
using testing_tree::TempDir;
using testing_tree::UnixPathOf;
using testing_tree::Utf8;
using testing_tree::WaitUntilListed;
using testing_tree::WriteFileText;
using Tree = std::map<std::wstring, std::string>;

constexpr char kDirectory[] = "<dir>";

// Prints one figure line for the report of this suite.
void Figure(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::printf("[ figures  ] ");
  std::vprintf(format, arguments);
  std::printf("\n");
  va_end(arguments);
}

// What a directory holds, without opening any file and without following
// links: name -> kind, size and last write time. Any write under the root
// changes it.
using Shape = std::map<std::wstring, std::string>;
void ShapeInto(const std::wstring& root, const std::wstring& relative, Shape* shape) {
  const std::wstring directory = relative.empty() ? root : root + L"\\" + relative;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((directory + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  std::vector<std::wstring> subdirectories;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
    const bool link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const bool directory_entry = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    (*shape)[child] = std::string(link ? "link " : "") + (directory_entry ? "dir " : "file ") +
                      std::to_string(data.nFileSizeLow) + " " +
                      std::to_string(data.ftLastWriteTime.dwLowDateTime) + " " +
                      std::to_string(data.dwFileAttributes);
    if (directory_entry && !link) subdirectories.push_back(child);
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  for (const std::wstring& child : subdirectories) ShapeInto(root, child, shape);
}
Shape ShapeOf(const std::wstring& root) {
  Shape shape;
  ShapeInto(root, L"", &shape);
  return shape;
}

std::string UnixPathText(const std::wstring& path) {
  const std::string unix_path = UnixPathOf(path);
  EXPECT_FALSE(unix_path.empty()) << "not running under Wine";
  return unix_path;
}

// Runs Unix shell commands (for what Windows calls cannot make: names that
// differ only in case, links, tens of thousands of files at once) and waits
// until their last effect is visible.
void RunShell(const std::string& commands) {
  TempDir scratch;
  const std::wstring script = scratch / L"script.sh";
  const std::wstring marker = scratch / L"done";
  WriteFileText(script, commands + "\ntouch '" + UnixPathText(marker) + "'\n");
  const std::string script_unix = UnixPathText(script);
  // Split by Windows rules: double quotes.
  std::wstring command = L"sh \"" + std::wstring(script_unix.begin(), script_unix.end()) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(::CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process));
  ::WaitForSingleObject(process.hProcess, 120000);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  for (int i = 0; i < 3000 && !Exists(marker); ++i) ::Sleep(10);
  ASSERT_TRUE(WaitUntilListed(scratch.path(), L"done")) << "the shell commands did not finish";
}

std::string Quoted(const std::wstring& path) { return "'" + UnixPathText(path) + "'"; }

class OddTrees : public PlatformTest {
 protected:
  // Runs the guarded copy and checks that nothing under the source root
  // changed; the text of its one box, or "" when none was shown.
  std::string Copy(const std::wstring& source, const std::wstring& target,
                   bool source_changes = false) {
    const Shape before = source_changes ? Shape() : ShapeOf(source);
    const DWORD handles_before = testing_tree::ProcessHandleCount();
    const std::string box = testing_tree::BoxTextOfCopy(source, target);
    if (!source_changes) {
      EXPECT_EQ(ShapeOf(source), before) << "something was written under the source root";
    }
    EXPECT_EQ(testing_tree::ProcessHandleCount(), handles_before) << "process handle leaked";
    EXPECT_EQ(fake::Platform().open_handles, 0);
    EXPECT_EQ(fake::Platform().open_finds, 0);
    ++copies_;
    return box;
  }

  static std::string Expected(const std::wstring& source, const std::wstring& target,
                              overlay::error_code code) {
    return testing_tree::ExpectedFailureText(source, target, code);
  }
  static std::string ExpectedSystem(const std::wstring& source, const std::wstring& target,
                                    DWORD error) {
    return Expected(source, target, overlay::MakeSystemCode(error));
  }

  // No file copy or directory creation follows the failing call `index`.
  static void ExpectNothingWrittenAfter(size_t index) {
    const auto& log = fake::Platform().log;
    for (size_t i = index + 1; i < log.size(); ++i) {
      EXPECT_NE(log[i].call, Call::CopyFileW) << "copy after the failure: " << Utf8(log[i].path);
      EXPECT_NE(log[i].call, Call::CreateDirectoryW)
          << "directory created after the failure: " << Utf8(log[i].path);
    }
  }

  // Position in the log of the last call of a kind.
  static int LastIndexOf(Call call) {
    const auto& log = fake::Platform().log;
    for (size_t i = log.size(); i-- > 0;) {
      if (log[i].call == call) return static_cast<int>(i);
    }
    return -1;
  }

  void TearDown() override {
    Figure("%s: %d copies run", ::testing::UnitTest::GetInstance()->current_test_info()->name(),
           copies_);
    PlatformTest::TearDown();
  }

  TempDir temp_;
  const std::wstring source_ = temp_ / L"source";
  const std::wstring target_ = temp_ / L"target";
  int copies_ = 0;
};

// ---- Lengths ---------------------------------------------------------------------

// The longest full path, in UTF-16 units, for which the platform still
// creates a file in `parent`'s tree, found by building nested 200-character
// directories and then trying the last name at every length.
size_t LongestCreatablePath(const std::wstring& parent) {
  std::wstring path = parent;
  const std::wstring level(200, L'n');
  while (::CreateDirectoryW((path + L"\\" + level).c_str(), nullptr)) path += L"\\" + level;
  size_t low = 0, high = 255;  // last name lengths known to work / to fail
  while (high - low > 1) {
    const size_t middle = (low + high) / 2;
    const std::wstring file = path + L"\\" + std::wstring(middle, L'f');
    HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      ::CloseHandle(handle);
      ::DeleteFileW(file.c_str());
      low = middle;
    } else {
      high = middle;
    }
  }
  testing_tree::RemoveTree(parent + L"\\" + level);
  return path.size() + 1 + low;
}

TEST_F(OddTrees, PathsJustUnderAtAndOverTheLengthLimit) {
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

  fake::Reset();
  EXPECT_EQ(Copy(source, target), ExpectedSystem(source, target, copy_error));
  const int failed = LastIndexOf(Call::CopyFileW);
  ASSERT_GE(failed, 0);
  EXPECT_EQ(fake::Platform().log[failed].path, over_target);
  ExpectNothingWrittenAfter(static_cast<size_t>(failed));
  EXPECT_EQ(ReadTree(target), copied);
  EXPECT_FALSE(Exists(over_target));
}

// ---- Names -----------------------------------------------------------------------

TEST_F(OddTrees, UnusualNamesAreCopiedUnchanged) {
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

  // A failure under such roots still shows one box naming them.
  const std::wstring odd_source = temp_ / names[0];
  const std::wstring odd_target = temp_ / names[2];
  MakeDirectory(odd_source);
  WriteFileText(odd_source + L"\\" + names[3], "x");
  fake::Reset();
  fake::Platform().faults.push_back({Call::CopyFileW, 1, ERROR_ACCESS_DENIED});
  EXPECT_EQ(Copy(odd_source, odd_target),
            ExpectedSystem(odd_source, odd_target, ERROR_ACCESS_DENIED));
}

// Names Unix allows and the Windows path rules cannot reach: a final dot or
// blank is dropped from every path the walk forms, so the walk asks for an
// entry that is not there and the platform's answer is the failure.
// Paths drop a final dot or blank, so such a name would be read and written
// as another entry; the walk refuses it (invalid name) instead of copying
// the wrong file or merging into the wrong directory.
TEST_F(OddTrees, NamesEndingInADotOrABlankAreRefusedNotCopiedAsAnotherEntry) {
  int case_number = 0;
  for (const std::string& make :
       {std::string("printf odd > 'trailing dot.'"), std::string("printf odd > 'trailing blank '"),
        std::string("printf first > twin && printf second > 'twin.'"),
        std::string(
            "mkdir data 'data.' && printf real > data/file && printf other > 'data./file'")}) {
    SCOPED_TRACE(make);
    fake::Reset();
    const std::wstring source = temp_ / (L"s-" + std::to_wstring(++case_number));
    const std::wstring target = temp_ / (L"t-" + std::to_wstring(case_number));
    MakeDirectory(source);
    RunShell("cd " + Quoted(source) + " && " + make);
    EXPECT_EQ(Copy(source, target), ExpectedSystem(source, target, ERROR_INVALID_NAME));
    // Nothing was written under another entry's name.
    for (const auto& entry : ReadTree(target)) {
      if (entry.second == "<dir>") continue;
      EXPECT_EQ(entry.second, ReadFileText(source + L"\\" + entry.first)) << Utf8(entry.first);
    }
  }
}

TEST_F(OddTrees, NamesDifferingOnlyInCaseMeetInOneTargetEntry) {
  MakeDirectory(source_);
  MakeDirectory(target_);
  // Only Unix can make both: Windows calls would open the first for the second.
  RunShell("cd " + Quoted(source_) +
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
  for (const auto& call : fake::CallsOf(Call::CopyFileW)) {
    const std::wstring name = call.path.substr(target_.size() + 1);
    if (::_wcsicmp(name.c_str(), L"name.txt") == 0) file_order.push_back(name);
  }
  ASSERT_EQ(file_order.size(), 2u);
  std::wstring first_directory;
  for (const auto& call : fake::CallsOf(Call::CreateDirectoryW)) {
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

  // An existing target entry spelled differently keeps its spelling and takes the content.
  fake::Reset();
  testing_tree::RemoveTree(target_);
  MakeDirectory(target_);
  WriteFileText(target_ + L"\\NAME.TXT", "old");
  EXPECT_EQ(Copy(source_, target_), "");
  const Tree second = ReadTree(target_);
  EXPECT_EQ(second.count(L"NAME.TXT"), 1u);
  EXPECT_EQ(second.count(L"Name.txt") + second.count(L"name.txt"), 0u);
  EXPECT_EQ(second.at(L"NAME.TXT"), source_tree.at(file_order[1]));
}

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

TEST_F(OddTrees, HugeDirectory) {
  const int kEntries = HugeDirectoryEntries();
  MakeDirectory(source_);
  MakeDirectory(target_);
  const std::wstring big = source_ + L"\\big";
  const std::wstring big_target = target_ + L"\\big";
  MakeDirectory(big);
  MakeDirectory(big_target);
  const DWORD made_at = ::GetTickCount();
  const std::string names = "seq -f 'entry%05g' 1 " + std::to_string(kEntries);
  RunShell("cd " + Quoted(big) + " && " + names + " | xargs touch && printf last > zzz-last.txt");
  RunShell("cd " + Quoted(big_target) + " && " + names + " | while read f; do echo old > $f; done");
  ASSERT_TRUE(WaitUntilListed(big, L"zzz-last.txt"));
  const DWORD made_in = ::GetTickCount() - made_at;
  const Shape target_before = ShapeOf(big_target);
  ASSERT_EQ(target_before.size(), static_cast<size_t>(kEntries));
  ASSERT_EQ(target_before.at(L"entry00001").substr(0, 7), "file 4 ");

  const DWORD start = ::GetTickCount();
  EXPECT_EQ(Copy(source_, target_), "");
  const DWORD took = ::GetTickCount() - start;
  EXPECT_EQ(fake::CountOf(Call::CopyFileW), kEntries + 1);
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
  RunShell("cd " + Quoted(small_source) + " && seq -f 'new%05g' 1 " + std::to_string(kNewEntries) +
           " | xargs touch");
  ASSERT_TRUE(WaitUntilListed(small_source, L"new01000"));
  fake::Reset();
  const DWORD small_start = ::GetTickCount();
  EXPECT_EQ(Copy(small_source, small_target), "");
  const DWORD small_took = ::GetTickCount() - small_start;
  EXPECT_EQ(ShapeOf(small_target).size(), static_cast<size_t>(kNewEntries));
  Figure("%d entries into a new directory: copied in %lu ms", kNewEntries, small_took);
}

TEST_F(OddTrees, TreeOfAHundredAndFiftyLevels) {
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
  RunShell("mkdir -p " + Quoted(root) + "/s" + chain);
  DeepCopy job{source, target};
  const Shape before = ShapeOf(source);
  fake::Reset();
  HANDLE thread = ::CreateThread(nullptr, kThreadStack, CopyOnThread, &job,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  EXPECT_NE(thread, nullptr);
  EXPECT_EQ(::WaitForSingleObject(thread, 300000), WAIT_OBJECT_0);
  ::CloseHandle(thread);
  EXPECT_TRUE(fake::Platform().boxes.empty());
  EXPECT_EQ(fake::CountOf(Call::CreateDirectoryW), levels + 1);
  EXPECT_EQ(ShapeOf(source), before) << "something was written under the source root";
  return job.used;
}

TEST_F(OddTrees, StackOfTheDeepestTreeThePlatformAllows) {
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

// ---- Links ------------------------------------------------------------------------

TEST_F(OddTrees, LinkToAnAncestorEndsInAReportedFailureNotAHang) {
  MakeDirectory(source_);
  MakeDirectory(source_ + L"\\a");
  WriteFileText(source_ + L"\\a\\file.txt", "x");
  testing_tree::MakeSymlink(source_ + L"\\a\\up", source_);
  ASSERT_TRUE(WaitUntilListed(source_ + L"\\a", L"up"));

  // What the platform answers for the first path through the loop it cannot resolve.
  std::wstring looped = source_;
  DWORD platform_error = 0;
  int depth = 0;
  for (; depth < 2000 && platform_error == 0; ++depth) {
    looped += L"\\a\\up";
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((looped + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
      platform_error = ::GetLastError();
    } else {
      ::FindClose(find);
    }
  }
  ASSERT_NE(platform_error, 0u);

  const DWORD start = ::GetTickCount();
  const std::string box = Copy(source_, target_);
  const DWORD took = ::GetTickCount() - start;
  EXPECT_EQ(box, ExpectedSystem(source_, target_, platform_error));
  EXPECT_LT(took, 20000u);
  // The copy went down the loop as far as the platform resolved it.
  int target_depth = 0;
  for (std::wstring path = target_; IsDirectory(path + L"\\a\\up"); path += L"\\a\\up") {
    ++target_depth;
  }
  Figure(
      "link to an ancestor: the platform stops resolving at depth %d with %lu; the copy "
      "stopped after %lu ms having made %d levels",
      depth, platform_error, took, target_depth);
  EXPECT_GE(target_depth, depth - 2);
}

TEST_F(OddTrees, DanglingLinks) {
  MakeDirectory(source_);
  WriteFileText(source_ + L"\\real.txt", "real");
  testing_tree::MakeSymlink(source_ + L"\\dangling", temp_ / L"nowhere");
  RunShell("test -L " + Quoted(source_ + L"\\dangling"));
  // How the platform lists a link that leads nowhere.
  bool listed = false;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileExW((source_ + L"\\*").c_str(), FindExInfoBasic, &data,
                                   FindExSearchNameMatch, nullptr, 0);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  do {
    listed = listed || std::wstring(data.cFileName) == L"dangling";
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  Figure("a dangling link is %s by the platform's enumeration", listed ? "listed" : "not listed");

  const std::string box = Copy(source_, target_);
  if (listed) {
    // Reached by the walk: the platform's not-found answer is the failure.
    EXPECT_TRUE(box == ExpectedSystem(source_, target_, ERROR_FILE_NOT_FOUND) ||
                box == ExpectedSystem(source_, target_, ERROR_PATH_NOT_FOUND))
        << box;
  } else {
    // Invisible to the walk, like to every other program: the rest is copied.
    EXPECT_EQ(box, "");
    EXPECT_EQ(ReadTree(target_), (Tree{{L"real.txt", "real"}}));
  }

  // A dangling link as the source root is reported as not found, before anything is written.
  const std::wstring dangling_root = temp_ / L"dangling-root";
  testing_tree::MakeSymlink(dangling_root, temp_ / L"nowhere");
  RunShell("test -L " + Quoted(dangling_root));
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  ASSERT_FALSE(::GetFileAttributesExW(dangling_root.c_str(), GetFileExInfoStandard, &attributes));
  const DWORD root_error = ::GetLastError();
  EXPECT_TRUE(root_error == ERROR_FILE_NOT_FOUND || root_error == ERROR_PATH_NOT_FOUND);
  fake::Reset();
  const std::wstring fresh_target = temp_ / L"fresh-target";
  EXPECT_EQ(Copy(dangling_root, fresh_target),
            ExpectedSystem(dangling_root, fresh_target, root_error));
  EXPECT_FALSE(Exists(fresh_target));
  EXPECT_EQ(fake::CountOf(Call::CreateDirectoryW) + fake::CountOf(Call::CopyFileW), 0);
}

TEST_F(OddTrees, LinkInTheTargetLeadingToADirectoryIsWrittenThrough) {
  MakeDirectory(source_);
  MakeDirectory(source_ + L"\\shared");
  WriteFileText(source_ + L"\\shared\\new.txt", "new");
  MakeDirectory(source_ + L"\\shared\\sub");
  WriteFileText(source_ + L"\\shared\\sub\\deep.txt", "deep");
  TempDir elsewhere;
  WriteFileText(elsewhere / L"kept.txt", "kept");
  MakeDirectory(target_);
  testing_tree::MakeSymlink(target_ + L"\\shared", elsewhere.path());
  ASSERT_TRUE(WaitUntilListed(target_, L"shared"));

  EXPECT_EQ(Copy(source_, target_), "");
  EXPECT_EQ(ReadTree(elsewhere.path()), (Tree{{L"kept.txt", "kept"},
                                              {L"new.txt", "new"},
                                              {L"sub", kDirectory},
                                              {L"sub\\deep.txt", "deep"}}));
  // Still the link: nothing replaced it with a directory of its own.
  EXPECT_TRUE(::GetFileAttributesW((target_ + L"\\shared").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
}

// ---- A source that changes under the walk -------------------------------------------

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

TEST_F(OddTrees, EntryRemovedBetweenEnumerationAndCopy) {
  constexpr int kFiles = 40;
  MakeDirectory(source_);
  for (int i = 0; i < kFiles; ++i) {
    WriteFileText(source_ + L"\\file" + std::to_wstring(i) + L".txt", std::string(20000, 'x'));
  }
  // The victim is an entry the enumeration returns late, so that a helper
  // thread removes it once the walk has opened the enumeration and well
  // before the walk reaches it.
  std::vector<std::wstring> order;
  {
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((source_ + L"\\*").c_str(), &data);
    do {
      const std::wstring name = data.cFileName;
      if (name != L"." && name != L"..") order.push_back(name);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
  }
  ASSERT_EQ(order.size(), static_cast<size_t>(kFiles));
  const size_t victim_index = 30;
  const std::wstring victim = order[victim_index];
  // The helper can be scheduled too late on a busy machine; the walk is then
  // run again from the start (at most three times).
  int* counts = fake::Platform().counts;
  Remover remover;
  std::string box;
  std::vector<fake::LoggedCall> copies;
  int victim_copy = 0;  // 1-based among the file copies, 0 when never tried
  for (int attempt = 1;; ++attempt) {
    fake::Reset();
    testing_tree::RemoveTree(target_);
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
    copies = fake::CallsOf(Call::CopyFileW);
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
    EXPECT_EQ(box, ExpectedSystem(source_, target_, platform_error));
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
TEST_F(OddTrees, EntryVanishingAtItsCopyIsReported) {
  MakeDirectory(source_);
  for (int i = 0; i < 4; ++i) {
    WriteFileText(source_ + L"\\file" + std::to_wstring(i) + L".txt", std::to_string(i));
  }
  fake::Platform().faults.push_back({Call::CopyFileW, 2, ERROR_FILE_NOT_FOUND});
  EXPECT_EQ(Copy(source_, target_), ExpectedSystem(source_, target_, ERROR_FILE_NOT_FOUND));
  ASSERT_EQ(fake::CountOf(Call::CopyFileW), 2);
  ExpectNothingWrittenAfter(static_cast<size_t>(LastIndexOf(Call::CopyFileW)));
  const std::wstring first = fake::CallsOf(Call::CopyFileW)[0].path;
  EXPECT_EQ(ReadTree(target_),
            (Tree{{first.substr(target_.size() + 1),
                   ReadFileText(source_ + L"\\" + first.substr(target_.size() + 1))}}));
}

}  // namespace
