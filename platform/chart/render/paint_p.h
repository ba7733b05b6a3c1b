// Internals shared by the renderer's 2-D and 3-D painting.
#pragma once

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/chart/chart_state.h"
#include "platform/chart/render/paint.h"
#include "platform/chart/render/scale.h"
#include "platform/chart/render/text.h"

namespace qz::chart::render::detail {

enum class Anchor {
  kTopLeft,
  kTop,
  kTopRight,
  kLeft,
  kCenter,
  kRight,
  kBottomLeft,
  kBottom,
  kBottomRight
};

enum class Kind { kBar, kLine, kArea, kStep, kPie };

// The data grid as the renderer reads it: sizes made consistent with the
// cell vector, cells that are missing or not finite reported as absent.
class Grid {
 public:
  explicit Grid(const ChartState& s);
  int rows() const { return rows_; }
  int columns() const { return columns_; }
  std::optional<double> at(int row, int column) const;  // 0-based
  std::string_view RowLabel(int row) const;
  std::string_view ColumnLabel(int column) const;
  Rgb Fill(int column) const;
  Rgb Pen(int column) const;
  Rgb EdgeColor(int column) const;
  double EdgeWidth(int column) const;  // pixels, 0 for a hairline

 private:
  const ChartState& s_;
  int rows_ = 0, columns_ = 0;
};

// The running stack of one category when series are stacked.
struct StackSums {
  double positive = 0, negative = 0;
};

class Painter {
 public:
  Painter(const ChartState& s, cairo_t* cr, int width, int height);
  void Run();
  ChartLayout& layout() { return layout_; }

  // --- shared helpers (also used by the 3-D part) ---
  const ChartState& s_;
  cairo_t* cr_;  // null when only laying out
  int width_, height_;
  Grid grid_;
  Kind kind_;
  bool three_d_;
  double ui_;            // text and spacing factor: 1 at usual sizes, less for thumbnails
  double gap_;           // pixels between neighbouring elements
  double tick_;          // tick mark length
  bool thumbnail_;       // too small for axis titles and a legend
  double line_;          // LineScale of the chart's size
  double hair_;          // the width of axis lines, gridlines and hairline edges: whole pixels
  bool record_ = false;  // lay out the data shapes too (LayoutChart with Shapes::kRecorded)
  // PaintChartWithTextRuns: where plain texts go instead of being drawn, and
  // the picture's scale over the painter's coordinates.
  std::vector<TextRun>* text_runs_ = nullptr;
  double device_scale_ = 1;
  // Appends t's lines to text_runs_; false (nothing appended) for a layout
  // that is no plain text.
  bool AddTextRuns(const ShapedText& t, double x, double y, double lx, double ly, double angle,
                   Rgb color);
  ChartLayout layout_;

  // Adds a data shape to the layout when shapes are recorded.
  void Record(int row, int column, double value, std::vector<Point> outline);
  // A square of radius about every drawn point of a line or area chart.
  void RecordPoints(const std::vector<std::vector<std::optional<double>>>& values,
                    const std::function<double(int)>& x_of, const Box& plot, const Scale& scale,
                    double radius);

  ShapedText Shape(const FontState& f, std::string_view text, Fit fit = Fit::kNone,
                   int max_width = 0, int max_lines = 1);
  // Draws (and records) a shaped text with its anchor at (x, y), turned by
  // angle radians about that point.
  void DrawText(TextRole role, const ShapedText& t, std::string_view text, double x, double y,
                Anchor anchor, double angle, Rgb color);
  // As DrawText, but only when the text stays inside the picture and clear
  // of every text placed so far; answers whether it was drawn.
  bool TryDrawText(TextRole role, const ShapedText& t, std::string_view text, double x, double y,
                   Anchor anchor, double angle, Rgb color);
  void SetColor(Rgb c, double alpha = 1);
  void SetShade(Rgb c, double factor);
  // The widest a value label may be before the scale's labels are shortened.
  double TickBudget() const { return std::max(24.0, 0.14 * width_); }
  // Hairlines (hair_ wide) on whole pixels.
  void HLine(double x0, double x1, double y, Rgb c);
  void VLine(double x, double y0, double y1, Rgb c);
  void FillBox(const Box& b, Rgb c);
  // Paints a backdrop into b (shadow, fill, frame) and answers the box inside its frame.
  Box Backdrop(const Box& b, const BackdropState& d);
  double FrameWidth(std::int32_t style) const;
  double ShadowOffset() const;
  // Strokes the current path with an edge pen: width 0 is a hairline.
  void StrokeEdge(Rgb color, double width);

