// Included ahead of every source of the program: the library's ready-made
// basic_string instantiations come whole (about 35 KiB each), while
// instantiating in the program's own objects keeps only the members used.
// -1 is the library's own setting for exactly this: no extern templates for
// basic_string, all others unchanged.
#pragma once
#include <bits/c++config.h>
#undef _GLIBCXX_EXTERN_TEMPLATE
#define _GLIBCXX_EXTERN_TEMPLATE -1
