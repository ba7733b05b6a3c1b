// VBScript pages in the page engine: the host's objects as the language
// expects them, by-reference arguments of components, the same limits and
// error answers as JavaScript pages, and the default language.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/com/dispatcher.h"
#include "platform/com/typeinfo.h"
#include "tests/host/page_test_util.h"

namespace qz::host::test {
namespace {

// A component with a by-reference parameter, as ShowError's mErr is.
constexpr ParamInfo kRefParam[] = {{"text", ParamType::String, PassBy::Reference}};
constexpr ParamInfo kValParam[] = {{"text", ParamType::String}};
constexpr MemberInfo kRefMembers[] = {
    {"Decorate", 1, MemberKind::Method, kRefParam},
    {"Length", 2, MemberKind::Method, kValParam, ParamType::I4},
};
constexpr IID IID_RefTester = {0x7A2B0C11, 0x1111, 0x4222, {0x83, 0x33, 0, 0, 0, 0, 0, 0x01}};
constexpr TypeInfo kRefInfo{"_RefTester", IID_RefTester, kRefMembers};

class RefTester final : public IDispatch, private MemberInvoker {
 public:
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override {
    std::uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  const TypeInfo& GetTypeInfo() override { return kRefInfo; }
  HRESULT GetIDsOfNames(std::string_view name, DISPID* id) override {
    return DispatchGetIDsOfNames(kRefInfo, name, id);
  }
  HRESULT Invoke(DISPID id, std::uint16_t flags, std::span<Variant> args, Variant* result,
                 EXCEPINFO* excep) override {
    return DispatchInvoke(kRefInfo, *this, id, flags, args, result, excep);
  }

 private:
  void InvokeMember(const MemberInfo& member, std::span<Variant> args, Variant* result) override {
    if (member.id == 1) {
      args[0] = Variant("[" + args[0].str() + "]");
    } else {
      *result = Variant(static_cast<std::int32_t>(args[0].str().size()));
    }
  }
  std::uint32_t refs_ = 0;
};

ComPtr<IDispatch> CreateObjects(std::string_view prog_id) {
  if (prog_id == "Test.Ref") return ComPtr<IDispatch>(new RefTester());
  return CreateTestObject(prog_id);
}

class VbsPageTest : public PageTest {
 protected:
  VbsPageTest() {
    memory_limit_ = std::size_t{64} << 20;
    create_object_ = CreateObjects;
    default_language_ = PageLanguage::VBScript;
  }
};

TEST_F(VbsPageTest, TextBlocksAndOutputKeepTheirOrder) {
  PageResult r =
      Run("<p>\"a\"</p>\n<% For i = 1 To 3 %>[<%= i * 2 %>]<% Next %>\n<%= \"x\" ' comment %>.\n"
          "<% If True Then %>yes<% Else %>no<% End If %>");
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body, "<p>\"a\"</p>\n[2][4][6]\nx.\nyes");
}

TEST_F(VbsPageTest, RequestCollectionsByNameNumberAndForEach) {
  PageResult r = Run(
      "<%\nFor Each k In Request.QueryString\n Response.Write k & \"=\" & Request.QueryString(k) & "
      "\";\"\nNext\n"
      "Response.Write Request.QueryString.Count & \"|\" & Request.QueryString.Key(2) & \"|\" & "
      "Request.QueryString(1)\n"
      "Response.Write \"|\" & Request(\"b\") & \"|\" & Request(\"f\") & \"|\" & "
      "IsEmpty(Request(\"none\"))\n"
      "Response.Write \"|\" & Request.QueryString & \"|\" & Request.Form(\"f\") & \"|\" & "
      "Request.ServerVariables(\"HTTP_USER_AGENT\")\n"
      "Set c = Server.CreateObject(\"Test.Chart\") : Response.Write \"|\" & "
      "c.Echo(Request.Form)\n%>",
      "a=1&b=2&a=3", "f=x%20y");
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body, "a=1, 3;b=2;2|b|1, 3|2|x y|True|a=1&b=2&a=3|x y|tester|f=x%20y");
}

TEST_F(VbsPageTest, ComponentsAnswerThroughTheirMembers) {
  PageResult r =
      Run("<% Set c = Server.CreateObject(\"Test.Chart\")\n"
          "c.Title = \"Sales\" : c.FillBlue = 7\n"
          "Response.Write c.Title & \",\" & c.FillBlue & \",\" & TypeName(c.FillBlue) & \",\" & "
          "c.SecondYAxisScale & \",\"\n"
          "Response.Write c.TypeName(CByte(1)) & \",\" & c.TypeName(1.5) & \",\" & "
          "c.TypeName(#1/2/2024#)\n"
          "Response.Write \",\" & c.Echo(CCur(2.5)) & \",\" & UBound(c.Bytes(3)) & \",\" & "
          "c.HasResponse() & \",\" & CreateObject(\"Test.Chart\").HasResponse %>");
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body, "Sales,7,Integer,True,Integer,Double,String,2.5,2,True,False");
}

