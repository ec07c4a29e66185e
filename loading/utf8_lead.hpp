#pragma once

#include <cstddef>

namespace norvel {

// What the first byte of a multi-byte UTF-8 sequence allows: the sequence's
// length (0 when the byte cannot begin one) and the range of its second
// byte, which shuts out overlong forms, surrogates and code points beyond
// U+10FFFF. Every later byte lies in 0x80..0xBF.
struct Utf8Lead {
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
};

constexpr Utf8Lead utf8_lead(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {};
}

}  // namespace norvel
