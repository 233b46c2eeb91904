#include "bridge/platform/software/keys/secret_service.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

// The item paths interface, which lets every call name the item and unlock nothing.
#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>

#include "base/c_handle.hpp"
#include "bridge/platform/software/keys/key_sealing.hpp"

namespace ktarn::platform::software {

namespace {

constexpr const char* kServiceName = "org.freedesktop.secrets";
constexpr const char* kCollectionInterface = "org.freedesktop.Secret.Collection";
constexpr const char* kContentType = "application/octet-stream";
// A keyring that does not answer within this is taken for one that is not there.
constexpr int kCallTimeoutMs = 5000;

using Error = CHandle<GError, g_error_free>;
using Connection = CHandle<GDBusConnection, g_object_unref>;
using Table = CHandle<GHashTable, g_hash_table_unref>;
using Variant = CHandle<GVariant, g_variant_unref>;
using Value = CHandle<SecretValue, secret_value_unref>;
using Paths = CHandle<gchar*, g_strfreev>;
using Text = CHandle<gchar, g_free>;

// Messages the bus delivered to this thread's main context meanwhile (signals of libsecret's
// proxies) are handled now, so they do not pile up in a process that runs no main loop.
void handle_pending_messages() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

// The session bus when one is named; never one started for this process (GLib would otherwise
// launch a bus of its own where none is named).
Connection session_bus() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address == nullptr || address[0] == '\0') {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat info {};
    if (runtime == nullptr || runtime[0] != '/' ||
        ::stat((std::string(runtime) + "/bus").c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) {
      return nullptr;
    }
  }
  GError* error = nullptr;
  Connection bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error));
  Error owned(error);
  // A bus that goes away ends the keyring's answers, not the process.
  if (bus) g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
  return bus;
}

// Whether the Secret Service owns its name on the bus now. Asked of the bus itself, so that a
// service installed for activation is never started by the question or by what follows it.
bool service_answers(GDBusConnection& bus) {
  GError* error = nullptr;
  Variant reply(g_dbus_connection_call_sync(
      &bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", kServiceName), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NO_AUTO_START,
      kCallTimeoutMs, nullptr, &error));
  Error owned(error);
  gboolean owned_name = FALSE;
  if (reply) g_variant_get(reply.get(), "(b)", &owned_name);
  return owned_name != FALSE;
}

// The attributes that find a keychain's wrapping key; the strings must outlive the table.
Table key_attributes(const std::string& keychain) {
  Table attributes(g_hash_table_new(g_str_hash, g_str_equal));
  g_hash_table_insert(attributes.get(), const_cast<char*>("xdg:schema"),
                      const_cast<char*>(kWrappingKeySchema.data()));
  g_hash_table_insert(attributes.get(), const_cast<char*>(kWrappingKeyAttribute.data()),
                      const_cast<char*>(keychain.c_str()));
  return attributes;
}

// The item paths the service finds for a keychain's wrapping key, those it would hand out and
// those in a locked collection; none when no service answers. One call to the service itself,
// which is never started by it (a name without an owner fails the call), and which unlocks
// nothing.
struct FoundPaths {
  std::vector<std::string> unlocked;
  std::vector<std::string> locked;
};
std::optional<FoundPaths> search_items(GDBusConnection& bus, const std::string& keychain) {
  GVariantBuilder attributes;
  g_variant_builder_init(&attributes, G_VARIANT_TYPE("a{ss}"));
  g_variant_builder_add(&attributes, "{ss}", "xdg:schema", kWrappingKeySchema.data());
  g_variant_builder_add(&attributes, "{ss}", kWrappingKeyAttribute.data(), keychain.c_str());
  GError* error = nullptr;
  Variant reply(g_dbus_connection_call_sync(
      &bus, kServiceName, "/org/freedesktop/secrets", "org.freedesktop.Secret.Service",
      "SearchItems", g_variant_new("(a{ss})", &attributes), G_VARIANT_TYPE("(aoao)"),
      G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, &error));
  Error owned(error);
  if (!reply) return std::nullopt;
  FoundPaths found;
  GVariantIter* unlocked = nullptr;
  GVariantIter* locked = nullptr;
  g_variant_get(reply.get(), "(aoao)", &unlocked, &locked);
  const char* path = nullptr;
  while (g_variant_iter_next(unlocked, "&o", &path)) found.unlocked.emplace_back(path);
  while (g_variant_iter_next(locked, "&o", &path)) found.locked.emplace_back(path);
  g_variant_iter_free(unlocked);
  g_variant_iter_free(locked);
  return found;
}

// Whether the collection at path says it is locked; a collection that cannot say is.
bool collection_locked(GDBusConnection& bus, const char* path) {
  GError* error = nullptr;
  Variant reply(g_dbus_connection_call_sync(
      &bus, kServiceName, path, "org.freedesktop.DBus.Properties", "Get",
      g_variant_new("(ss)", kCollectionInterface, "Locked"), G_VARIANT_TYPE("(v)"),
      G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, &error));
  Error owned(error);
  if (!reply) return true;
  GVariant* boxed = nullptr;
  g_variant_get(reply.get(), "(v)", &boxed);
  Variant value(boxed);
  return !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN) ||
         g_variant_get_boolean(value.get()) != FALSE;
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

WrappingKeyStore::~WrappingKeyStore() {
  if (service_ != nullptr) g_object_unref(service_);
}

