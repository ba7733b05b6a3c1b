#include "host/page_parser.h"

#include <gtest/gtest.h>

namespace qz::host {
namespace {

TEST(PageParser, ScriptLinesMapBackToPageLines) {
  ParsedPage p =
      ParsePage("<%@ Language=\"JScript\" %>\nline2\nline3<%\nvar a = 1;\n\nbad(); %>\n<%= a\n%>");
  ASSERT_TRUE(p.error.empty()) << p.error;
  // Find the script line holding "bad()" and check it maps to page line 6.
  int line = 1, bad_line = 0, expr_line = 0;
  for (std::size_t i = 0; i < p.script.size(); ++i) {
    if (p.script.compare(i, 5, "bad()") == 0) bad_line = line;
    if (p.script.compare(i, 2, " a") == 0 && expr_line == 0 && bad_line != 0) expr_line = line;
    if (p.script[i] == '\n') ++line;
  }
  EXPECT_EQ(p.PageLine(bad_line), 6);
  EXPECT_EQ(p.PageLine(expr_line), 7);
  EXPECT_EQ(p.PageLine(1), 1);
}

TEST(PageParser, LiteralTextIsEscapedIntoOneWriteCall) {
  // The text stays out of the script: one call writes it by its index, so no
  // byte of it (quotes, line separators, bytes that are no UTF-8) can break
  // or change the script.
  std::string text = "a\"b\\c\r\n\x01</script>\xE9\xE2\x80\xA8\xF0\x9F\x98\x80";
  ParsedPage p = ParsePage(text + "<% x(); %>" + text);
  ASSERT_TRUE(p.error.empty());
  EXPECT_EQ(p.script, std::string(kPageLiteralFunction) + "(0);\n x(); \n" +
                          std::string(kPageLiteralFunction) + "(1);\n");
  ASSERT_EQ(p.literals.size(), 2u);
  EXPECT_EQ(p.literals[0], text);
  EXPECT_EQ(p.literals[1], text);
  EXPECT_EQ(p.PageLine(3), 2) << "the second literal starts on the page's second line";
}

TEST(PageParser, DirectiveRules) {
  EXPECT_TRUE(ParsePage("<%@ LANGUAGE = 'javascript' %>x").error.empty());
  EXPECT_TRUE(ParsePage("  \n<%@ Language=JScript CodePage=65001 %>x").error.empty());
  EXPECT_FALSE(ParsePage("<%@ Language=\"PerlScript\" %>").error.empty());
  EXPECT_EQ(ParsePage("<%@ Language=\"VBScript\" %>").language, PageLanguage::VBScript);
  EXPECT_EQ(ParsePage("x", PageLanguage::VBScript).language, PageLanguage::VBScript);
  EXPECT_EQ(ParsePage("<%@ Language=JScript %>x", PageLanguage::VBScript).language,
            PageLanguage::JScript)
      << "the directive wins over the default";
  EXPECT_FALSE(ParsePage("<% x() %><%@ Language=\"JScript\" %>").error.empty())
      << "a directive must come first";
  std::string unterminated = ParsePage("a\nb\n<% c").error;
  EXPECT_NE(unterminated.find("line 3"), std::string::npos) << unterminated;
}

}  // namespace
}  // namespace qz::host
