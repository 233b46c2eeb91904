#include "json/write_json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "json/format_double.hpp"
#include "json/plain_run.hpp"

namespace ktarn::json {
namespace {

// For each byte that ends a plain run: the letter of its short escape, or 'u' for the \u00xx
// form.
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[static_cast<std::size_t>(c)] = 'u';
  table['"'] = '"';
  table['\\'] = '\\';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  return table;
}
constexpr std::array<char, 256> kEscape = make_escape_table();

// The longest escape, \u00xx, and the longest integer, a sign and 20 digits, with room to spare.
constexpr std::size_t kMaxEscape = 6;
constexpr std::size_t kMaxInteger = 24;
// The first room a write asks for; small responses never need more.
constexpr std::size_t kFirstRoom = 512;

// Writes straight into the output string's buffer: each token asks for the room it may need at
// most, so the buffer is checked once per token and grown geometrically, never byte by byte. Each
// routine takes the position to write at and returns the position after what it wrote, so the
// position stays in a register rather than being stored and reloaded around every byte written.
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out), start_(out.size()) {
    extend(std::max(out_.capacity(), start_ + kFirstRoom));
    limit_ = out_.data() + out_.size();
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  // A write cut short by a failed allocation leaves the string as it was.
  ~Writer() {
    if (!done_) out_.resize(start_);
  }

  // Appends the text of value, cutting the string back to the bytes written.
  void write(const JsonValue& value) {
    char* const end = this->value(out_.data() + start_, value);
    out_.resize(static_cast<std::size_t>(end - out_.data()));
    done_ = true;
  }

 private:
  char* value(char* p, const JsonValue& value) {
    switch (value.kind()) {
      case Kind::kNull:
        return put(p, "null", 4);
      case Kind::kBoolean:
        return *value.as_boolean() ? put(p, "true", 4) : put(p, "false", 5);
      case Kind::kNumber:
        return number(p, value);
      case Kind::kString:
        return string(p, *value.as_string());
      case Kind::kArray:
        return array(p, *value.as_array());
      case Kind::kObject:
        return object(p, *value.as_members());
    }
    return p;
  }

  char* room(char* p, std::size_t count) {
    if (static_cast<std::size_t>(limit_ - p) < count) return grow(p, count);
    return p;
  }

  char* grow(char* p, std::size_t count) {
    const auto used = static_cast<std::size_t>(p - out_.data());
    extend(std::max(2 * out_.size(), used + count));
    limit_ = out_.data() + out_.size();
    return out_.data() + used;
  }

  // Room the writer fills itself: zeroing it first would cost as much as writing it.
  void extend(std::size_t size) {
    out_.resize_and_overwrite(size, [](char*, std::size_t n) { return n; });
  }

  char* put(char* p, const char* text, std::size_t count) {
    p = room(p, count);
    std::memcpy(p, text, count);
    return p + count;
  }

  char* put(char* p, char c) {
    p = room(p, 1);
    *p = c;
    return p + 1;
  }

  // Each run is copied in one piece; the room asked for covers the run and the escape or the
  // quotation mark that ends it (and, the first time, the opening quotation mark).
  char* string(char* p, std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = s + text.size();
    std::uint64_t seen = 0;  // the high-bit summary matters only to the reader
    const unsigned char* run_end = find_plain_run_end(s, end, seen);
    p = room(p, static_cast<std::size_t>(run_end - s) + kMaxEscape + 2);
    *p++ = '"';
    for (;;) {
      const auto run = static_cast<std::size_t>(run_end - s);
      std::memcpy(p, s, run);
      p += run;
      if (run_end == end) break;
      p = escape(p, *run_end);
      s = run_end + 1;
      run_end = find_plain_run_end(s, end, seen);
      p = room(p, static_cast<std::size_t>(run_end - s) + kMaxEscape + 1);
    }
    *p++ = '"';
    return p;
  }

  static char* escape(char* p, unsigned char byte) {
    const char letter = kEscape[byte];
    *p++ = '\\';
    *p++ = letter;
    if (letter == 'u') {
      constexpr char kHex[] = "0123456789abcdef";
      *p++ = '0';
      *p++ = '0';
      *p++ = kHex[byte >> 4];
      *p++ = kHex[byte & 0xF];
    }
    return p;
  }

  char* number(char* p, const JsonValue& value) {
    p = room(p, std::max(kMaxInteger, kMaxDoubleText));
    if (const auto u = value.as_unsigned()) return std::to_chars(p, limit_, *u).ptr;
    if (const auto n = value.as_negative()) return std::to_chars(p, limit_, *n).ptr;
    return write_double(p, *value.as_double());
  }

  char* array(char* p, std::span<const JsonValue> elements) {
    p = put(p, '[');
    for (std::size_t i = 0; i < elements.size(); ++i) {
      if (i > 0) p = put(p, ',');
      p = value(p, elements[i]);
    }
    return put(p, ']');
  }

  char* object(char* p, std::span<const JsonMember> members) {
    p = put(p, '{');
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (i > 0) p = put(p, ',');
      p = string(p, members[i].name());
      p = put(p, ':');
      p = value(p, members[i].value());
    }
    return put(p, '}');
  }

  std::string& out_;
  const std::size_t start_;
  char* limit_;
  bool done_ = false;
};

}  // namespace

std::string write_json(const JsonValue& value) {
  std::string out;
  write_json(value, out);
  return out;
}

void write_json(const JsonValue& value, std::string& out) {
  Writer(out).write(value);
}

}  // namespace ktarn::json
