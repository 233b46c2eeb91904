#include "bridge/platform/software/keys/rsa_key.hpp"

#include <bit>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "bridge/platform/software/keys/rsa_der.hpp"

namespace ktarn::platform::software {

namespace {

// A key OpenSSL handed over, or the status when it handed none.
StatusOr<Pkey> adopt(EVP_PKEY* key, OSStatus status) {
  if (key == nullptr) return Unexpected(status);
  return Pkey(key, EVP_PKEY_free);
}

// Refuses every passphrase request, so an encrypted PEM fails instead of prompting.
int no_passphrase(char*, int, int, void*) {
  return -1;
}

KeyContext context_for(EVP_PKEY& key) {
  return KeyContext(EVP_PKEY_CTX_new_from_pkey(nullptr, &key, nullptr));
}

using Number = CHandle<BIGNUM, BN_clear_free>;
using NumberContext = CHandle<BN_CTX, BN_CTX_free>;

// The parts of a two-prime RSA private key, copied out of the key and wiped when released.
struct RsaParts {
  Number n, e, d, p, q, dp, dq, qinv;
};

// Every part, each private one marked for OpenSSL's constant-time arithmetic; errSecDecode for a
// key that lacks one, or has a third prime, which keys made here never have and the check below
// does not cover. The parts are exported once, together, since asking for each apart costs
// several times the arithmetic that checks them. The export keeps the private parts in a block
// of their own, which releasing it wipes.
StatusOr<RsaParts> rsa_parts(EVP_PKEY& key) {
  OSSL_PARAM* exported = nullptr;
  if (EVP_PKEY_todata(&key, EVP_PKEY_KEYPAIR, &exported) != 1) {
    ERR_clear_error();
    return Unexpected(errSecDecode);
  }
  const CHandle<OSSL_PARAM, OSSL_PARAM_free> params(exported);
  RsaParts parts;
  const struct {
    const char* name;
    Number* part;
    bool is_private;
  } wanted[] = {
      {OSSL_PKEY_PARAM_RSA_N, &parts.n, false},
      {OSSL_PKEY_PARAM_RSA_E, &parts.e, false},
      {OSSL_PKEY_PARAM_RSA_D, &parts.d, true},
      {OSSL_PKEY_PARAM_RSA_FACTOR1, &parts.p, true},
      {OSSL_PKEY_PARAM_RSA_FACTOR2, &parts.q, true},
      {OSSL_PKEY_PARAM_RSA_EXPONENT1, &parts.dp, true},
      {OSSL_PKEY_PARAM_RSA_EXPONENT2, &parts.dq, true},
      {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, &parts.qinv, true},
  };
  for (const auto& [name, part, is_private] : wanted) {
    const OSSL_PARAM* found = OSSL_PARAM_locate_const(params.get(), name);
    BIGNUM* value = nullptr;
    if (found == nullptr || OSSL_PARAM_get_BN(found, &value) != 1) {
      ERR_clear_error();
      return Unexpected(errSecDecode);
    }
    part->reset(value);
    if (is_private) BN_set_flags(value, BN_FLG_CONSTTIME);
  }
  if (OSSL_PARAM_locate_const(params.get(), OSSL_PKEY_PARAM_RSA_FACTOR3) != nullptr) {
    return Unexpected(errSecDecode);
  }
  return parts;
}

bool is_above_one(const BIGNUM* number) {
  return BN_cmp(number, BN_value_one()) > 0;
}

// Whether number modulo modulus is expected; scratch receives the remainder.
bool reduces_to(BIGNUM* scratch, const BIGNUM* number, const BIGNUM* modulus,
                const BIGNUM* expected, BN_CTX* context) {
  return BN_mod(scratch, number, modulus, context) == 1 && BN_cmp(scratch, expected) == 0;
}

// Whether a times b is one modulo modulus; scratch receives the product.
bool inverts(BIGNUM* scratch, const BIGNUM* a, const BIGNUM* b, const BIGNUM* modulus,
             BN_CTX* context) {
  return BN_mod_mul(scratch, a, b, modulus, context) == 1 && BN_is_one(scratch);
}

// Whether the parts fit together as the private-key operation uses them: the primes multiply to
// the modulus, the public exponent is odd and above one, the private exponent reduces to the two
// CRT exponents, each of which undoes the public exponent modulo its prime less one, and the CRT
// coefficient inverts q modulo p. Signing with CRT parts that do not fit would fall back on the
// private exponent (rsa_key.hpp), so that is tied to them as well. The primes themselves are not
// tested for primality, which costs far more than decoding (bench/README.md) and guards only
// against a key built on purpose by someone who could as well have stored a key of their own.
// Temporaries come from a secure context, which wipes them as it is released.
bool parts_fit(const RsaParts& key) {
  NumberContext context(BN_CTX_secure_new());
  if (!context) return false;
  BN_CTX* scratch = context.get();
  BN_CTX_start(scratch);
  BIGNUM* product = BN_CTX_get(scratch);
  BIGNUM* p_less_one = BN_CTX_get(scratch);
  BIGNUM* q_less_one = BN_CTX_get(scratch);
  BIGNUM* reduced = BN_CTX_get(scratch);
  bool fit = reduced != nullptr;
  for (const Number* part : {&key.n, &key.e, &key.d, &key.p, &key.q, &key.dp, &key.dq, &key.qinv}) {
    fit = fit && !BN_is_negative(part->get());
  }
  if (fit) {
    for (BIGNUM* secret : {p_less_one, q_less_one, reduced}) BN_set_flags(secret, BN_FLG_CONSTTIME);
  }
  const BIGNUM *n = key.n.get(), *e = key.e.get(), *d = key.d.get(), *p = key.p.get(),
               *q = key.q.get();
  fit = fit && BN_is_odd(e) && is_above_one(e) && BN_cmp(e, n) < 0;
  fit = fit && is_above_one(p) && is_above_one(q) && BN_mul(product, p, q, scratch) == 1 &&
        BN_cmp(product, n) == 0;
  fit = fit && BN_cmp(d, n) < 0 && BN_sub(p_less_one, p, BN_value_one()) == 1 &&
        BN_sub(q_less_one, q, BN_value_one()) == 1 &&
        reduces_to(reduced, d, p_less_one, key.dp.get(), scratch) &&
        reduces_to(reduced, d, q_less_one, key.dq.get(), scratch);
  fit = fit && inverts(reduced, key.dp.get(), e, p_less_one, scratch) &&
        inverts(reduced, key.dq.get(), e, q_less_one, scratch);
  fit = fit && BN_cmp(key.qinv.get(), p) < 0 && inverts(reduced, q, key.qinv.get(), p, scratch);
  BN_CTX_end(scratch);
  ERR_clear_error();
  return fit;
}

// The parts read from a stored key's DER, the private ones in memory that is wiped when it is
// released (and that the parameter builder below copies into its own wiped block), marked for
// constant-time arithmetic.
StatusOr<RsaParts> rsa_parts(const RsaPrivatePartBytes& bytes) {
  RsaParts parts;
  Number* const in_order[] = {&parts.n, &parts.e,  &parts.d,  &parts.p,
                              &parts.q, &parts.dp, &parts.dq, &parts.qinv};
  static_assert(std::size(in_order) == kRsaPrivatePartCount);
  for (std::size_t i = 0; i < kRsaPrivatePartCount; ++i) {
    const bool is_private = i >= 2;
    in_order[i]->reset(is_private ? BN_secure_new() : BN_new());
    if (!*in_order[i] || BN_bin2bn(bytes[i].data(), static_cast<int>(bytes[i].size()),
                                   in_order[i]->get()) == nullptr) {
      return Unexpected(errSecInternalComponent);
    }
    if (is_private) BN_set_flags(in_order[i]->get(), BN_FLG_CONSTTIME);
  }
  return parts;
}

// The key of parts that fit together, made by the RSA key manager from its numbers.
StatusOr<Pkey> key_from_parts(const RsaParts& parts) {
  const CHandle<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free> builder(OSSL_PARAM_BLD_new());
  if (!builder) return Unexpected(errSecInternalComponent);
  const struct {
    const char* name;
    const Number& part;
  } named[] = {
      {OSSL_PKEY_PARAM_RSA_N, parts.n},          {OSSL_PKEY_PARAM_RSA_E, parts.e},
      {OSSL_PKEY_PARAM_RSA_D, parts.d},          {OSSL_PKEY_PARAM_RSA_FACTOR1, parts.p},
      {OSSL_PKEY_PARAM_RSA_FACTOR2, parts.q},    {OSSL_PKEY_PARAM_RSA_EXPONENT1, parts.dp},
      {OSSL_PKEY_PARAM_RSA_EXPONENT2, parts.dq}, {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, parts.qinv},
  };
  for (const auto& [name, part] : named) {
    if (OSSL_PARAM_BLD_push_BN(builder.get(), name, part.get()) != 1) {
      return Unexpected(errSecInternalComponent);
    }
  }
  const CHandle<OSSL_PARAM, OSSL_PARAM_free> params(OSSL_PARAM_BLD_to_param(builder.get()));
  KeyContext maker(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !maker || EVP_PKEY_fromdata_init(maker.get()) != 1 ||
      EVP_PKEY_fromdata(maker.get(), &key, EVP_PKEY_KEYPAIR, params.get()) != 1) {
    return Unexpected(errSecInternalComponent);
  }
  return adopt(key, errSecInternalComponent);
}

// A stored key's parts, as read and as numbers, once they are known to fit together.
struct CheckedParts {
  RsaPrivatePartBytes stored;
  RsaParts numbers;
};

StatusOr<CheckedParts> checked_parts(std::span<const std::uint8_t> der) {
  if (der.size() > 1 << 16) return Unexpected(errSecDecode);
  const std::optional<RsaPrivatePartBytes> stored = read_two_prime_private_key(der);
  if (!stored) return Unexpected(errSecDecode);
  auto parts = rsa_parts(*stored);
  if (!parts) return Unexpected(parts.error());
  if (!parts_fit(*parts)) return Unexpected(errSecDecode);
  return CheckedParts{*stored, std::move(*parts)};
}

// An RSA key whose modulus, exponents and primes fit together; errSecDecode otherwise.
StatusOr<Pkey> sound_rsa(StatusOr<Pkey> key) {
  if (!key) return key;
  if (!is_rsa_key(**key)) return Unexpected(errSecDecode);
  auto parts = rsa_parts(**key);
  if (!parts) return Unexpected(parts.error());
  if (!parts_fit(*parts)) return Unexpected(errSecDecode);
  return key;
}

bool set_sha256_padding(EVP_PKEY_CTX& context) {
  return EVP_PKEY_CTX_set_rsa_padding(&context, RSA_PKCS1_PADDING) > 0 &&
         EVP_PKEY_CTX_set_signature_md(&context, EVP_sha256()) > 0;
}

// The contexts set up for SHA-256 with PKCS #1 v1.5 padding.
StatusOr<Signer> prepared(Sha256Signer contexts) {
  auto signer = std::make_shared<Sha256Signer>(std::move(contexts));
  if (!signer->sign || EVP_PKEY_sign_init(signer->sign.get()) <= 0 ||
      !set_sha256_padding(*signer->sign)) {
    return Unexpected(errSecInternalComponent);
  }
  if (signer->verify &&
      (EVP_PKEY_verify_init(signer->verify.get()) <= 0 || !set_sha256_padding(*signer->verify))) {
    return Unexpected(errSecInternalComponent);
  }
  return signer;
}

}  // namespace

void wipe_memory(void* memory, std::size_t size) {
  if (size != 0) OPENSSL_cleanse(memory, size);
}

StatusOr<Pkey> generate_rsa_key(int bits) {
  KeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  if (!context || EVP_PKEY_keygen_init(context.get()) <= 0) {
    return Unexpected(errSecInternalComponent);
  }
  unsigned int size = static_cast<unsigned int>(bits);
  unsigned int exponent = 65537;
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_uint(OSSL_PKEY_PARAM_RSA_BITS, &size),
      OSSL_PARAM_construct_uint(OSSL_PKEY_PARAM_RSA_E, &exponent),
      OSSL_PARAM_construct_end(),
  };
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_CTX_set_params(context.get(), params) <= 0 ||
      EVP_PKEY_generate(context.get(), &key) <= 0) {
    return Unexpected(errSecInternalComponent);
  }
  return adopt(key, errSecInternalComponent);
}

