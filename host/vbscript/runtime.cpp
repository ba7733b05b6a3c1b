#include "host/vbscript/runtime.h"

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "host/vbscript/conversions.h"
#include "host/vbscript/interpreter.h"
#include "host/vbscript/operators.h"
#include "host/vbscript/text.h"
#include "platform/automation/convert.h"

namespace qz::vbs {
namespace {

using Args = std::vector<Arg>;

Value A(Interpreter& in, Args& a, std::size_t i) {
  return in.Simple(ArgValue(a, i));
}
std::string S(Interpreter& in, Args& a, std::size_t i) {
  return ToText(A(in, a, i));
}
std::int32_t L(Interpreter& in, Args& a, std::size_t i) {
  return ToLong(A(in, a, i));
}
double D(Interpreter& in, Args& a, std::size_t i) {
  return ToDouble(A(in, a, i));
}
bool TextCompareArg(Interpreter& in, Args& a, std::size_t i) {
  if (!HasArg(a, i)) return false;
  std::int32_t c = L(in, a, i);
  if (c < 0 || c > 2) Throw(5);
  return c != 0;
}

// Searches run on bytes when both texts are ASCII and on decoded
// characters otherwise, so every position they give counts characters.
char Fold(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}
char32_t Fold(char32_t c) {
  return text::Lower(c);
}
template <class Str>
Str Folded(Str s, bool text) {
  if (text)
    for (auto& c : s) c = Fold(c);
  return s;
}
std::string Utf8(std::string s) {
  return s;
}
std::string Utf8(const std::u32string& s) {
  return text::Encode(s);
}
template <class F>
auto OnChars(const std::string& a, const std::string& b, F f) {
  if (text::IsAscii(a) && text::IsAscii(b)) return f(a, b);
  return f(text::Decode(a), text::Decode(b));
}

Value StringArray(std::vector<std::string> parts) {
  auto arr = std::make_unique<ArrayData>();
  arr->upper.push_back(static_cast<std::int32_t>(parts.size()) - 1);
  arr->Resize(parts.size());
  for (std::size_t i = 0; i < parts.size(); ++i) arr->items[i] = Value::String(std::move(parts[i]));
  return Value::Array(std::move(arr));
}

const ArrayData& NeedArray(const Value& v) {
  if (!v.is_array()) Throw(13);
  return *v.array();
}

// ---- strings ----

Value Len(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  if (v.is_null()) return Value::Null();
  return Value::Long(static_cast<std::int32_t>(text::Length(ToText(v))));
}
Value Left(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  std::int32_t n = L(in, a, 1);
  if (n < 0) Throw(5);
  if (v.is_null()) return Value::Null();
  std::string s = ToText(v);
  s.resize(text::Advance(s, 0, static_cast<std::size_t>(n)));
  return Value::String(std::move(s));
}
Value Right(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  std::int32_t n = L(in, a, 1);
  if (n < 0) Throw(5);
  if (v.is_null()) return Value::Null();
  std::string s = ToText(v);
  std::size_t length = text::Length(s), keep = static_cast<std::size_t>(n);
  if (keep >= length) return Value::String(std::move(s));
  return Value::String(s.substr(text::Advance(s, 0, length - keep)));
}
Value Mid(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  std::int32_t start = L(in, a, 1);
  if (start < 1) Throw(5);
  std::int32_t len = -1;
  if (HasArg(a, 2)) {
    len = L(in, a, 2);
    if (len < 0) Throw(5);
  }
  if (v.is_null()) return Value::Null();
  std::string s = ToText(v);
  std::size_t from = text::Advance(s, 0, static_cast<std::size_t>(start - 1));
  if (from >= s.size()) return Value::String("");
  if (len < 0) return Value::String(s.substr(from));
  std::size_t to = text::Advance(s, from, static_cast<std::size_t>(len));
  return Value::String(s.substr(from, to - from));
}
Value InStr(Interpreter& in, Args& a) {
  std::size_t base = 0;
  std::int32_t start = 1;
  if (a.size() >= 3) {
    start = L(in, a, 0);
    if (start < 1) Throw(5);
    base = 1;
  }
  Value v1 = A(in, a, base), v2 = A(in, a, base + 1);
  bool text = a.size() >= 4 && TextCompareArg(in, a, 3);
  if (v1.is_null() || v2.is_null()) return Value::Null();
  return OnChars(ToText(v1), ToText(v2), [&](const auto& s1, const auto& s2) {
    if (static_cast<std::size_t>(start) > s1.size()) return Value::Long(0);
    if (s2.empty()) return Value::Long(start);
    std::size_t at = Folded(s1, text).find(Folded(s2, text), static_cast<std::size_t>(start - 1));
    return Value::Long(at == std::string::npos ? 0 : static_cast<std::int32_t>(at + 1));
  });
}
Value InStrRev(Interpreter& in, Args& a) {
  Value v1 = A(in, a, 0), v2 = A(in, a, 1);
  std::int32_t start = HasArg(a, 2) ? L(in, a, 2) : -1;
  if (start == 0 || start < -1) Throw(5);
  bool text = TextCompareArg(in, a, 3);
  if (v1.is_null() || v2.is_null()) return Value::Null();
  return OnChars(ToText(v1), ToText(v2), [&](const auto& s1, const auto& s2) {
    std::int32_t last = start == -1 ? static_cast<std::int32_t>(s1.size()) : start;
    if (static_cast<std::size_t>(last) > s1.size()) return Value::Long(0);
    if (s2.empty()) return Value::Long(last);
    if (s2.size() > static_cast<std::size_t>(last)) return Value::Long(0);
    std::size_t at =
        Folded(s1, text).rfind(Folded(s2, text), static_cast<std::size_t>(last) - s2.size());
    return Value::Long(at == std::string::npos ? 0 : static_cast<std::int32_t>(at + 1));
  });
}
Value Replace(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  if (v.is_null()) return Value::Null();
  std::string subject = ToText(v), find = S(in, a, 1), with = S(in, a, 2);
  std::int32_t start = HasArg(a, 3) ? L(in, a, 3) : 1;
  std::int32_t count = HasArg(a, 4) ? L(in, a, 4) : -1;
  bool text = TextCompareArg(in, a, 5);
  if (start < 1 || count < -1) Throw(5);
  std::size_t from = text::Advance(subject, 0, static_cast<std::size_t>(start - 1));
  if (from >= subject.size()) return Value::String("");
  std::string rest = subject.substr(from);
  if (find.empty() || count == 0) return Value::String(std::move(rest));
  return Value::String(OnChars(rest, find, [&](const auto& s, const auto& f) {
    auto hay = Folded(s, text), needle = Folded(f, text);
    std::string out;
    std::size_t pos = 0;
    std::int32_t done = 0;
    while (count < 0 || done < count) {
      std::size_t at = hay.find(needle, pos);
      if (at == std::string::npos) break;
      out += Utf8(s.substr(pos, at - pos));
      out += with;
      CheckStringSize(out.size());
      pos = at + needle.size();
      ++done;
    }
    out += Utf8(s.substr(pos));
    return out;
  }));
}
Value Split(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  if (v.is_null()) return Value::Null();
  std::string subject = ToText(v);
  std::string delim = HasArg(a, 1) ? S(in, a, 1) : " ";
  std::int32_t limit = HasArg(a, 2) ? L(in, a, 2) : -1;
  bool text = TextCompareArg(in, a, 3);
  if (limit < -1) Throw(5);
  if (subject.empty() || limit == 0) return StringArray({});
  if (delim.empty()) return StringArray({subject});
  return StringArray(OnChars(subject, delim, [&](const auto& s, const auto& d) {
    auto hay = Folded(s, text), needle = Folded(d, text);
    std::vector<std::string> parts;
    std::size_t pos = 0;
    while (true) {
      std::size_t at = hay.find(needle, pos);
      if (at == std::string::npos ||
          (limit > 0 && static_cast<std::int32_t>(parts.size()) == limit - 1)) {
        parts.push_back(Utf8(s.substr(pos)));
        break;
      }
      parts.push_back(Utf8(s.substr(pos, at - pos)));
      pos = at + needle.size();
    }
    return parts;
  }));
}
Value Join(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  const ArrayData& arr = NeedArray(v);
  if (arr.upper.size() > 1) Throw(5);
  std::string delim = HasArg(a, 1) ? S(in, a, 1) : " ";
  std::string out;
  for (std::size_t i = 0; i < arr.items.size(); ++i) {
    if (i) out += delim;
    const Value& item = arr.items[i];
    if (!item.is_null()) out += ToText(in.Simple(item));
    CheckStringSize(out.size());
  }
  return Value::String(std::move(out));
}
Value Filter(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  const ArrayData& arr = NeedArray(v);
  if (arr.upper.size() != 1) Throw(5);
  std::string match = S(in, a, 1);
  bool include = HasArg(a, 2) ? ToBool(A(in, a, 2)) : true;
  bool text = TextCompareArg(in, a, 3);
  std::vector<std::string> out;
  for (const Value& item : arr.items) {
    if (item.is_null()) Throw(13);
    std::string s = ToText(in.Simple(item));
    bool found = OnChars(s, match, [&](const auto& hay, const auto& needle) {
      return Folded(hay, text).find(Folded(needle, text)) != std::string::npos;
    });
    if (found == include) out.push_back(std::move(s));
  }
  return StringArray(std::move(out));
}
template <int Which>
Value TrimFn(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  if (v.is_null()) return Value::Null();
  std::string s = ToText(v);
  std::size_t b = 0, e = s.size();
  if (Which != 2)
    while (b < e && s[b] == ' ') ++b;
  if (Which != 1)
    while (e > b && s[e - 1] == ' ') --e;
  return Value::String(s.substr(b, e - b));
}
template <bool Upper>
Value CaseFn(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  if (v.is_null()) return Value::Null();
  std::string s = ToText(v);
  if (!text::IsAscii(s)) return Value::String(Upper ? text::Upper(s) : text::Lower(s));
  for (char& c : s)
    c = static_cast<char>(Upper ? std::toupper(static_cast<unsigned char>(c))
                                : std::tolower(static_cast<unsigned char>(c)));
  return Value::String(std::move(s));
}
Value Space(Interpreter& in, Args& a) {
  std::int32_t n = L(in, a, 0);
  if (n < 0) Throw(5);
  CheckStringSize(static_cast<std::size_t>(n));
  return Value::String(std::string(static_cast<std::size_t>(n), ' '));
}

// Chr and Asc speak the Windows Western code page: 0x80..0x9F are its
// letters and signs, 0xA0..0xFF are Latin-1. Undefined slots keep their
// own value.
constexpr char32_t kWestern[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                   0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                   0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
char32_t FromWestern(std::int32_t byte) {
  return byte >= 0x80 && byte < 0xA0 ? kWestern[byte - 0x80] : static_cast<char32_t>(byte);
}
// '?' for a character the code page lacks, as the platform converts it.
std::int32_t ToWestern(char32_t c) {
  if (c < 0x80) return static_cast<std::int32_t>(c);
  if (text::IsStray(c)) return static_cast<std::int32_t>(c - text::kStrayBase);
  for (std::int32_t i = 0; i < 32; ++i)
    if (kWestern[i] == c) return 0x80 + i;
  if (c >= 0xA0 && c <= 0xFF) return static_cast<std::int32_t>(c);
  return '?';
}
std::string OneChar(char32_t c) {
  std::string s;
  text::Append(s, c);
  return s;
}

Value StringFn(Interpreter& in, Args& a) {
  std::int32_t n = L(in, a, 0);
  Value c = A(in, a, 1);
  if (n < 0) Throw(5);
  if (c.is_null()) return Value::Null();
  std::string unit;
  if (c.is_string()) {
    if (c.str().empty()) Throw(5);
    unit = c.str().substr(0, text::DecodeAt(c.str(), 0).bytes);
  } else {
    unit = OneChar(FromWestern(ToLong(c) & 0xFF));
  }
  auto count = static_cast<std::size_t>(n);
  if (count > std::numeric_limits<std::size_t>::max() / unit.size()) Throw(7);
  CheckStringSize(count * unit.size());
  std::string out;
  out.reserve(count * unit.size());
  for (std::size_t i = 0; i < count; ++i) out += unit;
  return Value::String(std::move(out));
}
Value StrComp(Interpreter& in, Args& a) {
  Value x = A(in, a, 0), y = A(in, a, 1);
  bool text = TextCompareArg(in, a, 2);
  if (x.is_null() || y.is_null()) return Value::Null();
  int c = OnChars(ToText(x), ToText(y), [&](const auto& s, const auto& t) {
    return Folded(s, text).compare(Folded(t, text));
  });
  return Value::Integer(static_cast<std::int16_t>(c < 0 ? -1 : (c > 0 ? 1 : 0)));
}
Value StrReverse(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  if (v.is_null()) Throw(94);
  std::string s = ToText(v);
  if (text::IsAscii(s)) return Value::String(std::string(s.rbegin(), s.rend()));
  std::u32string chars = text::Decode(s);
  return Value::String(text::Encode(std::u32string(chars.rbegin(), chars.rend())));
}
char32_t FirstChar(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  if (v.is_null()) Throw(94);
  std::string s = ToText(v);
  if (s.empty()) Throw(5);
  return text::DecodeAt(s, 0).code;
}
Value Asc(Interpreter& in, Args& a) {
  return Value::Integer(static_cast<std::int16_t>(ToWestern(FirstChar(in, a))));
}
// The byte forms see the UTF-8 bytes themselves.
Value AscB(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  if (v.is_null()) Throw(94);
  std::string s = ToText(v);
  if (s.empty()) Throw(5);
  return Value::Integer(static_cast<std::int16_t>(static_cast<unsigned char>(s[0])));
}
// A code point; one the language's 16-bit Integer cannot hold reads, as
// there, negative (U+8000..U+FFFF), and one outside the BMP as a Long.
Value AscW(Interpreter& in, Args& a) {
  char32_t c = FirstChar(in, a);
  if (text::IsStray(c)) c -= text::kStrayBase;
  if (c > 0xFFFF) return Value::Long(static_cast<std::int32_t>(c));
  return Value::Integer(static_cast<std::int16_t>(
      c > 0x7FFF ? static_cast<std::int32_t>(c) - 0x10000 : static_cast<std::int32_t>(c)));
}
Value Chr(Interpreter& in, Args& a) {
  std::int32_t n = L(in, a, 0);
  if (n < 0 || n > 255) Throw(5);
  return Value::String(OneChar(FromWestern(n)));
}
Value ChrB(Interpreter& in, Args& a) {
  std::int32_t n = L(in, a, 0);
  if (n < 0 || n > 255) Throw(5);
  return Value::String(std::string(1, static_cast<char>(n)));
}
// -32768..-1 name U+8000..U+FFFF as AscW gives them; a surrogate half is not
// a character of UTF-8 text.
Value ChrW(Interpreter& in, Args& a) {
  std::int32_t n = L(in, a, 0);
  if (n < -32768 || n > 0x10FFFF) Throw(5);
  auto c = static_cast<char32_t>(n < 0 ? n + 0x10000 : n);
  if (c >= 0xD800 && c <= 0xDFFF) Throw(5);
  return Value::String(OneChar(c));
}

// ---- conversions ----

Value CBool(Interpreter& in, Args& a) {
  return Value::Bool(ToBool(A(in, a, 0)));
}
Value CByte(Interpreter& in, Args& a) {
  return Value::Byte(ToByte(A(in, a, 0)));
}
Value CCur(Interpreter& in, Args& a) {
  return Value::Currency(ToCurrency(A(in, a, 0)));
}
Value CDate(Interpreter& in, Args& a) {
  return Value::Date(ToDate(A(in, a, 0)));
}
Value CDbl(Interpreter& in, Args& a) {
  return Value::Double(ToDouble(A(in, a, 0)));
}
Value CInt(Interpreter& in, Args& a) {
  return Value::Integer(ToInteger(A(in, a, 0)));
}
Value CLng(Interpreter& in, Args& a) {
  return Value::Long(ToLong(A(in, a, 0)));
}
Value CSng(Interpreter& in, Args& a) {
  double d = ToDouble(A(in, a, 0));
  if (std::fabs(d) > std::numeric_limits<float>::max()) Throw(6);
  return Value::Single(static_cast<float>(d));
}
Value CStr(Interpreter& in, Args& a) {
  return Value::String(ToText(A(in, a, 0)));
}
Value Radix(Interpreter& in, Args& a, bool hex) {
  Value v = A(in, a, 0);
  if (v.is_null()) return Value::Null();
  std::int32_t n = ToLong(v);
  std::uint32_t u = static_cast<std::uint32_t>(n);
  // A negative 16-bit value shows its 16 bits: Hex(-1) is "FFFF".
  bool small = v.type() == Type::Integer || v.type() == Type::Byte || v.type() == Type::Boolean ||
               v.is_empty();
  if (small && n < 0) u &= 0xFFFF;
  char buf[16];
  std::snprintf(buf, sizeof buf, hex ? "%X" : "%o", u);
  return Value::String(buf);
}
Value Hex(Interpreter& in, Args& a) {
  return Radix(in, a, true);
}
Value Oct(Interpreter& in, Args& a) {
  return Radix(in, a, false);
}
Value IntegralPart(Value v, bool fix) {
  switch (v.type()) {
    case Type::Null:
      return v;
    case Type::Empty:
      return Value::Integer(0);
    case Type::Integer:
    case Type::Long:
    case Type::Byte:
      return v;
    case Type::Boolean:
      return Value::Integer(static_cast<std::int16_t>(v.integer()));
    case Type::Currency: {
      double x = static_cast<double>(v.integer()) / 10000.0;
      return Value::Currency(
          static_cast<std::int64_t>((fix ? std::trunc(x) : std::floor(x)) * 10000));
    }
    case Type::Single:
      return Value::Single(static_cast<float>(fix ? std::trunc(v.real()) : std::floor(v.real())));
    case Type::Date:
      return Value::Date(fix ? std::trunc(v.real()) : std::floor(v.real()));
    default: {
      double x = ToDouble(v);
      return Value::Double(fix ? std::trunc(x) : std::floor(x));
    }
  }
}
Value Fix(Interpreter& in, Args& a) {
  return IntegralPart(A(in, a, 0), true);
}
Value Int(Interpreter& in, Args& a) {
  return IntegralPart(A(in, a, 0), false);
}
Value Round(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  std::int32_t digits = HasArg(a, 1) ? L(in, a, 1) : 0;
  if (digits < 0) Throw(5);
  if (v.is_null()) return v;
  switch (v.type()) {
    case Type::Integer:
    case Type::Long:
    case Type::Byte:
      return v;
    case Type::Boolean:
      return Value::Integer(static_cast<std::int16_t>(v.integer()));
    case Type::Empty:
      return Value::Integer(0);
    default:
      break;
  }
  double x = ToDouble(v);
  double r;
  if (digits > 15) {
    r = x;
  } else {
    double scale = std::pow(10.0, digits);
    double scaled = x * scale;
    // Scaling must not turn 2.675 into 267.49999: read it back at 15 digits.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", scaled);
    scaled = std::strtod(buf, nullptr);
    r = qz::RoundHalfEven(scaled) / scale;
  }
  if (v.type() == Type::Single) return Value::Single(static_cast<float>(r));
  if (v.type() == Type::Currency)
    return Value::Currency(static_cast<std::int64_t>(qz::RoundHalfEven(r * 10000)));
  if (v.type() == Type::Date) return Value::Date(r);
  return Value::Double(r);
}

// ---- math ----

Value Abs(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  if (v.is_null()) return v;
  if (ToDouble(v) < 0) return UnaryOp(Op::Neg, v);
  if (v.is_empty()) return Value::Integer(0);
  if (v.is_string()) return Value::Double(ToDouble(v));
  return v;
}
Value Sgn(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  if (v.is_null()) Throw(94);
  double x = ToDouble(v);
  return Value::Integer(static_cast<std::int16_t>(x > 0 ? 1 : (x < 0 ? -1 : 0)));
}
template <double (*F)(double)>
Value MathFn(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  if (v.is_null()) Throw(94);
  double r = F(ToDouble(v));
  if (!std::isfinite(r)) Throw(6);
  return Value::Double(r);
}
Value Sqr(Interpreter& in, Args& a) {
  double x = D(in, a, 0);
  if (x < 0) Throw(5);
  return Value::Double(std::sqrt(x));
}
Value Log(Interpreter& in, Args& a) {
  double x = D(in, a, 0);
  if (x <= 0) Throw(5);
  return Value::Double(std::log(x));
}
Value Rnd(Interpreter& in, Args& a) {
  double x = HasArg(a, 0) ? D(in, a, 0) : 1;
  return Value::Single(static_cast<float>(in.RandomNext(x)));
}
Value RandomizeFn(Interpreter& in, Args& a) {
  in.Randomize(HasArg(a, 0) ? std::optional<double>(D(in, a, 0)) : std::nullopt);
  return {};
}

// ---- checks ----

Value IsArray(Interpreter&, Args& a) {
  return Value::Bool(ArgValue(a, 0).is_array());
}
Value IsDate(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  if (v.type() == Type::Date) return Value::Bool(true);
  if (!v.is_string()) return Value::Bool(false);
  return Value::Bool(ParseDate(v.str()).has_value());
}
Value IsEmpty(Interpreter&, Args& a) {
  return Value::Bool(ArgValue(a, 0).is_empty());
}
Value IsNull(Interpreter&, Args& a) {
  return Value::Bool(ArgValue(a, 0).is_null());
}
Value IsNumeric(Interpreter& in, Args& a) {
  const Value& raw = ArgValue(a, 0);
  if (raw.is_array() || (raw.is_object() && !raw.object())) return Value::Bool(false);
  Value v = in.Simple(raw);
  if (v.is_string()) {
    try {
      return Value::Bool(TextNumber(v.str()).has_value());
    } catch (const ScriptError&) {
      return Value::Bool(true);  // a number too large to hold is still a number
    }
  }
  if (v.type() == Type::Date || v.is_null()) return Value::Bool(false);
  return Value::Bool(true);
}
Value IsObject(Interpreter&, Args& a) {
  return Value::Bool(ArgValue(a, 0).is_object());
}
std::string TypeNameOf(const Value& v) {
  switch (v.type()) {
    case Type::Empty:
      return "Empty";
    case Type::Null:
      return "Null";
    case Type::Integer:
      return "Integer";
    case Type::Long:
      return "Long";
    case Type::Single:
      return "Single";
    case Type::Double:
      return "Double";
    case Type::Currency:
      return "Currency";
    case Type::Date:
      return "Date";
    case Type::String:
      return "String";
    case Type::Boolean:
      return "Boolean";
    case Type::Byte:
      return "Byte";
    case Type::Array:
      return "Variant()";
    case Type::Object:
      return v.object() ? v.object()->TypeName() : "Nothing";
  }
  return "Unknown";
}
Value TypeNameFn(Interpreter&, Args& a) {
  return Value::String(TypeNameOf(ArgValue(a, 0)));
}
Value VarTypeFn(Interpreter&, Args& a) {
  const Value& v = ArgValue(a, 0);
  if (v.is_array()) return Value::Integer(8192 + 12);
  return Value::Integer(static_cast<std::int16_t>(v.type()));
}

// ---- arrays ----

Value ArrayFn(Interpreter&, Args& a) {
  auto arr = std::make_unique<ArrayData>();
  arr->upper.push_back(static_cast<std::int32_t>(a.size()) - 1);
  arr->Resize(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].missing) continue;
    arr->Holds(a[i].value);
    arr->items[i] = a[i].value;
  }
  return Value::Array(std::move(arr));
}
Value Bound(Interpreter& in, Args& a, bool upper) {
  const Value& v = ArgValue(a, 0);
  if (!v.is_array()) Throw(13);
  std::int32_t dim = HasArg(a, 1) ? L(in, a, 1) : 1;
  const ArrayData& arr = *v.array();
  if (dim < 1 || static_cast<std::size_t>(dim) > arr.upper.size()) Throw(9);
  return Value::Long(upper ? arr.upper[static_cast<std::size_t>(dim - 1)] : 0);
}
Value UBound(Interpreter& in, Args& a) {
  return Bound(in, a, true);
}
Value LBound(Interpreter& in, Args& a) {
  return Bound(in, a, false);
}

// ---- dates ----

double LocalNow() {
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  return MakeDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) +
         (tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec) / 86400.0;
}
Value Now(Interpreter&, Args&) {
  return Value::Date(LocalNow());
}
Value DateFn(Interpreter&, Args&) {
  return Value::Date(std::floor(LocalNow()));
}
Value TimeFn(Interpreter&, Args&) {
  double n = LocalNow();
  return Value::Date(n - std::floor(n));
}
Value Timer(Interpreter&, Args&) {
  double n = LocalNow();
  auto now = std::chrono::system_clock::now().time_since_epoch();
  double ms = static_cast<double>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(now).count() % 1000) /
              1000.0;
  return Value::Single(static_cast<float>((n - std::floor(n)) * 86400.0 + ms));
}
DateParts PartsArg(Interpreter& in, Args& a, std::size_t i, bool* null) {
  Value v = A(in, a, i);
  *null = v.is_null();
  if (*null) return {};
  return SplitDate(ToDate(v));
}
template <int Field>
Value DatePartFn(Interpreter& in, Args& a) {
  bool null;
  DateParts p = PartsArg(in, a, 0, &null);
  if (null) return Value::Null();
  int r = Field == 0   ? p.year
          : Field == 1 ? p.month
          : Field == 2 ? p.day
          : Field == 3 ? p.hour
          : Field == 4 ? p.minute
                       : p.second;
  return Value::Integer(static_cast<std::int16_t>(r));
}
int FirstDay(Interpreter& in, Args& a, std::size_t i) {
  int first = HasArg(a, i) ? L(in, a, i) : 1;
  if (first == 0) first = 1;
  if (first < 1 || first > 7) Throw(5);
  return first;
}
Value Weekday(Interpreter& in, Args& a) {
  bool null;
  DateParts p = PartsArg(in, a, 0, &null);
  int first = FirstDay(in, a, 1);
  if (null) return Value::Null();
  return Value::Integer(static_cast<std::int16_t>((p.weekday - first + 7) % 7 + 1));
}
std::string IntervalArg(Interpreter& in, Args& a) {
  return Folded(S(in, a, 0), true);
}
double AddMonths(double date, double months) {
  DateParts p = SplitDate(date);
  double base = MakeDate(p.year, p.month + months, 1);
  DateParts q = SplitDate(base);
  // The day stays, or becomes the last of a shorter month.
  double last = MakeDate(q.year, q.month + 1, 1) - 1;
  int last_day = SplitDate(last).day;
  double day = base + (std::min(p.day, last_day) - 1);
  double time = std::fabs(date - std::trunc(date));
  return day >= 0 ? day + time : day - time;
}
Value DateAdd(Interpreter& in, Args& a) {
  std::string iv = IntervalArg(in, a);
  double n = std::trunc(D(in, a, 1));
  Value dv = A(in, a, 2);
  if (dv.is_null()) return Value::Null();
  double d = ToDate(dv);
  double r;
  if (iv == "yyyy")
    r = AddMonths(d, n * 12);
  else if (iv == "q")
    r = AddMonths(d, n * 3);
  else if (iv == "m")
    r = AddMonths(d, n);
  else if (iv == "y" || iv == "d" || iv == "w")
    r = d + n;
  else if (iv == "ww")
    r = d + n * 7;
  else if (iv == "h")
    r = d + n / 24.0;
  else if (iv == "n")
    r = d + n / 1440.0;
  else if (iv == "s")
    r = d + n / 86400.0;
  else
    Throw(5);
  if (!(r >= -657434 && r < 2958466)) Throw(5);
  return Value::Date(r);
}
double Serial(double d) {
  // Whole seconds on a linear time line (negative dates count their time
  // forward from their day, as the serial form reads).
  double day = std::trunc(d);
  double frac = std::fabs(d - day);
  return day * 86400.0 + std::round(frac * 86400.0);
}
Value DateDiff(Interpreter& in, Args& a) {
  std::string iv = IntervalArg(in, a);
  Value v1 = A(in, a, 1), v2 = A(in, a, 2);
  int first = FirstDay(in, a, 3);
  if (v1.is_null() || v2.is_null()) return Value::Null();
  double d1 = ToDate(v1), d2 = ToDate(v2);
  DateParts p1 = SplitDate(d1), p2 = SplitDate(d2);
  double s1 = Serial(d1), s2 = Serial(d2);
  double day1 = std::floor(s1 / 86400.0), day2 = std::floor(s2 / 86400.0);
  double r;
  if (iv == "yyyy")
    r = p2.year - p1.year;
  else if (iv == "q")
    r = (p2.year - p1.year) * 4 + ((p2.month - 1) / 3 - (p1.month - 1) / 3);
  else if (iv == "m")
    r = (p2.year - p1.year) * 12 + (p2.month - p1.month);
  else if (iv == "y" || iv == "d")
    r = day2 - day1;
  else if (iv == "w")
    r = std::trunc((day2 - day1) / 7);
  else if (iv == "ww") {
    // Week starts (the first day of the week) between the two dates.
    auto week_start = [&](double day, int weekday) { return day - ((weekday - first + 7) % 7); };
    r = (week_start(day2, p2.weekday) - week_start(day1, p1.weekday)) / 7;
  } else if (iv == "h")
    r = std::floor(s2 / 3600) - std::floor(s1 / 3600);
  else if (iv == "n")
    r = std::floor(s2 / 60) - std::floor(s1 / 60);
  else if (iv == "s")
    r = s2 - s1;
  else
    Throw(5);
  if (std::fabs(r) <= 2147483647.0) return Value::Long(static_cast<std::int32_t>(r));
  return Value::Double(r);
}
Value DatePart(Interpreter& in, Args& a) {
  std::string iv = IntervalArg(in, a);
  Value v = A(in, a, 1);
  int first = FirstDay(in, a, 2);
  if (v.is_null()) return Value::Null();
  double d = ToDate(v);
  DateParts p = SplitDate(d);
  int r;
  if (iv == "yyyy")
    r = p.year;
  else if (iv == "q")
    r = (p.month - 1) / 3 + 1;
  else if (iv == "m")
    r = p.month;
  else if (iv == "y")
    r = static_cast<int>(std::trunc(d) - MakeDate(p.year, 1, 1)) + 1;
  else if (iv == "d")
    r = p.day;
  else if (iv == "w")
    r = (p.weekday - first + 7) % 7 + 1;
  else if (iv == "ww") {
    double jan1 = MakeDate(p.year, 1, 1);
    int jan1_wd = SplitDate(jan1).weekday;
    int offset = (jan1_wd - first + 7) % 7;
    r = static_cast<int>((std::trunc(d) - jan1 + offset) / 7) + 1;
  } else if (iv == "h")
    r = p.hour;
  else if (iv == "n")
    r = p.minute;
  else if (iv == "s")
    r = p.second;
  else
    Throw(5);
  return Value::Integer(static_cast<std::int16_t>(r));
}
Value DateSerial(Interpreter& in, Args& a) {
  return Value::Date(
      MakeDate(std::trunc(D(in, a, 0)), std::trunc(D(in, a, 1)), std::trunc(D(in, a, 2))));
}
Value TimeSerial(Interpreter& in, Args& a) {
  double t = MakeTime(D(in, a, 0), D(in, a, 1), D(in, a, 2));
  if (t < 0) {
    // Before midnight of day zero: the day before, counted forward.
    double day = std::floor(t);
    t = day - (t - day);
  }
  return Value::Date(t);
}
Value DateValue(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  if (v.is_null()) return v;
  return Value::Date(std::trunc(ToDate(v)));
}
Value TimeValue(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  if (v.is_null()) return v;
  double d = ToDate(v);
  return Value::Date(std::fabs(d - std::trunc(d)));
}
Value MonthNameFn(Interpreter& in, Args& a) {
  bool abbr = HasArg(a, 1) && ToBool(A(in, a, 1));
  return Value::String(std::string(MonthName(L(in, a, 0), abbr)));
}
Value WeekdayNameFn(Interpreter& in, Args& a) {
  bool abbr = HasArg(a, 1) && ToBool(A(in, a, 1));
  int first = FirstDay(in, a, 2);
  int n = L(in, a, 0);
  if (n < 1 || n > 7) Throw(5);
  return Value::String(std::string(WeekdayName((n - 1 + first - 1) % 7 + 1, abbr)));
}
Value FormatDateTimeFn(Interpreter& in, Args& a) {
  Value v = A(in, a, 0);
  int f = HasArg(a, 1) ? L(in, a, 1) : 0;
  if (f < 0 || f > 4) Throw(5);
  if (v.is_null()) Throw(13);
  return Value::String(FormatDate(ToDate(v), f));
}

