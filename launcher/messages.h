// messages.h: what the launcher tells the player and the player's choice,
// and the "update pending" note, which counts the runs of overlay.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <string>

#include "basics.h"
#include "matching.h"

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

// Written only where the note is listed (OpenAsListed). A count not written
// is carried from run to run on the command line instead (see StartWaiter).
inline void NoteRuns(const std::wstring& note, unsigned runs) {
  const UniqueHandle file = OpenAsListed(PlaceOf(note), GENERIC_WRITE);
  const std::string text = std::to_string(runs);
  DWORD written = 0;
  if (file &&
      ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
    ::SetEndOfFile(file.get());
  }
}

// What the update step leaves to do: start the game or not, and what to tell
// the player first (nothing when empty).
struct UpdateStep {
  bool start_game;
  std::wstring told;
};
