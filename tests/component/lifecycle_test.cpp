#include "component/lifecycle.h"

#include <gtest/gtest.h>

#include "tests/support/chart_state_compare.h"
#include "tests/support/recording_response.h"

namespace qz::component {
namespace {

using test::RecordingResponse;
using test::TestObjectContext;

TEST(Activate, TakesTheResponseAndSetsTheDefaults) {
  auto response = RecordingResponse::Create();
  auto context = TestObjectContext::WithResponse(response);
  ObjectState object;
  object.settings.Height = "3";
  {
    ObjectContextScope scope(context.get());
    ASSERT_EQ(Activate(object), S_OK);
  }
  EXPECT_EQ(object.mObjectContext.get(), context.get());
  EXPECT_EQ(object.mResponse.get(), response.get());
  const Settings& s = object.settings;
  EXPECT_EQ(s.SecondYAxisScale, VARIANT_TRUE);
  EXPECT_EQ(s.FillRed, Variant(std::int16_t{255}));
  EXPECT_EQ(s.FillGreen, Variant(std::int16_t{255}));
  EXPECT_EQ(s.FillBlue, 255);
  EXPECT_EQ(s.Height, Variant("3"));
  EXPECT_TRUE(s.FillRed.type() == VarType::I2);
  // The object holds one reference on each; the item's copy is gone.
  EXPECT_EQ(response->references(), 3u);  // ours, the context item's, the object's
  EXPECT_EQ(context->references(), 2u);   // ours, the object's
}

TEST(Activate, FailsWithoutAContextOrAResponse) {
  {
    ObjectState object;
    EXPECT_EQ(Activate(object), CONTEXT_E_NOCONTEXT);
    EXPECT_EQ(object.settings.SecondYAxisScale, VARIANT_FALSE);
    EXPECT_TRUE(object.settings.FillRed.is_empty());
  }
  {
    auto context = TestObjectContext::Create();  // no "Response" item
    ObjectContextScope scope(context.get());
    ObjectState object;
    EXPECT_EQ(Activate(object), E_INVALIDARG);
    EXPECT_EQ(object.mObjectContext.get(), context.get());  // step 1 stays done
    EXPECT_FALSE(object.mResponse);
    EXPECT_EQ(object.settings.FillBlue, 0);
  }
  {
    auto context = TestObjectContext::Create();
    context->SetItem("Response", Variant("not an object"));
    ObjectContextScope scope(context.get());
    ObjectState object;
    EXPECT_EQ(Activate(object), HResultFromNumber(err::kObjectRequired));
  }
  {
    // An object without the Response interface.
    auto context = TestObjectContext::Create();
    auto other = TestObjectContext::Create();
    context->SetItem("Response", Variant(ComPtr<IUnknown>(other)));
    ObjectContextScope scope(context.get());
    ObjectState object;
    EXPECT_EQ(Activate(object), E_NOINTERFACE);
    EXPECT_FALSE(object.mResponse);
  }
}

TEST(Deactivate, ResetsTheEngineToItsBaseAndDropsTheReferences) {
  auto response = RecordingResponse::Create();
  auto context = TestObjectContext::WithResponse(response);
  ObjectState object;
  {
    ObjectContextScope scope(context.get());
    ASSERT_EQ(Activate(object), S_OK);
  }
  chart::Chart chart;
  chart.SetRowCount(9);
  chart.SetData("123");
  chart.SetRowLabel("previous page");
  chart.SetTitleText("previous title");
  chart.SetChartType(chart::kPie2D);
  chart.Backdrop().FillColor().Set(1, 2, 3);
  chart.Backdrop().SetFillStyle(chart::kFillNull);
  chart.Plot().Axis(chart::kAxisY).AxisTitle().SetTextLayout(chart::kLayoutStacked);
  chart.Plot().Axis(chart::kAxisY).ValueScale().SetAuto(false);
  object.settings.ChartTitle = "kept";

  ASSERT_EQ(Deactivate(object, chart), S_OK);
  chart::ChartState expected = chart::Chart::InitialState();
  chart::Chart base;
  base.SetChartType(chart::kBar3D);
  base.SetColumnCount(2);
  expected = base.state();
  expected.backdrop.fill_color = chart::Rgb{255, 255, 255};
  expected.backdrop.fill_style = chart::kFillBrush;
  expected.axes[chart::kAxisY].title_layout = chart::kLayoutUp;
  EXPECT_EQ(test::FirstDifference(chart.state(), expected), "");
  EXPECT_EQ(chart.ChartType(), 0);
  EXPECT_EQ(chart.ColumnCount(), 2);

  EXPECT_FALSE(object.mObjectContext);
  EXPECT_FALSE(object.mResponse);
  EXPECT_EQ(response->references(), 2u);
  EXPECT_EQ(context->references(), 1u);
  EXPECT_EQ(object.settings.ChartTitle, Variant("kept"));
  EXPECT_EQ(object.settings.SecondYAxisScale, VARIANT_TRUE);
}

}  // namespace
}  // namespace qz::component
