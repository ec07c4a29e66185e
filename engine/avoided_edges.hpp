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

// The avoided rows of one request, none where it avoids nothing. When it
// ends, their bits go back to the graph's spares, zeroed in time
// proportional to the edges avoided: a request that avoids a few edges of
// millions makes no pass over a bit per edge, but the first at a time.
class RequestAvoided {
 public:
  RequestAvoided() = default;
  RequestAvoided(EdgeRows& shared, AvoidedRows&& rows) : shared_(&shared), rows_(std::move(rows)) {}
  RequestAvoided(const RequestAvoided&) = delete;
  RequestAvoided& operator=(const RequestAvoided&) = delete;
  ~RequestAvoided();
  const AvoidedRows* rows() const { return rows_ ? &*rows_ : nullptr; }

 private:
  EdgeRows* shared_ = nullptr;
  std::optional<AvoidedRows> rows_;
};

// The rows of those edges, a bit per entry of the outgoing rows; none when
// no array is given. Raises ValueError for an index past the last edge.
// Called with the interpreter lock held.
RequestAvoided avoided_rows(const EngineGraph& engine, const std::optional<EdgeIndices>& indices);

inline const AvoidedRows* avoided_of(const RequestAvoided& avoided) { return avoided.rows(); }

}  // namespace norvel::engine
