// The chart engine's whole state as plain data: what the engine's operations
// write and what its renderer draws. The engine (chart.h) is the only writer;
// it validates every write, so a renderer may rely on the ranges noted here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qz::chart {

// Chart type codes.
enum ChartTypeCode : std::int32_t {
  kBar3D = 0,
  kBar2D = 1,
  kLine3D = 2,
  kLine2D = 3,
  kArea3D = 4,
  kArea2D = 5,
  kStep3D = 6,
  kPie2D = 14,
};

// Legend location codes 0..8.
enum LegendLocation : std::int32_t {
  kTopLeft = 0,
  kTop = 1,
  kTopRight = 2,
  kLeft = 3,
  kRight = 4,
  kBottomLeft = 5,
  kBottom = 6,
  kBottomRight = 7,
  kCustom = 8,  // drawn where kRight is
};

// Frame style codes 0..4 and shadow style codes 0..1 of a backdrop.
enum FrameStyle : std::int32_t {
  kFrameNone,
  kFrameSingle,
  kFrameDouble,
  kFrameThickInner,
  kFrameThickOuter
};
enum ShadowStyle : std::int32_t { kShadowNone, kShadowDrop };
// Fill style codes 0..1: no fill (the backdrop is not painted) or a brush of
// the fill colour.
enum FillStyle : std::int32_t { kFillNull, kFillBrush };

// Axis title text layout codes 0..3.
enum TextLayout : std::int32_t {
  kLayoutHorizontal = 0,
  kLayoutStacked = 1,  // letters one below the other
  kLayoutUp = 2,       // rotated a quarter turn, reading upwards
  kLayoutDown = 3,     // rotated a quarter turn, reading downwards
};

enum AxisId : std::int32_t { kAxisX = 0, kAxisY = 1, kAxisY2 = 2, kAxisZ = 3 };

struct Rgb {
  std::int16_t r = 0, g = 0, b = 0;  // each 0..255
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

struct FontState {
  std::string name;  // a family name for fontconfig ("Arial")
  float size = 10;   // points (at 96 dots per inch); > 0
  Rgb color;
  bool bold = false, italic = false, underline = false, strikethrough = false;
};

struct BackdropState {
  std::int32_t frame_style = kFrameNone;
  std::int32_t shadow_style = kShadowNone;
  std::int32_t fill_style = kFillNull;
  Rgb fill_color{255, 255, 255};
};

struct ValueScaleState {
  bool automatic = true;
  // Used when automatic is false. Any values may arrive here (a minimum
  // above the maximum, a division of 0 or below): the renderer copes.
  double minimum = 0;
  double maximum = 100;
  std::int16_t major_division = 10;  // the number of divisions
};

struct AxisState {
  std::string title_text;
  FontState title_font;
  std::int32_t title_layout = kLayoutHorizontal;
  FontState label_font;  // label level 1
  ValueScaleState scale;
  bool hidden = false;  // the axis scale's hidden flag
};

struct SeriesState {
  Rgb pen_color;         // the line of a line chart
  Rgb fill_color;        // bars, areas and slices (all data points)
  float edge_width = 1;  // edge pen of all data points; 0 draws a hairline
  Rgb edge_color;
};

// The resolutions a chart may be drawn at, in dots per inch; 96 is the
// engine's own (15 twips to the pixel).
inline constexpr std::int16_t kBaseResolution = 96;
inline constexpr std::int16_t kMinResolution = 48;
inline constexpr std::int16_t kMaxResolution = 384;

struct ChartState {
  float width_twips = 0, height_twips = 0;  // 15 twips to the pixel at kBaseResolution
  // Dots per inch, kMinResolution..kMaxResolution: the picture has
  // resolution / kBaseResolution times the pixels of the chart at 96, and
  // everything in it is drawn that much larger.
  std::int16_t resolution = kBaseResolution;

  std::int32_t chart_type = kBar2D;
  bool stacking = false;

  std::string title_text;
  FontState title_font;
  BackdropState title_backdrop;

  bool legend_visible = true;
  std::int32_t legend_location = kRight;
  FontState legend_font;
  BackdropState legend_backdrop;

  BackdropState backdrop;  // the whole chart's

  std::array<AxisState, 4> axes;  // by AxisId
  float rotation = 30;            // 3-D view rotation about the vertical axis, degrees

  // The data grid: rows are categories (along X), columns are series.
  std::int16_t rows = 0, columns = 0;                // each >= 1 once initialised
  std::int16_t current_row = 1, current_column = 1;  // 1-based
  std::vector<std::optional<double>> cells;          // rows * columns, row-major; empty = missing
  std::vector<std::string> row_labels;               // rows entries
  std::vector<std::string> column_labels;            // columns entries
  std::vector<SeriesState> series;                   // columns entries

  const std::optional<double>& cell(int row, int column) const {  // 1-based
    return cells[static_cast<std::size_t>((row - 1) * columns + (column - 1))];
  }
};

}  // namespace qz::chart
