#include "host/page_server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/basic_socket_acceptor.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/generic/stream_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/file.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http.hpp>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

#include "host/log_file.h"
#include "host/metrics/metrics.h"
#include "host/object_factory.h"
#include "host/page_objects.h"
#include "host/site_paths.h"

// Why Beast over Asio: its parser enforces the header and body limits itself
// (header_limit counts the request line and every field; body_limit holds for
// a Content-Length and for chunked bodies alike, before any byte is stored),
// and every read is an Asio operation, so one deadline timer per connection
// bounds a whole request however slowly its bytes arrive.

namespace qz::host {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
// Connections and listeners are TCP or Unix sockets alike.
using stream = asio::generic::stream_protocol;
using Acceptor = asio::basic_socket_acceptor<stream>;
using Clock = std::chrono::steady_clock;
using asio::use_awaitable;

// A fixed set of threads running the jobs handed to them, each thread warmed
// once before its first job: the apartments, which run whole pages (each
// page wholly on one thread, with that thread's host form and chart engine).
//
// A job goes to the thread that went idle last. Its chart engine, pixel
// memory and script heap are the ones most likely still in its core's
// caches; under light load that keeps one thread serving, instead of the
// threads taking turns with cold caches.
class WorkerPool {
 public:
  WorkerPool(int n, std::function<void()> warm)
      : warm_(std::move(warm)),
        busy_since_(new std::atomic<std::int64_t>[n]),
        wake_(new std::condition_variable[n]),
        n_(n) {
    for (int i = 0; i < n; ++i) busy_since_[i].store(0);
    for (int i = 0; i < n; ++i) threads_.emplace_back([this, i] { Work(i); });
  }
  ~WorkerPool() { Shutdown(); }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void Enqueue(std::function<void()> fn) {
    int wake = -1;
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(fn));
      if (!idle_.empty()) {
        wake = idle_.back();
        idle_.pop_back();
      }
    }
    if (wake >= 0) wake_[wake].notify_one();
  }
  // Runs the jobs already queued, then ends the threads.
  void Shutdown() {
    {
      std::lock_guard lock(mutex_);
      if (shutdown_) return;
      shutdown_ = true;
      idle_.clear();
    }
    for (int i = 0; i < n_; ++i) wake_[i].notify_all();
    for (std::thread& t : threads_) t.join();
  }

  // Threads running a job now.
  int Busy() const {
    int busy = 0;
    for (int i = 0; i < n_; ++i) busy += busy_since_[i].load() != 0 ? 1 : 0;
    return busy;
  }
  // Called by a job on its own thread when its work is done and only its
  // answer's hand-over is left: the thread counts as idle from then on.
  static void IdleNow() {
    if (current_ != nullptr) current_->store(0);
  }
  // Jobs queued and not yet started.
  std::size_t Waiting() {
    std::lock_guard lock(mutex_);
    return jobs_.size();
  }
  // How long the longest-running job now has run (zero when none runs).
  Clock::duration LongestRunning() const {
    std::int64_t oldest = 0;
    for (int i = 0; i < n_; ++i) {
      std::int64_t since = busy_since_[i].load();
      if (since != 0 && (oldest == 0 || since < oldest)) oldest = since;
    }
    if (oldest == 0) return Clock::duration::zero();
    return Clock::now().time_since_epoch() - Clock::duration(oldest);
  }

 private:
  void Work(int index) {
    current_ = &busy_since_[index];
    if (warm_) warm_();
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        while (!shutdown_ && jobs_.empty()) {
          // Idle: the newest entry is the first handed a job. A wake-up
          // without one (spurious) leaves the entry where it is.
          if (std::find(idle_.begin(), idle_.end(), index) == idle_.end()) idle_.push_back(index);
          wake_[index].wait(lock);
        }
        std::erase(idle_, index);
        if (jobs_.empty()) return;  // shut down and drained
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      // Never 0 while busy: the clock's epoch is long past.
      busy_since_[index].store(std::max<std::int64_t>(1, Clock::now().time_since_epoch().count()));
      job();
      busy_since_[index].store(0);
    }
  }

  std::function<void()> warm_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::deque<std::function<void()>> jobs_;
  // Idle threads by index, the one idle longest first.
  std::vector<int> idle_;
  bool shutdown_ = false;
  // Per thread: when its running job started (steady clock ticks), 0 idle.
  std::unique_ptr<std::atomic<std::int64_t>[]> busy_since_;
  // Per thread: where it waits while idle.
  std::unique_ptr<std::condition_variable[]> wake_;
  int n_;
  static thread_local std::atomic<std::int64_t>* current_;
};

thread_local std::atomic<std::int64_t>* WorkerPool::current_ = nullptr;

// Text from a client, fit for one log line: control characters, bytes
// outside ASCII, quotes and backslashes escaped as \xHH; cut at max_bytes of
// escaped text, marked "...".
std::string LogEscaped(std::string_view text, std::size_t max_bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (char ch : text) {
    if (out.size() >= max_bytes) {
      out += "...";
      break;
    }
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

constexpr std::size_t kLogTargetBytes = 1024;

// The Date header's text for now, in the fixed English form HTTP requires
// (whatever the process's locale), formed once a second per thread.
const std::string& HttpDate() {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  thread_local std::time_t formed = -1;
  thread_local std::string text;
  std::time_t now = std::time(nullptr);
  if (now != formed) {
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday % 7],
                  tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    text = buf;
    formed = now;
  }
  return text;
}

// Headers whose value the host alone sets: the framing of the answer and the
// connection are the server's, never a page's.
bool IsHostOwnedHeader(std::string_view name) {
  for (std::string_view owned : {"Content-Length", "Transfer-Encoding", "Connection", "Date",
                                 "Keep-Alive", "Upgrade", "Trailer"}) {
    if (beast::iequals(name, owned)) return true;
  }
  return false;
}

// A file seen from an offset for a given length: the body of a one-range
// answer, streamed from the file like a whole one.
class SliceFile {
 public:
  using native_handle_type = beast::file::native_handle_type;

  bool is_open() const { return file_.is_open(); }
  void close(beast::error_code& ec) { file_.close(ec); }
  void open(const char* path, beast::file_mode mode, beast::error_code& ec) {
    file_.open(path, mode, ec);
  }
  std::uint64_t size(beast::error_code& ec) const {
    ec = {};
    return length_;
  }
  std::uint64_t pos(beast::error_code& ec) { return file_.pos(ec); }
  void seek(std::uint64_t offset, beast::error_code& ec) { file_.seek(offset, ec); }
  std::size_t read(void* buffer, std::size_t n, beast::error_code& ec) {
    return file_.read(buffer, n, ec);
  }
  std::size_t write(const void* buffer, std::size_t n, beast::error_code& ec) {
    return file_.write(buffer, n, ec);
  }
  void Slice(std::uint64_t offset, std::uint64_t length, beast::error_code& ec) {
    file_.seek(offset, ec);
    length_ = length;
  }

 private:
  beast::file file_;
  std::uint64_t length_ = 0;
};
using SliceBody = http::basic_file_body<SliceFile>;

struct ByteRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;  // inclusive
};

enum class RangeVerdict { Whole, Unsatisfiable, Parts };

