#include <set>
#include <vector>

#include "bridge/bridge_call.hpp"
#include "bridge/platform/scripted/scripted_foundation.hpp"
#include "bridge_fixture.hpp"

namespace ktarn::bridge::testing {
namespace {

std::string repeated(const std::string& unit, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += unit;
  return text;
}

struct NameCase {
  const char* reason;
  std::optional<std::string> key_name;  // none: NULL
  bool accepted;
};

TEST_F(BridgeTest, KeyNameNamespace) {
  const std::string grin = "\xF0\x9F\x98\x80";  // outside the BMP: two UTF-16 units
  const std::vector<NameCase> cases = {
      {"NULL", std::nullopt, false},
      {"ill-formed UTF-8", std::string("kTARN.\xFF"), false},
      {"surrogate encoded in UTF-8", std::string("kTARN.\xED\xA0\x80"), false},
      {"lower-case prefix", std::string("ktarn.App"), false},
      {"upper-case prefix", std::string("KTARN.App"), false},
      {"prefix without dot", std::string("kTARN"), false},
      {"leading space", std::string(" kTARN.App"), false},
      {"empty", std::string(""), false},
      {"the prefix alone", std::string("kTARN."), true},
      {"120 ASCII units", "kTARN." + repeated("a", 114), true},
      {"121 ASCII units", "kTARN." + repeated("a", 115), false},
      {"120 units in 234 bytes", "kTARN." + repeated("\xC3\xA9", 114), true},
      {"120 units with astral characters", "kTARN." + repeated(grin, 57), true},
      {"121 units with astral characters", "kTARN." + repeated(grin, 57) + "a", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    scripted.keychain.calls.clear();
    const auto text = call(c.key_name ? c.key_name->c_str() : nullptr, "delete-key");
    if (c.accepted) {
      EXPECT_EQ(text, R"({"ok":true,"result":{"deleted":0}})");
    } else {
      EXPECT_EQ(text, failure("Invalid application key namespace"));
      EXPECT_TRUE(scripted.keychain.calls.empty());
    }
  }
}

TEST_F(BridgeTest, InvalidNameIsRejectedBeforeTheWordIsLookedAt) {
  for (const char* word : {"snapshot", "key", "sign", "unknown"}) {
    EXPECT_EQ(call("other.App", word), failure("Invalid application key namespace")) << word;
  }
  EXPECT_TRUE(scripted.keychain.calls.empty());
}

TEST_F(BridgeTest, UnsupportedOperationWords) {
  for (const char* word : {"Key", "SIGN", "delete_key", "deletekey", "", "key ", " sign",
                           "delete-key\n", "\xC0\xAF"}) {
    EXPECT_EQ(call_text(word), failure("Unsupported macOS native operation")) << word;
  }
  EXPECT_EQ(call(kKeyName, nullptr), failure("Unsupported macOS native operation"));
  EXPECT_TRUE(scripted.keychain.calls.empty());
}

TEST_F(BridgeTest, SlashIsEscapedInTheReturnedText) {
  scripted.keychain.add_key(kKeyName).public_der = platform::Bytes{0xFF, 0xFF, 0xFF};
  EXPECT_EQ(call_text("key"), R"({"ok":true,"result":{"publicDer":"\/\/\/\/"}})");
}

TEST_F(BridgeTest, NoBufferWhenSerialisationOrAllocationFails) {
  scripted.foundation.serialisation_fails = true;
  EXPECT_EQ(call(kKeyName, "delete-key"), std::nullopt);
  EXPECT_TRUE(scripted.foundation.allocations.empty());

  scripted.foundation.serialisation_fails = false;
  scripted.foundation.malloc_fails = true;
  EXPECT_EQ(call(kKeyName, "delete-key"), std::nullopt);
  EXPECT_EQ(scripted.foundation.allocations.size(), 1u);
}

TEST_F(BridgeTest, ExceptionWhileSerialisingYieldsNoBuffer) {
  for (const char* operation : {"dataWithJSONObject", "malloc"}) {
    scripted.foundation.throwing = {operation};
    EXPECT_EQ(call(kKeyName, "delete-key"), std::nullopt) << operation;
  }
}

// Runs the word once to learn every platform operation it reaches, then once more for each of
// them with that operation raising: every one must give the fallback envelope and leak nothing.
class FallbackTest : public ::testing::TestWithParam<std::pair<const char*, bool>> {};

TEST_P(FallbackTest, ExceptionInAnyOperationGivesTheFallbackEnvelope) {
  const auto [word, key_stored] = GetParam();
  auto prepare = [key_stored](BridgeHarness& test) {
    if (key_stored) test.scripted.keychain.add_key(kKeyName);
  };
  std::set<std::string> reached;
  {
    BridgeHarness probe;
    prepare(probe);
    ASSERT_TRUE(probe.call(kKeyName, word, kDigest)->starts_with(R"({"ok":true)"));
    reached.insert(probe.scripted.keychain.calls.begin(), probe.scripted.keychain.calls.end());
    for (const auto& name : probe.scripted.foundation.calls) {
      if (name != "dataWithJSONObject" && name != "malloc") reached.insert(name);
    }
  }
  ASSERT_GE(reached.size(), 5u);
  for (const auto& operation : reached) {
    SCOPED_TRACE(operation);
    BridgeHarness run;
    prepare(run);
    run.scripted.keychain.throwing = {operation};
    run.scripted.foundation.throwing = {operation};
    EXPECT_EQ(run.call(kKeyName, word, kDigest),
              BridgeHarness::failure("macOS native framework operation failed"));
  }
}

INSTANTIATE_TEST_SUITE_P(Words, FallbackTest,
                         ::testing::Values(std::pair{"key", false}, std::pair{"key", true},
                                           std::pair{"sign", false}, std::pair{"sign", true},
                                           std::pair{"delete-key", true}));

struct EnvelopeCase {
  const char* reason;
  bool has_result;
  MessageSlot error;
  const char* text;
};

TEST(Envelope, ResultPresenceAloneDecides) {
  const std::vector<EnvelopeCase> cases = {
      {"result", true, std::nullopt, R"({"ok":true,"result":{"deleted":1}})"},
      {"message beside a result is dropped", true, "ignored",
       R"({"ok":true,"result":{"deleted":1}})"},
      {"message", false, "Device key is not RSA",
       R"({"ok":false,"error":"Device key is not RSA"})"},
      {"neither", false, std::nullopt, R"({"ok":false,"error":"macOS operation failed"})"},
  };
  platform::scripted::ScriptedFoundation foundation;
  for (const auto& c : cases) {
    std::optional<platform::Dictionary> result;
    if (c.has_result) result.emplace().set("deleted", platform::Value{std::int64_t{1}});
    EXPECT_EQ(foundation.data_with_json_object(response_envelope(result, c.error)), c.text)
        << c.reason;
  }
  EXPECT_EQ(foundation.data_with_json_object(fallback_envelope()),
            R"({"ok":false,"error":"macOS native framework operation failed"})");
}

}  // namespace
}  // namespace ktarn::bridge::testing
