// Private key bytes are wiped on every path that gives their memory back. This program's
// operator delete looks, while a test watches, for a marker cut from a private key in every
// block released through it, and counts the blocks released with the marker still readable.
#include <malloc.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "bridge/platform/software/keychain/keychain_objects.hpp"
#include "software_keychain_fixture.hpp"

namespace {

std::atomic<bool> watching{false};
unsigned char marker[24];
std::atomic<int> unwiped_releases{0};

void count_if_unwiped(void* block) {
  if (block == nullptr || !watching.load()) return;
  const auto* bytes = static_cast<const unsigned char*>(block);
  const std::size_t size = malloc_usable_size(block);
  if (std::search(bytes, bytes + size, std::begin(marker), std::end(marker)) != bytes + size) {
    ++unwiped_releases;
  }
}

// Every replacement, the no-throw forms included (the libraries' own allocations must meet this
// file's releases), goes through these, kept out of line: inlined next to the library's own
// allocations, g++ takes the malloc/free pair for a mismatched new/delete.
[[gnu::noinline]] void* allocate_or_null(std::size_t size) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
[[gnu::noinline]] void release(void* block) noexcept {
  count_if_unwiped(block);
  std::free(block);
}
void* allocate(std::size_t size) {
  if (void* block = allocate_or_null(size)) return block;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
  return allocate(size);
}
void* operator new[](std::size_t size) {
  return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocate_or_null(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocate_or_null(size);
}
void operator delete(void* block) noexcept {
  release(block);
}
void operator delete[](void* block) noexcept {
  release(block);
}
void operator delete(void* block, std::size_t) noexcept {
  release(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  release(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
  release(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
  release(block);
}

namespace ktarn::platform::software {
namespace {

// A stored private key whose marker is a run of bytes from inside its first prime.
class SecretWipingTest : public SoftwareKeychainTest {
 protected:
  void SetUp() override {
    SoftwareKeychainTest::SetUp();
    Pkey key = *generate_rsa_key(1024);
    BIGNUM* prime = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, &prime), 1);
    unsigned char bytes[64];
    ASSERT_EQ(BN_bn2bin(prime, bytes), 64);
    BN_clear_free(prime);
    std::memcpy(marker, bytes + 20, sizeof marker);
    stored_ = *encode_private_key(*key);
  }
  void TearDown() override {
    watching = false;
    SoftwareKeychainTest::TearDown();
  }

  void store(const SharedRef& keychain) {
    KeyItem item;
    item.set(Attr::kSecAttrApplicationTag, tag("kTARN.wiped"));
    item.set(Attr::kSecAttrLabel, std::string("kTARN.wiped"));
    item.set(Attr::kSecAttrKeySizeInBits, std::int64_t{1024});
    item.private_key = stored_;
    KeychainDatabase& database = dynamic_cast<KeychainObject&>(*keychain).database();
    auto transaction = database.begin_write();
    ASSERT_TRUE(transaction);
    ASSERT_TRUE(database.insert(item));
    ASSERT_EQ(transaction->commit(), 0);
  }

  SecretBytes stored_;
};

TEST_F(SecretWipingTest, NoReleaseLeavesPrivateKeyBytesBehind) {
  watching = true;
  {
    SecretBytes copy = stored_;
    SecretBytes assigned_over = stored_;
    assigned_over = SecretBytes();
    copy = stored_;
    SecretBytes moved_over = stored_;
    moved_over = std::move(copy);
  }
  EXPECT_EQ(unwiped_releases.load(), 0) << "SecretBytes copies, assignments and moves";

  SharedRef keychain = open_keychain();
  store(keychain);
  for (int use = 0; use < 2; ++use) {
    Ref item;
    ASSERT_EQ(keychain_.sec_item_copy_matching(lookup_query(keychain, "kTARN.wiped"), item), 0);
    Ref public_key = keychain_.sec_key_copy_public_key(*item);
    ASSERT_TRUE(public_key);
    Ref error;
    EXPECT_TRUE(keychain_.sec_key_create_signature(
        *item, KeyAlgorithm::kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256, Bytes(32, 1),
        error));
  }
  // Keys created later push the stored one out of the decoded keys; deletion drops the rest.
  for (int created = 0; created < 9; ++created) {
    Ref error;
    auto attributes = private_key_attributes("kTARN.other" + std::to_string(created));
    EXPECT_TRUE(keychain_.sec_key_create_random_key(creation_parameters(keychain, attributes, 1024),
                                                    error));
  }
  EXPECT_EQ(keychain_.sec_item_delete(base_query(keychain, "kTARN.wiped")), 0);
  stored_ = SecretBytes();
  EXPECT_EQ(unwiped_releases.load(), 0) << "lookups, signatures, the decoded keys and deletion";
}

}  // namespace
}  // namespace ktarn::platform::software
