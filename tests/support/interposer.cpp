#include "tests/support/interposer.h"

#include <locale.h>  // ___lc_codepage_func
#include <shellapi.h>
#include <wchar.h>
#include <winioctl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>

#include "platform/system_library.h"
#include "platform/win32.h"
#include "tests/support/allocation.h"

namespace interposer {
namespace {

State g_state;
std::set<HANDLE> g_open_handles;
std::set<HANDLE> g_open_finds;
std::set<void*> g_argument_vectors;
std::set<void*> g_message_buffers;
// Handles of the stand-ins of State: the dangling link opened itself, twins.
std::set<HANDLE> g_dangling_links, g_twins;

struct FakeSnapshot {
  std::vector<std::wstring> names;
  size_t next = 0;
};
std::vector<std::pair<HANDLE, FakeSnapshot>> g_fake_snapshots;

// Counts and logs the call; returns the error to answer, or 0 to go on.
DWORD Enter(Call call, int detail = -1, const wchar_t* path = nullptr) {
  alloc::Uncounted bookkeeping;
  int& count = g_state.counts[static_cast<int>(call)];
  ++count;
  g_state.log.push_back({call, detail, path ? std::wstring(path) : std::wstring()});
  for (const Fault& fault : g_state.faults) {
    if (fault.call != call) continue;
    if (fault.detail != -1 && fault.detail != detail) continue;
    if (fault.nth != 0 && fault.nth != count) continue;
    if (!fault.path.empty() && (path == nullptr || fault.path != path)) continue;
    ::SetLastError(fault.error);
    return fault.error;
  }
  return 0;
}

void TrackOpen(std::set<HANDLE>& set, int& counter, HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return;
  alloc::Uncounted bookkeeping;
  set.insert(handle);
  counter = static_cast<int>(set.size());
}

void TrackClose(std::set<HANDLE>& set, int& counter, HANDLE handle) {
  alloc::Uncounted bookkeeping;
  set.erase(handle);
  counter = static_cast<int>(set.size());
}

FakeSnapshot* FindFakeSnapshot(HANDLE handle) {
  for (auto& entry : g_fake_snapshots) {
    if (entry.first == handle) return &entry.second;
  }
  return nullptr;
}

BOOL NextFakeProcess(HANDLE snapshot, PROCESSENTRY32W* entry) {
  FakeSnapshot* fake = FindFakeSnapshot(snapshot);
  if (fake == nullptr || fake->next >= fake->names.size()) {
    ::SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  std::memset(entry->szExeFile, 0, sizeof entry->szExeFile);
  wcsncpy(entry->szExeFile, fake->names[fake->next].c_str(), MAX_PATH - 1);
  entry->th32ProcessID = static_cast<DWORD>(1000 + fake->next);
  ++fake->next;
  return TRUE;
}

BOOL WINAPI FakeGetFileInformationByHandleEx(HANDLE file, int info_class, LPVOID data, DWORD size) {
  if (Enter(Call::GetFileInformationByHandleEx, info_class)) return FALSE;
  // As strict as Windows, which refuses records not aligned to 8 bytes.
  if (reinterpret_cast<std::uintptr_t>(data) % 8 != 0) {
    ::SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  if (!::GetFileInformationByHandleEx(file, static_cast<FILE_INFO_BY_HANDLE_CLASS>(info_class),
                                      data, size)) {
    return FALSE;
  }
  if (info_class == FileAttributeTagInfo && g_dangling_links.count(file)) {
    *static_cast<FILE_ATTRIBUTE_TAG_INFO*>(data) = {FILE_ATTRIBUTE_REPARSE_POINT,
                                                    IO_REPARSE_TAG_SYMLINK};
  } else if (info_class == 18 && g_twins.count(file)) {  // FileIdInfo: serial, then identifier
    std::memset(data, 0, size);
    static_cast<unsigned char*>(data)[8] = 7;
  }
  return TRUE;
}

DWORD WINAPI FakeGetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags) {
  if (Enter(Call::GetFinalPathNameByHandleW, static_cast<int>(flags))) return 0;
  return ::GetFinalPathNameByHandleW(file, path, size, flags);
}

// Windows opens a path below a volume's GUID name ("\\?\Volume{...}\dir");
// Wine opens only the volume's root by it, so the path is given its drive.
std::wstring OnItsDrive(const wchar_t* path) {
  alloc::Uncounted bookkeeping;
  const wchar_t* below =
      std::wcsncmp(path, L"\\\\?\\Volume{", 11) == 0 ? wcschr(path + 4, L'\\') : 0;
  wchar_t drives[MAX_PATH] = L"";
  DWORD length = 0;
  if (below == nullptr || !::GetVolumePathNamesForVolumeNameW(std::wstring(path, below + 1).c_str(),
                                                              drives, MAX_PATH, &length)) {
    return path;
  }
  return drives + std::wstring(below + 1);
}

// The record as a volume with a reparse point of that name lists it.
void ReportReparsePoint(LPVOID data) {
  auto* record = static_cast<WIN32_FIND_DATAW*>(data);
  if (g_state.reparse_point_name != record->cFileName) return;
  record->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  record->dwReserved0 = g_state.reparse_tag;
}

struct CallColumns {
  const char* name;
  FailureKind fails;
  bool releases_or_reports;
};

const CallColumns& ColumnsOf(Call call) {
  static const CallColumns kColumns[] = {
#define INTERPOSED_COLUMNS(name, fails, reports) {#name, FailureKind::fails, reports},
      INTERPOSED_CALLS(INTERPOSED_COLUMNS)
#undef INTERPOSED_COLUMNS
  };
  return kColumns[static_cast<int>(call)];
}

}  // namespace

const char* NameOf(Call call) { return ColumnsOf(call).name; }
FailureKind FailureOf(Call call) { return ColumnsOf(call).fails; }
bool ReleasesOrReports(Call call) { return ColumnsOf(call).releases_or_reports; }

State& Platform() { return g_state; }

void Reset() {
  alloc::Uncounted bookkeeping;
  g_state = State();
  g_state.open_handles = static_cast<int>(g_open_handles.size());
  g_state.open_finds = static_cast<int>(g_open_finds.size());
}

int CountOf(Call call) { return g_state.counts[static_cast<int>(call)]; }

std::vector<LoggedCall> CallsOf(Call call) {
  std::vector<LoggedCall> calls;
  for (const LoggedCall& logged : g_state.log) {
    if (logged.call == call) calls.push_back(logged);
  }
  return calls;
}

int IndexOf(const std::vector<LoggedCall>& log, Call call, int nth, size_t from) {
  int last = -1, seen = 0;
  for (size_t i = from; i < log.size(); ++i) {
    if (log[i].call != call) continue;
    last = static_cast<int>(i);
    if (++seen == nth) return last;
  }
  return nth == kLast ? last : -1;
}

}  // namespace interposer

using interposer::Call;
using interposer::Enter;
using interposer::g_state;

namespace win32 {

LPWSTR GetCommandLineW() {
  Enter(Call::GetCommandLineW);
  if (g_state.fake_command_line) return g_state.command_line.data();
  return ::GetCommandLineW();
}

// The product's own loading of shell32 and user32, so that tests of
// exhausted memory go through it too.
LPWSTR* CommandLineToArgvW(LPCWSTR command_line, int* count) noexcept {
  if (Enter(Call::CommandLineToArgvW)) return nullptr;
  const overlay::SystemLibrary shell32(L"shell32.dll");
  auto split = shell32.Find<LPWSTR*(WINAPI*)(LPCWSTR, int*)>("CommandLineToArgvW");
  if (split == nullptr) return nullptr;
  LPWSTR* vector = split(command_line, count);
  if (vector != nullptr) {
    alloc::Uncounted bookkeeping;
    interposer::g_argument_vectors.insert(vector);
    g_state.argument_vectors_live = static_cast<int>(interposer::g_argument_vectors.size());
  }
  return vector;
}

HLOCAL LocalFree(HLOCAL memory) {
  Enter(Call::LocalFree);
  alloc::Uncounted bookkeeping;
  if (memory == nullptr) ++g_state.null_local_frees;
  interposer::g_argument_vectors.erase(memory);
  g_state.argument_vectors_live = static_cast<int>(interposer::g_argument_vectors.size());
  interposer::g_message_buffers.erase(memory);
  g_state.message_buffers_live = static_cast<int>(interposer::g_message_buffers.size());
  return ::LocalFree(memory);
}

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD process_id) {
  if (Enter(Call::CreateToolhelp32Snapshot, static_cast<int>(flags))) return INVALID_HANDLE_VALUE;
  HANDLE snapshot;
  if (g_state.fake_processes) {
    alloc::Uncounted bookkeeping;
    // A real handle, so closing it is real and the process's count is true.
    snapshot = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const auto& lists = g_state.process_lists;
    const size_t index = static_cast<size_t>(g_state.snapshot_count);
    interposer::FakeSnapshot contents;
    if (!lists.empty()) contents.names = lists[index < lists.size() ? index : lists.size() - 1];
    interposer::g_fake_snapshots.emplace_back(snapshot, contents);
  } else {
    snapshot = ::CreateToolhelp32Snapshot(flags, process_id);
  }
  ++g_state.snapshot_count;
  interposer::TrackOpen(interposer::g_open_handles, g_state.open_handles, snapshot);
  return snapshot;
}

BOOL Process32FirstW(HANDLE snapshot, PROCESSENTRY32W* entry) {
  if (Enter(Call::Process32FirstW, static_cast<int>(entry->dwSize))) return FALSE;
  if (interposer::FakeSnapshot* contents = interposer::FindFakeSnapshot(snapshot)) {
    contents->next = 0;
    return interposer::NextFakeProcess(snapshot, entry);
  }
  return ::Process32FirstW(snapshot, entry);
}

BOOL Process32NextW(HANDLE snapshot, PROCESSENTRY32W* entry) {
  if (Enter(Call::Process32NextW, static_cast<int>(entry->dwSize))) return FALSE;
  if (interposer::FindFakeSnapshot(snapshot) != nullptr)
    return interposer::NextFakeProcess(snapshot, entry);
  return ::Process32NextW(snapshot, entry);
}

BOOL CloseHandle(HANDLE handle) {
  Enter(Call::CloseHandle);
  interposer::TrackClose(interposer::g_open_handles, g_state.open_handles, handle);
  {
    alloc::Uncounted bookkeeping;
    interposer::g_dangling_links.erase(handle);
    interposer::g_twins.erase(handle);
    auto& snapshots = interposer::g_fake_snapshots;
    for (auto it = snapshots.begin(); it != snapshots.end(); ++it) {
      if (it->first == handle) {
        snapshots.erase(it);
        break;
      }
    }
  }
  return ::CloseHandle(handle);
}

void Sleep(DWORD milliseconds) {
  Enter(Call::Sleep, static_cast<int>(milliseconds));
  {
    alloc::Uncounted bookkeeping;
    g_state.sleeps.push_back(milliseconds);
  }
  if (g_state.on_sleep) g_state.on_sleep(static_cast<int>(g_state.sleeps.size()));
  if (g_state.really_sleep) ::Sleep(milliseconds);
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) noexcept {
  Enter(Call::MessageBoxA, static_cast<int>(style));
  const overlay::SystemLibrary user32(L"user32.dll");
  if (user32.Find<int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT)>("MessageBoxA") == nullptr) return 0;
  alloc::Uncounted bookkeeping;
  g_state.boxes.push_back({owner, text ? text : "", caption ? caption : "", style});
  return IDOK;
}

