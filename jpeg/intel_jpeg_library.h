// mIntelJPEGLibrary: writes a cDIBSection as a JPEG file at quality 100.
#pragma once

#include <string>

#include "imaging/dib_section.h"

namespace qz::jpeg {

inline constexpr int kJpegQuality = 100;

// Writes the buffer's picture, upright, as a JPEG file at path, replacing a
// regular file that is there and keeping the old file's permission bits,
// owner and access and write times on the new one. Answers true; every
// failure is raised: 26001 with source "<library>.mIntelJPEGLibrary" and the
// description "Failed to initialise the IJL library: <code>" or "Failed to
// save to JPG <code>" for the encoder's failures, among them an output that
// cannot be created at all (a missing folder, an empty path, a folder,
// device, FIFO, socket or symbolic link at path, which stays untouched); 6
// for a size overflow; 75 when the old file is read-only (it cannot be
// deleted; nothing is written) or cannot be replaced. The image is encoded
// beside the target and put in its place when complete, so a failed write
// leaves the old file (or no file) there, never a truncated one.
// dots_per_inch other than 96 is recorded in the JFIF density fields (units:
// dots per inch); at 96 the encoder's own fields stay.
bool WriteJpegFile(const imaging::cDIBSection& buffer, const std::string& path,
                   int dots_per_inch = 96);

// The source of the writer's own errors.
std::string JpegErrorSource();

}  // namespace qz::jpeg
