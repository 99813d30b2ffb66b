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

// Volume serial number and file identifier, compared whole. Shaped like the
// platform's FILE_ID_INFO, which is read straight into it: Windows refuses a
// record that is not aligned to 8 bytes.
struct alignas(8) file_identity {
  std::uint64_t volume_serial_number;
  std::array<std::uint8_t, 16> file_id;
};
bool operator==(const file_identity& a, const file_identity& b);

// Some file systems report no file identifier (zero) through the older call,
// so their identities cannot tell objects apart.
bool TellsObjectsApart(const file_identity& identity);

// The identity of the object a path leads to; the platform's error otherwise.
DWORD QueryIdentity(const std::wstring& path, file_identity* identity);

// The path of the object a path finally leads to, every link followed, as
// the platform names it ("\\?\C:\..."); the platform's error otherwise.
DWORD QueryFinalPath(const std::wstring& path, std::wstring* final_path);

// The errors that mean nothing is at a path.
bool IsNotFoundError(DWORD error);

}  // namespace overlay
