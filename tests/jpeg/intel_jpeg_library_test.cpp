#include "jpeg/intel_jpeg_library.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/automation/error.h"
#include "platform/kernel/kernel.h"

namespace qz::jpeg {
namespace {

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/qz_jpeg_XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { std::system(("chmod -R u+w '" + path_ + "'; rm -rf '" + path_ + "'").c_str()); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Every name in the folder, hidden ones included.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    DIR* d = opendir(path_.c_str());
    while (dirent* e = readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        names.push_back(e->d_name);
    closedir(d);
    return names;
  }

 private:
  std::string path_;
};

std::vector<unsigned char> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

// A smooth picture: red grows to the right, green downwards, blue 60; the
// top 3 rows are white so that an upside-down image shows.
void Fill(imaging::cDIBSection& d, int w, int h) {
  ASSERT_TRUE(d.Create(w, h));
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = d.DIBSectionBitsPtr() + (h - 1 - y) * d.BytesPerScanLine();
    for (int x = 0; x < w; ++x) {
      const bool white = y < 3;
      row[3 * x] = white ? 255 : 60;
      row[3 * x + 1] = white ? 255 : static_cast<std::uint8_t>(y * 255 / h);
      row[3 * x + 2] = white ? 255 : static_cast<std::uint8_t>(x * 255 / w);
    }
  }
}

void ExpectDecodesTo(const std::string& path, const imaging::cDIBSection& d, int tolerance) {
  const auto jpeg = ReadFile(path);
  tjhandle tj = tjInitDecompress();
  int w = 0, h = 0, subsampling = -1, colourspace = -1;
  ASSERT_EQ(tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), &w, &h, &subsampling, &colourspace),
            0);
  ASSERT_EQ(w, d.Width());
  ASSERT_EQ(h, d.Height());
  EXPECT_EQ(subsampling, TJSAMP_444);
  std::vector<unsigned char> bgr(static_cast<std::size_t>(w) * h * 3);
  ASSERT_EQ(tjDecompress2(tj, jpeg.data(), jpeg.size(), bgr.data(), w, 0, h, TJPF_BGR, 0), 0);
  tjDestroy(tj);
  int worst = 0;
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* row = d.DIBSectionBitsPtr() + (h - 1 - y) * d.BytesPerScanLine();
    for (int k = 0; k < w * 3; ++k)
      worst = std::max(worst, std::abs(bgr[static_cast<std::size_t>(y) * w * 3 + k] - row[k]));
  }
  EXPECT_LE(worst, tolerance);
}

struct Stat {
  struct stat st {};
  explicit Stat(const std::string& path) { stat(path.c_str(), &st); }
};

TEST(WriteJpegFile, WritesAnUprightPictureWithinTolerance) {
  TempDir dir;
  for (int w : {1, 2, 3, 4, 5, 64}) {
    imaging::cDIBSection d;
    Fill(d, w, 9);
    const std::string path = dir.File("w" + std::to_string(w) + ".jpg");
    EXPECT_TRUE(WriteJpegFile(d, path));
    ExpectDecodesTo(path, d, 4);
  }
  imaging::cDIBSection d;
  Fill(d, 200, 120);
  EXPECT_TRUE(WriteJpegFile(d, dir.File("big.jpg")));
  ExpectDecodesTo(dir.File("big.jpg"), d, 4);
}

TEST(WriteJpegFile, ANewFileKeepsItsOwnTimesAndAttributes) {
  TempDir dir;
  imaging::cDIBSection d;
  Fill(d, 8, 8);
  const std::string path = dir.File("new.jpg");
  const time_t before = time(nullptr);
  ASSERT_TRUE(WriteJpegFile(d, path));
  const Stat s(path);
  EXPECT_GE(s.st.st_mtime, before - 1);
  EXPECT_NE(s.st.st_mode & S_IWUSR, 0u);
}

TEST(WriteJpegFile, ReplacingAFileKeepsItsTimesAndReadOnlyBit) {
  TempDir dir;
  const std::string path = dir.File("old.jpg");
  std::ofstream(path) << "not a jpeg at all";
  const kernel::FILETIME access = kernel::FileTimeFromUnix(1000000000, 500000000);
  const kernel::FILETIME write = kernel::FileTimeFromUnix(900000000, 0);
  const kernel::HFILE f = kernel::_lopen(path.c_str(), kernel::OF_WRITE);
  ASSERT_EQ(kernel::SetFileTime(f, nullptr, &access, &write), 1);
  kernel::_lclose(f);
  ASSERT_EQ(kernel::SetFileAttributesA(path.c_str(), kernel::FILE_ATTRIBUTE_READONLY), 1);

  imaging::cDIBSection d;
  Fill(d, 16, 10);
  ASSERT_TRUE(WriteJpegFile(d, path));
  const Stat s(path);  // before anything reads the file and moves its access time
  EXPECT_EQ(s.st.st_mtim.tv_sec, 900000000);
  EXPECT_EQ(s.st.st_atim.tv_sec, 1000000000);
  EXPECT_EQ(s.st.st_atim.tv_nsec, 500000000);
  EXPECT_EQ(kernel::GetFileAttributesA(path.c_str()), kernel::FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"old.jpg"});
  ExpectDecodesTo(path, d, 4);

  // Writable again: the attribute goes back to normal on the next write.
  ASSERT_EQ(kernel::SetFileAttributesA(path.c_str(), kernel::FILE_ATTRIBUTE_NORMAL), 1);
  ASSERT_TRUE(WriteJpegFile(d, path));
  EXPECT_EQ(kernel::GetFileAttributesA(path.c_str()), kernel::FILE_ATTRIBUTE_NORMAL);
}

TEST(WriteJpegFile, LibraryFailuresRaise26001AndLeaveTheOldFile) {
  TempDir dir;
  const std::string path = dir.File("keep.jpg");
  std::ofstream(path) << "previous image";
  imaging::cDIBSection never_created;
  try {
    WriteJpegFile(never_created, path);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), 26001);
    EXPECT_EQ(e.source(), DefaultErrorSource() + ".mIntelJPEGLibrary");
    EXPECT_EQ(e.description(), "Failed to save to JPG -1");
  }
  EXPECT_EQ(ReadFile(path).size(), 14u);  // not truncated, not deleted
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"keep.jpg"});
  EXPECT_EQ(JpegErrorSource(), DefaultErrorSource() + ".mIntelJPEGLibrary");

  imaging::cDIBSection d;
  Fill(d, 4, 4);
  try {
    WriteJpegFile(d, dir.File("no/such/folder.jpg"));
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kPathFileAccessError);
  }
}

}  // namespace
}  // namespace qz::jpeg
