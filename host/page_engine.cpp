#include "host/page_engine.h"

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

#include "host/chart_warmup.h"
#include "host/page_cache.h"
#include "host/page_parser.h"
#include "host/script_binding.h"
#include "host/vbscript/vbs_page.h"
#include "platform/automation/convert.h"
#include "platform/automation/error.h"
#include "platform/eventlog/event_log.h"
#include "platform/kernel/kernel.h"

namespace qz::host {

void RunningPages::Add(ScriptBudget* budget) {
  std::lock_guard lock(mutex_);
  budgets_.insert(budget);
  if (stopping_) budget->stop = true;
}
void RunningPages::Remove(ScriptBudget* budget) {
  std::lock_guard lock(mutex_);
  budgets_.erase(budget);
}
void RunningPages::StopAll() {
  std::lock_guard lock(mutex_);
  stopping_ = true;
  for (ScriptBudget* b : budgets_) b->stop = true;
}

std::string ErrorPage(std::string_view number, std::string_view description,
                      std::string_view source, std::string_view page, int line) {
  std::string html = "<html><head><title>Page error</title></head><body>\n<h1>Page error</h1>\n";
  html += "<p>Error number: " + EscapeHtml(number) + "</p>\n";
  html += "<p>Description: " + EscapeHtml(description) + "</p>\n";
  if (!source.empty()) html += "<p>Source: " + EscapeHtml(source) + "</p>\n";
  html += "<p>Page: " + EscapeHtml(page);
  if (line > 0) html += ", line " + std::to_string(line);
  html += "</p>\n</body></html>\n";
  return html;
}

namespace {

// Cuts text to at most max bytes without splitting a UTF-8 sequence, marking
// the cut with "...".
void CutText(std::string& text, std::size_t max) {
  if (text.size() <= max) return;
  std::size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  text.resize(n);
  text += "...";
}

bool StartsPath(std::string_view text, std::size_t i) {
  if (text[i] != '/') return false;
  return i == 0 || std::string_view(" \t'\"(=:,;[<").find(text[i - 1]) != std::string_view::npos;
}

// True when path, read as a path from the site root ("/charts/inc.asp"),
// names a file of the site: such a text shows nothing of the server.
bool IsSitePath(std::string_view path, const std::filesystem::path& root) {
  if (root.empty() || path.find("/..") != std::string_view::npos) return false;
  std::error_code ec;
  return std::filesystem::exists(root / std::filesystem::path(path.substr(1)), ec);
}

}  // namespace

std::string ClientText(std::string_view text, const std::filesystem::path& root) {
  const std::string base = root.string();
  std::string out;
  // Enough input for the cut, with room for paths that shrink.
  const std::size_t stop = kClientErrorTextBytes + 1;
  std::size_t i = 0;
  while (i < text.size() && out.size() < stop) {
    std::string_view path;
    if (StartsPath(text, i)) {
      std::size_t end = text.find_first_of(" \t\r\n'\"),;]>", i);
      path = text.substr(i, end == std::string_view::npos ? end : end - i);
      while (path.size() > 1 && (path.back() == ':' || path.back() == '.')) path.remove_suffix(1);
    }
    if (path.size() > 1) {
      i += path.size();
      bool in_site = base.size() > 1 && path.starts_with(base) &&
                     (path.size() == base.size() || path[base.size()] == '/');
      if (in_site) {
        out += path.size() == base.size() ? std::string_view("/") : path.substr(base.size());
      } else if (IsSitePath(path, root)) {
        out += path;  // already a site path, as include errors name files
      } else {
        out += "(server path)";
      }
      continue;
    }
    auto c = static_cast<unsigned char>(text[i++]);
    out.push_back(c < 0x20 || c == 0x7f ? ' ' : static_cast<char>(c));
  }
  CutText(out, kClientErrorTextBytes);
  return out;
}

std::string LogText(std::string_view text, std::size_t max_bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < text.size() && out.size() <= max_bytes; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += "\\x";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 15]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  CutText(out, max_bytes);
  return out;
}

namespace {

constexpr std::string_view kSource = "Quenza page host";
constexpr const char* kRunKey = "qzPageRun";

// The script engine of a worker thread: one heap, kept from page to page,
// and the budget that the heap's allocations and checks report to.
//
// Each page runs in a thread of the heap with a global environment of its
// own (fresh built-ins: its global object, prototypes and Duktape object), so
// that nothing a page sets can be reached by a later page; when the page has
// ended its thread is dropped and the heap collected, which runs the
// finalizers that release the page's objects. Creating the heap and the
// strings of its built-ins is what is saved. A page that failed, spent a
// budget or ran into the heap's limit leaves the heap behind: the next page
// gets a new one, as does every kPagesPerHeap-th page.
//
// The next page's fresh thread is made by MakeNextThread, which the server
// calls once a page's answer is on its way, so that making it is not on a
// request's path; a page that finds none (no server, or a page run inside
// another) makes its own. A server's pages leave their collection to it as
// well; a page that finds a collection still due runs it first. Between
// pages the heap's stack holds nothing but that fresh thread, which no page
// has touched.
class WorkerEngine {
 public:
  static constexpr int kPagesPerHeap = 1000;

