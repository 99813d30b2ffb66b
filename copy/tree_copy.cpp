#include "copy/tree_copy.h"

#include <cerrno>
#include <cwchar>
#include <vector>

#include "copy/file_copy.h"
#include "copy/path.h"
#include "copy/status.h"
#include "platform/owners.h"
#include "platform/win32.h"
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

// The first entry of a directory, or the platform's error. Volumes that do
// not offer the basic information level are asked again with the standard one.
FindHandle OpenEnumeration(const std::wstring& directory, WIN32_FIND_DATAW* first, DWORD* error) {
  const std::wstring pattern = JoinPath(directory, L"*");
  HANDLE find = win32::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, first,
                                        FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    *error = win32::GetLastError();
    if (*error != ERROR_NOT_SUPPORTED && *error != ERROR_INVALID_PARAMETER) return FindHandle();
    find = win32::FindFirstFileExW(pattern.c_str(), FindExInfoStandard, first,
                                   FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) *error = win32::GetLastError();
  }
  return FindHandle(find);
}

// Same object: the walk would copy a tree or a file onto itself.
error_code RefuseSameObject(const std::wstring& source, const std::wstring& target) {
  file_identity source_identity, target_identity;
  if (DWORD error = QueryIdentity(source, &source_identity)) return MakeSystemCode(error);
  if (DWORD error = QueryIdentity(target, &target_identity)) return MakeSystemCode(error);
  if (source_identity == target_identity) return MakeGenericCode(EEXIST);
  return error_code();
}

// Creates the target directory unless a directory is already there.
error_code EnsureDirectory(const std::wstring& target) {
  if (win32::CreateDirectoryW(target.c_str(), nullptr)) return error_code();
  const DWORD error = win32::GetLastError();
  if (error != ERROR_ALREADY_EXISTS) return MakeSystemCode(error);
  const path_status existing = QueryStatus(target, kNoHint);
  if (existing.error) return MakeSystemCode(existing.error);
  if (existing.type == file_type::directory) return error_code();
  return MakeSystemCode(ERROR_ALREADY_EXISTS);
}

error_code CopyDirectory(const std::wstring& source, const std::wstring& target,
                         file_type target_type, copy_options options) {
  if (target_type == file_type::regular) return MakeGenericCode(EEXIST);
  if (error_code result = EnsureDirectory(target)) return result;

  WIN32_FIND_DATAW data;
  DWORD error = 0;
  FindHandle find = OpenEnumeration(source, &data, &error);
  if (!find) {
    // Nothing matched at all: a directory without even "." (a volume root).
    if (error == ERROR_FILE_NOT_FOUND) return error_code();
    return MakeSystemCode(error);
  }
  for (;;) {
    if (!IsDotOrDotDot(data.cFileName)) {
      if (IsUnaddressableName(data.cFileName)) return MakeSystemCode(ERROR_INVALID_NAME);
      const walk_entry entry{JoinPath(source, data.cFileName), data.dwFileAttributes};
      if (error_code result = copy_entry(entry, JoinPath(target, data.cFileName), options)) {
        return result;
      }
    }
    if (!win32::FindNextFileW(find.get(), &data)) {
      error = win32::GetLastError();
      return error == ERROR_NO_MORE_FILES ? error_code() : MakeSystemCode(error);
    }
  }
}

// The full path of a target root, or empty when the platform cannot say.
std::wstring FullPathOf(const std::wstring& path) {
  const DWORD needed = win32::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::wstring();
  std::vector<wchar_t> buffer(needed);
  const DWORD written = win32::GetFullPathNameW(path.c_str(), needed, buffer.data(), nullptr);
  if (written == 0 || written >= needed) return std::wstring();
  return std::wstring(buffer.data(), written);
}

// The final path (every link followed) of the deepest existing part of a
// target root, and whether that part is the whole root; false when the
// platform cannot tell. The rest of the root, not there yet, would be made
// below that part.
bool ResolveDeepestExistingPart(const std::wstring& target_root, std::wstring* final_path,
                                bool* is_whole_root) {
  *is_whole_root = true;
  for (std::wstring part = FullPathOf(target_root); !part.empty(); part = ParentOf(part)) {
    const DWORD error = QueryFinalPath(part, final_path);
    if (error == 0) return true;
    if (!IsNotFoundError(error)) return false;
    *is_whole_root = false;
  }
  return false;
}

}  // namespace

error_code RefuseTargetInsideSource(const walk_entry& source_root,
                                    const std::wstring& target_root) {
  if (QueryStatus(source_root.path, source_root.attributes).type != file_type::directory) {
    return error_code();
  }
  // Whatever cannot be resolved is left to the walk, which reports what is wrong.
  std::wstring resolved;
  bool is_whole_root = false;
  if (!ResolveDeepestExistingPart(target_root, &resolved, &is_whole_root)) return error_code();
  // Where identities cannot tell objects apart, nothing can be decided here.
  file_identity source_identity;
  if (QueryIdentity(source_root.path, &source_identity) != 0) return error_code();
  if (!TellsObjectsApart(source_identity)) return error_code();
  // A target root that is the source itself is the walk's same-object refusal.
  std::wstring ancestor = is_whole_root ? ParentOf(resolved) : resolved;
  for (; !ancestor.empty(); ancestor = ParentOf(ancestor)) {
    file_identity ancestor_identity;
    if (QueryIdentity(ancestor, &ancestor_identity) != 0) continue;
    if (ancestor_identity == source_identity) return MakeGenericCode(EINVAL);
  }
  return error_code();
}

error_code copy_entry(const walk_entry& source, const std::wstring& target, copy_options options) {
  const path_status from = QueryStatus(source.path, source.attributes);
  if (from.error) return MakeSystemCode(from.error);

  const path_status to = QueryStatus(target, kNoHint);
  if (to.error && to.type != file_type::not_found) return MakeSystemCode(to.error);
  if (!to.error) {
    if (error_code result = RefuseSameObject(source.path, target)) return result;
  }

  if (from.type == file_type::directory) {
    return CopyDirectory(source.path, target, to.type, options);
  }
  if (to.type == file_type::directory) {
    return copy_file(source.path, JoinPath(target, FileNameOf(source.path)), options);
  }
  return copy_file(source.path, target, options);
}

void copy_tree(const std::wstring& source_root, const std::wstring& target_root) {
  const walk_entry root{source_root, QueryRootAttributes(source_root)};
  error_code result = RefuseTargetInsideSource(root, target_root);
  if (!result) result = copy_entry(root, target_root, kTreeCopyOptions);
  if (result) throw filesystem_error("copy", source_root, target_root, result);
}

}  // namespace overlay
