// The Python face of the library: functions that hand out the handler entry
// functions as capsules, to be registered with the XLA runtime as
// custom-call targets. After registration the runtime calls the handlers
// directly and Python is no longer involved.
#include <nanobind/nanobind.h>

#include "ffi/entry_points.h"
#include "xla/ffi/api/c_api.h"

namespace nb = nanobind;

namespace {

// A fresh capsule per call, with no name and no cleanup: it carries the
// address of static code, which nothing owns.
nb::capsule handler_capsule(XLA_FFI_Handler* handler) {
  return nb::capsule(reinterpret_cast<void*>(handler));
}

}  // namespace

// NB_MODULE gives multi-phase initialisation: PyInit_vexol_cpp returns the
// module definition and this body runs as its execution step.
NB_MODULE(vexol_cpp, m) {
  m.doc() = "On-device Pólya-Gamma sampling as XLA FFI custom calls";
  m.def(
      "pg_sample_f64_capsule", [] { return handler_capsule(vexol::pg_sample_f64_handler); },
      nb::sig("def pg_sample_f64_capsule() -> typing_extensions.CapsuleType"));
  m.def(
      "pg_sample_batched_f64_capsule",
      [] { return handler_capsule(vexol::pg_sample_batched_f64_handler); },
      nb::sig("def pg_sample_batched_f64_capsule() -> "
              "typing_extensions.CapsuleType"));
  m.def(
      "pg_sample_shared_f64_capsule",
      [] { return handler_capsule(vexol::pg_sample_shared_f64_handler); },
      nb::sig("def pg_sample_shared_f64_capsule() -> typing_extensions.CapsuleType"));
  m.def(
      "pg_sample_f32_capsule", [] { return handler_capsule(vexol::pg_sample_f32_handler); },
      nb::sig("def pg_sample_f32_capsule() -> typing_extensions.CapsuleType"));
  m.def(
      "pg_sample_batched_f32_capsule",
      [] { return handler_capsule(vexol::pg_sample_batched_f32_handler); },
      nb::sig("def pg_sample_batched_f32_capsule() -> typing_extensions.CapsuleType"));
  m.def(
      "pg_sample_shared_f32_capsule",
      [] { return handler_capsule(vexol::pg_sample_shared_f32_handler); },
      nb::sig("def pg_sample_shared_f32_capsule() -> typing_extensions.CapsuleType"));
  // The handlers by a method on request, with the int32 attribute `method`.
  m.def(
      "pg_sample_method_f64_capsule",
      [] { return handler_capsule(vexol::pg_sample_method_f64_handler); },
      nb::sig("def pg_sample_method_f64_capsule() -> typing_extensions.CapsuleType"));
  m.def(
      "pg_sample_method_batched_f64_capsule",
      [] { return handler_capsule(vexol::pg_sample_method_batched_f64_handler); },
      nb::sig("def pg_sample_method_batched_f64_capsule() -> typing_extensions.CapsuleType"));
  m.def(
      "pg_sample_method_shared_f64_capsule",
      [] { return handler_capsule(vexol::pg_sample_method_shared_f64_handler); },
      nb::sig("def pg_sample_method_shared_f64_capsule() -> typing_extensions.CapsuleType"));
  m.def(
      "pg_sample_method_f32_capsule",
      [] { return handler_capsule(vexol::pg_sample_method_f32_handler); },
      nb::sig("def pg_sample_method_f32_capsule() -> typing_extensions.CapsuleType"));
  m.def(
      "pg_sample_method_batched_f32_capsule",
      [] { return handler_capsule(vexol::pg_sample_method_batched_f32_handler); },
      nb::sig("def pg_sample_method_batched_f32_capsule() -> typing_extensions.CapsuleType"));
  m.def(
      "pg_sample_method_shared_f32_capsule",
      [] { return handler_capsule(vexol::pg_sample_method_shared_f32_handler); },
      nb::sig("def pg_sample_method_shared_f32_capsule() -> typing_extensions.CapsuleType"));
  // The runtime refuses handlers built against a newer FFI API than its
  // own; the package compares this with the installed runtime's before it
  // registers anything.
  m.def(
      "ffi_api_version", [] { return nb::make_tuple(XLA_FFI_API_MAJOR, XLA_FFI_API_MINOR); },
      nb::sig("def ffi_api_version() -> tuple[int, int]"));
}
