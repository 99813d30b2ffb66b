#include "app/run.h"

#include "app/guarded_copy.h"
#include "app/launcher_wait.h"
#include "platform/kernel32.h"
#include "platform/owners.h"
#include "platform/win32.h"

namespace overlay {

// overlay is often started from a folder anyone can write to: DLLs the box
// or the shell would load by name must come from the system directory only.
// Looked up by name because Vista without its update lacks the function.
void LoadLibrariesFromSystemDirectoryOnly() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  if (auto set_default_dll_directories =
          FindKernel32Function<SetDefaultDllDirectoriesFunction>("SetDefaultDllDirectories")) {
    set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
}

int RunFromCommandLine() {
  int count = 0;
  // Released on every path, also when the count is wrong or splitting failed.
  const LocalMemory<LPWSTR> arguments(win32::CommandLineToArgvW(win32::GetCommandLineW(), &count));
  if (arguments.get() != nullptr && count == 3) {
    WaitForLauncherExit();
    CopyTree(arguments.get()[1], arguments.get()[2]);
  }
  return 0;
}

}  // namespace overlay
