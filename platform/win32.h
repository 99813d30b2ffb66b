// The one place where overlay reaches the platform.
//
// Every Win32 and runtime call the program makes goes through these
// declarations. The product links win32.cpp, which forwards each call to the
// real function; the tests link their own definitions, which can make any call
// answer any error and count calls and open handles.
#pragma once

#include <windows.h>

#include <tlhelp32.h>

namespace win32 {

// Launch and coordination
LPWSTR GetCommandLineW();
// Both load their DLL from the system directory and never raise, also when
// memory has run out.
LPWSTR* CommandLineToArgvW(LPCWSTR command_line, int* count) noexcept;
HLOCAL LocalFree(HLOCAL memory);
HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD process_id);
BOOL Process32FirstW(HANDLE snapshot, PROCESSENTRY32W* entry);
BOOL Process32NextW(HANDLE snapshot, PROCESSENTRY32W* entry);
BOOL CloseHandle(HANDLE handle);
void Sleep(DWORD milliseconds);
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) noexcept;
int _wcsicmp(const wchar_t* a, const wchar_t* b);
HMODULE GetModuleHandleW(LPCWSTR module_name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);

// Tree copy and file replacement
DWORD GetLastError();
BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID data);
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info);
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
HANDLE FindFirstFileExW(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID data,
                        FINDEX_SEARCH_OPS search, LPVOID filter, DWORD flags);
BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data);
BOOL FindClose(HANDLE find);
BOOL CopyFileW(LPCWSTR source, LPCWSTR target, BOOL fail_if_exists);
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                     DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped);
DWORD GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* file_part);

// Failure report
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language, LPSTR buffer,
                     DWORD size, va_list* arguments);
BOOL AreFileApisANSI();
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWCH wide, int wide_length, LPSTR narrow,
                        int narrow_size, LPCCH default_char, LPBOOL used_default);
unsigned ___lc_codepage_func();

}  // namespace win32
