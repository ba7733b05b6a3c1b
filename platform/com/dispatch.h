// IDispatch: late-bound access to an object's members by name, as page
// scripts use it. Members are described by a type information table
// (typeinfo.h); invoking converts each argument to its declared type with the
// standard conversions.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/automation/variant.h"
#include "platform/com/unknown.h"

namespace qz {

using DISPID = std::int32_t;
inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_VALUE = 0;

// Invoke flags; a property read may also be asked as a method call.
inline constexpr std::uint16_t DISPATCH_METHOD = 1;
inline constexpr std::uint16_t DISPATCH_PROPERTYGET = 2;
inline constexpr std::uint16_t DISPATCH_PROPERTYPUT = 4;
inline constexpr std::uint16_t DISPATCH_PROPERTYPUTREF = 8;

// The error information a failed Invoke fills in.
struct EXCEPINFO {
  std::int32_t number = 0;  // the automation error number
  std::string source;
  std::string description;
};

struct TypeInfo;  // typeinfo.h

inline constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

class IDispatch : public IUnknown {
 public:
  // The member table that describes this object's interface.
  virtual const TypeInfo& GetTypeInfo() = 0;
  // Looks a member up by name, in any letter case; DISP_E_UNKNOWNNAME when
  // there is none.
  virtual HRESULT GetIDsOfNames(std::string_view name, DISPID* id) = 0;
  // Calls a member. args are in the member's parameter order (first
  // parameter first); for a property write, the value is the last argument.
  // A by-reference parameter's new value is written back into its argument.
  // On failure, the status is 0x800A0000 + number (or a DISP_E_ status) and
  // excep, when given, holds number, source and description.
  virtual HRESULT Invoke(DISPID id, std::uint16_t flags, std::span<Variant> args, Variant* result,
                         EXCEPINFO* excep) = 0;

 protected:
  ~IDispatch() = default;
};

}  // namespace qz
