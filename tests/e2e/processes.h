// Driving real processes: overlay.exe, whose message boxes are read and
// answered like a user would, and launcher stand-ins.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// QuoteArgument and UniqueHandle, from the reference launcher.
#include "launcher/basics.h"

namespace e2e {

// The two roots as a launcher passes them, each quoted.
inline std::wstring Arguments(const std::wstring& source, const std::wstring& target) {
  return QuoteArgument(source) + L" " + QuoteArgument(target);
}

// Seconds on a monotonic clock.
double NowSeconds();

// What one message box of overlay showed.
struct BoxSighting {
  std::wstring caption;
  std::wstring text;  // of the static control 0xFFFF
  std::vector<int> button_ids;
  bool shows_icon = false;  // an icon control holding an icon
  bool has_owner = false;
};

// How one run of overlay.exe went.
struct OverlayOutcome {
  bool exited = false;  // false: still running at the time limit, then ended by the test
  DWORD exit_code = STILL_ACTIVE;
  std::vector<BoxSighting> boxes;
};

constexpr DWORD kRunTimeLimitMs = 20000;

// A process a launcher started, known by its image name (any case) and, when
// given, the launcher's process id.
struct Listed {
  std::wstring image_name;
  DWORD launcher_id = 0;  // 0: any parent
};

// A running overlay.exe.
class OverlayProcess {
 public:
  // Starts overlay.exe (or `program`) with exactly the command line:
  // "<overlay.exe>" <arguments>, in `directory` (this process's own when empty).
  explicit OverlayProcess(const std::wstring& arguments,
                          const std::wstring& directory = std::wstring(),
                          const std::wstring& program = std::wstring());
  // Takes hold of that process (waiting up to 5 s for it to appear); not
  // started() when there is none.
  explicit OverlayProcess(const Listed& process);
  ~OverlayProcess();
  OverlayProcess(const OverlayProcess&) = delete;
  OverlayProcess& operator=(const OverlayProcess&) = delete;

  bool started() const { return static_cast<bool>(process_); }
  DWORD id() const { return process_id_; }
  bool IsRunning() const;
  // True when a box of the process is up now.
  bool ShowsBox() const;
  // Watches the process until it exits or the time limit passes; every box it
  // shows is read, then answered with `answer` (OK). A process still running at
  // the limit is ended.
  OverlayOutcome Finish(DWORD time_limit_ms = kRunTimeLimitMs, int answer = IDOK);

 private:
  UniqueHandle process_;
  DWORD process_id_ = 0;
};

// Starts overlay.exe and watches it to the end (see OverlayProcess::Finish).
OverlayOutcome RunOverlay(const std::wstring& arguments,
                          const std::wstring& directory = std::wstring(),
                          DWORD time_limit_ms = kRunTimeLimitMs,
                          const std::wstring& program = std::wstring());

// The launcher stand-in, copied to directory\image_name and started; it
// waits `milliseconds`, or until ended. Given two roots, it first starts
// overlay.exe on them, as a launcher does.
class LauncherStandIn {
 public:
  LauncherStandIn(const std::wstring& directory, const std::wstring& image_name,
                  DWORD milliseconds = INFINITE, const std::wstring& source = std::wstring(),
                  const std::wstring& target = std::wstring());
  ~LauncherStandIn() { End(); }
  LauncherStandIn(const LauncherStandIn&) = delete;
  LauncherStandIn& operator=(const LauncherStandIn&) = delete;

  bool started() const { return static_cast<bool>(process_); }
  DWORD process_id() const { return process_id_; }
  HANDLE process() const { return process_.get(); }
  // Ends the stand-in through its own handle and waits until it is gone.
  void End();

 private:
  UniqueHandle process_;
  DWORD process_id_ = 0;
};

}  // namespace e2e
