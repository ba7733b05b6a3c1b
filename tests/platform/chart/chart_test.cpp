#include "platform/chart/chart.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <tuple>

#include "platform/automation/error.h"
#include "tests/support/chart_state_compare.h"

namespace qz::chart {
namespace {

// Runs f, which must raise the automation error number, and checks that the
// engine's state is the same afterwards.
template <class F>
void ExpectRefused(Chart& chart, std::int32_t number, F&& f) {
  const ChartState before = chart.state();
  try {
    f();
    ADD_FAILURE() << "no error raised, expected " << number;
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), number) << e.what();
  }
  EXPECT_EQ(test::FirstDifference(before, chart.state()), "");
}

TEST(ChartInitialState, IsAConsistentSampleChart) {
  Chart chart;
  const ChartState& s = chart.state();
  EXPECT_EQ(test::FirstDifference(s, Chart::InitialState()), "");
  EXPECT_EQ(s.width_twips, 7815);
  EXPECT_EQ(s.height_twips, 4455);
  EXPECT_EQ(s.chart_type, kBar2D);
  ASSERT_GE(s.rows, 1);
  ASSERT_GE(s.columns, 1);
  EXPECT_EQ(s.cells.size(), static_cast<std::size_t>(s.rows * s.columns));
  EXPECT_EQ(s.row_labels.size(), static_cast<std::size_t>(s.rows));
  EXPECT_EQ(s.column_labels.size(), static_cast<std::size_t>(s.columns));
  EXPECT_EQ(s.series.size(), static_cast<std::size_t>(s.columns));
  for (const auto& cell : s.cells) EXPECT_TRUE(cell.has_value());
  // Every series in its own colour.
  std::set<std::tuple<int, int, int>> colours;
  for (const SeriesState& series : s.series) {
    colours.emplace(series.fill_color.r, series.fill_color.g, series.fill_color.b);
  }
  EXPECT_EQ(colours.size(), s.series.size());
  EXPECT_EQ(s.title_font.name, "Arial");
  EXPECT_EQ(s.title_font.size, 14);
  EXPECT_EQ(s.legend_font.size, 10);
  EXPECT_EQ(s.axes[kAxisY].label_font.name, "Arial");
  EXPECT_TRUE(s.title_text.empty());
}

TEST(ChartGrid, GrowingKeepsValuesAndLabelsAndAddsMissingPoints) {
  Chart chart;
  chart.SetRowCount(2);
  chart.SetColumnCount(2);
  chart.SetRow(2);
  chart.SetColumn(2);
  chart.SetData("7.25");
  chart.SetRowLabel("second");
  chart.SetColumnLabel("beta");

  chart.SetRowCount(5);
  chart.SetColumnCount(3);
  const ChartState& s = chart.state();
  EXPECT_EQ(s.rows, 5);
  EXPECT_EQ(s.columns, 3);
  ASSERT_EQ(s.cells.size(), 15u);
  EXPECT_EQ(s.cell(2, 2), 7.25);
  EXPECT_EQ(s.cell(1, 1), 3.0);  // sample value kept
  EXPECT_FALSE(s.cell(5, 3).has_value());
  EXPECT_FALSE(s.cell(1, 3).has_value());
  EXPECT_THAT(s.row_labels, testing::ElementsAre("R1", "second", "R3", "R4", "R5"));
  EXPECT_THAT(s.column_labels, testing::ElementsAre("C1", "beta", "C3"));
  EXPECT_EQ(s.series.size(), 3u);
}

TEST(ChartGrid, ShrinkingMovesTheCurrentCellInside) {
  Chart chart;
  chart.SetRowCount(4);
  chart.SetColumnCount(3);
  chart.SetRow(4);
  chart.SetColumn(3);
  chart.SetColumnCount(2);
  chart.SetRowCount(1);
  EXPECT_EQ(chart.Row(), 1);
  EXPECT_EQ(chart.Column(), 2);
  EXPECT_EQ(chart.state().cells.size(), 2u);
  EXPECT_EQ(chart.state().series.size(), 2u);
}

TEST(ChartGrid, RefusesCountsBelowOneAndIndicesOutsideTheGrid) {
  Chart chart;
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { chart.SetRowCount(0); });
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { chart.SetColumnCount(-3); });
  ExpectRefused(chart, err::kSubscriptOutOfRange, [&] { chart.SetRow(0); });
  ExpectRefused(chart, err::kSubscriptOutOfRange, [&] { chart.SetRow(chart.RowCount() + 1); });
  ExpectRefused(chart, err::kSubscriptOutOfRange, [&] { chart.SetColumn(-1); });
  ExpectRefused(chart, err::kSubscriptOutOfRange,
                [&] { chart.SetColumn(chart.ColumnCount() + 1); });
}

