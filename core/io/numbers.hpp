// The ASCII number grammar of PLY bodies and headers: signed 64-bit decimal integers and decimal
// reals with a fixed, reproducible conversion.
#pragma once

#include <cstdint>

namespace vrel::io {

enum class NumberStatus {
  kOk,
  kMalformed,   // not a number of the grammar (stray character, no digit, bad exponent)
  kOutOfRange,  // integer beyond signed 64 bits, or a real that is NaN or above 1.7e308
};

// Parses exactly [begin, end): optional '+' or '-', then one or more decimal digits.
NumberStatus parse_int64(const char* begin, const char* end, int64_t* value) noexcept;

// Parses exactly [begin, end): optional sign; digits with at most one '.', at least one digit;
// optional exponent 'e'/'E' with optional sign and a value in [-4096, 4096].
//
// Up to 19 significant digits are accumulated exactly in a 64-bit mantissa; later integer digits
// only raise the decimal exponent and later fraction digits are dropped. The result is the double
// nearest mantissa * 10^exponent (ties to even): a mantissa below 2^53 with an exponent within
// +-22 is scaled by an exact power of ten (one rounding); otherwise an extended-precision estimate
// (powers built by repeated squaring) is checked, and if need be corrected, by exact integer
// comparison with the midpoints to its neighbours. A zero mantissa gives a signed zero whatever
// the exponent. A magnitude above 1.7e308 is out of range.
NumberStatus parse_decimal(const char* begin, const char* end, double* value) noexcept;

}  // namespace vrel::io
