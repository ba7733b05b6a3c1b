#include "component/describe.h"

#include <gtest/gtest.h>

#include <string>

#include "component/data_methods.h"
#include "platform/automation/error.h"
#include "platform/form/form.h"

namespace qz::component {
namespace {

class Describe : public ::testing::Test {
 protected:
  void SetUp() override {
    chart().Reset();
    object_.settings.Height = Variant(4.0);
    object_.settings.Width = Variant(6.0);
    object_.settings.ChartType = Variant(std::int16_t{1});
  }
  static chart::Chart& chart() { return form::GetForm1().Chart(); }
  // The error number of f, 0 when it succeeds.
  template <class F>
  static std::int32_t ErrorOf(F&& f) {
    try {
      f();
    } catch (const Error& e) {
      return e.number();
    }
    return 0;
  }
  ObjectState object_;
};

TEST_F(Describe, LoadDataReadsTitlesValuesAndMissingCells) {
  LoadData(chart(), "Month,North,South\r\nJan,12,7.5\nFeb,,9\nMar,\"1e3\",-4\n\n");
  const chart::ChartState& s = chart().state();
  ASSERT_EQ(s.rows, 3);
  ASSERT_EQ(s.columns, 2);
  EXPECT_EQ(s.column_labels, (std::vector<std::string>{"North", "South"}));
  EXPECT_EQ(s.row_labels, (std::vector<std::string>{"Jan", "Feb", "Mar"}));
  EXPECT_EQ(s.cell(1, 2), 7.5);
  EXPECT_FALSE(s.cell(2, 1).has_value());  // empty: a missing point
  EXPECT_EQ(s.cell(3, 1), 1000);
  EXPECT_EQ(s.cell(3, 2), -4);

  // Tab-separated, no titles at all: the labels the engine gives.
  LoadData(chart(), "1\t2\t3\n4\t5\t6");
  EXPECT_EQ(chart().state().rows, 2);
  EXPECT_EQ(chart().state().columns, 3);
  EXPECT_EQ(chart().state().cell(2, 3), 6);
  // Only series titles; quoted fields keep commas and quotes.
  LoadData(chart(), "\"a, \"\"b\"\"\",c\n1,2\n");
  EXPECT_EQ(chart().state().rows, 1);
  EXPECT_EQ(chart().state().column_labels[0], "a, \"b\"");
  // Short lines leave missing points.
  LoadData(chart(), "x,1,2,3\ny,4");
  EXPECT_EQ(chart().state().columns, 3);
  EXPECT_FALSE(chart().state().cell(2, 3).has_value());
}

TEST_F(Describe, AFailedLoadDataLeavesTheGridAsItWas) {
  LoadData(chart(), "k,A,B\nr1,1,2\nr2,3,4");
  const chart::ChartState before = chart().state();
  auto same = [&] {
    const chart::ChartState& s = chart().state();
    return s.rows == before.rows && s.columns == before.columns && s.cells == before.cells &&
           s.row_labels == before.row_labels && s.column_labels == before.column_labels;
  };
  // A bad number, late in the text: the error SetData's write gives.
  EXPECT_EQ(ErrorOf([&] { LoadData(chart(), "k,A,B\nr1,5,6\nr2,7,seven"); }), err::kTypeMismatch);
  EXPECT_TRUE(same());
  EXPECT_EQ(ErrorOf([&] { LoadData(chart(), "1,2\n3,1e999"); }), err::kOverflow);
  EXPECT_TRUE(same());
  // Nothing at all.
  EXPECT_EQ(ErrorOf([&] { LoadData(chart(), ""); }), err::kInvalidProcedureCall);
  EXPECT_EQ(ErrorOf([&] { LoadData(chart(), "\n\n"); }), err::kInvalidProcedureCall);
  EXPECT_TRUE(same());
  // Huge counts: over the 16-bit counts, over the grid cap.
  std::string many(40000 * 2, '1');
  for (std::size_t i = 1; i < many.size(); i += 2) many[i] = '\n';
  EXPECT_EQ(ErrorOf([&] { LoadData(chart(), many); }), err::kOverflow);
  std::string wide;
  for (int c = 0; c < 2000; ++c) wide += c ? ",1" : "1";
  std::string big;
  for (int r = 0; r < 600; ++r) big += wide + "\n";  // 1.2 million cells
  EXPECT_EQ(ErrorOf([&] { LoadData(chart(), big); }), err::kOutOfMemory);
  EXPECT_TRUE(same());
}

TEST_F(Describe, AltTextSaysWhatTheChartShows) {
  LoadData(chart(), "Month,North,South\nJan,12,7\nFeb,30,9\nMar,15,4");
  object_.settings.ChartTitle = Variant("Sales");
  object_.settings.XTitle = Variant("Month");
  object_.settings.YTitle = Variant("Units");
  const std::string text = AltText(object_);
  EXPECT_EQ(text,
            "Bar chart \u201CSales\u201D of 2 series (North, South) over 3 rows of Month (Jan to "
            "Mar), values from 4 to 30 Units. Highest: Feb, North at 30 Units; lowest: Mar, South "
            "at 4 Units.");
  object_.settings.ChartType = Variant(std::int16_t{4});
  EXPECT_EQ(AltText(object_).rfind("Pie chart", 0), 0u);
}

TEST_F(Describe, AltTextOfEmptyAndHostileCharts) {
  LoadData(chart(), "a,b\n,\n");  // titles and one row of missing points
  EXPECT_EQ(AltText(object_), "Bar chart with no values.");
  // Markup stays text (the page escapes it); control characters and
  // overlong labels do not pass.
  LoadData(chart(), "k,\"<script>alert(1)</script>\"\nx\ty,1");
  object_.settings.ChartTitle = Variant(std::string("T\r\n") + std::string(500, 'x'));
  const std::string text = AltText(object_);
  EXPECT_NE(text.find("<script>alert(1)</script>"), std::string::npos);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(text.find('\t'), std::string::npos);
  EXPECT_LT(text.size(), 400u);
  // Many series are counted, not listed.
  std::string header = "k", row = "r";
  for (int c = 1; c <= 9; ++c) header += ",S" + std::to_string(c), row += ",1";
  LoadData(chart(), header + "\n" + row);
  EXPECT_NE(AltText(object_).find("(S1, S2, S3, S4, S5 and 4 more)"), std::string::npos);
}

TEST_F(Describe, DataTableIsAnAccessibleEscapedTable) {
  LoadData(chart(), "k,North,\"<b>&\"\nJan,12,\nFeb,30,9.5");
  object_.settings.ChartTitle = Variant("Q <1>");
  object_.settings.XTitle = Variant("Month");
  const std::string table = DataTable(object_);
  EXPECT_EQ(table.rfind("<table", 0), 0u);
  EXPECT_NE(table.find("<caption>Q &lt;1&gt;</caption>"), std::string::npos);
  EXPECT_NE(table.find("<th scope=\"col\">Month</th><th scope=\"col\">North</th><th "
                       "scope=\"col\">&lt;b&gt;&amp;</th>"),
            std::string::npos);
  EXPECT_NE(table.find("<tr><th scope=\"row\">Jan</th><td>12</td><td></td></tr>"),
            std::string::npos);
  // Values as the axis labels them: its step of 5 shows no decimals.
  EXPECT_NE(table.find("<tr><th scope=\"row\">Feb</th><td>30</td><td>10</td></tr>"),
            std::string::npos)
      << table;
  EXPECT_EQ(table.find("<b>"), std::string::npos);
  // Without a title the caption says what the table is.
  object_.settings.ChartTitle = Variant();
  chart().SetTitleText("");
  EXPECT_NE(DataTable(object_).find("<caption>Chart data</caption>"), std::string::npos);
}

TEST_F(Describe, GridsTooLargeToDescribeCellByCellAreRefused) {
  // 200 x 100 cells: a table, but no image map.
  std::string row;
  for (int c = 0; c < 100; ++c) row += c ? ",1" : "1";
  std::string text;
  for (int r = 0; r < 200; ++r) text += row + "\n";
  LoadData(chart(), text);
  EXPECT_EQ(ErrorOf([&] { ImageMap(object_, "m", ""); }), err::kOutOfMemory);
  EXPECT_NO_THROW(DataTable(object_));
  // 400 x 300: neither; the alt text still describes it.
  row.clear();
  for (int c = 0; c < 300; ++c) row += c ? ",2" : "2";
  text.clear();
  for (int r = 0; r < 400; ++r) text += row + "\n";
  LoadData(chart(), text);
  EXPECT_EQ(ErrorOf([&] { DataTable(object_); }), err::kOutOfMemory);
  EXPECT_NE(AltText(object_).find("of 300 series"), std::string::npos);
}

TEST_F(Describe, EscapingAndEncoding) {
  EXPECT_EQ(EscapeHtml("<a href='x'>\"&\"</a>"),
            "&lt;a href=&#39;x&#39;&gt;&quot;&amp;&quot;&lt;/a&gt;");
  EXPECT_EQ(EncodeUrlComponent("a b/\u00E9~_.-"), "a%20b%2F%C3%A9~_.-");
}

}  // namespace
}  // namespace qz::component
