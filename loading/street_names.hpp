#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "graph/graph_array.hpp"

namespace norvel {

// The street names of a document's edges: every distinct name once, back to
// back in one string, and per edge (in document order) which one it carries.
// A document without `name` members leaves all three empty, so a graph
// without names costs nothing here. Like the graph's arrays, these are owned
// or views of a mapped snapshot.
struct StreetNames {
  // Per edge index: 0 for no name, otherwise 1 + the name's number.
  GraphArray<std::uint32_t> of_edge;
  // Name k is text[starts[k], starts[k + 1]), UTF-8.
  GraphArray<char> text;
  GraphArray<std::uint32_t> starts;
};

inline std::size_t name_count(const StreetNames& names) {
  return names.starts.empty() ? 0 : names.starts.size() - 1;
}

inline std::string_view name_text(const StreetNames& names, std::uint32_t number) {
  return std::string_view(names.text.data(), names.text.size()).substr(names.starts[number], names.starts[number + 1] - names.starts[number]);
}

// The name an edge carries, or an empty view for none.
inline std::string_view edge_name(const StreetNames& names, std::uint32_t edge_index) {
  if (names.of_edge.empty()) return {};
  const std::uint32_t number = names.of_edge[edge_index];
  return number == 0 ? std::string_view{} : name_text(names, number - 1);
}

}  // namespace norvel
