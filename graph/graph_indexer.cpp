#include "graph/graph_indexer.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "graph/resident_memory.hpp"

namespace norvel {

namespace {

constexpr double kDegreesToRadians = 0.017453292519943295;

// Dense and edge indices are 32-bit; a graph that outgrows them could not fit
// in memory anyway, so running out is treated like memory exhaustion.
[[noreturn]] void index_space_exhausted() {
  std::fputs("norvel_core: graph too large for 32-bit indices\n", stderr);
  std::abort();
}

// How many records ahead the table slot of an id is prefetched: enough
// misses in flight to cover memory latency, few enough to stay in L1.
constexpr std::size_t kAhead = 16;

// The hashes of the ids of the next kAhead records, computed once: when the
// record comes kAhead places ahead, where its slot is prefetched, and read
// back when it is interned.
template <std::size_t kIdsPerRecord>
class HashesAhead {
 public:
  std::uint64_t& at(std::size_t record, std::size_t which) { return ring_[record % kAhead][which]; }

 private:
  std::uint64_t ring_[kAhead][kIdsPerRecord];
};

// Rows of the outgoing edges by a counting sort on the tail, which keeps each
// row in ascending edge index order; the ids go back into the edges. The
// edges before `split` fill each row from its beginning forwards, the others
// from its end backwards, so the two halves can be placed at the same time
// and meet exactly where the row's first half ends. The slots written are
// far apart unless the document lists edges by tail, so each is prefetched
// some edges ahead.
class RowFiller {
 public:
  RowFiller(RoadGraph& graph, std::size_t split) : graph_(graph), split_(split) {
    const std::size_t edge_count = graph.edges.size();
    reserve_resident(graph.out_edges, edge_count);
    graph.out_edges.resize(edge_count);
    const std::vector<std::uint32_t>& begin = graph.out_begin;
    next_forward_.assign(begin.begin(), begin.end() - 1);
    next_backward_.assign(begin.begin() + 1, begin.end());
  }

  void fill_forward() {
    std::vector<Edge>& edges = graph_.edges;
    for (std::size_t i = 0; i < split_; ++i) {
      if (i + kAhead < split_) prefetch_slot(next_forward_[edges[i + kAhead].from]);
      place(i, next_forward_[edges[i].from]++, negative_forward_);
    }
  }

  void fill_backward() {
    std::vector<Edge>& edges = graph_.edges;
    for (std::size_t i = edges.size(); i > split_; --i) {
      if (i - split_ > kAhead) prefetch_slot(next_backward_[edges[i - 1 - kAhead].from] - 1);
      place(i - 1, --next_backward_[edges[i - 1].from], negative_backward_);
    }
  }

  bool has_negative_cost() const { return negative_forward_ || negative_backward_; }

 private:
  void prefetch_slot(std::uint32_t slot) { __builtin_prefetch(&graph_.out_edges[slot], 1); }

  [[gnu::always_inline]] void place(std::size_t i, std::uint32_t slot, bool& negative) {
    Edge& edge = graph_.edges[i];
    const auto from = static_cast<std::uint32_t>(edge.from);
    const auto to = static_cast<std::uint32_t>(edge.to);
    graph_.out_edges[slot] =
        SearchEdge{to, static_cast<std::uint32_t>(i), edge.distance_m, edge.risk_score, edge.familiarity};
    if (edge.distance_m < 0.0 || edge.risk_score < 0.0) negative = true;
    edge.from = graph_.id_of[from];
    edge.to = graph_.id_of[to];
  }