// Reads a Range header against a file of the given size. Anything this
// server does not serve in parts (another unit, bad syntax, more than
// max_ranges, overlapping or descending ranges) is answered whole.
RangeVerdict ReadRanges(std::string_view header, std::uint64_t size, int max_ranges,
                        std::vector<ByteRange>* out) {
  constexpr std::string_view kUnit = "bytes=";
  if (header.size() < kUnit.size() || !beast::iequals(header.substr(0, kUnit.size()), kUnit))
    return RangeVerdict::Whole;
  header.remove_prefix(kUnit.size());
  auto trim = [](std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
  };
  auto number = [](std::string_view s, std::uint64_t* v) {
    if (s.empty() || s.size() > 19) return false;
    *v = 0;
    for (char c : s) {
      if (c < '0' || c > '9') return false;
      *v = *v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
  };
  int count = 0;
  bool satisfiable = false;
  while (!header.empty()) {
    std::size_t comma = header.find(',');
    std::string_view spec = trim(header.substr(0, comma));
    header = comma == std::string_view::npos ? std::string_view{} : header.substr(comma + 1);
    if (spec.empty()) continue;
    if (++count > max_ranges) return RangeVerdict::Whole;
    std::size_t dash = spec.find('-');
    if (dash == std::string_view::npos) return RangeVerdict::Whole;
    std::uint64_t a = 0, b = 0;
    ByteRange r;
    if (dash == 0) {  // the last b bytes
      if (!number(spec.substr(1), &b)) return RangeVerdict::Whole;
      if (b == 0 || size == 0) continue;
      r = {b >= size ? 0 : size - b, size - 1};
    } else {
      if (!number(spec.substr(0, dash), &a)) return RangeVerdict::Whole;
      std::string_view tail = spec.substr(dash + 1);
      if (tail.empty()) {
        b = size == 0 ? 0 : size - 1;
      } else if (!number(tail, &b) || b < a) {
        return RangeVerdict::Whole;
      }
      if (a >= size) continue;
      r = {a, std::min(b, size - 1)};
    }
    if (!out->empty() && r.first <= out->back().last) return RangeVerdict::Whole;
    out->push_back(r);
    satisfiable = true;
  }
  if (count == 0) return RangeVerdict::Whole;
  return satisfiable ? RangeVerdict::Parts : RangeVerdict::Unsatisfiable;
}

}  // namespace

namespace {

// One client connection, owned by the coroutine that serves it (and, while
// one is armed, by its deadline). Everything here is touched only on the
// connection's strand.
struct Connection : std::enable_shared_from_this<Connection> {
  enum class Phase { Waiting, Body, Page, Writing };

  explicit Connection(asio::any_io_executor strand) : socket(strand), timer(strand) {}

  // Arms the deadline of the next operations: when it passes, they end
  // (operation_aborted) and expired is set. Trickled bytes do not move it.
  void Deadline(std::chrono::seconds after) {
    expired = false;
    timer.expires_after(after);
    timer.async_wait([self = shared_from_this(), armed = ++deadline_number](beast::error_code ec) {
      if (ec || armed != self->deadline_number) return;
      self->expired = true;
      beast::error_code ignored;
      self->socket.cancel(ignored);
    });
  }
  void NoDeadline() {
    ++deadline_number;
    timer.cancel();
  }

  stream::socket socket;
  asio::steady_timer timer;
  std::string address;  // the client's ("unix:" on a Unix socket)
  int port = 0;
  int local_port = 0;  // the port it came in on (0 on a Unix socket)
  bool local = false;  // came over a Unix socket: a process of this machine
  Phase phase = Phase::Waiting;
  bool expired = false;
  bool sent = false;  // the last answer was written whole
  std::uint64_t deadline_number = 0;
};

// What framing a page's answer needs from its request.
struct PageFraming {
  unsigned version = 11;
  bool head = false;
  bool keep = false;
  std::string path;  // for the log
  // The connection's socket. While the connection's coroutine awaits the
  // page nothing else uses it (no deadline is armed and a shutdown leaves it
  // open), so the apartment may write to it until it hands the answer over.
  int socket = -1;
};

// A page's answer body as the page left it: its text, then the byte array
// it handed over whole (a chart as read back), both sent from where they
// are.
struct PageBody {
  struct value_type {
    std::string text;
    ByteArray tail;
  };
  static std::uint64_t size(const value_type& v) { return v.text.size() + v.tail.size(); }

  class writer {
   public:
    using const_buffers_type = std::array<asio::const_buffer, 2>;
    template <bool isRequest, class Fields>
    writer(const http::header<isRequest, Fields>&, const value_type& v) : v_(v) {}
    void init(beast::error_code& ec) { ec = {}; }
    boost::optional<std::pair<const_buffers_type, bool>> get(beast::error_code& ec) {
      ec = {};
      if (given_) return boost::none;
      given_ = true;
      return {{const_buffers_type{asio::buffer(v_.text), asio::buffer(v_.tail)}, false}};
    }

   private:
    const value_type& v_;
    bool given_ = false;
  };
};

// A page's answer, framed on the apartment. The apartment writes what the
// socket takes without waiting: a chart usually goes whole, so the client
// has it without waiting for the I/O thread to wake. The connection's
// coroutine writes the rest, under its write deadline.
struct PageAnswer {
  // Why the page's answer cannot be sent as it is (then nothing was written,
  // and the client gets a 500).
  std::string bad;
  http::response<PageBody> res;
  std::optional<http::response_serializer<PageBody>> writer;
  bool done = false;         // written whole
  beast::error_code failed;  // the socket refused it (not merely full)
};

// A socket written without waiting, for Beast's synchronous writes: a full
// socket ends the write with would_block, and the serializer keeps its place.
class NoWaitSocket {
 public:
  explicit NoWaitSocket(int fd) : fd_(fd) {}

  template <class ConstBufferSequence>
  std::size_t write_some(const ConstBufferSequence& buffers, beast::error_code& ec) {
    std::array<iovec, 16> iov{};
    std::size_t n = 0;
    for (auto it = asio::buffer_sequence_begin(buffers), end = asio::buffer_sequence_end(buffers);
         it != end && n < iov.size(); ++it) {
      asio::const_buffer b = *it;
      if (b.size() == 0) continue;
      iov[n].iov_base = const_cast<void*>(b.data());
      iov[n].iov_len = b.size();
      ++n;
    }
    msghdr message{};
    message.msg_iov = iov.data();
    message.msg_iovlen = n;
    ssize_t written;
    do {
      written = ::sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
      ec = (errno == EAGAIN || errno == EWOULDBLOCK)
               ? beast::error_code(asio::error::would_block)
               : beast::error_code(errno, beast::system_category());
      return 0;
    }
    ec = {};
    return static_cast<std::size_t>(written);
  }
  template <class ConstBufferSequence>
  std::size_t write_some(const ConstBufferSequence& buffers) {
    beast::error_code ec;
    std::size_t n = write_some(buffers, ec);
    if (ec) throw beast::system_error(ec);
    return n;
  }

 private:
  int fd_;
};

// A request as the access log shows it.
struct Seen {
  std::string method = "-";
  std::string target;
  std::string version;
  std::string referer;
  std::string user_agent;
  Clock::time_point start = Clock::now();
  std::chrono::system_clock::time_point received = std::chrono::system_clock::now();
};

}  // namespace

namespace {

// The host's counters, the metrics registry's families looked up once.
struct HostMetrics {
  HostMetrics()
      : requests(registry.AddCounter("quenza_http_requests_total", "HTTP answers by status class",
                                     {"class"})),
        pages(registry.AddCounter("quenza_pages_total", "Pages run").Get()),
        charts_sent(registry.AddCounter("quenza_charts_sent_total",
                                        "Charts answered as a page's image, by image format",
                                        {"format"})),
        charts_saved(registry.AddCounter("quenza_charts_saved_total",
                                         "Charts written to files by pages, by image format",
                                         {"format"})),
        render_failures(registry.AddCounter(
            "quenza_render_failures_total",
            "Chart renders that ended in the error answer, by error number", {"number"})),
        page_seconds(
            registry
                .AddHistogram("quenza_page_duration_seconds", "Time a page ran",
                              {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 90})
                .Get()) {}

