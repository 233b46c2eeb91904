// One bridge call over the scripted platform, with the call's three inputs and the whole
// platform script taken from the input: which operations raise the platform exception, the
// keychain's statuses and stored keys (their attributes, public halves and signing), and the
// desktop's displays, frontmost application and processes. Zero bytes mean "behave normally",
// so the fuzzer starts from working calls and adds failures one at a time.
//
// Checked: the call answers NULL only when serialising or allocating the envelope failed, and
// otherwise with a buffer of exactly text length + 1 bytes holding a JSON object of "ok" and
// exactly one of "result" (an object) or "error" (a string); a key name outside the namespace is
// refused before the keychain is touched; no platform reference outlives the call.
#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "bridge/bridge_call.hpp"
#include "bridge/platform/scripted/scripted_platform.hpp"
#include "device_key_der.hpp"
#include "fuzz_input.hpp"
#include "json/parse_json.hpp"

namespace {

using ktarn::fuzzing::FuzzInput;
using ktarn::platform::Attr;
using ktarn::platform::Constant;
using ktarn::platform::OSStatus;
using ktarn::platform::scripted::ScriptedDesktop;
using ktarn::platform::scripted::ScriptedKeychain;
using ktarn::platform::scripted::ScriptedPlatform;

void require(bool condition) {
  if (!condition) std::abort();
}

constexpr std::array<const char*, 5> kFoundationCalls = {
    "stringWithUTF8String", "base64EncodedString", "initWithBase64EncodedString",
    "dataWithJSONObject", "malloc"};
constexpr std::array<const char*, 14> kKeychainCalls = {"NSHomeDirectory",
                                                        "fileExistsAtPath",
                                                        "SecKeychainOpen",
                                                        "SecKeychainGetStatus",
                                                        "SecItemCopyMatching",
                                                        "SecItemDelete",
                                                        "CFGetTypeID",
                                                        "SecKeyGetTypeID",
                                                        "SecKeyCreateRandomKey",
                                                        "SecKeyCopyAttributes",
                                                        "SecKeyCopyPublicKey",
                                                        "SecKeyCopyExternalRepresentation",
                                                        "SecKeyIsAlgorithmSupported",
                                                        "SecKeyCreateSignature"};
constexpr std::array<const char*, 8> kDesktopCalls = {"CGGetActiveDisplayList",
                                                      "frontmostApplication",
                                                      "processIdentifier",
                                                      "localizedName",
                                                      "calloc",
                                                      "proc_listallpids",
                                                      "proc_name",
                                                      "compare"};
constexpr std::array<OSStatus, 8> kStatuses = {0,      -25300, -25308, -128,
                                               -25293, 1,      -34018, INT32_MIN};
constexpr std::array<const char*, 6> kWords = {"snapshot", "delete-key", "key", "sign", "", "Key"};
constexpr std::string_view kPrefix = "kTARN.";

template <std::size_t N>
void add_throwing(std::set<std::string>& throwing, const std::array<const char*, N>& names,
                  std::uint32_t mask) {
  for (std::size_t i = 0; i < N; ++i) {
    if ((mask >> i) & 1) throwing.insert(names[i]);
  }
}

OSStatus status(FuzzInput& input) {
  return kStatuses[input.byte() % kStatuses.size()];
}

struct CallInputs {
  std::optional<std::string> key_name, operation, argument;  // none: NULL

