// overlay-check: checks an update before it ships, in one pass, for every
// entry that overlay would refuse, that would never match in the reference
// launcher, or that breaks the next update, and prints one line a finding
// as compilers do (`PATH: error: WHAT; overlay: WHAT IT DOES; DO THIS`).
//
//   overlay-check UPDATE [GAME] [--game-folder PATH]...
//
// UPDATE is the update as staged; GAME, where given, a game folder as
// players have it (the previous release installed); each --game-folder is a
// folder the game is installed to on players' systems (C:\Games\Game), not
// read, only measured. Exit status: 0 with no error, 1 with errors, 2 when
// the input cannot be read. Built from this one file, with the standard
// library and the platform's own calls alone, for Windows (the package's
// overlay-check.exe) and for Linux and other POSIX systems where updates are
// staged; README.txt, "Checking an update before it ships", gives the
// commands. It includes name_rules.h, the name rules overlay's walk applies
// (copy/name_rules.h in overlay's sources, beside this file in the package).
//
// Stricter than overlay, on purpose: overlay asks the system it runs on
// whether a name is a device, and Windows 11 takes "aux.dat" as a file where
// Windows 10 takes it as a device; an update ships to every version, so
// every name that any version from Vista on takes as a device is an error
// here. Names Windows cannot hold at all (a refused character, too long) and
// paths beyond MAX_PATH are judged by Windows' documented rules, which Wine
// does not enforce, so under Wine too. Read-only and hidden files are
// warnings: they apply now and break the next update of the file.
#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "name_rules.h"

namespace {

using overlay::EndsInDotOrBlank;
using overlay::MayNameADevice;

// Names are judged as Windows holds them, in UTF-16 units.
#ifdef _WIN32
using Unit = wchar_t;
using NativeString = std::wstring;  // paths and names as the platform takes them
constexpr wchar_t kSeparator = L'\\';
#else
using Unit = char16_t;
using NativeString = std::string;
constexpr char kSeparator = '/';
#endif
using Name = std::basic_string<Unit>;

// folder, separator, name; no second separator after a root ("/", "C:\").
template <class String>
String Joined(const String& folder, const String& name) {
  const bool has_one = !folder.empty() && (folder.back() == '/' || folder.back() == kSeparator);
  return has_one ? folder + name : folder + typename String::value_type(kSeparator) + name;
}

// MAX_PATH (260) less the terminating null: the longest file path Windows
// takes without a long-path prefix, which overlay never adds. A folder must
// leave room for a name of 8.3 characters (CreateDirectoryW: MAX_PATH - 12).
constexpr std::size_t kLongestFilePath = 259;
constexpr std::size_t kLongestFolderPath = 247;
constexpr std::size_t kLongestName = 255;

enum class Kind { file, folder, link, other };

// One object, compared whole: volume and file number (st_dev and st_ino).
struct Identity {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;
  bool operator<(const Identity& other) const {
    return volume != other.volume ? volume < other.volume : file < other.file;
  }
  bool operator==(const Identity& other) const {
    return volume == other.volume && file == other.file;
  }
};

struct Entry {
  NativeString native;  // the name as listed
  Name name;            // the same in UTF-16
  bool utf8 = true;     // whether a POSIX name decodes as UTF-8
  Kind kind = Kind::other;
  bool read_only = false, hidden = false, system = false;
  // Hard links: the names of the one file, 0 where the listing does not
  // tell (Windows); its identity, where `identity_known`.
  unsigned names = 1;
  Identity identity;
  bool identity_known = false;
};

// Why a listing or a query failed, with the path: the checker then cannot
// vouch for the update and exits with 2.
struct CannotRead {
  std::string path, reason;
};

// ---- The platform: listing, identity, case, text -----------------------------

#ifdef _WIN32

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0,
                                         nullptr, nullptr);
  std::string out(size, '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &out[0], size, nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring out(size, L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &out[0], size);
  return out;
}

std::string LastReason() {
  const DWORD error = ::GetLastError();
  wchar_t text[512];
  DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, 512, nullptr);
  while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n')) --length;
  return length > 0 ? Utf8(std::wstring(text, length)) : "error " + std::to_string(error);
}

