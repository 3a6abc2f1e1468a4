// How many threads a chunked run may use, from VEXOL_NUM_THREADS.
#pragma once

#include <cstdint>

namespace vexol {

// The thread count that a VEXOL_NUM_THREADS value stands for. `text` is the
// variable's value, or null when it is unset. It is read like strtol in base
// 10 (leading blanks, optional sign, digits up to the first non-digit, no
// digits meaning 0), saturated to the 32-bit range; a value above 0 is the
// count. Anything else means `hardware_threads`, or 1 when that is 0.
uint32_t thread_count_from_setting(const char* text, unsigned hardware_threads);

// The process-wide thread count: computed on the first call from
// VEXOL_NUM_THREADS and the hardware thread count, then never re-read.
// Thread-safe.
uint32_t configured_thread_count();

}  // namespace vexol
