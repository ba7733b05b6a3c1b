#include "platform/chart/render/text.h"

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <set>
#include <unordered_map>

namespace qz::chart::render {
namespace {

// Strong bindings, so that a script's font name never falls through to an
// unrelated default: metric-compatible families where Debian has one
// (Liberation, Carlito, croscore), the closest DejaVu design otherwise.
constexpr const char* kAliases = R"(<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "fonts.dtd">
<fontconfig>
  <alias binding="same"><family>Arial</family><prefer><family>Liberation Sans</family><family>Arimo</family></prefer></alias>
  <alias binding="same"><family>Helvetica</family><prefer><family>Liberation Sans</family><family>Arimo</family></prefer></alias>
  <alias binding="same"><family>Arial Narrow</family><prefer><family>Liberation Sans Narrow</family><family>Liberation Sans</family></prefer></alias>
  <alias binding="same"><family>Arial Black</family><prefer><family>DejaVu Sans</family></prefer></alias>
  <alias binding="same"><family>Times New Roman</family><prefer><family>Liberation Serif</family><family>Tinos</family></prefer></alias>
  <alias binding="same"><family>Times</family><prefer><family>Liberation Serif</family><family>Tinos</family></prefer></alias>
  <alias binding="same"><family>Courier New</family><prefer><family>Liberation Mono</family><family>Cousine</family></prefer></alias>
  <alias binding="same"><family>Courier</family><prefer><family>Liberation Mono</family><family>Cousine</family></prefer></alias>
  <alias binding="same"><family>Lucida Console</family><prefer><family>DejaVu Sans Mono</family></prefer></alias>
  <alias binding="same"><family>Consolas</family><prefer><family>DejaVu Sans Mono</family></prefer></alias>
  <alias binding="same"><family>Calibri</family><prefer><family>Carlito</family></prefer></alias>
  <alias binding="same"><family>Verdana</family><prefer><family>DejaVu Sans</family></prefer></alias>
  <alias binding="same"><family>Tahoma</family><prefer><family>DejaVu Sans</family></prefer></alias>
  <alias binding="same"><family>MS Sans Serif</family><prefer><family>DejaVu Sans</family></prefer></alias>
  <alias binding="same"><family>Microsoft Sans Serif</family><prefer><family>DejaVu Sans</family></prefer></alias>
  <alias binding="same"><family>Segoe UI</family><prefer><family>DejaVu Sans</family></prefer></alias>
  <alias binding="same"><family>Trebuchet MS</family><prefer><family>DejaVu Sans</family></prefer></alias>
  <alias binding="same"><family>Georgia</family><prefer><family>DejaVu Serif</family></prefer></alias>
  <alias binding="same"><family>Cambria</family><prefer><family>DejaVu Serif</family></prefer></alias>
  <alias binding="same"><family>MS Serif</family><prefer><family>DejaVu Serif</family></prefer></alias>
</fontconfig>
)";

struct GObjectDeleter {
  void operator()(void* p) const noexcept {
    if (p) g_object_unref(p);
  }
};
template <class T>
using GPtr = std::unique_ptr<T, GObjectDeleter>;

struct FontDescDeleter {
  void operator()(PangoFontDescription* p) const noexcept {
    if (p) pango_font_description_free(p);
  }
};
using FontDescPtr = std::unique_ptr<PangoFontDescription, FontDescDeleter>;

struct FontOptionsDeleter {
  void operator()(cairo_font_options_t* p) const noexcept {
    if (p) cairo_font_options_destroy(p);
  }
};

struct Entry {
  GPtr<PangoLayout> layout;
  int width = 0, height = 0, x_offset = 0;
  std::vector<std::uint32_t> missing;
};

// Code points that need no glyph of their own: controls, whitespace and
// invisible format characters, which Pango may flag without any font at fault.
bool NeedsNoGlyph(gunichar c) {
  return c < 0x20 || (c >= 0x7F && c < 0xA0) || g_unichar_isspace(c) ||
         g_unichar_type(c) == G_UNICODE_FORMAT || g_unichar_iszerowidth(c);
}

// The code points Pango shaped with no font's glyph, in order, each once.
std::vector<std::uint32_t> MissingGlyphs(PangoLayout* layout) {
  std::vector<std::uint32_t> out;
  PangoLayoutIter* it = pango_layout_get_iter(layout);
  if (!it) return out;
  do {
    PangoLayoutRun* run = pango_layout_iter_get_run_readonly(it);
    if (!run || !run->glyphs) continue;
    for (int i = 0; i < run->glyphs->num_glyphs; ++i) {
      PangoGlyph g = run->glyphs->glyphs[i].glyph;
      if (g == PANGO_GLYPH_EMPTY || g == PANGO_GLYPH_INVALID_INPUT) continue;
      if (!(g & PANGO_GLYPH_UNKNOWN_FLAG)) continue;
      gunichar c = g & ~PANGO_GLYPH_UNKNOWN_FLAG;
      if (NeedsNoGlyph(c)) continue;
      if (std::find(out.begin(), out.end(), c) == out.end()) out.push_back(c);
      if (out.size() >= 16) break;
    }
  } while (out.size() < 16 && pango_layout_iter_next_run(it));
  pango_layout_iter_free(it);
  return out;
}

std::atomic<WarningSink> g_sink{nullptr};

// Layouts kept per thread before the cache starts over. A chart has a few
// dozen texts; this holds several charts' worth.
constexpr std::size_t kMaxEntries = 1024;

}  // namespace

}  // namespace qz::chart::render

