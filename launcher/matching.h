// matching.h: whether the game folder has each entry of the update (the
// first one it does not have, named), the read-only attributes in the way of
// overlay cleared, and the update folder deleted once the game matches it.
#pragma once

#include <windows.h>

#include <string>

#include "basics.h"

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
