#include "bridge/platform/software/keychain/software_keychain.hpp"

#include <cstdlib>
#include <memory>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/c_handle.hpp"
#include "bridge/platform/software/keychain/kept_state.hpp"
#include "bridge/platform/software/keychain/key_creation.hpp"
#include "bridge/platform/software/keychain/key_query.hpp"
#include "bridge/platform/software/keychain/keychain_objects.hpp"
#include "bridge/platform/software/keychain/keychain_status.hpp"
#include "bridge/platform/software/keys/rsa_der.hpp"

namespace ktarn::platform::software {

namespace {

const KeyObject* as_key(const Object& object) {
  return dynamic_cast<const KeyObject*>(&object);
}

Ref error_object(OSStatus status) {
  return std::make_unique<ErrorObject>(status);
}

std::string given_home() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  const passwd* user = ::getpwuid(::geteuid());
  return user != nullptr && user->pw_dir != nullptr ? user->pw_dir : "/";
}

std::string resolved(const std::string& path) {
  const CHandle<char, std::free> real(::realpath(path.c_str(), nullptr));
  return real ? std::string(real.get()) : path;
}

}  // namespace

// Resolved once, so that a home reached through a symbolic link names one folder for the whole
// run. A home that cannot be resolved (missing) is kept as given; opening fails on it.
std::string SoftwareKeychain::ns_home_directory() {
  if (home_.empty()) home_ = resolved(given_home());
  return home_;
}

