// RAII owners for the platform resources overlay opens: each is released by
// the code that opened it, on failure as well as on success.
#pragma once

#include "platform/win32.h"

namespace overlay {

// Owns one handle. Traits give its type, the value that means none (which
// differs between functions) and how it is closed.
template <typename Traits>
class HandleOwner {
 public:
  using Handle = typename Traits::Handle;

  HandleOwner() noexcept = default;
  explicit HandleOwner(Handle handle) noexcept : handle_(handle) {}
  HandleOwner(const HandleOwner&) = delete;
  HandleOwner& operator=(const HandleOwner&) = delete;
  HandleOwner(HandleOwner&& other) noexcept : handle_(other.release()) {}
  HandleOwner& operator=(HandleOwner&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~HandleOwner() { reset(); }

  Handle get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != Traits::None(); }

  // Closes the handle held, if any, and holds `handle` instead.
  void reset(Handle handle = Traits::None()) noexcept {
    if (handle_ != Traits::None()) Traits::Close(handle_);
    handle_ = handle;
  }
  // Gives the handle up without closing it.
  Handle release() noexcept {
    const Handle handle = handle_;
    handle_ = Traits::None();
    return handle;
  }

 private:
  Handle handle_ = Traits::None();
};

// Files and directories opened with CreateFileW.
struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle None() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Handle file) noexcept { win32::CloseHandle(file); }
};
// Process snapshots: a kernel handle too, and also INVALID_HANDLE_VALUE when
// none could be taken.
struct SnapshotHandleTraits : FileHandleTraits {};
// Directory enumerations.
struct FindHandleTraits {
  using Handle = HANDLE;
  static Handle None() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Handle find) noexcept { win32::FindClose(find); }
};

// Modules loaded at run time; null when loading failed.
struct ModuleHandleTraits {
  using Handle = HMODULE;
  static Handle None() noexcept { return nullptr; }
  static void Close(Handle module) noexcept { ::FreeLibrary(module); }
};

using FileHandle = HandleOwner<FileHandleTraits>;
using SnapshotHandle = HandleOwner<SnapshotHandleTraits>;
using FindHandle = HandleOwner<FindHandleTraits>;
using ModuleHandle = HandleOwner<ModuleHandleTraits>;

// Memory the platform allocated for us with LocalAlloc (argument vectors,
// system messages). Freeing null is harmless, so it is freed on every path.
template <typename T>
class LocalMemory {
 public:
  LocalMemory() = default;
  explicit LocalMemory(T* memory) noexcept : memory_(memory) {}
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;
  ~LocalMemory() { win32::LocalFree(memory_); }

  T* get() const noexcept { return memory_; }
  // For calls that hand back a buffer through an out-parameter.
  T** out() noexcept { return &memory_; }

 private:
  T* memory_ = nullptr;
};

}  // namespace overlay
