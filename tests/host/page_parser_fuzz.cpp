// libFuzzer target: page text to script. Any crash, sanitizer report or leak
// is a finding, and so is a broken promise of the parser: a line map that is
// not one page line per script line, in order and inside the page; literal
// text that is not exactly the page without its blocks; a page of literal
// text alone that does not come out of the engine byte for byte.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "host/page_engine.h"
#include "host/page_parser.h"

namespace {

// The page without its <% %> blocks; false when a block is not closed.
bool TextOutsideBlocks(std::string_view page, std::string* out) {
  std::size_t pos = 0;
  for (;;) {
    std::size_t open = page.find("<%", pos);
    out->append(page.substr(pos, open == std::string_view::npos ? open : open - pos));
    if (open == std::string_view::npos) return true;
    std::size_t close = page.find("%>", open + 2);
    if (close == std::string_view::npos) return false;
    pos = close + 2;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qz::host;
  const std::string_view page(reinterpret_cast<const char*>(data), size);
  const ParsedPage parsed = ParsePage(page);
  if (!parsed.error.empty()) return 0;

  const auto page_lines = static_cast<int>(std::count(page.begin(), page.end(), '\n')) + 1;
  const auto script_lines =
      static_cast<std::size_t>(std::count(parsed.script.begin(), parsed.script.end(), '\n')) + 1;
  if (parsed.page_line.size() != script_lines) std::abort();
  int previous = 1;
  for (int line : parsed.page_line) {
    if (line < previous || line > page_lines) std::abort();
    previous = line;
  }

  std::string outside, literals;
  if (!TextOutsideBlocks(page, &outside)) std::abort();  // parsed without error
  for (const std::string& literal : parsed.literals) {
    if (literal.empty()) std::abort();
    literals += literal;
  }
  if (literals != outside) std::abort();

  if (page.find("<%") == std::string_view::npos) {
    PageOptions options;
    options.root = "/nonexistent-quenza-fuzz-site";
    options.script_timeout_seconds = 10;
    options.script_memory_limit = std::size_t{32} << 20;
    PageRequest request;
    request.path = "/fuzz.asp";
    PageResult result =
        RunPageText(options, request, page, "/nonexistent-quenza-fuzz-site/fuzz.asp");
    if (result.status != 200 || result.body != page) std::abort();
  }
  return 0;
}
