#include "host/page_engine.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "tests/host/page_test_util.h"

namespace qz::host::test {
namespace {

class PageEngineTest : public ::testing::Test {
 protected:
  PageResult Run(const std::string& page, const std::string& query = "",
                 const std::string& form = "") {
    std::filesystem::path file = site_.Write("page.asp", page);
    PageOptions options;
    options.root = site_.root();
    options.script_timeout_seconds = timeout_;
    options.script_memory_limit = memory_limit_;
    options.create_object = CreateTestObject;
    options.log = [this](const std::string& line) { log_.push_back(line); };
    PageRequest request;
    request.path = "/page.asp";
    request.query = query;
    request.headers.emplace_back("User-Agent", "tester");
    if (!form.empty()) {
      request.method = "POST";
      request.body = form;
      request.content_type = "application/x-www-form-urlencoded; charset=utf-8";
    }
    return RunPage(options, request, file);
  }
  void SetUp() override {
    Counters().live = 0;
    Counters().activations = 0;
    Counters().deactivations = 0;
    Counters().pool_questions = 0;
  }

  TempSite site_;
  int timeout_ = 90;
  std::size_t memory_limit_ = std::size_t{256} << 20;
  std::vector<std::string> log_;
};

TEST_F(PageEngineTest, LiteralTextCodeAndExpressionsKeepTheirOrder) {
  PageResult r =
      Run("<%@ Language=\"JScript\" %>\n<p>\"a\\b\"</p>\n<% for (var i = 0; i < 3; i++) { %>[<%= i "
          "* 2 %>]<% } %>\n"
          "<%= 'x' // trailing comment %>.");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.content_type, "text/html");
  EXPECT_EQ(r.body, "\n<p>\"a\\b\"</p>\n[0][2][4]\nx.");
}

TEST_F(PageEngineTest, ContextObjectIsActivatedAndActiveXObjectIsNot) {
  PageResult r = Run(
      "<% var a = Server.CreateObject('Test.Chart'); var b = new ActiveXObject('Test.Chart'); %>"
      "<%= a.FillRed %>,<%= a.SecondYAxisScale %>,<%= typeof b.FillRed %>,<%= b.SecondYAxisScale "
      "%>,"
      "<%= a.fillred === 255 %>,<%= A = a.HASRESPONSE() %>,<%= b.HasResponse() %>");
  // Response.Write gives booleans their automation text.
  EXPECT_EQ(r.body, "255,True,undefined,False,True,True,False");
  EXPECT_EQ(Counters().activations, 1);
  EXPECT_EQ(Counters().deactivations, 1);
  EXPECT_EQ(Counters().pool_questions, 1);
  EXPECT_EQ(Counters().live, 0) << "every object is released when the page ends";
}

TEST_F(PageEngineTest, ObjectsAreDeactivatedAndReleasedHoweverThePageEnds) {
  const char* endings[] = {
      "",                                       // normally
      "Response.End(); x = 1;",                 // by Response.End
      "throw new Error('boom');",               // by an uncaught error
      "Server.ScriptTimeout = 1; for (;;) {}",  // by the script timeout
  };
  int expected = 0;
  for (const char* ending : endings) {
    SCOPED_TRACE(ending);
    Run(std::string("<% var keep = []; for (var i = 0; i < 3; i++) "
                    "keep.push(Server.CreateObject('Test.Chart'));"
                    " var free = new ActiveXObject('Test.Chart'); ") +
        ending + " %>");
    expected += 3;
    EXPECT_EQ(Counters().activations, expected);
    EXPECT_EQ(Counters().deactivations, expected);
    EXPECT_EQ(Counters().pool_questions, expected);
    EXPECT_EQ(Counters().live, 0);
  }
}

TEST_F(PageEngineTest, ComponentWritesThroughTheResponseFoundAtActivation) {
  PageResult r = Run(
      "before<% var c = Server.CreateObject('Test.Chart'); c.Title = 'Sales'; c.Send(); %>after");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.content_type, "image/test");
  EXPECT_EQ(r.body, "beforechart:Sales") << "nothing is written after End, and the script stops";
}

