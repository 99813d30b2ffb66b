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

// What only root can make: the tests themselves run as an ordinary user.
struct RootPrepared {
  std::wstring small_disk;        // a file system of 4 MiB, empty, that the user may fill
  std::wstring protected_folder;  // another user's folder, holding a file of theirs
  std::wstring foreign_file;      // another user's file, not writable by the user, in a
                                  // folder the user may write
};

const RootPrepared& PreparedByRoot();

}  // namespace e2e
