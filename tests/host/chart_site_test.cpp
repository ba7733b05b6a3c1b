// End to end with the real chart component: the example site served over
// HTTP, with Quenza.so registered and loaded through the object registry.
// Skipped, saying why, until build/Quenza.so and its registration exist.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <thread>

#include "host/chart_warmup.h"
#include "host/object_factory.h"
#include "host/page_server.h"
#include "tests/host/http_util.h"
#include "tests/host/page_test_util.h"

namespace qz::host::test {
namespace {

struct Size {
  int width = 0;
  int height = 0;
};

Size JpegSize(const std::string& data) {
  tjhandle h = tjInitDecompress();
  int w = 0, hgt = 0, sub = 0, colours = 0;
  int rc = tjDecompressHeader3(h, reinterpret_cast<const unsigned char*>(data.data()),
                               static_cast<unsigned long>(data.size()), &w, &hgt, &sub, &colours);
  Size s;
  if (rc == 0) {
    // Decode it whole: the header alone does not prove the image is sound.
    std::vector<unsigned char> pixels(static_cast<std::size_t>(w) * static_cast<std::size_t>(hgt) *
                                      3);
    if (tjDecompress2(h, reinterpret_cast<const unsigned char*>(data.data()),
                      static_cast<unsigned long>(data.size()), pixels.data(), w, 0, hgt, TJPF_RGB,
                      0) == 0) {
      s = {w, hgt};
    }
  }
  tjDestroy(h);
  return s;
}

Size BmpSize(const std::string& data) {
  if (data.size() < 54 || data.compare(0, 2, "BM") != 0) return {};
  auto le32 = [&](std::size_t at) {
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(static_cast<unsigned char>(data[at])) |
        static_cast<std::uint32_t>(static_cast<unsigned char>(data[at + 1])) << 8 |
        static_cast<std::uint32_t>(static_cast<unsigned char>(data[at + 2])) << 16 |
        static_cast<std::uint32_t>(static_cast<unsigned char>(data[at + 3])) << 24);
  };
  std::int32_t w = le32(18), h = le32(22);
  std::uint32_t offset = static_cast<std::uint32_t>(le32(10));
  std::size_t row = (static_cast<std::size_t>(w) * 3 + 3) & ~std::size_t{3};
  if (w <= 0 || h == 0 || offset + row * static_cast<std::size_t>(std::abs(h)) > data.size())
    return {};
  return {w, std::abs(h)};
}

class ChartSiteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* build = QZ_BUILD_DIR;
    const char* source = QZ_SOURCE_DIR;
    std::filesystem::path library = std::filesystem::path(build) / "Quenza.so";
    if (!std::filesystem::exists(library))
      GTEST_SKIP() << "pending: " << library << " is not built yet";
    std::string registry = (site_.root() / "registry.txt").string();
    ::setenv("QUENZA_REGISTRY", registry.c_str(), 1);
    std::string cmd =
        std::string(build) + "/quenza regsvr " + library.string() + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0)
      GTEST_SKIP() << "pending: quenza regsvr cannot register " << library;
    try {
      CreateRegisteredObject("Quenza.QuenzaChart");
    } catch (const Error& e) {
      GTEST_SKIP() << "pending: creation by ProgID fails: " << e.what();
    }
    std::filesystem::copy(std::filesystem::path(source) / "examples/site", site_.root() / "site",
                          std::filesystem::copy_options::recursive);
    site_.Write("site/props.asp",
                "<% var a = Server.CreateObject('Quenza.QuenzaChart'); var b = new "
                "ActiveXObject('Quenza.QuenzaChart');"
                " Response.Write([a.FillRed, a.SecondYAxisScale, typeof b.FillRed, "
                "b.SecondYAxisScale].join(' '));"
                " try { a.FillBlue = 40000; } catch (e) { Response.Write(' ' + e.number); } %>");
    ServerOptions options;
    options.root = site_.root() / "site";
    options.port = 0;
    options.threads = 8;
    options.create_object = CreateRegisteredObject;
    options.warm_worker = [root = options.root] { WarmChartWorker(root); };
    server_ = std::make_unique<PageServer>(options);
    std::string why;
    ASSERT_TRUE(server_->Bind(&why)) << why;
    server_->Start();
  }
  void TearDown() override {
    if (server_) server_->Stop();
    ::unsetenv("QUENZA_REGISTRY");
  }
  // The render methods are the last part of the component to arrive; until
  // they do, the image tests are pending.
  void NeedRenderRoad() {
    ComPtr<IDispatch> chart = CreateRegisteredObject("Quenza.QuenzaChart");
    DISPID id = DISPID_UNKNOWN;
    for (const char* size : {"Height", "Width"}) {
      ASSERT_TRUE(Succeeded(chart->GetIDsOfNames(size, &id)));
      Variant one[] = {Variant(1)};
      ASSERT_TRUE(Succeeded(chart->Invoke(id, DISPATCH_PROPERTYPUT, one, nullptr, nullptr)));
    }
    ASSERT_TRUE(Succeeded(chart->GetIDsOfNames("SaveChart", &id)));
    std::string file = (site_.root() / "probe.bmp").string();
    Variant args[] = {Variant(file)};
    Variant result;
    EXCEPINFO excep;
    HRESULT hr = chart->Invoke(id, DISPATCH_METHOD, args, &result, &excep);
    // 445, Object doesn't support this action: the placeholder of a build
    // without the render methods. Any other failure is a real one.
    if (hr == HResultFromNumber(445))
      GTEST_SKIP() << "pending: the render road is not in this build";
    ASSERT_TRUE(Succeeded(hr)) << excep.description;
    ASSERT_TRUE(std::filesystem::exists(file));
  }
  // Replaces the fixture's server with one of the given workers, each warmed
  // by warm (the chart warm-up when empty); waits until all are warm.
  void Restart(int threads, std::function<void()> warm = {}) {
    server_->Stop();
    server_.reset();
    ServerOptions options;
    options.root = site_.root() / "site";
    options.port = 0;
    options.threads = threads;
    options.create_object = CreateRegisteredObject;
    if (!warm) warm = [root = options.root] { WarmChartWorker(root); };
    warmed_ = 0;
    options.warm_worker = [this, warm] {
      warm();
      ++warmed_;
    };
    server_ = std::make_unique<PageServer>(options);
    std::string why;
    ASSERT_TRUE(server_->Bind(&why)) << why;
    server_->Start();
    for (int i = 0; i < 3000 && warmed_ < threads; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(warmed_, threads);
  }
  // Runs quenza page on a page of the site; its exit status, the body in
  // *body and what it wrote on stderr in *err.
  int QuenzaPage(const std::string& page, std::string* body, std::string* err,
                 const std::string& env = "") {
    std::filesystem::path out = site_.root() / "page.out", log = site_.root() / "page.err";
    std::string cmd = env + " " + std::string(QZ_BUILD_DIR) + "/quenza page " +
                      (site_.root() / "site" / page).string() + " --out " + out.string() + " 2>" +
                      log.string();
    int status = std::system(cmd.c_str());
    std::ifstream in(out, std::ios::binary);
    *body = std::string(std::istreambuf_iterator<char>(in), {});
    std::ifstream err_in(log);
    *err = std::string(std::istreambuf_iterator<char>(err_in), {});
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::optional<HttpAnswer> Get(const std::string& path) {
    TestClient c(server_->port());
    c.set_read_timeout(60, 0);
    return c.Get(path);
  }

  TempSite site_;
  std::unique_ptr<PageServer> server_;
  std::atomic<int> warmed_{0};
};

TEST_F(ChartSiteTest, ActivationDefaultsOnlyInTheObjectContext) {
  auto r = Get("/props.asp");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "255 true undefined false -2146828282");
}