int _wcsicmp(const wchar_t* a, const wchar_t* b) {
  Enter(Call::_wcsicmp);
  return ::_wcsicmp(a, b);
}

HMODULE GetModuleHandleW(LPCWSTR module_name) {
  if (Enter(Call::GetModuleHandleW, -1, module_name)) return nullptr;
  return ::GetModuleHandleW(module_name);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  const bool by_name = (reinterpret_cast<ULONG_PTR>(name) >> 16) != 0;
  wchar_t logged_name[64] = {};  // not from the heap, which a test may have exhausted
  for (int i = 0; by_name && i < 63 && name[i] != '\0'; ++i) logged_name[i] = name[i];
  if (Enter(Call::GetProcAddress, -1, logged_name)) return nullptr;
  if (by_name && std::strcmp(name, "GetFileInformationByHandleEx") == 0) {
    if (!g_state.info_ex_available) {
      ::SetLastError(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
    return reinterpret_cast<FARPROC>(
        reinterpret_cast<void*>(&interposer::FakeGetFileInformationByHandleEx));
  }
  if (by_name && std::strcmp(name, "GetFinalPathNameByHandleW") == 0) {
    return reinterpret_cast<FARPROC>(
        reinterpret_cast<void*>(&interposer::FakeGetFinalPathNameByHandleW));
  }
  return ::GetProcAddress(module, name);
}

DWORD GetLastError() { return ::GetLastError(); }

BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID data) {
  if (Enter(Call::GetFileAttributesExW, static_cast<int>(level), path)) return FALSE;
  if (!::GetFileAttributesExW(path, level, data)) return FALSE;
  if (g_state.dangling_link == path) {
    static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(data)->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  }
  return TRUE;
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file) {
  if (Enter(Call::CreateFileW, static_cast<int>(flags), path)) return INVALID_HANDLE_VALUE;
  const bool link_itself = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
  if (g_state.dangling_link == path && !link_itself) {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE file = ::CreateFileW(interposer::OnItsDrive(path).c_str(), access, share, security,
                              disposition, flags, template_file);
  interposer::TrackOpen(interposer::g_open_handles, g_state.open_handles, file);
  alloc::Uncounted bookkeeping;
  if (g_state.dangling_link == path) interposer::g_dangling_links.insert(file);
  const auto& twins = g_state.serial_zero_twins;
  if (std::find(twins.begin(), twins.end(), path) != twins.end()) interposer::g_twins.insert(file);
  return file;
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  if (Enter(Call::GetFileInformationByHandle)) return FALSE;
  if (!::GetFileInformationByHandle(file, info)) return FALSE;
  if (g_state.zero_file_index) info->nFileIndexHigh = info->nFileIndexLow = 0;
  return TRUE;
}

// A symbolic link's reparse data, as Windows gives it for the dangling link.
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                     DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped) {
  if (Enter(Call::DeviceIoControl, static_cast<int>(code))) return FALSE;
  if (code != FSCTL_GET_REPARSE_POINT || !interposer::g_dangling_links.count(device)) {
    return ::DeviceIoControl(device, code, in, in_size, out, out_size, returned, overlapped);
  }
  const std::wstring name = L"\\??\\" + g_state.dangling_link_to;
  const WORD size = static_cast<WORD>(name.size() * sizeof(wchar_t));
  // The tag, two sizes, the offsets and sizes of the two names, flags 0 (absolute).
  const WORD header[] = {
      LOWORD(IO_REPARSE_TAG_SYMLINK), HIWORD(IO_REPARSE_TAG_SYMLINK), 0, 0, 0, size, size, 0, 0, 0};
  std::memcpy(out, header, sizeof header);
  std::memcpy(static_cast<char*>(out) + sizeof header, name.c_str(), size);
  *returned = sizeof header + size;
  return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  if (Enter(Call::CreateDirectoryW, -1, path)) return FALSE;
  // Windows refuses a drive root ("D:\\") as it refuses a protected folder;
  // Wine answers that it exists.
  const bool drive_root = wcslen(path) == 3 && iswalpha(path[0]) && path[1] == L':' &&
                          (path[2] == L'\\' || path[2] == L'/');
  if (drive_root) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return ::CreateDirectoryW(path, security);
}

HANDLE FindFirstFileExW(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID data,
                        FINDEX_SEARCH_OPS search, LPVOID filter, DWORD flags) {
  if (Enter(Call::FindFirstFileExW, static_cast<int>(level), pattern)) return INVALID_HANDLE_VALUE;
  HANDLE find = ::FindFirstFileExW(pattern, level, data, search, filter, flags);
  interposer::TrackOpen(interposer::g_open_finds, g_state.open_finds, find);
  if (find != INVALID_HANDLE_VALUE) interposer::ReportReparsePoint(data);
  return find;
}

BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data) {
  if (Enter(Call::FindNextFileW)) return FALSE;
  if (!::FindNextFileW(find, data)) return FALSE;
  interposer::ReportReparsePoint(data);
  return TRUE;
}

