// The entry functions as the runtime sees them, through hand-built call
// frames: what the binding rejects before the handlers run, the metadata
// query, seed buffers of any rank, and no allocation on a warm call. The
// binding's refusals carry the XLA headers' own diagnostics, whose wording
// changes between jaxlib releases; what is ours is the contract: the call
// is refused with INVALID_ARGUMENT, no handler message, and out untouched.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ffi/chunk_runner.h"
#include "ffi/entry_points.h"
#include "test_chunk_support.h"
#include "test_ffi_allocation_counter.h"
#include "test_ffi_call_frame.h"

namespace vexol {
namespace {

using testing::CallFrameBuilder;
using testing::CallOutcome;
using testing::sampling_frame;

constexpr double kSentinel = -777.0;

struct Entry {
  const char* name;
  XLA_FFI_Handler* fn;
};
const Entry kEntries[] = {{"flat", &pg_sample_f64_handler},
                          {"batched", &pg_sample_batched_f64_handler}};

// Operands that both handlers accept: h and z of shape (2, 3), one seed.
struct Operands {
  std::vector<double> h{1.0, 2.0, 0.5, 3.0, 1.5, 12.0};
  std::vector<double> z{0.0, 1.0, -2.0, 0.5, 4.0, 1.0};
  std::vector<int64_t> seed{42};
  std::vector<double> out = std::vector<double>(6, kSentinel);
  std::vector<float> h32 = std::vector<float>(6, 1.0f);
  std::vector<double> seed64{42.0};

