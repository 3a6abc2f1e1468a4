// The chunk runner: clamping, the chunk layout and seeds, independence of
// the thread count, the worker pool (how many workers it starts, what
// happens when one cannot be started or joined, fork).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "ffi/chunk_runner.h"
#include "ffi/thread_count.h"
#include "ffi/worker_pool.h"
#include "test_chunk_support.h"

namespace vexol {
namespace {

using testing::bit_identical;
using testing::chunked_reference;
using testing::CountingThreads;
using testing::make_inputs;

constexpr uint64_t kSeed = 0x0123456789ABCDEFULL;

TEST(ClampDraw, FloorsSmallDrawsAndPassesNaN) {
  EXPECT_EQ(clamp_draw(0.0), 1e-12);
  EXPECT_EQ(clamp_draw(-0.0), 1e-12);
  EXPECT_FALSE(std::signbit(clamp_draw(-0.0)));
  EXPECT_EQ(clamp_draw(-5.0), 1e-12);
  EXPECT_EQ(clamp_draw(9.99e-13), 1e-12);
  EXPECT_EQ(clamp_draw(-std::numeric_limits<double>::infinity()), 1e-12);
  EXPECT_EQ(clamp_draw(1e-12), 1e-12);
  EXPECT_EQ(clamp_draw(1.0000000000000001e-12), 1.0000000000000001e-12);
  EXPECT_EQ(clamp_draw(0.25), 0.25);
  EXPECT_TRUE(std::isnan(clamp_draw(std::numeric_limits<double>::quiet_NaN())));
}

TEST(ChunkSeed, MixesIndexMultiplesIntoBaseSeed) {
  EXPECT_EQ(chunk_seed(0, 0), 0xD1B54A32D192ED03ULL);
  EXPECT_EQ(chunk_seed(0, 1), 0xA36A9465A325DA06ULL);
  EXPECT_EQ(chunk_seed(0, 2), 0x751FDE9874B8C709ULL);
  EXPECT_EQ(chunk_seed(kSeed, 1), 0xA36A9465A325DA06ULL ^ kSeed);
  EXPECT_EQ(chunk_seed(~0ULL, 0), ~0xD1B54A32D192ED03ULL);
}

TEST(SampleChunk, StoresClampedDrawsInElementOrder) {
  // h = 0 with |z| <= 1 draws exactly 0.0; h > 50 with a NaN tilt (the
  // normal approximation) draws NaN.
  std::vector<double> h = {0.0, 60.0, 1.0, 0.0};
  std::vector<double> z = {0.5, std::numeric_limits<double>::quiet_NaN(), 0.5, -1.0};
  std::vector<double> out(4, -7.0);
  sample_chunk(h.data(), z.data(), 4, kSeed, out.data());
  EXPECT_EQ(out[0], 1e-12);
  EXPECT_TRUE(std::isnan(out[1]));
  EXPECT_GT(out[2], 1e-12);
  EXPECT_EQ(out[3], 1e-12);

  // One generator threads through the chunk: the third element's draw is
  // not that of a fresh generator.
  std::vector<double> alone(1);
  sample_chunk(&h[2], &z[2], 1, kSeed, alone.data());
  EXPECT_NE(out[2], alone[0]);

  // An empty chunk writes nothing.
  double untouched = -3.0;
  sample_chunk(h.data(), z.data(), 0, kSeed, &untouched);
  EXPECT_EQ(untouched, -3.0);
}

TEST(SampleRange, ShortRangeIsOneUnmixedChunkOnTheCallingThread) {
  std::vector<double> h, z;
  make_inputs(CHUNK_SIZE, h, z);
  std::vector<double> direct(CHUNK_SIZE), ranged(CHUNK_SIZE, -1.0);
  sample_chunk(h.data(), z.data(), CHUNK_SIZE, kSeed, direct.data());

  CountingThreads threads;
  sample_range_on_threads(h.data(), z.data(), CHUNK_SIZE, kSeed, ranged.data(), 8);
  EXPECT_TRUE(bit_identical(direct, ranged));
  EXPECT_EQ(threads.start_attempts(), 0);

  // n = 0 writes nothing and starts nothing.
  double untouched = -3.0;
  sample_range_on_threads(h.data(), z.data(), 0, kSeed, &untouched, 8);
  EXPECT_EQ(untouched, -3.0);
  EXPECT_EQ(threads.start_attempts(), 0);
}

TEST(SampleRange, LongRangeIsTheSameChunkedOutputForEveryThreadCount) {
  // Three chunks, the last one of 5 elements.
  const int64_t n = 2 * CHUNK_SIZE + 5;
  std::vector<double> h, z;
  make_inputs(n, h, z);
  const std::vector<double> expected = chunked_reference(h, z, kSeed);

  for (int64_t threads : {1, 2, 3, 8}) {
    std::vector<double> out(n, -1.0);
    sample_range_on_threads(h.data(), z.data(), n, kSeed, out.data(), threads);
    EXPECT_TRUE(bit_identical(out, expected)) << "threads = " << threads;
  }

  // The first chunk is mixed: it is not what the short-range rule (the
  // base seed itself) would give.
  std::vector<double> unmixed(CHUNK_SIZE);
  sample_chunk(h.data(), z.data(), CHUNK_SIZE, kSeed, unmixed.data());
  EXPECT_FALSE(
      bit_identical(unmixed, std::vector<double>(expected.begin(), expected.begin() + CHUNK_SIZE)));
}

// A flat range as a batch of one row, run on a given pool.
void range_on_pool(const std::vector<double>& h, const std::vector<double>& z, int64_t n,
                   std::vector<double>& out, int64_t threads, WorkerPool& pool) {
  const int64_t seed = static_cast<int64_t>(kSeed);
  sample_rows_on_threads(RowBatch<double>{h.data(), z.data(), out.data(), 1, n, n,
                                          SeedSource{&seed, nullptr, 1}, false},
                         threads, pool);
}

TEST(WorkerPool, StartsWorkersLazilyAndOnlyAsManyAsACallCanUse) {
  std::vector<double> h, z;
  make_inputs(5 * CHUNK_SIZE, h, z);
  std::vector<double> out(h.size());
  CountingThreads threads;
  {
    WorkerPool pool(&testing::CountingThreadOps::ops);
    EXPECT_EQ(threads.start_attempts(), 0);  // nothing at construction
    struct Case {
      int64_t chunks, threads;
      int workers_after;
    };
    // Three chunks on eight threads use two workers; fewer threads than the
    // pool has start nothing; more start only the missing ones; one thread
    // never touches the pool.
    for (const Case c : {Case{3, 8, 2}, Case{5, 3, 2}, Case{5, 4, 3}, Case{4, 1, 3}}) {
      range_on_pool(h, z, c.chunks * CHUNK_SIZE, out, c.threads, pool);
      EXPECT_EQ(pool.workers(), c.workers_after) << c.chunks << " chunks, " << c.threads;
      EXPECT_EQ(threads.starts(), c.workers_after);
    }
  }
  // A pool that goes away joins every worker it started.
  EXPECT_EQ(threads.joins(), 3);
}

TEST(WorkerPool, WorkersThatCannotStartLeaveTheirChunksToTheOthers) {
  const int64_t n = 5 * CHUNK_SIZE + 17;
  std::vector<double> h, z;
  make_inputs(n, h, z);
  const std::vector<double> expected = chunked_reference(h, z, kSeed);

  struct Case {
    int fail_start_from;
    int started;
  };
  // No worker at all; then the first worker starts and the second fails.
  for (const Case c : {Case{0, 0}, Case{1, 1}}) {
    CountingThreads threads(c.fail_start_from);
    {
      WorkerPool pool(&testing::CountingThreadOps::ops);
      std::vector<double> out(n, -1.0);
      range_on_pool(h, z, n, out, 4, pool);
      EXPECT_TRUE(bit_identical(out, expected)) << "failing from start " << c.fail_start_from;
      // No further start is attempted after the first failure in a call.
      EXPECT_EQ(threads.start_attempts(), c.started + 1);
      EXPECT_EQ(threads.starts(), c.started);
      EXPECT_EQ(pool.workers(), c.started);
    }
    EXPECT_EQ(threads.joins(), c.started);
  }
}

TEST(WorkerPoolDeathTest, AFailedJoinEndsTheProcessInsteadOfFreeingUnderAWorker) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::vector<double> h, z;
  make_inputs(3 * CHUNK_SIZE, h, z);
  std::vector<double> out(h.size());
  EXPECT_DEATH(
      {
        CountingThreads threads(/*fail_start_from=*/-1, /*fail_join_at=*/0);
        WorkerPool pool(&testing::CountingThreadOps::ops);
        range_on_pool(h, z, 3 * CHUNK_SIZE, out, 3, pool);
      },
      "joining a worker thread failed");
}

// fork() copies only the calling thread: a child must not wait for the
// parent's workers. It starts its own and draws the same values.
int child_after_fork(const std::vector<double>& h, const std::vector<double>& z,
                     const std::vector<double>& expected) {
  alarm(60);  // a hang fails the test instead of stalling it
  std::vector<double> out(h.size());
  sample_range_on_threads(h.data(), z.data(), static_cast<int64_t>(h.size()), kSeed, out.data(), 3);
  return bit_identical(out, expected) && process_worker_pool().workers() == 2 ? 0 : 1;
}

TEST(WorkerPool, AForkedChildDrawsWithWorkersOfItsOwn) {
  const int64_t n = 4 * CHUNK_SIZE;
  std::vector<double> h, z;
  make_inputs(n, h, z);
  const std::vector<double> expected = chunked_reference(h, z, kSeed);
  std::vector<double> out(n);
  sample_range_on_threads(h.data(), z.data(), n, kSeed, out.data(), 3);  // the parent's pool
  ASSERT_TRUE(bit_identical(out, expected));
  ASSERT_GE(process_worker_pool().workers(), 2);

  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) _exit(child_after_fork(h, z, expected));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child was killed (signal " << WTERMSIG(status) << ")";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The parent's pool still works after the fork.
  std::vector<double> again(n);
  sample_range_on_threads(h.data(), z.data(), n, kSeed, again.data(), 3);
  EXPECT_TRUE(bit_identical(again, expected));
}

