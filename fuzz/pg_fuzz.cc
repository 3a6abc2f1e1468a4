// Coverage-guided fuzzing of the sampler and of the float64 handlers.
//
// The first input byte picks a target:
//   - one pg_sample draw for an (h, z, seed) triple, which must finish within
//     a budget of generator outputs;
//   - one draw by a method on request (saddle or exact) for such a triple,
//     under the same rules (the budget grows with h for the exact pieces);
//   - a whole call of the flat, batched or shared-input handler through a hand-built call
//     frame, with arbitrary ranks, extents, element types and argument
//     counts, checked against the handlers' contract: an error leaves `out`
//     as it was, a success writes exactly the elements of h and every one of
//     them is >= 1e-12 or NaN, nothing is written outside `out`, and a
//     repeated call gives the same bits.
// Sanitizer reports (ASan, UBSan) abort the run on their own.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "ffi/chunk_runner.h"
#include "ffi/entry_points.h"
#include "polya_gamma/pg_methods.h"
#include "polya_gamma/pg_sample.h"
#include "random/generator.h"
#include "test_ffi_call_frame.h"

namespace {

using vexol::GeneratorState;

// A draw that takes more outputs than this is treated as a hang. The most
// expensive legitimate draws (pieces of the alternate sampler with their
// rejection loops) take a few hundred.
constexpr int64_t kOutputBudget = 1000000;

// Guard elements on both sides of `out`, filled with a pattern that no draw
// produces (a negative NaN with a payload).
constexpr int64_t kGuard = 8;
constexpr uint64_t kCanaryBits = 0xFFF4CA11AB1EC0DEULL;
// Before a call every element of `out` holds this; an error must keep it.
constexpr uint64_t kUntouchedBits = 0xFFF5DEADBEEF0001ULL;

// Elements per call: small enough for fast iterations, with an occasional
// large call that exercises the chunked path with workers.
constexpr int64_t kMaxSmallElements = 4096;
constexpr int64_t kMaxLargeElements = 3 * vexol::CHUNK_SIZE + 17;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "pg_fuzz: contract broken: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

uint64_t bits_of(double x) {
  uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

double from_bits(uint64_t b) {
  double x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

// A double that is often one of the awkward values and otherwise any bit
// pattern or a value in a range where the sampling regimes switch.
double pick_double(FuzzedDataProvider& in) {
  static const double kSpecial[] = {0.0,
                                    -0.0,
                                    1.0,
                                    -1.0,
                                    0.5,
                                    2.0,
                                    3.0,
                                    4.0,
                                    4.5,
                                    5.0,
                                    7.999999999999999,
                                    8.0,
                                    50.0,
                                    50.000000000000007,
                                    1e-300,
                                    4.9e-324,
                                    2.2250738585072014e-308,
                                    -4.9e-324,
                                    1e-12,
                                    1e100,
                                    1e206,
                                    1e300,
                                    710.5,
                                    38.1,
                                    1e-3,
                                    6.283e-4,
                                    std::numeric_limits<double>::max(),
                                    -std::numeric_limits<double>::max(),
                                    std::numeric_limits<double>::infinity(),
                                    -std::numeric_limits<double>::infinity(),
                                    std::numeric_limits<double>::quiet_NaN(),
                                    -std::numeric_limits<double>::quiet_NaN(),
                                    -3.0,
                                    -0.5,
                                    1e6,
                                    3.125,
                                    1.5625,
                                    0.25};
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return kSpecial[in.ConsumeIntegralInRange<size_t>(0, std::size(kSpecial) - 1)];
    case 1:
      return from_bits(in.ConsumeIntegral<uint64_t>());
    case 2:
      return in.ConsumeFloatingPointInRange<double>(-60.0, 60.0);
    default:
      return in.ConsumeFloatingPointInRange<double>(0.0, 10.0);
  }
}

// Number of outputs from `before` to `after`, or -1 past the budget.
int64_t outputs_between(GeneratorState before, const GeneratorState& after,
                        int64_t budget = kOutputBudget) {
  for (int64_t n = 0; n <= budget; ++n) {
    if (before.s0 == after.s0 && before.s1 == after.s1 && before.s2 == after.s2 &&
        before.s3 == after.s3) {
      return n;
    }
    vexol::next_u64(before);
  }
  return -1;
}

void fuzz_one_draw(FuzzedDataProvider& in) {
  const double h = pick_double(in);
  const double z = pick_double(in);
  const uint64_t seed = in.ConsumeIntegral<uint64_t>();
  const GeneratorState start = vexol::seed_generator(seed);
  GeneratorState g = start;
  const double x = vexol::pg_sample(h, z, g);
  const int64_t used = outputs_between(start, g);
  if (used < 0) {
    std::fprintf(stderr, "h=%a z=%a seed=%llu\n", h, z, static_cast<unsigned long long>(seed));
    fail("one draw consumed more generator outputs than the budget");
  }
  if (std::isnan(h) && !std::isnan(x)) fail("a NaN shape gave a number");
  // The same inputs and state give the same draw and the same consumption.
  GeneratorState again = start;
  const double y = vexol::pg_sample(h, z, again);
  if (bits_of(x) != bits_of(y) || again.s0 != g.s0 || again.s1 != g.s1 || again.s2 != g.s2 ||
      again.s3 != g.s3) {
    fail("a draw is not a function of its inputs and generator state");
  }
  // The sign of the tilt never matters.
  GeneratorState mirrored = start;
  const double w = vexol::pg_sample(h, -z, mirrored);
  if (bits_of(w) != bits_of(x) && !(std::isnan(w) && std::isnan(x))) {
    fail("z and -z gave different draws");
  }
}

// A draw by a method on request: the exact pieces take h/4 alternate draws,
// so the budget allows a few hundred outputs per unit of h up to the largest
// shape they serve (from there on the corrected saddle point's cost does not
// grow with h).
void fuzz_method_draw(FuzzedDataProvider& in) {
  const auto method =
      in.ConsumeBool() ? vexol::PgMethodRequest::kSaddle : vexol::PgMethodRequest::kExact;
  const double h = pick_double(in);
  const double z = pick_double(in);
  const uint64_t seed = in.ConsumeIntegral<uint64_t>();
  const GeneratorState start = vexol::seed_generator(seed);
  GeneratorState g = start;
  const double x = vexol::pg_sample_method(h, z, method, g);
  const double pieces = std::fmin(std::fabs(h), vexol::EXACT_SADDLE_MIN_SHAPE);
  const int64_t budget =
      kOutputBudget + static_cast<int64_t>(std::isnan(pieces) ? 0 : 200 * pieces);
  if (outputs_between(start, g, budget) < 0) {
    std::fprintf(stderr, "method=%d h=%a z=%a seed=%llu\n", static_cast<int>(method), h, z,
                 static_cast<unsigned long long>(seed));
    fail("one draw by a method on request consumed more generator outputs than the budget");
  }
  if (std::isnan(h) && !std::isnan(x)) fail("a NaN shape gave a number");
  if (h >= 0.0 && std::isfinite(h) && std::isfinite(z) && !std::isfinite(x)) {
    fail("finite inputs gave an infinite draw");
  }
  GeneratorState again = start;
  const double y = vexol::pg_sample_method(h, z, method, again);
  if (bits_of(x) != bits_of(y) || again.s0 != g.s0 || again.s1 != g.s1 || again.s2 != g.s2 ||
      again.s3 != g.s3) {
    fail("a draw by a method is not a function of its inputs and generator state");
  }
  GeneratorState mirrored = start;
  const double w = vexol::pg_sample_method(h, -z, method, mirrored);
  if (bits_of(w) != bits_of(x) && !(std::isnan(w) && std::isnan(x))) {
    fail("z and -z gave different draws by a method");
  }
}

int64_t product(const std::vector<int64_t>& dims) {
  int64_t n = 1;
  for (int64_t d : dims) n *= d;
  return n;
}

// Extents whose product stays at most `limit`; rank 0 to 4.
std::vector<int64_t> pick_dims(FuzzedDataProvider& in, int64_t limit) {
  const int rank = in.ConsumeIntegralInRange<int>(0, 4);
  std::vector<int64_t> dims;
  int64_t n = 1;
  for (int i = 0; i < rank; ++i) {
    const int64_t room = n == 0 ? limit : limit / n;
    int64_t d = in.ConsumeIntegralInRange<int64_t>(0, std::min<int64_t>(room, 300));
    // Now and then one extent that uses up the rest of the room.
    if (in.ConsumeBool() && in.ConsumeBool()) d = room;
    dims.push_back(d);
    n *= d;
  }
  return dims;
}

// An input buffer of exactly `count` elements on the heap, so that the
// address sanitizer sees any read past it.
template <class T>
struct HeapBuffer {
  std::unique_ptr<T[]> data;
  int64_t count;
  explicit HeapBuffer(int64_t n) : data(new T[n > 0 ? n : 1]), count(n) {}
};

struct Shapes {
  std::vector<int64_t> h, z, seed, out;
};

// What the handler must answer for these shapes, when every buffer has the
// element type the binding declares. Empty means success.
enum class Entry { kFlat, kBatched, kShared };

std::string expected_error(Entry entry, const Shapes& s) {
  const int64_t n = product(s.h);
  if (entry == Entry::kShared) {
    if (n != product(s.z)) return "vexol: h and z must have equal length";
    const int64_t rows = product(s.seed);
    if (rows > 0 && n > 0 && product(s.out) / n < rows) {
      return "vexol: out must hold one row of h's length per seed";
    }
    return "";
  }
  if (entry == Entry::kFlat) {
    if (n != product(s.z)) return "vexol: h and z must have equal length";
    if (product(s.out) < n) return "vexol: out must hold at least as many elements as h";
    return "";
  }
  if (s.h.size() < 2) return "vexol: batched h must be >= 2D";
  if (s.h[0] == 0) return "";
  if (product(s.seed) == 0) return "vexol: batched seed must hold at least one element";
  if (product(s.z) < n) return "vexol: batched z must hold at least as many elements as h";
  if (product(s.out) < n) return "vexol: out must hold at least as many elements as h";
  return "";
}

void fuzz_handler_call(FuzzedDataProvider& in, Entry entry_kind) {
  const int64_t limit =
      in.ConsumeIntegralInRange<int>(0, 15) == 0 ? kMaxLargeElements : kMaxSmallElements;
  Shapes s;
  s.h = pick_dims(in, limit);
  // Mostly the shapes a well-formed call has, sometimes anything.
  const int z_rule = in.ConsumeIntegralInRange<int>(0, 3);
  s.z = z_rule == 0 ? pick_dims(in, limit) : s.h;
  s.seed = in.ConsumeBool() ? pick_dims(in, 16) : std::vector<int64_t>{1};
  s.out = in.ConsumeIntegralInRange<int>(0, 3) == 0 ? pick_dims(in, limit) : s.h;
  // Element types other than the declared ones, now and then.
  XLA_FFI_DataType types[4] = {XLA_FFI_DataType_F64, XLA_FFI_DataType_F64, XLA_FFI_DataType_S64,
                               XLA_FFI_DataType_F64};
  bool wrong_type = false;
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
    static const XLA_FFI_DataType kOthers[] = {XLA_FFI_DataType_F32, XLA_FFI_DataType_S32,
                                               XLA_FFI_DataType_S64, XLA_FFI_DataType_F64,
                                               XLA_FFI_DataType_U64, XLA_FFI_DataType_PRED};
    const int which = in.ConsumeIntegralInRange<int>(0, 3);
    types[which] = kOthers[in.ConsumeIntegralInRange<int>(0, std::size(kOthers) - 1)];
    static const XLA_FFI_DataType kDeclared[4] = {XLA_FFI_DataType_F64, XLA_FFI_DataType_F64,
                                                  XLA_FFI_DataType_S64, XLA_FFI_DataType_F64};
    wrong_type = types[which] != kDeclared[which];
  }
  // Missing or extra arguments, now and then.
  int arg_count = 3;
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) arg_count = in.ConsumeIntegralInRange<int>(0, 4);