TEST(ChartGrid, RefusesAGridOverTheCapWithoutChangingIt) {
  Chart chart;
  chart.SetColumnCount(2);
  chart.SetRowCount(32767);  // 65534 cells: allowed
  EXPECT_EQ(chart.state().cells.size(), 65534u);
  ExpectRefused(chart, err::kOutOfMemory, [&] { chart.SetColumnCount(32767); });
  EXPECT_EQ(chart.ColumnCount(), 2);
  chart.SetRowCount(1000);
  chart.SetColumnCount(1000);  // exactly the cap
  EXPECT_EQ(chart.state().cells.size(), static_cast<std::size_t>(kMaxCells));
  ExpectRefused(chart, err::kOutOfMemory, [&] { chart.SetRowCount(1001); });
}

TEST(ChartGrid, CellTextIsParsedAsAnAutomationNumber) {
  Chart chart;
  chart.SetData("2.5");
  EXPECT_EQ(chart.state().cell(1, 1), 2.5);
  EXPECT_EQ(chart.Data(), "2.5");
  chart.SetData(" -1E3 ");
  EXPECT_EQ(chart.state().cell(1, 1), -1000.0);
  chart.SetData("&H10");
  EXPECT_EQ(chart.state().cell(1, 1), 16.0);
  chart.SetData("");
  EXPECT_FALSE(chart.state().cell(1, 1).has_value());
  EXPECT_EQ(chart.Data(), "");
  chart.SetData("4");
  ExpectRefused(chart, err::kTypeMismatch, [&] { chart.SetData("four"); });
  ExpectRefused(chart, err::kTypeMismatch, [&] { chart.SetData("1,5"); });
  ExpectRefused(chart, err::kOverflow, [&] { chart.SetData("1E400"); });
}

TEST(ChartCodes, AcceptsOnlyTheCodesItKnows) {
  Chart chart;
  for (std::int32_t code : {0, 1, 2, 3, 4, 5, 6, 14}) {
    chart.SetChartType(code);
    EXPECT_EQ(chart.ChartType(), code);
  }
  for (std::int32_t code : {-1, 7, 13, 15, 16}) {
    ExpectRefused(chart, err::kInvalidPropertyValue, [&] { chart.SetChartType(code); });
  }
  chart.Legend().SetLocation(8);
  EXPECT_EQ(chart.state().legend_location, kCustom);
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { chart.Legend().SetLocation(9); });
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { chart.Legend().SetLocation(-1); });

  Backdrop title = chart.Title().Backdrop();
  title.SetFrameStyle(4);
  title.SetShadowStyle(1);
  title.SetFillStyle(1);
  EXPECT_EQ(chart.state().title_backdrop.frame_style, kFrameThickOuter);
  EXPECT_EQ(chart.state().title_backdrop.shadow_style, kShadowDrop);
  EXPECT_EQ(chart.state().title_backdrop.fill_style, kFillBrush);
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { title.SetFrameStyle(5); });
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { title.SetShadowStyle(2); });
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { title.SetFillStyle(-1); });
  AxisTitle y = chart.Plot().Axis(kAxisY).AxisTitle();
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { y.SetTextLayout(4); });
}

TEST(ChartColor, ComponentsOutside0To255AreRefusedAndSetIsAllOrNothing) {
  Chart chart;
  Color fill = chart.Backdrop().FillColor();
  fill.Set(10, 20, 30);
  EXPECT_EQ(chart.state().backdrop.fill_color, (Rgb{10, 20, 30}));
  fill.SetGreen(255);
  EXPECT_EQ(fill.Green(), 255);
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { fill.Set(1, 2, 256); });
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { fill.SetRed(-1); });
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { fill.SetBlue(300); });
}

TEST(ChartFonts, SizesAndNamesAreChecked) {
  Chart chart;
  Font f = chart.Plot().Axis(kAxisZ).Label(1).Font();
  f.SetSize(0.5f);
  f.SetName("DejaVu Sans");
  EXPECT_EQ(chart.state().axes[kAxisZ].label_font.size, 0.5f);
  EXPECT_EQ(chart.state().axes[kAxisZ].label_font.name, "DejaVu Sans");
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { f.SetSize(0); });
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { f.SetSize(-3); });
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { f.SetSize(kMaxFontSize * 2); });
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { f.SetName(""); });
}

