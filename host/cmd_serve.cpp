// quenza serve and quenza page: the page host on HTTP, and one page run once
// exactly as the server would run it.
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <thread>
#include <vector>

#include "delivery/temp_file.h"
#include "host/chart_warmup.h"
#include "host/cli_support.h"
#include "host/commands.h"
#include "host/log_file.h"
#include "host/object_factory.h"
#include "host/page_engine.h"
#include "host/page_server.h"
#include "host/service_notify.h"
#include "host/site_paths.h"

namespace qz::host {
namespace {

struct ServeArgs {
  std::string root = ".";
  std::vector<std::string> listen;  // none: 127.0.0.1:8080
  std::string socket_mode = "0660";
  std::string user;
  std::string access_log;  // empty: standard error
  int threads = 0;
  int script_timeout = PageLimits::kScriptTimeoutSeconds;
  std::string default_language = "VBScript";
  ServerLimits limits;
  std::string health_path = "/healthz";
  bool metrics = false;
  bool metrics_from_anywhere = false;
  // Seconds between the health check turning 503 and the drain, so that a
  // balancer polling it stops sending first.
  int drain_delay = 0;
};

struct PageArgs {
  std::string file;
  std::string root;
  std::string query;
  std::string form;
  std::string out;
  int script_timeout = PageLimits::kScriptTimeoutSeconds;
  std::string default_language = "VBScript";
};

PageLanguage LanguageNamed(const std::string& name) {
  return EqualsNoCase(name, "JScript") || EqualsNoCase(name, "JavaScript") ? PageLanguage::JScript
                                                                           : PageLanguage::VBScript;
}

// The languages --default-language accepts, in any letter case.
const std::vector<std::string> kLanguageNames = {"VBScript", "JScript", "JavaScript"};

// Takes on the user's identity for good: its groups, its group, then the
// user itself, so that nothing of root's is left.
bool DropToUser(const std::string& name, std::string* why) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  int err = ::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (found == nullptr) {
    *why = "--user " + name + ": " + (err != 0 ? std::strerror(err) : "no such user");
    return false;
  }
  if (::geteuid() != 0) {
    if (::geteuid() == found->pw_uid) return true;
    *why = "--user " + name + " needs the server to be started as root";
    return false;
  }
  if (::initgroups(found->pw_name, found->pw_gid) != 0 || ::setgid(found->pw_gid) != 0 ||
      ::setuid(found->pw_uid) != 0) {
    *why = "cannot become " + name + ": " + std::strerror(errno);
    return false;
  }
  // Root must be gone for good, not merely set aside.
  if (::setuid(0) == 0) {
    *why = "root's rights were kept after becoming " + name;
    return false;
  }
  return true;
}

int Serve(const ServeArgs& args) {
  delivery::RemoveStaleTempFiles();  // what killed renders left in the temporary folder
  if (std::string why; !CheckRendererFonts(&why)) {
    std::cerr << "quenza serve: " << why << "\n";
    return 1;
  }
  ServerOptions options;
  options.root = args.root;
  unsigned socket_mode = 0;
  {
    const std::string& m = args.socket_mode;
    if (m.empty() || m.size() > 4 || m.find_first_not_of("01234567") != std::string::npos) {
      std::cerr << "quenza serve: --socket-mode wants an octal mode such as 0660\n";
      return 2;
    }
    socket_mode = static_cast<unsigned>(std::stoul(m, nullptr, 8)) & 0777u;
  }
  for (const std::string& text :
       args.listen.empty() ? std::vector<std::string>{"127.0.0.1:8080"} : args.listen) {
    ListenAddress address;
    std::string why;
    if (!ParseListenAddress(text, &address, &why)) {
      std::cerr << "quenza serve: " << why << "\n";
      return 2;
    }
    address.unix_mode = socket_mode;
    options.listen.push_back(address);
  }
  options.host =
      options.listen.front().unix_path.empty() ? options.listen.front().host : "localhost";
  options.threads = args.threads;
  options.script_timeout_seconds = args.script_timeout;
  options.limits = args.limits;
  options.default_language = LanguageNamed(args.default_language);
  options.health_path = args.health_path;
  options.metrics = args.metrics;
  options.metrics_from_anywhere = args.metrics_from_anywhere;
  options.create_object = CreateRegisteredObject;
  options.log = &std::cerr;
  LogFile access_log;
  if (!args.access_log.empty()) {
    if (std::string why; !access_log.Open(args.access_log, &why)) {
      std::cerr << "quenza serve: " << why << "\n";
      return 1;
    }
  }
  options.access_log = [&access_log](std::string_view line) { access_log.Write(line); };
  // Every open connection is a descriptor: allow the connection limit and a
  // margin for files, pages and the listening socket, as far as the hard
  // limit lets.
  if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0) {
    rlim_t want = static_cast<rlim_t>(args.limits.connections) + 256;
    if (files.rlim_cur < want) {
      files.rlim_cur = std::min(want, files.rlim_max);
      (void)::setrlimit(RLIMIT_NOFILE, &files);
    }
  }
  std::error_code ec;
  std::filesystem::path root = std::filesystem::canonical(args.root, ec);
  options.warm_worker = [root] { WarmChartWorker(root); };

