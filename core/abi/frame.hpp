// The operation frame: the fixed calling sequence of every operator export, as small helpers.
//
// An export reads like its list of checks:
//
//   if (frame::is_cuda(ctx))
//     return frame::forward<&Table::gather_faces>(diag, vertices, faces, ctx, out, ws, diag);
//   const frame::Frame f{diag, kMeshFamily};
//   VREL_TRY(f.reset());
//   VREL_TRY(f.context(ctx));
//   VREL_TRY(f.input(vertices, {frame::kAny, 3}, "vertices must be a [V,3] tensor view"));
//   ...
//   VREL_TRY(f.no_alias({out}, {vertices, faces}));
//
// Each helper writes its sentence into the Diagnostic and returns the status of the first failing
// rule, so nothing is written before every check has passed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "abi/descriptors.hpp"
#include "abi/provider_table.hpp"
#include "abi/sentences.hpp"
#include "abi/status.hpp"
#include "vrel/vrel.h"

namespace vrel::frame {

// Standard sentences of the frame.
inline constexpr const char* kNoProvider =
    "no CUDA provider is available; install the vrel CUDA plugin or run on the CPU";
inline constexpr const char* kNotImplemented =
    "the CUDA provider does not implement this operation";
inline constexpr const char* kNoWorkspaceProvider =
    "no CUDA provider is available to report a device workspace requirement";
inline constexpr const char* kInputOutputFlag = "operation inputs may not carry the output flag";
inline constexpr const char* kOutputFlagRequired = "operation outputs must carry the output flag";
inline constexpr const char* kAlias = "outputs may not alias an input or another output";
inline constexpr const char* kForwardWorkspace =
    "the forward pass requires the workspace capacity reported by the query";
inline constexpr const char* kBackwardWorkspace =
    "the backward pass requires the workspace capacity reported by the query";
inline constexpr const char* kWorkspaceAlias = "the workspace may not alias an operand";
inline constexpr const char* kQueryPointers = "workspace query result pointers must not be null";
inline constexpr const char* kWorkspaceOverflow =
    "workspace byte requirement overflows 64-bit capacity";
inline constexpr const char* kOffsetsDtype = "offsets must use the int32 dtype";

// Wildcard extent in a shape pattern.
inline constexpr int64_t kAny = -1;

// Dtype sets, as bit masks of dtype codes.
using DtypeSet = uint32_t;
constexpr DtypeSet dtype_bit(uint32_t dtype) { return 1u << dtype; }
inline constexpr DtypeSet kFloating = dtype_bit(VREL_DTYPE_FLOAT32) | dtype_bit(VREL_DTYPE_FLOAT64);
// True for the dtype codes of float32 and float64.
constexpr bool is_floating(uint32_t dtype) {
  return dtype == VREL_DTYPE_FLOAT32 || dtype == VREL_DTYPE_FLOAT64;
}

// The sentences a family uses for the generic rules.
struct Family {
  const char* cpu_backend;    // context, view or workspace-query device not the CPU (status 2)
  const char* cpu_view;       // a view that does not live on the CPU (status 2)
  const char* cpu_workspace;  // a workspace buffer that does not live on the CPU (status 2)
};

// ---- Step 1: the CUDA branch ----------------------------------------------------------------

// A request is forwarded when its context is non-null, at least 64 bytes and names CUDA.
inline bool is_cuda(const VrelExecutionContext* ctx) noexcept {
  return ctx != nullptr && ctx->struct_size >= abi::kContextSize &&
         ctx->device_type == VREL_DEVICE_CUDA;
}

// The provider's operation table, whose fields name the entries: `&Table::rasterize_window`.
using Table = provider::OperationTable;

// Calls the provider entry `Field` with exactly the export's own arguments and returns its status
// unchanged; or refuses with "no CUDA provider ..." / `missing`. The field's type is the export's
// own signature. `covered_only` applies the size-word rule also to entries within the handshake's
// guaranteed 184 bytes (the lookup applies it past them).
template <auto Field, typename... Args>
VrelStatus forward_entry(const char* missing, bool covered_only, VrelDiagnostic* diag,
                         Args... args) noexcept {
  const provider::OperationTable* table = provider::operations();
  if (table == nullptr) return abi::diag_write(diag, VREL_STATUS_UNSUPPORTED, kNoProvider);
  const auto fn = provider::entry<Field>(table, covered_only);
  if (fn == nullptr) return abi::diag_write(diag, VREL_STATUS_UNSUPPORTED, missing);
  return fn(args...);
}

// The usual form: standard messages, entry guaranteed by the handshake's table size.
template <auto Field, typename... Args>
VrelStatus forward(VrelDiagnostic* diag, Args... args) noexcept {
  return forward_entry<Field>(kNotImplemented, false, diag, args...);
}

// Workspace query forwarding: the provider's workspace-query entry with the operation id and
// counts; refused with `missing` when there is no provider or no such entry.
VrelStatus forward_query(uint64_t operation_id, const uint64_t* counts, uint64_t count_number,
                         uint32_t dtype, const VrelExecutionContext* ctx, uint64_t* bytes,
                         uint64_t* alignment, VrelDiagnostic* diag,
                         const char* missing = kNoWorkspaceProvider) noexcept;

// ---- Packed batch offsets -------------------------------------------------------------------

// Which packed-offset rule an array breaks: first entry 0, nondecreasing, last equal to `rows`.
enum class OffsetsFault { kNone, kFirst, kOrder, kLast };
OffsetsFault packed_offsets_fault(const int32_t* offsets, int64_t entries, int64_t rows) noexcept;

// Sentences of the form that reports the three rules separately.
struct OffsetMessages {
  const char* shape;  // not rank 1 with extent B + 1
  const char* first;  // "the first ... offset must be zero"
  const char* order;  // "... offsets must be nondecreasing"
  const char* last;   // "the final ... offset must equal the ... count"
};

// ---- Shapes and overlap ----------------------------------------------------------------------

using Views = std::initializer_list<const VrelTensorView*>;

// Whether the extents of a view of known rank equal `extents` where they are not kAny. They are
// compared only when the shape array is present; validation reports the rest.
bool extents_match(const VrelTensorView& view, const int64_t* extents, std::size_t rank) noexcept;

// Whether `range` overlaps the bytes of any non-null view of `views` (the alias rule's overlap).
bool overlaps(const abi::ByteRange& range, Views views) noexcept;

// Whether the bytes of two of the non-null `views` overlap.
bool mutually_overlap(Views views) noexcept;

// ---- Steps 2 to 10 --------------------------------------------------------------------------

// Shape pattern: expected extents, kAny for a free one. Its length is the required rank.
using Dims = std::initializer_list<int64_t>;

class Frame {
 public:
  Frame(VrelDiagnostic* diag, const Family& family) noexcept : diag_(diag), family_(family) {}

