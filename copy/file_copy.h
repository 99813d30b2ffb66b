// Replacement of one regular file.
#pragma once

#include <string>

#include "copy/copy_options.h"
#include "report/error_code.h"

namespace overlay {

// One platform whole-file copy that creates or overwrites the target; the
// platform's error, unchanged, in the system category.
error_code copy_file(const std::wstring& source, const std::wstring& target, copy_options options);

}  // namespace overlay
