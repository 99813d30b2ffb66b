// Starting an exe shaped like overlay (windowless, splitting its wide command
// line with shell32, able to show a box with user32) that exits at once. It
// tells how much of overlay's start-up is the DLLs it binds.
#include <windows.h>
#include <shellapi.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (count == 99) MessageBoxA(nullptr, "never shown", "noop", MB_OK);
  LocalFree(arguments);
  return 0;
}
