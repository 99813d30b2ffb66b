// preflight.h: what the launcher checks before it starts anything, so that
// nothing starts that cannot finish: that the game and the launcher can be
// started from where they lie, and, before overlay starts, that this user may
// write in the game folder, that every path the update makes stays within the
// platform's limit and that its drive has room for what the update adds. A
// check that fails has written nothing: the player is told what to do and
// chooses. A check that cannot tell (a query refused) lets the update start.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "basics.h"
#include "matching.h"
#include "messages.h"

// The longest paths Windows takes without "\\?\" (MAX_PATH less the closing
// null): for a file, and for a program it starts (CreateProcessW); for a
// folder it lists, room for "\*"; for a folder it creates, room for an 8.3
// name (12 characters). overlay declares no long-path awareness and the
// waiter starts the launcher by its path, so these hold for both.
constexpr std::size_t kLongestPath = MAX_PATH - 1;
constexpr std::size_t kLongestListedFolder = kLongestPath - 2;
constexpr std::size_t kLongestMadeFolder = MAX_PATH - 12 - 1;

// The path's "\\?\" form, which the file functions take past MAX_PATH: made
// full first (separators, "." and ".." resolved, as "\\?\" resolves none),
// for a path on a drive or a share; any other path as it is.
inline std::wstring LongForm(const std::wstring& path) {
  const std::wstring full = FullPath(path);
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
  if (full.compare(0, 2, L"\\\\") == 0 && full.compare(0, 4, L"\\\\?\\") != 0 &&
      full.compare(0, 4, L"\\\\.\\") != 0) {
    return L"\\\\?\\UNC\\" + full.substr(2);
  }
  return path;
}

// The launcher and the game's program must each lie within kLongestPath: the
// game could not start, nor the waiter start the launcher again after a copy.
// Empty when both do; else what the player is told, once, at each start.
inline std::wstring TooDeepToStartText(const std::wstring& launcher, const std::wstring& program) {
  const std::wstring& longest = launcher.size() > program.size() ? launcher : program;
  if (longest.size() <= kLongestPath) return std::wstring();
  return L"The game cannot be started from a folder this deep: Windows starts programs from "
         L"paths of at most " +
         std::to_wstring(kLongestPath) + L" characters, and \"" + longest + L"\" has " +
         std::to_wstring(longest.size()) + L". Move the game to a folder at least " +
         std::to_wstring(longest.size() - kLongestPath) + L" characters shorter.";
}

// What the update asks of the game folder, found in one walk of it.
struct UpdateNeeds {
  ULONGLONG bytes = 0;                // room it adds, below
  std::size_t over = 0;               // characters by which its longest path passes its limit
  std::wstring longest;               // that path
  std::vector<std::wstring> folders;  // game folders it writes into, kFoldersTried at most
};
constexpr std::size_t kFoldersTried = 64;

inline ULONGLONG InClusters(ULONGLONG bytes, ULONGLONG cluster) {
  return (bytes + cluster - 1) / cluster * cluster;
}

inline void NotePathLength(const std::wstring& path, std::size_t limit, UpdateNeeds* needs) {
  if (path.size() > limit + needs->over) {
    needs->over = path.size() - limit;
    needs->longest = path;
  }
}

// Walks the update folder `update` against the game folder `game`, through
// their "\\?\" forms, so that an update deeper than the limit is measured
// too. A file adds its size less that of the game file it replaces, each in
// whole clusters, where the difference is positive: overlay copies file by
// file, and a file that shrinks frees its room only once it is reached. A
// link is not followed: what overlay copies through it is not known here.
inline void SurveyUpdate(const std::wstring& update, const std::wstring& game, ULONGLONG cluster,
                         UpdateNeeds* needs) {
  ForEachEntryOf(LongForm(update), [&](const WIN32_FIND_DATAW& entry) {
    const std::wstring from = update + L"\\" + entry.cFileName, to = game + L"\\" + entry.cFileName;
    WIN32_FILE_ATTRIBUTE_DATA in_game;
    const bool game_has =
        ::GetFileAttributesExW(LongForm(to).c_str(), GetFileExInfoStandard, &in_game) != 0;
    if (IsFolder(entry.dwFileAttributes)) {
      NotePathLength(from, kLongestListedFolder, needs);
      NotePathLength(to, game_has ? kLongestListedFolder : kLongestMadeFolder, needs);
      if (game_has && IsFolder(in_game.dwFileAttributes) && needs->folders.size() < kFoldersTried) {
        needs->folders.push_back(to);
      }
      if (!IsLink(entry)) SurveyUpdate(from, to, cluster, needs);
      return true;
    }
    NotePathLength(from, kLongestPath, needs);
    NotePathLength(to, kLongestPath, needs);
    const ULONGLONG size =
        InClusters(static_cast<ULONGLONG>(entry.nFileSizeHigh) << 32 | entry.nFileSizeLow, cluster);
    const ULONGLONG replaced =
        game_has && !IsFolder(in_game.dwFileAttributes)
            ? InClusters(static_cast<ULONGLONG>(in_game.nFileSizeHigh) << 32 | in_game.nFileSizeLow,
                         cluster)
            : 0;
    if (size > replaced) needs->bytes += size - replaced;
    return true;
  });
}

