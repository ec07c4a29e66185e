#pragma once

#include <cstddef>
#include <string_view>

namespace norvel {

struct TextPosition {
  std::size_t line;    // 1 + line feeds before the offset
  std::size_t column;  // bytes since the last line feed before the offset
};

TextPosition text_position(std::string_view text, std::size_t offset);

}  // namespace norvel
