#include "main/output.hpp"

#include <unistd.h>

#include <cerrno>

namespace ktarn::host {

WriteFunction descriptor_writer(int descriptor) {
  return [descriptor](const char* bytes, std::size_t size) {
    return ::write(descriptor, bytes, size);
  };
}

bool write_fully(const WriteFunction& write, std::string_view text) {
  while (!text.empty()) {
    const ssize_t count = write(text.data(), text.size());
    if (count > 0) {
      text.remove_prefix(static_cast<std::size_t>(count));
      continue;
    }
    if (count == 0) return false;
    if (errno == EBADF) return true;
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace ktarn::host
