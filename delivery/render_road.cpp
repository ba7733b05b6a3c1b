#include <chrono>
#include <new>
#include <random>
#include <utility>
#include <vector>

#include "component/render_methods.h"
#include "composition/compose_chart.h"
#include "delivery/image_formats.h"
#include "delivery/render_road_p.h"
#include "delivery/temp_file.h"
#include "jpeg/intel_jpeg_library.h"
#include "platform/automation/error.h"
#include "platform/chart/render/paint.h"
#include "platform/eventlog/event_log.h"
#include "platform/kernel/kernel.h"

namespace qz::delivery {

namespace {

// A Response call that fails raises the automation error its status stands
// for, like any other failing step.
void Check(HRESULT hr) {
  if (Failed(hr)) Raise(NumberFromHResult(hr));
}

IResponse& ResponseOf(component::ObjectState& object) {
  if (!object.mResponse) Raise(err::kObjectVariableNotSet);
  return *object.mResponse;
}

// Each image format's media type, as sent, and its name in events.
struct FormatNames {
  ImageFormat format;
  std::string_view content_type;
  std::string_view name;
};
constexpr FormatNames kFormatNames[] = {
    {ImageFormat::kJpeg, "image/jpg", "jpeg"},
    {ImageFormat::kBmp, "image/bmp", "bmp"},
    {ImageFormat::kPng, "image/png", "png"},
    {ImageFormat::kSvg, "image/svg+xml", "svg"},
};

const FormatNames& NamesOf(ImageFormat format) {
  for (const FormatNames& names : kFormatNames)
    if (names.format == format) return names;
  return kFormatNames[0];
}

}  // namespace

ImageFormat FormatOf(std::string_view image_type) {
  if (image_type.size() != 3) return ImageFormat::kJpeg;
  // The three letters in any case; ASCII only, as the names are.
  auto is = [image_type](std::string_view name) {
    for (std::size_t i = 0; i < 3; ++i) {
      char c = image_type[i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (c != name[i]) return false;
    }
    return true;
  };
  if (is("BMP")) return ImageFormat::kBmp;
  if (is("PNG")) return ImageFormat::kPng;
  if (is("SVG")) return ImageFormat::kSvg;
  return ImageFormat::kJpeg;
}

std::string_view ContentTypeOf(ImageFormat format) {
  return NamesOf(format).content_type;
}

void PaintIntoPicture1(form::Form1& form) {
  chart::Chart& chart = form.Chart();
  form::PictureBox& picture1 = form.Picture1();
  // At a resolution other than 96 the picture has the chart's pixels at
  // that resolution.
  picture1.SetHeight(chart::render::DeviceTwips(chart.Height(), chart.state()));
  picture1.SetWidth(chart::render::DeviceTwips(chart.Width(), chart.state()));
  picture1.SetAutoRedraw(true);
  form.tPict().SetAutoRedraw(true);
  // lParam: the address of a 32-bit zero, as the paint message expects.
  std::int32_t zero = 0;
  gdi::SendMessageA(static_cast<gdi::HWND>(chart.hWnd()), gdi::WM_PAINT,
                    picture1.hDCForCoveringPaint(), reinterpret_cast<gdi::LPARAM>(&zero));
}

void CapturePicture1(form::Form1& form, imaging::cDIBSection& dib) {
  form::PictureBox& picture1 = form.Picture1();
  // Picture = Image, then AutoRedraw off, in one step that hands the image's
  // pixels over instead of copying them.
  picture1.TakeImageAsPicture();
  dib.CreateFromPicture(picture1.Picture());
}

void EncodeChart(form::Form1& form, ImageFormat format, const imaging::cDIBSection& dib,
                 const std::string& path) {
  switch (format) {
    case ImageFormat::kBmp:
      gdi::SavePicture(form.Picture1().Picture(), path);
      break;
    case ImageFormat::kPng:
      WritePngFile(form.Chart().state(), dib, path);
      break;
    case ImageFormat::kSvg:  // painted as vectors by RenderSvg, never captured
      Raise(err::kInternalError, "an SVG chart has no raster to encode");
    case ImageFormat::kJpeg:
      jpeg::WriteJpegFile(dib, path, chart::render::DotsPerInch(form.Chart().state()));
      break;
  }
}

void RenderChart(component::ObjectState& object, form::Form1& form, const std::string& path) {
  const ImageFormat format = FormatOf(object.settings.ImageType);
  if (format == ImageFormat::kSvg) {
    RenderSvg(object, form, path);
    return;
  }
  PaintIntoPicture1(form);
  if (object.mPastePending == VARIANT_TRUE) StampPicture(object, form);
  imaging::cDIBSection dib;
  if (format == ImageFormat::kBmp) {
    // Saved from the picture itself: the 24-bit buffer would go unread.
    form.Picture1().TakeImageAsPicture();
  } else {
    CapturePicture1(form, dib);
  }
  EncodeChart(form, format, dib, path);
}

std::int32_t CurrentFailureNumber() noexcept {
  try {
    throw;
  } catch (const Error& e) {
    return e.number();
  } catch (const std::bad_alloc&) {
    return err::kOutOfMemory;
  } catch (...) {
    return err::kInternalError;
  }
}

void ReportCurrentFailure(std::string_view operation) noexcept {
  eventlog::Event event;
  event.operation = operation;
  event.number = CurrentFailureNumber();
  try {
    throw;
  } catch (const Error& e) {
    event.source = e.source();
    event.description = e.description();
    eventlog::ReportEvent(event);
    return;
  } catch (...) {
  }
  event.description = StandardMessage(event.number);
  eventlog::ReportEvent(event);
}

void ReportChartWritten(std::string_view operation, ImageFormat format) noexcept {
  eventlog::Event event;
  event.type = eventlog::EventType::kInformation;
  event.operation = operation;
  event.format = NamesOf(format).name;
  eventlog::ReportEvent(event);
}

void AnswerError(component::ObjectState& object, std::int32_t number) {
  IResponse& response = ResponseOf(object);
  Check(response.put_ContentType("text/HTML"));
  Check(response.Write(Variant(StandardMessage(number))));
  Check(response.End());
}

}  // namespace qz::delivery

namespace qz::component {

using delivery::AnswerError;
using delivery::CurrentFailureNumber;
using delivery::ReportCurrentFailure;

void SendChart(ObjectState& object) {
  form::Form1& form = form::GetForm1();
  std::int32_t failure = 0;
  try {
    composition::ComposeChart(object.settings, form.Chart());
    delivery::TempRandom random = delivery::SeededFromClock();
    const Variant folder = GetTmpPath(object);
    // Deleted when this block is left, whichever way.
    const delivery::ReservedTempFile temp(folder.str(), random);
    delivery::RenderChart(object, form, temp.path());
    ByteArray bytes = kernel::ReadWholeFile(temp.path());
    IResponse& response = delivery::ResponseOf(object);
    delivery::Check(response.put_Buffer(VARIANT_TRUE));
    delivery::Check(response.put_ContentType(
        delivery::ContentTypeOf(delivery::FormatOf(object.settings.ImageType))));
    // The chart's bytes go to the response as read back, without a copy.
    delivery::Check(response.BinaryWriteOwned(Variant(std::move(bytes))));
    delivery::Check(response.End());
    return;
  } catch (...) {
    failure = CurrentFailureNumber();
    ReportCurrentFailure("QuenzaChart.SendChart");
  }
  AnswerError(object, failure);
}

void SaveChart(ObjectState& object, std::string_view mSaveFile) {
  form::Form1& form = form::GetForm1();
  const std::string path(mSaveFile);
  std::int32_t failure = 0;
  try {
    // The file calls would see the name only up to a zero byte: a name that
    // holds one is refused before anything is drawn or written.
    if (path.find('\0') != std::string::npos) Raise(err::kBadFileNameOrNumber);
    composition::ComposeChart(object.settings, form.Chart());
    delivery::RenderChart(object, form, path);
    delivery::ReportChartWritten("QuenzaChart.SaveChart",
                                 delivery::FormatOf(object.settings.ImageType));
    return;
  } catch (...) {
    failure = CurrentFailureNumber();
    ReportCurrentFailure("QuenzaChart.SaveChart");
  }
  AnswerError(object, failure);
}

Variant GetTmpPath(ObjectState&) {
  char buffer[kernel::MAX_PATH] = {};
  if (kernel::GetTempPathA(kernel::MAX_PATH, buffer) == 0) return Variant(std::string());
  return Variant(std::string(buffer));  // up to the first zero
}

}  // namespace qz::component
