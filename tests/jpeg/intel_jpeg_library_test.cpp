#include "jpeg/intel_jpeg_library.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "platform/automation/error.h"
#include "platform/ijl/ijl.h"
#include "platform/kernel/kernel.h"
#include "tests/support/special_files.h"

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

// An old file at path with known access and write times.
void OldFile(const std::string& path) {
  std::ofstream(path) << "not a jpeg at all";
  const kernel::FILETIME access = kernel::FileTimeFromUnix(1000000000, 500000000);
  const kernel::FILETIME write = kernel::FileTimeFromUnix(900000000, 0);
  const kernel::HFILE f = kernel::_lopen(path.c_str(), kernel::OF_WRITE);
  ASSERT_NE(f, kernel::HFILE_ERROR);
  ASSERT_EQ(kernel::SetFileTime(f, nullptr, &access, &write), 1);
  kernel::_lclose(f);
}

void ExpectOldTimes(const std::string& path) {
  const Stat s(path);  // before anything reads the file and moves its access time
  EXPECT_EQ(s.st.st_mtim.tv_sec, 900000000) << path;
  EXPECT_EQ(s.st.st_atim.tv_sec, 1000000000) << path;
  EXPECT_EQ(s.st.st_atim.tv_nsec, 500000000) << path;
}

TEST(WriteJpegFile, ReplacingAFileKeepsItsTimesAndAttributes) {
  TempDir dir;
  const std::string path = dir.File("old.jpg");
  OldFile(path);
  imaging::cDIBSection d;
  Fill(d, 16, 10);
  ASSERT_TRUE(WriteJpegFile(d, path));
  ExpectOldTimes(path);
  EXPECT_EQ(kernel::GetFileAttributesA(path.c_str()), kernel::FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"old.jpg"});
  ExpectDecodesTo(path, d, 4);

  // A hidden (dot) name is looked up like any other.
  const std::string hidden = dir.File(".hidden.jpg");
  OldFile(hidden);
  ASSERT_TRUE(WriteJpegFile(d, hidden));
  ExpectOldTimes(hidden);
  EXPECT_EQ(kernel::GetFileAttributesA(hidden.c_str()), kernel::FILE_ATTRIBUTE_HIDDEN);
  ExpectDecodesTo(hidden, d, 4);

  // The look-up is exact: a wildcard in the name borrows no other file's
  // entry (nor its read-only refusal).
  const std::string other = dir.File("bc.jpg");
  OldFile(other);
  ASSERT_EQ(kernel::SetFileAttributesA(other.c_str(), kernel::FILE_ATTRIBUTE_READONLY), 1);
  const time_t before = time(nullptr);
  ASSERT_TRUE(WriteJpegFile(d, dir.File("b?.jpg")));
  EXPECT_GE(Stat(dir.File("b?.jpg")).st.st_mtime, before - 1);
  ExpectOldTimes(other);
  EXPECT_EQ(ReadFile(other).size(), 17u);
}

TEST(WriteJpegFile, AReadOnlyFileIsNotReplaced) {
  TempDir dir;
  const std::string path = dir.File("old.jpg");
  OldFile(path);
  ASSERT_EQ(kernel::SetFileAttributesA(path.c_str(), kernel::FILE_ATTRIBUTE_READONLY), 1);
  imaging::cDIBSection d;
  Fill(d, 16, 10);
  try {
    WriteJpegFile(d, path);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kPathFileAccessError);
  }
  ExpectOldTimes(path);
  EXPECT_EQ(ReadFile(path).size(), 17u);
  EXPECT_EQ(kernel::GetFileAttributesA(path.c_str()), kernel::FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"old.jpg"});

  // Writable again, it is replaced (reading it above moved its access time).
  ASSERT_EQ(kernel::SetFileAttributesA(path.c_str(), kernel::FILE_ATTRIBUTE_NORMAL), 1);
  ASSERT_TRUE(WriteJpegFile(d, path));
  EXPECT_EQ(Stat(path).st.st_mtim.tv_sec, 900000000);
  EXPECT_EQ(kernel::GetFileAttributesA(path.c_str()), kernel::FILE_ATTRIBUTE_NORMAL);
  ExpectDecodesTo(path, d, 4);
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

  // Sizes a failed creation left behind: -Height and the scan line overflow
  // while the record is filled, before anything is written.
  for (const auto& [w, h] : {std::pair{1, INT32_MIN}, std::pair{0x7FFFFFFF / 3 + 1, 1}}) {
    imaging::cDIBSection huge;
    try {
      huge.Create(w, h);
    } catch (const Error&) {
    }
    try {
      WriteJpegFile(huge, dir.File("huge.jpg"));
      FAIL() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), err::kOverflow);
    }
  }
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"keep.jpg"});
}

