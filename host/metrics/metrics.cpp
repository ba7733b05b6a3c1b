#include "host/metrics/metrics.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <variant>

namespace qz::host::metrics {
namespace {

void AtomicAdd(std::atomic<double>& a, double by) {
  double old = a.load(std::memory_order_relaxed);
  while (!a.compare_exchange_weak(old, old + by, std::memory_order_relaxed)) {
  }
}

bool IsNameChar(char c, bool first, bool colon) {
  bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (colon && c == ':');
  return alpha || (!first && c >= '0' && c <= '9');
}

bool IsValidName(std::string_view name, bool colon) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (!IsNameChar(name[i], i == 0, colon)) return false;
  }
  return true;
}

void WriteLabels(std::string& out, const std::vector<std::string>& names,
                 const std::vector<std::string>& values, std::string_view extra_name = {},
                 std::string_view extra_value = {}) {
  if (names.empty() && extra_name.empty()) return;
  out += '{';
  bool first = true;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!first) out += ',';
    first = false;
    out += names[i];
    out += "=\"";
    out += EscapeLabelValue(values[i]);
    out += '"';
  }
  if (!extra_name.empty()) {
    if (!first) out += ',';
    out += extra_name;
    out += "=\"";
    out += extra_value;
    out += '"';
  }
  out += '}';
}

void WriteSample(std::string& out, std::string_view name, const std::vector<std::string>& names,
                 const std::vector<std::string>& values, double v, std::string_view extra_name = {},
                 std::string_view extra_value = {}) {
  out += name;
  WriteLabels(out, names, values, extra_name, extra_value);
  out += ' ';
  out += FormatValue(v);
  out += '\n';
}

}  // namespace

void Counter::Inc(double by) {
  // A counter never goes down; a negative or NaN increment is a caller's bug
  // that would corrupt every rate computed from the series.
  if (!(by >= 0)) return;
  AtomicAdd(value_, by);
}

void Gauge::Add(double by) {
  AtomicAdd(value_, by);
}

Histogram::Histogram(std::vector<double> upper_bounds) : bounds_(std::move(upper_bounds)) {
  for (std::size_t i = 0; i < bounds_.size(); ++i) {
    if (std::isnan(bounds_[i]) || (i > 0 && bounds_[i] <= bounds_[i - 1])) {
      throw std::invalid_argument("histogram bounds must increase");
    }
  }
  if (!bounds_.empty() && std::isinf(bounds_.back()) && bounds_.back() > 0) bounds_.pop_back();
  counts_ = std::make_unique<std::atomic<std::uint64_t>[]>(bounds_.size() + 1);
}

void Histogram::Observe(double v) {
  std::size_t i = std::lower_bound(bounds_.begin(), bounds_.end(), v) - bounds_.begin();
  counts_[i].fetch_add(1, std::memory_order_relaxed);
  AtomicAdd(sum_, v);
}

Histogram::Snapshot Histogram::Read() const {
  Snapshot s;
  std::uint64_t running = 0;
  for (std::size_t i = 0; i <= bounds_.size(); ++i) {
    running += counts_[i].load(std::memory_order_relaxed);
    s.cumulative.push_back(running);
  }
  s.count = running;
  s.sum = sum_.load(std::memory_order_relaxed);
  return s;
}

template <typename T>
Family<T>::Family(std::string name, std::string help, std::vector<std::string> label_names,
                  std::function<std::unique_ptr<T>()> make)
    : name_(std::move(name)),
      help_(std::move(help)),
      label_names_(std::move(label_names)),
      make_(std::move(make)) {}

template <typename T>
T& Family<T>::With(const std::vector<std::string>& label_values) {
  if (label_values.size() != label_names_.size()) {
    throw std::invalid_argument(name_ + ": wrong number of label values");
  }
  std::lock_guard lock(mutex_);
  auto& slot = series_[label_values];
  if (!slot) slot = make_();
  return *slot;
}

template class Family<Counter>;
template class Family<Gauge>;
template class Family<Histogram>;

struct Registry::Entry {
  Type type;
  std::string name;
  std::string help;
  std::variant<std::unique_ptr<Family<Counter>>, std::unique_ptr<Family<Gauge>>,
               std::unique_ptr<Family<Histogram>>, std::function<double()>>
      source;
};

Registry::Registry() = default;
Registry::~Registry() = default;

void Registry::CheckNew(const std::string& name,
                        const std::vector<std::string>& label_names) const {
  if (!IsValidMetricName(name)) throw std::invalid_argument("bad metric name: " + name);
  for (const auto& l : label_names) {
    if (!IsValidLabelName(l) || l == "le") {
      throw std::invalid_argument("bad label name for " + name + ": " + l);
    }
  }
  for (const auto& e : entries_) {
    if (e->name == name) throw std::invalid_argument("metric registered twice: " + name);
  }
}

