#pragma once

// A naive model of the front search's order (graph/front_search.cpp): the
// plain search that defines each point's path, read off its description.

#include "reference/reference_search.hpp"

namespace norvel::reference {

// Every point of the front from `source` to `target` (which differ), by
// distance ascending, each with the path of the first label of the plain
// search to reach it and the sums along it. The costs to go are found by
// sweeping the backward sums until nothing changes, the open list is
// scanned for its first label, every label keeps its whole path, and no
// label is left out for its bounds. Precondition: every cost finite and at
// least 0.
ParetoFront front_order_search(const Graph& graph, NodeId source, NodeId target);

}  // namespace norvel::reference