TEST(ChartLookups, AnswerTheLiveObjectAndCheckTheirArguments) {
  Chart chart;
  // Both axis forms reach the same axis.
  chart.Plot().Axis(kAxisY, 1).AxisTitle().SetText("Sales");
  EXPECT_EQ(chart.Plot().Axis(kAxisY).AxisTitle().Text(), "Sales");
  chart.Plot().Axis(kAxisX).ValueScale().SetMajorDivision(-4);  // the renderer copes
  EXPECT_EQ(chart.state().axes[kAxisX].scale.major_division, -4);
  chart.Plot().Axis(kAxisY2).AxisScale().SetHide(false);
  EXPECT_FALSE(chart.state().axes[kAxisY2].hidden);

  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { chart.Plot().Axis(4); });
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { chart.Plot().Axis(-1, 1); });
  ExpectRefused(chart, err::kSubscriptOutOfRange, [&] { chart.Plot().Axis(kAxisX, 2); });
  ExpectRefused(chart, err::kSubscriptOutOfRange, [&] { chart.Plot().Axis(kAxisX).Label(2); });
  ExpectRefused(chart, err::kSubscriptOutOfRange, [&] { chart.Plot().Series(0); });
  ExpectRefused(chart, err::kSubscriptOutOfRange,
                [&] { chart.Plot().Series(chart.ColumnCount() + 1); });
  ExpectRefused(chart, err::kSubscriptOutOfRange, [&] { chart.Plot().Series(1).DataPoints(1); });
  ExpectRefused(chart, err::kInvalidPropertyValue,
                [&] { chart.Plot().Series(1).DataPoints(-1).EdgePen().SetWidth(-1); });
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { chart.SetHeight(-1); });
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { chart.SetResolution(47); });
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { chart.SetResolution(385); });
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { chart.SetResolution(-96); });
  ExpectRefused(chart, err::kInvalidPropertyValue, [&] { chart.SetWidth(kMaxSizeTwips + 15); });
  ExpectRefused(chart, err::kInvalidPropertyValue,
                [&] { chart.Plot().Axis(kAxisY).ValueScale().SetMinimum(std::nan("")); });
}

TEST(ChartLookups, ASeriesHandleFailsOnceItsSeriesIsGone) {
  Chart chart;
  chart.SetColumnCount(3);
  Color fill = chart.Plot().Series(3).DataPoints(-1).Brush().FillColor();
  fill.Set(1, 2, 3);
  EXPECT_EQ(chart.state().series[2].fill_color, (Rgb{1, 2, 3}));
  chart.SetColumnCount(2);
  ExpectRefused(chart, err::kSubscriptOutOfRange, [&] { fill.Set(4, 5, 6); });
  // Growing again brings a fresh series 3 in its palette colour; the old
  // handle addresses it again.
  chart.SetColumnCount(3);
  EXPECT_EQ(chart.state().series[2].fill_color, Chart::InitialState().series[2].fill_color);
  fill.SetRed(9);
  EXPECT_EQ(chart.state().series[2].fill_color.r, 9);
}

TEST(ChartReset, RestoresTheWholeInitialStateButKeepsTheWindow) {
  Chart chart;
  chart.AttachWindow(42);
  chart.SetRowCount(7);
  chart.SetColumnCount(5);
  chart.SetRow(7);
  chart.SetData("99");
  chart.SetRowLabel("secret row");
  chart.SetTitleText("page one");
  chart.SetChartType(kPie2D);
  chart.SetStacking(true);
  chart.SetShowLegend(false);
  chart.SetHeight(100);
  chart.Title().Font().SetName("Carlito");
  chart.Legend().SetLocation(kBottom);
  chart.Backdrop().SetFillStyle(kFillBrush);
  chart.Backdrop().FillColor().Set(1, 1, 1);
  chart.Plot().Axis(kAxisZ).ValueScale().SetAuto(false);
  chart.Plot().Axis(kAxisX, 1).AxisTitle().SetText("x");
  chart.Plot().View3D().SetRotation(-30);
  chart.Plot().Series(5).Pen().Color().Set(9, 9, 9);
  chart.Plot().Series(1).DataPoints(-1).EdgePen().SetWidth(3);
  chart.Refresh();

  chart.Reset();
  EXPECT_EQ(test::FirstDifference(chart.state(), Chart::InitialState()), "");
  EXPECT_EQ(chart.hWnd(), 42);
}

}  // namespace
}  // namespace qz::chart