BOOL FindClose(HANDLE find) {
  Enter(Call::FindClose);
  interposer::TrackClose(interposer::g_open_finds, g_state.open_finds, find);
  return ::FindClose(find);
}

BOOL CopyFileW(LPCWSTR source, LPCWSTR target, BOOL fail_if_exists) {
  if (Enter(Call::CopyFileW, fail_if_exists, target)) return FALSE;
  return ::CopyFileW(source, target, fail_if_exists);
}

DWORD GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* file_part) {
  if (Enter(Call::GetFullPathNameW, -1, path)) return 0;
  return ::GetFullPathNameW(path, size, buffer, file_part);
}

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language, LPSTR buffer,
                     DWORD size, va_list* arguments) {
  if (Enter(Call::FormatMessageA, static_cast<int>(flags))) return 0;
  if (g_state.message_fails) {
    ::SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  DWORD length;
  if (g_state.fake_message && (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER)) {
    const std::string& text = g_state.message_text;
    HLOCAL memory = ::LocalAlloc(LMEM_FIXED, text.size() + 1);
    std::memcpy(memory, text.c_str(), text.size() + 1);
    *reinterpret_cast<LPSTR*>(buffer) = static_cast<LPSTR>(memory);
    length = static_cast<DWORD>(text.size());
  } else {
    length = ::FormatMessageA(flags, source, message_id, language, buffer, size, arguments);
  }
  if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) && *reinterpret_cast<LPSTR*>(buffer) != nullptr) {
    alloc::Uncounted bookkeeping;
    interposer::g_message_buffers.insert(*reinterpret_cast<LPSTR*>(buffer));
    g_state.message_buffers_live = static_cast<int>(interposer::g_message_buffers.size());
  }
  return length;
}

BOOL AreFileApisANSI() {
  Enter(Call::AreFileApisANSI);
  return ::AreFileApisANSI();
}

int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWCH wide, int wide_length, LPSTR narrow,
                        int narrow_size, LPCCH default_char, LPBOOL used_default) {
  if (Enter(Call::WideCharToMultiByte, static_cast<int>(flags))) return 0;
  return ::WideCharToMultiByte(code_page, flags, wide, wide_length, narrow, narrow_size,
                               default_char, used_default);
}

unsigned ___lc_codepage_func() {
  Enter(Call::___lc_codepage_func);
  if (g_state.fake_runtime_code_page) return g_state.runtime_code_page;
  return ::___lc_codepage_func();
}

}  // namespace win32
