#include "host/page_cache.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

namespace qz::host {
namespace {

std::shared_ptr<const CompiledPage> Page(const std::string& text) {
  auto page = std::make_shared<CompiledPage>();
  page->text = text;
  page->bytecode = "code of " + text;
  return page;
}

TEST(PageCacheTest, AnEntryServesOnlyTheTextItWasMadeFrom) {
  PageCache cache;
  EXPECT_EQ(cache.Find("/a.asp", "one"), nullptr);
  cache.Put("/a.asp", Page("one"));
  ASSERT_NE(cache.Find("/a.asp", "one"), nullptr);
  EXPECT_EQ(cache.Find("/a.asp", "one")->bytecode, "code of one");
  EXPECT_EQ(cache.Find("/a.asp", "onf"), nullptr);
  EXPECT_EQ(cache.Find("/a.asp", "one "), nullptr);
  EXPECT_EQ(cache.Find("/b.asp", "one"), nullptr);
  cache.Put("/a.asp", Page("two"));
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(cache.Find("/a.asp", "one"), nullptr);
  EXPECT_EQ(cache.Find("/a.asp", "two")->bytecode, "code of two");
}

TEST(PageCacheTest, ItKeepsTheMostRecentlyUsedPagesWithinItsBounds) {
  PageCache cache(2, 8);
  cache.Put("/a", Page("a"));
  cache.Put("/b", Page("b"));
  ASSERT_NE(cache.Find("/a", "a"), nullptr);  // a is now the most recent
  cache.Put("/c", Page("c"));
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_NE(cache.Find("/a", "a"), nullptr);
  EXPECT_EQ(cache.Find("/b", "b"), nullptr);
  EXPECT_NE(cache.Find("/c", "c"), nullptr);
  cache.Put("/big", Page("123456789"));
  EXPECT_EQ(cache.Find("/big", "123456789"), nullptr) << "a text over the limit is not kept";
  EXPECT_EQ(cache.size(), 2u);
  // An entry in use stays valid after it is dropped from the cache.
  std::shared_ptr<const CompiledPage> held = cache.Find("/a", "a");
  cache.Put("/d", Page("d"));
  cache.Put("/e", Page("e"));
  EXPECT_EQ(cache.Find("/a", "a"), nullptr);
  EXPECT_EQ(held->bytecode, "code of a");
}

TEST(PageCacheTest, EachThreadHasItsOwn) {
  PageCache& mine = PageCache::ForThisThread();
  mine.Put("/t.asp", Page("t"));
  PageCache* other = nullptr;
  bool found_there = true;
  std::thread([&] {
    other = &PageCache::ForThisThread();
    found_there = other->Find("/t.asp", "t") != nullptr;
  }).join();
  EXPECT_NE(other, &mine);
  EXPECT_FALSE(found_there);
  EXPECT_NE(mine.Find("/t.asp", "t"), nullptr);
}

}  // namespace
}  // namespace qz::host
