#include "host/gallery.h"

#include <cairo.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace qz::host {

namespace {

// Six months of three regions, the grid most pictures show.
constexpr std::string_view kFill =
    "var months = [\"Jan\", \"Feb\", \"Mar\", \"Apr\", \"May\", \"Jun\"];\n"
    "var regions = [\"North\", \"South\", \"West\"];\n"
    "chart.Rows(6); chart.Columns(3);\n"
    "for (var c = 1; c <= 3; c++) { chart.CurrentColumn(c); chart.ColumnTitle(regions[c - 1]); "
    "}\n"
    "for (var r = 1; r <= 6; r++) {\n"
    "  chart.CurrentRow(r); chart.RowTitle(months[r - 1]);\n"
    "  for (var c = 1; c <= 3; c++) { chart.CurrentColumn(c); chart.SetData(10 + (r * 7 + c * 13) "
    "% 23); }\n"
    "}\n";

std::string Page(std::string_view settings, std::string_view data = kFill,
                 std::string_view after = {}) {
  std::string page = "<%@ Language=\"JScript\" %><%\n";
  page += "var chart = Server.CreateObject(\"Quenza.QuenzaChart\");\n";
  page += settings;
  page += data;
  page += after;
  page += "chart.ImageType = \"BMP\";\nchart.SendChart();\n%>\n";
  return page;
}

// The settings of the standard picture: 6 by 4 inches (576 x 384 pixels).
std::string Standard(int type, std::string_view title,
                     std::string_view size = "4; chart.Width = 6") {
  return "chart.Height = " + std::string(size) + ";\nchart.ChartType = " + std::to_string(type) +
         ";\nchart.ChartTitle = \"" + std::string(title) +
         "\";\nchart.XTitle = \"Month\"; chart.YTitle = \"Units\";\nchart.Legends = 1;\n";
}

constexpr std::string_view kSmall = "3; chart.Width = 4.5";

std::vector<GalleryEntry> MakeEntries() {
  std::vector<GalleryEntry> e;
  const struct {
    const char* name;
    int type;
    const char* title;
    const char* caption;
  } kinds[] = {
      {"bar2d", 1, "2-D bar", "ChartType 1 (engine code 1): 2-D bar, a group of bars per row"},
      {"line2d", 2, "2-D line", "ChartType 2 (engine code 3): 2-D line, one line per series"},
      {"area2d", 3, "2-D area", "ChartType 3 (engine code 5): 2-D area"},
      {"pie2d", 4, "2-D pie", "ChartType 4 (engine code 14): 2-D pie, one pie per row"},
      {"bar3d", 5, "3-D bar", "ChartType 5 (engine code 0): 3-D bar, series along the depth"},
      {"line3d", 6, "3-D line", "ChartType 6 (engine code 2): 3-D line, a ribbon per series"},
      {"area3d", 7, "3-D area", "ChartType 7 (engine code 4): 3-D area"},
      {"step3d", 8, "3-D step", "ChartType 8 (engine code 6): 3-D step, blocks that touch"},
  };
  for (const auto& k : kinds) e.push_back({k.name, k.caption, Page(Standard(k.type, k.title))});

  const char* places[] = {"top left", "top",         "top right", "left",
                          "right",    "bottom left", "bottom",    "bottom right"};
  for (int loc = 0; loc <= 7; ++loc) {
    e.push_back({"legend" + std::to_string(loc),
                 "LegendPosition(" + std::to_string(loc) + "): " + places[loc],
                 Page(Standard(1, "Legend " + std::string(places[loc]), kSmall), kFill,
                      "chart.LegendPosition(" + std::to_string(loc) + ");\n")});
  }
  e.push_back({"legend_hidden", "Legends = 0: no legend",
               Page("chart.Height = 3; chart.Width = 4.5;\nchart.ChartType = 1;\n"
                    "chart.ChartTitle = \"No legend\";\nchart.Legends = 0;\n")});

  const struct {
    const char* name;
    int type;
    const char* title;
  } stacks[] = {{"stacked_bar2d", 1, "Stacked bars"},
                {"stacked_area2d", 3, "Stacked areas"},
                {"stacked_bar3d", 5, "Stacked 3-D bars"}};
  for (const auto& k : stacks) {
    e.push_back({k.name, std::string("SeriesStacking = true, ChartType ") + std::to_string(k.type),
                 Page(Standard(k.type, k.title) + "chart.SeriesStacking = true;\n")});
  }
  for (int rot : {0, 60, 135}) {
    e.push_back({"rotate" + std::to_string(rot),
                 "Rotate(" + std::to_string(rot) + "): the 3-D view turned " + std::to_string(rot) +
                     " degrees (a new engine holds 30)",
                 Page(Standard(5, "Rotated " + std::to_string(rot), kSmall), kFill,
                      "chart.Rotate(" + std::to_string(rot) + ");\n")});
  }
  const char* frames[] = {"none", "single line", "double line", "thick inner", "thick outer"};
  for (int f = 1; f <= 4; ++f) {
    e.push_back({"frame" + std::to_string(f),
                 "TitleBorderStyle = " + std::to_string(f) + " (" + frames[f] +
                     "), TitleShadow = " + std::to_string(f % 2) + ", Shadow = 1",
                 Page(Standard(1, std::string("Title frame ") + frames[f], kSmall) +
                      "chart.TitleBorderStyle = " + std::to_string(f) + ";\nchart.TitleShadow = " +
                      std::to_string(f % 2) + ";\nchart.Shadow = 1;\n")});
  }
  e.push_back(
      {"styled",
       "Fonts, a tinted backdrop, a series colour and 2-pixel blue edges on the second series",
       Page(Standard(1, "Styled") +
                "chart.TitleFont = \"Verdana\"; chart.TitleFontSize = 16;\n"
                "chart.XTitleFont = \"Times New Roman\"; chart.YTitleFont = \"Times New Roman\";\n"
                "chart.XTitleFontSize = 12; chart.YTitleFontSize = 12;\n"
                "chart.XLabelFont = \"Courier New\"; chart.LegendFont = \"Georgia\";\n"
                "chart.FillRed = 240; chart.FillGreen = 244; chart.FillBlue = 250;\n",
            kFill, "chart.SeriesColor(1, 220, 50, 47);\nchart.BarEdge(2, 2, 0, 0, 255);\n")});
  e.push_back({"edges0",
               "BarEdge(s, 0, ...): an edge of width 0 in each bar's own colour, the bars look "
               "edgeless",
               Page(Standard(1, "Edges of width 0", kSmall), kFill,
                    "for (var s = 1; s <= 3; s++) chart.BarEdge(s, 0, 0, 0, 0);\n")});
  e.push_back({"second_y_hidden",
               "SecondYAxisScale = false: the value scale on the right is hidden (an activated "
               "object shows it, as in line2d)",
               Page(Standard(2, "One value scale", kSmall) + "chart.SecondYAxisScale = false;\n")});
  e.push_back({"manual_scale",
               "YAxisMin = 5, YAxisMax = 40, YMajorDivision = 7 (AutoScaling left false)",
               Page(Standard(1, "Manual scale", kSmall) +
                    "chart.YAxisMin = 5; chart.YAxisMax = 40; chart.YMajorDivision = 7;\n")});
  e.push_back({"negative", "Negative values: bars hang below the zero line",
               Page(Standard(1, "Profit", kSmall),
                    "chart.Rows(6); chart.Columns(2);\n"
                    "for (var r = 1; r <= 6; r++) {\n"
                    "  chart.CurrentRow(r);\n"
                    "  chart.CurrentColumn(1); chart.SetData(r * 4 - 12);\n"
                    "  chart.CurrentColumn(2); chart.SetData(8 - r * 3);\n"
                    "}\n")});
  e.push_back({"missing",
               "Missing points: shrinking the grid to one cell drops the engine's old values, "
               "growing it again gives empty cells, and a cell never set is a gap",
               Page(Standard(2, "Gaps", kSmall),
                    "chart.Rows(1); chart.Columns(1);\n"
                    "chart.Rows(6); chart.Columns(2);\n"
                    "for (var r = 1; r <= 6; r++) {\n"
                    "  chart.CurrentRow(r);\n"
                    "  if (r != 3) { chart.CurrentColumn(1); chart.SetData(r * 3); }\n"
                    "  if (r != 5) { chart.CurrentColumn(2); chart.SetData(20 - r * 2); }\n"
                    "}\n")});
  e.push_back({"one_pie", "One pie: one row, a column per slice",
               Page("chart.Height = 3; chart.Width = 4.5;\nchart.ChartType = 4;\n"
                    "chart.ChartTitle = \"Market share\";\nchart.Legends = 1;\n",
                    "var names = [\"Tea\", \"Coffee\", \"Cocoa\", \"Water\"];\n"
                    "var share = [35, 40, 10, 15];\n"
                    "chart.Rows(1); chart.Columns(4);\n"
                    "chart.CurrentRow(1); chart.RowTitle(\"2026\");\n"
                    "for (var c = 1; c <= 4; c++) {\n"
                    "  chart.CurrentColumn(c); chart.ColumnTitle(names[c - 1]); "
                    "chart.SetData(share[c - 1]);\n"
                    "}\n")});
  e.push_back({"error_chart",
               "ShowError(text) with ChartTitle and XTitle left empty: the error chart",
               Page("chart.Height = 3; chart.Width = 4.5;\nchart.ChartType = 1;\n", "",
                    "chart.ShowError(\"No data for May\");\n")});
  e.push_back({"unicode", "Texts in any script: the page is UTF-8",
               Page(Standard(1, "Продажи по регионам — Πωλήσεις", kSmall),
                    "var months = [\"Янв\", \"Фев\", \"Мар\", \"Απρ\", \"Μάι\", \"Ιούν\"];\n"
                    "var regions = [\"Север\", \"Юг\", \"Δύση\"];\n"
                    "chart.Rows(6); chart.Columns(3);\n"
                    "for (var c = 1; c <= 3; c++) { chart.CurrentColumn(c); "
                    "chart.ColumnTitle(regions[c - 1]); }\n"
                    "for (var r = 1; r <= 6; r++) {\n"
                    "  chart.CurrentRow(r); chart.RowTitle(months[r - 1]);\n"
                    "  for (var c = 1; c <= 3; c++) { chart.CurrentColumn(c); "
                    "chart.SetData(10 + (r * 7 + c * 13) % 23); }\n"
                    "}\n")});
  e.push_back({"thumbnail", "Height = 2 / 3, Width = 1: a thumbnail of 96 x 64 pixels",
               Page("chart.Height = 2 / 3; chart.Width = 1;\nchart.ChartType = 1;\n"
                    "chart.ChartTitle = \"Small\";\nchart.Legends = 1;\n")});
  return e;
}

// The page that warms a thread's engine: one object activated and, when the
// page ends, deactivated, which sets the engine's fill style and axis title
// layout as every later page on a served worker finds them.
constexpr std::string_view kWarmPage =
    "<% var warm = Server.CreateObject(\"Quenza.QuenzaChart\"); %>";

std::int32_t Le32(std::string_view b, std::size_t at) {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
      static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
      static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
      static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24);
}

struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};

}  // namespace

const std::vector<GalleryEntry>& GalleryEntries() {
  static const std::vector<GalleryEntry> entries = MakeEntries();
  return entries;
}

PageResult RunGalleryPage(const GalleryEntry& entry, const ObjectCreator& create,
                          const std::filesystem::path& root) {
  PageOptions options;
  options.root = root;
  options.create_object = create;
  PageRequest warm;
  warm.path = "/gallery-warm-up.asp";
  (void)RunPageText(options, warm, kWarmPage, root / "gallery-warm-up.asp");
  PageRequest request;
  request.path = "/" + entry.name + ".asp";
  return RunPageText(options, request, entry.page, root / (entry.name + ".asp"));
}

std::string WriteBmpAsPng(std::string_view bmp, const std::string& file) {
  if (bmp.size() < 54 || bmp.substr(0, 2) != "BM") return "not a BMP image";
  const std::int32_t offset = Le32(bmp, 10);
  const std::int32_t width = Le32(bmp, 18);
  const std::int32_t height = Le32(bmp, 22);
  const int bits = static_cast<unsigned char>(bmp[28]) | static_cast<unsigned char>(bmp[29]) << 8;
  const std::int32_t compression = Le32(bmp, 30);
  if ((bits != 24 && bits != 32) || compression != 0) return "not an uncompressed 24/32-bit BMP";
  if (width <= 0 || width > 32767 || height == 0 || height < -32767 || height > 32767) {
    return "bad BMP size";
  }
  const std::size_t rows = static_cast<std::size_t>(height < 0 ? -height : height);
  const std::size_t stride = (static_cast<std::size_t>(width) * (bits / 8) + 3) & ~std::size_t{3};
  if (offset < 54 || static_cast<std::size_t>(offset) + stride * rows > bmp.size()) {
    return "truncated BMP";
  }
  std::unique_ptr<cairo_surface_t, SurfaceDeleter> surface(
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, static_cast<int>(rows)));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return "out of memory";
  cairo_surface_flush(surface.get());
  unsigned char* data = cairo_image_surface_get_data(surface.get());
  const int out_stride = cairo_image_surface_get_stride(surface.get());
  for (std::size_t y = 0; y < rows; ++y) {
    // Bottom-up unless the height is negative.
    const std::size_t source_row = height > 0 ? rows - 1 - y : y;
    const auto* in =
        reinterpret_cast<const unsigned char*>(bmp.data()) + offset + source_row * stride;
    auto* out = reinterpret_cast<std::uint32_t*>(data + y * static_cast<std::size_t>(out_stride));
    for (std::int32_t x = 0; x < width; ++x) {
      const unsigned char* p =
          in + static_cast<std::size_t>(x) * static_cast<std::size_t>(bits / 8);
      out[x] =
          static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[1]) << 8 | p[0];
    }
  }
  cairo_surface_mark_dirty(surface.get());
  if (cairo_surface_write_to_png(surface.get(), file.c_str()) != CAIRO_STATUS_SUCCESS) {
    return "cannot write " + file;
  }
  return {};
}

std::string GalleryMarkdown(std::string_view folder) {
  std::string md =
      "# Chart gallery\n\n"
      "Every picture here is what a page gets: each is drawn by the page under it, run by the\n"
      "page host through `Server.CreateObject` and `SendChart`, on a worker whose engine an\n"
      "earlier page has used, as on `quenza serve`. The pages ask for BMP so that the pictures\n"
      "keep every pixel (stored here as PNG); with the default JPEG a page gets the same picture\n"
      "through JPEG's compression. Regenerate the pictures and this file with\n\n"
      "```sh\nbuild/quenza gallery docs/gallery --markdown docs/gallery.md\n```\n\n"
      "The settings, methods and codes are explained in [reference.md](reference.md).\n\n";
  for (const GalleryEntry& e : GalleryEntries()) {
    md += "## " + e.name + "\n\n";
    md += "![" + e.caption + "](" + std::string(folder) + "/" + e.name + ".png)\n\n";
    md += e.caption + ".\n\n";
    md += "```asp\n" + e.page + "```\n\n";
  }
  return md;
}

}  // namespace qz::host
