// The steps of the render road, shared by the render methods, the stamp and
// the benchmark that times each part on its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "component/object_state.h"
#include "imaging/dib_section.h"
#include "platform/form/form.h"
#include "platform/gdi/picture.h"

namespace qz::delivery {

enum class ImageFormat { kBmp, kJpeg, kPng, kSvg };

// BMP, PNG or SVG when ImageType, upper-cased, is exactly "BMP", "PNG" or
// "SVG" (no trimming); JPEG for every other value, the empty one included.
ImageFormat FormatOf(std::string_view image_type);
std::string_view ContentTypeOf(ImageFormat format);

// Sizes Picture1 to the chart, switches on both persistent images and has the
// chart paint itself into Picture1's.
void PaintIntoPicture1(form::Form1& form);
// Makes Picture1's persistent image its picture, switches the image off and
// fills dib from that picture.
void CapturePicture1(form::Form1& form, imaging::cDIBSection& dib);
// Writes the captured chart at path in the chosen format, replacing what is
// there: BMP from Picture1's picture, JPEG and PNG from dib. SVG is no
// raster format: RenderChart paints it apart (image_formats.h).
void EncodeChart(form::Form1& form, ImageFormat format, const imaging::cDIBSection& dib,
                 const std::string& path);

// The road after composition: from sizing Picture1 to the encoded file.
void RenderChart(component::ObjectState& object, form::Form1& form, const std::string& path);

// Copies the registered picture onto Picture1; every failing step is skipped.
void StampPicture(component::ObjectState& object, form::Form1& form) noexcept;

// The error number a caught failure stands for: a qz::Error's own, 7 (Out of
// memory) for an allocation failure, 51 (Internal error) for anything else.
std::int32_t CurrentFailureNumber() noexcept;

// Reports the failure being handled to the platform's event log, with its
// number, source and description (which the error answer leaves out), as
// the failure of operation. Called only inside a catch block.
void ReportCurrentFailure(std::string_view operation) noexcept;

// Content type "text/HTML", the standard message of number, End. A failure of
// any of these (no Response at all included) is raised.
void AnswerError(component::ObjectState& object, std::int32_t number);

// Tells the event log of a chart written, as an information event naming
// the operation and the image format. Never throws.
void ReportChartWritten(std::string_view operation, ImageFormat format) noexcept;

}  // namespace qz::delivery
