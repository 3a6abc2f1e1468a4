// The sampling handlers behind the custom calls: they check their own
// conditions on the decoded buffers, derive the seeds and hand the rows to
// the chunk runner.
//
// float64 handlers take the seeds as S64 elements; float32 handlers take
// each seed as a (high, low) pair of U32 words, the 64-bit seed being
// high << 32 | low, so that programs without 64-bit types can pass one.
// A float32 call draws exactly what the float64 call draws for the widened
// inputs and the same seed, rounded to the nearest float.
#pragma once

#include <cstdint>

#include "ffi/chunk_runner.h"
#include "xla/ffi/api/ffi.h"

namespace vexol {

// All of h, z and out as one flat range of n elements with one seed:
// seed element (or pair) 0, or 0 for an empty seed buffer; further seeds
// are ignored.
xla::ffi::Error pg_sample_f64_impl(xla::ffi::Buffer<xla::ffi::F64> h,
                                   xla::ffi::Buffer<xla::ffi::F64> z,
                                   xla::ffi::Buffer<xla::ffi::S64> seed,
                                   xla::ffi::ResultBuffer<xla::ffi::F64> out);
xla::ffi::Error pg_sample_f32_impl(xla::ffi::Buffer<xla::ffi::F32> h,
                                   xla::ffi::Buffer<xla::ffi::F32> z,
                                   xla::ffi::Buffer<xla::ffi::U32> seed,
                                   xla::ffi::ResultBuffer<xla::ffi::F32> out);

// The first dimension of h counts rows. With one seed per row each row
// takes its own, otherwise every row takes seed 0; row r is seeded with
// row_seed(its seed, r). Only h's shape decides the geometry.
xla::ffi::Error pg_sample_batched_f64_impl(xla::ffi::Buffer<xla::ffi::F64> h,
                                           xla::ffi::Buffer<xla::ffi::F64> z,
                                           xla::ffi::Buffer<xla::ffi::S64> seed,
                                           xla::ffi::ResultBuffer<xla::ffi::F64> out);
xla::ffi::Error pg_sample_batched_f32_impl(xla::ffi::Buffer<xla::ffi::F32> h,
                                           xla::ffi::Buffer<xla::ffi::F32> z,
                                           xla::ffi::Buffer<xla::ffi::U32> seed,
                                           xla::ffi::ResultBuffer<xla::ffi::F32> out);

// One row of h and z shared by every row of out: R seeds give R rows of
// len(h) draws, row r exactly the batched handler's row r for h and z
// repeated R times. Spares the caller a copy of the inputs per row.
xla::ffi::Error pg_sample_shared_f64_impl(xla::ffi::Buffer<xla::ffi::F64> h,
                                          xla::ffi::Buffer<xla::ffi::F64> z,
                                          xla::ffi::Buffer<xla::ffi::S64> seed,
                                          xla::ffi::ResultBuffer<xla::ffi::F64> out);
xla::ffi::Error pg_sample_shared_f32_impl(xla::ffi::Buffer<xla::ffi::F32> h,
                                          xla::ffi::Buffer<xla::ffi::F32> z,
                                          xla::ffi::Buffer<xla::ffi::U32> seed,
                                          xla::ffi::ResultBuffer<xla::ffi::F32> out);

// The same three kinds of call by a method on request: `method` is a code
// of PgMethodRequest (0 the default dispatch, 1 the saddle point from h = 8
// on, 2 exact draws throughout); any other code is refused before anything
// is read or written. Seeding, chunking, threads and the float32 rule are
// those of the handlers above; with method 0 the draws are theirs.
xla::ffi::Error pg_sample_method_f64_impl(xla::ffi::Buffer<xla::ffi::F64> h,
                                          xla::ffi::Buffer<xla::ffi::F64> z,
                                          xla::ffi::Buffer<xla::ffi::S64> seed,
                                          xla::ffi::ResultBuffer<xla::ffi::F64> out,
                                          int32_t method);
xla::ffi::Error pg_sample_method_f32_impl(xla::ffi::Buffer<xla::ffi::F32> h,
                                          xla::ffi::Buffer<xla::ffi::F32> z,
                                          xla::ffi::Buffer<xla::ffi::U32> seed,
                                          xla::ffi::ResultBuffer<xla::ffi::F32> out,
                                          int32_t method);
xla::ffi::Error pg_sample_method_batched_f64_impl(xla::ffi::Buffer<xla::ffi::F64> h,
                                                  xla::ffi::Buffer<xla::ffi::F64> z,
                                                  xla::ffi::Buffer<xla::ffi::S64> seed,
                                                  xla::ffi::ResultBuffer<xla::ffi::F64> out,
                                                  int32_t method);
xla::ffi::Error pg_sample_method_batched_f32_impl(xla::ffi::Buffer<xla::ffi::F32> h,
                                                  xla::ffi::Buffer<xla::ffi::F32> z,
                                                  xla::ffi::Buffer<xla::ffi::U32> seed,
                                                  xla::ffi::ResultBuffer<xla::ffi::F32> out,
                                                  int32_t method);
xla::ffi::Error pg_sample_method_shared_f64_impl(xla::ffi::Buffer<xla::ffi::F64> h,
                                                 xla::ffi::Buffer<xla::ffi::F64> z,
                                                 xla::ffi::Buffer<xla::ffi::S64> seed,
                                                 xla::ffi::ResultBuffer<xla::ffi::F64> out,
                                                 int32_t method);
xla::ffi::Error pg_sample_method_shared_f32_impl(xla::ffi::Buffer<xla::ffi::F32> h,
                                                 xla::ffi::Buffer<xla::ffi::F32> z,
                                                 xla::ffi::Buffer<xla::ffi::U32> seed,
                                                 xla::ffi::ResultBuffer<xla::ffi::F32> out,
                                                 int32_t method);

}  // namespace vexol
