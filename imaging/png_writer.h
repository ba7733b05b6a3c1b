// The PNG encoder of the render road: a cDIBSection (24-bit, bottom-up, blue
// green red) as a lossless PNG, tuned for charts.
//
// Charts are flat colours with anti-aliased edges and text, so most of them
// hold a few hundred colours at most. A picture of 256 colours or fewer is
// written with a palette (1, 2, 4 or 8 bits a pixel), which is a third of the
// RGB data before compression and compresses faster; a richer one (a stamped
// photograph) is written as RGB. The compression settings are the ones the
// render road benchmark measured best for time and size together.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imaging/dib_section.h"

namespace qz::imaging {

struct PngSettings {
  // zlib 0..9. Level 3 on the bench chart: 7.0 KB in 0.6 ms, where 6 gives
  // 6.0 KB in 1.1 ms and 9 gives 5.3 KB in 4 ms.
  int compression_level = 3;
  int filters = -1;     // libpng PNG_*_FILTER mask; -1: the writer's choice per colour type
  int strategy = -1;    // zlib strategy; -1: the writer's choice per colour type
  bool palette = true;  // use a palette when the picture has at most 256 colours
};

// Encodes the buffer's picture, upright, as PNG bytes recording
// dots_per_inch (1..65535) as its physical pixel density. Raises 91 (Object
// variable not set) for a buffer without pixels, 6 (Overflow) for sizes that
// overflow, 7 (Out of memory) when the output cannot grow, and 51 (Internal
// error) with the encoder's message for any other encoder failure.
std::vector<std::uint8_t> EncodePng(const cDIBSection& buffer, int dots_per_inch,
                                    const PngSettings& settings = {});

// The number of distinct colours in the buffer, counted up to limit + 1 (a
// result above limit means "more than limit").
int CountColours(const cDIBSection& buffer, int limit);

}  // namespace qz::imaging
