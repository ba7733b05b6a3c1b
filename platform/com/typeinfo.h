// Type information as a declarative member table: what a dual interface
// offers a script. Dispatch (dispatcher.h) is driven entirely by the table.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/automation/variant.h"
#include "platform/com/dispatch.h"

namespace qz {

enum class MemberKind : std::uint8_t {
  PropertyGet,     // read accessor: no parameters, a result
  PropertyPut,     // write accessor: one parameter, the value
  PropertyPutRef,  // write-reference accessor: one parameter, an object reference
  Method,
};

// A parameter's or result's declared type. Variant takes any value as it is.
enum class ParamType : std::uint8_t { None, Variant, I2, I4, R4, R8, Bool, String, Object };

// The type's name as a script's type library writes it ("Integer" for I2).
constexpr std::string_view ParamTypeName(ParamType t) {
  switch (t) {
    case ParamType::None:
      return "none";
    case ParamType::Variant:
      return "Variant";
    case ParamType::I2:
      return "Integer";
    case ParamType::I4:
      return "Long";
    case ParamType::R4:
      return "Single";
    case ParamType::R8:
      return "Double";
    case ParamType::Bool:
      return "Boolean";
    case ParamType::String:
      return "String";
    case ParamType::Object:
      return "Object";
  }
  return "?";
}

enum class PassBy : std::uint8_t { Value, Reference };

struct ParamInfo {
  std::string_view name;
  ParamType type;
  PassBy pass = PassBy::Value;
};

// One row per accessor: a property with read and write has two rows with the
// same name and dispatch identifier.
struct MemberInfo {
  std::string_view name;
  DISPID id;
  MemberKind kind;
  std::span<const ParamInfo> params;
  ParamType result = ParamType::None;
};

struct TypeInfo {
  std::string_view name;  // the interface name, "_QuenzaChart"
  IID iid;
  std::span<const MemberInfo> members;
};

}  // namespace qz
