#include "component/quenza_chart.h"

#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/form/form.h"
#include "tests/support/chart_state_compare.h"
#include "tests/support/recording_response.h"
#include "tests/support/script_object.h"

namespace qz {
namespace {

using test::RecordingResponse;
using test::ScriptObject;
using test::TestObjectContext;

Variant I2(int v) {
  return Variant(static_cast<std::int16_t>(v));
}

// The thread's engine, back at its initial state for every test.
class QuenzaChartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine().Reset();
    unknown_ = CreateQuenzaChart();
    script_ = std::make_unique<ScriptObject>(unknown_.As<IDispatch>(IID_IDispatch));
    control_ = unknown_.As<ObjectControl>(IID_ObjectControl);
    ASSERT_TRUE(control_);
  }
  void TearDown() override { engine().Reset(); }

  static chart::Chart& engine() { return form::GetForm1().Chart(); }

  void ActivateWith(const ComPtr<RecordingResponse>& response) {
    auto context = TestObjectContext::WithResponse(response);
    ObjectContextScope scope(context.get());
    ASSERT_EQ(control_->Activate(), S_OK);
  }

  const ScriptObject& obj() const { return *script_; }

  ComPtr<IUnknown> unknown_;
  std::unique_ptr<ScriptObject> script_;
  ComPtr<ObjectControl> control_;
};

TEST_F(QuenzaChartTest, TheMemberTableMatchesItsBindingsAndTheInterfaceOrder) {
  const TypeInfo& info = QuenzaChartTypeInfo();
  EXPECT_EQ(info.name, "_QuenzaChart");
  EXPECT_TRUE(CheckBindings(info, QuenzaChart::Bindings()).empty());
  // The members of the original interface keep identifiers 1..64; the
  // extensions follow them, in their own order.
  std::set<DISPID> settings, methods;
  std::vector<std::string_view> extensions;
  for (const MemberInfo& m : info.members) {
    if (m.id > kDispSaveChart) {
      if (extensions.empty() || extensions.back() != m.name) extensions.push_back(m.name);
      continue;
    }
    (m.kind == MemberKind::Method ? methods : settings).insert(m.id);
  }
  EXPECT_EQ(kDispSaveChart, 64);
  EXPECT_EQ(extensions, (std::vector<std::string_view>{"Resolution", "ImageMap", "AltText",
                                                       "DataTable", "LoadData"}));
  EXPECT_EQ(obj().Id("Resolution"), 65);
  EXPECT_EQ(settings.size(), 46u);
  EXPECT_EQ(*settings.begin(), 1);
  EXPECT_EQ(*settings.rbegin(), 46);
  EXPECT_EQ(methods.size(), 18u);
  EXPECT_EQ(obj().Id("Height"), 1);
  EXPECT_EQ(obj().Id("ZTitleFontSize"), 11);
  EXPECT_EQ(obj().Id("TitleBackgroundB"), 46);
  EXPECT_EQ(obj().Id("rows"), kDispRows);
  EXPECT_EQ(obj().Id("SaveChart"), kDispSaveChart);
  // The dual interface answers through the same object.
  EXPECT_TRUE(unknown_.As<_QuenzaChart>(IID__QuenzaChart));
}

