#include "host/log_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/host/page_test_util.h"

namespace qz::host::test {
namespace {

std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

TEST(LogFileTest, AppendsWholeLinesAndReopensAfterARotation) {
  TempSite site;
  const std::filesystem::path path = site.root() / "access.log";
  {
    std::ofstream old(path);
    old << "kept\n";
  }
  LogFile log;
  std::string why;
  ASSERT_TRUE(log.Open(path.string(), &why)) << why;
  // Lines from several threads never share a line.
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&log, t] {
      for (int i = 0; i < 200; ++i) log.Write(std::string(100, static_cast<char>('a' + t)));
    });
  }
  for (std::thread& w : writers) w.join();
  std::istringstream lines(Slurp(path));
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "kept") << "appended, never truncated";
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    ASSERT_EQ(line.size(), 100u);
    EXPECT_EQ(line.find_first_not_of(line[0]), std::string::npos) << line;
  }
  EXPECT_EQ(count, 800);

  std::filesystem::rename(path, site.root() / "access.log.1");
  log.Write("after the move");
  ASSERT_TRUE(log.Reopen(&why)) << why;
  log.Write("after the reopen");
  EXPECT_EQ(Slurp(path), "after the reopen\n");
  EXPECT_NE(Slurp(site.root() / "access.log.1").find("after the move\n"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0040u & 0077) << "group may read, others nothing";
}

TEST(LogFileTest, AFailedOpenSaysWhyAndAFailedReopenKeepsTheOldFile) {
  TempSite site;
  LogFile log;
  std::string why;
  EXPECT_FALSE(log.Open((site.root() / "no-such-folder" / "a.log").string(), &why));
  EXPECT_NE(why.find("No such file or directory"), std::string::npos) << why;
  std::filesystem::create_directory(site.root() / "logs");
  const std::filesystem::path path = site.root() / "logs" / "a.log";
  ASSERT_TRUE(log.Open(path.string(), &why)) << why;
  std::filesystem::rename(site.root() / "logs", site.root() / "gone");
  why.clear();
  EXPECT_FALSE(log.Reopen(&why));
  EXPECT_FALSE(why.empty());
  log.Write("still written");
  EXPECT_EQ(Slurp(site.root() / "gone" / "a.log"), "still written\n");
}

TEST(LogFileTest, TimesAreUtcInEachLogsForm) {
  // 2026-12-08 22:15:01.123 UTC
  const auto t = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796768101123));
  EXPECT_EQ(AccessLogTime(t), "[08/Dec/2026:22:15:01 +0000]");
  EXPECT_EQ(ErrorLogTime(t), "2026-12-08T22:15:01.123Z");
}

}  // namespace
}  // namespace qz::host::test
