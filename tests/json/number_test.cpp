// Numbers both ways: which form the reader gives each text and how the writer lays out each
// kind of number, including the values the two-rounding conversion defines.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "json/parse_json.hpp"
#include "json/powers_of_ten.hpp"
#include "json/read_number.hpp"
#include "json/write_json.hpp"

namespace ktarn::json {
namespace {

struct NumberCase {
  std::string input;
  NumberForm form;
  std::string written;
};

class NumberReads : public testing::TestWithParam<NumberCase> {};

TEST_P(NumberReads, FormAndWrittenText) {
  const auto result = parse_json(GetParam().input);
  ASSERT_TRUE(result.has_value()) << result.error().category;
  EXPECT_EQ(result->number_form(), GetParam().form);
  EXPECT_EQ(write_json(*result), GetParam().written);
}

constexpr NumberForm kU = NumberForm::kUnsigned;
constexpr NumberForm kN = NumberForm::kNegative;
constexpr NumberForm kD = NumberForm::kDouble;

INSTANTIATE_TEST_SUITE_P(
    Numbers, NumberReads,
    testing::Values(
        NumberCase{"0", kU, "0"}, NumberCase{"-0", kD, "-0.0"}, NumberCase{"1.0", kD, "1.0"},
        NumberCase{"1e2", kD, "100.0"}, NumberCase{"1E+2", kD, "100.0"},
        NumberCase{"0.10", kD, "0.1"}, NumberCase{"123456789012345678", kU, "123456789012345678"},
        NumberCase{"18446744073709551615", kU, "18446744073709551615"},
        NumberCase{"18446744073709551616", kD, "1.8446744073709552e+19"},
        NumberCase{"-9223372036854775808", kN, "-9223372036854775808"},
        NumberCase{"-9223372036854775809", kD, "-9.223372036854776e+18"},
        NumberCase{"-1", kN, "-1"}, NumberCase{"1e21", kD, "1e+21"},
        NumberCase{"0.000001", kD, "1e-6"}, NumberCase{"0.00001", kD, "0.00001"},
        NumberCase{"1e-400", kD, "0.0"}, NumberCase{"-1e-400", kD, "-0.0"},
        NumberCase{"0e99999999999", kD, "0.0"}, NumberCase{"-0e99999999999", kD, "-0.0"},
        NumberCase{"1e-99999999999", kD, "0.0"}, NumberCase{"0e309", kD, "0.0"},
        NumberCase{"9007199254740993.0", kD, "9007199254740994.0"},
        NumberCase{"1.7976931348623157e308", kD, "1.7976931348623157e+308"},
        NumberCase{"5e-324", kD, "5e-324"}, NumberCase{"1e-320", kD, "1e-320"},
        NumberCase{"123.456e-2", kD, "1.23456"},
        NumberCase{"100000000000000000000000", kD, "1e+23"}, NumberCase{"1e-2147483648", kD, "0.0"},
        NumberCase{"184467440737095516159.5", kD, "1.844674407370955e+20"},
        NumberCase{"0.12345678901234567890123", kD, "0.12345678901234568"}));

struct Rejected {
  std::string input;
  std::string_view category;
};

class NumberRejects : public testing::TestWithParam<Rejected> {};

TEST_P(NumberRejects, WithCategory) {
  const auto result = parse_json(GetParam().input);
  ASSERT_FALSE(result.has_value()) << write_json(*result);
  EXPECT_EQ(result.error().category, GetParam().category);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, NumberRejects,
    testing::Values(
        Rejected{"01", "invalid number"}, Rejected{"-01", "invalid number"},
        Rejected{"-", "EOF while parsing a value"}, Rejected{"-a", "invalid number"},
        Rejected{"1.", "EOF while parsing a value"}, Rejected{"1.e5", "invalid number"},
        Rejected{"[1.]", "invalid number"}, Rejected{"1e", "EOF while parsing a value"},
        Rejected{"1e+", "EOF while parsing a value"}, Rejected{"1e-x", "invalid number"},
        Rejected{"1e400", "number out of range"}, Rejected{"-1e400", "number out of range"},
        Rejected{"1e99999999999", "number out of range"},
        Rejected{"1e2147483648", "number out of range"},
        Rejected{"0.1e2147483647", "number out of range"},
        Rejected{"1.8e308", "number out of range"}, Rejected{"0x10", "trailing characters"},
        Rejected{"1.5.2", "trailing characters"}, Rejected{"-Infinity", "invalid number"}));

TEST(NumberConversion, SaturatesTheCombinedExponent) {
  // Dropped integer digits raise the exponent, which then meets the written one.
  EXPECT_EQ(write_json(*parse_json("10000000000000000000000e-2147483647")), "0.0");
  const auto large = parse_json("1" + std::string(30, '0') + "e2147483647");
  ASSERT_FALSE(large.has_value());
  EXPECT_EQ(large.error().category, "number out of range");
}

// Numbers around the limits of exact reading (18 to 20 digits, two exponent digits, leading zeros,
// signs) must give the value the number reader gives, whether a number ends the text or is ended
// by the byte after it inside an array.
TEST(NumberConversion, ShortNumbersMatchTheFullConversion) {
  std::mt19937_64 random(1209);
  const auto digits = [&](std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += static_cast<char>('0' + random() % 10);
    return text;
  };
  for (int i = 0; i < 20000; ++i) {
    std::string text = random() % 2 ? "-" : "";
    const std::size_t integer_digits = random() % 21;
    if (random() % 3 == 0) {
      text += '0';
    } else {
      text += std::to_string(1 + random() % 9);
      text += digits(integer_digits);
    }
    if (random() % 4 != 0) {
      text += '.';
      text.append(random() % 4, '0');
      text += digits(1 + random() % 20);
    }
    if (random() % 2 == 0) {
      constexpr const char* kSigns[] = {"", "+", "-"};
      text +=
          std::string(random() % 2 ? "e" : "E") + kSigns[random() % 3] + digits(1 + random() % 3);
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const NumberRead full = read_number(bytes, bytes + text.size());
    // Alone, a number ends with the text; inside an array, at the byte after it.
    const auto alone = parse_json(text);
    const auto inside = parse_json("[" + text + "]");
    ASSERT_EQ(alone.has_value(), full.failure.empty()) << text;
    ASSERT_EQ(inside.has_value(), full.failure.empty()) << text;
    if (alone) {
      ASSERT_EQ(*alone, full.value) << text;
      ASSERT_EQ((*inside->as_array())[0], full.value) << text;
    }
  }
}

TEST(NumberConversion, ScalesByCorrectlyRoundedPowers) {
  for (int k = 0; k <= kMaxPowerOfTen; ++k) {
    const std::string literal = "1e" + std::to_string(k);
    ASSERT_EQ(kPowersOfTen[static_cast<std::size_t>(k)], std::strtod(literal.c_str(), nullptr))
        << k;
  }
}

struct DoubleText {
  double value;
  std::string written;
};

class DoubleWrites : public testing::TestWithParam<DoubleText> {};

TEST_P(DoubleWrites, LayoutByDecimalExponent) {
  EXPECT_EQ(write_json(JsonValue::number(GetParam().value)), GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, DoubleWrites,
    testing::Values(DoubleText{0.0, "0.0"}, DoubleText{-0.0, "-0.0"}, DoubleText{1.0, "1.0"},
                    DoubleText{100.0, "100.0"}, DoubleText{1e15, "1000000000000000.0"},
                    DoubleText{1e16, "1e+16"}, DoubleText{1.5e300, "1.5e+300"},
                    DoubleText{1e-6, "1e-6"}, DoubleText{1.5e-7, "1.5e-7"},
                    DoubleText{5e-324, "5e-324"}, DoubleText{0.5, "0.5"},
                    DoubleText{0.001, "0.001"}, DoubleText{1e-5, "0.00001"},
                    DoubleText{1.5e-5, "0.000015"}, DoubleText{123.456, "123.456"},
                    // The reader takes "999999999999999.9" to 1e15 (its 16 nines round up as a
                    // significand), so the double nearest to it needs one digit more.
                    DoubleText{999999999999999.9, "999999999999999.88"}, DoubleText{-2.5, "-2.5"},
                    DoubleText{0.1 + 0.2, "0.30000000000000004"},
                    DoubleText{1.2345e16, "1.2345e+16"}, DoubleText{-1e-7, "-1e-7"}));

// The significant digits and decimal exponent of a written double, read back from either layout.
struct WrittenDigits {
  std::string digits;
  int exponent = 0;
  bool operator==(const WrittenDigits&) const = default;
};

WrittenDigits digits_of_text(std::string text) {
  if (text.front() == '-') text.erase(0, 1);
  WrittenDigits d;
  const std::size_t mark = text.find('e');
  if (mark != std::string::npos) d.exponent = std::stoi(text.substr(mark + 1));
  const std::string mantissa = text.substr(0, mark);
  const std::size_t point = mantissa.find('.');
  const std::size_t integer_digits = point == std::string::npos ? mantissa.size() : point;
  for (const char c : mantissa) {
    if (c != '.') d.digits += c;
  }
  const std::size_t leading = d.digits.find_first_not_of('0');
  d.exponent += static_cast<int>(integer_digits) - 1 - static_cast<int>(leading);
  d.digits = d.digits.substr(leading, d.digits.find_last_not_of('0') + 1 - leading);
  return d;
}

// The double the reader gives for text, which must be a double.
double read_double(const std::string& text) {
  const ParseResult value = parse_json(text);
  return value && value->as_double() ? *value->as_double()
                                     : std::numeric_limits<double>::quiet_NaN();
}

std::string shortest_correctly_rounded(double x) {
  char text[64];
  return {text, std::to_chars(text, text + sizeof text, x, std::chars_format::scientific).ptr};
}

// Wherever the protocol's reader takes the correctly rounded shortest digits back to the same
// double, those are the digits written, so every text written before the reader was taken into
// account is written as before. Doubles read from short decimals (integers up to and past 2^50
// over powers of ten up to and past 10^22, which the writer recognises directly) and arbitrary
// bit patterns.
TEST(DoubleWrites, DigitsAreTheShortestThatReadBack) {
  std::mt19937_64 random(20261209);
  std::vector<double> values;
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t integer = random() >> (random() % 64);
    values.push_back(static_cast<double>(integer) / kPowersOfTen[random() % 26]);
    values.push_back(static_cast<double>(integer % 100000) * kPowersOfTen[random() % 30]);
    values.push_back(std::bit_cast<double>(random()));
  }
  int compared = 0;
  for (const double x : values) {
    if (!std::isfinite(x) || x == 0) continue;
    const std::string form = shortest_correctly_rounded(std::fabs(x));
    if (read_double(form) != std::fabs(x)) continue;
    ++compared;
    ASSERT_EQ(digits_of_text(write_json(JsonValue::number(x))), digits_of_text(form)) << form;
  }
  EXPECT_GT(compared, 40000);
}

// Reading back every text written gives the very double written, under the protocol's own
// conversion, and writing that again gives the same text (so a verifier's canonical check takes
// it). The doubles are those requests carry: read from each "mEn" for m of 1 to 99, from random
// decimals of up to 20 digits (trailing zeros and all), and from the correctly rounded shortest
// text of random bit patterns (as a browser writes a double).
TEST(DoubleWrites, EveryTextWrittenReadsBackAsItsDouble) {
  std::mt19937_64 random(20261210);
  std::vector<std::string> texts;
  for (int m = 1; m <= 99; ++m) {
    for (int n = -345; n <= 308; ++n) texts.push_back(std::to_string(m) + "e" + std::to_string(n));
  }
  for (int i = 0; i < 20000; ++i) {
    std::string digits = std::to_string(random() >> (random() % 64));
    digits.resize(std::min<std::size_t>(digits.size(), 1 + random() % 20));
    texts.push_back("0." + digits + "e" + std::to_string(static_cast<int>(random() % 650) - 330));
    const double x = std::bit_cast<double>(random() >> 1);
    if (std::isfinite(x)) texts.push_back(shortest_correctly_rounded(x));
  }
  int rewritten = 0;
  for (const std::string& text : texts) {
    const double x = read_double(text);
    if (std::isnan(x)) continue;
    const std::string written = write_json(JsonValue::number(x));
    const double back = read_double(written);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(x))
        << text << " written " << written;
    ASSERT_EQ(write_json(JsonValue::number(back)), written) << text;
    rewritten += read_double(shortest_correctly_rounded(x)) != x;
  }
  // Enough doubles whose correctly rounded digits the reader takes elsewhere.
  EXPECT_GT(rewritten, 5000);
}

// Doubles whose correctly rounded shortest digits the reader takes to a neighbour, each written
// as the fewest digits it takes back to them.
INSTANTIATE_TEST_SUITE_P(ReaderValues, DoubleWrites,
                         testing::Values(DoubleText{read_double("1e-24"), "1e-24"},
                                         DoubleText{read_double("4e-25"), "4e-25"},
                                         DoubleText{read_double("1e-307"), "1e-307"},
                                         DoubleText{read_double("3e49"), "3e+49"},
                                         DoubleText{-read_double("1e-24"), "-1e-24"}));

TEST(DoubleWrites, NonFiniteValuesAreNull) {
  EXPECT_TRUE(JsonValue::number(std::numeric_limits<double>::quiet_NaN()).is_null());
  EXPECT_TRUE(JsonValue::number(-std::numeric_limits<double>::infinity()).is_null());
}

}  // namespace
}  // namespace ktarn::json
