#include "host/page_server.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "host/object_factory.h"
#include "platform/com/activation.h"
#include "tests/host/http_util.h"
#include "tests/host/page_test_util.h"

namespace qz::host::test {
namespace {

class PageServerTest : public ::testing::Test {
 protected:
  void StartServer(ObjectCreator creator = CreateTestObject, int timeout = 90, int threads = 4) {
    ServerOptions options;
    options.root = site_.root();
    options.host = "127.0.0.1";
    options.port = 0;
    options.threads = threads;
    options.script_timeout_seconds = timeout;
    options.create_object = std::move(creator);
    options.log = &log_;
    options.warm_worker = [this] { ++warmed_; };
    if (configure_) configure_(options);
    server_ = std::make_unique<PageServer>(options);
    std::string why;
    ASSERT_TRUE(server_->Bind(&why)) << why;
    server_->Start();
  }
  void TearDown() override {
    if (server_) server_->Stop();
  }
  TestClient Client() {
    TestClient c(server_->port());
    c.set_read_timeout(30, 0);
    return c;
  }

  TempSite site_;
  std::ostringstream log_;
  std::atomic<int> warmed_{0};
  std::function<void(ServerOptions&)> configure_;
  std::unique_ptr<PageServer> server_;
};

// The value of one sample line ("name{labels} value") in metrics text; -1
// when the series is absent.
double Sample(const std::string& text, const std::string& series) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.size() > series.size() && line.starts_with(series) && line[series.size()] == ' ')
      return std::stod(line.substr(series.size() + 1));
  }
  return -1;
}

TEST_F(PageServerTest, HealthIsAnsweredByTheHostAndTurnsWhenDrainingOrStuck) {
  site_.Write("ok.asp", "ok");
  site_.Write("healthz", "a file of the site");
  site_.Write("stuck.asp", "<% var c = Server.CreateObject('Test.Chart'); c.Sleep(2500); %>");
  configure_ = [](ServerOptions& o) { o.limits.stuck_margin_seconds = 0; };
  StartServer(CreateTestObject, /*timeout=*/1, /*threads=*/2);
  auto client = Client();
  auto r = client.Get("/healthz");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "OK\n") << "the host answers, not the site's file";
  EXPECT_EQ(client.Head("/healthz")->status, 200);
  r = client.Post("/healthz", "", "text/plain");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 405);
  EXPECT_EQ(r->get_header_value("Allow"), "GET, HEAD");
  // A native call ignores the script timeout: past it (and the margin) the
  // apartment is stuck; once the call returns the check is well again.
  std::thread slow([this] { EXPECT_TRUE(Client().Get("/stuck.asp")); });
  std::this_thread::sleep_for(std::chrono::milliseconds(1600));
  r = client.Get("/healthz");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 503);
  EXPECT_EQ(r->body, "Apartment Stuck\n");
  EXPECT_EQ(client.Get("/ok.asp")->body, "ok") << "the other apartment still serves";
  slow.join();
  EXPECT_EQ(client.Get("/healthz")->status, 200);
  // Draining: 503 at once, while pages are still served until Stop.
  server_->Drain();
  r = client.Get("/healthz");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 503);
  EXPECT_EQ(r->body, "Draining\n");
  EXPECT_EQ(client.Get("/ok.asp")->body, "ok");
}

