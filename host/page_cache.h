// The compiled form of the pages a worker thread has run, kept so that a page
// that has not changed is neither parsed nor compiled again.
//
// An entry holds the page's whole text, its parse and the engine's bytecode
// of its script. It is found by the page file's path and used only when the
// file's text, read for this request, is byte for byte the text it was made
// from: an edit shows at once, whatever the file system's time stamps say.
// Nothing a page does while it runs reaches an entry: the bytecode is dumped
// right after compilation, before the script runs, and every page loads it
// into an engine of its own.
//
// A cache belongs to one thread (ForThisThread); it is not locked.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "host/page_parser.h"

namespace qz::host {

struct CompiledPage {
  std::string text;      // the page file's text it was made from
  ParsedPage parsed;     // literals and the page's lines
  std::string bytecode;  // the script as the engine dumps it
};

class PageCache {
 public:
  // The most pages kept, and the largest page text kept; limits named here.
  static constexpr std::size_t kDefaultEntries = 64;
  static constexpr std::size_t kDefaultMaxTextBytes = std::size_t{1} << 20;

  explicit PageCache(std::size_t max_entries = kDefaultEntries,
                     std::size_t max_text_bytes = kDefaultMaxTextBytes)
      : max_entries_(max_entries), max_text_bytes_(max_text_bytes) {}

  // The entry for path when it was made from exactly this text; else null.
  std::shared_ptr<const CompiledPage> Find(const std::string& path, std::string_view text);
  // Keeps page for path (replacing an older entry), dropping the page used
  // least recently when full. A text over the size limit is not kept.
  void Put(const std::string& path, std::shared_ptr<const CompiledPage> page);
  std::size_t size() const { return entries_.size(); }

  // The calling thread's cache.
  static PageCache& ForThisThread();

 private:
  using Order = std::list<std::string>;  // most recently used first
  struct Entry {
    std::shared_ptr<const CompiledPage> page;
    Order::iterator at;
  };
  std::size_t max_entries_;
  std::size_t max_text_bytes_;
  Order order_;
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace qz::host
