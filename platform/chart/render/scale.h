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

// Number texts as chart readers expect them whatever the server's locale:
// thousands grouped with commas, a decimal point, and a true minus sign
// (U+2212) rather than a hyphen. Rounds to the given decimals (0 to 15);
// a value that rounds to zero loses its sign. Not finite gives "".
std::string FormatNumber(double value, int decimals);

// As few decimals as labels a step apart need to stay distinct (0 to 15).
int DecimalsForStep(double step);

// The label of a tick value on a scale, written in full: grouped digits with
// as few decimals as the step needs, exponent notation for magnitudes from
// 1e15 up or steps below 1e-5.
std::string FormatTick(double value, const Scale& scale);

// The same label shortened by a suffix (K thousands, M millions, B billions,
// T trillions: "12.5M"), for axes whose full labels would not fit. Scales
// below a thousand, or past the suffixes, read as FormatTick.
std::string FormatTickShort(double value, const Scale& scale);

}  // namespace qz::chart::render
