// The HTTP/1.1 page host: serves the pages of a site folder and its static
// files, one request wholly on one worker thread of a fixed pool.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "host/page_engine.h"

namespace qz::host {

struct ServerOptions {
  std::filesystem::path root;
  std::string host = "127.0.0.1";
  int port = 8080;  // 0: any free port
  int threads = 0;  // 0: the number of cores
  std::int32_t script_timeout_seconds = 90;
  // The language of pages without a Language directive.
  PageLanguage default_language = PageLanguage::JScript;
  ObjectCreator create_object;
  // Runs once on each worker thread before it serves (warms the per-thread
  // host form and fonts).
  std::function<void()> warm_worker;
  // Access log (one line per request) and page errors; null: none.
  std::ostream* log = nullptr;
  std::size_t max_body_bytes = 1 << 20;
  int read_timeout_seconds = 5;
  int write_timeout_seconds = 5;
  int keep_alive_seconds = 2;
  int keep_alive_max_requests = 100;
};

// A worker's warm-up for the chart component: runs a page that sends one
// small chart, so that the thread's host form, chart engine and fonts exist
// before the first request. The chart object is activated and deactivated
// like any page's, which leaves the thread's engine in its base state.
// Failures (no registered component) only cost the warm-up.
void WarmChartWorker(const std::filesystem::path& root);

class PageServer {
 public:
  explicit PageServer(ServerOptions options);
  ~PageServer();
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  // Binds the listening socket; false (with a message in *why) on failure.
  bool Bind(std::string* why);
  int port() const { return port_; }
  // Serves until Stop; call after Bind.
  void Run();
  // Runs the server on a thread of its own (for tests); Stop joins it.
  void Start();
  // Stops accepting, stops running pages, and waits for the workers.
  void Stop();

  void Log(const std::string& line);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  ServerOptions options_;
  int port_ = 0;
  std::thread thread_;
  std::mutex log_mutex_;
};

}  // namespace qz::host
