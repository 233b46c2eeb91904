// TPM keys as OpenSSL's tpm2 provider makes and writes them on its own, as every TPM key was made
// before the companion made them itself: for the keys a keychain still holds from then, and to
// hold the companion's stored form to the provider's; and the public area a stored form holds.
#pragma once

#include <openssl/asn1.h>
#include <openssl/core_names.h>
#include <openssl/encoder.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "base/c_handle.hpp"
#include "bridge/platform/attributes.hpp"

namespace ktarn::platform::software::testing {

// The provider's stored form ("TSS2 PRIVATE KEY" DER) of a key it holds; empty when it gave none.
inline Bytes provider_encoding(EVP_PKEY& key) {
  CHandle<OSSL_ENCODER_CTX, OSSL_ENCODER_CTX_free> encoder(OSSL_ENCODER_CTX_new_for_pkey(
      &key, EVP_PKEY_KEYPAIR, "DER", "PrivateKeyInfo", "provider=tpm2"));
  unsigned char* data = nullptr;
  std::size_t length = 0;
  if (!encoder || OSSL_ENCODER_to_data(encoder.get(), &data, &length) != 1) return {};
  Bytes encoded(data, data + length);
  OPENSSL_free(data);
  return encoded;
}

// The stored form of an RSA key the provider generated itself, in the TPM its TCTI variable
// names; empty when it made none.
inline Bytes provider_made_tpm_key(int bits) {
  CHandle<OSSL_LIB_CTX, OSSL_LIB_CTX_free> library(OSSL_LIB_CTX_new());
  OSSL_PROVIDER* software = library ? OSSL_PROVIDER_load(library.get(), "default") : nullptr;
  OSSL_PROVIDER* tpm = software ? OSSL_PROVIDER_load(library.get(), "tpm2") : nullptr;
  Bytes blob;
  if (tpm != nullptr) {
    CHandle<EVP_PKEY_CTX, EVP_PKEY_CTX_free> generator(
        EVP_PKEY_CTX_new_from_name(library.get(), "RSA", "provider=tpm2"));
    std::size_t size = static_cast<std::size_t>(bits);
    unsigned int exponent = 65537;
    OSSL_PARAM params[] = {OSSL_PARAM_construct_size_t(OSSL_PKEY_PARAM_RSA_BITS, &size),
                           OSSL_PARAM_construct_uint(OSSL_PKEY_PARAM_RSA_E, &exponent),
                           OSSL_PARAM_construct_end()};
    EVP_PKEY* made = nullptr;
    if (generator && EVP_PKEY_keygen_init(generator.get()) > 0 &&
        EVP_PKEY_CTX_set_params(generator.get(), params) > 0 &&
        EVP_PKEY_generate(generator.get(), &made) > 0) {
      blob = provider_encoding(*made);
    }
    EVP_PKEY_free(made);
    OSSL_PROVIDER_unload(tpm);
  }
  if (software != nullptr) OSSL_PROVIDER_unload(software);
  return blob;
}

inline void free_fields(ASN1_SEQUENCE_ANY* fields) {
  sk_ASN1_TYPE_pop_free(fields, ASN1_TYPE_free);
}

// The key's public area (its marshalled TPM2B_PUBLIC), the first OCTET STRING of the stored form.
inline std::optional<Bytes> public_area(const Bytes& blob) {
  const unsigned char* cursor = blob.data();
  CHandle<ASN1_SEQUENCE_ANY, free_fields> fields(
      d2i_ASN1_SEQUENCE_ANY(nullptr, &cursor, static_cast<long>(blob.size())));
  for (int i = 0; fields && i < sk_ASN1_TYPE_num(fields.get()); ++i) {
    const ASN1_TYPE* field = sk_ASN1_TYPE_value(fields.get(), i);
    if (ASN1_TYPE_get(field) != V_ASN1_OCTET_STRING) continue;
    const ASN1_OCTET_STRING* area = field->value.octet_string;
    return Bytes(area->data, area->data + area->length);
  }
  return std::nullopt;
}

// The public area's objectAttributes, after its size, type and name algorithm.
inline std::optional<std::uint32_t> object_attributes(const Bytes& blob) {
  constexpr std::size_t kAt = 6;
  const auto area = public_area(blob);
  if (!area || area->size() < kAt + 4) return std::nullopt;
  std::uint32_t attributes = 0;
  for (std::size_t i = kAt; i < kAt + 4; ++i) attributes = attributes << 8 | (*area)[i];
  return attributes;
}

}  // namespace ktarn::platform::software::testing
