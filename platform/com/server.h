// The in-process server side: the class factory and the work behind a
// library's four exports, driven by the library's registration data.
//
// A library describes itself once and forwards each export in one line
// (exports.h declares the signatures both sides use):
//
//   // component/library.cpp
//   #include "platform/com/exports.h"
//   #include "platform/com/server.h"
//
//   namespace {
//   constexpr qz::ClassRegistration kClasses[] = {
//       {CLSID_QuenzaChart, "QuenzaChart", "Apartment", &qz::CreateComObject<QuenzaChart>},
//   };
//   constexpr qz::LibraryRegistration kLibrary = {LIBID_Quenza, "Quenza", 1, 0, kClasses};
//   }  // namespace
//
//   QZ_EXPORT qz::HRESULT DllGetClassObject(const qz::CLSID& c, const qz::IID& i, void** out) {
//     return qz::ServerGetClassObject(kLibrary, c, i, out);
//   }
//   QZ_EXPORT qz::HRESULT DllCanUnloadNow() { return qz::ServerCanUnloadNow(); }
//   QZ_EXPORT qz::HRESULT DllRegisterServer() { return qz::ServerRegister(kLibrary); }
//   QZ_EXPORT qz::HRESULT DllUnregisterServer() { return qz::ServerUnregister(kLibrary); }
//
// The ProgID of a class is the library name, a point and the class name
// ("Quenza.QuenzaChart"). The library's absolute path comes from the loaded
// module itself, so the registration names the file that was actually loaded.
// None of these functions throws.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/com/com_object.h"
#include "platform/com/unknown.h"

namespace qz {

inline constexpr IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

enum class ServerLock : std::uint8_t { Unlock, Lock };

class IClassFactory : public IUnknown {
 public:
  // Creates an instance and answers its interface iid with one reference.
  // outer must be null (no aggregation: CLASS_E_NOAGGREGATION).
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) = 0;
  // A held lock keeps the library loaded without a live object.
  virtual HRESULT LockServer(ServerLock lock) = 0;

 protected:
  ~IClassFactory() = default;
};

// One creatable class of a library. All fields refer to static data.
struct ClassRegistration {
  CLSID clsid;
  std::string_view name;  // "QuenzaChart"
  std::string_view threading = "Apartment";
  // Creates a new instance owning one reference (CreateComObject<T>). May
  // throw qz::Error or std::bad_alloc.
  ComPtr<IUnknown> (*create)() = nullptr;
};

struct LibraryRegistration {
  GUID typelib;
  std::string_view name;  // "Quenza": the type library's name, first part of each ProgID
  std::uint16_t major = 1;
  std::uint16_t minor = 0;
  std::span<const ClassRegistration> classes;
};

// "Quenza.QuenzaChart".
std::string ProgIdOf(const LibraryRegistration& library, const ClassRegistration& cls);

// The module (executable or library) this code is built into: its absolute
// path and its file name without folder and extension.
struct ModuleFile {
  std::string path;
  std::string stem;
};
QZ_MODULE_LOCAL ModuleFile CurrentModule();

// DllGetClassObject: a class factory for clsid (CLASS_E_CLASSNOTAVAILABLE
// when the library has no such class).
QZ_MODULE_LOCAL HRESULT ServerGetClassObject(const LibraryRegistration& library, REFCLSID clsid,
                                             REFIID iid, void** out);
// DllCanUnloadNow: S_OK without live objects and server locks, else S_FALSE.
QZ_MODULE_LOCAL HRESULT ServerCanUnloadNow();
// DllRegisterServer: writes the classes, their ProgIDs and the type library
// into the registry (registry.h), replacing an earlier registration of the
// same library, class or ProgID. A failure answers 0x800A0000 + the error
// number (Path/File access error, Permission denied...).
QZ_MODULE_LOCAL HRESULT ServerRegister(const LibraryRegistration& library);
// DllUnregisterServer: removes this library's entries, and no others.
QZ_MODULE_LOCAL HRESULT ServerUnregister(const LibraryRegistration& library);

}  // namespace qz
