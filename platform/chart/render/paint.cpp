#include "platform/chart/render/paint.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "platform/chart/render/paint_p.h"
#include "platform/chart/render/palette.h"

namespace qz::chart::render {
namespace detail {
namespace {

constexpr Rgb kFrameColor{64, 64, 64};
constexpr Rgb kShadowColor{128, 128, 128};
constexpr Rgb kAxisColor{96, 96, 96};
constexpr Rgb kGridColor{222, 222, 222};
constexpr Rgb kZeroLineColor{150, 150, 150};
constexpr Rgb kEmptyPieColor{200, 200, 200};
// The opacity of an unstacked area's fill (its top edge is drawn solid).
constexpr double kAreaAlpha = 0.45;

std::int16_t Channel(std::int16_t v) {
  return static_cast<std::int16_t>(std::clamp<int>(v, 0, 255));
}

Kind KindOf(std::int32_t code, bool* three_d) {
  *three_d = false;
  switch (code) {
    case kBar2D:
      return Kind::kBar;
    case kLine2D:
      return Kind::kLine;
    case kArea2D:
      return Kind::kArea;
    case kPie2D:
      return Kind::kPie;
    case kBar3D:
      *three_d = true;
      return Kind::kBar;
    case kLine3D:
      *three_d = true;
      return Kind::kLine;
    case kArea3D:
      *three_d = true;
      return Kind::kArea;
    case kStep3D:
      *three_d = true;
      return Kind::kStep;
    default:
      return Kind::kBar;  // a code the engine does not know draws as 2-D bars
  }
}

const char* RoleName(TextRole role) {
  switch (role) {
    case TextRole::kTitle:
      return "chart title";
    case TextRole::kLegend:
      return "legend entry";
    case TextRole::kAxisTitle:
      return "axis title";
    case TextRole::kCategoryLabel:
      return "category label";
    case TextRole::kValueLabel:
      return "value label";
    case TextRole::kSeriesLabel:
      return "series label";
    case TextRole::kPieLabel:
      return "pie label";
    case TextRole::kSliceLabel:
      return "slice label";
  }
  return "chart text";
}

double Clampd(double v, double lo, double hi) {
  if (!std::isfinite(v)) return lo;
  return std::clamp(v, lo, hi);
}

class CairoSaved {
 public:
  explicit CairoSaved(cairo_t* cr) : cr_(cr) {
    if (cr_) cairo_save(cr_);
  }
  ~CairoSaved() {
    if (cr_) cairo_restore(cr_);
  }
  CairoSaved(const CairoSaved&) = delete;
  CairoSaved& operator=(const CairoSaved&) = delete;

