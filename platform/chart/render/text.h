// Text for the chart renderer: fontconfig aliases for the font names page
// scripts use, and a per-thread cache of shaped Pango layouts so that a
// repaint of an unchanged chart shapes no text again.
#pragma once

#include <pango/pangocairo.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/chart/chart_state.h"

namespace qz::chart::render {

// Adds, once per process, fontconfig aliases that map the usual Windows font
// names to installed metric-compatible or close families ("Arial" to
// Liberation Sans, "Verdana" to DejaVu Sans, ...). Must run before the first
// Pango font map of the process is created; every text path here calls it,
// and other users of Pango in the process should call it first as well.
void EnsureFontAliases();

// How a text may be fitted into a width.
enum class Fit {
  kNone,       // one line, as wide as it is
  kEllipsis,   // one line, cut with an ellipsis at max_width
  kWrap,       // wrapped at words into at most max_lines lines, the last cut with an ellipsis
  kWrapStart,  // as kWrap, the lines aligned at their start rather than centred
};

struct TextRequest {
  const FontState* font = nullptr;
  double scale = 1;       // multiplies the font's point size
  std::string_view text;  // UTF-8
  Fit fit = Fit::kNone;
  int max_width = 0;  // pixels, for kEllipsis and kWrap
  int max_lines = 1;  // for kWrap
};

// The most characters of one text that are shaped: more never fit in a
// chart picture, and shaping grows with the length (a 10 MB title took
// seconds). Every text reaches Pango through TextCache::Shape, which cuts
// it here; a text of this length or shorter is shaped whole.
inline constexpr std::size_t kMaxShapedChars = 4000;

// The first max_chars characters of a UTF-8 text (a byte that is not part of
// a valid sequence counts as one), never more than 4 * max_chars bytes, and
// never cutting a sequence in two.
std::string_view CutForShaping(std::string_view text, std::size_t max_chars = kMaxShapedChars);

// A shaped text owned by the cache. Valid until the cache is trimmed, which
// happens only in BeginPaint or Clear.
struct ShapedText {
  PangoLayout* layout = nullptr;
  int width = 0, height = 0;  // logical size in pixels
  int x_offset = 0;           // logical rectangle's left edge relative to the layout origin
  // The code points of the shown text that no installed font has a glyph
  // for (Pango drew them as boxes), each once in order of appearance; null
  // when there are none.
  const std::vector<std::uint32_t>* missing = nullptr;
};

// Where the renderer's warnings go: one line of text per call, no newline.
// The sink may be called from any thread that paints and must not throw.
using WarningSink = void (*)(const char* line);

// Installs the process's warning sink; null (the default) drops warnings.
// The sink lives behind exported C functions, so that a library loaded into
// a host that installed one reports into the host's sink, not a copy.
void SetWarningSink(WarningSink sink);

// Sends one warning line to the sink, if any.
void Warn(std::string_view line);

// Warns once per process for each distinct role and set of code points:
// "<role>: no installed font has a glyph for U+XXXX ...". Later calls with
// the same pair are dropped; the memory of pairs is bounded.
void WarnMissingGlyphs(std::string_view role, const std::vector<std::uint32_t>& code_points);

// Effective pixel size of a font at a scale, clamped to a drawable range.
double FontPixels(const FontState& font, double scale);

class TextCache {
 public:
  // The calling thread's cache, created on first use.
  static TextCache& ForThread();

  ShapedText Shape(const TextRequest& request);
  // Called before each paint: trims the cache when it has grown past its
  // bound, so that layouts handed out during one paint stay valid throughout.
  void BeginPaint();
  // Drops every cached layout (the font map and descriptions are kept).
  void Clear();
  std::size_t size() const;

  TextCache(const TextCache&) = delete;
  TextCache& operator=(const TextCache&) = delete;
  ~TextCache();

 private:
  TextCache();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qz::chart::render
