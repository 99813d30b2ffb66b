// matching.h: whether the game folder has each entry of the update (the
// first one it does not have, named), the read-only attributes in the way of
// overlay cleared, and the update folder deleted once the game matches it;
// and the one rule all of them keep: nothing is changed or deleted but where
// it is listed (OpenAsListed).
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

// An entry by the path it is listed at and by where it lies: the folder that
// holds it as the platform resolves that folder, and its name. `resolved` is
// empty where the platform cannot tell.
struct Place {
  std::wstring path, resolved;
  Place Child(const std::wstring& name) const {
    return {path + L"\\" + name, resolved.empty() ? std::wstring() : resolved + L"\\" + name};
  }
};

// The entry at `path` (absolute), placed by the folder that holds it.
inline Place PlaceOf(const std::wstring& path) {
  const std::size_t cut = path.find_last_of(L'\\');
  if (cut == std::wstring::npos) return {path, std::wstring()};
  std::wstring holder = path.substr(0, cut);
  if (holder.empty() || holder.back() == L':') holder += L'\\';  // a root folder
  std::wstring resolved = ResolvedPath(holder);
  if (!resolved.empty() && resolved.back() == L'\\') resolved.pop_back();
  return {path, resolved.empty() ? resolved : resolved + path.substr(cut)};
}

// The folder at `path` itself, as the platform resolves it, links followed.
inline Place FolderPlace(std::wstring path) {
  std::wstring resolved = ResolvedPath(path);
  for (std::wstring* end : {&path, &resolved}) {
    if (!end->empty() && end->back() == L'\\') end->pop_back();
  }
  return {path, resolved};
}

// Opens the entry at `path` (a folder too) for `access`, sharing it, and
// without following a link where the platform can (Windows can; Wine follows
// a link to a file whatever it is asked).
inline UniqueHandle OpenEntry(const std::wstring& path, DWORD access) {
  return UniqueHandle(::CreateFileW(
      path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Nothing outside the folders the launcher walks is ever changed or deleted:
// an entry is written, changed or deleted only through a handle that the
// platform resolves to the very place it is listed at. An entry that leads
// elsewhere (a link, listed as one or, as Wine lists a link to a file, as a
// plain file) is never followed and never touched: Wine deletes through such
// a link what it leads to. No handle when it leads elsewhere or the platform
// cannot tell.
inline UniqueHandle OpenAsListed(const Place& place, DWORD access) {
  UniqueHandle entry = OpenEntry(place.path, access);
  if (!entry && (access & FILE_WRITE_ATTRIBUTES) && ::GetLastError() == ERROR_ACCESS_DENIED) {
    // Wine refuses that right on a read-only file, as its owner's mode bits
    // do, and lets a handle without it change the attributes.
    entry = OpenEntry(place.path, (access & ~FILE_WRITE_ATTRIBUTES) | SYNCHRONIZE);
  }
  if (!entry || !SamePath(FinalPath(entry.get()), place.resolved)) return UniqueHandle();
  return entry;
}

// Whether the entry at `place` is known to lead elsewhere than where it is
// listed; false where the platform cannot tell.
inline bool LeadsElsewhere(const Place& place) {
  const UniqueHandle entry = OpenEntry(place.path, FILE_READ_ATTRIBUTES);
  const std::wstring final_path = entry ? FinalPath(entry.get()) : std::wstring();
  return !place.resolved.empty() && !final_path.empty() && !SamePath(final_path, place.resolved);
}

// The attributes of an entry open with FILE_READ_ATTRIBUTES.
inline DWORD AttributesOf(HANDLE entry) {
  BY_HANDLE_FILE_INFORMATION information;
  return ::GetFileInformationByHandle(entry, &information) ? information.dwFileAttributes
                                                           : INVALID_FILE_ATTRIBUTES;
}

// Clears `bits` of an entry open with FILE_READ_ATTRIBUTES and
// FILE_WRITE_ATTRIBUTES, its times left as they are (0).
inline void ClearAttributes(HANDLE entry, DWORD bits) {
  const DWORD attributes = AttributesOf(entry);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & bits)) return;
  FILE_BASIC_INFO basic{};
  basic.FileAttributes = (attributes & ~bits) ? attributes & ~bits : FILE_ATTRIBUTE_NORMAL;
  ::SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic);
}

