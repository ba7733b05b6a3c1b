#include "host/page_cache.h"

#include <utility>

namespace qz::host {

std::shared_ptr<const CompiledPage> PageCache::Find(const std::string& path,
                                                    std::string_view text) {
  auto it = entries_.find(path);
  if (it == entries_.end()) return nullptr;
  if (it->second.page->text != text) return nullptr;
  order_.splice(order_.begin(), order_, it->second.at);
  return it->second.page;
}

void PageCache::Put(const std::string& path, std::shared_ptr<const CompiledPage> page) {
  if (!page || page->text.size() > max_text_bytes_ || max_entries_ == 0) return;
  if (auto it = entries_.find(path); it != entries_.end()) {
    it->second.page = std::move(page);
    order_.splice(order_.begin(), order_, it->second.at);
    return;
  }
  while (entries_.size() >= max_entries_) {
    entries_.erase(order_.back());
    order_.pop_back();
  }
  order_.push_front(path);
  entries_.emplace(path, Entry{std::move(page), order_.begin()});
}

PageCache& PageCache::ForThisThread() {
  thread_local PageCache cache;
  return cache;
}

}  // namespace qz::host
