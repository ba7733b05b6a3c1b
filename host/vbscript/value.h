// The values of the VBScript language: a variant with the language's own
// subtypes (dates, currency, bytes, arrays and script objects besides the
// automation ones), the objects a script holds, and the error a script
// raises.
//
// Arrays are values: copying a Value copies its array, as assigning an array
// does in the language. Objects are shared by reference count.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/automation/variant.h"
#include "platform/com/dispatch.h"
#include "platform/com/unknown.h"

namespace qz::vbs {

// The subtypes, numbered as VarType answers them.
enum class Type : std::uint16_t {
  Empty = 0,
  Null = 1,
  Integer = 2,
  Long = 3,
  Single = 4,
  Double = 5,
  Currency = 6,
  Date = 7,
  String = 8,
  Object = 9,
  Boolean = 11,
  Byte = 17,
  Array = 0x200C,
};

class Object;
class Interpreter;

// An intrusive reference to an Object: the platform's owner of counted
// references (Object has AddRef and Release).
template <class T>
using Ref = ComPtr<T>;

struct ArrayData;

class Value {
 public:
  Value() = default;
  Value(const Value& o);
  Value(Value&& o) noexcept;  // leaves o Empty
  Value& operator=(const Value& o);
  // The old value goes only once this one is whole: releasing it may run
  // script (Class_Terminate) that reads or writes this very variable.
  Value& operator=(Value&& o) noexcept;
  ~Value();

  static Value Null() { return Value(Type::Null); }
  static Value Integer(std::int16_t v) { return Value(Type::Integer, std::int64_t{v}); }
  static Value Long(std::int32_t v) { return Value(Type::Long, std::int64_t{v}); }
  static Value Byte(std::uint8_t v) { return Value(Type::Byte, std::int64_t{v}); }
  static Value Bool(bool b) { return Value(Type::Boolean, std::int64_t{b ? -1 : 0}); }
  // Currency holds the value times 10000.
  static Value Currency(std::int64_t scaled) { return Value(Type::Currency, scaled); }
  static Value Single(float v) { return Value(Type::Single, static_cast<double>(v)); }
  static Value Double(double v) { return Value(Type::Double, v); }
  static Value Date(double v) { return Value(Type::Date, v); }
  static Value String(std::string s) {
    Value v(Type::String);
    v.s_ = std::move(s);
    return v;
  }
  static Value Object(Ref<vbs::Object> o);  // a null reference is Nothing
  static Value Nothing() { return Object({}); }
  static Value Array(std::unique_ptr<ArrayData> a);

  Type type() const { return type_; }
  bool is_empty() const { return type_ == Type::Empty; }
  bool is_null() const { return type_ == Type::Null; }
  bool is_object() const { return type_ == Type::Object; }
  bool is_array() const { return type_ == Type::Array; }
  bool is_string() const { return type_ == Type::String; }
  // Integer, Long, Single, Double, Currency, Date, Boolean or Byte.
  bool is_numeric() const;

  std::int64_t integer() const { return i_; }  // Integer, Long, Byte, Boolean, Currency
  double real() const { return d_; }           // Single, Double, Date
  const std::string& str() const { return s_; }
  std::string& str() { return s_; }
  vbs::Object* object() const { return o_.get(); }
  const Ref<vbs::Object>& object_ref() const { return o_; }
  ArrayData* array() const { return a_.get(); }

 private:
  explicit Value(Type t) : type_(t) {}
  Value(Type t, std::int64_t i) : type_(t), i_(i) {}
  Value(Type t, double d) : type_(t), d_(d) {}

  Type type_ = Type::Empty;
  std::int64_t i_ = 0;
  double d_ = 0;
  std::string s_;
  Ref<vbs::Object> o_;
  std::unique_ptr<ArrayData> a_;
};

// An array of up to kMaxDimensions dimensions, every lower bound 0. items
// run with the first subscript fastest.
struct ArrayData {
  static constexpr std::size_t kMaxDimensions = 60;
  ArrayData() = default;
  ArrayData(const ArrayData& o);
  ArrayData& operator=(const ArrayData&) = delete;
  ~ArrayData();
  // Sets the item count, within the thread's item budget (Out of memory, 7).
  void Resize(std::size_t n);

  // Notes that child is stored in this array: arrays nest at most
  // kMaxNesting deep (Out of stack space, 28), so that copying and
  // releasing them cannot exhaust the stack.
  void Holds(const Value& child);
  static constexpr int kMaxNesting = 64;

  std::vector<std::int32_t> upper;  // per dimension; -1 for an empty array
  std::vector<Value> items;
  bool fixed = false;  // declared with bounds by Dim: ReDim refuses it
  int depth = 1;       // arrays within arrays, this one included (at least)
};

// The array items and objects alive on this thread, and the most it may hold:
// each page runs wholly on one thread, so the budget is the page's. Values
// beyond it raise Out of memory (7).
struct ItemBudget {
  std::size_t live = 0;
  std::size_t limit = SIZE_MAX;
  std::size_t max_string = SIZE_MAX;  // bytes in one string
};
// Raises Out of memory (7) for a string longer than the budget allows.
void CheckStringSize(std::size_t bytes);
ItemBudget& ThreadItemBudget();
// Counts n more items (or objects) against the budget; raises 7 when over.
void TakeItems(std::size_t n);
void GiveItems(std::size_t n);

// An argument as a procedure receives it: its value, and the variable it came
// from when it may be passed by reference.
struct Arg {
  Value value;
  Value* ref = nullptr;  // a variable passed by reference
  // An array element passed by reference: written back through its array
  // variable and subscripts after the call, if the element still exists.
  Value* array_var = nullptr;
  std::vector<std::int32_t> index;
  bool missing = false;  // an omitted argument
};

enum class Access : std::uint8_t { Get, Call, Let, Set };

// Anything a script holds by reference: dispatch objects, instances of
// script classes, and the host's own objects. Members are found by name in
// any letter case; an empty name is the default member.
class Object {
 public:
  Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  void AddRef() { ++refs_; }
  void Release() {
    if (--refs_ == 0) LastRelease();
  }

  virtual std::string TypeName() const = 0;
  // Reads (Get), calls (Call), or writes (Let/Set, the value being assigned)
  // a member; raises ScriptError.
  virtual Value Member(Interpreter& in, std::string_view name, std::vector<Arg>& args,
                       Access access, const Value* assigned) = 0;
  // The items For Each visits; false when the object is no collection.
  virtual bool Enumerate(Interpreter& in, std::vector<Value>& out);
  // The dispatch object behind this one, for calls into components.
  virtual IDispatch* dispatch() { return nullptr; }

 protected:
  virtual ~Object() = default;
  // Called when the last reference goes; deletes by default.
  virtual void LastRelease() { delete this; }
  std::int64_t refs_ = 0;
};

// A run-time or syntax error of the script. line and column (from 1) are
// those of the script text; 0 until the interpreter knows them.
class ScriptError : public std::exception {
 public:
  ScriptError(std::int32_t number, std::string description, std::string source = {});
  std::int32_t number;
  std::string description;
  std::string source;
  int line = 0;
  int column = 0;
  const char* what() const noexcept override { return description.c_str(); }
};

// Errors with the language's texts for their numbers.
[[noreturn]] void Throw(std::int32_t number, std::string_view description = {});
// The language's message for a run-time error number.
std::string_view MessageOf(std::int32_t number);

// The script must stop now (timeout, stop request, memory): no On Error
// catches it.
class ScriptStop : public std::exception {
 public:
  const char* what() const noexcept override { return "script stopped"; }
};

}  // namespace qz::vbs
