#include "app/launcher_wait.h"

#include "platform/owners.h"
#include "platform/win32.h"

namespace overlay {
namespace {

// One scan: every entry of a fresh snapshot is read. A snapshot or first entry
// that cannot be read counts as no launcher, so the wait can never hang on a
// broken process list.
bool LauncherIsRunning() {
  bool found = false;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  const SnapshotHandle snapshot(win32::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return false;
  for (BOOL more = win32::Process32FirstW(snapshot.get(), &entry); more;
       more = win32::Process32NextW(snapshot.get(), &entry)) {
    if (win32::_wcsicmp(entry.szExeFile, kLauncherImageName) == 0) found = true;
  }
  return found;
}

}  // namespace

void WaitForLauncherExit() {
  static_assert(sizeof(PROCESSENTRY32W) == 556, "the record size the snapshot expects");
  while (LauncherIsRunning()) win32::Sleep(kPollIntervalMs);
}

}  // namespace overlay
