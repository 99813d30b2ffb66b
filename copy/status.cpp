#include "copy/status.h"

#include <cstring>

#include "platform/owners.h"
#include "platform/win32.h"

namespace overlay {
namespace {

// Information classes and records of GetFileInformationByHandleEx, spelled out
// here because the headers only declare the newer ones for newer targets.
constexpr int kFileBasicInfo = 0;
constexpr int kFileStandardInfo = 1;
constexpr int kFileAttributeTagInfo = 9;
constexpr int kFileIdInfo = 18;

struct FileBasicInfoRecord {
  LARGE_INTEGER creation_time, last_access_time, last_write_time, change_time;
  DWORD file_attributes;
};
struct FileStandardInfoRecord {
  LARGE_INTEGER allocation_size, end_of_file;
  DWORD number_of_links;
  BOOLEAN delete_pending, directory;
};
struct FileAttributeTagInfoRecord {
  DWORD file_attributes, reparse_tag;
};
static_assert(sizeof(file_identity) == 24, "volume serial (8) and file identifier (16)");

using GetFileInformationByHandleExFunction = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);

// Not bound at start-up, so the exe still starts where the function is
// missing: looked up once, at first use, and remembered for the run.
GetFileInformationByHandleExFunction GetFileInformationByHandleExOrNull() {
  static const GetFileInformationByHandleExFunction function = [] {
    HMODULE kernel32 = win32::GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr) return GetFileInformationByHandleExFunction{nullptr};
    return reinterpret_cast<GetFileInformationByHandleExFunction>(
        reinterpret_cast<void*>(win32::GetProcAddress(kernel32, "GetFileInformationByHandleEx")));
  }();
  return function;
}

bool IsNotFoundError(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_BAD_NETPATH || error == ERROR_INVALID_NAME;
}

path_status FailedStatus(DWORD error) {
  return {IsNotFoundError(error) ? file_type::not_found : file_type::none, error};
}

path_status StatusFromAttributes(DWORD attributes) {
  return {(attributes & FILE_ATTRIBUTE_DIRECTORY) ? file_type::directory : file_type::regular, 0};
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens the object a path finally leads to, for reading its attributes only.
FileHandle OpenFollowingLinks(const std::wstring& path) {
  return FileHandle(win32::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// Attributes of the opened object; 0 on success, else the platform's error.
DWORD ReadAttributes(HANDLE file, DWORD* attributes) {
  if (auto get_info_ex = GetFileInformationByHandleExOrNull()) {
    FileBasicInfoRecord basic{};
    if (!get_info_ex(file, kFileBasicInfo, &basic, sizeof basic)) return win32::GetLastError();
    *attributes = basic.file_attributes;
    return 0;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!win32::GetFileInformationByHandle(file, &info)) return win32::GetLastError();
  *attributes = info.dwFileAttributes;
  return 0;
}

path_status FollowReparsePoint(const std::wstring& path) {
  FileHandle file = OpenFollowingLinks(path);
  if (!file) return FailedStatus(win32::GetLastError());
  DWORD attributes = 0;
  if (DWORD error = ReadAttributes(file.get(), &attributes)) return FailedStatus(error);
  return StatusFromAttributes(attributes);
}

DWORD IdentityFromHandleInformation(HANDLE file, file_identity* identity) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!win32::GetFileInformationByHandle(file, &info)) return win32::GetLastError();
  const std::uint64_t volume = info.dwVolumeSerialNumber;
  const std::uint64_t index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  identity->fill(0);
  std::memcpy(identity->data(), &volume, sizeof volume);
  std::memcpy(identity->data() + 8, &index, sizeof index);
  return 0;
}

}  // namespace

path_status QueryStatus(const std::wstring& path, DWORD hint) {
  if (hint != kNoHint && !(hint & FILE_ATTRIBUTE_REPARSE_POINT)) return StatusFromAttributes(hint);
  if (hint == kNoHint) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!win32::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
      return FailedStatus(win32::GetLastError());
    }
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      return StatusFromAttributes(data.dwFileAttributes);
    }
  }
  return FollowReparsePoint(path);
}

DWORD QueryRootAttributes(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!win32::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return kNoHint;
  // The root itself, not what it may link to: its link count and reparse tag.
  FileHandle root(
      win32::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!root) return kNoHint;
  if (auto get_info_ex = GetFileInformationByHandleExOrNull()) {
    FileStandardInfoRecord standard{};
    if (!get_info_ex(root.get(), kFileStandardInfo, &standard, sizeof standard)) return kNoHint;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      FileAttributeTagInfoRecord tag{};
      if (!get_info_ex(root.get(), kFileAttributeTagInfo, &tag, sizeof tag)) return kNoHint;
    }
  } else {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!win32::GetFileInformationByHandle(root.get(), &info)) return kNoHint;
  }
  return data.dwFileAttributes;
}

DWORD QueryIdentity(const std::wstring& path, file_identity* identity) {
  FileHandle file = OpenFollowingLinks(path);
  if (!file) return win32::GetLastError();
  auto get_info_ex = GetFileInformationByHandleExOrNull();
  if (get_info_ex == nullptr) return IdentityFromHandleInformation(file.get(), identity);
  if (get_info_ex(file.get(), kFileIdInfo, identity->data(), identity->size())) return 0;
  const DWORD error = win32::GetLastError();
  // Volumes and systems without 128-bit identifiers answer one of these two.
  if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_PARAMETER) {
    return IdentityFromHandleInformation(file.get(), identity);
  }
  return error;
}

}  // namespace overlay