// The declared type of every setting, in interface order, written out apart
// from the settings record so that a slip in either shows.
TEST_F(QuenzaChartTest, EverySettingHasItsDeclaredType) {
  constexpr char V = 'V', I = 'I', S = 'S', B = 'B';
  const std::pair<std::string_view, char> declared[] = {
      {"Height", V},           {"Width", V},
      {"ChartType", V},        {"TitleBorderStyle", V},
      {"TitleShadow", V},      {"Legends", V},
      {"TitleFontSize", V},    {"LegendFontSize", V},
      {"XTitleFontSize", V},   {"YTitleFontSize", V},
      {"ZTitleFontSize", I},   {"Shadow", V},
      {"FillRed", V},          {"FillGreen", V},
      {"FillBlue", I},         {"TitleFont", V},
      {"LegendFont", V},       {"ChartTitle", V},
      {"XTitle", V},           {"YTitle", V},
      {"ZTitle", V},           {"XTitleFont", V},
      {"YTitleFont", V},       {"ZTitleFont", V},
      {"ImageType", S},        {"XLabelFont", V},
      {"YLabelFont", V},       {"ZLabelFont", S},
      {"XLabelFontSize", V},   {"YLabelFontSize", V},
      {"ZLabelFontSize", I},   {"SeriesStacking", B},
      {"SecondYAxisScale", B}, {"XAxisMin", V},
      {"YAxisMin", V},         {"ZAxisMin", V},
      {"XAxisMax", V},         {"YAxisMax", V},
      {"ZAxisMax", I},         {"XMajorDivision", V},
      {"YMajorDivision", V},   {"ZMajorDivision", I},
      {"AutoScaling", B},      {"TitleBackgroundR", V},
      {"TitleBackgroundG", V}, {"TitleBackgroundB", I},
  };
  ASSERT_EQ(std::size(declared), 46u);
  const TypeInfo& info = QuenzaChartTypeInfo();
  DISPID id = 1;
  for (const auto& [name, type] : declared) {
    SCOPED_TRACE(std::string(name));
    EXPECT_EQ(obj().Id(name), id++);
    const ParamType want = type == V   ? ParamType::Variant
                           : type == I ? ParamType::I2
                           : type == S ? ParamType::String
                                       : ParamType::Bool;
    int rows = 0;
    for (const MemberInfo& m : info.members) {
      if (m.name != name) continue;
      ++rows;
      if (m.kind == MemberKind::PropertyGet) {
        EXPECT_EQ(m.result, want);
      } else if (m.kind == MemberKind::PropertyPut) {
        ASSERT_EQ(m.params.size(), 1u);
        EXPECT_EQ(m.params[0].type, want);
      } else {
        EXPECT_EQ(m.kind, MemberKind::PropertyPutRef);
        EXPECT_EQ(type, V);  // only variants take a reference
      }
    }
    EXPECT_EQ(rows, type == V ? 3 : 2);
    // What a write does shows the type: a variant keeps 40000 as it is, a
    // 16-bit integer overflows, a string keeps its text form, a boolean -1.
    const auto out = obj().Put(name, 40000);
    const Variant back = obj().Read(name);
    switch (type) {
      case V:
        EXPECT_TRUE(out.ok());
        EXPECT_EQ(back, Variant(40000));
        break;
      case I:
        EXPECT_EQ(out.number(), err::kOverflow);
        EXPECT_EQ(back, I2(0));
        break;
      case S:
        EXPECT_TRUE(out.ok());
        EXPECT_EQ(back, Variant("40000"));
        break;
      default:
        EXPECT_TRUE(out.ok());
        EXPECT_EQ(back, Variant::Bool(true));
    }
  }
}

TEST_F(QuenzaChartTest, MethodParametersHaveTheirDeclaredTypes) {
  struct Want {
    std::string_view name;
    std::vector<ParamType> params;
    ParamType result = ParamType::None;
  };
  using P = ParamType;
  const Want methods[] = {
      {"Rows", {P::I2}},
      {"Columns", {P::I2}},
      {"CurrentRow", {P::I2}},
      {"CurrentColumn", {P::I2}},
      {"SetData", {P::R8}},
      {"RowTitle", {P::String}},
      {"ColumnTitle", {P::String}},
      {"Rotate", {P::I2}},
      {"LegendPosition", {P::I2}},
      {"SeriesColor", {P::I2, P::I2, P::I2, P::I2}},
      {"BarEdge", {P::I2, P::I2, P::I2, P::I2, P::I2}},
      {"SendChart", {}},
      {"PrintStub", {}},
      {"ShowError", {P::String}},
      {"PrintStub2", {}},
      {"GetTmpPath", {}, P::Variant},
      {"PastePicture", {P::I2, P::I2, P::String}},
      {"SaveChart", {P::String}},
  };
  DISPID id = kDispTitleBackgroundB;
  for (const Want& w : methods) {
    SCOPED_TRACE(std::string(w.name));
    EXPECT_EQ(obj().Id(w.name), ++id);
    const MemberInfo* m = FindMember(QuenzaChartTypeInfo(), obj().Id(w.name), DISPATCH_METHOD);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->params.size(), w.params.size());
    for (std::size_t i = 0; i < w.params.size(); ++i) {
      EXPECT_EQ(m->params[i].type, w.params[i]);
      // Only ShowError's mErr is passed by reference.
      EXPECT_EQ(m->params[i].pass, w.name == "ShowError" ? PassBy::Reference : PassBy::Value);
    }
    EXPECT_EQ(m->result, w.result);
  }
}

