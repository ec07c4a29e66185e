#pragma once

#include <algorithm>
#include <iterator>
#include <string_view>

namespace norvel::testing {

// Whether a description is a syntax error that the form of the text alone
// decides: not a value's meaning (its range, its escapes' code points, its
// bytes' encoding), nor what may follow the document or end a record. Such
// an error reads the same wherever it is, skipped values included.
inline bool is_form_only_syntax(std::string_view description) {
  static constexpr std::string_view kFormOnly[] = {
      "EOF while parsing a value", "EOF while parsing a list", "EOF while parsing an object",
      "EOF while parsing a string", "expected value", "expected ident", "expected `:`", "expected `,` or `]`",
      "expected `,` or `}`", "key must be a string", "trailing comma", "invalid number",
      "control character (\\u0000-\\u001F) found while parsing a string", "invalid escape"};
  return std::find(std::begin(kFormOnly), std::end(kFormOnly), description) != std::end(kFormOnly);
}

}  // namespace norvel::testing
