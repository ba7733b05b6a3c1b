#include "component/data_methods.h"

#include <gtest/gtest.h>

#include "platform/automation/error.h"
#include "tests/support/chart_state_compare.h"

namespace qz::component {
namespace {

using chart::Chart;
using chart::Rgb;

TEST(DataMethods, FillAGridCellByCell) {
  Chart chart;
  Rows(chart, 5);
  Columns(chart, 3);
  for (std::int16_t i = 1; i <= 5; ++i) {
    CurrentRow(chart, i);
    RowTitle(chart, "row " + std::to_string(i));
    for (std::int16_t j = 1; j <= 3; ++j) {
      CurrentColumn(chart, j);
      SetData(chart, i * 10 + j + 0.5);
    }
  }
  CurrentColumn(chart, 2);
  ColumnTitle(chart, "beta");
  const auto& s = chart.state();
  EXPECT_EQ(s.rows, 5);
  EXPECT_EQ(s.columns, 3);
  EXPECT_EQ(s.cell(1, 1), 11.5);
  EXPECT_EQ(s.cell(5, 3), 53.5);
  EXPECT_EQ(s.cell(4, 2), 42.5);
  EXPECT_EQ(s.row_labels[4], "row 5");
  EXPECT_EQ(s.column_labels[1], "beta");
  RowTitle(chart, "");
  EXPECT_EQ(chart.state().row_labels[4], "");
}

TEST(DataMethods, SetDataWritesTheTextFormOfTheNumber) {
  Chart chart;
  SetData(chart, 2.5);
  EXPECT_EQ(chart.Data(), "2.5");
  SetData(chart, 1e20);
  EXPECT_EQ(chart.Data(), "1E+20");
  EXPECT_EQ(chart.state().cell(1, 1), 1e20);
  SetData(chart, 0.1 + 0.2);  // 15 significant digits: 0.3
  EXPECT_EQ(chart.state().cell(1, 1), 0.3);
}

TEST(DataMethods, EngineRefusalsReachTheCaller) {
  Chart chart;
  EXPECT_THROW(Rows(chart, 0), Error);
  EXPECT_THROW(Columns(chart, -1), Error);
  EXPECT_THROW(CurrentRow(chart, 99), Error);
  EXPECT_THROW(CurrentColumn(chart, 0), Error);
  try {
    Rows(chart, 32767);
    Columns(chart, 32767);
    ADD_FAILURE() << "the grid cap was not enforced";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kOutOfMemory);
  }
}

TEST(DataMethods, RotateAndLegendPosition) {
  Chart chart;
  Rotate(chart, 30);
  EXPECT_EQ(chart.state().rotation, 30.0f);
  Rotate(chart, -30);
  EXPECT_EQ(chart.state().rotation, -30.0f);
  LegendPosition(chart, 7);
  EXPECT_EQ(chart.state().legend_location, chart::kBottomRight);
  LegendPosition(chart, 0);
  EXPECT_EQ(chart.state().legend_location, chart::kTopLeft);
  LegendPosition(chart, 8);  // the custom code is never passed
  LegendPosition(chart, -1);
  EXPECT_EQ(chart.state().legend_location, chart::kTopLeft);
}

TEST(DataMethods, SeriesColorTakesTheLineBranchOnlyForLineCharts) {
  for (std::int32_t type : {chart::kLine3D, chart::kLine2D}) {
    Chart chart;
    chart.SetChartType(type);
    const Rgb fill = chart.state().series[0].fill_color;
    SeriesColor(chart, 1, 255, 0, 0);
    EXPECT_EQ(chart.state().series[0].pen_color, (Rgb{255, 0, 0}));
    EXPECT_EQ(chart.state().series[0].fill_color, fill);
  }
  for (std::int32_t type : {chart::kBar3D, chart::kBar2D, chart::kArea2D, chart::kPie2D}) {
    Chart chart;
    chart.SetChartType(type);
    const Rgb pen = chart.state().series[0].pen_color;
    SeriesColor(chart, 1, 255, 0, 0);
    EXPECT_EQ(chart.state().series[0].fill_color, (Rgb{255, 0, 0}));
    EXPECT_EQ(chart.state().series[0].pen_color, pen);
  }
}

TEST(DataMethods, SeriesColorAndBarEdgeSkipWhatFails) {
  Chart chart;
  const chart::ChartState before = chart.state();
  SeriesColor(chart, 99, 1, 2, 3);
  SeriesColor(chart, 0, 1, 2, 3);
  SeriesColor(chart, 1, 256, 0, 0);  // a component the engine refuses
  BarEdge(chart, 99, 2, 0, 0, 255);
  BarEdge(chart, -1, 0, 0, 0, 255);
  EXPECT_EQ(test::FirstDifference(chart.state(), before), "");

  // A failing colour step does not stop the width step.
  BarEdge(chart, 1, 4, 0, 0, 999);
  EXPECT_EQ(chart.state().series[0].edge_width, 4);
  EXPECT_EQ(chart.state().series[0].edge_color, before.series[0].edge_color);
  // A negative width is refused, the colour still written.
  BarEdge(chart, 1, -2, 0, 0, 255);
  EXPECT_EQ(chart.state().series[0].edge_width, 4);
  EXPECT_EQ(chart.state().series[0].edge_color, (Rgb{0, 0, 255}));
}

TEST(DataMethods, BarEdgeWithWidthZeroTakesTheFillColour) {
  Chart chart;
  BarEdge(chart, 1, 2, 0, 0, 255);
  EXPECT_EQ(chart.state().series[0].edge_width, 2);
  EXPECT_EQ(chart.state().series[0].edge_color, (Rgb{0, 0, 255}));

  chart.Plot().Series(2).DataPoints(-1).Brush().FillColor().Set(10, 20, 30);
  BarEdge(chart, 2, 0, 0, 0, 255);
  EXPECT_EQ(chart.state().series[1].edge_width, 0);
  EXPECT_EQ(chart.state().series[1].edge_color, (Rgb{10, 20, 30}));
  EXPECT_EQ(chart.state().series[0].edge_width, 2);  // other series untouched
}

}  // namespace
}  // namespace qz::component