  // Value labels are written in full unless the widest would take more than
  // budget pixels; then every label of the scale takes the shortened form.
  void ChooseTickForm(const Scale& scale, const FontState& font, double budget);
  std::string TickLabel(double value, const Scale& scale) const;
  bool short_ticks_ = false;

  Kind kind() const { return kind_; }
  bool LineKind() const { return kind_ == Kind::kLine; }
  DataRange ValueRange() const;
  // The value drawn for a cell: stacked sums or the value itself; absent
  // cells stay absent (areas treat them as 0).
  std::vector<std::vector<std::optional<double>>> Values() const;

  // Axis titles: a block beside one side of the plot.
  struct AxisTitle {
    bool present = false;
    ShapedText text;
    std::string str;
    double angle = 0;
    double block_w = 0, block_h = 0;  // the space the title takes on screen
    Rgb color;
  };
  enum class Side { kLeft, kRight, kBottom };
  AxisTitle MeasureAxisTitle(const AxisState& a, Side side, double available_length);
  // Draws the title centred on the span [lo, hi] along its side at the given
  // outer edge coordinate (x for left/right, y for bottom).
  void DrawAxisTitle(const AxisTitle& t, Side side, double edge, double lo, double hi);

  // Places category labels (centred on xs, hanging from y) so that none
  // overlap: thinned, turned or shortened as needed. Returns the height taken.
  struct CategoryPlan {
    double angle = 0;
    int every = 1;
    int max_width = 0;
    double height = 0;
  };
  CategoryPlan PlanCategories(const std::vector<double>& xs, double slot, double left_room,
                              double max_height);
  // ys: one top per label, or empty to hang all from y.
  void DrawCategories(const CategoryPlan& plan, const std::vector<double>& xs, double y,
                      double left_limit, double right_limit, const std::vector<double>& ys = {});

 private:
  Box Title(Box inner);
  Box Legend(Box inner);
  // The legend's mark for a series: a short line, or a square drawn as the series is.
  void LegendSwatch(int column, double x, double cy, double size);
  void Chart2D(Box area);
  void Pie(Box area);
  // Each slice's share in percent, inside the slice where it fits, else
  // beside it with a leader line while it stays in the pie's cell.
  void SliceLabels(int row, double total, double cx, double cy, double radius, const Box& cell);
  struct SliceText {
    int column = 0;
    double mid = 0, sweep = 0;  // radians, clockwise from three o'clock
    std::string text;
    ShapedText shaped;
    bool inside = false;  // fits inside its slice at the radius asked about
  };
  // The labelled slices of a pie of the given radius.
  std::vector<SliceText> PlanSlices(int row, double total, double radius);
  void Bars2D(const Box& plot, const Scale& scale);
  void Lines2D(const Box& plot, const Scale& scale);
  void Areas2D(const Box& plot, const Scale& scale);
  void ValueAxisLabels(const Scale& scale, const Box& plot, const AxisState& a, Side side,
                       double max_label_width);
};

// The 3-D charts (bar, line, area, step), drawn into area.
void Chart3D(Painter& p, Box area);

double ValueToY(const Scale& s, const Box& plot, double v);
bool Finite(double v);

// The series 0 .. cols - 1 by mass, the mean distance of their values from
// base, largest first (equal masses in series order): the order in which
// series that may hide one another are drawn, back to front. value(r, c) is
// the cell's value, if any.
template <class Value>
std::vector<int> SeriesByMass(int rows, int cols, double base, const Value& value) {
  std::vector<double> mass(static_cast<std::size_t>(cols), 0);
  for (int c = 0; c < cols; ++c) {
    for (int r = 0; r < rows; ++r) {
      if (const std::optional<double> v = value(r, c))
        mass[static_cast<std::size_t>(c)] += std::fabs(*v - base) / rows;
    }
  }
  std::vector<int> order(static_cast<std::size_t>(cols));
  for (int c = 0; c < cols; ++c) order[static_cast<std::size_t>(c)] = c;
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return mass[static_cast<std::size_t>(a)] > mass[static_cast<std::size_t>(b)];
  });
  return order;
}

}  // namespace qz::chart::render::detail
