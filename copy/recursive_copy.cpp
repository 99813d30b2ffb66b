#include "copy/recursive_copy.h"

#include <cerrno>
#include <cwchar>

#include "copy/copy_options.h"
#include "copy/file_copy.h"
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

// Same object: the walk would copy a tree or a file onto itself.
error_code RefuseSameObject(const std::wstring& source, const std::wstring& target) {
  file_identity source_identity, target_identity;
  if (error_code refusal = QueryIdentity(source, &source_identity)) return refusal;
  if (error_code refusal = QueryIdentity(target, &target_identity)) return refusal;
  if (source_identity == target_identity) return MakeGenericCode(EEXIST);
  return error_code();
}

// Creates the target directory unless a directory is already there.
error_code EnsureDirectory(const std::wstring& target) {
  const error_code created = CreateDirectoryLevel(target);
  if (created.value() != static_cast<std::int32_t>(ERROR_ALREADY_EXISTS)) return created;
  const path_status existing = QueryStatus(target, std::nullopt);
  if (existing.error) return existing.error;
  if (existing.type == file_type::directory) return error_code();
  return created;
}

error_code copy_entry(const walk_entry& source, const std::wstring& target, copy_options options);

// Merges the source directory into the target one, entry by entry.
error_code CopyDirectory(const std::wstring& source, const std::wstring& target,
                         const path_status& target_status, copy_options options) {
  if (target_status.type == file_type::regular) return MakeGenericCode(EEXIST);
  if (error_code refusal = EnsureDirectory(target)) return refusal;
  DirectoryListing listing(source);
  for (; listing.has_entry(); listing.Next()) {
    const wchar_t* name = listing.name();
    if (IsDotOrDotDot(name)) continue;
    if (IsUnaddressableName(name)) return MakeSystemCode(ERROR_INVALID_NAME);
    const walk_entry entry{JoinPath(source, name), listing.attributes()};
    if (error_code failure = copy_entry(entry, JoinPath(target, name), options)) return failure;
  }
  return listing.error();
}

// One level of the walk; the first failure below it, or success.
error_code copy_entry(const walk_entry& source, const std::wstring& target, copy_options options) {
  const path_status from = QueryStatus(source.path, source.attributes);
  if (from.error) return from.error;

  const path_status to = QueryStatus(target, std::nullopt);
  if (to.error && to.type != file_type::not_found) return to.error;
  if (to.exists()) {
    if (error_code refusal = RefuseSameObject(source.path, target)) return refusal;
  }

  if (from.type == file_type::directory) return CopyDirectory(source.path, target, to, options);
  if (to.type == file_type::directory) {
    return copy_file(source.path, JoinPath(target, FileNameOf(source.path)), options);
  }
  return copy_file(source.path, target, options);
}

}  // namespace

void copy_tree(const std::wstring& source_root, const std::wstring& target_root) {
  const walk_entry root{source_root, QueryRootAttributes(source_root)};
  error_code result = RefuseTargetInsideSource(root, target_root);
  if (!result) result = copy_entry(root, target_root, kTreeCopyOptions);
  if (result) throw filesystem_error("copy", source_root, target_root, result);
}

}  // namespace overlay
