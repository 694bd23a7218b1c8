// The animation family's argument rules: check order and sentences, aliasing, the workspace
// queries and their overflow rules, and the bad-input helper over all fifteen exports.
#include "tests/animation/animation_test.hpp"
#include "tests/support/bad_input.hpp"

using namespace vrel::test;

namespace {

VrelExecutionContext g_ctx = cpu_context();

// Blend-shape operands whose views a test can break one at a time.
struct BlendCase {
  Tensor<float> tmpl = Tensor<float>({4, 3});
  Tensor<float> deltas = Tensor<float>({2, 4, 3});
  Tensor<float> weights = Tensor<float>({3, 2});
  Tensor<float> out = Tensor<float>({3, 4, 3});
  View t = tmpl.in(), d = deltas.in(), w = weights.in(), o = out.out();
  Result run(const VrelBufferDescriptor* ws = nullptr) {
    Diag diag;
    const VrelStatus st = vrel_mesh_blend_shapes(t, d, w, &g_ctx, o, ws, diag);
    return {st, diag.text()};
  }
};

TEST(AnimationRules, TensorChecksInOrder) {
  {
    BlendCase c;
    c.t->dtype = VREL_DTYPE_INT32;
    EXPECT_EQ(c.run().message, "template must be float32 or float64");
  }
  {
    BlendCase c;
    c.d->rank = 2;
    EXPECT_EQ(c.run().message, "animation tensor has wrong rank");
  }
  {
    BlendCase c;
    EXPECT_EQ(c.run().status, 0);
    const_cast<int64_t*>(c.d->shape)[1] = 5;  // V differs from the template's
    EXPECT_EQ(c.run().message, "animation tensor has wrong shape");
  }
  {
    BlendCase c;
    c.w->strides = nullptr;  // passes the shape checks, fails validation
    EXPECT_EQ(c.run().message, "positive-rank tensors require shape and stride arrays");
  }
  {
    BlendCase c;
    c.w->device_type = VREL_DEVICE_CUDA;
    EXPECT_EQ(c.run().message, "animation tensors must match CPU execution device");
  }
  {
    BlendCase c;
    Tensor<double> wide({3, 2});
    View w = wide.in();
    c.w->data = w->data;
    c.w->dtype = VREL_DTYPE_FLOAT64;
    EXPECT_EQ(c.run().message, "animation tensor dtype mismatch");
  }
  {
    BlendCase c;
    c.d->flags = VREL_TENSOR_OUTPUT;
    EXPECT_EQ(c.run().message, "animation input/output flags are invalid");
    c.d->flags = VREL_TENSOR_READ_ONLY;  // allowed on inputs
    EXPECT_EQ(c.run().status, 0);
    c.o->flags = 0;
    EXPECT_EQ(c.run().message, "animation input/output flags are invalid");
  }
  {
    BlendCase c;
    c.weights[5] = std::numeric_limits<float>::infinity();
    c.out[0] = 0.25f;
    const Result r = c.run();
    EXPECT_EQ(r.status, VREL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(r.message, "animation floating inputs must be finite");
    EXPECT_EQ(c.out[0], 0.25f);
  }
  {
    // The cotangent's own sentence when it is missing.
    BlendCase c;
    Tensor<float> gt({4, 3});
    Diag diag;
    EXPECT_EQ(vrel_mesh_blend_shapes_backward(c.t, c.d, c.w, nullptr, &g_ctx, gt.out(), nullptr,
                                              nullptr, nullptr, diag),
              VREL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(diag.text(), "blend backward requires cotangent");
  }
}

TEST(AnimationRules, MissingCotangentsAndIndexDtypes) {
  Tensor<float> axis({2, 3}), grad_axis({2, 3});
  Tensor<float> local({1, 2, 4, 4}), grad_local({1, 2, 4, 4});
  Tensor<int32_t> parents({2}, {-1, 0});
  Tensor<float> vertices({1, 3, 3}), transforms({1, 2, 4, 4}), weights({3, 2}),
      grad_vertices({1, 3, 3});
  Tensor<int32_t> faces({1, 3}, {0, 1, 2}), face_index({1});
  Tensor<float> bary({1, 3});
  Workspace ws(1024, 8);
  Diag diag;
  EXPECT_EQ(vrel_transforms_rodrigues_backward(axis.in(), nullptr, &g_ctx, grad_axis.out(), nullptr,
                                               diag),
            1);
  EXPECT_EQ(diag.text(), "Rodrigues backward requires a cotangent");
  EXPECT_EQ(vrel_skeleton_forward_kinematics_backward(local.in(), parents.in(), nullptr, &g_ctx,
                                                      grad_local.out(), ws.get(), diag),
            1);
  EXPECT_EQ(diag.text(), "FK backward requires cotangent");
  // The gradient output is checked before the cotangent.
  Tensor<float> short_grad({1, 1, 4, 4});
  EXPECT_EQ(vrel_skeleton_forward_kinematics_backward(local.in(), parents.in(), nullptr, &g_ctx,
                                                      short_grad.out(), ws.get(), diag),
            1);
  EXPECT_EQ(diag.text(), "animation tensor has wrong shape");
  EXPECT_EQ(
      vrel_mesh_skin_lbs_backward(vertices.in(), transforms.in(), weights.in(), nullptr, &g_ctx,
                                  grad_vertices.out(), nullptr, nullptr, nullptr, diag),
      1);
  EXPECT_EQ(diag.text(), "skinning backward requires cotangent");
  EXPECT_EQ(vrel_mesh_evaluate_barycentric_backward(vertices.in(), faces.in(), face_index.in(),
                                                    bary.in(), nullptr, &g_ctx, grad_vertices.out(),
                                                    nullptr, nullptr, diag),
            1);
  EXPECT_EQ(diag.text(), "landmark backward requires cotangent");

  // Index arrays must be int32; floating operands must not be.
  Tensor<float> float_parents({2}, {-1, 0});
  Tensor<float> world({1, 2, 4, 4});
  EXPECT_EQ(vrel_skeleton_forward_kinematics(local.in(), float_parents.in(), &g_ctx, world.out(),
                                             ws.get(), diag),
            1);
  EXPECT_EQ(diag.text(), "animation tensor dtype mismatch");
  View int_local = local.in();
  int_local->dtype = VREL_DTYPE_INT32;
  EXPECT_EQ(vrel_skeleton_forward_kinematics(int_local, parents.in(), &g_ctx, world.out(), ws.get(),
                                             diag),
            1);
  EXPECT_EQ(diag.text(), "FK local requires float32 or float64");
  View int_vertices = vertices.in();
  int_vertices->dtype = VREL_DTYPE_UINT32;
  Tensor<float> landmarks({1, 1, 3});
  EXPECT_EQ(vrel_mesh_evaluate_barycentric(int_vertices, faces.in(), face_index.in(), bary.in(),
                                           &g_ctx, landmarks.out(), nullptr, diag),
            1);
  EXPECT_EQ(diag.text(), "vertices require float32 or float64");
  View int_axis = axis.in();
  int_axis->dtype = VREL_DTYPE_BOOL;
  Tensor<float> rotation({2, 3, 3});
  EXPECT_EQ(vrel_transforms_rodrigues(int_axis, &g_ctx, rotation.out(), nullptr, diag), 1);
  EXPECT_EQ(diag.text(), "axis_angle must be float32 or float64");
}

TEST(AnimationRules, ContextAndWorkspaceDevice) {
  BlendCase c;
  Workspace ws(64);
  EXPECT_EQ(c.run(ws.get()).status, 0);
  // Another device and a malformed descriptor break the same rule: status 1, one sentence.
  ws->device_type = VREL_DEVICE_CUDA;
  Result r = c.run(ws.get());
  EXPECT_EQ(r.status, VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(r.message, "animation workspace must match the execution device");
  ws->device_type = VREL_DEVICE_CPU;
  ws->flags = 1;
  r = c.run(ws.get());
  EXPECT_EQ(r.status, VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(r.message, "animation workspace must match the execution device");
  ws->flags = 0;
  ws->struct_size = 8;
  r = c.run(ws.get());
  EXPECT_EQ(r.status, VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(r.message, "animation workspace must match the execution device");
  VrelExecutionContext bad = cpu_context();
  bad.stream = 5;
  Diag diag;
  EXPECT_EQ(vrel_mesh_blend_shapes(c.t, c.d, c.w, &bad, c.o, nullptr, diag),
            VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "CPU execution does not accept a stream handle");
}

TEST(AnimationRules, AliasSentences) {
  Tensor<double> vertices({1, 4, 3}), transforms({1, 2, 4, 4}), weights({4, 2}), g({1, 4, 3});
  for (auto& x : weights.values()) x = 0.5;
  std::vector<double> shared(64);
  View overlapping_out(vertices.ptr(), {1, 4, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  Diag diag;
  EXPECT_EQ(vrel_mesh_skin_lbs(vertices.in(), transforms.in(), weights.in(), &g_ctx,
                               overlapping_out, nullptr, diag),
            VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "animation output aliases an input");
  View gv(shared.data(), {1, 4, 3}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  View gw(shared.data() + 10, {4, 2}, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  EXPECT_EQ(vrel_mesh_skin_lbs_backward(vertices.in(), transforms.in(), weights.in(), g.in(),
                                        &g_ctx, gv, nullptr, gw, nullptr, diag),
            VREL_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(diag.text(), "animation outputs overlap");
  // Inputs may share storage: the cotangent is the vertex array here.
  Tensor<double> grad({1, 4, 3});
  EXPECT_EQ(vrel_mesh_skin_lbs_backward(vertices.in(), transforms.in(), weights.in(), vertices.in(),
                                        &g_ctx, grad.out(), nullptr, nullptr, nullptr, diag),
            0);
}

// ---- Workspace queries ------------------------------------------------------------------------

Result query(VrelStatus (*fn)(int64_t, int64_t, int64_t, uint32_t, const VrelExecutionContext*,
                              uint64_t*, uint64_t*, VrelDiagnostic*),
             int64_t a, int64_t b, int64_t c, uint32_t dtype = VREL_DTYPE_FLOAT32,
             const VrelExecutionContext* ctx = &g_ctx) {
  uint64_t bytes = 99, alignment = 99;
  Diag diag;
  const VrelStatus st = fn(a, b, c, dtype, ctx, &bytes, &alignment, diag);
  if (st == 0) {
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(alignment, 1u);
  }
  return {st, diag.text()};
}

TEST(AnimationQueries, DeformationCountRules) {
  for (auto fn : {vrel_mesh_blend_shapes_workspace, vrel_mesh_skin_lbs_workspace,
                  vrel_mesh_evaluate_barycentric_workspace}) {
    EXPECT_EQ(query(fn, 16, 10000, 64).status, 0);
    EXPECT_EQ(query(fn, -1, 1, 1).message, "animation workspace counts/results invalid");
    const Result dtype = query(fn, 1, 1, 1, VREL_DTYPE_INT32);
    EXPECT_EQ(dtype.status, VREL_STATUS_UNSUPPORTED);
    EXPECT_EQ(dtype.message, "animation supports float32 and float64");
    EXPECT_EQ(query(fn, 2147483648, 1, 1).message, "animation counts overflow");
    EXPECT_EQ(query(fn, 1, 1, 2147483647).status, 0);
    // V = 2^31 - 1 bounds B and K by 3074457345618258602 / V = 1431655766.
    EXPECT_EQ(query(fn, 1431655766, 2147483647, 1).status, 0);
    EXPECT_EQ(query(fn, 1431655767, 2147483647, 1).status, VREL_STATUS_OVERFLOW);
    EXPECT_EQ(query(fn, 1, 2147483647, 1431655767).status, VREL_STATUS_OVERFLOW);
    uint64_t bytes = 0;
    Diag diag;
    EXPECT_EQ(fn(1, 1, 1, VREL_DTYPE_FLOAT32, &g_ctx, &bytes, nullptr, diag),
              VREL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(diag.text(), "animation workspace counts/results invalid");
  }
  EXPECT_EQ(query(vrel_mesh_skin_lbs_workspace, 2, 3, 0).message,
            "nonempty skinning vertices require at least one joint");
  EXPECT_EQ(query(vrel_mesh_skin_lbs_workspace, 2, 0, 0).status, 0);
  EXPECT_EQ(query(vrel_mesh_blend_shapes_workspace, 2, 3, 0).status, 0);
}

TEST(AnimationQueries, PoseQueries) {
  uint64_t bytes = 0, alignment = 0;
  Diag diag;
  EXPECT_EQ(vrel_transforms_rodrigues_workspace(1000, VREL_DTYPE_FLOAT64, &g_ctx, &bytes,
                                                &alignment, diag),
            0);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(alignment, 1u);
  EXPECT_EQ(vrel_transforms_rodrigues_workspace(2147483648, VREL_DTYPE_FLOAT64, &g_ctx, &bytes,
                                                &alignment, diag),
            VREL_STATUS_OVERFLOW);
  EXPECT_EQ(
      vrel_transforms_rodrigues_workspace(-3, VREL_DTYPE_FLOAT64, &g_ctx, &bytes, &alignment, diag),
      1);
  EXPECT_EQ(vrel_transforms_rodrigues_workspace(3, 0, &g_ctx, &bytes, &alignment, diag), 2);

  auto fk = [&](int64_t b, int64_t j, uint64_t* out_bytes, uint64_t* out_alignment) {
    const VrelStatus st = vrel_skeleton_forward_kinematics_workspace(
        b, j, VREL_DTYPE_FLOAT32, &g_ctx, out_bytes, out_alignment, diag);
    return Result{st, diag.text()};
  };
  EXPECT_EQ(fk(2, 3, nullptr, &alignment).message, "FK workspace size pointer is null");
  EXPECT_EQ(fk(2, 3, &bytes, nullptr).message, "animation workspace counts/results invalid");
  EXPECT_EQ(fk(-2, 3, &bytes, &alignment).message, "animation workspace counts/results invalid");
  EXPECT_EQ(fk(2147483647, 2147483647, &bytes, &alignment).message, "animation counts overflow");
  const Result extent = fk(2147483647, 1073741824, &bytes, &alignment);
  EXPECT_EQ(extent.status, VREL_STATUS_OVERFLOW);
  EXPECT_EQ(extent.message, "FK workspace extent overflow");
  EXPECT_EQ(fk(1000, 64, &bytes, &alignment).status, 0);
  EXPECT_EQ(bytes, (128u * 1000 + 8) * 64);
}

// ---- The bad-input helper over every export ----------------------------------------------------

TEST(AnimationBadInput, EveryExport) {
  std::mt19937 rng(9);
  VrelExecutionContext ctx = cpu_context();
  Workspace unused(64);
  uint64_t bytes = 0, alignment = 0;
  const BadInputPlan query_plan{{{&bytes, sizeof bytes}, {&alignment, sizeof alignment}}, {}, {}};

  {
    Tensor<double> axis = random_tensor<double>({4, 3}, rng), out({4, 3, 3}),
                   g = random_tensor<double>({4, 3, 3}, rng), grad({4, 3});
    View a = axis.in(), o = out.out(), gv = g.in(), go = grad.out();
    check_bad_inputs(
        "rodrigues", vrel_transforms_rodrigues,
        std::make_tuple(a.get(), &ctx, o.get(), unused.get(), (VrelDiagnostic*)nullptr),
        BadInputPlan{{{out.ptr(), out.bytes()}}, {{3, VREL_STATUS_OK}}, {}});
    check_bad_inputs(
        "rodrigues_backward", vrel_transforms_rodrigues_backward,
        std::make_tuple(a.get(), gv.get(), &ctx, go.get(), unused.get(), (VrelDiagnostic*)nullptr),
        BadInputPlan{{{grad.ptr(), grad.bytes()}}, {{4, VREL_STATUS_OK}}, {}});
    check_bad_inputs("rodrigues_workspace", vrel_transforms_rodrigues_workspace,
                     std::make_tuple(int64_t{4}, VREL_DTYPE_FLOAT64, &ctx, &bytes, &alignment,
                                     (VrelDiagnostic*)nullptr),
                     query_plan);
  }
  {
    Tensor<float> local = random_tensor<float>({2, 3, 4, 4}, rng), world({2, 3, 4, 4}),
                  g = random_tensor<float>({2, 3, 4, 4}, rng), grad({2, 3, 4, 4});
    Tensor<int32_t> parents({3}, {-1, 0, 1});
    Workspace ws(792, 8);
    View l = local.in(), p = parents.in(), w = world.out(), gv = g.in(), go = grad.out();
    check_bad_inputs(
        "forward_kinematics", vrel_skeleton_forward_kinematics,
        std::make_tuple(l.get(), p.get(), &ctx, w.get(), ws.get(), (VrelDiagnostic*)nullptr),
        BadInputPlan{{{world.ptr(), world.bytes()}}, {}, {}});
    check_bad_inputs("forward_kinematics_backward", vrel_skeleton_forward_kinematics_backward,
                     std::make_tuple(l.get(), p.get(), gv.get(), &ctx, go.get(), ws.get(),
                                     (VrelDiagnostic*)nullptr),
                     BadInputPlan{{{grad.ptr(), grad.bytes()}}, {}, {}});
    check_bad_inputs("forward_kinematics_workspace", vrel_skeleton_forward_kinematics_workspace,
                     std::make_tuple(int64_t{2}, int64_t{3}, VREL_DTYPE_FLOAT32, &ctx, &bytes,
                                     &alignment, (VrelDiagnostic*)nullptr),
                     query_plan);
  }
  {
    Tensor<double> tmpl = random_tensor<double>({5, 3}, rng),
                   deltas = random_tensor<double>({2, 5, 3}, rng),
                   weights = random_tensor<double>({3, 2}, rng), out({3, 5, 3}),
                   g = random_tensor<double>({3, 5, 3}, rng), gt({5, 3}), gd({2, 5, 3}), gw({3, 2});
    View t = tmpl.in(), d = deltas.in(), w = weights.in(), o = out.out(), gv = g.in(), a = gt.out(),
         b = gd.out(), c = gw.out();
    check_bad_inputs("blend_shapes", vrel_mesh_blend_shapes,
                     std::make_tuple(t.get(), d.get(), w.get(), &ctx, o.get(), unused.get(),
                                     (VrelDiagnostic*)nullptr),
                     BadInputPlan{{{out.ptr(), out.bytes()}}, {{5, VREL_STATUS_OK}}, {}});
    check_bad_inputs(
        "blend_shapes_backward", vrel_mesh_blend_shapes_backward,
        std::make_tuple(t.get(), d.get(), w.get(), gv.get(), &ctx, a.get(), b.get(), c.get(),
                        unused.get(), (VrelDiagnostic*)nullptr),
        BadInputPlan{
            {{gt.ptr(), gt.bytes()}, {gd.ptr(), gd.bytes()}, {gw.ptr(), gw.bytes()}},
            {{5, VREL_STATUS_OK}, {6, VREL_STATUS_OK}, {7, VREL_STATUS_OK}, {8, VREL_STATUS_OK}},
            {}});
    check_bad_inputs("blend_shapes_workspace", vrel_mesh_blend_shapes_workspace,
                     std::make_tuple(int64_t{3}, int64_t{5}, int64_t{2}, VREL_DTYPE_FLOAT64, &ctx,
                                     &bytes, &alignment, (VrelDiagnostic*)nullptr),
                     query_plan);
  }
  {
    Tensor<float> vertices = random_tensor<float>({2, 5, 3}, rng),
                  transforms = random_tensor<float>({2, 3, 4, 4}, rng),
                  weights = random_tensor<float>({5, 3}, rng), out({2, 5, 3}),
                  g = random_tensor<float>({2, 5, 3}, rng), gv({2, 5, 3}), gt({2, 3, 4, 4}),
                  gw({5, 3});
    View v = vertices.in(), t = transforms.in(), w = weights.in(), o = out.out(), gi = g.in(),
         a = gv.out(), b = gt.out(), c = gw.out();
    check_bad_inputs("skin_lbs", vrel_mesh_skin_lbs,
                     std::make_tuple(v.get(), t.get(), w.get(), &ctx, o.get(), unused.get(),
                                     (VrelDiagnostic*)nullptr),
                     BadInputPlan{{{out.ptr(), out.bytes()}}, {{5, VREL_STATUS_OK}}, {}});
    check_bad_inputs(
        "skin_lbs_backward", vrel_mesh_skin_lbs_backward,
        std::make_tuple(v.get(), t.get(), w.get(), gi.get(), &ctx, a.get(), b.get(), c.get(),
                        unused.get(), (VrelDiagnostic*)nullptr),
        BadInputPlan{
            {{gv.ptr(), gv.bytes()}, {gt.ptr(), gt.bytes()}, {gw.ptr(), gw.bytes()}},
            {{5, VREL_STATUS_OK}, {6, VREL_STATUS_OK}, {7, VREL_STATUS_OK}, {8, VREL_STATUS_OK}},
            {}});
    check_bad_inputs("skin_lbs_workspace", vrel_mesh_skin_lbs_workspace,
                     std::make_tuple(int64_t{2}, int64_t{5}, int64_t{3}, VREL_DTYPE_FLOAT32, &ctx,
                                     &bytes, &alignment, (VrelDiagnostic*)nullptr),
                     query_plan);
  }
  {
    Tensor<double> vertices = random_tensor<double>({2, 4, 3}, rng),
                   bary = random_tensor<double>({3, 3}, rng), out({2, 3, 3}),
                   g = random_tensor<double>({2, 3, 3}, rng), gv({2, 4, 3}), gb({3, 3});
    Tensor<int32_t> faces({2, 3}, {0, 1, 2, 3, 2, 1}), face_index({3}, {1, 0, 1});
    View v = vertices.in(), f = faces.in(), fi = face_index.in(), b = bary.in(), o = out.out(),
         gi = g.in(), a = gv.out(), c = gb.out();
    check_bad_inputs("evaluate_barycentric", vrel_mesh_evaluate_barycentric,
                     std::make_tuple(v.get(), f.get(), fi.get(), b.get(), &ctx, o.get(),
                                     unused.get(), (VrelDiagnostic*)nullptr),
                     BadInputPlan{{{out.ptr(), out.bytes()}}, {{6, VREL_STATUS_OK}}, {}});
    check_bad_inputs("evaluate_barycentric_backward", vrel_mesh_evaluate_barycentric_backward,
                     std::make_tuple(v.get(), f.get(), fi.get(), b.get(), gi.get(), &ctx, a.get(),
                                     c.get(), unused.get(), (VrelDiagnostic*)nullptr),
                     BadInputPlan{{{gv.ptr(), gv.bytes()}, {gb.ptr(), gb.bytes()}},
                                  {{6, VREL_STATUS_OK}, {7, VREL_STATUS_OK}, {8, VREL_STATUS_OK}},
                                  {}});
    check_bad_inputs("evaluate_barycentric_workspace", vrel_mesh_evaluate_barycentric_workspace,
                     std::make_tuple(int64_t{2}, int64_t{4}, int64_t{3}, VREL_DTYPE_FLOAT64, &ctx,
                                     &bytes, &alignment, (VrelDiagnostic*)nullptr),
                     query_plan);
  }
}

}  // namespace