  // Signals go to one waiting thread, which stops the server cleanly. A
  // parent may have left them ignored (background jobs of a shell), in which
  // case they would never reach sigwait.
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGTERM, SIG_DFL);
  ::signal(SIGHUP, SIG_DFL);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);  // logrotate: the access log is opened again
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  PageServer server(options);
  std::string why;
  if (!server.Bind(&why)) {
    std::cerr << "quenza serve: " << why << "\n";
    return 1;
  }
  for (const std::string& where : server.listening())
    std::cerr << "quenza serve: listening on " << where << " (site " << args.root << ")\n";
  if (!args.user.empty()) {
    if (!DropToUser(args.user, &why)) {
      std::cerr << "quenza serve: " << why << "\n";
      return 1;
    }
  } else if (::geteuid() == 0) {
    std::cerr << "quenza serve: warning: running as root; pages run with root's rights "
                 "(give --user NAME to drop to that user once listening)\n";
  }
  WarnAboutRegistry(std::cerr, "serve", ProgIdsOfPages(root));
  NotifyReady("listening on " + server.listening().front());
  std::thread waiter([&server, &access_log, signals, delay = args.drain_delay] {
    // SIGHUP, whenever it comes: the access log is opened afresh (after a
    // rotation), or kept when the new one cannot be opened.
    auto reopen_log = [&server, &access_log] {
      if (std::string failed; !access_log.Reopen(&failed))
        server.Log(failed + " (kept writing the old one)");
    };
    int sig = 0;
    while (sigwait(&signals, &sig) == 0 && sig == SIGHUP) reopen_log();
    std::cerr << "quenza serve: stopping\n";
    NotifyStopping();
    server.Drain();
    // A second SIGTERM or SIGINT cuts the delay short.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(delay);
    for (auto left = until - std::chrono::steady_clock::now(); left.count() > 0;
         left = until - std::chrono::steady_clock::now()) {
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      const int got = sigtimedwait(&signals, nullptr, &wait);
      if (got != SIGHUP) break;
      reopen_log();
    }
    server.Stop();
  });
  server.Run();
  // Release the waiter if the server stopped for another reason.
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  return 0;
}

