#include "graph/road_graph.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <tuple>
#include <type_traits>

#include "graph/cost_facts.hpp"
#include "graph/heuristic.hpp"
#include "graph/resident_memory.hpp"

namespace norvel {

namespace {

// Dense and edge indices are 32-bit; a graph that outgrows them could not fit
// in memory anyway, so running out is treated like memory exhaustion.
[[noreturn]] void index_space_exhausted() {
  std::fputs("norvel_core: graph too large for 32-bit indices\n", stderr);
  std::abort();
}

// How many records ahead the table slot of an id is prefetched: enough
// misses in flight to cover memory latency, few enough to stay in L1.
constexpr std::size_t kAhead = 16;

// Walks records in order with the table slots of their ids prefetched kAhead
// records ahead. The hashes of a record's ids are computed once, when it is
// kAhead places ahead, and handed back when its turn comes.
template <class Record, class IdsOf>
class HashesAhead {
 public:
  using Hashes = std::array<std::uint64_t, std::tuple_size_v<std::invoke_result_t<IdsOf, const Record&>>>;

  HashesAhead(std::span<const Record> records, const IdIndex& table, IdsOf ids_of)
      : records_(records), table_(table), ids_of_(ids_of) {
    for (std::size_t i = 0; i < kAhead; ++i) look_ahead(i);
  }

  // The hashes of record i's ids, records being taken in order.
  Hashes take(std::size_t i) {
    const Hashes hashes = ring_[i % kAhead];
    look_ahead(i + kAhead);
    return hashes;
  }

 private:
  void look_ahead(std::size_t i) {
    if (i >= records_.size()) return;
    Hashes& hashes = ring_[i % kAhead];
    std::size_t which = 0;
    for (NodeId id : ids_of_(records_[i])) {
      hashes[which] = IdIndex::hash(id);
      table_.prefetch(hashes[which++]);
    }
  }

