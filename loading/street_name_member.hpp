#pragma once

#include <string_view>

#include "loading/json_cursor.hpp"

namespace norvel {

// An edge object's member that gives the edge's street name. The graph does
// not know it: to the readers it is a skipped member like any other, whose
// value they keep an eye on only when the names are asked for.
inline bool is_street_name(std::string_view member_name) { return member_name == "name"; }

// At the value of a `name` member, whitespace before it included: skips it
// exactly as any other skipped value (same checks, same failures), and sets
// `body` to the bytes between the quotes of a string, or empties it for a
// value of another kind. The bytes stay in the text and are decoded later.
inline bool skip_street_name(JsonCursor& cursor, std::string_view& body) {
  cursor.skip_whitespace();
  const char* start = cursor.position();
  if (!cursor.skip_value()) return false;
  body = *start == '"' ? std::string_view(start + 1, cursor.position() - 1) : std::string_view{};
  return true;
}

}  // namespace norvel
