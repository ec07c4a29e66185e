#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace norvel {

enum class GraphMember : unsigned char { kNodes, kEdges, kOther };
enum class NodeMember : unsigned char { kId, kLat, kLon, kOther };
enum class EdgeMember : unsigned char { kFrom, kTo, kDistance, kRisk, kFamiliarity, kOther };

inline bool name_is(std::string_view name, const char* expected, std::size_t length) {
  return name.size() == length && std::memcmp(name.data(), expected, length) == 0;
}

// Classification of a decoded member name.
inline GraphMember graph_member(std::string_view name) {
  if (name_is(name, "nodes", 5)) return GraphMember::kNodes;
  if (name_is(name, "edges", 5)) return GraphMember::kEdges;
  return GraphMember::kOther;
}

inline NodeMember node_member(std::string_view name) {
  switch (name.size()) {
    case 2: return name_is(name, "id", 2) ? NodeMember::kId : NodeMember::kOther;
    case 3:
      if (name_is(name, "lat", 3)) return NodeMember::kLat;
      if (name_is(name, "lon", 3)) return NodeMember::kLon;
      return NodeMember::kOther;
    default: return NodeMember::kOther;
  }
}

inline EdgeMember edge_member(std::string_view name) {
  switch (name.size()) {
    case 2: return name_is(name, "to", 2) ? EdgeMember::kTo : EdgeMember::kOther;
    case 4: return name_is(name, "from", 4) ? EdgeMember::kFrom : EdgeMember::kOther;
    case 10:
      if (name_is(name, "distance_m", 10)) return EdgeMember::kDistance;
      if (name_is(name, "risk_score", 10)) return EdgeMember::kRisk;
      return EdgeMember::kOther;
    case 11: return name_is(name, "familiarity", 11) ? EdgeMember::kFamiliarity : EdgeMember::kOther;
    default: return EdgeMember::kOther;
  }
}

// Telling a recognised name written without escapes straight from the text:
// the bytes after the opening quote are compared, closing quote included, a
// word at a time. `at` is just after the opening quote and at least 16
// readable bytes follow it. Returns the length up to and including the
// closing quote, or 0 when the bytes are not one of the names, in which case
// the name is read and classified the careful way.
namespace plain_name {

// A name with its closing quote, as the one or two little-endian words it
// loads as, masked to its length.
struct QuotedName {
  std::uint64_t head = 0, head_mask = 0, tail = 0, tail_mask = 0;
  std::size_t length = 0;
};

consteval QuotedName quoted(std::string_view name_and_quote) {
  QuotedName result;
  result.length = name_and_quote.size();
  for (std::size_t i = 0; i < name_and_quote.size(); ++i) {
    const auto byte = static_cast<std::uint64_t>(static_cast<unsigned char>(name_and_quote[i]));
    if (i < 8) {
      result.head |= byte << (8 * i);
      result.head_mask |= std::uint64_t{0xFF} << (8 * i);
    } else {
      result.tail |= byte << (8 * (i - 8));
      result.tail_mask |= std::uint64_t{0xFF} << (8 * (i - 8));
    }
  }
  return result;
}

inline std::uint64_t load(const char* at) {
  std::uint64_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// Returns the length matched, or 0.
[[gnu::always_inline]] inline std::size_t matches(const char* at, const QuotedName& name) {
  if ((load(at) & name.head_mask) != name.head) return 0;
  if (name.length > 8 && (load(at + 8) & name.tail_mask) != name.tail) return 0;
  return name.length;
}

[[gnu::always_inline]] inline std::size_t node_member(const char* at, NodeMember& member) {
  if constexpr (std::endian::native != std::endian::little) return 0;
  static constexpr QuotedName kId = quoted("id\""), kLat = quoted("lat\""), kLon = quoted("lon\"");
  switch (*at) {
    case 'i': member = NodeMember::kId; return matches(at, kId);
    case 'l':
      if (std::size_t length = matches(at, kLat)) {
        member = NodeMember::kLat;
        return length;
      }
      member = NodeMember::kLon;
      return matches(at, kLon);
    default: return 0;
  }
}

[[gnu::always_inline]] inline std::size_t edge_member(const char* at, EdgeMember& member) {
  if constexpr (std::endian::native != std::endian::little) return 0;
  static constexpr QuotedName kFrom = quoted("from\""), kTo = quoted("to\""), kDistance = quoted("distance_m\""),
                              kRisk = quoted("risk_score\""), kFamiliarity = quoted("familiarity\"");
  switch (*at) {
    case 'f':
      if (std::size_t length = matches(at, kFrom)) {
        member = EdgeMember::kFrom;
        return length;
      }
      member = EdgeMember::kFamiliarity;
      return matches(at, kFamiliarity);
    case 't': member = EdgeMember::kTo; return matches(at, kTo);
    case 'd': member = EdgeMember::kDistance; return matches(at, kDistance);
    case 'r': member = EdgeMember::kRisk; return matches(at, kRisk);
    default: return 0;
  }
}

}  // namespace plain_name

}  // namespace norvel