TEST_F(QuenzaChartTest, InitialValuesBeforeAndAfterActivation) {
  // Every setting at its zero value, except (after activation) the four that
  // activation sets.
  auto expect_initial = [&](std::set<std::string_view> skip) {
    for (const MemberInfo& m : QuenzaChartTypeInfo().members) {
      if (m.kind != MemberKind::PropertyGet || skip.count(m.name)) continue;
      Variant v = obj().Read(m.name);
      switch (m.result) {
        case ParamType::Variant:
          EXPECT_TRUE(v.is_empty()) << m.name;
          break;
        case ParamType::I2:
          EXPECT_EQ(v, I2(0)) << m.name;
          break;
        case ParamType::String:
          EXPECT_EQ(v, Variant("")) << m.name;
          break;
        case ParamType::Bool:
          EXPECT_EQ(v, Variant::Bool(false)) << m.name;
          break;
        default:
          ADD_FAILURE() << m.name;
      }
    }
  };
  // Resolution, an extension, starts at 96 dots per inch, before and after
  // activation.
  EXPECT_EQ(obj().Read("Resolution"), I2(96));
  expect_initial({"Resolution"});
  auto response = RecordingResponse::Create();
  ActivateWith(response);
  EXPECT_EQ(obj().Read("Resolution"), I2(96));
  EXPECT_EQ(obj().Read("SecondYAxisScale"), Variant::Bool(true));
  EXPECT_EQ(obj().Read("FillRed"), I2(255));
  EXPECT_EQ(obj().Read("FillGreen"), I2(255));
  EXPECT_EQ(obj().Read("FillBlue"), I2(255));
  expect_initial({"SecondYAxisScale", "FillRed", "FillGreen", "FillBlue", "Resolution"});
  EXPECT_TRUE(response->calls().empty());  // activation writes nothing to the page
}

TEST_F(QuenzaChartTest, WritesStoreTheConvertedValueOrKeepTheOldOne) {
  auto response = RecordingResponse::Create();
  ActivateWith(response);
  // Resolution is stored as written, also out of its range: the render
  // refuses a value outside 48..384, not the write.
  ASSERT_TRUE(obj().Put("Resolution", 500).ok());
  EXPECT_EQ(obj().Read("Resolution"), I2(500));
  for (const char* name : {"FillBlue", "ZAxisMax", "Resolution"}) {
    auto before = obj().Read(name);
    auto out = obj().Put(name, 40000);
    EXPECT_EQ(out.status, HResultFromNumber(err::kOverflow)) << name;
    EXPECT_EQ(out.number(), err::kOverflow);
    EXPECT_EQ(obj().Read(name), before) << name;
  }
  EXPECT_EQ(obj().Put("ZTitleFontSize", "big").number(), err::kTypeMismatch);
  EXPECT_EQ(obj().Read("ZTitleFontSize"), I2(0));
  ASSERT_TRUE(obj().Put("ZTitleFontSize", "12").ok());
  EXPECT_EQ(obj().Read("ZTitleFontSize"), I2(12));

  ASSERT_TRUE(obj().Put("FillRed", 40000).ok());  // a variant stores what it gets
  EXPECT_EQ(obj().Read("FillRed"), Variant(40000));
  ASSERT_TRUE(obj().Put("Height", "3").ok());
  EXPECT_EQ(obj().Read("Height"), Variant("3"));
  ASSERT_TRUE(obj().Put("ImageType", 2.5).ok());
  EXPECT_EQ(obj().Read("ImageType"), Variant("2.5"));

  for (Variant truth : {Variant(5), Variant(-1), Variant(0.5), Variant("True")}) {
    ASSERT_TRUE(obj().Put("SeriesStacking", truth).ok()) << DebugString(truth);
    EXPECT_EQ(obj().Read("SeriesStacking"), Variant::Bool(true));
    EXPECT_EQ(static_cast<QuenzaChart*>(obj().get())->object_state().settings.SeriesStacking,
              VARIANT_TRUE);
    ASSERT_TRUE(obj().Put("SeriesStacking", 0).ok());
    EXPECT_EQ(obj().Read("SeriesStacking"), Variant::Bool(false));
  }
}

