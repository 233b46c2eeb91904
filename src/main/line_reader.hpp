// Standard input as request lines. Input is read in blocks of up to 65536 bytes (a pipe's whole
// capacity) into one buffer that lives as long as the loop, so a burst of requests, or one
// request of the largest size signed, costs one read; bytes past the current line wait there for
// the next one. A line is handed out only when it is valid UTF-8 and at most
// 65536 bytes long once its LF or CR LF ending is removed; anything else ends the input, and so
// does a read error. Gathering stops as soon as a line is known to be too long, so an endless
// line costs no more memory than a long one.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ktarn::host {

inline constexpr std::size_t kInputBlockBytes = 65536;
inline constexpr std::size_t kMaxLineBytes = 65536;

// One read of up to size bytes, with the contract of read(2): the number of bytes, 0 at end of
// input, or -1 with errno set.
using ReadFunction = std::function<ssize_t(char* buffer, std::size_t size)>;

ReadFunction descriptor_reader(int descriptor);

class LineReader {
 public:
  explicit LineReader(ReadFunction read);

  // The next request line without its ending, valid until the next call; none when the input has
  // ended, a read failed, or the line is not valid UTF-8 or too long. Interrupted reads are
  // repeated, and a closed descriptor (EBADF) reads as end of input. A line that arrived whole
  // is handed out where it lies in the buffer, so the largest requests are not copied.
  std::optional<std::string_view> next_line();

 private:
  enum class Refill { kBytes, kEnd, kError };
  Refill refill();
  std::optional<std::string_view> gather_line();

  ReadFunction read_;
  // Left unwritten until read into: only bytes a read wrote are ever looked at, and filling it
  // first would touch all sixteen of its pages in every new process, however short its input.
  std::array<char, kInputBlockBytes> buffer_;
  std::size_t begin_ = 0;  // unread bytes are buffer_[begin_, end_)
  std::size_t end_ = 0;
  std::string gathered_;  // a line that spans reads, put together
};

// The line without a final LF and then, only if one was removed, one CR before it.
std::string_view without_line_ending(std::string_view line);

}  // namespace ktarn::host
