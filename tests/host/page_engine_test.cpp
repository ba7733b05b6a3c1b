#include "host/page_engine.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "host/page_objects.h"
#include "tests/host/page_test_util.h"

namespace qz::host::test {
namespace {

using PageEngineTest = PageTest;

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
    ExpectContextObjectsEnded(expected);
  }
}

// A method read once is kept with its object, yet an object the script drops
// is released at once, however many of its methods the script called.
TEST_F(PageEngineTest, ObjectsWithMethodsReadAreReleasedWhenDropped) {
  PageResult r = Run(
      "<% for (var i = 0; i < 20; i++) {"
      " var c = new ActiveXObject('Test.Chart'); c.Echo(i); c.Title = 'x'; c.TypeName(1); }"
      " c = null; var probe = new ActiveXObject('Test.Chart'); var echo = probe.Echo;"
      " Response.Write([probe.Live(), echo === probe.Echo, echo(7), probe.ECHO(8)].join()); %>");
  EXPECT_EQ(r.body, "1,true,7,8");
  EXPECT_EQ(Counters().live, 0);
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

// Built-in methods are light functions in this engine: what pages do with
// them as functions still works.
TEST_F(PageEngineTest, BuiltInMethodsWorkAsFunctions) {
  PageResult r =
      Run("<% var out = [typeof Math.max, Math.max.length, Math.max.apply(null, [3, 9, 4]),"
          " Array.prototype.slice.call({length: 2, 0: 'a', 1: 'b'}).join(''),"
          " [].map.call('ab', function (c) { return c + c; }).join(''),"
          " String.prototype.trim.bind('  x ')(), Math.max instanceof Function,"
          " Object.prototype.toString.call(Math.max), JSON.stringify({f: Math.max, n: 1})];"
          " var own = Math.max; Math.max = function () { return 0; };"
          " out.push(Math.max(1, 2), own(1, 2));"
          " Response.Write(out.join('|')); %>");
  EXPECT_EQ(r.body, "function|2|9|ab|aabb|x|true|[object Function]|{\"n\":1}|0|2") << r.body;
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

TEST_F(PageEngineTest, MethodsAreCalledWithTheirIdAndArgumentsWhateverTheirCount) {
  // Join's id is too large for the short form a method function keeps;
  // six arguments go past the ones passed without an allocation.
  const std::string calls =
      "<% var c = new ActiveXObject('Test.Chart'); var j = c.Join;"
      " Response.Write(c.Join(1, 2, 3, 4, 5, 'six') + '|' + j('a', 'b') + '|' + j() + '|' +"
      " c.Echo('e') + '|' + c.TypeName(2.5)";
  EXPECT_EQ(Run(calls + "); %>").body, "1,2,3,4,5,six|a,b||e|Double");
  // Five arguments to a member of one go to it all the same.
  const std::string too_many = Run(calls + " + c.TypeName(1, 2, 3, 4, 5)); %>").body;
  EXPECT_NE(too_many.find("Wrong number of arguments"), std::string::npos) << too_many;
}

TEST_F(PageEngineTest, APageFileIsReadWholeAndAFolderIsNoPage) {
  const std::string big(300000, 'x');
  PageResult r = Run("<p>" + big + "</p><%= 1 + 1 %>");
  EXPECT_EQ(r.body, "<p>" + big + "</p>2");

  std::filesystem::create_directories(site_.root() / "folder.asp");
  PageOptions options;
  options.root = site_.root();
  PageRequest request;
  request.path = "/folder.asp";
  r = RunPage(options, request, site_.root() / "folder.asp");
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("The page cannot be read"), std::string::npos) << r.body;
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

TEST(ResponseObject, AByteArrayHandedOverIsKeptAsItCameAndWritesStayInOrder) {
  int overs = 0;
  ComPtr<ResponseObject> response = ResponseObject::Create(nullptr);
  response->LimitBody(20, [&] { ++overs; });
  auto bytes_of = [](std::string_view text) { return ByteArray(text.begin(), text.end()); };
  auto body_of = [&] {
    const ResponseState& s = response->state();
    return s.body + std::string(s.tail.begin(), s.tail.end());
  };

  ASSERT_EQ(response->Write(Variant("<")), S_OK);
  ByteArray chart = bytes_of("chart");
  const std::uint8_t* where = chart.data();
  ASSERT_EQ(response->BinaryWriteOwned(Variant(std::move(chart))), S_OK);
  // Not copied: the response holds the very array.
  EXPECT_EQ(response->state().tail.data(), where);
  EXPECT_EQ(response->state().body, "<");
  // A later write of either kind, or a second array, comes after it.
  ASSERT_EQ(response->Write(Variant(">")), S_OK);
  ASSERT_EQ(response->BinaryWriteOwned(Variant(bytes_of("[2]"))), S_OK);
  ASSERT_EQ(response->BinaryWrite(Variant(bytes_of("!"))), S_OK);
  EXPECT_EQ(body_of(), "<chart>[2]!");
  EXPECT_TRUE(response->state().tail.empty());
  EXPECT_EQ(response->state().BodySize(), 11u);

  // The limit counts both parts; a refused array leaves the body as it was.
  ASSERT_EQ(response->BinaryWriteOwned(Variant(bytes_of("0123456789"))),
            HResultFromNumber(err::kOutOfMemory));
  EXPECT_EQ(overs, 1);
  EXPECT_EQ(body_of(), "<chart>[2]!");
  EXPECT_EQ(response->BinaryWriteOwned(Variant("text")), HResultFromNumber(err::kTypeMismatch));

  ASSERT_EQ(response->BinaryWriteOwned(Variant(bytes_of("tail"))), S_OK);
  response->Clear();
  EXPECT_EQ(body_of(), "");
  ASSERT_EQ(response->BinaryWriteOwned(Variant(bytes_of("last"))), S_OK);
  ASSERT_EQ(response->End(), S_OK);
  ASSERT_EQ(response->BinaryWriteOwned(Variant(bytes_of("after"))), S_OK);
  EXPECT_EQ(body_of(), "last");
  EXPECT_EQ(response->TakeTail(), bytes_of("last"));
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

// Every page here once aborted the whole process: the host read the thrown
// value (its getters, Proxy traps, the host's own objects) outside a
// protected call. Each must answer 500, and the next page must still run.
TEST_F(PageEngineTest, NoThrownValueCrossesThePageBoundary) {
  memory_limit_ = 16 << 20;
  const char* pages[] = {
      "<% throw Response; %>",
      "<% throw Server; %>",
      "<% throw Server.CreateObject('Test.Chart'); %>",
      "<% throw new ActiveXObject('Test.Chart'); %>",
      "<% throw { get number() { throw 1; } }; %>",
      "<% throw { get number() { throw Response; }, get description() { throw Request; } }; %>",
      "<% throw new Proxy({}, { get: function () { throw 1; }, has: function () { throw 2; },"
      " getOwnPropertyDescriptor: function () { throw 3; }, ownKeys: function () { throw 4; } }); "
      "%>",
      "<% throw new Proxy(new Error('x'), { get: function (t, k) { throw new Proxy({}, {"
      " get: function () { throw 5; } }); } }); %>",
      "<% var e = new Error('x'); Object.defineProperty(e, 'number', { get: function () { throw "
      "1; } });"
      " Object.defineProperty(e, 'description', { get: function () { throw 2; } });"
      " Object.defineProperty(e, 'lineNumber', { get: function () { throw 3; } });"
      " Object.defineProperty(e, 'toString', { get: function () { throw 4; } }); throw e; %>",
      "<% throw { toString: function () { throw this; }, valueOf: function () { throw this; } }; "
      "%>",
      "<% throw Object.create(null); %>",
      "<% throw null; %>",
      "<% throw undefined; %>",
      "<% throw Symbol('s'); %>",
      "<% var s = 'xxxxxxxx'; for (var i = 0; i < 60; i++) { try { s = s + s; } catch (e) {} } "
      "throw null; %>",
      "<% var s = 'xxxxxxxx'; for (var i = 0; i < 60; i++) { try { s = s + s; } catch (e) {} } "
      "throw { get lineNumber() { throw 1; } }; %>",
  };
  for (const char* page : pages) {
    SCOPED_TRACE(page);
    PageResult r = Run(page);
    EXPECT_EQ(r.status, 500);
    EXPECT_NE(r.body.find("Page error"), std::string::npos);
    EXPECT_FALSE(r.error.empty());
    EXPECT_EQ(Run("<%= 1 + 1 %>").body, "2") << "the next page runs";
  }
  EXPECT_EQ(Counters().live, 0);
}

TEST_F(PageEngineTest, ThrownValuesAfterTheDeadlineAreReadSafely) {
  // A native call returns after the deadline; the page's catch must not run
  // on, nor may its thrown null or getter reach the engine's fatal handler.
  // (No step budget: on a fast machine it would end the matching first.)
  limits_.regexp_steps = UINT64_MAX;
  const char* pages[] = {
      "<% Server.ScriptTimeout = 1; var c = new ActiveXObject('Test.Chart');"
      " try { c.Sleep(1300); } catch (e) {} throw null; %>",
      "<% Server.ScriptTimeout = 1; try { /(a+)+$/.test(new Array(41).join('a') + 'b'); } catch "
      "(e) {} throw { get lineNumber() { for (;;) {} } }; %>",
      "<% Server.ScriptTimeout = 1; throw { get number() { for (;;) {} },"
      " get description() { for (;;) {} } }; %>",
  };
  for (const char* page : pages) {
    SCOPED_TRACE(page);
    auto start = std::chrono::steady_clock::now();
    PageResult r = Run(page);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 500);
    EXPECT_LT(seconds, 2.5);
    EXPECT_NE(r.body.find("script timeout of 1 seconds"), std::string::npos) << r.body;
    EXPECT_EQ(Run("<%= 'next' %>").body, "next");
  }
}

TEST_F(PageEngineTest, ANativeCallPastTheDeadlineEndsThePageAtOnce) {
  auto start = std::chrono::steady_clock::now();
  PageResult r =
      Run("<% Server.ScriptTimeout = 1; var c = new ActiveXObject('Test.Chart');"
          " for (var i = 0; i < 30; i++) { try { c.Sleep(400); } catch (e) {} }"
          " Response.Write('went on'); %>");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("script timeout"), std::string::npos) << r.body;
  EXPECT_LT(seconds, 2.0) << "the page ended when the first late call returned";
}

TEST_F(PageEngineTest, BacktrackingExpressionsEndWithinTheTimeout) {
  // The deadline alone first: the step budget, tested below, would end the
  // matching before it on a fast machine.
  timeout_ = 1;
  limits_.regexp_steps = UINT64_MAX;
  auto start = std::chrono::steady_clock::now();
  PageResult r =
      Run("<% var s = new Array(41).join('a') + 'b';"
          " for (var i = 0; i < 4; i++) { try { /(a+)+$/.test(s); } catch (e) {} } %>");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("script timeout of 1 seconds"), std::string::npos) << r.body;
  EXPECT_LT(seconds, 2.0);

  // Their steps are a budget of their own, whatever the time left.
  timeout_ = 90;
  limits_.regexp_steps = 1'000'000;
  start = std::chrono::steady_clock::now();
  r =
      Run("<% var s = new Array(41).join('a') + 'b';"
          " for (;;) { try { /(a+)+$/.test(s); } catch (e) {} } %>");
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("regular expressions ran beyond their limit of 1000000 steps"),
            std::string::npos)
      << r.body;
  EXPECT_LT(seconds, 5.0);
  // Ordinary expressions are untouched by it.
  EXPECT_EQ(Run("<%= /^(\\w+)@(\\w+)\\.com$/.exec('me@example.com')[2] %>").body, "example");
}

