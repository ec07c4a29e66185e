#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace norvel {

// Malformed JSON text, each with its fixed description.
enum class Syntax : std::uint8_t {
  kEofWhileParsingValue,
  kEofWhileParsingList,
  kEofWhileParsingObject,
  kEofWhileParsingString,
  kExpectedValue,
  kExpectedIdent,
  kExpectedColon,
  kExpectedListCommaOrEnd,
  kExpectedObjectCommaOrEnd,
  kKeyMustBeString,
  kTrailingComma,
  kTrailingCharacters,
  kInvalidNumber,
  kNumberOutOfRange,
  kControlCharacter,
  kInvalidEscape,
  kLoneLeadingSurrogate,
  kUnexpectedEndOfHexEscape,
  kInvalidCodePoint,
};

std::string_view describe(Syntax syntax);

// What a position of the document requires, as a data description names it.
enum class Wanted : std::uint8_t { kGraphJson, kSequence, kNodeJson, kEdgeJson, kU64, kF64 };

std::string_view describe(Wanted wanted);

// Shortest text that reads back as `value`; integral values keep ".0",
// exponents are written with their sign and without leading zeros.
std::string float_text(double value);

// `string "..."` with quotes, backslashes and control characters escaped.
std::string string_found_text(std::string_view decoded);

std::string integer_found_text(std::uint64_t magnitude, bool negative);
std::string float_found_text(double value);

std::string invalid_type(std::string_view found, Wanted wanted);
std::string invalid_u64_value(std::uint64_t magnitude);  // the integer is -magnitude
std::string missing_field(std::string_view name);
std::string duplicate_field(std::string_view name);
std::string invalid_length(std::size_t found, std::string_view record, std::size_t wanted);

}  // namespace norvel