TEST(ThreadCountSetting, ParsesLikeStrtolAndFallsBackToHardware) {
  struct Case {
    const char* text;
    unsigned hardware;
    uint32_t expected;
  };
  const Case cases[] = {
      {nullptr, 6, 6},
      {"", 6, 6},
      {"0", 6, 6},
      {"-2", 6, 6},
      {"abc", 6, 6},
      {"4abc", 6, 4},
      {"  4", 6, 4},
      {"\t+3", 6, 3},
      {"1", 6, 1},
      {"64", 2, 64},
      {"007", 2, 7},
      {"4 5", 2, 4},
      {"0x10", 2, 2},
      {"nan", 2, 2},
      {"99999999999", 2, 2147483647u},
      {"2147483648", 2, 2147483647u},
      {"-99999999999", 3, 3},
      {nullptr, 0, 1},
      {"0", 0, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(thread_count_from_setting(c.text, c.hardware), c.expected)
        << "text \"" << (c.text ? c.text : "(unset)") << "\", hardware " << c.hardware;
  }
}

// The configured count is process-wide and computed once, so each of these
// runs in a fresh process (the death-test child re-executes this binary).
class ConfiguredThreadCount : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Each child returns 0 when all went as expected.
int read_once_child() {
  setenv("VEXOL_NUM_THREADS", "3", 1);
  const uint32_t first = configured_thread_count();
  setenv("VEXOL_NUM_THREADS", "5", 1);
  return first == 3 && configured_thread_count() == 3 ? 0 : 1;
}

int short_range_child() {
  std::vector<double> h, z, out(CHUNK_SIZE);
  make_inputs(CHUNK_SIZE, h, z);
  setenv("VEXOL_NUM_THREADS", "3", 1);
  sample_range(h.data(), z.data(), CHUNK_SIZE, kSeed, out.data());
  setenv("VEXOL_NUM_THREADS", "5", 1);
  return configured_thread_count() == 5 ? 0 : 1;
}

int eight_threads_child() {
  setenv("VEXOL_NUM_THREADS", "8", 1);
  std::vector<double> h, z, out(3 * CHUNK_SIZE);
  make_inputs(3 * CHUNK_SIZE, h, z);
  CountingThreads threads;
  sample_range(h.data(), z.data(), 3 * CHUNK_SIZE, kSeed, out.data());
  const bool ok = threads.starts() == 2 && bit_identical(out, chunked_reference(h, z, kSeed));
  if (!ok) std::fprintf(stderr, "starts %d\n", threads.starts());
  return ok ? 0 : 1;
}

TEST_F(ConfiguredThreadCount, IsReadOnceFromTheEnvironment) {
  EXPECT_EXIT(std::exit(read_once_child()), ::testing::ExitedWithCode(0), "");
}

TEST_F(ConfiguredThreadCount, IsNotReadByShortRanges) {
  EXPECT_EXIT(std::exit(short_range_child()), ::testing::ExitedWithCode(0), "");
}

TEST_F(ConfiguredThreadCount, EightThreadsOnThreeChunksStartTwoWorkers) {
  EXPECT_EXIT(std::exit(eight_threads_child()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vexol
