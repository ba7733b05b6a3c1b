// The 3-D charts: an orthographic view turned about the vertical axis by the
// engine's rotation and looking down at a fixed elevation. Solids are drawn
// back to front (painter's order by the depth of their footprint, then from
// the bottom up) with faces turned away from the viewer left out, and each
// face shaded by how squarely it meets a light from the upper left.
#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "platform/chart/render/paint_p.h"

namespace qz::chart::render::detail {
namespace {

constexpr double kElevation = 20 * std::numbers::pi / 180;
constexpr Rgb kWallColor{246, 246, 246};
constexpr Rgb kFloorColor{232, 232, 232};
constexpr Rgb kWallEdge{170, 170, 170};
constexpr Rgb kWallGrid{214, 214, 214};
constexpr Rgb kZeroPlane{120, 130, 140};
constexpr Rgb kZeroEdge{110, 110, 110};

struct V3 {
  double x = 0, y = 0, z = 0;
};
V3 operator-(V3 a, V3 b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}
V3 Cross(V3 a, V3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double Dot(V3 a, V3 b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}

struct Face {
  std::vector<V3> points;
  V3 normal;  // world, outward
  Rgb color;
  int series = 0;
  bool two_sided = false;
};

struct Solid {
  double depth = 0;  // of the footprint centre: larger is farther
  double height = 0;
  std::vector<Face> faces;
  // The cell the solid shows (a line or area segment: the cell it starts at).
  int row = -1, column = -1;
  double value = 0;
};

double CrossZ(Point o, Point a, Point b) {
  return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

// The convex hull of the points (monotone chain), counter-clockwise.
std::vector<Point> Hull(std::vector<Point> pts) {
  std::sort(pts.begin(), pts.end(),
            [](Point a, Point b) { return a.x < b.x || (a.x == b.x && a.y < b.y); });
  if (pts.size() < 3) return pts;
  std::vector<Point> hull(2 * pts.size());
  std::size_t k = 0;
  for (std::size_t i = 0; i < pts.size(); ++i) {
    while (k >= 2 && CrossZ(hull[k - 2], hull[k - 1], pts[i]) <= 0) --k;
    hull[k++] = pts[i];
  }
  for (std::size_t i = pts.size() - 1, t = k + 1; i > 0; --i) {
    while (k >= t && CrossZ(hull[k - 2], hull[k - 1], pts[i - 1]) <= 0) --k;
    hull[k++] = pts[i - 1];
  }
  hull.resize(k - 1);
  return hull;
}

class View {
 public:
  View(double rotation_deg, double extent_x, double extent_z)
      : cx_(extent_x / 2), cz_(extent_z / 2) {
    double t = std::isfinite(rotation_deg) ? std::fmod(rotation_deg, 360.0) : 30.0;
    t = t * std::numbers::pi / 180;
    ct_ = std::cos(t);
    st_ = std::sin(t);
    cp_ = std::cos(kElevation);
    sp_ = std::sin(kElevation);
  }
  // View coordinates: across the screen, up, and away from the viewer.
  void Turn(V3 p, double* across, double* away) const {
    double x = p.x - cx_, z = p.z - cz_;
    *across = x * ct_ + z * st_;
    *away = -x * st_ + z * ct_;
  }
  double Across(V3 p) const {
    double a, d;
    Turn(p, &a, &d);
    return a;
  }
  double Up(V3 p) const {
    double a, d;
    Turn(p, &a, &d);
    return p.y * cp_ + d * sp_;
  }
  double Away(V3 p) const {
    double a, d;
    Turn(p, &a, &d);
    return d;
  }
  bool Facing(V3 n) const {
    double nd = -n.x * st_ + n.z * ct_;
    return n.y * sp_ - nd * cp_ > 1e-9;
  }
  double Light(V3 n) const {
    double len = std::sqrt(Dot(n, n));
    if (!(len > 0)) return 0.8;
    double na = (n.x * ct_ + n.z * st_) / len, nd = (-n.x * st_ + n.z * ct_) / len, ny = n.y / len;
    // Light from the upper left, slightly in front.
    double l = -0.45 * na + 0.8 * ny - 0.4 * nd;
    return 0.62 + 0.38 * std::max(0.0, l / 1.0);
  }
  void Fit(const Box& target, const std::vector<V3>& corners) {
    double x0 = 1e300, x1 = -1e300, y0 = 1e300, y1 = -1e300;
    for (const V3& c : corners) {
      x0 = std::min(x0, Across(c));
      x1 = std::max(x1, Across(c));
      y0 = std::min(y0, Up(c));
      y1 = std::max(y1, Up(c));
    }
    double bw = std::max(x1 - x0, 1e-9), bh = std::max(y1 - y0, 1e-9);
    k_ = std::max(0.0, std::min(target.w / bw, target.h / bh));
    ox_ = target.x + (target.w - k_ * bw) / 2 - k_ * x0;
    oy_ = target.y + (target.h - k_ * bh) / 2 + k_ * y1;
  }
  Point Screen(V3 p) const { return {ox_ + k_ * Across(p), oy_ - k_ * Up(p)}; }
  double scale() const { return k_; }
  double sin_turn() const { return st_; }
  double cos_turn() const { return ct_; }

 private:
  double cx_, cz_, ct_ = 1, st_ = 0, cp_ = 1, sp_ = 0;
  double k_ = 1, ox_ = 0, oy_ = 0;
};

void AddBox(const View& view, Solid& s, V3 a, V3 b, Rgb color, int series) {
  double x0 = std::min(a.x, b.x), x1 = std::max(a.x, b.x);
  double y0 = std::min(a.y, b.y), y1 = std::max(a.y, b.y);
  double z0 = std::min(a.z, b.z), z1 = std::max(a.z, b.z);
  auto quad = [&](V3 p0, V3 p1, V3 p2, V3 p3, V3 n) {
    if (!view.Facing(n)) return;
    s.faces.push_back({{p0, p1, p2, p3}, n, color, series, false});
  };
  quad({x0, y0, z0}, {x1, y0, z0}, {x1, y1, z0}, {x0, y1, z0}, {0, 0, -1});
  quad({x0, y0, z1}, {x1, y0, z1}, {x1, y1, z1}, {x0, y1, z1}, {0, 0, 1});
  quad({x0, y0, z0}, {x0, y0, z1}, {x0, y1, z1}, {x0, y1, z0}, {-1, 0, 0});
  quad({x1, y0, z0}, {x1, y0, z1}, {x1, y1, z1}, {x1, y1, z0}, {1, 0, 0});
  quad({x0, y1, z0}, {x1, y1, z0}, {x1, y1, z1}, {x0, y1, z1}, {0, 1, 0});
  quad({x0, y0, z0}, {x1, y0, z0}, {x1, y0, z1}, {x0, y0, z1}, {0, -1, 0});
}

// A face of any polygon, its normal oriented along hint.
void AddFace(const View& view, Solid& s, std::vector<V3> pts, V3 hint, Rgb color, int series,
             bool two_sided) {
  if (pts.size() < 3) return;
  V3 n = Cross(pts[1] - pts[0], pts[pts.size() - 1] - pts[0]);
  if (Dot(n, n) < 1e-18) n = hint;
  if (Dot(n, hint) < 0) n = {-n.x, -n.y, -n.z};
  if (!two_sided && !view.Facing(n)) return;
  s.faces.push_back({std::move(pts), n, color, series, two_sided});
}

}  // namespace

void Chart3D(Painter& p, Box area) {
  const ChartState& s = p.s_;
  const Grid& g = p.grid_;
  int rows = g.rows(), cols = g.columns();
  Kind kind = p.kind();
  bool stacked = s.stacking && kind != Kind::kLine;
  int depth_rows = stacked ? 1 : std::max(1, cols);
  double extent_x = std::max(1, rows);
  double extent_z = depth_rows;
  double extent_y = 0.55 * std::max({extent_x, extent_z, 4.0});  // refitted below
  View view(s.rotation, extent_x, extent_z);

  const AxisState& ax = s.axes[kAxisX];
  const AxisState& ay = s.axes[kAxisY];
  const AxisState& az = s.axes[kAxisZ];
  Painter::AxisTitle xt = p.MeasureAxisTitle(ax, Painter::Side::kBottom, area.w);
  Painter::AxisTitle yt = p.MeasureAxisTitle(ay, Painter::Side::kLeft, area.h * 0.8);
  Painter::AxisTitle zt = p.MeasureAxisTitle(az, Painter::Side::kRight, area.h * 0.8);
  bool yt_above = yt.present && yt.angle == 0 && ay.title_layout != kLayoutStacked;
  bool zt_above = zt.present && zt.angle == 0 && az.title_layout != kLayoutStacked;
  double top = 0;
  if (yt_above) top = std::max(top, yt.block_h + p.gap_ / 2);
  if (zt_above) top = std::max(top, zt.block_h + p.gap_ / 2);
  double bottom = xt.present ? xt.block_h + p.gap_ / 2 : 0;
  double left = yt.present && !yt_above ? yt.block_w + p.gap_ / 2 : 0;
  double right = zt.present && !zt_above ? zt.block_w + p.gap_ / 2 : 0;
  if (top + bottom > area.h * 0.5)
    top = bottom = 0, xt.present = yt_above ? (yt.present = false) : false;
  if (left + right > area.w * 0.4) left = right = 0, yt.present = zt.present = false;
  Box body{area.x + left, area.y + top, area.w - left - right, area.h - top - bottom};

  bool compact = p.thumbnail_ || body.w < 70 * p.ui_ || body.h < 50 * p.ui_;
  bool show_x = !ax.hidden && !compact;
  bool show_y = !ay.hidden && !compact;
  bool show_z = !az.hidden && !compact && depth_rows > 1;

  Zero zero = kind == Kind::kLine ? Zero::kOptional : Zero::kIncluded;
  double label_h = p.Shape(ay.label_font, "0").height;
  int target = std::clamp(static_cast<int>(body.h * 0.55 / (label_h * 2.2)), 2, 8);
  Scale scale = ResolveScale(ay.scale, p.ValueRange(), zero, target);
  p.layout_.value_scale = scale;
  p.layout_.has_value_scale = true;
  double max_lab = body.w * 0.2;
  double vw = 0;
  if (show_y) p.ChooseTickForm(scale, ay.label_font, p.TickBudget());
  for (int i = 0; i <= scale.divisions && show_y && i <= 200; ++i) {
    vw = std::max<double>(vw, p.Shape(ay.label_font, p.TickLabel(scale.TickValue(i), scale),
                                      Fit::kEllipsis, static_cast<int>(max_lab))
                                  .width);
  }
  double zw = 0;
  for (int c = 0; c < cols && show_z; ++c) {
    zw = std::max<double>(
        zw,
        p.Shape(az.label_font, g.ColumnLabel(c), Fit::kEllipsis, static_cast<int>(max_lab)).width);
  }
  double cat_h = p.Shape(ax.label_font, "Ag").height;
  // Series labels run along the floor edge nearest the viewer; the value
  // labels go up the outermost vertical edge on the other side.
  double x_far = view.Away({0, 0, 0}) > view.Away({extent_x, 0, 0}) ? 0 : extent_x;
  double z_far = view.Away({0, 0, 0}) > view.Away({0, 0, extent_z}) ? 0 : extent_z;
  double x_near = x_far == 0 ? extent_x : 0;
  // Each series' row in depth: the series with the most to show stands at
  // the back and the smallest at the front, so that the front rows do not
  // hide the back ones. Stacked series share one row.
  std::vector<int> slot(static_cast<std::size_t>(cols), 0);
  if (!stacked) {
    const std::vector<int> order =
        SeriesByMass(rows, cols, 0.0, [&](int r, int c) { return g.at(r, c); });
    for (int rank = 0; rank < cols; ++rank) {
      slot[static_cast<std::size_t>(order[static_cast<std::size_t>(rank)])] =
          z_far == 0 ? rank : cols - 1 - rank;
    }
  }
  auto slot_of = [&](int c) { return static_cast<double>(slot[static_cast<std::size_t>(c)]); };
  bool series_left = view.Across({x_near, 0, 0}) < view.Across({x_far, 0, 0});
  double left_room = show_y && !series_left ? vw + p.gap_ : 0;
  double right_room = show_y && series_left ? vw + p.gap_ : 0;
  (series_left ? left_room : right_room) += show_z ? zw + p.gap_ : 0;
  Box fit = body;
  fit.x += left_room;
  fit.w -= left_room + right_room;
  fit.y += show_y ? std::ceil(label_h / 2) : 0;
  fit.h -= (show_y ? std::ceil(label_h / 2) : 0) + (show_x ? cat_h + p.gap_ : 0);
  if (fit.w < 4 || fit.h < 4) return;
  {
    // The value axis is as tall as makes the scene fill its box: a long row
    // of categories keeps the plot's size instead of shrinking into a strip.
    double lo = 1e300, hi = -1e300, west = 1e300, east = -1e300;
    for (V3 c : {V3{0, 0, 0}, V3{extent_x, 0, 0}, V3{0, 0, extent_z}, V3{extent_x, 0, extent_z}}) {
      lo = std::min(lo, view.Up(c));
      hi = std::max(hi, view.Up(c));
      west = std::min(west, view.Across(c));
      east = std::max(east, view.Across(c));
    }
    double floor_w = east - west, floor_h = hi - lo;
    double longest = std::max({extent_x, extent_z, 4.0});
    double fill = (fit.h / fit.w * floor_w - floor_h) / std::cos(kElevation);
    // Never lower than a short scene's usual proportion, so that a view
    // along the rows keeps its bars tall.
    double usual = 0.55 * std::max({std::min(extent_x, 12.0), extent_z, 4.0});
    if (std::isfinite(fill)) extent_y = std::clamp(fill, usual, std::max(usual, 0.75 * longest));
    extent_y = std::max(extent_y, 1.0);
  }
  std::vector<V3> corners;
  for (double x : {0.0, extent_x})
    for (double y : {0.0, extent_y})
      for (double z : {0.0, extent_z}) corners.push_back({x, y, z});
  view.Fit(fit, corners);
  p.layout_.plot = fit;

  auto to_y = [&](double v) {
    double t =
        v / (scale.maximum - scale.minimum) - scale.minimum / (scale.maximum - scale.minimum);
    if (!std::isfinite(t)) t = v > scale.maximum ? 1 : 0;
    return std::clamp(t, 0.0, 1.0) * extent_y;
  };
  cairo_t* cr = p.cr_;
  auto path = [&](const std::vector<V3>& pts) {
    for (std::size_t i = 0; i < pts.size(); ++i) {
      Point q = view.Screen(pts[i]);
      if (i == 0)
        cairo_move_to(cr, q.x, q.y);
      else
        cairo_line_to(cr, q.x, q.y);
    }
    cairo_close_path(cr);
  };

  // Floor and the two walls behind the scene, with the value gridlines.
  if (cr) {
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_set_line_width(cr, p.hair_);
    std::vector<V3> floor{{0, 0, 0}, {extent_x, 0, 0}, {extent_x, 0, extent_z}, {0, 0, extent_z}};
    std::vector<V3> back{
        {0, 0, z_far}, {extent_x, 0, z_far}, {extent_x, extent_y, z_far}, {0, extent_y, z_far}};
    std::vector<V3> side{
        {x_far, 0, 0}, {x_far, 0, extent_z}, {x_far, extent_y, extent_z}, {x_far, extent_y, 0}};
    for (const auto* wall : {&back, &side}) {
      path(*wall);
      p.SetColor(kWallColor);
      cairo_fill(cr);
    }
    path(floor);
    p.SetColor(kFloorColor);
    cairo_fill(cr);
    p.SetColor(kWallGrid);
    double last = -1e300;
    for (int i = 0; i <= scale.divisions; ++i) {
      double y = to_y(scale.TickValue(i));
      if (y - last < extent_y / 60) continue;
      last = y;
      Point a = view.Screen({0, y, z_far}), b = view.Screen({extent_x, y, z_far});
      Point c = view.Screen({x_far, y, 0}), d = view.Screen({x_far, y, extent_z});
      cairo_move_to(cr, a.x, a.y);
      cairo_line_to(cr, b.x, b.y);
      cairo_move_to(cr, c.x, c.y);
      cairo_line_to(cr, d.x, d.y);
    }
    cairo_stroke(cr);
    p.SetColor(kWallEdge);
    for (const auto* wall : {&back, &side, &floor}) {
      path(*wall);
      cairo_stroke(cr);
    }
    if (scale.minimum < 0 && scale.maximum > 0) {
      // Values of both signs: a tinted plane at zero, edged darker, which
      // bars rise from and hang below.
      double y = to_y(0);
      std::vector<V3> plane{{0, y, 0}, {extent_x, y, 0}, {extent_x, y, extent_z}, {0, y, extent_z}};
      path(plane);
      p.SetColor(kZeroPlane, 0.22);
      cairo_fill(cr);
      path(plane);
      p.SetColor(kZeroEdge);
      cairo_set_line_width(cr, 1.5 * p.hair_);
      cairo_stroke(cr);
      cairo_set_line_width(cr, p.hair_);
    }
  }

  // The solids.
  // A scene of more solids than a picture can tell apart shows every
  // stride-th row, each as wide as the rows it stands for.
  int stride =
      std::max(1, static_cast<int>(std::ceil(static_cast<double>(rows) * depth_rows / 3000.0)));
  std::vector<Solid> solids;
  auto values = p.Values();
  double base = to_y(std::clamp(0.0, scale.minimum, scale.maximum));
  auto solid_at = [&](double x, double z, double h) {
    Solid sd;
    sd.depth = view.Away({x, 0, z});
    sd.height = h;
    return sd;
  };
  if (kind == Kind::kBar || kind == Kind::kStep) {
    // Bars leave wide lanes between rows, through which the back rows show.
    double inset = kind == Kind::kBar ? 0.22 : 0.0;
    double zin = kind == Kind::kBar ? (stacked ? 0.2 : 0.27) : 0.15;
    for (int r = 0; r < rows; r += stride) {
      double pos = 0, neg = 0;
      for (int c = 0; c < cols; ++c) {
        auto v = g.at(r, c);
        if (!v) continue;
        double from = 0, to = *v;
        if (stacked) {
          double& acc = *v >= 0 ? pos : neg;
          from = acc;
          acc = std::clamp(acc + *v, -1e300, 1e300);
          to = acc;
        } else {
          from = std::clamp(0.0, scale.minimum, scale.maximum);
        }
        double y0 = to_y(from), y1 = to_y(to);
        if (std::fabs(y1 - y0) < 1e-9) continue;
        double z0 = slot_of(c) + zin, z1 = (stacked ? 1 : slot_of(c) + 1) - zin;
        double span = std::min(stride, rows - r);
        Solid sd = solid_at(r + span / 2, (z0 + z1) / 2, std::min(y0, y1));
        sd.row = r;
        sd.column = c;
        sd.value = *v;
        AddBox(view, sd, {r + inset * span, y0, z0}, {r + span - inset * span, y1, z1}, g.Fill(c),
               c);
        solids.push_back(std::move(sd));
      }
    }
  } else if (kind == Kind::kLine) {
    // Ribbons: each series a band of one on-screen thickness at its row's
    // depth, back row first, so that steep and flat stretches read alike.
    double band = std::clamp(view.scale() * 0.22, 3 * p.line_, 9 * p.line_);
    std::vector<int> back_first(static_cast<std::size_t>(cols));
    for (int c = 0; c < cols; ++c) back_first[static_cast<std::size_t>(c)] = c;
    std::stable_sort(back_first.begin(), back_first.end(), [&](int a, int b) {
      return view.Away({0, 0, slot_of(a) + 0.5}) > view.Away({0, 0, slot_of(b) + 0.5});
    });
    if (cr) {
      cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
      cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    }
    // Each point's shape for an image map: a square a little wider than the
    // band, so that a thin ribbon still has a target to point at.
    const double half = std::max(band, 8.0) / 2;
    for (int c : back_first) {
      double z = slot_of(c) + 0.5;
      bool open = false;
      for (int r = 0; r < rows; r += stride) {
        const auto& v = values[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)];
        if (!v) {
          open = false;
          continue;
        }
        Point q = view.Screen({r + 0.5, to_y(*v), z});
        p.Record(r, c, g.at(r, c).value_or(*v),
                 {{q.x - half, q.y - half},
                  {q.x + half, q.y - half},
                  {q.x + half, q.y + half},
                  {q.x - half, q.y + half}});
        if (!cr) continue;
        if (!open) {
          cairo_move_to(cr, q.x, q.y);
          open = true;
        }
        cairo_line_to(cr, q.x, q.y);  // a lone point still draws as a dot
      }
      if (!cr) continue;
      // A darker rim under the band gives it an edge against the walls.
      p.SetShade(g.Pen(c), 0.7);
      cairo_set_line_width(cr, band + 2 * p.line_);
      cairo_stroke_preserve(cr);
      p.SetColor(g.Pen(c));
      cairo_set_line_width(cr, band);
      cairo_stroke(cr);
    }
  } else {  // areas
    int points = rows == 1 ? 2 : rows;
    auto x_of = [&](int i) { return rows == 1 ? (i == 0 ? 0.0 : 1.0) : i + 0.5; };
    for (int c = 0; c < cols; ++c) {
      double z0 = slot_of(c) + 0.15, z1 = (stacked ? 1 : slot_of(c) + 1) - 0.15;
      auto top_of = [&](int i) {
        const auto& v =
            values[static_cast<std::size_t>(rows == 1 ? 0 : i)][static_cast<std::size_t>(c)];
        return v ? to_y(*v) : base;
      };
      auto bottom_of = [&](int i) {
        if (!stacked || c == 0) return base;
        const auto& v =
            values[static_cast<std::size_t>(rows == 1 ? 0 : i)][static_cast<std::size_t>(c - 1)];
        return v ? to_y(*v) : base;
      };
      for (int i = 0; i + 1 < points; i += stride) {
        int j = std::min(i + stride, points - 1);
        double xa = x_of(i), xb = x_of(j);
        double ta = top_of(i), tb = top_of(j), ba = bottom_of(i), bb = bottom_of(j);
        Solid sd = solid_at((xa + xb) / 2, (z0 + z1) / 2, std::min({ta, tb, ba, bb}));
        if (auto cell = g.at(rows == 1 ? 0 : i, c)) {
          sd.row = rows == 1 ? 0 : i;
          sd.column = c;
          sd.value = *cell;
        }
        Rgb col = g.Fill(c);
        double up = (ta + tb) >= (ba + bb) ? 1 : -1;
        AddFace(view, sd, {{xa, ba, z0}, {xb, bb, z0}, {xb, tb, z0}, {xa, ta, z0}}, {0, 0, -1}, col,
                c, false);
        AddFace(view, sd, {{xa, ba, z1}, {xb, bb, z1}, {xb, tb, z1}, {xa, ta, z1}}, {0, 0, 1}, col,
                c, false);
        AddFace(view, sd, {{xa, ta, z0}, {xb, tb, z0}, {xb, tb, z1}, {xa, ta, z1}}, {0, up, 0}, col,
                c, false);
        AddFace(view, sd, {{xa, ba, z0}, {xb, bb, z0}, {xb, bb, z1}, {xa, ba, z1}}, {0, -up, 0},
                col, c, false);
        if (i == 0)
          AddFace(view, sd, {{xa, ba, z0}, {xa, ta, z0}, {xa, ta, z1}, {xa, ba, z1}}, {-1, 0, 0},
                  col, c, false);
        if (j + 1 == points)
          AddFace(view, sd, {{xb, bb, z0}, {xb, tb, z0}, {xb, tb, z1}, {xb, bb, z1}}, {1, 0, 0},
                  col, c, false);
        solids.push_back(std::move(sd));
      }
    }
  }
  std::stable_sort(solids.begin(), solids.end(), [](const Solid& a, const Solid& b) {
    if (std::fabs(a.depth - b.depth) > 1e-6) return a.depth > b.depth;
    return a.height < b.height;
  });
  if (p.record_) {
    for (const Solid& sd : solids) {
      if (sd.row < 0) continue;
      std::vector<Point> pts;
      for (const Face& f : sd.faces)
        for (const V3& v : f.points) pts.push_back(view.Screen(v));
      p.Record(sd.row, sd.column, sd.value, Hull(std::move(pts)));
    }
  }
  if (cr) {
    for (const Solid& sd : solids) {
      for (const Face& f : sd.faces) {
        path(f.points);
        p.SetShade(f.color, view.Light(f.normal));
        double ew = g.EdgeWidth(f.series);
        if (kind == Kind::kArea) {
          // Segments of one slab join without a seam: no edge between them.
          cairo_fill_preserve(cr);
          cairo_set_line_width(cr, 0.8 * p.line_);
          cairo_stroke(cr);
        } else if (kind == Kind::kLine) {
          cairo_fill_preserve(cr);
          p.SetShade(f.color, 0.7);
          cairo_set_line_width(cr, p.line_);
          cairo_stroke(cr);
        } else {
          cairo_fill_preserve(cr);
          p.StrokeEdge(g.EdgeColor(f.series), ew > 0 ? std::min(ew, 2.0) : 0);
        }
      }
    }
  }

  // Labels: values up the leftmost vertical edge, categories under the
  // front edge, series along the side edge nearest the viewer.
  if (show_y) {
    V3 left_edge{0, 0, 0};
    double best = 1e300;
    double side =
        series_left ? -1 : 1;  // look for the rightmost edge when the series take the left
    for (double x : {0.0, extent_x}) {
      for (double z : {0.0, extent_z}) {
        double sx = side * view.Screen({x, 0, z}).x;
        if (sx < best) best = sx, left_edge = {x, 0, z};
      }
    }
    double last_y = 1e300;
    for (int i = 0; i <= scale.divisions; ++i) {
      double v = scale.TickValue(i);
      Point q = view.Screen({left_edge.x, to_y(v), left_edge.z});
      std::string label = p.TickLabel(v, scale);
      ShapedText t =
          p.Shape(ay.label_font, label, Fit::kEllipsis, static_cast<int>(std::max(8.0, max_lab)));
      if (std::fabs(last_y - q.y) < t.height + 1) continue;
      last_y = q.y;
      if (series_left) {
        p.HLine(q.x, q.x + p.tick_, q.y, {96, 96, 96});
        p.DrawText(TextRole::kValueLabel, t, label, q.x + p.tick_ + 3, q.y, Anchor::kLeft, 0,
                   ay.label_font.color);
      } else {
        p.HLine(q.x - p.tick_, q.x, q.y, {96, 96, 96});
        p.DrawText(TextRole::kValueLabel, t, label, q.x - p.tick_ - 3, q.y, Anchor::kRight, 0,
                   ay.label_font.color);
      }
    }
  }
  if (show_x && rows > 0) {
    double z_near = z_far == 0 ? extent_z : 0;
    std::vector<double> xs, ys;
    for (int r = 0; r < rows; ++r) {
      Point q = view.Screen({r + 0.5, 0, z_near});
      xs.push_back(q.x);
      ys.push_back(q.y + p.gap_ / 2);
    }
    double spacing = rows > 1 ? std::fabs(xs[1] - xs[0]) : fit.w;
    Painter::CategoryPlan plan = p.PlanCategories(xs, std::max(1.0, spacing), 0, 0);
    p.DrawCategories(plan, xs, 0, area.x, area.right(), ys);
  }
  if (show_z) {
    // Series labels along the side edge. Rows closer than a label's height
    // spread their labels apart, each joined to its row by a short leader;
    // only when the spread would not fit beside the scene are they thinned,
    // as category labels are. A label in the way of another text moves out
    // from the scene rather than being dropped.
    bool on_right = !series_left;
    double line = p.Shape(az.label_font, "Ag").height + 1;
    std::vector<int> by_slot(static_cast<std::size_t>(depth_rows), -1);
    for (int c = 0; c < cols; ++c)
      by_slot[static_cast<std::size_t>(slot[static_cast<std::size_t>(c)])] = c;
    int every =
        std::max(1, static_cast<int>(std::ceil(depth_rows * line / std::max(fit.h * 0.8, line))));
    struct Entry {
      int column;
      Point at;  // the row's point on the edge
      double y;  // where its label stands
    };
    std::vector<Entry> entries;
    for (int k = 0; k < depth_rows; k += every) {
      int c = by_slot[static_cast<std::size_t>(k)];
      if (c < 0 || g.ColumnLabel(c).empty()) continue;
      Point q = view.Screen({x_near, 0, k + 0.5});
      entries.push_back({c, q, q.y});
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.at.y < b.at.y; });
    bool spread = false;
    for (std::size_t i = 1; i < entries.size(); ++i)
      spread = spread || entries[i].at.y - entries[i - 1].at.y < line;
    if (spread) {
      double mean = 0;
      for (const Entry& e : entries) mean += e.at.y / static_cast<double>(entries.size());
      double first = mean - line * (static_cast<double>(entries.size()) - 1) / 2;
      first = std::clamp(first, line / 2,
                         std::max(line / 2, p.height_ - line / 2 - line * (entries.size() - 1)));
      for (std::size_t i = 0; i < entries.size(); ++i)
        entries[i].y = first + line * static_cast<double>(i);
    }
    double lead = spread ? 3 * p.gap_ : p.gap_;
    for (const Entry& e : entries) {
      std::string_view label = g.ColumnLabel(e.column);
      ShapedText t =
          p.Shape(az.label_font, label, Fit::kEllipsis, static_cast<int>(std::max(8.0, max_lab)));
      for (int step = 0; step < 4; ++step) {
        double dx = lead + step * line;
        double x = on_right ? e.at.x + dx : e.at.x - dx;
        if (!p.TryDrawText(TextRole::kSeriesLabel, t, label, x, e.y,
                           on_right ? Anchor::kLeft : Anchor::kRight, 0, az.label_font.color)) {
          continue;
        }
        if (spread && cr) {
          p.SetColor(kWallEdge);
          cairo_set_line_width(cr, p.hair_);
          cairo_move_to(cr, e.at.x + (on_right ? 2 : -2), e.at.y);
          cairo_line_to(cr, x + (on_right ? -2 : 2), e.y);
          cairo_stroke(cr);
        }
        break;
      }
    }
  }
  // Axis titles beside what they name: the X title under the category
  // labels, the value and series titles just outside their labels.
  auto extent_of = [&](TextRole role, double* x0, double* y0, double* x1, double* y1) {
    bool any = false;
    *x0 = *y0 = 1e300;
    *x1 = *y1 = -1e300;
    for (const PlacedText& t : p.layout_.texts) {
      if (t.role != role) continue;
      for (const Point& c : t.Corners()) {
        *x0 = std::min(*x0, c.x);
        *x1 = std::max(*x1, c.x);
        *y0 = std::min(*y0, c.y);
        *y1 = std::max(*y1, c.y);
      }
      any = true;
    }
    return any;
  };
  double x0, y0, x1, y1;
  if (xt.present) {
    double front_a = view.Screen({0, 0, z_far == 0 ? extent_z : 0}).x;
    double front_b = view.Screen({extent_x, 0, z_far == 0 ? extent_z : 0}).x;
    double lo = std::min(front_a, front_b), hi = std::max(front_a, front_b);
    double under = fit.bottom() + p.gap_ / 2;
    if (extent_of(TextRole::kCategoryLabel, &x0, &y0, &x1, &y1)) {
      lo = std::max(lo, x0);
      hi = std::min(hi, x1);
      if (lo > hi) lo = hi = (x0 + x1) / 2;
    }
    double mid = std::clamp((lo + hi) / 2, area.x + xt.block_w / 2, area.right() - xt.block_w / 2);
    // Just under the labels that stand above the title's own span: on a
    // turned floor the labels descend along it, and the title follows.
    bool any = false;
    for (const PlacedText& t : p.layout_.texts) {
      if (t.role != TextRole::kCategoryLabel) continue;
      double a0 = 1e300, a1 = -1e300, bottom_y = -1e300;
      for (const Point& c : t.Corners()) {
        a0 = std::min(a0, c.x);
        a1 = std::max(a1, c.x);
        bottom_y = std::max(bottom_y, c.y);
      }
      if (a1 < mid - xt.block_w / 2 - p.gap_ || a0 > mid + xt.block_w / 2 + p.gap_) continue;
      under = any ? std::max(under, bottom_y + p.gap_ / 2) : bottom_y + p.gap_ / 2;
      any = true;
    }
    double edge = std::min(area.bottom(), under + xt.block_h);
    p.DrawAxisTitle(xt, Painter::Side::kBottom, edge, mid, mid);
  }
  double value_lo = view.Screen({0, extent_y, 0}).y, value_hi = view.Screen({0, 0, 0}).y;
  if (yt.present) {
    if (yt_above) {
      p.DrawText(TextRole::kAxisTitle, yt.text, yt.str, area.x, area.y, Anchor::kTopLeft, 0,
                 yt.color);
    } else {
      double edge = area.x;
      bool labels = extent_of(TextRole::kValueLabel, &x0, &y0, &x1, &y1);
      if (labels) {
        value_lo = y0;
        value_hi = y1;
      }
      if (labels && !series_left) edge = std::max(area.x, x0 - p.gap_ / 2 - yt.block_w);
      p.DrawAxisTitle(yt, Painter::Side::kLeft, edge, value_lo, value_hi);
    }
  }
  if (zt.present) {
    if (zt_above) {
      p.DrawText(TextRole::kAxisTitle, zt.text, zt.str, area.right(), area.y, Anchor::kTopRight, 0,
                 zt.color);
    } else {
      double edge = area.right();
      double lo = fit.y, hi = fit.bottom();
      if (extent_of(TextRole::kSeriesLabel, &x0, &y0, &x1, &y1)) {
        if (!series_left) edge = std::min(area.right(), x1 + p.gap_ / 2 + zt.block_w);
        lo = y0;
        hi = y1;
      }
      p.DrawAxisTitle(zt, Painter::Side::kRight, edge, lo, hi);
    }
  }
}

}  // namespace qz::chart::render::detail
