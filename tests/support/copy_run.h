// Running the guarded copy in-process and the texts its box can show.
#pragma once

#include <string>
#include <vector>

#include "report/error_code.h"
#include "tests/support/fake_win32.h"

namespace testing_tree {

// Runs CopyTree; the text of its one box, or "" when none was shown. A second
// box is a test failure.
std::string BoxTextOfCopy(const std::wstring& source, const std::wstring& target);

// The failure text for `code`, composed by the program's own report with the
// platform answering normally, or with only `faults` failing: a narrowing
// failure gives its own text instead.
std::string ExpectedFailureText(const std::wstring& source, const std::wstring& target,
                                overlay::error_code code,
                                const std::vector<fake::Fault>& faults = {});

}  // namespace testing_tree
