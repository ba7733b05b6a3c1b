// A render that ends in the component's error answer is seen: the host logs
// one line naming the page, the line of the call and the error number, while
// the client receives exactly the text it always did. The real component is
// linked in, so its event reaches the page's sink in-process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "component/quenza_chart.h"
#include "host/page_server.h"
#include "tests/host/http_util.h"
#include "tests/host/page_test_util.h"

namespace qz::host::test {
namespace {

// Creates the real component's chart; any other ProgID fails with 429.
ComPtr<IDispatch> CreateRealChart(std::string_view prog_id) {
  if (prog_id != "Quenza.QuenzaChart") Raise(err::kCantCreateObject);
  return CreateQuenzaChart().As<IDispatch>(IID_IDispatch);
}

class FailureLogTest : public ::testing::Test {
 protected:
  PageResult Run(const std::string& rel, const std::string& text) {
    PageOptions options;
    options.root = site_.root();
    options.create_object = CreateRealChart;
    options.log = [this](const std::string& line) { log_.push_back(line); };
    PageRequest request;
    request.path = "/" + rel;
    request.query = "q=1";
    std::filesystem::path file = site_.Write(rel, text);
    return RunPage(options, request, file);
  }
  std::vector<std::string> ChartLines() const {
    std::vector<std::string> lines;
    for (const std::string& l : log_) {
      if (l.starts_with("chart error ")) lines.push_back(l);
    }
    return lines;
  }

  TempSite site_;
  std::vector<std::string> log_;
};

TEST_F(FailureLogTest, AFailedSendChartLogsOneLineAndTheClientGetsTheSameText) {
  PageResult r = Run("charts/bad.asp",
                     "<%@ Language=\"JScript\" %><%\n"
                     "var chart = Server.CreateObject(\"Quenza.QuenzaChart\");\n"
                     "chart.Height = 2; chart.Width = 3; chart.FillRed = 300;\n"
                     "chart.SendChart();\n"
                     "Response.Write('after');\n"
                     "%>");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.content_type, "text/HTML");
  EXPECT_EQ(r.body, "Invalid property value");
  EXPECT_EQ(r.chart_errors, 1);
  EXPECT_EQ(r.chart_error_numbers, std::vector<std::int32_t>{380});
  ASSERT_EQ(log_.size(), 1u) << (log_.empty() ? "" : log_[0]);
  EXPECT_EQ(log_[0],
            "chart error /charts/bad.asp line 4: 380 Invalid property value (Quenza) in "
            "QuenzaChart.SendChart query q=1");
}

TEST_F(FailureLogTest, AFailedSaveChartLogsWithItsOwnNumberAndLine) {
  // An unset size: composition passes, the capture of a 0 x 0 chart fails.
  PageResult r = Run("save.asp",
                     "<%\n"
                     "var chart = Server.CreateObject(\"Quenza.QuenzaChart\");\n"
                     "\n"
                     "chart.SaveChart(Server.MapPath(\"x.jpg\"));\n"
                     "%>");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.content_type, "text/HTML");
  EXPECT_EQ(r.body, "Application-defined or object-defined error");
  std::vector<std::string> lines = ChartLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("chart error /save.asp line 4: ")) << lines[0];
  EXPECT_NE(lines[0].find("in QuenzaChart.SaveChart"), std::string::npos) << lines[0];
  EXPECT_EQ(log_.size(), 1u);
}

TEST_F(FailureLogTest, EachFailedRenderIsOneLineAndAGoodOneNone) {
  PageResult r = Run("two.asp",
                     "<%\n"
                     "var chart = Server.CreateObject(\"Quenza.QuenzaChart\");\n"
                     "chart.Height = 1; chart.Width = 1; chart.ImageType = 'BMP';\n"
                     "chart.SaveChart(Server.MapPath('good.bmp'));\n"
                     "chart.TitleFontSize = 'big';\n"
                     "chart.SaveChart(Server.MapPath('bad.bmp'));\n"
                     "%>");
  EXPECT_TRUE(std::filesystem::exists(site_.root() / "good.bmp"));
  EXPECT_EQ(r.body, "Type mismatch");
  EXPECT_EQ(r.chart_errors, 1);
  std::vector<std::string> lines = ChartLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("chart error /two.asp line 6: 13 Type mismatch")) << lines[0];
}

