// Keeping the walk out of the tree it writes. One rule, enforced here:
//
//   A source directory is never the directory it is copied into, nor one
//   that holds it.
//
// Broken, the walk would read what it writes and lay the tree into itself
// level after level. At the source root a target root inside the source root
// breaks it; below the root only a link in the source can, so the walk asks
// for the root and for each directory it enters through a link, before that
// directory's counterpart is made.
#pragma once

#include <string>

#include "report/error_code.h"

namespace overlay {

// The rule for one source directory and the target path it is copied into:
// EINVAL when the directory holds that path, however links lead there. That
// it is the same directory is the walk's same-object verdict (EEXIST), left
// to it. Whatever cannot be told (a query refused) is let through: the copy
// then goes on as it would without the rule.
error_code RefuseCopyIntoItself(const std::wstring& source_directory, const std::wstring& target);

}  // namespace overlay
