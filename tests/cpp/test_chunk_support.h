// Inputs for the chunk runner and handler tests, an independent assembly of
// the expected output chunk by chunk, and worker-thread operations that
// count starts and joins and fail them on request.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ffi/chunk_runner.h"
#include "ffi/worker_threads.h"

namespace vexol::testing {

// Shapes and tilts from every sampling regime, cycled, so that chunks cost
// different amounts and threads finish them in varying order.
inline void make_inputs(int64_t n, std::vector<double>& h, std::vector<double>& z) {
  static const double shapes[] = {1.0, 0.3, 2.0, 3.5, 6.0, 12.0, 60.0, 1.0, 4.0};
  static const double tilts[] = {0.0, 0.5, -1.0, 2.5, 7.0, -0.01, 30.0};
  h.resize(n);
  z.resize(n);
  for (int64_t i = 0; i < n; ++i) {
    h[i] = shapes[i % 9];
    z[i] = tilts[(i / 3) % 7];
  }
}

// The chunked layout written out directly: chunk k covers elements
// [k * CHUNK_SIZE, ...) and is sampled from chunk_seed(base, k).
inline std::vector<double> chunked_reference(const std::vector<double>& h,
                                             const std::vector<double>& z, uint64_t base_seed) {
  const int64_t n = static_cast<int64_t>(h.size());
  std::vector<double> out(n);
  for (int64_t k = 0, start = 0; start < n; ++k, start += CHUNK_SIZE) {
    const int64_t count = std::min(CHUNK_SIZE, n - start);
    sample_chunk(&h[start], &z[start], count, chunk_seed(base_seed, k), &out[start]);
  }
  return out;
}

inline bool bit_identical(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Worker operations that really start and join threads but keep count, and
// can make every start from the `fail_start_from`-th on fail (EAGAIN, as
// for exhausted resources), or report the `fail_join_at`-th join as failed
// after really joining it (so that no thread is left behind).
struct CountingThreadOps {
  static inline std::atomic<int> starts{0};
  static inline std::atomic<int> start_attempts{0};
  static inline std::atomic<int> joins{0};
  static inline int fail_start_from = -1;
  static inline int fail_join_at = -1;

  static int start(pthread_t* thread, void* (*entry)(void*), void* arg) {
    const int attempt = start_attempts.fetch_add(1);
    if (fail_start_from >= 0 && attempt >= fail_start_from) return EAGAIN;
    const int rc = pthread_create(thread, nullptr, entry, arg);
    if (rc == 0) starts.fetch_add(1);
    return rc;
  }

  static int join(pthread_t thread) {
    const int index = joins.fetch_add(1);
    const int rc = pthread_join(thread, nullptr);
    if (rc != 0) return rc;
    return index == fail_join_at ? ESRCH : 0;
  }

  static constexpr WorkerThreadOps ops{&start, &join};
};

// Installs the counting operations for one scope, with fresh counters.
class CountingThreads {
 public:
  explicit CountingThreads(int fail_start_from = -1, int fail_join_at = -1) {
    CountingThreadOps::starts = 0;
    CountingThreadOps::start_attempts = 0;
    CountingThreadOps::joins = 0;
    CountingThreadOps::fail_start_from = fail_start_from;
    CountingThreadOps::fail_join_at = fail_join_at;
    set_worker_thread_ops(&CountingThreadOps::ops);
  }
  ~CountingThreads() { set_worker_thread_ops(nullptr); }

  int starts() const { return CountingThreadOps::starts; }
  int start_attempts() const { return CountingThreadOps::start_attempts; }
  int joins() const { return CountingThreadOps::joins; }
};

}  // namespace vexol::testing
