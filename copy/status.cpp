#include "copy/status.h"

#include <cstring>

#include "platform/kernel32.h"
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

// Windows refuses misaligned records for these classes with ERROR_NOACCESS.
struct alignas(8) FileBasicInfoRecord {
  LARGE_INTEGER creation_time, last_access_time, last_write_time, change_time;
  DWORD file_attributes;
};
struct alignas(8) FileStandardInfoRecord {
  LARGE_INTEGER allocation_size, end_of_file;
  DWORD number_of_links;
  BOOLEAN delete_pending, directory;
};
struct alignas(8) FileAttributeTagInfoRecord {
  DWORD file_attributes, reparse_tag;
};
static_assert(sizeof(file_identity) == 24, "volume serial (8) and file identifier (16)");

using GetFileInformationByHandleExFunction = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
using GetFinalPathNameByHandleWFunction = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);

// Looked up once, at first use, and remembered for the run.
GetFileInformationByHandleExFunction GetFileInformationByHandleExOrNull() {
  static const auto function =
      FindKernel32Function<GetFileInformationByHandleExFunction>("GetFileInformationByHandleEx");
  return function;
}
GetFinalPathNameByHandleWFunction GetFinalPathNameByHandleWOrNull() {
  static const auto function =
      FindKernel32Function<GetFinalPathNameByHandleWFunction>("GetFinalPathNameByHandleW");
  return function;
}

}  // namespace

bool IsNotFoundError(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_BAD_NETPATH || error == ERROR_INVALID_NAME;
}

namespace {

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
  const std::uint64_t index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  identity->volume_serial_number = info.dwVolumeSerialNumber;
  identity->file_id.fill(0);
  std::memcpy(identity->file_id.data(), &index, sizeof index);
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

bool operator==(const file_identity& a, const file_identity& b) {
  return a.volume_serial_number == b.volume_serial_number && a.file_id == b.file_id;
}

bool TellsObjectsApart(const file_identity& identity) {
  for (std::uint8_t byte : identity.file_id) {
    if (byte != 0) return true;
  }
  return false;
}

DWORD QueryIdentity(const std::wstring& path, file_identity* identity) {
  FileHandle file = OpenFollowingLinks(path);
  if (!file) return win32::GetLastError();
  auto get_info_ex = GetFileInformationByHandleExOrNull();
  if (get_info_ex == nullptr) return IdentityFromHandleInformation(file.get(), identity);
  if (get_info_ex(file.get(), kFileIdInfo, identity, sizeof *identity)) return 0;
  const DWORD error = win32::GetLastError();
  // Volumes and systems without 128-bit identifiers answer one of these two.
  if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_PARAMETER) {
    return IdentityFromHandleInformation(file.get(), identity);
  }
  return error;
}

DWORD QueryFinalPath(const std::wstring& path, std::wstring* final_path) {
  auto get_final_path = GetFinalPathNameByHandleWOrNull();
  if (get_final_path == nullptr) return ERROR_PROC_NOT_FOUND;
  FileHandle file = OpenFollowingLinks(path);
  if (!file) return win32::GetLastError();
  // Too small a buffer is answered with the size needed, its terminator
  // included; a second try with that size can only fall short again if the
  // path was renamed in between.
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD length =
        get_final_path(file.get(), &buffer[0], static_cast<DWORD>(buffer.size()), 0);
    if (length == 0) return win32::GetLastError();
    if (length < buffer.size()) {
      buffer.resize(length);
      *final_path = std::move(buffer);
      return 0;
    }
    buffer.resize(length);
  }
  return ERROR_INSUFFICIENT_BUFFER;
}

}  // namespace overlay
