#include "host/page_engine.h"

#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "host/page_parser.h"
#include "host/script_binding.h"
#include "host/vbscript/vbs_page.h"
#include "platform/automation/convert.h"
#include "platform/automation/error.h"

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
  html += "<p>Error number: " + HtmlEncode(number) + "</p>\n";
  html += "<p>Description: " + HtmlEncode(description) + "</p>\n";
  if (!source.empty()) html += "<p>Source: " + HtmlEncode(source) + "</p>\n";
  html += "<p>Page: " + HtmlEncode(page);
  if (line > 0) html += ", line " + std::to_string(line);
  html += "</p>\n</body></html>\n";
  return html;
}

namespace {

constexpr std::string_view kSource = "Quenza page host";
constexpr const char* kRunKey = "qzPageRun";

// Owns a Duktape heap.
class DukHeap {
 public:
  explicit DukHeap(ScriptBudget* budget)
      : ctx_(duk_create_heap(BudgetAlloc, BudgetRealloc, BudgetFree, budget, &Fatal)) {}
  ~DukHeap() {
    if (ctx_) duk_destroy_heap(ctx_);
  }
  DukHeap(const DukHeap&) = delete;
  DukHeap& operator=(const DukHeap&) = delete;
  duk_context* get() const { return ctx_; }
  // Destroys the heap now (running the finalizers that release objects).
  void reset() {
    if (ctx_) duk_destroy_heap(std::exchange(ctx_, nullptr));
  }

 private:
  [[noreturn]] static void Fatal(void*, const char* msg) {
    std::fprintf(stderr, "quenza: fatal script engine error: %s\n", msg ? msg : "");
    std::abort();
  }
  duk_context* ctx_;
};

// An error as the page reports it.
struct PageError {
  std::string number;  // the number's text, "(none)" when the error has none
  std::string description;
  std::string source;
  int line = 0;
};

class PageRun final : public ServerHooks {
 public:
  PageRun(const PageOptions& options, const PageRequest& request, const std::filesystem::path& file,
          const std::string_view* text)
      : options_(options), request_(request), file_(file), text_(text) {}
  ~PageRun() { Finish(); }

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

 private:
  RequestData MakeRequestData() const;
  void Finish();
  PageResult ErrorResult(const PageError& e);
  PageResult RunVbScript(const ParsedPage& parsed);
  PageError ErrorFromValue(duk_context* ctx, const ParsedPage& parsed);

