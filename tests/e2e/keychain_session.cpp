#include "e2e/keychain_session.hpp"

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include "json/parse_json.hpp"

namespace ktarn::e2e {
namespace {

std::string request(std::string_view id, std::string_view type, std::string_view rest = {}) {
  return R"({"id":")" + std::string(id) + R"(","type":")" + std::string(type) + "\"" +
         std::string(rest) + "}";
}

std::string string_member(const json::JsonValue& object, std::string_view name) {
  const json::JsonValue* member = json::find_member(object, name);
  const auto text = member != nullptr ? member->as_string() : std::nullopt;
  return text ? std::string(*text) : std::string();
}

void read_result(const json::JsonValue& result, Answer& answer) {
  answer.key_id = string_member(result, "keyId");
  answer.modulus = string_member(result, "n");
  answer.signed_payload =
      !string_member(result, "payload").empty() && !string_member(result, "signature").empty();
  if (const json::JsonValue* deleted = json::find_member(result, "deleted")) {
    if (auto count = deleted->as_signed_integer()) answer.deleted = *count;
  }
}

}  // namespace

std::string key_request(std::string_view id) {
  return request(id, "key");
}

std::string sign_request(std::string_view id) {
  return request(id, "sign",
                 R"(,"payload":{"audience":"ktarn-sealed-browser","nonce":")" + std::string(id) +
                     R"(","protocol":1,"purpose":"challenge"})");
}

std::string delete_request(std::string_view id) {
  return request(id, "delete-key");
}

std::string health_request_line(std::string_view id) {
  return request(id, "health");
}

std::optional<Answer> read_answer(std::string_view line) {
  const json::ParseResult response = json::parse_json(line);
  if (!response.has_value()) return std::nullopt;
  const json::JsonValue* ok = json::find_member(*response, "ok");
  if (ok == nullptr || !ok->as_boolean().has_value()) return std::nullopt;
  Answer answer;
  answer.id = string_member(*response, "id");
  answer.ok = *ok->as_boolean();
  answer.error = string_member(*response, "error");
  if (const json::JsonValue* result = json::find_member(*response, "result")) {
    read_result(*result, answer);
  }
  return answer;
}

bool is_status_failure(std::string_view error) {
  static const std::regex kFormat(
      R"(^[A-Z][A-Za-z ]+ failed \(macOS OSStatus -?[1-9][0-9]*\)\. Check login Keychain )"
      R"(access; the existing key was not replaced\.$)");
  return std::regex_match(error.begin(), error.end(), kFormat);
}

ProcessOptions keychain_options(const TemporaryHome& home, std::string_view key_name) {
  ProcessOptions options;
  options.arguments = {"--key-name", std::string(key_name)};
  options.environment = {home.environment(), {"DISPLAY", std::nullopt}};
  return options;
}

std::vector<Answer> run_session(const ProcessOptions& options,
                                const std::vector<std::string>& lines) {
  std::string input;
  for (const std::string& line : lines) input += line + "\n";
  const ProcessResult result = run_companion(options, input);
  std::vector<Answer> answers;
  std::istringstream out(result.out);
  for (std::string line; std::getline(out, line);) {
    auto answer = read_answer(line);
    if (!answer) break;
    answers.push_back(std::move(*answer));
  }
  return answers;
}

std::vector<Answer> ask_each(CompanionProcess& companion, const std::vector<std::string>& lines) {
  std::vector<Answer> answers;
  for (const std::string& line : lines) {
    const auto response = companion.round_trip(line);
    auto answer = response ? read_answer(*response) : std::nullopt;
    if (!answer) break;
    answers.push_back(std::move(*answer));
  }
  return answers;
}

std::string current_key_id(const TemporaryHome& home, std::string_view key_name) {
  const auto answers = run_session(keychain_options(home, key_name), {key_request("current")});
  return answers.size() == 1 && answers[0].ok ? answers[0].key_id : std::string();
}

std::optional<std::vector<std::string>> listed_items(const TemporaryHome& home) {
  const std::string tool = KTARN_BINARY_DIR "/ktarn-keychain";
  if (::access(tool.c_str(), X_OK) != 0) return std::nullopt;
  const std::string command = "HOME='" + home.path() + "' '" + tool + "' list 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
  const int status = ::pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  std::vector<std::string> items;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) items.push_back(line);
  return items;
}

std::string keychain_file(const TemporaryHome& home) {
  const std::string folder = home.path() + "/Library/Keychains/";
  return ::access((folder + "login.keychain-db").c_str(), F_OK) == 0 ? folder + "login.keychain-db"
                                                                     : folder + "login.keychain";
}

std::string decode_base64url(std::string text) {
  for (char& c : text) c = c == '-' ? '+' : c == '_' ? '/' : c;
  const std::size_t pad = (4 - text.size() % 4) % 4;
  text.append(pad, '=');
  std::string bytes(text.size() / 4 * 3, '\0');
  const int written = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                      reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(text.size()));
  EXPECT_GE(written, 0) << text;
  bytes.resize(written < 0 ? 0 : static_cast<std::size_t>(written) - pad);
  return bytes;
}

std::string file_bytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

bool holds_private_key(const std::string& bytes, const std::string& modulus) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t offset = 0; offset < bytes.size(); ++offset) {
    if (data[offset] != 0x30) continue;
    const unsigned char* cursor = data + offset;
    const long left = static_cast<long>(bytes.size() - offset);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        d2i_AutoPrivateKey(nullptr, &cursor, left), EVP_PKEY_free);
    if (key) return true;
  }
  std::unique_ptr<BIGNUM, decltype(&BN_free)> n(
      BN_bin2bn(reinterpret_cast<const unsigned char*>(modulus.data()),
                static_cast<int>(modulus.size()), nullptr),
      BN_free);
  std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> context(BN_CTX_new(), BN_CTX_free);
  std::unique_ptr<BIGNUM, decltype(&BN_free)> factor(BN_new(), BN_free);
  std::unique_ptr<BIGNUM, decltype(&BN_free)> remainder(BN_new(), BN_free);
  const std::size_t prime_size = modulus.size() / 2;
  for (std::size_t offset = 0; offset + prime_size <= bytes.size(); ++offset) {
    if ((data[offset] & 0x80) == 0)
      continue;  // a prime of half the modulus's size fills its top bit
    BN_bin2bn(data + offset, static_cast<int>(prime_size), factor.get());
    if (BN_mod(remainder.get(), n.get(), factor.get(), context.get()) == 1 &&
        BN_is_zero(remainder.get())) {
      return true;
    }
  }
  return false;
}

}  // namespace ktarn::e2e
