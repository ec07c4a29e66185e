#pragma once

#include <cstdint>
#include <optional>

#include "graph/stop_poll.hpp"

namespace norvel {

class AvoidedRows;
class DestinationBounds;
struct RiskLayer;

// Which solution paths the caller reads: all of them, or only those of the
// shortest, safest and balanced routes (the other entries' costs are exact,
// but where several paths have the very same costs, one may be another).
enum class PathsNeeded { all, chosen_routes };

// When the search changes its way of working. Every setting gives the same
// answers; the tests shrink them to reach every way on small graphs.
struct SearchTuning {
  // The pruned search's budget before the targeted walks (eps 0).
  std::uint64_t short_request_labels = 256;
  // Its budget before the approximate search (eps > 0). Its backward
  // searches head for the source, so the approximate search costs little
  // more than the pruned one even on requests of a kilometre, and the
  // pruned search keeps only the very short ones, which end before the
  // backward searches are set up.
  std::uint64_t short_approximate_request_labels = 96;
  // Labels processed without a solution before known routes are sought.
  std::uint64_t labels_before_known_routes = 2048;
  // With eps above 0, the labels the approximate search may process before
  // it leaves the request to the pruned search: past that, a request whose
  // front is hard to pin down costs the pruned search less.
  std::uint64_t approximate_labels = 100'000;
  // Labels the approximate search processes before it sets up its cuts for
  // the open boxes (most requests end before and need none); it sets them up
  // again, more carefully, at four times as many.
  std::uint64_t approximate_labels_before_cuts = 4096;
};

// The ways a request can be answered, in the order it tries them.
enum class Strategy : std::uint8_t {
  pruned_short,  // the pruned search within `short_request_labels` or `short_approximate_request_labels`
  targeted,      // three targeted walks (eps 0, chosen routes)
  approximate,   // the search guided by the weighted cost still to go (eps > 0, chosen routes)
  pruned,        // the pruned search without a budget
  literal,       // the search exactly as defined; always answers
};

// Why a strategy left the request to the next one.
enum class GaveUp : std::uint8_t {
  over_budget,    // it would have taken more work than it may
  tie,            // an exact tie whose outcome the search order alone decides
  path_in_doubt,  // a needed path may be another one with the very same costs
  familiarity,    // familiarity lowers priorities along a path, so the order of keys is not the search's
  priority_falls, // a path's priority falls along it (the heuristic overestimates), ditto
};

struct Attempt {
  Strategy strategy;
  GaveUp why;
};

// What one request did, for benchmarks and tests. Each count is a sum over
// the whole request, every strategy it tried included. Give each request a
// fresh report.
struct SearchReport {
  std::uint64_t pushed = 0;             // labels pushed on an open list
  std::uint64_t popped = 0;             // labels taken from an open list
  std::uint64_t processed = 0;          // labels that passed the tests and were recorded
  std::uint64_t walked_prefixes = 0;    // path prefixes the walks went on from (targeted, approximate)
  std::uint64_t settled_backwards = 0;  // nodes settled by the backward searches
  std::uint64_t touched_nodes = 0;      // nodes the request kept anything for
  std::uint64_t known_routes = 0;       // routes found to stand in for solutions

  // The strategies that gave up, in the order they ran.
  Attempt gave_up[3] = {};
  std::uint8_t gave_up_count = 0;
  // The strategy whose answer was returned; none when the request stopped.
  std::optional<Strategy> answered_by;
  // The strategy that was running when the stop hook asked to stop.
  std::optional<Strategy> stopped_in;
};

// What a caller may add to a request beyond its inputs.
struct SearchOptions {
  SearchReport* report = nullptr;
  SearchTuning tuning{};
  StopPoll stop{};
  // The backward searches that requests to one target share, read when
  // started at this request's target (graph/destination_bounds.hpp). They
  // change how much a request settles, never its answer.
  DestinationBounds* destination = nullptr;
  // The risks the request is answered on: a layer's, or the document's own
  // `risk_score` when null. A destination's searches serve only requests on
  // the risks they were made on.
  const RiskLayer* risk_layer = nullptr;
  // The edges the request must not take (graph/avoided_rows.hpp), null for
  // none: every answer is then the one on the document without them. A
  // destination's searches serve only requests that avoid the same set.
  const AvoidedRows* avoided = nullptr;
};

}  // namespace norvel
