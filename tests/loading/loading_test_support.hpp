#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "loading/graph_loader.hpp"

namespace norvel::testing {

// The complete ValueError message of a rejected text, or "accepted".
inline std::string message_of(std::string_view text) {
  std::expected<RoadGraph, DocumentError> graph = load_graph(text);
  return graph ? std::string("accepted") : graph.error().message();
}

// The description part of a rejected text's message, or "accepted".
inline std::string description_of(std::string_view text) {
  std::expected<RoadGraph, DocumentError> graph = load_graph(text);
  return graph ? std::string("accepted") : graph.error().description;
}

// Wraps a value as the only unrecognised member of an empty graph document.
inline std::string as_skipped(std::string_view value) {
  return std::string(R"({"nodes":[],"edges":[],"x":)") + std::string(value) + "}";
}

}  // namespace norvel::testing
