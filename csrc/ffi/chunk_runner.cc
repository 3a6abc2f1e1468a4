// Built at -O3: pg_sample and everything below it is inline and lands in
// sample_chunk's loop, which is where all of the time goes.
#include "ffi/chunk_runner.h"

#include <algorithm>
#include <memory>
#include <new>

#include "ffi/thread_count.h"
#include "ffi/worker_threads.h"
#include "polya_gamma/pg_sample.h"
#include "random/generator.h"

namespace vexol {
namespace {

void* worker_entry(void* job) {
  run_chunk_worker(*static_cast<ChunkJob*>(job));
  return nullptr;
}

}  // namespace

void sample_chunk(const double* h, const double* z, int64_t count, uint64_t seed, double* out) {
  GeneratorState state = seed_generator(seed);
  for (int64_t i = 0; i < count; ++i) {
    out[i] = clamp_draw(pg_sample(h[i], z[i], state));
  }
}

void run_chunk_worker(ChunkJob& job) {
  for (;;) {
    const int64_t k = job.next_chunk.fetch_add(1, std::memory_order_seq_cst);
    if (k >= job.chunk_count) return;
    const int64_t start = k * CHUNK_SIZE;
    const int64_t count = std::min(job.n - start, CHUNK_SIZE);
    sample_chunk(job.h + start, job.z + start, count, chunk_seed(job.base_seed, k),
                 job.out + start);
  }
}

RangeStatus sample_range(const double* h, const double* z, int64_t n, uint64_t base_seed,
                         double* out) {
  if (n <= CHUNK_SIZE) {
    sample_chunk(h, z, n, base_seed, out);
    return RangeStatus::kOk;
  }
  return sample_range_on_threads(h, z, n, base_seed, out, configured_thread_count());
}

RangeStatus sample_range_on_threads(const double* h, const double* z, int64_t n, uint64_t base_seed,
                                    double* out, int64_t thread_count) {
  if (n <= CHUNK_SIZE) {
    sample_chunk(h, z, n, base_seed, out);
    return RangeStatus::kOk;
  }

  ChunkJob job;
  job.n = n;
  job.base_seed = base_seed;
  job.h = h;
  job.z = z;
  job.out = out;
  job.chunk_count = (n + CHUNK_SIZE - 1) / CHUNK_SIZE;

  const int64_t threads = std::max<int64_t>(1, std::min<int64_t>(job.chunk_count, thread_count));
  if (threads == 1) {
    run_chunk_worker(job);  // chunks 0, 1, ..., K - 1 in order
    return RangeStatus::kOk;
  }

  // Room for every handle first, so that starting threads cannot fail half
  // way for lack of memory. If even that is missing, or a start fails, the
  // threads that did start and the calling thread share what is left.
  const int64_t wanted = threads - 1;
  std::unique_ptr<pthread_t[]> workers(new (std::nothrow) pthread_t[wanted]);
  const WorkerThreadOps& ops = worker_thread_ops();
  int64_t started = 0;
  if (workers) {
    while (started < wanted && ops.start(&workers[started], &worker_entry, &job) == 0) {
      ++started;
    }
  }

  run_chunk_worker(job);

  // Every started worker is joined, in start order, even after a failure:
  // they write into the caller's buffer and the job lives in this frame.
  bool all_joined = true;
  for (int64_t i = 0; i < started; ++i) {
    if (ops.join(workers[i]) != 0) all_joined = false;
  }
  return all_joined ? RangeStatus::kOk : RangeStatus::kJoinFailed;
}

}  // namespace vexol
