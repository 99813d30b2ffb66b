// launcher.cpp: the update step of a game launcher, VarenkoLauncher.exe in
// the game folder, run at each of its starts before it starts the game
// (Game.exe, beside it). The update is unpacked beside the game folder, into
// "<game folder> update". README.txt, "The reference launcher", walks
// through its steps and gives the command that builds it.
#include <windows.h>
// After windows.h, which they need.
#include <softpub.h>
#include <tlhelp32.h>
#include <wintrust.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

// The SHA-1 thumbprint of the certificate you sign overlay.exe with, given
// when building, e.g. -DOVERLAY_SIGNER_SHA1='"F6C6FDF2D38616095BB5850852D290C844AD7DEE"'.
// Without one the launcher starts overlay unchecked, and its build says so.
#ifndef OVERLAY_SIGNER_SHA1
#pragma message("OVERLAY_SIGNER_SHA1 is not set: overlay.exe will be started unchecked")
#define OVERLAY_SIGNER_SHA1 ""
#endif

// Your game's program, in the game folder: started once the update step lets the game start.
constexpr wchar_t kGameProgram[] = L"Game.exe";

// What the launcher tells the player while an overlay copy is listed: it may
// be copying, or waiting for the player to close its failure box.
constexpr wchar_t kUpdateStillRunning[] =
    L"The game is still being updated. If a message about the update is open, read it and "
    L"close it. Then start the game again.";
// Ends every message after which the game starts without the update.
constexpr wchar_t kGameStartsAsItIs[] =
    L" The game starts as it is; the update is tried again at its next start.";
constexpr wchar_t kOverlayNotSigned[] =
    L"The update was not started: overlay.exe in the game folder is not signed by the expected "
    L"signer.";

// The system's description of an error, in the system's language.
inline std::wstring SystemMessage(DWORD error) {
  wchar_t text[512];
  DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, 512, nullptr);
  while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n')) --length;
  return length > 0 ? std::wstring(text, length) : L"Error " + std::to_wstring(error) + L".";
}

inline std::wstring UpdateNotStartedText(DWORD error) {
  return L"The update could not be started: " + SystemMessage(error);
}

// After a run of overlay, the first entry of the game folder that is not as
// the update has it, and how many runs the "update pending" note counts.
inline std::wstring UpdateIncompleteText(const std::wstring& entry, unsigned runs) {
  return L"The update is not complete after " + std::to_wstring(runs) +
         (runs == 1 ? L" run" : L" runs") + L": \"" + entry + L"\" is not as the update has it.";
}

// Owns a handle that `Close` releases (CloseHandle, FindClose), on every path
// out of the function that opened it.
template <BOOL(WINAPI* Close)(HANDLE)>
class Owned {
 public:
  explicit Owned(HANDLE handle = nullptr) : handle_(handle) {}
  Owned(Owned&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Owned& operator=(Owned&& other) noexcept {
    std::swap(handle_, other.handle_);  // the old one closes with `other`
    return *this;
  }
  ~Owned() {
    if (*this) Close(handle_);
  }
  HANDLE get() const { return handle_; }
  // Windows functions give either null or INVALID_HANDLE_VALUE for "none".
  explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};
using UniqueHandle = Owned<::CloseHandle>;
using FindHandle = Owned<::FindClose>;

// The argument in quotes, such that CommandLineToArgvW gives it back unchanged.
// Backslashes are literal unless they run into a quote: those before an
// embedded quote or the closing one are doubled, an embedded quote escaped.
// So a folder ending in "\" stays one argument instead of escaping the quote.
inline std::wstring QuoteArgument(const std::wstring& argument) {
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t character : argument) {
    if (character == L'\\') {
      ++backslashes;
    } else {
      if (character == L'"') quoted.append(backslashes + 1, L'\\');
      backslashes = 0;
    }
    quoted += character;
  }
  quoted.append(backslashes, L'\\');
  return quoted + L'"';
}

// The path made absolute against this process's working directory; empty on
// failure. overlay takes a relative root against its own working directory,
// so an absolute one names the same folder wherever overlay runs.
inline std::wstring FullPath(const std::wstring& path) {
  const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::wstring();
  std::wstring full(needed, L'\0');
  const DWORD written = ::GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
  if (written == 0 || written >= needed) return std::wstring();
  full.resize(written);
  return full;
}

