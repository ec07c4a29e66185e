#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "loading/json_cursor.hpp"

namespace norvel {

// One risk layer of a document: its name and one risk per edge, in document
// order.
struct NamedRisks {
  std::string name;
  std::vector<double> by_edge;
};

// The layers of one `risk_layers` member's value, read on their own.
struct LayersReadAhead {
  const char* value = nullptr;  // where the value begins; null: no member found
  bool sound = false;           // read whole; else the document reader reads it
  const char* end = nullptr;    // just after the value, when sound
  std::vector<NamedRisks> layers;
  std::vector<const char*> arrays;
};

// A large document's last `risk_layers` member, read on a thread of its own
// from the moment the document's read begins, while the document reader
// reads the nodes and edges before it: the writers put the layers last, and
// a load with layers then takes little longer than one without. The member
// is found by its name, looking back from the document's end; what is found
// is only a guess, which the document reader takes only where it meets that
// very value (`take_at`).
class RiskLayersAhead {
 public:
  // Smaller texts are read on one thread: their layers take less than
  // starting one.
  static constexpr std::size_t kSmallestText = std::size_t{4} << 20;

  // Starts the read when `text` is at least `smallest_text` bytes and ends
  // as a document whose last member is an object does.
  explicit RiskLayersAhead(std::string_view text, std::size_t smallest_text = kSmallestText);
  RiskLayersAhead(const RiskLayersAhead&) = delete;  // its thread holds `this`
  RiskLayersAhead& operator=(const RiskLayersAhead&) = delete;
  // The member read ahead, when its value begins at `value`; null otherwise.
  // Waits for the read.
  LayersReadAhead* take_at(const char* value);

 private:
  LayersReadAhead read_;
  std::jthread reader_;  // last, so that it is joined before `read_` goes
};

// The graph object's members named `risk_layers`, as the document reader
// meets them. The reader skips them as it skips every member it does not
// know, so they change nothing of what it reads or refuses; with `read`, it
// reads their layers in the same pass.
struct RiskLayersMembers {
  // Whether the layers are read on the way; without, only `values` is noted.
  bool read = true;
  // Each member's value text, in document order.
  std::vector<std::string_view> values;
  // The layers of the first `whole` members, read on the way: every one of
  // them sound but for its count of values, which waits for the edges.
  std::size_t whole = 0;
  std::vector<NamedRisks> layers;
  std::vector<const char*> arrays;  // where each of `layers`' arrays begins
  // The last member, read ahead on another thread; null: none.
  RiskLayersAhead* ahead = nullptr;
  // The value text of each `risk_layer_hours` member, in document order:
  // skipped as any member the reader does not know, read once the layers
  // are (`read_layer_hours`).
  std::vector<std::string_view> hours_values;
};

// At a `risk_layers` member's value (its colon consumed): skips it with
// `JsonCursor::skip_value`'s checks and failures, and notes it in `members`.
// With `members.read`, a value that is sound is read into layers on the way,
// until one that is not (a fault of any kind): that one and those after it
// are left to `read_risk_layers`. `edge_count_hint`: the edges read so far,
// room for each layer's values when the edges came first (0: unknown).
bool take_risk_layers_member(JsonCursor& cursor, RiskLayersMembers& members, std::size_t edge_count_hint);

// The layers of a document's `risk_layers` members (`members`, as the
// document reader noted them in `text`), each checked: an object whose every
// member is a layer, an array of one number per edge (`edge_count`), each
// finite and not negative, under a plain name given once. The first fault
// in document order is the failure, its offset into `text`. The layers read
// on the way are taken from `members`.
std::expected<std::vector<NamedRisks>, ReadFailure> read_risk_layers(std::string_view text,
                                                                     RiskLayersMembers& members,
                                                                     std::size_t edge_count);

}  // namespace norvel
