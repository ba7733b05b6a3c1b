#include "platform/chart/render/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qz::chart::render {
namespace {

std::string Family(const char* name) {
  EnsureFontAliases();
  PangoFontMap* map = pango_cairo_font_map_new();
  PangoContext* context = pango_font_map_create_context(map);
  PangoFontDescription* desc = pango_font_description_new();
  pango_font_description_set_family(desc, name);
  pango_font_description_set_size(desc, 10 * PANGO_SCALE);
  PangoFont* font = pango_font_map_load_font(map, context, desc);
  std::string family;
  if (font) {
    PangoFontDescription* got = pango_font_describe(font);
    family = pango_font_description_get_family(got);
    pango_font_description_free(got);
    g_object_unref(font);
  }
  pango_font_description_free(desc);
  g_object_unref(context);
  g_object_unref(map);
  return family;
}

TEST(Fonts, ScriptFontNamesFindCloseFamilies) {
  EXPECT_TRUE(Family("Arial") == "Liberation Sans" || Family("Arial") == "Arimo")
      << Family("Arial");
  EXPECT_EQ(Family("Verdana"), "DejaVu Sans");
  EXPECT_TRUE(Family("Times New Roman") == "Liberation Serif" ||
              Family("Times New Roman") == "Tinos");
  EXPECT_TRUE(Family("Courier New") == "Liberation Mono" || Family("Courier New") == "Cousine");
  EXPECT_EQ(Family("Calibri"), "Carlito");
}

TEST(Fonts, LatinGreekAndCyrillicHaveGlyphs) {
  for (const char* name :
       {"Arial", "Verdana", "Times New Roman", "Courier New", "Calibri", "NoSuchFont"}) {
    FontState f;
    f.name = name;
    ShapedText t =
        TextCache::ForThread().Shape({&f, 1, "Ärger Ωμέγα Жёлтый ½ €", Fit::kNone, 0, 1});
    ASSERT_NE(t.layout, nullptr);
    EXPECT_EQ(pango_layout_get_unknown_glyphs_count(t.layout), 0) << name;
    EXPECT_GT(t.width, 50);
  }
}

TEST(TextCache, FitsAndReusesLayouts) {
  FontState f;
  f.name = "Arial";
  f.size = 10;
  TextCache& cache = TextCache::ForThread();
  std::string longer = "a rather long label that will not fit into sixty pixels";
  ShapedText cut = cache.Shape({&f, 1, longer, Fit::kEllipsis, 60, 1});
  EXPECT_LE(cut.width, 60);
  ShapedText wrapped = cache.Shape({&f, 1, longer, Fit::kWrap, 120, 2});
  ShapedText one = cache.Shape({&f, 1, "x", Fit::kNone, 0, 1});
  EXPECT_LE(wrapped.width, 120);
  EXPECT_GT(wrapped.height, one.height);
  EXPECT_LT(wrapped.height, one.height * 3);
  std::size_t before = cache.size();
  ShapedText again = cache.Shape({&f, 1, longer, Fit::kEllipsis, 60, 1});
  EXPECT_EQ(again.layout, cut.layout);
  EXPECT_EQ(cache.size(), before);
  // 12 points at 96 dots per inch are 16 pixels.
  f.size = 12;
  EXPECT_DOUBLE_EQ(FontPixels(f, 1), 16);
  // Bad UTF-8 is shown, not dropped.
  ShapedText bad = cache.Shape({&f, 1,
                                "ab\xff\xfe"
                                "cd",
                                Fit::kNone, 0, 1});
  EXPECT_GT(bad.width, 0);
}

// Counts the glyphs Pango drew as boxes through its unknown-glyph flag,
// leaving out invisible characters as the cache does.
int TofuCount(PangoLayout* layout) {
  int n = 0;
  PangoLayoutIter* it = pango_layout_get_iter(layout);
  do {
    PangoLayoutRun* run = pango_layout_iter_get_run_readonly(it);
    if (!run) continue;
    for (int i = 0; i < run->glyphs->num_glyphs; ++i) {
      PangoGlyph g = run->glyphs->glyphs[i].glyph;
      n += g != PANGO_GLYPH_EMPTY && (g & PANGO_GLYPH_UNKNOWN_FLAG) != 0;
    }
  } while (pango_layout_iter_next_run(it));
  pango_layout_iter_free(it);
  return n;
}

TEST(Fonts, EveryScriptOfATitleHasGlyphs) {
  const char* title = "销售 売上高 매출 المبيعات बिक्री 📈 Sales";
  for (const char* name : {"Arial", "Verdana", "Times New Roman", "NoSuchFont"}) {
    FontState f;
    f.name = name;
    f.size = 14;
    ShapedText t = TextCache::ForThread().Shape({&f, 1, title, Fit::kNone, 0, 1});
    ASSERT_NE(t.layout, nullptr);
    EXPECT_EQ(TofuCount(t.layout), 0) << name;
    EXPECT_EQ(t.missing, nullptr) << name;
  }
}

std::vector<std::string>& Warnings() {
  static std::vector<std::string> lines;
  return lines;
}

TEST(Fonts, AGlyphNoFontHasIsReportedOncePerRole) {
  Warnings().clear();
  SetWarningSink([](const char* line) { Warnings().push_back(line); });
  FontState f;
  f.name = "Arial";
  // U+10FFFD (a private-use code point of the last plane) is in no font.
  ShapedText t =
      TextCache::ForThread().Shape({&f, 1, "A\U0010FFFD b \U0010FFFD", Fit::kNone, 0, 1});
  ASSERT_NE(t.missing, nullptr);
  EXPECT_EQ(*t.missing, (std::vector<std::uint32_t>{0x10FFFD}));
  ShapedText fine = TextCache::ForThread().Shape({&f, 1, "plain\ttext\n", Fit::kNone, 0, 1});
  EXPECT_EQ(fine.missing, nullptr);  // controls and spaces need no glyph
  // Roles of this test's own, since the memory of reported pairs is the process's.
  WarnMissingGlyphs("first role", *t.missing);
  WarnMissingGlyphs("first role", *t.missing);
  WarnMissingGlyphs("second role", *t.missing);
  ASSERT_EQ(Warnings().size(), 2u);
  EXPECT_EQ(Warnings()[0], "first role: no installed font has a glyph for U+10FFFD");
  EXPECT_EQ(Warnings()[1], "second role: no installed font has a glyph for U+10FFFD");
  SetWarningSink(nullptr);
  WarnMissingGlyphs("third role", *t.missing);
  EXPECT_EQ(Warnings().size(), 2u);
}

TEST(CutForShaping, KeepsShortTextsAndCutsAtCharacters) {
  const std::string short_text = "Sales by quarter, \xE2\x82\xAC";
  EXPECT_EQ(CutForShaping(short_text).data(), short_text.data());
  EXPECT_EQ(CutForShaping(short_text).size(), short_text.size());
  const std::string exact(kMaxShapedChars, 'x');
  EXPECT_EQ(CutForShaping(exact).size(), kMaxShapedChars);
  EXPECT_EQ(CutForShaping(exact + "y").size(), kMaxShapedChars);
  // Characters of 2, 3 and 4 bytes: cut after the last whole one.
  for (const std::string ch : {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9D\x84\x9E"}) {
    std::string text;
    for (int i = 0; i < 5; ++i) text += ch;
    EXPECT_EQ(CutForShaping(text, 3), ch + ch + ch);
    EXPECT_EQ(CutForShaping("ab" + text, 3), "ab" + ch);
  }
  // Bytes that start no character are bounded by bytes: four per character,
  // never splitting a sequence.
  const std::string stray(100, '\x80');
  EXPECT_EQ(CutForShaping(stray, 10).size(), 40u);
  EXPECT_EQ(CutForShaping(std::string(39, '\x80') + "\xE2\x82\xAC", 10).size(), 39u);
}

TEST(TextCache, ShapesAtMostTheCutOfAText) {
  FontState f;
  f.name = "Arial";
  TextCache& cache = TextCache::ForThread();
  std::string huge;
  while (huge.size() < 2'000'000) huge += "A long title, \xC3\xA9t\xC3\xA9 ";
  for (Fit fit : {Fit::kNone, Fit::kEllipsis, Fit::kWrap}) {
    SCOPED_TRACE(static_cast<int>(fit));
    const ShapedText t = cache.Shape({&f, 1, huge, fit, 400, 2});
    ASSERT_NE(t.layout, nullptr);
    EXPECT_EQ(static_cast<std::size_t>(pango_layout_get_character_count(t.layout)),
              kMaxShapedChars);
    // The same layout as the cut text's own: nothing beyond it counts.
    const std::string cut(CutForShaping(huge));
    EXPECT_EQ(cache.Shape({&f, 1, cut, fit, 400, 2}).layout, t.layout);
  }
  // A text within the bound is shaped whole, byte for byte.
  const std::string title = "Quarterly sales \xE2\x80\x94 2024";
  EXPECT_EQ(std::string(pango_layout_get_text(cache.Shape({&f, 1, title}).layout)), title);
}

}  // namespace
}  // namespace qz::chart::render
