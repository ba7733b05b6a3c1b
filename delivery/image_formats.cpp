#include "delivery/image_formats.h"

#include "platform/automation/html.h"

#include <cairo-svg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "delivery/render_road_p.h"
#include "imaging/png_writer.h"
#include "platform/automation/convert.h"
#include "platform/automation/error.h"
#include "platform/chart/render/cairo_ptr.h"
#include "platform/chart/render/paint.h"
#include "platform/kernel/kernel.h"

namespace qz::delivery {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};

// cairo's SVG stream sink: appends to the vector, and answers a write error
// when it cannot grow (cairo then fails the surface).
cairo_status_t AppendToVector(void* closure, const unsigned char* data, unsigned int length) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(closure);
  try {
    out->insert(out->end(), data, data + length);
  } catch (...) {
    return CAIRO_STATUS_WRITE_ERROR;
  }
  return CAIRO_STATUS_SUCCESS;
}

std::string Base64(const std::vector<std::uint8_t>& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::uint32_t n = std::uint32_t{bytes[i]} << 16 |
                            (i + 1 < bytes.size() ? std::uint32_t{bytes[i + 1]} << 8 : 0) |
                            (i + 2 < bytes.size() ? std::uint32_t{bytes[i + 2]} : 0);
    out += kDigits[n >> 18 & 63];
    out += kDigits[n >> 12 & 63];
    out += i + 1 < bytes.size() ? kDigits[n >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[n & 63] : '=';
  }
  return out;
}

std::string XmlEscaped(std::string_view text) {
  // Control characters other than tab are not allowed in XML 1.0.
  std::string clean(text);
  for (char& c : clean) {
    if (static_cast<unsigned char>(c) < 0x20 && c != '	') c = ' ';
  }
  return EscapeHtml(clean);
}

std::string Fixed(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2f", std::isfinite(v) ? v : 0.0);
  return buffer;
}

// A font family as a CSS string: any name a page gives stays one name.
std::string CssString(std::string_view name) {
  std::string out = "'";
  for (char c : name) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

// The chart's texts as SVG text elements, drawn over its shapes.
std::string SvgTexts(const std::vector<chart::render::TextRun>& runs) {
  std::string out;
  for (const chart::render::TextRun& run : runs) {
    out += "<text";
    if (run.angle != 0 || run.origin_x != 0 || run.origin_y != 0) {
      out += " transform=\"translate(" + Fixed(run.origin_x) + " " + Fixed(run.origin_y) + ")";
      if (run.angle != 0) out += " rotate(" + Fixed(run.angle * 180 / 3.14159265358979323846) + ")";
      out += "\"";
    }
    out += " x=\"" + Fixed(run.x) + "\" y=\"" + Fixed(run.y) + "\" font-family=\"" +
           XmlEscaped(CssString(run.family));
    if (run.requested != run.family) out += ", " + XmlEscaped(CssString(run.requested));
    out += ", sans-serif\" font-size=\"" + Fixed(run.font_px) + "px\"";
    if (run.bold) out += " font-weight=\"bold\"";
    if (run.italic) out += " font-style=\"italic\"";
    out += " fill=\"rgb(" + std::to_string(run.color.r) + "," + std::to_string(run.color.g) + "," +
           std::to_string(run.color.b) + ")\" xml:space=\"preserve\">" + XmlEscaped(run.text) +
           "</text>\n";
  }
  return out;
}

// The stamped block as an SVG image holding its PNG.
std::string SvgStampImage(const SvgStamp& stamp) {
  imaging::cDIBSection block;
  if (!block.Create(stamp.width, stamp.height)) Raise(err::kOutOfMemory);
  const auto stride = static_cast<std::ptrdiff_t>(block.BytesPerScanLine());
  for (int row = 0; row < stamp.height; ++row) {
    const std::uint8_t* from = stamp.bgrx + static_cast<std::ptrdiff_t>(row) * stamp.stride;
    // The DIB's rows run from the bottom up.
    std::uint8_t* to = block.DIBSectionBitsPtr() + (stamp.height - 1 - row) * stride;
    for (int x = 0; x < stamp.width; ++x) {
      to[3 * x] = from[4 * x];
      to[3 * x + 1] = from[4 * x + 1];
      to[3 * x + 2] = from[4 * x + 2];
    }
  }
  return "<image x=\"" + std::to_string(stamp.x) + "\" y=\"" + std::to_string(stamp.y) +
         "\" width=\"" + std::to_string(stamp.width) + "\" height=\"" +
         std::to_string(stamp.height) +
         "\" preserveAspectRatio=\"none\" xlink:href=\"data:image/png;base64," +
         Base64(imaging::EncodePng(block, chart::kBaseResolution)) + "\"/>\n";
}

}  // namespace

void WriteImageFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  // As the JPEG writer: the times of the file being replaced are kept (its
  // permission bits and owner are the sibling's own business), and a
  // read-only file is left as it is.
  kernel::WIN32_FIND_DATAA saved{};
  const bool existed = kernel::GetFileEntryA(path.c_str(), &saved) != 0;
  if (existed && (saved.dwFileAttributes & kernel::FILE_ATTRIBUTE_READONLY) != 0)
    Raise(err::kPathFileAccessError);
  kernel::SiblingFile sibling(path);
  {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(sibling.path().c_str(), "wb"));
    if (!file) Raise(err::kPathFileAccessError);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    if (!written || std::fclose(file.release()) != 0) Raise(err::kPathFileAccessError);
  }
  if (existed) sibling.KeepTimes(&saved.ftLastAccessTime, &saved.ftLastWriteTime);
  sibling.Commit();
}

