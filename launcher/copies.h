// copies.h: the game's lock and the launcher's copies in the temporary
// folder: overlay started from a copy named for its game and run, earlier
// copies deleted, the process list searched for a running one, the lock that
// makes that look and the start one step, and the waiter, a copy of the
// launcher that waits for overlay and then starts the launcher again
// (its work and window: waiter_window.h).
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

#include "basics.h"
#include "matching.h"

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
// shares its image name, the mark (a hash of the game folder as the platform
// resolves it) keeps each launcher to its own game's copies.
constexpr wchar_t kCopyPrefix[] = L"overlay-VarenkoLauncher-";
constexpr wchar_t kOverlayCopyEnd[] = L".exe";
constexpr wchar_t kWaiterCopyEnd[] = L"-waiter.exe";

// kCopyPrefix and the game mark: FNV-1a of the game folder's final path in
// upper case (the file system ignores case), 8 hex digits, and "-". Every
// spelling of one folder (two drive letters, a link on the way, letter case)
// so has one mark, one lock and one set of copies; the path as given stands
// in where the platform cannot tell.
inline std::wstring CopyStem(const std::wstring& game) {
  const std::wstring resolved = ResolvedPath(game);
  std::wstring upper = resolved.empty() ? game : resolved;
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

// Deletes this game's copies of earlier runs (`temp` ends in "\"). One that
// still runs cannot be deleted: it is left for a later start.
inline void DeleteEarlierCopies(const std::wstring& temp, const std::wstring& stem) {
  const Place folder = FolderPlace(temp);
  ForEachEntryOf(folder.path, [&](const WIN32_FIND_DATAW& entry) {
    if (IsCopyName(entry.cFileName, stem, kOverlayCopyEnd) ||
        IsCopyName(entry.cFileName, stem, kWaiterCopyEnd)) {
      DeleteEntry(folder.Child(entry.cFileName));
    }
    return true;
  });
}

// Whether a process whose image name passes `is_it` is in the process list.
template <typename Test>
bool ProcessIsListed(const Test& is_it) {
  const UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = snapshot && ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    if (is_it(entry.szExeFile)) return true;
  }
  return false;
}

// Whether a copy of overlay for this game is in the process list: waiting
// for the launcher, copying, or showing its failure box.
inline bool OverlayCopyIsListed(const std::wstring& stem) {
  return ProcessIsListed(
      [&](const wchar_t* image) { return IsCopyName(image, stem, kOverlayCopyEnd); });
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

// How the run of overlay that a waiter watched ended, as it hands it on to
// the launcher it starts again: "<launcher> kAfterRunFlag <runs> <cut short>
// <box text>". The waiter itself is "<waiter> kWaitFlag <handle> <launcher>
// <runs> <cut short>".
struct RunEnd {
  bool after_run = false;
  unsigned runs = 0;       // runs of overlay counted, this one too
  unsigned cut_short = 0;  // runs before this one cut short in a row
  std::wstring box;        // the text of overlay's box; empty when it showed none
};
constexpr wchar_t kWaitFlag[] = L"--wait-for-overlay";
constexpr wchar_t kAfterRunFlag[] = L"--after-update";

// Starts the waiter, a copy of the launcher under a name overlay does not
// wait for: it inherits a handle to overlay's process, waits on it, then
// starts the launcher again (WaitThenStartLauncher), so that the game starts
// when the copy ends. Without it the player starts the launcher again. The
// count of runs travels with it, so that a note that cannot be written
// does not lose it.
inline void StartWaiter(const std::wstring& launcher, const std::wstring& waiter, HANDLE overlay,
                        unsigned runs, unsigned cut_short) {
  HANDLE duplicate = nullptr;
  if (!::CopyFileW(launcher.c_str(), waiter.c_str(), TRUE) ||
      !::DuplicateHandle(::GetCurrentProcess(), overlay, ::GetCurrentProcess(), &duplicate,
                         SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, TRUE, 0)) {
    return;
  }
  const UniqueHandle inheritable(duplicate);
  const InheritOnly inherit(duplicate);
  if (!inherit.get()) return;
  const std::wstring value = std::to_wstring(reinterpret_cast<std::uintptr_t>(duplicate));
  const UniqueHandle started = StartProgram(
      waiter,
      QuoteArgument(waiter) + L" " + kWaitFlag + L" " + value + L" " + QuoteArgument(launcher) +
          L" " + std::to_wstring(runs) + L" " + std::to_wstring(cut_short),
      &inherit);
  // overlay copies once the launcher has exited: the launcher exits once the
  // waiter shows its window and watches, so that it sees the whole run.
  if (started) ::WaitForInputIdle(started.get(), 10000);
}
