// Request lines and answer checks for tests that drive the device key through the real companion:
// the request texts of every operation, the parts of a response line those tests look at, the
// identity of the key a "key" answer names, and what ktarn-keychain lists for a home folder. They
// let fault and load tests state "the same key as before" or "a keychain status failure" in one
// line each.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "e2e/companion_process.hpp"

namespace ktarn::e2e {

// One request line (without its LF) of each kind, carrying the given id.
std::string key_request(std::string_view id);
std::string sign_request(std::string_view id);  // a payload the host accepts
std::string delete_request(std::string_view id);
std::string health_request_line(std::string_view id);

// The members of one response line that matter here; none when the line is not a response.
struct Answer {
  std::string id;
  bool ok = false;
  std::string error;            // failures only
  std::string key_id;           // "key" successes: the key identifier, which names the key itself
  std::string modulus;          // "key" successes: the JSON Web Key's "n" (base64url)
  bool signed_payload = false;  // "sign" successes: both "payload" and "signature" present
  std::optional<long> deleted;  // "delete-key" successes
};
std::optional<Answer> read_answer(std::string_view line);

// Whether an error is a keychain status failure: "<label> failed (macOS OSStatus N). ..." with
// a non-zero N.
bool is_status_failure(std::string_view error);

// Options for a companion on its own home folder and key name, with no display.
ProcessOptions keychain_options(const TemporaryHome& home, std::string_view key_name);

// Runs one companion over the lines and returns its answers, one per line, in order; an answer
// that is missing or no response makes the list shorter.
std::vector<Answer> run_session(const ProcessOptions& options,
                                const std::vector<std::string>& lines);

// Sends each line to a running companion and reads its answer, one after the other; stops at
// the first missing answer.
std::vector<Answer> ask_each(CompanionProcess& companion, const std::vector<std::string>& lines);

// The key identifier of the device key for key_name, as a new companion finds (or creates) it;
// empty when "key" does not succeed.
std::string current_key_id(const TemporaryHome& home, std::string_view key_name);

// What `ktarn-keychain list` prints for the home folder, one line per stored item; none when the
// tool fails or is not built.
std::optional<std::vector<std::string>> listed_items(const TemporaryHome& home);

// The keychain file of the home folder (the path the companion picks when nothing is there).
std::string keychain_file(const TemporaryHome& home);

// The bytes of base64url text (padding optional), as JSON Web Keys and signed payloads carry them.
std::string decode_base64url(std::string text);

// All bytes of a file; empty when it cannot be read.
std::string file_bytes(const std::string& path);

// Whether the bytes hold a private RSA key a reader could take: a PKCS #1 or PKCS #8 structure
// that decodes at some offset, or one of the modulus's prime factors in plain binary.
bool holds_private_key(const std::string& bytes, const std::string& modulus);

}  // namespace ktarn::e2e
