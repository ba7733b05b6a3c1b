#include "platform/form/form.h"

#include "platform/chart/render/paint.h"
#include "platform/gdi/cairo_dc.h"
#include "platform/gdi/gdi.h"

namespace qz::form {

namespace {

// The chart window's paint: the chart at the origin of the DC's bitmap, at
// its own size in pixels at its resolution. A DC without a 32-bit bitmap gets nothing.
// The chart window paints its whole area, as a window answering the paint
// message does: first its background (the window colour, white), then the
// chart. A backdrop without fill therefore shows white, never whatever the
// target context held before (another chart, perhaps another page's data).
// The picture box whose surface the DC may be hears what the paint covers
// before anything is drawn (PictureBox::Covering).
void PaintChartInto(const chart::ChartState& state, gdi::HDC dc, const PictureBox& box) {
  gdi::CairoDC cr(dc);
  if (!cr) return;
  const auto [width, height] = chart::render::ChartPixelSize(state);
  if (width <= 0 || height <= 0) return;
  // Only now that the paint will happen: announced earlier, a paint that
  // then failed would leave the image unset.
  box.Covering(dc, width, height);
  cairo_save(cr.get());
  cairo_rectangle(cr.get(), 0, 0, width, height);
  cairo_set_source_rgb(cr.get(), 1, 1, 1);
  cairo_fill(cr.get());
  cairo_restore(cr.get());
  chart::render::PaintChart(state, cr.get(), width, height);
}

}  // namespace

Form1::Form1()
    : tpict_(kTPictLayout.left, kTPictLayout.top, kTPictLayout.width, kTPictLayout.height),
      picture1_(kPicture1Layout.left, kPicture1Layout.top, kPicture1Layout.width,
                kPicture1Layout.height) {
  gdi::HWND hwnd = gdi::CreatePaintWindow(
      [this](gdi::HDC dc) { PaintChartInto(chart_.state(), dc, picture1_); });
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
