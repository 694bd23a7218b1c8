// libFuzzer target: the versioned records of a sample of exports (one per family) and of the three
// validators, built from a valid call and then corrupted byte by byte.
//
// Input: one byte choosing the call, then 3-byte edits (record, position, value). A position below
// 0x80 is a byte of the record itself: its header, its scalar fields or, for the pointer fields, a
// choice between the valid pointer (even value) and null (odd value). A position of 0x80 or more is
// a byte of the view's storage (indices and values). A record whose struct_size is set below the
// record's size is handed over in a heap block of exactly that many bytes (its 8-byte header at
// least), so that reading past it is an AddressSanitizer report.
//
// Invariants, beyond "no crash": a validator given a broken header returns 6; a refused call has
// a message, leaves every input and (unless the status is 4, or a documented partial write) every
// output and the workspace as they were.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "vrel/vrel.h"

namespace {

constexpr std::size_t kStorage = 128;  // bytes of each view's storage block
constexpr std::size_t kWorkspace = 4096;
constexpr int kMaxRank = VREL_MAX_TENSOR_RANK;

struct TensorPlan {
  uint32_t dtype;
  std::vector<int64_t> shape;
  bool output;
  std::vector<double> values;  // initial contents (as the dtype), repeated
};

// A view and everything it points to.
struct Operand {
  TensorPlan plan;
  alignas(64) unsigned char storage[kStorage] = {};
  int64_t shape[kMaxRank] = {};
  int64_t strides[kMaxRank] = {};
  VrelTensorView record{};
  std::unique_ptr<unsigned char[]> short_copy;  // the record when struct_size is below 96

  void build() {
    std::size_t size = 1;
    for (std::size_t i = 0; i < plan.shape.size(); ++i) shape[i] = plan.shape[i];
    int64_t stride = 1;
    for (std::size_t i = plan.shape.size(); i-- > 0;) {
      strides[i] = stride;
      stride *= plan.shape[i] > 0 ? plan.shape[i] : 1;
    }
    for (const int64_t e : plan.shape) size *= static_cast<std::size_t>(e);
    for (std::size_t i = 0; i < size; ++i) {
      const double v = plan.values.empty() ? 0.0 : plan.values[i % plan.values.size()];
      switch (plan.dtype) {
        case VREL_DTYPE_FLOAT32:
          reinterpret_cast<float*>(storage)[i] = static_cast<float>(v);
          break;
        case VREL_DTYPE_FLOAT64: reinterpret_cast<double*>(storage)[i] = v; break;
        case VREL_DTYPE_INT32:
          reinterpret_cast<int32_t*>(storage)[i] = static_cast<int32_t>(v);
          break;
        case VREL_DTYPE_UINT32:
          reinterpret_cast<uint32_t*>(storage)[i] = static_cast<uint32_t>(v);
          break;
        default: storage[i] = v != 0; break;
      }
    }
    record.struct_size = sizeof(VrelTensorView);
    record.abi_version = VREL_ABI_VERSION;
    record.data = storage;
    record.shape = plan.shape.empty() ? nullptr : shape;
    record.strides = plan.shape.empty() ? nullptr : strides;
    record.rank = static_cast<uint32_t>(plan.shape.size());
    record.dtype = plan.dtype;
    record.device_type = VREL_DEVICE_CPU;
    record.flags = plan.output ? VREL_TENSOR_OUTPUT : VREL_TENSOR_READ_ONLY;
  }

  // The pointer the export receives.
  const VrelTensorView* pointer() {
    if (record.struct_size >= sizeof(VrelTensorView)) return &record;
    const std::size_t n = record.struct_size < 8 ? 8 : record.struct_size;  // a header at least
    short_copy.reset(new unsigned char[n]);
    std::memcpy(short_copy.get(), &record, n);
    return reinterpret_cast<const VrelTensorView*>(short_copy.get());
  }

