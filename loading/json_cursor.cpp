#include "loading/json_cursor.hpp"

#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include "loading/utf8_lead.hpp"

namespace norvel {

namespace {

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr std::uint64_t kExactSignificandLimit = std::uint64_t{1} << 53;

// The first byte from `at` on that ends a run of plain string bytes: a quote,
// a backslash, a control byte and, when `stop_at_non_ascii`, any byte of a
// multi-byte character. Looks at 8 bytes at a time.
const char* end_of_plain_run(const char* at, const char* end, bool stop_at_non_ascii) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighBits = 0x8080808080808080u;
  if constexpr (std::endian::native == std::endian::little) {
    while (end - at >= 8) {
      std::uint64_t chunk;
      std::memcpy(&chunk, at, sizeof chunk);
      std::uint64_t quote = chunk ^ (kOnes * '"');
      std::uint64_t backslash = chunk ^ (kOnes * '\\');
      // A zero byte, or a byte below 0x20, borrows: the first flagged byte
      // is exact, later ones may not be.
      std::uint64_t stops = ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
                              ((chunk - kOnes * 0x20) & ~chunk);
      stops &= kHighBits;
      if (stop_at_non_ascii) stops |= chunk & kHighBits;
      if (stops != 0) return at + std::countr_zero(stops) / 8;
      at += 8;
    }
  }
  while (at != end) {
    unsigned char c = static_cast<unsigned char>(*at);
    if (c == '"' || c == '\\' || c < 0x20 || (stop_at_non_ascii && c >= 0x80)) break;
    ++at;
  }
  return at;
}

}  // namespace

