#include "host/site_paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/host/page_test_util.h"

namespace qz::host::test {
namespace {

TEST(SitePaths, ResolvesFilesPagesAndFolderIndexes) {
  TempSite site;
  site.Write("index.asp", "x");
  site.Write("img/logo.PNG", "x");
  site.Write("sub/index.html", "x");
  SitePath p = ResolveSitePath(site.root(), "/");
  EXPECT_EQ(p.verdict, PathVerdict::Ok);
  EXPECT_TRUE(p.is_page);
  p = ResolveSitePath(site.root(), "//img//logo.PNG");
  EXPECT_EQ(p.verdict, PathVerdict::Ok);
  EXPECT_FALSE(p.is_page);
  EXPECT_EQ(MediaTypeFor(p.file), "image/png");
  EXPECT_EQ(ResolveSitePath(site.root(), "/sub").file, site.root() / "sub/index.html");
  EXPECT_EQ(ResolveSitePath(site.root(), "/missing.asp").verdict, PathVerdict::NotFound);
  EXPECT_EQ(ResolveSitePath(site.root(), "/img").verdict, PathVerdict::NotFound);
  EXPECT_EQ(MediaTypeFor("a.unknown"), "application/octet-stream");
}

TEST(SitePaths, NothingOutsideTheRoot) {
  TempSite site;
  site.Write("a/b.txt", "x");
  std::filesystem::path outside =
      site.root().parent_path() / ("quenza-outside-" + std::to_string(::getpid()));
  std::ofstream(outside) << "secret";
  std::filesystem::create_symlink(outside, site.root() / "link.txt");
  std::filesystem::create_directory_symlink("/etc", site.root() / "etc");
  for (const char* bad : {"/../etc/passwd", "/a/../../x", "/a/..", "/./a/b.txt", "/a\\..\\b.txt",
                          "relative", "/link.txt", "/etc/passwd"}) {
    EXPECT_EQ(ResolveSitePath(site.root(), bad).verdict, PathVerdict::Forbidden) << bad;
  }
  EXPECT_EQ(ResolveSitePath(site.root(), std::string_view("/a/b.txt\0x", 10)).verdict,
            PathVerdict::Forbidden);
  std::filesystem::remove(outside);
}

}  // namespace
}  // namespace qz::host::test
