// overlay with the reference launcher's waiter window open: starts overlay on
// SOURCE and TARGET and watches it with the waiter's window, its bar and its
// look for a box (WatchOverlay), as the waiter does, until overlay ends.
//   bench_waiter_window.exe OVERLAY SOURCE TARGET
#include "launcher/waiter_window.h"

#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  const UniqueHandle overlay = StartOverlay(argv[1], argv[2], argv[3]);
  if (!overlay) return 1;
  WatchOverlay(overlay.get(), FullPath(argv[3]), FullPath(argv[2]), L"VarenkoLauncher.exe");
  ::WaitForSingleObject(overlay.get(), INFINITE);
  return 0;
}