// Pages one at a time go to the apartment that went idle last, so that one
// apartment with warm caches serves them; a page that comes while it is busy
// goes to another.
TEST_F(PageServerTest, AnIdleServerHandsEachPageToTheApartmentIdleLast) {
  site_.Write("t.asp", "<%= new ActiveXObject('Test.Chart').Thread() %>");
  site_.Write("slow.asp",
              "<% var c = new ActiveXObject('Test.Chart'); c.Sleep(400); %><%= c.Thread() %>");
  StartServer(CreateTestObject, 90, /*threads=*/4);
  auto client = Client();
  // The first page of a fresh server may go to whichever apartment has
  // started, and its apartment readies a fresh engine after it.
  ASSERT_TRUE(client.Get("/t.asp"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::set<std::string> threads;
  for (int i = 0; i < 6; ++i) {
    auto r = client.Get("/t.asp");
    ASSERT_TRUE(r);
    threads.insert(r->body);
    // Long enough for the apartment to have readied its next page.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  EXPECT_EQ(threads.size(), 1u) << "pages one at a time took turns between apartments";
  const std::string warm = *threads.begin();
  std::optional<HttpAnswer> slow;
  std::thread busy([&] { slow = Client().Get("/slow.asp"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  auto during = client.Get("/t.asp");
  busy.join();
  ASSERT_TRUE(during && slow);
  EXPECT_NE(during->body, slow->body) << "a page waited for a busy apartment";
}

TEST_F(PageServerTest, AnEndedResponseIsAnsweredBeforeThePageReleasesItsObjects) {
  // Each chart here holds its Deactivate until the test lets it go.
  site_.Write("ended.asp",
              "<% var c = Server.CreateObject('Test.Chart'); c.HoldDeactivate(); c.Title = 'held';"
              " c.Send(); Response.Write('never'); %>");
  site_.Write("plain.asp",
              "<% var c = Server.CreateObject('Test.Chart'); c.HoldDeactivate(); %>plain");
  Counters().deactivations = 0;
  Counters().let_deactivate = false;
  StartServer(CreateTestObject, 90, /*threads=*/2);
  auto client = Client();

  auto ended = client.Get("/ended.asp");
  const int deactivated_by_then = Counters().deactivations;
  Counters().let_deactivate = true;
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->body, "chart:held");
  EXPECT_EQ(ended->get_header_value("Content-Type"), "image/test");
  EXPECT_EQ(deactivated_by_then, 0) << "the answer waited for the page's objects";
  for (int i = 0; i < 500 && Counters().deactivations < 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(Counters().deactivations, 1);

  // A page that does not end its response is answered once it has ended,
  // on the same connection.
  Counters().let_deactivate = false;
  std::thread let_go([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Counters().let_deactivate = true;
  });
  auto plain = client.Get("/plain.asp");
  const int deactivated_then = Counters().deactivations;
  let_go.join();
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->body, "plain");
  EXPECT_EQ(deactivated_then, 2);
}

TEST_F(PageServerTest, HealthPathIsSettable) {
  site_.Write("healthz", "site file");
  configure_ = [](ServerOptions& o) { o.health_path = "/-/ready"; };
  StartServer();
  auto client = Client();
  EXPECT_EQ(client.Get("/-/ready")->body, "OK\n");
  EXPECT_EQ(client.Get("/healthz")->body, "site file");
}

TEST_F(PageServerTest, MetricsAreOffUnlessAskedAndCountRequests) {
  site_.Write("ok.asp", "ok");
  site_.Write("pic.asp", "<% Response.ContentType = 'image/png'; Response.Write('x'); %>");
  StartServer();
  EXPECT_EQ(Client().Get("/metrics")->status, 404) << "off by default: the site's path";
  server_->Stop();
  configure_ = [](ServerOptions& o) { o.metrics = true; };
  StartServer();
  auto client = Client();
  auto r = client.Get("/metrics");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 200);
  EXPECT_EQ(r->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  const std::string before = r->body;
  EXPECT_EQ(Sample(before, "quenza_pages_total"), 0);
  EXPECT_EQ(Sample(before, "quenza_open_connections"), 1);
  EXPECT_GT(Sample(before, "quenza_resident_memory_bytes"), 1e6);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(client.Get("/ok.asp")->status, 200);
  EXPECT_EQ(client.Get("/pic.asp")->status, 200);
  EXPECT_EQ(client.Get("/missing.asp")->status, 404);
  const std::string after = client.Get("/metrics")->body;
  EXPECT_EQ(Sample(after, "quenza_pages_total"), 4);
  EXPECT_EQ(Sample(after, "quenza_charts_sent_total{format=\"png\"}"), 1);
  EXPECT_EQ(Sample(after, "quenza_page_duration_seconds_count"), 4);
  EXPECT_EQ(Sample(after, "quenza_page_duration_seconds_bucket{le=\"+Inf\"}"), 4);
  // The first /metrics answer is counted too.
  EXPECT_EQ(Sample(after, "quenza_http_requests_total{class=\"2xx\"}"), 5);
  EXPECT_EQ(Sample(after, "quenza_http_requests_total{class=\"4xx\"}"), 1);
  EXPECT_EQ(Sample(after, "quenza_apartments_busy"), 0);
  EXPECT_EQ(Sample(after, "quenza_requests_waiting"), 0);
  // Every line a comment or a sample; every family typed.
  std::istringstream in(after);
  int types = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("# TYPE ")) ++types;
    if (line.starts_with("#")) continue;
    EXPECT_NE(line.rfind(' '), std::string::npos) << line;
    EXPECT_NO_THROW((void)std::stod(line.substr(line.rfind(' ') + 1))) << line;
  }
  EXPECT_EQ(types, 10);
}

TEST(MetricsAllowedTest, OnlyLoopbackClientsUnlessFromAnywhere) {
  for (const char* local : {"127.0.0.1", "127.3.2.1", "::1", "::ffff:127.0.0.1"})
    EXPECT_TRUE(MetricsAllowed(local, false)) << local;
  for (const char* remote : {"10.0.0.1", "192.168.1.5", "::ffff:10.0.0.1", "2001:db8::1", "0.0.0.0",
                             "-", "", "localhost"})
    EXPECT_FALSE(MetricsAllowed(remote, false)) << remote;
  EXPECT_TRUE(MetricsAllowed("10.0.0.1", true));
}

TEST_F(PageServerTest, ServesPagesAndStaticFilesWithTheirMediaTypes) {
  site_.Write("index.asp", "<% Response.Write('hello ' + Request.QueryString('who')); %>");
  site_.Write("img/pic.bmp", "BMxx");
  StartServer();
  auto client = Client();
  auto r = client.Get("/?who=you");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "hello you");
  EXPECT_EQ(r->get_header_value("Content-Type"), "text/html");
  r = client.Get("/img/pic.bmp");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->get_header_value("Content-Type"), "image/bmp");
  EXPECT_EQ(r->body, "BMxx");
  r = client.Post("/index.asp", "who=form", "application/x-www-form-urlencoded");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "hello undefined") << "a form field is no query item";
  EXPECT_EQ(client.Get("/nothing.html")->status, 404);
  server_->Stop();
  EXPECT_EQ(warmed_, 4) << "every worker warms up once";
  std::string log = log_.str();
  EXPECT_NE(log.find("\"GET /?who=you HTTP/1.1\" 200 9 "), std::string::npos) << log;
  EXPECT_NE(log.find("\"GET /nothing.html HTTP/1.1\" 404 "), std::string::npos) << log;
}