TEST_F(QuenzaChartTest, AWriteReferenceStoresTheObject) {
  auto thing = RecordingResponse::Create();
  Variant ref{ComPtr<IUnknown>(thing)};
  ASSERT_TRUE(obj().PutRef("ChartTitle", ref).ok());
  EXPECT_EQ(obj().Read("ChartTitle"), ref);
  EXPECT_EQ(obj().PutRef("ChartTitle", "text").number(), err::kObjectRequired);
  EXPECT_EQ(obj().Read("ChartTitle"), ref);
  // An object assigned by a script that asks for either write: a variant
  // takes the reference, a 16-bit setting tries to convert it and keeps its
  // value.
  constexpr std::uint16_t kEither = DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF;
  ASSERT_TRUE(obj().Invoke("XTitle", kEither, {ref}).ok());
  EXPECT_EQ(obj().Read("XTitle"), ref);
  ASSERT_TRUE(obj().Put("FillBlue", 9).ok());
  EXPECT_EQ(obj().Invoke("FillBlue", kEither, {ref}).number(), err::kTypeMismatch);
  EXPECT_EQ(obj().Read("FillBlue"), I2(9));
  ASSERT_TRUE(obj().Put("XTitle", "").ok());
  const std::uint32_t held = thing->references();
  unknown_ = nullptr;  // the object gives back what it holds
  script_.reset();
  control_ = nullptr;
  EXPECT_EQ(thing->references(), held - 1);
}

TEST_F(QuenzaChartTest, DataMethodsReachTheThreadsEngineUnchanged) {
  ASSERT_TRUE(obj().Call("Rows", {I2(5)}).ok());
  ASSERT_TRUE(obj().Call("Columns", {"3"}).ok());
  ASSERT_TRUE(obj().Call("CurrentRow", {I2(4)}).ok());
  ASSERT_TRUE(obj().Call("CurrentColumn", {I2(2)}).ok());
  ASSERT_TRUE(obj().Call("SetData", {2.5}).ok());
  ASSERT_TRUE(obj().Call("RowTitle", {"Q4"}).ok());
  ASSERT_TRUE(obj().Call("ColumnTitle", {7}).ok());
  ASSERT_TRUE(obj().Call("Rotate", {I2(-30)}).ok());
  ASSERT_TRUE(obj().Call("LegendPosition", {I2(6)}).ok());
  const chart::ChartState& s = engine().state();
  EXPECT_EQ(s.rows, 5);
  EXPECT_EQ(s.columns, 3);
  EXPECT_EQ(s.cell(4, 2), 2.5);
  EXPECT_EQ(s.row_labels[3], "Q4");
  EXPECT_EQ(s.column_labels[1], "7");
  EXPECT_EQ(s.rotation, -30.0f);
  EXPECT_EQ(s.legend_location, chart::kBottom);

  const chart::ChartState before = engine().state();
  EXPECT_TRUE(obj().Call("LegendPosition", {I2(8)}).ok());
  EXPECT_TRUE(obj().Call("LegendPosition", {I2(-1)}).ok());
  EXPECT_TRUE(obj().Call("SeriesColor", {I2(99), I2(1), I2(2), I2(3)}).ok());
  EXPECT_TRUE(obj().Call("BarEdge", {I2(99), I2(0), I2(1), I2(2), I2(3)}).ok());
  EXPECT_EQ(test::FirstDifference(engine().state(), before), "");

  // The range's own ends are passed on.
  ASSERT_TRUE(obj().Call("LegendPosition", {I2(0)}).ok());
  EXPECT_EQ(engine().state().legend_location, chart::kTopLeft);
  ASSERT_TRUE(obj().Call("LegendPosition", {I2(7)}).ok());
  EXPECT_EQ(engine().state().legend_location, chart::kBottomRight);
}

TEST_F(QuenzaChartTest, EngineRefusalsReachTheScriptWithTheirNumber) {
  auto out = obj().Call("Rows", {I2(0)});
  EXPECT_EQ(out.status, HResultFromNumber(err::kInvalidPropertyValue));
  EXPECT_EQ(out.excep.description, "Invalid property value");
  EXPECT_EQ(obj().Call("CurrentRow", {I2(99)}).number(), err::kSubscriptOutOfRange);
  EXPECT_EQ(obj().Call("Rows", {"many"}).number(), err::kTypeMismatch);
  EXPECT_EQ(obj().Call("Rows", {40000}).number(), err::kOverflow);
  ASSERT_TRUE(obj().Call("Rows", {I2(32767)}).ok());
  EXPECT_EQ(obj().Call("Columns", {I2(32767)}).number(), err::kOutOfMemory);
  EXPECT_EQ(engine().ColumnCount(), chart::Chart::InitialState().columns);
}

