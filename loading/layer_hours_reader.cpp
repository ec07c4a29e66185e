#include "loading/layer_hours_reader.hpp"

#include <algorithm>
#include <utility>

#include "loading/json_members.hpp"
#include "loading/quick_record_reader.hpp"

namespace norvel {

namespace {

bool is_number_start(char c) { return c == '-' || (c >= '0' && c <= '9'); }

// The values were skipped as well-formed JSON already: only their shape
// and their numbers are left to check.
class LayerHoursReader {
 public:
  LayerHoursReader(std::string_view text, const std::vector<NamedRisks>& layers, std::vector<NamedHours>& hours)
      : cursor_(text), layers_(layers), hours_(hours) {}

  bool read_member(std::string_view value) {
    cursor_.move_to(value.data());
    return read_named_members(
        cursor_, "`risk_layer_hours` must be an object of risk layers' hours",
        [&](std::string_view name) { return name_problem(name); },
        [&](const std::string& name) { return read_hours(hours_.emplace_back(NamedHours{name, {}})); });
  }

  const ReadFailure& failure() const { return cursor_.failure(); }

 private:
  std::string name_problem(std::string_view name) const {
    const std::string quoted = "\"" + std::string(name) + "\"";
    if (name == kDocumentRiskName) return layer_hours_problem(name, 0.0, 0.0);
    if (std::none_of(layers_.begin(), layers_.end(), [&](const NamedRisks& layer) { return layer.name == name; })) {
      return "`risk_layer_hours` gives hours to " + quoted + ", which is no risk layer of the document";
    }
    if (std::any_of(hours_.begin(), hours_.end(), [&](const NamedHours& known) { return known.name == name; })) {
      return "the hours of risk layer " + quoted + " are given twice";
    }
    return {};
  }

  bool read_hours(NamedHours& layer) {
    const char* array_at = cursor_.position();
    auto not_two = [&] {
      cursor_.move_to(array_at);
      return cursor_.fail_here("the hours of risk layer \"" + layer.name +
                               "\" must be an array of two numbers, [start, end]");
    };
    if (cursor_.peek() != '[') return not_two();
    cursor_.advance();
    double found[2] = {0.0, 0.0};
    std::size_t count = 0;
    cursor_.skip_whitespace();
    while (cursor_.peek() != ']') {
      if (!is_number_start(cursor_.peek()) || count == 2) return not_two();
      JsonNumber number;
      if (!cursor_.read_number(number)) return false;
      found[count++] = number_as_double(number);
      cursor_.skip_whitespace();
      if (cursor_.peek() == ',') {
        cursor_.advance();
        cursor_.skip_whitespace();
      }
    }
    cursor_.advance();  // ']'
    if (count != 2) return not_two();
    if (std::string problem = layer_hours_problem(layer.name, found[0], found[1]); !problem.empty()) {
      cursor_.move_to(array_at);
      return cursor_.fail_here(std::move(problem));
    }
    layer.hours = LayerHours{found[0], found[1]};
    return true;
  }

  JsonCursor cursor_;
  const std::vector<NamedRisks>& layers_;
  std::vector<NamedHours>& hours_;
};

}  // namespace

std::expected<std::vector<NamedHours>, ReadFailure> read_layer_hours(std::string_view text,
                                                                     std::span<const std::string_view> values,
                                                                     const std::vector<NamedRisks>& layers) {
  std::vector<NamedHours> hours;
  LayerHoursReader reader(text, layers, hours);
  for (std::string_view value : values) {
    if (!reader.read_member(value)) return std::unexpected(reader.failure());
  }
  return hours;
}

}  // namespace norvel
