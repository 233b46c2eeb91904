// The commands of ktarn-keychain, the administration tool for the software login keychain: each
// works on the keychain the companion would use for the current user and either succeeds, with
// its output on standard output, or fails with one line of explanation.
#pragma once

#include <optional>
#include <string>

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
// Where a new keychain's keys go: in the TPM when one answers, always in the TPM (refused when
// none answers), or always in software.
enum class NewKeys { kTpmWhenReachable, kTpm, kSoftware };

CommandResult create_keychain(const std::string& path, NewKeys new_keys);
CommandResult set_lock_state(const std::string& path, bool locked);
CommandResult list_key_items(const std::string& path);
CommandResult import_key(const std::string& path, const ImportRequest& request);

}  // namespace ktarn::tools
