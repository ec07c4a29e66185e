// The C++ great-circle distance against the table that the Python tests
// read as well (tests/norvel/test_earth.py): both must give its metres.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/earth.hpp"

namespace {

struct Case {
  double lat1, lon1, lat2, lon2, metres;
  std::string why;
};

std::vector<Case> read_cases() {
  std::ifstream in(NORVEL_GREAT_CIRCLE_CASES);
  std::vector<Case> cases;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Case c{};
    fields >> c.lat1 >> c.lon1 >> c.lat2 >> c.lon2 >> c.metres;
    std::getline(fields, c.why);
    cases.push_back(c);
  }
  return cases;
}

// Rounding, and the conditioning of a sine near pi across the date line,
// stay below this; a radius off by a metre is 1.6e-7 off.
constexpr double kRelative = 1e-12;

TEST(Earth, TheRadiusIsTheMeanRadiusOfNorvelEarth) { EXPECT_EQ(norvel::earth::kMeanRadiusM, 6371008.8); }

TEST(Earth, HaversineGivesTheTablesMetres) {
  const std::vector<Case> cases = read_cases();
  ASSERT_GE(cases.size(), 15U) << "cannot read " << NORVEL_GREAT_CIRCLE_CASES;
  for (const Case& c : cases) {
    const double there = norvel::earth::haversine_m(c.lat1, c.lon1, c.lat2, c.lon2);
    EXPECT_NEAR(there, c.metres, c.metres * kRelative + 1e-12) << c.why;
    // The same both ways, to the bit.
    EXPECT_EQ(there, norvel::earth::haversine_m(c.lat2, c.lon2, c.lat1, c.lon1)) << c.why;
  }
}

}  // namespace
