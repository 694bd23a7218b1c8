/*
 * vrel ABI v1: differentiable geometry and rendering operators behind a flat C interface.
 *
 * Conventions shared by every export:
 *  - Every export returns a VrelStatus and may copy one English sentence (no final full stop)
 *    into a caller-owned VrelDiagnostic. The first failing check decides both; nothing is
 *    written to any output or workspace before all checks have passed, the checks of index,
 *    offset and counter values included. The few exceptions (status 4 results found while
 *    computing, result arrays found too small) are stated at their export.
 *  - A record's struct_size and abi_version are checked before any other field of it is read:
 *    a short record or another major version is status 6 whatever follows its header.
 *  - All memory belongs to the caller. Arrays are described by VrelTensorView records
 *    (dense, C-contiguous, strides counted in elements). Operators allocate nothing; only the
 *    whole-file reader of the io family hands out memory (release it with vrel_io_file_release).
 *  - Argument order: input views, scalar parameters, execution context, output views,
 *    workspace buffer, diagnostic. A backward export takes the forward inputs, then the
 *    cotangents of the forward outputs, then the context, the gradient outputs, workspace and
 *    diagnostic.
 *  - Use is two-phase: ask the operation's _workspace export for bytes and alignment, supply a
 *    buffer of that size, then call the forward or backward export.
 *  - A context naming a CUDA device is forwarded, arguments unchanged, to the optional CUDA
 *    provider plug-in (libvrel_cuda12.so, found beside libvrel_core.so or through the
 *    absolute path in VREL_CUDA_PLUGIN_PATH). Without it CUDA requests fail with status 2.
 *  - The core starts no threads; any number of threads may call exports at once, each with its
 *    own outputs, workspace and diagnostic.
 *
 * This header is plain C (C99 or later) and C++. Every record is little-endian with the sizes and
 * offsets documented beside its fields; the test suite pins them.
 */
#ifndef VREL_VREL_H
#define VREL_VREL_H

#include <stddef.h>
#include <stdint.h>

#if defined(VREL_BUILDING_CORE)
#define VREL_API __attribute__((visibility("default")))
#else
#define VREL_API
#endif

