#include "platform/chart/render/paint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "platform/chart/render/sample.h"
#include "platform/chart/render/text.h"

namespace qz::chart::render {
namespace {

constexpr std::int32_t kAllKinds[] = {kBar2D, kLine2D, kArea2D, kPie2D,
                                      kBar3D, kLine3D, kArea3D, kStep3D};

struct Pixels {
  SurfacePtr surface;
  int w = 0, h = 0;
  Rgb at(int x, int y) const {
    auto* data = cairo_image_surface_get_data(surface.get());
    int stride = cairo_image_surface_get_stride(surface.get());
    std::uint32_t v = *reinterpret_cast<const std::uint32_t*>(data + y * stride + x * 4);
    return {static_cast<std::int16_t>((v >> 16) & 255), static_cast<std::int16_t>((v >> 8) & 255),
            static_cast<std::int16_t>(v & 255)};
  }
  int Count(Rgb c) const {
    int n = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) n += at(x, y) == c;
    return n;
  }
};

Pixels Render(const ChartState& s, int w = 576, int h = 384) {
  return {RenderToSurface(s, w, h), w, h};
}

// Paints into the middle of a larger surface filled with a sentinel colour;
// answers whether the ring around the picture kept it and the context stayed sound.
bool PaintsOnlyInside(const ChartState& s, int w, int h) {
  const int m = 16;
  SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, w + 2 * m, h + 2 * m));
  CairoPtr cr(cairo_create(surface.get()));
  cairo_set_source_rgb(cr.get(), 1, 0, 1);
  cairo_paint(cr.get());
  cairo_translate(cr.get(), m, m);
  PaintChart(s, cr.get(), w, h);
  bool sound = cairo_status(cr.get()) == CAIRO_STATUS_SUCCESS;
  cr.reset();
  cairo_surface_flush(surface.get());
  Pixels px{std::move(surface), w + 2 * m, h + 2 * m};
  for (int y = 0; y < px.h; ++y) {
    for (int x = 0; x < px.w; ++x) {
      bool inside = x >= m && x < m + w && y >= m && y < m + h;
      if (!inside && !(px.at(x, y) == Rgb{255, 0, 255})) return false;
    }
  }
  return sound;
}

// Every placed text inside the picture and apart from every other.
void ExpectTextsApartAndInside(const ChartState& s, int w, int h, const std::string& what) {
  ChartLayout layout = LayoutChart(s, w, h);
  for (std::size_t i = 0; i < layout.texts.size(); ++i) {
    const PlacedText& a = layout.texts[i];
    for (const Point& p : a.Corners()) {
      EXPECT_TRUE(p.x >= -0.5 && p.x <= w + 0.5 && p.y >= -0.5 && p.y <= h + 0.5)
          << what << ": '" << a.text << "' leaves the picture at " << p.x << "," << p.y;
    }
    for (std::size_t j = i + 1; j < layout.texts.size(); ++j) {
      EXPECT_FALSE(Overlap(a, layout.texts[j]))
          << what << ": '" << a.text << "' overlaps '" << layout.texts[j].text << "'";
    }
  }
}

ChartState Crowded(std::int32_t type, int rows) {
  ChartState s = SampleChart(type, rows, 3);
  for (int r = 0; r < rows; ++r) {
    s.row_labels[static_cast<std::size_t>(r)] = "Category number " + std::to_string(r + 1);
  }
  return s;
}

