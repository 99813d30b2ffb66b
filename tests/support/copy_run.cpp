#include "tests/support/copy_run.h"

#include <gtest/gtest.h>

#include "app/guarded_copy.h"
#include "tests/support/interposer.h"

namespace testing_tree {

std::string BoxTextOfCopy(const std::wstring& source, const std::wstring& target) {
  overlay::CopyTree(source.c_str(), target.c_str());
  const auto& boxes = interposer::Platform().boxes;
  EXPECT_LE(boxes.size(), 1u) << "more than one box";
  return boxes.empty() ? std::string() : boxes[0].text;
}

std::string ExpectedFailureText(const std::wstring& source, const std::wstring& target,
                                overlay::error_code code) {
  const bool generic = &code.category() == &overlay::generic_category();
  return FailureTextOf(generic ? RuntimeErrnoText(code.value())
                               : SystemMessageText(static_cast<DWORD>(code.value())),
                       source, target);
}

}  // namespace testing_tree
