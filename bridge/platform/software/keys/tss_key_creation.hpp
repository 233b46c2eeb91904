// RSA keys made with the TPM software stack directly rather than through the tpm2 provider, for
// the one attribute the provider cannot set: exemption from the TPM's dictionary-attack lockout.
// A key's authorisation is empty, so the lockout would guard nothing, while unorderly TPM
// restarts (power losses, crashes) after such a key was used count as failed attempts and, after a
// few, stop every key under that protection for a long while. Everything else about the key is
// the provider's: the same parent (the primary key the provider derives in the owner hierarchy
// from its own template), the same key template but for that attribute, and the same stored form
// (tss_private_key.hpp), so that the provider loads it, and signs with it, as a key it made.
#pragma once

#include <cstdint>
#include <string>

#include "base/c_handle.hpp"
#include "base/expected.hpp"
#include "bridge/platform/attributes.hpp"
#include "bridge/platform/software/keys/tss_library.hpp"

namespace ktarn::platform::software {

// The TSS's response code for a failure: the TPM's own answer where it gave one, else the
// failing layer's; kTssUnavailable when the stack's libraries could not be loaded.
using TssCode = std::uint32_t;
inline constexpr TssCode kTssUnavailable = 0xffffffff;

// Whether the TPM (or a resource manager on its behalf) answered the command that failed with
// code. One it did not answer leaves the connection that sent it unusable (the stack takes no
// further command on it), even once the TPM answers again.
bool tpm_answered(TssCode code);

void finalize_tcti(TSS2_TCTI_CONTEXT* tcti);
void finalize_esys(ESYS_CONTEXT* esys);

// A connection of the stack's own to one TPM, beside the provider's to the same TPM.
class TssConnection {
 public:
  // A connection to the TPM the TCTI names, as the provider's TCTI variable spells it.
  static Expected<TssConnection, TssCode> open(const std::string& tcti);

  // A new key of the given size, exponent 65537, exempt from dictionary-attack lockout; its
  // stored form.
  Expected<Bytes, TssCode> create_lockout_exempt_rsa_key(int bits);

 private:
  using Tcti = CHandle<TSS2_TCTI_CONTEXT, finalize_tcti>;
  using Esys = CHandle<ESYS_CONTEXT, finalize_esys>;
  TssConnection(Tcti tcti, Esys esys) : tcti_(std::move(tcti)), esys_(std::move(esys)) {}

  const TssLibrary* tss_ = tss_library();
  Tcti tcti_;  // released after the context that uses it
  Esys esys_;
};

}  // namespace ktarn::platform::software