  metrics::Registry registry;
  metrics::Family<metrics::Counter>& requests;
  metrics::Counter& pages;
  metrics::Family<metrics::Counter>& charts_sent;
  metrics::Family<metrics::Counter>& charts_saved;
  metrics::Family<metrics::Counter>& render_failures;
  metrics::Histogram& page_seconds;
};

// The image format of a page's answer ("" for no image).
std::string_view ImageFormatOf(std::string_view content_type) {
  std::string_view type = content_type.substr(0, content_type.find(';'));
  while (!type.empty() && type.back() == ' ') type.remove_suffix(1);
  for (auto [media, format] : {std::pair{"image/jpg", "jpeg"}, std::pair{"image/jpeg", "jpeg"},
                               std::pair{"image/png", "png"}, std::pair{"image/svg+xml", "svg"},
                               std::pair{"image/bmp", "bmp"}}) {
    if (beast::iequals(type, media)) return format;
  }
  return {};
}

// Error numbers seen as labels: a page cannot grow the series without bound.
constexpr std::size_t kFailureNumberSeries = 64;

}  // namespace

bool MetricsAllowed(std::string_view address, bool from_anywhere) {
  if (from_anywhere) return true;
  beast::error_code ec;
  asio::ip::address a = asio::ip::make_address(std::string(address), ec);
  if (ec) return false;
  if (a.is_v6() && a.to_v6().is_v4_mapped())
    a = asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
  return a.is_loopback();
}

struct PageServer::Impl {
  Impl(PageServer& s, const ServerOptions& o) : server(s), options(o), limits(o.limits) {
    auto& r = stats.registry;
    r.AddGaugeCallback("quenza_apartments_busy", "Apartments running a page now", [this] {
      return apartments ? static_cast<double>(apartments->Busy()) : 0.0;
    });
    r.AddGaugeCallback("quenza_requests_waiting", "Pages waiting for an apartment", [this] {
      return apartments ? static_cast<double>(apartments->Waiting()) : 0.0;
    });
    r.AddGaugeCallback("quenza_open_connections", "Open client connections", [this] {
      std::lock_guard lock(mutex);
      return static_cast<double>(open);
    });
    r.AddGaugeCallback("quenza_resident_memory_bytes", "Resident memory of the process",
                       metrics::ResidentMemoryBytes);
  }

  // The health check's verdict: empty when healthy, else why not.
  std::string Unhealthy() const;
  asio::awaitable<bool> AnswerMetrics(Connection& c, unsigned version, bool head, bool keep,
                                      const Seen& seen);

  asio::awaitable<void> Accept(Acceptor& acceptor);
  asio::awaitable<void> Serve(std::shared_ptr<Connection> c);
  // Answers one complete request; false when the connection must close.
  asio::awaitable<bool> Answer(Connection& c, http::request<http::string_body>& req, bool keep,
                               Seen& seen);
  asio::awaitable<bool> AnswerStatic(Connection& c, const http::request<http::string_body>& req,
                                     const std::filesystem::path& file, bool keep, Seen& seen);
  asio::awaitable<bool> AnswerPage(Connection& c, http::request<http::string_body>& req,
                                   const std::string& path, std::string_view query,
                                   const std::filesystem::path& file, bool keep, Seen& seen);
  // A plain-text answer of the host's own, with fields besides its framing.
  using Fields = std::vector<std::pair<http::field, std::string>>;
  asio::awaitable<bool> Plain(Connection& c, unsigned version, bool head_only, int status,
                              std::string_view text, bool keep, const Seen& seen,
                              std::string_view why = {}, Fields fields = {});
  // The 405 answer to a method the path does not take; allow lists those it
  // does.
  asio::awaitable<bool> NotAllowed(Connection& c, unsigned version, bool head_only,
                                   std::string allow, bool keep, const Seen& seen) {
    Fields fields;
    fields.emplace_back(http::field::allow, std::move(allow));
    return Plain(c, version, head_only, 405, "Method Not Allowed", keep, seen, {},
                 std::move(fields));
  }
  // Answers a request over a limit (or unreadable), then closes gently.
  asio::awaitable<void> Refuse(Connection& c, int status, std::string_view text, const Seen& seen,
                               std::string_view why);
  // Ends a connection whose last answer was sent whole.
  asio::awaitable<void> CloseGently(Connection& c);
  // The fields the host sets on every answer, and its count, before it is
  // written.
  template <class Body>
  void Stamp(http::response<Body>& res) {
    res.set(http::field::server, "Quenza");
    res.set(http::field::date, HttpDate());
    CountAnswer(static_cast<int>(res.result_int()));
  }
  template <class Body>
  asio::awaitable<bool> Send(Connection& c, http::response<Body>& res, bool head_only);
  // Writes what is left of an answer whose writing began elsewhere.
  template <class Body>
  asio::awaitable<bool> SendRest(Connection& c, http::response_serializer<Body>& writer,
                                 bool head_only);
  // Runs the page on an apartment, which frames its answer and writes what
  // the socket takes at once (see PageAnswer).
  asio::awaitable<std::shared_ptr<PageAnswer>> OnApartment(std::shared_ptr<PageRequest> request,
                                                           std::filesystem::path file,
                                                           PageFraming framing);
  // On the apartment: frames the page's answer and writes what the socket
  // takes at once.
  std::shared_ptr<PageAnswer> FramePageAnswer(PageResult result, const PageFraming& framing);
  // Counts a page that has ended in the server's statistics.
  void CountPage(const PageResult& result);

  // Counts an answer by its status class, before it is written, so that a
  // client that has its answer finds it counted.
  void CountAnswer(int status) {
    if (status >= 100 && status <= 599)
      stats.requests.With({std::string(1, static_cast<char>('0' + status / 100)) + "xx"}).Inc();
  }
  void LogAnswer(const Connection& c, const Seen& seen, int status, std::uint64_t bytes,
                 std::string_view why = {});
  bool Admit(const std::string& address);
  void Leave(const std::string& address);
  // Runs fn on the strand of every open connection.
  void ForEachConnection(const std::function<void(Connection&)>& fn);

  PageServer& server;
  const ServerOptions& options;
  const ServerLimits& limits;
  PageOptions page;
  RunningPages running;
  HostMetrics stats;
  std::atomic<bool> draining{false};
  std::mutex failure_mutex;
  std::set<std::string> seen_failure_numbers;  // guarded by failure_mutex

  std::mutex mutex;  // guards what follows up to the I/O objects
  std::condition_variable changed;
  int open = 0;
  std::unordered_map<std::string, int> per_address;
  std::set<Connection*> connections;
  bool started = false;
  bool stopped = false;
  std::atomic<bool> stopping{false};

  // Declared after the state above: destroying the I/O context destroys the
  // connections it still holds, which unregister themselves there.
  asio::io_context ioc;
  asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(ioc);
  // The acceptors are used on this strand only (accepting, and closing).
  asio::strand<asio::io_context::executor_type> accept_strand = asio::make_strand(ioc);
  std::vector<std::unique_ptr<Acceptor>> acceptors;
  std::vector<std::string> socket_files;  // Unix sockets made by Bind, removed at the end
  void CloseListeners();
  std::vector<std::thread> io_threads;
  std::unique_ptr<WorkerPool> apartments;

