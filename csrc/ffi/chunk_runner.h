// The chunk runner: contiguous ranges of (h, z) pairs and 64-bit seeds
// become stored Pólya-Gamma draws.
//
// The work of one call is a batch of rows. A row of at most CHUNK_SIZE
// elements is one unit of work, sampled from the row's seed; a longer row is
// cut into chunks of CHUNK_SIZE, each a unit of its own seeded from the row
// seed and the chunk index. Units are handed out to the calling thread and
// the workers of the process pool through one atomic counter. Since a
// unit's elements and seed depend only on its index, the output never
// depends on the number of threads or on which thread ran which unit.
//
// Plain pointers only: this layer knows nothing about the FFI.
#pragma once

#include <cstdint>

#include "polya_gamma/draw_floor.h"
#include "polya_gamma/pg_methods.h"

namespace vexol {

class WorkerPool;

inline constexpr int64_t CHUNK_SIZE = 65536;
inline constexpr uint64_t CHUNK_SEED_MULTIPLIER = 0xD1B54A32D192ED03ULL;
// Row r of a batch is seeded with (r + 1) * ROW_SEED_MULTIPLIER XOR its
// seed, modulo 2^64.
inline constexpr uint64_t ROW_SEED_MULTIPLIER = 0x9E3779B97F4A7C15ULL;

// A batch with fewer elements than this stays on the calling thread: waking
// a worker costs about as much as drawing this many cheap elements.
inline constexpr int64_t PARALLEL_MIN_ELEMENTS = 512;

// Seed of chunk k of a chunked range; all arithmetic is modulo 2^64.
inline uint64_t chunk_seed(uint64_t base_seed, int64_t k) {
  return (static_cast<uint64_t>(k) + 1) * CHUNK_SEED_MULTIPLIER ^ base_seed;
}

// Seed of row r of a batch whose row is given `seed`.
inline uint64_t row_seed(uint64_t seed, int64_t r) {
  return (static_cast<uint64_t>(r) + 1) * ROW_SEED_MULTIPLIER ^ seed;
}

// Fills out[0, count) on the calling thread from one generator seeded with
// `seed`, one PG draw per element in element order, each stored through
// clamp_draw (at least DRAW_FLOOR; NaN stays NaN). The float version draws
// exactly as the double one from the widened inputs and stores each clamped
// draw rounded to the nearest float. out may alias h or z element for
// element (a block of inputs is read before its draws are stored). `method`
// picks the default dispatch or a method on request (pg_methods.h). Every
// chunk is drawn in the IEEE floating-point mode, whatever the calling
// thread's mode (ffi/fp_mode.h); the thread's own mode is restored after.
void sample_chunk(const double* h, const double* z, int64_t count, uint64_t seed, double* out,
                  PgMethodRequest method = PgMethodRequest::kDefault);
void sample_chunk(const float* h, const float* z, int64_t count, uint64_t seed, float* out,
                  PgMethodRequest method = PgMethodRequest::kDefault);

// Where the seeds of a batch come from: `count` seeds, each either one
// 64-bit word or a (high, low) pair of 32-bit words. Seed k of the source
// is the 64-bit value; a source with no seeds gives 0.
struct SeedSource {
  const int64_t* words64 = nullptr;   // one seed per element, or
  const uint32_t* pairs32 = nullptr;  // one seed per (high, low) pair
  int64_t count = 0;

  uint64_t at(int64_t k) const {
    if (count == 0) return 0;
    if (words64 != nullptr) return static_cast<uint64_t>(words64[k]);
    return static_cast<uint64_t>(pairs32[2 * k]) << 32 | pairs32[2 * k + 1];
  }
};

// `rows` rows of `row_length` elements, out row-major. Row r reads h and z
// from r * input_row_stride (row_length for one row of inputs per row of
// output, 0 when every row reads the same inputs) and takes seed r of
// `seeds` when there is one per row, else seed 0. With `mix_row_index` that
// seed goes through row_seed(); without it (the flat call, one row) it is
// the row's seed itself.
template <typename T>
struct RowBatch {
  const T* h;
  const T* z;
  T* out;
  int64_t rows;
  int64_t row_length;
  int64_t input_row_stride;
  SeedSource seeds;
  bool mix_row_index;
};

// Fills every row of the batch. Uses up to configured_thread_count()
// threads, the calling thread included, when the batch has more than one
// unit of work and at least PARALLEL_MIN_ELEMENTS elements; returns when
// every element is written and no worker touches the batch any more.
void sample_rows(const RowBatch<double>& batch, PgMethodRequest method = PgMethodRequest::kDefault);
void sample_rows(const RowBatch<float>& batch, PgMethodRequest method = PgMethodRequest::kDefault);

// sample_rows with an explicit thread count (at least 1) and pool.
void sample_rows_on_threads(const RowBatch<double>& batch, int64_t thread_count, WorkerPool& pool,
                            PgMethodRequest method = PgMethodRequest::kDefault);
void sample_rows_on_threads(const RowBatch<float>& batch, int64_t thread_count, WorkerPool& pool,
                            PgMethodRequest method = PgMethodRequest::kDefault);

// Fills out[0, n) as one flat range with one base seed: a range of at most
// CHUNK_SIZE elements is one chunk seeded with the base seed itself, a
// longer one is chunked. The thread count is not consulted for short ranges.
void sample_range(const double* h, const double* z, int64_t n, uint64_t base_seed, double* out,
                  PgMethodRequest method = PgMethodRequest::kDefault);

// sample_range with an explicit thread count (at least 1), on the process
// pool.
void sample_range_on_threads(const double* h, const double* z, int64_t n, uint64_t base_seed,
                             double* out, int64_t thread_count,
                             PgMethodRequest method = PgMethodRequest::kDefault);

}  // namespace vexol