// ---- formatting (English rules: ',' groups thousands, '.' the decimals) ----

std::string FormatFixed(double x, int digits, int leading, int parens, int group,
                        std::string_view prefix, std::string_view suffix, bool currency) {
  if (digits < -1 || digits > 255) Throw(5);
  if (digits == -1) digits = 2;
  if (!std::isfinite(x)) Throw(6);
  bool neg = x < 0;
  double ax = std::fabs(x);
  // Halves away from zero, after reading the value at 15 digits.
  char probe[64];
  std::snprintf(probe, sizeof probe, "%.15g", ax);
  ax = std::strtod(probe, nullptr);
  double scale = std::pow(10.0, std::min(digits, 15));
  double rounded = std::floor(ax * scale + 0.5) / scale;
  std::string text;
  {
    std::vector<char> buf(static_cast<std::size_t>(digits) + 400);
    std::snprintf(buf.data(), buf.size(), "%.*f", digits, rounded);
    text = buf.data();
  }
  if (rounded == 0) neg = false;
  std::size_t point = text.find('.');
  std::string whole = text.substr(0, point);
  std::string frac = point == std::string::npos ? "" : text.substr(point);
  if (whole == "0" && leading == 0) whole.clear();
  if (group != 0 && whole.size() > 3) {
    std::string g;
    int count = 0;
    for (auto it = whole.rbegin(); it != whole.rend(); ++it) {
      if (count && count % 3 == 0) g.push_back(',');
      g.push_back(*it);
      ++count;
    }
    whole.assign(g.rbegin(), g.rend());
  }
  std::string body = std::string(prefix) + whole + frac + std::string(suffix);
  bool use_parens = parens == -1 || (parens == -2 && currency);
  if (!neg) return body;
  return use_parens ? "(" + body + ")" : "-" + body;
}
Value FormatGeneric(Interpreter& in, Args& a, std::string_view prefix, std::string_view suffix,
                    double factor, bool currency) {
  Value v = A(in, a, 0);
  if (v.is_null()) Throw(13);
  double x = ToDouble(v) * factor;
  int digits = HasArg(a, 1) ? L(in, a, 1) : -1;
  int leading = HasArg(a, 2) ? L(in, a, 2) : -2;
  int parens = HasArg(a, 3) ? L(in, a, 3) : -2;
  int group = HasArg(a, 4) ? L(in, a, 4) : -2;
  return Value::String(FormatFixed(x, digits, leading, parens, group, prefix, suffix, currency));
}
Value FormatNumberFn(Interpreter& in, Args& a) {
  return FormatGeneric(in, a, "", "", 1, false);
}
Value FormatCurrencyFn(Interpreter& in, Args& a) {
  return FormatGeneric(in, a, "$", "", 1, true);
}
Value FormatPercentFn(Interpreter& in, Args& a) {
  return FormatGeneric(in, a, "", "%", 100, false);
}

