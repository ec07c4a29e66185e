#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "graph/node_id.hpp"
#include "graph/pareto_front.hpp"
#include "graph/road_graph.hpp"
#include "graph/search_order.hpp"
#include "graph/search_places.hpp"

namespace norvel {

// The labels of the label searches, and what they do with them alike. The
// literal and the pruned search keep their open labels as `OpenLabel`; the
// approximate search records its own in the same arena.

inline constexpr std::uint32_t kNoParent = UINT32_MAX;

// A label on the open list carries everything its processing needs, so a
// pop reads nothing but the heap. Only a label that is processed is copied
// into the arena of recorded labels, where paths are chains of parent links
// back to the start label.
struct OpenLabel {
  std::uint64_t priority;  // priority_key of the priority
  double distance_m;
  double risk;
  double familiarity;
  std::uint32_t parent;  // arena index of the label it was expanded from
  std::uint32_t place;   // index into the request's places
};

inline OpenLabel start_label(std::uint32_t place) {
  return OpenLabel{priority_key(0.0), 0.0, 0.0, 0.0, kNoParent, place};
}

// The search order: priority, then distance and risk in totalOrder.
inline bool label_before(const OpenLabel& x, const OpenLabel& y) {
  return comes_before(x.priority, x.distance_m, x.risk, y.priority, y.distance_m, y.risk);
}

// What a path needs of a recorded label: the chain back to the start and the
// node, plus the two costs the cycle check compares.
struct RecordedLabel {
  std::uint32_t parent;
  std::uint32_t place;
  double distance_m;
  double risk;
};

struct SolutionRef {
  std::uint32_t label;
  PathCosts costs;
};

class LabelArena {
 public:
  // The new label's index.
  std::uint32_t record(const OpenLabel& label) {
    make_room();
    labels_.push_back(RecordedLabel{label.parent, label.place, label.distance_m, label.risk});
    return static_cast<std::uint32_t>(labels_.size() - 1);
  }
  std::uint32_t record(const RecordedLabel& label) {
    make_room();
    labels_.push_back(label);
    return static_cast<std::uint32_t>(labels_.size() - 1);
  }
  const RecordedLabel& operator[](std::uint32_t index) const { return labels_[index]; }
  std::size_t size() const { return labels_.size(); }

  // Going round a cycle never pays on a graph without negative costs: a
  // label that comes back to a node is strictly dominated there by its own
  // ancestor unless the cycle added exactly nothing (zero-cost edges, or
  // additions lost to rounding), and then only ancestors with the very same
  // distance and risk can lie on that cycle. Discarding such labels is what
  // makes the search end on every graph. With negative costs, or a NaN sum
  // (which compares equal to nothing), every ancestor has to be examined.
  bool revisits_own_node(const OpenLabel& label, bool has_negative_cost) const {
    const bool every_ancestor = has_negative_cost || std::isnan(label.distance_m) || std::isnan(label.risk);
    for (std::uint32_t at = label.parent; at != kNoParent; at = labels_[at].parent) {
      const RecordedLabel& ancestor = labels_[at];
      if (!every_ancestor && !(ancestor.distance_m == label.distance_m && ancestor.risk == label.risk)) {
        return false;
      }
      if (ancestor.place == label.place) return true;  // one place per node
    }
    return false;
  }

  // The nodes of the label's path, from the start.
  std::vector<NodeId> path_of(std::uint32_t label, const RoadGraph& graph, const Places& places) const {
    std::vector<NodeId> path;
    for (std::uint32_t at = label; at != kNoParent; at = labels_[at].parent) {
      path.push_back(graph.id_of[places[labels_[at].place].dense]);
    }
    std::reverse(path.begin(), path.end());
    return path;
  }

  // The solutions as a front: each one's node path, from the source.
  ParetoFront front_of(const std::vector<SolutionRef>& solutions, const RoadGraph& graph,
                       const Places& places) const {
    ParetoFront result;
    result.reserve(solutions.size());
    for (const SolutionRef& solution : solutions) {
      std::vector<NodeId> path = path_of(solution.label, graph, places);
      const NodeId node = path.back();
      result.push_back(FrontEntry{std::move(path), node, solution.costs});
    }
    return result;
  }

 private:
  // Indices are 32-bit, the last one meaning no parent.
  void make_room() const {
    if (labels_.size() >= kNoParent) {
      std::fputs("norvel_core: label arena exhausted\n", stderr);
      std::abort();
    }
  }

  std::vector<RecordedLabel> labels_;
};

}  // namespace norvel
