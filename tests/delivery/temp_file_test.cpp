#include "delivery/temp_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>

#include "platform/automation/error.h"
#include "platform/kernel/kernel.h"

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
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);  // private from the first moment
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

// The id of a process that has ended (and been reaped).
pid_t GonePid() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  int status = 0;
  waitpid(child, &status, 0);
  return child;
}

std::string SiblingNameOf(pid_t pid, unsigned number) {
  char name[64];
  std::snprintf(name, sizeof name, ".qz%010d-%08x.part", static_cast<int>(pid), number);
  return name;
}

TEST_F(TempFile, StaleFilesOfOurOwnFormsAreRemovedAndNothingElse) {
  const pid_t gone = GonePid();
  const std::time_t now = std::time(nullptr);
  // Name, content, mode, age in seconds, whether it is to go.
  struct Case {
    std::string name;
    std::string content;
    mode_t mode;
    std::time_t age;
    bool removed;
  };
  const std::string jpeg = "\xFF\xD8\xFF\xE0 image";
  const std::vector<Case> cases = {
      // Siblings of a process that is gone, old enough.
      {SiblingNameOf(gone, 1), "half an image", 0644, 120, true},
      {SiblingNameOf(gone, 2), "", 0600, 7200, true},
      // Too young, or of a live process (this one, and init).
      {SiblingNameOf(gone, 3), "being written", 0644, 5, false},
      {SiblingNameOf(getpid(), 4), "", 0644, 7200, false},
      {SiblingNameOf(1, 5), "", 0644, 7200, false},
      // Temporary charts: private, empty or an image, older than an hour.
      {"12345601.tmp", jpeg, 0600, 4000, true},
      {"00000020.tmp", "BM image", 0600, 4000, true},
      {"23595907.tmp", "", 0600, 4000, true},
      {"00000008.tmp", "\x89PNG\r\n", 0600, 4000, true},
      {"00000009.tmp", "<?xml version=\"1.0\"", 0600, 4000, true},
      {"12345602.tmp", jpeg, 0600, 600, false},      // too young
      {"12345603.tmp", jpeg, 0644, 4000, false},     // not private: not a render's
      {"12345604.tmp", "notes", 0600, 4000, false},  // no image
      {"24000001.tmp", jpeg, 0600, 4000, false},     // no time of day
      {"12345621.tmp", jpeg, 0600, 4000, false},     // number over 20
      {"1234560.tmp", jpeg, 0600, 4000, false},      // other forms
      {"123456011.tmp", jpeg, 0600, 4000, false},
      {"12345601.TMP", jpeg, 0600, 4000, false},
      {".x.jpg.123.0.part", "", 0600, 7200, false},
      {"chart.jpg", jpeg, 0600, 7200, false},
  };
  for (const Case& c : cases) {
    const std::string path = folder_ + c.name;
    std::ofstream(path, std::ios::binary) << c.content;
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    const timespec times[2] = {{now - c.age, 0}, {now - c.age, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
  // Links and folders under the forms, however old, are left alone; so is
  // what a link points to.
  const std::string target = folder_ + "target";
  std::ofstream(target) << jpeg;
  ASSERT_EQ(symlink(target.c_str(), (folder_ + "12345605.tmp").c_str()), 0);
  ASSERT_EQ(symlink(target.c_str(), (folder_ + SiblingNameOf(gone, 6)).c_str()), 0);
  ASSERT_EQ(mkdir((folder_ + SiblingNameOf(gone, 7)).c_str(), 0700), 0);
  ASSERT_EQ(link((folder_ + "12345601.tmp").c_str(), (folder_ + "hard").c_str()), 0);
  const timespec old_times[2] = {{now - 7200, 0}, {now - 7200, 0}};
  utimensat(AT_FDCWD, (folder_ + SiblingNameOf(gone, 7)).c_str(), old_times, 0);

  EXPECT_EQ(RemoveStaleTempFiles(folder_), 6);
  for (const Case& c : cases) {
    EXPECT_EQ(std::filesystem::exists(folder_ + c.name), !c.removed || c.name == "12345601.tmp")
        << c.name;
  }
  // The chart with a second link stays: it is not only the render's.
  EXPECT_TRUE(std::filesystem::exists(folder_ + "12345601.tmp"));
  EXPECT_TRUE(std::filesystem::is_symlink(folder_ + "12345605.tmp"));
  EXPECT_TRUE(std::filesystem::is_symlink(folder_ + SiblingNameOf(gone, 6)));
  EXPECT_TRUE(std::filesystem::is_directory(folder_ + SiblingNameOf(gone, 7)));
  EXPECT_TRUE(std::filesystem::exists(target));

  // Without its second link the chart goes; the folder answers none twice.
  unlink((folder_ + "hard").c_str());
  EXPECT_EQ(RemoveStaleTempFiles(folder_), 1);
  EXPECT_EQ(RemoveStaleTempFiles(folder_), 0);
  EXPECT_EQ(RemoveStaleTempFiles(folder_ + "missing/"), 0);
}

TEST_F(TempFile, SiblingNamesHereAreTheWritersOwn) {
  // The test's sibling names are what the writers make: a change of form
  // on one side only would make the clean-up miss real leftovers.
  const std::string target = folder_ + "chart.jpg";
  kernel::SiblingFile sibling(target);
  const std::string name = sibling.path().substr(sibling.path().rfind('/') + 1);
  EXPECT_EQ(kernel::SiblingOwner(name), getpid());
  EXPECT_EQ(name.substr(0, 16), SiblingNameOf(getpid(), 0).substr(0, 16));
  EXPECT_EQ(name.size(), SiblingNameOf(getpid(), 0).size());
}

}  // namespace
}  // namespace qz::delivery
