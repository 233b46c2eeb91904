#include "keychain_commands.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "base/expected.hpp"
#include "base/login_keychain_path.hpp"
#include "bridge/platform/software/keychain/key_creation.hpp"
#include "bridge/platform/software/keychain/keychain_database.hpp"
#include "bridge/platform/software/keychain/keychain_status.hpp"
#include "bridge/platform/software/keychain/software_keychain.hpp"
#include "bridge/platform/software/keys/key_kinds.hpp"

namespace ktarn::tools {

namespace {

using platform::Attr;
using platform::AttrValue;
using platform::Bytes;
using platform::Constant;
using platform::errSecSuccess;
using platform::OSStatus;
using namespace platform;
using namespace platform::software;

constexpr std::size_t kMaximumPemSize = 1 << 20;

CommandResult failure(const std::string& what, OSStatus status) {
  return {false, what + " (OSStatus " + std::to_string(status) + ")"};
}

// The existing keychain at path; commands other than create never make one, and those that
// only read open it read-only, so they leave the file exactly as it was. (An empty file is laid
// out by the first command that writes, as the companion would, with the kind the companion
// would choose.)
StatusOr<std::unique_ptr<KeychainDatabase>> open_existing(const std::string& path,
                                                          KeychainAccess access, KeyKinds& kinds) {
  if (!SoftwareKeychain().file_exists_at_path(path)) return Unexpected(errSecNoSuchKeychain);
  return KeychainDatabase::open(path, access, [&kinds] { return kinds.bind_first(); });
}

constexpr std::string_view kWithheld =
    "the Secret Service holding the keychain's wrapping key is locked, gone or not running; "
    "unlock it through the desktop";

CommandResult open_failure(const std::string& path, OSStatus status) {
  if (status == errSecNoSuchKeychain) return failure("no keychain at " + path, status);
  return failure("cannot open the keychain at " + path, status);
}

// Tags and labels are printed as they are, except bytes that would break the line's
// space-separated fields (controls, space, DEL) and "%", which are written as %XX.
std::string printable(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7f || byte == '%') {
      text += {'%', kHex[byte >> 4], kHex[byte & 0xf]};
    } else {
      text += c;
    }
  }
  return text;
}

std::string listed_value(const AttrValue& value) {
  if (const bool* flag = std::get_if<bool>(&value)) return *flag ? "1" : "0";
  if (const std::int64_t* number = std::get_if<std::int64_t>(&value)) {
    return std::to_string(*number);
  }
  if (const std::string* text = std::get_if<std::string>(&value)) return printable(*text);
  if (const Bytes* bytes = std::get_if<Bytes>(&value)) {
    return printable(std::string(bytes->begin(), bytes->end()));
  }
  const Constant* constant = std::get_if<Constant>(&value);
  return constant ? std::string(stored_code(*constant)) : std::string();
}

// The item's listed attributes as name=value fields, in the order of their descriptions.
std::string item_line(const KeyItem& item) {
  std::string line;
  for (std::size_t i = 0; i < kItemAttributeCount; ++i) {
    if (kItemAttributes[i].listed_as.empty()) continue;
    if (!line.empty()) line += ' ';
    line += kItemAttributes[i].listed_as;
    line += '=';
    line += listed_value(item.values[i]);
  }
  line += '\n';
  return line;
}

// The PEM file's bytes, or the reason it was not read. Only a regular file is read: the file is
// opened without waiting (a FIFO with no writer would otherwise hold the open, and a device or
// a FIFO could hold the reads, for ever) and its kind is checked on what was opened.
Expected<std::string, std::string> read_small_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return Unexpected("cannot read " + path);
  struct stat status {};
  std::string content;
  const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  bool read_failed = false;
  if (regular) {
    content.resize(kMaximumPemSize + 1);
    std::size_t size = 0;
    while (size < content.size()) {
      const ssize_t got = ::read(fd, content.data() + size, content.size() - size);
      if (got == 0) break;
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        read_failed = true;
        break;
      }
      size += static_cast<std::size_t>(got);
    }
    content.resize(size);
  }
  ::close(fd);
  if (!regular) return Unexpected(path + " is not a regular file");
  if (read_failed || content.size() > kMaximumPemSize) {
    return Unexpected("cannot read " + path);
  }
  return content;
}

}  // namespace

