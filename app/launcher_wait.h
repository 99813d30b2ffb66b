// Holding the copy back until the game launcher is gone.
#pragma once

namespace overlay {

// Image name of the launcher process, compared without regard to ASCII case.
constexpr wchar_t kLauncherImageName[] = L"VarenkoLauncher.exe";
// Pause between two scans of the process list.
constexpr unsigned long kPollIntervalMs = 100;

// Returns after the first scan of the process list that finds no launcher.
// There is no time limit.
void WaitForLauncherExit();

}  // namespace overlay
