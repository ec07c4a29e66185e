#include "engine/path_streets.hpp"

namespace norvel::engine {

namespace {

std::string_view step_name(const EngineGraph& engine, std::uint32_t from, std::uint32_t to) {
  const RoadGraph& graph = engine.graph;
  // Rows hold their edges in ascending edge index, that is document order.
  for (std::uint32_t at = graph.out_begin[from]; at < graph.out_begin[from + 1]; ++at) {
    const SearchEdge& edge = graph.out_edges[at];
    if (edge.to != to) continue;
    std::string_view name = edge_name(engine.names, edge.edge_index);
    if (!name.empty()) return name;
  }
  return {};
}

}  // namespace

std::vector<std::string_view> path_streets(const EngineGraph& engine, std::span<const NodeId> path) {
  std::vector<std::string_view> streets;
  if (engine.names.of_edge.empty() || path.size() < 2) return streets;
  std::uint32_t from = engine.graph.dense_of.find(path[0]);
  for (std::size_t i = 1; i < path.size(); ++i) {
    const std::uint32_t to = engine.graph.dense_of.find(path[i]);
    if (from != IdIndex::kAbsent && to != IdIndex::kAbsent) {
      std::string_view name = step_name(engine, from, to);
      if (!name.empty() && (streets.empty() || streets.back() != name)) streets.push_back(name);
    }
    from = to;
  }
  return streets;
}

std::vector<std::string_view> edge_streets(const EngineGraph& engine, std::span<const std::uint32_t> edges) {
  std::vector<std::string_view> streets;
  if (engine.names.of_edge.empty()) return streets;
  for (std::uint32_t edge : edges) {
    std::string_view name = edge_name(engine.names, edge);
    if (!name.empty() && (streets.empty() || streets.back() != name)) streets.push_back(name);
  }
  return streets;
}

}  // namespace norvel::engine