TEST(PixelsFromTwips, FifteenTwipsToThePixel) {
  EXPECT_EQ(PixelsFromTwips(8640), 576);
  EXPECT_EQ(PixelsFromTwips(0), 0);
  EXPECT_EQ(PixelsFromTwips(-15), 0);
  EXPECT_EQ(PixelsFromTwips(std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(PixelsFromTwips(1e30f), 32767);
}

TEST(Resolution, TheSameLayoutAtThePicturesScale) {
  for (std::int32_t kind : kAllKinds) {
    SCOPED_TRACE(kind);
    ChartState s = SampleChart(kind);
    s.width_twips = 576 * 15;
    s.height_twips = 384 * 15;
    const ChartLayout base = LayoutChart(s, 576, 384);
    s.resolution = 192;
    EXPECT_EQ(DeviceScale(s), 2.0);
    const PixelSize size = ChartPixelSize(s);
    EXPECT_EQ(size.width, 1152);
    EXPECT_EQ(size.height, 768);
    const ChartLayout twice = LayoutChart(s, size.width, size.height);
    ASSERT_EQ(twice.texts.size(), base.texts.size());
    for (std::size_t i = 0; i < base.texts.size(); ++i) {
      EXPECT_EQ(twice.texts[i].text, base.texts[i].text);
      EXPECT_DOUBLE_EQ(twice.texts[i].cx, 2 * base.texts[i].cx);
      EXPECT_DOUBLE_EQ(twice.texts[i].cy, 2 * base.texts[i].cy);
      EXPECT_DOUBLE_EQ(twice.texts[i].width, 2 * base.texts[i].width);
    }
    EXPECT_DOUBLE_EQ(twice.plot.w, 2 * base.plot.w);
    EXPECT_DOUBLE_EQ(twice.plot.y, 2 * base.plot.y);
  }
  // 72 dots per inch: three quarters of the pixels; out-of-range values in
  // the state are drawn at the nearest resolution the engine accepts.
  ChartState s = SampleChart(kBar2D);
  s.width_twips = 576 * 15;
  s.height_twips = 384 * 15;
  s.resolution = 72;
  EXPECT_EQ(ChartPixelSize(s).width, 432);
  s.resolution = 1000;
  EXPECT_EQ(DotsPerInch(s), 384);
}

TEST(Overlap, SeparatesRotatedBoxes) {
  PlacedText a{TextRole::kCategoryLabel, "a", 10, 10, 20, 10, 0};
  PlacedText b = a;
  b.cx = 25;
  EXPECT_TRUE(Overlap(a, b));
  b.cx = 31;
  EXPECT_FALSE(Overlap(a, b));
  // Two 45-degree labels whose bounding boxes meet but whose texts do not.
  PlacedText c{TextRole::kCategoryLabel, "c", 0, 0, 40, 6, -0.785398};
  PlacedText d = c;
  d.cx = 12;
  EXPECT_FALSE(Overlap(c, d));
  d.cx = 6;
  EXPECT_TRUE(Overlap(c, d));
}

TEST(PaintChart, BackdropFillAtTheCorners) {
  ChartState s = SampleChart(kBar2D);
  s.backdrop.fill_color = {10, 200, 30};
  Pixels px = Render(s);
  EXPECT_EQ(px.at(0, 0), (Rgb{10, 200, 30}));
  EXPECT_EQ(px.at(575, 383), (Rgb{10, 200, 30}));
  // A null fill leaves what the surface held (white).
  s.backdrop.fill_style = kFillNull;
  EXPECT_EQ(Render(s).at(0, 0), (Rgb{255, 255, 255}));
  // A drop shadow darkens the bottom-right corner; a frame the top-left.
  s.backdrop.fill_style = kFillBrush;
  s.backdrop.shadow_style = kShadowDrop;
  s.backdrop.frame_style = kFrameSingle;
  Pixels framed = Render(s);
  EXPECT_LT(framed.at(575, 383).r, 200);
  EXPECT_LT(framed.at(0, 0).g, 100);
  EXPECT_EQ(framed.at(575, 0), (Rgb{255, 255, 255}));  // the shadow is offset
}

TEST(PaintChart, FrameStylesDrawDistinctly) {
  std::vector<std::vector<Rgb>> edges;
  for (int style = 0; style <= 4; ++style) {
    ChartState s = SampleChart(kBar2D);
    s.backdrop.frame_style = style;
    Pixels px = Render(s);
    std::vector<Rgb> column;
    for (int x = 0; x < 8; ++x) column.push_back(px.at(x, 200));
    for (const auto& other : edges) EXPECT_NE(column, other) << "frame " << style;
    edges.push_back(column);
  }
}

TEST(PaintChart, BarReachesTheRowOfItsValueOnAManualScale) {
  ChartState s = SampleChart(kBar2D, 1, 1);
  SetCell(s, 1, 1, 60.0);
  s.axes[kAxisY].scale = {false, 0, 120, 6};
  s.series[0].fill_color = {200, 30, 40};
  s.series[0].edge_width = 0;
  s.series[0].edge_color = s.series[0].fill_color;
  ChartLayout layout = LayoutChart(s, 576, 384);
  Pixels px = Render(s);
  int x = static_cast<int>(layout.plot.x + layout.plot.w / 2);
  int top = -1;
  for (int y = 0; y < 384 && top < 0; ++y) {
    if (px.at(x, y) == s.series[0].fill_color) top = y;
  }
  double expected = layout.plot.bottom() - layout.plot.h * 60 / 120;
  EXPECT_NEAR(top, expected, 1.0);
  // Above the maximum the bar is cut at the plot's top, not outside it.
  SetCell(s, 1, 1, 500.0);
  Pixels high = Render(s);
  EXPECT_TRUE(high.at(x, static_cast<int>(layout.plot.y) + 2) == s.series[0].fill_color);
  EXPECT_FALSE(high.at(x, static_cast<int>(layout.plot.y) - 3) == s.series[0].fill_color);
}

TEST(PaintChart, SeriesColourShowsAfterItChanges) {
  const Rgb magenta{255, 0, 255};
  for (std::int32_t kind : kAllKinds) {
    ChartState s = SampleChart(kind);
    EXPECT_EQ(Render(s).Count(magenta), 0);
    if (kind == kLine2D || kind == kLine3D)
      s.series[1].pen_color = magenta;
    else
      s.series[1].fill_color = magenta;
    // 3-D faces are shaded, so look for the colour on the flat legend swatch.
    EXPECT_GT(Render(s).Count(magenta), 15) << "kind " << kind;
  }
}

TEST(PaintChart, BarEdgesHaveTheirWidthAndColour) {
  ChartState s = SampleChart(kBar2D);
  const Rgb blue{0, 0, 255};
  s.series[0].edge_color = blue;
  s.series[0].edge_width = 0;
  int hairline = Render(s).Count(blue);
  s.series[0].edge_width = 3;
  int thick = Render(s).Count(blue);
  EXPECT_GT(hairline, 100);
  EXPECT_GT(thick, hairline * 2);
}

TEST(Layout, LegendOnTheSideItsLocationNames) {
  for (std::int32_t loc = kTopLeft; loc <= kCustom; ++loc) {
    ChartState s = SampleChart(kBar2D);
    s.legend_location = loc;
    ChartLayout l = LayoutChart(s, 576, 384);
    ASSERT_TRUE(l.legend_shown) << loc;
    const Box& g = l.legend;
    const Box& p = l.plot;
    switch (loc) {
      case kTopLeft:
      case kLeft:
      case kBottomLeft:
        EXPECT_LT(g.right(), p.x) << loc;
        break;
      case kTop:
        EXPECT_LT(g.bottom(), p.y) << loc;
        break;
      case kBottom:
        EXPECT_GT(g.y, p.bottom()) << loc;
        break;
      default:
        EXPECT_GT(g.x, p.right()) << loc;
    }
    if (loc == kTopLeft || loc == kTopRight) {
      EXPECT_LT(g.y, 384 / 4) << loc;
    }
    if (loc == kBottomLeft || loc == kBottomRight) {
      EXPECT_GT(g.bottom(), 384 * 3 / 4) << loc;
    }
    // The swatch of series 1 is drawn inside the legend's box.
    Pixels px = Render(s);
    int found = 0;
    for (int y = static_cast<int>(g.y); y < g.bottom(); ++y)
      for (int x = static_cast<int>(g.x); x < g.right(); ++x)
        found += px.at(x, y) == s.series[0].fill_color;
    EXPECT_GT(found, 20) << loc;
  }
  ChartState hidden = SampleChart(kBar2D);
  hidden.legend_visible = false;
  EXPECT_FALSE(LayoutChart(hidden, 576, 384).legend_shown);
}

TEST(Layout, TextsNeverOverlapOrLeaveThePicture) {
  for (std::int32_t kind : kAllKinds) {
    for (int rows : {6, 40, 300}) {
      for (auto [w, h] : {std::pair{96, 64}, {320, 200}, {576, 384}, {1920, 1280}}) {
        ChartState s = Crowded(kind, rows);
        s.axes[kAxisY2].hidden = false;
        s.axes[kAxisY2].title_text = "Second";
        s.axes[kAxisZ].title_text = "Depth";
        s.title_text =
            "A title long enough to need wrapping at the smaller sizes of this test, and then some "
            "more";
        ExpectTextsApartAndInside(s, w, h,
                                  "kind " + std::to_string(kind) + " rows " + std::to_string(rows) +
                                      " " + std::to_string(w) + "x" + std::to_string(h));
      }
    }
  }
  for (std::int32_t loc = kTopLeft; loc <= kCustom; ++loc) {
    for (std::int32_t layout = kLayoutHorizontal; layout <= kLayoutDown; ++layout) {
      ChartState s = Crowded(kBar2D, 12);
      s.legend_location = loc;
      s.axes[kAxisY].title_layout = layout;
      s.axes[kAxisX].title_layout = layout;
      ExpectTextsApartAndInside(
          s, 420, 280, "legend " + std::to_string(loc) + " layout " + std::to_string(layout));
    }
  }
}

TEST(Layout, CrowdedCategoryLabelsAreThinnedNotDropped) {
  ChartState s = Crowded(kBar2D, 40);
  ChartLayout l = LayoutChart(s, 576, 384);
  int labels = 0;
  for (const auto& t : l.texts) labels += t.role == TextRole::kCategoryLabel;
  EXPECT_GE(labels, 3);
  EXPECT_LT(labels, 40);
  // Six short labels all fit upright.
  ChartLayout six = LayoutChart(SampleChart(kBar2D), 576, 384);
  int upright = 0;
  for (const auto& t : six.texts) upright += t.role == TextRole::kCategoryLabel && t.angle == 0;
  EXPECT_EQ(upright, 6);
}

TEST(TextRuns, PlainTextsComeOutAsRunsWhereTheyWouldBeDrawn) {
  ChartState s = SampleChart(kBar2D);
  s.axes[kAxisY].title_layout = kLayoutUp;
  s.title_text = "Sample title";
  for (std::int16_t dpi : {std::int16_t{96}, std::int16_t{192}}) {
    SCOPED_TRACE(dpi);
    s.resolution = dpi;
    const double k = dpi / 96.0;
    SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 576 * 2, 384 * 2));
    CairoPtr cr(cairo_create(surface.get()));
    std::vector<TextRun> runs;
    PaintChartWithTextRuns(s, cr.get(), static_cast<int>(576 * k), static_cast<int>(384 * k),
                           &runs);
    const ChartLayout layout = LayoutChart(s, static_cast<int>(576 * k), static_cast<int>(384 * k));
    // Every placed text that fits whole comes out once, at its place.
    int title = 0, units = 0;
    for (const TextRun& run : runs) {
      EXPECT_GT(run.font_px, 0);
      EXPECT_FALSE(run.family.empty());
      if (run.text == "Sample title") {
        ++title;
        EXPECT_EQ(run.angle, 0);
        EXPECT_NEAR(run.font_px, s.title_font.size * 96 / 72.0 * k, 0.5 * k);
        for (const PlacedText& t : layout.texts) {
          if (t.text != run.text) continue;
          // The baseline lies inside the placed box, the start at its left.
          EXPECT_NEAR(run.origin_x + run.x, t.cx - t.width / 2, 1.5 * k);
          EXPECT_GT(run.origin_y + run.y, t.cy - t.height / 2);
          EXPECT_LT(run.origin_y + run.y, t.cy + t.height / 2);
        }
      }
      if (run.text == "Units") {
        ++units;
        EXPECT_NEAR(run.angle, -M_PI / 2, 1e-9);
      }
    }
    EXPECT_EQ(title, 1);
    EXPECT_EQ(units, 1);
    EXPECT_GE(runs.size(), layout.texts.size() - 2);  // a cut label may stay glyphs
  }
}