 private:
  cairo_t* cr_;
};

}  // namespace

bool Finite(double v) {
  return std::isfinite(v);
}

double ValueToY(const Scale& s, const Box& plot, double v) {
  double t = (v / (s.maximum - s.minimum) - s.minimum / (s.maximum - s.minimum));
  if (!std::isfinite(t)) t = v > s.maximum ? 1 : 0;
  t = std::clamp(t, -4.0, 5.0);  // values far off the scale stay near the plot (clipped)
  return plot.bottom() - t * plot.h;
}

// ---------------------------------------------------------------- Grid

Grid::Grid(const ChartState& s) : s_(s) {
  rows_ = std::max<int>(0, s.rows);
  columns_ = std::max<int>(0, s.columns);
  if (static_cast<std::size_t>(rows_) * static_cast<std::size_t>(columns_) > s.cells.size()) {
    // An inconsistent grid shows what the cells hold, row by row.
    rows_ =
        columns_ > 0 ? static_cast<int>(s.cells.size() / static_cast<std::size_t>(columns_)) : 0;
  }
}

std::optional<double> Grid::at(int row, int column) const {
  const auto& v = s_.cells[static_cast<std::size_t>(row) * static_cast<std::size_t>(columns_) +
                           static_cast<std::size_t>(column)];
  if (!v || !std::isfinite(*v)) return std::nullopt;
  return std::clamp(*v, -1e300, 1e300);
}

std::string_view Grid::RowLabel(int row) const {
  return static_cast<std::size_t>(row) < s_.row_labels.size()
             ? std::string_view(s_.row_labels[static_cast<std::size_t>(row)])
             : std::string_view();
}

std::string_view Grid::ColumnLabel(int column) const {
  return static_cast<std::size_t>(column) < s_.column_labels.size()
             ? std::string_view(s_.column_labels[static_cast<std::size_t>(column)])
             : std::string_view();
}

Rgb Grid::Fill(int column) const {
  if (static_cast<std::size_t>(column) < s_.series.size())
    return s_.series[static_cast<std::size_t>(column)].fill_color;
  return DefaultSeriesColor(column);
}

Rgb Grid::Pen(int column) const {
  if (static_cast<std::size_t>(column) < s_.series.size())
    return s_.series[static_cast<std::size_t>(column)].pen_color;
  return DefaultSeriesColor(column);
}

Rgb Grid::EdgeColor(int column) const {
  if (static_cast<std::size_t>(column) < s_.series.size())
    return s_.series[static_cast<std::size_t>(column)].edge_color;
  return Rgb{64, 64, 64};
}

double Grid::EdgeWidth(int column) const {
  if (static_cast<std::size_t>(column) < s_.series.size()) {
    return Clampd(s_.series[static_cast<std::size_t>(column)].edge_width, 0, 50);
  }
  return 0;
}

// ---------------------------------------------------------------- Painter basics

Painter::Painter(const ChartState& s, cairo_t* cr, int width, int height)
    : s_(s), cr_(cr), width_(width), height_(height), grid_(s) {
  kind_ = KindOf(s.chart_type, &three_d_);
  // Texts keep their point sizes at usual chart sizes; a thumbnail shrinks
  // them (to no less than about 7 pixels for 10 points) and a poster grows
  // them with the square root of its size, so that they read from afar
  // without crowding the plot.
  double small = std::min(width / 480.0, height / 320.0);
  double large = std::min(width / 576.0, height / 384.0);
  ui_ = large > 1 ? std::min(std::sqrt(large), 2.5) : std::clamp(small, 0.55, 1.0);
  line_ = LineScale(width, height);
  hair_ = std::max(1.0, std::round(line_));
  gap_ = std::round(6 * ui_);
  tick_ = std::round(4 * ui_);
  thumbnail_ = width < 200 || height < 130;
  TextCache::ForThread().BeginPaint();
}

ShapedText Painter::Shape(const FontState& f, std::string_view text, Fit fit, int max_width,
                          int max_lines) {
  TextRequest r;
  r.font = &f;
  r.scale = ui_;
  r.text = text;
  r.fit = fit;
  r.max_width = max_width;
  r.max_lines = max_lines;
  return TextCache::ForThread().Shape(r);
}

void Painter::SetColor(Rgb c, double alpha) {
  if (!cr_) return;
  cairo_set_source_rgba(cr_, Channel(c.r) / 255.0, Channel(c.g) / 255.0, Channel(c.b) / 255.0,
                        alpha);
}

void Painter::SetShade(Rgb c, double factor) {
  if (!cr_) return;
  auto f = [factor](std::int16_t v) {
    double x = Channel(v) / 255.0;
    return factor <= 1 ? x * factor : x + (1 - x) * (factor - 1);
  };
  cairo_set_source_rgb(cr_, f(c.r), f(c.g), f(c.b));
}

void Painter::DrawText(TextRole role, const ShapedText& t, std::string_view text, double x,
                       double y, Anchor anchor, double angle, Rgb color) {
  if (!Finite(x) || !Finite(y) || !Finite(angle) || !t.layout) return;
  double w = t.width, h = t.height;
  double ax = 0, ay = 0;
  switch (anchor) {
    case Anchor::kTopLeft:
      break;
    case Anchor::kTop:
      ax = w / 2;
      break;
    case Anchor::kTopRight:
      ax = w;
      break;
    case Anchor::kLeft:
      ay = h / 2;
      break;
    case Anchor::kCenter:
      ax = w / 2;
      ay = h / 2;
      break;
    case Anchor::kRight:
      ax = w;
      ay = h / 2;
      break;
    case Anchor::kBottomLeft:
      ay = h;
      break;
    case Anchor::kBottom:
      ax = w / 2;
      ay = h;
      break;
    case Anchor::kBottomRight:
      ax = w;
      ay = h;
      break;
  }
  // Upright text starts on a whole pixel so that hinted glyphs stay sharp.
  double ox = -ax, oy = -ay;
  if (angle == 0) {
    double px = std::round(x + ox), py = std::round(y + oy);
    ox = px - x;
    oy = py - y;
  }
  PlacedText placed;
  placed.role = role;
  placed.text = std::string(text);
  double c = std::cos(angle), s = std::sin(angle);
  double lx = ox + w / 2, ly = oy + h / 2;
  placed.cx = x + lx * c - ly * s;
  placed.cy = y + lx * s + ly * c;
  placed.width = w;
  placed.height = h;
  placed.angle = angle;
  layout_.texts.push_back(std::move(placed));
  if (!cr_) return;
  if (t.missing) WarnMissingGlyphs(RoleName(role), *t.missing);
  if (text_runs_ != nullptr && AddTextRuns(t, x, y, ox - t.x_offset, oy, angle, color)) return;
  CairoSaved saved(cr_);
  cairo_translate(cr_, x, y);
  if (angle != 0) cairo_rotate(cr_, angle);
  cairo_move_to(cr_, ox - t.x_offset, oy);
  SetColor(color);
  pango_cairo_show_layout(cr_, t.layout);
}

bool Painter::AddTextRuns(const ShapedText& t, double x, double y, double lx, double ly,
                          double angle, Rgb color) {
  PangoLayout* layout = t.layout;
  if (pango_layout_is_ellipsized(layout) || pango_layout_get_attributes(layout) != nullptr)
    return false;
  const PangoFontDescription* desc = pango_layout_get_font_description(layout);
  if (desc == nullptr || pango_font_description_get_family(desc) == nullptr) return false;
  TextRun base;
  base.requested = pango_font_description_get_family(desc);
  base.family = base.requested;
  if (PangoFont* font = pango_context_load_font(pango_layout_get_context(layout), desc)) {
    PangoFontDescription* resolved = pango_font_describe(font);
    if (resolved != nullptr && pango_font_description_get_family(resolved) != nullptr)
      base.family = pango_font_description_get_family(resolved);
    if (resolved != nullptr) pango_font_description_free(resolved);
    g_object_unref(font);
  }
  const double k = device_scale_;
  base.font_px = pango_font_description_get_size(desc) / static_cast<double>(PANGO_SCALE) * k;
  base.bold = pango_font_description_get_weight(desc) >= PANGO_WEIGHT_BOLD;
  base.italic = pango_font_description_get_style(desc) != PANGO_STYLE_NORMAL;
  base.origin_x = x * k;
  base.origin_y = y * k;
  base.angle = angle;
  base.color = color;
  const char* text = pango_layout_get_text(layout);
  std::vector<TextRun> runs;
  PangoLayoutIter* iter = pango_layout_get_iter(layout);
  do {
    const PangoLayoutLine* line = pango_layout_iter_get_line_readonly(iter);
    PangoRectangle logical{};
    pango_layout_iter_get_line_extents(iter, nullptr, &logical);
    TextRun run = base;
    run.text.assign(text + line->start_index, static_cast<std::size_t>(line->length));
    while (!run.text.empty() && (run.text.back() == '\n' || run.text.back() == '\r'))
      run.text.pop_back();
    run.x = (lx + logical.x / static_cast<double>(PANGO_SCALE)) * k;
    run.y = (ly + pango_layout_iter_get_baseline(iter) / static_cast<double>(PANGO_SCALE)) * k;
    if (!run.text.empty()) runs.push_back(std::move(run));
  } while (pango_layout_iter_next_line(iter));
  pango_layout_iter_free(iter);
  for (TextRun& run : runs) text_runs_->push_back(std::move(run));
  return true;
}

bool Painter::TryDrawText(TextRole role, const ShapedText& t, std::string_view text, double x,
                          double y, Anchor anchor, double angle, Rgb color) {
  cairo_t* cr = cr_;
  cr_ = nullptr;
  DrawText(role, t, text, x, y, anchor, angle, color);
  cr_ = cr;
  if (layout_.texts.empty()) return false;  // not placeable at all
  PlacedText probe = std::move(layout_.texts.back());
  layout_.texts.pop_back();
  for (const Point& pt : probe.Corners()) {
    if (pt.x < -0.5 || pt.x > width_ + 0.5 || pt.y < -0.5 || pt.y > height_ + 0.5) return false;
  }
  for (const PlacedText& other : layout_.texts) {
    if (Overlap(other, probe)) return false;
  }
  DrawText(role, t, text, x, y, anchor, angle, color);
  return true;
}

namespace {
// The centre of a line of whole-pixel width w drawn at coordinate v, so that
// it covers whole pixels.
double PixelCentre(double v, double w) {
  return static_cast<long long>(w) % 2 ? std::floor(v) + 0.5 : std::round(v);
}
}  // namespace

void Painter::HLine(double x0, double x1, double y, Rgb c) {
  if (!cr_ || !Finite(x0) || !Finite(x1) || !Finite(y)) return;
  SetColor(c);
  cairo_set_line_width(cr_, hair_);
  double py = PixelCentre(y, hair_);
  cairo_move_to(cr_, std::round(x0), py);
  cairo_line_to(cr_, std::round(x1), py);
  cairo_stroke(cr_);
}

void Painter::VLine(double x, double y0, double y1, Rgb c) {
  if (!cr_ || !Finite(x) || !Finite(y0) || !Finite(y1)) return;
  SetColor(c);
  cairo_set_line_width(cr_, hair_);
  double px = PixelCentre(x, hair_);
  cairo_move_to(cr_, px, std::round(y0));
  cairo_line_to(cr_, px, std::round(y1));
  cairo_stroke(cr_);
}

void Painter::FillBox(const Box& b, Rgb c) {
  if (!cr_ || b.w <= 0 || b.h <= 0) return;
  SetColor(c);
  cairo_rectangle(cr_, b.x, b.y, b.w, b.h);
  cairo_fill(cr_);
}

double Painter::FrameWidth(std::int32_t style) const {
  switch (style) {
    case kFrameSingle:
      return hair_;
    case kFrameDouble:
      return 4 * hair_;
    case kFrameThickInner:
    case kFrameThickOuter:
      return 5 * hair_;
    default:
      return 0;
  }
}

double Painter::ShadowOffset() const {
  return std::clamp(std::round(std::min(width_, height_) / 90.0), 2.0, 8.0);
}

Box Painter::Backdrop(const Box& box, const BackdropState& d) {
  Box b = box;
  if (b.w < 2 || b.h < 2) return b;
  if (d.shadow_style == kShadowDrop) {
    double o = std::min(ShadowOffset(), std::floor(std::min(b.w, b.h) / 4));
    b.w -= o;
    b.h -= o;
    if (cr_) {
      // Two steps of grey give the shadow a soft edge without blurring.
      FillBox({b.x + o, b.y + o, b.w, b.h}, kShadowColor);
      SetColor(kShadowColor, 0.45);
      cairo_rectangle(cr_, b.x + o + 1, b.y + o + 1, b.w, b.h);
      cairo_rectangle(cr_, b.x + o, b.y + o, b.w, b.h);
      cairo_set_fill_rule(cr_, CAIRO_FILL_RULE_EVEN_ODD);
      cairo_fill(cr_);
      cairo_set_fill_rule(cr_, CAIRO_FILL_RULE_WINDING);
    }
  }
  if (d.fill_style == kFillBrush) FillBox(b, d.fill_color);
  double fw = FrameWidth(d.frame_style);
  if (cr_ && fw > 0 && b.w > 2 * fw + 2 && b.h > 2 * fw + 2) {
    auto ring = [&](double inset, double line) {
      inset *= hair_;
      line *= hair_;
      cairo_rectangle(cr_, b.x + inset + line / 2, b.y + inset + line / 2, b.w - 2 * inset - line,
                      b.h - 2 * inset - line);
      cairo_set_line_width(cr_, line);
      cairo_stroke(cr_);
    };
    SetColor(kFrameColor);
    cairo_set_line_join(cr_, CAIRO_LINE_JOIN_MITER);
    switch (d.frame_style) {
      case kFrameSingle:
        ring(0, 1);
        break;
      case kFrameDouble:
        ring(0, 1);
        ring(3, 1);
        break;
      case kFrameThickInner:  // a thin line outside, a thick one within
        ring(0, 1);
        ring(2, 3);
        break;
      case kFrameThickOuter:  // a thick line outside, a thin one within
        ring(0, 3);
        ring(4, 1);
        break;
      default:
        break;
    }
  }
  if (fw > 0 && b.w > 2 * fw && b.h > 2 * fw) {
    b.x += fw;
    b.y += fw;
    b.w -= 2 * fw;
    b.h -= 2 * fw;
  }
  return b;
}

void Painter::Record(int row, int column, double value, std::vector<Point> outline) {
  if (!record_) return;
  DataShape shape;
  shape.row = row;
  shape.column = column;
  shape.value = value;
  shape.outline = std::move(outline);
  layout_.shapes.push_back(std::move(shape));
}

void Painter::RecordPoints(const std::vector<std::vector<std::optional<double>>>& values,
                           const std::function<double(int)>& x_of, const Box& plot,
                           const Scale& scale, double radius) {
  if (!record_) return;
  for (int c = 0; c < grid_.columns(); ++c) {
    for (int r = 0; r < grid_.rows(); ++r) {
      const auto& v = values[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)];
      const auto cell = grid_.at(r, c);
      if (!v || !cell) continue;
      const double x = x_of(r), y = ValueToY(scale, plot, *v);
      if (y < plot.y || y > plot.bottom()) continue;  // off the scale: not drawn
      Record(r, c, *cell,
             {{x - radius, y - radius},
              {x + radius, y - radius},
              {x + radius, y + radius},
              {x - radius, y + radius}});
    }
  }
}

void Painter::StrokeEdge(Rgb color, double width) {
  if (!cr_) return;
  SetColor(color);
  cairo_set_line_width(cr_, width > 0 ? width * line_ : hair_);
  cairo_stroke(cr_);
}

void Painter::ChooseTickForm(const Scale& scale, const FontState& font, double budget) {
  short_ticks_ = false;
  for (int i = 0; i <= scale.divisions && i <= 200; ++i) {
    if (Shape(font, FormatTick(scale.TickValue(i), scale)).width > budget) {
      short_ticks_ = true;
      return;
    }
  }
}

std::string Painter::TickLabel(double value, const Scale& scale) const {
  return short_ticks_ ? FormatTickShort(value, scale) : FormatTick(value, scale);
}

// ---------------------------------------------------------------- data

std::vector<std::vector<std::optional<double>>> Painter::Values() const {
  int rows = grid_.rows(), cols = grid_.columns();
  std::vector<std::vector<std::optional<double>>> v(
      static_cast<std::size_t>(rows),
      std::vector<std::optional<double>>(static_cast<std::size_t>(cols)));
  for (int r = 0; r < rows; ++r) {
    double sum = 0;
    for (int c = 0; c < cols; ++c) {
      auto cell = grid_.at(r, c);
      if (!s_.stacking || kind_ == Kind::kPie) {
        v[r][c] = cell;
        continue;
      }
      // Stacked lines and areas accumulate; an absent cell adds nothing.
      sum = std::clamp(sum + cell.value_or(0), -1e300, 1e300);
      if (cell || kind_ == Kind::kArea) v[r][c] = sum;
    }
  }
  return v;
}

DataRange Painter::ValueRange() const {
  DataRange range;
  int rows = grid_.rows(), cols = grid_.columns();
  bool stack_bars = s_.stacking && (kind_ == Kind::kBar || kind_ == Kind::kStep);
  if (stack_bars) {
    for (int r = 0; r < rows; ++r) {
      double pos = 0, neg = 0;
      for (int c = 0; c < cols; ++c) {
        auto v = grid_.at(r, c);
        if (!v) continue;
        if (*v >= 0)
          pos = std::min(pos + *v, 1e300);
        else
          neg = std::max(neg + *v, -1e300);
      }
      range.Add(pos);
      range.Add(neg);
    }
    return range;
  }
  for (const auto& row : Values()) {
    for (const auto& v : row) {
      if (v) range.Add(*v);
    }
  }
  return range;
}

// ---------------------------------------------------------------- run

void Painter::Run() {
  Box whole{0, 0, static_cast<double>(width_), static_cast<double>(height_)};
  layout_.plot = whole;
  CairoSaved saved(cr_);
  if (cr_) {
    cairo_rectangle(cr_, 0, 0, width_, height_);
    cairo_clip(cr_);
    cairo_set_antialias(cr_, CAIRO_ANTIALIAS_FAST);
  }
  Box inner = Backdrop(whole, s_.backdrop);
  double margin = std::round(std::clamp(std::min(width_, height_) * 0.03, 3.0, 18.0));
  inner.x += margin;
  inner.y += margin;
  inner.w -= 2 * margin;
  inner.h -= 2 * margin;
  if (inner.w < 4 || inner.h < 4) return;
  inner = Title(inner);
  inner = Legend(inner);
  if (inner.w < 4 || inner.h < 4) return;
  if (kind_ == Kind::kPie) {
    Pie(inner);
  } else if (three_d_) {
    Chart3D(*this, inner);
  } else {
    Chart2D(inner);
  }
}

Box Painter::Title(Box inner) {
  if (s_.title_text.empty()) return inner;
  const BackdropState& bd = s_.title_backdrop;
  bool boxed =
      bd.fill_style == kFillBrush || bd.frame_style != kFrameNone || bd.shadow_style == kShadowDrop;
  double pad = boxed ? std::round(4 * ui_) + FrameWidth(bd.frame_style) : 0;
  double shadow = bd.shadow_style == kShadowDrop ? ShadowOffset() : 0;
  int max_w = static_cast<int>(inner.w - 2 * pad - shadow);
  if (max_w < 8) return inner;
  // A long title wraps onto a second line; a very long one is cut there.
  ShapedText t = Shape(s_.title_font, s_.title_text, Fit::kWrap, max_w, 2);
  if (t.height + 2 * pad + shadow > inner.h * 0.4) {
    t = Shape(s_.title_font, s_.title_text, Fit::kEllipsis, max_w);
    if (t.height + 2 * pad + shadow > inner.h * 0.4) return inner;  // no room: the plot comes first
  }
  double box_w = t.width + 2 * pad + shadow, box_h = t.height + 2 * pad + shadow;
  if (boxed) box_w = std::max(box_w, std::min(inner.w, t.width + 2 * pad + shadow + 16 * ui_));
  Box box{std::round(inner.x + (inner.w - box_w) / 2), inner.y, std::round(box_w),
          std::round(box_h)};
  Box in = Backdrop(box, bd);
  (void)in;
  DrawText(TextRole::kTitle, t, s_.title_text, box.x + (box.w - shadow) / 2,
           box.y + (box.h - shadow) / 2, Anchor::kCenter, 0, s_.title_font.color);
  double used = box_h + gap_;
  inner.y += used;
  inner.h -= used;
  return inner;
}

void Painter::LegendSwatch(int column, double x, double cy, double size) {
  if (!cr_) return;
  if (LineKind()) {
    SetColor(grid_.Pen(column));
    cairo_set_line_width(cr_, 2 * line_);
    cairo_move_to(cr_, x, std::round(cy));
    cairo_line_to(cr_, x + size, std::round(cy));
    cairo_stroke(cr_);
    return;
  }
  Box sw{x, std::round(cy - size / 2), size, size};
  // An unstacked area shows as it is drawn: a translucent fill, edged solid.
  bool translucent = kind_ == Kind::kArea && !three_d_ && !s_.stacking;
  SetColor(grid_.Fill(column), translucent ? kAreaAlpha : 1.0);
  cairo_rectangle(cr_, sw.x, sw.y, sw.w, sw.h);
  cairo_fill(cr_);
  double edge = translucent ? std::max(hair_, std::round(2 * line_)) : hair_;
  SetColor(grid_.EdgeWidth(column) > 0 ? grid_.EdgeColor(column) : grid_.Fill(column));
  cairo_set_line_width(cr_, edge);
  cairo_rectangle(cr_, sw.x + edge / 2, sw.y + edge / 2, sw.w - edge, sw.h - edge);
  cairo_stroke(cr_);
}

Box Painter::Legend(Box inner) {
  int cols = grid_.columns();
  if (!s_.legend_visible || cols <= 0 || thumbnail_) return inner;
  std::int32_t loc = s_.legend_location;
  if (loc < kTopLeft || loc > kCustom) loc = kRight;
  bool horizontal = loc == kTop || loc == kBottom;
  const FontState& font = s_.legend_font;
  ShapedText probe = Shape(font, "Ag");
  double line_h = probe.height;
  double swatch = std::max(4.0, std::round(line_h * 0.7));
  double item_gap = std::round(swatch * 0.5);
  const BackdropState& bd = s_.legend_backdrop;
  double frame = FrameWidth(bd.frame_style);
  double shadow = bd.shadow_style == kShadowDrop ? ShadowOffset() : 0;
  double pad = std::round(4 * ui_) + frame;
  double row_h = std::round(line_h * 1.25);
  double spare = row_h - line_h;  // between the rows of entries
  // A long entry wraps onto a second line before it is cut.
  constexpr int kEntryLines = 2;

  struct Item {
    int column;
    ShapedText text;
  };
  std::vector<Item> items;
  Box box;
  if (!horizontal) {
    int label_max = static_cast<int>(std::max(10.0, inner.w * 0.28 - swatch - item_gap - 2 * pad));
    double room = inner.h - 2 * pad - shadow;
    double text_w = 0, used_h = 0;
    std::vector<double> heights;
    for (int c = 0; c < cols; ++c) {
      ShapedText t = Shape(font, grid_.ColumnLabel(c), Fit::kWrapStart, label_max, kEntryLines);
      double h = std::max(row_h, t.height + spare);
      if (used_h + h > room) break;
      used_h += h;
      heights.push_back(h);
      text_w = std::max<double>(text_w, t.width);
      items.push_back({c, t});
    }
    if (items.empty()) return inner;
    box.w = std::round(2 * pad + swatch + item_gap + text_w + shadow);
    box.h = std::round(2 * pad + used_h + shadow);
    if (box.w > inner.w * 0.4) return inner;  // a thumbnail keeps its plot
    bool left = loc == kTopLeft || loc == kLeft || loc == kBottomLeft;
    box.x = left ? inner.x : inner.right() - box.w;
    if (loc == kTopLeft || loc == kTopRight)
      box.y = inner.y;
    else if (loc == kBottomLeft || loc == kBottomRight)
      box.y = inner.bottom() - box.h;
    else
      box.y = std::round(inner.y + (inner.h - box.h) / 2);
    Box in = Backdrop(box, bd);
    double y = in.y + pad - frame;
    for (std::size_t i = 0; i < items.size(); ++i) {
      double sx = in.x + pad - frame;
      int c = items[i].column;
      // The swatch stands beside the entry's first line.
      LegendSwatch(c, sx, y + spare / 2 + line_h / 2, swatch);
      DrawText(TextRole::kLegend, items[i].text, grid_.ColumnLabel(c), sx + swatch + item_gap,
               y + spare / 2, Anchor::kTopLeft, 0, font.color);
      y += heights[i];
    }
    double used = box.w + gap_ * 1.5;
    if (left) inner.x += used;
    inner.w -= used;
  } else {
    // Items flow in lines across the width, centred.
    int label_max = static_cast<int>(std::max(10.0, inner.w * 0.5));
    double avail = inner.w - 2 * pad - shadow;
    std::vector<std::vector<std::size_t>> lines(1);
    std::vector<double> line_w(1, 0), line_h_of(1, row_h);
    for (int c = 0; c < cols; ++c) {
      ShapedText t = Shape(font, grid_.ColumnLabel(c), Fit::kWrapStart, label_max, kEntryLines);
      double w = swatch + item_gap + t.width;
      double add = lines.back().empty() ? w : w + 2 * item_gap;
      if (!lines.back().empty() && line_w.back() + add > avail) {
        lines.emplace_back();
        line_w.push_back(0);
        line_h_of.push_back(row_h);
        add = w;
      }
      if (w > avail) break;
      lines.back().push_back(items.size());
      line_w.back() += add;
      line_h_of.back() = std::max(line_h_of.back(), t.height + spare);
      items.push_back({c, t});
    }
    double room = inner.h * 0.3 - 2 * pad - shadow, used_h = 0;
    std::size_t keep = 0;
    while (keep < lines.size() && (keep == 0 || used_h + line_h_of[keep] <= room)) {
      used_h += line_h_of[keep];
      ++keep;
    }
    lines.resize(keep);
    if (lines.empty() || lines[0].empty()) return inner;
    if (used_h + 2 * pad + shadow > inner.h) return inner;
    double widest = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) widest = std::max(widest, line_w[i]);
    box.w = std::round(widest + 2 * pad + shadow);
    box.h = std::round(used_h + 2 * pad + shadow);
    box.x = std::round(inner.x + (inner.w - box.w) / 2);
    box.y = loc == kTop ? inner.y : inner.bottom() - box.h;
    Box in = Backdrop(box, bd);
    double y = in.y + pad - frame;
    for (std::size_t l = 0; l < lines.size(); ++l) {
      double x = in.x + pad - frame + (widest - line_w[l]) / 2;
      for (std::size_t idx : lines[l]) {
        const Item& it = items[idx];
        LegendSwatch(it.column, x, y + spare / 2 + line_h / 2, swatch);
        DrawText(TextRole::kLegend, it.text, grid_.ColumnLabel(it.column), x + swatch + item_gap,
                 y + spare / 2, Anchor::kTopLeft, 0, font.color);
        x += swatch + item_gap + it.text.width + 2 * item_gap;
      }
      y += line_h_of[l];
    }
    double used = box.h + gap_;
    if (loc == kTop) inner.y += used;
    inner.h -= used;
  }
  layout_.legend_shown = true;
  layout_.legend = box;
  return inner;
}

