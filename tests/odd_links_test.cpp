// Links in the source and the target: into what the walk reads or writes, and leading nowhere.
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

// A link in the source to the folder it is copied into or one holding it
// would have the walk meet its own copies, level after level, and one to a
// folder holding the link would nest the source in the target: it stops
// there. Other links are followed, also where opened objects cannot be
// named; reparse points that are not links are ordinary folders.
struct LinkInTheSource {
  const char* case_name;
  const wchar_t* leads_to;  // where source\a\L leads, below the test's folder; none: a folder
  const wchar_t* target;    // the target root, below the test's folder
  bool refused;
  int final_paths_asked;         // by the guard's chains: the target root's, then two per link
  DWORD final_path_refusal = 0;  // as RAM disks answer, or volumes without a drive letter
  DWORD reparse_tag = 0;         // the platform lists the folder L with this tag
  const wchar_t* in_target = nullptr;  // where target\a\L\m, a link, leads (for elsewhere\m)
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
  if (row.in_target) {
    RunShell("cd " + ShellWord(temp_.path()) + " && mkdir -p elsewhere/m target/a/L");
    MakeSymlink(temp_ / L"target\\a\\L\\m", temp_ / row.in_target);
  }
  ASSERT_TRUE(WaitUntilListed(source_ + L"\\a", L"L"));
  if (row.final_path_refusal)
    interposer::Platform().faults.push_back(
        {Call::GetFinalPathNameByHandleW, 0, row.final_path_refusal});
  const std::wstring target = temp_ / row.target;
  // A link into the target changes what the source shows as the walk writes.
  const bool into_target = row.leads_to && std::wstring(row.leads_to).rfind(row.target, 0) == 0;
  const std::string box = Copy(source_, target, into_target);
  EXPECT_EQ(interposer::CountOf(Call::GetFinalPathNameByHandleW), row.final_paths_asked);
  EXPECT_EQ(box, row.refused ? ExpectedFailureText(source_, target, MakeGenericCode(EINVAL)) : "");
  EXPECT_EQ(Exists(target + L"\\a\\L"), !row.refused || row.in_target);
  EXPECT_TRUE(row.refused || ReadTree(target) == ReadTree(source_)) << "not the whole source";
}

INSTANTIATE_TEST_SUITE_P(
    Links, LinkInTheSourceTest,
    testing::Values(
        LinkInTheSource{"ToWhatHoldsTheTargetRoot", L"out", L"out\\x", true, 3},
        LinkInTheSource{"ToTheFolderItIsCopiedInto", L"target\\a", L"target", true, 3},
        LinkInTheSource{"ToTheFolderItIsCopiedIntoWithoutFinalPaths", L"target\\a", L"target", true,
                        6, ERROR_INVALID_FUNCTION},
        LinkInTheSource{"ToItsOwnFolder", L"source\\a", L"target", true, 3},
        LinkInTheSource{"ToTheSourceRoot", L"source", L"target", true, 3},
        LinkInTheSource{"IntoTheSourceThroughATargetLinkBelowIt", L"elsewhere", L"target", true, 4,
                        0, 0, L"source\\a"},
        LinkInTheSource{"LeadingOutWithoutFinalPaths", L"elsewhere", L"target", false, 6,
                        ERROR_INVALID_FUNCTION},
        LinkInTheSource{"JunctionTag", nullptr, L"target", false, 3, 0, IO_REPARSE_TAG_MOUNT_POINT},
        LinkInTheSource{"CloudPlaceholderTag", nullptr, L"target", false, 1, 0, 0x9000001Au}),
    ByCaseName());

// A link in the target into the source, or the source inside the target
// holding a folder of its own name: writing there, the walk would write into
// what it reads. It stops there, and the source stays as it was.
struct IntoTheSource {
  const char* case_name;
  const wchar_t* source;   // below the test's folder
  const wchar_t* link_to;  // where target\a leads; none: no link
  DWORD tag_refusal = 0;   // how the read of target\a's reparse tag is refused
  bool dangling = false;   // target\f.txt leads to link_to instead, where nothing is
};

class IntoTheSourceTest : public OddTrees, public testing::WithParamInterface<IntoTheSource> {};

TEST_P(IntoTheSourceTest, IsRefusedWhereTheTargetLeadsThere) {
  const std::wstring source = temp_ / GetParam().source;
  MakeDirectory(target_);
  MakeDirectory(source);
  RunShell("cd " + ShellWord(source) +
           " && mkdir -p a/b upd && echo root-f >f.txt && echo a-f >a/f.txt && echo b >a/b/f.txt"
           " && echo u >upd/u.txt");
  const IntoTheSource& row = GetParam();
  if (row.dangling) {  // as Windows shows it; Wine hides such a link
    WriteFileText(target_ + L"\\f.txt", "stands in for the link");
    interposer::Platform().dangling_link = target_ + L"\\f.txt";
    interposer::Platform().dangling_link_to = temp_ / row.link_to;
  } else if (row.link_to) {
    MakeSymlink(target_ + L"\\a", temp_ / row.link_to);
  }
  if (row.tag_refusal) {
    interposer::Platform().faults.push_back(
        {Call::GetFileInformationByHandleEx, 0, row.tag_refusal, FileAttributeTagInfo});
  }
  EXPECT_EQ(Copy(source, target_), ExpectedFailureText(source, target_, MakeGenericCode(EINVAL)));
}

INSTANTIATE_TEST_SUITE_P(
    Targets, IntoTheSourceTest,
    testing::Values(IntoTheSource{"LinkIntoTheSource", L"src", L"src\\a\\b"},
                    IntoTheSource{"LinkToTheSourceRoot", L"src", L"src"},
                    IntoTheSource{"SourceInsideHoldingItsOwnName", L"target\\upd", nullptr},
                    IntoTheSource{"LinkWhoseTagCannotBeRead", L"src", L"src\\upd",
                                  ERROR_INVALID_FUNCTION},
                    IntoTheSource{"DanglingLinkIntoTheSource", L"src", L"src\\a\\zz.txt", 0, true}),
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
