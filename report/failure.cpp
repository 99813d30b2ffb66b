#include "report/failure.h"

#include <cstring>

#include "platform/win32.h"

namespace overlay {

// ---- SharedText ------------------------------------------------------------

struct SharedText::Block {
  std::size_t references;
  char text[1];
};

SharedText::SharedText(const char* text, std::size_t length) noexcept {
  void* memory = ::operator new(offsetof(Block, text) + length + 1, std::nothrow);
  if (memory == nullptr) return;
  block_ = static_cast<Block*>(memory);
  block_->references = 1;
  std::memcpy(block_->text, text, length);
  block_->text[length] = '\0';
}

SharedText::SharedText(const SharedText& other) noexcept : block_(other.block_) {
  if (block_ != nullptr) ++block_->references;
}

SharedText& SharedText::operator=(SharedText other) noexcept {
  std::swap(block_, other.block_);
  return *this;
}

SharedText::~SharedText() {
  if (block_ != nullptr && --block_->references == 0) ::operator delete(block_);
}

const char* SharedText::c_str() const noexcept { return block_ ? block_->text : nullptr; }

// ---- The exception family ----------------------------------------------------

runtime_error::runtime_error(const std::string& text) noexcept : text_(text.data(), text.size()) {}

const char* runtime_error::what() const noexcept {
  const char* text = text_.c_str();
  return text != nullptr ? text : "Unknown exception";
}

namespace {

std::string ComposeSystemErrorText(const error_code& code, const std::string& operation) {
  std::string text = operation;
  if (!text.empty()) text += ": ";
  text += code.message();
  return text;
}

}  // namespace

system_error::system_error(error_code code, const std::string& operation)
    : runtime_error(ComposeSystemErrorText(code, operation)), code_(code) {}

struct filesystem_error::Details {
  std::wstring path1;
  std::wstring path2;
  std::string text;
};

namespace {

// The start (operation and message), then: "source"[, "target"]
std::string ComposeFailureText(const char* start, const std::wstring& source,
                               const std::wstring& target) {
  const unsigned code_page = FailureTextCodePage();
  const std::string narrow_source = NarrowPathText(code_page, source);
  const std::string narrow_target = NarrowPathText(code_page, target);

  const std::size_t start_length = std::strlen(start);
  std::string text;
  text.reserve(start_length + narrow_source.size() + narrow_target.size() +
               (narrow_target.empty() ? 4 : 8));
  text.append(start, start_length);
  text += ": \"";
  text += narrow_source;
  if (!narrow_target.empty()) {
    text += "\", \"";
    text += narrow_target;
  }
  text += '"';
  return text;
}

}  // namespace

filesystem_error::filesystem_error(const std::string& operation, const std::wstring& path1,
                                   const std::wstring& path2, error_code code)
    : system_error(code, operation) {
  auto details = std::make_shared<Details>(Details{path1, path2, std::string()});
  details->text = ComposeFailureText(system_error::what(), details->path1, details->path2);
  details_ = std::move(details);
}

const char* filesystem_error::what() const noexcept { return details_->text.c_str(); }
const std::wstring& filesystem_error::path1() const noexcept { return details_->path1; }
const std::wstring& filesystem_error::path2() const noexcept { return details_->path2; }

// ---- Narrowing the roots -------------------------------------------------------

unsigned FailureTextCodePage() {
  if (win32::___lc_codepage_func() == CP_UTF8) return CP_UTF8;
  return win32::AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

namespace {

// One WideCharToMultiByte without best-fit look-alikes, repeated without flags
// for code pages that refuse the flag (UTF-8 among them).
int ConvertWithoutBestFit(unsigned code_page, const std::wstring& path, char* out, int out_size) {
  const int length = static_cast<int>(path.size());
  int result = win32::WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, path.data(), length, out,
                                          out_size, nullptr, nullptr);
  if (result != 0) return result;
  DWORD error = win32::GetLastError();
  if (error == ERROR_INVALID_FLAGS) {
    result = win32::WideCharToMultiByte(code_page, 0, path.data(), length, out, out_size, nullptr,
                                        nullptr);
    if (result != 0) return result;
    error = win32::GetLastError();
  }
  throw system_error(MakeSystemCode(error));
}

}  // namespace

std::string NarrowPathText(unsigned code_page, const std::wstring& path) {
  if (path.empty()) return std::string();
  const int measured = ConvertWithoutBestFit(code_page, path, nullptr, 0);
  std::string narrow(static_cast<std::size_t>(measured), '\0');
  const int written = ConvertWithoutBestFit(code_page, path, narrow.data(), measured);
  narrow.resize(static_cast<std::size_t>(written));
  return narrow;
}

}  // namespace overlay