// Every page on a thread starts from the same state, whatever the pages
// before it did: each of these pages tries to leave something behind, and a
// page run after each (on the same thread, as on a worker) looks for it.
TEST_F(PageEngineTest, NoPageSeesAnotherPagesState) {
  const std::string probe =
      "<% var seen = [];"
      " if (typeof leaked !== 'undefined') seen.push('global');"
      " if (typeof leakedThis !== 'undefined') seen.push('global via this');"
      " if ([].evil !== undefined) seen.push('Array.prototype');"
      " if (({}).evil !== undefined) seen.push('Object.prototype');"
      " if ('s'.evil !== undefined) seen.push('String.prototype');"
      " var a = [1]; a.push(2); if (a.length !== 2) seen.push('push');"
      " if (Math.max(1, 2) !== 2) seen.push('Math.max');"
      " if (JSON.stringify([1]) !== '[1]') seen.push('JSON');"
      " if (typeof setTimeout !== 'undefined' || typeof setInterval !== 'undefined')"
      "   seen.push('timers');"
      " if (typeof Duktape.errCreate !== 'undefined' || new Error('y').tag !== undefined)"
      "   seen.push('error hook');"
      " if (typeof kept !== 'undefined') seen.push('thrown value');"
      " if (typeof pending !== 'undefined') seen.push('pending object');"
      " Response.Write(seen.length ? 'seen: ' + seen.join(', ') : 'clean'); %>";
  const std::vector<std::pair<const char*, std::string>> leavers = {
      {"globals", "<% leaked = 1; this.leakedThis = 2; var leaked2 = 3; %>"},
      {"prototypes",
       "<% Array.prototype.evil = 1; Object.prototype.evil = 2; String.prototype.evil = 3;"
       " Array.prototype.push = function () { return 0; }; Math.max = function () { return 0; };"
       " JSON.stringify = function () { return 'x'; }; Object.freeze(Object.prototype); %>"},
      {"timers",
       "<% setTimeout = function (f) { f(); }; this.setInterval = setTimeout;"
       " Duktape.errCreate = function (e) { e.tag = 'A'; return e; }; %>"},
      {"pending objects",
       "<% pending = Server.CreateObject('Test.Chart'); var cycle = { c: pending };"
       " cycle.self = cycle; Duktape.fin(cycle, function () { Object.prototype.evil = 1; });"
       " Duktape.fin(Object.prototype, function () { leaked = 1; }); %>"},
      {"a thrown value",
       "<% kept = new Error('kept'); kept.again = kept; Response.Write('x'); throw kept; %>"},
      {"a caught value",
       "<% try { throw Server.CreateObject('Test.Chart'); } catch (e) { kept = e; } %>"},
      {"a suspended coroutine",
       "<% var t = new Duktape.Thread(function (x) {"
       " pending = Server.CreateObject('Test.Chart'); Duktape.Thread.yield(1); leaked = 1; });"
       " Duktape.Thread.resume(t, 0); %>"},
      {"the heap limit",
       "<% var all = []; var s = 'xxxxxxxx';"
       " for (;;) { try { s = s + s; all.push(s); } catch (e) { s = 'xxxxxxxx'; } } %>"},
      {"the regexp budget",
       "<% leaked = 1; var s = new Array(41).join('a') + 'b';"
       " for (;;) { try { /(a+)+$/.test(s); } catch (e) {} } %>"},
      {"Response.End", "<% leaked = 1; Response.Status = '404 Gone'; Response.End(); %>"},
  };
  memory_limit_ = 8 << 20;
  limits_.regexp_steps = 1'000'000;
  for (const auto& [what, page] : leavers) {
    // Twice as a command runs pages, twice as the server does (readying the
    // next page's engine after each, which also collects what the page
    // left), and once with that collection due but no readying between the
    // pages; all but the first use the kept compiled form.
    for (int round = 0; round < 5; ++round) {
      const bool ready = round == 2 || round == 3;
      collect_when_readied_ = round >= 2;
      RunAt("leave.asp", page);
      if (ready) {
        ReadyNextPage();
        EXPECT_EQ(Counters().live, 0) << "readied after a page that left " << what;
      }
      PageResult r = RunAt("probe.asp", probe);
      if (ready) ReadyNextPage();
      EXPECT_EQ(r.status, 200) << what << ": " << r.body;
      EXPECT_EQ(r.body, "clean") << "after a page that left " << what;
      EXPECT_EQ(Counters().live, 0) << "the objects of a page that left " << what;
    }
    collect_when_readied_ = false;
  }
  EXPECT_EQ(Counters().live, 0) << "every object of the pages is released";
  // A page after one that ran out of memory or spent a budget has its whole
  // allowance again.
  EXPECT_EQ(RunAt("after.asp",
                  "<% var s = 'x'; for (var i = 0; i < 20; i++) s += s;"
                  " /^(\\w+)@(\\w+)\\.com$/.exec('me@example.com'); Response.Write(s.length); %>")
                .body,
            "1048576");
}

