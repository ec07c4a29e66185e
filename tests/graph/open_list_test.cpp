#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "graph/heuristic.hpp"
#include "graph/open_list.hpp"
#include "graph/pareto_front.hpp"
#include "graph/search_order.hpp"

namespace norvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct OpenKey {
  double priority;
  double distance;
  double risk;
  std::uint32_t label;
};

OpenKey make_open_key(double priority, double distance, double risk, std::uint32_t label) {
  return OpenKey{priority, distance, risk, label};
}

bool key_before(const OpenKey& x, const OpenKey& y) {
  return comes_before(priority_key(x.priority), x.distance, x.risk, priority_key(y.priority), y.distance, y.risk);
}

void open_list_push(std::vector<OpenKey>& heap, OpenKey key) { norvel::open_list_push(heap, key, key_before); }
OpenKey open_list_pop(std::vector<OpenKey>& heap) { return norvel::open_list_pop(heap, key_before); }

std::vector<std::uint32_t> drain(std::vector<OpenKey>& heap) {
  std::vector<std::uint32_t> order;
  while (!heap.empty()) order.push_back(open_list_pop(heap).label);
  return order;
}

TEST(OpenList, TiedLabelsLeaveInTheOrderTheHeapMovesGive) {
  // Worked by hand: all tied, pushes never move; each pop pulls the right
  // child up unless the left one comes strictly first.
  std::vector<OpenKey> heap;
  for (std::uint32_t label = 0; label < 5; ++label) open_list_push(heap, make_open_key(1.0, 2.0, 3.0, label));
  EXPECT_EQ(drain(heap), (std::vector<std::uint32_t>{0, 2, 4, 1, 3}));
}

TEST(OpenList, OrdersByPriorityThenDistanceThenRiskInTotalOrder) {
  std::vector<OpenKey> heap;
  open_list_push(heap, make_open_key(kNaN, 0.0, 0.0, 0));
  open_list_push(heap, make_open_key(5.0, 1.0, 0.0, 1));
  open_list_push(heap, make_open_key(5.0, 0.0, 1.0, 2));
  open_list_push(heap, make_open_key(5.0, -0.0, 2.0, 3));  // -0.0 comes before +0.0
  open_list_push(heap, make_open_key(kInf, 0.0, 0.0, 4));
  open_list_push(heap, make_open_key(-kInf, 9.0, 9.0, 5));
  open_list_push(heap, make_open_key(5.0, 0.0, 0.5, 6));
  EXPECT_EQ(drain(heap), (std::vector<std::uint32_t>{5, 3, 6, 2, 1, 4, 0}));
}

TEST(OpenList, PrioritiesCompareAsNumbersAndNaNsAreAllEqual) {
  EXPECT_EQ(priority_key(-0.0), priority_key(0.0));
  EXPECT_EQ(priority_key(kNaN), priority_key(-kNaN));
  EXPECT_LT(priority_key(kInf), priority_key(kNaN));
  // Distances and risks use totalOrder, signed NaNs at both ends.
  EXPECT_LT(total_order_key(-kNaN), total_order_key(-kInf));
  EXPECT_LT(total_order_key(-0.0), total_order_key(0.0));
  EXPECT_LT(total_order_key(kInf), total_order_key(kNaN));
  EXPECT_LT(total_order_key(-2.0), total_order_key(-1.0));
  // Two NaN priorities tie, so distance decides.
  std::vector<OpenKey> heap;
  open_list_push(heap, make_open_key(kNaN, 2.0, 0.0, 0));
  open_list_push(heap, make_open_key(-kNaN, 1.0, 0.0, 1));
  EXPECT_EQ(drain(heap), (std::vector<std::uint32_t>{1, 0}));
}

TEST(OpenList, RandomKeysPopInSortedOrder) {
  std::vector<OpenKey> heap;
  std::uint64_t state = 12345;
  for (std::uint32_t i = 0; i < 2000; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    open_list_push(heap, make_open_key(static_cast<double>(state >> 60), static_cast<double>((state >> 56) & 3), 0.0, i));
  }
  OpenKey previous = open_list_pop(heap);
  while (!heap.empty()) {
    OpenKey next = open_list_pop(heap);
    EXPECT_FALSE(key_before(next, previous));
    previous = next;
  }
}

struct Costs {
  PathCosts costs;
  int tag;
};

std::vector<int> tags(const std::vector<Costs>& front) {
  std::vector<int> result;
  for (const Costs& entry : front) result.push_back(entry.tag);
  return result;
}

TEST(FrontInsert, DropsDominatedEvictsDominatedAndKeepsOrder) {
  std::vector<Costs> front;
  front_insert(front, Costs{{10, 5, 0}, 1});
  front_insert(front, Costs{{5, 10, 0}, 2});
  front_insert(front, Costs{{10, 5, 7}, 3});  // equal costs stand side by side
  EXPECT_EQ(tags(front), (std::vector<int>{1, 2, 3}));
  EXPECT_FALSE(front_insert(front, Costs{{11, 5, 0}, 4}));  // strictly dominated: dropped
  EXPECT_EQ(tags(front), (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(front_insert(front, Costs{{10, 4, 0}, 5}));  // evicts 1 and 3, 2 keeps its place
  EXPECT_EQ(tags(front), (std::vector<int>{2, 5}));
  front_insert(front, Costs{{kNaN, 0, 0}, 6});  // NaN is never dominated, never dominates
  front_insert(front, Costs{{0, 0, 0}, 7});
  EXPECT_EQ(tags(front), (std::vector<int>{6, 7}));
}

TEST(Heuristic, WorkedDistancesAndExactZeroAtTheSamePlace) {
  EXPECT_NEAR(heuristic_distance_m(48.0, 2.0, 48.0, 3.0), 74400.0, 100.0);
  EXPECT_NEAR(heuristic_distance_m(0.0, 0.0, 0.0, 1.0), 111200.0, 100.0);
  EXPECT_EQ(heuristic_distance_m(48.0, 2.0, 48.0, 2.0), 0.0);
  EXPECT_EQ(label_priority(110.0, 0.2, 0.0, 0.0), 210.0);
  EXPECT_EQ(label_priority(105.0, 0.5, 0.0, 0.0), 355.0);
  EXPECT_EQ(label_priority(10.0, 0.0, 1.0, 0.0), -190.0);
}

}  // namespace
}  // namespace norvel
