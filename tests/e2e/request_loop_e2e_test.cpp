// The companion as the browser sees it: bytes in on standard input, lines out on standard output,
// nothing on standard error but the one rejection line, exit status 0 on every ending.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e/companion_process.hpp"
#include "json/parse_json.hpp"

namespace ktarn::e2e {
namespace {

constexpr std::string_view kHealthResult =
    R"({"attestation":false,"capabilities":["deviceKey","foreground","displays","processes"],)"
    R"("captureProtection":"not-enforced","keyStorage":"login-keychain","managedLockdown":false,)"
    R"("platform":"macos","version":"0.1.0"})";

std::string health_request(std::string_view id) {
  return R"({"id":")" + std::string(id) + R"(","type":"health"})";
}

std::string health_line(std::string_view id) {
  return R"({"id":")" + std::string(id) + R"(","ok":true,"result":)" + std::string(kHealthResult) +
         "}";
}

std::string health_response(std::string_view id) {
  return health_line(id) + "\n";
}

// A health request padded with an extra member to exactly `size` bytes.
std::string health_request_of_size(std::size_t size) {
  const std::string head = R"({"id":"big","type":"health","pad":")";
  const std::string tail = R"("})";
  return head + std::string(size - head.size() - tail.size(), 'a') + tail;
}

std::string repeated(std::string_view unit, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += unit;
  return text;
}

// Every run that might reach the keychain gets a HOME of its own and no display.
ProcessOptions isolated(const TemporaryHome& home, std::vector<std::string> arguments = {}) {
  ProcessOptions options;
  options.arguments = std::move(arguments);
  options.environment = {home.environment(), {"DISPLAY", std::nullopt}};
  return options;
}

void expect_orderly_ending(const ProcessResult& result, const char* reason) {
  EXPECT_EQ(result.exit_status, 0) << reason;
  EXPECT_EQ(result.signal, 0) << reason;
  EXPECT_FALSE(result.timed_out) << reason;
}

struct SessionCase {
  const char* reason;
  std::string input;
  std::string output;
};

TEST(RequestLoopEndToEnd, AnswersEachGoodLineAndEndsSilentlyAtTheFirstBadOne) {
  const std::string hr = health_request("h");
  const std::string answer = health_response("h");
  const std::string id80(80, 'i');
  const std::string two_byte40 = repeated("\xC3\xA9", 40);
  const SessionCase cases[] = {
      {"empty input", "", ""},
      {"LF", hr + "\n", answer},
      {"CR LF", hr + "\r\n", answer},
      {"last line without ending", hr, answer},
      {"blanks around the value", " \t" + hr + "\t \r\n", answer},
      {"three requests in one write",
       health_request("1") + "\n" + health_request("2") + "\r\n" + health_request("3") + "\n",
       health_response("1") + health_response("2") + health_response("3")},
      {"empty line ends the loop", hr + "\n\n" + hr + "\n", answer},
      {"two values on a line", "{} {}\n" + hr + "\n", ""},
      {"not JSON", "health\n" + hr + "\n", ""},
      {"failure answered, loop goes on", "{}\n" + hr + "\n",
       "{\"error\":\"Unsupported native operation\",\"id\":\"\",\"ok\":false}\n" + answer},
      {"longest line", health_request_of_size(65536) + "\n", health_response("big")},
      {"longest line with CR LF", health_request_of_size(65536) + "\r\n", health_response("big")},
      {"line one byte too long", health_request_of_size(65537) + "\n" + hr + "\n", ""},
      {"lone FF", hr + "\n{\"id\":\"\xFF\",\"type\":\"health\"}\n" + hr + "\n", answer},
      {"encoded surrogate", "{\"id\":\"\xED\xA0\x80\",\"type\":\"health\"}\n" + hr + "\n", ""},
      {"overlong form", "{\"id\":\"\xC0\xAF\",\"type\":\"health\"}\n" + hr + "\n", ""},
      {"80-byte id", health_request(id80) + "\n", health_response(id80)},
      {"81-byte id", health_request(id80 + "i") + "\n" + hr + "\n", ""},
      {"40 two-byte characters", health_request(two_byte40) + "\n", health_response(two_byte40)},
      {"41 two-byte characters", health_request(two_byte40 + "\xC3\xA9") + "\n" + hr + "\n", ""},
  };
  for (const SessionCase& c : cases) {
    const ProcessResult result = run_companion({}, c.input);
    EXPECT_EQ(result.out, c.output) << c.reason;
    EXPECT_EQ(result.err, "") << c.reason;
    expect_orderly_ending(result, c.reason);
  }
}

struct KeyNameCase {
  const char* reason;
  std::vector<std::string> arguments;
  bool accepted;
};

