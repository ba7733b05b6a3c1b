// How fast the chart engine refuses a grid over its cell cap, and that the
// refusal allocates nothing: the peak resident size (max_rss_mib) stays at
// what a grid at the cap needs, far below the gigabytes that 32767 x 32767
// cells would take.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include "platform/automation/error.h"
#include "platform/chart/chart.h"

namespace {

double MaxRssMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
}

void BM_RefuseGridOverCap(benchmark::State& state) {
  qz::chart::Chart chart;
  chart.SetColumnCount(2);
  chart.SetRowCount(32767);
  for (auto _ : state) {
    try {
      chart.SetColumnCount(32767);
    } catch (const qz::Error& e) {
      benchmark::DoNotOptimize(e.number());
    }
  }
  state.counters["max_rss_mib"] = MaxRssMiB();
}
BENCHMARK(BM_RefuseGridOverCap);

void BM_ResizeToCap(benchmark::State& state) {
  for (auto _ : state) {
    qz::chart::Chart chart;
    chart.SetRowCount(1000);
    chart.SetColumnCount(1000);
    benchmark::DoNotOptimize(chart.state().cells.data());
  }
  state.counters["max_rss_mib"] = MaxRssMiB();
}
BENCHMARK(BM_ResizeToCap)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
