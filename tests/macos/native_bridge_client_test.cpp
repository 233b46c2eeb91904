#include "macos/native_bridge_client.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "json/parse_json.hpp"
#include "json/write_json.hpp"

namespace ktarn::macos {
namespace {

// What the scripted bridge answers and what it was asked. The C interface takes plain function
// pointers, so the script lives here for the duration of one test.
struct BridgeScript {
  std::optional<std::string> reply;  // none: the bridge returns NULL
  int calls = 0;
  int releases = 0;
  char* handed_out = nullptr;
  bool released_foreign_pointer = false;
  std::string key_name, operation, argument;
};
BridgeScript script;

char* scripted_call(const char* key_name, const char* operation, const char* argument) {
  ++script.calls;
  script.key_name = key_name;
  script.operation = operation;
  script.argument = argument;
  if (!script.reply) return nullptr;
  script.handed_out = static_cast<char*>(std::malloc(script.reply->size() + 1));
  std::memcpy(script.handed_out, script.reply->c_str(), script.reply->size() + 1);
  return script.handed_out;
}

void scripted_release(char* buffer) {
  ++script.releases;
  script.released_foreign_pointer = script.released_foreign_pointer || buffer != script.handed_out;
  std::free(buffer);
}

constexpr BridgeFunctions kScriptedBridge{&scripted_call, &scripted_release};

// "result:<json>" for a success, "error:<message>" for a failure.
std::string describe(const OperationOutcome& outcome) {
  return outcome.has_value() ? "result:" + json::write_json(*outcome) : "error:" + outcome.error();
}

struct ReplyCase {
  const char* reason;
  std::optional<std::string> reply;
  std::string expected;
};

TEST(NativeBridgeClient, TurnsEveryReplyIntoOneOutcomeAndReleasesItOnce) {
  const ReplyCase cases[] = {
      {"NULL reply", std::nullopt, "error:macOS native bridge could not allocate a response"},
      {"success", R"({"ok":true,"result":{"b":1,"a":[true]}})", R"(result:{"a":[true],"b":1})"},
      {"success without result", R"({"ok":true})", "result:null"},
      {"error ignored on success", R"({"ok":true,"error":"x"})", "result:null"},
      {"scalar result", R"({"result":"r","ok":true})", R"(result:"r")"},
      {"failure message verbatim", R"({"ok":false,"error":"Key not found."})",
       "error:Key not found."},
      {"empty failure message", R"({"ok":false,"error":""})", "error:"},
      {"error not a string", R"({"ok":false,"error":42})", "error:macOS operation failed"},
      {"error missing", R"({"ok":false})", "error:macOS operation failed"},
      {"ok as string", R"({"ok":"true","result":{}})", "error:macOS operation failed"},
      {"ok as number", R"({"ok":1,"result":{}})", "error:macOS operation failed"},
      {"ok missing", R"({"result":{},"error":"e"})", "error:e"},
      {"array reply", "[]", "error:macOS operation failed"},
      {"string reply", R"("x")", "error:macOS operation failed"},
      {"null reply text", "null", "error:macOS operation failed"},
      {"empty reply text", "", "error:Invalid macOS native response"},
      {"white space only", " \t\r\n", "error:Invalid macOS native response"},
      {"trailing white space", "{\"ok\":true} \r\n\t", "result:null"},
      {"trailing characters", R"({"ok":true}x)", "error:Invalid macOS native response"},
      {"two values", R"({"ok":true}{"ok":true})", "error:Invalid macOS native response"},
      {"syntax error", R"({"ok":true,})", "error:Invalid macOS native response"},
      {"string not UTF-8", "{\"ok\":false,\"error\":\"\xFF\"}",
       "error:Invalid macOS native response"},
      {"escaped slashes read plainly", R"({"ok":true,"result":{"publicDer":"a\/b+c="}})",
       R"(result:{"publicDer":"a/b+c="})"},
      {"escaped non-ASCII read as UTF-8", R"({"ok":false,"error":"\u00e9"})", "error:\xC3\xA9"},
  };
  for (const ReplyCase& c : cases) {
    script = {};
    script.reply = c.reply;
    const OperationOutcome outcome = call_native_bridge("kTARN.A", "snapshot", "", kScriptedBridge);
    EXPECT_EQ(describe(outcome), c.expected) << c.reason;
    EXPECT_EQ(script.calls, 1) << c.reason;
    EXPECT_EQ(script.releases, c.reply ? 1 : 0) << c.reason;
    EXPECT_FALSE(script.released_foreign_pointer) << c.reason;
  }
}

TEST(NativeBridgeClient, ReadsTheReplyOnlyUpToItsFirstNul) {
  script = {};
  script.reply = std::string("{\"ok\":true}\0garbage", 19);
  EXPECT_EQ(describe(call_native_bridge("kTARN.A", "snapshot", "", kScriptedBridge)),
            "result:null");
  EXPECT_EQ(script.releases, 1);
}

TEST(NativeBridgeClient, PassesItsInputsUnchanged) {
  script = {};
  script.reply = R"({"ok":true})";
  call_native_bridge("kTARN.\xC3\xA9", "sign", "AAAA/+==", kScriptedBridge);
  EXPECT_EQ(script.key_name, "kTARN.\xC3\xA9");
  EXPECT_EQ(script.operation, "sign");
  EXPECT_EQ(script.argument, "AAAA/+==");
}

struct NulCase {
  const char* reason;
  std::string key_name, operation, argument;
  std::string expected;
};

TEST(NativeBridgeClient, RefusesInputsWithNulWithoutCallingTheBridge) {
  using namespace std::string_literals;
  const NulCase cases[] = {
      {"key name", "kTARN.\0x"s, "snapshot", "", "error:Invalid key name"},
      {"operation", "kTARN.A", "snap\0shot"s, "", "error:Invalid operation"},
      {"argument", "kTARN.A", "sign", "\0"s, "error:Invalid argument"},
      {"key name checked first", "\0"s, "\0"s, "\0"s, "error:Invalid key name"},
      {"operation before argument", "kTARN.A", "\0"s, "\0"s, "error:Invalid operation"},
  };
  for (const NulCase& c : cases) {
    script = {};
    script.reply = R"({"ok":true})";
    const OperationOutcome outcome =
        call_native_bridge(c.key_name, c.operation, c.argument, kScriptedBridge);
    EXPECT_EQ(describe(outcome), c.expected) << c.reason;
    EXPECT_EQ(script.calls, 0) << c.reason;
  }
}

}  // namespace
}  // namespace ktarn::macos