  // Keeps a connection counted and findable while it lives.
  class Registration {
   public:
    Registration(Impl& impl, Connection* c) : impl_(impl), c_(c) {
      std::lock_guard lock(impl_.mutex);
      impl_.connections.insert(c_);
    }
    ~Registration() {
      {
        std::lock_guard lock(impl_.mutex);
        impl_.connections.erase(c_);
      }
      impl_.Leave(c_->address);
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

   private:
    Impl& impl_;
    Connection* c_;
  };
};

bool PageServer::Impl::Admit(const std::string& address) {
  std::lock_guard lock(mutex);
  int& mine = per_address[address];
  if (open >= limits.connections || mine >= limits.connections_per_address) {
    if (mine == 0) per_address.erase(address);
    return false;
  }
  ++open;
  ++mine;
  return true;
}

void PageServer::Impl::Leave(const std::string& address) {
  {
    std::lock_guard lock(mutex);
    --open;
    auto it = per_address.find(address);
    if (it != per_address.end() && --it->second <= 0) per_address.erase(it);
  }
  changed.notify_all();
}

void PageServer::Impl::ForEachConnection(const std::function<void(Connection&)>& fn) {
  std::lock_guard lock(mutex);
  for (Connection* c : connections) {
    // A connection whose last owner is going unregisters itself; skip it.
    if (std::shared_ptr<Connection> alive = c->weak_from_this().lock()) {
      asio::post(alive->socket.get_executor(), [alive, fn] { fn(*alive); });
    }
  }
}

void PageServer::Impl::LogAnswer(const Connection& c, const Seen& seen, int status,
                                 std::uint64_t bytes, std::string_view why) {
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - seen.start).count();
  std::string request = "-";
  if (!seen.target.empty()) {
    request = LogEscaped(seen.method, 32) + " " + LogEscaped(seen.target, kLogTargetBytes) + " " +
              LogEscaped(seen.version, 16);
  }
  auto quoted = [](const std::string& text) {
    return text.empty() ? std::string("\"-\"") : "\"" + LogEscaped(text, kLogTargetBytes) + "\"";
  };
  // Combined Log Format: host, identity, user, time, request, status, bytes,
  // referer, user agent; then the microseconds from the request's first byte.
  std::string line = c.address + " - - " + AccessLogTime(seen.received) + " \"" + request + "\" " +
                     std::to_string(status) + " " + std::to_string(bytes) + " " +
                     quoted(seen.referer) + " " + quoted(seen.user_agent) + " " +
                     std::to_string(micros);
  server.LogAccess(line);
  // Why a request was refused or its answer cut off is for the error log.
  if (!why.empty() || !c.sent) {
    server.Log(c.address + " \"" + request + "\" " + std::to_string(status) + ": " +
               (why.empty() ? std::string("answer not written whole: client gone or write "
                                          "deadline passed")
                            : std::string(why)));
  }
}

asio::awaitable<void> PageServer::Impl::Accept(Acceptor& acceptor) {
  for (;;) {
    auto c = std::make_shared<Connection>(asio::make_strand(ioc));
    beast::error_code ec;
    co_await acceptor.async_accept(c->socket, asio::redirect_error(use_awaitable, ec));
    if (ec) {
      if (stopping || !acceptor.is_open()) co_return;
      // Out of descriptors or a connection reset before its acceptance: try
      // again shortly rather than spin.
      asio::steady_timer pause(ioc, std::chrono::milliseconds(50));
      co_await pause.async_wait(asio::redirect_error(use_awaitable, ec));
      continue;
    }
    stream::endpoint peer = c->socket.remote_endpoint(ec);
    if (!ec && peer.protocol().family() == AF_UNIX) {
      c->address = "unix:";
      c->local = true;
    } else if (!ec && peer.size() <= sizeof(sockaddr_in6)) {
      tcp::endpoint ip;
      std::memcpy(ip.data(), peer.data(), peer.size());
      ip.resize(peer.size());
      c->address = ip.address().to_string();
      c->port = ip.port();
      stream::endpoint mine = c->socket.local_endpoint(ec);
      if (!ec && mine.size() <= sizeof(sockaddr_in6)) {
        tcp::endpoint here;
        std::memcpy(here.data(), mine.data(), mine.size());
        here.resize(mine.size());
        c->local_port = here.port();
      }
    } else {
      c->address = "-";
    }
    if (!Admit(c->address)) {
      // One best-effort write without waiting: a refused client gets no
      // coroutine, timer or buffer of its own.
      static constexpr std::string_view kBusy =
          "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
          "Content-Length: 20\r\nConnection: close\r\n\r\nService Unavailable\n";
      CountAnswer(503);
      c->socket.non_blocking(true, ec);
      c->socket.write_some(asio::buffer(kBusy.data(), kBusy.size()), ec);
      c->socket.shutdown(stream::socket::shutdown_send, ec);
      c->socket.close(ec);
      Seen seen;
      LogAnswer(*c, seen, 503, 0, "too many connections");
      continue;
    }
    if (!c->local) c->socket.set_option(tcp::no_delay(true), ec);
    asio::any_io_executor strand = c->socket.get_executor();
    asio::co_spawn(strand, Serve(std::move(c)), asio::detached);
  }
}

asio::awaitable<std::shared_ptr<PageAnswer>> PageServer::Impl::OnApartment(
    std::shared_ptr<PageRequest> request, std::filesystem::path file, PageFraming framing) {
  auto initiate = [this, request, file = std::move(file),
                   framing = std::move(framing)](auto handler) {
    // The job needs a copyable owner of the handler, which is move-only.
    auto owner = std::make_shared<decltype(handler)>(std::move(handler));
    apartments->Enqueue([this, request, file, framing, owner] {
      // Counts the page, marks the apartment idle (a client that has its
      // answer finds both done), frames and writes the answer and hands it
      // to the connection: once, when the page's response ends or at the
      // latest when the page has ended.
      bool handed = false;
      auto answer_now = [&](PageResult&& result) {
        handed = true;
        CountPage(result);
        WorkerPool::IdleNow();
        std::shared_ptr<PageAnswer> answer;
        try {
          answer = FramePageAnswer(std::move(result), framing);
        } catch (const std::exception& e) {
          // Nothing was written: the socket writes report through their
          // error codes. The connection answers 500.
          answer = std::make_shared<PageAnswer>();
          answer->bad = std::string("page's answer could not be framed: ") + e.what();
        }
        asio::post(asio::get_associated_executor(*owner),
                   [owner, answer = std::move(answer)]() mutable { (*owner)(std::move(answer)); });
      };
      // A response that ends (a chart sent, Response.End) has its final
      // answer: it goes out now, while the script stops and the page's
      // objects are released.
      request->answer_when_ended = answer_now;
      PageResult result;
      const auto began = Clock::now();
      try {
        result = RunPage(page, *request, file);
      } catch (const std::exception& e) {
        result.status = 500;
        result.status_text = "Internal Server Error";
        result.content_type = "text/plain";
        result.body = "Internal Server Error\n";
        result.error = std::string("page ") + request->path + " failed: " + e.what();
        server.Log(result.error);
      }
      stats.page_seconds.Observe(std::chrono::duration<double>(Clock::now() - began).count());
      request->answer_when_ended = nullptr;
      if (!handed) answer_now(std::move(result));
      ReadyNextPage();
    });
  };
  co_return co_await asio::async_initiate<const asio::use_awaitable_t<>&,
                                          void(std::shared_ptr<PageAnswer>)>(std::move(initiate),
                                                                             use_awaitable);
}

template <class Body>
asio::awaitable<bool> PageServer::Impl::Send(Connection& c, http::response<Body>& res,
                                             bool head_only) {
  Stamp(res);
  http::response_serializer<Body> writer(res);
  co_return co_await SendRest(c, writer, head_only);
}

