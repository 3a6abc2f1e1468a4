// Built at -O3: pg_sample and everything below it is inline and lands in
// sample_chunk's loop, which is where all of the time goes.
#include "ffi/chunk_runner.h"

#include <algorithm>
#include <atomic>

#include "ffi/fp_mode.h"
#include "ffi/thread_count.h"
#include "ffi/worker_pool.h"
#include "polya_gamma/pg_block.h"
#include "polya_gamma/pg_methods.h"
#include "random/generator.h"

namespace vexol {
namespace {

// Not inlined into sample_chunk_of, so that none of its arithmetic can be
// moved across the writes of the floating-point control register there.
template <typename T>
[[gnu::noinline]] void draw_chunk(const T* h, const T* z, int64_t count, uint64_t seed, T* out,
                                  PgMethodRequest method) {
  GeneratorState state = seed_generator(seed);
  // The sampler works in double whatever the storage type; inputs are
  // widened a block at a time and the draws rounded once, when stored.
  double hb[PG_BLOCK_SIZE], zb[PG_BLOCK_SIZE], draws[PG_BLOCK_SIZE];
  for (int64_t start = 0; start < count; start += PG_BLOCK_SIZE) {
    const int m = static_cast<int>(std::min<int64_t>(PG_BLOCK_SIZE, count - start));
    for (int i = 0; i < m; ++i) {
      hb[i] = static_cast<double>(h[start + i]);
      zb[i] = static_cast<double>(z[start + i]);
    }
    if (method == PgMethodRequest::kDefault) {
      pg_sample_block(hb, zb, m, state, draws);
    } else {
      pg_sample_block_method(hb, zb, m, method, state, draws);
    }
    for (int i = 0; i < m; ++i) out[start + i] = static_cast<T>(clamp_draw(draws[i]));
  }
}

// Every unit, on whichever thread, is drawn in the IEEE mode (fp_mode.h).
template <typename T>
void sample_chunk_of(const T* h, const T* z, int64_t count, uint64_t seed, T* out,
                     PgMethodRequest method) {
  IeeeFloatingPointScope ieee;
  draw_chunk(h, z, count, seed, out, method);
}

// One call's units: the batch, its geometry and the counter that hands the
// units out. It lives in the calling thread's frame; the pool returns only
// when no worker touches it any more.
template <typename T>
struct UnitJob {
  const RowBatch<T>* batch;
  int64_t units_per_row;  // 1, or the chunk count of a long row
  int64_t unit_count;
  PgMethodRequest method;
  std::atomic<int64_t> next_unit{0};
};

template <typename T>
void sample_unit(const UnitJob<T>& job, int64_t u) {
  const RowBatch<T>& b = *job.batch;
  const int64_t r = u / job.units_per_row;
  const int64_t k = u % job.units_per_row;
  const uint64_t given = b.seeds.at(b.seeds.count == b.rows ? r : 0);
  const uint64_t seed_of_row = b.mix_row_index ? row_seed(given, r) : given;
  const int64_t start = k * CHUNK_SIZE;
  const int64_t count = std::min(b.row_length - start, CHUNK_SIZE);
  const uint64_t seed = job.units_per_row == 1 ? seed_of_row : chunk_seed(seed_of_row, k);
  const int64_t input = r * b.input_row_stride + start;
  sample_chunk_of(b.h + input, b.z + input, count, seed, b.out + r * b.row_length + start,
                  job.method);
}

template <typename T>
void run_units(void* context) {
  UnitJob<T>& job = *static_cast<UnitJob<T>*>(context);
  for (;;) {
    const int64_t u = job.next_unit.fetch_add(1, std::memory_order_seq_cst);
    if (u >= job.unit_count) return;
    sample_unit(job, u);
  }
}

template <typename T>
void sample_rows_of(const RowBatch<T>& batch, int64_t thread_count, WorkerPool* pool,
                    PgMethodRequest method) {
  if (batch.rows <= 0) return;
  UnitJob<T> job;
  job.batch = &batch;
  job.method = method;
  job.units_per_row =
      batch.row_length <= CHUNK_SIZE ? 1 : (batch.row_length + CHUNK_SIZE - 1) / CHUNK_SIZE;
  job.unit_count = batch.rows * job.units_per_row;
  const int64_t threads = std::min<int64_t>(job.unit_count, thread_count);
  if (threads <= 1 || batch.rows * batch.row_length < PARALLEL_MIN_ELEMENTS) {
    run_units<T>(&job);  // units 0, 1, ..., in order, on this thread
    return;
  }
  const int64_t helpers = std::min<int64_t>(threads - 1, WorkerPool::kMaxWorkers);
  (pool != nullptr ? *pool : process_worker_pool())
      .run(&run_units<T>, &job, static_cast<int>(helpers));
}

// The thread count is looked up only for batches that could use threads, so
// that short ranges never read VEXOL_NUM_THREADS.
template <typename T>
bool may_use_threads(const RowBatch<T>& batch) {
  return batch.rows > 1 || batch.row_length > CHUNK_SIZE;
}

}  // namespace

void sample_chunk(const double* h, const double* z, int64_t count, uint64_t seed, double* out,
                  PgMethodRequest method) {
  sample_chunk_of(h, z, count, seed, out, method);
}

void sample_chunk(const float* h, const float* z, int64_t count, uint64_t seed, float* out,
                  PgMethodRequest method) {
  sample_chunk_of(h, z, count, seed, out, method);
}

void sample_rows(const RowBatch<double>& batch, PgMethodRequest method) {
  sample_rows_of(batch, may_use_threads(batch) ? configured_thread_count() : 1, nullptr, method);
}

void sample_rows(const RowBatch<float>& batch, PgMethodRequest method) {
  sample_rows_of(batch, may_use_threads(batch) ? configured_thread_count() : 1, nullptr, method);
}

void sample_rows_on_threads(const RowBatch<double>& batch, int64_t thread_count, WorkerPool& pool,
                            PgMethodRequest method) {
  sample_rows_of(batch, thread_count, &pool, method);
}

void sample_rows_on_threads(const RowBatch<float>& batch, int64_t thread_count, WorkerPool& pool,
                            PgMethodRequest method) {
  sample_rows_of(batch, thread_count, &pool, method);
}

namespace {

RowBatch<double> flat_range(const double* h, const double* z, int64_t n, const int64_t* seed,
                            double* out) {
  return RowBatch<double>{h, z, out, 1, n, n, SeedSource{seed, nullptr, 1}, false};
}

}  // namespace

void sample_range(const double* h, const double* z, int64_t n, uint64_t base_seed, double* out,
                  PgMethodRequest method) {
  const int64_t seed = static_cast<int64_t>(base_seed);
  sample_rows(flat_range(h, z, n, &seed, out), method);
}

void sample_range_on_threads(const double* h, const double* z, int64_t n, uint64_t base_seed,
                             double* out, int64_t thread_count, PgMethodRequest method) {
  const int64_t seed = static_cast<int64_t>(base_seed);
  sample_rows_of(flat_range(h, z, n, &seed, out), thread_count, nullptr, method);
}

}  // namespace vexol
