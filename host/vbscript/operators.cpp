#include "host/vbscript/operators.h"

#include <strings.h>
#include <cmath>
#include <limits>

#include "host/vbscript/conversions.h"
#include "platform/automation/convert.h"

namespace qz::vbs {
namespace {

// The widening order of the numeric subtypes.
int Rank(Type t) {
  switch (t) {
    case Type::Byte:
      return 1;
    case Type::Empty:
    case Type::Boolean:
    case Type::Integer:
      return 2;
    case Type::Long:
      return 3;
    case Type::Single:
      return 4;
    case Type::String:
    case Type::Double:
      return 5;
    case Type::Currency:
      return 6;
    case Type::Date:
      return 7;
    default:
      Throw(13);
  }
}

Value IntegerOfRank(int rank, double v) {
  // Widening on overflow: Byte -> Integer -> Long -> Double.
  if (rank <= 1 && v >= 0 && v <= 255) return Value::Byte(static_cast<std::uint8_t>(v));
  if (rank <= 2 && v >= -32768 && v <= 32767) return Value::Integer(static_cast<std::int16_t>(v));
  if (rank <= 3 && v >= -2147483648.0 && v <= 2147483647.0)
    return Value::Long(static_cast<std::int32_t>(v));
  return Value::Double(v);
}

Value RealOfRank(int rank, double v) {
  if (rank == 4 && std::fabs(v) <= std::numeric_limits<float>::max()) {
    return Value::Single(static_cast<float>(v));
  }
  if (!std::isfinite(v)) Throw(6);
  return Value::Double(v);
}

Value CurrencyOf(double scaled) {
  if (!(std::fabs(scaled) < 9.2233720368547e18)) Throw(6);
  return Value::Currency(static_cast<std::int64_t>(qz::RoundHalfEven(scaled)));
}

Value Arithmetic(Op op, const Value& a, const Value& b) {
  if (a.is_null() || b.is_null()) return Value::Null();
  int ra = Rank(a.type()), rb = Rank(b.type());
  int rank = std::max(ra, rb);
  double x = ToDouble(a), y = ToDouble(b);
  if (op == Op::Add || op == Op::Sub) {
    if (a.type() == Type::Date || b.type() == Type::Date) {
      double r = op == Op::Add ? x + y : x - y;
      if (op == Op::Sub && a.type() == Type::Date && b.type() == Type::Date)
        return Value::Double(r);
      if (!(r >= -657434 && r < 2958466)) Throw(6);
      return Value::Date(r);
    }
  }
  if (rank == 6 || rank == 7) {
    // Currency with a Single or Double gives a Double; with integers Currency.
    bool real = (ra == 4 || ra == 5 || rb == 4 || rb == 5);
    if (rank == 7) real = true;
    if (!real) {
      double cx = static_cast<double>(ToCurrency(a)), cy = static_cast<double>(ToCurrency(b));
      switch (op) {
        case Op::Add:
          return CurrencyOf(cx + cy);
        case Op::Sub:
          return CurrencyOf(cx - cy);
        case Op::Mul:
          return CurrencyOf(cx * cy / 10000.0);
        default:
          break;
      }
    }
    rank = 5;
  }
  double r = 0;
  switch (op) {
    case Op::Add:
      r = x + y;
      break;
    case Op::Sub:
      r = x - y;
      break;
    case Op::Mul:
      r = x * y;
      break;
    default:
      break;
  }
  if (rank <= 3) return IntegerOfRank(rank, r);
  return RealOfRank(rank, r);
}

Value Logical(Op op, const Value& a, const Value& b) {
  bool boolean = (a.type() == Type::Boolean || a.is_null()) &&
                 (b.type() == Type::Boolean || b.is_null()) && !(a.is_null() && b.is_null());
  if (a.is_null() || b.is_null()) {
    const Value& other = a.is_null() ? b : a;
    if (other.is_null()) return Value::Null();
    std::int64_t o = ToLong(other);
    switch (op) {
      case Op::And:
        if (o == 0) return boolean ? Value::Bool(false) : Value::Integer(0);
        return Value::Null();
      case Op::Or:
        if (o == -1) return boolean ? Value::Bool(true) : other;
        return Value::Null();
      case Op::Imp:
        if (a.is_null() && o == -1) return boolean ? Value::Bool(true) : Value::Integer(-1);
        if (b.is_null() && o == 0) return boolean ? Value::Bool(true) : Value::Integer(-1);
        return Value::Null();
      default:
        return Value::Null();
    }
  }
  std::int32_t x = ToLong(a), y = ToLong(b);
  std::int32_t r = 0;
  switch (op) {
    case Op::And:
      r = x & y;
      break;
    case Op::Or:
      r = x | y;
      break;
    case Op::Xor:
      r = x ^ y;
      break;
    case Op::Eqv:
      r = ~(x ^ y);
      break;
    case Op::Imp:
      r = ~x | y;
      break;
    default:
      break;
  }
  if (a.type() == Type::Boolean && b.type() == Type::Boolean) return Value::Bool(r != 0);
  bool small = Rank(a.type()) <= 2 && Rank(b.type()) <= 2 && a.type() != Type::String &&
               b.type() != Type::String;
  if (small) {
    if (a.type() == Type::Byte && b.type() == Type::Byte)
      return Value::Byte(static_cast<std::uint8_t>(r));
    return Value::Integer(static_cast<std::int16_t>(r));
  }
  return Value::Long(r);
}

}  // namespace

std::optional<int> Compare(const Value& a, const Value& b, bool literal_a, bool literal_b,
                           bool text_compare) {
  if (a.is_null() || b.is_null()) return std::nullopt;
  if (a.is_object() || b.is_object() || a.is_array() || b.is_array()) Throw(13);
  auto three_way = [](double x, double y) { return x < y ? -1 : (x > y ? 1 : 0); };
  auto text = [&](const std::string& x, const std::string& y) {
    int c = text_compare ? strcasecmp(x.c_str(), y.c_str()) : x.compare(y);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  };
  bool sa = a.is_string(), sb = b.is_string();
  if (sa && sb) return text(a.str(), b.str());
  if (a.is_empty() && b.is_empty()) return 0;
  if (sa && b.is_empty()) return text(a.str(), "");
  if (sb && a.is_empty()) return text("", b.str());
  if (sa || sb) {
    const Value& s = sa ? a : b;
    bool other_literal = sa ? literal_b : literal_a;
    if (other_literal) {
      auto n = TextNumber(s.str());
      if (!n) Throw(13);
      double x = sa ? *n : ToDouble(a);
      double y = sa ? ToDouble(b) : *n;
      return three_way(x, y);
    }
    // A number is less than any text.
    return sa ? 1 : -1;
  }
  if (a.type() == Type::Currency && b.type() == Type::Currency) {
    return a.integer() < b.integer() ? -1 : (a.integer() > b.integer() ? 1 : 0);
  }
  return three_way(ToDouble(a), ToDouble(b));
}

Value BinaryOp(Op op, const Value& a, const Value& b, bool literal_a, bool literal_b) {
  switch (op) {
    case Op::Add:
      if (a.is_string() && b.is_string()) return Value::String(a.str() + b.str());
      if (a.is_empty() && b.is_string()) return b;
      if (b.is_empty() && a.is_string()) return a;
      return Arithmetic(op, a, b);
    case Op::Sub:
    case Op::Mul:
      return Arithmetic(op, a, b);
    case Op::Div: {
      if (a.is_null() || b.is_null()) return Value::Null();
      double x = ToDouble(a), y = ToDouble(b);
      if (y == 0) Throw(x == 0 ? 6 : 11);
      double r = x / y;
      if (!std::isfinite(r)) Throw(6);
      bool single = (a.type() == Type::Single || Rank(a.type()) <= 2) &&
                    (b.type() == Type::Single || Rank(b.type()) <= 2) &&
                    (a.type() == Type::Single || b.type() == Type::Single);
      return single ? RealOfRank(4, r) : Value::Double(r);
    }
    case Op::IntDiv:
    case Op::Mod: {
      if (a.is_null() || b.is_null()) return Value::Null();
      std::int32_t x = ToLong(a), y = ToLong(b);
      if (y == 0) Throw(11);
      std::int64_t r =
          op == Op::IntDiv ? static_cast<std::int64_t>(x) / y : static_cast<std::int64_t>(x) % y;
      int rank = std::max(Rank(a.type()), Rank(b.type()));
      return IntegerOfRank(rank <= 2 ? std::max(rank, 2) : 3, static_cast<double>(r));
    }
    case Op::Pow: {
      if (a.is_null() || b.is_null()) return Value::Null();
      double x = ToDouble(a), y = ToDouble(b);
      if (x == 0 && y < 0) Throw(5);
      if (x < 0 && y != std::trunc(y)) Throw(5);
      double r = std::pow(x, y);
      if (!std::isfinite(r)) Throw(6);
      return Value::Double(r);
    }
    case Op::Concat: {
      if (a.is_null() && b.is_null()) return Value::Null();
      std::string r = a.is_null() ? std::string() : ToText(a);
      std::string tb = b.is_null() ? std::string() : ToText(b);
      CheckStringSize(r.size() + tb.size());
      r += tb;
      return Value::String(std::move(r));
    }
    case Op::Eq:
    case Op::Ne:
    case Op::Lt:
    case Op::Gt:
    case Op::Le:
    case Op::Ge: {
      auto c = Compare(a, b, literal_a, literal_b);
      if (!c) return Value::Null();
      switch (op) {
        case Op::Eq:
          return Value::Bool(*c == 0);
        case Op::Ne:
          return Value::Bool(*c != 0);
        case Op::Lt:
          return Value::Bool(*c < 0);
        case Op::Gt:
          return Value::Bool(*c > 0);
        case Op::Le:
          return Value::Bool(*c <= 0);
        default:
          return Value::Bool(*c >= 0);
      }
    }
    case Op::And:
    case Op::Or:
    case Op::Xor:
    case Op::Eqv:
    case Op::Imp:
      return Logical(op, a, b);
    default:
      Throw(5);
  }
}

Value UnaryOp(Op op, const Value& a) {
  if (a.is_null()) return Value::Null();
  if (op == Op::Not) {
    if (a.type() == Type::Boolean) return Value::Bool(a.integer() == 0);
    if (a.type() == Type::Byte) return Value::Byte(static_cast<std::uint8_t>(~a.integer()));
    if (a.type() == Type::Integer || a.is_empty())
      return Value::Integer(static_cast<std::int16_t>(~a.integer()));
    return Value::Long(~ToLong(a));
  }
  // Negation.
  switch (a.type()) {
    case Type::Empty:
      return Value::Integer(0);
    case Type::Boolean:
    case Type::Byte:
    case Type::Integer:
      return IntegerOfRank(2, -static_cast<double>(a.integer()));
    case Type::Long:
      return IntegerOfRank(3, -static_cast<double>(a.integer()));
    case Type::Currency:
      return Value::Currency(-a.integer());
    case Type::Single:
      return Value::Single(static_cast<float>(-a.real()));
    case Type::Date:
      return Value::Date(-a.real());
    default:
      return Value::Double(-ToDouble(a));
  }
}

}  // namespace qz::vbs