// This program's path; empty on failure. The buffer grows until the path
// fits: a game folder may lie deeper than MAX_PATH.
inline std::wstring ModulePath() {
  for (DWORD size = MAX_PATH; size <= 65536; size *= 2) {
    std::wstring path(size, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, &path[0], size);
    if (length == 0) break;
    if (length < size) return path.substr(0, length);
  }
  return std::wstring();
}

// Lets a new process inherit one handle and no other: a launcher may hold
// inheritable handles of its own (a log, a pipe), which must not stay open
// in the waiter while overlay copies.
class InheritOnly {
 public:
  explicit InheritOnly(HANDLE handle) : handle_(handle) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    buffer_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    initialized_ = list;
    if (::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &handle_,
                                    sizeof handle_, nullptr, nullptr)) {
      list_ = list;
    }
  }
  ~InheritOnly() {
    if (initialized_) ::DeleteProcThreadAttributeList(initialized_);
  }
  InheritOnly(const InheritOnly&) = delete;
  InheritOnly& operator=(const InheritOnly&) = delete;
  // Null when the list could not be made.
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  HANDLE handle_;  // the list points here
  std::vector<char> buffer_;
  LPPROC_THREAD_ATTRIBUTE_LIST initialized_ = nullptr, list_ = nullptr;
};

// Starts `program` with the whole `command_line` and returns its process
// handle; none when it could not be started (GetLastError says why). It
// inherits the handles `inherit` lists, or none at all.
inline UniqueHandle StartProgram(const std::wstring& program, std::wstring command_line,
                                 const InheritOnly* inherit = nullptr) {
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.lpAttributeList = inherit ? inherit->get() : nullptr;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, inherit != nullptr,
                        inherit ? EXTENDED_STARTUPINFO_PRESENT : 0, nullptr, nullptr,
                        &startup.StartupInfo, &process)) {
    return UniqueHandle();
  }
  ::CloseHandle(process.hThread);
  return UniqueHandle(process.hProcess);
}

// Starts overlay on the update folder and the game folder, each made
// absolute; returns its process handle. It inherits no handle, so that
// nothing of the launcher stays open while overlay copies.
inline UniqueHandle StartOverlay(const std::wstring& overlay, const std::wstring& update,
                                 const std::wstring& game) {
  const std::wstring program = FullPath(overlay), source = FullPath(update),
                     target = FullPath(game);
  if (program.empty() || source.empty() || target.empty()) return UniqueHandle();
  return StartProgram(program, QuoteArgument(program) + L" " + QuoteArgument(source) + L" " +
                                   QuoteArgument(target));
}

// The launcher's files and processes in the temporary folder and the process
// list are named <kCopyPrefix><game mark>-<process ID> and then ".exe" for a
// copy of overlay, "-waiter.exe" for a waiter. No other program's file or
// process has such a name; and since every game that ships this launcher
// shares its image name, the mark (a hash of the game folder's path) keeps
// each launcher to its own game's copies.
constexpr wchar_t kCopyPrefix[] = L"overlay-VarenkoLauncher-";
constexpr wchar_t kOverlayCopyEnd[] = L".exe";
constexpr wchar_t kWaiterCopyEnd[] = L"-waiter.exe";

// kCopyPrefix and the game mark: FNV-1a of the path in upper case (the
// file system ignores case), 8 hex digits, and "-".
inline std::wstring CopyStem(const std::wstring& game) {
  std::wstring upper = game;
  ::CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
  std::uint32_t hash = 2166136261u;
  for (wchar_t character : upper) hash = (hash ^ character) * 16777619u;
  wchar_t mark[16];
  std::swprintf(mark, 16, L"%08X-", static_cast<unsigned>(hash));
  return kCopyPrefix + std::wstring(mark);
}

// This run's copy of the kind that `end` names.
inline std::wstring CopyName(const std::wstring& stem, const wchar_t* end) {
  return stem + std::to_wstring(::GetCurrentProcessId()) + end;
}

// Whether a file or image name is a copy of that kind: the stem, digits,
// `end`, in any letter case.
inline bool IsCopyName(const wchar_t* name, const std::wstring& stem, const wchar_t* end) {
  if (_wcsnicmp(name, stem.c_str(), stem.size()) != 0) return false;
  const wchar_t* digits_end = name + stem.size();
  while (*digits_end >= L'0' && *digits_end <= L'9') ++digits_end;
  return digits_end > name + stem.size() && _wcsicmp(digits_end, end) == 0;
}

// The temporary folder, ending in "\"; empty where there is none.
inline std::wstring TemporaryFolder() {
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
  return length > 0 && length <= MAX_PATH ? std::wstring(temp, length) : std::wstring();
}

