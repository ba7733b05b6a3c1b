#include "platform/automation/convert.h"

#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>

#include "platform/automation/error.h"

namespace qz {

namespace {

// The white space that may surround a number: blanks, tabs and line ends
// (a value read from a form field or a file often ends in CR LF).
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

std::optional<double> ParseRadix(std::string_view digits, int radix) {
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (radix == 16 && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (radix == 16 && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    if (d >= radix) return std::nullopt;
    value = value * static_cast<std::uint64_t>(radix) + static_cast<std::uint64_t>(d);
    if (value > 0xFFFFFFFFu) Raise(err::kOverflow);
  }
  // Up to 16 bits of value is a 16-bit integer literal, else a 32-bit one;
  // both wrap to signed as the literal forms do.
  if (value <= 0xFFFFu) return static_cast<double>(static_cast<std::int16_t>(value));
  return static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
}

// For a validated decimal form ([-]digits[.digits][e[+-]digits]) whose value
// lies outside the range of a double: above 1 when positive, below when not.
// The exponent saturates, so any number of exponent digits is safe.
long long DecimalMagnitude(std::string_view norm) {
  std::size_t i = norm.empty() || norm[0] != '-' ? 0 : 1;
  long long lead = 0;   // digits before the point, from the first non-zero one
  long long zeros = 0;  // zeros after the point before the first non-zero one
  bool seen = false, point = false;
  for (; i < norm.size() && norm[i] != 'e'; ++i) {
    char c = norm[i];
    if (c == '.') {
      point = true;
    } else if (!point) {
      seen = seen || c != '0';
      if (seen) ++lead;
    } else if (!seen) {
      if (c != '0') {
        seen = true;
      } else {
        ++zeros;
      }
    }
  }
  long long exponent = 0;
  if (i < norm.size()) {
    ++i;
    bool negative = false;
    if (i < norm.size() && (norm[i] == '+' || norm[i] == '-')) negative = norm[i++] == '-';
    for (; i < norm.size(); ++i) {
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (norm[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  return (lead > 0 ? lead : -zeros) + exponent;
}

std::string Format(double x, int digits) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "Infinity" : "-Infinity";
  if (x == 0) return "0";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::general, digits);
  std::string s(buf, res.ptr);
  // to_chars gives "1e+15", "1.5e-07"; the automation form has "E".
  for (char& c : s) {
    if (c == 'e') c = 'E';
  }
  return s;
}

[[noreturn]] void RaiseNull() {
  Raise(err::kInvalidUseOfNull);
}

double CheckedIntegral(double x, double lo, double hi) {
  double r = RoundHalfEven(x);
  if (!(r >= lo && r <= hi)) Raise(err::kOverflow);
  return r;
}

// A setting read as a number by a test: null fails the test; text must read
// as a number ("True" is no number here, although it converts to a boolean).
bool Numeric(const Variant& v, double* out) {
  if (v.is_null()) return false;
  *out = v.type() == VarType::String ? ParseNumber(v.str()) : NumericValue(v);
  return true;
}

}  // namespace

double RoundHalfEven(double x) {
  if (!std::isfinite(x)) return x;
  double r = std::round(x);  // halves away from zero
  if (std::fabs(x - std::trunc(x)) == 0.5) r = 2.0 * std::round(x / 2.0);
  return r;
}

std::optional<double> TryParsePlainNumber(std::string_view text) {
  std::string_view s = Trim(text);
  if (s.size() >= 2 && s[0] == '&') {
    char kind = static_cast<char>(std::toupper(static_cast<unsigned char>(s[1])));
    if (kind == 'H') return ParseRadix(s.substr(2), 16);
    if (kind == 'O') return ParseRadix(s.substr(2), 8);
    return std::nullopt;
  }
  // Validate the decimal form and copy it in the form from_chars reads.
  std::string norm;
  norm.reserve(s.size());
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    if (s[i] == '-') norm.push_back('-');
    ++i;
  }
  int digits = 0;
  bool point = false;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c >= '0' && c <= '9') {
      ++digits;
      norm.push_back(c);
    } else if (c == '.' && !point) {
      point = true;
      norm.push_back(c);
    } else {
      break;
    }
  }
  if (digits == 0) return std::nullopt;
  if (i < s.size() && (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd')) {
    norm.push_back('e');
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) norm.push_back(s[i++]);
    int exp_digits = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
      norm.push_back(s[i]);
      ++exp_digits;
    }
    if (exp_digits == 0) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;
  double value = 0;
  auto res = std::from_chars(norm.data(), norm.data() + norm.size(), value);
  if (res.ec == std::errc::result_out_of_range) {
    // Underflow reads as 0; overflow is an error. Which of the two it is
    // follows from the magnitude, not from the exponent's sign: "1" with 400
    // zeros and "E-1" still overflows.
    if (DecimalMagnitude(norm) > 0) Raise(err::kOverflow);
    return 0.0;
  }
  if (res.ec != std::errc() || res.ptr != norm.data() + norm.size()) return std::nullopt;
  return value;
}

namespace {

// The number locale, replaced whole; readers keep the one they took.
std::mutex g_locale_mutex;
std::shared_ptr<const NumberLocale> g_locale;

bool IsEnglishName(const char* name) {
  return name == nullptr || *name == 0 || std::strcmp(name, "C") == 0 ||
         std::strcmp(name, "POSIX") == 0 || std::strncmp(name, "C.", 2) == 0;
}

// The rules of a named locale ("" for the environment's); nothing when it is
// not installed.
std::shared_ptr<const NumberLocale> LoadLocale(const char* name) {
  locale_t loc =
      newlocale(LC_NUMERIC_MASK | LC_MONETARY_MASK, name, static_cast<locale_t>(nullptr));
  if (loc == static_cast<locale_t>(nullptr)) return nullptr;
  auto out = std::make_shared<NumberLocale>();
  const char* numeric = nl_langinfo_l(_NL_LOCALE_NAME(LC_NUMERIC), loc);
  if (!IsEnglishName(numeric)) {
    out->decimal_point = nl_langinfo_l(RADIXCHAR, loc);
    out->thousands = nl_langinfo_l(THOUSEP, loc);
  }
  const char* monetary = nl_langinfo_l(_NL_LOCALE_NAME(LC_MONETARY), loc);
  if (!IsEnglishName(monetary)) {
    out->currency = nl_langinfo_l(CURRENCY_SYMBOL, loc);
    out->money_decimal_point = nl_langinfo_l(MON_DECIMAL_POINT, loc);
    out->money_thousands = nl_langinfo_l(MON_THOUSANDS_SEP, loc);
  }
  freelocale(loc);
  if (out->decimal_point.empty()) out->decimal_point = ".";
  if (out->money_decimal_point.empty()) out->money_decimal_point = out->decimal_point;
  return out;
}

std::shared_ptr<const NumberLocale> LocaleNow() {
  std::lock_guard lock(g_locale_mutex);
  if (!g_locale) {
    g_locale = LoadLocale("");
    if (!g_locale) g_locale = std::make_shared<NumberLocale>();
  }
  return g_locale;
}

bool Eat(std::string_view s, std::size_t& i, std::string_view what) {
  if (what.empty() || s.substr(i, what.size()) != what) return false;
  i += what.size();
  return true;
}

// The locale's form (see TryParseNumber) rewritten in the plain form; empty
// when the text does not have it.
std::string Plain(std::string_view s, const NumberLocale& loc) {
  std::size_t i = 0;
  bool negative = false, parens = false, sign = false, currency = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    sign = true;
    ++i;
  } else if (i < s.size() && s[i] == '(') {
    parens = true;
    ++i;
  }
  if (Eat(s, i, loc.currency)) currency = true;
  if (!sign && !parens && i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    sign = true;
    ++i;
  }
  // The separators: monetary ones when a currency symbol is present (it may
  // also follow the digits; look ahead for it).
  bool money =
      currency || (!loc.currency.empty() && s.find(loc.currency, i) != std::string_view::npos);
  const std::string& point = money ? loc.money_decimal_point : loc.decimal_point;
  const std::string& group = money ? loc.money_thousands : loc.thousands;
  std::string out = negative ? "-" : "";
  std::size_t first_group = 0;
  int digits_in_group = 0;
  bool grouped = false;
  while (i < s.size()) {
    if (std::isdigit(static_cast<unsigned char>(s[i]))) {
      out.push_back(s[i++]);
      ++digits_in_group;
      if (!grouped) ++first_group;
      continue;
    }
    if (!group.empty() && s.substr(i, group.size()) == group && i + group.size() < s.size() &&
        std::isdigit(static_cast<unsigned char>(s[i + group.size()]))) {
      // Groups: the first of one to three digits, every later one of three.
      if (grouped ? digits_in_group != 3 : (first_group == 0 || first_group > 3)) return {};
      grouped = true;
      digits_in_group = 0;
      i += group.size();
      continue;
    }
    break;
  }
  if (grouped && digits_in_group != 3) return {};
  if (Eat(s, i, point)) {
    out.push_back('.');
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) out.push_back(s[i++]);
  }
  if (i < s.size() && (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd')) {
    out.push_back('e');
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) out.push_back(s[i++]);
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) out.push_back(s[i++]);
  }
  if (!currency && Eat(s, i, loc.currency)) currency = true;
  if (!sign && !parens && i < s.size() && (s[i] == '+' || s[i] == '-')) {
    if (s[i] == '-') out.insert(out.begin(), '-');
    ++i;
  }
  if (parens) {
    if (i >= s.size() || s[i] != ')') return {};
    ++i;
    out.insert(out.begin(), '-');
  }
  if (i != s.size()) return {};
  return out;
}

}  // namespace