  // A view that validates must lie in its storage block; otherwise the caller lied about its
  // memory and the input is skipped.
  bool honest() const {
    if (record.struct_size < sizeof(VrelTensorView)) return true;
    if (vrel_validate_tensor_view(&record, nullptr) != VREL_STATUS_OK || record.data == nullptr)
      return true;
    uint64_t count = 1;
    for (uint32_t i = 0; i < record.rank; ++i) count *= static_cast<uint64_t>(record.shape[i]);
    const uint64_t element = record.dtype == VREL_DTYPE_FLOAT64 ? 8
                             : record.dtype == VREL_DTYPE_BOOL  ? 1
                                                                : 4;
    const auto begin = reinterpret_cast<uintptr_t>(record.data) + record.byte_offset;
    const auto base = reinterpret_cast<uintptr_t>(storage);
    return begin >= base && begin - base <= kStorage &&
           count * element <= kStorage - (begin - base);
  }
};

// Applies one edit to a record of `size` bytes whose pointer fields are at `pointers`.
template <typename Record>
void edit_record(Record& record, uint8_t position, uint8_t value,
                 std::initializer_list<std::pair<std::size_t, void*>> pointers) {
  for (const auto& [offset, valid] : pointers) {
    if (position >= offset && position < offset + 8) {
      void* chosen = (value & 1) != 0 ? nullptr : valid;
      std::memcpy(reinterpret_cast<unsigned char*>(&record) + offset, &chosen, sizeof chosen);
      return;
    }
  }
  if (position < sizeof(Record)) reinterpret_cast<unsigned char*>(&record)[position] = value;
}

bool header_broken(uint32_t struct_size, uint32_t abi_version, uint32_t size) {
  return struct_size < size || abi_version < 0x10000u || abi_version > 0x1FFFFu;
}

struct Call {
  std::vector<std::unique_ptr<Operand>> views;
  VrelExecutionContext context{};
  VrelBufferDescriptor workspace{};
  alignas(64) unsigned char workspace_bytes[kWorkspace] = {};
  std::unique_ptr<unsigned char[]> short_context, short_workspace;

  Operand& add(TensorPlan plan) {
    views.push_back(std::make_unique<Operand>());
    views.back()->plan = std::move(plan);
    views.back()->build();
    return *views.back();
  }

  const VrelTensorView* view(std::size_t i) { return views[i]->pointer(); }

