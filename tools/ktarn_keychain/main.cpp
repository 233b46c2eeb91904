// ktarn-keychain: administration of the software login keychain the companion uses.
//   ktarn-keychain status | create [--tpm|--sealed|--software] | seal | lock | unlock | list
//   ktarn-keychain import PEMFILE --tag TAG [--label LABEL] [--extractable] [--synchronizable]
// Exit status 0 on success; 1 with one line on standard error otherwise.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "base/crypto_library.hpp"
#include "keychain_commands.hpp"

namespace {

using ktarn::tools::CommandResult;
using ktarn::tools::NamedKind;

// The storage kinds `create` may be told to use, each by its flag.
struct KindFlag {
  std::string_view flag;
  NamedKind kind;
};
constexpr KindFlag kKindFlags[] = {
    {"--tpm", {"tpm", "no TPM is reachable"}},
    {"--sealed",
     {"sealed",
      "the Secret Service holding the keychain's wrapping key is locked, gone or not running; "
      "unlock it through the desktop"}},
    {"--software", {"software", "software keys cannot be made"}},
};

constexpr const char* kUsage =
    "usage: ktarn-keychain status|create [--tpm|--sealed|--software]|seal|lock|unlock|list, or "
    "ktarn-keychain import PEMFILE --tag TAG [--label LABEL] [--extractable] [--synchronizable]";

CommandResult usage() {
  return {false, kUsage};
}

// The import arguments in any order; none when they do not make a request.
std::optional<ktarn::tools::ImportRequest> import_request(const std::vector<std::string>& args) {
  ktarn::tools::ImportRequest request;
  bool have_file = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool has_value = i + 1 < args.size();
    if (arg == "--tag" && has_value) {
      request.tag = args[++i];
    } else if (arg == "--label" && has_value) {
      request.label = args[++i];
    } else if (arg == "--extractable") {
      request.extractable = true;
    } else if (arg == "--synchronizable") {
      request.synchronizable = true;
    } else if (!arg.starts_with("--") && !have_file) {
      request.pem_path = arg;
      have_file = true;
    } else {
      return std::nullopt;
    }
  }
  if (!have_file || request.tag.empty()) return std::nullopt;
  return request;
}

CommandResult run(const std::string& command, const std::vector<std::string>& args) {
  const std::string path = ktarn::tools::login_keychain_path();
  if (command == "import") {
    auto request = import_request(args);
    return request ? ktarn::tools::import_key(path, *request) : usage();
  }
  if (command == "create" && args.size() == 1) {
    for (const KindFlag& flag : kKindFlags) {
      if (args[0] == flag.flag) return ktarn::tools::create_keychain(path, flag.kind);
    }
    return usage();
  }
  if (!args.empty()) return usage();
  if (command == "status") return ktarn::tools::show_status(path);
  if (command == "create") return ktarn::tools::create_keychain(path, std::nullopt);
  if (command == "seal") return ktarn::tools::seal_keychain(path);
  if (command == "lock") return ktarn::tools::set_lock_state(path, true);
  if (command == "unlock") return ktarn::tools::set_lock_state(path, false);
  if (command == "list") return ktarn::tools::list_key_items(path);
  return usage();
}

}  // namespace

int main(int argc, char** argv) {
  ktarn::prepare_crypto_library();
  if (argc < 2) {
    std::fprintf(stderr, "ktarn-keychain: %s\n", kUsage);
    return 1;
  }
  std::vector<std::string> args(argv + 2, argv + argc);
  CommandResult result = run(argv[1], args);
  if (!result.ok) {
    std::fprintf(stderr, "ktarn-keychain: %s\n", result.text.c_str());
    return 1;
  }
  std::fputs(result.text.c_str(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
