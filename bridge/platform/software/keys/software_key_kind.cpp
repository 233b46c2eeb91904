// Software keys: RSA keys whose private half the keychain file holds as PKCS #1 DER and this
// process decodes, protected by nothing but the file's permissions.
#include <limits>
#include <memory>
#include <utility>

#include "bridge/platform/software/keys/key_kind.hpp"

namespace ktarn::platform::software {

namespace {

// A key whose signing context cannot be set up can still be read, so its failure is kept for
// signing to report.
OpenedKey with_signer(Pkey key) {
  auto signer = make_sha256_signer(*key);
  return OpenedKey{std::move(key), signer ? std::move(*signer) : Signer()};
}

class SoftwareKeyKind final : public KeyKind {
 public:
  StatusOr<std::string> bind_new_keychain() override { return std::string(); }
  void unbind_keychain(std::string_view /*identity*/) override {}
  OSStatus check_usable(std::string_view /*keychain*/) override { return errSecSuccess; }

  StatusOr<NewKey> create(int bits) override {
    auto key = generate_rsa_key(bits);
    if (!key) return Unexpected(key.error());
    auto stored = encode_private_key(**key);
    if (!stored) return Unexpected(stored.error());
    OpenedKey made = with_signer(std::move(*key));
    return NewKey{DecodedKey(std::move(made.key), std::move(made.signer)), std::move(*stored)};
  }

  StatusOr<SecretBytes> stored_form(const SecretBytes& made, const KeyPlace& /*place*/) override {
    return made;
  }

  // Checked now and made on first use, from a copy of the stored bytes that is wiped once the
  // key is made or let go.
  StatusOr<DecodedKey> load(const SecretBytes& stored, const KeyPlace& /*place*/) override {
    auto numbers = check_rsa_private_key(stored.view());
    if (!numbers) return Unexpected(numbers.error());
    return DecodedKey(std::move(*numbers), [stored] {
      auto key = decode_rsa_private_key(stored.view());
      return key ? with_signer(std::move(*key)) : OpenedKey{};
    });
  }

  StatusOr<KeySignature> sign(Sha256Signer& signer, const SecretBytes& /*stored*/,
                              std::span<const std::uint8_t> digest) override {
    auto signature = sign_sha256_digest(signer, digest);
    if (!signature) return Unexpected(signature.error());
    return KeySignature{std::move(*signature), std::nullopt};
  }

  WhenUnloadable when_unloadable() const override { return WhenUnloadable::kHandOutUnusable; }
  AfterFailedUse after_failed_use() const override { return AfterFailedUse::kKeepLoaded; }
  // As many as the cache keeps: each costs only this process's memory.
  std::size_t loaded_limit() const override { return std::numeric_limits<std::size_t>::max(); }
};

}  // namespace

std::unique_ptr<KeyKind> make_software_key_kind() {
  return std::make_unique<SoftwareKeyKind>();
}

}  // namespace ktarn::platform::software
