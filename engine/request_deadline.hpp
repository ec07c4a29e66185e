#pragma once

#include <chrono>
#include <optional>

namespace norvel::engine {

// A request's time limit, checked by the search's stop poll on the thread
// that runs it: a request over its limit really stops, rather than being
// abandoned to run on.
struct RequestDeadline {
  std::optional<std::chrono::steady_clock::time_point> at;

  static RequestDeadline after(std::optional<double> seconds) {
    if (!seconds) return {};
    // A limit beyond any request's life (or infinite) is no limit; the
    // duration cast would overflow on it.
    if (!(*seconds < 1e9)) return {};
    const auto span = std::chrono::duration<double>(*seconds > 0.0 ? *seconds : 0.0);
    return {std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(span)};
  }

  bool passed() const { return at && std::chrono::steady_clock::now() >= *at; }
};

}  // namespace norvel::engine
