// The default series colours: the Okabe-Ito palette, told apart by readers
// with the common colour-vision deficiencies, ordered so that neighbouring
// series differ in lightness as well as hue.
#pragma once

#include <array>

#include "platform/chart/chart_state.h"

namespace qz::chart::render {

inline constexpr std::array<Rgb, 8> kDefaultPalette{{
    {0, 114, 178},    // blue
    {230, 159, 0},    // orange
    {0, 158, 115},    // bluish green
    {204, 121, 167},  // reddish purple
    {86, 180, 233},   // sky blue
    {213, 94, 0},     // vermillion
    {240, 228, 66},   // yellow
    {90, 90, 90},     // dark grey
}};

// The default colour of series `index` (0-based), cycling through the palette.
inline constexpr Rgb DefaultSeriesColor(int index) {
  int n = static_cast<int>(kDefaultPalette.size());
  return kDefaultPalette[static_cast<std::size_t>(((index % n) + n) % n)];
}

}  // namespace qz::chart::render
