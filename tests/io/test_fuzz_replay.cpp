// Replays the fuzz seeds and every kept crasher through the fuzz target's invariants, so the
// regular (and sanitizer) test runs cover what the fuzzer once found.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/fuzz/ply_exercise.hpp"

namespace {

TEST(PlyFuzzReplay, SeedsAndCrashersKeepTheInvariants) {
  int replayed = 0;
  for (const char* folder : {"corpus", "crashers"}) {
    const std::filesystem::path dir = std::filesystem::path(VREL_FUZZ_DIR) / folder;
    if (!std::filesystem::exists(dir)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
      const char* broken = vrel::fuzz::exercise_ply(bytes.data(), bytes.size());
      EXPECT_EQ(broken, nullptr) << entry.path() << ": " << (broken ? broken : "");
      ++replayed;
    }
  }
  EXPECT_GE(replayed, 7) << "the seed corpus is missing";
}

}  // namespace
