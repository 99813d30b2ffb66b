// The tree copy's operations on the file system. Each answers in the walk's
// own terms (a kind, an error_code), so the platform's answers are turned
// into them here and nowhere else.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "copy/copy_options.h"
#include "platform/owners.h"
#include "report/error_code.h"

namespace overlay {

// A path with the attributes last reported for it, the hint for its next
// status query; none where nothing has been reported yet. The reparse tag
// is the enumeration's, 0 where none was reported.
struct walk_entry {
  std::wstring path;
  std::optional<DWORD> attributes;
  DWORD reparse_tag = 0;
};

// Whether a reparse point with this tag may lead elsewhere: a name surrogate
// (a symbolic link, a junction), or a tag not known (0: Wine reports none for
// its links). Cloud-file placeholders, deduplicated folders and other filter
// drivers' reparse points are ordinary files and directories.
bool MayLeadElsewhere(DWORD reparse_tag);
// Whether the entry is a reparse point that may lead elsewhere.
bool MayBeALink(const walk_entry& entry);

// The reparse tag of the object at the path itself, not followed; 0 where it
// is no reparse point.
error_code QueryReparseTag(const std::wstring& path, DWORD* tag);

enum class file_type {
  not_found,  // nothing is there
  unknown,    // the query failed otherwise: whatever is there is not known
  regular,
  directory,
};

struct path_status {
  file_type type;
  error_code error;  // the platform's refusal; success when the query answered
  // Reached through a reparse point at the path: where it leads is another
  // object's place.
  bool reparse_point = false;

  bool exists() const noexcept {
    return type == file_type::regular || type == file_type::directory;
  }
};

// The kind of the object a path finally leads to. A hint without the
// reparse-point bit is taken as the answer without asking the platform.
path_status QueryStatus(const std::wstring& path, std::optional<DWORD> hint);

// The attributes of a root as it stands, links not followed, or none when it
// cannot be queried (the walk then queries again and reports).
std::optional<DWORD> QueryRootAttributes(const std::wstring& path);

// Whether a refusal means that nothing is at the path.
bool IsNotFound(const error_code& refusal);

// Volume serial number and file identifier, compared whole. Shaped like the
// platform's FILE_ID_INFO, which is read straight into it: Windows refuses a
// record that is not aligned to 8 bytes.
struct alignas(8) file_identity {
  std::uint64_t volume_serial_number;
  std::array<std::uint8_t, 16> file_id;
};
// Whether the objects at two paths, whose identities were taken, are one.
// Some file systems report no file identifier (zero) through the older call;
// such identities cannot tell objects apart and never count as one object.
// An identity whose volume serial number is 0 cannot tell volumes apart:
// Wine reports 0 for file systems its mount manager does not know, whose
// file numbers repeat from one to the next. There a match is one object only
// where the final paths of both agree; where they cannot be read, it is not.
bool SameObjectAt(const std::wstring& a_path, const file_identity& a, const std::wstring& b_path,
                  const file_identity& b);

// The identity of the object a path leads to.
error_code QueryIdentity(const std::wstring& path, file_identity* identity);

// Where a link (a symbolic link or a junction) leads, as the link itself
// says, also when nothing is there: a path the platform opens, a relative
// link's taken from the folder that holds it.
error_code QueryLinkDestination(const std::wstring& link, std::wstring* destination);

// The path made absolute against the current directory. A name that the
// system takes as a device comes back as "\\.\NAME".
error_code QueryFullPath(const std::wstring& path, std::wstring* full_path);

// Whether the system takes the path as a device, not a file. Where the path
// cannot be made full, it cannot be told, and the answer is no: the system
// refuses such a path itself.
bool NamesADevice(const std::wstring& path);

// The path of the object a path finally leads to, every link followed, as
// it was opened ("\\?\C:\...", not normalised: it may hold short names).
error_code QueryFinalPath(const std::wstring& path, std::wstring* final_path);

// Makes one directory, or accepts the directory already there; a missing
// parent is not made.
error_code CreateDirectoryUnlessPresent(const std::wstring& path);

// Replaces or creates one regular file by one platform whole-file copy, as
// the overwrite policy of `options` says.
error_code copy_file(const std::wstring& source, const std::wstring& target, copy_options options);

// The entries of one directory, read one at a time in the platform's order;
// the enumeration is closed with the listing.
class DirectoryListing {
 public:
  // Opens the enumeration at its first entry.
  explicit DirectoryListing(const std::wstring& directory);

  // Whether an entry is at hand: false at the end and after a failure.
  bool has_entry() const noexcept { return has_entry_; }
  const wchar_t* name() const noexcept { return record_.cFileName; }
  DWORD attributes() const noexcept { return record_.dwFileAttributes; }
  // The reparse tag, where the attributes hold a reparse point.
  DWORD reparse_tag() const noexcept {
    return (record_.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? record_.dwReserved0 : 0;
  }
  // Why the listing ended early; success when it ran to its end.
  const error_code& error() const noexcept { return error_; }

  void Next();

 private:
  FindHandle find_;
  WIN32_FIND_DATAW record_;
  error_code error_;
  bool has_entry_ = false;
};

}  // namespace overlay
