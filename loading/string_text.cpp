#include "loading/string_text.hpp"

#include <cstddef>
#include <cstdint>

#include "loading/json_cursor.hpp"
#include "loading/utf8_lead.hpp"

namespace norvel {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// At a byte of 0x80 or more: the length of the UTF-8 sequence it begins when
// that is whole and valid, else the negated length of the longest start of
// one that is there (at least 1), which stands for one U+FFFD.
std::ptrdiff_t utf8_sequence(const char* at, const char* end) {
  const Utf8Lead lead = utf8_lead(static_cast<unsigned char>(*at));
  if (lead.length == 0) return -1;
  unsigned char low = lead.low;
  unsigned char high = lead.high;
  for (std::size_t i = 1; i < lead.length; ++i) {
    if (at + i == end) return -static_cast<std::ptrdiff_t>(i);
    unsigned char c = static_cast<unsigned char>(at[i]);
    if (c < low || c > high) return -static_cast<std::ptrdiff_t>(i);
    low = 0x80;
    high = 0xBF;
  }
  return static_cast<std::ptrdiff_t>(lead.length);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of the four hex digits at `at`, or -1 when fewer than four
// are there (never in a body the cursor has skipped).
std::int32_t hex_unit(const char* at, const char* end) {
  if (end - at < 4) return -1;
  std::int32_t unit = 0;
  for (int i = 0; i < 4; ++i) {
    int value = hex_value(at[i]);
    if (value < 0) return -1;
    unit = unit * 16 + value;
  }
  return unit;
}

bool is_leading_surrogate(std::int32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_trailing_surrogate(std::int32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Just after a backslash: appends what the escape stands for and returns
// the byte after it. A leading surrogate pairs with a trailing one escaped
// right after it, as JSON readers pair them; any other surrogate is U+FFFD.
const char* decode_escape(const char* at, const char* end, std::string& out) {
  if (at == end) {
    out += kReplacement;
    return at;
  }
  switch (*at++) {
    case '"': out += '"'; return at;
    case '\\': out += '\\'; return at;
    case '/': out += '/'; return at;
    case 'b': out += '\b'; return at;
    case 'f': out += '\f'; return at;
    case 'n': out += '\n'; return at;
    case 'r': out += '\r'; return at;
    case 't': out += '\t'; return at;
    case 'u': break;
    default: out += kReplacement; return at;
  }
  const std::int32_t unit = hex_unit(at, end);
  if (unit < 0) {
    out += kReplacement;
    return at;
  }
  at += 4;
  if (is_leading_surrogate(unit) && end - at >= 6 && at[0] == '\\' && at[1] == 'u') {
    const std::int32_t trailing = hex_unit(at + 2, end);
    if (is_trailing_surrogate(trailing)) {
      append_utf8(out, static_cast<std::uint32_t>(0x10000 + ((unit - 0xD800) << 10) + (trailing - 0xDC00)));
      return at + 6;
    }
  }
  if (is_leading_surrogate(unit) || is_trailing_surrogate(unit)) {
    out += kReplacement;
  } else {
    append_utf8(out, static_cast<std::uint32_t>(unit));
  }
  return at;
}

// The length of the start of `body` that is its own text: up to the first
// escape or the first byte that is not part of a valid UTF-8 sequence.
std::size_t plain_length(std::string_view body) {
  const char* at = body.data();
  const char* end = at + body.size();
  while (at != end) {
    const unsigned char c = static_cast<unsigned char>(*at);
    if (c == '\\') break;
    if (c < 0x80) {
      ++at;
      continue;
    }
    const std::ptrdiff_t length = utf8_sequence(at, end);
    if (length < 0) break;
    at += length;
  }
  return static_cast<std::size_t>(at - body.data());
}

}  // namespace

std::string_view string_text(std::string_view body, std::string& scratch) {
  const std::size_t plain = plain_length(body);
  if (plain == body.size()) return body;
  scratch.assign(body.data(), plain);
  const char* at = body.data() + plain;
  const char* end = body.data() + body.size();
  while (at != end) {
    const unsigned char c = static_cast<unsigned char>(*at);
    if (c == '\\') {
      at = decode_escape(at + 1, end, scratch);
    } else if (c < 0x80) {
      scratch += static_cast<char>(c);
      ++at;
    } else {
      const std::ptrdiff_t length = utf8_sequence(at, end);
      if (length > 0) {
        scratch.append(at, static_cast<std::size_t>(length));
        at += length;
      } else {
        scratch += kReplacement;
        at -= length;
      }
    }
  }
  return scratch;
}

}  // namespace norvel