// A console takes UTF-16; a pipe or a file (a CI log) gets UTF-8.
void Write(FILE* stream, const std::string& line) {
  const HANDLE handle = ::GetStdHandle(stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (::GetConsoleMode(handle, &mode)) {
    const std::wstring text = Wide(line + "\n");
    DWORD written = 0;
    ::WriteConsoleW(handle, text.data(), DWORD(text.size()), &written, nullptr);
  } else {
    std::fputs((line + "\n").c_str(), stream);
  }
}

// A path the checker reads by: made full and given the long-path prefix, so
// that no name is taken as a device, no final dot dropped and no length
// refused while the update itself is being judged.
bool ReadingPath(const std::wstring& path, std::wstring* reading) {
  const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return false;
  std::wstring full(needed, L'\0');
  const DWORD written = ::GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
  if (written == 0 || written >= needed) return false;
  full.resize(written);
  while (full.size() > 3 && full.back() == L'\\') full.pop_back();
  if (full.compare(0, 4, L"\\\\?\\") == 0) {
    *reading = full;
  } else if (full.compare(0, 2, L"\\\\") == 0) {
    *reading = L"\\\\?\\UNC\\" + full.substr(2);
  } else {
    *reading = L"\\\\?\\" + full;
  }
  return true;
}

Name ToName(const NativeString& native, bool* utf8) {
  *utf8 = true;
  return native;
}

// A link, as overlay and the reference launcher take it: a reparse point
// whose tag is a name surrogate (a symbolic link, a junction), or no tag at
// all, as Wine lists its links.
bool IsLink(DWORD attributes, DWORD reparse_tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         (reparse_tag == 0 || IsReparseTagNameSurrogate(reparse_tag));
}

// The identity of the object a path leads to, links followed.
bool IdentityOf(const std::wstring& path, Identity* identity) {
  const HANDLE file =
      ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information;
  const bool answered = ::GetFileInformationByHandle(file, &information) != 0;
  ::CloseHandle(file);
  if (!answered) return false;
  identity->volume = information.dwVolumeSerialNumber;
  identity->file = std::uint64_t(information.nFileIndexHigh) << 32 | information.nFileIndexLow;
  return true;
}

// The entries of a folder, "." and ".." left out, read through one handle
// to the folder with each entry's file number: no file of it is opened,
// since opening each one (for its count of names) costs a hundred times the
// listing. So hard links are known by two names of one file in the update,
// or by an update file that is the game's. `count_names` is for the
// update's entries, whose links are links; the game's are followed, as
// overlay follows them there.
void ListFolder(const std::wstring& folder, const std::string& shown, bool count_names,
                std::vector<Entry>* entries) {
  const HANDLE directory = ::CreateFileW(
      folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (directory == INVALID_HANDLE_VALUE) throw CannotRead{shown, LastReason()};
  BY_HANDLE_FILE_INFORMATION information;
  const bool has_volume = ::GetFileInformationByHandle(directory, &information) != 0;
  std::vector<std::uint64_t> buffer(8192);  // 64 KiB, aligned as the records need
  FILE_INFO_BY_HANDLE_CLASS query = FileIdBothDirectoryRestartInfo;
  while (::GetFileInformationByHandleEx(directory, query, buffer.data(),
                                        DWORD(buffer.size() * sizeof buffer[0]))) {
    query = FileIdBothDirectoryInfo;
    const char* record = reinterpret_cast<const char*>(buffer.data());
    for (;;) {
      const auto& found = *reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(record);
      const std::wstring name(found.FileName, found.FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") {
        Entry entry;
        entry.native = name;
        entry.name = name;
        const DWORD attributes = found.FileAttributes;
        // The reparse tag is where the extended attributes' size is otherwise.
        entry.kind = count_names && IsLink(attributes, found.EaSize) ? Kind::link
                     : (attributes & FILE_ATTRIBUTE_DIRECTORY)       ? Kind::folder
                                                                     : Kind::file;
        entry.read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
        entry.hidden = (attributes & FILE_ATTRIBUTE_HIDDEN) != 0;
        entry.system = (attributes & FILE_ATTRIBUTE_SYSTEM) != 0;
        entry.names = 0;
        entry.identity = {has_volume ? information.dwVolumeSerialNumber : 0,
                          std::uint64_t(found.FileId.QuadPart)};
        // A game entry reached through a link is another object than the listing says.
        entry.identity_known = has_volume && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        entries->push_back(std::move(entry));
      }
      if (found.NextEntryOffset == 0) break;
      record += found.NextEntryOffset;
    }
  }
  const DWORD error = ::GetLastError();
  ::CloseHandle(directory);
  if (error != ERROR_NO_MORE_FILES) {
    ::SetLastError(error);
    throw CannotRead{shown, LastReason()};
  }
}

// Whether the path is a folder (followed); false where it is not or cannot say.
bool IsFolderPath(const std::wstring& path, std::string* reason) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    *reason = LastReason();
    return false;
  }
  *reason = "not a folder";
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The system's upper case of a name, as it compares names in a folder.
Name Folded(const Name& name) {
  Name folded(name);
  if (!name.empty()) {
    ::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, name.data(), int(name.size()), &folded[0],
                   int(folded.size()));
  }
  return folded;
}

