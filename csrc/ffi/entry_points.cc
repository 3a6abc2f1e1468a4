#include "ffi/entry_points.h"

#include "ffi/handlers.h"

namespace ffi = xla::ffi;

namespace vexol {
namespace {

// Both custom calls take the same operands; only the implementation differs.
auto sampling_binding() {
  return ffi::Ffi::Bind()
      .Arg<ffi::Buffer<ffi::F64>>()   // h
      .Arg<ffi::Buffer<ffi::F64>>()   // z
      .Arg<ffi::Buffer<ffi::S64>>()   // seed
      .Ret<ffi::Buffer<ffi::F64>>();  // out
}

}  // namespace

// Each expands to a function whose local static handler pointer is built on
// the first call (thread-safe, concurrent first callers wait) and never freed.
XLA_FFI_DEFINE_HANDLER_SYMBOL(pg_sample_f64_handler, pg_sample_f64_impl, sampling_binding());
XLA_FFI_DEFINE_HANDLER_SYMBOL(pg_sample_batched_f64_handler, pg_sample_batched_f64_impl,
                              sampling_binding());

}  // namespace vexol
