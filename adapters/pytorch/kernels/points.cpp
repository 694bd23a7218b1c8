// Kernels of the point proximity family: k nearest neighbours and closest point on a mesh.
#include "adapter.hpp"
#include "split.hpp"

namespace vrel::adapter {
namespace {

using Tensors2 = std::tuple<Tensor, Tensor>;
using Tensors3 = std::tuple<Tensor, Tensor, Tensor>;
using Tensors5 = std::tuple<Tensor, Tensor, Tensor, Tensor, Tensor>;

// Packed offsets of one batch must all hold B + 1 entries. The core takes B from the first of
// them and blames the one that disagrees; when their lengths differ the context names them all.
std::string offsets_context(
    std::initializer_list<std::pair<const char *, const Tensor *>> offsets) {
  std::string text;
  bool differ = false;
  const std::int64_t first = extent(*offsets.begin()->second, 0);
  for (const auto &[name, tensor] : offsets) {
    const std::int64_t n = extent(*tensor, 0);
    differ = differ || n != first;
    text +=
        (text.empty() ? "" : ", ") + std::string(name) + " has " + std::to_string(n) + " entries";
  }
  return differ ? text + "; each must hold B + 1" : std::string();
}

// Rows per thread below which k-NN and closest point stay one call.
constexpr std::int64_t kRowsPerThread = 1024;
// Backward rows are a few multiply-adds each: a part needs many to pay for its thread.
constexpr std::int64_t kBackwardRowsPerThread = 16384;

Tensors3 knn(Tensor query, Tensor reference, Tensor query_offsets, Tensor reference_offsets,
             std::int64_t neighbor_count) {
  Call call(query);
  const std::int64_t P = extent(query, 0), R = extent(reference, 0);
  const std::uint64_t bytes = query_bytes(call, vrel_points_knn_workspace,
                                          dtype_code(query, "query"), P, R, neighbor_count);
  const std::int64_t K = neighbor_count < 0 ? 0 : neighbor_count;
  Tensor distance_squared = new_empty(query, {P, K});
  Tensor reference_index = new_empty(query, {P, K}, ScalarType::Int);
  Tensor valid = new_empty(query, {P, K}, ScalarType::Bool);
  const VrelTensorView *q = call.in(query, "query"), *r = call.in(reference, "reference");
  const VrelTensorView *q_off = call.in(query_offsets, "query_offsets"),
                       *r_off = call.in(reference_offsets, "reference_offsets");
  VrelTensorView *d = call.out(distance_squared, "distance_squared"),
                 *i = call.out(reference_index, "reference_index");
  VrelTensorView *v = call.out(valid, "valid");
  // Queries are independent: one range of them per thread, each with its own index.
  const std::int64_t n = split::parts_for(query, P, kRowsPerThread);
  if (n > 1 && split::cuttable(q, P) && split::cuttable(d, P) && split::cuttable(i, P) &&
      split::cuttable(v, P)) {
    split::Workspaces ws =
        split::workspaces(query, n,
                          query_bytes(call, vrel_points_knn_workspace, dtype_code(query, "query"),
                                      split::first_row(1, n, P), R, neighbor_count));
    std::vector<split::Part> parts(n);
    bool ready = true;
    for (std::int64_t k = 0; k < n; ++k) {
      const std::int64_t begin = split::first_row(k, n, P), end = split::first_row(k + 1, n, P);
      split::Part &part = parts[k];
      part.rows(q, begin, end);
      ready &= split::clipped_offsets(part, q_off, begin, end) != nullptr;
      part.rows(d, begin, end);
      part.rows(i, begin, end);
      part.rows(v, begin, end);
    }
    if (ready && split::run(parts, [&](split::Part &part, std::int64_t k) {
          return vrel_points_knn(&part.views[0], r, &part.views[1], r_off, neighbor_count,
                                 call.context(), &part.views[2], &part.views[3], &part.views[4],
                                 ws.at(k), &part.diag);
        }))
      return {distance_squared, reference_index, valid};
  }
  Workspace ws = make_workspace(query, bytes);
  call.check(vrel_points_knn(q, r, q_off, r_off, neighbor_count, call.context(), d, i, v,
                             ws.or_null(), call.diag()),
             "offsets",
             offsets_context(
                 {{"query_offsets", &query_offsets}, {"reference_offsets", &reference_offsets}}));
  return {distance_squared, reference_index, valid};
}

Tensors2 knn_backward(Tensor query, Tensor reference, Tensor reference_index, Tensor valid,
                      Tensor grad_distance_squared) {
  Call call(query);
  const std::int64_t P = extent(query, 0), R = extent(reference, 0);
  const std::int64_t K = dim_of(reference_index) == 2 ? extent(reference_index, 1) : 0;
  // The query keeps its checks; the reported bytes are the forward's index, which the backward
  // does not use.
  query_bytes(call, vrel_points_knn_workspace, dtype_code(query, "query"), P, R, K);
  Tensor grad_query = new_empty(query, sizes_of(query));
  Tensor grad_reference = new_empty(query, sizes_of(reference));
  const VrelTensorView *q = call.in(query, "query"), *r = call.in(reference, "reference"),
                       *index = call.in(reference_index, "reference_index"),
                       *mask = call.in(valid, "valid"),
                       *g = call.in(grad_distance_squared, "grad_distance_squared");
  VrelTensorView *gq = call.out(grad_query, "grad_query"),
                 *gr = call.out(grad_reference, "grad_reference");
  // A query's gradient depends on its own rows: one range of queries per thread but one, which
  // scatters the reference gradient whole.
  const std::int64_t n = split::parts_for(query, P, kBackwardRowsPerThread);
  if (n > 1 && split::cuttable(q, P) && split::cuttable(index, P) && split::cuttable(mask, P) &&
      split::cuttable(g, P) && split::cuttable(gq, P)) {
    std::vector<split::Part> parts(n);
    for (std::int64_t k = 0; k + 1 < n; ++k) {
      const std::int64_t begin = split::first_row(k, n - 1, P),
                         end = split::first_row(k + 1, n - 1, P);
      for (const VrelTensorView *view :
           {q, index, mask, g, static_cast<const VrelTensorView *>(gq)})
        parts[k].rows(view, begin, end);
    }
    if (split::run(parts, [&](split::Part &part, std::int64_t k) {
          if (k + 1 == n)
            return vrel_points_knn_backward(q, r, index, mask, g, call.context(), nullptr, gr,
                                            nullptr, &part.diag);
          const auto &w = part.views;
          return vrel_points_knn_backward(&w[0], r, &w[1], &w[2], &w[3], call.context(), &w[4],
                                          nullptr, nullptr, &part.diag);
        }))
      return {grad_query, grad_reference};
  }
  call.check(
      vrel_points_knn_backward(q, r, index, mask, g, call.context(), gq, gr, nullptr, call.diag()));
  return {grad_query, grad_reference};
}

void knn_out(Tensor query, Tensor reference, Tensor query_offsets, Tensor reference_offsets,
             std::int64_t neighbor_count, Tensor distance_squared, Tensor reference_index,
             Tensor valid, Tensor workspace) {
  Call call(query);
  VrelBufferDescriptor ws = caller_workspace(workspace);
  call.check(vrel_points_knn(call.in(query, "query"), call.in(reference, "reference"),
                             call.in(query_offsets, "query_offsets"),
                             call.in(reference_offsets, "reference_offsets"), neighbor_count,
                             call.context(), call.out(distance_squared, "distance_squared"),
                             call.out(reference_index, "reference_index"), call.out(valid, "valid"),
                             &ws, call.diag()),
             "offsets",
             offsets_context(
                 {{"query_offsets", &query_offsets}, {"reference_offsets", &reference_offsets}}));
}

std::uint64_t closest_bytes(Call &call, const Tensor &points, const Tensor &vertices,
                            const Tensor &faces) {
  return query_bytes(call, vrel_points_closest_point_on_mesh_workspace,
                     dtype_code(points, "points"), extent(points, 0), extent(vertices, 0),
                     extent(faces, 0));
}

Tensors5 closest_point_on_mesh(Tensor points, Tensor vertices, Tensor faces, Tensor point_offsets,
                               Tensor vertex_offsets, Tensor face_offsets, double eps) {
  Call call(points);
  const std::uint64_t bytes = closest_bytes(call, points, vertices, faces);
  const std::int64_t P = extent(points, 0);
  Tensor distance_squared = new_empty(points, {P});
  Tensor face_index = new_empty(points, {P}, ScalarType::Int);
  Tensor barycentric = new_empty(points, {P, 3});
  Tensor closest = new_empty(points, {P, 3});
  Tensor valid = new_empty(points, {P}, ScalarType::Bool);
  const VrelTensorView *p = call.in(points, "points"), *v = call.in(vertices, "vertices"),
                       *f = call.in(faces, "faces");
  const VrelTensorView *p_off = call.in(point_offsets, "point_offsets"),
                       *v_off = call.in(vertex_offsets, "vertex_offsets");
  const VrelTensorView *f_off = call.in(face_offsets, "face_offsets");
  VrelTensorView *outputs[] = {
      call.out(distance_squared, "distance_squared"), call.out(face_index, "face_index"),
      call.out(barycentric, "barycentric"), call.out(closest, "closest"), call.out(valid, "valid")};
  // Points are independent: one range of them per thread, each with its own hierarchy.
  const std::int64_t n = split::parts_for(points, P, kRowsPerThread);
  bool cuttable = split::cuttable(p, P);
  for (const VrelTensorView *out : outputs) cuttable &= split::cuttable(out, P);
  if (n > 1 && cuttable) {
    split::Workspaces ws = split::workspaces(
        points, n,
        query_bytes(call, vrel_points_closest_point_on_mesh_workspace, dtype_code(points, "points"),
                    split::first_row(1, n, P), extent(vertices, 0), extent(faces, 0)));
    std::vector<split::Part> parts(n);
    bool ready = true;
    for (std::int64_t k = 0; k < n; ++k) {
      const std::int64_t begin = split::first_row(k, n, P), end = split::first_row(k + 1, n, P);
      split::Part &part = parts[k];
      part.rows(p, begin, end);
      ready &= split::clipped_offsets(part, p_off, begin, end) != nullptr;
      for (const VrelTensorView *out : outputs) part.rows(out, begin, end);
    }
    if (ready && split::run(parts, [&](split::Part &part, std::int64_t k) {
          const auto &w = part.views;
          return vrel_points_closest_point_on_mesh(&w[0], v, f, &w[1], v_off, f_off, eps,
                                                   call.context(), &w[2], &w[3], &w[4], &w[5],
                                                   &w[6], ws.at(k), &part.diag);
        }))
      return {distance_squared, face_index, barycentric, closest, valid};
  }
  Workspace ws = make_workspace(points, bytes);
  call.check(vrel_points_closest_point_on_mesh(p, v, f, p_off, v_off, f_off, eps, call.context(),
                                               outputs[0], outputs[1], outputs[2], outputs[3],
                                               outputs[4], ws.or_null(), call.diag()),
             "offsets",
             offsets_context({{"point_offsets", &point_offsets},
                              {"vertex_offsets", &vertex_offsets},
                              {"face_offsets", &face_offsets}}));
  return {distance_squared, face_index, barycentric, closest, valid};
}

Tensors2 closest_point_on_mesh_backward(Tensor points, Tensor vertices, Tensor faces,
                                        Tensor face_index, Tensor barycentric, Tensor closest,
                                        Tensor valid, Tensor grad_distance_squared) {
  Call call(points);
  closest_bytes(call, points, vertices, faces);  // the forward's index: checks only
  Tensor grad_points = new_empty(points, sizes_of(points));
  Tensor grad_vertices = new_empty(points, sizes_of(vertices));
  const VrelTensorView *p = call.in(points, "points"), *v = call.in(vertices, "vertices"),
                       *f = call.in(faces, "faces"), *index = call.in(face_index, "face_index"),
                       *weights = call.in(barycentric, "barycentric"),
                       *near = call.in(closest, "closest"), *mask = call.in(valid, "valid"),
                       *g = call.in(grad_distance_squared, "grad_distance_squared");
  VrelTensorView *gp = call.out(grad_points, "grad_points"),
                 *gv = call.out(grad_vertices, "grad_vertices");
  // As for k-NN: point ranges for the point gradient, one more part for the vertex gradient.
  const std::int64_t P = extent(points, 0);
  const std::int64_t n = split::parts_for(points, P, kBackwardRowsPerThread);
  const VrelTensorView *rows[] = {p, index, weights, near, mask, g, gp};
  bool cuttable = n > 1;
  for (const VrelTensorView *view : rows) cuttable = cuttable && split::cuttable(view, P);
  if (cuttable) {
    std::vector<split::Part> parts(n);
    for (std::int64_t k = 0; k + 1 < n; ++k) {
      const std::int64_t begin = split::first_row(k, n - 1, P),
                         end = split::first_row(k + 1, n - 1, P);
      for (const VrelTensorView *view : rows) parts[k].rows(view, begin, end);
    }
    if (split::run(parts, [&](split::Part &part, std::int64_t k) {
          if (k + 1 == n)
            return vrel_points_closest_point_on_mesh_backward(p, v, f, index, weights, near, mask,
                                                              g, call.context(), nullptr, gv,
                                                              nullptr, &part.diag);
          const auto &w = part.views;
          return vrel_points_closest_point_on_mesh_backward(&w[0], v, f, &w[1], &w[2], &w[3], &w[4],
                                                            &w[5], call.context(), &w[6], nullptr,
                                                            nullptr, &part.diag);
        }))
      return {grad_points, grad_vertices};
  }
  call.check(vrel_points_closest_point_on_mesh_backward(
      p, v, f, index, weights, near, mask, g, call.context(), gp, gv, nullptr, call.diag()));
  return {grad_points, grad_vertices};
}

void closest_point_on_mesh_out(Tensor points, Tensor vertices, Tensor faces, Tensor point_offsets,
                               Tensor vertex_offsets, Tensor face_offsets, double eps,
                               Tensor distance_squared, Tensor face_index, Tensor barycentric,
                               Tensor closest, Tensor valid, Tensor workspace) {
  Call call(points);
  VrelBufferDescriptor ws = caller_workspace(workspace);
  call.check(vrel_points_closest_point_on_mesh(
                 call.in(points, "points"), call.in(vertices, "vertices"), call.in(faces, "faces"),
                 call.in(point_offsets, "point_offsets"), call.in(vertex_offsets, "vertex_offsets"),
                 call.in(face_offsets, "face_offsets"), eps, call.context(),
                 call.out(distance_squared, "distance_squared"), call.out(face_index, "face_index"),
                 call.out(barycentric, "barycentric"), call.out(closest, "closest"),
                 call.out(valid, "valid"), &ws, call.diag()),
             "offsets",
             offsets_context({{"point_offsets", &point_offsets},
                              {"vertex_offsets", &vertex_offsets},
                              {"face_offsets", &face_offsets}}));
}

}  // namespace

std::span<const KernelBinding> points_bindings() {
  static const KernelBinding bindings[] = {
      VREL_BIND(knn),
      VREL_BIND(knn_backward),
      VREL_BIND(knn_out),
      VREL_BIND(closest_point_on_mesh),
      VREL_BIND(closest_point_on_mesh_backward),
      VREL_BIND(closest_point_on_mesh_out),
  };
  return bindings;
}

}  // namespace vrel::adapter
