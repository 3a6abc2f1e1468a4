#include "test_ffi_allocation_counter.h"

#include <cstdlib>
#include <new>

namespace vexol::testing {
std::atomic<bool> counting_allocations{false};
std::atomic<int> counted_allocations{0};
}  // namespace vexol::testing

void* operator new(std::size_t size) {
  if (vexol::testing::counting_allocations.load(std::memory_order_relaxed)) {
    vexol::testing::counted_allocations.fetch_add(1);
  }
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
