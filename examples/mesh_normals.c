/*
 * Calling the vrel C ABI from C: face normals and areas of a small mesh, then the gradient of the
 * total area with respect to the vertices (the backward export), with the workspace query first.
 *
 *   cc mesh_normals.c -I include -L build/release/lib -lvrel_core
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "vrel/vrel.h"

/* A dense view over caller memory; `shape` must outlive the view. */
static VrelTensorView view(void *data, const int64_t *shape, int64_t *strides, uint32_t rank,
                           uint32_t dtype, uint32_t flags) {
  VrelTensorView v;
  memset(&v, 0, sizeof v);
  v.struct_size = sizeof v;
  v.abi_version = VREL_ABI_VERSION;
  v.data = data;
  v.shape = shape;
  v.strides = strides;
  v.rank = rank;
  v.dtype = dtype;
  v.device_type = VREL_DEVICE_CPU;
  v.flags = flags;
  int64_t stride = 1;
  for (uint32_t i = rank; i-- > 0;) {
    strides[i] = stride;
    stride *= shape[i] > 0 ? shape[i] : 1;
  }
  return v;
}

int main(void) {
  /* A unit square in the z = 0 plane, split into two triangles. */
  double vertices[4][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
  int32_t faces[2][3] = {{0, 1, 2}, {0, 2, 3}};
  double normals[2][3], areas[2], grad_vertices[4][3];
  uint8_t valid[2];

  const int64_t v_shape[2] = {4, 3}, f_shape[2] = {2, 3}, n_shape[2] = {2, 3}, a_shape[1] = {2};
  int64_t s0[2], s1[2], s2[2], s3[1], s4[1], s5[1], s6[2];
  const VrelTensorView v =
      view(vertices, v_shape, s0, 2, VREL_DTYPE_FLOAT64, VREL_TENSOR_READ_ONLY);
  const VrelTensorView f = view(faces, f_shape, s1, 2, VREL_DTYPE_INT32, VREL_TENSOR_READ_ONLY);
  const VrelTensorView n = view(normals, n_shape, s2, 2, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  const VrelTensorView a = view(areas, a_shape, s3, 1, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  const VrelTensorView ok = view(valid, a_shape, s4, 1, VREL_DTYPE_BOOL, VREL_TENSOR_OUTPUT);

  VrelExecutionContext cpu;
  memset(&cpu, 0, sizeof cpu);
  cpu.struct_size = sizeof cpu;
  cpu.abi_version = VREL_ABI_VERSION;
  cpu.device_type = VREL_DEVICE_CPU;

  char message[256];
  VrelDiagnostic diag = {sizeof diag, VREL_ABI_VERSION, message, sizeof message, 0, {0}};

  /* Two-phase use: ask for the workspace, then call. Face geometry needs none on the CPU. */
  uint64_t bytes = 0, alignment = 0;
  VrelStatus status =
      vrel_mesh_face_geometry_workspace(4, 2, VREL_DTYPE_FLOAT64, &cpu, &bytes, &alignment, &diag);
  if (status == VREL_STATUS_OK)
    status = vrel_mesh_face_geometry(&v, &f, 0.0, &cpu, &n, &a, &ok, NULL, &diag);
  if (status != VREL_STATUS_OK) {
    fprintf(stderr, "face_geometry failed with status %d: %s\n", status, message);
    return 1;
  }
  for (int i = 0; i < 2; ++i)
    printf("face %d: normal (%g, %g, %g), area %g, valid %u\n", i, normals[i][0], normals[i][1],
           normals[i][2], areas[i], valid[i]);

  /* d(total area)/d(vertices): an area cotangent of ones, no normal cotangent. */
  double ones[2] = {1.0, 1.0};
  const VrelTensorView g_areas = view(ones, a_shape, s5, 1, VREL_DTYPE_FLOAT64, 0);
  const VrelTensorView g_vertices =
      view(grad_vertices, v_shape, s6, 2, VREL_DTYPE_FLOAT64, VREL_TENSOR_OUTPUT);
  status =
      vrel_mesh_face_geometry_backward(&v, &f, 0.0, NULL, &g_areas, &cpu, &g_vertices, NULL, &diag);
  if (status != VREL_STATUS_OK) {
    fprintf(stderr, "face_geometry_backward failed with status %d: %s\n", status, message);
    return 1;
  }
  for (int i = 0; i < 4; ++i)
    printf("d area / d vertex %d: (%g, %g, %g)\n", i, grad_vertices[i][0], grad_vertices[i][1],
           grad_vertices[i][2]);

  /* A failing call: the status and one sentence, nothing written. */
  status = vrel_mesh_face_geometry(&v, &f, -1.0, &cpu, &n, &a, &ok, NULL, &diag);
  printf("eps = -1 gives status %d: \"%s\"\n", status, message);
  return status == VREL_STATUS_INVALID_ARGUMENT ? 0 : 1;
}
