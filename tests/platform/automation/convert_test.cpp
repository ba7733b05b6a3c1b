#include "platform/automation/convert.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <string>

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
  EXPECT_EQ(ErrorOf([] { ToR4(Variant(HUGE_VAL)); }), err::kOverflow);
  EXPECT_EQ(ErrorOf([] { ToR4(Variant(-HUGE_VAL)); }), err::kOverflow);
  EXPECT_EQ(ToR4(Variant(-3.4e38)), -3.4e38f);
  EXPECT_EQ(ErrorOf([] { ToI2(Variant(HUGE_VAL)); }), err::kOverflow);
  EXPECT_EQ(ErrorOf([] { ToI4(Variant(std::nan(""))); }), err::kOverflow);
}

TEST(Convert, HalvesNearZeroAndAtTheLimitsOfADouble) {
  EXPECT_EQ(ToI2(Variant(-0.5)), 0);
  EXPECT_EQ(ToI2(Variant(0.5)), 0);
  EXPECT_EQ(ToI2(Variant(-1.5)), -2);
  EXPECT_EQ(ToI2(Variant(0.49999999999999994)), 0);
  EXPECT_EQ(ToI2(Variant(-32768.5)), -32768);
  EXPECT_EQ(ErrorOf([] { ToI2(Variant(-32769.5)); }), err::kOverflow);
  EXPECT_EQ(ErrorOf([] { ToI4(Variant(2147483647.5)); }), err::kOverflow);
  EXPECT_EQ(ToI4(Variant(-2147483648.5)), INT32_MIN);
  // 2^52 - 0.5 is the largest double with a half; it goes to the even 2^52.
  EXPECT_EQ(RoundHalfEven(4503599627370495.5), 4503599627370496.0);
  EXPECT_EQ(RoundHalfEven(4503599627370494.5), 4503599627370494.0);
  EXPECT_EQ(RoundHalfEven(1e300), 1e300);
  EXPECT_TRUE(std::isnan(RoundHalfEven(std::nan(""))));
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
  EXPECT_EQ(ParseNumber("-1e-99999999999999999999"), 0);
  EXPECT_EQ(ParseNumber("0e99999"), 0);
  // Overflow or underflow follows the magnitude, not the exponent's sign.
  const std::string huge = "1" + std::string(400, '0');
  EXPECT_EQ(ErrorOf([&] { ParseNumber(huge + "E-1"); }), err::kOverflow);
  EXPECT_EQ(ErrorOf([&] { ParseNumber(huge + ".5e-80"); }), err::kOverflow);
  EXPECT_EQ(ParseNumber("0." + std::string(400, '0') + "1E+50"), 0);
  EXPECT_EQ(ParseNumber(huge + "e-399"), 10);
  EXPECT_EQ(ErrorOf([] { ParseNumber("&H100000000"); }), err::kOverflow);
  EXPECT_EQ(ParseNumber("&HFFFFFFFF"), -1);
  EXPECT_EQ(ParseNumber("&H8000"), -32768);
}

TEST(Convert, WhiteSpaceAroundANumber) {
  EXPECT_EQ(ParseNumber("\t12\r\n"), 12);
  EXPECT_EQ(ParseNumber("\n -3.5 \f"), -3.5);
  EXPECT_EQ(ParseNumber(" &H10 "), 16);
  EXPECT_EQ(ToI2(Variant("7\r\n")), 7);
  EXPECT_FALSE(TryParseNumber("1\n2").has_value());
  EXPECT_FALSE(TryParseNumber("- 1").has_value());
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
  const std::string saved = old ? old : "C";
  bool comma = false;
  for (const char* name :
       {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "nl_NL.UTF-8"}) {
    if (std::setlocale(LC_ALL, name) != nullptr && *std::localeconv()->decimal_point == ',') {
      comma = true;
      break;
    }
  }
  if (!comma) {
    std::setlocale(LC_ALL, saved.c_str());
    GTEST_SKIP() << "no locale with a decimal comma is installed";
  }
  EXPECT_EQ(FormatNumber(2.5), "2.5");
  EXPECT_EQ(ToText(Variant(0.25f)), "0.25");
  EXPECT_EQ(ParseNumber("2.5"), 2.5);
  EXPECT_FALSE(TryParseNumber("2,5").has_value());
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
  EXPECT_EQ(ErrorOf([] { IsPositive(Variant(std::vector<std::uint8_t>{1})); }), err::kTypeMismatch);
}