  WorkerEngine() = default;
  ~WorkerEngine() { Drop(); }
  WorkerEngine(const WorkerEngine&) = delete;
  WorkerEngine& operator=(const WorkerEngine&) = delete;

  // The calling thread's engine; null while a page of the thread uses it
  // (a page run from inside another page gets an engine of its own).
  static WorkerEngine* ForThisThread() {
    WorkerEngine& engine = Thread();
    return engine.in_use_ ? nullptr : &engine;
  }
  // The calling thread's engine, in use or not.
  static WorkerEngine& Thread() {
    thread_local WorkerEngine engine;
    return engine;
  }

  ScriptBudget& budget() { return budget_; }
  // Starts a page: what the last page left collected, the budget as new
  // (the heap's bytes stay counted).
  void Begin() {
    CollectDue();
    in_use_ = true;
    budget_.StartPage();
  }
  // The heap, created when there is none; null when it cannot be.
  duk_context* heap() {
    if (heap_ == nullptr) {
      heap_ = duk_create_heap(BudgetAlloc, BudgetRealloc, BudgetFree, &budget_, &Fatal);
      pages_ = 0;
      ready_ = false;
    }
    return heap_;
  }
  // Pushes the page's thread on the heap's stack top: the fresh one made by
  // MakeNextThread, or a new one. False when none can be made (the stack is then as
  // it was).
  bool PushPageThread() {
    duk_context* h = heap();
    if (h == nullptr) return false;
    if (ready_) {
      ready_ = false;  // the thread stays at the stack top, now the page's
      return true;
    }
    return duk_safe_call(h, PushFreshThread, nullptr, 0, 1) == DUK_EXEC_SUCCESS;
  }
  // Ends the page: its thread (on the heap's stack top) is dropped and the
  // heap collected, now or, when collect_later is true, by MakeNextThread or
  // the next page; or the whole heap destroyed when keep is false. Either
  // way the page's objects are released by their finalizers; a script
  // finalizer of the page's stops at once.
  void End(bool keep, bool collect_later) {
    budget_.stop = true;
    if (heap_ != nullptr) {
      if (!keep) {
        Drop();
      } else if (!ready_) {
        duk_set_top(heap_, 0);
        // Runs the finalizers of the page's objects; what they leave is
        // freed by the next page's collection.
        if (++pages_ >= kPagesPerHeap) {
          Drop();
        } else {
          collect_due_ = true;
          if (!collect_later) CollectDue();
        }
      }
      // else the page ran no script on the heap: its fresh thread stays.
    }
    in_use_ = false;
  }
  // Runs the collection the calling thread's last page left, unless a page
  // of the thread runs.
  static void CollectIdle() {
    WorkerEngine& engine = Thread();
    if (!engine.in_use_) engine.CollectDue();
  }
  // Runs the collection a page left for later, if any.
  void CollectDue() {
    if (!collect_due_ || heap_ == nullptr) return;
    collect_due_ = false;
    // No page's limits apply to its objects' finalizers, and a script
    // finalizer stops at once.
    budget_.stop = true;
    duk_gc(heap_, 0);
  }
  // Between pages: runs the collection that is due and makes the next
  // page's thread. Nothing to do while a page runs or without a heap.
  void MakeNextThread() {
    if (in_use_ || heap_ == nullptr) return;
    CollectDue();
    if (ready_) return;
    // No page's limits apply between pages.
    budget_.stop = true;
    budget_.heap_limit = SIZE_MAX;
    budget_.refusals = 0;
    duk_set_top(heap_, 0);
    ready_ = duk_safe_call(heap_, PushFreshThread, nullptr, 0, 1) == DUK_EXEC_SUCCESS;
    if (!ready_) duk_set_top(heap_, 0);
  }

 private:
  // Pushes a thread with a new global environment (safe call body).
  static duk_ret_t PushFreshThread(duk_context* ctx, void*) {
    duk_push_thread_new_globalenv(ctx);
    return 1;
  }
  void Drop() {
    ready_ = false;
    collect_due_ = false;
    if (heap_ != nullptr) duk_destroy_heap(std::exchange(heap_, nullptr));
  }
  [[noreturn]] static void Fatal(void*, const char* msg) {
    std::fprintf(stderr, "quenza: fatal script engine error: %s\n", msg ? msg : "");
    std::abort();
  }

  ScriptBudget budget_;
  duk_context* heap_ = nullptr;
  int pages_ = 0;
  bool in_use_ = false;
  bool collect_due_ = false;  // a page's thread was dropped, not yet collected
  bool ready_ = false;        // the stack top is a fresh thread for the next page
};

// An error as the page reports it.
struct PageError {
  std::string number;  // the number's text, "(none)" when the error has none
  std::string description;
  std::string source;
  int line = 0;
};

class PageRun final : public ServerHooks, private eventlog::EventSink {
 public:
  PageRun(const PageOptions& options, const PageRequest& request, const std::filesystem::path& file,
          const std::string_view* text)
      : options_(options),
        request_(request),
        file_(file),
        text_(text),
        engine_(EngineForPage()),
        budget_(engine_->budget()) {
    engine_->Begin();
  }
  ~PageRun() {
    Finish();
    EndEngine(false);
  }

