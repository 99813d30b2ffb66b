#include "tests/e2e/trees.h"

#include <windows.h>

#include "tests/support/temp_tree.h"

namespace e2e {

void MakeTree(const std::wstring& root, const Tree& tree) {
  for (const auto& entry : tree) {  // a map lists parents before their children
    const std::wstring path = root + L"\\" + entry.first;
    if (entry.second == "<dir>") {
      testing_tree::MakeDirectory(path);
    } else {
      testing_tree::WriteFileText(path, entry.second);
    }
  }
}

void MakeLink(const std::wstring& link, const std::wstring& target) {
  testing_tree::MakeSymlink(link, target);
  for (int i = 0; i < 500 && !testing_tree::Exists(link); ++i) ::Sleep(10);
  ASSERT_TRUE(testing_tree::Exists(link)) << "no link made at " << testing_tree::Utf8(link);
}

}  // namespace e2e