#else  // POSIX

std::string Utf8(const Name& name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    std::uint32_t c = name[i];
    if (c >= 0xd800 && c < 0xdc00 && i + 1 < name.size()) {
      c = 0x10000 + ((c - 0xd800) << 10) + (name[++i] - 0xdc00);
    }
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xc0 | c >> 6);
      out += char(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
      out += char(0xe0 | c >> 12);
      out += char(0x80 | (c >> 6 & 0x3f));
      out += char(0x80 | (c & 0x3f));
    } else {
      out += char(0xf0 | c >> 18);
      out += char(0x80 | (c >> 12 & 0x3f));
      out += char(0x80 | (c >> 6 & 0x3f));
      out += char(0x80 | (c & 0x3f));
    }
  }
  return out;
}

std::string LastReason() { return std::strerror(errno); }

void Write(FILE* stream, const std::string& line) {
  std::fputs(line.c_str(), stream);
  std::fputc('\n', stream);
}

// The name in UTF-16, as an archiver writes it for Windows; a byte that is
// not UTF-8 becomes U+FFFD, and `utf8` says so.
Name ToName(const std::string& native, bool* utf8) {
  Name name;
  *utf8 = true;
  for (std::size_t i = 0; i < native.size();) {
    const unsigned char lead = native[i];
    const int extra = lead < 0x80                   ? 0
                      : lead >= 0xc2 && lead < 0xe0 ? 1
                      : lead >= 0xe0 && lead < 0xf0 ? 2
                      : lead >= 0xf0 && lead < 0xf5 ? 3
                                                    : -1;
    std::uint32_t c = extra == 0   ? lead
                      : extra == 1 ? lead & 0x1f
                      : extra == 2 ? lead & 0x0f
                                   : lead & 0x07;
    bool valid = extra >= 0 && i + extra < native.size();
    for (int k = 1; valid && k <= extra; ++k) {
      const unsigned char next = native[i + k];
      valid = (next & 0xc0) == 0x80;
      c = c << 6 | (next & 0x3f);
    }
    if (!valid || (extra == 2 && (c < 0x800 || (c >= 0xd800 && c < 0xe000))) ||
        (extra == 3 && (c < 0x10000 || c > 0x10ffff))) {
      *utf8 = false;
      name += char16_t(0xfffd);
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      name += char16_t(0xd800 + ((c - 0x10000) >> 10));
      name += char16_t(0xdc00 + ((c - 0x10000) & 0x3ff));
    } else {
      name += char16_t(c);
    }
    i += extra + 1;
  }
  return name;
}

Kind KindOf(mode_t mode) {
  return S_ISLNK(mode)   ? Kind::link
         : S_ISDIR(mode) ? Kind::folder
         : S_ISREG(mode) ? Kind::file
                         : Kind::other;
}

