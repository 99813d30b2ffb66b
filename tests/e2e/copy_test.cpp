// Successful copies: the source tree laid over the target tree, no box.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
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

void SetLastWriteOneDayAhead(const std::wstring& path) {
  HANDLE file = ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER time{{now.dwLowDateTime, now.dwHighDateTime}};
  time.QuadPart += 24ull * 3600 * 10000000;
  const FILETIME ahead{time.LowPart, time.HighPart};
  EXPECT_TRUE(::SetFileTime(file, nullptr, nullptr, &ahead));
  ::CloseHandle(file);
}

TEST(TreeCopy, LaysSourceOverTargetKeepingWhatOnlyTheTargetHas) {
  TempDir work;
  const std::wstring source = work / L"my source";
  const std::wstring target = work / L"my target";
  MakeDirectory(source);
  MakeDirectory(target);
  MakeTree(source, {{L"a.txt", "new a"},
                    {L"sub", kDirectory},
                    {L"sub\\b.txt", "new b"},
                    {L"sub\\deeper", kDirectory},
                    {L"sub\\deeper\\c.txt", "c"},
                    {L"empty", kDirectory},
                    {L"only in source", kDirectory},
                    {L"only in source\\d.txt", ""}});
  MakeTree(target, {{L"a.txt", "old a, longer than the new content"},
                    {L"sub", kDirectory},
                    {L"sub\\b.txt", "old b, newer than the source's"},
                    {L"sub\\kept.txt", "only in the target"},
                    {L"kept root.txt", "only in the target"},
                    {L"only in target", kDirectory},
                    {L"only in target\\x.txt", "x"}});
  SetLastWriteOneDayAhead(target + L"\\sub\\b.txt");
  const Tree source_before = ReadTree(source);
  const Tree expected = Overlaid(ReadTree(target), source_before);

  ExpectQuietExit(RunOverlay(Arguments(source, target)));

  EXPECT_EQ(ReadTree(target), expected);
  EXPECT_EQ(ReadTree(source), source_before);
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
    std::wstring path = form.relative ? root : work / root;
    if (form.forward_slashes) std::replace(path.begin(), path.end(), L'\\', L'/');
    return path;
  };

  ExpectQuietExit(RunOverlay(Arguments(as_given(form.source), as_given(form.target)), work.path()));

  EXPECT_EQ(ReadTree(work / form.copy_at), ReadTree(work / L"source"));
}

INSTANTIATE_TEST_SUITE_P(
    Roots, RootFormTest,
    testing::Values(RootForm{"MissingTarget", L"source", L"new target", L"new target"},
                    RootForm{"TrailingSeparators", L"source\\", L"trailing\\", L"trailing"},
                    RootForm{"ForwardSlashes", L"source", L"forward\\", L"forward", false, true},
                    RootForm{"Relative", L"source", L"out dir", L"out dir", true},
                    // Beside the source, though their paths begin with its path.
                    RootForm{"TargetNamedLikeTheSource", L"source", L"source2", L"source2"},
                    RootForm{"TargetExtendingItsName", L"source", L"source.bak\\", L"source.bak"}),
    ByCaseName());

TEST(TreeCopy, SourceFileOntoTargetDirectoryLandsInsideIt) {
  TempDir work;
  const std::wstring source = work / L"notes.txt";
  const std::wstring target = work / L"dest";
  WriteFileText(source, "notes");
  MakeDirectory(target);
  WriteFileText(target + L"\\other.txt", "other");

  ExpectQuietExit(RunOverlay(Arguments(source, target)));

  EXPECT_EQ(ReadTree(target), (Tree{{L"notes.txt", "notes"}, {L"other.txt", "other"}}));
}

TEST(TreeCopy, SourceFileOntoExistingTargetFileReplacesIt) {
  TempDir work;
  const std::wstring source = work / L"new.txt";
  const std::wstring target = work / L"old.txt";
  WriteFileText(source, "new");
  WriteFileText(target, "old and longer");
  SetLastWriteOneDayAhead(target);

  ExpectQuietExit(RunOverlay(Arguments(source, target)));

  EXPECT_EQ(ReadFileText(target), "new");
  EXPECT_EQ(ReadFileText(source), "new");
}

TEST(TreeCopy, SymlinkedDirectoryInSourceBecomesARealDirectory) {
  TempDir work;
  TempDir elsewhere;
  MakeTree(elsewhere.path(),
           {{L"inner.txt", "inner"}, {L"deep", kDirectory}, {L"deep\\x.txt", "x"}});
  const std::wstring source = work / L"source";
  const std::wstring target = work / L"target";
  MakeDirectory(source);
  WriteFileText(source + L"\\plain.txt", "plain");
  MakeSymlink(source + L"\\linked", elsewhere.path());
  ASSERT_TRUE(IsDirectory(source + L"\\linked"));

  ExpectQuietExit(RunOverlay(Arguments(source, target)));

  EXPECT_EQ(ReadTree(target), (Tree{{L"plain.txt", "plain"},
                                    {L"linked", kDirectory},
                                    {L"linked\\inner.txt", "inner"},
                                    {L"linked\\deep", kDirectory},
                                    {L"linked\\deep\\x.txt", "x"}}));
  const DWORD attributes = ::GetFileAttributesW((target + L"\\linked").c_str());
  EXPECT_EQ(attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u) << "the copy is a link";
  // What is written into the copy stays there: it does not lead elsewhere.
  WriteFileText(target + L"\\linked\\added.txt", "added");
  EXPECT_FALSE(Exists(elsewhere / L"added.txt")) << "the copy leads to the linked directory";
}

