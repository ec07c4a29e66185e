#include "rejection_checks.hpp"

#include <algorithm>
#include <array>
#include <string>

namespace norvel::testing {
namespace {

bool one_of(std::string_view text, std::initializer_list<std::string_view> choices) {
  return std::find(choices.begin(), choices.end(), text) != choices.end();
}

// Removes `prefix` from the front of `text` if it is there.
bool take(std::string_view& text, std::string_view prefix) {
  if (!text.starts_with(prefix)) return false;
  text.remove_prefix(prefix.size());
  return true;
}

bool take_digits(std::string_view& text, bool nonzero_first = false) {
  std::size_t count = 0;
  while (count < text.size() && text[count] >= '0' && text[count] <= '9') ++count;
  if (count == 0 || (nonzero_first && text[0] == '0')) return false;
  text.remove_prefix(count);
  return true;
}

// "1.0", "-0.0", "1e+22", "1.5e-7": a point with digits, or an exponent.
bool is_float_text(std::string_view text) {
  take(text, "-");
  if (!take_digits(text)) return false;
  bool fraction = take(text, ".") && take_digits(text);
  if (text.empty()) return fraction;
  if (!take(text, "e+") && !take(text, "e-")) return false;
  return take_digits(text, true) && text.empty();
}

// `string "..."`: a quote or backslash inside is always escaped.
bool is_string_text(std::string_view text) {
  if (!take(text, "string \"") || !text.ends_with('"')) return false;
  text.remove_suffix(1);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') return false;
    if (text[i] == '\\' && ++i == text.size()) return false;
  }
  return true;
}

bool is_found_text(std::string_view found) {
  if (one_of(found, {"boolean `true`", "boolean `false`", "null", "sequence", "map"})) return true;
  if (!found.ends_with('`')) return is_string_text(found);
  std::string_view inner = found.substr(0, found.size() - 1);
  if (take(inner, "integer `")) {
    take(inner, "-");
    return take_digits(inner) && inner.empty();
  }
  return take(inner, "floating point `") && is_float_text(inner);
}

bool is_known_description(std::string_view description) {
  if (one_of(description,
             {"EOF while parsing a value", "EOF while parsing a list", "EOF while parsing an object",
              "EOF while parsing a string", "expected value", "expected ident", "expected `:`",
              "expected `,` or `]`", "expected `,` or `}`", "key must be a string", "trailing comma",
              "trailing characters", "invalid number", "number out of range",
              "control character (\\u0000-\\u001F) found while parsing a string", "invalid escape",
              "lone leading surrogate in hex escape", "unexpected end of hex escape",
              "invalid unicode code point"})) {
    return true;
  }
  std::string_view rest = description;
  if (take(rest, "missing field `")) {
    return one_of(rest, {"nodes`", "edges`", "id`", "lat`", "lon`", "from`", "to`", "distance_m`", "risk_score`"});
  }
  if (take(rest, "duplicate field `")) {
    return one_of(rest, {"nodes`", "edges`", "id`", "lat`", "lon`", "from`", "to`", "distance_m`",
                         "risk_score`", "familiarity`"});
  }
  if (take(rest, "invalid length ")) {
    return take_digits(rest) && one_of(rest, {", expected struct GraphJson with 2 elements",
                                              ", expected struct NodeJson with 3 elements",
                                              ", expected struct EdgeJson with 5 elements"});
  }
  if (take(rest, "invalid value: integer `-")) {
    return take_digits(rest, true) && rest == "`, expected u64";
  }
  if (take(rest, "invalid type: ")) {
    std::size_t at = rest.rfind(", expected ");
    if (at == std::string_view::npos) return false;
    return is_found_text(rest.substr(0, at)) &&
           one_of(rest.substr(at + 11),
                  {"struct GraphJson", "a sequence", "struct NodeJson", "struct EdgeJson", "u64", "f64"});
  }
  return false;
}

}  // namespace

::testing::AssertionResult is_well_formed_rejection(std::string_view text, const DocumentError& error) {
  if (!is_known_description(error.description)) {
    return ::testing::AssertionFailure() << "unknown description: " << error.description;
  }
  std::string expected_tail = " at line " + std::to_string(error.line) + " column " + std::to_string(error.column);
  if (error.message() != error.description + expected_tail) {
    return ::testing::AssertionFailure() << "malformed message: " << error.message();
  }
  // Find the start of the named line and check the column stays within it.
  std::size_t line_start = 0;
  for (std::size_t line = 1; line < error.line; ++line) {
    std::size_t line_feed = text.find('\n', line_start);
    if (line_feed == std::string_view::npos) {
      return ::testing::AssertionFailure() << "line beyond the text: " << error.message();
    }
    line_start = line_feed + 1;
  }
  std::size_t line_end = std::min(text.find('\n', line_start), text.size());
  // A position just after a line feed is column 0 of the next line, so the
  // column never reaches past the line's own bytes.
  if (line_start + error.column > line_end) {
    return ::testing::AssertionFailure() << "column beyond the line: " << error.message();
  }
  return ::testing::AssertionSuccess();
}

}  // namespace norvel::testing
