#include <gtest/gtest.h>

#include "component/render_methods.h"
#include "platform/gdi/cairo_dc.h"
#include "tests/delivery/delivery_fixture.h"

#include <fstream>

namespace qz::test {
namespace {

constexpr int kLogoW = 20, kLogoH = 10;

// A logo whose every pixel tells its own position: red = 10 * x, green =
// 20 * y, blue 200.
std::uint32_t LogoPixel(int x, int y) {
  return static_cast<std::uint32_t>(10 * x) << 16 | static_cast<std::uint32_t>(20 * y) << 8 | 200;
}

std::string WriteLogo(const std::string& path) {
  const gdi::HBITMAP bitmap = gdi::CreateCompatibleBitmap(0, kLogoW, kLogoH);
  const gdi::BitmapBits bits = gdi::BitmapBits::OfBitmap(bitmap);
  for (int y = 0; y < kLogoH; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(bits.Row(y));
    for (int x = 0; x < kLogoW; ++x) row[x] = LogoPixel(x, y);
  }
  gdi::SavePicture(gdi::Picture(bitmap, gdi::Ownership::kOwned), path);
  return path;
}

class Stamping : public DeliveryTest {
 protected:
  Decoded Render() {
    const std::string path = tmpdir_ + "stamped.bmp";
    component::SaveChart(object_, path);
    EXPECT_TRUE(response_->calls().empty());
    return DecodeFile(path);
  }
};

TEST_F(Stamping, TheLogoLandsAtItsPositionAndIsCutAtTheEdges) {
  FillChart(object_, form_->Chart(), 0);
  object_.settings.ImageType = "BMP";
  const std::string logo = WriteLogo(tmpdir_ + "logo.bmp");
  const Decoded plain = Render();
  ASSERT_EQ(plain.width, 576);

  struct Case {
    std::int16_t x, y;
  };
  for (const Case c : {Case{30, 40}, Case{-5, -3}, Case{570, 380}}) {
    SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
    component::PastePicture(object_, c.x, c.y, logo);
    ASSERT_EQ(object_.mPastePending, VARIANT_TRUE);
    const Decoded stamped = Render();
    int checked = 0;
    for (int y = 0; y < kLogoH; ++y) {
      for (int x = 0; x < kLogoW; ++x) {
        const int cx = c.x + x, cy = c.y + y;
        if (cx < 0 || cy < 0 || cx >= 576 || cy >= 384) continue;
        ASSERT_EQ(stamped.At(cx, cy), LogoPixel(x, y)) << x << "," << y;
        ++checked;
      }
    }
    EXPECT_GT(checked, 0);
    // Beside the logo, within the stamp surface, lies its background; far
    // away the chart is untouched.
    if (c.x + kLogoW + 2 < 576 && c.y >= 0) {
      EXPECT_EQ(stamped.At(c.x + kLogoW + 2, c.y), 0xFFFFFFu);
    }
    EXPECT_EQ(stamped.At(300, 200), plain.At(300, 200));
  }
}

TEST_F(Stamping, AMissingFileTurnsStampingOffAndKeepsThePosition) {
  FillChart(object_, form_->Chart(), 0);
  object_.settings.ImageType = "BMP";
  const Decoded plain = Render();
  const std::string logo = WriteLogo(tmpdir_ + "logo.bmp");
  component::PastePicture(object_, 30, 40, logo);
  component::PastePicture(object_, 7, 8, tmpdir_ + "missing.png");
  EXPECT_EQ(object_.mPastePending, VARIANT_FALSE);
  EXPECT_EQ(object_.mPasteX, Variant(std::int16_t{30}));
  EXPECT_EQ(object_.mPasteY, 40);
  EXPECT_EQ(object_.mPasteFile, logo);
  EXPECT_EQ(MeanDifference(Render(), plain), 0.0);
  // A wildcard that matches a file counts as found.
  component::PastePicture(object_, 1, 2, tmpdir_ + "lo?o.*");
  EXPECT_EQ(object_.mPastePending, VARIANT_TRUE);
  EXPECT_EQ(object_.mPasteX, Variant(std::int16_t{1}));
}

TEST_F(Stamping, AnUnloadableFileStampsNothing) {
  FillChart(object_, form_->Chart(), 0);
  object_.settings.ImageType = "BMP";
  const Decoded plain = Render();
  component::PastePicture(object_, 10, 10, WriteLogo(tmpdir_ + "logo.bmp"));
  EXPECT_EQ(Render().At(10 + 3, 10 + 4), LogoPixel(3, 4));
  // A file that is no picture: the load fails and the stamp surface is
  // emptied, so the chart carries no stamp at all.
  std::ofstream(tmpdir_ + "broken.png") << "not a picture";
  component::PastePicture(object_, 100, 50, tmpdir_ + "broken.png");
  ASSERT_EQ(object_.mPastePending, VARIANT_TRUE);
  EXPECT_EQ(MeanDifference(Render(), plain), 0.0);
}

TEST_F(Stamping, OnePagesPictureNeverShowsInAnotherPagesChart) {
  // Page A stamps its logo; page B, on the same thread (the same worker and
  // host form), registers a file that cannot be loaded. B's chart must be
  // B's chart alone, whatever kind of bad file B has.
  const std::string logo = WriteLogo(tmpdir_ + "logo.bmp");
  std::ofstream(tmpdir_ + "empty.png");
  std::ofstream(tmpdir_ + "corrupt.bmp") << "BM" << std::string(60, '\x7f');
  std::ofstream(tmpdir_ + "truncated.png") << "\x89PNG\r\n\x1a\n";
  for (const char* bad : {"empty.png", "corrupt.bmp", "truncated.png"}) {
    for (const char* type : {"BMP", ""}) {
      SCOPED_TRACE(std::string(bad) + " " + type);
      auto render = [&](component::ObjectState& page, const std::string& name) {
        page.mResponse = ComPtr<IResponse>(response_.get());
        FillChart(page, form_->Chart(), 0);
        page.settings.ImageType = type;
        component::SaveChart(page, tmpdir_ + name);
        return DecodeFile(tmpdir_ + name);
      };
      component::ObjectState page_b_alone;
      const Decoded plain = render(page_b_alone, "plain");
      component::ObjectState page_a;
      component::PastePicture(page_a, 0, 0, logo);
      const Decoded stamped = render(page_a, "a");
      ASSERT_GT(MeanDifference(stamped, plain), 0.05);
      component::ObjectState page_b;
      component::PastePicture(page_b, 0, 0, tmpdir_ + bad);
      ASSERT_EQ(page_b.mPastePending, VARIANT_TRUE);
      EXPECT_EQ(MeanDifference(render(page_b, "b"), plain), 0.0);
      EXPECT_TRUE(response_->calls().empty());
    }
  }
}

}  // namespace
}  // namespace qz::test
