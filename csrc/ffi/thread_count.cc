#include "ffi/thread_count.h"

#include <climits>
#include <cstdlib>
#include <thread>

namespace vexol {

uint32_t thread_count_from_setting(const char* text, unsigned hardware_threads) {
  if (text != nullptr) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT32_MAX) value = INT32_MAX;
    if (value > 0) return static_cast<uint32_t>(value);
  }
  return hardware_threads == 0 ? 1u : hardware_threads;
}

uint32_t configured_thread_count() {
  // A function-local static: initialised exactly once, concurrent first
  // callers wait for it. Changing the variable later has no effect.
  static const uint32_t count = thread_count_from_setting(std::getenv("VEXOL_NUM_THREADS"),
                                                          std::thread::hardware_concurrency());
  return count;
}

}  // namespace vexol
