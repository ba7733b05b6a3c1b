#include "composition/compose_chart.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iterator>

#include "platform/automation/error.h"
#include "tests/support/chart_state_compare.h"

namespace qz::composition {
namespace {

using chart::Chart;
using chart::ChartState;
using chart::Rgb;
using component::Settings;

// The settings of an object on which a script set nothing, after activation.
Settings Activated() {
  Settings s;
  s.SecondYAxisScale = VARIANT_TRUE;
  s.FillRed = Variant(std::int16_t{255});
  s.FillGreen = Variant(std::int16_t{255});
  s.FillBlue = 255;
  return s;
}

// Composes and answers the automation error number raised (0 for none).
std::int32_t Compose(const Settings& s, Chart& chart) {
  try {
    ComposeChart(s, chart);
    return 0;
  } catch (const Error& e) {
    return e.number();
  }
}

TEST(ComposeChart, AnUntouchedActivatedObject) {
  Chart chart;
  chart.SetChartType(chart::kArea2D);
  chart.Title().Backdrop().FillColor().Set(9, 9, 9);
  chart.Title().Backdrop().SetFrameStyle(3);
  chart.Backdrop().SetShadowStyle(1);
  chart.SetStacking(true);
  ChartState expected = chart.state();

  ASSERT_EQ(Compose(Activated(), chart), 0);
  expected.width_twips = 0;
  expected.height_twips = 0;
  expected.title_backdrop.fill_color = Rgb{0, 0, 0};
  expected.title_backdrop.frame_style = 0;
  expected.title_backdrop.shadow_style = 0;
  expected.legend_visible = false;
  expected.backdrop.shadow_style = 0;
  expected.backdrop.fill_color = Rgb{255, 255, 255};
  expected.stacking = false;
  expected.axes[chart::kAxisY2].hidden = false;
  EXPECT_EQ(test::FirstDifference(chart.state(), expected), "");
  EXPECT_EQ(chart.ChartType(), chart::kArea2D);  // kept
  EXPECT_EQ(chart.refresh_count(), 1u);
}

TEST(ComposeChart, ANeverActivatedObjectPaintsBlackAndHidesTheSecondYAxis) {
  Chart chart;
  ASSERT_EQ(Compose(Settings{}, chart), 0);
  EXPECT_EQ(chart.state().backdrop.fill_color, (Rgb{0, 0, 0}));
  EXPECT_TRUE(chart.state().axes[chart::kAxisY2].hidden);
}

TEST(ComposeChart, SizeIsInchesTimes1440) {
  Chart chart;
  Settings s = Activated();
  s.Height = 4.5;
  s.Width = "3";
  ASSERT_EQ(Compose(s, chart), 0);
  EXPECT_EQ(chart.Height(), 6480);
  EXPECT_EQ(chart.Width(), 4320);
  s.Height = Variant::Null();
  EXPECT_EQ(Compose(s, chart), err::kInvalidUseOfNull);
}

TEST(ComposeChart, ASizeBeyondASingleOverflowsAndHeightComesFirst) {
  for (Variant height : {Variant(1e300), Variant(1e36), Variant("1e308"), Variant(-1e300)}) {
    Chart chart;
    Settings s = Activated();
    s.Height = height;
    s.Width = 1;
    EXPECT_EQ(Compose(s, chart), err::kOverflow) << DebugString(height);
    EXPECT_EQ(chart.Height(), Chart::InitialState().height_twips);
    EXPECT_EQ(chart.Width(), Chart::InitialState().width_twips);
  }
  // A width the engine refuses comes after the height was written.
  Chart chart;
  Settings s = Activated();
  s.Height = 2;
  s.Width = -1;
  EXPECT_EQ(Compose(s, chart), err::kInvalidPropertyValue);
  EXPECT_EQ(chart.Height(), 2880);
  EXPECT_EQ(chart.Width(), Chart::InitialState().width_twips);
}

TEST(ComposeChart, LegendsOnlyZeroOrOneAreWritten) {
  Chart chart;
  Settings s = Activated();
  s.Legends = std::int16_t{1};
  ASSERT_EQ(Compose(s, chart), 0);
  EXPECT_TRUE(chart.ShowLegend());
  for (Variant other : {Variant(std::int16_t{-1}), Variant(2.0), Variant::Bool(true)}) {
    s.Legends = other;
    ASSERT_EQ(Compose(s, chart), 0);
    EXPECT_TRUE(chart.ShowLegend()) << DebugString(other);
  }
  s.Legends = "0";
  ASSERT_EQ(Compose(s, chart), 0);
  EXPECT_FALSE(chart.ShowLegend());
  // The text "True" is no number: the test fails with a type mismatch and
  // composition ends before the legend step.
  s.Legends = "True";
  s.SeriesStacking = VARIANT_TRUE;
  EXPECT_EQ(Compose(s, chart), err::kTypeMismatch);
  EXPECT_FALSE(chart.ShowLegend());
  EXPECT_FALSE(chart.Stacking());
}

TEST(ComposeChart, ChartTypeGoesThroughTheCodeTable) {
  const std::int32_t expected[] = {1, 3, 5, 14, 0, 2, 4, 6};
  for (int i = 1; i <= 8; ++i) {
    Chart chart;
    Settings s = Activated();
    s.ChartType = std::int16_t(i);
    ASSERT_EQ(Compose(s, chart), 0);
    EXPECT_EQ(chart.ChartType(), expected[i - 1]) << "ChartType " << i;
  }
  Chart chart;
  chart.SetChartType(chart::kLine2D);
  Settings s = Activated();
  for (Variant outside : {Variant(0), Variant(9), Variant(-1), Variant(0.3), Variant(8.6)}) {
    s.ChartType = outside;
    ASSERT_EQ(Compose(s, chart), 0);
    EXPECT_EQ(chart.ChartType(), chart::kLine2D) << DebugString(outside);
  }
  s.ChartType = 2.5;  // rounds to 2, halves to even
  ASSERT_EQ(Compose(s, chart), 0);
  EXPECT_EQ(chart.ChartType(), chart::kLine2D);
  s.ChartType = 3.5;  // rounds to 4: pie
  ASSERT_EQ(Compose(s, chart), 0);
  EXPECT_EQ(chart.ChartType(), chart::kPie2D);
}

TEST(ComposeChart, StyleCodesAreWrittenOnlyInsideTheirTests) {
  Chart chart;
  Settings s = Activated();
  s.TitleBorderStyle = 4;
  s.TitleShadow = 1;
  s.Shadow = 1;
  ASSERT_EQ(Compose(s, chart), 0);
  EXPECT_EQ(chart.state().title_backdrop.frame_style, 4);
  EXPECT_EQ(chart.state().title_backdrop.shadow_style, 1);
  EXPECT_EQ(chart.state().backdrop.shadow_style, 1);
  s.TitleBorderStyle = 5;
  s.TitleShadow = 2;
  s.Shadow = 2;
  ASSERT_EQ(Compose(s, chart), 0);
  s.TitleBorderStyle = -1;
  ASSERT_EQ(Compose(s, chart), 0);
  EXPECT_EQ(chart.state().title_backdrop.frame_style, 4);
  EXPECT_EQ(chart.state().title_backdrop.shadow_style, 1);
  EXPECT_EQ(chart.state().backdrop.shadow_style, 1);
}

TEST(ComposeChart, ATypeMismatchAtStep4KeepsSteps1To3AndStopsThere) {
  Chart chart;
  const ChartState before = chart.state();
  Settings s = Activated();
  s.Height = 1;
  s.Width = 2;
  s.TitleFont = "Carlito";
  s.TitleFontSize = "huge";
  s.LegendFont = "DejaVu Sans";
  s.ChartTitle = "never";
  EXPECT_EQ(Compose(s, chart), err::kTypeMismatch);
  ChartState expected = before;
  expected.height_twips = 1440;
  expected.width_twips = 2880;
  expected.title_font.name = "Carlito";
  EXPECT_EQ(test::FirstDifference(chart.state(), expected), "");
  EXPECT_EQ(chart.refresh_count(), 0u);
}

TEST(ComposeChart, ChartTitleTextForms) {
  Chart chart;
  Settings s = Activated();
  s.ChartTitle = 0;
  ASSERT_EQ(Compose(s, chart), 0);
  EXPECT_EQ(chart.TitleText(), "0");
  s.ChartTitle = "";
  ASSERT_EQ(Compose(s, chart), 0);
  EXPECT_EQ(chart.TitleText(), "0");
  s.ChartTitle = 2.5;
  ASSERT_EQ(Compose(s, chart), 0);
  EXPECT_EQ(chart.TitleText(), "2.5");
}

TEST(ComposeChart, FailuresEndCompositionAtTheirStep) {
  {
    // Overflow at step 8: nothing of the title backdrop is written.
    Chart chart;
    Settings s = Activated();
    s.TitleBackgroundR = 40000;
    s.TitleBackgroundG = 7;
    EXPECT_EQ(Compose(s, chart), err::kOverflow);
    EXPECT_EQ(chart.state().title_backdrop.fill_color,
              chart::Chart::InitialState().title_backdrop.fill_color);
  }
  {
    // An engine refusal at step 21 (red 300): stacking (step 22) not written.
    Chart chart;
    Settings s = Activated();
    s.FillRed = 300;
    s.SeriesStacking = VARIANT_TRUE;
    EXPECT_EQ(Compose(s, chart), err::kInvalidPropertyValue);
    EXPECT_FALSE(chart.Stacking());
    EXPECT_EQ(chart.refresh_count(), 0u);
  }
  {
    // Within group 15, X is written before Y fails; group 16 never runs.
    Chart chart;
    Settings s = Activated();
    s.XTitleFontSize = 12;
    s.YTitleFontSize = "big";
    s.XLabelFont = "Carlito";
    EXPECT_EQ(Compose(s, chart), err::kTypeMismatch);
    EXPECT_EQ(chart.state().axes[chart::kAxisX].title_font.size, 12);
    EXPECT_EQ(chart.state().axes[chart::kAxisX].label_font.name, "Arial");
  }
}

// The order of the writes shows where a failure stops them.
TEST(ComposeChart, ColourComponentsAreSeparateWritesRedGreenBlue) {
  {
    Chart chart;
    Settings s = Activated();
    s.TitleBackgroundR = 7;
    s.TitleBackgroundG = "300";  // converts, then the engine refuses it
    s.TitleBackgroundB = 9;
    EXPECT_EQ(Compose(s, chart), err::kInvalidPropertyValue);
    EXPECT_EQ(chart.state().title_backdrop.fill_color, (Rgb{7, 255, 255}));
  }
  {
    Chart chart;
    Settings s = Activated();
    s.FillRed = 1;
    s.FillGreen = 2;
    s.FillBlue = 256;  // as stored: the engine refuses it, nothing converts it
    EXPECT_EQ(Compose(s, chart), err::kInvalidPropertyValue);
    EXPECT_EQ(chart.state().backdrop.fill_color, (Rgb{1, 2, 255}));
  }
  {
    Chart chart;
    Settings s = Activated();
    s.FillRed = 1;
    s.FillGreen = 40000;  // a variant: the conversion to 16 bits overflows
    EXPECT_EQ(Compose(s, chart), err::kOverflow);
    EXPECT_EQ(chart.state().backdrop.fill_color, (Rgb{1, 255, 255}));
  }
}

TEST(ComposeChart, ScalingRunsMinimaThenMaximaThenDivisions) {
  Chart chart;
  Settings s = Activated();
  s.XAxisMin = 1;
  s.XAxisMax = 50;
  s.YAxisMin = -5;
  s.YAxisMax = std::nan("");  // passes non-zero, refused after the flag
  s.ZAxisMin = 3;
  s.XMajorDivision = 4;
  EXPECT_EQ(Compose(s, chart), err::kInvalidPropertyValue);
  const auto& axes = chart.state().axes;
  const auto initial = Chart::InitialState();
  EXPECT_EQ(axes[chart::kAxisX].scale.minimum, 1);
  EXPECT_EQ(axes[chart::kAxisX].scale.maximum, 50);
  EXPECT_EQ(axes[chart::kAxisY].scale.minimum, -5);
  EXPECT_FALSE(axes[chart::kAxisY].scale.automatic);
  EXPECT_EQ(axes[chart::kAxisY].scale.maximum, initial.axes[chart::kAxisY].scale.maximum);
  EXPECT_TRUE(axes[chart::kAxisZ].scale.automatic);  // step 5 never ran
  EXPECT_EQ(axes[chart::kAxisX].scale.major_division,
            initial.axes[chart::kAxisX].scale.major_division);
  EXPECT_EQ(axes[chart::kAxisY2].hidden, initial.axes[chart::kAxisY2].hidden);  // nor step 24
}

// The whole sequence, step by step: with every numeric setting holding a
// good value except one that holds a word, composition ends with a type
// mismatch exactly there, every setting before it written and none after.
TEST(ComposeChart, AWordInAnyNumericSettingStopsTheSequenceExactlyThere) {
  struct Step {
    const char* name;
    Variant Settings::*field;
    Variant good;
    bool (*written)(const ChartState&);
  };
  using chart::kAxisX;
  using chart::kAxisY;
  using chart::kAxisZ;
  const Step steps[] = {
      {"TitleFontSize", &Settings::TitleFontSize, 11,
       [](const ChartState& c) { return c.title_font.size == 11; }},
      {"LegendFontSize", &Settings::LegendFontSize, 9,
       [](const ChartState& c) { return c.legend_font.size == 9; }},
      {"TitleBackgroundR", &Settings::TitleBackgroundR, 5,
       [](const ChartState& c) { return c.title_backdrop.fill_color.r == 5; }},
      {"TitleBackgroundG", &Settings::TitleBackgroundG, 6,
       [](const ChartState& c) { return c.title_backdrop.fill_color.g == 6; }},
      {"TitleBorderStyle", &Settings::TitleBorderStyle, 2,
       [](const ChartState& c) { return c.title_backdrop.frame_style == 2; }},
      {"TitleShadow", &Settings::TitleShadow, 1,
       [](const ChartState& c) { return c.title_backdrop.shadow_style == 1; }},
      {"XTitleFontSize", &Settings::XTitleFontSize, 13,
       [](const ChartState& c) { return c.axes[kAxisX].title_font.size == 13; }},
      {"YTitleFontSize", &Settings::YTitleFontSize, 14,
       [](const ChartState& c) { return c.axes[kAxisY].title_font.size == 14; }},
      {"XLabelFontSize", &Settings::XLabelFontSize, 7,
       [](const ChartState& c) { return c.axes[kAxisX].label_font.size == 7; }},
      {"YLabelFontSize", &Settings::YLabelFontSize, 8,
       [](const ChartState& c) { return c.axes[kAxisY].label_font.size == 8; }},
      {"Legends", &Settings::Legends, 0, [](const ChartState& c) { return !c.legend_visible; }},
      {"ChartType", &Settings::ChartType, 3,
       [](const ChartState& c) { return c.chart_type == chart::kArea2D; }},
      {"Shadow", &Settings::Shadow, 1,
       [](const ChartState& c) { return c.backdrop.shadow_style == 1; }},
      {"FillRed", &Settings::FillRed, 10,
       [](const ChartState& c) { return c.backdrop.fill_color.r == 10; }},
      {"FillGreen", &Settings::FillGreen, 20,
       [](const ChartState& c) { return c.backdrop.fill_color.g == 20; }},
      {"XAxisMin", &Settings::XAxisMin, 1,
       [](const ChartState& c) { return c.axes[kAxisX].scale.minimum == 1; }},
      {"XAxisMax", &Settings::XAxisMax, 50,
       [](const ChartState& c) { return c.axes[kAxisX].scale.maximum == 50; }},
      {"YAxisMin", &Settings::YAxisMin, 2,
       [](const ChartState& c) { return c.axes[kAxisY].scale.minimum == 2; }},
      {"YAxisMax", &Settings::YAxisMax, 60,
       [](const ChartState& c) { return c.axes[kAxisY].scale.maximum == 60; }},
      {"ZAxisMin", &Settings::ZAxisMin, 3,
       [](const ChartState& c) { return c.axes[kAxisZ].scale.minimum == 3; }},
      {"XMajorDivision", &Settings::XMajorDivision, 4,
       [](const ChartState& c) { return c.axes[kAxisX].scale.major_division == 4; }},
      {"YMajorDivision", &Settings::YMajorDivision, 5,
       [](const ChartState& c) { return c.axes[kAxisY].scale.major_division == 5; }},
  };
  Settings good = Activated();
  for (const Step& step : steps) good.*step.field = step.good;
  {
    Chart chart;
    ASSERT_EQ(Compose(good, chart), 0);
    for (const Step& step : steps) EXPECT_TRUE(step.written(chart.state())) << step.name;
  }
  for (std::size_t bad = 0; bad < std::size(steps); ++bad) {
    SCOPED_TRACE(steps[bad].name);
    Settings s = good;
    s.*steps[bad].field = "word";
    Chart chart;
    EXPECT_EQ(Compose(s, chart), err::kTypeMismatch);
    for (std::size_t i = 0; i < std::size(steps); ++i) {
      EXPECT_EQ(steps[i].written(chart.state()), i < bad) << steps[i].name;
    }
    EXPECT_EQ(chart.refresh_count(), 0u);
  }
}

TEST(ComposeChart, AxisTitlesAndFonts) {
  Chart chart;
  chart.Plot().Axis(chart::kAxisX).AxisTitle().SetText("old");
  Settings s = Activated();
  s.XTitle = "";
  s.XTitleFont = "Carlito";
  s.YTitle = 2024;
  s.ZTitle = "Depth";
  s.YTitleFontSize = 0.5;
  s.ZTitleFontSize = -3;
  s.YLabelFont = "DejaVu Serif";
  s.ZLabelFont = "Liberation Mono";
  s.XLabelFontSize = "9";
  s.ZLabelFontSize = 11;
  ASSERT_EQ(Compose(s, chart), 0);
  const auto& axes = chart.state().axes;
  EXPECT_EQ(axes[chart::kAxisX].title_text, "old");
  EXPECT_EQ(axes[chart::kAxisX].title_font.name, "Carlito");
  EXPECT_EQ(axes[chart::kAxisY].title_text, "2024");
  EXPECT_EQ(axes[chart::kAxisZ].title_text, "Depth");
  EXPECT_EQ(axes[chart::kAxisY].title_font.size, 0.5f);
  EXPECT_EQ(axes[chart::kAxisZ].title_font.size, 10);  // -3 not written
  EXPECT_EQ(axes[chart::kAxisY].label_font.name, "DejaVu Serif");
  EXPECT_EQ(axes[chart::kAxisZ].label_font.name, "Liberation Mono");
  EXPECT_EQ(axes[chart::kAxisX].label_font.size, 9);
  EXPECT_EQ(axes[chart::kAxisZ].label_font.size, 11);
}

TEST(ComposeChart, ScalingWritesTheAutomaticFlagThenTheLimit) {
  Chart chart;
  Settings s = Activated();
  s.YAxisMax = 100;
  s.YAxisMin = 0;
  s.XAxisMin = -50;
  s.ZAxisMax = 7;
  ASSERT_EQ(Compose(s, chart), 0);
  const auto& axes = chart.state().axes;
  EXPECT_FALSE(axes[chart::kAxisY].scale.automatic);
  EXPECT_EQ(axes[chart::kAxisY].scale.maximum, 100);
  EXPECT_EQ(axes[chart::kAxisY].scale.minimum, 0);  // the engine's own
  EXPECT_FALSE(axes[chart::kAxisX].scale.automatic);
  EXPECT_EQ(axes[chart::kAxisX].scale.minimum, -50);
  EXPECT_FALSE(axes[chart::kAxisZ].scale.automatic);
  EXPECT_EQ(axes[chart::kAxisZ].scale.maximum, 7);

  // A later render with all limits 0 leaves the engine's scaling as it is.
  ASSERT_EQ(Compose(Activated(), chart), 0);
  EXPECT_FALSE(chart.state().axes[chart::kAxisY].scale.automatic);
  EXPECT_EQ(chart.state().axes[chart::kAxisY].scale.maximum, 100);
}

TEST(ComposeChart, AFailingLimitLeavesAutomaticOffAndTheOldLimit) {
  Chart chart;
  Settings s = Activated();
  s.YAxisMin = "low";
  EXPECT_EQ(Compose(s, chart), err::kTypeMismatch);
  // The test itself fails, before the flag: nothing changed.
  EXPECT_TRUE(chart.state().axes[chart::kAxisY].scale.automatic);

  // A value the engine refuses after the flag was written.
  chart.Plot().Axis(chart::kAxisY).ValueScale().SetMinimum(-7);
  s.YAxisMin = std::nan("");
  EXPECT_EQ(Compose(s, chart), err::kInvalidPropertyValue);
  EXPECT_FALSE(chart.state().axes[chart::kAxisY].scale.automatic);
  EXPECT_EQ(chart.state().axes[chart::kAxisY].scale.minimum, -7);
}

TEST(ComposeChart, AutoScalingSkipsTheWholeScalingGroup) {
  Chart chart;
  Settings s = Activated();
  s.AutoScaling = VARIANT_TRUE;
  s.YAxisMax = 100;
  s.XMajorDivision = 5;
  s.SecondYAxisScale = VARIANT_FALSE;
  ASSERT_EQ(Compose(s, chart), 0);
  const auto& axes = chart.state().axes;
  const auto initial = chart::Chart::InitialState();
  for (int id = 0; id < 4; ++id) {
    EXPECT_TRUE(axes[id].scale.automatic);
    EXPECT_EQ(axes[id].scale.maximum, initial.axes[id].scale.maximum);
    EXPECT_EQ(axes[id].scale.major_division, initial.axes[id].scale.major_division);
  }
  EXPECT_TRUE(axes[chart::kAxisY2].hidden);  // step 24 still ran
  EXPECT_EQ(chart.refresh_count(), 1u);
}

TEST(ComposeChart, MajorDivisionRoundsHalvesToEvenAndOverflows) {
  Chart chart;
  Settings s = Activated();
  s.XMajorDivision = 2.5;
  s.YMajorDivision = 3.5;
  s.ZMajorDivision = -2;
  ASSERT_EQ(Compose(s, chart), 0);
  const auto& axes = chart.state().axes;
  EXPECT_EQ(axes[chart::kAxisX].scale.major_division, 2);
  EXPECT_EQ(axes[chart::kAxisY].scale.major_division, 4);
  EXPECT_EQ(axes[chart::kAxisZ].scale.major_division, -2);
  EXPECT_TRUE(axes[chart::kAxisX].scale.automatic);  // divisions leave the flag
  s.XMajorDivision = 70000;
  EXPECT_EQ(Compose(s, chart), err::kOverflow);
  EXPECT_EQ(chart.state().axes[chart::kAxisX].scale.major_division, 2);
}

TEST(ComposeChart, SecondYAxisFollowsTheComplementOfTheSetting) {
  Chart chart;
  Settings s = Activated();
  s.SecondYAxisScale = VARIANT_FALSE;
  ASSERT_EQ(Compose(s, chart), 0);
  EXPECT_TRUE(chart.state().axes[chart::kAxisY2].hidden);
  s.SecondYAxisScale = VARIANT_TRUE;
  ASSERT_EQ(Compose(s, chart), 0);
  EXPECT_FALSE(chart.state().axes[chart::kAxisY2].hidden);
}

}  // namespace
}  // namespace qz::composition
