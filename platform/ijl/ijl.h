// A JPEG encoder with the calling conventions of the Intel JPEG Library's
// core interface (record JPEG_CORE_PROPERTIES, ijlInit / ijlWrite / ijlFree),
// built on libjpeg-turbo. Only whole-image writing to a file is offered.
#pragma once

#include <cstdint>

namespace qz::ijl {

// Result codes: 0 is success, failures are negative.
enum IJLERR : int {
  IJL_OK = 0,
  IJL_NULL_POINTER = -1,       // no record, no pixel memory, or no file name
  IJL_NOT_INITIALISED = -2,    // ijlWrite on a record ijlInit has not prepared
  IJL_INVALID_SIZE = -3,       // a width or height not positive, or DIB and JPG sizes differ
  IJL_INVALID_PADDING = -4,    // DIBPadBytes negative or the row size overflows
  IJL_UNSUPPORTED_COLOR = -5,  // a colour space or channel count not supported
  IJL_UNSUPPORTED_SUBSAMPLING = -6,
  IJL_INVALID_QUALITY = -7,  // jquality outside 1 to 100
  IJL_UNSUPPORTED_IOTYPE = -8,
  IJL_FILE_ERROR = -9,     // the file could not be created or written
  IJL_ENCODE_ERROR = -10,  // the encoder failed
};

enum IJLIOTYPE : int {
  IJL_JFILE_WRITEWHOLEIMAGE = 8,
};

enum IJL_COLOR : int {
  IJL_RGB = 1,
  IJL_BGR = 2,
  IJL_YCBCR = 3,
  IJL_G = 4,
  IJL_OTHER = 255,
};

enum IJL_JPGSUBSAMPLING : int {
  IJL_NONE = 0,  // 4:4:4
  IJL_411 = 1,   // 4:2:0
  IJL_422 = 2,   // 4:2:2
};

// The record. Pointers are pointer-sized. Fields beyond the published names
// are this implementation's own.
struct JPEG_CORE_PROPERTIES {
  std::uint32_t UseJPEGPROPERTIES = 0;

  // The pixels: DIBWidth x |DIBHeight|, DIBChannels bytes per pixel, each row
  // followed by DIBPadBytes bytes; a negative DIBHeight means the rows are
  // stored bottom-up (the first row in memory is the picture's bottom row).
  std::uint8_t* DIBBytes = nullptr;
  std::int32_t DIBWidth = 0;
  std::int32_t DIBHeight = 0;
  std::int32_t DIBPadBytes = 0;
  std::int32_t DIBChannels = 0;
  IJL_COLOR DIBColor = IJL_OTHER;
  IJL_JPGSUBSAMPLING DIBSubsampling = IJL_NONE;

  // The file.
  const char* JPGFile = nullptr;
  std::int32_t JPGWidth = 0;
  std::int32_t JPGHeight = 0;
  std::int32_t JPGChannels = 0;
  IJL_COLOR JPGColor = IJL_OTHER;
  IJL_JPGSUBSAMPLING JPGSubSampling = IJL_NONE;
  std::int32_t JPGThumbWidth = 0;
  std::int32_t JPGThumbHeight = 0;

  std::int32_t jquality = 0;  // 1 to 100

  // Private state: set by ijlInit, cleared by ijlFree.
  std::uint32_t initialised_magic_ = 0;
};

// Prepares a record: three BGR channels on the DIB side, no padding; three
// channels in YCbCr without chroma subsampling (4:4:4) on the JPEG side;
// quality 75.
IJLERR ijlInit(JPEG_CORE_PROPERTIES* jcprops);

// Encodes the DIB into the file JPGFile (created or replaced) at jquality.
// Validates the record first: every failure is a negative code, never a
// crash. JPGWidth and JPGHeight must equal DIBWidth and |DIBHeight|.
// DIBChannels 3 with IJL_BGR or IJL_RGB, or 1 with IJL_G; JPGColor IJL_YCBCR
// (3 channels) or IJL_G (1 channel).
IJLERR ijlWrite(JPEG_CORE_PROPERTIES* jcprops, IJLIOTYPE iotype);

// Releases what the record holds; always succeeds for a record (IJL_OK).
IJLERR ijlFree(JPEG_CORE_PROPERTIES* jcprops);

}  // namespace qz::ijl
