// Runs the unit tests. --without-info-ex makes GetFileInformationByHandleEx
// missing from the first lookup on, as on a system that lacks it (each
// fixture's reset, in platform_test.h, tells the interposer).
#include "tests/support/test_main.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {
bool g_without_info_ex = false;
}

bool RunningWithoutInfoEx() { return g_without_info_ex; }

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--without-info-ex") == 0) g_without_info_ex = true;
  }
  return RUN_ALL_TESTS();
}