  PageResult Run();

  ComPtr<IDispatch> CreateObject(std::string_view prog_id) override;
  std::string MapPath(std::string_view path) override;
  std::int32_t ScriptTimeout() override { return timeout_seconds_; }
  void SetScriptTimeout(std::int32_t seconds) override {
    timeout_seconds_ = seconds;
    budget_.deadline_ms = start_ms_ + std::int64_t{seconds} * 1000;
  }

  ComPtr<IDispatch> CreateWithoutContext(std::string_view prog_id);
  ResponseObject& response() { return *response_; }
  // Writes the page's literal text n (raises for any other n).
  void WriteLiteral(double n);
  // True when the page took enough memory (script heap, response, objects)
  // that its end should give memory back to the system.
  bool TookMuchMemory() const;
  // Whether the answer went out when the response ended; DescribeAnswer
  // then fills a result with what was sent (no body).
  bool Answered() const { return answered_; }
  void DescribeAnswer(PageResult& result) const;

 private:
  static duk_ret_t RunScript(duk_context* ctx, void* udata);
  WorkerEngine* EngineForPage() {
    if (WorkerEngine* engine = WorkerEngine::ForThisThread()) return engine;
    own_engine_ = std::make_unique<WorkerEngine>();
    return own_engine_.get();
  }
  RequestData MakeRequestData() const;
  void Finish();
  // Ends the page's use of its engine, keeping the heap for the next page
  // when keep is true.
  void EndEngine(bool keep);
  void CountObject();
  void Spend(ScriptBudget::Spent what);
  std::string WhyStopped() const;
  PageResult ErrorResult(const PageError& e);
  PageResult RunVbScript(const ParsedPage& parsed);
  // Adds what the page counted to its result, and for a page that did not
  // fail the answer it wrote (its body taken from the response).
  void CompleteResult(PageResult& result);
  // The response's answer fields and body, moved into result.
  void TakeAnswer(PageResult& result);
  // Hands the ended response's answer to request_.answer_when_ended, once.
  void AnswerNow() noexcept;
  PageError ErrorFromValue(duk_context* ctx, const ParsedPage& parsed);
  // The event log of the page's thread: a render that ended in its error
  // answer is logged with the page and the line of the script's call.
  void Report(const eventlog::Event& event) noexcept override;
  int CallerLine() const noexcept;

