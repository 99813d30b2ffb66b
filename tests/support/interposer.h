// The interposer: the tests' side of the platform seam, standing between the
// program and the real platform. It logs and counts every call and passes it
// on to the real platform, unless a test makes a call answer an error or
// answer from a stand-in (process lists, command line, system messages), so
// tests can check the call pattern and that every handle opened was closed.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace interposer {

// Every call of the seam, as it is named in the call log, with how a test can
// make it fail and whether a run may still make it once a copy step has failed
// (to release what it holds, or to compose and show the report).
// clang-format off
//   call                           fails            releases or reports
#define INTERPOSED_CALLS(X)                                                    \
  X(GetCommandLineW,                kNever,          false)                    \
  X(CommandLineToArgvW,             kFails,          false)                    \
  X(LocalFree,                      kNever,          true)                     \
  X(CreateToolhelp32Snapshot,       kFails,          false)                    \
  X(Process32FirstW,                kFails,          false)                    \
  X(Process32NextW,                 kFails,          false)                    \
  X(CloseHandle,                    kNever,          true)                     \
  X(Sleep,                          kNever,          false)                    \
  X(MessageBoxA,                    kNever,          true)                     \
  X(_wcsicmp,                       kNever,          false)                    \
  X(GetModuleHandleW,               kFails,          false)                    \
  X(GetProcAddress,                 kFails,          false)                    \
  X(GetFileAttributesExW,           kFails,          false)                    \
  X(CreateFileW,                    kFailsOrIsHeld,  false)                    \
  X(GetFileInformationByHandle,     kFails,          false)                    \
  X(GetFileInformationByHandleEx,   kFails,          false)                    \
  X(GetFinalPathNameByHandleW,      kFails,          false)                    \
  X(CreateDirectoryW,               kFailsOrIsHeld,  false)                    \
  X(FindFirstFileExW,               kFailsOrIsHeld,  false)                    \
  X(FindNextFileW,                  kFails,          false)                    \
  X(FindClose,                      kNever,          true)                     \
  X(CopyFileW,                      kFailsOrIsHeld,  false)                    \
  X(DeviceIoControl,                kFails,          false)                    \
  X(GetFullPathNameW,               kFails,          false)                    \
  X(FormatMessageA,                 kFails,          true)                     \
  X(AreFileApisANSI,                kNever,          true)                     \
  X(WideCharToMultiByte,            kFails,          true)                     \
  X(___lc_codepage_func,            kNever,          true)
#define INTERPOSED_ENUMERATOR(name, fails, releases_or_reports) name,
enum class Call { INTERPOSED_CALLS(INTERPOSED_ENUMERATOR) kCount };
#undef INTERPOSED_ENUMERATOR
// clang-format on

// How a call can fail. kNever: it has no failure the program must handle.
// kFails: it answers an error. kFailsOrIsHeld: it also opens a file or
// directory, which another process can hold without sharing
// (ERROR_SHARING_VIOLATION).
enum class FailureKind { kNever, kFails, kFailsOrIsHeld };

const char* NameOf(Call call);
FailureKind FailureOf(Call call);
bool ReleasesOrReports(Call call);

// Makes a call fail with `error`. `nth` counts calls of that kind from 1 since
// the last Reset(); 0 means every call. `detail`, when not -1, must also match:
// the information class of GetFileInformationByHandleEx, the information level
// of FindFirstFileExW, the flags of WideCharToMultiByte.
struct Fault {
  Fault(Call call, int nth = 0, DWORD error = ERROR_ACCESS_DENIED, int detail = -1,
        std::wstring path = {})
      : call(call), nth(nth), error(error), detail(detail), path(std::move(path)) {}
  Call call;
  int nth;
  DWORD error;
  int detail;
  std::wstring path;  // when not empty, the call's first path must also be this
};

struct LoggedCall {
  Call call;
  int detail;         // as for Fault
  std::wstring path;  // first path argument, or the name GetProcAddress looks up
};

struct MessageBoxShown {
  HWND owner;
  std::string text;
  std::string caption;
  UINT style;
};

// What the interposer does and has seen. One instance, reset before each test.
struct State {
  std::vector<Fault> faults;
  std::vector<LoggedCall> log;
  int counts[static_cast<int>(Call::kCount)] = {};

  // Handles opened through the seam and not yet closed.
  int open_handles = 0;
  int open_finds = 0;

  // Command line: the real one unless set.
  bool fake_command_line = false;
  std::wstring command_line;
  int argument_vectors_live = 0;  // allocated by CommandLineToArgvW, not yet LocalFree'd
  int null_local_frees = 0;

  // Process list: when set, each snapshot takes the next list (the last one
  // repeats) instead of the real process list.
  bool fake_processes = false;
  std::vector<std::vector<std::wstring>> process_lists;
  int snapshot_count = 0;
  std::vector<DWORD> sleeps;
  bool really_sleep = false;
  // Called at every Sleep, e.g. to start or stop a process between scans.
  std::function<void(int sleep_number)> on_sleep;

  std::vector<MessageBoxShown> boxes;

  // GetFileInformationByHandleEx as the lookup finds it: missing when false.
  bool info_ex_available = true;
  // GetFileInformationByHandle reports no file index, as some file systems do.
  bool zero_file_index = false;
  // Enumeration records of this name report a reparse point with this tag,
  // as cloud-file placeholders or deduplicated folders are listed.
  std::wstring reparse_point_name;
  DWORD reparse_tag = 0;
  // The file at this path stands in for a symbolic link leading to
  // `dangling_link_to`, where nothing is, as Windows shows one: a reparse
  // point to GetFileAttributesExW, not found when followed, its reparse data
  // read through the link itself. (Wine hides such links altogether.)
  std::wstring dangling_link, dangling_link_to;
  // The objects at these paths report volume serial number 0 and one file
  // identifier, as Wine reports objects on file systems it does not know.
  std::vector<std::wstring> serial_zero_twins;

  // FormatMessageA: when set, answers this text for every value.
  bool fake_message = false;
  std::string message_text;
  bool message_fails = false;  // answers 0 and allocates nothing
  int message_buffers_live = 0;

  // ___lc_codepage_func: the real value unless set.
  bool fake_runtime_code_page = false;
  unsigned runtime_code_page = 0;
};

State& Platform();
// Back to the real platform, counters cleared.
void Reset();

int CountOf(Call call);
// Calls of one kind, in order, with their details.
std::vector<LoggedCall> CallsOf(Call call);
// Position in `log` of the nth call of a kind (counting from 1) at or after
// `from`, or of the last one for kLast; -1 when there is none.
constexpr int kLast = -1;
int IndexOf(const std::vector<LoggedCall>& log, Call call, int nth = 1, size_t from = 0);

}  // namespace interposer
