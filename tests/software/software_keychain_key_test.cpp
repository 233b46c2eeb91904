// Keys made by the keychain: what is stored, what the public half looks like, and signatures
// that OpenSSL verifies on its own; for a keychain of software keys and one of TPM keys alike.
#include "bridge/platform/software/keychain/keychain_objects.hpp"
#include "software_keychain_fixture.hpp"
#include "support/software_tpm.hpp"

namespace ktarn::platform::software {
namespace {

const Bytes kDigest(32, 0xab);

OSStatus error_status(const Ref& error) {
  const auto* object = dynamic_cast<const ErrorObject*>(error.get());
  return object ? object->status() : 1;
}

// The parameter is where the keychain's new keys go. TPM keys are made in one software TPM that
// the suite starts when it first needs it.
class SoftwareKeychainKeyTest : public SoftwareKeychainTest,
                                public ::testing::WithParamInterface<std::string> {
 protected:
  static void TearDownTestSuite() {
    tcti_.reset();
    tpm_.reset();
  }
  void SetUp() override {
    SoftwareKeychainTest::SetUp();
    if (GetParam() == "tpm") {
      if (std::string missing = ktarn::testing::software_tpm_missing(); !missing.empty()) {
        GTEST_SKIP() << "no software TPM: " << missing;
      }
      if (!tpm_) {
        tpm_ = std::make_unique<ktarn::testing::SoftwareTpm>();
        tcti_ = std::make_unique<ktarn::testing::ScopedTcti>(tpm_->tcti());
      }
      ASSERT_TRUE(tpm_->running());
    }
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
    std::filesystem::permissions(home_ + "/Library", std::filesystem::perms::owner_all);
    std::filesystem::permissions(home_ + "/Library/Keychains", std::filesystem::perms::owner_all);
    const std::string storage = GetParam();
    ASSERT_TRUE(KeychainDatabase::open(path_, KeychainAccess::kReadWrite, [storage] {
      return NewKeyStorage{storage, {}, nullptr};
    }));
  }

  // Creates the device key as the key store does, then finds it again through the keychain.
  Ref create_and_find(const std::string& name) {
    SharedRef keychain = open_keychain();
    Ref error;
    Ref created = keychain_.sec_key_create_random_key(
        creation_parameters(keychain, private_key_attributes(name)), error);
    EXPECT_TRUE(created);
    EXPECT_FALSE(error);
    Ref item;
    EXPECT_EQ(keychain_.sec_item_copy_matching(lookup_query(keychain, name), item), 0);
    const auto* found = dynamic_cast<const KeyObject*>(item.get());
    EXPECT_TRUE(found != nullptr && (found->item().storage() == "tpm") == (GetParam() == "tpm"))
        << "the key is made where the keychain says";
    return item;
  }

  Bytes sign(const Object& key, const Bytes& digest) {
    Ref error;
    auto signature = keychain_.sec_key_create_signature(
        key, KeyAlgorithm::kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256, digest, error);
    EXPECT_EQ(signature.has_value(), error == nullptr);
    return signature.value_or(Bytes());
  }

  // The keychain as another process opens it, with a connection and decoded keys of its own.
  SharedRef open_in(SoftwareKeychain& process) {
    Ref keychain;
    EXPECT_EQ(process.sec_keychain_open(path_, keychain), 0);
    return SharedRef(std::move(keychain));
  }

  Bytes public_der(const Object& key) {
    Ref public_key = keychain_.sec_key_copy_public_key(key);
    if (!public_key) return {};
    Ref error;
    return keychain_.sec_key_copy_external_representation(*public_key, error).value_or(Bytes());
  }

  static inline std::unique_ptr<ktarn::testing::SoftwareTpm> tpm_;
  static inline std::unique_ptr<ktarn::testing::ScopedTcti> tcti_;
};

INSTANTIATE_TEST_SUITE_P(ByStorage, SoftwareKeychainKeyTest, ::testing::Values("software", "tpm"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param == "tpm" ? "Tpm" : "Software";
                         });

TEST_P(SoftwareKeychainKeyTest, ACreatedKeyIsStoredAsAskedAndSignsVerifiably) {
  Ref key = create_and_find("kTARN.device");
  ASSERT_TRUE(key);
  EXPECT_EQ(keychain_.cf_get_type_id(*key), keychain_.sec_key_get_type_id());
  auto attributes = keychain_.sec_key_copy_attributes(*key);
  ASSERT_TRUE(attributes);
  EXPECT_EQ(*attributes->get<std::int64_t>(Attr::kSecAttrKeySizeInBits), 2048);
  EXPECT_EQ(*attributes->get<Constant>(Attr::kSecAttrKeyType), Constant::kSecAttrKeyTypeRSA);
  EXPECT_FALSE(*attributes->get<bool>(Attr::kSecAttrIsExtractable));
  EXPECT_EQ(*attributes->get<std::string>(Attr::kSecAttrLabel), "kTARN.device");
  EXPECT_FALSE(attributes->find(Attr::kSecPrivateKeyAttrs));

  Bytes der = public_der(*key);
  ASSERT_EQ(der.size(), 270u);
  // SEQUENCE { INTEGER modulus (257 bytes with its sign byte), INTEGER 65537 }
  EXPECT_EQ(Bytes(der.begin(), der.begin() + 9),
            (Bytes{0x30, 0x82, 0x01, 0x0a, 0x02, 0x82, 0x01, 0x01, 0x00}));
  EXPECT_EQ(Bytes(der.end() - 5, der.end()), (Bytes{0x02, 0x03, 0x01, 0x00, 0x01}));

  EXPECT_TRUE(keychain_.sec_key_is_algorithm_supported(
      *key, KeyOperationType::kSecKeyOperationTypeSign,
      KeyAlgorithm::kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256));
  Bytes signature = sign(*key, kDigest);
  ASSERT_EQ(signature.size(), 256u);
  EXPECT_TRUE(verifies(der, kDigest, signature));
  EXPECT_EQ(sign(*key, kDigest), signature);
  Bytes other_digest(32, 0x01);
  EXPECT_NE(sign(*key, other_digest), signature);
}

TEST_P(SoftwareKeychainKeyTest, OnlyThirtyTwoByteDigestsAreSigned) {
  Ref key = create_and_find("kTARN.digest");
  ASSERT_TRUE(key);
  for (std::size_t size : {0u, 31u, 33u, 64u}) {
    SCOPED_TRACE(size);
    Ref error;
    EXPECT_FALSE(keychain_.sec_key_create_signature(
        *key, KeyAlgorithm::kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256, Bytes(size, 1),
        error));
    EXPECT_EQ(error_status(error), errSecParam);
  }
}

TEST_P(SoftwareKeychainKeyTest, ThePrivateKeyIsNeverExportedAndThePublicHalfCannotSign) {
  Ref key = create_and_find("kTARN.export");
  ASSERT_TRUE(key);
  Ref error;
  EXPECT_FALSE(keychain_.sec_key_copy_external_representation(*key, error));
  EXPECT_EQ(error_status(error), errSecDataNotAvailable);
  Ref public_key = keychain_.sec_key_copy_public_key(*key);
  ASSERT_TRUE(public_key);
  EXPECT_FALSE(keychain_.sec_key_is_algorithm_supported(
      *public_key, KeyOperationType::kSecKeyOperationTypeSign,
      KeyAlgorithm::kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256));
  auto attributes = keychain_.sec_key_copy_attributes(*public_key);
  ASSERT_TRUE(attributes);
  EXPECT_EQ(*attributes->get<Constant>(Attr::kSecAttrKeyClass), Constant::kSecAttrKeyClassPublic);
}

TEST_P(SoftwareKeychainKeyTest, TheExtractableFlagIsStoredReportedAndMatched) {
  SharedRef keychain = open_keychain();
  auto attributes = private_key_attributes("kTARN.extractable");
  attributes->set(Attr::kSecAttrIsExtractable, true);
  Ref error;
  ASSERT_TRUE(
      keychain_.sec_key_create_random_key(creation_parameters(keychain, attributes, 1024), error));
  Attributes query = lookup_query(keychain, "kTARN.extractable");
  Ref item;
  ASSERT_EQ(keychain_.sec_item_copy_matching(query, item), 0);
  EXPECT_TRUE(*keychain_.sec_key_copy_attributes(*item)->get<bool>(Attr::kSecAttrIsExtractable));
  EXPECT_EQ(
      *keychain_.sec_key_copy_attributes(*item)->get<std::int64_t>(Attr::kSecAttrKeySizeInBits),
      1024);
  query.set(Attr::kSecAttrIsExtractable, false);
  EXPECT_EQ(keychain_.sec_item_copy_matching(query, item), errSecItemNotFound);
}

TEST_P(SoftwareKeychainKeyTest, AReplacedKeyIsNeverServedFromAnEarlierDecode) {
  Ref first = create_and_find("kTARN.replaced");
  ASSERT_TRUE(first);
  Bytes first_der = public_der(*first);
  SharedRef keychain = open_keychain();
  ASSERT_EQ(keychain_.sec_item_delete(base_query(keychain, "kTARN.replaced")), 0);
  Ref second = create_and_find("kTARN.replaced");
  ASSERT_TRUE(second);
  Bytes second_der = public_der(*second);
  EXPECT_NE(second_der, first_der);
  EXPECT_TRUE(verifies(second_der, kDigest, sign(*second, kDigest)));
}

// Decoded keys are kept, but every lookup reads the keychain first: a key that another process
// deleted is not found, however recently this process decoded it.
TEST_P(SoftwareKeychainKeyTest, AKeyDeletedElsewhereIsNotFoundFromMemory) {
  Ref key = create_and_find("kTARN.gone");
  ASSERT_TRUE(key);
  SoftwareKeychain elsewhere;
  ASSERT_EQ(elsewhere.sec_item_delete(base_query(open_in(elsewhere), "kTARN.gone")), 0);
  Ref item;
  EXPECT_EQ(keychain_.sec_item_copy_matching(lookup_query(open_keychain(), "kTARN.gone"), item),
            errSecItemNotFound);
}

// Later lookups share one decoded key and its signing context; using it for one key object
// must leave it fit for every other, in any order.
TEST_P(SoftwareKeychainKeyTest, KeysFoundAgainShareOneSignerThatStaysUsable) {
  Ref first = create_and_find("kTARN.reused");
  ASSERT_TRUE(first);
  Ref again;
  ASSERT_EQ(keychain_.sec_item_copy_matching(lookup_query(open_keychain(), "kTARN.reused"), again),
            0);
  ASSERT_TRUE(again);
  Bytes der = public_der(*first);
  Bytes other_digest(32, 0x5a);
  Bytes from_first = sign(*first, kDigest);
  EXPECT_TRUE(verifies(der, other_digest, sign(*again, other_digest)));
  EXPECT_EQ(sign(*again, kDigest), from_first);
  EXPECT_TRUE(verifies(der, kDigest, from_first));
}

TEST_P(SoftwareKeychainKeyTest, AnotherProcessViewFindsTheSameKey) {
  Ref key = create_and_find("kTARN.shared");
  ASSERT_TRUE(key);
  SoftwareKeychain fresh;
  Ref item;
  ASSERT_EQ(fresh.sec_item_copy_matching(lookup_query(open_in(fresh), "kTARN.shared"), item), 0);
  EXPECT_EQ(public_der(*item), public_der(*key));
}

struct BadCreation {
  const char* reason;
  void (*change)(Attributes& parameters);
  OSStatus status;
};

const BadCreation kBadCreations[] = {
    {"elliptic-curve type",
     [](Attributes& p) { p.set(Attr::kSecAttrKeyType, Constant::kSecAttrKeyTypeECSECPrimeRandom); },
     errSecParam},
    {"no size", [](Attributes& p) { p.members.erase(Attr::kSecAttrKeySizeInBits); }, errSecParam},
    {"size too small", [](Attributes& p) { p.set(Attr::kSecAttrKeySizeInBits, std::int64_t{512}); },
     errSecKeySizeNotAllowed},
    {"size too large",
     [](Attributes& p) { p.set(Attr::kSecAttrKeySizeInBits, std::int64_t{1} << 40); },
     errSecKeySizeNotAllowed},
    {"no keychain for a permanent key",
     [](Attributes& p) { p.members.erase(Attr::kSecUseKeychain); }, errSecNoDefaultKeychain},
    {"a foreign keychain object",
     [](Attributes& p) { p.set(Attr::kSecUseKeychain, std::make_shared<Object>()); }, errSecParam},
    {"a label given as bytes",
     [](Attributes& p) {
       auto attributes = std::make_shared<Attributes>();
       attributes->set(Attr::kSecAttrLabel, Bytes{1});
       p.set(Attr::kSecPrivateKeyAttrs, std::shared_ptr<const Attributes>(attributes));
     },
     errSecParam},
};

TEST_P(SoftwareKeychainKeyTest, BadCreationParametersStoreNothing) {
  SharedRef keychain = open_keychain();
  for (const BadCreation& bad : kBadCreations) {
    SCOPED_TRACE(bad.reason);
    Attributes parameters =
        creation_parameters(keychain, private_key_attributes("kTARN.bad"), 1024);
    bad.change(parameters);
    Ref error;
    EXPECT_FALSE(keychain_.sec_key_create_random_key(parameters, error));
    EXPECT_EQ(error_status(error), bad.status);
  }
  Attributes everything = base_query(keychain, "kTARN.bad");
  everything.members.erase(Attr::kSecAttrApplicationTag);
  EXPECT_EQ(keychain_.sec_item_delete(everything), errSecItemNotFound);
}

TEST_P(SoftwareKeychainKeyTest, AKeyThatIsNotPermanentIsUsableButNotStored) {
  SharedRef keychain = open_keychain();
  auto attributes = private_key_attributes("kTARN.ephemeral");
  attributes->set(Attr::kSecAttrIsPermanent, false);
  Ref error;
  Ref key =
      keychain_.sec_key_create_random_key(creation_parameters(keychain, attributes, 1024), error);
  ASSERT_TRUE(key);
  EXPECT_TRUE(verifies(public_der(*key), kDigest, sign(*key, kDigest)));
  Ref item;
  EXPECT_EQ(keychain_.sec_item_copy_matching(lookup_query(keychain, "kTARN.ephemeral"), item),
            errSecItemNotFound);
}

}  // namespace
}  // namespace ktarn::platform::software
