// The tree copy on real trees, and under refusals only the seam can produce.
#include <cerrno>
#include <map>
#include <string>

#include "app/guarded_copy.h"
#include "copy/file_system.h"
#include "copy/path.h"
#include "report/failure.h"
#include "tests/support/copy_run.h"
#include "tests/support/platform_test.h"

namespace {

using interposer::Call;
using overlay::MakeGenericCode;
using overlay::MakeSystemCode;
using namespace testing_tree;

class TreeCopyTest : public PlatformTest {
 protected:
  // Runs the guarded copy; the text of its one box, or "" when none was shown.
  std::string Copy(const std::wstring& source, const std::wstring& target) {
    return BoxTextOfCopy(source, target);
  }

  // A small tree: two levels, files, an empty directory.
  void MakeSampleSource() {
    MakeDirectory(src_);
    WriteFileText(src_ + L"\\top.txt", "top");
    MakeDirectory(src_ + L"\\a");
    WriteFileText(src_ + L"\\a\\one.txt", "one");
    MakeDirectory(src_ + L"\\a\\b");
    WriteFileText(src_ + L"\\a\\b\\two.bin", std::string("t\0w\r\no", 6));
    MakeDirectory(src_ + L"\\empty");
  }

  void TearDown() override {
    if (drive_q_) RunShell("rm -f \"$WINEPREFIX/dosdevices/q:\"");  // the drive a test made
    PlatformTest::TearDown();
  }

