#include "copy/file_system.h"

#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <initializer_list>

#include "copy/path.h"
#include "platform/kernel32.h"
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

// The refusal of the platform call just made.
error_code LastError() { return MakeSystemCode(win32::GetLastError()); }

path_status FailedStatus(const error_code& refusal, bool reparse_point = false) {
  return {IsNotFound(refusal) ? file_type::not_found : file_type::unknown, refusal, reparse_point};
}

path_status StatusFromAttributes(DWORD attributes, bool reparse_point = false) {
  return {(attributes & FILE_ATTRIBUTE_DIRECTORY) ? file_type::directory : file_type::regular,
          error_code(), reparse_point};
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens the object a path finally leads to, for reading its attributes only.
FileHandle OpenFollowingLinks(const std::wstring& path) {
  return FileHandle(win32::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// Opens the object at the path itself, a link rather than what it leads to.
FileHandle OpenItself(const std::wstring& path) {
  return FileHandle(
      win32::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Attributes of the opened object.
error_code ReadAttributes(HANDLE file, DWORD* attributes) {
  if (auto get_info_ex = GetFileInformationByHandleExOrNull()) {
    FileBasicInfoRecord basic{};
    if (!get_info_ex(file, kFileBasicInfo, &basic, sizeof basic)) return LastError();
    *attributes = basic.file_attributes;
    return error_code();
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!win32::GetFileInformationByHandle(file, &info)) return LastError();
  *attributes = info.dwFileAttributes;
  return error_code();
}

// A link that leads nowhere is not found, and still a reparse point: what
// is written there is written where it leads.
path_status FollowReparsePoint(const std::wstring& path) {
  const FileHandle file = OpenFollowingLinks(path);
  if (!file) return FailedStatus(LastError(), true);
  DWORD attributes = 0;
  if (error_code refusal = ReadAttributes(file.get(), &attributes)) {
    return FailedStatus(refusal, true);
  }
  return StatusFromAttributes(attributes, true);
}

error_code IdentityFromHandleInformation(HANDLE file, file_identity* identity) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!win32::GetFileInformationByHandle(file, &info)) return LastError();
  const std::uint64_t index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  identity->volume_serial_number = info.dwVolumeSerialNumber;
  identity->file_id.fill(0);
  std::memcpy(identity->file_id.data(), &index, sizeof index);
  return error_code();
}

// Too small a buffer is answered with the size needed, its terminator
// included; a second try with that size can only fall short again if the
// path was renamed in between.
error_code FinalPathOf(GetFinalPathNameByHandleWFunction get_final_path, HANDLE file, DWORD flags,
                       std::wstring* final_path) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD length = get_final_path(file, &buffer[0], static_cast<DWORD>(buffer.size()), flags);
    if (length == 0) return LastError();
    if (length < buffer.size()) {
      buffer.resize(length);
      *final_path = std::move(buffer);
      return error_code();
    }
    buffer.resize(length);
  }
  return MakeSystemCode(ERROR_INSUFFICIENT_BUFFER);
}

// The names a symbolic link or a junction keeps (REPARSE_DATA_BUFFER, which
// the user-mode headers leave out): offsets and lengths in bytes into the
// path buffer that follows them, which a symbolic link's flags precede.
struct LinkReparseData {
  DWORD tag;
  WORD data_length, reserved;
  WORD substitute_offset, substitute_length, print_offset, print_length;
};
constexpr DWORD kSymlinkFlagRelative = 1;

}  // namespace

bool IsNotFound(const error_code& refusal) {
  if (&refusal.category() != &system_category()) return false;
  const DWORD error = static_cast<DWORD>(refusal.value());
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_BAD_NETPATH || error == ERROR_INVALID_NAME;
}

path_status QueryStatus(const std::wstring& path, std::optional<DWORD> hint) {
  if (hint && !(*hint & FILE_ATTRIBUTE_REPARSE_POINT)) return StatusFromAttributes(*hint);
  if (!hint) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!win32::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
      return FailedStatus(LastError());
    }
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      return StatusFromAttributes(data.dwFileAttributes);
    }
  }
  return FollowReparsePoint(path);
}