  const PageOptions& options_;
  const PageRequest& request_;
  std::filesystem::path file_;
  const std::string_view* text_;  // the page's text when not read from file_
  // The thread's engine, or one of the page's own (own_engine_).
  std::unique_ptr<WorkerEngine> own_engine_;
  WorkerEngine* engine_;
  ScriptBudget& budget_;
  bool engine_ended_ = false;
  std::int64_t start_ms_ = ScriptBudget::NowMs();
  std::int32_t timeout_seconds_ = 90;
  duk_context* ctx_ = nullptr;
  ComPtr<ResponseObject> response_;
  ComPtr<RequestObject> request_object_;
  ComPtr<ServerObject> server_;
  ComPtr<PageContext> context_;
  // Objects activated in the page's context, in order of creation.
  std::vector<ComPtr<ObjectControl>> activated_;
  std::size_t objects_created_ = 0;
  std::size_t body_bytes_ = 0;
  const ParsedPage* parsed_ = nullptr;  // while the script runs
  // The page's compiled form: found in the thread's cache (bytecode set), or
  // made for this run (the bytecode is dumped before the script runs).
  std::shared_ptr<const CompiledPage> compiled_;
  std::shared_ptr<CompiledPage> fresh_;
  bool finished_ = false;
  bool answered_ = false;  // the answer went to request_.answer_when_ended
  int chart_errors_ = 0;
  std::vector<std::int32_t> chart_error_numbers_;
  std::map<std::string, std::uint64_t> charts_saved_;
};

PageRun* RunOf(duk_context* ctx) {
  duk_push_global_stash(ctx);
  duk_get_prop_string(ctx, -1, kRunKey);
  auto* run = static_cast<PageRun*>(duk_get_pointer(ctx, -1));
  duk_pop_2(ctx);
  return run;
}

// __qzWrite(value): literal text and <%= %> output.
duk_ret_t PageWrite(duk_context* ctx) {
  Variant v = ToVariant(ctx, 0);
  HRESULT hr = RunOf(ctx)->response().Write(v);
  if (Failed(hr)) Raise(NumberFromHResult(hr), {}, kSource);
  return 0;
}

// __qzLiteral(n): the page's literal text n.
duk_ret_t PageLiteral(duk_context* ctx) {
  RunOf(ctx)->WriteLiteral(duk_get_number_default(ctx, 0, -1));
  return 0;
}

// new ActiveXObject(progId)
duk_ret_t NewActiveXObject(duk_context* ctx) {
  std::string prog_id = ToText(ToVariant(ctx, 0));
  ComPtr<IDispatch> object = RunOf(ctx)->CreateWithoutContext(prog_id);
  PushDispatch(ctx, object.get());
  return 1;
}

// The page file's text; *ok is false when it cannot be read (a folder
// included).
std::string ReadFile(const std::filesystem::path& file, bool* ok) {
  try {
    const ByteArray bytes = kernel::ReadWholeFile(file.string());
    *ok = true;
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  } catch (const Error&) {
    *ok = false;
    return {};
  }
}

// An error on a line from an included file names that file.
void NameIncludeFile(PageError& e, const ParsedPage& parsed, int script_line) {
  std::string file = parsed.PageFile(script_line);
  if (!file.empty() && !parsed.files.empty() && file != parsed.files.front())
    e.description += " (in " + file + ")";
}

// One property of a thrown value, or the value's own text. The thrown value
// is the page's: reading it may run its getters, Proxy traps and toString,
// and those may throw, loop until the deadline or find the deadline passed.
// So every read runs in a protected call of its own, and a read that fails
// leaves its field unknown.
struct ValueRead {
  const char* name = nullptr;  // null: the value's text (ToString)
  bool is_number = false;
  double number = 0;
  bool is_text = false;
  std::string text;
};

duk_ret_t ReadValue(duk_context* ctx, void* udata) {
  auto* read = static_cast<ValueRead*>(udata);
  if (read->name == nullptr) {
    duk_to_string(ctx, -1);
  } else {
    duk_get_prop_string(ctx, -1, read->name);
  }
  if (duk_is_number(ctx, -1)) {
    read->is_number = true;
    read->number = duk_get_number(ctx, -1);
  } else if (duk_is_string(ctx, -1)) {
    duk_size_t n = 0;
    const char* p = duk_get_lstring(ctx, -1, &n);
    read->is_text = true;
    read->text = Utf8FromEngineText(std::string_view(p, std::min<std::size_t>(n, kLogErrorBytes)));
  }
  return 0;
}

// Reads from the value on the stack top, leaving the stack as it was.
ValueRead Read(duk_context* ctx, const char* name) {
  ValueRead read;
  read.name = name;
  duk_dup(ctx, -1);
  if (duk_safe_call(ctx, ReadValue, &read, 1, 1) != DUK_EXEC_SUCCESS) read = ValueRead{};
  duk_pop(ctx);
  return read;
}

std::string NumberText(double n) {
  std::ostringstream s;
  if (std::isfinite(n) && n == std::trunc(n) && std::fabs(n) < 1e18) {
    s << static_cast<long long>(n);
  } else {
    s << n;
  }
  return s.str();
}

std::string SizeText(std::size_t bytes) {
  if (bytes % (std::size_t{1} << 20) == 0) return std::to_string(bytes >> 20) + " MB";
  return std::to_string(bytes) + " bytes";
}

}  // namespace

void PageRun::WriteLiteral(double n) {
  const std::vector<std::string>& literals = parsed_->literals;
  if (!(n >= 0 && n < static_cast<double>(literals.size())) || n != std::trunc(n))
    Raise(err::kInvalidProcedureCall, {}, kSource);
  HRESULT hr = response_->Write(Variant(literals[static_cast<std::size_t>(n)]));
  if (Failed(hr)) Raise(NumberFromHResult(hr), {}, kSource);
}

void PageRun::Spend(ScriptBudget::Spent what) {
  budget_.Spend(what);
  if (ctx_) qz_duk_check_budget_soon(ctx_);
}

void PageRun::CountObject() {
  if (objects_created_ >= options_.limits.objects) {
    Spend(ScriptBudget::Spent::Objects);
    Raise(err::kOutOfMemory, "The page created more objects than its limit", kSource);
  }
  ++objects_created_;
}

bool PageRun::TookMuchMemory() const {
  const std::size_t much = options_.limits.trim_after_bytes;
  // A created object costs memory outside the script heap as well.
  constexpr std::size_t kObjectCost = 16 << 10;
  return budget_.heap_peak >= much || body_bytes_ >= much ||
         objects_created_ >= much / kObjectCost ||
         budget_.spent.load() != ScriptBudget::Spent::None || budget_.out_of_memory.load();
}

std::string PageRun::WhyStopped() const {
  const PageLimits& limits = options_.limits;
  switch (budget_.spent.load()) {
    case ScriptBudget::Spent::Response:
      return "The page's response grew beyond its limit of " + SizeText(limits.response_bytes);
    case ScriptBudget::Spent::Objects:
      return "The page created more than its limit of " + std::to_string(limits.objects) +
             " objects";
    case ScriptBudget::Spent::RegexpSteps:
      return "The page's regular expressions ran beyond their limit of " +
             std::to_string(limits.regexp_steps) + " steps";
    case ScriptBudget::Spent::None:
      break;
  }
  if (budget_.out_of_memory) {
    return "The page's script needed more than its memory limit of " +
           SizeText(options_.script_memory_limit);
  }
  if (budget_.stop) return "The page was stopped because the server is shutting down";
  return "The page ran longer than its script timeout of " + std::to_string(timeout_seconds_) +
         " seconds";
}

