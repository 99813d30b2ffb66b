// Trees on disk for the end-to-end tests, beyond tests/support/temp_tree.h.
#pragma once

#include <map>
#include <string>

namespace e2e {

// Relative path -> content, or "<dir>" for a directory.
using Tree = std::map<std::wstring, std::string>;

// Makes the entries of a tree under root.
void MakeTree(const std::wstring& root, const Tree& tree);

}  // namespace e2e
