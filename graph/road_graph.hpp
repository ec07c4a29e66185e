#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "graph/id_index.hpp"
#include "graph/node_id.hpp"

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
// in `edges` in what would otherwise be padding.
struct SearchEdge {
  std::uint32_t to;
  std::uint32_t edge_index;
  double distance_m;
  double risk_score;
  double familiarity;
};

// An incoming edge as the backward searches of a request read it: the tail
// as a dense index next to the two costs that are bounded from below.
struct IncomingEdge {
  std::uint32_t from;
  double distance_m;
  double risk_score;
};

// The immutable directed road graph. Every distinct id that occurs in the
// node list or at an end of an edge gets a dense index; per dense index the
// graph keeps whether the id is listed as a node, its coordinates (the last
// node record with that id wins, (0, 0) when unlisted) and its outgoing edges
// in ascending edge index order (compressed sparse rows).
struct RoadGraph {
  std::vector<Node> nodes;  // document order, repeated ids kept
  std::vector<Edge> edges;  // document order; position = edge index

  IdIndex dense_of;                         // NodeId -> dense index
  std::vector<NodeId> id_of;                // dense index -> NodeId
  std::vector<std::uint8_t> listed;         // id occurs in `nodes`
  std::vector<double> lat;                  // degrees
  std::vector<double> lon;                  // degrees
  std::vector<double> cos_lat;              // cos(lat * pi/180), for the heuristic
  std::vector<std::uint32_t> out_begin;     // size dense + 1
  std::vector<SearchEdge> out_edges;        // rows in ascending edge index order
  std::vector<std::uint32_t> in_begin;      // size dense + 1
  std::vector<IncomingEdge> in_edges;       // rows by head, tails ascending

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
class OutgoingEdges {
 public:
  class iterator {
   public:
    iterator(const Edge* edges, const SearchEdge* at) : edges_(edges), at_(at) {}
    const Edge& operator*() const { return edges_[at_->edge_index]; }
    iterator& operator++() { ++at_; return *this; }
    bool operator==(const iterator& other) const { return at_ == other.at_; }

   private:
    const Edge* edges_;
    const SearchEdge* at_;
  };

  OutgoingEdges(const Edge* edges, std::span<const SearchEdge> row) : edges_(edges), row_(row) {}
  iterator begin() const { return {edges_, row_.data()}; }
  iterator end() const { return {edges_, row_.data() + row_.size()}; }
  std::size_t size() const { return row_.size(); }
  bool empty() const { return row_.empty(); }
  std::uint32_t edge_index(std::size_t i) const { return row_[i].edge_index; }

 private:
  const Edge* edges_;
  std::span<const SearchEdge> row_;
};

OutgoingEdges outgoing_edges(const RoadGraph& graph, NodeId id);
inline std::uint64_t node_count(const RoadGraph& graph) { return graph.nodes.size(); }
inline std::uint64_t edge_count(const RoadGraph& graph) { return graph.edges.size(); }

// Dense index of a listed node id, or IdIndex::kAbsent when the id is not in
// the node list (an id that only occurs at an edge end counts as absent).
std::uint32_t listed_node(const RoadGraph& graph, NodeId id);

}  // namespace norvel
