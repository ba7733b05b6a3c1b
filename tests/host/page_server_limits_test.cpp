// The page host against hostile and careless clients: slow and trickling
// connections, oversized headers and bodies, range floods, pipelines,
// connection floods and shutdown under load. Every server listens on
// 127.0.0.1 with limits small enough to keep each case to a few seconds.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include "host/page_server.h"
#include "tests/host/http_util.h"
#include "tests/host/page_test_util.h"

namespace qz::host::test {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class PageServerLimitsTest : public ::testing::Test {
 protected:
  void StartServer(int threads = 2) {
    ServerOptions options;
    options.root = site_.root();
    options.port = 0;
    options.threads = threads;
    options.script_timeout_seconds = 90;
    options.create_object = CreateTestObject;
    options.log = &log_;
    options.limits = limits_;
    server_ = std::make_unique<PageServer>(options);
    std::string why;
    ASSERT_TRUE(server_->Bind(&why)) << why;
    server_->Start();
  }
  void TearDown() override {
    if (server_) server_->Stop();
  }
  int port() const { return server_->port(); }
  TestClient Client() {
    TestClient c(port());
    c.set_read_timeout(20);
    return c;
  }
  std::string Log() {
    server_->Stop();
    return log_.str();
  }
  // A connection that asks for target and then reads no more than its small
  // receive buffer holds.
  Socket StalledReader(std::string_view target) {
    Socket s(port());
    int small = 4096;
    ::setsockopt(s.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    EXPECT_TRUE(s.Send("GET " + std::string(target) + " HTTP/1.1\r\nHost: x\r\n\r\n"));
    return s;
  }
  // Once the write deadline has passed, the stalled reader's answer had
  // begun and no longer holds its connection: had it, Stop would wait the
  // shutdown bound for it. The log has logged. Stops the server.
  void ExpectCutOff(Socket& s, std::string_view logged) {
    std::string got;
    ASSERT_GT(s.Receive(&got), 0);
    EXPECT_TRUE(got.starts_with("HTTP/1.1 200")) << got.substr(0, 40);
    Clock::time_point stop = Clock::now();
    std::string log = Log();
    EXPECT_LT(SecondsSince(stop), 5.0) << "the stalled answer still held its connection";
    EXPECT_NE(log.find(logged), std::string::npos) << log;
  }

  TempSite site_;
  ServerLimits limits_;
  std::ostringstream log_;
  std::unique_ptr<PageServer> server_;
};

// 200 connections that trickle their headers a byte at a time hold no thread:
// normal requests keep being answered at once, and the trickling does not
// extend the header deadline, which ends each slow request with 408.
TEST_F(PageServerLimitsTest, SlowClientsNeitherStallOthersNorOutliveTheHeaderDeadline) {
  site_.Write("hello.asp", "hello <%= Request.QueryString('n') %>");
  limits_.header_seconds = 3;
  limits_.connections_per_address = 400;
  StartServer();
  Clock::time_point start = Clock::now();
  std::vector<Socket> slow;
  for (int i = 0; i < 200; ++i) {
    slow.emplace_back(port());
    ASSERT_TRUE(slow.back().ok()) << i;
    ASSERT_TRUE(slow.back().Send("GET /hello.asp HTTP/1.1\r\nHost: x\r\n"));
  }
  std::atomic<bool> trickling{true};
  std::thread trickler([&] {
    // One header byte on every slow connection every 100 ms: far more often
    // than any per-read timeout, never a whole header.
    while (trickling) {
      for (Socket& s : slow) (void)::send(s.fd(), "X", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  double slowest = 0;
  int answered = 0;
  for (int i = 0; i < 10; ++i) {
    Clock::time_point one = Clock::now();
    auto r = Client().Get("/hello.asp?n=" + std::to_string(i));
    slowest = std::max(slowest, SecondsSince(one));
    if (r && r->status == 200 && r->body == "hello " + std::to_string(i)) ++answered;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  EXPECT_EQ(answered, 10);
  EXPECT_LT(slowest, 1.0) << "a normal request waited behind the slow connections";
  // Past the deadline every slow request has its 408, though bytes kept coming.
  int timed_out = 0;
  for (Socket& s : slow) {
    s.SetTimeout(8);
    std::string pending;
    auto a = ReadAnswer(s, &pending);
    if (a && a->status == 408) ++timed_out;
  }
  trickling = false;
  trickler.join();
  EXPECT_EQ(timed_out, 200);
  EXPECT_GE(SecondsSince(start), 3.0) << "a slow request ended before its deadline";
  EXPECT_LT(SecondsSince(start), 3.0 + 8.0);
}

TEST_F(PageServerLimitsTest, OversizedRequestLinesAndHeadersAreRefused) {
  site_.Write("ok.asp", "ok");
  StartServer();
  std::string many = "GET /ok.asp HTTP/1.1\r\nHost: x\r\n";
  for (int i = 0; i < 1000; ++i) many += "X-" + std::to_string(i) + ": y\r\n";
  std::string pending;
  Socket s(port());
  s.Send(many + "\r\n");
  auto a = ReadAnswer(s, &pending);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->status, 431);

  // Fewer bytes than the byte limit, more fields than the count limit.
  std::string fields = "GET /ok.asp HTTP/1.1\r\nHost: x\r\n";
  for (int i = 0; i < 150; ++i) fields += "A: b\r\n";
  EXPECT_TRUE(RawExchange(port(), fields + "\r\n").starts_with("HTTP/1.1 431"));
  // One field over the byte limit.
  std::string big =
      "GET /ok.asp HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(20000, 'b') + "\r\n\r\n";
  EXPECT_TRUE(RawExchange(port(), big).starts_with("HTTP/1.1 431"));
  // A long target, whether or not it fits in the header bytes.
  EXPECT_TRUE(RawExchange(port(), "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n")
                  .starts_with("HTTP/1.1 414"));
  EXPECT_TRUE(
      RawExchange(port(), "GET /" + std::string(30000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n")
          .starts_with("HTTP/1.1 414"));
  EXPECT_TRUE(RawExchange(port(), "BLAH\r\n\r\n").starts_with("HTTP/1.1 400"));
  EXPECT_EQ(Client().Get("/ok.asp")->body, "ok") << "the server keeps serving";
  std::string log = Log();
  EXPECT_NE(log.find("\" 431 "), std::string::npos) << log;
  EXPECT_NE(log.find("header fields over the count limit"), std::string::npos) << log;
  EXPECT_NE(log.find("\" 414 "), std::string::npos) << log;
}

// The body limit holds for every transfer coding, and a refused body never
// reaches the page.
TEST_F(PageServerLimitsTest, BodiesOverTheLimitAreRefusedBeforeThePageRuns) {
  site_.Write("form.asp",
              "<% Server.CreateObject('Test.Chart'); Response.Write(Request.Form('a').length); %>");
  limits_.body_bytes = 64 << 10;
  StartServer();
  int before = Counters().activations;
  std::string chunk(16 << 10, 'x');
  char size[16];
  std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
  std::string chunked =
      "POST /form.asp HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n\r\n";
  Socket s(port());
  ASSERT_TRUE(s.Send(chunked));
  bool refused_midway = false;
  for (int i = 0; i < 16 && !refused_midway; ++i)  // 256 KiB in all
    refused_midway = !s.Send(size + chunk + "\r\n");
  std::string pending;
  auto a = ReadAnswer(s, &pending);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->status, 413);
  EXPECT_EQ(Counters().activations, before) << "the page ran on a refused body";

  // A declared length over the limit, announced with 100-continue: refused
  // without the Continue.
  std::string answer = RawExchange(
      port(),
      "POST /form.asp HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\nExpect: 100-continue\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n\r\n");
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 413")) << answer.substr(0, 40);
  EXPECT_EQ(Counters().activations, before);

  // A body at the limit reaches Request.Form whole, in either coding.
  std::string body = "a=" + std::string((64 << 10) - 2, 'z');
  auto r = Client().Post("/form.asp", body, "application/x-www-form-urlencoded");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, std::to_string(body.size() - 2));
  std::snprintf(size, sizeof size, "%zx\r\n", body.size());
  answer = RawExchange(port(), chunked.substr(0, chunked.size() - 2) + "Connection: close\r\n\r\n" +
                                   size + body + "\r\n0\r\n\r\n");
  EXPECT_NE(answer.find("\r\n\r\n" + std::to_string(body.size() - 2)), std::string::npos)
      << answer.substr(0, 200);
}

TEST_F(PageServerLimitsTest, ExpectContinueIsAnsweredBeforeTheBody) {
  site_.Write("form.asp", "<%= Request.Form('a') %>");
  StartServer();
  Socket s(port());
  ASSERT_TRUE(
      s.Send("POST /form.asp HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nExpect: 100-continue\r\n"
             "Content-Type: application/x-www-form-urlencoded\r\n\r\n"));
  std::string got;
  while (got.find("\r\n\r\n") == std::string::npos && s.Receive(&got) > 0) {
  }
  EXPECT_EQ(got, "HTTP/1.1 100 Continue\r\n\r\n");
  ASSERT_TRUE(s.Send("a=xyz"));
  std::string pending;
  auto a = ReadAnswer(s, &pending);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->status, 200);
  EXPECT_EQ(a->body, "xyz");
}

TEST_F(PageServerLimitsTest, BodyDeadlineAndKeepAliveIdleTime) {
  site_.Write("form.asp", "<%= Request.Form('a') %>");
  limits_.body_seconds = 1;
  limits_.keep_alive_seconds = 1;
  StartServer();
  Socket s(port());
  ASSERT_TRUE(
      s.Send("POST /form.asp HTTP/1.1\r\nHost: x\r\nContent-Length: 50\r\n"
             "Content-Type: application/x-www-form-urlencoded\r\n\r\na=1"));
  std::string pending;
  Clock::time_point start = Clock::now();
  auto a = ReadAnswer(s, &pending);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->status, 408);
  EXPECT_LT(SecondsSince(start), 5.0);

  // A kept-alive connection is closed after its idle time, not before.
  Socket kept(port());
  ASSERT_TRUE(kept.Send("GET /form.asp HTTP/1.1\r\nHost: x\r\n\r\n"));
  pending.clear();
  ASSERT_TRUE(ReadAnswer(kept, &pending));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(kept.Send("GET /form.asp HTTP/1.1\r\nHost: x\r\n\r\n"));
  auto again = ReadAnswer(kept, &pending);
  ASSERT_TRUE(again) << "closed before its idle time";
  EXPECT_EQ(again->status, 200);
  start = Clock::now();
  EXPECT_EQ(kept.ReadAll(), "") << "an idle connection gets no answer";
  EXPECT_LT(SecondsSince(start), 5.0) << "the idle connection was not closed";
}

// A client that stops reading holds its connection no longer than the
// write deadline.
TEST_F(PageServerLimitsTest, AClientThatDoesNotReadIsCutOffAtTheWriteDeadline) {
  site_.Write("big.bin", std::string(std::size_t{64} << 20, 'b'));
  site_.Write("ok.asp", "ok");
  limits_.write_seconds = 1;
  StartServer();
  Socket s = StalledReader("/big.bin");
  EXPECT_EQ(Client().Get("/ok.asp")->body, "ok") << "others are served meanwhile";
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  ExpectCutOff(s, "answer not written whole");
}

// A page's answer goes out from its apartment as far as the socket takes it
// at once; a client that reads slowly gets the rest from its connection,
// whole and in order, and the connection goes on. One that stops reading is
// cut off at the write deadline as for any answer.
TEST_F(PageServerLimitsTest, APageAnswerTheSocketCannotTakeAtOnceIsFinishedOrCutOff) {
  // 8 MB: far more than a loopback socket takes without a reader.
  site_.Write("big.asp",
              "<%@ Language=\"JScript\" %><% var s = '0123456789abcdef';"
              " for (var i = 0; i < 19; i++) s += s; Response.Write(s); %>");
  site_.Write("ok.asp", "ok <%= Request.QueryString('n') %>");
  limits_.write_seconds = 2;
  StartServer();
  std::string expected;
  for (int i = 0; i < (1 << 19); ++i) expected += "0123456789abcdef";

  Socket slow(port(), 20);
  ASSERT_TRUE(slow.Send("GET /big.asp HTTP/1.1\r\nHost: x\r\n\r\n"));
  // Long enough for the page to run and fill the socket, well inside the
  // write deadline.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(Client().Get("/ok.asp?n=1")->body, "ok 1") << "others are served meanwhile";
  std::string pending;
  auto big = ReadAnswer(slow, &pending);
  ASSERT_TRUE(big);
  EXPECT_EQ(big->status, 200);
  EXPECT_EQ(big->body.size(), expected.size());
  EXPECT_TRUE(big->body == expected) << "the answer's bytes came out of order";
  ASSERT_TRUE(slow.Send("GET /ok.asp?n=2 HTTP/1.1\r\nHost: x\r\n\r\n"));
  auto next = ReadAnswer(slow, &pending);
  ASSERT_TRUE(next) << "the connection did not go on after the answer";
  EXPECT_EQ(next->body, "ok 2");

  Socket stalled = StalledReader("/big.asp");
  std::this_thread::sleep_for(std::chrono::milliseconds(4000));
  ExpectCutOff(stalled, "\"GET /big.asp HTTP/1.1\" 200: answer not written whole");
}

TEST_F(PageServerLimitsTest, PipelinedRequestsAreAnsweredInOrder) {
  site_.Write("n.asp", "page <%= Request.QueryString('n') %>");
  site_.Write("file.txt", "static");
  StartServer();
  Socket s(port());
  ASSERT_TRUE(
      s.Send("GET /n.asp?n=1 HTTP/1.1\r\nHost: x\r\n\r\n"
             "HEAD /n.asp?n=22 HTTP/1.1\r\nHost: x\r\n\r\n"
             "GET /file.txt HTTP/1.1\r\nHost: x\r\n\r\n"
             "GET /n.asp?n=3 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  std::string pending;
  auto first = ReadAnswer(s, &pending);
  auto second = ReadAnswer(s, &pending, /*head=*/true);
  auto third = ReadAnswer(s, &pending);
  auto fourth = ReadAnswer(s, &pending);
  ASSERT_TRUE(first && second && third && fourth);
  EXPECT_EQ(first->body, "page 1");
  EXPECT_EQ(second->status, 200);
  EXPECT_EQ(second->get_header_value("Content-Length"), "7") << "HEAD answers GET's length";
  EXPECT_EQ(third->body, "static");
  EXPECT_EQ(fourth->body, "page 3");
  EXPECT_FALSE(first->get_header_value("Date").empty());
  EXPECT_EQ(fourth->get_header_value("Connection"), "close");
  EXPECT_EQ(pending, "");
  EXPECT_EQ(s.ReadAll(), "") << "Connection: close is honoured";
  // HTTP/1.0 closes unless asked otherwise.
  std::string old = RawExchange(port(), "GET /n.asp?n=4 HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(old.starts_with("HTTP/1.0 200")) << old.substr(0, 40);
  EXPECT_TRUE(old.ends_with("page 4"));
}

// A page always answers whole; a static file answers a few ranges and no
// more, so a range flood cannot multiply an answer.
TEST_F(PageServerLimitsTest, RangesOnlyForStaticFilesAndOnlyAFew) {
  site_.Write("chart.asp", "<% for (var i = 0; i < 300; i++) Response.Write('0123456789'); %>");
  std::string data;
  for (int i = 0; i < 5000; ++i) data += static_cast<char>('a' + i % 26);
  site_.Write("data.bin", data);
  StartServer();
  std::string flood = "Range: bytes=0-";
  for (int i = 1; i < 2700; ++i) flood += ",0-";
  flood += "\r\n";
  auto page = Client().Get("/chart.asp", flood);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->body.size(), 3000u);
  EXPECT_EQ(page->get_header_value("Content-Range"), "");
  page = Client().Get("/chart.asp", "Range: bytes=0-9\r\n");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200) << "a page never answers a part";
  EXPECT_EQ(page->body.size(), 3000u);

  auto file = Client().Get("/data.bin", flood);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->status, 200);
  EXPECT_EQ(file->body, data) << "a range flood is answered whole, once";
  file = Client().Get("/data.bin", "Range: bytes=10-19\r\n");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->status, 206);
  EXPECT_EQ(file->body, data.substr(10, 10));
  EXPECT_EQ(file->get_header_value("Content-Range"), "bytes 10-19/5000");
  file = Client().Get("/data.bin", "Range: bytes=-5\r\n");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->body, data.substr(4995));
  file = Client().Get("/data.bin", "Range: bytes=0-1, 100-102\r\n");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->status, 206);
  EXPECT_TRUE(file->get_header_value("Content-Type").starts_with("multipart/byteranges"));
  EXPECT_NE(file->body.find("Content-Range: bytes 0-1/5000\r\n\r\nab\r\n"), std::string::npos);
  EXPECT_NE(file->body.find("Content-Range: bytes 100-102/5000\r\n\r\n" + data.substr(100, 3)),
            std::string::npos);
  file = Client().Get("/data.bin", "Range: bytes=0-0,2-2,4-4,6-6,8-8\r\n");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->status, 200) << "more ranges than the limit are answered whole";
  EXPECT_EQ(file->body, data);
  file = Client().Get("/data.bin", "Range: bytes=4990-\r\n");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->status, 206);
  EXPECT_EQ(file->body, data.substr(4990));
  file = Client().Get("/data.bin", "Range: bytes=0-10, 5-20\r\n");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->status, 200) << "overlapping ranges are answered whole";
  file = Client().Get("/data.bin", "Range: bytes=9000-\r\n");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->status, 416);
  EXPECT_EQ(file->get_header_value("Content-Range"), "bytes */5000");
  file = Client().Request("HEAD", "/data.bin", "Range: bytes=9000-\r\n", {});
  ASSERT_TRUE(file);
  EXPECT_EQ(file->status, 416);

  // A method the path does not take: 405, naming the methods it does.
  file = Client().Post("/data.bin", "x", "text/plain");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->status, 405);
  EXPECT_EQ(file->get_header_value("Allow"), "GET, HEAD");
  page = Client().Request("PUT", "/chart.asp", {}, "x");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 405);
  EXPECT_EQ(page->get_header_value("Allow"), "GET, HEAD, POST");

  // What the log counts as sent: no body for HEAD.
  const std::string log = Log();
  EXPECT_NE(log.find("\"HEAD /data.bin HTTP/1.1\" 416 0 "), std::string::npos) << log;
  EXPECT_NE(log.find("\"GET /data.bin HTTP/1.1\" 416 22 "), std::string::npos) << log;
}

