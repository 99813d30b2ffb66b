// basics.h: what every step of the reference launcher stands on: owners of
// handles, the system's text for an error, quoting a command-line argument,
// full paths, starting a program with only the handles it needs, listing a
// folder and the temporary folder. Nothing here knows about overlay.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

// The system's description of an error, in the system's language.
inline std::wstring SystemMessage(DWORD error) {
  wchar_t text[512];
  DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, 512, nullptr);
  while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n')) --length;
  return length > 0 ? std::wstring(text, length) : L"Error " + std::to_wstring(error) + L".";
}

// Owns a handle that `Close` releases (CloseHandle, FindClose), on every path
// out of the function that opened it.
template <BOOL(WINAPI* Close)(HANDLE)>
class Owned {
 public:
  explicit Owned(HANDLE handle = nullptr) : handle_(handle) {}
  Owned(Owned&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Owned& operator=(Owned&& other) noexcept {
    std::swap(handle_, other.handle_);  // the old one closes with `other`
    return *this;
  }
  ~Owned() {
    if (*this) Close(handle_);
  }
  HANDLE get() const { return handle_; }
  // Windows functions give either null or INVALID_HANDLE_VALUE for "none".
  explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};
using UniqueHandle = Owned<::CloseHandle>;
using FindHandle = Owned<::FindClose>;

// The argument in quotes, such that CommandLineToArgvW gives it back unchanged.
// Backslashes are literal unless they run into a quote: those before an
// embedded quote or the closing one are doubled, an embedded quote escaped.
// So a folder ending in "\" stays one argument instead of escaping the quote.
inline std::wstring QuoteArgument(const std::wstring& argument) {
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t character : argument) {
    if (character == L'\\') {
      ++backslashes;
    } else {
      if (character == L'"') quoted.append(backslashes + 1, L'\\');
      backslashes = 0;
    }
    quoted += character;
  }
  quoted.append(backslashes, L'\\');
  return quoted + L'"';
}

// The path made absolute against this process's working directory; empty on
// failure. overlay takes a relative root against its own working directory,
// so an absolute one names the same folder wherever overlay runs.
inline std::wstring FullPath(const std::wstring& path) {
  const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::wstring();
  std::wstring full(needed, L'\0');
  const DWORD written = ::GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
  if (written == 0 || written >= needed) return std::wstring();
  full.resize(written);
  return full;
}

// Where the platform resolves the entry open as `entry`, with every link on
// the way followed ("\\?\C:\Games\Game"); empty when it cannot tell.
inline std::wstring FinalPath(HANDLE entry) {
  std::wstring path(MAX_PATH, L'\0');
  for (int tries = 0; tries < 2; ++tries) {
    const DWORD length =
        ::GetFinalPathNameByHandleW(entry, &path[0], static_cast<DWORD>(path.size()), 0);
    if (length == 0) break;
    if (length < path.size()) return path.substr(0, length);
    path.resize(length);  // the size it needs, its end included
  }
  return std::wstring();
}

// Where the platform resolves `path` (a folder too), links followed; empty
// when it cannot tell.
inline std::wstring ResolvedPath(const std::wstring& path) {
  const UniqueHandle entry(::CreateFileW(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return entry ? FinalPath(entry.get()) : std::wstring();
}

// Whether two paths the platform gave name one entry (it ignores case).
inline bool SamePath(const std::wstring& a, const std::wstring& b) {
  return !a.empty() && ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// This program's path; empty on failure. The buffer grows until the path
// fits: a game folder may lie deeper than MAX_PATH.
inline std::wstring ModulePath() {
  for (DWORD size = MAX_PATH; size <= 65536; size *= 2) {
    std::wstring path(size, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, &path[0], size);
    if (length == 0) break;
    if (length < size) return path.substr(0, length);
  }
  return std::wstring();
}

// Lets a new process inherit one handle and no other: a launcher may hold
// inheritable handles of its own (a log, a pipe), which must not stay open
// in the waiter while overlay copies.
class InheritOnly {
 public:
  explicit InheritOnly(HANDLE handle) : handle_(handle) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    buffer_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    initialized_ = list;
    if (::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &handle_,
                                    sizeof handle_, nullptr, nullptr)) {
      list_ = list;
    }
  }
  ~InheritOnly() {
    if (initialized_) ::DeleteProcThreadAttributeList(initialized_);
  }
  InheritOnly(const InheritOnly&) = delete;
  InheritOnly& operator=(const InheritOnly&) = delete;
  // Null when the list could not be made.
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  HANDLE handle_;  // the list points here
  std::vector<char> buffer_;
  LPPROC_THREAD_ATTRIBUTE_LIST initialized_ = nullptr, list_ = nullptr;
};

// Starts `program` with the whole `command_line` and returns its process
// handle; none when it could not be started (GetLastError says why). It
// inherits the handles `inherit` lists, or none at all.
inline UniqueHandle StartProgram(const std::wstring& program, std::wstring command_line,
                                 const InheritOnly* inherit = nullptr) {
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.lpAttributeList = inherit ? inherit->get() : nullptr;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, inherit != nullptr,
                        inherit ? EXTENDED_STARTUPINFO_PRESENT : 0, nullptr, nullptr,
                        &startup.StartupInfo, &process)) {
    return UniqueHandle();
  }
  ::CloseHandle(process.hThread);
  return UniqueHandle(process.hProcess);
}

// The temporary folder, ending in "\"; empty where there is none.
inline std::wstring TemporaryFolder() {
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
  return length > 0 && length <= MAX_PATH ? std::wstring(temp, length) : std::wstring();
}

// Calls `visit(entry)` for each entry of a folder but "." and "..", while it
// returns true; false when the folder cannot be listed or a visit said stop.
template <typename Visit>
bool ForEachEntryOf(const std::wstring& folder, const Visit& visit) {
  WIN32_FIND_DATAW found;
  const FindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &found));
  if (!find) return false;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L".." && !visit(found)) return false;
  } while (::FindNextFileW(find.get(), &found));
  return true;
}
