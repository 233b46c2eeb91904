#include "json/parse_json.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "json/parse_categories.hpp"
#include "json/read_number.hpp"
#include "json/utf8.hpp"

namespace ktarn::json {
namespace {

// One more than the number of arrays and objects that may be open at once.
constexpr int kDepthLimit = 128;

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

bool ends_plain_run(unsigned char c) {
  return c == '"' || c == '\\' || c < 0x20;
}

// The first quotation mark, backslash or control byte at or after p, or end. Eight bytes at a
// time: a byte equal to '"' or '\\' becomes zero after the XOR, and the borrow trick flags zero
// and sub-0x20 bytes; a flag can be spurious only above a genuine one, so the lowest is exact.
const unsigned char* find_run_end(const unsigned char* p, const unsigned char* end) {
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      const std::uint64_t quote = word ^ (kOnes * '"');
      const std::uint64_t backslash = word ^ (kOnes * '\\');
      const std::uint64_t hits =
          ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) | (word - kOnes * 0x20);
      const std::uint64_t flagged = hits & ~word & kHighBits;
      if (flagged != 0) return p + std::countr_zero(flagged) / 8;
      p += 8;
    }
  }
  while (p != end && !ends_plain_run(*p)) ++p;
  return p;
}

int hex_digit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  const unsigned char lower = c | 0x20;
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

