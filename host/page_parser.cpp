#include "host/page_parser.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace qz::host {
namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// Builds the script and its line map together: every newline written to the
// script records the page line that the next script line comes from.
class Emitter {
 public:
  explicit Emitter(ParsedPage& out) : out_(out) {
    out_.page_line.push_back(1);
    out_.page_column.push_back(1);
  }

  // The page column of the code about to be added to the current script
  // line, less what the script line holds before it.
  void CodeColumn(int page_column) {
    std::size_t start = out_.script.rfind('\n');
    std::size_t held = out_.script.size() - (start == std::string::npos ? 0 : start + 1);
    out_.page_column.back() = page_column - static_cast<int>(held);
  }

  // Script text taken from the page as it stands (code).
  void Code(std::string_view code) {
    for (char c : code) {
      out_.script.push_back(c);
      if (c == '\n') {
        ++line_;
        out_.page_line.push_back(line_);
        out_.page_column.push_back(1);
      }
    }
  }
  // A newline of our own after a statement, which the page does not have.
  void Break() {
    out_.script.push_back('\n');
    out_.page_line.push_back(line_);
    out_.page_column.push_back(1);
  }
  // Page text skipped or turned into a string literal: advances the page
  // line without adding script lines.
  void Skip(std::string_view text) {
    line_ += static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }

  void Literal(std::string_view text) {
    if (text.empty()) return;
    out_.script += kPageLiteralFunction;
    if (out_.language == PageLanguage::VBScript) {
      out_.script += " " + std::to_string(out_.literals.size());
    } else {
      out_.script += "(" + std::to_string(out_.literals.size()) + ");";
    }
    out_.literals.emplace_back(text);
    Skip(text);
    Break();
  }

  int line() const { return line_; }

 private:
  ParsedPage& out_;
  int line_ = 1;
};

// Checks the directive's Language attribute and takes its language; other
// attributes are ignored.
std::string CheckDirective(std::string_view body, PageLanguage* language) {
  std::string lower = Lower(body);
  std::size_t at = lower.find("language");
  if (at == std::string::npos) return {};
  std::size_t eq = lower.find('=', at);
  if (eq == std::string::npos) return "malformed Language attribute";
  std::string_view rest = Trim(std::string_view(lower).substr(eq + 1));
  std::string value;
  if (!rest.empty() && (rest.front() == '"' || rest.front() == '\'')) {
    char quote = rest.front();
    std::size_t end = rest.find(quote, 1);
    value = std::string(rest.substr(1, end == std::string_view::npos ? rest.size() : end - 1));
  } else {
    std::size_t end = 0;
    while (end < rest.size() && !std::isspace(static_cast<unsigned char>(rest[end]))) ++end;
    value = std::string(rest.substr(0, end));
  }
  if (value == "jscript" || value == "javascript" || value == "ecmascript") {
    *language = PageLanguage::JScript;
    return {};
  }
  if (value == "vbscript") {
    *language = PageLanguage::VBScript;
    return {};
  }
  return "unsupported script language \"" + value + "\"";
}

// The page column (from 1) of the character at pos.
int ColumnAt(std::string_view page, std::size_t pos) {
  std::size_t nl = page.rfind('\n', pos == 0 ? 0 : pos - 1);
  std::size_t start = nl == std::string_view::npos || pos == 0 ? 0 : nl + 1;
  return static_cast<int>(pos - start) + 1;
}

// The page text with its includes in place, and where each of its lines
// came from.
struct Expanded {
  std::string text;
  std::vector<std::pair<int, int>> lines;  // per line: file index, line in that file
  std::vector<std::string> files;
  std::string error;
  int includes = 0;
};

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && Lower(s.substr(0, prefix.size())) == prefix;
}

// Reads an include directive at the start of s ("<!--" already seen there):
// its kind ("file" or "virtual"), its path and its length.
bool ReadInclude(std::string_view s, std::string* kind, std::string* path, std::size_t* length) {
  std::size_t i = 4;
  auto skip = [&] {
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  };
  skip();
  if (!StartsWithNoCase(s.substr(i), "#include")) return false;
  i += 8;
  skip();
  if (StartsWithNoCase(s.substr(i), "file")) {
    *kind = "file";
    i += 4;
  } else if (StartsWithNoCase(s.substr(i), "virtual")) {
    *kind = "virtual";
    i += 7;
  } else {
    return false;
  }
  skip();
  if (i >= s.size() || s[i] != '=') return false;
  ++i;
  skip();
  if (i >= s.size() || (s[i] != '"' && s[i] != '\'')) return false;
  char quote = s[i++];
  std::size_t end = s.find(quote, i);
  if (end == std::string_view::npos || end - i > 1024) return false;
  *path = std::string(s.substr(i, end - i));
  i = end + 1;
  skip();
  if (!StartsWithNoCase(s.substr(i), "-->")) return false;
  *length = i + 3;
  return true;
}