// The entries of a folder, "." and ".." left out. The update's entries get
// one lstat each (`count_names`): kind, names and the owner's write
// permission, which archivers pack as the read-only attribute. The game's
// entries only their kinds, from the listing where it tells them, links
// followed as overlay follows them there.
void ListFolder(const std::string& folder, const std::string& shown, bool count_names,
                std::vector<Entry>* entries) {
  DIR* directory = ::opendir(folder.c_str());
  if (directory == nullptr) throw CannotRead{shown, LastReason()};
  errno = 0;
  while (const dirent* found = ::readdir(directory)) {
    const std::string name = found->d_name;
    if (name == "." || name == "..") continue;
    Entry entry;
    entry.native = name;
    entry.name = ToName(name, &entry.utf8);
    const std::string path = Joined(folder, name);
    struct stat status;
    if (count_names) {
      if (::lstat(path.c_str(), &status) != 0) {
        const std::string reason = LastReason();
        ::closedir(directory);
        throw CannotRead{Joined(shown, name), reason};
      }
      entry.kind = KindOf(status.st_mode);
      entry.read_only = entry.kind == Kind::file && (status.st_mode & S_IWUSR) == 0;
      entry.names = entry.kind == Kind::file ? unsigned(status.st_nlink) : 1;
      entry.identity = {std::uint64_t(status.st_dev), std::uint64_t(status.st_ino)};
      entry.identity_known = true;
    } else if (found->d_type == DT_DIR) {
      entry.kind = Kind::folder;
    } else if (found->d_type == DT_REG) {
      entry.kind = Kind::file;
    } else {  // a link, or a file system that does not say: what it leads to
      entry.kind = ::stat(path.c_str(), &status) == 0 ? KindOf(status.st_mode) : Kind::other;
    }
    entries->push_back(std::move(entry));
    errno = 0;
  }
  const int error = errno;
  ::closedir(directory);
  if (error != 0) {
    errno = error;
    throw CannotRead{shown, LastReason()};
  }
}

bool IdentityOf(const std::string& path, Identity* identity) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return false;
  *identity = {std::uint64_t(status.st_dev), std::uint64_t(status.st_ino)};
  return true;
}

bool IsFolderPath(const std::string& path, std::string* reason) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) {
    *reason = LastReason();
    return false;
  }
  *reason = std::strerror(ENOTDIR);
  return S_ISDIR(status.st_mode);
}

// The upper case of each UTF-16 unit, as Windows' file systems compare
// names: one unit at a time, no unit becoming two ("ß" stays "ß").
Name Folded(const Name& name) {
  Name folded(name);
  for (char16_t& unit : folded) {
    if (unit < 0xd800 || unit >= 0xe000) {
      const std::wint_t upper = std::towupper(unit);
      if (upper < 0x10000) unit = char16_t(upper);
    }
  }
  return folded;
}

#endif

// ---- The findings ---------------------------------------------------------------

struct Counts {
  unsigned errors = 0, warnings = 0, notes = 0;
};

class Checker {
 public:
  Checker(std::size_t longest_game_folder, std::string game_folder_shown)
      : longest_game_folder_(longest_game_folder),
        game_folder_shown_(std::move(game_folder_shown)) {}

  // Checks the update folder `update` against the game's `game` (none where
  // the game has no such folder or none was given), `depth` the UTF-16 length
  // of the folder's path below the update, 0 at its root.
  void CheckFolder(const NativeString& update, const std::string& update_shown,
                   const NativeString* game, const std::string& game_shown, std::size_t depth);

  const Counts& counts() const { return counts_; }
  // The longest game folder path (in UTF-16 units) under which every path
  // the update makes stays within Windows' limits.
  long DeepestGameFolder() const { return deepest_; }

 private:
  void Report(const std::string& path, const char* severity, const std::string& what) {
    Write(stdout, path + ": " + severity + ": " + what);
    ++(severity[0] == 'e' ? counts_.errors : severity[0] == 'w' ? counts_.warnings : counts_.notes);
  }
  void CheckName(const Entry& entry, const std::string& shown);
  void CheckPathLength(const Entry& entry, const std::string& shown, std::size_t length);
  void CheckEntry(const Entry& entry, const std::string& shown);
  void CheckAgainstGame(const Entry& entry, const std::string& shown, const Entry& game_entry,
                        const NativeString& game_path, const std::string& game_shown);

  std::size_t longest_game_folder_;  // 0 where no --game-folder was given
  std::string game_folder_shown_;
  long deepest_ = long(kLongestFolderPath);
  // The first name seen of each file that may have several.
  std::map<Identity, std::string> hard_links_;
  Counts counts_;
};

