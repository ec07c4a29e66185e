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

// A label lives in an arena for the whole search; its path is the chain of
// parent links back to the start label.
struct Label {
  std::uint32_t parent;
  std::uint32_t place;  // index into the search's touched-node table
  double distance_m;
  double risk;
  double familiarity;
};

struct FrontCosts {
  double distance_m;
  double risk;
};

// Per node reached by the search: the heuristic, computed once, and the front
// of labels recorded there (its order is never observed).
struct Place {
  std::uint32_t dense;
  double heuristic_m;
  std::vector<FrontCosts> front;
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
        cos_t_(std::cos(target_lat * kDegreesToRadians)),
        approx_factor_(1.0 + eps) {}

  ParetoFront run(std::uint32_t source) {
    std::uint32_t start_place = place_of(source);
    add_label(Label{kNoParent, start_place, 0.0, 0.0, 0.0}, 0.0);
    while (!open_.empty()) {
      std::uint32_t index = open_list_pop(open_).label;
      process(index);
    }
    return materialise_solutions();
  }

 private:
  void process(std::uint32_t index) {
    const Label label = labels_[index];
    const double scaled_distance = approx_factor_ * label.distance_m;
    const double scaled_risk = approx_factor_ * label.risk;
    for (const SolutionRef& solution : solutions_) {
      if (solution.costs.distance_m <= scaled_distance && solution.costs.risk <= scaled_risk) return;
    }
    std::vector<FrontCosts>& front = places_[label.place].front;
    for (const FrontCosts& kept : front) {
      if (strictly_dominates(kept.distance_m, kept.risk, label.distance_m, label.risk)) return;
    }
    if (revisits_own_node(index)) return;
    std::erase_if(front, [&](const FrontCosts& kept) {
      return strictly_dominates(label.distance_m, label.risk, kept.distance_m, kept.risk);
    });
    front.push_back(FrontCosts{label.distance_m, label.risk});

    const std::uint32_t dense = places_[label.place].dense;
    if (dense == target_) {
      front_insert(solutions_, SolutionRef{index, {label.distance_m, label.risk, label.familiarity}});
      return;
    }
    const std::uint32_t end = graph_.out_begin[dense + 1];
    for (std::uint32_t slot = graph_.out_begin[dense]; slot < end; ++slot) {
      const SearchEdge& edge = graph_.out_edges[slot];
      std::uint32_t place = place_of(edge.to);
      add_label(Label{index, place, label.distance_m + edge.distance_m, label.risk + edge.risk_score,
                      label.familiarity + edge.familiarity},
                places_[place].heuristic_m);
    }
  }

  // Going round a cycle never pays on a graph without negative costs: a label
  // that comes back to a node is strictly dominated there by its own ancestor
  // unless the cycle added exactly nothing (zero-cost edges, or additions lost
  // to rounding), and then only ancestors with the very same distance and risk
  // can lie on that cycle. Discarding such labels is what makes the search end
  // on every graph; with negative costs every ancestor has to be examined.
  bool revisits_own_node(std::uint32_t index) const {
    const Label& label = labels_[index];
    const std::uint32_t dense = places_[label.place].dense;
    for (std::uint32_t at = label.parent; at != kNoParent; at = labels_[at].parent) {
      const Label& ancestor = labels_[at];
      if (!graph_.has_negative_cost &&
          !(ancestor.distance_m == label.distance_m && ancestor.risk == label.risk)) {
        return false;
      }
      if (places_[ancestor.place].dense == dense) return true;
    }
    return false;
  }

  std::uint32_t place_of(std::uint32_t dense) {
    std::uint32_t next = static_cast<std::uint32_t>(places_.size());
    std::uint32_t place = place_index_.find_or_insert(dense, next);
    if (place == next) {
      double heuristic = haversine_with_cos_m(graph_.lat[dense], graph_.lon[dense], graph_.cos_lat[dense],
                                              target_lat_, target_lon_, cos_t_);
      places_.push_back(Place{dense, heuristic, {}});
    }
    return place;
  }

  void add_label(const Label& label, double heuristic_m) {
    if (labels_.size() >= kNoParent) {
      std::fputs("norvel_core: label arena exhausted\n", stderr);
      std::abort();
    }
    auto index = static_cast<std::uint32_t>(labels_.size());
    labels_.push_back(label);
    double priority = label.parent == kNoParent
                          ? 0.0
                          : label_priority(label.distance_m, label.risk, label.familiarity, heuristic_m);
    open_list_push(open_, make_open_key(priority, label.distance_m, label.risk, index));
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

  std::vector<Label> labels_;
  std::vector<OpenKey> open_;
  IdIndex place_index_;
  std::vector<Place> places_;
  std::vector<SolutionRef> solutions_;
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
