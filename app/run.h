// The program's whole run, from the command line to the end.
#pragma once

namespace overlay {

// Splits the command line; with exactly two arguments waits for the launcher
// and copies. Returns the exit status, which is always 0.
int RunFromCommandLine();

// Restricts DLL loading to the system directory where the platform can.
void LoadLibrariesFromSystemDirectoryOnly();

}  // namespace overlay
