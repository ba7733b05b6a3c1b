#include "platform/form/form.h"

#include "platform/chart/render/paint.h"
#include "platform/gdi/cairo_dc.h"
#include "platform/gdi/gdi.h"

namespace qz::form {

namespace {

// The chart window's paint: the chart at the origin of the DC's bitmap, at
// its own size in pixels. A DC without a 32-bit bitmap gets nothing.
void PaintChartInto(const chart::ChartState& state, gdi::HDC dc) {
  gdi::CairoDC cr(dc);
  if (!cr) return;
  chart::render::PaintChart(state, cr.get(), chart::render::PixelsFromTwips(state.width_twips),
                            chart::render::PixelsFromTwips(state.height_twips));
}

}  // namespace

Form1::Form1()
    : tpict_(kTPictLayout.left, kTPictLayout.top, kTPictLayout.width, kTPictLayout.height),
      picture1_(kPicture1Layout.left, kPicture1Layout.top, kPicture1Layout.width,
                kPicture1Layout.height) {
  gdi::HWND hwnd =
      gdi::CreatePaintWindow([this](gdi::HDC dc) { PaintChartInto(chart_.state(), dc); });
  chart_.AttachWindow(hwnd);
}

Form1::~Form1() {
  if (chart_.hWnd() != 0) gdi::DestroyWindow(chart_.hWnd());
}

Form1& GetForm1() {
  thread_local Form1 form;
  return form;
}

}  // namespace qz::form
