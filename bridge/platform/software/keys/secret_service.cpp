#include "bridge/platform/software/keys/secret_service.hpp"

#include <openssl/crypto.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/utf8.hpp"
#include "bridge/platform/software/keys/key_sealing.hpp"
#include "bridge/platform/software/keys/session_bus.hpp"

namespace ktarn::platform::software {

namespace {

// One use of the service (every call it takes, connecting included) gives up after this: a
// keyring that has not answered by then is taken for one that is not there.
constexpr auto kUseBound = std::chrono::seconds(5);

constexpr const char* kServicePath = "/org/freedesktop/secrets";
constexpr const char* kServiceInterface = "org.freedesktop.Secret.Service";
constexpr const char* kCollectionInterface = "org.freedesktop.Secret.Collection";
constexpr const char* kItemInterface = "org.freedesktop.Secret.Item";
constexpr const char* kNoObject = "/";
constexpr const char* kContentType = "application/octet-stream";

// Whether a keychain identity can be sent as a D-Bus string as it is (libdbus ends the process on
// one that is not UTF-8, and a NUL would cut it short to another keychain's identity). The
// identities this system makes always can; one read from a damaged file may not, and names no
// item then.
bool sendable(std::string_view keychain) {
  return is_valid_utf8(keychain) && keychain.find('\0') == std::string_view::npos;
}

Deadline deadline_of_use() {
  return std::chrono::steady_clock::now() + kUseBound;
}

// Appends to a request; false only when libdbus runs out of memory.
class Appender {
 public:
  Appender(const DbusFunctions& dbus, DBusMessage& message) : dbus_(dbus) {
    dbus_.message_iter_init_append(&message, &iter_);
  }
  bool text(int type, const char* value) {
    return dbus_.message_iter_append_basic(&iter_, type, &value) != FALSE;
  }
  bool boolean(bool value) {
    const dbus_bool_t boxed = value ? TRUE : FALSE;
    return dbus_.message_iter_append_basic(&iter_, DBUS_TYPE_BOOLEAN, &boxed) != FALSE;
  }
  bool bytes(std::span<const std::uint8_t> value) {
    DBusMessageIter array;
    const std::uint8_t* data = value.data();
    return dbus_.message_iter_open_container(&iter_, DBUS_TYPE_ARRAY, "y", &array) &&
           dbus_.message_iter_append_fixed_array(&array, DBUS_TYPE_BYTE, &data,
                                                 static_cast<int>(value.size())) &&
           dbus_.message_iter_close_container(&iter_, &array);
  }
  // An inner value of the given kind and signature, filled in by fill(Appender&).
  template <class Fill>
  bool nested(int type, const char* signature, Fill fill) {
    Appender inner(dbus_);
    return dbus_.message_iter_open_container(&iter_, type, signature, &inner.iter_) &&
           fill(inner) && dbus_.message_iter_close_container(&iter_, &inner.iter_);
  }

 private:
  explicit Appender(const DbusFunctions& dbus) : dbus_(dbus) {}