// A page's kept compiled form is used only while its text is the same.
TEST_F(PageEngineTest, AnEditedPageRunsItsNewTextAtOnce) {
  // Same length, written within the same clock tick: time stamps and size
  // cannot tell these apart; the text can.
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Run("<%= 'v" + std::to_string(i) + "' %>").body, "v" + std::to_string(i));
  }
  // Errors on a page run from its kept form name the same page line.
  const std::string failing =
      "<%@ Language=JScript %>\n<p>x</p>\n<%\nvar c = new "
      "ActiveXObject('Test.Chart');\nc.Fail(6);\n%>";
  for (int i = 0; i < 2; ++i) {
    PageResult r = Run(failing);
    EXPECT_EQ(r.status, 500);
    EXPECT_NE(r.body.find("/page.asp, line 5"), std::string::npos) << r.body;
  }
  // A page that does not compile is not kept, and its fix runs.
  EXPECT_EQ(Run("<% var = ; %>").status, 500);
  EXPECT_EQ(Run("<% var = ; %>").status, 500);
  EXPECT_EQ(Run("<%= 6 * 7 %>").body, "42");
}

// Resident memory of this process, in bytes.
std::size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

bool UnderSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#endif
#endif
  return false;
}

TEST_F(PageEngineTest, BigPagesEndAtTheirBudgetAndGiveTheirMemoryBack) {
  // Warm the heap's own structures first, so that the level compared is the
  // process's steady one.
  Run("<%= 1 %>");
  const std::size_t before = ResidentBytes();
  struct Case {
    const char* page;
    const char* why;
  } cases[] = {
      // 1 GiB in 1 MiB writes, each write's failure caught.
      {"<% var s = 'x'; for (var i = 0; i < 20; i++) s += s;"
       " for (var i = 0; i < 1024; i++) { try { Response.Write(s); } catch (e) {} }"
       " Response.Write('went on'); %>",
       "response grew beyond its limit of 64 MB"},
      {"<% var c = new ActiveXObject('Test.Chart'); var b = c.Bytes(1 << 20);"
       " for (var i = 0; i < 1024; i++) Response.BinaryWrite(b); %>",
       "response grew beyond its limit of 64 MB"},
      {"<% var all = []; for (var i = 0; i < 100000; i++) {"
       " try { all.push(Server.CreateObject('Test.Chart')); } catch (e) {} } %>",
       "created more than its limit of 10000 objects"},
      {"<% var all = []; for (var i = 0; i < 100000; i++) all.push(new "
       "ActiveXObject('Test.Chart')); "
       "%>",
       "created more than its limit of 10000 objects"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page);
    PageResult r = Run(c.page);
    EXPECT_EQ(r.status, 500);
    EXPECT_NE(r.body.find(c.why), std::string::npos) << r.body;
    EXPECT_EQ(r.body.find("went on"), std::string::npos);
    EXPECT_LT(r.body.size(), 4096u);
    EXPECT_EQ(Counters().live, 0);
    if (!UnderSanitizer()) {
      std::size_t after = ResidentBytes();
      EXPECT_LT(after, before + before / 5) << "before " << before << ", after " << after;
    }
  }
  // At the limit itself, not beyond it, the page is whole.
  limits_.objects = 3;
  limits_.response_bytes = 6;
  PageResult r =
      Run("<% for (var i = 0; i < 3; i++) new ActiveXObject('Test.Chart'); %>abc<%= 'def' %>");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "abcdef");
}

