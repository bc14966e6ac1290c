#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "base/numeric.h"

namespace {

struct RoundCase {
  double x;
  int32_t expected;
};

}  // namespace

TEST(NearlyEqual, BoundsAreStrictInSinglePrecision) {
  EXPECT_FALSE(NearlyEqual(0.0f, 0.00001f));
  EXPECT_FALSE(NearlyEqual(0.00001f, 0.0f));
  EXPECT_FALSE(NearlyEqual(-0.00001f, 0.0f));
  EXPECT_TRUE(NearlyEqual(0.0f, 0.0000099f));
  EXPECT_TRUE(NearlyEqual(-0.0000099f, 0.0f));
  EXPECT_TRUE(NearlyEqual(0.0f, -0.0f));
  EXPECT_TRUE(NearlyEqual(1.0f, 1.0f));
  EXPECT_TRUE(NearlyEqual(0.5f, 0.500005f));
  EXPECT_FALSE(NearlyEqual(0.5f, 0.50002f));
}

TEST(NearlyEqual, NaNIsNeverNearlyEqual) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_FALSE(NearlyEqual(nan, 0.0f));
  EXPECT_FALSE(NearlyEqual(0.0f, nan));
  EXPECT_FALSE(NearlyEqual(nan, nan));
}

TEST(RoundToInt, HalvesGoAwayFromZero) {
  const RoundCase cases[] = {
      {2.5, 3},       {-2.5, -3},     {0.5, 1},    {-0.5, -1},     {1.49999, 1}, {-1.49999, -1},
      {0.49999, 0},   {-0.49999, 0},  {0.0, 0},    {-0.0, 0},      {7.0, 7},     {-7.0, -7},
      // Around the switch at -0.00001: both sides round to 0.
      {-0.000005, 0}, {static_cast<double>(-0.00001f), 0},         {-0.00002, 0},
  };
  for (const RoundCase& c : cases) {
    SCOPED_TRACE(c.x);
    EXPECT_EQ(RoundToInt(c.x), c.expected);
  }
}

TEST(RoundToInt, ValuesBeyondTheInt32RangeClamp) {
  const double inf = std::numeric_limits<double>::infinity();
  const RoundCase cases[] = {
      {2147483646.4, 2147483646}, {2147483646.5, INT32_MAX}, {2147483647.0, INT32_MAX}, {1e300, INT32_MAX},
      {inf, INT32_MAX},           {-2147483647.4, -2147483647}, {-2147483648.0, INT32_MIN},
      {-1e300, INT32_MIN},        {-inf, INT32_MIN},
  };
  for (const RoundCase& c : cases) {
    SCOPED_TRACE(c.x);
    EXPECT_EQ(RoundToInt(c.x), c.expected);
  }
  EXPECT_EQ(RoundToInt(std::numeric_limits<double>::quiet_NaN()), 0);
}
