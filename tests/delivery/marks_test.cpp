#include <gtest/gtest.h>

#include "component/render_methods.h"
#include "platform/gdi/gdi.h"
#include "tests/delivery/delivery_fixture.h"

namespace qz::test {
namespace {

class Marks : public DeliveryTest {};

bool Near(std::uint32_t p, int r, int g, int b, int tolerance) {
  return std::abs(static_cast<int>(p >> 16 & 0xFF) - r) <= tolerance &&
         std::abs(static_cast<int>(p >> 8 & 0xFF) - g) <= tolerance &&
         std::abs(static_cast<int>(p & 0xFF) - b) <= tolerance;
}

int Count(const Decoded& d, int r, int g, int b, int tolerance) {
  int n = 0;
  for (std::uint32_t p : d.pixels) n += Near(p, r, g, b, tolerance);
  return n;
}

TEST_F(Marks, ShowErrorMakesTheErrorChartUntilTitlesAreSet) {
  FillChart(object_, form_->Chart(), 0);
  object_.settings.ChartTitle = Variant();
  object_.settings.XTitle = Variant();
  object_.settings.ImageType = "BMP";
  std::string message = "No data for this month";
  component::ShowError(object_, message);
  component::SendChart(object_);
  const chart::ChartState& state = form_->Chart().state();
  EXPECT_EQ(state.title_text, "** ERROR **");
  EXPECT_EQ(state.rows, 1);
  EXPECT_EQ(state.columns, 1);
  EXPECT_EQ(state.axes[chart::kAxisX].title_text, message);
  EXPECT_EQ(state.axes[chart::kAxisX].title_font.color, (chart::Rgb{255, 0, 0}));
  const Decoded error_chart = Decode(response_->body());
  EXPECT_GT(Count(error_chart, 255, 0, 0, 40), 20);  // the red X axis title

  response_ = RecordingResponse::Create();
  object_.mResponse = ComPtr<IResponse>(response_.get());
  object_.settings.ChartTitle = Variant("Sales");
  component::SendChart(object_);
  EXPECT_EQ(form_->Chart().state().title_text, "Sales");
  EXPECT_EQ(form_->Chart().state().axes[chart::kAxisX].title_text, message);
  EXPECT_GT(MeanDifference(Decode(response_->body()), error_chart), 0.1);
}

// The surface's pixels, 0x00RRGGBB, after a render has sized it.
Decoded SurfacePixels(form::PictureBox& box) {
  const gdi::BitmapBits bits = gdi::BitmapBits::OfDC(box.hDC());
  Decoded d;
  d.width = bits.width();
  d.height = bits.height();
  for (int y = 0; y < d.height; ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(bits.Row(y));
    for (int x = 0; x < d.width; ++x) d.pixels.push_back(row[x] & 0xFFFFFF);
  }
  return d;
}

TEST_F(Marks, PrintStub2PutsTheLabelFivePixelsFromTheCorner) {
  form::PictureBox& picture1 = form_->Picture1();
  picture1.SetPicture(gdi::Picture());  // no chart left from an earlier test
  picture1.SetWidth(200 * 15);
  picture1.SetHeight(100 * 15);
  picture1.SetAutoRedraw(true);
  component::PrintStub2(object_);
  const Decoded d = SurfacePixels(form_->Picture1());
  ASSERT_EQ(d.width, 200);
  EXPECT_TRUE(Near(d.At(195, 93), 127, 127, 127, 0));  // the right side
  EXPECT_TRUE(Near(d.At(190, 95), 127, 127, 127, 0));  // the bottom
  EXPECT_TRUE(Near(d.At(196, 93), 255, 255, 255, 0));  // outside it
  EXPECT_TRUE(Near(d.At(190, 96), 255, 255, 255, 0));
  int yellowish = 0;  // the label, 5 points high, so mostly edges
  for (int y = 85; y < 95; ++y) {
    for (int x = 150; x < 195; ++x) {
      const std::uint32_t p = d.At(x, y);
      yellowish += (p >> 16 & 0xFF) > 180 && (p >> 8 & 0xFF) > 180 && (p & 0xFF) < 160;
    }
  }
  EXPECT_GT(yellowish, 10);
  EXPECT_EQ(picture1.CurrentX(), 0);
}

TEST_F(Marks, PrintStubWritesTheCreditInItsColours) {
  form::PictureBox& picture1 = form_->Picture1();
  picture1.SetPicture(gdi::Picture());  // no chart left from an earlier test
  picture1.SetWidth(300 * 15);
  picture1.SetHeight(150 * 15);
  picture1.SetAutoRedraw(true);
  component::PrintStub(object_);
  const Decoded d = SurfacePixels(form_->Picture1());
  EXPECT_GT(Count(d, 255, 165, 34, 20), 10);  // "QUEN"
  EXPECT_GT(Count(d, 18, 168, 255, 20), 10);  // " ZA+"
  EXPECT_GT(Count(d, 156, 18, 18, 20), 10);   // the last two lines
  EXPECT_GT(Count(d, 0, 0, 0, 20), 10);       // "Generated using"
  // Four lines below the first at y = 5, the pen back at the left edge.
  EXPECT_EQ(picture1.CurrentX(), 0);
  EXPECT_GT(picture1.CurrentY(), 5 + 4 * 8);
}

}  // namespace
}  // namespace qz::test
