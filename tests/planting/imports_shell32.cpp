// The control: a program that imports shell32 the ordinary way, to show that
// a planted DLL beside it is picked up where overlay must not pick it up.
#include <windows.h>

#include <shellapi.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int count = 0;
  ::LocalFree(::CommandLineToArgvW(::GetCommandLineW(), &count));
  return 0;
}
