// The instruction-set builds of the proximity searches (see math/isa.hpp): each gives identical
// results; the widest one the processor offers is used.
#pragma once

#include "math/isa.hpp"

namespace vrel::points {

using math::best_isa;
using math::Isa;
using math::isa_supported;

}  // namespace vrel::points

#define VREL_POINTS_AVX512 VREL_ISA_AVX512
#define VREL_POINTS_AVX2 VREL_ISA_AVX2
