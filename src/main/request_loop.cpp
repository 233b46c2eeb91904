#include "main/request_loop.hpp"

#include <optional>
#include <string>

#include "json/parse_json.hpp"
#include "json/write_json.hpp"
#include "main/handle_request.hpp"

namespace ktarn::host {

void run_request_loop(LineReader& input, const WriteFunction& output, std::string_view key_name) {
  // Kept from one response to the next, so the largest answers (some 44 KiB) are not grown from
  // nothing each time; it holds at most about twice the largest response written.
  std::string text;
  while (const std::optional<std::string_view> line = input.next_line()) {
    json::RootMemberTexts texts;
    const json::ParseResult request = json::parse_json(*line, texts);
    if (!request.has_value()) return;
    const std::optional<json::JsonValue> response = handle_request(*request, texts, key_name);
    if (!response.has_value()) return;
    // The line and its LF go out together, so the browser never sees half a response; nothing
    // is buffered in between, so the line has reached the descriptor once this returns.
    text.clear();
    json::write_json(*response, text);
    text.push_back('\n');
    if (!write_fully(output, text)) return;
  }
}

}  // namespace ktarn::host
