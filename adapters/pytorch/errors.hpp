// The two error formats of the _torch adapter. Both are standard runtime errors, which PyTorch
// turns into Python RuntimeError:
//   status error:   "vrel-status:<code>: <diagnostic message>"
//   internal error: "vrel-internal: <sentence>"
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vrel::adapter {

inline constexpr const char *kNoDiagnostic = "the operation reported no diagnostic";

// The status error's text: the code printed as an unsigned number, then the message, or a fixed
// sentence when the core left the message empty.
inline std::string status_text(std::int32_t code, const char *message) {
  std::string text = "vrel-status:";
  text += std::to_string(static_cast<std::uint32_t>(code));
  text += ": ";
  text += (message != nullptr && message[0] != '\0') ? message : kNoDiagnostic;
  return text;
}

[[noreturn]] inline void status_error(std::int32_t code, const char *message) {
  throw std::runtime_error(status_text(code, message));
}

[[noreturn]] inline void internal_error(const char *sentence) {
  throw std::runtime_error(std::string("vrel-internal: ") + sentence);
}

// An adapter check that raises the internal error when it fails.
inline void require(bool condition, const char *sentence) {
  if (!condition) internal_error(sentence);
}

}  // namespace vrel::adapter
