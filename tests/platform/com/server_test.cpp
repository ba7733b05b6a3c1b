#include "platform/com/server.h"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/exports.h"
#include "tests/platform/com/sample_object.h"
#include "tests/platform/com/scratch.h"
#include "tests/platform/com/test_server.h"

namespace qz {
namespace {

using test::EnvOverride;
using test::ScratchDir;

class ServerTest : public ::testing::Test {
 protected:
  ServerTest()
      : registry_(dir_ / "registry"),
        env_("QUENZA_REGISTRY", registry_.c_str()),
        server_(AbsoluteLibraryPath(QZ_TEST_SERVER)) {}

  HRESULT CanUnloadNow() {
    auto fn = reinterpret_cast<DllCanUnloadNowFn>(
        FindExport(LoadServerLibrary(server_), kDllCanUnloadNow));
    return fn ? fn() : E_FAIL;
  }

  // The error CreateObject raises for progid.
  Error CreateError(std::string_view progid) {
    try {
      CreateObject(progid);
    } catch (const Error& e) {
      return e;
    }
    ADD_FAILURE() << "created " << progid;
    return Error(0, "", "none");
  }

  ScratchDir dir_;
  std::string registry_;
  EnvOverride env_;
  std::string server_;
};

TEST_F(ServerTest, RegisterCreateByProgIdAndUnregister) {
  ASSERT_EQ(CallServerRegistration(QZ_TEST_SERVER, Registration::Register), S_OK);
  RegistryContents c = ReadRegistry(registry_);
  ASSERT_EQ(c.classes.size(), 2u);
  auto sample = FindRegisteredClass(registry_, "QzTest.Sample");
  ASSERT_TRUE(sample);
  EXPECT_EQ(sample->clsid, test::CLSID_Sample);
  EXPECT_EQ(sample->threading, "Apartment");
  EXPECT_EQ(sample->library, server_);  // the absolute path of the loaded file
  ASSERT_EQ(c.typelibs.size(), 1u);
  EXPECT_EQ(c.typelibs[0].id, test::LIBID_QzTest);
  EXPECT_EQ(c.typelibs[0].name, "QzTest");
  EXPECT_EQ(c.typelibs[0].version, "1.2");

  const std::int64_t host_objects = ModuleObjectCount();
  {
    ComPtr<IDispatch> object = CreateObject("qztest.SAMPLE");
    ASSERT_TRUE(object);
    EXPECT_EQ(object->GetTypeInfo().name, "_Sample");
    DISPID add = 0;
    ASSERT_EQ(object->GetIDsOfNames("add", &add), S_OK);
    std::vector<Variant> args = {Variant(std::int16_t{20}), Variant("22")};
    Variant result;
    ASSERT_EQ(object->Invoke(add, DISPATCH_METHOD, args, &result, nullptr), S_OK);
    EXPECT_EQ(result, Variant(std::int32_t{42}));
    // The library counts its own objects, not the host's.
    EXPECT_EQ(ModuleObjectCount(), host_objects);
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
  }
  EXPECT_EQ(CanUnloadNow(), S_OK);

  // A server lock keeps the library without a live object.
  {
    ComPtr<IClassFactory> factory = GetClassFactory(*sample);
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    ASSERT_EQ(factory->LockServer(ServerLock::Lock), S_OK);
    factory.reset();
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    ComPtr<IClassFactory> again = GetClassFactory(*sample);
    ASSERT_EQ(again->LockServer(ServerLock::Unlock), S_OK);
    // An unlock too many does not make the count negative.
    ASSERT_EQ(again->LockServer(ServerLock::Unlock), S_OK);
  }
  EXPECT_EQ(CanUnloadNow(), S_OK);

  ASSERT_EQ(CallServerRegistration(QZ_TEST_SERVER, Registration::Unregister), S_OK);
  c = ReadRegistry(registry_);
  EXPECT_TRUE(c.classes.empty());
  EXPECT_TRUE(c.typelibs.empty());
  Error e = CreateError("QzTest.Sample");
  EXPECT_EQ(e.number(), err::kCantCreateObject);
  EXPECT_NE(e.description().find("no class is registered"), std::string::npos) << e.description();
}

TEST_F(ServerTest, SecondRegisterIsHarmlessAndOtherEntriesSurvive) {
  RegistryAddLibrary(registry_, "/opt/other/Other.so",
                     {{test::IID_Unrelated, "Other.Thing", "Apartment", "/opt/other/Other.so"}},
                     {});
  ASSERT_EQ(CallServerRegistration(QZ_TEST_SERVER, Registration::Register), S_OK);
  ASSERT_EQ(CallServerRegistration(QZ_TEST_SERVER, Registration::Register), S_OK);
  RegistryContents c = ReadRegistry(registry_);
  EXPECT_EQ(c.classes.size(), 3u);
  EXPECT_EQ(c.typelibs.size(), 1u);
  EXPECT_TRUE(CreateObject("QzTest.Sample"));

  ASSERT_EQ(CallServerRegistration(QZ_TEST_SERVER, Registration::Unregister), S_OK);
  ASSERT_EQ(CallServerRegistration(QZ_TEST_SERVER, Registration::Unregister), S_OK);
  c = ReadRegistry(registry_);
  ASSERT_EQ(c.classes.size(), 1u);
  EXPECT_EQ(c.classes[0].progid, "Other.Thing");
  EXPECT_EQ(c.classes[0].library, "/opt/other/Other.so");
}

TEST_F(ServerTest, CreationFailuresNameTheirCause) {
  Error e = CreateError("QzTest.Sample");
  EXPECT_EQ(e.number(), err::kCantCreateObject);
  EXPECT_NE(e.description().find("ActiveX component can't create object"), std::string::npos);
  EXPECT_NE(e.description().find(registry_), std::string::npos) << e.description();

  RegistryAddLibrary(registry_, dir_ / "Gone.so",
                     {{test::CLSID_Sample, "Gone.Thing", "Apartment", dir_ / "Gone.so"}}, {});
  e = CreateError("Gone.Thing");
  EXPECT_EQ(e.number(), err::kCantCreateObject);
  EXPECT_NE(e.description().find(dir_ / "Gone.so"), std::string::npos) << e.description();

  std::string no_export = AbsoluteLibraryPath(QZ_NO_EXPORT);
  RegistryAddLibrary(registry_, no_export,
                     {{test::CLSID_Sample, "Plain.Thing", "Apartment", no_export}}, {});
  e = CreateError("Plain.Thing");
  EXPECT_EQ(e.number(), err::kCantCreateObject);
  EXPECT_NE(e.description().find("does not export DllGetClassObject"), std::string::npos)
      << e.description();

  // A file that is no library at all.
  std::string junk = dir_ / "Junk.so";
  std::ofstream(junk) << "not an ELF file";
  RegistryAddLibrary(registry_, junk, {{test::CLSID_Sample, "Junk.Thing", "Apartment", junk}}, {});
  e = CreateError("Junk.Thing");
  EXPECT_EQ(e.number(), err::kCantCreateObject);
  EXPECT_NE(e.description().find(junk), std::string::npos) << e.description();

  ASSERT_EQ(CallServerRegistration(QZ_TEST_SERVER, Registration::Register), S_OK);
  e = CreateError("QzTest.Broken");
  EXPECT_EQ(e.number(), err::kCantCreateObject);
  EXPECT_NE(e.description().find("Permission denied"), std::string::npos) << e.description();
  // A registered CLSID the library does not serve.
  RegistryAddLibrary(registry_, "/elsewhere/X.so",
                     {{test::IID_Unrelated, "QzTest.Unknown", "Apartment", server_}}, {});
  e = CreateError("QzTest.Unknown");
  EXPECT_EQ(e.number(), err::kCantCreateObject);
  EXPECT_NE(e.description().find("no class factory"), std::string::npos) << e.description();
  EXPECT_EQ(CanUnloadNow(), S_OK);
}

TEST_F(ServerTest, RegistrationCallsReportMissingLibrariesAndExports) {
  try {
    CallServerRegistration(dir_ / "Nothing.so", Registration::Register);
    ADD_FAILURE() << "registered a missing file";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kFileNotFound);
  }
  try {
    CallServerRegistration(QZ_NO_EXPORT, Registration::Unregister);
    ADD_FAILURE() << "unregistered a library without the export";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), 453);
    EXPECT_NE(e.description().find("DllUnregisterServer"), std::string::npos);
  }
  // A registry that cannot be written makes DllRegisterServer fail, not crash.
  EnvOverride bad("QUENZA_REGISTRY", (dir_ / "file/registry").c_str());
  std::ofstream(dir_ / "file") << "a file where a folder should be";
  HRESULT hr = CallServerRegistration(QZ_TEST_SERVER, Registration::Register);
  EXPECT_TRUE(Failed(hr));
  EXPECT_EQ(static_cast<std::uint32_t>(hr) & 0xFFFF0000u, 0x800A0000u);
}