bool is_high_surrogate(std::uint32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_low_surrogate(std::uint32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// A single forward pass over the input. Each parse_* routine starts at the first byte of its
// construct and, on success, leaves the cursor just past it; on failure it records the category
// and the failure point and returns false, and nothing is read further.
class Parser {
 public:
  Parser(const unsigned char* data, std::size_t size, bool check_utf8)
      : begin_(data), p_(data), end_(data + size), check_utf8_(check_utf8) {}

  ParseResult run() {
    JsonValue value;
    if (!parse_value(value)) return failure();
    skip_white_space();
    if (p_ != end_) {
      fail(category::kTrailingCharacters);
      return failure();
    }
    return value;
  }

 private:
  bool fail(std::string_view category) {
    category_ = category;
    return false;
  }

  Unexpected<ParseFailure> failure() const {
    ParseFailure failure{category_};
    const unsigned char* line_start = begin_;
    for (const unsigned char* q = begin_; q != p_; ++q) {
      if (*q == '\n') {
        ++failure.line;
        line_start = q + 1;
      }
    }
    failure.column = static_cast<std::size_t>(p_ - line_start);
    return Unexpected(failure);
  }

  void skip_white_space() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  bool parse_value(JsonValue& out) {
    skip_white_space();
    if (p_ == end_) return fail(category::kEofInValue);
    switch (*p_) {
      case '{':
        return parse_object(out);
      case '[':
        return parse_array(out);
      case '"': {
        std::string text;
        if (!parse_string(text)) return false;
        out = JsonValue::string(std::move(text));
        return true;
      }
      case 't':
        return parse_literal("true", JsonValue::boolean(true), out);
      case 'f':
        return parse_literal("false", JsonValue::boolean(false), out);
      case 'n':
        return parse_literal("null", JsonValue(), out);
      default:
        if (*p_ == '-' || (*p_ >= '0' && *p_ <= '9')) return parse_number(out);
        return fail(category::kExpectedValue);
    }
  }

  bool parse_literal(std::string_view word, JsonValue value, JsonValue& out) {
    for (const char c : word) {
      if (p_ == end_) return fail(category::kEofInValue);
      if (*p_ != static_cast<unsigned char>(c)) return fail(category::kExpectedIdent);
      ++p_;
    }
    out = std::move(value);
    return true;
  }

  bool parse_number(JsonValue& out) {
    NumberRead number = read_number(p_, end_);
    p_ = number.stop;
    if (!number.failure.empty()) return fail(number.failure);
    out = std::move(number.value);
    return true;
  }

  bool open_nested() {
    if (--depth_left_ == 0) return fail(category::kRecursionLimit);
    ++p_;
    skip_white_space();
    return true;
  }

  bool parse_array(JsonValue& out) {
    if (!open_nested()) return false;
    if (p_ == end_) return fail(category::kEofInList);
    const std::size_t base = elements_.size();
    if (*p_ != ']') {
      for (;;) {
        JsonValue element;
        if (!parse_value(element)) return false;
        elements_.push_back(std::move(element));
        skip_white_space();
        if (p_ == end_) return fail(category::kEofInList);
        if (*p_ == ']') break;
        if (*p_ != ',') return fail(category::kExpectedListCommaOrEnd);
        ++p_;
        skip_white_space();
        if (p_ != end_ && *p_ == ']') return fail(category::kTrailingComma);
      }
    }
    ++p_;
    ++depth_left_;
    // The shared stack keeps one growing buffer per parse; each array gets an exact allocation.
    const auto first = elements_.begin() + static_cast<std::ptrdiff_t>(base);
    out = JsonValue::array(
        JsonArray(std::make_move_iterator(first), std::make_move_iterator(elements_.end())));
    elements_.erase(first, elements_.end());
    return true;
  }

  bool parse_object(JsonValue& out) {
    if (!open_nested()) return false;
    if (p_ == end_) return fail(category::kEofInObject);
    const std::size_t base = members_.size();
    if (*p_ != '}') {
      for (;;) {
        if (!parse_member()) return false;
        skip_white_space();
        if (p_ == end_) return fail(category::kEofInObject);
        if (*p_ == '}') break;
        if (*p_ != ',') return fail(category::kExpectedObjectCommaOrEnd);
        ++p_;
        skip_white_space();
        if (p_ == end_) return fail(category::kEofInValue);
        if (*p_ == '}') return fail(category::kTrailingComma);
      }
    }
    ++p_;
    ++depth_left_;
    const auto first = members_.begin() + static_cast<std::ptrdiff_t>(base);
    out = JsonValue::object(
        JsonMembers(std::make_move_iterator(first), std::make_move_iterator(members_.end())));
    members_.erase(first, members_.end());
    return true;
  }

  // A name, ':' and a value; the cursor is on the first byte of the name.
  bool parse_member() {
    if (*p_ != '"') return fail(category::kKeyMustBeString);
    std::string name;
    if (!parse_string(name)) return false;
    skip_white_space();
    if (p_ == end_) return fail(category::kEofInObject);
    if (*p_ != ':') return fail(category::kExpectedColon);
    ++p_;
    JsonValue value;
    if (!parse_value(value)) return false;
    members_.emplace_back(std::move(name), std::move(value));
    return true;
  }

  // The cursor is on the opening quotation mark. A string without escapes is taken in one
  // piece; one with escapes is assembled in the scratch buffer, which keeps its capacity.
  bool parse_string(std::string& out) {
    const unsigned char* run = ++p_;
    p_ = find_run_end(p_, end_);
    if (p_ != end_ && *p_ == '"') {
      out.assign(run, p_);
    } else {
      scratch_.assign(run, p_);
      if (!parse_escaped_rest()) return false;
      out.assign(scratch_);
    }
    // Byte input: the resolved string must be UTF-8, checked once it is complete.
    if (check_utf8_ && !is_valid_utf8(out)) return fail(category::kInvalidUnicode);
    ++p_;
    return true;
  }

  // Continues a string at a byte that ended a plain run; stops on the closing quotation mark.
  bool parse_escaped_rest() {
    for (;;) {
      if (p_ == end_) return fail(category::kEofInString);
      if (*p_ == '"') return true;
      if (*p_ < 0x20) return fail(category::kControlCharacter);
      ++p_;
      if (!parse_escape()) return false;
      const unsigned char* run = p_;
      p_ = find_run_end(p_, end_);
      scratch_.append(run, p_);
    }
  }

  // The cursor is just past a backslash.
  bool parse_escape() {
    if (p_ == end_) return fail(category::kEofInString);
    char replacement;
    switch (*p_) {
      case '"':
      case '\\':
      case '/':
        replacement = static_cast<char>(*p_);
        break;
      case 'b':
        replacement = '\b';
        break;
      case 'f':
        replacement = '\f';
        break;
      case 'n':
        replacement = '\n';
        break;
      case 'r':
        replacement = '\r';
        break;
      case 't':
        replacement = '\t';
        break;
      case 'u':
        ++p_;
        return parse_unicode_escape();
      default:
        return fail(category::kInvalidEscape);
    }
    ++p_;
    scratch_.push_back(replacement);
    return true;
  }

  // The cursor is just past "\u". A high surrogate must be followed at once by its low half.
  bool parse_unicode_escape() {
    std::uint32_t unit;
    if (!read_hex4(unit)) return false;
    if (is_low_surrogate(unit)) return fail(category::kLoneLeadingSurrogate);
    if (!is_high_surrogate(unit)) {
      append_utf8(scratch_, static_cast<char32_t>(unit));
      return true;
    }
    for (const unsigned char expected : {'\\', 'u'}) {
      if (p_ == end_) return fail(category::kEofInString);
      if (*p_ != expected) return fail(category::kUnexpectedEndOfHexEscape);
      ++p_;
    }
    std::uint32_t low;
    if (!read_hex4(low)) return false;
    if (!is_low_surrogate(low)) return fail(category::kLoneLeadingSurrogate);
    append_utf8(scratch_,
                static_cast<char32_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
    return true;
  }

  bool read_hex4(std::uint32_t& unit) {
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      if (p_ == end_) return fail(category::kEofInString);
      const int digit = hex_digit(*p_);
      if (digit < 0) return fail(category::kInvalidEscape);
      unit = unit * 16 + static_cast<std::uint32_t>(digit);
      ++p_;
    }
    return true;
  }

  const unsigned char* const begin_;
  const unsigned char* p_;
  const unsigned char* const end_;
  const bool check_utf8_;
  int depth_left_ = kDepthLimit;
  std::string_view category_;
  std::string scratch_;
  std::vector<JsonValue> elements_;
  std::vector<JsonMember> members_;
};

}  // namespace

ParseResult parse_json(std::string_view text) {
  return Parser(reinterpret_cast<const unsigned char*>(text.data()), text.size(), false).run();
}

ParseResult parse_json_bytes(std::span<const unsigned char> bytes) {
  return Parser(bytes.data(), bytes.size(), true).run();
}

}  // namespace ktarn::json
