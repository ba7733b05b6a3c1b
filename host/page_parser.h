// Turns a page (.asp: literal text, <% code %> blocks, <%= expression %>
// output and an optional leading <%@ Language="JScript" %> directive) into
// one script for the engine.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qz::host {

// The name of the native function that the generated script calls to write
// <%= %> values to the response.
inline constexpr std::string_view kPageWriteFunction = "__qzWrite";
// The native function that writes literal text n (an index into
// ParsedPage::literals) to the response: the page's bytes exactly as they
// stand, whatever their encoding, never passing through a script string.
inline constexpr std::string_view kPageLiteralFunction = "__qzLiteral";

struct ParsedPage {
  std::string script;
  // The page's literal text, in the order the script writes it.
  std::vector<std::string> literals;
  // page_line[n] is the page line (from 1) on which script line n + 1 starts,
  // so that errors name the page's own lines.
  std::vector<int> page_line;
  // Empty when the page is well formed; else why it is not (with line).
  std::string error;

  int PageLine(int script_line) const;
};

ParsedPage ParsePage(std::string_view page);

}  // namespace qz::host
