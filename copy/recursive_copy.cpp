#include "copy/recursive_copy.h"

#include <cerrno>
#include <cwchar>

#include "copy/copy_options.h"
#include "copy/file_system.h"
#include "copy/path.h"
#include "copy/target_guard.h"
#include "report/failure.h"

namespace overlay {
namespace {

bool IsDotOrDotDot(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// Paths drop a final dot or blank, so such a name (made on another system)
// would be read and written as a different entry: "twin." as "twin", a
// directory "data." as "data". It is refused rather than copied wrongly.
bool IsUnaddressableName(const wchar_t* name) {
  const std::size_t length = std::wcslen(name);
  return length > 0 && (name[length - 1] == L'.' || name[length - 1] == L' ');
}

// A name the system takes as a device ("NUL", "CON:", on older systems
// "aux.dat") would read from or write to the device instead of the file: a
// game file silently not updated, or a copy blocked on a serial port. The
// system judges each path where it is used: a source root written as
// "\\?\C:\..." takes no name as a device, the target's plain path may.
error_code RefuseDeviceName(const wchar_t* name, const std::wstring& source,
                            const std::wstring& target) {
  if (!MayNameADevice(name)) return error_code();
  if (NamesADevice(source) || NamesADevice(target)) return MakeSystemCode(ERROR_INVALID_NAME);
  return error_code();
}

// Same object: the walk would copy a tree or a file onto itself. The
// target's identity is kept for the rules of copy/target_guard.h.
error_code RefuseSameObject(const std::wstring& source, const std::wstring& target,
                            file_identity* target_identity) {
  file_identity source_identity;
  if (error_code refusal = QueryIdentity(source, &source_identity)) return refusal;
  if (error_code refusal = QueryIdentity(target, target_identity)) return refusal;
  if (SameObjectAt(source, source_identity, target, *target_identity)) {
    return MakeGenericCode(EEXIST);
  }
  return error_code();
}

error_code CopyDirectory(const walk_entry& source, const std::wstring& target,
                         const path_status& target_status, const TreesBeingRead* reading);

// One level of the walk; the first failure below it, or success. `reading`
// holds the trees the walk reads on its way here, none at the root.
error_code CopyEntry(const walk_entry& source, const std::wstring& target,
                     const TreesBeingRead* reading) {
  const path_status from = QueryStatus(source.path, source.attributes);
  if (from.error) return from.error;

  const path_status to = QueryStatus(target, std::nullopt);
  if (to.error && to.type != file_type::not_found) return to.error;
  if (to.exists()) {
    file_identity target_identity;
    if (error_code refusal = RefuseSameObject(source.path, target, &target_identity)) {
      return refusal;
    }
    if (error_code refusal = RefuseTreeBeingRead(target, target_identity, reading)) {
      return refusal;
    }
  }
  if (to.reparse_point) {
    if (error_code refusal = RefuseLinkIntoTreesBeingRead(target, !to.exists(), reading)) {
      return refusal;
    }
  }

  if (from.type == file_type::directory) return CopyDirectory(source, target, to, reading);
  if (to.type == file_type::directory) {
    return copy_file(source.path, JoinPath(target, FileNameOf(source.path)), kTreeCopyOptions);
  }
  return copy_file(source.path, target, kTreeCopyOptions);
}

// Merges the source directory into the target one, entry by entry.
error_code CopyDirectory(const walk_entry& source, const std::wstring& target,
                         const path_status& target_status, const TreesBeingRead* reading) {
  if (target_status.type == file_type::regular) return MakeGenericCode(EEXIST);
  // The rules of copy/target_guard.h, before anything is made: the walk
  // enters a tree of its own at the source root and at each link.
  TreesBeingRead tree{&source.path, std::nullopt, reading};
  const bool enters_a_tree = reading == nullptr || MayBeALink(source);
  if (enters_a_tree) {
    if (error_code refusal = EnterTree(source.path, target, &tree)) return refusal;
  }
  const TreesBeingRead* inner = enters_a_tree ? &tree : reading;
  if (error_code refusal = CreateDirectoryUnlessPresent(target)) return refusal;
  DirectoryListing listing(source.path);
  for (; listing.has_entry(); listing.Next()) {
    const wchar_t* name = listing.name();
    if (IsDotOrDotDot(name)) continue;
    if (IsUnaddressableName(name)) return MakeSystemCode(ERROR_INVALID_NAME);
    const walk_entry entry{JoinPath(source.path, name), listing.attributes(),
                           listing.reparse_tag()};
    const std::wstring counterpart = JoinPath(target, name);
    if (error_code refusal = RefuseDeviceName(name, entry.path, counterpart)) return refusal;
    if (error_code failure = CopyEntry(entry, counterpart, inner)) return failure;
  }
  return listing.error();
}

}  // namespace

void CopyTreeOrThrow(const std::wstring& source_root, const std::wstring& target_root) {
  const walk_entry root{source_root, QueryRootAttributes(source_root)};
  const error_code result = CopyEntry(root, target_root, nullptr);
  if (result) throw filesystem_error("copy", source_root, target_root, result);
}

}  // namespace overlay