// The sink's storage, exported so that every copy of the renderer in the
// process (the host's and a loaded library's) shares the host's.
extern "C" __attribute__((visibility("default"))) void QzChartSetWarningSink(
    qz::chart::render::WarningSink sink) {
  qz::chart::render::g_sink.store(sink);
}

extern "C" __attribute__((visibility("default"))) void QzChartWarn(const char* line) {
  qz::chart::render::WarningSink sink = qz::chart::render::g_sink.load();
  if (sink && line) sink(line);
}

namespace qz::chart::render {

void SetWarningSink(WarningSink sink) {
  QzChartSetWarningSink(sink);
}

void Warn(std::string_view line) {
  std::string copy(line);
  QzChartWarn(copy.c_str());
}

void WarnMissingGlyphs(std::string_view role, const std::vector<std::uint32_t>& code_points) {
  if (code_points.empty()) return;
  std::string line(role);
  line.append(": no installed font has a glyph for");
  for (std::uint32_t c : code_points) {
    char buf[16];
    std::snprintf(buf, sizeof buf, " U+%04X", static_cast<unsigned>(c));
    line.append(buf);
  }
  // Each pair once: a page drawn a thousand times logs its missing glyph once.
  static std::mutex mutex;
  static std::set<std::string> seen;
  constexpr std::size_t kMaxRemembered = 4096;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (seen.count(line)) return;
    if (seen.size() >= kMaxRemembered) seen.clear();
    seen.insert(line);
  }
  Warn(line);
}

void EnsureFontAliases() {
  static std::once_flag once;
  std::call_once(once, [] {
    FcInit();
    FcConfig* config = FcConfigGetCurrent();
    if (config) {
      FcConfigParseAndLoadFromMemory(config, reinterpret_cast<const FcChar8*>(kAliases), FcTrue);
    }
  });
}

double FontPixels(const FontState& font, double scale) {
  double px = static_cast<double>(font.size) * scale * 96.0 / 72.0;
  if (!std::isfinite(px)) px = 13;
  return std::clamp(px, 4.0, 600.0);
}

struct TextCache::Impl {
  GPtr<PangoFontMap> font_map;
  GPtr<PangoContext> context;
  std::unordered_map<std::string, FontDescPtr> fonts;
  std::unordered_map<std::string, Entry> entries;
  std::string key;  // reused buffer