void append_utf8(std::string& out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

bool JsonCursor::fail_at_peek(Syntax syntax) {
  failure_.offset = static_cast<std::size_t>(at_ - begin_) + (at_ == end_ ? 0 : 1);
  failure_.description = describe(syntax);
  return false;
}

bool JsonCursor::fail_here(Syntax syntax) { return fail_here(std::string(describe(syntax))); }

bool JsonCursor::fail_here(std::string description) {
  failure_.offset = static_cast<std::size_t>(at_ - begin_);
  failure_.description = std::move(description);
  return false;
}

bool JsonCursor::read_ident(std::string_view rest) {
  for (char expected : rest) {
    if (at_ == end_) return fail_here(Syntax::kEofWhileParsingValue);
    if (*at_++ != expected) return fail_here(Syntax::kExpectedIdent);
  }
  return true;
}

// Without `number` the value is being skipped: it is checked for form only,
// so its range is never looked at.
bool JsonCursor::scan_number(JsonNumber* number) {
  const bool converting = number != nullptr;
  const char* start = at_;
  bool negative = false;
  if (*at_ == '-') {
    negative = true;
    ++at_;
  }
  if (at_ == end_) return fail_here(Syntax::kEofWhileParsingValue);
  unsigned char first = static_cast<unsigned char>(*at_++);
  std::uint64_t significand = 0;
  bool significand_overflow = false;  // later digits only scale the value
  std::int64_t decimal_exponent = 0;
  if (first == '0') {
    if (at_ != end_ && is_digit(static_cast<unsigned char>(*at_))) return fail_at_peek(Syntax::kInvalidNumber);
  } else if (is_digit(first)) {
    significand = first - '0';
    while (at_ != end_ && is_digit(static_cast<unsigned char>(*at_))) {
      unsigned digit = static_cast<unsigned char>(*at_) - '0';
      if (!significand_overflow && significand > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
        significand_overflow = true;
      }
      if (significand_overflow) {
        ++decimal_exponent;
      } else {
        significand = significand * 10 + digit;
      }
      ++at_;
    }
  } else {
    return fail_here(Syntax::kInvalidNumber);
  }

  bool integral = true;
  if (at_ != end_ && *at_ == '.') {
    integral = false;
    ++at_;
    const char* digits = at_;
    while (at_ != end_ && is_digit(static_cast<unsigned char>(*at_))) {
      unsigned digit = static_cast<unsigned char>(*at_) - '0';
      if (!significand_overflow && significand > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
        significand_overflow = true;
      }
      if (!significand_overflow) {
        significand = significand * 10 + digit;
        --decimal_exponent;
      }
      ++at_;
    }
    if (at_ == digits) return fail_at_peek(at_ == end_ ? Syntax::kEofWhileParsingValue : Syntax::kInvalidNumber);
  }

  if (at_ != end_ && (*at_ == 'e' || *at_ == 'E')) {
    integral = false;
    ++at_;
    bool positive = true;
    if (at_ != end_ && (*at_ == '+' || *at_ == '-')) positive = *at_++ == '+';
    if (at_ == end_) return fail_here(Syntax::kEofWhileParsingValue);
    unsigned char c = static_cast<unsigned char>(*at_++);
    if (!is_digit(c)) return fail_here(Syntax::kInvalidNumber);
    std::int32_t exponent = c - '0';
    bool exponent_overflow = false;
    constexpr std::int32_t kLimit = std::numeric_limits<std::int32_t>::max();
    while (at_ != end_ && is_digit(static_cast<unsigned char>(*at_))) {
      int digit = *at_++ - '0';
      if (exponent_overflow) continue;
      if (exponent > kLimit / 10 || (exponent == kLimit / 10 && digit > kLimit % 10)) {
        // An exponent beyond 32 bits: out of range at once unless the value
        // is zero or shrinks towards zero.
        if (converting && positive && significand != 0) return fail_here(Syntax::kNumberOutOfRange);
        exponent_overflow = true;
        continue;
      }
      exponent = exponent * 10 + digit;
    }
    if (!converting) return true;
    if (exponent_overflow) {
      *number = {JsonNumber::Kind::kFloat, 0, negative ? -0.0 : 0.0};
      return true;
    }
    decimal_exponent += positive ? exponent : -exponent;
  }
  if (!converting) return true;

  if (integral && !significand_overflow) {
    *number = integer_number(negative, significand);
    return true;
  }
  double value;
  if (!convert_float(start, negative, significand, significand_overflow, decimal_exponent, value)) return false;
  *number = {JsonNumber::Kind::kFloat, 0, value};
  return true;
}

bool JsonCursor::convert_float(const char* start, bool negative, std::uint64_t significand,
                               bool significand_overflow, std::int64_t decimal_exponent, double& value) {
  // Both operands exact, so the one rounding of the product or quotient is
  // the correct rounding of the written value.
  if (!significand_overflow && significand <= kExactSignificandLimit && decimal_exponent >= -22 &&
      decimal_exponent <= 22) {
    value = static_cast<double>(significand);
    if (decimal_exponent >= 0) {
      value = value * kExactPowersOfTen[decimal_exponent];
    } else {
      value = value / kExactPowersOfTen[-decimal_exponent];
    }
    if (negative) value = -value;
    return true;
  }
  std::from_chars_result converted = std::from_chars(start, at_, value);
  if (converted.ec == std::errc::result_out_of_range) {
    // The value is the significand (below 2^64, not zero) times
    // 10^decimal_exponent: beyond the largest double that takes an exponent
    // of at least 289, below the smallest one an exponent of at most -324.
    if (decimal_exponent >= 0) return fail_here(Syntax::kNumberOutOfRange);
    value = negative ? -0.0 : 0.0;  // below the smallest double
  }
  return true;
}

bool JsonCursor::read_name(std::string_view& name) {
  ++at_;
  const char* start = at_;
  at_ = end_of_plain_run(at_, end_, true);
  if (at_ != end_ && *at_ == '"') {
    name = std::string_view(start, static_cast<std::size_t>(at_ - start));
    ++at_;
    return true;
  }
  name_buffer_.assign(start, at_);
  if (!decode_string(name_buffer_)) return false;
  name = name_buffer_;
  return true;
}

// Continues a string whose opening quote is consumed, appending its decoded
// text up to the closing quote.
bool JsonCursor::decode_string(std::string& out) {
  for (;;) {
    const char* run = at_;
    at_ = end_of_plain_run(at_, end_, true);
    out.append(run, at_);
    if (at_ == end_) return fail_here(Syntax::kEofWhileParsingString);
    unsigned char c = static_cast<unsigned char>(*at_);
    if (c >= 0x80) {
      if (!copy_utf8_sequence(out)) return false;
      continue;
    }
    ++at_;
    if (c == '"') return true;
    if (c != '\\') return fail_here(Syntax::kControlCharacter);
    if (!decode_escape(out)) return false;
  }
}

// Only a caller outside Python can pass bytes that are not UTF-8; in text
// that is decoded they get a description of their own.
bool JsonCursor::copy_utf8_sequence(std::string& out) {
  const char* start = at_;
  const Utf8Lead lead = utf8_lead(static_cast<unsigned char>(*at_++));
  if (lead.length == 0) return fail_here(Syntax::kInvalidCodePoint);
  unsigned char low = lead.low;
  unsigned char high = lead.high;
  for (std::size_t i = 1; i < lead.length; ++i) {
    if (at_ == end_) return fail_here(Syntax::kEofWhileParsingString);
    unsigned char c = static_cast<unsigned char>(*at_++);
    if (c < low || c > high) return fail_here(Syntax::kInvalidCodePoint);
    low = 0x80;
    high = 0xBF;
  }
  out.append(start, at_);
  return true;
}

bool JsonCursor::read_hex_escape(std::uint32_t& unit) {
  if (end_ - at_ < 4) {
    at_ = end_;
    return fail_here(Syntax::kEofWhileParsingString);
  }
  unit = 0;
  for (int i = 0; i < 4; ++i) {
    int value = hex_value(static_cast<unsigned char>(*at_++));
    if (value < 0) return fail_here(Syntax::kInvalidEscape);
    unit = unit * 16 + static_cast<std::uint32_t>(value);
  }
  return true;
}

bool JsonCursor::decode_escape(std::string& out) {
  if (at_ == end_) return fail_here(Syntax::kEofWhileParsingString);
  switch (*at_++) {
    case '"': out += '"'; return true;
    case '\\': out += '\\'; return true;
    case '/': out += '/'; return true;
    case 'b': out += '\b'; return true;
    case 'f': out += '\f'; return true;
    case 'n': out += '\n'; return true;
    case 'r': out += '\r'; return true;
    case 't': out += '\t'; return true;
    case 'u': break;
    default: return fail_here(Syntax::kInvalidEscape);
  }
  std::uint32_t unit;
  if (!read_hex_escape(unit)) return false;
  if (unit >= 0xDC00 && unit <= 0xDFFF) return fail_here(Syntax::kLoneLeadingSurrogate);
  if (unit < 0xD800 || unit > 0xDBFF) {
    append_utf8(out, unit);
    return true;
  }
  // A leading surrogate counts only as the first half of a pair of escapes.
  if (at_ == end_) return fail_here(Syntax::kEofWhileParsingString);
  if (*at_++ != '\\') return fail_here(Syntax::kUnexpectedEndOfHexEscape);
  if (at_ == end_) return fail_here(Syntax::kEofWhileParsingString);
  if (*at_++ != 'u') return fail_here(Syntax::kUnexpectedEndOfHexEscape);
  std::uint32_t trailing;
  if (!read_hex_escape(trailing)) return false;
  if (trailing < 0xDC00 || trailing > 0xDFFF) return fail_here(Syntax::kLoneLeadingSurrogate);
  append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (trailing - 0xDC00));
  return true;
}