// ---------------------------------------------------------------- axis titles and labels

Painter::AxisTitle Painter::MeasureAxisTitle(const AxisState& a, Side side,
                                             double available_length) {
  AxisTitle t;
  if (a.title_text.empty() || available_length < 10 || thumbnail_) return t;
  t.present = true;
  t.str = a.title_text;
  t.color = a.title_font.color;
  int len = static_cast<int>(available_length);
  std::int32_t layout = a.title_layout;
  if (side == Side::kBottom && layout == kLayoutStacked) layout = kLayoutHorizontal;
  switch (layout) {
    case kLayoutStacked: {
      // One letter under the other: a column as wide as the widest letter.
      ShapedText probe = Shape(a.title_font, "Ag");
      int lines = std::max(1, static_cast<int>(available_length / std::max(1, probe.height)));
      std::string stacked;
      const char* p = a.title_text.c_str();
      const char* end = p + a.title_text.size();
      if (!g_utf8_validate(p, static_cast<gssize>(a.title_text.size()), nullptr)) {
        stacked = a.title_text;
      } else {
        while (p < end) {
          const char* next = g_utf8_next_char(p);
          if (!stacked.empty()) stacked.push_back('\n');
          stacked.append(p, static_cast<std::size_t>(next - p));
          p = next;
        }
      }
      t.text = Shape(a.title_font, stacked, Fit::kWrap, 2000, lines);
      t.block_w = t.text.width;
      t.block_h = t.text.height;
      break;
    }
    case kLayoutUp:
    case kLayoutDown:
      t.text = Shape(a.title_font, a.title_text, Fit::kEllipsis, len);
      t.angle = layout == kLayoutUp ? -std::numbers::pi / 2 : std::numbers::pi / 2;
      t.block_w = t.text.height;
      t.block_h = t.text.width;
      break;
    default:
      t.text = Shape(a.title_font, a.title_text, Fit::kEllipsis, len);
      t.block_w = t.text.width;
      t.block_h = t.text.height;
      break;
  }
  if (t.block_w <= 0 || t.block_h <= 0) t.present = false;
  return t;
}

