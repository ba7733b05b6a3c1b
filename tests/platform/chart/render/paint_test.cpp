#include "platform/chart/render/paint.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qz::chart::render
