#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "graph/large_page_allocator.hpp"
#include "graph/radix_queue.hpp"

namespace norvel {
namespace {

struct Entry {
  double distance_m;
  double risk;
  std::uint32_t place;
  std::uint32_t id;
};

auto order_of(const Entry& e) { return std::tuple(e.distance_m, e.risk, e.place); }

// A label search's use of the queue: each pop pushes entries at least as
// large; costs drawn from a few sizes so that pairs tie often, with zeros,
// negative zeros, integers, decimals and tiny values. Popped in the order
// of (distance, risk, place), whatever the bits of the doubles.
TEST(RadixQueue, PopsPairsInOrderAsASearchPushesThem) {
  std::mt19937_64 random(7);
  const std::vector<double> steps = {0.0, -0.0, -0.0, -0.0, 1.0, 2.0, 0.1, 0.7, 1e-300, 5e-324, 12.5, 1e6};
  for (int round = 0; round < 200; ++round) {
    RadixQueue<Entry> queue;
    std::vector<Entry> waiting;  // the model: what the queue holds
    std::uint32_t made = 0;
    auto push = [&](double distance, double risk) {
      const Entry entry{distance, risk, static_cast<std::uint32_t>(random() % 3), made++};
      queue.push(entry);
      waiting.push_back(entry);
    };
    // A sum that starts at -0.0 stays there while it adds zeros of either
    // sign: it ties with +0.0.
    push(-0.0, -0.0);
    push(0.0, -0.0);
    std::size_t popped = 0;
    while (!queue.empty() && popped < 3000) {
      const Entry top = queue.pop();
      ++popped;
      const auto least = std::min_element(waiting.begin(), waiting.end(),
                                          [](const Entry& a, const Entry& b) { return order_of(a) < order_of(b); });
      ASSERT_EQ(order_of(top), order_of(*least)) << "round " << round << ", pop " << popped;
      const auto held = std::find_if(waiting.begin(), waiting.end(), [&](const Entry& e) { return e.id == top.id; });
      ASSERT_NE(held, waiting.end());
      waiting.erase(held);
      for (std::uint64_t more = random() % 4; more > 0; --more) {
        push(top.distance_m + steps[random() % steps.size()], top.risk + steps[random() % steps.size()]);
      }
    }
    EXPECT_EQ(queue.size(), waiting.size());
  }
}

// Arrays past the large page size and below it hold and free what they are
// given (the sanitizers watch the two ways of allocating).
TEST(LargePageAllocator, HoldsArraysOfEitherSize) {
  for (std::size_t count : {std::size_t{10}, std::size_t{1} << 19, (std::size_t{1} << 19) + 3}) {
    std::vector<std::uint64_t, LargePageAllocator<std::uint64_t>> values(count);
    for (std::size_t i = 0; i < count; ++i) values[i] = i * 3;
    values.push_back(1);
    EXPECT_EQ(values[count - 1], (count - 1) * 3);
    EXPECT_EQ(values.back(), 1u);
  }
}

}  // namespace
}  // namespace norvel
