// The two plain functions whose addresses the runtime calls: each owns a
// bound handler object (execute stage; F64 h, F64 z, S64 seed -> F64 out)
// built on its first call, once per process, and kept until exit.
#pragma once

#include "xla/ffi/api/ffi.h"

namespace vexol {

XLA_FFI_DECLARE_HANDLER_SYMBOL(pg_sample_f64_handler);
XLA_FFI_DECLARE_HANDLER_SYMBOL(pg_sample_batched_f64_handler);

}  // namespace vexol
