// Wide paths as the walk forms them: joined by the usual append rules, never
// normalised, never given a long-path prefix.
#pragma once

#include <string>

namespace overlay {

bool IsSeparator(wchar_t c) noexcept;

// directory \ name, without a separator after an empty path, a path that
// already ends in one, or a bare drive such as "C:".
std::wstring JoinPath(const std::wstring& directory, const std::wstring& name);
std::wstring JoinPath(const std::wstring& directory, const wchar_t* name);

// The last component: what follows the last separator, or the drive prefix.
std::wstring FileNameOf(const std::wstring& path);

// Whether a full path, as the system makes it, is a device: exactly "\\.\"
// and one name. "\\.\C:\upd\NUL" is a file.
bool IsDevicePath(const std::wstring& full_path);

// The parent of a full path ("C:\a\b" gives "C:\a", "C:\a" gives "C:\"), or
// empty for a root: a drive, a share, or either behind a "\\?\" prefix.
std::wstring ParentOf(const std::wstring& full_path);

}  // namespace overlay
