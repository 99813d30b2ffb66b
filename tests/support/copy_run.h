// Running the guarded copy in-process and the texts its box can show.
#pragma once

#include <string>

#include "report/error_code.h"
#include "tests/support/expected_text.h"

namespace testing_tree {

// Runs CopyTree; the text of its one box, or "" when none was shown. A second
// box is a test failure.
std::string BoxTextOfCopy(const std::wstring& source, const std::wstring& target);

// The box text of a copy of these roots that failed with `code`, composed
// from the platform's and the runtime's own texts.
std::string ExpectedFailureText(const std::wstring& source, const std::wstring& target,
                                overlay::error_code code);

}  // namespace testing_tree
