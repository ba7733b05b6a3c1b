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
  EXPECT_EQ(FormatTick(2e-300, tiny), "2e\u2212300");
  EXPECT_EQ(FormatTick(NAN, t), "");
  Scale quarter{0, 10, 2.5, 4};
  EXPECT_EQ(FormatTick(5, quarter), "5.0");
  Scale eighth{0, 1, 0.125, 8};
  EXPECT_EQ(FormatTick(0.5, eighth), "0.500");
}

TEST(FormatNumber, GroupsThousandsWithATrueMinus) {
  EXPECT_EQ(FormatNumber(700000000, 0), "700,000,000");
  EXPECT_EQ(FormatNumber(5000000, 0), "5,000,000");
  EXPECT_EQ(FormatNumber(-15000, 0), "\u221215,000");
  EXPECT_EQ(FormatNumber(999, 0), "999");
  EXPECT_EQ(FormatNumber(1000, 0), "1,000");
  EXPECT_EQ(FormatNumber(-1234567.891, 2), "\u22121,234,567.89");
  EXPECT_EQ(FormatNumber(0.25, 2), "0.25");
  // Rounding to zero drops the sign; rounding up may add a group.
  EXPECT_EQ(FormatNumber(-0.004, 2), "0.00");
  EXPECT_EQ(FormatNumber(999999.6, 0), "1,000,000");
  EXPECT_EQ(FormatNumber(NAN, 0), "");
  EXPECT_EQ(FormatNumber(1e300, 0).size(), 301u + 100u);  // every digit grouped
}

TEST(FormatTick, AxisTextsOfLargeAndNegativeScales) {
  Scale money{-20000, 100000, 20000, 6};
  EXPECT_EQ(FormatTick(-20000, money), "\u221220,000");
  EXPECT_EQ(FormatTick(100000, money), "100,000");
  Scale big{0, 800000000, 100000000, 8};
  EXPECT_EQ(FormatTick(700000000, big), "700,000,000");
  // Below 1e15 values stay written out; only the shortened form uses suffixes.
  Scale trillions{0, 5e14, 1e14, 5};
  EXPECT_EQ(FormatTick(3e14, trillions), "300,000,000,000,000");
  EXPECT_EQ(FormatTickShort(3e14, trillions), "300T");
}

TEST(FormatTickShort, SuffixesWithDecimalsForTheStep) {
  Scale s{0, 15e6, 2.5e6, 6};
  EXPECT_EQ(FormatTickShort(12.5e6, s), "12.5M");
  EXPECT_EQ(FormatTickShort(5e6, s), "5.0M");
  EXPECT_EQ(FormatTickShort(0, s), "0");
  Scale k{-5000, 5000, 1000, 10};
  EXPECT_EQ(FormatTickShort(-3000, k), "\u22123K");
  Scale b{0, 4e9, 1e9, 4};
  EXPECT_EQ(FormatTickShort(2e9, b), "2B");
  // Small scales are not shortened.
  Scale small{0, 500, 100, 5};
  EXPECT_EQ(FormatTickShort(300, small), "300");
}

}  // namespace
}  // namespace qz::chart::render