  bool drive_q_ = false;
  TempDir temp_;
  const std::wstring src_ = temp_ / L"src";
  const std::wstring dst_ = temp_ / L"dst";
};

TEST_F(TreeCopyTest, CreatesAMissingTargetRootAndFillsIt) {
  MakeSampleSource();
  const Tree source = ReadTree(src_);
  EXPECT_EQ(Copy(src_, dst_), "");
  EXPECT_EQ(ReadTree(dst_), source);
  EXPECT_EQ(ReadTree(src_), source);
}

TEST_F(TreeCopyTest, ReplacesExistingFilesAndKeepsWhatOnlyTheTargetHolds) {
  MakeSampleSource();
  MakeDirectory(dst_);
  MakeDirectory(dst_ + L"\\a");
  WriteFileText(dst_ + L"\\a\\one.txt", "a newer and longer target file");
  WriteFileText(dst_ + L"\\a\\mine.txt", "only in the target");
  MakeDirectory(dst_ + L"\\saves");
  WriteFileText(dst_ + L"\\saves\\slot1", "progress");

  EXPECT_EQ(Copy(src_, dst_), "");
  EXPECT_EQ(ReadFileText(dst_ + L"\\a\\one.txt"), "one");
  EXPECT_EQ(ReadFileText(dst_ + L"\\a\\mine.txt"), "only in the target");
  EXPECT_EQ(ReadFileText(dst_ + L"\\saves\\slot1"), "progress");
  EXPECT_EQ(ReadFileText(dst_ + L"\\a\\b\\two.bin"), std::string("t\0w\r\no", 6));
  EXPECT_TRUE(IsDirectory(dst_ + L"\\empty"));
}

TEST_F(TreeCopyTest, MissingSourceRootFailsWithNotFoundAndCreatesNothing) {
  const std::wstring missing = temp_ / L"missing\\deeper";
  const std::string text = Copy(missing, dst_);
  const std::string path_not_found =
      ExpectedFailureText(missing, dst_, MakeSystemCode(ERROR_PATH_NOT_FOUND));
  const std::string file_not_found =
      ExpectedFailureText(missing, dst_, MakeSystemCode(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(text == path_not_found || text == file_not_found) << text;
  EXPECT_FALSE(Exists(dst_));
}

// A target root that is the source root or lies inside it, however it is
// written or reached: refused before anything is written.
struct RefusedTarget {
  const char* case_name;
  const wchar_t* target;  // below the test's folder, where "src" is the source root
  int verdict;            // EEXIST: the same directory; EINVAL: inside it
  bool forward_slashes = false;
  // As on volumes without a drive letter, which have only a GUID name, and
  // on volumes that cannot name an opened object (RAM disks).
  bool without_dos_names = false;
  bool without_final_paths = false;
  const wchar_t* unopenable = nullptr;  // a part of the path that cannot be opened
};

class RefusedTargetTest : public TreeCopyTest, public testing::WithParamInterface<RefusedTarget> {};

TEST_P(RefusedTargetTest, IsRefusedBeforeAnythingIsWritten) {
  MakeSampleSource();
  MakeSymlink(temp_ / L"alias", src_);
  MakeSymlink(temp_ / L"into_a", src_ + L"\\a");
  MakeDirectory(temp_ / L"ext");
  MakeSymlink(src_ + L"\\ext_link", temp_ / L"ext");
  const Tree before = ReadTree(src_);
  const std::wstring written = temp_ / GetParam().target;
  const std::wstring target = GetParam().forward_slashes ? WithForwardSlashes(written) : written;
  if (GetParam().without_dos_names || GetParam().without_final_paths) {
    interposer::Platform().faults.push_back(
        {Call::GetFinalPathNameByHandleW, 0, ERROR_INVALID_FUNCTION,
         GetParam().without_final_paths ? -1 : FILE_NAME_OPENED | VOLUME_NAME_DOS});
  }
  if (GetParam().unopenable) {
    interposer::Platform().faults.push_back(
        {Call::CreateFileW, 0, ERROR_ACCESS_DENIED, -1, temp_ / GetParam().unopenable});
  }
  EXPECT_EQ(Copy(src_, target),
            ExpectedFailureText(src_, target, MakeGenericCode(GetParam().verdict)));
  EXPECT_EQ(interposer::CountOf(Call::CreateDirectoryW), 0);
  EXPECT_EQ(interposer::CountOf(Call::CopyFileW), 0);
  EXPECT_EQ(ReadTree(src_), before);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, RefusedTargetTest,
    testing::Values(RefusedTarget{"Itself", L"src", EEXIST},
                    RefusedTarget{"ItselfWithSeparator", L"src\\", EEXIST},
                    RefusedTarget{"ItselfWithForwardSlashes", L"src", EEXIST, true},
                    RefusedTarget{"ItselfThroughDotDot", L"src\\a\\..", EEXIST},
                    RefusedTarget{"ItselfThroughALink", L"alias", EEXIST},
                    RefusedTarget{"NewDirectoryInside", L"src\\copy", EINVAL},
                    RefusedTarget{"MissingLevelsInside", L"src\\a\\new\\deeper", EINVAL},
                    RefusedTarget{"MissingLevelsInsideAPartThatCannotBeOpened",
                                  L"src\\a\\new\\deeper", EINVAL, false, false, false, L"src\\a"},
                    RefusedTarget{"DirectoryInside", L"src\\a", EINVAL},
                    RefusedTarget{"DotDotAndSeparatorInside", L"src\\a\\b\\..\\x\\", EINVAL},
                    RefusedTarget{"LinkToTheSourceOnTheWay", L"alias\\copy", EINVAL},
                    RefusedTarget{"LinkIntoTheSource", L"into_a", EINVAL},
                    RefusedTarget{"LinkIntoTheSourceOnTheWay", L"into_a\\new\\deeper", EINVAL},
                    RefusedTarget{"LinkIntoTheSourceWithoutADriveLetter", L"into_a\\new", EINVAL,
                                  false, true},
                    RefusedTarget{"BelowASourceLinkLeadingOut", L"src\\ext_link\\x", EINVAL},
                    RefusedTarget{"BelowASourceLinkLeadingOutWithoutFinalPaths",
                                  L"src\\ext_link\\x", EINVAL, false, false, true}),
    ByCaseName());

// A root that is a link to its own parent, given twice: the same object,
// not a target inside the source.
TEST_F(TreeCopyTest, RootLinkingToItsOwnParentGivenTwiceIsTheSameObject) {
  MakeSampleSource();
  const std::wstring up = src_ + L"\\up";
  MakeSymlink(up, src_);
  EXPECT_EQ(Copy(up, up), ExpectedFailureText(up, up, MakeGenericCode(EEXIST)));
  EXPECT_EQ(interposer::CountOf(Call::CopyFileW), 0);
}

TEST_F(TreeCopyTest, FileRootOntoTheDirectoryHoldingItLeavesTheAnswerToThePlatform) {
  MakeSampleSource();
  const std::wstring file = src_ + L"\\top.txt";
  // The joined target is the source itself; the platform's copy decides.
  const DWORD platform_answer =
      ::CopyFileW(file.c_str(), file.c_str(), FALSE) ? 0 : ::GetLastError();
  const std::string text = Copy(file, src_);
  if (platform_answer == 0) {
    EXPECT_EQ(text, "");
  } else {
    EXPECT_EQ(text, ExpectedFailureText(file, src_, MakeSystemCode(platform_answer)));
  }
  EXPECT_EQ(ReadFileText(file), "top");
}

TEST_F(TreeCopyTest, TargetRootWhoseParentIsMissingFailsAtCreation) {
  MakeSampleSource();
  const std::wstring orphan = temp_ / L"no\\such\\parent";
  EXPECT_EQ(Copy(src_, orphan),
            ExpectedFailureText(src_, orphan, MakeSystemCode(ERROR_PATH_NOT_FOUND)));
  EXPECT_FALSE(Exists(temp_ / L"no"));
}

TEST_F(TreeCopyTest, DirectoryOntoAFileIsRefusedAndTheFileKept) {
  MakeSampleSource();
  WriteFileText(dst_, "a file");
  EXPECT_EQ(Copy(src_, dst_), ExpectedFailureText(src_, dst_, MakeGenericCode(EEXIST)));
  EXPECT_EQ(ReadFileText(dst_), "a file");
}

TEST_F(TreeCopyTest, FileRootIntoAnExistingDirectoryTakesItsOwnName) {
  MakeSampleSource();
  MakeDirectory(dst_);
  EXPECT_EQ(Copy(src_ + L"\\top.txt", dst_), "");
  EXPECT_EQ(ReadFileText(dst_ + L"\\top.txt"), "top");
  // And onto a file path: that file is written.
  EXPECT_EQ(Copy(src_ + L"\\top.txt", temp_ / L"renamed.txt"), "");
  EXPECT_EQ(ReadFileText(temp_ / L"renamed.txt"), "top");
}

TEST_F(TreeCopyTest, SourceFileMeetingATargetDirectoryGoesIntoIt) {
  MakeSampleSource();
  MakeDirectory(dst_);
  MakeDirectory(dst_ + L"\\top.txt");
  EXPECT_EQ(Copy(src_, dst_), "");
  EXPECT_TRUE(IsDirectory(dst_ + L"\\top.txt"));
  EXPECT_EQ(ReadFileText(dst_ + L"\\top.txt\\top.txt"), "top");
}

TEST_F(TreeCopyTest, DeepConflictStopsThereNamingTheRootsAndKeepsWhatWasCopied) {
  MakeSampleSource();
  MakeDirectory(dst_);
  MakeDirectory(dst_ + L"\\a");
  WriteFileText(dst_ + L"\\a\\b", "a file where the source has a directory");
  EXPECT_EQ(Copy(src_, dst_), ExpectedFailureText(src_, dst_, MakeGenericCode(EEXIST)));
  EXPECT_EQ(ReadFileText(dst_ + L"\\a\\b"), "a file where the source has a directory");
  // Whatever the walk copied before reaching the conflict stays as copied.
  for (const auto& copy : interposer::CallsOf(Call::CopyFileW)) {
    const std::wstring relative = copy.path.substr(dst_.size());
    EXPECT_EQ(ReadFileText(copy.path), ReadFileText(src_ + relative)) << Utf8(relative);
  }
  // The conflict was met inside "a": its counterpart directory was made first.
  EXPECT_TRUE(IsDirectory(dst_ + L"\\a"));
}

TEST_F(TreeCopyTest, LinksAreFollowedInTheSourceAndTheTarget) {
  MakeSampleSource();
  TempDir elsewhere;
  WriteFileText(elsewhere / L"linked.txt", "through the link");
  MakeSymlink(src_ + L"\\link", elsewhere.path());
  TempDir target_elsewhere;
  MakeDirectory(dst_);
  MakeSymlink(dst_ + L"\\a", target_elsewhere.path());

  EXPECT_EQ(Copy(src_, dst_), "");
  // The source link is copied as the directory it leads to...
  const DWORD attributes = ::GetFileAttributesW((dst_ + L"\\link").c_str());
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(ReadFileText(dst_ + L"\\link\\linked.txt"), "through the link");
  // ...and the target link to a directory is written through, and stays a link.
  EXPECT_TRUE(::GetFileAttributesW((dst_ + L"\\a").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(ReadFileText(target_elsewhere / L"one.txt"), "one");
  EXPECT_EQ(ReadFileText(target_elsewhere / L"b\\two.bin"), std::string("t\0w\r\no", 6));
}

// A source root that is a link, and a file link in the source: each followed,
// the file copied as a file of its own.
TEST_F(TreeCopyTest, ALinkAsTheSourceRootAndFileLinksInItAreFollowed) {
  MakeSampleSource();
  WriteFileText(temp_ / L"outside.txt", "outside");
  MakeSymlink(src_ + L"\\file link.txt", temp_ / L"outside.txt");
  MakeSymlink(temp_ / L"root link", src_);
  EXPECT_EQ(Copy(temp_ / L"root link", dst_), "");
  EXPECT_EQ(ReadTree(dst_), ReadTree(src_));
  // The copied file is a file of its own, not a link to the original.
  WriteFileText(dst_ + L"\\file link.txt", "changed");
  EXPECT_EQ(ReadFileText(temp_ / L"outside.txt"), "outside");
}

TEST_F(TreeCopyTest, SourceInsideTheTargetIsTheNormalUpdate) {
  // An update folder inside the game folder, laid over the game folder.
  MakeDirectory(dst_);
  WriteFileText(dst_ + L"\\game.exe", "old");
  MakeDirectory(dst_ + L"\\update");
  WriteFileText(dst_ + L"\\update\\game.exe", "new");
  EXPECT_EQ(Copy(dst_ + L"\\update", dst_), "");
  EXPECT_EQ(ReadFileText(dst_ + L"\\game.exe"), "new");
  // A file root inside a target directory is not a tree inside itself either.
  EXPECT_EQ(Copy(dst_ + L"\\update\\game.exe", dst_ + L"\\update\\again.exe"), "");
  EXPECT_EQ(ReadFileText(dst_ + L"\\update\\again.exe"), "new");
}

TEST_F(TreeCopyTest, RelativeRootsAreTakenFromTheCurrentDirectory) {
  MakeSampleSource();
  wchar_t previous[MAX_PATH];
  ::GetCurrentDirectoryW(MAX_PATH, previous);
  ::SetCurrentDirectoryW(temp_.path().c_str());
  const std::string text = Copy(L"src", L".\\dst");
  ::SetCurrentDirectoryW(previous);
  EXPECT_EQ(text, "");
  EXPECT_EQ(ReadTree(dst_), ReadTree(src_));
}

// ---- Refusals only the seam can produce -------------------------------------

// Volumes without the basic enumeration level answer one of these two.
class BasicLevelRefusedTest : public TreeCopyTest, public testing::WithParamInterface<DWORD> {};

TEST_P(BasicLevelRefusedTest, IsAskedAgainWithTheStandardLevel) {
  MakeSampleSource();
  interposer::Platform().faults.push_back({Call::FindFirstFileExW, 0, GetParam(), FindExInfoBasic});
  EXPECT_EQ(Copy(src_, dst_), "");
  EXPECT_EQ(ReadTree(dst_), ReadTree(src_));
  const auto opens = interposer::CallsOf(Call::FindFirstFileExW);
  ASSERT_EQ(opens.size(), 8u);  // four directories, each asked twice
  for (size_t i = 0; i < opens.size(); ++i) {
    EXPECT_EQ(opens[i].detail, i % 2 == 0 ? FindExInfoBasic : FindExInfoStandard);
  }
}

INSTANTIATE_TEST_SUITE_P(Refusals, BasicLevelRefusedTest,
                         testing::Values(ERROR_NOT_SUPPORTED, ERROR_INVALID_PARAMETER));

TEST_F(TreeCopyTest, EnumerationRefusedOtherwiseIsTheFailureWithoutASecondTry) {
  MakeSampleSource();
  interposer::Platform().faults.push_back(
      {Call::FindFirstFileExW, 0, ERROR_ACCESS_DENIED, FindExInfoBasic});
  EXPECT_EQ(Copy(src_, dst_), ExpectedFailureText(src_, dst_, MakeSystemCode(ERROR_ACCESS_DENIED)));
  EXPECT_EQ(interposer::CountOf(Call::FindFirstFileExW), 1);
}

// Nothing matched at all (a volume root lists not even "."): an empty directory.
TEST_F(TreeCopyTest, EnumerationFindingNothingIsAnEmptyDirectory) {
  MakeSampleSource();
  interposer::Platform().faults.push_back({Call::FindFirstFileExW, 2, ERROR_FILE_NOT_FOUND});
  EXPECT_EQ(Copy(src_, dst_), "");
  const std::wstring pattern = interposer::CallsOf(Call::FindFirstFileExW).at(1).path;
  const std::wstring unlisted =
      dst_ + pattern.substr(src_.size(), pattern.size() - src_.size() - 2);
  EXPECT_TRUE(IsDirectory(unlisted));
  EXPECT_TRUE(ReadTree(unlisted).empty());
  EXPECT_TRUE(IsFile(dst_ + L"\\top.txt"));
}

TEST_F(TreeCopyTest, EnumerationAdvanceFailureIsTheFailure) {
  MakeSampleSource();
  interposer::Platform().faults.push_back({Call::FindNextFileW, 3, ERROR_NETNAME_DELETED});
  EXPECT_EQ(Copy(src_, dst_),
            ExpectedFailureText(src_, dst_, MakeSystemCode(ERROR_NETNAME_DELETED)));
}

// Directory creation refused: a directory already there will do (Windows
// answers "access denied" for a drive root), anything else is the failure.
struct RefusedCreation {
  const char* case_name;
  DWORD refusal;  // of the target root's creation; 0: the platform's own answer
  bool target_is_file;
  DWORD failure;  // 0: the copy completes
};

class RefusedCreationTest : public TreeCopyTest,
                            public testing::WithParamInterface<RefusedCreation> {};

TEST_P(RefusedCreationTest, GoesOnOnlyOverADirectory) {
  MakeSampleSource();
  if (GetParam().target_is_file) {
    WriteFileText(dst_, "a file");
    // Not there at the first look, a file by the second.
    interposer::Platform().faults.push_back({Call::GetFileAttributesExW, 2, ERROR_FILE_NOT_FOUND});
  }
  if (GetParam().refusal) {
    interposer::Platform().faults.push_back({Call::CreateDirectoryW, 1, GetParam().refusal});
  }
  const DWORD failure = GetParam().failure;
  EXPECT_EQ(Copy(src_, dst_),
            failure ? ExpectedFailureText(src_, dst_, MakeSystemCode(failure)) : "");
  if (GetParam().target_is_file) {
    EXPECT_EQ(ReadFileText(dst_), "a file");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusedCreationTest,
    testing::Values(RefusedCreation{"DiskFull", ERROR_DISK_FULL, false, ERROR_DISK_FULL},
                    RefusedCreation{"AccessDeniedWhereNothingIs", ERROR_ACCESS_DENIED, false,
                                    ERROR_ACCESS_DENIED},
                    RefusedCreation{"AlreadyExistsAsAFile", 0, true, ERROR_ALREADY_EXISTS},
                    RefusedCreation{"AccessDeniedOverAFile", ERROR_ACCESS_DENIED, true,
                                    ERROR_ACCESS_DENIED}),
    ByCaseName());

// A drive of its own, or a USB stick, as the target root: Windows refuses to
// create "T:\\" with "access denied", and the copy goes on into it.
TEST_F(TreeCopyTest, DriveRootAsTheTargetRootIsUpdated) {
  MakeSampleSource();
  MakeDirectory(dst_);
  drive_q_ = true;
  ASSERT_TRUE(RunShell("ln -sfn " + ShellWord(dst_) + " \"$WINEPREFIX/dosdevices/q:\""));
  EXPECT_EQ(Copy(src_, L"Q:\\"), "");
  EXPECT_EQ(ReadTree(dst_), ReadTree(src_));
}

TEST_F(TreeCopyTest, TargetQueryFailingOtherThanNotFoundIsTheFailure) {
  MakeSampleSource();
  // The first query is the root's own; the second is the target root's.
  interposer::Platform().faults.push_back({Call::GetFileAttributesExW, 2, ERROR_ACCESS_DENIED});
  EXPECT_EQ(Copy(src_, dst_), ExpectedFailureText(src_, dst_, MakeSystemCode(ERROR_ACCESS_DENIED)));
  EXPECT_FALSE(Exists(dst_));
}

// The errors besides "file" and "path not found" that mean nothing is there.
class TargetNotFoundTest : public TreeCopyTest, public testing::WithParamInterface<DWORD> {};

TEST_P(TargetNotFoundTest, MakesTheTargetRoot) {
  MakeSampleSource();
  interposer::Platform().faults.push_back({Call::GetFileAttributesExW, 2, GetParam()});
  EXPECT_EQ(Copy(src_, dst_), "");
  EXPECT_TRUE(IsFile(dst_ + L"\\a\\one.txt"));
}

INSTANTIATE_TEST_SUITE_P(Answers, TargetNotFoundTest,
                         testing::Values(ERROR_BAD_NETPATH, ERROR_INVALID_NAME));

// Volumes, systems and drivers without 128-bit file identifiers refuse the
// newer call in these ways: the older call's identity serves instead.
class IdentityFallbackTest : public TreeCopyTest, public testing::WithParamInterface<DWORD> {
 protected:
  void SetUp() override {
    if (RunningWithoutInfoEx()) GTEST_SKIP() << "needs GetFileInformationByHandleEx";
    TreeCopyTest::SetUp();
    interposer::Platform().faults.push_back(
        {Call::GetFileInformationByHandleEx, 0, GetParam(), 18});
  }
};

TEST_P(IdentityFallbackTest, CopiesOverAnExistingTarget) {
  MakeSampleSource();
  MakeDirectory(dst_);
  EXPECT_EQ(Copy(src_, dst_), "");
  EXPECT_GT(interposer::CountOf(Call::GetFileInformationByHandle), 0);
}

TEST_P(IdentityFallbackTest, RefusesTheSameObject) {
  MakeSampleSource();
  EXPECT_EQ(Copy(src_, src_), ExpectedFailureText(src_, src_, MakeGenericCode(EEXIST)));
}

// Where the older call reports no file index, identities cannot tell objects
// apart: an existing target is updated, not taken for the source itself...
TEST_P(IdentityFallbackTest, WithoutFileIndexesUpdatesAnExistingTarget) {
  MakeSampleSource();
  interposer::Platform().zero_file_index = true;
  MakeDirectory(dst_);
  WriteFileText(dst_ + L"\\top.txt", "old");
  EXPECT_EQ(Copy(src_, dst_), "");
  EXPECT_EQ(ReadTree(dst_), ReadTree(src_));
}

// ...and a tree given as both roots is left to the platform's copy of each
// file onto itself, which loses nothing.
TEST_P(IdentityFallbackTest, WithoutFileIndexesLeavesTheSameTreeToThePlatform) {
  MakeSampleSource();
  interposer::Platform().zero_file_index = true;
  const Tree before = ReadTree(src_);
  const std::wstring scratch = temp_ / L"scratch.txt";
  WriteFileText(scratch, "x");
  const DWORD onto_itself =
      ::CopyFileW(scratch.c_str(), scratch.c_str(), FALSE) ? 0 : ::GetLastError();
  EXPECT_EQ(Copy(src_, src_),
            onto_itself ? ExpectedFailureText(src_, src_, MakeSystemCode(onto_itself)) : "");
  EXPECT_EQ(ReadTree(src_), before);
}

INSTANTIATE_TEST_SUITE_P(Answers, IdentityFallbackTest,
                         testing::Values(ERROR_NOT_SUPPORTED, ERROR_INVALID_PARAMETER,
                                         ERROR_INVALID_FUNCTION));

// Wine reports volume serial 0 on file systems it does not know, where
// objects of two volumes can share a file identifier: told apart by their
// final paths, a file and a folder are updated, not taken for the source's.
TEST_F(TreeCopyTest, IdentitiesWithoutVolumeSerialsAreConfirmedByFinalPaths) {
  MakeSampleSource();
  MakeDirectory(dst_);
  MakeDirectory(dst_ + L"\\a");
  WriteFileText(dst_ + L"\\top.txt", "old");
  interposer::Platform().serial_zero_twins = {src_, dst_ + L"\\a", src_ + L"\\top.txt",
                                              dst_ + L"\\top.txt"};
  EXPECT_EQ(Copy(src_, dst_), "");
  EXPECT_EQ(ReadTree(dst_), ReadTree(src_));
}

TEST_F(TreeCopyTest, IdentityRefusedByBothCallsIsTheFailureAndItsRecordIsAligned) {
  if (RunningWithoutInfoEx()) GTEST_SKIP();
  MakeSampleSource();
  MakeDirectory(dst_);
  // Windows refuses a record not aligned to 8 bytes (and so does the
  // interposer), wherever the identity happens to lie.
  struct {
    char before;
    overlay::file_identity identity;
  } record{};
  EXPECT_FALSE(overlay::QueryIdentity(src_, &record.identity));
  EXPECT_EQ(interposer::CountOf(Call::GetFileInformationByHandle), 0) << "the newer call refused";
  interposer::Platform().faults.push_back(
      {Call::GetFileInformationByHandleEx, 0, ERROR_INVALID_FUNCTION, 18});
  interposer::Platform().faults.push_back(
      {Call::GetFileInformationByHandle, 0, ERROR_ACCESS_DENIED});
  EXPECT_EQ(Copy(src_, dst_), ExpectedFailureText(src_, dst_, MakeSystemCode(ERROR_ACCESS_DENIED)));
}

// What a copy costs in platform calls: nothing for a source entry that is not
// a link, one query per target, one copy per file, two opens per existing target.
TEST_F(TreeCopyTest, CallPatternOfAFreshAndAnOverwritingCopy) {
  MakeSampleSource();  // 4 directories (root included), 3 files
  EXPECT_EQ(Copy(src_, dst_), "");
  auto walk_opens = [&] {
    int count = 0;
    for (const auto& open : interposer::CallsOf(Call::CreateFileW)) {
      if (open.path.rfind(src_ + L"\\", 0) == 0) ++count;  // an entry below the source root
    }
    return count;
  };
  EXPECT_EQ(interposer::CountOf(Call::CopyFileW), 3);
  EXPECT_EQ(interposer::CountOf(Call::CreateDirectoryW), 4);
  EXPECT_EQ(interposer::CountOf(Call::FindFirstFileExW), 4);
  EXPECT_EQ(interposer::CountOf(Call::GetFileAttributesExW), 1 + 7);  // the root's own, each target
  EXPECT_EQ(walk_opens(), 0);

  interposer::Reset();
  EXPECT_EQ(Copy(src_, dst_), "");
  EXPECT_EQ(interposer::CountOf(Call::CopyFileW), 3);
  // Each existing directory is queried again after CreateDirectoryW finds it.
  EXPECT_EQ(interposer::CountOf(Call::GetFileAttributesExW), 1 + 7 + 4);
  EXPECT_EQ(walk_opens(), 6);  // same-object test: each source entry below the root
  EXPECT_EQ(interposer::CountOf(Call::GetProcAddress), 0) << "the lookup is remembered";
}

// ---- Where GetFileInformationByHandleEx does not exist ------------------------

class WithoutInfoEx : public TreeCopyTest {
 protected:
  void SetUp() override {
    if (!RunningWithoutInfoEx()) GTEST_SKIP() << "runs in its own process";
    TreeCopyTest::SetUp();
  }
};

TEST_F(WithoutInfoEx, CopiesFollowsLinksAndRefusesTheSameObject) {
  MakeSampleSource();
  TempDir elsewhere;
  WriteFileText(elsewhere / L"linked.txt", "through the link");
  MakeSymlink(src_ + L"\\link", elsewhere.path());
  EXPECT_EQ(Copy(src_, dst_), "");
  EXPECT_EQ(ReadFileText(dst_ + L"\\link\\linked.txt"), "through the link");
  EXPECT_EQ(Copy(src_, dst_), "");
  EXPECT_EQ(Copy(src_, src_ + L"\\"),
            ExpectedFailureText(src_, src_ + L"\\", MakeGenericCode(EEXIST)));
  EXPECT_EQ(interposer::CountOf(Call::GetFileInformationByHandleEx), 0);
  EXPECT_GT(interposer::CountOf(Call::GetFileInformationByHandle), 0);
}

// ---- Path joining ------------------------------------------------------------------

TEST(PathTest, JoinsNamesTakesLastComponentsAndFindsParents) {
  EXPECT_EQ(overlay::JoinPath(L"C:\\dir", L"name"), L"C:\\dir\\name");
  EXPECT_EQ(overlay::JoinPath(L"C:\\dir\\", L"name"), L"C:\\dir\\name");
  EXPECT_EQ(overlay::JoinPath(L"C:/dir/", L"name"), L"C:/dir/name");
  EXPECT_EQ(overlay::JoinPath(L"C:", L"name"), L"C:name");
  EXPECT_EQ(overlay::JoinPath(L"", L"name"), L"name");
  EXPECT_EQ(overlay::JoinPath(L"..", L"*"), L"..\\*");
  EXPECT_EQ(overlay::FileNameOf(L"C:\\dir\\file.txt"), L"file.txt");
  EXPECT_EQ(overlay::FileNameOf(L"dir/file.txt"), L"file.txt");
  EXPECT_EQ(overlay::FileNameOf(L"C:file.txt"), L"file.txt");
  EXPECT_EQ(overlay::FileNameOf(L"file.txt"), L"file.txt");
  // Parents stop at the root, with or without the platform's long-path prefix.
  EXPECT_EQ(overlay::ParentOf(L"C:\\a\\b\\"), L"C:\\a");
  EXPECT_EQ(overlay::ParentOf(L"C:\\a"), L"C:\\");
  EXPECT_EQ(overlay::ParentOf(L"\\\\?\\C:\\a"), L"\\\\?\\C:\\");
  EXPECT_EQ(overlay::ParentOf(L"\\\\?\\UNC\\server\\share\\a"), L"\\\\?\\UNC\\server\\share\\");
  EXPECT_EQ(overlay::ParentOf(L"\\\\server\\share\\"), L"");
  EXPECT_EQ(overlay::ParentOf(L"\\\\?\\C:\\"), L"");
}

}  // namespace
