// The render road of every chart, whole and by parts, on the peers' bench
// chart: a 576 x 384 clustered bar chart, Jan..Jun x North/South/West,
// values 10 + ((r * 7 + c * 13) % 23) for row r and column c counted from 0
// (the page bench.asp draws the same), title "Quarterly sales", axis titles
// "Month" and "Units", legend on the right.
//
// Whole: SendChart (to a Response that only counts the bytes) and SaveChart,
// as JPEG (quality 100, 4:4:4), BMP, PNG and SVG. The PNG road's targets,
// against the JPEG road in the same run: at most 1.2 times its time and 0.3
// times its bytes; SVG is reported. Parts, timed alone in the same
// run: composition, paint, capture, encode, and the temporary file (reserve,
// read back, delete). The temporary folder is TMPDIR (set it to a tmpfs such
// as /dev/shm to compare with the floor, which writes there).
//
// page_faults_per_chart counts the fresh pages a chart touches. The bitmaps
// of a render (the persistent image, the picture's copy, the DIB section)
// are created and deleted for every chart; their pixel memory comes back
// from the thread's cache of freed blocks, so a steady stream of same-size
// charts should touch none: a count near a few hundred means that memory
// goes back to the system again between charts.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "component/data_methods.h"
#include "component/lifecycle.h"
#include "component/render_methods.h"
#include "composition/compose_chart.h"
#include "delivery/render_road_p.h"
#include "delivery/temp_file.h"
#include "imaging/png_writer.h"
#include "jpeg/intel_jpeg_library.h"
#include "platform/kernel/kernel.h"

namespace {

using namespace qz;

// A Response that counts what it would send and keeps nothing.
class DiscardingResponse final : public IResponse {
 public:
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  std::uint32_t AddRef() override { return 2; }
  std::uint32_t Release() override { return 1; }
  HRESULT put_Buffer(VARIANT_BOOL) override { return S_OK; }
  HRESULT put_ContentType(std::string_view type) override {
    error_ = type == "text/HTML";
    return S_OK;
  }
  HRESULT BinaryWrite(const Variant& bytes) override {
    bytes_ += bytes.bytes().size();
    return S_OK;
  }
  HRESULT Write(const Variant&) override { return S_OK; }
  HRESULT End() override { return S_OK; }
  std::uint64_t bytes() const { return bytes_; }
  bool error() const { return error_; }

 private:
  std::uint64_t bytes_ = 0;
  bool error_ = false;
};

// The bench chart on this thread's engine and an object whose settings
// describe it.
component::ObjectState& BenchChart(const char* image_type) {
  thread_local component::ObjectState object;
  chart::Chart& chart = form::GetForm1().Chart();
  // The engine as the last object on a page server's apartment left it, and
  // a new object's settings: the page bench.asp draws this chart byte for
  // byte.
  if (HRESULT hr = component::Deactivate(object, chart); Failed(hr)) std::abort();
  object.settings = component::Settings{};
  component::Settings& s = object.settings;
  s.SecondYAxisScale = VARIANT_TRUE;
  s.Height = Variant(4.0);
  s.Width = Variant(6.0);
  s.ChartType = Variant(std::int16_t{1});
  s.ChartTitle = Variant("Quarterly sales");
  s.XTitle = Variant("Month");
  s.YTitle = Variant("Units");
  s.Legends = Variant(std::int16_t{1});
  s.FillRed = Variant(std::int16_t{255});
  s.FillGreen = Variant(std::int16_t{255});
  s.FillBlue = 255;
  s.ImageType = image_type;
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun"};
  static const char* const kSeries[] = {"North", "South", "West"};
  component::Rows(chart, 6);
  component::Columns(chart, 3);
  for (std::int16_t r = 1; r <= 6; ++r) {
    component::CurrentRow(chart, r);
    component::RowTitle(chart, kMonths[r - 1]);
    for (std::int16_t c = 1; c <= 3; ++c) {
      component::CurrentColumn(chart, c);
      if (r == 1) component::ColumnTitle(chart, kSeries[c - 1]);
      component::SetData(chart, 10 + (((r - 1) * 7 + (c - 1) * 13) % 23));
    }
  }
  return object;
}

// The folder SendChart writes its temporary file into. It asks an object of
// its own: BenchChart would reset the thread's bench object to a JPEG chart.
std::string TempFolder() {
  component::ObjectState object;
  return component::GetTmpPath(object).str();
}

// Per-chart wall times, as the floor reports them (median and tenth
// percentile of single charts), beside the benchmark's own batch means.
class ChartTimes {
 public:
  void Add(std::chrono::steady_clock::duration d) {
    ms_.push_back(std::chrono::duration<double, std::milli>(d).count());
  }
  ChartTimes() : faults_at_start_(MinorFaults()) {}
  void Report(benchmark::State& state) {
    if (ms_.empty()) return;
    // Fresh pages touched per chart: buffers allocated and given back to the
    // system every time instead of being reused.
    state.counters["page_faults_per_chart"] =
        static_cast<double>(MinorFaults() - faults_at_start_) / static_cast<double>(ms_.size());
    std::sort(ms_.begin(), ms_.end());
    state.counters["chart_median_ms"] = ms_[ms_.size() / 2];
    state.counters["chart_p10_ms"] = ms_[ms_.size() / 10];
  }

