// The golden vectors through the C++ verifier: every case gives exactly its recorded outcome, and
// the vectors' reason list is this library's catalogue, text for text and in order.
#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <fstream>
#include <span>
#include <sstream>
#include <string>

#include "base/concat.hpp"
#include "json/parse_json.hpp"
#include "json/write_json.hpp"
#include "verifier/verify_signature.hpp"

namespace ktarn::verifier {
namespace {

std::string file_text(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

const json::JsonValue& vectors() {
  static const json::JsonValue parsed = [] {
    const std::string text = file_text(KTARN_SOURCE_DIR "/verifier/vectors/vectors.json");
    json::ParseResult result = json::parse_json(text);
    return result ? std::move(*result) : json::JsonValue();
  }();
  return parsed;
}

std::optional<std::string_view> text(const json::JsonValue& object, std::string_view name) {
  const json::JsonValue* member = json::find_member(object, name);
  return member == nullptr ? std::nullopt : member->as_string();
}

// What the verifier gave, in the vectors' own outcome form.
json::JsonValue outcome_of(const Expected<VerifiedPayload, Reason>& verified) {
  json::JsonValue outcome = json::JsonValue::object();
  outcome.insert("ok", json::JsonValue::boolean(verified.has_value()));
  if (!verified) {
    outcome.insert("reason", json::JsonValue::string(reason_text(verified.error())));
    return outcome;
  }
  outcome.insert("payloadBytes", json::JsonValue::string(verified->payload_bytes));
  outcome.insert("keyId", json::JsonValue::string(verified->key_id));
  outcome.insert("purpose", json::JsonValue::string(verified->purpose));
  return outcome;
}

// The doubles of the payload's array "x" are those the vector records, bit for bit.
void expect_doubles(const json::JsonValue& vector, const json::JsonValue& payload) {
  const json::JsonValue* doubles = json::find_member(vector, "doubles");
  if (doubles == nullptr) return;
  std::string bits;
  const std::span<const json::JsonValue> xs = *json::find_member(payload, "x")->as_array();
  for (const json::JsonValue& x : xs) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx",
                  static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(*x.as_double())));
    bits += std::string(hex) + ",";
  }
  std::string recorded;
  const std::span<const json::JsonValue> recorded_bits = *doubles->as_array();
  for (const json::JsonValue& hex : recorded_bits) {
    recorded += std::string(*hex.as_string()) + ",";
  }
  EXPECT_EQ(bits, recorded) << *text(vector, "case");
}

TEST(GoldenVectors, EveryCaseGivesItsRecordedOutcome) {
  const json::JsonValue* cases = json::find_member(vectors(), "cases");
  ASSERT_TRUE(cases != nullptr && cases->as_array()) << "vectors.json unreadable";
  const std::span<const json::JsonValue> all = *cases->as_array();
  EXPECT_GE(all.size(), 60u);
  for (const json::JsonValue& vector : all) {
    const json::JsonValue& expect = *json::find_member(vector, "expect");
    const Expectations expectations{text(expect, "purpose"), text(expect, "nonce"),
                                    text(expect, "keyId")};
    const auto verified = verify_signature(*json::find_member(vector, "key"),
                                           *json::find_member(vector, "signResult"), expectations);
    EXPECT_EQ(json::write_json(outcome_of(verified)),
              json::write_json(*json::find_member(vector, "outcome")))
        << *text(vector, "case");
    if (verified) {
      EXPECT_EQ(verified->payload, *json::parse_json(verified->payload_bytes))
          << *text(vector, "case");
      expect_doubles(vector, verified->payload);
    }
  }
}

TEST(GoldenVectors, ReasonListIsTheCatalogue) {
  const json::JsonValue* reasons = json::find_member(vectors(), "reasons");
  ASSERT_TRUE(reasons != nullptr && reasons->as_array());
  ASSERT_EQ(reasons->as_array()->size(), kReasonTexts.size());
  for (std::size_t i = 0; i < kReasonTexts.size(); ++i) {
    EXPECT_EQ((*reasons->as_array())[i].as_string(), kReasonTexts[i]);
  }
}

// Every reason is reached by at least one vector, so none of the checks goes untested.
TEST(GoldenVectors, EveryReasonIsReached) {
  std::string outcomes;
  const std::span<const json::JsonValue> all = *json::find_member(vectors(), "cases")->as_array();
  for (const json::JsonValue& vector : all) {
    outcomes += json::write_json(*json::find_member(vector, "outcome"));
  }
  for (std::string_view reason : kReasonTexts) {
    EXPECT_NE(outcomes.find(concat("\"", reason, "\"")), std::string::npos) << reason;
  }
}

// The README's catalogue names every reason, so relying parties read the texts they will meet.
TEST(GoldenVectors, ReadmeDocumentsEveryReason) {
  const std::string readme = file_text(KTARN_SOURCE_DIR "/README.md");
  const std::size_t section = readme.find("## Verifying a signature");
  ASSERT_NE(section, std::string::npos);
  const std::string text = readme.substr(section, readme.find("\n## ", section + 1) - section);
  for (std::string_view reason : kReasonTexts) {
    EXPECT_NE(text.find("| `" + std::string(reason) + "` |"), std::string::npos) << reason;
  }
}

}  // namespace
}  // namespace ktarn::verifier
