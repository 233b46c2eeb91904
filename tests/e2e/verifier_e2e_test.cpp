// The relying party's side against the real companion: its "sign" answers verified against its
// "key" answer by the C++ library, by ktarn-verify and by the JavaScript module, each given the
// whole response lines as a relying party receives them, and a tampered copy refused by all three.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <span>
#include <sstream>
#include <vector>

#include "e2e/companion_process.hpp"
#include "e2e/key_storage.hpp"
#include "json/parse_json.hpp"
#include "json/write_json.hpp"
#include "verifier/verify_signature.hpp"

namespace ktarn::e2e {
namespace {

constexpr const char* kNode = "/usr/bin/node";

struct CommandResult {
  int status = -1;
  std::string out;
  std::string err;
};

std::string file_text(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Runs a shell command line with its output and error streams caught in files under folder.
CommandResult run(const std::string& folder, const std::string& command) {
  const std::string out = folder + "/command.out";
  const std::string err = folder + "/command.err";
  const int raw = std::system((command + " >" + out + " 2>" + err).c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, file_text(out), file_text(err)};
}

// Signatures made with a software key and with a TPM key alike.
class VerifierEndToEnd : public ::testing::TestWithParam<KeyStorage> {
 protected:
  void SetUp() override {
    KTARN_SKIP_UNLESS_TESTABLE(storage_);
    ASSERT_EQ(storage_.make_keychain(home_), "");
    companion_.emplace(storage_.companion_options(home_));
  }

  // Writes the companion's answer line to request into a file of the throw-away home.
  std::string answer_file(std::string_view name, std::string_view request) {
    const std::string line = companion_->round_trip(request).value_or("<no response>");
    EXPECT_NE(line.find(R"("ok":true)"), std::string::npos) << line;
    return write_file(name, line + "\n");
  }

  std::string write_file(std::string_view name, std::string_view text) {
    const std::string path = home_.path() + "/" + std::string(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  static json::JsonValue parsed(const std::string& path) {
    json::ParseResult value = json::parse_json(file_text(path));
    return value ? std::move(*value) : json::JsonValue();
  }

  std::string verify_command(const std::string& key, const std::string& sign) const {
    return std::string(KTARN_BINARY_DIR) + "/ktarn-verify " + key + " " + sign;
  }

  // The JavaScript module's outcome line, or nothing where Node is absent.
  std::optional<std::string> module_outcome(const std::string& key, const std::string& sign,
                                            std::string_view expectations) {
    if (::access(kNode, X_OK) != 0) return std::nullopt;
    const std::string expectations_file = write_file("expectations.json", expectations);
    const CommandResult result =
        run(home_.path(), std::string(kNode) + " " + KTARN_SOURCE_DIR +
                              "/tests/e2e/verify_with_module.mjs " + key + " " + sign +
                              " \"$(cat " + expectations_file + ")\"");
    EXPECT_EQ(result.err, "");
    return result.out;
  }

  StorageUnderTest storage_{GetParam()};
  TemporaryHome home_;
  std::optional<CompanionProcess> companion_;
};

INSTANTIATE_TEST_SUITE_P(ByStorage, VerifierEndToEnd, kEveryStorage, storage_test_name);

TEST_P(VerifierEndToEnd, EveryPurposeVerifiesWithAllThreeAndATamperedCopyIsRefused) {
  const std::string key = answer_file("key.json", R"({"id":"k","type":"key"})");
  const json::JsonValue key_line = parsed(key);
  const std::string key_id(
      *json::find_member(*json::find_member(key_line, "result"), "keyId")->as_string());

  for (std::string_view purpose : {"challenge", "request", "events"}) {
    SCOPED_TRACE(purpose);
    const std::string nonce = "n-" + std::string(purpose);
    const std::string canonical = R"({"audience":"ktarn-sealed-browser","nonce":")" + nonce +
                                  R"(","protocol":1,"purpose":")" + std::string(purpose) + "\"}";
    const std::string sign =
        answer_file("sign.json", R"({"id":"s","type":"sign","payload":{"purpose":")" +
                                     std::string(purpose) + R"(","protocol":1,"nonce":")" + nonce +
                                     R"(","audience":"ktarn-sealed-browser"}})");

    const verifier::Expectations expected{purpose, nonce, key_id};
    const auto verified = verifier::verify_signature(key_line, parsed(sign), expected);
    ASSERT_TRUE(verified.has_value()) << verifier::reason_text(verified.error());
    EXPECT_EQ(verified->payload_bytes, canonical);
    EXPECT_EQ(verified->key_id, key_id);

    const CommandResult cli =
        run(home_.path(), verify_command(key, sign) + " --purpose " + std::string(purpose) +
                              " --nonce " + nonce + " --key-id " + key_id);
    EXPECT_EQ(cli.status, 0) << cli.err;
    EXPECT_EQ(cli.out, canonical + "\n");
    EXPECT_EQ(cli.err, "");

    const std::string expectations = R"({"keyId":")" + key_id + R"(","nonce":")" + nonce +
                                     R"(","purpose":")" + std::string(purpose) + "\"}";
    if (const auto outcome = module_outcome(key, sign, expectations)) {
      EXPECT_EQ(*outcome,
                R"({"ok":true,"payload":)" + json::write_json(json::JsonValue::string(canonical)) +
                    R"(,"keyId":")" + key_id + R"(","purpose":")" + std::string(purpose) + "\"}\n");
    }

