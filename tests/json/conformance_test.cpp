// The shared conformance collection: every file named y_ must parse, every n_ must fail, and
// each i_ file (behaviour the grammar leaves open elsewhere) must have the outcome this reader
// defines for it. Files are read as byte input, since several are not UTF-8 at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "json/parse_json.hpp"
#include "json/write_json.hpp"

namespace ktarn::json {
namespace {

// Empty when the build was configured without the shared data.
const std::filesystem::path kSuiteDir =
    std::string_view(KTARN_SHARED_DIR).empty()
        ? std::filesystem::path()
        : std::filesystem::path(KTARN_SHARED_DIR) / "json-test-suite" / "test_parsing";

// The outcome of each i_ file: the failure category, or "" where the file parses.
const std::map<std::string, std::string_view> kImplementationDefined = {
    {"i_number_double_huge_neg_exp.json", ""},
    {"i_number_huge_exp.json", "number out of range"},
    {"i_number_neg_int_huge_exp.json", "number out of range"},
    {"i_number_pos_double_huge_exp.json", "number out of range"},
    {"i_number_real_neg_overflow.json", "number out of range"},
    {"i_number_real_pos_overflow.json", "number out of range"},
    {"i_number_real_underflow.json", ""},
    {"i_number_too_big_neg_int.json", ""},
    {"i_number_too_big_pos_int.json", ""},
    {"i_number_very_big_negative_int.json", ""},
    {"i_object_key_lone_2nd_surrogate.json", "lone leading surrogate in hex escape"},
    {"i_string_1st_surrogate_but_2nd_missing.json", "unexpected end of hex escape"},
    {"i_string_1st_valid_surrogate_2nd_invalid.json", "lone leading surrogate in hex escape"},
    {"i_string_UTF-16LE_with_BOM.json", "expected value"},
    {"i_string_UTF-8_invalid_sequence.json", "invalid unicode code point"},
    {"i_string_UTF8_surrogate_U+D800.json", "invalid unicode code point"},
    {"i_string_incomplete_surrogate_and_escape_valid.json", "unexpected end of hex escape"},
    {"i_string_incomplete_surrogate_pair.json", "lone leading surrogate in hex escape"},
    {"i_string_incomplete_surrogates_escape_valid.json", "lone leading surrogate in hex escape"},
    {"i_string_invalid_lonely_surrogate.json", "unexpected end of hex escape"},
    {"i_string_invalid_surrogate.json", "unexpected end of hex escape"},
    {"i_string_invalid_utf-8.json", "invalid unicode code point"},
    {"i_string_inverted_surrogates_U+1D11E.json", "lone leading surrogate in hex escape"},
    {"i_string_iso_latin_1.json", "invalid unicode code point"},
    {"i_string_lone_second_surrogate.json", "lone leading surrogate in hex escape"},
    {"i_string_lone_utf8_continuation_byte.json", "invalid unicode code point"},
    {"i_string_not_in_unicode_range.json", "invalid unicode code point"},
    {"i_string_overlong_sequence_2_bytes.json", "invalid unicode code point"},
    {"i_string_overlong_sequence_6_bytes.json", "invalid unicode code point"},
    {"i_string_overlong_sequence_6_bytes_null.json", "invalid unicode code point"},
    {"i_string_truncated-utf-8.json", "invalid unicode code point"},
    {"i_string_utf16BE_no_BOM.json", "expected value"},
    {"i_string_utf16LE_no_BOM.json", "expected value"},
    {"i_structure_500_nested_arrays.json", "recursion limit exceeded"},
    {"i_structure_UTF-8_BOM_empty_object.json", "expected value"},
};

std::vector<unsigned char> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::filesystem::path> suite_files() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(kSuiteDir)) {
    files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(Conformance, EveryFileHasItsOutcome) {
  if (kSuiteDir.empty() || !std::filesystem::is_directory(kSuiteDir)) {
    GTEST_SKIP() << "no shared JSON test suite: json-test-suite/test_parsing missing from "
                    "KTARN_SHARED_DIR (default ../shared beside the checkout)";
  }
  const std::vector<std::filesystem::path> files = suite_files();
  ASSERT_GT(files.size(), 300u);
  std::size_t implementation_defined = 0;
  for (const auto& path : files) {
    const std::string name = path.filename().string();
    SCOPED_TRACE(name);
    const std::vector<unsigned char> bytes = read_file(path);
    const ParseResult result = parse_json_bytes(bytes);
    switch (name.front()) {
      case 'y':
        EXPECT_TRUE(result.has_value()) << result.error().category;
        break;
      case 'n':
        EXPECT_FALSE(result.has_value());
        break;
      default: {
        const auto expected = kImplementationDefined.find(name);
        ASSERT_NE(expected, kImplementationDefined.end()) << "no outcome decided";
        ++implementation_defined;
        const std::string_view category = result ? std::string_view() : result.error().category;
        EXPECT_EQ(category, expected->second);
      }
    }
  }
  EXPECT_EQ(implementation_defined, kImplementationDefined.size());
}

// Every text the reader passes as already canonical is byte for byte what the writer makes of
// its value, whatever the notation around it: the signed bytes may be either.
TEST(Conformance, CanonicalMemberTextsAreTheWritersBytes) {
  if (kSuiteDir.empty() || !std::filesystem::is_directory(kSuiteDir)) {
    GTEST_SKIP() << "no shared JSON test suite";
  }
  std::size_t passed_as_sent = 0;
  for (const auto& path : suite_files()) {
    const std::vector<unsigned char> bytes = read_file(path);
    const std::string text(bytes.begin(), bytes.end());
    // Each value as it stands in the file and as the writer writes it, as a root member.
    const ParseResult alone = parse_json_bytes(bytes);
    if (!alone) continue;
    for (const std::string& member : {text, write_json(*alone)}) {
      const std::string request = R"({"id":1,"p":)" + member + "}";
      RootMemberTexts texts;
      const ParseResult parsed = parse_json(request, texts);
      if (!parsed) continue;  // not UTF-8, which a request line always is
      const auto canonical = texts.canonical_text("p");
      if (!canonical) continue;
      SCOPED_TRACE(path.filename().string());
      EXPECT_EQ(*canonical, write_json(*find_member(*parsed, "p")));
      ++passed_as_sent;
    }
  }
  EXPECT_GT(passed_as_sent, 100u);
}

}  // namespace
}  // namespace ktarn::json