void Painter::DrawAxisTitle(const AxisTitle& t, Side side, double edge, double lo, double hi) {
  if (!t.present) return;
  const std::string& str = t.str;
  double mid = (lo + hi) / 2;
  switch (side) {
    case Side::kBottom:
      DrawText(TextRole::kAxisTitle, t.text, str, mid, edge - t.block_h / 2, Anchor::kCenter,
               t.angle, t.color);
      break;
    case Side::kLeft:
      DrawText(TextRole::kAxisTitle, t.text, str, edge + t.block_w / 2, mid, Anchor::kCenter,
               t.angle, t.color);
      break;
    case Side::kRight:
      DrawText(TextRole::kAxisTitle, t.text, str, edge - t.block_w / 2, mid, Anchor::kCenter,
               t.angle, t.color);
      break;
  }
}

Painter::CategoryPlan Painter::PlanCategories(const std::vector<double>& xs, double slot,
                                              double left_room, double max_height) {
  CategoryPlan plan;
  const FontState& font = s_.axes[kAxisX].label_font;
  int rows = static_cast<int>(xs.size());
  if (rows == 0) return plan;
  double line_h = Shape(font, "Ag").height;
  double widest = 0;
  // A long axis is judged from an even sample of its labels, so that a grid
  // of thousands of rows does not shape thousands of texts to be thinned away.
  int stride = std::max(1, rows / 256);
  for (int r = 0; r < rows; r += stride) {
    widest = std::max<double>(widest, Shape(font, grid_.RowLabel(r)).width);
  }
  double spacing = gap_;
  if (widest + spacing <= slot || rows == 1) {
    plan.max_width =
        static_cast<int>(std::max(8.0, rows == 1 ? std::min(widest, slot * 2) : slot - spacing));
    plan.height = line_h;
    return plan;
  }
  // Turned a half quarter: neighbours stand slot * sin 45 apart.
  const double k = std::numbers::sqrt2 / 2;
  double longest = std::min(widest, (max_height / k) - line_h);
  longest = std::min(longest, (left_room + xs[0] - xs[0]) / k + slot / k);
  if (slot * k >= line_h + 2 && longest >= 3 * line_h) {
    plan.angle = -std::numbers::pi / 4;
    plan.max_width = static_cast<int>(longest);
    plan.height = std::ceil((longest + line_h) * k);
    return plan;
  }
  // Upright and thinned: every n-th label, each cut to the room it has.
  double cap = std::min(widest, std::max({slot, 0.3 * slot * rows, 5.0 * line_h}));
  plan.every = std::max(1, static_cast<int>(std::ceil((cap + spacing) / slot)));
  plan.max_width = static_cast<int>(std::max(8.0, plan.every * slot - spacing));
  plan.height = line_h;
  return plan;
}