TEST_F(VbsPageTest, ByReferenceArgumentsAreWrittenBack) {
  PageResult r =
      Run("<% Set t = Server.CreateObject(\"Test.Ref\")\n"
          "m = \"hi\" : t.Decorate m : Response.Write m\n"
          "n = \"x\" : t.Decorate (n) : Response.Write \",\" & n\n"
          "Dim a(1) : a(1) = \"e\" : t.Decorate a(1) : Response.Write \",\" & a(1)\n"
          "v = 12 : Response.Write \",\" & t.Length(v) & TypeName(v)\n"
          "Call t.Decorate(m) : Response.Write \",\" & m %>");
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body, "[hi],x,[e],2Integer,[[hi]]")
      << "by-value parameters leave the variable's type alone";
}

TEST_F(VbsPageTest, ComponentErrorsKeepNumberDescriptionAndSource) {
  PageResult r =
      Run("<% Set c = Server.CreateObject(\"Test.Chart\")\nOn Error Resume Next\nc.Fail 380\n"
          "Response.Write Err.Number & \"|\" & Err.Description & \"|\" & (Err.Source <> \"\")\n"
          "Err.Clear\nc.NoSuchMember\nResponse.Write \"|\" & Err.Number %>");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "380|Invalid property value|True|438");
  r =
      Run("<% Set c = Server.CreateObject(\"Test.Chart\")\nResponse.Write \"lost\"\n\n\n\n\n\n"
          "\n  c.Fail 6 %>");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.body.find("lost"), std::string::npos) << "the page's own output is dropped";
  EXPECT_NE(r.body.find("Error number: 6"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("/page.asp, line 9"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("column 3"), std::string::npos) << r.body;
}

TEST_F(VbsPageTest, UncaughtErrorsNamePageLineAndColumn) {
  PageResult r = Run("line one\n<p><% x = 1\ny = 1 / 0 %></p>");
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("Division by zero"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("line 3"), std::string::npos) << r.body;
  ASSERT_EQ(log_.size(), 1u);
  r = Run("<p>ok</p><%= 1 +  %>");
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("Expected expression"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("line 1"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("column 19"), std::string::npos) << r.body;
}

TEST_F(VbsPageTest, ObjectsAreDeactivatedAndReleasedHoweverThePageEnds) {
  const char* endings[] = {
      "",
      "Response.End : x = 1",
      "Err.Raise 5",
      "Server.ScriptTimeout = 1 : Do : Loop",
      "Set keep(0).FillRed = keep(1)",
  };
  int expected = 0;
  for (const char* ending : endings) {
    SCOPED_TRACE(ending);
    Run(std::string("<% Dim keep(2)\nFor i = 0 To 2 : Set keep(i) = "
                    "Server.CreateObject(\"Test.Chart\") : Next\n"
                    "Set free = CreateObject(\"Test.Chart\")\n") +
        ending + " %>");
    expected += 3;
    ExpectContextObjectsEnded(expected);
  }
}

TEST_F(VbsPageTest, ResponseEndStopsTheScriptAndKeepsTheOutput) {
  PageResult r =
      Run("before<% Set c = Server.CreateObject(\"Test.Chart\")\nc.Title = \"T\"\n"
          "c.Send\nResponse.Write \"after\" %>after");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.content_type, "image/test");
  EXPECT_EQ(r.body, "beforechart:T");
  r = Run("a<% Response.End %>b");
  EXPECT_EQ(r.body, "a");
  r = Run("<% On Error Resume Next\nResponse.End\nResponse.Write \"x\" %>");
  EXPECT_EQ(r.body, "") << "no On Error catches the end of the page";
}

TEST_F(VbsPageTest, TimeoutAndMemoryEndThePageWithA500) {
  timeout_ = 1;
  PageResult r = Run("<% On Error Resume Next\nDo : x = 1 / 0 : Loop %>");
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("script timeout of 1 seconds"), std::string::npos) << r.body;
  timeout_ = 90;
  r = Run("<% ReDim a(100000000) %>");
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("Out of memory"), std::string::npos) << r.body;
  r = Run("<% Dim a(1000)\nFor i = 0 To 1000 : a(i) = Space(1000000) : Next %>");
  EXPECT_EQ(r.status, 200) << "strings are not counted as array items: " << r.body;
}

