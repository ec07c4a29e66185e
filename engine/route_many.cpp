#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "engine/avoided_edges.hpp"
#include "engine/bindings.hpp"
#include "engine/request_deadline.hpp"
#include "engine/route_results.hpp"
#include "engine/signals.hpp"
#include "graph/destination_bounds.hpp"
#include "graph/safe_route_request.hpp"

namespace norvel::engine {

namespace {

using Ids = nb::ndarray<const std::uint64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Answer = std::expected<std::vector<RouteRecord>, RouteError>;

// The requests of one call, shared by its threads. Requests to one
// destination form a group, and a group runs on one thread, in the order
// given, over the backward searches from the destination that its requests
// share (graph/destination_bounds.hpp): each request grows them only as far
// as the ones before it have not.
struct Batch {
  const RoadGraph& graph;
  const RiskLayer* layer;  // null: the document's risks
  const AvoidedRows* avoided;  // null: none
  const std::uint64_t* sources;
  const std::uint64_t* targets;
  double eps;
  std::optional<double> timeout_s;
  std::vector<std::uint32_t> order;         // request indices, grouped by destination
  std::vector<std::size_t> group_begin;     // into `order`, one more than the groups
  std::vector<Answer> answers;              // by request index
  std::atomic<std::size_t> next_group{0};
  std::atomic<bool> cancelled{false};       // Ctrl-C: every request stops
  std::atomic<unsigned> threads_done{0};
};

struct PairStop {
  RequestDeadline deadline;
  const std::atomic<bool>* cancelled;
};

bool should_stop(void* context) {
  const PairStop& stop = *static_cast<const PairStop*>(context);
  return stop.cancelled->load(std::memory_order_relaxed) || stop.deadline.passed();
}

void work(Batch& batch) {
  // Made for the first group of two requests or more: a lone request's own
  // searches head for its source and settle less than a shared one would.
  std::optional<DestinationBounds> shared;
  for (;;) {
    const std::size_t group = batch.next_group.fetch_add(1);
    if (group + 1 >= batch.group_begin.size()) break;
    const std::size_t begin = batch.group_begin[group];
    const std::size_t end = batch.group_begin[group + 1];
    DestinationBounds* destination = nullptr;
    if (end - begin >= 2) {
      if (!shared) shared.emplace(batch.graph, batch.layer, batch.avoided);
      shared->start(batch.graph.dense_of.find(batch.targets[batch.order[begin]]));
      destination = &*shared;
    }
    for (std::size_t at = begin; at < end; ++at) {
      const std::uint32_t i = batch.order[at];
      PairStop stop{RequestDeadline::after(batch.timeout_s), &batch.cancelled};
      batch.answers[i] = compute_safe_routes(
          batch.graph, batch.sources[i], batch.targets[i], batch.eps,
          SearchOptions{
              .stop = {.hook = should_stop, .context = &stop},
              .destination = destination,
              .risk_layer = batch.layer,
              .avoided = batch.avoided});
    }
  }
  batch.threads_done.fetch_add(1);
}

// Holds the cyclic garbage collector off for a scope, as it was before.
class CollectorPause {
 public:
  CollectorPause() : was_on_(PyGC_Disable() != 0) {}
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;
  ~CollectorPause() {
    if (was_on_) PyGC_Enable();
  }

 private:
  bool was_on_;
};

void group_by_destination(Batch& batch, std::size_t count) {
  batch.order.resize(count);
  for (std::uint32_t i = 0; i < count; ++i) batch.order[i] = i;
  std::stable_sort(batch.order.begin(), batch.order.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return batch.targets[a] < batch.targets[b]; });
  for (std::size_t at = 0; at < count; ++at) {
    if (at == 0 || batch.targets[batch.order[at]] != batch.targets[batch.order[at - 1]]) {
      batch.group_begin.push_back(at);
    }
  }
  batch.group_begin.push_back(count);
}

nb::list route_many(const EngineGraph& engine, Ids sources, Ids targets, double eps, unsigned workers,
                    std::optional<double> timeout_s, bool paths, const std::string& risk,
                    const std::optional<EdgeIndices>& avoid) {
  if (sources.shape(0) != targets.shape(0)) throw nb::value_error("sources and targets differ in length");
  const std::size_t count = sources.shape(0);
  const std::shared_ptr<const NamedLayer> layer = requested_layer(engine, risk);
  const RequestAvoided avoided = avoided_rows(engine, avoid);
  Batch batch{engine.graph, layer_of(layer), avoided_of(avoided), sources.data(), targets.data(), eps,
              timeout_s, {}, {}, {}};
  batch.answers.resize(count);
  PyObject* raised = nullptr;
  {
    nb::gil_scoped_release unlocked;
    group_by_destination(batch, count);
    const std::size_t groups = batch.group_begin.size() - 1;
    const unsigned threads = static_cast<unsigned>(std::clamp<std::size_t>(workers, 1, std::max<std::size_t>(groups, 1)));
    if (threads == 1 && !on_main_thread()) {
      // One worker off the main thread (a thread of the caller's own pool,
      // say): nothing to watch for, so the calling thread does the work,
      // with its warm caches and its own allocator arena.
      work(batch);
    } else {
      std::vector<std::jthread> running;
      for (unsigned t = 0; t < threads; ++t) running.emplace_back([&batch] { work(batch); });
      // The calling thread watches for Ctrl-C while the others work.
      std::optional<SignalWatch> signals;
      if (on_main_thread()) signals.emplace();
      while (batch.threads_done.load() < threads) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (signals && raised == nullptr && (raised = signals->raised_now()) != nullptr) batch.cancelled = true;
      }
    }
  }
  if (raised != nullptr) {
    PyErr_SetRaisedException(raised);
    throw nb::python_error();
  }
  // Rows of numbers, lists and tuples of floats hold no cycles: a collection
  // while hundreds of thousands of them are made would only walk them.
  const CollectorPause paused;
  nb::list answers;
  for (const Answer& answer : batch.answers) {
    answers.append(paths ? answer_object(engine, batch.layer, answer, batch.avoided) : totals_object(answer));
  }
  return answers;
}

}  // namespace

void bind_route_many(GraphClass& graph_class) {
  graph_class.def("route_many", &route_many, nb::arg("sources"), nb::arg("targets"), nb::arg("eps"),
                  nb::arg("workers"), nb::arg("timeout_s") = nb::none(), nb::arg("paths") = true,
                  nb::arg("risk") = "default", nb::arg("avoid") = nb::none(),
                  "route_many(sources, targets, eps, workers, timeout_s=None, paths=True, risk='default', avoid=None)\n"
                  "The answers of route(sources[i], targets[i], eps) for every i (uint64 arrays of one\n"
                  "length), in that order, computed on `workers` threads without the interpreter lock;\n"
                  "requests to one destination run together on one thread. timeout_s bounds each\n"
                  "request; on the main thread, Ctrl-C stops them all and raises KeyboardInterrupt.\n"
                  "paths=False: each route as its totals alone, a RouteTotals. `risk` names the risk\n"
                  "layer every request is searched on; `avoid`, the edges none takes (as route's).");
}

}  // namespace norvel::engine
