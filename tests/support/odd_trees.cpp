#include "tests/support/odd_trees.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace testing_tree {
namespace {

void ShapeInto(const std::wstring& root, const std::wstring& relative, Shape* shape) {
  std::vector<std::wstring> subdirectories;
  ForEachEntry(
      relative.empty() ? root : root + L"\\" + relative, [&](const WIN32_FIND_DATAW& data) {
        const std::wstring child =
            relative.empty() ? data.cFileName : relative + L"\\" + data.cFileName;
        const bool link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        (*shape)[child] = std::string(link ? "link " : "") + (directory ? "dir " : "file ") +
                          std::to_string(data.nFileSizeLow) + " " +
                          std::to_string(data.ftLastWriteTime.dwLowDateTime) + " " +
                          std::to_string(data.dwFileAttributes);
        if (directory && !link) subdirectories.push_back(child);
      });
  for (const std::wstring& child : subdirectories) ShapeInto(root, child, shape);
}

}  // namespace

void Figure(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::printf("[ figures  ] ");
  std::vprintf(format, arguments);
  std::printf("\n");
  va_end(arguments);
}

Shape ShapeOf(const std::wstring& root) {
  Shape shape;
  ShapeInto(root, L"", &shape);
  return shape;
}

// Builds nested 200-character directories, then tries the last name at every
// length.
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
  RemoveTree(parent + L"\\" + level);
  return path.size() + 1 + low;
}

std::string OddTrees::Copy(const std::wstring& source, const std::wstring& target,
                           bool source_changes) {
  const Shape before = source_changes ? Shape() : ShapeOf(source);
  const OpenHandleCheck open_handles;
  const std::string box = BoxTextOfCopy(source, target);
  if (!source_changes) {
    EXPECT_EQ(ShapeOf(source), before) << "something was written under the source root";
  }
  open_handles.Expect();
  ++copies_;
  return box;
}

void OddTrees::ExpectTheLastCopyEndedTheWalk() {
  const auto& log = interposer::Platform().log;
  const int last_copy = interposer::IndexOf(log, interposer::Call::CopyFileW, interposer::kLast);
  ASSERT_GE(last_copy, 0);
  for (size_t i = static_cast<size_t>(last_copy) + 1; i < log.size(); ++i) {
    EXPECT_NE(log[i].call, interposer::Call::CreateDirectoryW)
        << "directory created after the failure: " << Utf8(log[i].path);
  }
}

void OddTrees::TearDown() {
  Figure("%s: %d copies run", ::testing::UnitTest::GetInstance()->current_test_info()->name(),
         copies_);
  PlatformTest::TearDown();
}

}  // namespace testing_tree