template <class Body>
asio::awaitable<bool> PageServer::Impl::SendRest(Connection& c,
                                                 http::response_serializer<Body>& writer,
                                                 bool head_only) {
  c.phase = Connection::Phase::Writing;
  c.Deadline(std::chrono::seconds(limits.write_seconds));
  beast::error_code ec;
  if (head_only) {
    co_await http::async_write_header(c.socket, writer, asio::redirect_error(use_awaitable, ec));
  } else {
    co_await http::async_write(c.socket, writer, asio::redirect_error(use_awaitable, ec));
  }
  c.NoDeadline();
  c.sent = !ec;
  co_return c.sent;
}

asio::awaitable<bool> PageServer::Impl::Plain(Connection& c, unsigned version, bool head_only,
                                              int status, std::string_view text, bool keep,
                                              const Seen& seen, std::string_view why,
                                              Fields fields) {
  http::response<http::string_body> res(static_cast<http::status>(status), version);
  res.set(http::field::content_type, "text/plain");
  for (const auto& [name, value] : fields) res.set(name, value);
  res.body() = std::string(text) + "\n";
  res.keep_alive(keep);
  res.prepare_payload();
  bool sent = co_await Send(c, res, head_only);
  LogAnswer(c, seen, status, head_only ? 0 : res.body().size(), why);
  co_return sent&& keep;
}

asio::awaitable<void> PageServer::Impl::Refuse(Connection& c, int status, std::string_view text,
                                               const Seen& seen, std::string_view why) {
  co_await Plain(c, 11, false, status, text, false, seen, why);
  if (c.sent) co_await CloseGently(c);
}

asio::awaitable<void> PageServer::Impl::CloseGently(Connection& c) {
  // Closing with unread request bytes would reset the connection and could
  // destroy the answer before the client reads it: stop sending, and read
  // and drop what still comes, for a bounded time and amount.
  beast::error_code ec;
  c.socket.shutdown(stream::socket::shutdown_send, ec);
  if (ec) co_return;
  c.Deadline(std::chrono::seconds(2));
  std::array<char, 4096> sink;
  for (std::size_t total = 0; total < (std::size_t{1} << 20);) {
    std::size_t n = co_await c.socket.async_read_some(asio::buffer(sink),
                                                      asio::redirect_error(use_awaitable, ec));
    if (ec) break;
    total += n;
  }
  c.NoDeadline();
}

asio::awaitable<void> PageServer::Impl::Serve(std::shared_ptr<Connection> c) {
  Registration registered(*this, c.get());
  // Room for a whole header at its limit: the parser takes a header only
  // once it is complete.
  beast::flat_buffer buffer(limits.header_bytes + 1024);
  int served = 0;
  for (;;) {
    if (stopping) break;
    beast::error_code ec;
    c->phase = Connection::Phase::Waiting;
    if (served > 0 && buffer.size() == 0) {
      // Between requests: the keep-alive idle time, then the header deadline
      // from the next request's first byte.
      c->Deadline(std::chrono::seconds(limits.keep_alive_seconds));
      co_await c->socket.async_wait(stream::socket::wait_read,
                                    asio::redirect_error(use_awaitable, ec));
      if (ec || stopping) break;
    }
    Seen seen;
    c->Deadline(std::chrono::seconds(limits.header_seconds));
    http::request_parser<http::string_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(limits.header_bytes));
    parser.body_limit(limits.body_bytes);
    co_await http::async_read_header(c->socket, buffer, parser,
                                     asio::redirect_error(use_awaitable, ec));
    if (ec) {
      if (stopping) break;
      if (const auto& partial = parser.get(); !partial.target().empty()) {
        seen.method = std::string(partial.method_string());
        seen.target = std::string(partial.target());
        seen.version = partial.version() == 10 ? "HTTP/1.0" : "HTTP/1.1";
      }
      if (c->expired) {
        co_await Refuse(*c, 408, "Request Timeout", seen, "request header deadline passed");
      } else if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
        // A request line that never ended within the limit, or a target
        // over its own limit, is a long target; otherwise the fields are.
        std::size_t target = parser.get().target().size();
        if (target == 0 || target > limits.target_bytes) {
          co_await Refuse(*c, 414, "URI Too Long", seen, "request target over the limit");
        } else {
          co_await Refuse(*c, 431, "Request Header Fields Too Large", seen,
                          "request header over the byte limit");
        }
      } else if (ec == http::error::body_limit) {
        co_await Refuse(*c, 413, "Content Too Large", seen, "declared body over the limit");
      } else if (ec != http::error::end_of_stream && ec != http::error::partial_message &&
                 ec != asio::error::connection_reset && ec != asio::error::operation_aborted) {
        co_await Refuse(*c, 400, "Bad Request", seen, "unreadable request");
      }
      break;
    }
    http::request<http::string_body>& req = parser.get();
    seen.method = std::string(req.method_string());
    seen.target = std::string(req.target());
    seen.version = req.version() == 10 ? "HTTP/1.0" : "HTTP/1.1";
    seen.referer = std::string(req[http::field::referer]);
    seen.user_agent = std::string(req[http::field::user_agent]);
    std::size_t fields = 0;
    for (auto it = req.begin(); it != req.end(); ++it) ++fields;
    if (fields > limits.header_fields) {
      co_await Refuse(*c, 431, "Request Header Fields Too Large", seen,
                      "header fields over the count limit");
      break;
    }
    if (req.target().size() > limits.target_bytes) {
      co_await Refuse(*c, 414, "URI Too Long", seen, "request target over the limit");
      break;
    }
    if (!parser.is_done()) {
      if (beast::iequals(req[http::field::expect], "100-continue") && req.version() >= 11) {
        static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
        c->Deadline(std::chrono::seconds(limits.write_seconds));
        co_await asio::async_write(c->socket, asio::buffer(kContinue.data(), kContinue.size()),
                                   asio::redirect_error(use_awaitable, ec));
        if (ec) break;
      }
      c->phase = Connection::Phase::Body;
      c->Deadline(std::chrono::seconds(limits.body_seconds));
      co_await http::async_read(c->socket, buffer, parser, asio::redirect_error(use_awaitable, ec));
      if (ec) {
        if (stopping) break;
        if (c->expired) {
          co_await Refuse(*c, 408, "Request Timeout", seen, "request body deadline passed");
        } else if (ec == http::error::body_limit) {
          co_await Refuse(*c, 413, "Content Too Large", seen, "request body over the limit");
        } else if (ec != http::error::end_of_stream && ec != http::error::partial_message &&
                   ec != asio::error::connection_reset) {
          co_await Refuse(*c, 400, "Bad Request", seen, "unreadable request body");
        }
        break;
      }
    }
    c->NoDeadline();
    ++served;
    bool keep = req.keep_alive() && served < limits.keep_alive_requests;
    if (!co_await Answer(*c, req, keep, seen)) {
      if (c->sent) co_await CloseGently(*c);
      break;
    }
  }
  c->NoDeadline();
  beast::error_code ignored;
  c->socket.shutdown(stream::socket::shutdown_both, ignored);
  c->socket.close(ignored);
}

