#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "engine/engine_graph.hpp"
#include "graph/node_id.hpp"

namespace norvel::engine {

// The street names along a node path, a name once for each stretch that
// follows it: a step takes the name of the first named edge between its two
// nodes in document order, and steps without a name are passed over, so a
// street interrupted by an unnamed crossing counts once. Empty when the
// graph has no names.
std::vector<std::string_view> path_streets(const EngineGraph& engine, std::span<const NodeId> path);

// The same for the edges a route took (document indices, in travel order):
// each edge's own name, so that of parallel edges the one walked names it.
std::vector<std::string_view> edge_streets(const EngineGraph& engine, std::span<const std::uint32_t> edges);

}  // namespace norvel::engine
