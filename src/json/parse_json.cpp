#include "json/parse_json.hpp"

#include <cstdint>
#include <cstring>
#include <string>

#include "base/utf8.hpp"
#include "json/member_order.hpp"
#include "json/parse_categories.hpp"
#include "json/plain_run.hpp"
#include "json/read_number.hpp"
#include "json/scratch_stack.hpp"
#include "json/tree_builder.hpp"

namespace ktarn::json {
namespace {

// One more than the number of arrays and objects that may be open at once.
constexpr int kDepthLimit = 128;

// A tree takes a few times the bytes of its text: 16 bytes for a value, 32 for a member, the
// bytes of each long string. Most of what the arena needs, in one first chunk.
constexpr std::size_t kTreeBytesPerTextByte = 3;

const char* chars(const unsigned char* bytes) {
  return reinterpret_cast<const char*>(bytes);
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

// Whether the members kept, in name order, are all the members in the order they arrived.
bool is_arrival_order(std::span<const std::uint32_t> order, std::size_t arrived) {
  if (order.size() != arrived) return false;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (order[i] != i) return false;
  }
  return true;
}

// A single forward pass over the input. Each parse_* routine starts at the first byte of its
// construct and, on success, leaves the cursor just past it and its value on top of the value
// stack (a name on top of the name stack). On failure it records the category, leaves the cursor
// on the failure point and returns false; every caller then stops at once.
//
// Values are stored straight into their stack slot rather than returned: a value returned through
// memory and copied on at once would wait for its bytes to arrive from the store just made.
template <bool kCheckUtf8>
class Parser {
  using Raw = TreeBuilder::Raw;

 public:
  Parser(const unsigned char* data, std::size_t size, RootMemberTexts* root_members = nullptr)
      : begin_(data),
        p_(data),
        end_(data + size),
        builder_(size * kTreeBytesPerTextByte),
        root_members_(root_members) {}

  ParseResult run() {
    if (!parse_value()) return failure();
    // Adopted at once: a root holds the tree's arena.
    JsonValue value = TreeBuilder::adopt(values_.from(0)[0]);
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
    const unsigned char* const start = p_;
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    departures_ += static_cast<std::size_t>(p_ != start);
  }

  bool parse_value() {
    skip_white_space();
    if (p_ == end_) return fail(category::kEofInValue);
    switch (*p_) {
      case '{':
        return parse_object();
      case '[':
        return parse_array();
      case '"':
        return parse_string(values_);
      case 't':
        return parse_literal("true") && TreeBuilder::boolean(values_.push(), true);
      case 'f':
        return parse_literal("false") && TreeBuilder::boolean(values_.push(), false);
      case 'n':
        return parse_literal("null") && TreeBuilder::null(values_.push());
      default:
        if (*p_ == '-' || (*p_ >= '0' && *p_ <= '9')) return parse_number();
        return fail(category::kExpectedValue);
    }
  }

  bool parse_literal(std::string_view word) {
    for (const char c : word) {
      if (p_ == end_) return fail(category::kEofInValue);
      if (*p_ != static_cast<unsigned char>(c)) return fail(category::kExpectedIdent);
      ++p_;
    }
    return true;
  }

  bool parse_number() {
    NumberRead number = read_number(p_, end_);
    p_ = number.stop;
    if (!number.failure.empty()) return fail(number.failure);
    // A whole number in range is held as an integer and written back digit for digit; every
    // other number is written in its shortest form, which the text may not be.
    departures_ += static_cast<std::size_t>(number.value.number_form() == NumberForm::kDouble);
    return TreeBuilder::scalar(values_.push(), number.value);
  }

  bool open_nested() {
    if (--depth_left_ == 0) return fail(category::kRecursionLimit);
    ++p_;
    skip_white_space();
    return true;
  }

