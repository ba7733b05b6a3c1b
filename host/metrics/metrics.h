// Counters, gauges and histograms for the host, written out in the
// Prometheus text exposition format (version 0.0.4).
//
// A Registry owns its families; a family owns one series per distinct set of
// label values. References returned by Family::With stay valid for the
// registry's lifetime, so a hot path looks a series up once and then only
// touches atomics. Registration checks names and label names against the
// format's grammar and throws std::invalid_argument on a bad one: a metric
// name is fixed in the code, so a bad one is a programming error.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace qz::host::metrics {

// The media type of Registry::Write's output.
inline constexpr std::string_view kContentType = "text/plain; version=0.0.4; charset=utf-8";

// A value that only goes up (requests, bytes, failures).
class Counter {
 public:
  void Inc(double by = 1.0);
  double Value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<double> value_{0.0};
};

// A value that goes up and down (busy apartments, open connections).
class Gauge {
 public:
  void Set(double v) { value_.store(v, std::memory_order_relaxed); }
  void Add(double by);
  double Value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<double> value_{0.0};
};

// Observations counted into fixed buckets; each bucket is an upper bound and
// an implicit last bucket takes everything (+Inf).
class Histogram {
 public:
  explicit Histogram(std::vector<double> upper_bounds);
  void Observe(double v);

  struct Snapshot {
    std::vector<std::uint64_t> cumulative;  // one per bound, then +Inf
    double sum = 0;
    std::uint64_t count = 0;
  };
  Snapshot Read() const;
  const std::vector<double>& bounds() const { return bounds_; }

 private:
  std::vector<double> bounds_;
  std::unique_ptr<std::atomic<std::uint64_t>[]> counts_;  // bounds_.size() + 1
  std::atomic<double> sum_{0.0};
};

enum class Type { kCounter, kGauge, kHistogram };

// One metric name with its help text and label names, and its series.
template <typename T>
class Family {
 public:
  // The series for these label values, made on first use. The number of
  // values must match the family's label names.
  T& With(const std::vector<std::string>& label_values);
  // The series of a family without labels.
  T& Get() { return With({}); }

 private:
  friend class Registry;
  Family(std::string name, std::string help, std::vector<std::string> label_names,
         std::function<std::unique_ptr<T>()> make);

  std::string name_;
  std::string help_;
  std::vector<std::string> label_names_;
  std::function<std::unique_ptr<T>()> make_;
  mutable std::mutex mutex_;
  std::map<std::vector<std::string>, std::unique_ptr<T>> series_;
};

class Registry {
 public:
  Registry();
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  Family<Counter>& AddCounter(std::string name, std::string help,
                              std::vector<std::string> label_names = {});
  Family<Gauge>& AddGauge(std::string name, std::string help,
                          std::vector<std::string> label_names = {});
  Family<Histogram>& AddHistogram(std::string name, std::string help, std::vector<double> bounds,
                                  std::vector<std::string> label_names = {});
  // A gauge read when the registry is written (resident memory, queue
  // lengths owned by someone else). The callback must be thread-safe.
  void AddGaugeCallback(std::string name, std::string help, std::function<double()> read);

  // Appends the exposition text of every family, in registration order.
  void Write(std::string& out) const;
  std::string Text() const {
    std::string out;
    Write(out);
    return out;
  }

 private:
  struct Entry;
  void CheckNew(const std::string& name, const std::vector<std::string>& label_names) const;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Entry>> entries_;
};

// Exposition-format pieces, public for the tests and for hand-written
// series elsewhere.
bool IsValidMetricName(std::string_view name);
bool IsValidLabelName(std::string_view name);
// A sample value as the format writes it: "+Inf", "-Inf", "NaN", or the
// shortest decimal text that reads back as the same double.
std::string FormatValue(double v);
// A label value inside its quotes: backslash, double quote and line feed
// escaped.
std::string EscapeLabelValue(std::string_view v);
// A HELP text: backslash and line feed escaped.
std::string EscapeHelp(std::string_view v);

// The process's resident memory in bytes (0 when it cannot be read).
double ResidentMemoryBytes();

}  // namespace qz::host::metrics
