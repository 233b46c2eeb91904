// The user's Secret Service (the desktop's keyring, reached over the session bus through
// libsecret), holding one 256-bit wrapping key for each sealed keychain file, in its default
// collection, as an item whose attributes name the schema and the keychain's identity. It is
// only ever asked, never started, unlocked or prompted: no service owning its name on the
// session bus, a locked collection and a missing wrapping key are all one answer, kLocked, which
// a person ends by unlocking through the desktop. Every use asks the service again whether the
// key is there and unlocked, so a collection locked a moment ago is seen at once; only the key's
// bytes are kept, and only while that answer stays yes.
//
// The session bus is the one DBUS_SESSION_BUS_ADDRESS names, or else the user's bus in
// XDG_RUNTIME_DIR; without either there is no Secret Service, and none is started for this
// process. libsecret brings GLib and GDBus along, whose worker thread carries the bus's messages
// once a bus was first reached.
#pragma once

#include <string>
#include <string_view>

#include "base/expected.hpp"
#include "bridge/platform/software/keys/rsa_key.hpp"
#include "bridge/platform/status_codes.hpp"

struct _SecretService;

namespace ktarn::platform::software {

// Why a sealed key could not be made or used.
enum class SealFailure {
  kLocked,   // no Secret Service answers, its collection is locked, or the wrapping key is gone
  kRefused,  // the sealed blob does not open under its wrapping key: damaged, or another item's
  kFailed,   // OpenSSL or the Secret Service failed otherwise
};

// The keychain status code a sealing failure is reported with.
OSStatus status_from_seal_failure(SealFailure failure);

template <class T>
using SealResult = Expected<T, SealFailure>;

inline constexpr std::string_view kWrappingKeySchema = "org.ktarn.Companion.WrappingKey";
inline constexpr std::string_view kWrappingKeyAttribute = "keychain";

class WrappingKeyStore {
 public:
  WrappingKeyStore() = default;
  ~WrappingKeyStore();
  WrappingKeyStore(const WrappingKeyStore&) = delete;
  WrappingKeyStore& operator=(const WrappingKeyStore&) = delete;

  // The wrapping key stored for the keychain identity, while it is there and unlocked.
  SealResult<SecretBytes> wrapping_key(std::string_view keychain);
  // A fresh wrapping key stored for the keychain identity in the default collection, while that
  // collection exists and is unlocked.
  SealResult<SecretBytes> store_new_wrapping_key(std::string_view keychain);
  // Removes the wrapping key stored for a keychain identity that was then never recorded in a
  // file (another process made the keychain first, or the file could not be written).
  void remove_wrapping_key(std::string_view keychain);

 private:
  _SecretService* connect();
  void forget_kept_key();
  void disconnect();

  _SecretService* service_ = nullptr;
  // The key last read, the item path it was read from and the keychain it is for.
  std::string kept_path_;
  std::string kept_keychain_;
  SecretBytes kept_key_;
};

}  // namespace ktarn::platform::software