asio::awaitable<bool> PageServer::Impl::Answer(Connection& c, http::request<http::string_body>& req,
                                               bool keep, Seen& seen) {
  const unsigned version = req.version();
  const bool head = req.method() == http::verb::head;
  std::string_view target = req.target();
  // Only the origin form ("/path?query") names something on this server.
  if (target.empty() || target.front() != '/') {
    co_return co_await Plain(c, version, head, 400, "Bad Request", false, seen,
                             "request target not a path");
  }
  std::size_t q = target.find('?');
  std::string_view query = q == std::string_view::npos ? std::string_view{} : target.substr(q + 1);
  std::string path = UrlDecode(target.substr(0, q), false);
  // Paths the host answers itself, before the site.
  if (path == options.health_path || (options.metrics && path == options.metrics_path)) {
    if (req.method() != http::verb::get && !head)
      co_return co_await NotAllowed(c, version, head, "GET, HEAD", keep, seen);
    if (path == options.health_path) {
      std::string why = Unhealthy();
      if (why.empty()) co_return co_await Plain(c, version, head, 200, "OK", keep, seen);
      co_return co_await Plain(c, version, head, 503, why, keep, seen);
    }
    if (!c.local && !MetricsAllowed(c.address, options.metrics_from_anywhere))
      co_return co_await Plain(c, version, head, 403, "Forbidden", keep, seen,
                               "metrics asked by a client that is not local");
    co_return co_await AnswerMetrics(c, version, head, keep, seen);
  }
  SitePath site = ResolveSitePath(options.root, path);
  if (site.verdict == PathVerdict::Forbidden)
    co_return co_await Plain(c, version, head, 403, "Forbidden", keep, seen);
  if (site.verdict == PathVerdict::NotFound)
    co_return co_await Plain(c, version, head, 404, "Not Found", keep, seen);
  if (!site.is_page) {
    if (req.method() != http::verb::get && !head)
      co_return co_await NotAllowed(c, version, head, "GET, HEAD", keep, seen);
    co_return co_await AnswerStatic(c, req, site.file, keep, seen);
  }
  if (req.method() != http::verb::get && req.method() != http::verb::post && !head)
    co_return co_await NotAllowed(c, version, head, "GET, HEAD, POST", keep, seen);
  co_return co_await AnswerPage(c, req, path, query, site.file, keep, seen);
}

asio::awaitable<bool> PageServer::Impl::AnswerStatic(Connection& c,
                                                     const http::request<http::string_body>& req,
                                                     const std::filesystem::path& file, bool keep,
                                                     Seen& seen) {
  const unsigned version = req.version();
  const bool head = req.method() == http::verb::head;
  const std::string type(MediaTypeFor(file));
  beast::error_code ec;
  http::file_body::value_type whole;
  whole.open(file.c_str(), beast::file_mode::scan, ec);
  if (ec) co_return co_await Plain(c, version, head, 404, "Not Found", keep, seen);
  const std::uint64_t size = whole.size();

  std::vector<ByteRange> ranges;
  RangeVerdict verdict = RangeVerdict::Whole;
  auto range = req.find(http::field::range);
  if (range != req.end() && req.find(http::field::if_range) == req.end())
    verdict = ReadRanges(range->value(), size, limits.ranges, &ranges);
  if (verdict == RangeVerdict::Parts && ranges.size() > 1) {
    std::uint64_t total = 0;
    for (const ByteRange& r : ranges) total += r.last - r.first + 1;
    if (total > limits.multipart_bytes) verdict = RangeVerdict::Whole;
  }

  if (verdict == RangeVerdict::Unsatisfiable) {
    Fields fields;
    fields.emplace_back(http::field::content_range, "bytes */" + std::to_string(size));
    co_return co_await Plain(c, version, head, 416, "Range Not Satisfiable", keep, seen, {},
                             std::move(fields));
  }
  if (verdict == RangeVerdict::Parts && ranges.size() == 1) {
    const ByteRange r = ranges.front();
    SliceFile slice;
    slice.open(file.c_str(), beast::file_mode::scan, ec);
    if (!ec) slice.Slice(r.first, r.last - r.first + 1, ec);
    if (!ec) {
      http::response<SliceBody> res(http::status::partial_content, version);
      res.body().reset(std::move(slice), ec);
      if (!ec) {
        res.set(http::field::content_type, type);
        res.set(http::field::accept_ranges, "bytes");
        res.set(http::field::content_range, "bytes " + std::to_string(r.first) + "-" +
                                                std::to_string(r.last) + "/" +
                                                std::to_string(size));
        res.keep_alive(keep);
        res.content_length(r.last - r.first + 1);
        bool sent = co_await Send(c, res, head);
        LogAnswer(c, seen, 206, head ? 0 : r.last - r.first + 1);
        co_return sent&& keep;
      }
    }
    co_return co_await Plain(c, version, head, 500, "Internal Server Error", false, seen,
                             "static file unreadable");
  }
  if (verdict == RangeVerdict::Parts) {
    // Several ranges, ascending and bounded in all: one multipart answer.
    static constexpr std::string_view kBoundary = "QUENZA_BYTERANGES_7d1c";
    std::string body;
    beast::file in;
    in.open(file.c_str(), beast::file_mode::scan, ec);
    for (const ByteRange& r : ranges) {
      if (ec) break;
      body += "--";
      body += kBoundary;
      body += "\r\nContent-Type: " + type + "\r\nContent-Range: bytes " + std::to_string(r.first) +
              "-" + std::to_string(r.last) + "/" + std::to_string(size) + "\r\n\r\n";
      std::size_t at = body.size();
      std::size_t n = static_cast<std::size_t>(r.last - r.first + 1);
      body.resize(at + n);
      in.seek(r.first, ec);
      for (std::size_t got = 0; !ec && got < n;) {
        std::size_t k = in.read(body.data() + at + got, n - got, ec);
        if (k == 0 && !ec) ec = beast::http::error::short_read;
        got += k;
      }
      body += "\r\n";
    }
    if (ec) {
      co_return co_await Plain(c, version, head, 500, "Internal Server Error", false, seen,
                               "static file unreadable");
    }
    body += "--";
    body += kBoundary;
    body += "--\r\n";
    http::response<http::string_body> res(http::status::partial_content, version);
    res.set(http::field::content_type, "multipart/byteranges; boundary=" + std::string(kBoundary));
    res.set(http::field::accept_ranges, "bytes");
    res.body() = std::move(body);
    res.keep_alive(keep);
    res.prepare_payload();
    bool sent = co_await Send(c, res, head);
    LogAnswer(c, seen, 206, head ? 0 : res.body().size());
    co_return sent&& keep;
  }

  http::response<http::file_body> res(http::status::ok, version);
  res.body() = std::move(whole);
  res.set(http::field::content_type, type);
  res.set(http::field::accept_ranges, "bytes");
  res.keep_alive(keep);
  res.content_length(size);
  bool sent = co_await Send(c, res, head);
  LogAnswer(c, seen, 200, head ? 0 : size);
  co_return sent&& keep;
}

asio::awaitable<bool> PageServer::Impl::AnswerPage(Connection& c,
                                                   http::request<http::string_body>& req,
                                                   const std::string& path, std::string_view query,
                                                   const std::filesystem::path& file, bool keep,
                                                   Seen& seen) {
  const unsigned version = req.version();
  const bool head = req.method() == http::verb::head;
  auto page_request = std::make_shared<PageRequest>();
  PageRequest& p = *page_request;
  p.method = std::string(req.method_string());
  p.path = path;
  p.query = std::string(query);
  p.content_type = std::string(req[http::field::content_type]);
  for (const auto& field : req) p.headers.emplace_back(field.name_string(), field.value());
  p.body = std::move(req.body());
  p.remote_addr = c.address;
  p.remote_port = c.port;
  std::string_view host = req[http::field::host];
  // The port follows the last ':' only when it is outside an IPv6 address's
  // brackets ("[::1]" has none).
  std::size_t colon = host.rfind(':');
  if (std::size_t bracket = host.rfind(']'); bracket != std::string_view::npos && colon < bracket)
    colon = std::string_view::npos;
  p.server_name = host.empty() ? options.host : std::string(host.substr(0, colon));
  p.server_port = c.local_port;
  p.protocol = seen.version;

  PageFraming framing;
  framing.version = version;
  framing.head = head;
  framing.keep = keep;
  framing.path = path;
  framing.socket = c.socket.native_handle();
  c.phase = Connection::Phase::Page;
  std::shared_ptr<PageAnswer> answer =
      co_await OnApartment(std::move(page_request), file, std::move(framing));
  // A shutdown that began while the page ran: close after the answer.
  if (stopping) keep = false;
  if (!answer->bad.empty()) {
    co_return co_await Plain(c, version, head, 500, "Internal Server Error", keep, seen,
                             answer->bad);
  }
  if (answer->done || answer->failed) {
    c.sent = answer->done;
  } else {
    co_await SendRest(c, *answer->writer, head);
  }
  const http::response<PageBody>& res = answer->res;
  LogAnswer(c, seen, static_cast<int>(res.result_int()), head ? 0 : PageBody::size(res.body()));
  co_return c.sent&& keep&& res.keep_alive();
}

