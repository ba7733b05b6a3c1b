#include "platform/chart/render/scale.h"

#include <gtest/gtest.h>

#include <cmath>

namespace qz::chart::render {
namespace {

DataRange Range(double lo, double hi) {
  DataRange r;
  r.Add(lo);
  r.Add(hi);
  return r;
}

void ExpectSane(const Scale& s) {
  EXPECT_TRUE(std::isfinite(s.minimum));
  EXPECT_TRUE(std::isfinite(s.maximum));
  EXPECT_LT(s.minimum, s.maximum);
  EXPECT_GT(s.step, 0);
  EXPECT_TRUE(std::isfinite(s.step));
  EXPECT_GE(s.divisions, 1);
  EXPECT_LE(s.divisions, 1000);
}

TEST(AutoScale, RoundStepsAndZeroForBars) {
  Scale s = AutoScale(Range(10, 32), Zero::kIncluded, 7);
  EXPECT_EQ(s.minimum, 0);
  EXPECT_EQ(s.maximum, 35);
  EXPECT_EQ(s.step, 5);
  EXPECT_EQ(s.divisions, 7);
  Scale neg = AutoScale(Range(-13, 21), Zero::kIncluded, 5);
  EXPECT_LE(neg.minimum, -13);
  EXPECT_GE(neg.maximum, 21);
  EXPECT_DOUBLE_EQ(std::fmod(neg.minimum, neg.step), 0);
  // Lines keep a narrow band away from zero.
  Scale line = AutoScale(Range(1000, 1010), Zero::kOptional, 5);
  EXPECT_GE(line.minimum, 990);
  EXPECT_LE(line.maximum, 1020);
}

TEST(AutoScale, DegenerateRangesStayFinite) {
  ExpectSane(AutoScale(DataRange{}, Zero::kIncluded, 5));
  ExpectSane(AutoScale(Range(0, 0), Zero::kIncluded, 5));
  ExpectSane(AutoScale(Range(7, 7), Zero::kOptional, 5));
  ExpectSane(AutoScale(Range(1e-300, 1e300), Zero::kIncluded, 5));
  ExpectSane(AutoScale(Range(-1e308, 1e308), Zero::kIncluded, 5));
  ExpectSane(AutoScale(Range(1e-310, 2e-310), Zero::kOptional, 5));
  ExpectSane(AutoScale(Range(-1e300, -1e300), Zero::kOptional, 5));
  DataRange r;
  r.Add(NAN);
  r.Add(INFINITY);
  EXPECT_FALSE(r.any);
}

TEST(ResolveScale, ManualLimitsAreMadeUsable) {
  ValueScaleState m{false, 0, 100, 4};
  Scale s = ResolveScale(m, Range(1, 2), Zero::kIncluded, 5);
  EXPECT_EQ(s.minimum, 0);
  EXPECT_EQ(s.maximum, 100);
  EXPECT_EQ(s.divisions, 4);
  EXPECT_EQ(s.TickValue(1), 25);

  Scale swapped = ResolveScale({false, 50, 10, 4}, Range(1, 2), Zero::kIncluded, 5);
  EXPECT_EQ(swapped.minimum, 10);
  EXPECT_EQ(swapped.maximum, 50);

  Scale equal = ResolveScale({false, 5, 5, 4}, Range(1, 2), Zero::kIncluded, 5);
  ExpectSane(equal);

  for (std::int16_t div : {0, -3}) {
    Scale d = ResolveScale({false, 0, 37, div}, Range(1, 2), Zero::kIncluded, 5);
    ExpectSane(d);
    EXPECT_EQ(d.minimum, 0);
    EXPECT_EQ(d.maximum, 37);
    EXPECT_EQ(d.step, 10);  // a round step, not 37 / n
    EXPECT_EQ(d.TickValue(d.divisions), 30);
    EXPECT_FALSE(d.ends_at_maximum);
  }
  ExpectSane(ResolveScale({false, NAN, INFINITY, 10}, Range(1, 2), Zero::kIncluded, 5));
  ExpectSane(ResolveScale({false, -1e308, 1e308, 32767}, Range(1, 2), Zero::kIncluded, 5));
  // The automatic flag wins over any limits held.
  Scale a = ResolveScale({true, 500, 900, 2}, Range(10, 32), Zero::kIncluded, 7);
  EXPECT_EQ(a.maximum, 35);
}

TEST(FormatTick, DecimalsFollowTheStep) {
  Scale s{0, 1, 0.25, 4};
  EXPECT_EQ(FormatTick(0.25, s), "0.25");
  EXPECT_EQ(FormatTick(0, s), "0");
  Scale t{0, 35, 5, 7};
  EXPECT_EQ(FormatTick(35, t), "35");
  Scale big{0, 1e300, 2e299, 5};
  EXPECT_EQ(FormatTick(4e299, big), "4e+299");
  Scale tiny{0, 5e-300, 1e-300, 5};
  EXPECT_EQ(FormatTick(2e-300, tiny), "2e-300");
  EXPECT_EQ(FormatTick(NAN, t), "");
}

}  // namespace
}  // namespace qz::chart::render
