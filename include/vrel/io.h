/* vrel ABI v1: the io family. Included by vrel/vrel.h; include that header instead.
 *
 * Whole-file reads into memory the core allocates (and vrel_io_file_release frees), and triangle
 * meshes in the PLY format, parsed from memory or from a file. PLY parsing is two-phase:
 * vrel_io_ply_probe reads the header and reports the format and the vertex and face counts, so the
 * caller can allocate [V,3] and [F,3] views; vrel_io_ply_read then fills them.
 *
 * PLY support:
 *  - formats "ascii" and "binary_little_endian", version "1.0"; "binary_big_endian" and other
 *    versions are refused with status 2;
 *  - at most 16 elements of at most 64 properties each; element counts are nonnegative decimal
 *    integers within signed 64 bits;
 *  - value types char/int8, uchar/uint8, short/int16, ushort/uint16, int/int32, uint/uint32,
 *    float/float32, double/float64 (names compared exactly);
 *  - the "vertex" element must declare x, y and z once each; other vertex properties (normals,
 *    colours, ...) and other elements are read and discarded; lists are refused in the vertex
 *    element (status 2), as are float count or item types (status 2);
 *  - a "face" element with a positive count needs the list "vertex_indices" (or "vertex_index"),
 *    of exactly three items per face (status 2 otherwise), each in [0, 2^31 - 1] (status 1
 *    otherwise); indices are not compared with the vertex count;
 *  - header lines end with LF (a CR before it is allowed); blank lines, "comment" and "obj_info"
 *    lines are skipped; extra tokens at the end of a header line are ignored;
 *  - ASCII bodies are tokens separated by blanks, tabs, CR or LF, with no line structure.
 *    Integer-typed values are signed 64-bit decimal integers; float-typed values are decimal
 *    numbers (optional sign, digits with at most one '.', optional exponent in [-4096, 4096]);
 *    19 significant digits are kept (later digits are dropped), the value is the double nearest
 *    to them (ties to even), and a magnitude above 1.7e308 is refused (status 1). A float-typed
 *    ASCII value read into a float64 view keeps that double; into a float32 view it is rounded;
 *  - a finite vertex coordinate, ASCII or binary, that becomes infinite in the requested dtype
 *    (above the float32 range, for a float32 view) is refused with status 1 "a finite PLY vertex
 *    coordinate exceeds the range of the requested dtype"; NaN and infinities stored in a binary
 *    body are read as stored (ASCII has no spelling for them and refuses "nan" and "inf");
 *  - data after the last element is ignored;
 *  - when a header declares several vertex (or face) elements, the counts and the stored values
 *    are those of the last one; the others are read and discarded.
 *
 * Statuses: 1 malformed input or bad arguments, 2 well-formed but unsupported content, 5 file
 * errors (and the Diagnostic's 6 or 1). Failures write one sentence into the Diagnostic; nothing
 * else is written unless the call succeeds. No io export runs on a CUDA provider: a valid CUDA
 * context is accepted and the work is done on the CPU, with CPU views.
 */
#ifndef VREL_IO_H
#define VREL_IO_H
#ifndef VREL_VREL_H
#error "include vrel/vrel.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define VREL_PLY_FORMAT_ASCII 0u
#define VREL_PLY_FORMAT_BINARY_LITTLE_ENDIAN 1u

/* What a PLY header declares (40 bytes). */
typedef struct VrelPlyInfo {
  uint32_t struct_size;   /*  0: exactly 40 */
  uint32_t abi_version;   /*  4: written as 0x10000 by vrel_io_ply_read_file; not examined */
  uint32_t format;        /*  8: written: VREL_PLY_FORMAT_* */
  uint32_t reserved_word; /* 12: written as 0 */
  uint64_t vertex_count;  /* 16: written: instances of the (last) vertex element */
  uint64_t face_count;    /* 24: written: instances of the (last) face element; 0 when absent */
  uint64_t header_size;   /* 32: written: byte offset of the body, just after end_header's LF */
} VrelPlyInfo;

/*
 * Reads the file at `path` whole into memory the core allocates. `buffer` (struct_size exactly
 * 64) receives data (size + 1 bytes, a NUL after the last file byte), capacity (the file size in
 * bytes), alignment 1 and device_type CPU; its other fields are left as they are. Give the memory
 * back with vrel_io_file_release.
 *   context   optional; validated when given
 * Statuses: 1 null path or buffer, or struct_size not 64; 5 the file cannot be opened, sized or
 * read in full, cannot be allocated, or is larger than 2^31 - 1 bytes (refused before any
 * allocation); 5 "the path does not name a readable file" for anything but a regular file (a
 * directory, a device such as /dev/zero, a FIFO or socket), judged without blocking and before
 * anything is read. The buffer is untouched on failure.
 */
