#include "loading/error_texts.hpp"

#include <charconv>
#include <cstdio>

namespace norvel {

std::string_view describe(Syntax syntax) {
  switch (syntax) {
    case Syntax::kEofWhileParsingValue: return "EOF while parsing a value";
    case Syntax::kEofWhileParsingList: return "EOF while parsing a list";
    case Syntax::kEofWhileParsingObject: return "EOF while parsing an object";
    case Syntax::kEofWhileParsingString: return "EOF while parsing a string";
    case Syntax::kExpectedValue: return "expected value";
    case Syntax::kExpectedIdent: return "expected ident";
    case Syntax::kExpectedColon: return "expected `:`";
    case Syntax::kExpectedListCommaOrEnd: return "expected `,` or `]`";
    case Syntax::kExpectedObjectCommaOrEnd: return "expected `,` or `}`";
    case Syntax::kKeyMustBeString: return "key must be a string";
    case Syntax::kTrailingComma: return "trailing comma";
    case Syntax::kTrailingCharacters: return "trailing characters";
    case Syntax::kInvalidNumber: return "invalid number";
    case Syntax::kNumberOutOfRange: return "number out of range";
    case Syntax::kControlCharacter: return "control character (\\u0000-\\u001F) found while parsing a string";
    case Syntax::kInvalidEscape: return "invalid escape";
    case Syntax::kLoneLeadingSurrogate: return "lone leading surrogate in hex escape";
    case Syntax::kUnexpectedEndOfHexEscape: return "unexpected end of hex escape";
    case Syntax::kInvalidCodePoint: return "invalid unicode code point";
  }
  return "invalid unicode code point";
}

std::string_view describe(Wanted wanted) {
  switch (wanted) {
    case Wanted::kGraphJson: return "struct GraphJson";
    case Wanted::kSequence: return "a sequence";
    case Wanted::kNodeJson: return "struct NodeJson";
    case Wanted::kEdgeJson: return "struct EdgeJson";
    case Wanted::kU64: return "u64";
    case Wanted::kF64: return "f64";
  }
  return "f64";
}

std::string float_text(double value) {
  char buffer[64];
  std::to_chars_result written = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string_view shortest(buffer, static_cast<std::size_t>(written.ptr - buffer));
  std::size_t exponent_at = shortest.find('e');
  if (exponent_at == std::string_view::npos) {
    std::string text(shortest);
    if (shortest.find('.') == std::string_view::npos) text += ".0";
    return text;
  }
  // to_chars pads the exponent to two digits ("1e-07"); messages do not.
  std::string text(shortest.substr(0, exponent_at + 2));
  std::string_view digits = shortest.substr(exponent_at + 2);
  while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
  text += digits;
  return text;
}

namespace {

void append_hex_escape(std::string& out, std::uint32_t code_point) {
  char buffer[16];
  int length = std::snprintf(buffer, sizeof buffer, "\\u{%x}", code_point);
  out.append(buffer, static_cast<std::size_t>(length));
}

// Length of the well-formed UTF-8 sequence at the start of `text`, 0 if none.
std::size_t utf8_sequence_length(std::string_view text, std::uint32_t& code_point) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(0);
  std::size_t length;
  std::uint32_t minimum;
  if (lead < 0x80) {
    code_point = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, code_point = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, code_point = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, code_point = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code_point = (code_point << 6) | (byte(i) & 0x3Fu);
  }
  if (code_point < minimum || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string string_found_text(std::string_view decoded) {
  std::string out = "string \"";
  out.reserve(decoded.size() + 10);
  while (!decoded.empty()) {
    std::uint32_t code_point = 0;
    std::size_t length = utf8_sequence_length(decoded, code_point);
    if (length == 0) {
      // Only a caller outside Python can hand over bytes that are not UTF-8;
      // the message itself stays valid UTF-8.
      out += "\xEF\xBF\xBD";
      decoded.remove_prefix(1);
      continue;
    }
    switch (code_point) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\0': out += "\\0"; break;
      default:
        if (code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F)) {
          append_hex_escape(out, code_point);
        } else {
          out.append(decoded.substr(0, length));
        }
    }
    decoded.remove_prefix(length);
  }
  out += '"';
  return out;
}

std::string integer_found_text(std::uint64_t magnitude, bool negative) {
  std::string out = negative ? "integer `-" : "integer `";
  out += std::to_string(magnitude);
  out += '`';
  return out;
}

std::string float_found_text(double value) { return "floating point `" + float_text(value) + "`"; }

std::string invalid_type(std::string_view found, Wanted wanted) {
  std::string out = "invalid type: ";
  out += found;
  out += ", expected ";
  out += describe(wanted);
  return out;
}

std::string invalid_u64_value(std::uint64_t magnitude) {
  return "invalid value: " + integer_found_text(magnitude, true) + ", expected u64";
}

std::string missing_field(std::string_view name) {
  std::string out = "missing field `";
  out += name;
  out += '`';
  return out;
}

std::string duplicate_field(std::string_view name) {
  std::string out = "duplicate field `";
  out += name;
  out += '`';
  return out;
}

std::string invalid_length(std::size_t found, std::string_view record, std::size_t wanted) {
  std::string out = "invalid length " + std::to_string(found) + ", expected struct ";
  out += record;
  out += " with " + std::to_string(wanted) + " elements";
  return out;
}

}  // namespace norvel
