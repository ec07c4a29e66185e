#include "loading/risk_layers_reader.hpp"

#include <algorithm>

#include "graph/risk_layer_rules.hpp"
#include "loading/quick_record_reader.hpp"

namespace norvel {

namespace {

// The text is a well-formed JSON value, which the document reader checked
// when it skipped it: only its shape and its numbers are left to check.
class RiskLayersReader {
 public:
  RiskLayersReader(std::string_view text, std::size_t edge_count, std::vector<NamedRisks>& layers)
      : cursor_(text), edge_count_(edge_count), layers_(layers) {}

  bool read_member(std::string_view value) {
    cursor_.move_to(value.data());
    if (cursor_.peek() != '{') return cursor_.fail_here("`risk_layers` must be an object of risk layers");
    cursor_.advance();
    cursor_.skip_whitespace();
    if (cursor_.peek() == '}') return true;
    for (;;) {
      cursor_.skip_whitespace();
      const char* name_at = cursor_.position();
      std::string_view name;
      if (!cursor_.read_name(name)) return false;
      std::string problem = risk_layer_name_problem(name);
      if (problem.empty() && std::any_of(layers_.begin(), layers_.end(),
                                         [&](const NamedRisks& layer) { return layer.name == name; })) {
        problem = "risk layer \"" + std::string(name) + "\" is given twice";
      }
      if (!problem.empty()) {
        cursor_.move_to(name_at);
        return cursor_.fail_here(std::move(problem));
      }
      NamedRisks& layer = layers_.emplace_back(NamedRisks{std::string(name), {}});
      cursor_.skip_whitespace();
      cursor_.advance();  // ':'
      cursor_.skip_whitespace();
      if (!read_risks(layer)) return false;
      cursor_.skip_whitespace();
      if (cursor_.peek() == '}') return true;
      cursor_.advance();  // ','
    }
  }

  const ReadFailure& failure() const { return cursor_.failure(); }

 private:
  bool read_risks(NamedRisks& layer) {
    const char* array_at = cursor_.position();
    auto not_an_array = [&] {
      return cursor_.fail_here("risk layer \"" + layer.name + "\" must be an array of numbers, one per edge");
    };
    if (cursor_.peek() != '[') return not_an_array();
    cursor_.advance();
    layer.by_edge.reserve(edge_count_);
    cursor_.skip_whitespace();
    while (cursor_.peek() != ']') {
      const char c = cursor_.peek();
      if (c != '-' && !(c >= '0' && c <= '9')) return not_an_array();
      const char* value_at = cursor_.position();
      JsonNumber number;
      if (!cursor_.read_number(number)) return false;
      const double risk = number_as_double(number);
      if (!acceptable_risk(risk)) {
        cursor_.move_to(value_at);
        return cursor_.fail_here(risk_value_problem(layer.name, layer.by_edge.size(), risk));
      }
      layer.by_edge.push_back(risk);
      cursor_.skip_whitespace();
      if (cursor_.peek() == ',') {
        cursor_.advance();
        cursor_.skip_whitespace();
      }
    }
    cursor_.advance();  // ']'
    if (layer.by_edge.size() != edge_count_) {
      cursor_.move_to(array_at);
      return cursor_.fail_here(risk_count_problem(layer.name, layer.by_edge.size(), edge_count_));
    }
    return true;
  }

  JsonCursor cursor_;
  const std::size_t edge_count_;
  std::vector<NamedRisks>& layers_;
};

}  // namespace

std::expected<std::vector<NamedRisks>, ReadFailure> read_risk_layers(std::string_view text,
                                                                     const RiskLayersMembers& members,
                                                                     std::size_t edge_count) {
  std::vector<NamedRisks> layers;
  RiskLayersReader reader(text, edge_count, layers);
  for (std::string_view value : members.values) {
    if (!reader.read_member(value)) return std::unexpected(reader.failure());
  }
  return layers;
}

}  // namespace norvel
