#pragma once

// Compares the library's answer to a request with the reference model's, to
// the bit: the same error with the same message, or the same records.

#include <bit>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "graph/safe_route_request.hpp"
#include "reference/reference_search.hpp"

namespace norvel {

inline bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

inline const char* kind_name(RouteErrorKind kind) {
  switch (kind) {
    case RouteErrorKind::source_not_found: return "source_not_found";
    case RouteErrorKind::target_not_found: return "target_not_found";
    case RouteErrorKind::source_isolated: return "source_isolated";
    case RouteErrorKind::no_route: return "no_route";
    case RouteErrorKind::interrupted: return "interrupted";
  }
  return "?";
}

inline const char* kind_name(reference::ErrorKind kind) {
  switch (kind) {
    case reference::ErrorKind::source_not_found: return "source_not_found";
    case reference::ErrorKind::target_not_found: return "target_not_found";
    case reference::ErrorKind::source_isolated: return "source_isolated";
    case reference::ErrorKind::no_route: return "no_route";
  }
  return "?";
}

using FastResult = std::expected<std::vector<RouteRecord>, RouteError>;
using ModelResult = std::expected<std::vector<reference::RouteRecord>, reference::RouteError>;

// The first difference, or "" when the two answers are identical.
inline std::string result_difference(const FastResult& fast, const ModelResult& model) {
  if (fast.has_value() != model.has_value()) return "one succeeded, the other failed";
  if (!fast) {
    if (std::string(kind_name(fast.error().kind)) != kind_name(model.error().kind)) return "error kinds differ";
    if (fast.error().message != model.error().message) return "error messages differ";
    return "";
  }
  if (fast->size() != model->size()) return "record counts differ";
  for (std::size_t i = 0; i < fast->size(); ++i) {
    const RouteRecord& f = (*fast)[i];
    const reference::RouteRecord& m = (*model)[i];
    const std::string at = "record " + std::to_string(i) + ": ";
    if (f.path != m.path) return at + "paths differ";
    if (std::string(f.route_type) != m.route_type) return at + "route types differ";
    if (!same_bits(f.total_distance_m, m.total_distance_m)) return at + "total_distance_m bits differ";
    if (!same_bits(f.total_risk, m.total_risk)) return at + "total_risk bits differ";
    if (!same_bits(f.total_familiarity, m.total_familiarity)) return at + "total_familiarity bits differ";
    if (!same_bits(f.estimated_time_min, m.estimated_time_min)) return at + "estimated_time_min bits differ";
    if (f.node_count != m.node_count) return at + "node counts differ";
    if (!same_bits(f.comfort_score, m.comfort_score)) return at + "comfort_score bits differ";
  }
  return "";
}

}  // namespace norvel
