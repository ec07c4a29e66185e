#pragma once

#include <optional>

#include "graph/pareto_front.hpp"
#include "graph/request_workspace.hpp"

namespace norvel {

// The label search exactly as it is defined: every label pushed is popped
// in the search order from a binary heap whose moves fix the order of tied
// labels, and tested, and processed unless a test discards it. Answers every
// request, on every graph and with every eps. Uses the workspace's places
// (with empty fronts) and heuristics, nothing of its bounds. None when the
// workspace's stop check says stop.
std::optional<ParetoFront> literal_search(RequestWorkspace& workspace);

}  // namespace norvel
