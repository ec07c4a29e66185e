#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace norvel {

// The keys of the search order, kept apart from the heaps that use them:
// the route selection and the known routes compare by them too, and every
// heap must order labels by exactly these bits.

// A double mapped to an unsigned key whose integer order is the IEEE 754
// totalOrder (-NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN).
inline std::uint64_t total_order_key(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// Priorities compare as ordinary numbers (so -0.0 equals +0.0) except that
// every NaN is equal to every other NaN and after all numbers.
inline std::uint64_t priority_key(double priority) {
  if (std::isnan(priority)) return UINT64_MAX;
  if (priority == 0.0) return total_order_key(0.0);
  return total_order_key(priority);
}

// The search order: priority first, then distance and risk in totalOrder.
// Labels equal in all three are tied.
inline bool comes_before(std::uint64_t x_priority, double x_distance, double x_risk, std::uint64_t y_priority,
                         double y_distance, double y_risk) {
  if (x_priority != y_priority) return x_priority < y_priority;
  const std::uint64_t x_d = total_order_key(x_distance);
  const std::uint64_t y_d = total_order_key(y_distance);
  if (x_d != y_d) return x_d < y_d;
  return total_order_key(x_risk) < total_order_key(y_risk);
}

}  // namespace norvel
