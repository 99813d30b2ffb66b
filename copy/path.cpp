#include "copy/path.h"

#include <cwchar>
#include <cwctype>

namespace overlay {
namespace {

bool IsDriveLetter(wchar_t c) noexcept {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

bool IsBareDrive(const std::wstring& path) noexcept {
  return path.size() == 2 && IsDriveLetter(path[0]) && path[1] == L':';
}

bool HasDrivePrefix(const std::wstring& path) noexcept {
  return path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == L':';
}

bool StartsWithNoCase(const std::wstring& path, std::size_t at, const wchar_t* prefix) noexcept {
  for (std::size_t i = 0; prefix[i] != L'\0'; ++i, ++at) {
    if (at >= path.size() || std::towupper(path[at]) != std::towupper(prefix[i])) return false;
  }
  return true;
}

// Past one name and the separators after it.
std::size_t SkipComponent(const std::wstring& path, std::size_t at) noexcept {
  while (at < path.size() && !IsSeparator(path[at])) ++at;
  while (at < path.size() && IsSeparator(path[at])) ++at;
  return at;
}

// How much of a full path names its root, separator included: "C:\",
// "\\server\share\", "\\?\C:\", "\\?\UNC\server\share\".
std::size_t RootLengthOf(const std::wstring& path) noexcept {
  if (StartsWithNoCase(path, 0, L"\\\\?\\") || StartsWithNoCase(path, 0, L"\\\\.\\")) {
    if (StartsWithNoCase(path, 4, L"UNC\\")) return SkipComponent(path, SkipComponent(path, 8));
    return SkipComponent(path, 4);  // the drive or volume name
  }
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    return SkipComponent(path, SkipComponent(path, 2));
  }
  if (HasDrivePrefix(path)) return path.size() > 2 && IsSeparator(path[2]) ? 3 : 2;
  return 0;
}

}  // namespace

bool IsSeparator(wchar_t c) noexcept { return c == L'\\' || c == L'/'; }

std::wstring JoinPath(const std::wstring& directory, const wchar_t* name) {
  const std::size_t name_length = std::wcslen(name);
  const bool needs_separator =
      !directory.empty() && !IsSeparator(directory.back()) && !IsBareDrive(directory);
  std::wstring joined;
  joined.reserve(directory.size() + (needs_separator ? 1 : 0) + name_length);
  joined += directory;
  if (needs_separator) joined += L'\\';
  joined.append(name, name_length);
  return joined;
}

std::wstring JoinPath(const std::wstring& directory, const std::wstring& name) {
  return JoinPath(directory, name.c_str());
}

bool IsDevicePath(const std::wstring& full_path) {
  return full_path.size() > 4 && full_path.compare(0, 4, L"\\\\.\\") == 0 &&
         full_path.find_first_of(L"\\/", 4) == std::wstring::npos;
}

std::wstring ParentOf(const std::wstring& full_path) {
  const std::size_t root = RootLengthOf(full_path);
  std::size_t end = full_path.size();
  while (end > root && IsSeparator(full_path[end - 1])) --end;
  if (end <= root) return std::wstring();
  while (end > root && !IsSeparator(full_path[end - 1])) --end;
  while (end > root && IsSeparator(full_path[end - 1])) --end;
  return full_path.substr(0, end);
}

std::wstring FileNameOf(const std::wstring& path) {
  std::size_t start = HasDrivePrefix(path) ? 2 : 0;
  for (std::size_t i = start; i < path.size(); ++i) {
    if (IsSeparator(path[i])) start = i + 1;
  }
  return path.substr(start);
}

}  // namespace overlay
