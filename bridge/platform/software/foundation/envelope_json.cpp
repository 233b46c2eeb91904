#include "bridge/platform/software/foundation/envelope_json.hpp"

#include <array>
#include <cstdio>
#include <type_traits>

#include "base/utf8.hpp"

namespace ktarn::platform::software {
namespace {

bool append_escaped(std::string& out, const std::string& text) {
  if (!is_valid_utf8(text)) return false;
  out += '"';
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '/':
        out += "\\/";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          std::array<char, 8> escape{};
          std::snprintf(escape.data(), escape.size(), "\\u%04x", static_cast<unsigned>(c));
          out += escape.data();
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return true;
}

bool append_value(std::string& out, const Value& value);

bool append_array(std::string& out, const Array& array) {
  out += '[';
  for (std::size_t i = 0; i < array.size(); ++i) {
    if (i > 0) out += ',';
    if (!append_value(out, array[i])) return false;
  }
  out += ']';
  return true;
}

bool append_dictionary(std::string& out, const Dictionary& dictionary) {
  out += '{';
  for (std::size_t i = 0; i < dictionary.members.size(); ++i) {
    if (i > 0) out += ',';
    const auto& [name, member] = dictionary.members[i];
    if (!append_escaped(out, name)) return false;
    out += ':';
    if (!append_value(out, member)) return false;
  }
  out += '}';
  return true;
}

bool append_value(std::string& out, const Value& value) {
  return std::visit(
      [&out](const auto& data) {
        using T = std::decay_t<decltype(data)>;
        if constexpr (std::is_same_v<T, bool>) {
          out += data ? "true" : "false";
          return true;
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          out += std::to_string(data);
          return true;
        } else if constexpr (std::is_same_v<T, std::string>) {
          return append_escaped(out, data);
        } else if constexpr (std::is_same_v<T, Array>) {
          return append_array(out, data);
        } else {
          return append_dictionary(out, data);
        }
      },
      value.data);
}

}  // namespace

std::optional<std::string> serialise_envelope_json(const Value& value) {
  std::string out;
  if (!append_value(out, value)) return std::nullopt;
  return out;
}

}  // namespace ktarn::platform::software