  HeapBuffer<double> h(product(s.h)), z(product(s.z));
  HeapBuffer<int64_t> seed(product(s.seed));
  for (int64_t i = 0; i < h.count; ++i) h.data[i] = pick_double(in);
  for (int64_t i = 0; i < z.count; ++i) z.data[i] = pick_double(in);
  for (int64_t i = 0; i < seed.count; ++i) seed.data[i] = in.ConsumeIntegral<int64_t>();

  const int64_t out_count = product(s.out);
  std::vector<double> out_store(static_cast<size_t>(out_count + 2 * kGuard));
  for (int64_t i = 0; i < kGuard; ++i) {
    out_store[i] = from_bits(kCanaryBits);
    out_store[kGuard + out_count + i] = from_bits(kCanaryBits);
  }
  for (int64_t i = 0; i < out_count; ++i) out_store[kGuard + i] = from_bits(kUntouchedBits);
  double* out = out_store.data() + kGuard;

  auto build = [&](double* out_data) {
    vexol::testing::CallFrameBuilder b;
    void* args[4] = {h.data.get(), z.data.get(), seed.data.get(), seed.data.get()};
    std::vector<int64_t>* dims[4] = {&s.h, &s.z, &s.seed, &s.seed};
    for (int i = 0; i < arg_count; ++i) b.arg(types[i], args[i], *dims[i]);
    b.ret(types[3], out_data, s.out);
    return b;
  };
  XLA_FFI_Handler* entry = entry_kind == Entry::kBatched  ? &vexol::pg_sample_batched_f64_handler
                           : entry_kind == Entry::kShared ? &vexol::pg_sample_shared_f64_handler
                                                          : &vexol::pg_sample_f64_handler;
  const vexol::testing::CallOutcome outcome = build(out).call(entry);

