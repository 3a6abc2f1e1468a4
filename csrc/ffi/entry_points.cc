#include "ffi/entry_points.h"

#include "ffi/handlers.h"

namespace ffi = xla::ffi;

namespace vexol {
namespace {

// Every custom call takes the same operands in one precision or the other;
// only the implementation differs.
auto f64_binding() {
  return ffi::Ffi::Bind()
      .Arg<ffi::Buffer<ffi::F64>>()   // h
      .Arg<ffi::Buffer<ffi::F64>>()   // z
      .Arg<ffi::Buffer<ffi::S64>>()   // seed
      .Ret<ffi::Buffer<ffi::F64>>();  // out
}

auto f32_binding() {
  return ffi::Ffi::Bind()
      .Arg<ffi::Buffer<ffi::F32>>()   // h
      .Arg<ffi::Buffer<ffi::F32>>()   // z
      .Arg<ffi::Buffer<ffi::U32>>()   // seed, (high, low) pairs
      .Ret<ffi::Buffer<ffi::F32>>();  // out
}

// The handlers on request: the same operands and the method code.
auto f64_method_binding() { return f64_binding().Attr<int32_t>("method"); }
auto f32_method_binding() { return f32_binding().Attr<int32_t>("method"); }

}  // namespace

// Each expands to a function whose local static handler pointer is built on
// the first call (thread-safe, concurrent first callers wait) and never freed.
XLA_FFI_DEFINE_HANDLER_SYMBOL(pg_sample_f64_handler, pg_sample_f64_impl, f64_binding());
XLA_FFI_DEFINE_HANDLER_SYMBOL(pg_sample_batched_f64_handler, pg_sample_batched_f64_impl,
                              f64_binding());
XLA_FFI_DEFINE_HANDLER_SYMBOL(pg_sample_shared_f64_handler, pg_sample_shared_f64_impl,
                              f64_binding());
XLA_FFI_DEFINE_HANDLER_SYMBOL(pg_sample_f32_handler, pg_sample_f32_impl, f32_binding());
XLA_FFI_DEFINE_HANDLER_SYMBOL(pg_sample_batched_f32_handler, pg_sample_batched_f32_impl,
                              f32_binding());
XLA_FFI_DEFINE_HANDLER_SYMBOL(pg_sample_shared_f32_handler, pg_sample_shared_f32_impl,
                              f32_binding());
XLA_FFI_DEFINE_HANDLER_SYMBOL(pg_sample_method_f64_handler, pg_sample_method_f64_impl,
                              f64_method_binding());
XLA_FFI_DEFINE_HANDLER_SYMBOL(pg_sample_method_batched_f64_handler,
                              pg_sample_method_batched_f64_impl, f64_method_binding());
XLA_FFI_DEFINE_HANDLER_SYMBOL(pg_sample_method_shared_f64_handler, pg_sample_method_shared_f64_impl,
                              f64_method_binding());
XLA_FFI_DEFINE_HANDLER_SYMBOL(pg_sample_method_f32_handler, pg_sample_method_f32_impl,
                              f32_method_binding());
XLA_FFI_DEFINE_HANDLER_SYMBOL(pg_sample_method_batched_f32_handler,
                              pg_sample_method_batched_f32_impl, f32_method_binding());
XLA_FFI_DEFINE_HANDLER_SYMBOL(pg_sample_method_shared_f32_handler, pg_sample_method_shared_f32_impl,
                              f32_method_binding());

}  // namespace vexol
