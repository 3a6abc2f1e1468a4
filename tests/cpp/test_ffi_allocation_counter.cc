#include "test_ffi_allocation_counter.h"

#include <cstdlib>
#include <new>

#if defined(__SANITIZE_THREAD__)
#define VEXOL_COUNT_THROUGH_SANITIZER_HOOK 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VEXOL_COUNT_THROUGH_SANITIZER_HOOK 1
#endif
#endif

#ifdef VEXOL_COUNT_THROUGH_SANITIZER_HOOK
#include <sanitizer/allocator_interface.h>
#endif

namespace vexol::testing {
std::atomic<bool> counting_allocations{false};
std::atomic<int> counted_allocations{0};
}  // namespace vexol::testing

#ifdef VEXOL_COUNT_THROUGH_SANITIZER_HOOK

// The thread sanitizer's runtime owns the global allocation functions and
// cannot share them; its allocator calls a hook instead, on every malloc
// and every operator new alike.
namespace {
void on_allocation(const volatile void*, std::size_t) {
  if (vexol::testing::counting_allocations.load(std::memory_order_relaxed)) {
    vexol::testing::counted_allocations.fetch_add(1);
  }
}
void on_free(const volatile void*) {}
const int hook_installed = __sanitizer_install_malloc_and_free_hooks(&on_allocation, &on_free);
}  // namespace

#else

void* operator new(std::size_t size) {
  if (vexol::testing::counting_allocations.load(std::memory_order_relaxed)) {
    vexol::testing::counted_allocations.fetch_add(1);
  }
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

#endif
