#pragma once

// The parts a catchment search is built from: the rows it walks, the nodes
// it touches, single-cost searches from the place, which sums are exact, and
// the caps on the totals of the routes it looks for.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "graph/edge_risk.hpp"
#include "graph/road_graph.hpp"
#include "graph/search_places.hpp"
#include "graph/stop_poll.hpp"

namespace norvel::catchment {

inline constexpr std::uint32_t kNone = UINT32_MAX;
inline constexpr double kInf = __builtin_inf();

// The two costs, as indices.
enum Cost : int { kDistance = 0, kRisk = 1 };
// The single-cost searches, as indices of what they keep per node: the
// least distance and the least risk between the place and the node, and the
// least risk between the node and any candidate.
enum Search : int { kFromPlaceDistance = 0, kFromPlaceRisk = 1, kNearCandidates = 2 };
// The least distance between the node and any candidate, which only a search
// of walks within the minutes asks, and such a search never runs the one of
// least risk from the place: it keeps its sums there, sparing the node's
// first cache line a field.
inline constexpr int kNearCandidatesDistance = kFromPlaceRisk;

// The edges a search from the place follows out of a node. Walks to the
// place are searched backwards, over each node's incoming edges; walks from
// it forwards, over the outgoing ones. `slot` is the edge's row entry.
//
// The rows keep the avoided bits and the layer's risks (each null: none,
// the document's) in themselves, one load from the search each, rather than
// reaching them through the EdgeRisk at every edge.
struct RowsOfRisk {
  RowsOfRisk(const RoadGraph& graph_, const EdgeRisk& risk)
      : graph(graph_),
        avoided_words(risk.avoided() == nullptr ? nullptr : risk.avoided()->words()),
        by_row(risk.layer_risks()) {}
  bool takes_row(std::uint32_t row) const {
    return avoided_words == nullptr || !AvoidedRows::avoided_in(avoided_words, row);
  }

  const RoadGraph& graph;
  const std::uint64_t* avoided_words;
  const double* by_row;
};

struct IncomingRows : RowsOfRisk {
  using RowsOfRisk::RowsOfRisk;
  std::uint32_t begin(std::uint32_t dense) const { return graph.in_begin[dense]; }
  std::uint32_t end(std::uint32_t dense) const { return graph.in_begin[dense + 1]; }
  std::uint32_t next(std::uint32_t slot) const { return graph.in_edges[slot].from; }
  bool takes(std::uint32_t slot) const { return takes_row(graph.in_edges[slot].out_row); }
  double cost(std::uint32_t slot, int which) const {
    const IncomingEdge& edge = graph.in_edges[slot];
    return which == kDistance ? edge.distance_m : by_row == nullptr ? edge.risk_score : by_row[edge.out_row];
  }
};

struct OutgoingRows : RowsOfRisk {
  using RowsOfRisk::RowsOfRisk;
  std::uint32_t begin(std::uint32_t dense) const { return graph.out_begin[dense]; }
  std::uint32_t end(std::uint32_t dense) const { return graph.out_begin[dense + 1]; }
  std::uint32_t next(std::uint32_t slot) const { return graph.out_edges[slot].to; }
  bool takes(std::uint32_t slot) const { return takes_row(slot); }
  double cost(std::uint32_t slot, int which) const {
    const SearchEdge& edge = graph.out_edges[slot];
    return which == kDistance ? edge.distance_m : by_row == nullptr ? edge.risk_score : by_row[slot];
  }
};

// What the search keeps per node it touches, found through a hash of the
// dense index: a catchment costs what it touches, not the graph's size.
// What the label search reads of a node fills its first cache line, the
// line it starts on: one line per node it looks at.
struct alignas(64) NodeState {  // the hot part: 64 bytes
  std::uint32_t dense;
  // The labels kept here, in the order they were kept (their distance never
  // falls), linked through Label::next; `cursor` is the last of them that
  // may dominate the labels arriving now (see `Margins::eligible`).
  std::uint32_t first = kNone;
  std::uint32_t last = kNone;
  std::uint32_t cursor = kNone;
  std::uint32_t pushed_place = kNone;  // see `pushed_distance`
  bool settled[3] = {false, false, false};  // by `Search`
  bool candidate = false;
  // The last kept label's distance and the least risk kept, read without
  // touching the labels themselves.
  double last_distance = kInf;
  double least_risk = kInf;
  // The last label put on the open list here (see `expand`).
  double pushed_distance = kInf;
  double pushed_risk = kInf;
  // The least sum of each single-cost search (`Search`), in its order of
  // summing, once settled.
  double near_least = kInf;
  double from_place_least[2] = {kInf, kInf};  // cold: read before the label search
  double& least(int search) { return search == kNearCandidates ? near_least : from_place_least[search]; }
  double least(int search) const { return search == kNearCandidates ? near_least : from_place_least[search]; }
};

static_assert(offsetof(NodeState, from_place_least) == 64, "the label search's part of a node in one line");

class LocalNodes {
 public:
  // `graph_nodes`: how many dense indices the graph has.
  explicit LocalNodes(std::size_t graph_nodes) : graph_nodes_(graph_nodes) {}