NumberLocale CurrentNumberLocale() {
  return *LocaleNow();
}

bool SetNumberLocale(const char* name) {
  std::shared_ptr<const NumberLocale> loc =
      IsEnglishName(name) ? std::make_shared<NumberLocale>() : LoadLocale(name);
  if (!loc) return false;
  std::lock_guard lock(g_locale_mutex);
  g_locale = std::move(loc);
  return true;
}

std::optional<double> TryParseNumber(std::string_view text) {
  std::string_view s = Trim(text);
  if (s.empty() || s[0] == '&') return TryParsePlainNumber(s);
  std::shared_ptr<const NumberLocale> loc = LocaleNow();
  // With '.' as the decimal point the plain form is the common case.
  if (loc->decimal_point == ".") {
    if (auto plain = TryParsePlainNumber(s)) return plain;
  }
  std::string rewritten = Plain(s, *loc);
  if (rewritten.empty() || rewritten == "-") return std::nullopt;
  return TryParsePlainNumber(rewritten);
}

double ParseNumber(std::string_view text) {
  auto v = TryParseNumber(text);
  if (!v) Raise(err::kTypeMismatch);
  return *v;
}

std::string FormatNumber(double x) {
  return Format(x, 15);
}
std::string FormatNumber(float x) {
  return Format(static_cast<double>(x), 7);
}

