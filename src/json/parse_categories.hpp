// The fixed diagnostic texts of a rejected parse, one per kind of fault. They name what the
// reader found wrong; callers only ever test for failure, so these never reach the wire.
#pragma once

#include <string_view>

namespace ktarn::json::category {

inline constexpr std::string_view kEofInList = "EOF while parsing a list";
inline constexpr std::string_view kEofInObject = "EOF while parsing an object";
inline constexpr std::string_view kEofInString = "EOF while parsing a string";
inline constexpr std::string_view kEofInValue = "EOF while parsing a value";
inline constexpr std::string_view kExpectedColon = "expected `:`";
inline constexpr std::string_view kExpectedListCommaOrEnd = "expected `,` or `]`";
inline constexpr std::string_view kExpectedObjectCommaOrEnd = "expected `,` or `}`";
inline constexpr std::string_view kExpectedIdent = "expected ident";
inline constexpr std::string_view kExpectedValue = "expected value";
inline constexpr std::string_view kInvalidEscape = "invalid escape";
inline constexpr std::string_view kInvalidNumber = "invalid number";
inline constexpr std::string_view kNumberOutOfRange = "number out of range";
inline constexpr std::string_view kInvalidUnicode = "invalid unicode code point";
inline constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view kKeyMustBeString = "key must be a string";
inline constexpr std::string_view kLoneLeadingSurrogate = "lone leading surrogate in hex escape";
inline constexpr std::string_view kTrailingComma = "trailing comma";
inline constexpr std::string_view kTrailingCharacters = "trailing characters";
inline constexpr std::string_view kUnexpectedEndOfHexEscape = "unexpected end of hex escape";
inline constexpr std::string_view kRecursionLimit = "recursion limit exceeded";

}  // namespace ktarn::json::category
