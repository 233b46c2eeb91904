#include "bridge/platform/software/keys/key_sealing.hpp"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include "base/c_handle.hpp"

namespace ktarn::platform::software {

namespace {

constexpr std::uint8_t kFormat = 1;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kOverhead = 1 + kNonceSize + kTagSize;

using CipherContext = CHandle<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;

// A context keyed for one direction, with the nonce and the associated data already given.
CipherContext keyed_context(bool encrypt, std::span<const std::uint8_t> wrapping_key,
                            std::span<const std::uint8_t> nonce,
                            std::span<const std::uint8_t> identity) {
  CipherContext context(EVP_CIPHER_CTX_new());
  int ignored = 0;
  if (!context || wrapping_key.size() != kWrappingKeySize ||
      EVP_CipherInit_ex2(context.get(), EVP_aes_256_gcm(), wrapping_key.data(), nonce.data(),
                         encrypt ? 1 : 0, nullptr) != 1 ||
      EVP_CipherUpdate(context.get(), nullptr, &ignored, identity.data(),
                       static_cast<int>(identity.size())) != 1) {
    return nullptr;
  }
  return context;
}

}  // namespace

SecretBytes new_wrapping_key() {
  std::uint8_t key[kWrappingKeySize];
  if (RAND_priv_bytes(key, sizeof key) != 1) return {};
  SecretBytes wrapping_key(key);
  wipe_memory(key, sizeof key);
  return wrapping_key;
}

std::string new_sealing_identity() {
  static constexpr char kHex[] = "0123456789abcdef";
  std::uint8_t random[16];
  if (RAND_bytes(random, sizeof random) != 1) return {};
  std::string identity;
  for (std::uint8_t byte : random) {
    identity += kHex[byte >> 4];
    identity += kHex[byte & 0xf];
  }
  return identity;
}

Bytes sealed_item_identity(std::string_view keychain, std::int64_t row) {
  std::string identity = "ktarn sealed key";
  identity += '\0';
  identity += keychain;
  identity += '\0';
  identity += std::to_string(row);
  return Bytes(identity.begin(), identity.end());
}

std::optional<Bytes> seal_secret(std::span<const std::uint8_t> wrapping_key,
                                 std::span<const std::uint8_t> secret,
                                 std::span<const std::uint8_t> identity) {
  Bytes sealed(kOverhead + secret.size());
  sealed[0] = kFormat;
  const std::span<std::uint8_t> nonce(sealed.data() + 1, kNonceSize);
  if (RAND_bytes(nonce.data(), static_cast<int>(nonce.size())) != 1) return std::nullopt;
  CipherContext context = keyed_context(true, wrapping_key, nonce, identity);
  std::uint8_t* out = sealed.data() + 1 + kNonceSize;
  int written = 0;
  int final_written = 0;
  if (!context ||
      EVP_EncryptUpdate(context.get(), out, &written, secret.data(),
                        static_cast<int>(secret.size())) != 1 ||
      EVP_EncryptFinal_ex(context.get(), out + written, &final_written) != 1 ||
      static_cast<std::size_t>(written + final_written) != secret.size() ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize),
                          out + secret.size()) != 1) {
    return std::nullopt;
  }
  return sealed;
}

std::optional<SecretBytes> open_sealed(std::span<const std::uint8_t> wrapping_key,
                                       std::span<const std::uint8_t> sealed,
                                       std::span<const std::uint8_t> identity) {
  if (sealed.size() < kOverhead || sealed[0] != kFormat) return std::nullopt;
  const std::span<const std::uint8_t> nonce = sealed.subspan(1, kNonceSize);
  const std::span<const std::uint8_t> ciphertext =
      sealed.subspan(1 + kNonceSize, sealed.size() - kOverhead);
  const std::span<const std::uint8_t> tag = sealed.last(kTagSize);
  CipherContext context = keyed_context(false, wrapping_key, nonce, identity);
  // Decrypted into memory that is wiped however this ends, tag mismatch included.
  std::vector<std::uint8_t, WipingAllocator<std::uint8_t>> plain(ciphertext.size());
  int written = 0;
  int final_written = 0;
  if (!context ||
      EVP_DecryptUpdate(context.get(), plain.data(), &written, ciphertext.data(),
                        static_cast<int>(ciphertext.size())) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize),
                          const_cast<std::uint8_t*>(tag.data())) != 1 ||
      EVP_DecryptFinal_ex(context.get(), plain.data() + written, &final_written) != 1) {
    return std::nullopt;
  }
  return SecretBytes(plain);
}

}  // namespace ktarn::platform::software
