#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "loading/error_texts.hpp"
#include "loading/short_number.hpp"

namespace norvel {

// Appends the UTF-8 encoding of a Unicode scalar value.
void append_utf8(std::string& out, std::uint32_t code_point);

// The first error met: a byte offset into the text and its description.
struct ReadFailure {
  std::size_t offset = 0;
  std::string description;
};

// One forward pass over the UTF-8 text, which it never copies. Every reading
// operation returns false once it has recorded a failure; the caller stops.
class JsonCursor {
 public:
  explicit JsonCursor(std::string_view text)
      : begin_(text.data()), at_(text.data()), end_(text.data() + text.size()) {}

  // Skips whitespace; false when the text ends there.
  bool skip_whitespace() {
    while (at_ != end_) {
      unsigned char c = static_cast<unsigned char>(*at_);
      if (c > ' ' || (c != ' ' && c != '\n' && c != '\r' && c != '\t')) return true;
      ++at_;
    }
    return false;
  }
  char peek() const { return *at_; }
  const char* position() const { return at_; }
  std::size_t offset_from(const char* earlier) const { return static_cast<std::size_t>(at_ - earlier); }
  std::size_t bytes_left() const { return static_cast<std::size_t>(end_ - at_); }
  void advance() { ++at_; }
  const char* end() const { return end_; }
  // For a reader that went ahead on its own and comes back, or gives up.
  void move_to(const char* at) { at_ = at; }

  // Failure just after the byte at hand (the end when there is none): the
  // byte that broke the syntax.
  bool fail_at_peek(Syntax syntax);
  // Failure just after what has been consumed.
  bool fail_here(Syntax syntax);
  bool fail_here(std::string description);
  const ReadFailure& failure() const { return failure_; }

  // At a '-' or digit: reads a number, range-checked and converted.
  bool read_number(JsonNumber& number) {
    if (end_ - at_ >= kShortNumberReach && read_short_number(at_, number)) return true;
    return scan_number(&number);
  }
  // At an opening quote: the name, in place unless it holds escapes, in which
  // case it is decoded into a buffer reused by the next name.
  bool read_name(std::string_view& name);
  // At a byte that cannot be the value wanted: reads what is there and fails
  // with its "invalid type" (or syntax) description.
  bool fail_invalid_type(Wanted wanted);
  // At the byte after the first letter of `true`, `false` or `null`.
  bool read_ident(std::string_view rest);
  // Skips one well-formed value of any depth without recursion.
  bool skip_value();

 private:
  bool scan_number(JsonNumber* number);
  bool convert_float(const char* start, bool negative, std::uint64_t significand, bool significand_overflow,
                     std::int64_t decimal_exponent, double& value);
  bool decode_string(std::string& out);
  bool decode_escape(std::string& out);
  bool copy_utf8_sequence(std::string& out);
  bool skip_string();
  bool skip_escape();
  bool read_hex_escape(std::uint32_t& unit);

  const char* begin_;
  const char* at_;
  const char* end_;
  ReadFailure failure_;
  std::string name_buffer_;
  std::vector<char> open_brackets_;
};

}  // namespace norvel