  std::uint32_t of(std::uint32_t dense) {
    if (!by_dense_.empty() && by_dense_[dense] != kNone) [[likely]] return by_dense_[dense];
    return add(dense);
  }
  // References stay valid only until the next new node.
  NodeState& operator[](std::uint32_t local) { return states_[local]; }
  const NodeState& operator[](std::uint32_t local) const { return states_[local]; }
  std::size_t size() const { return states_.size(); }

 private:
  // `of` for a node not yet in the array: maybe new, maybe in the hash.
  [[gnu::noinline]] std::uint32_t add(std::uint32_t dense) {
    const auto next = static_cast<std::uint32_t>(states_.size());
    const std::uint32_t local = by_dense_.empty() ? index_.find_or_insert(dense, next) : (by_dense_[dense] = next);
    if (local == next) {
      states_.push_back(NodeState{.dense = dense});
      // Once a search has touched a thirty-second of the graph, an array over
      // every dense index costs at most 32 entries a node it touched, and
      // spares the hash's probes on every edge it follows from then on.
      if (by_dense_.empty() && states_.size() * 32 >= graph_nodes_) {
        by_dense_.assign(graph_nodes_, kNone);
        for (std::uint32_t at = 0; at < states_.size(); ++at) by_dense_[states_[at].dense] = at;
      }
    }
    return local;
  }

  std::size_t graph_nodes_;
  PlaceIndex index_;
  std::vector<std::uint32_t> by_dense_;  // local by dense index, once large
  std::vector<NodeState> states_;
};

// Dijkstra's search of one cost from some nodes over the rows, settling one
// node at a time. Its sums are rounded as the label search rounds them
// (the edge's cost added to the sum so far), and rounding is monotone and
// never makes a sum of non-negative costs fall, so each settled value is
// the least such sum over all paths (Dijkstra's argument holds as it is),
// and no node left unsettled has a sum below the next key.
template <class Rows>
class LeastCost {
 public:
  LeastCost(const Rows& rows, LocalNodes& nodes, int cost, int search, std::span<const std::uint32_t> starts,
            StopCheck& stop)
      : rows_(rows), nodes_(nodes), cost_(cost), which_(search), stop_(stop) {
    for (std::uint32_t start : starts) {
      nodes_[start].least(which_) = 0.0;
      heap_.push_back(Entry{0.0, start});
    }
  }

  // A lower bound of the least sum of `local`, settling nodes until it is
  // settled or the next key exceeds `enough`.
  double lower_bound(std::uint32_t local, double enough) {
    while (!nodes_[local].settled[which_]) {
      const double key = next_key();
      if (!(key <= enough) || settle_next() == kNone) return key;
    }
    return nodes_[local].least(which_);
  }

  // The key of the next node to settle; infinite once none is left.
  double next_key() {
    drop_stale();
    return heap_.empty() ? kInf : heap_.front().key;
  }

  // Settles the next node; kNone when none is left or the stop check says
  // stop.
  std::uint32_t settle_next() {
    drop_stale();
    if (heap_.empty() || stop_.tick()) return kNone;
    std::pop_heap(heap_.begin(), heap_.end(), later);
    const Entry top = heap_.back();
    heap_.pop_back();
    nodes_[top.local].settled[which_] = true;
    order_.push_back(top.local);
    const std::uint32_t dense = nodes_[top.local].dense;
    for (std::uint32_t slot = rows_.begin(dense); slot < rows_.end(dense); ++slot) {
      if (!rows_.takes(slot)) continue;
      const std::uint32_t next = nodes_.of(rows_.next(slot));
      NodeState& state = nodes_[next];
      if (state.settled[which_]) continue;
      const double sum = top.key + rows_.cost(slot, cost_);
      if (sum < state.least(which_)) {
        state.least(which_) = sum;
        heap_.push_back(Entry{sum, next});
        std::push_heap(heap_.begin(), heap_.end(), later);
      }
    }
    return top.local;
  }

  // The settled nodes in the order they were settled (least sums ascending).
  const std::vector<std::uint32_t>& order() const { return order_; }

 private:
  struct Entry {
    double key;
    std::uint32_t local;
  };
  static bool later(const Entry& a, const Entry& b) { return a.key > b.key; }

  void drop_stale() {
    while (!heap_.empty() && nodes_[heap_.front().local].settled[which_]) {
      std::pop_heap(heap_.begin(), heap_.end(), later);
      heap_.pop_back();
    }
  }

  const Rows& rows_;
  LocalNodes& nodes_;
  const int cost_;
  const int which_;
  StopCheck& stop_;
  std::vector<Entry> heap_;
  std::vector<std::uint32_t> order_;
};

// An upper bound of the `secondary` total of every route between a
// candidate and the place that is least in the `primary` cost, found from a
// finished single-cost search of the primary cost (catchment_parts.cpp has
// the argument). `settled` is that search's order, `most` the greatest
// least primary sum among the candidates; every node whose least sum is up
// to most (1 + 2^-15) must be settled. `starts`: the places, where that
// search started.
template <class Rows>
double least_route_cap(const Rows& rows, LocalNodes& nodes, int primary, const std::vector<std::uint32_t>& settled,
                       double most, std::span<const std::uint32_t> candidates,
                       std::span<const std::uint32_t> starts);

}  // namespace norvel::catchment
