// Where the end-to-end tests find the programs they drive and what root
// prepared for them, given on the command line of the test program.
#pragma once

#include <string>

namespace e2e {

struct Programs {
  std::wstring overlay;   // the real overlay.exe of this build
  std::wstring stand_in;  // the launcher stand-in, copied under the launcher's names
};

const Programs& ProgramsUnderTest();

// What root made for the tests, which run as an ordinary user (as_player.sh):
// "small disk", an empty 4 MiB file system the user may fill; "protected",
// another user's folder holding a file of theirs; "shared\foreign.dat",
// another user's file, not writable by the user, in a folder the user may write.
const std::wstring& PreparedByRoot();

}  // namespace e2e
