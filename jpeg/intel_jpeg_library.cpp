#include "jpeg/intel_jpeg_library.h"

#include <cstdint>
#include <limits>

#include "platform/automation/error.h"
#include "platform/ijl/ijl.h"
#include "platform/kernel/kernel.h"

namespace qz::jpeg {

namespace {

std::int32_t CheckedI32(std::int64_t v) {
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
    Raise(err::kOverflow);
  return static_cast<std::int32_t>(v);
}

// ijlFree on every way out once ijlInit has succeeded.
class RecordGuard {
 public:
  explicit RecordGuard(ijl::JPEG_CORE_PROPERTIES* record) : record_(record) {}
  RecordGuard(const RecordGuard&) = delete;
  RecordGuard& operator=(const RecordGuard&) = delete;
  ~RecordGuard() { ijl::ijlFree(record_); }

 private:
  ijl::JPEG_CORE_PROPERTIES* record_;
};

}  // namespace

std::string JpegErrorSource() {
  return DefaultErrorSource() + ".mIntelJPEGLibrary";
}

bool WriteJpegFile(const imaging::cDIBSection& buffer, const std::string& path) {
  ijl::JPEG_CORE_PROPERTIES record{};
  if (const ijl::IJLERR code = ijl::ijlInit(&record); code != ijl::IJL_OK) {
    Raise(err::kJpegLibrary, "Failed to initialise the IJL library: " + std::to_string(code),
          JpegErrorSource());
  }
  RecordGuard guard(&record);

  // The entry of the file being replaced, put back after the write. An exact
  // look-up: a wildcard in the path must not borrow another file's entry.
  kernel::WIN32_FIND_DATAA saved{};
  const bool existed = kernel::GetFileEntryA(path.c_str(), &saved) != 0;

  record.DIBWidth = buffer.Width();
  record.DIBHeight = CheckedI32(-static_cast<std::int64_t>(buffer.Height()));
  record.DIBBytes = buffer.DIBSectionBitsPtr();
  record.DIBPadBytes =
      CheckedI32(buffer.BytesPerScanLine() - static_cast<std::int64_t>(buffer.Width()) * 3);
  // Encoded beside the target and renamed over it once complete: a failed
  // write leaves the old file (or none) under the target's name.
  kernel::SiblingFile sibling(path);
  record.JPGFile = sibling.path().c_str();
  record.JPGWidth = buffer.Width();
  record.JPGHeight = buffer.Height();
  record.jquality = kJpegQuality;

  if (const ijl::IJLERR code = ijl::ijlWrite(&record, ijl::IJL_JFILE_WRITEWHOLEIMAGE);
      code != ijl::IJL_OK) {
    Raise(err::kJpegLibrary, "Failed to save to JPG " + std::to_string(code), JpegErrorSource());
  }
  sibling.Commit();

  if (existed) {
    const kernel::HFILE file =
        kernel::_lopen(path.c_str(), kernel::OF_WRITE | kernel::OF_SHARE_DENY_WRITE);
    if (file != kernel::HFILE_ERROR) {
      kernel::SetFileTime(file, &saved.ftCreationTime, &saved.ftLastAccessTime,
                          &saved.ftLastWriteTime);
      kernel::_lclose(file);
      kernel::SetFileAttributesA(path.c_str(), saved.dwFileAttributes);
    }
  }
  return true;
}

}  // namespace qz::jpeg
