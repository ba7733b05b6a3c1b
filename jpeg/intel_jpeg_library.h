// mIntelJPEGLibrary: writes a cDIBSection as a JPEG file at quality 100.
#pragma once

#include <string>

#include "imaging/dib_section.h"

namespace qz::jpeg {

inline constexpr int kJpegQuality = 100;

// Writes the buffer's picture, upright, as a JPEG file at path, replacing a
// file that is there and putting the old file's attributes and access and
// write times back onto the new one. Answers true; every failure is raised:
// 26001 with source "<library>.mIntelJPEGLibrary" and the description
// "Failed to initialise the IJL library: <code>" or "Failed to save to JPG
// <code>" for the encoder's failures; 6 for a size overflow; 75 when the new
// file cannot be put in place. The image is encoded beside the target and
// renamed over it, so a failed write leaves the old file (or no file) there,
// never a truncated one.
bool WriteJpegFile(const imaging::cDIBSection& buffer, const std::string& path);

// The source of the writer's own errors.
std::string JpegErrorSource();

}  // namespace qz::jpeg