// SERVER_NAME is the Host header without its port; an IPv6 address keeps
// the colons inside its brackets.
TEST_F(PageServerTest, ServerNameIsTheHostWithoutItsPort) {
  site_.Write("name.asp", "<%= Request.ServerVariables('SERVER_NAME') %>");
  StartServer();
  const std::pair<const char*, const char*> hosts[] = {
      {"[::1]", "[::1]"},
      {"[::1]:8080", "[::1]"},
      {"example.com:8080", "example.com"},
      {"example.com", "example.com"},
  };
  for (const auto& [host, name] : hosts) {
    std::string answer =
        RawExchange(server_->port(), std::string("GET /name.asp HTTP/1.1\r\nHost: ") + host +
                                         "\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 200")) << host << ": " << answer;
    EXPECT_TRUE(answer.ends_with(std::string("\r\n\r\n") + name)) << host << ": " << answer;
  }
}

TEST_F(PageServerTest, TraversalIsRefused) {
  site_.Write("ok.txt", "fine");
  StartServer();
  for (const char* target : {"/../ok.txt", "/%2e%2e/%2e%2e/etc/passwd", "/x/..%2f..%2fetc/passwd",
                             "/..%5c..%5cetc", "/%252e%252e/ok.txt"}) {
    std::string answer =
        RawExchange(server_->port(), std::string("GET ") + target +
                                         " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 403") || answer.starts_with("HTTP/1.1 404") ||
                answer.starts_with("HTTP/1.1 400"))
        << target << ": " << answer.substr(0, 40);
    EXPECT_EQ(answer.find("root:"), std::string::npos);
  }
  EXPECT_TRUE(RawExchange(server_->port(),
                          "GET /../ok.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                  .starts_with("HTTP/1.1 403"));
  EXPECT_EQ(Client().Get("/ok.txt")->body, "fine");
}

TEST_F(PageServerTest, ErrorsTimeoutsAndEndOverHttp) {
  site_.Write("error.asp", "<% var c = new ActiveXObject('Test.Chart'); c.Fail(6); %>");
  site_.Write("caught.asp",
              "<% var c = new ActiveXObject('Test.Chart'); try { c.FillBlue = 40000; }"
              " catch (e) { Response.Write(e.number); } %>");
  site_.Write("end.asp", "<% Response.Write('one'); Response.End(); Response.Write('two'); %>");
  site_.Write("loop.asp", "<% var c = Server.CreateObject('Test.Chart'); for (;;) {} %>");
  site_.Write("ok.asp", "ok");
  StartServer(CreateTestObject, /*timeout=*/1, /*threads=*/2);
  auto client = Client();
  auto r = client.Get("/error.asp");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 500);
  EXPECT_EQ(r->get_header_value("Content-Type"), "text/html");
  EXPECT_NE(r->body.find("-2146828282"), std::string::npos);
  EXPECT_EQ(client.Get("/caught.asp")->body, "-2146828282");
  EXPECT_EQ(client.Get("/end.asp")->body, "one");
  // Both workers stuck in loops at once; both are freed by the timeout.
  std::thread other([this] { EXPECT_EQ(Client().Get("/loop.asp")->status, 500); });
  r = client.Get("/loop.asp");
  other.join();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 500);
  EXPECT_NE(r->body.find("script timeout"), std::string::npos);
  EXPECT_EQ(Counters().live, 0);
  EXPECT_EQ(client.Get("/ok.asp")->body, "ok") << "the server keeps serving";
}

