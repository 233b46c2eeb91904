// Arbitrary bytes as the companion's standard input, through the real line reader, request loop
// and operation table, with the bridge's C pair defined here in place of the real bridge.
//
// The input's first line is the script, the rest is the stream. Script byte 0 shapes the reads
// (block size, interrupted reads), byte 1 the ending of the input (end, closed descriptor or a
// read error) and the writes (whole, partial, interrupted, or failing after some lines); the
// remaining bytes are the key name, which the host hands unchanged to every bridge call, so the
// bridge below answers from it without state of its own: its first byte picks the kind of reply
// (NULL, empty, raw text, envelopes with and without a result or message, a public key, a
// signature) and the rest fills it in.
//
// Checked: every request line that the loop may take is answered, in order, by one line that
// parses, is canonical, has exactly the members of a response object and echoes the request's
// id; the loop stops silently at the first line it may not take, or at a failed write.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/base64.hpp"
#include "base/utf8.hpp"
#include "device_key_der.hpp"
#include "json/parse_json.hpp"
#include "json/write_json.hpp"
#include "ktarn_macos.h"
#include "main/handle_request.hpp"
#include "main/line_reader.hpp"
#include "main/request_loop.hpp"

namespace {

using ktarn::json::JsonValue;

void require(bool condition) {
  if (!condition) std::abort();
}

char* copied(const std::string& text) {
  char* buffer = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return buffer;
}

// Standard Base64 as the real bridge's serialiser writes it inside JSON: "/" as "\/".
std::string escaped_base64(ktarn::ByteView bytes) {
  std::string text;
  for (char c : ktarn::base64_encode(bytes)) {
    if (c == '/') text += '\\';
    text += c;
  }
  return text;
}

// A device key whose modulus comes from the body; an odd first byte damages one byte of it.
std::string public_der_reply(std::string_view body) {
  const auto seed = ktarn::as_bytes(body);
  std::vector<std::uint8_t> der =
      ktarn::fuzzing::device_key_der(ktarn::fuzzing::modulus_from(seed));
  if (seed.size() >= 3 && (seed[0] & 1) != 0) der[seed[1] % der.size()] ^= seed[2] | 1;
  return R"({"ok":true,"result":{"publicDer":")" + escaped_base64(der) + R"("}})";
}

std::optional<std::string> scripted_reply(std::string_view script) {
  const std::uint8_t kind = script.empty() ? 0 : static_cast<std::uint8_t>(script[0]) % 10;
  const std::string body(script.empty() ? script : script.substr(1));
  switch (kind) {
    case 0:
      return std::nullopt;
    case 1:
      return "";
    case 2:
      return body;
    case 3:
      return R"({"ok":false,"error":")" + body + R"("})";
    case 4:
      return R"({"ok":false})";
    case 5:
      return R"({"ok":true})";
    case 6:
      return R"({"ok":true,"result":)" + body + "}";
    case 7:
      return public_der_reply(body);
    case 8:
      return R"({"ok":true,"result":{"signature":")" + escaped_base64(ktarn::as_bytes(body)) +
             R"("}})";
    default:
      return R"({"result":)" + body + R"(,"error":"x","ok":true})";
  }
}

// The fixed messages of the host's bridge client, for the replies that lead to them.
std::optional<std::string_view> client_message(std::string_view key_name) {
  if (key_name.find('\0') != std::string_view::npos) return "Invalid key name";
  const std::uint8_t kind = key_name.empty() ? 0 : static_cast<std::uint8_t>(key_name[0]) % 10;
  if (kind == 0) return "macOS native bridge could not allocate a response";
  if (kind == 1) return "Invalid macOS native response";
  if (kind == 4) return "macOS operation failed";
  return std::nullopt;
}

}  // namespace

// The host reaches the bridge only through these two symbols, so the fuzzer defines them.
extern "C" char* ktarn_macos_call(const char* key_name, const char* operation,
                                  const char* argument) {
  const std::string_view word(operation);
  require(word == "snapshot" || word == "delete-key" || word == "key" || word == "sign");
  // "sign" passes the standard Base64 of a 32-byte digest; the others pass nothing.
  require(std::strlen(argument) == (word == "sign" ? 44 : 0));
  const std::optional<std::string> reply = scripted_reply(key_name);
  return reply ? copied(*reply) : nullptr;
}

extern "C" void ktarn_macos_free(char* buffer) {
  std::free(buffer);
}

