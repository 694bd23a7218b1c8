/* vrel ABI v1: the mesh family. Included by vrel/vrel.h; include that header instead.
 *
 * Per-face and per-vertex quantities of indexed triangle meshes with their gradients (face
 * normals and areas, vertex normals, gathered corner positions), mesh structure (edge topology,
 * validation) and area-uniform surface sampling with a counter-based generator.
 *
 * Data:
 *   vertices  [V,3] float32 or float64: positions x, y, z
 *   faces     [F,3] int32: corner indices (i0, i1, i2) of each triangle
 *   offsets   [B+1] int32 packed batch offsets (first 0, nondecreasing, last equal to the packed
 *             row count); face indices are global vertex rows.
 * Float32 data are computed in float32 arithmetic and float64 data in float64; the scalar eps
 * arrives as a double and comparisons against it widen the float32 value first. Each face's
 * unnormalised normal is n = (p1 - p0) x (p2 - p0) and L = |n| (twice its area); a face with
 * eps < L is "valid", and a NaN L never is.
 *
 * Statuses shared by the exports below (status 1 unless stated): a broken Diagnostic (6 or 1);
 * a context that fails validation (its status) or is not the CPU (2); an operand with the wrong
 * rank or extents (the message names it and its shape); a view that fails
 * vrel_validate_tensor_view (its status) or does not live on the CPU (2); an input carrying
 * VREL_TENSOR_OUTPUT or an output lacking it; an unsupported vertex or face dtype (2); an output
 * or gradient dtype other than the vertex dtype; outputs that overlap an input or each other;
 * face indices outside [0, V) ("face indices must lie in [0, V)"); a workspace that fails
 * vrel_validate_buffer (its status) or is not CPU storage (2). The first failing check decides
 * the status and message and nothing has been written then. Gradient outputs are cleared and
 * then accumulated in face order.
 *
 * CUDA: a context with struct_size >= 64 naming VREL_DEVICE_CUDA is forwarded, arguments
 * unchanged and before the Diagnostic reset, to the provider's entry for the operation (without
 * a provider or entry: status 2). Edge topology and validation are CPU-only.
 */
#ifndef VREL_MESH_H
#define VREL_MESH_H
#ifndef VREL_VREL_H
#error "include vrel/vrel.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------ */
/* Face geometry                                                                              */
/* ------------------------------------------------------------------------------------------ */

/*
 * Unit normal, area and validity of every face.
 *
 *   vertices  [V,3] float32/float64;  faces [F,3] int32 in [0, V)
 *   eps       finite, >= 0 (-0.0 accepted), else 1 "eps must be finite and nonnegative"
 *   normals (out)  [F,3] vertex dtype: n / L for a valid face, else (0, 0, 0)
 *   areas   (out)  [F]   vertex dtype: L * 0.5 for a valid face, else 0
 *   valid   (out)  [F]   bool: 1 when eps < L, else 0 (the test is strict)
 *   workspace      not used; may be null; when given it must be a valid CPU buffer
 *
 * Every output element is written. F = 0 succeeds without writing. Mismatched floating output
 * dtypes are 1 "floating outputs must match the vertices dtype"; a non-bool valid is 1.
 * A CUDA provider without this entry gives 2 "the CUDA provider does not implement
 * mesh.face_geometry".
 */