  const PageOptions& options_;
  const PageRequest& request_;
  std::filesystem::path file_;
  const std::string_view* text_;  // the page's text when not read from file_
  ScriptBudget budget_;
  std::int64_t start_ms_ = ScriptBudget::NowMs();
  std::int32_t timeout_seconds_ = 90;
  duk_context* ctx_ = nullptr;
  ComPtr<ResponseObject> response_;
  ComPtr<RequestObject> request_object_;
  ComPtr<ServerObject> server_;
  ComPtr<PageContext> context_;
  // Objects activated in the page's context, in order of creation.
  std::vector<ComPtr<ObjectControl>> activated_;
  bool finished_ = false;
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

// new ActiveXObject(progId)
duk_ret_t NewActiveXObject(duk_context* ctx) {
  std::string prog_id = ToText(ToVariant(ctx, 0));
  ComPtr<IDispatch> object = RunOf(ctx)->CreateWithoutContext(prog_id);
  PushDispatch(ctx, object.get());
  return 1;
}

std::string ReadFile(const std::filesystem::path& file, bool* ok) {
  std::ifstream in(file, std::ios::binary);
  *ok = static_cast<bool>(in);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An error on a line from an included file names that file.
void NameIncludeFile(PageError& e, const ParsedPage& parsed, int script_line) {
  std::string file = parsed.PageFile(script_line);
  if (!file.empty() && !parsed.files.empty() && file != parsed.files.front())
    e.description += " (in " + file + ")";
}

std::string PropString(duk_context* ctx, duk_idx_t obj, const char* name) {
  std::string out;
  duk_get_prop_string(ctx, obj, name);
  if (duk_is_string(ctx, -1)) out = duk_get_string(ctx, -1);
  duk_pop(ctx);
  return out;
}

}  // namespace

ComPtr<IDispatch> PageRun::CreateObject(std::string_view prog_id) {
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
  if (!duk_is_object(ctx, -1)) {
    e.description = duk_safe_to_string(ctx, -1);
    return e;
  }
  duk_get_prop_string(ctx, -1, "number");
  if (duk_is_number(ctx, -1)) {
    double n = duk_get_number(ctx, -1);
    std::ostringstream s;
    if (std::isfinite(n) && n == std::trunc(n)) {
      s << static_cast<long long>(n);
    } else {
      s << n;
    }
    e.number = s.str();
  }
  duk_pop(ctx);
  e.description = PropString(ctx, -1, "description");
  if (e.description.empty()) {
    duk_dup(ctx, -1);
    e.description = duk_safe_to_string(ctx, -1);
    duk_pop(ctx);
  }
  e.source = PropString(ctx, -1, "source");
  duk_get_prop_string(ctx, -1, "lineNumber");
  if (duk_is_number(ctx, -1)) {
    e.line = parsed.PageLine(duk_get_int(ctx, -1));
    NameIncludeFile(e, parsed, duk_get_int(ctx, -1));
  }
  duk_pop(ctx);
  return e;
}

PageResult PageRun::ErrorResult(const PageError& e) {
  PageResult r;
  r.status = 500;
  r.status_text = "Internal Server Error";
  r.content_type = "text/html";
  r.body = ErrorPage(e.number, e.description, e.source, request_.path, e.line);
  r.error = "page error " + request_.path + (e.line > 0 ? " line " + std::to_string(e.line) : "") +
            ": " + e.number + " " + e.description + (e.source.empty() ? "" : " (" + e.source + ")");
  return r;
}

PageResult PageRun::Run() {
  timeout_seconds_ = options_.script_timeout_seconds;
  SetScriptTimeout(timeout_seconds_);
  budget_.heap_limit = options_.script_memory_limit;
  if (options_.running) options_.running->Add(&budget_);

  bool ok = true;
  std::string text = text_ ? std::string(*text_) : ReadFile(file_, &ok);
  if (!ok) return ErrorResult({"(none)", "The page cannot be read", "", 0});
  IncludeSource includes{options_.root, file_};
  ParsedPage parsed = ParsePage(text, options_.default_language, &includes);
  if (!parsed.error.empty()) return ErrorResult({"(none)", parsed.error, "", 0});

  response_ = ResponseObject::Create([this] {
    // Response.End: the script stops when control returns to it.
    budget_.stop = true;
    if (ctx_) qz_duk_check_budget_soon(ctx_);
  });
  request_object_ = RequestObject::Create(MakeRequestData());
  server_ = ServerObject::Create(this);
  context_ = PageContext::Create(ComPtr<IDispatch>(response_.get()),
                                 ComPtr<IDispatch>(request_object_.get()),
                                 ComPtr<IDispatch>(server_.get()));
  ObjectContextScope scope(context_.get());
  if (parsed.language == PageLanguage::VBScript) return RunVbScript(parsed);

  PageResult result;
  {
    DukHeap heap(&budget_);
    duk_context* ctx = heap.get();
    if (ctx == nullptr) Raise(err::kOutOfMemory, {}, kSource);
    ctx_ = ctx;
    InitDispatchBinding(ctx);
    duk_push_global_stash(ctx);
    duk_push_pointer(ctx, this);
    duk_put_prop_string(ctx, -2, kRunKey);
    duk_pop(ctx);
    duk_push_global_object(ctx);
    PushDispatch(ctx, response_.get());
    duk_put_prop_string(ctx, -2, "Response");
    PushDispatch(ctx, request_object_.get());
    duk_put_prop_string(ctx, -2, "Request");
    PushDispatch(ctx, server_.get());
    duk_put_prop_string(ctx, -2, "Server");
    duk_push_c_function(ctx, Protected<NewActiveXObject>, 1);
    duk_put_prop_string(ctx, -2, "ActiveXObject");
    duk_push_c_function(ctx, Protected<PageWrite>, 1);
    duk_put_prop_string(ctx, -2, std::string(kPageWriteFunction).c_str());
    duk_pop(ctx);

    duk_push_lstring(ctx, request_.path.data(), request_.path.size());
    bool failed =
        duk_pcompile_lstring_filename(ctx, 0, parsed.script.data(), parsed.script.size()) != 0;
    if (!failed) failed = duk_pcall(ctx, 0) != DUK_EXEC_SUCCESS;

    bool ended = response_->state().ended;
    bool timed_out = !ended && budget_.Expired();
    if (failed && !ended) {
      PageError e;
      if (timed_out) {
        std::string why;
        if (budget_.out_of_memory) {
          why = "The page's script needed more than its memory limit of " +
                std::to_string(options_.script_memory_limit >> 20) + " MB";
        } else if (budget_.stop) {
          why = "The page was stopped because the server is shutting down";
        } else {
          why = "The page ran longer than its script timeout of " +
                std::to_string(timeout_seconds_) + " seconds";
        }
        e = {"(none)", why, "", 0};
        duk_get_prop_string(ctx, -1, "lineNumber");
        if (duk_is_number(ctx, -1)) e.line = parsed.PageLine(duk_get_int(ctx, -1));
        duk_pop(ctx);
      } else {
        e = ErrorFromValue(ctx, parsed);
      }
      result = ErrorResult(e);
    }
    duk_pop(ctx);
    // Deactivate while the script's references still exist, then let the
    // heap go, which releases them.
    Finish();
    ctx_ = nullptr;
    heap.reset();
  }
  if (result.error.empty()) {
    const ResponseState& s = response_->state();
    result.status = s.status;
    result.status_text = s.status_text;
    result.content_type = s.content_type;
    result.headers = s.headers;
    result.body = s.body;
  }
  return result;
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
  PageResult result;
  bool ended = response_->state().ended;
  if ((outcome.failed || outcome.stopped) && !ended) {
    PageError e;
    e.line = parsed.PageLine(outcome.line);
    if (outcome.stopped) {
      e.number = "(none)";
      if (budget_.out_of_memory) {
        e.description = "The page's script needed more than its memory limit of " +
                        std::to_string(options_.script_memory_limit >> 20) + " MB";
      } else if (budget_.stop) {
        e.description = "The page was stopped because the server is shutting down";
      } else {
        e.description = "The page ran longer than its script timeout of " +
                        std::to_string(timeout_seconds_) + " seconds";
      }
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
    return ErrorResult(e);
  }
  const ResponseState& s = response_->state();
  result.status = s.status;
  result.status_text = s.status_text;
  result.content_type = s.content_type;
  result.headers = s.headers;
  result.body = s.body;
  return result;
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

PageResult RunPageRun(PageRun& run, const PageOptions& options, const PageRequest& request) {
  PageResult result;
  try {
    result = run.Run();
  } catch (const Error& e) {
    result.status = 500;
    result.status_text = "Internal Server Error";
    result.content_type = "text/html";
    result.body =
        ErrorPage(std::to_string(e.hresult()), e.description(), e.source(), request.path, 0);
    result.error = "page error " + request.path + ": " + e.what();
  }
  if (!result.error.empty() && options.log) options.log(result.error);
  return result;
}

}  // namespace

PageResult RunPage(const PageOptions& options, const PageRequest& request,
                   const std::filesystem::path& file) {
  PageRun run(options, request, file, nullptr);
  return RunPageRun(run, options, request);
}

PageResult RunPageText(const PageOptions& options, const PageRequest& request,
                       std::string_view text, const std::filesystem::path& file) {
  PageRun run(options, request, file, &text);
  return RunPageRun(run, options, request);
}

}  // namespace qz::host
