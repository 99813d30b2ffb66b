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

}  // namespace e2e
