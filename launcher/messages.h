// messages.h: what the launcher tells the player and the player's choice,
// the "update pending" note, which counts the runs of overlay, and the
// update log, one line per run, for support.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "basics.h"
#include "matching.h"

// The game's name, for every message: its folder's.
inline std::wstring GameName(const std::wstring& game) {
  return game.substr(game.find_last_of(L'\\') + 1);
}

// Ends every message after which the game starts without the update.
constexpr wchar_t kGameStartsAsItIs[] =
    L" The game starts as it is; the update is tried again at its next start.";
constexpr wchar_t kOverlayNotSigned[] =
    L"The update was not started: overlay.exe in the game folder is not signed by the expected "
    L"signer.";

// Names the file that could not be used, when there is one.
inline std::wstring UpdateNotStartedText(DWORD error, const std::wstring& file = std::wstring()) {
  return L"The update could not be started: " + (file.empty() ? L"" : L"\"" + file + L"\": ") +
         SystemMessage(error);
}

// After a run of overlay, the first entry of the game folder that is not as
// the update has it, and how many runs the "update pending" note counts.
inline std::wstring UpdateIncompleteText(const std::wstring& entry, unsigned runs) {
  return L"The update is not complete after " + std::to_wstring(runs) +
         (runs == 1 ? L" run" : L" runs") + L": \"" + entry + L"\" is not as the update has it.";
}

// Ends every message that asks the player (AskPlayer) what to do.
constexpr wchar_t kChoices[] =
    L"\n\nTry Again: update the game again. Continue: play the game as it is, incomplete. "
    L"Cancel: close.";

// What the player can do about what overlay said: found by the platform's own
// text for each error, which overlay's box holds.
inline std::wstring AdviceFor(const std::wstring& said) {
  const auto says = [&](std::initializer_list<DWORD> errors) {
    for (DWORD error : errors) {
      if (said.find(SystemMessage(error)) != std::wstring::npos) return true;
    }
    return false;
  };
  if (says({ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL})) {
    return L"Free space on the drive that holds the game, then try again.";
  }
  if (says({ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_USER_MAPPED_FILE})) {
    return L"Close the program that holds this file open (the game itself, an editor, a virus "
           L"scanner), then try again.";
  }
  if (says({ERROR_ACCESS_DENIED, ERROR_WRITE_PROTECT})) {
    return L"The game folder is not writable for you: install the game where you can write, or "
           L"ask whoever installed it.";
  }
  return L"The update itself may be faulty: contact the game's support.";
}

// Where support finds the log, once a run failed more than once.
inline std::wstring LogIsAt(const std::wstring& log, unsigned runs) {
  return runs < 2 ? std::wstring() : L" The update log, for support: \"" + log + L"\".";
}

// A run that showed overlay's box: what it said, where the copy stopped
// (`entry`, the first one not as the update has it) and what to do.
inline std::wstring UpdateStoppedText(const std::wstring& said, const std::wstring& entry,
                                      unsigned runs, const std::wstring& log) {
  return L"The update stopped at \"" + entry + L"\". The update program said:\n" + said + L"\n\n" +
         AdviceFor(said) + LogIsAt(log, runs) + kChoices;
}

// Two runs in a row that ended without a box and without completing.
inline std::wstring UpdateCutShortText(const std::wstring& entry, unsigned runs,
                                       const std::wstring& log) {
  return UpdateIncompleteText(entry, runs) +
         L" The update program ended twice before it was done: unless it was closed or the "
         L"computer switched off, the update itself may be faulty: contact the game's support." +
         LogIsAt(log, runs) + kChoices;
}

// What the player chooses when the update did not complete: try the update
// again, play the game as it is (incomplete), or close.
enum class PlayerChoice { kTryAgain, kPlayAsItIs, kClose };

// Asks the player, in a box whose caption names the game; `text` tells what
// the buttons do ("Try Again", "Continue": play as it is, "Cancel": close).
inline PlayerChoice AskPlayer(const std::wstring& game_name, const std::wstring& text) {
  switch (::MessageBoxW(nullptr, text.c_str(), game_name.c_str(),
                        MB_CANCELTRYCONTINUE | MB_ICONWARNING)) {
    case IDTRYAGAIN:
      return PlayerChoice::kTryAgain;
    case IDCONTINUE:
      return PlayerChoice::kPlayAsItIs;
    default:  // Cancel, or no box at all
      return PlayerChoice::kClose;
  }
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

// Makes `text` the whole of the file open as `file`.
inline void WriteWhole(HANDLE file, const std::string& text) {
  DWORD written = 0;
  if (::SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0 &&
      ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
    ::SetEndOfFile(file);
  }
}

// Written only where the note is listed (OpenAsListed). A count not written
// is carried from run to run on the command line instead (see StartWaiter).
inline void NoteRuns(const std::wstring& note, unsigned runs) {
  const UniqueHandle file = OpenAsListed(PlaceOf(note), GENERIC_WRITE);
  if (file) WriteWhole(file.get(), std::to_string(runs));
}

// The update log, "<game folder> update.log", beside the note: one line per
// run of overlay (time, run count, outcome and the entry where it stopped),
// the last kRunsLogged kept.
inline std::wstring UpdateLog(const std::wstring& update) { return update + L".log"; }
constexpr int kRunsLogged = 50;

inline std::string Utf8Text(const std::wstring& text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string utf8(size > 0 ? size : 0, '\0');
  if (size > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &utf8[0], size,
                          nullptr, nullptr);
  }
  return utf8;
}

// Appends a run's line, written only where the log is listed (OpenAsListed)
// or where nothing is yet. A log that cannot be written is left as it is.
inline void LogRun(const std::wstring& log, unsigned runs, const std::wstring& outcome,
                   const std::wstring& entry) {
  UniqueHandle file = OpenAsListed(PlaceOf(log), GENERIC_READ | GENERIC_WRITE);
  if (!file) {
    file = UniqueHandle(::CreateFileW(log.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  if (!file) return;
  std::string kept(64 * 1024, '\0');
  DWORD read = 0;
  ::ReadFile(file.get(), &kept[0], static_cast<DWORD>(kept.size()), &read, nullptr);
  kept.resize(read);
  // The last kRunsLogged - 1 lines stay, each ended by "\r\n".
  for (auto lines = std::count(kept.begin(), kept.end(), '\n'); lines >= kRunsLogged; --lines) {
    kept.erase(0, kept.find('\n') + 1);
  }
  SYSTEMTIME now;
  ::GetSystemTime(&now);
  wchar_t time[32];
  std::swprintf(time, 32, L"%04u-%02u-%02u %02u:%02u:%02u UTC", now.wYear, now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond);
  std::wstring line = std::wstring(time) + L"\trun " + std::to_wstring(runs) + L"\t" + outcome +
                      (entry.empty() ? L"" : L"\tat \"" + entry + L"\"");
  for (wchar_t& character : line) {
    if (character == L'\r' || character == L'\n') character = L' ';
  }
  WriteWhole(file.get(), kept + Utf8Text(line) + "\r\n");
}

// What the update step leaves to do: start the game or not, and what to tell
// the player first (nothing when empty).
struct UpdateStep {
  bool start_game;
  std::wstring told;
  bool ask = false;  // told as a question: the player chooses (AskPlayer)
};