void ExpandInto(std::string_view text, const std::filesystem::path& file, int file_index, int depth,
                const IncludeSource& source, Expanded& out) {
  int line = 1;
  auto append = [&](std::string_view chunk) {
    for (char c : chunk) {
      out.text.push_back(c);
      if (c == '\n') out.lines.emplace_back(file_index, ++line);
    }
  };
  auto fail = [&](const std::string& why) {
    if (out.error.empty())
      out.error = out.files[static_cast<std::size_t>(file_index)] + ", line " +
                  std::to_string(line) + ": " + why;
  };
  std::size_t pos = 0;
  while (pos < text.size() && out.error.empty()) {
    std::size_t at = text.find("<!--", pos);
    if (at == std::string_view::npos) {
      append(text.substr(pos));
      break;
    }
    append(text.substr(pos, at - pos));
    std::string kind, path;
    std::size_t length = 0;
    if (!ReadInclude(text.substr(at), &kind, &path, &length)) {
      append(text.substr(at, 4));
      pos = at + 4;
      continue;
    }
    pos = at + length;
    if (depth >= kMaxIncludeDepth) {
      fail("includes nest deeper than " + std::to_string(kMaxIncludeDepth));
      return;
    }
    if (++out.includes > kMaxIncludes) {
      fail("more than " + std::to_string(kMaxIncludes) + " includes");
      return;
    }
    for (char& c : path) {
      if (c == '\\') c = '/';
    }
    std::filesystem::path target;
    if (kind == "virtual") {
      std::string rel = path;
      while (!rel.empty() && rel.front() == '/') rel.erase(0, 1);
      target = source.root / rel;
    } else {
      target = file.parent_path() / path;
    }
    std::error_code ec;
    std::filesystem::path real = std::filesystem::weakly_canonical(target, ec);
    std::filesystem::path rel = real.lexically_relative(source.root);
    if (ec || path.empty() || rel.empty() || *rel.begin() == ".." || rel.is_absolute()) {
      fail("the include \"" + path + "\" lies outside the site");
      return;
    }
    // A folder opens as a stream too: only a regular file is read.
    std::ifstream in(real, std::ios::binary);
    if (!in || !std::filesystem::is_regular_file(real, ec)) {
      fail("the include \"" + path + "\" cannot be read");
      return;
    }
    std::string body(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>{});
    if (out.text.size() + body.size() > kMaxIncludedBytes) {
      fail("the page with its includes is larger than " + std::to_string(kMaxIncludedBytes >> 20) +
           " MB");
      return;
    }
    out.files.push_back("/" + rel.generic_string());
    ExpandInto(body, real, static_cast<int>(out.files.size()) - 1, depth + 1, source, out);
  }
}

}  // namespace

std::string ParsedPage::PageFile(int script_line) const {
  if (files.empty() || page_file.empty() || script_line < 1) return {};
  auto i = static_cast<std::size_t>(script_line - 1);
  int f = i < page_file.size() ? page_file[i] : page_file.back();
  return f >= 0 && static_cast<std::size_t>(f) < files.size() ? files[static_cast<std::size_t>(f)]
                                                              : std::string();
}

int ParsedPage::PageColumn(int script_line, int script_column) const {
  if (script_line < 1 || script_column < 1 || page_column.empty()) return script_column;
  auto i = static_cast<std::size_t>(script_line - 1);
  int offset = i < page_column.size() ? page_column[i] : 1;
  int column = offset + script_column - 1;
  return column >= 1 ? column : script_column;
}

int ParsedPage::PageLine(int script_line) const {
  if (script_line < 1 || page_line.empty()) return 0;
  std::size_t i = static_cast<std::size_t>(script_line - 1);
  return i < page_line.size() ? page_line[i] : page_line.back();
}

