// The call entry's floating-point mode and the handlers on request:
//   - the draws do not depend on the calling thread's mode (flush-to-zero
//     and denormals-are-zero, as on XLA's CPU threads), on the caller's
//     thread or on pool workers started from such a thread, and the
//     caller's mode is given back;
//   - the handlers with a `method` attribute follow the seeding, chunking,
//     threading and float32 rules of the default ones, method 0 draws the
//     default stream, and unknown codes are refused.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "ffi/chunk_runner.h"
#include "ffi/entry_points.h"
#include "ffi/fp_mode.h"
#include "ffi/worker_pool.h"
#include "polya_gamma/pg_block.h"
#include "test_chunk_support.h"
#include "test_ffi_call_frame.h"

namespace vexol {
namespace {

using testing::bit_identical;

#if defined(__x86_64__)
// MXCSR with flush-to-zero (bit 15) and denormals-are-zero (bit 6) set.
constexpr FloatingPointControl kFlushBits = 0x8040;
#elif defined(__aarch64__)
constexpr FloatingPointControl kFlushBits = 1ULL << 24;  // FPCR.FZ
#endif

// Puts the thread into flush-to-zero mode for a scope.
class FlushToZero {
 public:
  FlushToZero() : saved_(read_floating_point_control()) {
    write_floating_point_control(saved_ | kFlushBits);
  }
  ~FlushToZero() { write_floating_point_control(saved_); }