// Page-set framing headers are never sent beside the host's, and a status
// or header that cannot be written fails the page.
TEST_F(PageServerLimitsTest, TheHostOwnsTheFramingOfEveryAnswer) {
  auto adds = [](const char* name, const char* value) {
    return std::string("<% try { Response.AddHeader('") + name + "', '" + value +
           "'); } catch (e) { Response.Status = '500 Refused'; } Response.Write('body'); %>";
  };
  site_.Write("length.asp", adds("Content-Length", "5"));
  site_.Write("chunked.asp", adds("Transfer-Encoding", "chunked"));
  site_.Write("connection.asp", adds("Connection", "close"));
  site_.Write("status.asp",
              "<% try { Response.Status = '999 Odd'; } catch (e) {"
              " Response.Status = '500 Refused'; } %>");
  site_.Write("name.asp",
              "<% try { Response.AddHeader('X A', 'b'); } catch (e) {"
              " Response.Status = '500 Refused'; } %>");
  // A status the page's Response takes but the host cannot answer with: an
  // interim one would hand the connection to whatever the page writes next.
  site_.Write("interim.asp", "<% Response.Status = '101 Switching Protocols'; %>upgraded");
  site_.Write("ok.asp", "<% Response.AddHeader('X-Fine', 'yes'); %>fine");
  // Fields too long to pass a reverse proxy, and one too long for the HTTP
  // library itself: a 500, and the server goes on.
  auto long_text = [](int n) {
    return "var v = 'x'; while (v.length < " + std::to_string(n) + ") v += v;";
  };
  site_.Write("long_header.asp",
              "<% " + long_text(9000) + " Response.AddHeader('X-Long', v); %>long");
  site_.Write("huge_header.asp", "<% " + long_text(70000) + " Response.Redirect('/back?' + v); %>");
  site_.Write("huge_type.asp", "<% " + long_text(70000) + " Response.ContentType = v; %>huge");
  StartServer();
  TestClient client = Client();
  client.set_keep_alive(true);
  for (const char* page : {"/long_header.asp", "/huge_header.asp", "/huge_type.asp"}) {
    auto r = client.Get(page);
    ASSERT_TRUE(r) << page;
    EXPECT_EQ(r->status, 500) << page;
    EXPECT_EQ(r->body, "Internal Server Error\n") << page;
  }
  for (const char* page : {"/length.asp", "/chunked.asp", "/connection.asp"}) {
    auto r = client.Get(page);
    ASSERT_TRUE(r) << page;
    EXPECT_EQ(r->count_header("Content-Length"), 1u) << page;
    EXPECT_EQ(r->get_header_value("Content-Length"), std::to_string(r->body.size())) << page;
    EXPECT_EQ(r->count_header("Transfer-Encoding"), 0u) << page;
    EXPECT_EQ(r->count_header("Connection"), 0u) << page << ": the connection stays open";
  }
  for (const char* page : {"/status.asp", "/name.asp"}) {
    auto r = client.Get(page);
    ASSERT_TRUE(r) << page;
    EXPECT_EQ(r->status, 500) << page;
    EXPECT_EQ(r->count_header("X A"), 0u);
  }
  // The host's own check refuses it, with its own plain answer.
  auto r = client.Get("/interim.asp");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 500);
  EXPECT_EQ(r->body, "Internal Server Error\n");
  EXPECT_EQ(r->get_header_value("Content-Type"), "text/plain");
  r = client.Get("/ok.asp");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->get_header_value("X-Fine"), "yes");
  EXPECT_EQ(r->body, "fine");
  const std::string log = Log();
  EXPECT_NE(log.find("the header X-Long over the limit of 8192 bytes"), std::string::npos) << log;
  EXPECT_NE(log.find("the header Location over the limit"), std::string::npos) << log;
  EXPECT_NE(log.find("a content type or status over the limit"), std::string::npos) << log;
}

