#include "tests/support/copy_run.h"

#include <gtest/gtest.h>

#include <exception>

#include "app/guarded_copy.h"
#include "report/failure.h"

namespace testing_tree {

std::string BoxTextOfCopy(const std::wstring& source, const std::wstring& target) {
  overlay::CopyTree(source.c_str(), target.c_str());
  const auto& boxes = fake::Platform().boxes;
  EXPECT_LE(boxes.size(), 1u) << "more than one box";
  return boxes.empty() ? std::string() : boxes[0].text;
}

std::string ExpectedFailureText(const std::wstring& source, const std::wstring& target,
                                overlay::error_code code, const std::vector<fake::Fault>& faults) {
  const fake::State saved = fake::Platform();
  fake::Reset();
  fake::Platform().faults = faults;
  std::string text;
  try {
    text = overlay::filesystem_error("copy", source, target, code).what();
  } catch (const std::exception& failure) {
    text = failure.what();
  }
  fake::Platform() = saved;
  return text;
}

}  // namespace testing_tree
