// The bare-loop floor of a tree copy: the walk and the per-file calls only.
//   bench_floor.exe [--same-object | --open-only | --standard-info | --handle-info]
//                   SOURCE TARGET
// Per directory: CreateDirectoryW on the target, then FindFirstFileExW /
// FindNextFileW over the source. Per file: one GetFileAttributesExW on the
// target and one CopyFileW(source, target, FALSE). With --same-object, a
// target that already exists is also opened twice (the source and the
// target, each CreateFileW + GetFileInformationByHandleEx(FileIdInfo)), which
// is what a same-object test costs. To tell what of that cost is the opening
// and what the identity query, the other options make the same two opens
// with no query, with FileStandardInfo (no volume involved) or with
// GetFileInformationByHandle (file index and volume serial number) instead.
// Exit status 1 on the first failure.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr int kFileIdInfo = 18;
constexpr int kFileStandardInfo = 1;

enum class Opens { none, file_id, open_only, standard_info, handle_info };
using GetInfoEx = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
GetInfoEx g_get_info_ex = nullptr;
Opens g_opens = Opens::none;
unsigned long g_files = 0;

bool Fail(const char* what, const std::wstring& path) {
  std::fprintf(stderr, "bench_floor: %s failed (%lu): %ls\n", what, GetLastError(), path.c_str());
  return false;
}

bool OpenIdentity(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Fail("CreateFileW", path);
  unsigned char identity[24];
  bool ok = true;
  if (g_opens == Opens::file_id && !g_get_info_ex(file, kFileIdInfo, identity, sizeof identity)) {
    BY_HANDLE_FILE_INFORMATION info;
    ok = GetFileInformationByHandle(file, &info) != 0;
  }
  if (g_opens == Opens::standard_info) {
    unsigned char standard[24];
    ok = g_get_info_ex(file, kFileStandardInfo, standard, sizeof standard) != 0;
  }
  if (g_opens == Opens::handle_info) {
    BY_HANDLE_FILE_INFORMATION info;
    ok = GetFileInformationByHandle(file, &info) != 0;
  }
  CloseHandle(file);
  return ok ? true : Fail("file identity", path);
}

bool CopyDirectory(const std::wstring& source, const std::wstring& target) {
  if (!CreateDirectoryW(target.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    return Fail("CreateDirectoryW", target);
  }
  WIN32_FIND_DATAW data;
  const std::wstring pattern = source + L"\\*";
  HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                 nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return Fail("FindFirstFileExW", pattern);
  bool ok = true;
  do {
    const wchar_t* name = data.cFileName;
    if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
    const std::wstring from = source + L'\\' + name;
    const std::wstring to = target + L'\\' + name;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ok = CopyDirectory(from, to);
    } else {
      WIN32_FILE_ATTRIBUTE_DATA existing;
      if (GetFileAttributesExW(to.c_str(), GetFileExInfoStandard, &existing) &&
          g_opens != Opens::none) {
        ok = OpenIdentity(from) && OpenIdentity(to);
      }
      if (ok && !CopyFileW(from.c_str(), to.c_str(), FALSE)) ok = Fail("CopyFileW", to);
      ++g_files;
    }
  } while (ok && FindNextFileW(find, &data));
  FindClose(find);
  return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int first = 1;
  if (argc > 1) {
    const std::wstring option = argv[1];
    if (option == L"--same-object") g_opens = Opens::file_id;
    if (option == L"--open-only") g_opens = Opens::open_only;
    if (option == L"--standard-info") g_opens = Opens::standard_info;
    if (option == L"--handle-info") g_opens = Opens::handle_info;
    if (g_opens != Opens::none) first = 2;
  }
  if (argc - first != 2) {
    std::fprintf(stderr,
                 "usage: bench_floor.exe [--same-object | --open-only | --standard-info | "
                 "--handle-info] SOURCE TARGET\n");
    return 2;
  }
  g_get_info_ex = reinterpret_cast<GetInfoEx>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFileInformationByHandleEx")));
  if (g_opens != Opens::none && g_get_info_ex == nullptr) return 3;
  return CopyDirectory(argv[first], argv[first + 1]) ? 0 : 1;
}
