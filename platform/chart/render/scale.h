// Value scales of the chart renderer: "nice" automatic ranges and the
// sanitising of manual ones, and the text of tick labels.
#pragma once

#include <string>

#include "platform/chart/chart_state.h"

namespace qz::chart::render {

// A finite scale from minimum to maximum (minimum < maximum) with ticks at
// minimum + i * step for i in 0..divisions.
struct Scale {
  double minimum = 0;
  double maximum = 1;
  double step = 0.2;
  int divisions = 5;
  // False when the last tick falls short of the maximum (round steps on a
  // manual range that is not a whole number of them).
  bool ends_at_maximum = true;

  double TickValue(int i) const;
};

enum class Zero { kOptional, kIncluded };

// The range of the data, lo <= hi, both finite (NaN and infinities are
// never passed: the caller skips them).
struct DataRange {
  bool any = false;
  double lo = 0, hi = 0;
  void Add(double v);
};

// A round scale covering the data with about target_divisions steps of 1, 2,
// 2.5 or 5 times a power of ten. Zero is included when asked for (bars,
// areas). Empty data gives 0..1 (or 0..100 scaled down for small targets).
Scale AutoScale(const DataRange& data, Zero zero, int target_divisions);

// The scale of a value axis: automatic, or the engine's manual minimum,
// maximum and division count made usable (limits swapped when reversed,
// widened when equal, non-finite ones replaced by the automatic ones, and a
// division count of 0 or below replaced by a round step).
Scale ResolveScale(const ValueScaleState& state, const DataRange& data, Zero zero,
                   int target_divisions);

// The label of a tick value on a scale: as few decimals as the step needs,
// exponent notation for very large or very small magnitudes.
std::string FormatTick(double value, const Scale& scale);

}  // namespace qz::chart::render
