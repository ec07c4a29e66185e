#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

#include "loading/street_names.hpp"

namespace norvel {

// Looks a name up by its text among the names already in the table, which
// the set holds by number only: every name is stored once, in the table,
// and the set's entries stay valid however often the table's text moves.
struct NameByText {
  using is_transparent = void;
  const StreetNames* names;

  std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  std::size_t operator()(std::uint32_t number) const { return (*this)(name_text(*names, number)); }
  bool operator()(std::uint32_t a, std::uint32_t b) const { return a == b; }
  bool operator()(std::string_view text, std::uint32_t number) const { return text == name_text(*names, number); }
  bool operator()(std::uint32_t number, std::string_view text) const { return text == name_text(*names, number); }
};

// The street names of a document's edges as they are read, into `names`.
struct StreetNameCollector {
  explicit StreetNameCollector(StreetNames& table)
      : names(table), numbers(0, NameByText{&table}, NameByText{&table}) {}

  StreetNames& names;
  std::unordered_set<std::uint32_t, NameByText, NameByText> numbers;
  std::string decoded;  // the text of a name written with escapes
};

// Edge `edge_index` (edges come in document order, each once) carries the
// JSON string whose body is `body`; an empty body means no name. Until the
// first name comes, nothing is stored at all.
void collect_street_name(StreetNameCollector& collector, std::size_t edge_index, std::string_view body);

// After the last edge: gives back the room the tables grew into.
void finish_street_names(StreetNameCollector& collector);

}  // namespace norvel
