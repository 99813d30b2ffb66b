#include "tests/support/allocation.h"

#include <cstdlib>
#include <new>

#include "report/failure.h"

namespace alloc {
namespace {

long g_count = 0;
long g_live = 0;
long g_fail_at = 0;
bool g_fail_later = false;
bool g_failed = false;
int g_uncounted = 0;

// Whether this allocation is the one to fail.
bool TakeTurn() {
  if (g_uncounted > 0) return false;
  ++g_count;
  if (g_fail_at != 0 && (g_count == g_fail_at || (g_fail_later && g_count > g_fail_at))) {
    g_failed = true;
    return true;
  }
  return false;
}

void* Allocate(std::size_t size) noexcept {
  if (TakeTurn()) return nullptr;
  void* memory = std::malloc(size != 0 ? size : 1);
  if (memory != nullptr) ++g_live;
  return memory;
}

void Free(void* memory) noexcept {
  if (memory == nullptr) return;
  --g_live;
  std::free(memory);
}

}  // namespace

long Count() { return g_count; }
long Live() { return g_live; }
void FailAt(long nth, bool and_every_later) {
  g_count = 0;
  g_failed = false;
  g_fail_at = nth;
  g_fail_later = and_every_later;
}
bool Failed() { return g_failed; }
void Disarm() { g_fail_at = 0; }

Uncounted::Uncounted() { ++g_uncounted; }
Uncounted::~Uncounted() { --g_uncounted; }

}  // namespace alloc

void* operator new(std::size_t size) {
  if (void* memory = alloc::Allocate(size)) return memory;
  throw overlay::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return alloc::Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return alloc::Allocate(size);
}
void operator delete(void* memory) noexcept { alloc::Free(memory); }
void operator delete[](void* memory) noexcept { alloc::Free(memory); }
void operator delete(void* memory, std::size_t) noexcept { alloc::Free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { alloc::Free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { alloc::Free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { alloc::Free(memory); }
