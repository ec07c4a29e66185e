#include "graph/pareto_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "graph/heuristic.hpp"
#include "graph/id_index.hpp"
#include "graph/open_list.hpp"

namespace norvel {

namespace {

constexpr std::uint32_t kNoParent = UINT32_MAX;
constexpr std::uint32_t kNoPlace = UINT32_MAX;

// A label on the open list carries everything its processing needs, so a
// pop reads nothing but the heap. Only a label that passes the pruning tests
// is copied into the arena of recorded labels, where paths are chains of
// parent links back to the start label.
struct OpenLabel {
  std::uint64_t priority;  // priority_key of the priority
  double distance_m;
  double risk;
  double familiarity;
  std::uint32_t parent;  // arena index of the label it was expanded from
  std::uint32_t place;   // index into the search's touched-node table
};

// What a path needs of a recorded label: the chain back to the start and the
// node, plus the two costs the cycle check compares.
struct RecordedLabel {
  std::uint32_t parent;
  std::uint32_t place;
  double distance_m;
  double risk;
};

// The search order: priority, then distance and risk in totalOrder.
inline bool label_before(const OpenLabel& x, const OpenLabel& y) {
  return comes_before(x.priority, x.distance_m, x.risk, y.priority, y.distance_m, y.risk);
}

struct FrontCosts {
  double distance_m;
  double risk;
};

// A set of (distance, risk) points none of which strictly dominates
// another, kept sorted by distance: risk then falls as distance grows, so
// both questions the search asks of a front are one binary search. Points
// with a NaN cost never dominate nor cover anything and are left out.
class Staircase {
 public:
  // Whether some point lies at or below both limits.
  bool covers(double distance_limit, double risk_limit) const {
    if (std::isnan(distance_limit)) return false;
    auto after = first_beyond(distance_limit);
    return after != points_.begin() && (after - 1)->risk <= risk_limit;
  }

  bool strictly_dominates_point(double distance, double risk) const {
    if (std::isnan(distance)) return false;
    auto after = first_beyond(distance);
    if (after == points_.begin()) return false;
    const FrontCosts& nearest = *(after - 1);
    return nearest.risk < risk || (nearest.risk == risk && nearest.distance_m < distance);
  }

  // Adds a point that no point strictly dominates, dropping those it
  // strictly dominates.
  void insert(double distance, double risk) {
    if (std::isnan(distance) || std::isnan(risk)) return;
    std::erase_if(points_, [&](const FrontCosts& point) {
      return strictly_dominates(distance, risk, point.distance_m, point.risk);
    });
    points_.insert(first_beyond(distance), FrontCosts{distance, risk});
  }

 private:
  std::vector<FrontCosts>::const_iterator first_beyond(double distance) const {
    return std::upper_bound(points_.begin(), points_.end(), distance,
                            [](double value, const FrontCosts& point) { return value < point.distance_m; });
  }

  std::vector<FrontCosts> points_;
};

// Per node reached by the search: the heuristic, computed once, and the front
// of labels recorded there (its order is never observed).
struct Place {
  std::uint32_t dense;
  double heuristic_m;
  Staircase front;
};

struct SolutionRef {
  std::uint32_t label;
  PathCosts costs;
};

class Search {
 public:
  Search(const RoadGraph& graph, std::uint32_t target, double target_lat, double target_lon, double eps)
      : graph_(graph),
        target_(target),
        target_lat_(target_lat),
        target_lon_(target_lon),
        cos_t_(cos_latitude(target_lat)),
        approx_factor_(1.0 + eps) {}

  ParetoFront run(std::uint32_t source) {
    open_list_push(open_, OpenLabel{priority_key(0.0), 0.0, 0.0, 0.0, kNoParent, place_of(source)}, label_before);
    while (!open_.empty()) process(open_list_pop(open_, label_before));
    return materialise_solutions();
  }

 private:
  void process(const OpenLabel& label) {
    if (target_place_ != kNoPlace &&
        places_[target_place_].front.covers(approx_factor_ * label.distance_m, approx_factor_ * label.risk)) {
      return;
    }
    Staircase& front = places_[label.place].front;
    if (front.strictly_dominates_point(label.distance_m, label.risk)) return;
    if (revisits_own_node(label)) return;
    front.insert(label.distance_m, label.risk);

    const std::uint32_t index = record(label);
    const std::uint32_t dense = places_[label.place].dense;
    if (dense == target_) {
      record_solution(index, label);
      return;
    }
    const std::uint32_t end = graph_.out_begin[dense + 1];
    for (std::uint32_t slot = graph_.out_begin[dense]; slot < end; ++slot) {
      const SearchEdge& edge = graph_.out_edges[slot];
      std::uint32_t place = place_of(edge.to);
      const double distance = label.distance_m + edge.distance_m;
      const double risk = label.risk + edge.risk_score;
      const double familiarity = label.familiarity + edge.familiarity;
      const double priority = label_priority(distance, risk, familiarity, places_[place].heuristic_m);
      open_list_push(open_, OpenLabel{priority_key(priority), distance, risk, familiarity, index, place},
                     label_before);
    }
  }

