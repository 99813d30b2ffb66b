// The test binaries' allocation functions: they count allocations, can make
// the Nth one fail (raising overlay::bad_alloc, as the product's do), and
// report how many blocks are still live, so a test can see leaks.
#pragma once

#include <cstddef>

namespace alloc {

// Allocations since the last Arm/Disarm.
long Count();
// Blocks allocated and not yet freed, over the whole process.
long Live();
// The nth allocation from now (1 = the next one) fails; 0 disarms. With
// `and_every_later`, so does every one after it, as when memory has run out.
void FailAt(long nth, bool and_every_later = false);
// True once the armed failure has happened; Disarm keeps the answer.
bool Failed();
void Disarm();

// While one of these lives, allocations are neither counted nor failed: for
// the test's own bookkeeping in the middle of a measured run.
class Uncounted {
 public:
  Uncounted();
  ~Uncounted();
  Uncounted(const Uncounted&) = delete;
  Uncounted& operator=(const Uncounted&) = delete;
};

}  // namespace alloc