  for (int64_t i = 0; i < kGuard; ++i) {
    if (bits_of(out_store[i]) != kCanaryBits ||
        bits_of(out_store[kGuard + out_count + i]) != kCanaryBits) {
      fail("the handler wrote outside out");
    }
  }
  const bool well_formed = !wrong_type && arg_count == 3;
  const std::string expected = well_formed ? expected_error(entry_kind, s) : "";
  if (!well_formed || !expected.empty()) {
    if (outcome.ok) fail("a malformed call succeeded");
    if (outcome.code != XLA_FFI_Error_Code_INVALID_ARGUMENT) fail("an error without code 3");
    if (well_formed && outcome.message != expected) {
      std::fprintf(stderr, "got \"%s\", expected \"%s\"\n", outcome.message.c_str(),
                   expected.c_str());
      fail("the error message is not the handler's");
    }
    if (outcome.message.empty()) fail("an error without a message");
    for (int64_t i = 0; i < out_count; ++i) {
      if (bits_of(out[i]) != kUntouchedBits) fail("an error wrote into out");
    }
    return;
  }
  if (!outcome.ok) {
    std::fprintf(stderr, "error %d: %s\n", outcome.code, outcome.message.c_str());
    fail("a well-formed call failed");
  }
  const int64_t n = product(s.h);
  const bool shared = entry_kind == Entry::kShared;
  const int64_t written = entry_kind == Entry::kBatched && s.h[0] == 0 ? 0
                          : shared                                     ? n * product(s.seed)
                                                                       : n;
  for (int64_t i = 0; i < written; ++i) {
    const double x = out[i];
    if (bits_of(x) == kUntouchedBits) fail("a success left an element of out unwritten");
    if (!(x >= vexol::DRAW_FLOOR) && !std::isnan(x)) fail("an output below 1e-12");
    // Shared rows read h again for every row.
    if (std::isnan(h.data[shared ? i % n : i]) && !std::isnan(x)) {
      fail("a NaN shape gave a number");
    }
  }
  for (int64_t i = written; i < out_count; ++i) {
    if (bits_of(out[i]) != kUntouchedBits) fail("a success wrote past the elements of h");
  }
  // The same call again gives the same bits.
  if (written > 0 && written <= kMaxSmallElements) {
    std::vector<double> again_store(static_cast<size_t>(out_count > 0 ? out_count : 1));
    const vexol::testing::CallOutcome again = build(again_store.data()).call(entry);
    if (!again.ok) fail("a repeated call failed");
    if (std::memcmp(again_store.data(), out, written * sizeof(double)) != 0) {
      fail("a repeated call gave different draws");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
    case 1:
      fuzz_one_draw(in);
      break;
    case 5:
      fuzz_method_draw(in);
      break;
    case 2:
      fuzz_handler_call(in, Entry::kFlat);
      break;
    case 3:
      fuzz_handler_call(in, Entry::kBatched);
      break;
    default:
      fuzz_handler_call(in, Entry::kShared);
      break;
  }
  return 0;
}