int RunOnePage(const PageArgs& args) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path file = fs::canonical(args.file, ec);
  if (ec) {
    std::cerr << "quenza page: no such page: " << args.file << "\n";
    return 1;
  }
  fs::path root = args.root.empty() ? file.parent_path() : fs::canonical(args.root, ec);
  if (ec) {
    std::cerr << "quenza page: no such site folder: " << args.root << "\n";
    return 1;
  }
  std::string rel = file.lexically_relative(root).generic_string();
  if (rel.empty() || rel.starts_with("..")) {
    std::cerr << "quenza page: the page is not inside the site folder\n";
    return 1;
  }
  {
    std::ifstream page(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(page)), std::istreambuf_iterator<char>());
    WarnAboutRegistry(std::cerr, "page", ProgIdsOfPage(text));
  }
  if (std::string why; !CheckRendererFonts(&why)) {
    std::cerr << "quenza page: " << why << "\n";
    return 1;
  }
  // The same chart as the server draws: the server's workers warm up first.
  WarmChartWorker(root);
  PageOptions options;
  options.root = root;
  options.script_timeout_seconds = args.script_timeout;
  options.default_language = LanguageNamed(args.default_language);
  options.create_object = CreateRegisteredObject;
  options.log = [](const std::string& line) { std::cerr << line << "\n"; };
  PageRequest request;
  request.path = "/" + rel;
  request.query = args.query;
  if (!args.form.empty()) {
    request.method = "POST";
    request.body = args.form;
    request.content_type = "application/x-www-form-urlencoded";
  }
  PageResult result = RunPage(options, request, file);
  // One string for the writes below; a command-line run can afford the copy.
  result.body = result.WholeBody();
  result.tail = {};
  std::cerr << "Status: " << result.status << " " << result.status_text << "\n";
  std::cerr << "Content-Type: " << result.content_type << "\n";
  for (const auto& [name, value] : result.headers) std::cerr << name << ": " << value << "\n";
  std::cerr << "Content-Length: " << result.body.size() << "\n";
  const PageExit outcome = PageExitOf(result.status, result.chart_errors);
  if (args.out.empty()) {
    std::cout.write(result.body.data(), static_cast<std::streamsize>(result.body.size()));
    std::cout.flush();
  } else if (result.status != 200 || outcome != PageExit::kRan) {
    // An error text is no image: it goes where a person reads it, and the
    // file named by --out is left as it was.
    std::cerr << "quenza page: nothing written to " << args.out << "; the page answered:\n";
    std::cerr.write(result.body.data(), static_cast<std::streamsize>(result.body.size()));
    std::cerr << "\n";
  } else {
    std::ofstream out(args.out, std::ios::binary | std::ios::trunc);
    out.write(result.body.data(), static_cast<std::streamsize>(result.body.size()));
    if (!out) {
      std::cerr << "quenza page: cannot write " << args.out << "\n";
      return static_cast<int>(PageExit::kUsage);
    }
  }
  return static_cast<int>(outcome);
}

}  // namespace

