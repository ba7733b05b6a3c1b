#include "host/vbscript/conversions.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "host/vbscript/interpreter.h"
#include "platform/automation/convert.h"
#include "platform/automation/error.h"

namespace qz::vbs {
namespace {

bool EqNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

std::string_view TrimSpace(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

double Checked(double x, double lo, double hi) {
  double r = qz::RoundHalfEven(x);
  if (!(r >= lo && r <= hi)) Throw(6);
  return r;
}

// Days from 1 March of year 0 based civil calendar (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t yy = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

constexpr std::int64_t kEpochOffset = 25569;  // 1970-01-01 as a date serial
constexpr double kMinDate = -657434;          // 1 January 100
constexpr double kMaxDate = 2958465.99999;    // 31 December 9999, 23:59:59

constexpr std::string_view kMonths[] = {"January",   "February", "March",    "April",
                                        "May",       "June",     "July",     "August",
                                        "September", "October",  "November", "December"};
constexpr std::string_view kMonthsShort[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::string_view kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};
constexpr std::string_view kDaysShort[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

}  // namespace

std::optional<double> TextNumber(std::string_view text) {
  try {
    return qz::TryParseNumber(text);
  } catch (const qz::Error& e) {
    Throw(e.number());
  }
}

double ToDouble(const Value& v) {
  switch (v.type()) {
    case Type::Empty:
      return 0;
    case Type::Null:
      Throw(94);
    case Type::Integer:
    case Type::Long:
    case Type::Byte:
    case Type::Boolean:
      return static_cast<double>(v.integer());
    case Type::Currency:
      return static_cast<double>(v.integer()) / 10000.0;
    case Type::Single:
    case Type::Double:
    case Type::Date:
      return v.real();
    case Type::String: {
      std::string_view t = TrimSpace(v.str());
      if (EqNoCase(t, "True")) return -1;
      if (EqNoCase(t, "False")) return 0;
      if (auto n = TextNumber(t)) return *n;
      if (auto d = ParseDate(t)) return *d;
      Throw(13);
    }
    default:
      Throw(13);
  }
}

std::int32_t ToLong(const Value& v) {
  if (v.type() == Type::Long || v.type() == Type::Integer || v.type() == Type::Byte ||
      v.type() == Type::Boolean)
    return static_cast<std::int32_t>(v.integer());
  return static_cast<std::int32_t>(Checked(ToDouble(v), -2147483648.0, 2147483647.0));
}

std::int16_t ToInteger(const Value& v) {
  return static_cast<std::int16_t>(Checked(ToDouble(v), -32768.0, 32767.0));
}

std::uint8_t ToByte(const Value& v) {
  return static_cast<std::uint8_t>(Checked(ToDouble(v), 0.0, 255.0));
}

std::int64_t ToCurrency(const Value& v) {
  if (v.type() == Type::Currency) return v.integer();
  double x = ToDouble(v) * 10000.0;
  if (!(std::fabs(x) < 9.2233720368547e18)) Throw(6);
  return static_cast<std::int64_t>(qz::RoundHalfEven(x));
}

bool ToBool(const Value& v) {
  if (v.type() == Type::String) {
    std::string_view t = TrimSpace(v.str());
    if (EqNoCase(t, "True")) return true;
    if (EqNoCase(t, "False")) return false;
    if (auto n = TextNumber(t)) return *n != 0;
    Throw(13);
  }
  return ToDouble(v) != 0;
}

double ToDate(const Value& v) {
  double d;
  if (v.type() == Type::String) {
    auto parsed = ParseDate(v.str());
    if (!parsed) {
      auto n = TextNumber(v.str());
      if (!n) Throw(13);
      parsed = n;
    }
    d = *parsed;
  } else {
    d = ToDouble(v);
  }
  if (!(d >= kMinDate && d <= kMaxDate + 1)) Throw(6);
  return d;
}

std::string ToText(const Value& v) {
  switch (v.type()) {
    case Type::Empty:
      return {};
    case Type::Null:
      Throw(94);
    case Type::Integer:
    case Type::Long:
    case Type::Byte:
      return std::to_string(v.integer());
    case Type::Boolean:
      return v.integer() ? "True" : "False";
    case Type::Currency: {
      std::int64_t c = v.integer();
      bool neg = c < 0;
      std::uint64_t a = neg ? 0 - static_cast<std::uint64_t>(c) : static_cast<std::uint64_t>(c);
      std::string out = (neg ? "-" : "") + std::to_string(a / 10000);
      std::uint64_t frac = a % 10000;
      if (frac != 0) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%04u", static_cast<unsigned>(frac));
        std::string f(buf);
        while (!f.empty() && f.back() == '0') f.pop_back();
        out += "." + f;
      }
      return out;
    }
    case Type::Single:
      return qz::FormatNumber(static_cast<float>(v.real()));
    case Type::Double:
      return qz::FormatNumber(v.real());
    case Type::Date:
      return FormatDate(v.real(), 0);
    case Type::String:
      return v.str();
    default:
      Throw(13);
  }
}

DateParts SplitDate(double date) {
  DateParts p;
  if (!std::isfinite(date)) Throw(6);
  double day = std::trunc(date);
  double frac = std::fabs(date - day);
  auto secs = static_cast<std::int64_t>(std::llround(frac * 86400.0));
  if (secs >= 86400) {
    secs -= 86400;
    day += date < 0 ? -1 : 1;
  }
  auto days = static_cast<std::int64_t>(day);
  CivilFromDays(days - kEpochOffset, p.year, p.month, p.day);
  p.hour = static_cast<int>(secs / 3600);
  p.minute = static_cast<int>(secs / 60 % 60);
  p.second = static_cast<int>(secs % 60);
  // 30 December 1899 was a Saturday.
  std::int64_t wd = ((days % 7) + 7 + 6) % 7;  // 0 Sunday
  p.weekday = static_cast<int>(wd) + 1;
  return p;
}

double MakeDate(double year, double month, double day) {
  if (!std::isfinite(year) || !std::isfinite(month) || !std::isfinite(day)) Throw(5);
  if (std::fabs(year) > 1e6 || std::fabs(month) > 1e7 || std::fabs(day) > 1e8) Throw(5);
  auto y = static_cast<std::int64_t>(year);
  auto m = static_cast<std::int64_t>(month);
  auto d = static_cast<std::int64_t>(day);
  if (y >= 0 && y < 30)
    y += 2000;
  else if (y >= 30 && y < 100)
    y += 1900;
  // Months carry into years, then the days carry from the first of the month.
  std::int64_t m0 = m - 1;
  y += m0 >= 0 ? m0 / 12 : -((11 - m0) / 12);
  m0 = ((m0 % 12) + 12) % 12;
  if (y < 100 || y > 9999) Throw(5);
  std::int64_t serial = DaysFromCivil(y, static_cast<unsigned>(m0 + 1), 1) + kEpochOffset + d - 1;
  if (serial < kMinDate || serial > kMaxDate) Throw(5);
  return static_cast<double>(serial);
}

double MakeTime(double hour, double minute, double second) {
  if (!std::isfinite(hour) || !std::isfinite(minute) || !std::isfinite(second)) Throw(5);
  double secs = std::trunc(hour) * 3600 + std::trunc(minute) * 60 + std::trunc(second);
  if (std::fabs(secs) > 86400.0 * 3e6) Throw(5);
  double days = secs / 86400.0;
  // A negative time before midnight counts back from the day, as the date
  // serial's sign rule asks: -0.25 is 18:00 of the day before day zero.
  return days;
}

namespace {

struct DateToken {
  enum Kind { Number, Month, AmPm } kind;
  int value;
  int digits = 0;
};

}  // namespace

std::optional<double> ParseDate(std::string_view text) {
  std::string_view s = TrimSpace(text);
  if (s.empty() || s.size() > 64) return std::nullopt;
  std::vector<DateToken> date_parts;
  std::vector<int> time_parts;
  int ampm = 0;  // 1 AM, 2 PM
  std::size_t i = 0;
  bool in_time = false;
  char date_sep = 0;
  while (i < s.size()) {
    char c = s[i];
    if (std::isdigit(static_cast<unsigned char>(c))) {
      std::size_t j = i;
      long v = 0;
      while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) {
        if (v < 100000) v = v * 10 + (s[j] - '0');
        ++j;
      }
      bool time_follows = j < s.size() && s[j] == ':';
      if (time_follows || in_time) {
        if (time_parts.size() >= 3) return std::nullopt;
        time_parts.push_back(static_cast<int>(v));
        in_time = time_follows;
      } else {
        date_parts.push_back({DateToken::Number, static_cast<int>(v), static_cast<int>(j - i)});
      }
      i = j;
      if (i < s.size() && s[i] == ':') {
        ++i;
        in_time = true;
      }
      continue;
    }
    if (std::isalpha(static_cast<unsigned char>(c))) {
      std::size_t j = i;
      while (j < s.size() && std::isalpha(static_cast<unsigned char>(s[j]))) ++j;
      std::string_view word = s.substr(i, j - i);
      i = j;
      if (EqNoCase(word, "AM") || EqNoCase(word, "A")) {
        ampm = 1;
        continue;
      }
      if (EqNoCase(word, "PM") || EqNoCase(word, "P")) {
        ampm = 2;
        continue;
      }
      int found = 0;
      for (int m = 0; m < 12 && !found; ++m) {
        if (EqNoCase(word, kMonths[m]) || EqNoCase(word, kMonthsShort[m]) ||
            (word.size() >= 3 && word.size() < kMonths[m].size() &&
             EqNoCase(word, kMonths[m].substr(0, word.size()))))
          found = m + 1;
      }
      if (found) {
        date_parts.push_back({DateToken::Month, found});
        continue;
      }
      bool weekday = false;
      for (int d = 0; d < 7; ++d) {
        if (EqNoCase(word, kDays[d]) || EqNoCase(word, kDaysShort[d])) weekday = true;
      }
      if (weekday) continue;
      return std::nullopt;
    }
    if (c == '/' || c == '-' || c == '.') {
      if (date_sep != 0 && date_sep != c) return std::nullopt;
      date_sep = c;
      ++i;
      continue;
    }
    if (c == ' ' || c == ',' || c == '\t') {
      ++i;
      in_time = false;
      continue;
    }
    return std::nullopt;
  }
  double date = 0;
  bool has_date = !date_parts.empty();
  if (has_date) {
    int y = -1, m = -1, d = -1;
    std::vector<int> nums;
    int month_name = 0;
    for (const DateToken& t : date_parts) {
      if (t.kind == DateToken::Month) {
        if (month_name) return std::nullopt;
        month_name = t.value;
      } else {
        nums.push_back(t.value);
      }
    }
    if (month_name) {
      if (nums.size() == 1) {
        // "March 2024" is its first day; "March 5" would need the current
        // year, which a conversion does not take from the clock.
        if (nums[0] <= 31) return std::nullopt;
        m = month_name;
        d = 1;
        y = nums[0];
      } else if (nums.size() == 2) {
        m = month_name;
        if (nums[0] > 31) {
          y = nums[0];
          d = nums[1];
        } else {
          d = nums[0];
          y = nums[1];
        }
      } else {
        return std::nullopt;
      }
    } else if (nums.size() == 3) {
      if (date_parts[0].digits >= 3) {  // year first
        y = nums[0];
        m = nums[1];
        d = nums[2];
      } else {  // month first, the English order
        m = nums[0];
        d = nums[1];
        y = nums[2];
        if (m > 12 && d <= 12) std::swap(m, d);
      }
    } else {
      return std::nullopt;
    }
    if (m < 1 || m > 12 || d < 1 || d > 31 || y < 0 || y > 9999) return std::nullopt;
    try {
      date = MakeDate(y, m, d);
    } catch (const ScriptError&) {
      return std::nullopt;
    }
    if (SplitDate(date).day != d) return std::nullopt;  // 31 February
  }
  double time = 0;
  if (!time_parts.empty() || ampm) {
    if (time_parts.empty()) return std::nullopt;
    int h = time_parts[0];
    int mi = time_parts.size() > 1 ? time_parts[1] : 0;
    int se = time_parts.size() > 2 ? time_parts[2] : 0;
    if (ampm) {
      if (h < 1 || h > 12) return std::nullopt;
      if (ampm == 1 && h == 12) h = 0;
      if (ampm == 2 && h != 12) h += 12;
    }
    if (h > 23 || mi > 59 || se > 59) return std::nullopt;
    time = (h * 3600.0 + mi * 60.0 + se) / 86400.0;
  } else if (!has_date) {
    return std::nullopt;
  }
  return date >= 0 ? date + time : date - time;
}

std::string_view MonthName(int month, bool abbreviate) {
  if (month < 1 || month > 12) Throw(5);
  return abbreviate ? kMonthsShort[month - 1] : kMonths[month - 1];
}

std::string_view WeekdayName(int weekday, bool abbreviate) {
  if (weekday < 1 || weekday > 7) Throw(5);
  return abbreviate ? kDaysShort[weekday - 1] : kDays[weekday - 1];
}

std::string FormatDate(double date, int format) {
  DateParts p = SplitDate(date);
  char buf[96];
  auto short_date = [&] {
    std::snprintf(buf, sizeof buf, "%d/%d/%d", p.month, p.day, p.year);
    return std::string(buf);
  };
  auto long_time = [&] {
    int h12 = p.hour % 12 == 0 ? 12 : p.hour % 12;
    std::snprintf(buf, sizeof buf, "%d:%02d:%02d %s", h12, p.minute, p.second,
                  p.hour < 12 ? "AM" : "PM");
    return std::string(buf);
  };
  switch (format) {
    case 1:
      std::snprintf(buf, sizeof buf, "%s, %s %02d, %d", std::string(kDays[p.weekday - 1]).c_str(),
                    std::string(kMonths[p.month - 1]).c_str(), p.day, p.year);
      return buf;
    case 2:
      return short_date();
    case 3:
      return long_time();
    case 4:
      std::snprintf(buf, sizeof buf, "%02d:%02d", p.hour, p.minute);
      return buf;
    default: {
      bool has_time = date != std::trunc(date);
      bool has_date = std::trunc(date) != 0;
      if (has_date && has_time) return short_date() + " " + long_time();
      if (has_time) return long_time();
      return short_date();
    }
  }
}

Variant ToVariant(const Value& v) {
  switch (v.type()) {
    case Type::Empty:
      return Variant();
    case Type::Null:
      return Variant::Null();
    case Type::Integer:
      return Variant(static_cast<std::int16_t>(v.integer()));
    case Type::Byte:
      return Variant(static_cast<std::int16_t>(v.integer()));
    case Type::Long:
      return Variant(static_cast<std::int32_t>(v.integer()));
    case Type::Boolean:
      return Variant::Bool(v.integer() != 0);
    case Type::Single:
      return Variant(static_cast<float>(v.real()));
    case Type::Double:
      return Variant(v.real());
    case Type::Currency:
      return Variant(static_cast<double>(v.integer()) / 10000.0);
    case Type::Date:
      return Variant(FormatDate(v.real()));
    case Type::String:
      return Variant(v.str());
    case Type::Object: {
      if (v.object() == nullptr) return Variant(ComPtr<IUnknown>());
      if (IDispatch* d = v.object()->dispatch()) return Variant(ComPtr<IUnknown>(d));
      Throw(13);
    }
    case Type::Array: {
      const ArrayData& a = *v.array();
      ByteArray bytes;
      if (a.upper.size() != 1) Throw(13);
      bytes.reserve(a.items.size());
      for (const Value& item : a.items) {
        if (item.type() != Type::Byte) Throw(13);
        bytes.push_back(static_cast<std::uint8_t>(item.integer()));
      }
      return Variant(std::move(bytes));
    }
  }
  Throw(13);
}

Value FromVariant(const Variant& v, Interpreter& in) {
  switch (v.type()) {
    case VarType::Empty:
      return Value();
    case VarType::Null:
      return Value::Null();
    case VarType::I2:
      return Value::Integer(v.i2());
    case VarType::I4:
      return Value::Long(v.i4());
    case VarType::R4:
      return Value::Single(v.r4());
    case VarType::R8:
      return Value::Double(v.r8());
    case VarType::Bool:
      return Value::Bool(v.boolean() != 0);
    case VarType::String:
      return Value::String(v.str());
    case VarType::Object: {
      if (!v.object()) return Value::Nothing();
      ComPtr<IDispatch> d = v.object().As<IDispatch>(IID_IDispatch);
      if (!d) Throw(430);
      return Value::Object(in.WrapDispatch(std::move(d)));
    }
    case VarType::Bytes: {
      auto a = std::make_unique<ArrayData>();
      const auto& bytes = v.bytes();
      a->upper.push_back(static_cast<std::int32_t>(bytes.size()) - 1);
      a->items.reserve(bytes.size());
      for (std::uint8_t b : bytes) a->items.push_back(Value::Byte(b));
      return Value::Array(std::move(a));
    }
  }
  return Value();
}

}  // namespace qz::vbs
