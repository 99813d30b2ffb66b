// Times one scan of the process list the way the launcher wait makes it: a
// toolhelp snapshot and every entry read, compared by image name.
//   bench_scan.exe COUNT      prints the median and the largest scan in ms
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  const unsigned count = argc == 2 ? std::wcstoul(argv[1], nullptr, 10) : 50;
  if (count == 0) return 2;
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  std::vector<double> scans;
  unsigned matches = 0;
  for (unsigned i = 0; i < count; ++i) {
    QueryPerformanceCounter(&start);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 1;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
      if (_wcsicmp(entry.szExeFile, L"VarenkoLauncher.exe") == 0) ++matches;
    }
    CloseHandle(snapshot);
    QueryPerformanceCounter(&end);
    scans.push_back(1000.0 * (end.QuadPart - start.QuadPart) / frequency.QuadPart);
  }
  std::sort(scans.begin(), scans.end());
  std::printf("median_ms %.3f max_ms %.3f matches %u\n", scans[scans.size() / 2], scans.back(),
              matches);
  return 0;
}