double NumericValue(const Variant& v) {
  switch (v.type()) {
    case VarType::Empty:
      return 0;
    case VarType::Null:
      RaiseNull();
    case VarType::I2:
      return v.i2();
    case VarType::I4:
      return v.i4();
    case VarType::R4:
      return v.r4();
    case VarType::R8:
      return v.r8();
    case VarType::Bool:
      return v.boolean();
    case VarType::String:
      if (EqualsNoCase(Trim(v.str()), "True")) return -1;
      if (EqualsNoCase(Trim(v.str()), "False")) return 0;
      return ParseNumber(v.str());
    case VarType::Object:
    case VarType::Bytes:
      break;
  }
  Raise(err::kTypeMismatch);
}

std::int16_t ToI2(const Variant& v) {
  return static_cast<std::int16_t>(CheckedIntegral(NumericValue(v), -32768.0, 32767.0));
}

std::int32_t ToI4(const Variant& v) {
  return static_cast<std::int32_t>(CheckedIntegral(NumericValue(v), -2147483648.0, 2147483647.0));
}

float ToR4(const Variant& v) {
  double d = NumericValue(v);
  // Beyond the largest single, infinities included, is an overflow; NaN
  // carries over as NaN.
  if (std::fabs(d) > static_cast<double>(std::numeric_limits<float>::max())) {
    Raise(err::kOverflow);
  }
  return static_cast<float>(d);
}

double ToR8(const Variant& v) {
  return NumericValue(v);
}

bool ToBool(const Variant& v) {
  return NumericValue(v) != 0;
}

std::string ToText(const Variant& v) {
  switch (v.type()) {
    case VarType::Empty:
      return {};
    case VarType::Null:
      RaiseNull();
    case VarType::I2:
      return std::to_string(v.i2());
    case VarType::I4:
      return std::to_string(v.i4());
    case VarType::R4:
      return FormatNumber(v.r4());
    case VarType::R8:
      return FormatNumber(v.r8());
    case VarType::Bool:
      return v.boolean() ? "True" : "False";
    case VarType::String:
      return v.str();
    case VarType::Object:
    case VarType::Bytes:
      break;
  }
  Raise(err::kTypeMismatch);
}

Variant ChangeType(const Variant& v, VarType to) {
  if (v.type() == to) return v;
  switch (to) {
    case VarType::I2:
      return Variant(ToI2(v));
    case VarType::I4:
      return Variant(ToI4(v));
    case VarType::R4:
      return Variant(ToR4(v));
    case VarType::R8:
      return Variant(ToR8(v));
    case VarType::Bool:
      return Variant::Bool(ToBool(v));
    case VarType::String:
      return Variant(ToText(v));
    case VarType::Empty:
    case VarType::Null:
    case VarType::Object:
    case VarType::Bytes:
      break;
  }
  if (v.is_null()) RaiseNull();
  Raise(err::kTypeMismatch);
}

bool HasText(const Variant& v) {
  if (v.is_null()) return false;
  return !ToText(v).empty();
}

bool IsPositive(const Variant& v) {
  double x;
  return Numeric(v, &x) && x > 0;
}

bool IsNonZero(const Variant& v) {
  double x;
  return Numeric(v, &x) && x != 0;
}

bool IsIn0To4(const Variant& v) {
  double x;
  return Numeric(v, &x) && x >= 0 && x <= 4;
}

bool IsZeroOrOne(const Variant& v) {
  double x;
  return Numeric(v, &x) && (x == 0 || x == 1);
}

bool IsIn1To8(const Variant& v) {
  double x;
  return Numeric(v, &x) && x > 0 && x < 9;
}

}  // namespace qz