  const DbusFunctions& dbus_;
  DBusMessageIter iter_;
};

// The attributes that name a keychain's wrapping key, as a{ss}.
bool append_attributes(Appender& to, const std::string& keychain) {
  const std::array<std::array<const char*, 2>, 2> pairs = {{
      {"xdg:schema", kWrappingKeySchema.data()},
      {kWrappingKeyAttribute.data(), keychain.c_str()},
  }};
  return to.nested(DBUS_TYPE_ARRAY, "{ss}", [&](Appender& array) {
    for (const auto& pair : pairs) {
      if (!array.nested(DBUS_TYPE_DICT_ENTRY, nullptr, [&](Appender& entry) {
            return entry.text(DBUS_TYPE_STRING, pair[0]) && entry.text(DBUS_TYPE_STRING, pair[1]);
          })) {
        return false;
      }
    }
    return true;
  });
}

// One entry of an a{sv} of properties: the name, and a variant of the signature fill() writes.
template <class Fill>
bool append_property(Appender& properties, const char* name, const char* signature, Fill fill) {
  return properties.nested(DBUS_TYPE_DICT_ENTRY, nullptr, [&](Appender& entry) {
    return entry.text(DBUS_TYPE_STRING, name) && entry.nested(DBUS_TYPE_VARIANT, signature, fill);
  });
}

// The object path that is argument `index` of a reply whose signature was checked.
std::string path_argument(const DbusFunctions& dbus, DBusMessage& reply, int index) {
  DBusMessageIter argument;
  dbus.message_iter_init(&reply, &argument);
  for (int i = 0; i < index; ++i) dbus.message_iter_next(&argument);
  const char* path = nullptr;
  dbus.message_iter_get_basic(&argument, &path);
  return path;
}

// The value bytes of the (oayays) secret the iterator is at, as they lie in the message.
std::span<std::uint8_t> secret_value(const DbusFunctions& dbus, DBusMessageIter& secret) {
  DBusMessageIter field;
  DBusMessageIter bytes;
  dbus.message_iter_recurse(&secret, &field);
  dbus.message_iter_next(&field);  // the session
  dbus.message_iter_next(&field);  // the algorithm's parameters, none for "plain"
  dbus.message_iter_recurse(&field, &bytes);
  const std::uint8_t* data = nullptr;
  int size = 0;
  dbus.message_iter_get_fixed_array(&bytes, &data, &size);
  // libdbus hands out its own buffer read-only; it is written only to wipe it before it is freed.
  return {const_cast<std::uint8_t*>(data), static_cast<std::size_t>(size)};
}

// The secret that is argument `index` of a message, wiped where it lies.
void wipe_secret(const DbusFunctions& dbus, DBusMessage& message, int index) {
  DBusMessageIter argument;
  dbus.message_iter_init(&message, &argument);
  for (int i = 0; i < index; ++i) dbus.message_iter_next(&argument);
  const std::span<std::uint8_t> value = secret_value(dbus, argument);
  OPENSSL_cleanse(value.data(), value.size());
}

// A session for handing secrets over, in the plain algorithm; empty when none was opened.
std::string open_session(SessionBus& bus, Deadline deadline) {
  Message request = bus.method_call(kServicePath, kServiceInterface, "OpenSession");
  if (!request) return {};
  Appender arguments(bus.dbus(), *request);
  if (!arguments.text(DBUS_TYPE_STRING, "plain") ||
      !arguments.nested(DBUS_TYPE_VARIANT, "s",
                        [](Appender& input) { return input.text(DBUS_TYPE_STRING, ""); })) {
    return {};
  }
  Message reply = bus.call(request, "vo", deadline);
  return reply ? path_argument(bus.dbus(), *reply, 1) : std::string();
}

// The default collection, which is never made here (that would ask the person for a password);
// none when the service does not answer or has none.
std::optional<std::string> default_collection(SessionBus& bus, Deadline deadline) {
  Message request = bus.method_call(kServicePath, kServiceInterface, "ReadAlias");
  if (!request || !Appender(bus.dbus(), *request).text(DBUS_TYPE_STRING, "default")) {
    return std::nullopt;
  }
  Message reply = bus.call(request, "o", deadline);
  if (!reply) return std::nullopt;
  std::string path = path_argument(bus.dbus(), *reply, 0);
  if (path == kNoObject) return std::nullopt;
  return path;
}

// The items of the default collection that hold the keychain's wrapping key; none when the
// service does not answer or has no default collection.
std::optional<std::vector<std::string>> find_items(SessionBus& bus, const std::string& keychain,
                                                   Deadline deadline) {
  auto collection = default_collection(bus, deadline);
  if (!collection) return std::nullopt;
  Message request = bus.method_call(collection->c_str(), kCollectionInterface, "SearchItems");
  if (!request) return std::nullopt;
  Appender arguments(bus.dbus(), *request);
  if (!append_attributes(arguments, keychain)) return std::nullopt;
  Message reply = bus.call(request, "ao", deadline);
  if (!reply) return std::nullopt;
  const DbusFunctions& dbus = bus.dbus();
  DBusMessageIter array;
  DBusMessageIter element;
  dbus.message_iter_init(reply.get(), &array);
  dbus.message_iter_recurse(&array, &element);
  std::vector<std::string> paths;
  while (dbus.message_iter_get_arg_type(&element) == DBUS_TYPE_OBJECT_PATH) {
    const char* path = nullptr;
    dbus.message_iter_get_basic(&element, &path);
    paths.emplace_back(path);
    dbus.message_iter_next(&element);
  }
  return paths;
}

// Whether the collection says it is unlocked; one that cannot say is taken for locked.
bool collection_unlocked(SessionBus& bus, const std::string& collection, Deadline deadline) {
  Message request = bus.method_call(collection.c_str(), "org.freedesktop.DBus.Properties", "Get");
  if (!request) return false;
  Appender arguments(bus.dbus(), *request);
  if (!arguments.text(DBUS_TYPE_STRING, kCollectionInterface) ||
      !arguments.text(DBUS_TYPE_STRING, "Locked")) {
    return false;
  }
  Message reply = bus.call(request, "v", deadline);
  if (!reply) return false;
  const DbusFunctions& dbus = bus.dbus();
  DBusMessageIter variant;
  DBusMessageIter value;
  dbus.message_iter_init(reply.get(), &variant);
  dbus.message_iter_recurse(&variant, &value);
  if (dbus.message_iter_get_arg_type(&value) != DBUS_TYPE_BOOLEAN) return false;
  dbus_bool_t locked = TRUE;
  dbus.message_iter_get_basic(&value, &locked);
  return locked == FALSE;
}

// A prompt the service answered with instead of doing what was asked is dismissed unseen: only a
// person at the desktop unlocks anything.
void dismiss(SessionBus& bus, const std::string& prompt, Deadline deadline) {
  if (prompt == kNoObject) return;
  Message request = bus.method_call(prompt.c_str(), "org.freedesktop.Secret.Prompt", "Dismiss");
  bus.call(request, "", deadline);
}

// The secret of the item, while the service hands it out (its collection unlocked).
SealResult<SecretBytes> read_secret(SessionBus& bus, const std::string& session,
                                    const std::string& item, Deadline deadline) {
  Message request = bus.method_call(item.c_str(), kItemInterface, "GetSecret");
  if (!request || !Appender(bus.dbus(), *request).text(DBUS_TYPE_OBJECT_PATH, session.c_str())) {
    return Unexpected(SealFailure::kFailed);
  }
  Message reply = bus.call(request, "(oayays)", deadline);
  if (!reply) return Unexpected(SealFailure::kLocked);
  DBusMessageIter secret;
  bus.dbus().message_iter_init(reply.get(), &secret);
  const std::span<std::uint8_t> value = secret_value(bus.dbus(), secret);
  SealResult<SecretBytes> key = value.size() == kWrappingKeySize
                                    ? SealResult<SecretBytes>(SecretBytes(value))
                                    : Unexpected(SealFailure::kRefused);
  OPENSSL_cleanse(value.data(), value.size());
  return key;
}

// A new item in the collection holding the key for the keychain, and the prompt the service
// answered with instead, if it did ("/" when none).
struct Created {
  std::string item;
  std::string prompt;
};
std::optional<Created> create_item(SessionBus& bus, const std::string& session,
                                   const std::string& collection, const std::string& keychain,
                                   const SecretBytes& key, Deadline deadline) {
  Message request = bus.method_call(collection.c_str(), kCollectionInterface, "CreateItem");
  if (!request) return std::nullopt;
  const std::string label = "ktarn-companion keychain wrapping key " + keychain;
  Appender arguments(bus.dbus(), *request);
  const bool built = arguments.nested(DBUS_TYPE_ARRAY, "{sv}", [&](Appender& properties) {
    return append_property(
               properties, "org.freedesktop.Secret.Item.Label", "s",
               [&](Appender& value) { return value.text(DBUS_TYPE_STRING, label.c_str()); }) &&
           append_property(properties, "org.freedesktop.Secret.Item.Attributes", "a{ss}",
                           [&](Appender& value) { return append_attributes(value, keychain); });
  }) && arguments.nested(DBUS_TYPE_STRUCT, nullptr, [&](Appender& secret) {
    return secret.text(DBUS_TYPE_OBJECT_PATH, session.c_str()) && secret.bytes({}) &&
           secret.bytes(key.view()) && secret.text(DBUS_TYPE_STRING, kContentType);
  }) && arguments.boolean(false);
  if (!built) return std::nullopt;
  Message reply = bus.call(request, "oo", deadline);
  wipe_secret(bus.dbus(), *request, 1);
  if (!reply) return std::nullopt;
  return Created{path_argument(bus.dbus(), *reply, 0), path_argument(bus.dbus(), *reply, 1)};
}

}  // namespace

OSStatus status_from_seal_failure(SealFailure failure) {
  switch (failure) {
    case SealFailure::kLocked:
      return errSecInteractionNotAllowed;
    case SealFailure::kRefused:
      return errSecDecode;
    case SealFailure::kFailed:
      break;
  }
  return errSecInternalComponent;
}

WrappingKeyStore::WrappingKeyStore() = default;
WrappingKeyStore::~WrappingKeyStore() = default;

void WrappingKeyStore::read_news() {
  if (!bus_) return;
  const SessionBus::News news = bus_->drain();
  if (news.anything) forget_kept_key();
  if (news.owner_changed) session_.clear();
  if (!bus_->connected()) bus_.reset();
}

SessionBus* WrappingKeyStore::reach_service(Deadline deadline) {
  if (!bus_) {
    auto address = session_bus_address();
    auto bus = address ? SessionBus::connect(*address, deadline) : std::nullopt;
    if (!bus) return nullptr;
    bus_ = std::make_unique<SessionBus>(std::move(*bus));
    session_.clear();
  }
  if (session_.empty()) session_ = open_session(*bus_, deadline);
  return session_.empty() ? nullptr : bus_.get();
}

void WrappingKeyStore::forget_kept_key() {
  kept_keychain_.clear();
  kept_key_ = SecretBytes();
}

SealResult<SecretBytes> WrappingKeyStore::wrapping_key(std::string_view keychain) {
  read_news();
  if (!kept_key_.view().empty() && keychain == kept_keychain_) return kept_key_;
  forget_kept_key();
  if (!sendable(keychain)) return Unexpected(SealFailure::kLocked);
  const Deadline deadline = deadline_of_use();
  SessionBus* bus = reach_service(deadline);
  if (bus == nullptr) return Unexpected(SealFailure::kLocked);
  const std::string identity(keychain);
  auto items = find_items(*bus, identity, deadline);
  if (!items || items->empty()) return Unexpected(SealFailure::kLocked);
  if (items->size() > 1) return Unexpected(SealFailure::kFailed);
  auto key = read_secret(*bus, session_, items->front(), deadline);
  if (!key) return key;
  kept_key_ = *key;
  kept_keychain_ = identity;
  return key;
}

SealResult<SecretBytes> WrappingKeyStore::store_new_wrapping_key(std::string_view keychain) {
  read_news();
  if (!sendable(keychain)) return Unexpected(SealFailure::kFailed);
  const Deadline deadline = deadline_of_use();
  SessionBus* bus = reach_service(deadline);
  if (bus == nullptr) return Unexpected(SealFailure::kLocked);
  auto collection = default_collection(*bus, deadline);
  // Asked first so that a locked collection is never even offered the item: storing into it
  // would have the service make a prompt.
  if (!collection || !collection_unlocked(*bus, *collection, deadline)) {
    return Unexpected(SealFailure::kLocked);
  }
  SecretBytes key = new_wrapping_key();
  if (key.view().empty()) return Unexpected(SealFailure::kFailed);
  const std::string identity(keychain);
  auto created = create_item(*bus, session_, *collection, identity, key, deadline);
  if (!created) return Unexpected(SealFailure::kLocked);
  if (created->prompt != kNoObject || created->item == kNoObject) {
    dismiss(*bus, created->prompt, deadline);
    return Unexpected(SealFailure::kLocked);
  }
  kept_key_ = key;
  kept_keychain_ = identity;
  return key;
}

void WrappingKeyStore::remove_wrapping_key(std::string_view keychain) {
  read_news();
  if (keychain == kept_keychain_) forget_kept_key();
  if (!sendable(keychain)) return;
  const Deadline deadline = deadline_of_use();
  SessionBus* bus = reach_service(deadline);
  if (bus == nullptr) return;
  auto items = find_items(*bus, std::string(keychain), deadline);
  for (const std::string& item : items.value_or(std::vector<std::string>{})) {
    Message reply =
        bus->call(bus->method_call(item.c_str(), kItemInterface, "Delete"), "o", deadline);
    if (reply) dismiss(*bus, path_argument(bus->dbus(), *reply, 0), deadline);
  }
}

}  // namespace ktarn::platform::software