    // One payload character changed in the response line: the signature no longer covers it.
    std::string tampered_line = file_text(sign);
    const std::size_t payload_at = tampered_line.find(R"("payload":")") + 20;
    tampered_line[payload_at] = tampered_line[payload_at] == 'A' ? 'B' : 'A';
    const std::string tampered = write_file("tampered.json", tampered_line);
    const auto refused = verifier::verify_signature(key_line, parsed(tampered), expected);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), verifier::Reason::kSignatureInvalid);
    const CommandResult cli_refused = run(home_.path(), verify_command(key, tampered));
    EXPECT_EQ(cli_refused.status, 1);
    EXPECT_EQ(cli_refused.out, "");
    EXPECT_EQ(cli_refused.err, "ktarn-verify: signature does not verify\n");
    if (const auto outcome = module_outcome(key, tampered, "{}")) {
      EXPECT_EQ(*outcome, R"({"ok":false,"reason":"signature does not verify"})"
                          "\n");
    }
  }
}

std::string bits_of(double x) {
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx",
                static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(x)));
  return hex;
}

// The bits of the doubles in the payload's array "x", as the JavaScript check prints them.
std::string x_bits(const json::JsonValue& payload) {
  json::JsonValue bits = json::JsonValue::array();
  const std::span<const json::JsonValue> xs = *json::find_member(payload, "x")->as_array();
  for (const json::JsonValue& x : xs) {
    bits.push_back(json::JsonValue::string(bits_of(*x.as_double())));
  }
  return json::write_json(bits);
}

// Doubles as requests carry them, from plain "mEn" texts and from the texts a browser writes for
// arbitrary doubles: signed by the companion, each payload verifies with all three, and each
// hands back exactly the doubles the companion read from the request.
TEST_P(VerifierEndToEnd, DoublesOfEveryKindVerifyAndComeBackAsSigned) {
  const std::string key = answer_file("key.json", R"({"id":"k","type":"key"})");
  const json::JsonValue key_line = parsed(key);
  std::mt19937_64 random(2024);
  std::vector<std::string> lists;
  for (const int m : {1, 3, 4, 7, 9}) {
    std::string list;
    for (int n = -330; n <= 306; n += 2) list += std::to_string(m) + "e" + std::to_string(n) + ",";
    lists.push_back(list);
  }
  for (int list_index = 0; list_index < 2; ++list_index) {
    std::string list;
    while (list.size() < 12000) {
      const double x = std::bit_cast<double>(random() >> 1);
      if (!std::isfinite(x)) continue;
      char text[32];
      list +=
          std::string(
              text, std::to_chars(text, text + sizeof text, x, std::chars_format::scientific).ptr) +
          ",";
    }
    lists.push_back(list);
  }
  for (std::string& list : lists) {
    list.pop_back();
    SCOPED_TRACE(list.substr(0, 40));
    const std::string request =
        R"({"id":"s","type":"sign","payload":{"audience":"ktarn-sealed-browser","protocol":1,)"
        R"("purpose":"request","x":[)" +
        list + "]}}";
    const std::string sign = answer_file("sign.json", request);
    const std::string held = x_bits(*json::find_member(*json::parse_json(request), "payload"));

    const auto verified = verifier::verify_signature(key_line, parsed(sign), {});
    ASSERT_TRUE(verified.has_value()) << verifier::reason_text(verified.error());
    EXPECT_EQ(x_bits(verified->payload), held);

    const CommandResult cli = run(home_.path(), verify_command(key, sign));
    EXPECT_EQ(cli.status, 0) << cli.err;
    EXPECT_EQ(cli.out, verified->payload_bytes + "\n");

    if (const auto outcome = module_outcome(key, sign, "{}")) {
      EXPECT_EQ(*outcome, R"({"ok":true,"payload":)" +
                              json::write_json(json::JsonValue::string(verified->payload_bytes)) +
                              R"(,"keyId":")" + verified->key_id +
                              R"(","purpose":"request","xBits":)" + held + "}\n");
    }
  }
}

