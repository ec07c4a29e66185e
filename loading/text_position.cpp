#include "loading/text_position.hpp"

#include <algorithm>

namespace norvel {

TextPosition text_position(std::string_view text, std::size_t offset) {
  std::string_view before = text.substr(0, std::min(offset, text.size()));
  std::size_t line_feeds = static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  std::size_t last_line_feed = before.rfind('\n');
  std::size_t column = last_line_feed == std::string_view::npos ? before.size() : before.size() - last_line_feed - 1;
  return {line_feeds + 1, column};
}

}  // namespace norvel