TEST_F(ChartSiteTest, ExamplePagesAnswerImagesOfTheRequestedSize) {
  NeedRenderRoad();
  if (IsSkipped()) return;
  for (const char* kind : {"bar2d", "line2d", "area2d", "pie2d", "bar3d", "line3d", "area3d",
                           "step3d", "logo", "error"}) {
    auto r = Get(std::string("/") + kind + ".asp");
    ASSERT_TRUE(r) << kind;
    EXPECT_EQ(r->get_header_value("Content-Type"), "image/jpg")
        << kind << ": " << r->body.substr(0, 200);
    Size s = JpegSize(r->body);
    EXPECT_EQ(s.width, 384) << kind;
    EXPECT_EQ(s.height, 288) << kind;
  }
  auto r = Get("/bar2d.asp?img=bmp");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->get_header_value("Content-Type"), "image/bmp");
  Size s = BmpSize(r->body);
  EXPECT_EQ(s.width, 384);
  EXPECT_EQ(s.height, 288);
  r = Get("/playground.asp?draw=1&type=5&w=3&h=2.5&img=bmp&title=Hi&data=1,2;3,4");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->get_header_value("Content-Type"), "image/bmp");
  s = BmpSize(r->body);
  EXPECT_EQ(s.width, 288);
  EXPECT_EQ(s.height, 240);
  r = Get("/bench.asp");
  ASSERT_TRUE(r);
  s = JpegSize(r->body);
  EXPECT_EQ(s.width, 576);
  EXPECT_EQ(s.height, 384);
}

