// The table of a graph's risk layers: no interpreter here, so that the
// snapshot reader (and its tests) fill it too.

#include <algorithm>
#include <utility>

#include "engine/engine_graph.hpp"

namespace norvel::engine {

std::shared_ptr<const NamedLayer> RiskLayerTable::find(std::string_view name) const {
  const std::shared_ptr<const RiskLayers> layers = current();
  const auto found = std::find_if(layers->begin(), layers->end(), [&](const auto& layer) { return layer->name == name; });
  return found == layers->end() ? nullptr : *found;
}

bool RiskLayerTable::add(std::shared_ptr<const NamedLayer> layer, std::optional<LayerHours> hours) {
  const std::lock_guard held(mutex_);
  if (std::any_of(layers_->begin(), layers_->end(), [&](const auto& known) { return known->name == layer->name; })) {
    return false;
  }
  auto grown = std::make_shared<RiskLayers>(*layers_);
  grown->push_back(std::move(layer));
  layers_ = std::move(grown);
  hours_.push_back(hours);
  return true;
}

std::vector<std::optional<LayerHours>> RiskLayerTable::hours() const {
  const std::lock_guard held(mutex_);
  return hours_;
}

bool RiskLayerTable::set_hours(std::string_view name, LayerHours hours) {
  const std::lock_guard held(mutex_);
  const auto found = std::find_if(layers_->begin(), layers_->end(), [&](const auto& layer) { return layer->name == name; });
  if (found == layers_->end()) return false;
  hours_[static_cast<std::size_t>(found - layers_->begin())] = hours;
  return true;
}

}  // namespace norvel::engine