StatusOr<Pkey> decode_rsa_private_key(std::span<const std::uint8_t> der) {
  auto parts = checked_parts(der);
  if (!parts) return Unexpected(parts.error());
  return key_from_parts(parts->numbers);
}

StatusOr<RsaPublicNumbers> check_rsa_private_key(std::span<const std::uint8_t> der) {
  auto parts = checked_parts(der);
  if (!parts) return Unexpected(parts.error());
  return RsaPublicNumbers{Bytes(parts->stored[0].begin(), parts->stored[0].end()),
                          Bytes(parts->stored[1].begin(), parts->stored[1].end())};
}

StatusOr<RsaPublicNumbers> rsa_public_numbers(EVP_PKEY& key) {
  if (!is_rsa_key(key)) return Unexpected(errSecInternalComponent);
  BIGNUM* modulus = nullptr;
  BIGNUM* exponent = nullptr;
  const bool read = EVP_PKEY_get_bn_param(&key, OSSL_PKEY_PARAM_RSA_N, &modulus) == 1 &&
                    EVP_PKEY_get_bn_param(&key, OSSL_PKEY_PARAM_RSA_E, &exponent) == 1;
  const Number n(modulus), e(exponent);
  if (!read) return Unexpected(errSecInternalComponent);
  RsaPublicNumbers numbers{Bytes(static_cast<std::size_t>(BN_num_bytes(n.get()))),
                           Bytes(static_cast<std::size_t>(BN_num_bytes(e.get())))};
  BN_bn2bin(n.get(), numbers.modulus.data());
  BN_bn2bin(e.get(), numbers.exponent.data());
  return numbers;
}

