#include "platform/automation/error.h"

#include <dlfcn.h>

#include <utility>

namespace qz {

namespace {

struct Message {
  std::int32_t number;
  std::string_view text;
};

constexpr Message kMessages[] = {
    {3, "Return without GoSub"},
    {5, "Invalid procedure call or argument"},
    {6, "Overflow"},
    {7, "Out of memory"},
    {9, "Subscript out of range"},
    {10, "This array is fixed or temporarily locked"},
    {11, "Division by zero"},
    {13, "Type mismatch"},
    {14, "Out of string space"},
    {16, "Expression too complex"},
    {17, "Can't perform requested operation"},
    {18, "User interrupt occurred"},
    {20, "Resume without error"},
    {28, "Out of stack space"},
    {35, "Sub or Function not defined"},
    {47, "Too many DLL application clients"},
    {48, "Error in loading DLL"},
    {49, "Bad DLL calling convention"},
    {51, "Internal error"},
    {52, "Bad file name or number"},
    {53, "File not found"},
    {54, "Bad file mode"},
    {55, "File already open"},
    {57, "Device I/O error"},
    {58, "File already exists"},
    {59, "Bad record length"},
    {61, "Disk full"},
    {62, "Input past end of file"},
    {63, "Bad record number"},
    {67, "Too many files"},
    {68, "Device unavailable"},
    {70, "Permission denied"},
    {71, "Disk not ready"},
    {74, "Can't rename with different drive"},
    {75, "Path/File access error"},
    {76, "Path not found"},
    {91, "Object variable or With block variable not set"},
    {92, "For loop not initialized"},
    {93, "Invalid pattern string"},
    {94, "Invalid use of Null"},
    {380, "Invalid property value"},
    {381, "Invalid property array index"},
    {424, "Object required"},
    {429, "ActiveX component can't create object"},
    {430, "Class does not support Automation or does not support expected interface"},
    {432, "File name or class name not found during Automation operation"},
    {438, "Object doesn't support this property or method"},
    {440, "Automation error"},
    {445, "Object doesn't support this action"},
    {446, "Object doesn't support named arguments"},
    {448, "Named argument not found"},
    {449, "Argument not optional"},
    {450, "Wrong number of arguments or invalid property assignment"},
    {451, "Property let procedure not defined and property get procedure did not return an object"},
    {453, "Specified DLL function not found"},
    {481, "Invalid picture"},
};

constexpr std::string_view kGeneric = "Application-defined or object-defined error";

std::string ModuleNameOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
  std::string_view path(info.dli_fname);
  if (path.size() < 3 || path.substr(path.size() - 3) != ".so") return {};  // an executable
  auto slash = path.rfind('/');
  std::string_view file = slash == std::string_view::npos ? path : path.substr(slash + 1);
  file.remove_suffix(3);
  if (file.empty()) return {};
  return std::string(file);
}

}  // namespace

Error::Error(std::int32_t number, std::string source, std::string description)
    : number_(number), source_(std::move(source)), description_(std::move(description)) {
  if (description_.empty()) description_ = std::string(StandardMessage(number_));
  what_ = description_ + " (" + std::to_string(number_) + ", " + source_ + ")";
}

HRESULT Error::hresult() const noexcept {
  return HResultFromNumber(number_);
}

std::string_view StandardMessage(std::int32_t number) noexcept {
  for (const auto& m : kMessages) {
    if (m.number == number) return m.text;
  }
  return kGeneric;
}

HRESULT HResultFromNumber(std::int32_t number) noexcept {
  if (number <= 0 || number > 0xFFFF) return E_FAIL;
  return static_cast<HRESULT>(0x800A0000u | static_cast<std::uint32_t>(number));
}

std::int32_t NumberFromHResult(HRESULT hr) noexcept {
  auto u = static_cast<std::uint32_t>(hr);
  if ((u & 0xFFFF0000u) == 0x800A0000u) return static_cast<std::int32_t>(u & 0xFFFFu);
  switch (hr) {
    case DISP_E_OVERFLOW:
      return err::kOverflow;
    case DISP_E_TYPEMISMATCH:
      return err::kTypeMismatch;
    case E_OUTOFMEMORY:
      return err::kOutOfMemory;
    case E_INVALIDARG:
      return err::kInvalidProcedureCall;
    case DISP_E_MEMBERNOTFOUND:
    case DISP_E_UNKNOWNNAME:
      return err::kObjectDoesntSupportMember;
    case DISP_E_BADPARAMCOUNT:
      return err::kWrongNumberOfArguments;
    case DISP_E_PARAMNOTOPTIONAL:
      return err::kArgumentNotOptional;
    case E_NOINTERFACE:
      return err::kClassDoesNotSupportAutomation;
    case REGDB_E_CLASSNOTREG:
    case CLASS_E_CLASSNOTAVAILABLE:
      return err::kCantCreateObject;
    default:
      return err::kAutomationError;
  }
}

const std::string& DefaultErrorSource() {
  static const std::string source = [] {
    std::string name = ModuleNameOf(reinterpret_cast<const void*>(&DefaultErrorSource));
    return name.empty() ? std::string("Quenza") : name;
  }();
  return source;
}

void Raise(std::int32_t number, std::string_view description, std::string_view source) {
  throw Error(number, source.empty() ? DefaultErrorSource() : std::string(source),
              std::string(description));
}

}  // namespace qz