TEST(RequestLoopEndToEnd, RejectsKeyNamesOutsideTheNamespaceWithoutReadingInput) {
  const KeyNameCase cases[] = {
      {"no arguments", {}, true},
      {"given name", {"--key-name", "kTARN.A"}, true},
      {"flag as the value", {"--key-name", "--key-name", "kTARN.A"}, false},
      {"prefix alone", {"--key-name", "kTARN."}, true},
      {"120 bytes of two-byte characters",
       {"--key-name", "kTARN." + repeated("\xC3\xA9", 57)},
       true},
      {"121 bytes", {"--key-name", "kTARN." + std::string(115, 'k')}, false},
      {"122 bytes of two-byte characters",
       {"--key-name", "kTARN." + repeated("\xC3\xA9", 58)},
       false},
      {"not UTF-8", {"--key-name", "kTARN.\xFF"}, false},
  };
  const std::string input = health_request("k") + "\n";
  for (const KeyNameCase& c : cases) {
    const TemporaryHome home;
    ProcessOptions options = isolated(home, c.arguments);
    options.channels[0] = Channel::kFile;
    const ProcessResult result = run_companion(options, input);
    expect_orderly_ending(result, c.reason);
    EXPECT_EQ(result.out, c.accepted ? health_response("k") : "") << c.reason;
    EXPECT_EQ(result.err, c.accepted ? "" : "Invalid key namespace\n") << c.reason;
    EXPECT_EQ(result.stdin_consumed, c.accepted ? input.size() : 0u) << c.reason;
  }
}

TEST(RequestLoopEndToEnd, AnswersEachRequestBeforeTheNextArrives) {
  CompanionProcess companion({});
  EXPECT_EQ(companion.round_trip(health_request("1")), health_line("1"));
  EXPECT_EQ(companion.round_trip(R"({"id":"2","type":"Health"})"),
            R"({"error":"Unsupported native operation","id":"2","ok":false})");
  EXPECT_EQ(companion.round_trip(health_request("3")), health_line("3"));
  const ProcessResult result = companion.finish();
  expect_orderly_ending(result, "interactive");
  EXPECT_EQ(result.out, "");
}

struct DescriptorCase {
  const char* reason;
  std::array<Channel, 3> channels;
  std::vector<std::string> arguments;
};

TEST(RequestLoopEndToEnd, SurvivesClosedAndAbandonedDescriptors) {
  using enum Channel;
  const DescriptorCase cases[] = {
      {"all three closed", {kClosed, kClosed, kClosed}, {}},
      {"input closed", {kClosed, kPipe, kPipe}, {}},
      {"output closed", {kPipe, kClosed, kPipe}, {}},
      {"output reader gone", {kPipe, kReaderGone, kPipe}, {}},
      {"error output closed on rejection", {kPipe, kPipe, kClosed}, {"--key-name", "bad"}},
      {"error reader gone on rejection", {kPipe, kPipe, kReaderGone}, {"--key-name", "bad"}},
  };
  const std::string input = repeated(health_request("d") + "\n", 50);
  for (const DescriptorCase& c : cases) {
    ProcessOptions options;
    options.channels = c.channels;
    options.arguments = c.arguments;
    const ProcessResult result = run_companion(options, input);
    expect_orderly_ending(result, c.reason);
    EXPECT_EQ(result.err, "") << c.reason;
  }
}

TEST(RequestLoopEndToEnd, EndlessLineEndsTheLoopWithoutGrowingMemory) {
  // The same build's footprint without input: sanitizer builds start far larger.
  const ProcessResult baseline = run_companion({});
  CompanionProcess companion({});
  const std::string block(64 * 1024, 'a');
  std::size_t written = 0;
  while (written < 20 * 1024 * 1024 && companion.write(block)) written += block.size();
  const ProcessResult result = companion.finish();
  expect_orderly_ending(result, "endless line");
  EXPECT_EQ(result.out, "");
  EXPECT_LT(written, 1024u * 1024u) << "the companion kept reading a line that was too long";
  EXPECT_LT(result.peak_rss_kib, baseline.peak_rss_kib + 4 * 1024);
}

// The bridge's answer comes back as it is: a success with a result or its own failure message,
// never the host's text for an unknown operation.
void expect_bridge_answer(const std::string& line, std::string_view id) {
  const json::ParseResult response = json::parse_json(line);
  ASSERT_TRUE(response.has_value()) << line;
  const json::JsonValue* ok = json::find_member(*response, "ok");
  ASSERT_NE(ok, nullptr) << line;
  const json::JsonValue* echoed = json::find_member(*response, "id");
  ASSERT_NE(echoed, nullptr) << line;
  EXPECT_EQ(*echoed->as_string(), id);
  ASSERT_EQ(response->as_members()->size(), 3u) << line;
  if (ok->as_boolean() == true) {
    EXPECT_NE(json::find_member(*response, "result"), nullptr) << line;
    return;
  }
  const json::JsonValue* error = json::find_member(*response, "error");
  ASSERT_NE(error, nullptr) << line;
  ASSERT_TRUE(error->as_string().has_value()) << line;
  EXPECT_NE(*error->as_string(), "Unsupported native operation") << line;
}

