// A test server library: the sample class and a class that cannot be
// created, served through the generic server functions.
#include "tests/platform/com/test_server.h"
#include "platform/com/exports.h"
#include "platform/com/server.h"
#include "tests/platform/com/sample_object.h"

namespace {

qz::ComPtr<qz::IUnknown> CreateBroken() {
  qz::Raise(qz::err::kPermissionDenied);
}

constexpr qz::ClassRegistration kClasses[] = {
    {qz::test::CLSID_Sample, "Sample", "Apartment", &qz::CreateComObject<qz::test::SampleObject>},
    {qz::test::CLSID_Broken, "Broken", "Apartment", &CreateBroken},
};
constexpr qz::LibraryRegistration kLibrary = {qz::test::LIBID_QzTest, "QzTest", 1, 2, kClasses};

}  // namespace

QZ_EXPORT qz::HRESULT DllGetClassObject(const qz::CLSID& c, const qz::IID& i, void** out) {
  return qz::ServerGetClassObject(kLibrary, c, i, out);
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