TEST_F(PageServerTest, ConcurrentClientsEachGetTheirOwnAnswer) {
  site_.Write(
      "chart.asp",
      "<% var c = Server.CreateObject('Test.Chart'); c.Title = Request.QueryString('title') + '/' +"
      " Request.QueryString('data'); for (var i = 0; i < 2000; i++) {} c.Send(); %>");
  StartServer(CreateTestObject, 90, 8);
  std::atomic<int> next{0}, good{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 32; ++t) {
    clients.emplace_back([&] {
      auto client = Client();
      for (int i = next++; i < 200; i = next++) {
        std::string title = "t" + std::to_string(i);
        std::string data = std::to_string(i * 7 % 23);
        auto r = client.Get("/chart.asp?title=" + title + "&data=" + data);
        if (r && r->status == 200 && r->body == "chart:" + title + "/" + data &&
            r->get_header_value("Content-Type") == "image/test") {
          ++good;
        }
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(good, 200);
}

// A kept-alive connection holds a connection thread between its requests,
// not an apartment: with one apartment, a second client is answered while
// the first client's connection stays open (its keep-alive outlasts the
// second client's read timeout).
TEST_F(PageServerTest, AKeptAliveConnectionDoesNotHoldTheApartment) {
  site_.Write("hello.asp", "hello <%= Request.QueryString('who') %>");
  StartServer(CreateTestObject, 90, 1);
  auto first = Client();
  first.set_keep_alive(true);
  auto a = first.Get("/hello.asp?who=first");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->body, "hello first");

  TestClient second(server_->port());
  second.set_read_timeout(1, 0);  // well inside the 2 s keep-alive of the first
  auto b = second.Get("/hello.asp?who=second");
  ASSERT_TRUE(b) << "the second client was not answered while the first stayed connected";
  EXPECT_EQ(b->body, "hello second");
  auto c = first.Get("/hello.asp?who=again");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->body, "hello again");
}

TEST_F(PageServerTest, LimitsOnRequestLineHeadersAndBody) {
  site_.Write("ok.asp", "<%= Request.Form('a').length %>");
  StartServer();
  std::string long_target(20000, 'a');
  std::string answer =
      RawExchange(server_->port(), "GET /" + long_target + " HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_TRUE(answer.empty() || answer.starts_with("HTTP/1.1 4")) << answer.substr(0, 40);
  auto r = Client().Post("/ok.asp", std::string(2 << 20, 'x'), "application/x-www-form-urlencoded");
  EXPECT_TRUE(!r || r->status == 413);
  EXPECT_EQ(Client().Post("/ok.asp", "a=xyz", "application/x-www-form-urlencoded")->body, "3");
}

#ifdef QZ_TEST_COMPONENT
// A component loaded with dlopen finds the page's object context through the
// executable's exported CoGetObjectContext, not a copy of its own.
TEST_F(PageServerTest, LoadedComponentSeesTheHostsObjectContext) {
  void* lib = ::dlopen(QZ_TEST_COMPONENT, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << ::dlerror();
  using NewFn = IDispatch* (*)();
  auto make = reinterpret_cast<NewFn>(::dlsym(lib, "QzTestNewChart"));
  ASSERT_NE(make, nullptr);
  site_.Write("loaded.asp",
              "<% var c = Server.CreateObject('Test.Loaded'); c.Title = 'dl';"
              " Response.Write(c.HasResponse() + ' ' + c.FillRed + ' '); c.Send(); %>");
  StartServer([make](std::string_view) { return ComPtr<IDispatch>::Attach(make()); });
  auto r = Client().Get("/loaded.asp");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "true 255 chart:dl");
  EXPECT_EQ(r->get_header_value("Content-Type"), "image/test");
}
#endif

#ifdef QZ_COM_TEST_SERVER
// Server.CreateObject through the real registry: the library registered into
// a registry file of the test's own, loaded once, its object driven by name.
TEST_F(PageServerTest, PagesCreateRegisteredObjectsByProgId) {
  std::string registry = (site_.root() / "registry.txt").string();
  ::setenv("QUENZA_REGISTRY", registry.c_str(), 1);
  ASSERT_TRUE(Succeeded(CallServerRegistration(QZ_COM_TEST_SERVER, Registration::Register)));
  site_.Write("sample.asp",
              "<% var s = Server.CreateObject('QzTest.Sample'); s.count = 7;"
              " Response.Write(s.COUNT + ' ' + s.Add(2, 3));"
              " try { s.Count = 40000; } catch (e) { Response.Write(' ' + e.number); }"
              " try { Server.CreateObject('QzTest.Nothing'); } catch (e) { Response.Write(' ' + "
              "e.number); } %>");
  StartServer(CreateRegisteredObject);
  auto r = Client().Get("/sample.asp");
  ::unsetenv("QUENZA_REGISTRY");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "7 5 -2146828282 -2146827859");
}
#endif

}  // namespace
}  // namespace qz::host::test