// ---- the engine ----

Value EvalFn(Interpreter& in, Args& a) {
  return in.Eval(S(in, a, 0));
}
Value ExecuteFn(Interpreter& in, Args& a) {
  in.Execute(S(in, a, 0), false);
  return {};
}
Value ExecuteGlobalFn(Interpreter& in, Args& a) {
  in.Execute(S(in, a, 0), true);
  return {};
}
Value GetRefFn(Interpreter& in, Args& a) {
  return Value::Object(in.GetRef(S(in, a, 0)));
}
Value ScriptEngine(Interpreter&, Args&) {
  return Value::String("VBScript");
}
Value EngineMajor(Interpreter&, Args&) {
  return Value::Long(5);
}
Value EngineMinor(Interpreter&, Args&) {
  return Value::Long(8);
}
Value EngineBuild(Interpreter&, Args&) {
  return Value::Long(1);
}
Value Rgb(Interpreter& in, Args& a) {
  auto part = [&](std::size_t i) {
    std::int32_t v = L(in, a, i);
    if (v < 0) Throw(5);
    return std::min(v, 255);
  };
  return Value::Long(part(0) | (part(1) << 8) | (part(2) << 16));
}

const std::unordered_map<std::string_view, Builtin>& Table() {
  static const std::unordered_map<std::string_view, Builtin> table = {
      {"len", {1, 1, Len}},
      {"left", {2, 2, Left}},
      {"right", {2, 2, Right}},
      {"mid", {2, 3, Mid}},
      {"instr", {2, 4, InStr}},
      {"instrrev", {2, 4, InStrRev}},
      {"replace", {3, 6, Replace}},
      {"split", {1, 4, Split}},
      {"join", {1, 2, Join}},
      {"filter", {2, 4, Filter}},
      {"trim", {1, 1, TrimFn<0>}},
      {"ltrim", {1, 1, TrimFn<1>}},
      {"rtrim", {1, 1, TrimFn<2>}},
      {"ucase", {1, 1, CaseFn<true>}},
      {"lcase", {1, 1, CaseFn<false>}},
      {"space", {1, 1, Space}},
      {"string", {2, 2, StringFn}},
      {"strcomp", {2, 3, StrComp}},
      {"strreverse", {1, 1, StrReverse}},
      {"asc", {1, 1, Asc}},
      {"ascb", {1, 1, AscB}},
      {"ascw", {1, 1, AscW}},
      {"chr", {1, 1, Chr}},
      {"chrb", {1, 1, ChrB}},
      {"chrw", {1, 1, ChrW}},
      {"cbool", {1, 1, CBool}},
      {"cbyte", {1, 1, CByte}},
      {"ccur", {1, 1, CCur}},
      {"cdate", {1, 1, CDate}},
      {"cdbl", {1, 1, CDbl}},
      {"cint", {1, 1, CInt}},
      {"clng", {1, 1, CLng}},
      {"csng", {1, 1, CSng}},
      {"cstr", {1, 1, CStr}},
      {"hex", {1, 1, Hex}},
      {"oct", {1, 1, Oct}},
      {"fix", {1, 1, Fix}},
      {"int", {1, 1, Int}},
      {"round", {1, 2, Round}},
      {"abs", {1, 1, Abs}},
      {"sgn", {1, 1, Sgn}},
      {"sqr", {1, 1, Sqr}},
      {"exp", {1, 1, MathFn<std::exp>}},
      {"log", {1, 1, Log}},
      {"sin", {1, 1, MathFn<std::sin>}},
      {"cos", {1, 1, MathFn<std::cos>}},
      {"tan", {1, 1, MathFn<std::tan>}},
      {"atn", {1, 1, MathFn<std::atan>}},
      {"rnd", {0, 1, Rnd}},
      {"randomize", {0, 1, RandomizeFn}},
      {"isarray", {1, 1, IsArray}},
      {"isdate", {1, 1, IsDate}},
      {"isempty", {1, 1, IsEmpty}},
      {"isnull", {1, 1, IsNull}},
      {"isnumeric", {1, 1, IsNumeric}},
      {"isobject", {1, 1, IsObject}},
      {"typename", {1, 1, TypeNameFn}},
      {"vartype", {1, 1, VarTypeFn}},
      {"array", {0, 100000, ArrayFn}},
      {"ubound", {1, 2, UBound}},
      {"lbound", {1, 2, LBound}},
      {"now", {0, 0, Now}},
      {"date", {0, 0, DateFn}},
      {"time", {0, 0, TimeFn}},
      {"timer", {0, 0, Timer}},
      {"year", {1, 1, DatePartFn<0>}},
      {"month", {1, 1, DatePartFn<1>}},
      {"day", {1, 1, DatePartFn<2>}},
      {"hour", {1, 1, DatePartFn<3>}},
      {"minute", {1, 1, DatePartFn<4>}},
      {"second", {1, 1, DatePartFn<5>}},
      {"weekday", {1, 2, Weekday}},
      {"dateadd", {3, 3, DateAdd}},
      {"datediff", {3, 5, DateDiff}},
      {"datepart", {2, 4, DatePart}},
      {"dateserial", {3, 3, DateSerial}},
      {"timeserial", {3, 3, TimeSerial}},
      {"datevalue", {1, 1, DateValue}},
      {"timevalue", {1, 1, TimeValue}},
      {"monthname", {1, 2, MonthNameFn}},
      {"weekdayname", {1, 3, WeekdayNameFn}},
      {"formatdatetime", {1, 2, FormatDateTimeFn}},
      {"formatnumber", {1, 5, FormatNumberFn}},
      {"formatcurrency", {1, 5, FormatCurrencyFn}},
      {"formatpercent", {1, 5, FormatPercentFn}},
      {"eval", {1, 1, EvalFn}},
      {"execute", {1, 1, ExecuteFn}},
      {"executeglobal", {1, 1, ExecuteGlobalFn}},
      {"getref", {1, 1, GetRefFn}},
      {"scriptengine", {0, 0, ScriptEngine}},
      {"scriptenginemajorversion", {0, 0, EngineMajor}},
      {"scriptengineminorversion", {0, 0, EngineMinor}},
      {"scriptenginebuildversion", {0, 0, EngineBuild}},
      {"rgb", {3, 3, Rgb}},
  };
  return table;
}