  std::span<const Record> records_;
  const IdIndex& table_;
  IdsOf ids_of_;
  Hashes ring_[kAhead];
};

// Gives the id of `id_hash` the next dense index unless it has one; a new
// index gets its (still empty) row count.
[[gnu::always_inline]] inline std::uint32_t intern(RoadGraph& graph, NodeId id, std::uint64_t id_hash) {
  if (graph.id_of.size() >= IdIndex::kAbsent) index_space_exhausted();
  auto next = static_cast<std::uint32_t>(graph.id_of.size());
  std::uint32_t dense = graph.dense_of.find_or_insert(id, id_hash, next);
  if (dense == next) {
    graph.id_of.push_back(id);
    graph.out_begin.push_back(0);
  }
  return dense;
}

// Dense indices go to node ids in document order; the coordinates of a
// repeated id are those of its last record.
void index_nodes(RoadGraph& graph) {
  const GraphArray<Node>& nodes = graph.nodes;
  reserve_resident(graph.id_of, nodes.size());
  reserve_resident(graph.out_begin, nodes.size() + 1);
  graph.out_begin.push_back(0);
  reserve_resident(graph.lat, nodes.size());
  reserve_resident(graph.lon, nodes.size());
  HashesAhead hashes(std::span<const Node>(nodes), graph.dense_of,
                     [](const Node& node) { return std::array<NodeId, 1>{node.id}; });
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const auto [id_hash] = hashes.take(i);
    const Node& node = nodes[i];
    std::uint32_t dense = intern(graph, node.id, id_hash);
    if (dense == graph.lat.size()) {
      graph.lat.push_back(node.lat);
      graph.lon.push_back(node.lon);
    } else {
      graph.lat[dense] = node.lat;
      graph.lon[dense] = node.lon;
    }
  }
  graph.listed.assign(graph.id_of.size(), 1);
}

// Then to the ids that only edge ends name, `from` before `to`, edge by edge,
// counting the edges of each tail on the way. From then on each edge record
// holds the dense indices of its ends in place of the ids: per-edge arrays of
// them would cost as much memory again as they save work. Edges of one tail
// usually come together, so the last tail is remembered.
void index_edge_ends(RoadGraph& graph, std::vector<Edge>& edges) {
  HashesAhead hashes(std::span<const Edge>(edges), graph.dense_of,
                     [](const Edge& edge) { return std::array<NodeId, 2>{edge.from, edge.to}; });
  bool have_last = false;
  NodeId last_from = 0;
  std::uint32_t last_from_dense = 0;
  for (std::size_t i = 0; i < edges.size(); ++i) {
    const auto [from_hash, to_hash] = hashes.take(i);
    Edge& edge = edges[i];
    if (!have_last || edge.from != last_from) {
      last_from = edge.from;
      last_from_dense = intern(graph, edge.from, from_hash);
      have_last = true;
    }
    const std::uint32_t to_dense = intern(graph, edge.to, to_hash);
    ++graph.out_begin[last_from_dense + 1];
    edge.from = last_from_dense;
    edge.to = to_dense;
  }
  const std::size_t dense_count = graph.id_of.size();
  graph.listed.resize(dense_count, 0);
  graph.lat.resize(dense_count, 0.0);
  graph.lon.resize(dense_count, 0.0);
}

// Rows of the outgoing edges by a counting sort on the tail, which keeps each
// row in ascending edge index order. The slots written are far apart unless
// the document lists edges by tail, so each is prefetched some edges ahead.
void fill_rows(RoadGraph& graph, const std::vector<Edge>& edges) {
  const std::size_t dense_count = graph.id_of.size();
  GraphArray<std::uint32_t>& begin = graph.out_begin;
  for (std::size_t i = 0; i < dense_count; ++i) begin[i + 1] += begin[i];
  reserve_resident(graph.out_edges, edges.size());
  graph.out_edges.resize(edges.size());
  // begin[from] serves as the next free slot of each row, and ends up as the
  // row's end, that is the next row's beginning: shifted back afterwards.
  for (std::size_t i = 0; i < edges.size(); ++i) {
    if (i + kAhead < edges.size()) {
      const std::uint32_t ahead = begin[edges[i + kAhead].from];
      __builtin_prefetch(&graph.out_edges[ahead], 1);
    }
    const Edge& edge = edges[i];
    const auto from = static_cast<std::uint32_t>(edge.from);
    const auto to = static_cast<std::uint32_t>(edge.to);
    const std::uint32_t slot = begin[from]++;
    graph.out_edges[slot] =
        SearchEdge{to, static_cast<std::uint32_t>(i), edge.distance_m, edge.risk_score, edge.familiarity};
  }
  for (std::size_t i = dense_count; i > 0; --i) begin[i] = begin[i - 1];
  begin[0] = 0;
}

// Rows of the incoming edges by a counting sort on the head, walking the
// tails in dense order.
void fill_incoming_rows(RoadGraph& graph) {
  const std::size_t dense_count = graph.id_of.size();
  GraphArray<std::uint32_t>& begin = graph.in_begin;
  reserve_resident(begin, dense_count + 1);
  begin.assign(dense_count + 1, 0);
  for (const SearchEdge& edge : graph.out_edges) {
    ++begin[edge.to + 1];
    graph.has_familiarity = graph.has_familiarity || !(edge.familiarity == 0.0);
  }
  for (std::size_t i = 0; i < dense_count; ++i) begin[i + 1] += begin[i];
  reserve_resident(graph.in_edges, graph.out_edges.size());
  graph.in_edges.resize(graph.out_edges.size());
  for (std::uint32_t from = 0; from < dense_count; ++from) {
    for (std::uint32_t slot = graph.out_begin[from]; slot < graph.out_begin[from + 1]; ++slot) {
      const SearchEdge& edge = graph.out_edges[slot];
      graph.in_edges[begin[edge.to]++] = IncomingEdge{from, slot, edge.distance_m, edge.risk_score};
    }
  }
  for (std::size_t i = dense_count; i > 0; --i) begin[i] = begin[i - 1];
  begin[0] = 0;
}

// The plane's coordinates. The cosine is that of the middle latitude, so
// that the units come close to metres across a city.
void fill_plane(RoadGraph& graph) {
  const std::size_t dense_count = graph.id_of.size();
  double south = 90.0;
  double north = -90.0;
  for (std::size_t i = 0; i < dense_count; ++i) {
    if (!graph.listed[i]) continue;
    south = std::min(south, graph.lat[i]);
    north = std::max(north, graph.lat[i]);
  }
  graph.plane_cos_reference = south <= north ? cos_latitude((south + north) / 2.0) : 1.0;
  reserve_resident(graph.plane, dense_count);
  graph.plane.resize(dense_count);
  for (std::size_t i = 0; i < dense_count; ++i) {
    graph.plane[i] = plane_point(graph.lat[i], graph.lon[i], graph.plane_cos_reference);
  }
}

// The facts of the document's own risks, found as a risk layer's are.
void fill_cost_facts(RoadGraph& graph) {
  const CostFacts facts = cost_facts(graph, [&](std::size_t slot) { return graph.out_edges[slot].risk_score; });
  graph.has_negative_cost = facts.has_negative_cost;
  graph.costs_bounded_below = facts.costs_bounded_below;
  graph.distance_sums_exact = facts.distance_sums_exact;
  graph.risk_sums_exact = facts.risk_sums_exact;
  graph.parallel_edges_differ = facts.parallel_edges_differ;
  graph.distance_per_plane_unit = facts.distance_per_plane_unit;
  graph.risk_per_plane_unit = facts.risk_per_plane_unit;
}

}  // namespace

