#include "exact_decimal.hpp"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace norvel::testing {
namespace {

constexpr std::uint32_t kLimbBase = 1000000000;

// A non-negative integer in base 10^9, least significant limb first.
using Limbs = std::vector<std::uint32_t>;

void multiply(Limbs& limbs, std::uint32_t factor) {
  std::uint64_t carry = 0;
  for (std::uint32_t& limb : limbs) {
    std::uint64_t product = std::uint64_t{limb} * factor + carry;
    limb = static_cast<std::uint32_t>(product % kLimbBase);
    carry = product / kLimbBase;
  }
  while (carry != 0) {
    limbs.push_back(static_cast<std::uint32_t>(carry % kLimbBase));
    carry /= kLimbBase;
  }
}

// `factor` to the power `count`, a chunk at a time that fits in 32 bits.
void multiply_by_power(Limbs& limbs, std::uint32_t factor, int count, std::uint32_t chunk, int chunk_count) {
  for (; count >= chunk_count; count -= chunk_count) multiply(limbs, chunk);
  for (; count > 0; --count) multiply(limbs, factor);
}

std::string digits_of(const Limbs& limbs) {
  std::string text = std::to_string(limbs.back());
  for (std::size_t i = limbs.size() - 1; i > 0; --i) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%09u", static_cast<unsigned>(limbs[i - 1]));
    text += buffer;
  }
  return text;
}

}  // namespace

std::string exact_decimal(std::uint64_t significand, int binary_exponent) {
  Limbs limbs = {static_cast<std::uint32_t>(significand % kLimbBase),
                 static_cast<std::uint32_t>(significand / kLimbBase % kLimbBase),
                 static_cast<std::uint32_t>(significand / kLimbBase / kLimbBase)};
  while (limbs.size() > 1 && limbs.back() == 0) limbs.pop_back();
  if (binary_exponent >= 0) {
    multiply_by_power(limbs, 2, binary_exponent, 1u << 29, 29);
    return digits_of(limbs);
  }
  // m × 2^-k = m × 5^k / 10^k: the digits of m × 5^k, k of them after the point.
  const int fraction_digits = -binary_exponent;
  multiply_by_power(limbs, 5, fraction_digits, 1220703125u, 13);
  std::string digits = digits_of(limbs);
  if (static_cast<int>(digits.size()) <= fraction_digits) {
    digits.insert(0, static_cast<std::size_t>(fraction_digits) + 1 - digits.size(), '0');
  }
  digits.insert(digits.size() - static_cast<std::size_t>(fraction_digits), 1, '.');
  while (digits.back() == '0') digits.pop_back();
  if (digits.back() == '.') digits.pop_back();
  return digits;
}

}  // namespace norvel::testing
