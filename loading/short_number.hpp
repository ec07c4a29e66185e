#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace norvel {

// A JSON number as read: a non-negative integer, a negative integer that fits
// in 64 bits, or a double (fraction, exponent, -0 or beyond 64 bits).
struct JsonNumber {
  enum class Kind : std::uint8_t { kUnsigned, kNegative, kFloat };
  Kind kind;
  std::uint64_t magnitude;  // kUnsigned: the value; kNegative: minus the value
  double value;             // kFloat
};

// A number written as an integer (no fraction, no exponent) whose digits fit
// in 64 bits: "-0" and negatives beyond -2^63 are doubles.
[[gnu::always_inline]] inline JsonNumber integer_number(bool negative, std::uint64_t magnitude) {
  if (!negative) return {JsonNumber::Kind::kUnsigned, magnitude, 0.0};
  if (magnitude == 0) return {JsonNumber::Kind::kFloat, 0, -0.0};
  if (magnitude <= (std::uint64_t{1} << 63)) return {JsonNumber::Kind::kNegative, magnitude, 0.0};
  return {JsonNumber::Kind::kFloat, 0, -static_cast<double>(magnitude)};
}

// Powers of ten that a double holds exactly.
inline constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                               1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// How many bytes from its first one `read_short_number` may look at.
inline constexpr std::ptrdiff_t kShortNumberReach = 64;

inline constexpr std::uint64_t kIntegerPowersOfTen[] = {1,
                                                        10,
                                                        100,
                                                        1000,
                                                        10000,
                                                        100000,
                                                        1000000,
                                                        10000000,
                                                        100000000,
                                                        1000000000,
                                                        10000000000,
                                                        100000000000,
                                                        1000000000000,
                                                        10000000000000,
                                                        100000000000000,
                                                        1000000000000000};

// The value of 8 decimal digits held one per byte (0 to 9, not ASCII), the
// first digit in the lowest byte.
[[gnu::always_inline]] inline std::uint32_t eight_digits_value(std::uint64_t digits) {
  digits = digits * 10 + (digits >> 8);
  digits = (((digits & 0x000000FF000000FFu) * 0x000F424000000064u) +
            (((digits >> 16) & 0x000000FF000000FFu) * 0x0000271000000001u)) >> 32;
  return static_cast<std::uint32_t>(digits);
}

// Reads the run of digits at `at`, 8 at a time, appending them to
// `significand`; stops after 20 digits (too long for a short number anyway).
// Returns how many were read.
inline unsigned read_digit_run(const char*& at, std::uint64_t& significand) {
  unsigned total = 0;
  for (;;) {
    std::uint64_t chunk;
    std::memcpy(&chunk, at, sizeof chunk);
    // A byte is a digit when its high nibble is 3 and adding 6 keeps it 3;
    // bytes after the first non-digit may be misjudged, which is harmless.
    std::uint64_t high = chunk & 0xF0F0F0F0F0F0F0F0u;
    std::uint64_t high_plus_six = (chunk + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u;
    std::uint64_t not_digit = (high ^ 0x3030303030303030u) | (high_plus_six ^ 0x3030303030303030u);
    unsigned count = not_digit == 0 ? 8 : static_cast<unsigned>(std::countr_zero(not_digit)) / 8;
    if (count == 0) return total;
    // Digits moved to the top bytes: the bytes below read as leading zeros.
    std::uint64_t digits = (chunk - 0x3030303030303030u) << (8 * (8 - count));
    significand = significand * kIntegerPowersOfTen[count] + eight_digits_value(digits);
    at += count;
    total += count;
    if (count < 8 || total > 19) return total;
  }
}

// The common case of a plain number at `at`, with at most 19 digits and no
// exponent, read without bound checks: the caller guarantees
// kShortNumberReach readable bytes. False, with `at` unchanged, for anything
// else, which the full reader then handles (malformed numbers included).
inline bool read_short_number(const char*& at, JsonNumber& number) {
  if constexpr (std::endian::native != std::endian::little) return false;
  const char* next = at;
  const bool negative = *next == '-';
  next += negative;
  std::uint64_t significand = 0;
  unsigned integer_digits = read_digit_run(next, significand);
  if (integer_digits == 0 || (integer_digits > 1 && *(next - integer_digits) == '0')) return false;
  unsigned fraction_digits = 0;
  if (*next == '.') {
    ++next;
    fraction_digits = read_digit_run(next, significand);
    if (fraction_digits == 0) return false;
  }
  if (integer_digits + fraction_digits > 19 || *next == 'e' || *next == 'E') return false;
  if (fraction_digits == 0) {
    number = integer_number(negative, significand);
  } else {
    // Exact operands, one rounding: the correctly rounded value.
    if (significand > (std::uint64_t{1} << 53)) return false;
    double value = static_cast<double>(significand) / kExactPowersOfTen[fraction_digits];
    number = {JsonNumber::Kind::kFloat, 0, negative ? -value : value};
  }
  at = next;
  return true;
}

}  // namespace norvel
