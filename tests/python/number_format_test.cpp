#include "python/number_format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace norvel::python {
namespace {

TEST(FormatFixed, ExactTiesGoToTheEvenDigit) {
  EXPECT_EQ(format_fixed(0.5, 0), "0");
  EXPECT_EQ(format_fixed(1.5, 0), "2");
  EXPECT_EQ(format_fixed(2.5, 0), "2");
  EXPECT_EQ(format_fixed(12.5, 0), "12");
  EXPECT_EQ(format_fixed(13.5, 0), "14");
  EXPECT_EQ(format_fixed(0.0625, 3), "0.062");
  EXPECT_EQ(format_fixed(0.25, 1), "0.2");
  EXPECT_EQ(format_fixed(0.75, 1), "0.8");
  EXPECT_EQ(format_fixed(-2.5, 0), "-2");
}

TEST(FormatFixed, RoundsTheExactBinaryValue) {
  // The double nearest 0.0005 lies just above the tie.
  EXPECT_EQ(format_fixed(0.0005, 3), "0.001");
  // The double nearest 0.15 lies just below the tie.
  EXPECT_EQ(format_fixed(0.15, 1), "0.1");
  EXPECT_EQ(format_fixed(18.5, 1), "18.5");
  EXPECT_EQ(format_fixed(0.25, 3), "0.250");
  EXPECT_EQ(format_fixed(105.0, 0), "105");
}

TEST(FormatFixed, KeepsTheSignOfNegativeZeroAndOfTinyNegatives) {
  EXPECT_EQ(format_fixed(-0.0, 0), "-0");
  EXPECT_EQ(format_fixed(-0.0, 3), "-0.000");
  EXPECT_EQ(format_fixed(-0.0001, 3), "-0.000");
  EXPECT_EQ(format_fixed(0.0, 1), "0.0");
}

TEST(FormatFixed, NeverUsesAnExponent) {
  EXPECT_EQ(format_fixed(1e22, 0), "10000000000000000000000");
  EXPECT_EQ(format_fixed(1e-300, 3), "0.000");
  const std::string largest = format_fixed(std::numeric_limits<double>::max(), 3);
  EXPECT_EQ(largest.size(), 309u + 4u);
  EXPECT_EQ(largest.substr(0, 6), "179769");
  EXPECT_EQ(largest.substr(largest.size() - 4), ".000");
  EXPECT_EQ(format_fixed(-std::numeric_limits<double>::max(), 0).size(), 310u);
}

TEST(FormatFixed, NonFiniteValuesIgnoreThePrecision) {
  for (int digits : {0, 1, 3}) {
    EXPECT_EQ(format_fixed(std::numeric_limits<double>::quiet_NaN(), digits), "NaN");
    EXPECT_EQ(format_fixed(-std::numeric_limits<double>::quiet_NaN(), digits), "NaN");
    EXPECT_EQ(format_fixed(std::numeric_limits<double>::infinity(), digits), "inf");
    EXPECT_EQ(format_fixed(-std::numeric_limits<double>::infinity(), digits), "-inf");
  }
}

}  // namespace
}  // namespace norvel::python
