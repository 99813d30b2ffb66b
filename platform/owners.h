// RAII owners for the platform resources overlay opens: each is released by
// the code that opened it, on failure as well as on success.
#pragma once

#include "platform/win32.h"

namespace overlay {

// Owns one handle; Traits say which value means none and how it is closed.
template <typename Traits>
class HandleOwner {
 public:
  HandleOwner() = default;
  explicit HandleOwner(HANDLE handle) noexcept : handle_(handle) {}
  HandleOwner(const HandleOwner&) = delete;
  HandleOwner& operator=(const HandleOwner&) = delete;
  HandleOwner(HandleOwner&& other) noexcept : handle_(other.handle_) {
    other.handle_ = INVALID_HANDLE_VALUE;
  }
  ~HandleOwner() {
    if (handle_ != INVALID_HANDLE_VALUE) Traits::Close(handle_);
  }

  HANDLE get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

struct KernelHandleTraits {
  static void Close(HANDLE handle) noexcept { win32::CloseHandle(handle); }
};
struct FindHandleTraits {
  static void Close(HANDLE find) noexcept { win32::FindClose(find); }
};

// Snapshots and files; INVALID_HANDLE_VALUE when the open failed.
using FileHandle = HandleOwner<KernelHandleTraits>;
// Directory enumerations.
using FindHandle = HandleOwner<FindHandleTraits>;

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
