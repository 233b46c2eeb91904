#include "verifier/cli/input_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "json/parse_json.hpp"

namespace ktarn::verifier::cli {
namespace {

// Up to limit + 1 bytes, so that the caller can tell input that is too long.
std::optional<std::string> read_bounded(int fd, std::size_t limit) {
  std::string bytes(limit + 1, '\0');
  std::size_t size = 0;
  while (size < bytes.size()) {
    const ssize_t got = ::read(fd, bytes.data() + size, bytes.size() - size);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    size += static_cast<std::size_t>(got);
  }
  bytes.resize(size);
  return bytes;
}

std::string input_name(const std::string& path) {
  return path == "-" ? std::string("standard input") : path;
}

Unexpected<std::string> file_error(const std::string& path) {
  return Unexpected("cannot read " + input_name(path) + ": " + std::strerror(errno));
}

}  // namespace

Expected<json::JsonValue, std::string> read_input(const std::string& path) {
  const int fd = path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return file_error(path);
  const std::optional<std::string> bytes = read_bounded(fd, kMaxInputBytes);
  if (!bytes) {
    const Unexpected<std::string> failure = file_error(path);
    if (fd != STDIN_FILENO) ::close(fd);
    return failure;
  }
  if (fd != STDIN_FILENO) ::close(fd);
  if (bytes->size() > kMaxInputBytes) {
    return Unexpected("cannot read " + input_name(path) +
                      ": over 1 MiB, longer than any companion answer");
  }
  json::ParseResult parsed = json::parse_json_bytes(
      {reinterpret_cast<const unsigned char*>(bytes->data()), bytes->size()});
  return parsed ? std::move(*parsed) : json::JsonValue();
}

}  // namespace ktarn::verifier::cli
