#include "main/line_reader.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace ktarn::host {
namespace {

// One scripted read: bytes to deliver (at most the requested size per call), or an errno.
struct Step {
  std::string bytes;
  int error = 0;
};

// Plays the steps in order and then reports end of input; records every requested size.
struct ScriptedInput {
  std::deque<Step> steps;
  std::vector<std::size_t> requested;

  ReadFunction reader() {
    return [this](char* buffer, std::size_t size) -> ssize_t {
      requested.push_back(size);
      if (steps.empty()) return 0;
      Step& step = steps.front();
      if (step.error != 0) {
        errno = step.error;
        steps.pop_front();
        return -1;
      }
      const std::size_t count = std::min(size, step.bytes.size());
      std::memcpy(buffer, step.bytes.data(), count);
      step.bytes.erase(0, count);
      if (step.bytes.empty()) steps.pop_front();
      return static_cast<ssize_t>(count);
    };
  }
};

std::vector<std::string> all_lines(ScriptedInput& input) {
  LineReader reader(input.reader());
  std::vector<std::string> lines;
  while (auto line = reader.next_line()) lines.emplace_back(*line);
  return lines;
}

struct LinesCase {
  const char* reason;
  std::vector<Step> steps;
  std::vector<std::string> expected;
};

TEST(LineReader, SplitsLinesAndRemovesTheirEndings) {
  const LinesCase cases[] = {
      {"two LF lines", {{"a\nb\n"}}, {"a", "b"}},
      {"CR LF, last line without ending", {{"a\r\nb"}}, {"a", "b"}},
      {"only one CR goes with the LF", {{"a\r\r\n"}}, {"a\r"}},
      {"a CR without LF stays", {{"a\r"}}, {"a\r"}},
      {"a CR after an LF starts the next line", {{"a\n\rb\n"}}, {"a", "\rb"}},
      {"an empty line is a line", {{"\n{}\n"}}, {"", "{}"}},
      {"lines across reads", {{"ab"}, {"c\nd"}, {"e\n"}}, {"abc", "de"}},
      {"interrupted reads are repeated", {{"", EINTR}, {"a"}, {"", EINTR}, {"\n"}}, {"a"}},
      {"closed descriptor is end of input", {{"a\n"}, {"", EBADF}, {"b\n"}}, {"a"}},
      {"read error drops the gathered part", {{"a\nb"}, {"", EIO}, {"\n"}}, {"a"}},
      {"not UTF-8 ends the input", {{"ok\n\xFF\nnext\n"}}, {"ok"}},
      {"overlong form ends the input", {{"\"\xC0\xAF\"\n"}}, {}},
      {"encoded surrogate ends the input", {{"\"\xED\xA0\x80\"\n"}}, {}},
      {"truncated sequence before the LF", {{"\xE2\x82\n"}}, {}},
  };
  for (const LinesCase& c : cases) {
    ScriptedInput input{{c.steps.begin(), c.steps.end()}, {}};
    EXPECT_EQ(all_lines(input), c.expected) << c.reason;
  }
}

TEST(LineReader, LimitsTheLineWithoutItsEnding) {
  const std::string longest(kMaxLineBytes, 'a');
  const LinesCase cases[] = {
      {"longest with LF", {{longest + "\n"}}, {longest}},
      {"longest with CR LF", {{longest + "\r\n"}}, {longest}},
      {"longest at end of input", {{longest}}, {longest}},
      {"one byte more with LF", {{longest + "a\n"}}, {}},
      {"one byte more at end of input", {{longest + "a"}}, {}},
      {"a final CR without LF counts", {{longest + "\r"}}, {}},
      {"a too long line ends everything", {{"x\n" + longest + "aa\ny\n"}}, {"x"}},
  };
  for (const LinesCase& c : cases) {
    ScriptedInput input{{c.steps.begin(), c.steps.end()}, {}};
    EXPECT_EQ(all_lines(input), c.expected) << c.reason;
  }
}

TEST(LineReader, ReadsBlocksOf8192AndKeepsTheRestForTheNextLine) {
  ScriptedInput input{{{"{\"a\":1}\n{\"b\":2}\n{\"c\":3}\n"}}, {}};
  LineReader reader(input.reader());
  EXPECT_EQ(reader.next_line(), "{\"a\":1}");
  EXPECT_EQ(reader.next_line(), "{\"b\":2}");
  EXPECT_EQ(reader.next_line(), "{\"c\":3}");
  EXPECT_EQ(input.requested.size(), 1u);
  EXPECT_EQ(reader.next_line(), std::nullopt);
  for (const std::size_t size : input.requested) EXPECT_EQ(size, kInputBlockBytes);
}

TEST(LineReader, StopsReadingAnEndlessLineOnceItIsTooLong) {
  std::size_t served = 0;
  LineReader reader([&served](char* buffer, std::size_t size) -> ssize_t {
    std::memset(buffer, 'a', size);
    served += size;
    return static_cast<ssize_t>(size);
  });
  EXPECT_EQ(reader.next_line(), std::nullopt);
  EXPECT_LE(served, kMaxLineBytes + 1 + kInputBlockBytes);
}

}  // namespace
}  // namespace ktarn::host
