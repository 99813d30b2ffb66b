// Where the end-to-end tests find the programs they drive, given on the
// command line of the test program.
#pragma once

#include <string>

namespace e2e {

struct Programs {
  std::wstring overlay;   // the real overlay.exe of this build
  std::wstring stand_in;  // the launcher stand-in, copied under the launcher's names
};

const Programs& ProgramsUnderTest();

}  // namespace e2e
