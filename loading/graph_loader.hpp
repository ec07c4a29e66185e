#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "graph/road_graph.hpp"
#include "loading/layer_hours_reader.hpp"
#include "loading/risk_layers_reader.hpp"
#include "loading/street_names.hpp"

namespace norvel {

// Why a graph document was refused: the description and where it happened.
struct DocumentError {
  std::string description;  // e.g. "missing field `nodes`"
  std::size_t line;         // 1-based
  std::size_t column;       // bytes since the last line feed; 0 = start of line
  // "{description} at line {line} column {column}": the ValueError message.
  std::string message() const;
};

// Reads one graph document (UTF-8 JSON text, not copied) and builds its road
// graph: all or nothing.
std::expected<RoadGraph, DocumentError> load_graph(std::string_view text);


// The same, and the street names of the edges into `names` (left empty when
// no edge has one), read in the same pass. Accepts and refuses exactly the
// documents `load_graph` does, with the same messages.
std::expected<RoadGraph, DocumentError> load_graph(std::string_view text, StreetNames& names);

// What the norvel package reads of a document, before its graph is built
// (`build_graph`), so that a caller may free the text between the two: its
// records, the edges' street names and the risk layers of its
// `risk_layers` member.
struct DocumentRecords {
  GraphBuilder records;
  StreetNames names;
  std::vector<NamedRisks> risk_layers;
  // The hours of those layers that have some (`risk_layer_hours`).
  std::vector<NamedHours> layer_hours;
  // Where each `risk_layers` member's value is, read or not: its first
  // byte's offset and the offset past its last, in document order.
  std::vector<std::pair<std::size_t, std::size_t>> risk_layers_members;
};

// Accepts every document `load_graph` accepts whose `risk_layers` members
// hold well-formed layers (see `read_risk_layers`), and whose
// `risk_layer_hours` members give those layers well-formed hours (see
// `read_layer_hours`), and refuses the others with the first error in
// reading order: the graph's, then the layers', then the hours'.
// `names`: whether to read the street names; `layers`: whether to read
// the layers (else they are skipped as the module skips them).
std::expected<DocumentRecords, DocumentError> read_document(std::string_view text, bool names,
                                                            bool layers = true);

}  // namespace norvel