  PangoFontDescription* Font(const FontState& f, double px) {
    char size[32];
    std::snprintf(size, sizeof size, "|%.2f|%d%d", px, f.bold ? 1 : 0, f.italic ? 1 : 0);
    std::string font_key = f.name + size;
    auto it = fonts.find(font_key);
    if (it != fonts.end()) return it->second.get();
    FontDescPtr desc(pango_font_description_new());
    pango_font_description_set_family(desc.get(), f.name.empty() ? "Sans" : f.name.c_str());
    pango_font_description_set_absolute_size(desc.get(), px * PANGO_SCALE);
    pango_font_description_set_weight(desc.get(), f.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
    pango_font_description_set_style(desc.get(),
                                     f.italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
    if (fonts.size() > 256) fonts.clear();
    return fonts.emplace(std::move(font_key), std::move(desc)).first->second.get();
  }
};

TextCache::TextCache() : impl_(std::make_unique<Impl>()) {
  EnsureFontAliases();
  impl_->font_map.reset(pango_cairo_font_map_new());
  pango_cairo_font_map_set_resolution(PANGO_CAIRO_FONT_MAP(impl_->font_map.get()), 96.0);
  impl_->context.reset(pango_font_map_create_context(impl_->font_map.get()));
  // Grey anti-aliasing (no colour fringes, which JPEG would smear) and
  // slight hinting with whole-pixel advances for crisp small text.
  std::unique_ptr<cairo_font_options_t, FontOptionsDeleter> options(cairo_font_options_create());
  cairo_font_options_set_antialias(options.get(), CAIRO_ANTIALIAS_GRAY);
  cairo_font_options_set_hint_style(options.get(), CAIRO_HINT_STYLE_SLIGHT);
  cairo_font_options_set_hint_metrics(options.get(), CAIRO_HINT_METRICS_ON);
  pango_cairo_context_set_font_options(impl_->context.get(), options.get());
  pango_cairo_context_set_resolution(impl_->context.get(), 96.0);
}

TextCache::~TextCache() = default;

TextCache& TextCache::ForThread() {
  thread_local std::unique_ptr<TextCache> cache(new TextCache());
  return *cache;
}

void TextCache::Clear() {
  impl_->entries.clear();
}

void TextCache::BeginPaint() {
  if (impl_->entries.size() > kMaxEntries) impl_->entries.clear();
}
std::size_t TextCache::size() const {
  return impl_->entries.size();
}

std::string_view CutForShaping(std::string_view text, std::size_t max_chars) {
  const std::size_t max_bytes = 4 * max_chars;
  if (text.size() <= max_chars) return text;  // cannot hold more characters than bytes
  auto continuation = [&](std::size_t i) {
    return (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
  };
  std::size_t chars = 0;
  const std::size_t scan = std::min(text.size(), max_bytes);
  for (std::size_t i = 0; i < scan; ++i) {
    if (continuation(i)) continue;
    if (chars == max_chars) return text.substr(0, i);
    ++chars;
  }
  if (scan == text.size()) return text;
  // The byte bound: a sequence that it would split is left out whole.
  for (std::size_t back = 1; back <= 3 && back <= scan; ++back) {
    const auto lead = static_cast<unsigned char>(text[scan - back]);
    if (lead < 0xC0) continue;
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    return text.substr(0, length > back ? scan - back : scan);
  }
  return text.substr(0, scan);
}

ShapedText TextCache::Shape(const TextRequest& request) {
  TextRequest r = request;
  r.text = CutForShaping(request.text);
  static const FontState kDefaultFont{};
  const FontState& f = r.font ? *r.font : kDefaultFont;
  double px = FontPixels(f, r.scale);
  int max_width = std::max(1, r.max_width);
  int max_lines = std::clamp(r.max_lines, 1, 20);

  std::string& key = impl_->key;
  char head[96];
  std::snprintf(head, sizeof head, "|%.2f|%d%d%d%d|%d|%d|%d|", px, f.bold, f.italic, f.underline,
                f.strikethrough, static_cast<int>(r.fit), r.fit == Fit::kNone ? 0 : max_width,
                r.fit == Fit::kWrap || r.fit == Fit::kWrapStart ? max_lines : 0);
  key.assign(f.name);
  key.append(head);
  key.append(r.text);
  auto it = impl_->entries.find(key);
  if (it != impl_->entries.end()) {
    const Entry& e = it->second;
    return {e.layout.get(), e.width, e.height, e.x_offset,
            e.missing.empty() ? nullptr : &e.missing};
  }

  GPtr<PangoLayout> layout(pango_layout_new(impl_->context.get()));
  PangoLayout* l = layout.get();
  pango_layout_set_font_description(l, impl_->Font(f, px));
  if (f.underline || f.strikethrough) {
    PangoAttrList* attrs = pango_attr_list_new();
    if (f.underline)
      pango_attr_list_insert(attrs, pango_attr_underline_new(PANGO_UNDERLINE_SINGLE));
    if (f.strikethrough) pango_attr_list_insert(attrs, pango_attr_strikethrough_new(TRUE));
    pango_layout_set_attributes(l, attrs);
    pango_attr_list_unref(attrs);
  }
  bool wrap = r.fit == Fit::kWrap || r.fit == Fit::kWrapStart;
  pango_layout_set_single_paragraph_mode(l, !wrap);
  switch (r.fit) {
    case Fit::kNone:
      break;
    case Fit::kEllipsis:
      pango_layout_set_width(l, max_width * PANGO_SCALE);
      pango_layout_set_ellipsize(l, PANGO_ELLIPSIZE_END);
      break;
    case Fit::kWrap:
    case Fit::kWrapStart:
      pango_layout_set_width(l, max_width * PANGO_SCALE);
      pango_layout_set_wrap(l, PANGO_WRAP_WORD_CHAR);
      pango_layout_set_ellipsize(l, PANGO_ELLIPSIZE_END);
      pango_layout_set_height(l, -max_lines);
      pango_layout_set_alignment(l, r.fit == Fit::kWrap ? PANGO_ALIGN_CENTER : PANGO_ALIGN_LEFT);
      break;
  }
  // Invalid UTF-8 would make Pango warn and show nothing useful; the text
  // arrives from scripts as UTF-8, so a bad byte is replaced.
  if (g_utf8_validate(r.text.data(), static_cast<gssize>(r.text.size()), nullptr)) {
    pango_layout_set_text(l, r.text.data(), static_cast<int>(r.text.size()));
  } else {
    gchar* fixed = g_utf8_make_valid(r.text.data(), static_cast<gssize>(r.text.size()));
    pango_layout_set_text(l, fixed, -1);
    g_free(fixed);
  }
  PangoRectangle logical;
  pango_layout_get_pixel_extents(l, nullptr, &logical);
  Entry e;
  e.width = std::max(0, logical.width);
  e.height = std::max(0, logical.height);
  e.x_offset = logical.x;
  e.missing = MissingGlyphs(l);
  e.layout = std::move(layout);
  auto placed = impl_->entries.emplace(key, std::move(e)).first;
  const Entry& stored = placed->second;
  return {stored.layout.get(), stored.width, stored.height, stored.x_offset,
          stored.missing.empty() ? nullptr : &stored.missing};
}

}  // namespace qz::chart::render