VREL_API VrelStatus vrel_io_file_read_all(const char *path,
                                                                const VrelExecutionContext *context,
                                                                VrelBufferDescriptor *buffer,
                                                                VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Frees the data of a buffer filled by vrel_io_file_read_all (null data is fine) and sets data to
 * null and capacity to 0. Statuses: 1 null buffer or struct_size not 64.
 */
VREL_API VrelStatus vrel_io_file_release(
    VrelBufferDescriptor *buffer) VREL_NOEXCEPT;

/*
 * Parses the PLY header in [data, data + size) and fills info's format, reserved_word (0),
 * vertex_count, face_count and header_size.
 *   info      struct_size exactly 40
 *   context   optional; validated when given
 * Statuses: 1 null data or info, negative size, info struct_size not 40, a malformed header;
 * 2 unsupported content (see above); 1 "the PLY body ends before its last element" when the bytes
 * after the header cannot hold the declared counts: binary, every element's count times its
 * smallest record (its scalars, its list counts, three items for a face's index list); ASCII,
 * one character and one separator per value (the last separator may be missing). So a count
 * the data cannot back is refused before a caller sizes views from it. info is untouched on
 * failure.
 */
VREL_API VrelStatus vrel_io_ply_probe(const char *data, int64_t size,
                                                            const VrelExecutionContext *context,
                                                            VrelPlyInfo *info,
                                                            VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Parses the PLY data in [data, data + size) and stores the positions and triangles.
 *   info      a probe's result for the same data (struct_size 40); its counts must match
 *   context   optional; validated when given
 *   vertices  (out) [V,3] float32 or float64, V = info->vertex_count; positions, rounded to
 *             float32 for a float32 view
 *   faces     (out) [F,3] int32, F = info->face_count
 *   workspace ignored (no scratch is needed); may be null
 * The views must pass vrel_validate_tensor_view (its status), live on the CPU (2), not be
 * read-only, and overlap neither each other nor the data bytes (1). The body is checked in full
 * before anything is written, so a failing read leaves both views untouched.
 * Statuses: the probe's; 1 null or wrong-sized views (a view whose struct_size is not 96), rank
 * or extent, dtype, counts that differ from info or the views, a malformed or truncated body, a
 * negative list count, an index outside [0, 2^31 - 1], a coordinate outside the view's dtype;
 * 6 a view of another ABI major version (checked before its other fields are read); 2 a face
 * that is not a triangle.
 */
VREL_API VrelStatus vrel_io_ply_read(
    const char *data, int64_t size, const VrelPlyInfo *info, const VrelExecutionContext *context,
    const VrelTensorView *vertices, const VrelTensorView *faces,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Scratch requirement of vrel_io_ply_read: always 0 bytes at alignment 1.
 *   info      struct_size exactly 40
 *   context   ignored
 * Statuses: 1 null info, struct_size not 40, or a null result pointer.
 */
VREL_API VrelStatus vrel_io_ply_read_workspace(
    const VrelPlyInfo *info, const VrelExecutionContext *context, uint64_t *bytes,
    uint64_t *alignment) VREL_NOEXCEPT;

/*
 * vrel_io_ply_probe on the bytes of the file at `path`, opened with the checks of
 * vrel_io_file_read_all. The file is mapped read-only for the call (read into memory instead
 * where it cannot be mapped) and let go before returning; a file that another process truncates
 * during the call stops the process (SIGBUS), as any mapped read does.
 * Statuses: those of vrel_io_file_read_all and the probe.
 */
VREL_API VrelStatus vrel_io_ply_probe_file(
    const char *path, const VrelExecutionContext *context, VrelPlyInfo *info,
    VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Runs the probe and the read on the bytes of the file at `path`, lent as for
 * vrel_io_ply_probe_file (the body is read straight from the file's cached pages). On success `info`
 * receives the probe's fields with struct_size 40 and abi_version 0x10000; its fields are not
 * examined beforehand and are untouched on failure. The views are as for vrel_io_ply_read.
 * Statuses: those of vrel_io_file_read_all, the probe and the read; 1 null info.
 */
VREL_API VrelStatus vrel_io_ply_read_file(
    const char *path, const VrelExecutionContext *context, VrelPlyInfo *info,
    const VrelTensorView *vertices, const VrelTensorView *faces, VrelDiagnostic *diag)
    VREL_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VREL_IO_H */
