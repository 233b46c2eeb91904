// The user's Secret Service (the desktop's keyring, reached over the session bus), holding one
// 256-bit wrapping key for each sealed keychain file, in its default collection, as an item whose
// attributes name the schema and the keychain's identity. It is only ever asked, never started,
// unlocked or prompted: no service owning its name on the session bus, a locked collection and a
// missing wrapping key are all one answer, kLocked, which a person ends by unlocking through the
// desktop. A store that finds more than one item for a keychain answers kFailed and uses none of
// them: which one sealed the keychain's keys cannot be told, and sealing new keys under a guess
// would leave the keychain's keys split between two wrapping keys.
//
// The session bus is the one DBUS_SESSION_BUS_ADDRESS names, or else the user's bus in
// XDG_RUNTIME_DIR; without either there is no Secret Service, and none is started for this
// process (session_bus.hpp). libdbus is loaded only when a store first needs the bus.
//
// A key once read is kept, with the item it came from, and answered again without asking the
// service, for as long as nothing arrives on the bus that could change it: the store subscribes to
// every signal the service sends and to its owner's changes, and at the start of every use reads
// what has arrived and drops the kept key on any of them, as on the service's owner changing and
// on the bus connection ending. That is exact because the service announces a change (a lock, an
// item deleted) before it answers whoever made it, and the bus delivers one sender's messages in
// order: by the time a locker has its answer, the change is already waiting on this connection.
//
// The secret travels in a "plain" session: the bus is the user's own, and any process of the user
// that could watch it could equally ask the unlocked collection for the key itself.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "base/expected.hpp"
#include "bridge/platform/software/keys/rsa_key.hpp"
#include "bridge/platform/status_codes.hpp"

namespace ktarn::platform::software {

class SessionBus;

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
  WrappingKeyStore();
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
  // The bus, connected, with a session opened with the service's present owner; nullptr when
  // either cannot be had.
  SessionBus* reach_service(std::chrono::steady_clock::time_point deadline);
  // Drops the kept key (and the session, when the service's owner changed) if anything arrived
  // that could have changed them.
  void read_news();
  void forget_kept_key();

  std::unique_ptr<SessionBus> bus_;
  std::string session_;
  // The key last read and the keychain it is for.
  std::string kept_keychain_;
  SecretBytes kept_key_;
};

}  // namespace ktarn::platform::software