TEST_F(QuenzaChartTest, SetDataWritesTheTextFormOfTheNumber) {
  ASSERT_TRUE(obj().Call("SetData", {1e20}).ok());
  EXPECT_EQ(engine().Data(), "1E+20");
  ASSERT_TRUE(obj().Call("SetData", {0.1 + 0.2}).ok());  // 15 significant digits
  EXPECT_EQ(engine().state().cell(1, 1), 0.3);
  ASSERT_TRUE(obj().Call("SetData", {"-7.5"}).ok());
  EXPECT_EQ(engine().state().cell(1, 1), -7.5);
}

TEST_F(QuenzaChartTest, SeriesColorFollowsTheEnginesChartTypeNotTheSetting) {
  ASSERT_TRUE(obj().Put("ChartType", I2(1)).ok());  // waits for a render
  for (std::int32_t type : {0, 1, 2, 3, 4, 5, 6, 14}) {
    engine().Reset();
    engine().SetChartType(type);
    const chart::SeriesState before = engine().state().series[0];
    ASSERT_TRUE(obj().Call("SeriesColor", {I2(1), I2(255), I2(0), I2(0)}).ok());
    const chart::SeriesState& after = engine().state().series[0];
    if (type == chart::kLine3D || type == chart::kLine2D) {
      EXPECT_EQ(after.pen_color, (chart::Rgb{255, 0, 0})) << type;
      EXPECT_EQ(after.fill_color, before.fill_color) << type;
    } else {
      EXPECT_EQ(after.fill_color, (chart::Rgb{255, 0, 0})) << type;
      EXPECT_EQ(after.pen_color, before.pen_color) << type;
    }
  }
}

TEST_F(QuenzaChartTest, BarEdgeSetsWidthAndColourOrTakesTheFillColourAtWidthZero) {
  ASSERT_TRUE(obj().Call("BarEdge", {I2(1), I2(2), I2(0), I2(0), I2(255)}).ok());
  EXPECT_EQ(engine().state().series[0].edge_width, 2);
  EXPECT_EQ(engine().state().series[0].edge_color, (chart::Rgb{0, 0, 255}));

  engine().Plot().Series(2).DataPoints(-1).Brush().FillColor().Set(10, 20, 30);
  ASSERT_TRUE(obj().Call("BarEdge", {I2(2), I2(0), I2(0), I2(0), I2(255)}).ok());
  EXPECT_EQ(engine().state().series[1].edge_width, 0);
  EXPECT_EQ(engine().state().series[1].edge_color, (chart::Rgb{10, 20, 30}));
  EXPECT_EQ(engine().state().series[0].edge_width, 2);  // other series untouched

  // Each step is skipped on its own: a refused colour leaves the width
  // written, a refused width leaves the colour written.
  ASSERT_TRUE(obj().Call("BarEdge", {I2(1), I2(4), I2(0), I2(0), I2(999)}).ok());
  EXPECT_EQ(engine().state().series[0].edge_width, 4);
  EXPECT_EQ(engine().state().series[0].edge_color, (chart::Rgb{0, 0, 255}));
  ASSERT_TRUE(obj().Call("BarEdge", {I2(1), I2(-2), I2(9), I2(9), I2(9)}).ok());
  EXPECT_EQ(engine().state().series[0].edge_width, 4);
  EXPECT_EQ(engine().state().series[0].edge_color, (chart::Rgb{9, 9, 9}));

  // Width 0 with a colour the engine refuses: step 2 is skipped, the later
  // steps still give the edge the fill colour and width 0.
  engine().Plot().Series(3).DataPoints(-1).Brush().FillColor().Set(1, 2, 3);
  ASSERT_TRUE(obj().Call("BarEdge", {I2(3), I2(0), I2(-1), I2(999), I2(0)}).ok());
  EXPECT_EQ(engine().state().series[2].edge_width, 0);
  EXPECT_EQ(engine().state().series[2].edge_color, (chart::Rgb{1, 2, 3}));
}

TEST_F(QuenzaChartTest, DeactivationResetsTheEngineAndRefusesPooling) {
  EXPECT_EQ(control_->CanBePooled(), VARIANT_FALSE);
  auto response = RecordingResponse::Create();
  ActivateWith(response);
  EXPECT_EQ(response->references(), 3u);  // ours, the context item's, the object's
  ASSERT_TRUE(obj().Call("Rows", {I2(9)}).ok());
  ASSERT_TRUE(obj().Call("RowTitle", {"last page's row"}).ok());
  engine().SetTitleText("last page's title");
  engine().SetChartType(chart::kPie2D);

  ASSERT_EQ(control_->Deactivate(), S_OK);
  chart::Chart base;
  base.SetChartType(chart::kBar3D);
  base.SetColumnCount(2);
  base.Backdrop().FillColor().Set(255, 255, 255);
  base.Backdrop().SetFillStyle(chart::kFillBrush);
  base.Plot().Axis(chart::kAxisY).AxisTitle().SetTextLayout(2);
  EXPECT_EQ(test::FirstDifference(engine().state(), base.state()), "");
  EXPECT_EQ(response->references(), 1u);  // the context is gone too
  EXPECT_EQ(control_->CanBePooled(), VARIANT_FALSE);
  EXPECT_EQ(obj().Read("SecondYAxisScale"), Variant::Bool(true));  // settings stay
}