TEST(Layout, YTitleCodeTwoReadsUpwards) {
  ChartState s = SampleChart(kBar2D);
  s.axes[kAxisY].title_layout = kLayoutUp;
  for (const auto& t : LayoutChart(s, 576, 384).texts) {
    if (t.text == "Units") {
      EXPECT_NEAR(t.angle, -M_PI / 2, 1e-9);
    }
  }
  s.axes[kAxisY].title_layout = kLayoutDown;
  for (const auto& t : LayoutChart(s, 576, 384).texts) {
    if (t.text == "Units") {
      EXPECT_NEAR(t.angle, M_PI / 2, 1e-9);
    }
  }
}

TEST(PaintChart, DegenerateDataDrawsSoundlyInsideThePicture) {
  const std::vector<std::function<void(ChartState&)>> cases = {
      [](ChartState&) {},
      [](ChartState& s) { ResizeGrid(s, 1, 3); },
      [](ChartState& s) { ResizeGrid(s, 6, 1); },
      [](ChartState& s) { ResizeGrid(s, 0, 0); },
      [](ChartState& s) {
        for (auto& c : s.cells) c = 0.0;
      },
      [](ChartState& s) {
        for (auto& c : s.cells) c = -*c;
      },
      [](ChartState& s) {
        for (auto& c : s.cells) c = std::nullopt;
      },
      [](ChartState& s) {
        double v = 1e-300;
        for (auto& c : s.cells) c = (v *= 1e37);
      },
      [](ChartState& s) {
        s.cells[0] = std::numeric_limits<double>::quiet_NaN();
        s.cells[1] = std::numeric_limits<double>::infinity();
        s.cells[2] = -1e308;
        s.cells[3] = 1e308;
      },
      [](ChartState& s) {
        // More rows than pixels: drawn thinned and decimated.
        ResizeGrid(s, 5000, 3);
        for (int r = 1; r <= 5000; ++r) SetCell(s, r, 2, std::sin(r * 0.01) * 100);
      },
      [](ChartState& s) {
        s.axes[kAxisY].scale = {false, 50, 10, 0};
      },
      [](ChartState& s) {
        s.axes[kAxisY].scale = {false, 5, 5, -7};
      },
      [](ChartState& s) {
        s.axes[kAxisY].scale = {false, -1e308, 1e308, 32767};
      },
      [](ChartState& s) {
        s.axes[kAxisY].scale = {false, NAN, INFINITY, 3};
      },
      [](ChartState& s) {
        s.rows = 50;  // more rows than cells: the grid shows what it holds
        s.rotation = std::numeric_limits<float>::quiet_NaN();
      },
      [](ChartState& s) {
        s.series.clear();
        s.row_labels.clear();
        s.column_labels.clear();
        s.legend_location = 99;
        s.chart_type = 77;
      },
      [](ChartState& s) {
        s.title_font.size = 1e30f;
        s.legend_font.size = std::numeric_limits<float>::quiet_NaN();
        s.series[0].edge_width = std::numeric_limits<float>::infinity();
        s.title_text = std::string(5000, 'W');
      },
  };
  for (std::int32_t kind : kAllKinds) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
      ChartState s = SampleChart(kind);
      cases[i](s);
      if (s.chart_type == kind) s.chart_type = kind;
      for (auto [w, h] : {std::pair{1, 1}, {96, 64}, {576, 384}}) {
        EXPECT_TRUE(PaintsOnlyInside(s, w, h))
            << "kind " << kind << " case " << i << " " << w << "x" << h;
      }
    }
  }
}

