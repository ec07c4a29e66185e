#include "loading/risk_layers_reader.hpp"

#include <algorithm>
#include <cstring>
#include <exception>

#include "graph/risk_layer_rules.hpp"
#include "loading/json_members.hpp"
#include "loading/plain_number.hpp"
#include "loading/quick_record_reader.hpp"

namespace norvel {

namespace {

bool is_number_start(char c) { return c == '-' || (c >= '0' && c <= '9'); }

bool is_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// Room for the numbers of an array whose length is not known yet: its commas
// up to the first ']', and one. A fault only makes the guess wrong.
std::size_t array_length_guess(const char* at, const char* end) {
  const void* close = std::memchr(at, ']', static_cast<std::size_t>(end - at));
  const char* stop = close != nullptr ? static_cast<const char*>(close) : end;
  return static_cast<std::size_t>(std::count(at, stop, ',')) + 1;
}

bool name_taken(const std::vector<NamedRisks>& layers, std::string_view name) {
  return std::any_of(layers.begin(), layers.end(), [&](const NamedRisks& layer) { return layer.name == name; });
}

// Reads a member's value on the document reader's own pass, so that it is
// parsed once: the layers of a sound value, as `RiskLayersReader` below would
// read them. Anything else (a fault of the layers, of the JSON, of a number's
// range, or a form it does not know) makes it give up, and the caller skips
// the value as any other.
//
// Why skipping is not needed after a value it takes: it takes only
//   '{' ws [ string ws ':' ws '[' ws [ number ws { ',' ws number ws } ] ']' ws
//            { ',' ws string ws ':' ... } ] '}'
// where a string is one `read_name` decodes and a number one `read_number`
// converts. Both are stricter than `skip_value`'s string and number (they
// check what an escape stands for, the UTF-8, the range), so every value
// taken is one `skip_value` accepts, and the cursor ends where it would.
// The layers are those `RiskLayersReader` reads of it: the same names, the
// same conversion, the same checks of name and value, in the same order.
class SoundLayersReader {
 public:
  SoundLayersReader(JsonCursor& cursor, RiskLayersMembers& members, std::size_t edge_count_hint)
      : cursor_(cursor), members_(members), edge_count_hint_(edge_count_hint) {}

  bool read_value() {
    if (!cursor_.skip_whitespace() || cursor_.peek() != '{') return false;
    cursor_.advance();
    if (!cursor_.skip_whitespace()) return false;
    if (cursor_.peek() == '}') {
      cursor_.advance();
      return true;
    }
    for (;;) {
      if (cursor_.peek() != '"') return false;
      std::string_view name;
      if (!cursor_.read_name(name)) return false;
      if (!risk_layer_name_fault(name).empty() || name_taken(members_.layers, name)) return false;
      if (!cursor_.skip_whitespace() || cursor_.peek() != ':') return false;
      cursor_.advance();
      if (!cursor_.skip_whitespace() || cursor_.peek() != '[') return false;
      members_.arrays.push_back(cursor_.position());
      cursor_.advance();
      NamedRisks& layer = members_.layers.emplace_back(NamedRisks{std::string(name), {}});
      layer.by_edge.reserve(edge_count_hint_ != 0 ? edge_count_hint_
                                                  : array_length_guess(cursor_.position(), cursor_.end()));
      if (!read_risks(layer.by_edge) || !cursor_.skip_whitespace()) return false;
      const char after = cursor_.peek();
      cursor_.advance();
      if (after == '}') return true;
      if (after != ',' || !cursor_.skip_whitespace()) return false;
    }
  }

 private:
  // After the '[': the numbers up to the ']', consumed. Read as the quick
  // record reader reads its numbers, the position kept in a register: the
  // common plain number from one 16-byte window, any other by the cursor.
  // Both give the value `read_number` gives, and stop where it stops.
  bool read_risks(std::vector<double>& risks) {
    const char* at = cursor_.position();
    const char* const end = cursor_.end();
    auto space = [&] {
      while (at != end && is_space(*at)) ++at;
      return at != end;
    };
    if (!space()) return false;
    if (*at == ']') {
      cursor_.move_to(at + 1);
      return true;
    }
    for (;;) {
      if (!is_number_start(*at)) return false;
      JsonNumber number;
      if (end - at < kShortNumberReach || !read_plain_number(at, number)) {
        at = read_other_number(cursor_, at, number);
        if (at == nullptr) return false;
      }
      const double risk = number_as_double(number);
      if (!acceptable_risk(risk)) return false;
      risks.push_back(risk);
      if (!space()) return false;
      const char after = *at++;
      if (after == ']') {
        cursor_.move_to(at);
        return true;
      }
      if (after != ',' || !space()) return false;
    }
  }

  // Out of line, so that the loop above stays small.
  [[gnu::noinline]] static const char* read_other_number(JsonCursor& cursor, const char* at, JsonNumber& number) {
    cursor.move_to(at);
    return cursor.read_number(number) ? cursor.position() : nullptr;
  }

  JsonCursor& cursor_;
  RiskLayersMembers& members_;
  const std::size_t edge_count_hint_;
};

// The careful reader, of the values the document reader skipped: the text
// is a well-formed JSON value, which it checked when it skipped it, so only
// its shape and its numbers are left to check.
class RiskLayersReader {
 public:
  RiskLayersReader(std::string_view text, std::size_t edge_count, std::vector<NamedRisks>& layers)
      : cursor_(text), edge_count_(edge_count), layers_(layers) {}