const std::unordered_map<std::string_view, Value>& Constants() {
  static const std::unordered_map<std::string_view, Value> table = [] {
    std::unordered_map<std::string_view, Value> t;
    auto i = [&](std::string_view n, int v) {
      t.emplace(n, Value::Integer(static_cast<std::int16_t>(v)));
    };
    auto l = [&](std::string_view n, std::int32_t v) { t.emplace(n, Value::Long(v)); };
    auto s = [&](std::string_view n, std::string v) { t.emplace(n, Value::String(std::move(v))); };
    s("vbcrlf", "\r\n");
    s("vbnewline", "\r\n");
    s("vbcr", "\r");
    s("vblf", "\n");
    s("vbtab", "\t");
    s("vbback", "\b");
    s("vbformfeed", "\f");
    s("vbverticaltab", "\v");
    s("vbnullstring", "");
    s("vbnullchar", std::string(1, '\0'));
    t.emplace("vbtrue", Value::Integer(-1));
    t.emplace("vbfalse", Value::Integer(0));
    i("vbusedefault", -2);
    i("vbbinarycompare", 0);
    i("vbtextcompare", 1);
    i("vbdatabasecompare", 2);
    i("vbempty", 0);
    i("vbnull", 1);
    i("vbinteger", 2);
    i("vblong", 3);
    i("vbsingle", 4);
    i("vbdouble", 5);
    i("vbcurrency", 6);
    i("vbdate", 7);
    i("vbstring", 8);
    i("vbobject", 9);
    i("vberror", 10);
    i("vbboolean", 11);
    i("vbvariant", 12);
    i("vbdataobject", 13);
    i("vbdecimal", 14);
    i("vbbyte", 17);
    i("vbarray", 8192);
    i("vbsunday", 1);
    i("vbmonday", 2);
    i("vbtuesday", 3);
    i("vbwednesday", 4);
    i("vbthursday", 5);
    i("vbfriday", 6);
    i("vbsaturday", 7);
    i("vbusesystemdayofweek", 0);
    i("vbusesystem", 0);
    i("vbfirstjan1", 1);
    i("vbfirstfourdays", 2);
    i("vbfirstfullweek", 3);
    i("vbgeneraldate", 0);
    i("vblongdate", 1);
    i("vbshortdate", 2);
    i("vblongtime", 3);
    i("vbshorttime", 4);
    l("vbobjecterror", static_cast<std::int32_t>(0x80040000u));
    l("vbblack", 0);
    l("vbred", 0xFF);
    l("vbgreen", 0xFF00);
    l("vbyellow", 0xFFFF);
    l("vbblue", 0xFF0000);
    l("vbmagenta", 0xFF00FF);
    l("vbcyan", 0xFFFF00);
    l("vbwhite", 0xFFFFFF);
    i("vbokonly", 0);
    i("vbokcancel", 1);
    i("vbyesno", 4);
    return t;
  }();
  return table;
}

}  // namespace

const Builtin* FindBuiltin(std::string_view name) {
  const auto& t = Table();
  auto it = t.find(name);
  return it == t.end() ? nullptr : &it->second;
}

const Value* FindConstant(std::string_view name) {
  const auto& t = Constants();
  auto it = t.find(name);
  return it == t.end() ? nullptr : &it->second;
}

}  // namespace qz::vbs
