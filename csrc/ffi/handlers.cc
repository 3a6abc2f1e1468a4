#include "ffi/handlers.h"

namespace ffi = xla::ffi;

namespace vexol {
namespace {

// The product of the extents: 1 for rank 0, 0 when any extent is 0.
template <typename BufferT>
int64_t element_count(const BufferT& buffer) {
  int64_t count = 1;
  for (int64_t extent : buffer.dimensions()) count *= extent;
  return count;
}

// The seeds a seed buffer holds: one per S64 element, one per pair of U32
// words. An odd number of U32 words is refused: half a seed is no seed.
ffi::Error seeds_of(const ffi::Buffer<ffi::S64>& seed, SeedSource& seeds) {
  seeds = SeedSource{seed.typed_data(), nullptr, element_count(seed)};
  return ffi::Error::Success();
}

ffi::Error seeds_of(const ffi::Buffer<ffi::U32>& seed, SeedSource& seeds) {
  const int64_t words = element_count(seed);
  if (words % 2 != 0) {
    return ffi::Error::InvalidArgument(
        "vexol: a float32 call's seeds are (high, low) pairs of uint32 words; got an odd count");
  }
  seeds = SeedSource{nullptr, seed.typed_data(), words / 2};
  return ffi::Error::Success();
}

// The method attribute of the handlers on request: a code of
// PgMethodRequest, checked before anything is read or written.
ffi::Error method_of(int32_t code, PgMethodRequest& method) {
  if (code < 0 || code >= PG_METHOD_REQUEST_COUNT) {
    return ffi::Error::InvalidArgument(
        "vexol: method must be 0 (default), 1 (saddle) or 2 (exact)");
  }
  method = static_cast<PgMethodRequest>(code);
  return ffi::Error::Success();
}

template <ffi::DataType F, ffi::DataType S>
ffi::Error flat(ffi::Buffer<F> h, ffi::Buffer<F> z, ffi::Buffer<S> seed, ffi::ResultBuffer<F> out,
                PgMethodRequest method = PgMethodRequest::kDefault) {
  const int64_t n = element_count(h);
  if (n != element_count(z)) {
    return ffi::Error::InvalidArgument("vexol: h and z must have equal length");
  }
  // The runtime sizes out from the caller's declaration, which need not
  // match h; never write past it.
  if (element_count(*out) < n) {
    return ffi::Error::InvalidArgument("vexol: out must hold at least as many elements as h");
  }
  SeedSource seeds;
  if (ffi::Error error = seeds_of(seed, seeds); error.failure()) return error;
  // One row: seed 0 (or 0 without seeds), used as it is.
  seeds.count = std::min<int64_t>(seeds.count, 1);
  sample_rows(RowBatch<ffi::NativeType<F>>{h.typed_data(), z.typed_data(), out->typed_data(), 1, n,
                                           n, seeds, false},
              method);
  return ffi::Error::Success();
}

template <ffi::DataType F, ffi::DataType S>
ffi::Error batched(ffi::Buffer<F> h, ffi::Buffer<F> z, ffi::Buffer<S> seed,
                   ffi::ResultBuffer<F> out, PgMethodRequest method = PgMethodRequest::kDefault) {
  const auto h_dims = h.dimensions();
  if (h_dims.size() < 2) {
    return ffi::Error::InvalidArgument("vexol: batched h must be >= 2D");
  }
  const int64_t rows = h_dims[0];
  if (rows == 0) return ffi::Error::Success();  // nothing is read or written

  const int64_t total = element_count(h);
  SeedSource seeds;
  if (ffi::Error error = seeds_of(seed, seeds); error.failure()) return error;
  // Only h's shape is trusted for the geometry, so refuse anything that
  // would make the rows read or write past the other buffers.
  if (seeds.count == 0) {
    return ffi::Error::InvalidArgument("vexol: batched seed must hold at least one element");
  }
  if (element_count(z) < total) {
    return ffi::Error::InvalidArgument("vexol: batched z must hold at least as many elements as h");
  }
  if (element_count(*out) < total) {
    return ffi::Error::InvalidArgument("vexol: out must hold at least as many elements as h");
  }
  const int64_t row_length = total / rows;
  sample_rows(RowBatch<ffi::NativeType<F>>{h.typed_data(), z.typed_data(), out->typed_data(), rows,
                                           row_length, row_length, seeds, true},
              method);
  return ffi::Error::Success();
}

template <ffi::DataType F, ffi::DataType S>
ffi::Error shared(ffi::Buffer<F> h, ffi::Buffer<F> z, ffi::Buffer<S> seed, ffi::ResultBuffer<F> out,
                  PgMethodRequest method = PgMethodRequest::kDefault) {
  const int64_t n = element_count(h);
  if (n != element_count(z)) {
    return ffi::Error::InvalidArgument("vexol: h and z must have equal length");
  }
  SeedSource seeds;
  if (ffi::Error error = seeds_of(seed, seeds); error.failure()) return error;
  const int64_t rows = seeds.count;
  if (rows == 0) return ffi::Error::Success();  // no rows: nothing is written
  // rows * n cannot overflow where out really holds that many elements;
  // compare by division so that a wrong declaration cannot make it wrap.
  const int64_t capacity = element_count(*out);
  if (n > 0 && capacity / n < rows) {
    return ffi::Error::InvalidArgument("vexol: out must hold one row of h's length per seed");
  }
  sample_rows(RowBatch<ffi::NativeType<F>>{h.typed_data(), z.typed_data(), out->typed_data(), rows,
                                           n, 0, seeds, true},
              method);
  return ffi::Error::Success();
}

}  // namespace

ffi::Error pg_sample_f64_impl(ffi::Buffer<ffi::F64> h, ffi::Buffer<ffi::F64> z,
                              ffi::Buffer<ffi::S64> seed, ffi::ResultBuffer<ffi::F64> out) {
  return flat(h, z, seed, out);
}

ffi::Error pg_sample_f32_impl(ffi::Buffer<ffi::F32> h, ffi::Buffer<ffi::F32> z,
                              ffi::Buffer<ffi::U32> seed, ffi::ResultBuffer<ffi::F32> out) {
  return flat(h, z, seed, out);
}

ffi::Error pg_sample_batched_f64_impl(ffi::Buffer<ffi::F64> h, ffi::Buffer<ffi::F64> z,
                                      ffi::Buffer<ffi::S64> seed, ffi::ResultBuffer<ffi::F64> out) {
  return batched(h, z, seed, out);
}

ffi::Error pg_sample_batched_f32_impl(ffi::Buffer<ffi::F32> h, ffi::Buffer<ffi::F32> z,
                                      ffi::Buffer<ffi::U32> seed, ffi::ResultBuffer<ffi::F32> out) {
  return batched(h, z, seed, out);
}

ffi::Error pg_sample_shared_f64_impl(ffi::Buffer<ffi::F64> h, ffi::Buffer<ffi::F64> z,
                                     ffi::Buffer<ffi::S64> seed, ffi::ResultBuffer<ffi::F64> out) {
  return shared(h, z, seed, out);
}

ffi::Error pg_sample_shared_f32_impl(ffi::Buffer<ffi::F32> h, ffi::Buffer<ffi::F32> z,
                                     ffi::Buffer<ffi::U32> seed, ffi::ResultBuffer<ffi::F32> out) {
  return shared(h, z, seed, out);
}

#define VEXOL_METHOD_IMPL(name, kind, F, S)                                               \
  ffi::Error name(ffi::Buffer<ffi::F> h, ffi::Buffer<ffi::F> z, ffi::Buffer<ffi::S> seed, \
                  ffi::ResultBuffer<ffi::F> out, int32_t method) {                        \
    PgMethodRequest request;                                                              \
    if (ffi::Error error = method_of(method, request); error.failure()) return error;     \
    return kind(h, z, seed, out, request);                                                \
  }

VEXOL_METHOD_IMPL(pg_sample_method_f64_impl, flat, F64, S64)
VEXOL_METHOD_IMPL(pg_sample_method_f32_impl, flat, F32, U32)
VEXOL_METHOD_IMPL(pg_sample_method_batched_f64_impl, batched, F64, S64)
VEXOL_METHOD_IMPL(pg_sample_method_batched_f32_impl, batched, F32, U32)
VEXOL_METHOD_IMPL(pg_sample_method_shared_f64_impl, shared, F64, S64)
VEXOL_METHOD_IMPL(pg_sample_method_shared_f32_impl, shared, F32, U32)

#undef VEXOL_METHOD_IMPL

}  // namespace vexol
