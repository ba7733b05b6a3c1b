// The quenza command as a shell sees it: --version, defaults in --help,
// unknown subcommands, number options, the registry warnings and the exit
// status of quenza page for each way a page can end. Runs build/quenza with
// a registry of its own in a temporary folder.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "host/cli_support.h"
#include "tests/host/page_test_util.h"

namespace qz::host::test {
namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override { registry_ = (site_.root() / "registry.txt").string(); }

  Outcome Quenza(const std::string& args) {
    Outcome o;
    const std::filesystem::path out = site_.root() / "stdout", err = site_.root() / "stderr";
    std::string cmd = "QUENZA_REGISTRY=" + Quote(registry_) + " timeout 60 " +
                      Quote(std::string(QZ_BUILD_DIR) + "/quenza") + " " + args + " >" +
                      Quote(out.string()) + " 2>" + Quote(err.string()) + " </dev/null";
    int rc = std::system(cmd.c_str());
    o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    o.out = Slurp(out);
    o.err = Slurp(err);
    return o;
  }
  void Register() {
    Outcome o = Quenza("regsvr " + Quote(std::string(QZ_BUILD_DIR) + "/Quenza.so"));
    ASSERT_EQ(o.status, 0) << o.err;
  }
  std::string Page(const std::string& rel, const std::string& script) {
    return site_.Write(rel, "<%@ Language=\"JScript\" %><%\n" + script + "\n%>").string();
  }

  TempSite site_;
  std::string registry_;
};

TEST_F(CliTest, VersionHelpAndUnknownSubcommand) {
  Outcome v = Quenza("--version");
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, "quenza " + std::string(kQuenzaVersion) + "\n");

  Outcome serve = Quenza("serve --help");
  EXPECT_EQ(serve.status, 0);
  EXPECT_NE(serve.out.find("--listen TEXT=127.0.0.1:8080"), std::string::npos) << serve.out;
  EXPECT_NE(serve.out.find("--script-timeout INT:1..86400=90"), std::string::npos) << serve.out;
  EXPECT_NE(serve.out.find("--threads INT:0..1024=0"), std::string::npos) << serve.out;

  Outcome page = Quenza("page --help");
  EXPECT_NE(page.out.find("Exit status: 0"), std::string::npos) << page.out;

  Outcome unknown = Quenza("frobnicate x");
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("unknown subcommand 'frobnicate'"), std::string::npos) << unknown.err;
  EXPECT_NE(unknown.err.find("serve"), std::string::npos) << unknown.err;
}

TEST_F(CliTest, NumberOptionsSayWhatTheyExpect) {
  Outcome words = Quenza("serve --threads many");
  EXPECT_NE(words.status, 0);
  EXPECT_NE(words.err.find("--threads: wants a whole number from 0 to 1024, not 'many'"),
            std::string::npos)
      << words.err;
  Outcome range = Quenza("page x.asp --script-timeout 0");
  EXPECT_NE(range.status, 0);
  EXPECT_NE(range.err.find("--script-timeout: wants a whole number from 1 to 86400, not '0'"),
            std::string::npos)
      << range.err;
}

TEST_F(CliTest, AMissingOrEmptyRegistryIsNamedWithTheCommandThatFillsIt) {
  std::string page = Page("p.asp", "var c = Server.CreateObject('Quenza.QuenzaChart');");
  Outcome missing = Quenza("page " + Quote(page));
  EXPECT_NE(missing.err.find(registry_ + " (QUENZA_REGISTRY"), std::string::npos) << missing.err;
  EXPECT_NE(missing.err.find("does not exist"), std::string::npos) << missing.err;
  EXPECT_NE(missing.err.find("quenza regsvr build/Quenza.so"), std::string::npos) << missing.err;
  EXPECT_EQ(missing.status, static_cast<int>(PageExit::kPageError));

  std::ofstream(registry_) << "# nothing registered\n";
  Outcome empty = Quenza("page " + Quote(page));
  EXPECT_NE(empty.err.find("holds no classes"), std::string::npos) << empty.err;
  EXPECT_NE(empty.err.find("quenza regsvr build/Quenza.so"), std::string::npos) << empty.err;

  // A page that creates nothing needs no registry and hears nothing of it.
  Outcome plain = Quenza("page " + Quote(Page("plain.asp", "Response.Write('hi');")));
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(plain.out, "hi");
  EXPECT_EQ(plain.err.find("warning"), std::string::npos) << plain.err;
}

