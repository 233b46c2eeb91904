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
// most, so the buffer is checked once per token and grown geometrically, never byte by byte. The
// string is cut back to the bytes written when the writer is done.
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out), start_(out.size()) {
    out_.resize(std::max(out_.capacity(), start_ + kFirstRoom));
    p_ = out_.data() + start_;
    limit_ = out_.data() + out_.size();
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer() { out_.resize(static_cast<std::size_t>(p_ - out_.data())); }

  void value(const JsonValue& value) {
    switch (value.kind()) {
      case Kind::kNull:
        put("null", 4);
        break;
      case Kind::kBoolean:
        if (*value.as_boolean()) {
          put("true", 4);
        } else {
          put("false", 5);
        }
        break;
      case Kind::kNumber:
        number(value);
        break;
      case Kind::kString:
        string(*value.as_string());
        break;
      case Kind::kArray:
        array(*value.as_array());
        break;
      case Kind::kObject:
        object(*value.as_members());
        break;
    }
  }

 private:
  void room(std::size_t count) {
    if (static_cast<std::size_t>(limit_ - p_) < count) grow(count);
  }

  void grow(std::size_t count) {
    const auto used = static_cast<std::size_t>(p_ - out_.data());
    out_.resize(std::max(2 * out_.size(), used + count));
    p_ = out_.data() + used;
    limit_ = out_.data() + out_.size();
  }

  void put(const char* text, std::size_t count) {
    room(count);
    std::memcpy(p_, text, count);
    p_ += count;
  }

  void put(char c) {
    room(1);
    *p_++ = c;
  }

  // Each run is copied in one piece; the room asked for covers the run, the escape that ends it
  // and the closing quotation mark.
  void string(std::string_view text) {
    put('"');
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    std::uint64_t seen = 0;  // the high-bit summary matters only to the reader
    for (;;) {
      const unsigned char* run_end = find_plain_run_end(p, end, seen);
      const auto run = static_cast<std::size_t>(run_end - p);
      room(run + kMaxEscape + 1);
      copy_bytes(p_, reinterpret_cast<const char*>(p), run);
      p_ += run;
      if (run_end == end) break;
      escape(*run_end);
      p = run_end + 1;
    }
    *p_++ = '"';
  }

  void escape(unsigned char byte) {
    const char letter = kEscape[byte];
    *p_++ = '\\';
    *p_++ = letter;
    if (letter == 'u') {
      constexpr char kHex[] = "0123456789abcdef";
      *p_++ = '0';
      *p_++ = '0';
      *p_++ = kHex[byte >> 4];
      *p_++ = kHex[byte & 0xF];
    }
  }

  void number(const JsonValue& value) {
    room(std::max(kMaxInteger, kMaxDoubleText));
    if (const auto u = value.as_unsigned()) {
      p_ = std::to_chars(p_, limit_, *u).ptr;
    } else if (const auto n = value.as_negative()) {
      p_ = std::to_chars(p_, limit_, *n).ptr;
    } else {
      p_ = write_double(p_, *value.as_double());
    }
  }

  void array(std::span<const JsonValue> elements) {
    put('[');
    bool first = true;
    for (const JsonValue& element : elements) {
      if (!first) put(',');
      first = false;
      value(element);
    }
    put(']');
  }

  void object(std::span<const JsonMember> members) {
    put('{');
    bool first = true;
    for (const JsonMember& member : members) {
      if (!first) put(',');
      first = false;
      string(member.name());
      put(':');
      value(member.value());
    }
    put('}');
  }

  std::string& out_;
  const std::size_t start_;
  char* p_;
  char* limit_;
};

}  // namespace

std::string write_json(const JsonValue& value) {
  std::string out;
  write_json(value, out);
  return out;
}

void write_json(const JsonValue& value, std::string& out) {
  Writer(out).value(value);
}

}  // namespace ktarn::json