namespace {

struct StreamScript {
  std::size_t block = ktarn::host::kInputBlockBytes;
  bool interrupted_reads = false;
  enum class Ending { kEnd, kClosed, kError } ending = Ending::kEnd;
  enum class Writes { kWhole, kPartial, kInterrupted, kFailing } writes = Writes::kWhole;
  std::size_t lines_before_failure = 0;
};

StreamScript stream_script(std::uint8_t reads, std::uint8_t ends) {
  static constexpr std::size_t kBlocks[] = {8192, 1, 2, 3, 5, 7, 13, 64, 100, 511, 1024, 4095};
  StreamScript script;
  script.block = kBlocks[reads % std::size(kBlocks)];
  script.interrupted_reads = (reads & 0x80) != 0;
  script.ending = static_cast<StreamScript::Ending>((ends & 3) % 3);
  script.writes = static_cast<StreamScript::Writes>((ends >> 2) & 3);
  script.lines_before_failure = (ends >> 4) & 3;
  return script;
}

ktarn::host::ReadFunction scripted_reader(std::string_view stream, const StreamScript& script) {
  return [stream, script, interrupt = script.interrupted_reads](char* buffer,
                                                                std::size_t size) mutable {
    if (interrupt) {
      interrupt = false;
      errno = EINTR;
      return ssize_t{-1};
    }
    interrupt = script.interrupted_reads;
    if (stream.empty()) {
      if (script.ending == StreamScript::Ending::kEnd) return ssize_t{0};
      errno = script.ending == StreamScript::Ending::kClosed ? EBADF : EIO;
      return ssize_t{-1};
    }
    const std::size_t count = std::min({size, script.block, stream.size()});
    std::memcpy(buffer, stream.data(), count);
    stream.remove_prefix(count);
    return static_cast<ssize_t>(count);
  };
}

ktarn::host::WriteFunction scripted_writer(std::string& out, const StreamScript& script) {
  return [&out, script, lines = std::size_t{0}, interrupt = false](const char* bytes,
                                                                   std::size_t size) mutable {
    using Writes = StreamScript::Writes;
    if (script.writes == Writes::kInterrupted) {
      // Every other attempt is interrupted, the first one included.
      interrupt = !interrupt;
      if (interrupt) {
        errno = EINTR;
        return ssize_t{-1};
      }
    }
    if (script.writes == Writes::kFailing && lines == script.lines_before_failure) {
      errno = EPIPE;
      return ssize_t{-1};
    }
    const std::size_t count =
        script.writes == Writes::kPartial ? std::min<std::size_t>(size, 7) : size;
    out.append(bytes, count);
    lines += static_cast<std::size_t>(std::count(bytes, bytes + count, '\n'));
    return static_cast<ssize_t>(count);
  };
}

// The requests the loop must answer, in order: every line up to the first one it may not take.
std::vector<JsonValue> answerable_requests(std::string_view stream, const StreamScript& script) {
  std::vector<JsonValue> requests;
  while (!stream.empty()) {
    const std::size_t end = stream.find('\n');
    // An unfinished last line is lost when the read after it fails.
    if (end == std::string_view::npos && script.ending == StreamScript::Ending::kError) break;
    std::string_view line =
        stream.substr(0, end == std::string_view::npos ? stream.size() : end + 1);
    stream.remove_prefix(line.size());
    if (!ktarn::is_valid_utf8(line)) break;
    line = ktarn::host::without_line_ending(line);
    if (line.size() > ktarn::host::kMaxLineBytes) break;
    ktarn::json::ParseResult request = ktarn::json::parse_json(line);
    if (!request) break;
    const JsonValue* id = ktarn::json::find_member(*request, "id");
    if (id != nullptr && id->as_string().has_value() &&
        id->as_string()->size() > ktarn::host::kMaxRequestIdBytes) {
      break;
    }
    requests.push_back(std::move(*request));
  }
  return requests;
}

constexpr std::array<std::string_view, 5> kOperationWords = {"health", "key", "sign", "snapshot",
                                                             "delete-key"};
constexpr std::string_view kHealthReport =
    R"({"attestation":false,"capabilities":["deviceKey","foreground","displays","processes"],)"
    R"("captureProtection":"not-enforced","keyStorage":"login-keychain","managedLockdown":false,)"
    R"("platform":"macos","version":"0.1.0"})";

// The member's text, or "" when it is missing or not a string, as the dispatcher reads "id".
std::string member_text(const JsonValue& value, std::string_view name) {
  const JsonValue* member = ktarn::json::find_member(value, name);
  const auto text = member != nullptr ? member->as_string() : std::nullopt;
  return text ? std::string(*text) : std::string();
}

void check_response(std::string_view line, const JsonValue& request, std::string_view key_name) {
  const ktarn::json::ParseResult response = ktarn::json::parse_json(line);
  require(response && ktarn::json::write_json(*response) == line);
  const auto members = response->as_members();
  require(members && members->size() == 3);
  const JsonValue* ok = ktarn::json::find_member(*response, "ok");
  require(ok != nullptr && ok->as_boolean().has_value());
  const JsonValue* id = ktarn::json::find_member(*response, "id");
  require(id != nullptr && id->as_string() && *id->as_string() == member_text(request, "id"));
  const JsonValue* error = ktarn::json::find_member(*response, "error");
  require(*ok->as_boolean() ? ktarn::json::find_member(*response, "result") != nullptr
                            : error != nullptr && error->as_string().has_value());
  const std::string type = member_text(request, "type");
  if (std::ranges::find(kOperationWords, type) == kOperationWords.end()) {
    require(!*ok->as_boolean() && *error->as_string() == ktarn::host::kUnsupportedOperation);
  } else if (type == "health") {
    require(ktarn::json::write_json(*ktarn::json::find_member(*response, "result")) ==
            kHealthReport);
  } else if (type != "sign") {
    const std::optional<std::string_view> message = client_message(key_name);
    if (message) require(!*ok->as_boolean() && *error->as_string() == *message);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t header_end = input.find('\n');
  if (header_end == std::string_view::npos) return 0;
  const std::string_view header = input.substr(0, header_end);
  const std::string_view stream = input.substr(header_end + 1);
  const StreamScript script =
      stream_script(header.size() > 0 ? header[0] : 0, header.size() > 1 ? header[1] : 0);
  const std::string_view key_name = header.size() > 2 ? header.substr(2) : std::string_view();

  std::string out;
  ktarn::host::LineReader reader(scripted_reader(stream, script));
  ktarn::host::run_request_loop(reader, scripted_writer(out, script), key_name);

  std::vector<JsonValue> requests = answerable_requests(stream, script);
  if (script.writes == StreamScript::Writes::kFailing &&
      requests.size() > script.lines_before_failure) {
    requests.resize(script.lines_before_failure);
  }
  std::string_view lines(out);
  for (const JsonValue& request : requests) {
    const std::size_t end = lines.find('\n');
    require(end != std::string_view::npos);
    check_response(lines.substr(0, end), request, key_name);
    lines.remove_prefix(end + 1);
  }
  require(lines.empty());
  return 0;
}