// Width and height from a PNG's IHDR.
Size PngSize(const std::string& data) {
  if (data.size() < 24 || data.compare(1, 3, "PNG") != 0) return {};
  auto at = [&](std::size_t i) {
    return static_cast<int>(
        static_cast<unsigned char>(data[i]) << 24 | static_cast<unsigned char>(data[i + 1]) << 16 |
        static_cast<unsigned char>(data[i + 2]) << 8 | static_cast<unsigned char>(data[i + 3]));
  };
  return {at(16), at(20)};
}

TEST_F(ChartSiteTest, PlaygroundFormatsResolutionAndTheClickableChart) {
  NeedRenderRoad();
  if (IsSkipped()) return;
  auto r = Get("/playground.asp?draw=1&type=1&w=3&h=2&img=png&dpi=192&data=1,2;3,4");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->get_header_value("Content-Type"), "image/png");
  const Size s = PngSize(r->body);
  EXPECT_EQ(s.width, 576);
  EXPECT_EQ(s.height, 384);
  r = Get("/playground.asp?draw=1&type=4&w=3&h=2&img=SVG&data=1,2;3,4");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->get_header_value("Content-Type"), "image/svg+xml");
  EXPECT_NE(r->body.find("width=\"288px\""), std::string::npos);
  r = Get("/playground.asp?img=PNG&dpi=144");
  ASSERT_TRUE(r);
  EXPECT_NE(r->body.find("<option selected>PNG</option>"), std::string::npos);
  EXPECT_NE(r->body.find("dpi=144"), std::string::npos);

  r = Get("/imagemap.asp");
  ASSERT_TRUE(r);
  EXPECT_NE(r->body.find("usemap=\"#sales\""), std::string::npos);
  EXPECT_NE(r->body.find("<map name=\"sales\">"), std::string::npos);
  std::size_t areas = 0;
  for (std::size_t at = r->body.find("<area "); at != std::string::npos;
       at = r->body.find("<area ", at + 1))
    ++areas;
  EXPECT_EQ(areas, 18u);
  EXPECT_NE(r->body.find("title=\"Mar, North: 31\""), std::string::npos);
  EXPECT_NE(r->body.find("href=\"imagemap.asp?row=Mar&amp;series=North&amp;value=31\""),
            std::string::npos);
  EXPECT_NE(r->body.find("alt=\"Bar chart \u201CSales by region\u201D"), std::string::npos);
  EXPECT_NE(r->body.find("<caption>Sales by region</caption>"), std::string::npos);
  r = Get("/imagemap.asp?row=Mar&series=North&value=31");
  ASSERT_TRUE(r);
  EXPECT_NE(r->body.find("You picked North in Mar: 31 units."), std::string::npos);
  r = Get("/imagemap.asp?draw=1");
  ASSERT_TRUE(r);
  EXPECT_EQ(PngSize(r->body).width, 576);

  // Every example chart on either index has an alt text of its own, the
  // chart's own description.
  for (const char* index : {"/index.asp", "/vbs/index.asp"}) {
    r = Get(index);
    ASSERT_TRUE(r) << index;
    EXPECT_NE(
        r->body.find("alt=\"3-D step chart \u201C3-D step\u201D of 3 series (North, South, West)"),
        std::string::npos)
        << index;
    EXPECT_EQ(r->body.find("alt=\"\""), std::string::npos) << index;
  }
}

TEST_F(ChartSiteTest, SaveChartWritesTheFileItLinksTo) {
  NeedRenderRoad();
  if (IsSkipped()) return;
  auto r = Get("/save.asp");
  ASSERT_TRUE(r);
  std::size_t at = r->body.find("href=\"saved/");
  ASSERT_NE(at, std::string::npos) << r->body;
  std::string name = r->body.substr(at + 6, r->body.find('"', at + 6) - at - 6);
  auto image = Get("/" + name);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->get_header_value("Content-Type"), "image/jpeg");
  EXPECT_GT(JpegSize(image->body).width, 0);
}

