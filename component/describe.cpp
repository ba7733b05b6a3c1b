#include "component/describe.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "composition/compose_chart.h"
#include "platform/automation/convert.h"
#include "platform/automation/error.h"
#include "platform/chart/render/paint.h"
#include "platform/form/form.h"

namespace qz::component {

namespace {

// Longest label quoted in a description, in bytes.
constexpr std::size_t kMaxDescribedLabel = 60;
// Series named one by one in a description; the rest are counted.
constexpr int kMaxDescribedSeries = 5;

const chart::ChartState& Composed(ObjectState& object) {
  chart::Chart& chart = form::GetForm1().Chart();
  composition::ComposeChart(object.settings, chart);
  return chart.state();
}

std::string_view Label(const std::vector<std::string>& labels, int i) {
  return static_cast<std::size_t>(i) < labels.size() ? std::string_view(labels[i])
                                                     : std::string_view();
}

// The grid's shape as the renderer reads it.
int Rows(const chart::ChartState& s) {
  const int columns = std::max<int>(0, s.columns);
  const int rows = std::max<int>(0, s.rows);
  if (columns == 0) return 0;
  return std::min<int>(rows, static_cast<int>(s.cells.size() / static_cast<std::size_t>(columns)));
}

std::optional<double> Cell(const chart::ChartState& s, int row, int column) {
  const auto& v = s.cells[static_cast<std::size_t>(row) * static_cast<std::size_t>(s.columns) +
                          static_cast<std::size_t>(column)];
  if (!v || !std::isfinite(*v)) return std::nullopt;
  return v;
}

// Plain text for a sentence: control characters as spaces, cut at max bytes
// on a character boundary with an ellipsis.
std::string Plain(std::string_view text, std::size_t max = kMaxDescribedLabel) {
  std::string out;
  for (char c : text) out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? ' ' : c;
  if (out.size() > max) {
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
    out += "\u2026";
  }
  return out;
}

std::string KindName(std::int32_t code) {
  switch (code) {
    case chart::kBar3D:
      return "3-D bar chart";
    case chart::kLine2D:
      return "Line chart";
    case chart::kLine3D:
      return "3-D line chart";
    case chart::kArea2D:
      return "Area chart";
    case chart::kArea3D:
      return "3-D area chart";
    case chart::kStep3D:
      return "3-D step chart";
    case chart::kPie2D:
      return "Pie chart";
    default:
      return "Bar chart";
  }
}

// "row label, column label" of a cell.
std::string CellName(const chart::ChartState& s, int row, int column) {
  return std::string(Label(s.row_labels, row)) + ", " + std::string(Label(s.column_labels, column));
}

std::string FormatAreaCoords(const std::vector<chart::render::Point>& outline, bool* rect) {
  auto at = [](double v) { return std::to_string(static_cast<long long>(std::lround(v))); };
  *rect = outline.size() == 4 && outline[0].y == outline[1].y && outline[1].x == outline[2].x &&
          outline[2].y == outline[3].y && outline[3].x == outline[0].x;
  if (*rect) {
    return at(std::min(outline[0].x, outline[2].x)) + "," +
           at(std::min(outline[0].y, outline[2].y)) + "," +
           at(std::max(outline[0].x, outline[2].x)) + "," +
           at(std::max(outline[0].y, outline[2].y));
  }
  std::string coords;
  for (const auto& p : outline) {
    if (!coords.empty()) coords += ',';
    coords += at(p.x) + "," + at(p.y);
  }
  return coords;
}

std::string ReplaceAll(std::string text, std::string_view from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
  return text;
}

}  // namespace

std::string EncodeUrlComponent(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

namespace {

// Raises 7 when the grid has more cells than what describes it may take.
void CheckCells(const chart::ChartState& s, std::int64_t limit, const char* what) {
  if (static_cast<std::int64_t>(Rows(s)) * std::max<std::int64_t>(0, s.columns) > limit)
    Raise(err::kOutOfMemory,
          std::string(what) + ": more than " + std::to_string(limit) + " data points");
}

}  // namespace

std::string ImageMap(ObjectState& object, std::string_view name, std::string_view href) {
  const chart::ChartState& s = Composed(object);
  CheckCells(s, kMaxImageMapAreas, "ImageMap");
  const chart::render::PixelSize size = chart::render::ChartPixelSize(s);
  const chart::render::ChartLayout layout =
      chart::render::LayoutChart(s, size.width, size.height, chart::render::Shapes::kRecorded);
  std::string out = "<map name=\"" + EscapeHtml(name) + "\">\n";
  // Later shapes are drawn over earlier ones; a browser takes the first
  // area that holds the pointer.
  for (auto it = layout.shapes.rbegin(); it != layout.shapes.rend(); ++it) {
    if (it->outline.size() < 3) continue;
    bool rect = false;
    const std::string coords = FormatAreaCoords(it->outline, &rect);
    const std::string value = FormatNumber(it->value);
    const std::string text = EscapeHtml(CellName(s, it->row, it->column) + ": " + value);
    out += "<area shape=\"";
    out += rect ? "rect" : "poly";
    out += "\" coords=\"" + coords + "\" title=\"" + text + "\" alt=\"" + text + "\"";
    if (!href.empty()) {
      std::string link(href);
      link = ReplaceAll(link, "{row}", EncodeUrlComponent(Label(s.row_labels, it->row)));
      link = ReplaceAll(link, "{column}", EncodeUrlComponent(Label(s.column_labels, it->column)));
      link = ReplaceAll(link, "{value}", EncodeUrlComponent(value));
      out += " href=\"" + EscapeHtml(link) + "\"";
    }
    out += ">\n";
  }
  out += "</map>";
  return out;
}

std::string AltText(ObjectState& object) {
  const chart::ChartState& s = Composed(object);
  const int rows = Rows(s), columns = std::max<int>(0, s.columns);
  std::string out = KindName(s.chart_type);
  if (!s.title_text.empty()) out += " \u201C" + Plain(s.title_text) + "\u201D";

  std::optional<double> lo, hi;
  int lo_r = 0, lo_c = 0, hi_r = 0, hi_c = 0;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      const auto v = Cell(s, r, c);
      if (!v) continue;
      if (!lo || *v < *lo) lo = v, lo_r = r, lo_c = c;
      if (!hi || *v > *hi) hi = v, hi_r = r, hi_c = c;
    }
  }
  if (rows == 0 || columns == 0 || !lo) return out + " with no values.";

