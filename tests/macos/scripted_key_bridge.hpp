// A scripted stand-in for the bridge's function pair, for the "key" and "sign" tests: it answers
// every call with the envelope the test has set and records what it was asked. The pair is plain
// functions, as the C interface requires, so the script lives in one place per test program and
// each test starts by resetting it.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "json/json_value.hpp"
#include "json/write_json.hpp"
#include "macos/native_bridge_client.hpp"

namespace ktarn::macos::testing {

struct BridgeScript {
  std::string reply;  // the text the bridge answers with
  int calls = 0;
  int releases = 0;
  std::string operation;  // of the last call
  std::string argument;   // of the last call
};

inline BridgeScript& bridge_script() {
  static BridgeScript script;
  return script;
}

inline char* scripted_call(const char*, const char* operation, const char* argument) {
  BridgeScript& script = bridge_script();
  ++script.calls;
  script.operation = operation;
  script.argument = argument;
  char* buffer = static_cast<char*>(std::malloc(script.reply.size() + 1));
  std::memcpy(buffer, script.reply.c_str(), script.reply.size() + 1);
  return buffer;
}

inline void scripted_release(char* buffer) {
  ++bridge_script().releases;
  std::free(buffer);
}

inline constexpr BridgeFunctions kScriptedBridge{&scripted_call, &scripted_release};

inline void reset_script(std::string reply) {
  bridge_script() = BridgeScript{};
  bridge_script().reply = std::move(reply);
}

// Resets the script so that the bridge answers {"ok":true,"result":result}.
inline void answer_with_result(json::JsonValue result) {
  json::JsonValue envelope = json::JsonValue::object();
  envelope.insert("ok", json::JsonValue::boolean(true));
  envelope.insert("result", std::move(result));
  reset_script(json::write_json(envelope));
}

// Resets the script so that the bridge answers {"ok":true,"result":{member:value}}.
inline void answer_with_member(std::string_view member, json::JsonValue value) {
  json::JsonValue result = json::JsonValue::object();
  result.insert(std::string(member), std::move(value));
  answer_with_result(std::move(result));
}

inline void answer_with_string_member(std::string_view member, std::string text) {
  answer_with_member(member, json::JsonValue::string(std::move(text)));
}

// Resets the script so that the bridge answers {"ok":false,"error":message}.
inline void answer_with_error(std::string message) {
  json::JsonValue envelope = json::JsonValue::object();
  envelope.insert("ok", json::JsonValue::boolean(false));
  envelope.insert("error", json::JsonValue::string(std::move(message)));
  reset_script(json::write_json(envelope));
}

// A bridge answer that an operation must turn into the given message.
struct ScriptedFailure {
  std::string_view reason;
  void (*script)();  // sets the answer
  std::string_view message;
};

}  // namespace ktarn::macos::testing
