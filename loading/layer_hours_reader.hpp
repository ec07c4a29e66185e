#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "graph/risk_layer_rules.hpp"
#include "loading/json_cursor.hpp"
#include "loading/risk_layers_reader.hpp"

namespace norvel {

// The top-level document member that gives risk layers their hours: an
// object from a layer's name to [start, end]. The norvel package writes and
// reads it; norvel_core skips it as it skips every member it does not know.
inline constexpr std::string_view kLayerHoursMember = "risk_layer_hours";

// One layer's hours, as a document gives them.
struct NamedHours {
  std::string name;
  LayerHours hours;
};

// The hours of a document's `risk_layer_hours` members (`values`: each
// member's value text within `text`, well-formed JSON as the document
// reader skipped it), in document order, each checked: an object whose
// every member names one of `layers`, once, and is an array of two hours
// in [0, 24). The first fault is the failure, its offset into `text`.
std::expected<std::vector<NamedHours>, ReadFailure> read_layer_hours(std::string_view text,
                                                                     std::span<const std::string_view> values,
                                                                     const std::vector<NamedRisks>& layers);

}  // namespace norvel
