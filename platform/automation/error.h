// The one error type of the system: an automation error with a number, a
// source and a description. Errors are raised as C++ exceptions inside the
// component and turned into a status (HRESULT) plus error information at the
// COM boundary.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace qz {

using HRESULT = std::int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003u);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005u);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006u);
inline constexpr HRESULT DISP_E_EXCEPTION = static_cast<HRESULT>(0x80020009u);
inline constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000Au);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = static_cast<HRESULT>(0x8002000Eu);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = static_cast<HRESULT>(0x8002000Fu);

constexpr bool Succeeded(HRESULT hr) {
  return hr >= 0;
}
constexpr bool Failed(HRESULT hr) {
  return hr < 0;
}

// Standard automation error numbers.
namespace err {
inline constexpr std::int32_t kInvalidProcedureCall = 5;
inline constexpr std::int32_t kOverflow = 6;
inline constexpr std::int32_t kOutOfMemory = 7;
inline constexpr std::int32_t kSubscriptOutOfRange = 9;
inline constexpr std::int32_t kDivisionByZero = 11;
inline constexpr std::int32_t kTypeMismatch = 13;
inline constexpr std::int32_t kInternalError = 51;
inline constexpr std::int32_t kBadFileNameOrNumber = 52;
inline constexpr std::int32_t kFileNotFound = 53;
inline constexpr std::int32_t kBadFileMode = 54;
inline constexpr std::int32_t kDeviceIOError = 57;
inline constexpr std::int32_t kFileAlreadyExists = 58;
inline constexpr std::int32_t kDiskFull = 61;
inline constexpr std::int32_t kInputPastEndOfFile = 62;
inline constexpr std::int32_t kTooManyFiles = 67;
inline constexpr std::int32_t kPermissionDenied = 70;
inline constexpr std::int32_t kPathFileAccessError = 75;
inline constexpr std::int32_t kPathNotFound = 76;
inline constexpr std::int32_t kObjectVariableNotSet = 91;
inline constexpr std::int32_t kInvalidUseOfNull = 94;
inline constexpr std::int32_t kInvalidPropertyValue = 380;
inline constexpr std::int32_t kObjectRequired = 424;
inline constexpr std::int32_t kCantCreateObject = 429;
inline constexpr std::int32_t kClassDoesNotSupportAutomation = 430;
inline constexpr std::int32_t kFileNameOrClassNotFound = 432;
inline constexpr std::int32_t kObjectDoesntSupportMember = 438;
inline constexpr std::int32_t kAutomationError = 440;
inline constexpr std::int32_t kArgumentNotOptional = 449;
inline constexpr std::int32_t kWrongNumberOfArguments = 450;
inline constexpr std::int32_t kInvalidPicture = 481;
// The JPEG writer's own failures (no standard message of its own).
inline constexpr std::int32_t kJpegLibrary = 26001;
}  // namespace err

class Error : public std::exception {
 public:
  // An empty description takes the standard message of the number.
  Error(std::int32_t number, std::string source, std::string description);

  std::int32_t number() const noexcept { return number_; }
  const std::string& source() const noexcept { return source_; }
  const std::string& description() const noexcept { return description_; }
  HRESULT hresult() const noexcept;

  // "description (number, source)", for logs.
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::int32_t number_;
  std::string source_;
  std::string description_;
  std::string what_;
};

// The standard message text for an error number; numbers without a text of
// their own answer "Application-defined or object-defined error".
std::string_view StandardMessage(std::int32_t number) noexcept;

// The status for an automation error number: 0x800A0000 plus the number.
HRESULT HResultFromNumber(std::int32_t number) noexcept;
// The automation error number that a status stands for: the low word of an
// 0x800A.... status, the matching number for the common dispatch and system
// statuses, else 440 (Automation error).
std::int32_t NumberFromHResult(HRESULT hr) noexcept;

// The source given to errors raised without one: the name of the module this
// code is loaded from, without folder and extension ("Quenza" inside
// Quenza.so), or "Quenza" when the code is linked into an executable.
const std::string& DefaultErrorSource();

// Raises Error(number, source or DefaultErrorSource(), description or the
// standard message).
[[noreturn]] void Raise(std::int32_t number, std::string_view description = {},
                        std::string_view source = {});

}  // namespace qz