TEST_F(PageEngineTest, ResponseEndStopsTheScriptEvenInsideTryCatch) {
  PageResult r =
      Run("<% Response.Write('a'); try { Response.End(); } catch (e) { Response.Write('caught'); }"
          " while (true) { Response.Write('b'); } %>");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "a");
  EXPECT_TRUE(log_.empty());
}

TEST_F(PageEngineTest, AutomationErrorsReachTheScriptWithNumberDescriptionAndSource) {
  PageResult r = Run(
      "<% var c = Server.CreateObject('Test.Chart');"
      " try { c.FillBlue = 40000; } catch (e) {"
      "   Response.Write([e.number, e.description, e.message, e.source, e instanceof "
      "Error].join('|')); }"
      " c.fillRED = 40000; Response.Write('|' + c.FillRed + '|' + c.FillBlue);"
      " try { c.Nothing = 1; } catch (e) { Response.Write('|' + e.number); }"
      " try { Server.CreateObject('No.Such'); } catch (e) { Response.Write('|' + e.number); } %>");
  EXPECT_EQ(r.body, "-2146828282|Overflow|Overflow|Quenza|true|40000|0|-2146827850|-2146827859");
}

TEST_F(PageEngineTest, ValuesCrossBothWays) {
  PageResult r =
      Run("<% var c = new ActiveXObject('Test.Chart'); var o = new ActiveXObject('Test.Chart');"
          " var vals = [undefined, null, 5, -2147483648, 2147483648, 2.5, 'txt', true, o];"
          " for (var i = 0; i < vals.length; i++) Response.Write(c.TypeName(vals[i]) + ' ');"
          " Response.Write(typeof c.Echo(undefined) + ' ' + c.Echo(null) + ' ' + c.Echo(true) + ' "
          "' + c.Echo(false)"
          "  + ' ' + c.Echo(2.5) + ' ' + c.Echo('s') + ' ');"
          " var b = c.Bytes(4); Response.Write(b.length + ':' + b[3] + ' ');"
          " o.Title = 'inner'; Response.Write(c.Echo(o).Title + ' ');"
          " c.FillRed = o; Response.Write(c.FillRed.Title); %>");
  EXPECT_EQ(r.body,
            "Empty Null Long Long Double Double String Boolean Object "
            "undefined null true false 2.5 s 4:3 inner inner");
}

TEST_F(PageEngineTest, BinaryWriteTakesByteArraysUnchanged) {
  PageResult r =
      Run("<% var c = new ActiveXObject('Test.Chart'); Response.ContentType = 'application/x-test';"
          " Response.BinaryWrite(c.Bytes(300)); %>");
  ASSERT_EQ(r.body.size(), 300u);
  EXPECT_EQ(static_cast<unsigned char>(r.body[255]), 255);
  EXPECT_EQ(static_cast<unsigned char>(r.body[256]), 0);
  EXPECT_EQ(r.content_type, "application/x-test");
}

TEST_F(PageEngineTest, UncaughtErrorAnswers500WithNumberDescriptionPageAndLine) {
  PageResult r =
      Run("<%@ Language=JScript %>\n<p>x</p>\n<%\nvar c = new "
          "ActiveXObject('Test.Chart');\nc.Fail(6);\n%>");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.content_type, "text/html");
  EXPECT_NE(r.body.find("-2146828282"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("Overflow"), std::string::npos);
  EXPECT_NE(r.body.find("/page.asp, line 5"), std::string::npos) << r.body;
  EXPECT_EQ(r.body.find("<p>x</p>"), std::string::npos) << "the page's own output is dropped";
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_NE(log_[0].find("line 5"), std::string::npos);
}

TEST_F(PageEngineTest, SyntaxErrorsAndOtherLanguagesAnswer500) {
  EXPECT_EQ(Run("<% var = ; %>").status, 500);
  PageResult r = Run("<%@ Language=\"PerlScript\" %>hello");
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("perlscript"), std::string::npos);
  EXPECT_EQ(Run("text <% unterminated").status, 500);
}

