#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "component/describe.h"
#include "component/render_methods.h"
#include "platform/chart/render/paint.h"
#include "tests/delivery/delivery_fixture.h"

namespace qz::test {
namespace {

struct Area {
  bool rect = false;
  std::vector<double> coords;
  int row = 0, column = 0;  // 0-based, from the "Rn, Cm: v" title
  std::string title, href;

  bool Contains(double x, double y) const {
    if (rect) return x >= coords[0] && x < coords[2] && y >= coords[1] && y < coords[3];
    bool inside = false;  // even-odd rule over the polygon
    for (std::size_t i = 0, j = coords.size() - 2; i < coords.size(); j = i, i += 2) {
      const double xi = coords[i], yi = coords[i + 1], xj = coords[j], yj = coords[j + 1];
      if ((yi > y) != (yj > y) && x < (xj - xi) * (y - yi) / (yj - yi) + xi) inside = !inside;
    }
    return inside;
  }
};

std::vector<Area> ParseMap(const std::string& map) {
  std::vector<Area> areas;
  const std::regex area(
      R"re(<area shape="(rect|poly)" coords="([^"]*)" title="R(\d+), C(\d+): ([^"]*)" alt="[^"]*"(?: href="([^"]*)")?>)re");
  for (auto it = std::sregex_iterator(map.begin(), map.end(), area); it != std::sregex_iterator();
       ++it) {
    Area a;
    a.rect = (*it)[1] == "rect";
    std::string coords = (*it)[2];
    for (std::size_t at = 0; at < coords.size();) {
      std::size_t end = coords.find(',', at);
      a.coords.push_back(std::stod(coords.substr(at, end - at)));
      at = end == std::string::npos ? coords.size() : end + 1;
    }
    a.row = std::stoi((*it)[3]) - 1;
    a.column = std::stoi((*it)[4]) - 1;
    a.title = (*it)[5];
    a.href = (*it)[6];
    areas.push_back(a);
  }
  return areas;
}

std::uint32_t Packed(chart::Rgb c) {
  return static_cast<std::uint32_t>(c.r) << 16 | static_cast<std::uint32_t>(c.g) << 8 |
         static_cast<std::uint32_t>(c.b);
}

class ImageMap : public DeliveryTest {
 protected:
  Decoded Render() {
    response_ = RecordingResponse::Create();
    object_.mResponse = ComPtr<IResponse>(response_.get());
    object_.settings.ImageType = "BMP";
    component::SendChart(object_);
    return Decode(response_->body());
  }
  // Every pixel of a series' fill colour inside the plot lies in an area of
  // that series, and the inside of every bar area has its series' colour.
  void ExpectAreasCoverTheirBars(int expected_areas) {
    const std::string map = component::ImageMap(object_, "sales", "");
    const Decoded image = Render();
    const std::vector<Area> areas = ParseMap(map);
    ASSERT_EQ(static_cast<int>(areas.size()), expected_areas) << map;
    const chart::ChartState& s = form_->Chart().state();
    const auto size = chart::render::ChartPixelSize(s);
    ASSERT_EQ(image.width, size.width);
    const chart::render::ChartLayout layout =
        chart::render::LayoutChart(s, size.width, size.height);
    for (const Area& a : areas) {
      ASSERT_TRUE(a.rect);
      const std::uint32_t fill = Packed(s.series[static_cast<std::size_t>(a.column)].fill_color);
      for (int y = static_cast<int>(a.coords[1]) + 2; y < a.coords[3] - 2; ++y)
        for (int x = static_cast<int>(a.coords[0]) + 2; x < a.coords[2] - 2; ++x)
          ASSERT_EQ(image.At(x, y), fill) << a.title << " at " << x << "," << y;
    }
    int checked = 0;
    for (int y = static_cast<int>(layout.plot.y); y < layout.plot.bottom(); ++y) {
      for (int x = static_cast<int>(layout.plot.x); x < layout.plot.right(); ++x) {
        for (int c = 0; c < s.columns; ++c) {
          if (image.At(x, y) != Packed(s.series[static_cast<std::size_t>(c)].fill_color)) continue;
          bool covered = false;
          for (const Area& a : areas) covered = covered || (a.column == c && a.Contains(x, y));
          ASSERT_TRUE(covered) << "series " << c << " pixel " << x << "," << y;
          ++checked;
        }
      }
    }
    EXPECT_GT(checked, 1000);
  }
};

TEST_F(ImageMap, EveryBarHasAnAreaHoldingItsPixels) {
  FillChart(object_, form_->Chart(), 2);
  ExpectAreasCoverTheirBars(18);
  // At 192 dots per inch the map follows the bigger picture.
  object_.settings.Resolution = 192;
  ExpectAreasCoverTheirBars(18);
}

TEST_F(ImageMap, SlicesAndPointsAreAreasAtTheirPlaces) {
  FillChart(object_, form_->Chart(), 1);
  object_.settings.ChartType = Variant(std::int16_t{4});  // pies: one a row
  std::vector<Area> areas = ParseMap(component::ImageMap(object_, "m", ""));
  ASSERT_EQ(areas.size(), 18u);
  Decoded image = Render();
  const chart::ChartState& s = form_->Chart().state();
  for (const Area& a : areas) {
    ASSERT_FALSE(a.rect);
    // Most pixels inside the slice's polygon are its fill: the share labels
    // drawn on slices and the anti-aliased rim take the rest.
    double x0 = 1e9, y0 = 1e9, x1 = -1e9, y1 = -1e9;
    for (std::size_t i = 0; i + 1 < a.coords.size(); i += 2) {
      x0 = std::min(x0, a.coords[i]), x1 = std::max(x1, a.coords[i]);
      y0 = std::min(y0, a.coords[i + 1]), y1 = std::max(y1, a.coords[i + 1]);
    }
    const std::uint32_t fill = Packed(s.series[static_cast<std::size_t>(a.column)].fill_color);
    int inside = 0, filled = 0;
    for (int y = std::max(0, static_cast<int>(y0));
         y <= std::min(image.height - 1, static_cast<int>(y1)); ++y) {
      for (int x = std::max(0, static_cast<int>(x0));
           x <= std::min(image.width - 1, static_cast<int>(x1)); ++x) {
        if (!a.Contains(x + 0.5, y + 0.5)) continue;
        ++inside;
        filled += image.At(x, y) == fill;
      }
    }
    if (inside < 20) continue;  // a sliver too thin to judge
    EXPECT_GT(filled * 10, inside * 6) << a.title << ": " << filled << " of " << inside;
  }
  object_.settings.ChartType = Variant(std::int16_t{3});  // lines: a square on each point
  areas = ParseMap(component::ImageMap(object_, "m", ""));
  EXPECT_EQ(areas.size(), 18u);
  object_.settings.ChartType = Variant(std::int16_t{5});  // 3-D bars: a hull each
  areas = ParseMap(component::ImageMap(object_, "m", ""));
  EXPECT_EQ(areas.size(), 18u);
}

TEST_F(ImageMap, NamesTextsAndLinksAreEscapedAndEncoded) {
  FillChart(object_, form_->Chart(), 0);
  chart::Chart& chart = form_->Chart();
  chart.SetRow(1);
  chart.SetRowLabel("Q1 <script>\"&'");
  chart.SetColumn(1);
  chart.SetColumnLabel("A&B");
  const std::string map =
      component::ImageMap(object_, "x\"><script>", "/d?r={row}&c={column}&v={value}");
  EXPECT_EQ(map.find("<script>"), std::string::npos);
  EXPECT_EQ(map.rfind("<map name=\"x&quot;&gt;&lt;script&gt;\">", 0), 0u);
  EXPECT_NE(map.find("title=\"Q1 &lt;script&gt;&quot;&amp;&#39;, A&amp;B: "), std::string::npos);
  EXPECT_NE(map.find("href=\"/d?r=Q1%20%3Cscript%3E%22%26%27&amp;c=A%26B&amp;v="),
            std::string::npos);
  // Without an href the areas have none; nothing is painted or encoded.
  const std::string plain = component::ImageMap(object_, "m", "");
  EXPECT_EQ(plain.find("href"), std::string::npos);
  EXPECT_TRUE(response_->calls().empty());
  EXPECT_TRUE(TempEntries().empty());
}

}  // namespace
}  // namespace qz::test