// A boolean converts from "True" and "False", but a numeric test compares
// only text that reads as a number: other text is a type mismatch.
TEST(Tests, BooleanWordsAreNoNumbers) {
  EXPECT_EQ(ErrorOf([] { IsZeroOrOne(Variant("True")); }), err::kTypeMismatch);
  EXPECT_EQ(ErrorOf([] { IsZeroOrOne(Variant("false")); }), err::kTypeMismatch);
  EXPECT_EQ(ErrorOf([] { IsNonZero(Variant(" TRUE ")); }), err::kTypeMismatch);
  EXPECT_EQ(ErrorOf([] { IsIn1To8(Variant("False")); }), err::kTypeMismatch);
  // A boolean subtype is a number (-1 or 0).
  EXPECT_FALSE(IsZeroOrOne(Variant::Bool(true)));
  EXPECT_TRUE(IsZeroOrOne(Variant::Bool(false)));
  EXPECT_TRUE(IsNonZero(Variant::Bool(true)));
  EXPECT_TRUE(ToBool(Variant("True")));
}

}  // namespace
}  // namespace qz

namespace qz {
namespace {

// The tests here are written with English numbers: whatever locale the
// environment names, they run with the English rules.
class EnglishNumbers : public ::testing::Environment {
 public:
  void SetUp() override { SetNumberLocale("C"); }
};
[[maybe_unused]] ::testing::Environment* const kEnglishNumbers =
    ::testing::AddGlobalTestEnvironment(new EnglishNumbers);

// Sets the number locale for one test and puts the English rules back.
class NumberLocaleScope {
 public:
  explicit NumberLocaleScope(const char* name) : ok_(SetNumberLocale(name)) {}
  ~NumberLocaleScope() { SetNumberLocale("C"); }
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

TEST(ConvertLocale, EnglishRulesInTheCLocale) {
  NumberLocaleScope scope("C");
  ASSERT_TRUE(scope.ok());
  EXPECT_EQ(ParseNumber("1,000"), 1000);
  EXPECT_EQ(ParseNumber("1,234,567.5"), 1234567.5);
  EXPECT_EQ(ParseNumber(" $1,234.50 "), 1234.5);
  EXPECT_EQ(ParseNumber("-$5"), -5);
  EXPECT_EQ(ParseNumber("$-5"), -5);
  EXPECT_EQ(ParseNumber("(12)"), -12);
  EXPECT_EQ(ParseNumber("($1,000.25)"), -1000.25);
  EXPECT_EQ(ParseNumber("12-"), -12);
  EXPECT_EQ(ParseNumber("12+"), 12);
  EXPECT_EQ(ParseNumber("5$"), 5);
  EXPECT_EQ(ParseNumber("1,000e3"), 1e6);
  EXPECT_EQ(ToI4(Variant("1,234")), 1234);
  EXPECT_EQ(ToR8(Variant("(2.5)")), -2.5);
  for (const char* bad :
       {"1,5", "1,00", "1,0000", ",100", "1,000,00", "1234,567", "(12", "12)", "-12-", "(-12)", "$",
        "()", "-$", "$$5", "1,000.5.5", "1.000,5", "- 1", "$ 5", "1 ,000"}) {
    EXPECT_FALSE(TryParseNumber(bad).has_value()) << bad;
  }
  EXPECT_FALSE(TryParsePlainNumber("1,000").has_value()) << "literals have the plain form only";
  EXPECT_EQ(TryParsePlainNumber("2.5").value(), 2.5);
}

TEST(ConvertLocale, ALocaleWithADecimalComma) {
  NumberLocaleScope scope("de_DE.UTF-8");
  if (!scope.ok()) GTEST_SKIP() << "de_DE.UTF-8 is not installed";
  NumberLocale loc = CurrentNumberLocale();
  EXPECT_EQ(loc.decimal_point, ",");
  EXPECT_EQ(ParseNumber("2,5"), 2.5);
  EXPECT_EQ(ParseNumber("1.234,5"), 1234.5);
  EXPECT_EQ(ParseNumber("-1.000"), -1000);
  EXPECT_EQ(ParseNumber(loc.currency + "3,25"), 3.25);
  EXPECT_EQ(ParseNumber("3,25" + loc.currency), 3.25);
  EXPECT_FALSE(TryParseNumber("2.5").has_value()) << "a lone '.' is a misplaced group separator";
  EXPECT_EQ(ParseNumber("&H10"), 16);
  EXPECT_EQ(FormatNumber(2.5), "2.5") << "numbers are written with '.' whatever the locale";
  EXPECT_EQ(TryParsePlainNumber("2.5").value(), 2.5);
}

TEST(ConvertLocale, UnknownLocalesChangeNothing) {
  NumberLocaleScope scope("xx_NOWHERE.UTF-8");
  EXPECT_FALSE(scope.ok());
  EXPECT_EQ(ParseNumber("1,000"), 1000);
}

}  // namespace
}  // namespace qz