Family<Counter>& Registry::AddCounter(std::string name, std::string help,
                                      std::vector<std::string> label_names) {
  std::lock_guard lock(mutex_);
  CheckNew(name, label_names);
  auto family = std::unique_ptr<Family<Counter>>(new Family<Counter>(
      name, help, std::move(label_names), [] { return std::make_unique<Counter>(); }));
  auto& ref = *family;
  entries_.push_back(std::make_unique<Entry>(
      Entry{Type::kCounter, std::move(name), std::move(help), std::move(family)}));
  return ref;
}

Family<Gauge>& Registry::AddGauge(std::string name, std::string help,
                                  std::vector<std::string> label_names) {
  std::lock_guard lock(mutex_);
  CheckNew(name, label_names);
  auto family = std::unique_ptr<Family<Gauge>>(new Family<Gauge>(
      name, help, std::move(label_names), [] { return std::make_unique<Gauge>(); }));
  auto& ref = *family;
  entries_.push_back(std::make_unique<Entry>(
      Entry{Type::kGauge, std::move(name), std::move(help), std::move(family)}));
  return ref;
}

Family<Histogram>& Registry::AddHistogram(std::string name, std::string help,
                                          std::vector<double> bounds,
                                          std::vector<std::string> label_names) {
  std::lock_guard lock(mutex_);
  CheckNew(name, label_names);
  Histogram probe(bounds);  // checks the bounds now rather than at first use
  auto family = std::unique_ptr<Family<Histogram>>(
      new Family<Histogram>(name, help, std::move(label_names),
                            [bounds] { return std::make_unique<Histogram>(bounds); }));
  auto& ref = *family;
  entries_.push_back(std::make_unique<Entry>(
      Entry{Type::kHistogram, std::move(name), std::move(help), std::move(family)}));
  return ref;
}

void Registry::AddGaugeCallback(std::string name, std::string help, std::function<double()> read) {
  std::lock_guard lock(mutex_);
  CheckNew(name, {});
  entries_.push_back(std::make_unique<Entry>(
      Entry{Type::kGauge, std::move(name), std::move(help), std::move(read)}));
}

void Registry::Write(std::string& out) const {
  std::lock_guard lock(mutex_);
  for (const auto& e : entries_) {
    out += "# HELP ";
    out += e->name;
    out += ' ';
    out += EscapeHelp(e->help);
    out += "\n# TYPE ";
    out += e->name;
    out += e->type == Type::kCounter ? " counter\n"
           : e->type == Type::kGauge ? " gauge\n"
                                     : " histogram\n";
    if (auto* read = std::get_if<std::function<double()>>(&e->source)) {
      WriteSample(out, e->name, {}, {}, (*read)());
    } else if (auto* c = std::get_if<std::unique_ptr<Family<Counter>>>(&e->source)) {
      std::lock_guard series_lock((*c)->mutex_);
      for (const auto& [values, s] : (*c)->series_) {
        WriteSample(out, e->name, (*c)->label_names_, values, s->Value());
      }
    } else if (auto* g = std::get_if<std::unique_ptr<Family<Gauge>>>(&e->source)) {
      std::lock_guard series_lock((*g)->mutex_);
      for (const auto& [values, s] : (*g)->series_) {
        WriteSample(out, e->name, (*g)->label_names_, values, s->Value());
      }
    } else if (auto* h = std::get_if<std::unique_ptr<Family<Histogram>>>(&e->source)) {
      std::lock_guard series_lock((*h)->mutex_);
      for (const auto& [values, s] : (*h)->series_) {
        Histogram::Snapshot snap = s->Read();
        const auto& names = (*h)->label_names_;
        for (std::size_t i = 0; i < s->bounds().size(); ++i) {
          WriteSample(out, e->name + "_bucket", names, values,
                      static_cast<double>(snap.cumulative[i]), "le", FormatValue(s->bounds()[i]));
        }
        WriteSample(out, e->name + "_bucket", names, values,
                    static_cast<double>(snap.cumulative.back()), "le", "+Inf");
        WriteSample(out, e->name + "_sum", names, values, snap.sum);
        WriteSample(out, e->name + "_count", names, values, static_cast<double>(snap.count));
      }
    }
  }
}

bool IsValidMetricName(std::string_view name) {
  return IsValidName(name, true);
}

bool IsValidLabelName(std::string_view name) {
  // Names beginning with two underscores are reserved for the collector.
  return IsValidName(name, false) && !name.starts_with("__");
}

std::string FormatValue(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string EscapeLabelValue(std::string_view v) {
  std::string out;
  out.reserve(v.size());
  for (char c : v) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string EscapeHelp(std::string_view v) {
  std::string out;
  out.reserve(v.size());
  for (char c : v) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

double ResidentMemoryBytes() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return 0;
  unsigned long size = 0, resident = 0;
  int n = std::fscanf(f, "%lu %lu", &size, &resident);
  std::fclose(f);
  if (n != 2) return 0;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE));
}

}  // namespace qz::host::metrics
