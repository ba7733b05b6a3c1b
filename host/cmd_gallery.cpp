// quenza gallery DIR: one PNG per chart kind from the sample grid, and the
// variants a reader checks the renderer against (legend places, stacking,
// rotations, frames and shadows, sizes, awkward data).
#include <cairo.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "host/commands.h"
#include "platform/chart/chart.h"
#include "platform/chart/render/paint.h"
#include "platform/chart/render/sample.h"

namespace qz::host {
namespace {

using chart::ChartState;
namespace render = chart::render;

struct Picture {
  std::string name;
  std::string caption;
  std::function<void(ChartState&)> setup;
  std::int32_t type = chart::kBar2D;
};

void Size(ChartState& s, int w, int h) {
  s.width_twips = static_cast<float>(w * 15);
  s.height_twips = static_cast<float>(h * 15);
}

std::vector<Picture> Pictures() {
  using namespace chart;
  std::vector<Picture> p;
  const struct {
    const char* name;
    const char* caption;
    std::int32_t code;
  } kinds[] = {{"bar2d", "2-D bar (code 1), the benchmark chart", kBar2D},
               {"line2d", "2-D line (code 3)", kLine2D},
               {"area2d", "2-D area (code 5)", kArea2D},
               {"pie2d", "2-D pie (code 14): one pie per row, one slice per column", kPie2D},
               {"bar3d", "3-D bar (code 0), rotation 30", kBar3D},
               {"line3d", "3-D line (code 2)", kLine3D},
               {"area3d", "3-D area (code 4)", kArea3D},
               {"step3d", "3-D step (code 6)", kStep3D}};
  for (const auto& k : kinds) p.push_back({k.name, k.caption, [](ChartState&) {}, k.code});

  const char* places[] = {"top left", "top",          "top right",
                          "left",     "right",        "bottom left",
                          "bottom",   "bottom right", "custom (drawn as right)"};
  for (int loc = 0; loc <= 8; ++loc) {
    p.push_back({"legend" + std::to_string(loc),
                 std::string("Legend location ") + std::to_string(loc) + ": " + places[loc],
                 [loc](ChartState& s) {
                   s.legend_location = loc;
                   Size(s, 420, 280);
                 },
                 kBar2D});
  }
  p.push_back(
      {"legend_hidden", "Legend hidden", [](ChartState& s) { s.legend_visible = false; }, kBar2D});

  const struct {
    const char* name;
    std::int32_t code;
  } stacks[] = {{"stacked_bar2d", kBar2D},   {"stacked_line2d", kLine2D},
                {"stacked_area2d", kArea2D}, {"stacked_bar3d", kBar3D},
                {"stacked_area3d", kArea3D}, {"stacked_step3d", kStep3D}};
  for (const auto& k : stacks) {
    p.push_back({k.name, std::string("Stacked series: ") + k.name,
                 [](ChartState& s) { s.stacking = true; }, k.code});
  }
  for (int rot : {0, 15, 60, 90, 135, 210, -45}) {
    p.push_back({"rotate" + std::to_string(rot < 0 ? 360 + rot : rot),
                 "3-D bar rotated " + std::to_string(rot) + " degrees",
                 [rot](ChartState& s) { s.rotation = static_cast<float>(rot); }, kBar3D});
  }
  const char* frames[] = {"none", "single", "double", "thick inner", "thick outer"};
  for (int f = 0; f <= 4; ++f) {
    p.push_back({"frame" + std::to_string(f),
                 std::string("Chart frame ") + std::to_string(f) + " (" + frames[f] +
                     ") with drop shadow, title frame " + frames[f] + " on a tinted title backdrop",
                 [f](ChartState& s) {
                   Size(s, 420, 280);
                   s.backdrop.frame_style = f;
                   s.backdrop.shadow_style = kShadowDrop;
                   s.backdrop.fill_color = {250, 248, 240};
                   s.title_backdrop.frame_style = f;
                   s.title_backdrop.fill_style = kFillBrush;
                   s.title_backdrop.fill_color = {255, 236, 179};
                   s.title_backdrop.shadow_style = f % 2 ? kShadowDrop : kShadowNone;
                 },
                 kBar2D});
  }
  p.push_back({"engine_initial",
               "The chart engine's initial state as the host form creates it (its sample grid, "
               "7815 x 4455 twips)",
               [](ChartState& s) { s = chart::Chart::InitialState(); }, kBar2D});
  p.push_back({"poster", "Poster: 20 by 13.3 inches (1920 x 1280 pixels)",
               [](ChartState& s) { Size(s, 1920, 1280); }, kBar2D});
  p.push_back({"thumbnail", "Thumbnail: 1 inch wide (96 x 64 pixels)",
               [](ChartState& s) { Size(s, 96, 64); }, kBar2D});
  p.push_back({"thumbnail_pie", "Pie thumbnail (96 x 64 pixels)",
               [](ChartState& s) { Size(s, 96, 64); }, kPie2D});
  p.push_back({"thumbnail3d", "3-D thumbnail (96 x 64 pixels)",
               [](ChartState& s) { Size(s, 96, 64); }, kBar3D});

  p.push_back(
      {"styled",
       "Fonts, colours and edges: Verdana title in dark red, Times axis titles, series colours and "
       "2-pixel blue edges",
       [](ChartState& s) {
         s.title_font = {"Verdana", 16, {139, 0, 0}, true, true, false, false};
         for (int a : {0, 1})
           s.axes[static_cast<std::size_t>(a)].title_font = {"Times New Roman", 12, {0, 0, 128}};
         s.axes[kAxisX].label_font = {"Courier New", 10, {0, 100, 0}};
         s.legend_font = {"Georgia", 10, {80, 40, 0}, false, true};
         s.series[0].fill_color = {220, 50, 47};
         s.series[1].edge_width = 2;
         s.series[1].edge_color = {0, 0, 255};
         s.backdrop.fill_color = {240, 244, 250};
       },
       kBar2D});
  p.push_back({"scripts", "Greek and Cyrillic labels in Arial and Verdana",
               [](ChartState& s) {
                 s.title_text = "Продажи по регионам — Πωλήσεις";
                 s.row_labels = {"Янв", "Фев", "Мар", "Απρ", "Μάι", "Ιούν"};
                 s.column_labels = {"Север", "Юг", "Δύση"};
                 s.legend_font.name = "Verdana";
               },
               kBar2D});
  for (int layout = 0; layout <= 3; ++layout) {
    const char* names[] = {"horizontal (above the axis)", "stacked letters", "upwards",
                           "downwards"};
    p.push_back({"ytitle" + std::to_string(layout),
                 std::string("Y title layout ") + std::to_string(layout) + ": " + names[layout],
                 [layout](ChartState& s) {
                   Size(s, 420, 280);
                   s.axes[kAxisY].title_layout = layout;
                   s.axes[kAxisY].title_text = layout == 1 ? "Units" : "Units sold";
                 },
                 kLine2D});
  }
  p.push_back({"second_y", "Second Y axis scale shown, with its own title",
               [](ChartState& s) {
                 s.axes[kAxisY2].hidden = false;
                 s.axes[kAxisY2].title_text = "Units (right)";
                 s.axes[kAxisY2].title_layout = kLayoutDown;
               },
               kLine2D});
  p.push_back({"manual_scale", "Manual scale: minimum 5, maximum 40, 7 divisions",
               [](ChartState& s) {
                 s.axes[kAxisY].scale = {false, 5, 40, 7};
               },
               kBar2D});
  p.push_back({"crowded", "Crowded X axis: 40 rows with long labels",
               [](ChartState& s) {
                 render::ResizeGrid(s, 40, 3);
                 for (int r = 0; r < 40; ++r) {
                   s.row_labels[static_cast<std::size_t>(r)] =
                       "Week " + std::to_string(r + 1) + " of the year";
                   for (int c = 0; c < 3; ++c)
                     render::SetCell(s, r + 1, c + 1, 20 + 15 * std::sin(r * 0.3 + c));
                 }
               },
               kLine2D});
  p.push_back({"rotated_labels", "Twelve long category labels turned to fit",
               [](ChartState& s) {
                 const char* months[] = {"January",   "February", "March",    "April",
                                         "May",       "June",     "July",     "August",
                                         "September", "October",  "November", "December"};
                 render::ResizeGrid(s, 12, 3);
                 for (int r = 0; r < 12; ++r) {
                   s.row_labels[static_cast<std::size_t>(r)] = std::string(months[r]) + " 2026";
                   for (int c = 0; c < 3; ++c)
                     render::SetCell(s, r + 1, c + 1, 10 + ((r * 7 + c * 13) % 23));
                 }
               },
               kBar2D});
  p.push_back({"crowded_many", "Very crowded X axis: 300 rows",
               [](ChartState& s) {
                 render::ResizeGrid(s, 300, 2);
                 for (int r = 0; r < 300; ++r) {
                   for (int c = 0; c < 2; ++c)
                     render::SetCell(s, r + 1, c + 1, 50 + 30 * std::sin(r * 0.05 + c * 2));
                 }
               },
               kArea2D});
  p.push_back({"long_title", "A long title wraps; a long legend entry wraps onto a second line",
               [](ChartState& s) {
                 s.title_text =
                     "Quarterly sales of every product line in every region, before returns and "
                     "after the seasonal "
                     "adjustment that the finance department applies at the end of each month";
                 s.column_labels[0] =
                     "North, including the islands and the far northern territories";
               },
               kBar2D});
  // Awkward data.
  p.push_back({"one_row", "One row", [](ChartState& s) { render::ResizeGrid(s, 1, 3); }, kBar2D});
  p.push_back({"one_row_area", "One row, area", [](ChartState& s) { render::ResizeGrid(s, 1, 3); },
               kArea2D});
  p.push_back(
      {"one_column", "One column", [](ChartState& s) { render::ResizeGrid(s, 6, 1); }, kLine2D});
  p.push_back({"zeros", "All values zero",
               [](ChartState& s) {
                 for (auto& c : s.cells) c = 0.0;
               },
               kBar2D});
  p.push_back({"negative", "Negative and positive values",
               [](ChartState& s) {
                 for (std::size_t i = 0; i < s.cells.size(); ++i)
                   s.cells[i] = (i % 4 == 1 ? -1 : 1) * (*s.cells[i] - 12);
               },
               kBar2D});
  p.push_back({"negative3d", "Negative values in 3-D",
               [](ChartState& s) {
                 for (std::size_t i = 0; i < s.cells.size(); ++i)
                   s.cells[i] = (i % 4 == 1 ? -1 : 1) * (*s.cells[i] - 12);
               },
               kBar3D});
  p.push_back({"missing", "Missing points break the line",
               [](ChartState& s) {
                 s.cells[3] = std::nullopt;
                 s.cells[7] = std::nullopt;
                 s.cells[10] = std::nullopt;
                 s.cells[13] = std::nullopt;
               },
               kLine2D});
  p.push_back({"extremes", "Values from 1e-300 to 1e300",
               [](ChartState& s) {
                 double v = 1e-300;
                 for (auto& c : s.cells) {
                   c = v;
                   v *= 1e35;
                 }
               },
               kBar2D});
  p.push_back({"tiny", "Tiny values: 1e-300 and up",
               [](ChartState& s) {
                 for (std::size_t i = 0; i < s.cells.size(); ++i)
                   s.cells[i] = 1e-300 * static_cast<double>(i + 1);
               },
               kLine2D});
  p.push_back({"nan", "NaN and infinite cells are left out",
               [](ChartState& s) {
                 s.cells[1] = std::numeric_limits<double>::quiet_NaN();
                 s.cells[4] = std::numeric_limits<double>::infinity();
                 s.cells[8] = -std::numeric_limits<double>::infinity();
               },
               kBar2D});
  p.push_back({"min_above_max", "Manual minimum 50 above maximum 10: the limits are swapped",
               [](ChartState& s) {
                 s.axes[kAxisY].scale = {false, 50, 10, 4};
               },
               kBar2D});
  p.push_back({"division0", "Manual scale 0..37 with a major division of 0: round steps instead",
               [](ChartState& s) {
                 s.axes[kAxisY].scale = {false, 0, 37, 0};
               },
               kBar2D});
  p.push_back({"pie_awkward", "Pies with zero, negative and missing slices, and an all-zero pie",
               [](ChartState& s) {
                 render::ResizeGrid(s, 3, 3);
                 render::SetCell(s, 1, 2, 0.0);
                 render::SetCell(s, 2, 1, -5.0);
                 render::SetCell(s, 2, 3, std::nullopt);
                 for (int c = 1; c <= 3; ++c) render::SetCell(s, 3, c, 0.0);
               },
               kPie2D});
  p.push_back(
      {"no_data", "An empty grid", [](ChartState& s) { render::ResizeGrid(s, 0, 0); }, kBar2D});
  p.push_back({"crowded3d", "3-D bar with 40 categories and negative values",
               [](ChartState& s) {
                 render::ResizeGrid(s, 40, 3);
                 for (int r = 0; r < 40; ++r) {
                   s.row_labels[static_cast<std::size_t>(r)] = "W" + std::to_string(r + 1);
                   for (int c = 0; c < 3; ++c)
                     render::SetCell(s, r + 1, c + 1, 15 * std::sin(r * 0.3 + c * 1.7) + 4 * c);
                 }
               },
               kBar3D});
  p.push_back({"large_values", "Large and negative values: grouped thousands and a true minus",
               [](ChartState& s) {
                 for (std::size_t i = 0; i < s.cells.size(); ++i)
                   s.cells[i] = (i % 5 == 2 ? -1.0 : 1.0) * (*s.cells[i]) * 25000;
               },
               kLine2D});
  p.push_back({"world_title",
               "A title in Chinese, Japanese, Korean, Arabic and Hindi, with an emoji",
               [](ChartState& s) {
                 s.title_text = "销售 売上高 매출 المبيعات बिक्री 📈";
                 s.column_labels = {"北", "南", "西"};
               },
               kBar2D});
  return p;
}

int Gallery(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    std::fprintf(stderr, "gallery: cannot create %s: %s\n", dir.c_str(), ec.message().c_str());
    return 1;
  }
  int failures = 0;
  for (const Picture& pic : Pictures()) {
    ChartState s = render::SampleChart(pic.type);
    pic.setup(s);
    render::SurfacePtr surface = render::RenderToSurface(s);
    std::string file = (std::filesystem::path(dir) / (pic.name + ".png")).string();
    if (cairo_surface_write_to_png(surface.get(), file.c_str()) != CAIRO_STATUS_SUCCESS) {
      std::fprintf(stderr, "gallery: cannot write %s\n", file.c_str());
      ++failures;
      continue;
    }
    std::printf("%s.png\t%s\n", pic.name.c_str(), pic.caption.c_str());
  }
  return failures ? 1 : 0;
}

}  // namespace

void AddGalleryCommand(CLI::App& app) {
  auto* cmd = app.add_subcommand("gallery", "Write sample chart pictures (PNG) into a folder");
  auto dir = std::make_shared<std::string>();
  cmd->add_option("DIR", *dir, "Folder for the pictures")->required();
  cmd->callback([dir] {
    int rc = Gallery(*dir);
    if (rc != 0) throw CLI::RuntimeError(rc);
  });
}

}  // namespace qz::host
