// The 46 public settings of QuenzaChart as a plain record, in the order of the
// interface, each with its declared type and its initial value. A write
// stores the script's value (converted to the declared type by the caller)
// and does nothing else; composition and delivery read them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/automation/variant.h"
#include "platform/chart/chart_state.h"

namespace qz::component {

struct Settings {
  Variant Height;            // inches
  Variant Width;             // inches
  Variant ChartType;         // 1..8
  Variant TitleBorderStyle;  // frame style code 0..4
  Variant TitleShadow;       // shadow style 0 or 1
  Variant Legends;           // 0 hidden, 1 shown
  Variant TitleFontSize;
  Variant LegendFontSize;
  Variant XTitleFontSize;
  Variant YTitleFontSize;
  std::int16_t ZTitleFontSize = 0;
  Variant Shadow;             // chart backdrop shadow style 0 or 1
  Variant FillRed;            // activation sets I2 255
  Variant FillGreen;          // activation sets I2 255
  std::int16_t FillBlue = 0;  // activation sets 255
  Variant TitleFont;
  Variant LegendFont;
  Variant ChartTitle;
  Variant XTitle;
  Variant YTitle;
  Variant ZTitle;
  Variant XTitleFont;
  Variant YTitleFont;
  Variant ZTitleFont;
  std::string ImageType;  // "BMP" in any case for BMP, else JPEG
  Variant XLabelFont;
  Variant YLabelFont;
  std::string ZLabelFont;
  Variant XLabelFontSize;
  Variant YLabelFontSize;
  std::int16_t ZLabelFontSize = 0;
  VARIANT_BOOL SeriesStacking = VARIANT_FALSE;
  VARIANT_BOOL SecondYAxisScale = VARIANT_FALSE;  // activation sets true
  Variant XAxisMin;
  Variant YAxisMin;
  Variant ZAxisMin;
  Variant XAxisMax;
  Variant YAxisMax;
  std::int16_t ZAxisMax = 0;
  Variant XMajorDivision;
  Variant YMajorDivision;
  std::int16_t ZMajorDivision = 0;
  VARIANT_BOOL AutoScaling = VARIANT_FALSE;  // true: limits and divisions not applied
  Variant TitleBackgroundR;
  Variant TitleBackgroundG;
  std::int16_t TitleBackgroundB = 0;

  // Extensions, after the settings above in the interface order (their
  // dispatch identifiers follow the methods'; none of the above moves).
  std::int16_t Resolution = chart::kBaseResolution;  // dots per inch, 48..384 at render
};

// The settings in interface order, for generating accessors and the member
// table: V(name) a variant, I2(name) a 16-bit integer, S(name) a string,
// B(name) a boolean.
// clang-format off
#define QZ_QUENZACHART_SETTINGS(V, I2, S, B) \
  V(Height) \
  V(Width) \
  V(ChartType) \
  V(TitleBorderStyle) \
  V(TitleShadow) \
  V(Legends) \
  V(TitleFontSize) \
  V(LegendFontSize) \
  V(XTitleFontSize) \
  V(YTitleFontSize) \
  I2(ZTitleFontSize) \
  V(Shadow) \
  V(FillRed) \
  V(FillGreen) \
  I2(FillBlue) \
  V(TitleFont) \
  V(LegendFont) \
  V(ChartTitle) \
  V(XTitle) \
  V(YTitle) \
  V(ZTitle) \
  V(XTitleFont) \
  V(YTitleFont) \
  V(ZTitleFont) \
  S(ImageType) \
  V(XLabelFont) \
  V(YLabelFont) \
  S(ZLabelFont) \
  V(XLabelFontSize) \
  V(YLabelFontSize) \
  I2(ZLabelFontSize) \
  B(SeriesStacking) \
  B(SecondYAxisScale) \
  V(XAxisMin) \
  V(YAxisMin) \
  V(ZAxisMin) \
  V(XAxisMax) \
  V(YAxisMax) \
  I2(ZAxisMax) \
  V(XMajorDivision) \
  V(YMajorDivision) \
  I2(ZMajorDivision) \
  B(AutoScaling) \
  V(TitleBackgroundR) \
  V(TitleBackgroundG) \
  I2(TitleBackgroundB)
// clang-format on

inline constexpr int kSettingCount = 46;  // the settings of the macro above

}  // namespace qz::component
