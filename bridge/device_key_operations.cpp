#include "bridge/device_key_operations.hpp"

#include "bridge/device_key_store.hpp"

namespace ktarn::bridge {
namespace {

using platform::Bytes;
using platform::Ref;

constexpr std::size_t kDigestLength = 32;
constexpr auto kSignatureAlgorithm =
    platform::KeyAlgorithm::kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256;

platform::Dictionary single_member(std::string name, platform::Value value) {
  platform::Dictionary result;
  result.set(std::move(name), std::move(value));
  return result;
}

platform::Dictionary base64_result(platform::Platform& platform, std::string name,
                                   const Bytes& bytes) {
  return single_member(std::move(name),
                       platform::Value{platform.foundation.base64_encoded_string(bytes)});
}

// The public half's export, with the public key and any error object released before it returns.
std::optional<Bytes> exported_public_key(platform::Keychain& keychain,
                                         const platform::Object& key) {
  const Ref public_key = keychain.sec_key_copy_public_key(key);
  if (!public_key) return std::nullopt;
  Ref export_error;
  return keychain.sec_key_copy_external_representation(*public_key, export_error);
}

std::optional<Bytes> signature_over(platform::Keychain& keychain, const platform::Object& key,
                                    const Bytes& digest) {
  Ref signing_error;
  return keychain.sec_key_create_signature(key, kSignatureAlgorithm, digest, signing_error);
}

}  // namespace

std::optional<platform::Dictionary> run_key(platform::Platform& platform,
                                            const std::string& key_name,
                                            const std::optional<std::string>&, MessageSlot& error) {
  const Ref key = copy_device_key(platform.keychain, key_name, true, error);
  if (!key) return std::nullopt;
  const auto der = exported_public_key(platform.keychain, *key);
  if (!der) {
    error = "macOS public device key export failed";
    return std::nullopt;
  }
  return base64_result(platform, "publicDer", *der);
}

std::optional<platform::Dictionary> run_sign(platform::Platform& platform,
                                             const std::string& key_name,
                                             const std::optional<std::string>& argument,
                                             MessageSlot& error) {
  const Ref key = copy_device_key(platform.keychain, key_name, true, error);
  if (!key) return std::nullopt;
  const auto digest = platform.foundation.init_with_base64_encoded_string(argument.value_or(""));
  if (!digest || digest->size() != kDigestLength) {
    error = "Invalid SHA-256 signing digest";
    return std::nullopt;
  }
  if (!platform.keychain.sec_key_is_algorithm_supported(
          *key, platform::KeyOperationType::kSecKeyOperationTypeSign, kSignatureAlgorithm)) {
    error = "RS256 signing unavailable for device key";
    return std::nullopt;
  }
  const auto signature = signature_over(platform.keychain, *key, *digest);
  if (!signature) {
    error = "macOS device signing failed; check login Keychain access";
    return std::nullopt;
  }
  return base64_result(platform, "signature", *signature);
}

std::optional<platform::Dictionary> run_delete_key(platform::Platform& platform,
                                                   const std::string& key_name,
                                                   const std::optional<std::string>&,
                                                   MessageSlot& error) {
  const Bytes tag(key_name.begin(), key_name.end());
  const auto query = login_keychain_query(platform.keychain, tag, error);
  if (!query) return std::nullopt;
  const platform::OSStatus status = platform.keychain.sec_item_delete(*query);
  if (status != platform::errSecSuccess && status != platform::errSecItemNotFound) {
    error = keychain_failure_message("Application key deletion", status);
    return std::nullopt;
  }
  const std::int64_t deleted = status == platform::errSecSuccess ? 1 : 0;
  return single_member("deleted", platform::Value{deleted});
}

}  // namespace ktarn::bridge
