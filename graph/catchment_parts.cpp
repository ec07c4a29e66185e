#include "graph/catchment_parts.hpp"

namespace norvel::catchment {

// The cap, and why it holds.
//
// Sums. With u = 2^-53, a sum of k < 2^32 non-negative terms rounded after
// each addition, in any order, lies within a factor 1 +- gamma of the exact
// sum, gamma = k u / (1 - k u) < 2^-20. The request sums a route in travel
// order (its "forward" sums); the single-cost search of the primary cost
// found h(x), the least sum in its own order over the paths between the
// place and x.
//
// The route P* least in the primary cost between a candidate v and the
// place (a simple path can be taken: cutting a cycle out of a route never
// raises its forward sums) sums to at most the forward sum of the path the
// search found, so exactly it sums to at most h(v) (1 + gamma)/(1 - gamma)^2
// <= h(v) (1 + 4 gamma).
//
// Reduced costs. For a row entry u -> x of primary cost c, rc = c + h(u) -
// h(x) (in exact arithmetic) is at least -u (c + h(u)), since the search
// found h(x) <= fl(c + h(u)). Along P*, from the place to v, the reduced
// costs add up to its exact sum minus h(v), at most 4 gamma h(v); so each is
// at most 4 gamma h(v) + u sum(c + h(u)) < 2^-17 h(v), every node on it
// having h at most h(v) (1 + 6 gamma). The entries of P* therefore pass the
// rounded test fl(fl(c + h(u)) - h(x)) <= 2^-16 H (H: the greatest h of a
// candidate; the test's own two roundings move it by a few u H), and all
// its nodes have h <= H (1 + 2^-16).
//
// Longest paths. So P* is a path of the graph T of those entries over those
// nodes, and its secondary total is at most the greatest secondary sum of a
// simple path of T from the place to v. In the strongly connected parts of T
// (cycles of near-zero primary cost, such as a two-way edge of zero length)
// a simple path meets each part in one stretch and uses each of its edges
// once at most: so the part's whole internal sum W, plus the best way into
// the part, bounds it; over the parts in topological order that is a
// longest-path sum over a directed acyclic graph. Those sums are rounded
// too, each at least (1 - gamma) times its exact value, and P*'s forward
// secondary total is at most (1 + gamma) times its exact one: the result,
// widened by 2^-17, covers both.
template <class Rows>
double least_route_cap(const Rows& rows, LocalNodes& nodes, int primary, const std::vector<std::uint32_t>& settled,
                       double most, std::span<const std::uint32_t> candidates,
                       std::span<const std::uint32_t> starts) {
  const int secondary = primary == kDistance ? kRisk : kDistance;
  const double reach = most * (1.0 + 0x1p-16);
  const double tight = most * 0x1p-16;
  // T's nodes: a prefix of the settle order, the places first.
  std::size_t count = 0;
  while (count < settled.size() && nodes[settled[count]].least(primary) <= reach) ++count;
  std::vector<std::uint32_t> position(nodes.size(), kNone);
  for (std::size_t i = 0; i < count; ++i) position[settled[i]] = static_cast<std::uint32_t>(i);
  // T's entries as compressed rows.
  struct Arc {
    std::uint32_t to;
    double secondary;
  };
  std::vector<std::uint32_t> begin(count + 1, 0);
  std::vector<Arc> arcs;
  for (std::size_t i = 0; i < count; ++i) {
    // Copied: a node seen for the first time moves the states.
    const std::uint32_t from = nodes[settled[i]].dense;
    const double from_least = nodes[settled[i]].least(primary);
    for (std::uint32_t slot = rows.begin(from); slot < rows.end(from); ++slot) {
      if (!rows.takes(slot)) continue;
      const std::uint32_t local = nodes.of(rows.next(slot));
      if (local >= position.size() || position[local] == kNone) continue;
      const double reduced = (rows.cost(slot, primary) + from_least) - nodes[local].least(primary);
      if (reduced <= tight) arcs.push_back(Arc{position[local], rows.cost(slot, secondary)});
    }
    begin[i + 1] = static_cast<std::uint32_t>(arcs.size());
  }

  // Tarjan's strongly connected components, without recursion. A part is
  // completed only after every part it reaches, so the completion order,
  // reversed, is a topological order.
  std::vector<std::uint32_t> index(count, kNone), low(count, 0), part(count, kNone);
  std::vector<std::uint32_t> stack, completed;  // completed: nodes, part after part
  std::vector<std::uint32_t> part_end;           // where each part ends in `completed`
  std::vector<bool> on_stack(count, false);
  struct Frame {
    std::uint32_t node;
    std::uint32_t arc;
  };
  std::vector<Frame> calls;
  std::uint32_t next_index = 0;
  for (std::uint32_t root = 0; root < count; ++root) {
    if (index[root] != kNone) continue;
    calls.push_back(Frame{root, begin[root]});
    index[root] = low[root] = next_index++;
    stack.push_back(root);
    on_stack[root] = true;
    while (!calls.empty()) {
      Frame& frame = calls.back();
      const std::uint32_t node = frame.node;
      if (frame.arc < begin[node + 1]) {
        const std::uint32_t to = arcs[frame.arc++].to;
        if (index[to] == kNone) {
          index[to] = low[to] = next_index++;
          stack.push_back(to);
          on_stack[to] = true;
          calls.push_back(Frame{to, begin[to]});
        } else if (on_stack[to]) {
          low[node] = std::min(low[node], index[to]);
        }
        continue;
      }
      calls.pop_back();
      if (!calls.empty()) low[calls.back().node] = std::min(low[calls.back().node], low[node]);
      if (low[node] != index[node]) continue;
      const auto id = static_cast<std::uint32_t>(part_end.size());
      std::uint32_t member = kNone;
      do {
        member = stack.back();
        stack.pop_back();
        on_stack[member] = false;
        part[member] = id;
        completed.push_back(member);
      } while (member != node);
      part_end.push_back(static_cast<std::uint32_t>(completed.size()));
    }
  }

  // Longest sums over the parts, the first completed last.
  const std::size_t parts = part_end.size();
  std::vector<double> best_in(parts, -kInf);
  std::vector<double> value(parts, -kInf);
  for (std::uint32_t start : starts) {  // the places
    if (start < position.size() && position[start] != kNone) best_in[part[position[start]]] = 0.0;
  }
  for (std::size_t p = parts; p-- > 0;) {
    const std::uint32_t first = p == 0 ? 0 : part_end[p - 1];
    double inside = 0.0;
    for (std::uint32_t k = first; k < part_end[p]; ++k) {
      const std::uint32_t node = completed[k];
      for (std::uint32_t a = begin[node]; a < begin[node + 1]; ++a) {
        if (part[arcs[a].to] == p) inside += arcs[a].secondary;
      }
    }
    if (best_in[p] == -kInf) continue;  // not reached from the place within T
    value[p] = best_in[p] + inside;
    for (std::uint32_t k = first; k < part_end[p]; ++k) {
      const std::uint32_t node = completed[k];
      for (std::uint32_t a = begin[node]; a < begin[node + 1]; ++a) {
        const std::uint32_t to_part = part[arcs[a].to];
        if (to_part != p) best_in[to_part] = std::max(best_in[to_part], value[p] + arcs[a].secondary);
      }
    }
  }

  double cap = 0.0;
  for (std::uint32_t local : candidates) {
    // Every candidate is in T, reached along the search's own tree (whose
    // entries have a reduced cost of 0); were one not, nothing would bound it.
    const std::uint32_t at = position[local];
    const double longest = at == kNone ? -kInf : value[part[at]];
    cap = std::max(cap, longest == -kInf ? kInf : longest);
  }
  return cap * (1.0 + 0x1p-17);
}

template double least_route_cap(const IncomingRows&, LocalNodes&, int, const std::vector<std::uint32_t>&, double,
                                std::span<const std::uint32_t>, std::span<const std::uint32_t>);
template double least_route_cap(const OutgoingRows&, LocalNodes&, int, const std::vector<std::uint32_t>&, double,
                                std::span<const std::uint32_t>, std::span<const std::uint32_t>);

}  // namespace norvel::catchment
