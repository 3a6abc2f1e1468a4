// Counts the operator new calls of the whole test binary while an
// AllocationCounter is alive (the replacement operators live in
// test_ffi_allocation_counter.cc).
#pragma once

#include <atomic>

namespace vexol::testing {

extern std::atomic<bool> counting_allocations;
extern std::atomic<int> counted_allocations;

class AllocationCounter {
 public:
  AllocationCounter() {
    counted_allocations = 0;
    counting_allocations = true;
  }
  ~AllocationCounter() { counting_allocations = false; }
  int count() const { return counted_allocations; }
};

}  // namespace vexol::testing
