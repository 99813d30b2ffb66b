// overlay with the reference launcher's waiter window open, and without it:
// starts overlay on SOURCE and TARGET and watches it with the waiter's
// window, its bar and its look for a box (WatchOverlay), as the waiter does,
// until overlay ends; with --no-window it only waits for overlay, so that the
// two differ by the window alone.
//   bench_waiter_window.exe [--no-window] OVERLAY SOURCE TARGET
#include "launcher/waiter_window.h"

#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
  const bool window = !(argc == 5 && std::wcscmp(argv[1], L"--no-window") == 0);
  if (argc != (window ? 4 : 5)) return 2;
  wchar_t** roots = argv + (window ? 1 : 2);
  const UniqueHandle overlay = StartOverlay(roots[0], roots[1], roots[2]);
  if (!overlay) return 1;
  if (window) {
    WatchOverlay(overlay.get(), FullPath(roots[2]), FullPath(roots[1]), L"VarenkoLauncher.exe");
  }
  ::WaitForSingleObject(overlay.get(), INFINITE);
  return 0;
}
