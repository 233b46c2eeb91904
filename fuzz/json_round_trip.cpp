// Arbitrary bytes through the reader; whatever it accepts must survive writing and reading back
// exactly, doubles included (the writer's digits are those the reader takes back to each), and
// be written again as the same text. As a root member, the input is passed on as sent only when
// that is exactly what the writer writes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "json/parse_json.hpp"
#include "json/write_json.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto first = ktarn::json::parse_json_bytes(std::span(data, size));
  if (!first) return 0;
  const std::string text = ktarn::json::write_json(*first);
  const auto second = ktarn::json::parse_json(text);
  if (!second || !(*first == *second) || ktarn::json::write_json(*second) != text) std::abort();
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
