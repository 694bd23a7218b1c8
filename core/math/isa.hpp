// Instruction-set builds of a kernel. A kernel compiled once per build runs the same source with
// the same operations in the same order, and none fuses a multiply and an add, so every build
// gives identical results; the widest one the processor offers is used.
#pragma once

namespace vrel::math {

enum class Isa { kBaseline, kAvx2, kAvx512 };

inline bool isa_supported(Isa isa) noexcept {
  switch (isa) {
    case Isa::kAvx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
    case Isa::kAvx2: return __builtin_cpu_supports("avx2");
    case Isa::kBaseline: return true;
  }
  return false;
}

inline Isa best_isa() noexcept {
  return isa_supported(Isa::kAvx512) ? Isa::kAvx512
         : isa_supported(Isa::kAvx2) ? Isa::kAvx2
                                     : Isa::kBaseline;
}

}  // namespace vrel::math

// Function attributes of the wider builds: their instruction sets, and no contraction of a
// multiply and an add into one rounding.
#define VREL_ISA_AVX512 \
  gnu::target("avx512f,avx512vl,avx512dq,avx512bw"), gnu::optimize("fp-contract=off")
#define VREL_ISA_AVX2 gnu::target("avx2"), gnu::optimize("fp-contract=off")