// Deletes the entry at `place` (a file, or a folder once empty), read-only
// or not, as OpenAsListed allows; true once it is marked to go.
inline bool DeleteEntry(const Place& place) {
  const UniqueHandle entry =
      OpenAsListed(place, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
  if (!entry) return false;
  ClearAttributes(entry.get(), FILE_ATTRIBUTE_READONLY);
  FILE_DISPOSITION_INFO disposition{TRUE};  // it goes when the handle closes
  return ::SetFileInformationByHandle(entry.get(), FileDispositionInfo, &disposition,
                                      sizeof disposition);
}

// Whether the game folder has the update's entry: a folder for a folder (an
// empty one too), a file of the same size and last-write time for a file
// (overlay's copy keeps the time). A link on either side never matches:
// overlay copies what one of the update leads to.
inline bool GameHas(const WIN32_FIND_DATAW& entry, const Place& in_update, const Place& in_game) {
  WIN32_FILE_ATTRIBUTE_DATA game_entry;
  if (IsLink(entry) ||
      !::GetFileAttributesExW(in_game.path.c_str(), GetFileExInfoStandard, &game_entry) ||
      IsFolder(entry.dwFileAttributes) != IsFolder(game_entry.dwFileAttributes) ||
      (!IsFolder(entry.dwFileAttributes) &&
       (game_entry.nFileSizeHigh != entry.nFileSizeHigh ||
        game_entry.nFileSizeLow != entry.nFileSizeLow ||
        !SameWriteTime(game_entry.ftLastWriteTime, entry.ftLastWriteTime)))) {
    return false;
  }
  return !LeadsElsewhere(in_update) && !LeadsElsewhere(in_game);
}

// The first entry of the update the game folder does not have, by its path
// in the game folder, in overlay's order (depth first, each folder's entries
// as listed); empty when it has them all. A folder of the update that cannot
// be listed is not known to match: it is named.
inline std::wstring FirstMismatch(const Place& update, const Place& game) {
  std::wstring mismatch;
  const bool listed = ForEachEntryOf(update.path, [&](const WIN32_FIND_DATAW& entry) {
    const Place in_update = update.Child(entry.cFileName), in_game = game.Child(entry.cFileName);
    if (!GameHas(entry, in_update, in_game)) {
      mismatch = in_game.path;
    } else if (IsFolder(entry.dwFileAttributes)) {
      mismatch = FirstMismatch(in_update, in_game);
    }
    return mismatch.empty();
  });
  return listed || !mismatch.empty() ? mismatch : game.path;
}

// Clears the attributes that make Windows refuse to replace a game file the
// update replaces ("Access is denied."): read-only, and hidden or system,
// which stop a replacement that is not so. overlay then copies the update's.
inline void ClearAttributesInTheWay(const Place& update, const Place& game) {
  ForEachEntryOf(update.path, [&](const WIN32_FIND_DATAW& entry) {
    const Place in_game = game.Child(entry.cFileName);
    if (IsLink(entry)) return true;
    if (IsFolder(entry.dwFileAttributes)) {
      ClearAttributesInTheWay(update.Child(entry.cFileName), in_game);
      return true;
    }
    const UniqueHandle file = OpenAsListed(in_game, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
    if (file && !IsFolder(AttributesOf(file.get()))) {
      ClearAttributes(file.get(),
                      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    }
    return true;
  });
}

// Deletes a folder and everything in it that lies inside it (OpenAsListed);
// true once it is gone. What leads elsewhere stays, and so do the folders
// that hold it; a folder that itself leads elsewhere is left whole.
inline bool DeleteTree(const Place& folder) {
  if (!OpenAsListed(folder, FILE_READ_ATTRIBUTES)) {
    return ::GetFileAttributesW(folder.path.c_str()) == INVALID_FILE_ATTRIBUTES;
  }
  ForEachEntryOf(folder.path, [&](const WIN32_FIND_DATAW& entry) {
    const Place place = folder.Child(entry.cFileName);
    if (IsLink(entry)) return true;
    if (IsFolder(entry.dwFileAttributes)) {
      DeleteTree(place);
    } else {
      DeleteEntry(place);
    }
    return true;
  });
  return DeleteEntry(folder) ||
         ::GetFileAttributesW(folder.path.c_str()) == INVALID_FILE_ATTRIBUTES;
}
