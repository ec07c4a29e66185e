// Every way a number is read (the plain window, the short reader, the full
// reader with its exact fast path and its fallback) must give the very bits
// std::from_chars gives: compared on millions of random decimal texts.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <system_error>

#include "exact_decimal.hpp"
#include "loading/json_cursor.hpp"
#include "loading/plain_number.hpp"
#include "loading/quick_record_reader.hpp"

namespace norvel {
namespace {

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

class NumberTexts {
 public:
  explicit NumberTexts(std::uint64_t seed) : random_(seed) {}

  std::size_t below(std::size_t limit) { return static_cast<std::size_t>(random_() % limit); }

  std::string digits(std::size_t count, bool may_lead_with_zero) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
      text += static_cast<char>('0' + (i == 0 && !may_lead_with_zero ? 1 + below(9) : below(10)));
    }
    return text;
  }

  // An integer part: "0" or digits without a leading zero.
  std::string integer_part(std::size_t count) { return count == 0 || below(8) == 0 ? "0" : digits(count, false); }

  // A valid JSON number of one of many shapes.
  std::string any() {
    std::string text = below(3) == 0 ? "-" : "";
    switch (below(9)) {
      case 0:  // short
        text += integer_part(1 + below(3));
        if (below(2)) text.append(".").append(digits(1 + below(3), true));
        break;
      case 1: {  // up to 15 significant digits, the point anywhere
        std::size_t total = 1 + below(15);
        std::size_t integer = below(total + 1);
        text += integer_part(integer);
        if (integer < total) text.append(".").append(digits(total - integer, true));
        break;
      }
      case 2: {  // 16 to 40 digits: beyond an exact significand
        std::size_t total = 16 + below(25);
        std::size_t integer = below(total + 1);
        text += integer_part(integer);
        if (integer < total) text.append(".").append(digits(total - integer, true));
        break;
      }
      case 3:  // hundreds of digits
        text.append(integer_part(1 + below(3))).append(".").append(digits(100 + below(700), true));
        break;
      case 4:  // an exponent anywhere in the double range and a bit beyond
        text += integer_part(1 + below(20));
        if (below(2)) text.append(".").append(digits(1 + below(20), true));
        text += exponent(static_cast<int>(below(700)) - 350);
        break;
      case 5:  // near and below the smallest normal: subnormals and underflow
        text.append(digits(1, false)).append(".").append(digits(below(25), true));
        if (text.back() == '.') text += '0';
        text += exponent(-290 - static_cast<int>(below(45)));
        break;
      case 6:  // leading zeros after the point
        text.append("0.").append(1 + below(30), '0').append(digits(1 + below(17), false));
        break;
      case 7:  // an exact fast-path exponent: within ±22 of short significands
        text += integer_part(1 + below(9));
        if (below(2)) text.append(".").append(digits(1 + below(6), true));
        text += exponent(static_cast<int>(below(45)) - 22);
        break;
      default:  // near the largest double
        text.append(digits(1 + below(3), false)).append(".").append(digits(below(18) + 1, true));
        text += exponent(305 + static_cast<int>(below(6)));
        break;
    }
    return text;
  }

  std::string exponent(int value) {
    std::string text = below(2) ? "e" : "E";
    if (value < 0) {
      text += '-';
    } else if (below(2)) {
      text += '+';
    }
    if (below(10) == 0) text += '0';  // leading zeros are allowed in an exponent
    return text + std::to_string(std::abs(value));
  }

 private:
  std::mt19937_64 random_;
};

struct Conversion {
  bool in_range;
  double value;
};

Conversion from_chars_conversion(std::string_view text) {
  double value = 0.0;
  std::from_chars_result result = std::from_chars(text.data(), text.data() + text.size(), value);
  EXPECT_EQ(result.ptr, text.data() + text.size()) << text;
  return {result.ec == std::errc{}, value};
}

// Reads `text` as the document reader does and checks it against from_chars:
// the same bits in range; "number out of range" above the double range and a
// zero of the right sign below it.
void expect_read_as_from_chars(const std::string& text, const std::string& padding) {
  const std::string padded = text + padding;
  JsonCursor cursor(padded);
  JsonNumber number;
  const bool read = cursor.read_number(number);
  const Conversion expected = from_chars_conversion(text);
  if (expected.in_range) {
    ASSERT_TRUE(read) << text << ": " << cursor.failure().description;
    ASSERT_EQ(bits(number_as_double(number)), bits(expected.value)) << text;
    ASSERT_EQ(cursor.position(), padded.data() + text.size()) << text;
    return;
  }
  // from_chars says out of range both above the largest double and below
  // half the smallest; strtod tells which.
  const bool huge = std::isinf(std::strtod(text.c_str(), nullptr));
  if (huge) {
    ASSERT_FALSE(read) << text;
    ASSERT_EQ(cursor.failure().description, "number out of range") << text;
  } else {
    ASSERT_TRUE(read) << text;
    ASSERT_EQ(bits(number_as_double(number)), bits(text[0] == '-' ? -0.0 : 0.0)) << text;
  }
}