// A skipped string is checked for form only: escapes must be well-formed,
// but what a \u escape stands for is not looked at.
bool JsonCursor::skip_string() {
  for (;;) {
    at_ = end_of_plain_run(at_, end_, false);
    if (at_ == end_) return fail_here(Syntax::kEofWhileParsingString);
    char c = *at_++;
    if (c == '"') return true;
    if (c != '\\') return fail_here(Syntax::kControlCharacter);
    if (!skip_escape()) return false;
  }
}

bool JsonCursor::skip_escape() {
  if (at_ == end_) return fail_here(Syntax::kEofWhileParsingString);
  switch (*at_++) {
    case '"':
    case '\\':
    case '/':
    case 'b':
    case 'f':
    case 'n':
    case 'r':
    case 't':
      return true;
    case 'u': {
      std::uint32_t unit;
      return read_hex_escape(unit);
    }
    default:
      return fail_here(Syntax::kInvalidEscape);
  }
}

bool JsonCursor::fail_invalid_type(Wanted wanted) {
  switch (*at_) {
    case 'n':
      ++at_;
      if (!read_ident("ull")) return false;
      return fail_here(invalid_type("null", wanted));
    case 't':
      ++at_;
      if (!read_ident("rue")) return false;
      return fail_here(invalid_type("boolean `true`", wanted));
    case 'f':
      ++at_;
      if (!read_ident("alse")) return false;
      return fail_here(invalid_type("boolean `false`", wanted));
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': {
      JsonNumber number;
      if (!read_number(number)) return false;
      switch (number.kind) {
        case JsonNumber::Kind::kUnsigned: return fail_here(invalid_type(integer_found_text(number.magnitude, false), wanted));
        case JsonNumber::Kind::kNegative: return fail_here(invalid_type(integer_found_text(number.magnitude, true), wanted));
        case JsonNumber::Kind::kFloat: return fail_here(invalid_type(float_found_text(number.value), wanted));
      }
      return false;
    }
    case '"': {
      ++at_;
      std::string text;
      if (!decode_string(text)) return false;
      return fail_here(invalid_type(string_found_text(text), wanted));
    }
    // Nothing of a container is consumed: the position is its opening byte.
    case '[': return fail_here(invalid_type("sequence", wanted));
    case '{': return fail_here(invalid_type("map", wanted));
    default: return fail_at_peek(Syntax::kExpectedValue);
  }
}