TEST(RequestLoopEndToEnd, PassThroughOperationsReachTheBridgeAndUnknownOnesDoNot) {
  const TemporaryHome home;
  CompanionProcess companion(isolated(home, {"--key-name", "kTARN.e2e.loop"}));
  const auto snapshot = companion.round_trip(R"({"id":"s","type":"snapshot"})");
  ASSERT_TRUE(snapshot.has_value());
  expect_bridge_answer(*snapshot, "s");
  const auto deletion = companion.round_trip(R"({"id":"d","type":"delete-key"})");
  ASSERT_TRUE(deletion.has_value());
  expect_bridge_answer(*deletion, "d");
  for (const char* word : {"snapshot ", "Snapshot", "delete_key", "list", "free"}) {
    EXPECT_EQ(companion.round_trip(std::string(R"({"id":"u","type":")") + word + "\"}"),
              R"({"error":"Unsupported native operation","id":"u","ok":false})")
        << word;
  }
  expect_orderly_ending(companion.finish(), "pass-through");
}

// The "keyId" of the device key the companion answers with for these arguments.
std::string key_id(const TemporaryHome& home, std::vector<std::string> arguments) {
  const ProcessResult result =
      run_companion(isolated(home, std::move(arguments)), "{\"type\":\"key\"}\n");
  const json::ParseResult response = json::parse_json(result.out);
  const json::JsonValue* key = response ? json::find_member(*response, "result") : nullptr;
  const json::JsonValue* id = key != nullptr ? json::find_member(*key, "keyId") : nullptr;
  return id != nullptr && id->as_string().has_value() ? std::string(*id->as_string())
                                                      : "none: " + result.out;
}

TEST(RequestLoopEndToEnd, EveryOperationUsesTheKeyNameChosenAtStart) {
  const TemporaryHome home;
  const std::string first = key_id(home, {"--key-name", "kTARN.e2e.A"});
  ASSERT_EQ(first.find("none"), std::string::npos) << first;
  EXPECT_EQ(key_id(home, {"--key-name", "kTARN.e2e.A", "--key-name", "kTARN.e2e.B"}), first);
  EXPECT_NE(key_id(home, {"--key-name", "kTARN.e2e.B"}), first);
  EXPECT_NE(key_id(home, {}), first);
}

TEST(RequestLoopEndToEnd, ARequestIsCarriedOutEvenWhenItsAnswerCannotBeWritten) {
  const TemporaryHome home;
  const std::string deletion = "{\"type\":\"delete-key\"}\n";
  const ProcessOptions options = isolated(home, {"--key-name", "kTARN.e2e.gone"});
  ASSERT_EQ(key_id(home, options.arguments).find("none"), std::string::npos);
  ProcessOptions reader_gone = options;
  reader_gone.channels[1] = Channel::kReaderGone;
  expect_orderly_ending(run_companion(reader_gone, deletion), "reader gone");
  EXPECT_EQ(run_companion(options, deletion).out,
            "{\"id\":\"\",\"ok\":true,\"result\":{\"deleted\":0}}\n");
}

constexpr rlim_t kLimitStep = 64 * 1024;

// Standard error carries the rejection line and nothing else, even when memory runs out: the
// companion then ends at once with status 71. The limits tried climb from the least the
// companion can be loaded under until one is enough for the whole session, so some runs end on
// memory exhaustion part way through it, wherever that falls on this machine.
TEST(RequestLoopEndToEnd, RunningOutOfMemoryEndsTheProcessWithNothingOnStandardError) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves far more address space than the limits here";
#endif
  const TemporaryHome home;
  const std::string input =
      health_request("1") + "\n{\"id\":\"2\",\"type\":\"key\"}\n" +
      R"({"id":"3","type":"health","pad":[)" + repeated("0,", 30000) + "0]}\n" +
      R"({"id":"4","type":"sign","payload":{"audience":"ktarn-sealed-browser","protocol":1,)" +
      R"("purpose":"challenge"}})" + "\n";
  ProcessOptions options = isolated(home);
  auto run_under = [&](rlim_t limit) {
    options.address_space_limit = limit;
    return run_companion(options, input);
  };
  // The dynamic loader's own failure (status 127, its text on standard error) comes before the
  // companion's first instruction, so the climb starts where loading succeeds.
  rlim_t unloadable = 1 << 20;
  rlim_t loadable = 1 << 30;
  while (loadable - unloadable > kLimitStep) {
    const rlim_t middle = unloadable + (loadable - unloadable) / 2;
    (run_under(middle).exit_status == 127 ? unloadable : loadable) = middle;
  }
  int exhausted = 0;
  bool completed = false;
  for (rlim_t limit = loadable; !completed && limit < loadable + (256 << 20); limit += kLimitStep) {
    const ProcessResult result = run_under(limit);
    SCOPED_TRACE(limit);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.signal, 0);
    ASSERT_TRUE(result.exit_status == 0 || result.exit_status == 71) << *result.exit_status;
    exhausted += result.exit_status == 71;
    completed =
        result.exit_status == 0 && std::count(result.out.begin(), result.out.end(), '\n') == 4;
  }
  EXPECT_GT(exhausted, 0);
  EXPECT_TRUE(completed);
}

}  // namespace
}  // namespace ktarn::e2e
