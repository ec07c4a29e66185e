#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "loading/graph_document_reader.hpp"
#include "loading/json_cursor.hpp"

namespace norvel {

// One risk layer of a document: its name and one risk per edge, in document
// order.
struct NamedRisks {
  std::string name;
  std::vector<double> by_edge;
};

// The layers of a document's `risk_layers` members (`members`, as the
// document reader noted them in `text`), each checked: an object whose every
// member is a layer, an array of one number per edge (`edge_count`), each
// finite and not negative, under a plain name given once. The failure's
// offset is into `text`.
std::expected<std::vector<NamedRisks>, ReadFailure> read_risk_layers(std::string_view text,
                                                                     const RiskLayersMembers& members,
                                                                     std::size_t edge_count);

}  // namespace norvel
