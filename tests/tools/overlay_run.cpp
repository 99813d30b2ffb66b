// Runs overlay.exe once the way a launcher does, and tells what happened:
// the launcher stand-in starts overlay on the two roots and exits after
// LAUNCHER_MS; then overlay's wait, every box it showed (read and answered
// with OK, as a user would) and its exit status.
//   overlay_run.exe OVERLAY STAND_IN LAUNCHER_MS SOURCE TARGET
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <memory>
#include <string>

#include "app/launcher_wait.h"
#include "tests/e2e/e2e_config.h"
#include "tests/e2e/processes.h"

namespace {

e2e::Programs g_programs;

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], size,
                        nullptr, nullptr);
  return narrow;
}

void Say(double start, const std::string& what) {
  std::printf("[%6.2f s] %s\n", e2e::NowSeconds() - start, what.c_str());
  std::fflush(stdout);
}

std::wstring TempFolder() {
  wchar_t base[MAX_PATH];
  ::GetTempPathW(MAX_PATH, base);
  std::wstring folder =
      std::wstring(base) + L"overlay-run-" + std::to_wstring(::GetCurrentProcessId());
  ::CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

}  // namespace

const e2e::Programs& e2e::ProgramsUnderTest() { return g_programs; }

int main() {
  int count = 0;
  LPWSTR* arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (arguments == nullptr || count != 6) {
    std::fprintf(stderr, "usage: overlay_run OVERLAY STAND_IN LAUNCHER_MS SOURCE TARGET\n");
    return 2;
  }
  g_programs.overlay = arguments[1];
  g_programs.stand_in = arguments[2];
  const DWORD launcher_ms = static_cast<DWORD>(std::wcstoul(arguments[3], nullptr, 10));
  const std::wstring source = arguments[4], target = arguments[5];
  ::LocalFree(arguments);

  const double start = e2e::NowSeconds();
  const std::wstring folder = TempFolder();
  auto launcher = std::make_unique<e2e::LauncherStandIn>(folder, overlay::kLauncherImageName,
                                                         launcher_ms, source, target);
  Say(start, "launcher stand-in VarenkoLauncher.exe started overlay.exe: " + Utf8(source) + " -> " +
                 Utf8(target) + "; it exits after " + std::to_string(launcher_ms) + " ms");
  e2e::OverlayProcess overlay(e2e::Listed{L"overlay.exe", launcher->process_id()});
  ::WaitForSingleObject(launcher->process(), INFINITE);
  Say(start,
      "launcher exited; overlay " +
          std::string(overlay.IsRunning() ? "is still running, copying now" : "had already ended"));
  const e2e::OverlayOutcome outcome = overlay.Finish(INFINITE);
  for (const e2e::BoxSighting& box : outcome.boxes) {
    Say(start, "message box \"" + Utf8(box.caption) + "\": " + Utf8(box.text));
    Say(start, "answered it with OK");
  }
  if (!overlay.started()) {
    Say(start, "overlay.exe was not found running: it never started, or ended at once");
  } else {
    if (outcome.boxes.empty()) Say(start, "no message box: the copy succeeded");
    Say(start, "overlay.exe exited with status " + std::to_string(outcome.exit_code));
  }
  launcher.reset();
  ::DeleteFileW((folder + L"\\" + overlay::kLauncherImageName).c_str());
  ::RemoveDirectoryW(folder.c_str());
  return outcome.exited && outcome.boxes.empty() ? 0 : 1;
}