TEST(PaintChart, ZeroSizeDrawsNothing) {
  ChartState s = SampleChart(kBar2D);
  SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 20, 20));
  CairoPtr cr(cairo_create(surface.get()));
  cairo_set_source_rgb(cr.get(), 1, 0, 1);
  cairo_paint(cr.get());
  PaintChart(s, cr.get(), 0, 0);
  PaintChart(s, cr.get(), -5, 10);
  PaintChart(s, nullptr, 10, 10);
  cr.reset();
  cairo_surface_flush(surface.get());
  Pixels px{std::move(surface), 20, 20};
  EXPECT_EQ(px.Count({255, 0, 255}), 400);
  EXPECT_TRUE(LayoutChart(s, 0, 0).texts.empty());
}

TEST(PaintChart, PieDrawsOnePiePerRow) {
  ChartState s = SampleChart(kPie2D, 4, 2);
  SetCell(s, 2, 1, -3.0);  // a negative slice takes no room
  ChartLayout l = LayoutChart(s, 576, 384);
  int pies = 0;
  for (const auto& t : l.texts) pies += t.role == TextRole::kPieLabel;
  EXPECT_EQ(pies, 4);
  Pixels px = Render(s);
  EXPECT_GT(px.Count(s.series[0].fill_color), 1000);
  EXPECT_GT(px.Count(s.series[1].fill_color), 1000);
}