void PageServer::Impl::CountPage(const PageResult& result) {
  stats.pages.Inc();
  if (std::string_view format = ImageFormatOf(result.content_type);
      !format.empty() && result.status == 200 && result.chart_errors == 0)
    stats.charts_sent.With({std::string(format)}).Inc();
  for (const auto& [format, count] : result.charts_saved)
    stats.charts_saved.With({format}).Inc(static_cast<double>(count));
  for (std::int32_t number : result.chart_error_numbers) {
    std::string label = std::to_string(number);
    std::lock_guard lock(failure_mutex);
    if (seen_failure_numbers.size() >= kFailureNumberSeries &&
        !seen_failure_numbers.contains(label))
      label = "other";
    else
      seen_failure_numbers.insert(label);
    stats.render_failures.With({label}).Inc();
  }
}

std::shared_ptr<PageAnswer> PageServer::Impl::FramePageAnswer(PageResult result,
                                                              const PageFraming& framing) {
  auto answer = std::make_shared<PageAnswer>();

  // What the host writes is framed by the host: a status outside the final
  // ones, or a header that could split the answer, fails the page.
  std::string& bad = answer->bad;
  if (result.status < 200 || result.status > 599) {
    bad = "page answered the status " + std::to_string(result.status);
  } else if (HasControl(result.content_type)) {
    bad = "page answered a content type with control characters";
  }
  for (const auto& [name, value] : result.headers) {
    if (!bad.empty()) break;
    if (!IsToken(name) || HasControl(value))
      bad = "page answered the header " + LogEscaped(name, 64) + " with a bad name or value";
    else if (name.size() + value.size() > limits.answer_field_bytes)
      bad = "page answered the header " + LogEscaped(name, 64) + " over the limit of " +
            std::to_string(limits.answer_field_bytes) + " bytes";
  }
  if (bad.empty() &&
      std::max(result.content_type.size(), result.status_text.size()) > limits.answer_field_bytes)
    bad = "page answered a content type or status over the limit of " +
          std::to_string(limits.answer_field_bytes) + " bytes";
  if (!bad.empty()) return answer;

  http::response<PageBody>& res = answer->res;
  res = http::response<PageBody>(static_cast<http::status>(result.status), framing.version);
  if (!result.status_text.empty() && !HasControl(result.status_text))
    res.reason(result.status_text);
  if (!result.content_type.empty()) res.set(http::field::content_type, result.content_type);
  for (const auto& [name, value] : result.headers) {
    if (IsHostOwnedHeader(name)) {
      server.Log("page " + LogEscaped(framing.path, kLogTargetBytes) + ": the header " + name +
                 " is the host's; the page's value is not sent");
      continue;
    }
    if (beast::iequals(name, "Content-Type")) {
      res.set(http::field::content_type, value);
    } else {
      res.insert(name, value);
    }
  }
  // A shutdown that began while the page ran: answer, then close.
  res.keep_alive(framing.keep && !stopping);
  // Pages always answer whole: a Range header is not a page's business.
  // 204 and 304 carry no body.
  if (result.status != 204 && result.status != 304) {
    res.content_length(result.BodySize());
    res.body().text = std::move(result.body);
    res.body().tail = std::move(result.tail);
  }
  Stamp(res);

  answer->writer.emplace(res);
  NoWaitSocket socket(framing.socket);
  beast::error_code ec;
  try {
    if (framing.head) {
      http::write_header(socket, *answer->writer, ec);
    } else {
      http::write(socket, *answer->writer, ec);
    }
  } catch (const std::exception&) {
    // Part of the answer may be out: the connection can only close.
    ec = asio::error::no_memory;
  }
  if (!ec) {
    answer->done = true;
  } else if (ec != asio::error::would_block) {
    answer->failed = ec;
  }
  return answer;
}

std::string PageServer::Impl::Unhealthy() const {
  if (draining || stopping) return "Draining";
  if (apartments) {
    const auto budget = std::chrono::seconds(options.script_timeout_seconds) +
                        std::chrono::seconds(limits.stuck_margin_seconds);
    if (apartments->LongestRunning() > budget) return "Apartment Stuck";
  }
  return {};
}

asio::awaitable<bool> PageServer::Impl::AnswerMetrics(Connection& c, unsigned version, bool head,
                                                      bool keep, const Seen& seen) {
  http::response<http::string_body> res(http::status::ok, version);
  res.set(http::field::content_type, metrics::kContentType);
  res.set(http::field::cache_control, "no-store");
  stats.registry.Write(res.body());
  res.keep_alive(keep);
  res.prepare_payload();
  const std::uint64_t bytes = head ? 0 : res.body().size();
  bool sent = co_await Send(c, res, head);
  LogAnswer(c, seen, 200, bytes);
  co_return sent&& keep;
}

void PageServer::Drain() {
  impl_->draining = true;
}

std::string PageServer::MetricsText() const {
  return impl_->stats.registry.Text();
}

PageServer::PageServer(ServerOptions options) : options_(std::move(options)) {
  std::error_code ec;
  std::filesystem::path root = std::filesystem::canonical(options_.root, ec);
  if (!ec) options_.root = root;
  if (options_.threads <= 0) {
    options_.threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  }
  options_.limits.io_threads = std::clamp(options_.limits.io_threads, 1, 16);
  impl_ = std::make_unique<Impl>(*this, options_);
  PageOptions& page_options = impl_->page;
  page_options.root = options_.root;
  page_options.script_timeout_seconds = options_.script_timeout_seconds;
  page_options.default_language = options_.default_language;
  page_options.create_object = options_.create_object;
  page_options.log = [this](const std::string& line) { Log(line); };
  page_options.running = &impl_->running;
  page_options.limits = options_.page_limits;
  // Every apartment job readies its thread for the next page (OnApartment).
  page_options.collect_when_readied = true;

  impl_->apartments = std::make_unique<WorkerPool>(options_.threads, options_.warm_worker);
}

PageServer::~PageServer() {
  Stop();
}

void PageServer::Log(const std::string& line) {
  if (options_.log == nullptr) return;
  const std::string stamp = ErrorLogTime(std::chrono::system_clock::now());
  std::lock_guard lock(log_mutex_);
  *options_.log << stamp << ' ' << line << '\n';
  options_.log->flush();
}

void PageServer::LogAccess(const std::string& line) {
  if (options_.access_log) {
    options_.access_log(line);
    return;
  }
  if (options_.log == nullptr) return;
  std::lock_guard lock(log_mutex_);
  *options_.log << line << '\n';
  options_.log->flush();
}