  bool out_untouched() const {
    for (double v : out) {
      if (v != kSentinel) return false;
    }
    return true;
  }
};

TEST(FfiBinding, RejectsMalformedCallsWithoutRunningTheHandler) {
  struct Case {
    const char* what;
    CallFrameBuilder (*build)(Operands&);
  };
  const Case cases[] = {
      {"prepare stage",
       [](Operands& o) {
         auto b = sampling_frame(o.h, {2, 3}, o.z, {2, 3}, o.seed, {1}, o.out, {2, 3});
         b.stage(XLA_FFI_ExecutionStage_PREPARE);
         return b;
       }},
      {"two arguments",
       [](Operands& o) {
         CallFrameBuilder b;
         b.arg(XLA_FFI_DataType_F64, o.h.data(), {2, 3})
             .arg(XLA_FFI_DataType_F64, o.z.data(), {2, 3})
             .ret(XLA_FFI_DataType_F64, o.out.data(), {2, 3});
         return b;
       }},
      {"four arguments",
       [](Operands& o) {
         auto b = sampling_frame(o.h, {2, 3}, o.z, {2, 3}, o.seed, {1}, o.out, {2, 3});
         b.arg(XLA_FFI_DataType_S64, o.seed.data(), {1});
         return b;
       }},
      {"no result",
       [](Operands& o) {
         CallFrameBuilder b;
         b.arg(XLA_FFI_DataType_F64, o.h.data(), {2, 3})
             .arg(XLA_FFI_DataType_F64, o.z.data(), {2, 3})
             .arg(XLA_FFI_DataType_S64, o.seed.data(), {1});
         return b;
       }},
      {"two results",
       [](Operands& o) {
         auto b = sampling_frame(o.h, {2, 3}, o.z, {2, 3}, o.seed, {1}, o.out, {2, 3});
         b.ret(XLA_FFI_DataType_F64, o.out.data(), {2, 3});
         return b;
       }},
      {"F32 h",
       [](Operands& o) {
         CallFrameBuilder b;
         b.arg(XLA_FFI_DataType_F32, o.h32.data(), {2, 3})
             .arg(XLA_FFI_DataType_F64, o.z.data(), {2, 3})
             .arg(XLA_FFI_DataType_S64, o.seed.data(), {1})
             .ret(XLA_FFI_DataType_F64, o.out.data(), {2, 3});
         return b;
       }},
      {"F64 seed",
       [](Operands& o) {
         CallFrameBuilder b;
         b.arg(XLA_FFI_DataType_F64, o.h.data(), {2, 3})
             .arg(XLA_FFI_DataType_F64, o.z.data(), {2, 3})
             .arg(XLA_FFI_DataType_F64, o.seed64.data(), {1})
             .ret(XLA_FFI_DataType_F64, o.out.data(), {2, 3});
         return b;
       }},
      {"S64 out",
       [](Operands& o) {
         CallFrameBuilder b;
         b.arg(XLA_FFI_DataType_F64, o.h.data(), {2, 3})
             .arg(XLA_FFI_DataType_F64, o.z.data(), {2, 3})
             .arg(XLA_FFI_DataType_S64, o.seed.data(), {1})
             .ret(XLA_FFI_DataType_S64, o.out.data(), {2, 3});
         return b;
       }},
      {"argument that is not a buffer",
       [](Operands& o) {
         auto b = sampling_frame(o.h, {2, 3}, o.z, {2, 3}, o.seed, {1}, o.out, {2, 3});
         b.arg_kind(1, 7);
         return b;
       }},
      {"call frame of another size",
       [](Operands& o) {
         auto b = sampling_frame(o.h, {2, 3}, o.z, {2, 3}, o.seed, {1}, o.out, {2, 3});
         b.struct_size(XLA_FFI_CallFrame_STRUCT_SIZE - 8);
         return b;
       }},
  };
  for (const Entry& entry : kEntries) {
    for (const Case& c : cases) {
      Operands o;
      const CallOutcome outcome = c.build(o).call(entry.fn);
      SCOPED_TRACE(std::string(entry.name) + ", " + c.what);
      EXPECT_FALSE(outcome.ok);
      EXPECT_EQ(outcome.code, XLA_FFI_Error_Code_INVALID_ARGUMENT);
      // Refused by the binding, not by a handler: none of our messages.
      EXPECT_FALSE(outcome.message.empty());
      EXPECT_EQ(outcome.message.find("vexol:"), std::string::npos) << outcome.message;
      EXPECT_TRUE(o.out_untouched());
    }
  }
}

TEST(FfiBinding, AnswersTheMetadataQueryWithoutRunningTheHandler) {
  for (const Entry& entry : kEntries) {
    SCOPED_TRACE(entry.name);
    XLA_FFI_Metadata metadata{};
    metadata.struct_size = XLA_FFI_Metadata_STRUCT_SIZE;
    metadata.traits = 0xFFFF;
    XLA_FFI_Metadata_Extension extension{};
    extension.extension_base.struct_size = XLA_FFI_Metadata_Extension_STRUCT_SIZE;
    extension.extension_base.type = XLA_FFI_Extension_Metadata;
    extension.metadata = &metadata;

    // A query carries no operands; the handler must not look for any.
    CallFrameBuilder b;
    b.extension(&extension.extension_base);
    const CallOutcome outcome = b.call(entry.fn);
    EXPECT_TRUE(outcome.ok) << outcome.message;
    EXPECT_EQ(metadata.api_version.major_version, XLA_FFI_API_MAJOR);
    EXPECT_EQ(metadata.api_version.minor_version, XLA_FFI_API_MINOR);
    EXPECT_EQ(metadata.traits, 0u);
  }
}

TEST(FfiBinding, AcceptsSeedBuffersOfAnyRank) {
  std::vector<double> h, z;
  testing::make_inputs(40, h, z);
  std::vector<double> expected(40);
  sample_range(h.data(), z.data(), 40, 42, expected.data());

  std::vector<int64_t> seed{42};
  for (const std::vector<int64_t>& seed_dims :
       {std::vector<int64_t>{}, std::vector<int64_t>{1}, std::vector<int64_t>{1, 1}}) {
    std::vector<double> out(40, kSentinel);
    const CallOutcome outcome =
        sampling_frame(h, {40}, z, {40}, seed, seed_dims, out, {40}).call(&pg_sample_f64_handler);
    EXPECT_TRUE(outcome.ok) << "seed rank " << seed_dims.size() << ": " << outcome.message;
    EXPECT_TRUE(testing::bit_identical(out, expected)) << "seed rank " << seed_dims.size();
  }

  // Batched, rank-0 seed: one element for two rows, so both rows use it.
  std::vector<double> out(40, kSentinel), row_expected(20);
  ASSERT_TRUE(sampling_frame(h, {2, 20}, z, {40}, seed, {}, out, {40})
                  .call(&pg_sample_batched_f64_handler)
                  .ok);
  sample_range(&h[20], &z[20], 20, 2 * 0x9E3779B97F4A7C15ULL ^ 42, row_expected.data());
  EXPECT_TRUE(
      testing::bit_identical(std::vector<double>(out.begin() + 20, out.end()), row_expected));
}

TEST(FfiBinding, AWarmCallAllocatesNothing) {
  // The first call of each entry builds its handler object; later calls
  // reuse it, and a single-chunk call has nothing else to allocate.
  for (const Entry& entry : kEntries) {
    SCOPED_TRACE(entry.name);
    Operands o;
    auto frame = sampling_frame(o.h, {2, 3}, o.z, {2, 3}, o.seed, {1}, o.out, {2, 3});
    ASSERT_TRUE(frame.call(entry.fn).ok);
    XLA_FFI_CallFrame* raw = frame.frame();
    XLA_FFI_Error* first = nullptr;
    XLA_FFI_Error* second = nullptr;
    int allocations = 0;
    {
      testing::AllocationCounter counter;
      first = entry.fn(raw);
      second = entry.fn(raw);
      allocations = counter.count();
    }
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(allocations, 0);
    EXPECT_FALSE(o.out_untouched());
  }
}

}  // namespace
}  // namespace vexol