void Painter::DrawCategories(const CategoryPlan& plan, const std::vector<double>& xs, double y,
                             double left_limit, double right_limit, const std::vector<double>& ys) {
  const FontState& font = s_.axes[kAxisX].label_font;
  for (std::size_t i = 0; i < xs.size(); i += static_cast<std::size_t>(plan.every)) {
    int r = static_cast<int>(i);
    if (i < ys.size()) y = ys[i];
    std::string_view label = grid_.RowLabel(r);
    if (label.empty()) continue;
    ShapedText t = Shape(font, label, Fit::kEllipsis, plan.max_width);
    double x = xs[i];
    Anchor anchor = Anchor::kTop;
    if (plan.angle == 0) {
      x = std::clamp(x, left_limit + t.width / 2.0, right_limit - t.width / 2.0);
    } else {
      anchor = Anchor::kRight;
      x += t.height * 0.35;
    }
    if (!TryDrawText(TextRole::kCategoryLabel, t, label, x,
                     plan.angle == 0 ? y : y + t.height * 0.2, anchor, plan.angle, font.color)) {
      continue;
    }
  }
}

void Painter::ValueAxisLabels(const Scale& scale, const Box& plot, const AxisState& a, Side side,
                              double max_label_width) {
  double last_y = 1e300;
  for (int i = 0; i <= scale.divisions; ++i) {
    double v = scale.TickValue(i);
    double y = ValueToY(scale, plot, v);
    std::string label = TickLabel(v, scale);
    ShapedText t = Shape(a.label_font, label, Fit::kEllipsis,
                         static_cast<int>(std::max(8.0, max_label_width)));
    if (std::fabs(last_y - y) < t.height + 1) continue;
    if (y - t.height / 2 < -0.5 || y + t.height / 2 > height_ + 0.5) continue;
    last_y = y;
    if (side == Side::kLeft) {
      HLine(plot.x - tick_, plot.x, y, kAxisColor);
      DrawText(TextRole::kValueLabel, t, label, plot.x - tick_ - 3, y, Anchor::kRight, 0,
               a.label_font.color);
    } else {
      HLine(plot.right(), plot.right() + tick_, y, kAxisColor);
      DrawText(TextRole::kValueLabel, t, label, plot.right() + tick_ + 3, y, Anchor::kLeft, 0,
               a.label_font.color);
    }
  }
}

// ---------------------------------------------------------------- 2-D charts

void Painter::Chart2D(Box area) {
  const AxisState& ax = s_.axes[kAxisX];
  const AxisState& ay = s_.axes[kAxisY];
  const AxisState& ay2 = s_.axes[kAxisY2];
  bool show_y = !ay.hidden;
  bool show_y2 = !ay2.hidden;
  bool show_x = !ax.hidden;
  int rows = grid_.rows();
  Zero zero = kind_ == Kind::kLine ? Zero::kOptional : Zero::kIncluded;
  DataRange range = ValueRange();

  Box r = area;
  AxisTitle xt = MeasureAxisTitle(ax, Side::kBottom, r.w);
  AxisTitle yt = MeasureAxisTitle(ay, Side::kLeft, r.h * 0.8);
  AxisTitle y2t = show_y2 ? MeasureAxisTitle(ay2, Side::kRight, r.h * 0.8) : AxisTitle{};
  // A horizontal value-axis title sits above its axis rather than beside it.
  bool yt_above = yt.present && yt.angle == 0 && ay.title_layout != kLayoutStacked;
  bool y2t_above = y2t.present && y2t.angle == 0 && ay2.title_layout != kLayoutStacked;
  double top = 0;
  if (yt_above) top = std::max(top, yt.block_h + gap_ / 2);
  if (y2t_above) top = std::max(top, y2t.block_h + gap_ / 2);
  double bottom_title = xt.present ? xt.block_h + gap_ / 2 : 0;
  double left_title = yt.present && !yt_above ? yt.block_w + gap_ / 2 : 0;
  double right_title = y2t.present && !y2t_above ? y2t.block_w + gap_ / 2 : 0;
  if (top + bottom_title > r.h * 0.5)
    top = bottom_title = 0, xt.present = yt_above ? (yt.present = false) : false;
  if (left_title + right_title > r.w * 0.4)
    left_title = right_title = 0, yt.present = y2t.present = false;

  Box body{r.x + left_title, r.y + top, r.w - left_title - right_title, r.h - top - bottom_title};
  double label_h = Shape(ay.label_font, "0").height;
  double cat_h = Shape(ax.label_font, "Ag").height;
  bool compact = body.w < 60 * ui_ || body.h < 40 * ui_;
  if (compact) show_x = show_y = show_y2 = false;

  Box plot = body;
  Scale scale;
  CategoryPlan plan;
  std::vector<double> xs(static_cast<std::size_t>(rows));
  // Category labels hang below the ticks and clear of the lowest value label.
  double cat_gap = std::max(tick_ + 2, (show_y || show_y2) ? std::ceil(label_h / 2) + 1 : 0.0);
  double xlab_h = show_x ? cat_h + cat_gap : 0;
  double y_over = (show_y || show_y2) ? std::ceil(label_h / 2) : 0;
  for (int pass = 0; pass < 3; ++pass) {
    plot.y = body.y + y_over;
    plot.h = body.h - y_over - xlab_h;
    if (plot.h < 8) {
      show_x = false;
      xlab_h = 0;
      plot.h = body.h - y_over;
    }
    int target = std::clamp(static_cast<int>(plot.h / (label_h * 2.2)), 2, 10);
    scale = ResolveScale(ay.scale, range, zero, target);
    layout_.value_scale = scale;
    layout_.has_value_scale = true;
    double yw = 0, y2w = 0;
    double max_lab = body.w * 0.25;
    if (show_y || show_y2)
      ChooseTickForm(scale, show_y ? ay.label_font : ay2.label_font, TickBudget());
    for (int i = 0; i <= scale.divisions && (show_y || show_y2); ++i) {
      std::string label = TickLabel(scale.TickValue(i), scale);
      if (show_y)
        yw = std::max<double>(
            yw, Shape(ay.label_font, label, Fit::kEllipsis, static_cast<int>(max_lab)).width);
      if (show_y2)
        y2w = std::max<double>(
            y2w, Shape(ay2.label_font, label, Fit::kEllipsis, static_cast<int>(max_lab)).width);
      if (i > 200) break;
    }
    double left = show_y ? yw + tick_ + 3 : 1;
    double right = show_y2 ? y2w + tick_ + 3 : std::max(1.0, gap_);
    plot.x = std::round(body.x + left);
    plot.w = std::round(body.right() - right) - plot.x;
    double slot = rows > 0 ? plot.w / rows : plot.w;
    for (int i = 0; i < rows; ++i) xs[static_cast<std::size_t>(i)] = plot.x + slot * (i + 0.5);
    if (!show_x) break;
    plan = PlanCategories(xs, slot, plot.x - area.x, body.h * 0.35);
    double need = plan.height + cat_gap;
    if (std::fabs(need - xlab_h) < 0.5) break;
    xlab_h = need;
  }
  plot.y = std::round(plot.y);
  plot.h = std::round(plot.h);
  if (plot.w < 2 || plot.h < 2) return;
  layout_.plot = plot;

  // Gridlines first, quiet, under the data.
  int grid_every = 1;
  double spacing = plot.h / std::max(1, scale.divisions);
  if (spacing < 4) grid_every = static_cast<int>(std::ceil(4 / std::max(spacing, 1e-9)));
  if (cr_) {
    for (int i = 0; i <= scale.divisions; i += grid_every) {
      double y = ValueToY(scale, plot, scale.TickValue(i));
      if (y > plot.y + 0.5 && y < plot.bottom() - 0.5) HLine(plot.x, plot.right(), y, kGridColor);
    }
  }
  {
    CairoSaved clip(cr_);
    if (cr_) {
      // Bars stop at the scale; the markers, line ends and edges of lines and
      // areas at its limits stay whole, so their clip leaves room for them.
      double pad = kind_ == Kind::kBar ? 1 : std::ceil(5 * line_);
      cairo_rectangle(cr_, plot.x - pad, plot.y - pad, plot.w + 2 * pad, plot.h + 2 * pad);
      cairo_clip(cr_);
    }
    switch (kind_) {
      case Kind::kLine:
        Lines2D(plot, scale);
        break;
      case Kind::kArea:
        Areas2D(plot, scale);
        break;
      default:
        Bars2D(plot, scale);
        break;
    }
  }
  // Axis lines over the data's edges; a zero line when zero lies inside.
  if (scale.minimum < 0 && scale.maximum > 0) {
    HLine(plot.x, plot.right(), ValueToY(scale, plot, 0), kZeroLineColor);
  }
  HLine(plot.x, plot.right() + 1, plot.bottom(), kAxisColor);
  VLine(plot.x, plot.y, plot.bottom() + 1, kAxisColor);
  if (show_y2) VLine(plot.right(), plot.y, plot.bottom() + 1, kAxisColor);
  if (show_y) ValueAxisLabels(scale, plot, ay, Side::kLeft, body.w * 0.25);
  if (show_y2) ValueAxisLabels(scale, plot, ay2, Side::kRight, body.w * 0.25);
  if (show_x && rows > 0) {
    double slot = plot.w / rows;
    if (slot >= 6) {
      for (int i = 0; i <= rows; ++i)
        VLine(plot.x + slot * i, plot.bottom(), plot.bottom() + tick_, kAxisColor);
    }
    DrawCategories(plan, xs, plot.bottom() + cat_gap, area.x, area.right());
  }
  DrawAxisTitle(xt, Side::kBottom, r.bottom(), plot.x, plot.right());
  if (yt.present) {
    if (yt_above) {
      DrawText(TextRole::kAxisTitle, yt.text, yt.str, std::max(r.x, plot.x - yt.block_w / 2), r.y,
               Anchor::kTopLeft, 0, yt.color);
    } else {
      DrawAxisTitle(yt, Side::kLeft, r.x, plot.y, plot.bottom());
    }
  }
  if (y2t.present) {
    if (y2t_above) {
      DrawText(TextRole::kAxisTitle, y2t.text, y2t.str,
               std::min(r.right(), plot.right() + y2t.block_w / 2), r.y, Anchor::kTopRight, 0,
               y2t.color);
    } else {
      DrawAxisTitle(y2t, Side::kRight, r.right(), plot.y, plot.bottom());
    }
  }
}

