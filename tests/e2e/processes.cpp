#include "tests/e2e/processes.h"

#include <tlhelp32.h>

#include <algorithm>

#include "tests/e2e/e2e_config.h"

namespace e2e {

double NowSeconds() {
  LARGE_INTEGER frequency, now;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

namespace {

// Starts a program with an exact command line; fills `process_id`.
UniqueHandle StartProcess(const std::wstring& program, const std::wstring& command_line,
                          const std::wstring& directory, DWORD* process_id) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::wstring writable_command_line = command_line;
  if (!::CreateProcessW(program.c_str(), &writable_command_line[0], nullptr, nullptr, FALSE, 0,
                        nullptr, directory.empty() ? nullptr : directory.c_str(), &startup,
                        &process)) {
    return UniqueHandle();
  }
  ::CloseHandle(process.hThread);
  *process_id = process.dwProcessId;
  return UniqueHandle(process.hProcess);
}

std::wstring ClassNameOf(HWND window) {
  wchar_t name[64] = L"";
  ::GetClassNameW(window, name, 64);
  return name;
}

struct DialogSearch {
  DWORD process_id;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<DialogSearch*>(context);
  DWORD owner_process = 0;
  ::GetWindowThreadProcessId(window, &owner_process);
  if (owner_process == search->process_id && ClassNameOf(window) == L"#32770") {
    search->found.push_back(window);
  }
  return TRUE;
}

// Top-level dialog windows ("#32770", the class of message boxes) of a process.
std::vector<HWND> DialogsOf(DWORD process_id) {
  DialogSearch search{process_id, {}};
  ::EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Text of a window of another process, through WM_GETTEXT.
std::wstring WindowTextOf(HWND window) {
  DWORD_PTR length = 0;
  if (!::SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length)) {
    return L"<no answer>";
  }
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  ::SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]),
                        SMTO_ABORTIFHUNG, 2000, &copied);
  text.resize(copied);
  return text;
}

BOOL CALLBACK CollectChild(HWND child, LPARAM context) {
  reinterpret_cast<std::vector<HWND>*>(context)->push_back(child);
  return TRUE;
}

std::vector<HWND> ChildrenOf(HWND window) {
  std::vector<HWND> children;
  ::EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&children));
  return children;
}

bool HoldsIcon(HWND control) {
  if (ClassNameOf(control) != L"Static") return false;
  const LONG style = ::GetWindowLongW(control, GWL_STYLE);
  if ((style & SS_TYPEMASK) != SS_ICON) return false;
  DWORD_PTR icon = 0;
  ::SendMessageTimeoutW(control, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &icon);
  return icon != 0;
}

// Reads a box once it is up (visible: its dialog set-up has run).
BoxSighting ReadBox(HWND box) {
  for (int i = 0; i < 200 && !::IsWindowVisible(box); ++i) ::Sleep(10);
  BoxSighting sighting;
  wchar_t caption[256] = L"";
  ::GetWindowTextW(box, caption, 256);
  sighting.caption = caption;
  if (HWND text = ::GetDlgItem(box, 0xFFFF)) sighting.text = WindowTextOf(text);
  for (HWND child : ChildrenOf(box)) {
    if (ClassNameOf(child) == L"Button") sighting.button_ids.push_back(::GetDlgCtrlID(child));
    if (HoldsIcon(child)) sighting.shows_icon = true;
  }
  sighting.has_owner = ::GetWindow(box, GW_OWNER) != nullptr;
  return sighting;
}

// Answers a box as a click on the button `answer` would.
void Press(HWND box, int answer) {
  ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(box, answer)));
}

}  // namespace

OverlayProcess::OverlayProcess(const std::wstring& arguments, const std::wstring& directory,
                               const std::wstring& program) {
  const std::wstring& path = program.empty() ? ProgramsUnderTest().overlay : program;
  process_ = StartProcess(path, QuoteArgument(path) + L" " + arguments, directory, &process_id_);
}

OverlayProcess::OverlayProcess(const Listed& process) {
  const double deadline = NowSeconds() + 5;
  while (!process_ && NowSeconds() < deadline) {
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more && !process_;
         more = ::Process32NextW(snapshot.get(), &entry)) {
      if (_wcsicmp(entry.szExeFile, process.image_name.c_str()) != 0 ||
          (process.launcher_id != 0 && entry.th32ParentProcessID != process.launcher_id)) {
        continue;
      }
      process_id_ = entry.th32ProcessID;
      process_ = UniqueHandle(::OpenProcess(
          SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, process_id_));
    }
    if (!process_) ::Sleep(10);
  }
}

OverlayProcess::~OverlayProcess() {
  if (IsRunning()) {
    ::TerminateProcess(process_.get(), 1);
    ::WaitForSingleObject(process_.get(), 5000);
  }
}

bool OverlayProcess::IsRunning() const {
  return process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

bool OverlayProcess::ShowsBox() const { return !DialogsOf(process_id_).empty(); }

OverlayOutcome OverlayProcess::Finish(DWORD time_limit_ms, int answer) {
  OverlayOutcome outcome;
  if (!process_) return outcome;
  const double deadline = NowSeconds() + time_limit_ms / 1000.0;
  std::vector<HWND> answered;
  while (::WaitForSingleObject(process_.get(), 10) == WAIT_TIMEOUT) {
    for (HWND box : DialogsOf(process_id_)) {
      if (std::find(answered.begin(), answered.end(), box) != answered.end()) continue;
      outcome.boxes.push_back(ReadBox(box));
      Press(box, answer);
      answered.push_back(box);
    }
    if (NowSeconds() > deadline) {
      ::TerminateProcess(process_.get(), 1);
      ::WaitForSingleObject(process_.get(), 5000);
      return outcome;
    }
  }
  outcome.exited = true;
  ::GetExitCodeProcess(process_.get(), &outcome.exit_code);
  return outcome;
}

OverlayOutcome RunOverlay(const std::wstring& arguments, const std::wstring& directory,
                          DWORD time_limit_ms, const std::wstring& program) {
  OverlayProcess overlay(arguments, directory, program);
  return overlay.Finish(time_limit_ms);
}

LauncherStandIn::LauncherStandIn(const std::wstring& directory, const std::wstring& image_name,
                                 DWORD milliseconds, const std::wstring& source,
                                 const std::wstring& target) {
  const std::wstring program = directory + L"\\" + image_name;
  if (!::CopyFileW(ProgramsUnderTest().stand_in.c_str(), program.c_str(), FALSE)) return;
  std::wstring arguments =
      milliseconds == INFINITE && source.empty() ? L"" : L" " + std::to_wstring(milliseconds);
  if (!source.empty()) {
    arguments += L" " + QuoteArgument(ProgramsUnderTest().overlay) + L" " + QuoteArgument(source) +
                 L" " + QuoteArgument(target);
  }
  process_ =
      StartProcess(program, QuoteArgument(program) + arguments, std::wstring(), &process_id_);
}

void LauncherStandIn::End() {
  if (!process_) return;
  ::TerminateProcess(process_.get(), 0);
  ::WaitForSingleObject(process_.get(), 5000);
  process_ = UniqueHandle();
}

}  // namespace e2e
