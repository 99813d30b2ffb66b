// A stand-in for the game launcher, copied under the launcher's name (and
// look-alike names) by the tests, and the worked example of a launcher that
// starts overlay: it quotes each root, passes no handles, and exits.
//   stand_in.exe [MILLISECONDS [OVERLAY SOURCE TARGET]]
// Starts OVERLAY on SOURCE and TARGET when given, then waits MILLISECONDS
// (or until ended, when absent) and exits.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cwchar>
#include <string>

#include "tests/e2e/quote_argument.h"

// overlay waits for this process to leave the process list, so nothing is
// kept of it: no handle is inherited, and its own handles are closed at once.
bool StartOverlay(const std::wstring& overlay, const std::wstring& source,
                  const std::wstring& target) {
  std::wstring command_line =
      QuoteArgument(overlay) + L" " + QuoteArgument(source) + L" " + QuoteArgument(target);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(overlay.c_str(), &command_line[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
    return false;
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return true;
}

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
