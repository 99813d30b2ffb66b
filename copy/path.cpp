#include "copy/path.h"

#include <cwchar>

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

std::wstring FileNameOf(const std::wstring& path) {
  std::size_t start = HasDrivePrefix(path) ? 2 : 0;
  for (std::size_t i = start; i < path.size(); ++i) {
    if (IsSeparator(path[i])) start = i + 1;
  }
  return path.substr(start);
}

}  // namespace overlay