 private:
  FloatingPointControl saved_;
};

// Every regime, with subnormal shapes and tilts among them: a subnormal h
// is read as 0 under DAZ (no draw instead of a gamma-series draw), and a
// subnormal z as 0 (another branch of Devroye's set-up).
// Shapes below 1 (the costly exact inversion) only now and then.
void make_subnormal_inputs(int64_t n, std::vector<double>& h, std::vector<double>& z) {
  static const double shapes[] = {1.0, 1e-310, 2.5, 2.0, 3.5, 6.0, 12.0, 60.0, 1.0, 4e-320};
  static const double tilts[] = {0.0, 4e-320, 0.5, -1.0, 2.5e-310, 7.0, -0.01, 30.0};
  h.resize(n);
  z.resize(n);
  for (int64_t i = 0; i < n; ++i) {
    h[i] = i % 31 == 5 ? 0.3 : shapes[i % 10];
    z[i] = tilts[(i / 10) % 8];
  }
}

std::vector<double> core_chunk(const std::vector<double>& h, const std::vector<double>& z,
                               uint64_t seed) {
  GeneratorState g = seed_generator(seed);
  std::vector<double> out(h.size());
  for (size_t start = 0; start < h.size(); start += PG_BLOCK_SIZE) {
    const int m = static_cast<int>(std::min<size_t>(PG_BLOCK_SIZE, h.size() - start));
    pg_sample_block(&h[start], &z[start], m, g, &out[start]);
  }
  return out;
}

TEST(FloatingPointMode, TheInputsReallyChangeUnderFlushToZero) {
  // Without the entry's scope, the core itself draws otherwise under FTZ and
  // DAZ on these inputs: the tests below would catch a missing scope.
  std::vector<double> h, z;
  make_subnormal_inputs(2000, h, z);
  const std::vector<double> ieee = core_chunk(h, z, 77);
  std::vector<double> flushed;
  {
    FlushToZero ftz;
    flushed = core_chunk(h, z, 77);
  }
  EXPECT_FALSE(bit_identical(ieee, flushed));
}

TEST(FloatingPointMode, DrawsAreTheSameUnderFlushToZeroAndTheModeIsRestored) {
  const int64_t n = CHUNK_SIZE + 1001;
  std::vector<double> h, z;
  make_subnormal_inputs(n, h, z);
  const uint64_t seed = 0xABCDEF0123456789ULL;
  for (PgMethodRequest method :
       {PgMethodRequest::kDefault, PgMethodRequest::kSaddle, PgMethodRequest::kExact}) {
    SCOPED_TRACE(static_cast<int>(method));
    std::vector<double> expected(n);
    sample_range_on_threads(h.data(), z.data(), n, seed, expected.data(), 1, method);
    for (int64_t threads : {1, 3}) {
      std::vector<double> out(n);
      FloatingPointControl inside, after;
      {
        FlushToZero ftz;
        inside = read_floating_point_control();
        sample_range_on_threads(h.data(), z.data(), n, seed, out.data(), threads, method);
        after = read_floating_point_control();
      }
      EXPECT_TRUE(bit_identical(out, expected)) << "threads " << threads;
      EXPECT_EQ(after & ~FloatingPointControl{0x3F}, inside & ~FloatingPointControl{0x3F});
      EXPECT_NE(after & kFlushBits, FloatingPointControl{0});
    }
  }
}

TEST(FloatingPointMode, WorkersStartedUnderFlushToZeroDrawTheSame) {
  // Threads inherit their creator's mode: a pool started from an XLA thread
  // has flushing workers.
  const int64_t rows = 6, length = 3000;
  std::vector<double> h, z;
  make_subnormal_inputs(rows * length, h, z);
  std::vector<int64_t> seeds = {1, 2, 3, 4, 5, 6};
  auto batch = [&](std::vector<double>& out) {
    return RowBatch<double>{h.data(),
                            z.data(),
                            out.data(),
                            rows,
                            length,
                            length,
                            SeedSource{seeds.data(), nullptr, rows},
                            true};
  };
  std::vector<double> expected(rows * length);
  WorkerPool ieee_pool;
  sample_rows_on_threads(batch(expected), 1, ieee_pool);
  std::vector<double> out(rows * length);
  {
    FlushToZero ftz;
    WorkerPool flushing_pool;
    sample_rows_on_threads(batch(out), 3, flushing_pool);
  }
  EXPECT_TRUE(bit_identical(out, expected));
}

TEST(FloatingPointMode, Float32HandlerReadsSubnormalFloatsUnderFlushToZero) {
  // A subnormal float32 shape or tilt read as 0 under DAZ changed 999 of
  // 1000 draws of its chunk.
  const int64_t n = 1000;
  std::vector<float> hf(n, 1.0f), zf(n, 0.5f);
  hf[0] = 1e-40f;
  zf[1] = 3e-42f;
  std::vector<double> hw(hf.begin(), hf.end()), zw(zf.begin(), zf.end());
  std::vector<double> expected(n);
  sample_range_on_threads(hw.data(), zw.data(), n, 99, expected.data(), 1);
  std::vector<uint32_t> words = {0, 99};
  std::vector<float> out(n);
  {
    FlushToZero ftz;
    ASSERT_TRUE(testing::sampling_frame(hf, {n}, zf, {n}, words, {2}, out, {n})
                    .call(&pg_sample_f32_handler)
                    .ok);
  }
  for (int64_t i = 0; i < n; ++i) {
    ASSERT_EQ(out[i], static_cast<float>(expected[i])) << i;
  }
}

// --- Handlers on request ------------------------------------------------------

// Every regime of every method; the costly ones (the inversion below 1,
// exact pieces at h = 150) now and then, so that the test stays quick under
// the sanitizers.
void make_method_inputs(int64_t n, std::vector<double>& h, std::vector<double>& z) {
  static const double shapes[] = {1.0, 3.0, 20.0, 60.0, 1.0, 2.0, 9.0, 1.0, 2.5, 1.0, 55.0};
  static const double tilts[] = {0.0, 0.3, -1.0, 2.5, -7.0, 15.0};
  h.resize(n);
  z.resize(n);
  for (int64_t i = 0; i < n; ++i) {
    h[i] = i % 97 == 3 ? 150.0 : i % 23 == 1 ? 0.5 : i % 29 == 2 ? 0.2 : shapes[i % 11];
    z[i] = tilts[(i / 11) % 6];
  }
}

struct MethodCall {
  int32_t code;
  PgMethodRequest method;
};
constexpr MethodCall kMethods[] = {{1, PgMethodRequest::kSaddle}, {2, PgMethodRequest::kExact}};

testing::CallFrameBuilder with_method(testing::CallFrameBuilder b, int32_t* code) {
  static const std::string name = "method";
  b.attr(name, XLA_FFI_DataType_S32, code);
  return b;
}

TEST(MethodHandlers, FlatDrawsAreTheRunnersForAnyThreadCountAndFloat32IsRounded) {
  const int64_t n = CHUNK_SIZE + 3001;
  std::vector<double> h, z;
  make_method_inputs(n, h, z);
  const uint64_t seed = 0x0102030405060708ULL;
  for (MethodCall m : kMethods) {
    SCOPED_TRACE(m.code);
    std::vector<double> one(n), two(n), three(n);
    sample_range_on_threads(h.data(), z.data(), n, seed, one.data(), 1, m.method);
    sample_range_on_threads(h.data(), z.data(), n, seed, two.data(), 2, m.method);
    sample_range_on_threads(h.data(), z.data(), n, seed, three.data(), 3, m.method);
    EXPECT_TRUE(bit_identical(one, two));
    EXPECT_TRUE(bit_identical(one, three));
    // Not the default stream.
    std::vector<double> plain(n);
    sample_range_on_threads(h.data(), z.data(), n, seed, plain.data(), 1);
    EXPECT_FALSE(bit_identical(one, plain));

    std::vector<int64_t> seed64 = {static_cast<int64_t>(seed)};
    std::vector<double> out(n, -1.0);
    int32_t code = m.code;
    ASSERT_TRUE(with_method(testing::sampling_frame(h, {n}, z, {n}, seed64, {1}, out, {n}), &code)
                    .call(&pg_sample_method_f64_handler)
                    .ok);
    EXPECT_TRUE(bit_identical(out, one));

    std::vector<float> hf(h.begin(), h.end()), zf(z.begin(), z.end()), outf(n);
    std::vector<double> hw(hf.begin(), hf.end()), zw(zf.begin(), zf.end()), widened(n);
    sample_range_on_threads(hw.data(), zw.data(), n, seed, widened.data(), 1, m.method);
    std::vector<uint32_t> words = {static_cast<uint32_t>(seed >> 32), static_cast<uint32_t>(seed)};
    ASSERT_TRUE(with_method(testing::sampling_frame(hf, {n}, zf, {n}, words, {2}, outf, {n}), &code)
                    .call(&pg_sample_method_f32_handler)
                    .ok);
    for (int64_t i = 0; i < n; ++i) ASSERT_EQ(outf[i], static_cast<float>(widened[i])) << i;
  }
}

TEST(MethodHandlers, MethodZeroIsTheDefaultHandler) {
  const int64_t n = 5000;
  std::vector<double> h, z;
  make_method_inputs(n, h, z);
  std::vector<int64_t> seed64 = {12345};
  std::vector<double> plain(n), requested(n);
  ASSERT_TRUE(testing::sampling_frame(h, {n}, z, {n}, seed64, {1}, plain, {n})
                  .call(&pg_sample_f64_handler)
                  .ok);
  int32_t code = 0;
  ASSERT_TRUE(
      with_method(testing::sampling_frame(h, {n}, z, {n}, seed64, {1}, requested, {n}), &code)
          .call(&pg_sample_method_f64_handler)
          .ok);
  EXPECT_TRUE(bit_identical(plain, requested));
}

TEST(MethodHandlers, BatchedAndSharedRowsAreFlatCallsWithTheRowSeeds) {
  const int64_t rows = 3, length = 400;
  std::vector<double> h, z;
  make_method_inputs(rows * length, h, z);
  std::vector<int64_t> seeds = {5, -7, 1LL << 50};
  for (MethodCall m : kMethods) {
    SCOPED_TRACE(m.code);
    int32_t code = m.code;
    std::vector<double> out(rows * length);
    ASSERT_TRUE(with_method(testing::sampling_frame(h, {rows, length}, z, {rows * length}, seeds,
                                                    {rows}, out, {rows * length}),
                            &code)
                    .call(&pg_sample_method_batched_f64_handler)
                    .ok);
    std::vector<double> shared_h(h.begin(), h.begin() + length),
        shared_z(z.begin(), z.begin() + length), shared_out(rows * length);
    ASSERT_TRUE(with_method(testing::sampling_frame(shared_h, {length}, shared_z, {length}, seeds,
                                                    {rows}, shared_out, {rows, length}),
                            &code)
                    .call(&pg_sample_method_shared_f64_handler)
                    .ok);
    for (int64_t r = 0; r < rows; ++r) {
      std::vector<double> row(length), shared_row(length);
      const uint64_t s = row_seed(static_cast<uint64_t>(seeds[r]), r);
      sample_range(&h[r * length], &z[r * length], length, s, row.data(), m.method);
      sample_range(shared_h.data(), shared_z.data(), length, s, shared_row.data(), m.method);
      EXPECT_TRUE(bit_identical(
          std::vector<double>(out.begin() + r * length, out.begin() + (r + 1) * length), row))
          << "row " << r;
      EXPECT_TRUE(bit_identical(std::vector<double>(shared_out.begin() + r * length,
                                                    shared_out.begin() + (r + 1) * length),
                                shared_row))
          << "shared row " << r;
    }
  }
}

TEST(MethodHandlers, UnknownMethodsAreRefusedBeforeAnythingIsWritten) {
  const int64_t n = 10;
  std::vector<double> h(n, 1.0), z(n, 0.0), out(n, -3.0);
  std::vector<float> hf(n, 1.0f), zf(n, 0.0f), outf(n, -3.0f);
  std::vector<int64_t> seed64 = {1};
  std::vector<uint32_t> words = {0, 1};
  for (int32_t bad : {-1, 3, 1000}) {
    int32_t code = bad;
    for (XLA_FFI_Handler* handler :
         {pg_sample_method_f64_handler, pg_sample_method_batched_f64_handler,
          pg_sample_method_shared_f64_handler}) {
      std::vector<int64_t> dims = handler == pg_sample_method_batched_f64_handler
                                      ? std::vector<int64_t>{2, 5}
                                      : std::vector<int64_t>{n};
      const auto outcome =
          with_method(testing::sampling_frame(h, dims, z, {n}, seed64, {1}, out, {n}), &code)
              .call(handler);
      EXPECT_FALSE(outcome.ok);
      EXPECT_EQ(outcome.code, 3);
      for (double x : out) ASSERT_EQ(x, -3.0);
    }
    for (XLA_FFI_Handler* handler :
         {pg_sample_method_f32_handler, pg_sample_method_batched_f32_handler,
          pg_sample_method_shared_f32_handler}) {
      std::vector<int64_t> dims = handler == pg_sample_method_batched_f32_handler
                                      ? std::vector<int64_t>{2, 5}
                                      : std::vector<int64_t>{n};
      const auto outcome =
          with_method(testing::sampling_frame(hf, dims, zf, {n}, words, {2}, outf, {n}), &code)
              .call(handler);
      EXPECT_FALSE(outcome.ok);
      EXPECT_EQ(outcome.code, 3);
      for (float x : outf) ASSERT_EQ(x, -3.0f);
    }
  }
}

TEST(MethodHandlers, AHandlerWithoutTheAttributeIsRefused) {
  const int64_t n = 4;
  std::vector<double> h(n, 1.0), z(n, 0.0), out(n, -3.0);
  std::vector<int64_t> seed64 = {1};
  const auto outcome = testing::sampling_frame(h, {n}, z, {n}, seed64, {1}, out, {n})
                           .call(&pg_sample_method_f64_handler);
  EXPECT_FALSE(outcome.ok);
  for (double x : out) ASSERT_EQ(x, -3.0);
}

}  // namespace
}  // namespace vexol
