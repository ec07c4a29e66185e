#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "loading/short_number.hpp"

namespace norvel {

// The value of `count` (1 to 16) decimal digits at `at`; at least 16 bytes
// from `at` are readable.
[[gnu::always_inline]] inline std::uint64_t digits_value(const char* at, unsigned count) {
  constexpr std::uint64_t kZeros = 0x3030303030303030u;
  std::uint64_t head;
  std::memcpy(&head, at, sizeof head);
  // Subtracting the zeros borrows only upwards, out of the bytes after the
  // digits, and those are shifted out.
  head -= kZeros;
  if (count <= 8) return eight_digits_value(head << (8 * (8 - count)));
  std::uint64_t tail;
  std::memcpy(&tail, at + count - 8, sizeof tail);
  return eight_digits_value(head << (8 * (16 - count))) * std::uint64_t{100000000} + eight_digits_value(tail - kZeros);
}

// The numbers a graph document is mostly made of: a non-negative integer of
// at most 15 digits, or a decimal fraction of at most 14 digits in all,
// either sign, no exponent. Where the number ends comes from one 16-byte
// window in a few instructions, so the reading of what follows need not
// wait for the value, which is computed apart. The caller guarantees
// kShortNumberReach readable bytes. False, with `at` unchanged, for anything
// else, which `read_short_number` or the full reader then handles.
//
// A fraction's significand is below 10^14 < 2^53, so both operands of the
// division are exact and its one rounding gives the correctly rounded value.
[[gnu::always_inline]] inline bool read_plain_number(const char*& at, JsonNumber& number) {
#if defined(__SSE2__)
  // The end is found from the window at `at` itself, a minus sign counting as
  // part of the number in its first byte only, so nothing waits for the sign.
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  const __m128i above_zero = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
  const __m128i is_digit = _mm_cmpeq_epi8(_mm_min_epu8(above_zero, _mm_set1_epi8(9)), above_zero);
  const __m128i is_point = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('.'));
  const __m128i is_minus = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('-'));
  const auto digit_bits = static_cast<unsigned>(_mm_movemask_epi8(is_digit));
  const auto point_bits = static_cast<unsigned>(_mm_movemask_epi8(is_point));
  const unsigned minus_bit = static_cast<unsigned>(_mm_movemask_epi8(is_minus)) & 1u;
  // The high half of the mask is clear, so its complement has a set bit.
  const auto end = static_cast<unsigned>(__builtin_ctz(~(digit_bits | point_bits | minus_bit)));
  if (end == 16) return false;
  const bool negative = minus_bit != 0;
  const char* start = at + negative;
  const unsigned length = end - minus_bit;
  const unsigned points = (point_bits >> minus_bit) & ((1u << length) - 1);
  const unsigned integer_digits = points == 0 ? length : static_cast<unsigned>(__builtin_ctz(points));
  if (integer_digits == 0 || (integer_digits > 1 && *start == '0')) return false;
  if ((at[end] | 0x20) == 'e') return false;
  if (points == 0) {
    if (negative) return false;
    number = {JsonNumber::Kind::kUnsigned, digits_value(start, integer_digits), 0.0};
  } else {
    const unsigned fraction_digits = length - integer_digits - 1;
    if (fraction_digits == 0 || (points & (points - 1)) != 0) return false;
    const std::uint64_t significand = digits_value(start, integer_digits) * kIntegerPowersOfTen[fraction_digits] +
                                      digits_value(start + integer_digits + 1, fraction_digits);
    const double value = static_cast<double>(static_cast<std::int64_t>(significand)) / kExactPowersOfTen[fraction_digits];
    number = {JsonNumber::Kind::kFloat, 0, negative ? -value : value};
  }
  at += end;
  return true;
#else
  (void)at;
  (void)number;
  return false;
#endif
}

}  // namespace norvel