  // Going round a cycle never pays on a graph without negative costs: a label
  // that comes back to a node is strictly dominated there by its own ancestor
  // unless the cycle added exactly nothing (zero-cost edges, or additions lost
  // to rounding), and then only ancestors with the very same distance and risk
  // can lie on that cycle. Discarding such labels is what makes the search end
  // on every graph. With negative costs, or a NaN sum (which compares equal to
  // nothing), every ancestor has to be examined.
  bool revisits_own_node(const OpenLabel& label) const {
    const bool every_ancestor =
        graph_.has_negative_cost || std::isnan(label.distance_m) || std::isnan(label.risk);
    for (std::uint32_t at = label.parent; at != kNoParent; at = labels_[at].parent) {
      const RecordedLabel& ancestor = labels_[at];
      if (!every_ancestor && !(ancestor.distance_m == label.distance_m && ancestor.risk == label.risk)) {
        return false;
      }
      if (ancestor.place == label.place) return true;  // one place per node
    }
    return false;
  }

  // The label has just entered the target's front, so no solution strictly
  // dominates it: the solutions and that front hold the same points.
  void record_solution(std::uint32_t index, const OpenLabel& label) {
    front_insert(solutions_, SolutionRef{index, {label.distance_m, label.risk, label.familiarity}});
  }

  std::uint32_t place_of(std::uint32_t dense) {
    std::uint32_t next = static_cast<std::uint32_t>(places_.size());
    std::uint32_t place = place_index_.find_or_insert(dense, next);
    if (place == next) {
      if (dense == target_) target_place_ = place;
      double heuristic = haversine_with_cos_m(graph_.lat[dense], graph_.lon[dense], graph_.cos_lat[dense],
                                              target_lat_, target_lon_, cos_t_);
      places_.push_back(Place{dense, heuristic, {}});
    }
    return place;
  }

  std::uint32_t record(const OpenLabel& label) {
    if (labels_.size() >= kNoParent) {
      std::fputs("norvel_core: label arena exhausted\n", stderr);
      std::abort();
    }
    labels_.push_back(RecordedLabel{label.parent, label.place, label.distance_m, label.risk});
    return static_cast<std::uint32_t>(labels_.size() - 1);
  }

  ParetoFront materialise_solutions() const {
    ParetoFront result;
    result.reserve(solutions_.size());
    for (const SolutionRef& solution : solutions_) {
      std::vector<NodeId> path;
      for (std::uint32_t at = solution.label; at != kNoParent; at = labels_[at].parent) {
        path.push_back(graph_.id_of[places_[labels_[at].place].dense]);
      }
      std::reverse(path.begin(), path.end());
      NodeId node = path.back();
      result.push_back(FrontEntry{std::move(path), node, solution.costs});
    }
    return result;
  }

  const RoadGraph& graph_;
  const std::uint32_t target_;
  const double target_lat_;
  const double target_lon_;
  const double cos_t_;
  const double approx_factor_;

  std::vector<RecordedLabel> labels_;
  std::vector<OpenLabel> open_;
  IdIndex place_index_;
  std::vector<Place> places_;
  std::vector<SolutionRef> solutions_;
  // The target's place once a label reaches it: its front holds the costs of
  // the solutions, which the cover test asks about.
  std::uint32_t target_place_ = kNoPlace;
};

}  // namespace

ParetoFront pareto_search(const RoadGraph& graph, NodeId source, NodeId target, double target_lat,
                          double target_lon, double eps) {
  const std::uint32_t source_dense = graph.dense_of.find(source);
  if (source_dense == IdIndex::kAbsent) {
    // An id the graph has never seen has no edges: the start label is all.
    if (source != target) return {};
    return ParetoFront{FrontEntry{{source}, source, {0.0, 0.0, 0.0}}};
  }
  // A target the graph has never seen stays kAbsent, which no label reaches.
  const std::uint32_t target_dense = graph.dense_of.find(target);
  return Search(graph, target_dense, target_lat, target_lon, eps).run(source_dense);
}

}  // namespace norvel
