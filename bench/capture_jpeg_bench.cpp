// The capture and JPEG road of a render against a direct libjpeg-turbo
// compression of the same pixels with the same settings (quality 100, 4:4:4,
// written to a file), for a 576 x 384 and a 1920 x 1080 chart picture.
//
//   BM_Convert       the capture's conversion alone: BitBlt 32 -> 24 bits into
//                    an existing buffer
//   BM_Capture       CreateFromPicture: a new buffer plus the conversion
//   BM_CaptureAndJpeg  CreateFromPicture + WriteJpegFile (our whole road)
//   BM_DirectJpeg32  tjCompress2 straight from the 32-bit picture + file write
//   BM_DirectJpeg24  tjCompress2 from the 24-bit bottom-up buffer + file write
#include <benchmark/benchmark.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "imaging/dib_section.h"
#include "jpeg/intel_jpeg_library.h"
#include "platform/gdi/cairo_dc.h"
#include "platform/gdi/gdi.h"
#include "platform/gdi/picture.h"

namespace {

std::string OutputPath(const char* name) {
  const std::string folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return folder + "/qz_capture_bench_" + std::to_string(getpid()) + "_" + name + ".jpg";
}

// A chart-like picture: white background, grid lines, filled bars with
// outlines, a legend box.
qz::gdi::Picture ChartPicture(int w, int h) {
  const qz::gdi::HBITMAP bitmap = qz::gdi::CreateCompatibleBitmap(0, w, h);
  const qz::gdi::HDC dc = qz::gdi::CreateCompatibleDC(0);
  const qz::gdi::HGDIOBJ old = qz::gdi::SelectObject(dc, bitmap);
  {
    qz::gdi::CairoDC cairo(dc);
    cairo_t* cr = cairo.get();
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_set_line_width(cr, 1);
    cairo_set_source_rgb(cr, 0.8, 0.8, 0.8);
    for (int k = 1; k < 8; ++k) {
      cairo_move_to(cr, 40, h * k / 9.0 + 0.5);
      cairo_line_to(cr, w * 0.8, h * k / 9.0 + 0.5);
    }
    cairo_stroke(cr);
    const double colours[3][3] = {{0.2, 0.4, 0.8}, {0.9, 0.3, 0.2}, {0.3, 0.7, 0.3}};
    for (int c = 0; c < 6; ++c)
      for (int s = 0; s < 3; ++s) {
        const double value = 10 + ((s * 7 + c * 13) % 23);
        const double bw = (w * 0.8 - 40) / 6 / 4;
        const double x = 40 + (c * 4 + s + 0.5) * bw;
        const double bh = value / 33 * h * 0.8;
        cairo_rectangle(cr, x, h * 0.9 - bh, bw, bh);
        cairo_set_source_rgb(cr, colours[s][0], colours[s][1], colours[s][2]);
        cairo_fill_preserve(cr);
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_stroke(cr);
      }
    cairo_rectangle(cr, w * 0.83, h * 0.3, w * 0.15, h * 0.3);
    cairo_stroke(cr);
  }
  qz::gdi::SelectObject(dc, old);
  qz::gdi::DeleteDC(dc);
  return qz::gdi::Picture(bitmap, qz::gdi::Ownership::kOwned);
}

void SetLabels(benchmark::State& state) {
  state.SetLabel(std::to_string(state.range(0)) + "x" + std::to_string(state.range(1)));
  state.SetItemsProcessed(state.iterations() * state.range(0) * state.range(1));
}

void BM_Convert(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  const qz::gdi::Picture picture = ChartPicture(w, h);
  qz::imaging::cDIBSection buffer;
  buffer.Create(w, h);
  const qz::gdi::HDC dc = qz::gdi::CreateCompatibleDC(0);
  const qz::gdi::HGDIOBJ old = qz::gdi::SelectObject(dc, picture.Handle());
  for (auto _ : state) {
    buffer.LoadPictureBlt(dc);
    benchmark::DoNotOptimize(buffer.DIBSectionBitsPtr());
    benchmark::ClobberMemory();
  }
  qz::gdi::SelectObject(dc, old);
  qz::gdi::DeleteDC(dc);
  SetLabels(state);
}

void BM_Capture(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  const qz::gdi::Picture picture = ChartPicture(w, h);
  for (auto _ : state) {
    qz::imaging::cDIBSection buffer;
    buffer.CreateFromPicture(picture);
    benchmark::DoNotOptimize(buffer.DIBSectionBitsPtr());
  }
  SetLabels(state);
}

void BM_CaptureAndJpeg(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  const qz::gdi::Picture picture = ChartPicture(w, h);
  const std::string path = OutputPath("road");
  for (auto _ : state) {
    qz::imaging::cDIBSection buffer;
    buffer.CreateFromPicture(picture);
    qz::jpeg::WriteJpegFile(buffer, path);
  }
  std::remove(path.c_str());
  SetLabels(state);
}

void DirectJpeg(benchmark::State& state, const unsigned char* pixels, int w, int pitch, int h,
                int format, int flags, const std::string& path) {
  tjhandle tj = tjInitCompress();
  for (auto _ : state) {
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    if (tjCompress2(tj, pixels, w, pitch, h, format, &jpeg, &size, TJSAMP_444, 100, flags) != 0) {
      state.SkipWithError("tjCompress2 failed");
      break;
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(jpeg, 1, size, f);
    std::fclose(f);
    tjFree(jpeg);
  }
  tjDestroy(tj);
  std::remove(path.c_str());
}

void BM_DirectJpeg32(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  const qz::gdi::Picture picture = ChartPicture(w, h);
  const qz::gdi::BitmapBits bits = qz::gdi::BitmapBits::OfBitmap(picture.Handle());
  DirectJpeg(state, bits.data(), w, bits.stride(), h, TJPF_BGRX, 0, OutputPath("direct32"));
  SetLabels(state);
}

void BM_DirectJpeg24(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  qz::imaging::cDIBSection buffer;
  buffer.CreateFromPicture(ChartPicture(w, h));
  DirectJpeg(state, buffer.DIBSectionBitsPtr(), w, buffer.BytesPerScanLine(), h, TJPF_BGR,
             TJFLAG_BOTTOMUP, OutputPath("direct24"));
  SetLabels(state);
}

#define SIZES Args({576, 384})->Args({1920, 1080})->Unit(benchmark::kMicrosecond)
BENCHMARK(BM_Convert)->SIZES;
BENCHMARK(BM_Capture)->SIZES;
BENCHMARK(BM_CaptureAndJpeg)->SIZES;
BENCHMARK(BM_DirectJpeg32)->SIZES;
BENCHMARK(BM_DirectJpeg24)->SIZES;

}  // namespace

BENCHMARK_MAIN();