// The error a write raises, or a 0 number when it succeeded.
Error WriteError(const imaging::cDIBSection& d, const std::string& path) {
  try {
    WriteJpegFile(d, path);
  } catch (const Error& e) {
    return e;
  }
  return Error(0, "", "");
}

TEST(WriteJpegFile, AnOutputThatCannotBeCreatedIsTheEncodersFailure) {
  TempDir dir;
  const std::string fifo = dir.File("fifo.jpg");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const std::string folder = dir.File("folder.jpg");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const std::string linked = dir.File("linked.jpg");
  std::ofstream(linked) << "linked";
  const std::string link = dir.File("link.jpg");
  ASSERT_EQ(symlink(linked.c_str(), link.c_str()), 0);
  const std::string device = test::SafeCharDevice(dir.File(""));
  std::vector<std::pair<std::string, mode_t>> nodes = {
      {fifo, S_IFIFO}, {folder, S_IFDIR}, {link, S_IFLNK}};
  if (!device.empty()) nodes.emplace_back(device, S_IFCHR);
  imaging::cDIBSection d;
  Fill(d, 4, 4);
  std::vector<std::pair<std::string, mode_t>> targets = nodes;
  targets.emplace_back(dir.File("no/such/folder.jpg"), 0);
  targets.emplace_back("", 0);
  for (const auto& [path, kind] : targets) {
    SCOPED_TRACE(path);
    const Error e = WriteError(d, path);
    EXPECT_EQ(e.number(), 26001);
    EXPECT_EQ(e.source(), JpegErrorSource());
    EXPECT_EQ(e.description(), "Failed to save to JPG " + std::to_string(ijl::IJL_FILE_ERROR));
    EXPECT_EQ(test::KindAt(path), kind);
  }
  EXPECT_EQ(ReadFile(linked).size(), 6u);
  // Nothing else appeared beside them.
  std::vector<std::string> names = dir.Names();
  std::sort(names.begin(), names.end());
  std::vector<std::string> expected = {"fifo.jpg", "folder.jpg", "link.jpg", "linked.jpg"};
  if (!device.empty() && device != "/dev/null") expected.push_back("null-device");
  EXPECT_EQ(names, expected);
}

TEST(WriteJpegFile, AReplacedFileKeepsItsPermissionBits) {
  TempDir dir;
  imaging::cDIBSection d;
  Fill(d, 8, 8);
  for (mode_t mode : {0600, 0640, 0664}) {
    SCOPED_TRACE(mode);
    const std::string path = dir.File("chart" + std::to_string(mode) + ".jpg");
    OldFile(path);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    ASSERT_TRUE(WriteJpegFile(d, path));
    EXPECT_EQ(Stat(path).st.st_mode & 07777, mode);
    ExpectOldTimes(path);
    ExpectDecodesTo(path, d, 4);
  }
}

TEST(WriteJpegFile, TheLongestLegalNameSaves) {
  TempDir dir;
  imaging::cDIBSection d;
  Fill(d, 8, 8);
  for (std::size_t length : {249u, 250u, 255u}) {
    const std::string path = dir.File(std::string(length - 4, 'c') + ".jpg");
    EXPECT_TRUE(WriteJpegFile(d, path));
    ExpectDecodesTo(path, d, 4);
    OldFile(path);  // and replaced
    EXPECT_TRUE(WriteJpegFile(d, path));
    ExpectOldTimes(path);
  }
  EXPECT_EQ(dir.Names().size(), 3u);
}

}  // namespace
}  // namespace qz::jpeg
