#include "platform/form/picture_box.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/automation/error.h"
#include "platform/form/form.h"
#include "platform/gdi/cairo_dc.h"
#include "platform/gdi/gdi.h"

namespace qz::form {
namespace {

chart::Rgb PixelOf(gdi::HBITMAP bitmap, int x, int y) {
  gdi::BitmapBits bits = gdi::BitmapBits::OfBitmap(bitmap);
  std::uint32_t v = reinterpret_cast<const std::uint32_t*>(bits.Row(y))[x];
  return {static_cast<std::int16_t>((v >> 16) & 255), static_cast<std::int16_t>((v >> 8) & 255),
          static_cast<std::int16_t>(v & 255)};
}

int CountOf(gdi::HBITMAP bitmap, chart::Rgb c) {
  gdi::BitmapBits bits = gdi::BitmapBits::OfBitmap(bitmap);
  int n = 0;
  for (int y = 0; y < bits.height(); ++y)
    for (int x = 0; x < bits.width(); ++x) n += PixelOf(bitmap, x, y) == c;
  return n;
}

constexpr chart::Rgb kWhite{255, 255, 255}, kRed{255, 0, 0}, kBlack{0, 0, 0};

// Leaves a freed w x h bitmap's memory filled with a pattern no test draws,
// where the next surface of that size is likely to be made.
void LeaveStalePixels(int w, int h) {
  const gdi::HBITMAP stale = gdi::CreateCompatibleBitmap(0, w, h);
  const gdi::BitmapBits bits = gdi::BitmapBits::OfBitmap(stale);
  for (int y = 0; y < h; ++y) std::memset(bits.Row(y), 0x5A, static_cast<std::size_t>(w) * 4);
  gdi::DeleteObject(stale);
}

TEST(PictureBox, SurfacesFollowTheSizeAndAutoRedraw) {
  PictureBox box(0, 0, 200 * 15, 100 * 15);
  EXPECT_EQ(box.BackColor(), kWhite);
  EXPECT_EQ(box.ForeColor(), kBlack);
  gdi::HDC visible = box.hDC();
  ASSERT_NE(visible, 0u);
  EXPECT_EQ(box.Image().Width(), 200);
  EXPECT_EQ(box.Image().Height(), 100);
  EXPECT_EQ(PixelOf(box.Image().Handle(), 0, 0), kWhite);

  box.SetAutoRedraw(true);
  EXPECT_NE(box.hDC(), visible);
  box.SetForeColor(kRed);
  box.Line(10, 10, 20, 15, BoxFill::kFilled);
  EXPECT_EQ(CountOf(box.Image().Handle(), kRed), 11 * 6);  // both corners inside
  box.SetAutoRedraw(false);
  EXPECT_EQ(box.hDC(), visible);
  EXPECT_EQ(CountOf(box.Image().Handle(), kRed), 0);  // the visible surface was not drawn on

  box.SetWidth(6480);  // 432 pixels
  EXPECT_EQ(box.Image().Width(), 432);
  EXPECT_THROW(box.SetHeight(-1), Error);
  EXPECT_EQ(box.Image().Height(), 100);
  box.SetWidth(0);
  EXPECT_EQ(box.hDC(), 0u);
  box.Print("nowhere to draw");  // draws nothing, fails nothing
}

TEST(PictureBox, PictureTakenFromTheImageSurvivesIt) {
  PictureBox box(0, 0, 100 * 15, 50 * 15);
  box.SetAutoRedraw(true);
  box.SetForeColor(kRed);
  box.Line(0, 0, 9, 9, BoxFill::kFilled);
  box.SetPicture(box.Image());
  box.SetAutoRedraw(false);
  ASSERT_FALSE(box.Picture().IsEmpty());
  EXPECT_EQ(box.Picture().Width(), 100);
  EXPECT_EQ(CountOf(box.Picture().Handle(), kRed), 100);
  // The visible surface shows the picture at its top-left corner.
  EXPECT_EQ(PixelOf(box.Image().Handle(), 5, 5), kRed);
  EXPECT_EQ(PixelOf(box.Image().Handle(), 50, 25), kWhite);
  // A new background keeps the picture on top of it; beyond the picture
  // (the surface grown past it) the background shows.
  box.SetBackColor({0, 0, 255});
  box.SetWidth(200 * 15);
  EXPECT_EQ(PixelOf(box.Image().Handle(), 150, 25), (chart::Rgb{0, 0, 255}));
  EXPECT_EQ(PixelOf(box.Image().Handle(), 50, 25), kWhite);
  EXPECT_EQ(PixelOf(box.Image().Handle(), 5, 5), kRed);
  box.SetPicture(gdi::Picture());
  EXPECT_TRUE(box.Picture().IsEmpty());
  EXPECT_EQ(PixelOf(box.Image().Handle(), 5, 5), (chart::Rgb{0, 0, 255}));
}

// Every pixel of two bitmaps, in order.
std::vector<std::uint32_t> PixelsOf(gdi::HBITMAP bitmap) {
  gdi::BitmapBits bits = gdi::BitmapBits::OfBitmap(bitmap);
  std::vector<std::uint32_t> all;
  for (int y = 0; y < bits.height(); ++y)
    for (int x = 0; x < bits.width(); ++x)
      all.push_back(reinterpret_cast<const std::uint32_t*>(bits.Row(y))[x]);
  return all;
}

// Handing the image over as the picture ends where copying it and switching
// AutoRedraw off ends: the same picture, the same visible surface, and the
// next persistent image starting from that picture.
TEST(PictureBox, TakingTheImageAsPictureEqualsCopyingItThenAutoRedrawOff) {
  PictureBox copied(0, 0, 60 * 15, 30 * 15), taken(0, 0, 60 * 15, 30 * 15);
  for (PictureBox* box : {&copied, &taken}) {
    box->SetBackColor({0, 0, 255});
    box->SetAutoRedraw(true);
    box->SetForeColor(kRed);
    box->Line(3, 4, 20, 25, BoxFill::kFilled);
  }
  copied.SetPicture(copied.Image());
  copied.SetAutoRedraw(false);
  taken.TakeImageAsPicture();
  EXPECT_FALSE(taken.AutoRedraw());
  EXPECT_EQ(CountOf(taken.Picture().Handle(), kRed), 18 * 22);
  EXPECT_EQ(PixelsOf(taken.Picture().Handle()), PixelsOf(copied.Picture().Handle()));
  EXPECT_EQ(PixelsOf(taken.Image().Handle()), PixelsOf(copied.Image().Handle()));
  for (PictureBox* box : {&copied, &taken}) {
    box->SetAutoRedraw(true);
    box->SetForeColor(kBlack);
    box->Line(40, 2, 50, 8, BoxFill::kFilled);
  }
  EXPECT_EQ(PixelsOf(taken.Image().Handle()), PixelsOf(copied.Image().Handle()));
  EXPECT_EQ(CountOf(taken.Image().Handle(), kRed), 18 * 22);
  // Without a persistent image it is the two calls as they are.
  taken.SetAutoRedraw(false);
  taken.TakeImageAsPicture();
  EXPECT_EQ(CountOf(taken.Picture().Handle(), kRed), 18 * 22);
  EXPECT_FALSE(taken.AutoRedraw());
}

// Surfaces and pictures start from memory that may hold an earlier bitmap's
// pixels of the thread; none of them may show.
TEST(PictureBox, NoSurfaceShowsAnEarlierBitmapsPixels) {
  LeaveStalePixels(30, 20);
  PictureBox box(0, 0, 30 * 15, 20 * 15);
  EXPECT_EQ(CountOf(box.Image().Handle(), kWhite), 30 * 20) << "visible surface";
  LeaveStalePixels(30, 20);
  box.SetAutoRedraw(true);
  EXPECT_EQ(CountOf(box.Image().Handle(), kWhite), 30 * 20) << "persistent image";
  box.SetForeColor(kRed);
  box.Line(0, 0, 4, 4, BoxFill::kFilled);
  LeaveStalePixels(30, 20);
  box.SetPicture(box.Image());
  EXPECT_EQ(CountOf(box.Picture().Handle(), kRed), 25);
  EXPECT_EQ(CountOf(box.Picture().Handle(), kWhite), 30 * 20 - 25) << "picture";
  LeaveStalePixels(30, 20);
  box.SetAutoRedraw(false);
  box.SetBackColor({0, 255, 0});
  LeaveStalePixels(30, 20);
  box.SetWidth(31 * 15);  // a new visible surface: green, the picture on it
  EXPECT_EQ(CountOf(box.Image().Handle(), kRed), 25);
  EXPECT_EQ(CountOf(box.Image().Handle(), chart::Rgb{0, 255, 0}), 20)
      << "the column past the picture";
}

TEST(PictureBox, SettingTheSizeItHasKeepsTheSurfacesAndTheirPixels) {
  PictureBox box(0, 0, 100 * 15, 50 * 15);
  box.SetAutoRedraw(true);
  const gdi::HDC image = box.hDC();
  box.SetForeColor(kRed);
  box.Line(0, 0, 9, 9, BoxFill::kFilled);
  box.SetWidth(100 * 15);
  box.SetHeight(50 * 15);
  EXPECT_EQ(box.hDC(), image);
  EXPECT_EQ(CountOf(box.Image().Handle(), kRed), 100);
  // Another size in twips starts the surfaces again, even at the same pixels.
  box.SetWidth(100 * 15 + 1);
  EXPECT_EQ(box.Image().Width(), 100);
  EXPECT_EQ(CountOf(box.Image().Handle(), kRed), 0);
}

TEST(PictureBox, APictureCoveringTheSurfacesReplacesEveryPixel) {
  PictureBox box(0, 0, 40 * 15, 20 * 15);
  box.SetAutoRedraw(true);
  box.SetForeColor(kRed);
  box.Line(0, 0, 39, 19, BoxFill::kFilled);
  box.Line(5, 5, 6, 6, BoxFill::kOutline);
  // The image made its own picture keeps showing exactly itself; the
  // visible surface shows it too.
  box.SetPicture(box.Image());
  EXPECT_EQ(CountOf(box.Image().Handle(), kRed), 40 * 20);
  box.SetAutoRedraw(false);
  EXPECT_EQ(CountOf(box.Image().Handle(), kRed), 40 * 20);

  // A 24-bit picture larger than the surface, over another background.
  gdi::BITMAPINFO info{};
  info.bmiHeader.biSize = 40;
  info.bmiHeader.biWidth = 50;
  info.bmiHeader.biHeight = 30;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  const gdi::HBITMAP dib = gdi::CreateDIBSection(0, &info, gdi::DIB_RGB_COLORS, &bits, 0, 0);
  ASSERT_NE(dib, 0u);
  const gdi::BitmapBits b = gdi::BitmapBits::OfBitmap(dib);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 50; ++x) b.Row(y)[3 * x + 1] = 200;  // green
  box.SetBackColor({0, 0, 255});
  box.SetPicture(gdi::Picture(dib, gdi::Ownership::kOwned));
  EXPECT_EQ(CountOf(box.Image().Handle(), chart::Rgb{0, 200, 0}), 40 * 20);
  box.SetAutoRedraw(true);
  EXPECT_EQ(CountOf(box.Image().Handle(), chart::Rgb{0, 200, 0}), 40 * 20);
}

TEST(PictureBox, PrintMovesThePenAndDrawsInTheForeColour) {
  PictureBox box(0, 0, 300 * 15, 100 * 15);
  box.SetAutoRedraw(true);
  box.SetFontName("Verdana");
  box.SetFontSize(8);
  box.SetFontBold(true);
  box.SetForeColor(kRed);
  box.SetCurrentX(5);
  box.SetCurrentY(5);
  float w = box.TextWidth("Generated using");
  float h = box.TextHeight("Generated using");
  EXPECT_GT(w, 40);
  EXPECT_GT(h, 8);
  box.Print("Generated using", LineEnd::kContinue);
  EXPECT_FLOAT_EQ(box.CurrentX(), 5 + w);
  EXPECT_FLOAT_EQ(box.CurrentY(), 5);
  box.Print(" more");
  EXPECT_EQ(box.CurrentX(), 0);
  EXPECT_FLOAT_EQ(box.CurrentY(), 5 + h);
  EXPECT_GT(CountOf(box.Image().Handle(), kRed), 30);
  box.SetFontBold(false);
  EXPECT_LT(box.TextWidth("Generated using"), w);
  EXPECT_THROW(box.SetFontSize(0), Error);
  box.Cls();
  EXPECT_EQ(CountOf(box.Image().Handle(), kRed), 0);
  EXPECT_EQ(box.CurrentX(), 0);
}

TEST(PictureBox, LineDrawsARectangleOutlineThroughBothCorners) {
  PictureBox box(0, 0, 50 * 15, 50 * 15);
  box.SetAutoRedraw(true);
  box.SetForeColor(kRed);
  box.Line(30, 40, 10, 20);
  gdi::HBITMAP image = box.Image().Handle();
  EXPECT_EQ(PixelOf(image, 10, 20), kRed);
  EXPECT_EQ(PixelOf(image, 30, 40), kRed);
  EXPECT_EQ(PixelOf(image, 30, 20), kRed);
  EXPECT_EQ(PixelOf(image, 20, 30), kWhite);
  EXPECT_EQ(PixelOf(image, 31, 40), kWhite);
  EXPECT_EQ(CountOf(image, kRed), 2 * 21 + 2 * 19);
}

// The persistent image starts as the picture: made when first needed, and
// left out only when a paint announces that it sets every pixel first.
TEST(PictureBox, AnImageStartsAsThePictureUnlessAPaintCoversItAll) {
  PictureBox box(0, 0, 40 * 15, 20 * 15);
  box.SetAutoRedraw(true);
  box.SetForeColor(kRed);
  box.Line(0, 0, 39, 19, BoxFill::kFilled);
  box.TakeImageAsPicture();  // a red picture; AutoRedraw off
  auto fill = [](gdi::HDC dc, chart::Rgb c, int w, int h) {
    gdi::CairoDC cr(dc);
    ASSERT_TRUE(cr);
    cairo_set_source_rgb(cr.get(), c.r / 255.0, c.g / 255.0, c.b / 255.0);
    cairo_rectangle(cr.get(), 0, 0, w, h);
    cairo_fill(cr.get());
  };
  const chart::Rgb kBlue{0, 0, 255};

  // No announcement, nothing drawn: the image shows the picture.
  LeaveStalePixels(40, 20);
  box.SetAutoRedraw(true);
  (void)box.hDCForCoveringPaint();
  EXPECT_EQ(CountOf(box.Image().Handle(), kRed), 40 * 20);

  // Part of the image covered: the rest shows the picture.
  box.SetAutoRedraw(false);
  LeaveStalePixels(40, 20);
  box.SetAutoRedraw(true);
  gdi::HDC dc = box.hDCForCoveringPaint();
  box.Covering(dc, 30, 20);
  fill(dc, kBlue, 30, 20);
  EXPECT_EQ(CountOf(box.Image().Handle(), kBlue), 30 * 20);
  EXPECT_EQ(CountOf(box.Image().Handle(), kRed), 10 * 20);

  // Another DC covered: this image still starts as the picture.
  PictureBox other(0, 0, 40 * 15, 20 * 15);
  box.SetAutoRedraw(false);
  LeaveStalePixels(40, 20);
  box.SetAutoRedraw(true);
  dc = box.hDCForCoveringPaint();
  box.Covering(other.hDC(), 40, 20);
  EXPECT_EQ(CountOf(box.Image().Handle(), kRed), 40 * 20);

  // All of it covered: what the paint drew stays, also once the image is
  // read, drawn on and taken as the picture.
  box.SetAutoRedraw(false);
  box.SetAutoRedraw(true);
  dc = box.hDCForCoveringPaint();
  box.Covering(dc, 40, 20);
  fill(dc, kBlue, 40, 20);
  EXPECT_EQ(CountOf(box.Image().Handle(), kBlue), 40 * 20);
  box.Line(0, 0, 0, 0, BoxFill::kFilled);
  box.TakeImageAsPicture();
  EXPECT_EQ(CountOf(box.Picture().Handle(), kBlue), 40 * 20 - 1);
  EXPECT_EQ(CountOf(box.Picture().Handle(), kRed), 1);
}

TEST(Form1, ChartWindowPaintsTheChartIntoTheGivenDC) {
  Form1& form = GetForm1();
  chart::Chart& c = form.Chart();
  ASSERT_NE(c.hWnd(), 0u);
  c.SetWidth(120 * 15);
  c.SetHeight(80 * 15);
  c.Backdrop().SetFillStyle(chart::kFillBrush);
  c.Backdrop().FillColor().Set(10, 20, 30);
  PictureBox& pic = form.Picture1();
  pic.SetWidth(150 * 15);
  pic.SetHeight(100 * 15);
  pic.SetAutoRedraw(true);
  gdi::SendMessageA(c.hWnd(), gdi::WM_PAINT, pic.hDC(), 0);
  gdi::HBITMAP image = pic.Image().Handle();
  EXPECT_EQ(PixelOf(image, 0, 0), (chart::Rgb{10, 20, 30}));
  EXPECT_EQ(PixelOf(image, 119, 79), (chart::Rgb{10, 20, 30}));
  EXPECT_EQ(PixelOf(image, 120, 0), kWhite);  // the chart ends at its size
  EXPECT_EQ(PixelOf(image, 0, 80), kWhite);
  c.Reset();
  pic.SetAutoRedraw(false);
}

}  // namespace
}  // namespace qz::form
