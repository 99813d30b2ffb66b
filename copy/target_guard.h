// The refusal of a target root that lies inside the source root.
#pragma once

#include <string>

#include "copy/file_system.h"
#include "report/error_code.h"

namespace overlay {

// Refuses (EINVAL) a target root inside the directory that is the source
// root, however links lead there: the walk would descend into its own copies
// without end. Whatever cannot be told is left to the walk.
error_code RefuseTargetInsideSource(const walk_entry& source_root, const std::wstring& target_root);

}  // namespace overlay
