#pragma once

#include <cstdint>

namespace norvel {

// How a caller asks a running request to stop. Some graphs make the search
// enormous (many paths of exactly equal costs), so a request must be able to
// end early. The search calls `hook(context)` once every `interval` units of
// work (labels taken from an open list, prefixes a walk keeps, nodes settled
// backwards), on its own thread, and ends the request once it returns true.
struct StopPoll {
  bool (*hook)(void* context) = nullptr;
  void* context = nullptr;
  std::uint32_t interval = 4096;
};

// Counts units of work for a poll. Once the hook has said stop, every later
// tick says so too, so each loop of a strategy may test it on its own.
class StopCheck {
 public:
  explicit StopCheck(const StopPoll& poll) : poll_(poll), countdown_(interval()) {}

  // `units` of work done; whether to stop.
  bool tick(std::uint64_t units = 1) {
    if (units < countdown_) {
      countdown_ -= units;
      return stopped_;
    }
    countdown_ = interval();
    if (!stopped_ && poll_.hook != nullptr) stopped_ = poll_.hook(poll_.context);
    return stopped_;
  }
  bool stopped() const { return stopped_; }

 private:
  std::uint32_t interval() const { return poll_.interval == 0 ? 1 : poll_.interval; }

  StopPoll poll_;
  std::uint64_t countdown_;
  bool stopped_ = false;
};

}  // namespace norvel