 private:
  static long MinorFaults() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt;
  }
  long faults_at_start_;
  std::vector<double> ms_;
};

void BM_SendChart(benchmark::State& state, const char* image_type) {
  component::ObjectState& object = BenchChart(image_type);
  DiscardingResponse response;
  object.mResponse = ComPtr<IResponse>(&response);
  ChartTimes times;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    component::SendChart(object);
    times.Add(std::chrono::steady_clock::now() - start);
  }
  times.Report(state);
  object.mResponse.reset();
  if (response.error()) state.SkipWithError("the render answered an error");
  state.counters["bytes"] =
      static_cast<double>(response.bytes()) / static_cast<double>(state.iterations());
}
BENCHMARK_CAPTURE(BM_SendChart, jpeg, "")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SendChart, bmp, "BMP")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SendChart, png, "PNG")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SendChart, svg, "SVG")->Unit(benchmark::kMillisecond);

void BM_SaveChart(benchmark::State& state, const char* image_type) {
  component::ObjectState& object = BenchChart(image_type);
  const std::string path = TempFolder() + "render_road_bench." + std::to_string(getpid());
  ChartTimes times;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    component::SaveChart(object, path);
    times.Add(std::chrono::steady_clock::now() - start);
  }
  times.Report(state);
  // The file must be of the format asked for: a bench that saved another
  // format would time the wrong encoder.
  const ByteArray saved = kernel::ReadWholeFile(path);
  std::remove(path.c_str());
  const std::string_view head(reinterpret_cast<const char*>(saved.data()),
                              std::min<std::size_t>(saved.size(), 8));
  const delivery::ImageFormat format = delivery::FormatOf(image_type);
  const bool as_asked = format == delivery::ImageFormat::kJpeg  ? head.starts_with("\xFF\xD8")
                        : format == delivery::ImageFormat::kBmp ? head.starts_with("BM")
                        : format == delivery::ImageFormat::kPng ? head.starts_with("\x89PNG")
                                                                : head.starts_with("<?xml");
  if (!as_asked) state.SkipWithError("the saved file is not of the format asked for");
  state.counters["bytes"] = static_cast<double>(saved.size());
}
BENCHMARK_CAPTURE(BM_SaveChart, jpeg, "")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SaveChart, bmp, "BMP")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SaveChart, png, "PNG")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SaveChart, svg, "SVG")->Unit(benchmark::kMillisecond);

void BM_Part_Composition(benchmark::State& state) {
  component::ObjectState& object = BenchChart("");
  chart::Chart& chart = form::GetForm1().Chart();
  for (auto _ : state) composition::ComposeChart(object.settings, chart);
}
BENCHMARK(BM_Part_Composition)->Unit(benchmark::kMillisecond);