namespace {

ParsedPage ParseText(std::string_view page, PageLanguage default_language) {
  ParsedPage out;
  out.language = default_language;
  // The directive comes first: the language decides how text is emitted.
  {
    std::size_t open = page.find("<%");
    if (open != std::string_view::npos && Trim(page.substr(0, open)).empty() &&
        open + 2 < page.size() && page[open + 2] == '@') {
      std::size_t close = page.find("%>", open + 2);
      if (close != std::string_view::npos) {
        std::string why = CheckDirective(page.substr(open + 3, close - open - 3), &out.language);
        (void)why;  // reported where the directive is met below
      }
    }
  }
  bool vbscript = out.language == PageLanguage::VBScript;
  Emitter emit(out);
  std::size_t pos = 0;
  bool first_block = true;
  while (pos < page.size()) {
    std::size_t open = page.find("<%", pos);
    if (open == std::string_view::npos) {
      emit.Literal(page.substr(pos));
      break;
    }
    emit.Literal(page.substr(pos, open - pos));
    std::size_t close = page.find("%>", open + 2);
    if (close == std::string_view::npos) {
      out.error = "line " + std::to_string(emit.line()) + ": missing %> after <%";
      return out;
    }
    std::string_view body = page.substr(open + 2, close - open - 2);
    if (!body.empty() && body.front() == '@') {
      // Only allowed before any other script; text before it may be blank.
      bool leading = first_block && Trim(page.substr(0, open)).empty();
      if (!leading) {
        out.error = "line " + std::to_string(emit.line()) + ": <%@ %> must come first";
        return out;
      }
      PageLanguage language = out.language;
      if (std::string why = CheckDirective(body.substr(1), &language); !why.empty()) {
        out.error = "line " + std::to_string(emit.line()) + ": " + why;
        return out;
      }
      emit.Skip(body);
    } else if (!body.empty() && body.front() == '=' && vbscript) {
      out.script += kPageWriteFunction;
      out.script += " ";
      emit.CodeColumn(ColumnAt(page, open + 3));
      emit.Code(body.substr(1));
      emit.Break();
    } else if (!body.empty() && body.front() == '=') {
      out.script += kPageWriteFunction;
      out.script += "((";
      emit.CodeColumn(ColumnAt(page, open + 3));
      emit.Code(body.substr(1));
      // The newline keeps a trailing // comment in the expression harmless.
      emit.Break();
      out.script += "));";
      emit.Break();
    } else {
      emit.CodeColumn(ColumnAt(page, open + 2));
      emit.Code(body);
      emit.Break();
    }
    first_block = false;
    pos = close + 2;
  }
  return out;
}

}  // namespace

ParsedPage ParsePage(std::string_view page, PageLanguage default_language,
                     const IncludeSource* includes) {
  if (includes == nullptr) return ParseText(page, default_language);
  Expanded expanded;
  std::filesystem::path rel = includes->file.lexically_relative(includes->root);
  expanded.files.push_back("/" + rel.generic_string());
  expanded.lines.emplace_back(0, 1);
  ExpandInto(page, includes->file, 0, 0, *includes, expanded);
  if (!expanded.error.empty()) {
    ParsedPage failed;
    failed.error = expanded.error;
    return failed;
  }
  ParsedPage out = ParseText(expanded.text, default_language);
  // The parser counted lines of the expanded text: give each its own file's.
  auto origin = [&](int line) {
    auto i = static_cast<std::size_t>(std::max(line, 1) - 1);
    return i < expanded.lines.size() ? expanded.lines[i] : expanded.lines.back();
  };
  if (!out.error.empty() && out.error.starts_with("line ")) {
    // "line N: why" of the expanded text: name the file and its own line.
    std::size_t colon = out.error.find(':');
    int line = std::atoi(out.error.substr(5, colon - 5).c_str());
    auto [file, own] = origin(line);
    out.error = expanded.files[static_cast<std::size_t>(file)] + ", line " + std::to_string(own) +
                out.error.substr(colon);
  }
  out.files = std::move(expanded.files);
  out.page_file.resize(out.page_line.size());
  for (std::size_t i = 0; i < out.page_line.size(); ++i) {
    auto [file, line] = origin(out.page_line[i]);
    out.page_file[i] = file;
    out.page_line[i] = line;
  }
  return out;
}

}  // namespace qz::host
