#include "tests/support/expected_text.h"

#include <cstring>

namespace testing_tree {
namespace {

bool IsTrailingBlank(char byte) {
  return byte == '\0' || byte == '\t' || byte == '\n' || byte == '\r' || byte == ' ';
}

}  // namespace

std::string SystemMessageText(DWORD error) {
  char* buffer = nullptr;
  DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      nullptr, error, 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  std::string text = buffer != nullptr ? std::string(buffer, length) : std::string();
  ::LocalFree(buffer);
  while (!text.empty() && IsTrailingBlank(text.back())) text.pop_back();
  return text.empty() ? "unknown error" : text;
}

std::string RuntimeErrnoText(int value) { return std::strerror(value); }

std::string AnsiText(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int length = static_cast<int>(text.size());
  const int size = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), length, nullptr,
                                         0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), length, narrow.data(), size,
                        nullptr, nullptr);
  return narrow;
}

std::wstring WideFromAnsi(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length = static_cast<int>(text.size());
  const int size = ::MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.data(), size);
  return wide;
}

std::string FailureTextOf(const std::string& message, const std::wstring& source,
                          const std::wstring& target) {
  std::string text = "copy: " + message + ": \"" + AnsiText(source);
  if (!target.empty()) text += "\", \"" + AnsiText(target);
  return text + '"';
}

}  // namespace testing_tree
