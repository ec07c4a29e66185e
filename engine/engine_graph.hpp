#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "graph/edge_risk.hpp"
#include "graph/risk_layer_rules.hpp"
#include "graph/road_graph.hpp"
#include "loading/street_names.hpp"

namespace norvel::engine {

struct NamedLayer {
  std::string name;
  RiskLayer layer;
};
using RiskLayers = std::vector<std::shared_ptr<const NamedLayer>>;

// The risk layers of a graph besides its own risk_score. They are only ever
// added: a request takes the list as it is when it starts and keeps its
// layer alive with it, so a layer added meanwhile changes nothing it reads,
// and no caller needs a lock of its own. The lock here guards the swap of
// the list alone.
class RiskLayerTable {
 public:
  std::shared_ptr<const RiskLayers> current() const {
    const std::lock_guard held(mutex_);
    return layers_;
  }
  // The layer of that name; null when there is none.
  std::shared_ptr<const NamedLayer> find(std::string_view name) const;
  // False, adding nothing, when the name is taken; with `hours`, the layer
  // has them from the moment it is there.
  bool add(std::shared_ptr<const NamedLayer> layer, std::optional<LayerHours> hours = std::nullopt);
  // The hours of the layer at each place of the list (none for a layer
  // without), as many as the layers or more: a layer added after the list
  // was taken may have its own.
  std::vector<std::optional<LayerHours>> hours() const;
  // Gives the layer `name` its hours, replacing any it had; false when the
  // graph has no such layer. A request reads the hours before it starts and
  // takes a layer by its name, so that hours changed meanwhile change nothing
  // it reads.
  bool set_hours(std::string_view name, LayerHours hours);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const RiskLayers> layers_ = std::make_shared<const RiskLayers>();
  std::vector<std::optional<LayerHours>> hours_;  // one per layer
};

// What the requests that avoid edges share. Each edge's entry in the
// outgoing rows, by document index: made the first time a request avoids
// edges (4 bytes an edge, once per graph), and only read after, by any
// number of threads. And the bit sets of the requests done, zeroed again,
// for the next ones to take: one per request that avoids at once, kept.
struct EdgeRows {
  std::once_flag made;
  std::vector<std::uint32_t> row_of;
  std::mutex spares_lock;
  std::vector<std::vector<std::uint64_t>> spare_bits;
};

// What the norvel package holds of one document: the road graph the routes
// are searched on, its edges' street names and its risk layers. The graph
// and the names are immutable once loaded, so any number of threads read
// them at once. A graph read from a snapshot file views the file's pages
// (mapped once, shared by every process that maps it) and brings its
// nearest-node index along.
struct EngineGraph {
  RoadGraph graph;
  StreetNames names;
  std::unique_ptr<RiskLayerTable> layers = std::make_unique<RiskLayerTable>();
  std::unique_ptr<EdgeRows> edge_rows = std::make_unique<EdgeRows>();
  // The nearest-node index's arrays (engine/nearest_index.hpp), when the
  // graph came with them.
  bool has_nearest = false;
  GraphArray<std::uint32_t> nearest_order;
  GraphArray<std::uint8_t> nearest_axis;
  // Where the document's `risk_layers` members' values were in its UTF-8
  // text (first byte, past the last), in document order; empty for a graph
  // that came from no document.
  std::vector<std::pair<std::size_t, std::size_t>> risk_layers_members;
  // The SHA-256 of the document a snapshot was made from, as it says.
  bool has_source = false;
  std::array<unsigned char, 32> source_sha256{};
};

// The layer a request names ("default": none, the document's risk_score);
// raises ValueError for a name the graph does not have. Called with the
// interpreter lock held.
std::shared_ptr<const NamedLayer> requested_layer(const EngineGraph& engine, std::string_view name);

// The risks a request on `named` reads: null for the document's.
inline const RiskLayer* layer_of(const std::shared_ptr<const NamedLayer>& named) {
  return named == nullptr ? nullptr : &named->layer;
}

}  // namespace norvel::engine
