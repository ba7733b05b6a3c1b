#include "host/vbscript/value.h"

#include <algorithm>

#include "platform/automation/error.h"

namespace qz::vbs {

Value::Value(const Value& o)
    : type_(o.type_),
      i_(o.i_),
      d_(o.d_),
      s_(o.s_),
      o_(o.o_),
      a_(o.a_ ? std::make_unique<ArrayData>(*o.a_) : nullptr) {}

Value& Value::operator=(const Value& o) {
  if (this != &o) {
    Value copy(o);
    *this = std::move(copy);
  }
  return *this;
}

Value::Value(Value&& o) noexcept
    : type_(o.type_),
      i_(o.i_),
      d_(o.d_),
      s_(std::move(o.s_)),
      o_(std::move(o.o_)),
      a_(std::move(o.a_)) {
  o.type_ = Type::Empty;
}

Value& Value::operator=(Value&& o) noexcept {
  if (this != &o) {
    Value old(std::move(*this));
    type_ = o.type_;
    i_ = o.i_;
    d_ = o.d_;
    s_ = std::move(o.s_);
    o_ = std::move(o.o_);
    a_ = std::move(o.a_);
    o.type_ = Type::Empty;
  }
  return *this;
}

Value::~Value() = default;

void ArrayData::Holds(const Value& child) {
  if (!child.is_array()) return;
  int d = child.array()->depth + 1;
  if (d > kMaxNesting) Throw(28);
  depth = std::max(depth, d);
}

Value Value::Object(Ref<vbs::Object> o) {
  Value v(Type::Object);
  v.o_ = std::move(o);
  return v;
}

Value Value::Array(std::unique_ptr<ArrayData> a) {
  Value v(Type::Array);
  v.a_ = std::move(a);
  return v;
}

bool Value::is_numeric() const {
  switch (type_) {
    case Type::Integer:
    case Type::Long:
    case Type::Single:
    case Type::Double:
    case Type::Currency:
    case Type::Date:
    case Type::Boolean:
    case Type::Byte:
      return true;
    default:
      return false;
  }
}

ItemBudget& ThreadItemBudget() {
  thread_local ItemBudget budget;
  return budget;
}

void TakeItems(std::size_t n) {
  ItemBudget& b = ThreadItemBudget();
  if (n > b.limit || b.live > b.limit - n) Throw(7);
  b.live += n;
}

void CheckStringSize(std::size_t bytes) {
  if (bytes > ThreadItemBudget().max_string) Throw(7);
}

void GiveItems(std::size_t n) {
  ItemBudget& b = ThreadItemBudget();
  b.live = n > b.live ? 0 : b.live - n;
}

ArrayData::ArrayData(const ArrayData& o) : upper(o.upper), fixed(false), depth(o.depth) {
  TakeItems(o.items.size());
  try {
    items = o.items;
  } catch (...) {
    GiveItems(o.items.size());
    throw;
  }
}

ArrayData::~ArrayData() {
  GiveItems(items.size());
}

void ArrayData::Resize(std::size_t n) {
  if (n > items.size()) {
    TakeItems(n - items.size());
    try {
      items.resize(n);
    } catch (...) {
      GiveItems(n - items.size());
      throw;
    }
  } else {
    GiveItems(items.size() - n);
    items.resize(n);
  }
}

bool Object::Enumerate(Interpreter&, std::vector<Value>&) {
  return false;
}

std::string_view MessageOf(std::int32_t number) {
  switch (number) {
    case 3:
      return "Return without GoSub";
    case 5:
      return "Invalid procedure call or argument";
    case 6:
      return "Overflow";
    case 7:
      return "Out of memory";
    case 9:
      return "Subscript out of range";
    case 10:
      return "This array is fixed or temporarily locked";
    case 11:
      return "Division by zero";
    case 13:
      return "Type mismatch";
    case 14:
      return "Out of string space";
    case 28:
      return "Out of stack space";
    case 35:
      return "Sub or Function not defined";
    case 48:
      return "Error in loading DLL";
    case 51:
      return "Internal error";
    case 91:
      return "Object variable not set";
    case 92:
      return "For loop not initialized";
    case 94:
      return "Invalid use of Null";
    case 424:
      return "Object required";
    case 429:
      return "ActiveX component can't create object";
    case 438:
      return "Object doesn't support this property or method";
    case 440:
      return "Automation error";
    case 445:
      return "Object doesn't support this action";
    case 446:
      return "Object doesn't support named arguments";
    case 449:
      return "Argument not optional";
    case 450:
      return "Wrong number of arguments or invalid property assignment";
    case 451:
      return "Object not a collection";
    case 458:
      return "Variable uses an Automation type not supported in VBScript";
    case 462:
      return "The remote server machine does not exist or is unavailable";
    case 500:
      return "Variable is undefined";
    case 501:
      return "Illegal assignment";
    case 502:
      return "Object not safe for scripting";
    case 503:
      return "Object not safe for initializing";
    case 505:
      return "Invalid or unqualified reference";
    case 506:
      return "Class not defined";
    case 1001:
      return "Out of memory";
    case 1002:
      return "Syntax error";
    case 1003:
      return "Expected ':'";
    case 1005:
      return "Expected '('";
    case 1006:
      return "Expected ')'";
    case 1010:
      return "Expected identifier";
    case 1011:
      return "Expected '='";
    case 1012:
      return "Expected 'If'";
    case 1013:
      return "Expected 'To'";
    case 1014:
      return "Expected 'End'";
    case 1015:
      return "Expected 'Function'";
    case 1016:
      return "Expected 'Sub'";
    case 1017:
      return "Expected 'Then'";
    case 1018:
      return "Expected 'Wend'";
    case 1019:
      return "Expected 'Loop'";
    case 1020:
      return "Expected 'Next'";
    case 1021:
      return "Expected 'Case'";
    case 1022:
      return "Expected 'Select'";
    case 1023:
      return "Expected expression";
    case 1024:
      return "Expected statement";
    case 1025:
      return "Expected end of statement";
    case 1026:
      return "Expected integer constant";
    case 1027:
      return "Expected 'While' or 'Until'";
    case 1028:
      return "Expected 'While', 'Until' or end of statement";
    case 1029:
      return "Expected 'With'";
    case 1030:
      return "Identifier too long";
    case 1031:
      return "Invalid number";
    case 1032:
      return "Invalid character";
    case 1033:
      return "Unterminated string constant";
    case 1034:
      return "Unterminated comment";
    case 1037:
      return "Invalid use of 'Me' keyword";
    case 1038:
      return "'loop' without 'do'";
    case 1039:
      return "Invalid 'exit' statement";
    case 1040:
      return "Invalid 'for' loop control variable";
    case 1041:
      return "Name redefined";
    case 1042:
      return "Must be first statement on the line";
    case 1044:
      return "Cannot use parentheses when calling a Sub";
    case 1045:
      return "Expected literal constant";
    case 1046:
      return "Expected 'In'";
    case 1047:
      return "Expected 'Class'";
    case 1048:
      return "Must be defined inside a Class";
    case 1049:
      return "Expected Let or Set or Get in property declaration";
    case 1050:
      return "Expected 'Property'";
    case 1051:
      return "Number of arguments must be the same in every accessor of a property";
    case 1052:
      return "Cannot have multiple default property/method in a Class";
    case 1053:
      return "Class initialize or terminate do not have arguments";
    case 1054:
      return "Property set or let must have at least one argument";
    case 1055:
      return "Unexpected 'Next'";
    case 1057:
      return "'Default' must go with 'Public'";
    case 1058:
      return "'Default' can only be on Property Get";
    case 32811:
      return "Element not found";
    default:
      return StandardMessage(number);
  }
}

ScriptError::ScriptError(std::int32_t n, std::string d, std::string s)
    : number(n), description(std::move(d)), source(std::move(s)) {
  if (description.empty()) description = std::string(MessageOf(n));
}

void Throw(std::int32_t number, std::string_view description) {
  throw ScriptError(number, std::string(description), "VBScript runtime error");
}

}  // namespace qz::vbs