  out += " of " + std::to_string(columns) + " series";
  out += " (";
  for (int c = 0; c < std::min(columns, kMaxDescribedSeries); ++c) {
    if (c > 0) out += ", ";
    out += Plain(Label(s.column_labels, c));
  }
  if (columns > kMaxDescribedSeries)
    out += " and " + std::to_string(columns - kMaxDescribedSeries) + " more";
  out += ") over " + std::to_string(rows) + (rows == 1 ? " row" : " rows");
  const std::string x_title = Plain(s.axes[chart::kAxisX].title_text);
  if (!x_title.empty()) out += " of " + x_title;
  out += " (" + Plain(Label(s.row_labels, 0));
  if (rows > 1) out += " to " + Plain(Label(s.row_labels, rows - 1));
  out += ")";
  const std::string unit = Plain(s.axes[chart::kAxisY].title_text);
  const std::string with_unit = unit.empty() ? "" : " " + unit;
  out += ", values from " + FormatNumber(*lo) + " to " + FormatNumber(*hi) + with_unit + ".";
  out += " Highest: " + Plain(CellName(s, hi_r, hi_c), 2 * kMaxDescribedLabel + 2) + " at " +
         FormatNumber(*hi) + with_unit +
         "; lowest: " + Plain(CellName(s, lo_r, lo_c), 2 * kMaxDescribedLabel + 2) + " at " +
         FormatNumber(*lo) + with_unit + ".";
  return out;
}

std::string DataTable(ObjectState& object) {
  const chart::ChartState& s = Composed(object);
  CheckCells(s, kMaxDataTableCells, "DataTable");
  const chart::render::PixelSize size = chart::render::ChartPixelSize(s);
  const chart::render::ChartLayout layout = chart::render::LayoutChart(s, size.width, size.height);
  const int rows = Rows(s), columns = std::max<int>(0, s.columns);
  auto format = [&](double v) {
    return layout.has_value_scale ? chart::render::FormatTick(v, layout.value_scale)
                                  : FormatNumber(v);
  };
  std::string out = "<table class=\"quenza-data\">\n<caption>";
  out += EscapeHtml(s.title_text.empty() ? std::string("Chart data") : s.title_text);
  out += "</caption>\n<thead><tr><th scope=\"col\">";
  out += EscapeHtml(s.axes[chart::kAxisX].title_text);
  out += "</th>";
  for (int c = 0; c < columns; ++c)
    out += "<th scope=\"col\">" + EscapeHtml(Label(s.column_labels, c)) + "</th>";
  out += "</tr></thead>\n<tbody>\n";
  for (int r = 0; r < rows; ++r) {
    out += "<tr><th scope=\"row\">" + EscapeHtml(Label(s.row_labels, r)) + "</th>";
    for (int c = 0; c < columns; ++c) {
      const auto v = Cell(s, r, c);
      out += "<td>" + (v ? EscapeHtml(format(*v)) : std::string()) + "</td>";
    }
    out += "</tr>\n";
  }
  out += "</tbody>\n</table>";
  return out;
}

}  // namespace qz::component