const char kUnpacking[] =
    "overlay: never meets it as named: Windows cannot hold this name, so unpacking the update "
    "there fails or renames it";

void Checker::CheckName(const Entry& entry, const std::string& shown) {
  const Unit* name = entry.name.c_str();
  if (EndsInDotOrBlank(name)) {
    Report(shown, "error",
           std::string("name ends in a ") + (entry.name.back() == Unit('.') ? "dot" : "blank") +
               "; overlay: stops every run of the update here as an invalid name, partway, with "
               "its box at every start; rename it without the final " +
               (entry.name.back() == Unit('.') ? "dot" : "blank"));
  }
  if (MayNameADevice(name)) {
    // The device is the part before a dot or a colon, blanks trimmed.
    std::string device;
    bool extension = false;
    for (Unit c : entry.name) {
      if (c == Unit('.') || c == Unit(':')) {
        extension = c == Unit('.');
        break;
      }
      if (c != Unit(' ')) device += Utf8(Name(1, (c >= 'a' && c <= 'z') ? Unit(c - 'a' + 'A') : c));
    }
    Report(shown, "error",
           (extension ? "Windows 10 and earlier take this name as the device " + device +
                            " (Windows 11 only without an extension)"
                      : "Windows takes this name as the device " + device) +
               "; overlay: stops the update here as an invalid name where the system takes it as "
               "a device, which it would read or write instead of the file; rename it");
  }
  for (Unit c : entry.name) {
    if ((c > 0 && c < 0x20) || (c < 0x80 && std::strchr("<>:\"/\\|?*", char(c)) != nullptr)) {
      char shown_char[16];
      std::snprintf(shown_char, sizeof shown_char, c < 0x20 ? "U+%04X" : "'%c'", unsigned(c));
      Report(shown, "error",
             std::string("Windows refuses the character ") + shown_char + " in names; " +
                 kUnpacking + "; rename it");
      break;
    }
  }
  if (entry.name.size() > kLongestName) {
    Report(shown, "error",
           "name of " + std::to_string(entry.name.size()) + " characters, longer than Windows " +
               "allows (" + std::to_string(kLongestName) + "); " + kUnpacking + "; shorten it");
  }
  if (!entry.utf8) {
    Report(shown, "error",
           std::string("name is not UTF-8, so its characters on Windows depend on the unpacking "
                       "tool; ") +
               kUnpacking + "; rename it in UTF-8");
  }
}

void Checker::CheckPathLength(const Entry& entry, const std::string& shown, std::size_t length) {
  const bool folder = entry.kind == Kind::folder;
  const std::size_t limit = folder ? kLongestFolderPath : kLongestFilePath;
  deepest_ = std::min(deepest_, long(limit) - 1 - long(length));
  if (longest_game_folder_ == 0) return;
  const std::size_t total = longest_game_folder_ + 1 + length;
  if (total <= limit) return;
  Report(shown, "error",
         "path of " + std::to_string(total) + " characters in " + game_folder_shown_ +
             ", beyond the " + std::to_string(limit) + " Windows allows for a " +
             (folder ? "folder" : "file") +
             "; overlay: stops the update here with the system's error for a path too long; "
             "shorten the names or the depth of the update, or install the game in a shorter "
             "folder");
}

