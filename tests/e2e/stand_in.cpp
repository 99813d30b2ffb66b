// A stand-in for the game launcher, copied under the launcher's name (and
// look-alike names) by the tests, and as the game the reference launcher
// starts. It starts overlay with the reference launcher (StartOverlay: roots made absolute, each
// quoted, no handle passed on) and exits.
//   stand_in.exe [MILLISECONDS [OVERLAY SOURCE TARGET]]
// Starts OVERLAY on SOURCE and TARGET when given, then waits MILLISECONDS
// (or until ended, when absent) and exits.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cwchar>

// StartOverlay, the reference launcher's.
#include "launcher/copies.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int count = 0;
  LPWSTR* arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  DWORD milliseconds = INFINITE;
  if (arguments != nullptr && count >= 2) {
    milliseconds = static_cast<DWORD>(std::wcstoul(arguments[1], nullptr, 10));
  }
  const bool started =
      arguments != nullptr && count == 5 && StartOverlay(arguments[2], arguments[3], arguments[4]);
  ::LocalFree(arguments);
  ::Sleep(milliseconds);
  return count == 5 && !started ? 1 : 0;
}
