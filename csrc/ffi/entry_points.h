// The plain functions whose addresses the runtime calls: each owns a bound
// handler object (execute stage; h, z, seed -> out) built on its first
// call, once per process, and kept until exit.
//
//   pg_sample_f64_handler          F64 h, F64 z, S64 seed       -> F64 out
//   pg_sample_batched_f64_handler  F64 h, F64 z, S64 seed       -> F64 out
//   pg_sample_shared_f64_handler   F64 h, F64 z, S64 seed       -> F64 out
//   pg_sample_f32_handler          F32 h, F32 z, U32 seed pairs -> F32 out
//   pg_sample_batched_f32_handler  F32 h, F32 z, U32 seed pairs -> F32 out
//   pg_sample_shared_f32_handler   F32 h, F32 z, U32 seed pairs -> F32 out
//
// and the same six by a method on request, each with the attribute
// `method` (int32: 0 default, 1 saddle, 2 exact):
//
//   pg_sample_method_f64_handler, pg_sample_method_batched_f64_handler,
//   pg_sample_method_shared_f64_handler, pg_sample_method_f32_handler,
//   pg_sample_method_batched_f32_handler, pg_sample_method_shared_f32_handler
#pragma once

#include "xla/ffi/api/ffi.h"

namespace vexol {

XLA_FFI_DECLARE_HANDLER_SYMBOL(pg_sample_f64_handler);
XLA_FFI_DECLARE_HANDLER_SYMBOL(pg_sample_batched_f64_handler);
XLA_FFI_DECLARE_HANDLER_SYMBOL(pg_sample_shared_f64_handler);
XLA_FFI_DECLARE_HANDLER_SYMBOL(pg_sample_f32_handler);
XLA_FFI_DECLARE_HANDLER_SYMBOL(pg_sample_batched_f32_handler);
XLA_FFI_DECLARE_HANDLER_SYMBOL(pg_sample_shared_f32_handler);
XLA_FFI_DECLARE_HANDLER_SYMBOL(pg_sample_method_f64_handler);
XLA_FFI_DECLARE_HANDLER_SYMBOL(pg_sample_method_batched_f64_handler);
XLA_FFI_DECLARE_HANDLER_SYMBOL(pg_sample_method_shared_f64_handler);
XLA_FFI_DECLARE_HANDLER_SYMBOL(pg_sample_method_f32_handler);
XLA_FFI_DECLARE_HANDLER_SYMBOL(pg_sample_method_batched_f32_handler);
XLA_FFI_DECLARE_HANDLER_SYMBOL(pg_sample_method_shared_f32_handler);

}  // namespace vexol
