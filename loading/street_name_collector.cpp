#include "loading/street_name_collector.hpp"

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "loading/string_text.hpp"

namespace norvel {

namespace {

// The table's offsets are 32-bit. Only a document of gigabytes of distinct
// names could outgrow them, so running out is treated like memory
// exhaustion, as with the graph's indices.
[[noreturn]] void name_space_exhausted() {
  std::fputs("norvel_core: street names too large for 32-bit offsets\n", stderr);
  std::abort();
}

std::uint32_t intern(StreetNameCollector& collector, std::string_view text) {
  if (auto found = collector.numbers.find(text); found != collector.numbers.end()) return *found;
  StreetNames& names = collector.names;
  if (names.starts.empty()) names.starts.push_back(0);
  // 1 + the number goes into `of_edge` too, so the count stays below the
  // largest value as well.
  constexpr std::size_t kLimit = std::numeric_limits<std::uint32_t>::max();
  if (text.size() > kLimit - names.text.size() || names.starts.size() >= kLimit) name_space_exhausted();
  names.text.append(text.data(), text.size());
  names.starts.push_back(static_cast<std::uint32_t>(names.text.size()));
  const auto number = static_cast<std::uint32_t>(names.starts.size() - 2);
  collector.numbers.insert(number);
  return number;
}

template <class Table>
void trim(Table& table) {
  if (table.capacity() - table.size() > table.size() / 4) table.shrink_to_fit();
}

}  // namespace

void collect_street_name(StreetNameCollector& collector, std::size_t edge_index, std::string_view body) {
  GraphArray<std::uint32_t>& of_edge = collector.names.of_edge;
  // An empty body is the empty string: no name, as a value of another kind.
  if (body.empty()) {
    if (!of_edge.empty()) of_edge.push_back(0);
    return;
  }
  const std::uint32_t number = intern(collector, string_text(body, collector.decoded));
  // The first name: the edges before it carry none.
  if (of_edge.empty()) of_edge.assign(edge_index, 0);
  of_edge.push_back(number + 1);
}

void finish_street_names(StreetNameCollector& collector) {
  trim(collector.names.of_edge);
  trim(collector.names.text);
  trim(collector.names.starts);
}

}  // namespace norvel
