#include "platform/chart/render/text.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace qz::chart::render