void Painter::Bars2D(const Box& plot, const Scale& scale) {
  if (!cr_ && !record_) return;
  int rows = grid_.rows(), cols = grid_.columns();
  if (rows == 0 || cols == 0) return;
  double slot = plot.w / rows;
  double group = slot * (s_.stacking ? 0.6 : 0.78);
  double bar = s_.stacking ? group : group / cols;
  double base = std::clamp(0.0, scale.minimum, scale.maximum);
  // Bars never overlap one another, so each series is filled, then edged, as
  // one path: a grid of many rows costs a few fills instead of one per bar.
  std::vector<std::vector<Box>> bars(static_cast<std::size_t>(cols));
  auto add_bar = [&](int r, int c, double value, double x0, double x1, double v0, double v1) {
    double ya = ValueToY(scale, plot, v0), yb = ValueToY(scale, plot, v1);
    double top = std::round(std::min(ya, yb)), bottom = std::round(std::max(ya, yb));
    double left = std::round(x0), right = std::round(x1);
    if (right - left < 1) right = left + 1;
    if (bottom - top < 1 && v1 != v0) bottom = top + 1;
    if (bottom <= top) return;
    if (record_) {
      // What the bar covers on screen: the plot clips bars beyond the scale.
      const double t = std::max(top, plot.y), b = std::min(bottom, plot.bottom());
      if (b > t) Record(r, c, value, {{left, t}, {right, t}, {right, b}, {left, b}});
    }
    if (cr_) bars[static_cast<std::size_t>(c)].push_back({left, top, right - left, bottom - top});
  };
  for (int r = 0; r < rows; ++r) {
    double gx = plot.x + slot * r + (slot - group) / 2;
    double pos = 0, neg = 0;
    for (int c = 0; c < cols; ++c) {
      auto v = grid_.at(r, c);
      if (!v) continue;
      if (s_.stacking) {
        double from = *v >= 0 ? pos : neg;
        double to = std::clamp(from + *v, -1e300, 1e300);
        (*v >= 0 ? pos : neg) = to;
        add_bar(r, c, *v, gx, gx + bar, from, to);
      } else {
        add_bar(r, c, *v, gx + bar * c, gx + bar * (c + 1), base, *v);
      }
    }
  }
  if (!cr_) return;
  for (int c = 0; c < cols; ++c) {
    const auto& list = bars[static_cast<std::size_t>(c)];
    if (list.empty()) continue;
    for (const Box& b : list) cairo_rectangle(cr_, b.x, b.y, b.w, b.h);
    SetColor(grid_.Fill(c));
    cairo_fill(cr_);
    double ew = grid_.EdgeWidth(c);
    double lw = ew > 0 ? ew * line_ : hair_;
    bool any = false;
    for (const Box& b : list) {
      if (b.w > 2 * lw && b.h > lw) {
        cairo_rectangle(cr_, b.x + lw / 2, b.y + lw / 2, b.w - lw, b.h - lw);
        any = true;
      }
    }
    if (any) StrokeEdge(grid_.EdgeColor(c), ew);
  }
}

void Painter::Lines2D(const Box& plot, const Scale& scale) {
  if (!cr_ && !record_) return;
  int rows = grid_.rows(), cols = grid_.columns();
  if (rows == 0 || cols == 0) return;
  auto values = Values();
  double slot = plot.w / rows;
  // Thumbnails keep a line of a whole pixel at least.
  double lw = std::max(1.0, 2 * line_);
  double marker = std::max(2.0, 3.5 * line_);
  RecordPoints(
      values, [&](int r) { return plot.x + slot * (r + 0.5); }, plot, scale, std::max(marker, 4.0));
  if (!cr_) return;
  bool markers = slot >= marker * 4;
  cairo_set_line_join(cr_, CAIRO_LINE_JOIN_ROUND);
  cairo_set_line_cap(cr_, CAIRO_LINE_CAP_ROUND);
  // More points than half-pixels: each pixel column draws the span of its
  // points (lowest to highest), which looks the same and strokes far less.
  bool dense = rows > 2 * plot.w;
  for (int c = 0; c < cols; ++c) {
    bool open = false;
    int bucket = 0;
    bool pending = false;
    double lo = 0, hi = 0;
    auto point = [&](double x, double y) {
      if (!open) {
        cairo_move_to(cr_, x, y);
        open = true;
      } else {
        cairo_line_to(cr_, x, y);
      }
    };
    auto flush = [&] {
      if (!pending) return;
      point(plot.x + bucket + 0.5, lo);
      if (hi != lo) point(plot.x + bucket + 0.5, hi);
      pending = false;
    };
    for (int r = 0; r < rows; ++r) {
      const auto& v = values[r][c];
      if (!v) {
        flush();
        open = false;
        continue;
      }
      double x = plot.x + slot * (r + 0.5), y = ValueToY(scale, plot, *v);
      if (!dense) {
        point(x, y);
        continue;
      }
      int b = static_cast<int>(std::floor(x - plot.x));
      if (pending && b != bucket) flush();
      if (!pending) {
        bucket = b;
        lo = hi = y;
        pending = true;
      } else {
        lo = std::min(lo, y);
        hi = std::max(hi, y);
      }
    }
    flush();
    cairo_set_line_width(cr_, lw);
    SetColor(grid_.Pen(c));
    cairo_stroke(cr_);
    // Markers show every point, and a point without neighbours at all.
    for (int r = 0; r < rows; ++r) {
      const auto& v = values[r][c];
      if (!v) continue;
      bool alone = (r == 0 || !values[r - 1][c]) && (r + 1 == rows || !values[r + 1][c]);
      if (!markers && !alone) continue;
      double x = plot.x + slot * (r + 0.5), y = ValueToY(scale, plot, *v);
      cairo_new_sub_path(cr_);
      cairo_arc(cr_, x, y, marker, 0, 2 * std::numbers::pi);
    }
    SetColor(grid_.Pen(c));
    cairo_fill(cr_);
  }
}