void AddServeCommands(CLI::App& app) {
  auto serve_args = std::make_shared<ServeArgs>();
  CLI::App* serve = app.add_subcommand("serve", "Serve the pages of a site folder over HTTP");
  serve->add_option("--root", serve_args->root, "Site folder")->check(CLI::ExistingDirectory);
  serve
      ->add_option("--listen", serve_args->listen,
                   "HOST:PORT or unix:PATH to listen on; several may be given")
      ->default_str("127.0.0.1:8080");
  serve
      ->add_option("--socket-mode", serve_args->socket_mode,
                   "Permissions of the Unix sockets' files, in octal")
      ->capture_default_str();
  serve->add_option("--access-log", serve_args->access_log,
                    "Append the access log (Combined Log Format and microseconds) to this file "
                    "instead of standard error; SIGHUP opens it again");
  serve->add_option("--user", serve_args->user, "Started as root: become this user once listening");
  serve->add_option("--threads", serve_args->threads, "Worker threads (0: one per core)")
      ->check(WholeNumber(0, 1024));
  serve->add_option("--script-timeout", serve_args->script_timeout, "Seconds a page may run")
      ->check(WholeNumber(1, 86400));
  // The limits on clients, with the defaults of ServerLimits shown by --help.
  ServerLimits& limits = serve_args->limits;
  auto limit = [serve](const char* name, auto& value, const char* what, auto low, auto high) {
    serve->add_option(name, value, what)
        ->capture_default_str()
        ->check(WholeNumber(static_cast<long>(low), static_cast<long>(high)));
  };
  limit("--header-timeout", limits.header_seconds,
        "Seconds for a request's line and headers, however slowly they arrive", 1, 3600);
  limit("--body-timeout", limits.body_seconds, "Seconds for a request's whole body", 1, 86400);
  limit("--write-timeout", limits.write_seconds, "Seconds for writing one whole answer", 1, 86400);
  limit("--keep-alive-timeout", limits.keep_alive_seconds,
        "Seconds a kept-alive connection may wait for its next request", 1, 3600);
  limit("--keep-alive-requests", limits.keep_alive_requests,
        "Requests on one kept-alive connection", 1, 1000000);
  limit("--max-target-bytes", limits.target_bytes, "Bytes of a request target (414 beyond)",
        std::size_t{64}, std::size_t{1} << 20);
  limit("--max-header-fields", limits.header_fields, "Header fields of a request (431 beyond)",
        std::size_t{8}, std::size_t{100000});
  limit("--max-header-bytes", limits.header_bytes,
        "Bytes of a request's line and headers (431 beyond)", std::size_t{1024},
        std::size_t{1} << 24);
  limit("--max-body-bytes", limits.body_bytes,
        "Bytes of a request body in any transfer coding (413 beyond)", std::size_t{0},
        std::size_t{1} << 34);
  limit("--max-connections", limits.connections, "Open connections in all (503 beyond)", 1,
        1000000);
  limit("--max-connections-per-address", limits.connections_per_address,
        "Open connections from one client address (503 beyond)", 1, 1000000);
  limit("--max-ranges", limits.ranges,
        "Byte ranges of a static file in one request (more: the whole file)", 1, 64);
  limit("--shutdown-timeout", limits.shutdown_seconds,
        "Seconds pages in flight may finish after SIGTERM or SIGINT", 0, 3600);
  limit("--io-threads", limits.io_threads, "Threads serving connections", 1, 16);
  serve
      ->add_option("--default-language", serve_args->default_language,
                   "Language of pages without a Language directive (VBScript or JScript)")
      ->transform(CLI::IsMember(kLanguageNames, CLI::ignore_case));
  serve
      ->add_option("--health-path", serve_args->health_path,
                   "Path of the health check (200 healthy; 503 draining or an apartment stuck)")
      ->capture_default_str()
      ->check([](const std::string& p) {
        return p.size() > 1 && p.front() == '/' ? std::string{} : "a path such as /healthz";
      });
  serve->add_flag("--metrics", serve_args->metrics,
                  "Answer /metrics in the Prometheus text format (to local clients)");
  serve->add_flag("--metrics-from-anywhere", serve_args->metrics_from_anywhere,
                  "Answer /metrics to any client, not only local ones");
  serve
      ->add_option("--drain-delay", serve_args->drain_delay,
                   "Seconds the health check answers 503 after SIGTERM before the drain begins")
      ->capture_default_str()
      ->check(WholeNumber(0, 3600));
  serve->callback([serve_args] { throw CLI::RuntimeError(Serve(*serve_args)); });

  auto page_args = std::make_shared<PageArgs>();
  CLI::App* page = app.add_subcommand("page", "Run one page once, as the server would");
  page->footer(
      "Exit status: 0 the page ran; 1 it could not be run; 2 a page error (the host answered "
      "500); 3 a chart render ended in its error answer (text/HTML).");
  page->add_option("FILE", page_args->file, "The page (.asp)")->required();
  page->add_option("--root", page_args->root, "Site folder (default: the page's folder)");
  page->add_option("--query", page_args->query, "Query string, without '?'");
  page->add_option("--form", page_args->form, "URL-encoded form body (makes the request a POST)");
  page->add_option("--out", page_args->out,
                   "Write the body to this file instead of stdout (only a 200 answer without a "
                   "failure; an error text goes to stderr)");
  page->add_option("--script-timeout", page_args->script_timeout, "Seconds the page may run")
      ->check(WholeNumber(1, 86400));
  page->add_option("--default-language", page_args->default_language,
                   "Language of a page without a Language directive (VBScript or JScript)")
      ->transform(CLI::IsMember(kLanguageNames, CLI::ignore_case));
  page->callback([page_args] { throw CLI::RuntimeError(RunOnePage(*page_args)); });
}

}  // namespace qz::host
