#include "bridge/platform/software/keys/tss_key_creation.hpp"

#include <array>
#include <cstddef>

#include "base/c_handle.hpp"
#include "bridge/platform/software/keys/rsa_key.hpp"
#include "bridge/platform/software/keys/tss_library.hpp"
#include "bridge/platform/software/keys/tss_private_key.hpp"

namespace ktarn::platform::software {

// Released only once tss_library() gave the functions, which stay loaded.
void finalize_tcti(TSS2_TCTI_CONTEXT* tcti) {
  tss_library()->tcti_finalize(&tcti);
}
void finalize_esys(ESYS_CONTEXT* esys) {
  tss_library()->finalize(&esys);
}

namespace {

void free_output(void* output) {
  tss_library()->free(output);
}
template <class T>
using Output = CHandle<T, free_output>;

// The provider's choice of primary key: elliptic-curve where the TPM lists that algorithm among
// the first page of those it implements, RSA otherwise. The same question as the provider's,
// so the same answer, and so the same primary key.
Expected<TPMI_ALG_PUBLIC, TssCode> primary_algorithm(const TssLibrary& tss, ESYS_CONTEXT& esys) {
  TPMS_CAPABILITY_DATA* listed = nullptr;
  const TssCode code = tss.get_capability(&esys, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                          TPM2_CAP_ALGS, 0, TPM2_MAX_CAP_ALGS, nullptr, &listed);
  Output<TPMS_CAPABILITY_DATA> algorithms(listed);
  if (code != TSS2_RC_SUCCESS) return Unexpected(code);
  bool rsa = false;
  const TPML_ALG_PROPERTY& list = algorithms->data.algorithms;
  for (UINT32 i = 0; i < list.count && i < TPM2_MAX_CAP_ALGS; ++i) {
    if (list.algProperties[i].alg == TPM2_ALG_ECC) return TPM2_ALG_ECC;
    rsa = rsa || list.algProperties[i].alg == TPM2_ALG_RSA;
  }
  if (!rsa) return Unexpected(TssCode{TSS2_ESYS_RC_NOT_IMPLEMENTED});
  return TPM2_ALG_RSA;
}

// What the provider's primary key and this key have in common: named with SHA-256, bound to
// this TPM and its parent, its private part made inside the TPM, used with an authorisation value
// (empty), and exempt from lockout.
TPM2B_PUBLIC public_template(TPMI_ALG_PUBLIC algorithm, TPMA_OBJECT use) {
  TPM2B_PUBLIC object{};
  object.publicArea.type = algorithm;
  object.publicArea.nameAlg = TPM2_ALG_SHA256;
  object.publicArea.objectAttributes = use | TPMA_OBJECT_USERWITHAUTH | TPMA_OBJECT_NODA |
                                       TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT |
                                       TPMA_OBJECT_SENSITIVEDATAORIGIN;
  return object;
}

// The provider's primary key template: a restricted decryption key whose AES-128 in CFB mode
// wraps the keys made under it.
TPM2B_PUBLIC primary_template(TPMI_ALG_PUBLIC algorithm) {
  TPM2B_PUBLIC primary = public_template(algorithm, TPMA_OBJECT_RESTRICTED | TPMA_OBJECT_DECRYPT);
  TPMT_PUBLIC& area = primary.publicArea;
  TPMT_SYM_DEF_OBJECT wrapping{};
  wrapping.algorithm = TPM2_ALG_AES;
  wrapping.keyBits.aes = 128;
  wrapping.mode.aes = TPM2_ALG_CFB;
  if (algorithm == TPM2_ALG_ECC) {
    TPMS_ECC_PARMS& ecc = area.parameters.eccDetail;
    ecc.symmetric = wrapping;
    ecc.scheme.scheme = TPM2_ALG_NULL;
    ecc.curveID = TPM2_ECC_NIST_P256;
    ecc.kdf.scheme = TPM2_ALG_NULL;
  } else {
    TPMS_RSA_PARMS& rsa = area.parameters.rsaDetail;
    rsa.symmetric = wrapping;
    rsa.scheme.scheme = TPM2_ALG_NULL;
    rsa.keyBits = 2048;
    rsa.exponent = 0;
  }
  return primary;
}

// The provider's template for an RSA key it generates, with the lockout exemption added: an
// unrestricted key for any scheme the caller picks, bound to this TPM and this parent.
TPM2B_PUBLIC key_template(int bits) {
  TPM2B_PUBLIC key = public_template(TPM2_ALG_RSA, TPMA_OBJECT_SIGN_ENCRYPT | TPMA_OBJECT_DECRYPT);
  TPMS_RSA_PARMS& rsa = key.publicArea.parameters.rsaDetail;
  rsa.symmetric.algorithm = TPM2_ALG_NULL;
  rsa.scheme.scheme = TPM2_ALG_NULL;
  rsa.keyBits = static_cast<TPMI_RSA_KEY_BITS>(bits);
  rsa.exponent = 65537;
  return key;
}

// The stored form of the key the TPM made, marshalled as the provider marshals it.
Expected<Bytes, TssCode> stored_form(const TssLibrary& tss, const TPM2B_PUBLIC& made_public,
                                     const TPM2B_PRIVATE& made_private) {
  std::array<std::uint8_t, sizeof(TPM2B_PUBLIC)> public_bytes{};
  std::array<std::uint8_t, sizeof(TPM2B_PRIVATE)> private_bytes{};
  std::size_t public_size = 0;
  std::size_t private_size = 0;
  TssCode code =
      tss.marshal_public(&made_public, public_bytes.data(), public_bytes.size(), &public_size);
  if (code == TSS2_RC_SUCCESS) {
    code = tss.marshal_private(&made_private, private_bytes.data(), private_bytes.size(),
                               &private_size);
  }
  Expected<Bytes, TssCode> stored = Unexpected(code);
  if (code == TSS2_RC_SUCCESS) {
    stored = encode_tss_private_key(std::span(public_bytes).first(public_size),
                                    std::span(private_bytes).first(private_size));
  }
  wipe_memory(private_bytes.data(), private_bytes.size());
  return stored;
}

}  // namespace

bool tpm_answered(TssCode code) {
  const TssCode layer = code & TSS2_RC_LAYER_MASK;
  return layer == TSS2_TPM_RC_LAYER || layer == TSS2_RESMGR_TPM_RC_LAYER;
}

Expected<TssConnection, TssCode> TssConnection::open(const std::string& tcti) {
  const TssLibrary* tss = tss_library();
  if (tss == nullptr) return Unexpected(kTssUnavailable);
  TSS2_TCTI_CONTEXT* opened_tcti = nullptr;
  TssCode code = tss->tcti_initialize(tcti.c_str(), &opened_tcti);
  Tcti connection(opened_tcti);
  if (code != TSS2_RC_SUCCESS) return Unexpected(code);
  ESYS_CONTEXT* opened_esys = nullptr;
  code = tss->initialize(&opened_esys, connection.get(), nullptr);
  Esys esys(opened_esys);
  if (code != TSS2_RC_SUCCESS) return Unexpected(code);
  return TssConnection(std::move(connection), std::move(esys));
}

// The owner hierarchy's authorisation is taken as empty, as the provider takes it.
Expected<Bytes, TssCode> TssConnection::create_lockout_exempt_rsa_key(int bits) {
  auto algorithm = primary_algorithm(*tss_, *esys_);
  if (!algorithm) return Unexpected(algorithm.error());
  const TPM2B_SENSITIVE_CREATE no_authorisation{};
  const TPM2B_DATA no_outside_info{};
  const TPML_PCR_SELECTION no_pcrs{};
  const TPM2B_PUBLIC primary_public = primary_template(*algorithm);
  ESYS_TR primary_object = ESYS_TR_NONE;
  TssCode code =
      tss_->create_primary(esys_.get(), ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                           ESYS_TR_NONE, &no_authorisation, &primary_public, &no_outside_info,
                           &no_pcrs, &primary_object, nullptr, nullptr, nullptr, nullptr);
  if (code != TSS2_RC_SUCCESS) return Unexpected(code);

  const TPM2B_PUBLIC key_public = key_template(bits);
  TPM2B_PRIVATE* made_private = nullptr;
  TPM2B_PUBLIC* made_public = nullptr;
  code = tss_->create(esys_.get(), primary_object, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                      &no_authorisation, &key_public, &no_outside_info, &no_pcrs, &made_private,
                      &made_public, nullptr, nullptr, nullptr);
  Output<TPM2B_PRIVATE> wrapped(made_private);
  Output<TPM2B_PUBLIC> public_area(made_public);
  // The primary key takes a slot in the TPM until it is flushed. A command that was cut is never
  // followed by another: the TPM that did not answer it may not answer the next either, and a
  // resource manager flushes what its client left once the connection closes.
  if (tpm_answered(code)) tss_->flush_context(esys_.get(), primary_object);
  if (code != TSS2_RC_SUCCESS) return Unexpected(code);
  auto stored = stored_form(*tss_, *public_area, *wrapped);
  wipe_memory(wrapped.get(), sizeof(TPM2B_PRIVATE));
  return stored;
}

}  // namespace ktarn::platform::software