ComPtr<IDispatch> PageRun::CreateObject(std::string_view prog_id) {
  CountObject();
  if (!options_.create_object) Raise(err::kCantCreateObject, {}, kSource);
  ComPtr<IDispatch> object = options_.create_object(prog_id);
  if (!object) Raise(err::kCantCreateObject, {}, kSource);
  if (ComPtr<ObjectControl> control = object.As<ObjectControl>(IID_ObjectControl)) {
    // The page's context is current on this thread for the whole page.
    HRESULT hr = control->Activate();
    if (Failed(hr)) Raise(NumberFromHResult(hr), "Activate failed", std::string(prog_id));
    activated_.push_back(std::move(control));
  }
  return object;
}

ComPtr<IDispatch> PageRun::CreateWithoutContext(std::string_view prog_id) {
  CountObject();
  if (!options_.create_object) Raise(err::kCantCreateObject, {}, kSource);
  ObjectContextScope none(nullptr);
  ComPtr<IDispatch> object = options_.create_object(prog_id);
  if (!object) Raise(err::kCantCreateObject, {}, kSource);
  return object;
}

std::string PageRun::MapPath(std::string_view path) {
  std::string p(path);
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  // Relative paths start from the page's folder; ".." may not climb above
  // the site's root.
  std::string virt = !p.empty() && p.front() == '/'
                         ? p
                         : request_.path.substr(0, request_.path.rfind('/') + 1) + p;
  std::vector<std::string> segments;
  std::size_t pos = 0;
  while (pos <= virt.size()) {
    std::size_t slash = virt.find('/', pos);
    if (slash == std::string::npos) slash = virt.size();
    std::string segment = virt.substr(pos, slash - pos);
    pos = slash + 1;
    if (segment.empty() || segment == ".") continue;
    if (segment == "..") {
      if (segments.empty())
        Raise(err::kInvalidProcedureCall, "The path must stay inside the site", kSource);
      segments.pop_back();
      continue;
    }
    segments.push_back(std::move(segment));
  }
  std::string out = options_.root.string();
  for (const std::string& s : segments) out += "/" + s;
  return out;
}