  bool read_member(std::string_view value) {
    cursor_.move_to(value.data());
    return read_named_members(
        cursor_, "`risk_layers` must be an object of risk layers",
        [&](std::string_view name) {
          std::string problem = risk_layer_name_problem(name);
          if (problem.empty() && name_taken(layers_, name)) {
            problem = "risk layer \"" + std::string(name) + "\" is given twice";
          }
          return problem;
        },
        [&](const std::string& name) { return read_risks(layers_.emplace_back(NamedRisks{name, {}})); });
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
      if (!is_number_start(cursor_.peek())) return not_an_array();
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

// The most quoted strings looked at for the name: those of the last member's
// layer names, two to a layer.
constexpr int kQuotesLookedAt = 4096;

// Whether the document's last member may be `risk_layers`: the text ends
// with two closing braces, the layers' object's and the document's.
bool ends_with_an_object(std::string_view text) {
  std::size_t at = text.size();
  for (int braces = 0; braces < 2; ++braces) {
    while (at > 0 && is_space(text[at - 1])) --at;
    if (at == 0 || text[--at] != '}') return false;
  }
  return true;
}

// Where the value of a member named `risk_layers` near the document's end
// begins, its whitespace skipped: the name is the first quoted
// "risk_layers" met looking back from the end. Null when there is none among
// the last strings.
const char* last_layers_value(std::string_view text) {
  constexpr std::string_view kName = "\"risk_layers\"";
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* at = end;
  for (int quotes = 0; quotes < kQuotesLookedAt; ++quotes) {
    const void* quote = memrchr(begin, '"', static_cast<std::size_t>(at - begin));
    if (quote == nullptr) return nullptr;
    at = static_cast<const char*>(quote);
    if (static_cast<std::size_t>(at - begin) + 1 < kName.size() ||
        std::string_view(at + 1 - kName.size(), kName.size()) != kName) {
      continue;
    }
    const char* value = at + 1;
    while (value != end && is_space(*value)) ++value;
    if (value == end || *value != ':') return nullptr;
    ++value;
    while (value != end && is_space(*value)) ++value;
    return value;
  }
  return nullptr;
}

// The layers of a member read ahead, taken as the sound reader would have
// read them here.
void take_read_ahead(LayersReadAhead& ahead, JsonCursor& cursor, RiskLayersMembers& members) {
  members.layers = std::move(ahead.layers);
  members.arrays = std::move(ahead.arrays);
  cursor.move_to(ahead.end);
}

}  // namespace

RiskLayersAhead::RiskLayersAhead(std::string_view text, std::size_t smallest_text) {
  if (text.size() < smallest_text || !ends_with_an_object(text)) return;
  reader_ = std::jthread([this, text] {
    try {
      read_.value = last_layers_value(text);
      if (read_.value == nullptr) return;
      JsonCursor cursor(text);
      cursor.move_to(read_.value);
      RiskLayersMembers members;
      if (!SoundLayersReader(cursor, members, 0).read_value()) return;
      read_.end = cursor.position();
      read_.layers = std::move(members.layers);
      read_.arrays = std::move(members.arrays);
      read_.sound = true;
    } catch (...) {
      // Out of memory, say: `sound` is still false, so the document reader
      // reads the member itself and meets the failure on its own thread.
    }
  });
}

LayersReadAhead* RiskLayersAhead::take_at(const char* value) {
  if (reader_.joinable()) reader_.join();
  return read_.value == value ? &read_ : nullptr;
}

bool take_risk_layers_member(JsonCursor& cursor, RiskLayersMembers& members, std::size_t edge_count_hint) {
  cursor.skip_whitespace();
  const char* start = cursor.position();
  // Once one value is left to the careful reader, so are those after it:
  // the faults are then found in document order.
  if (members.read && members.whole == members.values.size()) {
    // A first member read ahead is what reading it here gives: the sound
    // reader's layers and end depend on the text from `start` on and on the
    // names taken before, and before a first member there are none (the
    // number of edges it is told only sizes its arrays).
    LayersReadAhead* ahead =
        members.values.empty() && members.ahead != nullptr ? members.ahead->take_at(start) : nullptr;
    const std::size_t layers_before = members.layers.size();
    const bool taken = ahead != nullptr && ahead->sound;
    if (taken) take_read_ahead(*ahead, cursor, members);
    if (taken || SoundLayersReader(cursor, members, edge_count_hint).read_value()) {
      members.values.emplace_back(start, static_cast<std::size_t>(cursor.position() - start));
      ++members.whole;
      return true;
    }
    members.layers.resize(layers_before);
    members.arrays.resize(layers_before);
    cursor.move_to(start);
  }
  if (!cursor.skip_value()) return false;
  members.values.emplace_back(start, static_cast<std::size_t>(cursor.position() - start));
  return true;
}

std::expected<std::vector<NamedRisks>, ReadFailure> read_risk_layers(std::string_view text,
                                                                     RiskLayersMembers& members,
                                                                     std::size_t edge_count) {
  // The layers read on the way are sound but for their counts, and come
  // before every member left: their counts are the first faults there are.
  std::vector<NamedRisks> layers = std::move(members.layers);
  for (std::size_t i = 0; i < layers.size(); ++i) {
    if (layers[i].by_edge.size() != edge_count) {
      return std::unexpected(ReadFailure{static_cast<std::size_t>(members.arrays[i] - text.data()),
                                         risk_count_problem(layers[i].name, layers[i].by_edge.size(), edge_count)});
    }
  }
  RiskLayersReader reader(text, edge_count, layers);
  for (std::size_t i = members.whole; i < members.values.size(); ++i) {
    if (!reader.read_member(members.values[i])) return std::unexpected(reader.failure());
  }
  return layers;
}

}  // namespace norvel
