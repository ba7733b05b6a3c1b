#include "tests/delivery/delivery_fixture.h"

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "component/data_methods.h"
#include "platform/gdi/picture.h"

namespace qz::test {

Decoded Decode(const std::vector<std::uint8_t>& bytes) {
  Decoded d;
  gdi::Picture picture;
  try {
    picture = gdi::LoadPictureFromMemory(bytes.data(), bytes.size());
  } catch (const Error& e) {
    ADD_FAILURE() << "cannot decode: " << e.what();
    return d;
  }
  const gdi::BitmapBits bits = gdi::BitmapBits::OfBitmap(picture.Handle());
  if (!bits || bits.bits_per_pixel() != 32) {
    ADD_FAILURE() << "decoded picture has no 32-bit pixels";
    return d;
  }
  d.width = bits.width();
  d.height = bits.height();
  d.pixels.reserve(static_cast<std::size_t>(d.width) * static_cast<std::size_t>(d.height));
  for (int y = 0; y < d.height; ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(bits.Row(y));
    for (int x = 0; x < d.width; ++x) d.pixels.push_back(row[x] & 0xFFFFFF);
  }
  return d;
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

Decoded DecodeFile(const std::string& path) {
  return Decode(ReadBytes(path));
}

double MeanDifference(const Decoded& a, const Decoded& b) {
  if (a.width != b.width || a.height != b.height || a.pixels.empty()) return 255;
  double sum = 0;
  for (std::size_t i = 0; i < a.pixels.size(); ++i) {
    for (int shift = 0; shift < 24; shift += 8) {
      sum += std::abs(static_cast<int>(a.pixels[i] >> shift & 0xFF) -
                      static_cast<int>(b.pixels[i] >> shift & 0xFF));
    }
  }
  return sum / (3.0 * static_cast<double>(a.pixels.size()));
}

bool IsBmp(const std::vector<std::uint8_t>& bytes) {
  return bytes.size() > 54 && bytes[0] == 'B' && bytes[1] == 'M';
}

bool IsJpeg(const std::vector<std::uint8_t>& bytes) {
  return bytes.size() > 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

void DeliveryTest::SetUp() {
  char pattern[] = "/tmp/qz-delivery-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  tmpdir_ = std::string(pattern) + "/";
  setenv("TMPDIR", pattern, 1);
  form_ = &form::GetForm1();
  form_->Chart().Reset();
  response_ = RecordingResponse::Create();
  object_.mResponse = ComPtr<IResponse>(response_.get());
}

void DeliveryTest::TearDown() {
  std::filesystem::remove_all(tmpdir_);
  unsetenv("TMPDIR");
}

std::vector<std::string> DeliveryTest::TempEntries() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(tmpdir_))
    names.push_back(entry.path().filename().string());
  return names;
}

void DeliveryTest::FillChart(component::ObjectState& object, chart::Chart& chart, int variant) {
  object.settings.Height = Variant(4.0);
  object.settings.Width = Variant(6.0);
  object.settings.ChartType = Variant(std::int16_t{1});
  object.settings.ChartTitle = Variant("Chart number " + std::to_string(variant));
  object.settings.XTitle = Variant("Month");
  object.settings.YTitle = Variant("Units");
  component::Rows(chart, 6);
  component::Columns(chart, 3);
  for (std::int16_t r = 1; r <= 6; ++r) {
    for (std::int16_t c = 1; c <= 3; ++c) {
      component::CurrentRow(chart, r);
      component::CurrentColumn(chart, c);
      component::SetData(chart, 10 + ((r * 7 + c * 13 + variant * 5) % 23));
    }
  }
}

}  // namespace qz::test
