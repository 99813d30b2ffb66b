// What the tree copy asks the platform about a path: its kind (following
// links) and its identity.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>

namespace overlay {

enum class file_type { not_found, none, regular, directory };

struct path_status {
  file_type type;
  DWORD error;  // 0 when the query succeeded
};

// No attributes known for a path yet.
constexpr DWORD kNoHint = INVALID_FILE_ATTRIBUTES;

// The kind of the object a path finally leads to. A hint without the
// reparse-point bit is taken as the answer without asking the platform.
path_status QueryStatus(const std::wstring& path, DWORD hint);

// The attributes of a root as it stands, links not followed, or kNoHint when
// it cannot be queried (the walk queries again and reports then).
DWORD QueryRootAttributes(const std::wstring& path);

// Volume serial number and file identifier, compared whole.
using file_identity = std::array<std::uint8_t, 24>;

// The identity of the object a path leads to; the platform's error otherwise.
DWORD QueryIdentity(const std::wstring& path, file_identity* identity);

}  // namespace overlay
