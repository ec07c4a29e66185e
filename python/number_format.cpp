#include "python/number_format.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <system_error>

namespace norvel::python {

std::string format_fixed(double value, int digits) {
  if (std::isnan(value)) {
    return "NaN";
  }
  if (std::isinf(value)) {
    return value < 0 ? "-inf" : "inf";
  }
  if (digits < 0 || digits > 100) {
    throw std::logic_error("format_fixed: digits out of range");
  }
  // The largest double has 309 integral digits; with a sign, a point and up
  // to 100 fractional digits this always fits.
  std::array<char, 512> buffer;
  const std::to_chars_result written = std::to_chars(
      buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed, digits);
  if (written.ec != std::errc()) {
    throw std::logic_error("format_fixed: buffer too small");
  }
  return std::string(buffer.data(), written.ptr);
}

}  // namespace norvel::python
