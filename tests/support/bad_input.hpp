// The bad-input helper: calls an export with each required pointer set to null and with each
// descriptor's (and capability report's) header and reserved fields broken in turn, and checks
// that every such call fails with a message and changes neither a watched output byte nor the
// broken record. It ends with the valid call, which must succeed.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "tests/support/views.hpp"

namespace vrel::test {

// Caller memory that no failing call may change (outputs, gradients, result records).
struct Region {
  void* data;
  std::size_t size;
};

struct BadInputPlan {
  std::vector<Region> outputs;
  // Argument index -> the status the export documents when that pointer is null.
  std::map<std::size_t, VrelStatus> optional;
  // Argument indices whose descriptor the call ignores (for example an unused workspace): their
  // broken headers are not expected to fail.
  std::set<std::size_t> ignored;
  // The status of the unchanged arguments (normally success).
  VrelStatus valid_status = VREL_STATUS_OK;
};

namespace detail {

constexpr unsigned char kSentinel = 0xA5;

inline void fill(const std::vector<Region>& regions) {
  for (const Region& r : regions) std::memset(r.data, kSentinel, r.size);
}

inline bool untouched(const std::vector<Region>& regions) {
  for (const Region& r : regions) {
    const auto* p = static_cast<const unsigned char*>(r.data);
    for (std::size_t i = 0; i < r.size; ++i)
      if (p[i] != kSentinel) return false;
  }
  return true;
}

template <typename T>
using Pointee = std::remove_cv_t<std::remove_pointer_t<T>>;

// Versioned records whose header and reserved words every export checks before using them.
template <typename T>
constexpr bool kIsDescriptor = std::is_same_v<Pointee<T>, VrelTensorView> ||
                               std::is_same_v<Pointee<T>, VrelExecutionContext> ||
                               std::is_same_v<Pointee<T>, VrelBufferDescriptor> ||
                               std::is_same_v<Pointee<T>, VrelCapabilityReport>;

template <typename T>
constexpr bool kIsDiag = std::is_same_v<std::remove_cv_t<T>, VrelDiagnostic*>;

template <typename... Args>
constexpr bool kHasDiag = (kIsDiag<Args> || ...);

template <typename T>
void assign_if_diag(T& argument, VrelDiagnostic* diag) {
  if constexpr (kIsDiag<T>) argument = diag;
}

template <typename Tuple>
void use_diag(Tuple& arguments, VrelDiagnostic* diag) {
  std::apply([diag](auto&... a) { (assign_if_diag(a, diag), ...); }, arguments);
}

// A broken record: `size` bytes on the heap (exactly what the caller built, so AddressSanitizer
// sees a read past a short record) and the status its header or reserved words must give.
struct BrokenRecord {
  std::string what;
  std::shared_ptr<unsigned char[]> bytes;
  std::size_t size;
  VrelStatus status;  // 0 when only "not OK" is known
  bool short_record = false;
};

// Every byte after the header: pointers that fault when followed, ranks, dtypes and devices far
// out of range (and never the CUDA device type, which would route a context to the provider).
constexpr unsigned char kGarbage = 0xA7;

template <typename D>
BrokenRecord make_broken(std::string what, const D& original, std::size_t size, bool garbage,
                         VrelStatus status) {
  BrokenRecord r{std::move(what), std::shared_ptr<unsigned char[]>(new unsigned char[size]), size,
                 status};
  std::memcpy(r.bytes.get(), &original, std::min(size, sizeof(D)));
  if (garbage) std::memset(r.bytes.get() + 8, kGarbage, size - 8);
  return r;
}

// The ways to break a versioned descriptor: a short record (one byte short, and only its 40 first
// bytes), another major version, both with garbage in every other field so that a check reading
// any field before the header shows; then a reserved word set.
template <typename D>
std::vector<BrokenRecord> broken_copies(const D& original) {
  constexpr bool kView = std::is_same_v<D, VrelTensorView>;
  // Views, contexts and reports give the header check's status. A workspace's capacity may be
  // judged first (status 3) and a family may fold a malformed workspace into its own sentence:
  // for a workspace only the refusal is known.
  constexpr VrelStatus kHeader =
      std::is_same_v<D, VrelBufferDescriptor> ? VrelStatus{0} : VREL_STATUS_ABI_MISMATCH;
  std::vector<BrokenRecord> out;
  D d = original;
  d.struct_size = static_cast<uint32_t>(sizeof(D) - 1);
  out.push_back(make_broken("struct_size below the ABI v1 size", d, sizeof(D) - 1, true, kHeader));
  if constexpr (kView) {
    d.struct_size = 40;
    out.push_back(make_broken("a 40-byte record", d, 40, true, kHeader));
  }
  for (BrokenRecord& r : out) r.short_record = true;
  d = original;
  d.abi_version = 0x20000;
  out.push_back(make_broken("abi_version 2.0", d, sizeof(D), true, kHeader));
  if constexpr (requires { d.reserved_word; }) {
    d = original;
    d.reserved_word = 1;
    out.push_back(make_broken("reserved_word set", d, sizeof(D), false, VrelStatus{0}));
  }
  d = original;
  d.reserved[0] = 1;
  out.push_back(make_broken("reserved[0] set", d, sizeof(D), false, VrelStatus{0}));
  return out;
}

}  // namespace detail

// `own_size_rule`: argument indices of views whose short record the export refuses by a size rule
// of its own (status 1) rather than with the validator's 6.
template <typename Fn, typename... Args>
void check_bad_inputs(const char* name, Fn fn, std::tuple<Args...> args, const BadInputPlan& plan,
                      const std::set<std::size_t>& own_size_rule = {}) {
  constexpr std::size_t kCount = sizeof...(Args);

  // Calls the export with `trial` and our own Diagnostic in place of the caller's.
  auto call = [&](std::tuple<Args...> trial, Diag& diag) {
    detail::use_diag(trial, diag.get());
    return std::apply(fn, trial);
  };

  auto expect_failure = [&](const std::string& what, std::tuple<Args...> trial,
                            VrelStatus expected = VrelStatus{0}) {
    detail::fill(plan.outputs);
    Diag diag;
    const VrelStatus status = call(trial, diag);
    EXPECT_NE(status, VREL_STATUS_OK) << name << ": " << what << " was accepted";
    if (expected != 0) {
      EXPECT_EQ(status, expected) << name << ": " << what << ": " << diag.text();
    }
    if (detail::kHasDiag<Args...>) {
      EXPECT_FALSE(diag.text().empty()) << name << ": " << what << " gave no message";
    }
    EXPECT_TRUE(detail::untouched(plan.outputs)) << name << ": " << what << " wrote an output";
  };

  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (([&] {
       using T = std::tuple_element_t<I, std::tuple<Args...>>;
       if constexpr (std::is_pointer_v<T>) {
         const std::string label = "argument " + std::to_string(I);
         if constexpr (detail::kIsDiag<T>) {
           // A null Diagnostic is always allowed: the unchanged call must still give its status.
           detail::fill(plan.outputs);
           auto trial = args;
           std::get<I>(trial) = nullptr;
           EXPECT_EQ(std::apply(fn, trial), plan.valid_status) << name << ": null Diagnostic";
           // A Diagnostic with a bad header or reserved word is refused before anything else.
           for (int k = 0; k < 3; ++k) {
             Diag bad;
             if (k == 0) bad->struct_size = 63;
             if (k == 1) bad->abi_version = 0x20000;
             if (k == 2) bad->reserved[3] = 1;
             const VrelDiagnostic before = *bad.get();
             auto broken = args;
             std::get<I>(broken) = bad.get();
             detail::fill(plan.outputs);
             const VrelStatus st = std::apply(fn, broken);
             EXPECT_EQ(st, k == 2 ? VREL_STATUS_INVALID_ARGUMENT : VREL_STATUS_ABI_MISMATCH)
                 << name << ": broken Diagnostic " << k;
             EXPECT_EQ(std::memcmp(&before, bad.get(), sizeof before), 0)
                 << name << ": a broken Diagnostic was written";
             EXPECT_TRUE(detail::untouched(plan.outputs)) << name << ": broken Diagnostic wrote";
           }
         } else {
           if (std::get<I>(args) != nullptr) {
             auto trial = args;
             std::get<I>(trial) = nullptr;
             if (auto it = plan.optional.find(I); it != plan.optional.end()) {
               detail::fill(plan.outputs);
               Diag diag;
               EXPECT_EQ(call(trial, diag), it->second) << name << ": null " << label;
             } else {
               expect_failure("null " + label, trial);
             }
           }
           if constexpr (detail::kIsDescriptor<T>) {
             if (std::get<I>(args) != nullptr && !plan.ignored.count(I)) {
               using D = detail::Pointee<T>;
               for (const detail::BrokenRecord& r : detail::broken_copies<D>(*std::get<I>(args))) {
                 const std::vector<unsigned char> copy(r.bytes.get(), r.bytes.get() + r.size);
                 auto trial = args;
                 std::get<I>(trial) = reinterpret_cast<D*>(r.bytes.get());
                 const bool own = r.short_record && own_size_rule.count(I) != 0;
                 expect_failure(label + " " + r.what, trial,
                                own ? VREL_STATUS_INVALID_ARGUMENT : r.status);
                 // A refused record is left as the caller built it.
                 EXPECT_EQ(std::memcmp(r.bytes.get(), copy.data(), r.size), 0)
                     << name << ": " << label << " " << r.what << " was written";
               }
             }
           }
         }
       }
     }()),
     ...);
  }(std::make_index_sequence<kCount>{});

  Diag diag;
  const VrelStatus status = call(args, diag);
  EXPECT_EQ(status, plan.valid_status) << name << ": the valid call failed: " << diag.text();
}

}  // namespace vrel::test
