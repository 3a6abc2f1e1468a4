#include "ffi/handlers.h"

#include "ffi/chunk_runner.h"

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

ffi::Error to_error(RangeStatus status) {
  if (status == RangeStatus::kOk) return ffi::Error::Success();
  return ffi::Error::Internal("vexol: a sampling worker thread could not be joined");
}

}  // namespace

ffi::Error pg_sample_f64_impl(ffi::Buffer<ffi::F64> h, ffi::Buffer<ffi::F64> z,
                              ffi::Buffer<ffi::S64> seed, ffi::ResultBuffer<ffi::F64> out) {
  const int64_t n = element_count(h);
  if (n != element_count(z)) {
    return ffi::Error::InvalidArgument("vexol: h and z must have equal length");
  }
  // The runtime sizes out from the caller's declaration, which need not
  // match h; never write past it.
  if (element_count(*out) < n) {
    return ffi::Error::InvalidArgument("vexol: out must hold at least as many elements as h");
  }
  const uint64_t base_seed =
      element_count(seed) == 0 ? 0 : static_cast<uint64_t>(seed.typed_data()[0]);
  return to_error(sample_range(h.typed_data(), z.typed_data(), n, base_seed, out->typed_data()));
}

ffi::Error pg_sample_batched_f64_impl(ffi::Buffer<ffi::F64> h, ffi::Buffer<ffi::F64> z,
                                      ffi::Buffer<ffi::S64> seed, ffi::ResultBuffer<ffi::F64> out) {
  const auto h_dims = h.dimensions();
  if (h_dims.size() < 2) {
    return ffi::Error::InvalidArgument("vexol: batched h must be >= 2D");
  }
  const int64_t rows = h_dims[0];
  if (rows == 0) return ffi::Error::Success();  // nothing is read or written

  const int64_t total = element_count(h);
  const int64_t row_length = total / rows;
  const int64_t seed_count = element_count(seed);
  // Only h's shape is trusted for the geometry, so refuse anything that
  // would make the rows read or write past the other buffers.
  if (seed_count == 0) {
    return ffi::Error::InvalidArgument("vexol: batched seed must hold at least one element");
  }
  if (element_count(z) < total) {
    return ffi::Error::InvalidArgument("vexol: batched z must hold at least as many elements as h");
  }
  if (element_count(*out) < total) {
    return ffi::Error::InvalidArgument("vexol: out must hold at least as many elements as h");
  }

  const double* h_data = h.typed_data();
  const double* z_data = z.typed_data();
  const int64_t* seeds = seed.typed_data();
  double* out_data = out->typed_data();
  for (int64_t r = 0; r < rows; ++r) {
    const int64_t k = seed_count == rows ? r : 0;
    const uint64_t row_seed =
        (static_cast<uint64_t>(r) + 1) * ROW_SEED_MULTIPLIER ^ static_cast<uint64_t>(seeds[k]);
    const int64_t offset = r * row_length;
    const RangeStatus status =
        sample_range(h_data + offset, z_data + offset, row_length, row_seed, out_data + offset);
    if (status != RangeStatus::kOk) return to_error(status);
  }
  return ffi::Error::Success();
}

}  // namespace vexol