#ifdef __cplusplus
#define VREL_NOEXCEPT noexcept
extern "C" {
#else
#define VREL_NOEXCEPT
#endif

/* ------------------------------------------------------------------------------------------ */
/* Versions and status codes                                                                  */
/* ------------------------------------------------------------------------------------------ */

/* Major version in the upper 16 bits, minor in the lower 16 bits. Records accept any 1.x. */
#define VREL_ABI_VERSION 0x10000u

/* Result of every export (32-bit signed). */
typedef int32_t VrelStatus;

#define VREL_STATUS_OK 0               /* success */
#define VREL_STATUS_INVALID_ARGUMENT 1 /* null pointer, bad shape/index/offset/scalar/flag, alias \
                                        */
#define VREL_STATUS_UNSUPPORTED 2 /* dtype, device, backend or flag not supported; no provider */
#define VREL_STATUS_INSUFFICIENT_CAPACITY 3 /* caller storage missing or too small */
#define VREL_STATUS_OVERFLOW 4     /* size arithmetic or a kernel's fixed capacity exceeded */
#define VREL_STATUS_IO_ERROR 5     /* a file cannot be opened, sized or read in full */
#define VREL_STATUS_ABI_MISMATCH 6 /* record too small, other major version, unusable Diagnostic \
                                    */

/* ------------------------------------------------------------------------------------------ */
/* Diagnostic (64 bytes)                                                                      */
/* ------------------------------------------------------------------------------------------ */

/*
 * Caller-owned message record. Every export resets it first (message_required = 0 and an empty
 * string) and, on failure, copies its sentence, cut to message_capacity - 1 bytes and always
 * NUL-terminated. message_required holds the full length plus one, so a caller can retry with a
 * larger buffer. A null Diagnostic is allowed everywhere. A record with struct_size < 64 or
 * another major version makes every export return 6; nonzero reserved words make it return 1;
 * in both cases the record is left untouched.
 */
typedef struct VrelDiagnostic {
  uint32_t struct_size;      /*  0: at least 64 */
  uint32_t abi_version;      /*  4: major 1 */
  char *message;             /*  8: caller's buffer, may be null */
  uint64_t message_capacity; /* 16: bytes in message, terminator included, may be 0 */
  uint64_t message_required; /* 24: written: length of the last message + 1, or 0 */
  uint64_t reserved[4];      /* 32: must be zero */
} VrelDiagnostic;

/* ------------------------------------------------------------------------------------------ */
/* Descriptors                                                                                */
/* ------------------------------------------------------------------------------------------ */

#define VREL_DTYPE_FLOAT32 1u /* element size 4 */
#define VREL_DTYPE_FLOAT64 2u /* element size 8 */
#define VREL_DTYPE_INT32 3u   /* element size 4 */
#define VREL_DTYPE_UINT32 4u  /* element size 4 */
#define VREL_DTYPE_BOOL 5u    /* one byte; 0 false, nonzero true; the core writes 0 or 1 */

#define VREL_DEVICE_CPU 1u  /* host memory; device index 0 */
#define VREL_DEVICE_CUDA 2u /* CUDA device memory; device index is the CUDA ordinal */

#define VREL_TENSOR_READ_ONLY 1u /* the caller declares the array read-only (allowed on inputs) */
#define VREL_TENSOR_OUTPUT 2u    /* the array is written by the operation (required on outputs) */

#define VREL_CONTEXT_FLAG_0 1u /* accepted and handed to the CUDA provider unchanged */

#define VREL_MAX_TENSOR_RANK 64u

/*
 * TensorView (96 bytes): one dense, C-contiguous array. Element 0 lies at data + byte_offset;
 * strides count elements, not bytes. For every dimension of extent > 1 the stride must equal the
 * product of the later extents (extents of 0 count as 1); strides of extent-0/1 dimensions are
 * free but positive. data may be null only for an empty view (and byte_offset is then 0).
 * shape and strides are null exactly when rank is 0 (a scalar, one element).
 */
typedef struct VrelTensorView {
  uint32_t struct_size;   /*  0: at least 96 */
  uint32_t abi_version;   /*  4: major 1 */
  void *data;             /*  8: base address of the storage */
  uint64_t byte_offset;   /* 16: multiple of the element size */
  const int64_t *shape;   /* 24: rank extents */
  const int64_t *strides; /* 32: rank strides, in elements */
  uint32_t rank;          /* 40: 0..64 */
  uint32_t dtype;         /* 44: VREL_DTYPE_* */
  uint32_t device_type;   /* 48: VREL_DEVICE_* */
  int32_t device_index;   /* 52: nonnegative; 0 for the CPU */
  uint32_t flags;         /* 56: VREL_TENSOR_READ_ONLY or VREL_TENSOR_OUTPUT, not both */
  uint32_t reserved_word; /* 60: must be zero */
  uint64_t reserved[4];   /* 64: must be zero */
} VrelTensorView;

/* ExecutionContext (64 bytes): the device and, for CUDA, the stream an operation runs on. */
typedef struct VrelExecutionContext {
  uint32_t struct_size;   /*  0: at least 64 */
  uint32_t abi_version;   /*  4: major 1 */
  uint32_t device_type;   /*  8: VREL_DEVICE_* */
  int32_t device_index;   /* 12: nonnegative; 0 for the CPU */
  uint64_t stream;        /* 16: opaque CUDA stream handle; 0 for the CPU */
  uint32_t flags;         /* 24: only VREL_CONTEXT_FLAG_0 may be set */
  uint32_t reserved_word; /* 28: must be zero */
  uint64_t reserved[4];   /* 32: must be zero */
} VrelExecutionContext;

/* BufferDescriptor (64 bytes): caller scratch memory (workspace). */
typedef struct VrelBufferDescriptor {
  uint32_t struct_size;   /*  0: at least 64 */
  uint32_t abi_version;   /*  4: major 1 */
  void *data;             /*  8: start of the span; null only when capacity is 0 */
  uint64_t capacity;      /* 16: usable bytes */
  uint64_t alignment;     /* 24: nonzero power of two; data must be a multiple of it */
  uint32_t device_type;   /* 32: VREL_DEVICE_* */
  int32_t device_index;   /* 36: nonnegative; 0 for the CPU */
  uint32_t flags;         /* 40: must be zero */
  uint32_t reserved_word; /* 44: must be zero */
  uint64_t reserved[2];   /* 48: must be zero */
} VrelBufferDescriptor;

/* ------------------------------------------------------------------------------------------ */
/* Foundation exports                                                                         */
/* ------------------------------------------------------------------------------------------ */

/* Returns VREL_ABI_VERSION (0x10000). Touches no state and cannot fail. */
VREL_API uint32_t vrel_get_abi_version(void) VREL_NOEXCEPT;

/*
 * Validators: each resets the Diagnostic, checks the record in a fixed order and stops at the
 * first failure. They only read the record (never its data).
 *  vrel_validate_tensor_view: null (1), header (6), reserved (1), flag > 3 (2), both flags (1),
 *    dtype (2), device (2/1), rank > 64 (2), shape/stride pointers (1), negative extent (1),
 *    element/byte count overflow (4), strides not positive (1), not dense (2), offset overflow (4),
 *    offset not aligned to the dtype (1), null data for a nonempty view (1), null data with an
 *    offset (1), address range overflow (4): data + byte_offset, or the range's last byte, past
 *    2^64 - 1 or past 2^63 - 1 (no storage lies there; pointer offsets are signed).
 *  vrel_validate_execution_context: null (1), header (6), reserved (1), flags > 1 (2), device,
 *    CPU with a stream (1).
 *  vrel_validate_buffer: null (1), header (6), reserved (1), flags (2), device, alignment not a
 *    power of two (1), capacity without data (1), misaligned data (1).
 */
VREL_API VrelStatus vrel_validate_tensor_view(const VrelTensorView *view,
                                                                    VrelDiagnostic *diag) VREL_NOEXCEPT;
VREL_API VrelStatus vrel_validate_execution_context(
    const VrelExecutionContext *context, VrelDiagnostic *diag) VREL_NOEXCEPT;
VREL_API VrelStatus vrel_validate_buffer(const VrelBufferDescriptor *buffer,
                                                               VrelDiagnostic *diag) VREL_NOEXCEPT;

/* ------------------------------------------------------------------------------------------ */
/* Capability report                                                                          */
/* ------------------------------------------------------------------------------------------ */

#define VREL_CAPABILITY_INTEGER 1u
#define VREL_CAPABILITY_STRING 3u
#define VREL_CAPABILITY_BOOLEAN 4u

/* Categories of the capability records. */
#define VREL_CAPABILITY_CATEGORY_BUILD 1u   /* what this build of the core is and accepts */
#define VREL_CAPABILITY_CATEGORY_BACKEND 4u /* which backends the core itself executes */
#define VREL_CAPABILITY_CATEGORY_INPUT 7u   /* how geometry input is parsed */
#define VREL_CAPABILITY_CATEGORY_PROBE 16u  /* the outcome of a provider probe */

/*
 * Keys of the twelve core records, in report order:
 *   1 ABI version (integer 0x10000)         2 library version (string "0.2.0")
 *   3 maximum tensor rank (integer 64)      4 operating system (string "linux")
 *   5 processor (string, e.g. "x86_64")     6 compiler (string, e.g. "gcc-12")
 *   7 byte order (string "little")          8 CPU backend present (boolean 1)
 *   9 CUDA backend built into the core (boolean 0; CUDA comes only from the provider plug-in)
 *  10 highest bit a signed 64-bit extent or count may set (integer 62)
 *  11 device types a descriptor may name, CPU and CUDA (integer 2)
 *  12 significant decimal digits the PLY ASCII parser keeps exactly (integer 19)
 * A probe adds three records of category VREL_CAPABILITY_CATEGORY_PROBE after the core's and
 * before the plug-in's: key 1 the probe state (integer: 0 not found, 1 failed, 2 loaded), key 2
 * the path it tried (string), key 3 its status text (string, e.g. "loaded", "not found",
 * "incompatible: unsupported CUDA plugin ABI version").
 */
#define VREL_CAPABILITY_KEY_ABI_VERSION 1u
#define VREL_CAPABILITY_KEY_LIBRARY_VERSION 2u
#define VREL_CAPABILITY_KEY_MAX_RANK 3u
#define VREL_CAPABILITY_KEY_OS 4u
#define VREL_CAPABILITY_KEY_PROCESSOR 5u
#define VREL_CAPABILITY_KEY_COMPILER 6u
#define VREL_CAPABILITY_KEY_BYTE_ORDER 7u
#define VREL_CAPABILITY_KEY_CPU_BACKEND 8u
#define VREL_CAPABILITY_KEY_CORE_CUDA_BACKEND 9u
#define VREL_CAPABILITY_KEY_COUNT_BITS 10u
#define VREL_CAPABILITY_KEY_DEVICE_TYPES 11u
#define VREL_CAPABILITY_KEY_PLY_DIGITS 12u
#define VREL_CAPABILITY_PROBE_KEY_STATE 1u
#define VREL_CAPABILITY_PROBE_KEY_PATH 2u
#define VREL_CAPABILITY_PROBE_KEY_STATUS 3u

#define VREL_PROBE_STATE_NOT_FOUND 0u
#define VREL_PROBE_STATE_FAILED 1u
#define VREL_PROBE_STATE_LOADED 2u

/* Probe flags: bit 0 is required (full probe); bit 1 is passed to the plug-in. */
#define VREL_PROBE_FULL 1u
#define VREL_PROBE_PLUGIN_FLAG 2u

/* One capability (96 bytes). */
typedef struct VrelCapabilityRecord {
  uint32_t struct_size; /*  0: 96 */
  uint32_t abi_version; /*  4: 0x10000 */
  uint32_t category;    /*  8 */
  uint32_t zero0;       /* 12 */
  uint32_t key;         /* 16 */
  uint32_t value_type;  /* 20: VREL_CAPABILITY_INTEGER, _STRING or _BOOLEAN */
  uint32_t zero1;       /* 24 */
  uint32_t zero2;       /* 28 */
  uint64_t value;       /* 32: integer or boolean; 0 for strings */
  uint64_t value2;      /* 40: second value word; 0 in the core's records */
  const char *text;     /* 48: strings: the copy in the caller's pool */
  uint64_t text_size;   /* 56: strings: length + 1 */
  uint8_t zero3[32];    /* 64 */
} VrelCapabilityRecord;

/* Caller-owned report (112 bytes), filled with the two-call sizing pattern. */
typedef struct VrelCapabilityReport {
  uint32_t struct_size;          /*  0: at least 112 */
  uint32_t abi_version;          /*  4: major 1 */
  VrelCapabilityRecord *records; /*  8: may be null only when record_capacity is 0 */
  uint64_t record_capacity;      /* 16 */
  uint64_t record_count;         /* 24: written: records stored (0 until success) */
  uint64_t records_required;     /* 32: written */
  char *strings;                 /* 40: string pool; null only when string_capacity is 0 */
  uint64_t string_capacity;      /* 48 */
  char *strings_end;             /* 56: written: end of the used pool (null until success) */
  uint64_t strings_required;     /* 64: written */
  uint32_t probe_flags;          /* 72: written: the flags passed (0 for a query) */
  uint32_t status_flags;         /* 76: written: 1 for a query; probe: plug-in bits | 3 */
  uint64_t reserved[4];          /* 80: must be zero */
} VrelCapabilityReport;

/*
 * Describes this build of the core: twelve records. With buffers too small the required counts
 * are written and status 3 "capability report buffers are too small" is returned. Statuses: 1
 * (null report, reserved fields, capacity without buffer), 6 (report header), 3.
 */
VREL_API VrelStatus vrel_capabilities_query(VrelCapabilityReport *report,
                                                                  VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * As the query, and also runs a fresh discovery of the CUDA provider (load, handshake,
 * capability call, unload): the three probe records and the plug-in's own records follow the
 * core's. flags must be below 4 (else 2, tested first) and include VREL_PROBE_FULL (else 1).
 * The plug-in fills its records directly in the rest of the caller's arrays; a plug-in status
 * other than 0 (or 3 when sizing) is returned as it is, and a filled report that claims more
 * records than it was given room for, or a string record whose text does not lie NUL-terminated
 * in the used pool, gives 6 "the CUDA provider reported capability records outside the report
 * buffers" (the plug-in is unloaded before the probe returns, so its own memory cannot be kept).
 */
VREL_API VrelStatus vrel_capabilities_probe(uint32_t flags,
                                                                  VrelCapabilityReport *report,
                                                                  VrelDiagnostic *diag) VREL_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

/* The operator families. Each header documents its exports. */
#include "vrel/animation.h"
#include "vrel/image.h"
#include "vrel/io.h"
#include "vrel/mesh.h"
#include "vrel/opaque.h"
#include "vrel/points.h"
#include "vrel/render.h"
#include "vrel/shading.h"
#include "vrel/texture.h"
#include "vrel/transforms.h"

#endif /* VREL_VREL_H */
