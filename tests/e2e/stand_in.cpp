// A stand-in for the game launcher: a process that only waits. Copied under
// the launcher's name (and look-alike names) by the end-to-end tests.
//   stand_in.exe [MILLISECONDS]   waits that long, or until ended when absent
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cwchar>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int count = 0;
  LPWSTR* arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  DWORD milliseconds = INFINITE;
  if (arguments != nullptr && count >= 2) {
    milliseconds = static_cast<DWORD>(std::wcstoul(arguments[1], nullptr, 10));
  }
  ::LocalFree(arguments);
  ::Sleep(milliseconds);
  return 0;
}