  RoadGraph& graph_;
  const std::size_t split_;
  std::vector<std::uint32_t> next_forward_;   // per row, its next slot from the front
  std::vector<std::uint32_t> next_backward_;  // per row, one past its next slot from the back
  bool negative_forward_ = false;
  bool negative_backward_ = false;
};

}  // namespace

GraphIndexer::GraphIndexer(std::size_t expected_ids) {
  graph_.dense_of.reserve(expected_ids);
  graph_.out_begin.push_back(0);
}

// Gives the id of `id_hash` the next dense index unless it has one; a new
// index gets its (still empty) row count.
[[gnu::always_inline]] inline std::uint32_t GraphIndexer::intern(NodeId id, std::uint64_t id_hash) {
  if (graph_.id_of.size() >= IdIndex::kAbsent) index_space_exhausted();
  auto next = static_cast<std::uint32_t>(graph_.id_of.size());
  std::uint32_t dense = graph_.dense_of.find_or_insert(id, id_hash, next);
  if (dense == next) {
    graph_.id_of.push_back(id);
    graph_.out_begin.push_back(0);
  }
  return dense;
}

// Dense indices go to node ids in document order; the coordinates of a
// repeated id are those of its last record.
void GraphIndexer::index_nodes(std::span<const Node> nodes) {
  reserve_resident(graph_.id_of, nodes.size());
  reserve_resident(graph_.out_begin, nodes.size() + 1);
  reserve_resident(graph_.lat, nodes.size());
  reserve_resident(graph_.lon, nodes.size());
  HashesAhead<1> hashes;
  auto look_ahead = [&](std::size_t i) {
    if (i >= nodes.size()) return;
    std::uint64_t& id_hash = hashes.at(i, 0);
    id_hash = IdIndex::hash(nodes[i].id);
    graph_.dense_of.prefetch(id_hash);
  };
  for (std::size_t i = 0; i < kAhead; ++i) look_ahead(i);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const std::uint64_t id_hash = hashes.at(i, 0);
    look_ahead(i + kAhead);
    const Node& node = nodes[i];
    std::uint32_t dense = intern(node.id, id_hash);
    if (dense == graph_.lat.size()) {
      graph_.lat.push_back(node.lat);
      graph_.lon.push_back(node.lon);
    } else {
      graph_.lat[dense] = node.lat;
      graph_.lon[dense] = node.lon;
    }
  }
  graph_.listed.assign(graph_.id_of.size(), 1);
  // Coordinates are final here: ids that only edges name stay at (0, 0).
  reserve_resident(graph_.cos_lat, graph_.lat.size());
  graph_.cos_lat.resize(graph_.lat.size());
  for (std::size_t i = 0; i < graph_.lat.size(); ++i) graph_.cos_lat[i] = std::cos(graph_.lat[i] * kDegreesToRadians);
}

// Then to the ids that only edge ends name, `from` before `to`, edge by edge,
// counting the edges of each tail on the way. Until `finish` puts the ids
// back, each edge holds the dense indices of its ends in place of the ids:
// per-edge arrays of them would cost as much memory again as they save work.
void GraphIndexer::index_edges(std::span<Edge> edges) {
  edges_indexed_ += edges.size();
  if (edges_indexed_ >= IdIndex::kAbsent) index_space_exhausted();
  HashesAhead<2> hashes;
  auto look_ahead = [&](std::size_t i) {
    if (i >= edges.size()) return;
    std::uint64_t& from_hash = hashes.at(i, 0);
    std::uint64_t& to_hash = hashes.at(i, 1);
    from_hash = IdIndex::hash(edges[i].from);
    to_hash = IdIndex::hash(edges[i].to);
    graph_.dense_of.prefetch(from_hash);
    graph_.dense_of.prefetch(to_hash);
  };
  for (std::size_t i = 0; i < kAhead; ++i) look_ahead(i);
  for (std::size_t i = 0; i < edges.size(); ++i) {
    const std::uint64_t from_hash = hashes.at(i, 0);
    const std::uint64_t to_hash = hashes.at(i, 1);
    look_ahead(i + kAhead);
    Edge& edge = edges[i];
    if (!have_last_from_ || edge.from != last_from_) {
      last_from_ = edge.from;
      last_from_dense_ = intern(edge.from, from_hash);
      have_last_from_ = true;
    }
    const std::uint32_t to_dense = intern(edge.to, to_hash);
    ++graph_.out_begin[last_from_dense_ + 1];
    edge.from = last_from_dense_;
    edge.to = to_dense;
  }
}

RoadGraph GraphIndexer::finish(std::vector<Node>&& nodes, std::vector<Edge>&& edges, FinishThreads threads) {
  RoadGraph graph = std::move(graph_);
  graph.nodes = std::move(nodes);
  graph.edges = std::move(edges);
  const std::size_t dense_count = graph.id_of.size();
  graph.listed.resize(dense_count, 0);
  graph.lat.resize(dense_count, 0.0);
  graph.lon.resize(dense_count, 0.0);
  graph.cos_lat.resize(dense_count, 1.0);  // cos(0) is exactly 1
  std::vector<std::uint32_t>& begin = graph.out_begin;
  for (std::size_t i = 0; i < dense_count; ++i) begin[i + 1] += begin[i];

  const std::size_t edge_count = graph.edges.size();
  if (threads == FinishThreads::kOne) {
    RowFiller rows(graph, edge_count);
    rows.fill_forward();
    graph.has_negative_cost = rows.has_negative_cost();
    return graph;
  }
  RowFiller rows(graph, edge_count / 2);
  std::thread helper;
  try {
    helper = std::thread([&rows] { rows.fill_backward(); });
  } catch (const std::system_error&) {
    rows.fill_backward();
  }
  rows.fill_forward();
  if (helper.joinable()) helper.join();
  graph.has_negative_cost = rows.has_negative_cost();
  return graph;
}

}  // namespace norvel