int size_in_bits(const RsaPublicNumbers& numbers) {
  if (numbers.modulus.empty()) return 0;
  return static_cast<int>(numbers.modulus.size() * 8) - std::countl_zero(numbers.modulus.front());
}

StatusOr<Pkey> read_rsa_private_key_pem(std::string_view pem) {
  const CHandle<BIO, BIO_free> input(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!input) return Unexpected(errSecInternalComponent);
  return sound_rsa(
      adopt(PEM_read_bio_PrivateKey(input.get(), nullptr, no_passphrase, nullptr), errSecDecode));
}

StatusOr<SecretBytes> encode_private_key(EVP_PKEY& key) {
  unsigned char* der = nullptr;
  int length = i2d_PrivateKey(&key, &der);
  if (length <= 0) return Unexpected(errSecInternalComponent);
  SecretBytes bytes(std::span<const std::uint8_t>(der, static_cast<std::size_t>(length)));
  OPENSSL_clear_free(der, static_cast<std::size_t>(length));
  return bytes;
}

StatusOr<Bytes> encode_public_key(EVP_PKEY& key) {
  auto numbers = rsa_public_numbers(key);
  if (!numbers) return Unexpected(numbers.error());
  return write_rsa_public_key(numbers->modulus, numbers->exponent);
}

