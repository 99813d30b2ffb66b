// Real trees on disk for the tests, made and read through the real platform
// (never through the seam), and a fixture that resets the fake platform.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/support/fake_win32.h"
#include "tests/support/test_main.h"

namespace testing_tree {

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

// Waits (up to 5 s) until a directory lists an entry of that exact name, as
// Unix programs started through Wine finish on their own time.
bool WaitUntilListed(const std::wstring& directory, const std::wstring& name);

// Every entry below root: relative path -> content, or "<dir>" for directories.
std::map<std::wstring, std::string> ReadTree(const std::wstring& root);

// A Linux symbolic link at `link` leading to `target` (both Windows paths on
// Wine's Z: drive or the prefix's C: drive).
void MakeSymlink(const std::wstring& link, const std::wstring& target);
// Sets a file's or directory's Unix permission bits (chmod, octal `mode`).
void ChangeMode(const std::wstring& path, const std::wstring& mode);
// The Unix path of a Windows path, as Wine maps it.
std::string UnixPathOf(const std::wstring& path);

// Handles of this process, as the platform counts them.
DWORD ProcessHandleCount();

std::string Utf8(const std::wstring& text);

}  // namespace testing_tree

// Resets the fake platform before and after each test, and checks that no
// handle or enumeration opened through the seam is left open.
class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    fake::Platform().info_ex_available = !RunningWithoutInfoEx();
  }
  void TearDown() override {
    EXPECT_EQ(fake::Platform().open_handles, 0) << "handles left open";
    EXPECT_EQ(fake::Platform().open_finds, 0) << "enumerations left open";
    fake::Reset();
    fake::Platform().info_ex_available = !RunningWithoutInfoEx();
  }
};
