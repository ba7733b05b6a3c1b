#include "platform/automation/variant.h"

#include "platform/automation/convert.h"

namespace qz {

VarType Variant::type() const {
  switch (v_.index()) {
    case 0:
      return VarType::Empty;
    case 1:
      return VarType::Null;
    case 2:
      return VarType::I2;
    case 3:
      return VarType::I4;
    case 4:
      return VarType::R4;
    case 5:
      return VarType::R8;
    case 6:
      return VarType::Bool;
    case 7:
      return VarType::String;
    case 8:
      return VarType::Object;
    default:
      return VarType::Bytes;
  }
}

bool Variant::is_numeric() const {
  switch (type()) {
    case VarType::I2:
    case VarType::I4:
    case VarType::R4:
    case VarType::R8:
    case VarType::Bool:
      return true;
    default:
      return false;
  }
}

bool operator==(const Variant& a, const Variant& b) {
  return a.v_ == b.v_;
}

std::string DebugString(const Variant& v) {
  switch (v.type()) {
    case VarType::Empty:
      return "Empty";
    case VarType::Null:
      return "Null";
    case VarType::I2:
      return "I2 " + std::to_string(v.i2());
    case VarType::I4:
      return "I4 " + std::to_string(v.i4());
    case VarType::R4:
      return "R4 " + FormatNumber(v.r4());
    case VarType::R8:
      return "R8 " + FormatNumber(v.r8());
    case VarType::Bool:
      return v.boolean() ? "Bool True" : "Bool False";
    case VarType::String:
      return "String \"" + v.str() + "\"";
    case VarType::Object:
      return v.object() ? "Object" : "Object Nothing";
    case VarType::Bytes:
      return "Bytes[" + std::to_string(v.bytes().size()) + "]";
  }
  return "?";
}

}  // namespace qz
