// The chunk runner: one contiguous range of (h, z) pairs and one 64-bit base
// seed become stored Pólya-Gamma draws.
//
// A range of at most CHUNK_SIZE elements is sampled on the calling thread
// with the base seed itself. A longer range is cut into chunks of CHUNK_SIZE
// whose seeds mix the base seed with the chunk index, and the chunks are
// handed out to worker threads through one atomic counter. Since a chunk's
// elements and seed depend only on its index, the output never depends on
// the number of threads or on which thread ran which chunk.
//
// Plain pointers only: this layer knows nothing about the FFI.
#pragma once

#include <atomic>
#include <cstdint>

namespace vexol {

inline constexpr int64_t CHUNK_SIZE = 65536;
inline constexpr uint64_t CHUNK_SEED_MULTIPLIER = 0xD1B54A32D192ED03ULL;
inline constexpr double DRAW_FLOOR = 1e-12;

// Everything the threads of one chunked run share. Only next_chunk changes
// during the run; it lives in the calling thread's frame until the last join.
struct ChunkJob {
  int64_t n;
  uint64_t base_seed;
  const double* h;
  const double* z;
  double* out;
  int64_t chunk_count;
  std::atomic<int64_t> next_chunk{0};
};

// Seed of chunk k of a chunked range; all arithmetic is modulo 2^64.
inline uint64_t chunk_seed(uint64_t base_seed, int64_t k) {
  return (static_cast<uint64_t>(k) + 1) * CHUNK_SEED_MULTIPLIER ^ base_seed;
}

// The stored value of a draw. Written as a comparison with the floor on the
// left so that a NaN draw fails it and passes through unchanged (std::max
// would turn NaN into the floor).
inline double clamp_draw(double draw) { return DRAW_FLOOR > draw ? DRAW_FLOOR : draw; }

// Fills out[0, count) on the calling thread from one generator seeded with
// `seed`, one pg_sample per element in element order. out may alias h or z
// element for element (each element is read before it is written).
void sample_chunk(const double* h, const double* z, int64_t count, uint64_t seed, double* out);

// Claims chunks from job.next_chunk until none is left, sampling each.
void run_chunk_worker(ChunkJob& job);

enum class RangeStatus {
  kOk,
  // Every element was written and every other worker joined, but joining at
  // least one worker failed.
  kJoinFailed,
};

// Fills out[0, n). Ranges longer than CHUNK_SIZE use up to
// configured_thread_count() threads, the calling thread included; the
// thread count is not consulted for shorter ranges.
[[nodiscard]] RangeStatus sample_range(const double* h, const double* z, int64_t n,
                                       uint64_t base_seed, double* out);

// sample_range with an explicit thread count (at least 1) for ranges longer
// than CHUNK_SIZE. A worker that cannot be started does not fail the run:
// the threads already running, the calling thread among them, take the
// remaining chunks, which gives the same output by the seeding rule.
[[nodiscard]] RangeStatus sample_range_on_threads(const double* h, const double* z, int64_t n,
                                                  uint64_t base_seed, double* out,
                                                  int64_t thread_count);

}  // namespace vexol
