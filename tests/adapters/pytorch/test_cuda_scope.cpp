// The CUDA context scope against a fake driver that keeps a per-thread context stack, and the
// one-time current-stream lookup.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cuda_scope.hpp"

namespace vrel::adapter {
namespace {

// A fake driver: one thread's context stack, one device (ordinal 0) whose primary context is
// kPrimary, and knobs that make single calls fail.
struct FakeDriver {
  static inline std::vector<void *> stack;
  static inline void *owner_of_data = nullptr;
  static inline int primary_active = 1;
  static inline int retained = 0;
  static inline bool fail_pop = false;
  static inline bool pop_returns_other = false;
  static inline bool fail_push = false;
  static inline int context_device = 0;

  static void reset() {
    stack.clear();
    owner_of_data = nullptr;
    primary_active = 1;
    retained = 0;
    fail_pop = pop_returns_other = fail_push = false;
    context_device = 0;
  }
  static void *current() { return stack.empty() ? nullptr : stack.back(); }

  static DriverTable table() {
    DriverTable t;
    t.pointer_get_attribute = [](void *data, int attribute, std::uint64_t) {
      if (attribute != 1) return 1;
      *static_cast<void **>(data) = owner_of_data;
      return 0;
    };
    t.ctx_get_current = [](void **c) {
      *c = current();
      return 0;
    };
    t.device_get = [](int *device, int ordinal) {
      if (ordinal != 0) return 101;  // CUDA_ERROR_INVALID_DEVICE
      *device = 0;
      return 0;
    };
    t.ctx_get_device = [](int *device) {
      *device = context_device;
      return 0;
    };
    t.ctx_push_current = [](void *c) {
      if (fail_push) return 1;
      stack.push_back(c);
      return 0;
    };
    t.ctx_pop_current = [](void **c) {
      if (fail_pop || stack.empty()) return 1;
      *c = pop_returns_other ? reinterpret_cast<void *>(0xdead) : stack.back();
      stack.pop_back();
      return 0;
    };
    t.ctx_set_current = [](void *c) {
      if (c == nullptr) {
        stack.clear();
      } else if (stack.empty()) {
        stack.push_back(c);
      } else {
        stack.back() = c;
      }
      return 0;
    };
    t.primary_ctx_get_state = [](int, unsigned *flags, int *active) {
      *flags = 0;
      *active = primary_active;
      return 0;
    };
    t.primary_ctx_retain = [](void **c, int) {
      ++retained;
      *c = kPrimary;
      return 0;
    };
    t.primary_ctx_release = [](int) {
      --retained;
      return 0;
    };
    return t;
  }
  static inline void *const kPrimary = reinterpret_cast<void *>(0x1000);
};

void *const kCallerContext = reinterpret_cast<void *>(0x2000);
void *const kOwner = reinterpret_cast<void *>(0x3000);
int storage = 0;

ScopeTensor cuda_tensor(std::int64_t count = 4, int device = 0) {
  return ScopeTensor{true, count, count ? &storage : nullptr, device};
}

std::string entry_error(CudaContextScope &scope, const ScopeTensor &tensor) {
  try {
    scope.enter(tensor);
  } catch (const std::runtime_error &error) {
    return error.what();
  }
  return "";
}

class ScopeTest : public ::testing::Test {
 protected:
  void SetUp() override { FakeDriver::reset(); }
  DriverTable driver = FakeDriver::table();
};

TEST_F(ScopeTest, CpuTensorsMakeTheScopeInert) {
  DriverTable empty;  // not even a driver: an inert scope must not call it
  CudaContextScope scope(empty);
  scope.enter(ScopeTensor{});
  EXPECT_EQ(scope.leave(), nullptr);
}

TEST_F(ScopeTest, PushesTheOwnerAndRestoresThePreviousContext) {
  FakeDriver::owner_of_data = kOwner;
  for (void *previous : {kCallerContext, static_cast<void *>(nullptr)}) {
    FakeDriver::stack.clear();
    if (previous) FakeDriver::stack.push_back(previous);
    {
      CudaContextScope scope(driver);
      scope.enter(cuda_tensor());
      EXPECT_EQ(FakeDriver::current(), kOwner);
      EXPECT_EQ(scope.leave(), nullptr);
      EXPECT_EQ(FakeDriver::current(), previous);
      EXPECT_EQ(scope.leave(), nullptr);  // a second leave changes nothing
    }
    EXPECT_EQ(FakeDriver::current(), previous);
  }
}

TEST_F(ScopeTest, TheDestructorRestoresWhenTheCallThrows) {
  FakeDriver::owner_of_data = kOwner;
  FakeDriver::stack.push_back(kCallerContext);
  try {
    CudaContextScope scope(driver);
    scope.enter(cuda_tensor());
    throw std::runtime_error("core failure");
  } catch (const std::runtime_error &) {
  }
  EXPECT_EQ(FakeDriver::stack, std::vector<void *>{kCallerContext});
}

TEST_F(ScopeTest, EmptyTensorsUseAnActivePrimaryContextAndReleaseIt) {
  {
    CudaContextScope scope(driver);
    scope.enter(cuda_tensor(0));
    EXPECT_EQ(FakeDriver::current(), FakeDriver::kPrimary);
    EXPECT_EQ(FakeDriver::retained, 1);
    EXPECT_EQ(scope.leave(), nullptr);
  }
  EXPECT_EQ(FakeDriver::retained, 0);
  EXPECT_EQ(FakeDriver::current(), nullptr);

  FakeDriver::primary_active = 0;
  FakeDriver::stack.push_back(kCallerContext);
  CudaContextScope inactive(driver);
  EXPECT_EQ(entry_error(inactive, cuda_tensor(0)),
            "empty CUDA tensor requires an already-active primary context");
  EXPECT_EQ(FakeDriver::stack, std::vector<void *>{kCallerContext});
  EXPECT_EQ(FakeDriver::retained, 0);
}

TEST_F(ScopeTest, EntryFailuresNameTheirStepAndLeaveNothingBehind) {
  {
    DriverTable missing = driver;
    missing.pointer_get_attribute = nullptr;
    CudaContextScope scope(missing);
    EXPECT_EQ(entry_error(scope, cuda_tensor()), "CUDA context scope driver functions unavailable");
  }
  {
    DriverTable none;
    CudaContextScope scope(none);
    EXPECT_EQ(entry_error(scope, cuda_tensor(0)),
              "CUDA context scope driver functions unavailable");
  }
  {
    CudaContextScope scope(driver);
    EXPECT_EQ(entry_error(scope, cuda_tensor(4, 1)), "CUDA context scope device is unavailable");
  }
  {
    CudaContextScope scope(driver);  // no owner known for the pointer
    EXPECT_EQ(entry_error(scope, cuda_tensor()),
              "CUDA tensor owning context is unavailable or ambiguous");
  }
  FakeDriver::owner_of_data = kOwner;
  FakeDriver::stack.push_back(kCallerContext);
  {
    FakeDriver::fail_push = true;
    CudaContextScope scope(driver);
    EXPECT_EQ(entry_error(scope, cuda_tensor()), "CUDA context scope could not push tensor owner");
    FakeDriver::fail_push = false;
  }
  {
    FakeDriver::context_device = 3;  // the pushed context belongs to another device
    CudaContextScope scope(driver);
    EXPECT_EQ(entry_error(scope, cuda_tensor()),
              "CUDA tensor owning context does not match requested device");
    FakeDriver::context_device = 0;
  }
  EXPECT_EQ(FakeDriver::stack, std::vector<void *>{kCallerContext});
}

TEST_F(ScopeTest, RestorationFailuresAreReportedAndRepaired) {
  FakeDriver::owner_of_data = kOwner;
  FakeDriver::stack.push_back(kCallerContext);
  CudaContextScope scope(driver);
  scope.enter(cuda_tensor());
  FakeDriver::pop_returns_other = true;
  EXPECT_STREQ(scope.leave(), "CUDA context scope pop failed or returned another context");
  // The fallback set the previous context back.
  EXPECT_EQ(FakeDriver::current(), kCallerContext);
  EXPECT_STREQ(scope.leave(), "CUDA context scope pop failed or returned another context");
}

TEST_F(ScopeTest, AFailedPopFallsBackToSettingThePreviousContext) {
  FakeDriver::owner_of_data = kOwner;
  FakeDriver::stack.push_back(kCallerContext);
  CudaContextScope scope(driver);
  scope.enter(cuda_tensor());
  FakeDriver::fail_pop = true;
  EXPECT_STREQ(scope.leave(), "CUDA context scope pop failed or returned another context");
  EXPECT_EQ(FakeDriver::current(), kCallerContext);
}

TEST_F(ScopeTest, ADriverThatIsNotLoadedResolvesToAnEmptyTable) {
  // This test process never loads libcuda, so every entry is null.
  const DriverTable &table = driver_table();
  EXPECT_EQ(table.ctx_get_current, nullptr);
  EXPECT_EQ(table.pointer_get_attribute, nullptr);
  CudaContextScope scope;
  EXPECT_EQ(entry_error(scope, cuda_tensor()), "CUDA context scope driver functions unavailable");
}

// --- the current-stream lookup ----------------------------------------------------------------

std::atomic<int> resolver_calls{0};

std::int32_t fake_stream(std::int32_t device, void **stream) {
  if (device != 0) return 1;
  *stream = reinterpret_cast<void *>(0x5000);
  return 0;
}

// A slow lookup: threads that arrive while it runs must wait for it, not see "no function".
CurrentStreamFunction slow_resolver() {
  ++resolver_calls;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return fake_stream;
}

CurrentStreamFunction missing_resolver() { return nullptr; }

TEST(StreamLookup, ConcurrentFirstCallsAllWaitForTheOneLookup) {
  resolver_calls = 0;
  StreamLookup lookup(slow_resolver);
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      try {
        if (current_stream(0, lookup) != 0x5000) ++refused;
      } catch (const std::runtime_error &) {
        ++refused;
      }
    });
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(refused.load(), 0);
  EXPECT_EQ(resolver_calls.load(), 1);
}

