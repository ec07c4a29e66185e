#include "text_mutation.hpp"

#include <iterator>
#include <string_view>

namespace norvel::testing {
namespace {

// Bytes that tend to matter to a JSON reader, and a few that never should.
constexpr std::string_view kInterestingBytes("{}[],:\"\\/-+.0123456789eEtfnulr \t\r\nxu\x00\x01\x1F\x7F\xC3\xA9\xFF", 41);

constexpr std::string_view kInterestingTexts[] = {
    "1e999999", "-1e-999999", "18446744073709551616", "-9223372036854775809", "123456789012345678901234567890",
    "\"\\uD800\"", "\"\\uDC00\\uD800\"", "\"\\u00\"", "\\", "null", "true", "false", "{\"nodes\":", "[[[",
    "\"nodes\":[]", "\"familiarity\":null", "0.", "-", "1e", std::string_view("\0", 1), "\xEF\xBB\xBF"};

}  // namespace

std::string mutate(std::string text, std::mt19937_64& random) {
  auto position = [&] { return static_cast<std::size_t>(random() % (text.size() + 1)); };
  for (std::size_t edits = 1 + random() % 3; edits > 0; --edits) {
    switch (random() % 7) {
      case 0:  // flip bits of one byte
        if (!text.empty()) text[random() % text.size()] ^= static_cast<char>(1u << (random() % 8));
        break;
      case 1:  // replace a byte
        if (!text.empty()) text[random() % text.size()] = kInterestingBytes[random() % kInterestingBytes.size()];
        break;
      case 2:  // insert a byte
        text.insert(position(), 1, kInterestingBytes[random() % kInterestingBytes.size()]);
        break;
      case 3: {  // delete a range
        std::size_t at = position();
        text.erase(at, 1 + random() % 8);
        break;
      }
      case 4:  // insert a troublesome text
        text.insert(position(), kInterestingTexts[random() % std::size(kInterestingTexts)]);
        break;
      case 5: {  // deep nesting, closed or not
        std::size_t depth = 1 + random() % 100000;
        std::string nesting(depth, random() % 2 ? '[' : '{');
        if (random() % 2) nesting += std::string(depth, nesting[0] == '[' ? ']' : '}');
        text.insert(position(), nesting);
        break;
      }
      default:  // duplicate a slice, which repeats members and elements
        if (!text.empty()) {
          std::size_t at = random() % text.size();
          std::size_t length = 1 + random() % 40;
          text.insert(position(), text.substr(at, length));
        }
    }
  }
  return text;
}

}  // namespace norvel::testing
