// A system DLL loaded at run time from the system directory only, owned until
// the end of the scope. Loading allocates nothing of the program's heap and
// raises nothing, so it can serve the failure box when memory has run out.
#pragma once

#include <windows.h>

#include "platform/owners.h"

namespace overlay {

class SystemLibrary {
 public:
  // `name` is a file name such as L"user32.dll". On failure the library holds
  // no module and finds nothing.
  explicit SystemLibrary(const wchar_t* name) noexcept;

  // The exported function, or null.
  template <typename Function>
  Function Find(const char* name) const noexcept {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(FindExport(name)));
  }

 private:
  FARPROC FindExport(const char* name) const noexcept;

  ModuleHandle module_;
};

}  // namespace overlay
