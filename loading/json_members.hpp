#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "loading/json_cursor.hpp"

namespace norvel {

// Reads the object at the cursor member by member, in text the document
// reader has already skipped as well-formed JSON: only its shape is left to
// check. For each member, `problem(name)` says what is wrong with its name
// (an empty text: nothing), which fails at the name; else `value(name)`
// reads its value from the cursor, placed there, and fails by returning
// false. A value that is no object fails with `not_object`.
template <class Problem, class Value>
bool read_named_members(JsonCursor& cursor, std::string_view not_object, Problem&& problem, Value&& value) {
  if (cursor.peek() != '{') return cursor.fail_here(std::string(not_object));
  cursor.advance();
  cursor.skip_whitespace();
  if (cursor.peek() == '}') return true;
  for (;;) {
    cursor.skip_whitespace();
    const char* name_at = cursor.position();
    std::string_view decoded;
    if (!cursor.read_name(decoded)) return false;
    // Kept: the view may be of the cursor's buffer for names it decodes.
    const std::string name(decoded);
    if (std::string found = problem(std::string_view(name)); !found.empty()) {
      cursor.move_to(name_at);
      return cursor.fail_here(std::move(found));
    }
    cursor.skip_whitespace();
    cursor.advance();  // ':'
    cursor.skip_whitespace();
    if (!value(name)) return false;
    cursor.skip_whitespace();
    if (cursor.peek() == '}') return true;
    cursor.advance();  // ','
  }
}

}  // namespace norvel
