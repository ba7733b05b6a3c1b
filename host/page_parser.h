// Turns a page (.asp: literal text, <% code %> blocks, <%= expression %>
// output and an optional leading <%@ Language="..." %> directive naming
// JScript or VBScript) into one script for the engine of its language.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qz::host {

// The name of the native function that the generated script calls to write
// literal text and <%= %> values to the response.
inline constexpr std::string_view kPageWriteFunction = "__qzWrite";
// In VBScript, literal text is written by number (__qzLiteral n) from
// ParsedPage::literals, so that it needs no quoting in the script.
inline constexpr std::string_view kPageLiteralFunction = "__qzLiteral";

enum class PageLanguage { JScript, VBScript };

struct ParsedPage {
  std::string script;
  // page_line[n] is the page line (from 1) on which script line n + 1 starts,
  // so that errors name the page's own lines.
  std::vector<int> page_line;
  // Empty when the page is well formed; else why it is not (with line).
  std::string error;
  PageLanguage language = PageLanguage::JScript;
  std::vector<std::string> literals;  // VBScript pages' literal text
  // page_column[n] - 1 is added to a column on script line n + 1 to give
  // the page's column (code that starts within a page line).
  std::vector<int> page_column;

  int PageLine(int script_line) const;
  int PageColumn(int script_line, int script_column) const;
};

// The language is the directive's, else default_language.
ParsedPage ParsePage(std::string_view page, PageLanguage default_language = PageLanguage::JScript);

}  // namespace qz::host