  VrelDiagnostic* diag() const noexcept { return diag_; }

  // Writes `message` and returns `status`.
  VrelStatus fail(VrelStatus status, const char* message) const noexcept {
    return abi::diag_write(diag_, status, message);
  }

  // Step 2.
  VrelStatus reset() const noexcept { return abi::diag_reset(diag_); }

  // Step 4: vrel_validate_execution_context, then the family's CPU-only rule.
  VrelStatus context(const VrelExecutionContext* ctx) const noexcept;

  // True when `view` is non-null with the rank of `dims` and every fixed extent equal. The
  // extents are compared only when a shape array is present; validation reports the rest. Reads
  // the record: its header must have passed header().
  static bool has_shape(const VrelTensorView* view, Dims dims) noexcept;

  // Step 5 for a required input: shape (1, `shape_message`), validation, CPU device (2, family),
  // no output flag (1).
  VrelStatus input(const VrelTensorView* view, Dims dims, const char* shape_message) const noexcept;

  // Step 6: as input(), but a null view passes.
  VrelStatus optional_input(const VrelTensorView* view, Dims dims,
                            const char* shape_message) const noexcept {
    return view == nullptr ? VREL_STATUS_OK : input(view, dims, shape_message);
  }

  // Step 7 for an output: shape (1), validation, CPU device (2, family), output flag (1).
  VrelStatus output(const VrelTensorView* view, Dims dims,
                    const char* shape_message) const noexcept;

