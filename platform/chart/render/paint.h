// The chart renderer: paints a chart engine's state with Cairo and Pango.
#pragma once

#include <cairo.h>

#include <array>
#include <string>
#include <vector>

#include "platform/chart/chart_state.h"
#include "platform/chart/render/scale.h"

namespace qz::chart::render {

// The chart's size in whole pixels at 96 dots per inch (15 twips to the
// pixel), 0 for a size that is not positive or not finite.
int PixelsFromTwips(float twips);

// How many times thicker than at the reference size of 576 x 384 pixels the
// chart draws its lines, gridlines, edges, frames and markers: in proportion
// to the chart's size (the smaller of the two ratios), so that a poster is
// the thumbnail enlarged rather than the same hairlines on a larger canvas.
// The one place where the drawing's size factor is decided; the sizes are
// the painter's (at 96 dots per inch), and DeviceScale below magnifies the
// whole drawing on top of it.
double LineScale(int width_px, int height_px);

// Resolution. The painter lays a chart out at 96 dots per inch and draws it
// magnified by DeviceScale, so that a chart at 192 is the chart at 96 with
// twice the pixels: text in points, line widths, markers and gaps all grow
// together. This is the one place the picture's scale is decided; whatever
// else should scale the drawing belongs here too.
struct PixelSize {
  int width = 0, height = 0;
};
int DotsPerInch(const ChartState& state);     // state.resolution, kept in range
double DeviceScale(const ChartState& state);  // DotsPerInch / 96
// A size in twips as the twips of a picture at 96 that has the chart's
// pixels at its resolution (what the picture surface is sized to).
float DeviceTwips(float twips, const ChartState& state);
// The picture's size in pixels at the chart's resolution.
PixelSize ChartPixelSize(const ChartState& state);

// Paints the chart into cr with its top-left corner at the current origin,
// width_px by height_px pixels of the picture (ChartPixelSize at the chart's
// resolution, whose DeviceScale magnifies the drawing). Draws nothing when
// either size is 0 or less. Never fails: data and settings the chart cannot
// show are drawn as well as they can be (see LayoutChart). cr's state is
// restored on return. Text layouts are cached per calling thread.
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

// One data item as drawn: the bar, slice, point marker or 3-D solid of the
// cell in category row and series column (both 0-based), as a polygon
// around what it covers (for a 3-D solid, its visible faces together).
struct DataShape {
  int row = 0, column = 0;
  double value = 0;  // the cell's own value, not a stacked sum
  std::vector<Point> outline;
};

struct ChartLayout {
  std::vector<PlacedText> texts;
  std::vector<DataShape> shapes;  // in drawing order (later ones cover earlier ones)
  Box plot;                       // the data area (2-D) or the box the 3-D scene fits in
  bool legend_shown = false;
  Box legend;  // valid when legend_shown
  // The value axis' scale, as its tick labels are formatted (FormatTick);
  // pies and charts too small for a plot have none.
  bool has_value_scale = false;
  Scale value_scale;
};

// One line of a chart's text as a vector format can hold it: its baseline
// starts at (x, y) in a frame turned by angle radians (clockwise on screen)
// about (origin_x, origin_y); all in pixels of the picture.
struct TextRun {
  std::string text;  // UTF-8, one line
  double origin_x = 0, origin_y = 0, angle = 0;
  double x = 0, y = 0;
  double font_px = 0;
  std::string family;     // the family the font resolved to
  std::string requested;  // the family the chart asked for
  bool bold = false, italic = false;
  Rgb color;
};

// As PaintChart, but a text that is whole lines of plain text (not cut with
// an ellipsis, not underlined or struck through) goes to texts instead of
// being drawn, for the caller to write as text; the rest is drawn.
void PaintChartWithTextRuns(const ChartState& state, cairo_t* cr, int width_px, int height_px,
                            std::vector<TextRun>* texts);

// Everything PaintChart would place, without drawing, in pixels of the
// picture (width_px by height_px, as for PaintChart). The data shapes cost a
// polygon a cell and are laid out only when asked for.
enum class Shapes { kOmitted, kRecorded };
ChartLayout LayoutChart(const ChartState& state, int width_px, int height_px,
                        Shapes shapes = Shapes::kOmitted);

// True when the two placed texts' boxes share any area.
bool Overlap(const PlacedText& a, const PlacedText& b);

}  // namespace qz::chart::render
