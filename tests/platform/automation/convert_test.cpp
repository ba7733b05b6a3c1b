#include "platform/automation/convert.h"

#include <gtest/gtest.h>

#include <clocale>

#include "platform/automation/error.h"

namespace qz {
namespace {

// Runs f and answers the number of the Error it raised, or 0.
template <class F>
int ErrorOf(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

TEST(Convert, IntegersRoundHalfToEven) {
  EXPECT_EQ(ToI2(Variant(2.5)), 2);
  EXPECT_EQ(ToI2(Variant(3.5)), 4);
  EXPECT_EQ(ToI2(Variant(-2.5)), -2);
  EXPECT_EQ(ToI2(Variant(-3.5)), -4);
  EXPECT_EQ(ToI2(Variant(2.4999)), 2);
  EXPECT_EQ(ToI4(Variant(0.5)), 0);
  EXPECT_EQ(ToI4(Variant(1.5)), 2);
  EXPECT_EQ(ToI4(Variant("2.5")), 2);
}

TEST(Convert, SixteenBitBoundaries) {
  EXPECT_EQ(ToI2(Variant(-32768.0)), -32768);
  EXPECT_EQ(ToI2(Variant(32767)), 32767);
  EXPECT_EQ(ErrorOf([] { ToI2(Variant(32768)); }), err::kOverflow);
  EXPECT_EQ(ErrorOf([] { ToI2(Variant(-32769)); }), err::kOverflow);
  EXPECT_EQ(ErrorOf([] { ToI2(Variant(32767.5)); }), err::kOverflow);  // rounds to 32768
  EXPECT_EQ(ToI2(Variant(32766.5)), 32766);
  EXPECT_EQ(ErrorOf([] { ToI4(Variant(2147483648.0)); }), err::kOverflow);
  EXPECT_EQ(ToI4(Variant(-2147483648.0)), INT32_MIN);
  EXPECT_EQ(ErrorOf([] { ToR4(Variant(1e300)); }), err::kOverflow);
}

TEST(Convert, TextThatReadsAsNumber) {
  EXPECT_EQ(ParseNumber("3"), 3);
  EXPECT_EQ(ParseNumber("  -4.25  "), -4.25);
  EXPECT_EQ(ParseNumber("+.5"), 0.5);
  EXPECT_EQ(ParseNumber("5."), 5);
  EXPECT_EQ(ParseNumber("1.5E3"), 1500);
  EXPECT_EQ(ParseNumber("1d-2"), 0.01);
  EXPECT_EQ(ParseNumber("&HFF"), 255);
  EXPECT_EQ(ParseNumber("&hffff"), -1);
  EXPECT_EQ(ParseNumber("&H10000"), 65536);
  EXPECT_EQ(ParseNumber("&O17"), 15);
  for (const char* bad : {"", " ", "big", "1,5", "1.2.3", "--1", "1e", "e5", ".", "&H", "&HG",
                          "&O8", "1 2", "0x10", "Infinity", "nan"}) {
    EXPECT_FALSE(TryParseNumber(bad).has_value()) << bad;
    EXPECT_EQ(ErrorOf([&] { ToR8(Variant(bad)); }), err::kTypeMismatch) << bad;
  }
  EXPECT_EQ(ErrorOf([] { ParseNumber("1e400"); }), err::kOverflow);
  EXPECT_EQ(ParseNumber("1e-400"), 0);
}

TEST(Convert, NumberToText) {
  EXPECT_EQ(FormatNumber(2.5), "2.5");
  EXPECT_EQ(FormatNumber(0.0), "0");
  EXPECT_EQ(FormatNumber(-0.0), "0");
  EXPECT_EQ(FormatNumber(-50.0), "-50");
  EXPECT_EQ(FormatNumber(1e14), "100000000000000");
  EXPECT_EQ(FormatNumber(1e15), "1E+15");
  EXPECT_EQ(FormatNumber(1.5e-7), "1.5E-07");
  EXPECT_EQ(FormatNumber(0.1 + 0.2), "0.3");
  EXPECT_EQ(FormatNumber(1.0 / 3.0), "0.333333333333333");
  EXPECT_EQ(FormatNumber(0.5f), "0.5");
  EXPECT_EQ(FormatNumber(0.1f), "0.1");
  EXPECT_EQ(ToText(Variant::Bool(true)), "True");
  EXPECT_EQ(ToText(Variant::Bool(false)), "False");
  EXPECT_EQ(ToText(Variant(std::int16_t{-7})), "-7");
  EXPECT_EQ(ToText(Variant()), "");
}

TEST(Convert, LocaleDoesNotChangeTheDecimalSeparator) {
  const char* old = std::setlocale(LC_ALL, nullptr);
  std::string saved = old ? old : "C";
  // de_DE may not exist here; C.UTF-8 still exercises the path.
  std::setlocale(LC_ALL, "de_DE.UTF-8");
  EXPECT_EQ(FormatNumber(2.5), "2.5");
  EXPECT_EQ(ParseNumber("2.5"), 2.5);
  std::setlocale(LC_ALL, saved.c_str());
}

TEST(Convert, BooleansAndNullAndEmpty) {
  EXPECT_TRUE(ToBool(Variant(2)));
  EXPECT_FALSE(ToBool(Variant(0.0)));
  EXPECT_TRUE(ToBool(Variant("tRUE")));
  EXPECT_FALSE(ToBool(Variant("FALSE")));
  EXPECT_EQ(ToVariantBool(Variant(-0.4)), VARIANT_TRUE);
  EXPECT_EQ(ErrorOf([] { ToBool(Variant("yes")); }), err::kTypeMismatch);
  EXPECT_EQ(ToI2(Variant()), 0);
  EXPECT_EQ(ToR8(Variant()), 0);
  for (auto f : {+[] { ToI2(Variant::Null()); }, +[] { ToR8(Variant::Null()); },
                 +[] { ToText(Variant::Null()); }, +[] { ToBool(Variant::Null()); }}) {
    EXPECT_EQ(ErrorOf(f), err::kInvalidUseOfNull);
  }
  EXPECT_EQ(ErrorOf([] { ToI2(Variant(std::vector<std::uint8_t>{1})); }), err::kTypeMismatch);
}

TEST(Convert, ChangeTypeKeepsSubtypes) {
  EXPECT_EQ(ChangeType(Variant(255.0), VarType::I2), Variant(std::int16_t{255}));
  EXPECT_EQ(ChangeType(Variant("7"), VarType::I4), Variant(std::int32_t{7}));
  EXPECT_EQ(ChangeType(Variant(3), VarType::Bool), Variant::Bool(true));
  EXPECT_EQ(ChangeType(Variant(3), VarType::String), Variant("3"));
}

TEST(Tests, EmptyNullAndText) {
  const Variant empty, null = Variant::Null();
  EXPECT_FALSE(HasText(empty));
  EXPECT_FALSE(HasText(null));
  EXPECT_TRUE(HasText(Variant(0)));  // "0"
  EXPECT_FALSE(HasText(Variant("")));

  EXPECT_FALSE(IsPositive(empty));
  EXPECT_FALSE(IsPositive(null));
  EXPECT_TRUE(IsPositive(Variant("0.5")));
  EXPECT_FALSE(IsNonZero(empty));
  EXPECT_FALSE(IsNonZero(null));
  EXPECT_TRUE(IsNonZero(Variant(-50)));

  EXPECT_TRUE(IsIn0To4(empty));
  EXPECT_FALSE(IsIn0To4(null));
  EXPECT_TRUE(IsIn0To4(Variant(4)));
  EXPECT_FALSE(IsIn0To4(Variant(5)));
  EXPECT_FALSE(IsIn0To4(Variant(-1)));

  EXPECT_TRUE(IsZeroOrOne(empty));
  EXPECT_FALSE(IsZeroOrOne(null));
  EXPECT_FALSE(IsZeroOrOne(Variant(-1)));
  EXPECT_FALSE(IsZeroOrOne(Variant(2)));
  EXPECT_TRUE(IsZeroOrOne(Variant("1")));

  EXPECT_FALSE(IsIn1To8(empty));
  EXPECT_FALSE(IsIn1To8(null));
  EXPECT_TRUE(IsIn1To8(Variant(8.5)));
  EXPECT_FALSE(IsIn1To8(Variant(9)));
  EXPECT_FALSE(IsIn1To8(Variant(0)));

  EXPECT_EQ(ErrorOf([] { IsPositive(Variant("big")); }), err::kTypeMismatch);
  EXPECT_EQ(ErrorOf([] { IsIn0To4(Variant("x")); }), err::kTypeMismatch);
}

}  // namespace
}  // namespace qz