TEST(PaintChart, RepaintReusesTheThreadsLayouts) {
  ChartState s = SampleChart(kBar2D);
  Render(s);
  std::size_t cached = TextCache::ForThread().size();
  Render(s);
  EXPECT_EQ(TextCache::ForThread().size(), cached);
}

// Pixels within tolerance of a colour inside a box.
int CountNear(const Pixels& px, Rgb c, const Box& b, int tolerance = 12) {
  int n = 0;
  for (int y = std::max(0, static_cast<int>(b.y)); y < std::min(px.h, static_cast<int>(b.bottom()));
       ++y) {
    for (int x = std::max(0, static_cast<int>(b.x));
         x < std::min(px.w, static_cast<int>(b.right())); ++x) {
      Rgb p = px.at(x, y);
      n += std::abs(p.r - c.r) <= tolerance && std::abs(p.g - c.g) <= tolerance &&
           std::abs(p.b - c.b) <= tolerance;
    }
  }
  return n;
}

TEST(PaintChart, MarkersAtTheLimitsOfAManualScaleStayWhole) {
  ChartState s = SampleChart(kLine2D, 5, 1);
  const Rgb pen{200, 30, 40};
  s.series[0].pen_color = pen;
  s.legend_visible = false;
  const double values[] = {10, 40, 25, 40, 10};
  for (int r = 0; r < 5; ++r) SetCell(s, r + 1, 1, values[r]);
  s.axes[kAxisY].scale = {false, 10, 40, 3};
  ChartLayout layout = LayoutChart(s, 576, 384);
  Pixels px = Render(s);
  double slot = layout.plot.w / 5;
  int top = static_cast<int>(layout.plot.y);
  int bottom = static_cast<int>(layout.plot.bottom());
  for (int r : {1, 3}) {
    int x = static_cast<int>(layout.plot.x + slot * (r + 0.5));
    // The marker's upper half (3.5 pixels) stands above the plot's top edge.
    int above = 0;
    for (int y = top - 8; y < top; ++y)
      above += CountNear(px, pen, {x - 6.0, double(y), 13, 1}) > 0;
    EXPECT_GE(above, 3) << "marker of row " << r << " cut at the top";
  }
  for (int r : {0, 4}) {
    int x = static_cast<int>(layout.plot.x + slot * (r + 0.5));
    int under = 0;  // below the axis line, which covers the marker's middle row
    for (int y = bottom + 1; y < bottom + 8; ++y)
      under += CountNear(px, pen, {x - 6.0, double(y), 13, 1}) > 0;
    EXPECT_GE(under, 2) << "marker of row " << r << " cut at the bottom";
  }
}

TEST(PaintChart, EverySeriesOfAnUnstackedAreaChartShows) {
  // Each later series larger than the one before, then smaller: drawn in
  // column order with opaque fills, the last would hide the others.
  ChartState s = SampleChart(kArea2D, 6, 3);
  for (int r = 0; r < 6; ++r) {
    SetCell(s, r + 1, 1, 10.0 + r);
    SetCell(s, r + 1, 2, 30.0 + r);
    SetCell(s, r + 1, 3, 20.0 - r);
  }
  ChartLayout layout = LayoutChart(s, 576, 384);
  Pixels px = Render(s);
  for (int c = 0; c < 3; ++c) {
    EXPECT_GT(CountNear(px, s.series[static_cast<std::size_t>(c)].fill_color, layout.plot), 150)
        << "series " << c;
  }
  // The legend's swatch is the fill as drawn: translucent, edged solid.
  ASSERT_TRUE(layout.legend_shown);
  for (int c = 0; c < 3; ++c) {
    Rgb fill = s.series[static_cast<std::size_t>(c)].fill_color;
    EXPECT_GT(CountNear(px, fill, layout.legend, 2), 10) << "swatch edge " << c;
    Rgb light{static_cast<std::int16_t>(255 - (255 - fill.r) * 0.45),
              static_cast<std::int16_t>(255 - (255 - fill.g) * 0.45),
              static_cast<std::int16_t>(255 - (255 - fill.b) * 0.45)};
    EXPECT_GT(CountNear(px, light, layout.legend, 3), 4) << "swatch fill " << c;
  }
}

// The ink of a horizontal line crossing column x inside the box, in pixels
// of full coverage: the sum over the column of how far each pixel is from
// white towards the pen's green channel.
double InkAcross(const Pixels& px, int x, const Box& b, Rgb pen) {
  double ink = 0;
  for (int y = static_cast<int>(b.y) + 2; y < static_cast<int>(b.bottom()) - 2; ++y) {
    Rgb p = px.at(x, y);
    if (std::abs(p.r - p.b) < 8 && std::abs(p.r - p.g) < 8) continue;  // grey: grid or text
    ink += (255.0 - p.g) / (255.0 - pen.g);
  }
  return ink;
}

