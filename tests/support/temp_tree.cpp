#include "tests/support/temp_tree.h"

#include <string>
#include <vector>

namespace testing_tree {
namespace {

// The file helpers use the real platform directly, not the seam.
std::wstring UniqueTempPath() {
  wchar_t base[MAX_PATH];
  ::GetTempPathW(MAX_PATH, base);
  static unsigned counter = 0;
  return std::wstring(base) + L"overlay-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
         std::to_wstring(++counter);
}

void ReadTreeInto(const std::wstring& root, const std::wstring& relative,
                  std::map<std::wstring, std::string>* tree) {
  const std::wstring directory = relative.empty() ? root : root + L"\\" + relative;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((directory + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      (*tree)[child] = "<dir>";
      ReadTreeInto(root, child, tree);
    } else {
      (*tree)[child] = ReadFileText(root + L"\\" + child);
    }
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
}

}  // namespace

TempDir::TempDir() : path_(UniqueTempPath()) { MakeDirectory(path_); }
TempDir::~TempDir() { RemoveTree(path_); }

void WriteFileText(const std::wstring& path, const std::string& content) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE)
      << "cannot write " << Utf8(path) << ": " << ::GetLastError();
  DWORD written = 0;
  ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  ::CloseHandle(file);
  ASSERT_EQ(written, content.size());
}

std::string ReadFileText(const std::wstring& path) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<unreadable>";
  std::string content;
  char buffer[65536];
  DWORD read = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    content.append(buffer, read);
  }
  ::CloseHandle(file);
  return content;
}

void MakeDirectory(const std::wstring& path) {
  ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr))
      << "cannot create " << Utf8(path) << ": " << ::GetLastError();
}

void RemoveTree(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  // A link is removed itself, never what it leads to.
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      std::vector<std::wstring> children;
      do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") children.push_back(path + L"\\" + name);
      } while (::FindNextFileW(find, &data));
      ::FindClose(find);
      for (const std::wstring& child : children) RemoveTree(child);
    }
    ::RemoveDirectoryW(path.c_str());
  } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    ::RemoveDirectoryW(path.c_str());
  } else {
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(path.c_str());
  }
}

bool IsDirectory(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}
bool IsFile(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}
bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WaitUntilListed(const std::wstring& directory, const std::wstring& name) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((directory + L"\\*").c_str(), &data);
    bool listed = false;
    if (find != INVALID_HANDLE_VALUE) {
      do {
        listed = listed || name == data.cFileName;
      } while (::FindNextFileW(find, &data));
      ::FindClose(find);
    }
    if (listed) return true;
    ::Sleep(10);
  }
  return false;
}

std::map<std::wstring, std::string> ReadTree(const std::wstring& root) {
  std::map<std::wstring, std::string> tree;
  ReadTreeInto(root, L"", &tree);
  return tree;
}

std::string UnixPathOf(const std::wstring& path) {
  using WineGetUnixFileName = char*(CDECL*)(const wchar_t*);
  auto to_unix = reinterpret_cast<WineGetUnixFileName>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (to_unix == nullptr) return std::string();
  char* unix_path = to_unix(path.c_str());
  if (unix_path == nullptr) return std::string();
  std::string result = unix_path;
  ::HeapFree(::GetProcessHeap(), 0, unix_path);
  return result;
}

namespace {

std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

// A Unix path as one word of a shell command.
std::wstring ShellQuoted(const std::string& unix_path) {
  std::wstring quoted = L"'";
  for (wchar_t c : WideFromUtf8(unix_path)) {
    if (c == L'\'') {
      quoted += L"'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + L"'";
}

// Runs a Unix shell command from Wine. Wine cannot wait on a Unix process,
// so the shell leaves a marker once the command has succeeded (the effect
// itself may not be visible from here, as a dangling link is not).
bool RunUnixCommand(const std::wstring& command) {
  const std::wstring marker = UniqueTempPath() + L".done";
  const std::string marker_unix = UnixPathOf(marker);
  if (marker_unix.empty()) return false;  // not running under Wine
  std::wstring line = L"sh -c \"" + command + L" && : > " + ShellQuoted(marker_unix) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
    return false;
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  for (int i = 0; i < 1000 && ::GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES;
       ++i) {
    ::Sleep(5);
  }
  return ::DeleteFileW(marker.c_str()) != FALSE;
}

}  // namespace

void MakeSymlink(const std::wstring& link, const std::wstring& target) {
  ASSERT_TRUE(RunUnixCommand(L"ln -s " + ShellQuoted(UnixPathOf(target)) + L" " +
                             ShellQuoted(UnixPathOf(link))))
      << "ln did not make " << Utf8(link);
}

void ChangeMode(const std::wstring& path, const std::wstring& mode) {
  ASSERT_TRUE(RunUnixCommand(L"chmod " + mode + L" " + ShellQuoted(UnixPathOf(path))))
      << "chmod did not change " << Utf8(path);
}

DWORD ProcessHandleCount() {
  DWORD count = 0;
  ::GetProcessHandleCount(::GetCurrentProcess(), &count);
  return count;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                        nullptr, nullptr);
  return result;
}

}  // namespace testing_tree