void WritePngFile(const chart::ChartState& chart, const imaging::cDIBSection& dib,
                  const std::string& path) {
  // An empty chart captures no pixels: as for BMP, there is no picture.
  if (dib.DIBSectionBitsPtr() == nullptr) Raise(err::kInvalidPicture);
  WriteImageFile(path, imaging::EncodePng(dib, chart::render::DotsPerInch(chart)));
}

std::vector<std::uint8_t> PaintSvg(const chart::ChartState& state, const SvgStamp* stamp) {
  const chart::render::PixelSize size = chart::render::ChartPixelSize(state);
  // The raster formats have no picture to encode for an empty chart either.
  if (size.width <= 0 || size.height <= 0) Raise(err::kInvalidPicture);
  std::vector<std::uint8_t> out;
  std::vector<chart::render::TextRun> texts;
  {
    chart::render::SurfacePtr surface(
        cairo_svg_surface_create_for_stream(AppendToVector, &out, size.width, size.height));
    cairo_svg_surface_restrict_to_version(surface.get(), CAIRO_SVG_VERSION_1_1);
    cairo_svg_surface_set_document_unit(surface.get(), CAIRO_SVG_UNIT_PX);
    chart::render::CairoPtr cr(cairo_create(surface.get()));
    // The chart window's own background, as the raster road paints it.
    cairo_set_source_rgb(cr.get(), 1, 1, 1);
    cairo_paint(cr.get());
    chart::render::PaintChartWithTextRuns(state, cr.get(), size.width, size.height, &texts);
    const cairo_status_t drawn = cairo_status(cr.get());
    cr.reset();
    cairo_surface_finish(surface.get());
    const cairo_status_t finished = cairo_surface_status(surface.get());
    if (drawn == CAIRO_STATUS_NO_MEMORY || finished == CAIRO_STATUS_NO_MEMORY ||
        finished == CAIRO_STATUS_WRITE_ERROR)
      Raise(err::kOutOfMemory);
    if (drawn != CAIRO_STATUS_SUCCESS || finished != CAIRO_STATUS_SUCCESS)
      Raise(err::kInternalError,
            std::string("SVG surface: ") +
                cairo_status_to_string(drawn != CAIRO_STATUS_SUCCESS ? drawn : finished));
  }
  // Texts go over the shapes Cairo wrote, and the stamp over everything, as
  // in the raster road.
  std::string over = SvgTexts(texts);
  if (stamp != nullptr && stamp->width > 0 && stamp->height > 0) over += SvgStampImage(*stamp);
  static constexpr std::string_view kEnd = "</svg>";
  const auto end = std::search(out.rbegin(), out.rend(), kEnd.rbegin(), kEnd.rend());
  if (end == out.rend()) Raise(err::kInternalError, "SVG surface: no end of document");
  const auto at = out.end() - (end - out.rbegin()) - static_cast<std::ptrdiff_t>(kEnd.size());
  out.insert(at, over.begin(), over.end());
  return out;
}

void RenderSvg(component::ObjectState& object, form::Form1& form, const std::string& path) {
  const chart::ChartState& state = form.Chart().state();
  if (object.mPastePending != VARIANT_TRUE) {
    WriteImageFile(path, PaintSvg(state, nullptr));
    return;
  }
  // The stamp goes through the raster road, so that it lands exactly as in
  // the other formats; the block it may have changed is tPict's surface at
  // the paste position, clipped to the chart.
  PaintIntoPicture1(form);
  StampPicture(object, form);
  form::PictureBox& picture1 = form.Picture1();
  picture1.TakeImageAsPicture();  // Picture = Image, then AutoRedraw off
  SvgStamp stamp;
  const gdi::BitmapBits bits = gdi::BitmapBits::OfBitmap(picture1.Picture().Handle());
  bool stamped = bits && bits.bits_per_pixel() == 32 && !form.tPict().Picture().IsEmpty();
  std::int32_t x = 0;
  try {
    x = ToI4(object.mPasteX);
  } catch (const Error&) {
    stamped = false;  // the raster stamp skipped its transfer too
  }
  if (stamped) {
    const auto tpict_w = static_cast<std::int64_t>(std::round(form.tPict().ScaleWidth()));
    const auto tpict_h = static_cast<std::int64_t>(std::round(form.tPict().ScaleHeight()));
    const std::int64_t x0 = std::max<std::int64_t>(0, x);
    const std::int64_t y0 = std::max<std::int64_t>(0, object.mPasteY);
    const std::int64_t x1 = std::min<std::int64_t>(bits.width(), x + tpict_w);
    const std::int64_t y1 = std::min<std::int64_t>(bits.height(), object.mPasteY + tpict_h);
    if (x1 > x0 && y1 > y0) {
      stamp.x = static_cast<int>(x0);
      stamp.y = static_cast<int>(y0);
      stamp.width = static_cast<int>(x1 - x0);
      stamp.height = static_cast<int>(y1 - y0);
      // Rows of a bottom-up bitmap run backwards in memory.
      stamp.bgrx = bits.Row(stamp.y) + static_cast<std::ptrdiff_t>(x0) * 4;
      stamp.stride = stamp.height > 1 ? static_cast<int>(bits.Row(stamp.y + 1) - bits.Row(stamp.y))
                                      : bits.stride();
    }
  }
  WriteImageFile(path, PaintSvg(state, stamp.width > 0 ? &stamp : nullptr));
}

}  // namespace qz::delivery
