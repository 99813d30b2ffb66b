// launcher.cpp: the update step of a game launcher, VarenkoLauncher.exe in
// the game folder, run at each of its starts before it starts the game
// (Game.exe, beside it). The update is unpacked beside the game folder, into
// "<game folder> update". README.txt, "The reference launcher", walks
// through its steps and gives the command that builds it.
//
// The steps are in the headers beside it, each one whole: basics.h (handles,
// paths, starting programs), copies.h (the game's lock, overlay's copy and
// the waiter), signature.h (overlay's signer), matching.h (the game folder
// against the update, and deleting the update), messages.h (what the player
// is told, the note and the log), preflight.h (the checks before anything
// starts), waiter_window.h (the waiter and its window), update_step.h (the
// step itself) and update_ready.h (MarkUpdateReady, for your code that
// unpacks the update). wWinMain is here.
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <string>

#include "update_ready.h"
#include "update_step.h"

// The launcher of the game in the folder that holds it, say
// C:\Games\Game\VarenkoLauncher.exe with its update in C:\Games\Game update;
// started as "kAfterRunFlag ..." by a waiter after a run of overlay; or,
// started as "kWaitFlag ...", the waiter.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  if (__argc == 6 && std::wcscmp(__wargv[1], kWaitFlag) == 0) {
    return WaitThenStartLauncher(__wargv[2], __wargv[3], __wargv[4], __wargv[5]);
  }
  const std::wstring launcher = ModulePath();
  if (launcher.empty()) {
    ::MessageBoxW(nullptr, SystemMessage(::GetLastError()).c_str(), L"Launcher", MB_ICONERROR);
    return 1;
  }
  const std::wstring game = launcher.substr(0, launcher.find_last_of(L'\\')),
                     update = game + L" update", name = GameName(game);
  const std::wstring too_deep = TooDeepToStartText(launcher, game + L"\\" + kGameProgram);
  if (!too_deep.empty()) {
    ::MessageBoxW(nullptr, too_deep.c_str(), name.c_str(), MB_ICONERROR);
    return 1;
  }
  LogUpdateWithoutNote(update);
  RunEnd end;
  if (__argc == 5 && std::wcscmp(__wargv[1], kAfterRunFlag) == 0) {
    end = {true, static_cast<unsigned>(std::wcstoul(__wargv[2], nullptr, 10)),
           static_cast<unsigned>(std::wcstoul(__wargv[3], nullptr, 10)), __wargv[4]};
  }
  UpdateStep step = ApplyPendingUpdate(launcher, game, update, end);
  while (step.ask) {
    switch (AskPlayer(name, step.told)) {
      case PlayerChoice::kTryAgain:
        step = ApplyPendingUpdate(launcher, game, update, RunEnd{});
        break;
      case PlayerChoice::kPlayAsItIs:
        step = {true, std::wstring()};
        break;
      case PlayerChoice::kClose:
        return 0;
    }
  }
  if (!step.told.empty()) {
    ::MessageBoxW(nullptr, step.told.c_str(), name.c_str(),
                  step.start_game ? MB_ICONWARNING : MB_ICONINFORMATION);
  }
  return !step.start_game || StartGame(game) ? 0 : 1;
}
