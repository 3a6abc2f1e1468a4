// The two sampling handlers behind the custom calls: they check their own
// conditions on the decoded buffers, derive the seeds and hand contiguous
// ranges to the chunk runner.
#pragma once

#include <cstdint>

#include "xla/ffi/api/ffi.h"

namespace vexol {

// Row r of a batched call is seeded with (r + 1) * ROW_SEED_MULTIPLIER
// XOR its seed element, modulo 2^64.
inline constexpr uint64_t ROW_SEED_MULTIPLIER = 0x9E3779B97F4A7C15ULL;

// All of h, z and out as one flat range of n elements with one seed:
// seed element 0, or 0 for an empty seed buffer; further elements ignored.
xla::ffi::Error pg_sample_f64_impl(xla::ffi::Buffer<xla::ffi::F64> h,
                                   xla::ffi::Buffer<xla::ffi::F64> z,
                                   xla::ffi::Buffer<xla::ffi::S64> seed,
                                   xla::ffi::ResultBuffer<xla::ffi::F64> out);

// The first dimension of h counts rows, sampled one after another. With
// one seed element per row each row takes its own, otherwise every row
// takes element 0. Only h's shape decides the geometry.
xla::ffi::Error pg_sample_batched_f64_impl(xla::ffi::Buffer<xla::ffi::F64> h,
                                           xla::ffi::Buffer<xla::ffi::F64> z,
                                           xla::ffi::Buffer<xla::ffi::S64> seed,
                                           xla::ffi::ResultBuffer<xla::ffi::F64> out);

}  // namespace vexol