TEST(PaintChart, LinesGrowWithThePicture) {
  EXPECT_DOUBLE_EQ(LineScale(576, 384), 1);
  EXPECT_DOUBLE_EQ(LineScale(1152, 768), 2);
  EXPECT_DOUBLE_EQ(LineScale(1152, 384), 1);  // the smaller ratio rules
  EXPECT_GT(LineScale(96, 64), 0);
  EXPECT_EQ(LineScale(0, 0), LineScale(0, 0));  // finite
  ChartState s = SampleChart(kLine2D, 4, 1);
  const Rgb pen{200, 30, 40};
  s.series[0].pen_color = pen;
  for (int r = 1; r <= 4; ++r) SetCell(s, r, 1, 3.3);
  s.axes[kAxisY].scale = {false, 0, 10, 2};
  double ink[2];
  int i = 0;
  for (int scale : {1, 2}) {
    int w = 576 * scale, h = 384 * scale;
    ChartLayout layout = LayoutChart(s, w, h);
    Pixels px = Render(s, w, h);
    // Halfway between the first two points: no marker there.
    int x = static_cast<int>(layout.plot.x + layout.plot.w / 4);
    ink[i++] = InkAcross(px, x, layout.plot, pen);
  }
  EXPECT_GT(ink[0], 1.5);
  EXPECT_NEAR(ink[1] / ink[0], 2.0, 0.25) << ink[0] << " " << ink[1];
  // Gridlines and axis lines grow the same way.
  ChartState bars = SampleChart(kBar2D);
  const Rgb axis{96, 96, 96};
  EXPECT_NEAR(
      static_cast<double>(Render(bars, 1152, 768).Count(axis)) / Render(bars, 576, 384).Count(axis),
      4.0, 1.0);  // twice as long and twice as wide
}

TEST(Layout, PieSlicesCarryTheirShare) {
  ChartState s = SampleChart(kPie2D, 1, 4);
  SetCell(s, 1, 1, 50.0);
  SetCell(s, 1, 2, 30.0);
  SetCell(s, 1, 3, 19.5);
  SetCell(s, 1, 4, 0.5);  // too thin to carry a label
  ChartLayout l = LayoutChart(s, 576, 384);
  std::vector<std::string> shares;
  for (const auto& t : l.texts) {
    if (t.role == TextRole::kSliceLabel) shares.push_back(t.text);
  }
  EXPECT_EQ(shares, (std::vector<std::string>{"50%", "30%", "20%"}));
  // A slice too narrow for its label inside has it beside, farther out.
  SetCell(s, 1, 3, 17.5);
  SetCell(s, 1, 4, 2.5);
  ChartLayout beside = LayoutChart(s, 576, 384);
  const PlacedText *big = nullptr, *narrow = nullptr;
  for (const auto& t : beside.texts) {
    if (t.role == TextRole::kSliceLabel && t.text == "50%") big = &t;
    if (t.role == TextRole::kSliceLabel && t.text == "2.5%") narrow = &t;
  }
  ASSERT_TRUE(big && narrow);
  double cx = beside.plot.x + beside.plot.w / 2, cy = beside.plot.y + beside.plot.h / 2;
  EXPECT_GT(std::hypot(narrow->cx - cx, narrow->cy - cy),
            1.4 * std::hypot(big->cx - cx, big->cy - cy));
  // Small pies: labels that fit stay apart from each other and the picture's edges.
  ChartState many = SampleChart(kPie2D, 6, 3);
  ExpectTextsApartAndInside(many, 576, 384, "six pies");
  int labelled = 0;
  for (const auto& t : LayoutChart(many, 576, 384).texts)
    labelled += t.role == TextRole::kSliceLabel;
  EXPECT_GE(labelled, 12);
  // A pie slice label is drawn, in a colour that reads on its slice.
  Pixels px = Render(s);
  EXPECT_GT(px.Count({255, 255, 255}), 0);
}

TEST(Layout, LongLegendEntriesWrapAndTheBoxStaysInside) {
  ChartState s = SampleChart(kBar2D);
  s.column_labels[0] = "North, including the islands and the far northern territories";
  ChartLayout l = LayoutChart(s, 576, 384);
  double one_line = 0, first = 0;
  for (const auto& t : l.texts) {
    if (t.role != TextRole::kLegend) continue;
    if (t.text == s.column_labels[0]) first = t.height;
    if (t.text == "South") one_line = t.height;
  }
  ASSERT_GT(one_line, 0);
  EXPECT_GT(first, one_line * 1.6) << "the long entry takes a second line";
  for (std::int32_t loc = kTopLeft; loc <= kCustom; ++loc) {
    for (auto [w, h] : {std::pair{576, 384}, std::pair{300, 200}, std::pair{1200, 300}}) {
      s.legend_location = loc;
      ChartLayout lay = LayoutChart(s, w, h);
      if (!lay.legend_shown) continue;
      EXPECT_GE(lay.legend.x, 0) << loc << " " << w;
      EXPECT_GE(lay.legend.y, 0) << loc << " " << w;
      EXPECT_LE(lay.legend.right(), w) << loc << " " << w;
      EXPECT_LE(lay.legend.bottom(), h) << loc << " " << w;
      ExpectTextsApartAndInside(s, w, h, "legend " + std::to_string(loc));
    }
  }
}

