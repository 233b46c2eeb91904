// ktarn-verify: checks one companion signature against the device key it was enrolled with, for
// relying parties that verify from a shell or another language. Usage in cli/arguments.hpp.
#include <cstdio>
#include <span>
#include <string>

#include "verifier/cli/arguments.hpp"
#include "verifier/cli/input_file.hpp"
#include "verifier/verify_signature.hpp"

namespace {

constexpr int kVerified = 0;
constexpr int kRefused = 1;
constexpr int kUsageError = 2;

int usage_failure(const std::string& message) {
  std::fprintf(stderr, "ktarn-verify: %s\n%.*s", message.c_str(),
               static_cast<int>(ktarn::verifier::cli::kUsage.size()),
               ktarn::verifier::cli::kUsage.data());
  return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ktarn::verifier;
  const auto arguments = cli::parse_arguments(
      std::span<const char* const>(argv + 1, static_cast<std::size_t>(argc - 1)));
  if (!arguments) return usage_failure(arguments.error());
  if (arguments->help) {
    std::fwrite(cli::kUsage.data(), 1, cli::kUsage.size(), stdout);
    return std::fflush(stdout) == 0 ? kVerified : kUsageError;
  }
  const auto key = cli::read_input(arguments->key_path);
  if (!key) return usage_failure(key.error());
  const auto sign_result = cli::read_input(arguments->sign_path);
  if (!sign_result) return usage_failure(sign_result.error());

  const auto verified = verify_signature(*key, *sign_result, arguments->expectations());
  if (!verified) {
    const std::string_view reason = reason_text(verified.error());
    std::fprintf(stderr, "ktarn-verify: %.*s\n", static_cast<int>(reason.size()), reason.data());
    return kRefused;
  }
  // A payload that cannot be handed on has not been delivered: say so rather than exit 0.
  const std::string line = verified->payload_bytes + "\n";
  if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fflush(stdout) != 0) {
    std::fputs("ktarn-verify: cannot write the payload\n", stderr);
    return kUsageError;
  }
  return kVerified;
}
