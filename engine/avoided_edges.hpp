#pragma once

#include <cstdint>
#include <optional>

#include <nanobind/ndarray.h>

#include "engine/bindings.hpp"
#include "graph/avoided_rows.hpp"

namespace norvel::engine {

// The document indices of the edges a request avoids, as the package
// resolves them (sorted or not, repeats allowed).
using EdgeIndices = nb::ndarray<const std::uint32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// The rows of those edges, a bit per entry of the outgoing rows; none when
// no array is given. Raises ValueError for an index past the last edge.
// Called with the interpreter lock held.
std::optional<AvoidedRows> avoided_rows(const EngineGraph& engine, const std::optional<EdgeIndices>& indices);

inline const AvoidedRows* avoided_of(const std::optional<AvoidedRows>& rows) { return rows ? &*rows : nullptr; }

}  // namespace norvel::engine