// The service, connected while it answers. Any failure drops it and libsecret's shared one, so
// that a keyring started again is reached afresh (its sessions died with the old one).
::SecretService* WrappingKeyStore::connect() {
  handle_pending_messages();
  Connection bus = session_bus();
  if (!bus || !service_answers(*bus)) {
    disconnect();
    return nullptr;
  }
  if (service_ == nullptr) {
    GError* error = nullptr;
    service_ = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    Error owned(error);
  }
  return service_;
}

void WrappingKeyStore::forget_kept_key() {
  kept_path_.clear();
  kept_keychain_.clear();
  kept_key_ = SecretBytes();
}

void WrappingKeyStore::disconnect() {
  forget_kept_key();
  if (service_ == nullptr) return;
  g_object_unref(service_);
  service_ = nullptr;
  secret_service_disconnect();
}

// Every use costs one call to the service, which says whether the key is still there and in an
// unlocked collection; only then are the bytes read before reused.
SealResult<SecretBytes> WrappingKeyStore::wrapping_key(std::string_view keychain) {
  handle_pending_messages();
  Connection bus = session_bus();
  const std::string identity(keychain);
  auto found = bus ? search_items(*bus, identity) : std::nullopt;
  if (!found) {
    disconnect();
    return Unexpected(SealFailure::kLocked);
  }
  if (found->unlocked.empty()) {
    forget_kept_key();
    return Unexpected(SealFailure::kLocked);
  }
  const std::string& path = found->unlocked.front();
  if (path == kept_path_ && identity == kept_keychain_) return kept_key_;
  ::SecretService* service = connect();
  if (service == nullptr) return Unexpected(SealFailure::kLocked);
  GError* error = nullptr;
  Value value(secret_service_get_secret_for_dbus_path_sync(service, path.c_str(), nullptr, &error));
  Error read_error(error);
  if (!value) {
    disconnect();
    return Unexpected(SealFailure::kLocked);
  }
  gsize size = 0;
  const gchar* bytes = secret_value_get(value.get(), &size);
  if (size != kWrappingKeySize) return Unexpected(SealFailure::kRefused);
  kept_key_ = SecretBytes(
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes), size));
  kept_path_ = path;
  kept_keychain_ = identity;
  return kept_key_;
}

SealResult<SecretBytes> WrappingKeyStore::store_new_wrapping_key(std::string_view keychain) {
  ::SecretService* service = connect();
  if (service == nullptr) return Unexpected(SealFailure::kLocked);
  GError* error = nullptr;
  // Only an existing default collection is used: making one would ask the person for a password.
  Text collection(secret_service_read_alias_dbus_path_sync(service, "default", nullptr, &error));
  Error alias_error(error);
  Connection bus(
      G_DBUS_CONNECTION(g_object_ref(g_dbus_proxy_get_connection(G_DBUS_PROXY(service)))));
  // Asked first because storing into a locked collection would have the service prompt.
  if (!collection || collection_locked(*bus, collection.get())) {
    return Unexpected(SealFailure::kLocked);
  }
  SecretBytes key = new_wrapping_key();
  if (key.view().empty()) return Unexpected(SealFailure::kFailed);
  const std::string identity(keychain);
  const std::string label = "ktarn-companion keychain wrapping key " + identity;
  Table properties(g_hash_table_new_full(g_str_hash, g_str_equal, nullptr,
                                         reinterpret_cast<GDestroyNotify>(g_variant_unref)));
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{ss}"));
  g_variant_builder_add(&builder, "{ss}", "xdg:schema", kWrappingKeySchema.data());
  g_variant_builder_add(&builder, "{ss}", kWrappingKeyAttribute.data(), identity.c_str());
  g_hash_table_insert(properties.get(), const_cast<char*>("org.freedesktop.Secret.Item.Label"),
                      g_variant_ref_sink(g_variant_new_string(label.c_str())));
  g_hash_table_insert(properties.get(), const_cast<char*>("org.freedesktop.Secret.Item.Attributes"),
                      g_variant_ref_sink(g_variant_builder_end(&builder)));
  // libsecret copies the bytes into memory of its own that it wipes when it lets go of them.
  Value value(secret_value_new(reinterpret_cast<const gchar*>(key.view().data()),
                               static_cast<gssize>(key.view().size()), kContentType));
  Text path(secret_service_create_item_dbus_path_sync(service, collection.get(), properties.get(),
                                                      value.get(), SECRET_ITEM_CREATE_NONE, nullptr,
                                                      &error));
  Error create_error(error);
  if (!path) return Unexpected(SealFailure::kLocked);
  kept_path_ = path.get();
  kept_keychain_ = identity;
  kept_key_ = key;
  return key;
}

void WrappingKeyStore::remove_wrapping_key(std::string_view keychain) {
  ::SecretService* service = connect();
  if (service == nullptr) return;
  const std::string identity(keychain);
  Table attributes = key_attributes(identity);
  GError* error = nullptr;
  gchar** unlocked = nullptr;
  secret_service_search_for_dbus_paths_sync(service, nullptr, attributes.get(), nullptr, &unlocked,
                                            nullptr, &error);
  Error search_error(error);
  Paths paths(unlocked);
  for (gchar** path = unlocked; path != nullptr && *path != nullptr; ++path) {
    GError* delete_error = nullptr;
    secret_service_delete_item_dbus_path_sync(service, *path, nullptr, &delete_error);
    Error owned(delete_error);
  }
  if (identity == kept_keychain_) disconnect();
}

}  // namespace ktarn::platform::software
