#include "platform/system_library.h"

#include <cwchar>

namespace overlay {
namespace {

// The system directory joined with `name`, built in the caller's buffer.
bool SystemPathOf(const wchar_t* name, wchar_t* path, UINT capacity) noexcept {
  const UINT length = ::GetSystemDirectoryW(path, capacity);
  const std::size_t name_length = std::wcslen(name);
  if (length == 0 || length + 1 + name_length + 1 > capacity) return false;
  path[length] = L'\\';
  std::wmemcpy(path + length + 1, name, name_length + 1);
  return true;
}

}  // namespace

SystemLibrary::SystemLibrary(const wchar_t* name) noexcept {
  // LoadLibraryExW knows this flag exactly where SetDefaultDllDirectories
  // exists (Windows 8, or Vista and 7 with their loader update); elsewhere it
  // refuses it with ERROR_INVALID_PARAMETER.
  module_.reset(::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (module_ || ::GetLastError() != ERROR_INVALID_PARAMETER) return;
  // An older loader: name the file in the system directory, and let the DLLs
  // it needs be looked for there first.
  wchar_t path[MAX_PATH + 32];
  if (!SystemPathOf(name, path, sizeof path / sizeof path[0])) return;
  module_.reset(::LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}

FARPROC SystemLibrary::FindExport(const char* name) const noexcept {
  return module_ ? ::GetProcAddress(module_.get(), name) : nullptr;
}

}  // namespace overlay
