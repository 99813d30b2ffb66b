// The product's side of the platform seam: every call goes straight through.
#include "platform/win32.h"

#include <locale.h>  // ___lc_codepage_func
#include <shellapi.h>
#include <wchar.h>

#include "platform/system_library.h"

namespace win32 {

LPWSTR GetCommandLineW() { return ::GetCommandLineW(); }
// shell32 and user32 are not imported: an import is bound before the program
// runs, and the loader would look for the DLLs those two need (version.dll,
// for one) beside the exe first, in a folder anyone may be able to write.
// They are loaded from the system directory when needed.
LPWSTR* CommandLineToArgvW(LPCWSTR command_line, int* count) noexcept {
  const overlay::SystemLibrary shell32(L"shell32.dll");
  auto split = shell32.Find<LPWSTR*(WINAPI*)(LPCWSTR, int*)>("CommandLineToArgvW");
  if (split == nullptr) return nullptr;  // as if the line could not be split
  return split(command_line, count);
}
HLOCAL LocalFree(HLOCAL memory) { return ::LocalFree(memory); }
HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD process_id) {
  return ::CreateToolhelp32Snapshot(flags, process_id);
}
BOOL Process32FirstW(HANDLE snapshot, PROCESSENTRY32W* entry) {
  return ::Process32FirstW(snapshot, entry);
}
BOOL Process32NextW(HANDLE snapshot, PROCESSENTRY32W* entry) {
  return ::Process32NextW(snapshot, entry);
}
BOOL CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }
void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) noexcept {
  const overlay::SystemLibrary user32(L"user32.dll");
  auto show = user32.Find<int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT)>("MessageBoxA");
  if (show == nullptr) return 0;  // no box can be shown where user32 is missing
  return show(owner, text, caption, style);
}
int _wcsicmp(const wchar_t* a, const wchar_t* b) { return ::_wcsicmp(a, b); }
HMODULE GetModuleHandleW(LPCWSTR module_name) { return ::GetModuleHandleW(module_name); }
FARPROC GetProcAddress(HMODULE module, LPCSTR name) { return ::GetProcAddress(module, name); }

DWORD GetLastError() { return ::GetLastError(); }
BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID data) {
  return ::GetFileAttributesExW(path, level, data);
}
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file) {
  return ::CreateFileW(path, access, share, security, disposition, flags, template_file);
}
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  return ::GetFileInformationByHandle(file, info);
}
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  return ::CreateDirectoryW(path, security);
}
HANDLE FindFirstFileExW(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID data,
                        FINDEX_SEARCH_OPS search, LPVOID filter, DWORD flags) {
  return ::FindFirstFileExW(pattern, level, data, search, filter, flags);
}
BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data) { return ::FindNextFileW(find, data); }
BOOL FindClose(HANDLE find) { return ::FindClose(find); }
BOOL CopyFileW(LPCWSTR source, LPCWSTR target, BOOL fail_if_exists) {
  return ::CopyFileW(source, target, fail_if_exists);
}
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                     DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped) {
  return ::DeviceIoControl(device, code, in, in_size, out, out_size, returned, overlapped);
}
DWORD GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* file_part) {
  return ::GetFullPathNameW(path, size, buffer, file_part);
}

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language, LPSTR buffer,
                     DWORD size, va_list* arguments) {
  return ::FormatMessageA(flags, source, message_id, language, buffer, size, arguments);
}
BOOL AreFileApisANSI() { return ::AreFileApisANSI(); }
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWCH wide, int wide_length, LPSTR narrow,
                        int narrow_size, LPCCH default_char, LPBOOL used_default) {
  return ::WideCharToMultiByte(code_page, flags, wide, wide_length, narrow, narrow_size,
                               default_char, used_default);
}
unsigned ___lc_codepage_func() { return ::___lc_codepage_func(); }

}  // namespace win32
