// Turns a page (.asp: literal text, <% code %> blocks, <%= expression %>
// output and an optional leading <%@ Language="..." %> directive naming
// JScript or VBScript) into one script for the engine of its language.
#pragma once

#include <filesystem>
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

enum class PageLanguage { JScript, VBScript };

struct ParsedPage {
  std::string script;
  // The page's literal text, in the order the script writes it.
  std::vector<std::string> literals;
  // page_line[n] is the page line (from 1) on which script line n + 1 starts,
  // so that errors name the page's own lines.
  std::vector<int> page_line;
  // Empty when the page is well formed; else why it is not (with line).
  std::string error;
  PageLanguage language = PageLanguage::JScript;
  // page_column[n] - 1 is added to a column on script line n + 1 to give
  // the page's column (code that starts within a page line).
  std::vector<int> page_column;

  // With includes: the files the script came from (site paths, the page
  // first), and for each script line the index of its file.
  std::vector<std::string> files;
  std::vector<int> page_file;

  int PageLine(int script_line) const;
  int PageColumn(int script_line, int script_column) const;
  // The site path of the file a script line came from; empty without
  // includes.
  std::string PageFile(int script_line) const;
};

// Where a page's server-side includes (<!-- #include file="..." --> relative
// to the including file, <!-- #include virtual="..." --> relative to the
// site root) are read from. No include may lie outside the root (symbolic
// links are followed before the check).
struct IncludeSource {
  std::filesystem::path root;  // canonical
  std::filesystem::path file;  // the page, inside root
};
inline constexpr int kMaxIncludeDepth = 8;
inline constexpr int kMaxIncludes = 256;
inline constexpr std::size_t kMaxIncludedBytes = std::size_t{16} << 20;

// The language is the directive's, else default_language.
// Includes are expanded when includes is given.
ParsedPage ParsePage(std::string_view page, PageLanguage default_language = PageLanguage::JScript,
                     const IncludeSource* includes = nullptr);

}  // namespace qz::host
