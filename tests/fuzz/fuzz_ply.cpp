// libFuzzer target: arbitrary bytes into the PLY probe and read.
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/ply_exercise.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (const char* broken = vrel::fuzz::exercise_ply(reinterpret_cast<const char*>(data), size)) {
    std::fprintf(stderr, "invariant broken: %s\n", broken);
    std::abort();
  }
  return 0;
}
