#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "graph/road_graph.hpp"
#include "loading/json_cursor.hpp"
#include "loading/risk_layers_reader.hpp"
#include "loading/street_names.hpp"

namespace norvel {

// Reads a whole graph document, nodes and edges going into `builder` in
// document order; on failure the builder holds whatever had been read.
// The failure is the first error in reading order. Given `names`, the
// edges' street names go there (see StreetNames) in the same pass; they
// change nothing else, neither what is read nor any failure.
bool read_graph_document(std::string_view text, GraphBuilder& builder, ReadFailure& failure,
                         StreetNames* names = nullptr);

// `read_graph_document`, noting the `risk_layers` members on the way (and,
// as `layers.read` asks, reading their layers: see RiskLayersMembers).
bool read_graph_document(std::string_view text, GraphBuilder& builder, ReadFailure& failure, StreetNames* names,
                         RiskLayersMembers& layers);

// The same without the quick record reader: every record is read the careful
// way. Gives the same records and the same failure as `read_graph_document`,
// only slower; tests compare the two.
bool read_graph_document_carefully(std::string_view text, GraphBuilder& builder, ReadFailure& failure,
                                   StreetNames* names = nullptr);

}  // namespace norvel
