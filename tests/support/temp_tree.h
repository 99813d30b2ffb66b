// Real trees on disk for the tests, made and read through the real platform
// (never through the seam), and the Unix commands Wine lets them run.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

namespace testing_tree {

// A tree as the tests write and read it: relative path -> content, or
// kDirectory for a directory.
using Tree = std::map<std::wstring, std::string>;
constexpr char kDirectory[] = "<dir>";

// A fresh directory under the temporary folder, removed with all it holds.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

 private:
  std::wstring path_;
};

void WriteFileText(const std::wstring& path, const std::string& content);
std::string ReadFileText(const std::wstring& path);
void MakeDirectory(const std::wstring& path);
void RemoveTree(const std::wstring& path);
bool IsDirectory(const std::wstring& path);
bool IsFile(const std::wstring& path);
bool Exists(const std::wstring& path);

// Calls `visit` with the record of each entry of a directory but "." and
// "..", in the platform's order; nothing when it cannot be listed.
void ForEachEntry(const std::wstring& directory,
                  const std::function<void(const WIN32_FIND_DATAW&)>& visit);

// Waits (up to 5 s) until a directory lists an entry of that exact name, as
// Unix programs started through Wine finish on their own time.
bool WaitUntilListed(const std::wstring& directory, const std::wstring& name);

// Every entry below root, links followed.
Tree ReadTree(const std::wstring& root);
// Makes the entries of a tree under root.
void MakeTree(const std::wstring& root, const Tree& tree);

// The Unix path of a Windows path, as Wine maps it.
std::string UnixPathOf(const std::wstring& path);
// A Windows path as one word of a shell command, by its Unix path.
std::string ShellWord(const std::wstring& path);
// Runs shell commands (for what Windows calls cannot make: links, modes,
// names that differ only in case, tens of thousands of files at once) and
// waits until they have finished; false when they failed.
bool RunShell(const std::string& commands);
// A Linux symbolic link at `link` leading to `target` (both Windows paths on
// Wine's Z: drive or the prefix's C: drive).
void MakeSymlink(const std::wstring& link, const std::wstring& target);
// Sets a file's or directory's Unix permission bits (chmod, octal `mode`).
void ChangeMode(const std::wstring& path, const std::string& mode);

// Names each case of a parameterised test by its `case_name`.
struct ByCaseName {
  template <typename Case>
  std::string operator()(const testing::TestParamInfo<Case>& info) const {
    return info.param.case_name;
  }
};

// Handles of this process, as the platform counts them.
DWORD ProcessHandleCount();

std::string Utf8(const std::wstring& text);

// The path with each backslash turned into a forward slash, as some launchers write roots.
std::wstring WithForwardSlashes(std::wstring path);

}  // namespace testing_tree