TEST_F(PageEngineTest, AComponentsChartBeyondTheResponseLimitEndsThePage) {
  limits_.response_bytes = 8;
  PageResult r = Run(
      "<% var c = Server.CreateObject('Test.Chart'); c.Title = 'a long title'; try { c.Send(); } "
      "catch (e) {} Response.Write('went on'); %>");
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("limit of 8 bytes"), std::string::npos) << r.body;
  EXPECT_EQ(Counters().live, 0);
}

TEST_F(PageEngineTest, PageHeadersAreCheckedAndTheFramingHeadersAreTheHosts) {
  const char* bad[] = {
      "Response.Status = '999 Too Much'",
      "Response.Status = '600 X'",
      "Response.Status = '099 Low'",
      "Response.Status = '200 OK\\r\\nX-Injected: 1'",
      "Response.AddHeader('X A', '1')",
      "Response.AddHeader('X:A', '1')",
      "Response.AddHeader('', '1')",
      "Response.AddHeader('X-\\u00e9', '1')",
      "Response.AddHeader('X-A', 'a\\nb')",
      "Response.AddHeader('X-A', 'a\\u0001b')",
      "Response.AddHeader('X-A', 'a\\u0000b')",
      "Response.AddHeader('Content-Length', '5')",
      "Response.AddHeader('content-length', '5')",
      "Response.AddHeader('Transfer-Encoding', 'chunked')",
      "Response.AddHeader('CONNECTION', 'close')",
      "Response.ContentType = 'text/html\\r\\nX: 1'",
      "Response.Redirect('/a\\r\\nX: 1')",
  };
  for (const char* call : bad) {
    SCOPED_TRACE(call);
    PageResult r = Run(std::string("<% try { ") + call +
                       "; Response.Write('accepted'); } catch (e) { Response.Write('caught ' + "
                       "e.number); } %>");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.rfind("caught -21468", 0), 0u) << r.body;
    EXPECT_TRUE(r.headers.empty());
  }
  PageResult r = Run(
      "<% Response.Status = '599 Custom'; Response.AddHeader('X-Fine_1.~', 'tab\\there \\u00e9');"
      " Response.AddHeader('Content-Language', 'en'); %>");
  EXPECT_EQ(r.status, 599);
  ASSERT_EQ(r.headers.size(), 2u);
  EXPECT_EQ(r.headers[0].second, "tab\there \xC3\xA9");
  // Uncaught, a refused header is the page's error.
  r = Run("<% Response.AddHeader('Content-Length', '0'); %>");
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("Content-Length"), std::string::npos) << r.body;
}