TEST_F(VbsPageTest, TheDirectiveChoosesTheLanguage) {
  EXPECT_EQ(Run("<%@ Language=\"JScript\" %><%= [1, 2].length %>").body, "2");
  EXPECT_EQ(Run("<%@ LANGUAGE=VBScript %><%= UBound(Array(1, 2)) %>").body, "1");
  EXPECT_EQ(Run("<%= Len(\"abc\") %>").body, "3") << "VBScript by default here";
}

TEST_F(VbsPageTest, IncludesForBothLanguages) {
  site_.Write("lib/helpers.inc",
              "<% Function Twice(n) : Twice = n * 2 : End Function %><!-- #include "
              "file=\"deeper.inc\" -->");
  site_.Write("lib/deeper.inc", "[deep]");
  site_.Write("top.inc", "<% var top = 'T'; %>");
  PageResult r = Run("<!-- #include file=\"lib/helpers.inc\" -->\n<%= Twice(21) %>");
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body, "[deep]\n42");
  r = Run("<%@ Language=\"JScript\" %><!--#INCLUDE VIRTUAL='/top.inc'--><%= top %>");
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body, "T");
  r = Run("<!-- an ordinary comment --><!-- #include nothing -->");
  EXPECT_EQ(r.body, "<!-- an ordinary comment --><!-- #include nothing -->");
}

TEST_F(VbsPageTest, IncludeErrorsNameFileAndLine) {
  PageResult r = Run("a\nb <!-- #include file=\"missing.inc\" -->");
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("/page.asp, line 2"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("cannot be read"), std::string::npos) << r.body;

  std::filesystem::path outside = site_.root().parent_path() / "outside-the-site.inc";
  { std::ofstream(outside) << "secret"; }
  for (const char* escape : {"<!-- #include file=\"../outside-the-site.inc\" -->",
                             "<!-- #include virtual=\"/../outside-the-site.inc\" -->",
                             "<!-- #include file=\"/etc/passwd\" -->"}) {
    r = Run(escape);
    EXPECT_EQ(r.status, 500) << escape;
    EXPECT_EQ(r.body.find("secret"), std::string::npos);
    EXPECT_NE(r.body.find("outside the site"), std::string::npos) << r.body;
  }
  std::filesystem::remove(outside);

  site_.Write("loop.inc", "x<!-- #include file=\"loop.inc\" -->");
  r = Run("<!-- #include file=\"loop.inc\" -->");
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("nest deeper than"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("/loop.inc, line 1"), std::string::npos) << r.body;

  site_.Write("open.inc", "a\nb\n<% unterminated");
  r = Run("<p>\n<!-- #include file=\"open.inc\" -->");
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("/open.inc, line 3: missing %&gt;"), std::string::npos) << r.body;

  site_.Write("bad.inc", "<%\n\nx = 1 / 0 %>");
  r = Run("<p>\n<!-- #include file=\"bad.inc\" --></p>");
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("line 3"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("(in /bad.inc)"), std::string::npos) << r.body;
}

}  // namespace
}  // namespace qz::host::test
