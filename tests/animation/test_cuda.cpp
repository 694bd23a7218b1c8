// CUDA requests through the recording test provider. Each suite runs in its own CTest entry with
// the provider configuration named in CMakeLists.txt. The device views point at addresses that
// are not mapped, so any dereference by the core would crash the test.
#include <cstdint>
#include <functional>
#include <map>

#include "tests/animation/animation_test.hpp"
#include "tests/support/provider.hpp"

using namespace vrel::test;

namespace {

constexpr int32_t kDevice = 1;

void* device_address(uintptr_t k) { return reinterpret_cast<void*>(0x10000 + 0x100000 * k); }

View device_view(uintptr_t k, std::vector<int64_t> shape, uint32_t dtype, bool output = false) {
  View v(device_address(k), std::move(shape), dtype, output ? VREL_TENSOR_OUTPUT : 0);
  v->device_type = VREL_DEVICE_CUDA;
  v->device_index = kDevice;
  return v;
}

VrelBufferDescriptor device_buffer(uint64_t capacity, uint64_t alignment = 256) {
  VrelBufferDescriptor b{};
  b.struct_size = sizeof b;
  b.abi_version = VREL_ABI_VERSION;
  b.data = device_address(40);
  b.capacity = capacity;
  b.alignment = alignment;
  b.device_type = VREL_DEVICE_CUDA;
  b.device_index = kDevice;
  return b;
}

constexpr uint32_t kF32 = VREL_DTYPE_FLOAT32;
constexpr uint32_t kI32 = VREL_DTYPE_INT32;

// One set of device operands for every export (B = 2, J = 3, V = 5, K = 4, F = 6, L = 7).
struct Operands {
  VrelExecutionContext ctx = cuda_context(kDevice, 0x5151);
  VrelBufferDescriptor ws = device_buffer(4096);
  View axis = device_view(1, {4, 3}, kF32), rotation = device_view(2, {4, 3, 3}, kF32, true);
  View rotation_grad = device_view(3, {4, 3, 3}, kF32),
       axis_grad = device_view(4, {4, 3}, kF32, true);
  View local = device_view(5, {2, 3, 4, 4}, kF32), parents = device_view(6, {3}, kI32);
  View world = device_view(7, {2, 3, 4, 4}, kF32, true),
       world_grad = device_view(8, {2, 3, 4, 4}, kF32);
  View local_grad = device_view(9, {2, 3, 4, 4}, kF32, true);
  View tmpl = device_view(10, {5, 3}, kF32), deltas = device_view(11, {4, 5, 3}, kF32);
  View blend_weights = device_view(12, {2, 4}, kF32), mesh = device_view(13, {2, 5, 3}, kF32, true);
  View mesh_grad = device_view(14, {2, 5, 3}, kF32),
       tmpl_grad = device_view(15, {5, 3}, kF32, true);
  View vertices = device_view(16, {2, 5, 3}, kF32),
       transforms = device_view(17, {2, 3, 4, 4}, kF32);
  View skin_weights = device_view(18, {5, 3}, kF32),
       transforms_grad = device_view(19, {2, 3, 4, 4}, kF32, true);
  View faces = device_view(20, {6, 3}, kI32), face_index = device_view(21, {7}, kI32);
  View bary = device_view(22, {7, 3}, kF32), landmarks = device_view(23, {2, 7, 3}, kF32, true);
  View landmarks_grad = device_view(24, {2, 7, 3}, kF32),
       bary_grad = device_view(25, {7, 3}, kF32, true);
};

// Calls one operator export: its table offset, its status and message, and the arguments it
// passed as words.
struct Forwarded {
  std::size_t offset;
  std::vector<uint64_t> words;
  VrelStatus status;
  std::string message;
};

template <typename... Args>
std::vector<uint64_t> words(Args... args) {
  return {reinterpret_cast<uint64_t>(args)...};
}

// Runs every operator export once and hands each outcome to `check` right after the call.
void call_all(Operands& o, const std::function<void(const Forwarded&)>& check) {
  auto add = [&](std::size_t offset, auto fn, auto... args) {
    Diag diag;
    const VrelStatus st = fn(args..., diag.get());
    std::vector<uint64_t> w = words(args...);
    w.push_back(reinterpret_cast<uint64_t>(diag.get()));
    check({offset, w, st, diag.text()});
  };
  const VrelTensorView* none = nullptr;
  add(264, vrel_transforms_rodrigues, o.axis.get(), &o.ctx, o.rotation.get(), &o.ws);
  add(272, vrel_transforms_rodrigues_backward, o.axis.get(), o.rotation_grad.get(), &o.ctx,
      o.axis_grad.get(), &o.ws);
  add(280, vrel_skeleton_forward_kinematics, o.local.get(), o.parents.get(), &o.ctx, o.world.get(),
      &o.ws);
  add(288, vrel_skeleton_forward_kinematics_backward, o.local.get(), o.parents.get(),
      o.world_grad.get(), &o.ctx, o.local_grad.get(), &o.ws);
  add(248, vrel_mesh_blend_shapes, o.tmpl.get(), o.deltas.get(), o.blend_weights.get(), &o.ctx,
      o.mesh.get(), &o.ws);
  add(256, vrel_mesh_blend_shapes_backward, o.tmpl.get(), o.deltas.get(), o.blend_weights.get(),
      o.mesh_grad.get(), &o.ctx, o.tmpl_grad.get(), none, none, &o.ws);
  add(296, vrel_mesh_skin_lbs, o.vertices.get(), o.transforms.get(), o.skin_weights.get(), &o.ctx,
      o.mesh.get(), &o.ws);
  add(304, vrel_mesh_skin_lbs_backward, o.vertices.get(), o.transforms.get(), o.skin_weights.get(),
      o.mesh_grad.get(), &o.ctx, none, o.transforms_grad.get(), none, &o.ws);
  add(312, vrel_mesh_evaluate_barycentric, o.vertices.get(), o.faces.get(), o.face_index.get(),
      o.bary.get(), &o.ctx, o.landmarks.get(), &o.ws);
  add(320, vrel_mesh_evaluate_barycentric_backward, o.vertices.get(), o.faces.get(),
      o.face_index.get(), o.bary.get(), o.landmarks_grad.get(), &o.ctx, none, o.bary_grad.get(),
      &o.ws);
}

const std::map<std::size_t, std::string> kUnavailable = {
    {248, "CUDA blend unavailable"},       {256, "CUDA blend backward unavailable"},
    {264, "CUDA Rodrigues unavailable"},   {272, "CUDA Rodrigues backward unavailable"},
    {280, "CUDA FK unavailable"},          {288, "CUDA FK backward unavailable"},
    {296, "CUDA skinning unavailable"},    {304, "CUDA skinning backward unavailable"},
    {312, "CUDA barycentric unavailable"}, {320, "CUDA barycentric backward unavailable"},
};

// The sentence each operation gives when the provider cannot answer the workspace query.
std::string missing_query(std::size_t offset) {
  if (offset == 248 || offset == 256) return "CUDA provider lacks animation blend shapes";
  if (offset >= 264 && offset <= 288) return "CUDA provider lacks requested pose operation";
  return "CUDA provider lacks requested animation operation";
}

struct QueryCall {
  uint64_t id, count_number;
  VrelStatus (*run)(const VrelExecutionContext*, uint64_t*, uint64_t*, VrelDiagnostic*);
  uint64_t cpu_bytes, cpu_alignment;
  std::size_t offset;  // an operation entry of the same family, for its missing-query sentence
};

const QueryCall kQueries[] = {
    {14, 3,
     [](auto c, auto b, auto a, auto d) {
       return vrel_mesh_blend_shapes_workspace(2, 5, 4, kF32, c, b, a, d);
     },
     0, 1, 248},
    {15, 2,
     [](auto c, auto b, auto a, auto d) {
       return vrel_transforms_rodrigues_workspace(4, kF32, c, b, a, d);
     },
     0, 1, 264},
    {16, 2,
     [](auto c, auto b, auto a, auto d) {
       return vrel_skeleton_forward_kinematics_workspace(2, 3, kF32, c, b, a, d);
     },
     792, 8, 280},
    {17, 3,
     [](auto c, auto b, auto a, auto d) {
       return vrel_mesh_skin_lbs_workspace(2, 5, 3, kF32, c, b, a, d);
     },
     0, 1, 296},
    {18, 3,
     [](auto c, auto b, auto a, auto d) {
       return vrel_mesh_evaluate_barycentric_workspace(2, 5, 7, kF32, c, b, a, d);
     },
     0, 1, 312},
};

Result fk_with(Operands& o, const VrelBufferDescriptor* ws) {
  Diag diag;
  const VrelStatus st =
      vrel_skeleton_forward_kinematics(o.local, o.parents, &o.ctx, o.world, ws, diag);
  return {st, diag.text()};
}

TEST(CudaForwarding, EveryOperationForwardsItsArgumentsUnchanged) {
  Operands o;
  int calls = 0;
  call_all(o, [&](const Forwarded& f) {
    ++calls;
    EXPECT_EQ(f.status, VREL_STATUS_OK) << f.offset << ": " << f.message;
    const RecordedCall call = recorded_call();
    EXPECT_EQ(call.offset, f.offset);
    for (std::size_t i = 0; i < f.words.size(); ++i)
      EXPECT_EQ(call.words[i], f.words[i]) << "entry " << f.offset << " argument " << i;
  });
  EXPECT_EQ(calls, 10);
}

TEST(CudaForwarding, WorkspaceQueriesUseTheGenericEntry) {
  Operands o;
  for (const QueryCall& q : kQueries) {
    uint64_t bytes = 1234, alignment = 1234;
    Diag diag;
    ASSERT_EQ(q.run(&o.ctx, &bytes, &alignment, diag), VREL_STATUS_OK) << diag.text();
    const RecordedCall call = recorded_call();
    EXPECT_EQ(call.offset, 8u);
    EXPECT_EQ(call.words[0], q.id);
    EXPECT_NE(call.words[1], 0u);
    EXPECT_EQ(call.words[2], q.count_number);
    EXPECT_EQ(static_cast<uint32_t>(call.words[3]), kF32);
    EXPECT_EQ(call.words[4], as_word(&o.ctx));
    EXPECT_EQ(call.words[5], as_word(&bytes));
    EXPECT_EQ(call.words[6], as_word(&alignment));
    EXPECT_EQ(call.words[7], as_word(diag.get()));
    // The recording provider writes no answer, so the host requirement stays in place.
    EXPECT_EQ(bytes, q.cpu_bytes);
    EXPECT_EQ(alignment, q.cpu_alignment);
  }
  // The host rules run first, on a CPU copy of the context.
  uint64_t bytes = 0;
  Diag diag;
  const uint64_t before = recorded_call_count();
  EXPECT_EQ(vrel_mesh_skin_lbs_workspace(2, 5, 3, kF32, &o.ctx, &bytes, nullptr, diag), 1);
  EXPECT_EQ(diag.text(), "animation workspace counts/results invalid");
  EXPECT_EQ(vrel_mesh_skin_lbs_workspace(2, 5, 0, kF32, &o.ctx, &bytes, &bytes, diag), 1);
  EXPECT_EQ(diag.text(), "nonempty skinning vertices require at least one joint");
  EXPECT_EQ(recorded_call_count(), before);
}

TEST(CudaForwarding, ScratchMustCoverTheProviderAnswer) {
  Operands o;
  EXPECT_EQ(fk_with(o, nullptr).message, "animation CUDA scratch too small");
  VrelBufferDescriptor small = device_buffer(791, 8);
  const Result r = fk_with(o, &small);
  EXPECT_EQ(r.status, VREL_STATUS_INSUFFICIENT_CAPACITY);
  EXPECT_EQ(r.message, "animation CUDA scratch too small");
  VrelBufferDescriptor host = device_buffer(792, 8);
  host.device_type = VREL_DEVICE_CPU;
  host.device_index = 0;
  EXPECT_EQ(fk_with(o, &host).message, "animation scratch device mismatch");
  VrelBufferDescriptor other = device_buffer(792, 8);
  other.device_index = 0;
  EXPECT_EQ(fk_with(o, &other).message, "animation scratch device mismatch");
  VrelBufferDescriptor loose = device_buffer(792, 4);
  EXPECT_EQ(fk_with(o, &loose).message, "animation CUDA scratch misaligned");
  VrelBufferDescriptor shifted = device_buffer(792, 4);
  shifted.data = static_cast<char*>(shifted.data) + 4;
  EXPECT_EQ(fk_with(o, &shifted).message, "animation CUDA scratch misaligned");
  VrelBufferDescriptor broken = device_buffer(792, 8);
  broken.reserved[0] = 1;
  EXPECT_EQ(fk_with(o, &broken).message, "buffer descriptor reserved fields must be zero");
  VrelBufferDescriptor exact = device_buffer(792, 8);
  EXPECT_EQ(fk_with(o, &exact).status, VREL_STATUS_OK);
  // Rodrigues needs no scratch: a null workspace is forwarded.
  Diag diag;
  EXPECT_EQ(vrel_transforms_rodrigues(o.axis, &o.ctx, o.rotation, nullptr, diag), VREL_STATUS_OK);
}

TEST(CudaForwarding, ViewChecksUseTheCombinedSentences) {
  auto rodrigues = [](Operands& o) {
    Diag diag;
    const VrelStatus st = vrel_transforms_rodrigues(o.axis, &o.ctx, o.rotation, &o.ws, diag);
    return Result{st, diag.text()};
  };
  auto skin = [](Operands& o, const VrelTensorView* grad_weights = nullptr) {
    Diag diag;
    const VrelStatus st =
        vrel_mesh_skin_lbs_backward(o.vertices, o.transforms, o.skin_weights, o.mesh_grad, &o.ctx,
                                    nullptr, nullptr, grad_weights, &o.ws, diag);
    return Result{st, diag.text()};
  };
  const std::string kMismatch = "animation tensor rank, dtype or device mismatch";
  {
    Operands o;
    o.axis->dtype = kI32;
    EXPECT_EQ(rodrigues(o).message, "Rodrigues requires floating axis-angle");
  }
  {
    Operands o;
    const_cast<int64_t*>(o.axis->shape)[1] = 4;
    EXPECT_EQ(rodrigues(o).message, "axis_angle must have shape [...,3]");
  }
  {
    Operands o;
    o.rotation->device_type = VREL_DEVICE_CPU;
    o.rotation->device_index = 0;
    EXPECT_EQ(rodrigues(o).message, kMismatch);
  }
  {
    Operands o;
    o.rotation->device_index = 0;
    EXPECT_EQ(rodrigues(o).message, kMismatch);
  }
  {
    Operands o;
    o.rotation->dtype = VREL_DTYPE_FLOAT64;
    EXPECT_EQ(rodrigues(o).message, kMismatch);
  }
  {
    Operands o;
    const View wrong = device_view(2, {4, 3, 2}, kF32, true);
    Diag diag;
    EXPECT_EQ(vrel_transforms_rodrigues(o.axis, &o.ctx, wrong, &o.ws, diag),
              VREL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(diag.text(), "animation tensor shape mismatch");
  }
  {
    Operands o;
    o.rotation->flags = 0;
    EXPECT_EQ(rodrigues(o).message, "animation tensor access flags invalid");
  }
  {
    Operands o;
    EXPECT_EQ(skin(o).message, "at least one animation gradient required");
    View grad_weights = device_view(30, {5, 3}, kF32, true);
    EXPECT_EQ(skin(o, grad_weights).status, VREL_STATUS_OK);
    o.vertices->dtype = kI32;
    EXPECT_EQ(skin(o, grad_weights).message, "animation requires floating vertices");
  }
  {
    Operands o;
    o.tmpl->dtype = kI32;
    Diag diag;
    EXPECT_EQ(
        vrel_mesh_blend_shapes(o.tmpl, o.deltas, o.blend_weights, &o.ctx, o.mesh, &o.ws, diag), 1);
    EXPECT_EQ(diag.text(), "animation requires floating template");
    o.local->dtype = kI32;
    EXPECT_EQ(fk_with(o, &o.ws).message, "FK requires floating local transforms");
    EXPECT_EQ(vrel_skeleton_forward_kinematics_backward(o.local, o.parents, nullptr, &o.ctx,
                                                        o.local_grad, &o.ws, diag),
              1);
    EXPECT_EQ(diag.text(), "FK requires floating local transforms");
    o.local->dtype = kF32;
    EXPECT_EQ(vrel_skeleton_forward_kinematics_backward(o.local, o.parents, nullptr, &o.ctx,
                                                        o.local_grad, &o.ws, diag),
              1);
    EXPECT_EQ(diag.text(), "FK backward requires cotangent");
  }
}

TEST(CudaProviderStatus, ProviderStatusIsReturnedUnchanged) {
  Operands o;
  uint64_t bytes = 0, alignment = 0;
  EXPECT_EQ(
      vrel_skeleton_forward_kinematics_workspace(2, 3, kF32, &o.ctx, &bytes, &alignment, nullptr),
      77);
  // The scratch answer comes first, so a failing query ends the call.
  EXPECT_EQ(fk_with(o, &o.ws).status, 77);
  EXPECT_EQ(recorded_call().offset, 8u);
}

TEST(CudaShortTable, EntriesPastTheSizeWordAreUnavailable) {
  Operands o;
  call_all(o, [](const Forwarded& f) {
    EXPECT_EQ(f.status, VREL_STATUS_UNSUPPORTED) << f.offset;
    EXPECT_EQ(f.message, kUnavailable.at(f.offset));
  });
}

TEST(CudaNullEntries, EmptyEntriesAreUnavailable) {
  // The CTest entry empties 256, 272, 288, 304 and 312.
  Operands o;
  call_all(o, [](const Forwarded& f) {
    const bool empty =
        f.offset == 256 || f.offset == 272 || f.offset == 288 || f.offset == 304 || f.offset == 312;
    if (empty) {
      EXPECT_EQ(f.status, VREL_STATUS_UNSUPPORTED) << f.offset;
      EXPECT_EQ(f.message, kUnavailable.at(f.offset));
    } else {
      EXPECT_EQ(f.status, VREL_STATUS_OK) << f.offset << ": " << f.message;
    }
  });
}

void expect_missing_query() {
  Operands o;
  call_all(o, [](const Forwarded& f) {
    EXPECT_EQ(f.status, VREL_STATUS_UNSUPPORTED) << f.offset;
    EXPECT_EQ(f.message, missing_query(f.offset));
  });
  for (const QueryCall& q : kQueries) {
    uint64_t bytes = 0, alignment = 0;
    Diag diag;
    EXPECT_EQ(q.run(&o.ctx, &bytes, &alignment, diag), VREL_STATUS_UNSUPPORTED);
    EXPECT_EQ(diag.text(), missing_query(q.offset));
  }
}

TEST(CudaNoQuery, OperationsNeedTheWorkspaceQueryEntry) { expect_missing_query(); }

TEST(CudaNoProvider, OperationsReportTheMissingProvider) { expect_missing_query(); }

}  // namespace
