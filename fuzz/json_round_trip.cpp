// Arbitrary bytes through the reader; whatever it accepts must survive writing and reading back.
// Integers, strings and structure come back exactly. A double may move by the two-rounding
// conversion, but never by more than two units in the last place, and never changes kind. As a
// root member, the input is passed on as sent only when that is exactly what the writer writes.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <span>
#include <string>

#include "json/parse_json.hpp"
#include "json/write_json.hpp"

namespace {

using ktarn::json::JsonValue;

constexpr std::int64_t kMaxUlps = 2;

// Doubles in an order where adjacent values differ by one.
std::int64_t ordered(double x) {
  const auto bits = std::bit_cast<std::int64_t>(x);
  return bits < 0 ? std::numeric_limits<std::int64_t>::min() - bits : bits;
}

bool close_doubles(double a, double b) {
  const std::int64_t distance = ordered(a) - ordered(b);
  return distance <= kMaxUlps && distance >= -kMaxUlps;
}

bool holds_double(const JsonValue& v) {
  if (v.as_double()) return true;
  if (const auto elements = v.as_array()) {
    for (const JsonValue& e : *elements) {
      if (holds_double(e)) return true;
    }
  }
  if (const auto members = v.as_members()) {
    for (const ktarn::json::JsonMember& member : *members) {
      if (holds_double(member.value())) return true;
    }
  }
  return false;
}

bool equivalent(const JsonValue& a, const JsonValue& b) {
  if (a.as_double() && b.as_double()) return close_doubles(*a.as_double(), *b.as_double());
  const auto elements_a = a.as_array();
  const auto elements_b = b.as_array();
  if (elements_a && elements_b) {
    if (elements_a->size() != elements_b->size()) return false;
    for (std::size_t i = 0; i < elements_a->size(); ++i) {
      if (!equivalent((*elements_a)[i], (*elements_b)[i])) return false;
    }
    return true;
  }
  const auto members_a = a.as_members();
  const auto members_b = b.as_members();
  if (members_a && members_b) {
    if (members_a->size() != members_b->size()) return false;
    for (std::size_t i = 0; i < members_a->size(); ++i) {
      if ((*members_a)[i].name() != (*members_b)[i].name()) return false;
      if (!equivalent((*members_a)[i].value(), (*members_b)[i].value())) return false;
    }
    return true;
  }
  return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto first = ktarn::json::parse_json_bytes(std::span(data, size));
  if (!first) return 0;
  const std::string text = ktarn::json::write_json(*first);
  const auto second = ktarn::json::parse_json(text);
  if (!second || !equivalent(*first, *second)) std::abort();
  if (!holds_double(*first)) {
    if (!(*first == *second) || ktarn::json::write_json(*second) != text) std::abort();
  }
  // As a request's root member, the input is passed on as sent only when it is the writer's
  // very bytes: they would be signed either way.
  std::string request = R"({"p":)";
  request.append(reinterpret_cast<const char*>(data), size);
  request.push_back('}');
  ktarn::json::RootMemberTexts texts;
  if (const auto wrapped = ktarn::json::parse_json(request, texts)) {
    const auto canonical = texts.canonical_text("p");
    if (canonical && *canonical != ktarn::json::write_json(*find_member(*wrapped, "p"))) {
      std::abort();
    }
  }
  return 0;
}
