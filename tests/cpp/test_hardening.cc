// Hardening of the call entry: many host threads calling both handlers at
// once, allocations and threads that a call leaves behind, every error path
// leaving `out` alone, and inputs full of awkward doubles finishing in
// bounded time with outputs that follow the rules (>= 1e-12 or NaN, NaN for
// a NaN shape).
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "ffi/chunk_runner.h"
#include "ffi/entry_points.h"
#include "ffi/handlers.h"
#include "polya_gamma/pg_sample.h"
#include "test_chunk_support.h"
#include "test_ffi_allocation_counter.h"
#include "test_ffi_call_frame.h"
#include "test_support.h"

namespace vexol {
namespace {

using testing::CallFrameBuilder;
using testing::CallOutcome;
using testing::sampling_frame;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Divides the repetitions of the heavier tests by VEXOL_TEST_SCALE: with 4,
// one round of six and 100 calls of 400.
int test_scale() {
  const char* s = std::getenv("VEXOL_TEST_SCALE");
  const int v = s != nullptr ? std::atoi(s) : 1;
  return v > 1 ? v : 1;
}

uint64_t bits_of(double x) {
  uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

// A sentinel no draw can produce: a negative quiet NaN with a payload.
double sentinel() {
  const uint64_t b = 0xFFF5DEADBEEF0001ULL;
  double x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

bool untouched(const std::vector<double>& out) {
  for (double x : out) {
    if (bits_of(x) != bits_of(sentinel())) return false;
  }
  return true;
}

int live_threads() {
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

// One flat and one batched call per host thread; every input is large
// enough to be cut into chunks and so to start workers of its own.
struct StressCase {
  std::vector<double> h, z;
  std::vector<int64_t> seed;
  std::vector<int64_t> dims;
  bool batched;
  std::vector<double> expected;
};

std::vector<StressCase> stress_cases(int count) {
  std::vector<StressCase> cases;
  for (int t = 0; t < count; ++t) {
    StressCase c;
    c.batched = t % 2 == 1;
    const int64_t n = c.batched ? 2 * (CHUNK_SIZE + 1000 + 7 * t) : 2 * CHUNK_SIZE + 4321 + 11 * t;
    testing::make_inputs(n, c.h, c.z);
    // Shift the regimes between cases so that no two threads do the same.
    std::rotate(c.h.begin(), c.h.begin() + t, c.h.end());
    c.seed = c.batched ? std::vector<int64_t>{1000 + t, -1000 - t}
                       : std::vector<int64_t>{0x5EED0000 + t};
    c.dims = c.batched ? std::vector<int64_t>{2, n / 2} : std::vector<int64_t>{n};
    cases.push_back(std::move(c));
  }
  return cases;
}

CallOutcome call(StressCase& c, std::vector<double>& out) {
  auto frame = sampling_frame(c.h, c.dims, c.z, c.dims, c.seed,
                              {static_cast<int64_t>(c.seed.size())}, out, c.dims);
  return frame.call(c.batched ? &pg_sample_batched_f64_handler : &pg_sample_f64_handler);
}

TEST(ConcurrentCalls, EveryHostThreadGetsTheSequentialOutputBitForBit) {
  // Four threads per chunked run, on top of the host threads.
  setenv("VEXOL_NUM_THREADS", "4", 1);
  const int host_threads = 8;
  const int rounds = std::max(1, 6 / test_scale());
  std::vector<StressCase> cases = stress_cases(host_threads);
  for (StressCase& c : cases) {
    c.expected.assign(c.h.size(), sentinel());
    const CallOutcome outcome = call(c, c.expected);
    ASSERT_TRUE(outcome.ok) << outcome.message;
  }
  // The expected outputs are the flat and row layouts of the chunk runner.
  ASSERT_TRUE(testing::bit_identical(
      cases[0].expected, testing::chunked_reference(cases[0].h, cases[0].z, 0x5EED0000)));

  std::atomic<int> mismatches{0}, failures{0}, ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < host_threads; ++t) {
    threads.emplace_back([&, t] {
      StressCase& c = cases[t];
      std::vector<double> out(c.h.size());
      ready.fetch_add(1);
      while (ready.load() < host_threads) std::this_thread::yield();
      for (int r = 0; r < rounds; ++r) {
        std::fill(out.begin(), out.end(), sentinel());
        if (!call(c, out).ok) failures.fetch_add(1);
        if (!testing::bit_identical(out, c.expected)) mismatches.fetch_add(1);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(ConcurrentCalls, ManySmallCallsAtOnceMatchTheSequentialOnes) {
  // Single-chunk calls run entirely on the host threads: many of them at
  // once share only the handler objects and the ziggurat tables.
  const int host_threads = 6;
  const int calls = std::max(50, 400 / test_scale());
  std::vector<double> h, z;
  testing::make_inputs(997, h, z);
  std::vector<std::vector<double>> expected(calls, std::vector<double>(h.size()));
  for (int i = 0; i < calls; ++i) {
    sample_range(h.data(), z.data(), 997, static_cast<uint64_t>(i), expected[i].data());
  }
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < host_threads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<double> hh = h, zz = z, out(h.size());
      for (int i = t; i < calls; i += host_threads) {
        std::vector<int64_t> seed{i};
        auto frame = sampling_frame(hh, {997}, zz, {997}, seed, {}, out, {997});
        if (!frame.call(&pg_sample_f64_handler).ok || !testing::bit_identical(out, expected[i])) {
          bad.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
}

// Allocations of one warm call of `entry` with `n` elements of rows of
// length n / rows.
int allocations_of_call(XLA_FFI_Handler* entry, int64_t rows, int64_t n) {
  std::vector<double> h, z;
  testing::make_inputs(n, h, z);
  std::vector<double> out(n);
  std::vector<int64_t> seed{17};
  const std::vector<int64_t> dims = entry == &pg_sample_f64_handler
                                        ? std::vector<int64_t>{n}
                                        : std::vector<int64_t>{rows, n / rows};
  auto frame = sampling_frame(h, dims, z, dims, seed, {1}, out, dims);
  XLA_FFI_CallFrame* raw = frame.frame();
  EXPECT_EQ(entry(raw), nullptr);  // warm: the handler object exists
  int count = 0;
  {
    testing::AllocationCounter counter;
    XLA_FFI_Error* error = entry(raw);
    count = counter.count();
    EXPECT_EQ(error, nullptr);
  }
  return count;
}

TEST(Allocations, NothingIsAllocatedPerCall) {
  setenv("VEXOL_NUM_THREADS", "2", 1);
  // One chunk: no allocation at all, whatever the length.
  EXPECT_EQ(allocations_of_call(&pg_sample_f64_handler, 1, 10), 0);
  EXPECT_EQ(allocations_of_call(&pg_sample_f64_handler, 1, CHUNK_SIZE), 0);
  // Work spread over the pool: its workers are started by the warm-up call
  // and reused, so a warm call allocates nothing, however many chunks or
  // rows it has.
  EXPECT_EQ(allocations_of_call(&pg_sample_batched_f64_handler, 10, 10 * 1000), 0);
  EXPECT_EQ(allocations_of_call(&pg_sample_f64_handler, 1, CHUNK_SIZE + 10), 0);
  EXPECT_EQ(allocations_of_call(&pg_sample_f64_handler, 1, 7 * CHUNK_SIZE - 3), 0);
  EXPECT_EQ(allocations_of_call(&pg_sample_batched_f64_handler, 1, 3 * CHUNK_SIZE), 0);
  EXPECT_EQ(allocations_of_call(&pg_sample_batched_f64_handler, 64, 64 * 300), 0);
}

TEST(WorkerThreads, ThePoolIsStartedOnceAndReused) {
  setenv("VEXOL_NUM_THREADS", "4", 1);
  std::vector<double> h, z;
  testing::make_inputs(5 * CHUNK_SIZE, h, z);
  std::vector<double> out(h.size());
  std::vector<int64_t> seed{3};
  // A first chunked call starts the pool (and, under the thread sanitizer,
  // a thread of the sanitizer's own).
  sample_range(h.data(), z.data(), 5 * CHUNK_SIZE, 3, out.data());
  const int before = live_threads();
  ASSERT_GT(before, 0);
  // Later calls of every kind start no thread and leave none behind.
  testing::CountingThreads counting;
  for (int i = 0; i < 3; ++i) {
    auto flat =
        sampling_frame(h, {5 * CHUNK_SIZE}, z, {5 * CHUNK_SIZE}, seed, {1}, out, {5 * CHUNK_SIZE});
    ASSERT_TRUE(flat.call(&pg_sample_f64_handler).ok);
    EXPECT_EQ(live_threads(), before) << "after flat call " << i;
    auto batched = sampling_frame(h, {5, CHUNK_SIZE + 0}, z, {5 * CHUNK_SIZE}, seed, {1}, out,
                                  {5 * CHUNK_SIZE});
    ASSERT_TRUE(batched.call(&pg_sample_batched_f64_handler).ok);
    EXPECT_EQ(live_threads(), before) << "after batched call " << i;
    auto long_rows = sampling_frame(h, {2, 5 * CHUNK_SIZE / 2}, z, {5 * CHUNK_SIZE}, seed, {1}, out,
                                    {5 * CHUNK_SIZE});
    ASSERT_TRUE(long_rows.call(&pg_sample_batched_f64_handler).ok);
    EXPECT_EQ(live_threads(), before) << "after batched call with long rows " << i;
  }
  EXPECT_EQ(counting.start_attempts(), 0);
}

// The runtime may hand the same memory as an input and as out (an aliased
// operand): each element is read before it is written, so the draws are
// those of separate buffers, for one chunk and for many.
TEST(AliasedBuffers, OutOverInputsGivesTheSameDraws) {
  setenv("VEXOL_NUM_THREADS", "3", 1);
  for (int64_t n : {int64_t{1000}, 3 * CHUNK_SIZE + 77}) {
    SCOPED_TRACE(n);
    std::vector<double> h, z;
    testing::make_inputs(n, h, z);
    std::vector<int64_t> seed{77};
    std::vector<double> expected(n);
    ASSERT_TRUE(
        sampling_frame(h, {n}, z, {n}, seed, {1}, expected, {n}).call(&pg_sample_f64_handler).ok);
    std::vector<double> over_h = h;
    ASSERT_TRUE(sampling_frame(over_h, {n}, z, {n}, seed, {1}, over_h, {n})
                    .call(&pg_sample_f64_handler)
                    .ok);
    EXPECT_TRUE(testing::bit_identical(over_h, expected));
    std::vector<double> over_z = z;
    ASSERT_TRUE(sampling_frame(h, {1, n}, over_z, {n}, seed, {1}, over_z, {n})
                    .call(&pg_sample_batched_f64_handler)
                    .ok);
    std::vector<double> batched_expected(n);
    sample_range(h.data(), z.data(), n, ROW_SEED_MULTIPLIER ^ 77, batched_expected.data());
    EXPECT_TRUE(testing::bit_identical(over_z, batched_expected));
  }
}

// Every way a call can be refused, on buffers big enough that sampling
// would start workers: the answer is code 3 with a message, and out keeps
// every bit it had.
TEST(ErrorPaths, EveryRefusalLeavesOutUntouched) {
  const int64_t n = 2 * CHUNK_SIZE + 5;
  std::vector<double> h, z;
  testing::make_inputs(n, h, z);
  std::vector<int64_t> seed{1, 2};
  std::vector<int64_t> no_seed{};
  std::vector<double> z_short(z.begin(), z.end() - 1);
  struct Case {
    const char* what;
    XLA_FFI_Handler* entry;
    std::vector<int64_t> h_dims, z_dims, seed_dims, out_dims;
    bool empty_seed;
    bool short_z;
    const char* message;  // null: any message (the binding's own)
  };
  const std::vector<Case> cases = {
      {"flat, unequal counts",
       &pg_sample_f64_handler,
       {n},
       {n - 1},
       {1},
       {n},
       false,
       true,
       "vexol: h and z must have equal length"},
      {"flat, out too small",
       &pg_sample_f64_handler,
       {n},
       {n},
       {1},
       {n - 1},
       false,
       false,
       "vexol: out must hold at least as many elements as h"},
      {"batched, rank 1",
       &pg_sample_batched_f64_handler,
       {n},
       {n},
       {1},
       {n},
       false,
       false,
       "vexol: batched h must be >= 2D"},
      {"batched, rank 0",
       &pg_sample_batched_f64_handler,
       {},
       {},
       {1},
       {n},
       false,
       false,
       "vexol: batched h must be >= 2D"},
      {"batched, no seed",
       &pg_sample_batched_f64_handler,
       {5, n / 5},
       {n},
       {0},
       {n},
       true,
       false,
       "vexol: batched seed must hold at least one element"},
      {"batched, z too small",
       &pg_sample_batched_f64_handler,
       {1, n},
       {n - 1},
       {1},
       {n},
       false,
       true,
       "vexol: batched z must hold at least as many elements as h"},
      {"batched, out too small",
       &pg_sample_batched_f64_handler,
       {1, n},
       {n},
       {1},
       {n - 1},
       false,
       false,
       "vexol: out must hold at least as many elements as h"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<double> out(n, sentinel());
    auto frame = sampling_frame(h, c.h_dims, c.short_z ? z_short : z, c.z_dims,
                                c.empty_seed ? no_seed : seed, c.seed_dims, out, c.out_dims);
    const CallOutcome outcome = frame.call(c.entry);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.code, XLA_FFI_Error_Code_INVALID_ARGUMENT);
    EXPECT_EQ(outcome.message, c.message);
    EXPECT_TRUE(untouched(out));
  }
  // Refusals of the binding: a wrong element type in each position, and a
  // wrong number of arguments. The handler does not run.
  for (XLA_FFI_Handler* entry : {&pg_sample_f64_handler, &pg_sample_batched_f64_handler}) {
    for (int position = 0; position < 4; ++position) {
      SCOPED_TRACE(position);
      std::vector<double> out(n, sentinel());
      XLA_FFI_DataType types[4] = {XLA_FFI_DataType_F64, XLA_FFI_DataType_F64, XLA_FFI_DataType_S64,
                                   XLA_FFI_DataType_F64};
      types[position] = XLA_FFI_DataType_F32;
      CallFrameBuilder b;
      b.arg(types[0], h.data(), {1, n})
          .arg(types[1], z.data(), {1, n})
          .arg(types[2], seed.data(), {1})
          .ret(types[3], out.data(), {1, n});
      const CallOutcome outcome = b.call(entry);
      EXPECT_FALSE(outcome.ok);
      EXPECT_EQ(outcome.code, XLA_FFI_Error_Code_INVALID_ARGUMENT);
      EXPECT_FALSE(outcome.message.empty());
      EXPECT_TRUE(untouched(out));
    }
    for (int args : {2, 4}) {
      std::vector<double> out(n, sentinel());
      CallFrameBuilder b;
      b.arg(XLA_FFI_DataType_F64, h.data(), {1, n}).arg(XLA_FFI_DataType_F64, z.data(), {1, n});
      if (args == 4) {
        b.arg(XLA_FFI_DataType_S64, seed.data(), {1}).arg(XLA_FFI_DataType_S64, seed.data(), {1});
      }
      b.ret(XLA_FFI_DataType_F64, out.data(), {1, n});
      const CallOutcome outcome = b.call(entry);
      EXPECT_FALSE(outcome.ok) << args << " arguments";
      EXPECT_EQ(outcome.code, XLA_FFI_Error_Code_INVALID_ARGUMENT);
      EXPECT_TRUE(untouched(out));
    }
  }
}

// Every pair of awkward shape and tilt, each element in a chunk of its own
// and all of them in one call; the whole grid must finish, and every output
// follow the rules.
TEST(AwkwardInputs, FinishInBoundedTimeAndFollowTheRules) {
  const double tiny = std::numeric_limits<double>::denorm_min();
  const double huge = std::numeric_limits<double>::max();
  const std::vector<double> values = {
      kNaN,   -kNaN, kInf, -kInf, 0.0,  -0.0,  tiny, -tiny, 2.2250738585072014e-308,
      1e-300, 1e-12, 0.5,  1.0,   -1.0, 3.0,   4.0,  4.5,   7.9999999999999,
      8.0,    50.0,  50.5, -3.0,  -0.5, 710.5, 1e6,  1e100, 1e206,
      1e300,  huge,  -huge};
  std::vector<double> h, z;
  for (double hv : values) {
    for (double zv : values) {
      h.push_back(hv);
      z.push_back(zv);
    }
  }
  const int64_t n = static_cast<int64_t>(h.size());
  std::vector<double> flat_out(n, sentinel()), batched_out(n, sentinel());
  std::vector<int64_t> seed{-1};
  const std::vector<int64_t> rows{static_cast<int64_t>(values.size()),
                                  static_cast<int64_t>(values.size())};
  testing::run_with_deadline(
      [&] {
        for (int64_t s : {int64_t{-1}, int64_t{0}, int64_t{12345}}) {
          seed[0] = s;
          auto flat = sampling_frame(h, {n}, z, {n}, seed, {1}, flat_out, {n});
          EXPECT_TRUE(flat.call(&pg_sample_f64_handler).ok);
          auto batched = sampling_frame(h, rows, z, {n}, seed, {1}, batched_out, {n});
          EXPECT_TRUE(batched.call(&pg_sample_batched_f64_handler).ok);
          for (int64_t i = 0; i < n; ++i) {
            for (double x : {flat_out[i], batched_out[i]}) {
              EXPECT_TRUE(x >= DRAW_FLOOR || std::isnan(x))
                  << "h = " << h[i] << ", z = " << z[i] << " gave " << x;
              if (std::isnan(h[i])) {
                EXPECT_TRUE(std::isnan(x)) << "z = " << z[i];
              }
            }
          }
        }
        return 0;
      },
      std::chrono::seconds(60));
}

// The single draws behind the grid, one by one, each within a budget of
// generator outputs: a loop that never decides would show up here as an
// exhausted budget rather than a hang of the whole call.
TEST(AwkwardInputs, EveryDrawTakesABoundedNumberOfOutputs) {
  const std::vector<double> values = {std::numeric_limits<double>::quiet_NaN(),
                                      kInf,
                                      -kInf,
                                      0.0,
                                      -0.0,
                                      std::numeric_limits<double>::denorm_min(),
                                      1.0,
                                      2.0,
                                      4.5,
                                      8.0,
                                      60.0,
                                      -2.0,
                                      1e206,
                                      1e300,
                                      std::numeric_limits<double>::max()};
  testing::run_with_deadline(
      [&] {
        for (double h : values) {
          for (double z : values) {
            for (uint64_t seed = 0; seed < 20; ++seed) {
              const GeneratorState start = seed_generator(seed);
              GeneratorState g = start;
              const double x = pg_sample(h, z, g);
              EXPECT_GE(testing::outputs_between(start, g, 1000000), 0)
                  << "h = " << h << ", z = " << z;
              if (std::isnan(h)) {
                EXPECT_TRUE(std::isnan(x)) << "z = " << z;
              }
            }
          }
        }
        return 0;
      },
      std::chrono::seconds(120));
}

}  // namespace
}  // namespace vexol