namespace qz::host::test {
namespace {

TEST(ListenAddressTest, PortsAreCheckedAndUnixPathsRead) {
  ListenAddress a;
  std::string why;
  ASSERT_TRUE(ParseListenAddress("127.0.0.1:8080", &a, &why)) << why;
  EXPECT_EQ(a.host, "127.0.0.1");
  EXPECT_EQ(a.port, 8080);
  ASSERT_TRUE(ParseListenAddress("[::1]:65535", &a, &why)) << why;
  EXPECT_EQ(a.host, "::1");
  EXPECT_EQ(a.port, 65535);
  ASSERT_TRUE(ParseListenAddress("0.0.0.0:0", &a, &why)) << why;
  EXPECT_EQ(a.port, 0) << "any free port";
  ASSERT_TRUE(ParseListenAddress("unix:/run/quenza/q.sock", &a, &why)) << why;
  EXPECT_EQ(a.unix_path, "/run/quenza/q.sock");
  for (const char* bad : {"127.0.0.1:99999", "127.0.0.1:65536", "127.0.0.1:-1", "127.0.0.1:",
                          "127.0.0.1:80x", "127.0.0.1", ":8080", "unix:", "localhost:000080000"}) {
    why.clear();
    EXPECT_FALSE(ParseListenAddress(bad, &a, &why)) << bad;
    EXPECT_NE(why.find(bad), std::string::npos) << why;
  }
  EXPECT_FALSE(ParseListenAddress("unix:/" + std::string(200, 'a'), &a, &why));
  EXPECT_NE(why.find("longer than"), std::string::npos) << why;
}

TEST(ListenAddressTest, TheSecondServerOnAPortIsToldWhy) {
  TempSite site;
  ServerOptions options;
  options.root = site.root();
  options.port = 0;
  options.threads = 1;
  PageServer first(options);
  std::string why;
  ASSERT_TRUE(first.Bind(&why)) << why;
  options.listen = {ListenAddress{}, ListenAddress{}};
  options.listen[0].port = 0;
  options.listen[1].port = first.port();
  PageServer second(options);
  EXPECT_FALSE(second.Bind(&why));
  EXPECT_NE(why.find("cannot listen on 127.0.0.1:" + std::to_string(first.port()) +
                     ": Address already in use"),
            std::string::npos)
      << why;
  EXPECT_TRUE(second.listening().empty()) << "nothing half-bound is kept";
}

}  // namespace
}  // namespace qz::host::test