void Checker::CheckEntry(const Entry& entry, const std::string& shown) {
  if (entry.kind == Kind::link) {
    Report(shown, "error",
           "a link (a symbolic link or a junction); overlay: copies what it leads to, and stops "
           "with \"Invalid argument\" where it leads into the game folder or to a folder holding "
           "itself; the reference launcher does not follow links, so it never sees the update "
           "match and runs overlay again at every start; put what it leads to in its place");
  } else if (entry.kind == Kind::other) {
    Report(shown, "error",
           "neither a file, a folder nor a link (a pipe, a socket or a device node); overlay: "
           "never meets it: Windows holds no such entry; remove it");
  }
  if (entry.kind != Kind::file) return;
  // Two names of one file in the update, or (where the system counts them)
  // a file with more names than this one.
  const auto seen = entry.identity_known && entry.names != 1
                        ? hard_links_.emplace(entry.identity, shown)
                        : std::make_pair(hard_links_.end(), true);
  if (entry.names > 1 || !seen.second) {
    Report(shown, "warning",
           std::string("a hard link, one file under ") +
               (entry.names > 1 ? std::to_string(entry.names) + " names" : "several names") +
               (seen.second ? std::string() : " (also " + seen.first->second + ")") +
               "; overlay: copies it as a file of its own, but a game file that is this same file "
               "is replaced in place, and this file of the update with it; stage the update as "
               "copies");
  }
  if (entry.read_only || entry.hidden || entry.system) {
    std::string flags;
    for (const auto& flag :
         {std::make_pair(entry.read_only, "read-only"), std::make_pair(entry.hidden, "hidden"),
          std::make_pair(entry.system, "system")}) {
      if (flag.first) flags += (flags.empty() ? "" : ", ") + std::string(flag.second);
    }
    Report(shown, "warning",
           flags +
               " file; overlay: copies it so, and Windows then refuses to replace it in the "
               "next update (\"Access is denied.\") unless the launcher clears it first, as "
               "the reference launcher does (ClearAttributesInTheWay); stage it without "
               "(attrib -r -h -s, or chmod u+w)");
  }
}

void Checker::CheckAgainstGame(const Entry& entry, const std::string& shown,
                               const Entry& game_entry, const NativeString& game_path,
                               const std::string& game_shown) {
  if (entry.kind == Kind::file && game_entry.kind == Kind::folder) {
    Report(shown, "error",
           "a file where the game has a folder (" + game_shown +
               "); overlay: copies it into that folder, and the reference launcher never sees "
               "the update match and runs overlay again at every start; rename the file, or "
               "have the launcher delete the game's folder before the update");
  } else if (entry.kind == Kind::folder && game_entry.kind == Kind::file) {
    Report(shown, "error",
           "a folder where the game has a file (" + game_shown +
               "); overlay: stops the update here with \"File exists\"; rename the folder, or "
               "have the launcher delete the game's file before the update");
  } else if (entry.kind == Kind::file && entry.names != 1 && game_entry.kind == Kind::file) {
    // The listing's identity where it tells one, else one query of the game's file.
    Identity game_identity = game_entry.identity;
    if ((game_entry.identity_known || IdentityOf(game_path, &game_identity)) &&
        game_identity == entry.identity) {
      Report(shown, "error",
             "the same file as the game's " + game_shown +
                 " (a hard link); overlay: stops the update here with \"File exists\"; stage "
                 "the update as copies");
    }
  }
  if (game_entry.name != entry.name && entry.kind == game_entry.kind) {
    Report(shown, "note",
           "the game spells this name \"" + Utf8(game_entry.name) +
               "\"; overlay: applies it, and the game keeps its spelling");
  }
}

void Checker::CheckFolder(const NativeString& update, const std::string& update_shown,
                          const NativeString* game, const std::string& game_shown,
                          std::size_t depth) {
  std::vector<Entry> entries;
  ListFolder(update, update_shown, true, &entries);
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.native < b.native; });
  std::vector<Entry> game_entries;
  std::map<Name, const Entry*> in_game;  // by the name as Windows compares it
  if (game != nullptr) {
    ListFolder(*game, game_shown, false, &game_entries);
    for (const Entry& game_entry : game_entries)
      in_game.emplace(Folded(game_entry.name), &game_entry);
  }
  std::map<Name, const Entry*> in_update;
  for (const Entry& entry : entries) {
    const std::string name_shown = Utf8(entry.name);
    const std::string shown = Joined(update_shown, name_shown);
    const Name folded = Folded(entry.name);
    const auto twin = in_update.emplace(folded, &entry);
    if (!twin.second) {
      Report(shown, "error",
             "Windows takes this name and \"" + Utf8(twin.first->second->name) +
                 "\" beside it as one name; overlay: gets only the one that unpacking left, the "
                 "other one overwritten; rename one of them");
    }
    CheckName(entry, shown);
    const std::size_t length = depth + (depth > 0 ? 1 : 0) + entry.name.size();
    CheckPathLength(entry, shown, length);
    CheckEntry(entry, shown);

    const auto counterpart = game != nullptr ? in_game.find(folded) : in_game.end();
    NativeString game_path;
    std::string game_entry_shown;
    if (counterpart != in_game.end()) {
      game_path = Joined(*game, counterpart->second->native);
      game_entry_shown = Joined(game_shown, Utf8(counterpart->second->name));
      CheckAgainstGame(entry, shown, *counterpart->second, game_path, game_entry_shown);
    }
    if (entry.kind == Kind::folder) {
      const bool game_has_folder =
          counterpart != in_game.end() && counterpart->second->kind == Kind::folder;
      CheckFolder(Joined(update, entry.native), shown, game_has_folder ? &game_path : nullptr,
                  game_entry_shown, length);
    }
  }
}

