// update_ready.h: the step that hands an unpacked update to the launcher.
// Your code that downloads and unpacks the update into "<game folder>
// update" calls MarkUpdateReady once the last file of the update is written;
// until then the launcher leaves the folder alone, and says so in the log
// beside it.
#pragma once

#include <windows.h>

#include <string>

#include "basics.h"
#include "messages.h"
#include "preflight.h"

// Marks the update folder `update` complete: writes its "update pending"
// note (PendingNote), empty, after which each start of the launcher runs
// overlay on it until the game folder matches it. Call it only once every
// file of the update is written and closed: a folder still being unpacked
// would be laid over the game half-written. False when the note could not
// be written (GetLastError says why): the update is then not applied. Any
// depth: the note is written through the path's "\\?\" form.
inline bool MarkUpdateReady(const std::wstring& update) {
  const UniqueHandle note(::CreateFileW(PendingNote(LongForm(update)).c_str(), GENERIC_WRITE, 0,
                                        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  return static_cast<bool>(note);
}

// An update folder without its note is not applied, and nothing tells the
// player: a line in the update log tells support, at each start that finds one.
inline void LogUpdateWithoutNote(const std::wstring& update) {
  const std::wstring folder = LongForm(update);
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      ::GetFileAttributesW(PendingNote(folder).c_str()) != INVALID_FILE_ATTRIBUTES) {
    return;
  }
  LogRun(UpdateLog(update), 0,
         L"update folder found without its \"update pending\" note, not applied "
         L"(MarkUpdateReady writes the note once the update is unpacked)",
         L"");
}