// Any client may ask the playground for a chart: what it asks is capped at
// 16 inches a side and 2,000 values, and the page says so.
TEST_F(ChartSiteTest, PlaygroundCapsWhatAClientAsks) {
  NeedRenderRoad();
  if (IsSkipped()) return;
  std::string data = "1";
  for (int i = 1; i < 1500; ++i) data += i % 50 == 0 ? ";1" : ",1";
  auto r = Get("/playground.asp?draw=1&type=1&w=84&h=84&data=" + data + ";" + data);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->get_header_value("Content-Type"), "image/jpg") << r->body.substr(0, 200);
  Size s = JpegSize(r->body);
  EXPECT_EQ(s.width, 16 * 96);
  EXPECT_EQ(s.height, 16 * 96);
  // The values past the 2,000th are dropped, whole rows at a time: the
  // chart is the one of the first 40 rows of 50.
  std::size_t tenth = 0;
  for (int i = 0; i < 10; ++i) tenth = data.find(';', tenth + 1);
  auto capped =
      Get("/playground.asp?draw=1&type=1&w=16&h=16&data=" + data + ";" + data.substr(0, tenth));
  ASSERT_TRUE(capped);
  EXPECT_EQ(capped->body, r->body);
  auto fewer = Get("/playground.asp?draw=1&type=1&w=16&h=16&data=" + data);
  ASSERT_TRUE(fewer);
  EXPECT_NE(fewer->body, r->body) << "the comparison tells charts apart";
  r = Get("/playground.asp?w=84");
  ASSERT_TRUE(r);
  EXPECT_NE(r->body.find("at most 16 inches"), std::string::npos);
  EXPECT_NE(r->body.find("value=\"16\""), std::string::npos) << "the form shows the capped width";
}

