// The standard automation conversions between variant subtypes, and the
// numeric and text tests that composition applies to settings.
//
// Rules every caller can rely on:
// - Integers take the nearest integer, halves going to the even one
//   (2.5 -> 2, 3.5 -> 4, -2.5 -> -2); out of range raises Overflow (6).
// - Null fails every conversion with Invalid use of Null (94); empty
//   converts to 0 or to the empty text.
// - Text converts to a number only when it reads as one (ParseNumber); else
//   Type mismatch (13). Objects and byte arrays do not convert: Type mismatch.
// - Text reads by the number locale (NumberLocale): its decimal point and
//   thousands separator, and its currency symbol. Numbers are always written
//   with '.' (FormatNumber), whatever the locale.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/automation/variant.h"

namespace qz {

// Nearest integer, halves to the even neighbour; NaN stays NaN.
double RoundHalfEven(double x);

// The separators and currency symbol text is read with. By default the
// locale the environment names for LC_NUMERIC and LC_MONETARY (LC_ALL,
// LC_NUMERIC / LC_MONETARY, LANG), read once; the C and POSIX locales read by
// English rules: '.' decimal point, ',' thousands separator, '$' currency.
// The C library's own locale (setlocale) is never consulted.
struct NumberLocale {
  std::string decimal_point = ".";
  std::string thousands = ",";
  std::string currency = "$";
  std::string money_decimal_point = ".";
  std::string money_thousands = ",";
};
NumberLocale CurrentNumberLocale();
// Replaces the number locale for the whole process: the named locale's
// rules, English ones for "C" or "POSIX"; false (nothing changed) when the
// locale is not installed. For hosts that are told their locale and tests.
bool SetNumberLocale(const char* name);

// Text that "reads as a number": optional white space around (blanks, tabs,
// line ends); an optional leading sign or an opening parenthesis (a negative
// number closed by ')'), or a trailing sign instead; a currency symbol before
// or after the digits; digits with at most one decimal point (at least one
// digit), the whole part optionally grouped in threes by the thousands
// separator ("1,000", not "1,00"); an optional exponent (E or D, optional
// sign, digits). Separators and currency are the number locale's (a currency
// symbol brings its monetary separators). Or
// &H followed by hex digits, or &O followed by octal digits, with a value of
// at most 32 bits (a value up to &HFFFF is a 16-bit integer, so &HFFFF is -1;
// a larger one a 32-bit integer, so &HFFFFFFFF is -1 too).
// Answers nothing when the text does not read as a number; raises Overflow
// when it does but lies outside the range of a double (or of 32 bits).
std::optional<double> TryParseNumber(std::string_view text);
// The plain form only, whatever the locale: an optional sign, digits with
// '.' as the decimal point, an exponent; &H and &O. For literals in scripts.
std::optional<double> TryParsePlainNumber(std::string_view text);
// As TryParseNumber, raising Type mismatch for text that is no number.
double ParseNumber(std::string_view text);

// The automation text form of a number: at most 15 significant digits for a
// double (7 for a single), no trailing zeros, scientific form "1E+15",
// "1.5E-07" when the exponent is below -4 or at least the digit count.
std::string FormatNumber(double x);
std::string FormatNumber(float x);

std::int16_t ToI2(const Variant& v);
std::int32_t ToI4(const Variant& v);
float ToR4(const Variant& v);
double ToR8(const Variant& v);
// 0 is false, any other number true; text "True"/"False" in any letter case,
// or text that reads as a number.
bool ToBool(const Variant& v);
inline VARIANT_BOOL ToVariantBool(const Variant& v) {
  return ToBool(v) ? VARIANT_TRUE : VARIANT_FALSE;
}
// The text form: numbers as FormatNumber, booleans "True"/"False", empty "".
std::string ToText(const Variant& v);

// The double a numeric value stands for, without range checks.
double NumericValue(const Variant& v);

// Converts v to the given subtype (Empty, Null and Object are answered as
// they are only when v already has that type).
Variant ChangeType(const Variant& v, VarType to);

// The tests composition applies before a write. Each numeric test fails for
// null, counts empty as 0, and raises Type mismatch for text that is no
// number.
bool HasText(const Variant& v);      // the text form is not empty
bool IsPositive(const Variant& v);   // > 0
bool IsNonZero(const Variant& v);    // != 0
bool IsIn0To4(const Variant& v);     // 0 <= x <= 4
bool IsZeroOrOne(const Variant& v);  // x == 0 or x == 1
bool IsIn1To8(const Variant& v);     // 0 < x < 9

}  // namespace qz
