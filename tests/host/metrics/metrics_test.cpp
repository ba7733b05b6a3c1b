#include "host/metrics/metrics.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qz::host::metrics {
namespace {

// Checks text against the exposition format's line grammar: every line is a
// HELP or TYPE comment or a sample, every sample belongs to the family of
// the TYPE line before it, and the text ends with a line feed.
void ExpectWellFormed(const std::string& text) {
  ASSERT_FALSE(text.empty());
  ASSERT_EQ(text.back(), '\n');
  static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) ([^\n\\]|\\\\|\\n)*)");
  static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram))");
  static const std::regex sample(
      R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\\\|\\"|\\n)*")(,[a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\\\|\\"|\\n)*")*\})? (NaN|[+-]Inf|-?[0-9]+(\.[0-9]+)?(e[+-]?[0-9]+)?))");
  std::istringstream in(text);
  std::string line, family;
  std::smatch m;
  while (std::getline(in, line)) {
    if (std::regex_match(line, m, help)) continue;
    if (std::regex_match(line, m, type)) {
      family = m[1];
      continue;
    }
    ASSERT_TRUE(std::regex_match(line, m, sample)) << "not a sample line: " << line;
    std::string name = m[1];
    EXPECT_TRUE(name == family || name == family + "_bucket" || name == family + "_sum" ||
                name == family + "_count")
        << name << " under " << family;
  }
}

TEST(MetricsTest, WritesEachTypeInTheExpositionFormat) {
  Registry r;
  auto& requests = r.AddCounter("quenza_requests_total", "Requests answered.", {"code"});
  auto& busy = r.AddGauge("quenza_apartments_busy", "Apartments running a page.");
  auto& seconds = r.AddHistogram("quenza_page_seconds", "Page duration.", {0.25, 0.5, 1});
  r.AddGaugeCallback("quenza_answer", "A read-out.", [] { return 42.0; });
  requests.With({"2xx"}).Inc();
  requests.With({"2xx"}).Inc(2);
  requests.With({"5xx"}).Inc();
  busy.Get().Set(1);
  busy.Get().Add(2);
  auto& h = seconds.Get();
  for (double v : {0.125, 0.25, 0.375, 0.75, 7.0}) h.Observe(v);

  EXPECT_EQ(r.Text(),
            "# HELP quenza_requests_total Requests answered.\n"
            "# TYPE quenza_requests_total counter\n"
            "quenza_requests_total{code=\"2xx\"} 3\n"
            "quenza_requests_total{code=\"5xx\"} 1\n"
            "# HELP quenza_apartments_busy Apartments running a page.\n"
            "# TYPE quenza_apartments_busy gauge\n"
            "quenza_apartments_busy 3\n"
            "# HELP quenza_page_seconds Page duration.\n"
            "# TYPE quenza_page_seconds histogram\n"
            "quenza_page_seconds_bucket{le=\"0.25\"} 2\n"
            "quenza_page_seconds_bucket{le=\"0.5\"} 3\n"
            "quenza_page_seconds_bucket{le=\"1\"} 4\n"
            "quenza_page_seconds_bucket{le=\"+Inf\"} 5\n"
            "quenza_page_seconds_sum 8.5\n"
            "quenza_page_seconds_count 5\n"
            "# HELP quenza_answer A read-out.\n"
            "# TYPE quenza_answer gauge\n"
            "quenza_answer 42\n");
  ExpectWellFormed(r.Text());
}

TEST(MetricsTest, HostileLabelValuesAndHelpStayOnTheirLine) {
  Registry r;
  auto& c = r.AddCounter("x_total", "Line one\nline \\two", {"page", "error"});
  c.With({"/a\"b\\c\nd.asp", ""}).Inc();
  c.With({"\xe2\x82\xac \t", "9"}).Inc();
  std::string text = r.Text();
  ExpectWellFormed(text);
  EXPECT_NE(text.find("# HELP x_total Line one\\nline \\\\two\n"), std::string::npos);
  EXPECT_NE(text.find("x_total{page=\"/a\\\"b\\\\c\\nd.asp\",error=\"\"} 1\n"), std::string::npos);
}

TEST(MetricsTest, HistogramBoundsAreInclusiveAndCumulative) {
  Histogram h({1, 2, 4});
  for (double v : {-5.0, 1.0, 1.0000001, 2.0, 4.0, 4.5}) h.Observe(v);
  Histogram::Snapshot s = h.Read();
  EXPECT_EQ(s.cumulative, (std::vector<std::uint64_t>{2, 4, 5, 6}));
  EXPECT_EQ(s.count, 6u);
  EXPECT_THROW(Histogram({1, 1}), std::invalid_argument);
  EXPECT_THROW(Histogram({2, 1}), std::invalid_argument);
  // An explicit +Inf bound is the implicit last bucket, not a second one.
  EXPECT_EQ(Histogram({1, std::numeric_limits<double>::infinity()}).bounds().size(), 1u);
}

TEST(MetricsTest, RegistrationRefusesWhatTheFormatCannotCarry) {
  Registry r;
  EXPECT_THROW(r.AddCounter("9lives", "h"), std::invalid_argument);
  EXPECT_THROW(r.AddCounter("has space", "h"), std::invalid_argument);
  EXPECT_THROW(r.AddCounter("", "h"), std::invalid_argument);
  EXPECT_THROW(r.AddCounter("ok_total", "h", {"bad-label"}), std::invalid_argument);
  EXPECT_THROW(r.AddCounter("ok_total", "h", {"__reserved"}), std::invalid_argument);
  EXPECT_THROW(r.AddHistogram("h_seconds", "h", {1}, {"le"}), std::invalid_argument);
  auto& ok = r.AddCounter("ok_total", "h", {"code"});
  EXPECT_THROW(r.AddGauge("ok_total", "h"), std::invalid_argument);
  EXPECT_THROW(ok.With({}), std::invalid_argument);
  EXPECT_THROW(ok.With({"a", "b"}), std::invalid_argument);
  EXPECT_TRUE(IsValidMetricName("a:b_c9"));
  EXPECT_FALSE(IsValidLabelName("a:b"));
}

TEST(MetricsTest, ValuesReadBackExactly) {
  EXPECT_EQ(FormatValue(0), "0");
  EXPECT_EQ(FormatValue(-0.5), "-0.5");
  EXPECT_EQ(FormatValue(0.1), "0.1");
  EXPECT_EQ(FormatValue(1e21), "1e+21");
  EXPECT_EQ(FormatValue(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(FormatValue(std::numeric_limits<double>::infinity()), "+Inf");
  EXPECT_EQ(FormatValue(-std::numeric_limits<double>::infinity()), "-Inf");
  EXPECT_EQ(std::stod(FormatValue(2.0 / 3.0)), 2.0 / 3.0);
}

TEST(MetricsTest, CountersNeverGoDownAndAddUpAcrossThreads) {
  Registry r;
  auto& family = r.AddCounter("n_total", "h", {"t"});
  Counter& c = family.With({"x"});
  c.Inc(-1);
  c.Inc(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(c.Value(), 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) family.With({"x"}).Inc();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(c.Value(), 40000);
}

TEST(MetricsTest, ResidentMemoryIsReadFromTheProcess) {
  double before = ResidentMemoryBytes();
  EXPECT_GT(before, 1 << 20);
  std::vector<char> touched(64 << 20, 1);
  EXPECT_GT(ResidentMemoryBytes(), before + (32 << 20)) << touched[12345];
}

}  // namespace
}  // namespace qz::host::metrics
