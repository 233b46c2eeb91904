#include "main/line_reader.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "base/utf8.hpp"

namespace ktarn::host {

ReadFunction descriptor_reader(int descriptor) {
  return [descriptor](char* buffer, std::size_t size) { return ::read(descriptor, buffer, size); };
}

LineReader::LineReader(ReadFunction read) : read_(std::move(read)) {}

LineReader::Refill LineReader::refill() {
  for (;;) {
    const ssize_t count = read_(buffer_.data(), buffer_.size());
    if (count > 0) {
      begin_ = 0;
      end_ = static_cast<std::size_t>(count);
      return Refill::kBytes;
    }
    if (count == 0 || errno == EBADF) return Refill::kEnd;
    if (errno != EINTR) return Refill::kError;
  }
}

std::optional<std::string> LineReader::next_line() {
  std::string line;
  for (;;) {
    if (begin_ == end_) {
      const Refill refilled = refill();
      if (refilled == Refill::kError) return std::nullopt;
      if (refilled == Refill::kEnd) break;
    }
    const char* unread = buffer_.data() + begin_;
    const char* unread_end = buffer_.data() + end_;
    const char* line_feed = std::find(unread, unread_end, '\n');
    const char* taken_end = line_feed == unread_end ? unread_end : line_feed + 1;
    line.append(unread, taken_end);
    begin_ += static_cast<std::size_t>(taken_end - unread);
    if (line_feed != unread_end) break;
    // Even a CR LF still to come removes only one of these bytes: the line is too long already.
    if (line.size() > kMaxLineBytes + 1) return std::nullopt;
  }
  if (line.empty() || !is_valid_utf8(line)) return std::nullopt;
  remove_line_ending(line);
  if (line.size() > kMaxLineBytes) return std::nullopt;
  return line;
}

void remove_line_ending(std::string& line) {
  if (!line.ends_with('\n')) return;
  line.pop_back();
  if (line.ends_with('\r')) line.pop_back();
}

}  // namespace ktarn::host
