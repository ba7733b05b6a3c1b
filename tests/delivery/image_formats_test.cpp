#include "delivery/image_formats.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "component/data_methods.h"
#include "component/render_methods.h"
#include "delivery/render_road_p.h"
#include "imaging/png_writer.h"
#include "platform/automation/error.h"
#include "platform/gdi/picture.h"
#include "tests/delivery/delivery_fixture.h"

namespace qz::test {
namespace {

bool IsPng(const std::vector<std::uint8_t>& b) {
  static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  return b.size() > 8 && std::memcmp(b.data(), kSignature, 8) == 0;
}

std::string Text(const std::vector<std::uint8_t>& b) {
  return std::string(b.begin(), b.end());
}

// The pixels per metre of a PNG's pHYs chunk, 0 when it has none.
std::uint32_t PngDensity(const std::vector<std::uint8_t>& b) {
  const std::string s = Text(b);
  const auto at = s.find("pHYs");
  if (at == std::string::npos || at + 13 > b.size()) return 0;
  return std::uint32_t{b[at + 4]} << 24 | std::uint32_t{b[at + 5]} << 16 |
         std::uint32_t{b[at + 6]} << 8 | b[at + 7];
}

// The JFIF units and X density of a JPEG.
std::pair<int, int> JfifDensity(const std::vector<std::uint8_t>& b) {
  if (b.size() < 18 || std::memcmp(b.data() + 6, "JFIF", 5) != 0) return {-1, -1};
  return {b[13], b[14] << 8 | b[15]};
}

bool HaveTool(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// A box-filtered half-size copy: the picture at 192 dots per inch brought
// back to the pixels at 96.
Decoded HalfSize(const Decoded& big) {
  Decoded half;
  half.width = big.width / 2;
  half.height = big.height / 2;
  for (int y = 0; y < half.height; ++y) {
    for (int x = 0; x < half.width; ++x) {
      std::uint32_t sum[3] = {};
      for (int d = 0; d < 4; ++d) {
        const std::uint32_t p = big.At(2 * x + d % 2, 2 * y + d / 2);
        for (int c = 0; c < 3; ++c) sum[c] += p >> (8 * c) & 0xFF;
      }
      half.pixels.push_back((sum[0] + 2) / 4 | ((sum[1] + 2) / 4) << 8 | ((sum[2] + 2) / 4) << 16);
    }
  }
  return half;
}

class ImageFormats : public DeliveryTest {
 protected:
  std::vector<std::uint8_t> Send(const char* image_type) {
    response_ = RecordingResponse::Create();
    object_.mResponse = ComPtr<IResponse>(response_.get());
    object_.settings.ImageType = image_type;
    component::SendChart(object_);
    return response_->body();
  }
  // Renders the chart as SVG and rasterises it with rsvg-convert.
  Decoded RasteriseSvg(const std::vector<std::uint8_t>& svg) {
    const std::string in = tmpdir_ + "chart.svg", out = tmpdir_ + "chart-svg.png";
    std::FILE* f = std::fopen(in.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    std::fwrite(svg.data(), 1, svg.size(), f);
    std::fclose(f);
    const std::string command = "timeout 60 rsvg-convert -b white -o '" + out + "' '" + in + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return DecodeFile(out);
  }
};

TEST_F(ImageFormats, PngAndSvgAreChosenByExactlyThoseThreeLettersInAnyCase) {
  struct Case {
    const char* image_type;
    const char* content_type;
  };
  const Case cases[] = {
      {"PNG", "image/png"},     {"png", "image/png"},       {"pNg", "image/png"},
      {"SVG", "image/svg+xml"}, {"svg", "image/svg+xml"},   {"Svg", "image/svg+xml"},
      {" PNG", "image/jpg"},    {"PNG ", "image/jpg"},      {"PNGS", "image/jpg"},
      {"SVGZ", "image/jpg"},    {"image/png", "image/jpg"}, {"BMP", "image/bmp"},
      {"", "image/jpg"},        {"JPG", "image/jpg"},       {"gif", "image/jpg"}};
  FillChart(object_, form_->Chart(), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image_type);
    const std::vector<std::uint8_t> body = Send(c.image_type);
    EXPECT_EQ(response_->content_type(), c.content_type);
    const std::string type = c.content_type;
    if (type == "image/png") {
      EXPECT_TRUE(IsPng(body));
    } else if (type == "image/svg+xml") {
      EXPECT_EQ(Text(body).rfind("<?xml", 0), 0u);
      EXPECT_NE(Text(body).find("<svg"), std::string::npos);
    } else if (type == "image/bmp") {
      EXPECT_TRUE(IsBmp(body));
    } else {
      EXPECT_TRUE(IsJpeg(body));
    }
    EXPECT_TRUE(TempEntries().empty());
  }
}

TEST_F(ImageFormats, ThePngHoldsExactlyTheBmpsPixels) {
  for (int variant : {0, 4}) {
    SCOPED_TRACE(variant);
    FillChart(object_, form_->Chart(), variant);
    object_.settings.ChartType =
        Variant(static_cast<std::int16_t>(variant == 0 ? 1 : 4));  // bar, pie
    const Decoded bmp = Decode(Send("BMP"));
    const std::vector<std::uint8_t> png_bytes = Send("png");
    const Decoded png = Decode(png_bytes);
    ASSERT_EQ(png.width, 576);
    ASSERT_EQ(png.height, 384);
    EXPECT_EQ(png.pixels, bmp.pixels);
    // Lossless and still well below the JPEG at quality 100.
    EXPECT_LT(png_bytes.size() * 2, Send("").size());
    EXPECT_EQ(PngDensity(png_bytes), 3780u);  // 96 dots per inch
  }
}

TEST_F(ImageFormats, APictureOfManyColoursIsWrittenAsRgbAndStaysExact) {
  imaging::cDIBSection dib;
  ASSERT_TRUE(dib.Create(300, 200));
  dib.RandomiseBits(imaging::NoiseKind::kColour);
  EXPECT_GT(imaging::CountColours(dib, 256), 256);
  const std::vector<std::uint8_t> bytes = imaging::EncodePng(dib, 120);
  ASSERT_TRUE(IsPng(bytes));
  const Decoded back = Decode(bytes);
  ASSERT_EQ(back.width, 300);
  ASSERT_EQ(back.height, 200);
  const std::uint8_t* bits = dib.DIBSectionBitsPtr();
  for (int y = 0; y < 200; y += 7) {
    for (int x = 0; x < 300; x += 5) {
      const std::uint8_t* p = bits + (199 - y) * dib.BytesPerScanLine() + 3 * x;
      ASSERT_EQ(back.At(x, y), std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0]);
    }
  }
  EXPECT_EQ(PngDensity(bytes), 4724u);  // 120 dots per inch
  // Few colours are packed below a byte a pixel, and still decode exactly.
  imaging::cDIBSection two;
  ASSERT_TRUE(two.Create(33, 5));
  std::memset(two.DIBSectionBitsPtr(), 0, static_cast<std::size_t>(two.BytesPerScanLine()) * 5);
  two.DIBSectionBitsPtr()[3 * 32 + 2] = 255;  // bottom-right pixel red
  const Decoded packed = Decode(imaging::EncodePng(two, 96));
  EXPECT_EQ(packed.At(32, 4), 0xFF0000u);
  EXPECT_EQ(packed.At(31, 4), 0u);
  EXPECT_EQ(packed.At(32, 3), 0u);
  // A buffer without pixels is refused.
  imaging::cDIBSection empty;
  try {
    imaging::EncodePng(empty, 96);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kObjectVariableNotSet);
  }
}

TEST_F(ImageFormats, TheSvgIsWellFormedVectorsThatRasteriseCloseToThePng) {
  if (!HaveTool("rsvg-convert") || !HaveTool("xmllint")) GTEST_SKIP() << "rsvg-convert, xmllint";
  for (int type : {1, 3, 4, 5}) {  // bar, line, pie, 3-D line
    SCOPED_TRACE(type);
    FillChart(object_, form_->Chart(), type);
    object_.settings.ChartType = Variant(static_cast<std::int16_t>(type));
    object_.settings.ChartTitle = Variant("Chart number " + std::to_string(type) + " <&>");
    // A font name no font has, with quotes and markup: still one name, in
    // a well-formed document.
    object_.settings.TitleFont = Variant(type == 1 ? "Odd 'font\" <x>" : "Arial");
    const Decoded png = Decode(Send("PNG"));
    const std::vector<std::uint8_t> svg = Send("SVG");
    const std::string text = Text(svg);
    EXPECT_NE(text.find("width=\"576px\""), std::string::npos);
    EXPECT_NE(text.find("height=\"384px\""), std::string::npos);
    EXPECT_EQ(text.find("<image"), std::string::npos);  // no raster inside
    // Texts are text, escaped: the title, the axis titles.
    EXPECT_NE(text.find("xml:space=\"preserve\">Chart number " + std::to_string(type) +
                        " &lt;&amp;&gt;</text>"),
              std::string::npos);
    if (type != 4) {
      EXPECT_NE(text.find(">Units</text>"), std::string::npos);
    }
    const std::string file = tmpdir_ + "wellformed.svg";
    std::FILE* f = std::fopen(file.c_str(), "wb");
    std::fwrite(svg.data(), 1, svg.size(), f);
    std::fclose(f);
    EXPECT_EQ(std::system(("timeout 60 xmllint --noout '" + file + "'").c_str()), 0);
    const Decoded raster = RasteriseSvg(svg);
    ASSERT_EQ(raster.width, 576);
    ASSERT_EQ(raster.height, 384);
    // Anti-aliasing differs at edges; the chart is the same.
    EXPECT_LT(MeanDifference(raster, png), 3.0);
  }
}

TEST_F(ImageFormats, AStampedPictureIsEmbeddedInTheSvgWhereTheRasterHasIt) {
  if (!HaveTool("rsvg-convert")) GTEST_SKIP() << "rsvg-convert";
  FillChart(object_, form_->Chart(), 2);
  // A flat red logo, 40 x 20.
  const gdi::HBITMAP bitmap = gdi::CreateCompatibleBitmap(0, 40, 20);
  const gdi::BitmapBits bits = gdi::BitmapBits::OfBitmap(bitmap);
  for (int y = 0; y < 20; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(bits.Row(y));
    for (int x = 0; x < 40; ++x) row[x] = 0xCC2020u;
  }
  const std::string logo = tmpdir_ + "logo.bmp";
  gdi::SavePicture(gdi::Picture(bitmap, gdi::Ownership::kOwned), logo);
  component::PastePicture(object_, 500, 350, logo);
  const Decoded png = Decode(Send("PNG"));
  const std::vector<std::uint8_t> svg = Send("SVG");
  EXPECT_NE(Text(svg).find("<image"), std::string::npos);
  const Decoded raster = RasteriseSvg(svg);
  ASSERT_EQ(raster.width, 576);
  for (int y = 350; y < 370; ++y) {
    for (int x = 500; x < 540; ++x) ASSERT_EQ(raster.At(x, y), 0xCC2020u) << x << "," << y;
  }
  EXPECT_LT(MeanDifference(raster, png), 3.0);
}

TEST_F(ImageFormats, SaveChartWritesPngAndSvgAndKeepsTheReplacementRules) {
  FillChart(object_, form_->Chart(), 1);
  const std::string as_jpg = tmpdir_ + "chart.jpg";
  object_.settings.ImageType = "PNG";
  component::SaveChart(object_, as_jpg);
  EXPECT_TRUE(IsPng(ReadBytes(as_jpg)));
  object_.settings.ImageType = "svg";
  component::SaveChart(object_, as_jpg);
  EXPECT_NE(Text(ReadBytes(as_jpg)).find("<svg"), std::string::npos);
  EXPECT_TRUE(response_->calls().empty());
  EXPECT_EQ(TempEntries().size(), 1u);  // replaced in place, no sibling left
  // A replaced file keeps its permission bits and its times.
  ASSERT_EQ(::chmod(as_jpg.c_str(), 0640), 0);
  const timespec old_times[2] = {{1000000000, 500000000}, {900000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, as_jpg.c_str(), old_times, 0), 0);
  object_.settings.ImageType = "PNG";
  component::SaveChart(object_, as_jpg);
  struct stat st {};
  ASSERT_EQ(::stat(as_jpg.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_mtim.tv_sec, 900000000);
  EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
  EXPECT_TRUE(IsPng(ReadBytes(as_jpg)));
  // A read-only target refuses: the error answer, the old file untouched.
  ASSERT_EQ(::chmod(as_jpg.c_str(), 0444), 0);
  const std::vector<std::uint8_t> before = ReadBytes(as_jpg);
  object_.settings.ImageType = "PNG";
  component::SaveChart(object_, as_jpg);
  EXPECT_EQ(response_->content_type(), "text/HTML");
  EXPECT_EQ(response_->body_text(), StandardMessage(err::kPathFileAccessError));
  EXPECT_EQ(ReadBytes(as_jpg), before);
  EXPECT_EQ(TempEntries().size(), 1u);
  // A folder that does not exist: the error answer again, nothing written.
  response_ = RecordingResponse::Create();
  object_.mResponse = ComPtr<IResponse>(response_.get());
  object_.settings.ImageType = "svg";
  component::SaveChart(object_, tmpdir_ + "missing/chart.svg");
  EXPECT_EQ(response_->content_type(), "text/HTML");
}

TEST_F(ImageFormats, Resolution192DoublesThePixelsOfTheSameChart) {
  FillChart(object_, form_->Chart(), 5);
  const std::vector<std::uint8_t> png96 = Send("PNG");
  const std::vector<std::uint8_t> jpeg96 = Send("");
  object_.settings.Resolution = 192;
  const std::vector<std::uint8_t> png192 = Send("PNG");
  const Decoded big = Decode(png192);
  ASSERT_EQ(big.width, 1152);
  ASSERT_EQ(big.height, 768);
  // The same layout at twice the pixels: brought back to half size it is
  // the chart at 96, up to the anti-aliasing of edges and glyphs.
  EXPECT_LT(MeanDifference(HalfSize(big), Decode(png96)), 4.0);
  EXPECT_EQ(PngDensity(png96), 3780u);
  EXPECT_EQ(PngDensity(png192), 7559u);
  // JPEG: the writer's density fields at 96, the resolution otherwise.
  const std::vector<std::uint8_t> jpeg192 = Send("");
  EXPECT_EQ(Decode(jpeg192).width, 1152);
  EXPECT_EQ(JfifDensity(jpeg192), (std::pair<int, int>{1, 192}));
  EXPECT_NE(JfifDensity(jpeg96).first, -1);
  EXPECT_NE(JfifDensity(jpeg96), (std::pair<int, int>{1, 192}));
  object_.settings.Resolution = 96;
  EXPECT_EQ(JfifDensity(Send("")), JfifDensity(jpeg96));
  // BMP keeps its format and takes the pixels; SVG takes the pixel size.
  object_.settings.Resolution = 144;
  EXPECT_EQ(Decode(Send("BMP")).width, 864);
  EXPECT_NE(Text(Send("SVG")).find("width=\"864px\""), std::string::npos);
}

TEST_F(ImageFormats, AResolutionOutside48To384FailsTheRenderWithInvalidPropertyValue) {
  FillChart(object_, form_->Chart(), 0);
  for (std::int16_t dpi :
       {std::int16_t{47}, std::int16_t{385}, std::int16_t{0}, std::int16_t{-96}}) {
    SCOPED_TRACE(dpi);
    object_.settings.Resolution = dpi;
    Send("PNG");
    EXPECT_EQ(response_->content_type(), "text/HTML");
    EXPECT_EQ(response_->body_text(), StandardMessage(err::kInvalidPropertyValue));
    EXPECT_TRUE(TempEntries().empty());
  }
  for (std::int16_t dpi : {std::int16_t{48}, std::int16_t{384}}) {
    SCOPED_TRACE(dpi);
    object_.settings.Resolution = dpi;
    const Decoded d = Decode(Send("PNG"));
    EXPECT_EQ(d.width, 576 * dpi / 96);
  }
}

}  // namespace
}  // namespace qz::test
