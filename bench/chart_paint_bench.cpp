// Painting the benchmark chart (576 x 384, 6 rows by 3 columns, legend right)
// into an RGB24 surface, for each chart kind; the surface and context are made
// once, as the picture surface of the host form holds them.
#include <benchmark/benchmark.h>
#include <cairo.h>

#include <thread>

#include "platform/chart/render/paint.h"
#include "platform/chart/render/sample.h"
#include "platform/chart/render/text.h"

namespace {

using namespace qz::chart;

void PaintKind(benchmark::State& state, std::int32_t kind) {
  ChartState s = render::SampleChart(kind);
  render::SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 576, 384));
  render::CairoPtr cr(cairo_create(surface.get()));
  for (auto _ : state) {
    cairo_set_source_rgb(cr.get(), 1, 1, 1);
    cairo_paint(cr.get());
    render::PaintChart(s, cr.get(), 576, 384);
    cairo_surface_flush(surface.get());
    benchmark::DoNotOptimize(cairo_image_surface_get_data(surface.get()));
  }
}

void BM_PaintBar2D(benchmark::State& st) {
  PaintKind(st, kBar2D);
}
void BM_PaintLine2D(benchmark::State& st) {
  PaintKind(st, kLine2D);
}
void BM_PaintArea2D(benchmark::State& st) {
  PaintKind(st, kArea2D);
}
void BM_PaintPie2D(benchmark::State& st) {
  PaintKind(st, kPie2D);
}
void BM_PaintBar3D(benchmark::State& st) {
  PaintKind(st, kBar3D);
}
void BM_PaintLine3D(benchmark::State& st) {
  PaintKind(st, kLine3D);
}
void BM_PaintArea3D(benchmark::State& st) {
  PaintKind(st, kArea3D);
}
void BM_PaintStep3D(benchmark::State& st) {
  PaintKind(st, kStep3D);
}

// The bar chart with the thread's text cache emptied before each paint: the
// cost of a chart whose texts all changed (fonts and the font map stay).
void BM_PaintBar2DNewTexts(benchmark::State& state) {
  ChartState s = render::SampleChart(kBar2D);
  render::SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 576, 384));
  render::CairoPtr cr(cairo_create(surface.get()));
  for (auto _ : state) {
    render::TextCache::ForThread().Clear();
    render::PaintChart(s, cr.get(), 576, 384);
    cairo_surface_flush(surface.get());
  }
}

// The first paint on a fresh thread: its font map, context and layouts are
// created (the process-wide fontconfig set-up is already done).
void BM_PaintBar2DFreshThread(benchmark::State& state) {
  ChartState s = render::SampleChart(kBar2D);
  for (auto _ : state) {
    std::thread t([&s] {
      render::SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 576, 384));
      render::CairoPtr cr(cairo_create(surface.get()));
      render::PaintChart(s, cr.get(), 576, 384);
    });
    t.join();
  }
}

}  // namespace

BENCHMARK(BM_PaintBar2D)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PaintLine2D)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PaintArea2D)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PaintPie2D)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PaintBar3D)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PaintLine3D)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PaintArea3D)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PaintStep3D)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PaintBar2DNewTexts)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PaintBar2DFreshThread)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