TEST(TreeCopy, SymlinkedSourceRootAndFileLinksAreFollowed) {
  TempDir work;
  MakeDirectory(work / L"real");
  MakeTree(work / L"real", {{L"r.txt", "r"}, {L"sub", kDirectory}, {L"sub\\s.txt", "s"}});
  WriteFileText(work / L"outside.txt", "outside");
  MakeSymlink(work / L"real\\file link.txt", work / L"outside.txt");
  MakeSymlink(work / L"root link", work / L"real");
  ASSERT_TRUE(IsDirectory(work / L"root link"));
  const std::wstring target = work / L"target";

  ExpectQuietExit(RunOverlay(Arguments(work / L"root link", target)));

  EXPECT_EQ(ReadTree(target), (Tree{{L"r.txt", "r"},
                                    {L"sub", kDirectory},
                                    {L"sub\\s.txt", "s"},
                                    {L"file link.txt", "outside"}}));
  // The copied file is a file of its own, not a link to the original.
  WriteFileText(target + L"\\file link.txt", "changed");
  EXPECT_EQ(ReadFileText(work / L"outside.txt"), "outside");
}

TEST(TreeCopy, NonAsciiNamesAndRootsAreCopied) {
  TempDir work;
  const std::wstring source = work / L"Исходник 源";
  const std::wstring target = work / L"Цель 目標";
  MakeDirectory(source);
  MakeTree(source, {{L"Папка", kDirectory},
                    {L"Папка\\файл.txt", "кириллица"},
                    {L"漢字", kDirectory},
                    {L"漢字\\データ.bin", "日本語"},
                    {L"é ü.txt", "latin"},
                    {L"Ā ΩŁ.txt", "beyond the code page"}});

  ExpectQuietExit(RunOverlay(Arguments(source, target)));

  EXPECT_EQ(ReadTree(target), ReadTree(source));
}

// Deterministic bytes that repeat nowhere within the file.
void FillPattern(std::uint32_t* state, std::string* chunk) {
  for (std::size_t i = 0; i + 4 <= chunk->size(); i += 4) {
    *state ^= *state << 13;
    *state ^= *state >> 17;
    *state ^= *state << 5;
    std::memcpy(&(*chunk)[i], state, 4);
  }
}

void WriteLargeFile(const std::wstring& path, std::size_t chunks, std::size_t chunk_size) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::uint32_t state = 0x9e3779b9u;
  std::string chunk(chunk_size, '\0');
  for (std::size_t i = 0; i < chunks; ++i) {
    FillPattern(&state, &chunk);
    DWORD written = 0;
    ::WriteFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr);
    ASSERT_EQ(written, chunk.size());
  }
  ::CloseHandle(file);
}

// Empty when both files hold the same bytes, else where they first differ.
std::string FirstDifference(const std::wstring& a, const std::wstring& b) {
  UniqueHandle file_a(::CreateFileW(a.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  UniqueHandle file_b(::CreateFileW(b.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (file_a.get() == INVALID_HANDLE_VALUE || file_b.get() == INVALID_HANDLE_VALUE) {
    return "cannot open both files";
  }
  std::string chunk_a(1 << 20, '\0'), chunk_b(1 << 20, '\0');
  for (unsigned long long offset = 0;; offset += chunk_a.size()) {
    DWORD read_a = 0, read_b = 0;
    ::ReadFile(file_a.get(), &chunk_a[0], static_cast<DWORD>(chunk_a.size()), &read_a, nullptr);
    ::ReadFile(file_b.get(), &chunk_b[0], static_cast<DWORD>(chunk_b.size()), &read_b, nullptr);
    if (read_a != read_b) return "lengths differ near byte " + std::to_string(offset);
    if (std::memcmp(chunk_a.data(), chunk_b.data(), read_a) != 0) {
      return "content differs in the MiB at byte " + std::to_string(offset);
    }
    if (read_a == 0) return std::string();
  }
}

TEST(TreeCopy, LargeFileIsCopiedByteExact) {
  TempDir work;
  const std::wstring source = work / L"source";
  const std::wstring target = work / L"target";
  MakeDirectory(source);
  MakeDirectory(target);
  constexpr std::size_t kMiB = 1 << 20;
  WriteLargeFile(source + L"\\large.bin", 64, kMiB);
  // Replaced, not merged: the old file is longer than the new one.
  WriteLargeFile(target + L"\\large.bin", 65, kMiB);

  const double start = NowSeconds();
  ExpectQuietExit(RunOverlay(Arguments(source, target), std::wstring(), 60000));
  std::printf("[ measure  ] 64 MiB copied in %.2f s\n", NowSeconds() - start);

  EXPECT_EQ(FirstDifference(source + L"\\large.bin", target + L"\\large.bin"), "");
}

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