TEST_F(PageEngineTest, ErrorPagesShowNoServerPathsAndStayShort) {
  // A creation failure whose description names server files.
  PageResult r =
      Run("<% var c = new ActiveXObject('Test.Chart');"
          " throw { number: 48, description: 'Cannot load the library "
          "/usr/lib/quenza/Quenza.so: /usr/lib/quenza/Quenza.so: cannot open',"
          " source: 'registry /home/site/.config/quenza/registry.txt' }; %>");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.body.find("/usr/lib"), std::string::npos) << r.body;
  EXPECT_EQ(r.body.find("/home/site"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("Cannot load the library (server path): (server path): cannot open"),
            std::string::npos)
      << r.body;
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_NE(log_[0].find("/usr/lib/quenza/Quenza.so"), std::string::npos) << "the log keeps it";

  // The site's own paths are shown from the site's root.
  r = Run("<% throw new Error('no file ' + Server.MapPath('data/x.csv')); %>");
  EXPECT_EQ(r.body.find(site_.root().string()), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("no file /data/x.csv"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("Page: /page.asp"), std::string::npos) << r.body;

  // A 5 MB message with control bytes: a short page, a capped log line.
  log_.clear();
  r = Run(
      "<% var s = 'ab\\u001b[31m\\n'; while (s.length < 5000000) s += s; throw new Error(s); %>");
  EXPECT_EQ(r.status, 500);
  EXPECT_LT(r.body.size(), 4096u);
  EXPECT_NE(r.body.find("..."), std::string::npos);
  EXPECT_EQ(r.body.find('\x1b'), std::string::npos);
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_LE(log_[0].size(), kLogErrorBytes + 3);
  EXPECT_GT(log_[0].size(), kLogErrorBytes / 2);
  EXPECT_EQ(log_[0].find_first_of("\n\x1b"), std::string::npos);
  EXPECT_NE(log_[0].find("ab\\x1b[31m\\n"), std::string::npos);

  // A character beyond U+FFFF in a thrown message reaches the page as UTF-8,
  // not as the engine's two encoded surrogates.
  r = Run("<% throw new Error('smile \\uD83D\\uDE00 here'); %>");
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("smile \xF0\x9F\x98\x80 here"), std::string::npos) << r.body;
  EXPECT_EQ(r.body.find('\xED'), std::string::npos) << r.body;
}

