#include "report/error_code.h"

#include <stdlib.h>

#include <new>

#include "platform/owners.h"
#include "platform/win32.h"

namespace overlay {
namespace {

constexpr char kUnknownError[] = "unknown error";

// Only these trailing bytes are white space; vertical tab, form feed and every
// byte of 128 or above end the trimming.
bool IsTrimmedTrailingByte(unsigned char byte) {
  return byte == 0 || byte == '\t' || byte == '\n' || byte == '\r' || byte == ' ';
}

class GenericCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "generic"; }
  std::string message(int value) const override { return GenericMessage(value); }
};

class SystemCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "system"; }
  std::string message(int value) const override { return SystemMessage(value); }
};

// The runtime's errno texts. Its header declares the table with one element,
// so the compiler must not be allowed to reason about its length.
const char* const* ErrnoTextMap() {
  char** table = _sys_errlist;
  __asm__("" : "+r"(table));
  return table;
}

// Created on first use and never destroyed, so a code stays valid until the
// very end of the process.
template <typename Category>
const std::error_category& Immortal() noexcept {
  alignas(Category) static unsigned char storage[sizeof(Category)];
  static const Category* const category = new (storage) Category();
  return *category;
}

}  // namespace

const std::error_category& generic_category() noexcept { return Immortal<GenericCategory>(); }
const std::error_category& system_category() noexcept { return Immortal<SystemCategory>(); }

std::string SystemMessage(std::int32_t value) {
  LocalMemory<char> buffer;  // freed on every path, also when the copy below throws
  DWORD length = win32::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      nullptr, static_cast<DWORD>(value), 0, reinterpret_cast<LPSTR>(buffer.out()), 0, nullptr);
  if (buffer.get() == nullptr) length = 0;
  while (length > 0 &&
         IsTrimmedTrailingByte(static_cast<unsigned char>(buffer.get()[length - 1]))) {
    --length;
  }
  if (length == 0) return kUnknownError;
  return std::string(buffer.get(), length);
}

std::string GenericMessage(std::int32_t value) {
  // The runtime's errno text map; values it does not know share its fallback
  // entry, which sits just past the last known one.
  const unsigned known = static_cast<unsigned>(_sys_nerr);
  const unsigned index =
      static_cast<unsigned>(value) < known ? static_cast<unsigned>(value) : known;
  return ErrnoTextMap()[index];
}

}  // namespace overlay
