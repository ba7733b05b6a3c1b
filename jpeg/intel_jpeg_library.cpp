#include "jpeg/intel_jpeg_library.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

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

[[noreturn]] void RaiseSaveFailure(ijl::IJLERR code) {
  Raise(err::kJpegLibrary, "Failed to save to JPG " + std::to_string(code), JpegErrorSource());
}

}  // namespace

std::string JpegErrorSource() {
  return DefaultErrorSource() + ".mIntelJPEGLibrary";
}

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};

// Writes dots_per_inch into the JFIF density fields of the encoder's file at
// path: 75 when it cannot be rewritten, 481 when it is too short to be a
// JPEG; a file of another layout is left as it is.
void RecordDensity(const std::string& path, int dots_per_inch) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "r+b"));
  if (!file) Raise(err::kPathFileAccessError);
  // SOI, then the JFIF segment: FF E0, length, "JFIF\0", version, units,
  // X density, Y density.
  std::uint8_t head[18] = {};
  if (std::fread(head, 1, sizeof head, file.get()) != sizeof head) Raise(err::kInvalidPicture);
  if (head[0] != 0xFF || head[1] != 0xD8 || head[2] != 0xFF || head[3] != 0xE0 ||
      std::memcmp(head + 6, "JFIF", 5) != 0)
    return;  // not the encoder's layout: nothing to record into
  const auto dpi = static_cast<std::uint16_t>(dots_per_inch);
  const std::uint8_t density[5] = {
      1, static_cast<std::uint8_t>(dpi >> 8), static_cast<std::uint8_t>(dpi & 0xFF),
      static_cast<std::uint8_t>(dpi >> 8), static_cast<std::uint8_t>(dpi & 0xFF)};
  if (std::fseek(file.get(), 13, SEEK_SET) != 0 ||
      std::fwrite(density, 1, sizeof density, file.get()) != sizeof density ||
      std::fclose(file.release()) != 0)
    Raise(err::kPathFileAccessError);
}

}  // namespace

bool WriteJpegFile(const imaging::cDIBSection& buffer, const std::string& path, int dots_per_inch) {
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
  // The old file is deleted before the new one is written, and a read-only
  // file refuses deletion: the error leaves it as it is, nothing written.
  if (existed && (saved.dwFileAttributes & kernel::FILE_ATTRIBUTE_READONLY) != 0)
    Raise(err::kPathFileAccessError);

  record.DIBWidth = buffer.Width();
  record.DIBHeight = CheckedI32(-static_cast<std::int64_t>(buffer.Height()));
  record.DIBBytes = buffer.DIBSectionBitsPtr();
  record.DIBPadBytes =
      CheckedI32(buffer.BytesPerScanLine() - static_cast<std::int64_t>(buffer.Width()) * 3);
  // Encoded beside the target and put in its place once complete: a failed
  // write leaves the old file (or none) under the target's name. Where the
  // output cannot be created at all (no such folder, no name, something
  // other than a regular file at the target), the failure is the encoder's,
  // as if it had tried to create the file itself.
  std::optional<kernel::SiblingFile> sibling;
  try {
    sibling.emplace(path);
  } catch (const Error& e) {
    if (e.number() != err::kPathFileAccessError) throw;
    RaiseSaveFailure(ijl::IJL_FILE_ERROR);
  }
  record.JPGFile = sibling->path().c_str();
  record.JPGWidth = buffer.Width();
  record.JPGHeight = buffer.Height();
  record.jquality = kJpegQuality;

  if (const ijl::IJLERR code = ijl::ijlWrite(&record, ijl::IJL_JFILE_WRITEWHOLEIMAGE);
      code != ijl::IJL_OK) {
    RaiseSaveFailure(code);
  }
  if (dots_per_inch != 96) RecordDensity(sibling->path(), dots_per_inch);
  // The replaced file's times go onto the new one before it takes the
  // name (its attributes go with the permission bits the sibling keeps), so
  // nothing opens the target by name afterwards.
  if (existed) sibling->KeepTimes(&saved.ftLastAccessTime, &saved.ftLastWriteTime);
  try {
    sibling->Commit();
  } catch (const Error& e) {
    // An old file that could not be put aside is refused as its deletion
    // would be; a new one that cannot take its name was never created.
    if (existed || e.number() != err::kPathFileAccessError) throw;
    RaiseSaveFailure(ijl::IJL_FILE_ERROR);
  }
  return true;
}

}  // namespace qz::jpeg