// Calls `visit(entry)` for each entry of a folder but "." and "..", while it
// returns true; false when the folder cannot be listed or a visit said stop.
template <typename Visit>
bool ForEachEntryOf(const std::wstring& folder, const Visit& visit) {
  WIN32_FIND_DATAW found;
  const FindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &found));
  if (!find) return false;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L".." && !visit(found)) return false;
  } while (::FindNextFileW(find.get(), &found));
  return true;
}

// Deletes this game's copies of earlier runs. One that still runs cannot be
// deleted: it is left for a later start.
inline void DeleteEarlierCopies(const std::wstring& temp, const std::wstring& stem) {
  ForEachEntryOf(temp, [&](const WIN32_FIND_DATAW& entry) {
    if (IsCopyName(entry.cFileName, stem, kOverlayCopyEnd) ||
        IsCopyName(entry.cFileName, stem, kWaiterCopyEnd)) {
      ::DeleteFileW((temp + entry.cFileName).c_str());
    }
    return true;
  });
}

// Whether a copy of overlay for this game is in the process list: waiting
// for the launcher, copying, or showing its failure box.
inline bool OverlayCopyIsListed(const std::wstring& stem) {
  const UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = snapshot && ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    if (IsCopyName(entry.szExeFile, stem, kOverlayCopyEnd)) return true;
  }
  return false;
}

// Holds a named mutex while it lives. A second launcher of the same game
// waits here until the first has looked at the process list and started
// overlay, and then sees its copy. A mutex that cannot be made or held
// leaves the step unguarded rather than the game unstarted.
class StepLock {
 public:
  explicit StepLock(const std::wstring& name)
      : mutex_(::CreateMutexW(nullptr, FALSE, name.c_str())) {
    const DWORD waited = mutex_ ? ::WaitForSingleObject(mutex_.get(), INFINITE) : WAIT_FAILED;
    held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;  // abandoned: its holder died
  }
  ~StepLock() {
    if (held_) ::ReleaseMutex(mutex_.get());
  }
  StepLock(const StepLock&) = delete;
  StepLock& operator=(const StepLock&) = delete;

 private:
  UniqueHandle mutex_;
  bool held_ = false;
};