// ktarn-verify as a shell user meets it: results alone or whole lines, standard input, reasons on
// standard error with exit 1, usage errors with exit 2.
TEST_P(VerifierEndToEnd, CommandLineExitStatusesAndStreams) {
  const std::string key = answer_file("key.json", R"({"id":"k","type":"key"})");
  const std::string sign = answer_file(
      "sign.json",
      R"({"id":"s","type":"sign","payload":{"audience":"ktarn-sealed-browser","protocol":1,"purpose":"events"}})");
  const std::string jwk =
      write_file("jwk.json", json::write_json(*json::find_member(parsed(key), "result")));
  const std::string result = write_file(
      "result.json", json::write_json(*json::find_member(parsed(sign), "result")) + "\n");
  const std::string canonical =
      R"({"audience":"ktarn-sealed-browser","protocol":1,"purpose":"events"})"
      "\n";
  const std::string failure =
      write_file("failure.json", R"({"error":"Signing context rejected","id":"s","ok":false})");
  const std::string binary = write_file("binary.json", std::string("\x00\xff{", 3));

  struct Case {
    std::string arguments;
    int status;
    std::string out;
    std::string err_start;
  };
  const Case cases[] = {
      {jwk + " " + result, 0, canonical, ""},
      {"- " + sign + " <" + key, 0, canonical, ""},
      {key + " - <" + result, 0, canonical, ""},
      {key + " " + sign + " --purpose challenge", 1, "",
       "ktarn-verify: purpose is not the expected one\n"},
      {key + " " + sign + " --nonce x", 1, "", "ktarn-verify: nonce is not the expected one\n"},
      {key + " " + failure, 1, "", "ktarn-verify: sign result is not a JSON object\n"},
      {binary + " " + sign, 1, "", "ktarn-verify: key is not a JSON object\n"},
      {key + " /dev/zero", 2, "",
       "ktarn-verify: cannot read /dev/zero: over 1 MiB, longer than any companion answer\n"},
      {sign + " " + key, 1, "", "ktarn-verify: key is not a device key JWK\n"},
      {key, 2, "", "ktarn-verify: KEY_JSON and SIGN_JSON are both needed\nusage:"},
      {key + " " + home_.path() + "/missing.json", 2, "", "ktarn-verify: cannot read "},
      {key + " " + sign + " --purpose login", 2, "", "ktarn-verify: --purpose is one of"},
      {"--help", 0, "usage: ktarn-verify KEY_JSON SIGN_JSON", ""},
  };
  for (const Case& c : cases) {
    const CommandResult run_result =
        run(home_.path(), std::string(KTARN_BINARY_DIR) + "/ktarn-verify " + c.arguments);
    EXPECT_EQ(run_result.status, c.status) << c.arguments << "\n" << run_result.err;
    EXPECT_EQ(run_result.out.substr(0, c.out.size()), c.out) << c.arguments;
    if (c.status != 0) {
      EXPECT_EQ(run_result.out, c.out) << c.arguments;
    }
    EXPECT_EQ(run_result.err.substr(0, c.err_start.size()), c.err_start) << c.arguments;
    if (c.err_start.empty()) {
      EXPECT_EQ(run_result.err, "") << c.arguments;
    }
  }
}

}  // namespace
}  // namespace ktarn::e2e
