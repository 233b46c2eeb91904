#include "verifier/cli/arguments.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace ktarn::verifier::cli {
namespace {

constexpr std::array<std::string_view, 3> kPurposes = {"challenge", "request", "events"};

Unexpected<std::string> usage_error(std::string text) {
  return Unexpected(std::move(text));
}

// The slot an option's value goes to, or nullptr when word is not an option.
std::optional<std::string>* option_slot(Arguments& arguments, std::string_view word) {
  if (word == "--purpose") return &arguments.purpose;
  if (word == "--nonce") return &arguments.nonce;
  if (word == "--key-id") return &arguments.key_id;
  return nullptr;
}

}  // namespace

Expectations Arguments::expectations() const {
  Expectations expected;
  if (purpose) expected.purpose = *purpose;
  if (nonce) expected.nonce = *nonce;
  if (key_id) expected.key_id = *key_id;
  return expected;
}

Expected<Arguments, std::string> parse_arguments(std::span<const char* const> words) {
  Arguments arguments;
  std::vector<std::string_view> files;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string_view word = words[i];
    if (word == "--help" || word == "-h") {
      arguments.help = true;
      return arguments;
    }
    if (std::optional<std::string>* slot = option_slot(arguments, word)) {
      if (i + 1 == words.size()) return usage_error(std::string(word) + " needs a value");
      if (slot->has_value()) return usage_error(std::string(word) + " given twice");
      *slot = words[++i];
    } else if (word.starts_with("--") || (word.starts_with("-") && word != "-")) {
      return usage_error("unknown option " + std::string(word));
    } else {
      files.push_back(word);
    }
  }
  if (files.size() != 2) return usage_error("KEY_JSON and SIGN_JSON are both needed");
  if (files[0] == "-" && files[1] == "-") return usage_error("only one input can be -");
  if (arguments.purpose && std::ranges::find(kPurposes, *arguments.purpose) == kPurposes.end()) {
    return usage_error("--purpose is one of challenge, request, events");
  }
  arguments.key_path = files[0];
  arguments.sign_path = files[1];
  return arguments;
}

}  // namespace ktarn::verifier::cli