TEST_F(ServerTest, FactoryContract) {
  ASSERT_EQ(CallServerRegistration(QZ_TEST_SERVER, Registration::Register), S_OK);
  auto sample = FindRegisteredClass(registry_, "QzTest.Sample");
  ASSERT_TRUE(sample);
  ComPtr<IClassFactory> factory = GetClassFactory(*sample);
  void* out = &out;
  EXPECT_EQ(factory->CreateInstance(factory.get(), IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, test::IID_Unrelated, &out), E_NOINTERFACE);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
  ASSERT_EQ(factory->CreateInstance(nullptr, test::IID_Sample, &out), S_OK);
  auto object = ComPtr<IDispatch>::Attach(static_cast<IDispatch*>(out));
  EXPECT_EQ(object->GetTypeInfo().iid, test::IID_Sample);
  object.reset();
  factory.reset();
  EXPECT_EQ(CanUnloadNow(), S_OK);
}

TEST(ServerModule, ProgIdAndModuleFile) {
  static constexpr ClassRegistration cls = {test::CLSID_Sample, "Sample"};
  static constexpr LibraryRegistration lib = {test::LIBID_QzTest, "QzTest", 1, 0, {&cls, 1}};
  EXPECT_EQ(ProgIdOf(lib, cls), "QzTest.Sample");
  // Linked into the test executable, the module is the executable.
  ModuleFile self = CurrentModule();
  EXPECT_EQ(self.path.front(), '/');
  EXPECT_EQ(self.stem, "com_test");
}

}  // namespace
}  // namespace qz
