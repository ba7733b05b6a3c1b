// The image formats beyond BMP and JPEG that ImageType chooses: PNG from the
// captured raster, and SVG painted as vectors by the same chart painter.
// Both are written the way the JPEG writer writes: beside the target and
// renamed over it, a read-only target refused, the old file's attributes and
// times put back.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "component/object_state.h"
#include "imaging/dib_section.h"
#include "platform/chart/chart_state.h"
#include "platform/form/form.h"

namespace qz::delivery {

// Replaces the file at path with bytes. Raises 75 (Path/File access error)
// when the old file is read-only (nothing is written) or the new one cannot
// be written or put in place; a failure leaves the old file, or none.
void WriteImageFile(const std::string& path, std::span<const std::uint8_t> bytes);

// The captured chart as a PNG file recording the chart's resolution.
void WritePngFile(const chart::ChartState& chart, const imaging::cDIBSection& dib,
                  const std::string& path);

// The chart of state as an SVG document of its pixel size, on the white of
// the chart window: Cairo's vector shapes, the chart's plain texts as SVG
// text elements over them (a text cut with an ellipsis, underlined or
// struck through stays as glyph outlines), and the stamp, when given, over
// everything as an embedded PNG image at (x, y).
struct SvgStamp {
  const std::uint8_t* bgrx = nullptr;  // 32-bit pixels, rows top first
  int stride = 0, width = 0, height = 0;
  int x = 0, y = 0;
};
std::vector<std::uint8_t> PaintSvg(const chart::ChartState& state, const SvgStamp* stamp);

// The SVG road after composition: when a picture is registered the raster
// road paints and stamps Picture1 as for the other formats, and the stamped
// block is cut from it into the SVG; the chart itself is always vectors.
void RenderSvg(component::ObjectState& object, form::Form1& form, const std::string& path);

}  // namespace qz::delivery
