// A stand-in for the XLA runtime's side of a custom call: hand-built call
// frames and just enough of the runtime's API (creating, reading and
// destroying error objects) for the handlers' binding to report through it.
// It compiles against the FFI headers of every jaxlib the build may name:
// the error reader (GetMessage in older APIs, GetDetails in newer ones) and
// the extension type are taken from the headers rather than spelled out.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <type_traits>
#include <vector>

#include "xla/ffi/api/c_api.h"

// The runtime keeps this type opaque; the harness gives it a body of its own.
struct XLA_FFI_Error {
  XLA_FFI_Error_Code code;
  std::string message;
};

namespace vexol::testing {

inline XLA_FFI_Error* fake_error_create(XLA_FFI_Error_Create_Args* args) {
  return new XLA_FFI_Error{args->errc, args->message};
}

template <typename T, typename = void>
struct HasErrc : std::false_type {};
template <typename T>
struct HasErrc<T, std::void_t<decltype(std::declval<T>().errc)>> : std::true_type {};

template <typename T, typename = void>
struct HasGetDetails : std::false_type {};
template <typename T>
struct HasGetDetails<T, std::void_t<decltype(&T::XLA_FFI_Error_GetDetails)>> : std::true_type {};

template <typename T, typename = void>
struct HasGetMessage : std::false_type {};
template <typename T>
struct HasGetMessage<T, std::void_t<decltype(&T::XLA_FFI_Error_GetMessage)>> : std::true_type {};

template <typename Fn>
struct ArgsOf;
template <typename Args>
struct ArgsOf<void (*)(Args*)> {
  using type = Args;
};

// Reads an error back, with whichever argument struct the headers define.
template <typename Args>
void fake_error_read(Args* args) {
  args->message = args->error->message.c_str();
  if constexpr (HasErrc<Args>::value) args->errc = args->error->code;
}

template <typename Api>
void install_error_readers(Api& a) {
  if constexpr (HasGetDetails<Api>::value) {
    a.XLA_FFI_Error_GetDetails =
        &fake_error_read<typename ArgsOf<decltype(a.XLA_FFI_Error_GetDetails)>::type>;
  }
  if constexpr (HasGetMessage<Api>::value) {
    a.XLA_FFI_Error_GetMessage =
        &fake_error_read<typename ArgsOf<decltype(a.XLA_FFI_Error_GetMessage)>::type>;
  }
}

// The type of a call frame's extension chain in these headers.
using ExtensionBase = std::remove_pointer_t<decltype(XLA_FFI_CallFrame::extension_start)>;

inline void fake_error_destroy(XLA_FFI_Error_Destroy_Args* args) { delete args->error; }

// The runtime's API table with only the error functions filled in: the
// handlers use nothing else (no stream, no context, no state).
inline const XLA_FFI_Api* fake_api() {
  static const XLA_FFI_Api api = [] {
    XLA_FFI_Api a{};
    a.struct_size = XLA_FFI_Api_STRUCT_SIZE;
    a.api_version.struct_size = XLA_FFI_Api_Version_STRUCT_SIZE;
    a.api_version.major_version = XLA_FFI_API_MAJOR;
    a.api_version.minor_version = XLA_FFI_API_MINOR;
    a.XLA_FFI_Error_Create = &fake_error_create;
    install_error_readers(a);
    a.XLA_FFI_Error_Destroy = &fake_error_destroy;
    return a;
  }();
  return &api;
}

// What a call returned: success, or the error's code and message.
struct CallOutcome {
  bool ok = true;
  int code = 0;
  std::string message;
};

// One call frame and the buffers it describes. Buffers are not copied: the
// caller keeps the data alive for the call.
class CallFrameBuilder {
 public:
  CallFrameBuilder() {
    frame_.struct_size = XLA_FFI_CallFrame_STRUCT_SIZE;
    frame_.api = fake_api();
    frame_.stage = XLA_FFI_ExecutionStage_EXECUTE;
    frame_.args.struct_size = XLA_FFI_Args_STRUCT_SIZE;
    frame_.rets.struct_size = XLA_FFI_Rets_STRUCT_SIZE;
    frame_.attrs.struct_size = XLA_FFI_Attrs_STRUCT_SIZE;
  }

  CallFrameBuilder& arg(XLA_FFI_DataType dtype, void* data, std::vector<int64_t> dims) {
    arg_ptrs_.push_back(make_buffer(dtype, data, std::move(dims)));
    arg_types_.push_back(XLA_FFI_ArgType_BUFFER);
    return *this;
  }

  CallFrameBuilder& ret(XLA_FFI_DataType dtype, void* data, std::vector<int64_t> dims) {
    ret_ptrs_.push_back(make_buffer(dtype, data, std::move(dims)));
    ret_types_.push_back(XLA_FFI_RetType_BUFFER);
    return *this;
  }

  // A scalar attribute; the name and the value must outlive the call.
  CallFrameBuilder& attr(const std::string& name, XLA_FFI_DataType dtype, void* value) {
    attr_names_.push_back(XLA_FFI_ByteSpan{name.data(), name.size()});
    attr_scalars_.push_back(XLA_FFI_Scalar{dtype, value});
    attr_types_.push_back(XLA_FFI_AttrType_SCALAR);
    return *this;
  }

