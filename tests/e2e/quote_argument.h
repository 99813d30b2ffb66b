// How a launcher passes a path to overlay: one command-line argument quoted
// by the platform's rules (the README shows this function).
#pragma once

#include <string>

// The argument in quotes, such that CommandLineToArgvW gives it back unchanged.
// Backslashes are literal unless they run into a quote: those before an
// embedded quote or the closing one are doubled, an embedded quote escaped.
// So a folder ending in "\" stays one argument instead of escaping the quote.
inline std::wstring QuoteArgument(const std::wstring& argument) {
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t character : argument) {
    if (character == L'\\') {
      ++backslashes;
    } else {
      if (character == L'"') quoted.append(backslashes + 1, L'\\');
      backslashes = 0;
    }
    quoted += character;
  }
  quoted.append(backslashes, L'\\');
  return quoted + L'"';
}
