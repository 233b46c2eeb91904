#include "e2e/keychain_tool.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include "e2e/keychain_session.hpp"

namespace ktarn::e2e {

ToolResult run_tool(const std::string& home, const TemporaryHome& scratch,
                    std::vector<std::string> arguments,
                    const std::vector<std::string>& environment) {
  const std::string tool = KTARN_BINARY_DIR "/ktarn-keychain";
  const std::string out_path = scratch.path() + "/.tool-out";
  const std::string err_path = scratch.path() + "/.tool-err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  arguments.insert(arguments.begin(), tool);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<std::string> variables{"HOME=" + home};
  variables.insert(variables.end(), environment.begin(), environment.end());
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  ToolResult result;
  if (posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  result.out = file_bytes(out_path);
  result.err = file_bytes(err_path);
  return result;
}

}  // namespace ktarn::e2e
