// parse_json: the strict reader of one complete JSON text. One value, standard grammar only,
// at most 127 open arrays and objects, only space, tab, LF and CR around the value, and the
// protocol's own decimal conversion for doubles. A rejected text yields no value, only a
// ParseFailure whose category and position are diagnostics and never travel anywhere.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "base/expected.hpp"
#include "json/json_value.hpp"

namespace ktarn::json {

struct ParseFailure {
  std::string_view category;  // one of the fixed diagnostic texts
  std::size_t line = 1;       // 1 + number of LF bytes before the failure point
  std::size_t column = 0;     // bytes from the start of that line to the failure point
};

using ParseResult = Expected<JsonValue, ParseFailure>;

// Where the members of a root object were read from, for a caller that must write one of them in
// canonical form: a member sent exactly as write_json writes its value (no white space, no
// escapes, members in name order and each name once, whole numbers only) can be used as it was
// sent instead of being written again. The texts are views into the parsed text. What it buys
// and costs: bench/README.md, "Speed tricks". What proves it:
// RootMemberTexts.CanonicalOnlyWhenTheWriterWouldWriteTheSameBytes (each kind of departure),
// Conformance.CanonicalMemberTextsAreTheWritersBytes (every conformance file, as sent and as
// written) and the json_round_trip fuzz target, each holding a text passed as canonical to the
// writer's bytes.
class RootMemberTexts {
 public:
  // The reader's side: one member of the root object, in arrival order.
  void add(std::string_view name, std::string_view text, bool canonical);
  // The reader's side: a name read through escapes, or more members than are kept, so that a
  // repeated name could no longer be told apart.
  void abandon() { abandoned_ = true; }

  // The text of the root member called name when it is canonical; none otherwise, or when there
  // is no such member. Of a repeated name the last is meant, as in the parsed value.
  std::optional<std::string_view> canonical_text(std::string_view name) const;

 private:
  struct Member {
    std::string_view name;
    std::string_view text;
    bool canonical = false;
  };
  // A request has three or four members; a root with more is read without its texts.
  static constexpr std::size_t kKept = 8;
  std::array<Member, kKept> members_{};
  std::size_t count_ = 0;
  bool abandoned_ = false;
};

// Text input: bytes already known to be valid UTF-8 (a request line).
ParseResult parse_json(std::string_view text);
// The same, noting where each member of a root object was read from and whether it is canonical.
ParseResult parse_json(std::string_view text, RootMemberTexts& root_members);
// Byte input: bytes of unknown encoding (a bridge reply); every string must be valid UTF-8
// once its escapes are resolved.
ParseResult parse_json_bytes(std::span<const unsigned char> bytes);

}  // namespace ktarn::json
