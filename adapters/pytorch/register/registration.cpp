// Registers the module's operators with PyTorch while the shared object loads, through the stable C
// ABI only, in this order: the vrel_internal probe schema, the vrel schemas of operators.def,
// then the CompositeExplicitAutograd, CUDA and CPU implementation libraries. The libraries are
// released in reverse order when the shared object unloads.
#include "register/registration.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "adapter.hpp"

namespace vrel::adapter {

namespace {

constexpr const char *kSource = "adapters/pytorch/register";

enum OperatorKeys { VREL_KEYS_CPU_CUDA, VREL_KEYS_CPU, VREL_KEYS_COMPOSITE };

struct OperatorRow {
  const char *name;
  OperatorKeys keys;
  const char *exports;  // the core exports its kernel calls, separated by spaces
  const char *schema;
};

constexpr OperatorRow kOperators[] = {
#define VREL_OPERATOR(name, keys, family, exports, schema) {#name, keys, exports, schema},
#include "register/operators.def"
#undef VREL_OPERATOR
};

// Whether every core export named in `exports` (separated by spaces) is present in this core.
bool exports_present(std::string_view exports) {
  struct Export {
    std::string_view name;
    bool present;
  };
  static const Export kExports[] = {
#define VREL_CORE_EXPORT(name) {#name, present(name)},
#include "core_exports.inc"
#undef VREL_CORE_EXPORT
  };
  while (!exports.empty()) {
    const std::size_t end = std::min(exports.find(' '), exports.size());
    const std::string_view name = exports.substr(0, end);
    exports.remove_prefix(std::min(end + 1, exports.size()));
    if (name.empty()) continue;
    const auto found = std::find_if(std::begin(kExports), std::end(kExports),
                                    [&](const Export &e) { return e.name == name; });
    if (found == std::end(kExports) || !found->present) return false;
  }
  return true;
}

class Registration {
 public:
  Registration() { run(); }
  Registration(const Registration &) = delete;
  Registration &operator=(const Registration &) = delete;
  ~Registration() {
    for (int i = opened_ - 1; i >= 0; --i) aoti_torch_delete_library_object(handles_[i]);
  }
  const std::string &failure() const { return failure_; }

 private:
  void run() {
    TorchLibraryHandle internal = open_def("vrel_internal", __LINE__);
    if (internal == nullptr || !def(internal, "_foundation_probe() -> ()")) return;

    TorchLibraryHandle defs = open_def("vrel", __LINE__);
    if (defs == nullptr) return;
    for (const OperatorRow &row : kOperators) {
      if (!def(defs, row.schema)) return;
    }

    TorchLibraryHandle composite = open_impl("CompositeExplicitAutograd", __LINE__);
    if (composite == nullptr) return;
    if (!bind_all(composite, VREL_KEYS_COMPOSITE, VREL_KEYS_COMPOSITE)) return;
    TorchLibraryHandle cuda = open_impl("CUDA", __LINE__);
    if (cuda == nullptr || !bind_all(cuda, VREL_KEYS_CPU_CUDA, VREL_KEYS_CPU_CUDA)) return;
    TorchLibraryHandle cpu = open_impl("CPU", __LINE__);
    if (cpu == nullptr) return;
    bind_all(cpu, VREL_KEYS_CPU_CUDA, VREL_KEYS_CPU);
  }

  TorchLibraryHandle keep(AOTITorchError error, TorchLibraryHandle handle, const char *what) {
    if (error != AOTI_TORCH_SUCCESS || handle == nullptr) {
      failure_ = std::string("vrel: PyTorch refused to open the ") + what + " library";
      return nullptr;
    }
    handles_[opened_++] = handle;  // released at unload, in reverse order
    return handle;
  }

  TorchLibraryHandle open_def(const char *ns, std::uint32_t line) {
    TorchLibraryHandle handle = nullptr;
    const AOTITorchError error = aoti_torch_library_init_def(ns, kSource, line, &handle);
    return keep(error, handle, ns);
  }

  TorchLibraryHandle open_impl(const char *key, std::uint32_t line) {
    TorchLibraryHandle handle = nullptr;
    const AOTITorchError error = aoti_torch_library_init_impl("vrel", key, kSource, line, &handle);
    return keep(error, handle, key);
  }

  bool def(TorchLibraryHandle library, const char *schema) {
    if (aoti_torch_library_def(library, schema) == AOTI_TORCH_SUCCESS) return true;
    failure_ = std::string("vrel: PyTorch refused the schema ") + schema;
    return false;
  }

  // Binds every operator whose keys are first or last and whose kernel is present.
  bool bind_all(TorchLibraryHandle library, OperatorKeys first, OperatorKeys last) {
    for (const OperatorRow &row : kOperators) {
      if (row.keys != first && row.keys != last) continue;
      const KernelBinding *binding = find_binding(row.name);
      if (binding == nullptr || !exports_present(row.exports)) continue;
      if (torch_library_impl(library, row.name, binding->kernel, kTargetVersion) !=
          AOTI_TORCH_SUCCESS) {
        failure_ = std::string("vrel: PyTorch refused the kernel of ") + row.name;
        return false;
      }
    }
    return true;
  }

  std::array<TorchLibraryHandle, 5> handles_{};
  int opened_ = 0;
  std::string failure_;
};

Registration &registration() {
  static Registration instance;
  return instance;
}

// Registration runs during static initialisation, before Python calls PyInit__torch.
[[maybe_unused]] const bool kRegistered = (registration(), true);

}  // namespace

const KernelBinding *find_binding(const char *name) {
  for (auto family :
       {workspace_bindings(), mesh_bindings(), io_bindings(), transforms_bindings(),
        render_bindings(), texture_bindings(), points_bindings(), animation_bindings(),
        image_bindings(), shading_bindings(), shading_utility_bindings(), opaque_bindings(),
        opaque_stream_bindings()}) {
    for (const KernelBinding &binding : family) {
      if (std::strcmp(binding.name, name) == 0) return &binding;
    }
  }
  return nullptr;
}

const char *registration_failure() noexcept {
  const std::string &failure = registration().failure();
  return failure.empty() ? nullptr : failure.c_str();
}

}  // namespace vrel::adapter