// ---- The command line -------------------------------------------------------------

const char kUsage[] = "usage: overlay-check UPDATE [GAME] [--game-folder PATH]...";

#ifdef _WIN32
std::string ShownOf(const std::wstring& argument) { return Utf8(argument); }
#else
std::string ShownOf(const std::string& argument) { return argument; }
#endif

// A path as given, without final separators; a root keeps its own ("/", "C:\").
NativeString Trimmed(NativeString path) {
  while (path.size() > 1 && (path.back() == '/' || path.back() == '\\') &&
         !(path.size() == 3 && path[1] == ':')) {
    path.pop_back();
  }
  return path;
}

int CannotReadInput(const std::string& path, const std::string& reason) {
  Write(stderr, "overlay-check: cannot read " + path + ": " + reason);
  return 2;
}

// Opens a root given on the command line as a folder to read; false, with
// the reason, where it is none.
bool OpenRoot(const NativeString& argument, NativeString* root, std::string* reason) {
#ifdef _WIN32
  if (!ReadingPath(argument, root)) {
    *reason = LastReason();
    return false;
  }
#else
  *root = Trimmed(argument);
#endif
  return IsFolderPath(*root, reason);
}

int Run(const std::vector<NativeString>& arguments) {
  std::vector<NativeString> roots;
  std::size_t longest_game_folder = 0;
  std::string longest_shown;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string text = ShownOf(arguments[i]);
    if (text == "--game-folder" && i + 1 < arguments.size()) {
      const NativeString folder = Trimmed(arguments[++i]);
      bool utf8 = true;
      const std::size_t length = ToName(folder, &utf8).size();
      if (length > longest_game_folder) {
        longest_game_folder = length;
        longest_shown = ShownOf(folder);
      }
    } else if (text.compare(0, 2, "--") == 0) {
      Write(stderr, kUsage);
      return 2;
    } else {
      roots.push_back(arguments[i]);
    }
  }
  if (roots.empty() || roots.size() > 2) {
    Write(stderr, kUsage);
    return 2;
  }
  NativeString update, game;
  std::string reason;
  const std::string update_shown = ShownOf(Trimmed(roots[0]));
  if (!OpenRoot(roots[0], &update, &reason)) return CannotReadInput(update_shown, reason);
  const bool has_game = roots.size() == 2;
  const std::string game_shown = has_game ? ShownOf(Trimmed(roots[1])) : std::string();
  if (has_game && !OpenRoot(roots[1], &game, &reason)) return CannotReadInput(game_shown, reason);

  Checker checker(longest_game_folder, longest_shown);
  try {
    checker.CheckFolder(update, update_shown, has_game ? &game : nullptr, game_shown, 0);
  } catch (const CannotRead& failure) {
    return CannotReadInput(failure.path, failure.reason);
  }
  const Counts& counts = checker.counts();
  const long deepest = checker.DeepestGameFolder();
  Write(stdout, std::to_string(counts.errors) + " errors, " + std::to_string(counts.warnings) +
                    " warnings" +
                    (counts.notes > 0 ? ", " + std::to_string(counts.notes) + " notes" : "") +
                    (deepest >= 3 ? "; the update fits a game folder of up to " +
                                        std::to_string(deepest) + " characters"
                                  : "; the update fits no game folder, not even C:\\"));
  return counts.errors > 0 ? 1 : 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  return Run(std::vector<std::wstring>(argv + 1, argv + argc));
}
#else
int main(int argc, char** argv) {
  // Letter case as Unicode has it; without a UTF-8 locale, ASCII letters only.
  if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) std::setlocale(LC_CTYPE, "");
  return Run(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