  // A view's versioned header, before any other field of it is read: a short record or another
  // major version gets the validator's status and sentence. Null passes (the caller's own rule
  // reports it). Every rule that reads a view ahead of validate() runs this first.
  VrelStatus header(const VrelTensorView* view) const noexcept {
    return view == nullptr
               ? VREL_STATUS_OK
               : abi::check_header(view, view->struct_size, view->abi_version, abi::kTensorViewSize,
                                   "tensor view pointer is null", diag_);
  }

  // The parts of steps 5 and 7, for families whose order differs. The shape rule checks the
  // header first.
  VrelStatus shape(const VrelTensorView* view, Dims dims, const char* message) const noexcept {
    VREL_TRY(header(view));
    return has_shape(view, dims) ? VREL_STATUS_OK : fail(VREL_STATUS_INVALID_ARGUMENT, message);
  }
  VrelStatus validate(const VrelTensorView* view) const noexcept;
  VrelStatus on_cpu(const VrelTensorView* view) const noexcept;
  VrelStatus not_output(const VrelTensorView* view) const noexcept;
  VrelStatus is_output(const VrelTensorView* view) const noexcept;

  // Dtype rules: membership in a set (status 2 by default) and equality with another operand's
  // dtype (status 1 by default).
  VrelStatus dtype_in(const VrelTensorView* view, DtypeSet allowed, const char* message,
                      VrelStatus status = VREL_STATUS_UNSUPPORTED) const noexcept {
    return view->dtype < 32 && (allowed & dtype_bit(view->dtype)) != 0 ? VREL_STATUS_OK
                                                                       : fail(status, message);
  }
  // A dtype code (as workspace queries receive it) must be float32 or float64: status 2.
  VrelStatus floating_code(uint32_t dtype, const char* message) const noexcept {
    return is_floating(dtype) ? VREL_STATUS_OK : fail(VREL_STATUS_UNSUPPORTED, message);
  }
  VrelStatus dtype_is(const VrelTensorView* view, uint32_t dtype, const char* message,
                      VrelStatus status = VREL_STATUS_INVALID_ARGUMENT) const noexcept {
    return view->dtype == dtype ? VREL_STATUS_OK : fail(status, message);
  }

  // Step 8: every output against every view after it (the other outputs, then the inputs).
  // Null views are skipped. Inputs are never tested against each other.
  VrelStatus no_alias(Views outputs, Views inputs, const char* message = kAlias) const noexcept;

  // Step 9, single-message form: rank 1 with extent `batch` + 1 (1, `message`), validation,
  // int32 (2), CPU device (2, family), no output flag (1), then the packed rules (1, `message`).
  VrelStatus offsets(const VrelTensorView* view, int64_t batch, int64_t rows,
                     const char* message) const noexcept;
  // Three-message form.
  VrelStatus offsets(const VrelTensorView* view, int64_t batch, int64_t rows,
                     const OffsetMessages& messages) const noexcept;
  // Only the packed rules over a validated int32 view, with the three messages.
  VrelStatus offset_rules(const VrelTensorView* view, int64_t rows,
                          const OffsetMessages& messages) const noexcept;

  // A supplied workspace that the operation does not use is validated and nothing more
  // (vrel_validate_buffer). Null passes.
  VrelStatus given_workspace(const VrelBufferDescriptor* workspace) const noexcept {
    return workspace == nullptr ? VREL_STATUS_OK : vrel_validate_buffer(workspace, diag_);
  }

  // As given_workspace(), and the buffer must also live on the CPU (the family's sentence).
  VrelStatus supplied_workspace(const VrelBufferDescriptor* workspace) const noexcept;

  // Step 10: consumes `required` bytes of workspace (nothing to check when 0). Capacity comes
  // before validation; `element_alignment` is the alignment of what the kernel stores there,
  // refused with `alignment_message`; the span may not overlap any of `operands`.
  VrelStatus workspace(const VrelBufferDescriptor* workspace, uint64_t required, bool backward,
                       std::size_t element_alignment, const char* alignment_message,
                       Views operands) const noexcept;