  bool parse_array() {
    if (!open_nested()) return false;
    if (p_ == end_) return fail(category::kEofInList);
    const std::size_t base = values_.size();
    if (*p_ != ']') {
      for (;;) {
        if (!parse_value()) return false;
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
    // The array takes the place of its elements on the stack.
    const std::span<const Raw> elements = values_.from(base);
    values_.pop_to(base);
    builder_.array(elements, at_root(), values_.push());
    return true;
  }

  bool parse_object() {
    if (!open_nested()) return false;
    if (p_ == end_) return fail(category::kEofInObject);
    const std::size_t names_base = names_.size();
    const std::size_t values_base = values_.size();
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
    // The object takes the place of its values on the stack.
    const std::span<const Raw> names = names_.from(names_base);
    const std::span<const Raw> values = values_.from(values_base);
    names_.pop_to(names_base);
    values_.pop_to(values_base);
    const std::span<const std::uint32_t> order = order_.of(names);
    departures_ += static_cast<std::size_t>(!is_arrival_order(order, names.size()));
    builder_.object(names, values, order, at_root(), values_.push());
    return true;
  }

  // A name, ':' and a value; the cursor is on the first byte of the name.
  bool parse_member() {
    if (*p_ != '"') return fail(category::kKeyMustBeString);
    const unsigned char* const name = p_ + 1;
    const std::size_t departures_before_name = departures_;
    if (!parse_string(names_)) return false;
    const std::string_view name_text(chars(name), static_cast<std::size_t>(p_ - 1 - name));
    const bool plain_name = departures_ == departures_before_name;
    skip_white_space();
    if (p_ == end_) return fail(category::kEofInObject);
    if (*p_ != ':') return fail(category::kExpectedColon);
    ++p_;
    if (root_members_ == nullptr || depth_left_ != kDepthLimit - 1) return parse_value();
    skip_white_space();
    const unsigned char* const value = p_;
    const std::size_t departures_before_value = departures_;
    if (!parse_value()) return false;
    if (!plain_name) root_members_->abandon();
    root_members_->add(name_text,
                       std::string_view(chars(value), static_cast<std::size_t>(p_ - value)),
                       departures_ == departures_before_value);
    return true;
  }

  // The cursor is on the opening quotation mark. A string without escapes is taken in one
  // piece; one with escapes is assembled in the scratch buffer, which keeps its capacity.
  bool parse_string(ScratchStack<Raw, 32>& into) {
    std::uint64_t seen = 0;
    const unsigned char* const run = p_ + 1;
    const unsigned char* close = find_plain_run_end(run, end_, seen);
    std::string_view text;
    if (close != end_ && *close == '"') {
      text = std::string_view(chars(run), static_cast<std::size_t>(close - run));
    } else {
      ++departures_;  // the writer's escapes may differ from the sender's
      p_ = close;
      out_ = scratch_room(run);
      put(run, static_cast<std::size_t>(close - run));
      if (!parse_escaped_rest(seen)) return false;
      close = p_;
      text = std::string_view(scratch_.data(), static_cast<std::size_t>(out_ - scratch_.data()));
    }
    // Byte input: the resolved string must be UTF-8, checked once it is complete.
    if (kCheckUtf8 && any_high_bit(seen) && !is_valid_utf8(text)) {
      p_ = close;
      return fail(category::kInvalidUnicode);
    }
    p_ = close + 1;
    builder_.string(into.push(), text.data(), text.size(), at_root());
    return true;
  }

  // Whether the value being completed is the whole text's, which takes the tree's arena over.
  bool at_root() const { return depth_left_ == kDepthLimit; }

  // The scratch buffer, holding at least as many bytes as remain from run to the end of the input:
  // escapes only ever shrink, so no resolved string can outgrow it and it is sized once a parse.
  char* scratch_room(const unsigned char* run) {
    const auto remaining = static_cast<std::size_t>(end_ - run);
    if (scratch_.size() < remaining) {
      scratch_.resize_and_overwrite(remaining, [](char*, std::size_t n) { return n; });
    }
    return scratch_.data();
  }

  void put(const unsigned char* from, std::size_t count) {
    std::memcpy(out_, from, count);
    out_ += count;
  }

  // Continues a string at a byte that ended a plain run; stops on the closing quotation mark.
  bool parse_escaped_rest(std::uint64_t& seen) {
    for (;;) {
      if (p_ == end_) return fail(category::kEofInString);
      if (*p_ == '"') return true;
      if (*p_ < 0x20) return fail(category::kControlCharacter);
      ++p_;
      if (!parse_escape()) return false;
      const unsigned char* run = p_;
      p_ = find_plain_run_end(p_, end_, seen);
      put(run, static_cast<std::size_t>(p_ - run));
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
    *out_++ = replacement;
    return true;
  }

  // The cursor is just past "\u". A high surrogate must be followed at once by its low half.
  bool parse_unicode_escape() {
    std::uint32_t unit;
    if (!read_hex4(unit)) return false;
    if (is_low_surrogate(unit)) return fail(category::kLoneLeadingSurrogate);
    if (!is_high_surrogate(unit)) {
      out_ = put_utf8(out_, static_cast<char32_t>(unit));
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
    out_ =
        put_utf8(out_, static_cast<char32_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
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
  int depth_left_ = kDepthLimit;
  std::string_view category_;
  std::string scratch_;
  char* out_ = nullptr;  // where the next resolved byte of an escaped string goes
  TreeBuilder builder_;
  // Fewer entries would make typical requests spill; more would make every parse pay to set up
  // stack it rarely uses.
  ScratchStack<Raw, 32> values_;
  ScratchStack<Raw, 32> names_;
  MemberOrder order_;
  // Every place so far where the text is not what the writer would write for its value: white
  // space, an escape, a number not held as an integer, members out of name order or repeated.
  // Counted without branching; a member's text is canonical when its reading added none.
  std::size_t departures_ = 0;
  RootMemberTexts* const root_members_;
};

}  // namespace

ParseResult parse_json(std::string_view text) {
  return Parser<false>(reinterpret_cast<const unsigned char*>(text.data()), text.size()).run();
}

ParseResult parse_json(std::string_view text, RootMemberTexts& root_members) {
  return Parser<false>(reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                       &root_members)
      .run();
}

void RootMemberTexts::add(std::string_view name, std::string_view text, bool canonical) {
  if (count_ == kKept) {
    abandoned_ = true;
    return;
  }
  members_[count_++] = Member{name, text, canonical};
}

std::optional<std::string_view> RootMemberTexts::canonical_text(std::string_view name) const {
  if (abandoned_) return std::nullopt;
  for (std::size_t i = count_; i-- > 0;) {
    if (members_[i].name != name) continue;
    if (!members_[i].canonical) return std::nullopt;
    return members_[i].text;
  }
  return std::nullopt;
}

ParseResult parse_json_bytes(std::span<const unsigned char> bytes) {
  return Parser<true>(bytes.data(), bytes.size()).run();
}

}  // namespace ktarn::json
