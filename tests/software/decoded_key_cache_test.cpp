// The decoded-key cache keeps at most one key loaded into a TPM, whose few object slots other
// processes need too, while software keys stay kept beside it.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include "bridge/platform/software/keys/decoded_key_cache.hpp"

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
    bool in_tpm;
    std::vector<std::uint8_t> kept;
    std::vector<std::uint8_t> gone;
  };
  const Step steps[] = {
      {"a software key", 1, false, {1}, {}},
      {"a TPM key", 2, true, {1, 2}, {}},
      {"another software key", 3, false, {1, 2, 3}, {}},
      {"a second TPM key replaces the first", 4, true, {1, 3, 4}, {2}},
      {"the first TPM key again replaces the second", 2, true, {1, 2, 3}, {4}},
  };
  DecodedKeyCache cache;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    DecodedKey kept = cache.remember(stored(step.remembered), some_key(), step.in_tpm);
    ASSERT_NE(cache.find(stored(step.remembered)), nullptr);
    EXPECT_EQ(cache.find(stored(step.remembered))->key, kept.key);
    for (std::uint8_t tag : step.kept) EXPECT_NE(cache.find(stored(tag)), nullptr) << int{tag};
    for (std::uint8_t tag : step.gone) EXPECT_EQ(cache.find(stored(tag)), nullptr) << int{tag};
  }
  cache.forget_tpm_key();
  EXPECT_EQ(cache.find(stored(2)), nullptr);
  EXPECT_NE(cache.find(stored(1)), nullptr);
  EXPECT_NE(cache.find(stored(3)), nullptr);
}

}  // namespace
}  // namespace ktarn::platform::software
