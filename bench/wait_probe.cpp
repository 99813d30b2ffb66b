// A sketch of a launcher wait that sleeps on the launcher itself instead of
// polling: one scan; for each launcher found, OpenProcess(SYNCHRONIZE) and
// WaitForSingleObject on it; then scan again, until a scan finds none. Where a
// launcher cannot be opened it falls back to a 100 ms pause. Then it copies
// one file, as overlay's first file is copied, so the benchmark can time it
// the same way.
//   bench_wait_probe.exe SOURCE_FILE TARGET_FILE
#include <windows.h>
#include <tlhelp32.h>

#include <vector>

namespace {

// The process identifiers of every running launcher in one snapshot.
std::vector<DWORD> RunningLaunchers() {
  std::vector<DWORD> found;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return found;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, L"VarenkoLauncher.exe") == 0) found.push_back(entry.th32ProcessID);
  }
  CloseHandle(snapshot);
  return found;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  for (std::vector<DWORD> launchers = RunningLaunchers(); !launchers.empty();
       launchers = RunningLaunchers()) {
    bool waited = false;
    for (DWORD id : launchers) {
      HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
      if (process == nullptr) continue;
      WaitForSingleObject(process, INFINITE);
      CloseHandle(process);
      waited = true;
    }
    if (!waited) Sleep(100);
  }
  return CopyFileW(argv[1], argv[2], FALSE) ? 0 : 1;
}
