// The UTF-8 check steps over ASCII a word at a time: every sequence, well-formed or not, must be
// judged the same wherever it falls against those words, including across the last word of the
// text and in the bytes after it.
#include <gtest/gtest.h>

#include <string>

#include "base/utf8.hpp"

namespace ktarn {
namespace {

struct Sequence {
  const char* reason;
  std::string bytes;
  bool well_formed;
};

const Sequence kSequences[] = {
    {"two bytes", "\xC3\xA9", true},
    {"three bytes", "\xE2\x86\x92", true},
    {"four bytes", "\xF0\x9F\x98\x80", true},
    {"lone continuation byte", "\x80", false},
    {"overlong two bytes", "\xC0\x80", false},
    {"overlong three bytes", "\xE0\x80\xAF", false},
    {"surrogate", "\xED\xA0\x80", false},
    {"beyond U+10FFFF", "\xF4\x90\x80\x80", false},
    {"cut short before ASCII", "\xE2\x86", false},
    {"byte never used", "\xFF", false},
};

TEST(Utf8, EveryPositionAroundAWord) {
  for (const Sequence& sequence : kSequences) {
    SCOPED_TRACE(sequence.reason);
    for (std::size_t length = 0; length <= 24; ++length) {
      for (std::size_t at = 0; at <= length; ++at) {
        std::string text(length, 'a');
        text.insert(at, sequence.bytes);
        EXPECT_EQ(is_valid_utf8(text), sequence.well_formed) << "at " << at << " of " << length;
      }
    }
  }
}

TEST(Utf8, PlainAsciiOfEveryLengthIsWellFormed) {
  for (std::size_t length = 0; length <= 24; ++length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += static_cast<char>(i % 0x80);
    EXPECT_TRUE(is_valid_utf8(text)) << length;
  }
}

}  // namespace
}  // namespace ktarn