bool ParseListenAddress(std::string_view text, ListenAddress* out, std::string* why) {
  auto fail = [&](std::string what) {
    if (why) *why = "bad --listen " + std::string(text) + ": " + what;
    return false;
  };
  ListenAddress a;
  if (text.starts_with("unix:")) {
    a.unix_path = std::string(text.substr(5));
    if (a.unix_path.empty()) return fail("no socket path after unix:");
    if (a.unix_path.size() >= sizeof(sockaddr_un::sun_path))
      return fail("socket path longer than " + std::to_string(sizeof(sockaddr_un::sun_path) - 1) +
                  " bytes");
    *out = a;
    return true;
  }
  std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return fail("wants HOST:PORT or unix:PATH");
  std::string_view host = text.substr(0, colon);
  std::string_view port = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  if (host.empty()) return fail("no host before the port (0.0.0.0 for every address)");
  if (port.empty() || port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](char ch) { return ch >= '0' && ch <= '9'; }))
    return fail("the port is not a number from 1 to 65535");
  int number = std::stoi(std::string(port));
  if (number > 65535) return fail("the port is not a number from 1 to 65535");
  a.host = std::string(host);
  a.port = number;
  *out = a;
  return true;
}

void PageServer::Impl::CloseListeners() {
  for (auto& acceptor : acceptors) {
    beast::error_code ignored;
    acceptor->close(ignored);
  }
}

bool PageServer::Bind(std::string* why) {
  std::error_code fs_ec;
  if (!std::filesystem::is_directory(options_.root, fs_ec)) {
    if (why) *why = "site folder not found: " + options_.root.string();
    return false;
  }
  std::vector<ListenAddress> addresses = options_.listen;
  if (addresses.empty()) {
    ListenAddress a;
    a.host = options_.host;
    a.port = options_.port;
    addresses.push_back(a);
  }
  Impl& impl = *impl_;
  std::string name;
  auto fail = [&](const std::string& what) {
    if (why) *why = "cannot listen on " + name + ": " + what;
    impl.CloseListeners();
    impl.acceptors.clear();
    for (const std::string& file : impl.socket_files) ::unlink(file.c_str());
    impl.socket_files.clear();
    listening_.clear();
    port_ = 0;
    return false;
  };
  for (const ListenAddress& a : addresses) {
    beast::error_code ec;
    auto acceptor = std::make_unique<Acceptor>(impl.ioc);
    if (!a.unix_path.empty()) {
      name = "unix:" + a.unix_path;
      // A socket file left by a server that is gone is taken over; one that
      // a server still answers on, or any other kind of file, is not.
      struct stat st {};
      if (::lstat(a.unix_path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) return fail("the path exists and is not a socket");
        asio::local::stream_protocol::socket probe(impl.ioc);
        probe.connect(asio::local::stream_protocol::endpoint(a.unix_path), ec);
        if (!ec) return fail("Address already in use (a server answers there)");
        ::unlink(a.unix_path.c_str());
        ec = {};
      }
      stream::endpoint endpoint{asio::local::stream_protocol::endpoint(a.unix_path)};
      acceptor->open(endpoint.protocol(), ec);
      if (!ec) acceptor->bind(endpoint, ec);
      if (ec) return fail(ec.message());
      impl.socket_files.push_back(a.unix_path);
      // Before listen: until then no client can connect, whatever the mode.
      if (::chmod(a.unix_path.c_str(), static_cast<mode_t>(a.unix_mode)) != 0)
        return fail(std::string("cannot set the socket's mode: ") + std::strerror(errno));
      acceptor->listen(asio::socket_base::max_listen_connections, ec);
      if (ec) return fail(ec.message());
      listening_.push_back(name);
    } else {
      const bool v6 = a.host.find(':') != std::string::npos;
      name = (v6 ? "[" + a.host + "]" : a.host) + ":" + std::to_string(a.port);
      tcp::resolver resolver(impl.ioc);
      auto found = resolver.resolve(a.host, std::to_string(a.port),
                                    tcp::resolver::passive | tcp::resolver::numeric_service, ec);
      if (ec || found.empty()) return fail(ec ? ec.message() : "no such address");
      stream::endpoint endpoint{found.begin()->endpoint()};
      acceptor->open(endpoint.protocol(), ec);
      if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
      if (!ec) acceptor->bind(endpoint, ec);
      if (ec == beast::errc::permission_denied && a.port > 0 && a.port < 1024)
        return fail(ec.message() + " (ports below 1024 need root or CAP_NET_BIND_SERVICE)");
      if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
      if (ec) return fail(ec.message());
      stream::endpoint bound = acceptor->local_endpoint(ec);
      if (ec) return fail(ec.message());
      tcp::endpoint ip;
      std::memcpy(ip.data(), bound.data(), std::min<std::size_t>(bound.size(), ip.capacity()));
      ip.resize(std::min<std::size_t>(bound.size(), ip.capacity()));
      if (port_ == 0) port_ = ip.port();
      listening_.push_back("http://" + (v6 ? "[" + a.host + "]" : a.host) + ":" +
                           std::to_string(ip.port()) + "/");
    }
    impl.acceptors.push_back(std::move(acceptor));
  }
  return true;
}

void PageServer::Start() {
  std::lock_guard lock(impl_->mutex);
  if (impl_->started || impl_->stopped) return;
  impl_->started = true;
  for (auto& acceptor : impl_->acceptors)
    asio::co_spawn(impl_->accept_strand, impl_->Accept(*acceptor), asio::detached);
  for (int i = 0; i < options_.limits.io_threads; ++i)
    impl_->io_threads.emplace_back([this] { impl_->ioc.run(); });
}

void PageServer::Run() {
  Start();
  std::unique_lock lock(impl_->mutex);
  impl_->changed.wait(lock, [this] { return impl_->stopped; });
}

void PageServer::Stop() {
  Impl& impl = *impl_;
  {
    std::lock_guard lock(impl.mutex);
    if (impl.stopped || impl.stopping.exchange(true)) return;
  }
  asio::post(impl.accept_strand, [&impl] { impl.CloseListeners(); });
  // Connections waiting for or sending a request end now; those with a page
  // in flight or an answer being written end when it is written.
  impl.ForEachConnection([](Connection& c) {
    if (c.phase == Connection::Phase::Waiting || c.phase == Connection::Phase::Body) {
      beast::error_code ignored;
      c.socket.cancel(ignored);
    }
  });
  auto all_closed = [&impl] { return impl.open == 0; };
  std::unique_lock lock(impl.mutex);
  if (!impl.changed.wait_for(lock, std::chrono::seconds(options_.limits.shutdown_seconds),
                             all_closed)) {
    lock.unlock();
    impl.running.StopAll();
    impl.ForEachConnection([](Connection& c) {
      if (c.phase != Connection::Phase::Page) {
        beast::error_code ignored;
        c.socket.close(ignored);
      }
    });
    lock.lock();
    // Stopped pages answer within moments; what is left is closed below.
    impl.changed.wait_for(lock, std::chrono::seconds(1), all_closed);
  }
  lock.unlock();
  impl.running.StopAll();
  impl.work.reset();
  impl.ioc.stop();
  for (std::thread& t : impl.io_threads) t.join();
  impl.io_threads.clear();
  impl.apartments->Shutdown();
  // The socket files go; one that cannot be removed (its folder no longer
  // writable after dropping root) is taken over by the next start.
  for (const std::string& file : impl.socket_files) ::unlink(file.c_str());
  impl.socket_files.clear();
  lock.lock();
  impl.stopped = true;
  lock.unlock();
  impl.changed.notify_all();
}

}  // namespace qz::host
