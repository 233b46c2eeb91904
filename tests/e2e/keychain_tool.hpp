// Runs ktarn-keychain as a user would, with a chosen home, for the tests that administer a
// keychain before or after the companion uses it.
#pragma once

#include <string>
#include <vector>

#include "e2e/companion_process.hpp"

namespace ktarn::e2e {

struct ToolResult {
  int exit_status = -1;
  std::string out;
  std::string err;
};

// Runs ktarn-keychain with HOME set to home, plus the given NAME=value variables and nothing
// else, standard input closed off, output collected in files of the scratch folder.
ToolResult run_tool(const std::string& home, const TemporaryHome& scratch,
                    std::vector<std::string> arguments,
                    const std::vector<std::string>& environment = {});

}  // namespace ktarn::e2e
