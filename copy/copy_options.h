// The options of a copy, as bits.
#pragma once

namespace overlay {

enum class copy_options : unsigned {
  none = 0,
  overwrite_existing = 0x2,
  recursive = 0x10,
};

constexpr copy_options operator|(copy_options a, copy_options b) {
  return static_cast<copy_options>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr bool operator&(copy_options a, copy_options b) {
  return (static_cast<unsigned>(a) & static_cast<unsigned>(b)) != 0;
}

// The one option set the program copies with. Only its overwrite policy is
// read (by copy_file); the walk is always recursive, and the bit says so.
constexpr copy_options kTreeCopyOptions =
    copy_options::recursive | copy_options::overwrite_existing;

}  // namespace overlay
