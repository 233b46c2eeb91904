#include "main/line_reader.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
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

namespace {

// The first LF in [from, to), or to: the C library's search, which looks at many bytes at a time
// where the standard algorithm goes byte by byte through a 32 KiB request.
const char* find_line_feed(const char* from, const char* to) {
  const void* found = std::memchr(from, '\n', static_cast<std::size_t>(to - from));
  return found != nullptr ? static_cast<const char*>(found) : to;
}

std::optional<std::string_view> checked_line(std::string_view line) {
  if (line.empty() || !is_valid_utf8(line)) return std::nullopt;
  line = without_line_ending(line);
  if (line.size() > kMaxLineBytes) return std::nullopt;
  return line;
}

}  // namespace

std::optional<std::string_view> LineReader::next_line() {
  if (begin_ == end_ && refill() != Refill::kBytes) return std::nullopt;
  const char* unread = buffer_.data() + begin_;
  const char* line_feed = find_line_feed(unread, buffer_.data() + end_);
  if (line_feed == buffer_.data() + end_) return gather_line();
  const std::string_view line(unread, static_cast<std::size_t>(line_feed + 1 - unread));
  begin_ += line.size();
  return checked_line(line);
}

std::optional<std::string_view> LineReader::gather_line() {
  std::string& line = gathered_;
  line.clear();
  for (;;) {
    if (begin_ == end_) {
      const Refill refilled = refill();
      if (refilled == Refill::kError) return std::nullopt;
      if (refilled == Refill::kEnd) break;
    }
    const char* unread = buffer_.data() + begin_;
    const char* unread_end = buffer_.data() + end_;
    const char* line_feed = find_line_feed(unread, unread_end);
    const char* taken_end = line_feed == unread_end ? unread_end : line_feed + 1;
    line.append(unread, taken_end);
    begin_ += static_cast<std::size_t>(taken_end - unread);
    if (line_feed != unread_end) break;
    // Even a CR LF still to come removes only one of these bytes: the line is too long already.
    if (line.size() > kMaxLineBytes + 1) return std::nullopt;
  }
  return checked_line(line);
}

std::string_view without_line_ending(std::string_view line) {
  if (!line.ends_with('\n')) return line;
  line.remove_suffix(1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

}  // namespace ktarn::host
