// The TPM software stack's own libraries (its enhanced system API, the TCTI loader and the
// marshalling library), opened at run time once the tpm2 provider, which links the same ones, has
// loaded: the companion links none of them, and so runs where no TPM stack is installed. Only the
// headers are needed to build.
#pragma once

#include <tss2/tss2_esys.h>
#include <tss2/tss2_mu.h>
#include <tss2/tss2_tctildr.h>

namespace ktarn::platform::software {

// The stack's functions this process calls directly.
struct TssLibrary {
  decltype(&Tss2_TctiLdr_Initialize) tcti_initialize;
  decltype(&Tss2_TctiLdr_Finalize) tcti_finalize;
  decltype(&Esys_Initialize) initialize;
  decltype(&Esys_Finalize) finalize;
  decltype(&Esys_GetCapability) get_capability;
  decltype(&Esys_CreatePrimary) create_primary;
  decltype(&Esys_Create) create;
  decltype(&Esys_FlushContext) flush_context;
  decltype(&Esys_Free) free;
  decltype(&Tss2_MU_TPM2B_PUBLIC_Marshal) marshal_public;
  decltype(&Tss2_MU_TPM2B_PRIVATE_Marshal) marshal_private;
};

// The functions, loaded once per process and kept loaded; null when a library or one of its
// functions is missing.
const TssLibrary* tss_library();

}  // namespace ktarn::platform::software
