// The attribute table of the macOS keychain: each seam attribute and constant paired with the
// framework constant of the same name, and which dictionaries the framework can be handed,
// those the bridge logic builds among them.
#include "bridge/platform/macos/attribute_table.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "bridge/bridge_call.hpp"
#include "bridge/platform/scripted/scripted_platform.hpp"

namespace ktarn::platform::macos {
namespace {

// Stand-ins for the framework's constants: each is its own name, so that a row pairing an
// attribute with another attribute's constant shows.
struct Names {
  using Key = std::string_view;
  static constexpr Key kSecClass = "kSecClass";
  static constexpr Key kSecClassKey = "kSecClassKey";
  static constexpr Key kSecAttrKeyType = "kSecAttrKeyType";
  static constexpr Key kSecAttrKeyTypeRSA = "kSecAttrKeyTypeRSA";
  static constexpr Key kSecAttrKeyTypeECSECPrimeRandom = "kSecAttrKeyTypeECSECPrimeRandom";
  static constexpr Key kSecAttrKeyClass = "kSecAttrKeyClass";
  static constexpr Key kSecAttrKeyClassPrivate = "kSecAttrKeyClassPrivate";
  static constexpr Key kSecAttrKeyClassPublic = "kSecAttrKeyClassPublic";
  static constexpr Key kSecAttrApplicationTag = "kSecAttrApplicationTag";
  static constexpr Key kSecAttrLabel = "kSecAttrLabel";
  static constexpr Key kSecAttrKeySizeInBits = "kSecAttrKeySizeInBits";
  static constexpr Key kSecAttrIsPermanent = "kSecAttrIsPermanent";
  static constexpr Key kSecAttrIsSensitive = "kSecAttrIsSensitive";
  static constexpr Key kSecAttrIsExtractable = "kSecAttrIsExtractable";
  static constexpr Key kSecAttrCanSign = "kSecAttrCanSign";
  static constexpr Key kSecAttrSynchronizable = "kSecAttrSynchronizable";
  static constexpr Key kSecAttrTokenID = "kSecAttrTokenID";
  static constexpr Key kSecMatchSearchList = "kSecMatchSearchList";
  static constexpr Key kSecMatchLimit = "kSecMatchLimit";
  static constexpr Key kSecMatchLimitOne = "kSecMatchLimitOne";
  static constexpr Key kSecReturnRef = "kSecReturnRef";
  static constexpr Key kSecUseKeychain = "kSecUseKeychain";
  static constexpr Key kSecPrivateKeyAttrs = "kSecPrivateKeyAttrs";
};

TEST(MacosAttributeTable, EveryAttributeHasItsOwnConstantAtItsPosition) {
  const auto rows = attribute_rows<Names>();
  ASSERT_EQ(rows.size(), static_cast<std::size_t>(Attr::kSecPrivateKeyAttrs) + 1);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].name, static_cast<Attr>(i)) << "row " << i;
    EXPECT_EQ(*rows[i].key, attr_name(rows[i].name));
  }
}

TEST(MacosAttributeTable, EveryConstantHasItsOwnConstant) {
  const auto rows = constant_rows<Names>();
  ASSERT_EQ(rows.size(), static_cast<std::size_t>(Constant::kSecMatchLimitOne) + 1);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Constant value = static_cast<Constant>(i);
    EXPECT_EQ(rows[i].value, value) << "row " << i;
    ASSERT_NE(rows[i].key, nullptr) << constant_name(value);
    EXPECT_EQ(*rows[i].key, constant_name(value));
  }
}

Attributes with(Attr name, AttrValue value) {
  Attributes attributes;
  attributes.set(name, std::move(value));
  return attributes;
}

std::shared_ptr<const Attributes> nested(Attributes attributes) {
  return std::make_shared<const Attributes>(std::move(attributes));
}