TEST_F(PageServerLimitsTest, ConnectionsOverTheLimitsAreRefusedAndOthersServed) {
  site_.Write("ok.asp", "ok");
  limits_.connections_per_address = 4;
  StartServer();
  std::vector<Socket> held;
  for (int i = 0; i < 4; ++i) held.emplace_back(port());
  // Each held connection has been admitted once its first request is
  // answered.
  for (Socket& s : held) {
    ASSERT_TRUE(s.Send("GET /ok.asp HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string pending;
    ASSERT_TRUE(ReadAnswer(s, &pending));
  }
  Socket extra(port());
  std::string pending;
  auto refused = ReadAnswer(extra, &pending);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503);
  held.pop_back();
  // The closed connection is counted out within moments.
  std::optional<HttpAnswer> r;
  for (int i = 0; i < 50 && !(r && r->status == 200); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    r = Client().Get("/ok.asp");
  }
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_NE(Log().find("\" 503 0 "), std::string::npos);
}

// Control characters and quotes from the request target are escaped in the
// access log, and a long target is cut.
TEST_F(PageServerLimitsTest, TheAccessLogEscapesAndCapsClientText) {
  site_.Write("ok.asp", "ok");
  StartServer();
  RawExchange(port(), "GET /ok.asp?a=\"\xff\x80q HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  RawExchange(port(), "GET /ok.asp?" + std::string(7000, 'q') +
                          " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  std::string log = Log();
  EXPECT_NE(log.find("/ok.asp?a=\\x22\\xff\\x80q HTTP/1.1\" 200"), std::string::npos) << log;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_LT(line.size(), 1200u);
    for (char c : line) {
      auto u = static_cast<unsigned char>(c);
      EXPECT_TRUE(u >= 0x20 && u < 0x7f) << "raw byte " << int{u} << " in " << line;
    }
  }
}

// Stop ends slow clients at once and lets a page in flight finish and
// answer; a page that would outrun the shutdown bound is stopped at it.
TEST_F(PageServerLimitsTest, ShutdownIsBoundedWithSlowClientsAndPagesInFlight) {
  site_.Write("short.asp",
              "<% var t = new Date().getTime(); while (new Date().getTime() - t < 1000) {} %>done");
  site_.Write("endless.asp", "<% for (;;) {} %>");
  limits_.connections_per_address = 100;
  StartServer();
  std::vector<Socket> slow;
  for (int i = 0; i < 20; ++i) {
    slow.emplace_back(port());
    slow.back().Send("GET /short.asp HTTP/1.1\r\nHost: x\r\nX-Slow: ");
  }
  std::optional<HttpAnswer> finished, stopped;
  std::thread a([&] { finished = Client().Get("/short.asp"); });
  std::thread b([&] { stopped = Client().Get("/endless.asp"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Clock::time_point start = Clock::now();
  server_->Stop();
  double took = SecondsSince(start);
  a.join();
  b.join();
  EXPECT_LT(took, 11.0);
  EXPECT_GE(took, 9.0) << "the endless page was stopped before the shutdown bound";
  ASSERT_TRUE(finished) << "a page in flight was cut off";
  EXPECT_EQ(finished->body, "done");
  for (Socket& s : slow) {
    s.SetTimeout(1);
    std::string got;
    EXPECT_EQ(s.Receive(&got), 0) << "a slow client was answered or left open: " << got;
  }
}

}  // namespace
}  // namespace qz::host::test