RequestData PageRun::MakeRequestData() const {
  RequestData d;
  d.query = request_.query;
  d.query_items = ParseUrlEncoded(request_.query);
  std::string type = request_.content_type.substr(0, request_.content_type.find(';'));
  if (EqualsNoCase(type, "application/x-www-form-urlencoded")) {
    d.form = request_.body;
    d.form_items = ParseUrlEncoded(request_.body);
  }
  auto& sv = d.server_variables;
  sv["REQUEST_METHOD"] = request_.method;
  sv["QUERY_STRING"] = request_.query;
  sv["SCRIPT_NAME"] = request_.path;
  sv["PATH_INFO"] = request_.path;
  sv["URL"] = request_.path;
  sv["PATH_TRANSLATED"] = file_.string();
  sv["APPL_PHYSICAL_PATH"] = options_.root.string() + "/";
  sv["SERVER_NAME"] = request_.server_name;
  sv["SERVER_PORT"] = std::to_string(request_.server_port);
  sv["SERVER_PROTOCOL"] = request_.protocol;
  sv["SERVER_SOFTWARE"] = "Quenza";
  sv["GATEWAY_INTERFACE"] = "CGI/1.1";
  sv["HTTPS"] = "off";
  sv["REMOTE_ADDR"] = request_.remote_addr;
  sv["REMOTE_HOST"] = request_.remote_addr;
  sv["REMOTE_PORT"] = std::to_string(request_.remote_port);
  sv["CONTENT_TYPE"] = request_.content_type;
  sv["CONTENT_LENGTH"] = std::to_string(request_.body.size());
  std::string all;
  for (const auto& [name, value] : request_.headers) {
    std::string key = "HTTP_";
    for (char c : name)
      key.push_back(c == '-' ? '_'
                             : static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    auto [it, inserted] = sv.emplace(key, value);
    if (!inserted) it->second += ", " + value;
    all += key + ":" + value + "\n";
  }
  sv["ALL_HTTP"] = all;
  return d;
}

PageError PageRun::ErrorFromValue(duk_context* ctx, const ParsedPage& parsed) {
  PageError e;
  e.number = "(none)";
  bool stopped = budget_.Expired();
  int script_line = 0;
  if (duk_is_object(ctx, -1)) {
    if (!stopped) {
      if (ValueRead n = Read(ctx, "number"); n.is_number) e.number = NumberText(n.number);
      if (ValueRead d = Read(ctx, "description"); d.is_text) e.description = std::move(d.text);
      if (ValueRead src = Read(ctx, "source"); src.is_text) e.source = std::move(src.text);
    }
    if (ValueRead line = Read(ctx, "lineNumber");
        line.is_number && line.number >= 1 && line.number <= INT32_MAX) {
      script_line = static_cast<int>(line.number);
      e.line = parsed.PageLine(script_line);
    }
  }
  if (e.description.empty() && !budget_.Expired()) {
    ValueRead text = Read(ctx, nullptr);
    e.description = text.is_text ? std::move(text.text) : "An error that has no text";
  }
  // Whatever was thrown, a page stopped by a budget (also while its thrown
  // value's getters ran) reports which.
  if (budget_.Expired()) {
    e.number = "(none)";
    e.description = WhyStopped();
    e.source.clear();
  }
  if (script_line > 0) NameIncludeFile(e, parsed, script_line);
  return e;
}

PageResult PageRun::ErrorResult(const PageError& e) {
  PageResult r;
  r.status = 500;
  r.status_text = "Internal Server Error";
  r.content_type = "text/html";
  r.body = ErrorPage(e.number, ClientText(e.description, options_.root),
                     ClientText(e.source, options_.root), request_.path, e.line);
  r.error = LogText("page error " + request_.path +
                    (e.line > 0 ? " line " + std::to_string(e.line) : "") + ": " + e.number + " " +
                    e.description + (e.source.empty() ? "" : " (" + e.source + ")"));
  return r;
}

int PageRun::CallerLine() const noexcept {
  if (ctx_ == nullptr || parsed_ == nullptr || !duk_check_stack(ctx_, 2)) return 0;
  // Entry -1 is the native function the script called; -2 its caller.
  duk_inspect_callstack_entry(ctx_, -2);
  int line = 0;
  if (duk_is_object(ctx_, -1)) {
    duk_get_prop_string(ctx_, -1, "lineNumber");
    if (duk_is_number(ctx_, -1)) line = parsed_->PageLine(duk_get_int(ctx_, -1));
    duk_pop(ctx_);
  }
  duk_pop(ctx_);
  return line;
}

void PageRun::Report(const eventlog::Event& event) noexcept {
  if (event.type == eventlog::EventType::kInformation && !event.format.empty()) {
    try {
      std::string format(event.format);
      if (!charts_saved_.contains(format) && charts_saved_.size() >= PageResult::kSavedFormats - 1)
        format = "other";
      ++charts_saved_[format];
    } catch (...) {
      // Not counted; the page goes on.
    }
    return;
  }
  if (event.type != eventlog::EventType::kError) return;
  ++chart_errors_;
  try {
    chart_error_numbers_.push_back(event.number);
  } catch (...) {
  }
  if (!options_.log) return;
  try {
    const int line = CallerLine();
    std::string text = "chart error " + request_.path;
    if (line > 0) text += " line " + std::to_string(line);
    text += ": " + std::to_string(event.number) + " " + std::string(event.description);
    if (!event.source.empty()) text += " (" + std::string(event.source) + ")";
    if (!event.operation.empty()) text += " in " + std::string(event.operation);
    if (!request_.query.empty()) text += " query " + request_.query;
    options_.log(text);
  } catch (...) {
    // A log line that cannot be formed is lost; the page goes on.
  }
}

// Sets up the page's globals, compiles its script and runs it: all in one
// protected call, so that no error (a refused allocation included) escapes
// to the engine's fatal handler.
duk_ret_t PageRun::RunScript(duk_context* ctx, void* udata) {
  auto* run = static_cast<PageRun*>(udata);
  InitDispatchBinding(ctx);
  duk_push_global_stash(ctx);
  duk_push_pointer(ctx, run);
  duk_put_prop_string(ctx, -2, kRunKey);
  duk_pop(ctx);
  duk_push_global_object(ctx);
  PushDispatch(ctx, run->response_.get());
  duk_put_prop_string(ctx, -2, "Response");
  PushDispatch(ctx, run->request_object_.get());
  duk_put_prop_string(ctx, -2, "Request");
  PushDispatch(ctx, run->server_.get());
  duk_put_prop_string(ctx, -2, "Server");
  duk_push_c_function(ctx, Protected<NewActiveXObject>, 1);
  duk_put_prop_string(ctx, -2, "ActiveXObject");
  duk_push_c_function(ctx, Protected<PageWrite>, 1);
  duk_put_prop_string(ctx, -2, std::string(kPageWriteFunction).c_str());
  duk_push_c_function(ctx, Protected<PageLiteral>, 1);
  duk_put_prop_string(ctx, -2, std::string(kPageLiteralFunction).c_str());
  duk_pop(ctx);

  if (run->compiled_ && !run->compiled_->bytecode.empty()) {
    // The engine copies what it loads; the cache entry outlives the call.
    const std::string& code = run->compiled_->bytecode;
    duk_push_external_buffer(ctx);
    duk_config_buffer(ctx, -1, const_cast<char*>(code.data()), code.size());
    duk_load_function(ctx);
  } else {
    const std::string& path = run->request_.path;
    const std::string& script = run->parsed_->script;
    duk_push_lstring(ctx, path.data(), path.size());
    duk_compile_lstring_filename(ctx, 0, script.data(), script.size());
    if (run->fresh_) {
      duk_dup(ctx, -1);
      duk_dump_function(ctx);
      duk_size_t n = 0;
      const auto* code = static_cast<const char*>(duk_get_buffer(ctx, -1, &n));
      run->fresh_->bytecode.assign(code, n);
      duk_pop(ctx);
    }
  }
  duk_call(ctx, 0);
  return 1;
}

PageResult PageRun::Run() {
  timeout_seconds_ = options_.script_timeout_seconds;
  SetScriptTimeout(timeout_seconds_);
  budget_.heap_limit = options_.script_memory_limit;
  budget_.regexp_step_limit = options_.limits.regexp_steps;
  if (options_.running) options_.running->Add(&budget_);

  bool ok = true;
  std::string text = text_ ? std::string(*text_) : ReadFile(file_, &ok);
  // A page that never reaches its script leaves the worker's heap (and the
  // next page's thread made on it) as it found them.
  if (!ok) {
    EndEngine(true);
    return ErrorResult({"(none)", "The page cannot be read", "", 0});
  }
  // Only a page read from its file is kept: its path and the language it
  // was read in name it.
  PageCache* cache = text_ ? nullptr : &PageCache::ForThisThread();
  const std::string key =
      file_.string() +
      (options_.default_language == PageLanguage::VBScript ? "|VBScript" : "|JScript");
  if (cache) compiled_ = cache->Find(key, text);
  if (!compiled_) {
    fresh_ = std::make_shared<CompiledPage>();
    IncludeSource includes{options_.root, file_};
    fresh_->parsed = ParsePage(text, options_.default_language, &includes);
    if (!fresh_->parsed.error.empty()) {
      EndEngine(true);
      return ErrorResult({"(none)", fresh_->parsed.error, "", 0});
    }
    fresh_->text = std::move(text);
    compiled_ = fresh_;
    // A page with includes depends on other files as well, and a VBScript
    // page has no bytecode to keep: both are read afresh every time.
    if (!cache || compiled_->parsed.files.size() > 1 ||
        compiled_->parsed.language == PageLanguage::VBScript) {
      fresh_.reset();
    }
  }
  const ParsedPage& parsed = compiled_->parsed;

  response_ = ResponseObject::Create([this] {
    // Response.End: the script stops when control returns to it.
    budget_.stop = true;
    if (ctx_) qz_duk_check_budget_soon(ctx_);
    AnswerNow();
  });
  response_->LimitBody(options_.limits.response_bytes,
                       [this] { Spend(ScriptBudget::Spent::Response); });
  request_object_ = RequestObject::Create(MakeRequestData());
  server_ = ServerObject::Create(this);
  context_ = PageContext::Create(ComPtr<IDispatch>(response_.get()),
                                 ComPtr<IDispatch>(request_object_.get()),
                                 ComPtr<IDispatch>(server_.get()));
  ObjectContextScope scope(context_.get());
  eventlog::EventSinkScope events(this);
  if (parsed.language == PageLanguage::VBScript) return RunVbScript(parsed);

  PageResult result;
  {
    if (!engine_->PushPageThread()) {
      EndEngine(false);
      Raise(err::kOutOfMemory, {}, kSource);
    }
    duk_context* ctx = duk_get_context(engine_->heap(), -1);
    ctx_ = ctx;
    parsed_ = &parsed;
    bool failed = duk_safe_call(ctx, RunScript, this, 0, 1) != DUK_EXEC_SUCCESS;
    parsed_ = nullptr;
    // A page that compiled is kept, however its run ended.
    if (fresh_ && !fresh_->bytecode.empty()) cache->Put(key, std::move(fresh_));
    // A page that ended itself (Response.End) answers what it wrote, unless
    // it spent a budget on the way (a component may write past the response
    // limit and then end the response).
    bool spent = budget_.spent.load() != ScriptBudget::Spent::None;
    if (spent || (failed && !response_->state().ended)) {
      result = ErrorResult(ErrorFromValue(ctx, parsed));
    }
    duk_pop(ctx);
    // Deactivate while the script's references still exist, then let the
    // page's thread go, which releases them.
    Finish();
    ctx_ = nullptr;
    // Response.End stops the script as a failure does: a page that ended
    // itself keeps the heap too.
    EndEngine((!failed || response_->state().ended) && !spent && budget_.refusals == 0 &&
              !budget_.out_of_memory);
  }
  CompleteResult(result);
  return result;
}

void PageRun::AnswerNow() noexcept {
  if (answered_ || !request_.answer_when_ended) return;
  PageResult answer;
  try {
    // What the page counted is final too: its script stops here.
    answer.chart_errors = chart_errors_;
    answer.chart_error_numbers = chart_error_numbers_;
    answer.charts_saved = charts_saved_;
    // The copies come before the body moves: out of memory, nothing is
    // lost, and the answer goes out when the page has ended.
    TakeAnswer(answer);
  } catch (...) {
    return;
  }
  answered_ = true;
  request_.answer_when_ended(std::move(answer));
}

void PageRun::DescribeAnswer(PageResult& result) const {
  const ResponseState& s = response_->state();
  result.status = s.status;
  result.status_text = s.status_text;
  result.content_type = s.content_type;
  result.headers = s.headers;
  // Sent already when the answer went out at the response's end: an error
  // found since can only be logged.
  result.body.clear();
  result.tail = {};
  result.answered = answered_;
}

void PageRun::TakeAnswer(PageResult& result) {
  body_bytes_ = response_->state().BodySize();
  DescribeAnswer(result);
  result.body = response_->TakeBody();
  result.tail = response_->TakeTail();
}

void PageRun::CompleteResult(PageResult& result) {
  result.chart_errors = chart_errors_;
  result.chart_error_numbers = std::move(chart_error_numbers_);
  result.charts_saved = std::move(charts_saved_);
  if (answered_) {
    DescribeAnswer(result);
  } else if (result.error.empty()) {
    TakeAnswer(result);
  } else {
    body_bytes_ = response_->state().BodySize();
  }
}

PageResult PageRun::RunVbScript(const ParsedPage& parsed) {
  RequestData data = MakeRequestData();
  VbsPageHost host;
  host.response = response_.get();
  host.request = request_object_.get();
  host.server = server_.get();
  host.request_data = &data;
  host.budget = &budget_;
  host.memory_limit = options_.script_memory_limit;
  host.literals = &parsed.literals;
  host.write = [this](const Variant& v) {
    HRESULT hr = response_->Write(v);
    if (Failed(hr)) Raise(NumberFromHResult(hr), {}, kSource);
  };
  host.create_without_context = [this](std::string_view id) { return CreateWithoutContext(id); };
  VbsPageOutcome outcome = RunVbsPage(host, parsed.script);
  Finish();
  // As for JavaScript: a page that ended itself answers what it wrote,
  // unless it spent a budget on the way.
  const bool spent = budget_.spent.load() != ScriptBudget::Spent::None;
  PageResult result;
  if (spent || ((outcome.failed || outcome.stopped) && !response_->state().ended)) {
    PageError e;
    e.line = parsed.PageLine(outcome.line);
    if (outcome.stopped || spent) {
      e.number = "(none)";
      e.description = WhyStopped();
    } else {
      e.number = outcome.number;
      e.description = outcome.description;
      e.source = outcome.source;
      if (outcome.column > 0) {
        e.description +=
            " (column " + std::to_string(parsed.PageColumn(outcome.line, outcome.column)) + ")";
      }
      NameIncludeFile(e, parsed, outcome.line);
    }
    result = ErrorResult(e);
  }
  CompleteResult(result);
  // The worker's script heap served no script of this page: it stays. (Its
  // end marks the budget stopped, so it comes after the stop's reason.)
  EndEngine(true);
  return result;
}

void PageRun::EndEngine(bool keep) {
  if (engine_ended_) return;
  engine_ended_ = true;
  engine_->End(keep, options_.collect_when_readied);
}

void PageRun::Finish() {
  if (finished_) return;
  finished_ = true;
  if (options_.running) options_.running->Remove(&budget_);
  // Latest first, so that an object made from another goes before it.
  for (auto it = activated_.rbegin(); it != activated_.rend(); ++it) {
    ComPtr<ObjectControl>& control = *it;
    HRESULT hr = control->Deactivate();
    if (Failed(hr) && options_.log) {
      options_.log("page " + request_.path + ": Deactivate failed with " + std::to_string(hr));
    }
    // Pooling is refused whatever the object answers: it is released.
    (void)control->CanBePooled();
    control.reset();
  }
  activated_.clear();
  if (server_) server_->Detach();
}

namespace {

PageResult RunPageRun(const PageOptions& options, const PageRequest& request,
                      const std::filesystem::path& file, const std::string_view* text) {
  // Before the page's own clock starts.
  RetryChartWarmUp();
  PageResult result;
  bool trim = false;
  {
    PageRun run(options, request, file, text);
    try {
      result = run.Run();
    } catch (const Error& e) {
      result = PageResult();
      if (run.Answered()) {
        run.DescribeAnswer(result);
      } else {
        result.status = 500;
        result.status_text = "Internal Server Error";
        result.content_type = "text/html";
        result.body =
            ErrorPage(std::to_string(e.hresult()), ClientText(e.description(), options.root),
                      ClientText(e.source(), options.root), request.path, 0);
      }
      result.error = LogText("page error " + request.path + ": " + e.what());
    }
    trim = run.TookMuchMemory();
  }
  // The page and its heap are gone: a big page gives its memory back now,
  // instead of leaving the process at its high-water mark.
  if (trim) {
    WorkerEngine::CollectIdle();
    ::malloc_trim(0);
  }
  if (!result.error.empty() && options.log) options.log(result.error);
  return result;
}

}  // namespace

PageResult RunPage(const PageOptions& options, const PageRequest& request,
                   const std::filesystem::path& file) {
  return RunPageRun(options, request, file, nullptr);
}

PageResult RunPageText(const PageOptions& options, const PageRequest& request,
                       std::string_view text, const std::filesystem::path& file) {
  return RunPageRun(options, request, file, &text);
}

void ReadyNextPage() noexcept {
  WorkerEngine::Thread().MakeNextThread();
}

}  // namespace qz::host