TEST(Layout, LargeValuesAreGroupedOrShortenedToFit) {
  ChartState s = SampleChart(kBar2D, 3, 1);
  SetCell(s, 1, 1, 5000000.0);
  SetCell(s, 2, 1, -15000.0);
  SetCell(s, 3, 1, 7000000.0);
  std::vector<std::string> labels;
  for (const auto& t : LayoutChart(s, 576, 384).texts)
    if (t.role == TextRole::kValueLabel) labels.push_back(t.text);
  ASSERT_FALSE(labels.empty());
  EXPECT_NE(std::find(labels.begin(), labels.end(), "6,000,000"), labels.end());
  // A narrow chart has no room for seven digits: the same scale in millions.
  labels.clear();
  for (const auto& t : LayoutChart(s, 200, 300).texts)
    if (t.role == TextRole::kValueLabel) labels.push_back(t.text);
  ASSERT_FALSE(labels.empty());
  for (const auto& l : labels) EXPECT_TRUE(l == "0" || l.back() == 'M') << l;
}

std::vector<std::string>& PaintWarnings() {
  static std::vector<std::string> lines;
  return lines;
}

TEST(PaintChart, ATitleInEveryScriptDrawsAndAMissingGlyphIsLoggedOnce) {
  ChartState s = SampleChart(kBar2D);
  s.title_text = "销售 売上高 매출 المبيعات बिक्री 📈";
  PaintWarnings().clear();
  SetWarningSink([](const char* line) { PaintWarnings().push_back(line); });
  Pixels px = Render(s);
  EXPECT_TRUE(PaintWarnings().empty()) << PaintWarnings().front();
  // The emoji draws in colour from its own font, where the title's text is dark.
  ChartLayout l = LayoutChart(s, 576, 384);
  ASSERT_FALSE(l.texts.empty());
  const PlacedText& title = l.texts[0];
  ASSERT_EQ(title.role, TextRole::kTitle);
  int coloured = 0;
  for (int y = static_cast<int>(title.cy - title.height / 2); y < title.cy + title.height / 2;
       ++y) {
    for (int x = static_cast<int>(title.cx - title.width / 2); x < title.cx + title.width / 2;
         ++x) {
      Rgb p = px.at(x, y);
      coloured += std::abs(p.r - p.b) > 60 || std::abs(p.g - p.b) > 60;
    }
  }
  EXPECT_GT(coloured, 20);
  s.column_labels[1] = "South \U0010FFFD";
  Render(s);
  Render(s);
  LayoutChart(s, 576, 384);  // laying out draws nothing and reports nothing
  SetWarningSink(nullptr);
  ASSERT_EQ(PaintWarnings().size(), 1u);
  EXPECT_EQ(PaintWarnings()[0], "legend entry: no installed font has a glyph for U+10FFFD");
}

std::vector<const PlacedText*> Texts(const ChartLayout& l, TextRole role) {
  std::vector<const PlacedText*> out;
  for (const auto& t : l.texts)
    if (t.role == role) out.push_back(&t);
  return out;
}

// The smallest distance between the boxes of two upright texts (0 when they touch).
double Gap(const PlacedText& a, const PlacedText& b) {
  double ax0 = 1e300, ax1 = -1e300, ay0 = 1e300, ay1 = -1e300;
  double bx0 = 1e300, bx1 = -1e300, by0 = 1e300, by1 = -1e300;
  for (const Point& p : a.Corners()) {
    ax0 = std::min(ax0, p.x), ax1 = std::max(ax1, p.x);
    ay0 = std::min(ay0, p.y), ay1 = std::max(ay1, p.y);
  }
  for (const Point& p : b.Corners()) {
    bx0 = std::min(bx0, p.x), bx1 = std::max(bx1, p.x);
    by0 = std::min(by0, p.y), by1 = std::max(by1, p.y);
  }
  double dx = std::max({0.0, bx0 - ax1, ax0 - bx1}), dy = std::max({0.0, by0 - ay1, ay0 - by1});
  return std::hypot(dx, dy);
}

ChartState Crowded3D() {
  ChartState s = SampleChart(kBar3D, 40, 3);
  for (int r = 0; r < 40; ++r)
    for (int c = 0; c < 3; ++c) SetCell(s, r + 1, c + 1, 15 * std::sin(r * 0.3 + c * 1.7) + 4 * c);
  return s;
}

TEST(Layout, ThreeDAxisTitlesStandNextToTheirAxes) {
  for (const ChartState& s : {SampleChart(kBar3D), SampleChart(kLine3D), Crowded3D()}) {
    ChartLayout l = LayoutChart(s, 576, 384);
    auto titles = Texts(l, TextRole::kAxisTitle);
    auto categories = Texts(l, TextRole::kCategoryLabel);
    auto values = Texts(l, TextRole::kValueLabel);
    ASSERT_EQ(titles.size(), 2u);
    ASSERT_FALSE(categories.empty());
    ASSERT_FALSE(values.empty());
    const PlacedText& x_title = *titles[0];
    const PlacedText& y_title = *titles[1];
    ASSERT_EQ(x_title.text, "Month");
    double nearest = 1e300;
    for (const PlacedText* c : categories) nearest = std::min(nearest, Gap(x_title, *c));
    EXPECT_LE(nearest, 10) << "X title " << nearest << " pixels from its labels";
    nearest = 1e300;
    for (const PlacedText* v : values) nearest = std::min(nearest, Gap(y_title, *v));
    EXPECT_LE(nearest, 10) << "Y title " << nearest << " pixels from its labels";
  }
}