TEST_F(QuenzaChartTest, ActivationFailsWithoutAContextOrAResponse) {
  EXPECT_EQ(control_->Activate(), CONTEXT_E_NOCONTEXT);
  EXPECT_EQ(obj().Read("SecondYAxisScale"), Variant::Bool(false));
  EXPECT_TRUE(obj().Read("FillRed").is_empty());
  EXPECT_EQ(obj().Read("FillBlue"), I2(0));

  auto context = TestObjectContext::Create();
  ObjectContextScope scope(context.get());
  EXPECT_EQ(control_->Activate(), E_INVALIDARG);  // no item "Response"
  EXPECT_EQ(context->references(), 3u);           // ours, the scope's, the object's
  context->SetItem("Response", Variant("not an object"));
  EXPECT_EQ(control_->Activate(), HResultFromNumber(err::kObjectRequired));
  context->SetItem("Response", Variant(ComPtr<IUnknown>(TestObjectContext::Create())));
  EXPECT_EQ(control_->Activate(), E_NOINTERFACE);
  EXPECT_EQ(obj().Read("FillBlue"), I2(0));  // the defaults come after the Response
}

TEST_F(QuenzaChartTest, TheRenderMethodsAnswerThroughDispatch) {
  // Never activated: SendChart has no Response for its answer and fails.
  EXPECT_EQ(obj().Call("SendChart").number(), err::kObjectVariableNotSet);
  const Variant folder = obj().Call("GetTmpPath").result;
  ASSERT_EQ(folder.type(), VarType::String);
  EXPECT_EQ(folder.str().back(), '/');

  auto response = RecordingResponse::Create();
  ActivateWith(response);
  ASSERT_TRUE(obj().Put("Height", Variant(2.0)).ok());
  ASSERT_TRUE(obj().Put("Width", Variant(3.0)).ok());
  ASSERT_TRUE(obj().Call("SendChart").ok());
  EXPECT_EQ(response->content_type(), "image/jpg");
  ASSERT_GT(response->body().size(), 3u);
  EXPECT_EQ(response->body()[0], 0xFF);
  EXPECT_EQ(response->body()[1], 0xD8);
  // A missing picture file is no failure: stamping is simply off.
  EXPECT_TRUE(obj().Call("PastePicture", {I2(1), I2(2), "/nonexistent/a.bmp"}).ok());
  EXPECT_TRUE(obj().Call("ShowError", {"oops"}).ok());
  EXPECT_EQ(engine().TitleText(), "** ERROR **");
}

TEST_F(QuenzaChartTest, TheVtableInterfaceWorksWithoutDispatch) {
  auto chart = unknown_.As<_QuenzaChart>(IID__QuenzaChart);
  ASSERT_TRUE(chart);
  EXPECT_EQ(chart->put_SeriesStacking(5), S_OK);
  VARIANT_BOOL b = 0;
  EXPECT_EQ(chart->get_SeriesStacking(&b), S_OK);
  EXPECT_EQ(b, VARIANT_TRUE);
  EXPECT_EQ(chart->put_ZTitleFontSize(-3), S_OK);
  std::int16_t z = 0;
  EXPECT_EQ(chart->get_ZTitleFontSize(&z), S_OK);
  EXPECT_EQ(z, -3);
  EXPECT_EQ(chart->get_Height(nullptr), E_POINTER);
  EXPECT_EQ(chart->Rows(0), HResultFromNumber(err::kInvalidPropertyValue));
  EXPECT_EQ(chart->Rows(3), S_OK);
  EXPECT_EQ(engine().RowCount(), 3);
  std::string err = "x";
  EXPECT_EQ(chart->ShowError(&err), S_OK);
  EXPECT_EQ(engine().state().axes[chart::kAxisX].title_text, "x");
}

}  // namespace
}  // namespace qz
