/* vrel ABI v1: the image family. Included by vrel/vrel.h; include that header instead.
 *
 * Gaussian filter weights and the sRGB transfer, with their vector-Jacobian products. Both
 * compute in float64 for float32 and float64 tensors, with the core's own exponential and
 * rational powers (no C library mathematics), so every platform gives the same bits. Tensors
 * are dense (vrel_validate_tensor_view) and must live on the context's device.
 *
 * Per-view rules (status 1 unless the validator's own): vrel_validate_tensor_view; a dtype other
 * than float32/float64 ("image channels must be float32 or float64"); a device type or index
 * other than the context's ("image tensor device mismatch"); an input carrying
 * VREL_TENSOR_OUTPUT or an output lacking it ("image input/output flags invalid"); a view that
 * must follow another with another rank or dtype ("image tensor rank or dtype mismatch") or
 * other extents ("image tensor shape mismatch").
 *
 * Every export first resets the Diagnostic and validates the context (the Gaussian exports check
 * their radius in between); a device other than the CPU or CUDA is status 2 "image transfer
 * supports CPU or CUDA". On CUDA the workspace
 * requirement is the provider's answer (workspace-query entry, operation ids 19 transfer with
 * counts [element count] and 20 Gaussian weights with counts [N, radius]); no provider is
 * status 2 "no CUDA provider is available to report a device workspace requirement", a table
 * without the family's entries or the query entry status 2 "CUDA provider lacks image transfer
 * family" / "CUDA provider lacks Gaussian weights family". After every check the request is
 * forwarded unchanged to the provider's entry; the core reads no CUDA data.
 *
 * On the CPU neither operation needs scratch (the queries answer 0 bytes at alignment 1); a
 * workspace given anyway is validated and must be CPU storage.
 */
#ifndef VREL_IMAGE_H
#define VREL_IMAGE_H
#ifndef VREL_VREL_H
#error "include vrel/vrel.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Transfer modes. */
#define VREL_IMAGE_SRGB_TO_LINEAR 0u
#define VREL_IMAGE_LINEAR_TO_SRGB 1u

/* Largest Gaussian radius: 2 * 32 + 1 = 65 taps. */
#define VREL_IMAGE_MAX_GAUSSIAN_RADIUS 32

/* ------------------------------------------------------------------------------------------ */
/* Gaussian weights                                                                           */
/* ------------------------------------------------------------------------------------------ */

/*
 * The normalised 1-D Gaussian taps of radius r (n = 2r + 1 taps) for each standard deviation
 * s: tap k holds w(k - r) = u(k - r) / S with u(i) = exp(-(i/s)^2 / 2) and S the sum of the n
 * values u, taken as a pairwise tree (adjacent pairs added, an odd last value carried, repeated
 * until one value remains). The weights are symmetric bit for bit and sum to 1 within rounding;
 * far taps of a narrow Gaussian underflow gradually to 0. Weights are rounded once to the dtype.
 *
 *   sigma    input, float32 or float64, rank 0 or [N]; every value finite in [0.1, 32] (for
 *            float32 the float32 nearest 0.1)
 *   radius   r in [0, 32]
 *   weights  output, sigma's dtype, [n] or [N, n]
 *   workspace  none needed on the CPU (may be null)
 *
 * Checks in order after the Diagnostic reset (status 1 unless stated): radius outside [0, 32]
 * ("Gaussian radius or gradient descriptor invalid"); the context; sigma's view rules; sigma of
 * rank 2 or more
 * ("Gaussian sigma must be scalar or rank one"); the weights' view rules; weights not
 * [sigma sizes..., n] of sigma's dtype ("Gaussian tap tensor shape or dtype mismatch"); a given
 * workspace fails vrel_validate_buffer (its status), is on another device ("Gaussian workspace
 * device mismatch"), smaller than required (3, "Gaussian workspace too small"), misaligned
 * ("Gaussian workspace alignment invalid") or overlapping a tensor ("Gaussian workspace aliases
 * tensor storage"); no workspace although bytes are required (3, "Gaussian requires
 * caller-owned workspace"); weights overlapping sigma ("Gaussian output aliases input"); CUDA:
 * forwarded; a sigma value non-finite or outside the range ("Gaussian sigma outside represented
 * [.1,32]").
 */
VREL_API VrelStatus
vrel_image_gaussian_weights(const VrelTensorView *sigma, int64_t radius,
                            const VrelExecutionContext *context, const VrelTensorView *weights,
                            const VrelBufferDescriptor *workspace, VrelDiagnostic *diag)
    VREL_NOEXCEPT;

/*
 * Vector-Jacobian product in sigma: grad_sigma = sum over k of grad_weights[k] * dw_k/ds with
 * dw_k/ds = w_k (q_k - M), q_k = (k - r)^2 / s^3 and M the pairwise sum of w_k q_k (exactly 0
 * where q_k - M is 0). The derivatives are rounded to the dtype, and the products and their
 * pairwise sum are formed in the dtype.
 *
 *   sigma         input, as for the forward
 *   grad_weights  input, sigma's dtype, [sigma sizes..., n], finite
 *   radius        r in [0, 32]
 *   grad_sigma    output, sigma's dtype and sizes
 *
 * Checks as the forward; a null grad_weights fails with the radius sentence, grad_sigma follows
 * the view rules and sigma's rank, dtype and extents, the alias rule covers both inputs, and
 * on the CPU a non-finite grad_weights value is status 1 "image floating inputs must be
 * finite". A non-finite product is status 4 "Gaussian VJP product overflow", a non-finite sum
 * status 4 "Gaussian VJP sum overflow" (earlier sigma values are written then).
 */