// Whether `folder` refuses this user a new file: one made and deleted at
// once. Only a refusal counts; any other failure cannot tell.
inline bool RefusesNewFiles(const std::wstring& folder) {
  const std::wstring probe = LongForm(folder) + L"\\overlay-write-check-" +
                             std::to_wstring(::GetCurrentProcessId()) + L".tmp";
  const UniqueHandle file(
      ::CreateFileW(probe.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  const DWORD error = ::GetLastError();
  return !file && (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT);
}

inline std::wstring UserName() {
  wchar_t name[257];
  DWORD size = 257;
  return ::GetUserNameW(name, &size) ? std::wstring(name) : L"this user";
}

inline std::wstring NotWritableText(const std::wstring& folder, const std::wstring& user) {
  return L"The update cannot be applied: the game folder is not writable by this user (" + user +
         L"): \"" + folder +
         L"\" refuses new files. Start the game as the user who installed it, or ask them to let " +
         user + L" write there.";
}

inline std::wstring TooDeepForUpdateText(const std::wstring& game, std::size_t over,
                                         const std::wstring& longest) {
  return L"The update cannot be applied: the game folder \"" + game +
         L"\" is too deep for this update, whose paths pass Windows' limit (\"" + longest +
         L"\"). Move the game to a folder at least " + std::to_wstring(over) +
         L" characters shorter.";
}

// Whole megabytes (MiB, as Windows counts them), rounded up.
inline std::wstring NoRoomText(const std::wstring& drive, ULONGLONG missing) {
  const ULONGLONG kMegabyte = 1 << 20;
  return L"The update cannot be applied: there is not enough free space on the game's drive (" +
         drive + L"). Free at least " + std::to_wstring((missing + kMegabyte - 1) / kMegabyte) +
         L" MB there.";
}

// Ends what the player is told when a check fails: what the buttons do (the
// player's choice is asked as every other, AskPlayer; Try Again runs the
// checks again).
constexpr wchar_t kChoiceAfterCheck[] =
    L"\n\nTry Again: check again. Continue: play the game as it is, without the update. "
    L"Cancel: close.";

// The first check that fails: this user may not write in the game folder (or
// a folder of it the update writes into), a path of the update passes the
// limit, or the drive lacks room. Empty when none does.
inline std::wstring FirstCheckFailed(const std::wstring& update, const std::wstring& game) {
  wchar_t drive[MAX_PATH + 1] = L"";
  DWORD sectors = 0, sector_bytes = 0, free_clusters = 0, clusters = 0;
  const bool known = ::GetVolumePathNameW(game.c_str(), drive, MAX_PATH + 1) &&
                     ::GetDiskFreeSpaceW(drive, &sectors, &sector_bytes, &free_clusters, &clusters);
  const ULONGLONG cluster = known && sectors * sector_bytes > 0 ? sectors * sector_bytes : 1;
  UpdateNeeds needs;
  needs.folders.push_back(game);
  SurveyUpdate(update, game, cluster, &needs);
  for (const std::wstring& folder : needs.folders) {
    if (RefusesNewFiles(folder)) return NotWritableText(folder, UserName());
  }
  if (needs.over > 0) return TooDeepForUpdateText(game, needs.over, needs.longest);
  ULARGE_INTEGER available;
  if (known && ::GetDiskFreeSpaceExW(drive, &available, nullptr, nullptr) &&
      available.QuadPart < needs.bytes) {
    return NoRoomText(drive, needs.bytes - available.QuadPart);
  }
  return std::wstring();
}
