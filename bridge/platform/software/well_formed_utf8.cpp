#include "bridge/platform/software/well_formed_utf8.hpp"

#include <cstddef>
#include <cstdint>

namespace ktarn::platform::software {
namespace {

// The range the second byte of a sequence may take depends on its lead byte: this is what rules
// out overlong forms, surrogates and code points above U+10FFFF (RFC 3629, section 4).
struct LeadRule {
  std::size_t length;
  std::uint8_t second_low;
  std::uint8_t second_high;
};

bool lead_rule(std::uint8_t lead, LeadRule& rule) {
  if (lead >= 0xC2 && lead <= 0xDF)
    rule = {2, 0x80, 0xBF};
  else if (lead == 0xE0)
    rule = {3, 0xA0, 0xBF};
  else if (lead == 0xED)
    rule = {3, 0x80, 0x9F};
  else if (lead >= 0xE1 && lead <= 0xEF)
    rule = {3, 0x80, 0xBF};
  else if (lead == 0xF0)
    rule = {4, 0x90, 0xBF};
  else if (lead >= 0xF1 && lead <= 0xF3)
    rule = {4, 0x80, 0xBF};
  else if (lead == 0xF4)
    rule = {4, 0x80, 0x8F};
  else
    return false;
  return true;
}

bool is_continuation(std::uint8_t byte) {
  return (byte & 0xC0) == 0x80;
}

}  // namespace

bool is_well_formed_utf8(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size()) {
    const auto lead = static_cast<std::uint8_t>(text[at]);
    if (lead < 0x80) {
      ++at;
      continue;
    }
    LeadRule rule{};
    if (!lead_rule(lead, rule) || text.size() - at < rule.length) return false;
    const auto second = static_cast<std::uint8_t>(text[at + 1]);
    if (second < rule.second_low || second > rule.second_high) return false;
    for (std::size_t i = 2; i < rule.length; ++i) {
      if (!is_continuation(static_cast<std::uint8_t>(text[at + i]))) return false;
    }
    at += rule.length;
  }
  return true;
}

}  // namespace ktarn::platform::software