void Painter::Areas2D(const Box& plot, const Scale& scale) {
  if (!cr_ && !record_) return;
  int rows = grid_.rows(), cols = grid_.columns();
  if (rows == 0 || cols == 0) return;
  auto values = Values();
  double slot = plot.w / rows;
  RecordPoints(
      values, [&](int r) { return plot.x + slot * (r + 0.5); }, plot, scale, 4.0);
  if (!cr_) return;
  double base = std::clamp(0.0, scale.minimum, scale.maximum);
  auto x_of = [&](int r) {
    if (rows == 1) return r == 0 ? plot.x : plot.right();
    return plot.x + slot * (r + 0.5);
  };
  int points = rows == 1 ? 2 : rows;
  // Stacked areas fill between the previous series' top and their own.
  // Unstacked ones fill from the base, the larger series behind the smaller
  // and every fill translucent, with its top edged solid in its own colour,
  // so that no series hides another.
  std::vector<int> order(static_cast<std::size_t>(cols));
  for (int c = 0; c < cols; ++c) order[static_cast<std::size_t>(c)] = c;
  if (!s_.stacking) {
    order = SeriesByMass(rows, cols, base, [&](int r, int c) {
      return values[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)];
    });
  }
  // Unstacked: the fills first, then every top edge over all of them.
  std::vector<std::pair<int, std::vector<int>>> edges;
  for (int c : order) {
    auto top_of = [&](int i) {
      int r = rows == 1 ? 0 : i;
      const auto& v = values[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)];
      return v ? *v : (s_.stacking ? 0.0 : base);
    };
    auto bottom_of = [&](int i) {
      if (!s_.stacking || c == 0) return base;
      int r = rows == 1 ? 0 : i;
      const auto& v = values[static_cast<std::size_t>(r)][static_cast<std::size_t>(c - 1)];
      return v ? *v : base;
    };
    // More points than half-pixels: each pixel column keeps its highest
    // point, so the outline keeps its peaks with far fewer vertices.
    std::vector<int> keep;
    if (points > 2 * plot.w) {
      int bucket = -1;
      for (int i = 0; i < points; ++i) {
        int b = static_cast<int>(std::floor(x_of(i) - plot.x));
        if (b != bucket) {
          keep.push_back(i);
          bucket = b;
        } else if (top_of(i) > top_of(keep.back())) {
          keep.back() = i;
        }
      }
    } else {
      for (int i = 0; i < points; ++i) keep.push_back(i);
    }
    auto top_path = [&] {
      for (std::size_t k = 0; k < keep.size(); ++k) {
        double x = x_of(keep[k]), y = ValueToY(scale, plot, top_of(keep[k]));
        if (k == 0)
          cairo_move_to(cr_, x, y);
        else
          cairo_line_to(cr_, x, y);
      }
    };
    top_path();
    for (std::size_t k = keep.size(); k-- > 0;) {
      cairo_line_to(cr_, x_of(keep[k]), ValueToY(scale, plot, bottom_of(keep[k])));
    }
    cairo_close_path(cr_);
    cairo_set_line_join(cr_, CAIRO_LINE_JOIN_ROUND);
    double ew = grid_.EdgeWidth(c) > 0 ? std::min(grid_.EdgeWidth(c), 3.0) : 0;
    if (s_.stacking) {
      SetColor(grid_.Fill(c));
      cairo_fill_preserve(cr_);
      StrokeEdge(grid_.EdgeColor(c), ew);
      continue;
    }
    SetColor(grid_.Fill(c), kAreaAlpha);
    if (ew > 0) {
      cairo_fill_preserve(cr_);
      StrokeEdge(grid_.EdgeColor(c), ew);
    } else {
      cairo_fill(cr_);
    }
    edges.emplace_back(c, std::move(keep));
  }
  if (edges.empty()) return;
  cairo_set_line_cap(cr_, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_width(cr_, 2 * line_);
  for (const auto& [c, kept] : edges) {
    bool first = true;
    for (int i : kept) {
      int r = rows == 1 ? 0 : i;
      const auto& v = values[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)];
      double y = ValueToY(scale, plot, v ? *v : base);
      if (first)
        cairo_move_to(cr_, x_of(i), y);
      else
        cairo_line_to(cr_, x_of(i), y);
      first = false;
    }
    SetColor(grid_.Fill(c));
    cairo_stroke(cr_);
  }
}

// ---------------------------------------------------------------- pie

std::vector<Painter::SliceText> Painter::PlanSlices(int row, double total, double radius) {
  std::vector<SliceText> out;
  int cols = grid_.columns();
  const FontState& font = s_.axes[kAxisX].label_font;
  double angle = -std::numbers::pi / 2;
  for (int c = 0; c < cols; ++c) {
    auto v = grid_.at(row, c);
    if (!v || !(*v > 0)) continue;
    SliceText st;
    st.column = c;
    double share = std::min(*v, 1e300 / std::max(1, cols)) / total;
    st.sweep = share * 2 * std::numbers::pi;
    st.mid = angle + st.sweep / 2;
    angle += st.sweep;
    // Slices too thin to carry a label stay unlabelled rather than crowd.
    if (!(share >= 0.02) || radius < 12) continue;
    double percent = share * 100;
    st.text = FormatNumber(percent, percent < 10 && percent != std::round(percent) ? 1 : 0);
    st.text.push_back('%');
    st.shaped = Shape(font, st.text);
    if (st.shaped.width <= 0) continue;
    // Inside: the label's box at two thirds of the radius must lie within the
    // slice, judged by the arc's length there and the distance to the rim.
    double at = radius * 0.64;
    double diagonal = std::hypot(st.shaped.width, st.shaped.height);
    st.inside = st.sweep >= 2 * std::numbers::pi - 1e-9 ||
                (st.sweep * at >= diagonal + 2 && at + diagonal / 2 <= radius - 1 &&
                 at - diagonal / 2 >= 0);
    out.push_back(std::move(st));
  }
  return out;
}

void Painter::SliceLabels(int row, double total, double cx, double cy, double radius,
                          const Box& cell) {
  const FontState& font = s_.axes[kAxisX].label_font;
  for (const SliceText& st : PlanSlices(row, total, radius)) {
    int c = st.column;
    const ShapedText& t = st.shaped;
    const std::string& text = st.text;
    double ux = std::cos(st.mid), uy = std::sin(st.mid);
    if (st.inside) {
      double at = radius * 0.64;
      bool whole = st.sweep >= 2 * std::numbers::pi - 1e-9;
      Rgb fill = grid_.Fill(c);
      double luma = 0.299 * Channel(fill.r) + 0.587 * Channel(fill.g) + 0.114 * Channel(fill.b);
      Rgb ink = luma < 150 ? Rgb{255, 255, 255} : Rgb{30, 30, 30};
      TryDrawText(TextRole::kSliceLabel, t, text, whole ? cx : cx + ux * at,
                  whole ? cy : cy + uy * at, Anchor::kCenter, 0, ink);
      continue;
    }
    // Outside, beside the slice with a leader line from the rim, but only
    // where the label stays within its pie's cell.
    double reach = radius + gap_ * 1.5;
    double lx = cx + ux * reach, ly = cy + uy * reach;
    Anchor anchor = ux >= 0 ? Anchor::kLeft : Anchor::kRight;
    double tx = lx + (ux >= 0 ? 3 : -3);
    double left = ux >= 0 ? tx : tx - t.width;
    if (left < cell.x || left + t.width > cell.right() || ly - t.height / 2 < cell.y ||
        ly + t.height / 2 > cell.bottom()) {
      continue;
    }
    if (!TryDrawText(TextRole::kSliceLabel, t, text, tx, ly, anchor, 0, font.color)) continue;
    if (cr_) {
      SetColor(kAxisColor);
      cairo_set_line_width(cr_, hair_);
      cairo_move_to(cr_, cx + ux * (radius - 1), cy + uy * (radius - 1));
      cairo_line_to(cr_, lx, ly);
      cairo_stroke(cr_);
    }
  }
}

