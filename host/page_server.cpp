#include "host/page_server.h"

#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <future>
#include <iterator>
#include <vector>

#include "host/object_factory.h"
#include "host/site_paths.h"

namespace qz::host {
namespace {

// A fixed set of threads running the jobs handed to them, each thread
// warmed once before its first job. The server keeps two: the apartments,
// which run whole pages (each page wholly on one thread, with that thread's
// host form and chart engine), and the connection threads, which read
// requests, serve static files and wait for a page's apartment. A kept-alive
// connection thus holds a connection thread between requests, never an
// apartment, so a few busy connections cannot starve the others.
class WorkerPool final : public httplib::TaskQueue {
 public:
  WorkerPool(int n, std::function<void()> warm) : warm_(std::move(warm)) {
    for (int i = 0; i < n; ++i) threads_.emplace_back([this] { Work(); });
  }
  ~WorkerPool() override { shutdown(); }

  // Runs fn on one of the pool's threads and waits for it; an exception fn
  // raises comes back to the caller.
  void Run(std::function<void()> fn) {
    std::packaged_task<void()> task(std::move(fn));
    std::future<void> done = task.get_future();
    enqueue([&task] { task(); });
    done.get();
  }

  void enqueue(std::function<void()> fn) override {
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(fn));
    }
    cond_.notify_one();
  }
  void shutdown() override {
    {
      std::lock_guard lock(mutex_);
      if (shutdown_) return;
      shutdown_ = true;
    }
    cond_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

 private:
  void Work() {
    if (warm_) warm_();
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        cond_.wait(lock, [this] { return shutdown_ || !jobs_.empty(); });
        if (jobs_.empty()) return;  // shut down and drained
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  std::function<void()> warm_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable cond_;
  std::deque<std::function<void()>> jobs_;
  bool shutdown_ = false;
};

thread_local std::chrono::steady_clock::time_point t_request_start;

std::string ReadWhole(const std::filesystem::path& file, bool* ok) {
  std::ifstream in(file, std::ios::binary);
  *ok = static_cast<bool>(in);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Pseudo-headers that the HTTP library adds to every request.
bool IsPseudoHeader(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
         name == "LOCAL_PORT";
}

void PlainAnswer(httplib::Response& res, int status, const char* text) {
  res.status = status;
  res.set_content(std::string(text) + "\n", "text/plain");
}

}  // namespace

void WarmChartWorker(const std::filesystem::path& root) {
  static constexpr std::string_view kWarmPage =
      "<% var c = Server.CreateObject('Quenza.QuenzaChart'); c.Height = 1; c.Width = 2;"
      " c.ChartTitle = 'Warm'; c.XTitle = 'X'; c.YTitle = 'Y'; c.Legends = 1;"
      " c.Rows(2); c.Columns(2); c.SetData(1); c.SendChart(); %>";
  PageOptions options;
  options.root = root;
  options.script_timeout_seconds = 30;
  options.create_object = CreateRegisteredObject;
  PageRequest request;
  request.path = "/quenza-warm-up.asp";
  (void)RunPageText(options, request, kWarmPage, root / "quenza-warm-up.asp");
}

struct PageServer::Impl {
  // Declared first, so it outlives the connection threads waiting on it.
  std::unique_ptr<WorkerPool> apartments;
  httplib::Server http;
  PageOptions page;
  RunningPages running;
};

PageServer::PageServer(ServerOptions options)
    : impl_(std::make_unique<Impl>()), options_(std::move(options)) {
  std::error_code ec;
  std::filesystem::path root = std::filesystem::canonical(options_.root, ec);
  if (!ec) options_.root = root;
  if (options_.threads <= 0) {
    options_.threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  }
  PageOptions& page_options = impl_->page;
  page_options.root = options_.root;
  page_options.script_timeout_seconds = options_.script_timeout_seconds;
  page_options.default_language = options_.default_language;
  page_options.create_object = options_.create_object;
  page_options.log = [this](const std::string& line) { Log(line); };
  page_options.running = &impl_->running;

  httplib::Server& http = impl_->http;
  impl_->apartments = std::make_unique<WorkerPool>(options_.threads, options_.warm_worker);
  // Enough connection threads for many kept-alive clients; each mostly
  // waits on its socket or on an apartment.
  const int connections = std::max(64, 8 * options_.threads);
  http.new_task_queue = [connections] { return new WorkerPool(connections, nullptr); };
  // Accepted sockets inherit TCP_NODELAY from the listening socket: without
  // it the head and body writes of a response meet the peer's delayed ACK.
  http.set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  });
  http.set_payload_max_length(options_.max_body_bytes);
  http.set_read_timeout(options_.read_timeout_seconds, 0);
  http.set_write_timeout(options_.write_timeout_seconds, 0);
  http.set_keep_alive_timeout(options_.keep_alive_seconds);
  http.set_keep_alive_max_count(static_cast<std::size_t>(options_.keep_alive_max_requests));
  http.set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
    t_request_start = std::chrono::steady_clock::now();
    return httplib::Server::HandlerResponse::Unhandled;
  });
  http.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
    auto now = std::chrono::steady_clock::now();
    double ms = t_request_start.time_since_epoch().count() == 0
                    ? 0.0
                    : std::chrono::duration<double, std::milli>(now - t_request_start).count();
    t_request_start = {};
    char tail[96];
    std::snprintf(tail, sizeof tail, "\" %d %zu %.1fms", res.status, res.body.size(), ms);
    Log(req.remote_addr + " \"" + req.method + " " + req.target + " " + req.version + tail);
  });

  auto handle = [this](const httplib::Request& req, httplib::Response& res) {
    SitePath site = ResolveSitePath(options_.root, req.path);
    if (site.verdict == PathVerdict::Forbidden) return PlainAnswer(res, 403, "Forbidden");
    if (site.verdict == PathVerdict::NotFound) return PlainAnswer(res, 404, "Not Found");
    if (!site.is_page) {
      if (req.method != "GET" && req.method != "HEAD")
        return PlainAnswer(res, 405, "Method Not Allowed");
      bool ok = false;
      std::string data = ReadWhole(site.file, &ok);
      if (!ok) return PlainAnswer(res, 404, "Not Found");
      res.set_content(std::move(data), std::string(MediaTypeFor(site.file)).c_str());
      return;
    }
    PageRequest page;
    page.method = req.method;
    page.path = req.path;
    if (std::size_t q = req.target.find('?'); q != std::string::npos)
      page.query = req.target.substr(q + 1);
    page.body = req.body;
    page.content_type = req.get_header_value("Content-Type");
    for (const auto& [name, value] : req.headers) {
      if (!IsPseudoHeader(name)) page.headers.emplace_back(name, value);
    }
    page.remote_addr = req.remote_addr;
    page.remote_port = req.remote_port;
    std::string host = req.get_header_value("Host");
    page.server_name = host.empty() ? options_.host : host.substr(0, host.rfind(':'));
    page.server_port = port_;
    page.protocol = req.version;
    PageResult result;
    impl_->apartments->Run([&] { result = RunPage(impl_->page, page, site.file); });
    res.status = result.status;
    for (const auto& [name, value] : result.headers) res.set_header(name.c_str(), value);
    res.set_content(std::move(result.body), result.content_type.c_str());
  };
  http.Get(".*", handle);
  http.Post(".*", handle);
}

PageServer::~PageServer() {
  Stop();
}

void PageServer::Log(const std::string& line) {
  if (options_.log == nullptr) return;
  std::lock_guard lock(log_mutex_);
  *options_.log << line << '\n';
  options_.log->flush();
}

bool PageServer::Bind(std::string* why) {
  std::error_code ec;
  if (!std::filesystem::is_directory(options_.root, ec)) {
    if (why) *why = "site folder not found: " + options_.root.string();
    return false;
  }
  if (options_.port == 0) {
    port_ = impl_->http.bind_to_any_port(options_.host);
  } else if (impl_->http.bind_to_port(options_.host, options_.port)) {
    port_ = options_.port;
  } else {
    port_ = -1;
  }
  if (port_ <= 0) {
    if (why) *why = "cannot listen on " + options_.host + ":" + std::to_string(options_.port);
    return false;
  }
  return true;
}

void PageServer::Run() {
  impl_->http.listen_after_bind();
}

void PageServer::Start() {
  thread_ = std::thread([this] { Run(); });
  // Stop only works on a listening server: wait until it listens.
  for (int i = 0; i < 5000 && !impl_->http.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void PageServer::Stop() {
  impl_->running.StopAll();
  impl_->http.stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace qz::host