TEST_F(FailureLogTest, AnUncaughtPageErrorIsLoggedAsAPageErrorNotAChartError) {
  PageResult r = Run("throws.asp",
                     "<%\n"
                     "var chart = Server.CreateObject(\"Quenza.QuenzaChart\");\n"
                     "chart.CurrentRow(99);\n"
                     "%>");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.chart_errors, 0);
  EXPECT_TRUE(ChartLines().empty());
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_TRUE(log_[0].starts_with("page error /throws.asp line 3: ")) << log_[0];
  EXPECT_NE(log_[0].find("Subscript out of range"), std::string::npos) << log_[0];
}

// Starts a server with the real component on the site, asks for each path
// (expecting the given answer body, when one is given), and answers the
// server's metrics after them.
std::string MetricsAfter(const TempSite& site,
                         const std::vector<std::pair<std::string, std::string>>& gets) {
  ServerOptions options;
  options.root = site.root();
  options.port = 0;
  options.threads = 1;
  options.metrics = true;
  options.create_object = CreateRealChart;
  PageServer server(options);
  std::string why;
  EXPECT_TRUE(server.Bind(&why)) << why;
  server.Start();
  TestClient client(server.port());
  for (const auto& [path, body] : gets) {
    auto r = client.Get(path);
    EXPECT_TRUE(r) << path;
    if (r && !body.empty()) {
      EXPECT_EQ(r->body, body) << path;
    }
  }
  auto metrics = client.Get("/metrics");
  server.Stop();
  return metrics ? metrics->body : std::string();
}

// Through the server: each failed render is counted by its error number.
TEST(FailureMetricsTest, RenderFailuresAreCountedByNumber) {
  TempSite site;
  site.Write("bad.asp",
             "<% var c = Server.CreateObject('Quenza.QuenzaChart'); c.FillRed = 300;"
             " c.SendChart(); %>");
  const std::string text = MetricsAfter(
      site, {{"/bad.asp", "Invalid property value"}, {"/bad.asp", "Invalid property value"}});
  EXPECT_NE(text.find("\nquenza_render_failures_total{number=\"380\"} 2\n"), std::string::npos)
      << text;
  EXPECT_EQ(text.find("quenza_charts_sent_total{"), std::string::npos)
      << "an error answer is no chart sent";
}

// Charts saved are counted by format, whichever the page's language; a
// failed save is a render failure, not a chart saved.
TEST(FailureMetricsTest, SavedChartsAreCountedByFormat) {
  TempSite site;
  const std::string out = site.root().string() + "/out";
  auto with_out = [&](std::string text) {
    for (std::size_t at; (at = text.find("OUT")) != std::string::npos;) text.replace(at, 3, out);
    return text;
  };
  site.Write("js.asp", with_out("<% var c = Server.CreateObject('Quenza.QuenzaChart');"
                                " c.Width = 2; c.Height = 1; c.ImageType = 'PNG';"
                                " c.SaveChart('OUT1.png'); c.SaveChart('OUT2.png');"
                                " c.ImageType = ''; c.SaveChart('OUT3.jpg');"
                                " c.SaveChart('OUT/missing/folder.jpg'); %>"));
  site.Write("vbs.asp", with_out("<%@ Language=VBScript %><%\n"
                                 "Set c = Server.CreateObject(\"Quenza.QuenzaChart\")\n"
                                 "c.Width = 2 : c.Height = 1 : c.ImageType = \"BMP\"\n"
                                 "c.SaveChart \"OUT4.bmp\"\n"
                                 "c.FillRed = 300\n"
                                 "c.SaveChart \"OUT5.bmp\" %>"));
  const std::string text = MetricsAfter(site, {{"/js.asp", ""}, {"/vbs.asp", ""}});
  for (const char* sample : {"quenza_charts_saved_total{format=\"png\"} 2",
                             "quenza_charts_saved_total{format=\"jpeg\"} 1",
                             "quenza_charts_saved_total{format=\"bmp\"} 1",
                             "quenza_render_failures_total{number=\"380\"} 1"}) {
    EXPECT_NE(text.find("\n" + std::string(sample) + "\n"), std::string::npos) << sample << "\n"
                                                                               << text;
  }
  EXPECT_TRUE(std::filesystem::exists(out + "4.bmp"));
  EXPECT_FALSE(std::filesystem::exists(out + "5.bmp"));
}

}  // namespace
}  // namespace qz::host::test
