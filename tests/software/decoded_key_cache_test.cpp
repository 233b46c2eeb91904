// The decoded-key cache keeps at most one key loaded into a TPM, whose few object slots other
// processes need too, while software keys stay kept beside it; and no more keys of any kind than
// the kind allows; and a key kept for one item is found for that item only.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <limits>

#include "bridge/platform/software/keys/decoded_key_cache.hpp"
#include "bridge/platform/software/keys/key_kinds.hpp"

namespace ktarn::platform::software {
namespace {

SecretBytes stored(std::uint8_t tag) {
  const std::uint8_t bytes[] = {tag, 0x5a};
  return SecretBytes(bytes);
}

DecodedKey some_key() {
  return {Pkey(EVP_PKEY_new(), EVP_PKEY_free), nullptr};
}

TEST(DecodedKeyCache, KeepsOneTpmKeyBesideItsSoftwareKeys) {
  struct Step {
    const char* what;
    std::uint8_t remembered;
    std::string_view kind;
    std::vector<std::uint8_t> kept;
    std::vector<std::uint8_t> gone;
  };
  const Step steps[] = {
      {"a software key", 1, "software", {1}, {}},
      {"a TPM key", 2, "tpm", {1, 2}, {}},
      {"another software key", 3, "software", {1, 2, 3}, {}},
      {"a second TPM key replaces the first", 4, "tpm", {1, 3, 4}, {2}},
      {"the first TPM key again replaces the second", 2, "tpm", {1, 2, 3}, {4}},
  };
  KeyKinds kinds;
  DecodedKeyCache cache;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    DecodedKey kept = cache.remember(stored(step.remembered), some_key(), **kinds.kind(step.kind));
    ASSERT_NE(cache.find(stored(step.remembered)), nullptr);
    EXPECT_EQ(cache.find(stored(step.remembered))->key(), kept.key());
    for (std::uint8_t tag : step.kept) EXPECT_NE(cache.find(stored(tag)), nullptr) << int{tag};
    for (std::uint8_t tag : step.gone) EXPECT_EQ(cache.find(stored(tag)), nullptr) << int{tag};
  }
  cache.forget(**kinds.kind("tpm"));
  EXPECT_EQ(cache.find(stored(2)), nullptr);
  EXPECT_NE(cache.find(stored(1)), nullptr);
  EXPECT_NE(cache.find(stored(3)), nullptr);
}

// A kind that only states how many of its keys may stay loaded.
class LimitedKind final : public KeyKind {
 public:
  explicit LimitedKind(std::size_t limit) : limit_(limit) {}
  StatusOr<std::string> bind_new_keychain() override { return Unexpected(errSecParam); }
  void unbind_keychain(std::string_view) override {}
  OSStatus check_usable(std::string_view) override { return errSecSuccess; }
  StatusOr<NewKey> create(int) override { return Unexpected(errSecInternalComponent); }
  StatusOr<SecretBytes> stored_form(const SecretBytes& made, const KeyPlace&) override {
    return made;
  }
  StatusOr<DecodedKey> load(const SecretBytes&, const KeyPlace&) override {
    return Unexpected(errSecInternalComponent);
  }
  StatusOr<KeySignature> sign(Sha256Signer&, const SecretBytes&,
                              std::span<const std::uint8_t>) override {
    return Unexpected(errSecInternalComponent);
  }
  WhenUnloadable when_unloadable() const override { return WhenUnloadable::kFailLookup; }
  AfterFailedUse after_failed_use() const override { return AfterFailedUse::kLoadAgain; }
  std::size_t loaded_limit() const override { return limit_; }

 private:
  std::size_t limit_;
};

// Each kind's limit holds for that kind alone, its oldest key going first, and the cache's own
// capacity for all kinds together.
TEST(DecodedKeyCache, KeepsNoMoreOfAKindThanItAllows) {
  LimitedKind two(2);
  LimitedKind unlimited(std::numeric_limits<std::size_t>::max());
  struct Step {
    const char* what;
    std::uint8_t remembered;
    LimitedKind* kind;
    std::vector<std::uint8_t> kept;
    std::vector<std::uint8_t> gone;
  };
  const Step steps[] = {
      {"a first key of a kind allowing two", 1, &two, {1}, {}},
      {"a second", 2, &two, {1, 2}, {}},
      {"a key of another kind", 3, &unlimited, {1, 2, 3}, {}},
      {"a third lets the oldest go", 4, &two, {2, 3, 4}, {1}},
      {"six more of the other kind fill the cache", 10, &unlimited, {2, 3, 4, 10}, {}},
      {"another of the other kind", 11, &unlimited, {}, {}},
      {"another of the other kind", 12, &unlimited, {}, {}},
      {"another of the other kind", 13, &unlimited, {}, {}},
      {"another of the other kind", 14, &unlimited, {2, 3, 4, 10, 11, 12, 13, 14}, {}},
      {"one beyond its capacity lets the oldest of all go", 15, &unlimited, {3, 4, 15}, {2}},
  };
  DecodedKeyCache cache;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    SCOPED_TRACE(int{step.remembered});
    cache.remember(stored(step.remembered), some_key(), *step.kind);
    for (std::uint8_t tag : step.kept) EXPECT_NE(cache.find(stored(tag)), nullptr) << int{tag};
    for (std::uint8_t tag : step.gone) EXPECT_EQ(cache.find(stored(tag)), nullptr) << int{tag};
  }
  cache.forget(two);
  EXPECT_EQ(cache.find(stored(4)), nullptr);
  EXPECT_NE(cache.find(stored(3)), nullptr);
}

// The same stored bytes at another row or in another keychain are another item: a sealed blob
// copied there must be opened (and refused) by its kind, never answered from memory.
TEST(DecodedKeyCache, FindsAKeyOnlyAtThePlaceItWasKeptFor) {
  KeyKinds kinds;
  DecodedKeyCache cache;
  cache.remember(stored(1), KeyPlace{"keychain-a", 7}, some_key(), **kinds.kind("software"));
  struct Case {
    const char* what;
    KeyPlace place;
    bool found;
  };
  const Case cases[] = {
      {"the same place", {"keychain-a", 7}, true},
      {"another row", {"keychain-a", 8}, false},
      {"another keychain", {"keychain-b", 7}, false},
      {"no keychain", {"", 7}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cache.find(stored(1), c.place) != nullptr, c.found) << c.what;
  }
}

}  // namespace
}  // namespace ktarn::platform::software
