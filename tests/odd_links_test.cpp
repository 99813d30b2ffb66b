// Links in the source: to an ancestor, and leading nowhere.
#include <windows.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/support/odd_trees.h"

namespace {

using namespace testing_tree;
using interposer::Call;

class OddLinks : public OddTrees {};

TEST_F(OddLinks, LinkToAnAncestorEndsInAReportedFailureNotAHang) {
  MakeDirectory(source_);
  MakeDirectory(source_ + L"\\a");
  WriteFileText(source_ + L"\\a\\file.txt", "x");
  MakeSymlink(source_ + L"\\a\\up", source_);
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
  EXPECT_EQ(box, ExpectedSystemText(source_, target_, platform_error));
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

// A link in the source to the folder that holds the target root: through it
// the walk would meet its own copies, level after level. It stops there.
TEST_F(OddLinks, LinkToWhatHoldsTheTargetStopsTheWalkWhereItIsMet) {
  MakeDirectory(source_);
  WriteFileText(source_ + L"\\file.txt", "x");
  const std::wstring out = temp_ / L"out", target = out + L"\\x";
  MakeDirectory(out);
  // Already there, so that the copy leaves the link's own folder as it was.
  MakeDirectory(target);
  MakeSymlink(source_ + L"\\link", out);
  ASSERT_TRUE(WaitUntilListed(source_, L"link"));
  EXPECT_EQ(Copy(source_, target),
            ExpectedFailureText(source_, target, overlay::MakeGenericCode(EINVAL)));
  // The target root was the one directory asked for; the link's counterpart never was.
  EXPECT_EQ(interposer::CountOf(Call::CreateDirectoryW), 1);
  EXPECT_FALSE(Exists(target + L"\\link"));
}

TEST_F(OddLinks, DanglingLinkInTheSource) {
  MakeDirectory(source_);
  WriteFileText(source_ + L"\\real.txt", "real");
  MakeSymlink(source_ + L"\\dangling", temp_ / L"nowhere");
  RunShell("test -L " + ShellWord(source_ + L"\\dangling"));
  // How the platform lists a link that leads nowhere.
  bool listed = false;
  ForEachEntry(source_, [&](const WIN32_FIND_DATAW& data) {
    listed = listed || std::wstring(data.cFileName) == L"dangling";
  });
  Figure("a dangling link is %s by the platform's enumeration", listed ? "listed" : "not listed");

  const std::string box = Copy(source_, target_);
  if (listed) {
    // Reached by the walk: the platform's not-found answer is the failure.
    EXPECT_TRUE(box == ExpectedSystemText(source_, target_, ERROR_FILE_NOT_FOUND) ||
                box == ExpectedSystemText(source_, target_, ERROR_PATH_NOT_FOUND))
        << box;
  } else {
    // Invisible to the walk, like to every other program: the rest is copied.
    EXPECT_EQ(box, "");
    EXPECT_EQ(ReadTree(target_), (Tree{{L"real.txt", "real"}}));
  }
}

// A dangling link as the source root is reported as not found, before anything is written.
TEST_F(OddLinks, DanglingLinkAsTheSourceRoot) {
  const std::wstring dangling_root = temp_ / L"dangling-root";
  MakeSymlink(dangling_root, temp_ / L"nowhere");
  RunShell("test -L " + ShellWord(dangling_root));
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  ASSERT_FALSE(::GetFileAttributesExW(dangling_root.c_str(), GetFileExInfoStandard, &attributes));
  const DWORD root_error = ::GetLastError();
  EXPECT_TRUE(root_error == ERROR_FILE_NOT_FOUND || root_error == ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Copy(dangling_root, target_), ExpectedSystemText(dangling_root, target_, root_error));
  EXPECT_FALSE(Exists(target_));
  EXPECT_EQ(interposer::CountOf(Call::CreateDirectoryW) + interposer::CountOf(Call::CopyFileW), 0);
}

}  // namespace