TEST(StreamLookup, MissingOrFailingFunctionsRaiseTheInternalErrors) {
  StreamLookup missing(missing_resolver);
  try {
    current_stream(0, missing);
    FAIL() << "a missing stream function must refuse the call";
  } catch (const std::runtime_error &error) {
    EXPECT_EQ(std::string(error.what()), std::string("vrel-internal: ") + kNoStreamFunction);
  }
  StreamLookup present(slow_resolver);
  try {
    current_stream(1, present);
    FAIL() << "a failing stream function must refuse the call";
  } catch (const std::runtime_error &error) {
    EXPECT_EQ(std::string(error.what()), std::string("vrel-internal: ") + kStreamReadFailed);
  }
}

TEST(StreamLookup, TheCpuBuildOfPyTorchIsNotLoadedHere) {
  // Nothing in this process exports the function, and the lookup loads no library.
  EXPECT_EQ(resolve_current_stream_function(), nullptr);
}

}  // namespace
}  // namespace vrel::adapter

// --- the error formats (errors.hpp) -------------------------------------------------------------

#include "errors.hpp"

namespace vrel::adapter {
namespace {

TEST(ErrorFormats, StatusErrorsCarryTheCodeAndTheDiagnostic) {
  EXPECT_EQ(status_text(3, "the workspace is too small"),
            "vrel-status:3: the workspace is too small");
  EXPECT_EQ(status_text(2, ""), "vrel-status:2: the operation reported no diagnostic");
  EXPECT_EQ(status_text(1, nullptr), "vrel-status:1: the operation reported no diagnostic");
  // A provider may return any 32-bit status; it is printed as an unsigned number.
  EXPECT_EQ(status_text(-1, "x"), "vrel-status:4294967295: x");
  try {
    internal_error("a tensor rank exceeded what the arena holds");
    FAIL();
  } catch (const std::runtime_error &error) {
    EXPECT_STREQ(error.what(), "vrel-internal: a tensor rank exceeded what the arena holds");
  }
}

}  // namespace
}  // namespace vrel::adapter
