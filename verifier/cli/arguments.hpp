// The command line of ktarn-verify:
//   ktarn-verify KEY_JSON SIGN_JSON [--purpose WORD] [--nonce TEXT] [--key-id KEYID]
// Options may stand anywhere; "-" names standard input, for at most one of the two files.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/expected.hpp"
#include "verifier/verify_signature.hpp"

namespace ktarn::verifier::cli {

inline constexpr std::string_view kUsage =
    "usage: ktarn-verify KEY_JSON SIGN_JSON [--purpose WORD] [--nonce TEXT] [--key-id KEYID]\n"
    "  KEY_JSON   what \"key\" answered: the JSON Web Key, or the whole response line\n"
    "  SIGN_JSON  what \"sign\" answered: {\"payload\",\"signature\"}, or the whole response line\n"
    "             either file may be - for standard input (not both)\n"
    "  --purpose  require this purpose: challenge, request or events\n"
    "  --nonce    require the payload's \"nonce\" to be exactly this text\n"
    "  --key-id   require the key id pinned at enrolment\n"
    "Exit 0 and the verified payload's canonical JSON on standard output; exit 1 and\n"
    "\"ktarn-verify: REASON\" on standard error when the signature is refused; exit 2 for\n"
    "usage and file errors.\n";

struct Arguments {
  bool help = false;
  std::string key_path;
  std::string sign_path;
  std::optional<std::string> purpose;
  std::optional<std::string> nonce;
  std::optional<std::string> key_id;

  Expectations expectations() const;
};

// The arguments after the program name, or the one-line usage error.
Expected<Arguments, std::string> parse_arguments(std::span<const char* const> arguments);

}  // namespace ktarn::verifier::cli