// Whether an entry may be a link (a symbolic link or a junction): a reparse
// point whose tag is a name surrogate, or no tag at all, as Wine lists its
// links. Other reparse points, cloud-file placeholders among them, are the
// folders and files they hold.
inline bool IsLink(const WIN32_FIND_DATAW& entry) {
  return (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         (entry.dwReserved0 == 0 || IsReparseTagNameSurrogate(entry.dwReserved0));
}

inline bool IsFolder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

inline ULONGLONG Ticks(const FILETIME& time) {
  return static_cast<ULONGLONG>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

// Whether two last-write times are one as a file system keeps it: FAT (USB
// sticks) keeps 2 s steps, the coarsest of all, and a network server's steps
// are not known, so any two less than 2 s apart count as one.
inline bool SameWriteTime(const FILETIME& a, const FILETIME& b) {
  const ULONGLONG kTwoSeconds = 20000000;  // in FILETIME's 100 ns units
  return (Ticks(a) > Ticks(b) ? Ticks(a) - Ticks(b) : Ticks(b) - Ticks(a)) < kTwoSeconds;
}

// Whether the game folder has the update's entry at `in_game`: a folder for a
// folder (an empty one too), a file of the same size and last-write time for
// a file (overlay's copy keeps the time). A link never matches: overlay
// copies what it leads to.
inline bool GameHas(const WIN32_FIND_DATAW& entry, const std::wstring& in_game) {
  WIN32_FILE_ATTRIBUTE_DATA game_entry;
  if (IsLink(entry) ||
      !::GetFileAttributesExW(in_game.c_str(), GetFileExInfoStandard, &game_entry) ||
      IsFolder(entry.dwFileAttributes) != IsFolder(game_entry.dwFileAttributes)) {
    return false;
  }
  return IsFolder(entry.dwFileAttributes) ||
         (game_entry.nFileSizeHigh == entry.nFileSizeHigh &&
          game_entry.nFileSizeLow == entry.nFileSizeLow &&
          SameWriteTime(game_entry.ftLastWriteTime, entry.ftLastWriteTime));
}

// The first entry of the update the game folder does not have, by its path
// in the game folder; empty when it has them all. A folder of the update that
// cannot be listed is not known to match: it is named.
inline std::wstring FirstMismatch(const std::wstring& update, const std::wstring& game) {
  std::wstring mismatch;
  const bool listed = ForEachEntryOf(update, [&](const WIN32_FIND_DATAW& entry) {
    const std::wstring in_game = game + L"\\" + entry.cFileName;
    if (!GameHas(entry, in_game)) {
      mismatch = in_game;
    } else if (IsFolder(entry.dwFileAttributes)) {
      mismatch = FirstMismatch(update + L"\\" + entry.cFileName, in_game);
    }
    return mismatch.empty();
  });
  return listed || !mismatch.empty() ? mismatch : game;
}

// Clears the attributes that make Windows refuse to replace a game file the
// update replaces ("Access is denied."): read-only, and hidden or system,
// which stop a replacement that is not so. overlay then copies the update's.
inline void ClearAttributesInTheWay(const std::wstring& update, const std::wstring& game) {
  ForEachEntryOf(update, [&](const WIN32_FIND_DATAW& entry) {
    const std::wstring in_game = game + L"\\" + entry.cFileName;
    const DWORD attributes = ::GetFileAttributesW(in_game.c_str());
    const DWORD in_the_way =
        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (attributes == INVALID_FILE_ATTRIBUTES || IsLink(entry)) return true;
    if (IsFolder(entry.dwFileAttributes)) {
      ClearAttributesInTheWay(update + L"\\" + entry.cFileName, in_game);
    } else if (!IsFolder(attributes) && (attributes & in_the_way)) {
      ::SetFileAttributesW(in_game.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    return true;
  });
}

// Whether the path itself (not what it holds) is a link.
inline bool IsLinkPath(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  const FindHandle find(::FindFirstFileW(path.c_str(), &found));
  return find && IsLink(found);
}

// Deletes a folder and everything in it; true once it is gone. A link is
// neither followed nor deleted (systems differ in what deleting one removes):
// one in the folder stays, with its folder, and a folder that is itself a
// link is left whole, since what it holds is another folder's.
inline bool DeleteTree(const std::wstring& folder) {
  if (IsLinkPath(folder)) return false;
  ForEachEntryOf(folder, [&](const WIN32_FIND_DATAW& entry) {
    const std::wstring path = folder + L"\\" + entry.cFileName;
    if (IsLink(entry)) return true;
    if (IsFolder(entry.dwFileAttributes)) {
      DeleteTree(path);
    } else {
      ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);  // read-only ones too
      ::DeleteFileW(path.c_str());
    }
    return true;
  });
  return ::RemoveDirectoryW(folder.c_str()) ||
         ::GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES;
}

// A WinVerifyTrust verdict on one open file; its state is released with it.
class TrustVerdict {
 public:
  TrustVerdict(HANDLE file, const std::wstring& path) {
    file_info_.cbStruct = sizeof file_info_;
    file_info_.pcwszFilePath = path.c_str();
    file_info_.hFile = file;  // what is checked is what the handle holds
    trust_.cbStruct = sizeof trust_;
    trust_.dwUIChoice = WTD_UI_NONE;
    trust_.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust_.dwUnionChoice = WTD_CHOICE_FILE;
    trust_.pFile = &file_info_;
    trust_.dwStateAction = WTD_STATEACTION_VERIFY;
    valid_ = ::WinVerifyTrust(kNoWindow(), &action_, &trust_) == ERROR_SUCCESS;
  }
  ~TrustVerdict() {
    trust_.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(kNoWindow(), &action_, &trust_);
  }
  TrustVerdict(const TrustVerdict&) = delete;
  TrustVerdict& operator=(const TrustVerdict&) = delete;

  // The SHA-1 thumbprint of the signer's certificate in hex; empty unless
  // the signature is valid. Any valid signature passes WinVerifyTrust: the
  // thumbprint tells whose it is.
  std::string SignerThumbprint() const {
    CRYPT_PROVIDER_DATA* data =
        valid_ ? ::WTHelperProvDataFromStateData(trust_.hWVTStateData) : nullptr;
    CRYPT_PROVIDER_SGNR* signer =
        data ? ::WTHelperGetProvSignerFromChain(data, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* certificate = signer ? ::WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    BYTE hash[20];
    DWORD size = sizeof hash;
    if (!certificate ||
        !::CertGetCertificateContextProperty(certificate->pCert, CERT_SHA1_HASH_PROP_ID, hash,
                                             &size) ||
        size != sizeof hash) {
      return std::string();
    }
    char hex[41];
    for (DWORD i = 0; i < size; ++i) std::snprintf(hex + 2 * i, 3, "%02X", hash[i]);
    return hex;
  }

 private:
  static HWND kNoWindow() { return static_cast<HWND>(INVALID_HANDLE_VALUE); }

  WINTRUST_FILE_INFO file_info_{};
  WINTRUST_DATA trust_{};
  GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  bool valid_ = false;
};

// Whether the file open as `file` is signed with Authenticode by the signer
// whose certificate's SHA-1 thumbprint is `thumbprint`.
inline bool IsSignedBy(HANDLE file, const std::wstring& path, const char* thumbprint) {
  const std::string signer = TrustVerdict(file, path).SignerThumbprint();
  return !signer.empty() && _stricmp(signer.c_str(), thumbprint) == 0;
}

// The update folder is complete once unpacked: the step that unpacks it
// writes the "update pending" note, `update` + ".pending", beside it, empty.
// The launcher counts in it the runs of overlay it started; the note is
// deleted only once the game folder matches the update.
inline std::wstring PendingNote(const std::wstring& update) { return update + L".pending"; }

inline unsigned RunsNoted(const std::wstring& note) {
  const UniqueHandle file(::CreateFileW(note.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
  char text[16] = "";
  DWORD read = 0;
  if (file) ::ReadFile(file.get(), text, sizeof text - 1, &read, nullptr);
  return static_cast<unsigned>(std::strtoul(text, nullptr, 10));
}

// A count not written only makes a later message count short.
inline void NoteRuns(const std::wstring& note, unsigned runs) {
  const UniqueHandle file(
      ::CreateFileW(note.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr));
  const std::string text = std::to_string(runs);
  DWORD written = 0;
  if (file) {
    ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
}

// What the update step leaves to do: start the game or not, and what to tell
// the player first (nothing when empty).
struct UpdateStep {
  bool start_game;
  std::wstring told;
};

// The command-line words of the waiter, "<waiter> kWaitFlag <handle>
// <launcher>", and of the launcher it starts again, "<launcher>
// kAfterRunFlag".
constexpr wchar_t kWaitFlag[] = L"--wait-for-overlay";
constexpr wchar_t kAfterRunFlag[] = L"--after-update";

// Starts the waiter, a copy of the launcher under a name overlay does not
// wait for: it inherits a handle to overlay's process, waits on it, then
// starts the launcher again (WaitThenStartLauncher), so that the game starts
// when the copy ends. Without it the player starts the launcher again.
inline void StartWaiter(const std::wstring& launcher, const std::wstring& waiter, HANDLE overlay) {
  HANDLE duplicate = nullptr;
  if (!::CopyFileW(launcher.c_str(), waiter.c_str(), FALSE) ||
      !::DuplicateHandle(::GetCurrentProcess(), overlay, ::GetCurrentProcess(), &duplicate,
                         SYNCHRONIZE, TRUE, 0)) {
    return;
  }
  const UniqueHandle inheritable(duplicate);
  const InheritOnly inherit(duplicate);
  if (!inherit.get()) return;
  const std::wstring value = std::to_wstring(reinterpret_cast<std::uintptr_t>(duplicate));
  StartProgram(
      waiter,
      QuoteArgument(waiter) + L" " + kWaitFlag + L" " + value + L" " + QuoteArgument(launcher),
      &inherit);
}

// The waiter's whole work (see StartWaiter).
inline int WaitThenStartLauncher(const wchar_t* overlay_handle, const wchar_t* launcher) {
  const UniqueHandle overlay(reinterpret_cast<HANDLE>(
      static_cast<std::uintptr_t>(std::wcstoul(overlay_handle, nullptr, 10))));
  ::WaitForSingleObject(overlay.get(), INFINITE);
  return StartProgram(launcher, QuoteArgument(launcher) + L" " + kAfterRunFlag) ? 0 : 1;
}

// Starts overlay from a copy of the game folder's overlay.exe in `copy`,
// checked first through a handle that lets nobody write, rename or delete the
// copy until overlay runs from it: what was checked is what runs. The run is
// counted in the note first, so that a run cut short counts too.
inline UpdateStep StartCheckedCopy(const std::wstring& game, const std::wstring& update,
                                   const std::wstring& copy, UniqueHandle* overlay) {
  if (!::CopyFileW((game + L"\\overlay.exe").c_str(), copy.c_str(), FALSE)) {
    return {true, UpdateNotStartedText(::GetLastError())};
  }
  const UniqueHandle checked(::CreateFileW(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
  if (!checked) return {true, UpdateNotStartedText(::GetLastError())};
  if (OVERLAY_SIGNER_SHA1[0] != '\0' && !IsSignedBy(checked.get(), copy, OVERLAY_SIGNER_SHA1)) {
    return {true, kOverlayNotSigned};
  }
  const std::wstring note = PendingNote(update);
  NoteRuns(note, RunsNoted(note) + 1);
  *overlay = StartOverlay(copy, update, game);
  if (!*overlay) return {true, UpdateNotStartedText(::GetLastError())};
  return {false, std::wstring()};
}

// The update step, in the order of README.txt: under the game's lock, the
// copies of earlier runs deleted; nothing done while an overlay copy is
// listed; a pending update that the game folder now matches finished (its
// folder and note deleted); after a run of overlay that left the game folder
// not matching, the player told; any other pending update started, from a
// checked copy, with a waiter. The game starts whenever it is not being updated.
inline UpdateStep ApplyPendingUpdate(const std::wstring& launcher, const std::wstring& game,
                                     const std::wstring& update, bool after_run) {
  const std::wstring stem = CopyStem(game), temp = TemporaryFolder();
  const StepLock lock(L"Local\\" + stem + L"update");
  if (!temp.empty()) DeleteEarlierCopies(temp, stem);
  if (OverlayCopyIsListed(stem)) return {false, kUpdateStillRunning};
  const std::wstring note = PendingNote(update);
  if (::GetFileAttributesW(note.c_str()) == INVALID_FILE_ATTRIBUTES) return {true, L""};
  const bool gone = ::GetFileAttributesW(update.c_str()) == INVALID_FILE_ATTRIBUTES;
  const std::wstring mismatch = gone ? std::wstring() : FirstMismatch(update, game);
  if (mismatch.empty()) {
    // Done. overlay deletes nothing: the launcher deletes the update, then its
    // note, which stays while the folder cannot be deleted yet.
    if (DeleteTree(update)) ::DeleteFileW(note.c_str());
    return {true, L""};
  }
  if (after_run) return {true, UpdateIncompleteText(mismatch, RunsNoted(note)) + kGameStartsAsItIs};
  if (temp.empty()) return {true, UpdateNotStartedText(ERROR_PATH_NOT_FOUND) + kGameStartsAsItIs};
  ClearAttributesInTheWay(update, game);
  const std::wstring copy = CopyName(temp + stem, kOverlayCopyEnd);
  UniqueHandle overlay;
  UpdateStep step = StartCheckedCopy(game, update, copy, &overlay);
  if (step.start_game) {
    ::DeleteFileW(copy.c_str());
    step.told += kGameStartsAsItIs;
  } else {
    StartWaiter(launcher, CopyName(temp + stem, kWaiterCopyEnd), overlay.get());
  }
  return step;
}

// Starts the game; false, after telling the player why, when it cannot.
inline bool StartGame(const std::wstring& game) {
  const std::wstring program = game + L"\\" + kGameProgram;
  if (StartProgram(program, QuoteArgument(program))) return true;
  const std::wstring told = L"The game could not be started: " + SystemMessage(::GetLastError());
  ::MessageBoxW(nullptr, told.c_str(), L"Launcher", MB_ICONERROR);
  return false;
}

// The launcher of the game in the folder that holds it, say
// C:\Games\Game\VarenkoLauncher.exe with its update in C:\Games\Game update;
// or, started as "kWaitFlag <handle> <launcher>", the waiter.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  if (__argc == 4 && std::wcscmp(__wargv[1], kWaitFlag) == 0) {
    return WaitThenStartLauncher(__wargv[2], __wargv[3]);
  }
  const std::wstring launcher = ModulePath();
  if (launcher.empty()) {
    ::MessageBoxW(nullptr, SystemMessage(::GetLastError()).c_str(), L"Launcher", MB_ICONERROR);
    return 1;
  }
  const std::wstring game = launcher.substr(0, launcher.find_last_of(L'\\'));
  const bool after_run = __argc == 2 && std::wcscmp(__wargv[1], kAfterRunFlag) == 0;
  const UpdateStep step = ApplyPendingUpdate(launcher, game, game + L" update", after_run);
  if (!step.told.empty()) {
    ::MessageBoxW(nullptr, step.told.c_str(), L"Launcher",
                  step.start_game ? MB_ICONWARNING : MB_ICONINFORMATION);
  }
  return !step.start_game || StartGame(game) ? 0 : 1;
}
