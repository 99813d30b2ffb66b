#include "app/guarded_copy.h"

#include <exception>
#include <string>

#include "copy/recursive_copy.h"
#include "platform/win32.h"

namespace overlay {

void CopyTree(const wchar_t* source_root, const wchar_t* target_root) {
  try {
    CopyTreeOrThrow(std::wstring(source_root), std::wstring(target_root));
  } catch (const std::exception& failure) {
    // The box reads narrow text in the ANSI code page; its answer does not matter.
    win32::MessageBoxA(nullptr, failure.what(), "ERROR", MB_OK);
  }
}

}  // namespace overlay
