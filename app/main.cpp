// overlay: waits until the game launcher has exited, then lays the source tree
// over the target tree. Started as: overlay.exe SOURCE TARGET
#include <windows.h>

#include "app/run.h"

// The four parameters are not used: the wide command line is split instead.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  overlay::LoadLibrariesFromSystemDirectoryOnly();
  return overlay::RunFromCommandLine();
}
