// What the recording test provider exposes to the tests (resolved with dlsym from the loaded
// plug-in). Every operation entry records the call and returns the configured status.
#pragma once

#include <cstdint>

namespace vrel::test {

// One recorded call: the entry's table offset, its integer and pointer arguments in order (the
// first twelve), and its floating arguments in order (the first four).
struct RecordedCall {
  uint64_t offset;
  uint64_t words[12];
  double reals[4];
};

// Environment variables read by the test provider at handshake:
//   VREL_TEST_PROVIDER_MODE: good (default), reject, abi10001, flags1, small_table, reserved,
//     no_identity, no_table, old_struct, cap_fails, cap_fails_later
//   VREL_TEST_PROVIDER_STATUS: status every entry returns (default 77)
//   VREL_TEST_PROVIDER_NULL: comma-separated entry names (face_geometry, ...) left null
//   VREL_TEST_PROVIDER_ENDS_BEFORE: an entry name; the size word ends the table where that entry
//     begins (default: the whole table)
//   VREL_TEST_PROVIDER_DELAY_MS: sleep inside the handshake (for the concurrency test)
using LastCallFn = const RecordedCall* (*)();
using CallCountFn = uint64_t (*)();
using HandshakeCountFn = uint64_t (*)();
using TableFn = const void* (*)();

}  // namespace vrel::test
