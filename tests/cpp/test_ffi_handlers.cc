// The handlers' own conditions, called through the entry functions with
// hand-built call frames: the two messages of the contract, the checks that
// keep a handler from reading or writing past a buffer, and a failed worker
// join reaching the runtime as an error.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ffi/chunk_runner.h"
#include "ffi/entry_points.h"
#include "test_chunk_support.h"
#include "test_ffi_call_frame.h"

namespace vexol {
namespace {

using testing::CallOutcome;
using testing::sampling_frame;

constexpr double kSentinel = -777.0;

bool all_equal(const std::vector<double>& v, double value) {
  for (double x : v) {
    if (x != value) return false;
  }
  return true;
}

void expect_invalid(const CallOutcome& outcome, const std::string& message) {
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.code, XLA_FFI_Error_Code_INVALID_ARGUMENT);
  EXPECT_EQ(outcome.message, message);
}

TEST(FlatHandler, ComparesElementCountsOnly) {
  std::vector<double> h{1.0, 2.0, 3.0, 0.5}, z{0.1, 0.2, 0.3, 0.4};
  std::vector<int64_t> seed{9};
  std::vector<double> out(4, kSentinel), expected(4);
  // h of shape (4) with z of shape (2, 2), out of shape (1, 4).
  const CallOutcome outcome =
      sampling_frame(h, {4}, z, {2, 2}, seed, {1}, out, {1, 4}).call(&pg_sample_f64_handler);
  EXPECT_TRUE(outcome.ok) << outcome.message;
  sample_range(h.data(), z.data(), 4, 9, expected.data());
  EXPECT_TRUE(testing::bit_identical(out, expected));

  std::vector<double> z3{0.1, 0.2, 0.3};
  std::vector<double> untouched(4, kSentinel);
  expect_invalid(
      sampling_frame(h, {4}, z3, {3}, seed, {1}, untouched, {4}).call(&pg_sample_f64_handler),
      "vexol: h and z must have equal length");
  EXPECT_TRUE(all_equal(untouched, kSentinel));

  // Nothing to sample is a success that writes nothing.
  std::vector<double> empty_out(1, kSentinel);
  EXPECT_TRUE(
      sampling_frame(h, {0}, z, {0, 3}, seed, {1}, empty_out, {0}).call(&pg_sample_f64_handler).ok);
  EXPECT_EQ(empty_out[0], kSentinel);
}

TEST(FlatHandler, RefusesAnOutputSmallerThanTheInput) {
  std::vector<double> h{1.0, 2.0, 3.0, 0.5}, z{0.1, 0.2, 0.3, 0.4};
  std::vector<int64_t> seed{9};
  std::vector<double> out(4, kSentinel);
  expect_invalid(sampling_frame(h, {4}, z, {4}, seed, {1}, out, {3}).call(&pg_sample_f64_handler),
                 "vexol: out must hold at least as many elements as h");
  EXPECT_TRUE(all_equal(out, kSentinel));

  // A larger output is fine: the elements past n are left alone.
  std::vector<double> big(6, kSentinel);
  EXPECT_TRUE(sampling_frame(h, {4}, z, {4}, seed, {1}, big, {6}).call(&pg_sample_f64_handler).ok);
  EXPECT_NE(big[3], kSentinel);
  EXPECT_EQ(big[4], kSentinel);
  EXPECT_EQ(big[5], kSentinel);
}

TEST(BatchedHandler, NeedsAtLeastTwoDimensions) {
  std::vector<double> h{1.0, 2.0, 3.0}, z{0.1, 0.2, 0.3};
  std::vector<int64_t> seed{9};
  std::vector<double> out(3, kSentinel);
  for (const std::vector<int64_t>& dims : {std::vector<int64_t>{3}, std::vector<int64_t>{}}) {
    SCOPED_TRACE("rank " + std::to_string(dims.size()));
    expect_invalid(
        sampling_frame(h, dims, z, {3}, seed, {1}, out, {3}).call(&pg_sample_batched_f64_handler),
        "vexol: batched h must be >= 2D");
    EXPECT_TRUE(all_equal(out, kSentinel));
  }
}

TEST(BatchedHandler, RefusesBuffersTooSmallForTheRows) {
  // h of shape (2, 3): six elements in two rows.
  std::vector<double> h{1.0, 2.0, 3.0, 0.5, 1.5, 2.5}, z(6, 0.5);
  std::vector<int64_t> seed{9}, no_seed;
  struct Case {
    const char* what;
    std::vector<int64_t> z_dims, seed_dims, out_dims;
    bool with_seed;
    const char* message;
  };
  const Case cases[] = {
      {"empty seed", {6}, {0}, {6}, false, "vexol: batched seed must hold at least one element"},
      {"short z", {5}, {1}, {6}, true, "vexol: batched z must hold at least as many elements as h"},
      {"short out", {6}, {1}, {2, 2}, true, "vexol: out must hold at least as many elements as h"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<double> out(6, kSentinel);
    expect_invalid(sampling_frame(h, {2, 3}, z, c.z_dims, c.with_seed ? seed : no_seed, c.seed_dims,
                                  out, c.out_dims)
                       .call(&pg_sample_batched_f64_handler),
                   c.message);
    EXPECT_TRUE(all_equal(out, kSentinel));
  }

  // With no rows nothing is read or written, so nothing is required.
  std::vector<double> out(1, kSentinel);
  EXPECT_TRUE(sampling_frame(h, {0, 5}, z, {0}, no_seed, {0}, out, {0})
                  .call(&pg_sample_batched_f64_handler)
                  .ok);
  EXPECT_EQ(out[0], kSentinel);
}

class HandlerThreads : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Returns 0 when a call whose workers could not all be started still
// succeeded with every element written as the chunk layout says.
int failed_start_child() {
  setenv("VEXOL_NUM_THREADS", "4", 1);
  const int64_t n = 4 * CHUNK_SIZE;
  std::vector<double> h, z, out(n, kSentinel);
  testing::make_inputs(n, h, z);
  std::vector<int64_t> seed{5};
  testing::CountingThreads threads(/*fail_start_from=*/1);
  const CallOutcome outcome =
      sampling_frame(h, {n}, z, {n}, seed, {1}, out, {n}).call(&pg_sample_f64_handler);
  const bool as_expected = outcome.ok && threads.starts() == 1 &&
                           testing::bit_identical(out, testing::chunked_reference(h, z, 5));
  if (!as_expected) {
    std::fprintf(stderr, "outcome %d %d '%s', starts %d\n", outcome.ok, outcome.code,
                 outcome.message.c_str(), threads.starts());
  }
  return as_expected ? 0 : 1;
}

// Needs several threads whatever the machine, hence its own process with
// the count set before the first chunked run (the pool is process-wide).
TEST_F(HandlerThreads, WorkersThatCannotStartLeaveACompleteSuccessfulCall) {
  EXPECT_EXIT(std::exit(failed_start_child()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vexol
