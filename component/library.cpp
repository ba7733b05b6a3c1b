// The four exports of Quenza.so, each handing the library's registration
// data to the COM server layer. The library registers one class,
// QuenzaChart (ProgID "Quenza.QuenzaChart"), apartment-threaded, with the
// type library "Quenza" 1.0.
#include "component/quenza_chart.h"
#include "platform/com/exports.h"
#include "platform/com/server.h"

namespace {

constexpr qz::ClassRegistration kClasses[] = {
    {qz::CLSID_QuenzaChart, "QuenzaChart", "Apartment", &qz::CreateQuenzaChart},
};
constexpr qz::LibraryRegistration kLibrary = {qz::LIBID_Quenza, "Quenza", 1, 0, kClasses};

}  // namespace

QZ_EXPORT qz::HRESULT DllGetClassObject(const qz::CLSID& clsid, const qz::IID& iid, void** out) {
  return qz::ServerGetClassObject(kLibrary, clsid, iid, out);
}

QZ_EXPORT qz::HRESULT DllCanUnloadNow() {
  return qz::ServerCanUnloadNow();
}

QZ_EXPORT qz::HRESULT DllRegisterServer() {
  return qz::ServerRegister(kLibrary);
}

QZ_EXPORT qz::HRESULT DllUnregisterServer() {
  return qz::ServerUnregister(kLibrary);
}