void BM_Part_Paint(benchmark::State& state) {
  component::ObjectState& object = BenchChart("");
  form::Form1& form = form::GetForm1();
  composition::ComposeChart(object.settings, form.Chart());
  for (auto _ : state) delivery::PaintIntoPicture1(form);
}
BENCHMARK(BM_Part_Paint)->Unit(benchmark::kMillisecond);

void BM_Part_Capture(benchmark::State& state) {
  component::ObjectState& object = BenchChart("");
  form::Form1& form = form::GetForm1();
  composition::ComposeChart(object.settings, form.Chart());
  delivery::PaintIntoPicture1(form);
  for (auto _ : state) {
    imaging::cDIBSection dib;
    delivery::CapturePicture1(form, dib);
    benchmark::DoNotOptimize(dib.DIBSectionBitsPtr());
  }
}
BENCHMARK(BM_Part_Capture)->Unit(benchmark::kMillisecond);

void BM_Part_Encode(benchmark::State& state, const char* image_type) {
  component::ObjectState& object = BenchChart(image_type);
  form::Form1& form = form::GetForm1();
  composition::ComposeChart(object.settings, form.Chart());
  delivery::PaintIntoPicture1(form);
  imaging::cDIBSection dib;
  delivery::CapturePicture1(form, dib);
  const std::string path = TempFolder() + "render_road_bench_encode." + std::to_string(getpid());
  const delivery::ImageFormat format = delivery::FormatOf(image_type);
  for (auto _ : state) delivery::EncodeChart(form, format, dib, path);
  std::remove(path.c_str());
}
BENCHMARK_CAPTURE(BM_Part_Encode, jpeg, "")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Part_Encode, bmp, "BMP")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Part_Encode, png, "PNG")->Unit(benchmark::kMillisecond);

// The PNG encoder's settings on the bench chart, in memory: the measurement
// behind the writer's defaults. Arguments: palette (0/1), zlib level, libpng
// filter mask (-1 the writer's choice), zlib strategy (-1 the writer's).
void BM_Part_PngSettings(benchmark::State& state) {
  component::ObjectState& object = BenchChart("PNG");
  form::Form1& form = form::GetForm1();
  composition::ComposeChart(object.settings, form.Chart());
  delivery::PaintIntoPicture1(form);
  imaging::cDIBSection dib;
  delivery::CapturePicture1(form, dib);
  imaging::PngSettings settings;
  settings.palette = state.range(0) != 0;
  settings.compression_level = static_cast<int>(state.range(1));
  settings.filters = static_cast<int>(state.range(2));
  settings.strategy = static_cast<int>(state.range(3));
  std::size_t bytes = 0;
  for (auto _ : state) bytes = imaging::EncodePng(dib, 96, settings).size();
  state.counters["bytes"] = static_cast<double>(bytes);
  state.counters["colours"] = imaging::CountColours(dib, 4096);
}
BENCHMARK(BM_Part_PngSettings)
    ->ArgsProduct({{1}, {1, 3, 6, 9}, {-1, 0x10, 0xF8}, {-1}})
    ->ArgsProduct({{0}, {1, 3, 6}, {0x10, 0xF8}, {-1}})
    // zlib's run-length strategy: fast, but half again the bytes.
    ->Args({1, 3, -1, 3})
    ->Unit(benchmark::kMillisecond);

// Reserve a name, read a chart-sized file back whole, delete it: what the
// temporary file adds to a SendChart beyond the encoder's own write.
void BM_Part_TempFile(benchmark::State& state) {
  const std::string folder = TempFolder();
  const std::vector<std::uint8_t> chart_bytes(74453, 0x5A);  // the bench JPEG's size
  delivery::TempRandom random(1);
  for (auto _ : state) {
    const delivery::ReservedTempFile temp(folder, random);
    state.PauseTiming();
    std::FILE* f = std::fopen(temp.path().c_str(), "wb");
    std::fwrite(chart_bytes.data(), 1, chart_bytes.size(), f);
    std::fclose(f);
    state.ResumeTiming();
    ByteArray back = kernel::ReadWholeFile(temp.path());
    benchmark::DoNotOptimize(back.data());
  }
}
BENCHMARK(BM_Part_TempFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