// The root becomes a walk entry the way a full status query of a path makes
// one: attributes, size and time, then the root itself (not what it may link
// to) for its link count and reparse tag. Only the attributes are kept, as
// the hint for the walk's first step.
std::optional<DWORD> QueryRootAttributes(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!win32::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return {};
  const FileHandle root = OpenItself(path);
  if (!root) return {};
  if (auto get_info_ex = GetFileInformationByHandleExOrNull()) {
    FileStandardInfoRecord standard{};
    if (!get_info_ex(root.get(), kFileStandardInfo, &standard, sizeof standard)) return {};
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      FileAttributeTagInfoRecord tag{};
      if (!get_info_ex(root.get(), kFileAttributeTagInfo, &tag, sizeof tag)) return {};
    }
  } else {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!win32::GetFileInformationByHandle(root.get(), &info)) return {};
  }
  return data.dwFileAttributes;
}

bool MayLeadElsewhere(DWORD reparse_tag) {
  return reparse_tag == 0 || IsReparseTagNameSurrogate(reparse_tag);
}

bool MayBeALink(const walk_entry& entry) {
  return entry.attributes && (*entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         MayLeadElsewhere(entry.reparse_tag);
}

error_code QueryReparseTag(const std::wstring& path, DWORD* tag) {
  auto get_info_ex = GetFileInformationByHandleExOrNull();
  if (get_info_ex == nullptr) return MakeSystemCode(ERROR_PROC_NOT_FOUND);
  const FileHandle itself = OpenItself(path);
  if (!itself) return LastError();
  FileAttributeTagInfoRecord record{};
  if (!get_info_ex(itself.get(), kFileAttributeTagInfo, &record, sizeof record)) return LastError();
  *tag = (record.file_attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? record.reparse_tag : 0;
  return error_code();
}

bool SameObjectAt(const std::wstring& a_path, const file_identity& a, const std::wstring& b_path,
                  const file_identity& b) {
  const bool tells_objects_apart =
      std::any_of(a.file_id.begin(), a.file_id.end(), [](std::uint8_t byte) { return byte != 0; });
  if (!tells_objects_apart || a.volume_serial_number != b.volume_serial_number ||
      a.file_id != b.file_id) {
    return false;
  }
  if (a.volume_serial_number != 0) return true;
  std::wstring a_final, b_final;
  return !QueryFinalPath(a_path, &a_final) && !QueryFinalPath(b_path, &b_final) &&
         win32::_wcsicmp(a_final.c_str(), b_final.c_str()) == 0;  // the system ignores case
}

error_code QueryIdentity(const std::wstring& path, file_identity* identity) {
  const FileHandle file = OpenFollowingLinks(path);
  if (!file) return LastError();
  auto get_info_ex = GetFileInformationByHandleExOrNull();
  if (get_info_ex == nullptr) return IdentityFromHandleInformation(file.get(), identity);
  if (get_info_ex(file.get(), kFileIdInfo, identity, sizeof *identity)) return error_code();
  // Volumes and drivers without 128-bit identifiers refuse the newer class in
  // more ways than one (ERROR_NOT_SUPPORTED, ERROR_INVALID_PARAMETER,
  // ERROR_INVALID_FUNCTION): the older call is asked whatever the refusal.
  return IdentityFromHandleInformation(file.get(), identity);
}

error_code QueryFullPath(const std::wstring& path, std::wstring* full_path) {
  const DWORD needed = win32::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return LastError();
  full_path->assign(needed, L'\0');  // the size needed counts the terminator
  const DWORD written = win32::GetFullPathNameW(path.c_str(), needed, &(*full_path)[0], nullptr);
  if (written == 0) return LastError();
  // Only a concurrent change of the current directory makes it grow.
  if (written >= needed) return MakeSystemCode(ERROR_INSUFFICIENT_BUFFER);
  full_path->resize(written);
  return error_code();
}

bool NamesADevice(const std::wstring& path) {
  std::wstring full_path;
  return !QueryFullPath(path, &full_path) && IsDevicePath(full_path);
}

error_code QueryFinalPath(const std::wstring& path, std::wstring* final_path) {
  auto get_final_path = GetFinalPathNameByHandleWOrNull();
  if (get_final_path == nullptr) return MakeSystemCode(ERROR_PROC_NOT_FOUND);
  const FileHandle file = OpenFollowingLinks(path);
  if (!file) return LastError();
  // The name the object was opened by, every link followed. Unlike the
  // normalised name, redirectors and file systems that keep no names of
  // their own can give it too. A volume without a drive letter has no DOS
  // name, but its GUID name ("\\?\Volume{...}\") opens as well.
  constexpr DWORD kOpenedName = 0x8;  // FILE_NAME_OPENED
  error_code refusal;
  for (DWORD volume_name : {VOLUME_NAME_DOS, VOLUME_NAME_GUID}) {
    refusal = FinalPathOf(get_final_path, file.get(), kOpenedName | volume_name, final_path);
    if (!refusal) break;
  }
  return refusal;
}

error_code QueryLinkDestination(const std::wstring& link, std::wstring* destination) {
  char buffer[MAXIMUM_REPARSE_DATA_BUFFER_SIZE];  // at a dangling link only, at a leaf
  DWORD size = 0;
  {
    const FileHandle itself = OpenItself(link);
    if (!itself || !win32::DeviceIoControl(itself.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0,
                                           buffer, sizeof buffer, &size, nullptr)) {
      return LastError();
    }
  }
  LinkReparseData data;
  DWORD flags = 0;
  if (size < sizeof data + sizeof flags) return MakeSystemCode(ERROR_INVALID_DATA);
  std::memcpy(&data, buffer, sizeof data);
  std::size_t start = sizeof data + data.substitute_offset;
  if (data.tag == IO_REPARSE_TAG_SYMLINK) {
    std::memcpy(&flags, buffer + sizeof data, sizeof flags);
    start += sizeof flags;
  } else if (data.tag != IO_REPARSE_TAG_MOUNT_POINT) {
    return MakeSystemCode(ERROR_NOT_SUPPORTED);
  }
  if (start + data.substitute_length > size) return MakeSystemCode(ERROR_INVALID_DATA);
  const wchar_t* name = reinterpret_cast<const wchar_t*>(buffer + start);
  const std::size_t length = data.substitute_length / sizeof(wchar_t);
  if (flags & kSymlinkFlagRelative) {
    // From the folder holding the link, as the walk wrote its path.
    destination->assign(link, 0, link.find_last_of(L"\\/:") + 1).append(name, length);
    return error_code();
  }
  // An absolute one is an NT name: "\??\C:\..." opens as "\\?\C:\...".
  if (length < 4 || std::wmemcmp(name, L"\\??\\", 4) != 0) {
    return MakeSystemCode(ERROR_NOT_SUPPORTED);
  }
  destination->assign(name, length)[1] = L'\\';
  return error_code();
}

error_code CreateDirectoryUnlessPresent(const std::wstring& path) {
  if (win32::CreateDirectoryW(path.c_str(), nullptr)) return error_code();
  const DWORD refusal = win32::GetLastError();
  // Windows refuses a drive root ("D:\\") with ERROR_ACCESS_DENIED rather
  // than ERROR_ALREADY_EXISTS; either way, a directory already there will do.
  if (refusal != ERROR_ALREADY_EXISTS && refusal != ERROR_ACCESS_DENIED) {
    return MakeSystemCode(refusal);
  }
  const path_status existing = QueryStatus(path, std::nullopt);
  if (existing.type == file_type::directory) return error_code();
  if (existing.error && refusal == ERROR_ALREADY_EXISTS) return existing.error;
  return MakeSystemCode(refusal);
}

error_code copy_file(const std::wstring& source, const std::wstring& target, copy_options options) {
  // One platform copy: nothing is compared, prepared or verified.
  const BOOL fail_if_exists = options & copy_options::overwrite_existing ? FALSE : TRUE;
  if (win32::CopyFileW(source.c_str(), target.c_str(), fail_if_exists)) return error_code();
  return LastError();
}

// Volumes that do not offer the basic information level are asked again with
// the standard one. Nothing matching at all (a volume root lists not even
// ".") is an empty directory.
DirectoryListing::DirectoryListing(const std::wstring& directory) {
  const std::wstring pattern = JoinPath(directory, L"*");
  find_.reset(win32::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &record_,
                                      FindExSearchNameMatch, nullptr, 0));
  if (!find_) {
    DWORD error = win32::GetLastError();
    if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_PARAMETER) {
      find_.reset(win32::FindFirstFileExW(pattern.c_str(), FindExInfoStandard, &record_,
                                          FindExSearchNameMatch, nullptr, 0));
      if (!find_) error = win32::GetLastError();
    }
    if (!find_) {
      if (error != ERROR_FILE_NOT_FOUND) error_ = MakeSystemCode(error);
      return;
    }
  }
  has_entry_ = true;
}

void DirectoryListing::Next() {
  if (win32::FindNextFileW(find_.get(), &record_)) return;
  has_entry_ = false;
  const DWORD error = win32::GetLastError();
  if (error != ERROR_NO_MORE_FILES) error_ = MakeSystemCode(error);
}

}  // namespace overlay
