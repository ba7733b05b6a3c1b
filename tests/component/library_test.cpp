// Quenza.so as a host uses it: registered, created by ProgID, activated in the
// host's object context, unregistered.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "component/quenza_chart.h"
#include "platform/com/activation.h"
#include "platform/com/exports.h"
#include "tests/support/recording_response.h"
#include "tests/support/script_object.h"

namespace qz {
namespace {

namespace fs = std::filesystem;

class QuenzaLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("quenza-library-test-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    registry_ = (dir_ / "registry").string();
    setenv("QUENZA_REGISTRY", registry_.c_str(), 1);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  fs::path dir_;
  std::string registry_;
};

TEST_F(QuenzaLibraryTest, RegistersCreatesActivatesAndUnregisters) {
  ASSERT_EQ(CallServerRegistration(QZ_QUENZA_MODULE, Registration::Register), S_OK);
  auto cls = FindRegisteredClass(registry_, "quenza.quenzachart");
  ASSERT_TRUE(cls.has_value());
  EXPECT_EQ(cls->progid, "Quenza.QuenzaChart");
  EXPECT_EQ(cls->clsid, CLSID_QuenzaChart);
  EXPECT_EQ(cls->threading, "Apartment");

  {
    ComPtr<IDispatch> object = CreateObject("Quenza.QuenzaChart", registry_);
    ASSERT_TRUE(object);
    test::ScriptObject script(object);
    EXPECT_TRUE(script.Read("Height").is_empty());
    EXPECT_EQ(script.Read("FillBlue"), Variant(std::int16_t{0}));

    // The module sees the context this executable sets.
    auto response = test::RecordingResponse::Create();
    auto context = test::TestObjectContext::WithResponse(response);
    ComPtr<ObjectControl> control = object.As<ObjectControl>(IID_ObjectControl);
    ASSERT_TRUE(control);
    {
      ObjectContextScope scope(context.get());
      EXPECT_EQ(control->Activate(), S_OK);
    }
    EXPECT_EQ(script.Read("FillBlue"), Variant(std::int16_t{255}));
    EXPECT_EQ(response->references(), 3u);

    // Failures carry the module's name as their source.
    auto out = script.Call("Rows", {Variant(std::int16_t{0})});
    EXPECT_EQ(out.number(), err::kInvalidPropertyValue);
    EXPECT_EQ(out.excep.source, "Quenza");

    EXPECT_EQ(control->Deactivate(), S_OK);
    EXPECT_EQ(response->references(), 2u);  // ours and the context item's
    EXPECT_EQ(control->CanBePooled(), VARIANT_FALSE);
  }

  // With every object gone the library may be unloaded.
  void* library = LoadServerLibrary(QZ_QUENZA_MODULE);
  auto can_unload = reinterpret_cast<DllCanUnloadNowFn>(FindExport(library, kDllCanUnloadNow));
  ASSERT_NE(can_unload, nullptr);
  EXPECT_EQ(can_unload(), S_OK);

  ASSERT_EQ(CallServerRegistration(QZ_QUENZA_MODULE, Registration::Unregister), S_OK);
  EXPECT_FALSE(FindRegisteredClass(registry_, "Quenza.QuenzaChart").has_value());
}

}  // namespace
}  // namespace qz
