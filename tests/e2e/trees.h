// Trees on disk for the end-to-end tests, beyond tests/support/temp_tree.h.
#pragma once

#include <map>
#include <string>

namespace e2e {

// Relative path -> content, or "<dir>" for a directory.
using Tree = std::map<std::wstring, std::string>;

// Makes the entries of a tree under root.
void MakeTree(const std::wstring& root, const Tree& tree);

// A Linux symbolic link at `link` leading to `target`, there before this
// returns. Wine gives no handle to wait on for the Unix program that makes
// it, so its appearance is awaited.
void MakeLink(const std::wstring& link, const std::wstring& target);

}  // namespace e2e