TEST(Layout, ThreeDSeriesLabelsAreNeverDropped) {
  for (std::int32_t kind : {kBar3D, kLine3D, kArea3D, kStep3D}) {
    for (int rotation = 0; rotation < 360; rotation += 15) {
      ChartState s = SampleChart(kind);
      s.rotation = static_cast<float>(rotation);
      ChartLayout l = LayoutChart(s, 576, 384);
      EXPECT_EQ(Texts(l, TextRole::kSeriesLabel).size(), 3u)
          << "kind " << kind << " rotation " << rotation;
    }
  }
  // Rows closer than a label's height spread their labels, all of them.
  EXPECT_EQ(Texts(LayoutChart(Crowded3D(), 576, 384), TextRole::kSeriesLabel).size(), 3u);
  ExpectTextsApartAndInside(Crowded3D(), 576, 384, "40 categories in 3-D");
  // Many series are thinned, not cut off at one end.
  ChartState many = SampleChart(kBar3D, 4, 40);
  ChartLayout many_layout = LayoutChart(many, 576, 384);
  auto labels = Texts(many_layout, TextRole::kSeriesLabel);
  EXPECT_GE(labels.size(), 5u);
  EXPECT_LT(labels.size(), 40u);
}

TEST(Layout, ThreeDPlotKeepsItsSizeWithManyCategories) {
  auto value_span = [](const ChartState& s) {
    double lo = 1e300, hi = -1e300;
    ChartLayout layout = LayoutChart(s, 576, 384);
    for (const PlacedText* t : Texts(layout, TextRole::kValueLabel)) {
      lo = std::min(lo, t->cy);
      hi = std::max(hi, t->cy);
    }
    return hi - lo;
  };
  double few = value_span(SampleChart(kBar3D));
  double many = value_span(Crowded3D());
  EXPECT_GT(few, 150);
  EXPECT_GT(many, few * 0.8) << few << " " << many;
}

// Pixels inside b that show a shade of c (c times a factor from 0.5 to 1),
// as 3-D faces lit from the upper left do.
int CountShades(const Pixels& px, Rgb c, const Box& b) {
  int n = 0;
  int top = std::max({c.r, c.g, c.b});
  for (int y = std::max(0, static_cast<int>(b.y)); y < std::min(px.h, static_cast<int>(b.bottom()));
       ++y) {
    for (int x = std::max(0, static_cast<int>(b.x));
         x < std::min(px.w, static_cast<int>(b.right())); ++x) {
      Rgb p = px.at(x, y);
      int ptop = c.r == top ? p.r : c.g == top ? p.g : p.b;
      double f = static_cast<double>(ptop) / top;
      if (f < 0.5 || f > 1.0) continue;
      n += std::abs(p.r - c.r * f) <= 4 && std::abs(p.g - c.g * f) <= 4 &&
           std::abs(p.b - c.b * f) <= 4;
    }
  }
  return n;
}

TEST(PaintChart, ThreeDFrontRowsLeaveTheBackRowsInView) {
  // The first series the tallest: in column order it would stand in front
  // of the other two in the default view.
  ChartState s = SampleChart(kBar3D);
  for (int r = 1; r <= 6; ++r) {
    SetCell(s, r, 1, 30.0 + r);
    SetCell(s, r, 2, 18.0 + r);
    SetCell(s, r, 3, 8.0 + r);
  }
  ChartLayout l = LayoutChart(s, 576, 384);
  Pixels px = Render(s);
  int shown[3];
  for (int c = 0; c < 3; ++c)
    shown[c] = CountShades(px, s.series[static_cast<std::size_t>(c)].fill_color, l.plot);
  for (int c = 0; c < 3; ++c) EXPECT_GT(shown[c], shown[0] / 4) << "series " << c;
}

TEST(PaintChart, HugeTextsDrawAsTheirCut) {
  // Titles, labels and legend texts of a million characters draw exactly as
  // their first kMaxShapedChars do: the renderer never shapes more.
  std::string huge;
  while (huge.size() < 1'000'000) huge += "Revenue \xE2\x82\xAC ";
  const std::string cut(CutForShaping(huge));
  for (std::int32_t kind : {kBar2D, kPie2D, kBar3D}) {
    for (std::int32_t layout : {kLayoutHorizontal, kLayoutStacked, kLayoutUp}) {
      SCOPED_TRACE(std::to_string(kind) + "/" + std::to_string(layout));
      auto with = [&](const std::string& text) {
        ChartState s = SampleChart(kind, 4, 2);
        s.title_text = text;
        s.axes[kAxisX].title_text = text;
        s.axes[kAxisY].title_text = text;
        s.axes[kAxisY].title_layout = layout;
        s.row_labels[1] = text;
        s.column_labels[0] = text;
        return Render(s);
      };
      const Pixels long_texts = with(huge);
      const Pixels cut_texts = with(cut);
      const auto bytes = [](const Pixels& p) {
        const auto* data = cairo_image_surface_get_data(p.surface.get());
        return std::vector<std::uint8_t>(
            data, data + cairo_image_surface_get_stride(p.surface.get()) * p.h);
      };
      EXPECT_EQ(bytes(long_texts), bytes(cut_texts));
    }
  }
}

}  // namespace
}  // namespace qz::chart::render