RoadGraph build_graph(GraphBuilder&& builder) {
  RoadGraph graph;
  graph.nodes = std::move(builder.nodes);
  std::vector<Edge> edges = std::move(builder.edges);
  if (edges.size() >= IdIndex::kAbsent) index_space_exhausted();

  graph.dense_of.reserve(graph.nodes.size() + edges.size() / 8);
  index_nodes(graph);
  index_edge_ends(graph, edges);
  reserve_resident(graph.cos_lat, graph.lat.size());
  graph.cos_lat.resize(graph.lat.size());
  for (std::size_t i = 0; i < graph.lat.size(); ++i) graph.cos_lat[i] = cos_latitude(graph.lat[i]);
  fill_rows(graph, edges);
  // The records go before the incoming rows are made: those fit in the room
  // the records leave, and loading peaks no higher than records plus rows.
  edges = std::vector<Edge>();
  fill_incoming_rows(graph);
  fill_plane(graph);
  fill_cost_facts(graph);
  return graph;
}

OutgoingEdges outgoing_edges(const RoadGraph& graph, NodeId id) {
  std::uint32_t dense = graph.dense_of.find(id);
  if (dense == IdIndex::kAbsent) return OutgoingEdges(graph.id_of.data(), id, {});
  std::span<const SearchEdge> row(graph.out_edges.data() + graph.out_begin[dense],
                                  graph.out_begin[dense + 1] - graph.out_begin[dense]);
  return OutgoingEdges(graph.id_of.data(), id, row);
}

std::vector<Edge> edge_list(const RoadGraph& graph) {
  std::vector<Edge> edges(graph.out_edges.size());
  for (std::size_t from = 0; from + 1 < graph.out_begin.size(); ++from) {
    for (std::uint32_t slot = graph.out_begin[from]; slot < graph.out_begin[from + 1]; ++slot) {
      const SearchEdge& edge = graph.out_edges[slot];
      edges[edge.edge_index] =
          Edge{graph.id_of[from], graph.id_of[edge.to], edge.distance_m, edge.risk_score, edge.familiarity};
    }
  }
  return edges;
}

std::uint32_t listed_node(const RoadGraph& graph, NodeId id) {
  std::uint32_t dense = graph.dense_of.find(id);
  if (dense == IdIndex::kAbsent || !graph.listed[dense]) return IdIndex::kAbsent;
  return dense;
}

}  // namespace norvel