TEST_F(CliTest, ServeWarnsAtStartWhenTheRegistryLacksTheSitesClasses) {
  Page("site/chart.asp", "var c = Server.CreateObject('Quenza.QuenzaChart');");
  // The server runs two seconds and is stopped with SIGINT, as Ctrl-C would;
  // the whole script is bounded by timeout.
  const std::filesystem::path err = site_.root() / "serve.err";
  site_.Write("serve.sh", "QUENZA_REGISTRY=" + Quote(registry_) + " " +
                              Quote(std::string(QZ_BUILD_DIR) + "/quenza") + " serve --root " +
                              Quote((site_.root() / "site").string()) + " --listen 127.0.0.1:0 2>" +
                              Quote(err.string()) +
                              " </dev/null &\npid=$!\nsleep 2\nkill -INT $pid\nwait $pid\n");
  const std::string cmd = "timeout 30 sh " + Quote((site_.root() / "serve.sh").string());
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  Outcome o;
  o.err = Slurp(err);
  EXPECT_NE(o.err.find("listening on http://127.0.0.1:"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("quenza serve: warning: the registry " + registry_), std::string::npos)
      << o.err;
  EXPECT_NE(o.err.find("quenza regsvr build/Quenza.so"), std::string::npos) << o.err;
}

TEST_F(CliTest, PageExitsZeroAndWritesTheImageWhenTheChartWasSent) {
  Register();
  std::string page = Page("good.asp",
                          "var c = Server.CreateObject('Quenza.QuenzaChart');\n"
                          "c.Height = 1; c.Width = 2; c.ChartType = 1; c.SendChart();");
  std::string out = (site_.root() / "good.jpg").string();
  Outcome o = Quenza("page " + Quote(page) + " --out " + Quote(out));
  EXPECT_EQ(o.status, static_cast<int>(PageExit::kRan)) << o.err;
  std::string image = Slurp(out);
  ASSERT_GE(image.size(), 3u);
  EXPECT_EQ(image.substr(0, 3), "\xFF\xD8\xFF");
  EXPECT_EQ(o.err.find("chart error"), std::string::npos) << o.err;
}

TEST_F(CliTest, PageExitsTwoOnAPageErrorAndLeavesTheOutFileAlone) {
  Register();
  std::string page = Page("bad.asp", "throw new Error('broken');");
  std::string out = (site_.root() / "bad.jpg").string();
  Outcome o = Quenza("page " + Quote(page) + " --out " + Quote(out));
  EXPECT_EQ(o.status, static_cast<int>(PageExit::kPageError)) << o.err;
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_NE(o.err.find("Status: 500"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("broken"), std::string::npos) << o.err;
}

TEST_F(CliTest, PageExitsThreeWhenARenderEndedInTheErrorAnswer) {
  Register();
  // Quenza.so is loaded into quenza: its event reaches the host's sink.
  std::string page = Page("nosize.asp",
                          "var c = Server.CreateObject('Quenza.QuenzaChart');\n"
                          "c.ChartType = 1;\n"
                          "c.SendChart();");
  std::string out = (site_.root() / "nosize.jpg").string();
  std::ofstream(out) << "old";
  Outcome o = Quenza("page " + Quote(page) + " --out " + Quote(out));
  EXPECT_EQ(o.status, static_cast<int>(PageExit::kChartError)) << o.err;
  EXPECT_EQ(Slurp(out), "old");
  EXPECT_NE(o.err.find("Application-defined or object-defined error"), std::string::npos) << o.err;
  std::size_t first = o.err.find("chart error /nosize.asp line 4: ");
  EXPECT_NE(first, std::string::npos) << o.err;
  EXPECT_EQ(o.err.find("chart error", first + 1), std::string::npos) << o.err;

  // Without --out the body still goes to stdout, as the client would get it.
  Outcome plain = Quenza("page " + Quote(page));
  EXPECT_EQ(plain.status, static_cast<int>(PageExit::kChartError));
  EXPECT_EQ(plain.out, "Application-defined or object-defined error");
}

TEST(CliSupport, ProgIdsOfPagesAreFoundOnceEachInAnyLetterCase) {
  TempSite site;
  site.Write("a.asp", "<% var x = Server.CreateObject(\"Quenza.QuenzaChart\"); %>");
  site.Write("sub/b.asp",
             "<% var y = new ActiveXObject( 'quenza.quenzachart' );"
             " var z = Server.createobject('Other.Thing'); %>");
  site.Write("c.txt", "<% Server.CreateObject('Not.APage') %>");
  std::vector<std::string> ids = ProgIdsOfPages(site.root());
  EXPECT_EQ(ids, (std::vector<std::string>{"Quenza.QuenzaChart", "Other.Thing"}));
}

TEST(CliSupport, ServeWarnsOfClassesItsPagesNeedButTheRegistryLacks) {
  TempSite site;
  std::string registry = (site.root() / "reg").string();
  ::setenv("QUENZA_REGISTRY", registry.c_str(), 1);
  std::ofstream(registry) << "class\t{8D1699C2-1C7A-48AD-AC1A-670D18C31F46}\tQuenza.QuenzaChart"
                             "\tApartment\t/x/Quenza.so\n";
  std::ostringstream out;
  EXPECT_TRUE(WarnAboutRegistry(out, "serve", {"quenza.quenzachart", "Other.Thing"}));
  EXPECT_EQ(out.str().find("ask for quenza.quenzachart"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("the pages ask for Other.Thing, which is not registered in " + registry +
                           "; register it with: quenza regsvr LIBRARY.so"),
            std::string::npos)
      << out.str();
  std::ostringstream none;
  EXPECT_FALSE(WarnAboutRegistry(none, "serve", {"Quenza.QuenzaChart"}));
  EXPECT_EQ(none.str(), "");
  ::unsetenv("QUENZA_REGISTRY");
}

TEST(CliSupport, PageExitWeighsAPageErrorAboveAFailedRender) {
  EXPECT_EQ(PageExitOf(200, 0), PageExit::kRan);
  EXPECT_EQ(PageExitOf(404, 0), PageExit::kRan);
  EXPECT_EQ(PageExitOf(200, 2), PageExit::kChartError);
  EXPECT_EQ(PageExitOf(500, 1), PageExit::kPageError);
}

}  // namespace
}  // namespace qz::host::test
