#include "platform/chart/render/scale.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace qz::chart::render {
namespace {

// Larger magnitudes are pulled in so that differences and steps stay finite.
constexpr double kLimit = 1e300;

double Clamp(double v) {
  return std::clamp(v, -kLimit, kLimit);
}

// The smallest round step (1, 2, 2.5, 5 x 10^k) at least raw.
double NiceStep(double raw) {
  if (!(raw > 0) || !std::isfinite(raw)) return 1;
  double exponent = std::floor(std::log10(raw));
  double magnitude = std::pow(10.0, exponent);
  if (!(magnitude > 0) || !std::isfinite(magnitude)) return raw;
  double norm = raw / magnitude;
  double nice = norm <= 1 ? 1 : norm <= 2 ? 2 : norm <= 2.5 ? 2.5 : norm <= 5 ? 5 : 10;
  double step = nice * magnitude;
  return std::isfinite(step) && step > 0 ? step : raw;
}

Scale FromRange(double lo, double hi, int target) {
  target = std::clamp(target, 1, 20);
  // Divide before subtracting so that -1e300..1e300 does not overflow.
  double raw = hi / target - lo / target;
  double step = NiceStep(raw);
  Scale s;
  s.minimum = std::floor(lo / step) * step;
  s.maximum = std::ceil(hi / step) * step;
  if (!std::isfinite(s.minimum) || !std::isfinite(s.maximum) || !(s.minimum < s.maximum)) {
    s.minimum = lo;
    s.maximum = hi;
    step = hi / target - lo / target;
  }
  double count = std::round(s.maximum / step - s.minimum / step);
  if (!(count >= 1) || count > 1000) {
    count = target;
    step = s.maximum / target - s.minimum / target;
  }
  s.step = step;
  s.divisions = static_cast<int>(count);
  return s;
}

// Widens an empty range around its value.
void Widen(double& lo, double& hi) {
  if (lo < hi) return;
  double v = lo;
  if (v == 0) {
    lo = 0;
    hi = 1;
  } else {
    double pad = std::fabs(v) * 0.1;
    lo = v - pad;
    hi = v + pad;
    if (!(lo < hi)) {  // denormal neighbourhood
      lo = v < 0 ? v : 0;
      hi = v < 0 ? 0 : v;
    }
  }
}

}  // namespace

double Scale::TickValue(int i) const {
  if (i >= divisions && ends_at_maximum) return maximum;
  double v = minimum + step * i;
  // Snap the rounding noise of a tick at zero.
  if (std::fabs(v) < std::fabs(step) * 1e-9) v = 0;
  return v;
}

void DataRange::Add(double v) {
  if (!std::isfinite(v)) return;
  v = Clamp(v);
  if (!any) {
    lo = hi = v;
    any = true;
  } else {
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
}

Scale AutoScale(const DataRange& data, Zero zero, int target_divisions) {
  double lo = data.any ? data.lo : 0;
  double hi = data.any ? data.hi : 1;
  if (zero == Zero::kIncluded) {
    lo = std::min(lo, 0.0);
    hi = std::max(hi, 0.0);
  } else if (lo > 0 && hi > 0 && lo < hi * 0.5) {
    lo = 0;  // data well away from zero keeps zero in view all the same
  }
  Widen(lo, hi);
  return FromRange(lo, hi, target_divisions);
}

Scale ResolveScale(const ValueScaleState& state, const DataRange& data, Zero zero,
                   int target_divisions) {
  if (state.automatic) return AutoScale(data, zero, target_divisions);
  Scale automatic = AutoScale(data, zero, target_divisions);
  double lo = std::isfinite(state.minimum) ? Clamp(state.minimum) : automatic.minimum;
  double hi = std::isfinite(state.maximum) ? Clamp(state.maximum) : automatic.maximum;
  if (lo > hi) std::swap(lo, hi);
  Widen(lo, hi);
  Scale s;
  s.minimum = lo;
  s.maximum = hi;
  int divisions = state.major_division;
  if (divisions <= 0) {
    double step = NiceStep(hi / target_divisions - lo / target_divisions);
    double count = std::floor(hi / step - lo / step + 1e-9);
    if (!(count >= 1) || count > 1000) {
      s.divisions = std::max(1, target_divisions);
      s.step = hi / s.divisions - lo / s.divisions;
    } else {
      // Ticks at round values from the minimum; the plot's top edge marks
      // a maximum that falls between two of them.
      s.step = step;
      s.divisions = static_cast<int>(count);
      s.ends_at_maximum = std::fabs(s.minimum + s.step * s.divisions - s.maximum) <= s.step * 1e-9;
    }
  } else {
    s.divisions = std::min(divisions, 1000);
    s.step = hi / s.divisions - lo / s.divisions;
  }
  if (!(s.step > 0) || !std::isfinite(s.step)) {
    s.divisions = 1;
    s.step = hi - lo;
  }
  return s;
}

namespace {

constexpr std::string_view kMinus = "\u2212";

// "%g" and "%e" texts with the true minus sign.
std::string WithMinus(const char* text) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    if (*p == '-')
      out.append(kMinus);
    else
      out.push_back(*p);
  }
  return out;
}

