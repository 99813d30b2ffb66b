// Error codes: a signed 32-bit value and the category that gives it meaning.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>

namespace overlay {

// errno-style values: the copy's own verdicts (same object, directory onto file).
const std::error_category& generic_category() noexcept;
// Win32 error values exactly as GetLastError reports them.
const std::error_category& system_category() noexcept;

class error_code {
 public:
  // A fresh code is success in the system category.
  error_code() noexcept : value_(0), category_(&system_category()) {}
  error_code(std::int32_t value, const std::error_category& category) noexcept
      : value_(value), category_(&category) {}

  std::int32_t value() const noexcept { return value_; }
  const std::error_category& category() const noexcept { return *category_; }
  // May raise the allocation failure; nothing else.
  std::string message() const { return category_->message(value_); }
  // A failure whatever the category.
  explicit operator bool() const noexcept { return value_ != 0; }

 private:
  std::int32_t value_;
  const std::error_category* category_;
};

inline error_code MakeGenericCode(int errno_value) noexcept {
  return error_code(errno_value, generic_category());
}
inline error_code MakeSystemCode(unsigned long win32_error) noexcept {
  return error_code(static_cast<std::int32_t>(win32_error), system_category());
}

// The messages the two categories give, callable without a code.
std::string SystemMessage(std::int32_t value);
std::string GenericMessage(std::int32_t value);

}  // namespace overlay