// 200 requests from 32 clients at once, each for a chart with its own title
// and data: each answer must be byte for byte the chart that the same
// request gives on its own.
TEST_F(ChartSiteTest, ConcurrentClientsEachReceiveTheirOwnChart) {
  NeedRenderRoad();
  if (IsSkipped()) return;
  auto url = [](int i) {
    return "/playground.asp?draw=1&type=1&w=3&h=2&title=Chart+" + std::to_string(i) +
           "&data=" + std::to_string(i % 17 + 1) + "," + std::to_string(i % 5 + 2) + ";" +
           std::to_string(i % 11 + 3) + ",4";
  };
  std::map<int, std::string> reference;
  for (int i = 0; i < 200; ++i) {
    auto r = Get(url(i));
    ASSERT_TRUE(r);
    ASSERT_EQ(r->get_header_value("Content-Type"), "image/jpg");
    reference[i] = r->body;
  }
  std::atomic<int> next{0}, same{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 32; ++t) {
    clients.emplace_back([&] {
      for (int i = next++; i < 200; i = next++) {
        auto r = Get(url(i));
        if (r && r->status == 200 && r->body == reference[i]) ++same;
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(same, 200);
}

// A fresh chart engine draws some settings unlike one that a chart object
// has left: every road to a page warms its worker first, so a page gives the
// same bytes through quenza page, as a worker's first page and as a later one,
// also on a worker whose warm-up failed.
TEST_F(ChartSiteTest, OnePageGivesTheSameChartOnEveryRoad) {
  NeedRenderRoad();
  if (IsSkipped()) return;
  std::string by_command, err;
  ASSERT_EQ(QuenzaPage("bar2d.asp", &by_command, &err), 0) << err;
  ASSERT_GT(JpegSize(by_command).width, 0) << err;

  Restart(1);
  auto first = Get("/bar2d.asp");
  auto later = Get("/bar2d.asp");
  ASSERT_TRUE(first && later);
  EXPECT_TRUE(first->body == by_command) << "first page of a worker";
  EXPECT_TRUE(later->body == by_command) << "later page of a worker";

  // No registry while the worker warms up: its warm-up cannot create the
  // chart, and it tries again before its first page.
  std::string registry = std::getenv("QUENZA_REGISTRY");
  ::setenv("QUENZA_REGISTRY", (site_.root() / "missing-registry.txt").c_str(), 1);
  Restart(1, [root = site_.root() / "site"] { WarmChartWorker(root); });
  ::setenv("QUENZA_REGISTRY", registry.c_str(), 1);
  auto after_failed = Get("/bar2d.asp");
  ASSERT_TRUE(after_failed);
  EXPECT_TRUE(after_failed->body == by_command) << "first page after a failed warm-up";
}

TEST_F(ChartSiteTest, WithoutTheRenderersFontsNeitherCommandStarts) {
  std::vector<std::string> found = FoundRendererFonts();
  EXPECT_FALSE(found.empty()) << "scripts/debian-packages.txt installs the fonts";
  std::string why;
  EXPECT_TRUE(CheckRendererFonts(&why)) << why;

  std::filesystem::path empty =
      site_.Write("no-fonts.conf", "<?xml version=\"1.0\"?>\n<fontconfig></fontconfig>\n");
  std::string env = "FONTCONFIG_FILE=" + empty.string();
  std::string body, err;
  EXPECT_EQ(QuenzaPage("bar2d.asp", &body, &err, env), 1);
  EXPECT_NE(err.find("fontconfig finds none of the fonts"), std::string::npos) << err;
  EXPECT_TRUE(body.empty());
  // The server refuses to start (bounded: a server that started would run).
  std::string cmd = env + " timeout 20 " + std::string(QZ_BUILD_DIR) + "/quenza serve --root " +
                    (site_.root() / "site").string() + " --listen 127.0.0.1:0 2>" +
                    (site_.root() / "serve.err").string();
  int status = std::system(cmd.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  std::ifstream in(site_.root() / "serve.err");
  std::string serve_err(std::istreambuf_iterator<char>(in), {});
  EXPECT_NE(serve_err.find("quenza serve: fontconfig finds none"), std::string::npos) << serve_err;
}

// Pages that once aborted the whole server, with the real component: each
// answers 500 and the server goes on serving charts.
TEST_F(ChartSiteTest, CrashPagesAnswer500AndTheServerGoesOn) {
  const char* pages[] = {
      "<% throw Response; %>",
      "<% throw Server.CreateObject(\"Quenza.QuenzaChart\"); %>",
      "<% throw { get number() { throw 1; } }; %>",
      "<% throw new Proxy({}, { get: function () { throw 1; } }); %>",
      "<% var e = new Error('x'); ['number', 'description', 'lineNumber'].forEach(function (k) {"
      " Object.defineProperty(e, k, { get: function () { throw 1; } }); }); throw e; %>",
      "<% var s='xxxxxxxx'; for (var i=0;i<60;i++){ try{ s=s+s; }catch(e){} } throw null; %>",
  };
  int n = 0;
  for (const char* page : pages) {
    SCOPED_TRACE(page);
    std::string name = "crash" + std::to_string(n++) + ".asp";
    site_.Write("site/" + name, page);
    auto r = Get("/" + name);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 500);
    auto next = Get("/props.asp");
    ASSERT_TRUE(next);
    EXPECT_EQ(next->body, "255 true undefined false -2146828282");
  }
}

TEST_F(ChartSiteTest, VbScriptPagesDrawTheSameBytesAsTheJavaScriptOnes) {
  NeedRenderRoad();
  for (const char* page :
       {"bar2d.asp", "line2d.asp", "area2d.asp", "pie2d.asp", "bar3d.asp", "line3d.asp",
        "area3d.asp", "step3d.asp", "bar2d.asp?img=bmp", "logo.asp", "error.asp", "bench.asp",
        "playground.asp?draw=1&type=6&title=T&w=3&h=2&data=1,2;3,4,5", "playground.asp?type=2"}) {
    SCOPED_TRACE(page);
    auto js = Get(std::string("/") + page);
    auto vbs = Get(std::string("/vbs/") + page);
    ASSERT_TRUE(js && vbs);
    EXPECT_EQ(js->status, 200);
    EXPECT_EQ(vbs->status, 200) << vbs->body;
    EXPECT_EQ(js->get_header_value("Content-Type"), vbs->get_header_value("Content-Type"));
    EXPECT_TRUE(js->body == vbs->body)
        << "the bodies differ (" << js->body.size() << " and " << vbs->body.size() << " bytes)";
  }
  auto index = Get("/vbs/index.asp");
  ASSERT_TRUE(index);
  EXPECT_EQ(index->status, 200);
  EXPECT_NE(index->body.find("step3d.asp"), std::string::npos);
}

}  // namespace
}  // namespace qz::host::test
