// Odd input on real trees: the fixture shared by the suites on names and
// lengths, sizes and depths, links, and a source that changes under the
// walk. The real platform answers through the seam; faults are injected
// only where it cannot produce the case. No run ever writes under the
// source root.
#pragma once

#include <windows.h>

#include <map>
#include <string>

#include "tests/support/copy_run.h"
#include "tests/support/platform_test.h"

namespace testing_tree {

// Prints one figure line for the report of these suites.
void Figure(const char* format, ...);

// What a directory holds, without opening any file and without following
// links: name -> kind, size and last write time. Any write under the root
// changes it.
using Shape = std::map<std::wstring, std::string>;
Shape ShapeOf(const std::wstring& root);

// The longest full path, in UTF-16 units, for which the platform still
// creates a file in `parent`'s tree.
size_t LongestCreatablePath(const std::wstring& parent);

class OddTrees : public PlatformTest {
 protected:
  // Runs the guarded copy and checks that it left nothing open and, unless
  // the test changes it, nothing under the source root changed; the text of
  // its one box, or "" when none was shown.
  std::string Copy(const std::wstring& source, const std::wstring& target,
                   bool source_changes = false);
  // The box text of a copy of these roots refused with a platform error.
  static std::string ExpectedSystemText(const std::wstring& source, const std::wstring& target,
                                        DWORD error) {
    return ExpectedFailureText(source, target, overlay::MakeSystemCode(error));
  }
  // The last file copy, a refused one, was the walk's last step: no
  // directory was made after it.
  static void ExpectTheLastCopyEndedTheWalk();
  void TearDown() override;

  TempDir temp_;
  const std::wstring source_ = temp_ / L"source";
  const std::wstring target_ = temp_ / L"target";
  int copies_ = 0;
};

}  // namespace testing_tree
