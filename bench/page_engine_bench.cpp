// The page engine's own cost per page, without a chart: the script engine's
// set-up, the page's compilation (or its kept compiled form), the run of a
// script shaped like the bench chart's page (the chart's calls go to a plain
// script object instead) and the engine's tear-down. Compare it with
// SendChart's cost per chart from render_road_bench in the same run: the
// engine should be a small fraction of a chart.
//
// Also times the set-up alone (a heap with its built-ins, created and
// destroyed) and the compilation alone, so that a change to either shows.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "host/duktape/qz_duktape.h"
#include "host/page_engine.h"

namespace {

using namespace qz::host;

constexpr const char* kPage = R"(<%@ Language="JScript" %><html><%
var chart = { Rows: function (n) {}, Columns: function (n) {}, CurrentRow: function (r) {},
  CurrentColumn: function (c) {}, RowTitle: function (t) {}, ColumnTitle: function (t) {},
  SetData: function (v) { this.sum = (this.sum || 0) + v; }, LegendPosition: function (p) {} };
chart.Width = 6;
chart.Height = 4;
chart.ChartType = 1;
chart.ChartTitle = "Quarterly sales";
chart.XTitle = "Month";
chart.YTitle = "Units";
chart.Legends = 1;
var months = ["Jan", "Feb", "Mar", "Apr", "May", "Jun"];
var regions = ["North", "South", "West"];
chart.Rows(6);
chart.Columns(3);
for (var r = 1; r <= 6; r++) {
  chart.CurrentRow(r);
  chart.RowTitle(months[r - 1]);
  for (var c = 1; c <= 3; c++) {
    chart.CurrentColumn(c);
    if (r == 1) chart.ColumnTitle(regions[c - 1]);
    chart.SetData(10 + (((r - 1) * 7 + (c - 1) * 13) % 23));
  }
}
chart.LegendPosition(4);
Response.Write(chart.sum);
%></html>
)";

struct Site {
  std::filesystem::path root;
  std::filesystem::path file;
  Site() {
    char dir[] = "/tmp/quenza-engine-bench.XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    root = std::filesystem::canonical(dir);
    file = root / "page.asp";
    std::ofstream(file) << kPage;
  }
  ~Site() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
};

void BM_PagePerRequest(benchmark::State& state) {
  Site site;
  PageOptions options;
  options.root = site.root;
  PageRequest request;
  request.path = "/page.asp";
  for (auto _ : state) {
    PageResult r = RunPage(options, request, site.file);
    if (r.status != 200 || r.body.find("361") == std::string::npos) {
      state.SkipWithError(("page failed: " + r.body).c_str());
      break;
    }
    benchmark::DoNotOptimize(r.body.data());
  }
}
BENCHMARK(BM_PagePerRequest)->Unit(benchmark::kMicrosecond);

void BM_HeapCreateDestroy(benchmark::State& state) {
  for (auto _ : state) {
    ScriptBudget budget;
    duk_context* ctx = duk_create_heap(BudgetAlloc, BudgetRealloc, BudgetFree, &budget, nullptr);
    benchmark::DoNotOptimize(ctx);
    duk_destroy_heap(ctx);
  }
}
BENCHMARK(BM_HeapCreateDestroy)->Unit(benchmark::kMicrosecond);

void BM_NewGlobalEnv(benchmark::State& state) {
  ScriptBudget budget;
  duk_context* ctx = duk_create_heap(BudgetAlloc, BudgetRealloc, BudgetFree, &budget, nullptr);
  for (auto _ : state) {
    duk_push_thread_new_globalenv(ctx);
    duk_pop(ctx);
    duk_gc(ctx, 0);
  }
  duk_destroy_heap(ctx);
}
BENCHMARK(BM_NewGlobalEnv)->Unit(benchmark::kMicrosecond);

void BM_CompileOnly(benchmark::State& state) {
  ScriptBudget budget;
  duk_context* ctx = duk_create_heap(BudgetAlloc, BudgetRealloc, BudgetFree, &budget, nullptr);
  const std::string script(kPage);
  // The page's text as a script is not valid; a script of the same size is
  // what costs: compile the body between the markers.
  const std::size_t from = script.find("<%\n") + 3;
  const std::size_t to = script.rfind("%>");
  for (auto _ : state) {
    duk_push_string(ctx, "/page.asp");
    duk_compile_lstring_filename(ctx, 0, script.data() + from, to - from);
    duk_pop(ctx);
  }
  duk_destroy_heap(ctx);
}
BENCHMARK(BM_CompileOnly)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
