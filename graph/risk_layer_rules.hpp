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

}  // namespace norvel