VREL_API VrelStatus vrel_mesh_face_geometry(
    const VrelTensorView *vertices, const VrelTensorView *faces, double eps,
    const VrelExecutionContext *context, const VrelTensorView *normals, const VrelTensorView *areas,
    const VrelTensorView *valid, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product of vrel_mesh_face_geometry with respect to the vertices.
 *
 *   vertices, faces, eps     as in the forward
 *   grad_normals   [F,3] vertex dtype, or null
 *   grad_areas     [F]   vertex dtype, or null (at least one of the two is required:
 *                        1 "at least one cotangent view is required")
 *   grad_vertices (out)  [V,3] vertex dtype
 *   workspace            not used; may be null; when given it must be a valid CPU buffer
 *
 * Faces that are not valid contribute nothing. For a valid face with u = n / L, g its normal
 * cotangent and a its area cotangent: G = (g - u (g.u)) / L + (a / 2) u, then corner i1 gains
 * e2 x G, corner i2 gains G x e1 and corner i0 loses their sum. V = 0 succeeds without writing.
 */
VREL_API VrelStatus vrel_mesh_face_geometry_backward(
    const VrelTensorView *vertices, const VrelTensorView *faces, double eps,
    const VrelTensorView *grad_normals, const VrelTensorView *grad_areas,
    const VrelExecutionContext *context, const VrelTensorView *grad_vertices,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Workspace of face geometry and its backward: 0 bytes at alignment 1 on the CPU. A CUDA context
 * is handed to the provider's workspace query (operation id 1, no counts); without one: 2 "no
 * CUDA provider is available to report a device workspace requirement". Statuses: null result
 * pointers (1), negative counts (1), dtype not float32/float64 (2), the context.
 */
VREL_API VrelStatus vrel_mesh_face_geometry_workspace(
    int64_t vertex_count, int64_t face_count, uint32_t dtype, const VrelExecutionContext *context,
    uint64_t *workspace_bytes, uint64_t *workspace_alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

/* ------------------------------------------------------------------------------------------ */
/* Face gathering                                                                             */
/* ------------------------------------------------------------------------------------------ */

/*
 * Copies the corner positions of every face: face_vertices[f][k][c] = vertices[faces[f][k]][c].
 *
 *   vertices  [V,3] float32/float64;  faces [F,3] int32 in [0, V)
 *   face_vertices (out)  [F,3,3] vertex dtype
 *   workspace            not used; may be null; when given it must be a valid CPU buffer
 *
 * Every output element is written. F = 0 succeeds without writing.
 */
VREL_API VrelStatus vrel_mesh_gather_faces(
    const VrelTensorView *vertices, const VrelTensorView *faces,
    const VrelExecutionContext *context, const VrelTensorView *face_vertices,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Scatters per-corner cotangents onto the vertices: grad_vertices is cleared, then for each face
 * in order and corner k = 0, 1, 2, grad_vertices[faces[f][k]] += grad_face_vertices[f][k].
 *
 *   vertices, faces             as in the forward
 *   grad_face_vertices  [F,3,3] vertex dtype; must live on the CPU (2) like every other view
 *   grad_vertices (out) [V,3]   vertex dtype
 *   workspace                   not used; may be null; when given it must be a valid CPU buffer
 *
 * The access flags of grad_face_vertices are not examined; a grad_face_vertices that does not
 * live on the CPU is refused with 2 "mesh operations implement only the CPU backend in this
 * phase". V = 0 succeeds without writing.
 */
VREL_API VrelStatus vrel_mesh_gather_faces_backward(
    const VrelTensorView *vertices, const VrelTensorView *faces,
    const VrelTensorView *grad_face_vertices, const VrelExecutionContext *context,
    const VrelTensorView *grad_vertices, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Workspace of face gathering and its backward: 0 bytes at alignment 1 on the CPU. A CUDA
 * context is handed, before the Diagnostic reset, to the provider's workspace query (operation
 * id 3, no counts). Statuses: null result pointers (1), negative counts (1), dtype (2), the
 * context.
 */
VREL_API VrelStatus vrel_mesh_gather_faces_workspace(
    int64_t vertex_count, int64_t face_count, uint32_t dtype, const VrelExecutionContext *context,
    uint64_t *workspace_bytes, uint64_t *workspace_alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

/* ------------------------------------------------------------------------------------------ */
/* Vertex normals                                                                             */
/* ------------------------------------------------------------------------------------------ */

/* How valid faces contribute to the normals of their corners. */
#define VREL_MESH_WEIGHTING_AREA 1u    /* n / 2: area times unit normal */
#define VREL_MESH_WEIGHTING_UNIFORM 2u /* n / L: the unit normal */

/*
 * Unit normal of every vertex: the contributions of the valid faces around it are summed in
 * face order (corners i0, i1, i2) and normalised; a sum S with |S| <= eps gives (0, 0, 0), so a
 * vertex used by no valid face gets a zero normal.
 *
 *   vertices  [V,3] float32/float64;  faces [F,3] int32 in [0, V);  eps finite and >= 0
 *   weighting      VREL_MESH_WEIGHTING_AREA or _UNIFORM, checked first (1)
 *   normals (out)  [V,3] vertex dtype
 *   workspace      not used; may be null; when given it must be a valid CPU buffer
 *
 * Every output element is written. V = 0 succeeds without writing.
 */
VREL_API VrelStatus vrel_mesh_vertex_normals(
    const VrelTensorView *vertices, const VrelTensorView *faces, double eps, uint32_t weighting,
    const VrelExecutionContext *context, const VrelTensorView *normals,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product of vrel_mesh_vertex_normals with respect to the vertices.
 *
 *   vertices, faces, eps, weighting  as in the forward
 *   grad_normals   [V,3] vertex dtype (required)
 *   grad_vertices (out)  [V,3] vertex dtype
 *   workspace      V*3 elements of the vertex dtype (vrel_mesh_vertex_normals_workspace),
 *                  aligned to the element size; the span may not overlap an operand.
 *                  Missing or smaller: 3 "the backward pass requires the workspace capacity
 *                  reported by the query"; misaligned: 1 "the workspace data pointer must be
 *                  aligned to the dtype"; overlapping: 1 "the workspace may not alias an operand".
 *
 * The workspace is checked after the alias rule and only when V > 0; V = 0 succeeds without
 * writing.
 */
VREL_API VrelStatus vrel_mesh_vertex_normals_backward(
    const VrelTensorView *vertices, const VrelTensorView *faces, double eps, uint32_t weighting,
    const VrelTensorView *grad_normals, const VrelExecutionContext *context,
    const VrelTensorView *grad_vertices, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Workspace of the vertex-normal backward, the same for CPU and CUDA contexts (the provider is
 * not asked): V*3*element size bytes, alignment the element size (4 or 8). Statuses: null result
 * pointers (1), negative counts (1), dtype (2), the context, a device other than CPU or CUDA (2),
 * a byte count above 2^64 - 1 (4).
 */
VREL_API VrelStatus vrel_mesh_vertex_normals_workspace(
    int64_t vertex_count, int64_t face_count, uint32_t dtype, const VrelExecutionContext *context,
    uint64_t *workspace_bytes, uint64_t *workspace_alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

/* ------------------------------------------------------------------------------------------ */
/* Edge topology (CPU only)                                                                   */
/* ------------------------------------------------------------------------------------------ */

/*
 * Unique undirected edges of every batch element and, per edge, the faces that contain it.
 *
 *   faces              [F,3] int32, every index >= 0 (1 "face indices must be nonnegative")
 *   face_offsets       [B+1] int32 packed offsets over F (B + 1 is the extent of
 *                      mesh_edge_offsets); each rule broken has its own message
 *   mesh_edge_offsets (out)  [B+1] int32: edges of element b are rows [o[b], o[b+1]) of edges
 *   edges             (out)  [3F,2] int32: (low, high) rows sorted by (low, high) per element;
 *                            rows past the last edge are (-1, -1)
 *   edge_face_offsets (out)  [3F+1] int32: faces of edge e are edge_faces[o[e] .. o[e+1]);
 *                            entries past the last edge equal 3F
 *   edge_faces        (out)  [3F] int32: global face indices in ascending order per edge
 *   workspace          36*F bytes, int32-aligned (needed when F > 0): missing or smaller, 3;
 *                      misaligned, 1 "the workspace data pointer must be aligned to int32";
 *                      overlapping an operand, 1
 *
 * Every output is written in full. A face with two equal corners (v, v, w) yields the edge
 * (v, v) and lists itself twice for its repeated edge. Outputs that are not int32 are 1. More
 * than 715827882 faces (3F face references would overflow the int32 edge face offsets) is 4.
 */
VREL_API VrelStatus vrel_mesh_build_edge_topology(
    const VrelTensorView *faces, const VrelTensorView *face_offsets,
    const VrelExecutionContext *context, const VrelTensorView *mesh_edge_offsets,
    const VrelTensorView *edges, const VrelTensorView *edge_face_offsets,
    const VrelTensorView *edge_faces, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Workspace of edge topology: 36*F bytes at alignment 4. Statuses: null result pointers (1),
 * negative counts (1), the context, a non-CPU context (2), 36*F above 2^64 - 1 (4).
 */
VREL_API VrelStatus vrel_mesh_build_edge_topology_workspace(
    int64_t face_count, int64_t batch_count, const VrelExecutionContext *context,
    uint64_t *workspace_bytes, uint64_t *workspace_alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

/* ------------------------------------------------------------------------------------------ */
/* Mesh validation (CPU only)                                                                 */
/* ------------------------------------------------------------------------------------------ */

/* Issue bits of VrelMeshValidationReport.issues. */
#define VREL_MESH_ISSUE_OFFSETS 1u       /* the packed offsets are broken */
#define VREL_MESH_ISSUE_INDEX_RANGE 2u   /* a face index lies outside [0, V) */
#define VREL_MESH_ISSUE_BATCH_RANGE 4u   /* an index lies outside its element's vertex range */
#define VREL_MESH_ISSUE_DEGENERATE 8u    /* a face has L <= eps (or a NaN L) */
#define VREL_MESH_ISSUE_NONFINITE 16u    /* a vertex has a NaN or infinite coordinate */
#define VREL_MESH_ISSUE_UNREFERENCED 32u /* a vertex is used by no face of its element */

/* Validation flags. */
#define VREL_MESH_VALIDATE_NONFINITE 1u /* also count non-finite vertices */

/* Validation report (80 bytes, caller-owned). Bytes 12..15 and 56..79 are never written. */
typedef struct VrelMeshValidationReport {
  uint32_t struct_size;           /*  0: at least 80 */
  uint32_t abi_version;           /*  4: not examined */
  uint32_t issues;                /*  8: VREL_MESH_ISSUE_* bits */
  uint32_t unused;                /* 12 */
  int64_t first_invalid_face;     /* 16: first face with an index issue, -1 when none */
  int64_t invalid_offset_index;   /* 24: position of the broken offset, -1 when valid */
  uint64_t degenerate_faces;      /* 32: faces with L <= eps */
  int64_t nonfinite_vertices;     /* 40: -1 unless VREL_MESH_VALIDATE_NONFINITE was given */
  uint64_t unreferenced_vertices; /* 48: vertices no face of their element uses */
  uint64_t reserved[3];           /* 56 */
} VrelMeshValidationReport;

/*
 * Inspects a packed batch of meshes and records its problems in the report instead of failing;
 * a mesh with problems gives status 0. Only malformed arguments fail.
 *
 *   vertices        [V,3] float32/float64;  faces [F,3] int32 (indices not checked here)
 *   vertex_offsets  [B+1] int32, B + 1 >= 1; face_offsets [B+1] int32 (same extent); both
 *                   must live on the CPU (2)
 *   eps             finite and >= 0;  flags  0 or VREL_MESH_VALIDATE_NONFINITE (else 1)
 *   report (out)    struct_size >= 80, else 6
 *   workspace       not used; may be null; when given it must be a valid buffer
 *
 * Broken offsets (vertex offsets first) set VREL_MESH_ISSUE_OFFSETS and the position (0 for a
 * first entry other than 0, i for a decrease after entry i, B - 1 for a wrong last entry; 0 when
 * B = 0, so a broken report never carries -1) and stop the inspection. Degenerate faces are
 * judged on corners widened to double. Index issues skip the degenerate and unreferenced counts.
 * Counting unreferenced vertices costs (vertices x faces) per batch element.
 */
VREL_API VrelStatus
vrel_mesh_validate(const VrelTensorView *vertices, const VrelTensorView *faces,
                   const VrelTensorView *vertex_offsets, const VrelTensorView *face_offsets,
                   double eps, uint32_t flags, const VrelExecutionContext *context,
                   VrelMeshValidationReport *report, const VrelBufferDescriptor *workspace,
                   VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Workspace of mesh validation: 0 bytes at alignment 1. Statuses: null result pointers (1),
 * negative counts (1), the context, a non-CPU context (2).
 */
VREL_API VrelStatus vrel_mesh_validate_workspace(
    int64_t vertex_count, int64_t face_count, const VrelExecutionContext *context,
    uint64_t *workspace_bytes, uint64_t *workspace_alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

/* ------------------------------------------------------------------------------------------ */
/* Surface sampling                                                                           */
/* ------------------------------------------------------------------------------------------ */

/*
 * Draws S points per batch element uniformly by area, reproducibly. Sample s of element b uses
 * Philox4x32-10 with counter (rng_counter[0], rng_counter[1], b, s) and key (rng_key[0],
 * rng_key[1]); output word x0 picks the face (by binary search over running area sums), x1 and
 * x2 the position: r = sqrt(x1 / 2^32), q = x2 / 2^32, barycentric (1 - r, (1 - q) r, q r).
 * Faces with L <= eps are never chosen. Areas and their running sums are computed in double
 * from corners widened to double; points are w1 p1 + w0 p0 + w2 p2 in the vertex dtype.
 *
 *   vertices        [V,3] float32/float64;  faces [F,3] int32 (global rows)
 *   vertex_offsets, face_offsets  [B+1] int32 packed offsets over V and F, on the CPU (2);
 *                   their access flags are not examined
 *   sample_count    S >= 0;  eps  finite and >= 0
 *   rng_key, rng_counter  [2] uint32 inputs
 *   points      (out)  [B,S,3] vertex dtype
 *   face_index  (out)  [B,S] int32: the sampled global face row
 *   barycentric (out)  [B,S,3] vertex dtype: weights of the face's corners in faces order
 *   next_counter (out) [2] uint32: rng_counter + 1 as a 64-bit number, word 0 low
 *   workspace          F doubles (F*8 bytes, 8-aligned): missing or smaller, 3 "the forward pass
 *                      requires the workspace capacity reported by the query"
 *
 * S = 0 or B = 0 succeeds once the offsets have passed, writing only next_counter and without
 * examining the other outputs. The key and counter are read before next_counter is written, so
 * next_counter may be rng_counter itself (an in-place advance); otherwise no output may overlap
 * an input or another output (1), and the workspace may not overlap an operand. Every face must
 * use vertices of its own batch element (1). A batch element without a face of L > eps is 1
 * "cannot sample a batch element with no positive-area face".
 * Writes: every rule, the face and area rules included, is checked before anything is written: a
 * refused call leaves the outputs, next_counter and the workspace untouched (the counter is not
 * advanced, so the same stream can be drawn again).
 */
VREL_API VrelStatus vrel_mesh_sample_surface(
    const VrelTensorView *vertices, const VrelTensorView *faces,
    const VrelTensorView *vertex_offsets, const VrelTensorView *face_offsets, int64_t sample_count,
    const VrelTensorView *rng_key, const VrelTensorView *rng_counter, double eps,
    const VrelExecutionContext *context, const VrelTensorView *points,
    const VrelTensorView *face_index, const VrelTensorView *barycentric,
    const VrelTensorView *next_counter, const VrelBufferDescriptor *workspace,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Carries point cotangents back to the vertices with the sampled faces and barycentric weights
 * held fixed: grad_vertices is cleared, then for each sample in order corner k of its face gains
 * barycentric[k] * grad_points.
 *
 *   faces        [F,3] int32 (another dtype is 1)
 *   face_index   [B,S] int32 (from the forward)
 *   barycentric  [B,S,3] float32/float64 (from the forward; another dtype is 2)
 *   grad_points  [B,S,3] barycentric dtype
 *   grad_vertices (out) [V,3] barycentric dtype
 *   workspace    not used; may be null; when given it must be a valid buffer
 *
 * The access flags of face_index, barycentric and grad_points are not examined, so the forward's
 * output views may be passed back as they are; like every view they must live on the CPU (2).
 * grad_vertices may not overlap an input (1). A sampled face outside [0, F) (1, "a sampled face
 * index lies outside the face range") or a corner outside [0, V) (1, "a face references a vertex
 * outside the gradient range") is found, in sample order, before grad_vertices is cleared: a
 * refused call writes nothing.
 */
VREL_API VrelStatus vrel_mesh_sample_surface_backward(
    const VrelTensorView *faces, const VrelTensorView *face_index,
    const VrelTensorView *barycentric, const VrelTensorView *grad_points,
    const VrelExecutionContext *context, const VrelTensorView *grad_vertices,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Workspace of surface sampling: F*8 bytes at alignment 8 on the CPU; a CUDA context is
 * answered by the core, without asking the provider, with F*8 + 4 bytes at alignment 8.
 * Statuses: null result pointers (1), negative counts (1), dtype (2), the context, another
 * device (2), F above 2^61 - 1 so that F*8 overflows (4, for both devices).
 */
VREL_API VrelStatus vrel_mesh_sample_surface_workspace(
    int64_t vertex_count, int64_t face_count, int64_t sample_count, uint32_t dtype,
    const VrelExecutionContext *context, uint64_t *workspace_bytes, uint64_t *workspace_alignment,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VREL_MESH_H */
