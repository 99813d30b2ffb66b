// overlay with the reference launcher's waiter window open, and without it.
// As the waiter does, it first makes the window and lists the update for the
// bar (WaiterView: the launcher exits, and overlay copies, only once the
// waiter is idle), then starts overlay on SOURCE and TARGET and watches it
// (WatchOverlay) until it ends; with --no-window it only starts overlay and
// waits, so that the two copies differ by the window alone. Prints
// "setup <ms> copy <ms>": the time the window took to be ready, and the time
// from overlay's start to its end.
//   bench_waiter_window.exe [--no-window] OVERLAY SOURCE TARGET
#include "launcher/waiter_window.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>

namespace {

double Milliseconds() {
  LARGE_INTEGER now, frequency;
  ::QueryPerformanceCounter(&now);
  ::QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool window = !(argc == 5 && std::wcscmp(argv[1], L"--no-window") == 0);
  if (argc != (window ? 4 : 5)) return 2;
  wchar_t** roots = argv + (window ? 1 : 2);
  const double started = Milliseconds();
  std::unique_ptr<WaiterView> view;
  if (window) view = std::make_unique<WaiterView>(FullPath(roots[2]), FullPath(roots[1]));
  const double ready = Milliseconds();
  const UniqueHandle overlay = StartOverlay(roots[0], roots[1], roots[2]);
  if (!overlay) return 1;
  if (view) WatchOverlay(overlay.get(), *view, L"VarenkoLauncher.exe");
  ::WaitForSingleObject(overlay.get(), INFINITE);
  std::printf("setup %.0f copy %.0f\n", ready - started, Milliseconds() - ready);
  return 0;
}