std::string login_keychain_path() {
  SoftwareKeychain keychain;
  return ktarn::login_keychain_path(
      keychain.ns_home_directory(),
      [&keychain](const std::string& path) { return keychain.file_exists_at_path(path); });
}

CommandResult show_status(const std::string& path) {
  if (!SoftwareKeychain().file_exists_at_path(path)) return {true, "missing\n"};
  KeyKinds kinds;
  auto database = open_existing(path, KeychainAccess::kReadOnly, kinds);
  if (!database) return open_failure(path, database.error());
  // Where an empty file's keys go is chosen by whatever first lays it out.
  if ((*database)->awaits_layout()) return {true, "unlocked storage=undecided\n"};
  auto transaction = (*database)->begin_read();
  if (!transaction) return failure("cannot read the keychain", transaction.error());
  auto storage = (*database)->new_key_storage();
  if (!storage) return failure("cannot read where the keychain's keys go", storage.error());
  // Locked, to the companion, also while the keychain's kind withholds its keys.
  auto usable = check_usable(**database, kinds);
  if (!usable && usable.error() != errSecInteractionNotAllowed) {
    return failure("cannot read the keychain's lock state", usable.error());
  }
  CommandResult result{true, usable ? "unlocked" : "locked"};
  result.text += " storage=";
  result.text += *storage;
  result.text += '\n';
  return result;
}

CommandResult create_keychain(const std::string& path, const std::optional<NamedKind>& kind) {
  if (SoftwareKeychain().file_exists_at_path(path)) {
    return failure("a keychain already exists at " + path, errSecDuplicateKeychain);
  }
  KeyKinds kinds;
  NewKeyStorage storage;
  if (kind) {
    auto bound = kinds.bind(kind->kind);
    if (!bound) {
      if (!is_key_kind(kind->kind)) {
        return failure("no storage kind is named " + std::string(kind->kind), bound.error());
      }
      return failure(std::string(kind->unavailable) + "; nothing was created", bound.error());
    }
    storage = std::move(*bound);
  } else {
    storage = kinds.bind_first();
  }
  // The choice is handed over once, and undone by the open when the file does not take it.
  auto database = KeychainDatabase::open(path, KeychainAccess::kReadWrite,
                                         [&storage] { return std::move(storage); });
  if (!database) return failure("cannot create the keychain at " + path, database.error());
  return {};
}

// Every software key is moved to the sealed kind at its row within one transaction, with the
// keychain's new keys: a failure leaves the keychain as it was, and the wrapping key stored for
// it is removed again.
CommandResult seal_keychain(const std::string& path) {
  KeyKinds kinds;
  auto database = open_existing(path, KeychainAccess::kReadWrite, kinds);
  if (!database) return open_failure(path, database.error());
  auto sealed = kinds.kind(kSealedKeys);
  if (!sealed) return failure("no sealed keys can be made", sealed.error());
  auto storage = kinds.bind(kSealedKeys);
  if (!storage) return failure(std::string(kWithheld) + "; nothing was changed", storage.error());
  auto undo = [&storage](const std::string& what, OSStatus status) {
    if (storage->abandon) storage->abandon();
    return failure(what, status);
  };
  auto transaction = (*database)->begin_write();
  if (!transaction) return undo("cannot write the keychain", transaction.error());
  if (OSStatus status = (*database)->check_integrity(); status != errSecSuccess) {
    return undo("the keychain fails its integrity check", status);
  }
  auto locked = (*database)->is_locked();
  if (!locked) return undo("cannot read the keychain", locked.error());
  if (*locked) return undo("the keychain is locked", errSecInteractionNotAllowed);
  auto current = (*database)->new_key_storage();
  if (!current) return undo("cannot read where the keychain's keys go", current.error());
  if (*current != kSoftwareKeys) {
    return undo("only a software keychain can be sealed; this one is " + *current, errSecParam);
  }
  auto items = (*database)->items();
  if (!items) return undo("cannot read the keychain's items", items.error());
  for (const KeyItem& item : *items) {
    if (item.storage() != kSoftwareKeys) continue;
    auto blob = (*sealed)->stored_form(item.private_key, KeyPlace{storage->identity, item.id});
    if (!blob) return undo(std::string(kWithheld) + "; nothing was changed", blob.error());
    OSStatus status = (*database)->replace_private_key(item.id, kSealedKeys, *blob);
    if (status != errSecSuccess) return undo("cannot write the sealed key", status);
  }
  OSStatus status = (*database)->record_new_key_storage(*storage);
  if (status == errSecSuccess) status = transaction->commit();
  if (status != errSecSuccess) return undo("cannot write the sealed keychain", status);
  return {};
}

