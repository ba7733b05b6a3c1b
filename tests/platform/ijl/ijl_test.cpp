#include "platform/ijl/ijl.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace qz::ijl {
namespace {

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/qz_ijl_XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<unsigned char> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

bool Exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

// A 5 x 4 bottom-up BGR picture with 1 pad byte per row: the top half red,
// the bottom half blue.
struct Dib {
  static constexpr int kW = 5, kH = 4, kPad = 1, kRow = kW * 3 + kPad;
  std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kRow * kH, 0);
  Dib() {
    for (int memory_row = 0; memory_row < kH; ++memory_row) {
      const bool top = memory_row >= kH / 2;  // bottom-up: later rows are higher
      for (int x = 0; x < kW; ++x) {
        std::uint8_t* p = &bytes[memory_row * kRow + 3 * x];
        p[0] = top ? 0 : 255;  // blue
        p[1] = 0;
        p[2] = top ? 255 : 0;  // red
      }
    }
  }
  void Describe(JPEG_CORE_PROPERTIES& r, const std::string& file) {
    r.DIBBytes = bytes.data();
    r.DIBWidth = kW;
    r.DIBHeight = -kH;
    r.DIBPadBytes = kPad;
    r.JPGWidth = kW;
    r.JPGHeight = kH;
    r.jquality = 100;
    name = file;
    r.JPGFile = name.c_str();
  }
  std::string name;
};

TEST(Ijl, InitGivesDefaultsForCharts) {
  JPEG_CORE_PROPERTIES r;
  r.jquality = 3;
  ASSERT_EQ(ijlInit(&r), IJL_OK);
  EXPECT_EQ(r.DIBChannels, 3);
  EXPECT_EQ(r.DIBColor, IJL_BGR);
  EXPECT_EQ(r.JPGChannels, 3);
  EXPECT_EQ(r.JPGColor, IJL_YCBCR);
  EXPECT_EQ(r.JPGSubSampling, IJL_NONE);
  EXPECT_EQ(r.DIBBytes, nullptr);
  EXPECT_EQ(ijlFree(&r), IJL_OK);
  EXPECT_EQ(ijlInit(nullptr), IJL_NULL_POINTER);
  EXPECT_EQ(ijlFree(nullptr), IJL_NULL_POINTER);
}

TEST(Ijl, WritesAnUprightFullQualityJpeg) {
  TempDir dir;
  Dib dib;
  JPEG_CORE_PROPERTIES r;
  ASSERT_EQ(ijlInit(&r), IJL_OK);
  dib.Describe(r, dir.File("out.jpg"));
  ASSERT_EQ(ijlWrite(&r, IJL_JFILE_WRITEWHOLEIMAGE), IJL_OK);
  ijlFree(&r);

  const auto jpeg = ReadFile(dir.File("out.jpg"));
  tjhandle tj = tjInitDecompress();
  int w = 0, h = 0, subsampling = -1, colourspace = -1;
  ASSERT_EQ(tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), &w, &h, &subsampling, &colourspace),
            0);
  EXPECT_EQ(w, Dib::kW);
  EXPECT_EQ(h, Dib::kH);
  EXPECT_EQ(subsampling, TJSAMP_444);
  EXPECT_EQ(colourspace, TJCS_YCbCr);
  std::vector<unsigned char> rgb(static_cast<std::size_t>(w) * h * 3);
  ASSERT_EQ(tjDecompress2(tj, jpeg.data(), jpeg.size(), rgb.data(), w, 0, h, TJPF_RGB, 0), 0);
  tjDestroy(tj);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const unsigned char* p = &rgb[(static_cast<std::size_t>(y) * w + x) * 3];
      const bool top = y < h / 2;
      EXPECT_NEAR(p[0], top ? 255 : 0, 40) << x << "," << y;  // red on top
      EXPECT_NEAR(p[2], top ? 0 : 255, 40) << x << "," << y;
    }
}

TEST(Ijl, InvalidRecordsAnswerCodesAndWriteNothing) {
  TempDir dir;
  const std::string file = dir.File("never.jpg");
  struct Case {
    const char* what;
    void (*spoil)(JPEG_CORE_PROPERTIES&);
    IJLERR expected;
  };
  const Case cases[] = {
      {"no pixels", [](JPEG_CORE_PROPERTIES& r) { r.DIBBytes = nullptr; }, IJL_NULL_POINTER},
      {"no file", [](JPEG_CORE_PROPERTIES& r) { r.JPGFile = nullptr; }, IJL_NULL_POINTER},
      {"zero width", [](JPEG_CORE_PROPERTIES& r) { r.DIBWidth = 0; }, IJL_INVALID_SIZE},
      {"zero height", [](JPEG_CORE_PROPERTIES& r) { r.DIBHeight = 0; }, IJL_INVALID_SIZE},
      {"sizes differ", [](JPEG_CORE_PROPERTIES& r) { r.JPGWidth = 6; }, IJL_INVALID_SIZE},
      {"negative pad", [](JPEG_CORE_PROPERTIES& r) { r.DIBPadBytes = -1; }, IJL_INVALID_PADDING},
      {"huge pad", [](JPEG_CORE_PROPERTIES& r) { r.DIBPadBytes = 0x7FFFFFF0; },
       IJL_INVALID_PADDING},
      {"quality 0", [](JPEG_CORE_PROPERTIES& r) { r.jquality = 0; }, IJL_INVALID_QUALITY},
      {"quality 101", [](JPEG_CORE_PROPERTIES& r) { r.jquality = 101; }, IJL_INVALID_QUALITY},
      {"4 channels", [](JPEG_CORE_PROPERTIES& r) { r.DIBChannels = 4; }, IJL_UNSUPPORTED_COLOR},
      {"bad subsampling",
       [](JPEG_CORE_PROPERTIES& r) { r.JPGSubSampling = static_cast<IJL_JPGSUBSAMPLING>(9); },
       IJL_UNSUPPORTED_SUBSAMPLING},
      {"not initialised", [](JPEG_CORE_PROPERTIES& r) { ijlFree(&r); }, IJL_NOT_INITIALISED},
  };
  for (const Case& c : cases) {
    Dib dib;
    JPEG_CORE_PROPERTIES r;
    ASSERT_EQ(ijlInit(&r), IJL_OK);
    dib.Describe(r, file);
    c.spoil(r);
    EXPECT_EQ(ijlWrite(&r, IJL_JFILE_WRITEWHOLEIMAGE), c.expected) << c.what;
    EXPECT_FALSE(Exists(file)) << c.what;
    ijlFree(&r);
  }
  Dib dib;
  JPEG_CORE_PROPERTIES r;
  ijlInit(&r);
  dib.Describe(r, file);
  EXPECT_EQ(ijlWrite(&r, static_cast<IJLIOTYPE>(1)), IJL_UNSUPPORTED_IOTYPE);
  EXPECT_EQ(ijlWrite(nullptr, IJL_JFILE_WRITEWHOLEIMAGE), IJL_NULL_POINTER);
  dib.Describe(r, dir.File("no/folder/x.jpg"));
  EXPECT_EQ(ijlWrite(&r, IJL_JFILE_WRITEWHOLEIMAGE), IJL_FILE_ERROR);
  ijlFree(&r);
}

}  // namespace
}  // namespace qz::ijl
