// Runs one page: parses it, runs its script on the calling thread with the
// page's Response, Request and Server, and answers what the page wrote.
//
// Objects made by Server.CreateObject live in the page's object context: an
// object that implements ObjectControl is activated at once, with the
// context current on the thread, and when the page ends, however it ends
// (normally, by Response.End, by a script error or by the script timeout),
// deactivated, asked CanBePooled and released (pooling is refused).
// Objects made by new ActiveXObject have no context and are never
// activated.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "host/duktape/qz_duktape.h"
#include "host/page_objects.h"
#include "host/page_parser.h"
#include "platform/com/dispatch.h"

namespace qz::host {

// Creates an object by ProgID; raises qz::Error when it cannot.
using ObjectCreator = std::function<ComPtr<IDispatch>(std::string_view prog_id)>;

// The pages running now, so that a shutdown can stop them.
class RunningPages {
 public:
  void Add(ScriptBudget* budget);
  void Remove(ScriptBudget* budget);
  // Stops every running page and every page that starts afterwards.
  void StopAll();

 private:
  std::mutex mutex_;
  std::set<ScriptBudget*> budgets_;
  bool stopping_ = false;
};

// What one page may spend besides its time and script heap. Every limit a
// page has is defaulted here. A page that spends one of these budgets ends at
// once with an error answer naming it, as on its script timeout.
struct PageLimits {
  static constexpr std::int32_t kScriptTimeoutSeconds = 90;
  static constexpr std::size_t kScriptMemoryBytes = std::size_t{256} << 20;

  // The response body the page may buffer (its writes and the charts sent).
  std::size_t response_bytes = std::size_t{64} << 20;
  // Objects the page may create (Server.CreateObject and new ActiveXObject).
  std::size_t objects = 10'000;
  // Steps of regular-expression matching, in all the page's expressions
  // (a second or two of matching).
  std::uint64_t regexp_steps = 100'000'000;
  // A page whose script heap or response grew past this gives the memory
  // back to the system when it ends.
  std::size_t trim_after_bytes = std::size_t{16} << 20;
};

struct PageOptions {
  std::filesystem::path root;  // the site folder (canonical)
  std::int32_t script_timeout_seconds = PageLimits::kScriptTimeoutSeconds;
  // The most memory one page's script heap may hold.
  std::size_t script_memory_limit = PageLimits::kScriptMemoryBytes;
  PageLimits limits;
  ObjectCreator create_object;
  // Receives one line per page error (without a newline).
  std::function<void(const std::string&)> log;
  RunningPages* running = nullptr;
  // The language of pages without a Language directive.
  PageLanguage default_language = PageLanguage::JScript;
  // The caller calls ReadyNextPage after every page: the collection that
  // frees a page's script objects waits for it, off the answer's path. The
  // page's objects are deactivated at its end either way; only their
  // memory is freed later, always before the thread's next page starts.
  bool collect_when_readied = false;
};

struct PageRequest {
  std::string method = "GET";
  std::string path;   // the page's URL path, "/charts/bar.asp"
  std::string query;  // raw, without '?'
  std::string body;
  std::string content_type;
  Headers headers;
  std::string remote_addr = "127.0.0.1";
  int remote_port = 0;
  std::string server_name = "localhost";
  int server_port = 0;
  std::string protocol = "HTTP/1.1";
  // When set, called once on the page's thread as soon as the page's
  // response ends (Response.End, Response.Redirect, a chart sent): its
  // answer is final then, and goes out while the script stops and the
  // page's objects are released. It gets the answer's fields and body
  // (moved out) and what the page counted so far (charts, failures); the
  // result RunPage returns then has `answered` set and no body. It must
  // not throw.
  std::function<void(struct PageResult&&)> answer_when_ended;
};

struct PageResult {
  int status = 200;
  std::string status_text = "OK";
  std::string content_type = "text/html";
  Headers headers;
  // The body is body, then tail (the chart's bytes as they were read back,
  // sent without a copy).
  std::string body;
  ByteArray tail;
  // The answer went to PageRequest::answer_when_ended; body and tail are
  // empty here.
  bool answered = false;
  // Set when the page failed (error answer sent); the log line's text.
  std::string error;
  // Renders that ended in the component's error answer (each logged).
  int chart_errors = 0;
  std::vector<std::int32_t> chart_error_numbers;  // their error numbers, in order
  // Charts the page's objects wrote to files, by image format ("png"): at
  // most kSavedFormats formats, the rest counted under "other".
  std::map<std::string, std::uint64_t> charts_saved;
  static constexpr std::size_t kSavedFormats = 8;

  std::size_t BodySize() const { return body.size() + tail.size(); }
  // body and tail in one string (a copy: for callers that need one).
  std::string WholeBody() const {
    return body + std::string(reinterpret_cast<const char*>(tail.data()), tail.size());
  }
};

// Runs the page file (already resolved inside the root).
PageResult RunPage(const PageOptions& options, const PageRequest& request,
                   const std::filesystem::path& file);
// Runs page text of the host's own as if it were the file's.
PageResult RunPageText(const PageOptions& options, const PageRequest& request,
                       std::string_view text, const std::filesystem::path& file);

// Readies the calling thread's script engine for its next page: collects
// what the last page left (see PageOptions::collect_when_readied) and makes
// the next page's fresh global environment. Pages work without it (a page
// makes its own), but a server calls it after a page's answer is on its
// way, to keep that work off the next request's path. Does nothing while a
// page of the thread runs.
void ReadyNextPage() noexcept;

// The body of the error answer: a short HTML page naming the error number,
// description, source, page and line (every text HTML-encoded). The texts go
// to a remote client: pass them through ClientText first.
std::string ErrorPage(std::string_view number, std::string_view description,
                      std::string_view source, std::string_view page, int line);

// The most of an error's description or source that a client is shown, and
// the most of one page error that the log keeps.
inline constexpr std::size_t kClientErrorTextBytes = 2048;
inline constexpr std::size_t kLogErrorBytes = 16384;

// Error text fit for a remote client: a path inside the site folder becomes
// its path from the site's root ("/charts/bar.asp"), any other absolute path
// "(server path)", control characters spaces, and the whole is cut to
// kClientErrorTextBytes (never inside a UTF-8 sequence), marked "...".
std::string ClientText(std::string_view text, const std::filesystem::path& root);

// Text fit for one log line: control characters and backslashes escaped
// (\n, \x1b, \\), cut to max_bytes of the escaped text, marked "...".
std::string LogText(std::string_view text, std::size_t max_bytes = kLogErrorBytes);

}  // namespace qz::host
