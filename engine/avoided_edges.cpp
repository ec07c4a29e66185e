#include "engine/avoided_edges.hpp"

#include <mutex>
#include <new>
#include <utility>
#include <string>

namespace norvel::engine {

namespace {

const std::vector<std::uint32_t>& row_of_edge(const EngineGraph& engine) {
  EdgeRows& rows = *engine.edge_rows;
  std::call_once(rows.made, [&] {
    const GraphArray<SearchEdge>& edges = engine.graph.out_edges;
    rows.row_of.resize(edges.size());
    for (std::uint32_t slot = 0; slot < edges.size(); ++slot) rows.row_of[edges[slot].edge_index] = slot;
  });
  return rows.row_of;
}

}  // namespace

RequestAvoided::~RequestAvoided() {
  if (!rows_) return;
  try {
    std::vector<std::uint64_t> bits = std::move(*rows_).release();
    const std::lock_guard<std::mutex> held(shared_->spares_lock);
    shared_->spare_bits.push_back(std::move(bits));
  } catch (const std::bad_alloc&) {
    // Not kept: the next request makes its own.
  }
}

RequestAvoided avoided_rows(const EngineGraph& engine, const std::optional<EdgeIndices>& indices) {
  if (!indices) return {};
  const std::size_t edge_count = engine.graph.out_edges.size();
  const std::uint32_t* index = indices->data();
  const std::size_t count = indices->shape(0);
  for (std::size_t i = 0; i < count; ++i) {
    if (index[i] >= edge_count) {
      throw nb::value_error(("avoided edge index " + std::to_string(index[i]) + " is past the last edge (" +
                             std::to_string(edge_count) + " edges)")
                                .c_str());
    }
  }
  EdgeRows& shared = *engine.edge_rows;
  std::vector<std::uint64_t> spare;
  {
    const std::lock_guard<std::mutex> held(shared.spares_lock);
    if (!shared.spare_bits.empty()) {
      spare = std::move(shared.spare_bits.back());
      shared.spare_bits.pop_back();
    }
  }
  AvoidedRows rows(edge_count, std::move(spare));
  if (count > 0) {
    const std::vector<std::uint32_t>& row_of = row_of_edge(engine);
    for (std::size_t i = 0; i < count; ++i) rows.avoid(row_of[index[i]]);
  }
  return RequestAvoided(shared, std::move(rows));
}

}  // namespace norvel::engine