std::string Exponent(double value, const Scale& scale) {
  double magnitude = std::max(std::fabs(scale.minimum), std::fabs(scale.maximum));
  double step = std::fabs(scale.step);
  // Enough significant digits to tell neighbouring ticks apart.
  int digits = 1;
  if (step > 0 && magnitude > 0) {
    digits = static_cast<int>(std::floor(std::log10(magnitude)) - std::floor(std::log10(step))) + 2;
  }
  digits = std::clamp(digits, 1, 15);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*g", digits, value);
  return WithMinus(buf);
}

bool NeedsExponent(const Scale& scale) {
  double magnitude = std::max(std::fabs(scale.minimum), std::fabs(scale.maximum));
  double step = std::fabs(scale.step);
  return magnitude >= 1e15 || (step > 0 && step < 1e-5);
}

}  // namespace

std::string FormatNumber(double value, int decimals) {
  if (!std::isfinite(value)) return "";
  decimals = std::clamp(decimals, 0, 15);
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, std::fabs(value));
  std::string_view digits(buf);
  std::size_t point = digits.find('.');
  std::string_view whole = digits.substr(0, point);
  bool zero = digits.find_first_not_of("0.") == std::string_view::npos;
  std::string out;
  out.reserve(digits.size() + digits.size() / 3 + 4);
  if (value < 0 && !zero) out.append(kMinus);
  for (std::size_t i = 0; i < whole.size(); ++i) {
    if (i > 0 && (whole.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(whole[i]);
  }
  if (point != std::string_view::npos) out.append(digits.substr(point));
  return out;
}

int DecimalsForStep(double step) {
  step = std::fabs(step);
  if (!(step > 0) || !std::isfinite(step)) return 0;
  int decimals = 0;
  if (step < 1) decimals = static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
  // A step of 2.5 x 10^k needs one decimal more than its power.
  for (; decimals < 15; ++decimals) {
    double scaled = step * std::pow(10.0, decimals);
    if (std::fabs(scaled - std::round(scaled)) <= 1e-6 * std::max(1.0, scaled)) break;
  }
  return decimals;
}

std::string FormatTick(double value, const Scale& scale) {
  if (!std::isfinite(value)) return "";
  if (value == 0) return "0";
  if (NeedsExponent(scale)) return Exponent(value, scale);
  return FormatNumber(value, DecimalsForStep(scale.step));
}

std::string FormatTickShort(double value, const Scale& scale) {
  if (!std::isfinite(value)) return "";
  if (value == 0) return "0";
  double magnitude = std::max(std::fabs(scale.minimum), std::fabs(scale.maximum));
  if (NeedsExponent(scale) || magnitude < 1000) return FormatTick(value, scale);
  static constexpr const char* kSuffixes[] = {"K", "M", "B", "T"};
  int group = std::clamp(static_cast<int>(std::floor(std::log10(magnitude) / 3)), 1, 4);
  double unit = std::pow(1000.0, group);
  std::string out = FormatNumber(value / unit, DecimalsForStep(scale.step / unit));
  out.append(kSuffixes[group - 1]);
  return out;
}

}  // namespace qz::chart::render
