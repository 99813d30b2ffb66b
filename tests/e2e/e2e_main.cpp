// Runs the end-to-end tests of overlay.exe.
//   overlay_e2e_tests --overlay=PATH --stand-in=PATH [GoogleTest options]
// A path given the Unix way (as ctest does) is turned into Wine's DOS path.
#include <windows.h>
// After windows.h, which it needs.
#include <gtest/gtest.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "tests/e2e/e2e_config.h"

namespace e2e {
namespace {

Programs g_programs;

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

// Takes --overlay= and --stand-in= from the wide command line.
void ReadProgramPaths() {
  int count = 0;
  LPWSTR* arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (arguments == nullptr) return;
  const std::wstring overlay_option = L"--overlay=";
  const std::wstring stand_in_option = L"--stand-in=";
  for (int i = 1; i < count; ++i) {
    const std::wstring argument = arguments[i];
    if (argument.compare(0, overlay_option.size(), overlay_option) == 0) {
      g_programs.overlay = DosPathOf(argument.substr(overlay_option.size()));
    } else if (argument.compare(0, stand_in_option.size(), stand_in_option) == 0) {
      g_programs.stand_in = DosPathOf(argument.substr(stand_in_option.size()));
    }
  }
  ::LocalFree(arguments);
}

}  // namespace

const Programs& ProgramsUnderTest() { return g_programs; }

}  // namespace e2e

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  e2e::ReadProgramPaths();
  const e2e::Programs& programs = e2e::ProgramsUnderTest();
  if (programs.overlay.empty() || programs.stand_in.empty()) {
    std::fprintf(stderr, "usage: %s --overlay=PATH --stand-in=PATH [GoogleTest options]\n",
                 argv[0]);
    return 2;
  }
  std::printf("ANSI code page %u\n", ::GetACP());
  return RUN_ALL_TESTS();
}
