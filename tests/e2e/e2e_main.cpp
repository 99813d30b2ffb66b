// Runs the end-to-end tests of overlay.exe, as an ordinary user (as_player.sh
// starts it so, and prepares the folder given with --prepared).
//   overlay_e2e_tests --overlay=PATH --stand-in=PATH --prepared=PATH [GoogleTest options]
// A path given the Unix way is turned into Wine's DOS path.
#include <windows.h>
// After windows.h, which it needs.
#include <gtest/gtest.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <utility>

#include "tests/e2e/e2e_config.h"

namespace e2e {
namespace {

Programs g_programs;
std::wstring g_prepared;

std::wstring DosPathOf(const std::wstring& path) {
  if (path.empty() || path[0] != L'/') return path;
  using WineGetDosFileName = wchar_t*(CDECL*)(const char*);
  auto to_dos = reinterpret_cast<WineGetDosFileName>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  if (to_dos == nullptr) return path;
  const std::string unix_path(path.begin(), path.end());
  wchar_t* dos_path = to_dos(unix_path.c_str());
  if (dos_path == nullptr) return path;
  std::wstring result = dos_path;
  ::HeapFree(::GetProcessHeap(), 0, dos_path);
  return result;
}

// Takes the paths of the options from the wide command line; false when one is missing.
bool ReadPaths() {
  const std::pair<std::wstring, std::wstring*> options[] = {{L"--overlay=", &g_programs.overlay},
                                                            {L"--stand-in=", &g_programs.stand_in},
                                                            {L"--prepared=", &g_prepared}};
  int count = 0;
  LPWSTR* arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  for (int i = 1; i < count; ++i) {
    const std::wstring argument = arguments[i];
    for (const auto& option : options) {
      if (argument.compare(0, option.first.size(), option.first) == 0) {
        *option.second = DosPathOf(argument.substr(option.first.size()));
      }
    }
  }
  ::LocalFree(arguments);
  for (const auto& option : options) {
    if (option.second->empty()) return false;
  }
  return true;
}

}  // namespace

const Programs& ProgramsUnderTest() { return g_programs; }
const std::wstring& PreparedByRoot() { return g_prepared; }

}  // namespace e2e

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!e2e::ReadPaths()) {
    std::fprintf(stderr,
                 "usage: %s --overlay=PATH --stand-in=PATH --prepared=PATH "
                 "[GoogleTest options]\n",
                 argv[0]);
    return 2;
  }
  std::printf("ANSI code page %u\n", ::GetACP());
  return RUN_ALL_TESTS();
}