// Any entry counts, a dangling symbolic link included, so that a bad keychain entry is refused
// by the open rather than silently passed over for another path.
bool SoftwareKeychain::file_exists_at_path(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

OSStatus SoftwareKeychain::sec_keychain_open(const std::string& path, Ref& keychain) {
  auto database = connection(path);
  if (!database) return database.error();
  keychain = std::make_unique<KeychainObject>(std::move(*database));
  return errSecSuccess;
}

// Every open vets the folders and the file again; only a connection to that very file, in that
// very folder, is reused. The connection's held folder lets that be proven from entries alone
// while nothing has changed; any change takes the full walk, which finds out what it was.
StatusOr<std::shared_ptr<KeychainDatabase>> SoftwareKeychain::connection(const std::string& path) {
  if (!kKeychainKeepsState) last_connection_.reset();
  std::optional<FileChange> change =
      last_connection_ ? last_connection_->unchanged_at(path) : std::nullopt;
  if (!change) {
    auto vetted = vet_keychain_file(path, KeychainAccess::kReadWrite);
    if (!vetted) return Unexpected(vetted.error());
    if (!last_connection_ || !last_connection_->is_open_on(path, *vetted)) {
      last_connection_.reset();
      // A keychain made on first use keeps its keys with the first kind that can be readied for
      // it now (the TPM when one answers, else sealed when a Secret Service takes its wrapping
      // key).
      auto database = KeychainDatabase::open(path, std::move(*vetted), KeychainAccess::kReadWrite,
                                             [this] { return kinds_.bind_first(); });
      if (!database) return Unexpected(database.error());
      last_connection_ = std::move(*database);
      return last_connection_;
    }
    change = vetted->change;
  }
  // The same file may have been rewritten in place since; it must still be a keychain.
  if (OSStatus status = last_connection_->make_keychain_if_changed(*change);
      status != errSecSuccess) {
    last_connection_.reset();
    return Unexpected(status);
  }
  return last_connection_;
}

OSStatus SoftwareKeychain::sec_keychain_get_status(const Object& keychain, std::uint32_t& status) {
  const auto* opened = dynamic_cast<const KeychainObject*>(&keychain);
  if (opened == nullptr) return errSecParam;
  if (OSStatus kept = opened->database().keep_reading(); kept != errSecSuccess) return kept;
  auto usable = usable_keychain(opened->database());
  if (!usable && usable.error() != errSecInteractionNotAllowed) return usable.error();
  constexpr std::uint32_t kReadWrite = 2 | 4;
  status = kReadWrite | (usable ? kSecUnlockStateStatus : 0);
  return errSecSuccess;
}

OSStatus SoftwareKeychain::sec_item_copy_matching(const Attributes& query, Ref& item) {
  if (OSStatus status = check_query(query, QueryUse::kCopyMatching); status != errSecSuccess) {
    return status;
  }
  auto keychains = search_list(query);
  if (!keychains) return keychains.error();
  const Attributes terms = search_terms(query);
  for (KeychainObject* keychain : *keychains) {
    auto transaction = keychain->database().continue_reading();
    if (!transaction) return transaction.error();
    auto identity = usable_keychain(keychain->database());
    if (!identity) return identity.error();
    auto found = keychain->database().first_item(terms);
    if (!found) return found.error();
    if (!*found) continue;
    const bool* return_ref = query.get<bool>(Attr::kSecReturnRef);
    if (return_ref == nullptr || !*return_ref) return errSecSuccess;
    auto object = key_object(std::move(**found), *identity);
    if (!object) return object.error();
    item = std::move(*object);
    return errSecSuccess;
  }
  return errSecItemNotFound;
}

OSStatus SoftwareKeychain::sec_item_delete(const Attributes& query) {
  if (OSStatus status = check_query(query, QueryUse::kDelete); status != errSecSuccess) {
    return status;
  }
  auto keychains = search_list(query);
  if (!keychains) return keychains.error();
  const Attributes terms = search_terms(query);
  std::int64_t deleted = 0;
  for (KeychainObject* keychain : *keychains) {
    auto transaction = keychain->database().begin_write();
    if (!transaction) return transaction.error();
    // Keys are removed only while they could be used: a kind that withholds them keeps them.
    if (auto usable = usable_keychain(keychain->database()); !usable) return usable.error();
    auto removed = keychain->database().remove_items(terms);
    if (!removed) return removed.error();
    if (OSStatus status = transaction->commit(); status != errSecSuccess) return status;
    deleted += *removed;
  }
  // A removed key must not stay usable, nor in memory, through an earlier decode.
  if (deleted != 0) decoded_keys_.forget_all();
  return deleted != 0 ? errSecSuccess : errSecItemNotFound;
}

CFTypeID SoftwareKeychain::cf_get_type_id(const Object& object) {
  if (as_key(object) != nullptr) return kKeyTypeId;
  if (dynamic_cast<const KeychainObject*>(&object) != nullptr) return kKeychainTypeId;
  if (dynamic_cast<const ErrorObject*>(&object) != nullptr) return kErrorTypeId;
  return 0;
}

CFTypeID SoftwareKeychain::sec_key_get_type_id() {
  return kKeyTypeId;
}

Ref SoftwareKeychain::sec_key_create_random_key(const Attributes& parameters, Ref& error) {
  auto created = create_key(parameters, kinds_);
  if (created && !created->key) {
    // Another process stored the key first: that one is used, like any stored key.
    auto stored = key_object(std::move(created->item), created->keychain_identity);
    if (stored) return std::move(*stored);
    created = Unexpected(stored.error());
  }
  if (!created) {
    error = error_object(created.error());
    return nullptr;
  }
  DecodedKey decoded = decoded_keys_.remember(
      created->item.private_key, KeyPlace{created->keychain_identity, created->item.id},
      std::move(created->key), *created->kind);
  return std::make_unique<KeyObject>(std::move(created->item),
                                     std::move(created->keychain_identity), std::move(decoded),
                                     *created->kind);
}

// The size and type come from the key itself, never from what its item says, so a key stored
// under a false description is judged by what it is; a stored key that does not decode to a
// sound key has no attributes to judge.
std::optional<Attributes> SoftwareKeychain::sec_key_copy_attributes(const Object& key) {
  const KeyObject* found = as_key(key);
  if (found == nullptr || !found->decoded().is_rsa()) return std::nullopt;
  Attributes attributes = item_attributes(found->item());
  attributes.set(Attr::kSecAttrKeyType, Constant::kSecAttrKeyTypeRSA);
  attributes.set(Attr::kSecAttrKeySizeInBits,
                 std::int64_t{size_in_bits(found->decoded().numbers())});
  return attributes;
}

Ref SoftwareKeychain::sec_key_copy_public_key(const Object& key) {
  const KeyObject* found = as_key(key);
  if (found == nullptr || !found->decoded().is_rsa()) return nullptr;
  KeyItem public_half = found->item();
  public_half.set(Attr::kSecAttrKeyClass, Constant::kSecAttrKeyClassPublic);
  public_half.set(Attr::kSecAttrIsPermanent, false);
  public_half.set(Attr::kSecAttrIsSensitive, false);
  public_half.set(Attr::kSecAttrIsExtractable, true);
  public_half.set(Attr::kSecAttrCanSign, false);
  public_half.private_key = SecretBytes();
  return std::make_unique<KeyObject>(std::move(public_half), std::string(),
                                     found->decoded().public_half(), found->kind());
}

// Only public keys are exported; a private key never leaves the keychain, extractable or not.
std::optional<Bytes> SoftwareKeychain::sec_key_copy_external_representation(const Object& key,
                                                                            Ref& error) {
  const KeyObject* found = as_key(key);
  OSStatus status = errSecParam;
  if (found != nullptr &&
      found->item().get<Constant>(Attr::kSecAttrKeyClass) != Constant::kSecAttrKeyClassPublic) {
    status = errSecDataNotAvailable;
  } else if (found != nullptr && found->decoded().is_rsa()) {
    const RsaPublicNumbers& numbers = found->decoded().numbers();
    return write_rsa_public_key(numbers.modulus, numbers.exponent);
  }
  error = error_object(status);
  return std::nullopt;
}

bool SoftwareKeychain::sec_key_is_algorithm_supported(const Object& key, KeyOperationType operation,
                                                      KeyAlgorithm algorithm) {
  const KeyObject* found = as_key(key);
  return found != nullptr && found->decoded().is_rsa() &&
         found->item().get<Constant>(Attr::kSecAttrKeyClass) == Constant::kSecAttrKeyClassPrivate &&
         found->item().get<bool>(Attr::kSecAttrCanSign) &&
         operation == KeyOperationType::kSecKeyOperationTypeSign &&
         algorithm == KeyAlgorithm::kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256;
}

std::optional<Bytes> SoftwareKeychain::sec_key_create_signature(const Object& key,
                                                                KeyAlgorithm algorithm,
                                                                std::span<const std::uint8_t> data,
                                                                Ref& error) {
  constexpr std::size_t kSha256Size = 32;
  if (!sec_key_is_algorithm_supported(key, KeyOperationType::kSecKeyOperationTypeSign, algorithm) ||
      data.size() != kSha256Size) {
    error = error_object(errSecParam);
    return std::nullopt;
  }
  const KeyObject& found = *as_key(key);
  if (found.signer() == nullptr) {
    error = error_object(errSecInternalComponent);
    return std::nullopt;
  }
  auto made = found.kind().sign(*found.signer(), found.item().private_key, data);
  if (!made) {
    // The key's device may have gone since it was loaded: the next use loads it again, and says
    // why it cannot.
    if (found.kind().after_failed_use() == AfterFailedUse::kLoadAgain) {
      decoded_keys_.forget(found.kind());
    }
    error = error_object(made.error());
    return std::nullopt;
  }
  if (made->reloaded) {
    decoded_keys_.remember(found.item().private_key, found.place(), std::move(*made->reloaded),
                           found.kind());
  }
  return std::move(made->signature);
}

// A key that does not load is handed out unusable, or fails the lookup, as its kind says.
StatusOr<Ref> SoftwareKeychain::key_object(KeyItem item, std::string_view keychain_identity) {
  auto kind = kinds_.kind(item.storage());
  if (!kind) return Unexpected(kind.error());
  const KeyPlace place{keychain_identity, item.id};
  DecodedKey decoded;
  if (const DecodedKey* kept = decoded_keys_.find(item.private_key, place)) {
    decoded = *kept;
  } else if (auto loaded = (*kind)->load(item.private_key, place)) {
    decoded = decoded_keys_.remember(item.private_key, place, std::move(*loaded), **kind);
  } else if ((*kind)->when_unloadable() == WhenUnloadable::kFailLookup) {
    return Unexpected(loaded.error());
  }
  return Ref(std::make_unique<KeyObject>(std::move(item), std::string(keychain_identity),
                                         std::move(decoded), **kind));
}

// Nor does a key decoded earlier stay in memory while its kind withholds the keychain's keys.
StatusOr<std::string> SoftwareKeychain::usable_keychain(KeychainDatabase& database) {
  auto identity = check_usable(database, kinds_);
  if (!identity && identity.error() == errSecInteractionNotAllowed) decoded_keys_.forget_all();
  return identity;
}

}  // namespace ktarn::platform::software