CommandResult set_lock_state(const std::string& path, bool locked) {
  KeyKinds kinds;
  auto database = open_existing(path, KeychainAccess::kReadWrite, kinds);
  if (!database) return open_failure(path, database.error());
  auto transaction = (*database)->begin_write();
  if (!transaction) return failure("cannot change the keychain's lock state", transaction.error());
  OSStatus status = (*database)->set_locked(locked);
  if (status == errSecSuccess) status = transaction->commit();
  if (status != errSecSuccess) return failure("cannot change the keychain's lock state", status);
  return {};
}

CommandResult list_key_items(const std::string& path) {
  KeyKinds kinds;
  auto database = open_existing(path, KeychainAccess::kReadOnly, kinds);
  if (!database) return open_failure(path, database.error());
  if ((*database)->awaits_layout()) return {};
  auto transaction = (*database)->begin_read();
  if (!transaction) return failure("cannot read the keychain", transaction.error());
  auto locked = (*database)->is_locked();
  if (!locked) return failure("cannot read the keychain", locked.error());
  if (*locked) return failure("the keychain is locked", errSecInteractionNotAllowed);
  auto items = (*database)->items();
  if (!items) return failure("cannot read the keychain's items", items.error());
  CommandResult result;
  for (const KeyItem& item : *items) result.text += item_line(item);
  return result;
}

CommandResult import_key(const std::string& path, const ImportRequest& request) {
  auto pem = read_small_file(request.pem_path);
  if (!pem) return failure(pem.error(), errSecIO);
  auto key = read_rsa_private_key_pem(*pem);
  if (!key)
    return failure(request.pem_path + " holds no unencrypted RSA private key", errSecDecode);
  KeyKinds kinds;
  auto database = open_existing(path, KeychainAccess::kReadWrite, kinds);
  if (!database) return open_failure(path, database.error());
  KeyItem item;
  item.set(Attr::kSecAttrApplicationTag, Bytes(request.tag.begin(), request.tag.end()));
  item.set(Attr::kSecAttrLabel, request.label.value_or(request.tag));
  item.set(Attr::kSecAttrKeySizeInBits, std::int64_t{key_size_in_bits(**key)});
  item.set(Attr::kSecAttrIsSensitive, !request.extractable);
  item.set(Attr::kSecAttrIsExtractable, request.extractable);
  item.set(Attr::kSecAttrSynchronizable, request.synchronizable);
  auto stored = encode_private_key(**key);
  if (!stored) return failure("cannot encode the key", stored.error());
  item.private_key = std::move(*stored);
  // A sealed keychain never takes a plain key: an imported key is sealed as a created one is.
  {
    auto transaction = (*database)->begin_read();
    if (!transaction) return failure("cannot read the keychain", transaction.error());
    auto storage = (*database)->new_key_storage();
    if (!storage) return failure("cannot read where the keychain's keys go", storage.error());
    if (*storage == kSealedKeys) item.set(Attr::kSecAttrTokenID, std::string(kSealedKeys));
  }
  OSStatus status = store_item(**database, item, kinds);
  if (status == errSecInteractionNotAllowed && item.storage() == kSealedKeys) {
    return failure(std::string(kWithheld) + "; nothing was stored", status);
  }
  if (status == errSecDuplicateItem) {
    return failure("a key is already stored under the tag " + printable(request.tag), status);
  }
  if (status != errSecSuccess) return failure("cannot store the key in the keychain", status);
  return {};
}

}  // namespace ktarn::tools
