// The recursive copy with overwrite of one tree onto another.
#pragma once

#include <string>

namespace overlay {

// Lays the source over the target. Throws filesystem_error ("copy", the first
// failure's code, the two roots as given) when anything fails; CopyTree
// (app/guarded_copy.h) is the caller that turns it into the box.
void CopyTreeOrThrow(const std::wstring& source_root, const std::wstring& target_root);

}  // namespace overlay