TEST(NumberConversion, EveryShapeReadsAsFromChars) {
  NumberTexts texts(20240611);
  const std::string room(kShortNumberReach, ' ');
  for (int round = 0; round < 1'000'000; ++round) {
    std::string text = texts.any();
    // Unpadded the full reader converts it; padded the short reader may.
    expect_read_as_from_chars(text, "");
    expect_read_as_from_chars(text, room);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// A plain number: an optional minus sign, digits with at most one point
// between digits, no exponent. The window reader must take every such text
// of at most 15 bytes, with a non-negative integer as an integer, and read
// it as from_chars does.
TEST(NumberConversion, PlainNumbersReadAsFromChars) {
  NumberTexts texts(777);
  std::size_t taken = 0;
  for (int round = 0; round < 1'000'000; ++round) {
    const bool negative = texts.below(3) == 0;
    const std::size_t total = 1 + texts.below(16);
    const std::size_t integer = 1 + texts.below(total);
    std::string text = negative ? "-" : "";
    text += texts.integer_part(integer);
    if (integer < total) text.append(".").append(texts.digits(total - integer, true));
    const bool integral = text.find('.') == std::string::npos;
    const bool fits = text.size() <= 15;

    std::string buffer = text + ",0" + std::string(kShortNumberReach, ' ');
    const char* at = buffer.data();
    JsonNumber number;
    const bool read = read_plain_number(at, number);
    ASSERT_EQ(read, fits && !(integral && negative)) << text;
    if (!read) {
      ASSERT_EQ(at, buffer.data()) << text;
      continue;
    }
    ++taken;
    ASSERT_EQ(at, buffer.data() + text.size()) << text;
    ASSERT_EQ(number.kind, integral ? JsonNumber::Kind::kUnsigned : JsonNumber::Kind::kFloat) << text;
    ASSERT_EQ(bits(number_as_double(number)), bits(from_chars_conversion(text).value)) << text;
    if (integral) {
      ASSERT_EQ(number.magnitude, std::stoull(text)) << text;
    }
  }
  EXPECT_GT(taken, 500'000u);
}

TEST(NumberConversion, PlainNumberReaderLeavesEverythingElse) {
  const std::string others[] = {"-",        "-x",      "01",       "00.5",        "-01.5",    "1.",
                                "1.e5",     ".5",      "1.2.3",    "1e5",         "1.5E-3",   "-0",
                                "-12",      "--1",     "1234567890123456", "0.12345678901234",
                                "123456789012345.6",   "x",        "1.5e",        "9.9E+1"};
  for (const std::string& text : others) {
    std::string buffer = text + std::string(kShortNumberReach, ' ');
    const char* at = buffer.data();
    JsonNumber number;
    EXPECT_FALSE(read_plain_number(at, number)) << text;
    EXPECT_EQ(at, buffer.data()) << text;
  }
}

// Written as "d.ddd" with an exponent instead of plain digits.
std::string in_scientific_form(const std::string& plain) {
  const bool negative = plain[0] == '-';
  std::string body = plain.substr(negative ? 1 : 0);
  std::size_t point = body.find('.');
  std::string digits = body;
  if (point != std::string::npos) digits.erase(point, 1);
  const auto integer_length = static_cast<long>(point == std::string::npos ? body.size() : point);
  std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return plain;
  long exponent = integer_length - 1 - static_cast<long>(first);
  digits.erase(0, first);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  std::string text = negative ? "-" : "";
  text += digits.substr(0, 1);
  if (digits.size() > 1) text.append(".").append(digits.substr(1));
  return text + "e" + std::to_string(exponent);
}

// The exact halfway point between two neighbouring doubles rounds to the one
// with the even significand; a hair above or below it, to the nearer one.
TEST(NumberConversion, HalfwayPointsRoundAsFromChars) {
  std::mt19937_64 random(4242);
  const std::string room(kShortNumberReach, ' ');
  for (int round = 0; round < 12'000; ++round) {
    double low;
    switch (random() % 4) {
      case 0: low = std::ldexp(static_cast<double>(random() % 100000), -1074); break;  // subnormal
      case 1: low = static_cast<double>(random() >> 11); break;                         // large integers
      case 2: low = std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(random() % 120) - 100); break;
      default: low = std::bit_cast<double>(random() % 0x7FE0000000000000u); break;  // anywhere finite
    }
    int exponent;
    const double fraction = std::frexp(low, &exponent);
    // low = significand × 2^(exponent - 53), or a subnormal multiple of 2^-1074.
    int binary_exponent = std::max(exponent - 53, -1074);
    auto significand = static_cast<std::uint64_t>(std::ldexp(fraction, exponent - binary_exponent));
    if (low == 0.0) significand = 0, binary_exponent = -1074;
    const std::string halfway = testing::exact_decimal(2 * significand + 1, binary_exponent - 1);
    std::string above = halfway.find('.') == std::string::npos ? halfway + ".000000000000000000001" : halfway + "1";
    std::string below = halfway;
    if (below.find('.') != std::string::npos && below.size() > 20) below.resize(below.size() - 1 - random() % 8);
    for (std::string text : {halfway, above, below}) {
      if (text.back() == '.') text.pop_back();
      if (random() % 2) text.insert(0, 1, '-');
      if (random() % 3 == 0) text = in_scientific_form(text);
      expect_read_as_from_chars(text, "");
      expect_read_as_from_chars(text, room);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace norvel
