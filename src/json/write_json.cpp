#include "json/write_json.hpp"

#include <array>
#include <charconv>
#include <cstdint>

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

void append_escape(std::string& out, unsigned char byte) {
  const char escape = kEscape[byte];
  if (escape != 'u') {
    const char pair[] = {'\\', escape};
    out.append(pair, 2);
  } else {
    constexpr char kHex[] = "0123456789abcdef";
    const char unicode[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
    out.append(unicode, 6);
  }
}

void append_string(std::string& out, const std::string& text) {
  out.push_back('"');
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  std::uint64_t seen = 0;  // the high-bit summary matters only to the reader
  for (;;) {
    const unsigned char* run_end = find_plain_run_end(p, end, seen);
    out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(run_end - p));
    if (run_end == end) break;
    append_escape(out, *run_end);
    p = run_end + 1;
  }
  out.push_back('"');
}

template <class Integer>
void append_integer(std::string& out, Integer value) {
  char text[24];
  const auto result = std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

void append_value(std::string& out, const JsonValue& value);

void append_array(std::string& out, const JsonArray& elements) {
  out.push_back('[');
  bool first = true;
  for (const JsonValue& element : elements) {
    if (!first) out.push_back(',');
    first = false;
    append_value(out, element);
  }
  out.push_back(']');
}

void append_object(std::string& out, const JsonMembers& members) {
  out.push_back('{');
  bool first = true;
  for (const auto& [name, member] : members) {
    if (!first) out.push_back(',');
    first = false;
    append_string(out, name);
    out.push_back(':');
    append_value(out, member);
  }
  out.push_back('}');
}

void append_number(std::string& out, const JsonValue& value) {
  if (const auto u = value.as_unsigned()) {
    append_integer(out, *u);
  } else if (const auto n = value.as_negative()) {
    append_integer(out, *n);
  } else {
    append_double(out, *value.as_double());
  }
}

void append_value(std::string& out, const JsonValue& value) {
  switch (value.kind()) {
    case Kind::kNull:
      out.append("null");
      break;
    case Kind::kBoolean:
      out.append(*value.as_boolean() ? "true" : "false");
      break;
    case Kind::kNumber:
      append_number(out, value);
      break;
    case Kind::kString:
      append_string(out, *value.as_string());
      break;
    case Kind::kArray:
      append_array(out, *value.as_array());
      break;
    case Kind::kObject:
      append_object(out, *value.as_members());
      break;
  }
}

}  // namespace

std::string write_json(const JsonValue& value) {
  std::string out;
  write_json(value, out);
  return out;
}

void write_json(const JsonValue& value, std::string& out) {
  append_value(out, value);
}

}  // namespace ktarn::json
