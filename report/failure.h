// The exceptions that can reach the "ERROR" box, and the failure text of a
// failed copy. Every text is composed once, when the exception is made;
// what() only hands it out.
#pragma once

#include <cstddef>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "report/error_code.h"

namespace overlay {

// Memory exhaustion anywhere in a run shows this text.
class bad_alloc : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return "bad allocation"; }
};

// Immutable narrow text shared between copies of one exception, so copying
// an exception never allocates and never fails. Empty when storing failed.
class SharedText {
 public:
  SharedText() = default;
  // Never throws: when memory runs out the result holds no text.
  SharedText(const char* text, std::size_t length) noexcept;
  SharedText(const SharedText& other) noexcept;
  SharedText& operator=(SharedText other) noexcept;
  ~SharedText();

  const char* c_str() const noexcept;  // null when no text is held

 private:
  struct Block;
  Block* block_ = nullptr;
};

class runtime_error : public std::exception {
 public:
  // Keeps its own copy of the text; answers "Unknown exception" if that copy
  // could not be made.
  explicit runtime_error(const std::string& text) noexcept;
  const char* what() const noexcept override;

 private:
  SharedText text_;
};

class system_error : public runtime_error {
 public:
  // Text: the operation, ": " and the code's message; the message alone when
  // the operation is empty.
  system_error(error_code code, const std::string& operation);
  explicit system_error(error_code code) : system_error(code, std::string()) {}
  const error_code& code() const noexcept { return code_; }

 private:
  error_code code_;
};

class filesystem_error : public system_error {
 public:
  // Composes the failure text: operation and message, then the two paths in
  // quotes, narrowed in the code page of the platform's file functions. A
  // failure while composing raises in place of this exception.
  filesystem_error(const std::string& operation, const std::wstring& path1,
                   const std::wstring& path2, error_code code);
  const char* what() const noexcept override;
  const std::wstring& path1() const noexcept;
  const std::wstring& path2() const noexcept;

 private:
  struct Details;
  std::shared_ptr<const Details> details_;
};

// The code page both roots of a failure text are narrowed in.
unsigned FailureTextCodePage();
// One path as narrow text in that code page; raises system_error with the
// platform's code when the conversion fails.
std::string NarrowPathText(unsigned code_page, const std::wstring& path);

}  // namespace overlay
