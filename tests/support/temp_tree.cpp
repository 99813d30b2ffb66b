#include "tests/support/temp_tree.h"

#include <algorithm>
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

void ReadTreeInto(const std::wstring& root, const std::wstring& relative, Tree* tree) {
  ForEachEntry(relative.empty() ? root : root + L"\\" + relative,
               [&](const WIN32_FIND_DATAW& data) {
                 const std::wstring child =
                     relative.empty() ? data.cFileName : relative + L"\\" + data.cFileName;
                 if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                   (*tree)[child] = kDirectory;
                   ReadTreeInto(root, child, tree);
                 } else {
                   (*tree)[child] = ReadFileText(root + L"\\" + child);
                 }
               });
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
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(path.c_str());
    return;
  }
  // A link is removed itself, never what it leads to.
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    std::vector<std::wstring> children;
    ForEachEntry(path, [&](const WIN32_FIND_DATAW& data) {
      children.push_back(path + L"\\" + data.cFileName);
    });
    for (const std::wstring& child : children) RemoveTree(child);
  }
  ::RemoveDirectoryW(path.c_str());
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

void ForEachEntry(const std::wstring& directory,
                  const std::function<void(const WIN32_FIND_DATAW&)>& visit) {
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((directory + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") visit(data);
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
}

bool WaitUntilListed(const std::wstring& directory, const std::wstring& name) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    bool listed = false;
    ForEachEntry(directory,
                 [&](const WIN32_FIND_DATAW& data) { listed = listed || name == data.cFileName; });
    if (listed) return true;
    ::Sleep(10);
  }
  return false;
}

Tree ReadTree(const std::wstring& root) {
  Tree tree;
  ReadTreeInto(root, L"", &tree);
  return tree;
}

void MakeTree(const std::wstring& root, const Tree& tree) {
  for (const auto& [relative, content] : tree) {  // a map lists parents before their children
    if (content == kDirectory) {
      MakeDirectory(root + L"\\" + relative);
    } else {
      WriteFileText(root + L"\\" + relative, content);
    }
  }
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

std::string ShellWord(const std::wstring& path) {
  const std::string unix_path = UnixPathOf(path);
  EXPECT_FALSE(unix_path.empty()) << "not running under Wine";
  std::string word = "'";
  for (char c : unix_path) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return word + "'";
}

// Wine cannot wait on a Unix process: the script leaves its exit status in a
// file once it has finished, and that file is awaited (up to 2 minutes).
bool RunShell(const std::string& commands) {
  TempDir scratch;
  const std::wstring script = scratch / L"script.sh", status = scratch / L"status";
  WriteFileText(script, "(\n" + commands + "\n)\necho $? > " + ShellWord(status + L".part") +
                            " && mv " + ShellWord(status + L".part") + " " + ShellWord(status) +
                            "\n");
  // The scratch folder's path is plain ASCII.
  const std::string script_unix = UnixPathOf(script);
  std::wstring line = L"sh \"" + std::wstring(script_unix.begin(), script_unix.end()) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
    return false;
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  for (int i = 0; i < 24000 && !Exists(status); ++i) ::Sleep(5);
  return ReadFileText(status) == "0\n";
}

void MakeSymlink(const std::wstring& link, const std::wstring& target) {
  ASSERT_TRUE(RunShell("ln -s " + ShellWord(target) + " " + ShellWord(link)))
      << "ln did not make " << Utf8(link);
}

void ChangeMode(const std::wstring& path, const std::string& mode) {
  ASSERT_TRUE(RunShell("chmod " + mode + " " + ShellWord(path)))
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

std::wstring WithForwardSlashes(std::wstring path) {
  std::replace(path.begin(), path.end(), L'\\', L'/');
  return path;
}

}  // namespace testing_tree
