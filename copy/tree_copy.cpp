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

// The proper ancestors of a full path, nearest first: "C:\a\b" gives "C:\a"
// and "C:\".
std::vector<std::wstring> ProperAncestorsOf(const std::wstring& full_path) {
  std::size_t end = full_path.size();
  while (end > 0 && IsSeparator(full_path[end - 1])) --end;  // "C:\a\b\" names "C:\a\b"
  std::vector<std::wstring> ancestors;
  while (end > 0) {
    std::size_t separator = end - 1;
    while (separator > 0 && !IsSeparator(full_path[separator])) --separator;
    if (!IsSeparator(full_path[separator])) break;
    std::size_t parent_end = separator;
    while (parent_end > 0 && IsSeparator(full_path[parent_end - 1])) --parent_end;
    if (parent_end == 0) break;
    // A drive keeps its separator: "C:" alone would be the drive's current directory.
    const bool is_drive = full_path[parent_end - 1] == L':';
    ancestors.push_back(full_path.substr(0, is_drive ? parent_end + 1 : parent_end));
    end = parent_end;
  }
  return ancestors;
}

}  // namespace

error_code RefuseTargetInsideSource(const walk_entry& source_root,
                                    const std::wstring& target_root) {
  if (QueryStatus(source_root.path, source_root.attributes).type != file_type::directory) {
    return error_code();
  }
  const std::wstring full_target = FullPathOf(target_root);
  if (full_target.empty()) return error_code();  // the walk reports whatever is wrong

  file_identity source_identity;
  bool source_known = false;
  for (const std::wstring& ancestor : ProperAncestorsOf(full_target)) {
    file_identity ancestor_identity;
    if (QueryIdentity(ancestor, &ancestor_identity) != 0) continue;  // not there (yet)
    if (!source_known) {
      if (QueryIdentity(source_root.path, &source_identity) != 0) return error_code();
      source_known = true;
    }
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