  static const char* pointer(const std::optional<std::string>& text) {
    return text ? text->c_str() : nullptr;
  }
};

CallInputs call_inputs(FuzzInput& input) {
  const std::uint8_t shape = input.byte();
  CallInputs call;
  call.key_name = std::string((shape & 1) ? "" : kPrefix) + input.short_text();
  const std::uint8_t word = input.byte();
  call.operation = word < kWords.size() ? std::string(kWords[word]) : input.short_text();
  call.argument = input.short_text();
  // "sign" wants the standard Base64 of a digest: the bytes are encoded unless told otherwise.
  if ((shape & 2) == 0) {
    call.argument = ktarn::platform::scripted::ScriptedFoundation().base64_encoded_string(
        ktarn::fuzzing::bytes_of(*call.argument));
  }
  if (shape & 0x10) call.key_name.reset();
  if (shape & 0x20) call.operation.reset();
  if (shape & 0x40) call.argument.reset();
  return call;
}

void script_stored_key(ScriptedKeychain& keychain, const std::string& tag, FuzzInput& input) {
  ScriptedKeychain::StoredKey& key = keychain.add_key(tag);
  const std::uint8_t flags = input.byte();
  key.is_key = (flags & 1) == 0;
  key.has_public_key = (flags & 2) == 0;
  key.signs = (flags & 4) == 0;
  key.signing_fails = (flags & 8) != 0;
  switch ((flags >> 4) & 3) {
    case 0:
      key.public_der = ktarn::fuzzing::device_key_der(ktarn::fuzzing::modulus_from({}));
      break;
    case 1:
      key.public_der.reset();
      break;
    case 2:
      key.public_der = ktarn::fuzzing::bytes_of(input.short_text());
      break;
    default:
      break;  // the scripted keychain's own short placeholder
  }
  switch (input.byte() % 5) {
    case 0:
      break;
    case 1:
      key.reported.reset();
      break;
    case 2:
      key.reported->set(Attr::kSecAttrKeySizeInBits, std::int64_t{input.word()});
      break;
    case 3:
      key.reported->set(Attr::kSecAttrKeyType, Constant::kSecAttrKeyTypeECSECPrimeRandom);
      break;
    default:
      key.reported->set(Attr::kSecAttrIsExtractable, true);
      break;
  }
}

void script_keychain(ScriptedKeychain& keychain, const CallInputs& call, FuzzInput& input) {
  add_throwing(keychain.throwing, kKeychainCalls, input.word());
  keychain.open_status = status(input);
  keychain.get_status_result = status(input);
  if (input.flag()) keychain.copy_matching_status = status(input);
  if (input.flag()) keychain.delete_status = status(input);
  keychain.status_word ^= input.byte();
  const std::uint8_t flags = input.byte();
  keychain.creation_fails = (flags & 1) != 0;
  keychain.creation_stores = (flags & 2) == 0;
  if (flags & 4)
    keychain.existing_paths.insert(keychain.home + "/Library/Keychains/login.keychain-db");
  for (std::uint8_t keys = input.byte() % 3; keys > 0; --keys) {
    const bool own = call.key_name && !input.flag();
    script_stored_key(keychain, own ? *call.key_name : input.short_text(), input);
  }
}

void script_desktop(ScriptedDesktop& desktop, FuzzInput& input) {
  add_throwing(desktop.throwing, kDesktopCalls, input.byte());
  desktop.display_status = input.flag() ? 1001 : 0;
  desktop.display_count = input.byte();
  if (input.flag()) {
    desktop.frontmost.reset();
  } else if (input.flag()) {
    // localizedName is platform text, always well-formed: the scripted name is taken only if so.
    const std::int16_t pid = static_cast<std::int16_t>(input.word());
    const std::string name = input.short_text();
    desktop.frontmost = ScriptedDesktop::Application{
        pid, ktarn::platform::scripted::ScriptedFoundation().string_with_utf8_string(name.c_str())};
  }
  desktop.calloc_fails = input.flag();
  for (std::uint8_t count = input.byte() % 8; count > 0; --count) {
    const std::int32_t pid = static_cast<std::int16_t>(input.word());
    desktop.pids.push_back(pid);
    if (input.flag()) desktop.names[pid] = {input.short_text(), std::nullopt};
  }
  if (input.flag()) desktop.listing_result = static_cast<std::int8_t>(input.byte());
}

void script_foundation(ScriptedPlatform& scripted, FuzzInput& input) {
  const std::uint8_t flags = input.byte();
  scripted.foundation.serialisation_fails = (flags & 1) != 0;
  scripted.foundation.malloc_fails = (flags & 2) != 0;
  add_throwing(scripted.foundation.throwing, kFoundationCalls, flags >> 3);
}

// What every answer must look like: {"ok":true,"result":{...}} or {"ok":false,"error":"..."}.
std::string envelope_error(std::string_view text) {
  const auto envelope = ktarn::json::parse_json(text);
  require(envelope && envelope->as_members() && envelope->as_members()->size() == 2);
  const auto* ok = ktarn::json::find_member(*envelope, "ok");
  require(ok != nullptr && ok->as_boolean().has_value());
  if (*ok->as_boolean()) {
    const auto* result = ktarn::json::find_member(*envelope, "result");
    require(result != nullptr && result->as_members().has_value());
    return {};
  }
  const auto* error = ktarn::json::find_member(*envelope, "error");
  require(error != nullptr && error->as_string().has_value());
  return std::string(*error->as_string());
}

bool envelope_may_be_lost(const ScriptedPlatform& scripted) {
  const auto& foundation = scripted.foundation;
  return foundation.serialisation_fails || foundation.malloc_fails ||
         foundation.throwing.contains("dataWithJSONObject") ||
         foundation.throwing.contains("malloc");
}

bool outside_namespace(const CallInputs& call) {
  return !call.key_name || !std::string_view(call.key_name->c_str()).starts_with(kPrefix);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input({data, size});
  const CallInputs call = call_inputs(input);
  ScriptedPlatform scripted;
  script_foundation(scripted, input);
  script_keychain(scripted.keychain, call, input);
  script_desktop(scripted.desktop, input);

  ktarn::platform::Platform platform = scripted.platform();
  char* buffer = ktarn::bridge::bridge_call(platform, CallInputs::pointer(call.key_name),
                                            CallInputs::pointer(call.operation),
                                            CallInputs::pointer(call.argument));
  require(scripted.live == 0);
  if (buffer == nullptr) {
    require(envelope_may_be_lost(scripted));
    return 0;
  }
  const std::string text(buffer);
  std::free(buffer);
  require(!scripted.foundation.allocations.empty() &&
          scripted.foundation.allocations.back() == text.size() + 1);
  const std::string error = envelope_error(text);
  if (outside_namespace(call) && !scripted.foundation.throwing.contains("stringWithUTF8String")) {
    require(error == "Invalid application key namespace" && scripted.keychain.calls.empty());
  }
  return 0;
}
