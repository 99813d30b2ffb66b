// Functions of kernel32 that are not bound at start-up, so that the exe still
// starts where one is missing: looked up by name when first needed.
#pragma once

#include "platform/win32.h"

namespace overlay {

// The function `name` of the already loaded kernel32, or null where the
// system lacks it.
template <typename Function>
Function FindKernel32Function(const char* name) {
  HMODULE kernel32 = win32::GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(win32::GetProcAddress(kernel32, name)));
}

}  // namespace overlay
