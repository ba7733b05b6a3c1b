// The HTTP/1.1 page host: serves the pages of a site folder and its static
// files. Connections are served by one or two I/O threads (Boost.Beast over
// Asio), so an idle or slow connection costs memory, never a thread; each
// page runs wholly on one worker thread of a fixed pool (its apartment).
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "host/chart_warmup.h"
#include "host/page_engine.h"

namespace qz::host {

// Every limit the server puts on clients, defaulted here and nowhere else.
// A client over one is answered 400, 408, 413, 414, 431 or 503 (and the
// connection closed), with a log line; everyone else keeps being served.
struct ServerLimits {
  // Whole-request deadlines, from the request's first byte (a connection's
  // first request: from its acceptance). A client that trickles bytes does
  // not extend them.
  int header_seconds = 10;  // request line and headers
  int body_seconds = 30;    // the whole body, in any transfer coding
  int write_seconds = 30;   // writing one whole answer to the client
  // How long a kept-alive connection may wait for its next request, and how
  // many requests it may make.
  int keep_alive_seconds = 5;
  int keep_alive_requests = 1000;
  // The request target (414 beyond), the number of header fields and the
  // bytes of request line and headers together (431 beyond).
  std::size_t target_bytes = std::size_t{8} << 10;
  std::size_t header_fields = 100;
  std::size_t header_bytes = std::size_t{16} << 10;
  // The request body, whatever its transfer coding (413 beyond).
  std::size_t body_bytes = std::size_t{1} << 20;
  // Open connections in all and from one client address (503 beyond).
  int connections = 1000;
  int connections_per_address = 128;
  // Byte ranges of a static file in one request: more, overlapping or out of
  // order ranges are answered whole, and so are several ranges whose parts
  // add up to more than multipart_bytes (they are answered from memory).
  int ranges = 4;
  std::size_t multipart_bytes = std::size_t{1} << 20;
  // One header field of a page's answer, name and value (and the content
  // type): a page whose answer has a longer one gets a 500 instead, as a
  // reverse proxy would refuse it.
  std::size_t answer_field_bytes = std::size_t{8} << 10;
  // On Stop: how long pages in flight may still finish before they are
  // stopped and their connections closed.
  int shutdown_seconds = 10;
  // Threads serving connections. One keeps up with any number of pages on a
  // small machine, where a second only adds thread switches (on two cores:
  // 8 instead of 5 switches a chart, 6% fewer charts a second); two from
  // four cores on.
  int io_threads = std::thread::hardware_concurrency() >= 4 ? 2 : 1;
  // An apartment whose page has run longer than the script timeout and this
  // margin is stuck: the page did not stop when its budget ran out, and the
  // health check says so.
  int stuck_margin_seconds = 10;
};

// One address to listen on: a TCP host and port, or a Unix socket's path.
struct ListenAddress {
  std::string host = "127.0.0.1";
  int port = 8080;            // 0: any free port
  std::string unix_path;      // set: a Unix socket here (host and port unused)
  unsigned unix_mode = 0660;  // the socket file's permissions
};

// Reads "HOST:PORT", "[IPV6]:PORT" or "unix:PATH". The port is a number from
// 1 to 65535, or 0 for any free port. False, with the reason in *why, for
// anything else.
bool ParseListenAddress(std::string_view text, ListenAddress* out, std::string* why);

struct ServerOptions {
  std::filesystem::path root;
  std::string host = "127.0.0.1";
  int port = 8080;  // 0: any free port
  // Where to listen; empty: host and port alone.
  std::vector<ListenAddress> listen;
  int threads = 0;  // 0: the number of cores
  std::int32_t script_timeout_seconds = PageLimits::kScriptTimeoutSeconds;
  PageLimits page_limits;
  // The language of pages without a Language directive.
  PageLanguage default_language = PageLanguage::JScript;
  ObjectCreator create_object;
  // Runs once on each worker thread before it serves (warms the per-thread
  // host form and fonts; see WarmChartWorker).
  std::function<void()> warm_worker;
  // The error log: failed pages, render failures and refused requests, one
  // time-stamped line each; null: none.
  std::ostream* log = nullptr;
  // Receives one access log line per answer (Combined Log Format and the
  // microseconds it took); unset: the lines go to log, untimed.
  std::function<void(std::string_view line)> access_log;
  ServerLimits limits;
  // The host's own paths, answered before the site is looked at: the health
  // check (always) and the metrics (only when metrics is set, and only to
  // local clients unless metrics_from_anywhere).
  std::string health_path = "/healthz";
  std::string metrics_path = "/metrics";
  bool metrics = false;
  bool metrics_from_anywhere = false;
};

// Whether a client at this address may read the metrics: a loopback address
// (127.0.0.0/8, ::1, or either mapped into IPv6), or anyone when
// from_anywhere. An address that does not parse is no loopback.
bool MetricsAllowed(std::string_view address, bool from_anywhere);

class PageServer {
 public:
  explicit PageServer(ServerOptions options);
  ~PageServer();
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  // Binds every listening socket; false (with a message naming the address
  // and the reason in *why) when one fails, and then none is kept.
  bool Bind(std::string* why);
  // The port of the first TCP listener (0: none).
  int port() const { return port_; }
  // What Bind bound, as "http://HOST:PORT/" or "unix:PATH", in order.
  const std::vector<std::string>& listening() const { return listening_; }
  // Serves until Stop; call after Bind.
  void Run();
  // Serves on threads of the server's own and returns at once; Stop ends
  // them.
  void Start();
  // Stops accepting and closes connections that wait for or send a request;
  // pages in flight may finish and answer for up to the shutdown bound, then
  // they are stopped and every connection is closed. Returns when the
  // server's threads have ended. Safe to call from any thread, more than
  // once.
  void Stop();
  // The health check answers 503 from now on, so that a balancer sends no
  // more requests; serving goes on until Stop. Safe from any thread.
  void Drain();
  // The metrics text as /metrics answers it.
  std::string MetricsText() const;

  // One error log line, prefixed with the time.
  void Log(const std::string& line);
  // One access log line, as it stands.
  void LogAccess(const std::string& line);

 private:
  struct Impl;
  ServerOptions options_;
  int port_ = 0;
  std::vector<std::string> listening_;
  std::mutex log_mutex_;
  // Last, so that it goes first: its threads and connections use the above.
  std::unique_ptr<Impl> impl_;
};

}  // namespace qz::host