VREL_API VrelStatus vrel_image_gaussian_weights_backward(
    const VrelTensorView *sigma, const VrelTensorView *grad_weights, int64_t radius,
    const VrelExecutionContext *context, const VrelTensorView *grad_sigma,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Workspace of the Gaussian operations for N sigma values of `dtype` and radius r. After the
 * context: N negative, r outside [0, 32] or a null result pointer, status 1 "Gaussian workspace
 * batch/radius/results invalid"; a dtype other than float32/float64, status 1 "Gaussian
 * requires float32 or float64"; N * n above 2^63 - 1, status 4 "Gaussian tap count overflow";
 * their byte count above 2^64 - 1, status 4 "Gaussian byte count overflow". CPU: 0 bytes,
 * alignment 1. CUDA: the provider's answer.
 */
VREL_API VrelStatus vrel_image_gaussian_weights_workspace(
    int64_t sigma_count, uint32_t dtype, int64_t radius, const VrelExecutionContext *context,
    uint64_t *bytes, uint64_t *alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

/* ------------------------------------------------------------------------------------------ */
/* sRGB transfer                                                                              */
/* ------------------------------------------------------------------------------------------ */

/*
 * Elementwise transfer, in float64:
 *   mode 0, sRGB to linear: x <= 0.04045: y = x / 12.92; else y = ((x + 0.055) / 1.055)^(12/5)
 *   mode 1, linear to sRGB: x <= 0.0031308: y = 12.92 x; else y = 1.055 x^(5/12) - 0.055
 * Float32 data compare with the float32 roundings of the thresholds and get y rounded once to
 * float32. Each value is within about one unit in the last place of the exact formula.
 *
 *   input    input, float32 or float64, any shape, finite
 *   mode     0 or 1
 *   output   output, input's dtype and sizes
 *   workspace  none needed on the CPU (may be null)
 *
 * Checks in order after the context (status 1 unless stated): mode not 0 or 1 ("unknown image
 * transfer mode"); the input's view rules; the output's view rules and the input's rank, dtype
 * and extents; the workspace ("image workspace device mismatch", 3 "image workspace too small",
 * "image workspace alignment invalid", "image workspace aliases tensor storage", 3 "image CUDA
 * requires caller-owned workspace"); output overlapping input ("image output aliases input");
 * CUDA: forwarded (a table without the entry: 2 "CUDA image transfer unavailable"); a
 * non-finite input ("image floating inputs must be finite"). A value not representable in the
 * dtype (mode 0 beyond about 2^426.7, mode 1 below about -1.39e307, or float32 overflow) is
 * status 4 "image transfer arithmetic is not representable"; the elements before it are written.
 */
VREL_API VrelStatus vrel_image_transfer(const VrelTensorView *input,
                                                              uint32_t mode,
                                                              const VrelExecutionContext *context,
                                                              const VrelTensorView *output,
                                                              const VrelBufferDescriptor *workspace,
                                                              VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Vector-Jacobian product: grad_input = grad_output * dy/dx with
 *   mode 0: 1/12.92 on the linear segment, 2.4/1.055 * c^(7/5) on the power segment
 *   mode 1: 12.92 on the linear segment, 0.4395833333333333 * x^(-7/12) on the power segment
 * The slope is rounded to the dtype and the product formed in the dtype.
 *
 *   input        input, as for the forward
 *   grad_output  input, input's dtype and sizes, finite; null is status 1 "image backward
 *                requires gradient descriptor"
 *   grad_input   output, input's dtype and sizes
 *
 * Checks as the forward, grad_input before grad_output (CUDA: "CUDA image transfer backward
 * unavailable"). A non-finite y, slope or product is status 4 "image transfer arithmetic is not
 * representable"; the elements before it are written.
 */
VREL_API VrelStatus vrel_image_transfer_backward(
    const VrelTensorView *input, const VrelTensorView *grad_output, uint32_t mode,
    const VrelExecutionContext *context, const VrelTensorView *grad_input,
    const VrelBufferDescriptor *workspace, VrelDiagnostic *diag) VREL_NOEXCEPT;

/*
 * Workspace of the transfer for `element_count` elements of `dtype`. After the context: a
 * negative count or a null result pointer, status 1 "image workspace count/results invalid"; a
 * dtype other than float32/float64, status 2 "image transfer requires float32 or float64"; a
 * byte count above 2^64 - 1, status 4 "image element byte count overflow". CPU: 0 bytes,
 * alignment 1. CUDA: the provider's answer.
 */
VREL_API VrelStatus vrel_image_transfer_workspace(
    int64_t element_count, uint32_t dtype, const VrelExecutionContext *context, uint64_t *bytes,
    uint64_t *alignment, VrelDiagnostic *diag) VREL_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* VREL_IMAGE_H */
