// update_step.h: the update step as a whole, run at each start of the
// launcher: overlay started from a checked copy, the update finished once the
// game folder matches it, and the game started.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>

#include "basics.h"
#include "copies.h"
#include "matching.h"
#include "messages.h"
#include "preflight.h"
#include "signature.h"
#include "waiter_window.h"

// Your game's program, in the game folder: started once the update step lets the game start.
constexpr wchar_t kGameProgram[] = L"Game.exe";

// Starts overlay from a copy in `copy` of overlay.exe (CheckedOverlayCopy),
// checked first through a handle that lets nobody write, rename or delete the
// copy until overlay runs from it: what was checked is what runs. The run is
// counted (as run `runs`) in the note first, so that a run cut short counts too. The
// attributes in the way are cleared only then, when overlay is about to start.
inline UpdateStep StartCheckedCopy(const std::wstring& game, const std::wstring& update,
                                   const std::wstring& copy, unsigned runs, UniqueHandle* overlay) {
  UniqueHandle checked;
  const std::wstring fault = CheckedOverlayCopy(game, update, copy, &checked);
  if (!fault.empty()) return {true, fault};
  ClearAttributesInTheWay(PlaceOf(update), PlaceOf(game));
  const std::wstring note = PendingNote(update);
  NoteRuns(note, runs);
  *overlay = StartOverlay(copy, update, game);
  if (!*overlay) return {true, UpdateNotStartedText(::GetLastError(), copy)};
  return {false, std::wstring()};
}

// The update step, in the order of README.txt: under the game's lock, the
// copies of earlier runs deleted; nothing done while an overlay copy is
// listed but its waiter's window brought forward; a pending update that the game folder now matches
// finished (its folder and note deleted); after a run of overlay that left the game folder not
// matching, the run logged and then: stopped by a failure (overlay's box), the player told and
// asked; cut short (no box), run again at once, and told and asked only when the run before was cut
// short too. Any other pending update started, from a checked copy, with a waiter. The game starts
// whenever it is not being updated and the player was not asked.
inline UpdateStep ApplyPendingUpdate(const std::wstring& launcher, const std::wstring& game,
                                     const std::wstring& update, const RunEnd& end) {
  const std::wstring stem = CopyStem(game), temp = TemporaryFolder();
  const StepLock lock(L"Local\\" + stem + L"update");
  if (!temp.empty()) DeleteEarlierCopies(temp, stem);
  // A second start while a copy runs: its waiter's window comes forward, and
  // this launcher exits at once, holding nothing back.
  if (OverlayCopyIsListed(stem)) {
    BringWaiterForward(stem);
    return {false, L""};
  }
  const std::wstring note = PendingNote(update), log = UpdateLog(update);
  if (::GetFileAttributesW(note.c_str()) == INVALID_FILE_ATTRIBUTES) return {true, L""};
  const unsigned runs = std::max(RunsNoted(note), end.runs);
  const bool gone = ::GetFileAttributesW(update.c_str()) == INVALID_FILE_ATTRIBUTES;
  const std::wstring mismatch =
      gone ? std::wstring() : FirstMismatch(PlaceOf(update), PlaceOf(game));
  if (mismatch.empty()) {
    if (end.after_run) LogRun(log, runs, L"complete", L"");
    // Done. overlay deletes nothing: the launcher deletes the update, then its
    // note, which stays while the folder cannot be deleted yet.
    if (DeleteTree(PlaceOf(update))) DeleteEntry(PlaceOf(note));
    return {true, L""};
  }
  unsigned cut_short = 0;
  if (end.after_run) {
    LogRun(log, runs, end.box.empty() ? L"cut short" : L"stopped: " + end.box, mismatch);
    if (!end.box.empty()) return {false, UpdateStoppedText(end.box, mismatch, runs, log), true};
    if (end.cut_short > 0) return {false, UpdateCutShortText(mismatch, runs, log), true};
    cut_short = end.cut_short + 1;
  }
  if (temp.empty()) return {true, UpdateNotStartedText(ERROR_PATH_NOT_FOUND) + kGameStartsAsItIs};
  const std::wstring failed = FirstCheckFailed(update, game);
  if (!failed.empty()) return {false, failed + kChoiceAfterCheck, true};
  const std::wstring copy = CopyName(temp + stem, kOverlayCopyEnd);
  UniqueHandle overlay;
  UpdateStep step = StartCheckedCopy(game, update, copy, runs + 1, &overlay);
  if (step.start_game) {
    DeleteEntry(PlaceOf(copy));
    step.told += kGameStartsAsItIs;
  } else {
    StartWaiter(launcher, CopyName(temp + stem, kWaiterCopyEnd), overlay.get(), runs + 1,
                cut_short);
  }
  return step;
}

// Starts the game; false, after telling the player why, when it cannot.
inline bool StartGame(const std::wstring& game) {
  const std::wstring program = game + L"\\" + kGameProgram;
  if (StartProgram(program, QuoteArgument(program))) return true;
  const std::wstring told = L"The game could not be started: " + SystemMessage(::GetLastError());
  ::MessageBoxW(nullptr, told.c_str(), GameName(game).c_str(), MB_ICONERROR);
  return false;
}
