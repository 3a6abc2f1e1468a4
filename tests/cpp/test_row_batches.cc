// Batches of rows through the handlers: the float32 handlers against the
// float64 ones rounded, batched rows spread over threads, and one row of
// inputs shared by many rows of draws.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "ffi/chunk_runner.h"
#include "ffi/entry_points.h"
#include "ffi/worker_pool.h"
#include "test_chunk_support.h"
#include "test_ffi_call_frame.h"

namespace vexol {
namespace {

using testing::bit_identical;
using testing::make_inputs;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Every regime and the awkward values: h from 0.1 to 300 (and 0, negative,
// NaN, inf), |z| up to 50 (and NaN, inf).
void make_mixed_inputs(int64_t n, std::vector<double>& h, std::vector<double>& z) {
  static const double shapes[] = {0.1, 0.5,  0.99, 1.0,  2.0,   3.0,   1.7, 3.5,  4.5,  6.0, 7.9,
                                  8.0, 20.0, 49.9, 50.5, 120.0, 300.0, 0.0, -1.0, kNaN, kInf};
  static const double tilts[] = {0.0, 0.3, -1.0, 2.5, -7.0, 15.0, 50.0, -0.01, kNaN, kInf};
  h.resize(n);
  z.resize(n);
  for (int64_t i = 0; i < n; ++i) {
    h[i] = shapes[i % 21];
    z[i] = tilts[(i / 21) % 10];
  }
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// float32 outputs equal float64 outputs rounded to nearest, bit for bit
// (NaNs compared as NaN: the rounding of a NaN keeps it NaN).
::testing::AssertionResult rounded_equal(const std::vector<float>& f32,
                                         const std::vector<double>& f64) {
  if (f32.size() != f64.size()) return ::testing::AssertionFailure() << "sizes differ";
  for (size_t i = 0; i < f32.size(); ++i) {
    const float expected = static_cast<float>(f64[i]);
    const bool ok = std::isnan(expected) ? std::isnan(f32[i]) : same_bits(f32[i], expected);
    if (!ok) {
      return ::testing::AssertionFailure()
             << "element " << i << ": " << f32[i] << " vs float(" << f64[i] << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

std::vector<float> narrowed(const std::vector<double>& x) {
  return std::vector<float>(x.begin(), x.end());
}

std::vector<uint32_t> words_of(uint64_t seed) {
  return {static_cast<uint32_t>(seed >> 32), static_cast<uint32_t>(seed)};
}

TEST(Float32Handlers, FlatIsTheFloat64DrawRoundedForOneAndSeveralChunks) {
  const uint64_t seed = 0xFEDCBA9876543210ULL;
  for (int64_t n : {int64_t{5000}, 3 * CHUNK_SIZE + 11}) {
    SCOPED_TRACE(n);
    std::vector<double> h, z;
    make_mixed_inputs(n, h, z);
    // The float32 call sees float inputs; its reference is the float64 call
    // on those inputs widened.
    std::vector<float> hf = narrowed(h), zf = narrowed(z);
    std::vector<double> hw(hf.begin(), hf.end()), zw(zf.begin(), zf.end());
    for (int64_t threads : {1, 2, 3}) {
      std::vector<double> expected(n);
      sample_range_on_threads(hw.data(), zw.data(), n, seed, expected.data(), threads);
      std::vector<float> out(n, -1.0f);
      std::vector<uint32_t> words = words_of(seed);
      ASSERT_TRUE(testing::sampling_frame(hf, {n}, zf, {n}, words, {2}, out, {n})
                      .call(&pg_sample_f32_handler)
                      .ok);
      EXPECT_TRUE(rounded_equal(out, expected)) << "threads " << threads;
    }
  }
}

TEST(Float32Handlers, BatchedRowsFollowTheFloat64RowRule) {
  const int64_t rows = 3, length = 700;
  std::vector<double> h, z;
  make_mixed_inputs(rows * length, h, z);
  std::vector<float> hf = narrowed(h), zf = narrowed(z);
  std::vector<double> hw(hf.begin(), hf.end()), zw(zf.begin(), zf.end());
  const std::vector<uint64_t> seeds = {7, 0xFFFFFFFF00000001ULL, 1ULL << 40};
  std::vector<uint32_t> words;
  std::vector<int64_t> seeds64;
  for (uint64_t s : seeds) {
    words.push_back(static_cast<uint32_t>(s >> 32));
    words.push_back(static_cast<uint32_t>(s));
    seeds64.push_back(static_cast<int64_t>(s));
  }
  std::vector<double> expected(rows * length);
  ASSERT_TRUE(testing::sampling_frame(hw, {rows, length}, zw, {rows * length}, seeds64, {rows},
                                      expected, {rows * length})
                  .call(&pg_sample_batched_f64_handler)
                  .ok);
  std::vector<float> out(rows * length);
  ASSERT_TRUE(testing::sampling_frame(hf, {rows, length}, zf, {rows * length}, words, {rows, 2},
                                      out, {rows * length})
                  .call(&pg_sample_batched_f32_handler)
                  .ok);
  EXPECT_TRUE(rounded_equal(out, expected));

  // One pair for all rows: every row takes pair 0, as with one S64 seed.
  std::vector<uint32_t> one_pair(words.begin(), words.begin() + 2);
  std::vector<int64_t> one_seed{seeds64[0]};
  ASSERT_TRUE(testing::sampling_frame(hw, {rows, length}, zw, {rows * length}, one_seed, {1},
                                      expected, {rows * length})
                  .call(&pg_sample_batched_f64_handler)
                  .ok);
  ASSERT_TRUE(testing::sampling_frame(hf, {rows, length}, zf, {rows * length}, one_pair, {2}, out,
                                      {rows * length})
                  .call(&pg_sample_batched_f32_handler)
                  .ok);
  EXPECT_TRUE(rounded_equal(out, expected));
}

TEST(Float32Handlers, RefuseWhatTheFloat64OnesRefuseAndHalfSeeds) {
  std::vector<float> h(10, 1.0f), z(10, 0.5f), out(10, -2.0f);
  std::vector<uint32_t> words{1, 2, 3};
  struct Case {
    const char* what;
    XLA_FFI_Handler* entry;
    std::vector<int64_t> h_dims, z_dims, seed_dims, out_dims;
  };
  const Case cases[] = {
      {"flat, odd seed words", &pg_sample_f32_handler, {10}, {10}, {3}, {10}},
      {"flat, unequal counts", &pg_sample_f32_handler, {10}, {9}, {2}, {10}},
      {"flat, out too small", &pg_sample_f32_handler, {10}, {10}, {2}, {9}},
      {"batched, rank 1", &pg_sample_batched_f32_handler, {10}, {10}, {2}, {10}},
      {"batched, no seed", &pg_sample_batched_f32_handler, {2, 5}, {10}, {0}, {10}},
      {"batched, short z", &pg_sample_batched_f32_handler, {2, 5}, {9}, {2}, {10}},
      {"batched, out too small", &pg_sample_batched_f32_handler, {2, 5}, {10}, {2}, {9}},
      {"shared, out too small", &pg_sample_shared_f32_handler, {5}, {5}, {2, 2}, {9}},
      {"shared, unequal counts", &pg_sample_shared_f32_handler, {5}, {4}, {2}, {10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const testing::CallOutcome outcome =
        testing::sampling_frame(h, c.h_dims, z, c.z_dims, words, c.seed_dims, out, c.out_dims)
            .call(c.entry);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.code, 3);
    for (float x : out) ASSERT_EQ(x, -2.0f);
  }
}

// Rows of draws from a batched call on the given thread count.
std::vector<double> batched_rows(const std::vector<double>& h, const std::vector<double>& z,
                                 int64_t rows, int64_t length, const std::vector<int64_t>& seeds,
                                 int64_t threads, int64_t stride) {
  std::vector<double> out(rows * length, -1.0);
  sample_rows_on_threads(
      RowBatch<double>{h.data(), z.data(), out.data(), rows, length, stride,
                       SeedSource{seeds.data(), nullptr, static_cast<int64_t>(seeds.size())}, true},
      threads, process_worker_pool());
  return out;
}

// Each row on its own: the flat range rule with that row's seed.
std::vector<double> rows_one_by_one(const std::vector<double>& h, const std::vector<double>& z,
                                    int64_t rows, int64_t length, const std::vector<int64_t>& seeds,
                                    int64_t stride) {
  std::vector<double> out(rows * length);
  for (int64_t r = 0; r < rows; ++r) {
    const uint64_t given =
        static_cast<uint64_t>(seeds.size() == size_t(rows) ? seeds[r] : seeds[0]);
    sample_range_on_threads(&h[r * stride], &z[r * stride], length, row_seed(given, r),
                            &out[r * length], 1);
  }
  return out;
}

TEST(BatchedRows, AreTheSameForEveryThreadCount) {
  struct Shape {
    int64_t rows, length;
  };
  // Many short rows; rows just below, at and just above one chunk; one
  // long row; a batch too small to be worth a worker.
  for (const Shape s : {Shape{64, 300}, Shape{3, CHUNK_SIZE - 1}, Shape{2, CHUNK_SIZE},
                        Shape{2, CHUNK_SIZE + 1}, Shape{1, 3 * CHUNK_SIZE + 5}, Shape{4, 7}}) {
    SCOPED_TRACE(::testing::Message() << s.rows << " x " << s.length);
    std::vector<double> h, z;
    make_mixed_inputs(s.rows * s.length, h, z);
    std::vector<int64_t> seeds;
    for (int64_t r = 0; r < s.rows; ++r) seeds.push_back(1000 + 17 * r);
    const std::vector<double> expected = rows_one_by_one(h, z, s.rows, s.length, seeds, s.length);
    for (int64_t threads : {1, 2, 3, 64}) {
      EXPECT_TRUE(
          bit_identical(batched_rows(h, z, s.rows, s.length, seeds, threads, s.length), expected))
          << threads << " threads";
    }
  }
}

TEST(SharedInputs, EveryRowIsTheBatchedRowOfTheRepeatedInputs) {
  for (int64_t length : {int64_t{500}, CHUNK_SIZE + 3}) {
    SCOPED_TRACE(length);
    const int64_t rows = 5;
    std::vector<double> h, z;
    make_mixed_inputs(length, h, z);
    std::vector<double> h_rep, z_rep;
    for (int64_t r = 0; r < rows; ++r) {
      h_rep.insert(h_rep.end(), h.begin(), h.end());
      z_rep.insert(z_rep.end(), z.begin(), z.end());
    }
    std::vector<int64_t> seeds{5, 6, 7, 8, 9};
    std::vector<double> expected(rows * length), out(rows * length, -1.0);
    ASSERT_TRUE(testing::sampling_frame(h_rep, {rows, length}, z_rep, {rows * length}, seeds,
                                        {rows}, expected, {rows, length})
                    .call(&pg_sample_batched_f64_handler)
                    .ok);
    ASSERT_TRUE(
        testing::sampling_frame(h, {length}, z, {length}, seeds, {rows}, out, {rows, length})
            .call(&pg_sample_shared_f64_handler)
            .ok);
    EXPECT_TRUE(bit_identical(out, expected));

    // The float32 version: the float64 rows rounded.
    std::vector<float> hf = narrowed(h), zf = narrowed(z), outf(rows * length);
    std::vector<double> hw(hf.begin(), hf.end()), zw(zf.begin(), zf.end());
    std::vector<double> widened_expected(rows * length);
    ASSERT_TRUE(testing::sampling_frame(hw, {length}, zw, {length}, seeds, {rows}, widened_expected,
                                        {rows, length})
                    .call(&pg_sample_shared_f64_handler)
                    .ok);
    std::vector<uint32_t> words;
    for (int64_t s : seeds) {
      words.push_back(0);
      words.push_back(static_cast<uint32_t>(s));
    }
    ASSERT_TRUE(
        testing::sampling_frame(hf, {length}, zf, {length}, words, {rows, 2}, outf, {rows, length})
            .call(&pg_sample_shared_f32_handler)
            .ok);
    EXPECT_TRUE(rounded_equal(outf, widened_expected));
  }
}

}  // namespace
}  // namespace vexol