TEST(MacosAttributeTable, DictionariesTheFrameworkCanBeHanded) {
  const SharedRef object = std::make_shared<Object>();
  const struct {
    const char* what;
    Attributes dictionary;
    bool expressible;
  } cases[] = {
      {"empty", {}, true},
      {"a size as a number", with(Attr::kSecAttrKeySizeInBits, std::int64_t{2048}), true},
      {"a size as text", with(Attr::kSecAttrKeySizeInBits, std::string("2048")), false},
      {"a tag as bytes", with(Attr::kSecAttrApplicationTag, Bytes{'k'}), true},
      {"a tag as text", with(Attr::kSecAttrApplicationTag, std::string("k")), false},
      {"a label as bytes", with(Attr::kSecAttrLabel, Bytes{'k'}), false},
      {"a flag as a number", with(Attr::kSecAttrIsExtractable, std::int64_t{0}), false},
      {"a class as text", with(Attr::kSecClass, std::string("keys")), false},
      {"the match limit one", with(Attr::kSecMatchLimit, Constant::kSecMatchLimitOne), true},
      {"the software storage word", with(Attr::kSecAttrTokenID, std::string("software")), false},
      {"the TPM storage word", with(Attr::kSecAttrTokenID, std::string("tpm")), false},
      {"a search list", with(Attr::kSecMatchSearchList, std::vector<SharedRef>{object}), true},
      {"a search list of one object", with(Attr::kSecMatchSearchList, object), false},
      {"a keychain as a list", with(Attr::kSecUseKeychain, std::vector<SharedRef>{object}), false},
      {"private-key attributes",
       with(Attr::kSecPrivateKeyAttrs, nested(with(Attr::kSecAttrIsPermanent, true))), true},
      {"private-key attributes naming a TPM",
       with(Attr::kSecPrivateKeyAttrs, nested(with(Attr::kSecAttrTokenID, std::string("tpm")))),
       false},
      {"private-key attributes missing",
       with(Attr::kSecPrivateKeyAttrs, std::shared_ptr<const Attributes>()), false},
  };
  for (const auto& each : cases) {
    EXPECT_EQ(expressible<Names>(each.dictionary), each.expressible) << each.what;
  }
}

// The scripted keychain, noting for every dictionary it is handed whether the framework could be
// handed it too.
class ExpressibilityProbe final : public Keychain {
 public:
  explicit ExpressibilityProbe(Keychain& keychain) : keychain_(keychain) {}
  std::vector<std::pair<std::string, bool>> dictionaries;

  std::string ns_home_directory() override { return keychain_.ns_home_directory(); }
  bool file_exists_at_path(const std::string& path) override {
    return keychain_.file_exists_at_path(path);
  }
  OSStatus sec_keychain_open(const std::string& path, Ref& keychain) override {
    return keychain_.sec_keychain_open(path, keychain);
  }
  OSStatus sec_keychain_get_status(const Object& keychain, std::uint32_t& status) override {
    return keychain_.sec_keychain_get_status(keychain, status);
  }
  OSStatus sec_item_copy_matching(const Attributes& query, Ref& item) override {
    note("SecItemCopyMatching", query);
    return keychain_.sec_item_copy_matching(query, item);
  }
  OSStatus sec_item_delete(const Attributes& query) override {
    note("SecItemDelete", query);
    return keychain_.sec_item_delete(query);
  }
  CFTypeID cf_get_type_id(const Object& object) override {
    return keychain_.cf_get_type_id(object);
  }
  CFTypeID sec_key_get_type_id() override { return keychain_.sec_key_get_type_id(); }
  Ref sec_key_create_random_key(const Attributes& parameters, Ref& error) override {
    note("SecKeyCreateRandomKey", parameters);
    return keychain_.sec_key_create_random_key(parameters, error);
  }
  std::optional<Attributes> sec_key_copy_attributes(const Object& key) override {
    return keychain_.sec_key_copy_attributes(key);
  }
  Ref sec_key_copy_public_key(const Object& key) override {
    return keychain_.sec_key_copy_public_key(key);
  }
  std::optional<Bytes> sec_key_copy_external_representation(const Object& key,
                                                            Ref& error) override {
    return keychain_.sec_key_copy_external_representation(key, error);
  }
  bool sec_key_is_algorithm_supported(const Object& key, KeyOperationType operation,
                                      KeyAlgorithm algorithm) override {
    return keychain_.sec_key_is_algorithm_supported(key, operation, algorithm);
  }
  std::optional<Bytes> sec_key_create_signature(const Object& key, KeyAlgorithm algorithm,
                                                std::span<const std::uint8_t> data,
                                                Ref& error) override {
    return keychain_.sec_key_create_signature(key, algorithm, data, error);
  }

 private:
  void note(const char* call, const Attributes& dictionary) {
    dictionaries.emplace_back(call, expressible<Names>(dictionary));
  }
  Keychain& keychain_;
};

TEST(MacosAttributeTable, EveryDictionaryTheBridgeBuildsCanBeHanded) {
  scripted::ScriptedPlatform scripted;
  ExpressibilityProbe probe(scripted.keychain);
  Platform platform{scripted.foundation, probe, scripted.desktop};
  // A first "key" looks up, creates and looks up again; "sign" looks up; "delete-key" deletes.
  for (const char* operation : {"key", "sign", "delete-key"}) {
    std::free(bridge::bridge_call(platform, "kTARN.Test.Key", operation,
                                  "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="));
  }
  const std::vector<std::pair<std::string, bool>> expected = {
      {"SecItemCopyMatching", true}, {"SecKeyCreateRandomKey", true}, {"SecItemCopyMatching", true},
      {"SecItemCopyMatching", true}, {"SecItemDelete", true},
  };
  EXPECT_EQ(probe.dictionaries, expected);
}

}  // namespace
}  // namespace ktarn::platform::macos
