// Stand-in for the game launcher: copied as VarenkoLauncher.exe, it only
// exists for the given number of milliseconds, then exits normally.
//   bench_launcher.exe MILLISECONDS
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  Sleep(static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10)));
  return 0;
}
