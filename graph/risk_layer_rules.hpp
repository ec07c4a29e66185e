#pragma once

// What a risk layer must be, wherever one comes from (a document, or values
// added to a loaded graph), and how a layer that is not is described.

#include <cmath>
#include <cstddef>
#include <string>
#include <string_view>

namespace norvel {

// The name every graph's own `risk_score` goes by.
inline constexpr std::string_view kDocumentRiskName = "default";

// Why `name` cannot name a layer, as the words that follow the name in a
// message; empty when it can: a plain identifier (ASCII letters, digits and
// _, not starting with a digit: it reads the same in a URL, a shell and a
// column) other than the document's own.
std::string_view risk_layer_name_fault(std::string_view name);

// The same as a whole sentence; empty when the name can be a layer's.
std::string risk_layer_name_problem(std::string_view name);

inline bool acceptable_risk(double value) { return value >= 0.0 && std::isfinite(value); }

// Why the layer's risk of edge `edge` cannot be `value` (not acceptable).
std::string risk_value_problem(std::string_view name, std::size_t edge, double value);

// Why a layer of `count` values cannot be one of a graph of `edges` edges.
std::string risk_count_problem(std::string_view name, std::size_t count, std::size_t edges);

// Why a second layer cannot be called `name`.
std::string risk_name_taken(std::string_view name);

// The hours of the day a layer holds for, each in [0, 24): from `start`
// included to `end` excluded, past midnight where `end` is the lesser; the
// whole day where they are equal (a layer for every hour, which a request
// by time finds unless one added later holds too).
struct LayerHours {
  double start = 0.0;
  double end = 0.0;
};

inline bool acceptable_hour(double value) { return value >= 0.0 && value < 24.0; }

// Why the layer `name` cannot hold from `start` to `end`; empty when it can.
std::string layer_hours_problem(std::string_view name, double start, double end);

}  // namespace norvel
