// The recursive copy with overwrite of one tree onto another.
#pragma once

#include <windows.h>

#include <string>

#include "report/error_code.h"

namespace overlay {

enum class copy_options : unsigned {
  none = 0,
  overwrite_existing = 0x2,
  recursive = 0x10,
};

constexpr copy_options operator|(copy_options a, copy_options b) {
  return static_cast<copy_options>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}

// The one option set the program copies with.
constexpr copy_options kTreeCopyOptions =
    copy_options::recursive | copy_options::overwrite_existing;

// A path with the attributes last reported for it, the hint for its next
// status query.
struct walk_entry {
  std::wstring path;
  DWORD attributes;
};

// Lays the source over the target. Raises filesystem_error ("copy", the first
// failure's code, the two roots as given) when anything fails.
void copy_tree(const std::wstring& source_root, const std::wstring& target_root);

// One level of the walk; returns the first failure below it, or success.
error_code copy_entry(const walk_entry& source, const std::wstring& target, copy_options options);

// Refuses (EINVAL) a target root inside the directory that is the source
// root: the walk would descend into its own copies without end.
error_code RefuseTargetInsideSource(const walk_entry& source_root, const std::wstring& target_root);

}  // namespace overlay
