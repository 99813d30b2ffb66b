// The texts overlay's box must show, composed from the platform's and the C
// runtime's own texts on this system, never written out.
#pragma once

#include <windows.h>

#include <string>

namespace testing_tree {

// FormatMessageA's text for a Win32 error (system table, default language),
// trailing NUL, tab, line feed, carriage return and blank removed, or
// "unknown error" when the system has none.
std::string SystemMessageText(DWORD error);

// The C runtime's description of an errno value.
std::string RuntimeErrnoText(int value);

// Text in the ANSI code page, without best-fit look-alikes: characters the
// code page lacks become its default character.
std::string AnsiText(const std::wstring& text);
// Narrow text of the ANSI code page read back as wide text, as a box shows it.
std::wstring WideFromAnsi(const std::string& text);

// The box text of a failed copy, in the ANSI code page: copy: <message>:
// "<source>", "<target>" with the roots as given; only the source when the
// target root is empty.
std::string FailureTextOf(const std::string& message, const std::wstring& source,
                          const std::wstring& target);

}  // namespace testing_tree