  // Marks argument i as being of an unknown kind (not a buffer).
  CallFrameBuilder& arg_kind(size_t i, int kind) {
    arg_types_.at(i) = static_cast<XLA_FFI_ArgType>(kind);
    return *this;
  }

  CallFrameBuilder& stage(XLA_FFI_ExecutionStage s) {
    frame_.stage = s;
    return *this;
  }

  CallFrameBuilder& struct_size(size_t size) {
    frame_.struct_size = size;
    return *this;
  }

  CallFrameBuilder& extension(ExtensionBase* ext) {
    frame_.extension_start = ext;
    return *this;
  }

  XLA_FFI_CallFrame* frame() {
    frame_.args.size = static_cast<int64_t>(arg_ptrs_.size());
    frame_.args.types = arg_types_.data();
    frame_.args.args = arg_ptrs_.data();
    frame_.rets.size = static_cast<int64_t>(ret_ptrs_.size());
    frame_.rets.types = ret_types_.data();
    frame_.rets.rets = ret_ptrs_.data();
    attr_name_ptrs_.clear();
    attr_ptrs_.clear();
    for (auto& n : attr_names_) attr_name_ptrs_.push_back(&n);
    for (auto& a : attr_scalars_) attr_ptrs_.push_back(&a);
    frame_.attrs.size = static_cast<int64_t>(attr_types_.size());
    frame_.attrs.types = attr_types_.data();
    frame_.attrs.names = attr_name_ptrs_.data();
    frame_.attrs.attrs = attr_ptrs_.data();
    return &frame_;
  }

  // Calls `entry` with the frame and turns its result into a CallOutcome,
  // destroying the error object as the runtime would.
  CallOutcome call(XLA_FFI_Handler* entry) {
    XLA_FFI_Error* error = entry(frame());
    CallOutcome outcome;
    if (error != nullptr) {
      outcome.ok = false;
      outcome.code = error->code;
      outcome.message = error->message;
      XLA_FFI_Error_Destroy_Args destroy{XLA_FFI_Error_Destroy_Args_STRUCT_SIZE, nullptr, error};
      fake_api()->XLA_FFI_Error_Destroy(&destroy);
    }
    return outcome;
  }

 private:
  void* make_buffer(XLA_FFI_DataType dtype, void* data, std::vector<int64_t> dims) {
    dims_.push_back(std::move(dims));
    XLA_FFI_Buffer buffer{};
    buffer.struct_size = XLA_FFI_Buffer_STRUCT_SIZE;
    buffer.dtype = dtype;
    buffer.data = data;
    buffer.rank = static_cast<int64_t>(dims_.back().size());
    buffer.dims = dims_.back().data();
    buffers_.push_back(buffer);
    return &buffers_.back();
  }

  XLA_FFI_CallFrame frame_{};
  // Deques: pointers into them stay valid as buffers are added.
  std::deque<std::vector<int64_t>> dims_;
  std::deque<XLA_FFI_Buffer> buffers_;
  std::vector<XLA_FFI_ArgType> arg_types_;
  std::vector<void*> arg_ptrs_;
  std::vector<XLA_FFI_RetType> ret_types_;
  std::vector<void*> ret_ptrs_;
  std::deque<XLA_FFI_ByteSpan> attr_names_;
  std::deque<XLA_FFI_Scalar> attr_scalars_;
  std::vector<XLA_FFI_AttrType> attr_types_;
  std::vector<XLA_FFI_ByteSpan*> attr_name_ptrs_;
  std::vector<void*> attr_ptrs_;
};

// The FFI element type of a buffer of T.
template <typename T>
constexpr XLA_FFI_DataType ffi_type_of();
template <>
constexpr XLA_FFI_DataType ffi_type_of<double>() {
  return XLA_FFI_DataType_F64;
}
template <>
constexpr XLA_FFI_DataType ffi_type_of<float>() {
  return XLA_FFI_DataType_F32;
}
template <>
constexpr XLA_FFI_DataType ffi_type_of<int64_t>() {
  return XLA_FFI_DataType_S64;
}
template <>
constexpr XLA_FFI_DataType ffi_type_of<uint32_t>() {
  return XLA_FFI_DataType_U32;
}

// The four operands of a sampling call as the runtime would pass them, in
// either precision (F64 with S64 seeds, F32 with U32 seed words).
template <typename F, typename S>
inline CallFrameBuilder sampling_frame(std::vector<F>& h, std::vector<int64_t> h_dims,
                                       std::vector<F>& z, std::vector<int64_t> z_dims,
                                       std::vector<S>& seed, std::vector<int64_t> seed_dims,
                                       std::vector<F>& out, std::vector<int64_t> out_dims) {
  CallFrameBuilder b;
  b.arg(ffi_type_of<F>(), h.data(), std::move(h_dims))
      .arg(ffi_type_of<F>(), z.data(), std::move(z_dims))
      .arg(ffi_type_of<S>(), seed.data(), std::move(seed_dims))
      .ret(ffi_type_of<F>(), out.data(), std::move(out_dims));
  return b;
}

}  // namespace vexol::testing
