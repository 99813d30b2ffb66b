// name_rules.h: the names Windows cannot address as themselves, stated once
// for overlay's walk (copy/recursive_copy.cpp) and for overlay-check
// (check/overlay_check.cpp), which judges an update before it ships. Pure
// rules on UTF-16 names of any character type: no platform call, so that the
// checker built for Linux applies the very rules overlay applies.
#pragma once

#include <cstddef>

namespace overlay {

// Paths drop a final dot or blank, so such a name (made on another system)
// is read and written as a different entry: "twin." as "twin", a directory
// "data." as "data".
template <class Char>
bool EndsInDotOrBlank(const Char* name) {
  const Char* end = name;
  while (*end != Char(0)) ++end;
  return end != name && (end[-1] == Char('.') || end[-1] == Char(' '));
}

// Whether a name may address a device rather than a file: its part before
// the first dot or colon, blanks trimmed, is a device name such as NUL, CON,
// AUX, COM1 or LPT1, in any case. Windows 11 takes only the bare name
// ("NUL", "CON:") as a device, earlier versions the name with an extension
// too ("aux.dat"); so only the running system knows whether it does.
template <class Char>
bool MayNameADevice(const Char* name) {
  // The part before the first dot or colon, blanks trimmed, looked at in
  // place: this runs for every entry of a walk.
  const Char* begin = name;
  const Char* end = name;
  while (*end != Char(0) && *end != Char('.') && *end != Char(':')) ++end;
  while (begin < end && *begin == Char(' ')) ++begin;
  while (end > begin && end[-1] == Char(' ')) --end;
  const std::ptrdiff_t length = end - begin;
  // Device names are ASCII: only ASCII letters fold onto them.
  auto is = [&](const char* device, std::ptrdiff_t count) {
    for (std::ptrdiff_t i = 0; i < count; ++i) {
      const Char c = begin[i];
      const Char upper = (c >= Char('a') && c <= Char('z')) ? Char(c - 'a' + 'A') : c;
      if (upper != Char(device[i])) return false;
    }
    return true;
  };
  // Generous on purpose: systems differ, and the system has the last word.
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    std::ptrdiff_t device_length = 0;
    while (device[device_length] != '\0') ++device_length;
    if (length == device_length && is(device, length)) return true;
  }
  if (length != 4 || !(is("COM", 3) || is("LPT", 3))) return false;
  const Char digit = begin[3];
  return (digit >= Char('0') && digit <= Char('9')) || digit == Char(0xb9) || digit == Char(0xb2) ||
         digit == Char(0xb3);
}

}  // namespace overlay