int key_size_in_bits(EVP_PKEY& key) {
  return EVP_PKEY_get_bits(&key);
}

bool is_rsa_key(EVP_PKEY& key) {
  // Asked by name, so that a key a provider holds (a TPM key) answers like a software one.
  return EVP_PKEY_is_a(&key, "RSA") == 1;
}

StatusOr<Signer> make_sha256_signer(EVP_PKEY& key) {
  // Braced, since clang does not yet build an aggregate from parentheses.
  return prepared(Sha256Signer{nullptr, context_for(key), nullptr});
}

StatusOr<Signer> make_sha256_signer(KeyContext sign, EVP_PKEY& public_half,
                                    std::shared_ptr<const void> owner) {
  KeyContext verify = context_for(public_half);
  if (!verify) return Unexpected(errSecInternalComponent);
  return prepared(Sha256Signer{std::move(owner), std::move(sign), std::move(verify)});
}

StatusOr<Bytes> sign_sha256_digest(Sha256Signer& signer, std::span<const std::uint8_t> digest) {
  int size = EVP_PKEY_get_size(EVP_PKEY_CTX_get0_pkey(signer.sign.get()));
  if (size <= 0) return Unexpected(errSecInternalComponent);
  Bytes signature(static_cast<std::size_t>(size));
  std::size_t length = signature.size();
  if (EVP_PKEY_sign(signer.sign.get(), signature.data(), &length, digest.data(), digest.size()) <=
      0) {
    return Unexpected(errSecInternalComponent);
  }
  if (signer.verify && EVP_PKEY_verify(signer.verify.get(), signature.data(), length, digest.data(),
                                       digest.size()) != 1) {
    return Unexpected(errSecInternalComponent);
  }
  signature.resize(length);
  return signature;
}

}  // namespace ktarn::platform::software
