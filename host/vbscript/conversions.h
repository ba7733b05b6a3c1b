// Conversions between the language's subtypes, dates, and the passage of
// values to and from automation variants. Text reads as a number by the
// automation layer's rules (TryParseNumber); integers take the nearest
// integer with halves to the even one; out of range is Overflow (6), Null
// Invalid use of Null (94), anything else that does not convert Type
// mismatch (13). Objects must have been reduced to their default value by
// the interpreter before they reach these functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/vbscript/value.h"

namespace qz::vbs {

double ToDouble(const Value& v);
std::int32_t ToLong(const Value& v);
std::int16_t ToInteger(const Value& v);
std::uint8_t ToByte(const Value& v);
std::int64_t ToCurrency(const Value& v);  // times 10000
bool ToBool(const Value& v);
double ToDate(const Value& v);
std::string ToText(const Value& v);
// Text that reads as a number (IsNumeric's rule), its value.
std::optional<double> TextNumber(std::string_view text);

// Dates are days since 30 December 1899, the time of day the fraction.
struct DateParts {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0;
  int weekday = 7;  // 1 Sunday .. 7 Saturday
};
DateParts SplitDate(double date);
// Month and day may lie outside their ranges and carry over (DateSerial);
// raises Invalid procedure call (5) outside years 100 to 9999.
double MakeDate(double year, double month, double day);
double MakeTime(double hour, double minute, double second);
std::optional<double> ParseDate(std::string_view text);
// 0 general, 1 long date, 2 short date, 3 long time, 4 short time.
std::string FormatDate(double date, int format = 0);
std::string_view MonthName(int month, bool abbreviate);
std::string_view WeekdayName(int weekday, bool abbreviate);

// The automation variant for a value passed to a component: dates pass as
// their text, currency as a double, a byte array as bytes; arrays of other
// kinds and script objects are Type mismatch.
Variant ToVariant(const Value& v);
Value FromVariant(const Variant& v, Interpreter& in);

}  // namespace qz::vbs
