// The chart renderer: paints a chart engine's state with Cairo and Pango.
#pragma once

#include <cairo.h>

#include <array>
#include <string>
#include <vector>

#include "platform/chart/chart_state.h"

namespace qz::chart::render {

// The chart's size in whole pixels at 96 dots per inch (15 twips to the
// pixel), 0 for a size that is not positive or not finite.
int PixelsFromTwips(float twips);

// How many times thicker than at the reference size of 576 x 384 pixels the
// chart draws its lines, gridlines, edges, frames and markers: in proportion
// to the chart's size (the smaller of the two ratios), so that a poster is
// the thumbnail enlarged rather than the same hairlines on a larger canvas.
// The one place where the drawing's size factor is decided.
double LineScale(int width_px, int height_px);

// Paints the chart into cr with its top-left corner at the current origin,
// width_px by height_px pixels. Draws nothing when either size is 0 or less.
// Never fails: data and settings the chart cannot show are drawn as well as
// they can be (see LayoutChart). cr's state is restored on return. Text
// layouts are cached per calling thread.
void PaintChart(const ChartState& state, cairo_t* cr, int width_px, int height_px);

enum class TextRole {
  kTitle,
  kLegend,
  kAxisTitle,
  kCategoryLabel,  // X axis labels (row labels)
  kValueLabel,     // Y and second Y axis tick labels
  kSeriesLabel,    // Z axis labels of 3-D charts (column labels)
  kPieLabel,       // the row label under each pie
  kSliceLabel,     // a slice's share of its pie, in percent
};

struct Point {
  double x = 0, y = 0;
};

struct Box {
  double x = 0, y = 0, w = 0, h = 0;
  double right() const { return x + w; }
  double bottom() const { return y + h; }
};

// One text as placed: its logical box of width by height pixels, centred at
// (cx, cy) and turned by angle radians (clockwise on screen).
struct PlacedText {
  TextRole role = TextRole::kTitle;
  std::string text;
  double cx = 0, cy = 0, width = 0, height = 0, angle = 0;
  std::array<Point, 4> Corners() const;
};

struct ChartLayout {
  std::vector<PlacedText> texts;
  Box plot;  // the data area (2-D) or the box the 3-D scene fits in
  bool legend_shown = false;
  Box legend;  // valid when legend_shown
};

// Everything PaintChart would place, without drawing.
ChartLayout LayoutChart(const ChartState& state, int width_px, int height_px);

// True when the two placed texts' boxes share any area.
bool Overlap(const PlacedText& a, const PlacedText& b);

}  // namespace qz::chart::render
