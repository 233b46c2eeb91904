#include "bridge/platform/software/keys/tss_library.hpp"

#include <dlfcn.h>

#include <optional>

namespace ktarn::platform::software {

namespace {

// A function of a library this process keeps open, by name; whether it was there.
template <class Function>
bool find(void* library, const char* name, Function& function) {
  function = library != nullptr ? reinterpret_cast<Function>(::dlsym(library, name)) : nullptr;
  return function != nullptr;
}

std::optional<TssLibrary> load() {
  TssLibrary tss{};
  void* esys = ::dlopen("libtss2-esys.so.0", RTLD_NOW | RTLD_LOCAL);
  void* loader = ::dlopen("libtss2-tctildr.so.0", RTLD_NOW | RTLD_LOCAL);
  void* mu = ::dlopen("libtss2-mu.so.0", RTLD_NOW | RTLD_LOCAL);
  const bool found =
      find(loader, "Tss2_TctiLdr_Initialize", tss.tcti_initialize) &&
      find(loader, "Tss2_TctiLdr_Finalize", tss.tcti_finalize) &&
      find(esys, "Esys_Initialize", tss.initialize) && find(esys, "Esys_Finalize", tss.finalize) &&
      find(esys, "Esys_GetCapability", tss.get_capability) &&
      find(esys, "Esys_CreatePrimary", tss.create_primary) &&
      find(esys, "Esys_Create", tss.create) && find(esys, "Esys_FlushContext", tss.flush_context) &&
      find(esys, "Esys_Free", tss.free) &&
      find(mu, "Tss2_MU_TPM2B_PUBLIC_Marshal", tss.marshal_public) &&
      find(mu, "Tss2_MU_TPM2B_PRIVATE_Marshal", tss.marshal_private);
  return found ? std::optional(tss) : std::nullopt;
}

}  // namespace

// A library missing now stays missing for this process: the provider, which links the same
// ones, could not have loaded either.
const TssLibrary* tss_library() {
  static const std::optional<TssLibrary> tss = load();
  return tss ? &*tss : nullptr;
}

}  // namespace ktarn::platform::software
