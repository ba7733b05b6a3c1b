#include "delivery/temp_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>

#include "platform/automation/error.h"

namespace qz::delivery {
namespace {

class TempFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qz-tempname-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = std::string(pattern) + "/";
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  // Takes every name of the second that starts at epoch second t.
  void TakeSecond(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    for (int n = 1; n <= kTempNumbers; ++n)
      std::ofstream(folder_ + TempFileName(local.tm_hour, local.tm_min, local.tm_sec, n));
  }
  std::string folder_;
  TempRandom random_{12345};
};

TEST(TempFileName, IsTimeOfDayThenTwoDigitsThenTmp) {
  EXPECT_EQ(TempFileName(9, 5, 3, 7), "09050307.tmp");
  EXPECT_EQ(TempFileName(23, 59, 59, 20), "23595920.tmp");
  EXPECT_EQ(TempFileName(0, 0, 0, 1), "00000001.tmp");
}

TEST_F(TempFile, ReservesDistinctNamesAndDeletesThemWhenDone) {
  std::vector<std::unique_ptr<ReservedTempFile>> held;
  std::set<std::string> paths;
  const std::regex form(R"([0-2][0-9][0-5][0-9][0-5][0-9](0[1-9]|1[0-9]|20)\.tmp)");
  for (int i = 0; i < kTempNumbers; ++i) {
    held.push_back(std::make_unique<ReservedTempFile>(folder_, random_));
    const std::string& path = held.back()->path();
    ASSERT_EQ(path.rfind(folder_, 0), 0u);
    EXPECT_TRUE(std::regex_match(path.substr(folder_.size()), form)) << path;
    EXPECT_TRUE(std::filesystem::exists(path));
    paths.insert(path);
  }
  EXPECT_EQ(paths.size(), static_cast<std::size_t>(kTempNumbers));
  held.clear();
  EXPECT_TRUE(std::filesystem::is_empty(folder_));
}

TEST_F(TempFile, AFullSecondWaitsForTheNext) {
  const std::time_t now = std::time(nullptr);
  TakeSecond(now);
  const ReservedTempFile reserved(folder_, random_);
  EXPECT_GT(std::time(nullptr), now);
  EXPECT_EQ(std::filesystem::file_size(reserved.path()), 0u);
}

TEST_F(TempFile, GivesUpClearlyAfterTheBound) {
  const std::time_t now = std::time(nullptr);
  for (std::time_t t = now; t < now + 4; ++t) TakeSecond(t);
  try {
    ReservedTempFile reserved(folder_, random_, std::chrono::milliseconds(300));
    ADD_FAILURE() << "reserved " << reserved.path();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kFileAlreadyExists);
    EXPECT_NE(e.description().find("No free temporary file name"), std::string::npos);
  }
}

TEST_F(TempFile, AFolderThatRefusesFilesIsAnAccessError) {
  try {
    ReservedTempFile reserved(folder_ + "no/such/folder/", random_);
    ADD_FAILURE() << "reserved " << reserved.path();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kPathFileAccessError);
  }
}

}  // namespace
}  // namespace qz::delivery