void Painter::Pie(Box area) {
  int rows = grid_.rows(), cols = grid_.columns();
  if (rows <= 0) return;
  const FontState& font = s_.axes[kAxisX].label_font;
  double label_h = Shape(font, "Ag").height;
  // The grid of pies with the largest radius.
  int best_cols = 1;
  double best_radius = -1;
  // Fewer lines of pies read better: another line must buy a tenth more radius.
  for (int gc = rows; gc >= 1; --gc) {
    int gr = (rows + gc - 1) / gc;
    double cw = area.w / gc, ch = area.h / gr - label_h - gap_ / 2;
    double radius = std::min(cw * 0.88, ch) / 2 - gap_ / 2;
    if (radius > best_radius * 1.1) {
      best_radius = radius;
      best_cols = gc;
    }
  }
  if (best_radius < 2) return;
  // Pies whose shares will not all fit inside their slices leave a ring of
  // room for the labels beside them.
  double ring = label_h + gap_ * 1.5;
  if (best_radius > 3 * ring) {
    bool outside = false;
    for (int r = 0; r < rows && !outside; ++r) {
      double total = 0;
      for (int c = 0; c < cols; ++c) {
        auto v = grid_.at(r, c);
        if (v && *v > 0) total += std::min(*v, 1e300 / std::max(1, cols));
      }
      if (!(total > 0)) continue;
      for (const SliceText& st : PlanSlices(r, total, best_radius - ring))
        outside = outside || !st.inside;
    }
    if (outside) best_radius -= ring;
  }
  int grid_rows = (rows + best_cols - 1) / best_cols;
  double cw = area.w / best_cols, ch = area.h / grid_rows;
  layout_.plot = area;
  for (int r = 0; r < rows; ++r) {
    int gx = r % best_cols, gy = r / best_cols;
    double cx = area.x + cw * (gx + 0.5);
    double cy = area.y + ch * gy + (ch - label_h - gap_ / 2) / 2;
    double radius = std::floor(best_radius);
    double total = 0;
    for (int c = 0; c < cols; ++c) {
      auto v = grid_.at(r, c);
      if (v && *v > 0) total += std::min(*v, 1e300 / std::max(1, cols));
    }
    if (record_ && total > 0) {
      double angle = -std::numbers::pi / 2;
      for (int c = 0; c < cols; ++c) {
        auto v = grid_.at(r, c);
        if (!v || !(*v > 0)) continue;
        double sweep = std::min(*v, 1e300 / std::max(1, cols)) / total * 2 * std::numbers::pi;
        if (!(sweep > 0)) continue;
        // The arc as a polygon of at most about 10 degrees a side.
        std::vector<Point> outline;
        const bool whole = sweep > 2 * std::numbers::pi - 1e-9;
        if (!whole) outline.push_back({cx, cy});
        const int steps = std::max(1, static_cast<int>(std::ceil(sweep / 0.17)));
        for (int i = 0; i <= steps; ++i) {
          const double a = angle + sweep * i / steps;
          outline.push_back({cx + radius * std::cos(a), cy + radius * std::sin(a)});
        }
        Record(r, c, *v, std::move(outline));
        angle += sweep;
      }
    }
    if (cr_) {
      cairo_new_path(cr_);
      if (!(total > 0)) {
        cairo_arc(cr_, cx, cy, radius, 0, 2 * std::numbers::pi);
        SetColor(kEmptyPieColor);
        cairo_set_line_width(cr_, hair_);
        cairo_stroke(cr_);
      } else {
        double angle = -std::numbers::pi / 2;
        for (int c = 0; c < cols; ++c) {
          auto v = grid_.at(r, c);
          if (!v || !(*v > 0)) continue;  // a slice of nothing or less takes no room
          double sweep = std::min(*v, 1e300 / std::max(1, cols)) / total * 2 * std::numbers::pi;
          if (!(sweep > 0)) continue;
          if (sweep > 2 * std::numbers::pi - 1e-9) {
            cairo_arc(cr_, cx, cy, radius, 0,
                      2 * std::numbers::pi);  // the whole pie: no radius drawn
          } else {
            cairo_move_to(cr_, cx, cy);
            cairo_arc(cr_, cx, cy, radius, angle, angle + sweep);
          }
          cairo_close_path(cr_);
          SetColor(grid_.Fill(c));
          cairo_fill_preserve(cr_);
          cairo_set_line_join(cr_, CAIRO_LINE_JOIN_ROUND);
          double ew = grid_.EdgeWidth(c);
          StrokeEdge(grid_.EdgeColor(c), std::min(ew, radius / 8));
          angle += sweep;
        }
      }
    }
    if (total > 0) {
      Box cell{area.x + cw * gx, area.y + ch * gy, cw, ch - label_h - gap_ / 2};
      SliceLabels(r, total, cx, cy, radius, cell);
    }
    std::string_view label = grid_.RowLabel(r);
    if (!label.empty() && !s_.axes[kAxisX].hidden) {
      ShapedText t = Shape(font, label, Fit::kEllipsis, static_cast<int>(std::max(8.0, cw - gap_)));
      TryDrawText(TextRole::kPieLabel, t, label, cx, cy + radius + gap_ / 2, Anchor::kTop, 0,
                  font.color);
    }
  }
}

}  // namespace detail

// ---------------------------------------------------------------- public

double LineScale(int width_px, int height_px) {
  double k = std::min(width_px / 576.0, height_px / 384.0);
  if (!std::isfinite(k)) return 1;
  return std::clamp(k, 0.25, 40.0);
}

int PixelsFromTwips(float twips) {
  double px = std::round(static_cast<double>(twips) / 15.0);
  if (!(px > 0) || !std::isfinite(px)) return 0;
  return static_cast<int>(std::min(px, 32767.0));
}

std::array<Point, 4> PlacedText::Corners() const {
  double c = std::cos(angle), s = std::sin(angle);
  double hw = width / 2, hh = height / 2;
  std::array<Point, 4> out;
  const double sx[4] = {-hw, hw, hw, -hw}, sy[4] = {-hh, -hh, hh, hh};
  for (int i = 0; i < 4; ++i)
    out[static_cast<std::size_t>(i)] = {cx + sx[i] * c - sy[i] * s, cy + sx[i] * s + sy[i] * c};
  return out;
}

bool Overlap(const PlacedText& a, const PlacedText& b) {
  // Separating axes of two rectangles: the two edge directions of each.
  auto ca = a.Corners(), cb = b.Corners();
  for (const PlacedText* t : {&a, &b}) {
    double c = std::cos(t->angle), s = std::sin(t->angle);
    const double axes[2][2] = {{c, s}, {-s, c}};
    for (const auto& axis : axes) {
      double amin = 1e300, amax = -1e300, bmin = 1e300, bmax = -1e300;
      for (const Point& p : ca) {
        double d = p.x * axis[0] + p.y * axis[1];
        amin = std::min(amin, d);
        amax = std::max(amax, d);
      }
      for (const Point& p : cb) {
        double d = p.x * axis[0] + p.y * axis[1];
        bmin = std::min(bmin, d);
        bmax = std::max(bmax, d);
      }
      if (amax <= bmin + 0.01 || bmax <= amin + 0.01) return false;
    }
  }
  return true;
}

int DotsPerInch(const ChartState& state) {
  return std::clamp<int>(state.resolution, kMinResolution, kMaxResolution);
}

double DeviceScale(const ChartState& state) {
  return DotsPerInch(state) / static_cast<double>(kBaseResolution);
}

float DeviceTwips(float twips, const ChartState& state) {
  if (state.resolution == kBaseResolution) return twips;
  return static_cast<float>(static_cast<double>(twips) * DeviceScale(state));
}

PixelSize ChartPixelSize(const ChartState& state) {
  return {PixelsFromTwips(DeviceTwips(state.width_twips, state)),
          PixelsFromTwips(DeviceTwips(state.height_twips, state))};
}

namespace {

// The size the painter lays out: the picture's over the device scale.
int LayoutPixels(int device_px, double scale) {
  return std::max(1, static_cast<int>(std::lround(device_px / scale)));
}

void ScaleLayout(ChartLayout& layout, double k) {
  if (k == 1) return;
  for (PlacedText& t : layout.texts) {
    t.cx *= k;
    t.cy *= k;
    t.width *= k;
    t.height *= k;
  }
  for (Box* b : {&layout.plot, &layout.legend}) *b = {b->x * k, b->y * k, b->w * k, b->h * k};
  for (DataShape& shape : layout.shapes)
    for (Point& p : shape.outline) p = {p.x * k, p.y * k};
}

}  // namespace

void PaintChartWithTextRuns(const ChartState& state, cairo_t* cr, int width_px, int height_px,
                            std::vector<TextRun>* texts) {
  if (!cr || width_px <= 0 || height_px <= 0 || cairo_status(cr) != CAIRO_STATUS_SUCCESS) return;
  const double k = DeviceScale(state);
  cairo_save(cr);
  if (k != 1) cairo_scale(cr, k, k);
  detail::Painter painter(state, cr, LayoutPixels(width_px, k), LayoutPixels(height_px, k));
  painter.text_runs_ = texts;
  painter.device_scale_ = k;
  painter.Run();
  cairo_restore(cr);
}

void PaintChart(const ChartState& state, cairo_t* cr, int width_px, int height_px) {
  PaintChartWithTextRuns(state, cr, width_px, height_px, nullptr);
}

ChartLayout LayoutChart(const ChartState& state, int width_px, int height_px, Shapes shapes) {
  if (width_px <= 0 || height_px <= 0) return {};
  const double k = DeviceScale(state);
  detail::Painter painter(state, nullptr, LayoutPixels(width_px, k), LayoutPixels(height_px, k));
  painter.record_ = shapes == Shapes::kRecorded;
  painter.Run();
  ChartLayout layout = std::move(painter.layout());
  ScaleLayout(layout, k);
  return layout;
}

}  // namespace qz::chart::render
