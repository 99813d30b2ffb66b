#include "app/run.h"

#include "app/copy_tree.h"
#include "app/launcher_wait.h"
#include "platform/owners.h"
#include "platform/win32.h"

namespace overlay {

// overlay is often started from a folder anyone can write to: DLLs the box
// or the shell would load by name must come from the system directory only.
// Looked up by name because Vista without its update lacks the function.
void LoadLibrariesFromSystemDirectoryOnly() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  constexpr DWORD kLoadLibrarySearchSystem32 = 0x00000800;
  HMODULE kernel32 = win32::GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return;
  auto set_default_dll_directories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void*>(win32::GetProcAddress(kernel32, "SetDefaultDllDirectories")));
  if (set_default_dll_directories != nullptr) {
    set_default_dll_directories(kLoadLibrarySearchSystem32);
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