TEST_F(PageEngineTest, LiteralTextAndScriptTextLeaveThePageByteForByte) {
  // Latin-1 bytes, a line separator and a character beyond U+FFFF in the
  // literal text; the same characters from script strings.
  const std::string text = "caf\xE9 \xE2\x80\xA8 \xF0\x9F\x98\x80 \"q\" \\ \x01";
  PageResult r = Run(text + "<%= '\xF0\x9F\x98\x80|\\ud83d\\ude00|' + '\\u2028'.length %>" + text);
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body, text + "\xF0\x9F\x98\x80|\xF0\x9F\x98\x80|1" + text);
  // A lone surrogate has no UTF-8 form: it passes as the engine holds it.
  EXPECT_EQ(Run("<%= '\\ud83d' %>").body, "\xED\xA0\xBD");
  // The literal function takes only the page's own literal numbers.
  r =
      Run("x<% try { __qzLiteral(1); } catch (e) { Response.Write('|' + e.number); }"
          " try { __qzLiteral(0.5); } catch (e) { Response.Write('|' + e.number); } %>");
  EXPECT_EQ(r.body, "x|-2146828283|-2146828283");
}

TEST(PageErrorTextTest, ClientTextKeepsSitePathsAndHidesTheRest) {
  std::filesystem::path root = "/srv/site";
  EXPECT_EQ(ClientText("open /srv/site/charts/a.jpg failed", root), "open /charts/a.jpg failed");
  EXPECT_EQ(ClientText("at /srv/site", root), "at /");
  EXPECT_EQ(ClientText("at /srv/site2/x and '/etc/passwd'", root),
            "at (server path) and '(server path)'");
  EXPECT_EQ(ClientText("Path/File access error, a / b", root), "Path/File access error, a / b");
  EXPECT_EQ(ClientText("file=/tmp/x.jpg: gone", root), "file=(server path): gone");
  EXPECT_EQ(ClientText("a\tb\r\nc\x7f", root), "a b  c ");
  // Cut whole characters only.
  std::string long_text(kClientErrorTextBytes - 1, 'x');
  long_text += "\xC3\xA9\xC3\xA9";
  std::string cut = ClientText(long_text, root);
  EXPECT_EQ(cut, std::string(kClientErrorTextBytes - 1, 'x') + "...");
  EXPECT_EQ(ClientText("", root), "");
}

TEST(PageErrorTextTest, LogTextEscapesControlsAndCaps) {
  EXPECT_EQ(LogText("a\\b\nc\r\t\x01\x7f\xC3\xA9"), "a\\\\b\\nc\\r\\t\\x01\\x7f\xC3\xA9");
  EXPECT_EQ(LogText(std::string(100, '\n'), 10), "\\n\\n\\n\\n\\n...");
  EXPECT_EQ(LogText("short", 10), "short");
}

}  // namespace
}  // namespace qz::host::test