TEST_F(PageEngineTest, ScriptTimeoutStopsALoopThatCatchesEverything) {
  timeout_ = 1;
  auto start = std::chrono::steady_clock::now();
  PageResult r =
      Run("<% var c = Server.CreateObject('Test.Chart'); while (true) { try { for (;;) {} } catch "
          "(e) {} } %>");
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("script timeout"), std::string::npos);
  EXPECT_LT(seconds, 10.0);
  EXPECT_EQ(Counters().deactivations, 1);
  EXPECT_EQ(Counters().live, 0);
}

TEST_F(PageEngineTest, AScriptHeapBeyondItsLimitEndsThePage) {
  memory_limit_ = 8 << 20;
  PageResult r =
      Run("<% var c = Server.CreateObject('Test.Chart'); var all = [];"
          " var s = 'xxxxxxxx'; for (;;) { try { s = s + s; all.push(s); } catch (e) { s = "
          "'xxxxxxxx'; } } %>");
  EXPECT_EQ(r.status, 500) << r.body;
  EXPECT_NE(r.body.find("memory limit of 8 MB"), std::string::npos) << r.body;
  EXPECT_EQ(Counters().deactivations, 1);
  EXPECT_EQ(Counters().live, 0);
  // The same page with room to spare still runs.
  memory_limit_ = 64 << 20;
  EXPECT_EQ(
      Run("<% var s = 'x'; for (var i = 0; i < 20; i++) s += s; Response.Write(s.length); %>").body,
      "1048576");
}

TEST_F(PageEngineTest, RequestCollectionsAnswerStringsOrUndefined) {
  PageResult r =
      Run("<%= Request.QueryString('name') %>|<%= Request.querystring('NAME') %>|<%= typeof "
          "Request.QueryString('x') %>|"
          "<%= Request.QueryString('multi') %>|<%= Request.Form('f') %>|<%= "
          "Request.ServerVariables('request_method') %>|"
          "<%= Request.ServerVariables('HTTP_USER_AGENT') %>|<%= "
          "Request.ServerVariables('QUERY_STRING') %>|"
          "<%= typeof Request.ServerVariables('NOPE') %>",
          "name=J%C3%BCrgen+Q&multi=1&multi=2", "f=a%26b");
  EXPECT_EQ(r.body,
            "J\xC3\xBCrgen Q|J\xC3\xBCrgen Q|undefined|1, "
            "2|a&b|POST|tester|name=J%C3%BCrgen+Q&multi=1&multi=2|"
            "undefined");
}

TEST_F(PageEngineTest, ResponseHeadStatusRedirectAndClear) {
  PageResult r =
      Run("<% Response.Write('gone'); Response.Clear(); Response.Status = '404 Not Here';"
          " Response.AddHeader('X-Test', 'yes'); Response.Write('body');"
          " try { Response.AddHeader('X-Bad', 'a\\r\\nInjected: 1'); } catch (e) { "
          "Response.Write('!'); } %>");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, "body!");
  ASSERT_EQ(r.headers.size(), 1u);
  EXPECT_EQ(r.headers[0], (std::pair<std::string, std::string>("X-Test", "yes")));

  r = Run("<% Response.Redirect('/other.asp?a=1'); Response.Write('never'); %>");
  EXPECT_EQ(r.status, 302);
  ASSERT_EQ(r.headers.size(), 1u);
  EXPECT_EQ(r.headers[0].second, "/other.asp?a=1");
  EXPECT_EQ(r.body.find("never"), std::string::npos);
}

TEST_F(PageEngineTest, ServerHelpers) {
  PageResult r = Run(
      "<%= Server.HTMLEncode('<a href=\"x\">&</a>') %>|<%= Server.URLEncode('a b/c&d') %>|"
      "<%= Server.MapPath('img/logo.png') %>|<%= Server.MapPath('/') %>|<%= Server.ScriptTimeout "
      "%>|"
      "<% try { Server.MapPath('../../etc/passwd'); } catch (e) { Response.Write(e.number); } %>");
  std::string root = site_.root().string();
  EXPECT_EQ(r.body, "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;|a+b%2Fc%26d|" + root +
                        "/img/logo.png|" + root + "|90|-2146828283");
}

}  // namespace
}  // namespace qz::host::test