// Keeps the open brackets on a stack of its own, so any depth of nesting
// costs one byte of heap per level and no native stack.
bool JsonCursor::skip_value() {
  open_brackets_.clear();
  if (!skip_whitespace()) return fail_at_peek(Syntax::kEofWhileParsingValue);
  // At the first byte of a value: whatever came before it (an opening
  // bracket, a comma, a colon) has taken the whitespace after it.
  for (;;) {
    bool opened = false;
    switch (*at_) {
      case 'n':
        ++at_;
        if (!read_ident("ull")) return false;
        break;
      case 't':
        ++at_;
        if (!read_ident("rue")) return false;
        break;
      case 'f':
        ++at_;
        if (!read_ident("alse")) return false;
        break;
      case '-':
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        if (!scan_number(nullptr)) return false;
        break;
      case '"':
        ++at_;
        if (!skip_string()) return false;
        break;
      case '[':
      case '{':
        open_brackets_.push_back(*at_++);
        opened = true;
        break;
      case ']':
        // Where an array's element is due, a ']' follows a comma: right
        // after the '[' it would have closed the array.
        if (!open_brackets_.empty() && open_brackets_.back() == '[') return fail_at_peek(Syntax::kTrailingComma);
        return fail_at_peek(Syntax::kExpectedValue);
      default:
        return fail_at_peek(Syntax::kExpectedValue);
    }
    if (open_brackets_.empty()) return true;
    // After a value a comma or the closing bracket is due; right after an
    // opening bracket, the closing bracket or the first value.
    bool after_value = !opened;
    char open = open_brackets_.back();
    for (;;) {
      if (!skip_whitespace()) {
        return fail_at_peek(open == '[' ? Syntax::kEofWhileParsingList : Syntax::kEofWhileParsingObject);
      }
      char c = *at_;
      if (c == ',' && after_value) {
        ++at_;
        if (!skip_whitespace()) return fail_at_peek(Syntax::kEofWhileParsingValue);
        break;
      }
      if ((c == ']' && open == '[') || (c == '}' && open == '{')) {
        ++at_;
        open_brackets_.pop_back();
        if (open_brackets_.empty()) return true;
        open = open_brackets_.back();
        after_value = true;
        continue;
      }
      if (after_value) {
        return fail_at_peek(open == '[' ? Syntax::kExpectedListCommaOrEnd : Syntax::kExpectedObjectCommaOrEnd);
      }
      break;
    }
    if (open == '{') {
      if (*at_ != '"') {
        // Likewise a '}' where a member is due follows a comma.
        return fail_at_peek(*at_ == '}' ? Syntax::kTrailingComma : Syntax::kKeyMustBeString);
      }
      ++at_;
      if (!skip_string()) return false;
      if (!skip_whitespace()) return fail_at_peek(Syntax::kEofWhileParsingObject);
      if (*at_ != ':') return fail_at_peek(Syntax::kExpectedColon);
      ++at_;
      if (!skip_whitespace()) return fail_at_peek(Syntax::kEofWhileParsingValue);
    }
  }
}

}  // namespace norvel
