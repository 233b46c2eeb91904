// The commands of ktarn-keychain, the administration tool for the software login keychain: each
// works on the keychain the companion would use for the current user and either succeeds, with
// its output on standard output, or fails with one line of explanation.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ktarn::tools {

struct ImportRequest {
  std::string pem_path;
  std::string tag;
  std::optional<std::string> label;  // the tag when absent
  bool extractable = false;
  bool synchronizable = false;
};

// What a command printed, or the one-line reason it failed.
struct CommandResult {
  bool ok = true;
  std::string text;
};

// The login keychain the companion would use for the current user.
std::string login_keychain_path();

CommandResult show_status(const std::string& path);
// A storage kind asked for by name (its word in the keychain), and what to say when it cannot
// make keys now.
struct NamedKind {
  std::string_view kind;
  std::string_view unavailable;
};

// A new keychain whose keys always go to the kind named (refused when it cannot make keys now),
// or, when none is named, to the kind the companion would choose: the TPM when one answers, else
// sealed when a Secret Service takes a wrapping key, else software.
CommandResult create_keychain(const std::string& path, const std::optional<NamedKind>& kind);
// Seals every software key of a software keychain in place, under a wrapping key stored now in
// the Secret Service, and makes the keychain a sealed one: the same keys, no longer usable from
// the file alone.
CommandResult seal_keychain(const std::string& path);
CommandResult set_lock_state(const std::string& path, bool locked);
CommandResult list_key_items(const std::string& path);
CommandResult import_key(const std::string& path, const ImportRequest& request);

}  // namespace ktarn::tools