  // Workspace-query step 3: both result pointers present.
  VrelStatus query_pointers(const uint64_t* bytes, const uint64_t* alignment) const noexcept {
    return bytes != nullptr && alignment != nullptr
               ? VREL_STATUS_OK
               : fail(VREL_STATUS_INVALID_ARGUMENT, kQueryPointers);
  }

 private:
  VrelDiagnostic* diag_;
  const Family& family_;
};

// Workspace-query step 5: stores the answer.
inline VrelStatus store_query(uint64_t* bytes, uint64_t* alignment, uint64_t required_bytes,
                              uint64_t required_alignment) noexcept {
  *bytes = required_bytes;
  *alignment = required_alignment;
  return VREL_STATUS_OK;
}

// ---- Shared rules ---------------------------------------------------------------------------

// eps finite and nonnegative (-0.0 passes), else status 1 "eps must be finite and nonnegative".
VrelStatus check_eps(const Frame& f, double eps) noexcept;

// faces: [F,3] input (shape, validation, CPU, no output flag), then int32 (`dtype_status`).
VrelStatus check_faces(const Frame& f, const VrelTensorView* faces,
                       VrelStatus dtype_status = VREL_STATUS_UNSUPPORTED) noexcept;

// Every corner of every face of batch element b in [vertex_offsets[b], vertex_offsets[b+1]) for
// the faces [face_offsets[b], face_offsets[b+1]), over validated packed offsets; else status 1
// "each face must reference vertices of its own batch element".
VrelStatus check_faces_in_batches(const Frame& f, const int32_t* faces,
                                  const int32_t* vertex_offsets, const int32_t* face_offsets,
                                  int64_t batch) noexcept;

// Calls `fn(T{})` with T the C++ type of a validated floating dtype: the one dtype dispatch of
// every export (`with_floating(v->dtype, [&](auto t) { using T = decltype(t); ... })`).
template <typename Fn>
decltype(auto) with_floating(uint32_t dtype, Fn&& fn) {
  if (dtype == VREL_DTYPE_FLOAT32) return fn(float{});
  return fn(double{});
}

// ---- Workspace queries ----------------------------------------------------------------------

// A count rule of a workspace query: when it does not hold, status 1 with its sentence.
struct Rule {
  bool holds;
  const char* message;
};
using Rules = std::initializer_list<Rule>;

// What differs between the workspace queries of the families.
struct Query {
  enum Order {
    kCountsFirst,    // CUDA forwarded first; reset, counts, result pointers, dtype, context
    kPointersFirst,  // CUDA forwarded first; reset, result pointers, counts, dtype, context
    kHostFirst,      // reset, result pointers, counts, dtype, validated context, then CUDA
  };
  uint64_t operation_id;      // the provider's id of the operation; 0: CUDA is not forwarded
                              // and meets the family's device rule
  const char* dtype_message;  // a dtype code other than float32 or float64 (status 2); null
                              // for the queries without a dtype argument
  Order order;
};

// The checks of a host-first query after the reset: result pointers, the count rules, the dtype
// (none when `dtype_message` is null) and the validated context (its device rule is left to the
// caller).
VrelStatus query_checks(const Frame& f, Rules counts, uint32_t dtype, const char* dtype_message,
                        const VrelExecutionContext* ctx, const uint64_t* bytes,
                        const uint64_t* alignment) noexcept;

// A whole workspace query in the order `query` names; the CPU answer is `answer_bytes` with
// `answer_alignment` (0 and 1 for the operations that use no workspace).
VrelStatus workspace_query(const Family& family, const Query& query, Rules counts, uint32_t dtype,
                           const VrelExecutionContext* ctx, uint64_t* bytes, uint64_t* alignment,
                           VrelDiagnostic* diag, uint64_t answer_bytes = 0,
                           uint64_t answer_alignment = 1) noexcept;

// Overflow-checked size arithmetic for workspace queries: false on overflow.
inline bool mul_size(uint64_t a, uint64_t b, uint64_t* out) noexcept {
  return !__builtin_mul_overflow(a, b, out);
}
inline bool add_size(uint64_t a, uint64_t b, uint64_t* out) noexcept {
  return !__builtin_add_overflow(a, b, out);
}

}  // namespace vrel::frame
