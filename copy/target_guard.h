// Keeping the walk out of the tree it writes. One rule, enforced here:
//
//   A source directory is never the directory it is copied into, nor one
//   that holds it.
//
// Broken, the walk would read what it writes and lay the tree into itself
// level after level. At the source root it is broken by a target root inside
// the source root (or the same directory); below the root only a link in the
// source can break it, so the walk asks at each directory it enters through
// one, before that directory's counterpart is made.
#pragma once

#include <string>

#include "copy/file_system.h"
#include "report/error_code.h"

namespace overlay {

// The rule for one source directory and the target path it is copied into:
// EINVAL when the directory holds that path, however links lead there. That
// it is the same directory is the walk's same-object verdict (EEXIST), left
// to it. Whatever cannot be told (a query refused) is let through: the copy
// then goes on as it would without the rule.
error_code RefuseCopyIntoItself(const std::wstring& source_directory, const std::wstring& target);

// The rule at the roots, where the source root is a directory.
error_code RefuseTargetInsideSource(const walk_entry& source_root, const std::wstring& target_root);

}  // namespace overlay
