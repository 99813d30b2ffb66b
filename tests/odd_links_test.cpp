// Links in the source: to an ancestor, to what they are copied into, and leading nowhere.
#include <windows.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/support/odd_trees.h"

namespace {

using namespace testing_tree;
using interposer::Call;
using overlay::MakeGenericCode;

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

// A link in the source to the folder it is copied into or one holding it
// would have the walk meet its own copies, level after level: it stops there.
// Other links are followed, also where opened objects cannot be named;
// reparse points that are not links are ordinary folders.
struct LinkInTheSource {
  const char* case_name;
  const wchar_t* leads_to;  // where source\a\L leads, below the test's folder; none: a folder
  const wchar_t* target;    // the target root, below the test's folder
  bool refused;
  int chains_read;               // target chains read: the guard's, one per link met
  DWORD final_path_refusal = 0;  // as RAM disks answer, or volumes without a drive letter
  DWORD reparse_tag = 0;         // the platform lists the folder L with this tag
};

class LinkInTheSourceTest : public OddTrees, public testing::WithParamInterface<LinkInTheSource> {};

TEST_P(LinkInTheSourceTest, IsFollowedUnlessItLeadsToWhatItIsCopiedInto) {
  const LinkInTheSource& row = GetParam();
  RunShell("cd " + ShellWord(temp_.path()) +
           " && mkdir -p source/a out/x target/a elsewhere && echo f >source/a/f.txt"
           " && echo e >elsewhere/e.txt");
  if (row.leads_to) {
    MakeSymlink(source_ + L"\\a\\L", temp_ / row.leads_to);
  } else {
    MakeDirectory(source_ + L"\\a\\L");
    interposer::Platform().reparse_point_name = L"L";
    interposer::Platform().reparse_tag = row.reparse_tag;
  }
  ASSERT_TRUE(WaitUntilListed(source_ + L"\\a", L"L"));
  if (row.final_path_refusal)
    interposer::Platform().faults.push_back(
        {Call::GetFinalPathNameByHandleW, 0, row.final_path_refusal});
  const std::wstring target = temp_ / row.target;
  // A link into the target changes what the source shows as the walk writes.
  const bool into_target = row.leads_to && std::wstring(row.leads_to).rfind(row.target, 0) == 0;
  const std::string box = Copy(source_, target, into_target);
  EXPECT_EQ(interposer::CountOf(Call::GetFinalPathNameByHandleW), row.chains_read);
  EXPECT_EQ(box, row.refused ? ExpectedFailureText(source_, target, MakeGenericCode(EINVAL)) : "");
  EXPECT_EQ(Exists(target + L"\\a\\L"), !row.refused);
  EXPECT_TRUE(row.refused || ReadTree(target) == ReadTree(source_)) << "not the whole source";
}

INSTANTIATE_TEST_SUITE_P(
    Links, LinkInTheSourceTest,
    testing::Values(
        LinkInTheSource{"ToWhatHoldsTheTargetRoot", L"out", L"out\\x", true, 2},
        LinkInTheSource{"ToTheFolderItIsCopiedInto", L"target\\a", L"target", true, 2},
        LinkInTheSource{"ToTheFolderItIsCopiedIntoWithoutFinalPaths", L"target\\a", L"target", true,
                        2, ERROR_INVALID_FUNCTION},
        LinkInTheSource{"LeadingOutWithoutFinalPaths", L"elsewhere", L"target", false, 2,
                        ERROR_INVALID_FUNCTION},
        LinkInTheSource{"JunctionTag", nullptr, L"target", false, 2, 0, IO_REPARSE_TAG_MOUNT_POINT},
        LinkInTheSource{"CloudPlaceholderTag", nullptr, L"target", false, 1, 0, 0x9000001Au}),
    ByCaseName());

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
