#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "graph/graph_array.hpp"
#include "graph/id_index.hpp"
#include "graph/node_id.hpp"
#include "graph/plane_metric.hpp"

namespace norvel {

struct Node {
  NodeId id;
  double lat;
  double lon;
};

struct Edge {
  NodeId from;
  NodeId to;
  double distance_m;
  double risk_score;
  double familiarity;  // 0.0 when the document gives none
};

// An outgoing edge as the search reads it: the head as a dense index next to
// the three costs, stored contiguously per tail node, with the edge's index
// (its position in the document) in what would otherwise be padding. The
// graph keeps no list of edges in document order: these rows hold all an
// edge is, and a list would store every cost once more.
struct SearchEdge {
  std::uint32_t to;
  std::uint32_t edge_index;
  double distance_m;
  double risk_score;
  double familiarity;
};

// An incoming edge as the backward searches of a request read it: the tail
// as a dense index next to the two costs that are bounded from below. These
// two are stored a second time, here, because the backward searches walk
// the rows contiguously too: read through the outgoing rows instead, each
// cost would be a dependent load on a cache line of its own.
struct IncomingEdge {
  std::uint32_t from;
  // The edge's entry in the outgoing rows, where a risk layer keeps its risk
  // (graph/edge_risk.hpp); it fills what would otherwise be padding.
  std::uint32_t out_row;
  double distance_m;
  double risk_score;
};

// The immutable directed road graph. Every distinct id that occurs in the
// node list or at an end of an edge gets a dense index; per dense index the
// graph keeps whether the id is listed as a node, its coordinates (the last
// node record with that id wins, (0, 0) when unlisted) and its outgoing edges
// in ascending edge index order (compressed sparse rows). An edge in document
// order is derived from its row (`edge_list`). The arrays are the graph's own
// when it is built, or views of a mapped snapshot file (`GraphArray`).
struct RoadGraph {
  GraphArray<Node> nodes;  // document order, repeated ids kept

  IdIndex dense_of;                         // NodeId -> dense index
  GraphArray<NodeId> id_of;                // dense index -> NodeId
  GraphArray<std::uint8_t> listed;         // id occurs in `nodes`
  GraphArray<double> lat;                  // degrees
  GraphArray<double> lon;                  // degrees
  GraphArray<double> cos_lat;              // cos(lat * pi/180), for the heuristic
  GraphArray<std::uint32_t> out_begin;     // size dense + 1
  GraphArray<SearchEdge> out_edges;        // rows in ascending edge index order
  GraphArray<std::uint32_t> in_begin;      // size dense + 1
  GraphArray<IncomingEdge> in_edges;       // rows by head, tails ascending
  GraphArray<PlanePoint> plane;            // dense index -> projected coordinates
  double plane_cos_reference = 1.0;         // the projection's one cosine

  // Whether some edge has a negative distance or risk: only then can a path
  // get cheaper by going round a cycle.
  bool has_negative_cost = false;
  // Whether every distance and risk is finite and non-negative and even the
  // sum of all of them stays far from overflow: only then do costs still to
  // go have lower bounds that floating-point sums along a path respect.
  bool costs_bounded_below = false;
  // Whether some edge has a familiarity other than zero: only then can a
  // label come before another in the search order with higher costs at the
  // same node.
  bool has_familiarity = false;
  // Whether every sum of the distances (the risks) of distinct edges, in
  // any order, is exact: the costs are non-negative whole multiples of one
  // power of two 2^e and their total is at most 2^53 2^e, so every partial
  // sum is such a multiple that a double holds exactly.
  bool distance_sums_exact = false;
  bool risk_sums_exact = false;
  // Whether two edges leave the same node for the same node with different
  // distances or risks: only then can two paths through the same nodes
  // have different totals.
  bool parallel_edges_differ = false;
  // The least distance, and the least risk, per unit of `plane_norm`
  // between an edge's ends, over every edge whose ends differ on the plane
  // (up to a few roundings); 0 when the costs are not bounded below. So no
  // path between two nodes costs less than this times the norm between them,
  // which lets a backward search head for the node it is asked about
  // (`RemainingCost`, which shrinks it by 2^-20 for the roundings).
  double distance_per_plane_unit = 0.0;
  double risk_per_plane_unit = 0.0;
};

// Collects nodes and edges in document order; `build_graph` turns them into
// the indexed graph in one pass.
struct GraphBuilder {
  std::vector<Node> nodes;
  std::vector<Edge> edges;
};

inline void add_node(GraphBuilder& builder, const Node& node) { builder.nodes.push_back(node); }
inline void add_edge(GraphBuilder& builder, const Edge& edge) { builder.edges.push_back(edge); }
RoadGraph build_graph(GraphBuilder&& builder);

// A view over the edges leaving one node, in ascending edge index order.
// Each edge is put together from its row when it is read, ids and all.
class OutgoingEdges {
 public:
  class iterator {
   public:
    iterator(const NodeId* id_of, NodeId from, const SearchEdge* at) : id_of_(id_of), from_(from), at_(at) {}
    Edge operator*() const {
      return Edge{from_, id_of_[at_->to], at_->distance_m, at_->risk_score, at_->familiarity};
    }
    iterator& operator++() { ++at_; return *this; }
    bool operator==(const iterator& other) const { return at_ == other.at_; }

   private:
    const NodeId* id_of_;
    NodeId from_;
    const SearchEdge* at_;
  };

  OutgoingEdges(const NodeId* id_of, NodeId from, std::span<const SearchEdge> row)
      : id_of_(id_of), from_(from), row_(row) {}
  iterator begin() const { return {id_of_, from_, row_.data()}; }
  iterator end() const { return {id_of_, from_, row_.data() + row_.size()}; }
  std::size_t size() const { return row_.size(); }
  bool empty() const { return row_.empty(); }
  std::uint32_t edge_index(std::size_t i) const { return row_[i].edge_index; }

 private:
  const NodeId* id_of_;
  NodeId from_;
  std::span<const SearchEdge> row_;
};

OutgoingEdges outgoing_edges(const RoadGraph& graph, NodeId id);
inline std::uint64_t node_count(const RoadGraph& graph) { return graph.nodes.size(); }
inline std::uint64_t edge_count(const RoadGraph& graph) { return graph.out_edges.size(); }

// Every edge in document order (position = edge index), as loaded.
std::vector<Edge> edge_list(const RoadGraph& graph);

// Dense index of a listed node id, or IdIndex::kAbsent when the id is not in
// the node list (an id that only occurs at an edge end counts as absent).
std::uint32_t listed_node(const RoadGraph& graph, NodeId id);

}  // namespace norvel