  template <typename Record>
  const Record* short_form(Record& record, std::unique_ptr<unsigned char[]>& copy) {
    if (record.struct_size >= sizeof(Record)) return &record;
    const std::size_t n = record.struct_size < 8 ? 8 : record.struct_size;  // a header at least
    copy.reset(new unsigned char[n]);
    std::memcpy(copy.get(), &record, n);
    return reinterpret_cast<const Record*>(copy.get());
  }
  const VrelExecutionContext* ctx() { return short_form(context, short_context); }
  const VrelBufferDescriptor* ws() { return short_form(workspace, short_workspace); }
};

// The sampled calls: one export per family and the three validators.
enum Operation : uint8_t {
  kValidateView,
  kValidateContext,
  kValidateBuffer,
  kGatherFaces,
  kTransformPoints,
  kInterpolate,
  kKnn,
  kTexturePyramid,
  kSkinning,
  kPlyRead,
  kOperationCount
};

constexpr char kPly[] =
    "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
    "property float z\nelement face 1\nproperty list uchar int vertex_indices\n"
    "end_header\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n";

void setup(Operation op, Call& c) {
  const uint32_t f32 = VREL_DTYPE_FLOAT32, i32 = VREL_DTYPE_INT32;
  switch (op) {
    case kValidateView: c.add({f32, {2, 3}, false, {1}}); break;
    case kValidateContext:
    case kValidateBuffer: break;
    case kGatherFaces:
      c.add({f32, {4, 3}, false, {0.5, 1, 2}});
      c.add({i32, {2, 3}, false, {0, 1, 2, 3, 2, 1}});
      c.add({f32, {2, 3, 3}, true, {}});
      break;
    case kTransformPoints:
      c.add({f32, {4, 3}, false, {1, 2, 3}});
      c.add({f32, {1, 4, 4}, false, {1, 0, 0, 0, 0}});
      c.add({i32, {2}, false, {0, 4}});
      c.add({f32, {4, 4}, true, {}});
      break;
    case kInterpolate:
      c.add({i32, {1, 2, 2, 1}, false, {0, 1, -1, 1}});
      c.add({f32, {1, 2, 2, 1, 3}, false, {0.25, 0.5, 0.25}});
      c.add({f32, {2, 3, 2}, false, {1, 2, 3}});
      c.add({f32, {1, 2, 2, 1, 2}, true, {}});
      break;
    case kKnn:
      c.add({f32, {4, 3}, false, {0, 1, 2, 3, 4}});
      c.add({f32, {4, 3}, false, {3, 1, 0}});
      c.add({i32, {2}, false, {0, 4}});
      c.add({i32, {2}, false, {0, 4}});
      c.add({f32, {4, 2}, true, {}});
      c.add({i32, {4, 2}, true, {}});
      c.add({VREL_DTYPE_BOOL, {4, 2}, true, {}});
      break;
    case kTexturePyramid:
      c.add({f32, {2, 2, 1}, false, {1, 2, 3, 4}});
      c.add({f32, {5}, true, {}});
      c.add({i32, {3}, true, {}});
      break;
    case kSkinning:
      c.add({f32, {1, 2, 3}, false, {1, 2, 3}});
      c.add({f32, {1, 1, 4, 4}, false, {1, 0, 0, 0, 0}});
      c.add({f32, {2, 1}, false, {1}});
      c.add({f32, {1, 2, 3}, true, {}});
      break;
    case kPlyRead:
      c.add({f32, {3, 3}, true, {}});
      c.add({i32, {1, 3}, true, {}});
      break;
    default: break;
  }
  c.context.struct_size = sizeof c.context;
  c.context.abi_version = VREL_ABI_VERSION;
  c.context.device_type = VREL_DEVICE_CPU;
  c.workspace.struct_size = sizeof c.workspace;
  c.workspace.abi_version = VREL_ABI_VERSION;
  c.workspace.data = c.workspace_bytes;
  c.workspace.capacity = kWorkspace;
  c.workspace.alignment = 64;
  c.workspace.device_type = VREL_DEVICE_CPU;
}

VrelStatus run(Operation op, Call& c, VrelDiagnostic* d) {
  switch (op) {
    case kValidateView: return vrel_validate_tensor_view(c.view(0), d);
    case kValidateContext: return vrel_validate_execution_context(c.ctx(), d);
    case kValidateBuffer: return vrel_validate_buffer(c.ws(), d);
    case kGatherFaces:
      return vrel_mesh_gather_faces(c.view(0), c.view(1), c.ctx(), c.view(2), c.ws(), d);
    case kTransformPoints:
      return vrel_transforms_transform_points(c.view(0), c.view(1), c.view(2), c.ctx(), c.view(3),
                                              c.ws(), d);
    case kInterpolate:
      return vrel_render_interpolate(c.view(0), c.view(1), c.view(2), c.ctx(), c.view(3), c.ws(),
                                     d);
    case kKnn:
      return vrel_points_knn(c.view(0), c.view(1), c.view(2), c.view(3), 2, c.ctx(), c.view(4),
                             c.view(5), c.view(6), c.ws(), d);
    case kTexturePyramid:
      return vrel_render_texture_pyramid(c.view(0), 0, c.ctx(), c.view(1), c.view(2), c.ws(), d);
    case kSkinning:
      return vrel_mesh_skin_lbs(c.view(0), c.view(1), c.view(2), c.ctx(), c.view(3), c.ws(), d);
    case kPlyRead: {
      VrelPlyInfo info{};
      info.struct_size = sizeof info;
      if (vrel_io_ply_probe(kPly, sizeof kPly - 1, nullptr, &info, nullptr) != VREL_STATUS_OK)
        std::abort();
      return vrel_io_ply_read(kPly, sizeof kPly - 1, &info, c.ctx(), c.view(0), c.view(1), nullptr,
                              d);
    }
    default: return VREL_STATUS_OK;
  }
}

[[noreturn]] void broken(const char* what, Operation op, VrelStatus status, const char* message) {
  std::fprintf(stderr, "invariant broken (operation %d, status %d, \"%s\"): %s\n",
               static_cast<int>(op), static_cast<int>(status), message, what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const auto op = static_cast<Operation>(data[0] % kOperationCount);
  Call c;
  setup(op, c);
  const std::size_t records = c.views.size() + 2;
  for (std::size_t i = 1; i + 3 <= size; i += 3) {
    const std::size_t which = data[i] % records;
    const uint8_t position = data[i + 1];
    const uint8_t value = data[i + 2];
    if (which < c.views.size()) {
      Operand& v = *c.views[which];
      if (position >= 0x80) {
        v.storage[(position - 0x80) % kStorage] = value;
      } else {
        edit_record(v.record, position, value, {{8, v.storage}, {24, v.shape}, {32, v.strides}});
      }
    } else if (which == c.views.size()) {
      edit_record(c.context, position, value, {});
    } else {
      edit_record(c.workspace, position, value, {{8, c.workspace_bytes}});
    }
  }
  // A workspace claiming more than its block is a caller lying about its memory.
  if (c.workspace.capacity > kWorkspace) c.workspace.capacity = kWorkspace;
  for (const auto& v : c.views)
    if (!v->honest()) return 0;

  std::vector<std::vector<unsigned char>> before;
  for (const auto& v : c.views) before.emplace_back(v->storage, v->storage + kStorage);
  const std::vector<unsigned char> workspace_before(c.workspace_bytes,
                                                    c.workspace_bytes + kWorkspace);

  char text[256] = {};
  VrelDiagnostic diag{};
  diag.struct_size = sizeof diag;
  diag.abi_version = VREL_ABI_VERSION;
  diag.message = text;
  diag.message_capacity = sizeof text;
  const VrelStatus status = run(op, c, &diag);

  if (op == kValidateView &&
      header_broken(c.views[0]->record.struct_size, c.views[0]->record.abi_version, 96) &&
      status != VREL_STATUS_ABI_MISMATCH)
    broken("a view with a broken header was not refused with status 6", op, status, text);
  if (op == kValidateContext && header_broken(c.context.struct_size, c.context.abi_version, 64) &&
      status != VREL_STATUS_ABI_MISMATCH)
    broken("a context with a broken header was not refused with status 6", op, status, text);
  if (op == kValidateBuffer &&
      header_broken(c.workspace.struct_size, c.workspace.abi_version, 64) &&
      status != VREL_STATUS_ABI_MISMATCH)
    broken("a buffer with a broken header was not refused with status 6", op, status, text);
  for (std::size_t i = 0; i < c.views.size(); ++i)
    if (!c.views[i]->plan.output &&
        std::memcmp(before[i].data(), c.views[i]->storage, kStorage) != 0)
      broken("an input was written", op, status, text);
  if (status == VREL_STATUS_OK) return 0;
  if (diag.message_required == 0) broken("a refusal without a message", op, status, text);
  // The pyramid's level table records how far the chain got before its two size refusals.
  const bool partial =
      status == VREL_STATUS_OVERFLOW ||
      (op == kTexturePyramid && status == VREL_STATUS_INVALID_ARGUMENT &&
       (std::strcmp(text, "pyramid element count exceeds the int32 offset range") == 0 ||
        std::strcmp(text, "pyramid view is smaller than the level chain requires") == 0));
  for (std::size_t i = 0; i < c.views.size(); ++i)
    if (c.views[i]->plan.output && !partial &&
        std::memcmp(before[i].data(), c.views[i]->storage, kStorage) != 0)
      broken("a refused call wrote an output", op, status, text);
  if (!partial && std::memcmp(workspace_before.data(), c.workspace_bytes, kWorkspace) != 0)
    broken("a refused call wrote the workspace", op, status, text);
  return 0;
}
